// A WHERE clause of n conjuncts through the window's query binding, which
// writes a short condition again as a DBF filter and leaves a long one to
// the query: `tel <> 'x' and tel <> 'x' and ...` over a directory of 20
// records, with 1,000 to 1,000,000 terms; and an IN list of 100,000 texts.
//
// Each size reports its time over the time of the smallest size in the
// same run ("over_smallest"): work in proportion to the statement gives
// about the ratio of the sizes (10, 100 and 1,000 from the smallest), work
// that grows with its square gives that ratio squared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "bench_support.h"
#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"

namespace {

bench::DirectoryFiles& TheFiles() {
  static bench::DirectoryFiles f(20);
  return f;
}

std::map<int64_t, double> best;

std::string Conjuncts(int64_t n) {
  std::string where = "tel <> 'x'";
  where.reserve(static_cast<size_t>(n) * 12);
  for (int64_t i = 1; i < n; ++i) where += " and tel <> 'x'";
  return where;
}

void BM_AndChain(benchmark::State& state) {
  TCorvidDataSet ds;
  ds.SetTableName(TheFiles().Dbf());
  ds.SetTranslateASCII(false);
  ds.Open();
  TCorvidSift sift;
  sift.AddDataSet(&ds, "Phones");
  sift.Loaded();
  const std::string sql = "select count(*) from phones where " + Conjuncts(state.range(0));
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    sift.SetSQL(sql);
    sift.Open();
    benchmark::DoNotOptimize(sift.FieldByNumber(1)->AsInteger());
    sift.Close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best[state.range(0)] = std::min(best.count(state.range(0)) ? best[state.range(0)] : 1e30, seconds);
  }
  state.counters["over_smallest"] = best[state.range(0)] / best.begin()->second;
}
BENCHMARK(BM_AndChain)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

// An IN list of n texts through the same binding: `tel in ('0', '7', ...)`.
void BM_InTexts(benchmark::State& state) {
  TCorvidDataSet ds;
  ds.SetTableName(TheFiles().Dbf());
  ds.SetTranslateASCII(false);
  ds.Open();
  TCorvidSift sift;
  sift.AddDataSet(&ds, "Phones");
  sift.Loaded();
  std::string sql = "select count(*) from phones where tel in (";
  for (int64_t i = 0; i < state.range(0); ++i) sql += (i ? ", '" : "'") + std::to_string(i * 7) + "'";
  sql += ")";
  for (auto _ : state) {
    sift.SetSQL(sql);
    sift.Open();
    benchmark::DoNotOptimize(sift.FieldByNumber(1)->AsInteger());
    sift.Close();
  }
}
BENCHMARK(BM_InTexts)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
