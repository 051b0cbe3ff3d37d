// The query component of the window: the query engine's hook events served
// by the DBF dataset.
//
// The WHERE text offered as a filter becomes the dataset's filter (the DBF
// engine marks the matching records in its bitmap) only when it can be
// written as a DBF condition with the query's own meaning (exact,
// case-sensitive text equality, blank fields null); any other text is
// declined and the query evaluates the WHERE clause itself.  The dataset's
// FilterOptions hold for its own filter and come back after each statement.
// A range request becomes an inclusive key range on the tag chosen by
// `IndexNeededfor`; the WHERE clause still trims the edges.
//
// Every statement is bracketed by `BeforeQuery` and `AfterQuery`: the first
// records the DBF datasets among the sources with their own UseDeleted,
// Filter, Filtered and IndexName; the second gives exactly those back and
// undoes whatever filter, range or tag the statement left behind (the
// cancel events do not run when the scan raised).  A source of another
// class ends the statement with an invalid-cast error; the temporary
// sources the query adds for itself (a derived table) are left alone.  A
// dataset with a
// filter, range or tag of its own keeps it: an offered filter is
// declined, and a range or index offer is not taken (the WHERE clause then
// decides on the rows the dataset shows).
//
// Table and index DDL run on DBF files through the data list attached with
// `SetDataList` (corvid_sift_ddl.cpp); without one those statements do
// nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sql_engine/query/custom_sift.h"

class TCorvidDataSet;
class TDataList;

class TCorvidSift : public TCustomSift {
public:
  explicit TCorvidSift(TComponent* owner = nullptr);
  ~TCorvidSift() override;

  // Table kind for CREATE TABLE (not served by this window).
  enum class TDBFType { Clipper, DBaseIII, DBaseIV, FoxPro2 };
  TDBFType DBFType = TDBFType::DBaseIV;
  bool AutoOverwrite = false;
  // During each statement every DBF source shows deleted records when true.
  bool UseDeleted = false;

  void Loaded() override;
  void FixDummiesForFilter(std::string& text) override;

  // The hook handlers.
  void BeforeQuery(TSqlAnalizer* Sender);
  void AfterQuery(TSqlAnalizer* Sender);
  void IndexNeededfor(TCustomSift* Sender, TDataSet* DataSet, const std::string& FieldNames, bool ActivateIndex,
                      bool IsJoining, bool& Accept);
  void SetRange(TCustomSift* Sender, TRelationalOperator RelOperator, TDataSet* DataSet, const std::string& FieldNames,
                const std::string& StartValues, const std::string& EndValues, bool IsJoining);
  void CancelRange(TCustomSift* Sender, TDataSet* DataSet, bool IsJoining);
  void SetFilter(TCustomSift* Sender, TDataSet* DataSet, const std::string& Filter, bool IsJoining, bool& Handled);
  void CancelFilter(TCustomSift* Sender, TDataSet* DataSet, bool IsJoining);

  // ---- the data list and table definition (corvid_sift_ddl.cpp) ----
  // Makes the list's tables the sources (under their aliases) and takes its
  // UseDeleted; null detaches it.  The list is not owned and must outlive
  // its attachment.
  void SetDataList(TDataList* list);
  TDataList* DataList() const { return dataList_; }
  // Asked before CREATE TABLE or SaveToDBF replaces a table (unless
  // AutoOverwrite); true replaces.  Unassigned: the application's message
  // box; with neither, the statement fails.
  std::function<bool(const std::string& question)> OnConfirmOverwrite;
  void CreateTable(TCustomSift* Sender, TCreateTableItem* Item);
  void CreateIndex(TCustomSift* Sender, bool Unique, bool Descending, const std::string& TableName,
                   const std::string& IndexName, const std::vector<std::string>& Columns);
  void DropTable(TCustomSift* Sender, const std::string& TableName);
  void DropIndex(TCustomSift* Sender, const std::string& TableName, const std::string& IndexName);
  // Writes the open query's rows to a new FoxPro table.
  void SaveToDBF(const std::string& FileName);

  // The first tag of `ds` whose key expression is `key` (blanks and case
  // aside) and that serves a range over all records in key order:
  // ascending, not unique, without FOR condition, its text keys in byte
  // order as the query compares them.  Empty when none does.
  static std::string RangeTag(TCorvidDataSet& ds, const std::string& key);

private:
  TDataList* dataList_ = nullptr;
  bool ConfirmOverwrite(const std::string& question);
  void InstallTableHandlers();

  // One DBF source of the running statement: what it had of its own and
  // what the statement set on it.
  struct TSourceState {
    TCorvidDataSet* DataSet = nullptr;
    bool UseDeleted = false;
    bool DBFCache = false;
    std::string Filter;
    bool Filtered = false;
    TFilterOptions FilterOptions = 0;
    std::string IndexName;
    // A tag in force (IndexName or one made primary directly) and a range
    // on it, the master link's included.
    bool OwnTag = false, OwnRange = false;
    bool FilterSet = false, RangeSet = false, TagSet = false;
    bool KeepsOwnRows() const { return Filtered || OwnTag || OwnRange; }
  };
  // One statement (subqueries nest).
  struct TFrame {
    std::vector<TSourceState> Sources;
    TIndexNeededForEvent IndexNeededFor;
    TSetRangeEvent SetRange;
    TCancelRangeEvent CancelRange;
    TSetFilterEvent SetFilter;
    TCancelFilterEvent CancelFilter;
  };

  void InstallOwnHandlers(bool all);
  TSourceState* Source(TDataSet* dataset);
  static void RestoreFilter(TSourceState& s);

  std::vector<TFrame> frames_;
};
