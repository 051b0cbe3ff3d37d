// GROUP BY, aggregates and HAVING over rows that the shared case tables do
// not have: the sample deviation, NULL beside 0 and false as group keys,
// tiny numbers, Booleans and quotes in the data, DISTINCT per group, and
// HAVING judged on the group whatever record the source stands on.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/sql_run.h"
#include "platform/numbers.h"
#include "common/expr_test_support.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

namespace {

const Variant N = Variant::Null();

struct TGroupRun {
  std::vector<std::string> rows;  // fields joined by "|", NULL for null
  std::vector<TExprType> types;
  std::vector<double> floats;  // the first row's cells as floats
  std::string error;
};

TGroupRun Group(TCustomSift& q, const std::string& sql) {
  TGroupRun run;
  TSqlRun text = RunStatement(q, sql, false, [&](TResultSet& rs, int32_t row) {
    for (int32_t i = 0; i < rs.Fields.Count(); ++i) {
      TkpField* f = rs.Fields.GetItem(i);
      if (row == 0) run.types.push_back(f->DataType);
      if (row == 1 && f->DataType != ttString && f->DataType != ttBoolean)
        run.floats.push_back(f->GetIsNull() ? NAN : f->GetAsFloat());
    }
  });
  run.rows = std::move(text.rows);
  run.error = std::move(text.error);
  return run;
}

using Rows = std::vector<std::string>;

struct TTable {
  TRowDataSet t;
  TSift q;
  TTable(std::vector<TTestColumn> cols, std::vector<std::vector<Variant>> rows) : t(std::move(cols), std::move(rows)) {
    q.AddDataSet(&t, "t");
  }
};

TEST(SiftGroup, StdevIsTheSampleDeviationAndZeroForOneValue) {
  TTable d({{"G", ftInteger}, {"X", ftInteger}},
           {{1, 2}, {1, 4}, {1, 4}, {1, 4}, {1, 5}, {1, 5}, {1, 7}, {1, 9}, {2, 3}, {3, N}});
  const TGroupRun all = Group(d.q, "select stdev(x), avg(x) from t where g = 1");
  ASSERT_EQ(all.error, "");
  ASSERT_EQ(all.floats.size(), 2u);
  EXPECT_NEAR(all.floats[0], std::sqrt(32.0 / 7.0), 1e-12);
  EXPECT_DOUBLE_EQ(all.floats[1], 5.0);
  // AVG and STDEV are float columns also over integers.
  EXPECT_EQ(all.types, (std::vector<TExprType>{ttFloat, ttFloat}));
  EXPECT_EQ(Group(d.q, "select g, stdev(x), avg(x), sum(x) from t where g > 1 group by g").rows,
            (Rows{"2|0|3|3", "3|0|0|NULL"}));
}

TEST(SiftGroup, NullFormsItsOwnGroupBesideZeroAndFalse) {
  TTable d({{"K", ftInteger}, {"B", ftBoolean}, {"F", ftFloat}},
           {{0, false, 0.0}, {0, N, N}, {N, true, -0.0}, {N, false, 1.5}, {0, N, N}});
  EXPECT_EQ(Group(d.q, "select k, count(*) from t group by k").rows, (Rows{"NULL|2", "0|3"}));
  EXPECT_EQ(Group(d.q, "select b, count(*) from t group by b").rows, (Rows{"NULL|2", "FALSE|2", "TRUE|1"}));
  // -0 and 0 are one key.
  EXPECT_EQ(Group(d.q, "select f, count(*) from t group by f").rows, (Rows{"NULL|2", "0|2", "1.5|1"}));
  EXPECT_EQ(Group(d.q, "select k, b, count(*) from t group by k, b").rows,
            (Rows{"NULL|FALSE|1", "NULL|TRUE|1", "0|NULL|2", "0|FALSE|1"}));
}

TEST(SiftGroup, ValuesReachTheColumnTypedAndIntact) {
  TTable d({{"G", ftInteger}, {"X", ftFloat}, {"S", ftString, 12}, {"B", ftBoolean}},
           {{1, 0.000001, "a\"b", true}, {1, 0.000002, "say \"hi\"", false}, {2, 1e-300, "it's", true}, {3, N, N, N}});
  // Tiny numbers go into the column's expression as numbers, not as text.
  const TGroupRun tiny = Group(d.q, "select sum(x) * 2, min(x) + 0 from t where g = 1");
  ASSERT_EQ(tiny.error, "");
  ASSERT_EQ(tiny.floats.size(), 2u);
  EXPECT_DOUBLE_EQ(tiny.floats[0], 0.000006);
  EXPECT_DOUBLE_EQ(tiny.floats[1], 0.000001);
  // Quotes of either kind in the data, and a Boolean MIN/MAX stays Boolean
  // (a null text joined to another reads as empty, as everywhere here).
  const TGroupRun r = Group(d.q, "select g, min(s), max(s) + '!', min(b), max(b) from t group by g");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.rows, (Rows{"1|a\"b|say \"hi\"!|FALSE|TRUE", "2|it's|it's!|TRUE|TRUE", "3|NULL|!|NULL|NULL"}));
  EXPECT_EQ(r.types, (std::vector<TExprType>{ttInteger, ttString, ttString, ttBoolean, ttBoolean}));
  EXPECT_EQ(Group(d.q, "select g from t group by g having max(s) = 'say \"hi\"'").rows, (Rows{"1"}));
}

TEST(SiftGroup, DistinctAggregatesSkipRepeatsPerGroupOnly) {
  // 5 in both groups, a null beside a 0 in group 1.
  TTable d({{"G", ftInteger}, {"V", ftInteger}, {"W", ftInteger}},
           {{1, 5, 1}, {2, 5, 1}, {2, N, 2}, {1, 0, 1}, {1, N, 1}, {1, 5, 3}, {2, 5, 2}});
  EXPECT_EQ(Group(d.q,
                  "select g, count(distinct v), sum(distinct v), count(v), count(*), count(distinct w), "
                  "sum(w) from t group by g")
                .rows,
            (Rows{"1|2|5|3|4|2|6", "2|1|5|2|3|2|5"}));
  EXPECT_EQ(Group(d.q, "select count(distinct v), count(distinct w), count(*) from t").rows, (Rows{"2|3|7"}));
}

TEST(SiftGroup, HavingAndMixedColumnsReadTheGroupNotTheSource) {
  TTable d({{"G", ftInteger}, {"X", ftInteger}}, {{1, 10}, {2, 20}, {1, 30}, {3, 40}});
  // The source stands on its last record (G = 3) after the scan.
  EXPECT_EQ(Group(d.q, "select g, count(*) from t group by g having g = 1").rows, (Rows{"1|2"}));
  EXPECT_EQ(Group(d.q, "select g, g * 100 + count(*), sum(x) - g from t group by g").rows,
            (Rows{"1|102|39", "2|201|18", "3|301|37"}));
  // A field named only inside the mixed column is read from the group's row.
  EXPECT_EQ(Group(d.q, "select g, max(x) - g * 2 from t group by g having sum(x) >= 20").rows,
            (Rows{"1|28", "2|16", "3|34"}));
}

TEST(SiftGroup, CastKeysAndTopPerGroupKeepWholeRows) {
  TTable d({{"G", ftInteger}, {"X", ftFloat}}, {{1, 1.2}, {1, 1.4}, {2, 2.6}, {2, 2.7}, {2, 3.1}, {3, 0.5}});
  // The key is the cast cell: 1.2 and 1.4 make 1; 2.6, 2.7 and 3.1 make 3.
  EXPECT_EQ(Group(d.q, "select cast(x as integer), count(*) from t group by 1").rows, (Rows{"0|1", "1|2", "3|3"}));
  // TOP n before SELECT keeps n rows per group; the group's values go to its
  // first row.
  EXPECT_EQ(Group(d.q, "top 2 select g, x, count(*) from t group by g").rows,
            (Rows{"1|1.2|2", "1|1.4|0", "2|2.6|3", "2|2.7|0", "3|0.5|1"}));
}

TEST(SiftGroup, TextsOfNumbersAggregateAsTheNumbers) {
  // The same random values as text in S and as numbers in X, with nulls
  // (and empty texts, which are null) in the same rows.
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> cents(-2000000, 2000000), group(0, 4), pick(0, 9);
  std::vector<std::vector<Variant>> rows;
  for (int i = 0; i < 300; ++i) {
    const int c = cents(rng), form = pick(rng);
    char text[32];
    // Whole numbers with a blank in front, or two decimals.
    std::snprintf(text, sizeof text, form == 2 ? " %.0f" : "%.2f", form == 2 ? c / 100 : c / 100.0);
    double x = 0;
    std::from_chars(text + (text[0] == ' '), text + std::strlen(text), x);
    if (form == 0) rows.push_back({group(rng), N, N});
    else if (form == 1) rows.push_back({group(rng), std::string(), N});
    else rows.push_back({group(rng), std::string(text), x});
  }
  TTable d({{"G", ftInteger}, {"S", ftString, 16}, {"X", ftFloat}}, rows);
  for (const char* form : {"select %s from t", "select g, %s from t group by g",
                           "select cast(g as integer), %s from t group by 1",  // the kept-rows road
                           "select g, %s from t group by g having count(*) > 60"}) {
    auto sql = [&](const char* aggregates) {
      std::string out = form;
      out.replace(out.find("%s"), 2, aggregates);
      return out;
    };
    const TGroupRun text = Group(d.q, sql("sum(s), avg(s), stdev(s), count(s), sum(s) / count(s)"));
    const TGroupRun number = Group(d.q, sql("sum(x), avg(x), stdev(x), count(x), sum(x) / count(x)"));
    ASSERT_EQ(text.error, "") << form;
    ASSERT_EQ(number.error, "") << form;
    EXPECT_FALSE(text.rows.empty()) << form;
    EXPECT_EQ(text.rows, number.rows) << form;
    EXPECT_EQ(text.types, number.types) << form;
    EXPECT_EQ(text.floats, number.floats) << form;
  }
  // The cross-tab reads its text arguments the same way (X is null where S
  // is null or empty).
  const TGroupRun text = Group(d.q,
                               "transform sum(s), avg(s), stdev(s) select g from t where x is not null "
                               "group by g pivot g");
  const TGroupRun number = Group(d.q,
                                 "transform sum(x), avg(x), stdev(x) select g from t where x is not null "
                                 "group by g pivot g");
  ASSERT_EQ(text.error, "");
  EXPECT_EQ(text.rows.size(), 5u);
  EXPECT_EQ(text.rows, number.rows);

  // One text that is no number stops the query and names its column.
  TTable bad({{"S", ftString, 8}, {"X", ftFloat}}, {{std::string("1.5"), 1.5}, {std::string("12a"), 3.0}});
  EXPECT_EQ(Group(bad.q, "select avg(s) from t").error, "AVG over t.s: \"12a\" is not a number");
  EXPECT_EQ(Group(bad.q, "select x, stdev(s) from t group by x").error, "STDEV over t.s: \"12a\" is not a number");
  EXPECT_EQ(Group(bad.q, "transform sum(s) select x from t group by x pivot x").error,
            "SUM over t.s: \"12a\" is not a number");
  EXPECT_EQ(Group(bad.q, "select sum(s) from t where x < 2").rows, (Rows{"1.5"}));
}

TEST(SiftGroup, RefusedStatements) {
  TTable d({{"G", ftInteger}, {"S", ftString, 5}}, {{1, "a"}});
  EXPECT_EQ(Group(d.q, "select g from t group by g having count(*) + 1").error, "Expresion is not of boolean type !");
  // A text argument must hold numbers.
  EXPECT_EQ(Group(d.q, "select g, sum(s) from t group by g").error, "SUM over t.s: \"a\" is not a number");
  EXPECT_EQ(Group(d.q, "select count(*) as n from t group by n").error, "Aggregates are not allowed in GROUP BY");
  // A non-Boolean HAVING is refused also when no row comes.
  EXPECT_EQ(Group(d.q, "select g from t where g > 5 group by g having g").error, "Expresion is not of boolean type !");
}

}  // namespace
