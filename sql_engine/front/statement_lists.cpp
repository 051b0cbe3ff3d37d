// Owning lists of a parsed statement.
#include "sql_engine/front/statement_lists.h"

#include "platform/text.h"
#include "sql_engine/front/agg_sparse_list.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_analyzer.h"

namespace {

constexpr int32_t kAggregateCapacity = 1000;

}  // namespace

TAggregateItem::TAggregateItem(TAggregateList* owner)
    : Owner(owner), Values(std::make_unique<TAggSparseList>(kAggregateCapacity)) {}

TAggregateItem::~TAggregateItem() = default;

void TAggregateList::Assign(const TAggregateList& other) {
  if (&other == this) return;
  Clear();
  for (int32_t i = 0; i < other.Count(); ++i) {
    const TAggregateItem* src = other.Get(i);
    TAggregateItem* dst = Add();
    dst->ArgumentText = src->ArgumentText;
    dst->AnalyzerValue = src->AnalyzerValue;
    dst->Kind = src->Kind;
    dst->Distinct = src->Distinct;
  }
}

TColumnItem::TColumnItem(TColumnList* owner) : Owner(owner), Aggregates(std::make_unique<TAggregateList>()) {}

TColumnItem::~TColumnItem() {
  // A compiled expression that belongs to someone else is only let go.
  if (!OwnsCompiled) (void)Compiled.release();
}

void TColumnList::DeleteAggregate(int32_t recno) {
  for (const auto& column : Items_) {
    for (int32_t i = 0; i < column->Aggregates->Count(); ++i) column->Aggregates->Get(i)->Values->Delete(recno);
  }
}

int32_t TTableList::IndexOfDataSet(const TDataSet* dataset) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (Items_[static_cast<size_t>(i)]->SourceDataSet == dataset) return i;
  return -1;
}

int32_t TTableList::IndexOfTableName(const std::string& name) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (SameText(Items_[static_cast<size_t>(i)]->TableName, name)) return i;
  return -1;
}

int32_t TTableList::IndexOfAlias(const std::string& alias) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (SameText(Items_[static_cast<size_t>(i)]->Alias, alias)) return i;
  return -1;
}

void TWhereOptimizeList::Assign(const TWhereOptimizeList& other) {
  if (&other == this) return;
  Clear();
  for (int32_t i = 0; i < other.Count(); ++i) {
    const TWhereOptimizeItem* src = other.Get(i);
    TWhereOptimizeItem* dst = Add();
    dst->SourceDataSet = src->SourceDataSet;
    dst->FieldText = src->FieldText;
    dst->StartValue = src->StartValue;
    dst->EndValue = src->EndValue;
    dst->Operator = src->Operator;
    dst->Accepted = src->Accepted;
  }
}

TCreateField* TCreateFields::AddField(const std::string& name, int32_t typeToken, int32_t precision, int32_t scale,
                                      int32_t size, int32_t blobKind, bool drop) {
  TCreateField* f = Add();
  f->Name = name;
  f->TypeToken = typeToken;
  f->Precision = precision;
  f->Scale = scale;
  f->Size = size;
  f->BlobKind = blobKind;
  f->Drop = drop;
  return f;
}

void TUserDefinedRange::ClearResolvers() {
  StartCompiled.clear();
  EndCompiled.clear();
}

void TUserDefinedRange::Clear() {
  ClearResolvers();
  FieldText.clear();
  StartTexts.clear();
  EndTexts.clear();
  IndexName.clear();
}

void TParamsAsFieldsItem::SetName(const std::string& name) {
  if (TCollection* owner = Collection()) {
    for (int i = 0; i < owner->Count(); ++i) {
      const auto* other = static_cast<const TParamsAsFieldsItem*>(owner->Items(i));
      // Renaming an item to its own name is no clash.
      if (other != this && other->Name_ == name) SiftError(SiftMsg::SDupParamsAsFields);
    }
  }
  Name_ = name;
}

void TParamsAsFieldsItem::Assign(const TPersistent* source) {
  if (const auto* other = dynamic_cast<const TParamsAsFieldsItem*>(source)) {
    if (other == this) return;
    SetName(other->Name_);
    Value_ = other->Value_;
    return;
  }
  TCollectionItem::Assign(source);
}

std::string TParamsAsFieldsItem::GetDisplayName() const {
  if (Name_.empty() && Value_.empty()) return TCollectionItem::GetDisplayName();
  return Name_ + " - " + Value_;
}

std::unique_ptr<TCollectionItem> TParamsAsFields::CreateItem() { return std::make_unique<TParamsAsFieldsItem>(); }

TParamsAsFieldsItem* TParamsAsFields::Add() { return static_cast<TParamsAsFieldsItem*>(TCollection::Add()); }

TParamsAsFieldsItem* TParamsAsFields::Items(int index) const {
  return static_cast<TParamsAsFieldsItem*>(TCollection::Items(index));
}

void TParamsAsFields::SetItems(int index, const TParamsAsFieldsItem* value) { Items(index)->Assign(value); }

TParamsAsFieldsItem* TParamsAsFields::ParamByName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Name() == name) return Items(i);
  return nullptr;
}
