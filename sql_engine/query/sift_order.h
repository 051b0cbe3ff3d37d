// ORDER BY, DISTINCT, the TOP cut and UNION: the after-scan stages of a
// SELECT that reorder, thin out or extend its rows.
//
// ORDER BY sorts the result rows through a sort list: one key per item,
// typed as the column is, with the row number as a last key so that rows
// equal on every item keep the order the scan (or the grouping) gave them.
// The sort list's keys carry a null byte, so a null sorts before every value
// ascending and after every value descending.
//
// UNION runs the branch after the first one has finished (its ORDER BY,
// DISTINCT and TOP included) and appends the branch's rows unsorted and
// without duplicate removal.  The result keeps the first branch's columns:
// a branch with more columns gives only as many, one with fewer leaves the
// rest null.  Cells are copied by type, never through text where both sides
// have a type in common, so a null stays null whatever the column's type.
// A string column that a branch value would not fit in is widened first
// (the rows are moved into a result set of the wider layout).  Values that
// the column's type cannot take raise the cell's conversion error.  The
// appended rows stand for records of another dataset, so they hold no
// bookmark and the result as a whole no longer stands for single source
// records.
//
// DISTINCT keeps the first occurrence of rows equal in every visible
// column (auxiliary columns do not count); TOP n then keeps the first n of
// the rows left (TOP n per group is the group stage's).
#pragma once

#include <cstdint>
#include <memory>

class TCustomSift;
class TOrderByList;
class TResultSet;
class TSiftPlan;
class TSqlAnalizer;

class TSiftOrder {
public:
  explicit TSiftOrder(TSiftPlan& plan);
  TSiftOrder(const TSiftOrder&) = delete;
  TSiftOrder& operator=(const TSiftOrder&) = delete;

  // Reorders the rows of `rs` by `list` (ORDER BY or GROUP BY items naming
  // columns of `rs` by index): a null key sorts first ascending and last
  // descending; rows equal on every key keep the order they had.  Works on
  // any result set of this statement (the cross-tab sorts a copy).
  void DoOrderBy(TResultSet& rs, const TOrderByList& list);
  // Rows equal in every visible column keep their first occurrence.
  void DoDistinct(TResultSet& rows);
  // TOP n (not per group): the rows after the first n go.
  void DoTopCut(TResultSet& rows);
  // Appends the rows of `branch` after the rows of `rows`: no duplicate
  // removal, the first branch's column count and types, cells copied by
  // type with nulls kept, a string column widened to fit a wider branch
  // (`rows` is then replaced by the wider copy).  The appended rows hold no
  // bookmark and the result no longer stands for single source records.
  void DoUnion(std::unique_ptr<TResultSet>& rows, TResultSet& branch);

  // Implementation details follow.
private:
  TSqlAnalizer& a_;
  TCustomSift& q_;
};
