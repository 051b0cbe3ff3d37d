// The dataset's walk against the table engine's own record walk.
//
// The generated directory of 1,000,000 records (TEL, FM, UL, ND, KW) is
// walked three ways in one run:
//   BM_EngineRecordWalk   the record handler alone: top, then next to the end;
//   BM_EngineFieldWalk    the same walk reading the five fields as text;
//   BM_DataSetWalk        TCorvidDataSet First ... Next to Eof, reading the
//                         five fields as text through the framework's fields.
// The dataset walk also times an engine record walk and a field walk between
// its own walks and reports the ratios of the best times (ratio_record,
// ratio_fields): the cost of the framework's buffers, bookmarks and fields
// over the engine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "bench_support.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/handler/record_handler.h"

namespace {

class Table {
public:
  Table() : file_(dir_.Path("phones.dbf")) { bench::Directory().WriteTable(file_); }
  const std::string& File() const { return file_; }
  const bench::BenchDir& Dir() const { return dir_; }

private:
  bench::BenchDir dir_;
  std::string file_;
};

Table& Data() {
  static Table t;
  return t;
}

int64_t EngineRecordWalk(CVO_dBHandler& h) {
  int64_t n = 0;
  for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) ++n;
  return n;
}

int64_t EngineFieldWalk(CVO_dBHandler& h) {
  int64_t bytes = 0;
  for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext))
    for (int f = 1; f <= 5; ++f) bytes += static_cast<int64_t>(h.cvStringGetN(f).size());
  return bytes;
}

int64_t DataSetWalk(TCorvidDataSet& ds) {
  TField* fields[5];
  for (int f = 0; f < 5; ++f) fields[f] = ds.Fields().Fields(f);
  int64_t bytes = 0;
  ds.First();
  while (!ds.Eof()) {
    for (TField* f : fields) bytes += static_cast<int64_t>(f->AsString().size());
    ds.Next();
  }
  return bytes;
}

std::unique_ptr<CVO_dBHandler> OpenEngine() {
  auto h = std::make_unique<CVO_dBHandler>(Data().File(), "", false, true);
  h->kvSetTranslateAscii(false);
  h->cvSetDBFCache(true);
  return h;
}

using bench::Seconds;

void BM_EngineRecordWalk(benchmark::State& state) {
  auto h = OpenEngine();
  int64_t n = 0;
  for (auto _ : state) n = EngineRecordWalk(*h);
  state.counters["records"] = static_cast<double>(n);
}
BENCHMARK(BM_EngineRecordWalk)->Unit(benchmark::kMillisecond);

void BM_EngineFieldWalk(benchmark::State& state) {
  auto h = OpenEngine();
  int64_t bytes = 0;
  for (auto _ : state) bytes = EngineFieldWalk(*h);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EngineFieldWalk)->Unit(benchmark::kMillisecond);

void BM_DataSetWalk(benchmark::State& state) {
  TCorvidDataSet ds;
  ds.SetTableName(Data().File());
  ds.SetTranslateASCII(false);  // the directory is in the Windows code page
  ds.SetDBFCache(true);
  ds.SetReadOnly(true);
  ds.Open();
  auto h = OpenEngine();
  int64_t bytes = 0, check = 0;
  double best = 1e30, records = 1e30, fieldsWalk = 1e30;
  // The baselines run between the dataset's walks, so that all three meet
  // the same load on the machine; the best time of each counts.
  for (auto _ : state) {
    best = std::min(best, Seconds([&] { bytes = DataSetWalk(ds); }));
    state.PauseTiming();
    records = std::min(records, Seconds([&] { EngineRecordWalk(*h); }));
    fieldsWalk = std::min(fieldsWalk, Seconds([&] { check = EngineFieldWalk(*h); }));
    state.ResumeTiming();
  }
  if (check != bytes) state.SkipWithError("the dataset and the engine read different texts");
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["ratio_record"] = best / records;
  state.counters["ratio_fields"] = best / fieldsWalk;
}
BENCHMARK(BM_DataSetWalk)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
