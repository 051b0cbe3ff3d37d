// Walkers of index trees written from the file formats alone, for the tests
// that check what was written: each starts at the root the file names and
// follows what a page says (a count, then that many entries with their
// children, and for NTX, NDX and MDX one more child to the right), never the
// engine's own reading of a page.  The walk gathers every key in the order
// met and notes each page that another reader could not follow: a page
// below the root without a key (such readers take it for the end of the
// tree), leaves at several depths, keys out of order, and for CDX sibling
// links that do not name the neighbours of a level.
//
// The bookkeeping walkers read the fields a program that adds pages relies
// on, from the bytes at their offsets: the next free block of NDX and MDX
// (the file's block count), the unused-page and free-list words of NTX and
// CDX (always 0: pages are never reused), whole pages, and the page chain
// of each MDX tag (the word at 4 of each node, back from the tag header's
// last block to its first), which must hold every page of the tag's tree
// once and end.
#pragma once

#include <cctype>
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
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> b(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
  b.resize(static_cast<size_t>(in.gcount()));
  return b;
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
  // Every page met (block number or offset, as the kind addresses pages).
  std::vector<int64_t> pageList;
  bool descending = false;  // keys stored in descending order
  // NTX: a leaf whose keys all went may stay, empty, where its parent's key
  // still follows it (or, after the rightmost child left, at the very end);
  // a walk in key order meets nothing there and goes on.
  bool emptyLeavesAllowed = false;

  void Page(int depth, bool leaf, size_t keysOnPage, bool root, int64_t where) {
    ++pages;
    pageList.push_back(where);
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

// The tree of tag `tag` of the index file `p`, walked by the kind its name
// ends in (the tag is the file itself for NTX and NDX).
inline Shape TagShape(const std::filesystem::path& p, const std::string& tag, bool emptyLeavesAllowed = false) {
  std::string ext = p.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".ntx") return NtxShape(p, emptyLeavesAllowed);
  if (ext == ".ndx") return NdxShape(p);
  if (ext == ".mdx") return MdxShape(p, MdxTagBlock(p, tag));
  return CdxShape(p, CdxTagOffset(p, tag));
}

// --- Bookkeeping -------------------------------------------------------------

inline uint32_t Le32(const std::vector<uint8_t>& b, int64_t at) {
  if (at < 0 || at + 4 > static_cast<int64_t>(b.size())) return 0xFFFFFFFFu;
  const auto i = static_cast<size_t>(at);
  return b[i] | (b[i + 1] << 8) | (b[i + 2] << 16) | (static_cast<uint32_t>(b[i + 3]) << 24);
}

inline uint16_t Le16(const std::vector<uint8_t>& b, int64_t at) {
  if (at < 0 || at + 2 > static_cast<int64_t>(b.size())) return 0xFFFF;
  const auto i = static_cast<size_t>(at);
  return static_cast<uint16_t>(b[i] | (b[i + 1] << 8));
}

// NTX: whole 1024-byte pages, the header's unused-page word (8) 0, every
// page of the tree inside the file.  Empty when sound.
inline std::string NtxBookkeeping(const std::filesystem::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  const auto size = static_cast<int64_t>(b.size());
  std::string v;
  if (size % 1024 != 0) v += "file of " + std::to_string(size) + " bytes is not whole pages; ";
  if (Le32(b, 8) != 0) v += "unused-page word " + std::to_string(Le32(b, 8)) + "; ";
  for (int64_t off : NtxShape(p, true).pageList)
    if (off < 1024 || off % 1024 != 0 || off + 1024 > size) v += "page " + std::to_string(off) + " outside; ";
  return v;
}

// NDX: whole 512-byte blocks; the header's next free block (4) is the
// file's block count; every block of the tree inside the file.
inline std::string NdxBookkeeping(const std::filesystem::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  const auto size = static_cast<int64_t>(b.size());
  std::string v;
  if (size % 512 != 0) v += "file of " + std::to_string(size) + " bytes is not whole blocks; ";
  if (Le32(b, 4) != size / 512)
    v += "next free block " + std::to_string(Le32(b, 4)) + " of " + std::to_string(size / 512) + " blocks; ";
  // Numeric and date keys (type 1) say 8 bytes and take entries of 20.
  const int keyType = Le16(b, 16), keyLength = Le16(b, 12), entryLength = Le16(b, 18);
  if (keyType > 1 || entryLength != (keyType == 1 ? 20 : (keyLength + 8 + 3) / 4 * 4) ||
      (keyType == 1 && keyLength != 8) || entryLength == 0 || Le16(b, 14) != 504 / entryLength)
    v += "header fields; ";
  for (int64_t block : NdxShape(p).pageList)
    if (block < 1 || (block + 1) * 512 > size) v += "block " + std::to_string(block) + " outside; ";
  return v;
}

// MDX: whole blocks; the file header's next free block (32) is the file's
// block count; for each tag of the tag table (count at 28, entries of 32
// bytes from 544, header block at 0): its header inside the file, and its
// page chain followed back from the last block (252) through the word at 4
// of each page to 0, ending at the first block (248), no page twice, every
// page of the tag's tree on it and no page on two tags' chains or on a
// tag header.  Empty when sound.
inline std::string MdxBookkeeping(const std::filesystem::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  const auto size = static_cast<int64_t>(b.size());
  const int64_t blocks = size / 512;
  std::string v;
  if (size % 512 != 0) v += "file of " + std::to_string(size) + " bytes is not whole blocks; ";
  if (Le32(b, 32) != blocks)
    v += "next free block " + std::to_string(Le32(b, 32)) + " of " + std::to_string(blocks) + " blocks; ";
  if (b.size() < 2048 || b[0] != 2 || Le16(b, 20) != 2 || Le16(b, 22) != 1024 || b[24] != 1 || b[25] != 48 ||
      Le16(b, 26) != 32)
    return v + "file header fields; ";
  auto isPage = [&](int64_t block) { return block >= 4 && block % 2 == 0 && block + 2 <= blocks; };
  const int tags = Le16(b, 28);
  if (tags > 47) return v + std::to_string(tags) + " tags; ";
  // The tag table: entries chained from the list head in name order.
  std::set<int> listed;
  std::string prevName;
  for (int i = b[512 + 17]; i != 0; i = b[512 + 32 * i + 17]) {
    if (i > tags || !listed.insert(i).second) {
      v += "tag table chain reaches entry " + std::to_string(i) + "; ";
      break;
    }
    const std::string name(reinterpret_cast<const char*>(b.data() + 512 + 32 * i + 4));
    if (name <= prevName) v += "tag " + name + " out of name order; ";
    prevName = name;
  }
  if (static_cast<int>(listed.size()) != tags)
    v += "tag table chain holds " + std::to_string(listed.size()) + " entries; ";
  std::set<int64_t> headers;
  for (int i = 1; i <= tags; ++i) headers.insert(Le32(b, 512 + 32 * i));
  if (static_cast<int>(headers.size()) != tags) v += "tags share a header page; ";
  std::map<int64_t, int64_t> chained;  // page -> header block of the chain it is on
  for (int i = 1; i <= tags; ++i) {
    const uint8_t* e = b.data() + 512 + 32 * i;
    const int64_t header = Le32(b, 512 + 32 * i);
    const std::string tag = "tag at " + std::to_string(header) + ": ";
    if (!isPage(header)) {
      v += tag + "header outside; ";
      continue;
    }
    // The tag header's fields as the key gives them.
    const uint8_t* th = b.data() + header * 512;
    const int keyLength = Le16(b, header * 512 + 12);
    const int entryLength = (keyLength + 4 + 3) / 4 * 4;
    const bool unique = th[23] == 0x40;
    const bool hasFor = th[762] != 0;
    if (e[19] != 2 || e[20] != th[9] || (th[9] != 'C' && th[9] != 'N' && th[9] != 'D') ||
        (th[8] & ~0x08) != (unique ? 0x50 : 0x10) || (th[23] != 0 && !unique) ||
        Le16(b, header * 512 + 18) != entryLength || Le16(b, header * 512 + 14) != 1016 / entryLength - 1 ||
        th[245] != (hasFor ? 1 : 0) || th[246] != 1 || !isPage(Le32(b, header * 512)))
      v += tag + "header fields; ";
    const int64_t first = Le32(b, header * 512 + 248);
    const int64_t last = Le32(b, header * 512 + 252);
    std::set<int64_t> chain;
    int64_t at = last;
    for (;;) {
      if (!isPage(at) || headers.count(at)) {
        v += tag + "chain reaches block " + std::to_string(at) + "; ";
        break;
      }
      if (!chain.insert(at).second) {
        v += tag + "chain loops at block " + std::to_string(at) + " after " + std::to_string(chain.size()) + " pages; ";
        break;
      }
      const auto [other, fresh] = chained.emplace(at, header);
      if (!fresh && other->second != header)
        v += tag + "block " + std::to_string(at) + " also on the chain of " + std::to_string(other->second) + "; ";
      const int64_t prev = Le32(b, at * 512 + 4);
      if (prev == 0) {
        if (at != first)
          v += tag + "chain ends at " + std::to_string(at) + ", not at its first block " + std::to_string(first) + "; ";
        break;
      }
      at = prev;
    }
    const Shape s = MdxShape(p, static_cast<int32_t>(header));
    int64_t missing = 0;
    for (int64_t page : s.pageList) missing += chain.count(page) == 0;
    if (missing > 0)
      v += tag + std::to_string(missing) + " of " + std::to_string(s.pageList.size()) + " tree pages off the chain; ";
  }
  return v;
}

// CDX: whole 512-byte blocks; the free-list word (4) of the tag list's
// header and of every tag header 0; every page of every tree inside the
// file, none in two trees or on a tag header.  Empty when sound.
inline std::string CdxBookkeeping(const std::filesystem::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  const auto size = static_cast<int64_t>(b.size());
  std::string v;
  if (size % 512 != 0) v += "file of " + std::to_string(size) + " bytes is not whole blocks; ";
  std::vector<int64_t> headers{0};
  for (const auto& [key, offset] : CdxShape(p, 0).entries) headers.push_back(offset);
  std::map<int64_t, int64_t> owner;  // page -> header offset of the tag it belongs to
  for (int64_t h : headers) owner.emplace(h, h), owner.emplace(h + 512, h);
  for (int64_t h : headers) {
    const std::string tag = "tag at " + std::to_string(h) + ": ";
    if (h % 512 != 0 || h + 1024 > size) {
      v += tag + "header outside; ";
      continue;
    }
    if (Le32(b, h + 4) != 0) v += tag + "free list " + std::to_string(Le32(b, h + 4)) + "; ";
    const uint8_t options = b[static_cast<size_t>(h) + 14];
    if ((h == 0 ? options != 0xE0 : (options & 0xE0) != 0x60) || b[static_cast<size_t>(h) + 15] < 1 ||
        b[static_cast<size_t>(h) + 15] > 2 || Le16(b, h + 502) > 1)
      v += tag + "header fields; ";
    for (int64_t page : CdxShape(p, static_cast<int32_t>(h)).pageList) {
      if (page % 512 != 0 || page + 512 > size) v += tag + "page " + std::to_string(page) + " outside; ";
      const auto [other, fresh] = owner.emplace(page, h);
      if (!fresh && other->second != h)
        v += tag + "page " + std::to_string(page) + " also belongs to " + std::to_string(other->second) + "; ";
    }
  }
  return v;
}

}  // namespace index_walk
