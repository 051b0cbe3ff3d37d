// NDX blocks: byte images to values and back.
#include "dbf_engine/index/ndx_format.h"

#include <cstring>

#include "dbf_engine/index/index_format.h"

namespace {

constexpr int kHdrRoot = 0;
constexpr int kHdrNextFree = 4;
constexpr int kHdrKeyLength = 12;
constexpr int kHdrMaxKeys = 14;
constexpr int kHdrKeyType = 16;
constexpr int kHdrEntryLength = 18;
constexpr int kHdrUnique = 23;

constexpr int kNodeCount = 0;
constexpr int kNodeEntries = 4;

// Internal key length of numeric keys (for the entry length only).
constexpr int32_t kNumericKeySpan = 12;
constexpr int32_t kDateKeySpan = 8;

bool LayoutFits(int32_t keyBytes, int32_t entryLength, int32_t maxKeys) {
  return keyBytes >= 1 && entryLength >= keyBytes + 8 && maxKeys >= 2 &&
         static_cast<int64_t>(maxKeys) * entryLength <= kNdxEntryRoom;
}

}  // namespace

bool NdxValidBlock(int64_t block, int64_t fileSize) {
  if (block < 1) return false;
  return fileSize < 0 || (block + 1) * kNdxBlockSize <= fileSize;
}

NdxHeader NdxHeader::ForKey(char keyType, int32_t keyLength) {
  NdxHeader h;
  int32_t span = keyLength;
  if (keyType == 'N' || keyType == 'D') {
    h.KeyType = 1;
    h.KeyLength = 8;
    span = keyType == 'N' ? kNumericKeySpan : kDateKeySpan;
  } else {
    if (keyLength < 1 || keyLength > kNdxMaxKeyLength) cvIndexLimit("NDX key length", "1-240");
    h.KeyType = 0;
    h.KeyLength = keyLength;
  }
  h.EntryLength = cvRoundUp4(span + 8);
  h.MaxKeys = kNdxEntryRoom / h.EntryLength;
  return h;
}

void NdxHeader::EncodeTo(uint8_t* block) const {
  if (KeyExpr.size() >= static_cast<size_t>(kNdxKeyExprSize)) cvIndexLimit("NDX key expression", "at most 487 bytes");
  std::memset(block, 0, kNdxBlockSize);
  cvStoreLE32(block + kHdrRoot, static_cast<uint32_t>(Root));
  cvStoreLE32(block + kHdrNextFree, static_cast<uint32_t>(NextFree));
  cvStoreLE16(block + kHdrKeyLength, static_cast<uint16_t>(KeyLength));
  cvStoreLE16(block + kHdrMaxKeys, static_cast<uint16_t>(MaxKeys));
  cvStoreLE16(block + kHdrKeyType, KeyType);
  cvStoreLE16(block + kHdrEntryLength, static_cast<uint16_t>(EntryLength));
  block[kHdrUnique] = Unique ? 1 : 0;
  cvStoreZText(block + kNdxKeyExprOffset, kNdxKeyExprSize, KeyExpr);
}

NdxHeader NdxHeader::DecodeFrom(const uint8_t* block, int64_t fileSize, std::string_view file) {
  NdxHeader h;
  const uint32_t root = cvLoadLE32(block + kHdrRoot);
  if (!NdxValidBlock(root, fileSize)) cvIndexCorrupt(file);
  h.Root = static_cast<int32_t>(root);
  h.NextFree = static_cast<int32_t>(cvLoadLE32(block + kHdrNextFree));
  h.KeyLength = cvLoadLE16(block + kHdrKeyLength);
  h.MaxKeys = cvLoadLE16(block + kHdrMaxKeys);
  h.KeyType = cvLoadLE16(block + kHdrKeyType);
  h.EntryLength = cvLoadLE16(block + kHdrEntryLength);
  if (h.KeyType > 1) cvIndexCorrupt(file);
  if (h.Numeric() && h.KeyLength != 8) cvIndexCorrupt(file);
  if (!h.Numeric() && h.KeyLength > kNdxMaxKeyLength) cvIndexCorrupt(file);
  if (!LayoutFits(h.KeyBytes(), h.EntryLength, h.MaxKeys)) cvIndexCorrupt(file);
  h.Unique = block[kHdrUnique] != 0;
  if (!cvLoadZText(block + kNdxKeyExprOffset, kNdxKeyExprSize, h.KeyExpr) || h.KeyExpr.empty()) cvIndexCorrupt(file);
  return h;
}

void NdxNode::EncodeTo(uint8_t* block, const NdxHeader& header) const {
  const int32_t kb = header.KeyBytes();
  const int32_t el = header.EntryLength;
  if (!LayoutFits(kb, el, header.MaxKeys)) cvIndexLimit("NDX header", "a valid node layout");
  if (Entries.size() > static_cast<size_t>(header.MaxKeys)) cvIndexLimit("NDX node", "at most its maximum of keys");
  const bool leaf = IsLeaf();
  if (leaf && RightChild != 0) cvIndexLimit("NDX node", "all leaf or all interior entries");
  if (!leaf && RightChild == 0) cvIndexLimit("NDX node", "an interior node with its rightmost child");
  std::memset(block, 0, kNdxBlockSize);
  cvStoreLE32(block + kNodeCount, static_cast<uint32_t>(Entries.size()));
  for (size_t i = 0; i < Entries.size(); ++i) {
    const NdxEntry& e = Entries[i];
    if (e.Key.size() > static_cast<size_t>(kb)) cvIndexLimit("NDX key", "no longer than its key length");
    if (leaf != (e.Child == 0)) cvIndexLimit("NDX node", "all leaf or all interior entries");
    uint8_t* at = block + kNodeEntries + static_cast<int32_t>(i) * el;
    cvStoreLE32(at, static_cast<uint32_t>(e.Child));
    cvStoreLE32(at + 4, static_cast<uint32_t>(e.RecNo));
    std::memset(at + 8, header.Numeric() ? 0 : ' ', static_cast<size_t>(kb));
    std::memcpy(at + 8, e.Key.data(), e.Key.size());
  }
  if (!leaf)
    cvStoreLE32(block + kNodeEntries + static_cast<int32_t>(Entries.size()) * el, static_cast<uint32_t>(RightChild));
}

NdxNode NdxNode::DecodeFrom(const uint8_t* block, const NdxHeader& header, int64_t fileSize, std::string_view file) {
  struct Gather : Sink {
    std::vector<NdxEntry>* out;
    void Entry(int32_t child, int32_t recNo, std::string_view key) override {
      out->push_back(NdxEntry{child, recNo, std::string(key)});
    }
  } gather;
  NdxNode node;
  gather.out = &node.Entries;
  DecodeEach(block, header, fileSize, file, node, gather);
  return node;
}

void NdxNode::DecodeEach(const uint8_t* block, const NdxHeader& header, int64_t fileSize, std::string_view file,
                         NdxNode& node, Sink& sink) {
  const int32_t kb = header.KeyBytes();
  const int32_t el = header.EntryLength;
  if (!LayoutFits(kb, el, header.MaxKeys)) cvIndexCorrupt(file);
  const uint32_t n = cvLoadLE32(block + kNodeCount);
  if (n > static_cast<uint32_t>(header.MaxKeys)) cvIndexCorrupt(file);
  // Only the child of the slot after the last key is read: it lies inside
  // the block even when the node holds the maximum.
  const uint32_t right = cvLoadLE32(block + kNodeEntries + static_cast<int32_t>(n) * el);
  const bool leaf = n == 0 ? right == 0 : cvLoadLE32(block + kNodeEntries) == 0;
  if (!leaf && !NdxValidBlock(right, fileSize)) cvIndexCorrupt(file);
  node.RightChild = leaf ? 0 : static_cast<int32_t>(right);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* at = block + kNodeEntries + static_cast<int32_t>(i) * el;
    const uint32_t child = cvLoadLE32(at);
    const auto rec = static_cast<int32_t>(cvLoadLE32(at + 4));
    if (leaf ? (child != 0 || rec < 1) : !NdxValidBlock(child, fileSize)) cvIndexCorrupt(file);
    sink.Entry(static_cast<int32_t>(child), rec,
               std::string_view(reinterpret_cast<const char*>(at + 8), static_cast<size_t>(kb)));
  }
}

std::string NdxNumericKey(double value) {
  if (value == 0) value = 0.0;  // -0 and 0 are one key
  std::string s(8, '\0');
  cvStoreLEDouble(reinterpret_cast<uint8_t*>(s.data()), value);
  return s;
}

std::string NdxDateKey(int32_t julianDay) {
  const double d = julianDay < 0.1 ? kNdxEmptyDate : static_cast<double>(julianDay);
  return NdxNumericKey(d);
}

double NdxKeyValue(std::string_view key) {
  uint8_t b[8] = {};
  std::memcpy(b, key.data(), key.size() < 8 ? key.size() : 8);
  return cvLoadLEDouble(b);
}
