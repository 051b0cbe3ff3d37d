// GROUP BY, aggregates and HAVING: the stage that turns the scanned rows
// into one row per group.
//
// The scan leaves, besides the selected columns, one auxiliary column per
// aggregate holding that aggregate's argument for the row, and one per
// plain field that a column with aggregates (or HAVING) names outside its
// aggregates.  Grouping then works on those cells:
//
//   - rows fall into groups by the bytes of their GROUP BY cells, a null
//     cell being its own key (so NULL, 0 and false are three groups); an
//     empty text is null, as everywhere in this engine;
//   - every aggregate accumulates, per group, the non-null arguments of the
//     group's rows; a DISTINCT aggregate skips an argument it has already
//     counted in that group (other aggregates and groups are untouched);
//   - a column with aggregates is compiled once, before the scan, with each
//     aggregate and each plain field standing for a typed value slot; per
//     group the slots take the group's results and its head row's cells,
//     and the compiled tree is evaluated.  No value ever goes back into an
//     expression text, so quotes, tiny numbers and Booleans stay intact;
//   - HAVING is evaluated the same way, against the group, never against
//     wherever the source dataset happens to stand;
//   - one row per group remains (n rows with TOP n before SELECT), in
//     ascending order of the GROUP BY columns, nulls first.
//
// SUM, MIN and MAX of a group without a non-null argument are null; AVG
// and STDEV are 0 there, and STDEV of a single value is 0.  AVG and STDEV
// are float columns whatever the argument's type.  Aggregates over no rows
// give no row at all, also without GROUP BY.  SUM, AVG and STDEV take a
// text argument that holds numbers as those numbers (SUM is then a float
// column); a text that is no number stops the query with an error naming
// the column.
//
// A plain grouped SELECT does not keep its scanned rows: the scan reads
// each row's keys and arguments off the compiled columns, stores a row only
// when it starts a group, and accumulates the rest at once
// (`TakeRow`).  A cross-tab, TOP n per group and keys the compiled
// columns cannot give as their cells would (casts, column subqueries, memo
// fields) keep every scanned row, and DoGroupBy groups those rows; either
// way the groups end the same.
//
// An aggregate whose argument is a plain field of the scanned dataset reads
// the field itself per row, into its typed accumulator, instead of asking
// the argument's expression: a text kept as plain bytes straight from the
// record image (its place resolved once per statement), other kinds through
// the field.  Without GROUP BY, once every argument is read so (or is the
// constant of a COUNT(*), which only counts) and the one
// group has its first row, the group stage walks the rest of the records
// itself (`TakeRest`), testing the WHERE clause left; MAX and MIN of a text
// pass over a record whose first byte already loses to the extreme's.
//
// A SELECT whose only aggregates are COUNT(*) over one group, with no row
// condition left and no per-row event, has the dataset count its visible
// records instead of walking them (`CountingScan`); a dataset that cannot
// count unobserved is walked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sql_engine/front/statement_lists.h"
#include "sql_engine/query/sift_scan.h"

class TCustomSift;
class TDataSet;
class TResultSet;
class TSiftPlan;
class TSqlAnalizer;

// A text argument of SUM, AVG or STDEV read as a number, the way the
// expression language reads one; a text that is no number raises an error
// naming the aggregate and its argument column.
double SiftTextAsNumber(const std::string& text, TAggregateKind kind, const std::string& column);

// A grouped SELECT reads an aggregate's argument that is a plain field of
// the scanned dataset from the field itself (a text from the record image
// where the dataset keeps it so) instead of through its expression; off,
// every argument goes through its expression.  Both give the same rows;
// the switch is there so the tests can hold one against the other.  On by
// default.
bool SiftGroupInPlace();
void SetSiftGroupInPlace(bool on);

class TSiftGroup : public TSiftRowSink {
public:
  explicit TSiftGroup(TSiftPlan& plan);
  ~TSiftGroup() override;
  TSiftGroup(const TSiftGroup&) = delete;
  TSiftGroup& operator=(const TSiftGroup&) = delete;

  // Compiles the columns with aggregates among the first `count` columns
  // and adds the auxiliary columns they read per row; checks HAVING's type.
  void CompileGroupColumns(int32_t count);
  // The scan of a SELECT whose only aggregates are COUNT(*) over one
  // group, with nothing per row to evaluate or report (`rowConditions`: a
  // WHERE clause or joins remain): the first row is grouped as usual and
  // the main dataset counts the rest without walking them.  False (nothing
  // done) when the statement or the dataset needs the walk.
  bool CountingScan(TSiftScan& scan, bool rowConditions);
  // Turns `rows` (the scanned rows, or a copy of them with the same
  // columns) into one row per group in GROUP BY order, filling the columns
  // with aggregates and applying HAVING.  Needs CompileGroupColumns.
  void DoGroupBy(TResultSet& rows);

  // While a plain grouped SELECT scans: adds the current row to its group
  // (storing only a group's first row); false when rows are stored whole.
  bool TakeRow(TSiftScan& scan, bool withBookmark) override;
  // Without GROUP BY, once the one group has its first row and every
  // argument is a field read in place, the rest of the walk is read here.
  bool TakeRest(TSiftScan& scan, TDataSet& main) override;

  // Implementation details follow.
private:
  // The value slots and argument columns of the columns with aggregates,
  // and the groups found.
  struct TGroupState;
  TDataSet* Main() const;
  // Finds the aggregates whose arguments are read in place.
  void ResolveFieldArgs();
  // Adds aggregate j's argument, a field read in place (from `record` when
  // it is a text kept there), to group g.
  void AccumulateField(size_t j, const uint8_t* record, int32_t g = 0);
  // Adds the current record's arguments to the one group; false (nothing
  // added) when the record cannot be read in place.
  bool TakeInPlace();
  // The same for the record image given (none: no text is read in place).
  bool TakeRecord(const uint8_t* record);

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  std::unique_ptr<TGroupState> group_;
};
