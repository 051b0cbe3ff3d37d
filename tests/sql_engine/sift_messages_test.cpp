// The query engine's message catalogue.
#include <gtest/gtest.h>

#include "sql_engine/sift_messages.h"

TEST(SiftMessages, TextsAndFormatting) {
  EXPECT_EQ(SiftMessage(SiftMsg::SSQLIsEmpty), "SQL statement cannot be empty");
  EXPECT_EQ(SiftMessage(65486), "Expresion is not of boolean type !");
  EXPECT_EQ(SiftMessage(SiftMsg::SAggrSUM), "SUM OF ");
  EXPECT_EQ(SiftMessage(65423), "");  // owned by the expression lexer
  try {
    SiftErrorFmt(SiftMsg::SSyntaxErrorMsg, {"syntax error", 2, 7, "%s%n"});
    FAIL();
  } catch (const ESiftError& e) {
    // User text is never read as a format.
    EXPECT_STREQ(e.what(), " syntax error at line : 2, Column: 7, token: %s%n");
  }
  EXPECT_THROW(SiftError(SiftMsg::SWrongJoin), Exception);
}
