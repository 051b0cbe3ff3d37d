// `TcvCollection`: a list of pointers that owns and frees its items.
//
// Freeing an item goes through the virtual `FreeItem`, so that descendants
// can release items of their own kinds, or not at all: a collection made
// with `owns_items = false` (such as the registry of open files, which only
// refers to them) never frees anything on its own.
//
// A descendant that overrides `FreeItem` and owns its items must call
// `FreeAll()` in its own destructor: by the time this base destructor runs
// the override is gone, and the base frees owned items with plain deletion.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/exceptions.h"

template <typename T>
class TcvCollection {
public:
  explicit TcvCollection(bool owns_items = true) : ownsItems_(owns_items) {}
  virtual ~TcvCollection() {
    // Base-class freeing only: see the header paragraph.
    std::vector<T*> items = std::move(items_);
    items_.clear();
    if (ownsItems_)
      for (T* item : items) std::unique_ptr<T> release(item);
  }
  TcvCollection(const TcvCollection&) = delete;
  TcvCollection& operator=(const TcvCollection&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // EListError "List index out of bounds (%d)" on a bad index.
  T* Items(int index) const {
    CheckIndex(index);
    return items_[static_cast<size_t>(index)];
  }
  T* operator[](int index) const { return Items(index); }
  int IndexOf(const T* item) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i] == item) return static_cast<int>(i);
    return -1;
  }

  // Takes the item into the list (owned when the list owns items).
  int Add(T* item) {
    items_.push_back(item);
    return Count() - 1;
  }
  int Add(std::unique_ptr<T> item) {
    items_.push_back(item.get());
    item.release();
    return Count() - 1;
  }
  void Insert(int index, T* item) {
    if (index < 0 || index > Count()) throw EListError("List index out of bounds (%d)", {index});
    items_.insert(items_.begin() + index, item);
  }
  // Takes the item out of the list without freeing it.
  T* Extract(int index) {
    CheckIndex(index);
    T* item = items_[static_cast<size_t>(index)];
    items_.erase(items_.begin() + index);
    return item;
  }
  // Replaces the pointer at index (the old item is not freed).
  void Put(int index, T* item) {
    CheckIndex(index);
    items_[static_cast<size_t>(index)] = item;
  }
  void Exchange(int i, int j) {
    CheckIndex(i);
    CheckIndex(j);
    std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
  }

  // Removes the item from the list and frees it.
  void FreeOne(T* item) {
    int i = IndexOf(item);
    if (i >= 0) items_.erase(items_.begin() + i);
    FreeItem(item);
  }
  // Frees every item in index order, then empties the list.
  void FreeAll() {
    std::vector<T*> items = std::move(items_);
    items_.clear();
    for (T* item : items) FreeItem(item);
  }
  bool OwnsItems() const { return ownsItems_; }

protected:
  // Frees one item; must not throw.
  virtual void FreeItem(T* item) {
    if (ownsItems_ && item) std::unique_ptr<T> release(item);
  }

private:
  void CheckIndex(int index) const {
    if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
  }

  std::vector<T*> items_;
  bool ownsItems_;
};
