// The expression language end to end: texts through the lexer and parser,
// evaluated with their types, null rules and errors.
#include <gtest/gtest.h>

#include <climits>

#include "common/expr_test_support.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_lexer.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/sift_messages.h"

namespace {

class ExprLanguage : public ::testing::Test {
protected:
  FormatSettingsGuard guard{'.', ','};
};

struct Case {
  const char* text;
  TExprType type;
  const char* value;  // the value as text
};

std::string What(const std::string& text) {
  try {
    auto e = Compile(text);
    (void)e->GetExprType();
    (void)e->GetAsString();
    return "no error";
  } catch (const std::exception& ex) {
    return ex.what();
  }
}

TEST_F(ExprLanguage, OperatorsGiveTheirTypeAndValue) {
  const Case cases[] = {
      {"7 / 2", ttFloat, "3.5"},
      {"7 DIV 2", ttInteger, "3"},
      {"-7 MOD 2", ttInteger, "-1"},
      {"1 SHL 33", ttInteger, "2"},
      {"-1 SHR 28", ttInteger, "15"},
      {"1 SHL -31", ttInteger, "2"},  // counts are taken & 31
      {"-2147483648 MOD -1", ttInteger, "0"},
      {"1 + 2.5", ttFloat, "3.5"},
      {"1 + TRUE", ttInteger, "2"},
      {"'a' + 1", ttString, "a1"},
      {"NOT 5", ttInteger, "-6"},
      {"NOT TRUE", ttBoolean, "FALSE"},
      {"2 ^ 3", ttFloat, "8"},
      {"2 ^ 3 ^ 2", ttFloat, "512"},  // right-associative
      {"- 2 ^ 2", ttFloat, "-4"},     // -(2 ^ 2)
      {"2 * 3 + 4 * 5", ttInteger, "26"},
      {"2 + 3 * 4 - 1", ttInteger, "13"},
      {"10 - 4 - 3", ttInteger, "3"},
      {"(1 + 2) * 3", ttInteger, "9"},
      {"'abc' < 'abd'", ttBoolean, "TRUE"},
      {"'abc' < 'ABC'", ttBoolean, "FALSE"},
      {"'ab' < 'abc'", ttBoolean, "TRUE"},
      {"'\xE0' > 'z'", ttBoolean, "TRUE"},  // bytes compare unsigned
      {"TRUE = 1", ttBoolean, "TRUE"},
      {"1.5 = 1.5", ttBoolean, "TRUE"},
      {"'' = ''", ttBoolean, "FALSE"},  // a null operand: false for every operator
      {"'' <> 'x'", ttBoolean, "FALSE"},
      {"FALSE AND (1 / 0 = 1)", ttBoolean, "FALSE"},
      {"TRUE OR (1 / 0 = 1)", ttBoolean, "TRUE"},
      {"TRUE XOR TRUE", ttBoolean, "FALSE"},
      {"5 AND 3", ttInteger, "1"},
      {"5 OR 3", ttInteger, "7"},
      {"5 XOR 3", ttInteger, "6"},
      {"1 = 1 OR 1 = 2 AND 1 = 2", ttBoolean, "FALSE"},  // one level, left to right
      {"NOT 1 = 2", ttBoolean, "FALSE"},                 // (NOT 1) = 2, not NOT (1 = 2)
      {"$FF", ttFloat, "255"},                           // hexadecimal literals are float tokens
      {"$FFFFFFFF", ttFloat, "-1"},
      {".5e+1", ttFloat, "5"},
      {"+1 + +2", ttInteger, "3"},
      {"2147483648", ttFloat, "2147483648"},  // too large for an integer literal
      {"'it''s'", ttString, "it's"},
      {"\"say \"\"hi\"\"\"", ttString, "say \"hi\""},
      {"#12/31/2003#", ttFloat, "37986"},
      {"#1/2/03#", ttFloat, "37623"},  // short literals are dates too
      {"1 /* a comment */ + 1", ttInteger, "2"},
      {"1\t+\n1", ttInteger, "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Compile(c.text);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->GetExprType(), c.type);
    EXPECT_EQ(e->GetAsString(), c.value);
  }
}

TEST_F(ExprLanguage, ArithmeticFailsInsteadOfWrapping) {
  EXPECT_THROW(Compile("2147483647 + 1")->GetAsInteger(), EIntOverflow);
  EXPECT_THROW(Compile("2147483647 +1"), ESiftError);  // "+1" is a signed literal: no operator
  EXPECT_THROW(Compile("-2147483648 DIV -1")->GetAsInteger(), EIntOverflow);
  EXPECT_THROW(Compile("65536 * 65536")->GetAsInteger(), EIntOverflow);
  EXPECT_THROW(Compile("- -2147483648")->GetAsInteger(), EIntOverflow);
  EXPECT_THROW(Compile("1 DIV 0")->GetAsInteger(), EDivByZero);
  EXPECT_THROW(Compile("1 MOD 0")->GetAsInteger(), EDivByZero);
  EXPECT_THROW(Compile("1 / 0")->GetAsFloat(), EZeroDivide);
  EXPECT_THROW(Compile("0 / 0")->GetAsFloat(), EInvalidOp);
  EXPECT_THROW(Compile("(0 - 2) ^ 2")->GetAsFloat(), EInvalidOp);
  EXPECT_THROW(Compile("10.0 ^ 400")->GetAsFloat(), EOverflow);
  EXPECT_THROW(Compile("EXP(1000)")->GetAsFloat(), EOverflow);
  EXPECT_THROW(Compile("LN(0)")->GetAsFloat(), EZeroDivide);
  EXPECT_THROW(Compile("SQRT(0 - 1)")->GetAsFloat(), EInvalidOp);
  EXPECT_THROW(Compile(".1e+300 * .1e+300")->GetAsFloat(), EOverflow);
  EXPECT_DOUBLE_EQ(Compile("0 ^ 2")->GetAsFloat(), 0.0);
  // Texts that spell numbers beyond the double range do not become inf.
  EXPECT_THROW(Compile("FLOAT('1e999')")->GetAsFloat(), Exception);
  EXPECT_THROW(Compile("'1e999' + ''")->GetAsFloat(), Exception);
}

TEST_F(ExprLanguage, TypeErrorsNameOperatorAndType) {
  EXPECT_EQ(What("'a' - 'b'"), "Operator opMinus incompatible with String");
  EXPECT_EQ(What("NOT 1.5"), "Operator opNot incompatible with Float");
  EXPECT_EQ(What("TRUE > FALSE"), "cannot apply opGT to boolean operands");
  EXPECT_EQ(What("+'a'"), "Cannot read String as String");
  // The string read as a number converts (or fails with the conversion
  // error), it is not silently 0.
  EXPECT_DOUBLE_EQ(Compile("'1.5' + ''")->GetAsFloat(), 1.5);
  EXPECT_EQ(Compile("'42' + ''")->GetAsInteger(), 42);
  EXPECT_THROW(Compile("'x' + ''")->GetAsFloat(), EConvertError);
  EXPECT_EQ(What("1.5 + 1"), "no error");
  EXPECT_THROW(Compile("1.5 + 1")->GetAsInteger(), EExpression);
  EXPECT_THROW(Compile("1 + 1")->GetAsBoolean(), EExpression);
}

TEST_F(ExprLanguage, LikeInBetweenBindAsDocumented) {
  // LIKE applies to the whole sum on its left; a NOT that starts NOT LIKE
  // binds to the nearest operand.
  EXPECT_TRUE(Compile("'a' + 'b' LIKE 'ab'")->GetAsBoolean());
  auto notLike = Compile("'a' + 'b' NOT LIKE 'x'");
  EXPECT_EQ(notLike->GetExprType(), ttString);  // 'a' + ('b' NOT LIKE 'x')
  EXPECT_EQ(notLike->GetAsString(), "aTRUE");
  EXPECT_TRUE(Compile("1 = 1 LIKE 'TRUE'")->GetAsBoolean());
  EXPECT_TRUE(Compile("3 BETWEEN 1 AND 5")->GetAsBoolean());
  EXPECT_FALSE(Compile("3 NOT BETWEEN 1 AND 5")->GetAsBoolean());
  EXPECT_TRUE(Compile("'b' BETWEEN 'a' AND 'c' AND TRUE")->GetAsBoolean());
  EXPECT_TRUE(Compile("2 IN (1, 2)")->GetAsBoolean());
  EXPECT_FALSE(Compile("2 NOT IN (1, 2)")->GetAsBoolean());
  EXPECT_FALSE(Compile("2 IN ()")->GetAsBoolean());
  EXPECT_TRUE(Compile("2 NOT IN ()")->GetAsBoolean());
  EXPECT_TRUE(Compile("1.5 IN (1, 1.5)")->GetAsBoolean());
}

TEST_F(ExprLanguage, SyntaxErrorsReportWhereAndWhat) {
  TExprParser p(nullptr, nullptr);
  try {
    p.ParseExpression("1 + FOO(2)");
    FAIL();
  } catch (const ESiftError& e) {
    EXPECT_NE(std::string(e.what()).find("Unknown Identifier FOO"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("at line : 1"), std::string::npos) << e.what();
  }
  EXPECT_EQ(p.Expression, nullptr);
  // The parser is reusable after a failure: nothing of the failed parse is
  // left on its stacks.
  p.ParseExpression("1 + 2");
  ASSERT_NE(p.Expression, nullptr);
  EXPECT_EQ(p.Expression->GetAsInteger(), 3);

  for (const char* bad :
       {"x-1", "1 +", "(1", "1 2", "1 \r+ 2", "CASE END", "CAST(1 AS CHAR)", "@", "$FFFFFFFFF", "a.", ":"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(Compile(bad), ESiftError);
  }
  EXPECT_THROW(Compile("#2003-31-12#"), EConvertError);
  EXPECT_NO_THROW(Compile(""));  // nothing to do
  EXPECT_EQ(Compile(""), nullptr);
}

TEST_F(ExprLanguage, KeywordsAndNamesIgnoreCase) {
  EXPECT_EQ(Compile("upper('ab')")->GetAsString(), "AB");
  EXPECT_EQ(Compile("UpPeR('ab')")->GetAsString(), "AB");
  EXPECT_TRUE(Compile("true and not false")->GetAsBoolean());
  EXPECT_EQ(Compile("7 div 2")->GetAsInteger(), 3);
}

TEST_F(ExprLanguage, CastsConvertTheValueAndItsText) {
  const Case cases[] = {
      {"INTEGER(2.7)", ttInteger, "2"},          {"INTEGER(-2.7)", ttInteger, "-2"},
      {"CAST(TRUE AS INTEGER)", ttInteger, "1"}, {"CAST('12' AS INTEGER)", ttInteger, "12"},
      {"FLOAT('2.5')", ttFloat, "2.5"},          {"CAST(3 AS FLOAT)", ttFloat, "3"},
      {"CAST(2.5 AS STRING)", ttString, "2.5"},  {"CAST(1 = 1 AS STRING)", ttString, "TRUE"},
      {"BOOLEAN(1 = 1)", ttBoolean, "TRUE"},     {"CAST('' AS INTEGER)", ttInteger, ""},  // a null operand gives null
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Compile(c.text);
    EXPECT_EQ(e->GetExprType(), c.type);
    EXPECT_EQ(e->GetAsString(), c.value);
  }
  auto nullCast = Compile("CAST('' AS INTEGER)");
  EXPECT_TRUE(nullCast->GetIsNull());
  EXPECT_EQ(nullCast->GetAsInteger(), 0);
  EXPECT_THROW(Compile("CAST('x' AS INTEGER)")->GetAsInteger(), EConvertError);
  EXPECT_THROW(Compile("BOOLEAN('T')")->GetAsBoolean(), EExpression);
  EXPECT_THROW(Compile("INTEGER()")->GetAsInteger(), EListError);
  EXPECT_THROW(Compile("INTEGER(.3e+11)")->GetAsInteger(), ERangeError);
}

TEST_F(ExprLanguage, BuiltinFunctions) {
  const Case cases[] = {
      {"SUBSTRING('abcdef', 2, 3)", ttString, "bcd"},
      {"COPY('abcdef', 0, 2)", ttString, "ab"},
      {"COPY('abc', 3, 10)", ttString, "c"},
      {"COPY('abc', 4, 1)", ttString, ""},
      {"COPY('abc', 2, -1)", ttString, ""},
      {"POS('c', 'abc')", ttInteger, "3"},
      {"CHARINDEX('x', 'abc')", ttInteger, "0"},
      {"LENGTH('abc')", ttInteger, "3"},
      {"TRIM('  a b  ')", ttString, "a b"},
      {"LTRIM('  a ')", ttString, "a "},
      {"RTRIM('  a ')", ttString, "  a"},
      {"LOWER('\xC0\xC1')", ttString, "\xE0\xE1"},  // CP1251 letters
      {"RIGHT('abc', 5)", ttString, "abc"},
      {"RIGHT('abc', 2)", ttString, "bc"},
      {"RIGHT('abc', -1)", ttString, ""},
      {"LEFT('abc', 2)", ttString, "ab"},
      {"LEFT('abc', 0)", ttString, ""},
      {"ROUND(2.5)", ttInteger, "2"},
      {"ROUND(3.5)", ttInteger, "4"},
      {"TRUNC(-2.7)", ttInteger, "-2"},
      {"ABS(-3)", ttFloat, "3"},
      {"INT(-2.7)", ttFloat, "-2"},
      {"FRAC(2.5)", ttFloat, "0.5"},
      {"SQR(3)", ttFloat, "9"},
      {"POWER(2, 10)", ttFloat, "1024"},
      {"PI()", ttFloat, "3.14159265358979"},
      {"ROUNDDEC(2.346, 2)", ttFloat, "2.35"},
      {"TRUNCDEC(2.349, 2)", ttFloat, "2.34"},
      {"ROUNDDEC(2.7, 0)", ttFloat, "3"},
      {"TRUNCDEC(2.7, 0)", ttFloat, "2"},
      {"ROUNDDEC(-2.7, 0)", ttFloat, "-3"},
      {"ROUNDDEC(-2.346, 2)", ttFloat, "-2.35"},
      {"ROUNDDEC(-2.5, 0)", ttFloat, "-3"},
      {"TRUNCDEC(-2.349, 2)", ttFloat, "-2.34"},
      {"CASE WHEN FALSE THEN 1 END", ttInteger, ""},  // no ELSE: empty text, 0
      {"CASE WHEN FALSE THEN 1 ELSE 5 END", ttInteger, "5"},
      {"CASE WHEN 1 = 2 THEN 'a' WHEN 2 = 2 THEN 'b' ELSE 'c' END", ttString, "b"},
      {"DECODE(2, 1, 'one', 2, 'two', 'other')", ttString, "two"},
      {"DECODE(3, 1, 'one', 'other')", ttString, "other"},
      {"MINOF(3, 1, 2)", ttFloat, "1"},
      {"MAXOF(3, 1.5, 2)", ttFloat, "3"},
      {"ASCII('A')", ttInteger, "65"},
      {"ASCII('')", ttInteger, "0"},
      {"IF(1 = 1, 'yes', 'no')", ttString, "yes"},
      {"IF(1 = 2, 1, 2.5)", ttFloat, "2.5"},
      {"IF(1 = 1, 1, 'none')", ttString, "1"},
      {"YEAR(#12/31/2003#)", ttInteger, "2003"},
      {"MONTH(#12/31/2003#)", ttInteger, "12"},
      {"DAY(#12/31/2003#)", ttInteger, "31"},
      {"HOUR(0.75)", ttInteger, "18"},
      {"FORMATFLOAT('0.00', 2.5)", ttString, "2.50"},
      {"FORMAT('%d-%s', 7, 'x')", ttString, "7-x"},
      {"SQLTRIM('x', 'xxaxx', 0)", ttString, "axx"},
      {"SQLTRIM('x', 'xxaxx', 1)", ttString, "xxa"},
      {"SQLTRIM('x', 'xxaxx', 2)", ttString, "a"},
      {"SQLTRIM('x', 'xxaxx', 3)", ttString, ""},
      {"ISNULL('', TRUE)", ttBoolean, "TRUE"},
      {"ISNULL('a', FALSE)", ttBoolean, "TRUE"},
      {"ISNULL(0, TRUE)", ttBoolean, "FALSE"},
      {"NULL()", ttBoolean, "TRUE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto e = Compile(c.text);
    EXPECT_EQ(e->GetExprType(), c.type);
    EXPECT_EQ(e->GetAsString(), c.value);
  }
  EXPECT_EQ(Compile("CASE WHEN FALSE THEN 1 END")->GetAsInteger(), 0);
  EXPECT_DOUBLE_EQ(Compile("CASE WHEN FALSE THEN 1 END")->GetAsFloat(), 0.0);
  EXPECT_EQ(Compile("CASE WHEN FALSE THEN 1 ELSE 5 END")->GetAsInteger(), 5);
}

TEST_F(ExprLanguage, FunctionErrors) {
  EXPECT_EQ(What("UPPER(1, 2)"), "Invalid parameter to UPPER");
  EXPECT_EQ(What("SUBSTRING('a', 'b', 1)"), "Invalid parameter to COPY");
  EXPECT_EQ(What("SQRT('a')"), "Invalid parameter to SQRT");
  EXPECT_EQ(What("POWER(1)"), "Invalid parameter to POWER");
  EXPECT_EQ(What("IF(1, 2, 3)"), "IF: Invalid parameters");
  EXPECT_EQ(What("IF(TRUE, 2)"), "IF: Invalid parameters");
  EXPECT_EQ(What("ASCII(1)"), "ASCII: Incorrect argument");
  EXPECT_EQ(What("ASCII()"), "ASCII: Incorrect argument");
  EXPECT_EQ(What("DECODE(1, 2, 3)"), "DECODE: Incorrect number of arguments");
  EXPECT_EQ(What("DECODE()"), "DECODE: Incorrect number of arguments");
  EXPECT_EQ(What("MAXOF()"), "MINOF, MAXOF: Incorrect number of arguments");
  EXPECT_EQ(What("CASE WHEN 1 THEN 2 END"), "Expression in Case must be boolean");
  EXPECT_EQ(What("CASE WHEN TRUE THEN 2 ELSE 'x' END"), "Expressions in THEN section must be all of same type");
  EXPECT_EQ(What("SQLTRIM('xy', 'a', 0)"), "Length of trimmed char in TRIM function must be 1");
  EXPECT_THROW(Compile("LEFT()")->GetAsString(), EListError);
  EXPECT_THROW(Compile("RIGHT('a')")->GetAsString(), EListError);
  EXPECT_THROW(Compile("FORMAT('%d %d', 1)")->GetAsString(), EConvertError);
  EXPECT_THROW(Compile("FORMAT('%d', 'x')")->GetAsString(), EConvertError);
  // Special names whose arguments do not fit are unknown identifiers.
  for (const char* t : {"NOW(1)", "ROUNDDEC('a', 2)", "ISNULL(1)", "SQLTRIM('a', 'b')"}) {
    SCOPED_TRACE(t);
    EXPECT_NE(What(t).find("Unknown Identifier"), std::string::npos);
  }
}

TEST_F(ExprLanguage, NestedCaseKeepsEachBranch) {
  auto inner = Compile("CASE WHEN 1 = 2 THEN 'x' WHEN (CASE WHEN 2 = 2 THEN 1 ELSE 0 END) = 1 THEN 'y' END");
  EXPECT_EQ(inner->GetAsString(), "y");
  auto inElse = Compile("CASE WHEN 1 = 2 THEN 'a' ELSE CASE WHEN 1 = 1 THEN 'b' END END");
  EXPECT_EQ(inElse->GetAsString(), "b");
  auto inThen = Compile("CASE WHEN 1 = 1 THEN CASE WHEN 1 = 2 THEN 'p' ELSE 'q' END WHEN 2 = 2 THEN 'r' ELSE 's' END");
  EXPECT_EQ(inThen->GetAsString(), "q");
  auto deep = Compile(
      "CASE WHEN CASE WHEN TRUE THEN FALSE END THEN 1 WHEN CASE WHEN FALSE THEN FALSE ELSE TRUE END "
      "THEN CASE WHEN TRUE THEN 2 END END + 10");
  EXPECT_EQ(deep->GetAsInteger(), 12);
}

TEST_F(ExprLanguage, WidestTextsDoNotDependOnTheRow) {
  EXPECT_EQ(Compile("'No ' + 5")->GetMaxLen(), 3 + kMaxIntegerTextLen);
  EXPECT_EQ(Compile("CAST(1.5 AS STRING)")->GetMaxLen(), kMaxFloatTextLen);
  EXPECT_EQ(Compile("CAST(1 = 1 AS STRING)")->GetMaxLen(), kMaxBooleanTextLen);
  EXPECT_EQ(Compile("'ab' + 'cde'")->GetMaxString(), "abcde");
  EXPECT_EQ(Compile("IF(1 = 1, 'a', 'bcd')")->GetMaxLen(), 3);
  EXPECT_EQ(Compile("IF(1 = 2, 'abcd', 'b')")->GetMaxLen(), 4);
  EXPECT_EQ(Compile("CASE WHEN 1 = 1 THEN 'a' WHEN 1 = 2 THEN 'abc' ELSE 'ab' END")->GetMaxLen(), 3);
  EXPECT_EQ(Compile("DECODE(1, 1, 'a', 'abcd')")->GetMaxLen(), 4);
  EXPECT_EQ(Compile("LEFT('abcdef', 2)")->GetMaxLen(), 2);
  EXPECT_EQ(Compile("COPY('abcdef', 5, 20)")->GetMaxLen(), 6);
  EXPECT_EQ(Compile("FORMATFLOAT('0', 1)")->GetMaxLen(), kUnboundedTextLen);
  EXPECT_EQ(Compile("1 + 1")->GetMaxLen(), 0);
}

TEST_F(ExprLanguage, IfTypeIsBothBranchesCombined) {
  auto e = Compile("IF(2 > 1, 123456, 'none')");
  EXPECT_EQ(e->GetExprType(), ttString);
  EXPECT_EQ(e->GetAsString(), "123456");
  EXPECT_GE(e->GetMaxLen(), 6);
  auto f = Compile("IF(2 > 1, 3, 0.5)");
  EXPECT_EQ(f->GetExprType(), ttFloat);
  EXPECT_DOUBLE_EQ(f->GetAsFloat(), 3.0);
}

TEST_F(ExprLanguage, LexerTokens) {
  TExprLexer lx;
  lx.SetInputText("[Last Name] <> 1.5 'a''b' $10 CASE");
  std::vector<std::pair<int32_t, std::string>> got;
  for (int32_t t; (t = lx.yylex()) != 0;)
    if (t != etBlank && t != etNewLine) got.emplace_back(t, lx.yylval);
  const std::vector<std::pair<int32_t, std::string>> want = {{etIdent, "Last Name"}, {etNE, "<>"},    {etFloat, "1.5"},
                                                             {etString, "'a''b'"},   {etFloat, "16"}, {etCASE, "CASE"}};
  EXPECT_EQ(got, want);
}

}  // namespace
