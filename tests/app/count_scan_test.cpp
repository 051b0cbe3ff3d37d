// COUNT(*) over a DBF dataset: the counting scan (the dataset counts its
// visible records, nobody listening to a walk) against the walk the query
// makes when something listens, on the same tables and settings.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/sql_run.h"
#include "dbf_dataset/dataset_test_util.h"
#include "sql_engine/query/custom_sift.h"

namespace {

class CountScan : public ::testing::Test {
protected:
  void SetUp() override {
    MakePhones(dir / "phones.dbf", 30, {1, 5, 6, 30});
    Place(ds, dir, "phones.dbf");
    ds.Open();
    ds.IndexOn("byfm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    ds.SetIndexName("");
    q.AddDataSet(&ds, "phones");
  }

  int WalkCount() {
    int n = 0;
    for (ds.First(); !ds.Eof(); ds.Next()) ++n;
    return n;
  }

  // The statement's rows by the counting scan and by the walk (a scroll
  // event makes the walk observable); both must agree, the walk must have
  // happened only the second time, and the cursor is back where it stood.
  std::vector<std::string> BothWays(const std::string& sql) {
    ds.First();
    ds.Next();
    const int recno = ds.IsEmpty() ? 0 : ds.RecNo();
    int scrolls = 0;
    ds.AfterScroll = [&](TDataSet*) { ++scrolls; };
    const TSqlRun walked = RunStatement(q, sql);
    ds.AfterScroll = nullptr;
    EXPECT_GT(scrolls, 0);
    EXPECT_EQ(ds.IsEmpty() ? 0 : ds.RecNo(), recno);
    const TSqlRun counted = RunStatement(q, sql);
    EXPECT_EQ(counted.error, "");
    EXPECT_EQ(walked.error, "");
    EXPECT_EQ(counted.rows, walked.rows) << sql;
    EXPECT_EQ(ds.IsEmpty() ? 0 : ds.RecNo(), recno);
    return counted.rows;
  }

  void ExpectCount() {
    const int n = WalkCount();
    const std::vector<std::string> rows = BothWays("select count(*), count(1) from phones");
    if (n == 0) {
      EXPECT_TRUE(rows.empty());  // aggregates over no rows give no row
      return;
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], std::to_string(n) + "|" + std::to_string(n));
    // The group's other columns come from its first row.
    ds.First();
    const std::string first = ds.FieldByName("FM")->AsString();
    EXPECT_EQ(BothWays("select fm, count(*) * 10 from phones"),
              std::vector<std::string>{first + "|" + std::to_string(n * 10)});
  }

  TempDir dir{"dirlook-count"};
  TCorvidDataSet ds;
  TSift q;
};

TEST_F(CountScan, DeletedRecordsCountOnlyWhenShown) {
  ExpectCount();
  EXPECT_EQ(WalkCount(), 26);
  ds.SetUseDeleted(true);
  ExpectCount();
  EXPECT_EQ(WalkCount(), 30);
}

TEST_F(CountScan, TheFilterDecidesWithTheDeletionMark) {
  ds.SetFilter("ND > 4 .AND. ND < 30");
  ds.SetFiltered(true);
  ExpectCount();
  EXPECT_EQ(WalkCount(), 23);
  ds.SetUseDeleted(true);
  ExpectCount();
  ds.SetFilter("ND > 1000");
  ExpectCount();
  EXPECT_EQ(WalkCount(), 0);
}

TEST_F(CountScan, AnIndexOrderAndItsRangeCountByTheWalk) {
  ds.SetIndexName("byfm");
  ExpectCount();
  ds.SetRange("Name1", "Name2");
  ExpectCount();
  EXPECT_GT(WalkCount(), 0);
  EXPECT_LT(WalkCount(), 26);
}

TEST_F(CountScan, RecordsAnotherHandleAppendsCount) {
  ExpectCount();
  {
    CVO_dBHandler other(dir / "phones.dbf", "", true, true);
    other.kvSetTranslateAscii(false);
    other.cvBlank();
    other.cvFieldPutN(2, "Late");
    other.cvAppend();
    other.cvCloseTable();
  }
  ExpectCount();
  EXPECT_EQ(WalkCount(), 27);
}

TEST_F(CountScan, AWhereClauseOrAGroupKeepsTheWalk) {
  // Rows to test or groups to find: the counting scan does not apply, and
  // both ways still agree.
  EXPECT_EQ(BothWays("select count(*) from phones where nd > 20"), std::vector<std::string>{"9"});
  EXPECT_EQ(BothWays("select ul, count(*) from phones group by ul").size(), 3u);
  EXPECT_EQ(BothWays("select count(*), max(fm) from phones"), std::vector<std::string>{"26|Name9"});
}

}  // namespace
