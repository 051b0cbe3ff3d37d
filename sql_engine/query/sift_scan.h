// The scan of one SELECT, UPDATE or DELETE: the walk over the main dataset
// with the query's hook events, building the result rows.
//
// Before the walk the WHERE clause is offered to the dataset adapter:
// as a filter text (`OfferFilter`; a SELECT then no longer tests it, a data
// change keeps testing its own WHERE on the filtered rows), or one
// top-level comparison of a main-dataset field with a literal as a range
// over an index, or the ORDER BY fields as an index to walk in
// (`OfferRangeOrIndex`; the range is set when the walk starts, after the
// progress start has been reported).  A user range of the statement is set
// too.  The walk reports progress, asks for cancelling after every record
// and stops early once TOP n has its rows when nothing after the scan
// reorders or merges them (then every join loop inside it stops too).
// Everything armed (filter, ranges, progress, disabled datasets, the
// cursors of the FROM datasets) is released on every path, a failure
// included.
//
// A SELECT that reads the main dataset alone (no join, no subquery) walks
// it on the dataset's forward road where the dataset offers one
// (TDataSet::BeginWalk: a DBF table's records read in blocks), and steps
// with Next otherwise; the road ends on every path out of the walk.  On the
// road, with no progress or cancel event to report per row and no TOP n, a
// row sink may take the rest of the walk in a loop of its own
// (TSiftRowSink::TakeRest).
//
// Per main record that passes the WHERE clause: a SELECT runs its joins
// (sift_joins.h) or takes the row (`AddThisRecord`), a DELETE deletes the
// record and an UPDATE collects it (sift_modify.h).  `AddThisRecord` offers
// the row to the row sinks first (the group stage keeps only a group's
// first row, a streamed cross-tab reuses one record), and otherwise writes
// the evaluated select columns into a new result row, with the main
// record's bookmark.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

// The text helpers and the subquery lookup switch come with the scan.
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_joins.h"
#include "sql_engine/query/sift_subqueries.h"

class TCustomSift;
class TDataSet;
class TResultSet;
class TSiftModify;
class TSiftPlan;
class TSqlAnalizer;
class TWhereOptimizeItem;

class TSiftScan;

// A SELECT that only reads the main dataset's records walks it on the
// dataset's forward road where the dataset offers one (TDataSet::BeginWalk);
// off, it always steps with Next.  Both roads give the same rows; the
// switch is there so the tests can hold one against the other.  On by
// default.
bool SiftRecordWalk();
void SetSiftRecordWalk(bool on);

// A stage that takes the scan's rows as they are made.
class TSiftRowSink {
public:
  virtual ~TSiftRowSink() = default;
  // Called first for every accepted row: true when the sink took the row
  // (the scan writes nothing for it).  The sink may write it through
  // `scan.AddThisRecord`, which offers it again.
  virtual bool TakeRow(TSiftScan& scan, bool withBookmark);
  // True when the row's cells go into the current record of `rows` (made
  // ready here) instead of a new one; RowWritten follows the cells.
  virtual bool WritesInPlace(TResultSet& rows);
  virtual void RowWritten();
  // Offered after a row it took, on a walk of the main dataset alone with
  // nothing reported per row: true when the sink walked `main` to its end
  // itself, testing the WHERE clause and taking each row that passes
  // (through `scan.AddThisRecord` where it cannot take it otherwise).
  virtual bool TakeRest(TSiftScan& scan, TDataSet& main);
};

class TSiftScan : public TSiftJoinTarget {
public:
  TSiftScan(TSiftPlan& plan, TSiftSubqueries& subqueries, TSiftJoins& joins, TSiftModify& modify);
  ~TSiftScan() override;
  TSiftScan(const TSiftScan&) = delete;
  TSiftScan& operator=(const TSiftScan&) = delete;

  // The rows the scan builds, and the sinks offered each row first (in
  // order).
  void SetRows(TResultSet* rows) { rows_ = rows; }
  TResultSet* Rows() const { return rows_; }
  void AddSink(TSiftRowSink* sink) { sinks_.push_back(sink); }

  // ---- hook events, in the order the run calls them ----
  void SaveCursors();
  void OfferFilter();
  void ArmUserRange();
  void OfferRangeOrIndex();
  // TOP n over rows that nothing after the scan reorders or merges: the
  // scan, joins included, stops once it has n rows (0: it runs to the end).
  int32_t EarlyStop(bool unionBranch) const;
  // Walks the main dataset; stops after `stopAt` rows (0: no limit).
  void Scan(int32_t stopAt);
  // The user cancelled the walk.
  bool Cancelled() const { return cancelled_; }
  // Drops the ranges and the filter armed (each told once).
  void FireCancels();
  void RestoreCursors();
  // Frees the disabled datasets and ends the progress.
  void Cleanup();

  // ---- rows ----
  void AddThisRecord(bool withBookmark = true) override;
  bool RowsFull() const override { return full_; }

  // Implementation details follow.
private:
  TDataSet* Main() const;
  bool RangeItemUsable(TWhereOptimizeItem& item);
  // True when the main dataset may be walked on its forward road.
  bool WalkRoad() const;
  void ArmRange();

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  TSiftSubqueries& subqueries_;
  TSiftJoins& joins_;
  TSiftModify& modify_;
  TResultSet* rows_ = nullptr;
  std::vector<TSiftRowSink*> sinks_;
  bool cancelled_ = false;
  int32_t stopAt_ = 0;
  bool full_ = false;  // the scan has the stopAt_ rows it needs

  // Hooks armed for this statement, released on every path.
  bool filterHandled_ = false;
  bool rangeArmed_ = false;
  TDataSet* rangeDataset_ = nullptr;  // set once the range road is offered
  bool userRangeArmed_ = false;
  bool progressStarted_ = false;
  std::vector<std::pair<TDataSet*, int32_t>> savedCursors_;
};
