// TRANSFORM ... PIVOT (see sift_pivot.h).
#include "sql_engine/query/sift_pivot.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_group.h"
#include "sql_engine/query/sift_order.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_subqueries.h"
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

// The column's value in the current record as one word, when every value
// of the column fits one (a number, a boolean, a text of up to 7 bytes):
// equal words are equal values, as AppendKey's keys are.  False when the
// column's values do not fit; `null` for a null value.
bool WordFits(const TkpField* f) { return f->DataType != ttString || f->ColWidth <= 7; }

uint64_t WordKey(TkpField* f, std::vector<uint8_t>& buf, bool& null) {
  buf.resize(std::max<size_t>(f->ColWidth, 8));
  null = !f->GetData(buf.data());
  if (null) return 0;
  uint64_t word = 0;
  if (f->DataType == ttString) {
    const size_t len = strnlen(reinterpret_cast<const char*>(buf.data()), f->ColWidth);
    std::memcpy(&word, buf.data(), len);
    return word | (static_cast<uint64_t>(len) << 56);
  }
  if (f->DataType == ttFloat) {
    double d;
    std::memcpy(&d, buf.data(), sizeof d);
    if (d == 0) d = 0;  // -0 and 0 are one value
    std::memcpy(&word, &d, sizeof d);
    return word;
  }
  std::memcpy(&word, buf.data(), std::min<size_t>(f->ColWidth, sizeof word));
  return word;
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
// What text MIN/MAX and DISTINCT need besides, made only for them.
struct TCellExtra {
  std::string TextMin, TextMax;
  std::unordered_set<std::string> Seen;  // DISTINCT values
};

struct TCellAcc {
  double Sum = 0, Squares = 0, Min = 0, Max = 0;
  int64_t Count = 0;
  bool Null = false;
  std::unique_ptr<TCellExtra> Extra;
  TCellExtra& More() {
    if (!Extra) Extra = std::make_unique<TCellExtra>();
    return *Extra;
  }
};

// The cell of each (group, slot) pair, looked up once per scanned row: a
// row of cells per group indexed by slot while the rows stay within a
// budget of entries (a few hundred KB for a street-by-house table, so the
// lookups stay in the cache), an open-addressing table for all of them
// past it.
class TCellIndex {
public:
  // The cell of `key`, or `next` stored as its cell when it has none
  // (`added` tells which).
  int32_t FindOrAdd(uint64_t key, int32_t next, bool& added) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Hash(key) & (slots_.size() - 1);
    while (slots_[i].Cell >= 0) {
      if (slots_[i].Key == key) {
        added = false;
        return slots_[i].Cell;
      }
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = {key, next};
    ++count_;
    added = true;
    return next;
  }

private:
  struct TSlot {
    uint64_t Key = 0;
    int32_t Cell = -1;
  };
  static size_t Hash(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    return static_cast<size_t>(k);
  }
  void Grow() {
    std::vector<TSlot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, TSlot{});
    count_ = 0;
    bool added;
    for (const TSlot& t : old)
      if (t.Cell >= 0) FindOrAdd(t.Key, t.Cell, added);
  }
  std::vector<TSlot> slots_;
  size_t count_ = 0;
};

size_t g_dense_budget = size_t{1} << 22;

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

void SetSiftTransformDenseBudget(size_t entries) { g_dense_budget = entries; }
size_t SiftTransformDenseBudget() { return g_dense_budget; }

TSiftTransform::TSiftTransform(TSiftPlan& plan, TSiftSubqueries& subqueries, TSiftGroup& group, TSiftOrder& order)
    : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()), subqueries_(subqueries), group_(group), order_(order) {}

TSiftTransform::~TSiftTransform() = default;

void TSiftTransform::PrepareTransform() {
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
  firstPivotColumn_ = columns;
  // Rows can be taken as they come unless something needs them all.
  bool subqueries = false;
  for (int32_t i = 0; i < columns; ++i) subqueries = subqueries || !a_.ColumnList.Get(i)->Subqueries.empty();
  transformStreamed_ = !a_.DoDistinct && !a_.HasAggregates() && !subqueries;

  TColumnItem* pivot = a_.ColumnList.Add();
  pivot->ExprText = plan_.QualifiedField(a_.PivotStr, true);
  q_.FixDummiesForFilter(pivot->ExprText);
  pivot->Caption = pivot->ExprText;
  pivot->CastKind = 0;
  pivot->CastWidth = 1;

  transformColumns_.clear();
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
      arg->ExprText = plan_.QualifiedField(agg->ArgumentText, true);
      q_.FixDummiesForFilter(arg->ExprText);
      arg->Caption = arg->ExprText;
      col.ArgColumn = a_.ColumnList.Count() - 1;
    }
    transformColumns_.push_back(col);
  }
}

// The cross-tab being built: groups by the bytes of their GROUP BY cells,
// cells by (group, pivot slot).
struct TSiftTransform::TTransformState {
  TTransformState(TSiftTransform& scan, TResultSet& in);
  // Adds the current row of the scanned rows.
  void Consume();
  // The cross-tab; `grouped` holds the headings when they aggregate.
  std::unique_ptr<TResultSet> Finish(TResultSet* grouped);

  struct TGroup {
    std::string Key;                                 // the GROUP BY cells' bytes
    std::vector<TKeyValue> Order;                    // the GROUP BY values
    std::string Heads;                               // the headings' cells: null byte and data each
    std::vector<std::pair<int32_t, int32_t>> Cells;  // slot, cell
    std::vector<int32_t> CellOfSlot;                 // while the rows are dense: -1 none
  };

  TSiftTransform& S;
  TResultSet& In;
  int32_t Headings;
  size_t M;
  bool FixedValues;
  TkpField* Pivot;
  std::vector<TkpField*> GroupFields, HeadFields, ArgFields;
  std::vector<bool> TextArg;

  std::vector<std::string> Names;                         // by slot
  std::unordered_map<std::string, int32_t> SlotOfFolded;  // AnsiUpperCase(value) -> slot
  std::unordered_map<std::string, int32_t> SlotOfBytes;   // raw pivot bytes -> slot (-1: none)
  std::unordered_map<uint64_t, int32_t> SlotOfWord;       // the same, for a pivot that fits a word
  std::vector<TGroup> Groups;
  std::unordered_map<std::string, int32_t> GroupOfKey;
  std::unordered_map<uint64_t, int32_t> GroupOfWord;  // one GROUP BY column that fits a word
  int32_t NullGroup = -1;                             // its null value's group
  bool PivotWord = false, GroupWord = false;
  bool Dense = true;  // the groups' rows of cells are in use
  size_t DenseEntries = 0;
  TCellIndex CellIndex;  // once Dense is off
  // Plain COUNTs alone keep one count per cell and column; anything else a
  // TCellAcc per cell and column.
  bool CountsOnly = false;
  std::vector<int64_t> Counts;
  std::vector<TCellAcc> Acc;  // M per cell
  int32_t CellCount = 0;
  std::string Key, PivotKey, Value;
  std::vector<uint8_t> Buf;

private:
  int32_t GroupOfCurrentRow();
  int32_t FindCell(int32_t g, int32_t slot);
  int32_t NewCell(TGroup& grp, int32_t slot);
  void AddName(const std::string& v) {
    if (v.empty()) return;
    if (SlotOfFolded.emplace(AnsiUpperCase(v), static_cast<int32_t>(Names.size())).second) Names.push_back(v);
  }
  int32_t SlotOfCurrentPivot();
};

TSiftTransform::TTransformState::TTransformState(TSiftTransform& scan, TResultSet& in)
    : S(scan),
      In(in),
      Headings(scan.firstPivotColumn_),
      M(scan.transformColumns_.size()),
      FixedValues(scan.a_.PivotInSubquery || !scan.a_.PivotInList.empty()),
      Pivot(in.Fields.GetItem(scan.firstPivotColumn_)) {
  for (int32_t i = 0; i < S.a_.GroupByList.Count(); ++i) GroupFields.push_back(In.Fields.GetItem(i));
  for (int32_t i = 0; i < Headings; ++i) HeadFields.push_back(In.Fields.GetItem(i));
  CountsOnly = M > 0;
  for (const TTransformColumn& t : S.transformColumns_) {
    ArgFields.push_back(t.ArgColumn >= 0 ? In.Fields.GetItem(t.ArgColumn) : nullptr);
    TextArg.push_back(TextArgument(In, t.ArgColumn));
    CountsOnly = CountsOnly && t.Kind == akCOUNT && !t.Distinct;
  }
  PivotWord = WordFits(Pivot);
  GroupWord = GroupFields.size() == 1 && WordFits(GroupFields[0]);
  // Pivot values given by the statement.
  if (S.a_.PivotInSubquery) {
    TResultSet* rs = S.subqueries_.Rows(S.subqueries_.Count() - 1);
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        if (!f->GetIsNull()) AddName(f->GetAsString());
      }
    }
  } else {
    for (const std::string& v : S.a_.PivotInList) AddName(v);
  }
}

int32_t TSiftTransform::TTransformState::SlotOfCurrentPivot() {
  uint64_t word = 0;
  if (PivotWord) {
    bool null;
    word = WordKey(Pivot, Buf, null);
    if (null) return -1;  // a null pivot value heads no column
    auto wit = SlotOfWord.find(word);
    if (wit != SlotOfWord.end()) return wit->second;
  }
  PivotKey.clear();
  AppendKey(Pivot, PivotKey, Buf);
  if (PivotKey[0] == '\0') return -1;  // a null pivot value heads no column
  auto sit = SlotOfBytes.find(PivotKey);
  if (sit != SlotOfBytes.end()) {
    if (PivotWord) SlotOfWord.emplace(word, sit->second);
    return sit->second;
  }
  const std::string text = Pivot->GetAsString();
  int32_t slot = -1;
  auto fit = SlotOfFolded.find(AnsiUpperCase(text));
  if (fit != SlotOfFolded.end()) {
    slot = fit->second;
  } else if (!FixedValues && !text.empty()) {
    slot = static_cast<int32_t>(Names.size());
    SlotOfFolded.emplace(AnsiUpperCase(text), slot);
    Names.push_back(text);
  }
  SlotOfBytes.emplace(PivotKey, slot);
  if (PivotWord) SlotOfWord.emplace(word, slot);
  return slot;
}

int32_t TSiftTransform::TTransformState::GroupOfCurrentRow() {
  uint64_t word = 0;
  bool null = false;
  if (GroupWord) {
    word = WordKey(GroupFields[0], Buf, null);
    if (null && NullGroup >= 0) return NullGroup;
    if (!null) {
      auto wit = GroupOfWord.find(word);
      if (wit != GroupOfWord.end()) return wit->second;
    }
  }
  Key.clear();
  for (TkpField* f : GroupFields) AppendKey(f, Key, Buf);
  auto [git, newGroup] = GroupOfKey.try_emplace(Key, static_cast<int32_t>(Groups.size()));
  const int32_t g = git->second;
  if (GroupWord) {
    if (null) NullGroup = g;
    else GroupOfWord.emplace(word, g);
  }
  if (!newGroup) return g;
  TGroup grp;
  grp.Key = Key;
  for (TkpField* f : GroupFields) grp.Order.push_back(ReadKeyValue(f));
  for (TkpField* f : HeadFields) {
    Buf.assign(std::max<size_t>(f->ColWidth, 8), 0);
    const bool present = f->GetData(Buf.data());
    grp.Heads += present ? '\1' : '\0';
    grp.Heads.append(reinterpret_cast<const char*>(Buf.data()), f->ColWidth);
  }
  Groups.push_back(std::move(grp));
  return g;
}

int32_t TSiftTransform::TTransformState::NewCell(TGroup& grp, int32_t slot) {
  const int32_t cell = CellCount++;
  const size_t width = std::max<size_t>(M, 1);
  if (CountsOnly) Counts.resize(Counts.size() + width, 0);
  else Acc.resize(Acc.size() + width);
  grp.Cells.emplace_back(slot, cell);
  return cell;
}

int32_t TSiftTransform::TTransformState::FindCell(int32_t g, int32_t slot) {
  TGroup& grp = Groups[static_cast<size_t>(g)];
  const size_t at = static_cast<size_t>(slot);
  if (Dense && at >= grp.CellOfSlot.size()) {
    const size_t size = std::max(at + 1, std::min<size_t>(2 * grp.CellOfSlot.size(), Names.size()));
    if (DenseEntries + size - grp.CellOfSlot.size() <= g_dense_budget) {
      DenseEntries += size - grp.CellOfSlot.size();
      grp.CellOfSlot.resize(size, -1);
    } else {
      // Past the budget every cell moves to the table, for good.
      Dense = false;
      bool added;
      for (size_t k = 0; k < Groups.size(); ++k) {
        for (const auto& [cslot, cell] : Groups[k].Cells)
          CellIndex.FindOrAdd((static_cast<uint64_t>(k) << 32) | static_cast<uint32_t>(cslot), cell, added);
        std::vector<int32_t>().swap(Groups[k].CellOfSlot);
      }
    }
  }
  if (Dense) {
    int32_t& cell = grp.CellOfSlot[at];
    if (cell < 0) cell = NewCell(grp, slot);
    return cell;
  }
  const uint64_t ck = (static_cast<uint64_t>(static_cast<uint32_t>(g)) << 32) | static_cast<uint32_t>(slot);
  bool added = false;
  const int32_t cell = CellIndex.FindOrAdd(ck, CellCount, added);
  if (added) NewCell(grp, slot);
  return cell;
}

void TSiftTransform::TTransformState::Consume() {
  const int32_t g = GroupOfCurrentRow();
  const int32_t slot = SlotOfCurrentPivot();
  if (slot < 0) return;
  const int32_t cellIndex = FindCell(g, slot);
  if (CountsOnly) {
    int64_t* counts = Counts.data() + static_cast<size_t>(cellIndex) * M;
    for (size_t c = 0; c < M; ++c) ++counts[c];
    return;
  }
  TCellAcc* cell = Acc.data() + static_cast<size_t>(cellIndex) * M;
  for (size_t c = 0; c < M; ++c) {
    const TTransformColumn& t = S.transformColumns_[c];
    TCellAcc& a = cell[c];
    TkpField* arg = ArgFields[c];
    // A text read as a number is null when it holds no text.
    const bool summed = t.Kind == akSUM || t.Kind == akAVG || t.Kind == akSTDEV;
    const bool isNull = arg == nullptr || arg->GetIsNull() || (summed && TextArg[c] && arg->GetAsString().empty());
    if (t.Distinct) {
      // A value counts once per cell; nulls are no values.
      if (isNull) continue;
      Value.clear();
      AppendKey(arg, Value, Buf);
      if (!a.More().Seen.insert(Value).second) continue;
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
    if ((t.Kind == akMIN || t.Kind == akMAX) && TextArg[c]) {
      const std::string v = arg->GetAsString();
      TCellExtra& x = a.More();
      if (a.Count == 0 || v < x.TextMin) x.TextMin = v;
      if (a.Count == 0 || v > x.TextMax) x.TextMax = v;
      ++a.Count;
      continue;
    }
    double v;
    if (TextArg[c]) v = SiftTextAsNumber(arg->GetAsString(), t.Kind, S.a_.ColumnList.Get(t.ArgColumn)->ExprText);
    else v = arg->DataType == ttBoolean ? (arg->GetAsBoolean() ? 1.0 : 0.0) : arg->GetAsFloat();
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

std::unique_ptr<TResultSet> TSiftTransform::TTransformState::Finish(TResultSet* grouped) {
  const int32_t groupWidth = static_cast<int32_t>(GroupFields.size());

  // Column order of the values: as given, or case-insensitive text order.
  std::vector<int32_t> order(Names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  if (!FixedValues)
    std::sort(order.begin(), order.end(), [&](int32_t x, int32_t y) {
      return PivotNameLess(Names[static_cast<size_t>(x)], Names[static_cast<size_t>(y)]);
    });
  std::vector<int32_t> position(Names.size());
  for (size_t i = 0; i < order.size(); ++i) position[static_cast<size_t>(order[i])] = static_cast<int32_t>(i);

  // Group order: the GROUP BY columns, each as ORDER BY says when it does.
  std::vector<bool> descending(static_cast<size_t>(groupWidth), false);
  for (int32_t i = 0; i < S.a_.OrderByList.Count() && i < groupWidth; ++i)
    descending[static_cast<size_t>(i)] = S.a_.OrderByList.Get(i)->Descending;
  std::vector<int32_t> groupOrder(Groups.size());
  for (size_t i = 0; i < groupOrder.size(); ++i) groupOrder[i] = static_cast<int32_t>(i);
  std::stable_sort(groupOrder.begin(), groupOrder.end(), [&](int32_t x, int32_t y) {
    const TGroup& gx = Groups[static_cast<size_t>(x)];
    const TGroup& gy = Groups[static_cast<size_t>(y)];
    for (size_t k = 0; k < gx.Order.size(); ++k) {
      const int c = CompareKeyValues(gx.Order[k], gy.Order[k]);
      if (c != 0) return descending[k] ? c > 0 : c < 0;
    }
    return false;
  });

  // The cross-tab's columns: the headings as the scan (or the grouping)
  // made them, then the cells.
  TResultSet& heads = grouped ? *grouped : In;
  auto out = std::make_unique<TMemResultSet>();
  out->SourceDataSet = S.plan_.MainDataSet();
  out->SourceBookmarked = false;
  for (int32_t i = 0; i < Headings; ++i) {
    const TkpField* f = heads.Fields.GetItem(i);
    out->AddField(f->FieldName, f->QualifiedName, f->DataType, f->ColWidth, f->SourceField, f->ReadOnly, f->CastType,
                  f->CastLen, f->UseDisplayLabel);
  }
  for (const int32_t slot : order) {
    const std::string& name = Names[static_cast<size_t>(slot)];
    for (size_t c = 0; c < M; ++c) {
      const TTransformColumn& t = S.transformColumns_[c];
      TExprType type = t.Kind == akCOUNT ? ttInteger : ttFloat;
      int32_t size = 0;
      if ((t.Kind == akMIN || t.Kind == akMAX) && TextArg[c]) {
        type = ttString;
        size = ArgFields[c]->ColWidth;
      }
      // A cell cast to text without a width of its own holds a number's text.
      if (t.CastKind == kCastChar && size == 0) size = 32;
      out->AddField(name, name, type, size, nullptr, true, t.CastKind,
                    static_cast<uint16_t>(std::max<int16_t>(t.CastWidth, 0)), false);
    }
  }

  // Aggregated headings: the grouped row of each group.
  std::unordered_map<std::string, int32_t> groupedRowOfKey;
  if (grouped) {
    for (int32_t r = 1; r <= grouped->GetRecordCount(); ++r) {
      grouped->SetRecno(r);
      Key.clear();
      for (int32_t i = 0; i < groupWidth; ++i) AppendKey(grouped->Fields.GetItem(i), Key, Buf);
      groupedRowOfKey.try_emplace(Key, r);
    }
  }

  for (const int32_t g : groupOrder) {
    const TGroup& grp = Groups[static_cast<size_t>(g)];
    out->Insert();
    if (grouped) {
      auto it = groupedRowOfKey.find(grp.Key);
      if (it != groupedRowOfKey.end()) {
        grouped->SetRecno(it->second);
        for (int32_t i = 0; i < Headings; ++i) {
          TkpField* from = grouped->Fields.GetItem(i);
          Buf.assign(std::max<size_t>(from->ColWidth, 8), 0);
          if (from->GetData(Buf.data())) out->Fields.GetItem(i)->SetData(Buf.data());
        }
      }
    } else {
      size_t at = 0;
      for (int32_t i = 0; i < Headings; ++i) {
        TkpField* to = out->Fields.GetItem(i);
        if (grp.Heads[at] != '\0') to->SetData(grp.Heads.data() + at + 1);
        at += 1 + to->ColWidth;
      }
    }
    for (const auto& [slot, cellIndex] : grp.Cells) {
      const int32_t base = Headings + position[static_cast<size_t>(slot)] * static_cast<int32_t>(M);
      if (CountsOnly) {
        const int64_t* counts = Counts.data() + static_cast<size_t>(cellIndex) * M;
        for (size_t c = 0; c < M; ++c)
          out->Fields.GetItem(base + static_cast<int32_t>(c))->SetAsInteger(static_cast<int32_t>(counts[c]));
        continue;
      }
      const TCellAcc* cell = Acc.data() + static_cast<size_t>(cellIndex) * M;
      for (size_t c = 0; c < M; ++c) {
        const TCellAcc& a = cell[c];
        const TTransformColumn& t = S.transformColumns_[c];
        TkpField* f = out->Fields.GetItem(base + static_cast<int32_t>(c));
        if (t.Kind == akCOUNT) {
          f->SetAsInteger(static_cast<int32_t>(a.Count));
          continue;
        }
        if (a.Null || a.Count == 0) continue;
        if ((t.Kind == akMIN || t.Kind == akMAX) && TextArg[c]) {
          f->SetAsString(t.Kind == akMIN ? a.Extra->TextMin : a.Extra->TextMax);
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
  return out;
}

bool TSiftTransform::WritesInPlace(TResultSet& rows) {
  if (!transformStreamed_) return false;
  if (!transform_) transform_ = std::make_unique<TTransformState>(*this, rows);
  // One record takes every row in turn: back to all nulls.
  if (rows.GetRecordCount() == 0) {
    rows.Insert();
  } else {
    rows.SetRecno(1);
    for (int32_t i = 0; i < rows.Fields.Count(); ++i) rows.Fields.GetItem(i)->SetIsNull();
  }
  return true;
}

void TSiftTransform::RowWritten() { transform_->Consume(); }

void TSiftTransform::DoTransform(std::unique_ptr<TResultSet>& rows) {
  if (!transformStreamed_ && a_.DoDistinct) order_.DoDistinct(*rows);
  // Headings that aggregate (a row total) come from the rows grouped by the
  // GROUP BY columns; plain headings from the group's first row.
  std::unique_ptr<TResultSet> grouped;
  if (a_.HasAggregates()) grouped = GroupedCopy(*rows);
  if (!transform_) {
    transform_ = std::make_unique<TTransformState>(*this, *rows);
    if (!transformStreamed_)
      for (int32_t r = 1; r <= rows->GetRecordCount(); ++r) {
        rows->SetRecno(r);
        transform_->Consume();
      }
  }
  std::unique_ptr<TResultSet> out = transform_->Finish(grouped.get());
  transform_.reset();
  rows = std::move(out);
  // TOP counts the cross-tab's rows, not the scanned ones.
  order_.DoTopCut(*rows);
}

std::unique_ptr<TResultSet> TSiftTransform::GroupedCopy(TResultSet& rows) {
  // The scanned rows stay for the cells; the copy is grouped by the GROUP
  // BY columns alone (the pivot is no group column), one row per cross-tab
  // row.  Cells are copied by type, nulls as nulls; the copy holds no
  // bookmarks.
  TResultSet& in = rows;
  auto copy = std::make_unique<TMemResultSet>();
  copy->SourceDataSet = in.SourceDataSet;
  for (int32_t i = 0; i < in.Fields.Count(); ++i) {
    const TkpField* f = in.Fields.GetItem(i);
    copy->AddField(f->FieldName, f->QualifiedName, f->DataType, f->ColWidth, f->SourceField, f->ReadOnly, f->CastType,
                   f->CastLen, f->UseDisplayLabel);
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
  group_.DoGroupBy(*copy);
  return copy;
}
