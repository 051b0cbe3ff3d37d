// Field and index definitions of a dataset.
//
// `TFieldDefs` describes the fields a dataset can show: name, type, size,
// required flag and the field number the dataset uses for it.  The number is
// the definition's position plus one unless the dataset sets it (the DBF
// dataset numbers its fields by the table's field number and leaves out
// fields it cannot show).  Default fields are created from these definitions.
//
// `TIndexDefs` describes the dataset's indexes: name, field list (names
// separated by ";") or, with `ixExpression`, a key expression.
#pragma once

#include <memory>
#include <string>

#include "platform/classes.h"
#include "platform/db_common.h"
#include "platform/name_index.h"

class TDataSet;
class TField;
class TFieldDefs;

class TFieldDef : public TCollectionItem {
public:
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType t) { dataType_ = t; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  int Precision() const { return precision_; }
  void SetPrecision(int p) { precision_ = p; }
  bool Required() const { return required_; }
  void SetRequired(bool on) { required_ = on; }
  // The dataset's number for the field: the explicit one, else index + 1.
  int FieldNo() const { return fieldNo_ > 0 ? fieldNo_ : Index() + 1; }
  void SetFieldNo(int n) { fieldNo_ = n; }
  bool InternalCalcField() const { return internalCalc_; }
  void SetInternalCalcField(bool on) { internalCalc_ = on; }

  // Creates the default field for this definition, owned by `owner` (the
  // dataset), attached to `dataset`.  None for a type without a field class.
  TField* CreateField(TComponent* owner, TDataSet* dataset) const;
  void Assign(const TPersistent* source) override;
  std::string GetDisplayName() const override { return name_; }

private:
  std::string name_;
  TFieldType dataType_ = ftUnknown;
  int size_ = 0;
  int precision_ = 0;
  bool required_ = false;
  int fieldNo_ = 0;
  bool internalCalc_ = false;
};

class TFieldDefs : public TOwnedCollection {
public:
  explicit TFieldDefs(TDataSet* dataset);
  TFieldDef* AddFieldDef() { return static_cast<TFieldDef*>(Add()); }
  // Appends a definition; "Duplicate field name '%s'" when the name exists.
  TFieldDef* Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  using TCollection::Add;
  TFieldDef* Items(int i) const { return static_cast<TFieldDef*>(TCollection::Items(i)); }
  int IndexOf(const std::string& name) const;  // ignoring ASCII case
  // "Field '%s' not found" when missing.
  TFieldDef* Find(const std::string& name) const;
  bool Updated() const { return updated_; }
  void SetUpdated(bool on) { updated_ = on; }
  // Brings the definitions up to date from the dataset.
  void Update();
  TDataSet* DataSet() const { return dataset_; }

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TFieldDef>(); }
  void Update(TCollectionItem*) override { updated_ = false; }
  void Notify(TCollectionItem* item, TCollectionNotification action) override;

private:
  friend class TFieldDef;
  // A definition of the list changed its name from `old`.
  void Renamed(TFieldDef* def, const std::string& old);

  TDataSet* dataset_;
  bool updated_ = false;
  mutable TNameIndex names_;
};

class TIndexDef : public TCollectionItem {
public:
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  // Field names separated by ";".
  std::string Fields;
  std::string Expression;
  TIndexOptions Options = 0;
  std::string CaseInsFields, DescFields, Source;
  int GroupingLevel = 0;
  void Assign(const TPersistent* source) override;
  std::string GetDisplayName() const override { return name_; }

private:
  std::string name_;
};

class TIndexDefs : public TOwnedCollection {
public:
  explicit TIndexDefs(TDataSet* dataset);
  TIndexDef* AddIndexDef() { return static_cast<TIndexDef*>(Add()); }
  TIndexDef* Add(const std::string& name, const std::string& fields, TIndexOptions options);
  using TCollection::Add;
  TIndexDef* Items(int i) const { return static_cast<TIndexDef*>(TCollection::Items(i)); }
  int IndexOf(const std::string& name) const;
  // "Index '%s' not found" when missing.
  TIndexDef* Find(const std::string& name) const;
  // The first definition whose field list equals `fields` (ignoring case);
  // none when there is none.
  TIndexDef* FindIndexForFields(const std::string& fields) const;
  // The first definition whose field list starts with `fields` (a whole
  // number of fields), honouring the case-insensitive option when asked.
  TIndexDef* GetIndexForFields(const std::string& fields, bool case_insensitive) const;
  bool Updated() const { return updated_; }
  void SetUpdated(bool on) { updated_ = on; }
  // Asks the dataset to rebuild the definitions (UpdateIndexDefs).
  void Update();

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TIndexDef>(); }
  void Update(TCollectionItem*) override { updated_ = false; }

private:
  TDataSet* dataset_;
  bool updated_ = false;
};
