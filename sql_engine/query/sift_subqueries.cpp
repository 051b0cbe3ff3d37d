// The subqueries of one statement (see sift_subqueries.h).
#include "sql_engine/query/sift_subqueries.h"

#include <cmath>
#include <unordered_set>

#include "platform/db.h"
#include "platform/exceptions.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_common.h"
#include "sql_engine/query/sift_plan.h"
#include "sql_engine/query/sift_statement.h"
#include "sql_engine/store/result_set.h"

using namespace sift;

namespace {
bool g_subquery_lookup = true;
}  // namespace

bool SiftSubqueryLookup() { return g_subquery_lookup; }
void SetSiftSubqueryLookup(bool on) { g_subquery_lookup = on; }

// Holds, per condition subquery, its first column's values and type.
struct TSiftSubqueryRows {
  std::vector<Variant> Rows;
  TExprType Type = ttString;
  bool All = false;
  TParam* Param = nullptr;
  bool Quantified = false;  // its comparison became a quantified one
  // Used more than once in the condition: every use reads the same row, so
  // no use becomes a quantified comparison of its own.
  bool Shared = false;
};

// ----------------------------------------------------- quantified subquery

namespace {

// The value of the current row of a subquery's first column.
class TSubqueryRowExpr : public TExpression {
public:
  TSubqueryRowExpr(const std::vector<Variant>* rows, const size_t* current, TExprType type)
      : Rows(rows), Current(current), Type(type) {}
  const Variant& Value() const { return (*Rows)[*Current]; }
  std::string GetAsString() override { return Value().IsClear() ? std::string() : Value().AsString(); }
  double GetAsFloat() override { return Value().IsClear() ? 0 : Value().AsDouble(); }
  int32_t GetAsInteger() override { return Value().IsClear() ? 0 : Value().AsInteger(); }
  bool GetAsBoolean() override { return !Value().IsClear() && Value().AsBoolean(); }
  TExprType GetExprType() override { return Type; }
  bool GetIsNull() override { return Value().IsClear() || (Type == ttString && Value().AsString().empty()); }
  bool NullByText() override { return false; }

  const std::vector<Variant>* Rows;
  const size_t* Current;
  TExprType Type;
};

// "operand op ANY/ALL (subquery)": true for ANY when some row compares
// true, for ALL when every row does (no rows: ANY false, ALL true).
//
// "= ANY" (IN) and "<> ALL" (NOT IN) look the operand up in a hash of the
// rows' values instead of comparing it with every row.  The keys are the
// rows read exactly as the row-by-row comparison reads them, in the type it
// compares in (the lower of the two types: texts byte by byte, numbers by
// value), so both roads give one answer: a null operand or a null row
// never compares true, so a null row makes "<> ALL" false and is never
// found by "= ANY".  The hash is built at the first row that needs it, for
// the comparison type the operand then has.
class TQuantifiedCompare : public TExpression {
public:
  TQuantifiedCompare(TOperator op, TExpressionPtr operand, const std::vector<Variant>* rows, TExprType type, bool all)
      : Rows(rows), All(all), Type(type) {
    Compare = std::make_unique<TRelationalOp>(op, std::move(operand),
                                              std::make_unique<TSubqueryRowExpr>(rows, &Current, type));
    Lookup = SiftSubqueryLookup() && ((op == opEq && !all) || (op == opNEQ && all));
  }
  bool GetAsBoolean() override {
    if (Lookup && !Rows->empty()) return LookedUp();
    for (Current = 0; Current < Rows->size(); ++Current) {
      const bool r = Compare->GetAsBoolean();
      if (All && !r) return false;
      if (!All && r) return true;
    }
    return All;
  }
  std::string GetAsString() override { return GetAsBoolean() ? "TRUE" : "FALSE"; }
  std::string GetMaxString() override { return "FALSE"; }
  double GetAsFloat() override { return GetAsBoolean() ? 1 : 0; }
  int32_t GetAsInteger() override { return GetAsBoolean() ? 1 : 0; }
  TExprType GetExprType() override { return ttBoolean; }
  bool GetIsNull() override { return false; }
  bool NullByText() override { return false; }

  const std::vector<Variant>* Rows;
  bool All;
  TExprType Type;
  size_t Current = 0;
  std::unique_ptr<TRelationalOp> Compare;

private:
  // The operand at the current row against the hashed rows (some rows).
  bool LookedUp() {
    TExpression* operand = Compare->Left.get();
    TNodeRead l(operand);
    if (l.IsNull) return false;
    const TExprType as = MinExprType(Type, operand->GetExprType());
    if (!Built || BuiltAs != as) {
      if (!Build(as)) {
        Lookup = false;
        return GetAsBoolean();
      }
    }
    // The loop reads the operand's value at the first row it compares with
    // (a read that raises raises there): ALL stops at a leading null row
    // before any, ANY reads it unless every row is null.
    if (All ? FirstRowNull : Count == 0) return false;
    bool found = false;
    switch (as) {
      case ttString: found = Texts.count(l.GetText()) > 0; break;
      case ttFloat: found = Floats.count(FloatKey(l.Node->GetAsFloat())) > 0; break;
      case ttInteger: found = Integers.count(l.Node->GetAsInteger()) > 0; break;
      case ttBoolean: {
        const bool v = l.Node->GetAsBoolean();
        found = v ? HasTrue : HasFalse;
        break;
      }
    }
    if (All) return !HasNullRow && !found;
    return found;
  }

  // -0 and 0 are equal; NaN equals nothing (it is never stored).
  static double FloatKey(double d) { return d == 0 ? 0.0 : d; }

  // Reads every row through the same row node the loop compares with;
  // false when a row cannot be read in `as` (the loop then decides, and
  // raises where it would have).
  bool Build(TExprType as) {
    Texts.clear();
    Floats.clear();
    Integers.clear();
    HasTrue = HasFalse = HasNullRow = FirstRowNull = false;
    Count = 0;
    TExpression* row = Compare->Right.get();
    try {
      for (Current = 0; Current < Rows->size(); ++Current) {
        if (row->GetIsNull()) {
          HasNullRow = true;
          if (Current == 0) FirstRowNull = true;
          continue;
        }
        ++Count;
        switch (as) {
          case ttString: Texts.insert(row->GetAsString()); break;
          case ttFloat: {
            const double d = row->GetAsFloat();
            if (!std::isnan(d)) Floats.insert(FloatKey(d));
            break;
          }
          case ttInteger: Integers.insert(row->GetAsInteger()); break;
          case ttBoolean: (row->GetAsBoolean() ? HasTrue : HasFalse) = true; break;
        }
      }
    } catch (const Exception&) {
      return false;
    }
    Built = true;
    BuiltAs = as;
    return true;
  }

  bool Lookup = false;
  bool Built = false;
  TExprType BuiltAs = ttString;
  bool HasNullRow = false, FirstRowNull = false, HasTrue = false, HasFalse = false;
  size_t Count = 0;  // rows that are not null
  std::unordered_set<std::string> Texts;
  std::unordered_set<double> Floats;
  std::unordered_set<int32_t> Integers;
};

// The parameter's value for a row: the empty text of a subquery is no
// value, as in the quantified comparisons.
void SetRowValue(TSiftSubqueryRows& s, const Variant& v) {
  if (v.IsClear() || (s.Type == ttString && v.AsString().empty())) s.Param->Clear();
  else s.Param->SetValue(v);
}

// A condition over subqueries that stand as values inside a function or
// an arithmetic expression.  A subquery without rows makes the condition
// fail (ALL over no rows holds), as its plain comparison would: a null read
// as 0 by the arithmetic must not pass rows.  One with a row is that row's
// value;
// with several rows the condition is tried with each (nested, in subquery
// order) and holds when it holds for some row, for ALL when it holds for
// every row.
class TSubqueryValueCondition : public TExpression {
public:
  TSubqueryValueCondition(TExpressionPtr condition, std::vector<TSiftSubqueryRows*> subs)
      : Condition(std::move(condition)), Subs(std::move(subs)) {
    // Fewer than two rows: the value is set once, here.
    for (TSiftSubqueryRows* s : Subs) {
      if (s->Rows.empty()) s->Param->Clear();
      else if (s->Rows.size() == 1) SetRowValue(*s, s->Rows[0]);
    }
  }
  bool GetAsBoolean() override { return Holds(0); }
  std::string GetAsString() override { return GetAsBoolean() ? "TRUE" : "FALSE"; }
  std::string GetMaxString() override { return "FALSE"; }
  double GetAsFloat() override { return GetAsBoolean() ? 1 : 0; }
  int32_t GetAsInteger() override { return GetAsBoolean() ? 1 : 0; }
  TExprType GetExprType() override { return Condition->GetExprType(); }
  bool GetIsNull() override { return false; }
  bool NullByText() override { return false; }

  TExpressionPtr Condition;
  std::vector<TSiftSubqueryRows*> Subs;

private:
  bool Holds(size_t level) {
    if (level == Subs.size()) return Condition->GetAsBoolean();
    TSiftSubqueryRows& s = *Subs[level];
    // Without rows nothing is compared: the condition fails, as a
    // comparison with a subquery without rows does (ALL holds).
    if (s.Rows.empty()) return s.All;
    if (s.Rows.size() < 2) return Holds(level + 1);
    for (const Variant& v : s.Rows) {
      SetRowValue(s, v);
      const bool r = Holds(level + 1);
      if (s.All && !r) return false;
      if (!s.All && r) return true;
    }
    return s.All;
  }
};

// Rewrites every comparison with a subquery parameter into a quantified
// comparison; the number of rewrites.
int32_t RewriteQuantified(TExpressionPtr& node, std::vector<TSiftSubqueryRows>& subs) {
  if (!node) return 0;
  auto subOf = [&](const TExpressionPtr& e) -> TSiftSubqueryRows* {
    auto* p = dynamic_cast<TExplicitParamExpr*>(e.get());
    if (!p) return nullptr;
    for (auto& s : subs)
      if (s.Param == p->Param) return s.Shared ? nullptr : &s;
    return nullptr;
  };
  if (auto* r = dynamic_cast<TRelationalOp*>(node.get())) {
    if (TSiftSubqueryRows* s = subOf(r->Right)) {
      node = std::make_unique<TQuantifiedCompare>(r->Operator, std::move(r->Left), &s->Rows, s->Type, s->All);
      s->Quantified = true;
      return 1;
    }
    if (TSiftSubqueryRows* s = subOf(r->Left)) {
      node =
          std::make_unique<TQuantifiedCompare>(Mirrored(r->Operator), std::move(r->Right), &s->Rows, s->Type, s->All);
      s->Quantified = true;
      return 1;
    }
    return RewriteQuantified(r->Left, subs) + RewriteQuantified(r->Right, subs);
  }
  if (auto* b = dynamic_cast<TBinaryOp*>(node.get())) {
    int32_t n = RewriteQuantified(b->Left, subs) + RewriteQuantified(b->Right, subs);
    for (TExpressionPtr& m : b->More) n += RewriteQuantified(m, subs);  // the rest of a chain
    if (n > 0) b->OperandsChanged();
    return n;
  }
  if (auto* u = dynamic_cast<TUnaryOp*>(node.get())) return RewriteQuantified(u->Operand, subs);
  return 0;
}

}  // namespace

// ----------------------------------------------------------- construction

TSiftSubqueries::TSiftSubqueries(TSiftPlan& plan) : plan_(plan), a_(plan.Analyzer()), q_(plan.Query()) {}

TSiftSubqueries::~TSiftSubqueries() = default;

TResultSet* TSiftSubqueries::Rows(size_t k) const {
  return k < runs_.size() && runs_[k] ? runs_[k]->GetResultSet() : nullptr;
}

bool TSiftSubqueries::HasConditionSubqueries() const {
  for (const auto& run : runs_)
    if (run) return true;
  return false;
}

// ------------------------------------------------------------- conditions

void TSiftSubqueries::RunWhereSubqueries() {
  runs_.resize(a_.SubQueryList.size());
  for (size_t k = 0; k < a_.SubQueryList.size(); ++k) {
    if (plan_.IsDerivedTable(k) || !a_.SubQueryList[k]) continue;
    runs_[k] = std::make_unique<TSiftStatement>(*a_.SubQueryList[k], q_);
    runs_[k]->CreateResultSet();
    const TSqlAnalizer& s = *a_.SubQueryList[k];
    if (a_.Statement != ssInsert && !a_.MassUpdate && (s.DoSelectAll || !s.TableAllFields.empty())) {
      TResultSet* rs = runs_[k]->GetResultSet();
      if (!rs || rs->Fields.Count() != 1) SiftError(SiftMsg::SSubqueryWrongCols);
    }
  }
}

std::unique_ptr<TExprParser> TSiftSubqueries::CompileCondition(const std::string& text, TDataSet* ds) {
  // Each "(subquery k)" stands for a parameter while the text compiles; the
  // comparisons with it then become quantified comparisons over its rows.
  std::string t = text;
  std::vector<TSiftSubqueryRows> subs;
  subs.reserve(runs_.size());
  for (size_t k = 0; k < runs_.size(); ++k) {
    if (!runs_[k]) continue;
    const std::string placeholder = "(subquery " + std::to_string(k) + ")";
    const std::string name = plan_.SubqueryParamName(static_cast<int32_t>(k));
    if (t.find(placeholder) == std::string::npos) continue;
    t = ReplaceOutsideLiterals(t, placeholder, ":" + name);
    TResultSet* rs = runs_[k]->GetResultSet();
    TSiftSubqueryRows d;
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      d.Type = f->DataType;
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        d.Rows.push_back(f->GetIsNull() ? Variant::Null() : f->GetAsVariant());
      }
    }
    d.All = k < a_.SubQueryKindList.size() && a_.SubQueryKindList[k] == skAll;
    TParam* p = plan_.OwnParams().FindParam(name);
    if (!p) {
      p = plan_.OwnParams().AddParam();
      p->SetName(name);
    }
    p->SetDataType(ParamTypeOf(d.Type));
    // A text standing as a value is sized by the widest row while the
    // condition compiles; each row sets its own when it is evaluated.
    if (d.Type == ttString) {
      std::string longest = " ";
      for (const Variant& v : d.Rows)
        if (!v.IsClear() && v.AsString().size() > longest.size()) longest = v.AsString();
      p->SetAsString(longest);
    }
    d.Param = p;
    subs.push_back(std::move(d));
  }
  auto parser = std::make_unique<TExprParser>(&plan_, ds);
  plan_.ResetSubqueryRefs();
  parser->ParseExpression(t);
  if (!subs.empty()) {
    // The nodes hold pointers into the rows: they stay with this stage.
    kept_.push_back(std::make_unique<TSubqueryRowList>(std::move(subs)));
    EvaluateSubqueryRows(*parser, *kept_.back());
  }
  if (parser->Expression && parser->Expression->GetExprType() != ttBoolean) SiftError(SiftMsg::SExprNotBoolean);
  return parser;
}

void TSiftSubqueries::EvaluateSubqueryRows(TExprParser& parser, TSubqueryRowList& subs) {
  // A subquery used more than once (a BETWEEN or an IN list over it, or
  // twice by hand) is one value per row for the whole condition: the
  // condition holds when it holds with some row in every place (ALL: with
  // every row), not when each use finds a row of its own.
  for (TSiftSubqueryRows& s : subs) s.Shared = plan_.SubqueryRefs(s.Param) > 1;
  RewriteQuantified(parser.Expression, subs);
  // The others stand as values inside functions or arithmetic, or are
  // shared: the condition is tried with each of their rows.
  std::vector<TSiftSubqueryRows*> values;
  for (TSiftSubqueryRows& s : subs)
    if (!s.Quantified) values.push_back(&s);
  if (!values.empty() && parser.Expression)
    parser.Expression = std::make_unique<TSubqueryValueCondition>(std::move(parser.Expression), std::move(values));
}

// ---------------------------------------------------------------- columns

void TSiftSubqueries::PrepareColumns(int32_t count) { columnRuns_.resize(static_cast<size_t>(count)); }

std::string TSiftSubqueries::RunColumnSubqueries(int32_t column, const std::string& columnText) {
  const int32_t i = column;
  TColumnItem* c = a_.ColumnList.Get(i);
  std::string text = columnText;
  for (size_t k = 0; k < c->Subqueries.size(); ++k) {
    auto run = std::make_unique<TSiftStatement>(*c->Subqueries[k], q_);
    run->CreateResultSet();
    const std::string name = "SIFTCOL" + std::to_string(i) + "X" + std::to_string(k);
    text = ReplaceOutsideLiterals(text, "{Subquery " + std::to_string(k) + "}", ":" + name);
    TParam* p = plan_.OwnParams().AddParam();
    p->SetName(name);
    TResultSet* rs = run->GetResultSet();
    TExprType type = ttString;
    std::string longest;
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      type = f->DataType;
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        const std::string v = f->GetAsString();
        if (v.size() > longest.size()) longest = v;
      }
    }
    p->SetDataType(ParamTypeOf(type));
    // The widest value sizes the column; each row sets its own.
    if (type == ttString) p->SetAsString(longest.empty() ? std::string(" ") : longest);
    columnRuns_[static_cast<size_t>(i)].push_back(std::move(run));
  }
  return text;
}

void TSiftSubqueries::SetColumnSubqueryValues(int32_t column, int32_t row) {
  auto& runs = columnRuns_[static_cast<size_t>(column)];
  for (size_t k = 0; k < runs.size(); ++k) {
    TParam* p = plan_.OwnParams().FindParam("SIFTCOL" + std::to_string(column) + "X" + std::to_string(k));
    TResultSet* rs = runs[k]->GetResultSet();
    const int32_t n = rs ? rs->GetRecordCount() : 0;
    if (n < 1 || rs->Fields.Count() == 0) {
      p->Clear();
      continue;
    }
    rs->SetRecno(std::min(row, n));
    TkpField* f = rs->Fields.GetItem(0);
    if (f->GetIsNull()) p->Clear();
    else p->SetValue(f->GetAsVariant());
  }
}

// ------------------------------------------------------------ data changes

std::string TSiftSubqueries::ScalarSubqueries(const std::string& text) {
  std::string t = text;
  for (size_t k = 0; k < runs_.size(); ++k) {
    if (!runs_[k]) continue;
    const std::string placeholder = "(subquery " + std::to_string(k) + ")";
    if (t.find(placeholder) == std::string::npos) continue;
    const std::string name = plan_.SubqueryParamName(static_cast<int32_t>(k));
    t = ReplaceOutsideLiterals(t, placeholder, ":" + name);
    TParam* p = plan_.OwnParams().FindParam(name);
    if (!p) {
      p = plan_.OwnParams().AddParam();
      p->SetName(name);
    }
    // The first row's value; no rows give null.
    TResultSet* rs = runs_[k]->GetResultSet();
    p->Clear();
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      switch (f->DataType) {
        case ttFloat: p->SetDataType(ftFloat); break;
        case ttInteger: p->SetDataType(ftInteger); break;
        case ttBoolean: p->SetDataType(ftBoolean); break;
        default: p->SetDataType(ftString); break;
      }
      if (rs->GetRecordCount() > 0) {
        rs->SetRecno(1);
        if (!f->GetIsNull()) p->SetValue(f->GetAsVariant());
      }
    }
  }
  return t;
}

// ----------------------------------------------------------------- DELETE
