// The key sorter against a plain model: the same keys put in order by
// std::stable_sort, on random inputs of every kind of key, with repeats,
// the unique and descending rules, empty and longest keys, and budgets that
// keep everything in memory or spill many runs (merged in several passes).
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/expr/value_buffer.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/messages.h"

namespace fs = std::filesystem;

namespace {

enum Kind { kText, kCollated, kBinary, kFloat, kDate };

// One key as added and as it should come back.
struct Item {
  std::string key;     // text and binary bytes (text without trailing blanks)
  std::string weight;  // collated text: the weights of key
  double number = 0;   // floats and dates
  int32_t recno = 0;
};

struct Got {
  uint8_t kind;
  std::string bytes;
  int32_t recno;
};

// Byte-wise, a key before every longer key it begins (std::string compares
// its chars as unsigned).
bool BytesLess(const std::string& a, const std::string& b) { return a < b; }

// A collation that folds case-like pairs together and reverses the rest.
const uint8_t* Collation() {
  static uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i >= 0x40 && i < 0x80 ? (i & ~0x20) : 255 - i);
  return table;
}

// Key order alone (record number not included); 0 for equal keys.
int KeyCompare(Kind kind, const Item& a, const Item& b) {
  if (kind == kFloat || kind == kDate) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  if (kind == kCollated && a.weight != b.weight) return BytesLess(a.weight, b.weight) ? -1 : 1;
  if (a.key != b.key) return BytesLess(a.key, b.key) ? -1 : 1;
  return 0;
}

// The unique test of the sorter: equal bytes, under a collation equal weights.
bool SameKey(Kind kind, const Item& a, const Item& b) {
  if (kind == kCollated) return a.weight == b.weight;
  return KeyCompare(kind, a, b) == 0;
}

std::vector<Item> Model(Kind kind, std::vector<Item> items, bool unique, bool asc) {
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.recno < b.recno; });
  std::stable_sort(items.begin(), items.end(),
                   [&](const Item& a, const Item& b) { return KeyCompare(kind, a, b) < 0; });
  if (!asc) std::reverse(items.begin(), items.end());
  if (unique) {
    // The first of equal keys in sort order stays; descending, it takes the
    // record number of the last of its group (the lowest).
    std::vector<Item> out;
    for (const Item& it : items) {
      if (!out.empty() && SameKey(kind, out.back(), it)) {
        if (!asc) out.back().recno = it.recno;
        continue;
      }
      out.push_back(it);
    }
    items = out;
  }
  return items;
}

std::vector<Item> RandomItems(Kind kind, std::mt19937& rng, int n, int keyLength) {
  std::vector<Item> items;
  std::vector<int32_t> recnos(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) recnos[static_cast<size_t>(i)] = i + 1;
  std::shuffle(recnos.begin(), recnos.end(), rng);
  std::uniform_int_distribution<int> pick(0, 99), byte(0, 255), len(0, std::min(keyLength, 40)), stems(0, 30);
  const uint8_t alphabet[] = {0, 1, 2, ' ', 'A', 'a', 'Z', 0x7F, 0x80, 0xC0, 0xFF};
  std::vector<Item> seen;
  for (int i = 0; i < n; ++i) {
    Item it;
    it.recno = recnos[static_cast<size_t>(i)];
    const int p = pick(rng);
    if (!seen.empty() && p < 20) {
      // A repeat of an earlier key under another record number.
      Item old = seen[std::uniform_int_distribution<size_t>(0, seen.size() - 1)(rng)];
      old.recno = it.recno;
      items.push_back(old);
      continue;
    }
    if (kind == kFloat) {
      it.number = p < 5 ? 0.0 : p < 8 ? -0.0 : (byte(rng) - 128) * 1000.0 + byte(rng) / 7.0;
      if (p >= 8 && p < 12) it.number = -it.number * 1e300;
    } else if (kind == kDate) {
      it.number = 2451545 + (byte(rng) - 128) * 300 + byte(rng);
    } else {
      // Shared stems, the empty key, the longest key, bytes 0 and 1.
      std::string k;
      if (p < 3) {
        k.clear();
      } else if (p < 6) {
        k.assign(static_cast<size_t>(keyLength), static_cast<char>(alphabet[byte(rng) % sizeof alphabet]));
        k.back() = static_cast<char>(alphabet[byte(rng) % sizeof alphabet]);
      } else {
        k = "STEM" + std::to_string(stems(rng));
        const int extra = len(rng) - static_cast<int>(k.size());
        for (int j = 0; j < extra; ++j) k += static_cast<char>(alphabet[byte(rng) % sizeof alphabet]);
        k.resize(std::min<size_t>(k.size(), static_cast<size_t>(keyLength)));
      }
      if (kind != kBinary)
        while (!k.empty() && k.back() == ' ') k.pop_back();
      it.key = k;
      if (kind == kCollated)
        for (char c : k) it.weight += static_cast<char>(Collation()[static_cast<uint8_t>(c)]);
    }
    seen.push_back(it);
    items.push_back(it);
  }
  return items;
}

void Feed(TcvSort& s, Kind kind, const std::vector<Item>& items) {
  for (const Item& it : items) {
    switch (kind) {
      case kFloat: s.AddFloatKey(it.number, it.recno); break;
      case kDate: s.AddDateKey(static_cast<int32_t>(it.number), it.recno); break;
      case kBinary: s.AddBinaryKey(it.key.data(), static_cast<int32_t>(it.key.size()), it.recno); break;
      default:
        // Trailing blanks do not count.
        s.AddTextKey(it.key.size() + 2 <= static_cast<size_t>(s.KeyLength()) ? it.key + "  " : it.key, it.recno);
    }
  }
}

std::vector<Got> Drain(TcvSort& s) {
  std::vector<Got> out;
  TcvSort::RawKey k;
  for (bool ok = s.GetFirstRaw(k); ok; ok = s.GetNextRaw(k))
    out.push_back(
        {k.kind, std::string(reinterpret_cast<const char*>(k.bytes), static_cast<size_t>(k.length)), k.recno});
  return out;
}

// Compares plainly and reports the first difference: a check per key would
// dominate the run time.
void ExpectModel(Kind kind, const std::vector<Item>& want, const std::vector<Got>& got) {
  ASSERT_EQ(got.size(), want.size());
  const uint8_t kindByte = kind == kBinary  ? TcvSort::kindBinary
                           : kind == kFloat ? TcvSort::kindFloat
                           : kind == kDate  ? TcvSort::kindDate
                                            : TcvSort::kindText;
  TcvVariant v(8);
  for (size_t i = 0; i < got.size(); ++i) {
    bool same = got[i].recno == want[i].recno && got[i].kind == kindByte;
    if (same && (kind == kFloat || kind == kDate)) {
      TcvSort::RawKey raw{};
      raw.kind = got[i].kind;
      raw.length = static_cast<int32_t>(got[i].bytes.size());
      std::memcpy(raw.bytes, got[i].bytes.data(), got[i].bytes.size());
      TcvSort::RawToValue(raw, v);
      const double x = kind == kFloat ? v.GetFloat() : v.GetDate();
      same = x == want[i].number && !(std::signbit(x) && x == 0);  // -0 comes back as 0
    } else if (same) {
      same = got[i].bytes == want[i].key;
    }
    ASSERT_TRUE(same) << "key " << i << ": record " << got[i].recno << " for " << want[i].recno;
  }
}

}  // namespace

TEST(KeySorterModel, EveryKindAgainstStableSort) {
  const fs::path tmp = fs::temp_directory_path() / ("sorter_model_" + std::to_string(::getpid()));
  fs::create_directories(tmp);
  const std::string savedTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", tmp.c_str(), 1);
  std::mt19937 rng(19);
  for (Kind kind : {kText, kCollated, kBinary, kFloat, kDate}) {
    const int keyLength = kind == kFloat ? 8 : kind == kDate ? 4 : (kind == kText ? 240 : 30);
    // Text long enough to spill many runs; the other kinds need fewer keys.
    for (int n : {0, 1, 37, kind == kText ? 30000 : 8000}) {
      const std::vector<Item> items = RandomItems(kind, rng, n, keyLength);
      for (bool unique : {false, true})
        for (bool asc : {true, false}) {
          const std::vector<Item> want = Model(kind, items, unique, asc);
          for (size_t budget : {size_t{0}, size_t{1}}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + " n " + std::to_string(n) + (unique ? " unique" : "") +
                         (asc ? " asc" : " desc") + (budget ? " tiny budget" : ""));
            TcvSort s(keyLength, unique, asc, kind == kCollated ? Collation() : nullptr);
            s.SetMemoryBudget(budget);
            Feed(s, kind, items);
            EXPECT_EQ(s.KeyCount(), n);
            if (budget && n == 30000) {
              EXPECT_GT(s.SpilledRunCount(), 8u);  // merged in passes
            }
            ExpectModel(kind, want, Drain(s));
            EXPECT_EQ(s.OutputCount(), static_cast<int32_t>(want.size()));
            // Reading again gives the same keys.
            if (n == 37) ExpectModel(kind, want, Drain(s));
          }
        }
    }
  }
  EXPECT_TRUE(fs::is_empty(tmp));
  if (savedTmp.empty()) ::unsetenv("TMPDIR");
  else ::setenv("TMPDIR", savedTmp.c_str(), 1);
  fs::remove_all(tmp);
}

// A (key, record) pair added twice comes back once and counts once; keys
// of different kinds in one sorter (a table sort whose key fails on some
// records adds an empty text there) come back in one order whatever the
// budget.
TEST(KeySorterModel, RepeatedPairsAndMixedKinds) {
  TcvSort s(10, false, true);
  s.AddTextKey("B", 2);
  s.AddTextKey("A", 1);
  s.AddTextKey("B", 2);
  s.AddTextKey("B ", 2);
  std::vector<Got> got = Drain(s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].bytes, "B");
  EXPECT_EQ(s.KeyCount(), 2);
  EXPECT_EQ(s.OutputCount(), 2);

  std::vector<Got> runs[2];
  for (int pass = 0; pass < 2; ++pass) {
    TcvSort m(8, false, pass == 0);
    m.SetMemoryBudget(pass == 0 ? 0 : 1);
    std::mt19937 rng(5);
    for (int32_t r = 1; r <= 40000; ++r) {
      const int p = static_cast<int>(rng() % 10);
      if (p == 0) m.AddTextKey("", r);
      else if (p == 1) m.AddDateKey(2451545 + static_cast<int32_t>(rng() % 100), r);
      else m.AddFloatKey(static_cast<double>(static_cast<int32_t>(rng() % 2000) - 1000), r);
    }
    runs[pass] = Drain(m);
    if (pass == 1) std::reverse(runs[pass].begin(), runs[pass].end());
  }
  ASSERT_EQ(runs[0].size(), 40000u);
  ASSERT_EQ(runs[1].size(), runs[0].size());
  for (size_t i = 0; i < runs[0].size(); ++i) {
    ASSERT_EQ(runs[0][i].recno, runs[1][i].recno) << i;
    ASSERT_EQ(runs[0][i].kind, runs[1][i].kind) << i;
  }
}

namespace {

// Size of the sorter's temporary file: the one open descriptor of this
// process that names a deleted "~cs" file.
int64_t SpillFileSize() {
  int64_t size = -1;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) {
      char target[4096];
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      if (std::strstr(target, "~cs") && std::strstr(target, "(deleted)")) {
        struct stat st {};
        if (::fstat(std::atoi(e->d_name), &st) == 0) size = st.st_size;
      }
    }
    ::closedir(d);
  }
  return size;
}

}  // namespace

// Runs are merged in passes when reading starts; a write that fails there
// (the file may not grow any more) is the clear write error, and nothing is
// left in the temporary directory.
TEST(KeySorterModel, WriteFailureWhileMergingRuns) {
  const fs::path tmp = fs::temp_directory_path() / ("sorter_merge_fail_" + std::to_string(::getpid()));
  fs::create_directories(tmp);
  const std::string savedTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", tmp.c_str(), 1);
  std::string error;
  {
    TcvSort s(40, false, true);
    s.SetMemoryBudget(1);
    std::mt19937 rng(8);
    for (int32_t r = 1; r <= 60000; ++r) s.AddTextKey("KEY" + std::to_string(rng() % 100000), r);
    ASSERT_GT(s.SpilledRunCount(), 8u);
    const int64_t size = SpillFileSize();
    ASSERT_GT(size, 0);
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(size + TcvSort::RunBlockSize);
    ::setrlimit(RLIMIT_FSIZE, &small);
    try {
      TcvSort::RawKey k;
      s.GetFirstRaw(k);
    } catch (const ECorvidError& e) {
      error = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
  }
  EXPECT_EQ(error.rfind("Error writing to " + tmp.string(), 0), 0u) << error;
  EXPECT_TRUE(fs::is_empty(tmp));
  if (savedTmp.empty()) ::unsetenv("TMPDIR");
  else ::setenv("TMPDIR", savedTmp.c_str(), 1);
  fs::remove_all(tmp);
}
