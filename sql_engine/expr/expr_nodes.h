// Literal and operator nodes of the expression language.
//
// Literals give their value for their own type and fall back to the default
// conversions otherwise.  Unary and binary nodes fix the type of their
// operands when built; whether an operator accepts that type is checked each
// time the node's type is asked, so an incompatible tree builds and fails on
// first use with "Operator %s incompatible with %s".  A relational node is
// false whenever one operand is null, whatever the operator, and compares
// by the smaller of the operands' types: texts byte by byte (no locale, no
// trimming), numbers exactly, booleans only for equality.
//
// Arithmetic never wraps and never yields inf or NaN: 32-bit integer
// operations raise the platform's overflow and division errors, float
// operations raise EZeroDivide, EInvalidOp or EOverflow.  "^" is computed
// as e raised to (right × ln left) in long double, so small whole powers
// come out exact (2 ^ 3 = 8).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql_engine/expr/expr_types.h"
#include "sql_engine/expr/text_operand.h"

// Raises EZeroDivide, EInvalidOp or EOverflow unless x is a finite double.
double CheckedFloat(long double x);
// e ^ (y × ln x) for x > 0; x = 0 gives 0 for y > 0 and raises otherwise; a
// negative x raises EInvalidOp.
double FloatPower(long double x, long double y);

// The result type of an operator over an operand type; raises "Operator %s
// incompatible with %s" for a pair that has none.
TExprType ResultType(TOperator op, TExprType operand);

class TStringLiteral : public TExpression {
public:
  explicit TStringLiteral(std::string value) : Value(std::move(value)) {}
  std::string GetAsString() override { return Value; }
  TExprType GetExprType() override { return ttString; }
  std::string Value;
};

class TFloatLiteral : public TExpression {
public:
  explicit TFloatLiteral(double value) : Value(value) {}
  double GetAsFloat() override { return Value; }
  TExprType GetExprType() override { return ttFloat; }
  double Value;
};

class TIntegerLiteral : public TExpression {
public:
  explicit TIntegerLiteral(int32_t value) : Value(value) {}
  int32_t GetAsInteger() override { return Value; }
  double GetAsFloat() override { return Value; }
  TExprType GetExprType() override { return ttInteger; }
  int32_t Value;
};

class TBooleanLiteral : public TExpression {
public:
  explicit TBooleanLiteral(bool value) : Value(value) {}
  bool GetAsBoolean() override { return Value; }
  TExprType GetExprType() override { return ttBoolean; }
  bool Value;
};

// opNot, opPlus, opMinus over one operand.
class TUnaryOp : public TExpression {
public:
  TUnaryOp(TOperator op, TExpressionPtr operand);
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ResultType(Operator, OperandType); }

  TExpressionPtr Operand;
  TExprType OperandType;
  TOperator Operator;
};

// opExp .. opXor over two operands.
//
// A chain of one logical operator over operands of one type (a OR b OR c
// ..., all Boolean or all integer) is one node: More holds the operands
// after Right, and the node means ((Left op Right) op More[0]) op ...,
// evaluated from the left as the nested nodes would be, with the same short
// cuts.  A WHERE clause of 100,000 ORs is then a flat list, not a tree
// 100,000 levels deep that evaluating or freeing would have to recurse
// through.
class TBinaryOp : public TExpression {
public:
  TBinaryOp(TOperator op, TExpressionPtr left, TExpressionPtr right);
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ResultType(Operator, OperandType); }

  // Appends `right` as the next operand of the chain and returns true when
  // this node is an AND, OR or XOR over Booleans or integers and `right` is
  // of that same type; otherwise leaves `right` alone and returns false.
  bool Extend(TExpressionPtr& right);
  // Whoever replaces an operand after the node has been evaluated calls
  // this, so that the next row plans the chain again.
  void OperandsChanged();

  TExpressionPtr Left, Right;
  std::vector<TExpressionPtr> More;
  TOperator Operator;
  TExprType OperandType;

  ~TBinaryOp() override;

private:
  // An OR chain whose operands all compare one field for equality with a
  // literal (what an IN list becomes) reads the field once per row and
  // looks its value up among the literals; see EqualsPlan in the source.
  struct TEqualsPlan;
  bool PlannedOr(bool& result);
  std::unique_ptr<TEqualsPlan> Plan;
  // An AND chain whose operands compare plain text fields with literals
  // reads each field once per row and walks its comparisons as one compact
  // list; see AndPlan in the source.
  struct TAndPlan;
  bool PlannedAnd(bool& result);
  std::unique_ptr<TAndPlan> AndPlan;
  bool Planned = false;
};

// opEq .. opGTE; always boolean.
class TRelationalOp : public TExpression {
public:
  TRelationalOp(TOperator op, TExpressionPtr left, TExpressionPtr right);
  std::string GetMaxString() override { return "FALSE"; }
  std::string GetAsString() override { return GetAsBoolean() ? "TRUE" : "FALSE"; }
  double GetAsFloat() override { return GetAsBoolean() ? 1 : 0; }
  int32_t GetAsInteger() override { return GetAsBoolean() ? 1 : 0; }
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ttBoolean; }

  TExpressionPtr Left, Right;
  TOperator Operator;

private:
  // Two operands that are string literals or plain text fields compare as
  // views, read without building strings; decided at the first row for the
  // operands the node then has (they may be replaced after building).
  TTextOperand LeftText, RightText;
  TExpression* PlannedLeft = nullptr;
  TExpression* PlannedRight = nullptr;
  bool TextPlan = false;
};

// Compares two texts byte by byte as unsigned codes: <0, 0, >0.
int CompareBytes(const std::string& a, const std::string& b);
