// The source datasets of a query, each under the alias statements use.
//
// A query names the datasets a statement may read and write in a collection
// of (alias, dataset) items; a table name in a statement is looked up among
// the aliases, ignoring case and square brackets.  Aliases are unique in the
// collection.  Items marked temporary are added for one statement (a table
// the application resolved on demand) and are freed, with their datasets, by
// `ClearTempDatasets`.
//
// The collection belongs to the query component, which it reaches only
// through `ISiftDataSetsOwner`: the owner is the one component that may not
// be its own source, and it asks to be told when a listed dataset is
// destroyed so that it can drop that dataset's items (`RemoveDataSet`).
#pragma once

#include <memory>
#include <string>

#include "platform/classes.h"
#include "platform/db.h"

// What the collection needs of the query that holds it.
class ISiftDataSetsOwner {
public:
  // The query component itself.
  virtual TComponent* SiftComponent() = 0;

protected:
  ~ISiftDataSetsOwner() = default;
};

class TSiftDataSets;

class TSiftDataSetItem : public TCollectionItem {
public:
  TSiftDataSetItem() = default;
  ~TSiftDataSetItem() override;

  const std::string& Alias() const { return alias_; }
  // Raises ESiftError "Alias already exists" when any item (this one
  // included) has the alias, ignoring case.
  void SetAlias(const std::string& value);

  TDataSet* DataSet() const { return dataset_; }
  // Refuses the owning query ("Circular reference not allowed") and anything
  // that is not a dataset ("DataSet is not of the expected class: %s");
  // an empty alias takes the dataset's component name, which must be free.
  // The owner is told when the dataset is destroyed.
  void SetDataSet(TComponent* value);

  // Set on items added for one statement.
  bool Temporary() const { return temporary_; }

  // From another item: the alias and the dataset.  The dataset is registered
  // with the owner as by SetDataSet, and the alias must not belong to
  // another item of this collection.
  void Assign(const TPersistent* source) override;

  // "<component name> (<alias>)", or "(not defined)" without a dataset.
  std::string GetCaption() const;
  std::string GetDisplayName() const override;

private:
  friend class TSiftDataSets;
  TSiftDataSets* Owner() const;
  // Whether another item than this one has the alias.
  bool AliasTakenByOther(const std::string& alias) const;

  std::string alias_;
  TDataSet* dataset_ = nullptr;
  bool temporary_ = false;
  std::unique_ptr<TDataSet> owned_;  // the dataset of a temporary item
};

class TSiftDataSets : public TOwnedCollection {
public:
  explicit TSiftDataSets(ISiftDataSetsOwner& owner);
  ~TSiftDataSets() override;

  TSiftDataSetItem* Add() { return static_cast<TSiftDataSetItem*>(TCollection::Add()); }
  TSiftDataSetItem* GetItem(int i) const { return static_cast<TSiftDataSetItem*>(Items(i)); }
  // Replaces item i's alias and dataset by those of `item`.
  void SetItem(int i, const TSiftDataSetItem* item) { GetItem(i)->Assign(item); }
  // Index of the first item with the alias (ignoring case), -1 when none.
  int IndexOfAlias(const std::string& alias) const;

  // Adds the dataset under the alias (or, when the alias is empty, under
  // the dataset's component name).  Nothing for no dataset; "Alias already
  // exists" before anything is added when the name is taken.
  TSiftDataSetItem* AddDataSet(TDataSet* dataset, const std::string& alias);
  // Adds a dataset for one statement; the collection frees it in
  // ClearTempDatasets (or when it goes).
  TSiftDataSetItem* AddTempDataSet(std::unique_ptr<TDataSet> dataset, const std::string& alias);
  // Frees the temporary items and their datasets, and every other item that
  // named one of those datasets.
  void ClearTempDatasets();
  // The dataset of the alias, square brackets trimmed; none when absent.
  TDataSet* DataSetByName(const std::string& name) const;
  // Deletes every item whose dataset is `component` (the owner calls this
  // when a listed dataset is destroyed).
  void RemoveDataSet(const TComponent* component);

  ISiftDataSetsOwner& SiftOwner() const { return owner_; }

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override;

private:
  ISiftDataSetsOwner& owner_;
};
