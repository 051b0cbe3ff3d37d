// GROUP BY, aggregates and HAVING: the after-scan stage that turns the
// scanned rows into one row per group (see sift_scan.h).
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
// give no row at all, also without GROUP BY.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/db.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/front/kp_misc.h"
#include "sql_engine/front/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_scan.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"

namespace {

// The qualifier that names aggregate slots in a compiled column text.
constexpr const char* kSlotGroup = "SIFTAGGREGATE";

// A typed value that a compiled group expression reads where the column
// text had an aggregate or a plain field.
class TGroupSlot : public TResultColumn {
public:
  TGroupSlot(TExprType type, int32_t width) : Type(type), Width(width) {}
  TExprType ColumnExprType() const override { return Type; }
  int32_t ColumnWidth() const override { return Width; }
  std::string ColumnAsString() override { return Value.IsClear() ? std::string() : Value.AsString(); }
  double ColumnAsFloat() override { return Value.IsClear() ? 0 : Value.AsDouble(); }
  int32_t ColumnAsInteger() override { return Value.IsClear() ? 0 : Value.AsInteger(); }
  bool ColumnAsBoolean() override { return !Value.IsClear() && Value.AsBoolean(); }
  bool ColumnIsNull() override { return Value.IsClear() || (Type == ttString && Value.AsString().empty()); }

  TExprType Type;
  int32_t Width;
  Variant Value;
};

// One group's running values of one aggregate.
struct TAccumulator {
  int32_t Count = 0;
  int64_t IntSum = 0;  // SUM of an integer argument, exact
  double Sum = 0;
  double SqrSum = 0;
  double NumExtreme = 0;  // MIN or MAX of a number
  std::string TextExtreme;
  bool BoolExtreme = false;
};

void AppendBytes(std::string& key, const void* p, size_t n) { key.append(static_cast<const char*>(p), n); }

// Appends a cell's value as key bytes: a null marker, or a value marker and
// the value (texts length-prefixed, so keys of several cells cannot run
// into each other).
void AppendCellKey(std::string& key, TkpField* cell) {
  if (cell->GetIsNull()) {
    key += '\0';
    return;
  }
  switch (cell->DataType) {
    case ttString: {
      const std::string s = cell->GetAsString();
      if (s.empty()) {
        key += '\0';
        return;
      }
      key += '\1';
      const uint32_t len = static_cast<uint32_t>(s.size());
      AppendBytes(key, &len, sizeof len);
      key += s;
      return;
    }
    case ttFloat: {
      double d = cell->GetAsFloat();
      if (d == 0) d = 0;  // -0 and 0 are one value
      key += '\1';
      AppendBytes(key, &d, sizeof d);
      return;
    }
    case ttInteger: {
      const int32_t v = cell->GetAsInteger();
      key += '\1';
      AppendBytes(key, &v, sizeof v);
      return;
    }
    case ttBoolean: key += cell->GetAsBoolean() ? '\2' : '\1'; return;
  }
}

bool NumericType(TExprType t) { return t == ttFloat || t == ttInteger; }

const char* KindName(TAggregateKind k) {
  switch (k) {
    case akSUM: return "SUM";
    case akAVG: return "AVG";
    case akSTDEV: return "STDEV";
    case akMIN: return "MIN";
    case akMAX: return "MAX";
    case akCOUNT: return "COUNT";
  }
  return "";
}

}  // namespace

// ------------------------------------------------------------------ state

// What the compiled group columns read, and the context that binds their
// names to it.
struct TSiftScan::TGroupState : public TExprContext {
  struct TAggregateRef {
    int32_t Column = 0;     // the column the aggregate belongs to
    int32_t Index = 0;      // its index within the column
    TAggregateItem* Item = nullptr;
    int32_t ArgColumn = 0;  // the auxiliary column of its argument
    TExprType ArgType = ttInteger;
    std::unique_ptr<TGroupSlot> Slot;
  };
  struct TFieldRef {
    std::string Name;  // "table.field" as the parser saw it
    TField* Field = nullptr;
    int32_t Column = -1;  // the auxiliary column holding the field per row
    std::unique_ptr<TGroupSlot> Slot;
  };

  explicit TGroupState(TSiftScan& scan) : Scan(scan) {}

  TSiftScan& Scan;
  std::vector<TAggregateRef> Aggregates;
  std::vector<TFieldRef> Fields;
  std::vector<int32_t> Columns;  // columns compiled over the slots

  TAggregateRef* FindAggregate(int32_t column, int32_t index) {
    for (TAggregateRef& a : Aggregates)
      if (a.Column == column && a.Index == index) return &a;
    return nullptr;
  }

  // ---- TExprContext: qualified names are slots; the rest is the scan's ----
  bool MainDataSetOnly() const override { return false; }
  bool HasJoinOn() const override { return true; }
  TResultColumn* FindResultColumn(const std::string& name) override {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return nullptr;
    const std::string group = name.substr(0, dot);
    const std::string ident = name.substr(dot + 1);
    if (SameText(group, kSlotGroup)) {
      // "C<column>A<index>"
      int32_t column = -1, index = -1;
      if (std::sscanf(UpperCase(ident).c_str(), "C%dA%d", &column, &index) != 2) return nullptr;
      TAggregateRef* a = FindAggregate(column, index);
      return a ? a->Slot.get() : nullptr;
    }
    for (TFieldRef& f : Fields)
      if (SameText(f.Name, name)) return f.Slot.get();
    TDataSet* ds = Scan.FindDataSetByName(group);
    TField* field = ds ? ds->FindField(TrimSquareBrackets(ident)) : nullptr;
    if (!field) return nullptr;  // the parser reports the name
    auto names = std::make_unique<TParameterList>();
    names->Add(std::make_unique<TStringLiteral>(group));
    names->Add(std::make_unique<TStringLiteral>(ident));
    TFieldExpr probe(std::move(names), field, &Scan);
    const TExprType type = probe.GetExprType();
    TFieldRef ref;
    ref.Name = name;
    ref.Field = field;
    ref.Slot = std::make_unique<TGroupSlot>(type, type == ttString ? probe.GetMaxLen() : 0);
    Fields.push_back(std::move(ref));
    return Fields.back().Slot.get();
  }
  TDataSet* FindDataSetByName(const std::string& name) override { return Scan.FindDataSetByName(name); }
  bool IsDataSetDisabled(TDataSet* ds) override { return Scan.IsDataSetDisabled(ds); }
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override {
    return Scan.ParamAsField(name, group, field);
  }
  TParam* FindParam(const std::string& name) override { return Scan.FindParam(name); }
  bool HasMasterSource() override { return Scan.HasMasterSource(); }
  TDataSet* MasterDataSet() override { return Scan.MasterDataSet(); }
  bool HasUDFEvents() override { return Scan.HasUDFEvents(); }
  bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType,
                int32_t& maxLen) override {
    return Scan.UDFCheck(identifier, params, dataType, maxLen);
  }
  Variant UDFSolve(const std::string& identifier, TParameterList* params) override {
    return Scan.UDFSolve(identifier, params);
  }
};

// -------------------------------------------------------------- compiling

void TSiftScan::CompileGroupColumns(int32_t count) {
  group_ = TGroupStateOwner(new TGroupState(*this), [](TGroupState* p) { delete p; });
  TGroupState& g = *group_;
  for (int32_t i = 0; i < count; ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (!c->Aggregates || c->Aggregates->Count() == 0) continue;
    if (!c->Subqueries.empty()) SiftErrorText("A subquery in a column with aggregates is not supported");
    std::string text = c->ExprText;
    for (int32_t k = 0; k < c->Aggregates->Count(); ++k) {
      TAggregateItem* item = c->Aggregates->Get(k);
      // The argument's own column, read per scanned row.
      auto arg = std::make_unique<TExprParser>(this, main_);
      arg->ParseExpression(item->ArgumentText);
      if (!arg->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {item->ArgumentText});
      const TExprType argType = arg->Expression->GetExprType();
      if ((item->Kind == akSUM || item->Kind == akAVG || item->Kind == akSTDEV) && !NumericType(argType))
        SiftErrorText(FormatMessage("%s needs a numeric argument: %s", {KindName(item->Kind), item->ArgumentText}));
      const int32_t argWidth = argType == ttString ? arg->Expression->GetMaxLen() : 0;
      TColumnItem* aux = a_.ColumnList.Add();
      aux->ExprText = item->ArgumentText;
      aux->Caption = item->ArgumentText;
      aux->Auxiliary = a_.PivotStr.empty();
      aux->Compiled = TExprOwner(arg.release(), [](TExprParser* p) { delete p; });
      item->AnalyzerValue = a_.ColumnList.Count() - 1;

      TGroupState::TAggregateRef ref;
      ref.Column = i;
      ref.Index = k;
      ref.Item = item;
      ref.ArgColumn = item->AnalyzerValue;
      ref.ArgType = argType;
      TExprType type = argType;
      if (item->Kind == akCOUNT) type = ttInteger;
      if (item->Kind == akAVG || item->Kind == akSTDEV) type = ttFloat;
      ref.Slot = std::make_unique<TGroupSlot>(type, type == ttString ? argWidth : 0);
      g.Aggregates.push_back(std::move(ref));
      text = ReplaceOutsideLiterals(text, "{Aggregate " + std::to_string(k) + "}",
                                    std::string(kSlotGroup) + ".C" + std::to_string(i) + "A" + std::to_string(k));
    }
    const size_t fieldsBefore = g.Fields.size();
    auto parser = std::make_unique<TExprParser>(&g, main_);
    parser->ParseExpression(text);
    if (!parser->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {c->Caption});
    c->Compiled = TExprOwner(parser.release(), [](TExprParser* p) { delete p; });
    g.Columns.push_back(i);
    // Each plain field the text named is kept per row in a column of its own.
    for (size_t f = fieldsBefore; f < g.Fields.size(); ++f) {
      TGroupState::TFieldRef& ref = g.Fields[f];
      auto names = std::make_unique<TParameterList>();
      const size_t dot = ref.Name.find('.');
      names->Add(std::make_unique<TStringLiteral>(ref.Name.substr(0, dot)));
      names->Add(std::make_unique<TStringLiteral>(ref.Name.substr(dot + 1)));
      auto holder = std::make_unique<TExprParser>(this, main_);
      holder->Expression = std::make_unique<TFieldExpr>(std::move(names), ref.Field, this);
      TColumnItem* aux = a_.ColumnList.Add();
      aux->ExprText = ref.Name;
      aux->Caption = ref.Name;
      aux->Auxiliary = true;
      aux->Compiled = TExprOwner(holder.release(), [](TExprParser* p) { delete p; });
      ref.Column = a_.ColumnList.Count() - 1;
    }
  }
  if (a_.HavingCol >= 0 && a_.HavingCol < a_.ColumnList.Count()) {
    TColumnItem* h = a_.ColumnList.Get(a_.HavingCol);
    if (h->Compiled && h->Compiled->Expression && h->Compiled->Expression->GetExprType() != ttBoolean)
      SiftError(SiftMsg::SExprNotBoolean);
  }
}

// --------------------------------------------------------------- grouping

void TSiftScan::DoGroupBy(TResultSet& rows) {
  const int32_t groupItems = a_.GroupByList.Count();
  const bool hasHaving = a_.HavingCol >= 0 && a_.HavingCol < a_.ColumnList.Count();
  if (groupItems == 0 && !a_.HasAggregates() && !hasHaving) return;
  const int32_t n = rows.GetRecordCount();
  // Aggregates over no rows give no row.
  if (n == 0) return;
  rows.SourceBookmarked = false;
  if (!group_) group_ = TGroupStateOwner(new TGroupState(*this), [](TGroupState* p) { delete p; });
  TGroupState& gs = *group_;
  const size_t aggCount = gs.Aggregates.size();

  std::vector<TkpField*> keyCells;
  for (int32_t i = 0; i < groupItems; ++i) keyCells.push_back(rows.Fields.GetItem(a_.GroupByList.Get(i)->ColumnIndex));
  std::vector<TkpField*> argCells;
  for (const auto& a : gs.Aggregates) argCells.push_back(rows.Fields.GetItem(a.ArgColumn));
  const int32_t limit = groupItems > 0 ? a_.TopNInGroupBy : 0;

  // One pass: each row finds its group by its key bytes and adds its
  // arguments to the group's accumulators.
  std::unordered_map<std::string, int32_t> groupIndex;
  std::vector<int32_t> heads;                       // per group: its first row
  std::vector<TAccumulator> acc;                    // per group, per aggregate
  std::vector<std::unordered_set<std::string>> seen(aggCount);  // DISTINCT arguments
  std::vector<std::vector<int32_t>> extraRows;      // TOP n: further kept rows per group
  std::string key, valueKey;
  for (int32_t r = 1; r <= n; ++r) {
    rows.SetRecno(r);
    key.clear();
    for (TkpField* cell : keyCells) AppendCellKey(key, cell);
    auto [it, added] = groupIndex.try_emplace(key, static_cast<int32_t>(heads.size()));
    const int32_t g = it->second;
    if (added) {
      heads.push_back(r);
      acc.resize(acc.size() + aggCount);
      if (limit > 0) extraRows.emplace_back();
    } else if (limit > 1 && static_cast<int32_t>(extraRows[static_cast<size_t>(g)].size()) < limit - 1) {
      extraRows[static_cast<size_t>(g)].push_back(r);
    }
    for (size_t j = 0; j < aggCount; ++j) {
      TkpField* cell = argCells[j];
      if (cell->GetIsNull()) continue;
      const auto& ref = gs.Aggregates[j];
      if (ref.Item->Distinct) {
        valueKey.assign(reinterpret_cast<const char*>(&g), sizeof g);
        AppendCellKey(valueKey, cell);
        if (!seen[j].insert(valueKey).second) continue;
      }
      TAccumulator& a = acc[static_cast<size_t>(g) * aggCount + j];
      switch (ref.Item->Kind) {
        case akCOUNT: break;
        case akSUM:
        case akAVG:
        case akSTDEV: {
          if (ref.ArgType == ttInteger) {
            const int32_t v = cell->GetAsInteger();
            a.IntSum += v;
            a.Sum += v;
            a.SqrSum += static_cast<double>(v) * v;
          } else {
            const double v = cell->GetAsFloat();
            a.Sum += v;
            a.SqrSum += v * v;
          }
          break;
        }
        case akMIN:
        case akMAX: {
          const bool isMin = ref.Item->Kind == akMIN;
          if (ref.ArgType == ttString) {
            std::string v = cell->GetAsString();
            if (a.Count == 0 || (isMin ? v < a.TextExtreme : v > a.TextExtreme)) a.TextExtreme = std::move(v);
          } else if (ref.ArgType == ttBoolean) {
            const bool v = cell->GetAsBoolean();
            if (a.Count == 0 || (isMin ? v < a.BoolExtreme : v > a.BoolExtreme)) a.BoolExtreme = v;
          } else {
            const double v = cell->GetAsFloat();
            if (a.Count == 0 || (isMin ? v < a.NumExtreme : v > a.NumExtreme)) a.NumExtreme = v;
          }
          break;
        }
      }
      ++a.Count;
    }
  }
  seen.clear();

  // The slots of a group's (or a kept row's) results.
  const TAccumulator empty;
  auto loadSlots = [&](int32_t g, int32_t row) {
    for (size_t j = 0; j < aggCount; ++j) {
      const auto& ref = gs.Aggregates[j];
      const TAccumulator& a = g >= 0 ? acc[static_cast<size_t>(g) * aggCount + j] : empty;
      Variant& v = ref.Slot->Value;
      switch (ref.Item->Kind) {
        case akCOUNT: v = Variant(a.Count); break;
        case akSUM:
          if (a.Count == 0)
            v = Variant::Null();
          else if (ref.ArgType == ttInteger)
            v = Variant(a.IntSum);
          else
            v = Variant(a.Sum);
          break;
        case akAVG: v = Variant(a.Count > 0 ? a.Sum / a.Count : 0.0); break;
        case akSTDEV: {
          double s = 0;
          if (a.Count >= 2) {
            const double d = a.SqrSum - a.Sum * a.Sum / a.Count;
            s = std::sqrt((d < 0 ? 0 : d) / (a.Count - 1));
          }
          v = Variant(s);
          break;
        }
        case akMIN:
        case akMAX:
          if (a.Count == 0)
            v = Variant::Null();
          else if (ref.ArgType == ttString)
            v = Variant(a.TextExtreme);
          else if (ref.ArgType == ttBoolean)
            v = Variant(a.BoolExtreme);
          else if (ref.ArgType == ttInteger)
            v = Variant(static_cast<int32_t>(a.NumExtreme));
          else
            v = Variant(a.NumExtreme);
          break;
      }
    }
    rows.SetRecno(row);
    for (auto& f : gs.Fields) {
      TkpField* cell = rows.Fields.GetItem(f.Column);
      f.Slot->Value = cell->GetIsNull() ? Variant::Null() : cell->GetAsVariant();
    }
  };
  // Writes the compiled group columns into the current row.
  auto writeColumns = [&]() {
    for (const int32_t i : gs.Columns) {
      if (i == a_.HavingCol) continue;
      TkpField* cell = rows.Fields.GetItem(i);
      TExpression* e = a_.ColumnList.Get(i)->Compiled->Expression.get();
      TExpression* node = e->GetCurrentNode();
      if (!node || node->GetIsNull()) {
        cell->Clear();
        continue;
      }
      switch (e->GetExprType()) {
        case ttString: cell->SetAsString(node->GetAsString()); break;
        case ttFloat: cell->SetAsFloat(node->GetAsFloat()); break;
        case ttInteger: cell->SetAsInteger(node->GetAsInteger()); break;
        case ttBoolean: cell->SetAsBoolean(node->GetAsBoolean()); break;
      }
    }
  };
  TkpField* havingCell = hasHaving ? rows.Fields.GetItem(a_.HavingCol) : nullptr;
  TColumnItem* havingColumn = hasHaving ? a_.ColumnList.Get(a_.HavingCol) : nullptr;
  const bool havingOverGroup = hasHaving && havingColumn->Aggregates && havingColumn->Aggregates->Count() > 0;

  // Final values, HAVING, and the rows that stay.
  std::vector<int32_t> kept;
  for (size_t g = 0; g < heads.size(); ++g) {
    const int32_t head = heads[g];
    loadSlots(static_cast<int32_t>(g), head);
    if (hasHaving) {
      bool pass;
      if (havingOverGroup) {
        TExpression* e = havingColumn->Compiled->Expression.get();
        pass = !e->GetIsNull() && e->GetAsBoolean();
      } else {
        // A HAVING without aggregates was evaluated on the head row itself.
        pass = !havingCell->GetIsNull() && havingCell->GetAsBoolean();
      }
      if (!pass) continue;
    }
    writeColumns();
    kept.push_back(head);
    if (limit > 0)
      for (const int32_t r : extraRows[g]) {
        loadSlots(-1, r);
        writeColumns();
        kept.push_back(r);
      }
  }

  // Ascending order of the GROUP BY columns (nulls first); the rows of one
  // group keep their scan order.  Rows not named are dropped.
  TMemSortList order(false);
  for (TkpField* cell : keyCells) order.AddField(cell->DataType, cell->GetColWidth(), false);
  if (limit > 1) order.AddField(ttInteger, 0, false);
  for (const int32_t r : kept) {
    rows.SetRecno(r);
    order.Insert();
    order.SetSourceRecno(r);
    for (int32_t i = 0; i < groupItems; ++i) {
      TkpField* cell = keyCells[static_cast<size_t>(i)];
      if (cell->GetIsNull()) continue;
      TSrtField* f = order.Fields.Items(i);
      switch (cell->DataType) {
        case ttString: f->SetAsString(cell->GetAsString()); break;
        case ttFloat: f->SetAsFloat(cell->GetAsFloat()); break;
        case ttInteger: f->SetAsInteger(cell->GetAsInteger()); break;
        case ttBoolean: f->SetAsBoolean(cell->GetAsBoolean()); break;
      }
    }
    if (limit > 1) order.Fields.Items(groupItems)->SetAsInteger(r);
  }
  order.Sort();
  rows.SortWithList(order);
}
