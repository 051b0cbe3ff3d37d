// The WHERE texts the SQL grammar writes compile and evaluate in the
// expression language (with plain field names, as a dataset filter gets
// them), and parser limits.
#include <gtest/gtest.h>

#include "common/expr_test_support.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/sql_parser.h"

namespace {

TEST(ExprFromSql, WhereTextsSelectTheRightRows) {
  FormatSettingsGuard guard{'.', ','};
  TRowDataSet phones({{"TEL", ftString, 7}, {"FM", ftString, 20}, {"ND", ftInteger}},
                     {{Variant("2345678"), Variant("O'Brien J."), Variant(int32_t{5})},
                      {Variant("2340000"), Variant("\xC8\xE2\xE0\xED\xEE\xE2 \xC8.\xC8."), Variant(int32_t{12})},
                      {Variant("1111111"), Variant::Null(), Variant::Null()}});
  phones.Open();
  const struct {
    const char* sql;
    std::vector<int> rows;  // 0-based rows that match
  } cases[] = {
      {"select * from phones where tel like '234%';", {0, 1}},
      {"select * from phones where fm = 'O''Brien J.';", {0}},
      {"select * from phones where fm like '\xC8\xE2\xE0%' and nd = 12;", {1}},
      {"select * from phones where nd between 1 and 10 or tel = '1111111';", {0, 2}},
      {"select * from phones where fm is null;", {2}},
      // A comparison with null is false, so its negation holds.
      {"select * from phones where not (nd in (5, 6));", {1, 2}},
      {"select * from phones where upper(fm) like 'O%' ;", {0}},
      {"select * from phones where substring(tel from 1 for 3) = '234' and nd <> 5;", {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    TSqlAnalizer analyzer(nullptr, nullptr);
    ASSERT_EQ(analyzer.Parse(c.sql, "dd.MM.yyyy"), 0) << analyzer.Parser()->ErrorMessage;
    const std::string where = TkpParser::RemoveFieldMarkers(analyzer.WhereStr);
    SCOPED_TRACE(where);
    TExprParser p(nullptr, &phones);
    p.ParseExpression(where);
    ASSERT_NE(p.Expression, nullptr);
    std::vector<int> got;
    int row = 0;
    for (phones.First(); !phones.Eof(); phones.Next(), ++row)
      if (p.Expression->GetAsBoolean()) got.push_back(row);
    EXPECT_EQ(got, c.rows);
  }
}

TEST(ExprFromSql, NestingBeyondTheBoundIsRefused) {
  FormatSettingsGuard guard{'.', ','};
  std::string sum = "1";
  for (int i = 0; i < 3000; ++i) sum += " + 1";
  EXPECT_THROW(Compile(sum), ESiftError);
  std::string parens(3000, '(');
  EXPECT_THROW(Compile(parens + "1" + std::string(3000, ')')), ESiftError);
  std::string ok = "1";
  for (int i = 0; i < 500; ++i) ok += " + 1";
  EXPECT_EQ(Compile(ok)->GetAsInteger(), 501);
}

TEST(ExprFromSql, NestedNodesAreEvaluatedOncePerRequest) {
  // Each of these would take 2^60 or 3^60 steps if a node read its operand
  // once for the null test and again for the value.
  FormatSettingsGuard guard{'.', ','};
  std::string eq = "1 = 1", cast = "'x'", cond = "TRUE", between = "TRUE", in = "1";
  for (int i = 0; i < 60; ++i) {
    eq = "(" + eq + ") = TRUE";
    cast = "CAST(UPPER(" + cast + ") AS STRING)";
    cond = "IF(" + cond + " = TRUE, TRUE, FALSE)";
    between = "(" + between + " BETWEEN FALSE AND TRUE)";
    in = "DECODE(" + in + " IN (0, 1), TRUE, 1, 0)";
  }
  EXPECT_TRUE(Compile(eq)->GetAsBoolean());
  EXPECT_EQ(Compile(cast + " = 'X'")->GetAsString(), "TRUE");
  EXPECT_TRUE(Compile(cond)->GetAsBoolean());
  EXPECT_TRUE(Compile(between)->GetAsBoolean());
  EXPECT_EQ(Compile(in + " = 1")->GetAsString(), "TRUE");
}

}  // namespace
