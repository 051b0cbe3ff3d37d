// Subqueries standing as values inside functions and arithmetic of a
// condition: held against the same statement with each subquery's value
// written as a literal, and against the quantified comparison where the
// subquery gives several rows.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/sanitizer.h"
#include "common/sql_run.h"
#include "common/expr_test_support.h"
#include "platform/db_links.h"
#include "sql_engine/query/custom_sift.h"

namespace {

constexpr int kRounds = kSanitized ? 3 : 20;

const Variant N = Variant::Null();

// ID, I integer, F float, S text; few distinct values, nulls among them.
std::vector<std::vector<Variant>> RandomRows(std::mt19937& rng, int count) {
  const std::vector<std::string> texts = {"a", "B", "ab", "c d", "1", "\xC0\xE1"};
  const std::vector<double> floats = {-1.5, 0.0, 0.5, 1.0, 2.0, 3.25};
  std::vector<std::vector<Variant>> rows;
  auto null = [&] { return rng() % 8 == 0; };
  for (int r = 0; r < count; ++r) {
    std::vector<Variant> row;
    row.push_back(Variant(r + 1));
    row.push_back(null() ? N : Variant(static_cast<int32_t>(rng() % 9) - 4));
    row.push_back(null() ? N : Variant(floats[rng() % floats.size()]));
    row.push_back(null() ? N : Variant(texts[rng() % texts.size()]));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<TTestColumn> Columns() { return {{"ID", ftInteger}, {"I", ftInteger}, {"F", ftFloat}, {"S", ftString, 4}}; }

void Substitute(std::string& text, const std::string& mark, const std::string& by) {
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + by.size()))
    text.replace(at, mark.size(), by);
}

TEST(SiftSubqueryValue, SubqueriesInFunctionsAndArithmeticAnswerAsTheirValues) {
  std::mt19937 rng(20261208);
  // Subqueries of one row and one column.
  const std::vector<std::string> numbers = {"select min(b.i) from b",
                                            "select max(b.f) from b",
                                            "select count(*) from b where b.i > 0",
                                            "select sum(b.i) from b where b.id <= 4",
                                            "select b.i from b where b.id = 2",
                                            "select max(b.id) from b"};
  const std::vector<std::string> texts = {"select min(b.s) from b", "select b.s from b where b.id = 3"};
  // %1 and %2 stand for subqueries with numbers, %T for one with a text.
  const std::vector<std::string> conditions = {
      "a.id > %1 - 4",
      "a.i = abs(%1)",
      "abs(a.i - %1) <= 1",
      "abs(abs(%1) - a.f) < 2",
      "a.i + %1 > %2 * 2 - a.id",
      "%1 - a.id < 3 and a.i < %2",
      "a.id in (select b.id from b where b.i > 0) and a.id <= %1 + 1",
      "not (a.f * 2 >= abs(%1 / 2))",
      "upper(a.s) >= upper(%T)",
      "length(%T) + a.i > 1 or a.id = %1 + 0",
  };
  const std::vector<std::string> heads = {"select a.id, a.i from a where ",
                                          "select a.id, b.id from a, b where a.id = b.id and ",
                                          "select a.id, b.i from a join b on a.id = b.id where "};
  int compared = 0, nonEmpty = 0;
  for (int round = 0; round < kRounds; ++round) {
    TRowDataSet a(Columns(), RandomRows(rng, 10 + static_cast<int>(rng() % 30)));
    TRowDataSet b(Columns(), RandomRows(rng, 4 + static_cast<int>(rng() % 20)));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    for (int k = 0; k < 10; ++k) {
      std::string cond = conditions[rng() % conditions.size()];
      std::string sql = heads[rng() % heads.size()] + cond, literal = sql;
      bool valued = true;
      for (const std::string mark : {"%1", "%2", "%T"}) {
        const bool text = mark == "%T";
        const std::string sub = text ? texts[rng() % texts.size()] : numbers[rng() % numbers.size()];
        const TSqlRun value = RunStatement(q, sub);
        ASSERT_EQ(value.error, "") << sub;
        ASSERT_EQ(value.rows.size(), 1u) << sub;
        const std::string v = value.rows[0];
        if (v == "NULL" || v.empty()) valued = false;
        Substitute(sql, mark, "(" + sub + ")");
        Substitute(literal, mark, text ? "('" + v + "')" : "(" + v + ")");
      }
      const TSqlRun got = RunStatement(q, sql);
      ASSERT_EQ(got.error, "") << sql;
      if (!valued) continue;  // no literal spells a null
      const TSqlRun want = RunStatement(q, literal);
      ASSERT_EQ(want.error, "") << literal;
      ASSERT_EQ(got.rows, want.rows) << sql << "\n" << literal;
      ++compared;
      if (!got.rows.empty()) ++nonEmpty;
    }
  }
  EXPECT_GT(compared, kRounds * 5);
  EXPECT_GT(nonEmpty, compared / 3);
}

TEST(SiftSubqueryValue, SeveralRowsAnswerAsTheQuantifiedComparison) {
  std::mt19937 rng(20261209);
  // Some rows always: a subquery without rows fails the condition.
  const std::vector<std::string> narrow = {"", " where b.id <= 3", " where b.id >= 2", " where b.i is not null"};
  // The value inside the arithmetic, and the same moved into the subquery.
  const std::vector<std::pair<std::string, std::string>> forms = {
      {"a.i = abs((select b.i from b%s))", "a.i in (select abs(b.i) from b%s)"},
      {"a.i > (select b.i from b%s) * 2", "a.i > any (select b.i * 2 from b%s)"},
      {"a.f + 1 <= all (select b.f from b%s) - 1", "a.f + 1 <= all (select b.f - 1 from b%s)"},
  };
  int compared = 0, nonEmpty = 0;
  for (int round = 0; round < kRounds; ++round) {
    TRowDataSet a(Columns(), RandomRows(rng, 10 + static_cast<int>(rng() % 30)));
    TRowDataSet b(Columns(), RandomRows(rng, 3 + static_cast<int>(rng() % 12)));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    for (int k = 0; k < 8; ++k) {
      const auto& form = forms[rng() % forms.size()];
      const std::string w = narrow[rng() % narrow.size()];
      std::string value = "select a.id from a where " + form.first,
                  quantified = "select a.id from a where " + form.second;
      Substitute(value, "%s", w);
      Substitute(quantified, "%s", w);
      const TSqlRun got = RunStatement(q, value);
      const TSqlRun want = RunStatement(q, quantified);
      ASSERT_EQ(got.error, "") << value;
      ASSERT_EQ(want.error, "") << quantified;
      ASSERT_EQ(got.rows, want.rows) << value;
      ++compared;
      if (!got.rows.empty()) ++nonEmpty;
    }
  }
  EXPECT_GT(nonEmpty, compared / 4);
}

// A subquery the condition uses more than once (a BETWEEN, an IN list or a
// SUBSTRING over it) is one row at a time for the whole condition:
// held against the same statement with each row written as a literal, the
// rows of ANY the union of those statements' rows, of ALL their
// intersection (no rows: ANY selects nothing, ALL everything).
TEST(SiftSubqueryValue, ASubqueryUsedTwiceReadsOneRowInEveryPlace) {
  std::mt19937 rng(20261210);
  const std::vector<std::string> narrow = {"", " where b.id <= 2", " where b.id >= 3", " where b.id = 99"};
  // %S a subquery of numbers, %T of texts; %Q is "", "any " or "all ".
  const std::vector<std::string> forms = {
      "%Q%S between 0 and 2",
      "%Q%S between a.i and a.f",
      "%Q%S in (1, -2, 3)",
      "%Q%S not in (0, 2)",
      "not (%S in (1, 2)) and a.i > 0",
      "%Q%T in ('a', 'ab', '1')",
      "substring(%T from 2) = substring(a.s from 2)",
  };
  int compared = 0, nonEmpty = 0, differs = 0;
  for (int round = 0; round < kRounds; ++round) {
    TRowDataSet a(Columns(), RandomRows(rng, 8 + static_cast<int>(rng() % 20)));
    TRowDataSet b(Columns(), RandomRows(rng, 3 + static_cast<int>(rng() % 6)));
    TSift q;
    q.AddDataSet(&a, "a");
    q.AddDataSet(&b, "b");
    for (int k = 0; k < 10; ++k) {
      std::string cond = forms[rng() % forms.size()];
      const bool text = cond.find("%T") != std::string::npos;
      const std::string quantifier =
          cond.find("%Q") == std::string::npos ? "" : std::vector<std::string>{"", "any ", "all "}[rng() % 3];
      Substitute(cond, "%Q", quantifier);
      const std::string field = text ? "b.s" : "b.i";
      std::string where = narrow[rng() % narrow.size()];
      where += (where.empty() ? " where " : " and ") + field + " is not null";
      const std::string sub = "select " + field + " from b" + where;
      const TSqlRun values = RunStatement(q, sub);
      ASSERT_EQ(values.error, "") << sub;
      std::string sql = "select a.id from a where " + cond;
      Substitute(sql, text ? "%T" : "%S", "(" + sub + ")");
      const TSqlRun got = RunStatement(q, sql);
      ASSERT_EQ(got.error, "") << sql;
      const bool all = quantifier == "all ";
      std::set<std::string> want;
      if (all)
        for (int r = 1; r <= static_cast<int>(a.rows.size()); ++r) want.insert(std::to_string(r));
      for (const std::string& v : values.rows) {
        std::string literal = "select a.id from a where " + cond;
        Substitute(literal, text ? "%T" : "%S", text ? "('" + v + "')" : "(" + v + ")");
        Substitute(literal, "any (", "(");
        Substitute(literal, "all (", "(");
        const TSqlRun one = RunStatement(q, literal);
        ASSERT_EQ(one.error, "") << literal;
        const std::set<std::string> rows(one.rows.begin(), one.rows.end());
        if (all) {
          std::set<std::string> both;
          for (const std::string& r : want)
            if (rows.count(r)) both.insert(r);
          want = both;
        } else {
          want.insert(rows.begin(), rows.end());
        }
      }
      const std::set<std::string> gotRows(got.rows.begin(), got.rows.end());
      ASSERT_EQ(gotRows.size(), got.rows.size()) << sql;
      ASSERT_EQ(gotRows, want) << sql;
      ++compared;
      if (!want.empty()) ++nonEmpty;
      // Each use finding a row of its own would answer otherwise here.
      if (values.rows.size() > 1) ++differs;
    }
  }
  EXPECT_GT(nonEmpty, compared / 4);
  EXPECT_GT(differs, compared / 4);
}

TEST(SiftSubqueryValue, NoRowsFailsTheConditionAndBadSubqueriesAreRefused) {
  TRowDataSet a(Columns(), {{1, 1, 1.0, "a"}, {2, N, 2.0, "b"}, {3, 3, N, "c"}});
  TRowDataSet b(Columns(), {{1, 5, 0.5, "x"}, {2, 7, 1.5, "y"}});
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  auto ids = [&](const std::string& where) {
    const TSqlRun r = RunStatement(q, "select a.id from a where " + where);
    std::string out = r.error;
    for (const std::string& row : r.rows) out += row + ";";
    return out;
  };
  // The two statements of the feature.
  EXPECT_EQ(ids("a.id > (select min(b.i) from b) - 4"), "2;3;");
  EXPECT_EQ(ids("a.id = abs((select min(b.id) from b))"), "1;");
  // No rows: nothing is compared and the condition fails, whatever the
  // arithmetic around it would make of a null.
  for (const char* form :
       {"a.id > %s - 4", "not (a.id > %s - 4)", "a.f < abs(%s)", "a.i = %s + 1", "isnull(%s, true)"}) {
    std::string sub = form;
    Substitute(sub, "%s", "(select b.i from b where b.id = 9)");
    EXPECT_EQ(ids(sub), "") << form;
  }
  EXPECT_EQ(ids("isnull((select b.i from b where b.id = 2), true) or a.id = 2"), "2;");
  // ALL over no rows holds, as in a plain comparison.
  EXPECT_EQ(ids("a.id < all (select b.i from b where b.id = 9) + 1"), "1;2;3;");
  // Errors: as for a subquery compared directly.
  EXPECT_EQ(ids("a.id > abs((select b.i, b.f from b))"), "Subquery with more than one column");
  EXPECT_EQ(ids("abs((select min(b.i) from b)) + a.id"), "Expresion is not of boolean type !");
  EXPECT_EQ(ids("a.id > abs((select b.i from a, b where a.id = b.id))"),
            ids("a.id > (select b.i from a, b where a.id = b.id)"));
}

}  // namespace

namespace {

TEST(SiftSubqueryValue, AMasterSourceLeavesSubqueryValuesAlone) {
  // The master's fields fill the statement's parameters; the values the
  // statement takes from its own subqueries are not among them.
  TRowDataSet master({{"ID", ftInteger}}, {{2}});
  TDataSource src;
  src.SetDataSet(&master);
  master.Open();
  TRowDataSet a(Columns(), {{1, 1, 1.0, "a"}, {2, N, 2.0, "b"}, {3, 3, N, "c"}});
  TRowDataSet b(Columns(), {{1, 5, 0.5, "x"}, {2, 7, 1.5, "y"}});
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  q.SetDataSource(&src);
  const TSqlRun r =
      RunStatement(q, "select a.id, (select max(b.s) from b) from a where a.id = abs((select min(b.id) from b)) + 1");
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.rows, std::vector<std::string>{"2|y"});
}

}  // namespace
