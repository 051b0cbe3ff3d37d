#include "dbf_engine/dates.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"

namespace {

TEST(DBFDateTest, OffsetAndTheFixedPoint) {
  EXPECT_EQ(DBFDate.DayOffset(), 2444240 - static_cast<int32_t>(EncodeDate(1980, 1, 1)));
  EXPECT_EQ(DBFDate.CTOD("19800101"), 2444240);
  EXPECT_EQ(DBFDate.DTOS(2444240), "19800101");
  EXPECT_EQ(DBFDate.MDY2Jul(1, 1, 1980), 2444240);
  int m, d, y;
  DBFDate.Jul2MDY(2444240, m, d, y);
  EXPECT_EQ(y * 10000 + m * 100 + d, 19800101);
  EXPECT_EQ(DBFDate.DBLoad("19800101"), 29221.0);
}

TEST(DBFDateTest, BlankDates) {
  EXPECT_EQ(DBFDate.CTOD("        "), 0);
  EXPECT_EQ(DBFDate.CTOD(""), 0);
  EXPECT_EQ(DBFDate.CTOD("00000000"), 0);
  EXPECT_EQ(DBFDate.DTOS(0), "        ");
  EXPECT_EQ(DBFDate.DTOS(-5), "        ");
  EXPECT_EQ(DBFDate.DTOC(0), "          ");
  EXPECT_EQ(DBFDate.DOW(0), 0);
  EXPECT_EQ(DTOS(0), "        ");
  // outside the years 1-9999 a day still fits the 8 characters of a field
  EXPECT_EQ(DBFDate.DTOS(9999999), "        ");
  EXPECT_EQ(DBFDate.DTOS(1000), "        ");
}

TEST(DBFDateTest, InvalidDatesRaise) {
  EXPECT_THROW(DBFDate.CTOD("19801301"), EConvertError);  // month 13
  EXPECT_THROW(DBFDate.CTOD("19800230"), EConvertError);
  EXPECT_THROW(DBFDate.CTOD("garbage"), EConvertError);
  EXPECT_THROW(DBFDate.MDY2Jul(13, 1, 1980), EConvertError);
  EXPECT_THROW(DBFDate.DBLoad("1980xx01"), EConvertError);
  EXPECT_THROW(DBFDate.DBLoad(""), EConvertError);
}

TEST(DBFDateTest, ShortDateFormatAndDayOfWeek) {
  EXPECT_EQ(DBFDate.CTOD("01.01.1980"), 2444240);
  EXPECT_EQ(DBFDate.CTOD("9.3.2007  "), DBFDate.CTOD("20070309"));
  EXPECT_EQ(DBFDate.DTOC(2444240), "01.01.1980");
  EXPECT_EQ(DTOC(2444240), "01.01.1980");
  EXPECT_EQ(DBFDate.DOW(2444240), 3);  // a Tuesday
  EXPECT_EQ(DBFDate.DOW(2444240 + 5), 1);
  EXPECT_EQ(CTOD("01.01.0001"), 1721426);
}

TEST(DBFDateTest, DtocWidensTheYearAndStopsWithoutOne) {
  FormatSettingsGuard g;
  GetFormatSettings().ShortDateFormat = "dd.MM.yy";
  EXPECT_EQ(DBFDate.DisplayFormat(), "DD.MM.YYYY");
  EXPECT_EQ(DBFDate.DTOC(2444240), "01.01.1980");
  GetFormatSettings().ShortDateFormat = "y/M/d";
  EXPECT_EQ(DBFDate.DisplayFormat(), "YYYY/M/D");
  // no year at all: nothing to widen, and no endless loop
  GetFormatSettings().ShortDateFormat = "dd.MM";
  EXPECT_EQ(DBFDate.DisplayFormat(), "DD.MM");
  EXPECT_EQ(DBFDate.DTOC(2444240), "01.01");
  EXPECT_EQ(DBFDate.DTOC(0), "     ");
  TcvDBFDate two;
  two.SetFourDigitYear(false);
  GetFormatSettings().ShortDateFormat = "dd.MM.yy";
  EXPECT_EQ(two.DTOC(2444240), "01.01.80");
}

TEST(DBFDateTest, TodayFollowsTheClock) {
  ClockOverride clock(EncodeDate(1980, 1, 1) + 0.75);
  EXPECT_EQ(DBFDate.Date(), 2444240);
  EXPECT_EQ(CurDate(), 2444240);
}

TEST(DBFDateTest, CrossCheckedWithPythonOrdinals) {
  // Julian day = date.toordinal() + 1721425, computed independently by Python.
  std::unique_ptr<FILE, int (*)(FILE*)> p(
      popen("/usr/bin/python3 -c \"import datetime\n"
            "for y,m,d in [(1,1,1),(1582,10,15),(1899,12,30),(1900,2,28),(1900,3,1),(1970,1,1),(1980,1,1),"
            "(2000,2,29),(2024,12,31),(2038,1,19),(2100,3,1),(9999,12,31)]:\n"
            "    t=datetime.date(y,m,d); print('%04d%02d%02d %d %d' % "
            "(y,m,d,t.toordinal()+1721425,t.isoweekday()%7+1))\" "
            "2>/dev/null",
            "r"),
      pclose);
  if (!p) GTEST_SKIP() << "cannot run /usr/bin/python3";
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, p.get())) out += buf;
  if (out.empty()) GTEST_SKIP() << "/usr/bin/python3 is missing or failed";
  std::istringstream in(out);
  std::string ymd;
  int32_t julian = 0;
  int dow = 0;
  int lines = 0;
  while (in >> ymd >> julian >> dow) {
    ++lines;
    EXPECT_EQ(DBFDate.CTOD(ymd), julian) << ymd;
    EXPECT_EQ(DBFDate.DTOS(julian), ymd);
    EXPECT_EQ(DBFDate.DOW(julian), dow) << ymd;
  }
  EXPECT_EQ(lines, 12);
}

}  // namespace
