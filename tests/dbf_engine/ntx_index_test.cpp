// NTX index files: header and page bytes, builds, updates that move
// separators, descending tags, the change counter, Zap, and read-back by
// Perl's XBase::Index.
#include "dbf_engine/index/ntx_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dbf_engine/messages.h"
#include "index_test_table.h"
#include "index_test_util.h"
#include "table_test_util.h"

namespace {

using Pairs = IndexPairs;

Pairs Forward(CVobjIndexTag& tag) { return ReadForward(tag); }
Pairs Backward(CVobjIndexTag& tag) { return ReadBackward(tag); }

struct Names {
  TempDir dir;
  std::string dbf = dir / "names.dbf";
  std::unique_ptr<IndexTestTable> table;
  std::vector<std::string> names;  // the current NAME of each record

  explicit Names(int n = 0, uint32_t seed = 11) {
    IndexTestTable::Create(dbf, {"NAME;C;10;0", "AMOUNT;N;6;2"});
    table = std::make_unique<IndexTestTable>(dbf);
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) Append(Random(rng));
  }
  static std::string Random(std::mt19937& rng) {
    std::uniform_int_distribution<int> ch('A', 'F'), len(1, 6);
    std::string s(static_cast<size_t>(len(rng)), 'A');
    for (char& c : s) c = static_cast<char>(ch(rng));
    return s;
  }
  int32_t Append(const std::string& name, const std::string& amount = "0") {
    names.push_back(name);
    return table->Append({name, amount});
  }
  // Appends through the index, as the record handler does.
  int32_t AppendIndexed(CVobjIndexFile& f, const std::string& name) {
    table->BeginAppend();
    table->Put("NAME", name);
    const int32_t rec = table->WriteAppend();
    names.push_back(name);
    f.TagUpdate(rec, true);
    table->EndEdit();
    return rec;
  }
  void Edit(CVobjIndexFile& f, int32_t rec, const std::string& name) {
    table->BeginEdit(rec);
    table->Put("NAME", name);
    table->Write();
    f.TagUpdate(rec, false);
    table->EndEdit();
    names[static_cast<size_t>(rec - 1)] = name;
  }
  Pairs Expected(bool ascending = true) const {
    Pairs p;
    for (size_t i = 0; i < names.size(); ++i) p.emplace_back(names[i], static_cast<int32_t>(i + 1));
    std::stable_sort(p.begin(), p.end(),
                     [&](auto& a, auto& b) { return ascending ? a.first < b.first : a.first > b.first; });
    return p;
  }
  std::unique_ptr<CVobjNTXFile> Build(const std::string& file, const std::string& expr, bool ascending = true,
                                      const std::string& forExpr = "") {
    auto f = std::make_unique<CVobjNTXFile>(table.get(), dir / file, true, false, true, true);
    f->AddTag("", expr, forExpr, ascending, false);
    return f;
  }
  std::unique_ptr<CVobjNTXFile> Open(const std::string& file) {
    return std::make_unique<CVobjNTXFile>(table.get(), dir / file, true, false, false, false);
  }
};

// Keys with equal text may come in any record order from a build; compare
// the key sequence and the set of records per key.
std::map<std::string, std::vector<int32_t>> Grouped(const Pairs& p) {
  std::map<std::string, std::vector<int32_t>> g;
  for (auto& e : p) g[e.first].push_back(e.second);
  for (auto& e : g) std::sort(e.second.begin(), e.second.end());
  return g;
}
std::vector<std::string> KeysOf(const Pairs& p) {
  std::vector<std::string> k;
  for (auto& e : p) k.push_back(e.first);
  return k;
}

// --- Header and page bytes ------------------------------------------------------

TEST(NtxIndex, GoldenHeaderForACharacterKey) {
  Names n;
  n.Append("SMITH");
  n.Append("JONES");
  auto f = n.Build("name.ntx", "NAME");
  f->NtxTag()->TagClose();
  auto b = ReadAll(n.dir / "name.ntx");
  ASSERT_EQ(b.size(), 2048u);
  EXPECT_EQ(b[0] | (b[1] << 8), 6);     // signature
  EXPECT_EQ(b[2] | (b[3] << 8), 1);     // change counter
  EXPECT_EQ(LE32At(b, 4), 1024u);       // root
  EXPECT_EQ(b[12] | (b[13] << 8), 18);  // entry length
  EXPECT_EQ(b[14] | (b[15] << 8), 10);  // key length
  EXPECT_EQ(b[18] | (b[19] << 8), 50);  // maximum
  EXPECT_EQ(b[20] | (b[21] << 8), 25);  // half
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[22])), "NAME");
  EXPECT_EQ(b[278], 0);
  EXPECT_EQ(b[279], 0);
  // The root leaf: two keys, offsets from (50 + 2) * 2 = 104 in steps of 18.
  EXPECT_EQ(b[1024] | (b[1025] << 8), 2);
  EXPECT_EQ(b[1026] | (b[1027] << 8), 104);
  EXPECT_EQ(b[1028] | (b[1029] << 8), 122);
  EXPECT_EQ(LE32At(b, 1024 + 104), 0u);
  EXPECT_EQ(LE32At(b, 1024 + 104 + 4), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[1024 + 112]), 10), "JONES     ");
}

TEST(NtxIndex, EmptyTableGivesAnAllZeroRoot) {
  Names n;
  auto f = n.Build("name.ntx", "NAME");
  auto b = ReadAll(n.dir / "name.ntx");
  ASSERT_EQ(b.size(), 2048u);
  EXPECT_EQ(LE32At(b, 4), 1024u);
  EXPECT_TRUE(std::all_of(b.begin() + 1024, b.end(), [](uint8_t c) { return c == 0; }));
  EXPECT_TRUE(Forward(*f->NtxTag()).empty());
  // The first key added goes into that root.
  n.AppendIndexed(*f, "ADAMS");
  EXPECT_EQ(Forward(*f->NtxTag()), (Pairs{{"ADAMS", 1}}));
}

TEST(NtxIndex, NegativeNumbersAreMappedDigitsAndSortFirst) {
  Names n;
  n.Append("A", "  3.00");
  n.Append("B", " -5.00");
  n.Append("C", "  0.00");
  n.Append("D", "-10.25");
  auto f = n.Build("amount.ntx", "AMOUNT");
  CVobjNTXTag& t = *f->NtxTag();
  EXPECT_EQ(t.KeyType(), 'N');
  // A key of one field takes the field's width.
  EXPECT_EQ(t.KeyLength(), 6);
  Pairs p = Forward(t);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[1].first, NtxNumericKey(-5, 6, t.Decimals()));
  EXPECT_EQ(NtxNumericKey(-5, 6, 2), ",,'.,,");  // "005.00" with each digit d as 92 - d
  EXPECT_EQ((std::vector<int32_t>{p[0].second, p[1].second, p[2].second, p[3].second}),
            (std::vector<int32_t>{4, 2, 3, 1}));
  TcvVariant v;
  v.PutFloat(-5);
  EXPECT_EQ(t.KeyFind(v), 2);
}

// --- Trees ----------------------------------------------------------------------

TEST(NtxIndex, BuildGivesEveryKeyOnceInOrder) {
  Names n(3000);
  auto f = n.Build("name.ntx", "NAME");
  Pairs fwd = Forward(*f->NtxTag());
  Pairs want = n.Expected();
  EXPECT_EQ(KeysOf(fwd), KeysOf(want));
  EXPECT_EQ(Grouped(fwd), Grouped(want));
  EXPECT_EQ(Backward(*f->NtxTag()), fwd);
  // Three levels.
  CVobjNTXTag& t = *f->NtxTag();
  t.TagOpen(cvTagOpenRoot);
  ASSERT_FALSE(t.Root()->IsLeaf());
  EXPECT_FALSE(t.Root()->GetChild(t.Root()->Entry(0).Link)->IsLeaf());
}

// Separators live in interior pages: editing their records away and back,
// and deleting them, must move keys between pages without loss.
TEST(NtxIndex, UpdatesOfKeysInInteriorPages) {
  Names n(400, 5);
  auto f = n.Build("name.ntx", "NAME");
  CVobjNTXTag& t = *f->NtxTag();
  // The separators of the root page.
  t.TagOpen(cvTagOpenRoot);
  ASSERT_FALSE(t.Root()->IsLeaf());
  std::vector<int32_t> seps;
  for (int32_t i = 0; i + 1 < t.Root()->Count(); ++i) seps.push_back(t.Root()->Entry(i).RecNo);
  ASSERT_FALSE(seps.empty());
  for (int32_t rec : seps) n.Edit(*f, rec, "ZZ" + std::to_string(rec));
  std::mt19937 rng(9);
  for (int i = 0; i < 600; ++i) {
    if (i % 3 == 0) n.AppendIndexed(*f, Names::Random(rng));
    else n.Edit(*f, static_cast<int32_t>(rng() % n.names.size()) + 1, Names::Random(rng));
  }
  Pairs want = n.Expected();
  Pairs fwd = Forward(t);
  EXPECT_EQ(KeysOf(fwd), KeysOf(want));
  EXPECT_EQ(Grouped(fwd), Grouped(want));
  f.reset();
  auto g = n.Open("name.ntx");
  Pairs again = Forward(*g->NtxTag());
  EXPECT_EQ(again, fwd);
  EXPECT_EQ(Backward(*g->NtxTag()), fwd);
}

TEST(NtxIndex, DeletingEveryKeyThenAddingAgain) {
  Names n(300, 3);
  auto f = n.Build("name.ntx", "NAME", true, "NAME <> 'QQ'");
  // Records leave the tag through the FOR condition.
  for (int32_t rec = 1; rec <= 300; ++rec) n.Edit(*f, rec, "QQ");
  EXPECT_TRUE(Forward(*f->NtxTag()).empty());
  for (int32_t rec = 300; rec >= 1; --rec) n.Edit(*f, rec, "K" + std::to_string(rec % 37));
  Pairs want = n.Expected();
  EXPECT_EQ(KeysOf(Forward(*f->NtxTag())), KeysOf(want));
  f.reset();
  auto g = n.Open("name.ntx");
  EXPECT_EQ(Grouped(Forward(*g->NtxTag())), Grouped(want));
}

TEST(NtxIndex, DescendingTagSplitsAndKeepsItsOrder) {
  Names n;
  auto f = n.Build("desc.ntx", "NAME", false);
  std::mt19937 rng(4);
  for (int i = 0; i < 700; ++i) n.AppendIndexed(*f, Names::Random(rng));
  Pairs fwd = Forward(*f->NtxTag());
  EXPECT_EQ(fwd, n.Expected(false));
  f->NtxTag()->TagClose();
  auto b = ReadAll(n.dir / "desc.ntx");
  EXPECT_EQ(b[279], 1);
  f.reset();
  auto g = n.Open("desc.ntx");
  EXPECT_FALSE(g->NtxTag()->KeyIsAscending());
  EXPECT_EQ(Forward(*g->NtxTag()), fwd);
  // A build of the same table gives the same keys.
  auto h = n.Build("desc2.ntx", "NAME", false);
  EXPECT_EQ(KeysOf(Forward(*h->NtxTag())), KeysOf(fwd));
}

TEST(NtxIndex, ChangeCounterWrapsToOne) {
  EXPECT_EQ(NtxHeader::NextCounter(1), 2);
  EXPECT_EQ(NtxHeader::NextCounter(32766), 32767);
  EXPECT_EQ(NtxHeader::NextCounter(32767), 1);
  Names n(3);
  { auto f = n.Build("name.ntx", "NAME"); }
  auto b = ReadAll(n.dir / "name.ntx");
  b[2] = 0xFF;
  b[3] = 0x7F;  // 32767
  WriteAll(n.dir / "name.ntx", b);
  auto f = n.Open("name.ntx");
  EXPECT_EQ(f->Counter(), 32767);
  n.Edit(*f, 2, "NEW");
  EXPECT_EQ(f->Counter(), 1);
  b = ReadAll(n.dir / "name.ntx");
  EXPECT_EQ(b[2] | (b[3] << 8), 1);
}

TEST(NtxIndex, ZapAndReindex) {
  Names n(500);
  auto f = n.Build("name.ntx", "NAME");
  n.Edit(*f, 1, "CHANGED");
  f->Zap();
  auto b = ReadAll(n.dir / "name.ntx");
  ASSERT_EQ(b.size(), 2048u);
  EXPECT_EQ(b[2] | (b[3] << 8), 1);
  EXPECT_EQ(LE32At(b, 4), 1024u);
  EXPECT_TRUE(Forward(*f->NtxTag()).empty());
  f->Reindex();
  EXPECT_EQ(KeysOf(Forward(*f->NtxTag())), KeysOf(n.Expected()));
}

// A two-level file built by hand: the root holds the separator CLARK
// between two leaves.  Read, found, and the separator deleted: its
// predecessor moves up into the root and every other key stays.
TEST(NtxIndex, HandBuiltFileAndDeletingTheSeparator) {
  TempDir dir;
  auto put16 = [](std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  std::vector<uint8_t> f(4096, 0);
  put16(f, 0, 6);
  put16(f, 2, 1);
  put32(f, 4, 3072);
  put16(f, 12, 18);
  put16(f, 14, 10);
  put16(f, 18, 50);
  put16(f, 20, 25);
  std::memcpy(&f[22], "NAME", 5);
  auto page = [&](size_t at, std::vector<std::tuple<uint32_t, uint32_t, std::string>> entries, uint32_t right) {
    put16(f, at, static_cast<uint16_t>(entries.size()));
    for (int i = 0; i <= 50; ++i) put16(f, at + 2 + 2 * i, static_cast<uint16_t>(104 + i * 18));
    for (size_t i = 0; i < entries.size(); ++i) {
      const size_t e = at + 104 + i * 18;
      put32(f, e, std::get<0>(entries[i]));
      put32(f, e + 4, std::get<1>(entries[i]));
      std::string k = std::get<2>(entries[i]);
      k.resize(10, ' ');
      std::memcpy(&f[e + 8], k.data(), 10);
    }
    put32(f, at + 104 + entries.size() * 18, right);
  };
  page(1024, {{0, 4, "ADAMS"}, {0, 2, "BAKER"}}, 0);
  page(2048, {{0, 3, "DAVIS"}, {0, 5, "EVANS"}}, 0);
  page(3072, {{1024, 1, "CLARK"}}, 2048);
  WriteAll(dir / "hand.ntx", f);

  CVobjNTXFile file(nullptr, dir / "hand.ntx", true, false, false, false);
  CVobjNTXTag& t = *file.NtxTag();
  EXPECT_EQ(Forward(t), (Pairs{{"ADAMS", 4}, {"BAKER", 2}, {"CLARK", 1}, {"DAVIS", 3}, {"EVANS", 5}}));
  EXPECT_EQ(Backward(t), Forward(t));
  TcvVariant v;
  v.PutString("CLARK");
  EXPECT_EQ(t.KeyFind(v), 1);
  CVobjIndexKeyData k(0);
  k.PutString("CLARK");
  k.Link = 1;
  ASSERT_TRUE(t.KeyDelete(k));
  t.TagClose();
  auto b = ReadAll(dir / "hand.ntx");
  // BAKER is the root's separator now; the left leaf keeps ADAMS alone.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[3072 + 104 + 8]), 10), "BAKER     ");
  EXPECT_EQ(LE32At(b, 3072 + 104 + 4), 2u);
  EXPECT_EQ(b[1024] | (b[1025] << 8), 1);
  EXPECT_EQ(Forward(t), (Pairs{{"ADAMS", 4}, {"BAKER", 2}, {"DAVIS", 3}, {"EVANS", 5}}));
}

// Two handles of one shared file: each sees the other's changes (new roots
// included) and allocates pages after the other's.
TEST(NtxIndex, TwoSharedHandlesSeeEachOthersChanges) {
  Names n(50);
  { auto f = n.Build("name.ntx", "NAME"); }
  CVobjNTXFile a(n.table.get(), n.dir / "name.ntx", true, true, false, false);
  CVobjNTXFile b(n.table.get(), n.dir / "name.ntx", true, true, false, false);
  EXPECT_FALSE(b.ExternalChange());
  std::mt19937 rng(8);
  for (int i = 0; i < 300; ++i) n.AppendIndexed(i % 2 ? a : b, Names::Random(rng));
  // The last change came through a: b has not seen it yet.
  EXPECT_FALSE(a.ExternalChange());
  EXPECT_TRUE(b.ExternalChange());
  EXPECT_EQ(a.Counter(), 301);  // every change counted, whichever handle made it
  Pairs fa = Forward(*a.NtxTag());
  EXPECT_EQ(KeysOf(fa), KeysOf(n.Expected()));
  EXPECT_EQ(Grouped(fa), Grouped(n.Expected()));
  EXPECT_EQ(Forward(*b.NtxTag()), fa);
}

TEST(NtxIndex, BadFilesRaiseTheCatalogueError) {
  TempDir dir;
  auto open = [&](const std::vector<uint8_t>& bytes) {
    WriteAll(dir / "bad.ntx", bytes);
    CVobjNTXFile file(nullptr, dir / "bad.ntx", false, false, false, false);
    Forward(*file.NtxTag());
  };
  EXPECT_THROW(open({}), ECorvidError);
  EXPECT_THROW(open(std::vector<uint8_t>(1500, 0)), ECorvidError);
  // An interior root whose children are the root itself.
  std::vector<uint8_t> f(2048, 0);
  NtxHeader h = NtxHeader::ForKey(10, 0);
  h.Root = 1024;
  h.KeyExpr = "NAME";
  h.EncodeTo(f.data());
  NtxPage p;
  p.Entries.push_back(NtxEntry{1024, 1, "A"});
  p.RightChild = 1024;
  p.EncodeTo(f.data() + 1024, h);
  EXPECT_THROW(open(f), ECorvidError);
  EXPECT_THROW(CVobjNTXFile(nullptr, dir / "missing.ntx", false, false, false, false), ECorvidError);
}

// --- Independent reader -----------------------------------------------------------

TEST(NtxIndexInterop, PerlXBaseReadsBuiltAndUpdatedFiles) {
  if (!HavePerlXBase()) GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
  Names n(2500, 21);
  auto f = n.Build("name.ntx", "NAME");
  int rc = 0;
  f->NtxTag()->TagClose();
  Pairs ours = Forward(*f->NtxTag());
  Pairs theirs = PerlRead(n.dir / "name.ntx", "C", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(theirs, ours);
  // After updates that split pages and move separators.
  std::mt19937 rng(2);
  for (int i = 0; i < 500; ++i) {
    if (i % 2 == 0) n.AppendIndexed(*f, Names::Random(rng));
    else n.Edit(*f, static_cast<int32_t>(rng() % n.names.size()) + 1, Names::Random(rng));
  }
  ours = Forward(*f->NtxTag());
  f.reset();
  theirs = PerlRead(n.dir / "name.ntx", "C", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(theirs, ours);
}

}  // namespace
