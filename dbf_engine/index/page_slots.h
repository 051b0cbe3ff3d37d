// Page slots: the map from page numbers to kept nodes that an index tag
// consults for every node it loads.
//
// Open addressing over one array of page numbers and one of values, probed
// linearly from a multiplicative hash: a lookup touches one or two cache
// lines, where a node-based hash map chases a pointer per bucket.  Slots are
// never removed one by one (a taken node leaves its slot empty for its
// return); Clear drops them all.  Page numbers are positive (byte offsets
// or block numbers), so 0 marks a free slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

template <class T>
class CVobjPageSlots {
public:
  size_t Size() const { return used_; }
  bool Empty() const { return used_ == 0; }
  void Clear() {
    pages_.clear();
    values_.clear();
    used_ = 0;
  }
  // The slot of `page`; none when it has none.
  std::unique_ptr<T>* Find(int32_t page) {
    if (pages_.empty() || page <= 0) return nullptr;
    for (size_t i = Home(page);; i = (i + 1) & (pages_.size() - 1)) {
      if (pages_[i] == page) return &values_[i];
      if (pages_[i] == 0) return nullptr;
    }
  }
  // The slot of `page`, made when it has none (empty then).
  std::unique_ptr<T>* Insert(int32_t page) {
    if (page <= 0) return nullptr;
    if (std::unique_ptr<T>* found = Find(page)) return found;
    if ((used_ + 1) * 2 > pages_.size()) Grow();
    size_t i = Home(page);
    while (pages_[i] != 0) i = (i + 1) & (pages_.size() - 1);
    pages_[i] = page;
    ++used_;
    return &values_[i];
  }

private:
  size_t Home(int32_t page) const {
    // Fibonacci hashing: page numbers that are multiples of a page size
    // spread as well as consecutive ones.
    return static_cast<size_t>((static_cast<uint32_t>(page) * 2654435769u) >> shift_);
  }
  void Grow() {
    std::vector<int32_t> pages(pages_.empty() ? 16 : pages_.size() * 2, 0);
    std::vector<std::unique_ptr<T>> values(pages.size());
    int bits = 0;
    while ((size_t{1} << bits) < pages.size()) ++bits;
    shift_ = 32 - bits;
    for (size_t j = 0; j < pages_.size(); ++j) {
      if (pages_[j] == 0) continue;
      size_t i = Home(pages_[j]);
      while (pages[i] != 0) i = (i + 1) & (pages.size() - 1);
      pages[i] = pages_[j];
      values[i] = std::move(values_[j]);
    }
    pages_.swap(pages);
    values_.swap(values);
  }

  std::vector<int32_t> pages_;
  std::vector<std::unique_ptr<T>> values_;
  size_t used_ = 0;
  int shift_ = 28;
};
