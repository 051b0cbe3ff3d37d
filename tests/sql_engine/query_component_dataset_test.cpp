// The query as a dataset: a result set handed in ready-made, served through
// the dataset framework (field definitions, navigation, filter, locate,
// edits, deletes and re-sorting).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/expr_test_support.h"
#include "platform/date_time.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"

namespace {

struct Col {
  std::string name, text;
  TExprType type;
  int32_t size = 0;
  TField* source = nullptr;
  int16_t cast = 0;
};

// A query opened over rows given as texts (empty text: null).
std::unique_ptr<TSift> OpenOver(const std::vector<Col>& cols, const std::vector<std::vector<std::string>>& rows) {
  auto rs = std::make_unique<TMemResultSet>();
  for (const Col& c : cols) rs->AddField(c.name, c.text, c.type, c.size, c.source, false, c.cast, 0, false);
  for (const auto& row : rows) {
    rs->Insert();
    for (size_t i = 0; i < row.size(); ++i)
      if (!row[i].empty()) rs->Fields.GetItem(static_cast<int32_t>(i))->SetAsString(row[i]);
  }
  auto q = std::make_unique<TSift>();
  q->SetReadyResultSet(std::move(rs));
  q->Open();
  return q;
}

std::vector<std::string> Column(TSift& q, const std::string& field) {
  std::vector<std::string> out;
  q.First();
  while (!q.Eof()) {
    out.push_back(q.FieldByName(field)->AsString());
    q.Next();
  }
  return out;
}

TEST(QueryDataSet, DuplicateAndEmptyColumnNamesGetTheirOwnFields) {
  auto q = OpenOver({{"FM", "FM", ttString, 10},
                     {"phones.FM", "phones.FM", ttString, 10},
                     {"", "1+1", ttInteger},
                     {"[FM]", "FM", ttString, 10}},
                    {{"A", "B", "2", "C"}});
  ASSERT_EQ(q->FieldCount(), 4);
  EXPECT_EQ(q->Fields()[0]->FieldName(), "FM");
  EXPECT_EQ(q->Fields()[1]->FieldName(), "FM_1");
  EXPECT_EQ(q->Fields()[2]->FieldName(), "NULL");
  EXPECT_EQ(q->Fields()[3]->FieldName(), "FM_2");
  EXPECT_EQ(q->FieldByName("FM_2")->AsString(), "C");
  EXPECT_EQ(q->FieldByName("NULL")->AsInteger(), 2);
}

TEST(QueryDataSet, AnEmptyResultStandsAtBothEnds) {
  auto q = OpenOver({{"N", "N", ttInteger}}, {});
  EXPECT_TRUE(q->Bof());
  EXPECT_TRUE(q->Eof());
  q->Last();
  EXPECT_TRUE(q->Eof());
  q->First();
  EXPECT_TRUE(q->Bof());
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_FALSE(q->Locate("N", Variant(1), 0));
  EXPECT_TRUE(q->FieldByName("N")->IsNull());
}

TEST(QueryDataSet, AFilterCountsNumbersLocatesAndDeletesAcceptedRowsOnly) {
  auto q = OpenOver({{"N", "N", ttInteger}, {"S", "S", ttString, 8}},
                    {{"1", "one"}, {"2", "two"}, {"3", "three"}, {"4", "four"}, {"5", "five"}});
  q->SetFilter("N > 2");
  q->SetFiltered(true);
  EXPECT_EQ(q->RecordCount(), 3);
  q->First();
  EXPECT_EQ(q->RecNo(), 1);
  EXPECT_EQ(q->FieldByName("N")->AsInteger(), 3);
  q->Next();
  EXPECT_EQ(q->RecNo(), 2);
  EXPECT_FALSE(q->Locate("S", Variant("two"), 0));  // filtered out
  ASSERT_TRUE(q->Locate("S", Variant("FI"), loPartialKey | loCaseInsensitive));
  EXPECT_EQ(q->FieldByName("N")->AsInteger(), 5);
  EXPECT_EQ(q->RecNo(), 3);
  q->Delete();
  EXPECT_EQ(q->RecordCount(), 2);
  EXPECT_EQ(Column(*q, "S"), (std::vector<std::string>{"three", "four"}));
  q->SetFiltered(false);
  EXPECT_EQ(q->RecordCount(), 4);
  EXPECT_EQ(Column(*q, "S"), (std::vector<std::string>{"one", "two", "three", "four"}));
  // Lookup answers from the located row and leaves the cursor alone.
  q->First();
  EXPECT_EQ(q->Lookup("N", Variant(4), "S").AsString(), "four");
  EXPECT_EQ(q->FieldByName("S")->AsString(), "one");
  EXPECT_TRUE(q->Lookup("N", Variant(9), "S").IsNull());
}

TEST(QueryDataSet, DatesAndTimesRoundTripAndEditsGoIntoTheResultSet) {
  const double d = EncodeDate(2003, 1, 2);
  const double dt = d + EncodeTime(13, 45, 30, 250);
  const double t = EncodeTime(8, 5, 0, 0);
  auto rs = std::make_unique<TMemResultSet>();
  rs->AddField("D", "CAST(x AS DATE)", ttFloat, 0, nullptr, false, kCastDate, 0, false);
  rs->AddField("DT", "CAST(x AS DATETIME)", ttFloat, 0, nullptr, false, kCastDateTime, 0, false);
  rs->AddField("T", "CAST(x AS TIME)", ttFloat, 0, nullptr, false, kCastTime, 0, false);
  rs->AddField("S", "S", ttString, 6, nullptr, false, 0, 0, false);
  rs->Insert();
  rs->Fields.GetItem(0)->SetAsFloat(d);
  rs->Fields.GetItem(1)->SetAsFloat(dt);
  rs->Fields.GetItem(2)->SetAsFloat(t);
  rs->Fields.GetItem(3)->SetAsString("abc");
  rs->Insert();
  TResultSet* raw = rs.get();
  TSift q;
  q.SetReadyResultSet(std::move(rs));
  q.Open();
  EXPECT_EQ(q.FieldByName("D")->DataType(), ftDate);
  EXPECT_EQ(q.FieldByName("DT")->DataType(), ftDateTime);
  EXPECT_EQ(q.FieldByName("T")->DataType(), ftTime);
  EXPECT_DOUBLE_EQ(q.FieldByName("D")->AsDateTime(), d);
  EXPECT_NEAR(q.FieldByName("DT")->AsDateTime(), dt, 1e-8);
  EXPECT_NEAR(q.FieldByName("T")->AsDateTime(), t, 1e-8);

  q.Edit();
  q.FieldByName("DT")->SetAsDateTime(dt + 1);
  q.FieldByName("S")->SetAsString("xyzzy");
  EXPECT_EQ(q.FieldByName("S")->AsString(), "xyzzy");  // read back before any post
  q.Post();
  EXPECT_NEAR(q.FieldByName("DT")->AsDateTime(), dt + 1, 1e-8);
  raw->SetRecno(1);
  EXPECT_NEAR(raw->Fields.GetItem(1)->GetAsFloat(), dt + 1, 1e-8);
  EXPECT_EQ(raw->Fields.GetItem(3)->GetAsString(), "xyzzy");

  // The second row's dates are null; an inserted row is not stored.
  q.Next();
  EXPECT_TRUE(q.FieldByName("D")->IsNull());
  q.Append();
  q.FieldByName("S")->SetAsString("new");
  q.Post();
  EXPECT_EQ(raw->GetRecordCount(), 2);
  raw->SetRecno(2);
  EXPECT_TRUE(raw->Fields.GetItem(3)->GetIsNull());
}

TEST(QueryDataSet, AComputedColumnTakesTheExpressionsTypeNotItsFields) {
  TRowDataSet src({{"QTY", ftSmallint, 0}, {"FM", ftString, 4}, {"BIG", ftLargeint, 0}}, {});
  src.Open();
  TField* qty = src.FieldByName("QTY");
  TField* fm = src.FieldByName("FM");
  TField* big = src.FieldByName("BIG");
  auto q = OpenOver({{"QTY", "phones.QTY", ttInteger, 0, qty},
                     {"K", "QTY*1000", ttInteger, 0, qty},
                     {"FM", "[phones].[FM]", ttString, 4, fm},
                     {"L", "LENGTH(FM)", ttInteger, 0, fm},
                     {"X", "FM+'!!!'", ttString, 8, fm},
                     {"BIG", "BIG", ttFloat, 0, big}},
                    {{"7", "70000", "ABCD", "4", "ABCD!!!", "5000000000"}});
  EXPECT_EQ(q->FieldByName("QTY")->DataType(), ftSmallint);
  EXPECT_EQ(q->FieldByName("K")->DataType(), ftInteger);
  EXPECT_EQ(q->FieldByName("K")->AsInteger(), 70000);
  EXPECT_EQ(q->FieldByName("FM")->DataType(), ftString);
  EXPECT_EQ(q->FieldByName("L")->AsInteger(), 4);
  EXPECT_EQ(q->FieldByName("X")->AsString(), "ABCD!!!");
  EXPECT_EQ(q->FieldByName("BIG")->DataType(), ftLargeint);
  EXPECT_EQ(q->FieldByName("BIG")->AsString(), "5000000000");

  // Integer-family fields are written as integers.
  q->Edit();
  q->FieldByName("QTY")->SetAsInteger(-3);
  q->FieldByName("BIG")->SetAsString("6000000000");
  q->Post();
  EXPECT_EQ(q->FieldByName("QTY")->AsInteger(), -3);
  q->Close();
  // A closed query let its handed-in rows go: opening it again runs its
  // (empty) statement.
  EXPECT_THROW(q->Open(), ESiftError);
}

TEST(QueryDataSet, SortByColumnsDescendingAndBookmarks) {
  auto q = OpenOver({{"N", "N", ttInteger}, {"S", "S", ttString, 4}}, {{"2", "b"}, {"3", "a"}, {"1", "c"}, {"3", "b"}});
  q->SortByColumns({0, 1}, true);
  EXPECT_EQ(Column(*q, "S"), (std::vector<std::string>{"b", "a", "b", "c"}));
  q->SortByColumns({1}, false);
  EXPECT_EQ(Column(*q, "N").front(), "3");
  q->Last();
  const TBookmark bm = q->GetBookmark();
  q->First();
  EXPECT_TRUE(q->BookmarkValid(bm));
  q->GotoBookmark(bm);
  EXPECT_EQ(q->FieldByName("S")->AsString(), "c");
  q->FreeBookmark(bm);
  EXPECT_TRUE(q->Find("S = 'b'"));
  EXPECT_EQ(q->RecNo(), 2);
  EXPECT_FALSE(q->Find("N > 100"));
  EXPECT_EQ(q->RecNo(), 2);
}

}  // namespace
