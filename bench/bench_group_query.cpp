// Grouping end to end through the query component, against SQLite over the
// same rows in the same run.
//
// The generated directory of 1,000,000 records (bench_support.h) is written
// as phones.dbf and, as UTF-8 text, into an SQLite file database without
// indexes.  Each statement is timed from the SQL text to the last row read:
// the query (a TCorvidDataSet over phones.dbf under the alias "Phones",
// opened once as the application opens it) takes the text, opens, every
// row's fields are read as text, and the query closes; SQLite prepares,
// steps to the last row reading every column as text, and finalizes
// (locking_mode=EXCLUSIVE, an unshared open like the dataset's).
//
//   BM_GroupQuery/0   select ul, count(*) from phones group by ul order by 2 desc
//   BM_GroupQuery/1   select count(*) from phones         (the count: SQLite
//                     counts its b-tree's cells, the query has the dataset
//                     count its visible records, reading only the deletion
//                     bytes, when nothing listens to a walk)
//   BM_GroupQuery/2   select max(ul) from phones          (the scan reading one
//                     text field per row)
//   BM_GroupQuery/3   select nd, count(*), min(fm), max(tel) ... group by nd
//
// SQLite runs between the query's runs (same load on the machine); the
// ratio of the best times is reported as `ratio`.  Both sides must give the
// same rows (rows of equal counts may come in either order): a mismatch
// fails the run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dbf_dataset/corvid_dataset.h"
#include "group_query_sift.h"
#include "platform/code_page.h"

namespace {

struct Statement {
  const char* sift;    // over phones
  const char* sqlite;  // over t
  bool (*check)(const std::vector<std::string>& rows) = nullptr;  // the order asked for
};

// The second field (a count) does not grow from row to row.
bool CountsDescend(const std::vector<std::string>& rows) {
  long last = -1;
  for (const std::string& r : rows) {
    const long n = std::stol(r.substr(r.rfind('|') + 1));
    if (last >= 0 && n > last) return false;
    last = n;
  }
  return true;
}

const Statement kStatements[] = {
    {"select ul, count(*) from phones group by ul order by 2 desc",
     "select ul, count(*) from t group by ul order by 2 desc", CountsDescend},
    {"select count(*) from phones", "select count(*) from t"},
    {"select max(ul) from phones", "select max(ul) from t"},
    {"select nd, count(*), min(fm), max(tel) from phones group by nd",
     "select nd, count(*), min(fm), max(tel) from t group by nd"},
};

bool g_mismatch = false;

bench::DirectoryFiles& TheData() {
  static bench::DirectoryFiles d;
  return d;
}

using bench::Seconds;

void BM_GroupQuery(benchmark::State& state) {
  const Statement& s = kStatements[state.range(0)];
  TCorvidDataSet phones;
  phones.SetTableName(TheData().Dbf());
  phones.SetTranslateASCII(false);
  phones.SetDBFCache(true);
  phones.Open();
  bench::SiftRows sift(&phones);
  bench::SqliteDb db(TheData().Db());
  std::vector<std::string> rows, expected;
  double best = 1e30, bestSqlite = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { rows = sift.Run(s.sift); }));
    state.PauseTiming();
    bestSqlite = std::min(bestSqlite, Seconds([&] { expected = db.Rows(s.sqlite); }));
    state.ResumeTiming();
  }
  // Ties of ORDER BY may come in any order: compare the rows as sets, and
  // the query's order by its own keys.
  std::vector<std::string> a = rows, b = expected;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a != b || (s.check && !s.check(rows))) {
    g_mismatch = true;
    state.SkipWithError(("rows disagree: query " + std::to_string(rows.size()) + ", SQLite " +
                         std::to_string(expected.size()))
                            .c_str());
    return;
  }
  state.counters["groups"] = static_cast<double>(rows.size());
  state.counters["sqlite_ms"] = bestSqlite * 1e3;
  state.counters["ratio"] = best / bestSqlite;
  state.SetLabel(s.sift);
}
BENCHMARK(BM_GroupQuery)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_mismatch) {
    std::fprintf(stderr, "bench_group_query: the query and SQLite returned different rows\n");
    return 1;
  }
  return 0;
}
