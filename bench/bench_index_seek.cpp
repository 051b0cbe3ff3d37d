// Index builds and seeks of the four index kinds against SQLite's index on
// the same rows.
//
// The generated directory (bench_support.h) is written as phones.dbf and,
// with an index on fm, into an SQLite file database (journal off,
// synchronous off).
//   BM_SqliteCreateIndex  CREATE INDEX on fm of the table without one;
//   BM_CdxBuild           a CDX tag on FM built from the record images
//                         (key sorter, bottom-up nodes, file writes):
//                         "over_sqlite" is its time over CREATE INDEX's;
//                         "peak_MB" and "sqlite_peak_MB" the memory of one
//                         more build of each in a forked child (the rise of
//                         its resident high-water mark, peak_memory.h);
//   BM_SqliteSeek/m       the same 100,000 random existing surnames looked up
//                         one statement each (SELECT the five columns WHERE
//                         fm = ? LIMIT 1, every column read as text).  SQLite
//                         is set up as a user who cares about lookups sets
//                         it up: PRAGMA mmap_size=268435456 (256 MB) and
//                         cache_size=-262144 (256 MB of page cache), so the
//                         whole file stays mapped and cached.  m = 1 adds
//                         PRAGMA locking_mode=EXCLUSIVE (one lock for the
//                         whole run), m = 0 keeps the default locking mode
//                         (locks and the change check in every statement;
//                         the cache survives while nobody writes);
//   BM_Seek/k/s           the record handler over phones.dbf with an NTX,
//                         NDX, MDX or CDX index on FM (k = 0..3) active:
//                         cvFind of each surname, then the five fields read
//                         as text; s = 0 opens the table and index
//                         exclusively, s = 1 shared.  Each pass alternates
//                         with a pass of SQLite in the like mode (exclusive
//                         against exclusive, shared against the default
//                         mode); both sides are warmed by a pass first, and
//                         "over_sqlite" is the best time over SQLite's best
//                         of those passes.
// Both sides check that the record found holds the surname sought (its fm
// column, its FM field); a miss or a wrong record fails the benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "peak_memory.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/cdx_index.h"

namespace {

constexpr int32_t kSeeks = 100000;

struct Kind {
  const char* file;
  const char* tag;
};
const Kind kKinds[] = {{"phones.ntx", "PHONES"}, {"phones.ndx", "PHONES"}, {"fm.mdx", "FM"}, {"fm.cdx", "FM"}};
const char* const kKindNames[] = {"ntx", "ndx", "mdx", "cdx"};

struct Data {
  bench::BenchDir dir;
  bench::Directory rows;
  std::vector<int32_t> seekRecs;  // records whose keys are sought
  // Their surnames as each side seeks them: the field as the table holds
  // it, and trimmed UTF-8 for SQLite; trimmed, as the engine's field reads
  // give them back.
  std::vector<std::string> keys, sqliteKeys, trimmedKeys;
  double sqliteBuildMs = 0;
  double sqlitePeakMB = -1;
  bool tableWritten = false;

  Data() {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> rec(1, rows.Records());
    for (int32_t i = 0; i < kSeeks; ++i) {
      seekRecs.push_back(rec(rng));
      keys.push_back(rows.Field(seekRecs.back(), bench::Layout::fm, 25));
      trimmedKeys.push_back(rows.Trimmed(seekRecs.back(), bench::Layout::fm, 25));
      sqliteKeys.push_back(Cp1251ToUtf8(trimmedKeys.back()));
    }
  }
  std::string Table() {
    const std::string t = dir.Path("phones.dbf");
    if (!tableWritten) {
      rows.WriteTable(t);
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      for (const Kind& k : kKinds)
        h.cvIndexTo(k.file, k.tag, "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      h.cvCloseTable();
      tableWritten = true;
    }
    return t;
  }
};

Data& TheData() {
  static Data d;
  return d;
}

double Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

void BM_SqliteCreateIndex(benchmark::State& state) {
  Data& d = TheData();
  double best = 1e300;
  {
    bench::SqliteDb db(d.rows.SqliteTable(d.dir.Path("plain.db"), false));
    for (auto _ : state) {
      db.Exec("DROP INDEX IF EXISTS i;");
      const auto t0 = std::chrono::steady_clock::now();
      db.Exec("CREATE INDEX i ON t(fm);");
      best = std::min(best, Ms(t0));
    }
  }
  d.sqliteBuildMs = best;
  d.sqlitePeakMB = bench::SqlitePeakMB(d.dir.Path("plain.db"), "DROP INDEX IF EXISTS i;", "CREATE INDEX i ON t(fm);");
  state.counters["peak_MB"] = d.sqlitePeakMB;
  state.SetItemsProcessed(state.iterations() * d.rows.Records());
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CdxBuild(benchmark::State& state) {
  Data& d = TheData();
  bench::ImageIndexTable table(d.rows, d.dir.Path("images.dbf"), true);
  const std::string path = d.dir.Path("images.cdx");
  double best = 1e300;
  for (auto _ : state) {
    std::filesystem::remove(path);
    const auto t0 = std::chrono::steady_clock::now();
    CVobjCDXFile f(&table, path, true, false, true, true);
    f.AddTag("FM", "FM", "", true, false);
    best = std::min(best, Ms(t0));
  }
  if (d.sqliteBuildMs > 0) state.counters["over_sqlite"] = best / d.sqliteBuildMs;
  state.counters["peak_MB"] = bench::PeakRiseMB(
      [&] {
        CVobjCDXFile f(&table, path, true, false, true, true);
        f.AddTag("FM", "FM", "", true, false);
      },
      [&] { std::filesystem::remove(path); });
  state.counters["sqlite_peak_MB"] = d.sqlitePeakMB;
  state.SetItemsProcessed(state.iterations() * d.rows.Records());
}
BENCHMARK(BM_CdxBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

// SQLite's side of the seeks: one connection in the given mode with its
// statement prepared, and one pass over the sought surnames.
class SqliteSeeker {
public:
  SqliteSeeker(Data& d, bool exclusive)
      : d_(d),
        db_(IndexedDb(d), bench::SqliteOpen{.readOnly = false,
                                            .exclusive = exclusive,
                                            .pragmas = "PRAGMA mmap_size=268435456; PRAGMA cache_size=-262144;"}),
        q_(db_.Prepare("SELECT tel, fm, ul, nd, kw FROM t WHERE fm = ?1 LIMIT 1")) {}
  ~SqliteSeeker() { sqlite3_finalize(q_); }
  SqliteSeeker(const SqliteSeeker&) = delete;
  SqliteSeeker& operator=(const SqliteSeeker&) = delete;
  // One pass: the time in ms; false when a key was not found or the row
  // found does not hold it.
  bool Pass(double& ms) {
    int64_t found = 0, bytes = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const std::string& k : d_.sqliteKeys) {
      sqlite3_bind_text(q_, 1, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
      if (sqlite3_step(q_) == SQLITE_ROW) {
        for (int c = 0; c < 5; ++c) {
          const unsigned char* text = sqlite3_column_text(q_, c);
          const int n = text ? sqlite3_column_bytes(q_, c) : 0;
          bytes += n;
          if (c == 1 && std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(n)) == k) ++found;
        }
      }
      sqlite3_reset(q_);
    }
    ms = Ms(t0);
    benchmark::DoNotOptimize(bytes);
    return found == kSeeks;
  }

private:
  // The directory with its index on fm, written by the first seeker.
  static std::string IndexedDb(Data& d) {
    const std::string path = d.dir.Path("indexed.db");
    if (!std::filesystem::exists(path)) sqlite3_close(d.rows.SqliteTable(path, true));
    return path;
  }

  Data& d_;
  bench::SqliteDb db_;
  sqlite3_stmt* q_ = nullptr;
};

void BM_SqliteSeek(benchmark::State& state) {
  Data& d = TheData();
  SqliteSeeker seeker(d, state.range(0) == 1);
  double best = 1e300, ms = 0;
  bool all = seeker.Pass(ms);  // warm
  for (auto _ : state) {
    all &= seeker.Pass(ms);
    best = std::min(best, ms);
  }
  if (!all) state.SkipWithError("a key was not found");
  state.counters["us_per_seek"] = best * 1e3 / kSeeks;
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_SqliteSeek)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

// The engine's passes alternate with SQLite's in the like mode, so both
// sides see the same load on the machine; the ratio is of the best times.
void BM_Seek(benchmark::State& state) {
  Data& d = TheData();
  const Kind& kind = kKinds[state.range(0)];
  const bool shared = state.range(1) == 1;
  state.SetLabel(std::string(kKindNames[state.range(0)]) + (shared ? " shared" : " exclusive"));
  CVO_dBHandler h(d.Table(), "", false, shared);
  h.kvSetTranslateAscii(false);
  h.cvSetExactMatch(true);
  if (h.cvIndex(kind.file, kind.tag) != 0) {
    state.SkipWithError("the index did not open");
    return;
  }
  SqliteSeeker sqlite(d, !shared);
  double best = 1e300, bestSqlite = 1e300, ms = 0;
  int64_t bytes = 0;
  // One pass of the engine: the number of seeks whose record holds the key.
  auto pass = [&] {
    int64_t found = 0;
    for (size_t i = 0; i < d.keys.size(); ++i) {
      if (!h.cvFind(d.keys[i])) continue;
      for (int f = 1; f <= 5; ++f) {
        const std::string v = h.cvStringGetN(f);
        bytes += static_cast<int64_t>(v.size());
        if (f == 2 && v == d.trimmedKeys[i]) ++found;
      }
    }
    return found;
  };
  // Warm both sides.
  bool allFound = sqlite.Pass(ms) && pass() == kSeeks;
  for (auto _ : state) {
    state.PauseTiming();
    allFound &= sqlite.Pass(ms);
    bestSqlite = std::min(bestSqlite, ms);
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    allFound &= pass() == kSeeks;
    best = std::min(best, Ms(t0));
  }
  if (!allFound) state.SkipWithError("a key was not found, or its record does not hold it");
  benchmark::DoNotOptimize(bytes);
  state.counters["us_per_seek"] = best * 1e3 / kSeeks;
  state.counters["sqlite_us_per_seek"] = bestSqlite * 1e3 / kSeeks;
  state.counters["over_sqlite"] = best / bestSqlite;
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_Seek)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace

BENCHMARK_MAIN();
