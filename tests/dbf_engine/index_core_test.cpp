// The index core against a fake table and a small in-memory page format.
#include "dbf_engine/index/index_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_table_link.h"
#include "common/test_files.h"
#include "index_test_table.h"
#include "dbf_engine/messages.h"

namespace {

struct StoredEntry {
  TcvVariantType kind;
  std::string bytes;
  int32_t recNo;
  int32_t link;
};
struct StoredPage {
  bool leaf = true;
  std::vector<StoredEntry> entries;
};

// Pages live in a map; a node holds at most MaxKeys entries and splits in
// halves on store, as the NDX layout does.
class MemFile : public CVobjIndexFile {
public:
  explicit MemFile(KeyIndexTable* t) : CVobjIndexFile(t, "mem.tst") {}
  std::map<int32_t, StoredPage> pages;
  int32_t next = 1;
  int32_t writes = 0;
  int32_t GetAvailPage() override { return next++; }
};

class MemTag : public CVobjIndexTag {
public:
  MemTag(MemFile* f, KeyIndexTable* t, int32_t maxKeys) : CVobjIndexTag(f, "T"), file_(f), table_(t) {
    SetKeyShape(KeyLength(), EntryLength(), maxKeys, maxKeys / 2);
    SetRootPage(f->GetAvailPage());
    f->pages[RootPage()] = StoredPage{};
  }
  ~MemTag() override { CloseQuietly(); }

  // State the tests set directly.
  using CVobjIndexTag::SetDirection;
  using CVobjIndexTag::SetKeyLength;
  using CVobjIndexTag::SetPosition;
  using CVobjIndexTag::SetUnique;
  void SetName(const std::string& name) { SetTagName(name); }
  void SetKey(const std::string& keyExpr) { SetExpressions(keyExpr, ForExpression(), HasFor()); }
  void SetHasFor() { SetExpressions(KeyExpression(), ForExpression(), true); }

  int32_t PageLoad(int32_t page, CVobjIndexKey& node) override {
    auto it = file_->pages.find(page);
    if (it == file_->pages.end()) cvRaise(cvErrIndexCorrupted, {"mem.tst"});
    node.PageType = it->second.leaf ? CVsetPageType::Leaf : CVsetPageType::Node;
    TcvVariant v;
    for (auto& e : it->second.entries) {
      v.PutBinary(e.bytes.data(), static_cast<int32_t>(e.bytes.size()));
      v.SetKind(e.kind);
      node.AppendEntry(v, e.recNo, e.link);
    }
    return page;
  }
  void Write(CVobjIndexKey& node) {
    StoredPage p;
    p.leaf = node.IsLeaf();
    for (int32_t i = 0; i < node.Count(); ++i) {
      auto& e = node.Entry(i);
      p.entries.push_back({e.Kind(), std::string(e.Bytes()), e.RecNo, e.Link});
    }
    file_->pages[node.Page] = p;
    ++file_->writes;
  }
  int32_t PageStore(CVobjIndexKey& node) override {
    while (node.Count() > MaxKeys()) {
      auto left = node.SplitFront((node.Count() + 1) / 2);
      Write(*left);
    }
    Write(node);
    return node.Page;
  }
  // A record whose key is kNoValue stands for a key expression that gives
  // nothing storable (a memo, a null).
  static constexpr const char* kNoValue = "<none>";
  bool SolveExpression(TcvVariant& key, bool& ok) override {
    ok = table_->Key() != kNoValue;
    if (ok) key.PutString(table_->Key());
    else key.Clear();
    return true;
  }
  bool SolveFilter() override { return table_->Pass(); }

  MemFile* file_;
  KeyIndexTable* table_;
};

struct Fixture {
  KeyIndexTable table;
  MemFile file{&table};
  MemTag* tag;
  explicit Fixture(int32_t maxKeys = 4) {
    tag = static_cast<MemTag*>(file.AdoptTag(std::make_unique<MemTag>(&file, &table, maxKeys)));
    tag->SetKey("K");
  }
  bool Add(const std::string& k, int32_t rec) {
    CVobjIndexKeyData d(0);
    d.PutString(k);
    d.Link = rec;
    return tag->KeyAdd(d);
  }
  int32_t AddRecord(const std::string& k) {
    int32_t rec = table.Add(k);
    Add(k, rec);
    return rec;
  }
  // Every (key, record) in index order.
  using Pairs = std::vector<std::pair<std::string, int32_t>>;
  Pairs Forward() {
    if (!tag->Root()) tag->TagOpen(cvTagOpenRoot);
    Pairs out;
    for (int32_t r = tag->KeyRead(cvReadTop); r != 0; r = tag->KeyRead(cvReadNext))
      out.emplace_back(tag->CurrentKey().GetString(), r);
    return out;
  }
  Pairs Backward() {
    if (!tag->Root()) tag->TagOpen(cvTagOpenRoot);
    Pairs out;
    for (int32_t r = tag->KeyRead(cvReadBottom); r != 0; r = tag->KeyRead(cvReadPrevious))
      out.emplace_back(tag->CurrentKey().GetString(), r);
    return out;
  }
  int Depth() {
    tag->TagOpen(cvTagOpenRoot);
    int d = 0;
    for (CVobjIndexKey* n = tag->Root(); n; ++d) {
      if (n->IsLeaf()) return d + 1;
      n = n->GetChild(n->Entry(0).Link);
    }
    return d;
  }
  int32_t Find(const std::string& k, int32_t rec = cvSeekAnyRecord) {
    TcvVariant v;
    v.PutString(k);
    return tag->KeyFind(v, rec);
  }
};

std::string RandomKey(std::mt19937& rng) {
  std::uniform_int_distribution<int> len(1, 6), ch('A', 'H');
  std::string s(static_cast<size_t>(len(rng)), 'A');
  for (auto& c : s) c = static_cast<char>(ch(rng));
  return s;
}

using Pairs = std::vector<std::pair<std::string, int32_t>>;

Pairs SortedExpected(const KeyIndexTable& t, bool descending = false) {
  Pairs want;
  for (size_t i = 0; i < t.rows.size(); ++i)
    if (t.rows[i].pass) want.emplace_back(t.rows[i].key, static_cast<int32_t>(i + 1));
  std::stable_sort(want.begin(), want.end(),
                   [&](auto& a, auto& b) { return descending ? a.first > b.first : a.first < b.first; });
  return want;
}

// Keys in order and exactly the passing records, each once; equal keys may
// come in any record order (a changed record goes after its equal keys).
void ExpectSameEntries(const Pairs& got, const KeyIndexTable& t) {
  for (size_t i = 1; i < got.size(); ++i) ASSERT_LE(got[i - 1].first, got[i].first) << i;
  Pairs a = got, b = SortedExpected(t);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

}  // namespace

TEST(IndexCore, RandomInsertsGrowThreeLevelsAndReadInOrder) {
  Fixture f(4);
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) f.AddRecord(RandomKey(rng));
  EXPECT_GE(f.Depth(), 3);
  Pairs want = SortedExpected(f.table);
  EXPECT_EQ(f.Forward(), want);
  Pairs back = f.Backward();
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, want);
  // The tree on "disk" reads the same after a fresh open.
  f.tag->TagClose();
  EXPECT_EQ(f.Forward(), want);
}

TEST(IndexCore, DescendingCompareStoresHighestFirst) {
  Fixture f(3);
  f.tag->SetDirection(false, true);
  std::mt19937 rng(5);
  for (int i = 0; i < 500; ++i) f.AddRecord(RandomKey(rng));
  EXPECT_EQ(f.Forward(), SortedExpected(f.table, true));
}

TEST(IndexCore, ManyEqualKeysSpanLeaves) {
  Fixture f(5);
  f.AddRecord("A");
  for (int i = 0; i < 600; ++i) f.AddRecord("SAME");
  f.AddRecord("Z");
  EXPECT_GE(f.Depth(), 3);
  EXPECT_EQ(f.Forward(), SortedExpected(f.table));
  // Each record is found exactly, even deep inside the run of equal keys.
  for (int32_t rec : {2, 3, 150, 301, 600, 601}) EXPECT_EQ(f.Find("SAME", rec), rec) << rec;
  EXPECT_EQ(f.Find("SAME"), 2);
  EXPECT_EQ(f.Find("SAME", 1), 0);  // records 1 and 602 have other keys
  EXPECT_EQ(f.Find("SAME", 602), 0);
  // A unique tag refuses a second equal key; the first record keeps it.
  f.tag->SetUnique(true);
  EXPECT_FALSE(f.Add("A", 900));
  EXPECT_EQ(f.Find("A"), 1);
  EXPECT_TRUE(f.Add("B", 901));
  EXPECT_EQ(f.Find("B"), 901);
}

TEST(IndexCore, DeleteEverythingThenAddAgain) {
  Fixture f(4);
  std::mt19937 rng(3);
  for (int i = 0; i < 400; ++i) f.AddRecord(RandomKey(rng));
  ASSERT_GE(f.Depth(), 3);
  std::vector<int32_t> order(400);
  for (int i = 0; i < 400; ++i) order[static_cast<size_t>(i)] = i + 1;
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t n = 0; n < order.size(); ++n) {
    CVobjIndexKeyData k(0);
    k.PutString(f.table.rows[static_cast<size_t>(order[n] - 1)].key);
    k.Link = order[n];
    ASSERT_TRUE(f.tag->KeyDelete(k)) << n;
    f.table.rows[static_cast<size_t>(order[n] - 1)].pass = false;
    if (n % 50 == 0) {
      ASSERT_EQ(f.Forward(), SortedExpected(f.table)) << n;
    }
  }
  EXPECT_TRUE(f.Forward().empty());
  EXPECT_EQ(f.tag->KeyRead(cvReadTop), 0);
  f.tag->TagOpen(cvTagOpenRoot);
  EXPECT_TRUE(f.tag->Root()->IsLeaf());
  EXPECT_EQ(f.tag->Root()->Count(), 0);
  // The emptied tree takes keys again.
  for (int i = 0; i < 400; ++i) {
    f.table.rows[static_cast<size_t>(i)].pass = true;
    f.Add(f.table.rows[static_cast<size_t>(i)].key, i + 1);
  }
  EXPECT_EQ(f.Forward(), SortedExpected(f.table));
}

TEST(IndexCore, KeyUpdateAcrossForTransitionsKeepsOneEntryPerRecord) {
  Fixture f(4);
  f.tag->SetHasFor();
  std::mt19937 rng(9);
  for (int i = 0; i < 200; ++i) {
    int32_t rec = f.table.Add(RandomKey(rng), rng() % 2 == 0);
    f.table.current = rec;
    f.table.editing = true;
    f.tag->KeyUpdate(rec, true);
    f.table.editing = false;
  }
  ASSERT_EQ(f.Forward(), SortedExpected(f.table));
  // A range that excludes most keys must not hide old entries from updates.
  TcvVariant lo, hi;
  lo.PutString("C");
  hi.PutString("D");
  f.tag->SetRange(&lo, true, &hi, true, true);
  for (int step = 0; step < 2000; ++step) {
    int32_t rec = 1 + static_cast<int32_t>(rng() % 200);
    size_t i = static_cast<size_t>(rec - 1);
    if (rng() % 3 != 0) f.table.rows[i].key = RandomKey(rng);
    if (rng() % 3 == 0) f.table.rows[i].pass = !f.table.rows[i].pass;
    f.table.current = rec;
    f.table.editing = true;
    f.tag->KeyUpdate(rec, false);
    f.table.editing = false;
    f.table.Commit(rec);
  }
  f.tag->SetRange(nullptr, false, nullptr, false, false);
  ExpectSameEntries(f.Forward(), f.table);
}

TEST(IndexCore, UnchangedRecordWritesNothing) {
  Fixture f(4);
  for (const char* k : {"A", "B", "C"}) f.AddRecord(k);
  f.tag->TagClose();
  const int32_t before = f.file.writes;
  f.table.current = 2;
  f.table.editing = true;
  EXPECT_FALSE(f.tag->KeyUpdate(2, false));
  f.tag->SetHasFor();  // with a FOR the key is looked at, still nothing changes
  EXPECT_FALSE(f.tag->KeyUpdate(2, false));
  EXPECT_EQ(f.file.writes, before);
}

TEST(IndexCore, PartialRangeOnAscendingAndDescendingTags) {
  for (bool desc : {false, true}) {
    Fixture f(3);
    f.tag->SetDirection(!desc, true);
    for (const char* k : {"L", "M", "MA", "MB", "N", "A", "Z", "M"}) f.AddRecord(k);
    TcvVariant m;
    m.PutString("M");
    ASSERT_TRUE(f.tag->SetRange(&m, true, &m, true, true));
    EXPECT_FALSE(f.tag->SetRange(&m, true, &m, true, true));  // unchanged
    Pairs got = f.Forward();
    Pairs want{{"M", 2}, {"M", 8}, {"MA", 3}, {"MB", 4}};
    if (desc) want = {{"MB", 4}, {"MA", 3}, {"M", 2}, {"M", 8}};
    EXPECT_EQ(got, want) << desc;
    Pairs back = f.Backward();
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, want) << desc;
    // N is outside: a find of it reports end of file.
    EXPECT_EQ(f.Find("N"), 0);
    EXPECT_TRUE(f.tag->Eof());
  }
}

// A whole-key range takes no key that merely begins with a bound, read
// either way: stored descending, "MA" comes before "M" and the low bound is
// "M" itself.
TEST(IndexCore, WholeKeyRangeOnAscendingAndDescendingTags) {
  for (bool desc : {false, true}) {
    Fixture f(3);
    f.tag->SetDirection(!desc, true);
    for (const char* k : {"L", "M", "MA", "MB", "N", "A", "Z", "M", ""}) f.AddRecord(k);
    TcvVariant m, l;
    m.PutString("M");
    l.PutString("L");
    ASSERT_TRUE(f.tag->SetRange(&m, true, &m, true, false));
    Pairs want{{"M", 2}, {"M", 8}};
    EXPECT_EQ(f.Forward(), want) << desc;
    Pairs back = f.Backward();
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, want) << desc;
    EXPECT_EQ(f.Find("MA"), 0);
    EXPECT_TRUE(f.tag->Eof());
    // From M down to L (up to M, ascending) with M's followers left out.
    if (desc) f.tag->SetRange(&m, true, &l, true, false);
    else f.tag->SetRange(&l, true, &m, true, false);
    want = {{"L", 1}, {"M", 2}, {"M", 8}};
    if (desc) want = {{"M", 2}, {"M", 8}, {"L", 1}};
    EXPECT_EQ(f.Forward(), want) << desc;
  }
}

TEST(IndexCore, KeyInRangeTestsBothBounds) {
  Fixture f(4);
  for (const char* k : {"A", "C", "E"}) f.AddRecord(k);
  TcvVariant lo;
  lo.PutString("B");
  f.tag->SetRange(&lo, true, nullptr, false, false);
  // Only a low bound: a key below it is outside.
  f.Find("A");
  TcvVariant at;
  at.PutString("A");
  f.tag->SetPosition(at, 1, false, false);
  EXPECT_EQ(f.tag->KeyInRange(), -1);
  at.PutString("C");
  f.tag->SetPosition(at, 2, false, false);
  EXPECT_EQ(f.tag->KeyInRange(), 0);
  EXPECT_EQ(f.Forward(), (Pairs{{"C", 2}, {"E", 3}}));
}

TEST(IndexCore, FindExactPrefixAndSoftSeek) {
  Fixture f(4);
  for (const char* k : {"ADAMS", "JONES", "SMITH", "YOUNG"}) f.AddRecord(k);
  f.table.exact = false;
  EXPECT_EQ(f.Find("SMI"), 3);
  f.table.exact = true;
  EXPECT_EQ(f.Find("SMI"), 0);
  // Not found: positioned on the next key, not at end of file.
  EXPECT_FALSE(f.tag->Eof());
  EXPECT_EQ(f.tag->CurrentKey().GetString(), "SMITH");
  EXPECT_EQ(f.Find("XX"), 0);  // just below the last key
  EXPECT_FALSE(f.tag->Eof());
  EXPECT_EQ(f.tag->CurrentKey().GetString(), "YOUNG");
  EXPECT_EQ(f.Find("ZZ"), 0);  // past the last key
  EXPECT_TRUE(f.tag->Eof());
  // Reads: past the end gives 0 and end of file; -5 re-reads.
  EXPECT_EQ(f.tag->KeyRead(cvReadBottom), 4);
  EXPECT_EQ(f.tag->KeyRead(cvReadCurrent), 4);
  EXPECT_EQ(f.tag->KeyRead(cvReadNext), 0);
  EXPECT_TRUE(f.tag->Eof());
  EXPECT_EQ(f.tag->KeyRead(cvReadPrevious), 4);
  EXPECT_EQ(f.tag->KeyRead(cvReadTop), 1);
  EXPECT_EQ(f.tag->KeyRead(cvReadPrevious), 0);
  EXPECT_TRUE(f.tag->Bof());
  EXPECT_EQ(f.tag->KeyRead(cvReadPrevious), 0);
  EXPECT_EQ(f.tag->HuntDuplicate(*[] {
    static TcvVariant v;
    v.PutString("JONES");
    return &v;
  }()),
            2);
}

TEST(IndexCore, OrderedByRecordKeepsEqualKeysInRecordOrder) {
  Fixture f(3);
  f.file.OrderedByRecord = true;
  for (int i = 0; i < 30; ++i) f.table.Add("K");
  std::vector<int32_t> order(30);
  for (int i = 0; i < 30; ++i) order[static_cast<size_t>(i)] = i + 1;
  std::mt19937 rng(1);
  std::shuffle(order.begin(), order.end(), rng);
  for (int32_t rec : order) f.Add("K", rec);
  EXPECT_EQ(f.Forward(), SortedExpected(f.table));
  for (int32_t rec : {1, 17, 30}) EXPECT_EQ(f.Find("K", rec), rec);
  // An edit finds and removes the old entry by its record number.
  f.table.rows[16].key = "A";
  f.table.current = 17;
  f.table.editing = true;
  EXPECT_TRUE(f.tag->KeyUpdate(17, false));
  f.table.Commit(17);
  EXPECT_EQ(f.Forward(), SortedExpected(f.table));
}

TEST(IndexCore, ReversedNavigationReadsBackwards) {
  Fixture f(3);
  f.tag->SetDirection(false, false);
  for (const char* k : {"B", "A", "C", "D"}) f.AddRecord(k);
  EXPECT_EQ(f.Forward(), (Pairs{{"D", 4}, {"C", 3}, {"B", 1}, {"A", 2}}));
}

TEST(IndexCore, LongKeysAreCutToTheKeyLength) {
  Fixture f(4);
  f.tag->SetKeyLength(4);
  f.Add("ABCDEFGH", 1);
  f.Add("ABCD", 2);
  EXPECT_EQ(f.Forward(), (Pairs{{"ABCD", 1}, {"ABCD", 2}}));
}

TEST(IndexCore, PageCycleIsCorruptNotAHang) {
  Fixture f(4);
  for (const char* k : {"A", "B", "C", "D", "E", "F", "G"}) f.AddRecord(k);
  f.tag->TagClose();
  // Point the root's first child at the root itself.
  StoredPage& root = f.file.pages[f.tag->RootPage()];
  ASSERT_FALSE(root.leaf);
  root.entries[0].link = f.tag->RootPage();
  EXPECT_THROW(f.Forward(), ECorvidError);
  root.entries[0].link = 0;
  EXPECT_THROW(f.Forward(), ECorvidError);
}

TEST(IndexCore, OpenFollowsTheTablesCurrentRecord) {
  Fixture f(3);
  std::mt19937 rng(21);
  for (int i = 0; i < 100; ++i) f.AddRecord(RandomKey(rng));
  for (int32_t rec : {1, 37, 100}) {
    f.table.current = rec;
    f.tag->TagOpen(cvTagOpenFollow);
    EXPECT_EQ(f.tag->CurrentRecord(), rec);
    EXPECT_EQ(f.tag->CurrentKey().GetString(), f.table.rows[static_cast<size_t>(rec - 1)].key);
    f.tag->KeyRead(cvReadTop);
    f.tag->KeySync(rec);
    EXPECT_EQ(f.tag->CurrentRecord(), rec);
  }
  // A record that is not in the index opens at the top.
  f.table.rows.push_back(KeyRow{"NOT THERE", false});
  f.table.current = 101;
  f.tag->TagOpen(cvTagOpenFollow);
  EXPECT_EQ(f.tag->CurrentKey().GetString(), SortedExpected(f.table).front().first);
}

TEST(IndexCore, KeyWithoutValueIsRefusedNotStoredEmpty) {
  Fixture f(3);
  for (const char* k : {"A", "B", "C"}) f.AddRecord(k);
  f.tag->TagClose();
  auto update = [&](int32_t rec, const std::string& key) {
    f.table.rows[static_cast<size_t>(rec - 1)].key = key;
    f.table.current = rec;
    f.table.editing = true;
    struct Done {
      Fixture& f;
      int32_t rec;
      ~Done() {
        f.table.editing = false;
        f.table.Commit(rec);
      }
    } done{f, rec};
    return f.tag->KeyUpdate(rec, false);
  };
  // The new key has no value: refused, and the old entry, which the
  // record no longer has, goes; nothing empty is stored.
  EXPECT_THROW(update(2, MemTag::kNoValue), ECorvidExpression);
  EXPECT_EQ(f.Forward(), (Fixture::Pairs{{"A", 1}, {"C", 3}}));
  // Opening on such a record does not raise: it starts at the top.
  f.table.current = 2;
  EXPECT_NO_THROW(f.tag->TagOpen(cvTagOpenFollow));
  EXPECT_EQ(f.tag->CurrentRecord(), 1);
  // A record whose old key had no value gets its new key.
  EXPECT_TRUE(update(2, "D"));
  EXPECT_EQ(f.Forward(), (Fixture::Pairs{{"A", 1}, {"C", 3}, {"D", 2}}));
  // Through the file: the first tag's refusal does not stop the second tag
  // from dropping the old entry; the refusal is raised after both.
  auto* other = static_cast<MemTag*>(f.file.AdoptTag(std::make_unique<MemTag>(&f.file, &f.table, 3)));
  other->SetKey("K");
  for (int32_t rec = 1; rec <= 3; ++rec) {
    CVobjIndexKeyData d(0);
    d.PutString(f.table.rows[static_cast<size_t>(rec - 1)].key);
    d.Link = rec;
    other->KeyAdd(d);
  }
  f.table.rows[0].key = MemTag::kNoValue;
  f.table.current = 1;
  f.table.editing = true;
  EXPECT_THROW(f.file.TagUpdate(1, false), ECorvidExpression);
  f.table.editing = false;
  f.table.Commit(1);
  const Fixture::Pairs rest = {{"C", 3}, {"D", 2}};
  EXPECT_EQ(f.Forward(), rest);
  other->TagOpen(cvTagOpenRoot);
  Fixture::Pairs second;
  for (int32_t r = other->KeyRead(cvReadTop); r != 0; r = other->KeyRead(cvReadNext))
    second.emplace_back(other->CurrentKey().GetString(), r);
  EXPECT_EQ(second, rest);
  // A build over such a record refuses it too.
  f.table.current = 3;
  f.table.rows[2].key = MemTag::kNoValue;
  CVobjIndexKeyData k(0);
  EXPECT_THROW(f.tag->BuildRecordKey(k), ECorvidExpression);
}

TEST(IndexCore, RangeCountCountsKeysInRange) {
  Fixture f(3);
  for (const char* k : {"A", "B", "BA", "BB", "C", "D"}) f.AddRecord(k);
  EXPECT_EQ(f.tag->GetRangeCount(), 6);  // no range, no FOR: the record count
  TcvVariant b;
  b.PutString("B");
  f.tag->SetRange(&b, true, &b, true, true);
  EXPECT_TRUE(f.tag->GetRangeActive());
  EXPECT_EQ(f.tag->GetRangeCount(), 3);
  TcvVariant lo, hi;
  f.tag->GetRange(lo, hi);
  EXPECT_EQ(lo.GetString(), "B");
  EXPECT_EQ(hi.GetString(), "B");
}

TEST(IndexCore, EqualKeysGoAfterExistingOnesInEitherDirection) {
  for (bool desc : {false, true}) {
    Fixture f(3);
    f.tag->SetDirection(!desc, true);
    for (int32_t rec : {5, 2, 9, 1, 7}) {
      while (f.table.ixRecordCount() < rec) f.table.Add("X");
      f.Add("X", rec);
    }
    Pairs got = f.Forward();
    EXPECT_EQ(got, (Pairs{{"X", 5}, {"X", 2}, {"X", 9}, {"X", 1}, {"X", 7}})) << desc;
  }
}

TEST(IndexFile, OpensNextToTheTableAndCiphersPages) {
  TempDir tmp;
  KeyIndexTable t;
  t.fileName = tmp.path() + "/people.dbf";
  t.cipherKey = "SECRET";
  CVobjIndexFile file(&t, "people");
  // Missing file: none, nothing created.
  EXPECT_EQ(file.IndexFileOpen("people", ".ndx", true, false, false, false), nullptr);
  CVO_DiskFile* d = file.IndexFileOpen("people", ".ndx", true, false, true, false);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(file.GetFileName(), "people.ndx");
  EXPECT_TRUE(file.IsFileName("/elsewhere/PEOPLE.NDX"));
  EXPECT_EQ(d->FileName(), tmp.path() + "/people.ndx");

  std::vector<uint8_t> page(1024);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(file.PageWrite(512, page.data(), 1024));
  // On disk the page is enciphered in 512-byte pieces...
  std::vector<uint8_t> raw(1024);
  ASSERT_EQ(d->cvRead(512, raw.data(), 1024), 1024);
  EXPECT_NE(raw, page);
  std::vector<uint8_t> piece(512);
  Encryption(t.cipherKey, raw.data() + 512, piece.data(), 512, 0);
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), page.begin() + 512));
  // ...and reads back plain.
  std::vector<uint8_t> back(1024);
  ASSERT_TRUE(file.PageRead(512, back.data(), 1024));
  EXPECT_EQ(back, page);
  // A read past the end reports the shortfall.
  EXPECT_FALSE(file.PageRead(1024, back.data(), 1024));
  // Re-ciphering with the same key on both sides leaves the content.
  file.ixEncrypt();
  ASSERT_TRUE(file.PageRead(512, back.data(), 1024));
  EXPECT_EQ(back, page);
  // Not shared: the index lock is granted at once.
  EXPECT_TRUE(file.IndexLock());
}

TEST(IndexFile, TagLookups) {
  KeyIndexTable t;
  MemFile file(&t);
  auto* a = static_cast<MemTag*>(file.AdoptTag(std::make_unique<MemTag>(&file, &t, 4)));
  auto* b = static_cast<MemTag*>(file.AdoptTag(std::make_unique<MemTag>(&file, &t, 4)));
  a->SetName("Name");
  a->SetKey("UPPER(FM)");
  b->SetName("TEL");
  b->SetKey("TEL");
  b->SetHasFor();
  EXPECT_EQ(file.TagCount(), 2);
  EXPECT_EQ(file.TagByNumber(1), b);
  EXPECT_EQ(file.TagByNumber(2), nullptr);
  EXPECT_EQ(file.TagByNumber(-1), nullptr);
  EXPECT_EQ(file.TagByName("NAME"), a);
  EXPECT_EQ(file.TagByName("nope"), nullptr);
  EXPECT_EQ(file.KeyByName("upper(fm)", true), a);
  EXPECT_EQ(file.KeyByName("tel", false), b);
  EXPECT_EQ(file.KeyByName("tel", true), nullptr);
  EXPECT_TRUE(file.FreeTag(a));
  EXPECT_EQ(file.TagCount(), 1);
}

namespace {
class LinkedTable : public KeyIndexTable {
public:
  TcvExpUserLink link;
  TcvExpUserLink* ixExpressionLink() override { return &link; }
};
// A plain tag whose key length a test sets.
class ShapedTag : public CVobjIndexTag {
public:
  using CVobjIndexTag::CVobjIndexTag;
  using CVobjIndexTag::SetKeyLength;
};
}  // namespace

TEST(IndexCore, KeyAndForExpressionsAreCompiledAgainstTheTable) {
  LinkedTable t;
  CVobjIndexFile file(&t, "x.tst");
  auto* tag = static_cast<ShapedTag*>(file.AdoptTag(std::make_unique<ShapedTag>(&file, "T")));
  ASSERT_TRUE(tag->IndexTagNew("T", "\"AB\"+\"C\"", ".T.", true, false));
  EXPECT_TRUE(tag->HasFor());
  EXPECT_FALSE(tag->GetIndexExpression().empty());
  CVobjIndexKeyData k(0);
  ASSERT_TRUE(tag->BuildRecordKey(k));
  EXPECT_EQ(k.GetString(), "ABC");
  EXPECT_TRUE(tag->SolveFilter());
  // A FOR condition that is not boolean passes nothing.
  tag->IndexTagNew("T", "\"AB\"", "1", true, false);
  EXPECT_FALSE(tag->SolveFilter());
  tag->SetKeyLength(1);
  ASSERT_TRUE(tag->BuildRecordKey(k));
  EXPECT_EQ(k.GetString(), "A");
  // No key expression: no key.
  tag->IndexTagNew("T", "", "", true, false);
  EXPECT_FALSE(tag->BuildRecordKey(k));
  EXPECT_THROW(tag->IndexTagNew("T", "\"AB", "", true, false), Exception);
}
