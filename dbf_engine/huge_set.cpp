// The filter bitmap.
#include "dbf_engine/huge_set.h"

#include <cstring>

void TcvHugeSet::Clear() {
  for (auto& page : pages_) std::memset(page.get(), 0, kPageBytes);
  highest_ = -1;
}

void TcvHugeSet::ChangeBit(int32_t r, uint8_t op) {
  if (r < 0) return;
  size_t page = static_cast<size_t>(r / kBitsPerPage);
  while (pages_.size() <= page) pages_.push_back(std::make_unique<uint8_t[]>(kPageBytes));  // zero-filled
  if (r > highest_) highest_ = r;
  uint8_t& byte = pages_[page][static_cast<size_t>((r / 8) % kPageBytes)];
  const uint8_t mask = static_cast<uint8_t>(1u << (r % 8));
  switch (op) {
    case opClear: byte = static_cast<uint8_t>(byte & ~mask); break;
    case opSet: byte = static_cast<uint8_t>(byte | mask); break;
    case opToggle: byte = static_cast<uint8_t>(byte ^ mask); break;
    default: break;
  }
}

bool TcvHugeSet::BitValue(int32_t r) const {
  if (r < 0 || r > highest_) return false;
  size_t page = static_cast<size_t>(r / kBitsPerPage);
  if (page >= pages_.size()) return false;
  return (pages_[page][static_cast<size_t>((r / 8) % kPageBytes)] >> (r % 8)) & 1;
}
