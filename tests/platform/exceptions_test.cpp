#include "platform/exceptions.h"

#include <gtest/gtest.h>

TEST(FormatMessage, FillsPlaceholdersAndNeverInterpretsArguments) {
  EXPECT_EQ(FormatMessage("File %s could not be found", {"a.dbf"}), "File a.dbf could not be found");
  EXPECT_EQ(FormatMessage("Record number %d is not in table %s", {7, "t"}), "Record number 7 is not in table t");
  // Text from files or users may hold placeholders of its own: copied verbatim.
  EXPECT_EQ(FormatMessage("Bad %s here", {"%s%n%d"}), "Bad %s%n%d here");
  EXPECT_EQ(FormatMessage("100%% of %s", {"x"}), "100% of x");
  // Missing arguments leave the placeholder; surplus ones are ignored.
  EXPECT_EQ(FormatMessage("%s and %s", {"one"}), "one and %s");
  EXPECT_EQ(FormatMessage("plain", {"x", 3}), "plain");
  EXPECT_EQ(FormatMessage("trailing %", {}), "trailing %");
  EXPECT_EQ(FormatMessage("%5.2d|%-3s", {42, "ab"}), "42|ab");
}

TEST(Exceptions, HierarchyAndMessages) {
  try {
    DatabaseErrorFmt("Field '%s' cannot be modified", {"FM"});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Field 'FM' cannot be modified");
    EXPECT_NE(dynamic_cast<const EDatabaseError*>(&e), nullptr);
  }
  EXPECT_THROW(throw EIntOverflow("Arithmetic overflow"), ERangeError);
}
