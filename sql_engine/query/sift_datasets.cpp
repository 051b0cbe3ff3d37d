#include "sql_engine/query/sift_datasets.h"

#include <vector>

#include "platform/exceptions.h"
#include "platform/text.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/sift_messages.h"

TSiftDataSetItem::~TSiftDataSetItem() = default;

TSiftDataSets* TSiftDataSetItem::Owner() const { return static_cast<TSiftDataSets*>(Collection()); }

bool TSiftDataSetItem::AliasTakenByOther(const std::string& alias) const {
  const TSiftDataSets* owner = Owner();
  if (owner == nullptr) return false;
  for (int i = 0; i < owner->Count(); ++i) {
    const TSiftDataSetItem* item = owner->GetItem(i);
    if (item != this && SameText(item->alias_, alias)) return true;
  }
  return false;
}

void TSiftDataSetItem::SetAlias(const std::string& value) {
  const TSiftDataSets* owner = Owner();
  if (owner != nullptr && owner->IndexOfAlias(value) >= 0) SiftError(SiftMsg::SDuplicateAlias);
  alias_ = value;
}

void TSiftDataSetItem::SetDataSet(TComponent* value) {
  TSiftDataSets* owner = Owner();
  TComponent* sift = owner != nullptr ? owner->SiftOwner().SiftComponent() : nullptr;
  if (value != nullptr && value == sift) throw Exception(SiftMessage(SiftMsg::SCircularReference));
  auto* dataset = dynamic_cast<TDataSet*>(value);
  if (dataset == nullptr) throw Exception(SiftMessage(SiftMsg::SDataSetUnexpected), {"TDataSet"});
  // Check the name an empty alias would take before anything changes.
  bool take_name = alias_.empty();
  if (take_name && !dataset->Name().empty() && AliasTakenByOther(dataset->Name())) SiftError(SiftMsg::SDuplicateAlias);
  dataset_ = dataset;
  if (sift != nullptr) sift->FreeNotification(dataset);
  if (take_name) alias_ = dataset->Name();
}

void TSiftDataSetItem::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TSiftDataSetItem*>(source);
  if (other == nullptr) {
    TCollectionItem::Assign(source);
    return;
  }
  if (other == this) return;
  if (!other->alias_.empty() && AliasTakenByOther(other->alias_)) SiftError(SiftMsg::SDuplicateAlias);
  TSiftDataSets* owner = Owner();
  TComponent* sift = owner != nullptr ? owner->SiftOwner().SiftComponent() : nullptr;
  if (other->dataset_ != nullptr && other->dataset_ == sift) throw Exception(SiftMessage(SiftMsg::SCircularReference));
  alias_ = other->alias_;
  dataset_ = other->dataset_;
  if (sift != nullptr && dataset_ != nullptr) sift->FreeNotification(dataset_);
}

std::string TSiftDataSetItem::GetCaption() const {
  if (dataset_ == nullptr) return "(not defined)";
  return dataset_->Name() + " (" + alias_ + ")";
}

std::string TSiftDataSetItem::GetDisplayName() const {
  std::string caption = GetCaption();
  return caption.empty() ? TCollectionItem::GetDisplayName() : caption;
}

// ---- TSiftDataSets ----------------------------------------------------------

TSiftDataSets::TSiftDataSets(ISiftDataSetsOwner& owner) : TOwnedCollection(owner.SiftComponent()), owner_(owner) {}

TSiftDataSets::~TSiftDataSets() {
  // Temporary datasets tell the owner of their end; let them go while the
  // items can still be found.
  BestEffort([&] { ClearTempDatasets(); });
}

std::unique_ptr<TCollectionItem> TSiftDataSets::CreateItem() { return std::make_unique<TSiftDataSetItem>(); }

int TSiftDataSets::IndexOfAlias(const std::string& alias) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(GetItem(i)->Alias(), alias)) return i;
  return -1;
}

TSiftDataSetItem* TSiftDataSets::AddDataSet(TDataSet* dataset, const std::string& alias) {
  if (dataset == nullptr) return nullptr;
  const std::string& name = alias.empty() ? dataset->Name() : alias;
  if (IndexOfAlias(name) >= 0) SiftError(SiftMsg::SDuplicateAlias);
  if (dataset == owner_.SiftComponent()) throw Exception(SiftMessage(SiftMsg::SCircularReference));
  TSiftDataSetItem* item = Add();
  try {
    item->alias_ = name;
    item->SetDataSet(dataset);
  } catch (...) {
    Delete(item->Index());
    throw;
  }
  return item;
}

TSiftDataSetItem* TSiftDataSets::AddTempDataSet(std::unique_ptr<TDataSet> dataset, const std::string& alias) {
  TSiftDataSetItem* item = AddDataSet(dataset.get(), alias);
  if (item != nullptr) {
    item->temporary_ = true;
    item->owned_ = std::move(dataset);
  }
  return item;
}

void TSiftDataSets::ClearTempDatasets() {
  std::vector<std::unique_ptr<TDataSet>> doomed;
  for (int i = Count() - 1; i >= 0; --i) {
    TSiftDataSetItem* item = GetItem(i);
    if (!item->temporary_) continue;
    if (item->owned_ != nullptr) doomed.push_back(std::move(item->owned_));
    Delete(i);
  }
  for (auto& ds : doomed) {
    RemoveDataSet(ds.get());
    ds.reset();
  }
}

TDataSet* TSiftDataSets::DataSetByName(const std::string& name) const {
  int i = IndexOfAlias(TrimSquareBrackets(name));
  return i < 0 ? nullptr : GetItem(i)->DataSet();
}

void TSiftDataSets::RemoveDataSet(const TComponent* component) {
  if (component == nullptr) return;
  for (int i = Count() - 1; i >= 0; --i)
    if (GetItem(i)->DataSet() == component) Delete(i);
}
