// Walkers of index trees written from the file formats alone, for the tests
// that check what was written: each starts at the root the file names and
// follows what a page says (a count, then that many entries with their
// children, and for NTX, NDX and MDX one more child to the right), never the
// engine's own reading of a page.  The walk gathers every key in the order
// met and notes each page that another reader could not follow: a page
// below the root without a key (such readers take it for the end of the
// tree), leaves at several depths, keys out of order, and for CDX sibling
// links that do not name the neighbours of a level.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dbf_engine/index/cdx_format.h"
#include "dbf_engine/index/mdx_format.h"
#include "dbf_engine/index/ndx_format.h"
#include "dbf_engine/index/ntx_format.h"

namespace index_walk {

inline std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// What a walk of one tree found.
struct Shape {
  int64_t keys = 0;
  int64_t pages = 0;
  int64_t interiorPages = 0;
  std::set<int> leafDepths;
  std::vector<std::string> faults;
  // Every key (as stored) with its record, in the order the walk met them.
  std::vector<std::pair<std::string, int32_t>> entries;
  bool descending = false;  // keys stored in descending order
  // NTX: a leaf whose keys all went may stay, empty, where its parent's key
  // still follows it (or, after the rightmost child left, at the very end);
  // a walk in key order meets nothing there and goes on.
  bool emptyLeavesAllowed = false;

  void Page(int depth, bool leaf, size_t keysOnPage, bool root, int64_t where) {
    ++pages;
    if (leaf) leafDepths.insert(depth);
    else ++interiorPages;
    if (!root && keysOnPage == 0 && !(leaf && emptyLeavesAllowed))
      faults.push_back((leaf ? "keyless leaf at " : "keyless interior page at ") + std::to_string(where));
  }
  void Key(const std::string& key, int32_t recNo) {
    ++keys;
    if (!entries.empty() && (descending ? key > entries.back().first : key < entries.back().first) &&
        faults.size() < 20)
      faults.push_back("key out of order at record " + std::to_string(recNo));
    entries.emplace_back(key, recNo);
  }
  // Empty when the tree is sound and holds `expected` keys (and, unless
  // -1, `pagesWritten` pages).
  std::string Verdict(int64_t expected, int64_t pagesWritten = -1) const {
    std::string v;
    for (const auto& f : faults) v += f + "; ";
    if (keys != expected) v += "keys " + std::to_string(keys) + " of " + std::to_string(expected) + "; ";
    if (leafDepths.size() > 1) v += "leaves at several depths; ";
    if (pagesWritten >= 0 && pages != pagesWritten)
      v += "pages " + std::to_string(pages) + " of " + std::to_string(pagesWritten) + "; ";
    return v;
  }
};

// NTX: header of 1024 bytes, then 1024-byte pages; interior keys count
// (each between the children it separates).  With `emptyLeavesAllowed`
// the tree may hold empty leaves (see Shape).
inline Shape NtxShape(const std::filesystem::path& p, bool emptyLeavesAllowed = false) {
  const std::vector<uint8_t> b = ReadAll(p);
  const int64_t size = static_cast<int64_t>(b.size());
  const NtxHeader h = NtxHeader::DecodeFrom(b.data(), size, "x");
  Shape s;
  s.emptyLeavesAllowed = emptyLeavesAllowed;
  std::function<void(int32_t, int)> walk = [&](int32_t off, int depth) {
    const NtxPage pg = NtxPage::DecodeFrom(b.data() + off, h, size, "x");
    const bool leaf = pg.IsLeaf();
    s.Page(depth, leaf, pg.Entries.size(), depth == 0, off);
    for (const NtxEntry& e : pg.Entries) {
      if (!leaf) walk(e.Child, depth + 1);
      s.Key(e.Key, e.RecNo);
    }
    if (!leaf) walk(pg.RightChild, depth + 1);
  };
  walk(h.Root, 0);
  return s;
}

// NDX: 512-byte blocks, header in block 0; keys only in leaves.
inline Shape NdxShape(const std::filesystem::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  const int64_t size = static_cast<int64_t>(b.size());
  const NdxHeader h = NdxHeader::DecodeFrom(b.data(), size, "x");
  Shape s;
  std::function<void(int32_t, int)> walk = [&](int32_t block, int depth) {
    const NdxNode nd = NdxNode::DecodeFrom(b.data() + static_cast<int64_t>(block) * 512, h, size, "x");
    const bool leaf = nd.IsLeaf();
    s.Page(depth, leaf, nd.Entries.size(), depth == 0, block);
    if (leaf) {
      for (const NdxEntry& e : nd.Entries) s.Key(e.Key, e.RecNo);
      return;
    }
    for (const NdxEntry& e : nd.Entries) walk(e.Child, depth + 1);
    walk(nd.RightChild, depth + 1);
  };
  walk(h.Root, 0);
  return s;
}

// The header block of the MDX tag `name` (0 when there is none).
inline int32_t MdxTagBlock(const std::filesystem::path& p, const std::string& name) {
  const std::vector<uint8_t> b = ReadAll(p);
  const MdxFileHeader fh = MdxFileHeader::DecodeFrom(b.data(), static_cast<int64_t>(b.size()), "x");
  for (const MdxTagEntry& t : fh.Tags)
    if (t.Name == name) return t.HeaderBlock;
  return 0;
}

// MDX: a file header, a tag header page, then pages; keys only in leaves.
inline Shape MdxShape(const std::filesystem::path& p, int32_t tagHeaderBlock) {
  const std::vector<uint8_t> b = ReadAll(p);
  const int64_t size = static_cast<int64_t>(b.size());
  const MdxFileHeader fh = MdxFileHeader::DecodeFrom(b.data(), size, "x");
  const MdxTagHeader th =
      MdxTagHeader::DecodeFrom(b.data() + static_cast<int64_t>(tagHeaderBlock) * 512, fh, size, "x");
  Shape s;
  s.descending = th.Descending;
  std::function<void(int32_t, int)> walk = [&](int32_t block, int depth) {
    const MdxNode nd = MdxNode::DecodeFrom(b.data() + static_cast<int64_t>(block) * 512, th, fh, size, "x");
    const bool leaf = nd.IsLeaf();
    s.Page(depth, leaf, nd.Entries.size(), depth == 0, block);
    if (leaf) {
      for (const MdxEntry& e : nd.Entries) s.Key(e.Key, e.Link);
      return;
    }
    for (const MdxEntry& e : nd.Entries) walk(e.Link, depth + 1);
    walk(nd.RightChild, depth + 1);
  };
  walk(th.Root, 0);
  return s;
}

// CDX: 512-byte nodes; keys only in leaves; the nodes of each level are
// chained left to right.  Character keys in machine order.
inline Shape CdxShape(const std::filesystem::path& p, int32_t tagHeader) {
  const std::vector<uint8_t> b = ReadAll(p);
  const CdxPageCheck check{static_cast<int64_t>(b.size()), false, "x"};
  const CdxTagHeader th = CdxTagHeader::DecodeFrom(b.data() + tagHeader, check);
  const CdxKeyKind kind = CdxKeyKind::Character;
  Shape s;
  // Per level, the nodes in walk order with their sibling links.
  std::map<int, std::vector<std::pair<int32_t, CdxNodeHeader>>> levels;
  std::function<void(int32_t, int)> walk = [&](int32_t off, int depth) {
    const CdxNodeHeader nh = CdxNodeHeader::DecodeFrom(b.data() + off, check);
    levels[depth].emplace_back(off, nh);
    if (nh.IsLeaf()) {
      const CdxLeafNode leaf = CdxLeafNode::DecodeFrom(b.data() + off, th.KeyLength, kind, check);
      s.Page(depth, true, leaf.Entries.size(), depth == 0, off);
      for (const CdxLeafEntry& e : leaf.Entries) s.Key(e.Key, e.RecNo);
      return;
    }
    const CdxInteriorNode in = CdxInteriorNode::DecodeFrom(b.data() + off, th.KeyLength, kind, check);
    s.Page(depth, false, in.Entries.size(), depth == 0, off);
    for (const CdxInteriorEntry& e : in.Entries) walk(e.Child, depth + 1);
  };
  walk(th.Root, 0);
  for (const auto& [depth, nodes] : levels)
    for (size_t i = 0; i < nodes.size(); ++i) {
      const int32_t left = i == 0 ? -1 : nodes[i - 1].first;
      const int32_t right = i + 1 == nodes.size() ? -1 : nodes[i + 1].first;
      if (nodes[i].second.Left != left || nodes[i].second.Right != right)
        s.faults.push_back("sibling links of node " + std::to_string(nodes[i].first) + " at depth " +
                           std::to_string(depth));
    }
  return s;
}

// The header offset of the CDX tag `name`, from the file's tag list (0 when
// there is none).
inline int32_t CdxTagOffset(const std::filesystem::path& p, const std::string& name) {
  const Shape list = CdxShape(p, 0);
  for (const auto& [key, offset] : list.entries) {
    std::string k = key;
    while (!k.empty() && (k.back() == ' ' || k.back() == '\0')) k.pop_back();
    if (k == name) return offset;
  }
  return 0;
}

}  // namespace index_walk
