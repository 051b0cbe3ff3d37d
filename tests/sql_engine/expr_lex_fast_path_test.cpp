// The expression lexer's fast scan loop against the general one.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sql_engine/expr/expr_lexer.h"
#include "sql_engine/expr_lexer_tables.h"
#include "sql_engine/lex_trace.h"

namespace {

using namespace lex_trace;

class GeneralExprLexer : public TExprLexer {
public:
  int32_t yylex() override { return ScanWith(ExprLexTables); }
};

void ExpectSameExpr(const std::string& text) {
  const Trace fast = Run<TExprLexer>(text), general = Run<GeneralExprLexer>(text);
  ASSERT_EQ(fast.Error, general.Error) << text;
  ASSERT_EQ(fast.Steps, general.Steps) << text;
  EXPECT_EQ(fast.Output, general.Output) << text;
}

}  // namespace

TEST(LexFastPath, ExpressionLexerMatchesGeneralLoop) {
  for (const char* text :
       {"", "a + b * 2", "[Last Name] = 'O''Brien'", "$FF $100000000", "#12/31/2003# #x#", "x /* c */ y", "a\r\nb\rc",
        ".5E+3 1. -7 a-1", "if(a, \"b\"\"c\", 'd')", "\xC0\xFF \x01", "'open"})
    ExpectSameExpr(text);
  const std::string alphabet = "aZ_9.+-*/[]'\"#$,:()<>=^ \t\r\n\xC0?";
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const size_t len = rng() % 40;
    for (size_t i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    ExpectSameExpr(text);
  }
}

TEST(LexFastPath, ExpressionDenseTablesAreUsable) { EXPECT_TRUE(TLexDenseTables(ExprLexTables).Usable()); }
