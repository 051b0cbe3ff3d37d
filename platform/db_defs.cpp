#include "platform/db_defs.h"

#include "platform/db.h"
#include "platform/text.h"

// ---- TFieldDef --------------------------------------------------------------

void TFieldDef::SetName(const std::string& name) {
  if (name == name_) return;
  auto* defs = static_cast<TFieldDefs*>(Collection());
  if (defs != nullptr && !name.empty()) {
    int i = defs->IndexOf(name);
    if (i >= 0 && defs->Items(i) != this) DatabaseErrorFmt(dbmsg::DuplicateFieldName, {name});
  }
  name_ = name;
}

TField* TFieldDef::CreateField(TComponent* owner, TDataSet* dataset) const {
  if (owner == nullptr) owner = dataset;
  if (owner == nullptr) return nullptr;
  std::unique_ptr<TField> field = DefaultFieldClass(dataType_, owner);
  if (!field) return nullptr;
  TField* raw = field.get();
  owner->TakeOwnership(std::move(field));
  raw->SetFieldName(name_);
  if (dataType_ == ftString || dataType_ == ftFixedChar || dataType_ == ftWideString || dataType_ == ftGuid ||
      dataType_ == ftBytes || dataType_ == ftVarBytes || dataType_ == ftBCD)
    raw->SetSize(size_);
  raw->SetRequired(required_);
  if (internalCalc_) raw->SetFieldKind(fkInternalCalc);
  raw->SetFieldNo(FieldNo());
  if (auto* bcd = dynamic_cast<TBCDField*>(raw)) bcd->Precision = precision_;
  if (auto* fl = dynamic_cast<TFloatField*>(raw); fl && precision_ > 0) fl->Precision = precision_;
  if (dataset != nullptr) raw->SetDataSet(dataset);
  return raw;
}

void TFieldDef::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TFieldDef*>(source);
  if (other == nullptr) {
    TCollectionItem::Assign(source);
    return;
  }
  name_ = other->name_;
  dataType_ = other->dataType_;
  size_ = other->size_;
  precision_ = other->precision_;
  required_ = other->required_;
  fieldNo_ = other->fieldNo_;
  internalCalc_ = other->internalCalc_;
}

// ---- TFieldDefs -------------------------------------------------------------

TFieldDefs::TFieldDefs(TDataSet* dataset) : TOwnedCollection(dataset), dataset_(dataset) {}

TFieldDef* TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  if (!name.empty() && IndexOf(name) >= 0) DatabaseErrorFmt(dbmsg::DuplicateFieldName, {name});
  TFieldDef* def = AddFieldDef();
  def->SetName(name);
  def->SetDataType(type);
  def->SetSize(size);
  def->SetRequired(required);
  return def;
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Name(), name)) return i;
  return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(dbmsg::FieldNotFound, {name});
  return Items(i);
}

void TFieldDefs::Update() {
  if (dataset_ != nullptr) dataset_->InitFieldDefs();
}

// ---- TIndexDef / TIndexDefs -------------------------------------------------

void TIndexDef::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TIndexDef*>(source);
  if (other == nullptr) {
    TCollectionItem::Assign(source);
    return;
  }
  name_ = other->name_;
  Fields = other->Fields;
  Expression = other->Expression;
  Options = other->Options;
  CaseInsFields = other->CaseInsFields;
  DescFields = other->DescFields;
  Source = other->Source;
  GroupingLevel = other->GroupingLevel;
}

TIndexDefs::TIndexDefs(TDataSet* dataset) : TOwnedCollection(dataset), dataset_(dataset) {}

TIndexDef* TIndexDefs::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
  TIndexDef* def = AddIndexDef();
  def->SetName(name);
  if (options & ixExpression) def->Expression = fields;
  else def->Fields = fields;
  def->Options = options;
  return def;
}

int TIndexDefs::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Name(), name)) return i;
  return -1;
}

TIndexDef* TIndexDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(dbmsg::IndexNotFound, {name});
  return Items(i);
}

TIndexDef* TIndexDefs::FindIndexForFields(const std::string& fields) const {
  for (int i = 0; i < Count(); ++i)
    if (!(Items(i)->Options & ixExpression) && SameText(Items(i)->Fields, fields)) return Items(i);
  return nullptr;
}

TIndexDef* TIndexDefs::GetIndexForFields(const std::string& fields, bool case_insensitive) const {
  for (int i = 0; i < Count(); ++i) {
    TIndexDef* d = Items(i);
    if (d->Options & ixExpression) continue;
    if (case_insensitive && !(d->Options & ixCaseInsensitive)) continue;
    const std::string& f = d->Fields;
    if (f.size() < fields.size()) continue;
    if (!SameText(f.substr(0, fields.size()), fields)) continue;
    if (f.size() == fields.size() || f[fields.size()] == ';') return d;
  }
  return nullptr;
}

void TIndexDefs::Update() {
  if (dataset_ != nullptr) dataset_->UpdateIndexDefs();
  updated_ = true;
}
