#include "corvid_sift.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "phones_fixture.h"
#include "platform/text.h"

namespace {

// A query over phones.dbf through the window's binding.
struct Fixture {
  PhonesTable table;
  TDataSet& ds;
  TCorvidSift sift;
  explicit Fixture(int rows = 12) : table(rows), ds(*table.dataset()) {
    sift.AddDataSet(&ds, "Phones");
    sift.Loaded();
  }
  std::vector<std::string> Run(const std::string& sql, const std::string& field = "TEL") {
    sift.SetSQL(sql);
    sift.Open();
    std::vector<std::string> out;
    while (!sift.Eof()) {
      out.push_back(Trim(sift.FieldByName(field)->AsString()));
      sift.Next();
    }
    sift.Close();
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST(CorvidSift, FiltersTheEngineRefusesFallBackToTheWhereClause) {
  Fixture f;
  EXPECT_EQ(f.Run("select * from phones where tel like '101%'"),
            (std::vector<std::string>{"1010", "1011", "1012"}));
  // While rows are read, the dataset is filtered only when the DBF engine
  // took the condition.
  std::vector<std::string> filters;
  f.sift.OnCancelQuery = [&](TCustomSift*, bool&) { filters.push_back(f.ds.Filtered() ? f.ds.Filter() : ""); };
  EXPECT_EQ(f.Run("select * from phones where nd=5"), (std::vector<std::string>{"1005"}));
  ASSERT_FALSE(filters.empty());
  EXPECT_NE(filters.front(), "");
  filters.clear();
  EXPECT_EQ(f.Run("select * from phones where tel like '1005'"), (std::vector<std::string>{"1005"}));
  ASSERT_FALSE(filters.empty());
  EXPECT_EQ(filters.front(), "");
  f.sift.OnCancelQuery = nullptr;
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.ds.Filter(), "");

  // The handlers directly: a refused text leaves nothing behind, an accepted
  // one filters the dataset until the statement ends.
  f.sift.BeforeQuery(nullptr);
  bool handled = true;
  f.sift.SetFilter(&f.sift, &f.ds, "SQLLIKE(TEL, '10%')", false, handled);
  EXPECT_FALSE(handled);
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.ds.Filter(), "");
  f.sift.SetFilter(&f.sift, &f.ds, "ND=5", false, handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(f.table.Walk("TEL"), (std::vector<std::string>{"1005"}));
  f.sift.AfterQuery(nullptr);  // the scan raised: no cancel events came
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_EQ(f.table.Walk("TEL").size(), 12u);
}

TEST(CorvidSift, ADatasetsOwnFilterAndUseDeletedSurviveStatements) {
  Fixture f;
  f.ds.SetFilter("ND>2");
  f.ds.SetFiltered(true);
  EXPECT_EQ(f.Run("select * from phones where nd<5"), (std::vector<std::string>{"1003", "1004"}));
  EXPECT_EQ(f.Run("select * from phones where tel like '100%'").size(), 7u);
  EXPECT_EQ(f.ds.Filter(), "ND>2");
  EXPECT_TRUE(f.ds.Filtered());

  f.ds.SetFiltered(false);
  f.sift.UseDeleted = true;
  auto before = f.sift.OnSetFilter.target_type().name();
  EXPECT_ANY_THROW(f.Run("select nosuch from phones where nd=1"));
  EXPECT_ANY_THROW(f.Run("select * from phones where nd=1 and"));
  EXPECT_FALSE(CorvidUseDeleted(f.table.corvid()));
  EXPECT_EQ(f.ds.Filter(), "ND>2");
  EXPECT_FALSE(f.ds.Filtered());
  EXPECT_STREQ(f.sift.OnSetFilter.target_type().name(), before);
  // And the next statement runs normally.
  EXPECT_EQ(f.Run("select * from phones where nd=7"), (std::vector<std::string>{"1007"}));
}

TEST(CorvidSift, DerivedTablesAreLeftAlone) {
  Fixture f;
  EXPECT_EQ(f.Run("select * from (select tel from phones) p where tel='1003'"),
            (std::vector<std::string>{"1003"}));
}

TEST(CorvidSift, RangesKeepTheirEdgeRows) {
  Fixture f(30);
  f.table.AddIndex("tel.ntx", "TEL", false);
  f.table.AddIndex("fmu.ntx", "FM", true);
  f.sift.WhereOptimizeMethod = omSetRange;

  f.sift.BeforeQuery(nullptr);
  bool accept = false;
  f.sift.IndexNeededfor(&f.sift, &f.ds, "fm", true, false, accept);
  EXPECT_FALSE(accept);  // unique tag: would lose duplicate keys
  f.sift.IndexNeededfor(&f.sift, &f.ds, "tel", true, false, accept);
  ASSERT_TRUE(accept);
  f.sift.SetRange(&f.sift, ropGT, &f.ds, "TEL", "102", "", false);
  auto rows = f.table.Walk("TEL");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), "1020");  // "1020" > "102": not skipped
  EXPECT_EQ(rows.back(), "1030");
  f.sift.SetRange(&f.sift, ropLT, &f.ds, "TEL", "", "1003", false);
  rows = f.table.Walk("TEL");
  EXPECT_EQ(rows, (std::vector<std::string>{"1001", "1002", "1003"}));  // inclusive; WHERE trims
  f.sift.AfterQuery(nullptr);
  EXPECT_EQ(CorvidIndexName(f.table.corvid()), "");
  EXPECT_EQ(f.table.Walk("TEL").size(), 30u);

  EXPECT_EQ(f.Run("select * from phones where tel > '1028'"), (std::vector<std::string>{"1029", "1030"}));
  EXPECT_EQ(f.Run("select * from phones where tel >= '1028'").size(), 3u);
  EXPECT_EQ(f.Run("select * from phones where tel < '1002'"), (std::vector<std::string>{"1001"}));
  EXPECT_EQ(f.Run("select * from phones where tel <= '1002'").size(), 2u);
  EXPECT_EQ(f.Run("select * from phones where tel between '1010' and '1012'").size(), 3u);
  EXPECT_EQ(CorvidIndexName(f.table.corvid()), "");
}

TEST(CorvidSift, DateWrappersBecomeDbfDates) {
  TCorvidSift sift;
  std::string text = "DummyBoolean(True) and D=DummyDate(45000) or E=DummyDate(45000)";
  sift.FixDummiesForFilter(text);
  EXPECT_EQ(text.find("Dummy"), std::string::npos) << text;
  EXPECT_EQ(text.substr(0, 4), "True");
  EXPECT_NE(text.find("{"), std::string::npos);
}

}  // namespace
