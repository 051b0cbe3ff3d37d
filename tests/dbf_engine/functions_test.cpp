// The built-in functions: exact bytes of the ones that become index keys,
// bounds, lazy IIF, financial functions and the domain messages.
#include <gtest/gtest.h>

#include <cmath>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/expr/functions.h"
#include "dbf_engine/messages.h"

namespace {

class FunctionsTest : public ::testing::Test {
protected:
  FunctionsTest() { link.OemText = false; }

  TcvExpValue Eval(const std::string& text, TcvExpResultType* type = nullptr) {
    TcvExpHandler h(&link, text);
    TcvExpValue v;
    h.ExpressionResult(v);
    if (type) *type = h.ResultType();
    return v;
  }
  std::string Text(const std::string& text) {
    TcvExpResultType t;
    TcvExpValue v = Eval(text, &t);
    EXPECT_EQ(t, rtText) << text;
    return v.AsText();
  }
  double Num(const std::string& text) { return Eval(text).AsFloat(); }
  bool Bool(const std::string& text) { return Eval(text).AsBoolean(); }
  std::string Error(const std::string& text) {
    try {
      Eval(text);
    } catch (const Exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  TcvExpUserLink link;
};

TEST_F(FunctionsTest, StrAndStrZeroBytes) {
  EXPECT_EQ(Text("STR(3.14159, 6, 2)"), "  3.14");
  EXPECT_EQ(Text("STR(123456, 3)"), "***");
  EXPECT_EQ(Text("STR(5)"), "         5");
  EXPECT_EQ(Text("STR(-1.5, 6, 1)"), "  -1.5");
  EXPECT_EQ(Text("STR(1, 0)"), "");
  EXPECT_EQ(Text("STRZERO(5, 3)"), "005");
  EXPECT_EQ(Text("STRZERO(-5, 5)"), "-0005");
  EXPECT_EQ(Text("STRZERO(12.5, 6, 2)"), "012.50");
  link.DefaultWidth = 4;
  EXPECT_EQ(Text("STR(7)"), "   7");
  EXPECT_EQ(cvStrFormat(1e300, 5, 0), "*****");
}

TEST_F(FunctionsTest, DateFunctionsAndTheOneEmptyDate) {
  EXPECT_EQ(Text("DTOS(CTOD('20240229'))"), "20240229");
  EXPECT_EQ(Num("CTOD('19800101')"), 2444240);
  EXPECT_EQ(Text("DTOS(CTOD(''))"), "        ");
  EXPECT_EQ(Num("CTOD('')"), 0);
  EXPECT_TRUE(Bool("EMPTY(CTOD(''))"));
  EXPECT_TRUE(Bool("CTOD('') = CTOD('        ')"));
  EXPECT_EQ(Text("DTOS({20240131})"), "20240131");
  EXPECT_EQ(Text("DTOC({20240131})"), "31.01.2024");
  EXPECT_EQ(Text("DTOC({20240131}, 1)"), "20240131");
  EXPECT_EQ(Text("DTOC(CTOD(''))"), "          ");
  EXPECT_EQ(Num("DOW({20240101})"), 2);
  EXPECT_EQ(Num("DOW(CTOD(''))"), 0);
  EXPECT_EQ(Error("CTOD('20241399')").empty(), false);
  EXPECT_GT(Num("DATE()"), 2460000);
}

TEST_F(FunctionsTest, UpperAndLowerOfBothCodePages) {
  // CP1251 "иванов" -> "ИВАНОВ".
  EXPECT_EQ(Text("UPPER('\xE8\xE2\xE0\xED\xEE\xE2 x')"), "\xC8\xC2\xC0\xCD\xCE\xC2 X");
  EXPECT_EQ(Text("LOWER('\xC8\xC2\xC0\xCD\xCE\xC2 X')"), "\xE8\xE2\xE0\xED\xEE\xE2 x");
  // OEM 866 "иванов" -> "ИВАНОВ" through the ANSI round trip.
  link.OemText = true;
  EXPECT_EQ(Text("UPPER('\xA8\xA2\xA0\xAD\xAE\xA2')"), "\x88\x82\x80\x8D\x8E\x82");
  EXPECT_EQ(Text("LOWER('\x88\x82\x80\x8D\x8E\x82')"), "\xA8\xA2\xA0\xAD\xAE\xA2");
  EXPECT_EQ(Text("UPPER('')"), "");
}

TEST_F(FunctionsTest, SoundexAndDescend) {
  EXPECT_EQ(Text("SOUNDEX('ROBERT')"), "R163");
  EXPECT_EQ(Text("SOUNDEX('Tymczak')"), "T520");
  EXPECT_EQ(Text("SOUNDEX('ABE')"), "A100");
  EXPECT_EQ(Text("SOUNDEX('A')"), "A000");
  EXPECT_EQ(Text("SOUNDEX('')"), "0000");

  TcvExpResultType t;
  EXPECT_EQ(Eval("DESCEND('AB\x01')", &t).text, std::string("\xBF\xBE\xFF"));
  EXPECT_EQ(t, rtText);
  EXPECT_EQ(Eval("DESCEND(5)", &t).AsFloat(), -5);
  EXPECT_EQ(t, rtFloat);
  EXPECT_EQ(Eval("DESCEND(0)", &t).AsFloat(), 0);
  EXPECT_EQ(Eval("DESCEND({19800101})", &t).AsFloat(), 5231808 - 2444240);
  EXPECT_EQ(t, rtDate);
  EXPECT_EQ(Eval("DESCEND(CTOD(''))", &t).AsFloat(), 0);
  EXPECT_EQ(Eval("DESCEND(.T.)", &t).AsBoolean(), false);
  EXPECT_EQ(t, rtBoolean);
  // Descending keys order in reverse.
  EXPECT_TRUE(Bool("DESCEND('B') < DESCEND('A')"));
  EXPECT_TRUE(Bool("DESCEND({20240102}) < DESCEND({20240101})"));
}

TEST_F(FunctionsTest, SubstringBoundsNeverThrow) {
  EXPECT_EQ(Text("SUBSTR('ABC', 2)"), "BC");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, 1)"), "B");
  EXPECT_EQ(Text("SUBSTR('ABC', 0, 2)"), "AB");
  EXPECT_EQ(Text("SUBSTR('ABC', 5)"), "");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, -1)"), "");
  EXPECT_EQ(Text("SUBSTR('ABC', -100000000000000000000, 100000000000000000000)"), "ABC");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, 'x')"), "BC");
  EXPECT_EQ(Text("LEFT('ABC', 2)"), "AB");
  EXPECT_EQ(Text("LEFT('ABC', -1)"), "");
  EXPECT_EQ(Text("LEFT('ABC', 1000000000000000000000000000000)"), "ABC");
  EXPECT_EQ(Text("RIGHT('ABC', 2)"), "BC");
  EXPECT_EQ(Text("RIGHT('ABC', 9)"), "ABC");
  EXPECT_EQ(Text("RIGHT('ABC', -3)"), "");
  EXPECT_EQ(Text("SPACE(3)"), "   ");
  EXPECT_EQ(Text("SPACE(-3)"), "");
  EXPECT_FALSE(Error("SPACE(100000000000)").empty());
}

TEST_F(FunctionsTest, IifEvaluatesOnlyTheChosenBranch) {
  TcvExpResultType t;
  EXPECT_EQ(Eval("IIF(.T., 1, LOG(0))", &t).AsFloat(), 1);
  EXPECT_EQ(t, rtFloat);
  EXPECT_EQ(Eval("IIF(.F., LOG(0), 'X')", &t).AsText(), "X");
  EXPECT_EQ(t, rtText);
  EXPECT_EQ(Error("IIF(1, 2, 3)"), "Boolean needed for Argument 1 of IIF");
}

TEST_F(FunctionsTest, FinancialFunctions) {
  EXPECT_DOUBLE_EQ(Num("FV(100, 0, 10)"), 1000);
  EXPECT_NEAR(Num("FV(100, 0.1, 2)"), 210, 1e-9);
  EXPECT_NEAR(Num("FV(100, 0.1, 2, 0, 1)"), 231, 1e-9);
  EXPECT_NEAR(Num("FV(100, 0.1, 2.9)"), 210, 1e-9);  // periods truncated
  EXPECT_DOUBLE_EQ(Num("PV(100, 0, 10)"), 1000);
  EXPECT_NEAR(Num("PV(100, 0.1, 2)"), 173.55371900826, 1e-9);
  EXPECT_NEAR(Num("PV(100, 0.1, 2, 0, 1)"), 190.90909090909, 1e-9);
  EXPECT_EQ(Error("FV(100, 0.1, 2, 0, 2)"), "Argument for FV PaymentTime must be 0 or 1");
  EXPECT_EQ(Error("PV(100, 0.1, 2, 0, -1)"), "Argument for FV PaymentTime must be 0 or 1");
}

TEST_F(FunctionsTest, DomainMessages) {
  EXPECT_EQ(Error("LOG(0)"), "Argument for LOG must be > 0");
  EXPECT_EQ(Error("LOG(-1)"), "Argument for LOG must be > 0");
  EXPECT_EQ(Error("LOG10(0)"), "Argument for LOG10 must be > 0");
  EXPECT_EQ(Error("ACOS(2)"), "Argument for ACOS must be -1 to +1");
  EXPECT_EQ(Error("ASIN(-1.5)"), "Argument for ASIN must be -1 to +1");
  EXPECT_EQ(Error("CHR(256)"), "A Byte value is required but invalid");
  EXPECT_EQ(Error("MAX(1, 'A')"), "All arguments for Max() must be of the same type");
  EXPECT_EQ(Error("MIN()"), "A value is required for Min()");
  EXPECT_EQ(Error("PADR('A', 3, 'ab')"), "A Char value is required but invalid");
  EXPECT_EQ(Error("PADR()"), "Value needed for Argument 1 of Pad");
  EXPECT_EQ(Error("MOD(1, 0)"), "Division by zero");
  EXPECT_NEAR(Num("ACOS(1)"), 0, 1e-15);
  EXPECT_NEAR(Num("ATN2(1, -1)"), 3 * std::atan(1.0), 1e-12);
}

TEST_F(FunctionsTest, PadFunctionsNestAndNeverCut) {
  EXPECT_EQ(Text("PADL('ABCDE', 3)"), "ABCDE");
  EXPECT_EQ(Text("PADC('AB', 5)"), " AB  ");
  EXPECT_EQ(Text("PADR('AB', 4, '.')"), "AB..");
  EXPECT_EQ(Text("PADL(PADL('A', 2, '-'), 4, '*')"), "**-A");
  EXPECT_EQ(Text("PADC(PADR('A', 3, '*'), 7, PADL('+', 1))"), "++A**++");
  EXPECT_EQ(Text("PADL(12, 4)"), "  12");
}

TEST_F(FunctionsTest, SearchFunctions) {
  EXPECT_EQ(Num("AT('AA', 'AAAA', 2)"), 2);
  EXPECT_EQ(Num("AT('AA', 'AAAA', 3)"), 3);
  EXPECT_EQ(Num("AT('AA', 'AAAA', 4)"), 0);
  EXPECT_EQ(Num("AT('A', 'ABA', 3)"), 0);
  EXPECT_EQ(Num("AT('A', 'ABA', 0)"), 0);
  EXPECT_EQ(Num("AT('X', 'ABC')"), 0);
  EXPECT_EQ(Num("ATC('b', 'ABC')"), 2);
  EXPECT_EQ(Num("AT('b', 'ABC')"), 0);
  EXPECT_EQ(Text("STRTRAN('aXbXc', 'X', '-')"), "a-b-c");
  EXPECT_EQ(Text("STRTRAN('aXbXc', 'X', '-', 2, 1)"), "aXb-c");
  EXPECT_EQ(Text("STRTRAN('aXbXc', 'X')"), "abc");
  EXPECT_EQ(Text("STRTRAN('abc', '')"), "abc");
  EXPECT_TRUE(Bool("INLIST('B  ', 'A', 'B')"));
  EXPECT_FALSE(Bool("INLIST('C', 'A', 'B')"));
  EXPECT_TRUE(Bool("INLIST(2, 1, 2)"));
  EXPECT_TRUE(Bool("BETWEEN(5, 1, 10)"));
  EXPECT_FALSE(Bool("BETWEEN(11, 1, 10)"));
  EXPECT_TRUE(Bool("BETWEEN('B', 'A', 'C')"));
  EXPECT_EQ(Num("MAX(3, 7, 5)"), 7);
  EXPECT_EQ(Num("MIN(3, 7, 5)"), 3);
  EXPECT_EQ(Text("MAX('A', 'C', 'B')"), "C");
}

TEST_F(FunctionsTest, SmallFunctions) {
  EXPECT_EQ(Num("MOD(7, 3)"), 1);
  EXPECT_EQ(Num("MOD(-7, 3)"), -1);
  EXPECT_EQ(Num("INT(-2.7)"), -2);
  EXPECT_EQ(Num("CEILING(2.1)"), 3);
  EXPECT_EQ(Num("FLOOR(-2.1)"), -3);
  EXPECT_EQ(Num("ABS(-2)"), 2);
  EXPECT_EQ(Num("ASC('A')"), 65);
  EXPECT_EQ(Num("ASC('')"), 0);
  EXPECT_EQ(Text("CHR(65)"), "A");
  EXPECT_EQ(Num("LEN('ABC  ')"), 5);
  EXPECT_EQ(Num("VAL(' 12.5 ')"), 12.5);
  EXPECT_EQ(Num("VAL('abc')"), 0);
  EXPECT_EQ(Text("TRIM(' A \t')"), " A");
  EXPECT_EQ(Text("RTRIM(' A ')"), " A");
  EXPECT_EQ(Text("LTRIM(' A ')"), "A ");
  EXPECT_EQ(Text("ALLTRIM('  A  ')"), "A");
  EXPECT_EQ(Text("PROPER([joHN o'neil-smith])"), "John O'neil-Smith");
  EXPECT_TRUE(Bool("EMPTY(0.0)"));
  EXPECT_TRUE(Bool("EMPTY('   ')"));
  EXPECT_TRUE(Bool("EMPTY(.F.)"));
  EXPECT_FALSE(Bool("EMPTY('x')"));
  EXPECT_FALSE(Bool("EMPTY(1)"));
  EXPECT_NEAR(Num("DTOR(180)"), 3.14159265358979, 1e-14);
  EXPECT_NEAR(Num("RTOD(PI())"), 180, 1e-12);
  EXPECT_EQ(cvGlobalFunctions().Count(), 55);
}

}  // namespace
