// The window's four searches end to end through the query component, on
// two directories at two sizes each in the same run, against SQLite's full
// scan of the same rows and queries.
//
// The directories (tools/sample_directory) of N records (1,000,000, or
// DIRLOOK_BENCH_RECORDS) and of 4N records:
//   - the sample directory, the city directory dirlook_sample writes with
//     seed 11 (common surnames in both forms, real street names: the
//     surname prefix ИВАНОВ matches ИВАНОВ and ИВАНОВА, about 1% of the
//     entries);
//   - the synthetic directory of the other benchmarks (random words,
//     60,000 surnames: a surname matches a few rows), surnames and streets
//     in upper case as the window types them.
// Each is written as phones.dbf and, as UTF-8 text, into an SQLite file
// database without an index; each directory and size is made once per
// run.  Every result line gives the rows the search matched.  The searches
// are the window's own: its search fields filled from the first record (a
// phone pattern "123%", a surname prefix, a street prefix, house and flat;
// bench_support.h's WindowSearch) and turned into the window's SQL text.  The source dataset is set up as the
// window's form sets it up (a TCorvidDataSet over phones.dbf under the
// alias "Phones", opened shared, foCaseInsensitive, no translation, the
// read cache left as it is by default).  Each search is timed from the SQL
// text to the last row read: the query takes the text, opens, every row's
// five fields are read as text, and the query closes.
//
//   BM_SiftFilter/i/s  the application's query binding (TCorvidSift, when
//                      the build has it; else a hook that hands the WHERE
//                      text to the dataset's Filter as it stands); the
//                      bitmap of the previous run is forgotten between
//                      runs, so every run pays for its own scan;
//   BM_SiftWhere/i/s   no filter hook: the query tests WHERE on every row.
//
// SQLite (prepare, step to the last row reading the five columns as text,
// finalize; case-sensitive LIKE, as the query's) runs between the query's
// runs, scanning the table, in three set-ups: locking_mode=EXCLUSIVE, the
// default locking mode (the like for like of a shared open), and
// locking_mode=EXCLUSIVE tuned for reading (the whole file mapped, the
// page cache the file's size or the default, the faster of the two: the
// strongest honest scan); the ratios of the best times are
// ratio_exclusive, ratio_default and ratio_tuned.  Both sides have run each
// search before the timing: the page cache is warm on both.
//
// For reference only, SQLite also runs each search over a copy of its
// database holding an index on the searched columns (tel, fm, ul, and
// nd, kw; exclusive, mapped, the cache the file's size; the plan checked
// to use the index): ratio_indexed shows where a b-tree wins over any
// scan.  The window's table has no such index, so this is no like for
// like.
//
// Before the timing every side runs once and must return the same rows:
// the same multiset of all five fields of every row (bench::RowDigest,
// SQLite's text turned into code page 1251).  A mismatch fails the run.
//
// With DIRLOOK_BENCH_EXPORT=FOLDER the rows and the search values of each
// directory and size are also written to FOLDER/<directory>-<records>/
// (sample-1000000, synthetic-1000000, ...) for bench/duckdb_window.mjs,
// with each search's row digest (digest-<i>.txt) for it to check its rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "bench_support.h"
#include "dbf_dataset/corvid_dataset.h"
#include "query_search_sift.h"
#if DIRLOOK_BENCH_BINDING
#include "search_text.h"
#endif

namespace {

bool g_mismatch = false;

// The directory's records at size `size`: N, then 4N.
int32_t Records(int size) { return bench::DirectoryRecords() * (size ? 4 : 1); }

// The directories: 0 the sample directory (dirlook_sample's, seed 11),
// 1 the synthetic one.
constexpr uint32_t kSampleSeed = 11;
const char* DirectoryName(int data) { return data == 0 ? "sample" : "synthetic"; }
std::string DirectoryLabel(int data) {
  return data == 0 ? "sample directory (seed " + std::to_string(kSampleSeed) + ")" : "synthetic directory";
}

// Each directory's files at each size, made when first asked for.
const bench::DirectoryFiles& TheData(int data, int size) {
  static std::unique_ptr<bench::DirectoryFiles> files[2][2];
  std::unique_ptr<bench::DirectoryFiles>& f = files[data][size];
  if (!f) {
    bench::DirectoryFilesOptions o;
    if (data == 0) {
      o.style = sample::Style::kCity;
      o.seed = kSampleSeed;
    } else {
      o.upperCaseNames = true;
    }
    if (const char* out = std::getenv("DIRLOOK_BENCH_EXPORT"); out && *out)
      o.exportTo = std::string(out) + "/" + DirectoryName(data) + "-" + std::to_string(Records(size));
    f = std::make_unique<bench::DirectoryFiles>(Records(size), o);
  }
  return *f;
}

// A copy of a directory's SQLite database with an index for each search,
// made when first asked for.
const std::string& IndexedDb(int data, int size) {
  struct Indexed {
    bench::BenchDir dir;
    std::string path = dir.Path("indexed.db");
  };
  static std::unique_ptr<Indexed> copies[2][2];
  std::unique_ptr<Indexed>& copy = copies[data][size];
  if (!copy) {
    auto c = std::make_unique<Indexed>();
    std::filesystem::copy_file(TheData(data, size).Db(), c->path);
    bench::SqliteDb db(c->path, bench::SqliteOpen{.readOnly = false, .exclusive = true});
    db.Exec(
        "CREATE INDEX i_tel ON t(tel); CREATE INDEX i_fm ON t(fm); CREATE INDEX i_ul ON t(ul);"
        "CREATE INDEX i_nd_kw ON t(nd, kw);");
    copy = std::move(c);
  }
  return copy->path;
}

// The window's statement for `search`.
std::string WindowSql(const bench::WindowSearch& values, int search) {
  const bench::WindowSearch f = values.Filled(search);
#if DIRLOOK_BENCH_BINDING
  return BuildSearchText({f.tel, f.fm, f.ul, f.nd, f.kw});
#else
  std::string where;
  auto add = [&](const std::string& piece) { where += (where.empty() ? "" : " and ") + piece; };
  if (!f.tel.empty()) add("tel like '" + f.tel + "'");
  if (!f.fm.empty()) add("fm like '" + f.fm + "%'");
  if (!f.ul.empty()) add("ul like '" + f.ul + "%'");
  if (!f.nd.empty()) add("nd='" + f.nd + "'");
  if (!f.kw.empty()) add("kw='" + f.kw + "'");
  return "select * from phones where " + where + ";";
#endif
}

using bench::Seconds;

// The source dataset, opened as the window's form opens it.
class Phones {
public:
  Phones(int data, int size) {
    ds_.SetTableName(TheData(data, size).Dbf());
    ds_.SetExclusive(false);
    ds_.SetFilterOptions(foCaseInsensitive);
    ds_.SetTranslateASCII(false);  // the directory is in the Windows code page
    ds_.Open();
  }
  TDataSet* DataSet() { return &ds_; }
  // The record handler keeps the bitmap of its last filter text and reuses
  // it when the same text comes again; every timed search must pay for its
  // own scan, as a different search would.
  void ForgetFilter() {
    ds_.SetFilter("");
    ds_.SetFiltered(true);
    ds_.SetFiltered(false);
  }

private:
  TCorvidDataSet ds_;
};

void RunSift(benchmark::State& state, bool filterHook) {
  const int search = static_cast<int>(state.range(0));
  const int size = static_cast<int>(state.range(1));
  const int directory = static_cast<int>(state.range(2));
  const bench::DirectoryFiles& data = TheData(directory, size);
  state.SetLabel(DirectoryLabel(directory) + ", " + std::to_string(Records(size)) + " records, " +
                 bench::WindowSearch::Name(search));
  Phones phones(directory, size);
  bench::SiftSearch sift(phones.DataSet(), filterHook);
  const std::string sql = WindowSql(data.Search(), search);
  const std::string sqliteSql = data.Search().SqliteSql(search);
  bench::SqliteDb exclusive(data.Db(), bench::SqliteOpen{.exclusive = true, .caseSensitiveLike = true});
  bench::SqliteDb shared(data.Db(), bench::SqliteOpen{.exclusive = false, .caseSensitiveLike = true});
  bench::TunedSqlite tuned(data.Db(), bench::SqliteOpen{.exclusive = true, .caseSensitiveLike = true});
  bench::SqliteDb indexed(
      IndexedDb(directory, size),
      bench::SqliteOpen{.exclusive = true, .caseSensitiveLike = true, .mapFile = true, .fileSizedCache = true});
  // The reference is meant to read through an index: a plan that scans
  // would make it a fourth full scan under a misleading name.
  if (const std::string plan = indexed.Plan(sqliteSql);
      plan.find("USING INDEX") == std::string::npos && plan.find("USING COVERING INDEX") == std::string::npos) {
    g_mismatch = true;
    state.SkipWithError(("indexed SQLite does not use its index: " + plan).c_str());
    return;
  }

  // The rows first: every side must return the same ones.
  bench::RowDigest ours, theirs;
  sift.Run(sql, nullptr, &ours);
  phones.ForgetFilter();
  exclusive.Scan(sqliteSql, nullptr, &theirs);
  auto differ = [&](const bench::RowDigest& other, const char* side) {
    if (ours == other) return false;
    g_mismatch = true;
    state.SkipWithError(("rows disagree: query " + std::to_string(ours.Rows()) + " rows, " +
                         std::to_string(ours.Bytes()) + " bytes; " + side + " " + std::to_string(other.Rows()) +
                         " rows, " + std::to_string(other.Bytes()) + " bytes")
                            .c_str());
    return true;
  };
  if (differ(theirs, "SQLite")) return;
  const std::pair<bench::SqliteDb*, const char*> others[] = {{&shared, "SQLite default"},
                                                             {&tuned.Cached(), "SQLite tuned"},
                                                             {&tuned.Mapped(), "SQLite mapped"},
                                                             {&indexed, "SQLite indexed"}};
  for (auto [db, side] : others) {
    bench::RowDigest other;
    db->Scan(sqliteSql, nullptr, &other);
    if (differ(other, side)) return;
  }
  if (const char* out = std::getenv("DIRLOOK_BENCH_EXPORT"); out && *out && filterHook) {
    std::ofstream f(std::string(out) + "/" + DirectoryName(directory) + "-" + std::to_string(Records(size)) +
                    "/digest-" + std::to_string(search) + ".txt");
    f << theirs.Text() << '\n';
  }

  int64_t rows = 0;
  double best = 1e30, bestExclusive = 1e30, bestDefault = 1e30, bestTuned = 1e30, bestIndexed = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { rows = sift.Run(sql); }));
    state.PauseTiming();
    phones.ForgetFilter();
    bestExclusive = std::min(bestExclusive, Seconds([&] { exclusive.Scan(sqliteSql); }));
    bestDefault = std::min(bestDefault, Seconds([&] { shared.Scan(sqliteSql); }));
    bestTuned = std::min(bestTuned, tuned.Time([&](bench::SqliteDb& db) { db.Scan(sqliteSql); }));
    bestIndexed = std::min(bestIndexed, Seconds([&] { indexed.Scan(sqliteSql); }));
    state.ResumeTiming();
  }
  if (rows != theirs.Rows()) {
    g_mismatch = true;
    state.SkipWithError("the timed runs returned another number of rows");
    return;
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["filter_handled"] = sift.Handled() > 0 ? 1 : 0;
  state.counters["ms"] = best * 1e3;
  state.counters["sqlite_excl_ms"] = bestExclusive * 1e3;
  state.counters["sqlite_default_ms"] = bestDefault * 1e3;
  state.counters["sqlite_tuned_ms"] = bestTuned * 1e3;
  state.counters["sqlite_indexed_ms"] = bestIndexed * 1e3;
  state.counters["ratio_exclusive"] = best / bestExclusive;
  state.counters["ratio_default"] = best / bestDefault;
  state.counters["ratio_tuned"] = best / bestTuned;
  state.counters["ratio_indexed"] = best / bestIndexed;
}

void BM_SiftFilter(benchmark::State& state) { RunSift(state, true); }
// Arguments: the search, the size (N, 4N), the directory (sample,
// synthetic).
BENCHMARK(BM_SiftFilter)->ArgsProduct({{0, 1, 2, 3}, {0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SiftWhere(benchmark::State& state) { RunSift(state, false); }
BENCHMARK(BM_SiftWhere)->ArgsProduct({{0, 1, 2, 3}, {0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunCheckedBenchmarks(argc, argv, g_mismatch, "the query and SQLite returned different rows");
}
