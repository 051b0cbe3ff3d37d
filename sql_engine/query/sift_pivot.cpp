// TRANSFORM ... PIVOT: the cross-tab of a SELECT (see sift_scan.h).
//
//   TRANSFORM agg(x) [, ...]  SELECT g1, g2 ... FROM ... GROUP BY g1, g2
//   PIVOT p [IN (v1, v2, ...) | IN (SELECT ...)]
//
// The scan keeps one row per source record with the select columns, the
// pivot value and the arguments of the TRANSFORM aggregates.  The cross-tab
// then has one row per group (the GROUP BY values) and, per pivot value,
// one column per TRANSFORM aggregate, named by the value's text.
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
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/front/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_scan.h"
#include "sql_engine/store/result_set.h"

namespace {

// The column's bytes in the current record, after a null/value byte, as
// a hash key: equal keys are equal values.
void AppendKey(TkpField* f, std::string& key, std::vector<uint8_t>& buf) {
  buf.resize(std::max<size_t>(f->ColWidth, 8));
  if (!f->GetData(buf.data())) {
    key += '\0';
    return;
  }
  key += '\1';
  if (f->DataType == ttFloat) {
    double d;
    std::memcpy(&d, buf.data(), sizeof d);
    if (d == 0) std::memset(buf.data(), 0, sizeof d);  // -0 and 0 are one value
  }
  if (f->DataType == ttString) {
    // The text up to its padding.
    const size_t len = strnlen(reinterpret_cast<const char*>(buf.data()), f->ColWidth);
    key.append(reinterpret_cast<const char*>(buf.data()), len);
    key += '\0';
    return;
  }
  key.append(reinterpret_cast<const char*>(buf.data()), f->ColWidth);
}

// One value of a group's heading, for ordering the groups.
struct TKeyValue {
  bool Null = true;
  double Number = 0;
  std::string Text;
};

TKeyValue ReadKeyValue(TkpField* f) {
  TKeyValue v;
  if (f->GetIsNull()) return v;
  v.Null = false;
  switch (f->DataType) {
    case ttString: v.Text = f->GetAsString(); break;
    case ttFloat: v.Number = f->GetAsFloat(); break;
    case ttInteger: v.Number = f->GetAsInteger(); break;
    case ttBoolean: v.Number = f->GetAsBoolean() ? 1 : 0; break;
  }
  return v;
}

// Nulls first, texts byte-wise, numbers and booleans by value.
int CompareKeyValues(const TKeyValue& a, const TKeyValue& b) {
  if (a.Null || b.Null) return a.Null == b.Null ? 0 : (a.Null ? -1 : 1);
  if (a.Text != b.Text) return a.Text < b.Text ? -1 : 1;  // char_traits compare bytes unsigned
  if (a.Number != b.Number) return a.Number < b.Number ? -1 : 1;
  return 0;
}

// The running values of one cell of one TRANSFORM aggregate.
struct TCellAcc {
  double Sum = 0, Squares = 0, Min = 0, Max = 0;
  int64_t Count = 0;
  bool Null = false;
  std::string TextMin, TextMax;
  std::unique_ptr<std::unordered_set<std::string>> Seen;  // DISTINCT values
};

bool TextArgument(const TResultSet& rs, int32_t column) {
  return column >= 0 && rs.Fields.GetItem(column)->DataType == ttString;
}

// Case-insensitive text order of the pivot values taken from the data.
bool PivotNameLess(const std::string& a, const std::string& b) {
  const int c = AnsiCompareText(a, b);
  if (c != 0) return c < 0;
  return AnsiUpperCase(a) < AnsiUpperCase(b);
}

}  // namespace

void TSiftScan::PrepareTransform() {
  // The HAVING clause is a column of the select list: it would be taken for
  // a heading and shift the pivot.
  if (a_.HavingCol >= 0) SiftErrorText("TRANSFORM ... PIVOT cannot have a HAVING clause");
  const int32_t columns = a_.ColumnList.Count();
  if (columns < a_.GroupByList.Count()) SiftError(SiftMsg::STransfColumnsMismatch);
  for (int32_t i = 0; i < a_.GroupByList.Count(); ++i)
    if (a_.GroupByList.Get(i)->ColumnIndex != i) SiftError(SiftMsg::STransfWrongColumnGroup);
  if (a_.OrderByList.Count() > 0) {
    if (columns < a_.OrderByList.Count()) SiftError(SiftMsg::STransfOrderByMismatch);
    for (int32_t i = 0; i < a_.OrderByList.Count(); ++i)
      if (a_.OrderByList.Get(i)->ColumnIndex != i) SiftError(SiftMsg::STransfWrongColumnoRDER);
  }
  first_pivot_column_ = columns;

  TColumnItem* pivot = a_.ColumnList.Add();
  pivot->ExprText = QualifiedField(a_.PivotStr, true);
  q_.FixDummiesForFilter(pivot->ExprText);
  pivot->Caption = pivot->ExprText;
  pivot->CastKind = 0;
  pivot->CastWidth = 1;

  transform_columns_.clear();
  for (int32_t i = 0; i < a_.TransformColumnList.Count(); ++i) {
    const TColumnItem* t = a_.TransformColumnList.Get(i);
    // A cell is one aggregate, not an expression over several.
    if (!t->Aggregates || t->Aggregates->Count() != 1 || Trim(t->ExprText) != "{Aggregate 0}")
      SiftErrorText("A TRANSFORM column must be one aggregate function: " + t->Caption);
    const TAggregateItem* agg = t->Aggregates->Get(0);
    TTransformColumn col;
    col.Kind = agg->Kind;
    col.Distinct = agg->Distinct;
    col.CastKind = t->CastKind;
    col.CastWidth = t->CastWidth;
    if (col.Kind != akCOUNT || col.Distinct) {
      TColumnItem* arg = a_.ColumnList.Add();
      arg->ExprText = QualifiedField(agg->ArgumentText, true);
      q_.FixDummiesForFilter(arg->ExprText);
      arg->Caption = arg->ExprText;
      col.ArgColumn = a_.ColumnList.Count() - 1;
    }
    transform_columns_.push_back(col);
  }
}

void TSiftScan::TransformAfterScan() {
  if (a_.DoDistinct) DoDistinct();
  // Headings that aggregate (a row total) come from the rows grouped by the
  // GROUP BY columns; plain headings from any row of the group.
  std::unique_ptr<TResultSet> grouped;
  if (a_.HasAggregates()) grouped = GroupedCopy();
  DoTransform(grouped.get());
  // TOP counts the cross-tab's rows, not the scanned ones.
  DoTopCut();
}

std::unique_ptr<TResultSet> TSiftScan::GroupedCopy() {
  // The scanned rows stay for the cells; the copy is grouped by the GROUP
  // BY columns alone (the pivot is no group column), one row per cross-tab
  // row.  Cells are copied by type, nulls as nulls; the copy holds no
  // bookmarks.
  TResultSet& in = *result_;
  auto copy = std::make_unique<TMemResultSet>();
  copy->SourceDataSet = in.SourceDataSet;
  for (int32_t i = 0; i < in.Fields.Count(); ++i) {
    const TkpField* f = in.Fields.GetItem(i);
    copy->AddField(f->FieldName, f->QualifiedName, f->DataType, f->ColWidth, f->SourceField, f->ReadOnly,
                   f->CastType, f->CastLen, f->UseDisplayLabel);
  }
  std::vector<uint8_t> buf;
  for (int32_t r = 1; r <= in.GetRecordCount(); ++r) {
    in.SetRecno(r);
    copy->Insert();
    for (int32_t i = 0; i < in.Fields.Count(); ++i) {
      TkpField* from = in.Fields.GetItem(i);
      buf.assign(std::max<size_t>(from->ColWidth, 8), 0);
      if (from->GetData(buf.data())) copy->Fields.GetItem(i)->SetData(buf.data());
    }
  }
  DoGroupBy(*copy);
  return copy;
}

void TSiftScan::DoTransform(TResultSet* grouped) {
  TResultSet& in = *result_;
  const int32_t headings = first_pivot_column_;
  const int32_t groupWidth = a_.GroupByList.Count();
  const size_t m = transform_columns_.size();
  TkpField* pivot = in.Fields.GetItem(headings);

  // Pivot values given by the statement.
  std::vector<std::string> names;                        // by slot
  std::unordered_map<std::string, int32_t> slotOfFolded;  // AnsiUpperCase(value) -> slot
  auto addName = [&](const std::string& v) {
    if (v.empty()) return;
    if (slotOfFolded.emplace(AnsiUpperCase(v), static_cast<int32_t>(names.size())).second) names.push_back(v);
  };
  const bool fixedValues = a_.PivotInSubquery || !a_.PivotInList.empty();
  if (a_.PivotInSubquery) {
    TResultSet* rs = !subqueries_.empty() && subqueries_.back() ? subqueries_.back()->ResultSet() : nullptr;
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        if (!f->GetIsNull()) addName(f->GetAsString());
      }
    }
  } else {
    for (const std::string& v : a_.PivotInList) addName(v);
  }

  // One pass: groups by their heading values, cells by (group, slot).
  struct TGroup {
    int32_t HeadRow = 0;
    std::vector<TKeyValue> Key;
    std::vector<std::pair<int32_t, int32_t>> Cells;  // slot, cell
  };
  std::vector<TGroup> groups;
  std::unordered_map<std::string, int32_t> groupOfKey;
  std::unordered_map<std::string, int32_t> slotOfBytes;  // raw pivot bytes -> slot (-1: none)
  std::unordered_map<uint64_t, int32_t> cellOf;
  std::vector<TCellAcc> acc;  // m per cell
  std::string key, pivotKey;
  std::vector<uint8_t> buf;
  std::vector<TkpField*> groupFields, argFields(m, nullptr);
  std::vector<bool> textArg(m, false);
  for (int32_t i = 0; i < groupWidth; ++i) groupFields.push_back(in.Fields.GetItem(i));
  for (size_t c = 0; c < m; ++c) {
    const int32_t col = transform_columns_[c].ArgColumn;
    if (col >= 0) argFields[c] = in.Fields.GetItem(col);
    textArg[c] = TextArgument(in, col);
  }

  const int32_t rows = in.GetRecordCount();
  for (int32_t r = 1; r <= rows; ++r) {
    in.SetRecno(r);
    key.clear();
    for (TkpField* f : groupFields) AppendKey(f, key, buf);
    auto [git, newGroup] = groupOfKey.try_emplace(key, static_cast<int32_t>(groups.size()));
    const int32_t g = git->second;
    if (newGroup) {
      TGroup grp;
      grp.HeadRow = r;
      for (TkpField* f : groupFields) grp.Key.push_back(ReadKeyValue(f));
      groups.push_back(std::move(grp));
    }

    pivotKey.clear();
    AppendKey(pivot, pivotKey, buf);
    if (pivotKey[0] == '\0') continue;  // a null pivot value heads no column
    int32_t slot;
    auto sit = slotOfBytes.find(pivotKey);
    if (sit != slotOfBytes.end()) {
      slot = sit->second;
    } else {
      const std::string text = pivot->GetAsString();
      auto fit = slotOfFolded.find(AnsiUpperCase(text));
      if (fit != slotOfFolded.end()) {
        slot = fit->second;
      } else if (!fixedValues && !text.empty()) {
        slot = static_cast<int32_t>(names.size());
        slotOfFolded.emplace(AnsiUpperCase(text), slot);
        names.push_back(text);
      } else {
        slot = -1;
      }
      slotOfBytes.emplace(pivotKey, slot);
    }
    if (slot < 0) continue;

    const uint64_t ck = (static_cast<uint64_t>(static_cast<uint32_t>(g)) << 32) | static_cast<uint32_t>(slot);
    auto [cit, newCell] = cellOf.try_emplace(ck, static_cast<int32_t>(acc.size() / std::max<size_t>(m, 1)));
    if (newCell) {
      acc.resize(acc.size() + m);
      groups[static_cast<size_t>(g)].Cells.emplace_back(slot, cit->second);
    }
    TCellAcc* cell = acc.data() + static_cast<size_t>(cit->second) * m;
    for (size_t c = 0; c < m; ++c) {
      const TTransformColumn& t = transform_columns_[c];
      TCellAcc& a = cell[c];
      TkpField* arg = argFields[c];
      const bool isNull = arg == nullptr || arg->GetIsNull();
      if (t.Distinct) {
        // A value counts once per cell; nulls are no values.
        if (isNull) continue;
        std::string v;
        AppendKey(arg, v, buf);
        if (!a.Seen) a.Seen = std::make_unique<std::unordered_set<std::string>>();
        if (!a.Seen->insert(std::move(v)).second) continue;
      }
      if (t.Kind == akCOUNT) {
        ++a.Count;
        continue;
      }
      if (isNull) {
        a.Null = true;
        ++a.Count;
        continue;
      }
      if ((t.Kind == akMIN || t.Kind == akMAX) && textArg[c]) {
        const std::string s = arg->GetAsString();
        if (a.Count == 0 || s < a.TextMin) a.TextMin = s;
        if (a.Count == 0 || s > a.TextMax) a.TextMax = s;
        ++a.Count;
        continue;
      }
      const double v = arg->DataType == ttBoolean ? (arg->GetAsBoolean() ? 1.0 : 0.0) : arg->GetAsFloat();
      a.Sum += v;
      a.Squares += v * v;
      if (a.Count == 0) {
        a.Min = a.Max = v;
      } else {
        a.Min = std::min(a.Min, v);
        a.Max = std::max(a.Max, v);
      }
      ++a.Count;
    }
  }

  // Column order of the values: as given, or case-insensitive text order.
  std::vector<int32_t> order(names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  if (!fixedValues)
    std::sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
      return PivotNameLess(names[static_cast<size_t>(x)], names[static_cast<size_t>(y)]);
    });
  std::vector<int32_t> position(names.size());
  for (size_t i = 0; i < order.size(); ++i) position[static_cast<size_t>(order[i])] = static_cast<int32_t>(i);

  // Group order: the GROUP BY columns, each as ORDER BY says when it does.
  std::vector<bool> descending(static_cast<size_t>(groupWidth), false);
  for (int32_t i = 0; i < a_.OrderByList.Count() && i < groupWidth; ++i)
    descending[static_cast<size_t>(i)] = a_.OrderByList.Get(i)->Descending;
  std::vector<int32_t> groupOrder(groups.size());
  for (size_t i = 0; i < groupOrder.size(); ++i) groupOrder[i] = static_cast<int32_t>(i);
  std::stable_sort(groupOrder.begin(), groupOrder.end(), [&](int32_t x, int32_t y) {
    const TGroup& gx = groups[static_cast<size_t>(x)];
    const TGroup& gy = groups[static_cast<size_t>(y)];
    for (size_t k = 0; k < gx.Key.size(); ++k) {
      const int c = CompareKeyValues(gx.Key[k], gy.Key[k]);
      if (c != 0) return descending[k] ? c > 0 : c < 0;
    }
    return false;
  });

  // The cross-tab's columns: the headings as the scan (or the grouping)
  // made them, then the cells.
  TResultSet& heads = grouped ? *grouped : in;
  auto out = std::make_unique<TMemResultSet>();
  out->SourceDataSet = main_;
  out->SourceBookmarked = false;
  for (int32_t i = 0; i < headings; ++i) {
    const TkpField* f = heads.Fields.GetItem(i);
    out->AddField(f->FieldName, f->QualifiedName, f->DataType, f->ColWidth, f->SourceField, f->ReadOnly, f->CastType,
                  f->CastLen, f->UseDisplayLabel);
  }
  for (const int32_t slot : order) {
    const std::string& name = names[static_cast<size_t>(slot)];
    for (size_t c = 0; c < m; ++c) {
      const TTransformColumn& t = transform_columns_[c];
      TExprType type = t.Kind == akCOUNT ? ttInteger : ttFloat;
      int32_t size = 0;
      if ((t.Kind == akMIN || t.Kind == akMAX) && textArg[c]) {
        type = ttString;
        size = argFields[c]->ColWidth;
      }
      // A cell cast to text without its own width holds a number's text.
      if (t.CastKind == kCastChar && size == 0) size = 32;
      out->AddField(name, name, type, size, nullptr, true, t.CastKind, static_cast<uint16_t>(std::max<int16_t>(t.CastWidth, 0)),
                    false);
    }
  }

  // Where a group's headings are: its first row, or its grouped row.
  std::unordered_map<std::string, int32_t> groupedRowOfKey;
  if (grouped) {
    for (int32_t r = 1; r <= grouped->GetRecordCount(); ++r) {
      grouped->SetRecno(r);
      key.clear();
      for (int32_t i = 0; i < groupWidth; ++i) AppendKey(grouped->Fields.GetItem(i), key, buf);
      groupedRowOfKey.try_emplace(key, r);
    }
  }

  for (const int32_t g : groupOrder) {
    const TGroup& grp = groups[static_cast<size_t>(g)];
    out->Insert();
    int32_t headRow = grp.HeadRow;
    if (grouped) {
      in.SetRecno(grp.HeadRow);
      key.clear();
      for (TkpField* f : groupFields) AppendKey(f, key, buf);
      auto it = groupedRowOfKey.find(key);
      headRow = it == groupedRowOfKey.end() ? 0 : it->second;
    }
    if (headRow > 0) {
      heads.SetRecno(headRow);
      for (int32_t i = 0; i < headings; ++i) {
        TkpField* from = heads.Fields.GetItem(i);
        buf.assign(std::max<size_t>(from->ColWidth, 8), 0);
        if (from->GetData(buf.data())) out->Fields.GetItem(i)->SetData(buf.data());
      }
    }
    for (const auto& [slot, cellIndex] : grp.Cells) {
      const TCellAcc* cell = acc.data() + static_cast<size_t>(cellIndex) * m;
      const int32_t base = headings + position[static_cast<size_t>(slot)] * static_cast<int32_t>(m);
      for (size_t c = 0; c < m; ++c) {
        const TCellAcc& a = cell[c];
        const TTransformColumn& t = transform_columns_[c];
        TkpField* f = out->Fields.GetItem(base + static_cast<int32_t>(c));
        if (t.Kind == akCOUNT) {
          f->SetAsInteger(static_cast<int32_t>(a.Count));
          continue;
        }
        if (a.Null || a.Count == 0) continue;
        if ((t.Kind == akMIN || t.Kind == akMAX) && textArg[c]) {
          f->SetAsString(t.Kind == akMIN ? a.TextMin : a.TextMax);
          continue;
        }
        const double n = static_cast<double>(a.Count);
        double v = 0;
        switch (t.Kind) {
          case akSUM: v = a.Sum; break;
          case akAVG: v = a.Sum / n; break;
          case akSTDEV: v = a.Count < 2 ? 0 : std::sqrt(std::max(a.Squares - a.Sum * a.Sum / n, 0.0) / (n - 1)); break;
          case akMIN: v = a.Min; break;
          case akMAX: v = a.Max; break;
          case akCOUNT: break;
        }
        f->SetAsFloat(v);
      }
    }
  }
  result_ = std::move(out);
}
