// Opening, closing, field definitions, navigation and bookmarks.
#include <cstring>

#include "dataset_test_util.h"
#include "platform/db_fields.h"

namespace {

TEST(DataSetOpen, TableNameWithoutExtensionFindsTheFileCaseInsensitively) {
  TempDir dir;
  MakePhones(dir / "phones.dbf", 3);
  TCorvidDataSet ds;
  Place(ds, dir, "phones");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "phones.DBF");
  EXPECT_EQ(ds.FieldCount(), 5);
  EXPECT_EQ(Walk(ds, "FM"), (std::vector<std::string>{"Name1", "Name2", "Name3"}));
  EXPECT_EQ(ds.FieldByName("ND")->DataType(), ftSmallint);
  EXPECT_EQ(ds.FieldByName("ND")->AsInteger(), 3);
  ds.Close();
  TCorvidDataSet missing;
  Place(missing, dir, "nothere");
  try {
    missing.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find file " + dir.path() + "/nothere.DBF");
  }
  EXPECT_FALSE(missing.Active());
  TCorvidDataSet unnamed;
  EXPECT_THROW(unnamed.Open(), EDatabaseError);
}

}  // namespace

namespace {

TEST(DataSetOpen, AFieldOfUnknownTypeIsLeftOutAndLaterFieldsKeepTheirNumbers) {
  TempDir dir;
  MakePhones(dir / "t.dbf", 2);
  // Field 2 (FM) gets a type letter the dataset does not map.
  std::vector<uint8_t> bytes = ReadAll(dir / "t.dbf");
  bytes[32 + 32 + 11] = 'X';
  WriteAll(dir / "t.dbf", bytes);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  ASSERT_EQ(ds.FieldCount(), 4);
  EXPECT_EQ(ds.FindField("FM"), nullptr);
  EXPECT_EQ(ds.FieldByName("UL")->FieldNo(), 3);
  EXPECT_EQ(ds.FieldByName("UL")->AsString(), "Street1");
  EXPECT_EQ(ds.FieldByName("KW")->AsString(), "1a");
}

TEST(DataSetOpen, AnOpenThatFailsLateLeavesNothingOpen) {
  TempDir dir;
  MakePhones(dir / "t.dbf", 2);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  // A persistent field of the wrong type: binding fails after the table
  // was opened.
  auto* wrong = ds.CreateOwned<TIntegerField>();
  wrong->SetFieldName("FM");
  wrong->SetDataSet(&ds);
  EXPECT_THROW(ds.Open(), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.Handler(), nullptr);
  // The shared handle is gone: an exclusive open succeeds.
  TCorvidDataSet other;
  Place(other, dir, "t.dbf");
  other.SetExclusive(true);
  EXPECT_NO_THROW(other.Open());
  EXPECT_EQ(other.RecordCount(), 2);
}

TEST(DataSetOpen, FieldTypesFollowTheDbfTypes) {
  TempDir dir;
  MakeTable(dir / "t.dbf", "4",
            {{"S", "N", 4, 0},
             {"I", "N", 5, 0},
             {"W", "N", 10, 0},
             {"F", "N", 8, 2},
             {"D", "D", 8, 0},
             {"L", "L", 1, 0},
             {"M", "M", 10, 0},
             {"FL", "F", 12, 3}},
            {});
  for (TcvIntFields mode : {asInteger, asLargeInt, asFloat}) {
    TCorvidDataSet ds;
    Place(ds, dir, "t.dbf");
    ds.LargeIntegerAs = mode;
    ds.Open();
    EXPECT_EQ(ds.FieldByName("S")->DataType(), ftSmallint);
    EXPECT_EQ(ds.FieldByName("I")->DataType(), ftInteger);
    EXPECT_EQ(ds.FieldByName("W")->DataType(),
              mode == asInteger ? ftInteger : (mode == asLargeInt ? ftLargeint : ftFloat));
    EXPECT_EQ(ds.FieldByName("F")->DataType(), ftFloat);
    EXPECT_EQ(ds.FieldByName("D")->DataType(), ftDate);
    EXPECT_EQ(ds.FieldByName("L")->DataType(), ftBoolean);
    EXPECT_EQ(ds.FieldByName("M")->DataType(), ftMemo);
    EXPECT_EQ(ds.FieldByName("FL")->DataType(), ftFloat);
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_TRUE(ds.Bof());
    EXPECT_TRUE(ds.Eof());
  }
}

class Navigation : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    MakePhones(dir / "t.dbf", 12, {4, 9});
    Place(ds, dir, "t.dbf");
    source.SetDataSet(&ds);
    link = std::make_unique<TBufferLink>(GetParam());
    link->SetDataSource(&source);
  }
  void TearDown() override { link->SetDataSource(nullptr); }
  std::vector<std::string> Backward() {
    std::vector<std::string> out;
    ds.Last();
    while (!ds.Bof()) {
      out.push_back(ds.FieldByName("TEL")->AsString());
      ds.Prior();
    }
    return out;
  }
  TempDir dir;
  TCorvidDataSet ds;
  TDataSource source;
  std::unique_ptr<TBufferLink> link;
};

TEST_P(Navigation, WalksSeeEachVisibleRecordOnceBothWays) {
  ds.SetFilter("ND <> 6");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(ds.BufferCount(), GetParam());
  const std::vector<std::string> forward = Walk(ds, "TEL");
  EXPECT_EQ(forward,
            (std::vector<std::string>{"1001", "1002", "1003", "1005", "1007", "1008", "1010", "1011", "1012"}));
  std::vector<std::string> back = Backward();
  EXPECT_EQ(back, std::vector<std::string>(forward.rbegin(), forward.rend()));
  // Jumps across the ring land on the right records.
  ds.First();
  EXPECT_EQ(ds.MoveBy(5), 5);
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1008");
  EXPECT_EQ(ds.RecNo(), 8);
  EXPECT_EQ(ds.MoveBy(-4), -4);
  EXPECT_EQ(ds.RecNo(), 2);
  // Without the filter and with deleted records shown every record comes.
  ds.SetFiltered(false);
  EXPECT_EQ(Walk(ds, "TEL").size(), 10u);
  ds.SetUseDeleted(true);
  EXPECT_EQ(Walk(ds, "TEL").size(), 12u);
  EXPECT_EQ(ds.RecordCount(), 12);
}

TEST_P(Navigation, ExactCountCountsOnlyVisibleRecords) {
  ds.SetFilter("ND > 6");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 12);  // the header's count
  ds.ExactCount = true;
  ds.First();
  ds.Next();
  EXPECT_EQ(ds.RecordCount(), 5);  // 7, 8, 10, 11, 12
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1008");
  ds.Next();
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1010");
}

INSTANTIATE_TEST_SUITE_P(BufferCounts, Navigation, ::testing::Values(1, 5));

TEST(Bookmarks, TextFormValidityAndOrder) {
  TempDir dir;
  MakePhones(dir / "t.dbf", 12);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  ds.SetRecNo(7);
  TBookmark b7 = ds.GetBookmark();
  ASSERT_NE(b7, 0);
  EXPECT_EQ(std::memcmp(ds.BookmarkBytes(b7), "         7\0", 11), 0);
  EXPECT_TRUE(ds.BookmarkValid(b7));
  ds.SetRecNo(9);
  TBookmark b9 = ds.GetBookmark();
  ds.Next();
  TBookmark b10 = ds.GetBookmark();
  EXPECT_EQ(ds.CompareBookmarks(b9, b10), -1);
  EXPECT_EQ(ds.CompareBookmarks(b10, b9), 1);
  EXPECT_EQ(ds.CompareBookmarks(b9, b9), 0);
  EXPECT_EQ(ds.CompareBookmarks(0, b9), -1);
  ds.GotoBookmark(b7);
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1007");
  // Handmade bookmarks: beyond the table, or not a number.
  ds.SetRecNo(12);
  TBookmark b12 = ds.GetBookmark();
  uint8_t* raw = const_cast<uint8_t*>(ds.BookmarkBytes(b12));
  std::memcpy(raw, "        13", 10);
  EXPECT_FALSE(ds.BookmarkValid(b12));
  EXPECT_THROW(ds.GotoBookmark(b12), EDatabaseError);
  std::memcpy(raw, "       abc", 10);
  EXPECT_FALSE(ds.BookmarkValid(b12));
  try {
    ds.GotoBookmark(b12);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Bookmark is invalid for table t.dbf");
  }
  // Navigation still works afterwards.
  ds.First();
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1001");
}

}  // namespace
