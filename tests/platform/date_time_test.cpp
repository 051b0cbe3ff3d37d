#include "platform/date_time.h"

#include <gtest/gtest.h>

#include "platform/exceptions.h"
#include "platform/numbers.h"

namespace {

TEST(DateTimeTest, EncodeDecodeAroundTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1980, 1, 1), 29221.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29) - EncodeDate(2000, 2, 28), 1.0);
  int y, m, d;
  for (double day : {-693593.0, -1.0, 0.0, 59.0, 60.0, 29221.0, 36585.0, 2958465.0}) {
    DecodeDate(day, y, m, d);
    EXPECT_EQ(EncodeDate(y, m, d), day) << day;
  }
  DecodeDate(-1.25, y, m, d);  // the fraction still counts forward from midnight
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
  int h, mi, s, ms;
  DecodeTime(-1.25, h, mi, s, ms);
  EXPECT_EQ(h, 6);
  DecodeDate(-700000.0, y, m, d);
  EXPECT_EQ(y + m + d, 0);
}

TEST(DateTimeTest, InvalidDatesRaise) {
  EXPECT_THROW(EncodeDate(1980, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeDate(10000, 1, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  try {
    EncodeDate(2001, 2, 29);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
}

TEST(DateTimeTest, TimeAndDayOfWeek) {
  double t = EncodeTime(13, 45, 30, 250);
  int h, m, s, ms;
  DecodeTime(EncodeDate(2020, 5, 17) + t, h, m, s, ms);
  EXPECT_EQ(h, 13);
  EXPECT_EQ(m, 45);
  EXPECT_EQ(s, 30);
  EXPECT_EQ(ms, 250);
  EXPECT_EQ(DayOfWeek(EncodeDate(1980, 1, 1)), 3);    // Tuesday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 6, 2)), 1);    // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
  // before 1899-12-30 the time is subtracted: -693593.5 is 1 January 0001 at noon
  TTimeStamp ts = DateTimeToTimeStamp(EncodeDate(1, 1, 1) - 0.5);
  EXPECT_EQ(ts.Date, 1);
  EXPECT_EQ(ts.Time, MSecsPerDay / 2);
  EXPECT_EQ(TimeStampToDateTime(ts), EncodeDate(1, 1, 1) - 0.5);
  EXPECT_THROW(TimeStampToDateTime(TTimeStamp{-1, 5}), EConvertError);
}

TEST(DateTimeTest, FormatDateTime) {
  double dt = EncodeDate(2007, 3, 9) + EncodeTime(8, 5, 7, 42);
  EXPECT_EQ(DateToStr(dt), "09.03.2007");
  EXPECT_EQ(FormatDateTime("DD.MM.YYYY", dt), "09.03.2007");
  EXPECT_EQ(FormatDateTime("d/m/yy", dt), "9.3.07");
  EXPECT_EQ(FormatDateTime("yyyymmdd", dt), "20070309");
  EXPECT_EQ(FormatDateTime("hh:mm:ss.zzz", dt), "08:05:07.042");
  EXPECT_EQ(FormatDateTime("h:n", dt), "8:5");
  EXPECT_EQ(FormatDateTime("h:mm am/pm", dt + 0.5), "8:05 pm");
  EXPECT_EQ(FormatDateTime("'day' d \"of\" mmm", dt), "day 9 of \xEC\xE0\xF0");  // мар
  EXPECT_EQ(FormatDateTime("mmmm", dt), "\xCC\xE0\xF0\xF2");                     // Март
  EXPECT_EQ(FormatDateTime("dddd", dt), "\xEF\xFF\xF2\xED\xE8\xF6\xE0");         // пятница
  EXPECT_EQ(FormatDateTime("c", dt), "09.03.2007 8:05:07");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2007, 3, 9)), "09.03.2007");
  EXPECT_EQ(TimeToStr(dt), "8:05:07");
  // a format that names itself does not recurse forever
  FormatSettingsGuard g;
  GetFormatSettings().ShortDateFormat = "ddddd";
  EXPECT_NO_THROW(FormatDateTime("c", dt));
}

TEST(DateTimeTest, ParseUnderShortDateFormat) {
  ClockOverride clock(EncodeDate(2026, 7, 1) + 0.25);
  EXPECT_EQ(StrToDate("09.03.2007"), EncodeDate(2007, 3, 9));
  EXPECT_EQ(StrToDate(" 9.3.2007 "), EncodeDate(2007, 3, 9));
  EXPECT_EQ(StrToDate("9.3"), EncodeDate(2026, 3, 9));
  EXPECT_EQ(StrToDate("9.3.07"), EncodeDate(2007, 3, 9));
  EXPECT_EQ(StrToDate("9.3.80"), EncodeDate(1980, 3, 9));  // century window of 50 years
  for (const char* bad :
       {"", "32.01.2000", "29.02.2001", "1.13.2000", "2000-01-01", "01.01.2000x", "..", "1.", "99999999999.1.1"}) {
    EXPECT_THROW(StrToDate(bad), EConvertError) << bad;
  }
  EXPECT_EQ(StrToDateTime("09.03.2007 13:45:30"), EncodeDate(2007, 3, 9) + EncodeTime(13, 45, 30, 0));
  EXPECT_EQ(StrToDateTime("09.03.2007"), EncodeDate(2007, 3, 9));
  EXPECT_EQ(StrToTime("1:02 PM"), EncodeTime(13, 2, 0, 0));
  EXPECT_THROW(StrToTime("25:00"), EConvertError);
  EXPECT_THROW(StrToDateTime("09.03.2007 noon"), EConvertError);
  {
    FormatSettingsGuard g;
    GetFormatSettings().ShortDateFormat = "MM/dd/yyyy";
    GetFormatSettings().DateSeparator = '/';
    EXPECT_EQ(StrToDate("03/09/2007"), EncodeDate(2007, 3, 9));
    EXPECT_EQ(DateToStr(EncodeDate(2007, 3, 9)), "03/09/2007");
  }
}

TEST(DateTimeTest, InjectableClock) {
  double fixed = EncodeDate(2001, 9, 8) + EncodeTime(7, 30, 0, 0);
  {
    ClockOverride outer(fixed);
    EXPECT_EQ(Now(), fixed);
    EXPECT_EQ(Date(), EncodeDate(2001, 9, 8));
    {
      ClockOverride inner(1.5);
      EXPECT_EQ(Now(), 1.5);
    }
    EXPECT_EQ(Now(), fixed);  // the previous clock, not the system's
  }
  EXPECT_GT(Now(), EncodeDate(2020, 1, 1));  // the system clock again
}

}  // namespace
