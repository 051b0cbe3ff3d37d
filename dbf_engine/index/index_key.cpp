// Keys of an index: a value buffer with the record number and the link.
#include "dbf_engine/index/index_key.h"

void CVobjIndexKeyData::AssignLinks(const CVobjIndexKeyData& other) {
  if (&other == this) return;
  AssignValue(other);
  RecNo = other.RecNo;
  Link = other.Link;
}

void CVobjIndexKeyData::AssignValue(const TcvVariant& value) {
  if (&value == this) return;
  // Keep this buffer (it only grows) instead of copying the other's capacity.
  const TcvVariantType kind = value.Kind();
  const int32_t n = value.Length();
  CheckBuffer(n);
  if (n > 0) std::memcpy(Data(), value.Data(), static_cast<size_t>(n));
  SetKind(kind);
}

std::unique_ptr<CVobjIndexKeyData> CVobjIndexKeyData::CloneLinks() const {
  auto copy = std::make_unique<CVobjIndexKeyData>(0);
  copy->AssignLinks(*this);
  return copy;
}

void cvFitKeyLength(TcvVariant& key, int32_t length) {
  if (length <= 0) return;
  if ((key.Kind() == cvvtText || key.Kind() == cvvtBinary) && key.Length() > length) key.CheckBuffer(length);
}
