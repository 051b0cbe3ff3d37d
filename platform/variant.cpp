// Variant values: storage, conversions, comparison and arithmetic.
#include "platform/variant.h"

#include <cmath>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

const char* TypeName(VarType t) {
  switch (t) {
    case VarType::Empty: return "(Empty)";
    case VarType::Null: return "(Null)";
    case VarType::Boolean: return "Boolean";
    case VarType::Integer: return "Integer";
    case VarType::Int64: return "Int64";
    case VarType::Double: return "Double";
    case VarType::String: return "String";
    case VarType::Date: return "Date";
    case VarType::Array: return "Array";
  }
  return "Unknown";
}

[[noreturn]] void CastError(VarType from, VarType to) {
  throw EInvalidCast("Could not convert variant of type (%s) into type (%s)", {TypeName(from), TypeName(to)});
}

[[noreturn]] void TextError(VarType to) {
  throw EConvertError("Could not convert variant of type (%s) into type (%s)",
                      {TypeName(VarType::String), TypeName(to)});
}

bool IsIntegral(VarType t) { return t == VarType::Boolean || t == VarType::Integer || t == VarType::Int64; }

}  // namespace

Variant::Variant(bool b) : type_(VarType::Boolean), b_(b) {}
Variant::Variant(int32_t n) : type_(VarType::Integer), i_(n) {}
Variant::Variant(int64_t n) : type_(VarType::Int64), i_(n) {}
Variant::Variant(double x) : type_(VarType::Double), d_(x) {}
Variant::Variant(long double x) : type_(VarType::Double), d_(static_cast<double>(x)) {}
Variant::Variant(const std::string& s) : type_(VarType::String), s_(s) {}
Variant::Variant(std::string&& s) : type_(VarType::String), s_(std::move(s)) {}
Variant::Variant(const char* s) : type_(VarType::String), s_(s ? s : "") {}
Variant::Variant(std::string_view s) : type_(VarType::String), s_(s) {}

Variant::Variant(const Variant& other) : type_(other.type_), b_(other.b_), i_(other.i_), d_(other.d_), s_(other.s_) {
  if (other.items_) items_ = std::make_unique<std::vector<Variant>>(*other.items_);
}

Variant::Variant(Variant&& other) noexcept
    : type_(other.type_),
      b_(other.b_),
      i_(other.i_),
      d_(other.d_),
      s_(std::move(other.s_)),
      items_(std::move(other.items_)) {
  other.type_ = VarType::Empty;
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    type_ = other.type_;
    b_ = other.b_;
    i_ = other.i_;
    d_ = other.d_;
    s_ = std::move(other.s_);
    items_ = std::move(other.items_);
    other.type_ = VarType::Empty;
  }
  return *this;
}

Variant::~Variant() = default;

Variant Variant::Null() {
  Variant v;
  v.type_ = VarType::Null;
  return v;
}

Variant Variant::DateTime(double dt) {
  Variant v;
  v.type_ = VarType::Date;
  v.d_ = dt;
  return v;
}

Variant Variant::ArrayOf(std::vector<Variant> items) {
  Variant v;
  v.type_ = VarType::Array;
  v.items_ = std::make_unique<std::vector<Variant>>(std::move(items));
  return v;
}

Variant Variant::ArrayOf(std::initializer_list<Variant> items) { return ArrayOf(std::vector<Variant>(items)); }

bool Variant::IsNumeric() const {
  return type_ == VarType::Integer || type_ == VarType::Int64 || type_ == VarType::Double;
}

bool Variant::IsOrdinal() const { return IsIntegral(type_); }

bool Variant::AsBoolean() const {
  switch (type_) {
    case VarType::Empty: return false;
    case VarType::Boolean: return b_;
    case VarType::Integer:
    case VarType::Int64: return i_ != 0;
    case VarType::Double:
    case VarType::Date: return d_ != 0;
    case VarType::String: {
      if (SameText(s_, "True")) return true;
      if (SameText(s_, "False")) return false;
      long double x;
      if (TryStrToFloat(s_, x)) return x != 0;
      TextError(VarType::Boolean);
    }
    default: CastError(type_, VarType::Boolean);
  }
}

int64_t Variant::AsInt64() const {
  switch (type_) {
    case VarType::Empty: return 0;
    case VarType::Boolean: return b_ ? -1 : 0;
    case VarType::Integer:
    case VarType::Int64: return i_;
    case VarType::Double:
    case VarType::Date: return RoundToInt64(d_);
    case VarType::String: {
      int64_t n;
      if (TryStrToInt64(s_, n)) return n;
      long double x;
      if (TryStrToFloat(s_, x)) return RoundToInt64(x);
      TextError(VarType::Int64);
    }
    default: CastError(type_, VarType::Int64);
  }
}

int32_t Variant::AsInteger() const {
  if (type_ == VarType::String) {
    int32_t n;
    if (TryStrToInt(s_, n)) return n;
    long double x;
    if (TryStrToFloat(s_, x)) return RoundToInt32(x);
    TextError(VarType::Integer);
  }
  if (type_ == VarType::Null || type_ == VarType::Array) CastError(type_, VarType::Integer);
  return RangeChecked32(AsInt64());
}

double Variant::AsDouble() const {
  switch (type_) {
    case VarType::Empty: return 0;
    case VarType::Boolean: return b_ ? -1 : 0;
    case VarType::Integer:
    case VarType::Int64: return static_cast<double>(i_);
    case VarType::Double:
    case VarType::Date: return d_;
    case VarType::String: {
      double x;
      if (TryStrToFloat(s_, x)) return x;
      TextError(VarType::Double);
    }
    default: CastError(type_, VarType::Double);
  }
}

double Variant::AsDateTime() const {
  if (type_ == VarType::String) {
    TDateTime dt;
    if (TryStrToDateTime(s_, dt)) return dt;
    TextError(VarType::Date);
  }
  if (type_ == VarType::Null || type_ == VarType::Array) CastError(type_, VarType::Date);
  return AsDouble();
}

std::string Variant::AsString() const {
  switch (type_) {
    case VarType::Empty: return {};
    case VarType::Boolean: return b_ ? "True" : "False";
    case VarType::Integer:
    case VarType::Int64: return IntToStr(i_);
    case VarType::Double: return FloatToStr(d_);
    case VarType::Date: return DateTimeToStr(d_);
    case VarType::String: return s_;
    default: CastError(type_, VarType::String);
  }
}

Variant Variant::ChangeType(VarType to) const {
  if (to == type_) return *this;
  switch (to) {
    case VarType::Empty: return Variant();
    case VarType::Null: return Null();
    case VarType::Boolean: return Variant(AsBoolean());
    case VarType::Integer: return Variant(AsInteger());
    case VarType::Int64: return Variant(AsInt64());
    case VarType::Double: return Variant(AsDouble());
    case VarType::Date: return DateTime(AsDateTime());
    case VarType::String: return Variant(AsString());
    case VarType::Array: CastError(type_, to);
  }
  CastError(type_, to);
}

size_t Variant::ArrayCount() const { return Items().size(); }

const std::vector<Variant>& Variant::Items() const {
  if (type_ != VarType::Array || !items_) CastError(type_, VarType::Array);
  return *items_;
}

const Variant& Variant::operator[](size_t i) const {
  const std::vector<Variant>& items = Items();
  if (i >= items.size()) throw EListError("List index out of bounds (%d)", {i});
  return items[i];
}

Variant& Variant::operator[](size_t i) {
  if (type_ != VarType::Array || !items_) CastError(type_, VarType::Array);
  if (i >= items_->size()) throw EListError("List index out of bounds (%d)", {i});
  return (*items_)[i];
}

void Variant::Clear() {
  type_ = VarType::Empty;
  b_ = false;
  i_ = 0;
  d_ = 0;
  s_.clear();
  items_.reset();
}

bool Variant::SameAs(const Variant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case VarType::Empty:
    case VarType::Null: return true;
    case VarType::Boolean: return b_ == other.b_;
    case VarType::Integer:
    case VarType::Int64: return i_ == other.i_;
    case VarType::Double:
    case VarType::Date: return d_ == other.d_ || (std::isnan(d_) && std::isnan(other.d_));
    case VarType::String: return s_ == other.s_;
    case VarType::Array: {
      const auto& a = *items_;
      const auto& b = *other.items_;
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!a[i].SameAs(b[i])) return false;
      return true;
    }
  }
  return false;
}

std::string VarToStr(const Variant& v) { return v.IsClear() ? std::string() : v.AsString(); }

std::string VarToStrDef(const Variant& v, const std::string& if_null) { return v.IsClear() ? if_null : v.AsString(); }

Variant VarArrayOf(std::initializer_list<Variant> items) { return Variant::ArrayOf(items); }

namespace {

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

int VarCompare(const Variant& a, const Variant& b) {
  if (a.IsClear() || b.IsClear()) {
    if (a.IsClear() && b.IsClear()) return 0;
    return a.IsClear() ? -1 : 1;
  }
  if (a.IsArray() || b.IsArray()) {
    if (!a.IsArray()) CastError(a.Type(), VarType::Array);
    if (!b.IsArray()) CastError(b.Type(), VarType::Array);
    const auto& x = a.Items();
    const auto& y = b.Items();
    for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
      int c = VarCompare(x[i], y[i]);
      if (c != 0) return c;
    }
    return Sign(x.size(), y.size());
  }
  if (a.IsString() && b.IsString()) {
    int c = AnsiCompareStr(a.AsString(), b.AsString());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  // false before true (as numbers true would be -1)
  if (a.Type() == VarType::Boolean && b.Type() == VarType::Boolean) return Sign(a.AsBoolean(), b.AsBoolean());
  if (IsIntegral(a.Type()) && IsIntegral(b.Type())) return Sign(a.AsInt64(), b.AsInt64());
  // a text meeting a number is read as a number
  return Sign(a.AsDouble(), b.AsDouble());
}

namespace {

enum class Op { Add, Sub, Mul };

Variant Arith(const Variant& a, const Variant& b, Op op) {
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  if (a.IsArray()) CastError(a.Type(), VarType::Double);
  if (b.IsArray()) CastError(b.Type(), VarType::Double);
  VarType ta = a.Type(), tb = b.Type();
  if (op == Op::Add && (ta == VarType::String || ta == VarType::Empty) &&
      (tb == VarType::String || tb == VarType::Empty) && !(ta == VarType::Empty && tb == VarType::Empty))
    return Variant(a.AsString() + b.AsString());
  if (IsIntegral(ta) && IsIntegral(tb)) {
    int64_t x = a.AsInt64(), y = b.AsInt64();
    int64_t r = op == Op::Add ? CheckedAdd64(x, y) : op == Op::Sub ? CheckedSub64(x, y) : CheckedMul64(x, y);
    bool wide = ta == VarType::Int64 || tb == VarType::Int64;
    if (!wide && r >= INT32_MIN && r <= INT32_MAX) return Variant(static_cast<int32_t>(r));
    return Variant(r);
  }
  if ((ta == VarType::Empty && IsIntegral(tb)) || (tb == VarType::Empty && IsIntegral(ta))) {
    int64_t x = a.AsInt64(), y = b.AsInt64();
    int64_t r = op == Op::Add ? CheckedAdd64(x, y) : op == Op::Sub ? CheckedSub64(x, y) : CheckedMul64(x, y);
    if (r >= INT32_MIN && r <= INT32_MAX && ta != VarType::Int64 && tb != VarType::Int64)
      return Variant(static_cast<int32_t>(r));
    return Variant(r);
  }
  double x = a.AsDouble(), y = b.AsDouble();
  double r = op == Op::Add ? x + y : op == Op::Sub ? x - y : x * y;
  bool date_a = ta == VarType::Date, date_b = tb == VarType::Date;
  // a date moved by a number stays a date; the distance of two dates is a number
  if (op != Op::Mul && (date_a != date_b) && (date_a || op == Op::Add)) return Variant::DateTime(r);
  return Variant(r);
}

}  // namespace

Variant VarAdd(const Variant& a, const Variant& b) { return Arith(a, b, Op::Add); }
Variant VarSub(const Variant& a, const Variant& b) { return Arith(a, b, Op::Sub); }
Variant VarMul(const Variant& a, const Variant& b) { return Arith(a, b, Op::Mul); }

Variant VarDiv(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  double x = a.AsDouble(), y = b.AsDouble();
  if (y == 0) {
    if (x == 0 || std::isnan(x)) throw EInvalidOp("Invalid floating point operation");
    throw EZeroDivide("Floating point division by zero");
  }
  return Variant(x / y);
}

Variant VarIntDiv(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  int64_t r = CheckedDiv64(a.AsInt64(), b.AsInt64());
  if (r >= INT32_MIN && r <= INT32_MAX && a.Type() != VarType::Int64 && b.Type() != VarType::Int64)
    return Variant(static_cast<int32_t>(r));
  return Variant(r);
}

Variant VarMod(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  int64_t r = CheckedMod64(a.AsInt64(), b.AsInt64());
  if (a.Type() != VarType::Int64 && b.Type() != VarType::Int64) return Variant(static_cast<int32_t>(r));
  return Variant(r);
}

Variant VarNeg(const Variant& a) {
  switch (a.Type()) {
    case VarType::Null: return Variant::Null();
    case VarType::Empty: return Variant(0);
    case VarType::Boolean:
    case VarType::Integer: {
      int64_t r = CheckedSub64(0, a.AsInt64());
      if (r >= INT32_MIN && r <= INT32_MAX) return Variant(static_cast<int32_t>(r));
      return Variant(r);
    }
    case VarType::Int64: return Variant(CheckedSub64(0, a.AsInt64()));
    case VarType::Date: return Variant::DateTime(-a.AsDouble());
    default: return Variant(-a.AsDouble());
  }
}

Variant VarNot(const Variant& a) {
  switch (a.Type()) {
    case VarType::Null: return Variant::Null();
    case VarType::Empty: return Variant(-1);
    case VarType::Integer: return Variant(static_cast<int32_t>(~a.AsInt64()));
    case VarType::Int64: return Variant(~a.AsInt64());
    default: return Variant(!a.AsBoolean());
  }
}
