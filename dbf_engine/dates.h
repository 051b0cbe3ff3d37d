// Dates of the table engine.
//
// Inside the engine a date is a Julian day number (32-bit); in DBF records it
// is the 8-character text yyyymmdd; on screen it follows the short date format
// with a four-digit year.  `TcvDBFDate` converts between the three on top of
// the platform's date arithmetic (platform/date_time.h), whose days count
// from 30 December 1899: Julian day = platform day + 2415019, so that
// 1 January 1980 is 2444240.  One process-wide object, `DBFDate`, serves the
// field layer, the value buffer, the function library and the index formats.
//
// Day 0 (and below) is "no date": DTOS writes eight blanks, DTOC as many
// blanks as the date format has characters.
#pragma once

#include <cstdint>
#include <string>

class TcvDBFDate {
public:
  // 2444240 (1 January 1980) minus the platform day of that date.
  static constexpr int32_t kDefaultOffset = 2415019;

  constexpr TcvDBFDate() = default;

  // Julian day of a text: trailing blanks are dropped; empty or "00000000"
  // give 0; eight digits are yyyymmdd; anything else is read under the short
  // date format.  An invalid date raises EConvertError.
  int32_t CTOD(const std::string& text) const;
  // yyyymmdd; eight blanks for a day <= 0 or one outside the years 1-9999.
  std::string DTOS(int32_t day) const;
  // The short date format, upper-cased, with the year widened to four digits
  // while the flag is set; blanks for a day < 1 (or beyond the year 9999).
  std::string DTOC(int32_t day) const;
  // 1 = Sunday ... 7 = Saturday; 0 for a day < 1.
  int DOW(int32_t day) const;
  // EConvertError for an invalid date.
  int32_t MDY2Jul(int month, int day, int year) const;
  // 0/0/0 for a day the platform cannot decode.
  void Jul2MDY(int32_t julian, int& month, int& day, int& year) const;
  // Today.
  int32_t Date() const;
  // The platform day (no offset) of a yyyymmdd text; EConvertError when the
  // parts are not numbers or not a date.
  double DBLoad(const std::string& text) const;

  int32_t DayOffset() const { return offset_; }
  bool FourDigitYear() const { return fourDigitYear_; }
  void SetFourDigitYear(bool on) { fourDigitYear_ = on; }

  // The display format DTOC uses (upper-cased, year widened).
  std::string DisplayFormat() const;

private:
  int32_t offset_ = kDefaultOffset;
  bool fourDigitYear_ = true;
};

// The process-wide date object (constant-initialised, usable from any
// module's start-up).
extern TcvDBFDate DBFDate;

// Unit routines.  CTOD gives 0 instead of a negative day.
int32_t CTOD(const std::string& text);
std::string DTOC(int32_t day);
std::string DTOS(int32_t day);
int32_t CurDate();
