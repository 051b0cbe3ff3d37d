// The built-in functions and predicates of the expression language.
//
// Each is a TFunction over its parsed argument list.  Argument checks of
// the string, math, IF and CASE nodes run at every request of a value, not
// when the node is built, so a wrong call fails when it is evaluated.
//
// Widest texts are bounds that never depend on the current row: a function
// of a text takes the widest text of that argument (cut to a literal count
// where one is given), branching nodes the widest of all their branches,
// and formatted texts a fixed bound.
//
// LIKE compiles a literal pattern once, and any other pattern (a field, a
// parameter) whenever its text changes from row to row.
// The escape character makes the character after it literal in every
// pattern.  Matching is a greedy two-pointer walk over the pattern, linear
// per "%" run, so patterns such as '%a%a%a%b' cannot explode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sql_engine/expr/expr_types.h"

enum TSF : uint8_t { sfUpper, sfLower, sfCopy, sfPos, sfLength, sfLTrim, sfRTrim, sfTrim };
enum TMF : uint8_t {
  mfTrunc,
  mfRound,
  mfAbs,
  mfArcTan,
  mfCos,
  mfExp,
  mfFrac,
  mfInt,
  mfLn,
  mfPi,
  mfSin,
  mfSqr,
  mfSqrt,
  mfPower
};
enum TDecodeKind : uint8_t { dkYear, dkMonth, dkDay, dkHour, dkMin, dkSec, dkMSec, dkWeek };
enum TLikePos : uint8_t { lpNone, lpLeft, lpMiddle, lpRight };
enum TLikeCode : uint8_t { lcSingle, lcMultiple };

const char* StringFuncName(TSF f);
const char* MathFuncName(TMF f);

// The built-in function `name` (upper case) over `params`; none when the
// name is not one of them.  `params` is consumed only when a node is made.
TExpressionPtr CreateBuiltinFunction(const std::string& name, TParameterListPtr& params);

// Equality and order of two nodes read as type `t` (texts byte by byte,
// numbers numerically, false before true).
bool EqualAs(TExprType t, TExpression* a, TExpression* b);
int CompareAs(TExprType t, TExpression* a, TExpression* b);

class TStringExpression : public TFunction {
public:
  TStringExpression(TParameterListPtr params, TSF func) : TFunction(std::move(params)), StringFunc(func) {}
  std::string GetMaxString() override;
  std::string GetAsString() override;
  int32_t GetAsInteger() override;
  TExprType GetExprType() override;
  TSF StringFunc;

private:
  void CheckParams();
};

class TMathExpression : public TFunction {
public:
  TMathExpression(TParameterListPtr params, TMF func) : TFunction(std::move(params)), MathFunc(func) {}
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  TExprType GetExprType() override { return MathFunc == mfTrunc || MathFunc == mfRound ? ttInteger : ttFloat; }
  TMF MathFunc;

private:
  void CheckParams();
};

// CAST(x AS type), FLOAT(x), INTEGER(x), BOOLEAN(x).  Every value is read
// through the cast, the text included; a null operand gives null.
class TTypeCast : public TFunction {
public:
  TTypeCast(TParameterListPtr params, TExprType castType) : TFunction(std::move(params)), CastType(castType) {}
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return CastType; }
  bool GetIsNull() override;
  bool NullByText() override { return false; }
  TExprType CastType;
};

// IF(condition, a, b): the type of both branches combined as for binary
// operators; the chosen branch is read through the default conversions.
class TConditional : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override;
  bool GetIsNull() override;
  TExpression* GetCurrentNode() override { return Chosen()->GetCurrentNode(); }
  bool NullByText() override { return false; }

private:
  void Check();
  TExpression* Chosen();
};

class TASCIIExpr : public TFunction {
public:
  explicit TASCIIExpr(TParameterListPtr params);
  int32_t GetAsInteger() override;
  TExprType GetExprType() override { return ttInteger; }
};

class TLeftExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

class TRightExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

struct TLikeItem {
  std::string LikeText;
  TLikePos LikePos = lpNone;
  TLikeCode LikeCode = lcSingle;
};

// The literal runs of a pattern between its wildcards.  Every wildcard
// closes one item (its run may be empty: 'a%_b', '___'); the text after
// the last wildcard, when there is any, is the lpRight item.  A pattern
// without wildcards is one lpNone item.
class TLikeList {
public:
  TLikeItem& Add() { return items_.emplace_back(); }
  void Clear() { items_.clear(); }
  void Delete(int32_t i);
  int32_t GetCount() const { return static_cast<int32_t>(items_.size()); }
  TLikeItem& GetItem(int32_t i);

private:
  std::vector<TLikeItem> items_;
};

// A compiled LIKE pattern: literal bytes and wildcards.  The common shapes
// (a literal, "lit%", "%lit", "%lit%") are recognised when compiled and
// matched by a byte comparison; every other pattern by the general walk.
class TLikePattern {
public:
  void Compile(const std::string& pattern, int escape);  // escape: -1 none
  bool Matches(std::string_view value) const;
  // The general walk alone, whatever the pattern's shape.
  bool MatchesGeneral(std::string_view value) const;
  TLikeList LikeList;

private:
  enum class TShape : uint8_t { General, Exact, Prefix, Suffix, Contains };
  static constexpr int16_t kAnyOne = -1;  // "_"
  static constexpr int16_t kAnyRun = -2;  // "%"
  void FindShape();
  std::vector<int16_t> elems_;
  TShape shape_ = TShape::General;
  std::string literal_;  // the literal bytes of a shape other than General
};

class TFieldExpr;

// LIKE / NOT LIKE / SQLLIKE / SQLNOTLIKE (value, pattern[, escape]).  A
// plain text field as the value is read into the node's own buffer, so a
// scan builds no text per row.
class TSQLLikeExpr : public TFunction {
public:
  TSQLLikeExpr(TParameterListPtr params, bool isNotLike);
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ttBoolean; }
  TLikeList& LikeList() { return Pattern.LikeList; }
  bool IsNotLike;

private:
  void CompileNow();
  TLikePattern Pattern;
  TFieldExpr* FieldValue = nullptr;  // the value, when it is a field
  std::string FieldBuffer;
  bool PerRow = false;
  bool Compiled = false;
  int Escape = -1;
  std::string PatternText;  // the text Pattern was compiled from
};

class TBetweenExpr : public TFunction {
public:
  TBetweenExpr(TParameterListPtr params, bool isNot) : TFunction(std::move(params)), IsNotBetween(isNot) {}
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ttBoolean; }
  bool IsNotBetween;
};

class TSQLInPredicateExpr : public TFunction {
public:
  TSQLInPredicateExpr(TParameterListPtr params, bool isNot) : TFunction(std::move(params)), IsNotIn(isNot) {}
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ttBoolean; }
  bool IsNotIn;
};

// CASE WHEN c1 THEN t1 ... [ELSE e] END; the argument list holds the
// conditions.
class TCaseWhenElseExpr : public TFunction {
public:
  TCaseWhenElseExpr(TParameterListPtr whenList, TParameterListPtr thenList, TExpressionPtr elseExpr);
  std::string GetMaxString() override;
  std::string GetAsString() override;
  double GetAsFloat() override;
  int32_t GetAsInteger() override;
  bool GetAsBoolean() override;
  TExprType GetExprType() override;
  bool GetIsNull() override;
  TExpression* GetCurrentNode() override;
  bool NullByText() override { return false; }

  TExpressionPtr ElseExpr;
  TParameterListPtr ThenParams;

private:
  void Check();
  TExpression* Chosen();  // none when no condition holds and there is no ELSE
};

class TDecodeDateTimeExpr : public TFunction {
public:
  TDecodeDateTimeExpr(TParameterListPtr params, TDecodeKind kind) : TFunction(std::move(params)), DecodeKind(kind) {}
  int32_t GetAsInteger() override;
  TExprType GetExprType() override { return ttInteger; }
  TDecodeKind DecodeKind;
};

class TFormatDateTimeExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

class TFormatFloatExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

class TFormatExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

// DECODE(x, value1, result1, ..., default).
class TDecodeExpr : public TFunction {
public:
  explicit TDecodeExpr(TParameterListPtr params);
  std::string GetMaxString() override;
  std::string GetAsString() override { return Chosen()->GetAsString(); }
  double GetAsFloat() override { return Chosen()->GetAsFloat(); }
  int32_t GetAsInteger() override { return Chosen()->GetAsInteger(); }
  bool GetAsBoolean() override { return Chosen()->GetAsBoolean(); }
  TExprType GetExprType() override { return GetParam(2)->GetExprType(); }
  bool GetIsNull() override;
  TExpression* GetCurrentNode() override { return Chosen()->GetCurrentNode(); }
  bool NullByText() override { return false; }

private:
  TExpression* Chosen();
};

class TMinMaxOfExpr : public TFunction {
public:
  TMinMaxOfExpr(TParameterListPtr params, bool isMin);
  double GetAsFloat() override;
  TExprType GetExprType() override { return ttFloat; }
  bool IsMin;
};

class TNowExpr : public TFunction {
public:
  using TFunction::TFunction;
  double GetAsFloat() override;
  TExprType GetExprType() override { return ttFloat; }
};

// SQLTRIM(char, s, mode): mode 0 leading, 1 trailing, 2 both.
class TSQLTrimExpr : public TFunction {
public:
  using TFunction::TFunction;
  std::string GetMaxString() override;
  std::string GetAsString() override;
  TExprType GetExprType() override { return ttString; }
};

class TISNULLExpr : public TFunction {
public:
  using TFunction::TFunction;
  bool GetAsBoolean() override;
  TExprType GetExprType() override { return ttBoolean; }
};

class TNULLValueExpr : public TFunction {
public:
  using TFunction::TFunction;
  bool GetAsBoolean() override { return true; }
  TExprType GetExprType() override { return ttBoolean; }
};

// ROUNDDEC / TRUNCDEC (x, n): x to n decimals, rounding halves away from
// zero or truncating toward zero.
class TRoundDecExpr : public TFunction {
public:
  TRoundDecExpr(TParameterListPtr params, bool isRound) : TFunction(std::move(params)), IsRound(isRound) {}
  double GetAsFloat() override;
  TExprType GetExprType() override { return ttFloat; }
  bool IsRound;
};
