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

#include "dbf_engine/disk_file.h"
#include "dbf_engine/record_handler.h"
#include "dbf_engine/table_file.h"

namespace {

constexpr int32_t kRecords = 1000000;
const char* const kFilter = "ND='5' .AND. KW='12'";

struct Layout {
  int tel = 1, fm = 7, ul = 32, nd = 62, kw = 68, length = 73;
};

class Directory {
public:
  Directory() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dirlook-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    file_ = dir_ + "/phones.dbf";
    Generate();
  }
  ~Directory() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& File() const { return file_; }
  int32_t Matches() const { return matches_; }

private:
  void Generate() {
    const std::vector<std::tuple<std::string, std::string, int32_t, int32_t>> fields = {
        {"TEL", "C", 6, 0}, {"FM", "C", 25, 0}, {"UL", "C", 30, 0}, {"ND", "C", 6, 0}, {"KW", "C", 5, 0}};
    const bool ok = cvCreateDBF(file_, "3", [&](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
      if (i <= static_cast<int>(fields.size())) std::tie(n, t, len, dec) = fields[static_cast<size_t>(i - 1)];
      return true;
    });
    if (!ok) throw std::runtime_error("table not created");
    int64_t headerLength;
    {
      CVO_dBaseDBF t(file_, "", false, false);
      headerLength = t.cvHeaderLength();
      if (t.cvRecordLength() != Layout{}.length) throw std::runtime_error("unexpected record length");
    }
    // Records are written straight after the header; the count in the header
    // is set at the end (the table takes it from the file size anyway).
    std::filesystem::resize_file(file_, static_cast<uintmax_t>(headerLength));
    std::ofstream out(file_, std::ios::binary | std::ios::app);
    std::mt19937 rng(7);
    auto cyr = [&](int len) {
      std::string s;
      std::uniform_int_distribution<int> upper(0xC0, 0xDF), lower(0xE0, 0xFF);
      s += static_cast<char>(upper(rng));
      for (int i = 1; i < len; ++i) s += static_cast<char>(lower(rng));
      return s;
    };
    std::vector<std::string> streets(400), surnames(8000);
    for (auto& s : streets) s = cyr(6 + static_cast<int>(rng() % 12)) + " \xF3\xEB.";  // "ул."
    for (auto& s : surnames) s = cyr(5 + static_cast<int>(rng() % 9));
    const Layout L;
    std::string rec(static_cast<size_t>(L.length), ' ');
    auto put = [&](int at, int len, const std::string& v) {
      std::memset(rec.data() + at, ' ', static_cast<size_t>(len));
      std::memcpy(rec.data() + at, v.data(), std::min<size_t>(v.size(), static_cast<size_t>(len)));
    };
    for (int32_t r = 0; r < kRecords; ++r) {
      rec[0] = ' ';
      put(L.tel, 6, std::to_string(200000 + rng() % 800000));
      put(L.fm, 25, surnames[rng() % surnames.size()] + " " + cyr(1) + "." + cyr(1) + ".");
      put(L.ul, 30, streets[rng() % streets.size()]);
      std::string nd = std::to_string(1 + rng() % 60);
      if (rng() % 10 == 0) nd += "\xC0";  // "А": a building letter
      put(L.nd, 6, nd);
      put(L.kw, 5, std::to_string(1 + rng() % 150));
      out.write(rec.data(), static_cast<std::streamsize>(rec.size()));
    }
    out.put(static_cast<char>(0x1A));
    out.close();
    {
      CVO_dBaseDBF t(file_, "", true, false);
      t.cvSetHeaderDirty(true);
      t.cvCloseTable();
    }
    matches_ = HandScan(file_);
  }

 public:
  // The hand-written scan: ND is "5" and KW is "12" once trailing blanks
  // are dropped (the language's "=" on texts compares whole trimmed texts).
  static int32_t HandScan(const std::string& file) {
    const Layout L;
    CVO_DiskFile f(file, false, false);
    f.cvReset();
    uint8_t head[32];
    if (f.cvRead(0, head, 32) != 32) throw std::runtime_error("short header");
    const int64_t headerLength = cvLoadLE16(head + 8);
    const int32_t count = static_cast<int32_t>(cvLoadLE32(head + 4));
    const int32_t perBlock = DBFCacheSize / L.length;
    std::vector<uint8_t> block(static_cast<size_t>(perBlock * L.length));
    int32_t hits = 0;
    for (int32_t first = 0; first < count; first += perBlock) {
      const int32_t n = std::min(perBlock, count - first);
      const int32_t got = f.cvRead(headerLength + static_cast<int64_t>(first) * L.length, block.data(), n * L.length);
      for (int32_t i = 0; i < got / L.length; ++i) {
        const uint8_t* r = block.data() + static_cast<size_t>(i) * L.length;
        if (r[0] != '*' && std::memcmp(r + L.nd, "5     ", 6) == 0 && std::memcmp(r + L.kw, "12   ", 5) == 0) ++hits;
      }
    }
    f.cvCloseFile();
    return hits;
  }

private:
  std::string dir_, file_;
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
  state.counters["records"] = kRecords;
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
  state.counters["records"] = kRecords;
}
BENCHMARK(BM_HandScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
