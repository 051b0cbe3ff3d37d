// A name index of a list: the first position of each name, with names
// compared ignoring ASCII case (as SameText compares them).  Field lists and
// field definition lists look names up on every field they add; with this
// an open of a statement of thousands of columns stays linear.
//
// The list keeps it up to date where that is cheap (a name given to its
// last entry) and marks it stale on every other change (a removal, an
// insertion before the end, a rename); the next look-up rebuilds it.  A
// position found is checked against the list by the caller, so an index
// that went stale unseen (entries moved) only costs a rebuild.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/text.h"

class TNameIndex {
public:
  bool IsStale() const { return stale_; }
  void MarkStale() {
    stale_ = true;
    map_.clear();
  }
  // Builds the index from `count` entries; nameAt(i) gives entry i's name.
  template <class NameAt>
  void Rebuild(int count, NameAt nameAt) {
    map_.clear();
    map_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      const std::string& name = nameAt(i);
      if (!name.empty()) map_.emplace(UpperCase(name), i);
    }
    stale_ = false;
  }
  // The entry at `pos`, the last one of the list, now has `name` (it had
  // none before).
  void Named(const std::string& name, int pos) {
    if (stale_ || name.empty()) return;
    if (!map_.emplace(UpperCase(name), pos).second) MarkStale();
  }
  // The last entry, at `pos`, named `name`, leaves the list.
  void DroppedLast(const std::string& name, int pos) {
    if (stale_ || name.empty()) return;
    const auto it = map_.find(UpperCase(name));
    if (it != map_.end() && it->second == pos) map_.erase(it);
  }
  // The position of `name`, -1 when the list has no such name.  Not for the
  // empty name, and only while not stale.
  int Find(std::string_view name) const {
    const auto it = map_.find(UpperCase(name));
    return it == map_.end() ? -1 : it->second;
  }

private:
  std::unordered_map<std::string, int> map_;
  bool stale_ = true;
};
