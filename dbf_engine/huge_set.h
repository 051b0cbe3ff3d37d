// `TcvHugeSet`: a bit set of unbounded size, one bit per record number (the
// record handler's filter bitmap).
//
// Bits live in zero-filled pages of 16384 bytes (131072 bits), allocated on
// demand up to the highest page touched.  Bit r is in page r / 131072, byte
// (r / 8) % 16384, bit r % 8 from the least significant (mask 1 << (r % 8)).
//
// `Highest` is the highest bit number ever changed (-1 after Clear);
// `BitCapacity` is how many bits the set has grown to (pages x 131072), the
// bound to walk when every page must be visited.  Negative bit numbers are
// ignored: changing one does nothing, reading one gives false.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class TcvHugeSet {
public:
  static constexpr int32_t kPageBytes = 16384;
  static constexpr int32_t kBitsPerPage = kPageBytes * 8;  // 131072

  enum : uint8_t { opClear = 0, opSet = 1, opToggle = 2 };

  TcvHugeSet() = default;
  TcvHugeSet(const TcvHugeSet&) = delete;
  TcvHugeSet& operator=(const TcvHugeSet&) = delete;

  // Zeroes every page (keeping them); highest -1.
  void Clear();
  // op 0 clears, 1 sets, 2 toggles; any other op changes no bit.  The page
  // of r is created and highest raised to r whatever the op.
  void ChangeBit(int32_t r, uint8_t op);
  // False above the highest changed bit (even inside an existing page).
  bool BitValue(int32_t r) const;
  // The lowest set bit at or above `from` (no higher than the highest
  // changed bit), or -1 when there is none.  Runs of clear bits are passed
  // over eight bytes at a time, so a walk of a sparse set costs about one
  // step per set bit rather than one per record.
  int32_t NextSet(int32_t from) const;

  int32_t Highest() const { return highest_; }
  int32_t PageCount() const { return static_cast<int32_t>(pages_.size()); }
  int64_t BitCapacity() const { return static_cast<int64_t>(pages_.size()) * kBitsPerPage; }

private:
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  int32_t highest_ = -1;
};
