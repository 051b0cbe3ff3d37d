// On-disk codecs of the compound index file (".cdx") and of the memory
// index, which keeps the same pages in memory buffers.
//
// A CDX file is a sequence of 512-byte pieces.  Bytes 0-1023 hold the header
// of the tag list (itself a tag whose keys are tag names and whose "record
// numbers" are tag-header offsets); every tag has a 1024-byte header and
// 512-byte nodes, all at multiples of 512.  Numbers are little-endian unless
// marked big-endian.
//
// Tag header (1024 bytes):
//     0   4  root node offset
//     4   4  0
//     8   4  change counter
//    12   2  key length (1-240)
//    14   1  options: 0x01 unique, 0x08 FOR, 0x20 compact, 0x40 compound,
//            0x80 tag list (ordinary tags 0x60 | flags, the list 0xE0)
//    15   1  1; 2 for a GENERAL tag
//   494   8  "GENERAL", zero-terminated, or zeros (read: "MACHINE" too)
//   502   2  1 descending, 0 ascending
//   504   2  key expression length + 1 (0 when none)
//   506   2  FOR expression length + 1 (1 when none)
//   510   2  key expression length + 1 (1 when none)
//   512      key expression, zero byte, FOR expression, zero byte (<= 512
//            bytes together)
//
// Node (512 bytes):
//     0   2  attributes: 0 interior, 1 interior root, 2 leaf, 3 leaf root
//     2   2  number of keys
//     4   4  left sibling (-1 none)
//     8   4  right sibling (-1 none)
//    12      interior: entries of key length + 8 bytes: the key padded to the
//            key length (blanks for character keys, zeros for numeric),
//            record number (big-endian 32), child offset (big-endian 32)
//
// Compact leaf (from offset 12):
//    12   2  free bytes
//    14   4  record-number mask
//    18   1  duplicate-count mask       19  1  trailing-count mask
//    20   1  record-number bits         21  1  duplicate-count bits
//    22   1  trailing-count bits        23  1  bytes per entry
//    24      entries of "bytes per entry" bytes, read as little-endian
//            integers: record number in the low bits, then (from the top bit
//            down) the trailing count and the duplicate count; key bytes are
//            packed from the end of the node (512) downwards, each key's
//            bytes just below the previous key's.  A key is the previous
//            key's first "duplicate" bytes, then its stored bytes, then
//            "trailing" fill bytes up to the key length.
//
// Key forms in memory (what the tag compares byte by byte):
// - character, MACHINE collation: the text bytes; for storage without
//   trailing blanks (trailing blanks are the leaf's trailing fill);
// - character, GENERAL collation: the weights of all characters, then one
//   accent byte 0xF0 | code per weight, trailing 0xF0 bytes removed, cut to
//   the key length.  On disk accent bytes keep only their low four bits;
//   they are restored from the run of bytes below 16 at the end of a key.
//   Because accent bytes of value 0 may stand inside a key, the end of a
//   GENERAL leaf key is always its entry's length, never a zero byte;
// - numeric and date ('N', 'D'): the double (a date: its day number) most
//   significant byte first, the sign bit set for values >= 0 and every byte
//   inverted for negative values, trailing 0x00 bytes dropped.  Only 0x00
//   is ever dropped: the bytes of negative values end in 0xFF and must stay
//   (dropping them sorts -2 below -4 and other readers, which fill with 0x00,
//   would decode a different number).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/index/index_format.h"

// Collation of a character tag; NoCollate and Machine both compare bytes.
enum class CVsetCDXCollateType : uint8_t { NoCollate, Machine, General };

// How leaf keys are filled and ended: character keys are filled with blanks
// and lose trailing blanks, numeric/date keys are filled with 0x00 and lose
// trailing 0x00, GENERAL keys keep exactly their entry's length.
enum class CdxKeyKind : uint8_t { Character, General, Numeric };

constexpr int32_t kCdxBlockSize = 512;       // node size and file unit
constexpr int32_t kCdxTagHeaderSize = 1024;  // one tag header
constexpr int32_t kCdxMaxKeyLength = 240;
constexpr int32_t kCdxExprArea = 512;  // key + FOR texts with their zeros
constexpr int32_t kCdxNodeHeaderSize = 12;
constexpr int32_t kCdxLeafHeaderSize = 24;                                 // node header + leaf parameters
constexpr int32_t kCdxLeafSpace = kCdxBlockSize - kCdxLeafHeaderSize;      // 488
constexpr int32_t kCdxInteriorSpace = kCdxBlockSize - kCdxNodeHeaderSize;  // 500
constexpr int32_t kCdxTagListKeyLength = 10;

constexpr uint8_t kCdxOptUnique = 0x01;
constexpr uint8_t kCdxOptFor = 0x08;
constexpr uint8_t kCdxOptCompact = 0x20;
constexpr uint8_t kCdxOptCompound = 0x40;
constexpr uint8_t kCdxOptTagList = 0x80;

// Node attributes.
constexpr uint16_t kCdxAttrInterior = 0;
constexpr uint16_t kCdxAttrRoot = 1;  // added to either kind
constexpr uint16_t kCdxAttrLeaf = 2;

// Which page addresses a file may hold.  A CDX file addresses byte offsets
// that are multiples of 512 and lie inside the file; the memory index
// addresses its buffers by number, and only the count limits them.
struct CdxPageCheck {
  int64_t Limit = -1;        // file size (offsets) or page count (numbers); -1 unknown
  bool PageNumbers = false;  // memory index
  std::string_view File;     // name for the corruption message

  // True when `page` may be the address of a node or tag header.
  bool Valid(int64_t page) const;
  // Raises "corrupted" unless Valid(page).
  void Check(int64_t page) const;
};

// Entry length and the number of interior entries a node holds.
constexpr int32_t CdxEntryLength(int32_t keyLength) { return keyLength + 8; }
constexpr int32_t CdxMaxInteriorEntries(int32_t keyLength) { return kCdxInteriorSpace / (keyLength + 8); }

// One tag header (the tag list's at offset 0).
struct CdxTagHeader {
  int32_t Root = 0;                                    // root node offset (page number in memory)
  uint32_t Counter = 0;                                // change counter
  int32_t KeyLength = 0;                               // 1-240
  uint8_t Options = kCdxOptCompact | kCdxOptCompound;  // flag bits above
  CVsetCDXCollateType Collation = CVsetCDXCollateType::Machine;
  bool Descending = false;  // keys stored ascending, read backwards
  std::string KeyExpr;      // empty only for the tag list
  std::string ForExpr;      // empty when none

  bool Unique() const { return (Options & kCdxOptUnique) != 0; }
  bool IsTagList() const { return (Options & kCdxOptTagList) != 0; }

  // Writes the 1024 bytes (every byte not listed above is 0).  Raises when
  // the key length is outside 1-240 or the two expressions with their zero
  // bytes exceed 512 bytes.
  void EncodeTo(uint8_t* page) const;
  // Reads 1024 bytes.  Corrupt when the root is not a valid node address,
  // the key length is outside 1-240, an expression runs past the header or
  // an ordinary tag has no key expression.
  static CdxTagHeader DecodeFrom(const uint8_t* page, const CdxPageCheck& check);
  // True when both texts fit the header's expression area.
  static bool ExpressionsFit(std::string_view keyExpr, std::string_view forExpr);
};

// The 12 bytes every node starts with.
struct CdxNodeHeader {
  uint16_t Attributes = kCdxAttrLeaf | kCdxAttrRoot;
  uint16_t Count = 0;  // keys in the node
  int32_t Left = -1;   // left sibling, -1 none
  int32_t Right = -1;  // right sibling, -1 none

  bool IsLeaf() const { return (Attributes & kCdxAttrLeaf) != 0; }
  bool IsRoot() const { return (Attributes & kCdxAttrRoot) != 0; }
  void EncodeTo(uint8_t* node) const;
  // Corrupt for attributes above 3 or sibling links that are neither -1 nor
  // valid addresses.
  static CdxNodeHeader DecodeFrom(const uint8_t* node, const CdxPageCheck& check);
};

// The bit packing of one leaf's entries.
struct CdxLeafParams {
  uint32_t RecMask = 0;    // record-number mask
  uint8_t DupMask = 0;     // duplicate-count mask
  uint8_t TrailMask = 0;   // trailing-count mask
  uint8_t RecBits = 0;     // bits of the record number
  uint8_t DupBits = 0;     // bits of the duplicate count
  uint8_t TrailBits = 0;   // bits of the trailing count
  uint8_t EntryBytes = 0;  // bytes per entry (3-6)

  // The packing for keys of `keyLength` bytes (1-240) and record numbers up
  // to `maxRecord` (the table's record count; the file size for the tag
  // list): t bits for each count (t = bits of the key length), 24 - 2t bits
  // of record number in 3 bytes, one byte more while the mask is below
  // maxRecord; a mask past 0x7FFFFFFF becomes 0x7FFFFFFF (31 bits).
  static CdxLeafParams For(int32_t keyLength, int64_t maxRecord);
  bool operator==(const CdxLeafParams&) const = default;
};

struct CdxLeafEntry {
  std::string Key;  // memory form (see the header comment)
  int32_t RecNo = 0;
};

// A leaf node in full.
struct CdxLeafNode {
  CdxNodeHeader Header;
  CdxLeafParams Params;
  std::vector<CdxLeafEntry> Entries;

  // Bytes the entries take (entry bytes plus stored key bytes); they fit a
  // node while this is at most 488.
  static int32_t Measure(const std::vector<CdxLeafEntry>& entries, size_t from, size_t to, int32_t keyLength,
                         CdxKeyKind kind, const CdxLeafParams& params);
  // The bytes one key adds after `previous` (empty for the first key).
  static int32_t EntryCost(std::string_view previous, std::string_view key, int32_t keyLength, CdxKeyKind kind,
                           const CdxLeafParams& params);

  // Writes the node (Count is taken from Entries).  Raises when a key is
  // longer than the key length, a record number is outside 0..RecMask, the
  // parameters do not suit the key length, or the entries do not fit.
  void EncodeTo(uint8_t* node, int32_t keyLength, CdxKeyKind kind) const;
  // Reads a leaf.  Corrupt for inconsistent parameters, counts that point
  // outside the key, key bytes that overlap the entries, or a free-byte
  // count that disagrees with the entries.
  static CdxLeafNode DecodeFrom(const uint8_t* node, int32_t keyLength, CdxKeyKind kind, const CdxPageCheck& check);
  // The same checks, each key handed to `sink` as it is read (in order; the
  // view lasts until the next key) instead of gathered into entries: a
  // leaf read for a seek costs no allocation per key.  The header and the
  // parameters come back in `into`, whose entries stay empty.  A corrupt
  // node may raise after some keys went to the sink.  Each key comes as a
  // leaf entry (0, record, key).
  using Sink = cvIndexEntrySink;
  static void DecodeEach(const uint8_t* node, int32_t keyLength, CdxKeyKind kind, const CdxPageCheck& check,
                         CdxLeafNode& into, Sink& sink);
};

struct CdxInteriorEntry {
  std::string Key;    // memory form; see CdxInteriorNode
  int32_t RecNo = 0;  // record number of the highest key under the child
  int32_t Child = 0;  // child node offset (page number in memory)
};

// An interior node in full.  Keys of character tags come back with their
// blank padding (a padded key is never below the child's highest key, so
// seeks through it stay right); GENERAL keys have their accent bytes
// restored before the padding; numeric keys lose the trailing 0x00 bytes.
struct CdxInteriorNode {
  CdxNodeHeader Header{kCdxAttrInterior | kCdxAttrRoot, 0, -1, -1};
  std::vector<CdxInteriorEntry> Entries;

  // Raises when there are more entries than the node holds or a key is
  // longer than the key length.
  void EncodeTo(uint8_t* node, int32_t keyLength, CdxKeyKind kind) const;
  // Corrupt for a count above the node's room or a child that is no valid
  // node address.
  static CdxInteriorNode DecodeFrom(const uint8_t* node, int32_t keyLength, CdxKeyKind kind, const CdxPageCheck& check);
};

// Whether the node at `node` is a leaf (corrupt for unknown attributes).
bool CdxNodeIsLeaf(const uint8_t* node, const CdxPageCheck& check);

// An empty root leaf for keys of `keyLength` bytes.
void CdxEncodeEmptyRoot(uint8_t* node, int32_t keyLength, int64_t maxRecord);

// Key forms.
CdxKeyKind CdxKindOf(char keyType, CVsetCDXCollateType collation);
// MACHINE: the bytes; for storage without trailing blanks.
std::string CdxMachineKey(std::string_view text, bool forStorage);
// GENERAL: weights then accents (0xF0 | code), trailing 0xF0 dropped, cut
// to keyLength (then trailing 0xF0 dropped again).  Every byte given is
// converted, blanks included: pad or trim the text before as the compare
// needs (weights of texts of one length line up, so accents decide only
// between equal weights).
std::string CdxGeneralKey(std::string_view text, int32_t keyLength);
// The weights alone, uncut: the key of every text that begins with `text`
// begins with them (weights come first, one or two a character).
std::string CdxGeneralWeights(std::string_view text);
// Numeric key of a double (-0 is 0), and back.  Corrupt input (longer than
// 8 bytes) raises for `file`.
std::string CdxNumericKey(double value);
double CdxNumericValue(std::string_view key, std::string_view file);
// A date key: the day number as a double.
std::string CdxDateKey(int32_t julianDay);
// The collation name stored at offset 494.
CVsetCDXCollateType CdxCollationFromName(std::string_view name);
