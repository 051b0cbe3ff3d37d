// The expression texts the SQL parser writes for select columns, WHERE,
// HAVING and ON clauses.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/sql_parser.h"

namespace {

// A parsed statement; the test fails when it does not parse.
std::unique_ptr<TSqlAnalizer> Parsed(const std::string& sql) {
  auto a = std::make_unique<TSqlAnalizer>(nullptr, nullptr);
  const int32_t r = a->Parse(sql);
  EXPECT_EQ(r, 0) << sql << ": " << a->Parser()->ErrorMessage;
  return a;
}

std::string Column(const std::string& sql, int index = 0) {
  auto a = Parsed(sql);
  if (a->ColumnList.Count() <= index) return "<no column>";
  return a->ColumnList.Get(index)->ExprText;
}

std::string Where(const std::string& sql) { return Parsed(sql)->WhereStr; }

// \f"name", the marked reference to a field.
std::string F(const std::string& name) { return "\\f\"" + name + "\""; }

TEST(ExpressionText, ArithmeticAndComparisons) {
  EXPECT_EQ(Column("select a+b*2 from t"), F("a") + " + " + F("b") + " * 2");
  EXPECT_EQ(Column("select a mod 2 div 3 shl 1 shr 4 from t"), F("a") + " MOD 2 DIV 3 SHL 1 SHR 4");
  EXPECT_EQ(Column("select a ^ b, -a, +b, (a - b) / c from t", 0), F("a") + " ^ " + F("b"));
  EXPECT_EQ(Column("select a ^ b, -a, +b, (a - b) / c from t", 1), "-" + F("a"));
  EXPECT_EQ(Column("select a ^ b, -a, +b, (a - b) / c from t", 3), "(" + F("a") + " - " + F("b") + ") / " + F("c"));
  EXPECT_EQ(Column("select t.a from t"), F("t.a"));
  // The select list writes comparisons with fixed operator texts.
  EXPECT_EQ(Column("select a<>b from t"), F("a") + " <> " + F("b"));
  // WHERE writes the operator as it was scanned.
  EXPECT_EQ(Where("select * from t where a >= 1"), F("a") + " >= 1");
  EXPECT_EQ(Where("select * from t where a || 'x' = 'y'"), F("a") + " + 'x' = 'y'");
}

TEST(ExpressionText, Predicates) {
  EXPECT_EQ(Where("select * from t where x in (1, 2, 3)"),
            "( (" + F("x") + " = 1) OR (" + F("x") + " = 2) OR (" + F("x") + " = 3) )");
  EXPECT_EQ(Where("select * from t where x not in ('a')"), "(NOT ( (" + F("x") + " = 'a') ))");
  EXPECT_EQ(Where("select * from t where name like 'A%'"), "SQLLIKE(" + F("name") + ", 'A%', '')");
  EXPECT_EQ(Where("select * from t where name not like 'A!%' escape '!'"), "SQLNOTLIKE(" + F("name") + ", 'A!%', '!')");
  EXPECT_EQ(Where("select * from t where d between 1 and 5"), "((" + F("d") + " >= 1) AND (" + F("d") + " <= 5))");
  EXPECT_EQ(Where("select * from t where d between lo and t.hi"),
            "((" + F("d") + " >= " + F("lo") + ") AND (" + F("d") + " <= " + F("t.hi") + "))");
  EXPECT_EQ(Where("select * from t where a is null and b is not null"),
            "(ISNULL(" + F("a") + ",TRUE) AND ISNULL(" + F("b") + ",FALSE))");
  EXPECT_EQ(Where("select * from t where b = true or c = false"), "(" + F("b") + " = True OR " + F("c") + " = False)");
  EXPECT_EQ(Where("select * from t where a + b like 'x%'"), "SQLLIKE(" + F("a") + " + " + F("b") + ", 'x%', '')");
}

TEST(ExpressionText, NotBindsTightestAndIsParenthesised) {
  // NOT a = 1 means (NOT a) = 1, and the text says so whoever reads it.
  EXPECT_EQ(Where("select * from t where not a = 1"), "(NOT " + F("a") + ") = 1");
  EXPECT_EQ(Where("select * from t where not (a = 1)"), "(NOT (" + F("a") + " = 1))");
  EXPECT_EQ(Where("select * from t where not a and b"), "((NOT " + F("a") + ") AND " + F("b") + ")");
}

TEST(ExpressionText, AndOrBetweenKeepTheParsedPrecedence) {
  // AND binds tighter than OR: the OR's right operand is the whole AND.
  EXPECT_EQ(Where("select * from t where a = 1 OR b = 2 AND c = 3"),
            "(" + F("a") + " = 1 OR (" + F("b") + " = 2 AND " + F("c") + " = 3))");
  EXPECT_EQ(Where("select * from t where (a = 1 or b = 2) and c = 3"),
            "(((" + F("a") + " = 1 OR " + F("b") + " = 2)) AND " + F("c") + " = 3)");
  // The AND inside BETWEEN is no conjunction of the OR.
  EXPECT_EQ(Where("select * from t where x = 1 OR d BETWEEN 1 AND 5"),
            "(" + F("x") + " = 1 OR ((" + F("d") + " >= 1) AND (" + F("d") + " <= 5)))");
  EXPECT_EQ(Column("select a or b from t"), "(" + F("a") + " OR " + F("b") + ")");
  EXPECT_EQ(Column("select a or b and c from t"), "(" + F("a") + " OR (" + F("b") + " AND " + F("c") + "))");
  // LIKE applies to the operand on its left only, below AND.
  EXPECT_EQ(Where("select * from t where a and b like 'x%'"), "(" + F("a") + " AND SQLLIKE(" + F("b") + ", 'x%', ''))");
}

TEST(ExpressionText, Functions) {
  EXPECT_EQ(Column("select extract(year from d) from t"), "YEAR(" + F("d") + ")");
  EXPECT_EQ(Column("select extract(minute from d) from t"), "MIN(" + F("d") + ")");
  EXPECT_EQ(Column("select extract(second from d) from t"), "SEC(" + F("d") + ")");
  EXPECT_EQ(Column("select substring(s from 2) from t"), "COPY(" + F("s") + ",2,LENGTH(" + F("s") + "))");
  EXPECT_EQ(Column("select substring(s from 2 for 3) from t"), "COPY(" + F("s") + ",2,3)");
  EXPECT_EQ(Column("select trim(both ' ' from s) from t"), "SQLTRIM(' ', " + F("s") + ", 2)");
  EXPECT_EQ(Column("select Upper(s), f(), g(*) from t"), "Upper(" + F("s") + ")");
  EXPECT_EQ(Column("select Upper(s), f(), g(*) from t", 1), "f()");
  EXPECT_EQ(Column("select Upper(s), f(), g(*) from t", 2), "g(*)");
  EXPECT_EQ(Where("select * from t where left(s, 2) = 'ab'"), "left(" + F("s") + ", 2) = 'ab'");
  EXPECT_EQ(Column("select case when a > 1 then 'big' when a = 1 then 'one' else 'x' end from t"),
            "case  when " + F("a") + " > 1 then 'big' when " + F("a") + " = 1 then 'one' else 'x' end");
  EXPECT_EQ(Column("select CASE WHEN a THEN TRUE END from t"), "CASE  WHEN " + F("a") + " THEN TRUE  END");
}

TEST(ExpressionText, NestedFunctionsKeepTheirOwnParts) {
  EXPECT_EQ(Column("select trim(leading 'x' from trim(trailing 'y' from s)) from t"),
            "SQLTRIM('x', SQLTRIM('y', " + F("s") + ", 1), 0)");
  EXPECT_EQ(Column("select extract(year from f(extract(month from d))) from t"), "YEAR(f(MONTH(" + F("d") + ")))");
  EXPECT_EQ(Column("select substring(substring(s from 1 for 2) from 3) from t"),
            "COPY(COPY(" + F("s") + ",1,2),3,LENGTH(COPY(" + F("s") + ",1,2)))");
  EXPECT_EQ(Where("select * from t where f(b like 'y' escape '#') like 'x'"),
            "SQLLIKE(f(SQLLIKE(" + F("b") + ", 'y', '#')), 'x', '')");
  // A CASE inside a WHEN keeps the outer CASE's earlier WHEN parts.
  EXPECT_EQ(Column("select case when a = 1 then 1 when (case when b then 2 end) = 2 then 3 end "
                   "from t"),
            "case  when " + F("a") + " = 1 then 1 when (case  when " + F("b") + " then 2  end) = 2 then 3  end");
}

TEST(ExpressionText, AggregatesAndSubqueries) {
  auto a = Parsed("select sum(distinct x), count(*) + max(y) from t");
  ASSERT_EQ(a->ColumnList.Count(), 2);
  EXPECT_EQ(a->ColumnList.Get(0)->ExprText, "{Aggregate 0}");
  ASSERT_EQ(a->ColumnList.Get(0)->Aggregates->Count(), 1);
  EXPECT_TRUE(a->ColumnList.Get(0)->Aggregates->Get(0)->Distinct);
  EXPECT_EQ(a->ColumnList.Get(0)->Aggregates->Get(0)->ArgumentText, F("x"));
  EXPECT_EQ(a->ColumnList.Get(1)->ExprText, "{Aggregate 0} + {Aggregate 1}");
  EXPECT_FALSE(a->ColumnList.Get(1)->Aggregates->Get(1)->Distinct);

  EXPECT_EQ(Where("select * from t where x in (select y from u)"), F("x") + " = (subquery 0)");
  EXPECT_EQ(Where("select * from t where a = (select y from u) and b > (select z from v)"),
            "(" + F("a") + " = (subquery 0) AND " + F("b") + " > (subquery 1))");
}

TEST(ExpressionText, JoinCondition) {
  auto a = Parsed("select * from t join u on t.a = u.b and (c <> d or u.e > f)");
  ASSERT_EQ(a->JoinList.Count(), 1);
  EXPECT_EQ(a->JoinList.Get(0)->LeftRefTest, "t.a");
  EXPECT_EQ(a->JoinList.Get(0)->RightRefTest, "u.b");
  EXPECT_EQ(a->JoinList.Get(0)->JoinExpression, "(t.a=u.b and (([dummy].c<>[dummy].d or u.e>[dummy].f)))");
}

TEST(ExpressionText, DirectorySearchText) {
  // The text the directory window builds from all five search fields
  // (surname and street typed in CP1251 upper case).
  const std::string sql =
      "select * from phones where     tel like '542%' and fm like '\xC8\xC2%' and "
      "ul like '\xCB\xC5\xCD%' and nd='5' and kw='12';";
  auto a = Parsed(sql);
  EXPECT_EQ(a->Statement, ssSelect);
  EXPECT_TRUE(a->DoSelectAll);
  ASSERT_EQ(a->TableList.Count(), 1);
  EXPECT_EQ(a->TableList.Get(0)->TableName, "phones");
  EXPECT_EQ(a->WhereStr, "(SQLLIKE(" + F("tel") + ", '542%', '') AND SQLLIKE(" + F("fm") +
                             ", '\xC8\xC2%', '') AND SQLLIKE(" + F("ul") + ", '\xCB\xC5\xCD%', '') AND " + F("nd") +
                             " = '5' AND " + F("kw") + " = '12')");
  // The two equalities are offered to the adapter.
  ASSERT_EQ(a->WhereOptimizeList.Count(), 2);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->FieldText, F("nd"));
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->StartValue, "5");
  EXPECT_EQ(a->WhereOptimizeList.Get(1)->EndValue, "12");
}

}  // namespace
