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
  const std::string old = std::move(name_);
  name_ = name;
  if (defs != nullptr) defs->Renamed(this, old);
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
  const std::string old = std::move(name_);
  name_ = other->name_;
  if (auto* defs = static_cast<TFieldDefs*>(Collection())) defs->Renamed(this, old);
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
  if (name.empty()) {
    for (int i = 0; i < Count(); ++i)
      if (Items(i)->Name().empty()) return i;
    return -1;
  }
  // A position found is checked: entries moved within the collection leave
  // the names as they were but not their places.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (names_.IsStale()) names_.Rebuild(Count(), [&](int i) -> const std::string& { return Items(i)->Name(); });
    const int i = names_.Find(name);
    if (i < 0) return -1;
    if (i < Count() && SameText(Items(i)->Name(), name)) return i;
    names_.MarkStale();
  }
  return -1;
}

void TFieldDefs::Notify(TCollectionItem* item, TCollectionNotification action) {
  TOwnedCollection::Notify(item, action);
  // A new definition has no name yet; at the end it moves no other.
  if (action == cnAdded && Count() > 0 && TCollection::Items(Count() - 1) == item) return;
  names_.MarkStale();
}

void TFieldDefs::Renamed(TFieldDef* def, const std::string& old) {
  if (old.empty() && Count() > 0 && Items(Count() - 1) == def) names_.Named(def->Name(), Count() - 1);
  else names_.MarkStale();
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
