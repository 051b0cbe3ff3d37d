// On-disk codec of the single-tag index file ".ndx".
//
// A tree of 512-byte blocks: block 0 is the header, every other block a
// node.  Every key sits in a leaf and each interior key repeats the highest
// key of its child.  Numbers are little-endian; pages are block numbers.
//
// Header (block 0):
//     0   4  root block
//     4   4  next free block
//     8   4  0
//    12   2  key length (8 for numeric and date keys)
//    14   2  maximum keys per node
//    16   2  key type: 1 numeric or date, 0 character
//    18   2  entry length
//    20   3  0
//    23   1  1 unique
//    24      key expression, zero-terminated (to the end of the block)
//
// Node (block):
//     0   4  key count n
//     4      entries of "entry length" bytes: child block (32; 0 in a leaf),
//            record number (32), key (character keys blank-padded, numeric
//            and date keys an 8-byte double)
// An interior node has n keyed entries and one more whose child is the
// rightmost child; of that entry only the child is written (a full entry
// would run past the block when the node holds the maximum).  A node is
// interior when the child of its first entry is not 0.
//
// Entry length = key length + 8 rounded up to a multiple of 4 (numeric keys
// count 12 here, date keys 8); maximum keys = 504 div entry length.  Files
// of other programs are read with the entry length and maximum they store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/index/index_format.h"

constexpr int32_t kNdxBlockSize = 512;
constexpr int32_t kNdxKeyExprOffset = 24;
constexpr int32_t kNdxKeyExprSize = kNdxBlockSize - kNdxKeyExprOffset;  // with its zero
constexpr int32_t kNdxEntryRoom = 504;                                  // bytes for the keyed entries of a node
constexpr int32_t kNdxMaxKeyLength = 240;
constexpr double kNdxEmptyDate = 1.0E100;  // an empty date sorts last
constexpr double kNdxTopNumber = 1.7E308;  // key of the keyless last entry

struct NdxHeader {
  int32_t Root = 0;         // root block
  int32_t NextFree = 0;     // next free block (stale in some foreign files)
  int32_t KeyLength = 0;    // as stored: 8 for numeric and date keys
  int32_t MaxKeys = 0;      // keys per node
  uint16_t KeyType = 0;     // 1 numeric/date, 0 character
  int32_t EntryLength = 0;  // bytes per entry
  bool Unique = false;
  std::string KeyExpr;  // <= 487 bytes

  bool Numeric() const { return KeyType != 0; }
  // Bytes of a key inside an entry.
  int32_t KeyBytes() const { return Numeric() ? 8 : KeyLength; }

  // A header for a key of type 'C' (keyLength bytes), 'N' or 'D' with the
  // derived entry length and maximum.  Raises for a character key length
  // outside 1-240.
  static NdxHeader ForKey(char keyType, int32_t keyLength);
  // Writes the 512-byte block.  Raises when the expression does not fit.
  void EncodeTo(uint8_t* block) const;
  // Reads block 0.  Corrupt for an unknown key type, a key length, entry
  // length or maximum that does not fit a node, a root that is no block of
  // the file (`fileSize` in bytes, -1 when unknown), or a missing or
  // unterminated key expression.
  static NdxHeader DecodeFrom(const uint8_t* block, int64_t fileSize, std::string_view file);
};

struct NdxEntry {
  int32_t Child = 0;  // child block, 0 in a leaf
  int32_t RecNo = 0;  // record number (0 in interior entries as written here)
  std::string Key;    // KeyBytes() bytes as stored
};

struct NdxNode {
  std::vector<NdxEntry> Entries;  // the n keyed entries
  int32_t RightChild = 0;         // rightmost child of an interior node; 0 in a leaf

  bool IsLeaf() const { return Entries.empty() ? RightChild == 0 : Entries.front().Child == 0; }

  // Writes the block.  Raises for more than the maximum keys, a key longer
  // than the key bytes, or leaf and interior entries mixed.
  void EncodeTo(uint8_t* block, const NdxHeader& header) const;
  // Reads a node.  Corrupt for a count above the maximum, a child that is no
  // block of the file in an interior node, or a record number below 1 in a
  // leaf.
  static NdxNode DecodeFrom(const uint8_t* block, const NdxHeader& header, int64_t fileSize, std::string_view file);
  // The same checks, each entry handed to `sink` (its key a view into the
  // block) instead of gathered: a node read for a seek allocates nothing.
  // The rightmost child comes back in `into`, whose entries stay empty.  A
  // corrupt block may raise after some entries went.
  using Sink = cvIndexEntrySink;
  static void DecodeEach(const uint8_t* block, const NdxHeader& header, int64_t fileSize, std::string_view file,
                         NdxNode& into, Sink& sink);
};

// True when `block` may be a node of a file of `fileSize` bytes (-1 unknown).
bool NdxValidBlock(int64_t block, int64_t fileSize);

// Key forms: the stored 8 bytes of a number, of a date (the day number; an
// empty date below 0.1 becomes 1.0E100) and the number they hold.
std::string NdxNumericKey(double value);
std::string NdxDateKey(int32_t julianDay);
double NdxKeyValue(std::string_view key);
