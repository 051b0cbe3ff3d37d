// Sort lists of the query engine (ORDER BY over a directory-sized result)
// against std::sort of the same keys in a vector (the baseline): the ratios
// of the memory and the mapped-file list to the baseline are what to watch.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "sql_engine/store/sort_list.h"

namespace {

constexpr int kRows = 100000;

// Surname-like texts and house numbers, as ORDER BY fm, nd sees them.
const std::vector<std::pair<std::string, int32_t>>& Rows() {
  static const auto rows = [] {
    std::vector<std::pair<std::string, int32_t>> r;
    std::mt19937 rng(5);
    for (int i = 0; i < kRows; ++i)
      r.emplace_back("\xC8\xE2\xE0\xED\xEE\xE2" + std::to_string(rng() % 5000), static_cast<int32_t>(rng() % 300));
    return r;
  }();
  return rows;
}

void BM_StdSortBaseline(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::tuple<std::string, int32_t, int32_t>> v;
    v.reserve(Rows().size());
    int32_t ref = 0;
    for (const auto& [s, n] : Rows()) v.emplace_back(s, n, ++ref);
    std::sort(v.begin(), v.end());
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_StdSortBaseline)->Unit(benchmark::kMillisecond);

void SortWith(benchmark::State& state, bool in_file) {
  for (auto _ : state) {
    std::unique_ptr<TkpSortList> l;
    if (in_file) l = std::make_unique<TFileSortList>(false, 2000000);
    else l = std::make_unique<TMemSortList>(false);
    l->AddField(ttString, 20, false);
    l->AddField(ttInteger, 0, false);
    int32_t ref = 0;
    for (const auto& [s, n] : Rows()) {
      l->Insert();
      l->SetSourceRecno(++ref);
      l->Fields.Items(0)->SetAsString(s);
      l->Fields.Items(1)->SetAsInteger(n);
    }
    l->Sort();
    benchmark::DoNotOptimize(l->GetRecordCount());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_MemSortList(benchmark::State& state) { SortWith(state, false); }
BENCHMARK(BM_MemSortList)->Unit(benchmark::kMillisecond);

void BM_FileSortList(benchmark::State& state) { SortWith(state, true); }
BENCHMARK(BM_FileSortList)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
