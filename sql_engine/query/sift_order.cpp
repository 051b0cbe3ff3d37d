// ORDER BY, DISTINCT, TOP and UNION (see sift_order.h).
#include "sql_engine/query/sift_order.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_result.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"

namespace {

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
  std::unique_ptr<TResultSet> fresh = InitializeResultSet(q);
  fresh->SourceDataSet = old.SourceDataSet;
  fresh->SourceBookmarked = old.SourceBookmarked;
  for (int32_t i = 0; i < old.Fields.Count(); ++i) {
    TkpField* f = old.Fields.GetItem(i);
    const bool text = f->DataType == ttString;
    const int32_t width = text ? widths[static_cast<size_t>(i)] : 0;
    // The type is final already: no cast is passed, so a CHAR cast's length
    // does not undo the widening.
    TkpField* g = fresh->AddField(f->FieldName, f->QualifiedName, f->DataType, width, f->SourceField, f->ReadOnly, 0, 0,
                                  f->UseDisplayLabel);
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

TSiftOrder::TSiftOrder(TSiftPlan& plan) : a_(plan.Analyzer()), q_(plan.Query()) {}

void TSiftOrder::DoOrderBy(TResultSet& rs, const TOrderByList& list) {
  const int32_t count = rs.GetRecordCount();
  if (count == 0 || list.Count() == 0) return;
  std::vector<TkpField*> cells;
  std::unique_ptr<TkpSortList> keys = CreateSortList(q_, false);
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

void TSiftOrder::DoUnion(std::unique_ptr<TResultSet>& rows, TResultSet& branch) {
  const int32_t n = std::min(rows->Fields.Count(), branch.Fields.Count());
  std::vector<int32_t> widths(static_cast<size_t>(rows->Fields.Count()));
  bool widen = false;
  for (int32_t i = 0; i < rows->Fields.Count(); ++i) {
    TkpField* mine = rows->Fields.GetItem(i);
    widths[static_cast<size_t>(i)] = mine->ColWidth;
    if (i >= n || mine->DataType != ttString) continue;
    const int32_t need = NeededWidth(branch, i);
    if (need > mine->ColWidth) {
      widths[static_cast<size_t>(i)] = need;
      widen = true;
    }
  }
  if (widen) rows = Widened(q_, *rows, widths);
  for (int32_t r = 1; r <= branch.GetRecordCount(); ++r) {
    branch.SetRecno(r);
    rows->Insert();  // a new row holds no bookmark
    for (int32_t i = 0; i < n; ++i) CopyCell(*branch.Fields.GetItem(i), *rows->Fields.GetItem(i));
  }
  rows->SourceBookmarked = false;
}

void TSiftOrder::DoDistinct(TResultSet& rows) {
  // Rows equal in every visible column keep their first occurrence.
  std::unordered_set<std::string> seen;
  std::vector<int32_t> drop;
  const int32_t n = rows.GetRecordCount();
  for (int32_t r = 1; r <= n; ++r) {
    rows.SetRecno(r);
    std::string key;
    for (int32_t i = 0; i < rows.Fields.Count(); ++i) {
      if (a_.ColumnList.Get(i)->Auxiliary) continue;
      TkpField* f = rows.Fields.GetItem(i);
      if (f->GetIsNull()) {
        key += '\0';
        continue;
      }
      key += '\1';
      switch (f->DataType) {
        case ttString: {
          const std::string s = f->GetAsString();
          const uint32_t len = static_cast<uint32_t>(s.size());
          key.append(reinterpret_cast<const char*>(&len), 4);
          key += s;
          break;
        }
        case ttFloat: {
          const double d = f->GetAsFloat();
          key.append(reinterpret_cast<const char*>(&d), 8);
          break;
        }
        case ttInteger: {
          const int32_t v = f->GetAsInteger();
          key.append(reinterpret_cast<const char*>(&v), 4);
          break;
        }
        case ttBoolean: key += f->GetAsBoolean() ? 'T' : 'F'; break;
      }
    }
    if (!seen.insert(key).second) drop.push_back(r);
  }
  for (auto it = drop.rbegin(); it != drop.rend(); ++it) {
    rows.SetRecno(*it);
    rows.Delete();
  }
}

void TSiftOrder::DoTopCut(TResultSet& rows) {
  if (a_.TopNInGroupBy != 0 || a_.TopNInSelect <= 0) return;
  for (int32_t r = rows.GetRecordCount(); r > a_.TopNInSelect; --r) {
    rows.SetRecno(r);
    rows.Delete();
  }
}
