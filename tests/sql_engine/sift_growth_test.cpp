// Statements whose work can grow much faster than their input: IN and NOT
// IN against a subquery (a hash lookup held against the row-by-row
// comparison on random rows), TOP n that stops the scan and its joins, and
// memory running out while rows are built.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "common/sql_run.h"
#include "common/expr_test_support.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_scan.h"
#include "common/sanitizer.h"

namespace {

constexpr int kRounds = kSanitized ? 4 : 25;

const Variant N = Variant::Null();

// Rows that count the records the framework fetches (a visit of a record
// by a loop or by a bookmark) and can run out of memory at the n-th field
// read.
class TCountingRows : public TRowDataSet {
public:
  using TRowDataSet::TRowDataSet;
  int64_t Fetches = 0;
  int64_t Reads = 0;
  int64_t FailAtRead = 0;
  int GetRecordCount() override { return static_cast<int>(rows.size()); }

protected:
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool check) override {
    ++Fetches;
    return TRowDataSet::GetRecord(b, mode, check);
  }
  bool GetFieldData(TField* field, void* buffer) override {
    if (FailAtRead > 0 && ++Reads == FailAtRead) throw std::bad_alloc();
    return TRowDataSet::GetFieldData(field, buffer);
  }
};

// ID, I integer, F float, S text, B boolean; few distinct values so that
// lookups hit, and nulls among them.
std::vector<std::vector<Variant>> RandomRows(std::mt19937& rng, int count) {
  const std::vector<std::string> texts = {"", "1", "2", "a", "A", "a ", " 1", "0", "\xC0\xE1"};
  const std::vector<double> floats = {-0.0, 0.0, 0.5, 1.0, 2.0, -1.0, 3.25};
  std::vector<std::vector<Variant>> rows;
  auto null = [&] { return rng() % 7 == 0; };
  for (int r = 0; r < count; ++r) {
    std::vector<Variant> row;
    row.push_back(Variant(r + 1));
    row.push_back(null() ? N : Variant(static_cast<int32_t>(rng() % 7) - 3));
    row.push_back(null() ? N : Variant(floats[rng() % floats.size()]));
    row.push_back(null() ? N : Variant(texts[rng() % texts.size()]));
    row.push_back(null() ? N : Variant(rng() % 2 == 0));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<TTestColumn> Columns() {
  return {{"ID", ftInteger}, {"I", ftInteger}, {"F", ftFloat}, {"S", ftString, 4}, {"B", ftBoolean}};
}

// Restores the lookup switch on every path.
struct TLookupGuard {
  ~TLookupGuard() { SetSiftSubqueryLookup(true); }
};

TSqlRun RunWith(TCustomSift& q, const std::string& sql, bool lookup) {
  TLookupGuard guard;
  SetSiftSubqueryLookup(lookup);
  return RunStatement(q, sql);
}

TEST(SiftGrowth, InSubqueryLookupAnswersAsTheRowByRowComparison) {
  std::mt19937 rng(20261207);
  const std::vector<std::string> cols = {"I", "F", "S", "B"};
  const std::vector<std::string> narrow = {"", " where b.id <= 3", " where b.id < 0", " where b.i is not null",
                                           " where b.s <> ''"};
  int compared = 0, nonEmpty = 0;
  for (int round = 0; round < kRounds; ++round) {
    TCountingRows a(Columns(), RandomRows(rng, 40 + static_cast<int>(rng() % 40)));
    TCountingRows b(Columns(), RandomRows(rng, 1 + static_cast<int>(rng() % 30)));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    for (int k = 0; k < 12; ++k) {
      const std::string x = cols[rng() % cols.size()], y = cols[rng() % cols.size()];
      const char* form[] = {"%s in (select b.%s from b%s)", "%s not in (select b.%s from b%s)",
                            "not (%s in (select b.%s from b%s))", "(%s = any (select b.%s from b%s)) or a.id = 1",
                            "%s <> all (select b.%s from b%s) and a.id > 2"};
      const std::string f = form[rng() % 5];
      std::string cond = f;
      const std::string pieces[] = {"a." + x, y, narrow[rng() % narrow.size()]};
      for (const std::string& p : pieces) cond.replace(cond.find("%s"), 2, p);
      const std::string sql = "select a.id from a where " + cond;
      const TSqlRun fast = RunWith(q, sql, true);
      const TSqlRun slow = RunWith(q, sql, false);
      ASSERT_EQ(fast.error, slow.error) << sql;
      ASSERT_EQ(fast.rows, slow.rows) << sql;
      ++compared;
      if (!fast.rows.empty()) ++nonEmpty;
    }
  }
  EXPECT_GT(nonEmpty, compared / 3);
}

TEST(SiftGrowth, InSubqueryNullsFollowTheComparison) {
  TCountingRows a(Columns(), {{1, 1, N, "a", N}, {2, N, N, "", N}, {3, 2, N, "b", N}});
  TCountingRows b(Columns(), {{1, 1, N, "a", N}, {2, N, N, N, N}});
  TCountingRows none(Columns(), {});
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  q.AddDataSet(&none, "e");
  auto ids = [&](const std::string& where) {
    const TSqlRun r = RunStatement(q, "select a.id from a where " + where);
    EXPECT_EQ(r.error, "") << where;
    std::string out;
    for (const std::string& row : r.rows) out += row + ";";
    return out;
  };
  EXPECT_EQ(ids("a.i in (select b.i from b)"), "1;");
  // A null among the values: NOT IN holds for no row.
  EXPECT_EQ(ids("a.i not in (select b.i from b)"), "");
  EXPECT_EQ(ids("a.i not in (select b.i from b where b.i is not null)"), "3;");
  // Against no values: IN holds for no row, NOT IN for every row, null or not.
  EXPECT_EQ(ids("a.i in (select e.i from e)"), "");
  EXPECT_EQ(ids("a.i not in (select e.i from e)"), "1;2;3;");
  // The empty text of a subquery is no value: it is found by nothing (the
  // empty text of a field is a value).
  EXPECT_EQ(ids("a.s in (select b.s from b)"), "1;");
  EXPECT_EQ(ids("a.s not in (select b.s from b where b.s is not null)"), "2;3;");
  EXPECT_EQ(ids("a.s in (select b.s from b where b.id = 9)"), "");
}

// ---------------------------------------------------------------- TOP

std::vector<std::vector<Variant>> KeyedRows(std::mt19937& rng, int count, int keys) {
  std::vector<std::vector<Variant>> rows;
  for (int r = 0; r < count; ++r)
    rows.push_back({Variant(r + 1), rng() % 9 == 0 ? N : Variant(static_cast<int32_t>(rng() % keys)),
                    Variant(static_cast<int32_t>(rng() % 100))});
  return rows;
}

std::vector<TTestColumn> KeyedColumns() { return {{"ID", ftInteger}, {"G", ftInteger}, {"V", ftInteger}}; }

TEST(SiftGrowth, TopKeepsTheFirstRowsOfTheFullResult) {
  std::mt19937 rng(7);
  const char* statements[] = {
      "select %s a.id, a.v from a where a.v < 50",
      "select %s a.id, b.id from a inner join b on a.g = b.g",
      "select %s a.id, b.id from a inner join b on a.g = b.g where b.v > 30",
      "select %s a.id, b.id from a inner join b on a.v < b.v",
      "select %s a.id, b.id from a left outer join b on a.g = b.g",
      "select %s a.id, b.id from a right outer join b on a.g = b.g",
      "select %s a.id, b.id, c.id from a inner join b on a.g = b.g inner join c on b.v = c.v",
      "select %s a.id, b.id from a, b where a.g = b.g and a.v > b.v",
      // What reorders, merges or groups the rows sees them all first.
      "select %s a.id, a.v from a order by a.v desc, a.id desc",
      "select %s distinct a.g from a",
      "select %s a.g, count(*) from a group by a.g",
  };
  for (int round = 0; round < kRounds; ++round) {
    TCountingRows a(KeyedColumns(), KeyedRows(rng, 5 + static_cast<int>(rng() % 30), 6));
    TCountingRows b(KeyedColumns(), KeyedRows(rng, 5 + static_cast<int>(rng() % 30), 6));
    TCountingRows c(KeyedColumns(), KeyedRows(rng, 5 + static_cast<int>(rng() % 30), 6));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    q.AddDataSet(&c, "c");
    for (const char* s : statements) {
      std::string all = s, top = s;
      all.replace(all.find("%s"), 2, "");
      const int n = 1 + static_cast<int>(rng() % 40);
      top.replace(top.find("%s"), 2, "top " + std::to_string(n));
      const TSqlRun full = RunStatement(q, all);
      const TSqlRun cut = RunStatement(q, top);
      ASSERT_EQ(full.error, "") << all;
      ASSERT_EQ(cut.error, "") << top;
      std::vector<std::string> expected = full.rows;
      if (expected.size() > static_cast<size_t>(n)) expected.resize(static_cast<size_t>(n));
      ASSERT_EQ(cut.rows, expected) << top;
    }
  }
}

TEST(SiftGrowth, TopStopsTheJoinOnceItHasItsRows) {
  // Every record of a meets every record of b: 360,000 joined rows, of
  // which ten are wanted.
  std::vector<std::vector<Variant>> rows;
  for (int r = 0; r < 600; ++r) rows.push_back({Variant(r + 1), Variant(1), Variant(r % 10)});
  for (const char* on : {"a.g = b.g", "a.g <= b.g"}) {
    TCountingRows a(KeyedColumns(), rows), b(KeyedColumns(), rows);
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    const TSqlRun r = RunStatement(q, std::string("select top 10 a.id, b.id from a inner join b on ") + on);
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.rows.size(), 10u);
    for (const std::string& row : r.rows) EXPECT_EQ(row.substr(0, 2), "1|") << on;
    // b read once for its keys, and then only the ten visited.
    EXPECT_LT(b.Fetches, 2 * 600 + 100) << on;
    EXPECT_LT(a.Fetches, 100) << on;
  }
}

// ------------------------------------------------------ joins in WHERE

struct TWhereJoinGuard {
  ~TWhereJoinGuard() { SetSiftWhereJoins(true); }
};

TSqlRun RunJoined(TCustomSift& q, const std::string& sql, bool keyed) {
  TWhereJoinGuard guard;
  SetSiftWhereJoins(keyed);
  TSqlRun r = RunStatement(q, sql);
  return r;
}

TEST(SiftGrowth, JoinsWrittenInWhereAnswerAsTheNestedLoops) {
  std::mt19937 rng(20261208);
  // Equalities of two tables' fields (same and mixed types), other
  // comparisons across tables, one-table and constant conjuncts,
  // disjunctions and subqueries.
  const std::vector<std::string> pool = {"a.i = b.i",
                                         "b.i = a.i",
                                         "a.s = b.s",
                                         "a.f = b.i",
                                         "a.b = b.b",
                                         "b.i = c.i",
                                         "a.s = c.s",
                                         "c.f = a.f",
                                         "a.id = c.i",
                                         "a.i < b.i",
                                         "b.f >= c.f",
                                         "a.i > -2",
                                         "b.s <> ''",
                                         "c.b",
                                         "not (c.i = 1)",
                                         "1 = 1",
                                         "a.i + b.i = c.i",
                                         "(a.i = b.i or a.s = c.s)",
                                         "a.i in (select b.i from b where b.id < 9)",
                                         "b.s like 'a%'",
                                         "a.s is not null",
                                         "c.id between 2 and 20"};
  const std::vector<std::string> heads = {
      "select a.id, b.id, c.id from a, b, c where ", "select a.id, b.id from a, b where ",
      "select distinct b.s, c.i from c, b, a where ", "select b.i, count(*) from a, b where ",
      "select top 5 a.id, b.id from a, b where "};
  int compared = 0, nonEmpty = 0;
  for (int round = 0; round < kRounds; ++round) {
    TCountingRows a(Columns(), RandomRows(rng, 5 + static_cast<int>(rng() % 25)));
    TCountingRows b(Columns(), RandomRows(rng, 5 + static_cast<int>(rng() % 25)));
    TCountingRows c(Columns(), RandomRows(rng, 1 + static_cast<int>(rng() % 15)));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    q.AddDataSet(&c, "c");
    for (int k = 0; k < 12; ++k) {
      const size_t h = rng() % heads.size();
      const bool two = h == 1 || h == 3 || h == 4;
      std::string where;
      const int n = 1 + static_cast<int>(rng() % 4);
      for (int j = 0; j < n; ++j) {
        std::string c1 = pool[rng() % pool.size()];
        if (two && (c1.find("c.") != std::string::npos)) c1 = "a.i = b.i";
        where += (j == 0 ? "" : rng() % 6 == 0 ? " or " : " and ") + c1;
      }
      std::string sql = heads[h] + where;
      if (h == 3) sql += " group by b.i order by b.i";
      if (h == 4) sql += " order by a.id, b.id";
      const TSqlRun keyed = RunJoined(q, sql, true);
      const TSqlRun loops = RunJoined(q, sql, false);
      ASSERT_EQ(keyed.error, loops.error) << sql;
      std::vector<std::string> x = keyed.rows, y = loops.rows;
      if (h != 4) {
        std::sort(x.begin(), x.end());
        std::sort(y.begin(), y.end());
      }
      ASSERT_EQ(x, y) << sql;
      ++compared;
      if (!x.empty()) ++nonEmpty;
    }
  }
  EXPECT_GT(nonEmpty, compared / 3);
}

TEST(SiftGrowth, AnEqualityJoinInWhereVisitsOnlyTheMatchingRecords) {
  std::vector<std::vector<Variant>> rows;
  for (int r = 0; r < 600; ++r) rows.push_back({Variant(r + 1), Variant(r), Variant(r % 10)});
  TCountingRows a(KeyedColumns(), rows), b(KeyedColumns(), rows), c(KeyedColumns(), rows);
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  q.AddDataSet(&c, "c");
  const TSqlRun r = RunStatement(q, "select a.id, b.id, c.id from a, b, c where a.g = b.g and c.g = b.v and a.v < 5");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.rows.size(), 300u);
  // Each table is read once for its keys and then only where a key leads;
  // nested loops would visit 600 x 600 records of b.
  EXPECT_LT(b.Fetches, 3 * 600);
  EXPECT_LT(c.Fetches, 3 * 600);
}

// ---------------------------------------------------- out of memory

TEST(SiftGrowth, MemoryRunningOutIsTheQuerysErrorAndFreesTheRows) {
  std::vector<std::vector<Variant>> rows;
  for (int r = 0; r < 200; ++r) rows.push_back({Variant(r + 1), Variant(r % 3), Variant(r)});
  TCountingRows a(KeyedColumns(), rows), b(KeyedColumns(), rows);
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  bool filterSet = false, filterCancelled = false;
  q.WhereOptimizeMethod = omSetFilter;
  q.OnSetFilter = [&](TCustomSift*, TDataSet*, const std::string&, bool, bool& handled) { handled = filterSet = true; };
  q.OnCancelFilter = [&](TCustomSift*, TDataSet*, bool) { filterCancelled = true; };
  for (const int64_t at : {1, 57, 1500}) {
    b.FailAtRead = at;
    b.Reads = 0;
    filterSet = filterCancelled = false;
    q.SetSQL("select a.id, b.v from a inner join b on a.g = b.g where a.v >= 0");
    try {
      q.Open();
      FAIL() << "the run at read " << at << " did not fail";
    } catch (const ESiftError& e) {
      EXPECT_EQ(e.Message(), "The query result does not fit in memory");
    }
    EXPECT_FALSE(q.Active());
    EXPECT_EQ(filterCancelled, filterSet) << at;
  }
  // Nothing of the failed runs stays: the next statement sees every row.
  b.FailAtRead = 0;
  q.WhereOptimizeMethod = omNone;
  q.SetSQL("select a.id, b.v from a inner join b on a.g = b.g");
  q.Open();
  EXPECT_EQ(q.RecordCount(), 200 * 200 / 3 + 1);
  q.Close();
}

}  // namespace
