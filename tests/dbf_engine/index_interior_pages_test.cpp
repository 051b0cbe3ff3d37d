// Interior pages every reader can follow.  NTX, NDX and MDX pages hold a
// count, then that many keyed entries and one child more; a reader that
// takes a page whose count is 0 for the end of the tree misses every key
// under it.  A deletion that leaves an interior node with a single child
// therefore gives the child to the neighbouring node (a root takes its
// child's place), and a CDX node that empties leaves its level's sibling
// chain.  Checked after edits that change the keys of every record of a
// table, at every stage of deleting most keys and on a full disk, with
// walkers written from the formats and with Perl's XBase::Index, for all
// four kinds; and on hand-built NDX files that already hold keyless pages,
// which are read whole and mended by an edit through them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cdx_test_table.h"
#include "common/full_disk.h"
#include "common/sanitizer.h"
#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"
#include "dbf_engine/table/table_file.h"
#include "index_test_util.h"
#include "index_tree_walk.h"

namespace {

using index_walk::Shape;
using Pairs = std::vector<std::pair<std::string, int32_t>>;

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// The walk's keys (trimmed) with their records, sorted, for a comparison
// with the table's.
Pairs Sorted(const Shape& s) {
  Pairs p;
  for (const auto& [k, r] : s.entries) p.emplace_back(Trimmed(k), r);
  std::sort(p.begin(), p.end());
  return p;
}

// A tag of a multi-tag file as XBase::Index reads it.
Pairs PerlReadTag(const std::string& file, const std::string& tag, int* rc) {
  const std::string out = RunTool(
      "/usr/bin/perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], tag => $ARGV[1], type => \"C\") "
      "or die XBase::Index->errstr; $i->prepare_select or die $i->errstr; "
      "while (my @d = $i->fetch) { print join(\"\\t\", @d), \"\\n\" } "
      "die $i->errstr if $i->errstr;' " +
          file + " " + tag,
      rc);
  Pairs r;
  for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    const std::string line = out.substr(pos, nl - pos);
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos) {
      if (rc) *rc = -1;
      continue;
    }
    r.emplace_back(Trimmed(line.substr(0, tab)), std::stoi(line.substr(tab + 1)));
  }
  return r;
}

// --- A table of K C(20) and J C(12) with two tags of each kind ----------------

struct Kind {
  const char* name;
  const char* files[2];  // the file of tag K and of tag J
  const char* list;      // what the handler opens
};

const Kind kKinds[] = {
    {"NTX", {"k.ntx", "j.ntx"}, "k.ntx;j.ntx"},
    {"NDX", {"k.ndx", "j.ndx"}, "k.ndx;j.ndx"},
    {"MDX", {"t.mdx", "t.mdx"}, "t.mdx"},
    {"CDX", {"t.cdx", "t.cdx"}, "t.cdx"},
};
const char* const kTags[2] = {"K", "J"};

struct KeyTable {
  TempDir dir;
  std::string file = dir / "t.dbf";
  std::vector<std::string> keys[2];  // by record - 1

  // With `appended`, the tags are made first and take the records as they
  // are appended (pages split as they fill); else they are built over them.
  KeyTable(const Kind& kind, int rows, const std::function<std::string(int, int)>& key, bool appended = false) {
    if (!cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
          if (i == 1) n = "K", t = "C", l = 20, d = 0;
          if (i == 2) n = "J", t = "C", l = 12, d = 0;
          return true;
        }))
      throw std::runtime_error("table not created");
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    auto build = [&] {
      for (int t = 0; t < 2; ++t)
        EXPECT_EQ(h.cvIndexTo(dir / kind.files[t], kTags[t], kTags[t], "", CVsetIndexUnique::Duplicates,
                              CVsetSortStatus::Ascending),
                  0);
      ASSERT_EQ(h.cvIndex(dir / kind.list, kTags[0]), 0);
    };
    if (appended) build();
    for (int r = 1; r <= rows; ++r) {
      h.cvBlank();
      for (int t = 0; t < 2; ++t) {
        keys[t].push_back(key(t, r));
        h.cvStringPut(kTags[t], keys[t].back());
      }
      h.cvAppend();
    }
    if (!appended) build();
    h.cvCloseTable();
  }
  // Gives every record, in record order, the keys `key(tag, record)`.
  void Rewrite(const Kind& kind, const std::function<std::string(int, int)>& key) {
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(dir / kind.list, kTags[0]), 0);
    const int rows = static_cast<int>(keys[0].size());
    for (int r = 1; r <= rows; ++r) {
      h.cvGetRec(r);
      for (int t = 0; t < 2; ++t) {
        keys[t][static_cast<size_t>(r - 1)] = key(t, r);
        h.cvStringPut(kTags[t], keys[t][static_cast<size_t>(r - 1)]);
      }
      h.cvPutRec(r);
    }
    h.cvCloseTable();
  }
  Pairs Expected(int t) const {
    Pairs p;
    for (size_t i = 0; i < keys[t].size(); ++i) p.emplace_back(Trimmed(keys[t][i]), static_cast<int32_t>(i + 1));
    std::sort(p.begin(), p.end());
    return p;
  }
  // The tree of tag `t` as the format's walker sees it.
  Shape Walk(const Kind& kind, int t) const {
    const std::string path = dir / kind.files[t];
    switch (kind.name[0]) {
      case 'N':
        return kind.name[1] == 'T' ? index_walk::NtxShape(path, true) : index_walk::NdxShape(path);
      case 'M':
        return index_walk::MdxShape(path, index_walk::MdxTagBlock(path, kTags[t]));
      default:
        return index_walk::CdxShape(path, index_walk::CdxTagOffset(path, kTags[t]));
    }
  }
  // Every fault found: by the walker (keyless pages, order, sibling links,
  // keys missing or not the table's) and by XBase::Index.
  std::string Check(const Kind& kind) const {
    std::string bad;
    for (int t = 0; t < 2; ++t) {
      const Shape s = Walk(kind, t);
      const Pairs expected = Expected(t);
      std::string v = s.Verdict(static_cast<int64_t>(expected.size()));
      if (v.empty() && Sorted(s) != expected) v = "keys not the table's; ";
      if (HavePerlXBase()) {
        int rc = 0;
        const std::string path = dir / kind.files[t];
        const Pairs theirs =
            kind.name[0] == 'N' ? PerlRead(path, "C", &rc) : PerlReadTag(path, kTags[t], &rc);
        Pairs sorted = theirs;
        std::sort(sorted.begin(), sorted.end());
        if (rc != 0 || sorted != expected)
          v += "XBase::Index reads " + std::to_string(theirs.size()) + " keys of " +
               std::to_string(expected.size()) + "; ";
      }
      if (!v.empty()) bad += std::string(kind.name) + " tag " + kTags[t] + ": " + v + "\n";
    }
    return bad;
  }
};

std::string Text(const char* format, int n) {
  char b[32];
  std::snprintf(b, sizeof b, format, n);
  return b;
}

// Every record's keys change, record by record.  Each case left keyless
// pages or stale links before: keys renamed into the range above (tags that
// took the records as appended: an NDX interior page holding only its right
// child, 1 key of 3000 lost to XBase::Index), keys moved up by half the
// table (an MDX interior page holding only its right child), keys renamed
// to the range below in reverse order (NTX leaves at two depths), and CDX
// nodes of every case whose neighbours still named them after they were
// emptied.
TEST(IndexInteriorPages, KeyChangingEditsOfEveryRecordLeaveEveryPageReadable) {
  // The table the faults were found on; a third of it under the sanitizers,
  // where the same page moves happen, only fewer of them.
  const int rows = kSanitized ? 1000 : 3000;
  struct Case {
    const char* name;
    bool appended;
    std::function<std::string(int, int)> before, after;
  };
  const Case cases[] = {
      {"renamed above", true, [](int t, int r) { return (t == 0 ? "R" : "J") + std::to_string(r); },
       [](int t, int r) { return (t == 0 ? "S" : "K") + std::to_string(r); }},
      {"moved up by half", false, [](int t, int r) { return Text(t == 0 ? "N%07d" : "J%06d", r); },
       [](int t, int r) { return Text(t == 0 ? "N%07d" : "J%06d", r + rows / 2); }},
      {"reversed below", false, [](int t, int r) { return Text(t == 0 ? "N%07d" : "J%06d", r); },
       [](int t, int r) { return Text(t == 0 ? "A%07d" : "A%06d", rows - r); }},
  };
  for (const Kind& kind : kKinds)
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind.name) + ", " + c.name);
      KeyTable table(kind, rows, c.before, c.appended);
      table.Rewrite(kind, c.after);
      EXPECT_EQ(table.Check(kind), "");
    }
}

// Renames that empty leaf after leaf of a deep tree (keys of 200 bytes:
// NTX pages of four keys, NDX of two; MDX of 100 bytes, pages of nine;
// CDX keys of 20 bytes that hardly compress), every other one failing at
// each of its writes in turn (a full disk): a failed rename leaves every
// file as it was, the handle goes on, and at the end the tree holds the
// table's keys with no keyless page.
TEST(IndexInteriorPages, RenamesThatEmptyPagesFailingAtEveryWriteLeaveTheFilesAsBefore) {
  auto name = [](const char* prefix, int r) {
    std::string s = Text(prefix, r);
    for (uint32_t x = static_cast<uint32_t>(r) * 2654435761u; s.size() < 20; x = x * 1103515245u + 12345u)
      s += static_cast<char>('A' + (x >> 16) % 26);
    return s;
  };
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    const std::string k = kind.name;
    const int rows = k == "MDX" ? 90 : k == "CDX" ? 48 : 30;
    const std::string expr = k == "MDX" ? "PADR(K, 100)" : k == "CDX" ? "K" : "PADR(K, 200)";
    WriteFailGuard disarm;
    TempDir dir;
    const std::string file = dir / "t.dbf";
    ASSERT_TRUE(cvCreateDBF(file, "4", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      if (i == 1) n = "K", t = "C", l = 20, d = 0;
      return true;
    }));
    const std::string index = dir / kind.files[0];
    std::vector<std::string> keys;
    {
      CVO_dBHandler h(file, "", true, false);
      h.kvSetTranslateAscii(false);
      for (int r = 1; r <= rows; ++r) {
        keys.push_back(name("N%05d", r));
        h.cvBlank();
        h.cvStringPut("K", keys.back());
        h.cvAppend();
      }
      ASSERT_EQ(h.cvIndexTo(index, "K", expr, "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    }
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(index, "K"), 0);
    int failures = 0;
    for (int r = 1; r <= rows; ++r) {
      const std::string renamed = name("A%05d", rows - r);
      // Every other rename fails at each of its writes in turn first.
      for (int64_t write = r % 2 == 0 ? 1 : 1000;; ++write) {
        ASSERT_LT(write, 1100) << "the rename of " << r << " never completes";
        const FileBytes before = Snapshot(dir);
        cvSetWriteFailCountdown(write);
        bool failed = false;
        try {
          h.cvGetRec(r);
          h.cvStringPut("K", renamed);
          h.cvPutRec(r);
        } catch (const ECorvidError&) {
          failed = true;
        }
        cvSetWriteFailCountdown(0);
        if (!failed) break;
        ++failures;
        ASSERT_EQ(Differing(Snapshot(dir), before), "") << "record " << r << ", write " << write;
      }
      keys[static_cast<size_t>(r - 1)] = renamed;
    }
    h.cvCloseTable();
    EXPECT_GT(failures, rows);
    Pairs expected;
    for (size_t i = 0; i < keys.size(); ++i) expected.emplace_back(keys[i], static_cast<int32_t>(i + 1));
    std::sort(expected.begin(), expected.end());
    Shape s = k == "NTX"   ? index_walk::NtxShape(index, true)
              : k == "NDX" ? index_walk::NdxShape(index)
              : k == "MDX" ? index_walk::MdxShape(index, index_walk::MdxTagBlock(index, "K"))
                           : index_walk::CdxShape(index, index_walk::CdxTagOffset(index, "K"));
    EXPECT_EQ(s.Verdict(rows), "");
    EXPECT_EQ(Sorted(s), expected);
  }
}

// --- Deleting most keys, on the index alone -----------------------------------

class IndexInteriorPagesDeletes : public CdxTest {
protected:
  std::string Path(const char* ext) const { return (dir / (std::string("d.") + ext)).string(); }
  std::unique_ptr<CVobjIndexFile> Make(const std::string& kind) {
    // Keys of 40 bytes: NDX and MDX pages of 10 and 12 keys, trees of four levels.
    const std::string key = "PADR(NAME, 40)";
    std::unique_ptr<CVobjIndexFile> f;
    if (kind == "NTX") f = std::make_unique<CVobjNTXFile>(&table, Path("ntx"), true, false, true, true);
    if (kind == "NDX") f = std::make_unique<CVobjNDXFile>(&table, Path("ndx"), true, false, true, true);
    if (kind == "MDX") f = std::make_unique<CVobjMDXFile>(&table, Path("mdx"), true, false, true, true);
    if (kind == "CDX") f = std::make_unique<CVobjCDXFile>(&table, Path("cdx"), true, false, true, true);
    f->AddTag(kind == "NTX" || kind == "NDX" ? "" : "T", key, "", true, false);
    return f;
  }
  Shape Walk(const std::string& kind) {
    if (kind == "NTX") return index_walk::NtxShape(Path("ntx"), true);
    if (kind == "NDX") return index_walk::NdxShape(Path("ndx"));
    if (kind == "MDX") return index_walk::MdxShape(Path("mdx"), index_walk::MdxTagBlock(Path("mdx"), "T"));
    return index_walk::CdxShape(Path("cdx"), index_walk::CdxTagOffset(Path("cdx"), "T"));
  }
};

// Keys go in a seeded random order until a tenth is left, new keys come
// between them now and then; at every stage the file's tree holds every
// key left in order, no page below the root is without a key, all leaves
// lie at one depth, and the engine reads the same keys.
TEST_F(IndexInteriorPagesDeletes, EveryStageOfDeletingMostKeysStaysReadable) {
  const int n = 1500;
  for (const std::string kind : {"NTX", "NDX", "MDX", "CDX"}) {
    SCOPED_TRACE(kind);
    table.rows.clear();
    table.old.clear();
    for (int i = 1; i <= n; ++i) table.Add(Name(i * 2));
    std::mt19937 rng(4711);
    std::vector<int32_t> live;
    for (int32_t r = 1; r <= n; ++r) live.push_back(r);
    std::shuffle(live.begin(), live.end(), rng);
    std::vector<std::string> names(static_cast<size_t>(n) + 1);
    for (int32_t r = 1; r <= n; ++r) names[static_cast<size_t>(r)] = Name(r * 2);
    std::unique_ptr<CVobjIndexFile> f = Make(kind);
    CVobjIndexTag* tag = f->TagByNumber(0);
    int extra = 0;
    for (int step = 0; live.size() > static_cast<size_t>(n / 10); ++step) {
      const int32_t r = live.back();
      live.pop_back();
      CVobjIndexKeyData k(0);
      k.PutString(names[static_cast<size_t>(r)]);
      k.Link = k.RecNo = r;
      ASSERT_TRUE(tag->KeyDelete(k)) << r;
      if (step % 7 == 0) {
        // A record renamed to a key next to one of its old neighbours.
        const int32_t moved = live[rng() % live.size()];
        const std::string name = Name(static_cast<int>(rng() % (2 * n))) + "+" + std::to_string(++extra);
        Change(*f, moved, name);
        names[static_cast<size_t>(moved)] = table.rows[static_cast<size_t>(moved - 1)].name;
      }
      if (step % 150 != 149 && live.size() > static_cast<size_t>(n / 10) + 1) continue;
      f.reset();
      Pairs expected;
      for (int32_t x : live) expected.emplace_back(Trimmed(names[static_cast<size_t>(x)]), x);
      std::sort(expected.begin(), expected.end());
      const Shape s = Walk(kind);
      ASSERT_EQ(s.Verdict(static_cast<int64_t>(live.size())), "") << live.size() << " keys left";
      ASSERT_EQ(Sorted(s), expected) << live.size() << " keys left";
      if (HavePerlXBase()) {
        int rc = 0;
        Pairs theirs = kind == "NTX" || kind == "NDX" ? PerlRead(Path(kind == "NTX" ? "ntx" : "ndx"), "C", &rc)
                                                      : PerlReadTag(Path(kind == "MDX" ? "mdx" : "cdx"), "T", &rc);
        for (auto& [key, rec] : theirs) key = Trimmed(key);
        std::sort(theirs.begin(), theirs.end());
        EXPECT_EQ(rc, 0);
        ASSERT_EQ(theirs, expected) << "XBase::Index, " << live.size() << " keys left";
      }
      f = std::make_unique<CVobjNTXFile>(&table, Path("ntx"), true, false, false, false);
      if (kind == "NDX") f = std::make_unique<CVobjNDXFile>(&table, Path("ndx"), true, false, false, false);
      if (kind == "MDX") f = std::make_unique<CVobjMDXFile>(&table, Path("mdx"), true, false, false, false);
      if (kind == "CDX") f = std::make_unique<CVobjCDXFile>(&table, Path("cdx"), true, false, false, false);
      tag = kind == "NTX" || kind == "NDX" ? f->TagByNumber(0) : f->TagByName("T");
      Pairs ours;
      for (auto& [key, rec] : Forward(tag)) ours.emplace_back(Trimmed(key), rec);
      std::sort(ours.begin(), ours.end());
      ASSERT_EQ(ours, expected) << live.size() << " keys left";
    }
  }
}

// --- NDX files that already hold keyless pages -------------------------------

class NdxKeylessPages : public CdxTest {
protected:
  // Key NAME of 10 bytes: entries of 20 bytes, 25 keys a node.
  static constexpr int kEntry = 20;
  std::string Path() const { return (dir / "old.ndx").string(); }
  struct Block {
    std::vector<uint8_t> b = std::vector<uint8_t>(512, 0);
    static void Put32(uint8_t* at, uint32_t v) {
      for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
    }
  };
  // A leaf of the records `recs` (their names as keys).
  Block Leaf(const std::vector<int32_t>& recs) {
    Block k;
    Block::Put32(k.b.data(), static_cast<uint32_t>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i) {
      uint8_t* e = k.b.data() + 4 + i * kEntry;
      Block::Put32(e + 4, static_cast<uint32_t>(recs[i]));
      const std::string& name = table.rows[static_cast<size_t>(recs[i] - 1)].name;
      std::memcpy(e + 8, name.data(), 10);
    }
    return k;
  }
  // An interior block: children with the keys of the records bounding them,
  // then the rightmost child.
  Block Interior(const std::vector<std::pair<int32_t, int32_t>>& keyed, int32_t right) {
    Block k;
    Block::Put32(k.b.data(), static_cast<uint32_t>(keyed.size()));
    for (size_t i = 0; i < keyed.size(); ++i) {
      uint8_t* e = k.b.data() + 4 + i * kEntry;
      Block::Put32(e, static_cast<uint32_t>(keyed[i].first));
      std::memcpy(e + 8, table.rows[static_cast<size_t>(keyed[i].second - 1)].name.data(), 10);
    }
    Block::Put32(k.b.data() + 4 + keyed.size() * kEntry, static_cast<uint32_t>(right));
    return k;
  }
  // Writes the header (root, key NAME) and the blocks 1.. in order.
  void Write(int32_t root, const std::vector<Block>& blocks) {
    Block h;
    Block::Put32(h.b.data(), static_cast<uint32_t>(root));
    Block::Put32(h.b.data() + 4, static_cast<uint32_t>(blocks.size() + 1));
    h.b[12] = 10;     // key length
    h.b[14] = 25;     // keys a node
    h.b[18] = kEntry;  // entry length
    std::memcpy(h.b.data() + 24, "NAME", 5);
    std::ofstream out(Path(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(h.b.data()), 512);
    for (const Block& k : blocks) out.write(reinterpret_cast<const char*>(k.b.data()), 512);
  }
  Pairs Expected() const {
    Pairs p;
    for (size_t i = 0; i < table.rows.size(); ++i) p.emplace_back(Trimmed(table.rows[i].name), static_cast<int32_t>(i + 1));
    std::sort(p.begin(), p.end());
    return p;
  }
  // The engine's forward and backward reads and a find of every key.
  void ExpectEveryKeyRead(CVobjNDXFile& f) {
    CVobjIndexTag& tag = *f.NdxTag();
    const Pairs forward = ReadForward(tag);
    Pairs trimmed;
    for (auto& [k, r] : forward) trimmed.emplace_back(Trimmed(k), r);
    EXPECT_EQ(trimmed, Expected());
    EXPECT_EQ(ReadBackward(tag), forward);
    for (size_t i = 0; i < table.rows.size(); ++i) {
      TcvVariant v;
      v.PutString(Trimmed(table.rows[i].name));
      EXPECT_EQ(tag.KeyFind(v), static_cast<int32_t>(i + 1)) << table.rows[i].name;
    }
  }
};

// Depth 2: the root's right child holds no key, only its right child (a
// leaf of three keys).  Every key is read; an edit elsewhere leaves the page
// as it is, an edit under it takes its child into a neighbour.
TEST_F(NdxKeylessPages, AKeylessInteriorPageIsReadAndAnEditThroughItMendsIt) {
  for (int i = 1; i <= 6; ++i) table.Add(Name(i));
  // Blocks: 1 root [K00003 -> 2 | 3], 2 [K00002 -> 4 | 5], 3 [| 6],
  // 4 leaf 1-2, 5 leaf 3, 6 leaf 4-6.
  Write(1, {Interior({{2, 3}}, 3), Interior({{4, 2}}, 5), Interior({}, 6), Leaf({1, 2}), Leaf({3}), Leaf({4, 5, 6})});
  ASSERT_NE(index_walk::NdxShape(Path()).Verdict(6), "");
  {
    CVobjNDXFile f(&table, Path(), true, false, false, false);
    ExpectEveryKeyRead(f);
    Change(f, 1, Name(0));  // not through block 3
    ExpectEveryKeyRead(f);
  }
  EXPECT_NE(index_walk::NdxShape(Path()).faults, std::vector<std::string>{}) << "block 3 was not on the edit's path";
  {
    CVobjNDXFile f(&table, Path(), true, false, false, false);
    Change(f, 5, Name(5) + "X");
    ExpectEveryKeyRead(f);
  }
  const Shape s = index_walk::NdxShape(Path());
  EXPECT_EQ(s.Verdict(6), "");
  EXPECT_EQ(Sorted(s), Expected());
  if (HavePerlXBase()) {
    int rc = 0;
    EXPECT_EQ(PerlRead(Path(), "C", &rc).size(), 6u);
    EXPECT_EQ(rc, 0);
  }
}

// The root itself holds no key, only its right child: the edit makes that
// child the root's content, in the root's block.
TEST_F(NdxKeylessPages, AKeylessRootTakesItsChildsPlace) {
  for (int i = 1; i <= 3; ++i) table.Add(Name(i));
  Write(1, {Interior({}, 2), Leaf({1, 2, 3})});
  {
    CVobjNDXFile f(&table, Path(), true, false, false, false);
    ExpectEveryKeyRead(f);
    Change(f, 2, Name(7));
    ExpectEveryKeyRead(f);
  }
  const Shape s = index_walk::NdxShape(Path());
  EXPECT_EQ(s.Verdict(3), "");
  EXPECT_EQ(s.interiorPages, 0);
  const std::vector<uint8_t> b = index_walk::ReadAll(Path());
  EXPECT_EQ(b[0], 1) << "the header still names block 1";
}

}  // namespace
