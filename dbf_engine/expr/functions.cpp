// The function library of the expression language (see functions.h).
//
// Each function keeps no state between calls: nested calls of one function
// (PADL(PADL(...))) share the function object, so everything a call needs
// lives in locals.  Counts and positions are truncated toward zero and then
// clamped, so no argument can make a text operation read or write outside
// its text; texts a function builds are limited to kMaxText characters.
#include "dbf_engine/expr/functions.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/dates.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/messages.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

constexpr int64_t kMaxText = 1 << 20;
constexpr long double kPi = 3.14159265358979323846264338327950288L;

// ---- argument helpers ------------------------------------------------------

double Num(TcvExpFunction& node, int index) {
  TcvExpValue v;
  TcvExpResultType got;
  node.FetchArg(index, v, rtFloat, got);
  return v.AsFloat();
}

// Truncates toward zero into a 64-bit count; NaN is 0, huge values clamp.
int64_t Count(double x) {
  if (std::isnan(x)) return 0;
  x = std::trunc(x);
  if (x >= 9.0e18) return INT64_C(9000000000000000000);
  if (x <= -9.0e18) return -INT64_C(9000000000000000000);
  return static_cast<int64_t>(x);
}

// The platform's variant-to-integer conversion: rounds half to even.
int64_t Rounded(double x) {
  if (std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
  if (std::fabs(x) >= 9.0e18) throw ERangeError("Range check error");
  return RoundToInt64(x);
}

// A text argument fetched into `value`; a missing optional one gives "".
std::string& Text(TcvExpFunction& node, int index, TcvExpValue& value) {
  TcvExpResultType got;
  node.FetchArg(index, value, rtText, got);
  if (value.kind != TcvExpValue::Kind::Text) value.SetText("");
  return value.text;
}

void CheckLength(int64_t n, const char* name) {
  if (n > kMaxText) cvRaiseExpression(cvErrArgRange, {name, "at most 1048576 characters long"});
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view TrimRightView(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsBlankOrControl(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string_view TrimLeftView(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsBlankOrControl(s[b])) ++b;
  return s.substr(b);
}

// Case change in place; OEM text goes through the ANSI code page and back.
void ChangeCase(std::string& s, bool upper, bool oem) {
  const unsigned char* table = upper ? cvExpUpperTable(oem) : cvExpLowerTable(oem);
  for (char& ch : s) ch = static_cast<char>(table[static_cast<unsigned char>(ch)]);
}

bool OemLink(TcvExpFunction& node) {
  TcvExpUserLink* link = node.FetchUser();
  return link && link->OemText;
}

// Ordering of two values of one type, for MAX, MIN and BETWEEN.
int CompareValues(const TcvExpValue& a, const TcvExpValue& b, TcvExpResultType type) {
  if (type == rtText) {
    const int c = cvStrCompare(a.AsText(), b.AsText());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (type == rtBoolean) return static_cast<int>(a.AsBoolean()) - static_cast<int>(b.AsBoolean());
  const double x = a.AsFloat(), y = b.AsFloat();
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::string ValueText(const TcvExpValue& v) { return v.AsText(); }

// ---- dates -----------------------------------------------------------------

double DayOf(double d) { return std::isfinite(d) ? std::trunc(d) : 0; }

int32_t Day32(double d) {
  d = DayOf(d);
  if (d < 1 || d > 2147483647.0) return 0;
  return static_cast<int32_t>(d);
}

}  // namespace

// ---- shared pieces -----------------------------------------------------------

std::string cvFixedText(double x, int decimals) {
  decimals = std::clamp(decimals, 0, 99);
  if (std::isfinite(x) && decimals <= 15) {
    const double p = std::pow(10.0, decimals);
    const double scaled = x * p;
    if (std::fabs(scaled) < 1e15) {
      // Round the decimal half away from zero, as dBase writers do; the
      // tiny nudge lets 2.675 (stored as 2.67499...) still round up.
      const double r = std::round(scaled + std::copysign(std::fabs(scaled) * 1e-15, scaled));
      std::string s = FloatToTextC(r / p, decimals);
      if (s.size() > 1 && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
      return s;
    }
  }
  return FloatToTextC(x, decimals);
}

std::string cvStrFormat(double x, int width, int decimals) {
  if (width <= 0) return {};
  decimals = std::clamp(decimals, 0, 99);
  if (!std::isfinite(x)) return std::string(static_cast<size_t>(width), '*');
  std::string s = cvFixedText(x, decimals);
  if (s.size() > static_cast<size_t>(width)) return std::string(static_cast<size_t>(width), '*');
  return std::string(static_cast<size_t>(width) - s.size(), ' ') + s;
}

std::string cvSoundex(std::string_view text) {
  if (text.empty()) return "0000";
  std::string up(text);
  for (char& c : up)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (up.size() == 1) return up + "000";
  std::string code(1, up[0]);
  for (size_t i = 1; i < up.size(); ++i) {
    char d = 0;
    switch (up[i]) {
      case 'B':
      case 'F':
      case 'P':
      case 'V': d = '1'; break;
      case 'C':
      case 'G':
      case 'J':
      case 'K':
      case 'Q':
      case 'S':
      case 'X':
      case 'Z': d = '2'; break;
      case 'D':
      case 'T': d = '3'; break;
      case 'L': d = '4'; break;
      case 'M':
      case 'N': d = '5'; break;
      case 'R': d = '6'; break;
      default: break;
    }
    if (d) code += d;
  }
  std::string collapsed;
  for (char c : code)
    if (collapsed.empty() || collapsed.back() != c) collapsed += c;
  collapsed += "0000";
  return collapsed.substr(0, 4);
}

std::string cvDescendText(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = static_cast<char>((256 - static_cast<unsigned char>(c)) & 0xFF);
  return r;
}

double cvDescendDate(double day) { return day == 0 ? 0 : 5231808.0 - day; }

// ---- the functions -------------------------------------------------------------

#define CV_UDF(Class, Name)                                                                              \
  class Class : public TcvUserDefFunction {                                                              \
  public:                                                                                                \
    std::string FunctionName() const override { return Name; }                                           \
    void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type) override;      \
  };                                                                                                     \
  void Class::FunctionResult([[maybe_unused]] TcvExpFunction& node, [[maybe_unused]] TcvExpValue& value, \
                             [[maybe_unused]] TcvExpResultType& type)

#define CV_NUMERIC_UDF(Class, Name, Expr) \
  CV_UDF(Class, Name) {                   \
    const double x = Num(node, 0);        \
    value.SetFloat(Expr);                 \
    type = rtFloat;                       \
  }

CV_NUMERIC_UDF(TcvUDFAbsolute, "ABS", std::fabs(x))
CV_NUMERIC_UDF(TcvUDFArcTan, "ATAN", std::atan(x))
CV_NUMERIC_UDF(TcvUDFCosine, "COS", std::cos(x))
CV_NUMERIC_UDF(TcvUDFSin, "SIN", std::sin(x))
CV_NUMERIC_UDF(TcvUDFTan, "TAN", std::tan(x))
CV_NUMERIC_UDF(TcvUDFDegToRad, "DTOR", static_cast<double>(x* kPi / 180))
CV_NUMERIC_UDF(TcvUDFRadToDeg, "RTOD", static_cast<double>(x * 180 / kPi))
CV_NUMERIC_UDF(TcvUDFCeiling, "CEILING", std::ceil(x))
CV_NUMERIC_UDF(TcvUDFFloor, "FLOOR", std::floor(x))
CV_NUMERIC_UDF(TcvUDFInt, "INT", std::trunc(x))

CV_UDF(TcvUDFArcCos, "ACOS") {
  const double x = Num(node, 0);
  if (std::fabs(x) > 1) cvRaiseExpression(cvErrArgRange, {"ACOS", "-1 to +1"});
  value.SetFloat(std::acos(x));
  type = rtFloat;
}

CV_UDF(TcvUDFArcSin, "ASIN") {
  const double x = Num(node, 0);
  if (std::fabs(x) > 1) cvRaiseExpression(cvErrArgRange, {"ASIN", "-1 to +1"});
  value.SetFloat(std::asin(x));
  type = rtFloat;
}

CV_UDF(TcvUDFArcTan2, "ATN2") {
  const double y = Num(node, 0), x = Num(node, 1);
  value.SetFloat(std::atan2(y, x));
  type = rtFloat;
}

CV_UDF(TcvUDFMod, "MOD") {
  const double a = Num(node, 0), b = Num(node, 1);
  if (std::isnan(a) || std::isnan(b)) throw EInvalidOp("Invalid floating point operation");
  const int32_t ia = TruncToInt32(a), ib = TruncToInt32(b);
  value.SetFloat(CheckedMod(ia, ib));
  type = rtFloat;
}

CV_UDF(TcvUDFLog, "LOG") {
  const double x = Num(node, 0);
  if (!(x > 0)) cvRaiseExpression(cvErrArgRange, {"LOG", "> 0"});
  value.SetFloat(std::log(x));
  type = rtFloat;
}

CV_UDF(TcvUDFLog10, "LOG10") {
  const double x = Num(node, 0);
  if (!(x > 0)) cvRaiseExpression(cvErrArgRange, {"LOG10", "> 0"});
  value.SetFloat(std::log10(x));
  type = rtFloat;
}

CV_UDF(TcvUDFPi, "PI") {
  value.SetFloat(static_cast<double>(kPi));
  type = rtFloat;
}

namespace {

// Payment, rate and periods, then the optional fourth value and timing.
struct Annuity {
  double payment, rate, other = 0;
  int64_t periods;
  int timing = 0;
};

Annuity FetchAnnuity(TcvExpFunction& node) {
  Annuity a{};
  a.payment = Num(node, 0);
  a.rate = Num(node, 1);
  a.periods = Count(Num(node, 2));
  if (node.ArgCount() > 3) {
    TcvExpValue v;
    TcvExpResultType got;
    node.FetchArg(3, v, rtAny, got);
    a.other = v.AsFloat();
    if (node.ArgCount() > 4) {
      node.FetchArg(4, v, rtAny, got);
      const int64_t t = Count(v.AsFloat());
      if (t != 0 && t != 1) cvRaiseExpression(cvErrArgRange, {"FV PaymentTime", "0 or 1"});
      a.timing = static_cast<int>(t);
    }
  }
  return a;
}

}  // namespace

CV_UDF(TcvUDFFutureValue, "FV") {
  const Annuity a = FetchAnnuity(node);
  const double n = static_cast<double>(a.periods);
  double fv;
  if (a.rate == 0) {
    fv = -(a.other + a.payment * n);
  } else {
    const double g = std::pow(1 + a.rate, n);
    fv = -(a.other * g + a.payment * (1 + a.rate * a.timing) * (g - 1) / a.rate);
  }
  value.SetFloat(std::fabs(fv));
  type = rtFloat;
}

CV_UDF(TcvUDFPresentValue, "PV") {
  const Annuity a = FetchAnnuity(node);
  const double n = static_cast<double>(a.periods);
  double pv;
  if (a.rate == 0) {
    pv = -(a.other + a.payment * n);
  } else {
    const double g = std::pow(1 + a.rate, n);
    pv = -(a.other + a.payment * (1 + a.rate * a.timing) * (g - 1) / a.rate) / g;
  }
  value.SetFloat(std::fabs(pv));
  type = rtFloat;
}

CV_UDF(TcvUDFAsc, "ASC") {
  const std::string& s = Text(node, 0, value);
  const double code = s.empty() ? 0 : static_cast<unsigned char>(s[0]);
  value.SetFloat(code);
  type = rtFloat;
}

namespace {

// Position of the n-th (possibly overlapping) occurrence; 0 when there are
// fewer than n.
double AtPosition(TcvExpFunction& node, bool ignoreCase) {
  TcvExpValue needleV, textV;
  std::string needle = Text(node, 0, needleV);
  std::string text = Text(node, 1, textV);
  int64_t n = 1;
  if (node.ArgCount() > 2) n = Count(Num(node, 2));
  if (n < 1 || needle.empty()) return 0;
  if (ignoreCase) {
    for (std::string* s : {&needle, &text})
      for (char& c : *s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  size_t from = 0, found = std::string::npos;
  for (int64_t k = 0; k < n; ++k) {
    found = text.find(needle, from);
    if (found == std::string::npos) return 0;
    from = found + 1;
  }
  return static_cast<double>(found + 1);
}

}  // namespace

CV_UDF(TcvUDFAt, "AT") {
  value.SetFloat(AtPosition(node, false));
  type = rtFloat;
}

CV_UDF(TcvUDFAtC, "ATC") {
  value.SetFloat(AtPosition(node, true));
  type = rtFloat;
}

CV_UDF(TcvUDFChr, "CHR") {
  const double x = Num(node, 0);
  const int64_t code = std::isnan(x) || std::fabs(x) > 1e9 ? -1 : Rounded(x);
  if (code < 0 || code > 255) cvRaiseExpression(cvErrArgInvalid, {"Byte"});
  value.SetText(std::string(1, static_cast<char>(code)));
  type = rtText;
}

CV_UDF(TcvUDFLen, "LEN") {
  const double n = static_cast<double>(Text(node, 0, value).size());
  value.SetFloat(n);
  type = rtFloat;
}

CV_UDF(TcvUDFLeft, "LEFT") {
  const int64_t n = Count(Num(node, 1));
  std::string& s = Text(node, 0, value);
  if (n <= 0) s.clear();
  else if (static_cast<uint64_t>(n) < s.size()) s.resize(static_cast<size_t>(n));
  type = rtText;
}

CV_UDF(TcvUDFRight, "RIGHT") {
  const int64_t n = Count(Num(node, 1));
  std::string& s = Text(node, 0, value);
  if (n <= 0) s.clear();
  else if (static_cast<uint64_t>(n) < s.size()) s.erase(0, s.size() - static_cast<size_t>(n));
  type = rtText;
}

CV_UDF(TcvUDFSubStr, "SUBSTR") {
  int64_t start = Count(Num(node, 1));
  int64_t count = std::numeric_limits<int64_t>::max();
  if (node.ArgCount() > 2) {
    TcvExpValue c;
    TcvExpResultType got;
    node.FetchArg(2, c, rtAny, got);
    if (cvIsNumericType(got)) count = Count(c.AsFloat());
  }
  std::string& s = Text(node, 0, value);
  const int64_t len = static_cast<int64_t>(s.size());
  if (start < 1) start = 1;  // as the class library's Copy
  if (start > len || count <= 0) {
    s.clear();
  } else {
    const int64_t take = std::min(count, len - start + 1);
    s = s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(take));
  }
  type = rtText;
}

CV_UDF(TcvUDFSpace, "SPACE") {
  const int64_t n = Count(Num(node, 0));
  CheckLength(n, "SPACE");
  value.SetText(std::string(n > 0 ? static_cast<size_t>(n) : 0, ' '));
  type = rtText;
}

CV_UDF(TcvUDFUpper, "UPPER") {
  std::string& s = Text(node, 0, value);
  if (!s.empty()) ChangeCase(s, true, OemLink(node));
  type = rtText;
}

CV_UDF(TcvUDFLower, "LOWER") {
  std::string& s = Text(node, 0, value);
  if (!s.empty()) ChangeCase(s, false, OemLink(node));
  type = rtText;
}

CV_UDF(TcvUDFTrim, "TRIM") {
  std::string& s = Text(node, 0, value);
  s.resize(TrimRightView(s).size());
  type = rtText;
}

CV_UDF(TcvUDFRTrim, "RTRIM") {
  std::string& s = Text(node, 0, value);
  s.resize(TrimRightView(s).size());
  type = rtText;
}

CV_UDF(TcvUDFLTrim, "LTRIM") {
  std::string& s = Text(node, 0, value);
  s.erase(0, s.size() - TrimLeftView(s).size());
  type = rtText;
}

CV_UDF(TcvUDFAllTrim, "ALLTRIM") {
  std::string& s = Text(node, 0, value);
  s.resize(TrimRightView(s).size());
  s.erase(0, s.size() - TrimLeftView(s).size());
  type = rtText;
}

CV_UDF(TcvUDFProper, "PROPER") {
  const std::string s = Text(node, 0, value);
  const std::string up = cvStrUpperCase(s), low = cvStrLowerCase(s);
  static const std::string_view kBreaks("\0 !\"#$%&()*+,-./:;<=>?@[\\]^_{|}~\x7f", 33);
  std::string r(s.size(), ' ');
  for (size_t i = 0; i < s.size(); ++i) {
    const bool first = i == 0 || kBreaks.find(r[i - 1]) != std::string_view::npos;
    r[i] = first ? up[i] : low[i];
  }
  value.SetText(r);
  type = rtText;
}

CV_UDF(TcvUDFSoundex, "SOUNDEX") {
  value.SetText(cvSoundex(Text(node, 0, value)));
  type = rtText;
}

namespace {

// STR and STRZERO: x [, width [, decimals]].
std::string StrOf(TcvExpFunction& node) {
  const double x = Num(node, 0);
  int64_t width = 10;
  if (TcvExpUserLink* link = node.FetchUser()) width = link->DefaultWidth;
  int64_t decimals = 0;
  if (node.ArgCount() > 1) {
    TcvExpValue v;
    TcvExpResultType got;
    node.FetchArg(1, v, rtAny, got);
    if (cvIsNumericType(got)) {
      width = Rounded(v.AsFloat());
      if (node.ArgCount() > 2) {
        node.FetchArg(2, v, rtAny, got);
        if (cvIsNumericType(got)) decimals = Rounded(v.AsFloat());
      }
    }
  }
  CheckLength(width, "STR");
  return cvStrFormat(x, static_cast<int>(std::max<int64_t>(width, 0)),
                     static_cast<int>(std::clamp<int64_t>(decimals, 0, 99)));
}

}  // namespace

CV_UDF(TcvUDFStr, "STR") {
  value.SetText(StrOf(node));
  type = rtText;
}

CV_UDF(TcvUDFStrZero, "STRZERO") {
  std::string s = StrOf(node);
  size_t blanks = 0;
  while (blanks < s.size() && s[blanks] == ' ') ++blanks;
  // Zeros go between the sign and the digits, so the result stays a number.
  if (blanks > 0 && blanks < s.size() && s[blanks] == '-') {
    s[0] = '-';
    for (size_t i = 1; i <= blanks; ++i) s[i] = '0';
  } else {
    for (size_t i = 0; i < blanks; ++i) s[i] = '0';
  }
  value.SetText(s);
  type = rtText;
}

CV_UDF(TcvUDFStrTran, "STRTRAN") {
  TcvExpValue textV, searchV;
  const std::string text = Text(node, 0, textV);
  const std::string search = Text(node, 1, searchV);
  std::string replacement;
  int64_t start = 1, count = std::numeric_limits<int64_t>::max();
  if (node.ArgCount() > 2) {
    TcvExpValue v;
    TcvExpResultType got;
    node.FetchArg(2, v, rtAny, got);
    if (got == rtText && v.kind == TcvExpValue::Kind::Text) replacement = v.text;
    if (node.ArgCount() > 3) {
      node.FetchArg(3, v, rtAny, got);
      if (cvIsNumericType(got)) start = Count(v.AsFloat());
      if (node.ArgCount() > 4) {
        node.FetchArg(4, v, rtAny, got);
        if (cvIsNumericType(got)) count = Count(v.AsFloat());
      }
    }
  }
  if (text.empty() || search.empty()) {
    value.SetText(text);
    type = rtText;
    return;
  }
  std::string r;
  size_t from = 0;
  int64_t occurrence = 0, replaced = 0;
  for (;;) {
    const size_t p = text.find(search, from);
    if (p == std::string::npos) break;
    ++occurrence;
    r.append(text, from, p - from);
    if (occurrence >= start && replaced < count) {
      r += replacement;
      ++replaced;
    } else {
      r += search;
    }
    from = p + search.size();
    CheckLength(static_cast<int64_t>(r.size()), "STRTRAN");
  }
  r.append(text, from, std::string::npos);
  CheckLength(static_cast<int64_t>(r.size()), "STRTRAN");
  value.SetText(r);
  type = rtText;
}

CV_UDF(TcvUDFVal, "VAL") {
  const std::string& s = Text(node, 0, value);
  double d = 0;
  const std::string_view t = TrimLeftView(TrimRightView(s));
  if (t.empty() || !TextToFloatC(t, d)) d = 0;
  value.SetFloat(d);
  type = rtFloat;
}

namespace {

enum class PadSide { Centre, Left, Right };

// PADC, PADL, PADR: value, width [, pad character].
void Pad(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type, PadSide side) {
  TcvExpResultType got;
  node.FetchArg(0, value, rtAny, got);
  if (got == rtEmpty || got == rtUnknown) cvRaiseExpression(cvErrArgValueNeeded, {"Value", 1, "Pad"});
  const std::string text = ValueText(value);
  const int64_t width = Rounded(Num(node, 1));
  CheckLength(width, "PAD");
  char pad = ' ';
  if (node.ArgCount() > 2) {
    TcvExpValue p;
    node.FetchArg(2, p, rtAny, got);
    if (got != rtText || p.kind != TcvExpValue::Kind::Text || p.text.size() != 1)
      cvRaiseExpression(cvErrArgInvalid, {"Char"});
    pad = p.text[0];
  }
  const int64_t len = static_cast<int64_t>(text.size());
  if (len >= width) {
    value.SetText(text);
  } else {
    const size_t fill = static_cast<size_t>(width - len);
    size_t before = 0;
    switch (side) {
      case PadSide::Centre: before = fill / 2; break;
      case PadSide::Left: before = fill; break;
      case PadSide::Right: before = 0; break;
    }
    value.SetText(std::string(before, pad) + text + std::string(fill - before, pad));
  }
  type = rtText;
}

}  // namespace

class TcvUDFPadMain : public TcvUserDefFunction {};

#define CV_PAD_UDF(Class, Name, Side)                                                                \
  class Class : public TcvUDFPadMain {                                                               \
  public:                                                                                            \
    std::string FunctionName() const override { return Name; }                                       \
    void FunctionResult(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type) override { \
      Pad(node, value, type, Side);                                                                  \
    }                                                                                                \
  };

CV_PAD_UDF(TcvUDFPadC, "PADC", PadSide::Centre)
CV_PAD_UDF(TcvUDFPadL, "PADL", PadSide::Left)
CV_PAD_UDF(TcvUDFPadR, "PADR", PadSide::Right)

CV_UDF(TcvUDFCTOD, "CTOD") {
  const std::string& s = Text(node, 0, value);
  // One empty date in the language: 0, whatever produced it.
  const double day = TrimRightView(s).empty() ? 0 : static_cast<double>(CTOD(s));
  value.SetFloat(day);
  type = rtDate;
}

CV_UDF(TcvUDFDate, "DATE") {
  value.SetFloat(static_cast<double>(DBFDate.Date()));
  type = rtDate;
}

CV_UDF(TcvUDFDOW, "DOW") {
  TcvExpResultType got;
  node.FetchArg(0, value, rtDate, got);
  const int32_t day = Day32(value.AsFloat());
  value.SetFloat(day < 1 ? 0 : DBFDate.DOW(day));
  type = rtFloat;
}

CV_UDF(TcvUDFDTOC, "DTOC") {
  TcvExpResultType got;
  node.FetchArg(0, value, rtDate, got);
  const int32_t day = Day32(value.AsFloat());
  bool asDtos = false;
  if (node.ArgCount() > 1) {
    TcvExpValue m;
    node.FetchArg(1, m, rtAny, got);
    asDtos = cvIsNumericType(got) && Rounded(m.AsFloat()) == 1;
  }
  value.SetText(asDtos ? DBFDate.DTOS(day) : DBFDate.DTOC(day));
  type = rtText;
}

CV_UDF(TcvUDFDTOS, "DTOS") {
  TcvExpResultType got;
  node.FetchArg(0, value, rtDate, got);
  value.SetText(DBFDate.DTOS(Day32(value.AsFloat())));
  type = rtText;
}

CV_UDF(TcvUDFEmpty, "EMPTY") {
  TcvExpResultType got;
  node.FetchArg(0, value, rtAny, got);
  bool empty = false;
  if (!value.IsNull()) {
    switch (got) {
      case rtDate:
      case rtDateTime: empty = value.AsFloat() == 0; break;
      case rtFloat:
      case rtInteger: empty = value.AsFloat() == 0; break;
      case rtText: empty = TrimRightView(value.AsText()).empty(); break;
      case rtBoolean: empty = !value.AsBoolean(); break;
      default: break;
    }
  }
  value.SetBoolean(empty);
  type = rtBoolean;
}

CV_UDF(TcvUDFBetween, "BETWEEN") {
  TcvExpValue low, high;
  TcvExpResultType xt, got;
  node.FetchArg(0, value, rtAny, xt);
  node.FetchArg(1, low, xt, got);
  node.FetchArg(2, high, xt, got);
  const TcvExpResultType kind = cvIsNumericType(xt) ? rtFloat : xt;
  const bool in = CompareValues(low, value, kind) <= 0 && CompareValues(value, high, kind) <= 0;
  value.SetBoolean(in);
  type = rtBoolean;
}

CV_UDF(TcvUDFInlist, "INLIST") {
  TcvExpResultType xt, got;
  node.FetchArg(0, value, rtAny, xt);
  bool found = false;
  if (xt != rtEmpty && xt != rtUnknown && !value.IsNull()) {
    if (xt == rtText) value.SetText(std::string(TrimRightView(value.AsText())));
    TcvExpValue item;
    for (int i = 1; i < node.ArgCount() && !found; ++i) {
      node.FetchArg(i, item, rtAny, got);
      if (item.IsNull()) break;
      if (xt == rtText && got == rtText) found = item.AsText() == value.text;
      else if (cvIsNumericType(xt) && cvIsNumericType(got)) found = item.AsFloat() == value.AsFloat();
      else if (xt == rtBoolean && got == rtBoolean) found = item.AsBoolean() == value.AsBoolean();
    }
  }
  value.SetBoolean(found);
  type = rtBoolean;
}

CV_UDF(TcvUDFIIF, "IIF") {
  TcvExpResultType got;
  node.FetchArg(0, value, rtBoolean, got);
  const int chosen = value.AsBoolean() ? 1 : 2;
  value.SetNull();
  node.FetchArg(chosen, value, rtAny, type);
}

namespace {

void Extreme(TcvExpFunction& node, TcvExpValue& value, TcvExpResultType& type, bool max) {
  const char* name = max ? "Max()" : "Min()";
  if (node.ArgCount() == 0) cvRaiseExpression(cvErrArgEmpty, {name});
  node.FetchArg(0, value, rtAny, type);
  TcvExpValue other;
  for (int i = 1; i < node.ArgCount(); ++i) {
    TcvExpResultType got;
    node.FetchArg(i, other, rtAny, got);
    if (got != type) cvRaiseExpression(cvErrArgNotSame, {name});
    const int c = CompareValues(other, value, type);
    if (max ? c > 0 : c < 0) std::swap(value, other);
  }
}

}  // namespace

CV_UDF(TcvUDFMax, "MAX") { Extreme(node, value, type, true); }
CV_UDF(TcvUDFMin, "MIN") { Extreme(node, value, type, false); }

CV_UDF(TcvUDFDescend, "DESCEND") {
  node.FetchArg(0, value, rtAny, type);
  switch (type) {
    case rtDate:
    case rtDateTime: value.SetFloat(cvDescendDate(value.AsFloat())); break;
    case rtFloat:
    case rtInteger: {
      const double x = value.AsFloat();
      value.SetFloat(x == 0 ? 0.0 : -x);
      break;
    }
    case rtText: value.SetText(cvDescendText(value.AsText())); break;
    case rtBoolean: value.SetBoolean(!value.AsBoolean()); break;
    default:
      value.SetBoolean(false);
      type = rtBoolean;
      break;
  }
}

// ---- variables ---------------------------------------------------------------

class TcvSDVTrue : public TcvUserDefFieldVar {
public:
  TcvSDVTrue() : TcvUserDefFieldVar("TRUE") {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override {
    value.SetBoolean(true);
    type = rtBoolean;
  }
};

class TcvSDVFalse : public TcvUserDefFieldVar {
public:
  TcvSDVFalse() : TcvUserDefFieldVar("FALSE") {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override {
    value.SetBoolean(false);
    type = rtBoolean;
  }
};

class TcvSDVPi : public TcvUserDefFieldVar {
public:
  TcvSDVPi() : TcvUserDefFieldVar("PI") {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override {
    value.SetFloat(static_cast<double>(kPi));
    type = rtFloat;
  }
};

void cvRegisterBuiltins(TcvFunctionReg& functions, TcvFieldVarReg& fieldVars) {
  fieldVars.RegisterFieldVar(std::make_shared<TcvSDVTrue>());
  fieldVars.RegisterFieldVar(std::make_shared<TcvSDVFalse>());
  fieldVars.RegisterFieldVar(std::make_shared<TcvSDVPi>());

  auto add = [&functions](auto fn) { functions.RegisterFunction(std::move(fn)); };
  add(std::make_unique<TcvUDFAbsolute>());
  add(std::make_unique<TcvUDFAllTrim>());
  add(std::make_unique<TcvUDFArcCos>());
  add(std::make_unique<TcvUDFArcSin>());
  add(std::make_unique<TcvUDFArcTan>());
  add(std::make_unique<TcvUDFArcTan2>());
  add(std::make_unique<TcvUDFAsc>());
  add(std::make_unique<TcvUDFAt>());
  add(std::make_unique<TcvUDFAtC>());
  add(std::make_unique<TcvUDFBetween>());
  add(std::make_unique<TcvUDFCeiling>());
  add(std::make_unique<TcvUDFChr>());
  add(std::make_unique<TcvUDFCosine>());
  add(std::make_unique<TcvUDFCTOD>());
  add(std::make_unique<TcvUDFDate>());
  add(std::make_unique<TcvUDFDescend>());
  add(std::make_unique<TcvUDFDOW>());
  add(std::make_unique<TcvUDFDTOC>());
  add(std::make_unique<TcvUDFDegToRad>());
  add(std::make_unique<TcvUDFDTOS>());
  add(std::make_unique<TcvUDFEmpty>());
  add(std::make_unique<TcvUDFFloor>());
  add(std::make_unique<TcvUDFFutureValue>());
  add(std::make_unique<TcvUDFIIF>());
  add(std::make_unique<TcvUDFInlist>());
  add(std::make_unique<TcvUDFInt>());
  add(std::make_unique<TcvUDFLeft>());
  add(std::make_unique<TcvUDFLen>());
  add(std::make_unique<TcvUDFLog>());
  add(std::make_unique<TcvUDFLog10>());
  add(std::make_unique<TcvUDFLower>());
  add(std::make_unique<TcvUDFLTrim>());
  add(std::make_unique<TcvUDFMax>());
  add(std::make_unique<TcvUDFMin>());
  add(std::make_unique<TcvUDFMod>());
  add(std::make_unique<TcvUDFPadC>());
  add(std::make_unique<TcvUDFPadL>());
  add(std::make_unique<TcvUDFPadR>());
  add(std::make_unique<TcvUDFPi>());
  add(std::make_unique<TcvUDFPresentValue>());
  add(std::make_unique<TcvUDFProper>());
  add(std::make_unique<TcvUDFRight>());
  add(std::make_unique<TcvUDFRadToDeg>());
  add(std::make_unique<TcvUDFRTrim>());
  add(std::make_unique<TcvUDFSin>());
  add(std::make_unique<TcvUDFSoundex>());
  add(std::make_unique<TcvUDFSpace>());
  add(std::make_unique<TcvUDFStr>());
  add(std::make_unique<TcvUDFStrTran>());
  add(std::make_unique<TcvUDFStrZero>());
  add(std::make_unique<TcvUDFSubStr>());
  add(std::make_unique<TcvUDFTan>());
  add(std::make_unique<TcvUDFTrim>());
  add(std::make_unique<TcvUDFUpper>());
  add(std::make_unique<TcvUDFVal>());
}
