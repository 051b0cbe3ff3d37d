// CDX tag build and seeks against SQLite's index on the same rows.
//
// The generated directory (bench_support.h) is held as record images.
// BM_CdxBuild builds a MACHINE tag on FM in a new CDX file (key sorter,
// bottom-up leaves and interior nodes, file writes); BM_SqliteCreateIndex
// runs CREATE INDEX on fm of a table holding the same rows in a file
// database (journal off, synchronous off).  BM_CdxSeek and BM_SqliteSeek
// look up the same 100,000 random existing keys, each as an exact find of
// the first record with that key.  The ratios of the pairs are what matters.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dbf_engine/index/cdx_index.h"

namespace {

constexpr int32_t kSeeks = 100000;

struct Data {
  bench::BenchDir dir;
  bench::Directory rows;
  std::vector<int32_t> seekRecs;  // records whose keys are sought

  Data() {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> rec(1, rows.Records());
    for (int32_t i = 0; i < kSeeks; ++i) seekRecs.push_back(rec(rng));
  }
  std::string Fm(int32_t rec) const { return rows.Field(rec, bench::Layout::fm, 25); }
  std::string CdxPath() const { return dir.Path("phones.cdx"); }
};

Data& TheData() {
  static Data d;
  return d;
}

void BuildCdx(bench::ImageIndexTable& table) {
  std::filesystem::remove(TheData().CdxPath());
  CVobjCDXFile f(&table, TheData().CdxPath(), true, false, true, true);
  f.AddTag("FM", "FM", "", true, false);
}

bench::ImageIndexTable MakeTable() {
  return bench::ImageIndexTable(TheData().rows, TheData().dir.Path("phones.dbf"), true);
}

void BM_CdxBuild(benchmark::State& state) {
  auto table = MakeTable();
  for (auto _ : state) BuildCdx(table);
  state.SetItemsProcessed(state.iterations() * TheData().rows.Records());
}
BENCHMARK(BM_CdxBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CdxSeek(benchmark::State& state) {
  Data& d = TheData();
  auto table = MakeTable();
  if (!std::filesystem::exists(d.CdxPath())) BuildCdx(table);
  CVobjCDXFile f(&table, d.CdxPath(), false, false, false, false);
  CVobjIndexTag* tag = f.TagByName("FM");
  TcvVariant key;
  int64_t found = 0;
  for (auto _ : state) {
    for (int32_t rec : d.seekRecs) {
      key.PutString(d.Fm(rec));
      found += tag->KeyFind(key) != 0;
    }
  }
  if (found != static_cast<int64_t>(state.iterations()) * kSeeks) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_CdxSeek)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteCreateIndex(benchmark::State& state) {
  sqlite3* db = TheData().rows.SqliteTable(TheData().dir.Path("plain.db"), false);
  for (auto _ : state) {
    sqlite3_exec(db, "DROP INDEX IF EXISTS i;", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE INDEX i ON t(fm);", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * TheData().rows.Records());
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteSeek(benchmark::State& state) {
  Data& d = TheData();
  sqlite3* db = d.rows.SqliteTable(d.dir.Path("indexed.db"), true);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, "SELECT rowid FROM t WHERE fm = ?1 ORDER BY fm, rowid LIMIT 1", -1, &q, nullptr);
  int64_t found = 0;
  for (auto _ : state) {
    for (int32_t rec : d.seekRecs) {
      const std::string k = d.rows.Trimmed(rec, bench::Layout::fm, 25);
      sqlite3_bind_text(q, 1, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
      if (sqlite3_step(q) == SQLITE_ROW) found += sqlite3_column_int64(q, 0) > 0;
      sqlite3_reset(q);
    }
  }
  sqlite3_finalize(q);
  sqlite3_close(db);
  if (found != static_cast<int64_t>(state.iterations()) * kSeeks) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_SqliteSeek)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
