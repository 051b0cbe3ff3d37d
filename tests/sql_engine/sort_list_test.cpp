// Sort lists on both stores: layout, ordering, lookup, nulls, bookmarks, and
// a mapped file that must grow far beyond its first mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>

#include "platform/byte_order.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/store/sort_list.h"
#include "store_test_util.h"

namespace {

enum class Store { Memory, File };

class SortListTest : public ::testing::TestWithParam<Store> {
protected:
  // The file store starts with a tiny mapping so that every test grows it.
  std::unique_ptr<TkpSortList> Make(bool bookmarks = false, uint64_t map_size = 256) {
    if (GetParam() == Store::Memory) return std::make_unique<TMemSortList>(bookmarks);
    return std::make_unique<TFileSortList>(bookmarks, map_size);
  }
  // Appends a record with integer keys.
  static void AddInts(TkpSortList& l, int32_t ref, std::initializer_list<int32_t> keys) {
    l.Insert();
    l.SetSourceRecno(ref);
    int32_t i = 0;
    for (int32_t k : keys) l.Fields.Items(i++)->SetAsInteger(k);
  }
  static std::vector<int32_t> Refs(TkpSortList& l) {
    std::vector<int32_t> out;
    for (int32_t i = 1; i <= l.GetRecordCount(); ++i) {
      l.SetRecno(i);
      out.push_back(l.GetSourceRecno());
    }
    return out;
  }
  ScopedTempDir tmp_;
};

TEST_P(SortListTest, RecordLayoutHasReferenceThenNullByteAndDataPerKey) {
  auto l = Make();
  l->AddField(ttString, 3, false);   // 1 + 4
  l->AddField(ttFloat, 0, false);    // 1 + 8
  l->AddField(ttInteger, 0, false);  // 1 + 4
  l->AddField(ttBoolean, 0, true);   // 1 + 2
  EXPECT_EQ(l->RecordSize, 4 + 5 + 9 + 5 + 3);
  EXPECT_EQ(l->Fields.Items(1)->Offset, 9);
  l->Insert();
  const uint8_t* rec = l->ActiveBuffer();
  ASSERT_NE(rec, nullptr);
  EXPECT_TRUE(std::all_of(rec, rec + l->RecordSize, [](uint8_t b) { return b == 0; }));  // every key null
  l->SetSourceRecno(0x01020304);
  l->Fields.Items(0)->SetAsString("abcdef");  // cut to 3 characters
  l->Fields.Items(1)->SetAsFloat(1.5);
  l->Fields.Items(2)->SetAsInteger(-2);
  l->Fields.Items(3)->SetAsBoolean(true);
  rec = l->ActiveBuffer();
  const uint8_t expect[] = {4, 3, 2, 1,    1,    'a', 'b',  'c',  0,    1,    0, 0, 0,
                            0, 0, 0, 0xF8, 0x3F, 1,   0xFE, 0xFF, 0xFF, 0xFF, 1, 1, 0};
  ASSERT_EQ(sizeof expect, static_cast<size_t>(l->RecordSize));
  EXPECT_EQ(0, std::memcmp(rec, expect, sizeof expect));
  EXPECT_EQ(l->Fields.Items(0)->GetAsString(), "abc");
  EXPECT_EQ(l->Fields.Items(3)->GetAsString(), "T");
  // An empty text is null: the same bytes as a new key.
  l->Fields.Items(0)->SetAsString("");
  EXPECT_TRUE(l->Fields.Items(0)->GetIsNull());
  EXPECT_EQ(l->ActiveBuffer()[4], 0);
}

TEST_P(SortListTest, TextSettersConvertAndRejectBadText) {
  auto l = Make();
  l->AddField(ttFloat, 0, false);
  l->AddField(ttInteger, 0, false);
  l->AddField(ttBoolean, 0, false);
  l->Insert();
  TSrtField* f = l->Fields.Items(0);
  TSrtField* n = l->Fields.Items(1);
  TSrtField* b = l->Fields.Items(2);
  n->SetAsString("$1F");
  EXPECT_EQ(n->GetAsInteger(), 31);
  EXPECT_THROW(n->SetAsString("12a"), ESiftError);
  EXPECT_THROW(f->SetAsString("x"), ESiftError);
  b->SetAsString("fa");
  EXPECT_EQ(b->GetAsString(), "F");
  b->SetAsString("tR");
  EXPECT_TRUE(b->GetAsBoolean());
  try {
    b->SetAsString("yes");
    FAIL();
  } catch (const ESiftError& e) {
    EXPECT_STREQ(e.what(), "Invalid boolean value yes");
  }
  // Empty text makes any key null.
  n->SetAsString("");
  EXPECT_TRUE(n->GetIsNull());
  EXPECT_EQ(n->GetAsString(), "");
  // A key answers only its own type; other setters change nothing.
  n->SetAsInteger(7);
  n->SetAsFloat(9.5);
  EXPECT_EQ(n->GetAsInteger(), 7);
  EXPECT_EQ(n->GetAsFloat(), 0.0);
}

TEST_P(SortListTest, SortsOnSeveralKeysInTheirOwnOrder) {
  auto l = Make();
  l->AddField(ttInteger, 0, false);
  l->AddField(ttInteger, 0, false);
  AddInts(*l, 1, {1, 23});
  AddInts(*l, 2, {12, 3});
  AddInts(*l, 3, {1, 5});
  l->Sort();
  EXPECT_EQ(Refs(*l), (std::vector<int32_t>{3, 1, 2}));

  auto three = Make();
  three->AddField(ttInteger, 0, false);
  three->AddField(ttInteger, 0, false);
  three->AddField(ttInteger, 0, false);
  AddInts(*three, 1, {12, 3, 1});
  AddInts(*three, 2, {1, 23, 2});
  three->Sort();
  EXPECT_EQ(Refs(*three), (std::vector<int32_t>{2, 1}));
}

TEST_P(SortListTest, TextsSortByBytesAndDescendingReverses) {
  auto l = Make();
  l->AddField(ttString, 5, false);
  const char* texts[] = {"b", "a", "B", "ab", "\xC0"};  // "\xC0" is Cyrillic A, after Latin
  for (int i = 0; i < 5; ++i) {
    l->Insert();
    l->SetSourceRecno(i + 1);
    l->Fields.Items(0)->SetAsString(texts[i]);
  }
  l->Sort();
  EXPECT_EQ(Refs(*l), (std::vector<int32_t>{3, 2, 4, 1, 5}));  // B a ab b А

  auto d = Make();
  d->AddField(ttString, 5, true);
  for (int i = 0; i < 2; ++i) {
    d->Insert();
    d->SetSourceRecno(i + 1);
    d->Fields.Items(0)->SetAsString(i == 0 ? "a" : "b");
  }
  d->Sort();
  EXPECT_EQ(Refs(*d), (std::vector<int32_t>{2, 1}));
}

TEST_P(SortListTest, RunsOfTheFirstKeyAreCutByValueNotByText) {
  // 0.1 + 0.2 and 0.3 print alike in 15 digits but are different keys: the
  // second key must not be sorted across them.
  auto l = Make();
  l->AddField(ttFloat, 0, false);
  l->AddField(ttInteger, 0, false);
  double firsts[] = {0.1 + 0.2, 0.3, 0.1 + 0.2};
  int32_t seconds[] = {1, 0, 2};
  for (int i = 0; i < 3; ++i) {
    l->Insert();
    l->SetSourceRecno(i + 1);
    l->Fields.Items(0)->SetAsFloat(firsts[i]);
    l->Fields.Items(1)->SetAsInteger(seconds[i]);
  }
  l->Sort();
  EXPECT_EQ(Refs(*l), (std::vector<int32_t>{2, 1, 3}));
  EXPECT_FALSE(l->IsEqual(1, 2));
}

TEST_P(SortListTest, NullsSortFirstAndDifferFromZeroAndFalse) {
  auto l = Make();
  l->AddField(ttInteger, 0, false);
  l->AddField(ttBoolean, 0, false);
  AddInts(*l, 1, {0});
  l->Fields.Items(1)->SetAsBoolean(false);
  l->Insert();  // both keys null
  l->SetSourceRecno(2);
  AddInts(*l, 3, {-5});
  l->Fields.Items(1)->SetAsBoolean(false);
  l->Insert();
  l->SetSourceRecno(4);
  l->Fields.Items(1)->SetAsBoolean(false);  // integer null, boolean false
  l->Sort();
  EXPECT_EQ(Refs(*l), (std::vector<int32_t>{2, 4, 3, 1}));
  EXPECT_FALSE(l->IsEqual(1, 2));  // null/null vs null/false
  EXPECT_FALSE(l->IsEqual(2, 3));  // null vs -5
  // A key set and cleared again equals a key never set.
  l->SetRecno(2);
  l->Fields.Items(1)->SetNull();
  EXPECT_TRUE(l->IsEqual(1, 2));
}

TEST_P(SortListTest, IsEqualIgnoresTheReference) {
  auto l = Make();
  l->AddField(ttInteger, 0, false);
  AddInts(*l, 10, {4});
  AddInts(*l, 20, {4});
  EXPECT_TRUE(l->IsEqual(1, 2));
  EXPECT_THROW(l->IsEqual(1, 3), ESiftError);
}

TEST_P(SortListTest, FindAndFilterUseTheSortOrder) {
  auto l = Make();
  int32_t index = 0;
  l->AddField(ttString, 4, false);
  EXPECT_FALSE(l->Find(Variant("a"), index));
  EXPECT_EQ(index, 1);
  // Byte order puts "B" before "a"; a locale comparison would not, and a
  // bisection with it would miss.
  const char* texts[] = {"a", "B", "a", "c", "abcd"};
  for (int i = 0; i < 5; ++i) {
    l->Insert();
    l->SetSourceRecno(i + 1);
    l->Fields.Items(0)->SetAsString(texts[i]);
  }
  l->Sort();
  EXPECT_TRUE(l->Find(Variant("B"), index));
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(l->Find(Variant("a"), index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(l->Find(Variant("abcde"), index));  // longer than any key
  EXPECT_FALSE(l->Find(Variant("b"), index));
  EXPECT_EQ(index, 5);

  l->Filter(Variant("a"));
  std::vector<int32_t> refs;
  for (l->First(); !l->Eof(); l->Next()) refs.push_back(l->GetSourceRecno());
  std::sort(refs.begin(), refs.end());
  EXPECT_EQ(refs, (std::vector<int32_t>{1, 3}));
  l->Filter(Variant("zz"));
  l->First();
  EXPECT_TRUE(l->Eof());
  EXPECT_TRUE(l->Bof());
}

TEST_P(SortListTest, FindConvertsTheProbeToTheKeyType) {
  auto l = Make();
  l->AddField(ttInteger, 0, true);
  for (int32_t v : {10, 2, 33}) AddInts(*l, v, {v});
  l->Sort();  // descending: 33 10 2
  int32_t index;
  EXPECT_TRUE(l->Find(Variant("10"), index));
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(l->Find(Variant(2.0), index));
  EXPECT_EQ(index, 3);
  EXPECT_FALSE(l->Find(Variant::Null(), index));  // null keys only
  l->Insert();                                    // a null key sorts last when descending
  l->Sort();
  EXPECT_TRUE(l->Find(Variant::Null(), index));
  EXPECT_EQ(index, 4);
}

TEST_P(SortListTest, RecnoOutsideTheRecordsFails) {
  auto l = Make();
  l->AddField(ttInteger, 0, false);
  AddInts(*l, 1, {1});
  try {
    l->SetRecno(0);
    FAIL();
  } catch (const ESiftError& e) {
    EXPECT_STREQ(e.what(), "Recno out of range");
  }
  EXPECT_THROW(l->SetRecno(2), ESiftError);
  EXPECT_THROW(l->AddField(ttInteger, 0, false), ESiftError);  // layout is fixed once records exist
}

TEST_P(SortListTest, ClearStartsOverWithALongerLayout) {
  auto l = Make();
  l->AddField(ttInteger, 0, false);
  for (int i = 0; i < 50; ++i) AddInts(*l, i + 1, {i});
  l->Clear();
  EXPECT_EQ(l->GetRecordCount(), 0);
  EXPECT_EQ(l->RecordSize, 4);
  l->AddField(ttString, 300, false);
  l->AddField(ttInteger, 0, false);
  l->Insert();
  l->Fields.Items(0)->SetAsString(std::string(300, 'x'));
  l->Fields.Items(1)->SetAsInteger(9);
  EXPECT_EQ(l->Fields.Items(0)->GetAsString(), std::string(300, 'x'));
  EXPECT_EQ(l->Fields.Items(1)->GetAsInteger(), 9);
  if (auto* f = dynamic_cast<TFileSortList*>(l.get())) {
    EXPECT_EQ(f->MapFile().DataEnd(), static_cast<uint64_t>(l->RecordSize));
  }
}

TEST_P(SortListTest, ManyRecordsSortLikeTheModel) {
  // Far beyond the first mapping of the file store (256 bytes).
  auto l = Make(false, 256);
  l->AddField(ttInteger, 0, false);
  l->AddField(ttString, 6, true);
  std::mt19937 rng(7);
  std::vector<std::tuple<int32_t, std::string, int32_t>> model;
  const int n = 30000;
  for (int i = 1; i <= n; ++i) {
    int32_t k = static_cast<int32_t>(rng() % 100) - 50;
    std::string s = std::to_string(rng() % 1000);
    l->Insert();
    l->SetSourceRecno(i);
    l->Fields.Items(0)->SetAsInteger(k);
    l->Fields.Items(1)->SetAsString(s);
    model.emplace_back(k, s, i);
  }
  l->Sort();
  std::stable_sort(model.begin(), model.end(), [](const auto& a, const auto& b) {
    if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) < std::get<0>(b);
    return std::get<1>(a) > std::get<1>(b);
  });
  for (int i = 1; i <= n; i += 97) {
    l->SetRecno(i);
    ASSERT_EQ(l->Fields.Items(0)->GetAsInteger(), std::get<0>(model[static_cast<size_t>(i - 1)]));
    ASSERT_EQ(l->Fields.Items(1)->GetAsString(), std::get<1>(model[static_cast<size_t>(i - 1)]));
    int32_t ref = l->GetSourceRecno();
    ASSERT_GE(ref, 1);
    ASSERT_LE(ref, n);
  }
  for (int i = 1; i < n; ++i)
    ASSERT_EQ(l->IsEqual(i, i + 1), [&] {
      return std::get<0>(model[static_cast<size_t>(i - 1)]) == std::get<0>(model[static_cast<size_t>(i)]) &&
             std::get<1>(model[static_cast<size_t>(i - 1)]) == std::get<1>(model[static_cast<size_t>(i)]);
    }());
  if (auto* f = dynamic_cast<TFileSortList*>(l.get())) {
    EXPECT_EQ(f->MapFile().DataEnd(), static_cast<uint64_t>(n) * static_cast<uint64_t>(l->RecordSize));
    EXPECT_GE(f->MapFile().GetSize(), f->MapFile().DataEnd());
  }
}

TEST_P(SortListTest, BookmarksGoBackOnceOnClearAndDestruction) {
  BookmarkSource src;
  {
    auto l = Make(true);
    l->BookmarkSource = &src.ds;
    l->AddField(ttInteger, 0, false);
    for (int i = 0; i < 3; ++i) AddInts(*l, src.Take(), {i});
    EXPECT_EQ(src.Live(), 3);
    l->Clear();
    EXPECT_EQ(src.Live(), 0);
    // Handles freed by Clear are handed out again; a second free would take
    // them from their new holders.
    TBookmark kept = src.Take();
    l->Clear();
    EXPECT_NE(src.ds.BookmarkBytes(kept), nullptr);
    l->AddField(ttInteger, 0, false);
    AddInts(*l, src.Take(), {1});
    EXPECT_EQ(src.Live(), 2);
  }
  EXPECT_EQ(src.Live(), 1);
  {
    // A list of row numbers frees nothing.
    auto l = Make(false);
    l->BookmarkSource = &src.ds;
    l->AddField(ttInteger, 0, false);
    AddInts(*l, 1, {1});
  }
  EXPECT_EQ(src.Live(), 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, SortListTest, ::testing::Values(Store::Memory, Store::File),
                         [](const auto& info) { return info.param == Store::Memory ? "Memory" : "File"; });

TEST(FileSortList, TemporaryFileLivesWithTheList) {
  ScopedTempDir tmp;
  std::string name;
  {
    TFileSortList l(false, 1000);
    name = l.FileName();
    EXPECT_EQ(tmp.Files().size(), 1u);
    EXPECT_EQ(std::filesystem::path(name).filename().string().substr(0, 3), "~kp");
  }
  EXPECT_TRUE(tmp.Files().empty());
}

TEST(FileSortList, FailedConstructionLeavesNoFile) {
  ScopedTempDir tmp;
  // A mapping the file system cannot give: the constructor fails, and the
  // temporary file it named is gone.
  EXPECT_THROW(TFileSortList(false, uint64_t{1} << 62), ESiftError);
  EXPECT_TRUE(tmp.Files().empty());
}

}  // namespace
