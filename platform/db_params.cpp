#include "platform/db_params.h"

#include "platform/db.h"
#include "platform/text.h"

// ---- TParam -----------------------------------------------------------------

void TParam::SetDataType(TFieldType t) { dataType_ = t; }

void TParam::Clear() {
  value_ = Variant::Null();
  bound_ = false;
}

void TParam::SetTyped(TFieldType t, Variant v) {
  dataType_ = t;
  value_ = std::move(v);
  bound_ = true;
}

void TParam::SetValue(const Variant& v) {
  value_ = v;
  bound_ = !v.IsEmpty();
  if (dataType_ == ftUnknown) {
    switch (v.Type()) {
      case VarType::Boolean: dataType_ = ftBoolean; break;
      case VarType::Integer: dataType_ = ftInteger; break;
      case VarType::Int64: dataType_ = ftLargeint; break;
      case VarType::Double: dataType_ = ftFloat; break;
      case VarType::String: dataType_ = ftString; break;
      case VarType::Date: dataType_ = ftDateTime; break;
      default: break;
    }
  }
}

std::string TParam::AsString() const { return VarToStr(value_); }
int32_t TParam::AsInteger() const { return value_.IsClear() ? 0 : value_.AsInteger(); }
double TParam::AsFloat() const { return value_.IsClear() ? 0 : value_.AsDouble(); }
bool TParam::AsBoolean() const { return value_.IsClear() ? false : value_.AsBoolean(); }
double TParam::AsDateTime() const { return value_.IsClear() ? 0 : value_.AsDateTime(); }

void TParam::SetAsString(const std::string& v) { SetTyped(ftString, Variant(v)); }
void TParam::SetAsInteger(int32_t v) { SetTyped(ftInteger, Variant(v)); }
void TParam::SetAsSmallInt(int32_t v) { SetTyped(ftSmallint, Variant(v)); }
void TParam::SetAsWord(int32_t v) { SetTyped(ftWord, Variant(v)); }
void TParam::SetAsFloat(double v) { SetTyped(ftFloat, Variant(v)); }
void TParam::SetAsCurrency(double v) { SetTyped(ftCurrency, Variant(v)); }
void TParam::SetAsBoolean(bool v) { SetTyped(ftBoolean, Variant(v)); }
void TParam::SetAsDate(double v) { SetTyped(ftDate, Variant::DateTime(v)); }
void TParam::SetAsTime(double v) { SetTyped(ftTime, Variant::DateTime(v)); }
void TParam::SetAsDateTime(double v) { SetTyped(ftDateTime, Variant::DateTime(v)); }
void TParam::SetAsMemo(const std::string& v) { SetTyped(ftMemo, Variant(v)); }
void TParam::SetAsBlob(const std::string& v) { SetTyped(ftBlob, Variant(v)); }

void TParam::AssignField(const TField* field) {
  if (field == nullptr) return;
  AssignFieldValue(field, field->Value());
  if (name_.empty()) name_ = field->FieldName();
}

void TParam::AssignFieldValue(const TField* field, const Variant& value) {
  if (field == nullptr) return;
  TFieldType t = field->DataType();
  if (t == ftAutoInc) t = ftInteger;
  dataType_ = t;
  if (value.IsClear()) {
    value_ = Variant::Null();
    bound_ = true;
  } else {
    value_ = value;
    bound_ = true;
  }
}

void TParam::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TParam*>(source);
  if (other == nullptr) {
    TCollectionItem::Assign(source);
    return;
  }
  name_ = other->name_;
  dataType_ = other->dataType_;
  ParamType = other->ParamType;
  value_ = other->value_;
  bound_ = other->bound_;
}

// ---- TParams ----------------------------------------------------------------

TParam* TParams::CreateParam(TFieldType type, const std::string& name, TParamType param_type) {
  TParam* p = AddParam();
  p->SetName(name);
  p->SetDataType(type);
  p->ParamType = param_type;
  return p;
}

TParam* TParams::FindParam(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Name(), name)) return Items(i);
  return nullptr;
}

TParam* TParams::ParamByName(const std::string& name) const {
  TParam* p = FindParam(name);
  if (p == nullptr) DatabaseErrorFmt(dbmsg::ParameterNotFound, {name});
  return p;
}

void TParams::AssignValues(const TParams& source) {
  for (int i = 0; i < Count(); ++i) {
    TParam* mine = Items(i);
    TParam* theirs = source.FindParam(mine->Name());
    if (theirs != nullptr && theirs != mine) mine->Assign(theirs);
  }
}

bool TParams::IsEqual(const TParams& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i) {
    const TParam* a = Items(i);
    const TParam* b = other.Items(i);
    if (a->Name() != b->Name() || a->DataType() != b->DataType() || a->ParamType != b->ParamType ||
        a->Bound() != b->Bound() || !a->Value().SameAs(b->Value()))
      return false;
  }
  return true;
}

namespace {

bool IsLiteralChar(char c) { return c == '\'' || c == '"' || c == '`'; }
bool IsNameDelimiter(char c) {
  return c == ' ' || c == ',' || c == ';' || c == ')' || c == '\r' || c == '\n' || c == '\t';
}

}  // namespace

std::string TParams::ParseSQL(const std::string& sql, bool do_create, std::vector<std::string>* names) {
  std::string out;
  out.reserve(sql.size());
  if (do_create) Clear();
  bool literal = false;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (c == ':' && !literal && (i + 1 >= sql.size() || sql[i + 1] != ':')) {
      // A parameter: up to the next delimiter outside quotes.
      size_t start = i + 1, j = start;
      bool in_quote = false;
      bool quoted_name = j < sql.size() && IsLiteralChar(sql[j]);
      while (j < sql.size() && (in_quote || !IsNameDelimiter(sql[j]))) {
        if (IsLiteralChar(sql[j])) in_quote = !in_quote;
        ++j;
      }
      std::string name = sql.substr(start, j - start);
      if (quoted_name && name.size() >= 2 && IsLiteralChar(name.back())) name = name.substr(1, name.size() - 2);
      else if (quoted_name && !name.empty()) name = name.substr(1);
      if (names != nullptr) names->push_back(name);
      if (do_create && FindParam(name) == nullptr) CreateParam(ftUnknown, name, ptUnknown);
      out += '?';
      i = j;
      continue;
    }
    if (c == ':' && !literal) {
      out += ':';  // "::" is one literal colon
      i += 2;
      continue;
    }
    if (IsLiteralChar(c)) literal = !literal;
    out += c;
    ++i;
  }
  return out;
}

Variant TParams::ParamValues(const std::string& names) const {
  if (names.find(';') == std::string::npos) return ParamByName(names)->Value();
  std::vector<Variant> values;
  size_t pos = 0;
  for (;;) {
    size_t semi = names.find(';', pos);
    std::string n = names.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
    if (!n.empty()) values.push_back(ParamByName(n)->Value());
    if (semi == std::string::npos) break;
    pos = semi + 1;
  }
  return Variant::ArrayOf(std::move(values));
}

void TParams::SetParamValues(const std::string& names, const Variant& values) {
  if (names.find(';') == std::string::npos) {
    ParamByName(names)->SetValue(values);
    return;
  }
  size_t pos = 0, k = 0;
  for (;;) {
    size_t semi = names.find(';', pos);
    std::string n = names.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
    if (!n.empty()) ParamByName(n)->SetValue(values[k++]);
    if (semi == std::string::npos) break;
    pos = semi + 1;
  }
}
