// Type names and the default conversions of expression nodes.
#include "sql_engine/expr/expr_types.h"

#include "platform/numbers.h"
#include "sql_engine/expr/expr_nodes.h"

namespace {

constexpr const char* kTypeNames[] = {"String", "Float", "Integer", "Boolean"};

constexpr const char* kOperatorNames[] = {"opNot", "opExp", "opMult", "opDivide", "opDiv", "opMod", "opAnd",
                                          "opShl", "opShr", "opPlus", "opMinus",  "opOr",  "opXor", "opEq",
                                          "opNEQ", "opLT",  "opGT",   "opLTE",    "opGTE"};

[[noreturn]] void CannotRead(TExprType own, const char* pattern) { throw EExpression(pattern, {ExprTypeName(own)}); }

}  // namespace

const char* ExprTypeName(TExprType t) { return t <= ttBoolean ? kTypeNames[t] : "Unknown"; }

const char* OperatorName(TOperator op) { return op <= opGTE ? kOperatorNames[op] : "opUnknown"; }

std::string MaxTextOfType(TExprType t) {
  switch (t) {
    case ttFloat: return std::string(kMaxFloatTextLen, '9');
    case ttInteger: return std::string(kMaxIntegerTextLen, '9');
    case ttBoolean: return "FALSE";
    default: return std::string();
  }
}

std::string TExpression::GetMaxString() {
  const TExprType t = GetExprType();
  if (t == ttString) return GetAsString();
  return MaxTextOfType(t);
}

std::string TExpression::GetAsString() {
  switch (const TExprType t = GetExprType()) {
    case ttFloat: return FloatToStr(GetAsFloat());
    case ttInteger: return IntToStr(GetAsInteger());
    case ttBoolean: return GetAsBoolean() ? "TRUE" : "FALSE";
    default: CannotRead(t, "Cannot read %s as String");
  }
}

double TExpression::GetAsFloat() {
  switch (const TExprType t = GetExprType()) {
    case ttString: return CheckedFloat(StrToFloat(GetAsString()));
    case ttInteger:
    case ttBoolean: return GetAsInteger();
    default: CannotRead(t, "Cannot read %s as Float");
  }
}

int32_t TExpression::GetAsInteger() {
  switch (const TExprType t = GetExprType()) {
    case ttString: return StrToInt(GetAsString());
    case ttBoolean: return GetAsBoolean() ? 1 : 0;
    default: CannotRead(t, "Cannot read %s as Integer");
  }
}

bool TExpression::GetAsBoolean() { CannotRead(GetExprType(), "Cannot read %s as boolean"); }

bool TExpression::GetIsNull() { return GetExprType() == ttString && GetAsString().empty(); }

TNodeRead::TNodeRead(TExpression* e) : Node(e ? e->GetCurrentNode() : nullptr) {
  if (!Node) return;
  if (!Node->NullByText()) {
    IsNull = Node->GetIsNull();
    return;
  }
  if (Node->GetExprType() != ttString) {
    IsNull = false;
    return;
  }
  Text = Node->GetAsString();
  HaveText = true;
  IsNull = Text.empty();
}

std::string TNodeRead::GetText() {
  if (HaveText) return Text;
  return Node ? Node->GetAsString() : std::string();
}

int32_t TExpression::GetMaxLen() {
  if (GetExprType() != ttString) return 0;
  return static_cast<int32_t>(GetMaxString().size());
}

bool TExpression::CanReadAs(TExprType t) { return GetExprType() >= t; }

TExpression* TParameterList::GetParam(int32_t i) const {
  if (i < 0 || i >= Count()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)].get();
}

TExpression* TFunction::GetParam(int32_t i) const {
  if (!ParameterList) throw EListError("List index out of bounds (%d)", {i});
  return ParameterList->GetParam(i);
}
