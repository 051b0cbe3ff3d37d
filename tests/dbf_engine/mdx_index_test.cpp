// MDX multiple index files against the small fake table (PeopleIndexTable).
#include "dbf_engine/index/mdx_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_format.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/messages.h"
#include "index_test_table.h"
#include "platform/date_time.h"

namespace fs = std::filesystem;

namespace {

using Pairs = std::vector<std::pair<std::string, int32_t>>;

class MdxTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("mdx_test_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    table.fileName = (dir / "people.dbf").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<CVobjMDXFile> Open(bool create = false) {
    return std::make_unique<CVobjMDXFile>(&table, (dir / "people.mdx").string(), true, false, create, create);
  }
  std::vector<uint8_t> Bytes() const {
    std::ifstream in(dir / "people.mdx", std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static std::vector<uint8_t> Bytes2(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  int64_t Size() const { return static_cast<int64_t>(fs::file_size(dir / "people.mdx")); }

  // Appends a record and lets the file's tags take its key.
  void Append(CVobjMDXFile& f, const std::string& name, double num = 0) {
    const int32_t rec = table.Add(name, num);
    table.editing = true;
    table.old[static_cast<size_t>(rec - 1)] = PeopleRow{std::string(10, ' '), 0};
    f.TagUpdate(rec, true);
    table.old[static_cast<size_t>(rec - 1)] = table.rows[static_cast<size_t>(rec - 1)];
    table.editing = false;
  }
  void Change(CVobjMDXFile& f, int32_t rec, const std::string& name) {
    table.current = rec;
    table.editing = true;
    table.rows[static_cast<size_t>(rec - 1)].name = name;
    table.rows[static_cast<size_t>(rec - 1)].name.resize(10, ' ');
    f.TagUpdate(rec, false);
    table.old[static_cast<size_t>(rec - 1)] = table.rows[static_cast<size_t>(rec - 1)];
    table.editing = false;
  }
  static Pairs Forward(CVobjIndexTag* t) {
    Pairs out;
    t->TagOpen(cvTagOpenRoot);
    for (int32_t r = t->KeyRead(cvReadTop); r != 0; r = t->KeyRead(cvReadNext)) {
      out.emplace_back(t->CurrentKey().Kind() == cvvtFloat ? std::to_string(t->CurrentKey().GetFloat())
                                                           : t->CurrentKey().GetString(),
                       r);
      if (out.size() > 100000) break;
    }
    return out;
  }
  static std::vector<int32_t> Records(CVobjIndexTag* t) {
    std::vector<int32_t> out;
    for (auto& p : Forward(t)) out.push_back(p.second);
    return out;
  }
  static std::string Name(int i) {
    static const char* first[] = {"IVANOV", "PETROV", "SIDOROV", "KUZNETSOV", "SMIRNOV"};
    return std::string(first[i % 5]).substr(0, 6) + std::to_string(i % 997);
  }

  fs::path dir;
  PeopleIndexTable table;
};

TEST_F(MdxTest, NewFileHeaderIsTheHandBuiltImageAndMissingFileIsReported) {
  ClockOverride clock(EncodeDate(2026, 3, 9));
  Open(true).reset();
  std::vector<uint8_t> expect(2048, 0);
  expect[0] = 2;
  expect[1] = 26, expect[2] = 3, expect[3] = 9;
  const char base[] = "people";
  std::copy(base, base + 6, expect.begin() + 4);
  expect[20] = 2;     // blocks per page
  expect[23] = 0x04;  // 1024-byte pages
  expect[24] = 1;
  expect[25] = 48;
  expect[26] = 32;  // tag entry length
  expect[32] = 4;   // next free block: right after the header
  expect[44] = 26, expect[45] = 3, expect[46] = 9;
  EXPECT_EQ(Bytes(), expect);
  {
    auto f = Open();
    EXPECT_TRUE(f->Valid);
    EXPECT_EQ(f->TagCount(), 0);
    EXPECT_TRUE(table.production);
  }
  // A missing file is an error, never an empty index.
  try {
    CVobjMDXFile f(&table, (dir / "absent").string(), true, false, false, false);
    FAIL() << "a missing file opened";
  } catch (const ECorvidError& e) {
    EXPECT_NE(std::string(e.what()).find("absent.mdx could not be found"), std::string::npos) << e.what();
  }
}

TEST_F(MdxTest, TagTableStaysInNameOrderThroughAddsAndDeletes) {
  for (const char* n : {"B", "A", "C"}) table.Add(n, n[0]);
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("zeta", "NAME", "", true, false));
    ASSERT_TRUE(f->AddTag("alpha", "NUM", "", false, false));
    ASSERT_TRUE(f->AddTag("Mike", "NAME", "", false, true));
    ASSERT_TRUE(f->DeleteTag("ZETA"));
    ASSERT_TRUE(f->AddTag("beta", "NAME", "", true, false));
    EXPECT_FALSE(f->DeleteTag("zeta"));
  }
  const auto b = Bytes();
  EXPECT_EQ(cvLoadLE16(b.data() + 28), 3);
  EXPECT_EQ(b[512 + 17], 1);  // the list head points at entry 1
  const char* names[] = {"ALPHA", "BETA", "MIKE"};
  const char types[] = {'N', 'C', 'C'};
  for (int i = 1; i <= 3; ++i) {
    const uint8_t* e = b.data() + 512 + 32 * i;
    EXPECT_STREQ(reinterpret_cast<const char*>(e + 4), names[i - 1]);
    EXPECT_EQ(e[17], i < 3 ? i + 1 : 0);
    EXPECT_EQ(e[19], 2);
    EXPECT_EQ(e[20], types[i - 1]);
  }
  EXPECT_EQ(cvLoadLE32(b.data() + 32) * 512, b.size()) << "next free block";
  auto f = Open();
  ASSERT_EQ(f->TagCount(), 3);
  EXPECT_EQ(f->TagByNumber(0)->TagName(), "ALPHA");
  EXPECT_EQ(f->TagByNumber(2)->TagName(), "MIKE");
  EXPECT_EQ(Records(f->TagByName("alpha")), (std::vector<int32_t>{3, 1, 2}));
  EXPECT_EQ(Records(f->TagByName("beta")), (std::vector<int32_t>{2, 1, 3}));
  // Deleting the last tags leaves the bare header.
  EXPECT_TRUE(f->DeleteTag("alpha"));
  EXPECT_TRUE(f->DeleteTag("beta"));
  EXPECT_TRUE(f->DeleteTag("mike"));
  EXPECT_EQ(Size(), 2048);
  EXPECT_EQ(cvLoadLE32(Bytes().data() + 32), 4u);
}

TEST_F(MdxTest, FortySevenTagsThenTheFortyEighthIsRefused) {
  for (const char* n : {"B", "A", "C"}) table.Add(n, n[0]);
  auto f = Open(true);
  for (int i = 0; i < 47; ++i) ASSERT_TRUE(f->AddTag("T" + std::to_string(100 + i), "NAME", "", true, false));
  const auto before = Bytes();
  EXPECT_THROW(f->AddTag("T999", "NAME", "", true, false), ECorvidError);
  // Names over 10 characters and key expressions over 220 bytes overflow
  // their fields.
  EXPECT_THROW(f->AddTag("ELEVENCHARS", "NAME", "", true, false), ECorvidError);
  EXPECT_THROW(f->AddTag("T100", "NAME+\"" + std::string(215, 'x') + "\"", "", true, false), ECorvidError);
  EXPECT_EQ(Bytes(), before) << "a refused tag writes nothing";
  // Replacing one of the 47 is still allowed.
  ASSERT_TRUE(f->AddTag("T100", "NUM", "", true, false));
  EXPECT_EQ(f->TagCount(), 47);
  f.reset();
  f = Open();
  ASSERT_EQ(f->TagCount(), 47);
  EXPECT_EQ(f->TagByNumber(0)->KeyExpression(), "NUM");
  EXPECT_EQ(Records(f->TagByNumber(0)), (std::vector<int32_t>{2, 1, 3}));
  EXPECT_EQ(Records(f->TagByNumber(46)), (std::vector<int32_t>{2, 1, 3}));
}

TEST_F(MdxTest, LeafThatLosesKeysIsTellableFromAnInteriorNodeAfterReload) {
  for (int i = 0; i < 20; ++i) table.Add(Name(i));
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
    for (int i = 0; i < 12; ++i) Change(*f, i + 1, "");  // moves them, then...
  }
  Pairs expect;
  {
    auto f = Open();
    CVobjIndexTag* t = f->TagByName("NAME");
    // ...delete keys outright.
    for (int rec = 1; rec <= 15; ++rec) {
      CVobjIndexKeyData k(0);
      k.PutString(table.rows[static_cast<size_t>(rec - 1)].name);
      k.Link = rec;
      t->TagOpen(cvTagOpenRoot);
      ASSERT_TRUE(t->KeyDelete(k)) << rec;
    }
    expect = Forward(t);
    ASSERT_EQ(expect.size(), 5u);
    t->TagClose();
  }
  const auto b = Bytes();
  auto f = Open();
  CVobjMDXTag* t = f->MdxTag(0);
  const int32_t root = t->Header().Root;
  const uint8_t* page = b.data() + static_cast<size_t>(root) * 512;
  ASSERT_EQ(cvLoadLE32(page), 5u) << root << " " << t->HeaderPage() << " " << t->RootPage() << " " << b.size();
  // The slot after the last entry is cleared: the page reads as a leaf.
  EXPECT_EQ(cvLoadLE32(page + 8 + 5 * t->EntryLength()), 0u);
  for (int i = 8 + 5 * t->EntryLength(); i < 1024; ++i) ASSERT_EQ(page[i], 0) << i;
  EXPECT_EQ(Forward(t), expect);
}

TEST_F(MdxTest, NumbersInPackedFormOrderWithNegatives) {
  const double values[] = {-2, -12.5, -100, 0, 3.25, 1e16, 0.001, -0.001, 123456789012345678.0};
  for (double v : values) table.Add("X", v);
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("num", "NUM", "", true, false));
  ASSERT_TRUE(f->AddTag("numd", "NUM", "", false, false));
  std::vector<int32_t> expect = {3, 2, 1, 8, 4, 7, 5, 6, 9};
  EXPECT_EQ(Records(f->TagByName("NUM")), expect);
  std::reverse(expect.begin(), expect.end());
  EXPECT_EQ(Records(f->TagByName("NUMD")), expect);
  // The stored bytes of -12.5.
  CVobjMDXTag* t = f->MdxTag(0);
  EXPECT_EQ(t->KeyType(), 'N');
  EXPECT_EQ(t->KeyLength(), 12);
  const auto b = Bytes();
  const uint8_t* page = b.data() + static_cast<size_t>(t->Header().Root) * 512;
  const uint8_t* e = page + 8 + t->EntryLength();  // second entry
  EXPECT_EQ(cvLoadLE32(e), 2u);
  const uint8_t want[12] = {0x36, 0x91, 0x12, 0x50, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(e + 4, e + 16), std::vector<uint8_t>(want, want + 12));
  // Incremental inserts land in the same order, and finds hit them.
  Append(*f, "X", -50);
  Append(*f, "X", -0.0);
  expect = {3, 10, 2, 1, 8, 4, 11, 7, 5, 6, 9};
  EXPECT_EQ(Records(t), expect);
  TcvVariant v;
  v.PutFloat(-12.5);
  t->TagOpen(cvTagOpenRoot);
  EXPECT_EQ(t->KeyFind(v), 2);  // the record number of the key found
  v.PutFloat(-12.4);
  EXPECT_EQ(t->KeyFind(v), 0);
}

TEST_F(MdxTest, DescendingNumericTagOverSeveralLevelsKeepsNegativesInOrder) {
  for (int i = 0; i < 400; ++i) table.Add("X", (i * 37) % 400 - 250.5);
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("numd", "NUM", "", false, false));
  CVobjIndexTag* t = f->TagByName("NUMD");
  // Values below every key so far go after the keyless last entries.
  for (int i = 0; i < 150; ++i) Append(*f, "X", -300.0 - i);
  std::vector<double> got;
  t->TagOpen(cvTagOpenRoot);
  for (int32_t r = t->KeyRead(cvReadTop); r != 0; r = t->KeyRead(cvReadNext)) got.push_back(t->CurrentKey().GetFloat());
  ASSERT_EQ(got.size(), 550u);
  EXPECT_TRUE(std::is_sorted(got.rbegin(), got.rend()));
  EXPECT_EQ(got.front(), 148.5);
  EXPECT_EQ(got.back(), -449.0);
  TcvVariant v;
  v.PutFloat(-449);
  EXPECT_EQ(t->KeyFind(v), 550);
  v.PutFloat(-250.5);
  EXPECT_GT(t->KeyFind(v), 0);
  EXPECT_EQ(t->CurrentKey().GetFloat(), -250.5);
}

TEST_F(MdxTest, DateKeysAreDayNumbersWithEmptyDatesLast) {
  const int32_t days[] = {2451545, 0, 2440588, 2460000};
  for (int32_t d : days) {
    table.Add("X");
    table.rows.back().date = table.old.back().date = d;
  }
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("dat", "DAT", "", true, false));
  CVobjMDXTag* t = f->MdxTag(0);
  EXPECT_EQ(t->KeyType(), 'D');
  EXPECT_EQ(t->KeyLength(), 8);
  EXPECT_EQ(Records(t), (std::vector<int32_t>{3, 1, 4, 2}));
  // Stored as the day number in an 8-byte double; the empty date as 1.0E100.
  const auto b = Bytes();
  const uint8_t* page = b.data() + static_cast<size_t>(t->Header().Root) * 512;
  EXPECT_EQ(cvLoadLEDouble(page + 8 + 4), 2440588.0);
  EXPECT_EQ(cvLoadLEDouble(page + 8 + 3 * t->EntryLength() + 4), 1.0E100);
  table.Add("X");
  table.rows.back().date = 2445000;
  table.old.back().date = 0;
  table.editing = true;
  f->TagUpdate(5, true);
  table.editing = false;
  EXPECT_EQ(Records(t), (std::vector<int32_t>{3, 5, 1, 4, 2}));
}

// Each run of equal keys with its records in reverse order.
Pairs ReverseTies(Pairs p) {
  for (auto b = p.begin(); b != p.end();) {
    auto e = std::find_if(b, p.end(), [&](auto& x) { return x.first != b->first; });
    std::reverse(b, e);
    b = e;
  }
  return p;
}

// Each run of equal keys with its records sorted: the same keys, each with
// the same records, in whatever order the ties came.
Pairs SortTies(Pairs p) {
  for (auto b = p.begin(); b != p.end();) {
    auto e = std::find_if(b, p.end(), [&](auto& x) { return x.first != b->first; });
    std::sort(b, e);
    b = e;
  }
  return p;
}

// A build and the same keys added one by one give the same order; only
// ties differ in a descending tag: adds put a record after its equals
// (rising record order), a build writes them in falling record order.
TEST_F(MdxTest, BuildAndIncrementalUpdatesGiveTheSameOrder) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, 400);
  std::vector<std::string> names;
  for (int i = 0; i < 5000; ++i) names.push_back(Name(pick(rng)));
  for (bool ascending : {true, false}) {
    table.rows.clear();
    table.old.clear();
    table.current = 0;
    fs::remove(dir / "people.mdx");
    Pairs incremental, built;
    {
      auto f = Open(true);
      ASSERT_TRUE(f->AddTag("inc", "NAME", "", ascending, false));
      for (auto& n : names) Append(*f, n);
      CVobjIndexTag* t = f->TagByName("INC");
      // Several levels: 62 keys fit a leaf.
      t->TagOpen(cvTagOpenRoot);
      int depth = 1;
      for (CVobjIndexKey* n = t->Root(); !n->IsLeaf(); n = n->GetChild(n->Entry(0).Link)) ++depth;
      EXPECT_GE(depth, 3);
      incremental = Forward(t);
      ASSERT_EQ(incremental.size(), names.size());
      EXPECT_TRUE(std::is_sorted(incremental.begin(), incremental.end(),
                                 [&](auto& a, auto& b) { return ascending ? a.first < b.first : a.first > b.first; }));
      ASSERT_TRUE(f->AddTag("built", "NAME", "", ascending, false));
      built = Forward(f->TagByName("BUILT"));
      EXPECT_EQ(built, ascending ? incremental : ReverseTies(incremental));
      EXPECT_EQ(cvLoadLE32(Bytes().data() + 32) * 512, static_cast<uint32_t>(Size()));
    }
    auto f = Open();
    EXPECT_EQ(Forward(f->TagByName("INC")), incremental);
    EXPECT_EQ(Forward(f->TagByName("BUILT")), built);
    // Updates after the reload keep both in step.
    for (int rec = 1; rec <= 300; rec += 7) Change(*f, rec, Name(rec * 13));
    EXPECT_EQ(SortTies(Forward(f->TagByName("INC"))), SortTies(Forward(f->TagByName("BUILT"))));
  }
}

TEST_F(MdxTest, ReindexReclaimsSpaceAndRenameRewritesTheBaseName) {
  for (int i = 0; i < 300; ++i) table.Add(Name(i * 7), -i * 0.25);
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  ASSERT_TRUE(f->AddTag("num", "NUM", "NUM < -10", false, true));
  for (int i = 0; i < 200; ++i) Append(*f, Name(i * 11), i - 50.0);
  const Pairs names = Forward(f->TagByName("NAME"));
  const Pairs nums = Forward(f->TagByName("NUM"));
  const int64_t before = Size();
  f->Reindex();
  EXPECT_LT(Size(), before);
  EXPECT_EQ(cvLoadLE32(Bytes().data() + 32) * 512, static_cast<uint32_t>(Size()));
  EXPECT_EQ(Forward(f->TagByName("NAME")), names);
  EXPECT_EQ(Forward(f->TagByName("NUM")), nums);
  // Only keys below -10, highest first (-10.25 of record 42); -50 is held by
  // records 201 and 301, and the unique tag keeps the first.
  EXPECT_EQ(nums.front().second, 42);
  EXPECT_EQ(std::count_if(nums.begin(), nums.end(), [](auto& p) { return p.second == 301; }), 0);
  EXPECT_EQ(std::count_if(nums.begin(), nums.end(), [](auto& p) { return p.second == 201; }), 1);
  f->Rename((dir / "renamedfile.mdx").string());
  f.reset();
  const auto b = Bytes2(dir / "renamedfile.mdx");
  EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 4), "RENAMEDF");
  CVobjMDXFile g(&table, (dir / "renamedfile.mdx").string(), true, false, false, false);
  EXPECT_EQ(Forward(g.TagByName("NUM")), nums);
  EXPECT_TRUE(g.TagByName("NUM")->HasFor());
  EXPECT_TRUE(g.TagByName("NUM")->Unique());
}

TEST_F(MdxTest, CorruptTagHeaderIsReported) {
  table.Add("A");
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  }
  auto b = Bytes();
  const uint32_t header = cvLoadLE32(b.data() + 512 + 32);
  b[header * 512 + 9] = 'Q';  // unknown key type
  std::ofstream(dir / "people.mdx", std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  EXPECT_THROW(Open(), ECorvidError);
}

// Interop: Perl XBase reads single-page tags written here.
TEST_F(MdxTest, PerlXBaseReadsTheKeysInOrder) {
  if (std::system("perl -MXBase::Index -e 1 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Perl XBase (libdbd-xbase-perl) is not installed";
  const char* names[] = {"SMITH", "ADAMS", "JONES", "BROWN", "ADAMS", "ZORN", "MILLER"};
  for (int i = 0; i < 7; ++i) table.Add(names[i], 10 - 3 * i);
  Pairs ours;
  std::string oursNum;
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
    ASSERT_TRUE(f->AddTag("num", "NUM", "", true, false));
    Append(*f, "BAKER", 2.5);
    ours = Forward(f->TagByName("NAME"));
    for (int32_t r : Records(f->TagByName("NUM"))) oursNum += std::to_string(r) + "\n";
  }
  // Numeric keys come back from Perl as their raw packed bytes: only the
  // record order is compared for them.
  auto run = [&](const std::string& tag, const std::string& type, bool keys) {
    const fs::path out = dir / "perl.txt";
    const std::string cmd = "perl -MXBase::Index -e '$i = XBase::Index->new(q{" + (dir / "people.mdx").string() +
                            "}, tag => q{" + tag + "}, type => q{" + type +
                            "}) or die XBase::Index->errstr; $i->prepare_select; "
                            "while (my ($k, $r) = $i->fetch) { $k =~ s/ +$//; print " +
                            std::string(keys ? "qq{$k $r\\n}" : "qq{$r\\n}") + " }' > " + out.string() + " 2>&1";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(out);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rc, 0) << all;
    return all;
  };
  std::string expect;
  for (auto& [k, r] : ours) expect += k + " " + std::to_string(r) + "\n";
  EXPECT_EQ(run("NAME", "char", true), expect);
  EXPECT_EQ(run("NUM", "num", false), oursNum);
}

}  // namespace
