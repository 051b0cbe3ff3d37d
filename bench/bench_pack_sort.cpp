// Pack and sort of a large table against a plain file copy.
//
// A directory table of 1,000,000 records (TEL C(6), FM C(25), UL C(30),
// ND C(6), KW C(5), CP1251 surnames), 10% of them deleted, with two NDX
// index files (on FM and on TEL), is generated in a temporary directory.
//   BM_Pack      packs a fresh copy of the table with both index files open
//                (records moved, file truncated, both indexes rebuilt);
//   BM_SortOnFM  sorts the table on FM into a new table (live records only);
//   BM_FileCopy  copies the table file the way cp does: every byte read and
//                written, in 1 MB blocks.
// The ratios Pack/FileCopy and Sort/FileCopy are the cost of the engine's
// whole-table operations over raw I/O of the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbf_engine/disk_file.h"
#include "dbf_engine/record_handler.h"
#include "dbf_engine/table_file.h"

namespace {

constexpr int32_t kRecords = 1000000;

class Directory {
public:
  Directory() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dirlook-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    Generate();
  }
  ~Directory() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Fresh copies of the table and its two index files under `prefix`.
  void FreshCopy(const std::string& prefix) const {
    std::filesystem::copy_file(Path("phones.dbf"), Path(prefix + ".dbf"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(Path("fm.ndx"), Path(prefix + "_fm.ndx"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(Path("tel.ndx"), Path(prefix + "_tel.ndx"),
                               std::filesystem::copy_options::overwrite_existing);
  }

private:
  void Generate() {
    const std::string file = Path("phones.dbf");
    const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      static const char* names[] = {"TEL", "FM", "UL", "ND", "KW"};
      static const int lengths[] = {6, 25, 30, 6, 5};
      if (i <= 5) n = names[i - 1], t = "C", l = lengths[i - 1], d = 0;
      return true;
    });
    if (!ok) throw std::runtime_error("table not created");
    static const char* const surnames[] = {"\xC8\xE2\xE0\xED\xEE\xE2", "\xCF\xE5\xF2\xF0\xEE\xE2",
                                           "\xD1\xE8\xE4\xEE\xF0\xEE\xE2", "\xCA\xEE\xE7\xEB\xEE\xE2",
                                           "\xDF\xEA\xEE\xE2\xEB\xE5\xE2", "\xC0\xED\xE4\xF0\xE5\xE5\xE2"};
    std::mt19937 rng(7);
    const int recLen = 1 + 6 + 25 + 30 + 6 + 5;
    std::vector<char> rec(static_cast<size_t>(recLen));
    std::vector<char> all;
    all.reserve(static_cast<size_t>(recLen) * kRecords + 1);
    for (int32_t r = 0; r < kRecords; ++r) {
      std::memset(rec.data(), ' ', rec.size());
      rec[0] = (rng() % 10 == 0) ? '*' : ' ';
      const std::string tel = std::to_string(100000 + rng() % 900000);
      std::memcpy(&rec[1], tel.data(), 6);
      std::string fm = std::string(surnames[rng() % 6]) + " " + std::to_string(rng() % 100000);
      std::memcpy(&rec[7], fm.data(), std::min<size_t>(fm.size(), 25));
      std::memcpy(&rec[32], "\xD3\xEB\xE8\xF6\xE0", 5);
      std::memcpy(&rec[62], std::to_string(rng() % 100).data(), 1);
      all.insert(all.end(), rec.begin(), rec.end());
    }
    all.push_back(0x1A);
    {
      // The records go straight into the file after the header; the count
      // is patched into the header.
      CVO_DiskFile f(file, true, false);
      f.cvReset();
      uint8_t hdr[32];
      f.cvRead(0, hdr, 32);
      const int32_t headerLength = hdr[8] | (hdr[9] << 8);
      f.cvWrite(headerLength, all.data(), static_cast<int32_t>(all.size()));
      cvStoreLE32(hdr + 4, kRecords);
      f.cvWrite(0, hdr, 32);
      f.cvCloseFile();
    }
    CVO_dBHandler h(file, "", true, false);
    h.cvIndexTo(Path("fm.ndx"), "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(Path("tel.ndx"), "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvCloseTable();
  }

  std::string dir_;
};

Directory& Data() {
  static Directory d;
  return d;
}

void BM_Pack(benchmark::State& state) {
  Directory& d = Data();
  for (auto _ : state) {
    state.PauseTiming();
    d.FreshCopy("work");
    state.ResumeTiming();
    CVO_dBHandler h(d.Path("work.dbf"), "", true, false);
    h.cvIndex(d.Path("work_fm.ndx") + ";" + d.Path("work_tel.ndx"), "");
    h.cvPack();
    benchmark::DoNotOptimize(h.cvRecordCount());
    h.cvCloseTable();
  }
  state.SetLabel("1,000,000 records, 10% deleted, two NDX rebuilt");
}

void BM_SortOnFM(benchmark::State& state) {
  Directory& d = Data();
  CVO_dBHandler h(d.Path("phones.dbf"), "", false, false);
  h.cvSetShowDeleted(false);
  for (auto _ : state) {
    h.cvSortFile(d.Path("sorted.dbf"), "FM", "", CVsetSortStatus::SortUp);
  }
}

void BM_FileCopy(benchmark::State& state) {
  Directory& d = Data();
  std::vector<char> buf(1 << 20);
  for (auto _ : state) {
    const int in = ::open(d.Path("phones.dbf").c_str(), O_RDONLY);
    const int out = ::open(d.Path("copy.dbf").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) throw std::runtime_error("copy: open failed");
    for (ssize_t n; (n = ::read(in, buf.data(), buf.size())) > 0;)
      if (::write(out, buf.data(), static_cast<size_t>(n)) != n) throw std::runtime_error("copy: write failed");
    ::close(in);
    ::close(out);
  }
}

}  // namespace

BENCHMARK(BM_FileCopy)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Pack)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SortOnFM)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
