// Input that would otherwise be taken as something else: a zero byte inside
// a statement, a parameter value, a filter or a key expression (C code and
// the lexers stop at it), a parameter without a value, and a date pushed
// past either end of the calendar.  Everything runs through the window's
// query binding over real DBF tables; each refusal must leave the table as
// it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "platform/date_time.h"
#include "platform/text.h"

namespace {

using namespace std::string_literals;

// t (ID N4, NAME C10, D D) with three rows, and the binding over it.
struct Table {
  TempDir dir{"dirlook-input"};
  TCorvidDataSet ds;
  TCorvidSift sift;
  Table() {
    MakeTable(dir / "t.dbf", "3", {{"ID", "N", 4, 0}, {"NAME", "C", 10, 0}, {"D", "D", 8, 0}},
              {{"1", "apple", "20040131"}, {"2", "pear", "19991231"}, {"3", "plum", ""}});
    Place(ds, dir, "t.dbf");
    ds.Open();
    sift.AddDataSet(&ds, "t");
    sift.Loaded();
  }
  // The rows as "id|name|yyyymmdd", read back from a fresh dataset so that
  // only what reached the file counts.
  std::vector<std::string> Rows() {
    TCorvidDataSet fresh;
    Place(fresh, dir, "t.dbf");
    fresh.Open();
    std::vector<std::string> out;
    for (fresh.First(); !fresh.Eof(); fresh.Next()) {
      TField* d = fresh.FieldByName("D");
      out.push_back(Trim(fresh.FieldByName("ID")->AsString()) + "|" + Trim(fresh.FieldByName("NAME")->AsString()) +
                    "|" + (d->IsNull() ? "" : FormatDateTime("yyyymmdd", d->AsDateTime())));
    }
    return out;
  }
  // The message ExecSQL fails with; empty when it succeeds.
  std::string Exec(const std::string& sql) {
    try {
      sift.SetSQL(sql);
      sift.ExecSQL();
    } catch (const Exception& e) {
      return e.Message();
    }
    return std::string();
  }
};

const std::vector<std::string> kStart = {"1|apple|20040131", "2|pear|19991231", "3|plum|"};

template <class F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return std::string();
}

TEST(BadInput, AZeroByteRefusesTheStatementOnEveryRoadAndNothingRuns) {
  Table t;
  const std::string nul = "SQL statement cannot contain a NUL character";
  // Cut at the zero byte this would delete every row.
  EXPECT_EQ(t.Exec("delete from t where id > 0\0and id = 999"s), nul);
  EXPECT_EQ(t.Exec("delete from t where id > 0\0"s), nul);
  EXPECT_EQ(t.sift.RowsAffected, 0);
  EXPECT_EQ(MessageOf([&] {
              t.sift.SetSQL("select * from t where id > 0\0and id = 999"s);
              t.sift.Open();
            }),
            nul);
  EXPECT_FALSE(t.sift.Active());
  // A script is refused as a whole, before its first statement runs.
  t.sift.SetSQLScript("update t set name = 'x'; delete from t where id > 0\0and id = 999"s);
  EXPECT_EQ(MessageOf([&] { t.sift.ExecSQLScript(); }), nul);
  EXPECT_EQ(t.Rows(), kStart);

  // A parameter value becomes statement text: refused the same way.
  t.sift.SetSQL("delete from t where name <> :n");
  t.sift.ParamByName("n")->SetAsString("zzz\0' or id > 0"s);
  EXPECT_EQ(MessageOf([&] { t.sift.ExecSQL(); }), "Parameter n: a value cannot contain a NUL character");
  // A parameter nobody gave a value is not a missing one.
  t.sift.SetSQL("delete from t where id = :p");
  ASSERT_NE(t.sift.ParamByName("p"), nullptr);
  EXPECT_EQ(MessageOf([&] { t.sift.ExecSQL(); }), "Parameter p has no value");
  t.sift.ParamByName("p")->SetAsInteger(2);
  t.sift.ExecSQL();
  EXPECT_EQ(t.sift.RowsAffected, 1);
  EXPECT_EQ(t.Rows(), (std::vector<std::string>{"1|apple|20040131", "3|plum|"}));

  // The query's own filter over its result is an expression text too.
  t.sift.SetSQL("select * from t");
  t.sift.SetFilterText("ID > 0\0.AND. ID = 999"s);
  t.sift.SetFiltered(true);
  EXPECT_EQ(MessageOf([&] { t.sift.Open(); }), "Expression cannot contain a NUL character");
}

TEST(BadInput, AZeroByteRefusesATableFilterAndAKeyExpression) {
  Table t;
  const std::string nul = "Expression cannot contain a NUL character";
  // As a blank the zero byte would let "ID = 999" through unread by C code
  // and the index header; it is refused instead, and no filter stays on.
  t.ds.SetFilterText("ID > 0\0.AND. ID = 999"s);
  EXPECT_NE(MessageOf([&] { t.ds.SetFiltered(true); }).find(nul), std::string::npos);
  t.ds.SetFiltered(false);
  t.ds.SetFilterText("");
  EXPECT_EQ(Walk(t.ds, "ID").size(), 3u);

  // A key expression: refused before an index file exists.
  EXPECT_NE(MessageOf([&] {
              t.ds.IndexOn(t.dir / "k.ntx", "", "NAME\0+ STR(ID)"s, "", CVsetIndexUnique::Duplicates,
                           CVsetSortStatus::Ascending);
            }).find(nul),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(t.dir / "k.ntx"));
  // ...and a FOR condition.
  EXPECT_NE(MessageOf([&] {
              t.ds.IndexOn(t.dir / "k.ntx", "", "NAME", "ID > 1\0.OR. .T."s, CVsetIndexUnique::Duplicates,
                           CVsetSortStatus::Ascending);
            }).find(nul),
            std::string::npos);
  EXPECT_EQ(Walk(t.ds, "ID").size(), 3u);
  EXPECT_EQ(t.Rows(), kStart);
}

TEST(BadInput, ADatePastEitherEndOfTheCalendarFailsAlikeAndStoresNothing) {
  Table t;
  // k days from each end: inside the calendar the date is stored, outside
  // it both ends fail with the same message and the record keeps its date.
  for (int k = -3; k <= 3; ++k) {
    SCOPED_TRACE(k);
    const std::string sign = k < 0 ? " - " : " + ";
    const std::string days = std::to_string(k < 0 ? -k : k);
    const std::string last = t.Exec("update t set d = #31.12.9999#" + sign + days + " where id = 1");
    const std::string first = t.Exec("update t set d = #01.01.0001#" + sign + days + " where id = 2");
    const std::vector<std::string> rows = t.Rows();
    ASSERT_EQ(rows.size(), 3u);
    if (k <= 0) {
      EXPECT_EQ(last, "");
      EXPECT_EQ(rows[0], "1|apple|" + FormatDateTime("yyyymmdd", EncodeDate(9999, 12, 31) + k));
    } else {
      EXPECT_NE(last.find("is not a valid date and time value for field 'D'"), std::string::npos) << last;
    }
    if (k >= 0) {
      EXPECT_EQ(first, "");
      EXPECT_EQ(rows[1], "2|pear|" + FormatDateTime("yyyymmdd", EncodeDate(1, 1, 1) + k));
    } else {
      EXPECT_NE(first.find("is not a valid date and time value for field 'D'"), std::string::npos) << first;
    }
    // A failed update leaves the date the record had.
    if (k > 0) {
      EXPECT_EQ(rows[0], "1|apple|99991231");
    }
    if (k < 0) {
      EXPECT_EQ(rows[1], "2|pear|19991231");
    }
  }
  // The table's own field refuses a native day past the calendar too,
  // whoever hands it one.
  t.ds.First();
  t.ds.Edit();
  for (int32_t day : {0, 3652060}) {
    SCOPED_TRACE(day);
    EXPECT_NE(MessageOf([&] { t.ds.FieldByName("D")->SetData(&day); }).find("is not a valid date"), std::string::npos);
  }
  t.ds.Cancel();
  EXPECT_EQ(t.Rows()[0], "1|apple|99991231");
}

}  // namespace
