// Result sets on both stores: record layout, cell conversions, casts,
// positioning, bookmarks, reordering, and a mapped file far beyond its first
// mapping.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <memory>
#include <random>
#include <sstream>

#include "platform/db_fields.h"
#include "platform/numbers.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"
#include "store_test_util.h"

namespace {

enum class Store { Memory, File };

// The stores with their records' bytes in view.
struct MemProbe : TMemResultSet {
  using TMemResultSet::RecordData;
};
struct FileProbe : TFileResultSet {
  explicit FileProbe(uint64_t map_size) : TFileResultSet(map_size) {}
  using TFileResultSet::RecordData;
};

std::unique_ptr<TResultSet> MakeSet(Store s, uint64_t map_size = 256) {
  if (s == Store::Memory) return std::make_unique<MemProbe>();
  return std::make_unique<FileProbe>(map_size);
}

std::vector<uint8_t> Raw(TResultSet& set, int32_t n) {
  uint8_t* p = dynamic_cast<MemProbe*>(&set) ? static_cast<MemProbe&>(set).RecordData(n)
                                             : static_cast<FileProbe&>(set).RecordData(n);
  return std::vector<uint8_t>(p, p + set.RecordSize());
}

TkpField* Add(TResultSet& set, const std::string& name, TExprType type, int32_t size = 0, int16_t cast = 0,
              uint16_t cast_len = 0, TField* source = nullptr) {
  return set.AddField(name, "T." + name, type, size, source, false, cast, cast_len, false);
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class ResultSetTest : public ::testing::TestWithParam<Store> {
protected:
  std::unique_ptr<TResultSet> Make(uint64_t map_size = 256) { return MakeSet(GetParam(), map_size); }
  ScopedTempDir tmp_;
};

TEST_P(ResultSetTest, RecordLayoutHasBookmarkThenFlagAndDataPerColumn) {
  auto set = Make();
  TkpField* s5 = Add(*set, "S5", ttString, 5);
  TkpField* s6 = Add(*set, "S6", ttString, 6);
  TkpField* f = Add(*set, "F", ttFloat);
  TkpField* i = Add(*set, "I", ttInteger);
  TkpField* b = Add(*set, "B", ttBoolean);
  EXPECT_EQ(s6->Offset, 4 + 8);  // width 5 takes flag, data and a pad byte
  EXPECT_EQ(f->Offset, 4 + 8 + 8);
  EXPECT_EQ(set->RecordSize(), 4 + 8 + 8 + 10 + 6 + 4);
  set->Insert();
  auto zero = Raw(*set, 1);
  EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](uint8_t c) { return c == 0; }));
  EXPECT_TRUE(s5->GetIsNull() && f->GetIsNull() && b->GetIsNull());
  set->SetSourceBookmark(7);
  s5->SetAsString("abc");
  s6->SetAsString("abcdef");
  f->SetAsFloat(-2.0);
  i->SetAsInteger(258);
  b->SetAsBoolean(true);
  const std::vector<uint8_t> expect = {7,    0,    0,   0,                                 // bookmark
                                       0xFF, 0xFF, 'a', 'b', 'c', 0,   0,   0,             // S5 + pad
                                       0xFF, 0xFF, 'a', 'b', 'c', 'd', 'e', 'f',           // S6
                                       0xFF, 0xFF, 0,   0,   0,   0,   0,   0,   0, 0xC0,  // F
                                       0xFF, 0xFF, 2,   1,   0,   0,                       // I
                                       0xFF, 0xFF, 1,   0};                                // B
  EXPECT_EQ(Raw(*set, 1), expect);
  i->SetIsNull();
  auto after = Raw(*set, 1);
  EXPECT_EQ(after[30], 0);
  EXPECT_EQ(after[31], 0);
  EXPECT_TRUE(i->GetIsNull());
  EXPECT_EQ(i->GetAsString(), "");
}

TEST_P(ResultSetTest, StringCellsCutToTheWidthAndConvert) {
  auto set = Make();
  TkpField* s = Add(*set, "S", ttString, 4);
  set->Insert();
  s->SetAsString("abcdefg");
  EXPECT_EQ(s->GetAsString(), "abcd");
  s->SetAsString("wxyz");
  EXPECT_EQ(s->GetAsString(), "wxyz");  // exactly the width, no terminator needed
  s->SetAsInteger(-123);
  EXPECT_EQ(s->GetAsInteger(), -123);
  s->SetAsBoolean(false);
  EXPECT_EQ(s->GetAsString(), "FALS");
  EXPECT_FALSE(s->GetAsBoolean());
  s->SetAsString("yes");
  EXPECT_TRUE(s->GetAsBoolean());
  EXPECT_THROW(s->GetAsFloat(), EConvertError);
  s->Clear();
  EXPECT_TRUE(s->GetIsNull());
  EXPECT_TRUE(s->GetAsVariant().IsNull());
  EXPECT_EQ(s->GetAsFloat(), 0.0);
}

TEST_P(ResultSetTest, TextIntoTypedCells) {
  auto set = Make();
  TkpField* b = Add(*set, "B", ttBoolean);
  TkpField* i = Add(*set, "I", ttInteger);
  TkpField* f = Add(*set, "F", ttFloat);
  set->Insert();
  for (const char* t : {"t", "Tr", "true"}) {
    b->SetAsString(t);
    EXPECT_TRUE(b->GetAsBoolean()) << t;
  }
  b->SetAsString("F");
  EXPECT_FALSE(b->GetAsBoolean());
  EXPECT_FALSE(b->GetIsNull());
  EXPECT_EQ(MessageOf([&] { b->SetAsString("yes"); }), "Invalid boolean value yes");
  EXPECT_EQ(MessageOf([&] { b->SetAsString("FALSEX"); }), "Invalid boolean value FALSEX");
  EXPECT_EQ(MessageOf([&] { i->SetAsString("12a"); }), "Invalid integer value 12a");
  EXPECT_EQ(MessageOf([&] { f->SetAsString("1x"); }), "Invalid floating point value 1x");
  // The empty text: False in a boolean cell (a value, not null), refused by
  // an integer cell (which keeps its value), null in a float cell.
  b->SetIsNull();
  i->SetAsInteger(5);
  f->SetAsFloat(5);
  b->SetAsString("");
  EXPECT_FALSE(b->GetIsNull());
  EXPECT_EQ(b->GetAsString(), "FALSE");
  b->SetAsString("T");
  b->SetAsString("");
  EXPECT_FALSE(b->GetAsBoolean());
  EXPECT_EQ(MessageOf([&] { i->SetAsString(""); }), "Invalid integer value ");
  EXPECT_EQ(i->GetAsInteger(), 5);
  f->SetAsString("");
  EXPECT_TRUE(f->GetIsNull());
  EXPECT_EQ(f->GetAsString(), "");
  FormatSettingsGuard dot('.', ',');
  f->SetAsString("2.5");
  EXPECT_EQ(f->GetAsInteger(), 2);  // half to even
  EXPECT_EQ(f->GetAsString(), "2.5");
  i->SetAsFloat(3.5);
  EXPECT_EQ(i->GetAsInteger(), 4);
  EXPECT_THROW(i->SetAsFloat(3e10), ERangeError);
  i->SetAsString("$10");
  EXPECT_EQ(i->GetAsFloat(), 16.0);
}

TEST_P(ResultSetTest, UnsupportedConversionsNameTheDirection) {
  auto set = Make();
  TkpField* b = Add(*set, "B", ttBoolean);
  TkpField* i = Add(*set, "I", ttInteger);
  TkpField* f = Add(*set, "F", ttFloat);
  set->Insert();
  EXPECT_EQ(MessageOf([&] { b->GetAsFloat(); }), "Cannot read field as float");
  EXPECT_EQ(MessageOf([&] { b->GetAsInteger(); }), "Cannot read field as integer");
  EXPECT_EQ(MessageOf([&] { b->SetAsFloat(1); }), "Cannot assign field as float");
  EXPECT_EQ(MessageOf([&] { b->SetAsInteger(1); }), "Cannot assign field as integer");
  EXPECT_EQ(MessageOf([&] { i->GetAsBoolean(); }), "Cannot read field as boolean");
  EXPECT_EQ(MessageOf([&] { f->SetAsBoolean(true); }), "Cannot assign field as boolean");
}

TEST_P(ResultSetTest, CastDecidesTheCellAndItsWidth) {
  auto set = Make();
  // CAST(TEL AS INTEGER) over a 7-character text.
  TkpField* tel = Add(*set, "TEL", ttString, 7, kCastInteger);
  // CAST(n AS FLOAT) over an integer, followed by a neighbour that must
  // stay untouched.
  TkpField* n = Add(*set, "N", ttInteger, 4, kCastFloat);
  TkpField* next = Add(*set, "NEXT", ttInteger);
  // CAST(x AS CHAR(10)) over an integer expression, which has no text width.
  TkpField* c = Add(*set, "C", ttInteger, 0, kCastChar, 10);
  TkpField* d = Add(*set, "D", ttString, 10, kCastDate);
  EXPECT_EQ(tel->DataType, ttInteger);
  EXPECT_EQ(n->DataType, ttFloat);
  EXPECT_EQ(n->ColWidth, 8);
  EXPECT_EQ(c->DataType, ttString);
  EXPECT_EQ(c->ColWidth, 10);
  EXPECT_EQ(d->DataType, ttFloat);
  set->Insert();
  tel->SetAsString("2345678");
  next->SetAsInteger(-1);
  n->SetAsInteger(5);
  c->SetAsInteger(1234567890);
  EXPECT_EQ(tel->GetAsInteger(), 2345678);
  EXPECT_EQ(n->GetAsFloat(), 5.0);
  EXPECT_EQ(next->GetAsInteger(), -1);
  EXPECT_EQ(c->GetAsString(), "1234567890");
  // SMALLINT and AUTOINC keep the expression's type.
  auto other = Make();
  EXPECT_EQ(Add(*other, "S", ttFloat, 0, kCastSmallint)->DataType, ttFloat);
}

TEST_P(ResultSetTest, ColumnWidthIsTheLargerOfColumnAndSourceField) {
  TStringField tel;
  tel.SetSize(7);
  TFloatField num;
  auto set = Make();
  TkpField* wide = Add(*set, "W", ttString, 12, 0, 0, &tel);  // 'Tel: ' + TEL
  TkpField* narrow = Add(*set, "N", ttString, 3, 0, 0, &tel);
  TkpField* f = Add(*set, "F", ttFloat, 0, 0, 0, &num);
  EXPECT_EQ(wide->GetColWidth(), 12);
  EXPECT_EQ(narrow->GetColWidth(), 7);
  EXPECT_EQ(f->GetColWidth(), 8);
  EXPECT_EQ(wide->ColumnWidth(), 12);
}

TEST_P(ResultSetTest, FieldsAreFoundByNameOrQualifiedName) {
  auto set = Make();
  Add(*set, "Tel", ttString, 4);
  EXPECT_EQ(set->FindField("TEL")->Index, 1);
  EXPECT_EQ(set->FindField("t.tel")->Index, 1);
  EXPECT_EQ(set->FindField("X"), nullptr);
  EXPECT_EQ(MessageOf([&] { set->FieldByName("X"); }), "Field X was not found");
}

TEST_P(ResultSetTest, RecnoAndDelete) {
  auto set = Make();
  TkpField* i = Add(*set, "I", ttInteger);
  set->Delete();  // nothing current: nothing happens
  for (int v = 1; v <= 3; ++v) {
    set->Insert();
    i->SetAsInteger(v);
  }
  EXPECT_EQ(set->GetRecno(), 3);
  EXPECT_EQ(MessageOf([&] { set->SetRecno(0); }), "Recno out of range");
  EXPECT_THROW(set->SetRecno(4), ESiftError);
  EXPECT_THROW(Add(*set, "LATE", ttInteger), ESiftError);
  set->Delete();  // the last: the current record becomes the new last
  EXPECT_EQ(set->GetRecno(), 2);
  EXPECT_EQ(i->GetAsInteger(), 2);
  set->SetRecno(1);
  set->Delete();
  EXPECT_EQ(set->GetRecno(), 1);
  EXPECT_EQ(i->GetAsInteger(), 2);
  EXPECT_EQ(set->GetRecordCount(), 1);
}

TEST_P(ResultSetTest, SortWithListReordersAndDropsUnnamedRows) {
  BookmarkSource src;
  auto set = Make();
  set->SourceDataSet = &src.ds;
  TkpField* i = Add(*set, "I", ttInteger);
  for (int v = 1; v <= 4; ++v) {
    set->Insert();
    i->SetAsInteger(v * 10);
    set->SetSourceBookmark(src.Take());
  }
  EXPECT_EQ(src.Live(), 4);
  TMemSortList order(false);
  order.AddField(ttInteger, 0, false);
  for (int32_t r : {3, 1, 4}) {
    order.Insert();
    order.SetSourceRecno(r);
  }
  set->SortWithList(order);
  ASSERT_EQ(set->GetRecordCount(), 3);
  std::vector<int32_t> values;
  for (int32_t r = 1; r <= 3; ++r) {
    set->SetRecno(r);
    values.push_back(i->GetAsInteger());
  }
  EXPECT_EQ(values, (std::vector<int32_t>{30, 10, 40}));
  EXPECT_EQ(src.Live(), 3);  // row 2's bookmark went with it

  // A reference twice or outside the rows moves nothing.
  TMemSortList bad(false);
  bad.AddField(ttInteger, 0, false);
  for (int32_t r : {1, 1}) {
    bad.Insert();
    bad.SetSourceRecno(r);
  }
  EXPECT_THROW(set->SortWithList(bad), ESiftError);
  EXPECT_EQ(set->GetRecordCount(), 3);
  EXPECT_EQ(src.Live(), 3);
}

TEST_P(ResultSetTest, BookmarksGoBackExactlyOnceAndTheMarkerNever) {
  BookmarkSource src;
  {
    auto set = Make();
    set->SourceDataSet = &src.ds;
    Add(*set, "I", ttInteger);
    set->Insert();
    TBookmark b1 = src.Take();
    set->SetSourceBookmark(b1);
    set->SetSourceBookmark(b1);  // the same handle again is kept, not freed
    EXPECT_NE(src.ds.BookmarkBytes(b1), nullptr);
    set->SetSourceBookmark(src.Take());  // replacing frees the old one
    EXPECT_EQ(src.ds.BookmarkBytes(b1), nullptr);
    EXPECT_EQ(src.Live(), 1);
    set->Insert();
    set->SetSourceBookmark(-2);  // a row marked for deletion
    set->Delete();
    EXPECT_EQ(src.Live(), 1);
    set->SetRecno(1);
    set->FreeSourceBookmark();
    EXPECT_EQ(set->GetSourceBookmark(), 0);
    EXPECT_EQ(src.Live(), 0);
    // The freed handle is handed out again; freeing the row again must not
    // take it from its new holder.
    TBookmark other = src.Take();
    set->FreeSourceBookmark();
    set->Delete();
    EXPECT_NE(src.ds.BookmarkBytes(other), nullptr);
    src.ds.FreeBookmark(other);
    for (int k = 0; k < 3; ++k) {
      set->Insert();
      set->SetSourceBookmark(src.Take());
    }
    EXPECT_EQ(src.Live(), 3);
    set->ClearBufferList();
    if (GetParam() == Store::Memory) {
      EXPECT_EQ(src.Live(), 0);
    }
    set->Clear();
    EXPECT_EQ(src.Live(), 0);
    Add(*set, "J", ttInteger);
    set->Insert();
    set->SetSourceBookmark(src.Take());
  }
  EXPECT_EQ(src.Live(), 0);  // the destructor freed the last one
}

TEST_P(ResultSetTest, ManyRowsFarBeyondTheFirstMapping) {
  auto set = Make(256);
  TkpField* s = Add(*set, "S", ttString, 41);
  TkpField* i = Add(*set, "I", ttInteger);
  const int n = 20000;
  for (int r = 1; r <= n; ++r) {
    set->Insert();
    s->SetAsString(std::string(static_cast<size_t>(r % 41), static_cast<char>('a' + r % 26)));
    if (r % 3) i->SetAsInteger(r);
  }
  std::mt19937 rng(3);
  for (int k = 0; k < 2000; ++k) {
    int r = static_cast<int>(rng() % n) + 1;
    set->SetRecno(r);
    ASSERT_EQ(s->GetAsString(), std::string(static_cast<size_t>(r % 41), static_cast<char>('a' + r % 26)));
    ASSERT_EQ(i->GetIsNull(), r % 3 == 0);
    if (r % 3) {
      ASSERT_EQ(i->GetAsInteger(), r);
    }
  }
  if (auto* f = dynamic_cast<TFileResultSet*>(set.get())) {
    EXPECT_EQ(f->MapFile()->DataEnd(), static_cast<uint64_t>(n) * static_cast<uint64_t>(set->RecordSize()));
    EXPECT_GE(std::filesystem::file_size(f->FileName()), f->MapFile()->DataEnd());
  }
}

TEST_P(ResultSetTest, SaveToTextWritesNumberedColumns) {
  auto set = Make();
  TkpField* s = Add(*set, "S", ttString, 5);
  TkpField* i = Add(*set, "I", ttInteger);
  set->Insert();
  s->SetAsString("ab");
  i->SetAsInteger(-3);
  set->Insert();
  std::string path = (tmp_.Path() / "out.txt").string();
  set->SaveToText(path);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "           0           1\r\n"
            "          ab          -3\r\n"
            "                        \r\n");
}

TEST_P(ResultSetTest, ExpressionNodesReadColumnsOfTheCurrentRow) {
  TStringField tel;
  tel.SetSize(7);
  auto set = Make();
  TkpField* s = Add(*set, "S", ttString, 3, 0, 0, &tel);
  TkpField* i = Add(*set, "I", ttInteger);
  TResultSetFieldExpr text(s), number(i);
  EXPECT_EQ(text.GetMaxLen(), 7);  // sized by the wider source field
  EXPECT_EQ(number.GetExprType(), ttInteger);
  set->Insert();
  s->SetAsString("abc");
  set->Insert();
  i->SetAsInteger(42);
  EXPECT_TRUE(text.GetIsNull());
  EXPECT_EQ(number.GetAsInteger(), 42);
  set->SetRecno(1);
  EXPECT_EQ(text.GetAsString(), "abc");
  EXPECT_TRUE(number.GetIsNull());
}

INSTANTIATE_TEST_SUITE_P(Stores, ResultSetTest, ::testing::Values(Store::Memory, Store::File),
                         [](const auto& info) { return info.param == Store::Memory ? "Memory" : "File"; });

TEST(ResultSetStores, SameOperationsGiveTheSameBytes) {
  ScopedTempDir tmp;
  auto mem = MakeSet(Store::Memory);
  auto file = MakeSet(Store::File, 128);
  std::mt19937 rng(11);
  for (TResultSet* set : {mem.get(), file.get()}) {
    Add(*set, "S", ttString, 3);
    Add(*set, "F", ttFloat);
    Add(*set, "B", ttBoolean);
  }
  for (int step = 0; step < 3000; ++step) {
    uint32_t op = rng() % 6, arg = rng();
    for (TResultSet* set : {mem.get(), file.get()}) {
      int32_t count = set->GetRecordCount();
      switch (op) {
        case 0: set->Insert(); break;
        case 1:
          if (count) set->SetRecno(static_cast<int32_t>(arg % count) + 1);
          break;
        case 2:
          if (count) set->Fields[0]->SetAsString(std::to_string(arg % 10000));
          break;
        case 3:
          if (count) set->Fields[1]->SetAsFloat(arg / 7.0);
          break;
        case 4:
          if (count) set->Fields[static_cast<int32_t>(arg % 3)]->SetIsNull();
          break;
        case 5:
          if (count && arg % 4 == 0) set->Delete();
          else if (count) set->Fields[2]->SetAsBoolean(arg & 1);
          break;
      }
    }
  }
  ASSERT_EQ(mem->GetRecordCount(), file->GetRecordCount());
  for (int32_t r = 1; r <= mem->GetRecordCount(); ++r) ASSERT_EQ(Raw(*mem, r), Raw(*file, r)) << r;
}

TEST(FileResultSet, ARowTheFileCannotHoldIsNotAdded) {
  ScopedTempDir tmp;
  TFileResultSet set(4096);
  TkpField* s = set.AddField("S", "S", ttString, 1000, nullptr, false, 0, 0, false);
  for (int r = 0; r < 4; ++r) {
    set.Insert();
    s->SetAsString(std::string(1000, static_cast<char>('a' + r)));
  }
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lim = saved;
  lim.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &lim);
  EXPECT_THROW(set.Insert(), ESiftError);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(set.GetRecordCount(), 4);
  set.SetRecno(1);
  EXPECT_EQ(s->GetAsString(), std::string(1000, 'a'));
  set.Insert();
  EXPECT_EQ(set.GetRecordCount(), 5);
  EXPECT_TRUE(s->GetIsNull());
}

TEST(FileResultSet, TemporaryFileFromConstructionToClear) {
  ScopedTempDir tmp;
  {
    TFileResultSet set(1000);
    EXPECT_EQ(tmp.Files().size(), 1u);
    EXPECT_EQ(tmp.Files()[0].substr(0, 3), "~kp");
    set.AddField("I", "I", ttInteger, 0, nullptr, false, 0, 0, false);
    set.Insert();
    set.Clear();
    EXPECT_TRUE(tmp.Files().empty());
    EXPECT_EQ(set.GetRecordCount(), 0);
    // A set used again after Clear starts a new file.
    TkpField* f = set.AddField("J", "J", ttInteger, 0, nullptr, false, 0, 0, false);
    set.Insert();
    f->SetAsInteger(4);
    EXPECT_EQ(f->GetAsInteger(), 4);
    EXPECT_EQ(tmp.Files().size(), 1u);
  }
  EXPECT_TRUE(tmp.Files().empty());
  EXPECT_THROW(TFileResultSet(uint64_t{1} << 62), ESiftError);
  EXPECT_TRUE(tmp.Files().empty());
}

}  // namespace
