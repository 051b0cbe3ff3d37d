// NTX pages: byte images to values and back.
#include "dbf_engine/index/ntx_format.h"

#include <bitset>
#include <charconv>
#include <cmath>
#include <cstring>

#include "dbf_engine/dates.h"
#include "dbf_engine/index/index_format.h"

namespace {

constexpr int kHdrSignature = 0;
constexpr int kHdrCounter = 2;
constexpr int kHdrRoot = 4;
constexpr int kHdrEntryLength = 12;
constexpr int kHdrKeyLength = 14;
constexpr int kHdrDecimals = 16;
constexpr int kHdrMaxKeys = 18;
constexpr int kHdrHalfKeys = 20;
constexpr int kHdrKeyExpr = 22;
constexpr int kHdrUnique = 278;
constexpr int kHdrDescending = 279;

constexpr int kPageCount = 0;
constexpr int kPageOffsets = 2;

// Bytes a page needs: count, maximum + 1 offsets, maximum + 1 entries.
int64_t PageNeed(int32_t maxKeys, int32_t entryLength) {
  return 2 + 2 * (static_cast<int64_t>(maxKeys) + 1) + (static_cast<int64_t>(maxKeys) + 1) * entryLength;
}

// The first entry byte of the canonical layout.
int32_t FirstEntry(int32_t maxKeys) { return (maxKeys + 2) * 2; }

}  // namespace

bool NtxValidPage(int64_t offset, int64_t fileSize) {
  if (offset < kNtxHeaderSize || offset % kNtxPageSize != 0) return false;
  return fileSize < 0 || offset + kNtxPageSize <= fileSize;
}

NtxHeader NtxHeader::ForKey(int32_t keyLength, int32_t decimals) {
  if (keyLength < 1 || keyLength > kNtxMaxKeyLength) cvIndexLimit("NTX key length", "1-256");
  NtxHeader h;
  h.KeyLength = keyLength;
  h.Decimals = decimals;
  h.EntryLength = keyLength + 8;
  h.HalfKeys = NtxHalfKeys(keyLength);
  h.MaxKeys = NtxMaxKeys(keyLength);
  return h;
}

uint16_t NtxHeader::NextCounter(uint16_t counter) {
  if (counter >= 32767) return 1;
  return static_cast<uint16_t>(counter + 1);
}

void NtxHeader::EncodeTo(uint8_t* header) const {
  if (KeyExpr.size() >= static_cast<size_t>(kNtxKeyExprSize)) cvIndexLimit("NTX key expression", "at most 255 bytes");
  if (ForExpr.size() >= static_cast<size_t>(kNtxForExprSize)) cvIndexLimit("NTX FOR expression", "at most 741 bytes");
  std::memset(header, 0, kNtxHeaderSize);
  cvStoreLE16(header + kHdrSignature, ForExpr.empty() ? kNtxSignature : kNtxSignatureFor);
  cvStoreLE16(header + kHdrCounter, Counter);
  cvStoreLE32(header + kHdrRoot, static_cast<uint32_t>(Root));
  cvStoreLE16(header + kHdrEntryLength, static_cast<uint16_t>(EntryLength));
  cvStoreLE16(header + kHdrKeyLength, static_cast<uint16_t>(KeyLength));
  cvStoreLE16(header + kHdrDecimals, static_cast<uint16_t>(Decimals));
  cvStoreLE16(header + kHdrMaxKeys, static_cast<uint16_t>(MaxKeys));
  cvStoreLE16(header + kHdrHalfKeys, static_cast<uint16_t>(HalfKeys));
  cvStoreZText(header + kHdrKeyExpr, kNtxKeyExprSize, KeyExpr);
  header[kHdrUnique] = Unique ? 1 : 0;
  header[kHdrDescending] = Descending ? 1 : 0;
  cvStoreZText(header + kNtxForExprOffset, kNtxForExprSize, ForExpr);
}

NtxHeader NtxHeader::DecodeFrom(const uint8_t* header, int64_t fileSize, std::string_view file) {
  NtxHeader h;
  h.Signature = cvLoadLE16(header + kHdrSignature);
  if (h.Signature != kNtxSignature && h.Signature != kNtxSignatureFor) cvIndexCorrupt(file);
  h.Counter = cvLoadLE16(header + kHdrCounter);
  const uint32_t root = cvLoadLE32(header + kHdrRoot);
  if (!NtxValidPage(root, fileSize)) cvIndexCorrupt(file);
  h.Root = static_cast<int32_t>(root);
  h.EntryLength = cvLoadLE16(header + kHdrEntryLength);
  h.KeyLength = cvLoadLE16(header + kHdrKeyLength);
  h.Decimals = cvLoadLE16(header + kHdrDecimals);
  h.MaxKeys = cvLoadLE16(header + kHdrMaxKeys);
  h.HalfKeys = cvLoadLE16(header + kHdrHalfKeys);
  if (h.KeyLength < 1 || h.KeyLength > kNtxMaxKeyLength || h.EntryLength != h.KeyLength + 8) cvIndexCorrupt(file);
  if (h.Decimals > h.KeyLength) cvIndexCorrupt(file);
  // Other programs may choose a smaller maximum; any that fits a page and
  // can be split in two is taken as stored.
  if (h.MaxKeys < 2 || PageNeed(h.MaxKeys, h.EntryLength) > kNtxPageSize) cvIndexCorrupt(file);
  if (h.HalfKeys < 1 || h.HalfKeys > h.MaxKeys) cvIndexCorrupt(file);
  if (!cvLoadZText(header + kHdrKeyExpr, kNtxKeyExprSize, h.KeyExpr) || h.KeyExpr.empty()) cvIndexCorrupt(file);
  h.Unique = header[kHdrUnique] != 0;
  h.Descending = header[kHdrDescending] != 0;
  if (h.Signature == kNtxSignatureFor) {
    if (!cvLoadZText(header + kNtxForExprOffset, kNtxForExprSize, h.ForExpr)) cvIndexCorrupt(file);
  }
  return h;
}

void NtxPage::EncodeTo(uint8_t* page, const NtxHeader& header) const {
  const int32_t max = header.MaxKeys;
  const int32_t el = header.EntryLength;
  const int32_t kl = header.KeyLength;
  if (max < 1 || el != kl + 8 || PageNeed(max, el) > kNtxPageSize) cvIndexLimit("NTX header", "a valid page layout");
  if (Entries.size() > static_cast<size_t>(max)) cvIndexLimit("NTX page", "at most its maximum of keys");
  const bool leaf = IsLeaf();
  std::memset(page, 0, kNtxPageSize);
  cvStoreLE16(page + kPageCount, static_cast<uint16_t>(Entries.size()));
  const int32_t first = FirstEntry(max);
  for (int32_t i = 0; i <= max; ++i) cvStoreLE16(page + kPageOffsets + 2 * i, static_cast<uint16_t>(first + i * el));
  for (size_t i = 0; i < Entries.size(); ++i) {
    const NtxEntry& e = Entries[i];
    if (e.Key.size() > static_cast<size_t>(kl)) cvIndexLimit("NTX key", "no longer than its key length");
    if (leaf != (e.Child == 0)) cvIndexLimit("NTX page", "all leaf or all interior entries");
    uint8_t* at = page + first + static_cast<int32_t>(i) * el;
    cvStoreLE32(at, static_cast<uint32_t>(e.Child));
    cvStoreLE32(at + 4, static_cast<uint32_t>(e.RecNo));
    std::memset(at + 8, ' ', static_cast<size_t>(kl));
    std::memcpy(at + 8, e.Key.data(), e.Key.size());
  }
  if (!leaf && RightChild == 0) cvIndexLimit("NTX page", "an interior page with its rightmost child");
  if (leaf && RightChild != 0) cvIndexLimit("NTX page", "all leaf or all interior entries");
  uint8_t* last = page + first + static_cast<int32_t>(Entries.size()) * el;
  cvStoreLE32(last, static_cast<uint32_t>(RightChild));
}

NtxPage NtxPage::DecodeFrom(const uint8_t* page, const NtxHeader& header, int64_t fileSize, std::string_view file) {
  struct Gather : Sink {
    std::vector<NtxEntry>* out;
    void Entry(int32_t child, int32_t recNo, std::string_view key) override {
      out->push_back(NtxEntry{child, recNo, std::string(key)});
    }
  } gather;
  NtxPage p;
  gather.out = &p.Entries;
  DecodeEach(page, header, fileSize, file, p, gather);
  return p;
}

void NtxPage::DecodeEach(const uint8_t* page, const NtxHeader& header, int64_t fileSize, std::string_view file,
                         NtxPage& p, Sink& sink) {
  const int32_t max = header.MaxKeys;
  const int32_t el = header.EntryLength;
  const int32_t kl = header.KeyLength;
  if (max < 1 || el != kl + 8 || PageNeed(max, el) > kNtxPageSize) cvIndexCorrupt(file);
  const int n = cvLoadLE16(page + kPageCount);
  if (n > max) cvIndexCorrupt(file);
  const int32_t tableEnd = kPageOffsets + 2 * (max + 1);
  std::bitset<kNtxPageSize> used;
  auto entryAt = [&](int slot) -> const uint8_t* {
    const int32_t off = cvLoadLE16(page + kPageOffsets + 2 * slot);
    if (off < tableEnd || off + el > kNtxPageSize || used[static_cast<size_t>(off)]) cvIndexCorrupt(file);
    used[static_cast<size_t>(off)] = true;
    return page + off;
  };
  p.RightChild = 0;
  // An all-zero page (the root of an empty tag, a page after Zap) has no
  // offsets at all: an empty leaf.
  if (n == 0 && cvLoadLE16(page + kPageOffsets) == 0) return;
  // Leaf or interior as the first slot (the rightmost one when empty) says;
  // every entry must agree.
  const uint8_t* first = entryAt(0);
  const bool leaf = cvLoadLE32(first) == 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t* at = i == 0 ? first : entryAt(i);
    const uint32_t child = cvLoadLE32(at);
    const auto rec = static_cast<int32_t>(cvLoadLE32(at + 4));
    if (leaf ? (child != 0 || rec < 1) : !NtxValidPage(child, fileSize)) cvIndexCorrupt(file);
    sink.Entry(static_cast<int32_t>(child), rec,
               std::string_view(reinterpret_cast<const char*>(at + 8), static_cast<size_t>(kl)));
  }
  const uint8_t* last = n == 0 ? first : entryAt(n);
  const uint32_t right = cvLoadLE32(last);
  p.RightChild = static_cast<int32_t>(right);
  if (leaf ? right != 0 : !NtxValidPage(right, fileSize)) cvIndexCorrupt(file);
}

std::string NtxNumericKey(double value, int32_t keyLength, int32_t decimals) {
  if (keyLength < 1) return std::string();
  if (decimals < 0) decimals = 0;
  if (decimals > 0 && decimals > keyLength - 2) decimals = keyLength >= 3 ? keyLength - 2 : 0;
  const bool negative = std::signbit(value) && !std::isnan(value);
  const double mag = std::isnan(value) ? 0.0 : std::fabs(value);
  char buf[400];
  std::string text;
  bool fits = false;
  if (std::isfinite(mag)) {
    const auto r = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::fixed, decimals);
    if (r.ec == std::errc()) {
      text.assign(buf, r.ptr);
      fits = text.size() <= static_cast<size_t>(keyLength);
    }
  }
  if (!fits) {
    // Too wide for the field: the widest number it holds keeps the order.
    const int32_t intDigits = decimals > 0 ? keyLength - decimals - 1 : keyLength;
    text.assign(static_cast<size_t>(intDigits), '9');
    if (decimals > 0) text += '.' + std::string(static_cast<size_t>(decimals), '9');
  }
  std::string key(static_cast<size_t>(keyLength) - text.size(), '0');
  key += text;
  bool allZero = true;
  for (char c : key)
    if (c >= '1' && c <= '9') allZero = false;
  if (negative && !allZero) {
    for (char& c : key)
      if (c >= '0' && c <= '9') c = static_cast<char>(92 - c);
  }
  return key;
}

double NtxNumericValue(std::string_view key) {
  std::string s;
  bool negative = false;
  for (char c : key) {
    if (c >= '#' && c <= ',') {  // a digit of a negative number
      negative = true;
      s += static_cast<char>(92 - c);
    } else if ((c >= '0' && c <= '9') || c == '.') {
      s += c;
    } else if (c != ' ') {
      return 0.0;
    }
  }
  double v = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
  if (r.ec != std::errc()) return 0.0;
  return negative ? -v : v;
}

std::string NtxDateKey(int32_t julianDay) {
  if (julianDay < 1) return "00000000";
  std::string s = DTOS(julianDay);
  if (s.size() != 8 || s[0] == ' ') return "00000000";
  return s;
}
