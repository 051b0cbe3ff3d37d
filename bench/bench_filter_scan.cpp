// Filter bitmap scan against a hand-written scan of the same records.
//
// A directory table of 1,000,000 records (TEL C(6), FM C(25), UL C(30),
// ND C(6), KW C(5), Cyrillic CP1251 text) is generated in a temporary
// directory.  BM_FilterBitmap sets the filter ND='5' .AND. KW='12' on the
// table (one scan through the record handler, its read cache and the
// expression evaluator); BM_HandScan reads the same record images from the
// same file in 32 KB blocks and tests the two fields with memcmp.  The ratio
// of the two times is the cost of the engine's general path.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/table_file.h"

namespace {

const char* const kFilter = "ND='5' .AND. KW='12'";
using bench::Layout;

class Directory {
public:
  Directory() : file_(dir_.Path("phones.dbf")) {
    rows_.WriteTable(file_);
    matches_ = HandScan(file_);
  }
  const std::string& File() const { return file_; }
  int32_t Matches() const { return matches_; }

  // The hand-written scan: ND is "5" and KW is "12" once trailing blanks
  // are dropped (the language's "=" on texts compares whole trimmed texts).
  static int32_t HandScan(const std::string& file) {
    CVO_DiskFile f(file, false, false);
    f.cvReset();
    uint8_t head[32];
    if (f.cvRead(0, head, 32) != 32) throw std::runtime_error("short header");
    const int64_t headerLength = cvLoadLE16(head + 8);
    const int32_t count = static_cast<int32_t>(cvLoadLE32(head + 4));
    const int32_t perBlock = DBFCacheSize / Layout::length;
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * Layout::length));
    int32_t hits = 0;
    for (int32_t first = 0; first < count; first += perBlock) {
      const int32_t n = std::min(perBlock, count - first);
      const int32_t got = f.cvRead(headerLength + static_cast<int64_t>(first) * Layout::length, block.data(), n * Layout::length);
      for (int32_t i = 0; i < got / Layout::length; ++i) {
        const uint8_t* r = block.data() + static_cast<size_t>(i) * Layout::length;
        if (r[0] != '*' && std::memcmp(r + Layout::nd, "5     ", 6) == 0 && std::memcmp(r + Layout::kw, "12   ", 5) == 0) ++hits;
      }
    }
    f.cvCloseFile();
    return hits;
  }

private:
  bench::BenchDir dir_;
  bench::Directory rows_;
  std::string file_;
  int32_t matches_ = 0;
};

Directory& Table() {
  static Directory d;
  return d;
}

int32_t CountBits(const CVO_dBHandler& h) {
  int32_t n = 0;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) n += h.cvFilterBitmap()->BitValue(r) ? 1 : 0;
  return n;
}

void BM_FilterBitmap(benchmark::State& state) {
  CVO_dBHandler h(Table().File(), "", false, false);
  h.kvSetTranslateAscii(false);
  for (auto _ : state) {
    h.cvSetFilterExpr("", false, true);
    h.cvSetFilterExpr(kFilter, false, true);
  }
  const int32_t bits = CountBits(h);
  if (bits != Table().Matches()) {
    state.SkipWithError(("bitmap and hand scan disagree: " + std::to_string(bits) + " vs " + std::to_string(Table().Matches())).c_str());
  }
  state.counters["matches"] = bits;
  state.counters["records"] = bench::DirectoryRecords();
}
BENCHMARK(BM_FilterBitmap)->Unit(benchmark::kMillisecond);

// The handler's share of the scan: the same walk without the evaluation.
void BM_RecordWalk(benchmark::State& state) {
  CVO_dBHandler h(Table().File(), "", false, false);
  h.cvSetDBFCache(true);
  int32_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (h.cvGetRec(-3); !h.cvEOF(); h.cvGetRec(-1)) ++n;
  }
  state.counters["records"] = n;
}
BENCHMARK(BM_RecordWalk)->Unit(benchmark::kMillisecond);

void BM_HandScan(benchmark::State& state) {
  int32_t hits = 0;
  for (auto _ : state) hits = Directory::HandScan(Table().File());
  state.counters["matches"] = hits;
  state.counters["records"] = bench::DirectoryRecords();
}
BENCHMARK(BM_HandScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
