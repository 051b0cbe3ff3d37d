// A compiled filter evaluated over record images, against the same test
// written by hand in C++.  Both run over the same 1,000,000 generated images
// of a phone directory (FM C(20), ND C(5), CP1251 text); the ratio of the two
// times per record is the cost of the expression engine.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/table/fields.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecords = 1000000;
constexpr int kFM = 20, kND = 5, kRecLen = 1 + kFM + kND;
const char* const kFilter = "ND = '5' .AND. UPPER(FM) = '\xC8\xC2\xC0\xCD\xCE\xC2'";  // ИВАНОВ

struct Fixture {
  fs::path dir;
  std::unique_ptr<CVO_dBaseFld> table;
  std::vector<uint8_t> images;

  Fixture() {
    dir = fs::temp_directory_path() / ("bench_expression_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // An empty table with the two fields; the images live in memory.
    std::string hdr(32 + 64 + 1, '\0');
    hdr[0] = 0x03;
    hdr[8] = static_cast<char>(hdr.size());
    hdr[10] = kRecLen;
    std::memcpy(&hdr[32], "FM", 2);
    hdr[32 + 11] = 'C';
    hdr[32 + 16] = kFM;
    std::memcpy(&hdr[64], "ND", 2);
    hdr[64 + 11] = 'C';
    hdr[64 + 16] = kND;
    hdr[96] = 0x0D;
    std::ofstream(dir / "phones.dbf", std::ios::binary) << hdr << '\x1A';
    table = std::make_unique<CVO_dBaseFld>((dir / "phones.dbf").string(), "", false, false);
    table->kvSetTranslateAscii(false);

    const char* names[] = {"\xC8\xE2\xE0\xED\xEE\xE2", "\xCF\xE5\xF2\xF0\xEE\xE2", "\xD1\xE8\xE4\xEE\xF0\xEE\xE2",
                           "\xC8\xC2\xC0\xCD\xCE\xC2", "\xCA\xF3\xE7\xED\xE5\xF6\xEE\xE2"};
    std::mt19937 rng(42);
    images.assign(static_cast<size_t>(kRecords) * (kRecLen + 1), ' ');
    for (int i = 0; i < kRecords; ++i) {
      uint8_t* r = &images[static_cast<size_t>(i) * (kRecLen + 1)];
      const char* fm = names[rng() % 5];
      std::memcpy(r + 1, fm, std::strlen(fm));
      const std::string nd = std::to_string(rng() % 10);
      std::memcpy(r + 1 + kFM, nd.data(), nd.size());
      r[kRecLen] = 0x1A;
    }
  }
  ~Fixture() {
    table.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Fixture& Data() {
  static Fixture f;
  return f;
}

void BM_CompiledFilter(benchmark::State& state) {
  Fixture& f = Data();
  TcvExpHandler h(f.table->cvExpLink(), kFilter);
  TcvExpValue v;
  int64_t hits = 0;
  for (auto _ : state) {
    hits = 0;
    for (int i = 0; i < kRecords; ++i) {
      f.table->cvSetActiveBuffer(&f.images[static_cast<size_t>(i) * (kRecLen + 1)]);
      h.ExpressionResult(v);
      hits += v.logical;
    }
    benchmark::DoNotOptimize(hits);
  }
  f.table->cvSetActiveBuffer(nullptr);
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["matches"] = static_cast<double>(hits);
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(kRecords), benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

// The same test by hand: trailing blanks dropped, FM upper-cased by the
// locale's rules, both compared whole.
void BM_HandWritten(benchmark::State& state) {
  Fixture& f = Data();
  const std::string want = "\xC8\xC2\xC0\xCD\xCE\xC2";
  std::string fm;
  int64_t hits = 0;
  for (auto _ : state) {
    hits = 0;
    for (int i = 0; i < kRecords; ++i) {
      const uint8_t* r = &f.images[static_cast<size_t>(i) * (kRecLen + 1)];
      size_t ndLen = kND;
      while (ndLen > 0 && r[1 + kFM + ndLen - 1] == ' ') --ndLen;
      const bool ndOk = ndLen == 1 && r[1 + kFM] == '5';
      size_t fmLen = kFM;
      while (fmLen > 0 && r[fmLen] == ' ') --fmLen;
      fm.assign(reinterpret_cast<const char*>(r + 1), fmLen);
      for (char& c : fm) c = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(c)));
      hits += ndOk && fm == want;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.counters["matches"] = static_cast<double>(hits);
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(kRecords), benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

BENCHMARK(BM_HandWritten)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompiledFilter)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
