// Key sorter against std::stable_sort of the same (key, record) pairs, on
// surname-like text keys of 25 bytes and on float keys.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/expr/value_buffer.h"

namespace {

const std::vector<std::string>& Surnames(size_t n) {
  static std::vector<std::string> keys;
  if (keys.size() != n) {
    keys.clear();
    std::mt19937 rng(1);
    // CP1251 capitals, a few thousand distinct stems, initials after them.
    std::uniform_int_distribution<int> letter(0xC0, 0xDF), stem(0, 4999), len(5, 12);
    std::vector<std::string> stems(5000);
    for (auto& s : stems) {
      s.resize(static_cast<size_t>(len(rng)));
      for (auto& c : s) c = static_cast<char>(letter(rng));
    }
    for (size_t i = 0; i < n; ++i) {
      std::string k = stems[static_cast<size_t>(stem(rng))] + ' ' + char(letter(rng)) + '.' + char(letter(rng)) + '.';
      k.resize(25, ' ');
      keys.push_back(k);
    }
  }
  return keys;
}

void BM_TcvSortText(benchmark::State& state) {
  const auto& keys = Surnames(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TcvSort s(25, false, true);
    for (size_t i = 0; i < keys.size(); ++i) s.AddTextKey(keys[i], static_cast<int32_t>(i + 1));
    TcvSort::RawKey k;
    int64_t n = 0;
    for (bool ok = s.GetFirstRaw(k); ok; ok = s.GetNextRaw(k)) n += k.recno;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StableSortText(benchmark::State& state) {
  const auto& keys = Surnames(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::pair<std::string, int32_t>> v;
    v.reserve(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      std::string k = keys[i];
      while (!k.empty() && k.back() == ' ') k.pop_back();
      v.emplace_back(std::move(k), static_cast<int32_t>(i + 1));
    }
    std::stable_sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.first < b.first; });
    int64_t n = 0;
    for (auto& p : v) n += p.second;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TcvSortFloat(benchmark::State& state) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> u(-1e6, 1e6);
  std::vector<double> xs(static_cast<size_t>(state.range(0)));
  for (auto& x : xs) x = u(rng);
  for (auto _ : state) {
    TcvSort s(8, false, true);
    for (size_t i = 0; i < xs.size(); ++i) s.AddFloatKey(xs[i], static_cast<int32_t>(i + 1));
    TcvSort::RawKey k;
    int64_t n = 0;
    for (bool ok = s.GetFirstRaw(k); ok; ok = s.GetNextRaw(k)) n += k.recno;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_TcvSortText)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StableSortText)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcvSortFloat)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
