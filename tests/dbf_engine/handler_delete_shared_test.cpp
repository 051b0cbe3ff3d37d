// Record handler: deletion marks on shared tables are written over the record
// itself, whatever the handler's visibility rules.

#include <gtest/gtest.h>

#include <random>
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

TEST(HandlerDeleteShared, RandomMarksFromTwoUsersMatchAModel) {
  TempDir dir;
  const Strings names = {"A1", "B2", "C3", "D4", "E5", "F6", "G7", "H8"};
  const std::string t = MakeNames(dir, names);
  {
    CVO_dBHandler h(t, "", true, false);
    h.cvIndexTo(dir / "i.cdx", "ODD", "NAME", "MOD(N, 2) = 1", CVsetIndexUnique::Duplicates,
                CVsetSortStatus::Ascending);
  }
  CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
  CVO_dBHandler* users[] = {&a, &b};
  a.kvSetTranslateAscii(false);
  b.kvSetTranslateAscii(false);
  ASSERT_EQ(a.cvIndex(dir / "i.cdx", "ODD"), 0);  // a walks a FOR tag, b record order
  std::vector<bool> deleted(names.size() + 1, false);
  std::mt19937 rng(12);
  for (int step = 0; step < 400; ++step) {
    CVO_dBHandler& u = *users[rng() % 2];
    switch (rng() % 4) {
      case 0: u.cvSetShowDeleted(rng() % 2 == 0); break;
      case 1: u.cvGetRec(static_cast<int32_t>(1 + rng() % names.size())); break;
      default: {
        const int32_t r = u.cvCurrentRecord();
        if (r < 1) break;
        const bool mark = rng() % 2 == 0;
        if (mark) u.cvDeleteRec();
        else u.cvUndelete();
        deleted[static_cast<size_t>(r)] = mark;
        Strings want;
        for (size_t i = 0; i < names.size(); ++i) want.push_back(names[i] + (deleted[i + 1] ? "*" : ""));
        ASSERT_EQ(Records(t), want) << "step " << step;
      }
    }
  }
}
