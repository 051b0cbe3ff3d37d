// The key sorter under a memory budget: runs that outgrow it go to a
// temporary file.  Whatever the budget, the keys come back in the same
// order and index files come out byte for byte the same; the temporary file
// never outlives the sorter, and a file that cannot be written is a clear
// error.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cdx_test_table.h"
#include "dbf_engine/expr/value_buffer.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"

namespace {

// Points TMPDIR somewhere for one test and puts it back.
class TempDirGuard {
public:
  explicit TempDirGuard(const std::string& dir) {
    if (const char* t = std::getenv("TMPDIR")) saved_ = t, had_ = true;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempDirGuard() {
    if (had_) ::setenv("TMPDIR", saved_.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }

private:
  std::string saved_;
  bool had_ = false;
};

// Sets the budget new sorters take, and restores the default.
struct BudgetGuard {
  explicit BudgetGuard(size_t bytes) { TcvSort::SetDefaultMemoryBudget(bytes); }
  ~BudgetGuard() { TcvSort::SetDefaultMemoryBudget(0); }
};

bool DirEmpty(const fs::path& d) { return fs::is_empty(d); }

struct Out {
  uint8_t kind;
  std::string bytes;
  int32_t recno;
  bool operator==(const Out&) const = default;
};

std::vector<Out> Drain(TcvSort& s) {
  std::vector<Out> out;
  TcvSort::RawKey k;
  for (bool ok = s.GetFirstRaw(k); ok; ok = s.GetNextRaw(k))
    out.push_back(
        {k.kind, std::string(reinterpret_cast<const char*>(k.bytes), static_cast<size_t>(k.length)), k.recno});
  return out;
}

// Feeds the same mixed keys to a sorter: text with shared stems and
// repeats, and per `kind` floats or dates.
void Feed(TcvSort& s, int kind, int n, const uint8_t* collate, size_t* peak) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> letter(0xC0, 0xFF), stem(0, 400), small(-5000, 5000);
  for (int i = 1; i <= n; ++i) {
    const int32_t rec = static_cast<int32_t>((int64_t{i} * 7919) % n + 1);  // not in record order
    if (kind == 0) {
      std::string k = "S" + std::to_string(stem(rng)) + char(letter(rng)) + char(letter(rng));
      if (i % 11 == 0) k = "SAME";
      if (collate) k[0] = static_cast<char>(letter(rng));
      s.AddTextKey(k, rec);
    } else if (kind == 1) {
      s.AddFloatKey(i % 13 == 0 ? 0.0 : small(rng) / 8.0, rec);
    } else {
      s.AddDateKey(2451545 + small(rng), rec);
    }
    if (peak) *peak = std::max(*peak, s.MemoryInUse());
  }
}

}  // namespace

// Text (byte order and collated), float and date keys, plain, unique and
// descending: a budget so small that nearly every run is spilled gives the
// same sequence as the default one.
TEST(KeySorterSpill, TinyBudgetGivesTheSameOrder) {
  const fs::path tmp = fs::temp_directory_path() / ("sorter_spill_" + std::to_string(::getpid()));
  fs::create_directories(tmp);
  TempDirGuard td(tmp.string());
  uint8_t collate[256];
  for (int i = 0; i < 256; ++i) collate[i] = static_cast<uint8_t>(255 - i);
  const int n = 60000;
  for (int kind = 0; kind < 3; ++kind)
    for (bool unique : {false, true})
      for (bool asc : {true, false})
        for (const uint8_t* col : {static_cast<const uint8_t*>(nullptr), static_cast<const uint8_t*>(collate)}) {
          if (kind != 0 && col) continue;
          SCOPED_TRACE("kind " + std::to_string(kind) + " unique " + std::to_string(unique) + " asc " +
                       std::to_string(asc) + (col ? " collated" : ""));
          TcvSort big(20, unique, asc, col);
          Feed(big, kind, n, col, nullptr);
          TcvSort tiny(20, unique, asc, col);
          tiny.SetMemoryBudget(1);
          size_t peak = 0;
          Feed(tiny, kind, n, col, &peak);
          EXPECT_GT(tiny.SpilledRunCount(), 3u);
          EXPECT_EQ(big.SpilledRunCount(), 0u);
          // The smallest batch and the blocks of the merge.
          EXPECT_LT(peak, 512u * 1024);
          // The file is unlinked from the start.
          EXPECT_TRUE(DirEmpty(tmp));
          const auto want = Drain(big);
          ASSERT_EQ(Drain(tiny), want);
          if (unique) {
            EXPECT_EQ(tiny.OutputCount(), static_cast<int32_t>(want.size()));
          }
        }
  EXPECT_TRUE(DirEmpty(tmp));
  fs::remove_all(tmp);
}

// The memory a build holds stays under its budget however many keys come.
TEST(KeySorterSpill, MemoryStaysWithinTheBudget) {
  const size_t budget = 3u << 20;
  TcvSort s(20, false, true);
  s.SetMemoryBudget(budget);
  size_t peak = 0;
  Feed(s, 0, 400000, nullptr, &peak);
  EXPECT_GT(s.SpilledRunCount(), 0u);
  EXPECT_LE(peak, budget + TcvSort::RunBlockSize * 4);
  TcvSort::RawKey a, b;
  ASSERT_TRUE(s.GetFirstRaw(a));
  int32_t count = 1;
  while (s.GetNextRaw(b)) {
    ++count;
    const int c = std::memcmp(a.bytes, b.bytes, static_cast<size_t>(std::min(a.length, b.length)));
    ASSERT_TRUE(c < 0 || (c == 0 && (a.length < b.length || (a.length == b.length && a.recno < b.recno))))
        << count << " " << std::string(reinterpret_cast<char*>(a.bytes), a.length) << "/" << a.recno << " "
        << std::string(reinterpret_cast<char*>(b.bytes), b.length) << "/" << b.recno;
    a = b;
  }
  EXPECT_EQ(count, 400000);
}

TEST(KeySorterSpill, UnwritableTempDirIsAClearError) {
  const fs::path missing = fs::temp_directory_path() / ("no_such_dir_" + std::to_string(::getpid()));
  TempDirGuard td(missing.string());
  TcvSort s(20, false, true);
  s.SetMemoryBudget(1);
  try {
    Feed(s, 0, 60000, nullptr, nullptr);
    FAIL() << "spilled into a missing directory";
  } catch (const ECorvidError& e) {
    EXPECT_NE(std::string(e.what()).find("Error writing to " + missing.string()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(missing));
}

// A spill that runs out of room (a file size limit here) fails with the
// write error and leaves nothing in the temporary directory.
TEST(KeySorterSpill, FailedSpillWriteLeavesNoFile) {
  const fs::path tmp = fs::temp_directory_path() / ("sorter_full_" + std::to_string(::getpid()));
  fs::create_directories(tmp);
  {
    TempDirGuard td(tmp.string());
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string error;
    {
      TcvSort s(20, false, true);
      s.SetMemoryBudget(1);
      try {
        Feed(s, 0, 100000, nullptr, nullptr);
        TcvSort::RawKey k;
        s.GetFirstRaw(k);
      } catch (const ECorvidError& e) {
        error = e.what();
      }
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(error.rfind("Error writing to " + tmp.string(), 0), 0u) << error;
    EXPECT_TRUE(DirEmpty(tmp));
  }
  fs::remove_all(tmp);
}

namespace {

std::vector<uint8_t> Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class SpillIndexBuild : public CdxTest {
protected:
  void Fill(int n) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> stem(0, 900), num(-20000, 20000), day(0, 3000);
    for (int i = 1; i <= n; ++i) table.Add(i % 9 == 0 ? "SAME" : Name(stem(rng)), num(rng) / 4.0, 2451545 + day(rng));
  }
  // Builds one tag into `file` with the default budget, and again with a
  // tiny one; the two files must match.
  template <class File>
  void Compare(const std::string& ext, const std::string& key, bool asc, bool unique) {
    SCOPED_TRACE(ext + " " + key + (asc ? " asc" : " desc") + (unique ? " unique" : ""));
    std::vector<uint8_t> files[2];
    for (int pass = 0; pass < 2; ++pass) {
      BudgetGuard budget(pass == 0 ? 0 : 1);
      const fs::path p = dir / ("t" + std::to_string(pass) + "." + ext);
      fs::remove(p);
      {
        File f(&table, p.string(), true, false, true, true);
        f.AddTag("T", key, "", asc, unique);
      }
      files[pass] = Bytes(p);
    }
    ASSERT_GT(files[0].size(), 4096u);
    EXPECT_TRUE(files[0] == files[1]);
  }
};

}  // namespace

TEST_F(SpillIndexBuild, IndexFilesMatchWhateverTheBudget) {
  const fs::path tmp = dir / "tmp";
  fs::create_directories(tmp);
  TempDirGuard td(tmp.string());
  Fill(40000);
  for (const std::string key : {"NAME", "NUM", "DAT"})
    for (bool unique : {false, true}) {
      Compare<CVobjNDXFile>("ndx", key, true, unique);
      Compare<CVobjNTXFile>("ntx", key, true, unique);
      for (bool asc : {true, false}) {
        Compare<CVobjMDXFile>("mdx", key, asc, unique);
        Compare<CVobjCDXFile>("cdx", key, asc, unique);
      }
    }
  EXPECT_TRUE(DirEmpty(tmp));
}

// With no temporary directory to spill into, a build over the budget
// fails with the write error rather than half-building the index.
TEST_F(SpillIndexBuild, BuildFailsClearlyWhenItCannotSpill) {
  Fill(40000);
  const fs::path missing = dir / "missing";
  TempDirGuard td(missing.string());
  BudgetGuard budget(1);
  try {
    CVobjNDXFile f(&table, (dir / "t.ndx").string(), true, false, true, true);
    f.AddTag("T", "NAME", "", true, false);
    FAIL() << "the build did not spill";
  } catch (const ECorvidError& e) {
    EXPECT_NE(std::string(e.what()).find("Error writing to"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(missing));
}
