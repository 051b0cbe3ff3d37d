// The window's four directory searches on the 1,000,000-record sample
// directory (dirlook_sample's city directory, seed 11; DIRLOOK_BENCH_RECORDS
// sets the size), from the click to the filled list, against SQLite's full scan of the same
// query over the same rows as UTF-8 text (case-sensitive LIKE); and the
// time from creating the window (opening phones.dbf) to the window shown.
// The search fields are filled from the first record (bench_support.h's
// WindowSearch).  Before the timing, each search's list must hold exactly
// the rows SQLite returns (phone, surname and address of every row, as the
// window shows them); a mismatch fails the run.
// With DIRLOOK_BENCH_EXPORT=FOLDER the rows and the searched values are also
// written there for bench/duckdb_window.mjs.
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "bench_support.h"
#include "main_window.h"
#include "platform/code_page.h"
#include "platform/gui/application.h"

namespace {

bool g_mismatch = false;

std::string Cp1251Text(const std::string& utf8) {
  std::string out;
  if (!Utf8ToCp1251(utf8, out)) throw std::runtime_error("text not in code page 1251");
  return out;
}

struct Setup {
  bench::BenchDir dir;
  bench::Directory rows{0, bench::DirectoryRecords(), 11, sample::Style::kCity};
  bench::WindowSearch search;
  std::unique_ptr<bench::SqliteDb> db;
  Setup() {
    rows.WriteTable(dir.Path("phones.dbf"));
    search = bench::WindowSearch(rows);
    sqlite3_close(bench::WriteSqliteTable(rows, dir.Path("phones.sqlite"), {.table = "phones", .blankAsNull = true}));
    db = std::make_unique<bench::SqliteDb>(
        dir.Path("phones.sqlite"), bench::SqliteOpen{.readOnly = false, .exclusive = false, .caseSensitiveLike = true});
    if (const char* out = std::getenv("DIRLOOK_BENCH_EXPORT"); out && *out) search.Export(rows, out);
    std::filesystem::current_path(dir.Path(""));
  }
};

Setup& Data() {
  static Setup s;
  return s;
}

TApplication& App() {
  static int argc = 1;
  static char name[] = "bench_window";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static TApplication app(argc, argv);
  app.SetMessageBoxHook([](const TMessageBoxRequest&) { return IDOK; });
  return app;
}

// 0 phone prefix, 1 surname, 2 street, 3 house and flat.
void Fill(TMain& main, int search) {
  const bench::WindowSearch f = Data().search.Filled(search);
  main.tTEL->SetText(f.tel);
  main.tFM->SetText(f.fm);
  main.tUL->SetText(f.ul);
  main.tND->SetText(f.nd);
  main.tKW->SetText(f.kw);
}

// The list's rows (phone, surname, address) and the same rows made from
// SQLite's, as the window makes them, must be the same multiset.
bool SameRows(TListView& list, int search) {
  bench::RowDigest shown, expected;
  for (int i = 0; i < list.Count(); ++i) {
    for (int c = 0; c < 3; ++c) shown.Cell(list.Item(i)->ColumnText(c));
    shown.EndRow();
  }
  const std::string flat = Cp1251Text(", КВ. ");
  for (const std::string& row : Data().db->Rows(Data().search.SqliteSql(search, "phones"))) {
    std::string cell[5];
    size_t at = 0;
    for (int c = 0; c < 5; ++c) {
      const size_t bar = c < 4 ? row.find('|', at) : row.size();
      cell[c] = row.substr(at, bar - at);
      at = bar + 1;
    }
    expected.Cell(cell[0]);
    expected.Cell(cell[1]);
    expected.Cell(cell[2] + ' ' + cell[3] + flat + cell[4]);
    expected.EndRow();
  }
  return shown == expected;
}

void BM_WindowSearch(benchmark::State& state) {
  Data();
  App();
  TMain main(nullptr);
  const int search = static_cast<int>(state.range(0));
  Fill(main, search);
  main.ForgetLastSearch();
  main.bSelect->Click();
  if (!SameRows(*main.List, search)) {
    g_mismatch = true;
    state.SkipWithError("the list does not hold the rows SQLite returns");
    return;
  }
  for (auto _ : state) {
    main.ForgetLastSearch();
    main.bSelect->Click();
  }
  state.counters["rows"] = main.List->Count();
  state.SetLabel(bench::WindowSearch::Name(search));
}
BENCHMARK(BM_WindowSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_SqliteSearch(benchmark::State& state) {
  Setup& d = Data();
  const int search = static_cast<int>(state.range(0));
  const std::string sql = d.search.SqliteSql(search, "phones");
  int64_t rows = 0;
  for (auto _ : state) rows = d.db->Scan(sql);
  state.counters["rows"] = static_cast<double>(rows);
  state.SetLabel(bench::WindowSearch::Name(search));
}
BENCHMARK(BM_SqliteSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_WindowStartUp(benchmark::State& state) {
  Data();
  TApplication& app = App();
  for (auto _ : state) {
    TMain main(nullptr);
    main.Show();
    app.ProcessMessages();
  }
}
BENCHMARK(BM_WindowStartUp)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunCheckedBenchmarks(argc, argv, g_mismatch, "a search's list differs from SQLite's rows");
}
