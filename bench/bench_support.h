// What the benchmarks share: a temporary directory, the generated telephone
// directory (1,000,000 records of TEL C(6), FM C(25), UL C(30), ND C(6),
// KW C(5), Cyrillic CP1251 text with many repeated surnames; made by
// tools/sample_directory) as record images, the table file holding them, an
// index-table link over the images, and the same rows in an SQLite file
// database (sqlite_rows.h holds the SQLite side); the window's four
// searches as a user fills them in.
#pragma once

#include <chrono>

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/table/table_file.h"
#include "directory_generator.h"
#include "index_test_table.h"
#include "platform/code_page.h"
#include "platform/text.h"
#include "sqlite_rows.h"

namespace bench {

// The main() of a program whose benchmarks check their rows against the
// baseline's before timing: runs them all, then fails (exit 1, with
// `message`) when any found a difference.
inline int RunCheckedBenchmarks(int argc, char** argv, const bool& mismatch, const char* message) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (mismatch) {
    std::fprintf(stderr, "%s: %s\n", argv[0], message);
    return 1;
  }
  return 0;
}

// Wall-clock seconds that `f` takes.
template <class F>
double Seconds(F f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Records of the generated directory: 1,000,000, or the number in the
// environment variable DIRLOOK_BENCH_RECORDS (scripts/bench --records N) for
// a shorter run.
inline int32_t DirectoryRecords() {
  static const int32_t n = [] {
    const char* v = std::getenv("DIRLOOK_BENCH_RECORDS");
    const long r = v ? std::strtol(v, nullptr, 10) : 0;
    return r >= 1000 && r <= 100000000 ? static_cast<int32_t>(r) : 1000000;
  }();
  return n;
}

using Layout = sample::Layout;

// A temporary directory for one run, removed at the end.
class BenchDir {
public:
  std::string Path(const std::string& name) const { return dir_ / name; }

private:
  TempDir dir_{"dirlook-bench"};
};

// The synthetic directory's records as images (tools/sample_directory);
// `deletedPercent` of them carry the deletion mark.
class Directory : public sample::DirectoryImages {
public:
  explicit Directory(int deletedPercent = 0, int32_t records = DirectoryRecords(), uint32_t seed = 7,
                     sample::Style style = sample::Style::kSynthetic)
      : DirectoryImages(style, records, seed, deletedPercent) {}

  // The same rows in an SQLite file database (sqlite_rows.h); `indexFm`
  // also builds the index on fm.
  sqlite3* SqliteTable(const std::string& path, bool indexFm) const {
    return WriteSqliteTable(*this, path, {.indexFm = indexFm});
  }

  // Surnames and streets in upper case, as the window's edits type them.
  void UpperCaseNames() {
    for (int32_t r = 1; r <= Records(); ++r) {
      char* image = Image(r);
      for (int i = Layout::fm; i < Layout::nd; ++i)
        image[i] = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(image[i])));
    }
  }
};

// An index's view of the directory: a read makes a record's image current
// and the five fields evaluate from it.
class ImageIndexTable : public ::ImageIndexTable {
public:
  ImageIndexTable(const Directory& data, std::string tableFile, bool isProduction)
      : ::ImageIndexTable(data.Records(), Layout::length,
                          {{"TEL", Layout::tel, 6},
                           {"FM", Layout::fm, 25},
                           {"UL", Layout::ul, 30},
                           {"ND", Layout::nd, 6},
                           {"KW", Layout::kw, 5}}),
        data_(data) {
    fileName = std::move(tableFile);
    production = isProduction;
  }

protected:
  const char* RecordImage(int32_t recno) const override { return data_.Image(recno); }

private:
  const Directory& data_;
};

// The window's five search fields filled from the directory's first
// record, as a user copies them from a printed entry (code page 1251): the
// phone's first three digits with "%" (a LIKE pattern), the surname without
// its initials, the whole street (both prefixes), house and flat.  The
// four searches fill one of them each, the last both house and flat.
struct WindowSearch {
  std::string tel, fm, ul, nd, kw;

  WindowSearch() = default;
  explicit WindowSearch(const Directory& rows) {
    tel = rows.Trimmed(1, Layout::tel, Layout::telLength).substr(0, 3) + "%";
    const std::string name = rows.Trimmed(1, Layout::fm, Layout::fmLength);
    fm = name.substr(0, name.find(' '));
    ul = rows.Trimmed(1, Layout::ul, Layout::ulLength);
    nd = rows.Trimmed(1, Layout::nd, Layout::ndLength);
    kw = rows.Trimmed(1, Layout::kw, Layout::kwLength);
  }
  static constexpr int kSearches = 4;
  static const char* Name(int search) {
    static const char* const names[kSearches] = {"phone pattern", "surname prefix", "street prefix", "house and flat"};
    return names[search];
  }
  // The fields the window has filled for `search`; the others are empty.
  WindowSearch Filled(int search) const {
    WindowSearch f;
    if (search == 0) f.tel = tel;
    if (search == 1) f.fm = fm;
    if (search == 2) f.ul = ul;
    if (search == 3) f.nd = nd, f.kw = kw;
    return f;
  }
  // The same search for SQLite over `table`: every column of the matching
  // rows, UTF-8, the LIKE meant case-sensitive (SqliteOpen's
  // caseSensitiveLike).
  std::string SqliteSql(int search, const std::string& table = "t") const {
    auto lit = [](const std::string& v) {
      std::string q = "'";
      for (char c : Cp1251ToUtf8(v)) q += c == '\'' ? std::string("''") : std::string(1, c);
      return q + "'";
    };
    std::string where;
    switch (search) {
      case 0: where = "tel like " + lit(tel); break;
      case 1: where = "fm like " + lit(fm + "%"); break;
      case 2: where = "ul like " + lit(ul + "%"); break;
      default: where = "nd = " + lit(nd) + " and kw = " + lit(kw); break;
    }
    return "select tel, fm, ul, nd, kw from " + table + " where " + where;
  }

  // The rows as UTF-8 CSV (an empty field unquoted, so that readers take it
  // as null) and the search values, one a line (searches.txt), into
  // `folder`: for timing other engines on exactly these rows and searches
  // (bench/duckdb_window.mjs).
  void Export(const Directory& rows, const std::string& folder) const {
    std::filesystem::create_directories(folder);
    std::ofstream csv(folder + "/phones.csv", std::ios::binary);
    csv << "tel,fm,ul,nd,kw\n";
    const int at[5][2] = {{Layout::tel, Layout::telLength},
                          {Layout::fm, Layout::fmLength},
                          {Layout::ul, Layout::ulLength},
                          {Layout::nd, Layout::ndLength},
                          {Layout::kw, Layout::kwLength}};
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
    for (const std::string* f : {&tel, &fm, &ul, &nd, &kw}) values << Cp1251ToUtf8(*f) << '\n';
    if (!csv || !values) throw std::runtime_error("cannot write " + folder);
  }
};

// What DirectoryFiles makes.
struct DirectoryFilesOptions {
  sample::Style style = sample::Style::kSynthetic;
  uint32_t seed = 7;            // the synthetic directory's; dirlook_sample's is its --seed
  bool upperCaseNames = false;  // surnames and streets as the window types them
  std::string exportTo;         // also WindowSearch::Export the rows there
};

// The directory as phones.dbf and, as UTF-8 text, as table t of phones.db
// (no index), both in a temporary directory of their own; the window's
// searches from its first record.
class DirectoryFiles {
public:
  explicit DirectoryFiles(int32_t records = DirectoryRecords(), const DirectoryFilesOptions& o = {})
      : dbf_(dir_.Path("phones.dbf")), db_(dir_.Path("phones.db")) {
    Directory rows(0, records, o.seed, o.style);
    if (o.upperCaseNames) rows.UpperCaseNames();
    rows.WriteTable(dbf_);
    sqlite3_close(rows.SqliteTable(db_, false));
    search_ = WindowSearch(rows);
    if (!o.exportTo.empty()) search_.Export(rows, o.exportTo);
  }
  const std::string& Dbf() const { return dbf_; }
  const std::string& Db() const { return db_; }
  const WindowSearch& Search() const { return search_; }

private:
  BenchDir dir_;
  std::string dbf_, db_;
  WindowSearch search_;
};

}  // namespace bench
