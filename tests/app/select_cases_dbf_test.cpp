// The SQL behaviour cases of tests/sql_engine/data/select_cases.txt run over
// DBF tables a.dbf, b.dbf, c.dbf through the DBF dataset: numbers in N
// fields, text in C fields (code page 1251), nulls as blank fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "common/select_cases.h"
#include "common/sql_run.h"
#include "dbf_dataset/dataset_test_util.h"
#include "platform/code_page.h"
#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

namespace {

std::string Cp(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToCp1251(utf8, out)) << utf8;
  return out;
}

// The three tables of select_cases.txt; "" is a blank (null) field.
struct TDbfTables {
  TempDir dir{"dirlook-cases"};
  TCorvidDataSet a, b, c;
  TSift q;
  TDbfTables() {
    MakeTable(dir / "a.dbf", "3", {{"ID", "N", 4, 0}, {"NAME", "C", 10, 0}, {"CITY", "N", 4, 0}},
              {{"1", Cp("Иванов"), "10"},
               {"2", "Petrov", "20"},
               {"3", "Sidorov", ""},
               {"4", "Ivanova", "10"},
               {"5", "", "30"}});
    MakeTable(dir / "b.dbf", "3", {{"ID", "N", 4, 0}, {"AID", "N", 4, 0}, {"X", "N", 4, 0}},
              {{"1", "1", "5"}, {"2", "1", "7"}, {"3", "2", "5"}, {"4", "9", ""}, {"5", "", "1"}});
    MakeTable(dir / "c.dbf", "3", {{"ID", "N", 4, 0}, {"BID", "N", 4, 0}, {"LABEL", "C", 4, 0}},
              {{"1", "1", "p"}, {"2", "3", "q"}, {"3", "3", "r"}, {"4", "8", "s"}});
    for (auto [ds, name] : {std::pair{&a, "a"}, std::pair{&b, "b"}, std::pair{&c, "c"}}) {
      Place(*ds, dir, std::string(name) + ".dbf");
      ds->Open();
      q.AddDataSet(ds, name);
    }
  }
};

TSqlRun RunSql(TCustomSift& q, const std::string& sql) { return RunStatement(q, sql, true); }

TEST(SelectCasesOverDbf, TheDbfTablesGiveTheExpectedRows) {
  const std::vector<TSelectCase> cases = LoadSelectCases();
  ASSERT_GT(cases.size(), 30u);
  int ran = 0;
  for (const TSelectCase& c : cases) {
    TDbfTables t;
    const TSqlRun run = RunSql(t.q, Cp(c.sql));
    if (!c.dbfSkip.empty()) {
      std::printf("skipped over DBF, %s (%s)\n", CaseWhere(c).c_str(), c.dbfSkip.c_str());
      // A marker that no longer holds is dropped, not kept.
      std::vector<std::string> rows = run.rows, expected = c.rows;
      if (!c.ordered) {
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
      }
      EXPECT_TRUE(rows != expected || run.error != "") << CaseWhere(c) << " passes over DBF now: drop its dbf-skip";
      continue;
    }
    ExpectCaseResult(c, run.rows, run.error);
    ++ran;
  }
  std::printf("%d of %zu cases ran over DBF tables\n", ran, cases.size());
}

}  // namespace
