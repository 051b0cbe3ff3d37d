#include "platform/numbers.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/exceptions.h"
#include "platform/variant.h"

namespace {

const std::string kNbsp = "\xA0";

TEST(FormatSettingsTest, RussianDefaultsAndGuardRestores) {
  FormatSettings& fs = GetFormatSettings();
  EXPECT_EQ(fs.DecimalSeparator, ',');
  EXPECT_EQ(fs.ThousandSeparator, '\xA0');
  EXPECT_EQ(fs.DateSeparator, '.');
  EXPECT_EQ(fs.ShortDateFormat, "dd.MM.yyyy");
  {
    FormatSettingsGuard g('.', ',');
    EXPECT_EQ(FloatToStr(1.5), "1.5");
    {
      FormatSettingsGuard inner('#', ' ');
      EXPECT_EQ(FloatToStr(2.25), "2#25");
    }
    EXPECT_EQ(GetFormatSettings().DecimalSeparator, '.');  // previous value, not the default
  }
  EXPECT_EQ(FloatToStr(1.5), "1,5");
  EXPECT_EQ(GetFormatSettings().ThousandSeparator, '\xA0');
}

TEST(FloatToStrTest, GeneralFormatFifteenDigits) {
  EXPECT_EQ(FloatToStr(0), "0");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(1), "1");
  EXPECT_EQ(FloatToStr(-2.5), "-2,5");
  EXPECT_EQ(FloatToStr(0.1), "0,1");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0,3");  // 15 digits hide the binary noise
  EXPECT_EQ(FloatToStr(1.0 / 3.0), "0,333333333333333");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(1.5e20), "1,5E20");
  EXPECT_EQ(FloatToStr(0.0001), "0,0001");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(-1.25e-7), "-1,25E-7");
  EXPECT_EQ(FloatToStr(9.9999999999999999), "10");
  EXPECT_EQ(FloatToStr(NAN), "NAN");
  EXPECT_EQ(FloatToStr(INFINITY), "INF");
  EXPECT_EQ(FloatToStr(-INFINITY), "-INF");
}

TEST(FloatToStrFTest, FixedNumberExponentCurrency) {
  EXPECT_EQ(FloatToStrF(3.14159, ffFixed, 15, 2), "3,14");
  EXPECT_EQ(FloatToStrF(2.5, ffFixed, 15, 0), "3");       // half away from zero, decimally
  EXPECT_EQ(FloatToStrF(1.005, ffFixed, 15, 2), "1,00");  // 1.00499999... as a double
  EXPECT_EQ(FloatToStrF(-0.001, ffFixed, 15, 2), "0,00");
  EXPECT_EQ(FloatToStrF(0.006, ffFixed, 15, 2), "0,01");
  EXPECT_EQ(FloatToStrF(1234567.891, ffNumber, 15, 2), "1" + kNbsp + "234" + kNbsp + "567,89");
  EXPECT_EQ(FloatToStrF(-999.5, ffNumber, 15, 0), "-1" + kNbsp + "000");
  EXPECT_EQ(FloatToStrF(150, ffExponent, 15, 3), "1,50000000000000E+002");
  EXPECT_EQ(FloatToStrF(-0.00015, ffExponent, 4, 2), "-1,500E-04");
  EXPECT_EQ(FloatToStrF(1e20, ffFixed, 15, 2), "1,00000000000000E+020");
  EXPECT_EQ(FloatToStrF(1234.5, ffCurrency, 15, 2), "1" + kNbsp + "234,50 \xF0.");
  EXPECT_EQ(FloatToStrF(-3, ffCurrency, 15, 2), "-3,00 \xF0.");
}

TEST(FormatFloatTest, Pictures) {
  EXPECT_EQ(FormatFloat("0.00", 3.14159), "3,14");
  EXPECT_EQ(FormatFloat("#,##0.00", 1234567.5), "1" + kNbsp + "234" + kNbsp + "567,50");
  EXPECT_EQ(FormatFloat("#.##", 0.5), ",5");
  EXPECT_EQ(FormatFloat("000", 7), "007");
  EXPECT_EQ(FormatFloat("#", 0), "0");
  EXPECT_EQ(FormatFloat("0.0##", 2.5), "2,5");
  EXPECT_EQ(FormatFloat("0.00E+00", 12345), "1,23E+04");
  EXPECT_EQ(FormatFloat("0.0E-0", 0.000125), "1,3E-4");
  EXPECT_EQ(FormatFloat("0;(0);zero", -5), "(5)");
  EXPECT_EQ(FormatFloat("0;(0);zero", 0), "zero");
  EXPECT_EQ(FormatFloat("0.0", -2.25), "-2,3");
  EXPECT_EQ(FormatFloat("\"Total: \"0.0 'rub'", 2), "Total: 2,0 rub");
  EXPECT_EQ(FormatFloat("", 2.5), "2,5");
}

TEST(FormatTest, TypedArguments) {
  EXPECT_EQ(Format("%d-%s", {Variant(42), Variant("x")}), "42-x");
  EXPECT_EQ(Format("%5d|%-5d|%.3d", {Variant(7), Variant(7), Variant(7)}), "    7|7    |007");
  EXPECT_EQ(Format("%.2f", {Variant(2.345)}), "2,35");
  EXPECT_EQ(Format("%f", {Variant(1.0)}), "1,00");
  EXPECT_EQ(Format("%g", {Variant(0.5)}), "0,5");
  EXPECT_EQ(Format("%x", {Variant(255)}), "FF");
  EXPECT_EQ(Format("%1:s %0:s", {Variant("a"), Variant("b")}), "b a");
  EXPECT_EQ(Format("%.2s", {Variant("abcdef")}), "ab");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%*d", {Variant(4), Variant(1)}), "   1");
  // absurd widths from user text are bounded
  EXPECT_EQ(Format("%.99999999d", {Variant(1)}).size(), 4096u);
  EXPECT_EQ(Format("%99999999s", {Variant("x")}).size(), 4096u);
  EXPECT_THROW(Format("%d", {Variant("x")}), EConvertError);
  EXPECT_THROW(Format("%s", {Variant(1)}), EConvertError);
  EXPECT_THROW(Format("%s", {Variant(true)}), EConvertError);
  EXPECT_THROW(Format("%s %s", {Variant("a")}), EConvertError);
  EXPECT_THROW(Format("%q", {Variant("a")}), EConvertError);
  EXPECT_THROW(Format("abc%", {Variant("a")}), EConvertError);
}

TEST(StrToFloatTest, ReadsUnderTheSettingsAndRaises) {
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("1,5")), 1.5);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("  -2,25e2 ")), -225.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(",5")), 0.5);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("+7")), 7.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("1e-400")), 0.0);
  for (const char* bad :
       {"", " ", "1.5", "1,5,", "1 000", "abc", "1e", "1e+", "--1", "INF", "NAN", "1e5000", ",", "0x10", "1,5x"}) {
    EXPECT_THROW(StrToFloat(bad), EConvertError) << bad;
  }
  try {
    StrToFloat("%s%n");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'%s%n' is not a valid floating point value");
  }
  FormatSettingsGuard g('.', ',');
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("1.5")), 1.5);
  EXPECT_THROW(StrToFloat("1,5"), EConvertError);
  double d = 0;
  EXPECT_TRUE(TryStrToFloat("3.25", d));
  EXPECT_EQ(d, 3.25);
  EXPECT_FALSE(TryStrToFloat("1e400", d));  // beyond a double
}

TEST(StrToIntTest, DecimalHexAndRange) {
  EXPECT_EQ(StrToInt("123"), 123);
  EXPECT_EQ(StrToInt("  -45"), -45);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("12 "), EConvertError);
  EXPECT_THROW(StrToInt("12a"), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
  EXPECT_THROW(StrToInt("1,5"), EConvertError);
  EXPECT_EQ(StrToIntDef("x", 9), 9);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  try {
    StrToInt("12a");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
  }
}

TEST(RoundingTest, HalfToEvenAndRange) {
  EXPECT_EQ(RoundToInt64(2.5), 2);
  EXPECT_EQ(RoundToInt64(3.5), 4);
  EXPECT_EQ(RoundToInt64(-2.5), -2);
  EXPECT_EQ(TruncToInt64(-2.7), -2);
  EXPECT_THROW(RoundToInt32(3e9), ERangeError);
  EXPECT_THROW(RoundToInt64(1e30), ERangeError);
  EXPECT_THROW(TruncToInt64(NAN), EInvalidOp);
}

TEST(AnnuityTest, FutureAndPresentValue) {
  // 100 paid at the end of each of 10 periods at 5%: 1257.789...
  EXPECT_NEAR(static_cast<double>(FutureValue(0.05L, 10, 100, 0, 0)), -1257.7892535548, 1e-9);
  EXPECT_NEAR(static_cast<double>(FutureValue(0.05L, 10, 100, 0, 1)), -1320.6787162326, 1e-9);
  EXPECT_NEAR(static_cast<double>(PresentValue(0.05L, 10, 100, 0, 0)), -772.1734929185, 1e-9);
  EXPECT_EQ(static_cast<double>(FutureValue(0, 4, 10, 5, 0)), -45.0);
  EXPECT_THROW(FutureValue(-1, 4, 10, 5, 0), EInvalidOp);
}

TEST(FileNumbersTest, LocaleIndependent) {
  FormatSettingsGuard g('#', '!');  // must not matter
  EXPECT_EQ(FloatToTextC(3.14159, 2), "3.14");
  EXPECT_EQ(FloatToTextC(-0.5, 0), "-0");
  EXPECT_EQ(FloatToTextC(1e20, 1), "100000000000000000000.0");
  EXPECT_EQ(FloatToShortestC(0.1), "0.1");
  double d = 0;
  EXPECT_TRUE(TextToFloatC("  12.75 ", d));
  EXPECT_EQ(d, 12.75);
  EXPECT_TRUE(TextToFloatC("-.5", d));
  EXPECT_EQ(d, -0.5);
  EXPECT_FALSE(TextToFloatC("12,75", d));
  EXPECT_FALSE(TextToFloatC("", d));
  EXPECT_FALSE(TextToFloatC("1e999", d));
  EXPECT_FALSE(TextToFloatC("nan", d));
  int64_t n = 0;
  EXPECT_TRUE(TextToInt64C(" +42 ", n));
  EXPECT_EQ(n, 42);
  EXPECT_FALSE(TextToInt64C("4 2", n));
  EXPECT_EQ(Int64ToTextC(-7), "-7");
}

TEST(CheckedArithmeticTest, RaisesInsteadOfWrapping) {
  EXPECT_EQ(CheckedAdd(2, 3), 5);
  EXPECT_THROW(CheckedAdd(INT32_MAX, 1), EIntOverflow);
  EXPECT_THROW(CheckedSub(INT32_MIN, 1), EIntOverflow);
  EXPECT_THROW(CheckedMul(65536, 65536), EIntOverflow);
  EXPECT_THROW(CheckedDiv(1, 0), EDivByZero);
  EXPECT_THROW(CheckedDiv(INT32_MIN, -1), EIntOverflow);
  EXPECT_EQ(CheckedMod(INT32_MIN, -1), 0);
  EXPECT_EQ(CheckedMod(-7, 2), -1);
  EXPECT_THROW(CheckedMul64(INT64_MAX, 2), EIntOverflow);
  EXPECT_THROW(RangeChecked32(int64_t{1} << 31), ERangeError);
  EXPECT_TRUE((std::is_base_of_v<ERangeError, EIntOverflow>));
}

}  // namespace
