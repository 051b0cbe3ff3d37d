// Data changes (see sift_modify.h).
#include "sql_engine/query/sift_modify.h"

#include <algorithm>

#include "platform/db.h"
#include "platform/db_common.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/cnv_str_utils.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_subqueries.h"
#include "sql_engine/store/field_expr_type.h"
#include "sql_engine/store/result_set.h"

namespace {

// Binary field types; memo types are text.
bool IsBinaryType(TFieldType t) {
  switch (t) {
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftADT:
    case ftArray:
    case ftReference:
    case ftDataSet:
    case ftOraBlob: return true;
    default: return false;
  }
}

bool IsDateType(TFieldType t) { return t == ftDate || t == ftTime || t == ftDateTime; }

// The data fields of a dataset in field order.
std::vector<TField*> DataFields(TDataSet* ds) {
  std::vector<TField*> out;
  for (TField* f : ds->Fields())
    if (f->FieldKind() == fkData) out.push_back(f);
  return out;
}

// A bookmark handed back on every path.
class TBookmarkHold {
public:
  explicit TBookmarkHold(TDataSet* ds) : ds_(ds), bm_(ds->GetBookmark()) {}
  ~TBookmarkHold() {
    BestEffort([&] { ds_->FreeBookmark(bm_); });
  }
  TBookmarkHold(const TBookmarkHold&) = delete;
  TBookmarkHold& operator=(const TBookmarkHold&) = delete;
  TBookmark Get() const { return bm_; }

private:
  TDataSet* ds_;
  TBookmark bm_;
};

// Puts a dataset back on the record it stood on (when it still can).
class TCursorHold {
public:
  explicit TCursorHold(TDataSet* ds) : hold_(ds), ds_(ds) {}
  ~TCursorHold() {
    try {
      if (hold_.Get() != 0 && ds_->Active() && ds_->State() == dsBrowse) ds_->GotoBookmark(hold_.Get());
    } catch (...) {
      // The record may be gone; the cursor stays where it is.
    }
  }
  TCursorHold(const TCursorHold&) = delete;
  TCursorHold& operator=(const TCursorHold&) = delete;

private:
  TBookmarkHold hold_;
  TDataSet* ds_;
};

[[noreturn]] void ModifyError(const std::string& pattern, std::initializer_list<FmtArg> args) {
  SiftErrorText(FormatMessage(pattern, args));
}

// The source record of the result set's current row, for reading a blob.
void GotoSourceRecord(TResultSet& rows) {
  const int32_t bm = rows.GetSourceBookmark();
  if (bm == 0) SiftErrorText("A blob value cannot be read: its result row keeps no bookmark of its record");
  rows.SourceDataSet->GotoBookmark(bm);
}

}  // namespace

// One value ready for one target field, in the field's own kind.
struct TSiftModify::TModifyValue {
  TField* Field = nullptr;
  bool Null = true;
  bool Raw = false;  // Text goes in as it is (binary bytes, or the framework's text conversion)
  TExprType Type = ttString;
  std::string Text;
  double Float = 0;
  int32_t Integer = 0;
  bool Boolean = false;

  explicit TModifyValue(TField* f) : Field(f), Type(Field2Exprtype(f->DataType())) {}

  // The value of an expression at the current row; `hex` decodes a text for
  // a binary field.
  void FromExpression(TExpression* e, bool hex) {
    TExpression* n = e ? e->GetCurrentNode() : nullptr;
    if (n && !n->GetIsNull()) From(n, n->GetExprType(), hex);
  }

  // The value of a result cell at the result set's current row.
  void FromCell(TkpField* cell) {
    if (!cell->GetIsNull()) From(cell, cell->DataType, false);
  }

  // A non-null value of an expression node or a result cell, of `type`.
  template <class Source>
  void From(Source* source, TExprType type, bool hex) {
    Null = false;
    if (IsBinaryType(Field->DataType())) {
      Raw = true;
      Text = hex ? HexToString(source->GetAsString()) : source->GetAsString();
      return;
    }
    // A text for a date field goes through the framework's date reading.
    if (IsDateType(Field->DataType()) && type == ttString) {
      Raw = true;
      Text = source->GetAsString();
      return;
    }
    switch (Type) {
      case ttString: Text = source->GetAsString(); break;
      case ttFloat: Float = source->GetAsFloat(); break;
      case ttInteger: Integer = source->GetAsInteger(); break;
      case ttBoolean: Boolean = source->GetAsBoolean(); break;
    }
  }

  // The value of a source field (a blob or memo read from its record).
  void FromField(TField* source) {
    if (source->IsNull()) return;
    Null = false;
    Raw = true;
    Text = source->AsString();
  }

  // The value of a source field at its dataset's current record, in this
  // field's kind.  A text goes into a number or logical field by its
  // digits (blank text is null); a text that is no number fails here,
  // before anything is appended.
  void FromSourceField(TField* source) {
    if (source->IsNull()) return;
    const bool sourceText = Field2Exprtype(source->DataType()) == ttString;
    if (IsBinaryType(Field->DataType()) || Type == ttString || (IsDateType(Field->DataType()) && sourceText)) {
      Null = false;
      Raw = IsBinaryType(Field->DataType()) || Type != ttString;
      Text = source->AsString();
      return;
    }
    if (sourceText) {
      const std::string text = Trim(source->AsString());
      if (text.empty()) return;
      Null = false;
      switch (Type) {
        case ttFloat: Float = static_cast<double>(StrToFloat(text)); break;
        case ttInteger: Integer = RoundToInt32(StrToFloat(text)); break;
        case ttBoolean: Boolean = text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y'; break;
        case ttString: break;
      }
      return;
    }
    Null = false;
    switch (Type) {
      case ttFloat: Float = source->AsFloat(); break;
      case ttInteger: Integer = source->AsInteger(); break;
      case ttBoolean: Boolean = source->AsBoolean(); break;
      case ttString: break;
    }
  }

  void Store() const {
    if (Null) {
      Field->Clear();
      return;
    }
    if (Raw) {
      Field->SetAsString(Text);
      return;
    }
    switch (Type) {
      case ttString: Field->SetAsString(Text); break;
      case ttFloat: Field->SetAsFloat(Float); break;
      case ttInteger: Field->SetAsInteger(Integer); break;
      case ttBoolean: Field->SetAsBoolean(Boolean); break;
    }
  }
};

// ----------------------------------------------------------- construction

TSiftModify::TSiftModify(TSiftPlan& plan, TSiftSubqueries& subqueries)
    : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()), subqueries_(subqueries) {}

TSiftModify::~TSiftModify() = default;

TDataSet* TSiftModify::Main() const { return plan_.MainDataSet(); }

// ------------------------------------------------------------ one record

namespace {

// Ends a pending append or edit that failed: nothing of the record may be
// posted by a later browse-mode check, and its lock goes.
void CancelPending(TDataSet* ds) {
  BestEffort([&] {
    if (ds->State() == dsInsert || ds->State() == dsEdit) ds->Cancel();
  });
}

// Goes to a record the scan collected; false when the dataset no longer
// shows it there (another user deleted it, or it left the dataset's own
// filter): it is out of the statement's reach.
bool GotoCollectedRecord(TDataSet* ds, TBookmark bm) {
  try {
    ds->GotoBookmark(bm);
  } catch (const EDatabaseError& e) {
    if (e.Message() == dbmsg::RecordNotFound) return false;
    throw;
  }
  return true;
}

}  // namespace

void TSiftModify::AppendRecord(TDataSet* ds, std::vector<TModifyValue>& values) {
  ds->Append();
  try {
    for (const TModifyValue& v : values) v.Store();
    ds->Post();
  } catch (...) {
    CancelPending(ds);
    throw;
  }
  ++q_.RowsAffected;
}

bool TSiftModify::EditMatchingRecord() {
  // Edit locks the record and reads it again: the scan's image may be older
  // than another user's post, and a record another user deleted meanwhile
  // is not found, so it is out of the statement's reach.
  try {
    Main()->Edit();
  } catch (const EDatabaseError& e) {
    if (e.Message() == dbmsg::RecordNotFound) return false;
    throw;
  }
  bool matches = false;
  try {
    matches = plan_.TestWhere();
  } catch (...) {
    CancelPending(Main());
    throw;
  }
  if (!matches) Main()->Cancel();
  return matches;
}

// ----------------------------------------------------------------- DELETE

bool TSiftModify::DoDeleteRecord() {
  TBookmarkHold before(Main());
  // The record is deleted under the lock its edit took, so it cannot
  // change between the test and the delete.
  if (EditMatchingRecord()) {
    try {
      Main()->Delete();
    } catch (...) {
      CancelPending(Main());
      throw;
    }
    ++q_.RowsAffected;
  }
  if (Main()->Eof() || before.Get() == 0) return true;
  // With deleted records shown the cursor stays on the deleted record, and
  // on a record let go that still passes the dataset's own filter: the scan
  // then steps on by itself.
  TBookmarkHold after(Main());
  return after.Get() == 0 || Main()->CompareBookmarks(before.Get(), after.Get()) != 0;
}

// ----------------------------------------------------------------- UPDATE

TSiftModify::TMarkedRecords::~TMarkedRecords() { Clear(); }

void TSiftModify::TMarkedRecords::Clear() {
  for (const int32_t bm : Bookmarks) {
    BestEffort([&] { DataSet->FreeBookmark(bm); });
  }
  Bookmarks.clear();
}

void TSiftModify::CompileUpdateItems() {
  if (a_.Statement != ssUpdate) return;
  for (int32_t i = 0; i < a_.UpdateColumnList.Count(); ++i) {
    TUpdateItem* item = a_.UpdateColumnList.Get(i);
    item->Field = plan_.FindFieldByName(item->ColumnName);
    if (!item->Field || item->Field->DataSet() != Main()) SiftErrorFmt(SiftMsg::SWrongFieldName, {item->ColumnName});
    // The values of a mass update come from the subquery's columns.
    if (a_.MassUpdate || item->ValueText.empty()) continue;
    std::string text = plan_.QualifiedField(item->ValueText, true);
    q_.FixDummiesForFilter(text);
    text = subqueries_.ScalarSubqueries(text);
    auto parser = std::make_unique<TExprParser>(&plan_, Main());
    parser->ParseExpression(text);
    item->Compiled = sift::OwnExpr(std::move(parser));
  }
}

void TSiftModify::MarkUpdateRecord() {
  marked_.DataSet = Main();
  const TBookmark bm = Main()->GetBookmark();
  if (bm != 0) marked_.Bookmarks.push_back(bm);
}

void TSiftModify::DoUpdateRecords(bool cancelled) {
  // The records are found first and changed afterwards: a change that moves
  // a record in the active order (a key of the active tag) must not move it
  // ahead of the scan, nor out of its reach.
  // A statement cancelled during the scan has changed nothing yet, and
  // changes nothing.
  if (cancelled) {
    marked_.Clear();
    return;
  }
  TResultSet* rows = a_.MassUpdate ? DoMassiveUpdates() : nullptr;
  for (size_t r = 0; r < marked_.Bookmarks.size(); ++r) {
    if (!GotoCollectedRecord(Main(), marked_.Bookmarks[r])) continue;
    DoUpdateRecord(r, rows);
  }
  marked_.Clear();
}

TResultSet* TSiftModify::DoMassiveUpdates() {
  // Record k takes row k of the subquery: every count is checked before
  // any record changes.
  const int32_t items = a_.UpdateColumnList.Count();
  if (subqueries_.Count() != 1 || !subqueries_.HasRun(0)) SiftError(SiftMsg::SSubqueryWrongTables);
  TResultSet* rows = subqueries_.Rows(0);
  const int32_t columns = rows ? rows->Fields.Count() : 0;
  const int32_t count = rows ? rows->GetRecordCount() : 0;
  if (columns < items) ModifyError("UPDATE sets %d fields but the subquery gives %d columns", {items, columns});
  if (count < static_cast<int32_t>(marked_.Bookmarks.size()))
    ModifyError("UPDATE: the table has %d records but the subquery gives %d rows",
                {static_cast<int32_t>(marked_.Bookmarks.size()), count});
  return rows;
}

void TSiftModify::DoUpdateRecord(size_t r, TResultSet* rows) {
  // Locked and read again first: the values are computed from the record
  // as it now stands, and a record that left the WHERE meanwhile is
  // skipped.  Record r keeps row r of a mass update's subquery either way.
  if (!EditMatchingRecord()) return;
  const int32_t items = a_.UpdateColumnList.Count();
  try {
    std::vector<TModifyValue> values;
    values.reserve(static_cast<size_t>(items));
    if (rows) rows->SetRecno(static_cast<int32_t>(r) + 1);
    for (int32_t j = 0; j < items; ++j) {
      TUpdateItem* item = a_.UpdateColumnList.Get(j);
      values.emplace_back(item->Field);
      if (rows) values.back().FromCell(rows->Fields.GetItem(j));
      else if (!item->ValueText.empty()) values.back().FromExpression(item->Compiled->Expression.get(), true);
    }
    for (const TModifyValue& v : values) v.Store();
    Main()->Post();
  } catch (...) {
    CancelPending(Main());
    throw;
  }
  ++q_.RowsAffected;
}

// ----------------------------------------------------------------- INSERT

void TSiftModify::ResolveInsertTargets() {
  q_.PopulateDatasets(a_.TableList);
  for (int32_t i = 0; i < a_.InsertList.Count(); ++i) {
    TInsertItem* item = a_.InsertList.Get(i);
    if (item->FromString) {
      if (!q_.OnResolveDataset) SiftErrorFmt(SiftMsg::SWrongDataSetName, {item->TableName});
      std::string tableName = item->TableName;
      std::unique_ptr<TDataSet> ds;
      q_.OnResolveDataset(&q_, item->TableName, tableName, ds);
      if (!tableName.empty()) item->TableName = tableName;
      if (!ds) SiftErrorFmt(SiftMsg::SWrongDataSetName, {item->TableName});
      item->DataSet = q_.DataSets().AddTempDataSet(std::move(ds), item->TableName)->DataSet();
    } else {
      item->DataSet = q_.DataSetByName(TrimSquareBrackets(item->TableName));
      if (!item->DataSet) SiftErrorFmt(SiftMsg::SWrongDataSetName, {item->TableName});
    }
    if (!item->DataSet->Active()) {
      try {
        item->DataSet->Open();
      } catch (const Exception&) {
        SiftErrorFmt(SiftMsg::SDataSetNotOpened, {item->TableName});
      }
      if (!item->DataSet->Active()) SiftErrorFmt(SiftMsg::SDataSetNotOpened, {item->TableName});
    }
    for (const std::string& name : item->Columns)
      if (!item->DataSet->FindField(TrimSquareBrackets(name))) SiftErrorFmt(SiftMsg::SInsertWrongFieldName, {name});
  }
}

void TSiftModify::DoInsertStatement() {
  ResolveInsertTargets();
  if (a_.InsertList.Count() == 0) return;
  plan_.SetMainDataSet(a_.InsertList.Get(0)->DataSet);
  subqueries_.RunWhereSubqueries();

  // Subqueries that value texts name are scalar values; the others, in
  // order, are the sources of the items without VALUES.
  std::vector<bool> scalar(subqueries_.Count(), false);
  for (int32_t i = 0; i < a_.InsertList.Count(); ++i)
    for (const std::string& v : a_.InsertList.Get(i)->Values)
      for (size_t k = 0; k < subqueries_.Count(); ++k)
        if (v.find("(subquery " + std::to_string(k) + ")") != std::string::npos) scalar[k] = true;
  size_t nextSource = 0;

  // Everything is compiled and checked before the first record is appended.
  struct TPlan {
    TInsertItem* Item;
    std::vector<TField*> Targets;  // target field per value or column
    TResultSet* Rows = nullptr;    // INSERT ... SELECT
  };
  std::vector<TPlan> plans;
  for (int32_t i = 0; i < a_.InsertList.Count(); ++i) {
    TInsertItem* item = a_.InsertList.Get(i);
    TPlan plan{item, {}, nullptr};
    int32_t given = static_cast<int32_t>(item->Values.size());
    if (item->Values.empty()) {
      while (nextSource < subqueries_.Count() && (scalar[nextSource] || !subqueries_.HasRun(nextSource))) ++nextSource;
      if (nextSource >= subqueries_.Count())
        ModifyError("INSERT INTO %s has neither VALUES nor a SELECT", {item->TableName});
      plan.Rows = subqueries_.Rows(nextSource++);
      given = plan.Rows ? plan.Rows->Fields.Count() : 0;
    }
    // With a field list, value i (or column i) goes to field i, and the
    // counts must agree; without one the values fill the first fields.
    if (!item->Columns.empty()) {
      if (given != static_cast<int32_t>(item->Columns.size()))
        ModifyError("INSERT INTO %s: %d values for %d fields",
                    {item->TableName, given, static_cast<int32_t>(item->Columns.size())});
      for (const std::string& name : item->Columns)
        plan.Targets.push_back(item->DataSet->FieldByName(TrimSquareBrackets(name)));
    } else {
      const std::vector<TField*> fields = DataFields(item->DataSet);
      if (given > static_cast<int32_t>(fields.size()))
        ModifyError("INSERT INTO %s: %d values for %d fields",
                    {item->TableName, given, static_cast<int32_t>(fields.size())});
      plan.Targets.assign(fields.begin(), fields.begin() + given);
    }
    if (plan.Rows) {
      // A blob column is read from its source record: the rows must keep
      // its bookmark.
      for (int32_t c = 0; c < plan.Rows->Fields.Count(); ++c) {
        TkpField* cell = plan.Rows->Fields.GetItem(c);
        if (cell->SourceField && cell->SourceField->IsBlob() &&
            (!plan.Rows->SourceBookmarked || cell->SourceField->DataSet() != plan.Rows->SourceDataSet))
          ModifyError("INSERT INTO %s: the blob column %s keeps no bookmark of its record",
                      {item->TableName, cell->FieldName});
      }
    } else {
      item->CompiledValues.clear();
      for (const std::string& v : item->Values) {
        if (SameText(Trim(v), "NULL")) {
          item->CompiledValues.push_back(NoExpr());
          continue;
        }
        std::string text = v;
        TCustomSift::FixDummiesForQuerying(text);
        q_.FixDummiesForFilter(text);
        text = subqueries_.ScalarSubqueries(text);
        auto parser = std::make_unique<TExprParser>(&plan_, item->DataSet);
        parser->ParseExpression(text);
        item->CompiledValues.push_back(sift::OwnExpr(std::move(parser)));
      }
    }
    plans.push_back(std::move(plan));
  }

  for (TPlan& plan : plans) {
    TDataSet* target = plan.Item->DataSet;
    if (!plan.Rows) {
      std::vector<TModifyValue> values;
      for (size_t k = 0; k < plan.Targets.size(); ++k) {
        values.emplace_back(plan.Targets[k]);
        if (plan.Item->CompiledValues[k])
          values.back().FromExpression(plan.Item->CompiledValues[k]->Expression.get(), true);
      }
      AppendRecord(target, values);
      continue;
    }
    TResultSet* rows = plan.Rows;
    std::unique_ptr<TCursorHold> source;
    if (rows->SourceDataSet && rows->SourceDataSet->Active() && rows->SourceDataSet != target)
      source = std::make_unique<TCursorHold>(rows->SourceDataSet);
    for (int32_t r = 1; r <= rows->GetRecordCount(); ++r) {
      rows->SetRecno(r);
      std::vector<TModifyValue> values;
      for (size_t k = 0; k < plan.Targets.size(); ++k) {
        values.emplace_back(plan.Targets[k]);
        TkpField* cell = rows->Fields.GetItem(static_cast<int32_t>(k));
        if (cell->SourceField && cell->SourceField->IsBlob()) {
          if (cell->GetIsNull()) continue;
          GotoSourceRecord(*rows);
          values.back().FromField(cell->SourceField);
        } else {
          values.back().FromCell(cell);
        }
      }
      AppendRecord(target, values);
    }
  }
}

// ---------------------------------------------------------- SELECT INTO

void TSiftModify::DoIntoTableOperation(TResultSet* rows) {
  const int index = q_.DataSets().IndexOfAlias(TrimSquareBrackets(a_.IntoTable));
  if (index < 0) SiftError(SiftMsg::SWrongIntoTable);
  TDataSet* into = q_.DataSets().GetItem(index)->DataSet();
  if (!into) SiftError(SiftMsg::SWrongIntoTable);
  if (!into->Active()) {
    try {
      into->Open();
    } catch (const Exception&) {
      SiftErrorFmt(SiftMsg::SDataSetNotOpened, {a_.IntoTable});
    }
  }
  if (!rows || rows->GetRecordCount() == 0) return;

  // Only columns that read a field are copied, from the source record
  // itself (not from the result cell, which may be cut to the column's
  // width), into the INTO field of the source field's name.  The first
  // such column names the source dataset; without one nothing is copied.
  TDataSet* source = nullptr;
  for (int32_t c = 0; c < rows->Fields.Count() && !source; ++c)
    if (TField* f = rows->Fields.GetItem(c)->SourceField) source = f->DataSet();
  if (!source) return;

  // The rows keep bookmarks of one dataset only (the main table's): a
  // column of any other dataset, or rows that keep none (grouped, united,
  // cross-tab rows), would copy whatever record that dataset stands on.
  std::vector<std::pair<TField*, TField*>> pairs;
  for (int32_t c = 0; c < rows->Fields.Count(); ++c) {
    TkpField* cell = rows->Fields.GetItem(c);
    if (!cell->SourceField) continue;
    TField* target = into->FindField(cell->SourceField->FieldName());
    if (!target || target->FieldKind() != fkData) continue;
    if (!rows->SourceBookmarked || cell->SourceField->DataSet() != rows->SourceDataSet) {
      if (cell->SourceField->IsBlob())
        ModifyError("SELECT ... INTO %s: the blob column %s keeps no bookmark of its record",
                    {a_.IntoTable, cell->FieldName});
      ModifyError("SELECT ... INTO %s: the column %s keeps no bookmark of its record", {a_.IntoTable, cell->FieldName});
    }
    pairs.emplace_back(cell->SourceField, target);
  }
  if (pairs.empty())
    ModifyError("SELECT ... INTO %s: no result column reads a field the table also has", {a_.IntoTable});

  const int32_t recno = rows->GetRecno();
  // A row without a record (the unmatched side of an outer join) has
  // nothing to copy: refused before the first record is appended.
  for (int32_t r = 1; r <= rows->GetRecordCount(); ++r) {
    rows->SetRecno(r);
    if (rows->GetSourceBookmark() <= 0)
      ModifyError("SELECT ... INTO %s: result row %d keeps no bookmark of its record", {a_.IntoTable, r});
  }

  std::unique_ptr<TCursorHold> hold;
  if (source->Active() && source != into) hold = std::make_unique<TCursorHold>(source);
  for (int32_t r = 1; r <= rows->GetRecordCount(); ++r) {
    rows->SetRecno(r);
    // The values are read before the append: the INTO table may be the
    // source itself, whose cursor the append moves to the new record.
    GotoSourceRecord(*rows);
    std::vector<TModifyValue> values;
    for (auto& [from, target] : pairs) {
      values.emplace_back(target);
      values.back().FromSourceField(from);
    }
    AppendRecord(into, values);
  }
  if (recno >= 1 && recno <= rows->GetRecordCount()) rows->SetRecno(recno);
}
