#include "dbf_engine/index/key_sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/messages.h"
#include "dbf_engine/expr/value_buffer.h"

namespace {

struct Item {
  std::string key;  // comparable bytes
  int32_t recno;
};

// Reads every key back through the raw interface.
std::vector<TcvSort::RawKey> ReadAll(TcvSort& s) {
  std::vector<TcvSort::RawKey> out;
  TcvSort::RawKey k;
  for (bool ok = s.GetFirstRaw(k); ok; ok = s.GetNextRaw(k)) out.push_back(k);
  return out;
}

std::string RandomText(std::mt19937& rng, int maxLen) {
  std::uniform_int_distribution<int> len(0, maxLen);
  std::uniform_int_distribution<int> ch(0, 255);
  std::string s(static_cast<size_t>(len(rng)), ' ');
  for (auto& c : s) c = static_cast<char>(ch(rng));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string RawText(const TcvSort::RawKey& k) {
  return std::string(reinterpret_cast<const char*>(k.bytes), static_cast<size_t>(k.length));
}

bool TextLess(const std::string& a, const std::string& b) {
  // Byte-wise, shorter prefix first.
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return (unsigned char)x < (unsigned char)y; });
}

}  // namespace

TEST(KeySorter, CreationLimits) {
  EXPECT_NO_THROW(TcvSort(240, false, true));
  try {
    TcvSort s(241, false, true);
    FAIL() << "241 accepted";
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Sort key length must be 1-240 bytes, is 241");
  }
  EXPECT_THROW(TcvSort(0, false, true), ECorvidError);

  TcvSort s(240, false, true);
  s.AddTextKey(std::string(240, 'x'), 1);
  try {
    s.AddTextKey(std::string(241, 'x'), 2);
    FAIL() << "long key accepted";
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Sort key length must be 1-240 bytes, is 241");
  }
  auto keys = ReadAll(s);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(RawText(keys[0]), std::string(240, 'x'));
}

TEST(KeySorter, EmptyAndAddAfterRead) {
  TcvSort s(10, false, true);
  TcvVariant v(16);
  int32_t rec = -1;
  EXPECT_FALSE(s.GetFirstKey(v, rec));
  try {
    s.AddTextKey("A", 1);
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Cannot add sort keys after beginning retrieval");
  }
}

TEST(KeySorter, VariantKinds) {
  TcvSort s(10, false, true);
  TcvVariant b(4);
  b.PutBoolean(true);
  try {
    s.AddKey(b, 1);
    FAIL();
  } catch (const ECorvidError& e) {
    EXPECT_STREQ(e.what(), "Variant type cannot be sorted");
  }
  TcvVariant t(16);
  t.PutString("BOB  ");
  s.AddKey(t, 2);
  t.PutString("ALICE");
  s.AddKey(t, 1);
  t.PutString("BOB");
  s.AddKey(t, 3);
  TcvVariant out(16);
  int32_t rec;
  std::vector<std::pair<std::string, int32_t>> got;
  for (bool ok = s.GetFirstKey(out, rec); ok; ok = s.GetNextKey(out, rec)) {
    EXPECT_EQ(out.Kind(), cvvtText);
    got.emplace_back(out.GetString(), rec);
  }
  std::vector<std::pair<std::string, int32_t>> want{{"ALICE", 1}, {"BOB", 2}, {"BOB", 3}};
  EXPECT_EQ(got, want);

  TcvSort d(8, false, true);
  TcvVariant dv(8);
  dv.PutDate(2451545);
  d.AddKey(dv, 1);
  dv.PutDate(2440588);
  d.AddKey(dv, 2);
  TcvVariant fv(8);
  ASSERT_TRUE(d.GetFirstKey(fv, rec));
  EXPECT_EQ(fv.Kind(), cvvtDate);
  EXPECT_EQ(fv.GetDate(), 2440588);
  EXPECT_EQ(rec, 2);
}

// Negative floats once lost their trailing 0xFF bytes and sorted wrongly.
TEST(KeySorter, FloatsKeepOrderAndValue) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  std::vector<double> values{-4.0,
                             -3.0,
                             -2.5,
                             -2.0,
                             -1.0,
                             -0.0,
                             0.0,
                             tiny,
                             -tiny,
                             1e-300,
                             -1e-300,
                             1e300,
                             -1e300,
                             2.0,
                             2.0000000000000004,
                             -2.0000000000000004,
                             2.5,
                             1.0,
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max()};
  for (bool asc : {true, false}) {
    TcvSort s(8, false, asc);
    // Large record numbers put non-zero bytes right after the key.
    for (size_t i = 0; i < values.size(); ++i) s.AddFloatKey(values[i], 0x7F000000 + static_cast<int32_t>(i));
    TcvVariant v(8);
    int32_t rec;
    std::vector<double> got;
    for (bool ok = s.GetFirstKey(v, rec); ok; ok = s.GetNextKey(v, rec)) {
      EXPECT_EQ(v.Kind(), cvvtFloat);
      EXPECT_EQ(v.GetFloat(), values[static_cast<size_t>(rec - 0x7F000000)]);
      got.push_back(v.GetFloat());
    }
    std::vector<double> want = values;
    std::stable_sort(want.begin(), want.end());
    if (!asc) std::reverse(want.begin(), want.end());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << i << " asc=" << asc;
  }
}

TEST(KeySorter, EqualKeysInRecordOrder) {
  for (bool asc : {true, false}) {
    TcvSort s(5, false, asc);
    for (int32_t r : {5, 1, 300, 2, 70000, 16777216, 3}) s.AddTextKey("SAME", r);
    auto keys = ReadAll(s);
    std::vector<int32_t> recs;
    for (auto& k : keys) recs.push_back(k.recno);
    std::vector<int32_t> want{1, 2, 3, 5, 300, 70000, 16777216};
    if (!asc) std::reverse(want.begin(), want.end());
    EXPECT_EQ(recs, want);
  }
}

// Of equal keys the unique sorter keeps the lowest record number, as adding
// into a unique tag does, in either direction.
TEST(KeySorter, UniqueKeepsLowestRecord) {
  for (bool asc : {true, false}) {
    TcvSort s(5, true, asc);
    s.AddTextKey("B", 7);
    s.AddTextKey("A", 9);
    s.AddTextKey("B", 3);
    s.AddTextKey("A  ", 4);
    s.AddTextKey("C", 1);
    s.AddTextKey("B", 5);
    auto keys = ReadAll(s);
    std::vector<std::pair<std::string, int32_t>> got;
    for (auto& k : keys) got.emplace_back(RawText(k), k.recno);
    std::vector<std::pair<std::string, int32_t>> want{{"A", 4}, {"B", 3}, {"C", 1}};
    if (!asc) std::reverse(want.begin(), want.end());
    EXPECT_EQ(got, want) << "asc=" << asc;
  }
}

// Enough keys under a small budget that many runs are written and merged.
TEST(KeySorter, ManyTextKeysAgainstStableSort) {
  for (bool asc : {true, false}) {
    std::mt19937 rng(asc ? 1 : 2);
    TcvSort s(24, false, asc);
    s.SetMemoryBudget(1 << 20);  // several runs, merged
    std::vector<Item> items;
    const int n = 220000;
    // Few distinct prefixes and repeats so that equal keys span runs.
    for (int i = 1; i <= n; ++i) {
      std::string k = (i % 7 == 0) ? std::string("DUP") + char('A' + i % 3) : RandomText(rng, 24);
      items.push_back({k, i});
      s.AddTextKey(k, i);
    }
    EXPECT_EQ(s.KeyCount(), n);
    EXPECT_GT(s.RunCount(), 2u);
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return TextLess(a.key, b.key); });
    if (!asc) {
      // Descending: reverse key order, equal keys in falling record order.
      std::reverse(items.begin(), items.end());
    }
    auto keys = ReadAll(s);
    ASSERT_EQ(keys.size(), items.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(RawText(keys[i]), items[i].key) << i;
      ASSERT_EQ(keys[i].recno, items[i].recno) << i;
    }
    EXPECT_EQ(s.KeyCount(), n);  // survives the flushes
  }
}

TEST(KeySorter, ManyFloatAndDateKeysAgainstStableSort) {
  std::mt19937_64 rng(42);
  const int n = 210000;
  {
    TcvSort s(8, false, true);
    s.SetMemoryBudget(1 << 20);
    std::vector<std::pair<double, int32_t>> items;
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    for (int i = 1; i <= n; ++i) {
      double x = (i % 5 == 0) ? std::round(u(rng) / 1000) : u(rng);
      items.emplace_back(x, i);
      s.AddFloatKey(x, i);
    }
    EXPECT_GT(s.RunCount(), 1u);
    std::stable_sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.first < b.first; });
    TcvVariant v(8);
    int32_t rec;
    size_t i = 0;
    for (bool ok = s.GetFirstKey(v, rec); ok; ok = s.GetNextKey(v, rec), ++i) {
      ASSERT_LT(i, items.size());
      ASSERT_EQ(v.GetFloat(), items[i].first) << i;
      ASSERT_EQ(rec, items[i].second) << i;
    }
    EXPECT_EQ(i, items.size());
  }
  {
    TcvSort s(4, false, false);
    s.SetMemoryBudget(1 << 20);
    std::vector<std::pair<int32_t, int32_t>> items;
    std::uniform_int_distribution<int32_t> u(2415021, 2488070);
    for (int i = 1; i <= n; ++i) {
      int32_t d = u(rng);
      items.emplace_back(d, i);
      s.AddDateKey(d, i);
    }
    std::stable_sort(items.begin(), items.end(),
                     [](auto& a, auto& b) { return a.first > b.first || (a.first == b.first && a.second > b.second); });
    TcvVariant v(8);
    int32_t rec;
    size_t i = 0;
    for (bool ok = s.GetFirstKey(v, rec); ok; ok = s.GetNextKey(v, rec), ++i) {
      ASSERT_LT(i, items.size());
      ASSERT_EQ(v.GetDate(), items[i].first) << i;
      ASSERT_EQ(rec, items[i].second) << i;
    }
    EXPECT_EQ(i, items.size());
  }
}

TEST(KeySorter, ManyBinaryKeysUnique) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> b(0, 3);
  const int n = 200000;
  TcvSort s(10, true, true);
  std::vector<Item> items;
  for (int i = 1; i <= n; ++i) {
    std::string k(10, '\0');
    for (auto& c : k) c = static_cast<char>(b(rng) * 60);
    items.push_back({k, i});
    s.AddBinaryKey(k.data(), 10, i);
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& c) { return TextLess(a.key, c.key); });
  std::vector<Item> uniq;
  for (auto& it : items)
    if (uniq.empty() || uniq.back().key != it.key) uniq.push_back(it);
  auto keys = ReadAll(s);
  ASSERT_EQ(keys.size(), uniq.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(RawText(keys[i]), uniq[i].key);
    ASSERT_EQ(keys[i].recno, uniq[i].recno);
  }
}

TEST(KeySorter, PrefixKeysAndRestart) {
  // Keys whose bytes continue where another key's record number sits.
  TcvSort s(12, false, true);
  std::string a("AB");
  std::string b("AB\0\0\0\1X", 7);
  s.AddTextKey(b, 2);
  s.AddTextKey(a, 1);
  auto keys = ReadAll(s);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].recno, 1);
  EXPECT_EQ(keys[1].recno, 2);
  // A second GetFirst starts the merge again from the top.
  TcvSort::RawKey k;
  ASSERT_TRUE(s.GetFirstRaw(k));
  EXPECT_EQ(k.recno, 1);
}

TEST(KeySorter, CollateTableOrdersText) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 'A');
  TcvSort s(5, false, true, table);
  s.AddTextKey("b", 1);
  s.AddTextKey("A", 2);
  s.AddTextKey("a", 3);
  s.AddTextKey("B", 4);
  auto keys = ReadAll(s);
  std::vector<std::string> got;
  for (auto& k : keys) got.push_back(RawText(k));
  // Distinct bytes of one weight are kept apart, ordered by byte.
  EXPECT_EQ(got, (std::vector<std::string>{"A", "a", "B", "b"}));
}

// Records added out of order, short binary keys over a small alphabet that
// includes the escaped bytes 0 and 1 and byte 255, so the densest levels of
// the trie and their neighbours are found, inserted before and after; with
// and without the unique flag, in both directions, across several runs.
TEST(KeySorter, ShuffledRecordsAndShortBinaryKeys) {
  const uint8_t alphabet[] = {0, 1, 2, 0x20, 0x7F, 0x80, 0xC0, 0xFE, 0xFF};
  for (bool unique : {false, true})
    for (bool asc : {true, false}) {
      std::mt19937 rng(unique * 2 + asc + 7);
      std::uniform_int_distribution<int> len(0, 6), pick(0, sizeof(alphabet) - 1);
      const int n = 200000;
      std::vector<int32_t> order(n);
      for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i + 1;
      std::shuffle(order.begin(), order.end(), rng);
      TcvSort s(6, unique, asc);
      s.SetMemoryBudget(1 << 20);
      std::vector<Item> items;
      for (int32_t r : order) {
        std::string k(static_cast<size_t>(len(rng)), '\0');
        for (auto& c : k) c = static_cast<char>(alphabet[pick(rng)]);
        items.push_back({k, r});
        s.AddBinaryKey(k.data(), static_cast<int32_t>(k.size()), r);
      }
      EXPECT_GT(s.RunCount(), 1u);
      std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.key != b.key) return TextLess(a.key, b.key);
        return a.recno < b.recno;
      });
      if (unique) {
        // The lowest record of equal keys stays.
        items.erase(
            std::unique(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.key == b.key; }),
            items.end());
      }
      if (!asc) std::reverse(items.begin(), items.end());
      auto keys = ReadAll(s);
      ASSERT_EQ(keys.size(), items.size()) << "unique=" << unique << " asc=" << asc;
      for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(keys[i].kind, TcvSort::kindBinary);
        ASSERT_EQ(RawText(keys[i]), items[i].key) << i << " unique=" << unique << " asc=" << asc;
        ASSERT_EQ(keys[i].recno, items[i].recno) << i << " unique=" << unique << " asc=" << asc;
      }
    }
}
