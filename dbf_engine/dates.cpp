// Julian-day dates of the table engine.
#include "dbf_engine/dates.h"

#include <cmath>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"

constinit TcvDBFDate DBFDate;

namespace {

// Julian days of 1 January 0001 and 31 December 9999.
constexpr int32_t kFirstJulian = 1721426;
constexpr int32_t kLastJulian = 5373484;

bool AllDigits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace

int32_t TcvDBFDate::CTOD(const std::string& text) const {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.empty() || s == "00000000") return 0;
  TDateTime d;
  if (s.size() == 8 && AllDigits(s)) {
    d = EncodeDate(std::stoi(s.substr(0, 4)), std::stoi(s.substr(4, 2)), std::stoi(s.substr(6, 2)));
  } else {
    d = StrToDate(s);
  }
  return static_cast<int32_t>(std::trunc(d)) + offset_;
}

std::string TcvDBFDate::DTOS(int32_t day) const {
  if (day < kFirstJulian || day > kLastJulian) return std::string(8, ' ');
  return FormatDateTime("yyyymmdd", static_cast<double>(day - offset_));
}

std::string TcvDBFDate::DisplayFormat() const {
  std::string f = GetFormatSettings().ShortDateFormat;
  for (char& c : f) c = AsciiUpper(c);
  if (fourDigitYear_) {
    size_t first = f.find('Y');
    // Without a year in the format there is nothing to widen.
    if (first != std::string::npos) {
      while (f.find("YYYY") == std::string::npos) f.insert(first, 1, 'Y');
    }
  }
  return f;
}

std::string TcvDBFDate::DTOC(int32_t day) const {
  std::string f = DisplayFormat();
  if (day < 1 || day < kFirstJulian || day > kLastJulian) return std::string(f.size(), ' ');
  return FormatDateTime(f, static_cast<double>(day - offset_));
}

int TcvDBFDate::DOW(int32_t day) const {
  if (day < 1) return 0;
  return DayOfWeek(static_cast<double>(day - offset_));
}

int32_t TcvDBFDate::MDY2Jul(int month, int day, int year) const {
  return static_cast<int32_t>(std::trunc(EncodeDate(year, month, day))) + offset_;
}

void TcvDBFDate::Jul2MDY(int32_t julian, int& month, int& day, int& year) const {
  DecodeDate(static_cast<double>(static_cast<int64_t>(julian) - offset_), year, month, day);
}

int32_t TcvDBFDate::Date() const { return static_cast<int32_t>(std::trunc(::Date())) + offset_; }

double TcvDBFDate::DBLoad(const std::string& text) const {
  std::string y = text.substr(0, 4);
  std::string m = text.size() > 4 ? text.substr(4, 2) : std::string();
  std::string d = text.size() > 6 ? text.substr(6, 2) : std::string();
  return EncodeDate(StrToInt(y), StrToInt(m), StrToInt(d));
}

int32_t CTOD(const std::string& text) {
  int32_t d = DBFDate.CTOD(text);
  return d < 0 ? 0 : d;
}

std::string DTOC(int32_t day) { return DBFDate.DTOC(day); }
std::string DTOS(int32_t day) { return DBFDate.DTOS(day); }
int32_t CurDate() { return DBFDate.Date(); }
