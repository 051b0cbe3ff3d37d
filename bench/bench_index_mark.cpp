// What the "being changed" mark of index files costs appends and edits.
//
// A table of NAME C(20), FM N(10,2) with a CDX of two tags (NAME, FM) and
// an NTX on NAME, 20,000 records to start with, opened exclusively with
// its indexes.  Each session starts from a fresh copy of that table,
// forced to the disk before the clock starts, and is timed whole: the open,
// the writes and the close.  The mark costs mostly once per session (made
// and forced out before the first index write, the index files forced out
// and the mark removed at the close) and a flag test per write.
//
// The sessions with the mark and those with marking switched off (the
// index writes as before marks) alternate within one benchmark, so a
// machine busy with other work slows both alike; each figure is the median
// of its side.
//   BM_Appends: 30,000 appends; us_per_append with and without the mark,
//     and marked_over_unmarked (aim: at most 1.1).
//   BM_Edits: 10,000 edits that change both keys of a random record;
//     us_per_edit with and without, marked_over_unmarked (aim: at most 1.1).
//   BM_Session: the fixed cost of a writing session: open, one append,
//     close; ms with and without the mark, and extra_ms, their difference
//     (reported, no aim: it is a handful of forced writes, whose cost is the
//     disk's).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/table/table_file.h"
#include "platform/file_io.h"

namespace {

constexpr const char* kFiles[] = {"t.dbf", "t.cdx", "n.ntx"};

class Table {
public:
  Table() {
    std::filesystem::create_directory(base());
    const std::string file = base() + "/t.dbf";
    cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      if (i == 1) n = "NAME", t = "C", l = 20, d = 0;
      if (i == 2) n = "FM", t = "N", l = 10, d = 2;
      return true;
    });
    CVO_dBHandler h(file, "", true, false);
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) Put(h, rng, 0);
    h.cvIndexTo(base() + "/t.cdx", "N", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(base() + "/t.cdx", "F", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(base() + "/n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvCloseTable();
  }

  static void Put(CVO_dBHandler& h, std::mt19937& rng, int32_t edit) {
    if (edit) h.cvGetRec(edit);
    else h.cvBlank();
    std::string name;
    for (int k = 0; k < 10; ++k) name += static_cast<char>('A' + rng() % 26);
    h.cvStringPut("NAME", name);
    h.cvNumberPut("FM", static_cast<double>(rng() % 1000000) / 100);
    if (edit) h.cvPutRec(edit);
    else h.cvAppend();
  }

  // A session of `appends` appends and `edits` edits on a fresh copy of the
  // table; its seconds.
  double Session(bool marked, int appends, int edits, unsigned seed) {
    Fresh();
    cvIndexMarking = marked;
    const auto start = std::chrono::steady_clock::now();
    {
      CVO_dBHandler h(work() + "/t.dbf", "", true, false);
      if (h.cvIndex(work() + "/t.cdx," + work() + "/n.ntx", "N") != 0) throw std::runtime_error("index");
      std::mt19937 rng(seed);
      for (int i = 0; i < appends; ++i) Put(h, rng, 0);
      for (int i = 0; i < edits; ++i)
        Put(h, rng, 1 + static_cast<int32_t>(rng() % static_cast<unsigned>(h.cvRecordCount())));
      h.cvCloseTable();
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cvIndexMarking = true;
    return s;
  }

private:
  std::string base() const { return dir_ / "base"; }
  std::string work() const { return dir_ / "work"; }

  // The table as built, copied and forced to the disk (a close that forces
  // the index files out then pays only for what the session wrote).
  void Fresh() {
    std::filesystem::remove_all(work());
    std::filesystem::create_directory(work());
    for (const char* f : kFiles) {
      std::filesystem::copy_file(base() + "/" + f, work() + "/" + f);
      int fd = FileOpen(work() + "/" + f, true, false);
      FileFlush(fd);
      FileClose(fd);
    }
    FileSyncDirectory(work());
  }

  TempDir dir_;
};

Table& TheTable() {
  static Table table;
  return table;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Sessions with and without the mark, alternating (which goes first
// alternates too); the medians of each side in seconds.
std::pair<double, double> Pairs(benchmark::State& state, int appends, int edits) {
  std::vector<double> on, off;
  unsigned seed = 7;
  bool markedFirst = false;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      const bool marked = (k == 0) == markedFirst;
      (marked ? on : off).push_back(TheTable().Session(marked, appends, edits, seed));
    }
    ++seed;
    markedFirst = !markedFirst;
  }
  return {Median(on), Median(off)};
}

void BM_Appends(benchmark::State& state) {
  constexpr int kAppends = 30000;
  const auto [on, off] = Pairs(state, kAppends, 0);
  state.counters["us_per_append_marked"] = on / kAppends * 1e6;
  state.counters["us_per_append_unmarked"] = off / kAppends * 1e6;
  state.counters["marked_over_unmarked"] = on / off;
}
BENCHMARK(BM_Appends)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_Edits(benchmark::State& state) {
  constexpr int kEdits = 10000;
  const auto [on, off] = Pairs(state, 0, kEdits);
  state.counters["us_per_edit_marked"] = on / kEdits * 1e6;
  state.counters["us_per_edit_unmarked"] = off / kEdits * 1e6;
  state.counters["marked_over_unmarked"] = on / off;
}
BENCHMARK(BM_Edits)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_Session(benchmark::State& state) {
  const auto [on, off] = Pairs(state, 1, 0);
  state.counters["ms_marked"] = on * 1e3;
  state.counters["ms_unmarked"] = off * 1e3;
  state.counters["extra_ms"] = (on - off) * 1e3;
}
BENCHMARK(BM_Session)->Iterations(31)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
