// The NDX builder's node pages against a plain writer of the same tree: the
// keys a build leaves in its leaves are laid out again, node by node through
// the node encoder, with the builder's rules (full nodes, the last two nodes
// of a level sharing their keys evenly, each node's highest key passed up),
// and the file must hold exactly those bytes, block for block.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/ndx_format.h"
#include "dbf_engine/index/ndx_index.h"
#include "index_test_table.h"
#include "table_test_util.h"

namespace {

struct Item {
  std::string key;  // as stored, padded
  int32_t link;
};

// The tree over the leaf entries `keys` (in order), one encoded block per
// node in the order they are written from block 1; returns the root block.
int32_t PlainTree(const NdxHeader& h, const std::vector<Item>& keys, std::vector<uint8_t>& out) {
  struct Level {
    std::vector<Item> cur, prev;
    bool hasPrev = false;
  };
  std::deque<Level> levels(1);
  int32_t next = 1;
  auto capacity = [&](size_t level) { return static_cast<size_t>(h.MaxKeys) + (level == 0 ? 0 : 1); };
  auto write = [&](size_t level, const std::vector<Item>& items) {
    NdxNode nd;
    if (level == 0) {
      for (const Item& it : items) nd.Entries.push_back(NdxEntry{0, it.link, it.key});
    } else {
      for (size_t i = 0; i + 1 < items.size(); ++i) nd.Entries.push_back(NdxEntry{items[i].link, 0, items[i].key});
      nd.RightChild = items.back().link;
    }
    uint8_t block[kNdxBlockSize];
    nd.EncodeTo(block, h);
    out.insert(out.end(), block, block + kNdxBlockSize);
    return next++;
  };
  std::function<void(size_t, Item)> push;
  auto flush = [&](size_t level, const std::vector<Item>& items) {
    const int32_t page = write(level, items);
    push(level + 1, Item{items.back().key, page});
  };
  push = [&](size_t level, Item item) {
    if (levels.size() <= level) levels.resize(level + 1);
    if (levels[level].cur.size() >= capacity(level)) {
      if (levels[level].hasPrev) flush(level, levels[level].prev);
      levels[level].prev = std::move(levels[level].cur);
      levels[level].hasPrev = true;
      levels[level].cur.clear();
    }
    levels[level].cur.push_back(std::move(item));
  };
  for (const Item& k : keys) push(0, k);
  for (size_t level = 0; level < levels.size(); ++level) {
    Level& l = levels[level];
    if (l.hasPrev && l.cur.size() < capacity(level) / 2) {
      std::vector<Item> all = std::move(l.prev);
      for (Item& it : l.cur) all.push_back(std::move(it));
      const size_t front = (all.size() + 1) / 2;
      l.prev.assign(all.begin(), all.begin() + static_cast<ptrdiff_t>(front));
      l.cur.assign(all.begin() + static_cast<ptrdiff_t>(front), all.end());
    }
    const bool above = level + 1 < levels.size();
    if (l.hasPrev) flush(level, levels[level].prev);
    if (above || levels[level].hasPrev) {
      std::vector<Item> cur = std::move(levels[level].cur);
      flush(level, cur);
    } else {
      return write(level, levels[level].cur);
    }
  }
  return 0;
}

class NdxBuildPages : public ::testing::Test {
protected:
  // Builds `expr` over n records and checks the file against the plain tree.
  void Check(int n, const std::string& expr, bool unique, uint32_t seed) {
    SCOPED_TRACE(expr + " over " + std::to_string(n) + " records" + (unique ? ", unique" : ""));
    TempDir dir;
    const std::string dbf = dir / "t.dbf";
    IndexTestTable::Create(dbf, {"NAME;C;12;0", "AMOUNT;N;9;2", "BORN;D;8;0"});
    IndexTestTable table(dbf);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> ch('A', 'D'), len(1, 12), amount(-500, 500), day(1, 28);
    for (int i = 0; i < n; ++i) {
      std::string name(static_cast<size_t>(len(rng)), 'A');
      for (char& c : name) c = static_cast<char>(ch(rng));
      char num[16];
      std::snprintf(num, sizeof num, "%9.2f", amount(rng) / 4.0);
      char born[16];
      std::snprintf(born, sizeof born, "19%02d%02d%02d", i % 100, 1 + i % 12, day(rng));
      table.Append({name, num, i % 13 == 0 ? "" : born});
    }
    const std::string path = dir / "t.ndx";
    NdxHeader h;
    {
      CVobjNDXFile f(&table, path, true, false, true, true);
      f.AddTag("", expr, "", true, unique);
      h = f.NdxTag()->Header();
    }
    const std::vector<uint8_t> file = ReadAll(path);
    ASSERT_EQ(file.size() % kNdxBlockSize, 0u);
    ASSERT_GE(file.size(), 2u * kNdxBlockSize);
    // The leaf entries in file order are the keys in index order.
    const int32_t kb = h.KeyBytes();
    std::vector<Item> keys;
    for (size_t b = kNdxBlockSize; b < file.size(); b += kNdxBlockSize) {
      const uint32_t count = LE32At(file, b);
      if (count > 0 && LE32At(file, b + 4) != 0) continue;   // interior
      if (count == 0 && LE32At(file, b + 4) != 0) continue;  // interior with its rightmost child only
      for (uint32_t i = 0; i < count; ++i) {
        const size_t at = b + 4 + i * static_cast<size_t>(h.EntryLength);
        keys.push_back(Item{std::string(reinterpret_cast<const char*>(&file[at + 8]), static_cast<size_t>(kb)),
                            static_cast<int32_t>(LE32At(file, at + 4))});
      }
    }
    if (!unique) {
      ASSERT_EQ(keys.size(), static_cast<size_t>(n));
    }
    std::vector<uint8_t> plain;
    const int32_t root = PlainTree(h, keys, plain);
    EXPECT_EQ(LE32At(file, 0), static_cast<uint32_t>(root));
    ASSERT_EQ(file.size() - kNdxBlockSize, plain.size());
    EXPECT_TRUE(std::memcmp(file.data() + kNdxBlockSize, plain.data(), plain.size()) == 0);
  }
};

TEST_F(NdxBuildPages, CharacterKeysAtEveryNodeBoundary) {
  // NAME: 12-byte keys, entries of 20 bytes, 25 keys to a node.
  for (int n : {1, 2, 12, 13, 24, 25, 26, 37, 38, 50, 51, 63, 64, 300, 625, 626, 650, 651, 700, 3000, 16300})
    Check(n, "NAME", false, static_cast<uint32_t>(n));
}

TEST_F(NdxBuildPages, UniqueKeysKeepTheirFirstRecord) {
  for (int n : {5, 40, 700, 5000}) Check(n, "NAME", true, static_cast<uint32_t>(n) + 1);
}

TEST_F(NdxBuildPages, NumericDateAndExpressionKeys) {
  for (int n : {1, 25, 26, 400, 2000}) {
    Check(n, "AMOUNT", false, 3);
    Check(n, "BORN", false, 4);
    Check(n, "NAME+DTOS(BORN)", false, 5);
  }
}

// A key that is a character field is taken straight from the record image;
// the file must be the one the evaluated key gives: blanks inside and at
// the end, empty fields, bytes above 0x7F, a unique tag.
class NdxFieldKeys : public ::testing::Test {
protected:
  void TearDown() override { cvExpSetFastPaths(true); }
};

TEST_F(NdxFieldKeys, FieldKeyFromTheImageBuildsTheEvaluatedKeysFile) {
  TempDir dir;
  const std::string dbf = dir / "t.dbf";
  IndexTestTable::Create(dbf, {"NAME;C;10;0", "CODE;C;3;0"});
  IndexTestTable table(dbf);
  std::mt19937 rng(11);
  const std::string alphabet = std::string("AB ") + "\xC8\xC2\xE0\xFF";
  for (int i = 0; i < 3000; ++i) {
    std::string name(static_cast<size_t>(rng() % 11), 'A');
    for (char& c : name) c = alphabet[rng() % alphabet.size()];
    table.Append({name, std::to_string(rng() % 50)});
  }
  {
    // The fast path is the one taken: the field comes back as a view.
    table.ixReadRecord(1);
    TcvExpHandler h(table.ixExpressionLink(), "NAME");
    std::string_view v;
    ASSERT_TRUE(h.ExpressionTextView(v));
    EXPECT_EQ(v.size(), 10u);
    cvExpSetFastPaths(false);
    EXPECT_FALSE(h.ExpressionTextView(v));
    cvExpSetFastPaths(true);
  }
  for (const char* expr : {"NAME", "CODE", "NAME+CODE"}) {
    for (bool unique : {false, true}) {
      SCOPED_TRACE(std::string(expr) + (unique ? ", unique" : ""));
      std::vector<uint8_t> files[2];
      for (int fast = 0; fast < 2; ++fast) {
        cvExpSetFastPaths(fast == 1);
        const std::string path = dir / (std::string("k") + std::to_string(fast) + ".ndx");
        {
          CVobjNDXFile f(&table, path, true, false, true, true);
          f.AddTag("", expr, "", true, unique);
        }
        files[fast] = ReadAll(path);
      }
      cvExpSetFastPaths(true);
      ASSERT_GT(files[0].size(), 1024u);
      EXPECT_TRUE(files[0] == files[1]);
    }
  }
}

}  // namespace
