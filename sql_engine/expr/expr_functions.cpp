// Built-in functions and predicates.
#include "sql_engine/expr/expr_functions.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/date_time.h"
#include "platform/numbers.h"
#include "platform/text.h"
#include "platform/variant.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"

namespace {

constexpr const char* kStringFuncNames[] = {"UPPER", "LOWER", "COPY", "POS", "LENGTH", "LTRIM", "RTRIM", "TRIM"};
constexpr const char* kMathFuncNames[] = {"TRUNC", "ROUND", "ABS", "ARCTAN", "COS", "EXP",  "FRAC",
                                          "INT",   "LN",    "PI",  "SIN",    "SQR", "SQRT", "POWER"};

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimBy(const std::string& s, bool left, bool right) {
  size_t b = 0, e = s.size();
  if (left)
    while (b < e && IsBlank(s[b])) ++b;
  if (right)
    while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// COPY(s, start, count): start below 1 counts as 1; the text ends where s ends.
std::string CopyText(const std::string& s, int32_t start, int32_t count) {
  if (start < 1) start = 1;
  if (count <= 0 || static_cast<size_t>(start) > s.size()) return std::string();
  return s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count));
}

std::string LeftText(const std::string& s, int32_t n) {
  if (n <= 0) return std::string();
  return s.substr(0, static_cast<size_t>(n));
}

std::string RightText(const std::string& s, int32_t n) {
  if (n <= 0) return std::string();
  if (static_cast<size_t>(n) >= s.size()) return s;
  return s.substr(s.size() - static_cast<size_t>(n));
}

// The value of a count argument when it is an integer literal (a fixed
// bound on the widest text), else -1.
int32_t LiteralCount(TExpression* e) {
  if (auto* lit = dynamic_cast<TIntegerLiteral*>(e)) return lit->Value < 0 ? 0 : lit->Value;
  return -1;
}

std::string CutTo(std::string s, int32_t n) {
  if (n >= 0 && s.size() > static_cast<size_t>(n)) s.resize(static_cast<size_t>(n));
  return s;
}

const std::string& Longer(const std::string& a, const std::string& b) { return b.size() > a.size() ? b : a; }

}  // namespace

const char* StringFuncName(TSF f) { return f <= sfTrim ? kStringFuncNames[f] : "?"; }
const char* MathFuncName(TMF f) { return f <= mfPower ? kMathFuncNames[f] : "?"; }

bool EqualAs(TExprType t, TExpression* a, TExpression* b) { return CompareAs(t, a, b) == 0; }

namespace {

// A value read once, to be compared with several others.
struct TValue {
  TExprType Type;
  std::string Text;
  double Float = 0;
  int32_t Integer = 0;
  bool Boolean = false;

  TValue(TExprType t, TExpression* e) : Type(t) {
    switch (t) {
      case ttString: Text = e->GetAsString(); break;
      case ttFloat: Float = e->GetAsFloat(); break;
      case ttInteger: Integer = e->GetAsInteger(); break;
      case ttBoolean: Boolean = e->GetAsBoolean(); break;
    }
  }
  // <0, 0, >0 as this value against `e` read as the same type.
  int Compare(TExpression* e) const {
    switch (Type) {
      case ttString: {
        const int c = CompareBytes(Text, e->GetAsString());
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
      }
      case ttFloat: {
        const double r = e->GetAsFloat();
        return Float < r ? -1 : (Float > r ? 1 : 0);
      }
      case ttInteger: {
        const int32_t r = e->GetAsInteger();
        return Integer < r ? -1 : (Integer > r ? 1 : 0);
      }
      case ttBoolean: {
        const bool r = e->GetAsBoolean();
        return Boolean == r ? 0 : (Boolean ? 1 : -1);
      }
    }
    return 0;
  }
};

}  // namespace

int CompareAs(TExprType t, TExpression* a, TExpression* b) {
  switch (t) {
    case ttString: {
      const std::string l = a->GetAsString();
      const int c = CompareBytes(l, b->GetAsString());
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case ttFloat: {
      const double l = a->GetAsFloat(), r = b->GetAsFloat();
      return l < r ? -1 : (l > r ? 1 : 0);
    }
    case ttInteger: {
      const int32_t l = a->GetAsInteger(), r = b->GetAsInteger();
      return l < r ? -1 : (l > r ? 1 : 0);
    }
    case ttBoolean: {
      const bool l = a->GetAsBoolean(), r = b->GetAsBoolean();
      return l == r ? 0 : (l ? 1 : -1);
    }
  }
  return 0;
}

// ---- string functions ------------------------------------------------------

void TStringExpression::CheckParams() {
  const int32_t n = ParameterCount();
  bool ok = false;
  switch (StringFunc) {
    case sfCopy: ok = n == 3 && GetParam(1)->CanReadAs(ttInteger) && GetParam(2)->CanReadAs(ttInteger); break;
    case sfPos: ok = n == 2; break;
    default: ok = n == 1; break;
  }
  if (!ok) throw EExpression("Invalid parameter to %s", {StringFuncName(StringFunc)});
}

TExprType TStringExpression::GetExprType() {
  return StringFunc == sfPos || StringFunc == sfLength ? ttInteger : ttString;
}

std::string TStringExpression::GetAsString() {
  CheckParams();
  switch (StringFunc) {
    case sfUpper: return AnsiUpperCase(GetParam(0)->GetAsString());
    case sfLower: return AnsiLowerCase(GetParam(0)->GetAsString());
    case sfCopy: {
      const std::string s = GetParam(0)->GetAsString();
      const int32_t start = GetParam(1)->GetAsInteger();
      return CopyText(s, start, GetParam(2)->GetAsInteger());
    }
    case sfLTrim: return TrimBy(GetParam(0)->GetAsString(), true, false);
    case sfRTrim: return TrimBy(GetParam(0)->GetAsString(), false, true);
    case sfTrim: return TrimBy(GetParam(0)->GetAsString(), true, true);
    default: return TExpression::GetAsString();
  }
}

std::string TStringExpression::GetMaxString() {
  CheckParams();
  switch (StringFunc) {
    case sfUpper: return AnsiUpperCase(GetParam(0)->GetMaxString());
    case sfLower: return AnsiLowerCase(GetParam(0)->GetMaxString());
    case sfCopy: return CutTo(GetParam(0)->GetMaxString(), LiteralCount(GetParam(2)));
    case sfLTrim:
    case sfRTrim:
    case sfTrim: return GetParam(0)->GetMaxString();
    default: return TExpression::GetMaxString();
  }
}

int32_t TStringExpression::GetAsInteger() {
  CheckParams();
  switch (StringFunc) {
    case sfPos: {
      const std::string sub = GetParam(0)->GetAsString();
      return Pos(sub, GetParam(1)->GetAsString());
    }
    case sfLength: return static_cast<int32_t>(GetParam(0)->GetAsString().size());
    default: return TExpression::GetAsInteger();
  }
}

// ---- math functions --------------------------------------------------------

void TMathExpression::CheckParams() {
  const int32_t n = ParameterCount();
  bool ok = MathFunc == mfPi ? true : (MathFunc == mfPower ? n == 2 : n == 1);
  if (ok && MathFunc != mfPi)
    for (int32_t i = 0; i < n; ++i) ok = ok && GetParam(i)->CanReadAs(ttFloat);
  if (!ok) throw EExpression("Invalid parameter to %s", {MathFuncName(MathFunc)});
}

double TMathExpression::GetAsFloat() {
  CheckParams();
  if (MathFunc == mfPi) return 3.141592653589793;
  const long double x = GetParam(0)->GetAsFloat();
  switch (MathFunc) {
    case mfTrunc:
    case mfRound: return GetAsInteger();
    case mfAbs: return static_cast<double>(std::fabs(x));
    case mfArcTan: return static_cast<double>(std::atan(x));
    case mfCos: return CheckedFloat(std::cos(x));
    case mfSin: return CheckedFloat(std::sin(x));
    case mfExp: return CheckedFloat(std::exp(x));
    case mfFrac: return static_cast<double>(x - std::trunc(x));
    case mfInt: return static_cast<double>(std::trunc(x));
    case mfLn:
      if (x == 0) throw EZeroDivide("Floating point division by zero");
      if (x < 0) throw EInvalidOp("Invalid floating point operation");
      return CheckedFloat(std::log(x));
    case mfSqr: return CheckedFloat(x * x);
    case mfSqrt:
      if (x < 0) throw EInvalidOp("Invalid floating point operation");
      return CheckedFloat(std::sqrt(x));
    case mfPower: return FloatPower(x, GetParam(1)->GetAsFloat());
    default: return 0;
  }
}

int32_t TMathExpression::GetAsInteger() {
  CheckParams();
  switch (MathFunc) {
    case mfTrunc: return TruncToInt32(GetParam(0)->GetAsFloat());
    case mfRound: return RoundToInt32(GetParam(0)->GetAsFloat());
    case mfAbs: {
      const int32_t v = GetParam(0)->GetAsInteger();
      return v < 0 ? CheckedSub(0, v) : v;
    }
    default: return TExpression::GetAsInteger();
  }
}

// ---- casts -----------------------------------------------------------------

std::string TTypeCast::GetMaxString() {
  if (CastType == ttString) return GetParam(0)->GetMaxString();
  return MaxTextOfType(CastType);
}

namespace {

// The operand of a cast read as a number or an integer, by its own type.
double CastFloat(TNodeRead& x, TExprType xt) {
  if (xt == ttString) return CheckedFloat(StrToFloat(x.GetText()));
  return x.Node->GetAsFloat();
}

int32_t CastInteger(TNodeRead& x, TExprType xt) {
  switch (xt) {
    case ttString: return StrToInt(x.GetText());
    case ttFloat: return TruncToInt32(x.Node->GetAsFloat());
    default: return x.Node->GetAsInteger();
  }
}

}  // namespace

bool TTypeCast::GetIsNull() { return TNodeRead(GetParam(0)).IsNull; }

std::string TTypeCast::GetAsString() {
  TExpression* p = GetParam(0);
  TNodeRead x(p);
  if (x.IsNull) return std::string();
  switch (CastType) {
    case ttString: return x.GetText();
    case ttFloat: return FloatToStr(CastFloat(x, p->GetExprType()));
    case ttInteger: return IntToStr(CastInteger(x, p->GetExprType()));
    case ttBoolean: return x.Node->GetAsBoolean() ? "TRUE" : "FALSE";
  }
  return std::string();
}

double TTypeCast::GetAsFloat() {
  TExpression* p = GetParam(0);
  TNodeRead x(p);
  if (x.IsNull) return 0;
  return CastFloat(x, p->GetExprType());
}

int32_t TTypeCast::GetAsInteger() {
  TExpression* p = GetParam(0);
  TNodeRead x(p);
  if (x.IsNull) return 0;
  return CastInteger(x, p->GetExprType());
}

bool TTypeCast::GetAsBoolean() {
  TNodeRead x(GetParam(0));
  if (x.IsNull) return false;
  return x.Node->GetAsBoolean();
}

// ---- IF --------------------------------------------------------------------

void TConditional::Check() {
  if (ParameterCount() != 3 || GetParam(0)->GetExprType() != ttBoolean) throw EExpression("IF: Invalid parameters");
}

TExpression* TConditional::Chosen() {
  Check();
  return GetParam(0)->GetAsBoolean() ? GetParam(1) : GetParam(2);
}

TExprType TConditional::GetExprType() {
  Check();
  return MinExprType(GetParam(1)->GetExprType(), GetParam(2)->GetExprType());
}

std::string TConditional::GetMaxString() {
  if (GetExprType() != ttString) return TExpression::GetMaxString();
  const std::string a = GetParam(1)->GetMaxString();
  const std::string b = GetParam(2)->GetMaxString();
  return a.size() > b.size() ? a : b;
}

std::string TConditional::GetAsString() {
  if (GetExprType() == ttString) return Chosen()->GetAsString();
  return TExpression::GetAsString();
}

double TConditional::GetAsFloat() {
  if (GetExprType() == ttFloat) return Chosen()->GetAsFloat();
  return TExpression::GetAsFloat();
}

int32_t TConditional::GetAsInteger() {
  if (GetExprType() == ttInteger) return Chosen()->GetAsInteger();
  return TExpression::GetAsInteger();
}

bool TConditional::GetAsBoolean() {
  if (GetExprType() == ttBoolean) return Chosen()->GetAsBoolean();
  return TExpression::GetAsBoolean();
}

bool TConditional::GetIsNull() { return TNodeRead(Chosen()).IsNull; }

// ---- ASCII, LEFT, RIGHT ----------------------------------------------------

TASCIIExpr::TASCIIExpr(TParameterListPtr params) : TFunction(std::move(params)) {
  if (ParameterCount() != 1 || GetParam(0)->GetExprType() != ttString) throw EExpression("ASCII: Incorrect argument");
}

int32_t TASCIIExpr::GetAsInteger() {
  const std::string s = GetParam(0)->GetAsString();
  return s.empty() ? 0 : static_cast<unsigned char>(s[0]);
}

std::string TLeftExpr::GetAsString() {
  const std::string s = GetParam(0)->GetAsString();
  return LeftText(s, GetParam(1)->GetAsInteger());
}

std::string TLeftExpr::GetMaxString() { return CutTo(GetParam(0)->GetMaxString(), LiteralCount(GetParam(1))); }

std::string TRightExpr::GetAsString() {
  const std::string s = GetParam(0)->GetAsString();
  return RightText(s, GetParam(1)->GetAsInteger());
}

std::string TRightExpr::GetMaxString() { return CutTo(GetParam(0)->GetMaxString(), LiteralCount(GetParam(1))); }

// ---- LIKE ------------------------------------------------------------------

void TLikeList::Delete(int32_t i) {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  items_.erase(items_.begin() + i);
}

TLikeItem& TLikeList::GetItem(int32_t i) {
  if (i < 0 || i >= GetCount()) throw EListError("List index out of bounds (%d)", {i});
  return items_[static_cast<size_t>(i)];
}

void TLikePattern::Compile(const std::string& pattern, int escape) {
  elems_.clear();
  LikeList.Clear();
  std::string run;
  bool anyWildcard = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(pattern[i]);
    if (escape >= 0 && c == escape) {
      // The escape character makes the next character literal; a trailing
      // escape stands for itself.
      if (i + 1 < pattern.size()) ++i;
      const unsigned char lit = static_cast<unsigned char>(pattern[i]);
      elems_.push_back(lit);
      run.push_back(static_cast<char>(lit));
      continue;
    }
    if (c == '%' || c == '_') {
      TLikeItem& item = LikeList.Add();
      item.LikeText = run;
      item.LikePos = anyWildcard ? lpMiddle : lpLeft;
      item.LikeCode = c == '%' ? lcMultiple : lcSingle;
      run.clear();
      anyWildcard = true;
      // Adjacent "%" are one run of any length.
      if (c == '%' && !elems_.empty() && elems_.back() == kAnyRun) continue;
      elems_.push_back(c == '%' ? kAnyRun : kAnyOne);
      continue;
    }
    elems_.push_back(c);
    run.push_back(static_cast<char>(c));
  }
  if (!anyWildcard) {
    TLikeItem& item = LikeList.Add();
    item.LikeText = run;
    item.LikePos = lpNone;
  } else if (!run.empty()) {
    TLikeItem& item = LikeList.Add();
    item.LikeText = run;
    item.LikePos = lpRight;
    item.LikeCode = lcMultiple;
  }
  FindShape();
}

void TLikePattern::FindShape() {
  // Literal bytes between at most one leading and one trailing "%".
  shape_ = TShape::General;
  literal_.clear();
  size_t from = 0, to = elems_.size();
  const bool lead = to > 0 && elems_[0] == kAnyRun;
  if (lead) ++from;
  const bool trail = to > from && elems_[to - 1] == kAnyRun;
  if (trail) --to;
  for (size_t i = from; i < to; ++i) {
    if (elems_[i] < 0) return;
    literal_.push_back(static_cast<char>(elems_[i]));
  }
  shape_ = lead ? (trail ? TShape::Contains : TShape::Suffix) : (trail ? TShape::Prefix : TShape::Exact);
}

bool TLikePattern::Matches(std::string_view value) const {
  switch (shape_) {
    case TShape::Exact: return value == literal_;
    case TShape::Prefix: return value.starts_with(literal_);
    case TShape::Suffix: return value.ends_with(literal_);
    case TShape::Contains: return value.find(literal_) != std::string_view::npos;
    case TShape::General: break;
  }
  return MatchesGeneral(value);
}

// Greedy matching: on a mismatch after a "%", the last "%" takes one more
// byte and the pattern resumes after it.  Each "%" run only ever moves
// forward, so the walk is O(value × pattern) at worst.
bool TLikePattern::MatchesGeneral(std::string_view value) const {
  const size_t n = value.size(), m = elems_.size();
  size_t v = 0, p = 0;
  size_t starP = SIZE_MAX, starV = 0;
  while (v < n) {
    if (p < m && elems_[p] == kAnyRun) {
      starP = p++;
      starV = v;
    } else if (p < m && (elems_[p] == kAnyOne || elems_[p] == static_cast<unsigned char>(value[v]))) {
      ++p;
      ++v;
    } else if (starP != SIZE_MAX) {
      p = starP + 1;
      v = ++starV;
    } else {
      return false;
    }
  }
  while (p < m && elems_[p] == kAnyRun) ++p;
  return p == m;
}

TSQLLikeExpr::TSQLLikeExpr(TParameterListPtr params, bool isNotLike)
    : TFunction(std::move(params)), IsNotLike(isNotLike) {
  // A missing pattern fails here, as a missing argument does elsewhere.
  TExpression* pattern = GetParam(1);
  // Literal patterns are compiled once; any other (a field, a parameter
  // that may follow a master record) when its text changes.
  PerRow = dynamic_cast<TStringLiteral*>(pattern) == nullptr ||
           (ParameterCount() >= 3 && dynamic_cast<TStringLiteral*>(GetParam(2)) == nullptr);
  if (!PerRow) CompileNow();
  FieldValue = dynamic_cast<TFieldExpr*>(GetParam(0));
}

void TSQLLikeExpr::CompileNow() {
  int escape = -1;
  if (ParameterCount() >= 3) {
    const std::string esc = GetParam(2)->GetAsString();
    if (!esc.empty()) escape = static_cast<unsigned char>(esc[0]);
  }
  std::string pattern = GetParam(1)->GetAsString();
  if (Compiled && escape == Escape && pattern == PatternText) return;
  Pattern.Compile(pattern, escape);
  PatternText = std::move(pattern);
  Escape = escape;
  Compiled = true;
}

bool TSQLLikeExpr::GetAsBoolean() {
  if (PerRow) CompileNow();
  std::string_view text;
  bool m;
  if (FieldValue && FieldValue->ReadText(FieldBuffer, text)) {
    m = Pattern.Matches(text);
  } else {
    const std::string value = GetParam(0)->GetAsString();
    m = Pattern.Matches(value);
  }
  return IsNotLike ? !m : m;
}

// ---- BETWEEN, IN -----------------------------------------------------------

bool TBetweenExpr::GetAsBoolean() {
  TExpression* x = GetParam(0);
  const TValue v(x->GetExprType(), x);
  const bool in = v.Compare(GetParam(1)) >= 0 && v.Compare(GetParam(2)) <= 0;
  return IsNotBetween ? !in : in;
}

bool TSQLInPredicateExpr::GetAsBoolean() {
  TExpression* x = GetParam(0);
  const TValue v(x->GetExprType(), x);
  bool found = false;
  for (int32_t i = 1; i < ParameterCount() && !found; ++i) found = v.Compare(GetParam(i)) == 0;
  return IsNotIn ? !found : found;
}

// ---- CASE ------------------------------------------------------------------

TCaseWhenElseExpr::TCaseWhenElseExpr(TParameterListPtr whenList, TParameterListPtr thenList, TExpressionPtr elseExpr)
    : TFunction(std::move(whenList)), ElseExpr(std::move(elseExpr)), ThenParams(std::move(thenList)) {}

void TCaseWhenElseExpr::Check() {
  const int32_t n = ParameterCount();
  for (int32_t i = 0; i < n; ++i)
    if (GetParam(i)->GetExprType() != ttBoolean) throw EExpression("Expression in Case must be boolean");
  const int32_t thens = ThenParams ? ThenParams->Count() : 0;
  if (thens == 0) return;
  const TExprType t = ThenParams->GetExprType(0);
  for (int32_t i = 1; i < thens; ++i)
    if (!ThenParams->GetParam(i)->CanReadAs(t))
      throw EExpression("Expressions in THEN section must be all of same type");
  if (ElseExpr && !ElseExpr->CanReadAs(t)) throw EExpression("Expressions in THEN section must be all of same type");
}

TExprType TCaseWhenElseExpr::GetExprType() {
  if (!ThenParams || ThenParams->Count() == 0) throw EListError("List index out of bounds (%d)", {0});
  return ThenParams->GetExprType(0);
}

TExpression* TCaseWhenElseExpr::Chosen() {
  Check();
  const int32_t n = std::min(ParameterCount(), ThenParams ? ThenParams->Count() : 0);
  for (int32_t i = 0; i < n; ++i)
    if (GetParam(i)->GetAsBoolean()) return ThenParams->GetParam(i);
  return ElseExpr.get();
}

bool TCaseWhenElseExpr::GetIsNull() { return TNodeRead(Chosen()).IsNull; }

TExpression* TCaseWhenElseExpr::GetCurrentNode() {
  TExpression* e = Chosen();
  return e ? e->GetCurrentNode() : nullptr;
}

std::string TCaseWhenElseExpr::GetMaxString() {
  if (GetExprType() != ttString) return TExpression::GetMaxString();
  Check();
  std::string widest;
  for (int32_t i = 0; i < ThenParams->Count(); ++i) widest = Longer(widest, ThenParams->GetParam(i)->GetMaxString());
  if (ElseExpr) widest = Longer(widest, ElseExpr->GetMaxString());
  return widest;
}

std::string TCaseWhenElseExpr::GetAsString() {
  TExpression* e = Chosen();
  return e ? e->GetAsString() : std::string();
}

double TCaseWhenElseExpr::GetAsFloat() {
  TExpression* e = Chosen();
  return e ? e->GetAsFloat() : 0;
}

int32_t TCaseWhenElseExpr::GetAsInteger() {
  TExpression* e = Chosen();
  return e ? e->GetAsInteger() : 0;
}

bool TCaseWhenElseExpr::GetAsBoolean() {
  TExpression* e = Chosen();
  return e ? e->GetAsBoolean() : false;
}

// ---- dates and formats -----------------------------------------------------

int32_t TDecodeDateTimeExpr::GetAsInteger() {
  const double d = GetParam(0)->GetAsFloat();
  int y = 0, mo = 0, da = 0, h = 0, mi = 0, s = 0, ms = 0;
  switch (DecodeKind) {
    case dkYear:
    case dkMonth:
    case dkDay: DecodeDate(d, y, mo, da); return DecodeKind == dkYear ? y : (DecodeKind == dkMonth ? mo : da);
    case dkWeek: return DayOfWeek(d);
    default:
      DecodeTime(d, h, mi, s, ms);
      return DecodeKind == dkHour ? h : (DecodeKind == dkMin ? mi : (DecodeKind == dkSec ? s : ms));
  }
}

std::string TFormatDateTimeExpr::GetAsString() {
  const std::string fmt = GetParam(0)->GetAsString();
  return FormatDateTime(fmt, GetParam(1)->GetAsFloat());
}

std::string TFormatDateTimeExpr::GetMaxString() { return std::string(kUnboundedTextLen, 'X'); }

std::string TFormatFloatExpr::GetAsString() {
  const std::string fmt = GetParam(0)->GetAsString();
  return FormatFloat(fmt, GetParam(1)->GetAsFloat());
}

std::string TFormatFloatExpr::GetMaxString() { return std::string(kUnboundedTextLen, 'X'); }

std::string TFormatExpr::GetAsString() {
  const std::string fmt = GetParam(0)->GetAsString();
  std::vector<Variant> args;
  const int32_t n = std::min<int32_t>(ParameterCount(), 21);
  for (int32_t i = 1; i < n; ++i) {
    TExpression* a = GetParam(i);
    switch (a->GetExprType()) {
      case ttString: args.emplace_back(CutTo(a->GetAsString(), 255)); break;
      case ttFloat: args.emplace_back(a->GetAsFloat()); break;
      case ttInteger: args.emplace_back(a->GetAsInteger()); break;
      case ttBoolean: args.emplace_back(a->GetAsBoolean()); break;
    }
  }
  return Format(fmt, args);
}

std::string TFormatExpr::GetMaxString() { return std::string(kUnboundedTextLen, 'X'); }

// ---- DECODE, MINOF, MAXOF --------------------------------------------------

TDecodeExpr::TDecodeExpr(TParameterListPtr params) : TFunction(std::move(params)) {
  const int32_t n = ParameterCount();
  if (n == 0 || n % 2 != 0) throw EExpression("DECODE: Incorrect number of arguments");
}

TExpression* TDecodeExpr::Chosen() {
  const int32_t n = ParameterCount();
  TExpression* x = GetParam(0);
  const TValue v(x->GetExprType(), x);
  for (int32_t i = 1; i < n - 1; i += 2)
    if (v.Compare(GetParam(i)) == 0) return GetParam(i + 1);
  return GetParam(n - 1);
}

bool TDecodeExpr::GetIsNull() { return TNodeRead(Chosen()).IsNull; }

std::string TDecodeExpr::GetMaxString() {
  if (GetExprType() != ttString) return TExpression::GetMaxString();
  const int32_t n = ParameterCount();
  std::string widest;
  for (int32_t i = 2; i < n - 1; i += 2) widest = Longer(widest, GetParam(i)->GetMaxString());
  return Longer(widest, GetParam(n - 1)->GetMaxString());
}

TMinMaxOfExpr::TMinMaxOfExpr(TParameterListPtr params, bool isMin) : TFunction(std::move(params)), IsMin(isMin) {
  if (ParameterCount() < 1) throw EExpression("MINOF, MAXOF: Incorrect number of arguments");
}

double TMinMaxOfExpr::GetAsFloat() {
  double v = GetParam(0)->GetAsFloat();
  for (int32_t i = 1; i < ParameterCount(); ++i) {
    const double x = GetParam(i)->GetAsFloat();
    v = IsMin ? std::min(v, x) : std::max(v, x);
  }
  return v;
}

double TNowExpr::GetAsFloat() { return Now(); }

// ---- SQLTRIM, ISNULL, ROUNDDEC ---------------------------------------------

std::string TSQLTrimExpr::GetAsString() {
  const std::string ch = GetParam(0)->GetAsString();
  std::string s = GetParam(1)->GetAsString();
  const int32_t mode = GetParam(2)->GetAsInteger();
  if (mode < 0 || mode > 2) return std::string();
  if (ch.empty()) return s;
  const char c = ch[0];
  size_t b = 0, e = s.size();
  if (mode == 0 || mode == 2)
    while (b < e && s[b] == c) ++b;
  if (mode == 1 || mode == 2)
    while (e > b && s[e - 1] == c) --e;
  return s.substr(b, e - b);
}

std::string TSQLTrimExpr::GetMaxString() { return GetParam(1)->GetMaxString(); }

bool TISNULLExpr::GetAsBoolean() {
  const bool isNull = GetParam(0)->GetIsNull();
  return GetParam(1)->GetAsBoolean() ? isNull : !isNull;
}

double TRoundDecExpr::GetAsFloat() {
  const long double x = GetParam(0)->GetAsFloat();
  const int32_t n = GetParam(1)->GetAsInteger();
  if (n == 0) return CheckedFloat(IsRound ? std::round(x) : std::trunc(x));  // round: halves away from zero
  const long double scale = std::pow(10.0L, static_cast<long double>(n));
  const long double scaled = x * scale;
  if (!std::isfinite(scaled) || scale == 0) throw EOverflow("Floating point overflow");
  const long double whole = IsRound ? std::trunc(scaled + (scaled < 0 ? -0.5L : 0.5L)) : std::trunc(scaled);
  return CheckedFloat(whole / scale);
}

// ---- lookup by name --------------------------------------------------------

TExpressionPtr CreateBuiltinFunction(const std::string& name, TParameterListPtr& params) {
  struct StringEntry {
    const char* name;
    TSF f;
  };
  static constexpr StringEntry kStrings[] = {
      {"LTRIM", sfLTrim}, {"RTRIM", sfRTrim},    {"TRIM", sfTrim}, {"UPPER", sfUpper},   {"LOWER", sfLower},
      {"COPY", sfCopy},   {"SUBSTRING", sfCopy}, {"POS", sfPos},   {"CHARINDEX", sfPos}, {"LENGTH", sfLength}};
  struct MathEntry {
    const char* name;
    TMF f;
  };
  static constexpr MathEntry kMath[] = {{"TRUNC", mfTrunc}, {"ROUND", mfRound}, {"ABS", mfAbs}, {"ARCTAN", mfArcTan},
                                        {"COS", mfCos},     {"SIN", mfSin},     {"EXP", mfExp}, {"FRAC", mfFrac},
                                        {"INT", mfInt},     {"LN", mfLn},       {"PI", mfPi},   {"SQR", mfSqr},
                                        {"SQRT", mfSqrt},   {"POWER", mfPower}};
  struct DecodeEntry {
    const char* name;
    TDecodeKind k;
  };
  static constexpr DecodeEntry kDecode[] = {{"YEAR", dkYear}, {"MONTH", dkMonth}, {"DAY", dkDay},  {"HOUR", dkHour},
                                            {"MIN", dkMin},   {"SEC", dkSec},     {"MSEC", dkMSec}};
  if (name == "NULL") return std::make_unique<TNULLValueExpr>(std::move(params));
  for (const auto& e : kStrings)
    if (name == e.name) return std::make_unique<TStringExpression>(std::move(params), e.f);
  for (const auto& e : kMath)
    if (name == e.name) return std::make_unique<TMathExpression>(std::move(params), e.f);
  for (const auto& e : kDecode)
    if (name == e.name) return std::make_unique<TDecodeDateTimeExpr>(std::move(params), e.k);
  if (name == "LEFT") return std::make_unique<TLeftExpr>(std::move(params));
  if (name == "RIGHT") return std::make_unique<TRightExpr>(std::move(params));
  if (name == "FORMATDATETIME") return std::make_unique<TFormatDateTimeExpr>(std::move(params));
  if (name == "FORMATFLOAT") return std::make_unique<TFormatFloatExpr>(std::move(params));
  if (name == "FORMAT") return std::make_unique<TFormatExpr>(std::move(params));
  if (name == "DECODE") return std::make_unique<TDecodeExpr>(std::move(params));
  if (name == "MINOF") return std::make_unique<TMinMaxOfExpr>(std::move(params), true);
  if (name == "MAXOF") return std::make_unique<TMinMaxOfExpr>(std::move(params), false);
  if (name == "SQLLIKE") return std::make_unique<TSQLLikeExpr>(std::move(params), false);
  if (name == "SQLNOTLIKE") return std::make_unique<TSQLLikeExpr>(std::move(params), true);
  if (name == "ASCII") return std::make_unique<TASCIIExpr>(std::move(params));
  return nullptr;
}
