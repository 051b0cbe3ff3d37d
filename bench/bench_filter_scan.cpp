// Filter bitmap scans against a hand-written scan of the same records.
//
// The generated directory (bench_support.h; TEL C(6), FM C(25), UL C(30),
// ND C(6), KW C(5), CP1251 text), every 37th surname made one of the
// ИВАНОВ family so that the surname forms find rows, is written as
// phones.dbf in a temporary directory.
//   BM_Floor/c       the hand-written floor of condition class c: the file
//                    read in 1 MB blocks, each live record tested in place
//                    with memcmp (class 0: ND is "5" and KW is "12"; class 1:
//                    FM begins with ИВАНОВ and ND is "5"; class 2: the same
//                    with FM upper-cased through a 256-byte table);
//   BM_Filter/f      the record handler's filter (cvSetFilterExpr: compile,
//                    one scan of the table in 1 MB blocks, the bitmap) for each
//                    form below: field against literal, the wildcard, LEFT,
//                    SUBSTR and UPPER, each also with its operands the other
//                    way round (literal first, or the two sides of .AND.
//                    exchanged).  "over_floor" is the best time over the
//                    best of its class's floor; the bitmap must hold the
//                    floor's count.
//   BM_RecordWalk    the handler's walk alone (top, then next to the end).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "dbf_engine/code_pages.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "platform/text.h"

namespace {

using bench::Layout;

#define IVANOV "\xC8\xC2\xC0\xCD\xCE\xC2"

struct Form {
  const char* filter;
  int floorClass;
};
const Form kForms[] = {
    {"ND='5' .AND. KW='12'", 0},
    {"'5'=ND .AND. '12'=KW", 0},
    {"FM='" IVANOV "*' .AND. ND='5'", 1},
    {"ND='5' .AND. FM='" IVANOV "*'", 1},
    {"LEFT(FM,6)='" IVANOV "' .AND. ND='5'", 1},
    {"'" IVANOV "'=LEFT(FM,6) .AND. '5'=ND", 1},
    {"SUBSTR(FM,1,6)='" IVANOV "' .AND. ND='5'", 1},
    {"'" IVANOV "'=SUBSTR(FM,1,6) .AND. '5'=ND", 1},
    {"UPPER(FM)='" IVANOV "*' .AND. ND='5'", 2},
    {"ND='5' .AND. UPPER(LEFT(FM,6))='" IVANOV "'", 2},
    {"'" IVANOV "'=UPPER(LEFT(FM,6)) .AND. ND='5'", 2},
};
constexpr int kClasses = 3;

class Directory {
public:
  Directory() : file_(dir_.Path("phones.dbf")) {
    const char* family[] = {IVANOV " \xC8.\xC8.", IVANOV "\xC0 \xC0.\xCF.", IVANOV "\xD1\xCA\xC8\xC9 \xCF.",
                            "\xC8\xE2\xE0\xED\xEE\xE2 \xC1.\xC1."};  // the last one in lower case
    for (int32_t r = 37, i = 0; r <= rows_.Records(); r += 37, ++i) {
      char* fm = rows_.Image(r) + Layout::fm;
      std::memset(fm, ' ', Layout::fmLength);
      std::memcpy(fm, family[i % 4], std::strlen(family[i % 4]));
    }
    rows_.WriteTable(file_);
    for (int c = 0; c < kClasses; ++c) matches_[c] = HandScan(c);
  }
  const std::string& File() const { return file_; }
  int32_t Matches(int c) const { return matches_[c]; }

  // The floor: 1 MB reads, every live record tested in place.
  int32_t HandScan(int cls) const {
    unsigned char upper[256];
    for (int c = 0; c < 256; ++c) upper[c] = static_cast<unsigned char>(AnsiUpperChar(static_cast<unsigned char>(c)));
    static const unsigned char ivanov[] = {0xC8, 0xC2, 0xC0, 0xCD, 0xCE, 0xC2};
    CVO_DiskFile f(file_, false, false);
    f.cvReset();
    uint8_t head[32];
    if (f.cvRead(0, head, 32) != 32) throw std::runtime_error("short header");
    const int64_t headerLength = cvLoadLE16(head + 8);
    const int32_t count = static_cast<int32_t>(cvLoadLE32(head + 4));
    const int32_t perBlock = (1 << 20) / Layout::length;
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * Layout::length));
    int32_t hits = 0;
    for (int32_t first = 0; first < count; first += perBlock) {
      const int32_t n = std::min(perBlock, count - first);
      const int32_t got =
          f.cvRead(headerLength + static_cast<int64_t>(first) * Layout::length, block.data(), n * Layout::length);
      const uint8_t* r = block.data();
      const uint8_t* end = r + static_cast<size_t>(got / Layout::length) * Layout::length;
      for (; r < end; r += Layout::length) {
        if (r[0] == '*' || std::memcmp(r + Layout::nd, "5     ", 6) != 0) continue;
        if (cls == 0) {
          hits += std::memcmp(r + Layout::kw, "12   ", 5) == 0;
        } else if (cls == 1) {
          hits += std::memcmp(r + Layout::fm, ivanov, 6) == 0;
        } else {
          const uint8_t* fm = r + Layout::fm;
          bool same = true;
          for (int j = 0; j < 6; ++j) same &= upper[fm[j]] == ivanov[j];
          hits += same;
        }
      }
    }
    f.cvCloseFile();
    return hits;
  }

private:
  bench::BenchDir dir_;
  bench::Directory rows_;
  std::string file_;
  int32_t matches_[kClasses] = {};
};

Directory& Table() {
  static Directory d;
  return d;
}

double floorMs[kClasses] = {};

double Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

int32_t CountBits(const CVO_dBHandler& h) {
  int32_t n = 0;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) n += h.cvFilterBitmap()->BitValue(r) ? 1 : 0;
  return n;
}

void BM_Floor(benchmark::State& state) {
  const int cls = static_cast<int>(state.range(0));
  Table();  // generated before the clock runs
  int32_t hits = 0;
  double best = 1e300;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    hits = Table().HandScan(cls);
    best = std::min(best, Ms(t0));
  }
  floorMs[cls] = best;
  state.counters["matches"] = hits;
  state.counters["records"] = bench::DirectoryRecords();
}
BENCHMARK(BM_Floor)->DenseRange(0, kClasses - 1)->Unit(benchmark::kMillisecond);

void BM_Filter(benchmark::State& state) {
  const Form& form = kForms[state.range(0)];
  state.SetLabel(form.filter);
  CVO_dBHandler h(Table().File(), "", false, false);
  h.kvSetTranslateAscii(false);
  double best = 1e300;
  for (auto _ : state) {
    h.cvSetFilterExpr("", false, true);
    const auto t0 = std::chrono::steady_clock::now();
    h.cvSetFilterExpr(form.filter, false, true);
    best = std::min(best, Ms(t0));
  }
  const int32_t bits = CountBits(h);
  const int32_t want = Table().Matches(form.floorClass);
  if (bits != want) {
    state.SkipWithError(
        ("bitmap and hand scan disagree: " + std::to_string(bits) + " vs " + std::to_string(want)).c_str());
  }
  state.counters["matches"] = bits;
  if (floorMs[form.floorClass] > 0) state.counters["over_floor"] = best / floorMs[form.floorClass];
}
BENCHMARK(BM_Filter)->DenseRange(0, static_cast<int>(std::size(kForms)) - 1)->Unit(benchmark::kMillisecond);

// The handler's share of the scan: the same walk without the evaluation.
void BM_RecordWalk(benchmark::State& state) {
  CVO_dBHandler h(Table().File(), "", false, false);
  h.cvSetDBFCache(true);
  int32_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) ++n;
  }
  state.counters["records"] = n;
}
BENCHMARK(BM_RecordWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
