// TRANSFORM ... PIVOT: what the cross-tab's columns are (names, types,
// widths) and the statement checks; the cell values are pinned in
// data/pivot_cases.txt.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "common/mem_dataset.h"
#include "common/sql_run.h"
#include "platform/numbers.h"
#include "common/expr_test_support.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/query/sift_pivot.h"
#include "sql_engine/store/result_set.h"

namespace {

const Variant N = Variant::Null();

struct TPivotTables {
  TRowDataSet b{{{"ID", ftInteger}, {"AID", ftInteger}, {"X", ftInteger}},
                {{1, 1, 5}, {2, 1, 7}, {3, 2, 5}, {4, 9, N}, {5, N, 1}}};
  TRowDataSet s{{{"ID", ftInteger}, {"G", ftString, 4}, {"P", ftString, 6}},
                {{1, "a", "Kilo"},
                 {2, "b", "kilo"},
                 {3, "a", "KILO"},
                 {4, "b", "alfa"},
                 {5, "a", N},
                 {6, "c", "\xE0\xE1"},
                 {7, "c", "\xC0\xC1"}}};
  TSift q;
  TPivotTables() {
    q.AddDataSet(&b, "b");
    q.AddDataSet(&s, "s");
  }
};

struct TColumn {
  std::string name;
  TExprType type;
  int32_t width;
  bool operator==(const TColumn&) const = default;
};

struct TPivotRun {
  std::vector<TColumn> columns;
  std::vector<std::string> rows;
  std::vector<int32_t> bookmarks;
  bool sequenced = true;
  std::string error;
};

TPivotRun RunPivot(TCustomSift& q, const std::string& sql) {
  TPivotRun run;
  TSqlRun text = RunStatement(q, sql, false, [&](TResultSet& rs, int32_t row) {
    if (row > 0) {
      run.bookmarks.push_back(rs.GetSourceBookmark());
      return;
    }
    for (int32_t i = 0; i < rs.Fields.Count(); ++i) {
      const TkpField* f = rs.Fields.GetItem(i);
      run.columns.push_back({f->FieldName, f->DataType, f->ColWidth});
    }
    run.sequenced = rs.SourceBookmarked;
  });
  run.rows = std::move(text.rows);
  run.error = std::move(text.error);
  return run;
}

std::vector<std::string> Names(const TPivotRun& run) {
  std::vector<std::string> v;
  for (const TColumn& c : run.columns) v.push_back(c.name);
  return v;
}

TEST(SiftPivot, CellColumnsAreNamedByTheValuesAndTypedByTheirAggregate) {
  TPivotTables t;
  const TPivotRun run =
      RunPivot(t.q, "transform count(*), max(id) select aid from b group by aid pivot x in (5, 7, 1)");
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(Names(run), (std::vector<std::string>{"aid", "5", "5", "7", "7", "1", "1"}));
  for (size_t i = 1; i < run.columns.size(); ++i) EXPECT_EQ(run.columns[i].type, i % 2 == 1 ? ttInteger : ttFloat) << i;
  // The rows stand for groups, not for source records.
  EXPECT_FALSE(run.sequenced);
  EXPECT_EQ(run.bookmarks, (std::vector<int32_t>(4, 0)));
}

TEST(SiftPivot, NoRowsGiveTheCrossTabsColumnsAndNoRows) {
  TPivotTables t;
  TPivotRun run =
      RunPivot(t.q, "transform sum(x), count(*) select aid from b where id > 100 group by aid pivot x in (5, 7)");
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(Names(run), (std::vector<std::string>{"aid", "5", "5", "7", "7"}));
  EXPECT_TRUE(run.rows.empty());
  // Values from the data: there are none, so only the headings.
  run = RunPivot(t.q, "transform count(*) select aid from b where id > 100 group by aid pivot x");
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(Names(run), (std::vector<std::string>{"aid"}));
  EXPECT_TRUE(run.rows.empty());
}

TEST(SiftPivot, ValuesDifferingInCaseShareTheirColumnAndCell) {
  TPivotTables t;
  // "Kilo", "kilo" and "KILO" are one value: one column, named as first
  // read; group a's two rows of it are one cell.  The null value heads
  // no column, and the text order ignores case.
  const TPivotRun run = RunPivot(t.q, "transform count(*), sum(id) select g from s where id < 6 group by g pivot p");
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(Names(run), (std::vector<std::string>{"g", "alfa", "alfa", "Kilo", "Kilo"}));
  EXPECT_EQ(run.rows, (std::vector<std::string>{"a|NULL|NULL|2|4", "b|1|4|1|2"}));
  // Cyrillic letters too ("аб" and "АБ" in the Windows code page).
  EXPECT_EQ(RunPivot(t.q, "transform count(*) select g from s where id > 5 group by g pivot p").rows,
            (std::vector<std::string>{"c|2"}));
  // An IN value matches whatever its case.
  EXPECT_EQ(RunPivot(t.q, "transform count(*) select g from s where id < 6 group by g pivot p in ('KILO')").rows,
            (std::vector<std::string>{"a|2", "b|1"}));
}

TEST(SiftPivot, ACellCastToTextIsAsWideAsTheCast) {
  TPivotTables t;
  const TPivotRun run =
      RunPivot(t.q, "transform cast(sum(x) as char(6)) select aid from b group by aid pivot x in (5)");
  ASSERT_EQ(run.error, "");
  ASSERT_EQ(run.columns.size(), 2u);
  EXPECT_EQ(run.columns[1], (TColumn{"5", ttString, 6}));
  EXPECT_EQ(run.rows[1], "1|5");
}

TEST(SiftPivot, TopCountsTheCrossTabsRows) {
  TPivotTables t;
  const TPivotRun run = RunPivot(t.q, "transform count(*) select top 2 aid from b group by aid pivot x");
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.rows, (std::vector<std::string>{"NULL|1|NULL|NULL", "1|NULL|1|1"}));
}

TEST(SiftPivot, StatementChecks) {
  TPivotTables t;
  EXPECT_EQ(RunPivot(t.q, "transform count(*) select aid, x from b group by x, aid pivot id").error,
            "Column order in GROUP BY must match in SELECT");
  EXPECT_EQ(RunPivot(t.q, "transform count(*) select aid, x from b group by aid, x order by x pivot id").error,
            "Column order in order BY must match in SELECT");
  EXPECT_NE(RunPivot(t.q, "transform sum(x) + count(*) select aid from b group by aid pivot id")
                .error.find("must be one aggregate"),
            std::string::npos);
  EXPECT_NE(RunPivot(t.q, "transform count(*) select aid from b group by aid having count(*) > 1 pivot x")
                .error.find("HAVING"),
            std::string::npos);
}

// Each cell holds what GROUP BY of the heading and the pivot value counts,
// whether the group and pivot values fit a word or not, and whether the
// cells are found through rows per group, a table, or both (a budget that
// runs out part way).
TEST(SiftPivot, CellsAgreeWithTheGroupedCounts) {
  std::mt19937 rng(20261208);
  struct TBudget {
    size_t was = SiftTransformDenseBudget();
    ~TBudget() { SetSiftTransformDenseBudget(was); }
  } keep;
  for (int round = 0; round < 12; ++round) {
    const int gWidth = round % 2 ? 3 : 12;
    const bool numericPivot = round % 3 == 0;
    std::vector<std::vector<Variant>> rows;
    const int n = 50 + static_cast<int>(rng() % 300);
    for (int r = 0; r < n; ++r) {
      const int g = static_cast<int>(rng() % 9);
      const int p = static_cast<int>(rng() % 25);
      Variant gv = g == 0 ? N : Variant(std::string(gWidth == 3 ? "g" : "group-") + std::to_string(g));
      Variant pv = p == 0 ? N : numericPivot ? Variant(p * 10) : Variant(std::to_string(p));
      rows.push_back({Variant(r + 1), gv, pv, Variant(static_cast<int32_t>(rng() % 5))});
    }
    TRowDataSet t(
        {{"ID", ftInteger}, {"G", ftString, gWidth}, {"P", numericPivot ? ftInteger : ftString, 4}, {"V", ftInteger}},
        rows);
    TSift q;
    q.AddDataSet(&t, "t");
    std::map<std::pair<std::string, std::string>, std::string> expected;
    for (const std::string& row : RunStatement(q, "select g, p, count(*) from t group by g, p").rows) {
      const size_t a = row.find('|'), b = row.rfind('|');
      if (row.substr(a + 1, b - a - 1) != "NULL")
        expected[{row.substr(0, a), row.substr(a + 1, b - a - 1)}] = row.substr(b + 1);
    }
    for (const size_t budget : {size_t{1} << 22, size_t{0}, size_t{40}}) {
      SetSiftTransformDenseBudget(budget);
      const TPivotRun run = RunPivot(q, "transform count(*) select g from t group by g pivot p");
      ASSERT_EQ(run.error, "");
      // The cells of each row's `step`-th columns from column 1 on.
      auto cellsOf = [](const TPivotRun& r, size_t step) {
        std::map<std::pair<std::string, std::string>, std::string> out;
        for (const std::string& row : r.rows) {
          std::vector<std::string> cells;
          for (size_t at = 0;;) {
            const size_t bar = row.find('|', at);
            cells.push_back(row.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 1;
          }
          for (size_t c = 1; c < cells.size(); c += step)
            if (cells[c] != "NULL") out[{cells[0], r.columns[c].name}] = cells[c];
        }
        return out;
      };
      EXPECT_EQ(cellsOf(run, 1), expected) << "budget " << budget << ", round " << round;
      // Counts kept beside other aggregates are the same counts.
      const TPivotRun sums = RunPivot(q, "transform count(*), sum(v) select g from t group by g pivot p");
      ASSERT_EQ(sums.error, "");
      EXPECT_EQ(cellsOf(sums, 2), expected) << "budget " << budget << ", round " << round;
    }
  }
}

}  // namespace
