// The execution of SELECT statements: the hook order an adapter sees, and
// SQL behaviour pinned in data/select_cases.txt, each case checked once
// against SQLite over the same rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <sstream>

#include "common/select_cases.h"
#include "common/sql_run.h"
#include "platform/code_page.h"
#include "common/mem_dataset.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "common/expr_test_support.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/query/sift_scan.h"
#include "sql_engine/store/result_set.h"

#ifdef DIRLOOK_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

std::string Cp(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToCp1251(utf8, out)) << utf8;
  return out;
}

const Variant N = Variant::Null();

// Rows that know their count (the progress events need it).
class TCountedRows : public TRowDataSet {
public:
  using TRowDataSet::TRowDataSet;
  int GetRecordCount() override { return static_cast<int>(rows.size()); }
};

// The three tables of data/select_cases.txt.
struct TTables {
  TCountedRows a{{{"ID", ftInteger}, {"NAME", ftString, 10}, {"CITY", ftInteger}},
                 {{1, Cp("Иванов"), 10}, {2, "Petrov", 20}, {3, "Sidorov", N}, {4, "Ivanova", 10}, {5, N, 30}}};
  TCountedRows b{{{"ID", ftInteger}, {"AID", ftInteger}, {"X", ftInteger}},
                 {{1, 1, 5}, {2, 1, 7}, {3, 2, 5}, {4, 9, N}, {5, N, 1}}};
  TCountedRows c{{{"ID", ftInteger}, {"BID", ftInteger}, {"LABEL", ftString, 4}},
                 {{1, 1, "p"}, {2, 3, "q"}, {3, 3, "r"}, {4, 8, "s"}}};
  TSift q;
  TTables() {
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    q.AddDataSet(&c, "c");
  }
};

using TRun = TSqlRun;

TRun RunSql(TCustomSift& q, const std::string& sql) { return RunStatement(q, sql, true); }

// ------------------------------------------------------------ hook order

struct TRecorder {
  std::vector<std::string> log;
  bool handleFilter = false;
  bool acceptIndex = true;

  void Attach(TCustomSift& q) {
    q.OnSetFilter = [this](TCustomSift*, TDataSet*, const std::string& f, bool, bool& handled) {
      log.push_back("SetFilter " + f);
      handled = handleFilter;
    };
    q.OnCancelFilter = [this](TCustomSift*, TDataSet*, bool) { log.push_back("CancelFilter"); };
    q.OnIndexNeededFor = [this](TCustomSift*, TDataSet*, const std::string& names, bool activate, bool, bool& accept) {
      log.push_back("IndexNeededFor " + names + (activate ? " activate" : ""));
      accept = acceptIndex;
    };
    q.OnSetRange = [this](TCustomSift*, TRelationalOperator op, TDataSet*, const std::string& names,
                          const std::string& start, const std::string& end, bool) {
      log.push_back("SetRange " + std::to_string(op) + " " + names + " [" + start + "," + end + "]");
    };
    q.OnCancelRange = [this](TCustomSift*, TDataSet*, bool) { log.push_back("CancelRange"); };
    q.OnProgress = [this](TCustomSift*, TSiftProgressStatus s, int32_t min, int32_t max, int32_t pos) {
      log.push_back("Progress " + std::to_string(s) + " " + std::to_string(min) + " " + std::to_string(max) + " " +
                    std::to_string(pos));
    };
    q.OnCancelQuery = [this](TCustomSift*, bool&) { log.push_back("CancelQuery"); };
  }
};

std::vector<std::string> ScanOfFive() {
  // Progress over five records: one report per row (each row is 25 %).
  std::vector<std::string> v;
  for (int pos = 2; pos <= 6; ++pos) {
    v.push_back("Progress 1 0 0 " + std::to_string(pos));
    v.push_back("CancelQuery");
  }
  return v;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SiftScanHooks, HandledFilterReplacesWhereAndIsCancelledOnce) {
  TTables t;
  TRecorder rec;
  rec.handleFilter = true;
  rec.Attach(t.q);
  const TRun run = RunSql(t.q, "select id from a where a.city = 10 and name <> 'a.city'");
  ASSERT_EQ(run.error, "");
  // The adapter took the WHERE clause: the query tests nothing itself (this
  // adapter filters nothing, so every row comes back).
  EXPECT_EQ(run.rows.size(), 5u);
  std::vector<std::string> expected = {"SetFilter (city = 10 AND name <> 'a.city')", "Progress 0 1 5 1"};
  expected = Concat(expected, ScanOfFive());
  expected.push_back("CancelFilter");
  expected.push_back("Progress 2 0 0 0");
  EXPECT_EQ(rec.log, expected);
}

TEST(SiftScanHooks, FilterNotHandledIsTestedPerRowAndNotCancelled) {
  TTables t;
  TRecorder rec;
  rec.Attach(t.q);
  const TRun run = RunSql(t.q, "select id from a where city = 10");
  EXPECT_EQ(run.rows, (std::vector<std::string>{"1", "4"}));
  std::vector<std::string> expected = {"SetFilter city = 10", "Progress 0 1 5 1"};
  expected = Concat(expected, ScanOfFive());
  expected.push_back("Progress 2 0 0 0");
  EXPECT_EQ(rec.log, expected);
  // No WHERE: nothing is offered; a subquery: never offered.
  rec.log.clear();
  RunSql(t.q, "select id from a");
  EXPECT_EQ(rec.log.front(), "Progress 0 1 5 1");
  rec.log.clear();
  RunSql(t.q, "select id from a where id in (select aid from b)");
  for (const std::string& e : rec.log) EXPECT_NE(e.rfind("SetFilter", 0), 0u) << e;
}

TEST(SiftScanHooks, RangeOnOneConjunctOnly) {
  TTables t;
  TRecorder rec;
  rec.Attach(t.q);
  t.q.WhereOptimizeMethod = omSetRange;
  TRun run = RunSql(t.q, "select id from a where city = 10");
  EXPECT_EQ(run.rows, (std::vector<std::string>{"1", "4"}));
  // Asked first; activated and set once the scan has reported its start.
  std::vector<std::string> expected = {"IndexNeededFor CITY", "Progress 0 1 5 1", "IndexNeededFor CITY activate",
                                       "SetRange 0 CITY [10,10]"};
  expected = Concat(expected, ScanOfFive());
  expected.push_back("CancelRange");
  expected.push_back("Progress 2 0 0 0");
  EXPECT_EQ(rec.log, expected);

  // The range's own operators.
  rec.log.clear();
  RunSql(t.q, "select id from a where city < 15");
  ASSERT_GE(rec.log.size(), 4u);
  EXPECT_EQ(rec.log[3], "SetRange 3 CITY [,15]");

  // An UPDATE walks the range the same way.
  rec.log.clear();
  run = RunSql(t.q, "update a set name = 'x' where city = 10");
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(rec.log, expected);
  // Refused when asked: neither activated nor set, nor cancelled.
  rec.log.clear();
  rec.acceptIndex = false;
  RunSql(t.q, "update a set name = 'x' where city = 10");
  expected = Concat({"IndexNeededFor CITY", "Progress 0 1 5 1"}, ScanOfFive());
  expected.push_back("Progress 2 0 0 0");
  EXPECT_EQ(rec.log, expected);
  rec.acceptIndex = true;
  // A DELETE is never offered a range.
  rec.log.clear();
  RunSql(t.q, "delete from a where city = 30");
  ASSERT_FALSE(rec.log.empty());
  EXPECT_EQ(rec.log.front(), "Progress 0 1 5 1");
  for (const std::string& e : rec.log) EXPECT_EQ(e.find("Range"), std::string::npos) << e;

  // Two conjuncts, a disjunction, a comparison of two fields: no offer.
  for (const char* sql : {"select id from a where city >= 10 and city <= 20",
                          "select id from a where city = 10 or id = 2", "select id from a where city = id"}) {
    rec.log.clear();
    run = RunSql(t.q, sql);
    EXPECT_EQ(run.error, "") << sql;
    EXPECT_EQ(rec.log.front(), "Progress 0 1 5 1") << sql;
  }
}

TEST(SiftScanHooks, ARunThatRaisesReleasesWhatItArmedAndRestoresTheCursor) {
  TTables t;
  TRecorder rec;
  rec.handleFilter = true;
  rec.Attach(t.q);
  t.a.Open();
  t.a.Next();
  ASSERT_EQ(t.a.FieldByName("ID")->AsInteger(), 2);
  // Row 3 divides by zero in the select list.
  const TRun run = RunSql(t.q, "select 10 / (id - 3) from a where city = 10");
  EXPECT_NE(run.error, "");
  ASSERT_GE(rec.log.size(), 3u);
  EXPECT_EQ(rec.log[rec.log.size() - 2], "CancelFilter");
  EXPECT_EQ(rec.log.back(), "Progress 2 0 0 0");
  EXPECT_EQ(t.a.FieldByName("ID")->AsInteger(), 2);
  // The next statement runs on an unfiltered, undisabled source.
  rec.handleFilter = false;
  EXPECT_EQ(RunSql(t.q, "select id from a where city = 20").rows, (std::vector<std::string>{"2"}));
}

TEST(SiftScanHooks, CancelKeepsTheRowsGatheredInTheStatementsShape) {
  TTables t;
  int seen = 0;
  t.q.OnCancelQuery = [&](TCustomSift*, bool& cancel) { cancel = ++seen == 3; };
  const TRun run = RunSql(t.q, "select top 1 distinct city from a");
  EXPECT_EQ(run.rows, (std::vector<std::string>{"10"}));
}

// Records what the adapter's date handling receives.
class TDateSift : public TSift {
public:
  std::vector<std::string> seen;
  void FixDummiesForFilter(std::string& text) override {
    seen.push_back(text);
    TSift::FixDummiesForFilter(text);
  }
};

TEST(SiftScanHooks, TheFilterIsBuiltFromTheWrappedWhere) {
  TCountedRows d{{{"ID", ftInteger}, {"D", ftDate}}, {{1, 37623.0}, {2, 37624.0}}};
  TDateSift q;
  q.AddDataSet(&d, "d");
  std::string offered;
  q.OnSetFilter = [&](TCustomSift*, TDataSet*, const std::string& f, bool, bool&) { offered = f; };
  FormatSettingsGuard guard{'.', ','};
  TSqlAnalizer a(nullptr, &q);
  ASSERT_EQ(a.Parse("select id from d where d.d = #02.01.2003#", "dd.MM.yyyy"), 0);
  std::unique_ptr<TResultSet> rs = SiftCreateResultSet(a, q);
  // The adapter's date handling saw the wrapped date; the offer is plain.
  ASSERT_FALSE(q.seen.empty());
  EXPECT_EQ(q.seen.back(), "d = DummyDate(37623)");
  EXPECT_EQ(offered, "d = 37623");
  ASSERT_EQ(rs->GetRecordCount(), 1);
  rs->SetRecno(1);
  EXPECT_EQ(rs->Fields.GetItem(0)->GetAsInteger(), 1);
}

TEST(SiftScanHooks, AHandledFilterOnlyNarrowsADelete) {
  // The adapter's filter language has rules of its own ("A*" a wildcard):
  // the DELETE keeps testing its WHERE on the rows the filter leaves.
  TMemDataSet m;
  m.AddRow(1, "A*");
  m.AddRow(2, "Anna");
  m.AddRow(3, "Boris");
  TSift q;
  q.AddDataSet(&m, "m");
  int cancels = 0;
  q.OnSetFilter = [](TCustomSift*, TDataSet*, const std::string&, bool, bool& handled) { handled = true; };
  q.OnCancelFilter = [&](TCustomSift*, TDataSet*, bool) { ++cancels; };
  FormatSettingsGuard guard{'.', ','};
  TSqlAnalizer a(nullptr, &q);
  ASSERT_EQ(a.Parse("delete from m where name = 'A*'"), 0);
  SiftCreateResultSet(a, q);
  EXPECT_EQ(m.VisibleIds(), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(q.RowsAffected, 1);
  EXPECT_EQ(cancels, 1);
}

TEST(SiftScan, StatementChecks) {
  TTables t;
  EXPECT_EQ(RunSql(t.q, "select id from a, b").error, "More than one table but no JOINing defined");
  EXPECT_EQ(RunSql(t.q, "select nosuch from a").error, "Field nosuch was not found");
  EXPECT_EQ(RunSql(t.q, "select id from z").error, "DataSet z doesn't exists");
  EXPECT_NE(RunSql(t.q, "select x.id from a x join a y on x.id = y.id").error.find("self-join"), std::string::npos);
  EXPECT_EQ(RunSql(t.q, "select count(*) from a group by city").error,
            "Fields in GROUP BY must also exists in SELECT columns");
}

TEST(SiftScan, AliasesInTheSelectListResolveToFieldsFirst) {
  TTables t;
  // An AS name equal to a field name neither loops nor swaps.
  EXPECT_EQ(RunSql(t.q, "select upper(name) as name from a where id = 2").rows, (std::vector<std::string>{"PETROV"}));
  EXPECT_EQ(RunSql(t.q, "select name as city, city as name from a where id = 2").rows,
            (std::vector<std::string>{"Petrov|20"}));
  EXPECT_EQ(RunSql(t.q, "select name as city, city from a where id = 2").rows, (std::vector<std::string>{"Petrov|20"}));
  // Elsewhere an AS name stands for its column.
  EXPECT_EQ(RunSql(t.q, "select id * 2 as twice from a where twice > 8").rows, (std::vector<std::string>{"10"}));
}

TEST(SiftScan, TableNamesInsideLiteralsAreText) {
  TTables t;
  EXPECT_EQ(RunSql(t.q, "select id from a where name = 'a.city' or a.id = 5").rows, (std::vector<std::string>{"5"}));
  EXPECT_EQ(ReplaceOutsideLiterals("x = '(subquery 0)' or y = (subquery 0)", "(subquery 0)", ":P"),
            "x = '(subquery 0)' or y = :P");
  EXPECT_EQ(RemoveTablePrefix("A.x = 'a.b' and [a].y = ba.z", "a"), "x = 'a.b' and y = ba.z");
  EXPECT_EQ(SiftMulDiv(1, 100, 0), -1);
}

// Table prefixes taken out by looking at each word boundary's upper-cased
// head: the model of the in-place removal.
std::string RemovePrefixByHeads(const std::string& text, const std::string& name) {
  if (name.empty()) return text;
  std::string bare = name;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  const std::string plain = UpperCase(bare) + ".";
  const std::string bracketed = "[" + UpperCase(bare) + "].";
  auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80); };
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\'' || text[i] == '"') {
      size_t j = i + 1;
      while (j < text.size() && !(text[j] == text[i] && (j + 1 >= text.size() || text[j + 1] != text[i]))) {
        j += text[j] == text[i] ? 2 : 1;
      }
      j = std::min(j + 1, text.size());
      out += text.substr(i, j - i);
      i = j;
      continue;
    }
    if (i == 0 || !ident(text[i - 1])) {
      const std::string head = UpperCase(text.substr(i, bracketed.size()));
      if (head.compare(0, bracketed.size(), bracketed) == 0) {
        i += bracketed.size();
        continue;
      }
      if (head.compare(0, plain.size(), plain) == 0) {
        i += plain.size();
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

TEST(SiftScan, TablePrefixRemovalAgreesWithUpperCasedHeads) {
  std::mt19937 rng(20261208);
  static const char* const kPieces[] = {"a.", "A.", "[a].", "[A]", "ab.",    "ba.", "a", ".", " ", "'",
                                        "''", "\"", "x",    "_a.", "\340a.", "(",   "[", "]", "=", "1a."};
  static const char* const kNames[] = {"a", "A", "[a]", "ab", "[]", "", "x_1"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 14);
    for (int i = 0; i < n; ++i) text += kPieces[rng() % std::size(kPieces)];
    const std::string name = kNames[rng() % std::size(kNames)];
    ASSERT_EQ(RemoveTablePrefix(text, name), RemovePrefixByHeads(text, name)) << text << " / " << name;
  }
}

// ---------------------------------------------------- data-driven cases

using TCase = TSelectCase;
const auto LoadCases = LoadSelectCases;

TEST(SiftScanCases, EngineGivesTheExpectedRows) {
  const std::vector<TCase> cases = LoadCases();
  ASSERT_GT(cases.size(), 30u);
  for (const TCase& c : cases) {
    TTables t;
    const TRun run = RunSql(t.q, Cp(c.sql));
    ExpectCaseResult(c, run.rows, run.error);
  }
}

#ifdef DIRLOOK_HAVE_SQLITE
TEST(SiftScanCases, SQLiteAgreesOnTheSameRows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  const char* setup =
      "PRAGMA case_sensitive_like = ON;"
      "create table a(id integer, name text, city integer);"
      "create table b(id integer, aid integer, x integer);"
      "create table c(id integer, bid integer, label text);"
      "insert into a values (1, 'Иванов', 10), (2, 'Petrov', 20), (3, 'Sidorov', null), (4, 'Ivanova', 10),"
      " (5, null, 30);"
      "insert into b values (1, 1, 5), (2, 1, 7), (3, 2, 5), (4, 9, null), (5, null, 1);"
      "insert into c values (1, 1, 'p'), (2, 3, 'q'), (3, 3, 'r'), (4, 8, 's');";
  ASSERT_EQ(sqlite3_exec(db, setup, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  int checked = 0;
  for (const TCase& c : LoadCases()) {
    if (!c.engineOnly.empty() || !c.error.empty()) continue;
    const std::string sql = c.sqlite.empty() ? c.sql : c.sqlite;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << CaseWhere(c) << ": " << sqlite3_errmsg(db);
    std::vector<std::string> rows;
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i > 0) row += "|";
        const unsigned char* v = sqlite3_column_text(st, i);
        row += v ? reinterpret_cast<const char*>(v) : "NULL";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    ExpectCaseResult(c, rows, "");
    ++checked;
  }
  sqlite3_close(db);
  EXPECT_GT(checked, 25);
}
#endif

}  // namespace
