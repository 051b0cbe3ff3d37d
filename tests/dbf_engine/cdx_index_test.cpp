// CDX compound index files against a small fake table.
#include "dbf_engine/index/cdx_index.h"

#include "dbf_engine/cdx_test_table.h"

namespace {

TEST_F(CdxTest, NewFileHasAnEmptyTagListAndMissingFileIsReported) {
  {
    auto f = Open(true);
    EXPECT_TRUE(f->Valid);
    EXPECT_EQ(f->TagCount(), 0);
  }
  EXPECT_EQ(Size(), 1536);
  auto head = Node(0);
  EXPECT_EQ(cvLoadLE32(head.data()), 1024u);  // list root
  EXPECT_EQ(cvLoadLE16(head.data() + 12), 10);
  EXPECT_EQ(head[14], 0xE0);
  EXPECT_EQ(head[15], 1);
  EXPECT_EQ(cvLoadLE16(head.data() + 504), 0);
  EXPECT_EQ(cvLoadLE16(head.data() + 506), 1);
  EXPECT_EQ(cvLoadLE16(head.data() + 510), 1);
  auto root = Node(1024);
  EXPECT_EQ(cvLoadLE16(root.data()), 3);
  EXPECT_EQ(cvLoadLE16(root.data() + 2), 0);
  EXPECT_EQ(cvLoadLE16(root.data() + 12), 488);
  // A missing file is not taken for a new one.
  try {
    CVobjCDXFile g(&table, (dir / "absent.cdx").string(), true, false, false, false);
    FAIL() << "opened a missing file";
  } catch (const ECorvidError& e) {
    EXPECT_NE(std::string(e.what()).find("could not be found"), std::string::npos) << e.what();
  }
}

TEST_F(CdxTest, BuildReopenAndProductionFlag) {
  for (const char* n : {"SMITH", "ADAMS", "JONES", "BROWN", "ADAMS"}) table.Add(n);
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  }
  auto f = Open();
  EXPECT_FALSE(f->HadErrors);
  EXPECT_TRUE(table.production);
  ASSERT_EQ(f->TagCount(), 1);
  CVobjIndexTag* t = f->TagByName("NAME");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->KeyLength(), 10);
  Pairs expect = {{"ADAMS", 2}, {"ADAMS", 5}, {"BROWN", 4}, {"JONES", 3}, {"SMITH", 1}};
  EXPECT_EQ(Forward(t), expect);
  // A partial find matches a prefix.
  TcvVariant v;
  v.PutString("JO");
  EXPECT_EQ(t->KeyFind(v), 3);
}

TEST_F(CdxTest, LeafSplitsAt488BytesIntoAPartUnder250) {
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  auto* tag = static_cast<CVobjCDXTag*>(f->TagByName("NAME"));
  const int32_t root = tag->RootPage();
  int split = 0;
  for (int i = 0; i < 200 && !split; ++i) {
    Append(*f, Name(1000 - i * 3));  // descending inserts: every key goes first
    tag->TagClose();
    auto r = Node(root);
    if (cvLoadLE16(r.data()) == 1) split = i + 1;  // the root became interior
  }
  ASSERT_GT(split, 0);
  tag->TagClose();
  EXPECT_EQ(tag->NewRoot(), root) << "the header keeps pointing at the root";
  auto r = Node(root);
  ASSERT_EQ(cvLoadLE16(r.data() + 2), 2);
  // Interior entries: key (10 bytes), record number and child, big-endian.
  const int32_t leftPage = static_cast<int32_t>(cvLoadBE32(r.data() + 12 + 14));
  const int32_t rightPage = static_cast<int32_t>(cvLoadBE32(r.data() + 12 + 18 + 14));
  auto left = Node(leftPage), right = Node(rightPage);
  EXPECT_EQ(cvLoadLE16(left.data()), 2);
  EXPECT_EQ(cvLoadLE16(right.data()), 2);
  EXPECT_EQ(static_cast<int32_t>(cvLoadLE32(left.data() + 8)), rightPage);
  EXPECT_EQ(static_cast<int32_t>(cvLoadLE32(right.data() + 4)), leftPage);
  EXPECT_EQ(static_cast<int32_t>(cvLoadLE32(left.data() + 4)), -1);
  const int used = 488 - cvLoadLE16(left.data() + 12);
  EXPECT_LT(used, 250);
  EXPECT_GT(used, 200);
  // Nothing lost, in order.
  auto got = Forward(tag);
  ASSERT_EQ(got.size(), static_cast<size_t>(split));
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
}

TEST_F(CdxTest, InteriorSplitsAndBulkBuildGiveTheSameSequenceAsInserts) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, 400);
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back(Name(pick(rng)));  // many equal keys
  // Incremental: every key goes in through the update path.
  Pairs incremental;
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
    for (auto& n : names) Append(*f, n);
    incremental = Forward(f->TagByName("NAME"));
  }
  {
    auto f = Open();
    EXPECT_EQ(Forward(f->TagByName("NAME")), incremental);
    // Bulk build of the same table.
    ASSERT_TRUE(f->AddTag("bulk", "NAME", "", true, false));
    EXPECT_EQ(Forward(f->TagByName("BULK")), incremental);
  }
  ASSERT_EQ(incremental.size(), names.size());
  EXPECT_TRUE(std::is_sorted(incremental.begin(), incremental.end()));
  // A long key makes interior nodes of 4 entries: several interior levels.
  {
    table.rows.clear();
    table.old.clear();
    auto f = Open();
    ASSERT_TRUE(f->AddTag("long", "NAME+SPACE(100)+NAME", "", true, false));
    for (int i = 0; i < 300; ++i) Append(*f, Name((i * 37) % 300));
    CVobjIndexTag* t = f->TagByName("LONG");
    auto got = Records(t);
    ASSERT_EQ(got.size(), 300u);
    t->TagOpen(cvTagOpenRoot);
    int depth = 1;
    for (CVobjIndexKey* n = t->Root(); !n->IsLeaf(); n = n->GetChild(n->Entry(0).Link)) ++depth;
    EXPECT_GE(depth, 4);
    ASSERT_TRUE(f->AddTag("long2", "NAME+SPACE(100)+NAME", "", true, false));
    EXPECT_EQ(Records(f->TagByName("LONG2")), got);
  }
}

TEST_F(CdxTest, DescendingTagReadsEqualKeysInReverseRecordOrder) {
  for (const char* n : {"B", "A", "B", "C", "B"}) table.Add(n);
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("d", "NAME", "", false, false));
  CVobjIndexTag* t = f->TagByName("D");
  std::vector<int32_t> expect = {4, 5, 3, 1, 2};
  EXPECT_EQ(Records(t), expect);
  Append(*f, "B");
  expect = {4, 6, 5, 3, 1, 2};
  EXPECT_EQ(Records(t), expect);
  // Nodes still hold the keys ascending.
  auto root = Node(t->RootPage());
  EXPECT_EQ(cvLoadLE16(root.data()), 3);
}

TEST_F(CdxTest, NegativeNumbersAndDatesSortAndKeepTheirBytes) {
  const double values[] = {-2, -4, -3, -2.5, 0, 1e10, 3.5, -131072};
  for (double v : values) table.Add("X", v, static_cast<int32_t>(2451545 + std::min(v, 1e6) * 10));
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("num", "NUM", "", true, false));
  ASSERT_TRUE(f->AddTag("dat", "DAT", "", true, false));
  std::vector<int32_t> expect = {8, 2, 3, 4, 1, 5, 7, 6};
  EXPECT_EQ(Records(f->TagByName("NUM")), expect);
  EXPECT_EQ(Records(f->TagByName("DAT")), expect);
  CVobjIndexTag* t = f->TagByName("NUM");
  EXPECT_EQ(t->KeyType(), 'N');
  EXPECT_EQ(t->KeyLength(), 8);
  // The key of -2 keeps all eight bytes: its trailing 0xFF are not dropped.
  Forward(t);
  TcvVariant v;
  v.PutFloat(-2);
  ASSERT_EQ(t->KeyFind(v), 1);
  EXPECT_EQ(t->CurrentKey().Length(), 8);
  v.PutFloat(2);
  EXPECT_EQ(t->KeyFind(v), 0) << "2 is no prefix match for 2.5 or 3.5";
  // Incremental inserts keep the order.
  Append(*f, "X", -3.5, 0);
  expect = {8, 2, 9, 3, 4, 1, 5, 7, 6};
  EXPECT_EQ(Records(t), expect);
}

TEST_F(CdxTest, GeneralCollationKeepsAccentsThroughUpdates) {
  // 0xC9 is E with an acute accent in the Western table.
  table.Add("CAF\xC9");
  table.Add("CAFE");
  table.Add(
      "\xC6"
      "B");  // AE ligature
  table.Add("ADZ");
  CVbytCDXCollateInfo = CVsetCDXCollateType::General;
  auto f = Open(true);
  CVbytCDXCollateInfo = CVsetCDXCollateType::General;
  ASSERT_TRUE(f->AddTag("gen", "NAME", "", true, false));
  CVobjIndexTag* t = f->TagByName("GEN");
  EXPECT_EQ(t->KeyLength(), 20);
  // ADZ < AE-ligature-B (AEB) < CAFE < CAFE-acute.
  std::vector<int32_t> expect = {4, 3, 2, 1};
  EXPECT_EQ(Records(t), expect);
  // The accented key's last byte stays through a reload (no cut at a zero
  // accent nibble), and an update finds and removes the old entry.
  Change(*f, 1, "CAFF");
  expect = {4, 3, 2, 1};
  auto got = Forward(t);
  ASSERT_EQ(got.size(), 4u);
  Change(*f, 1, "BAR");
  got = Forward(t);
  ASSERT_EQ(got.size(), 4u);
  expect = {4, 3, 1, 2};
  EXPECT_EQ(Records(t), expect);
  Change(*f, 2, "CAF\xC9");
  f.reset();
  f = Open();
  t = f->TagByName("GEN");
  ASSERT_NE(t, nullptr);
  got = Forward(t);
  ASSERT_EQ(got.size(), 4u);
  expect = {4, 3, 1, 2};
  EXPECT_EQ(Records(t), expect);
  // The accent byte of E-acute survives the reload.
  EXPECT_EQ(static_cast<uint8_t>(got[3].first.back()), 0xF1);
}

TEST_F(CdxTest, TagReplaceDeleteAndLimits) {
  for (const char* n : {"B", "A", "C"}) table.Add(n, 3 - n[0]);
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("t1", "NAME", "", true, false));
    ASSERT_TRUE(f->AddTag("t2", "NUM", "", true, false));
    // Same name again: the old tag is replaced.
    ASSERT_TRUE(f->AddTag("T1", "NUM", "", false, false));
    EXPECT_EQ(f->TagCount(), 2);
    const int64_t before = Size();
    // Key and FOR texts over 510 bytes would run into the first node.
    EXPECT_THROW(f->AddTag("big", "NAME+\"" + std::string(505, 'x') + "\"", "", true, false), ECorvidError);
    EXPECT_THROW(f->AddTag("toolongname", "NAME", "", true, false), ECorvidError);
    EXPECT_EQ(Size(), before);
    // A key that yields nothing is reported and not listed.
    EXPECT_THROW(f->AddTag("bad", "NOTHING", "", true, false), Exception);
    EXPECT_EQ(f->TagCount(), 2);
  }
  {
    auto f = Open();
    EXPECT_TRUE(f->Valid);
    ASSERT_EQ(f->TagCount(), 2);
    CVobjIndexTag* t1 = f->TagByName("T1");
    ASSERT_NE(t1, nullptr);
    EXPECT_EQ(t1->KeyExpression(), "NUM");
    EXPECT_FALSE(t1->Ascending());
    EXPECT_TRUE(f->DeleteTag("t2"));
    EXPECT_FALSE(f->DeleteTag("t2"));
    EXPECT_TRUE(f->DeleteTag("T1"));
    EXPECT_EQ(f->TagCount(), 0);
  }
  EXPECT_EQ(Size(), 1536);
  auto f = Open();
  EXPECT_TRUE(f->Valid);
  EXPECT_EQ(f->TagCount(), 0);
  ASSERT_TRUE(f->AddTag("again", "NAME", "", true, false));
  std::vector<int32_t> expect = {2, 1, 3};
  EXPECT_EQ(Records(f->TagByName("AGAIN")), expect);
}

TEST_F(CdxTest, ForExpressionAndUniqueTags) {
  for (const char* n : {"B", "A", "B", "C"}) table.Add(n, n[0] == 'B' ? 1 : 0);
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("u", "NAME", "", true, true));
  ASSERT_TRUE(f->AddTag("f", "NAME", "NUM = 1", true, false));
  std::vector<int32_t> expect = {2, 1, 4};
  EXPECT_EQ(Records(f->TagByName("U")), expect);
  expect = {1, 3};
  EXPECT_EQ(Records(f->TagByName("F")), expect);
  f.reset();
  f = Open();
  EXPECT_EQ(Records(f->TagByName("F")), expect);
  EXPECT_TRUE(f->TagByName("U")->Unique());
}

TEST_F(CdxTest, IndexChangesRaiseTheListCounterThatOtherUsersSee) {
  table.Add("A");
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("a", "NAME", "", true, false));
  }
  const std::string path = (dir / "people.cdx").string();
  CVobjCDXFile mine(&table, path, true, true, false, false);
  CVobjCDXFile theirs(&table, path, true, true, false, false);
  EXPECT_FALSE(theirs.ExternalChange());
  Append(mine, "B");
  EXPECT_EQ(mine.TagList()->ChangeCounter, 1u);
  EXPECT_EQ(cvLoadLE32(Node(0).data() + 8), 1u);
  EXPECT_TRUE(theirs.ExternalChange());
  // A record whose key did not change writes nothing.
  Change(mine, 1, "A");
  EXPECT_EQ(mine.TagList()->ChangeCounter, 1u);
  std::vector<int32_t> expect = {1, 2};
  EXPECT_EQ(Records(theirs.TagByName("A")), expect);
}

TEST_F(CdxTest, CorruptTagHeaderSetsHadErrors) {
  table.Add("A");
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("a", "NAME", "", true, false));
  }
  // Point the tag's root outside the file.
  auto head = Node(1536);
  cvStoreLE32(head.data(), 0x7FFFFE00);
  {
    std::fstream io(dir / "people.cdx", std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(1536);
    io.write(reinterpret_cast<const char*>(head.data()), 512);
  }
  auto f = Open();
  EXPECT_TRUE(f->HadErrors);
  EXPECT_FALSE(f->Valid);
  EXPECT_EQ(f->TagCount(), 0);
}

// ---------------------------------------------------------------------------
// Interop: Perl XBase reads what is written here.

TEST_F(CdxTest, PerlXBaseReadsTheKeysInOrder) {
  if (std::system("perl -MXBase::Index -e 1 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Perl XBase (libdbd-xbase-perl) is not installed";
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pick(0, 5000);
  for (int i = 0; i < 1500; ++i) table.Add(Name(pick(rng)));
  Pairs ours;
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
    for (int i = 0; i < 300; ++i) Append(*f, Name(pick(rng)));  // splits too
    ours = Forward(f->TagByName("NAME"));
  }
  const fs::path out = dir / "perl.txt";
  const std::string cmd = "perl -MXBase::Index -e '$i = XBase::Index->new(q{" + (dir / "people.cdx").string() +
                          "}, tag => q{NAME}, type => q{char}) or die XBase::Index->errstr; $i->prepare_select; "
                          "while (my ($k, $r) = $i->fetch) { print qq{$k $r\\n} }' > " +
                          out.string() + " 2>&1";
  const int rc = std::system(cmd.c_str());
  std::ifstream in(out);
  if (rc != 0) {
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FAIL() << "perl failed: " << all;
  }
  Pairs theirs;
  std::string k;
  int32_t r;
  while (in >> k >> r) theirs.emplace_back(k, r);
  EXPECT_EQ(theirs, ours);
}

TEST_F(CdxTest, PerlXBaseDecodesNegativeNumericKeys) {
  if (std::system("perl -MXBase::Index -e 1 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "Perl XBase (libdbd-xbase-perl) is not installed";
  const double values[] = {-2, -4, -3, -2.5, 0, 1e10, 3.5, -131072, 0.125};
  for (double v : values) table.Add("X", v);
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("num", "NUM", "", true, false));
  }
  const fs::path out = dir / "perl.txt";
  const std::string cmd = "perl -MXBase::Index -e '$i = XBase::Index->new(q{" + (dir / "people.cdx").string() +
                          "}, tag => q{NUM}, type => q{N}) or die XBase::Index->errstr; $i->prepare_select; "
                          "while (my ($k, $r) = $i->fetch) { print qq{$k $r\\n} }' > " +
                          out.string() + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(out);
  std::vector<std::pair<double, int32_t>> theirs;
  double k;
  int32_t r;
  while (in >> k >> r) theirs.emplace_back(k, r);
  std::vector<std::pair<double, int32_t>> expect;
  for (size_t i = 0; i < std::size(values); ++i) expect.emplace_back(values[i], static_cast<int32_t>(i + 1));
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(theirs, expect);
}

}  // namespace
