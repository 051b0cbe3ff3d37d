// Record handler: deletion marks on shared tables are written over the record
// itself, whatever the handler's visibility rules.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_engine/handler_test_util.h"

using namespace mtest;
using namespace htest;

// ---------------------------------------------------------------------------
// Deletion marks on shared tables: the locked re-read is of the record itself.

TEST(HandlerDeleteShared, RecallOfAHiddenDeletedRecordRecallsIt) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"ALPHA", "BRAVO", "CHARLIE"});
  CVO_dBHandler h(t, "", true, true);
  h.kvSetTranslateAscii(false);
  h.cvSetShowDeleted(false);
  h.cvGetRec(1);
  h.cvDeleteRec();
  h.cvUndelete();
  EXPECT_EQ(h.cvCurrentRecord(), 1);
  EXPECT_EQ(Records(t), (Strings{"ALPHA", "BRAVO", "CHARLIE"}));
}

TEST(HandlerDeleteShared, DeletingARecordAnotherUserDeletedKeepsEveryImage) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"ALPHA", "BRAVO", "CHARLIE"});
  CVO_dBHandler me(t, "", true, true), other(t, "", true, true);
  me.kvSetTranslateAscii(false);
  other.kvSetTranslateAscii(false);
  me.cvSetShowDeleted(false);
  me.cvGetRec(2);
  other.cvGetRec(2);
  other.cvDeleteRec();
  me.cvDeleteRec();
  EXPECT_EQ(Records(t), (Strings{"ALPHA", "BRAVO*", "CHARLIE"}));
  // And recalling it again, with the record hidden from this user's walk.
  me.cvUndelete();
  EXPECT_EQ(Records(t), (Strings{"ALPHA", "BRAVO", "CHARLIE"}));
}

TEST(HandlerDeleteShared, DeletingARecordOutsideTheActiveForTag) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"ALPHA", "BRAVO", "CHARLIE"});
  {
    CVO_dBHandler h(t, "", true, false);
    h.cvIndexTo(dir / "i.cdx", "BIG", "NAME", "N > 1", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  CVO_dBHandler h(t, "", true, true);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndex(dir / "i.cdx", "BIG"), 0);
  h.cvGetRec(1);  // not held by the tag
  h.cvDeleteRec();
  EXPECT_EQ(Records(t), (Strings{"ALPHA*", "BRAVO", "CHARLIE"}));
  h.cvGetRec(1);
  h.cvUndelete();
  EXPECT_EQ(Records(t), (Strings{"ALPHA", "BRAVO", "CHARLIE"}));
}

