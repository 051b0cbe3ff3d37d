// Value types and the node interface of the query engine's expression
// language.
//
// An expression text compiles into a tree of TExpression nodes; the root is
// asked once for its type and its widest text (to lay out result columns),
// and once per row for its value.  Nodes read their data lazily, so one tree
// serves every row of a scan.
//
// Four value types, ranked by their order: where two operand types meet the
// smaller ordinal wins (a string with anything is a string, a float with an
// integer a float, an integer with a boolean an integer).  Dates and times
// travel as ttFloat date-time numbers.
//
// Every getter a node does not override falls back to the defaults below,
// driven by the node's own type: numbers and booleans print as text, texts
// read as numbers, integers and booleans widen to floats, a boolean reads as
// 1/0.  What cannot be converted raises EExpression "Cannot read %s as ...".
// An empty text counts as null unless a node knows better.
//
// The widest text (GetMaxString) sizes string columns.  It never depends on
// the row being current: string nodes give their own bound, and a node of
// another type gives a text as wide as any value of that type can print
// (integer 11, float 23, boolean 5 characters).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/exceptions.h"

// The exception of the expression nodes.
DIRLOOK_EXCEPTION(EExpression, Exception)

enum TExprType : uint8_t { ttString, ttFloat, ttInteger, ttBoolean };

// "String", "Float", "Integer", "Boolean": the names messages use.
const char* ExprTypeName(TExprType t);
// The smaller ordinal of the two (the type where two operands meet).
inline TExprType MinExprType(TExprType a, TExprType b) { return a < b ? a : b; }

// The widest texts of values of the non-string types: "-2147483648", a
// float in 15-digit general form with sign and exponent, "FALSE".
constexpr int32_t kMaxIntegerTextLen = 11;
constexpr int32_t kMaxFloatTextLen = 23;
constexpr int32_t kMaxBooleanTextLen = 5;
// The bound of texts with no length of their own (formatted texts, user
// functions that give none, memo fields).
constexpr int32_t kUnboundedTextLen = 255;

// The widest text of a value of a non-string type (empty for ttString).
std::string MaxTextOfType(TExprType t);

// clang-format off
enum TOperator : uint8_t {
  opNot, opExp, opMult, opDivide, opDiv, opMod, opAnd, opShl, opShr, opPlus, opMinus, opOr,
  opXor, opEq, opNEQ, opLT, opGT, opLTE, opGTE
};
// clang-format on
// "opNot", "opPlus", ...: the identifiers messages name operators by.
const char* OperatorName(TOperator op);

// A node of an expression tree.  Nodes own their operands; freeing the root
// frees the tree.
class TExpression {
public:
  TExpression() = default;
  virtual ~TExpression() = default;
  TExpression(const TExpression&) = delete;
  TExpression& operator=(const TExpression&) = delete;

  // The widest text the node can produce, for sizing string columns.
  virtual std::string GetMaxString();
  virtual std::string GetAsString();
  virtual double GetAsFloat();
  virtual int32_t GetAsInteger();
  virtual bool GetAsBoolean();
  virtual TExprType GetExprType() = 0;
  // Default: a string node whose text is empty (the text of a number or a
  // boolean is never empty).
  virtual bool GetIsNull();

  // The node whose value this node has at the current row: IF, CASE and
  // DECODE give their chosen branch (none for a CASE that matches nothing
  // and has no ELSE), every other node itself.  Callers that test null and
  // then read the value evaluate the conditions once, so nested
  // conditionals cost linear, not exponential, time.
  virtual TExpression* GetCurrentNode() { return this; }
  // True when the node uses the default null test above; nodes with a null
  // state of their own (fields, parameters, casts, conditionals) answer
  // false.
  virtual bool NullByText() { return true; }

  // Length of the widest text for a string node, 0 for other types.
  int32_t GetMaxLen();
  // True when the node's type ranks at or after `t`: everything reads as a
  // string, a boolean as anything.
  bool CanReadAs(TExprType t);

  // Short spellings of the getters.
  std::string AsString() { return GetAsString(); }
  double AsFloat() { return GetAsFloat(); }
  int32_t AsInteger() { return GetAsInteger(); }
  bool AsBoolean() { return GetAsBoolean(); }
  TExprType ExprType() { return GetExprType(); }
  bool IsNull() { return GetIsNull(); }
  std::string MaxString() { return GetMaxString(); }
  int32_t MaxLen() { return GetMaxLen(); }
};

using TExpressionPtr = std::unique_ptr<TExpression>;

// A node read once at the current row: its null state and, when that
// needed it, its text.  `Node` is the current node of what was read (none:
// null).
struct TNodeRead {
  TExpression* Node = nullptr;
  bool IsNull = true;
  bool HaveText = false;
  std::string Text;

  explicit TNodeRead(TExpression* e);
  // The text, read now unless the null test already read it.
  std::string GetText();
};

// The argument list of a function node; owns its items.  GetParam with a
// bad index raises the platform's list-index error.
class TParameterList {
public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  void Add(TExpressionPtr e) { items_.push_back(std::move(e)); }
  TExpression* GetParam(int32_t i) const;
  std::string GetAsString(int32_t i) const { return GetParam(i)->GetAsString(); }
  double GetAsFloat(int32_t i) const { return GetParam(i)->GetAsFloat(); }
  int32_t GetAsInteger(int32_t i) const { return GetParam(i)->GetAsInteger(); }
  bool GetAsBoolean(int32_t i) const { return GetParam(i)->GetAsBoolean(); }
  TExprType GetExprType(int32_t i) const { return GetParam(i)->GetExprType(); }

private:
  std::vector<TExpressionPtr> items_;
};

using TParameterListPtr = std::unique_ptr<TParameterList>;

// Base of every function, predicate and data node.  The argument list may
// be absent.
class TFunction : public TExpression {
public:
  explicit TFunction(TParameterListPtr params) : ParameterList(std::move(params)) {}
  int32_t ParameterCount() const { return ParameterList ? ParameterList->Count() : 0; }
  // Index from 0; raises the list-index error for a bad index or no list.
  TExpression* GetParam(int32_t i) const;

  TParameterListPtr ParameterList;
};
