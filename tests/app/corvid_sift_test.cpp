#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dbf_dataset/dataset_test_util.h"
#include "platform/date_time.h"
#include "platform/text.h"

namespace {

// A phones.dbf (TEL "1000+i", ND i, ...) and a DBF dataset over it.
struct PhonesTable {
  TempDir dir{"dirlook-sift"};
  TCorvidDataSet ds;
  explicit PhonesTable(int rows) {
    MakePhones(dir / "phones.dbf", rows);
    Place(ds, dir, "phones.dbf");
    ds.Open();
  }
  TCorvidDataSet* corvid() { return &ds; }
  // A tag on `key`; the dataset back in natural order.
  void AddIndex(const std::string& file, const std::string& key, bool unique, const std::string& forExpr = "",
                bool descending = false, const std::string& tag = "") {
    ds.IndexOn(file, tag, key, forExpr, unique ? CVsetIndexUnique::Unique : CVsetIndexUnique::Duplicates,
               descending ? CVsetSortStatus::Descending : CVsetSortStatus::Ascending);
    ds.SetIndexName("");
  }
  std::vector<std::string> Walk(const std::string& field) { return ::Walk(ds, field); }
};

// A query over phones.dbf through the window's binding.
struct Fixture {
  PhonesTable table;
  TCorvidDataSet& ds;
  TCorvidSift sift;
  explicit Fixture(int rows = 12) : table(rows), ds(table.ds) {
    sift.AddDataSet(&ds, "Phones");
    sift.Loaded();
  }
  std::vector<std::string> Run(const std::string& sql, const std::string& field = "TEL") {
    sift.SetSQL(sql);
    sift.Open();
    std::vector<std::string> out;
    while (!sift.Eof()) {
      out.push_back(Trim(sift.FieldByName(field)->AsString()));
      sift.Next();
    }
    sift.Close();
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST(CorvidSift, FiltersTheEngineRefusesFallBackToTheWhereClause) {
  Fixture f;
  EXPECT_EQ(f.Run("select * from phones where tel like '101%'"), (std::vector<std::string>{"1010", "1011", "1012"}));
  // While rows are read, the dataset is filtered only when the DBF engine
  // took the condition.
  std::vector<std::string> filters;
  f.sift.OnCancelQuery = [&](TCustomSift*, bool&) { filters.push_back(f.ds.Filtered() ? f.ds.Filter() : ""); };
  EXPECT_EQ(f.Run("select * from phones where nd=5"), (std::vector<std::string>{"1005"}));
  ASSERT_FALSE(filters.empty());
  EXPECT_NE(filters.front(), "");
  filters.clear();
  // A LIKE the DBF engine answers alike is taken as a compare in place;
  // one it does not (a text at the end) is left to the query.
  EXPECT_EQ(f.Run("select * from phones where tel like '100%'"),
            (std::vector<std::string>{"1001", "1002", "1003", "1004", "1005", "1006", "1007", "1008", "1009"}));
  ASSERT_FALSE(filters.empty());
  EXPECT_EQ(filters.front(), "((SUBSTR(TEL, 1, 3) = '100'))");
  filters.clear();
  EXPECT_EQ(f.Run("select * from phones where tel like '%005'"), (std::vector<std::string>{"1005"}));
  ASSERT_FALSE(filters.empty());
  EXPECT_EQ(filters.front(), "");
  f.sift.OnCancelQuery = nullptr;
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.ds.Filter(), "");

  // The handlers directly: a refused text leaves nothing behind, an accepted
  // one filters the dataset until the statement ends.
  f.sift.BeforeQuery(nullptr);
  bool handled = true;
  f.sift.SetFilter(&f.sift, &f.ds, "SQLLIKE(TEL, '%10', '')", false, handled);
  EXPECT_FALSE(handled);
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.ds.Filter(), "");
  f.sift.SetFilter(&f.sift, &f.ds, "ND=5", false, handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(f.table.Walk("TEL"), (std::vector<std::string>{"1005"}));
  f.sift.AfterQuery(nullptr);  // the scan raised: no cancel events came
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.table.Walk("TEL").size(), 12u);
}

TEST(CorvidSift, ADatasetsOwnFilterAndUseDeletedSurviveStatements) {
  Fixture f;
  f.ds.SetFilter("ND>2");
  f.ds.SetFiltered(true);
  EXPECT_EQ(f.Run("select * from phones where nd<5"), (std::vector<std::string>{"1003", "1004"}));
  EXPECT_EQ(f.Run("select * from phones where tel like '100%'").size(), 7u);
  EXPECT_EQ(f.ds.Filter(), "ND>2");
  EXPECT_TRUE(f.ds.Filtered());

  f.ds.SetFiltered(false);
  f.sift.UseDeleted = true;
  auto before = f.sift.OnSetFilter.target_type().name();
  EXPECT_ANY_THROW(f.Run("select nosuch from phones where nd=1"));
  EXPECT_ANY_THROW(f.Run("select * from phones where nd=1 and"));
  EXPECT_FALSE(f.table.corvid()->UseDeleted());
  EXPECT_EQ(f.ds.Filter(), "ND>2");
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_STREQ(f.sift.OnSetFilter.target_type().name(), before);
  // The scan reads through the table's read window; the dataset's own
  // setting comes back after every statement.
  EXPECT_FALSE(f.ds.DBFCache());
  bool windowed = false;
  f.sift.OnCancelQuery = [&](TCustomSift*, bool&) { windowed = f.ds.DBFCache(); };
  f.Run("select * from phones where nd=3");
  EXPECT_TRUE(windowed);
  EXPECT_FALSE(f.ds.DBFCache());
  f.sift.OnCancelQuery = nullptr;
  f.ds.SetDBFCache(true);
  EXPECT_ANY_THROW(f.Run("select * from phones where nd=1 and"));
  EXPECT_TRUE(f.ds.DBFCache());
  f.ds.SetDBFCache(false);
  // And the next statement runs normally.
  EXPECT_EQ(f.Run("select * from phones where nd=7"), (std::vector<std::string>{"1007"}));
}

TEST(CorvidSift, DerivedTablesAreLeftAlone) {
  Fixture f;
  EXPECT_EQ(f.Run("select * from (select tel from phones) p where tel='1003'"), (std::vector<std::string>{"1003"}));
}

// A source of another class than the DBF dataset ends every statement
// before anything of the DBF sources is changed.
TEST(CorvidSift, ASourceOfAnotherClassEndsTheStatement) {
  Fixture f;
  TSift other;
  other.AddDataSet(&f.ds, "phones");
  other.SetSQL("select tel from phones");
  other.Open();
  f.sift.AddDataSet(&other, "other");
  f.sift.UseDeleted = true;
  f.sift.WhereOptimizeMethod = omSetRange;
  const bool cached = f.ds.DBFCache();
  std::string message;
  try {
    f.Run("select * from phones where tel = '1003'");
  } catch (const EInvalidCast& e) {
    message = e.Message();
  }
  EXPECT_EQ(message, "Invalid class typecast");
  EXPECT_FALSE(f.ds.UseDeleted());
  EXPECT_EQ(f.ds.DBFCache(), cached);
  EXPECT_EQ(f.ds.IndexCurrent(), "");
  // The query's own handlers are back: the next statement, without the
  // stranger, runs through them.
  other.Close();
  f.sift.DataSets().Clear();
  f.sift.AddDataSet(&f.ds, "Phones");
  EXPECT_EQ(f.Run("select * from phones where tel = '1003'"), (std::vector<std::string>{"1003"}));
}

// A short condition becomes the DBF filter; a long one (thousands of
// comparisons, or brackets hundreds deep) stays with the query, which gives
// the same rows.
TEST(CorvidSift, LongConditionsStayWithTheQuery) {
  Fixture f(12);
  bool filtered = false;
  f.sift.OnCancelQuery = [&](TCustomSift*, bool&) { filtered = filtered || f.ds.Filtered(); };
  auto where = [](int terms) {
    std::string w = "tel = '1003'";
    for (int i = 1; i < terms; ++i) w += i % 2 ? " and tel <> 'x'" : " and fm <> 'y'";
    return w;
  };
  EXPECT_EQ(f.Run("select * from phones where " + where(100)), (std::vector<std::string>{"1003"}));
  EXPECT_TRUE(filtered);
  filtered = false;
  EXPECT_EQ(f.Run("select * from phones where " + where(5000)), (std::vector<std::string>{"1003"}));
  EXPECT_FALSE(filtered);
  const std::string deep = std::string(300, '(') + "tel = '1003'" + std::string(300, ')');
  EXPECT_EQ(f.Run("select * from phones where " + deep), (std::vector<std::string>{"1003"}));
  EXPECT_FALSE(filtered);
}

TEST(CorvidSift, RangesKeepTheirEdgeRows) {
  Fixture f(30);
  f.table.AddIndex("tel.ntx", "TEL", false);
  f.table.AddIndex("fmu.ntx", "FM", true);
  f.sift.WhereOptimizeMethod = omSetRange;

  f.sift.BeforeQuery(nullptr);
  bool accept = false;
  f.sift.IndexNeededfor(&f.sift, &f.ds, "fm", true, false, accept);
  EXPECT_FALSE(accept);  // unique tag: would lose duplicate keys
  f.sift.IndexNeededfor(&f.sift, &f.ds, "tel", true, false, accept);
  ASSERT_TRUE(accept);
  f.sift.SetRange(&f.sift, ropGT, &f.ds, "TEL", "102", "", false);
  auto rows = f.table.Walk("TEL");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), "1020");  // "1020" > "102": not skipped
  EXPECT_EQ(rows.back(), "1030");
  f.sift.SetRange(&f.sift, ropLT, &f.ds, "TEL", "", "1003", false);
  rows = f.table.Walk("TEL");
  EXPECT_EQ(rows, (std::vector<std::string>{"1001", "1002", "1003"}));  // inclusive; WHERE trims
  f.sift.AfterQuery(nullptr);
  EXPECT_EQ(f.table.corvid()->IndexName(), "");
  EXPECT_EQ(f.table.Walk("TEL").size(), 30u);

  EXPECT_EQ(f.Run("select * from phones where tel > '1028'"), (std::vector<std::string>{"1029", "1030"}));
  EXPECT_EQ(f.Run("select * from phones where tel >= '1028'").size(), 3u);
  EXPECT_EQ(f.Run("select * from phones where tel < '1002'"), (std::vector<std::string>{"1001"}));
  EXPECT_EQ(f.Run("select * from phones where tel <= '1002'").size(), 2u);
  EXPECT_EQ(f.Run("select * from phones where tel between '1010' and '1012'").size(), 3u);
  EXPECT_EQ(f.table.corvid()->IndexName(), "");
}

// Only a tag that lists every record once per key, ascending, serves a
// range; the others would lose or reverse rows.
TEST(CorvidSift, OnlyPlainAscendingTagsServeRanges) {
  Fixture f(30);
  f.table.AddIndex("tags.mdx", "TEL", false, "", true, "TELDOWN");
  f.table.AddIndex("tags.mdx", "TEL", false, "ND>3", false, "TELSOME");
  f.sift.WhereOptimizeMethod = omSetRange;
  f.sift.BeforeQuery(nullptr);
  bool accept = true;
  f.sift.IndexNeededfor(&f.sift, &f.ds, "tel", true, false, accept);
  EXPECT_FALSE(accept);
  f.sift.AfterQuery(nullptr);
  EXPECT_EQ(f.Run("select * from phones where tel < '1003'"), (std::vector<std::string>{"1001", "1002"}));
  EXPECT_EQ(f.Run("select * from phones where tel >= '1029'"), (std::vector<std::string>{"1029", "1030"}));

  f.table.AddIndex("tel.ntx", "TEL", false);
  f.sift.BeforeQuery(nullptr);
  f.sift.IndexNeededfor(&f.sift, &f.ds, "tel", true, false, accept);
  EXPECT_TRUE(accept);
  EXPECT_TRUE(SameText(f.ds.IndexCurrent(), "TEL"));
  // Joining: the offer is left as it came.
  accept = true;
  f.sift.IndexNeededfor(&f.sift, &f.ds, "nd", true, true, accept);
  EXPECT_TRUE(accept);
  f.sift.AfterQuery(nullptr);
  EXPECT_EQ(f.ds.IndexCurrent(), "");
}

// Keys at the ends of the byte order: 0xFF ('я') and control bytes are
// inside every open-ended range, and both roads find the same rows.
TEST(CorvidSift, RangesReachTheEndsOfTheByteOrder) {
  TempDir dir{"dirlook-sift-edges"};
  const std::vector<std::string> tels = {
      "\xFF\xFF"
      "1",
      "\xFF",
      "A",
      "ABC",
      "ABCD",
      "ABD",
      "\x01"
      "x",
      "\xFE"};
  std::vector<std::vector<std::string>> rows;
  for (const std::string& t : tels) rows.push_back({t, "F", "U", "1", "1"});
  MakeTable(dir / "phones.dbf", "3",
            {{"TEL", "C", 7, 0}, {"FM", "C", 20, 0}, {"UL", "C", 12, 0}, {"ND", "N", 4, 0}, {"KW", "C", 4, 0}}, rows);
  TCorvidDataSet ds;
  Place(ds, dir, "phones.dbf");
  ds.Open();
  ds.IndexOn("tel.ntx", "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.SetIndexName("");
  TCorvidSift sift;
  sift.AddDataSet(&ds, "Phones");
  sift.Loaded();
  auto run = [&](const std::string& where) {
    sift.SetSQL("select tel from phones where " + where);
    sift.Open();
    std::vector<std::string> out;
    for (; !sift.Eof(); sift.Next()) out.push_back(TrimRight(sift.FieldByName("TEL")->AsString()));
    sift.Close();
    std::sort(out.begin(), out.end());
    return out;
  };
  const char* const wheres[] = {"tel > 'ABC'", "tel >= '\xFF'", "tel > '\xFE'",
                                "tel < 'A'",   "tel <= 'ABC'",  "tel between 'ABC' and '\xFF'",
                                "tel < '\x02'"};
  for (const char* w : wheres) {
    sift.WhereOptimizeMethod = omSetFilter;
    const auto filtered = run(w);
    sift.WhereOptimizeMethod = omSetRange;
    EXPECT_EQ(run(w), filtered) << w;
  }
  sift.WhereOptimizeMethod = omSetRange;
  EXPECT_EQ(run("tel > 'ABC'"), (std::vector<std::string>{"ABCD", "ABD", "\xFE", "\xFF",
                                                          "\xFF\xFF"
                                                          "1"}));
  EXPECT_EQ(run("tel >= '\xFF'"), (std::vector<std::string>{"\xFF",
                                                            "\xFF\xFF"
                                                            "1"}));
  EXPECT_EQ(run("tel < 'A'"), (std::vector<std::string>{"\x01"
                                                        "x"}));
  EXPECT_EQ(ds.IndexCurrent(), "");
  EXPECT_EQ(Walk(ds, "TEL").size(), tels.size());
}

// A bound the tag cannot take leaves the dataset unranged: the WHERE
// clause still decides.
TEST(CorvidSift, ABoundTheTagCannotTakeLeavesNoRange) {
  Fixture f(12);
  f.table.AddIndex("nd.ndx", "ND", false);
  f.sift.WhereOptimizeMethod = omSetRange;
  f.sift.BeforeQuery(nullptr);
  bool accept = false;
  f.sift.IndexNeededfor(&f.sift, &f.ds, "nd", true, false, accept);
  ASSERT_TRUE(accept);
  EXPECT_NO_THROW(f.sift.SetRange(&f.sift, ropGE, &f.ds, "ND", "abc", "", false));
  EXPECT_EQ(f.table.Walk("TEL").size(), 12u);
  f.sift.SetRange(&f.sift, ropBETWEEN, &f.ds, "ND", "3", "5", false);
  EXPECT_EQ(f.table.Walk("TEL"), (std::vector<std::string>{"1003", "1004", "1005"}));
  f.sift.AfterQuery(nullptr);
  EXPECT_FALSE(f.ds.Ranged());
  EXPECT_EQ(f.ds.IndexCurrent(), "");
  EXPECT_EQ(f.Run("select * from phones where nd >= 11"), (std::vector<std::string>{"1011", "1012"}));
}

// A dataset ordered, ranged or filtered by its owner keeps that through
// every statement, successful or not; the statement sees only the rows the
// dataset shows, whichever road its WHERE clause takes.
TEST(CorvidSift, ADatasetsOwnRangeFilterAndTagStay) {
  Fixture f(30);
  f.table.AddIndex("tel.ntx", "TEL", false);
  f.table.AddIndex("nd.ntx", "ND", false);
  // 0: tag, range and filter; 1: tag and range; 2: tag; 3: filter.
  for (int setup = 0; setup < 4; ++setup) {
    const bool tag = setup < 3, range = setup < 2, filter = setup == 0 || setup == 3;
    f.ds.SetFiltered(false);
    f.ds.SetIndexName(tag ? "TEL" : "");
    if (range) f.ds.SetRange("1005", "1020");
    f.ds.SetFilter(filter ? "ND>7" : "");
    f.ds.SetFiltered(filter);
    const std::vector<std::string> own = f.table.Walk("TEL");
    std::vector<std::string> expected;  // own rows with ND 3 .. 14
    for (const std::string& t : own)
      if (t >= "1003" && t <= "1014") expected.push_back(t);
    std::sort(expected.begin(), expected.end());
    auto same = [&](const std::string& when) {
      const std::string at = when + ", setup " + std::to_string(setup);
      EXPECT_EQ(f.ds.IndexName(), tag ? "TEL" : "") << at;
      EXPECT_EQ(f.ds.Ranged(), range) << at;
      EXPECT_EQ(f.ds.Filtered(), filter) << at;
      EXPECT_EQ(f.ds.Filter(), filter ? "ND>7" : "") << at;
      EXPECT_EQ(f.table.Walk("TEL"), own) << at;
    };
    for (TOptimizeMethod m : {omSetFilter, omSetRange}) {
      f.sift.WhereOptimizeMethod = m;
      // The DBF engine takes the first; the LIKE makes the query evaluate
      // the second; the last two are range offers on either tag.
      EXPECT_EQ(f.Run("select * from phones where nd >= 3 and nd < 15"), expected) << setup;
      same("handled filter");
      EXPECT_EQ(f.Run("select * from phones where nd >= 3 and nd < 15 and tel like '10%'"), expected) << setup;
      same("evaluated filter");
      EXPECT_EQ(f.Run("select * from phones where tel between '1003' and '1014'"), expected) << setup;
      same("range offer on TEL");
      EXPECT_EQ(f.Run("select * from phones where nd between 3 and 14"), expected) << setup;
      same("range offer on ND");
    }
    // A scan that raises: no cancel events, AfterQuery undoes what the
    // statement set.
    f.sift.OnCancelQuery = [](TCustomSift*, bool&) { throw EDatabaseError("stopped"); };
    for (TOptimizeMethod m : {omSetFilter, omSetRange}) {
      f.sift.WhereOptimizeMethod = m;
      EXPECT_ANY_THROW(f.Run("select * from phones where nd >= 3 and nd < 15"));
      same("failed statement");
      EXPECT_ANY_THROW(f.Run("select * from phones where nd between 3 and 14"));
      same("failed ranged statement");
    }
    f.sift.OnCancelQuery = nullptr;
    if (range) f.ds.SetRange("", "");
  }
}

TEST(CorvidSift, DateWrappersBecomeDbfDates) {
  TCorvidSift sift;
  std::string text = "DummyBoolean(True) and D=DummyDate(45000) or E=DummyDate(45000)";
  sift.FixDummiesForFilter(text);
  EXPECT_EQ(text.find("Dummy"), std::string::npos) << text;
  EXPECT_EQ(text.substr(0, 4), "True");
  EXPECT_NE(text.find("{"), std::string::npos);
  // Each wrapper becomes its own date where it stands; an unclosed one
  // loses its name.
  std::string dates = "A=DummyDate(2) or B=DummyDate(3) or C=DummyDate(2) or D=DummyDate(4";
  sift.FixDummiesForFilter(dates);
  const std::string two = "{" + DateToStr(2) + "}", three = "{" + DateToStr(3) + "}";
  EXPECT_EQ(dates, "A=" + two + " or B=" + three + " or C=" + two + " or D=4");
}

}  // namespace
