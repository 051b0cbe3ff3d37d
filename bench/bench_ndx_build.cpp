// NDX build on FM against SQLite's CREATE INDEX on the same rows.
//
// A directory of 1,000,000 records (TEL C(6), FM C(25), UL C(30), ND C(6),
// KW C(5), CP1251 Cyrillic text, many repeated surnames) is generated once as
// 73-byte record images.  BM_NdxBuild builds an NDX on FM in a new file: for
// every record the image is made current, the key expression FM is evaluated
// from it, the keys go through the key sorter and the tree is written
// bottom-up.  BM_SqliteCreateIndex runs CREATE INDEX on FM of a table holding
// the same five columns in a file database (journal off, synchronous off).
// The ratio of the two is what matters; it is printed as the counter
// "ndx_over_sqlite" of the second.
//
// SQLite is reached through dlopen of the system's libsqlite3 (as in
// bench_cdx_index.cpp); without it the SQLite half reports an error.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbf_engine/expression.h"
#include "dbf_engine/index_table_link.h"
#include "dbf_engine/ndx_index.h"

namespace {

constexpr int32_t kRecords = 1000000;

// Offsets in a record image (the deletion flag first).
struct Layout {
  static constexpr int tel = 1, fm = 7, ul = 32, nd = 62, kw = 68, length = 73;
};

struct Data {
  std::vector<char> images;  // kRecords * Layout::length bytes
  std::string dir;
  double ndxMs = 0;  // last NDX build time, for the ratio

  Data() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dirlook-ndx-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir = buf.data();
    Generate();
  }
  ~Data() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  const char* Image(int32_t rec) const { return images.data() + static_cast<size_t>(rec - 1) * Layout::length; }
  std::string Field(int32_t rec, int at, int len) const { return std::string(Image(rec) + at, static_cast<size_t>(len)); }

private:
  void Generate() {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> upper(0xC0, 0xDF), lower(0xE0, 0xFF), len(4, 11), digit(0, 9);
    auto word = [&](int n) {
      std::string s(1, static_cast<char>(upper(rng)));
      for (int i = 1; i < n; ++i) s += static_cast<char>(lower(rng));
      return s;
    };
    std::vector<std::string> surnames(60000), streets(3000);
    for (auto& s : surnames) s = word(len(rng) + 1);
    for (auto& s : streets) s = word(len(rng) + 2);
    std::uniform_int_distribution<size_t> pickName(0, surnames.size() - 1), pickStreet(0, streets.size() - 1);
    std::uniform_int_distribution<int> house(1, 200), flat(1, 300), kw(1, 40);
    images.assign(static_cast<size_t>(kRecords) * Layout::length, ' ');
    auto put = [](char* at, const std::string& s, int width) {
      std::memcpy(at, s.data(), std::min(s.size(), static_cast<size_t>(width)));
    };
    for (int32_t r = 1; r <= kRecords; ++r) {
      char* img = images.data() + static_cast<size_t>(r - 1) * Layout::length;
      std::string tel;
      for (int i = 0; i < 6; ++i) tel += static_cast<char>('0' + digit(rng));
      put(img + Layout::tel, tel, 6);
      put(img + Layout::fm,
          surnames[pickName(rng)] + ' ' + static_cast<char>(upper(rng)) + '.' + static_cast<char>(upper(rng)) + '.', 25);
      put(img + Layout::ul, streets[pickStreet(rng)], 30);
      put(img + Layout::nd, std::to_string(house(rng)), 6);
      put(img + Layout::kw, std::to_string(flat(rng) % kw(rng)), 5);
    }
  }
};

Data& TheData() {
  static Data d;
  return d;
}

class Table;

// A character field of the current record image.
class FieldVar : public TcvUserDefFieldVar {
public:
  FieldVar(Table* t, const char* name, int at, int len) : TcvUserDefFieldVar(name), t_(t), at_(at), len_(len) {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override;

private:
  Table* t_;
  int at_, len_;
};

class Table : public CVobjIndexTableLink {
public:
  Table() {
    link_.RegisterFieldVar(std::make_shared<FieldVar>(this, "TEL", Layout::tel, 6));
    link_.RegisterFieldVar(std::make_shared<FieldVar>(this, "FM", Layout::fm, 25));
    link_.RegisterFieldVar(std::make_shared<FieldVar>(this, "UL", Layout::ul, 30));
    link_.RegisterFieldVar(std::make_shared<FieldVar>(this, "ND", Layout::nd, 6));
    link_.RegisterFieldVar(std::make_shared<FieldVar>(this, "KW", Layout::kw, 5));
    std::memset(image_, ' ', sizeof image_);
  }
  const char* Image() const { return image_; }
  int32_t ixRecordCount() override { return kRecords; }
  int32_t ixCurrentRecord() override { return current_; }
  bool ixReadRecord(int32_t recno) override {
    if (recno < 1 || recno > kRecords) return false;
    // The record buffer is filled from the table, as a read does.
    std::memcpy(image_, TheData().Image(recno), Layout::length);
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
  bool ixProductionIndex() override { return false; }
  void ixSetProductionIndex(bool) override {}
  int32_t ixAccessRetries() override { return 1; }

private:
  TcvExpUserLink link_;
  int32_t current_ = 0;
  char image_[Layout::length];
};

void FieldVar::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  value.SetText(std::string(t_->Image() + at_, static_cast<size_t>(len_)));
  type = rtText;
}

void BM_NdxBuild(benchmark::State& state) {
  Table table;
  const std::string path = TheData().dir + "/fm.ndx";
  TheData();  // generated outside the timing
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::filesystem::remove(path);
      CVobjNDXFile f(&table, path, true, false, true, true);
      f.AddTag("FM", "FM", "", true, false);
    }
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  TheData().ndxMs = total / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_NdxBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

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
    if (!open || !close || !exec || !prepare || !bindText || !step || !reset || !finalize) lib = nullptr;
  }
  bool Ok() const { return lib != nullptr; }
};

void BM_SqliteCreateIndex(benchmark::State& state) {
  static Sqlite s;
  if (!s.Ok()) {
    state.SkipWithError("libsqlite3.so.0 not loadable");
    return;
  }
  const Data& d = TheData();
  const std::string path = d.dir + "/phones.db";
  std::filesystem::remove(path);
  void* db = nullptr;
  s.open(path.c_str(), &db);
  s.exec(db,
         "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
         "CREATE TABLE t(tel TEXT, fm TEXT, ul TEXT, nd TEXT, kw TEXT); BEGIN;",
         nullptr, nullptr, nullptr);
  void* ins = nullptr;
  s.prepare(db, "INSERT INTO t VALUES(?1, ?2, ?3, ?4, ?5)", -1, &ins, nullptr);
  const int at[] = {Layout::tel, Layout::fm, Layout::ul, Layout::nd, Layout::kw};
  const int len[] = {6, 25, 30, 6, 5};
  for (int32_t r = 1; r <= kRecords; ++r) {
    for (int c = 0; c < 5; ++c) {
      // Trailing blanks dropped, as the index keys are.
      std::string v = d.Field(r, at[c], len[c]);
      while (!v.empty() && v.back() == ' ') v.pop_back();
      s.bindText(ins, c + 1, v.data(), static_cast<int>(v.size()), reinterpret_cast<void (*)(void*)>(static_cast<intptr_t>(-1)));
    }
    s.step(ins);
    s.reset(ins);
  }
  s.finalize(ins);
  s.exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  double total = 0;
  for (auto _ : state) {
    s.exec(db, "DROP INDEX IF EXISTS i;", nullptr, nullptr, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    s.exec(db, "CREATE INDEX i ON t(fm);", nullptr, nullptr, nullptr);
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  s.close(db);
  const double sqliteMs = total / static_cast<double>(state.iterations());
  if (d.ndxMs > 0 && sqliteMs > 0) state.counters["ndx_over_sqlite"] = d.ndxMs / sqliteMs;
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
