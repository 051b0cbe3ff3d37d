// The benchmarks' SQLite side, in one place: the generated directory
// written into an SQLite table, a connection set up as a benchmark asks
// (read-only or not, exclusive or default locking, case-sensitive LIKE,
// further pragmas), and the row runners that step a statement to its end
// reading every column as text.
//
// Rows are compared between the engine and SQLite by content, not only by
// count: a RowDigest adds up one hash per row of all its cells (code page
// 1251, trailing blanks dropped, as the engine's fields give them), so two
// multisets of rows agree whatever order either side returns them in.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "directory_generator.h"
#include "platform/code_page.h"

namespace bench {

// An order-independent digest of a multiset of rows: the row count, the
// text length, and the sum and the xor of a 64-bit hash of each row's
// cells (the cell boundaries count, so "ab"|"c" differs from "a"|"bc").
class RowDigest {
public:
  // Cells go in one by one; EndRow closes the row.
  void Cell(std::string_view text) {
    for (unsigned char c : text) hash_ = (hash_ ^ c) * 0x100000001b3ull;
    hash_ = (hash_ ^ 0x1f) * 0x100000001b3ull ^ text.size();
    bytes_ += static_cast<int64_t>(text.size());
  }
  void EndRow() {
    uint64_t z = hash_ + 0x9e3779b97f4a7c15ull;  // one splitmix64 step spreads the bits
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    sum_ += z;
    xor_ ^= z;
    ++rows_;
    hash_ = kStart;
  }
  int64_t Rows() const { return rows_; }
  int64_t Bytes() const { return bytes_; }
  // "rows bytes sum xor" (the two hashes in hex), for scripts that check
  // other engines' rows the same way (bench/duckdb_window.mjs).
  std::string Text() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lld %lld %016llx %016llx", static_cast<long long>(rows_),
                  static_cast<long long>(bytes_), static_cast<unsigned long long>(sum_),
                  static_cast<unsigned long long>(xor_));
    return buf;
  }
  bool operator==(const RowDigest& o) const {
    return rows_ == o.rows_ && bytes_ == o.bytes_ && sum_ == o.sum_ && xor_ == o.xor_;
  }

private:
  static constexpr uint64_t kStart = 0xcbf29ce484222325ull;
  uint64_t hash_ = kStart, sum_ = 0, xor_ = 0;
  int64_t rows_ = 0, bytes_ = 0;
};

// How a benchmark writes the directory into SQLite.
struct SqliteTableOptions {
  const char* table = "t";
  bool indexFm = false;      // also CREATE INDEX i ON <table>(fm)
  bool blankAsNull = false;  // an empty field as NULL, not as ''
};

// The directory's rows written into table (tel, fm, ul, nd, kw) of a new
// SQLite file database as UTF-8 text (SQLite's own encoding, which its LIKE
// and upper() read), trailing blanks dropped as the engine's fields drop
// them; journal and synchronous off.  The connection is returned open.
inline sqlite3* WriteSqliteTable(const sample::DirectoryImages& rows, const std::string& path,
                                 const SqliteTableOptions& o = {}) {
  using L = sample::Layout;
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("sqlite3_open failed: " + path);
  }
  auto exec = [&](const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      const std::string why = sqlite3_errmsg(db);
      sqlite3_close(db);
      throw std::runtime_error("sqlite: " + why);
    }
  };
  const std::string table = o.table;
  exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE " + table +
       "(tel TEXT, fm TEXT, ul TEXT, nd TEXT, kw TEXT); BEGIN;");
  sqlite3_stmt* ins = nullptr;
  if (sqlite3_prepare_v2(db, ("INSERT INTO " + table + " VALUES(?1, ?2, ?3, ?4, ?5)").c_str(), -1, &ins, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("sqlite prepare of the insert failed");
  }
  const int at[5][2] = {
      {L::tel, L::telLength}, {L::fm, L::fmLength}, {L::ul, L::ulLength}, {L::nd, L::ndLength}, {L::kw, L::kwLength}};
  bool ok = true;
  for (int32_t r = 1; ok && r <= rows.Records(); ++r) {
    for (int c = 0; c < 5; ++c) {
      const std::string v = Cp1251ToUtf8(rows.Trimmed(r, at[c][0], at[c][1]));
      if (v.empty() && o.blankAsNull) sqlite3_bind_null(ins, c + 1);
      else sqlite3_bind_text(ins, c + 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    ok = sqlite3_step(ins) == SQLITE_DONE;
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  if (!ok) {
    sqlite3_close(db);
    throw std::runtime_error("sqlite insert failed");
  }
  exec("COMMIT;");
  if (o.indexFm) exec("CREATE INDEX i ON " + table + "(fm);");
  return db;
}

// How a benchmark opens an SQLite database.
struct SqliteOpen {
  bool readOnly = true;
  // locking_mode=EXCLUSIVE: one lock for the connection's life, against an
  // unshared open of ours; the default mode against a shared one.
  bool exclusive = true;
  bool caseSensitiveLike = false;  // PRAGMA case_sensitive_like=ON
  const char* pragmas = nullptr;   // anything more, run after opening
  // Tuned for reading, as a user who cares about speed sets a connection
  // up: mmap_size large enough for the whole file (read in place, not
  // copied out of the kernel's cache), and with fileSizedCache also a
  // page cache of the file's size.  The large cache speeds a scan but
  // slows GROUP BY and ORDER BY, whose sorter sizes its in-memory runs by
  // it: a benchmark that means the strongest SQLite times both set-ups
  // and keeps the faster (TunedSqlite).
  bool mapFile = false;
  bool fileSizedCache = false;
};

// One connection and the row runners.
class SqliteDb {
public:
  explicit SqliteDb(const std::string& path, bool exclusive = true) : SqliteDb(path, SqliteOpen{true, exclusive}) {}
  SqliteDb(const std::string& path, const SqliteOpen& o) {
    const int flags = o.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      throw std::runtime_error("sqlite3_open_v2 failed: " + path);
    }
    try {
      SetUp(path, o);
    } catch (...) {
      sqlite3_close(db_);  // the destructor does not run for a throwing constructor
      throw;
    }
  }
  // Takes over a connection already open (WriteSqliteTable's).
  explicit SqliteDb(sqlite3* adopted) : db_(adopted) {
    if (!db_) throw std::runtime_error("no SQLite connection");
  }
  ~SqliteDb() { sqlite3_close(db_); }
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
  }
  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db_));
    return st;
  }
  // Finalizes `st` whose last step returned `rc`; a failing step throws.
  void Finish(sqlite3_stmt* st, int rc) {
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
  }

  // Prepares `sql`, steps to its last row reading every column as text,
  // finalizes: the row count, in `bytes` the text read.  With `digest` the
  // rows also go into it, each cell turned into code page 1251 (outside
  // any timing: the conversion costs more than the scan).
  int64_t Scan(const std::string& sql, int64_t* bytes = nullptr, RowDigest* digest = nullptr) {
    sqlite3_stmt* st = Prepare(sql);
    const int columns = sqlite3_column_count(st);
    int64_t rows = 0, n = 0;
    std::string cell;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      ++rows;
      for (int c = 0; c < columns; ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        const int len = sqlite3_column_bytes(st, c);
        n += len;
        if (digest) digest->Cell(Cp1251Cell(v, cell));
      }
      if (digest) digest->EndRow();
    }
    Finish(st, rc);
    if (bytes) *bytes = n;
    return rows;
  }
  // EXPLAIN QUERY PLAN of `sql`: its steps' details, one a line.
  std::string Plan(const std::string& sql) {
    sqlite3_stmt* st = Prepare("EXPLAIN QUERY PLAN " + sql);
    std::string plan;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const unsigned char* detail = sqlite3_column_text(st, 3);
      plan += detail ? reinterpret_cast<const char*>(detail) : "";
      plan += '\n';
    }
    Finish(st, rc);
    return plan;
  }
  // The number of rows `sql` gives, stepping without reading them.
  int64_t Count(const std::string& sql) {
    sqlite3_stmt* st = Prepare(sql);
    int64_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) ++rows;
    Finish(st, rc);
    return rows;
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
        if (c > 0) row += "|";
        row += Cp1251Cell(sqlite3_column_text(st, c), cell);
      }
      rows.push_back(std::move(row));
    }
    Finish(st, rc);
    return rows;
  }
  sqlite3* Handle() { return db_; }

private:
  // The connection's pragmas as `o` asks.
  void SetUp(const std::string& path, const SqliteOpen& o) {
    if (o.pragmas) Exec(o.pragmas);
    // Rounded up to a whole MB, with one more for the pages the file grows
    // by while the connection lives.
    const uintmax_t mb = o.mapFile || o.fileSizedCache ? std::filesystem::file_size(path) / (1 << 20) + 2 : 0;
    if (o.fileSizedCache) Exec("PRAGMA cache_size=-" + std::to_string(mb << 10) + ";");
    if (o.mapFile) {
      Exec("PRAGMA mmap_size=" + std::to_string(mb << 20) + ";");
      // SQLite caps the map at a size fixed when it was built (2 GB by
      // default): a map smaller than asked would be a weaker baseline
      // than it claims to be.
      sqlite3_stmt* st = Prepare("PRAGMA mmap_size");
      const int rc = sqlite3_step(st);
      const sqlite3_int64 mapped = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
      sqlite3_finalize(st);
      if (static_cast<uintmax_t>(mapped) < (mb << 20))
        throw std::runtime_error("SQLite maps at most " + std::to_string(mapped) + " bytes of " + path);
    }
    if (o.caseSensitiveLike) Exec("PRAGMA case_sensitive_like=ON;");
    if (o.exclusive) Exec("PRAGMA locking_mode=EXCLUSIVE;");
  }

  // A cell's UTF-8 text in code page 1251 (NULL as empty), in `buffer`.
  static const std::string& Cp1251Cell(const unsigned char* v, std::string& buffer) {
    buffer.clear();
    if (v && !Utf8ToCp1251(reinterpret_cast<const char*>(v), buffer))
      throw std::runtime_error("SQLite gave text outside code page 1251");
    return buffer;
  }

  sqlite3* db_ = nullptr;
};

// SQLite tuned for reading (SqliteOpen's mapFile), in both set-ups of its
// page cache: the file's size and the default.  Time runs the same work on
// both and gives the faster time.
class TunedSqlite {
public:
  TunedSqlite(const std::string& path, SqliteOpen o) : cached_(path, With(o, true)), mapped_(path, With(o, false)) {}
  SqliteDb& Cached() { return cached_; }
  SqliteDb& Mapped() { return mapped_; }
  // The faster of `work(Cached())` and `work(Mapped())`, in wall-clock
  // seconds.
  template <class Work>
  double Time(Work work) {
    return std::min(Seconds(work, cached_), Seconds(work, mapped_));
  }

private:
  template <class Work>
  static double Seconds(Work& work, SqliteDb& db) {
    const auto t0 = std::chrono::steady_clock::now();
    work(db);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  static SqliteOpen With(SqliteOpen o, bool cache) {
    o.mapFile = true;
    o.fileSizedCache = cache;
    return o;
  }
  SqliteDb cached_, mapped_;
};

}  // namespace bench
