// Grouping end to end through the query component, against SQLite over the
// same rows in the same run.
//
// The generated directory of 1,000,000 records (bench_support.h) is written
// as phones.dbf and, as UTF-8 text, into an SQLite file database without
// indexes.  Each statement is timed from the SQL text to the last row read:
// the query (a TCorvidDataSet over phones.dbf under the alias "Phones",
// opened once as the application opens it, shared) takes the text, opens,
// every row's fields are read as text, and the query closes; SQLite
// prepares, steps to the last row reading every column as text, and
// finalizes, with locking_mode=EXCLUSIVE (one lock for the connection's
// life, which only makes SQLite's side cheaper than the shared open's),
// and once more tuned for reading (the whole file mapped, the page cache
// the file's size or the default, whichever is faster for the statement:
// a large cache speeds the scan but slows GROUP BY's sorter): the
// strongest honest SQLite.
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
//   BM_GroupMax/N     select max(ul) from phones over N records: the
//                     directory's size and four times it (files of their
//                     own, made when the size is first timed)
//
// SQLite runs between the query's runs (same load on the machine); the
// ratio of the best times is reported as `ratio`, against the tuned
// SQLite as `ratio_tuned` (BM_GroupMax also gives the ratios of the
// median times, `ratio_median` and `ratio_tuned_median`).  Every side must
// give the same rows (rows of equal counts may come in either order): a
// mismatch fails the run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <memory>
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
  const char* sift;                                               // over phones
  const char* sqlite;                                             // over t
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
  bench::TunedSqlite tuned(TheData().Db(), bench::SqliteOpen{.exclusive = true});
  std::vector<std::string> rows, expected, expectedTuned[2];
  double best = 1e30, bestSqlite = 1e30, bestTuned = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { rows = sift.Run(s.sift); }));
    state.PauseTiming();
    bestSqlite = std::min(bestSqlite, Seconds([&] { expected = db.Rows(s.sqlite); }));
    bestTuned = std::min(
        bestTuned, tuned.Time([&](bench::SqliteDb& t) { expectedTuned[&t == &tuned.Mapped()] = t.Rows(s.sqlite); }));
    state.ResumeTiming();
  }
  // Ties of ORDER BY may come in any order: compare the rows as sets, and
  // the query's order by its own keys.
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  const std::vector<std::string> a = sorted(rows);
  if (a != sorted(expected) || a != sorted(expectedTuned[0]) || a != sorted(expectedTuned[1]) ||
      (s.check && !s.check(rows))) {
    g_mismatch = true;
    state.SkipWithError(("rows disagree: query " + std::to_string(rows.size()) + ", SQLite " +
                         std::to_string(expected.size()) + ", SQLite tuned " + std::to_string(expectedTuned[0].size()) +
                         " and " + std::to_string(expectedTuned[1].size()))
                            .c_str());
    return;
  }
  state.counters["groups"] = static_cast<double>(rows.size());
  state.counters["ms"] = best * 1e3;
  state.counters["sqlite_ms"] = bestSqlite * 1e3;
  state.counters["sqlite_tuned_ms"] = bestTuned * 1e3;
  state.counters["ratio"] = best / bestSqlite;
  state.counters["ratio_tuned"] = best / bestTuned;
  state.SetLabel(s.sift);
}
BENCHMARK(BM_GroupQuery)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3);

// The files of one size at a time: the larger directory is made only once
// the smaller one is done with.
bench::DirectoryFiles& FilesOf(int32_t records) {
  static std::unique_ptr<bench::DirectoryFiles> files;
  static int32_t size = 0;
  if (!files || size != records) {
    files.reset();
    files = std::make_unique<bench::DirectoryFiles>(records);
    size = records;
  }
  return *files;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void BM_GroupMax(benchmark::State& state) {
  const int32_t records = static_cast<int32_t>(state.range(0));
  bench::DirectoryFiles& files = FilesOf(records);
  TCorvidDataSet phones;
  phones.SetTableName(files.Dbf());
  phones.SetTranslateASCII(false);
  phones.SetDBFCache(true);
  phones.Open();
  bench::SiftRows sift(&phones);
  bench::SqliteDb db(files.Db());
  bench::TunedSqlite tuned(files.Db(), bench::SqliteOpen{.exclusive = true});
  std::vector<std::string> rows, expected, expectedTuned[2];
  std::vector<double> times, sqliteTimes, tunedTimes;
  for (auto _ : state) {
    times.push_back(Seconds([&] { rows = sift.Run("select max(ul) from phones"); }));
    state.PauseTiming();
    sqliteTimes.push_back(Seconds([&] { expected = db.Rows("select max(ul) from t"); }));
    tunedTimes.push_back(tuned.Time(
        [&](bench::SqliteDb& t) { expectedTuned[&t == &tuned.Mapped()] = t.Rows("select max(ul) from t"); }));
    state.ResumeTiming();
    // The largest street itself, not only one row.
    if (rows != expected || rows != expectedTuned[0] || rows != expectedTuned[1] || rows.size() != 1 ||
        rows[0].empty()) {
      g_mismatch = true;
      state.SkipWithError(("max(ul) disagrees: query '" + (rows.empty() ? std::string() : rows[0]) + "', SQLite '" +
                           (expected.empty() ? std::string() : expected[0]) + "'")
                              .c_str());
      return;
    }
  }
  const double best = *std::min_element(times.begin(), times.end());
  const double bestSqlite = *std::min_element(sqliteTimes.begin(), sqliteTimes.end());
  const double bestTuned = *std::min_element(tunedTimes.begin(), tunedTimes.end());
  state.counters["records"] = records;
  state.counters["ms"] = best * 1e3;
  state.counters["sqlite_ms"] = bestSqlite * 1e3;
  state.counters["sqlite_tuned_ms"] = bestTuned * 1e3;
  state.counters["ratio"] = best / bestSqlite;
  state.counters["ratio_median"] = Median(times) / Median(sqliteTimes);
  state.counters["ratio_tuned"] = best / bestTuned;
  state.counters["ratio_tuned_median"] = Median(times) / Median(tunedTimes);
  state.SetLabel("select max(ul) from phones, " + std::to_string(records) + " records");
}
BENCHMARK(BM_GroupMax)
    ->Arg(bench::DirectoryRecords())
    ->Arg(4 * static_cast<int64_t>(bench::DirectoryRecords()))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunCheckedBenchmarks(argc, argv, g_mismatch, "the query and SQLite returned different rows");
}
