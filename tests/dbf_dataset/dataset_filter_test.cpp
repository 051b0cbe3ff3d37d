// The dataset filter: expression texts handed to the record handler, the
// record filter event, refused texts and records appended under a filter.
#include "dataset_test_util.h"

namespace {

const std::string kAnsi = "\xC8\xE2\xE0\xED\xEE\xE2";  // "Иванов", Windows code page

class Filter : public ::testing::Test {
protected:
  void SetUp() override { MakePhones(dir / "t.dbf", 9); }
  TempDir dir;
  TCorvidDataSet ds;
};

TEST_F(Filter, TextAppliesWhenFilteredAndOptionsCount) {
  Place(ds, dir, "t.dbf");
  ds.SetFilter("ND > 6");  // only stored while closed and unfiltered
  ds.Open();
  EXPECT_EQ(Walk(ds, "TEL").size(), 9u);
  ds.SetFiltered(true);
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1007", "1008", "1009"}));
  ds.SetFilter("KW = '5A'");
  EXPECT_TRUE(Walk(ds, "TEL").empty());
  EXPECT_TRUE(ds.IsEmpty());
  ds.SetFilterOptions(foCaseInsensitive);
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1005"}));
  // Filtered off really stops filtering.
  ds.SetFiltered(false);
  EXPECT_EQ(Walk(ds, "TEL").size(), 9u);
  EXPECT_EQ(ds.Filter(), "KW = '5A'");
}

TEST_F(Filter, RefusedTextsLeaveAConsistentDataset) {
  Place(ds, dir, "t.dbf");
  ds.Open();
  ds.SetFilter("ND < 3");
  ds.SetFiltered(true);
  EXPECT_THROW(ds.SetFilter("SQLLIKE(FM, 'N%')"), Exception);
  // The previous filter stays in force, and it is the one the dataset names.
  EXPECT_TRUE(ds.Filtered());
  EXPECT_EQ(ds.Filter(), "ND < 3");
  EXPECT_EQ(Walk(ds, "TEL").size(), 2u);
  EXPECT_THROW(ds.SetFilter("FM"), Exception);  // not a condition
  EXPECT_EQ(Walk(ds, "TEL").size(), 2u);
  // A text refused as Filtered is switched on leaves the dataset unfiltered.
  ds.SetFiltered(false);
  ds.SetFilter("NOSUCHFIELD = 1");
  EXPECT_THROW(ds.SetFiltered(true), Exception);
  EXPECT_FALSE(ds.Filtered());
  EXPECT_EQ(Walk(ds, "TEL").size(), 9u);
}

TEST_F(Filter, RecordEventHidesRecordsOnlyWhileFiltered) {
  Place(ds, dir, "t.dbf");
  int calls = 0;
  ds.OnFilterRecord = [&](TDataSet* d, bool& accept) {
    ++calls;
    EXPECT_EQ(d->State(), dsFilter);
    accept = d->FieldByName("ND")->AsInteger() % 2 == 0;
  };
  ds.Open();
  EXPECT_EQ(Walk(ds, "TEL").size(), 9u);
  EXPECT_EQ(calls, 0);
  ds.SetFilter("ND > 3");
  ds.SetFiltered(true);
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1004", "1006", "1008"}));
  EXPECT_GT(calls, 0);
  // An error in the event comes out of the navigation, not as an empty table.
  ds.OnFilterRecord = [](TDataSet*, bool&) { throw EDatabaseError("event failed"); };
  EXPECT_THROW(ds.First(), EDatabaseError);
}

TEST_F(Filter, RecordEventSeesEveryRecordOfTheFilterScan) {
  Place(ds, dir, "t.dbf");
  std::vector<int> seen;
  ds.OnFilterRecord = [&](TDataSet* d, bool& accept) {
    seen.push_back(d->FieldByName("ND")->AsInteger());
    accept = d->FieldByName("ND")->AsInteger() != 5;
  };
  ds.Open();
  ds.SetFiltered(true);
  seen.clear();
  ds.SetFilter("ND > 3");
  // The scan shows the event each record as it stands, in record order.
  ASSERT_GE(seen.size(), 9u);
  EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 9), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1004", "1006", "1007", "1008", "1009"}));
  // Without the event the text alone decides, as it did through the walk.
  ds.OnFilterRecord = nullptr;
  ds.SetFilter("ND > 2");
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1003", "1004", "1005", "1006", "1007", "1008", "1009"}));
}

TEST_F(Filter, AppendedRecordsShowWhenTheyMatch) {
  Place(ds, dir, "t.dbf");
  ds.SetFilter("UL = 'Street1'");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1001", "1004", "1007"}));
  ds.AppendRecord({Variant("2001"), Variant("A"), Variant("Street1")});
  ds.AppendRecord({Variant("2002"), Variant("B"), Variant("Street2")});
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1001", "1004", "1007", "2001"}));
  // An edit that takes a record out of the filter hides it.
  ds.First();
  ds.Edit();
  ds.FieldByName("UL")->SetAsString("Elsewhere");
  ds.Post();
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1004", "1007", "2001"}));
}

TEST_F(Filter, CyrillicTextsAreTranslatedAtOpenAndWhenSet) {
  TempDir d2;
  MakeTable(d2 / "c.dbf", "3", {{"FM", "C", 10, 0}}, {{"\x88\xA2\xA0\xAD\xAE\xA2"}, {"Petrov"}});
  TCorvidDataSet c;
  Place(c, d2, "c.dbf", true);
  c.SetFilter("FM = '" + kAnsi + "'");
  c.SetFiltered(true);
  c.Open();
  EXPECT_EQ(Walk(c, "FM"), (std::vector<std::string>{kAnsi}));
  c.SetFilter("FM <> '" + kAnsi + "'");
  EXPECT_EQ(Walk(c, "FM"), (std::vector<std::string>{"Petrov"}));
}

}  // namespace
