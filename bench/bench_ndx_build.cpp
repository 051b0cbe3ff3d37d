// NDX build on FM against SQLite's CREATE INDEX on the same rows.
//
// The generated directory (bench_support.h) is held as record images.
// BM_NdxBuild builds an NDX on FM in a new file: for every record the image
// is made current, the key expression FM is evaluated from it, the keys go
// through the key sorter and the tree is written bottom-up.
// BM_SqliteCreateIndex runs CREATE INDEX on fm of a table holding the same
// five columns in a file database (journal off, synchronous off).  The ratio
// of the two is what matters; it is printed as the counter "ndx_over_sqlite"
// of the second.
//
// Peak memory: after the timed builds each side builds once more in a
// forked child, and the rise of that child's resident high-water mark
// during the build is its peak (peak_memory.h): "ndx_peak_MB" for the NDX
// build (key sorter and tree writer), "sqlite_peak_MB" for CREATE INDEX on
// a new connection in the same configuration (its page cache and sorter).
// The rows held in memory before the build do not count on either side.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "peak_memory.h"
#include "dbf_engine/index/ndx_index.h"

namespace {

struct Data {
  bench::BenchDir dir;
  bench::Directory rows;
  double ndxMs = 0;  // last NDX build time, for the ratio
  double ndxPeakMB = -1;
};

Data& TheData() {
  static Data d;
  return d;
}

void BM_NdxBuild(benchmark::State& state) {
  Data& d = TheData();  // generated outside the timing
  bench::ImageIndexTable table(d.rows, d.dir.Path("phones.dbf"), false);
  const std::string path = d.dir.Path("fm.ndx");
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::filesystem::remove(path);
      CVobjNDXFile f(&table, path, true, false, true, true);
      f.AddTag("FM", "FM", "", true, false);
    }
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  d.ndxMs = total / static_cast<double>(state.iterations());
  d.ndxPeakMB = bench::PeakRiseMB(
      [&] {
        CVobjNDXFile f(&table, path, true, false, true, true);
        f.AddTag("FM", "FM", "", true, false);
      },
      [&] { std::filesystem::remove(path); });
  state.counters["peak_MB"] = d.ndxPeakMB;
  state.SetItemsProcessed(state.iterations() * d.rows.Records());
}
BENCHMARK(BM_NdxBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteCreateIndex(benchmark::State& state) {
  Data& d = TheData();
  double total = 0;
  {
    bench::SqliteDb db(d.rows.SqliteTable(d.dir.Path("phones.db"), false));
    for (auto _ : state) {
      db.Exec("DROP INDEX IF EXISTS i;");
      const auto t0 = std::chrono::steady_clock::now();
      db.Exec("CREATE INDEX i ON t(fm);");
      total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
  }
  const double sqlitePeakMB =
      bench::SqlitePeakMB(d.dir.Path("phones.db"), "DROP INDEX IF EXISTS i;", "CREATE INDEX i ON t(fm);");
  state.counters["ndx_peak_MB"] = d.ndxPeakMB;
  state.counters["sqlite_peak_MB"] = sqlitePeakMB;
  const double sqliteMs = total / static_cast<double>(state.iterations());
  if (d.ndxMs > 0 && sqliteMs > 0) state.counters["ndx_over_sqlite"] = d.ndxMs / sqliteMs;
  state.SetItemsProcessed(state.iterations() * d.rows.Records());
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
