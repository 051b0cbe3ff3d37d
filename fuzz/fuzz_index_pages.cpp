// Decodes arbitrary bytes as every kind of index header and page (CDX, NTX,
// NDX, MDX): each decode either succeeds or raises the engine's error; what
// decodes is encoded again, which must not fail either.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dbf_engine/index/cdx_format.h"
#include "dbf_engine/index/mdx_format.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/index/ndx_format.h"
#include "dbf_engine/index/ntx_format.h"

namespace {

// A page of `size` bytes from the input, zero-filled past its end.
std::vector<uint8_t> Page(const uint8_t* data, size_t n, size_t size) {
  std::vector<uint8_t> p(size, 0);
  std::memcpy(p.data(), data, n < size ? n : size);
  return p;
}

void Cdx(uint8_t sel, uint8_t arg, const uint8_t* data, size_t n) {
  const int32_t keyLength = 1 + arg % 240;
  const auto kind = static_cast<CdxKeyKind>(sel % 3);
  const CdxPageCheck check{(sel & 4) ? -1 : 64 * 1024, (sel & 8) != 0, "FUZZ.CDX"};
  std::vector<uint8_t> out(1024);
  switch ((sel >> 4) % 4) {
    case 0: {
      const auto p = Page(data, n, 1024);
      const CdxTagHeader h = CdxTagHeader::DecodeFrom(p.data(), check);
      h.EncodeTo(out.data());
      break;
    }
    case 1: {
      const auto p = Page(data, n, 512);
      const CdxLeafNode leaf = CdxLeafNode::DecodeFrom(p.data(), keyLength, kind, check);
      if (!leaf.Entries.empty()) leaf.EncodeTo(out.data(), keyLength, kind);
      for (const CdxLeafEntry& e : leaf.Entries)
        if (kind == CdxKeyKind::Numeric) (void)CdxNumericValue(e.Key, "FUZZ.CDX");
      break;
    }
    case 2: {
      const auto p = Page(data, n, 512);
      const CdxInteriorNode in = CdxInteriorNode::DecodeFrom(p.data(), keyLength, kind, check);
      in.EncodeTo(out.data(), keyLength, kind);
      break;
    }
    default: (void)CdxGeneralKey(std::string_view(reinterpret_cast<const char*>(data), n), keyLength); break;
  }
}

void Ntx(uint8_t sel, const uint8_t* data, size_t n) {
  std::vector<uint8_t> out(1024);
  const int64_t size = (sel & 1) ? -1 : 32 * 1024;
  if (sel & 2) {
    const auto p = Page(data, n, 1024);
    const NtxHeader h = NtxHeader::DecodeFrom(p.data(), size, "FUZZ.NTX");
    h.EncodeTo(out.data());
  } else {
    // A page under a header made from the first bytes.
    const int32_t keyLength = 1 + (n > 0 ? data[0] : 0);
    const NtxHeader h = NtxHeader::ForKey(keyLength, 0);
    const auto p = Page(n > 1 ? data + 1 : data, n > 1 ? n - 1 : 0, 1024);
    const NtxPage page = NtxPage::DecodeFrom(p.data(), h, size, "FUZZ.NTX");
    page.EncodeTo(out.data(), h);
    for (const NtxEntry& e : page.Entries) (void)NtxNumericValue(e.Key);
  }
}

void Ndx(uint8_t sel, const uint8_t* data, size_t n) {
  std::vector<uint8_t> out(512);
  const int64_t size = (sel & 1) ? -1 : 16 * 1024;
  if (sel & 2) {
    const auto p = Page(data, n, 1024);
    const NdxHeader h = NdxHeader::DecodeFrom(p.data(), size, "FUZZ.NDX");
    h.EncodeTo(out.data());
    const NdxNode node = NdxNode::DecodeFrom(p.data() + 512, h, size, "FUZZ.NDX");
    node.EncodeTo(out.data(), h);
  } else {
    const auto p = Page(data, n, 512);
    const NdxHeader h = NdxHeader::ForKey((sel & 4) ? 'N' : 'C', 1 + (sel >> 3));
    const NdxNode node = NdxNode::DecodeFrom(p.data(), h, size, "FUZZ.NDX");
    node.EncodeTo(out.data(), h);
  }
}

void Mdx(uint8_t sel, const uint8_t* data, size_t n) {
  std::vector<uint8_t> out(4096);
  const int64_t size = (sel & 1) ? -1 : 64 * 1024;
  switch ((sel >> 1) % 4) {
    case 0: {
      const auto p = Page(data, n, 2048);
      const MdxFileHeader h = MdxFileHeader::DecodeFrom(p.data(), size, "FUZZ.MDX");
      h.EncodeTo(out.data());
      break;
    }
    case 1: {
      MdxFileHeader file;
      const auto p = Page(data, n, 2048);
      const MdxTagHeader tag = MdxTagHeader::DecodeFrom(p.data(), file, size, "FUZZ.MDX");
      tag.EncodeTo(out.data());
      const MdxNode node = MdxNode::DecodeFrom(p.data() + 1024, tag, file, size, "FUZZ.MDX");
      node.EncodeTo(out.data(), tag);
      for (const MdxEntry& e : node.Entries)
        if (tag.KeyType == 'N') (void)MdxUnpackNumber(e.Key, "FUZZ.MDX");
      break;
    }
    case 2: {
      MdxFileHeader file;
      const auto p = Page(data, n, 1024);
      const MdxTagHeader tag = MdxTagHeader::ForKey((sel & 16) ? 'N' : 'C', 1 + (sel >> 5));
      const MdxNode node = MdxNode::DecodeFrom(p.data(), tag, file, size, "FUZZ.MDX");
      node.EncodeTo(out.data(), tag);
      break;
    }
    default: {
      const auto p = Page(data, n, 12);
      const std::string key(reinterpret_cast<const char*>(p.data()), 12);
      const double v = MdxUnpackNumber(key, "FUZZ.MDX");
      (void)MdxRoundNumber(v);
      double d;
      std::memcpy(&d, p.data(), sizeof d);
      (void)MdxPackNumber(d);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t format = data[0];
  const uint8_t sel = data[1];
  const uint8_t arg = data[2];
  try {
    switch (format % 4) {
      case 0: Cdx(sel, arg, data + 3, size - 3); break;
      case 1: Ntx(sel, data + 3, size - 3); break;
      case 2: Ndx(sel, data + 3, size - 3); break;
      default: Mdx(sel, data + 3, size - 3); break;
    }
  } catch (const ECorvidError&) {
    // Corrupt input: the expected outcome.
  }
  return 0;
}
