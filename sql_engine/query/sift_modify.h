// Data changes: INSERT (VALUES and SELECT), UPDATE, the step of DELETE and
// SELECT ... INTO, all through the dataset framework's append, edit, field
// assignment and post.
//
// Rules every change here keeps:
// - a record is changed as it stands when this user holds its lock: UPDATE
//   and DELETE lock and read the record again (Edit) before anything else,
//   test the statement's WHERE on what they read (a record another user
//   changed so that it no longer passes is left alone) and compute the SET
//   values from it, so no other user's change is written over;
// - an appended record's values are computed (and converted to the target
//   field's kind) before the record is appended, so a value that does not
//   convert fails with nothing pending;
// - a failure between Append/Edit and Post cancels the pending record
//   before the error propagates: nothing half-written is posted later;
// - counts (values against fields, result columns against fields, records
//   against subquery rows) and blob sources are checked before the first
//   record changes;
// - a null value stores null (an empty field), never "leave as it was";
// - records already posted by a statement that fails later stay posted:
//   the framework has no transaction to roll them back.
//
// Blob and memo fields: binary fields (bytes, blobs, graphics, OLE) take a
// VALUES text as hexadecimal digits; memo fields are text.  A result column
// that reads a blob field holds no value of its own: the blob is read from
// its source record, found by the bookmark the result row keeps; rows that
// keep none (grouped or cross-tab rows, a joined table's blob) are refused.
//
// UPDATE: the scan collects the records that pass WHERE (`MarkUpdateRecord`)
// and they are changed after it, in scan order, each by `DoUpdateRecord`;
// an UPDATE whose SET values come from its one subquery gives record k the
// subquery's row k (`DoMassiveUpdates`).  DELETE deletes during the scan
// (`DoDeleteRecord`).  INSERT (`DoInsertStatement`) is a whole statement of
// its own; SELECT ... INTO (`DoIntoTableOperation`) runs after the SELECT.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TCustomSift;
class TDataSet;
class TResultSet;
class TSiftPlan;
class TSiftSubqueries;
class TSqlAnalizer;

class TSiftModify {
public:
  TSiftModify(TSiftPlan& plan, TSiftSubqueries& subqueries);
  ~TSiftModify();
  TSiftModify(const TSiftModify&) = delete;
  TSiftModify& operator=(const TSiftModify&) = delete;

  // Resolves, compiles and runs a whole INSERT statement.
  void DoInsertStatement();
  // The UPDATE's target fields and SET expressions.
  void CompileUpdateItems();
  // The scan accepted the current record: UPDATE collects it.
  void MarkUpdateRecord();
  // After the scan: the collected records are updated, in scan order
  // (nothing when the scan was cancelled).
  void DoUpdateRecords(bool cancelled);
  // Deletes the current record when it still passes the WHERE; false when
  // the cursor is still on it.
  bool DoDeleteRecord();
  // SELECT ... INTO: appends `rows` to the INTO dataset.
  void DoIntoTableOperation(TResultSet* rows);

  // Implementation details follow.
private:
  struct TModifyValue;
  TDataSet* Main() const;
  // Updates collected record `r` (0-based); `rows` holds a mass update's
  // values (row r + 1), null for the SET expressions.
  void DoUpdateRecord(size_t r, TResultSet* rows);
  // The checks of an UPDATE from a subquery, before any record changes;
  // the subquery's rows.
  TResultSet* DoMassiveUpdates();
  // Puts the main dataset's current record into edit (locked and read
  // again) and tests the WHERE on it; a record that no longer passes is
  // let go and false returned.
  bool EditMatchingRecord();
  void ResolveInsertTargets();
  // Appends one record of `ds` with `values`.
  void AppendRecord(TDataSet* ds, std::vector<TModifyValue>& values);

  // Bookmarks of the records an UPDATE changes, freed with the stage.
  struct TMarkedRecords {
    TDataSet* DataSet = nullptr;
    std::vector<int32_t> Bookmarks;
    TMarkedRecords() = default;
    TMarkedRecords(const TMarkedRecords&) = delete;
    TMarkedRecords& operator=(const TMarkedRecords&) = delete;
    ~TMarkedRecords();
    void Clear();
  };

  TSiftPlan& plan_;
  TSqlAnalizer& a_;
  TCustomSift& q_;
  TSiftSubqueries& subqueries_;
  TMarkedRecords marked_;
};
