// Number formatting and reading under the process format settings.
#include "platform/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/exceptions.h"
#include "platform/variant.h"

namespace {

// s widened to `width` with leading zeros (in one step: widths come from
// format strings and may be large).
std::string ZeroPad(std::string s, int width) {
  if (width > static_cast<int>(s.size())) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
  return s;
}

// UTF-8 Cyrillic literals of the name tables turned into CP1251 (only the
// letters the tables use: А-я, Ё, ё and ASCII).
std::string Cp1251(const char* utf8) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(utf8);
  while (*p) {
    if (*p < 0x80) {
      out += static_cast<char>(*p++);
      continue;
    }
    unsigned cp = ((p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    p += 2;
    if (cp >= 0x410 && cp <= 0x44F) out += static_cast<char>(0xC0 + (cp - 0x410));
    else if (cp == 0x401) out += '\xA8';
    else if (cp == 0x451) out += '\xB8';
    else out += '?';
  }
  return out;
}

FormatSettings& Settings() {
  static FormatSettings settings = FormatSettings::RussianDefaults();
  return settings;
}

// A decimal image of a float: value = 0.d1d2d3... x 10^exponent.  No digits
// means zero.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
  bool special = false;  // NaN or infinity; text in `digits`
};

// Up to 18 significant digits, as the class library takes them from an
// extended value before rounding them decimally.
Decimal ToDecimal(long double x) {
  Decimal d;
  if (std::isnan(x)) {
    d.special = true;
    d.digits = "NAN";
    return d;
  }
  if (std::isinf(x)) {
    d.special = true;
    d.digits = x < 0 ? "-INF" : "INF";
    return d;
  }
  d.negative = std::signbit(x);
  if (x == 0) return d;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17Le", std::fabs(x));
  // "d.ddddde+XX" (the point may be the C locale's; digits are taken only)
  const char* e = std::strchr(buf, 'e');
  for (const char* p = buf; p < e; ++p)
    if (*p >= '0' && *p <= '9') d.digits += *p;
  d.exponent = std::atoi(e + 1) + 1;
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

// Rounds half up to n significant digits (n may be 0 or negative: rounding
// at a place before the first digit).
void RoundDigits(Decimal& d, int n) {
  if (d.special || d.digits.empty()) return;
  if (n >= static_cast<int>(d.digits.size())) return;
  if (n < 0) {
    d.digits.clear();
    return;
  }
  bool up = d.digits[static_cast<size_t>(n)] >= '5';
  d.digits.resize(static_cast<size_t>(n));
  if (up) {
    int i = n - 1;
    while (i >= 0 && d.digits[static_cast<size_t>(i)] == '9') {
      d.digits[static_cast<size_t>(i)] = '0';
      --i;
    }
    if (i < 0) {
      d.digits.insert(d.digits.begin(), '1');
      d.exponent += 1;
    } else {
      d.digits[static_cast<size_t>(i)] += 1;
    }
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
}

char DigitAt(const Decimal& d, int i) {
  return (i >= 0 && i < static_cast<int>(d.digits.size())) ? d.digits[static_cast<size_t>(i)] : '0';
}

std::string GroupThousands(const std::string& intpart, char sep) {
  std::string out;
  int n = static_cast<int>(intpart.size());
  for (int i = 0; i < n; ++i) {
    out += intpart[static_cast<size_t>(i)];
    int left = n - 1 - i;
    if (left > 0 && left % 3 == 0) out += sep;
  }
  return out;
}

// Integer and fraction digits of a rounded decimal with `decimals` places.
void FixedParts(const Decimal& d, int decimals, std::string& intpart, std::string& frac) {
  intpart.clear();
  frac.clear();
  if (d.exponent <= 0 || d.digits.empty()) intpart = "0";
  else
    for (int i = 0; i < d.exponent; ++i) intpart += DigitAt(d, i);
  for (int i = 0; i < decimals; ++i) frac += DigitAt(d, d.exponent + i);
}

std::string ExponentText(int e, int min_digits, bool always_sign) {
  std::string s = ZeroPad(std::to_string(e < 0 ? -e : e), min_digits);
  if (e < 0) return "-" + s;
  return always_sign ? "+" + s : s;
}

std::string ScientificText(const Decimal& d, int mantissa_digits, bool trim, int exp_digits, bool always_sign,
                           char dec) {
  std::string m;
  m += d.digits.empty() ? '0' : d.digits[0];
  std::string frac;
  for (int i = 1; i < mantissa_digits; ++i) frac += DigitAt(d, i);
  if (trim)
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
  if (!frac.empty()) m += dec + frac;
  int e = d.digits.empty() ? 0 : d.exponent - 1;
  return m + "E" + ExponentText(e, exp_digits, always_sign);
}

std::string CurrencyText(const std::string& number, bool negative) {
  const FormatSettings& fs = Settings();
  const std::string& c = fs.CurrencyString;
  if (!negative) {
    switch (fs.CurrencyFormat) {
      case 0: return c + number;
      case 1: return number + c;
      case 2: return c + " " + number;
      default: return number + " " + c;
    }
  }
  switch (fs.NegCurrFormat) {
    case 0: return "(" + c + number + ")";
    case 1: return "-" + c + number;
    case 2: return c + "-" + number;
    case 3: return c + number + "-";
    case 4: return "(" + number + c + ")";
    case 5: return "-" + number + c;
    case 6: return number + "-" + c;
    case 7: return number + c + "-";
    case 9: return "-" + c + " " + number;
    case 10: return number + " " + c + "-";
    case 11: return c + " " + number + "-";
    case 12: return c + " -" + number;
    case 13: return number + "- " + c;
    case 14: return "(" + c + " " + number + ")";
    case 15: return "(" + number + " " + c + ")";
    default: return "-" + number + " " + c;
  }
}

[[noreturn]] void InvalidFloat(const std::string& s) {
  throw EConvertError("'%s' is not a valid floating point value", {s});
}
[[noreturn]] void InvalidInteger(const std::string& s) {
  throw EConvertError("'%s' is not a valid integer value", {s});
}
[[noreturn]] void Overflow() { throw EIntOverflow("Integer overflow"); }
[[noreturn]] void DivByZero() { throw EDivByZero("Division by zero"); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// For a number text that did not fit: true when it is too large (rather
// than too small).  The text is digits with an optional "." and exponent.
bool TooLarge(std::string_view t) {
  long exp10 = 0;
  size_t e = t.find_first_of("eE");
  if (e != std::string_view::npos) {
    std::string_view x = t.substr(e + 1);
    bool neg = !x.empty() && x[0] == '-';
    if (!x.empty() && (x[0] == '-' || x[0] == '+')) x.remove_prefix(1);
    for (char c : x) {
      if (exp10 < 100000) exp10 = exp10 * 10 + (c - '0');
    }
    if (neg) exp10 = -exp10;
    t = t.substr(0, e);
  }
  // place of the first significant digit relative to the point
  long place = 0;
  bool seen_point = false, seen_digit = false;
  long int_digits = 0, lead_zeros = 0;
  for (char c : t) {
    if (c == '.') {
      seen_point = true;
      continue;
    }
    if (!seen_point) {
      if (seen_digit || c != '0') {
        seen_digit = true;
        ++int_digits;
      }
    } else if (!seen_digit) {
      if (c == '0') ++lead_zeros;
      else seen_digit = true;
    }
  }
  place = int_digits > 0 ? int_digits : -lead_zeros;
  return place + exp10 > 0;
}

}  // namespace

FormatSettings FormatSettings::RussianDefaults() {
  FormatSettings fs;
  fs.CurrencyString = Cp1251("р.");
  fs.LongDateFormat = Cp1251("d MMMM yyyy 'г.'");
  static const char* const kShortMonths[12] = {"янв", "фев", "мар", "апр", "май", "июн",
                                               "июл", "авг", "сен", "окт", "ноя", "дек"};
  static const char* const kLongMonths[12] = {"Январь", "Февраль", "Март",     "Апрель",  "Май",    "Июнь",
                                              "Июль",   "Август",  "Сентябрь", "Октябрь", "Ноябрь", "Декабрь"};
  static const char* const kShortDays[7] = {"Вс", "Пн", "Вт", "Ср", "Чт", "Пт", "Сб"};
  static const char* const kLongDays[7] = {"воскресенье", "понедельник", "вторник", "среда",
                                           "четверг",     "пятница",     "суббота"};
  for (int i = 0; i < 12; ++i) {
    fs.ShortMonthNames[i] = Cp1251(kShortMonths[i]);
    fs.LongMonthNames[i] = Cp1251(kLongMonths[i]);
  }
  for (int i = 0; i < 7; ++i) {
    fs.ShortDayNames[i] = Cp1251(kShortDays[i]);
    fs.LongDayNames[i] = Cp1251(kLongDays[i]);
  }
  return fs;
}

FormatSettings& GetFormatSettings() { return Settings(); }

FormatSettingsGuard::FormatSettingsGuard() : saved_(Settings()) {}

FormatSettingsGuard::FormatSettingsGuard(char decimal_separator, char thousand_separator) : saved_(Settings()) {
  Settings().DecimalSeparator = decimal_separator;
  Settings().ThousandSeparator = thousand_separator;
}

FormatSettingsGuard::~FormatSettingsGuard() {
  try {
    Settings() = saved_;
  } catch (...) {
    // copying strings could only fail for want of memory; nothing to do
  }
}

std::string FloatToStrF(long double x, TFloatFormat format, int precision, int digits) {
  const FormatSettings& fs = Settings();
  const char dec = fs.DecimalSeparator;
  Decimal d = ToDecimal(x);
  if (d.special) return d.digits;
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  if (digits < 0) digits = 0;
  std::string sign;
  switch (format) {
    case ffGeneral: {
      RoundDigits(d, precision);
      if (d.digits.empty()) return "0";
      sign = d.negative ? "-" : "";
      if (d.exponent > precision || d.exponent < -3)
        return sign + ScientificText(d, precision, true, digits > 4 ? 4 : digits, false, dec);
      std::string ip, fr;
      FixedParts(
          d, static_cast<int>(d.digits.size()) - d.exponent > 0 ? static_cast<int>(d.digits.size()) - d.exponent : 0,
          ip, fr);
      return sign + ip + (fr.empty() ? "" : std::string(1, dec) + fr);
    }
    case ffExponent: {
      RoundDigits(d, precision);
      sign = d.negative && !d.digits.empty() ? "-" : "";
      return sign + ScientificText(d, precision, false, digits > 4 ? 4 : digits, true, dec);
    }
    case ffFixed:
    case ffNumber:
    case ffCurrency: {
      if (format == ffCurrency && digits > 18) digits = 18;
      if (digits > 18) digits = 18;
      if (format != ffCurrency && d.exponent > precision) {
        RoundDigits(d, precision);
        sign = d.negative && !d.digits.empty() ? "-" : "";
        return sign + ScientificText(d, precision, false, 3, true, dec);
      }
      int keep = d.exponent + digits;
      RoundDigits(d, keep < precision ? keep : precision);
      bool neg = d.negative && !d.digits.empty();
      std::string ip, fr;
      FixedParts(d, digits, ip, fr);
      if (format != ffFixed && fs.ThousandSeparator != '\0') ip = GroupThousands(ip, fs.ThousandSeparator);
      std::string number = ip + (digits > 0 ? std::string(1, dec) + fr : "");
      if (format == ffCurrency) return CurrencyText(number, neg);
      return (neg ? "-" : "") + number;
    }
  }
  return {};
}

std::string FloatToStr(long double x) { return FloatToStrF(x, ffGeneral, 15, 0); }

namespace {

struct Picture {
  std::string prefix, suffix;
  bool has_digits = false;
  int int_zeros = 0;   // '0' placeholders before the point (from the first one)
  int frac_zeros = 0;  // '0' after the point
  int frac_total = 0;  // '0' and '#' after the point
  bool thousands = false;
  bool scientific = false;
  bool exp_always_sign = false;
  int exp_digits = 0;
};

// Splits a picture section into the literal text around the number and the
// placeholder counts.
Picture ParsePicture(const std::string& s) {
  Picture p;
  bool in_number = false, after_point = false, seen_zero = false, number_done = false;
  size_t i = 0;
  auto literal = [&](char c) {
    if (!in_number && !number_done) p.prefix += c;
    else {
      number_done = true;
      p.suffix += c;
    }
  };
  while (i < s.size()) {
    char c = s[i];
    if (c == '"' || c == '\'') {
      size_t j = s.find(c, i + 1);
      std::string lit = s.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
      for (char ch : lit) literal(ch);
      i = j == std::string::npos ? s.size() : j + 1;
      continue;
    }
    if (!number_done && (c == '0' || c == '#')) {
      in_number = true;
      p.has_digits = true;
      if (after_point) {
        ++p.frac_total;
        if (c == '0') p.frac_zeros = p.frac_total;
      } else {
        if (c == '0') seen_zero = true;
        if (seen_zero) ++p.int_zeros;
      }
      ++i;
      continue;
    }
    if (!number_done && c == '.') {
      in_number = true;
      after_point = true;
      ++i;
      continue;
    }
    if (!number_done && c == ',' && !after_point) {
      in_number = true;
      p.thousands = true;
      ++i;
      continue;
    }
    if (in_number && !number_done && (c == 'E' || c == 'e') && i + 1 < s.size() &&
        (s[i + 1] == '+' || s[i + 1] == '-')) {
      p.scientific = true;
      p.exp_always_sign = s[i + 1] == '+';
      i += 2;
      while (i < s.size() && s[i] == '0') {
        ++p.exp_digits;
        ++i;
      }
      number_done = true;
      continue;
    }
    if (in_number) number_done = true;
    literal(c);
    ++i;
  }
  return p;
}

std::vector<std::string> SplitSections(const std::string& picture) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < picture.size(); ++i) {
    char c = picture[i];
    if (c == '"' || c == '\'') {
      size_t j = picture.find(c, i + 1);
      if (j == std::string::npos) j = picture.size() - 1;
      out.back() += picture.substr(i, j - i + 1);
      i = j;
    } else if (c == ';' && out.size() < 3) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

}  // namespace

std::string FormatFloat(const std::string& picture, long double x) {
  Decimal probe = ToDecimal(x);
  if (probe.special) return probe.digits;
  std::vector<std::string> sections = SplitSections(picture);
  size_t which = 0;
  bool add_minus = false;
  if (x < 0) {
    if (sections.size() >= 2 && !sections[1].empty()) which = 1;
    else add_minus = true;
  } else if (x == 0) {
    if (sections.size() >= 3 && !sections[2].empty()) which = 2;
  }
  const std::string& sec = sections[which].empty() ? sections[0] : sections[which];
  if (sec.empty()) return FloatToStr(x);
  Picture p = ParsePicture(sec);
  if (!p.has_digits) return (add_minus ? "-" : "") + p.prefix + p.suffix;
  const FormatSettings& fs = Settings();
  Decimal d = ToDecimal(x);
  std::string number;
  if (p.scientific) {
    int int_digits = p.int_zeros > 0 ? p.int_zeros : 1;
    RoundDigits(d, int_digits + p.frac_total);
    if (d.digits.empty()) add_minus = false;
    std::string ip, fr;
    for (int i = 0; i < int_digits; ++i) ip += DigitAt(d, i);
    for (int i = 0; i < p.frac_total; ++i) fr += DigitAt(d, int_digits + i);
    while (static_cast<int>(fr.size()) > p.frac_zeros && fr.back() == '0') fr.pop_back();
    int e = d.digits.empty() ? 0 : d.exponent - int_digits;
    number = ip + (fr.empty() ? "" : std::string(1, fs.DecimalSeparator) + fr) + "E" +
             ExponentText(e, p.exp_digits, p.exp_always_sign);
  } else {
    RoundDigits(d, d.exponent + p.frac_total);
    if (d.digits.empty()) add_minus = false;
    std::string ip, fr;
    FixedParts(d, p.frac_total, ip, fr);
    if (ip == "0") ip.clear();
    ip = ZeroPad(ip, p.int_zeros);
    while (static_cast<int>(fr.size()) > p.frac_zeros && fr.back() == '0') fr.pop_back();
    if (p.thousands && fs.ThousandSeparator != '\0') ip = GroupThousands(ip, fs.ThousandSeparator);
    number = ip + (fr.empty() ? "" : std::string(1, fs.DecimalSeparator) + fr);
    if (number.empty()) number = "0";
  }
  return (add_minus ? "-" : "") + p.prefix + number + p.suffix;
}

// Widths and precisions beyond this are taken as this: a format text from a
// user must not make a megabyte of padding per specifier.
constexpr int kMaxFormatWidth = 4096;

std::string Format(const std::string& fmt, const std::vector<Variant>& args) {
  auto bad = [&]() -> EConvertError {
    return EConvertError("Format '%s' invalid or incompatible with argument", {fmt});
  };
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    ++i;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    auto read_number = [&](int& n) -> bool {  // digits or "*"
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        if (next >= args.size()) throw EConvertError("No argument for format '%s'", {fmt});
        const Variant& a = args[next++];
        if (a.Type() != VarType::Integer && a.Type() != VarType::Int64) throw bad();
        int64_t v = a.AsInt64();
        n = static_cast<int>(v < 0 ? 0 : (v > kMaxFormatWidth ? kMaxFormatWidth : v));
        return true;
      }
      if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return false;
      n = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        if (n < 100000) n = n * 10 + (fmt[i] - '0');
        ++i;
      }
      return true;
    };
    int n = 0;
    bool left = false;
    int width = -1, prec = -1;
    size_t save = i, save_next = next;
    if (read_number(n) && i < fmt.size() && fmt[i] == ':') {
      next = static_cast<size_t>(n);
      ++i;
    } else {
      i = save;
      next = save_next;
    }
    if (i < fmt.size() && fmt[i] == '-') {
      left = true;
      ++i;
    }
    if (read_number(n)) width = n > kMaxFormatWidth ? kMaxFormatWidth : n;
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      if (read_number(n)) prec = n > kMaxFormatWidth ? kMaxFormatWidth : n;
      else prec = 0;
    }
    if (i >= fmt.size()) throw bad();
    char conv = static_cast<char>(fmt[i] | 0x20);
    ++i;
    if (next >= args.size()) throw EConvertError("No argument for format '%s'", {fmt});
    const Variant& a = args[next++];
    VarType t = a.Type();
    bool is_int = t == VarType::Integer || t == VarType::Int64;
    bool is_float = t == VarType::Double || t == VarType::Date;
    std::string piece;
    switch (conv) {
      case 'd':
      case 'u':
      case 'x': {
        if (!is_int) throw bad();
        int64_t v = a.AsInt64();
        if (conv == 'x') {
          piece = IntToHex(v, prec > 0 ? prec : 0);
        } else {
          if (conv == 'u' && v < 0) v = static_cast<int64_t>(static_cast<uint32_t>(v));
          std::string digits = std::to_string(v < 0 ? -(v + 1) + 1ULL : static_cast<uint64_t>(v));
          digits = ZeroPad(digits, prec);
          piece = (v < 0 ? "-" : "") + digits;
        }
        break;
      }
      case 'e':
        if (!is_float) throw bad();
        piece = FloatToStrF(a.AsDouble(), ffExponent, prec < 0 ? 15 : prec, 3);
        break;
      case 'f':
        if (!is_float) throw bad();
        piece = FloatToStrF(a.AsDouble(), ffFixed, 18, prec < 0 ? 2 : prec);
        break;
      case 'g':
        if (!is_float) throw bad();
        piece = FloatToStrF(a.AsDouble(), ffGeneral, prec < 0 ? 15 : prec, 3);
        break;
      case 'n':
        if (!is_float) throw bad();
        piece = FloatToStrF(a.AsDouble(), ffNumber, 18, prec < 0 ? 2 : prec);
        break;
      case 'm':
        if (!is_float) throw bad();
        piece = FloatToStrF(a.AsDouble(), ffCurrency, 18, prec < 0 ? Settings().CurrencyDecimals : prec);
        break;
      case 's':
        if (t != VarType::String) throw bad();
        piece = a.AsString();
        if (prec >= 0 && static_cast<size_t>(prec) < piece.size()) piece.resize(static_cast<size_t>(prec));
        break;
      default: throw bad();
    }
    if (width > 0 && static_cast<int>(piece.size()) < width) {
      std::string pad(static_cast<size_t>(width) - piece.size(), ' ');
      piece = left ? piece + pad : pad + piece;
    }
    out += piece;
  }
  return out;
}

std::string IntToStr(int64_t n) { return std::to_string(n); }

std::string IntToHex(int64_t n, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(n));
  std::string s = buf;
  if (n >= 0 || n < INT32_MIN) {
    // as is
  } else {
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(n));
    s = buf;
  }
  return ZeroPad(s, digits);
}

bool TryStrToFloat(const std::string& s, long double& out) {
  const char dec = Settings().DecimalSeparator;
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  while (n > i && IsBlank(s[n - 1])) --n;
  std::string c;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') c += '-';
    ++i;
  }
  bool digits = false, point = false;
  for (; i < n; ++i) {
    char ch = s[i];
    if (ch >= '0' && ch <= '9') {
      digits = true;
      c += ch;
    } else if (ch == dec && !point) {
      point = true;
      c += '.';
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (i < n && (s[i] == 'E' || s[i] == 'e')) {
    c += 'e';
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) c += s[i++];
    bool exp_digits = false;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
      exp_digits = true;
      c += s[i++];
    }
    if (!exp_digits) return false;
  }
  if (i != n) return false;
  long double v = 0;
  const char* first = c.data();
  if (*first == '-') ++first;  // from_chars takes no '+' and we add the sign ourselves
  auto r = std::from_chars(first, c.data() + c.size(), v);
  if (r.ec == std::errc::result_out_of_range && r.ptr == c.data() + c.size()) {
    // underflow reads as zero; overflow is not a value
    if (TooLarge(std::string_view(first, static_cast<size_t>(c.data() + c.size() - first)))) return false;
    v = 0;
  } else if (r.ec != std::errc() || r.ptr != c.data() + c.size()) {
    return false;
  }
  if (std::isinf(v)) return false;
  out = c[0] == '-' ? -v : v;
  return true;
}

bool TryStrToFloat(const std::string& s, double& out) {
  long double v;
  if (!TryStrToFloat(s, v)) return false;
  if (std::fabs(v) > std::numeric_limits<double>::max()) return false;
  out = static_cast<double>(v);
  return true;
}

long double StrToFloat(const std::string& s) {
  long double v;
  if (!TryStrToFloat(s, v)) InvalidFloat(s);
  return v;
}

long double StrToFloatDef(const std::string& s, long double def) {
  long double v;
  return TryStrToFloat(s, v) ? v : def;
}

bool TryStrToInt64(const std::string& s, int64_t& out) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  bool neg = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < n && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  uint64_t v = 0;
  for (; i < n; ++i) {
    char ch = s[i];
    int dgt;
    if (ch >= '0' && ch <= '9') dgt = ch - '0';
    else if (base == 16 && ch >= 'a' && ch <= 'f') dgt = ch - 'a' + 10;
    else if (base == 16 && ch >= 'A' && ch <= 'F') dgt = ch - 'A' + 10;
    else return false;
    if (v > (UINT64_MAX - static_cast<uint64_t>(dgt)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(dgt);
  }
  if (base == 10) {
    if (neg ? v > static_cast<uint64_t>(INT64_MAX) + 1 : v > static_cast<uint64_t>(INT64_MAX)) return false;
    out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  } else {
    // hexadecimal spells the bit pattern
    int64_t bits = static_cast<int64_t>(v);
    out = neg ? static_cast<int64_t>(0 - v) : bits;
  }
  return true;
}

bool TryStrToInt(const std::string& s, int32_t& out) {
  int64_t v;
  if (!TryStrToInt64(s, v)) return false;
  // hexadecimal may spell a negative 32-bit pattern ("$FFFFFFFF" is -1)
  bool hex = s.find('$') != std::string::npos || s.find("0x") != std::string::npos || s.find("0X") != std::string::npos;
  if (hex && v > INT32_MAX && v <= static_cast<int64_t>(UINT32_MAX)) v = static_cast<int32_t>(static_cast<uint32_t>(v));
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(const std::string& s) {
  int32_t v;
  if (!TryStrToInt(s, v)) InvalidInteger(s);
  return v;
}

int64_t StrToInt64(const std::string& s) {
  int64_t v;
  if (!TryStrToInt64(s, v)) InvalidInteger(s);
  return v;
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

int64_t RoundToInt64(long double x) {
  if (std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
  long double r = std::nearbyint(x);  // the default rounding mode: half to even
  if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L)) throw ERangeError("Range check error");
  return static_cast<int64_t>(r);
}

int64_t TruncToInt64(long double x) {
  if (std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
  long double r = std::trunc(x);
  if (!(r >= -9223372036854775808.0L && r < 9223372036854775808.0L)) throw ERangeError("Range check error");
  return static_cast<int64_t>(r);
}

int32_t RoundToInt32(long double x) { return RangeChecked32(RoundToInt64(x)); }
int32_t TruncToInt32(long double x) { return RangeChecked32(TruncToInt64(x)); }

long double FutureValue(long double rate, int32_t periods, long double payment, long double present_value,
                        int payment_time) {
  if (rate <= -1.0L) throw EInvalidOp("Invalid argument to %s", {"FutureValue"});
  if (rate == 0) return -present_value - payment * periods;
  long double compound = std::pow(1.0L + rate, static_cast<long double>(periods));
  long double timing = payment_time == 1 ? 1.0L + rate : 1.0L;
  return -(present_value * compound + payment * timing * (compound - 1.0L) / rate);
}

long double PresentValue(long double rate, int32_t periods, long double payment, long double future_value,
                         int payment_time) {
  if (rate <= -1.0L) throw EInvalidOp("Invalid argument to %s", {"PresentValue"});
  if (rate == 0) return -future_value - payment * periods;
  long double compound = std::pow(1.0L + rate, static_cast<long double>(periods));
  long double timing = payment_time == 1 ? 1.0L + rate : 1.0L;
  return -(future_value + payment * timing * (compound - 1.0L) / rate) / compound;
}

std::string FloatToTextC(double x, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 60) decimals = 60;
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return std::isnan(x) ? "nan" : "inf";
  return std::string(buf, r.ptr);
}

std::string FloatToShortestC(double x) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

bool TextToFloatC(std::string_view s, double& out) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  while (n > i && IsBlank(s[n - 1])) --n;
  bool neg = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= n || !((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) return false;
  double v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + n, v, std::chars_format::general);
  if (r.ptr != s.data() + n) return false;
  if (r.ec == std::errc::result_out_of_range) {
    if (TooLarge(s.substr(i, n - i))) return false;
    v = 0;
  } else if (r.ec != std::errc()) {
    return false;
  }
  out = neg ? -v : v;
  return true;
}

bool TextToInt64C(std::string_view s, int64_t& out) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  while (n > i && IsBlank(s[n - 1])) --n;
  if (i < n && s[i] == '+') ++i;
  if (i >= n) return false;
  int64_t v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + n, v);
  if (r.ec != std::errc() || r.ptr != s.data() + n) return false;
  out = v;
  return true;
}

std::string Int64ToTextC(int64_t n) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  return std::string(buf, r.ptr);
}

namespace {

// Integer arithmetic that raises instead of wrapping, for both widths.
template <class T>
T AddOrRaise(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r)) Overflow();
  return r;
}
template <class T>
T SubOrRaise(T a, T b) {
  T r;
  if (__builtin_sub_overflow(a, b, &r)) Overflow();
  return r;
}
template <class T>
T MulOrRaise(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) Overflow();
  return r;
}
template <class T>
T DivOrRaise(T a, T b) {
  if (b == 0) DivByZero();
  if (a == std::numeric_limits<T>::min() && b == -1) Overflow();
  return a / b;
}
template <class T>
T ModOrRaise(T a, T b) {
  if (b == 0) DivByZero();
  if (b == -1) return 0;
  return a % b;
}

}  // namespace

int32_t CheckedAdd(int32_t a, int32_t b) { return AddOrRaise(a, b); }
int32_t CheckedSub(int32_t a, int32_t b) { return SubOrRaise(a, b); }
int32_t CheckedMul(int32_t a, int32_t b) { return MulOrRaise(a, b); }
int32_t CheckedDiv(int32_t a, int32_t b) { return DivOrRaise(a, b); }
int32_t CheckedMod(int32_t a, int32_t b) { return ModOrRaise(a, b); }
int64_t CheckedAdd64(int64_t a, int64_t b) { return AddOrRaise(a, b); }
int64_t CheckedSub64(int64_t a, int64_t b) { return SubOrRaise(a, b); }
int64_t CheckedMul64(int64_t a, int64_t b) { return MulOrRaise(a, b); }
int64_t CheckedDiv64(int64_t a, int64_t b) { return DivOrRaise(a, b); }
int64_t CheckedMod64(int64_t a, int64_t b) { return ModOrRaise(a, b); }
int32_t RangeChecked32(int64_t n) {
  if (n < INT32_MIN || n > INT32_MAX) throw ERangeError("Range check error");
  return static_cast<int32_t>(n);
}
