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
  me.cvGetRec(-4);
  me.cvGetRec(-2);
  EXPECT_EQ(Trimmed(me.cvStringGet("NAME")), "CAT");
}
