// A cross-tab of the generated directory (1,000,000 records, 400 streets,
// 120 house values): how many entries each street has per house, through
// the query component over phones.dbf against SQLite's grouping of the same
// rows by street and house, in the same run.
//
//   BM_CrossTab/0   every house value a column (values from the data):
//                   TRANSFORM count(*) SELECT ul FROM phones GROUP BY ul
//                   PIVOT nd  against  SELECT ul, nd, count(*) FROM t
//                   GROUP BY ul, nd
//   BM_CrossTab/1   five houses given by IN (PIVOT nd IN (...)) against
//                   the same GROUP BY, of whose groups the five houses'
//                   are the cells
//
// The grouped query computes the very counts the cross-tab lays out (one
// group per non-empty cell); SQLite's own cross-tab form, a sum(CASE ...)
// per house value, evaluates 120 expressions per row and is no fair
// baseline.  Each side is timed from the statement to the last value read
// (the query reads every cell of every row through its dataset fields;
// SQLite steps every group and reads its three columns).  Before the timing
// both sides are run once and must agree cell by cell: every non-null cell
// of the cross-tab is the count of its (street, house) group and every
// group of a house among the columns is a cell.  The timed runs must agree
// on the number of rows (streets), non-null cells and the sum of the
// cells.  The counters give SQLite's best time and the ratio of the best
// times.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <unordered_set>
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

// SQLite's grouped counts read as the cross-tab's cells: rows are the
// streets, cells the groups whose house is one of `houses` (code page 1251
// as the query gives them), every column of every group read.  With
// `cells` each such group is also kept (in UTF-8, as SQLite holds it).
bench::CrossTabTotals RunSqlite(bench::SqliteDb& db, const std::string& sql,
                                const std::unordered_set<std::string>& houses, bench::CrossTabCells* cells = nullptr) {
  sqlite3_stmt* st = db.Prepare(sql);
  bench::CrossTabTotals t;
  t.columns = static_cast<int64_t>(houses.size()) + 1;
  std::string street;
  bool first = true;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char* ul = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    const char* nd = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    const double n = sqlite3_column_double(st, 2);
    const std::string u = ul ? ul : "";
    if (first || u != street) {
      ++t.rows;
      street = u;
      first = false;
    }
    if (!nd || !houses.count(nd)) continue;
    ++t.cells;
    t.sum += n;
    if (cells) (*cells)[{u, nd}] = n;
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
  std::unordered_set<std::string> houseSet;
  for (const std::string& h : houses) houseSet.insert(Cp1251ToUtf8(h));
  const std::string lite = "select ul, nd, count(*) from t group by ul, nd";

  bench::CrossTabTotals ours, theirs;
  {
    bench::CrossTabCells ourCells, theirCells;
    ours = sift.Run(sql, 1, &ourCells);
    bench::CrossTabCells ourUtf8;
    for (const auto& [at, n] : ourCells) ourUtf8[{Cp1251ToUtf8(at.first), Cp1251ToUtf8(at.second)}] = n;
    ourCells.swap(ourUtf8);
    theirs = RunSqlite(sqlite, lite, houseSet, &theirCells);
    if (ourCells != theirCells) {
      g_mismatch = true;
      state.SkipWithError("cross-tab cells differ from SQLite's grouped counts");
      return;
    }
  }
  double best = 1e30, bestSqlite = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { ours = sift.Run(sql, 1); }));
    state.PauseTiming();
    bestSqlite = std::min(bestSqlite, Seconds([&] { theirs = RunSqlite(sqlite, lite, houseSet); }));
    state.ResumeTiming();
  }
  if (!(ours == theirs)) {
    g_mismatch = true;
    char msg[200];
    std::snprintf(
        msg, sizeof msg,
        "cross-tabs disagree: query %lld x %lld, %lld cells, sum %.0f; SQLite %lld x %lld, %lld cells, sum %.0f",
        static_cast<long long>(ours.rows), static_cast<long long>(ours.columns), static_cast<long long>(ours.cells),
        ours.sum, static_cast<long long>(theirs.rows), static_cast<long long>(theirs.columns),
        static_cast<long long>(theirs.cells), theirs.sum);
    state.SkipWithError(msg);
    return;
  }
  state.counters["rows"] = static_cast<double>(ours.rows);
  state.counters["columns"] = static_cast<double>(ours.columns);
  state.counters["cells"] = static_cast<double>(ours.cells);
  state.counters["sqlite_ms"] = bestSqlite * 1e3;
  state.counters["ratio"] = best / bestSqlite;
  state.SetLabel(inList ? "pivot nd in (5 values)" : "pivot nd (all values)");
}
BENCHMARK(BM_CrossTab)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunCheckedBenchmarks(argc, argv, g_mismatch, "the query and SQLite built different cross-tabs");
}
