// Statement parameters: named, typed values that a query puts into its text.
//
// `TParams::ParseSQL` finds the ":name" parameters of a statement text and
// returns the text with each replaced by "?": a name runs from the colon to
// a blank, ",", ";", ")" or a line break; a name may be quoted (:"my name");
// "::" stands for one literal colon; nothing inside quotes is a parameter.
// With creation on, the list is rebuilt with one parameter per distinct name
// in order of first use; `names` (when given) receives every occurrence in
// order, repeats included, matching the "?" marks one for one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/classes.h"
#include "platform/db_common.h"
#include "platform/variant.h"

class TField;

enum TParamType { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam : public TCollectionItem {
public:
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType t);
  TParamType ParamType = ptUnknown;
  // Set by every value assignment, cleared by Clear; the query uses it to
  // tell parameters given by the application from those it fills itself.
  bool Bound() const { return bound_; }
  void SetBound(bool on) { bound_ = on; }
  bool IsNull() const { return value_.IsClear(); }
  void Clear();

  const Variant& Value() const { return value_; }
  // Stores the value; an unknown data type is taken from the value's kind.
  void SetValue(const Variant& v);

  std::string AsString() const;
  int32_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;
  double AsDateTime() const;
  void SetAsString(const std::string& v);
  void SetAsInteger(int32_t v);
  void SetAsSmallInt(int32_t v);
  void SetAsWord(int32_t v);
  void SetAsFloat(double v);
  void SetAsCurrency(double v);
  void SetAsBoolean(bool v);
  void SetAsDate(double v);
  void SetAsTime(double v);
  void SetAsDateTime(double v);
  void SetAsMemo(const std::string& v);
  void SetAsBlob(const std::string& v);

  // Takes the field's type and value (and, when unnamed, its name).
  void AssignField(const TField* field);
  void AssignFieldValue(const TField* field, const Variant& value);
  void Assign(const TPersistent* source) override;
  std::string GetDisplayName() const override { return name_; }

private:
  void SetTyped(TFieldType t, Variant v);
  std::string name_;
  TFieldType dataType_ = ftUnknown;
  Variant value_ = Variant::Null();
  bool bound_ = false;
};

class TParams : public TOwnedCollection {
public:
  explicit TParams(TPersistent* owner = nullptr) : TOwnedCollection(owner) {}
  TParam* Items(int i) const { return static_cast<TParam*>(TCollection::Items(i)); }
  TParam* AddParam() { return static_cast<TParam*>(Add()); }
  TParam* CreateParam(TFieldType type, const std::string& name, TParamType param_type);
  // Case-insensitive (ASCII) lookups; ParamByName raises
  // "Parameter '%s' not found".
  TParam* FindParam(const std::string& name) const;
  TParam* ParamByName(const std::string& name) const;
  // For every parameter here, the values of the same-named one of `source`.
  void AssignValues(const TParams& source);
  bool IsEqual(const TParams& other) const;
  std::string ParseSQL(const std::string& sql, bool do_create, std::vector<std::string>* names = nullptr);
  // Values of one or more parameters, names separated by ";".
  Variant ParamValues(const std::string& names) const;
  void SetParamValues(const std::string& names, const Variant& values);

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TParam>(); }
};
