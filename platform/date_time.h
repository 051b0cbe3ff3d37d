// Dates and times as the class library keeps them.
//
// A `TDateTime` is a double: whole days since 30 December 1899 plus the time
// of day as a fraction (0.5 is noon).  Before that day the fraction still
// counts forward from midnight: -1.25 is 29 December 1899, 06:00.  Valid
// dates run from 1 January 0001 to 31 December 9999 (Gregorian calendar
// throughout).
//
// Formatting and parsing follow the process format settings
// (platform/numbers.h): the short date format "dd.MM.yyyy" and the date
// separator ".".  Invalid input raises EConvertError with the class
// library's texts ("Invalid argument to date encode", "'%s' is not a valid
// date", ...).
//
// `Now` and `Date` read a clock that tests can replace (`ClockOverride`).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using TDateTime = double;

// Days from 1 January 0001 (day 1) to 30 December 1899.
constexpr int32_t DateDelta = 693594;
constexpr int32_t MSecsPerDay = 86400000;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 for a month outside 1..12

bool TryEncodeDate(int year, int month, int day, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);
// A value outside the valid range decodes to 0/0/0.
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime dt);

// The framework's split form: milliseconds since midnight and days since
// 1 January 0001 (that day is 1).
struct TTimeStamp {
  int32_t Time = 0;
  int32_t Date = 0;
};
TTimeStamp DateTimeToTimeStamp(TDateTime dt);
TDateTime TimeStampToDateTime(const TTimeStamp& ts);  // EConvertError on a bad stamp
double TimeStampToMSecs(const TTimeStamp& ts);
TTimeStamp MSecsToTimeStamp(double msecs);

// Format specifiers (case-insensitive): c d dd ddd dddd ddddd dddddd m mm
// mmm mmmm yy yyyy h hh n nn s ss z zzz t tt am/pm a/p ampm / : and
// quoted literals; "m" right after an hour means minutes.
std::string FormatDateTime(const std::string& format, TDateTime dt);
std::string DateToStr(TDateTime dt);      // short date format
std::string TimeToStr(TDateTime dt);      // long time format
std::string DateTimeToStr(TDateTime dt);  // date, then the time when not midnight

// Parsing under the short date format's order of day, month and year and
// the date separator; two numbers mean day and month of the current year;
// a year of one or two digits is placed by the century window.  Blanks
// around the text are allowed.
bool TryStrToDate(const std::string& s, TDateTime& out);
TDateTime StrToDate(const std::string& s);
bool TryStrToTime(const std::string& s, TDateTime& out);
TDateTime StrToTime(const std::string& s);
bool TryStrToDateTime(const std::string& s, TDateTime& out);
TDateTime StrToDateTime(const std::string& s);

// The clock.  Without an override: the system's local time.
using ClockFunction = std::function<TDateTime()>;
TDateTime Now();
TDateTime Date();  // today at midnight
TDateTime Time();  // the time of day only
// Replaces the clock while it lives, then restores the previous one.
class ClockOverride {
public:
  explicit ClockOverride(ClockFunction clock);
  explicit ClockOverride(TDateTime fixed);
  ~ClockOverride();
  ClockOverride(const ClockOverride&) = delete;
  ClockOverride& operator=(const ClockOverride&) = delete;

private:
  ClockFunction saved_;
};
