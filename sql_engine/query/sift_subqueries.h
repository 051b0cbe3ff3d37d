// The subqueries of one statement: their runs, and the compile of the
// conditions and columns that read them.
//
// Each subquery of a condition runs once, before the scan, as a statement
// of its own (sift_statement.h); FROM subqueries are derived tables, which
// the plan runs instead.  A condition is compiled once: each
// "(subquery k)" becomes a parameter while the text compiles, and
// `EvaluateSubqueryRows` then turns every comparison with it into a node
// that compares its operand with every row of subquery k, ANY or ALL as the
// condition says, so an empty or null-holding subquery decides only its own
// predicate (an empty ANY is false, an empty ALL true; a null row never
// makes a comparison true).  IN and NOT IN ("= ANY", "<> ALL") find the
// operand in a hash of the subquery's values built once, so a subquery of n
// rows costs one lookup per scanned row, not n comparisons.  A subquery that
// stands as a value inside a function or arithmetic, or that the condition
// uses more than once (a BETWEEN or an IN list over it), makes the condition
// be tried with each of its rows, every use reading the same row.  The rows those nodes read are held here, for
// as long as the compiled conditions live.
//
// A column subquery ("{Subquery k}" of a select column) also runs once;
// result row r of the column takes its row r (the last row once they run
// out, null without rows).  A value text of a data change takes the first
// row of the subquery it names (`ScalarSubqueries`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TCustomSift;
class TDataSet;
class TExprParser;
class TResultSet;
class TSiftPlan;
class TSiftStatement;
class TSqlAnalizer;
// One condition subquery's first-column values as the compiled nodes read
// them (sift_subqueries.cpp).
struct TSiftSubqueryRows;

// IN and NOT IN against a subquery ("= ANY", "<> ALL") look their operand
// up in a hash of the subquery's values; off, they compare it with every
// value in turn.  Both roads give the same answers; the switch is there so
// the tests can hold one against the other.  On by default.
bool SiftSubqueryLookup();
void SetSiftSubqueryLookup(bool on);

class TSiftSubqueries {
public:
  explicit TSiftSubqueries(TSiftPlan& plan);
  ~TSiftSubqueries();
  TSiftSubqueries(const TSiftSubqueries&) = delete;
  TSiftSubqueries& operator=(const TSiftSubqueries&) = delete;

  // Runs every subquery of the statement that is not a derived table; a
  // condition subquery of "*" or "table.*" must give one column.
  void RunWhereSubqueries();
  // The number of subquery slots (the analyzer's subquery list), and the
  // rows of condition subquery k (null for a derived table or an empty
  // slot).
  size_t Count() const { return runs_.size(); }
  TResultSet* Rows(size_t k) const;
  // Subquery k ran here (it is no derived table).
  bool HasRun(size_t k) const { return k < runs_.size() && runs_[k] != nullptr; }
  // Some condition subquery ran.
  bool HasConditionSubqueries() const;

  // Compiles a Boolean condition over the datasets, its subqueries
  // included; raises unless it is Boolean.
  std::unique_ptr<TExprParser> CompileCondition(const std::string& text, TDataSet* ds);

  // Column subqueries: `count` select columns; RunColumnSubqueries runs the
  // subqueries of `column` and gives its text with parameters standing for
  // them; SetColumnSubqueryValues sets those parameters for result row
  // `row`.
  void PrepareColumns(int32_t count);
  std::string RunColumnSubqueries(int32_t column, const std::string& text);
  void SetColumnSubqueryValues(int32_t column, int32_t row);

  // "(subquery k)" in a value text: the first value of subquery k.
  std::string ScalarSubqueries(const std::string& text);

  // Implementation details follow.
private:
  using TSubqueryRowList = std::vector<TSiftSubqueryRows>;
  // Turns the comparisons with subquery parameters in `parser`'s tree into
  // row evaluators over `subs`, by the parameter lookups the compile made
  // of each.
  void EvaluateSubqueryRows(TExprParser& parser, TSubqueryRowList& subs);

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  std::vector<std::unique_ptr<TSiftStatement>> runs_;                     // by subquery index
  std::vector<std::vector<std::unique_ptr<TSiftStatement>>> columnRuns_;  // per column
  std::vector<std::unique_ptr<TSubqueryRowList>> kept_;                   // rows the compiled nodes read
};
