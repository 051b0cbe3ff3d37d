// The query component: the dataset through which an application runs SQL.
//
// The application puts a statement into `SQL`, lists its source datasets in
// `DataSets` (each under the alias statements use as a table name) and then
// either opens the component (SELECT or UNION: the rows read as a dataset)
// or calls `ExecSQL` (INSERT, UPDATE, DELETE and table DDL) or
// `ExecSQLScript` (statements separated by ";" outside quotes).  Everything
// that touches a real table beyond reading and writing records through the
// dataset framework (filters, ranges, indexes, table creation) is handed to
// the application through the hook events below; an event without a handler
// is not fired.
//
// Who owns what:
// - This component (custom_sift.cpp, sift_dataset.cpp) owns the roads: the
//   separator guard, the per-statement analyzer, parameters (":name"
//   substitution, master-detail values), the Before/AfterQuery frame
//   (`SafeCreateResultSet`), the controls and bookmarks of the sources, the
//   result set once a statement has built it, and the dataset side (field
//   definitions, buffers, navigation, filter, find, locate, re-sorting,
//   in-place edits).
// - The execution (sift_execution.h; sift_statement.h and its stages) owns
//   everything between: name resolution and checks, the scan with its filter,
//   range and progress hooks, joins, subqueries and the after-scan stages.
//   It reads this component through the public members below (events,
//   DataSets, Params, WhereOptimizeMethod, InMemResultSet, MapFileSize,
//   ShowWaitCursor, UseDisplayLabel, RowsAffected, the disabled-dataset list,
//   ParamsAsFields, FixDummiesForFilter) and hands back the statement's
//   result set.
// - The ":name" substitution of statement texts (`TSqlAnalizer::ReplaceParams`)
//   reads the parameter list this component attaches to the root analyzer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/db.h"
#include "platform/screen.h"
#include "platform/string_list.h"
#include "sql_engine/expr/expr_context.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/statement_lists.h"
#include "sql_engine/query/sift_datasets.h"
#include "sql_engine/store/result_set.h"

class TCustomSift;
class TExprParser;
class TSiftDataLink;

// The stream a query's CreateBlobStream gives: a memory copy of the blob of
// the row's source record, read when the stream is made.  Nothing is
// written back when it is freed.
class TkpBlobStream : public TMemoryStream {};

// ------------------------------------------------------------- enumerations

// How the WHERE clause is offered to the adapter.
enum TOptimizeMethod : uint8_t { omNone, omSetFilter, omSetRange };

// Phases of the scan reported through OnProgress.
enum TSiftProgressStatus : uint8_t { psSiftStart, psSiftProgress, psSiftEnd };

// ------------------------------------------------------------- event types
// Senders: the query, except OnBeforeQuery/OnAfterQuery (the analyzer).

using TQueryNotifyEvent = std::function<void(TSqlAnalizer* Sender)>;
using TUDFCheckEvent = std::function<void(TCustomSift* Sender, const std::string& Identifier, TParameterList* Params,
                                          TExprType& DataType, int32_t& MaxLen, bool& Accept)>;
using TUDFSolveEvent =
    std::function<void(TCustomSift* Sender, const std::string& Identifier, TParameterList* Params, Variant& Value)>;
using TSiftProgressEvent =
    std::function<void(TCustomSift* Sender, TSiftProgressStatus Status, int32_t Min, int32_t Max, int32_t Position)>;
using TIndexNeededForEvent = std::function<void(TCustomSift* Sender, TDataSet* DataSet, const std::string& FieldNames,
                                                bool ActivateIndex, bool IsJoining, bool& Accept)>;
using TSetRangeEvent = std::function<void(TCustomSift* Sender, TRelationalOperator RelOperator, TDataSet* DataSet,
                                          const std::string& FieldNames, const std::string& StartValues,
                                          const std::string& EndValues, bool IsJoining)>;
using TCancelRangeEvent = std::function<void(TCustomSift* Sender, TDataSet* DataSet, bool IsJoining)>;
using TBlobNeededEvent = std::function<void(TCustomSift* Sender, TDataSet* DataSet, bool& Accept)>;
using TCreateTableEvent = std::function<void(TCustomSift* Sender, TCreateTableItem* CreateTable)>;
using TCreateIndexEvent =
    std::function<void(TCustomSift* Sender, bool Unique, bool Descending, const std::string& TableName,
                       const std::string& IndexName, const std::vector<std::string>& ColumnExprList)>;
using TDropTableEvent = std::function<void(TCustomSift* Sender, const std::string& TableName)>;
using TDropIndexEvent =
    std::function<void(TCustomSift* Sender, const std::string& TableName, const std::string& IndexName)>;
using TSyntaxErrorEvent =
    std::function<void(TCustomSift* Sender, const std::string& ErrorMsg, const std::string& OffendingText,
                       int32_t LineNum, int32_t ColNum, int32_t TextLen)>;
using TSetFilterEvent = std::function<void(TCustomSift* Sender, TDataSet* DataSet, const std::string& Filter,
                                           bool IsJoining, bool& Handled)>;
using TCancelFilterEvent = std::function<void(TCustomSift* Sender, TDataSet* DataSet, bool IsJoining)>;
using TCancelQueryEvent = std::function<void(TCustomSift* Sender, bool& Cancel)>;
// A FROM name given as a file name: the handler may give the table name
// and a dataset.  A dataset it gives is owned by the query from then on
// (kept for the statement as a temporary source).
using TResolveDatasetEvent = std::function<void(TCustomSift* Sender, const std::string& Filename,
                                                std::string& ATableName, std::unique_ptr<TDataSet>& Dataset)>;
using TQueryScriptErrorEvent = std::function<void(TCustomSift* Sender, Exception& E, bool& AbortScript)>;
using TQueryFieldNameEvent = std::function<void(TCustomSift* Sender, int32_t FieldIndex, std::string& FieldName)>;
using TSetUserRangeEvent = std::function<void(
    TCustomSift* Sender, TDataSet* Dataset, const std::string& UsingIndex, const std::vector<std::string>& ForFields,
    const std::vector<std::string>& StartValues, const std::vector<std::string>& EndValues)>;
using TCancelUserRangeEvent = std::function<void(TCustomSift* Sender, TDataSet* Dataset)>;

// ------------------------------------------------------------- the component

class TCustomSift : public TDataSet, public ISiftDataSetsOwner, public TExprContext {
public:
  explicit TCustomSift(TComponent* owner = nullptr);
  ~TCustomSift() override;

  // ---- statement text ----
  TStringList& SQL() { return *sql_; }
  // Replaces the text when it differs (closing the query first).
  void SetSQL(const std::string& text);
  TStringList& SQLScript() { return *sqlScript_; }
  void SetSQLScript(const std::string& text);

  // ---- running statements ----
  // (Open/Close/Active are the dataset framework's.)
  void ExecSQL();
  void ExecSQLScript();
  void Disconnect() { Close(); }
  void Prepare() {}
  void UnPrepare() {}
  bool Prepared() const { return false; }

  // ---- parameters ----
  TParams& Params() { return *params_; }
  const TParams& Params() const { return *params_; }
  TParam* ParamByName(const std::string& name) const { return params_->ParamByName(name); }
  int GetParamsCount() const { return params_->Count(); }
  void SetParamsList(const TParams& value) { params_->Assign(&value); }
  bool ParamCheck = true;
  TParamsAsFields& ParamsAsFields() { return *paramsAsFields_; }
  void SetParamsAsFields(const TParamsAsFields& value) { paramsAsFields_->Assign(&value); }
  // Master data source: its dataset's fields fill parameters of the same
  // name.  A source that leads back to this query raises "Circular data link".
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  TDataSource* GetDataSource() const override { return DataSource(); }
  // Fills each parameter not given by the application from the master
  // field of the same name.
  void SetParamsFromDataSet();
  // Reopens the query for the master's current record.
  void RefreshParams();

  // ---- source datasets ----
  TSiftDataSets& DataSets() { return *datasets_; }
  void SetDataSets(const TSiftDataSets& value);
  void AddDataSet(TDataSet* dataset, const std::string& alias);
  void ClearDatasets();
  TDataSet* DataSetByName(const std::string& name) const { return datasets_->DataSetByName(name); }
  void ClearTempDatasets() { datasets_->ClearTempDatasets(); }

  // ---- options ----
  bool AutoDisableControls = false;
  bool UseDisplayLabel = false;
  std::string DateFormat;
  bool ShowWaitCursor = true;
  TOptimizeMethod WhereOptimizeMethod = omSetFilter;
  bool InMemResultSet = true;
  int32_t MapFileSize = 2000000;
  std::string About() const;

  // ---- state the execution reads and writes ----
  int32_t RowsAffected = 0;
  // The current result set (owned); none while closed.
  TResultSet* ResultSet() const { return resultSet_.get(); }
  // Opens on a result set built elsewhere (a subquery in FROM shown as a
  // dataset): nothing is parsed.  Call before Open.
  void SetReadyResultSet(std::unique_ptr<TResultSet> rs);
  bool ResultSetReady() const { return resultSetReady_; }
  // A new empty result set of the kind InMemResultSet asks for.
  std::unique_ptr<TResultSet> NewResultSet() const;
  // The disabled-dataset list: datasets whose fields read as null while
  // listed (the inner side of an outer join with no match).
  void DisableDataSet(TDataSet* ds);
  void EnableDataSet(TDataSet* ds);
  void ClearDisabledDataSets() { disabled_.clear(); }
  // The statement kind of the script statement being run; set while a
  // script runs.
  TSQLStatement ScriptStatementType = ssSelect;
  bool InScript() const { return inScript_; }
  // Extra field names collected by the grammar.
  std::vector<std::string>& ExtraFieldNames() { return extraFieldNames_; }

  // "DummyDate(x)" -> x.
  static void FixDummiesForQuerying(std::string& text);
  // FixDummiesForQuerying, then "DummyBoolean(True|False)" -> True|False.
  virtual void FixDummiesForFilter(std::string& text);

  // Table maintenance statements; nothing here (a descendant serves them).
  virtual void PopulateDatasets(TTableList& tables) { (void)tables; }
  virtual void DisposeDatasets() {}
  virtual void PackTable(TTableList& tables) { (void)tables; }
  virtual void ZapTable(TTableList& tables) { (void)tables; }
  virtual void ReindexTable(TTableList& tables) { (void)tables; }

  // ---- firing the hooks (each does nothing without a handler) ----
  bool HasOnSetFilter() const { return static_cast<bool>(OnSetFilter); }
  void DoProgress(TSiftProgressStatus status, int32_t min, int32_t max, int32_t position);
  // True when the handler asked to cancel.
  bool DoCancelQuery();

  // ---- the query as a dataset ----
  // Writes the rows to the delimited text file `FileName` (sift_export.cpp):
  // a header line of the names, then one line per row, CR LF after each.
  // An empty `FieldNames` is filled with the names of every field that is
  // not a blob.  Values and names go between `QuoteChar` when it is not
  // NUL, else between double quotes when they hold one, the separator, CR
  // or LF; the quote inside is doubled.  The file is replaced only when the
  // whole text was written.
  void WriteToTextFile(const std::string& FileName, char QuoteChar, char Separator, bool QuoteWhenNeeded,
                       TStringList& FieldNames);
  // Re-sorts the rows by the 0-based result columns.
  void SortByColumns(const std::vector<int32_t>& columns, bool descending);
  // Goes to the first row for which the expression (over the query's own
  // fields) is true.
  bool Find(const std::string& expression);
  bool Locate(const std::string& key_fields, const Variant& key_values, TLocateOptions options) override;
  Variant Lookup(const std::string& key_fields, const Variant& key_values, const std::string& result_fields) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  void SetRecNo(int n) override;
  bool IsSequenced() override;
  bool BookmarkValid(TBookmark bookmark) override;
  int CompareBookmarks(TBookmark a, TBookmark b) override;
  void SetFiltered(bool on) override;
  void SetFilterText(const std::string& text) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  bool ResultSetIsSequenced() const;
  TDataSet* SourceDataSet() const;
  int32_t SourceBookmark();
  // Bytes a buffer slot of the type takes.
  static int32_t GetFieldSize(TFieldType type, int32_t size);

  // ---- TExprContext: the component's half (the statement's half answers
  //      "no statement"; the execution wraps the analyzer for its own) ----
  bool MainDataSetOnly() const override { return true; }
  bool HasJoinOn() const override { return false; }
  TResultColumn* FindResultColumn(const std::string&) override { return nullptr; }
  TDataSet* FindDataSetByName(const std::string& name) override { return DataSetByName(name); }
  bool IsDataSetDisabled(TDataSet* ds) override;
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override;
  TParam* FindParam(const std::string& name) override { return params_->FindParam(name); }
  bool HasMasterSource() override;
  TDataSet* MasterDataSet() override;
  bool HasUDFEvents() override { return OnUDFCheck && OnUDFSolve; }
  bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType, int32_t& maxLen) override;
  Variant UDFSolve(const std::string& identifier, TParameterList* params) override;

  // ---- events ----
  TUDFCheckEvent OnUDFCheck;
  TUDFSolveEvent OnUDFSolve;
  TSiftProgressEvent OnProgress;
  // Under omSetRange a SELECT or UPDATE with one range conjunct asks
  // OnIndexNeededFor (ActivateIndex false) before the scan reports its
  // start, then OnIndexNeededFor (ActivateIndex true) and OnSetRange; the
  // range goes (OnCancelRange) before an UPDATE changes the records found.
  TIndexNeededForEvent OnIndexNeededFor;
  TSetRangeEvent OnSetRange;
  TCancelRangeEvent OnCancelRange;
  TBlobNeededEvent OnBlobNeeded;  // never fired
  TQueryNotifyEvent OnBeforeQuery;
  TQueryNotifyEvent OnAfterQuery;
  TCreateTableEvent OnCreateTable;
  TCreateTableEvent OnAlterTable;
  TCreateIndexEvent OnCreateIndex;
  TDropTableEvent OnDropTable;
  TDropIndexEvent OnDropIndex;
  TSyntaxErrorEvent OnSyntaxError;
  TSetFilterEvent OnSetFilter;
  TCancelFilterEvent OnCancelFilter;
  TCancelQueryEvent OnCancelQuery;
  TResolveDatasetEvent OnResolveDataset;
  TQueryScriptErrorEvent OnScriptError;
  TQueryFieldNameEvent OnQueryFieldName;
  TSetUserRangeEvent OnSetUserRange;
  TCancelUserRangeEvent OnCancelUserRange;

  // ISiftDataSetsOwner
  TComponent* SiftComponent() override { return this; }

protected:
  // ---- the dataset protocol ----
  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override;
  void GetBookmarkData(TRecordBuffer buffer, void* data) override;
  void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;
  int GetRecordSize() override;
  void InternalAddRecord(const void* buffer, bool append) override;
  void InternalClose() override;
  void InternalDelete() override;
  void InternalFirst() override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalInitFieldDefs() override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalLast() override;
  void InternalOpen() override;
  void InternalPost() override {}
  void InternalSetToRecord(TRecordBuffer buffer) override;
  bool IsCursorOpen() override { return resultSet_ != nullptr && cursorOpen_; }
  void InternalEdit() override;
  void InternalRefresh() override;
  bool GetCanModify() override { return true; }
  void Notification(TComponent* component, TOperation operation) override;

  // The frame around building one statement's rows: BeforeQuery, sources'
  // controls and positions, the execution, AfterQuery.
  void SafeCreateResultSet(TSqlAnalizer& analyzer);

private:
  friend class TSiftDataLink;
  // Implementation details follow.
  void QueryChanged();
  std::string LexerText() const;
  std::string TrimmedSQL() const;
  std::unique_ptr<TSqlAnalizer> NewAnalyzer();
  // Parses `text` into the analyzer; a failure goes to OnSyntaxError (then a
  // silent abort) or raises the positioned syntax error.
  void ParseStatement(TSqlAnalizer& analyzer, const std::string& text);
  void DoSelect(TSqlAnalizer& analyzer);
  void DoExecSQL(TSqlAnalizer& analyzer);
  // False when OnScriptError asked to end the script.
  bool RunOneStatement(const std::string& text);
  void LayoutColumns();
  void CompileFilter();
  void ReadRecord(TRecordBuffer buffer, int32_t index);
  bool FilterRecord(TRecordBuffer buffer);
  TRecordBuffer FieldBuffer();
  TkpField* ColumnOf(TField* field) const;
  int32_t LocateRecord(const std::string& key_fields, const Variant& key_values, TLocateOptions options);
  // The row index (0-based) of the record a field read or write addresses.
  int32_t BufferIndex(TRecordBuffer buffer) const;

  std::unique_ptr<TStringList> sql_;
  std::unique_ptr<TStringList> sqlScript_;
  std::unique_ptr<TParams> params_;
  std::unique_ptr<TParamsAsFields> paramsAsFields_;
  std::unique_ptr<TSiftDataSets> datasets_;
  std::unique_ptr<TSiftDataLink> dataLink_;
  std::vector<TDataSet*> disabled_;
  std::vector<std::string> extraFieldNames_;
  std::unique_ptr<TResultSet> resultSet_;
  bool resultSetReady_ = false;
  bool inScript_ = false;
  bool cursorOpen_ = false;
  // Parameter values kept across the statements of a script.
  std::unique_ptr<TParams> scriptParams_;

  // Dataset side.
  struct TColumnSlot {
    TkpField* column = nullptr;
    TFieldType type = ftUnknown;  // of the column's field
    int32_t size = 0;             // text width of a string field
    bool date_source = false;     // a zero value reads as null
    int32_t offset = 0;           // of the not-null byte in the buffer
    int32_t width = 0;            // not-null byte and value
  };
  std::vector<TColumnSlot> slots_;    // per result column
  std::vector<int32_t> fieldColumn_;  // field number - 1 -> column index
  int32_t dataSize_ = 0;
  int32_t recordCount_ = 0;
  int32_t current_ = -1;
  TRecordBuffer filterBuffer_ = nullptr;
  std::unique_ptr<TExprParser> filterExpr_;
};

// The published form: adds nothing.
class TSift : public TCustomSift {
public:
  explicit TSift(TComponent* owner = nullptr) : TCustomSift(owner) {}
};
