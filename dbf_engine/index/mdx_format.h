// On-disk codec of the multiple-tag index file ".mdx".
//
// A 2048-byte file header with the table of tags, then pages (1024 bytes,
// two 512-byte blocks each) holding tag headers and nodes.  Every key sits
// in a leaf and each interior key repeats the highest key of its child.
// Numbers are little-endian; pages are addressed by block number.
//
// File header (2048 bytes):
//     0   1  2
//     1   3  date of the last change: year mod 100, month, day
//     4  16  base name, zero-terminated
//    20   2  blocks per page (2)
//    22   2  page size in bytes (1024)
//    24   1  1
//    25   1  maximum tags (48)
//    26   2  tag entry length (32)
//    28   2  number of tags (at most 47: the header holds 47 entries)
//    32   4  next free block
//    44   3  creation date: year mod 100, month, day
//   512  32  list head: byte 17 is the index of the first entry
//   512 + 32 i  tag entry i (1-47)
// Tag entry (32 bytes): 0 header block (32); 4 tag name, zero-terminated
// (at most 10 characters); 17 index of the next entry in name order (0 for
// the last); 19 the value 2; 20 key type character.
//
// Tag header (one page):
//     0   4  root block
//     8   1  flags: 0x10; 0x50 unique; + 0x08 descending
//     9   1  key type 'C', 'N' or 'D'
//    12   2  key length
//    14   2  maximum keys per node
//    18   2  entry length
//    23   1  0x40 unique
//    24      key expression, zero-terminated (at most 220 bytes)
//   245   1  1 with a FOR expression
//   246   1  1
//   248   4  first block of the tag's page chain
//   252   4  last block of the tag's page chain
//   762      FOR expression, zero-terminated
//
// Node (one page):
//     0   4  key count n
//     4   4  block of the page written before it in the chain (0 first)
//     8      entries of "entry length" bytes: link (32: record number in a
//            leaf, child block in an interior node), key
// An interior node has n keyed entries and one more holding the rightmost
// child; a node is interior when the link after its last key is not 0, so
// that slot is always cleared in a leaf.
//
// Key lengths: character keys their text's length, numeric 12, date 8.
// Entry length = key length + 4 rounded up to 4; maximum keys =
// (page size - 8) div entry length - 1.
//
// Numeric keys are 12-byte packed decimals: byte 0 = e + 52, where the
// value is 0.d1d2... * 10^e; byte 1 = number of digit places * 4 + 1, plus
// 0x80 for a negative value (the places are the digits rounded up to an even
// count); bytes 2-11 the digits, two per byte, the first in the high four
// bits.  -12.5 is 36 91 12 50 and eight zero bytes.  Zero is 34 01 and ten
// zero bytes.  Rounding: the exact binary value is rounded to 15
// significant digits, to nearest with ties to even (as "%.14e" prints it),
// and trailing zero digits are dropped; the exponent byte holds e from -52 to
// 203, so values below 10^-53 in size are stored as zero and values of 10^203
// and more (infinities too) as 0.999999999999999 * 10^203 with their sign.
// A value read back therefore carries at most 15 significant digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/index/index_format.h"

constexpr int32_t kMdxBlockSize = 512;
constexpr int32_t kMdxHeaderSize = 2048;
constexpr int32_t kMdxPageSize = 1024;
constexpr int32_t kMdxBlocksPerPage = 2;
constexpr int32_t kMdxTagTable = 512;  // list head; entries follow
constexpr int32_t kMdxTagEntryLength = 32;
constexpr int32_t kMdxMaxTags = 47;       // entries the header holds
constexpr int32_t kMdxMaxTagsField = 48;  // what the header's field says
constexpr int32_t kMdxMaxTagName = 10;
constexpr int32_t kMdxMaxKeyExpr = 220;
constexpr int32_t kMdxForExprOffset = 762;
constexpr int32_t kMdxFirstPageBlock = kMdxHeaderSize / kMdxBlockSize;  // 4
constexpr int32_t kMdxNumericKeyLength = 12;
constexpr int32_t kMdxMaxKeyLength = 240;
constexpr double kMdxEmptyDate = 1.0E100;      // an empty date sorts last
constexpr double kMdxTopNumber = 1.7E308;      // keyless last entry, ascending
constexpr double kMdxBottomNumber = 1.7E-308;  // keyless last entry, descending

struct MdxTagEntry {
  int32_t HeaderBlock = 0;  // block of the tag header
  std::string Name;         // 1-10 characters
  char KeyType = 'C';       // 'C', 'N' or 'D'
};

struct MdxFileHeader {
  uint8_t Version = 2;
  uint8_t Changed[3] = {0, 0, 0};  // year mod 100, month, day
  std::string BaseName;            // at most 15 bytes
  int32_t BlocksPerPage = kMdxBlocksPerPage;
  int32_t PageSize = kMdxPageSize;
  int32_t NextFreeBlock = kMdxFirstPageBlock;
  uint8_t Created[3] = {0, 0, 0};  // year mod 100, month, day
  std::vector<MdxTagEntry> Tags;   // in list (name) order

  // Writes 2048 bytes with the entries chained in their order.  Raises for
  // more than 47 tags, a name that is empty or longer than 10 characters, or
  // a base name longer than 15 bytes.
  void EncodeTo(uint8_t* header) const;
  // Reads 2048 bytes.  Corrupt for a page size that is not blocks per page
  // * 512 (at least 1024), a tag entry length other than 32, more than 47
  // tags, an entry whose name is empty or unterminated, or a header block
  // that is no page of the file (`fileSize`, -1 when unknown).
  static MdxFileHeader DecodeFrom(const uint8_t* header, int64_t fileSize, std::string_view file);
  // True when `block` may start a page of a file of `fileSize` bytes.
  bool ValidPage(int64_t block, int64_t fileSize) const;
};

// Refuses (raises "Argument for %s must be %s") a tag name that is empty or
// longer than 10 characters and a key expression longer than 220 bytes.
void MdxCheckTagName(std::string_view name);
void MdxCheckKeyExpression(std::string_view keyExpr);

struct MdxTagHeader {
  int32_t Root = 0;         // root block
  char KeyType = 'C';       // 'C', 'N' or 'D'
  int32_t KeyLength = 0;    // 12 numeric, 8 date
  int32_t MaxKeys = 0;      // keys per node
  int32_t EntryLength = 0;  // link + key, rounded up to 4
  bool Unique = false;
  bool Descending = false;
  std::string KeyExpr;     // 1-220 bytes
  std::string ForExpr;     // empty when none
  int32_t ChainFirst = 0;  // first block of the page chain
  int32_t ChainLast = 0;   // last block of the page chain

  // A header for a key of type 'C' (keyLength bytes), 'N' or 'D' with the
  // derived entry length and maximum for pages of `pageSize` bytes.
  static MdxTagHeader ForKey(char keyType, int32_t keyLength, int32_t pageSize = kMdxPageSize);
  // Writes one page.  Raises for a key expression over 220 bytes or a FOR
  // expression that runs past the page.
  void EncodeTo(uint8_t* page, int32_t pageSize = kMdxPageSize) const;
  // Reads one page.  Corrupt for an unknown key type, a key length that does
  // not suit it, an entry length or maximum that does not fit a node, a root
  // or chain block that is no page of the file, or an expression missing or
  // without its zero byte.
  static MdxTagHeader DecodeFrom(const uint8_t* page, const MdxFileHeader& file, int64_t fileSize,
                                 std::string_view fileName);
};

struct MdxEntry {
  int32_t Link = 0;  // record number (leaf) or child block (interior)
  std::string Key;   // KeyLength bytes as stored
};

struct MdxNode {
  int32_t PrevBlock = 0;          // page written before it in the chain
  std::vector<MdxEntry> Entries;  // the n keyed entries
  int32_t RightChild = 0;         // rightmost child of an interior node; 0 in a leaf

  bool IsLeaf() const { return RightChild == 0; }

  // Writes one page; the slot after the last entry of a leaf is zero.
  // Raises for more than the maximum keys or a key longer than the key
  // length.
  void EncodeTo(uint8_t* page, const MdxTagHeader& tag, int32_t pageSize = kMdxPageSize) const;
  // Reads one page.  Corrupt for a count above the maximum, a record number
  // below 1 in a leaf, or a child or chain block that is no page of the file.
  static MdxNode DecodeFrom(const uint8_t* page, const MdxTagHeader& tag, const MdxFileHeader& file, int64_t fileSize,
                            std::string_view fileName);
  // The same checks, each entry handed to `sink` (its key a view into the
  // page) instead of gathered: a node read for a seek allocates nothing.
  // The chain block and the rightmost child come back in `into`, whose
  // entries stay empty.  A corrupt page may raise after some entries went.
  // A leaf entry comes as (0, record, key), an interior one as (child, 0,
  // key).
  using Sink = cvIndexEntrySink;
  static void DecodeEach(const uint8_t* page, const MdxTagHeader& tag, const MdxFileHeader& file, int64_t fileSize,
                         std::string_view fileName, MdxNode& into, Sink& sink);
};

// Numeric keys: the 12 packed bytes of a value, and the value they hold
// (corrupt for a digit nibble above 9 or more places than bytes).
std::string MdxPackNumber(double value);
double MdxUnpackNumber(std::string_view key, std::string_view file);
// The value as a numeric key holds it (at most 15 significant digits).
double MdxRoundNumber(double value);
// Date keys: the day number as an 8-byte double, an empty date 1.0E100.
std::string MdxDateKey(int32_t julianDay);
double MdxDateValue(std::string_view key);
