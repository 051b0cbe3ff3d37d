// Literal and operator nodes: result types, arithmetic and comparison.
#include "sql_engine/expr/expr_nodes.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <typeinfo>
#include <unordered_set>
#include <utility>

#include "platform/numbers.h"
#include "sql_engine/expr/data_nodes.h"

namespace {

[[noreturn]] void InternalError(int code) { throw EExpression("Internal parser error. Code %d", {code}); }

bool IsRelational(TOperator op) { return op >= opEq && op <= opGTE; }

}  // namespace

double CheckedFloat(long double x) {
  if (std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
  if (std::isinf(x) || std::fabs(x) > static_cast<long double>(std::numeric_limits<double>::max()))
    throw EOverflow("Floating point overflow");
  return static_cast<double>(x);
}

double FloatPower(long double x, long double y) {
  if (std::isnan(x) || std::isnan(y)) throw EInvalidOp("Invalid floating point operation");
  if (x < 0) throw EInvalidOp("Invalid floating point operation");
  if (x == 0) {
    // ln 0 is minus infinity: e to a negative multiple of it is 0; to a
    // positive or zero multiple there is no value.
    if (y > 0) return 0;
    if (y == 0) throw EInvalidOp("Invalid floating point operation");
    throw EZeroDivide("Floating point division by zero");
  }
  return CheckedFloat(std::exp(y * std::log(x)));
}

TExprType ResultType(TOperator op, TExprType operand) {
  switch (operand) {
    case ttString:
      if (op == opPlus) return ttString;
      if (IsRelational(op)) return ttBoolean;
      break;
    case ttFloat:
      if (op == opExp || op == opMult || op == opDivide || op == opPlus || op == opMinus) return ttFloat;
      if (IsRelational(op)) return ttBoolean;
      break;
    case ttInteger:
      if (op == opExp || op == opDivide) return ttFloat;
      if (op == opNot || op == opMult || op == opDiv || op == opMod || op == opAnd || op == opShl || op == opShr ||
          op == opPlus || op == opMinus || op == opOr || op == opXor)
        return ttInteger;
      if (IsRelational(op)) return ttBoolean;
      break;
    case ttBoolean:
      if (op == opNot || op == opAnd || op == opOr || op == opXor || op == opEq || op == opNEQ) return ttBoolean;
      break;
  }
  throw EExpression("Operator %s incompatible with %s", {OperatorName(op), ExprTypeName(operand)});
}

int CompareBytes(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;  // memcmp compares unsigned bytes
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// ---- TUnaryOp --------------------------------------------------------------

TUnaryOp::TUnaryOp(TOperator op, TExpressionPtr operand) : Operand(std::move(operand)), Operator(op) {
  if (op != opNot && op != opPlus && op != opMinus)
    throw EExpression("%s is not simple unary operator", {OperatorName(op)});
  OperandType = Operand->GetExprType();
}

double TUnaryOp::GetAsFloat() {
  if (GetExprType() == ttFloat) {
    if (Operator == opPlus) return Operand->GetAsFloat();
    if (Operator == opMinus) return -Operand->GetAsFloat();
  }
  return TExpression::GetAsFloat();
}

int32_t TUnaryOp::GetAsInteger() {
  if (GetExprType() != ttInteger) return TExpression::GetAsInteger();
  switch (Operator) {
    case opNot:
      if (OperandType == ttInteger) return ~Operand->GetAsInteger();
      InternalError(6);
    case opPlus: return Operand->GetAsInteger();
    case opMinus: return CheckedSub(0, Operand->GetAsInteger());
    default: InternalError(12);
  }
}

bool TUnaryOp::GetAsBoolean() {
  if (Operator == opNot && GetExprType() == ttBoolean) return !Operand->GetAsBoolean();
  return TExpression::GetAsBoolean();
}

// ---- TBinaryOp -------------------------------------------------------------

TBinaryOp::TBinaryOp(TOperator op, TExpressionPtr left, TExpressionPtr right)
    : Left(std::move(left)), Right(std::move(right)), Operator(op) {
  if (op < opExp || op > opXor) throw EExpression("%s is not a simple binary operator", {OperatorName(op)});
  OperandType = MinExprType(Right->GetExprType(), Left->GetExprType());
}

std::string TBinaryOp::GetMaxString() {
  if (GetExprType() == ttString) return Left->GetMaxString() + Right->GetMaxString();
  return TExpression::GetMaxString();
}

std::string TBinaryOp::GetAsString() {
  if (GetExprType() == ttString) {
    if (Operator != opPlus) InternalError(10);
    std::string right = Right->GetAsString();
    return Left->GetAsString() + right;
  }
  return TExpression::GetAsString();
}

double TBinaryOp::GetAsFloat() {
  if (GetExprType() != ttFloat) return TExpression::GetAsFloat();
  const long double l = Left->GetAsFloat();
  const long double r = Right->GetAsFloat();
  switch (Operator) {
    case opExp: return FloatPower(l, r);
    case opMult: return CheckedFloat(l * r);
    case opDivide:
      if (r == 0) {
        if (l == 0) throw EInvalidOp("Invalid floating point operation");
        throw EZeroDivide("Floating point division by zero");
      }
      return CheckedFloat(l / r);
    case opPlus: return CheckedFloat(l + r);
    case opMinus: return CheckedFloat(l - r);
    default: InternalError(11);
  }
}

bool TBinaryOp::Extend(TExpressionPtr& right) {
  if (Operator != opAnd && Operator != opOr && Operator != opXor) return false;
  if (OperandType != ttBoolean && OperandType != ttInteger) return false;
  if (right->GetExprType() != OperandType) return false;
  More.push_back(std::move(right));
  return true;
}

int32_t TBinaryOp::GetAsInteger() {
  if (GetExprType() != ttInteger) return TExpression::GetAsInteger();
  const int32_t l = Left->GetAsInteger();
  const int32_t r = Right->GetAsInteger();
  if (!More.empty()) {
    // A chain of AND, OR or XOR over integers: bitwise, from the left.
    int32_t v = l;
    auto apply = [&](int32_t x) {
      if (Operator == opAnd) v &= x;
      else if (Operator == opOr) v |= x;
      else v ^= x;
    };
    apply(r);
    for (const TExpressionPtr& m : More) apply(m->GetAsInteger());
    return v;
  }
  switch (Operator) {
    case opMult: return CheckedMul(l, r);
    case opDiv: return CheckedDiv(l, r);
    case opMod: return CheckedMod(l, r);
    case opAnd: return l & r;
    case opOr: return l | r;
    case opXor: return l ^ r;
    case opShl: return static_cast<int32_t>(static_cast<uint32_t>(l) << (static_cast<uint32_t>(r) & 31));
    case opShr: return static_cast<int32_t>(static_cast<uint32_t>(l) >> (static_cast<uint32_t>(r) & 31));
    case opPlus: return CheckedAdd(l, r);
    case opMinus: return CheckedSub(l, r);
    default: InternalError(12);
  }
}

// The plan of an OR chain of equalities between one field and literals:
// (x = v1) OR (x = v2) OR ... .  Each equality is false when x is null and
// otherwise compares by the smaller of the two types, so per row the
// chain's value is: x not null and x, read as the type it meets each
// literal in, among the literals of that meeting type.  Reading x once
// instead of once per literal changes nothing: a field read has no side
// effects, and the conversions down the type order (Boolean to integer to
// float to text) cannot fail.  A literal that is null itself (the empty
// text) never compares equal and is left out.
struct TBinaryOp::TEqualsPlan {
  TExpression* Field = nullptr;  // x, as the first equality has it
  TExprType FieldType = ttString;
  std::unordered_set<std::string> Texts;
  std::unordered_set<double> Floats;  // 0 stands for both zeros
  std::unordered_set<int32_t> Integers;
  bool HasTrue = false, HasFalse = false;
};

// The plan of an AND chain some of whose operands compare a plain text
// field with a string literal (x <> 'a' AND y = 'b' AND x <> 'c' ...).
// Such a comparison is what TRelationalOp makes of it through its text
// operands: false when either side is null (the field by its null test,
// the literal when empty), else the bytes compared as unsigned codes.
// Reading a field has no side effects, so within a row a field is read
// once for every such comparison up to the next other operand (which could
// move a dataset and is evaluated as it is); the comparisons are kept in
// one array, not in nodes spread over the heap that every row would visit.
struct TBinaryOp::TAndPlan {
  struct TRead {
    TTextOperand Operand;  // bound to the field of the first comparison
    uint64_t Row = 0;      // the reading the text belongs to
    std::string_view Text;
    bool Present = false;
  };
  struct TTerm {
    TExpression* Node = nullptr;  // an operand evaluated as it is; else a comparison
    size_t LiteralAt = 0, LiteralSize = 0;
    int32_t Read = -1;
    TOperator Operator = opEq;  // field on the left
  };
  std::vector<TRead> Reads;
  std::vector<TTerm> Terms;
  std::string Literals;
  uint64_t Reading = 0;
};

TBinaryOp::~TBinaryOp() = default;

void TBinaryOp::OperandsChanged() {
  Plan.reset();
  AndPlan.reset();
  Planned = false;
}

namespace {

bool IsLiteral(TExpression* e) {
  return dynamic_cast<TIntegerLiteral*>(e) || dynamic_cast<TFloatLiteral*>(e) || dynamic_cast<TStringLiteral*>(e) ||
         dynamic_cast<TBooleanLiteral*>(e);
}

template <class T>
bool Relate(TOperator op, const T& l, const T& r) {
  switch (op) {
    case opEq: return l == r;
    case opNEQ: return l != r;
    case opLT: return l < r;
    case opGT: return l > r;
    case opLTE: return l <= r;
    default: return l >= r;
  }
}

TOperator MirroredOperator(TOperator op) {
  switch (op) {
    case opLT: return opGT;
    case opGT: return opLT;
    case opLTE: return opGTE;
    case opGTE: return opLTE;
    default: return op;
  }
}

// The plain text field a text operand binds to (see TTextOperand::Bind).
TFieldExpr* PlainTextField(TExpression* e) {
  if (!e || typeid(*e) != typeid(TFieldExpr)) return nullptr;
  auto* f = static_cast<TFieldExpr*>(e);
  return f->ReadsText() ? f : nullptr;
}

TStringLiteral* PlainStringLiteral(TExpression* e) {
  return e && typeid(*e) == typeid(TStringLiteral) ? static_cast<TStringLiteral*>(e) : nullptr;
}

}  // namespace

// Evaluates the chain through its plan; false when there is none (the
// chain is then evaluated operand by operand).
bool TBinaryOp::PlannedAnd(bool& result) {
  if (Operator != opAnd || More.empty() || OperandType != ttBoolean) return false;
  if (!Planned) {
    // Built at the first row (and again after OperandsChanged).
    Planned = true;
    AndPlan.reset();
    auto plan = std::make_unique<TAndPlan>();
    std::map<std::pair<const TField*, const TExprContext*>, int32_t> reads;
    size_t compared = 0;
    auto add = [&](TExpression* operand) {
      TAndPlan::TTerm term;
      TFieldExpr* field = nullptr;
      TStringLiteral* literal = nullptr;
      if (typeid(*operand) == typeid(TRelationalOp)) {
        auto* r = static_cast<TRelationalOp*>(operand);
        if ((field = PlainTextField(r->Left.get())) && (literal = PlainStringLiteral(r->Right.get()))) {
          term.Operator = r->Operator;
        } else if ((field = PlainTextField(r->Right.get())) && (literal = PlainStringLiteral(r->Left.get()))) {
          term.Operator = MirroredOperator(r->Operator);
        } else {
          field = nullptr;
        }
      }
      if (!field) {
        term.Node = operand;
        plan->Terms.push_back(term);
        return;
      }
      const auto [at, added] =
          reads.emplace(std::make_pair(field->Field, field->Context), static_cast<int32_t>(plan->Reads.size()));
      if (added) {
        plan->Reads.emplace_back();
        plan->Reads.back().Operand.Bind(field);
      }
      term.Read = at->second;
      term.LiteralAt = plan->Literals.size();
      term.LiteralSize = literal->Value.size();
      plan->Literals += literal->Value;
      plan->Terms.push_back(term);
      ++compared;
    };
    bool whole = Left && Right;
    for (const TExpressionPtr& m : More) whole = whole && m;
    if (whole) {
      add(Left.get());
      add(Right.get());
      for (const TExpressionPtr& m : More) add(m.get());
    }
    // Worth it only where the comparisons outnumber the other operands.
    if (whole && compared * 2 > plan->Terms.size()) AndPlan = std::move(plan);
  }
  if (!AndPlan) return false;
  TAndPlan& p = *AndPlan;
  const std::string_view literals = p.Literals;
  result = false;
  ++p.Reading;
  for (const TAndPlan::TTerm& t : p.Terms) {
    if (t.Node) {
      if (!t.Node->GetAsBoolean()) return true;
      ++p.Reading;  // the operand may have moved a dataset: read again
      continue;
    }
    TAndPlan::TRead& r = p.Reads[static_cast<size_t>(t.Read)];
    if (r.Row != p.Reading) {
      r.Present = r.Operand.Read(r.Text);
      r.Row = p.Reading;
    }
    if (!r.Present || t.LiteralSize == 0) return true;
    if (!Relate(t.Operator, CompareTextBytes(r.Text, literals.substr(t.LiteralAt, t.LiteralSize)), 0)) return true;
  }
  result = true;
  return true;
}

// Evaluates the chain through its plan; false when there is none (the
// chain is then evaluated operand by operand).
bool TBinaryOp::PlannedOr(bool& result) {
  if (Operator != opOr || More.empty()) return false;
  if (!Planned) {
    // Built at the first row (and again after OperandsChanged).
    Planned = true;
    Plan.reset();
    auto plan = std::make_unique<TEqualsPlan>();
    TFieldExpr* field = nullptr;
    auto add = [&](TExpression* operand) {
      auto* r = dynamic_cast<TRelationalOp*>(operand);
      if (!r || r->Operator != opEq || !IsLiteral(r->Right.get())) return false;
      auto* f = dynamic_cast<TFieldExpr*>(r->Left.get());
      if (!f) return false;
      if (!field) {
        field = f;
        plan->Field = f;
        plan->FieldType = f->GetExprType();
      } else if (f->Field != field->Field || f->Context != field->Context) {
        return false;
      }
      TExpression* v = r->Right.get();
      if (v->GetIsNull()) return true;
      switch (MinExprType(v->GetExprType(), plan->FieldType)) {
        case ttString: plan->Texts.insert(v->GetAsString()); break;
        case ttFloat: {
          const double d = v->GetAsFloat();
          plan->Floats.insert(d == 0 ? 0.0 : d);
          break;
        }
        case ttInteger: plan->Integers.insert(v->GetAsInteger()); break;
        case ttBoolean: (v->GetAsBoolean() ? plan->HasTrue : plan->HasFalse) = true; break;
      }
      return true;
    };
    bool ok = add(Left.get()) && add(Right.get());
    for (size_t i = 0; ok && i < More.size(); ++i) ok = add(More[i].get());
    if (!ok) return false;
    Plan = std::move(plan);
  }
  if (!Plan) return false;
  const TEqualsPlan& p = *Plan;
  TNodeRead x(p.Field);
  result = false;
  if (x.IsNull) return true;
  // The meeting types in the order of the type ranking; each is asked only
  // when some literal meets x in it.
  if (!p.Texts.empty() && p.Texts.count(x.GetText())) return result = true;
  if (!p.Floats.empty()) {
    const double d = x.Node->GetAsFloat();
    if (p.Floats.count(d == 0 ? 0.0 : d)) return result = true;
  }
  if (!p.Integers.empty() && p.Integers.count(x.Node->GetAsInteger())) return result = true;
  if (p.HasTrue || p.HasFalse) {
    const bool b = x.Node->GetAsBoolean();
    if (b ? p.HasTrue : p.HasFalse) return result = true;
  }
  return true;
}

bool TBinaryOp::GetAsBoolean() {
  switch (Operator) {
    case opAnd: {
      bool planned = false;
      if (PlannedAnd(planned)) return planned;
      if (!Left->GetAsBoolean() || !Right->GetAsBoolean()) return false;
      for (const TExpressionPtr& m : More)
        if (!m->GetAsBoolean()) return false;
      return true;
    }
    case opOr: {
      bool planned = false;
      if (PlannedOr(planned)) return planned;
      if (Left->GetAsBoolean() || Right->GetAsBoolean()) return true;
      for (const TExpressionPtr& m : More)
        if (m->GetAsBoolean()) return true;
      return false;
    }
    case opXor: {
      bool v = Left->GetAsBoolean();
      v = v != Right->GetAsBoolean();
      for (const TExpressionPtr& m : More) v = v != m->GetAsBoolean();
      return v;
    }
    default: return TExpression::GetAsBoolean();
  }
}

// ---- TRelationalOp ---------------------------------------------------------

TRelationalOp::TRelationalOp(TOperator op, TExpressionPtr left, TExpressionPtr right)
    : Left(std::move(left)), Right(std::move(right)), Operator(op) {
  if (!IsRelational(op)) throw EExpression("%s is not relational operator", {OperatorName(op)});
}

bool TRelationalOp::GetAsBoolean() {
  if (Left.get() != PlannedLeft || Right.get() != PlannedRight) {
    PlannedLeft = Left.get();
    PlannedRight = Right.get();
    const bool left = LeftText.Bind(PlannedLeft);
    TextPlan = RightText.Bind(PlannedRight) && left;
  }
  if (TextPlan) {
    // The same reads as below (null first, left before right), as views.
    std::string_view l, r;
    if (!LeftText.Read(l) || !RightText.Read(r)) return false;
    return Relate(Operator, CompareTextBytes(l, r), 0);
  }
  // Each operand is read once: its null test and its value come from the
  // same evaluation.
  TNodeRead l(Left.get());
  if (l.IsNull) return false;
  TNodeRead r(Right.get());
  if (r.IsNull) return false;
  switch (MinExprType(Right->GetExprType(), Left->GetExprType())) {
    case ttString: {
      const std::string lt = l.GetText();
      return Relate(Operator, CompareBytes(lt, r.GetText()), 0);
    }
    case ttFloat: {
      const double lv = l.Node->GetAsFloat();
      return Relate(Operator, lv, r.Node->GetAsFloat());
    }
    case ttInteger: {
      const int32_t lv = l.Node->GetAsInteger();
      return Relate(Operator, lv, r.Node->GetAsInteger());
    }
    case ttBoolean: {
      if (Operator != opEq && Operator != opNEQ)
        throw EExpression("cannot apply %s to boolean operands", {OperatorName(Operator)});
      const bool lv = l.Node->GetAsBoolean();
      return Relate(Operator, lv, r.Node->GetAsBoolean());
    }
  }
  return false;
}
