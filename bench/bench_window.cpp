// The window's four directory searches on the 1,000,000-record directory,
// from the click to the filled list, against SQLite's full scan of the same
// query over the same rows (the generated city directory) as UTF-8 text (case-sensitive LIKE); and the time
// from creating the window (opening phones.dbf) to the window shown.
// With DIRLOOK_BENCH_EXPORT=FOLDER the rows and the searched values are also
// written there for bench/duckdb_window.mjs.
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bench_support.h"
#include "main_window.h"
#include "platform/code_page.h"
#include "platform/text.h"
#include "platform/gui/application.h"

namespace {

struct Setup {
  bench::BenchDir dir;
  bench::Directory rows;
  sqlite3* db = nullptr;
  // phone prefix, surname, street, house and flat of the first record
  std::string fields[5];
  Setup() {
    // Surnames and streets in upper case, as the window's edits type them.
    using L = bench::Layout;
    for (int32_t r = 1; r <= rows.Records(); ++r) {
      char* image = rows.Image(r);
      for (int i = L::fm; i < L::nd; ++i) image[i] = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(image[i])));
    }
    rows.WriteTable(dir.Path("phones.dbf"));
    fields[0] = rows.Trimmed(1, L::tel, L::telLength).substr(0, 3) + "%";
    const std::string fm = rows.Trimmed(1, L::fm, L::fmLength);
    fields[1] = fm.substr(0, fm.find(' '));
    fields[2] = rows.Trimmed(1, L::ul, L::ulLength);
    fields[3] = rows.Trimmed(1, L::nd, L::ndLength);
    fields[4] = rows.Trimmed(1, L::kw, L::kwLength);
    sqlite3_open(dir.Path("phones.sqlite").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA case_sensitive_like=ON;"
                 "CREATE TABLE phones(tel TEXT, fm TEXT, ul TEXT, nd TEXT, kw TEXT); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO phones VALUES(?1, ?2, ?3, ?4, ?5)", -1, &ins, nullptr);
    const int at[5][2] = {{L::tel, L::telLength}, {L::fm, L::fmLength}, {L::ul, L::ulLength},
                          {L::nd, L::ndLength},   {L::kw, L::kwLength}};
    for (int32_t r = 1; r <= rows.Records(); ++r) {
      for (int c = 0; c < 5; ++c) {
        const std::string v = Cp1251ToUtf8(rows.Trimmed(r, at[c][0], at[c][1]));
        if (v.empty()) sqlite3_bind_null(ins, c + 1);
        else sqlite3_bind_text(ins, c + 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      }
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    if (const char* out = std::getenv("DIRLOOK_BENCH_EXPORT"); out && *out) Export(out, at);
    std::filesystem::current_path(dir.Path(""));
  }

  // The same rows as UTF-8 CSV (an empty field unquoted, so that readers
  // take it as null) and the four searches' values, for timing other
  // engines on exactly these rows (bench/duckdb_window.mjs).
  void Export(const std::string& folder, const int (&at)[5][2]) const {
    std::filesystem::create_directories(folder);
    std::ofstream csv(folder + "/phones.csv", std::ios::binary);
    csv << "tel,fm,ul,nd,kw\n";
    for (int32_t r = 1; r <= rows.Records(); ++r) {
      for (int c = 0; c < 5; ++c) {
        if (c) csv << ',';
        const std::string v = Cp1251ToUtf8(rows.Trimmed(r, at[c][0], at[c][1]));
        if (v.empty()) continue;
        csv << '"';
        for (char ch : v) csv << (ch == '"' ? "\"\"" : std::string(1, ch));
        csv << '"';
      }
      csv << '\n';
    }
    std::ofstream values(folder + "/searches.txt", std::ios::binary);
    for (const std::string& f : fields) values << Cp1251ToUtf8(f) << '\n';
    if (!csv || !values) throw std::runtime_error("cannot write " + folder);
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
  const Setup& d = Data();
  main.tTEL->SetText(search == 0 ? d.fields[0] : "");
  main.tFM->SetText(search == 1 ? d.fields[1] : "");
  main.tUL->SetText(search == 2 ? d.fields[2] : "");
  main.tND->SetText(search == 3 ? d.fields[3] : "");
  main.tKW->SetText(search == 3 ? d.fields[4] : "");
}

void BM_WindowSearch(benchmark::State& state) {
  Data();
  App();
  TMain main(nullptr);
  const int search = static_cast<int>(state.range(0));
  Fill(main, search);
  for (auto _ : state) {
    main.ForgetLastSearch();
    main.bSelect->Click();
  }
  state.counters["rows"] = main.List->Count();
}
BENCHMARK(BM_WindowSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_SqliteSearch(benchmark::State& state) {
  Setup& d = Data();
  const char* const sql[4] = {"select * from phones where tel like ?1", "select * from phones where fm like ?1 || '%'",
                              "select * from phones where ul like ?1 || '%'",
                              "select * from phones where nd = ?1 and kw = ?2"};
  const int search = static_cast<int>(state.range(0));
  const std::string a = Cp1251ToUtf8(d.fields[search == 3 ? 3 : search]);
  const std::string b = Cp1251ToUtf8(d.fields[4]);
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(d.db, sql[search], -1, &q, nullptr);
    sqlite3_bind_text(q, 1, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
    if (search == 3) sqlite3_bind_text(q, 2, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
    rows = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
      for (int c = 0; c < 5; ++c) benchmark::DoNotOptimize(sqlite3_column_text(q, c));
      ++rows;
    }
    sqlite3_finalize(q);
  }
  state.counters["rows"] = static_cast<double>(rows);
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

BENCHMARK_MAIN();
