// The run of one statement (SELECT, INSERT, UPDATE, DELETE): the driver that
// takes a parsed statement through its stages in order.
//
// A `TSiftStatement` wraps one analyzer (the statement, one of its
// subqueries or its UNION branch) for one run.  `CreateResultSet`:
//   1. INSERT goes to the data-change stage whole (sift_modify.h);
//   2. the plan resolves the names and checks the statement (sift_plan.h),
//      the cross-tab checks its shape (sift_pivot.h);
//   3. the condition subqueries run (sift_subqueries.h); the select
//      columns, the columns with aggregates (sift_group.h), the WHERE
//      clause, the joins (sift_joins.h) and UPDATE's SET values compile;
//   4. the scan (sift_scan.h) arms its hooks and walks the main dataset
//      into the result set (`InitializeResultSet`) -- or, for a SELECT
//      whose only aggregates are COUNT(*) over one group, the group stage
//      has the dataset count its records; an UPDATE then changes the
//      records the scan collected;
//   5. after the scan a SELECT groups (sift_group.h), orders, runs
//      DISTINCT and cuts to TOP (sift_order.h), or builds its cross-tab
//      (sift_pivot.h), and drops its auxiliary columns;
//   6. a UNION appends its branch's rows (sift_order.h).
// Everything the scan armed is released on every path.  SELECT ... INTO
// then appends the rows to the INTO dataset (`DoIntoTableOperation`).
#pragma once

#include <memory>

class TCustomSift;
class TResultSet;
class TSiftGroup;
class TSiftJoins;
class TSiftModify;
class TSiftOrder;
class TSiftPlan;
class TSiftScan;
class TSiftSubqueries;
class TSiftTransform;
class TSqlAnalizer;

class TSiftStatement {
public:
  TSiftStatement(TSqlAnalizer& analyzer, TCustomSift& query);
  ~TSiftStatement();
  TSiftStatement(const TSiftStatement&) = delete;
  TSiftStatement& operator=(const TSiftStatement&) = delete;

  // Runs the statement; raises ESiftError or the expression errors.
  void CreateResultSet();
  // SELECT ... INTO, after the whole result is built: appends the result
  // rows to the INTO dataset.
  void DoIntoTableOperation();

  // The rows built (none before the run, and for INSERT); a later stage's
  // rows (the cross-tab's, a widened UNION's) take the place of the scan's.
  TResultSet* GetResultSet() const { return result_.get(); }
  void SetResultSet(std::unique_ptr<TResultSet> rows);
  // The caller takes the rows over.
  std::unique_ptr<TResultSet> TakeResultSet();

  // Implementation details follow.
private:
  // A new, empty result set in the store the query asks for.
  void InitializeResultSet();
  // The result columns, one per select column.
  void AddResultFields();
  void AfterScan();
  void RemoveAuxiliaryColumns();
  // Runs the UNION branch and appends its rows to this result.
  void RunUnion();

  TSqlAnalizer& a_;
  TCustomSift& q_;
  bool wasUnion_ = false;
  std::unique_ptr<TResultSet> result_;
  // The stages, in the order they are made; the later ones reach the
  // earlier ones.
  std::unique_ptr<TSiftPlan> plan_;
  std::unique_ptr<TSiftSubqueries> subqueries_;
  std::unique_ptr<TSiftJoins> joins_;
  std::unique_ptr<TSiftOrder> order_;
  std::unique_ptr<TSiftGroup> group_;
  std::unique_ptr<TSiftTransform> transform_;
  std::unique_ptr<TSiftModify> modify_;
  std::unique_ptr<TSiftScan> scan_;
};
