// TRANSFORM ... PIVOT: the cross-tab of a SELECT, its last after-scan stage.
//
//   TRANSFORM agg(x) [, ...]  SELECT g1, g2 ... FROM ... GROUP BY g1, g2
//   PIVOT p [IN (v1, v2, ...) | IN (SELECT ...)]
//
// The scan makes one row per source record with the select columns, the
// pivot value and the arguments of the TRANSFORM aggregates.  The cross-tab
// has one row per group (the GROUP BY values) and, per pivot value, one
// column per TRANSFORM aggregate, named by the value's text.  Each row adds
// to its cell as the scan makes it, in one reused record; only DISTINCT
// (which works on the scanned rows), aggregated headings (a row total,
// from the rows grouped by the GROUP BY columns) and column subqueries make
// the scan keep every row first.
//
// The rows are grouped by hashing the group's values (nulls form their own
// group), so nothing depends on the order the rows come in; the groups come
// out in the order of the GROUP BY columns (ascending, or as ORDER BY says
// for its leading columns).  Pivot values compare case-insensitively, for
// the columns and for the cells alike: values differing only in case share
// one column and one cell.  Values taken from the data head their columns
// in case-insensitive text order; values given by IN keep their order and
// rows with other values add to no cell.  A null pivot value heads no
// column.  Duplicate values of an IN list or a pivot subquery are dropped.
//
// Cells: COUNT counts the cell's rows (COUNT(DISTINCT x) the distinct
// non-null x) and is an integer column; SUM, AVG, STDEV (sample), MIN and
// MAX are float columns (MIN and MAX of a text argument text columns), and
// a cell with any null argument stays null; a (group, value) pair without
// rows leaves its cells null.  Values are stored by type, never through
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sql_engine/front/statement_lists.h"

// The cells of a group are found through a row per group indexed by the
// pivot value's slot while all rows together hold at most this many
// entries, through a hash table past it.  The same cells either way; the
// setting is there for the tests.
void SetSiftTransformDenseBudget(size_t entries);
size_t SiftTransformDenseBudget();
#include "sql_engine/query/sift_scan.h"

class TCustomSift;
class TResultSet;
class TSiftGroup;
class TSiftOrder;
class TSiftPlan;
class TSiftSubqueries;
class TSqlAnalizer;

class TSiftTransform : public TSiftRowSink {
public:
  TSiftTransform(TSiftPlan& plan, TSiftSubqueries& subqueries, TSiftGroup& group, TSiftOrder& order);
  ~TSiftTransform() override;
  TSiftTransform(const TSiftTransform&) = delete;
  TSiftTransform& operator=(const TSiftTransform&) = delete;

  // After name resolution: checks the statement's shape and adds the pivot
  // column and the TRANSFORM aggregates' argument columns.
  void PrepareTransform();
  // After the scan: replaces `rows` (the scanned rows) by the cross-tab,
  // cut to TOP n.
  void DoTransform(std::unique_ptr<TResultSet>& rows);

  // A streamed cross-tab takes each row in one reused record of the rows.
  bool WritesInPlace(TResultSet& rows) override;
  void RowWritten() override;

  // Implementation details follow.
private:
  // The select columns head the rows, the pivot column follows them, then
  // one argument column per TRANSFORM aggregate that reads one (COUNT
  // without DISTINCT reads none).
  struct TTransformColumn {
    TAggregateKind Kind = akCOUNT;
    bool Distinct = false;
    int32_t ArgColumn = -1;  // result column of the argument, -1 for none
    int16_t CastKind = 0;
    int16_t CastWidth = 0;
  };
  // The cross-tab's running state; without DISTINCT and aggregated
  // headings it takes the rows as the scan makes them (streamed), so the
  // scanned rows are never all kept.
  struct TTransformState;
  // A copy of `rows` grouped by the GROUP BY columns alone.
  std::unique_ptr<TResultSet> GroupedCopy(TResultSet& rows);

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  TSiftSubqueries& subqueries_;
  TSiftGroup& group_;
  TSiftOrder& order_;
  int32_t firstPivotColumn_ = -1;
  std::vector<TTransformColumn> transformColumns_;
  bool transformStreamed_ = false;
  std::unique_ptr<TTransformState> transform_;
};
