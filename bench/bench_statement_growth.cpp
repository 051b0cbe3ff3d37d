// Statements that grow: an IN list of n items, a select list of n columns
// of one name, a "+" chain of n terms, an AND chain of n conjuncts, a select
// list of n columns of distinct names and a text literal of n characters, over
// a directory of 20,000 records (phones.dbf under the alias "Phones", as the
// application opens it).
//
// Each size reports its time over the time of the smallest size in the
// same run ("over_smallest"): work in proportion to the statement gives
// about the ratio of the sizes (10 and 100 for the IN lists and the chains,
// 4 for the columns), work that grows with its square gives that ratio
// squared.  The IN lists also report their time over SQLite's for the same
// statement on the same rows ("over_sqlite").
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "bench_support.h"
#include "dbf_dataset/corvid_dataset.h"
#include "platform/exceptions.h"
#include "query_search_sift.h"

namespace {

constexpr int32_t kRecords = 20000;

bench::DirectoryFiles& TheFiles() {
  static bench::DirectoryFiles f(kRecords);
  return f;
}

class Phones {
public:
  Phones() {
    ds_.SetTableName(TheFiles().Dbf());
    ds_.SetTranslateASCII(false);
    ds_.SetDBFCache(true);
    ds_.Open();
  }
  TDataSet* DataSet() { return &ds_; }

private:
  TCorvidDataSet ds_;
};

// Best seconds per size of each benchmark, for the ratios.
std::map<std::string, std::map<int64_t, double>> best;

void Report(benchmark::State& state, const std::string& name, int64_t size, double seconds) {
  auto& sizes = best[name];
  sizes[size] = std::min(sizes.count(size) ? sizes[size] : 1e30, seconds);
  state.counters["over_smallest"] = seconds / sizes.begin()->second;
}

// The best seconds of `sql` over the benchmark's iterations, a refusal
// (the engine's error) counted as a run; the counter "refused" tells
// whether it was.
double BestOrRefused(benchmark::State& state, bench::SiftSearch& sift, const std::string& sql) {
  double mine = 1e30;
  bool refused = false;
  for (auto _ : state) {
    mine = std::min(mine, bench::Seconds([&] {
                      try {
                        sift.Run(sql);
                      } catch (const Exception&) {
                        refused = true;
                      }
                    }));
  }
  state.counters["refused"] = refused ? 1 : 0;
  return mine;
}

// nd in ('0', '7', '14', ...): the numbers 0 to 99 occur among the house
// numbers, so a few hundred rows match whatever n is.
std::string InList(int64_t n) {
  std::string s = "nd in (";
  for (int64_t i = 0; i < n; ++i) s += (i ? ", '" : "'") + std::to_string(i * 7) + "'";
  return s + ")";
}

void BM_InList(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  bench::SqliteDb db(TheFiles().Db());
  const std::string where = InList(n);
  double mine = 1e30, theirs = 1e30;
  int64_t rows = 0;
  for (auto _ : state) {
    mine = std::min(mine, bench::Seconds([&] { rows = sift.Run("select * from phones where " + where); }));
    int64_t sqliteRows = 0;
    theirs = std::min(
        theirs, bench::Seconds([&] { sqliteRows = db.Count("select tel, fm, ul, nd, kw from t where " + where); }));
    if (sqliteRows != rows) state.SkipWithError("the two engines disagree on the rows");
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["over_sqlite"] = mine / theirs;
  Report(state, "in", n, mine);
}
BENCHMARK(BM_InList)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SameNameColumns(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  std::string sql = "select tel";
  for (int64_t i = 1; i < n; ++i) sql += ", tel";
  sql += " from phones where tel = '100000'";
  double mine = 1e30;
  for (auto _ : state) mine = std::min(mine, bench::Seconds([&] { sift.Run(sql); }));
  Report(state, "columns", n, mine);
}
BENCHMARK(BM_SameNameColumns)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A select column of n texts joined by "+": past the expression language's
// nesting limit the statement is refused, and the refusal comes after the
// whole statement was read (lexer, parser actions, expression text).
void BM_PlusChain(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  std::string sql = "select tel, 'a'";
  for (int64_t i = 1; i < n; ++i) sql += "+'a'";
  sql += " as x from phones where tel = '100000'";
  const double mine = BestOrRefused(state, sift, sql);
  Report(state, "plus", n, mine);
}
BENCHMARK(BM_PlusChain)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A WHERE clause of n conjuncts whose first one holds for no record, so a
// record costs one comparison: the time is the front end's and the
// planning's.
void BM_AndChain(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  std::string sql = "select * from phones where tel = '100000'";
  for (int64_t i = 1; i < n; ++i) sql += " and nd <> 'x'";
  double mine = 1e30;
  int64_t rows = 0;
  for (auto _ : state) mine = std::min(mine, bench::Seconds([&] { rows = sift.Run(sql); }));
  state.counters["rows"] = static_cast<double>(rows);
  Report(state, "and", n, mine);
}
BENCHMARK(BM_AndChain)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A select list of n columns of distinct names (nd AS c0, nd AS c1, ...)
// over the one matching record: each column costs a result column, a field
// definition, a dataset field and their name look-ups.  "over_linear" is the
// time over the smallest size's, divided by the ratio of the sizes: about 1
// when the cost per column stays flat, the ratio itself when it grows with n.
void BM_WideSelectList(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  std::string sql = "select nd as c0";
  for (int64_t i = 1; i < n; ++i) sql += ", nd as c" + std::to_string(i);
  sql += " from phones where tel = '100000'";
  double mine = 1e30;
  for (auto _ : state) mine = std::min(mine, bench::Seconds([&] { sift.Run(sql); }));
  Report(state, "wide", n, mine);
  const auto& sizes = best["wide"];
  state.counters["over_linear"] =
      mine / sizes.begin()->second / (static_cast<double>(n) / static_cast<double>(sizes.begin()->first));
}
BENCHMARK(BM_WideSelectList)->Arg(1000)->Arg(8000)->Arg(64000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A text literal of n characters in the select list: up to 65,534 it is a
// column; longer, the statement is refused naming the column and the limit,
// after the whole literal was read.
void BM_LongLiteral(benchmark::State& state) {
  const int64_t n = state.range(0);
  Phones phones;
  bench::SiftSearch sift(phones.DataSet(), false);
  const std::string sql = "select tel, fm, ul, nd, '" + std::string(static_cast<size_t>(n), 'x') +
                          "' as x from phones where tel = '100000'";
  const double mine = BestOrRefused(state, sift, sql);
  Report(state, "literal", n, mine);
}
BENCHMARK(BM_LongLiteral)->Arg(65534)->Arg(65535)->Arg(10000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
