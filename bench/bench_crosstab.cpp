// A cross-tab of the generated directory (1,000,000 records, 400 streets,
// 120 house values): how many entries each street has per house, through
// the query component over phones.dbf against SQLite's conditional
// aggregation over the same rows, in the same run.
//
//   BM_CrossTab/0   every house value a column (values from the data):
//                   TRANSFORM count(*) SELECT ul FROM phones GROUP BY ul
//                   PIVOT nd  against  SELECT ul, sum(CASE WHEN nd = 'v'
//                   THEN 1 END) ... FROM t GROUP BY ul ORDER BY ul, one
//                   sum per value, in the cross-tab's column order
//   BM_CrossTab/1   five houses given by IN, the same five sums in SQLite
//
// Each side is timed from the statement to the last cell read (the query
// reads every cell of every row through its dataset fields; SQLite steps
// every row and reads every column).  Both sides must agree on the number
// of rows, columns, non-null cells and the sum of the cells.  The counters
// give SQLite's best time and the ratio of the best times.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "crosstab_sift.h"
#include "dbf_dataset/corvid_dataset.h"

namespace {

bool g_mismatch = false;

bench::DirectoryFiles& TheData() {
  static bench::DirectoryFiles d;
  return d;
}

using bench::Seconds;

// The distinct house values in the cross-tab's column order, in code page
// 1251.
std::vector<std::string> Houses(bench::SqliteDb& db) {
  std::vector<std::string> v;
  for (std::string& h : db.Rows("select distinct nd from t where nd <> '' order by upper(nd)"))
    v.push_back(std::move(h));
  return v;
}

// SQLite's cross-tab: rows, columns, non-null cells and the sum of the
// cells, every column of every row read.
bench::CrossTabTotals RunSqlite(bench::SqliteDb& db, const std::string& sql) {
  sqlite3_stmt* st = db.Prepare(sql);
  bench::CrossTabTotals t;
  t.columns = sqlite3_column_count(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ++t.rows;
    sqlite3_column_text(st, 0);
    for (int c = 1; c < t.columns; ++c) {
      if (sqlite3_column_type(st, c) == SQLITE_NULL) continue;
      ++t.cells;
      t.sum += sqlite3_column_double(st, c);
    }
  }
  db.Finish(st, rc);
  return t;
}

std::string Quoted(const std::string& v) { return "'" + v + "'"; }

void BM_CrossTab(benchmark::State& state) {
  const bool inList = state.range(0) == 1;
  TCorvidDataSet phones;
  phones.SetTableName(TheData().Dbf());
  phones.SetTranslateASCII(false);  // the directory is in the Windows code page
  phones.SetDBFCache(true);
  phones.Open();
  bench::SiftCrossTab sift(&phones);
  bench::SqliteDb sqlite(TheData().Db());

  std::vector<std::string> houses = Houses(sqlite);
  std::string sql = "transform count(*) select ul from phones group by ul pivot nd";
  if (inList) {
    houses = {"1", "2", "3", "4", "5"};
    sql += " in (";
    for (size_t i = 0; i < houses.size(); ++i) sql += (i ? ", " : "") + Quoted(houses[i]);
    sql += ")";
  }
  std::string lite = "select ul";
  for (const std::string& h : houses) lite += ", sum(case when nd = " + Quoted(Cp1251ToUtf8(h)) + " then 1 end)";
  lite += " from t group by ul order by ul";

  bench::CrossTabTotals ours, theirs;
  double best = 1e30, bestSqlite = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { ours = sift.Run(sql, 1); }));
    state.PauseTiming();
    bestSqlite = std::min(bestSqlite, Seconds([&] { theirs = RunSqlite(sqlite, lite); }));
    state.ResumeTiming();
  }
  if (!(ours == theirs)) {
    g_mismatch = true;
    char msg[200];
    std::snprintf(msg, sizeof msg, "cross-tabs disagree: query %lld x %lld, %lld cells, sum %.0f; SQLite %lld x %lld, %lld cells, sum %.0f",
                  static_cast<long long>(ours.rows), static_cast<long long>(ours.columns),
                  static_cast<long long>(ours.cells), ours.sum, static_cast<long long>(theirs.rows),
                  static_cast<long long>(theirs.columns), static_cast<long long>(theirs.cells), theirs.sum);
    state.SkipWithError(msg);
    return;
  }
  state.counters["rows"] = static_cast<double>(ours.rows);
  state.counters["columns"] = static_cast<double>(ours.columns);
  state.counters["sqlite_ms"] = bestSqlite * 1e3;
  state.counters["ratio"] = best / bestSqlite;
  state.SetLabel(inList ? "pivot nd in (5 values)" : "pivot nd (all values)");
}
BENCHMARK(BM_CrossTab)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_mismatch) {
    std::fprintf(stderr, "bench_crosstab: the query and SQLite built different cross-tabs\n");
    return 1;
  }
  return 0;
}
