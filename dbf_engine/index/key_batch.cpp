// Key batch: strings and entries in one buffer, in-place MSD radix sort.
#include "dbf_engine/index/key_batch.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Groups this small are finished by insertion sort.
constexpr size_t smallGroup = 24;

inline uint64_t LoadBig64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

inline void Prefetch(const void* p) { __builtin_prefetch(p, 0, 0); }

}  // namespace

TcvKeyBatch::TcvKeyBatch(size_t capacity) : capacity_(capacity & ~size_t{15}) {}

void TcvKeyBatch::Allocate() { buffer_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_); }

void TcvKeyBatch::Add(const uint8_t* bytes, uint16_t length, uint8_t kind) {
  std::memcpy(Reserve(), bytes, length);
  Commit(length, kind);
}

void TcvKeyBatch::Commit(uint16_t length, uint8_t kind) {
  ++count_;
  Entry* e = reinterpret_cast<Entry*>(buffer_.get() + capacity_ - count_ * sizeof(Entry));
  e->offset = static_cast<uint32_t>(used_);
  e->length = length;
  e->kind = kind;
  e->dup = 0;
  e->cache = Load8(*e, 0);
  used_ += length;
  highWater_ = std::max(highWater_, used_ + count_ * sizeof(Entry));
}

void TcvKeyBatch::Clear() {
  used_ = 0;
  count_ = 0;
  entries_ = nullptr;
  sorted_ = false;
}

void TcvKeyBatch::Release() {
  Clear();
  buffer_.reset();
  highWater_ = 0;
}

// Eight bytes of the string from `depth` on, most significant first, 0
// past its end.
uint64_t TcvKeyBatch::Load8(const Entry& e, uint32_t depth) const {
  const uint8_t* p = buffer_.get() + e.offset;
  if (depth + 8 <= e.length) return LoadBig64(p + depth);
  uint64_t v = 0;
  for (uint32_t i = 0; i < 8; ++i) v = (v << 8) | (depth + i < e.length ? p[depth + i] : 0);
  return v;
}

void TcvKeyBatch::Refill(Entry* a, size_t n, uint32_t depth) const {
  constexpr size_t ahead = 12;
  for (size_t i = 0; i < n; ++i) {
    if (i + ahead < n) Prefetch(buffer_.get() + a[i + ahead].offset + depth);
    a[i].cache = Load8(a[i], depth);
  }
}

// All strings of the group equal as padded: the shorter first, then the
// order they were added in; a repeat of the same length is marked.
void TcvKeyBatch::TieSort(Entry* a, size_t n) {
  std::sort(a, a + n, [](const Entry& x, const Entry& y) {
    return x.length != y.length ? x.length < y.length : x.offset < y.offset;
  });
  for (size_t i = 1; i < n; ++i)
    if (a[i].length == a[i - 1].length) a[i].dup = 1;
}

// Insertion sort of a small group by its cached bytes.
void TcvKeyBatch::SmallSort(Entry* a, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    Entry e = a[i];
    size_t j = i;
    while (j > 0 && e.cache < a[j - 1].cache) {
      a[j] = a[j - 1];
      --j;
    }
    a[j] = e;
  }
}

// Sorts a group whose strings share their first depth + k bytes; each
// entry caches bytes depth .. depth + 7.  The largest bucket of each level
// is carried on in the loop, the others recursed into, so the recursion
// never goes deeper than the halvings of the group.
void TcvKeyBatch::SortRange(Entry* a, size_t n, uint32_t depth, int k) {
  for (;;) {
    if (n <= 1) return;
    if (k == 8) {
      depth += 8;
      k = 0;
      Refill(a, n, depth);
    }
    if (n <= smallGroup) {
      // Sorted on the cached bytes; entries that tie there go on to the
      // next eight bytes, or, when they have no more, are equal but for
      // their lengths.
      SmallSort(a, n);
      bool longer = false;
      for (size_t i = 0; i < n; ++i) longer |= a[i].length > depth + 8;
      if (longer && a[0].cache == a[n - 1].cache) {
        k = 8;
        continue;
      }
      for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && a[j].cache == a[i].cache) ++j;
        if (j - i > 1) {
          if (longer) SortRange(a + i, j - i, depth, 8);
          else TieSort(a + i, j - i);
        }
        i = j;
      }
      return;
    }
    const uint32_t at = depth + static_cast<uint32_t>(k);
    const int shift = 56 - 8 * k;
    size_t count[256] = {};
    bool live = false, same = true;
    const uint64_t first = a[0].cache;
    for (size_t i = 0; i < n; ++i) {
      ++count[(a[i].cache >> shift) & 0xFF];
      live |= a[i].length > at;
      same &= a[i].cache == first;
    }
    if (!live) {
      // Every string has ended: they are equal but for their lengths.
      TieSort(a, n);
      return;
    }
    if (same) {
      k = 8;  // the rest of the cached bytes are shared too
      continue;
    }
    size_t next[256], start[256];
    size_t pos = 0, big = 0;
    for (int b = 0; b < 256; ++b) {
      start[b] = next[b] = pos;
      pos += count[b];
      if (count[b] > count[big]) big = static_cast<size_t>(b);
    }
    if (count[big] == n) {
      ++k;
      continue;
    }
    // Scattered into the scratch space in one pass and copied back.
    for (size_t i = 0; i < n; ++i) scratch_[next[(a[i].cache >> shift) & 0xFF]++] = a[i];
    std::memcpy(static_cast<void*>(a), scratch_, n * sizeof(Entry));
    for (int b = 0; b < 256; ++b)
      if (static_cast<size_t>(b) != big && count[b] > 1) SortRange(a + start[b], count[b], depth, k + 1);
    a += start[big];
    n = count[big];
    ++k;
  }
}

size_t TcvKeyBatch::Sort() {
  if (sorted_) return 0;
  entries_ = count_ ? reinterpret_cast<Entry*>(buffer_.get() + capacity_ - count_ * sizeof(Entry)) : nullptr;
  sorted_ = true;
  if (count_ == 0) return 0;
  // The space between the strings and the entries holds a copy of the
  // entries (Fits keeps it free): the radix passes scatter through it.
  scratch_ = reinterpret_cast<Entry*>(buffer_.get() + ((used_ + 15) & ~size_t{15}));
  highWater_ = std::max(highWater_, static_cast<size_t>(reinterpret_cast<uint8_t*>(scratch_ + count_) - buffer_.get()) +
                                        count_ * sizeof(Entry));
  SortRange(entries_, count_, 0, 0);
  size_t kept = 0;
  for (size_t i = 0; i < count_; ++i)
    if (!entries_[i].dup) entries_[kept++] = entries_[i];
  const size_t dropped = count_ - kept;
  count_ = kept;
  return dropped;
}
