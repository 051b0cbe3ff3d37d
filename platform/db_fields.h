// Fields of a dataset: typed views of one value of the active record.
//
// A `TField` reads and writes its value through its dataset's
// GetFieldData/SetFieldData in the native buffer form of its type (see
// platform/db_common.h); the dataset decides which record buffer that is.
// Data fields carry the number of the dataset's field they show (`FieldNo`,
// from the field definitions); calculated and lookup fields live in the
// calculated-fields part of each record buffer at `Offset`, one flag byte
// followed by the native value, and have FieldNo -1.
//
// Text is handed through as bytes: string fields do not translate code pages
// on read or write (a dataset that must translate does it once itself).
//
// The subclasses are made by type with `DefaultFieldClass` when a dataset
// creates its default fields from its field definitions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/classes.h"
#include "platform/component.h"
#include "platform/db_common.h"
#include "platform/name_index.h"
#include "platform/variant.h"

class TDataSet;
class TField;

using TFieldNotifyEvent = std::function<void(TField* sender)>;
using TFieldGetTextEvent = std::function<void(TField* sender, std::string& text, bool display_text)>;
using TFieldSetTextEvent = std::function<void(TField* sender, const std::string& text)>;

class TField : public TComponent {
public:
  explicit TField(TComponent* owner = nullptr);
  ~TField() override;

  TDataSet* DataSet() const { return dataset_; }
  // Attaches the field to a dataset (appending it to the dataset's fields)
  // or detaches it (none).  Only while the dataset is closed.
  void SetDataSet(TDataSet* dataset);

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name);
  // The display label, or the field name when there is none.
  std::string DisplayName() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }
  std::string DisplayLabel() const { return DisplayName(); }
  void SetDisplayLabel(const std::string& label) { displayLabel_ = label; }
  int FieldNo() const { return fieldNo_; }
  void SetFieldNo(int n) { fieldNo_ = n; }
  TFieldKind FieldKind() const { return fieldKind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return fieldKind_ == fkCalculated; }
  bool Lookup() const { return fieldKind_ == fkLookup; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  virtual void SetSize(int size);
  // Bytes of the native form.
  virtual int DataSize() const { return 0; }
  int Offset() const { return offset_; }
  void SetOffset(int offset) { offset_ = offset; }
  // Position among the dataset's fields (-1 without a dataset).
  int Index() const;

  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  bool Visible() const { return visible_; }
  void SetVisible(bool on) { visible_ = on; }
  bool Required() const { return required_; }
  void SetRequired(bool on) { required_ = on; }
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool on) { transliterate_ = on; }
  int DisplayWidth() const { return displayWidth_ > 0 ? displayWidth_ : DefaultDisplayWidth(); }
  void SetDisplayWidth(int w) { displayWidth_ = w; }
  bool Modified() const { return modified_; }
  void SetModified(bool on) { modified_ = on; }
  virtual bool IsBlob() const { return false; }
  // True when the field may be written in the dataset's current state.
  bool CanModify() const;

  // Lookup field definition (kept for completeness; values come from the
  // dataset's calculated-field protocol).
  TDataSet* LookupDataSet = nullptr;
  std::string KeyFields, LookupKeyFields, LookupResultField;

  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;
  TFieldGetTextEvent OnGetText;
  TFieldSetTextEvent OnSetText;

  // Raw native access through the dataset.  GetData answers whether the
  // field has a value (buffer may be none for the null test only).
  bool GetData(void* buffer) const;
  void SetData(const void* buffer);
  // Runs OnValidate with the new value visible to the field's getters.
  void Validate(const void* buffer);
  // Calls OnChange.
  void Change();

  bool IsNull() const;
  virtual void Clear();
  // Copies the value of another field (null included); other sources go to
  // the inherited assignment.
  void Assign(const TPersistent* source) override;

  Variant Value() const { return GetAsVariant(); }
  void SetValue(const Variant& v) { SetAsVariant(v); }
  Variant AsVariant() const { return GetAsVariant(); }
  std::string AsString() const { return GetAsString(); }
  void SetAsStringValue(const std::string& s) { SetAsString(s); }
  int32_t AsInteger() const { return GetAsInteger(); }
  int64_t AsLargeInt() const { return GetAsLargeInt(); }
  double AsFloat() const { return GetAsFloat(); }
  double AsCurrency() const { return GetAsFloat(); }
  bool AsBoolean() const { return GetAsBoolean(); }
  double AsDateTime() const { return GetAsDateTime(); }

  // Typed setters (the class library's property writers).
  virtual void SetAsString(const std::string& value);
  virtual void SetAsInteger(int32_t value);
  virtual void SetAsLargeInt(int64_t value);
  virtual void SetAsFloat(double value);
  virtual void SetAsBoolean(bool value);
  virtual void SetAsDateTime(double value);
  virtual void SetAsVariant(const Variant& value);

  // Text for display (DisplayText) or editing (Text), OnGetText first.
  std::string DisplayText() const;
  std::string Text() const;
  void SetText(const std::string& text);

protected:
  virtual std::string GetAsString() const;
  virtual int32_t GetAsInteger() const;
  virtual int64_t GetAsLargeInt() const;
  virtual double GetAsFloat() const;
  virtual bool GetAsBoolean() const;
  virtual double GetAsDateTime() const;
  virtual Variant GetAsVariant() const;
  virtual std::string GetText(bool display_text) const {
    (void)display_text;
    return GetAsString();
  }
  virtual int DefaultDisplayWidth() const { return 10; }
  [[noreturn]] void AccessError(const char* type_name) const;
  void SetDataType(TFieldType t) { dataType_ = t; }
  // Raises when the dataset is missing.
  TDataSet& CheckDataSet() const;
  // True while OnValidate reads the proposed value.
  bool Validating() const { return validating_; }

private:
  friend class TDataSet;
  TDataSet* dataset_ = nullptr;
  std::string fieldName_;
  std::string displayLabel_;
  int fieldNo_ = 0;
  TFieldKind fieldKind_ = fkData;
  TFieldType dataType_ = ftUnknown;
  int size_ = 0;
  int offset_ = 0;
  bool readOnly_ = false;
  bool visible_ = true;
  bool required_ = false;
  bool transliterate_ = false;
  bool modified_ = false;
  int displayWidth_ = 0;
  // While OnValidate runs, the getters read the proposed value from here.
  const void* validatingBuffer_ = nullptr;
  bool validating_ = false;
};

class TStringField : public TField {
public:
  explicit TStringField(TComponent* owner = nullptr);
  int DataSize() const override { return Size() + 1; }
  void SetSize(int size) override;
  void SetAsString(const std::string& value) override;
  void SetAsInteger(int32_t value) override;
  void SetAsLargeInt(int64_t value) override;
  void SetAsFloat(double value) override;
  void SetAsBoolean(bool value) override;
  void SetAsDateTime(double value) override;
  void SetAsVariant(const Variant& value) override;
  // Keeps blanks at the end (the value is returned as stored up to the NUL).
  bool FixedChar = false;
  void SetFieldType(TFieldType t) { SetDataType(t); }

protected:
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override;
  int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  bool GetAsBoolean() const override;
  double GetAsDateTime() const override;
  Variant GetAsVariant() const override;
  int DefaultDisplayWidth() const override { return Size(); }
};

class TNumericField : public TField {
public:
  explicit TNumericField(TComponent* owner = nullptr) : TField(owner) {}
  std::string DisplayFormat;  // picture for display text (FormatFloat)
  std::string EditFormat;     // picture for edit text; DisplayFormat when empty
};

// ftInteger, ftSmallint, ftWord and ftAutoInc: signed 32-bit values checked
// against the type's range (and MinValue..MaxValue when one is set).
class TIntegerField : public TNumericField {
public:
  explicit TIntegerField(TComponent* owner = nullptr);
  int DataSize() const override;
  int32_t MinValue = 0, MaxValue = 0;
  void SetAsString(const std::string& value) override;
  void SetAsInteger(int32_t value) override;
  void SetAsLargeInt(int64_t value) override;
  void SetAsFloat(double value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  void SetIntegerType(TFieldType t, int64_t lo, int64_t hi);
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override;
  int64_t GetAsLargeInt() const override { return GetAsInteger(); }
  double GetAsFloat() const override { return GetAsInteger(); }
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
  bool ReadValue(int32_t& v) const;

private:
  int64_t typeMin_, typeMax_;
};

class TSmallintField : public TIntegerField {
public:
  explicit TSmallintField(TComponent* owner = nullptr);
};
class TWordField : public TIntegerField {
public:
  explicit TWordField(TComponent* owner = nullptr);
};
class TAutoIncField : public TIntegerField {
public:
  explicit TAutoIncField(TComponent* owner = nullptr);
};

class TLargeintField : public TNumericField {
public:
  explicit TLargeintField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }
  void SetAsString(const std::string& value) override;
  void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
  void SetAsLargeInt(int64_t value) override;
  void SetAsFloat(double value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override;
  int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override { return static_cast<double>(GetAsLargeInt()); }
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
};

// ftFloat and ftCurrency (8-byte double).
class TFloatField : public TNumericField {
public:
  explicit TFloatField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }
  bool Currency = false;
  int Precision = 15;
  double MinValue = 0, MaxValue = 0;
  void SetAsString(const std::string& value) override;
  void SetAsInteger(int32_t value) override { SetAsFloat(value); }
  void SetAsLargeInt(int64_t value) override { SetAsFloat(static_cast<double>(value)); }
  void SetAsFloat(double value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override;
  int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
};

class TCurrencyField : public TFloatField {
public:
  explicit TCurrencyField(TComponent* owner = nullptr);
};

// ftBCD: 8-byte currency (value x 10,000 as a 64-bit integer).
class TBCDField : public TNumericField {
public:
  explicit TBCDField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }
  bool Currency = false;
  int Precision = 0;
  void SetAsString(const std::string& value) override;
  void SetAsInteger(int32_t value) override { SetAsFloat(value); }
  void SetAsLargeInt(int64_t value) override { SetAsFloat(static_cast<double>(value)); }
  void SetAsFloat(double value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  int32_t GetAsInteger() const override;
  int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
};

// ftBoolean: 16-bit, 0xFFFF written for true, any non-zero read as true.
class TBooleanField : public TField {
public:
  explicit TBooleanField(TComponent* owner = nullptr);
  int DataSize() const override { return 2; }
  // "True text;False text" for AsString and SetAsString.
  void SetDisplayValues(const std::string& values);
  void SetAsString(const std::string& value) override;
  void SetAsBoolean(bool value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  bool GetAsBoolean() const override;
  Variant GetAsVariant() const override;

private:
  std::string trueText_ = "True", falseText_ = "False";
};

// ftDateTime (double milliseconds), ftDate (int32 days), ftTime (int32 ms).
class TDateTimeField : public TField {
public:
  explicit TDateTimeField(TComponent* owner = nullptr);
  int DataSize() const override;
  std::string DisplayFormat;
  void SetAsString(const std::string& value) override;
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  void SetAsDateTime(double value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  double GetAsFloat() const override { return GetAsDateTime(); }
  double GetAsDateTime() const override;
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
  bool ReadValue(double& dt) const;
  void SetDateTimeType(TFieldType t) { SetDataType(t); }
};

class TDateField : public TDateTimeField {
public:
  explicit TDateField(TComponent* owner = nullptr);
};
class TTimeField : public TDateTimeField {
public:
  explicit TTimeField(TComponent* owner = nullptr);
};

// ftBytes (Size bytes) and ftVarBytes (16-bit length, then Size bytes).
class TBytesField : public TField {
public:
  explicit TBytesField(TComponent* owner = nullptr);
  int DataSize() const override;
  void SetAsString(const std::string& value) override;
  void SetAsVariant(const Variant& value) override { value.IsClear() ? Clear() : SetAsString(value.AsString()); }
  void SetVarBytes(bool on) { SetDataType(on ? ftVarBytes : ftBytes); }

protected:
  std::string GetAsString() const override;
  Variant GetAsVariant() const override;
};

class TVarBytesField : public TBytesField {
public:
  explicit TVarBytesField(TComponent* owner = nullptr) : TBytesField(owner) { SetVarBytes(true); }
};

// Blob and memo fields: the value goes through the dataset's blob streams.
class TBlobField : public TField {
public:
  explicit TBlobField(TComponent* owner = nullptr);
  bool IsBlob() const override { return true; }
  void SetBlobType(TFieldType t) { SetDataType(t); }
  int BlobSize() const;
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  void Clear() override;
  void Assign(const TPersistent* source) override;
  void SetAsString(const std::string& value) override;
  void SetAsVariant(const Variant& value) override;

protected:
  std::string GetAsString() const override;
  Variant GetAsVariant() const override;
  std::string GetText(bool display_text) const override;
};

class TMemoField : public TBlobField {
public:
  explicit TMemoField(TComponent* owner = nullptr);

protected:
  std::string GetText(bool display_text) const override;
};

class TGraphicField : public TBlobField {
public:
  explicit TGraphicField(TComponent* owner = nullptr);
};

// Makes the default field object for a field type; none for types that have
// no field class here (ftUnknown, ftCursor, ftADT, ftArray, ftReference,
// ftDataSet, ftVariant, ftInterface, ftIDispatch).
std::unique_ptr<TField> DefaultFieldClass(TFieldType type, TComponent* owner);

// The dataset's list of fields (not owning).
class TFields {
public:
  int Count() const { return static_cast<int>(list_.size()); }
  TField* operator[](int i) const { return Fields(i); }
  TField* Fields(int i) const;
  TField* FindField(const std::string& name) const;
  // "Field '%s' not found".
  TField* FieldByName(const std::string& name) const;
  TField* FieldByNumber(int field_no) const;
  int IndexOf(const TField* f) const;
  void Add(TField* f);
  void Remove(TField* f);
  void Clear() {
    list_.clear();
    names_.MarkStale();
  }
  // A field of the list changed its name.
  void Renamed() { names_.MarkStale(); }
  std::vector<TField*>::const_iterator begin() const { return list_.begin(); }
  std::vector<TField*>::const_iterator end() const { return list_.end(); }

private:
  std::vector<TField*> list_;
  mutable TNameIndex names_;
};
