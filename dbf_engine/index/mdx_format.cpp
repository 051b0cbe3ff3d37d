// MDX pages: byte images to values and back.
#include "dbf_engine/index/mdx_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "dbf_engine/index/index_format.h"

namespace {

// File header.
constexpr int kFhVersion = 0;
constexpr int kFhChanged = 1;
constexpr int kFhBaseName = 4;
constexpr int kFhBaseNameSize = 16;
constexpr int kFhBlocksPerPage = 20;
constexpr int kFhPageSize = 22;
constexpr int kFhProduction = 24;
constexpr int kFhMaxTags = 25;
constexpr int kFhEntryLength = 26;
constexpr int kFhTagCount = 28;
constexpr int kFhNextFree = 32;
constexpr int kFhCreated = 44;

// Tag entry.
constexpr int kTeHeaderBlock = 0;
constexpr int kTeName = 4;
constexpr int kTeNameSize = 11;  // ten characters and the zero
constexpr int kTeNext = 17;
constexpr int kTeTwo = 19;
constexpr int kTeKeyType = 20;

// Tag header.
constexpr int kThRoot = 0;
constexpr int kThFlags = 8;
constexpr int kThKeyType = 9;
constexpr int kThKeyLength = 12;
constexpr int kThMaxKeys = 14;
constexpr int kThEntryLength = 18;
constexpr int kThUnique = 23;
constexpr int kThKeyExpr = 24;
constexpr int kThKeyExprSize = kMdxMaxKeyExpr + 1;
constexpr int kThHasFor = 245;
constexpr int kThOne = 246;
constexpr int kThChainFirst = 248;
constexpr int kThChainLast = 252;

constexpr uint8_t kFlagBase = 0x10;
constexpr uint8_t kFlagUnique = 0x40;
constexpr uint8_t kFlagDescending = 0x08;

// Node.
constexpr int kNdCount = 0;
constexpr int kNdPrev = 4;
constexpr int kNdEntries = 8;

// Packed decimal.
constexpr int kPkBias = 52;
constexpr int kPkDigitBytes = 10;
constexpr int kPkMaxExponent = 255 - kPkBias;  // 203
constexpr int kPkMinExponent = -kPkBias;
constexpr int kPkDigits = 15;

bool LayoutFits(int32_t keyLength, int32_t entryLength, int32_t maxKeys, int32_t pageSize) {
  return keyLength >= 1 && entryLength >= keyLength + 4 && maxKeys >= 2 &&
         kNdEntries + (static_cast<int64_t>(maxKeys) + 1) * entryLength <= pageSize;
}

bool KeyLengthSuits(char type, int32_t keyLength) {
  switch (type) {
    case 'C': return keyLength >= 1 && keyLength <= kMdxMaxKeyLength;
    case 'N': return keyLength == kMdxNumericKeyLength;
    case 'D': return keyLength == 8;
    default: return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// File header

void MdxCheckTagName(std::string_view name) {
  if (name.empty() || name.size() > static_cast<size_t>(kMdxMaxTagName) || name.find('\0') != std::string_view::npos)
    cvIndexLimit("MDX tag name", "1-10 characters");
}

void MdxCheckKeyExpression(std::string_view keyExpr) {
  if (keyExpr.empty() || keyExpr.size() > static_cast<size_t>(kMdxMaxKeyExpr) ||
      keyExpr.find('\0') != std::string_view::npos)
    cvIndexLimit("MDX key expression", "1-220 bytes");
}

bool MdxFileHeader::ValidPage(int64_t block, int64_t fileSize) const {
  if (block < kMdxFirstPageBlock) return false;
  return fileSize < 0 || (block + BlocksPerPage) * kMdxBlockSize <= fileSize;
}

void MdxFileHeader::EncodeTo(uint8_t* header) const {
  if (Tags.size() > static_cast<size_t>(kMdxMaxTags)) cvIndexLimit("MDX tag count", "at most 47");
  if (BaseName.size() >= static_cast<size_t>(kFhBaseNameSize)) cvIndexLimit("MDX base name", "at most 15 bytes");
  for (const MdxTagEntry& t : Tags) MdxCheckTagName(t.Name);
  std::memset(header, 0, kMdxHeaderSize);
  header[kFhVersion] = Version;
  std::memcpy(header + kFhChanged, Changed, 3);
  cvStoreZText(header + kFhBaseName, kFhBaseNameSize, BaseName);
  cvStoreLE16(header + kFhBlocksPerPage, static_cast<uint16_t>(BlocksPerPage));
  cvStoreLE16(header + kFhPageSize, static_cast<uint16_t>(PageSize));
  header[kFhProduction] = 1;
  header[kFhMaxTags] = kMdxMaxTagsField;
  cvStoreLE16(header + kFhEntryLength, kMdxTagEntryLength);
  cvStoreLE16(header + kFhTagCount, static_cast<uint16_t>(Tags.size()));
  cvStoreLE32(header + kFhNextFree, static_cast<uint32_t>(NextFreeBlock));
  std::memcpy(header + kFhCreated, Created, 3);
  header[kMdxTagTable + kTeNext] = Tags.empty() ? 0 : 1;
  for (size_t i = 0; i < Tags.size(); ++i) {
    const MdxTagEntry& t = Tags[i];
    uint8_t* e = header + kMdxTagTable + kMdxTagEntryLength * static_cast<int32_t>(i + 1);
    cvStoreLE32(e + kTeHeaderBlock, static_cast<uint32_t>(t.HeaderBlock));
    cvStoreZText(e + kTeName, kTeNameSize, t.Name);
    e[kTeNext] = i + 1 < Tags.size() ? static_cast<uint8_t>(i + 2) : 0;
    e[kTeTwo] = 2;
    e[kTeKeyType] = static_cast<uint8_t>(t.KeyType);
  }
}

MdxFileHeader MdxFileHeader::DecodeFrom(const uint8_t* header, int64_t fileSize, std::string_view file) {
  MdxFileHeader h;
  h.Version = header[kFhVersion];
  std::memcpy(h.Changed, header + kFhChanged, 3);
  if (!cvLoadZText(header + kFhBaseName, kFhBaseNameSize, h.BaseName)) cvIndexCorrupt(file);
  h.BlocksPerPage = cvLoadLE16(header + kFhBlocksPerPage);
  h.PageSize = cvLoadLE16(header + kFhPageSize);
  if (h.BlocksPerPage < 2 || h.BlocksPerPage > 64 || h.PageSize != h.BlocksPerPage * kMdxBlockSize)
    cvIndexCorrupt(file);
  if (cvLoadLE16(header + kFhEntryLength) != kMdxTagEntryLength) cvIndexCorrupt(file);
  const int count = cvLoadLE16(header + kFhTagCount);
  if (count > kMdxMaxTags) cvIndexCorrupt(file);
  h.NextFreeBlock = static_cast<int32_t>(cvLoadLE32(header + kFhNextFree));
  std::memcpy(h.Created, header + kFhCreated, 3);
  h.Tags.reserve(static_cast<size_t>(count));
  for (int i = 1; i <= count; ++i) {
    const uint8_t* e = header + kMdxTagTable + kMdxTagEntryLength * i;
    MdxTagEntry t;
    const uint32_t block = cvLoadLE32(e + kTeHeaderBlock);
    if (!h.ValidPage(block, fileSize)) cvIndexCorrupt(file);
    t.HeaderBlock = static_cast<int32_t>(block);
    if (!cvLoadZText(e + kTeName, kTeNameSize, t.Name) || t.Name.empty()) cvIndexCorrupt(file);
    t.KeyType = static_cast<char>(e[kTeKeyType]);
    h.Tags.push_back(std::move(t));
  }
  return h;
}

// ---------------------------------------------------------------------------
// Tag header

MdxTagHeader MdxTagHeader::ForKey(char keyType, int32_t keyLength, int32_t pageSize) {
  MdxTagHeader h;
  h.KeyType = keyType;
  if (keyType == 'N') h.KeyLength = kMdxNumericKeyLength;
  else if (keyType == 'D') h.KeyLength = 8;
  else h.KeyLength = keyLength;
  if (!KeyLengthSuits(h.KeyType, h.KeyLength)) cvIndexLimit("MDX key length", "1-240");
  h.EntryLength = cvRoundUp4(h.KeyLength + 4);
  h.MaxKeys = (pageSize - kNdEntries) / h.EntryLength - 1;
  return h;
}

void MdxTagHeader::EncodeTo(uint8_t* page, int32_t pageSize) const {
  MdxCheckKeyExpression(KeyExpr);
  const int forSize = pageSize - kMdxForExprOffset;
  if (ForExpr.size() >= static_cast<size_t>(forSize) || ForExpr.find('\0') != std::string::npos)
    cvIndexLimit("MDX FOR expression", "no longer than its field");
  std::memset(page, 0, static_cast<size_t>(pageSize));
  cvStoreLE32(page + kThRoot, static_cast<uint32_t>(Root));
  uint8_t flags = Unique ? static_cast<uint8_t>(kFlagBase | kFlagUnique) : kFlagBase;
  if (Descending) flags |= kFlagDescending;
  page[kThFlags] = flags;
  page[kThKeyType] = static_cast<uint8_t>(KeyType);
  cvStoreLE16(page + kThKeyLength, static_cast<uint16_t>(KeyLength));
  cvStoreLE16(page + kThMaxKeys, static_cast<uint16_t>(MaxKeys));
  cvStoreLE16(page + kThEntryLength, static_cast<uint16_t>(EntryLength));
  page[kThUnique] = Unique ? 0x40 : 0;
  cvStoreZText(page + kThKeyExpr, kThKeyExprSize, KeyExpr);
  page[kThHasFor] = ForExpr.empty() ? 0 : 1;
  page[kThOne] = 1;
  cvStoreLE32(page + kThChainFirst, static_cast<uint32_t>(ChainFirst));
  cvStoreLE32(page + kThChainLast, static_cast<uint32_t>(ChainLast));
  cvStoreZText(page + kMdxForExprOffset, static_cast<size_t>(forSize), ForExpr);
}

MdxTagHeader MdxTagHeader::DecodeFrom(const uint8_t* page, const MdxFileHeader& file, int64_t fileSize,
                                      std::string_view fileName) {
  MdxTagHeader h;
  const uint32_t root = cvLoadLE32(page + kThRoot);
  if (!file.ValidPage(root, fileSize)) cvIndexCorrupt(fileName);
  h.Root = static_cast<int32_t>(root);
  const uint8_t flags = page[kThFlags];
  h.Descending = (flags & kFlagDescending) != 0;
  h.Unique = (flags & kFlagUnique) != 0 || page[kThUnique] != 0;
  h.KeyType = static_cast<char>(page[kThKeyType]);
  h.KeyLength = cvLoadLE16(page + kThKeyLength);
  h.MaxKeys = cvLoadLE16(page + kThMaxKeys);
  h.EntryLength = cvLoadLE16(page + kThEntryLength);
  if (!KeyLengthSuits(h.KeyType, h.KeyLength)) cvIndexCorrupt(fileName);
  if (!LayoutFits(h.KeyLength, h.EntryLength, h.MaxKeys, file.PageSize)) cvIndexCorrupt(fileName);
  if (!cvLoadZText(page + kThKeyExpr, kThKeyExprSize, h.KeyExpr) || h.KeyExpr.empty()) cvIndexCorrupt(fileName);
  if (page[kThHasFor] != 0) {
    if (!cvLoadZText(page + kMdxForExprOffset, static_cast<size_t>(file.PageSize - kMdxForExprOffset), h.ForExpr))
      cvIndexCorrupt(fileName);
  }
  const uint32_t first = cvLoadLE32(page + kThChainFirst);
  const uint32_t last = cvLoadLE32(page + kThChainLast);
  if ((first != 0 && !file.ValidPage(first, fileSize)) || (last != 0 && !file.ValidPage(last, fileSize)))
    cvIndexCorrupt(fileName);
  h.ChainFirst = static_cast<int32_t>(first);
  h.ChainLast = static_cast<int32_t>(last);
  return h;
}

// ---------------------------------------------------------------------------
// Nodes

void MdxNode::EncodeTo(uint8_t* page, const MdxTagHeader& tag, int32_t pageSize) const {
  if (!LayoutFits(tag.KeyLength, tag.EntryLength, tag.MaxKeys, pageSize))
    cvIndexLimit("MDX tag header", "a valid node layout");
  if (Entries.size() > static_cast<size_t>(tag.MaxKeys)) cvIndexLimit("MDX node", "at most its maximum of keys");
  std::memset(page, 0, static_cast<size_t>(pageSize));
  cvStoreLE32(page + kNdCount, static_cast<uint32_t>(Entries.size()));
  cvStoreLE32(page + kNdPrev, static_cast<uint32_t>(PrevBlock));
  const char fill = tag.KeyType == 'C' ? ' ' : '\0';
  for (size_t i = 0; i < Entries.size(); ++i) {
    const MdxEntry& e = Entries[i];
    if (e.Key.size() > static_cast<size_t>(tag.KeyLength)) cvIndexLimit("MDX key", "no longer than its key length");
    if (e.Link == 0) cvIndexLimit("MDX entry", "a record number or child block");
    uint8_t* at = page + kNdEntries + static_cast<int32_t>(i) * tag.EntryLength;
    cvStoreLE32(at, static_cast<uint32_t>(e.Link));
    std::memset(at + 4, fill, static_cast<size_t>(tag.KeyLength));
    std::memcpy(at + 4, e.Key.data(), e.Key.size());
  }
  // In a leaf the slot after the last entry stays zero: that is what tells
  // a leaf from an interior node.
  if (RightChild != 0)
    cvStoreLE32(page + kNdEntries + static_cast<int32_t>(Entries.size()) * tag.EntryLength,
                static_cast<uint32_t>(RightChild));
}

MdxNode MdxNode::DecodeFrom(const uint8_t* page, const MdxTagHeader& tag, const MdxFileHeader& file, int64_t fileSize,
                            std::string_view fileName) {
  struct Gather : Sink {
    std::vector<MdxEntry>* out;
    void Entry(int32_t child, int32_t recNo, std::string_view key) override {
      out->push_back(MdxEntry{child != 0 ? child : recNo, std::string(key)});
    }
  } gather;
  MdxNode node;
  gather.out = &node.Entries;
  node.Entries.reserve(static_cast<size_t>(std::min<uint32_t>(cvLoadLE32(page + kNdCount), 1024)));
  DecodeEach(page, tag, file, fileSize, fileName, node, gather);
  return node;
}

void MdxNode::DecodeEach(const uint8_t* page, const MdxTagHeader& tag, const MdxFileHeader& file, int64_t fileSize,
                         std::string_view fileName, MdxNode& node, Sink& sink) {
  if (!LayoutFits(tag.KeyLength, tag.EntryLength, tag.MaxKeys, file.PageSize)) cvIndexCorrupt(fileName);
  const uint32_t n = cvLoadLE32(page + kNdCount);
  if (n > static_cast<uint32_t>(tag.MaxKeys)) cvIndexCorrupt(fileName);
  const uint32_t prev = cvLoadLE32(page + kNdPrev);
  if (prev != 0 && !file.ValidPage(prev, fileSize)) cvIndexCorrupt(fileName);
  node.PrevBlock = static_cast<int32_t>(prev);
  const uint32_t right = cvLoadLE32(page + kNdEntries + static_cast<int32_t>(n) * tag.EntryLength);
  const bool leaf = right == 0;
  if (!leaf && !file.ValidPage(right, fileSize)) cvIndexCorrupt(fileName);
  node.RightChild = static_cast<int32_t>(right);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* at = page + kNdEntries + static_cast<int32_t>(i) * tag.EntryLength;
    const uint32_t link = cvLoadLE32(at);
    if (leaf ? (link < 1 || link > 0x7FFFFFFFu) : !file.ValidPage(link, fileSize)) cvIndexCorrupt(fileName);
    sink.Entry(leaf ? 0 : static_cast<int32_t>(link), leaf ? static_cast<int32_t>(link) : 0,
               std::string_view(reinterpret_cast<const char*>(at + 4), static_cast<size_t>(tag.KeyLength)));
  }
}

// ---------------------------------------------------------------------------
// Key forms

std::string MdxPackNumber(double value) {
  std::string key(kMdxNumericKeyLength, '\0');
  auto* p = reinterpret_cast<uint8_t*>(key.data());
  const bool negative = value < 0;
  double mag = std::fabs(value);
  std::string digits;
  int e = 0;
  if (std::isnan(value) || mag == 0) {
    // zero
  } else if (std::isinf(mag)) {
    digits.assign(kPkDigits, '9');
    e = kPkMaxExponent;
  } else {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::scientific, kPkDigits - 1);
    const std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    // d.dddddddddddddde[+-]XX
    const size_t ePos = s.find('e');
    for (size_t i = 0; i < ePos; ++i)
      if (s[i] != '.') digits += s[i];
    int x = 0;
    std::from_chars(s.data() + ePos + (s[ePos + 1] == '+' ? 2 : 1), s.data() + s.size(), x);
    e = x + 1;
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (e > kPkMaxExponent) {
      digits.assign(kPkDigits, '9');
      e = kPkMaxExponent;
    } else if (e < kPkMinExponent) {
      digits.clear();
      e = 0;
    }
  }
  if (digits.empty()) {
    p[0] = kPkBias;
    p[1] = 1;
    return key;
  }
  const size_t bytes = (digits.size() + 1) / 2;
  p[0] = static_cast<uint8_t>(e + kPkBias);
  p[1] = static_cast<uint8_t>(bytes * 2 * 4 + 1);
  if (negative) p[1] |= 0x80;
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto d = static_cast<uint8_t>(digits[i] - '0');
    p[2 + i / 2] |= (i % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
  }
  return key;
}

double MdxUnpackNumber(std::string_view key, std::string_view file) {
  if (key.size() < static_cast<size_t>(kMdxNumericKeyLength)) cvIndexCorrupt(file);
  const auto* p = reinterpret_cast<const uint8_t*>(key.data());
  const int e = static_cast<int>(p[0]) - kPkBias;
  const bool negative = (p[1] & 0x80) != 0;
  const int places = (p[1] & 0x7F) >> 2;
  if (places > 2 * kPkDigitBytes) cvIndexCorrupt(file);
  std::string text = "0.";
  bool any = false;
  for (int i = 0; i < places; ++i) {
    const uint8_t b = p[2 + i / 2];
    const uint8_t d = (i % 2 == 0) ? static_cast<uint8_t>(b >> 4) : static_cast<uint8_t>(b & 0x0F);
    if (d > 9) cvIndexCorrupt(file);
    if (d != 0) any = true;
    text += static_cast<char>('0' + d);
  }
  if (!any) return 0.0;
  text += 'e';
  text += std::to_string(e);
  double v = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::scientific);
  return negative ? -v : v;
}

double MdxRoundNumber(double value) { return MdxUnpackNumber(MdxPackNumber(value), std::string_view()); }

std::string MdxDateKey(int32_t julianDay) {
  const double d = julianDay < 0.1 ? kMdxEmptyDate : static_cast<double>(julianDay);
  std::string s(8, '\0');
  cvStoreLEDouble(reinterpret_cast<uint8_t*>(s.data()), d);
  return s;
}

double MdxDateValue(std::string_view key) {
  uint8_t b[8] = {};
  std::memcpy(b, key.data(), key.size() < 8 ? key.size() : 8);
  return cvLoadLEDouble(b);
}
