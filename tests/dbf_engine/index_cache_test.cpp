// Finds through a tag's kept tree: a handle that has the file to itself
// reuses its decoded nodes between finds, and must still see its own edits;
// a shared handle must see another handle's edits at its next find.
#include "dbf_engine/index/cdx_index.h"

#include <map>

#include "dbf_engine/cdx_test_table.h"

namespace {

class IndexCacheTest : public CdxTest {
protected:
  // The first record of every key, as a find of the key must give it.
  std::map<std::string, int32_t> FirstOf() const {
    std::map<std::string, int32_t> first;
    for (size_t i = 0; i < table.rows.size(); ++i) {
      std::string k = table.rows[i].name;
      while (!k.empty() && k.back() == ' ') k.pop_back();
      first.emplace(k, static_cast<int32_t>(i + 1));
    }
    return first;
  }
  static int32_t Find(CVobjIndexTag* tag, const std::string& key) {
    TcvVariant v;
    v.PutString(key);
    return tag->KeyFind(v);
  }
};

TEST_F(IndexCacheTest, ExclusiveHandleFindsSeeItsOwnEditsInADeepTree) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pick(0, 600);
  for (int i = 0; i < 1500; ++i) table.Add(Name(pick(rng)));
  auto f = Open(true);
  // A long key gives interior nodes of a few entries: many levels to keep.
  ASSERT_TRUE(f->AddTag("deep", "NAME+SPACE(100)+NAME", "", true, false));
  CVobjIndexTag* t = f->TagByName("DEEP");
  auto check = [&](int rounds) {
    const auto first = FirstOf();
    for (int i = 0; i < rounds; ++i) {
      const std::string k = Name(pick(rng));
      auto it = first.find(k);
      const int32_t got = Find(t, k);
      if (it == first.end()) {
        // A soft seek: not found, positioned on the next key.
        EXPECT_EQ(got, 0) << k;
      } else {
        ASSERT_EQ(got, it->second) << k;
        EXPECT_EQ(std::string(t->CurrentKey().Bytes()).substr(0, 6), k);
        // Navigation goes on from the found entry.
        if (t->KeyRead(cvReadNext) != 0) {
          EXPECT_GE(std::string(t->CurrentKey().Bytes()).substr(0, 6), k);
        }
      }
    }
  };
  check(400);
  // Edits through the same handle, then finds again: nothing stale.
  for (int i = 0; i < 300; ++i) Append(*f, Name(700 + i % 50));
  for (int r = 1; r <= 200; ++r) Change(*f, r, Name(900 + r % 7));
  check(400);
  EXPECT_EQ(Find(t, Name(905)), 5);
  EXPECT_EQ(Find(t, Name(749)), 1550);
  const auto all = Records(t);
  EXPECT_EQ(all.size(), table.rows.size());
}

TEST_F(IndexCacheTest, FailedFindPastTheEndLeavesTheFirstKeyCurrent) {
  for (int i = 0; i < 200; ++i) table.Add(Name(i));
  auto f = Open(true);
  ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  CVobjIndexTag* t = f->TagByName("NAME");
  EXPECT_EQ(Find(t, Name(150)), 151);
  EXPECT_EQ(Find(t, "Z"), 0);
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->CurrentKey().Bytes(), Name(0));
  EXPECT_EQ(t->KeyRead(cvReadTop), 1);
  EXPECT_EQ(Find(t, Name(42)), 43);
}

TEST_F(IndexCacheTest, SharedHandleSeesAnotherHandlesInsertsAtItsNextFind) {
  for (int i = 0; i < 300; ++i) table.Add(Name(i * 2));
  {
    auto f = Open(true);
    ASSERT_TRUE(f->AddTag("name", "NAME", "", true, false));
  }
  const std::string path = (dir / "people.cdx").string();
  CVobjCDXFile mine(&table, path, true, true, false, false);
  CVobjCDXFile theirs(&table, path, true, true, false, false);
  CVobjIndexTag* their = theirs.TagByName("NAME");
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Find(their, Name(i * 2)), i + 1);
  EXPECT_EQ(Find(their, Name(301)), 0);
  // Enough new keys between the old ones to split leaves and interior nodes.
  for (int i = 0; i < 300; ++i) Append(mine, Name(i * 2 + 1));
  EXPECT_TRUE(theirs.ExternalChange());
  for (int i = 0; i < 600; ++i) ASSERT_EQ(Find(their, Name(i)), i % 2 == 0 ? i / 2 + 1 : 300 + (i - 1) / 2 + 1) << i;
  EXPECT_EQ(Records(their).size(), 600u);
  // And a change seen the other way round.
  Change(theirs, 1, "AAAAA");
  EXPECT_EQ(Find(mine.TagByName("NAME"), "AAAAA"), 1);
  EXPECT_EQ(Find(mine.TagByName("NAME"), Name(0)), 0);
}

}  // namespace

namespace {

// The tag's key compare gives what the general value compare gives, for
// texts and binaries of every length relation, both prefix rules and both
// directions.
TEST(IndexKeyCompare, AgreesWithTheValueCompare) {
  struct Tag : CVobjIndexTag {
    using CVobjIndexTag::CVobjIndexTag;
    using CVobjIndexTag::SetDirection;
  } tag(nullptr, "T");
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> len(0, 6), byte(0, 3);
  const uint8_t alphabet[] = {0x00, 0x20, 0x7F, 0xE0};
  auto make = [&](TcvVariant& v, bool binary) {
    std::string s;
    for (int i = len(rng); i > 0; --i) s += static_cast<char>(alphabet[byte(rng)]);
    if (binary) v.PutBinary(s.data(), static_cast<int32_t>(s.size()));
    else v.PutString(s);
  };
  for (int i = 0; i < 20000; ++i) {
    const bool binary = i % 3 == 0;
    TcvVariant a, b;
    make(a, binary);
    make(b, binary);
    const int32_t prefix = i % 2 == 0 ? -1 : 0;
    tag.SetDirection(i % 5 != 0, true);
    int32_t pos = 0;
    int want = a.Compare(&b, pos, nullptr, prefix);
    if (tag.DescendingCompare()) want = -want;
    ASSERT_EQ(tag.CompareKeys(a, b, prefix), want) << i;
  }
}

}  // namespace
