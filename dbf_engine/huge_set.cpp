// The filter bitmap.
#include "dbf_engine/huge_set.h"

#include <bit>
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

int32_t TcvHugeSet::NextSet(int32_t from) const {
  // Bit numbers in 64 bits: the byte after the last may lie past INT32_MAX.
  int64_t r = from < 0 ? 0 : from;
  const int64_t last = highest_;
  while (r <= last) {
    const size_t page = static_cast<size_t>(r / kBitsPerPage);
    if (page >= pages_.size()) return -1;
    const uint8_t* p = pages_[page].get();
    size_t byte = static_cast<size_t>((r / 8) % kPageBytes);
    // The first byte from bit r on.
    if (const unsigned bits = static_cast<unsigned>(p[byte]) >> (r % 8); bits != 0) {
      const int64_t hit = r + std::countr_zero(bits);
      return hit <= last ? static_cast<int32_t>(hit) : -1;
    }
    r = (r / 8 + 1) * 8;
    ++byte;
    // Whole bytes to the end of the page, zero words skipped at once.
    while (byte < static_cast<size_t>(kPageBytes) && r <= last) {
      if (byte % 8 == 0) {
        uint64_t word;
        std::memcpy(&word, p + byte, sizeof word);
        if (word == 0) {
          byte += 8;
          r += 64;
          continue;
        }
      }
      if (p[byte] != 0) {
        const int64_t hit = r + std::countr_zero(static_cast<unsigned>(p[byte]));
        return hit <= last ? static_cast<int32_t>(hit) : -1;
      }
      ++byte;
      r += 8;
    }
  }
  return -1;
}
