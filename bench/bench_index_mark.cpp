// What the "being changed" mark of index files costs appends and edits.
//
// A table of NAME C(20), FM N(10,2) with a CDX of two tags (NAME, FM) and
// an NTX on NAME, 20,000 records to start with.  One writing session: the
// table opened exclusively with its indexes, 2,000 appends and 1,000 edits
// that change both keys of a random record, the table closed.  The mark
// costs once per session (made and forced out before the first write,
// the index files forced out and the mark removed at the close), so the
// session is timed whole: BM_Session/1 with the mark, /0 with marking
// switched off (the index writes as before marks).  The counter
// marked_over_unmarked of /1 is the ratio of the two medians-of-runs
// (aim: at most 1.1).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/table/table_file.h"

namespace {

class Table {
public:
  Table() {
    file_ = dir_ / "t.dbf";
    cvCreateDBF(file_, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      if (i == 1) n = "NAME", t = "C", l = 20, d = 0;
      if (i == 2) n = "FM", t = "N", l = 10, d = 2;
      return true;
    });
    CVO_dBHandler h(file_, "", true, false);
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) Put(h, rng, 0);
    h.cvIndexTo(dir_ / "t.cdx", "N", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(dir_ / "t.cdx", "F", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    h.cvIndexTo(dir_ / "n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
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

  // One session; its seconds.
  double Session(unsigned seed) {
    const auto start = std::chrono::steady_clock::now();
    {
      CVO_dBHandler h(file_, "", true, false);
      if (h.cvIndex((dir_ / "t.cdx") + "," + (dir_ / "n.ntx"), "N") != 0) throw std::runtime_error("index");
      std::mt19937 rng(seed);
      for (int i = 0; i < 3000; ++i) {
        const bool edit = i % 3 == 2;
        Put(h, rng, edit ? 1 + static_cast<int32_t>(rng() % static_cast<unsigned>(h.cvRecordCount())) : 0);
      }
      h.cvCloseTable();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

private:
  TempDir dir_;
  std::string file_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<double> timesOff;

void BM_Session(benchmark::State& state) {
  static Table table;
  const bool marked = state.range(0) == 1;
  std::vector<double> times;
  unsigned seed = 7;
  for (auto _ : state) {
    cvIndexMarking = marked;
    times.push_back(table.Session(seed++));
    cvIndexMarking = true;
  }
  state.counters["ms"] = Median(times) * 1000;
  if (!marked) timesOff = times;
  if (marked && !timesOff.empty()) state.counters["marked_over_unmarked"] = Median(times) / Median(timesOff);
}
BENCHMARK(BM_Session)->Arg(0)->Arg(1)->Iterations(15)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
