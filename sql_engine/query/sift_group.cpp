// GROUP BY, aggregates and HAVING (see sift_group.h).
#include "sql_engine/query/sift_group.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_plan.h"
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

// A value of the row being grouped, read from a result cell.
struct TCellValue {
  TkpField* Cell;
  // A text cell that holds no text is null, as the scan reads it.
  bool IsNull() { return Cell->GetIsNull() || (Cell->DataType == ttString && Cell->GetAsString().empty()); }
  TExprType Type() const { return Cell->DataType; }
  std::string AsString() { return Cell->GetAsString(); }
  double AsFloat() { return Cell->GetAsFloat(); }
  int32_t AsInteger() { return Cell->GetAsInteger(); }
  bool AsBoolean() { return Cell->GetAsBoolean(); }
};

// The same value read from the column's compiled expression while the scan
// stands on the row; a text is cut as the column's cell would cut it.  The
// buffer and the text are the caller's, reused from row to row.
struct TExprValue {
  // A text field read as such: `fe` is the column's expression itself.
  TExprValue(TFieldExpr& fe, int32_t width, std::string& buffer, std::string& text)
      : Node(&fe), Kind(ttString), Width(width), Buffer(buffer), Text(text) {
    ReadField(fe);
    NullByText = HaveText = true;
  }
  TExprValue(TExpression* e, int32_t width, std::string& buffer, std::string& text)
      : Node(e->GetCurrentNode()), Kind(e->GetExprType()), Width(width), Buffer(buffer), Text(text) {
    // A text field is null exactly when it reads as no text: one read of
    // the dataset answers both questions.
    if (Kind == ttString && Node)
      if (auto* fe = dynamic_cast<TFieldExpr*>(Node); fe && fe->Field->DataType() == ftString) {
        ReadField(*fe);
        NullByText = HaveText = true;
      }
  }
  // The field's text, seen where the dataset keeps it or read into the
  // buffer (a null or disabled field reads as no text).
  void ReadField(TFieldExpr& fe) {
    TField* f = fe.Field;
    if (fe.Context && fe.Context->IsDataSetDisabled(f->DataSet())) return;
    const size_t width = static_cast<size_t>(std::max(Width, 0));
    std::string_view text;
    if (fe.ReadText(Buffer, text)) {
      View = text.substr(0, std::min(text.size(), width));
      return;
    }
    const size_t size = static_cast<size_t>(std::max(f->DataSize(), 0));
    if (Buffer.size() < size + 1) Buffer.resize(size + 1);
    if (!f->GetData(Buffer.data())) return;
    Buffer[size] = '\0';
    View = std::string_view(Buffer.data(), strnlen(Buffer.data(), std::min(size, width)));
  }
  bool IsNull() {
    if (NullByText) return View.empty();
    return !Node || Node->GetIsNull();
  }
  TExprType Type() const { return Kind; }
  std::string_view AsString() {
    if (!HaveText) {
      Text = Node->GetAsString();
      if (Text.size() > static_cast<size_t>(Width)) Text.resize(static_cast<size_t>(Width));
      const size_t nul = Text.find('\0');
      if (nul != std::string::npos) Text.resize(nul);
      View = Text;
      HaveText = true;
    }
    return View;
  }
  double AsFloat() { return Node->GetAsFloat(); }
  int32_t AsInteger() { return Node->GetAsInteger(); }
  bool AsBoolean() { return Node->GetAsBoolean(); }

  TExpression* Node;
  TExprType Kind;
  int32_t Width;
  std::string& Buffer;
  std::string& Text;
  std::string_view View;
  bool HaveText = false;
  bool NullByText = false;
};

// A plain text field of the scanned dataset read from its record image (see
// TFieldTextPlace), cut as the column's cell would cut it: what TExprValue
// gives for the same field, without asking the dataset per row.
struct TPlacedText {
  std::string_view View;
  bool IsNull() const { return View.empty(); }
  TExprType Type() const { return ttString; }
  std::string_view AsString() const { return View; }
  double AsFloat() const { return 0; }
  int32_t AsInteger() const { return 0; }
  bool AsBoolean() const { return false; }
};

// A number, date or Boolean field of the scanned dataset read from the
// field itself, as the field's expression node reads it.
struct TFieldValue {
  TField* Field;
  TExprType Kind;
  bool IsNull() const { return Field->IsNull(); }
  TExprType Type() const { return Kind; }
  std::string AsString() const { return Field->AsString(); }
  double AsFloat() const { return Field->AsFloat(); }
  int32_t AsInteger() const { return Field->AsInteger(); }
  bool AsBoolean() const { return Field->AsBoolean(); }
};

// An argument that is never null and never changes: COUNT(*) counts its
// "0", COUNT(1) its 1.
bool ConstantArgument(TExpression* e) {
  if (!e) return false;
  if (typeid(*e) == typeid(TIntegerLiteral) || typeid(*e) == typeid(TFloatLiteral) ||
      typeid(*e) == typeid(TBooleanLiteral))
    return true;
  return typeid(*e) == typeid(TStringLiteral) && !static_cast<TStringLiteral*>(e)->Value.empty();
}

// Aggregates over plain fields read them in place (see TakeRow); off, every
// argument is read through its expression.
bool g_group_in_place = true;

// Appends a value as key bytes: a null marker, or a value marker and the
// value (texts length-prefixed, so keys of several values cannot run into
// each other).  An empty text is null.
template <class V>
void AppendKey(std::string& key, V&& v) {
  if (v.IsNull()) {
    key += '\0';
    return;
  }
  switch (v.Type()) {
    case ttString: {
      // A cell's text by value, a read text as a view of the row.
      decltype(auto) s = v.AsString();
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
      double d = v.AsFloat();
      if (d == 0) d = 0;  // -0 and 0 are one value
      key += '\1';
      AppendBytes(key, &d, sizeof d);
      return;
    }
    case ttInteger: {
      const int32_t n = v.AsInteger();
      key += '\1';
      AppendBytes(key, &n, sizeof n);
      return;
    }
    case ttBoolean: key += v.AsBoolean() ? '\2' : '\1'; return;
  }
}

bool NumericType(TExprType t) { return t == ttFloat || t == ttInteger; }

// SUM, AVG and STDEV add what they are given: numbers, or texts that read as
// numbers.
bool SummableType(TExprType t) { return NumericType(t) || t == ttString; }

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

// Under the separators the query runs with, as every text the expression
// language reads as a number.
double SiftTextAsNumber(const std::string& text, TAggregateKind kind, const std::string& column) {
  long double x;
  if (!TryStrToFloat(text, x))
    SiftErrorText(FormatMessage("%s over %s: \"%s\" is not a number", {KindName(kind), column, text}));
  return CheckedFloat(x);
}

bool SiftGroupInPlace() { return g_group_in_place; }
void SetSiftGroupInPlace(bool on) { g_group_in_place = on; }

// ------------------------------------------------------------------ state

// What the compiled group columns read, and the context that binds their
// names to it.
struct TSiftGroup::TGroupState : public TExprContext {
  struct TAggregateRef {
    int32_t Column = 0;  // the column the aggregate belongs to
    int32_t Index = 0;   // its index within the column
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

  explicit TGroupState(TSiftPlan& plan) : Plan(plan) {}

  TSiftPlan& Plan;
  std::vector<TAggregateRef> Aggregates;
  std::vector<TFieldRef> Fields;
  std::vector<int32_t> Columns;  // columns compiled over the slots

  // The groups found so far: key bytes to group number, each group's first
  // row, its accumulators (one per aggregate), the DISTINCT arguments seen
  // per aggregate, and with TOP n the further rows each group keeps.
  std::unordered_map<std::string, int32_t> GroupIndex;
  std::vector<int32_t> Heads;
  std::vector<TAccumulator> Acc;
  std::vector<std::unordered_set<std::string>> Seen;
  std::vector<std::vector<int32_t>> Extra;
  std::string Key, ValueKey;
  std::string FieldBuffer;
  std::string FieldText;
  // Whether the scan groups its rows as it reads them (-1 not decided
  // yet), the rows it grouped into, and whether a head row is being stored.
  int8_t Streaming = -1;
  TResultSet* StreamedRows = nullptr;
  // What a streamed row reads per group item and per aggregate argument,
  // fixed once the streaming is decided: the compiled expression, the
  // column's width, and the expression as a text field where it is one
  // (read without asking the expression what it is).
  struct TStreamArg {
    TExpression* Expr = nullptr;
    int32_t Width = 0;
    TFieldExpr* TextField = nullptr;
  };
  std::vector<TStreamArg> KeyArgs, AggArgs;
  // Per aggregate, fixed with the streaming: the plain field of the main
  // dataset its argument is (none: the argument is read as an expression),
  // and for a text field kept as plain bytes, its place in the record image.
  struct TFieldArg {
    TField* Field = nullptr;
    bool Counts = false;  // COUNT of a constant (COUNT(*)): every row counts
    TExprType Kind = ttInteger;
    bool Placed = false;
    TFieldTextPlace Place;
    size_t Width = 0;  // the argument column's width, a text's cut
    // MAX (1) or MIN (-1) of a text read in place, not DISTINCT: kept by
    // the one group's loop itself.
    int8_t Extreme = 0;
  };
  std::vector<TFieldArg> FieldArgs;
  // Some arguments are such fields, some are texts read from the record
  // image; without GROUP BY every argument is such a field.
  bool AnyFieldArg = false, AnyPlaced = false, AllFieldArgs = false;
  bool Storing = false;

  void ResetGroups() {
    GroupIndex.clear();
    Heads.clear();
    Acc.clear();
    Seen.assign(Aggregates.size(), {});
    Extra.clear();
  }
  // The group of the key in `Key`; a new group gets `row` as its head
  // (none yet: -1, the caller stores it).
  int32_t FindGroup(int32_t row, bool& added) {
    auto [it, fresh] = GroupIndex.try_emplace(Key, static_cast<int32_t>(Heads.size()));
    added = fresh;
    if (fresh) {
      Heads.push_back(row);
      Acc.resize(Acc.size() + Aggregates.size());
      Extra.emplace_back();
    }
    return it->second;
  }
  // Adds one non-null argument of aggregate j to group g.
  template <class V>
  void Accumulate(int32_t g, size_t j, V&& v) {
    const TAggregateRef& ref = Aggregates[j];
    if (ref.Item->Distinct) {
      ValueKey.assign(reinterpret_cast<const char*>(&g), sizeof g);
      AppendKey(ValueKey, v);
      if (!Seen[j].insert(ValueKey).second) return;
    }
    TAccumulator& a = Acc[static_cast<size_t>(g) * Aggregates.size() + j];
    switch (ref.Item->Kind) {
      case akCOUNT: break;
      case akSUM:
      case akAVG:
      case akSTDEV:
        if (ref.ArgType == ttInteger) {
          const int32_t n = v.AsInteger();
          a.IntSum += n;
          a.Sum += n;
          a.SqrSum += static_cast<double>(n) * n;
        } else if (ref.ArgType == ttString) {
          const double d = SiftTextAsNumber(std::string(v.AsString()), ref.Item->Kind, ref.Item->ArgumentText);
          a.Sum += d;
          a.SqrSum += d * d;
        } else {
          const double d = v.AsFloat();
          a.Sum += d;
          a.SqrSum += d * d;
        }
        break;
      case akMIN:
      case akMAX: {
        const bool isMin = ref.Item->Kind == akMIN;
        if (ref.ArgType == ttString) {
          decltype(auto) t = v.AsString();
          // Texts compare by their bytes.
          const std::string_view tv(t), extreme(a.TextExtreme);
          if (a.Count == 0 || (isMin ? tv < extreme : tv > extreme)) a.TextExtreme = tv;
        } else if (ref.ArgType == ttBoolean) {
          const bool b = v.AsBoolean();
          if (a.Count == 0 || (isMin ? b < a.BoolExtreme : b > a.BoolExtreme)) a.BoolExtreme = b;
        } else {
          const double d = v.AsFloat();
          if (a.Count == 0 || (isMin ? d < a.NumExtreme : d > a.NumExtreme)) a.NumExtreme = d;
        }
        break;
      }
    }
    ++a.Count;
  }

  TAggregateRef* FindAggregate(int32_t column, int32_t index) {
    for (TAggregateRef& a : Aggregates)
      if (a.Column == column && a.Index == index) return &a;
    return nullptr;
  }

  // ---- TExprContext: qualified names are slots; the rest is the plan's ----
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
    TDataSet* ds = Plan.FindDataSetByName(group);
    TField* field = ds ? ds->FindField(TrimSquareBrackets(ident)) : nullptr;
    if (!field) return nullptr;  // the parser reports the name
    auto names = std::make_unique<TParameterList>();
    names->Add(std::make_unique<TStringLiteral>(group));
    names->Add(std::make_unique<TStringLiteral>(ident));
    TFieldExpr probe(std::move(names), field, &Plan);
    const TExprType type = probe.GetExprType();
    TFieldRef ref;
    ref.Name = name;
    ref.Field = field;
    ref.Slot = std::make_unique<TGroupSlot>(type, type == ttString ? probe.GetMaxLen() : 0);
    Fields.push_back(std::move(ref));
    return Fields.back().Slot.get();
  }
  TDataSet* FindDataSetByName(const std::string& name) override { return Plan.FindDataSetByName(name); }
  bool IsDataSetDisabled(TDataSet* ds) override { return Plan.IsDataSetDisabled(ds); }
  bool ParamAsField(const std::string& name, std::string& group, std::string& field) override {
    return Plan.ParamAsField(name, group, field);
  }
  TParam* FindParam(const std::string& name) override { return Plan.FindParam(name); }
  bool HasMasterSource() override { return Plan.HasMasterSource(); }
  TDataSet* MasterDataSet() override { return Plan.MasterDataSet(); }
  bool HasUDFEvents() override { return Plan.HasUDFEvents(); }
  bool UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType, int32_t& maxLen) override {
    return Plan.UDFCheck(identifier, params, dataType, maxLen);
  }
  Variant UDFSolve(const std::string& identifier, TParameterList* params) override {
    return Plan.UDFSolve(identifier, params);
  }
};

// ----------------------------------------------------------- construction

TSiftGroup::TSiftGroup(TSiftPlan& plan) : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()) {}

TSiftGroup::~TSiftGroup() = default;

TDataSet* TSiftGroup::Main() const { return plan_.MainDataSet(); }

// -------------------------------------------------------------- compiling

void TSiftGroup::CompileGroupColumns(int32_t count) {
  group_ = std::make_unique<TGroupState>(plan_);
  TGroupState& g = *group_;
  for (int32_t i = 0; i < count; ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (!c->Aggregates || c->Aggregates->Count() == 0) continue;
    if (!c->Subqueries.empty()) SiftErrorText("A subquery in a column with aggregates is not supported");
    std::string text = c->ExprText;
    for (int32_t k = 0; k < c->Aggregates->Count(); ++k) {
      TAggregateItem* item = c->Aggregates->Get(k);
      // The argument's own column, read per scanned row.
      auto arg = std::make_unique<TExprParser>(&plan_, Main());
      arg->ParseExpression(item->ArgumentText);
      if (!arg->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {item->ArgumentText});
      const TExprType argType = arg->Expression->GetExprType();
      if ((item->Kind == akSUM || item->Kind == akAVG || item->Kind == akSTDEV) && !SummableType(argType))
        SiftErrorText(FormatMessage("%s needs a numeric argument: %s", {KindName(item->Kind), item->ArgumentText}));
      const int32_t argWidth = argType == ttString ? arg->Expression->GetMaxLen() : 0;
      TColumnItem* aux = a_.ColumnList.Add();
      aux->ExprText = item->ArgumentText;
      aux->Caption = item->ArgumentText;
      aux->Auxiliary = a_.PivotStr.empty();
      aux->Compiled = sift::OwnExpr(std::move(arg));
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
      if (item->Kind == akSUM && argType == ttString) type = ttFloat;
      ref.Slot = std::make_unique<TGroupSlot>(type, type == ttString ? argWidth : 0);
      g.Aggregates.push_back(std::move(ref));
      text = ReplaceOutsideLiterals(text, "{Aggregate " + std::to_string(k) + "}",
                                    std::string(kSlotGroup) + ".C" + std::to_string(i) + "A" + std::to_string(k));
    }
    const size_t fieldsBefore = g.Fields.size();
    auto parser = std::make_unique<TExprParser>(&g, Main());
    parser->ParseExpression(text);
    if (!parser->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {c->Caption});
    c->Compiled = sift::OwnExpr(std::move(parser));
    g.Columns.push_back(i);
    // Each plain field the text named is kept per row in a column of its own.
    for (size_t f = fieldsBefore; f < g.Fields.size(); ++f) {
      TGroupState::TFieldRef& ref = g.Fields[f];
      auto names = std::make_unique<TParameterList>();
      const size_t dot = ref.Name.find('.');
      names->Add(std::make_unique<TStringLiteral>(ref.Name.substr(0, dot)));
      names->Add(std::make_unique<TStringLiteral>(ref.Name.substr(dot + 1)));
      auto holder = std::make_unique<TExprParser>(&plan_, Main());
      holder->Expression = std::make_unique<TFieldExpr>(std::move(names), ref.Field, &plan_);
      TColumnItem* aux = a_.ColumnList.Add();
      aux->ExprText = ref.Name;
      aux->Caption = ref.Name;
      aux->Auxiliary = true;
      aux->Compiled = sift::OwnExpr(std::move(holder));
      ref.Column = a_.ColumnList.Count() - 1;
    }
  }
  for (int32_t i = 0; i < a_.GroupByList.Count(); ++i) {
    const TColumnItem* c = a_.ColumnList.Get(a_.GroupByList.Get(i)->ColumnIndex);
    if (c->Aggregates && c->Aggregates->Count() > 0) SiftErrorText("Aggregates are not allowed in GROUP BY");
  }
  if (a_.HavingCol >= 0 && a_.HavingCol < a_.ColumnList.Count()) {
    TColumnItem* h = a_.ColumnList.Get(a_.HavingCol);
    if (h->Compiled && h->Compiled->Expression && h->Compiled->Expression->GetExprType() != ttBoolean)
      SiftError(SiftMsg::SExprNotBoolean);
  }
}

// --------------------------------------------------------------- grouping

namespace {

// Marks a head row as being stored, on every path.
class TStoringGuard {
public:
  explicit TStoringGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~TStoringGuard() { flag_ = false; }
  TStoringGuard(const TStoringGuard&) = delete;
  TStoringGuard& operator=(const TStoringGuard&) = delete;

private:
  bool& flag_;
};

}  // namespace

bool TSiftGroup::TakeRow(TSiftScan& scan, bool withBookmark) {
  TResultSet* rows = scan.Rows();
  if (!group_ || group_->Storing || !rows) return false;
  TGroupState& gs = *group_;
  // The one group of a SELECT without GROUP BY whose arguments are all
  // fields read in place: nothing to look up, nothing to evaluate.
  if (gs.AllFieldArgs && !gs.Heads.empty() && TakeInPlace()) return true;
  const int32_t groupItems = a_.GroupByList.Count();
  if (gs.Streaming < 0) {
    // A plain grouped SELECT keeps only each group's first row: the rows
    // of a cross-tab, and the several rows per group of TOP n, are kept
    // whole, and so are rows whose keys the scan cannot read off the
    // compiled columns (casts, subqueries, memo fields).
    bool stream = a_.Statement == ssSelect && a_.PivotStr.empty() && (groupItems == 0 || a_.TopNInGroupBy <= 0) &&
                  (groupItems > 0 || a_.HasAggregates() || a_.HavingCol >= 0);
    for (int32_t i = 0; stream && i < groupItems; ++i) {
      const int32_t col = a_.GroupByList.Get(i)->ColumnIndex;
      const TColumnItem* c = a_.ColumnList.Get(col);
      const TkpField* cell = rows->Fields.GetItem(col);
      stream = c->CastKind == 0 && c->Subqueries.empty() && c->Compiled && c->Compiled->Expression &&
               !(cell->SourceField && cell->SourceField->IsBlob());
    }
    gs.Streaming = stream ? 1 : 0;
    if (stream) {
      gs.ResetGroups();
      gs.StreamedRows = rows;
      auto arg = [&](int32_t col) {
        TGroupState::TStreamArg a;
        a.Expr = a_.ColumnList.Get(col)->Compiled->Expression.get();
        a.Width = rows->Fields.GetItem(col)->ColWidth;
        if (typeid(*a.Expr) == typeid(TFieldExpr) && a.Expr->GetExprType() == ttString) {
          auto* fe = static_cast<TFieldExpr*>(a.Expr);
          if (fe->Field->DataType() == ftString) a.TextField = fe;
        }
        return a;
      };
      gs.KeyArgs.clear();
      gs.AggArgs.clear();
      for (int32_t i = 0; i < groupItems; ++i) gs.KeyArgs.push_back(arg(a_.GroupByList.Get(i)->ColumnIndex));
      for (const auto& ref : gs.Aggregates) gs.AggArgs.push_back(arg(ref.ArgColumn));
      ResolveFieldArgs();
    }
  }
  if (gs.Streaming == 0) return false;

  auto value = [&gs](const TGroupState::TStreamArg& a) {
    return a.TextField ? TExprValue(*a.TextField, a.Width, gs.FieldBuffer, gs.FieldText)
                       : TExprValue(a.Expr, a.Width, gs.FieldBuffer, gs.FieldText);
  };
  gs.Key.clear();
  for (const auto& a : gs.KeyArgs) AppendKey(gs.Key, value(a));
  bool added = false;
  // Without GROUP BY every row falls into the one group (an empty key):
  // nothing to look up once it exists.
  const int32_t g = groupItems == 0 && !gs.Heads.empty() ? 0 : gs.FindGroup(-1, added);
  if (added) {
    TStoringGuard storing(gs.Storing);
    scan.AddThisRecord(withBookmark);
    gs.Heads[static_cast<size_t>(g)] = rows->GetRecordCount();
  }
  // The arguments that are plain fields of the main dataset are read from
  // it directly (a text from the record image where the dataset keeps it
  // so); a disabled dataset, or one not browsing, reads as the expressions
  // read it.
  const bool direct = gs.AnyFieldArg && !plan_.IsDataSetDisabled(Main());
  const uint8_t* record = direct && gs.AnyPlaced ? Main()->BrowseRecordImage() : nullptr;
  for (size_t j = 0; j < gs.Aggregates.size(); ++j) {
    const TGroupState::TFieldArg& fa = gs.FieldArgs[j];
    if (direct && fa.Field && (record || !fa.Placed)) {
      AccumulateField(j, record, g);
      continue;
    }
    TExprValue v = value(gs.AggArgs[j]);
    if (!v.IsNull()) gs.Accumulate(g, j, v);
  }
  return true;
}

bool TSiftGroup::TakeInPlace() {
  if (plan_.IsDataSetDisabled(Main())) return false;
  return TakeRecord(group_->AnyPlaced ? Main()->BrowseRecordImage() : nullptr);
}

bool TSiftGroup::TakeRecord(const uint8_t* record) {
  TGroupState& gs = *group_;
  if (!record && gs.AnyPlaced) return false;
  for (size_t j = 0; j < gs.Aggregates.size(); ++j) {
    const TGroupState::TFieldArg& fa = gs.FieldArgs[j];
    TAccumulator& a = gs.Acc[j];
    if (fa.Counts) {
      ++a.Count;
      continue;
    }
    if (fa.Extreme == 0) {
      AccumulateField(j, record);
      continue;
    }
    // A record whose first byte is a character (no blank, no zero) holds a
    // text starting with it; where that byte already loses to the extreme's
    // first byte the text loses as a whole, and only counts.
    if (a.Count > 0 && fa.Width > 0 && fa.Place.Cut > 0 && !a.TextExtreme.empty()) {
      const uint8_t first = record[fa.Place.Offset];
      const uint8_t extreme = static_cast<uint8_t>(a.TextExtreme[0]);
      if (first != ' ' && first != 0 && (fa.Extreme > 0 ? first < extreme : first > extreme)) {
        ++a.Count;
        continue;
      }
    }
    // What Accumulate does for it, texts comparing by their bytes.
    bool null = true;
    const std::string_view text = fa.Place.Read(record, null).substr(0, fa.Width);
    if (text.empty()) continue;
    if (a.Count == 0 ||
        (fa.Extreme > 0 ? text > std::string_view(a.TextExtreme) : text < std::string_view(a.TextExtreme)))
      a.TextExtreme.assign(text);
    ++a.Count;
  }
  return true;
}

bool TSiftGroup::TakeRest(TSiftScan& scan, TDataSet& main) {
  if (!group_ || !group_->AllFieldArgs || group_->Heads.empty() || &main != Main()) return false;
  // Nothing in the loop disables or enables a dataset.
  if (plan_.IsDataSetDisabled(Main())) return false;
  const bool where = plan_.Where() != nullptr;
  const bool placed = group_->AnyPlaced;
  for (main.WalkNext(); !main.Eof(); main.WalkNext())
    if ((!where || plan_.TestWhere()) && !TakeRecord(placed ? main.BrowseRecordImage() : nullptr)) scan.AddThisRecord();
  return true;
}

void TSiftGroup::AccumulateField(size_t j, const uint8_t* record, int32_t g) {
  TGroupState& gs = *group_;
  const TGroupState::TFieldArg& fa = gs.FieldArgs[j];
  if (fa.Placed) {
    bool null = true;
    const std::string_view text = fa.Place.Read(record, null);
    const TPlacedText v{text.substr(0, fa.Width)};
    if (!v.IsNull()) gs.Accumulate(g, j, v);
  } else {
    const TFieldValue v{fa.Field, fa.Kind};
    if (!v.IsNull()) gs.Accumulate(g, j, v);
  }
}

void TSiftGroup::ResolveFieldArgs() {
  TGroupState& gs = *group_;
  gs.FieldArgs.assign(gs.Aggregates.size(), {});
  gs.AnyFieldArg = gs.AnyPlaced = gs.AllFieldArgs = false;
  if (!g_group_in_place) return;
  for (size_t j = 0; j < gs.Aggregates.size(); ++j) {
    TExpression* e = gs.AggArgs[j].Expr;
    const TAggregateItem* item = gs.Aggregates[j].Item;
    if (item->Kind == akCOUNT && !item->Distinct && ConstantArgument(e)) {
      gs.FieldArgs[j].Counts = true;
      continue;
    }
    if (!e || typeid(*e) != typeid(TFieldExpr)) continue;
    auto* fe = static_cast<TFieldExpr*>(e);
    TField* f = fe->Field;
    if (!f || f->DataSet() != Main() || fe->Context != &plan_) continue;
    const TExprType kind = gs.Aggregates[j].ArgType;
    TGroupState::TFieldArg& fa = gs.FieldArgs[j];
    if (kind == ttString) {
      // Only a text the dataset keeps as plain bytes; other texts (memos,
      // translated tables) are read as their expressions read them.
      if (gs.AggArgs[j].TextField != fe || !Main()->GetFieldTextPlace(f, fa.Place)) continue;
      fa.Placed = gs.AnyPlaced = true;
    } else {
      // A kind the expression reads as no value at all stays with it.
      bool emptyText = false;
      if (FieldExprType(f->DataType(), TFieldUse::Statement, &emptyText) != kind || emptyText) continue;
    }
    fa.Field = f;
    fa.Kind = kind;
    fa.Width = static_cast<size_t>(std::max(gs.AggArgs[j].Width, 0));
    if (fa.Placed && !item->Distinct) fa.Extreme = item->Kind == akMAX ? 1 : item->Kind == akMIN ? -1 : 0;
    gs.AnyFieldArg = true;
  }
  // COUNT(*) keeps the loop: it only counts.
  gs.AllFieldArgs =
      a_.GroupByList.Count() == 0 && !gs.Aggregates.empty() &&
      std::all_of(gs.FieldArgs.begin(), gs.FieldArgs.end(), [](const auto& fa) { return fa.Field || fa.Counts; });
}

bool TSiftGroup::CountingScan(TSiftScan& scan, bool rowConditions) {
  if (a_.Statement != ssSelect || !a_.PivotStr.empty() || a_.GroupByList.Count() != 0) return false;
  if (rowConditions) return false;
  // Progress and cancelling are reported per row.
  if (q_.OnProgress || q_.OnCancelQuery || !group_ || group_->Aggregates.empty() || !scan.Rows()) return false;
  for (const auto& ref : group_->Aggregates) {
    if (ref.Item->Kind != akCOUNT || ref.Item->Distinct) return false;
    const TColumnItem* arg = a_.ColumnList.Get(ref.ArgColumn);
    if (!arg->Compiled || !ConstantArgument(arg->Compiled->Expression.get())) return false;
  }
  if (q_.IsDataSetDisabled(Main())) return false;
  int count = 0;
  if (!Main()->CountVisibleRecords(count)) return false;
  // The first row heads the group (its other columns are read from it, as
  // the walk reads them); the others only add to the counts.
  Main()->First();
  if (Main()->Eof()) return true;
  scan.AddThisRecord();
  TGroupState& gs = *group_;
  if (gs.Streaming == 1 && gs.Heads.size() == 1 && count > 1)
    for (size_t j = 0; j < gs.Aggregates.size(); ++j) gs.Acc[j].Count += count - 1;
  // The dataset ends where the walk would have left it.
  Main()->Last();
  return true;
}

void TSiftGroup::DoGroupBy(TResultSet& rows) {
  const int32_t groupItems = a_.GroupByList.Count();
  const bool hasHaving = a_.HavingCol >= 0 && a_.HavingCol < a_.ColumnList.Count();
  if (groupItems == 0 && !a_.HasAggregates() && !hasHaving) return;
  // Aggregates over no rows give no row.
  if (rows.GetRecordCount() == 0) return;
  rows.SourceBookmarked = false;
  if (!group_) group_ = std::make_unique<TGroupState>(plan_);
  TGroupState& gs = *group_;
  const size_t aggCount = gs.Aggregates.size();

  std::vector<TkpField*> keyCells;
  for (int32_t i = 0; i < groupItems; ++i) keyCells.push_back(rows.Fields.GetItem(a_.GroupByList.Get(i)->ColumnIndex));
  const int32_t limit = groupItems > 0 ? a_.TopNInGroupBy : 0;

  if (gs.Streaming != 1 || gs.StreamedRows != &rows) {
    // One pass: each row finds its group by its key bytes and adds its
    // arguments to the group's accumulators.
    gs.ResetGroups();
    std::vector<TkpField*> argCells;
    for (const auto& a : gs.Aggregates) argCells.push_back(rows.Fields.GetItem(a.ArgColumn));
    const int32_t n = rows.GetRecordCount();
    for (int32_t r = 1; r <= n; ++r) {
      rows.SetRecno(r);
      gs.Key.clear();
      for (TkpField* cell : keyCells) AppendKey(gs.Key, TCellValue{cell});
      bool added = false;
      const int32_t g = gs.FindGroup(r, added);
      auto& extra = gs.Extra[static_cast<size_t>(g)];
      if (!added && limit > 1 && static_cast<int32_t>(extra.size()) < limit - 1) extra.push_back(r);
      for (size_t j = 0; j < aggCount; ++j)
        if (TCellValue v{argCells[j]}; !v.IsNull()) gs.Accumulate(g, j, v);
    }
  }
  gs.Seen.clear();
  gs.GroupIndex.clear();

  // The slots of a group's (or a kept row's) results.
  const TAccumulator empty;
  auto loadSlots = [&](int32_t g, int32_t row) {
    for (size_t j = 0; j < aggCount; ++j) {
      const auto& ref = gs.Aggregates[j];
      const TAccumulator& a = g >= 0 ? gs.Acc[static_cast<size_t>(g) * aggCount + j] : empty;
      Variant& v = ref.Slot->Value;
      switch (ref.Item->Kind) {
        case akCOUNT: v = Variant(a.Count); break;
        case akSUM:
          if (a.Count == 0) v = Variant::Null();
          else if (ref.ArgType == ttInteger) v = Variant(a.IntSum);
          else v = Variant(a.Sum);
          break;
        case akAVG: v = Variant(a.Count > 0 ? a.Sum / a.Count : 0.0); break;
        case akSTDEV: {
          double sd = 0;
          if (a.Count >= 2) {
            const double d = a.SqrSum - a.Sum * a.Sum / a.Count;
            sd = std::sqrt((d < 0 ? 0 : d) / (a.Count - 1));
          }
          v = Variant(sd);
          break;
        }
        case akMIN:
        case akMAX:
          if (a.Count == 0) v = Variant::Null();
          else if (ref.ArgType == ttString) v = Variant(a.TextExtreme);
          else if (ref.ArgType == ttBoolean) v = Variant(a.BoolExtreme);
          else if (ref.ArgType == ttInteger) v = Variant(static_cast<int32_t>(a.NumExtreme));
          else v = Variant(a.NumExtreme);
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
  for (size_t g = 0; g < gs.Heads.size(); ++g) {
    const int32_t head = gs.Heads[g];
    loadSlots(static_cast<int32_t>(g), head);
    if (hasHaving) {
      bool pass;
      if (havingOverGroup) {
        TExpression* e = havingColumn->Compiled->Expression.get();
        TExpression* node = e->GetCurrentNode();
        pass = node && !node->GetIsNull() && node->GetAsBoolean();
      } else {
        // A HAVING without aggregates was evaluated on the head row itself.
        pass = !havingCell->GetIsNull() && havingCell->GetAsBoolean();
      }
      if (!pass) continue;
    }
    writeColumns();
    kept.push_back(head);
    if (limit > 1)
      for (const int32_t r : gs.Extra[g]) {
        loadSlots(-1, r);
        writeColumns();
        kept.push_back(r);
      }
  }
  gs.ResetGroups();

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
