// Record handler: what the read window of a shared table promises.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_engine/handler_test_util.h"

using namespace mtest;
using namespace htest;

// ---------------------------------------------------------------------------
// The read window of a shared table.

TEST(HandlerReadCache, SharedWalkFromTheTopSeesAnotherUsersChange) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"ALPHA", "BRAVO", "CHARLIE"});
  CVO_dBHandler me(t, "", true, true), other(t, "", true, true);
  me.kvSetTranslateAscii(false);
  other.kvSetTranslateAscii(false);
  me.cvSetDBFCache(true);
  EXPECT_EQ(Names(me), (Strings{"ALPHA", "BRAVO", "CHARLIE"}));
  other.cvGetRec(2);
  other.cvStringPut("NAME", "BETA");
  other.cvPutRec(2);
  other.cvBlank();
  other.cvStringPut("NAME", "DELTA");
  other.cvAppend();
  EXPECT_EQ(Names(me), (Strings{"ALPHA", "BETA", "CHARLIE", "DELTA"}));
  // From the bottom as well.
  other.cvGetRec(3);
  other.cvStringPut("NAME", "CAT");
  other.cvPutRec(3);
  me.cvGetRec(cvReadBottom);
  me.cvGetRec(cvReadPrevious);
  EXPECT_EQ(Trimmed(me.cvStringGet("NAME")), "CAT");
}

// The same filter text set again on a shared table scans again: a record
// another user appended or changed since the last scan is judged as it now
// stands.
TEST(HandlerReadCache, SameFilterAgainOnASharedTableSeesAnotherUsersRecords) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"ALPHA", "BRAVO", "ANNA"});
  CVO_dBHandler me(t, "", true, true), other(t, "", true, true);
  me.kvSetTranslateAscii(false);
  other.kvSetTranslateAscii(false);
  me.cvSetFilterExpr("LEFT(NAME,1)='A'", false, true);
  me.cvSetFilterActive(true);
  EXPECT_EQ(Names(me), (Strings{"ALPHA", "ANNA"}));
  other.cvBlank();
  other.cvStringPut("NAME", "AXEL");
  other.cvAppend();
  other.cvGetRec(1);
  other.cvStringPut("NAME", "ZULU");
  other.cvPutRec(1);
  me.cvSetFilterExpr("LEFT(NAME,1)='A'", false, true);
  EXPECT_EQ(Names(me), (Strings{"ANNA", "AXEL"}));
}
