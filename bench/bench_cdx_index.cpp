// CDX tag build and seeks against SQLite's index on the same rows.
//
// 1,000,000 directory surnames (FM, C(25), CP1251 Cyrillic, many repeats)
// are generated once.  BM_CdxBuild builds a MACHINE tag on FM in a new CDX
// file (key sorter, bottom-up leaves and interior nodes, file writes);
// BM_SqliteCreateIndex runs CREATE INDEX on a table holding the same rows in
// a file database (journal off, synchronous off).  BM_CdxSeek and
// BM_SqliteSeek look up the same 100,000 random existing keys, each as an
// exact find of the first record with that key.  The ratios of the pairs are
// what matters.
//
// SQLite is reached through dlopen of the system's libsqlite3, so the
// benchmark needs no build dependency on it; without it the SQLite halves
// report an error and the CDX halves still run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbf_engine/cdx_index.h"
#include "dbf_engine/expression.h"
#include "dbf_engine/index_table_link.h"

namespace {

constexpr int32_t kRecords = 1000000;
constexpr int32_t kSeeks = 100000;

struct Data {
  std::vector<std::string> fm;     // record i+1
  std::vector<int32_t> seekRecs;   // records whose keys are sought
  std::string dir;

  Data() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dirlook-cdx-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir = buf.data();
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> upper(0xC0, 0xDF), lower(0xE0, 0xFF), len(4, 11), ini(0xC0, 0xDF);
    std::vector<std::string> surnames(60000);
    for (auto& s : surnames) {
      s += static_cast<char>(upper(rng));
      for (int i = len(rng); i > 0; --i) s += static_cast<char>(lower(rng));
    }
    std::uniform_int_distribution<size_t> pick(0, surnames.size() - 1);
    fm.reserve(kRecords);
    for (int32_t i = 0; i < kRecords; ++i) {
      std::string s = surnames[pick(rng)] + ' ' + static_cast<char>(ini(rng)) + '.' + static_cast<char>(ini(rng)) + '.';
      s.resize(25, ' ');
      fm.push_back(std::move(s));
    }
    std::uniform_int_distribution<int32_t> rec(1, kRecords);
    for (int32_t i = 0; i < kSeeks; ++i) seekRecs.push_back(rec(rng));
  }
  ~Data() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Data& TheData() {
  static Data d;
  return d;
}

class Table;

class FmVar : public TcvUserDefFieldVar {
public:
  explicit FmVar(Table* t) : TcvUserDefFieldVar("FM"), t_(t) {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override;

private:
  Table* t_;
};

class Table : public CVobjIndexTableLink {
public:
  Table() { link_.RegisterFieldVar(std::make_shared<FmVar>(this)); }
  const std::string& Fm() const {
    static const std::string blank(25, ' ');
    return current_ >= 1 && current_ <= kRecords ? TheData().fm[static_cast<size_t>(current_ - 1)] : blank;
  }
  int32_t ixRecordCount() override { return kRecords; }
  int32_t ixCurrentRecord() override { return current_; }
  bool ixReadRecord(int32_t recno) override {
    current_ = recno;
    return true;
  }
  bool ixHasOriginalRecord() override { return false; }
  bool ixRecordModified() override { return false; }
  void ixUseOriginalRecord(bool) override {}
  bool ixExactMatch() override { return true; }
  TcvExpUserLink* ixExpressionLink() override { return &link_; }
  void ixStatusUpdate(int32_t, int32_t, int32_t) override {}
  std::string ixReadKey() override { return {}; }
  std::string ixWriteKey() override { return {}; }
  std::string ixTableFileName() override { return TheData().dir + "/phones.dbf"; }
  bool ixProductionIndex() override { return true; }
  void ixSetProductionIndex(bool) override {}
  int32_t ixAccessRetries() override { return 1; }

private:
  TcvExpUserLink link_;
  int32_t current_ = 0;
};

void FmVar::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  value.SetText(t_->Fm());
  type = rtText;
}

std::string CdxPath() { return TheData().dir + "/phones.cdx"; }

void BuildCdx(Table& table) {
  std::filesystem::remove(CdxPath());
  CVobjCDXFile f(&table, CdxPath(), true, false, true, true);
  f.AddTag("FM", "FM", "", true, false);
}

void BM_CdxBuild(benchmark::State& state) {
  Table table;
  for (auto _ : state) BuildCdx(table);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_CdxBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CdxSeek(benchmark::State& state) {
  Table table;
  if (!std::filesystem::exists(CdxPath())) BuildCdx(table);
  CVobjCDXFile f(&table, CdxPath(), false, false, false, false);
  CVobjIndexTag* tag = f.TagByName("FM");
  TcvVariant key;
  int64_t found = 0;
  for (auto _ : state) {
    for (int32_t rec : TheData().seekRecs) {
      key.PutString(TheData().fm[static_cast<size_t>(rec - 1)]);
      found += tag->KeyFind(key) != 0;
    }
  }
  if (found != static_cast<int64_t>(state.iterations()) * kSeeks) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_CdxSeek)->Unit(benchmark::kMillisecond)->Iterations(3);

// The few SQLite entry points used, loaded at run time.
struct Sqlite {
  void* lib = nullptr;
  int (*open)(const char*, void**) = nullptr;
  int (*close)(void*) = nullptr;
  int (*exec)(void*, const char*, void*, void*, char**) = nullptr;
  int (*prepare)(void*, const char*, int, void**, const char**) = nullptr;
  int (*bindText)(void*, int, const char*, int, void (*)(void*)) = nullptr;
  int (*step)(void*) = nullptr;
  int (*reset)(void*) = nullptr;
  int (*finalize)(void*) = nullptr;
  int64_t (*columnInt64)(void*, int) = nullptr;

  Sqlite() {
    lib = ::dlopen("libsqlite3.so.0", RTLD_NOW);
    if (!lib) return;
    open = reinterpret_cast<decltype(open)>(::dlsym(lib, "sqlite3_open"));
    close = reinterpret_cast<decltype(close)>(::dlsym(lib, "sqlite3_close"));
    exec = reinterpret_cast<decltype(exec)>(::dlsym(lib, "sqlite3_exec"));
    prepare = reinterpret_cast<decltype(prepare)>(::dlsym(lib, "sqlite3_prepare_v2"));
    bindText = reinterpret_cast<decltype(bindText)>(::dlsym(lib, "sqlite3_bind_text"));
    step = reinterpret_cast<decltype(step)>(::dlsym(lib, "sqlite3_step"));
    reset = reinterpret_cast<decltype(reset)>(::dlsym(lib, "sqlite3_reset"));
    finalize = reinterpret_cast<decltype(finalize)>(::dlsym(lib, "sqlite3_finalize"));
    columnInt64 = reinterpret_cast<decltype(columnInt64)>(::dlsym(lib, "sqlite3_column_int64"));
    if (!open || !close || !exec || !prepare || !bindText || !step || !reset || !finalize || !columnInt64) lib = nullptr;
  }
  bool Ok() const { return lib != nullptr; }
};

Sqlite& Lite() {
  static Sqlite s;
  return s;
}

constexpr int kSqliteRow = 100;  // SQLITE_ROW

// A file database with the rows (and, when `indexed`, the index).
void* SqliteTable(bool indexed) {
  Sqlite& s = Lite();
  const std::string path = TheData().dir + (indexed ? "/indexed.db" : "/plain.db");
  std::filesystem::remove(path);
  void* db = nullptr;
  s.open(path.c_str(), &db);
  s.exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE t(fm TEXT); BEGIN;", nullptr, nullptr,
         nullptr);
  void* insNo = nullptr;
  s.prepare(db, "INSERT INTO t(fm) VALUES(?1)", -1, &insNo, nullptr);
  for (const std::string& fm : TheData().fm) {
    // Trailing blanks dropped, as the index keys are.
    std::string k = fm;
    while (!k.empty() && k.back() == ' ') k.pop_back();
    s.bindText(insNo, 1, k.data(), static_cast<int>(k.size()), nullptr);
    s.step(insNo);
    s.reset(insNo);
  }
  s.finalize(insNo);
  s.exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  if (indexed) s.exec(db, "CREATE INDEX i ON t(fm);", nullptr, nullptr, nullptr);
  return db;
}

void BM_SqliteCreateIndex(benchmark::State& state) {
  Sqlite& s = Lite();
  if (!s.Ok()) {
    state.SkipWithError("libsqlite3.so.0 not loadable");
    return;
  }
  void* db = SqliteTable(false);
  for (auto _ : state) {
    s.exec(db, "DROP INDEX IF EXISTS i;", nullptr, nullptr, nullptr);
    s.exec(db, "CREATE INDEX i ON t(fm);", nullptr, nullptr, nullptr);
  }
  s.close(db);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteSeek(benchmark::State& state) {
  Sqlite& s = Lite();
  if (!s.Ok()) {
    state.SkipWithError("libsqlite3.so.0 not loadable");
    return;
  }
  void* db = SqliteTable(true);
  void* q = nullptr;
  s.prepare(db, "SELECT rowid FROM t WHERE fm = ?1 ORDER BY fm, rowid LIMIT 1", -1, &q, nullptr);
  int64_t found = 0;
  for (auto _ : state) {
    for (int32_t rec : TheData().seekRecs) {
      std::string k = TheData().fm[static_cast<size_t>(rec - 1)];
      while (!k.empty() && k.back() == ' ') k.pop_back();
      s.bindText(q, 1, k.data(), static_cast<int>(k.size()), nullptr);
      if (s.step(q) == kSqliteRow) found += s.columnInt64(q, 0) > 0;
      s.reset(q);
    }
  }
  s.finalize(q);
  s.close(db);
  if (found != static_cast<int64_t>(state.iterations()) * kSeeks) state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations() * kSeeks);
}
BENCHMARK(BM_SqliteSeek)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
