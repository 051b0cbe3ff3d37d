// The directory's four searches end to end through the query component,
// against SQLite's full scan of the same rows and queries.
//
// The generated directory of 1,000,000 records (TEL, FM, UL, ND, KW) is
// written as phones.dbf and, as UTF-8 text, into an SQLite file database
// without an index on the searched columns; a city-like directory of
// 450,000 records, where the surname and street searches find rows, is
// written the same way (second argument 1).  Each search is timed from the
// SQL text to the last row read: the query (one source dataset, a
// TCorvidDataSet over phones.dbf under the alias "Phones", opened once as
// the application opens it) takes the text, opens, every row's five fields
// are read as text, and the query closes.
//
//   BM_SiftWhere/i    no filter hook: the query tests WHERE on every row;
//   BM_SiftFilter/i   the application's query binding (TCorvidSift, when
//                     the build has it; else a hook that hands the WHERE
//                     text to the dataset's Filter as it stands): the
//                     dataset's filter takes what the table engine answers
//                     as the query would (equalities, LIKE of a whole
//                     text, a prefix or a text found anywhere) and scans
//                     the record bytes; the rest stays with the query; the
//                     bitmap of the previous run is forgotten between runs;
//   BM_SQLite*/i      SQLite: prepare, step to the last row reading the five
//                     columns as text, finalize; case-sensitive LIKE; with
//                     locking_mode=EXCLUSIVE (an unshared open) and with the
//                     default locking mode.
//
// The query benchmarks time SQLite's exclusive and default runs between
// their own runs (same load on the machine) and report the ratios of the
// best times as ratio_exclusive and ratio_default.  The row counts of both
// sides must agree: a mismatch fails the run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bench_support.h"
#include "dbf_dataset/corvid_dataset.h"
#include "platform/code_page.h"
#include "query_search_sift.h"

namespace {

struct Search {
  const char* where;  // UTF-8; the query gets it in code page 1251
};

// The application's four kinds of piece: phone as a pattern, surname and
// street as prefixes, house and flat as equalities.
const Search kSearches[] = {
    {"tel like '542783'"},
    {"fm like 'ИВАНОВ%'"},
    {"ul like 'ЛЕНИНА%' and nd='5'"},
    {"nd='5' and kw='12'"},
};

bool g_mismatch = false;

std::string Cp1251(const std::string& utf8) {
  std::string out;
  if (!Utf8ToCp1251(utf8, out)) throw std::runtime_error("text not in code page 1251: " + utf8);
  return out;
}

// The two directories: [0] the synthetic one of 1,000,000 records (random
// capitalised surnames and streets: the upper-case prefixes match nothing),
// [1] a city-like one of 450,000 records (the most a city directory of
// distinct phones holds) with real surnames and streets.
constexpr int kCityRecords = 450000;

class Data {
public:
  Data() {
    for (int k = 0; k < 2; ++k) {
      dbf_[k] = dir_.Path(k ? "city.dbf" : "phones.dbf");
      db_[k] = dir_.Path(k ? "city.db" : "phones.db");
      const bench::Directory rows(0, k ? kCityRecords : bench::DirectoryRecords(), 7,
                                  k ? sample::Style::kCity : sample::Style::kSynthetic);
      rows.WriteTable(dbf_[k]);
      sqlite3_close(rows.SqliteTable(db_[k], false));
    }
  }
  const std::string& Dbf(int k) const { return dbf_[k]; }
  const std::string& Db(int k) const { return db_[k]; }

private:
  bench::BenchDir dir_;
  std::string dbf_[2], db_[2];
};

Data& TheData() {
  static Data d;
  return d;
}

using bench::Seconds;

// ------------------------------------------------------------------ SQLite

class Sqlite {
public:
  Sqlite(int data, bool exclusive) {
    if (sqlite3_open_v2(TheData().Db(data).c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      throw std::runtime_error("sqlite3_open_v2 failed");
    Exec("PRAGMA case_sensitive_like=ON;");
    if (exclusive) Exec("PRAGMA locking_mode=EXCLUSIVE;");
  }
  ~Sqlite() { sqlite3_close(db_); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  int64_t Run(const Search& s, int64_t* bytes = nullptr) {
    const std::string sql = std::string("select tel, fm, ul, nd, kw from t where ") + s.where;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db_));
    int64_t rows = 0, n = 0;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      ++rows;
      for (int c = 0; c < 5; ++c) {
        sqlite3_column_text(st, c);
        n += sqlite3_column_bytes(st, c);
      }
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    if (bytes) *bytes = n;
    return rows;
  }

private:
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
};

// ------------------------------------------------------------------ query

// The source dataset, opened as the application opens it at start-up.
class Phones {
public:
  explicit Phones(int data) {
    ds_.SetTableName(TheData().Dbf(data));
    ds_.SetTranslateASCII(false);  // the directory is in the Windows code page
    ds_.SetDBFCache(true);
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
  const Search& s = kSearches[state.range(0)];
  const int data = static_cast<int>(state.range(1));
  Phones phones(data);
  bench::SiftSearch sift(phones.DataSet(), filterHook);
  const std::string sql = Cp1251(std::string("select * from phones where ") + s.where);
  Sqlite exclusive(data, true), shared(data, false);
  int64_t rows = 0, bytes = 0;
  double best = 1e30, bestExclusive = 1e30, bestDefault = 1e30;
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { rows = sift.Run(sql, &bytes); }));
    state.PauseTiming();
    phones.ForgetFilter();
    bestExclusive = std::min(bestExclusive, Seconds([&] { exclusive.Run(s); }));
    bestDefault = std::min(bestDefault, Seconds([&] { shared.Run(s); }));
    state.ResumeTiming();
  }
  int64_t sqliteBytes = 0;
  const int64_t sqliteRows = exclusive.Run(s, &sqliteBytes);
  if (rows != sqliteRows) {
    g_mismatch = true;
    state.SkipWithError(("row counts disagree: query " + std::to_string(rows) + ", SQLite " +
                         std::to_string(sqliteRows)).c_str());
    return;
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["filter_handled"] = sift.Handled() > 0 ? 1 : 0;
  state.counters["sqlite_excl_ms"] = bestExclusive * 1e3;
  state.counters["sqlite_default_ms"] = bestDefault * 1e3;
  state.counters["ratio_exclusive"] = best / bestExclusive;
  state.counters["ratio_default"] = best / bestDefault;
  state.SetLabel(std::string(state.range(1) ? "city: " : "") + s.where);
}

void BM_SiftWhere(benchmark::State& state) { RunSift(state, false); }
BENCHMARK(BM_SiftWhere)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SiftFilter(benchmark::State& state) { RunSift(state, true); }
BENCHMARK(BM_SiftFilter)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(3);

void RunSqlite(benchmark::State& state, bool exclusiveLock) {
  const Search& s = kSearches[state.range(0)];
  Sqlite db(static_cast<int>(state.range(1)), exclusiveLock);
  int64_t rows = 0;
  for (auto _ : state) rows = db.Run(s);
  state.counters["rows"] = static_cast<double>(rows);
  state.SetLabel(std::string(state.range(1) ? "city: " : "") + s.where);
}

void BM_SQLiteExclusive(benchmark::State& state) { RunSqlite(state, true); }
BENCHMARK(BM_SQLiteExclusive)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond);

void BM_SQLiteDefault(benchmark::State& state) { RunSqlite(state, false); }
BENCHMARK(BM_SQLiteDefault)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_mismatch) {
    std::fprintf(stderr, "bench_query_search: the query and SQLite returned different row counts\n");
    return 1;
  }
  return 0;
}
