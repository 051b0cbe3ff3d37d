// One key of an index with the record number it indexes.
//
// CVobjIndexKeyData is the value buffer of a key (its bytes and kind) plus two
// integers: the record number the entry carries (interior entries of formats
// that store one; the core also keeps it equal to the link in leaves, so
// formats ordered by record number can compare it everywhere) and the link
// (the record number in a leaf entry, the child page in an interior entry).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "dbf_engine/expr/value_buffer.h"

class CVobjIndexKeyData : public TcvVariant {
public:
  explicit CVobjIndexKeyData(uint16_t capacity = 0) : TcvVariant(capacity) {}
  CVobjIndexKeyData(const CVobjIndexKeyData&) = delete;
  CVobjIndexKeyData& operator=(const CVobjIndexKeyData&) = delete;

  // Copies the value and both integers of `other`.
  void AssignLinks(const CVobjIndexKeyData& other);
  // A new key (capacity 0) holding a copy of this one.
  std::unique_ptr<CVobjIndexKeyData> CloneLinks() const;
  // Copies a plain value; both integers are left as they are.
  void AssignValue(const TcvVariant& value);

  int32_t RecNo = 0;  // the record number the entry carries
  int32_t Link = 0;   // record number (leaf) or child page (interior)
};

// Cuts a text or binary key to `length` bytes; other kinds and shorter keys
// stay.  A key longer than its tag's key length would overflow the entry.
void cvFitKeyLength(TcvVariant& key, int32_t length);
