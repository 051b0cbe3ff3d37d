// Compound index pages: byte images to values and back.
#include "dbf_engine/index/cdx_format.h"

#include <algorithm>
#include <cstring>

#include "dbf_engine/index/index_format.h"
#include "platform/byte_order.h"

namespace {

// Offsets inside a tag header.
constexpr int kHdrRoot = 0;
constexpr int kHdrCounter = 8;
constexpr int kHdrKeyLength = 12;
constexpr int kHdrOptions = 14;
constexpr int kHdrSignature = 15;
constexpr int kHdrCollation = 494;
constexpr int kHdrCollationSize = 8;
constexpr int kHdrDescending = 502;
constexpr int kHdrKeyExprLen = 504;
constexpr int kHdrForExprLen = 506;
constexpr int kHdrKeyExprLen2 = 510;
constexpr int kHdrExpr = 512;

// Offsets inside a node.
constexpr int kNodeAttr = 0;
constexpr int kNodeCount = 2;
constexpr int kNodeLeft = 4;
constexpr int kNodeRight = 8;
constexpr int kLeafFree = 12;
constexpr int kLeafRecMask = 14;
constexpr int kLeafDupMask = 18;
constexpr int kLeafTrailMask = 19;
constexpr int kLeafRecBits = 20;
constexpr int kLeafDupBits = 21;
constexpr int kLeafTrailBits = 22;
constexpr int kLeafEntryBytes = 23;

// GENERAL collation: weight and accent code of every character.
constexpr uint8_t kWeights[256] = {
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x11, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  // 00
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  // 10
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20,  // 20
    0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,  // 30
    0x27, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,  // 40
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x28, 0x29, 0x2A, 0x2B, 0x2C,  // 50
    0x2D, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,  // 60
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x2E, 0x2F, 0x30, 0x31, 0x10,  // 70
    0x10, 0x10, 0x18, 0x32, 0x13, 0x33, 0x34, 0x35, 0x36, 0x37, 0x76, 0x18, 0x00, 0x10, 0x10, 0x10,  // 80
    0x10, 0x18, 0x18, 0x13, 0x13, 0x38, 0x1E, 0x1E, 0x39, 0x3A, 0x76, 0x18, 0x00, 0x10, 0x10, 0x7D,  // 90
    0x20, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x13, 0x45, 0x1E, 0x46, 0x47,  // A0
    0x48, 0x49, 0x58, 0x59, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x57, 0x4F, 0x13, 0x50, 0x51, 0x52, 0x53,  // B0
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,  // C0
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x54, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x0C,  // D0
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,  // E0
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x55, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x7D,  // F0
};

constexpr uint8_t kAccents[256] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // 00
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // 10
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // 20
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // 30
    0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20,  // 40
    0x00, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 50
    0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20,  // 60
    0x00, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 70
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x80, 0x00, 0x00, 0x00,  // 80
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x80, 0x00, 0x00, 0x24,  // 90
    0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // A0
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,     // B0
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,  // C0
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x80,  // D0
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,  // E0
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x24,  // F0
};

// Ligatures: records of 0, 2, first weight, first accent, second weight,
// second accent at offsets 0 (O E), 6 (A E), 12 (S S) and 18 (T H).
constexpr uint8_t kLigatures[32] = {
    0x00, 0x02, 0x72, 0x20, 0x66, 0x20,  //
    0x00, 0x02, 0x60, 0x20, 0x66, 0x20,  //
    0x00, 0x02, 0x76, 0x20, 0x76, 0x20,  //
    0x00, 0x02, 0x77, 0x00, 0x69, 0x00,  //
    0,    0,    0,    0,    0,    0,    0, 0,
};

constexpr uint8_t kAccentBase = 0xF0;

int BitsFor(int32_t n) {
  int t = 0;
  while (n > 0) {
    ++t;
    n >>= 1;
  }
  return t;
}

uint64_t MaskOf(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// The parameters are internally consistent and leave room for `keyLength`.
bool ParamsSound(const CdxLeafParams& p, int32_t keyLength) {
  if (p.EntryBytes < 2 || p.EntryBytes > 8) return false;
  if (p.RecBits < 1 || p.RecBits > 32 || p.DupBits > 8 || p.TrailBits > 8) return false;
  if (p.RecBits + p.DupBits + p.TrailBits > 8 * p.EntryBytes) return false;
  if (p.RecMask != MaskOf(p.RecBits) || p.DupMask != MaskOf(p.DupBits) || p.TrailMask != MaskOf(p.TrailBits))
    return false;
  if (p.RecMask > 0x7FFFFFFFu) return false;
  // Both counts must be able to say "the whole key".
  return p.DupMask >= keyLength && p.TrailMask >= keyLength;
}

uint8_t FillByte(CdxKeyKind kind) { return kind == CdxKeyKind::Numeric ? 0x00 : 0x20; }

// Memory form -> the bytes a leaf stores for the key (before duplicates are
// taken off): character keys without trailing blanks, numeric keys without
// trailing zeros, GENERAL accents as their low four bits.
std::string LeafDiskForm(std::string_view key, CdxKeyKind kind) {
  std::string s(key);
  switch (kind) {
    case CdxKeyKind::Character:
      while (!s.empty() && s.back() == ' ') s.pop_back();
      break;
    case CdxKeyKind::Numeric:
      while (!s.empty() && s.back() == '\0') s.pop_back();
      break;
    case CdxKeyKind::General:
      for (char& c : s)
        if (static_cast<uint8_t>(c) >= kAccentBase) c = static_cast<char>(static_cast<uint8_t>(c) & 0x0F);
      break;
  }
  return s;
}

// Turns the run of bytes below 16 that ends at `end` back into accents.
void RestoreAccents(std::string& s, size_t end) {
  size_t i = end;
  while (i > 0 && static_cast<uint8_t>(s[i - 1]) < 16) {
    --i;
    s[i] = static_cast<char>(static_cast<uint8_t>(s[i]) | kAccentBase);
  }
}

size_t CommonPrefix(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

void CheckKeyLength(int32_t keyLength) {
  if (keyLength < 1 || keyLength > kCdxMaxKeyLength) cvIndexLimit("CDX key length", "1-240");
}

}  // namespace

bool CdxPageCheck::Valid(int64_t page) const {
  if (PageNumbers) return page >= 0 && (Limit < 0 || page < Limit);
  // Bytes 0-1023 are the tag list's header: no node lives there.
  if (page < kCdxTagHeaderSize || page % kCdxBlockSize != 0) return false;
  return Limit < 0 || page + kCdxBlockSize <= Limit;
}

void CdxPageCheck::Check(int64_t page) const {
  if (!Valid(page)) cvIndexCorrupt(File);
}

// ---------------------------------------------------------------------------
// Tag header

bool CdxTagHeader::ExpressionsFit(std::string_view keyExpr, std::string_view forExpr) {
  return keyExpr.size() + forExpr.size() + 2 <= static_cast<size_t>(kCdxExprArea) &&
         keyExpr.find('\0') == std::string_view::npos && forExpr.find('\0') == std::string_view::npos;
}

void CdxTagHeader::EncodeTo(uint8_t* page) const {
  CheckKeyLength(KeyLength);
  if (!ExpressionsFit(KeyExpr, ForExpr)) cvIndexLimit("CDX key and FOR expressions", "at most 510 bytes together");
  std::memset(page, 0, kCdxTagHeaderSize);
  cvStoreLE32(page + kHdrRoot, static_cast<uint32_t>(Root));
  cvStoreLE32(page + kHdrCounter, Counter);
  cvStoreLE16(page + kHdrKeyLength, static_cast<uint16_t>(KeyLength));
  uint8_t options = Options;
  if (!ForExpr.empty()) options |= kCdxOptFor;
  else options &= static_cast<uint8_t>(~kCdxOptFor);
  page[kHdrOptions] = options;
  page[kHdrSignature] = Collation == CVsetCDXCollateType::General ? 2 : 1;
  // Only GENERAL is named; byte order is the default when the field is 0.
  if (Collation == CVsetCDXCollateType::General) std::memcpy(page + kHdrCollation, "GENERAL", 7);
  cvStoreLE16(page + kHdrDescending, Descending ? 1 : 0);
  const auto keyLen = static_cast<uint16_t>(KeyExpr.size());
  cvStoreLE16(page + kHdrKeyExprLen, KeyExpr.empty() ? 0 : static_cast<uint16_t>(keyLen + 1));
  cvStoreLE16(page + kHdrForExprLen, static_cast<uint16_t>(ForExpr.size() + 1));
  cvStoreLE16(page + kHdrKeyExprLen2, static_cast<uint16_t>(keyLen + 1));
  std::memcpy(page + kHdrExpr, KeyExpr.data(), KeyExpr.size());
  // The zero after the key text is already there; the FOR text follows it.
  std::memcpy(page + kHdrExpr + KeyExpr.size() + 1, ForExpr.data(), ForExpr.size());
}

CdxTagHeader CdxTagHeader::DecodeFrom(const uint8_t* page, const CdxPageCheck& check) {
  CdxTagHeader h;
  h.Root = static_cast<int32_t>(cvLoadLE32(page + kHdrRoot));
  check.Check(static_cast<int64_t>(cvLoadLE32(page + kHdrRoot)));
  h.Counter = cvLoadLE32(page + kHdrCounter);
  h.KeyLength = cvLoadLE16(page + kHdrKeyLength);
  if (h.KeyLength < 1 || h.KeyLength > kCdxMaxKeyLength) cvIndexCorrupt(check.File);
  h.Options = page[kHdrOptions];
  std::string collation;
  if (!cvLoadZText(page + kHdrCollation, kHdrCollationSize, collation)) collation.clear();
  h.Collation = CdxCollationFromName(collation);
  h.Descending = cvLoadLE16(page + kHdrDescending) != 0;
  const uint8_t* area = page + kHdrExpr;
  if (!cvLoadZText(area, kCdxExprArea, h.KeyExpr)) cvIndexCorrupt(check.File);
  const size_t forAt = h.KeyExpr.size() + 1;
  if (forAt >= static_cast<size_t>(kCdxExprArea)) {
    h.ForExpr.clear();
  } else if (!cvLoadZText(area + forAt, kCdxExprArea - forAt, h.ForExpr)) {
    cvIndexCorrupt(check.File);
  }
  if ((h.Options & kCdxOptFor) == 0) h.ForExpr.clear();
  if (!h.IsTagList() && h.KeyExpr.empty()) cvIndexCorrupt(check.File);
  return h;
}

CVsetCDXCollateType CdxCollationFromName(std::string_view name) {
  if (name == "GENERAL") return CVsetCDXCollateType::General;
  if (name == "MACHINE") return CVsetCDXCollateType::Machine;
  return CVsetCDXCollateType::NoCollate;
}

// ---------------------------------------------------------------------------
// Node header

void CdxNodeHeader::EncodeTo(uint8_t* node) const {
  cvStoreLE16(node + kNodeAttr, Attributes);
  cvStoreLE16(node + kNodeCount, Count);
  cvStoreLE32(node + kNodeLeft, static_cast<uint32_t>(Left));
  cvStoreLE32(node + kNodeRight, static_cast<uint32_t>(Right));
}

CdxNodeHeader CdxNodeHeader::DecodeFrom(const uint8_t* node, const CdxPageCheck& check) {
  CdxNodeHeader h;
  h.Attributes = cvLoadLE16(node + kNodeAttr);
  if (h.Attributes > 3) cvIndexCorrupt(check.File);
  h.Count = cvLoadLE16(node + kNodeCount);
  h.Left = static_cast<int32_t>(cvLoadLE32(node + kNodeLeft));
  h.Right = static_cast<int32_t>(cvLoadLE32(node + kNodeRight));
  if (h.Left != -1) check.Check(h.Left);
  if (h.Right != -1) check.Check(h.Right);
  return h;
}

bool CdxNodeIsLeaf(const uint8_t* node, const CdxPageCheck& check) {
  const uint16_t a = cvLoadLE16(node + kNodeAttr);
  if (a > 3) cvIndexCorrupt(check.File);
  return (a & kCdxAttrLeaf) != 0;
}

// ---------------------------------------------------------------------------
// Leaves

CdxLeafParams CdxLeafParams::For(int32_t keyLength, int64_t maxRecord) {
  CheckKeyLength(keyLength);
  const int t = BitsFor(keyLength);
  CdxLeafParams p;
  p.DupBits = p.TrailBits = static_cast<uint8_t>(t);
  p.DupMask = p.TrailMask = static_cast<uint8_t>(MaskOf(t));
  int bits = 24 - 2 * t;
  uint64_t mask = MaskOf(bits);
  int bytes = 3;
  while (maxRecord > static_cast<int64_t>(mask) && mask < 0x7FFFFFFFu) {
    ++bytes;
    bits += 8;
    mask = mask * 256 + 255;
  }
  if (mask > 0x7FFFFFFFu) {
    mask = 0x7FFFFFFFu;
    bits = 31;
  }
  p.RecMask = static_cast<uint32_t>(mask);
  p.RecBits = static_cast<uint8_t>(bits);
  p.EntryBytes = static_cast<uint8_t>(bytes);
  return p;
}

int32_t CdxLeafNode::EntryCost(std::string_view previous, std::string_view key, int32_t keyLength, CdxKeyKind kind,
                               const CdxLeafParams& params) {
  const std::string cur = LeafDiskForm(key, kind);
  const std::string prev = LeafDiskForm(previous, kind);
  (void)keyLength;  // keys longer than the key length are refused when written
  const size_t dup = std::min<size_t>(CommonPrefix(prev, cur), params.DupMask);
  return params.EntryBytes + static_cast<int32_t>(cur.size() - dup);
}

int32_t CdxLeafNode::Measure(const std::vector<CdxLeafEntry>& entries, size_t from, size_t to, int32_t keyLength,
                             CdxKeyKind kind, const CdxLeafParams& params) {
  int32_t total = 0;
  for (size_t i = from; i < to && i < entries.size(); ++i)
    total += EntryCost(i == from ? std::string_view() : std::string_view(entries[i - 1].Key), entries[i].Key, keyLength,
                       kind, params);
  return total;
}

void CdxLeafNode::EncodeTo(uint8_t* node, int32_t keyLength, CdxKeyKind kind) const {
  CheckKeyLength(keyLength);
  if (!ParamsSound(Params, keyLength)) cvIndexLimit("CDX leaf parameters", "suited to the key length");
  if (Entries.size() > static_cast<size_t>(kCdxLeafSpace / Params.EntryBytes))
    cvIndexLimit("CDX leaf", "at most 488 bytes of keys");
  std::memset(node, 0, kCdxBlockSize);
  CdxNodeHeader h = Header;
  h.Attributes = static_cast<uint16_t>(kCdxAttrLeaf | (Header.Attributes & kCdxAttrRoot));
  h.Count = static_cast<uint16_t>(Entries.size());
  h.EncodeTo(node);
  cvStoreLE32(node + kLeafRecMask, Params.RecMask);
  node[kLeafDupMask] = Params.DupMask;
  node[kLeafTrailMask] = Params.TrailMask;
  node[kLeafRecBits] = Params.RecBits;
  node[kLeafDupBits] = Params.DupBits;
  node[kLeafTrailBits] = Params.TrailBits;
  node[kLeafEntryBytes] = Params.EntryBytes;

  const int B = Params.EntryBytes;
  const int totalBits = 8 * B;
  const int trailShift = totalBits - Params.TrailBits;
  const int dupShift = trailShift - Params.DupBits;
  const int entriesEnd = kCdxLeafHeaderSize + static_cast<int>(Entries.size()) * B;
  int keyPos = kCdxBlockSize;
  std::string prev;
  for (size_t i = 0; i < Entries.size(); ++i) {
    const CdxLeafEntry& e = Entries[i];
    if (e.Key.size() > static_cast<size_t>(keyLength)) cvIndexLimit("CDX key", "no longer than its key length");
    if (e.RecNo < 0 || static_cast<uint32_t>(e.RecNo) > Params.RecMask)
      cvIndexLimit("CDX record number", "inside the leaf's record mask");
    std::string cur = LeafDiskForm(e.Key, kind);
    const size_t dup = std::min<size_t>(CommonPrefix(prev, cur), Params.DupMask);
    const size_t trail = static_cast<size_t>(keyLength) - cur.size();
    if (trail > Params.TrailMask) cvIndexLimit("CDX leaf parameters", "suited to the key length");
    const int stored = static_cast<int>(cur.size() - dup);
    keyPos -= stored;
    if (keyPos < entriesEnd) cvIndexLimit("CDX leaf", "at most 488 bytes of keys");
    std::memcpy(node + keyPos, cur.data() + dup, static_cast<size_t>(stored));
    uint64_t v = static_cast<uint32_t>(e.RecNo);
    v |= static_cast<uint64_t>(dup) << dupShift;
    v |= static_cast<uint64_t>(trail) << trailShift;
    uint8_t* at = node + kCdxLeafHeaderSize + static_cast<int>(i) * B;
    for (int b = 0; b < B; ++b) at[b] = static_cast<uint8_t>(v >> (8 * b));
    prev = std::move(cur);
  }
  cvStoreLE16(node + kLeafFree, static_cast<uint16_t>(keyPos - entriesEnd));
}

CdxLeafNode CdxLeafNode::DecodeFrom(const uint8_t* node, int32_t keyLength, CdxKeyKind kind,
                                    const CdxPageCheck& check) {
  struct Gather : Sink {
    std::vector<CdxLeafEntry>* out;
    void Entry(int32_t, int32_t recNo, std::string_view key) override { out->push_back({std::string(key), recNo}); }
  } gather;
  CdxLeafNode leaf;
  gather.out = &leaf.Entries;
  DecodeEach(node, keyLength, kind, check, leaf, gather);
  return leaf;
}

void CdxLeafNode::DecodeEach(const uint8_t* node, int32_t keyLength, CdxKeyKind kind, const CdxPageCheck& check,
                             CdxLeafNode& leaf, Sink& sink) {
  if (keyLength < 1 || keyLength > kCdxMaxKeyLength) cvIndexCorrupt(check.File);
  leaf.Header = CdxNodeHeader::DecodeFrom(node, check);
  if (!leaf.Header.IsLeaf()) cvIndexCorrupt(check.File);
  CdxLeafParams& p = leaf.Params;
  p.RecMask = cvLoadLE32(node + kLeafRecMask);
  p.DupMask = node[kLeafDupMask];
  p.TrailMask = node[kLeafTrailMask];
  p.RecBits = node[kLeafRecBits];
  p.DupBits = node[kLeafDupBits];
  p.TrailBits = node[kLeafTrailBits];
  p.EntryBytes = node[kLeafEntryBytes];
  const int n = leaf.Header.Count;
  const int free = cvLoadLE16(node + kLeafFree);
  if (n == 0) {
    // An empty leaf may carry any (even zero) parameters; only the free
    // count has to agree.
    if (free != kCdxLeafSpace) cvIndexCorrupt(check.File);
    return;
  }
  if (!ParamsSound(p, keyLength)) cvIndexCorrupt(check.File);
  const int B = p.EntryBytes;
  if (n > kCdxLeafSpace / B) cvIndexCorrupt(check.File);
  const int totalBits = 8 * B;
  const int trailShift = totalBits - p.TrailBits;
  const int dupShift = trailShift - p.DupBits;
  const int entriesEnd = kCdxLeafHeaderSize + n * B;
  const auto fill = static_cast<char>(FillByte(kind));
  // The previous key, filled to the key length; eight bytes of slack for
  // the copies below, which move whole words.
  char full[kCdxMaxKeyLength + 8];
  std::memset(full, fill, sizeof full);
  // The previous key's bytes end here; what lies past it is filled only
  // when a key shares more than that.
  int previousEnd = keyLength;
  int keyPos = kCdxBlockSize;
  std::string key;
  // Where the first zero byte of the key in `full` lies (keyLength: none).
  // Keys share their leading bytes with the key before: only the bytes
  // that changed need a look.
  int zeroAt = keyLength;
  for (int i = 0; i < n; ++i) {
    const uint8_t* at = node + kCdxLeafHeaderSize + i * B;
    uint64_t v = 0;
    if (at + 8 <= node + kCdxBlockSize) {
      // One load of eight bytes, cut to the entry's.
      v = LoadLE64(at);
      if (B < 8) v &= (uint64_t{1} << (8 * B)) - 1;
    } else {
      for (int b = 0; b < B; ++b) v |= static_cast<uint64_t>(at[b]) << (8 * b);
    }
    const auto rec = static_cast<uint32_t>(v & p.RecMask);
    const auto dup = static_cast<int>((v >> dupShift) & p.DupMask);
    const auto trail = p.TrailBits == 0 ? 0 : static_cast<int>((v >> trailShift) & p.TrailMask);
    const int stored = keyLength - dup - trail;
    if (stored < 0) cvIndexCorrupt(check.File);
    keyPos -= stored;
    if (keyPos < entriesEnd) cvIndexCorrupt(check.File);
    if (dup > previousEnd) std::memset(full + previousEnd, fill, static_cast<size_t>(dup - previousEnd));
    // A key's few bytes go word by word (a library call costs more than
    // the copy); the last word may run past the key, into bytes that are
    // read only once filled.
    if (keyPos + stored + 8 <= kCdxBlockSize) {
      for (int j = 0; j < stored; j += 8) std::memcpy(full + dup + j, node + keyPos + j, 8);
    } else {
      std::memcpy(full + dup, node + keyPos, static_cast<size_t>(stored));
    }
    previousEnd = keyLength - trail;
    size_t len = static_cast<size_t>(keyLength - trail);
    const char* k = full;
    switch (kind) {
      case CdxKeyKind::Character: {
        // Character keys end at their first zero byte and lose trailing
        // blanks.  The filled tail holds blanks, never a zero.
        if (zeroAt >= dup) {
          // A few bytes as a rule: a plain loop beats a library call.
          zeroAt = keyLength;
          for (int j = dup; j < dup + stored; ++j)
            if (k[j] == '\0') {
              zeroAt = j;
              break;
            }
        }
        len = std::min(len, static_cast<size_t>(zeroAt));
        while (len > 0 && k[len - 1] == ' ') --len;
        break;
      }
      case CdxKeyKind::Numeric:
        while (len > 0 && k[len - 1] == '\0') --len;
        if (len > 8) cvIndexCorrupt(check.File);
        break;
      case CdxKeyKind::General:
        // The entry's length is the key's end: accent bytes of value 0 are
        // part of the key.
        key.assign(k, len);
        RestoreAccents(key, key.size());
        k = key.data();
        len = key.size();
        break;
    }
    sink.Entry(0, static_cast<int32_t>(rec), std::string_view(k, len));
  }
  if (free != keyPos - entriesEnd) cvIndexCorrupt(check.File);
}

void CdxEncodeEmptyRoot(uint8_t* node, int32_t keyLength, int64_t maxRecord) {
  CdxLeafNode leaf;
  leaf.Header = CdxNodeHeader{kCdxAttrLeaf | kCdxAttrRoot, 0, -1, -1};
  leaf.Params = CdxLeafParams::For(keyLength, maxRecord);
  leaf.EncodeTo(node, keyLength, CdxKeyKind::Character);
}

// ---------------------------------------------------------------------------
// Interior nodes

void CdxInteriorNode::EncodeTo(uint8_t* node, int32_t keyLength, CdxKeyKind kind) const {
  CheckKeyLength(keyLength);
  const int32_t max = CdxMaxInteriorEntries(keyLength);
  if (Entries.size() > static_cast<size_t>(max)) cvIndexLimit("CDX interior node", "at most its maximum of entries");
  std::memset(node, 0, kCdxBlockSize);
  CdxNodeHeader h = Header;
  h.Attributes = static_cast<uint16_t>(Header.Attributes & kCdxAttrRoot);
  h.Count = static_cast<uint16_t>(Entries.size());
  h.EncodeTo(node);
  const int entryLength = CdxEntryLength(keyLength);
  const uint8_t fill = FillByte(kind);
  for (size_t i = 0; i < Entries.size(); ++i) {
    const CdxInteriorEntry& e = Entries[i];
    if (e.Key.size() > static_cast<size_t>(keyLength)) cvIndexLimit("CDX key", "no longer than its key length");
    uint8_t* at = node + kCdxNodeHeaderSize + static_cast<int>(i) * entryLength;
    std::memset(at, fill, static_cast<size_t>(keyLength));
    for (size_t k = 0; k < e.Key.size(); ++k) {
      auto c = static_cast<uint8_t>(e.Key[k]);
      if (kind == CdxKeyKind::General && c >= kAccentBase) c &= 0x0F;
      at[k] = c;
    }
    cvStoreBE32(at + keyLength, static_cast<uint32_t>(e.RecNo));
    cvStoreBE32(at + keyLength + 4, static_cast<uint32_t>(e.Child));
  }
}

CdxInteriorNode CdxInteriorNode::DecodeFrom(const uint8_t* node, int32_t keyLength, CdxKeyKind kind,
                                            const CdxPageCheck& check) {
  if (keyLength < 1 || keyLength > kCdxMaxKeyLength) cvIndexCorrupt(check.File);
  CdxInteriorNode in;
  in.Header = CdxNodeHeader::DecodeFrom(node, check);
  if (in.Header.IsLeaf()) cvIndexCorrupt(check.File);
  if (in.Header.Count > CdxMaxInteriorEntries(keyLength)) cvIndexCorrupt(check.File);
  const int entryLength = CdxEntryLength(keyLength);
  in.Entries.reserve(in.Header.Count);
  for (int i = 0; i < in.Header.Count; ++i) {
    const uint8_t* at = node + kCdxNodeHeaderSize + i * entryLength;
    CdxInteriorEntry e;
    e.Key.assign(reinterpret_cast<const char*>(at), static_cast<size_t>(keyLength));
    e.RecNo = static_cast<int32_t>(cvLoadBE32(at + keyLength));
    const uint32_t child = cvLoadBE32(at + keyLength + 4);
    check.Check(static_cast<int64_t>(child));
    e.Child = static_cast<int32_t>(child);
    if (kind == CdxKeyKind::Numeric) {
      e.Key.resize(std::min<size_t>(e.Key.size(), 8));
      while (!e.Key.empty() && e.Key.back() == '\0') e.Key.pop_back();
    } else if (kind == CdxKeyKind::General) {
      size_t end = e.Key.size();
      while (end > 0 && e.Key[end - 1] == ' ') --end;
      RestoreAccents(e.Key, end);
    }
    in.Entries.push_back(std::move(e));
  }
  return in;
}

// ---------------------------------------------------------------------------
// Key forms

CdxKeyKind CdxKindOf(char keyType, CVsetCDXCollateType collation) {
  if (keyType == 'N' || keyType == 'D') return CdxKeyKind::Numeric;
  return collation == CVsetCDXCollateType::General ? CdxKeyKind::General : CdxKeyKind::Character;
}

std::string CdxMachineKey(std::string_view text, bool forStorage) {
  std::string s(text);
  if (forStorage)
    while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

namespace {
// The weights and the accents of a text under the GENERAL collation.
void GeneralParts(std::string_view text, std::string& weights, std::string* accents) {
  weights.reserve(text.size() * 2);
  if (accents) accents->reserve(text.size() * 2);
  for (char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    const uint8_t w = kWeights[c];
    const uint8_t a = kAccents[c];
    const bool ligature = (w == 0 || w == 6 || w == 12 || w == 18) && kLigatures[w + 1] != 0;
    if (ligature) {
      weights.push_back(static_cast<char>(kLigatures[w + 2]));
      weights.push_back(static_cast<char>(kLigatures[w + 4]));
    } else {
      weights.push_back(static_cast<char>(w));
    }
    if (!accents) continue;
    if (a == 0x80 && ligature) {
      accents->push_back(static_cast<char>(kAccentBase | kLigatures[w + 3]));
      accents->push_back(static_cast<char>(kAccentBase | kLigatures[w + 5]));
    } else {
      accents->push_back(static_cast<char>(kAccentBase | a));
    }
  }
}
}  // namespace

std::string CdxGeneralKey(std::string_view text, int32_t keyLength) {
  std::string weights;
  std::string accents;
  GeneralParts(text, weights, &accents);
  std::string key = weights + accents;
  // A ligature gives two weights and two accents: the key may outgrow the
  // tag's key length and is cut there.
  if (keyLength > 0 && key.size() > static_cast<size_t>(keyLength)) key.resize(static_cast<size_t>(keyLength));
  while (!key.empty() && static_cast<uint8_t>(key.back()) == kAccentBase) key.pop_back();
  return key;
}

std::string CdxGeneralWeights(std::string_view text) {
  std::string weights;
  GeneralParts(text, weights, nullptr);
  return weights;
}

std::string CdxNumericKey(double value) {
  if (value == 0) value = 0.0;  // -0 and 0 are one key
  uint64_t u = cvDoubleBits(value);
  if (u >> 63) u = ~u;
  else u |= uint64_t{1} << 63;
  std::string key(8, '\0');
  for (int i = 0; i < 8; ++i) key[static_cast<size_t>(i)] = static_cast<char>(u >> (56 - 8 * i));
  while (!key.empty() && key.back() == '\0') key.pop_back();
  return key;
}

double CdxNumericValue(std::string_view key, std::string_view file) {
  if (key.size() > 8) cvIndexCorrupt(file);
  if (key.empty()) return 0.0;
  uint64_t u = 0;
  for (size_t i = 0; i < key.size(); ++i) u |= static_cast<uint64_t>(static_cast<uint8_t>(key[i])) << (56 - 8 * i);
  if (u >> 63) u &= ~(uint64_t{1} << 63);
  else u = ~u;
  return cvBitsDouble(u);
}

std::string CdxDateKey(int32_t julianDay) { return CdxNumericKey(static_cast<double>(julianDay)); }
