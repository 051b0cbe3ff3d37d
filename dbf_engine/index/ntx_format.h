// On-disk codec of the single-tag index file ".ntx".
//
// The file is a 1024-byte header at offset 0, then 1024-byte pages at
// multiples of 1024.  Every key is stored once: in a leaf, or as a separator
// in an interior page.  Numbers are little-endian.
//
// Header (1024 bytes):
//     0   2  signature: 6, or 7 with a FOR expression
//     2   2  change counter (1-32767)
//     4   4  root page offset
//     8   4  0
//    12   2  entry length = key length + 8
//    14   2  key length
//    16   2  decimals of a numeric key
//    18   2  maximum keys per page
//    20   2  half of the maximum
//    22 256  key expression, zero-terminated
//   278   1  1 unique
//   279   1  1 descending
//   280   2  0
//   282      FOR expression, zero-terminated (to the end of the header)
//
// half = ((1020 div (key length + 10)) - 1) div 2, maximum = 2 * half.
//
// Page (1024 bytes):
//     0   2  key count n
//     2      maximum + 1 entry offsets (16 bits each); as written the i-th
//            (from 0) is i * entry length + (maximum + 2) * 2, but readers
//            follow the offsets, which other programs shuffle
//   entry:   child page offset (32; 0 in a leaf), record number (32), key
// Slot n + 1 holds, in an interior page, the rightmost child (no key).  A
// page is a leaf when the child of its first slot is 0.
//
// Numeric keys are text: the absolute value right-aligned in the key length
// with its decimals, leading blanks as "0", and for a negative value every
// digit d replaced by the character of code 92 - code(d) ("0" -> ",", "9" ->
// "#"), so negatives sort below positives and in reverse order of size.  The
// decimal point is always "." whatever the process decimal separator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/index/index_format.h"

constexpr int32_t kNtxPageSize = 1024;
constexpr int32_t kNtxHeaderSize = 1024;
constexpr int32_t kNtxKeyExprSize = 256;  // key expression field with its zero
constexpr int32_t kNtxForExprOffset = 282;
constexpr int32_t kNtxForExprSize = kNtxHeaderSize - kNtxForExprOffset;
constexpr int32_t kNtxMaxKeyLength = 256;
constexpr uint16_t kNtxSignature = 6;
constexpr uint16_t kNtxSignatureFor = 7;

// half = ((1020 div (keyLength + 10)) - 1) div 2; the maximum is twice it.
constexpr int32_t NtxHalfKeys(int32_t keyLength) { return ((1020 / (keyLength + 10)) - 1) / 2; }
constexpr int32_t NtxMaxKeys(int32_t keyLength) { return 2 * NtxHalfKeys(keyLength); }

struct NtxHeader {
  uint16_t Signature = kNtxSignature;  // 6, 7 with FOR
  uint16_t Counter = 1;                // change counter 1-32767
  int32_t Root = 0;                    // root page offset
  int32_t EntryLength = 0;             // key length + 8
  int32_t KeyLength = 0;
  int32_t Decimals = 0;  // of a numeric key
  int32_t MaxKeys = 0;   // keys per page
  int32_t HalfKeys = 0;  // half of the maximum
  std::string KeyExpr;   // <= 255 bytes
  bool Unique = false;
  bool Descending = false;
  std::string ForExpr;  // <= 741 bytes

  // A header for keys of `keyLength` bytes with the derived values.
  // Raises when the key length is outside 1-256.
  static NtxHeader ForKey(int32_t keyLength, int32_t decimals);

  // Writes 1024 bytes.  Raises when an expression does not fit its field.
  void EncodeTo(uint8_t* header) const;
  // Reads 1024 bytes.  Corrupt for an unknown signature, a key length or
  // maximum that does not fit a page, an entry length other than key
  // length + 8, a root that is no page of the file (`fileSize`, -1 when
  // unknown), a missing key expression or a text without its zero byte.
  static NtxHeader DecodeFrom(const uint8_t* header, int64_t fileSize, std::string_view file);
  // The counter after one more change: 1 .. 32767, then 1 again.
  static uint16_t NextCounter(uint16_t counter);
};

struct NtxEntry {
  int32_t Child = 0;  // child page offset, 0 in a leaf
  int32_t RecNo = 0;  // record number
  std::string Key;    // exactly the key length
};

struct NtxPage {
  std::vector<NtxEntry> Entries;  // the n keyed entries in order
  int32_t RightChild = 0;         // slot n + 1 of an interior page; 0 in a leaf

  bool IsLeaf() const { return Entries.empty() ? RightChild == 0 : Entries.front().Child == 0; }

  // Writes 1024 bytes with the offsets in their written order.  Keys are
  // blank-padded to the key length.  Raises for more than the maximum
  // entries, a key longer than the key length, or children given in a leaf.
  void EncodeTo(uint8_t* page, const NtxHeader& header) const;
  // Reads a page (an all-zero page is an empty leaf).  Corrupt for a count above the maximum, an offset that
  // points into the offset table or past the page, two slots sharing an
  // entry, a child that is no page of the file in an interior page (or any
  // child in a leaf), or a record number below 1 in a leaf.
  static NtxPage DecodeFrom(const uint8_t* page, const NtxHeader& header, int64_t fileSize, std::string_view file);
  // The same checks, each entry handed to `sink` in slot order (its key a
  // view into the page) instead of gathered: a page read for a seek
  // allocates nothing.  The rightmost child comes back in `into`, whose
  // entries stay empty.  A corrupt page may raise after some entries went.
  using Sink = cvIndexEntrySink;
  static void DecodeEach(const uint8_t* page, const NtxHeader& header, int64_t fileSize, std::string_view file,
                         NtxPage& into, Sink& sink);
};

// True when `offset` may be a page of a file of `fileSize` bytes (-1 when
// unknown): a multiple of 1024 past the header.
bool NtxValidPage(int64_t offset, int64_t fileSize);

// Key texts.
// The numeric key of `value` in a field of `keyLength` characters with
// `decimals` decimals.  A value too wide for the field is stored as the
// widest number the field holds (all nines, with its sign), so the order of
// keys is kept; a value that shows as zero is stored as zero.
std::string NtxNumericKey(double value, int32_t keyLength, int32_t decimals);
// The number a numeric key stands for (0 for text that is no number).
double NtxNumericValue(std::string_view key);
// "yyyymmdd"; "00000000" for a day below 1.
std::string NtxDateKey(int32_t julianDay);
