// Date arithmetic, formatting, parsing and the clock.
#include "platform/date_time.h"

#include <cmath>
#include <ctime>
#include <sys/time.h>

#include "platform/exceptions.h"
#include "platform/numbers.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (and back): the
// well-known era arithmetic, exact for every year.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

// 1970-01-01 as a TDateTime.
constexpr int64_t kUnixDay = 25569;
// Beyond this a date-time cannot be split into milliseconds safely.
constexpr double kMaxAbsDateTime = 1.0e8;

ClockFunction& Clock() {
  static ClockFunction clock;
  return clock;
}

TDateTime SystemNow() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  struct tm lt {};
  localtime_r(&secs, &lt);
  TDateTime d = static_cast<double>(DaysFromCivil(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday) + kUnixDay);
  int ms = static_cast<int>(tv.tv_usec / 1000);
  return d + (lt.tm_hour * 3600000.0 + lt.tm_min * 60000.0 + lt.tm_sec * 1000.0 + ms) / MSecsPerDay;
}

std::string Pad(int n, int width) {
  std::string s = std::to_string(n);
  while (static_cast<int>(s.size()) < width) s.insert(s.begin(), '0');
  return s;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool StartsWithNoCase(const std::string& s, size_t at, const char* word) {
  for (size_t k = 0; word[k]; ++k) {
    if (at + k >= s.size() || Upper(s[at + k]) != Upper(word[k])) return false;
  }
  return true;
}

// Whether an AM/PM specifier follows in the rest of the format (which puts
// hours on the 12-hour clock).
bool HasAmPm(const std::string& f, size_t from) {
  for (size_t i = from; i < f.size(); ++i) {
    char c = f[i];
    if (c == '"' || c == '\'') {
      size_t j = f.find(c, i + 1);
      if (j == std::string::npos) return false;
      i = j;
      continue;
    }
    if (StartsWithNoCase(f, i, "am/pm") || StartsWithNoCase(f, i, "a/p") || StartsWithNoCase(f, i, "ampm")) return true;
  }
  return false;
}

void FormatInto(std::string& out, const std::string& f, TDateTime dt, int depth) {
  const FormatSettings& fs = GetFormatSettings();
  int year, month, day, hour, minute, sec, msec;
  DecodeDate(dt, year, month, day);
  DecodeTime(dt, hour, minute, sec, msec);
  char last = 0;
  size_t i = 0;
  while (i < f.size()) {
    char c = f[i];
    char tok = Upper(c);
    if (tok >= 'A' && tok <= 'Z') {
      if (tok == 'M' && last == 'H') tok = 'N';
      last = tok;
    }
    auto count = [&](char want) {
      size_t n = 0;
      while (i + n < f.size() && Upper(f[i + n]) == want) ++n;
      return static_cast<int>(n);
    };
    switch (tok) {
      case 'Y': {
        int n = count('Y');
        out += n <= 2 ? Pad(year % 100, 2) : Pad(year, 4);
        i += static_cast<size_t>(n);
        break;
      }
      case 'M':
      case 'N':
        if (Upper(c) == 'M' && tok == 'N') {
          int n = count('M');
          out += n >= 2 ? Pad(minute, 2) : std::to_string(minute);
          i += static_cast<size_t>(n);
        } else if (tok == 'N') {
          int n = count('N');
          out += n >= 2 ? Pad(minute, 2) : std::to_string(minute);
          i += static_cast<size_t>(n);
        } else {
          int n = count('M');
          if (month >= 1 && month <= 12) {
            if (n == 1) out += std::to_string(month);
            else if (n == 2) out += Pad(month, 2);
            else if (n == 3) out += fs.ShortMonthNames[month - 1];
            else out += fs.LongMonthNames[month - 1];
          } else {
            out += n == 1 ? "0" : "00";
          }
          i += static_cast<size_t>(n);
        }
        break;
      case 'D': {
        int n = count('D');
        int dow = DayOfWeek(dt) - 1;
        if (n == 1) out += std::to_string(day);
        else if (n == 2) out += Pad(day, 2);
        else if (n == 3) out += fs.ShortDayNames[dow];
        else if (n == 4) out += fs.LongDayNames[dow];
        else if (depth < 2) FormatInto(out, n == 5 ? fs.ShortDateFormat : fs.LongDateFormat, dt, depth + 1);
        i += static_cast<size_t>(n);
        break;
      }
      case 'H': {
        int n = count('H');
        int h = hour;
        if (HasAmPm(f, i)) {
          h = hour % 12;
          if (h == 0) h = 12;
        }
        out += n >= 2 ? Pad(h, 2) : std::to_string(h);
        i += static_cast<size_t>(n);
        break;
      }
      case 'S': {
        int n = count('S');
        out += n >= 2 ? Pad(sec, 2) : std::to_string(sec);
        i += static_cast<size_t>(n);
        break;
      }
      case 'Z': {
        int n = count('Z');
        out += n >= 3 ? Pad(msec, 3) : std::to_string(msec);
        i += static_cast<size_t>(n);
        break;
      }
      case 'T': {
        int n = count('T');
        if (depth < 2) FormatInto(out, n == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, dt, depth + 1);
        i += static_cast<size_t>(n);
        break;
      }
      case 'C': {
        ++i;
        if (depth < 2) {
          FormatInto(out, fs.ShortDateFormat, dt, depth + 1);
          if (hour || minute || sec || msec) {
            out += ' ';
            FormatInto(out, fs.LongTimeFormat, dt, depth + 1);
          }
        }
        break;
      }
      case 'A':
        if (StartsWithNoCase(f, i, "am/pm")) {
          std::string w = f.substr(hour < 12 ? i : i + 3, 2);
          out += w;
          i += 5;
        } else if (StartsWithNoCase(f, i, "a/p")) {
          out += f[hour < 12 ? i : i + 2];
          i += 3;
        } else if (StartsWithNoCase(f, i, "ampm")) {
          out += hour < 12 ? fs.TimeAMString : fs.TimePMString;
          i += 4;
        } else {
          out += c;
          ++i;
        }
        break;
      case '/':
        out += fs.DateSeparator;
        ++i;
        break;
      case ':':
        out += fs.TimeSeparator;
        ++i;
        break;
      case '"':
      case '\'': {
        size_t j = f.find(c, i + 1);
        if (j == std::string::npos) j = f.size();
        out += f.substr(i + 1, j - i - 1);
        i = j + 1;
        break;
      }
      default:
        out += c;
        ++i;
        break;
    }
  }
}

// ---- parsing ---------------------------------------------------------------

struct Scanner {
  const std::string& s;
  size_t pos = 0;

  void Blanks() {
    while (pos < s.size() && s[pos] == ' ') ++pos;
  }
  // A run of digits (at most 9); `digits` receives how many there were.
  bool Number(int& value, int& digits) {
    Blanks();
    size_t start = pos;
    value = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 9) {
      value = value * 10 + (s[pos] - '0');
      ++pos;
    }
    digits = static_cast<int>(pos - start);
    return digits > 0;
  }
  bool Char(char c) {
    Blanks();
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Blanks();
    return pos >= s.size();
  }
};

enum class DateOrder { DMY, MDY, YMD };

DateOrder OrderOf(const std::string& f) {
  for (char c : f) {
    char u = Upper(c);
    if (u == 'D') return DateOrder::DMY;
    if (u == 'M') return DateOrder::MDY;
    if (u == 'Y') return DateOrder::YMD;
  }
  return DateOrder::DMY;
}

bool ScanDate(Scanner& sc, TDateTime& out) {
  const FormatSettings& fs = GetFormatSettings();
  DateOrder order = OrderOf(fs.ShortDateFormat);
  int n1, n2, n3 = 0, l1, l2, l3 = 0;
  if (!sc.Number(n1, l1) || !sc.Char(fs.DateSeparator) || !sc.Number(n2, l2)) return false;
  int y, m, d;
  int year_digits = 4;
  size_t save = sc.pos;
  if (sc.Char(fs.DateSeparator) && sc.Number(n3, l3)) {
    switch (order) {
      case DateOrder::MDY:
        m = n1;
        d = n2;
        y = n3;
        year_digits = l3;
        break;
      case DateOrder::YMD:
        y = n1;
        m = n2;
        d = n3;
        year_digits = l1;
        break;
      default:
        d = n1;
        m = n2;
        y = n3;
        year_digits = l3;
        break;
    }
  } else {
    sc.pos = save;
    int cy, cm, cd;
    DecodeDate(Date(), cy, cm, cd);
    y = cy;
    if (order == DateOrder::MDY) {
      m = n1;
      d = n2;
    } else if (order == DateOrder::YMD) {
      m = n1;
      d = n2;
    } else {
      d = n1;
      m = n2;
    }
  }
  if (y <= 99 && year_digits <= 2) {
    int cy, cm, cd;
    DecodeDate(Date(), cy, cm, cd);
    int base = cy - fs.TwoDigitYearCenturyWindow;
    y += base / 100 * 100;
    if (fs.TwoDigitYearCenturyWindow > 0 && y < base) y += 100;
  }
  // "dd.MM.yyyy." is written by some desktops: a trailing separator is fine
  sc.Char(fs.DateSeparator);
  return TryEncodeDate(y, m, d, out);
}

bool ScanTime(Scanner& sc, TDateTime& out) {
  const FormatSettings& fs = GetFormatSettings();
  int h, mi = 0, se = 0, ms = 0, len;
  if (!sc.Number(h, len)) return false;
  bool have_min = false;
  if (sc.Char(fs.TimeSeparator)) {
    if (!sc.Number(mi, len)) return false;
    have_min = true;
    if (sc.Char(fs.TimeSeparator)) {
      if (!sc.Number(se, len)) return false;
      if (sc.Char(fs.DecimalSeparator) || sc.Char('.')) {
        if (!sc.Number(ms, len)) return false;
      }
    }
  }
  sc.Blanks();
  int ampm = -1;
  auto word = [&](const std::string& w, int value) {
    if (!w.empty() && StartsWithNoCase(sc.s, sc.pos, w.c_str())) {
      sc.pos += w.size();
      ampm = value;
      return true;
    }
    return false;
  };
  word(fs.TimeAMString, 0) || word(fs.TimePMString, 1) || word("AM", 0) || word("PM", 1) || word("A", 0) ||
      word("P", 1);
  if (!have_min && ampm < 0) return false;
  if (ampm >= 0) {
    if (h == 0 || h > 12) return false;
    if (ampm == 0 && h == 12) h = 0;
    else if (ampm == 1 && h < 12) h += 12;
  }
  return TryEncodeTime(h, mi, se, ms, out);
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  out = static_cast<double>(DaysFromCivil(year, month, day) + kUnixDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TTimeStamp DateTimeToTimeStamp(TDateTime dt) {
  TTimeStamp ts;
  if (!(std::fabs(dt) <= kMaxAbsDateTime)) return ts;  // NaN and absurd values: no date
  int64_t msecs = static_cast<int64_t>(std::llround(dt * MSecsPerDay));
  ts.Date = static_cast<int32_t>(DateDelta + msecs / MSecsPerDay);
  ts.Time = static_cast<int32_t>((msecs < 0 ? -msecs : msecs) % MSecsPerDay);
  return ts;
}

TDateTime TimeStampToDateTime(const TTimeStamp& ts) {
  if (ts.Time < 0 || ts.Time >= MSecsPerDay || ts.Date <= 0)
    throw EConvertError("'%s.%s' is not a valid timestamp", {std::to_string(ts.Date), std::to_string(ts.Time)});
  double days = static_cast<double>(ts.Date - DateDelta);
  double frac = static_cast<double>(ts.Time) / MSecsPerDay;
  return days >= 0 ? days + frac : days - frac;
}

double TimeStampToMSecs(const TTimeStamp& ts) { return static_cast<double>(ts.Date) * MSecsPerDay + ts.Time; }

TTimeStamp MSecsToTimeStamp(double msecs) {
  TTimeStamp ts;
  if (!(std::fabs(msecs) < 1e15)) return ts;
  int64_t m = static_cast<int64_t>(msecs);
  ts.Date = static_cast<int32_t>(m / MSecsPerDay);
  ts.Time = static_cast<int32_t>(m % MSecsPerDay);
  return ts;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  TTimeStamp ts = DateTimeToTimeStamp(dt);
  if (ts.Date <= 0) {
    year = month = day = 0;
    return;
  }
  CivilFromDays(static_cast<int64_t>(ts.Date) - DateDelta - kUnixDay, year, month, day);
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out) {
  if (hour < 0 || hour >= 24 || min < 0 || min >= 60 || sec < 0 || sec >= 60 || msec < 0 || msec >= 1000) return false;
  out = (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / MSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime r;
  if (!TryEncodeTime(hour, min, sec, msec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  int32_t t = DateTimeToTimeStamp(dt).Time;
  hour = t / 3600000;
  min = t / 60000 % 60;
  sec = t / 1000 % 60;
  msec = t % 1000;
}

int DayOfWeek(TDateTime dt) {
  int32_t d = DateTimeToTimeStamp(dt).Date;
  return (d % 7 + 7) % 7 + 1;
}

std::string FormatDateTime(const std::string& format, TDateTime dt) {
  std::string out;
  FormatInto(out, format.empty() ? std::string("c") : format, dt, 0);
  return out;
}

std::string DateToStr(TDateTime dt) { return FormatDateTime(GetFormatSettings().ShortDateFormat, dt); }
std::string TimeToStr(TDateTime dt) { return FormatDateTime(GetFormatSettings().LongTimeFormat, dt); }
std::string DateTimeToStr(TDateTime dt) { return FormatDateTime("c", dt); }

bool TryStrToDate(const std::string& s, TDateTime& out) {
  Scanner sc{s};
  TDateTime d;
  if (!ScanDate(sc, d) || !sc.AtEnd()) return false;
  out = d;
  return true;
}

TDateTime StrToDate(const std::string& s) {
  TDateTime d;
  if (!TryStrToDate(s, d)) throw EConvertError("'%s' is not a valid date", {s});
  return d;
}

bool TryStrToTime(const std::string& s, TDateTime& out) {
  Scanner sc{s};
  TDateTime t;
  if (!ScanTime(sc, t) || !sc.AtEnd()) return false;
  out = t;
  return true;
}

TDateTime StrToTime(const std::string& s) {
  TDateTime t;
  if (!TryStrToTime(s, t)) throw EConvertError("'%s' is not a valid time", {s});
  return t;
}

bool TryStrToDateTime(const std::string& s, TDateTime& out) {
  Scanner sc{s};
  TDateTime d = 0, t = 0;
  size_t start = sc.pos;
  if (!ScanDate(sc, d)) {
    // a time alone
    sc.pos = start;
    if (!ScanTime(sc, t) || !sc.AtEnd()) return false;
    out = t;
    return true;
  }
  if (!sc.AtEnd()) {
    if (!ScanTime(sc, t) || !sc.AtEnd()) return false;
  }
  out = d >= 0 ? d + t : d - t;
  return true;
}

TDateTime StrToDateTime(const std::string& s) {
  TDateTime d;
  if (!TryStrToDateTime(s, d)) throw EConvertError("'%s' is not a valid date and time", {s});
  return d;
}

TDateTime Now() {
  const ClockFunction& c = Clock();
  return c ? c() : SystemNow();
}

TDateTime Date() { return std::floor(Now()); }

TDateTime Time() {
  TDateTime n = Now();
  return n - std::floor(n);
}

ClockOverride::ClockOverride(ClockFunction clock) : saved_(Clock()) { Clock() = std::move(clock); }

ClockOverride::ClockOverride(TDateTime fixed) : saved_(Clock()) {
  Clock() = [fixed] { return fixed; };
}

ClockOverride::~ClockOverride() { Clock() = std::move(saved_); }
