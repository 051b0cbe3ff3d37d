// What parsing puts into the statement analyzers, and the statement lists.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/variant.h"
#include "sql_engine/front/agg_sparse_list.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/sql_parser.h"
#include "sql_engine/front/statement_lists.h"

namespace {

std::unique_ptr<TSqlAnalizer> Parsed(const std::string& sql) {
  auto a = std::make_unique<TSqlAnalizer>(nullptr, nullptr);
  const int32_t r = a->Parse(sql);
  EXPECT_EQ(r, 0) << sql << ": " << a->Parser()->ErrorMessage;
  return a;
}

std::string Refused(const std::string& sql) {
  TSqlAnalizer a(nullptr, nullptr);
  EXPECT_EQ(a.Parse(sql), 1) << sql;
  return a.Parser()->ErrorMessage;
}

std::string F(const std::string& name) { return "\\f\"" + name + "\""; }

TEST(StatementBuilding, ColumnsCaptionsAndAggregates) {
  auto a = Parsed("select count(*) from t");
  ASSERT_EQ(a->ColumnList.Count(), 1);
  const TColumnItem* c = a->ColumnList.Get(0);
  EXPECT_EQ(c->ExprText, "{Aggregate 0}");
  EXPECT_EQ(c->Caption, "COUNT(*)");
  EXPECT_FALSE(c->CaptionGiven);
  ASSERT_EQ(c->Aggregates->Count(), 1);
  EXPECT_EQ(c->Aggregates->Get(0)->Kind, akCOUNT);
  EXPECT_EQ(c->Aggregates->Get(0)->ArgumentText, "0");

  a = Parsed("select sum(price) as total, avg(t.q), price * 2, cast(n as char(12)) c from t");
  EXPECT_EQ(a->ColumnList.Get(0)->Caption, "total");
  EXPECT_TRUE(a->ColumnList.Get(0)->CaptionGiven);
  EXPECT_EQ(a->ColumnList.Get(1)->Caption, "AVG OF t.q");
  EXPECT_EQ(a->ColumnList.Get(2)->Caption, "price * 2");
  EXPECT_EQ(a->ColumnList.Get(2)->CastKind, 0);
  EXPECT_EQ(a->ColumnList.Get(2)->CastWidth, 1);
  EXPECT_EQ(a->ColumnList.Get(3)->CastKind, 345);
  EXPECT_EQ(a->ColumnList.Get(3)->CastWidth, 12);
  EXPECT_EQ(a->ColumnList.Get(3)->Caption, "c");
  EXPECT_TRUE(a->ColumnList.Get(3)->OwnsCompiled);

  a = Parsed("select distinct t.*, x from t");
  EXPECT_TRUE(a->DoDistinct);
  ASSERT_EQ(a->TableAllFields.size(), 1u);
  EXPECT_EQ(a->TableAllFields[0], "t");
  EXPECT_EQ(a->FieldNames, (std::vector<std::string>{"t.*", "x"}));
  a = Parsed("select * from t where u.b = 1");
  EXPECT_TRUE(a->DoSelectAll);
  EXPECT_EQ(a->FieldNames, (std::vector<std::string>{"*", "u.b"}));
}

TEST(StatementBuilding, SubqueryColumns) {
  auto a = Parsed("select (select max(x) from u) from t");
  ASSERT_EQ(a->ColumnList.Count(), 1);
  const TColumnItem* c = a->ColumnList.Get(0);
  EXPECT_EQ(c->ExprText, "{Subquery 0}");
  EXPECT_EQ(c->Caption, "Subquery");
  EXPECT_TRUE(c->CaptionGiven);
  ASSERT_EQ(c->Subqueries.size(), 1u);
  EXPECT_TRUE(a->SubQueryList.empty());
  // The subquery's own aggregate stays with the subquery's column; the
  // outer column keeps its own.
  a = Parsed("select sum(a) + (select max(b) from u) as s, c from t");
  c = a->ColumnList.Get(0);
  EXPECT_EQ(c->ExprText, "{Aggregate 0} + {Subquery 0}");
  ASSERT_EQ(c->Aggregates->Count(), 1);
  EXPECT_EQ(c->Aggregates->Get(0)->Kind, akSUM);
  ASSERT_EQ(c->Subqueries.size(), 1u);
  const TSqlAnalizer* sub = c->Subqueries[0].get();
  ASSERT_EQ(sub->ColumnList.Count(), 1);
  EXPECT_EQ(sub->ColumnList.Get(0)->Aggregates->Get(0)->Kind, akMAX);
  EXPECT_EQ(a->ColumnList.Get(1)->Subqueries.size(), 0u);
  EXPECT_EQ(a->ColumnList.Get(1)->Caption, "c");
}

TEST(StatementBuilding, SubqueryInsideASubquerysSelectList) {
  auto a = Parsed("select (select (select max(z) from v) from u) from t");
  const TColumnItem* c = a->ColumnList.Get(0);
  ASSERT_EQ(c->Subqueries.size(), 1u);
  const TSqlAnalizer* mid = c->Subqueries[0].get();
  ASSERT_EQ(mid->ColumnList.Count(), 1);
  EXPECT_EQ(mid->ColumnList.Get(0)->ExprText, "{Subquery 0}");
  ASSERT_EQ(mid->ColumnList.Get(0)->Subqueries.size(), 1u);
  EXPECT_EQ(mid->ColumnList.Get(0)->Subqueries[0]->TableList.Get(0)->TableName, "v");
  EXPECT_EQ(mid->TableList.Get(0)->TableName, "u");
}

TEST(StatementBuilding, HavingSubqueryBesideWhereSubquery) {
  auto a = Parsed(
      "select a, count(*) from t where b in (select x from u) group by a "
      "having count(*) > (select count(*) from v)");
  // The WHERE subquery stays in the analyzer's list for the condition.
  ASSERT_EQ(a->SubQueryList.size(), 1u);
  EXPECT_EQ(a->SubQueryList[0]->TableList.Get(0)->TableName, "u");
  ASSERT_EQ(a->SubQueryKindList.size(), 1u);
  EXPECT_EQ(a->WhereStr, F("b") + " = (subquery 0)");
  // The HAVING column holds its own subquery.
  ASSERT_EQ(a->ColumnList.Count(), 3);
  EXPECT_EQ(a->HavingCol, 2);
  const TColumnItem* having = a->ColumnList.Get(2);
  EXPECT_TRUE(having->Auxiliary);
  EXPECT_EQ(having->ExprText, "{Aggregate 0} > {Subquery 0}");
  ASSERT_EQ(having->Subqueries.size(), 1u);
  EXPECT_EQ(having->Subqueries[0]->TableList.Get(0)->TableName, "v");
}

TEST(StatementBuilding, SubqueryQuantifiers) {
  auto a = Parsed(
      "select * from t where a in (select x from u) or b = any (select y from v) "
      "or c > all (select z from w) or d not in (select q from r)");
  ASSERT_EQ(a->SubQueryKindList.size(), 4u);
  EXPECT_EQ(a->SubQueryKindList[0], skAny);
  EXPECT_EQ(a->SubQueryKindList[1], skAny);
  EXPECT_EQ(a->SubQueryKindList[2], skAll);
  // NOT IN holds only when the value differs from every row.
  EXPECT_EQ(a->SubQueryKindList[3], skAll);
  EXPECT_NE(a->WhereStr.find(F("d") + " <> (subquery 3)"), std::string::npos) << a->WhereStr;
}

TEST(StatementBuilding, TopNumbersAndTheirReversalInSubqueries) {
  auto a = Parsed("top 3 select top 7 a from t");
  EXPECT_EQ(a->TopNInSelect, 7);
  EXPECT_EQ(a->TopNInGroupBy, 3);
  a = Parsed("select * from t where x in (top 4 select top 9 y from u)");
  ASSERT_EQ(a->SubQueryList.size(), 1u);
  EXPECT_EQ(a->SubQueryList[0]->TopNInSelect, 4);
  EXPECT_EQ(a->SubQueryList[0]->TopNInGroupBy, 9);
  EXPECT_EQ(a->TopNInSelect, 0);
  a = Parsed("select * from t where x in (select top 9 y from u)");
  EXPECT_EQ(a->SubQueryList[0]->TopNInSelect, 0);
  EXPECT_EQ(a->SubQueryList[0]->TopNInGroupBy, 9);
}

TEST(StatementBuilding, UnionSwitchesTheCurrentAnalyzer) {
  auto a = Parsed("select a from t where a = 1 union select distinct b from u where b = 2 order by 1");
  EXPECT_EQ(a->Statement, ssUnion);
  EXPECT_EQ(a->TableList.Count(), 1);
  EXPECT_EQ(a->WhereStr, F("a") + " = 1");
  EXPECT_EQ(a->OrderByList.Count(), 0);
  ASSERT_TRUE(a->UnionAnalizer);
  const TSqlAnalizer* u = a->UnionAnalizer.get();
  EXPECT_EQ(u->Parent, nullptr);
  EXPECT_TRUE(u->DoDistinct);
  EXPECT_EQ(u->TableList.Get(0)->TableName, "u");
  EXPECT_EQ(u->WhereStr, F("b") + " = 2");
  ASSERT_EQ(u->OrderByList.Count(), 1);
  EXPECT_EQ(u->OrderByList.Get(0)->ColumnIndex, 0);

  // A UNION inside a subquery: the subquery becomes a union and its branch
  // hangs beside it; the outer statement continues afterwards.
  a = Parsed("select * from t where x in (select y from u union select z from v) and w = 1");
  EXPECT_EQ(a->Statement, ssSelect);
  ASSERT_EQ(a->SubQueryList.size(), 1u);
  const TSqlAnalizer* sub = a->SubQueryList[0].get();
  EXPECT_EQ(sub->Statement, ssUnion);
  ASSERT_TRUE(sub->UnionAnalizer);
  EXPECT_EQ(sub->UnionAnalizer->Parent, a.get());
  EXPECT_EQ(sub->UnionAnalizer->TableList.Get(0)->TableName, "v");
  EXPECT_EQ(a->WhereStr, "(" + F("x") + " = (subquery 0) AND " + F("w") + " = 1)");
}

TEST(StatementBuilding, FromTablesAndJoins) {
  auto a = Parsed("select * from 'c:\\data\\phones.dbf', u x, 'd/e.dbf' y, (select q from r) s");
  ASSERT_EQ(a->TableList.Count(), 4);
  EXPECT_EQ(a->TableList.Get(0)->TableName, "c:\\data\\phones.dbf");
  EXPECT_EQ(a->TableList.Get(0)->Alias, "phones");
  EXPECT_TRUE(a->TableList.Get(0)->FromString);
  EXPECT_EQ(a->TableList.Get(0)->SubqueryIndex, -1);
  EXPECT_EQ(a->TableList.Get(1)->Alias, "x");
  EXPECT_EQ(a->TableList.Get(2)->Alias, "y");
  EXPECT_EQ(a->TableList.Get(3)->TableName, "s");
  EXPECT_EQ(a->TableList.Get(3)->SubqueryIndex, 0);
  EXPECT_EQ(a->TableList.IndexOfAlias("PHONES"), 0);

  a = Parsed(
      "select * from t left outer join u on t.a = u.a and t.b = u.b "
      "join (select * from v left join w on v.c = w.c) vv on vv.c = t.c "
      "right join x on x.d > t.d full outer join y on y.e = t.e");
  ASSERT_EQ(a->JoinList.Count(), 4);
  EXPECT_EQ(a->JoinList.Get(0)->JoinAction, jkLeftOuterJoin);
  EXPECT_EQ(a->JoinList.Get(0)->LeftRefTest, "t.a");
  EXPECT_EQ(a->JoinList.Get(0)->RightRefTest, "u.a");
  EXPECT_EQ(a->JoinList.Get(1)->JoinAction, jkLeftInnerJoin);
  EXPECT_EQ(a->JoinList.Get(1)->LeftRefTest, "vv.c");
  // RIGHT JOIN is the right outer join, as in SQL.
  EXPECT_EQ(a->JoinList.Get(2)->JoinAction, jkRightOuterJoin);
  EXPECT_EQ(a->JoinList.Get(3)->JoinAction, jkFullOuterJoin);
  ASSERT_EQ(a->SubQueryList.size(), 1u);
  ASSERT_EQ(a->SubQueryList[0]->JoinList.Count(), 1);
  EXPECT_EQ(a->SubQueryList[0]->JoinList.Get(0)->JoinAction, jkLeftOuterJoin);
  // The FROM subquery has its (unused) quantifier slot at its own index.
  EXPECT_EQ(a->SubQueryKindList.size(), a->SubQueryList.size());
  EXPECT_EQ(a->SubQueryList[0]->JoinList.Get(0)->JoinExpression, "v.c=w.c");
}

TEST(StatementBuilding, WhereOptimiseItems) {
  auto a = Parsed("select * from t where a >= 1 and a <= 5");
  ASSERT_EQ(a->WhereOptimizeList.Count(), 2);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->Operator, ropGE);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->StartValue, "1");
  EXPECT_EQ(a->WhereOptimizeList.Get(1)->Operator, ropLE);
  EXPECT_EQ(a->WhereOptimizeList.Get(1)->EndValue, "5");
  EXPECT_EQ(Parsed("select * from t where a = 1 order by a")->WhereOptimizeList.Count(), 0);
  a = Parsed("select * from t where a = 'x';");
  ASSERT_EQ(a->WhereOptimizeList.Count(), 1);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->Operator, ropBETWEEN);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->StartValue, "x");
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->EndValue, "x");
  a = Parsed("select * from t where n between 'a' and 'b' and m <> 3");
  ASSERT_EQ(a->WhereOptimizeList.Count(), 2);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->EndValue, "b");
  EXPECT_EQ(a->WhereOptimizeList.Get(1)->Operator, ropNEQ);
  // BETWEEN with constants is complete before ORDER is read.
  a = Parsed("select * from t where n between 1 and 2 order by n");
  ASSERT_EQ(a->WhereOptimizeList.Count(), 1);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->StartValue, "1");
  // Dates in WHERE reach the text wrapped, in the select list bare.
  a = std::make_unique<TSqlAnalizer>(nullptr, nullptr);
  ASSERT_EQ(a->Parse("select #31.01.2004# from t where d = #31.01.2004#", "dd.MM.yyyy"), 0);
  EXPECT_EQ(a->ColumnList.Get(0)->ExprText, "38017");
  EXPECT_EQ(a->WhereStr, F("d") + " = DummyDate(38017)");
  ASSERT_EQ(a->WhereOptimizeList.Count(), 1);
  EXPECT_EQ(a->WhereOptimizeList.Get(0)->StartValue, "DummyDate(38017)");
  // Comparisons outside WHERE are no hints; equalities are join candidates.
  a = Parsed("select a = 1 from t where t.x = u.y");
  EXPECT_EQ(a->WhereOptimizeList.Count(), 1);
  EXPECT_EQ(a->LJoinCandidateList, (std::vector<std::string>{F("t.x")}));
  EXPECT_EQ(a->RJoinCandidateList, (std::vector<std::string>{F("u.y")}));
}

TEST(StatementBuilding, GroupOrderHavingIntoRange) {
  auto a = Parsed(
      "select a, b from t set range for fields 'a', 'b' from 'x', 1 to 'y', :p "
      "using index 'ix' group by 2, t.a having sum(c) > 1 order by name desc, 1 into z for append");
  ASSERT_EQ(a->GroupByList.Count(), 2);
  EXPECT_EQ(a->GroupByList.Get(0)->ColumnIndex, 1);
  EXPECT_EQ(a->GroupByList.Get(0)->ColumnName, "");
  EXPECT_EQ(a->GroupByList.Get(1)->ColumnIndex, -1);
  EXPECT_EQ(a->GroupByList.Get(1)->ColumnName, F("t.a"));
  ASSERT_EQ(a->OrderByList.Count(), 2);
  EXPECT_EQ(a->OrderByList.Get(0)->ColumnName, F("name"));
  EXPECT_TRUE(a->OrderByList.Get(0)->Descending);
  EXPECT_EQ(a->OrderByList.Get(1)->ColumnIndex, 0);
  EXPECT_FALSE(a->OrderByList.Get(1)->Descending);
  EXPECT_EQ(a->HavingCol, 2);
  EXPECT_EQ(a->ColumnList.Get(2)->Aggregates->Count(), 1);
  EXPECT_EQ(a->IntoTable, "z");
  EXPECT_EQ(a->UserDefinedRange.IndexName, "ix");
  EXPECT_EQ(a->UserDefinedRange.FieldText, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(a->UserDefinedRange.StartTexts, (std::vector<std::string>{"'x'", "1"}));
  EXPECT_EQ(a->UserDefinedRange.EndTexts, (std::vector<std::string>{"'y'", ":p"}));
}

TEST(StatementBuilding, DataChanges) {
  auto a = Parsed("update t set a = 1, b = c + 1, d = null where e = 2");
  EXPECT_EQ(a->Statement, ssUpdate);
  EXPECT_EQ(a->TableList.Get(0)->TableName, "t");
  ASSERT_EQ(a->UpdateColumnList.Count(), 3);
  EXPECT_EQ(a->UpdateColumnList.Get(1)->ValueText, F("c") + " + 1");
  EXPECT_EQ(a->UpdateColumnList.Get(2)->ValueText, "");
  a = Parsed("update t set a = b = (select x from u)");
  ASSERT_EQ(a->UpdateColumnList.Count(), 1);
  EXPECT_EQ(a->SubQueryList.size(), 1u);

  a = Parsed("delete from t where a = 1");
  EXPECT_EQ(a->Statement, ssDelete);
  EXPECT_EQ(a->TableList.Get(0)->TableName, "t");

  a = Parsed("insert into t (a, b) values (1, null) insert into 'd/u.dbf' (*) (2, 'x')");
  EXPECT_EQ(a->Statement, ssInsert);
  ASSERT_EQ(a->InsertList.Count(), 2);
  const TInsertItem* i0 = a->InsertList.Get(0);
  EXPECT_EQ(i0->TableName, "t");
  EXPECT_FALSE(i0->FromString);
  EXPECT_EQ(i0->Columns, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(i0->Values, (std::vector<std::string>{"1", "null"}));
  const TInsertItem* i1 = a->InsertList.Get(1);
  EXPECT_EQ(i1->TableName, "d/u.dbf");
  EXPECT_TRUE(i1->FromString);
  EXPECT_TRUE(i1->Columns.empty());
  EXPECT_EQ(i1->Values, (std::vector<std::string>{"2", "'x'"}));
}

TEST(StatementBuilding, TableDefinitions) {
  auto a = Parsed(
      "create table 'x.dbf' (a char(10), b float(8, 2), c blob(5), d numeric(6)) "
      "create table 'y.dbf' (e integer primary key (e))");
  EXPECT_EQ(a->Statement, ssCreateTable);
  ASSERT_EQ(a->CreateTableList.Count(), 2);
  const TCreateTableItem* x = a->CreateTableList.Get(0);
  EXPECT_EQ(x->TableName, "x.dbf");
  ASSERT_EQ(x->FieldCount(), 4);
  EXPECT_EQ(x->Fields.Get(0)->TypeToken, 345);
  EXPECT_EQ(x->Fields.Get(0)->Size, 10);
  EXPECT_EQ(x->Fields.Get(1)->Precision, 8);
  EXPECT_EQ(x->Fields.Get(1)->Scale, 2);
  EXPECT_EQ(x->Fields.Get(2)->BlobKind, 5);
  EXPECT_EQ(x->Fields.Get(3)->TypeToken, 351);
  EXPECT_EQ(x->Fields.Get(3)->Precision, 6);
  EXPECT_EQ(x->Fields.Get(-1), nullptr);
  EXPECT_EQ(x->Fields.Get(4), nullptr);
  EXPECT_EQ(a->CreateTableList.Get(1)->KeyFields, (std::vector<std::string>{"e"}));

  // ALTER TABLE clauses all fill one item: the last name wins, the fields add up.
  a = Parsed("alter table 'x.dbf' add a char(3), drop b alter table 'y.dbf' add column c date, drop a");
  EXPECT_EQ(a->Statement, ssAlterTable);
  ASSERT_EQ(a->AlterTableList.Count(), 1);
  const TCreateTableItem* alt = a->AlterTableList.Get(0);
  EXPECT_EQ(alt->TableName, "y.dbf");
  ASSERT_EQ(alt->FieldCount(), 4);
  EXPECT_FALSE(alt->Fields.Get(0)->Drop);
  EXPECT_TRUE(alt->Fields.Get(1)->Drop);
  EXPECT_EQ(alt->Fields.Get(2)->TypeToken, 348);
  EXPECT_TRUE(alt->Fields.Get(3)->Drop);

  a = Parsed("create unique desc index ix on 'x.dbf' (a, b)");
  EXPECT_EQ(a->Statement, ssCreateIndex);
  EXPECT_TRUE(a->IndexUnique);
  EXPECT_TRUE(a->IndexDescending);
  EXPECT_EQ(a->IndexName, "ix");
  EXPECT_EQ(a->IndexTable, "x.dbf");
  EXPECT_EQ(a->IndexColumnList, (std::vector<std::string>{"a", "b"}));
  a = Parsed("drop index 'x.dbf' ix");
  EXPECT_EQ(a->Statement, ssDropIndex);
  EXPECT_EQ(a->IndexTable, "x.dbf");
  EXPECT_EQ(a->IndexName, "ix");
  a = Parsed("drop table 'x.dbf';");
  EXPECT_EQ(a->Statement, ssDropTable);
  EXPECT_EQ(a->IndexTable, "x.dbf");
  EXPECT_EQ(Parsed("pack table t, u")->TableList.Count(), 2);
  EXPECT_EQ(Parsed("zap table t")->Statement, ssZapTable);
  EXPECT_EQ(Parsed("reindex table t")->Statement, ssReindexTable);
}

TEST(StatementBuilding, TableDefinitionChecks) {
  EXPECT_EQ(Refused("create table 'x.dbf' (a char(10), a integer)"), "Duplicate field name");
  EXPECT_EQ(Refused("create table 'x.dbf' (b blob(9))"), "BLOB FIELD: wrong type (1-5)");
  EXPECT_EQ(Refused("create table 'x.dbf' (a integer primary key (b))"), "PRIMARY KEY: field not found");
  EXPECT_EQ(Refused("alter table 'x.dbf' drop a, drop A"), "Duplicate field name");
  // The same name once added and once dropped is no clash.
  EXPECT_EQ(Parsed("alter table 'x.dbf' drop a, add a integer")->AlterTableList.Get(0)->FieldCount(), 2);
}

TEST(StatementBuilding, Transform) {
  auto a = Parsed("transform sum(x), cast(count(*) as integer) select a from t group by a pivot b in (1, 'k', \"q\")");
  EXPECT_EQ(a->Statement, ssSelect);
  ASSERT_EQ(a->TransformColumnList.Count(), 2);
  EXPECT_EQ(a->TransformColumnList.Get(0)->Aggregates->Count(), 1);
  EXPECT_EQ(a->TransformColumnList.Get(1)->CastKind, 346);
  EXPECT_EQ(a->ColumnList.Count(), 1);
  EXPECT_EQ(a->PivotStr, F("b"));
  EXPECT_EQ(a->PivotInList, (std::vector<std::string>{"1", "k", "q"}));
  EXPECT_FALSE(a->PivotInSubquery);
  a = Parsed("transform sum(x) select a from t group by a pivot b in (select c from u)");
  EXPECT_TRUE(a->PivotInSubquery);
}

TEST(StatementLists, ParamsAsFieldsNames) {
  TParamsAsFields params;
  TParamsAsFieldsItem* p = params.Add();
  p->SetName("name");
  p->SetValue("v");
  // Setting an item's own name again is no duplicate.
  EXPECT_NO_THROW(p->SetName("name"));
  TParamsAsFieldsItem* q = params.Add();
  EXPECT_THROW(q->SetName("name"), ESiftError);
  q->SetName("other");
  EXPECT_EQ(params.ParamByName("name"), p);
  EXPECT_EQ(params.ParamByName("NAME"), nullptr);
  EXPECT_EQ(p->GetDisplayName(), "name - v");
  EXPECT_EQ(params.Add()->GetDisplayName(), "TParamsAsFieldsItem");
  params.Delete(2);
  TParamsAsFields copy;
  copy.Assign(&params);
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(1)->Name(), "other");
  // Writing an item copies name and value; a name taken by another item is
  // refused.
  EXPECT_THROW(copy.SetItems(1, p), ESiftError);
  EXPECT_EQ(copy.Items(1)->Name(), "other");
  p->SetValue("w");
  copy.SetItems(0, p);
  EXPECT_EQ(copy.Items(0)->Value(), "w");
}

TEST(StatementLists, NewItemsAndCopies) {
  TTableList tables;
  EXPECT_EQ(tables.Add()->SubqueryIndex, -1);
  EXPECT_THROW(tables.Get(1), EListError);
  TColumnList columns;
  TColumnItem* c = columns.Add();
  EXPECT_TRUE(c->OwnsCompiled);
  EXPECT_EQ(c->Aggregates->Count(), 0);
  TAggregateItem* ag = c->Aggregates->Add();
  ag->ArgumentText = "x";
  ag->Kind = akMAX;
  ag->Distinct = true;
  ag->Values->Put(0, Variant(5));
  ag->Values->Put(1, Variant(7));
  columns.DeleteAggregate(0);
  EXPECT_EQ(ag->Values->Get(0).AsInteger(), 7);
  TAggregateList copy;
  copy.Assign(*c->Aggregates);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy.Get(0)->Kind, akMAX);
  EXPECT_TRUE(copy.Get(0)->Distinct);
  EXPECT_FALSE(copy.Get(0)->Values->HasData(0));
}

}  // namespace
