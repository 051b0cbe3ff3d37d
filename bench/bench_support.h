// What the benchmarks share: a temporary directory, the generated telephone
// directory (1,000,000 records of TEL C(6), FM C(25), UL C(30), ND C(6),
// KW C(5), Cyrillic CP1251 text with many repeated surnames; made by
// tools/sample_directory) as record images, the table file holding them, an
// index-table link over the images, and the same rows in an SQLite file
// database.
#pragma once

#include <chrono>

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
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

namespace bench {

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

  // The same rows in an SQLite file database as UTF-8 text (SQLite's own
  // encoding, which its LIKE and upper() read), trailing blanks dropped as
  // the index keys drop them; `indexFm` also builds the index on fm.
  sqlite3* SqliteTable(const std::string& path, bool indexFm) const {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open failed");
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                 "CREATE TABLE t(tel TEXT, fm TEXT, ul TEXT, nd TEXT, kw TEXT); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?1, ?2, ?3, ?4, ?5)", -1, &ins, nullptr);
    const int at[] = {Layout::tel, Layout::fm, Layout::ul, Layout::nd, Layout::kw};
    const int len[] = {6, 25, 30, 6, 5};
    for (int32_t r = 1; r <= Records(); ++r) {
      for (int c = 0; c < 5; ++c) {
        const std::string v = Cp1251ToUtf8(Trimmed(r, at[c], len[c]));
        sqlite3_bind_text(ins, c + 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
      }
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    if (indexFm) sqlite3_exec(db, "CREATE INDEX i ON t(fm);", nullptr, nullptr, nullptr);
    return db;
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

// An SQLite database of the directory opened read-only, as the query
// benchmarks run their statements: `locking_mode=EXCLUSIVE` against an
// unshared dataset, or the default mode against a shared one.
class SqliteDb {
public:
  explicit SqliteDb(const std::string& path, bool exclusive = true) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      throw std::runtime_error("sqlite3_open_v2 failed: " + path);
    }
    if (exclusive) sqlite3_exec(db_, "PRAGMA locking_mode=EXCLUSIVE;", nullptr, nullptr, nullptr);
  }
  ~SqliteDb() { sqlite3_close(db_); }
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db_));
    return st;
  }
  // Steps `st` to its end and finalizes it; a failing step throws.
  void Finish(sqlite3_stmt* st, int rc) {
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
  }
  // Every row of `sql`, its cells joined by '|', the UTF-8 text the table
  // holds turned back into code page 1251 as the engine gives it.
  std::vector<std::string> Rows(const std::string& sql) {
    sqlite3_stmt* st = Prepare(sql);
    std::vector<std::string> rows;
    std::string cell;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        if (c > 0) row += "|";
        if (v && !Utf8ToCp1251(reinterpret_cast<const char*>(v), cell))
          throw std::runtime_error("SQLite gave text outside code page 1251");
        if (v) row += cell;
      }
      rows.push_back(std::move(row));
    }
    Finish(st, rc);
    return rows;
  }

private:
  sqlite3* db_ = nullptr;
};

// The directory as phones.dbf and, as UTF-8 text, as table t of phones.db
// (no index), both in a temporary directory of their own.
class DirectoryFiles {
public:
  explicit DirectoryFiles(int32_t records = DirectoryRecords())
      : dbf_(dir_.Path("phones.dbf")), db_(dir_.Path("phones.db")) {
    const Directory rows(0, records);
    rows.WriteTable(dbf_);
    sqlite3_close(rows.SqliteTable(db_, false));
  }
  const std::string& Dbf() const { return dbf_; }
  const std::string& Db() const { return db_; }

private:
  BenchDir dir_;
  std::string dbf_, db_;
};

}  // namespace bench
