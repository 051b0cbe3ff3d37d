// Key sorter against the strongest simple baseline: std::sort of flat
// fixed-width records (the 25-byte key, then the record number most
// significant byte first, compared with memcmp), on surname-like text keys
// and on float keys.  Each run reports its peak memory ("peak_MB": the
// sorter's batch and the blocks it holds; for the flat sort its array), and
// the sorter's runs report "tcv_over_flat", its time over the flat sort's
// in the same run.  BM_TcvSortTextBudget sorts 1M and 4M keys under a
// 16 MB budget: the peak stays at the budget however many keys come.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
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

double flatTextMs = 0, flatFloatMs = 0;  // last flat sort times, for the ratios

double Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Flat records: `width` key bytes then 4 record-number bytes.
template <size_t W>
struct Flat {
  unsigned char b[W + 4];
  bool operator<(const Flat& o) const { return std::memcmp(b, o.b, sizeof b) < 0; }
};

void PutRecno(unsigned char* p, uint32_t r) {
  p[0] = static_cast<unsigned char>(r >> 24);
  p[1] = static_cast<unsigned char>(r >> 16);
  p[2] = static_cast<unsigned char>(r >> 8);
  p[3] = static_cast<unsigned char>(r);
}

void BM_FlatSortText(benchmark::State& state) {
  const auto& keys = Surnames(static_cast<size_t>(state.range(0)));
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Flat<25>> v(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      std::memcpy(v[i].b, keys[i].data(), 25);
      PutRecno(v[i].b + 25, static_cast<uint32_t>(i + 1));
    }
    std::sort(v.begin(), v.end());
    int64_t n = 0;
    for (auto& f : v) n += f.b[28];
    benchmark::DoNotOptimize(n);
    total += Ms(t0);
  }
  flatTextMs = total / static_cast<double>(state.iterations());
  state.counters["peak_MB"] = static_cast<double>(keys.size() * sizeof(Flat<25>)) / (1 << 20);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void RunTcvText(benchmark::State& state, size_t budget) {
  const auto& keys = Surnames(static_cast<size_t>(state.range(0)));
  double total = 0;
  size_t peak = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    TcvSort s(25, false, true);
    if (budget) s.SetMemoryBudget(budget);
    for (size_t i = 0; i < keys.size(); ++i) {
      s.AddTextKey(keys[i], static_cast<int32_t>(i + 1));
      if ((i & 1023) == 0) peak = std::max(peak, s.MemoryInUse());
    }
    peak = std::max(peak, s.MemoryInUse());
    TcvSort::RawKey k;
    int64_t n = 0;
    bool ok = s.GetFirstRaw(k);
    peak = std::max(peak, s.MemoryInUse());  // the sort's scratch space
    for (; ok; ok = s.GetNextRaw(k)) n += k.recno;
    benchmark::DoNotOptimize(n);
    total += Ms(t0);
  }
  const double ms = total / static_cast<double>(state.iterations());
  state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
  if (flatTextMs > 0 && static_cast<size_t>(state.range(0)) == 1000000)
    state.counters["tcv_over_flat"] = ms / flatTextMs;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TcvSortText(benchmark::State& state) { RunTcvText(state, 0); }
void BM_TcvSortTextBudget(benchmark::State& state) { RunTcvText(state, size_t{16} << 20); }

const std::vector<double>& Floats(size_t n) {
  static std::vector<double> xs;
  if (xs.size() != n) {
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    xs.resize(n);
    for (auto& x : xs) x = u(rng);
  }
  return xs;
}

void BM_FlatSortFloat(benchmark::State& state) {
  const auto& xs = Floats(static_cast<size_t>(state.range(0)));
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    // The same order-preserving bytes the sorter stores.
    std::vector<Flat<8>> v(xs.size());
    for (size_t i = 0; i < xs.size(); ++i) {
      uint64_t bits;
      std::memcpy(&bits, &xs[i], 8);
      bits = (bits & 0x8000000000000000ULL) ? ~bits : bits | 0x8000000000000000ULL;
      for (int k = 0; k < 8; ++k) v[i].b[k] = static_cast<unsigned char>(bits >> (56 - 8 * k));
      PutRecno(v[i].b + 8, static_cast<uint32_t>(i + 1));
    }
    std::sort(v.begin(), v.end());
    int64_t n = 0;
    for (auto& f : v) n += f.b[11];
    benchmark::DoNotOptimize(n);
    total += Ms(t0);
  }
  flatFloatMs = total / static_cast<double>(state.iterations());
  state.counters["peak_MB"] = static_cast<double>(xs.size() * sizeof(Flat<8>)) / (1 << 20);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_TcvSortFloat(benchmark::State& state) {
  const auto& xs = Floats(static_cast<size_t>(state.range(0)));
  double total = 0;
  size_t peak = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    TcvSort s(8, false, true);
    for (size_t i = 0; i < xs.size(); ++i) s.AddFloatKey(xs[i], static_cast<int32_t>(i + 1));
    peak = std::max(peak, s.MemoryInUse());
    TcvSort::RawKey k;
    int64_t n = 0;
    bool ok = s.GetFirstRaw(k);
    peak = std::max(peak, s.MemoryInUse());  // the sort's scratch space
    for (; ok; ok = s.GetNextRaw(k)) n += k.recno;
    benchmark::DoNotOptimize(n);
    total += Ms(t0);
  }
  const double ms = total / static_cast<double>(state.iterations());
  state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
  if (flatFloatMs > 0) state.counters["tcv_over_flat"] = ms / flatFloatMs;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_FlatSortText)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcvSortText)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcvSortTextBudget)->Arg(1000000)->Arg(4000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FlatSortFloat)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcvSortFloat)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
