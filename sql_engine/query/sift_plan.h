// The resolved statement of one run: what name resolution and the compile
// steps make of a parsed statement before its scan.
//
// A `TSiftPlan` wraps one analyzer (the statement, or one of its
// subqueries) for one run.  `CheckIntegrity` binds the statement's table
// names to the query's datasets (running the derived tables of FROM first),
// expands "*", rewrites the column markers of every expression text into
// "table.field" and checks the statement; `CompileColumns` and
// `CompileWhere` then compile the select list and the WHERE clause against
// those datasets, and `BuildFilterText` words the WHERE clause for the
// dataset adapter's filter.  The plan is also the expression context every
// text of the statement compiles in: its names resolve to the FROM
// datasets, its parameters to the query's, except the parameters that stand
// for subquery values while the texts compile (`OwnParams`).
//
// The stages of the run (sift_statement.h) read the plan and resolve table
// and field names through it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/db_params.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/front/statement_lists.h"

class TCustomSift;
class TDataSet;
class TExprParser;
class TField;
class TSiftSubqueries;
class TSqlAnalizer;

class TSiftPlan : public TExprContext {
public:
  TSiftPlan(TSqlAnalizer& analyzer, TCustomSift& query);
  ~TSiftPlan() override;
  TSiftPlan(const TSiftPlan&) = delete;
  TSiftPlan& operator=(const TSiftPlan&) = delete;

  TSqlAnalizer& Analyzer() const { return a_; }
  TCustomSift& Query() const { return q_; }
  // The first FROM table's dataset (INSERT: the first target's).
  TDataSet* MainDataSet() const { return main_; }
  void SetMainDataSet(TDataSet* ds) { main_ = ds; }

  // ---- name resolution ----
  void CheckIntegrity();
  // `text` with every column marker replaced by "table.field" (the alias
  // when `useAlias`).  In a select-list text (`column` >= 0) names resolve to
  // FROM fields first; only a name no FROM dataset has may stand for an
  // earlier column's AS name.  Elsewhere an AS name of a column (other than
  // an aggregate) stands for that column's text.  Substituted text is not
  // scanned again.
  std::string QualifiedField(const std::string& text, bool useAlias, int32_t column = -1);
  bool IsValidFieldName(const std::string& name, bool onlyMainDataset);
  TField* FindFieldByName(const std::string& name);
  std::string GetRealTableName(const std::string& name) const;
  std::string GetRealTableAlias(const std::string& name) const;
  // Whether FROM subquery k is a derived table (not a condition's).
  bool IsDerivedTable(size_t k) const { return derived_.count(static_cast<int32_t>(k)) > 0; }

  // ---- compiling ----
  // The select columns other than those with aggregates (the group stage
  // compiles those), with their column subqueries run.
  void CompileColumns(TSiftSubqueries& subqueries);
  // The WHERE clause, with its subqueries; decides MainDataSetOnly.  Several
  // FROM tables related by equalities in WHERE first become join items
  // (JoinsFromWhere).
  void CompileWhere(TSiftSubqueries& subqueries);
  // The WHERE text for the adapter's filter (empty when it cannot be
  // offered).
  void BuildFilterText(bool hasConditionSubqueries, bool rightJoin);
  // Several FROM tables without JOIN ... ON: the WHERE clause is their
  // join condition, tested on every combination.
  bool JoinInWhere() const { return joinInWhere_; }
  const std::string& JoinCondition() const { return joinCondition_; }
  // The WHERE text worded for the adapter's filter (BuildFilterText).
  const std::string& FilterText() const { return filterText_; }
  // The compiled WHERE clause (none when there is none, or when the
  // adapter's filter took it over).
  TExprParser* Where() const { return where_.get(); }
  void DropWhere();
  // The WHERE clause holds on the current row (no WHERE: true).
  bool TestWhere();
  // The WHERE clause names the main dataset only: it is tested once per
  // main record, not per joined row.
  bool MainDataSetOnlyFlag() const { return mainOnly_; }
  void ClearMainDataSetOnly() { mainOnly_ = false; }

  // The parameters that stand for subquery values while texts compile, and
  // the count of lookups of one of them since the last reset.
  TParams& OwnParams() { return ownParams_; }
  int32_t SubqueryRefs(const TParam* p) const {
    const auto it = subqueryRefsOf_.find(p);
    return it == subqueryRefsOf_.end() ? 0 : it->second;
  }
  void ResetSubqueryRefs() { subqueryRefsOf_.clear(); }
  std::string SubqueryParamName(int32_t k) const;

  // ---- TExprContext ----
  bool MainDataSetOnly() const override { return true; }
  bool HasJoinOn() const override { return false; }
  TResultColumn* FindResultColumn(const std::string&) override { return nullptr; }
  TDataSet* FindDataSetByName(const std::string& name) override;
  bool IsDataSetDisabled(TDataSet* ds) override;
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override;
  TParam* FindParam(const std::string& name) override;
  bool HasMasterSource() override;
  TDataSet* MasterDataSet() override;
  bool ParamFromMaster(const TParam* param) override;
  bool HasUDFEvents() override;
  bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType, int32_t& maxLen) override;
  Variant UDFSolve(const std::string& identifier, TParameterList* params) override;

  // Implementation details follow.
private:
  void ResolveDerivedTables();
  void ResolveTables();
  // "table.field": true when `table` names a FROM dataset with that field,
  // then `table` and `field` are set; a plain name: true when some FROM
  // dataset has the field (`table` and `field` untouched).
  bool SplitQualifiedName(const std::string& text, std::string& table, std::string& field);
  // A select column of `text` under result-field name `name`.
  void AddSelectColumn(const std::string& text, const std::string& name);
  // The visible fields of FROM item `item` as select columns.
  void ExpandTableFields(int32_t item);
  void ResolveOrderItems(TOrderByList& list, bool groupBy);
  // A SELECT over several FROM tables whose WHERE is an AND of conjuncts,
  // at least one an equality of two tables' fields: each conjunct goes to
  // the latest FROM table it names.  Those of the first table, the
  // constant ones and those with subqueries stay in WHERE; the others
  // become that table's join item (inner, "0 = 0" for a table none names),
  // tested once the earlier tables stand on their records, so the join
  // finds the table's records by key.  Anything else stays a join in WHERE.
  void JoinsFromWhere(TSiftSubqueries& subqueries);

  TSqlAnalizer& a_;
  TCustomSift& q_;
  TDataSet* main_ = nullptr;
  bool mainOnly_ = true;
  std::string whereWrapped_;  // the WHERE text before the date wrappers go
  std::string filterText_;
  bool joinInWhere_ = false;
  std::string joinCondition_;
  std::set<int32_t> derived_;  // subquery indexes that are FROM tables
  std::unique_ptr<TExprParser> where_;
  TParams ownParams_;
  std::map<const TParam*, int32_t> subqueryRefsOf_;
};
