// The class library's variant value, as the engines use it.
//
// A `Variant` holds one of: unassigned (the state of a fresh variant), null,
// a boolean, a 32-bit or 64-bit integer, a double, a CP1251 text, a date-time
// (days since 1899-12-30 plus the time as a fraction) or an array of
// variants.  Values convert between kinds as the class library converts them:
// numbers and dates print under the process format settings
// (platform/numbers.h), texts are read back under the same settings, a double
// becomes an integer by rounding half to even.  A conversion the kinds do not
// allow (null or an array to a number or text, a text to an array) raises
// EInvalidCast; a text that does not spell the wanted number, boolean or date
// raises EConvertError; an integer that does not fit raises ERangeError.
//
// Unassigned reads as an empty text, 0 and false; null refuses every
// conversion (use `VarToStr` or the `IsNull` test first).  As a number a
// boolean true is -1 (the class library's convention), as a text "True";
// the texts "True"/"False" (any case) and numbers read back as booleans.
//
// Comparison (`VarCompare`) orders numbers numerically (integers, doubles,
// dates and booleans mix; two booleans order false before true), texts by
// the locale's case-sensitive order, a text against a number by the text's
// number, and unassigned/null below every other value (two nulls are equal).  Arithmetic (`VarAdd` ...) follows the
// class library: integer operations stay integral and raise EIntOverflow
// instead of wrapping, `/` always gives a double, "+" on two texts
// concatenates, a date plus a number stays a date.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class VarType : uint8_t {
  Empty,  // unassigned
  Null,   // the null value
  Boolean,
  Integer,  // 32-bit signed
  Int64,    // 64-bit signed
  Double,
  String,  // CP1251 bytes
  Date,    // date-time number
  Array,   // array of variants
};

// The relation `VarCompare` reports.
enum class VarRelation : int8_t { LessThan = -1, Equal = 0, GreaterThan = 1 };

class Variant {
public:
  Variant() = default;  // unassigned
  Variant(bool b);
  Variant(int32_t n);
  Variant(int64_t n);
  Variant(double x);
  Variant(long double x);  // kept as a double
  Variant(const std::string& s);
  Variant(std::string&& s);
  Variant(const char* s);  // null pointer gives the empty text
  Variant(std::string_view s);
  // The remaining integer types, so that no call is ambiguous.
  Variant(long long n) : Variant(static_cast<int64_t>(n)) {}
  Variant(unsigned n) : Variant(static_cast<int64_t>(n)) {}
  Variant(unsigned long n) : Variant(static_cast<int64_t>(n)) {}

  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  static Variant Null();
  static Variant Unassigned() { return Variant(); }
  static Variant DateTime(double dt);
  static Variant ArrayOf(std::vector<Variant> items);
  static Variant ArrayOf(std::initializer_list<Variant> items);

  VarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == VarType::Empty; }  // unassigned
  bool IsNull() const { return type_ == VarType::Null; }
  bool IsClear() const { return IsEmpty() || IsNull(); }  // no value at all
  bool IsArray() const { return type_ == VarType::Array; }
  bool IsNumeric() const;  // Integer, Int64, Double
  bool IsOrdinal() const;  // Boolean, Integer, Int64
  bool IsString() const { return type_ == VarType::String; }

  // Conversions; see the header paragraph for what raises.
  bool AsBoolean() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  double AsDouble() const;
  double AsDateTime() const;  // texts are read as date(-time) texts
  std::string AsString() const;

  // The value converted to another kind (raising as the As... calls).
  // Converting to Empty or Null gives that state.
  Variant ChangeType(VarType to) const;

  // Array access; EInvalidCast when not an array, EListError on a bad index.
  size_t ArrayCount() const;
  const Variant& operator[](size_t i) const;
  Variant& operator[](size_t i);
  const std::vector<Variant>& Items() const;

  void Clear();  // back to unassigned

  // Exact equality of kind and value (arrays element by element).  Used by
  // containers and tests; the class library's "=" is `VarCompare`.
  bool SameAs(const Variant& other) const;

private:
  VarType type_ = VarType::Empty;
  bool b_ = false;
  int64_t i_ = 0;  // Integer and Int64
  double d_ = 0;   // Double and Date
  std::string s_;
  std::unique_ptr<std::vector<Variant>> items_;
};

// The class library's helpers, by their familiar names.
inline bool VarIsNull(const Variant& v) { return v.IsNull(); }
inline bool VarIsEmpty(const Variant& v) { return v.IsEmpty(); }
inline bool VarIsClear(const Variant& v) { return v.IsClear(); }
inline bool VarIsArray(const Variant& v) { return v.IsArray(); }
// Text of the value; unassigned and null give the empty text.
std::string VarToStr(const Variant& v);
// Text of the value, or `if_null` for unassigned and null.
std::string VarToStrDef(const Variant& v, const std::string& if_null);
Variant VarArrayOf(std::initializer_list<Variant> items);

// -1, 0 or 1.  Raises EConvertError when a text must be read as a number and
// does not spell one, EInvalidCast when an array meets a non-array.
int VarCompare(const Variant& a, const Variant& b);
inline bool VarEquals(const Variant& a, const Variant& b) { return VarCompare(a, b) == 0; }

// Arithmetic on variant values; any null operand gives null.
Variant VarAdd(const Variant& a, const Variant& b);
Variant VarSub(const Variant& a, const Variant& b);
Variant VarMul(const Variant& a, const Variant& b);
Variant VarDiv(const Variant& a, const Variant& b);     // always a double; EZeroDivide on x/0
Variant VarIntDiv(const Variant& a, const Variant& b);  // "div"; EDivByZero
Variant VarMod(const Variant& a, const Variant& b);     // "mod"; EDivByZero
Variant VarNeg(const Variant& a);
Variant VarNot(const Variant& a);  // boolean not, or bitwise not of an integer
