// The execution of one SELECT or DELETE (see sift_scan.h).
#include "sql_engine/query/sift_scan.h"

#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_set>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_nodes.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/front/kp_misc.h"
#include "sql_engine/front/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/field_expr_type.h"
#include "sql_engine/store/result_set.h"
#include "sql_engine/store/sort_list.h"

// ------------------------------------------------------------ text helpers

namespace {

constexpr const char* kMarker = "\\f\"";

bool IsQuote(char c) { return c == '\'' || c == '"'; }

bool MarkerAt(const std::string& s, size_t i) { return s.compare(i, 3, kMarker) == 0; }

// Index just past the literal that starts at `i` (a doubled quote continues
// it); the text's end when it is not closed.
size_t LiteralEnd(const std::string& s, size_t i) {
  const char q = s[i];
  size_t j = i + 1;
  while (j < s.size()) {
    if (s[j] == q) {
      if (j + 1 < s.size() && s[j + 1] == q) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

// Index just past the marker that starts at `i`; npos when not closed.
size_t MarkerEnd(const std::string& s, size_t i) {
  const size_t close = s.find('"', i + 3);
  return close == std::string::npos ? close : close + 1;
}

bool IdentChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || u >= 0x80;
}

std::string Upper(const std::string& s) { return UpperCase(s); }

// The text with markers shown as their bare names (a column's caption).
std::string MarkersAsNames(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      if (end == std::string::npos) {
        out += text.substr(i);
        break;
      }
      out += text.substr(i + 3, end - i - 4);
      i = end;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// Splits a WHERE text at its top-level AND keywords (outer parentheses
// that enclose the whole text are removed first).
std::vector<std::string> TopLevelConjuncts(std::string text) {
  for (;;) {
    text = Trim(text);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') break;
    // Do the outer parentheses enclose everything?
    int depth = 0;
    bool encloses = true;
    for (size_t i = 0; i < text.size(); ++i) {
      if (IsQuote(text[i])) {
        i = LiteralEnd(text, i) - 1;
        continue;
      }
      if (text[i] == '(') ++depth;
      if (text[i] == ')' && --depth == 0 && i + 1 < text.size()) {
        encloses = false;
        break;
      }
    }
    if (!encloses) break;
    text = text.substr(1, text.size() - 2);
  }
  std::vector<std::string> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsQuote(text[i])) {
      i = LiteralEnd(text, i) - 1;
      continue;
    }
    if (text[i] == '(') ++depth;
    if (text[i] == ')') --depth;
    if (depth == 0 && Upper(text.substr(i, 5)) == " AND ") {
      out.push_back(Trim(text.substr(start, i - start)));
      start = i + 5;
      i += 4;
    }
  }
  out.push_back(Trim(text.substr(start)));
  return out;
}

}  // namespace

namespace {
bool g_subquery_lookup = true;
bool g_where_joins = true;
}  // namespace

bool SiftWhereJoins() { return g_where_joins; }
void SetSiftWhereJoins(bool on) { g_where_joins = on; }

bool SiftSubqueryLookup() { return g_subquery_lookup; }
void SetSiftSubqueryLookup(bool on) { g_subquery_lookup = on; }

int32_t SiftMulDiv(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  return static_cast<int32_t>(std::llround(static_cast<double>(a) * b / c));
}

std::string ReplaceOutsideLiterals(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      const size_t stop = end == std::string::npos ? text.size() : end;
      out += text.substr(i, stop - i);
      i = stop;
    } else if (IsQuote(text[i])) {
      const size_t end = LiteralEnd(text, i);
      out += text.substr(i, end - i);
      i = end;
    } else if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string RemoveTablePrefix(const std::string& text, const std::string& name) {
  if (name.empty()) return text;
  const std::string plain = Upper(TrimSquareBrackets(name)) + ".";
  const std::string bracketed = "[" + Upper(TrimSquareBrackets(name)) + "].";
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (IsQuote(text[i])) {
      const size_t end = LiteralEnd(text, i);
      out += text.substr(i, end - i);
      i = end;
      continue;
    }
    const bool boundary = i == 0 || !IdentChar(text[i - 1]);
    if (boundary) {
      const std::string head = Upper(text.substr(i, std::max(plain.size(), bracketed.size())));
      if (head.compare(0, bracketed.size(), bracketed) == 0) {
        i += bracketed.size();
        continue;
      }
      if (head.compare(0, plain.size(), plain) == 0) {
        i += plain.size();
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

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
  TQuantifiedCompare(TOperator op, TExpressionPtr operand, const std::vector<Variant>* rows, TExprType type,
                     bool all)
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

TOperator Mirrored(TOperator op) {
  switch (op) {
    case opGT: return opLT;
    case opLT: return opGT;
    case opGTE: return opLTE;
    case opLTE: return opGTE;
    default: return op;
  }
}

TFieldType ParamTypeOf(TExprType t) {
  switch (t) {
    case ttFloat: return ftFloat;
    case ttInteger: return ftInteger;
    case ttBoolean: return ftBoolean;
    default: return ftString;
  }
}

[[noreturn]] void NotSupported(const std::string& what) { SiftErrorText(what + " is not supported yet"); }

}  // namespace

// One JOIN ... ON step: the joined table and its compiled condition.  When
// a top-level conjunct of ON equates a field of the joined table with one
// of an earlier table, the joined table's keys are read once into a sorted
// list, and each earlier row visits only the records of its key.
struct TSiftScan::TJoinStep {
  TDataSet* DataSet = nullptr;
  TJoinAction Kind = jkLeftInnerJoin;
  std::unique_ptr<TExprParser> On;
  std::unique_ptr<TkpSortList> Keys;  // key -> bookmark of the joined table
  TField* Probe = nullptr;            // the earlier table's key field
};

namespace {

// Holds, per condition subquery, its first column's values and type.
struct TSubqueryData {
  std::vector<Variant> Rows;
  TExprType Type = ttString;
  bool All = false;
  TParam* Param = nullptr;
  bool Quantified = false;  // its comparison became a quantified one
};

// The parameter's value for a row: the empty text of a subquery is no
// value, as in the quantified comparisons.
void SetRowValue(TSubqueryData& s, const Variant& v) {
  if (v.IsClear() || (s.Type == ttString && v.AsString().empty()))
    s.Param->Clear();
  else
    s.Param->SetValue(v);
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
  TSubqueryValueCondition(TExpressionPtr condition, std::vector<TSubqueryData*> subs)
      : Condition(std::move(condition)), Subs(std::move(subs)) {
    // Fewer than two rows: the value is set once, here.
    for (TSubqueryData* s : Subs) {
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
  std::vector<TSubqueryData*> Subs;

private:
  bool Holds(size_t level) {
    if (level == Subs.size()) return Condition->GetAsBoolean();
    TSubqueryData& s = *Subs[level];
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
int32_t RewriteQuantified(TExpressionPtr& node, std::vector<TSubqueryData>& subs) {
  if (!node) return 0;
  auto subOf = [&](const TExpressionPtr& e) -> TSubqueryData* {
    auto* p = dynamic_cast<TExplicitParamExpr*>(e.get());
    if (!p) return nullptr;
    for (auto& s : subs)
      if (s.Param == p->Param) return &s;
    return nullptr;
  };
  if (auto* r = dynamic_cast<TRelationalOp*>(node.get())) {
    if (TSubqueryData* s = subOf(r->Right)) {
      node = std::make_unique<TQuantifiedCompare>(r->Operator, std::move(r->Left), &s->Rows, s->Type, s->All);
      s->Quantified = true;
      return 1;
    }
    if (TSubqueryData* s = subOf(r->Left)) {
      node = std::make_unique<TQuantifiedCompare>(Mirrored(r->Operator), std::move(r->Right), &s->Rows, s->Type,
                                                  s->All);
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

// Evaluates a Boolean condition: null is false.
bool ConditionTrue(TExprParser& p) {
  TExpression* e = p.Expression.get();
  if (!e) return true;
  return e->GetAsBoolean();
}

}  // namespace

// ----------------------------------------------------------- construction

TSiftScan::TSiftScan(TSqlAnalizer& analyzer, TCustomSift& query) : a_(analyzer), q_(query) {}

TSiftScan::~TSiftScan() = default;

std::unique_ptr<TResultSet> TSiftScan::TakeResultSet() { return std::move(result_); }

// --------------------------------------------------------- TExprContext

TDataSet* TSiftScan::FindDataSetByName(const std::string& name) {
  const std::string n = TrimSquareBrackets(name);
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TTableItem* t = a_.TableList.Get(i);
    if (SameText(TrimSquareBrackets(t->TableName), n) || SameText(TrimSquareBrackets(t->Alias), n))
      return t->SourceDataSet;
  }
  return nullptr;
}

bool TSiftScan::IsDataSetDisabled(TDataSet* ds) { return q_.IsDataSetDisabled(ds); }

bool TSiftScan::ParamAsField(const std::string& name, std::string& group, std::string& field) {
  return q_.ParamAsField(name, group, field);
}

TParam* TSiftScan::FindParam(const std::string& name) {
  if (TParam* p = own_params_.FindParam(name)) {
    ++subquery_refs_;
    return p;
  }
  return q_.FindParam(name);
}

bool TSiftScan::HasMasterSource() { return q_.HasMasterSource(); }
bool TSiftScan::ParamFromMaster(const TParam* param) {
  for (int i = 0; i < own_params_.Count(); ++i)
    if (own_params_.Items(i) == param) return false;
  return true;
}
TDataSet* TSiftScan::MasterDataSet() { return q_.MasterDataSet(); }
bool TSiftScan::HasUDFEvents() { return q_.HasUDFEvents(); }
bool TSiftScan::UDFCheck(const std::string& identifier, TParameterList* params, TExprType& dataType,
                         int32_t& maxLen) {
  return q_.UDFCheck(identifier, params, dataType, maxLen);
}
Variant TSiftScan::UDFSolve(const std::string& identifier, TParameterList* params) {
  return q_.UDFSolve(identifier, params);
}

// -------------------------------------------------------- name resolution

std::string TSiftScan::GetRealTableName(const std::string& name) const {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    if (SameText(t->TableName, name)) return name;
    if (SameText(t->Alias, name)) return t->TableName;
  }
  return name;
}

std::string TSiftScan::GetRealTableAlias(const std::string& name) const {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    if (SameText(t->TableName, name)) return t->Alias.empty() ? name : t->Alias;
    if (SameText(t->Alias, name)) return name;
  }
  return name;
}

TField* TSiftScan::FindFieldByName(const std::string& name) {
  const std::string n = TrimSquareBrackets(name);
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TDataSet* ds = a_.TableList.Get(i)->SourceDataSet;
    if (ds)
      if (TField* f = ds->FindField(n)) return f;
  }
  return nullptr;
}

bool TSiftScan::IsValidFieldName(const std::string& name, bool onlyMainDataset) {
  std::string table, field = name;
  const size_t dot = name.find('.');
  if (dot != std::string::npos) {
    table = name.substr(0, dot);
    field = name.substr(dot + 1);
  }
  TDataSet* ds = nullptr;
  if (onlyMainDataset) {
    if (table.empty()) {
      ds = main_;
    } else if (a_.TableList.Count() > 0) {
      const TTableItem* t = a_.TableList.Get(0);
      const std::string tt = TrimSquareBrackets(table);
      if (SameText(TrimSquareBrackets(t->TableName), tt) || SameText(TrimSquareBrackets(t->Alias), tt))
        ds = t->SourceDataSet;
    }
  } else {
    ds = table.empty() ? main_ : FindDataSetByName(table);
  }
  return ds != nullptr && ds->FindField(TrimSquareBrackets(field)) != nullptr;
}

std::string TSiftScan::QualifiedField(const std::string& text, bool useAlias, int32_t column) {
  if (Trim(text).empty()) return text;
  auto fromField = [&](const std::string& name, std::string& out) {
    const std::string n = TrimSquareBrackets(name);
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
      const TTableItem* t = a_.TableList.Get(i);
      if (t->SourceDataSet && t->SourceDataSet->FindField(n)) {
        const std::string table = useAlias && !t->Alias.empty() ? t->Alias : t->TableName;
        out = table + "." + name;
        return true;
      }
    }
    return false;
  };
  auto fromCaption = [&](const std::string& name, const std::string& marker, std::string& out) {
    const int32_t last = column >= 0 ? column : a_.ColumnList.Count();
    for (int32_t i = 0; i < last; ++i) {
      const TColumnItem* c = a_.ColumnList.Get(i);
      if (!c->CaptionGiven || !SameText(c->Caption, name)) continue;
      if (c->ExprText == marker || c->ExprText.find("{Aggregate") != std::string::npos) continue;
      out = "(" + c->ExprText + ")";
      return true;
    }
    return false;
  };
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      if (end == std::string::npos) {
        out += text.substr(i);
        break;
      }
      const std::string marker = text.substr(i, end - i);
      const std::string name = text.substr(i + 3, end - i - 4);
      i = end;
      const size_t dot = name.find('.');
      if (dot != std::string::npos) {
        const std::string table = name.substr(0, dot);
        const std::string real = useAlias ? GetRealTableAlias(table) : GetRealTableName(table);
        out += real + "." + name.substr(dot + 1);
        continue;
      }
      std::string piece;
      const bool found = column >= 0 ? (fromField(name, piece) || fromCaption(name, marker, piece))
                                     : (fromCaption(name, marker, piece) || fromField(name, piece));
      if (!found) SiftErrorFmt(SiftMsg::SFieldNotFound, {name});
      out += piece;
    } else if (IsQuote(text[i])) {
      const size_t end = LiteralEnd(text, i);
      out += text.substr(i, end - i);
      i = end;
    } else {
      out += text[i++];
    }
  }
  return out;
}

void TSiftScan::ResolveDerivedTables() {
  for (int32_t i = a_.TableList.Count() - 1; i >= 0; --i) {
    TTableItem* t = a_.TableList.Get(i);
    if (t->SubqueryIndex < 0) continue;
    if (t->SubqueryIndex >= static_cast<int32_t>(a_.SubQueryList.size()) || !a_.SubQueryList[t->SubqueryIndex])
      SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
    derived_.insert(t->SubqueryIndex);
    TSiftScan run(*a_.SubQueryList[static_cast<size_t>(t->SubqueryIndex)], q_);
    run.CreateResultSet();
    auto view = std::make_unique<TCustomSift>(nullptr);
    view->SetReadyResultSet(run.TakeResultSet());
    view->Open();
    const std::string alias = t->Alias.empty() ? t->TableName : t->Alias;
    TSiftDataSetItem* item = q_.DataSets().AddTempDataSet(std::move(view), alias);
    t->SourceDataSet = item->DataSet();
  }
}

void TSiftScan::ResolveTables() {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TTableItem* t = a_.TableList.Get(i);
    if (!t->SourceDataSet) {
      if (t->FromString) {
        if (!q_.OnResolveDataset) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
        std::string tableName = t->Alias;
        std::unique_ptr<TDataSet> ds;
        q_.OnResolveDataset(&q_, t->TableName, tableName, ds);
        if (!tableName.empty()) t->TableName = tableName;
        if (!ds) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
        TSiftDataSetItem* item = q_.DataSets().AddTempDataSet(std::move(ds), t->Alias);
        t->SourceDataSet = item->DataSet();
      } else {
        t->SourceDataSet = q_.DataSetByName(TrimSquareBrackets(t->TableName));
        if (!t->SourceDataSet) SiftErrorFmt(SiftMsg::SWrongDataSetName, {t->TableName});
      }
    }
    if (!t->SourceDataSet->Active()) {
      try {
        t->SourceDataSet->Open();
      } catch (const Exception&) {
        SiftErrorFmt(SiftMsg::SDataSetNotOpened, {t->TableName});
      }
    }
  }
  // One dataset has one cursor: the nested loops of a join cannot walk it
  // under two names at once.
  for (int32_t i = 0; i < a_.TableList.Count(); ++i)
    for (int32_t j = i + 1; j < a_.TableList.Count(); ++j)
      if (a_.TableList.Get(i)->SourceDataSet == a_.TableList.Get(j)->SourceDataSet)
        SiftErrorText(FormatMessage("Tables %s and %s are one dataset: a self-join needs a second dataset",
                                    {a_.TableList.Get(i)->TableName, a_.TableList.Get(j)->TableName}));
}

void TSiftScan::ExpandTableFields(int32_t index) {
  const TTableItem* t = a_.TableList.Get(index);
  const std::string table = t->Alias.empty() ? t->TableName : t->Alias;
  for (TField* f : t->SourceDataSet->Fields()) {
    if (!f->Visible()) continue;
    TColumnItem* c = a_.ColumnList.Add();
    c->ExprText = AddSquareBrackets(table) + "." + AddSquareBrackets(f->FieldName());
    c->Caption = table + "." + f->FieldName();
  }
}

void TSiftScan::ResolveOrderItems(TOrderByList& list, bool groupBy) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    TOrderByItem* item = list.Get(i);
    if (item->ColumnIndex >= 0) {
      if (item->ColumnIndex >= a_.ColumnList.Count()) {
        if (groupBy) SiftError(SiftMsg::SGroupByWrongNum);
        SiftError(SiftMsg::SWrongIndexField);
      }
      continue;
    }
    const std::string before = item->ColumnName;
    std::string qualified, plain;
    try {
      qualified = QualifiedField(before, true);
      plain = QualifiedField(before, false);
    } catch (const ESiftError&) {
      // The AS name of a column with aggregates names no field: only the
      // captions below can match it.
      qualified.clear();
      plain.clear();
    }
    item->ColumnName = qualified.empty() ? before : qualified;
    const std::string bare = MarkersAsNames(before);
    auto norm = [](const std::string& s) {
      std::string out;
      for (char c : s)
        if (c != '[' && c != ']') out += c;
      return Upper(out);
    };
    for (int32_t k = 0; k < a_.ColumnList.Count() && item->ColumnIndex < 0; ++k) {
      const TColumnItem* c = a_.ColumnList.Get(k);
      if ((!qualified.empty() && (norm(c->ExprText) == norm(qualified) || norm(c->ExprText) == norm(plain))) ||
          (c->CaptionGiven && SameText(c->Caption, bare)))
        item->ColumnIndex = k;
    }
    if (item->ColumnIndex < 0) {
      if (groupBy) SiftError(SiftMsg::SGroupByIncongruent);
      SiftErrorFmt(SiftMsg::SFieldNotFound, {bare});
    }
  }
}

void TSiftScan::CheckIntegrity() {
  q_.PopulateDatasets(a_.TableList);
  ResolveDerivedTables();
  if (a_.Statement != ssInsert && a_.TableList.Count() == 0) SiftError(SiftMsg::SWrongTableNumber);
  ResolveTables();
  main_ = a_.TableList.Get(0)->SourceDataSet;

  // Select columns: FROM fields first, then earlier AS names.
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Caption.empty()) c->Caption = MarkersAsNames(c->ExprText);
    c->ExprText = QualifiedField(c->ExprText, true, i);
    q_.FixDummiesForFilter(c->ExprText);
    if (c->Aggregates)
      for (int32_t k = 0; k < c->Aggregates->Count(); ++k)
        c->Aggregates->Get(k)->ArgumentText = QualifiedField(c->Aggregates->Get(k)->ArgumentText, true, i);
  }
  if (a_.DoSelectAll)
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) ExpandTableFields(i);
  for (const std::string& entry : a_.TableAllFields) {
    for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
      const TTableItem* t = a_.TableList.Get(i);
      if (SameText(t->TableName, entry) || SameText(t->Alias, entry)) {
        ExpandTableFields(i);
        break;
      }
    }
  }

  // Subqueries of conditions: one table, one column.  The columns of
  // "*" and "table.*" are counted once the subquery has bound its table
  // (RunWhereSubqueries).
  for (size_t k = 0; k < a_.SubQueryList.size(); ++k) {
    if (derived_.count(static_cast<int32_t>(k)) || !a_.SubQueryList[k]) continue;
    const TSqlAnalizer& s = *a_.SubQueryList[k];
    if (s.TableList.Count() != 1) SiftError(SiftMsg::SSubqueryWrongTables);
    if (a_.Statement != ssInsert && !a_.MassUpdate && !s.DoSelectAll && s.TableAllFields.empty() &&
        s.ColumnList.Count() != 1)
      SiftError(SiftMsg::SSubqueryWrongCols);
  }

  // WHERE: qualified; the wrapped form is kept for the adapter's filter.
  where_wrapped_ = QualifiedField(a_.WhereStr, true);
  a_.WhereStr = where_wrapped_;
  TCustomSift::FixDummiesForQuerying(a_.WhereStr);

  // Several tables without JOIN ... ON: nested loops over the WHERE clause.
  if (a_.TableList.Count() > 1 && a_.JoinList.Count() == 0) {
    if (Trim(a_.WhereStr).empty()) SiftError(SiftMsg::SWrongJoin);
    join_in_where_ = true;
    join_condition_ = a_.WhereStr;
    a_.WhereStr.clear();
    a_.WhereOptimizeList.Clear();
  }
  ResolveOrderItems(a_.GroupByList, true);
  ResolveOrderItems(a_.OrderByList, false);
  if (!a_.PivotStr.empty()) PrepareTransform();
}

// -------------------------------------------------------------- compiling

std::string TSiftScan::SubqueryParamName(int32_t k) const { return "SIFTSUBQUERY" + std::to_string(k); }

void TSiftScan::RunWhereSubqueries() {
  subqueries_.resize(a_.SubQueryList.size());
  for (size_t k = 0; k < a_.SubQueryList.size(); ++k) {
    if (derived_.count(static_cast<int32_t>(k)) || !a_.SubQueryList[k]) continue;
    subqueries_[k] = std::make_unique<TSiftScan>(*a_.SubQueryList[k], q_);
    subqueries_[k]->CreateResultSet();
    const TSqlAnalizer& s = *a_.SubQueryList[k];
    if (a_.Statement != ssInsert && !a_.MassUpdate && (s.DoSelectAll || !s.TableAllFields.empty())) {
      TResultSet* rs = subqueries_[k]->ResultSet();
      if (!rs || rs->Fields.Count() != 1) SiftError(SiftMsg::SSubqueryWrongCols);
    }
  }
}

std::unique_ptr<TExprParser> TSiftScan::CompileCondition(const std::string& text, TDataSet* ds) {
  // Each "(subquery k)" stands for a parameter while the text compiles; the
  // comparisons with it then become quantified comparisons over its rows.
  std::string t = text;
  std::vector<TSubqueryData> subs;
  subs.reserve(subqueries_.size());
  for (size_t k = 0; k < subqueries_.size(); ++k) {
    if (!subqueries_[k]) continue;
    const std::string placeholder = "(subquery " + std::to_string(k) + ")";
    const std::string name = SubqueryParamName(static_cast<int32_t>(k));
    if (t.find(placeholder) == std::string::npos) continue;
    t = ReplaceOutsideLiterals(t, placeholder, ":" + name);
    TResultSet* rs = subqueries_[k]->ResultSet();
    TSubqueryData d;
    if (rs && rs->Fields.Count() > 0) {
      TkpField* f = rs->Fields.GetItem(0);
      d.Type = f->DataType;
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        d.Rows.push_back(f->GetIsNull() ? Variant::Null() : f->GetAsVariant());
      }
    }
    d.All = k < a_.SubQueryKindList.size() && a_.SubQueryKindList[k] == skAll;
    TParam* p = own_params_.FindParam(name);
    if (!p) {
      p = own_params_.AddParam();
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
  auto parser = std::make_unique<TExprParser>(this, ds);
  subquery_refs_ = 0;
  parser->ParseExpression(t);
  if (!subs.empty()) {
    const int32_t refs = subquery_refs_;
    // The nodes hold pointers into `subs`: keep them with the scan.
    auto owned = std::make_shared<std::vector<TSubqueryData>>(std::move(subs));
    const int32_t quantified = RewriteQuantified(parser->Expression, *owned);
    // The others stand as values inside functions or arithmetic.
    std::vector<TSubqueryData*> values;
    for (TSubqueryData& s : *owned)
      if (!s.Quantified) values.push_back(&s);
    if (refs - quantified != static_cast<int32_t>(values.size()))
      NotSupported("A subquery used more than once in a condition");
    if (!values.empty() && parser->Expression)
      parser->Expression = std::make_unique<TSubqueryValueCondition>(std::move(parser->Expression), std::move(values));
    kept_subqueries_.push_back(owned);
  }
  if (parser->Expression && parser->Expression->GetExprType() != ttBoolean) SiftError(SiftMsg::SExprNotBoolean);
  return parser;
}

void TSiftScan::CompileColumns() {
  const int32_t count = a_.ColumnList.Count();
  column_subqueries_.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Aggregates && c->Aggregates->Count() > 0) continue;  // CompileGroupColumns
    std::string text = c->ExprText;
    for (size_t k = 0; k < c->Subqueries.size(); ++k) {
      auto run = std::make_unique<TSiftScan>(*c->Subqueries[k], q_);
      run->CreateResultSet();
      const std::string name = "SIFTCOL" + std::to_string(i) + "X" + std::to_string(k);
      text = ReplaceOutsideLiterals(text, "{Subquery " + std::to_string(k) + "}", ":" + name);
      TParam* p = own_params_.AddParam();
      p->SetName(name);
      TResultSet* rs = run->ResultSet();
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
      column_subqueries_[static_cast<size_t>(i)].push_back(std::move(run));
    }
    auto parser = std::make_unique<TExprParser>(this, main_);
    parser->ParseExpression(text);
    if (!parser->Expression) SiftErrorFmt(SiftMsg::SFieldNotFound, {c->Caption});
    c->Compiled = TExprOwner(parser.release(), [](TExprParser* p) { delete p; });
  }
  CompileGroupColumns(count);
}

void TSiftScan::SetColumnSubqueryValues(int32_t column) {
  auto& runs = column_subqueries_[static_cast<size_t>(column)];
  const int32_t row = result_->GetRecno();
  for (size_t k = 0; k < runs.size(); ++k) {
    TParam* p = own_params_.FindParam("SIFTCOL" + std::to_string(column) + "X" + std::to_string(k));
    TResultSet* rs = runs[k]->ResultSet();
    const int32_t n = rs ? rs->GetRecordCount() : 0;
    if (n < 1 || rs->Fields.Count() == 0) {
      p->Clear();
      continue;
    }
    rs->SetRecno(std::min(row, n));
    TkpField* f = rs->Fields.GetItem(0);
    if (f->GetIsNull())
      p->Clear();
    else
      p->SetValue(f->GetAsVariant());
  }
}

void TSiftScan::JoinsFromWhere() {
  if (!g_where_joins || a_.Statement != ssSelect || a_.JoinList.Count() != 0) return;
  const std::vector<std::string> parts = TopLevelConjuncts(join_condition_);
  const std::vector<std::string> wrapped = TopLevelConjuncts(where_wrapped_);
  if (wrapped.size() != parts.size()) return;
  // The text splits where the compiled condition does: its root is one AND
  // over exactly these conjuncts (a lone conjunct is the whole condition).
  std::unique_ptr<TExprParser> whole = CompileCondition(join_condition_, main_);
  if (parts.size() > 1) {
    const auto* root = dynamic_cast<const TBinaryOp*>(whole->Expression.get());
    if (!root || root->Operator != opAnd || root->OperandType != ttBoolean || root->More.size() + 2 != parts.size()) {
      join_where_ = std::move(whole);
      return;
    }
  }
  auto tableOf = [&](const std::string& name) -> int32_t {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return 0;
    TDataSet* ds = FindDataSetByName(name.substr(0, dot));
    if (!ds || !ds->FindField(TrimSquareBrackets(name.substr(dot + 1)))) return -1;
    return a_.TableList.IndexOfDataSet(ds);
  };
  // Each conjunct goes to the latest FROM table it names: the first table's
  // and those naming no field stay in WHERE, the others become part of
  // that table's join condition, tested once the earlier tables stand on
  // their records.  Inner joins only, so the meaning is the same.
  const int32_t n = a_.TableList.Count();
  std::vector<std::vector<size_t>> on(static_cast<size_t>(n));
  bool keyed = false;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (LowerCase(parts[k]).find("(subquery") != std::string::npos) {
      on[0].push_back(k);
      continue;
    }
    std::unique_ptr<TExprParser> p;
    try {
      p = CompileCondition(parts[k], main_);
    } catch (const Exception&) {
      join_where_ = std::move(whole);
      return;
    }
    int32_t level = 0;
    for (const std::string& name : p->FieldNames) {
      const int32_t t = tableOf(name);
      if (t < 0) {
        join_where_ = std::move(whole);
        return;
      }
      level = std::max(level, t);
    }
    on[static_cast<size_t>(level)].push_back(k);
    const auto* r = dynamic_cast<const TRelationalOp*>(p->Expression.get());
    if (level > 0 && r && r->Operator == opEq) {
      const auto* l = dynamic_cast<const TFieldExpr*>(r->Left.get());
      const auto* rr = dynamic_cast<const TFieldExpr*>(r->Right.get());
      if (l && rr && l->Field->DataSet() != rr->Field->DataSet()) keyed = true;
    }
  }
  if (!keyed) {
    join_where_ = std::move(whole);
    return;
  }
  auto joined = [](const std::vector<std::string>& texts, const std::vector<size_t>& which) {
    std::string out;
    for (const size_t k : which) out += (out.empty() ? "(" : " AND (") + texts[k] + ")";
    return out;
  };
  for (int32_t t = 1; t < n; ++t) {
    TJOINOnItem* item = a_.JoinList.Add();
    item->JoinAction = jkLeftInnerJoin;
    item->JoinExpression = on[static_cast<size_t>(t)].empty() ? "0 = 0" : joined(parts, on[static_cast<size_t>(t)]);
  }
  a_.WhereStr = joined(parts, on[0]);
  where_wrapped_ = joined(wrapped, on[0]);
  join_in_where_ = false;
  join_condition_.clear();
}

void TSiftScan::CompileWhere() {
  if (join_in_where_) JoinsFromWhere();
  if (!Trim(a_.WhereStr).empty()) {
    where_ = CompileCondition(a_.WhereStr, main_);
    for (const std::string& name : where_->FieldNames)
      if (!IsValidFieldName(name, true)) main_only_ = false;
  }
  if (join_in_where_) {
    if (!join_where_) join_where_ = CompileCondition(join_condition_, main_);
    main_only_ = false;
  }
  for (int32_t l = 0; l < a_.JoinList.Count(); ++l) {
    const TJOINOnItem* item = a_.JoinList.Get(l);
    auto step = std::make_unique<TJoinStep>();
    step->DataSet = a_.TableList.Get(l + 1)->SourceDataSet;
    step->Kind = item->JoinAction == jkRightInnerJoin ? jkLeftInnerJoin : item->JoinAction;
    if (step->Kind == jkRightOuterJoin || step->Kind == jkFullOuterJoin) {
      // The right rows without a match are added after the scan: only the
      // join of two tables is done this way.
      if (a_.JoinList.Count() != 1) NotSupported("A right or full outer join over more than two tables");
      right_join_ = true;
      main_only_ = false;
    }
    std::string on = QualifiedField(item->JoinExpression, true);
    TCustomSift::FixDummiesForQuerying(on);
    step->On = CompileCondition(on, main_);
    PrepareKeyList(*step, on);
    join_steps_.push_back(std::move(step));
  }
  if (a_.TableList.Count() > a_.JoinList.Count() + 1 && a_.JoinList.Count() > 0)
    SiftError(SiftMsg::SWrongJoin);
}

void TSiftScan::BuildFilterText() {
  filter_text_.clear();
  if (!where_ || !main_only_ || right_join_) return;
  if (q_.WhereOptimizeMethod != omSetFilter || !q_.OnSetFilter) return;
  for (size_t k = 0; k < subqueries_.size(); ++k)
    if (subqueries_[k]) return;  // a condition with subqueries is never offered
  std::string f = where_wrapped_;
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    const TTableItem* t = a_.TableList.Get(i);
    f = RemoveTablePrefix(f, t->TableName);
    f = RemoveTablePrefix(f, t->Alias);
  }
  q_.FixDummiesForFilter(f);
  filter_text_ = f;
}

void TSiftScan::AddResultFields() {
  result_ = q_.NewResultSet();
  result_->SourceDataSet = main_;
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    TExpression* e = c->Compiled->Expression.get();
    const TExprType type = e->GetExprType();
    // Only a bare field reference takes its field's storage; every other
    // column takes the expression's own type and width.
    TField* source = nullptr;
    bool readOnly = true;
    if (c->CastKind == 0 && c->Subqueries.empty()) {
      if (auto* fe = dynamic_cast<TFieldExpr*>(e)) {
        source = fe->Field;
        if (type == ttBoolean && source->DataType() != ftBoolean) source = nullptr;
        if (source && source->DataSet() == main_) readOnly = false;
      }
    }
    const int32_t size = type == ttString ? e->GetMaxLen() + 1 : 0;
    result_->AddField(c->Caption, c->ExprText, type, size, source, readOnly, c->CastKind,
                      static_cast<uint16_t>(c->CastWidth), !c->CaptionGiven && q_.UseDisplayLabel);
  }
}

// ------------------------------------------------------------------ hooks

void TSiftScan::OfferFilter() {
  if (q_.WhereOptimizeMethod != omSetFilter || filter_text_.empty() || !q_.OnSetFilter) return;
  bool handled = false;
  q_.OnSetFilter(&q_, main_, filter_text_, false, handled);
  if (!handled) return;
  filter_handled_ = true;
  a_.WhereOptimizeList.Clear();
  // A data change keeps testing its own WHERE on the filtered rows: the
  // adapter's filter language has rules of its own (wildcards), so the
  // filter may only narrow what is changed.
  if (a_.Statement == ssSelect) {
    where_.reset();
    a_.WhereStr.clear();
  }
}

bool TSiftScan::RangeItemUsable(TWhereOptimizeItem& item) {
  // A bare main-dataset field compared with a literal or parameter, as a
  // top-level conjunct of WHERE.
  const std::string field = Trim(item.FieldText);
  if (field.size() < 4 || !MarkerAt(field, 0) || MarkerEnd(field, 0) != field.size()) return false;
  const std::string qualified = QualifiedField(field, true);
  if (!IsValidFieldName(qualified, true)) return false;
  const std::string fieldName = TrimSquareBrackets(qualified.substr(qualified.find('.') + 1));
  TField* target = main_->FindField(fieldName);
  auto literal = [](TExpression* e, std::string& out) {
    if (auto* s = dynamic_cast<TStringLiteral*>(e)) {
      out = s->Value;
      return true;
    }
    if (dynamic_cast<TIntegerLiteral*>(e) || dynamic_cast<TFloatLiteral*>(e) ||
        dynamic_cast<TExplicitParamExpr*>(e)) {
      if (e->GetIsNull()) return false;
      out = e->GetAsString();
      return true;
    }
    return false;
  };
  auto isTarget = [&](TExpression* e) {
    auto* fe = dynamic_cast<TFieldExpr*>(e);
    return fe && fe->Field == target;
  };
  std::string where = a_.WhereStr;
  for (const std::string& conj : TopLevelConjuncts(where)) {
    TExprParser p(this, main_);
    try {
      p.ParseExpression(conj);
    } catch (const Exception&) {
      continue;
    }
    TExpression* e = p.Expression.get();
    std::string v1, v2;
    if (auto* r = dynamic_cast<TRelationalOp*>(e)) {
      TOperator op = r->Operator;
      if (isTarget(r->Left.get()) && literal(r->Right.get(), v1)) {
      } else if (isTarget(r->Right.get()) && literal(r->Left.get(), v1)) {
        op = Mirrored(op);
      } else {
        continue;
      }
      item.StartValue.clear();
      item.EndValue.clear();
      switch (op) {
        case opEq: item.Operator = ropBETWEEN; item.StartValue = item.EndValue = v1; break;
        case opGT: item.Operator = ropGT; item.StartValue = v1; break;
        case opGTE: item.Operator = ropGE; item.StartValue = v1; break;
        case opLT: item.Operator = ropLT; item.EndValue = v1; break;
        case opLTE: item.Operator = ropLE; item.EndValue = v1; break;
        case opNEQ: item.Operator = ropNEQ; item.StartValue = item.EndValue = v1; break;
        default: continue;
      }
    } else if (auto* b = dynamic_cast<TBetweenExpr*>(e)) {
      if (b->IsNotBetween || b->ParameterCount() != 3 || !isTarget(b->GetParam(0)) ||
          !literal(b->GetParam(1), v1) || !literal(b->GetParam(2), v2))
        continue;
      item.Operator = ropBETWEEN;
      item.StartValue = v1;
      item.EndValue = v2;
    } else {
      continue;
    }
    item.SourceDataSet = main_;
    item.FieldText = target->FieldName();
    return true;
  }
  return false;
}

void TSiftScan::OfferRangeOrIndex() {
  if (q_.WhereOptimizeMethod != omSetRange) return;
  // A SELECT and an UPDATE may walk a range; an UPDATE whose record k takes
  // row k of a subquery must walk the records in their own order.
  if (a_.Statement != ssSelect && a_.Statement != ssUpdate) return;
  if (a_.Statement == ssUpdate && a_.MassUpdate) return;
  if (!join_steps_.empty() || join_in_where_) return;
  if (a_.WhereOptimizeList.Count() > 0 && q_.OnIndexNeededFor && q_.OnSetRange) {
    // Only a single conjunct is ever offered.
    if (a_.WhereOptimizeList.Count() > 1) {
      a_.WhereOptimizeList.Clear();
      return;
    }
    TWhereOptimizeItem* item = a_.WhereOptimizeList.Get(0);
    item->Accepted = where_ != nullptr && RangeItemUsable(*item);
    if (!item->Accepted) return;
    bool accept = true;
    q_.OnIndexNeededFor(&q_, item->SourceDataSet, item->FieldText, false, false, accept);
    item->Accepted = accept;
    // Asked only here; the index is activated and the range set when the
    // scan starts (ArmRange), after the start has been reported.
    if (accept) range_dataset_ = item->SourceDataSet;
    return;
  }
  if (a_.Statement != ssSelect) return;
  if (a_.OrderByList.Count() == 0 || !q_.OnIndexNeededFor) return;
  if (a_.GroupByList.Count() > 0 || a_.HasAggregates() || !a_.PivotStr.empty()) return;
  std::string names;
  for (int32_t i = 0; i < a_.OrderByList.Count(); ++i) {
    const TOrderByItem* o = a_.OrderByList.Get(i);
    if (o->Descending) return;
    const TColumnItem* c = a_.ColumnList.Get(o->ColumnIndex);
    auto* fe = dynamic_cast<TFieldExpr*>(c->Compiled->Expression.get());
    if (!fe || fe->Field->DataSet() != main_) return;
    if (!names.empty()) names += ";";
    names += fe->Field->FieldName();
  }
  bool accept = false;
  q_.OnIndexNeededFor(&q_, main_, names, true, false, accept);
  if (accept) {
    a_.WhereOptimizeList.Clear();
    a_.OrderByList.Clear();
  }
}

void TSiftScan::ArmRange() {
  if (range_dataset_ == nullptr || range_armed_) return;
  TWhereOptimizeItem* item = a_.WhereOptimizeList.Get(0);
  bool accept = item->Accepted;
  q_.OnIndexNeededFor(&q_, item->SourceDataSet, item->FieldText, true, false, accept);
  item->Accepted = accept;
  if (!accept) return;
  // Armed before it is set: a handler that raises half-way is still told
  // to drop the range.
  range_armed_ = true;
  q_.OnSetRange(&q_, item->Operator, item->SourceDataSet, item->FieldText, item->StartValue, item->EndValue, false);
}

void TSiftScan::FireCancels() {
  if (range_armed_) {
    range_armed_ = false;
    if (q_.OnCancelRange) q_.OnCancelRange(&q_, range_dataset_, false);
  }
  if (filter_handled_) {
    filter_handled_ = false;
    if (q_.OnCancelFilter) q_.OnCancelFilter(&q_, main_, false);
  }
  if (user_range_armed_) {
    user_range_armed_ = false;
    if (q_.OnCancelUserRange) q_.OnCancelUserRange(&q_, main_);
  }
}

void TSiftScan::SaveCursors() {
  for (int32_t i = 0; i < a_.TableList.Count(); ++i) {
    TDataSet* ds = a_.TableList.Get(i)->SourceDataSet;
    if (ds && ds->Active() && !ds->IsEmpty()) saved_cursors_.emplace_back(ds, ds->GetBookmark());
  }
}

void TSiftScan::RestoreCursors() {
  for (auto& [ds, bm] : saved_cursors_) {
    try {
      // A row deleted meanwhile refuses its bookmark: the cursor stays.
      if (ds->Active()) ds->GotoBookmark(bm);
    } catch (const Exception&) {
    }
    try {
      ds->FreeBookmark(bm);
    } catch (const Exception&) {
    }
  }
  saved_cursors_.clear();
}

void TSiftScan::Cleanup() {
  q_.ClearDisabledDataSets();
  if (progress_started_) {
    progress_started_ = false;
    q_.DoProgress(psSiftEnd, 0, 0, 0);
  }
}

// ------------------------------------------------------------------- rows

bool TSiftScan::TestWhere() { return !where_ || ConditionTrue(*where_); }

void TSiftScan::EmitRow() {
  if (where_ && !main_only_ && !ConditionTrue(*where_)) return;
  AddThisRecord();
}

void TSiftScan::AddThisRecord(bool withBookmark) {
  if (GroupThisRecord(withBookmark)) return;
  // A streamed cross-tab reuses one record and takes each row as it comes
  // (sift_pivot.cpp).
  const bool streamed = PrepareStreamedRow();
  if (!streamed) result_->Insert();
  if (withBookmark && !streamed && !q_.IsDataSetDisabled(main_)) result_->SetSourceBookmark(main_->GetBookmark());
  for (int32_t i = 0; i < a_.ColumnList.Count(); ++i) {
    TColumnItem* c = a_.ColumnList.Get(i);
    if (c->Aggregates && c->Aggregates->Count() > 0) continue;
    TkpField* cell = result_->Fields.GetItem(i);
    if (!c->Subqueries.empty()) SetColumnSubqueryValues(i);
    if (cell->SourceField && cell->SourceField->IsBlob()) {
      TDataSet* ds = cell->SourceField->DataSet();
      if (!q_.IsDataSetDisabled(ds) && !cell->SourceField->IsNull()) cell->SetAsInteger(ds->RecNo());
      continue;
    }
    TExpression* e = c->Compiled->Expression.get();
    TExpression* n = e->GetCurrentNode();
    if (!n || n->GetIsNull()) continue;
    switch (e->GetExprType()) {
      case ttString: cell->SetAsString(n->GetAsString()); break;
      case ttFloat: cell->SetAsFloat(n->GetAsFloat()); break;
      case ttInteger: cell->SetAsInteger(n->GetAsInteger()); break;
      case ttBoolean: cell->SetAsBoolean(n->GetAsBoolean()); break;
    }
  }
  if (streamed) ConsumeStreamedRow();
  else if (stop_at_ > 0 && result_->GetRecordCount() >= stop_at_) full_ = true;
}

void TSiftScan::DoJoinInWhere(int32_t level) {
  if (level >= a_.TableList.Count()) {
    if (ConditionTrue(*join_where_)) AddThisRecord();
    return;
  }
  TDataSet* ds = a_.TableList.Get(level)->SourceDataSet;
  ds->First();
  while (!ds->Eof() && !full_) {
    DoJoinInWhere(level + 1);
    ds->Next();
  }
}

namespace {

std::string RecordKey(TDataSet* ds) {
  const TBookmark bm = ds->GetBookmark();
  const uint8_t* b = ds->BookmarkBytes(bm);
  std::string key = b ? std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(ds->BookmarkSize()))
                      : std::string();
  ds->FreeBookmark(bm);
  return key;
}

// Takes a dataset out of the disabled list again on every path, when this
// step put it there.
class TDisableGuard {
public:
  TDisableGuard(TCustomSift& q, TDataSet* ds) : q_(q), ds_(ds), mine_(!q.IsDataSetDisabled(ds)) {
    if (mine_) q_.DisableDataSet(ds_);
  }
  ~TDisableGuard() {
    if (mine_) q_.EnableDataSet(ds_);
  }
  TDisableGuard(const TDisableGuard&) = delete;
  TDisableGuard& operator=(const TDisableGuard&) = delete;

private:
  TCustomSift& q_;
  TDataSet* ds_;
  bool mine_;
};

}  // namespace

namespace {

// The field's value as a key of its engine type; unassigned for null.
Variant KeyValue(TField* f, TExprType type) {
  if (f->IsNull()) return Variant();
  switch (type) {
    case ttFloat: return Variant(f->AsFloat());
    case ttInteger: return Variant(static_cast<int32_t>(f->AsInteger()));
    case ttBoolean: return Variant(f->AsBoolean());
    default: return Variant(f->AsString());
  }
}

}  // namespace

void TSiftScan::PrepareKeyList(TJoinStep& step, const std::string& on) {
  const int32_t joined = a_.TableList.IndexOfDataSet(step.DataSet);
  for (const std::string& conj : TopLevelConjuncts(on)) {
    TExprParser p(this, main_);
    try {
      p.ParseExpression(conj);
    } catch (const Exception&) {
      continue;
    }
    auto* r = dynamic_cast<TRelationalOp*>(p.Expression.get());
    if (!r || r->Operator != opEq) continue;
    auto* l = dynamic_cast<TFieldExpr*>(r->Left.get());
    auto* rr = dynamic_cast<TFieldExpr*>(r->Right.get());
    if (!l || !rr) continue;
    TField* key = l->Field;
    TField* probe = rr->Field;
    if (probe->DataSet() == step.DataSet) std::swap(key, probe);
    if (key->DataSet() != step.DataSet || probe->DataSet() == step.DataSet) continue;
    const int32_t earlier = a_.TableList.IndexOfDataSet(probe->DataSet());
    if (earlier < 0 || earlier >= joined) continue;
    const TExprType type = Field2Exprtype(key->DataType());
    if (type != Field2Exprtype(probe->DataType()) || key->IsBlob() || probe->IsBlob()) continue;
    if (type == ttString && (key->Size() <= 0 || key->Size() > 4096)) continue;
    auto keys = std::make_unique<TMemSortList>(true);
    keys->BookmarkSource = step.DataSet;
    keys->AddField(type, type == ttString ? key->Size() : 0, false);
    TSrtField* k = keys->Fields.Items(0);
    TDataSet* ds = step.DataSet;
    ds->First();
    while (!ds->Eof()) {
      // A null key equals nothing: it is never looked up.
      if (!key->IsNull()) {
        keys->Insert();
        keys->SetSourceRecno(ds->GetBookmark());
        switch (type) {
          case ttFloat: k->SetAsFloat(key->AsFloat()); break;
          case ttInteger: k->SetAsInteger(key->AsInteger()); break;
          case ttBoolean: k->SetAsBoolean(key->AsBoolean()); break;
          default: k->SetAsString(key->AsString()); break;
        }
      }
      ds->Next();
    }
    keys->Sort();
    step.Keys = std::move(keys);
    step.Probe = probe;
    return;
  }
}

void TSiftScan::DoJoinOn(int32_t level) {
  if (level >= static_cast<int32_t>(join_steps_.size())) {
    EmitRow();
    return;
  }
  TJoinStep& step = *join_steps_[static_cast<size_t>(level)];
  TDataSet* ds = step.DataSet;
  bool matched = false;
  auto visit = [&]() {
    if (!ConditionTrue(*step.On)) return;
    matched = true;
    if (right_join_) right_matched_.insert(RecordKey(ds));
    DoJoinOn(level + 1);
  };
  if (step.Keys) {
    // The key of a disabled (null-extended) table counts as null.
    if (!q_.IsDataSetDisabled(step.Probe->DataSet()) && !step.Probe->IsNull()) {
      step.Keys->Filter(KeyValue(step.Probe, step.Keys->Fields.Items(0)->ValueType));
      std::vector<int32_t> hits;
      for (step.Keys->First(); !step.Keys->Eof(); step.Keys->Next()) hits.push_back(step.Keys->GetSourceRecno());
      for (const int32_t h : hits) {
        if (full_) return;
        ds->GotoBookmark(h);
        visit();
      }
    }
  } else {
    ds->First();
    while (!ds->Eof() && !full_) {
      visit();
      ds->Next();
    }
  }
  if (full_) return;
  if (!matched && (step.Kind == jkLeftOuterJoin || step.Kind == jkFullOuterJoin)) {
    TDisableGuard off(q_, ds);
    DoJoinOn(level + 1);
  }
}

void TSiftScan::EmitUnmatchedRight() {
  TDataSet* ds = join_steps_[0]->DataSet;
  TDisableGuard off(q_, main_);
  ds->First();
  while (!ds->Eof() && !full_) {
    if (!right_matched_.count(RecordKey(ds)) && TestWhere()) AddThisRecord(false);
    ds->Next();
  }
}

int32_t TSiftScan::EarlyStop() const {
  // The scan's first rows are the result's only when nothing after the
  // scan reorders, merges or regroups them.
  if (a_.Statement != ssSelect || a_.TopNInSelect <= 0 || a_.TopNInGroupBy != 0) return 0;
  if (a_.OrderByList.Count() > 0 || a_.DoDistinct || a_.GroupByList.Count() > 0 || a_.HasAggregates()) return 0;
  if (was_union_ || !a_.PivotStr.empty()) return 0;
  return a_.TopNInSelect;
}

void TSiftScan::Scan() {
  if (CountingScan()) return;
  int32_t max = 0;
  if (q_.OnProgress) {
    max = main_->RecordCount();
    progress_started_ = true;
    q_.DoProgress(psSiftStart, 1, max, 1);
  }
  ArmRange();
  const int32_t span = max - 1;
  int32_t position = 1;
  int32_t last = 1;
  stop_at_ = EarlyStop();
  main_->First();
  while (!main_->Eof()) {
    bool deleted = false;
    if (!join_steps_.empty()) {
      if (!main_only_ || TestWhere()) DoJoinOn(0);
    } else if (join_in_where_) {
      DoJoinInWhere(1);
    } else if (TestWhere()) {
      if (a_.Statement == ssDelete) {
        deleted = DoDeleteRecord();
      } else if (a_.Statement == ssUpdate) {
        MarkUpdateRecord();
      } else {
        AddThisRecord();
      }
    }
    if (!deleted) main_->Next();
    if (q_.OnProgress) {
      ++position;
      if (SiftMulDiv(last, 100, span) + 5 < SiftMulDiv(position, 100, span)) {
        last = position;
        q_.DoProgress(psSiftProgress, 0, 0, position);
      }
    }
    if (q_.DoCancelQuery()) {
      cancelled_ = true;
      break;
    }
    if (full_) break;
  }
  if (right_join_ && !cancelled_ && !full_) EmitUnmatchedRight();
}

// ------------------------------------------------------- after the scan

void TSiftScan::DoDistinct() {
  // Rows equal in every visible column keep their first occurrence.
  std::unordered_set<std::string> seen;
  std::vector<int32_t> drop;
  const int32_t n = result_->GetRecordCount();
  for (int32_t r = 1; r <= n; ++r) {
    result_->SetRecno(r);
    std::string key;
    for (int32_t i = 0; i < result_->Fields.Count(); ++i) {
      if (a_.ColumnList.Get(i)->Auxiliary) continue;
      TkpField* f = result_->Fields.GetItem(i);
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
    result_->SetRecno(*it);
    result_->Delete();
  }
}

void TSiftScan::DoTopCut() {
  if (a_.TopNInGroupBy != 0 || a_.TopNInSelect <= 0) return;
  for (int32_t r = result_->GetRecordCount(); r > a_.TopNInSelect; --r) {
    result_->SetRecno(r);
    result_->Delete();
  }
}

void TSiftScan::RemoveAuxiliaryColumns() {
  for (int32_t i = a_.ColumnList.Count() - 1; i >= 0; --i) {
    if (!a_.ColumnList.Get(i)->Auxiliary) continue;
    result_->Fields.Delete(i);
    a_.ColumnList.Delete(i);
  }
}

void TSiftScan::AfterScan() {
  if (a_.Statement != ssSelect) return;
  // A cross-tab groups and orders its rows itself (sift_pivot.cpp).
  if (!a_.PivotStr.empty()) {
    TransformAfterScan();
    return;
  }
  DoGroupBy(*result_);
  DoOrderBy(*result_, a_.OrderByList);
  // DISTINCT first, then the TOP cut over what is left.
  if (a_.DoDistinct) DoDistinct();
  DoTopCut();
  RemoveAuxiliaryColumns();
}

// ------------------------------------------------------------ the run

void TSiftScan::CreateResultSet() {
  if (a_.Statement == ssUnion) {
    was_union_ = true;
    a_.Statement = ssSelect;
  }
  switch (a_.Statement) {
    case ssSelect:
    case ssDelete:
    case ssInsert:
    case ssUpdate: break;
    default: SiftError(SiftMsg::SIsNotValidInSelect);
  }
  // Nothing of an earlier statement may read as null in this one.
  q_.ClearDisabledDataSets();
  // The SQL-wait cursor while the rows are built; the one found goes back
  // however the run ends, after the progress has been closed.
  std::optional<TCursorScope> waitCursor;
  if (q_.ShowWaitCursor) waitCursor.emplace(crSQLWait);
  if (a_.Statement == ssInsert) {
    DoInsertStatement();
    return;
  }
  CheckIntegrity();
  if (a_.Statement == ssDelete && a_.TableList.Count() > 1) NotSupported("DELETE over several tables");
  RunWhereSubqueries();
  CompileColumns();
  CompileWhere();
  CompileUpdateItems();
  BuildFilterText();

  // From the first hook on, everything armed is released on every path.
  SaveCursors();
  try {
    OfferFilter();
    AddResultFields();
    result_->SourceBookmarked = a_.Statement == ssSelect;
    const TUserDefinedRange& ur = a_.UserDefinedRange;
    if (!ur.StartTexts.empty() && q_.OnSetUserRange) {
      user_range_armed_ = true;
      q_.OnSetUserRange(&q_, main_, ur.IndexName, ur.FieldText, ur.StartTexts, ur.EndTexts);
    }
    OfferRangeOrIndex();
    Scan();
    FireCancels();
    if (a_.Statement == ssUpdate) DoUpdateRecords();
    RestoreCursors();
    AfterScan();
  } catch (...) {
    try {
      FireCancels();
    } catch (...) {
    }
    RestoreCursors();
    Cleanup();
    throw;
  }
  Cleanup();
  if (was_union_ && !cancelled_) RunUnion();
}

// ------------------------------------------------------------ entry point

std::unique_ptr<TResultSet> SiftCreateResultSet(TSqlAnalizer& analyzer, TCustomSift& sift) {
  // Memory running out while rows are built is this statement's error: the
  // scan has released what it armed, and the half-built rows go with it.
  try {
    TSiftScan scan(analyzer, sift);
    scan.CreateResultSet();
    if (!analyzer.IntoTable.empty()) scan.DoIntoTableOperation();
    return scan.TakeResultSet();
  } catch (const std::bad_alloc&) {
    SiftErrorText("The query result does not fit in memory");
  }
}
