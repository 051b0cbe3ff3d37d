// ORDER BY and UNION: two after-scan stages of a SELECT.
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
#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "sql_engine/front/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_scan.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"

namespace {

// A sort list in the store the query asks for.
std::unique_ptr<TkpSortList> NewSortList(const TCustomSift& q) {
  if (q.InMemResultSet) return std::make_unique<TMemSortList>(false);
  return std::make_unique<TFileSortList>(false, static_cast<uint64_t>(q.MapFileSize > 0 ? q.MapFileSize : 1));
}

// A null cell leaves the key null.
void PutKey(TSrtField& key, TkpField& cell) {
  if (cell.GetIsNull()) return;
  switch (cell.DataType) {
    case ttString: key.SetAsString(cell.GetAsString()); break;
    case ttFloat: key.SetAsFloat(cell.GetAsFloat()); break;
    case ttInteger: key.SetAsInteger(cell.GetAsInteger()); break;
    case ttBoolean: key.SetAsBoolean(cell.GetAsBoolean()); break;
  }
}

// Copies the current row's value of `src` into the current row of `dst`.
void CopyCell(TkpField& src, TkpField& dst) {
  if (src.GetIsNull()) return;
  if (src.DataType == dst.DataType) {
    switch (dst.DataType) {
      case ttString: {
        // The bytes as stored: a stored empty text stays an empty text.
        std::vector<char> data(std::max(src.ColWidth, dst.ColWidth), '\0');
        src.GetData(data.data());
        dst.SetData(data.data());
        break;
      }
      case ttFloat: dst.SetAsFloat(src.GetAsFloat()); break;
      case ttInteger: dst.SetAsInteger(src.GetAsInteger()); break;
      case ttBoolean: dst.SetAsBoolean(src.GetAsBoolean()); break;
    }
    return;
  }
  if (dst.DataType == ttFloat && src.DataType == ttInteger) {
    dst.SetAsFloat(src.GetAsInteger());
    return;
  }
  if (dst.DataType == ttInteger && src.DataType == ttFloat) {
    // A whole number fits; anything else is refused as the typed-in text
    // would be, rather than rounded away.
    const double v = src.GetAsFloat();
    if (!std::isfinite(v) || std::trunc(v) != v) SiftErrorFmt(SiftMsg::SIsInvalidIntegerValue, {src.GetAsString()});
    dst.SetAsFloat(v);
    return;
  }
  const std::string text = src.GetAsString();
  // An empty text is null for every other type.
  if (src.DataType == ttString && text.empty()) return;
  // The other pairs take the value as its text, as the column would take
  // it typed in (and refuse what it cannot read).
  dst.SetAsString(text);
}

// The width a string column needs to hold the branch's values.
int32_t NeededWidth(TResultSet& branch, int32_t column) {
  TkpField* theirs = branch.Fields.GetItem(column);
  if (theirs->DataType == ttString) return theirs->ColWidth;
  int32_t need = 0;
  for (int32_t r = 1; r <= branch.GetRecordCount(); ++r) {
    branch.SetRecno(r);
    need = std::max(need, static_cast<int32_t>(theirs->GetAsString().size()));
  }
  return need;
}

// A result set like `old` with string column i `widths[i]` wide, holding
// old's rows (without their bookmarks).
std::unique_ptr<TResultSet> Widened(const TCustomSift& q, TResultSet& old, const std::vector<int32_t>& widths) {
  std::unique_ptr<TResultSet> fresh = q.NewResultSet();
  fresh->SourceDataSet = old.SourceDataSet;
  fresh->SourceBookmarked = old.SourceBookmarked;
  for (int32_t i = 0; i < old.Fields.Count(); ++i) {
    TkpField* f = old.Fields.GetItem(i);
    const bool text = f->DataType == ttString;
    const int32_t width = text ? widths[static_cast<size_t>(i)] : 0;
    // The type is final already: no cast is passed, so a CHAR cast's length
    // does not undo the widening.
    TkpField* g = fresh->AddField(f->FieldName, f->QualifiedName, f->DataType, width, f->SourceField, f->ReadOnly, 0,
                                  0, f->UseDisplayLabel);
    g->CastType = f->CastType;
    g->CastLen = f->CastLen;
    if (text && width > f->ColWidth) {
      if (g->CastLen != 0) g->CastLen = static_cast<uint16_t>(width);
      // A source field narrower than the column would size the query's
      // field too small for the other branch's values.
      if (g->SourceField && g->SourceField->Size() < width) g->SourceField = nullptr;
    }
  }
  for (int32_t r = 1; r <= old.GetRecordCount(); ++r) {
    old.SetRecno(r);
    fresh->Insert();
    for (int32_t i = 0; i < old.Fields.Count(); ++i) CopyCell(*old.Fields.GetItem(i), *fresh->Fields.GetItem(i));
  }
  return fresh;
}

}  // namespace

void TSiftScan::DoOrderBy(TResultSet& rs, const TOrderByList& list) {
  const int32_t count = rs.GetRecordCount();
  if (count == 0 || list.Count() == 0) return;
  std::vector<TkpField*> cells;
  std::unique_ptr<TkpSortList> keys = NewSortList(q_);
  for (int32_t i = 0; i < list.Count(); ++i) {
    const TOrderByItem* item = list.Get(i);
    if (item->ColumnIndex < 0 || item->ColumnIndex >= rs.Fields.Count()) SiftError(SiftMsg::SWrongIndexField);
    TkpField* cell = rs.Fields.GetItem(item->ColumnIndex);
    keys->AddField(cell->DataType, cell->DataType == ttString ? cell->GetColWidth() : 0, item->Descending);
    cells.push_back(cell);
  }
  // Ties keep the order the rows came in.
  keys->AddField(ttInteger, 0, false);
  TSrtField* rowKey = keys->Fields.Items(static_cast<int32_t>(cells.size()));
  for (int32_t r = 1; r <= count; ++r) {
    rs.SetRecno(r);
    keys->Insert();
    keys->SetSourceRecno(r);
    for (size_t k = 0; k < cells.size(); ++k) PutKey(*keys->Fields.Items(static_cast<int32_t>(k)), *cells[k]);
    rowKey->SetAsInteger(r);
  }
  keys->Sort();
  rs.SortWithList(*keys);
}

void TSiftScan::RunUnion() {
  TSqlAnalizer* branch = a_.UnionAnalizer.get();
  if (!branch || !result_) return;
  // The branch of a top-level statement has no parent of its own to take
  // the parameters from.
  if (!branch->Parent) {
    const TSqlAnalizer* root = &a_;
    while (root->Parent) root = root->Parent;
    if (!branch->ParamSource) branch->ParamSource = root->ParamSource;
    if (!branch->ParamsAsFieldsSource) branch->ParamsAsFieldsSource = root->ParamsAsFieldsSource;
  }
  branch->Statement = ssSelect;
  TSiftScan run(*branch, q_);
  run.CreateResultSet();
  if (run.ResultSet()) DoUnion(*run.ResultSet());
}

void TSiftScan::DoUnion(TResultSet& branch) {
  const int32_t n = std::min(result_->Fields.Count(), branch.Fields.Count());
  std::vector<int32_t> widths(static_cast<size_t>(result_->Fields.Count()));
  bool widen = false;
  for (int32_t i = 0; i < result_->Fields.Count(); ++i) {
    TkpField* mine = result_->Fields.GetItem(i);
    widths[static_cast<size_t>(i)] = mine->ColWidth;
    if (i >= n || mine->DataType != ttString) continue;
    const int32_t need = NeededWidth(branch, i);
    if (need > mine->ColWidth) {
      widths[static_cast<size_t>(i)] = need;
      widen = true;
    }
  }
  if (widen) result_ = Widened(q_, *result_, widths);
  for (int32_t r = 1; r <= branch.GetRecordCount(); ++r) {
    branch.SetRecno(r);
    result_->Insert();  // a new row holds no bookmark
    for (int32_t i = 0; i < n; ++i) CopyCell(*branch.Fields.GetItem(i), *result_->Fields.GetItem(i));
  }
  result_->SourceBookmarked = false;
}
