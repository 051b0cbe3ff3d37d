// Numbers as the class library formats and reads them, plus the process-wide
// format settings and the helpers for numbers stored in files.
//
// The settings are those of a Russian desktop: decimal separator ",",
// thousands separator the non-breaking space (0xA0 in CP1251), date separator
// ".", short date format "dd.MM.yyyy".  Code that must work under other
// separators for a while (the query engine runs under "." and ",") holds a
// `FormatSettingsGuard`, which restores exactly what was there before.
//
// Float <-> text under the settings: `FloatToStr` (general format, 15
// significant digits), `FloatToStrF`, `FormatFloat` (picture strings such as
// "#,##0.00"), `Format` (the %d %s %f ... formatter over typed values),
// `StrToFloat` and `StrToInt`, which raise EConvertError on text that is not
// a number.  Numbers in files never go through the settings: they use the
// `*C` helpers below (std::to_chars / std::from_chars, "." always).
//
// "extended" of the class library is `long double` here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Variant;

struct FormatSettings {
  char DecimalSeparator = ',';
  char ThousandSeparator = '\xA0';
  char DateSeparator = '.';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "dd.MM.yyyy";
  std::string LongDateFormat = "d MMMM yyyy";
  std::string ShortTimeFormat = "H:mm";
  std::string LongTimeFormat = "H:mm:ss";
  std::string TimeAMString;  // empty: 24-hour clock
  std::string TimePMString;
  std::string CurrencyString;  // "р." in CP1251, set by the defaults
  uint8_t CurrencyFormat = 3;  // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  uint8_t NegCurrFormat = 8;   // 8 "-1 $" (the others as the class library)
  uint8_t CurrencyDecimals = 2;
  int TwoDigitYearCenturyWindow = 50;
  std::string ShortMonthNames[12];
  std::string LongMonthNames[12];
  std::string ShortDayNames[7];  // Sunday first
  std::string LongDayNames[7];

  // The Russian desktop defaults (the state at start-up).
  static FormatSettings RussianDefaults();
};

// The process-wide settings; the engine runs on one thread.
FormatSettings& GetFormatSettings();

// Sets separators for a scope and restores the previous settings, all of
// them, when it ends.
class FormatSettingsGuard {
public:
  FormatSettingsGuard();  // saves only; change GetFormatSettings() freely
  FormatSettingsGuard(char decimal_separator, char thousand_separator);
  ~FormatSettingsGuard();
  FormatSettingsGuard(const FormatSettingsGuard&) = delete;
  FormatSettingsGuard& operator=(const FormatSettingsGuard&) = delete;

private:
  FormatSettings saved_;
};

enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

// General format with 15 significant digits ("1,5", "1E20", "1,5E-7").
std::string FloatToStr(long double x);
std::string FloatToStrF(long double x, TFloatFormat format, int precision, int digits);
// Picture format: sections "positive;negative;zero"; 0 and # digits, "."
// decimal point, "," thousands, E+ E- e+ e- exponent, quoted literals.
std::string FormatFloat(const std::string& picture, long double x);
// The class library's Format over typed values: %d %u %x (integers), %e %f
// %g %n %m (floats), %s (texts), with index "N:", "-", width and ".prec"
// ("*" takes an integer argument; widths and precisions stop at 4096).
// A specifier that names a missing or
// mismatched argument raises EConvertError
// "Format '%s' invalid or incompatible with argument".
std::string Format(const std::string& fmt, const std::vector<Variant>& args);

std::string IntToStr(int64_t n);
std::string IntToHex(int64_t n, int digits);

// Text to numbers under the settings.  Leading and trailing blanks are
// allowed; thousands separators are not.  EConvertError
// "'%s' is not a valid floating point value" / "'%s' is not a valid integer value".
long double StrToFloat(const std::string& s);
bool TryStrToFloat(const std::string& s, long double& out);
bool TryStrToFloat(const std::string& s, double& out);
long double StrToFloatDef(const std::string& s, long double def);
// Integers: optional sign, decimal, or hexadecimal after "$" or "0x";
// leading blanks allowed, nothing after the digits.
int32_t StrToInt(const std::string& s);
int64_t StrToInt64(const std::string& s);
bool TryStrToInt(const std::string& s, int32_t& out);
bool TryStrToInt64(const std::string& s, int64_t& out);
int32_t StrToIntDef(const std::string& s, int32_t def);

// Rounding as the class library's Round (half to even) and Trunc; ERangeError
// ("Invalid floating point operation" for NaN) when the result does not fit.
int64_t RoundToInt64(long double x);
int64_t TruncToInt64(long double x);
int32_t RoundToInt32(long double x);
int32_t TruncToInt32(long double x);

// ---- Annuities (the class library's financial formulas) -------------------
// payment_time 0: payments at the end of each period, 1: at the start.
// EInvalidOp "Invalid argument to %s" for a rate of -1 or below.
long double FutureValue(long double rate, int32_t periods, long double payment, long double present_value,
                        int payment_time);
long double PresentValue(long double rate, int32_t periods, long double payment, long double future_value,
                         int payment_time);

// ---- Locale-independent number text (file contents, index keys) ----------
// Fixed notation with `decimals` places and "." as the point.
std::string FloatToTextC(double x, int decimals);
// Shortest text that reads back as x ("." point).
std::string FloatToShortestC(double x);
// Reads a whole text (leading/trailing blanks allowed) with "." as the point.
bool TextToFloatC(std::string_view s, double& out);
bool TextToInt64C(std::string_view s, int64_t& out);
std::string Int64ToTextC(int64_t n);

// ---- Checked integer arithmetic -------------------------------------------
// Raise EIntOverflow ("Integer overflow") instead of wrapping, EDivByZero
// ("Division by zero") on a zero divisor.
int32_t CheckedAdd(int32_t a, int32_t b);
int32_t CheckedSub(int32_t a, int32_t b);
int32_t CheckedMul(int32_t a, int32_t b);
int32_t CheckedDiv(int32_t a, int32_t b);
int32_t CheckedMod(int32_t a, int32_t b);
int64_t CheckedAdd64(int64_t a, int64_t b);
int64_t CheckedSub64(int64_t a, int64_t b);
int64_t CheckedMul64(int64_t a, int64_t b);
int64_t CheckedDiv64(int64_t a, int64_t b);
int64_t CheckedMod64(int64_t a, int64_t b);
// ERangeError ("Range check error") when n does not fit 32 bits.
int32_t RangeChecked32(int64_t n);
