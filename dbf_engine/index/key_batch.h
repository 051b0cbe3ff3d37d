// One in-memory batch of the key sorter: the keys it holds and their sort.
//
// The sorter turns every key into a byte string that sorts byte-wise (its
// stored form, record number included); a batch keeps those strings in one
// buffer and orders them.  The buffer is filled from both ends: the strings
// from the front, one 16-byte entry per key from the back (the first eight
// bytes of the string at the depth being sorted, as a number most
// significant byte first; where the string lies; its length and kind).
// The batch is full when the two would come closer than a copy of the
// entries, so a batch never holds more than the buffer it was given, and
// only the part it used is ever touched.
//
// Sorting is an MSD radix sort over the entries, one byte at a time out of
// the cached eight bytes: each pass scatters a group through the free space
// in the middle of the buffer and copies it back; small groups are finished
// by insertion sort on all eight bytes.  The strings are read again only to
// refill an entry's eight bytes for the next eight.  Strings compare as if
// padded with 0 bytes, a shorter string first when they are equal so; this
// is the plain byte-wise order, a string before every longer one it
// begins.  Strings that are equal byte for byte come once: the first one
// added stays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class TcvKeyBatch {
public:
  struct Entry {
    uint64_t cache;   // eight bytes of the string at the current depth
    uint32_t offset;  // where the string starts in the buffer
    uint16_t length;  // bytes of the string
    uint8_t kind;     // the sorter's kind of key
    uint8_t dup;      // set by the sort on a repeat of the string before it
  };
  static_assert(sizeof(Entry) == 16);

  // capacity: bytes of the buffer (strings and entries together).
  explicit TcvKeyBatch(size_t capacity);
  TcvKeyBatch(const TcvKeyBatch&) = delete;
  TcvKeyBatch& operator=(const TcvKeyBatch&) = delete;

  // Whether a string of `length` bytes still fits, with its entry and room
  // for a copy of every entry (the sort's scratch space).
  bool Fits(size_t length) const { return used_ + length + 2 * sizeof(Entry) * (count_ + 1) + 16 <= capacity_; }
  // Adds a string (which must fit); it is copied.
  void Add(const uint8_t* bytes, uint16_t length, uint8_t kind);
  // Or in place: where the next string is to be written (as many bytes as
  // Fits said), then Commit with the length written.
  uint8_t* Reserve() {
    if (sorted_) Clear();  // a sorted batch is read, not added to
    if (!buffer_) Allocate();
    return buffer_.get() + used_;
  }
  void Commit(uint16_t length, uint8_t kind);

  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Sorts the strings and drops the exact repeats; returns how many were
  // dropped.  Afterwards At(0) .. At(Count() - 1) are in ascending order.
  size_t Sort();
  bool Sorted() const { return sorted_; }
  const Entry& At(size_t i) const { return entries_[i]; }
  const uint8_t* Bytes(const Entry& e) const { return buffer_.get() + e.offset; }

  // Empties the batch; the buffer stays for the next one.
  void Clear();
  // Frees the buffer; the batch is empty and allocates again when used.
  void Release();
  size_t Capacity() const { return capacity_; }
  // Bytes of the buffer used so far at most (what it has touched).
  size_t HighWater() const { return highWater_; }

  // Implementation details follow.
private:
  void Allocate();
  void SortRange(Entry* a, size_t n, uint32_t depth, int k);
  void SmallSort(Entry* a, size_t n);
  void TieSort(Entry* a, size_t n);
  void Refill(Entry* a, size_t n, uint32_t depth) const;
  uint64_t Load8(const Entry& e, uint32_t depth) const;

  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  size_t used_ = 0;   // bytes of strings at the front
  size_t count_ = 0;  // entries at the back
  size_t highWater_ = 0;
  Entry* entries_ = nullptr;  // the first entry (the last one added) once sorted
  Entry* scratch_ = nullptr;  // room for a copy of the entries while sorting
  bool sorted_ = false;
};
