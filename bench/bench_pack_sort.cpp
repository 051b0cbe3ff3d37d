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
#include <utility>
#include <vector>

#include "bench_support.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/table_file.h"

namespace {

class Directory {
public:
  Directory() {
    bench::Directory(10).WriteTable(Path("phones.dbf"));
    CVO_dBHandler h(Path("phones.dbf"), "", true, false);
    h.cvIndexTo(Path("fm.ndx"), "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(Path("tel.ndx"), "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvCloseTable();
  }
  std::string Path(const std::string& name) const { return dir_.Path(name); }

  // Fresh copies of the table and its two index files under `prefix`.
  void FreshCopy(const std::string& prefix) const {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"phones.dbf", prefix + ".dbf"},
                                   {"fm.ndx", prefix + "_fm.ndx"},
                                   {"tel.ndx", prefix + "_tel.ndx"}})
      std::filesystem::copy_file(Path(from), Path(to), std::filesystem::copy_options::overwrite_existing);
  }

private:
  bench::BenchDir dir_;
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
