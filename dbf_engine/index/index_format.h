// Pieces shared by the on-disk codecs of the index files (NTX, NDX, MDX, CDX).
//
// The codecs turn page images into values and back and never trust a value
// read from disk: a count, offset, length or text that does not fit its page
// makes the decode raise "Index file %s is corrupted" (a corrupt file is an
// ordinary outcome, not a crash).  A value the caller asks to write that the
// format cannot hold (a name too long, a key wider than its field) raises
// "Argument for %s must be %s" before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"  // cvLoad/StoreLE/BE16/32

// The error of a page or header that does not decode.  An ECorvidError like
// any other; told apart so that a reader of a shared file can read the page
// again before it believes the file is damaged (see CVobjIndexTag).
DIRLOOK_EXCEPTION(ECorvidIndexCorrupt, ECorvidError)

// Raises ECorvidIndexCorrupt "Index file %s is corrupted" for `file`.
[[noreturn]] void cvIndexCorrupt(std::string_view file);
// Raises ECorvidError "Argument for %s must be %s".
[[noreturn]] void cvIndexLimit(std::string_view what, std::string_view limit);

// The text in [p, p + size) up to its zero byte; false when the field holds
// no zero byte (the text would run past its field).
bool cvLoadZText(const uint8_t* p, size_t size, std::string& out);
// Writes `s` and a zero byte into [p, p + size); the caller has checked that
// s.size() < size.  The rest of the field is left as it is.
void cvStoreZText(uint8_t* p, size_t size, std::string_view s);

inline uint64_t cvDoubleBits(double x) {
  uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}
inline double cvBitsDouble(uint64_t u) {
  double x;
  std::memcpy(&x, &u, sizeof x);
  return x;
}
inline void cvStoreLEDouble(uint8_t* p, double x) {
  const uint64_t u = cvDoubleBits(x);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
inline double cvLoadLEDouble(const uint8_t* p) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(p[i]) << (8 * i);
  return cvBitsDouble(u);
}

constexpr int32_t cvRoundUp4(int32_t n) { return (n + 3) & ~3; }

// Receives the entries of a node as its codec decodes them, each key a view
// into the page: a node read for a seek allocates nothing.  A leaf entry has
// child 0 and its record number; an interior entry its child page (and the
// record number the format keeps there, else 0).  Every format's codec
// hands its entries to this one interface.
class cvIndexEntrySink {
public:
  virtual void Entry(int32_t child, int32_t recNo, std::string_view key) = 0;

protected:
  ~cvIndexEntrySink() = default;
};

class TcvVariant;
// The character key form the NTX, NDX and MDX tags share: a boolean becomes
// "T" or "F", any other value its text; stored keys lose their trailing
// blanks.  An empty value stays empty.
void cvAdjustCharacterKey(TcvVariant& key, bool forStorage);

// The entries of a tag renumbered after a pack, gathered as a walk of the
// tag meets them in key order.  `newRecNo[old]` is a record's new number, 0
// for a removed record; each kept entry becomes an item of `slot` bytes:
// the new number (little-endian 32 bits), then the key as stored.  A record
// met twice, a number outside the table or a key of another width is a
// damaged tree (Take answers false).
class cvEntryRenumbering {
public:
  cvEntryRenumbering(const std::vector<int32_t>& newRecNo, size_t slot, size_t keptCount);
  // Starts the look-up of a record's new number: a leaf's record numbers
  // land all over the table, so a walk starts them together.
  void Prefetch(int32_t recNo) const {
    if (recNo >= 1 && static_cast<size_t>(recNo) < renumber_.size()) __builtin_prefetch(renumber_.data() + recNo);
  }
  bool Take(int32_t recNo, std::string_view key);
  // Entries met, kept or not.
  int64_t Entries() const { return entries_; }
  size_t Slot() const { return slot_; }
  std::vector<uint8_t>& Items() { return items_; }

private:
  std::vector<int32_t> renumber_;  // new numbers; taken ones are marked met
  std::vector<uint8_t> items_;
  size_t slot_;
  int64_t entries_ = 0;
};

// Walks a tree depth-first from `root`, so that the leaves' entries come in
// key order, and hands them to `renumbering`.  `decode(page, sink)` gives
// one page's entries to `sink` (a child page for an interior entry) and
// returns the page's right child, 0 for a leaf, or -1 for a page that is
// not one of the file's.  A leaf's record numbers are looked up together
// (they land all over the table).  False for a damaged tree (too deep, a
// bad page, an entry the renumbering refuses).
bool cvRenumberTree(int32_t root, cvEntryRenumbering& renumbering,
                    const std::function<int32_t(int32_t page, cvIndexEntrySink& sink)>& decode);

// After a pack, the entries of a tag renumbered in the tag's own order, as
// items of `slot` bytes: the new record number (little-endian 32 bits),
// then the key as stored.  Puts them in the order a full rebuild writes
// (the key sorter's): keys ascending, or descending, byte-wise without the
// blank padding of character keys (a key before every longer key it
// begins), or by the value of little-endian doubles; equal keys by record
// number, rising or falling with the keys.  Character keys must keep their
// order with and without the padding.  Only the record numbers of
// equal keys move; false (the items then unusable) when keys are out of
// that order, so the tag has to be rebuilt.
enum class cvRenumberedKeys { BlankPaddedText, LittleEndianDouble };
bool cvOrderRenumbered(std::vector<uint8_t>& items, size_t slot, cvRenumberedKeys keys, bool descending);

// True when a key or FOR expression may give another value for a record
// that did not change: it names the record's number or count, its deletion
// mark, or the clock (RECNO, RECCOUNT, DELETED, DATE, TIME and their
// abbreviations, or anything else beginning with those letters).  A pack
// renumbers the entries of an index only when neither expression does; the
// test is by letters, so a field named like one only costs a full rebuild.
bool cvExpressionMayMove(std::string_view expr);
