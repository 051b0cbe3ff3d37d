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

// Each record's number after a pack, for a table of `oldCount` records:
// one bit per record (kept or removed) and the count of kept records before
// each group of 64, so the map takes about a fiftieth of a byte a record
// where a table of numbers would take four.  Records are kept in rising
// order; Seal ends the building.
class cvPackRenumbering {
public:
  explicit cvPackRenumbering(int32_t oldCount);
  void Keep(int32_t oldRecNo);
  void Seal();
  int32_t OldCount() const { return oldCount_; }
  int32_t KeptCount() const { return kept_; }
  // The record's new number: 0 for a removed record or one outside the
  // table.
  int32_t NewNumber(int32_t oldRecNo) const {
    if (oldRecNo < 1 || oldRecNo > oldCount_) return 0;
    const auto bit = static_cast<uint32_t>(oldRecNo);
    const uint64_t word = bits_[bit >> 6];
    const uint64_t mask = uint64_t{1} << (bit & 63);
    if (!(word & mask)) return 0;
    return before_[bit >> 6] + __builtin_popcountll(word & (mask - 1)) + 1;
  }
  // Starts the look-up of a record's new number (see cvRenumberTree).
  void Prefetch(int32_t oldRecNo) const {
    if (oldRecNo >= 1 && oldRecNo <= oldCount_)
      __builtin_prefetch(bits_.data() + (static_cast<uint32_t>(oldRecNo) >> 6));
  }
  size_t MemoryBytes() const { return bits_.size() * sizeof(uint64_t) + before_.size() * sizeof(int32_t); }

private:
  int32_t oldCount_;
  int32_t kept_ = 0;
  std::vector<uint64_t> bits_;   // bit n: record n is kept
  std::vector<int32_t> before_;  // kept records below each word's first
};

// The entries of a tag renumbered after a pack, taken as a walk of the tag
// meets them.  Each entry of a kept record goes to `add` with its new number
// and its key as stored.  A record met twice, a number outside the table, a
// key of another width or an entry `add` refuses ends the walk (Take
// answers false).
class cvEntryRenumbering {
public:
  using Add = std::function<bool(int32_t newRecNo, std::string_view key)>;
  cvEntryRenumbering(const cvPackRenumbering& renumbering, size_t keyBytes, Add add);
  // Starts the look-up of a record's new number: a leaf's record numbers
  // land all over the table, so a walk starts them together.
  void Prefetch(int32_t recNo) const { renumbering_.Prefetch(recNo); }
  bool Take(int32_t recNo, std::string_view key);
  // Entries met, kept or not; entries handed on.
  int64_t Entries() const { return entries_; }
  int64_t Kept() const { return kept_; }

private:
  const cvPackRenumbering& renumbering_;
  std::vector<uint64_t> met_;  // bit n: record n's entry was met
  size_t keyBytes_;
  Add add_;
  int64_t entries_ = 0;
  int64_t kept_ = 0;
};

// The renumbered entries of a tag, met in the tag's order, put in the
// order a full rebuild writes (the key sorter's) and kept until the tag is
// written again: keys ascending, or descending, byte-wise without the blank
// padding of character keys (a key before every longer key it begins), or
// by the value of little-endian doubles; equal keys by record number,
// rising or falling with the keys.  Only the record numbers of equal keys
// move, a run of equal keys at a time; the entries go through a buffer to a
// temporary file (unlinked at once), so memory stays bounded whatever the
// number of entries.  Add refuses (the tag is then rebuilt) keys out of
// that order, character keys whose order changes with their padding, and a
// run of equal keys larger than the budget.
enum class cvRenumberedKeys { BlankPaddedText, LittleEndianDouble };
class cvRenumberedSpool {
public:
  cvRenumberedSpool(size_t keyBytes, cvRenumberedKeys keys, bool descending, std::string tempDirectory, size_t budget);
  ~cvRenumberedSpool();
  cvRenumberedSpool(const cvRenumberedSpool&) = delete;
  cvRenumberedSpool& operator=(const cvRenumberedSpool&) = delete;

  bool Add(int32_t recNo, std::string_view key);
  // Ends the adding; the entries can then be read back.
  void Finish();
  int64_t Count() const { return count_; }
  // The entries in order from the first: the record number and the key as
  // stored (keyBytes bytes, valid until the next call); false at the end.
  void Rewind();
  bool Next(int32_t& recNo, const uint8_t*& key);
  size_t MemoryBytes() const { return run_.capacity() + buf_.capacity(); }

private:
  int Compare(const uint8_t* a, const uint8_t* b) const;
  void EndRun();
  void Put(const uint8_t* item);
  void WriteBuffer();

  size_t keyBytes_, slot_;
  bool numeric_, descending_;
  std::string tempDirectory_;
  size_t budget_;
  std::vector<uint8_t> run_;  // the items of the current run of equal keys
  std::vector<uint8_t> buf_;  // items on their way to the file, or back
  size_t used_ = 0, pos_ = 0;
  int handle_ = -1;
  std::string name_;  // for messages only: the file has no name any more
  int64_t fileEnd_ = 0, readAt_ = 0;
  int64_t count_ = 0, read_ = 0;
  bool finished_ = false;
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

// The pages of an index file for a walk of its tree, read through a window
// of consecutive bytes: a tree written bottom-up is met mostly in the order
// of the file, so one read serves many pages, and the memory stays that of
// the window whatever the size of the file.
class cvPageWindow {
public:
  using Read = std::function<bool(int64_t position, void* buffer, int32_t length)>;
  cvPageWindow(Read read, int64_t fileSize, int32_t windowBytes = int32_t{256} << 10);
  // The bytes [at, at + length) of the file, valid until the next call;
  // none when they are not all inside the file or cannot be read.
  const uint8_t* Bytes(int64_t at, int32_t length);

private:
  Read read_;
  int64_t size_;
  std::vector<uint8_t> buf_;
  int64_t first_ = -1;  // file position of buf_[0]
  int64_t held_ = 0;
};

// True when a key or FOR expression may give another value for a record
// that did not change: it names the record's number or count, its deletion
// mark, or the clock (RECNO, RECCOUNT, DELETED, DATE, TIME and their
// abbreviations, or anything else beginning with those letters).  A pack
// renumbers the entries of an index only when neither expression does; the
// test is by letters, so a field named like one only costs a full rebuild.
bool cvExpressionMayMove(std::string_view expr);
