// Compound index files: CDX tags over the index core.
#include "dbf_engine/index/cdx_index.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_format.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/index/tree_writer.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/string_tools.h"
#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/text.h"

CVsetCDXCollateType CVbytCDXCollateInfo = CVsetCDXCollateType::Machine;

namespace {

constexpr int32_t kCdxTagNameMax = kCdxTagListKeyLength;
// A leaf is split when its keys take this many bytes or more; the keys
// whose running total stays below kCdxSplitLeft go to the new left node.
constexpr int32_t kCdxSplitAt = kCdxLeafSpace;
constexpr int32_t kCdxSplitLeft = 250;

std::string KeyBytes(const TcvVariant& v) { return std::string(v.Bytes()); }

}  // namespace

// ---------------------------------------------------------------------------
// Tags.

CVobjCDXTag::CVobjCDXTag(CVobjIndexFile* owner, const std::string& name, int32_t headerPage)
    : CVobjIndexTag(owner, name) {
  SetFormatName("CDX");
  SetHeaderPage(headerPage);
}

CVobjCDXTag::~CVobjCDXTag() { CloseQuietly(); }

CdxPageCheck CVobjCDXTag::PageCheck() const {
  CdxPageCheck c;
  // Errors name the file with its directory, as every other error does.
  c.File =
      owner_->DiskFile() ? std::string_view(owner_->DiskFile()->FileName()) : std::string_view(owner_->GetFileName());
  if (owner_->DiskFile()) {
    c.PageNumbers = false;
    c.Limit = owner_->KnownFileSize();
  } else {
    // Numbered buffers of a memory index: only the count limits them.
    c.PageNumbers = true;
    c.Limit = owner_->NextAvailPage >= 0 ? owner_->NextAvailPage : -1;
  }
  return c;
}

int64_t CVobjCDXTag::MaxRecord() const {
  if (IsTagList()) {
    // The tag list's "record numbers" are header offsets.
    int64_t size = owner_->DiskFile() ? owner_->DiskFile()->cvFileSize() : 0;
    return std::max<int64_t>({size, owner_->NextAvailPage, 1});
  }
  CVobjIndexTableLink* t = owner_->Table();
  return std::max<int64_t>(t ? t->ixRecordCount() : 0, 1);
}

void CVobjCDXTag::ReadPage(int64_t page, uint8_t* buffer, int32_t length) const {
  if (page < 0 || !owner_->PageRead(page, buffer, length)) cvIndexCorrupt(DiskName());
}

void CVobjCDXTag::WritePage(int64_t page, const uint8_t* buffer, int32_t length) const {
  if (page < 0 || !owner_->PageWrite(page, buffer, length)) cvRaise(cvErrWriteFailed, {DiskName()});
}

void CVobjCDXTag::MakeTagList() {
  Options = kCdxOptCompact | kCdxOptCompound | kCdxOptTagList;
  Collation = CVsetCDXCollateType::NoCollate;
  SetKeyType('C');
}

void CVobjCDXTag::AdjustValue(TcvVariant& key, bool forStorage) {
  // Binary values are keys already in their stored form.
  if (key.Kind() == cvvtBinary) return;
  if (KeyType() == 'N' || KeyType() == 'D') {
    double d = 0;
    switch (key.Kind()) {
      case cvvtFloat: d = key.GetFloat(); break;
      case cvvtDate: d = static_cast<double>(key.GetDate()); break;
      case cvvtBoolean: d = key.GetBoolean() ? 1 : 0; break;
      case cvvtText:
        if (!TextToFloatC(Trim(key.GetString()), d)) d = 0;
        break;
      default: break;
    }
    const std::string k = CdxNumericKey(d);
    key.PutBinary(k.data(), static_cast<int32_t>(k.size()));
    return;
  }
  const bool general = Collation == CVsetCDXCollateType::General && !IsTagList();
  if (key.Kind() == cvvtText && !general) {
    // Text stays text; only the blanks at its end go for storage.
    if (forStorage) key.TrimR();
    return;
  }
  std::string text;
  switch (key.Kind()) {
    case cvvtBoolean: text.assign(1, key.GetBoolean() ? 'T' : 'F'); break;
    case cvvtFloat: text = FloatToShortestC(key.GetFloat()); break;
    default: text = key.GetString(); break;
  }
  if (forStorage)
    while (!text.empty() && text.back() == ' ') text.pop_back();
  if (general) {
    const std::string k = CdxGeneralKey(text, KeyLength());
    key.PutBinary(k.data(), static_cast<int32_t>(k.size()));
  } else {
    key.PutString(text);
  }
}

void CVobjCDXTag::DetermineKeyType() {
  SetKeyType('C');
  if (!keyHandler_) return;
  TcvVariant v;
  try {
    if (!keyHandler_->ExpressionAsVariant(v)) return;
  } catch (const Exception&) {
    return;
  }
  if (v.Kind() == cvvtFloat) SetKeyType('N');
  else if (v.Kind() == cvvtDate) SetKeyType('D');
}

bool CVobjCDXTag::IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                              bool ascending, bool unique) {
  // The two texts share the 512 bytes after the header's first half; more
  // would run into the tag's first node.
  if (!CdxTagHeader::ExpressionsFit(keyExpr, forExpr))
    cvIndexLimit("CDX key and FOR expressions", "at most 510 bytes together");
  CVobjIndexTag::IndexTagNew(name, keyExpr, forExpr, ascending, unique);
  SetDirection(ascending, false);
  if (!IsTagList()) {
    Options = kCdxOptCompact | kCdxOptCompound;
    if (unique) Options |= kCdxOptUnique;
    if (HasFor()) Options |= kCdxOptFor;
  }
  if (keyExpr.empty()) {
    SetKeyType('C');
    SetKeyLength(kCdxTagListKeyLength);
  } else {
    // One trial evaluation gives the key's type and length.  A key that
    // yields nothing cannot be indexed: say so rather than leave an
    // unbuilt tag behind.
    TcvVariant v;
    if (!keyHandler_ || !keyHandler_->ExpressionAsVariant(v)) cvRaise(cvErrConstructBad);
    switch (v.Kind()) {
      case cvvtFloat:
        SetKeyType('N');
        SetKeyLength(8);
        break;
      case cvvtDate:
        SetKeyType('D');
        SetKeyLength(8);
        break;
      case cvvtBoolean:
        SetKeyType('C');
        SetKeyLength(1);
        break;
      default:
        SetKeyType('C');
        SetKeyLength(v.Length());
        if (Collation == CVsetCDXCollateType::General) SetKeyLength(KeyLength() * 2);
        break;
    }
    if (KeyLength() < 1) cvIndexLimit("CDX key length", "1-240 bytes");
  }
  {
    const int32_t maxKeys = KeyLength() <= kCdxMaxKeyLength ? CdxMaxInteriorEntries(KeyLength()) : 2;
    SetKeyShape(KeyLength(), CdxEntryLength(KeyLength()), maxKeys, maxKeys / 2);
  }
  const std::vector<uint8_t> zeros(kCdxTagHeaderSize, 0);
  WritePage(HeaderPage(), zeros.data(), kCdxTagHeaderSize);
  DoIndex();
  return true;
}

bool CVobjCDXTag::KeepsTreeCached() const {
  const CVO_DiskFile* f = owner_->DiskFile();
  return f && !f->IsShared();
}

int32_t CVobjCDXTag::NewRoot() {
  openedCounter_ = -1;
  FollowFile();
  uint8_t b[4];
  ReadPage(HeaderPage(), b, 4);
  const uint32_t root = cvLoadLE32(b);
  owner_->WithFileSize([&](int64_t) { PageCheck().Check(static_cast<int64_t>(root)); });
  SetRootPage(static_cast<int32_t>(root));
  return RootPage();
}

int64_t CVobjCDXTag::CounterOnDisk() {
  uint8_t b[kCdxBlockSize];
  if (!owner_->PageRead(0, b, kCdxBlockSize)) return -1;
  return cvLoadLE32(b + 8);
}

void CVobjCDXTag::TagLoad() {
  uint8_t b[kCdxTagHeaderSize];
  ReadPage(HeaderPage(), b, kCdxTagHeaderSize);
  const CdxTagHeader h = CdxTagHeader::DecodeFrom(b, PageCheck());
  SetRootPage(h.Root);
  ChangeCounter = h.Counter;
  SetKeyLength(h.KeyLength);
  Options = h.Options;
  Collation = h.Collation;
  SetDirection(!h.Descending, false);
  SetUnique(h.Unique());
  SetExpressions(h.KeyExpr, h.ForExpr, !h.ForExpr.empty());
  SetKeyShape(KeyLength(), CdxEntryLength(KeyLength()), CdxMaxInteriorEntries(KeyLength()),
              CdxMaxInteriorEntries(KeyLength()) / 2);
  PostTagExpression();
  PostTagFilter();
  DetermineKeyType();
  SetHeaderDirty(false);
}

void CVobjCDXTag::TagStore() {
  CdxTagHeader h;
  h.Root = RootPage();
  h.Counter = ChangeCounter;
  h.KeyLength = KeyLength();
  h.Options = Options;
  h.Collation = IsTagList() ? CVsetCDXCollateType::NoCollate : Collation;
  h.Descending = !Ascending();
  h.KeyExpr = KeyExpression();
  h.ForExpr = HasFor() ? ForExpression() : std::string();
  uint8_t b[kCdxTagHeaderSize];
  h.EncodeTo(b);
  WritePage(HeaderPage(), b, kCdxTagHeaderSize);
  SetHeaderDirty(false);
}

int32_t CVobjCDXTag::PageLoad(int32_t page, CVobjIndexKey& node) {
  if (TakeTrusted(page, node)) return page;
  uint8_t b[kCdxBlockSize];
  ReadPage(page, b, kCdxBlockSize);
  const std::string_view bytes(reinterpret_cast<const char*>(b), kCdxBlockSize);
  if (ReuseDecoded(page, bytes, node)) return page;
  const CdxKeyKind kind = KeyKind();
  // MACHINE text stays text (partial finds compare it as a prefix); every
  // other key form is binary.
  const TcvVariantType keyKind = kind == CdxKeyKind::Character ? cvvtText : cvvtBinary;
  if (CdxNodeIsLeaf(b, PageCheck())) {
    // The keys go straight into the node's entries.
    struct Fill : CdxLeafNode::Sink {
      CVobjIndexKey* node;
      TcvVariantType kind;
      void Entry(int32_t, int32_t recNo, std::string_view key) override { node->AppendEntry(key, kind, recNo, recNo); }
    } fill;
    fill.node = &node;
    fill.kind = keyKind;
    CdxLeafNode leaf;
    owner_->WithFileSize([&](int64_t) {
      node.ClearEntries();
      CdxLeafNode::DecodeEach(b, KeyLength(), kind, PageCheck(), leaf, fill);
    });
    // Only the root of an empty tag is an empty leaf: emptied nodes leave
    // the tree.  Empty nodes further down would let a walk wander through
    // every path of a corrupt tree that shares its pages.
    if (node.Count() == 0 && node.Parent()) cvIndexCorrupt(DiskName());
    node.PageType = CVsetPageType::Leaf;
    node.LeftSibling = leaf.Header.Left;
    node.RightSibling = leaf.Header.Right;
  } else {
    const CdxInteriorNode in =
        owner_->WithFileSize([&](int64_t) { return CdxInteriorNode::DecodeFrom(b, KeyLength(), kind, PageCheck()); });
    if (in.Entries.empty()) cvIndexCorrupt(DiskName());
    node.PageType = CVsetPageType::Node;
    node.LeftSibling = in.Header.Left;
    node.RightSibling = in.Header.Right;
    node.ReserveEntries(static_cast<int32_t>(in.Entries.size()));
    for (const CdxInteriorEntry& e : in.Entries) node.AppendEntry(e.Key, keyKind, e.RecNo, e.Child);
  }
  NoteDecoded(bytes, node);
  return page;
}

void CVobjCDXTag::LinkSplit(CVobjIndexKey& left, CVobjIndexKey& node) {
  left.LeftSibling = node.LeftSibling;
  left.RightSibling = node.Page;
  if (node.LeftSibling >= 0 && node.LeftSibling != node.Page) {
    // The old left neighbour now points at the new node.
    uint8_t b[kCdxBlockSize];
    ReadPage(node.LeftSibling, b, kCdxBlockSize);
    cvStoreLE32(b + 8, static_cast<uint32_t>(left.Page));
    WritePage(node.LeftSibling, b, kCdxBlockSize);
  }
  node.LeftSibling = left.Page;
}

void CVobjCDXTag::NodeLeaving(CVobjIndexKey& node) {
  // The neighbours of an emptied node point past it to each other, so a
  // walk along the level never meets its page again.
  uint8_t b[kCdxBlockSize];
  if (node.LeftSibling >= 0 && node.LeftSibling != node.Page) {
    ReadPage(node.LeftSibling, b, kCdxBlockSize);
    cvStoreLE32(b + 8, static_cast<uint32_t>(node.RightSibling));
    WritePage(node.LeftSibling, b, kCdxBlockSize);
  }
  if (node.RightSibling >= 0 && node.RightSibling != node.Page) {
    ReadPage(node.RightSibling, b, kCdxBlockSize);
    cvStoreLE32(b + 4, static_cast<uint32_t>(node.LeftSibling));
    WritePage(node.RightSibling, b, kCdxBlockSize);
  }
}

namespace {

CdxLeafNode LeafOf(CVobjIndexKey& node, int32_t keyLength, int64_t maxRecord) {
  CdxLeafNode leaf;
  int64_t maxRec = maxRecord;
  leaf.Entries.reserve(static_cast<size_t>(node.Count()));
  for (int32_t i = 0; i < node.Count(); ++i) {
    const CVobjIndexKeyData& e = node.Entry(i);
    leaf.Entries.push_back({KeyBytes(e), e.Link});
    maxRec = std::max<int64_t>(maxRec, e.Link);
  }
  leaf.Params = CdxLeafParams::For(keyLength, maxRec);
  leaf.Header.Attributes = static_cast<uint16_t>(kCdxAttrLeaf | (node.Parent() ? 0 : kCdxAttrRoot));
  leaf.Header.Left = node.Parent() ? node.LeftSibling : -1;
  leaf.Header.Right = node.Parent() ? node.RightSibling : -1;
  return leaf;
}

CdxInteriorNode InteriorOf(CVobjIndexKey& node) {
  CdxInteriorNode in;
  in.Entries.reserve(static_cast<size_t>(node.Count()));
  for (int32_t i = 0; i < node.Count(); ++i) {
    const CVobjIndexKeyData& e = node.Entry(i);
    in.Entries.push_back({KeyBytes(e), e.RecNo, e.Link});
  }
  in.Header.Attributes = static_cast<uint16_t>(kCdxAttrInterior | (node.Parent() ? 0 : kCdxAttrRoot));
  in.Header.Left = node.Parent() ? node.LeftSibling : -1;
  in.Header.Right = node.Parent() ? node.RightSibling : -1;
  return in;
}

}  // namespace

void CVobjCDXTag::WriteLeaf(CVobjIndexKey& node) {
  const CdxKeyKind kind = KeyKind();
  for (;;) {
    CdxLeafNode leaf = LeafOf(node, KeyLength(), MaxRecord());
    const int32_t total = CdxLeafNode::Measure(leaf.Entries, 0, leaf.Entries.size(), KeyLength(), kind, leaf.Params);
    if (total < kCdxSplitAt || node.Count() < 2) {
      uint8_t b[kCdxBlockSize];
      leaf.EncodeTo(b, KeyLength(), kind);
      WritePage(node.Page, b, kCdxBlockSize);
      return;
    }
    // The keys whose running total stays below 250 bytes move to a new
    // node on the left.
    int32_t n = 0;
    int32_t running = 0;
    while (n < node.Count()) {
      const int32_t cost = CdxLeafNode::EntryCost(
          n == 0 ? std::string_view() : std::string_view(leaf.Entries[static_cast<size_t>(n - 1)].Key),
          leaf.Entries[static_cast<size_t>(n)].Key, KeyLength(), kind, leaf.Params);
      if (running + cost >= kCdxSplitLeft) break;
      running += cost;
      ++n;
    }
    n = std::clamp(n, 1, node.Count() - 1);
    std::unique_ptr<CVobjIndexKey> left = node.SplitFront(n);
    LinkSplit(*left, node);
    CdxLeafNode l = LeafOf(*left, KeyLength(), MaxRecord());
    uint8_t b[kCdxBlockSize];
    l.EncodeTo(b, KeyLength(), kind);
    WritePage(left->Page, b, kCdxBlockSize);
    left->Dirty = false;
  }
}

void CVobjCDXTag::WriteInterior(CVobjIndexKey& node) {
  const CdxKeyKind kind = KeyKind();
  const int32_t max = std::max(CdxMaxInteriorEntries(KeyLength()), 2);
  while (node.Count() > max) {
    std::unique_ptr<CVobjIndexKey> left = node.SplitFront((node.Count() + 1) / 2);
    LinkSplit(*left, node);
    uint8_t b[kCdxBlockSize];
    InteriorOf(*left).EncodeTo(b, KeyLength(), kind);
    WritePage(left->Page, b, kCdxBlockSize);
    left->Dirty = false;
  }
  uint8_t b[kCdxBlockSize];
  InteriorOf(node).EncodeTo(b, KeyLength(), kind);
  WritePage(node.Page, b, kCdxBlockSize);
}

int32_t CVobjCDXTag::PageStore(CVobjIndexKey& node) {
  if (node.Page <= 0) node.Page = owner_->GetAvailPage();
  if (node.IsLeaf()) WriteLeaf(node);
  else WriteInterior(node);
  return node.Page;
}

void CVobjCDXTag::WriteEmptyRoot() {
  SetRootPage(owner_->GetAvailPage());
  uint8_t b[kCdxBlockSize];
  CdxEncodeEmptyRoot(b, KeyLength(), MaxRecord());
  WritePage(RootPage(), b, kCdxBlockSize);
}

void CVobjCDXTag::DoIndex() {
  CloseQuietly();
  if (IsTagList() || KeyExpression().empty()) {
    WriteEmptyRoot();
    SetHeaderDirty(true);
    TagStore();
    return;
  }
  CVobjIndexTableLink* t = owner_->Table();
  const int32_t count = t ? t->ixRecordCount() : 0;
  CVobjSortCDX sorter(this, KeyLength() + 1, Unique());
  if (t) sorter.SetTempDirectory(t->ixTempDirectory());
  if (t) t->ixStatusUpdate(-1, 1, count);
  CVobjIndexKeyData k(0);
  static const uint8_t kNoBytes = 0;
  // A machine-order character key that is a field is taken from the record
  // image as it stands: trailing blanks off and cut to the key length, the
  // bytes the general path below stores.
  const bool plainText = KeyType() == 'C' && Collation != CVsetCDXCollateType::General;
  const size_t width = static_cast<size_t>(std::max(KeyLength(), 0));
  std::string_view text;
  for (int32_t rec = 1; rec <= count; ++rec) {
    if (t->ixReadRecord(rec) && (!HasFor() || SolveFilter())) {
      if (plainText && keyHandler_ && keyHandler_->ExpressionTextView(text)) {
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        if (width > 0 && text.size() > width) text = text.substr(0, width);
        if (text.empty()) sorter.AddBinaryKey(&kNoBytes, 0, rec);
        else sorter.AddBinaryKey(text.data(), static_cast<int32_t>(text.size()), rec);
      } else if (BuildRecordKey(k)) {
        if (k.IsEmpty()) sorter.AddBinaryKey(&kNoBytes, 0, rec);
        else sorter.AddBinaryKey(k.Data(), k.Length(), rec);
      }
    }
    t->ixStatusUpdate(1, rec, 0);
  }
  if (t) t->ixStatusUpdate(0, 0, 0);
  if (sorter.KeyCount() == 0) {
    WriteEmptyRoot();
  } else {
    if (t) t->ixStatusUpdate(-1, 2, count);
    SetRootPage(sorter.WriteTree());
    if (t) t->ixStatusUpdate(0, 0, 0);
  }
  SetHeaderDirty(true);
  TagStore();
}

// ---------------------------------------------------------------------------
// Bottom-up build.

CVobjSortCDX::CVobjSortCDX(CVobjCDXTag* tag, int32_t keyLength, bool unique)
    : TcvSort(keyLength, unique, true, nullptr), tag_(tag) {}

int32_t CVobjSortCDX::WriteTree() {
  CVobjIndexFile* file = tag_->Owner();
  CVobjIndexTableLink* table = file->Table();
  const int32_t keyLength = tag_->KeyLength();
  CVobjPageBatch pages(*file);
  // Leaves fill by bytes (their keys are compressed), interior nodes by
  // count.  Each level knows the page of its open node before it is
  // written: a node closed on the way points right at the page allocated
  // for the next one, and left at the one before.
  struct Node {
    std::vector<CdxLeafEntry> leaf;       // level 0
    std::vector<CdxInteriorEntry> inner;  // levels above
    int32_t used = 0;                     // leaf bytes taken
  };
  // An entry's child is unused at level 0.
  struct Format : cvTreeFormat<CdxInteriorEntry, Node> {
    struct Place {
      int32_t offset = -1;  // of the open node
      int32_t left = -1;    // of the node written before it
    };
    CVobjCDXTag& tag;
    CVobjIndexFile& file;
    CVobjPageBatch& pages;
    int32_t keyLength;
    CdxKeyKind kind;
    CdxLeafParams params;
    int32_t maxInterior;
    int32_t reserve;  // leaf bytes kept free for the next key
    std::vector<Place> places;
    // Key strings of written leaves, reused for the next leaf's keys.
    std::vector<std::string> spareKeys;

    std::string SpareKey() {
      if (spareKeys.empty()) return std::string();
      std::string k = std::move(spareKeys.back());
      spareKeys.pop_back();
      return k;
    }
    // A node closes on the way only while more keys follow.
    bool Full(size_t level, const Node& n, bool more) const {
      if (!more) return false;
      if (level == 0) return kCdxLeafSpace - n.used < reserve;
      return static_cast<int32_t>(n.inner.size()) >= maxInterior;
    }
    static bool Empty(const Node& n) { return n.leaf.empty() && n.inner.empty(); }
    void Append(size_t level, Node& n, Entry&& e) const {
      if (level != 0) {
        n.inner.push_back(std::move(e));
        return;
      }
      n.used += CdxLeafNode::EntryCost(n.leaf.empty() ? std::string_view() : std::string_view(n.leaf.back().Key), e.Key,
                                       keyLength, kind, params);
      n.leaf.push_back({std::move(e.Key), e.RecNo});
    }
    void NewLevel(size_t) { places.push_back(Place{file.GetAvailPage(), -1}); }
    int32_t Write(size_t level, Node& node, cvTreeNode role) {
      Place& at = places[level];
      const bool root = role == cvTreeNode::Root;
      const int32_t next = role == cvTreeNode::Inner ? file.GetAvailPage() : -1;
      uint8_t b[kCdxBlockSize];
      CdxNodeHeader h;
      h.Left = root ? -1 : at.left;
      h.Right = root ? -1 : next;
      if (level == 0) {
        CdxLeafNode n;
        h.Attributes = static_cast<uint16_t>(kCdxAttrLeaf | (root ? kCdxAttrRoot : 0));
        n.Header = h;
        n.Params = params;
        n.Entries = std::move(node.leaf);
        n.EncodeTo(b, keyLength, kind);
        node.leaf = std::move(n.Entries);
      } else {
        CdxInteriorNode n;
        h.Attributes = static_cast<uint16_t>(kCdxAttrInterior | (root ? kCdxAttrRoot : 0));
        n.Header = h;
        n.Entries = std::move(node.inner);
        n.EncodeTo(b, keyLength, kind);
        node.inner = std::move(n.Entries);
      }
      const int32_t page = at.offset;
      if (page < 0 || !pages.Write(page, b, kCdxBlockSize)) cvRaise(cvErrWriteFailed, {tag.DiskName()});
      if (role == cvTreeNode::Inner) {
        at.left = page;
        at.offset = next;
      }
      return page;
    }
    // The parent's entry: the node's last key and record, and its page.
    static Entry Up(size_t level, const Node& n, int32_t page, cvTreeNode) {
      if (level == 0) return Entry{n.leaf.back().Key, n.leaf.back().RecNo, page};
      return Entry{n.inner.back().Key, n.inner.back().RecNo, page};
    }
    void Clear(Node& n) {
      for (CdxLeafEntry& e : n.leaf) spareKeys.push_back(std::move(e.Key));
      n.leaf.clear();
      n.inner.clear();
      n.used = 0;
    }
  };
  const CdxLeafParams params = CdxLeafParams::For(keyLength, tag_->MaxRecord());
  Format format{{},
                *tag_,
                *file,
                pages,
                keyLength,
                tag_->KeyKind(),
                params,
                std::max(CdxMaxInteriorEntries(keyLength), 2),
                2 * (params.EntryBytes + CdxEntryLength(keyLength)),
                {},
                {}};
  format.NewLevel(0);
  cvTreeWriter<Format> tree(format);

  RawKey cur, nxt;
  bool have = GetFirstRaw(cur);
  int32_t n = 0;
  while (have) {
    const bool more = GetNextRaw(nxt);
    std::string key = format.SpareKey();
    key.assign(reinterpret_cast<const char*>(cur.bytes), static_cast<size_t>(std::min(cur.length, keyLength)));
    if (table) table->ixStatusUpdate(2, ++n, 0);
    tree.Add(Format::Entry{std::move(key), cur.recno, 0}, more);
    if (!more) break;
    cur = nxt;
  }
  const int32_t root = tree.Finish();
  if (!pages.Flush()) cvRaise(cvErrWriteFailed, {tag_->DiskName()});
  return root;
}

// ---------------------------------------------------------------------------
// Files.

CVobjCDXFile::CVobjCDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared,
                           bool create, bool overwrite)
    : CVobjIndexFile(table, name) {
  OrderedByRecord = true;
  try {
    if (!IndexFileOpen(name, ".cdx", readWrite, shared, create, overwrite))
      cvRaise(cvErrNoSuchFile, {ChangeFileExtEmpty(Trim(name), ".cdx")});
    // Another process may be rebuilding the file this moment, under its
    // whole-file lock: the tags are read once it is done, not half-built.
    IndexLockScope settled(*this, IndexLockScope::ForReader{});
    if (disk_->cvFileSize() > kCdxBlockSize) LoadTags();
    else NewTagList();
    CVbytCDXCollateInfo = CVsetCDXCollateType::Machine;
    CheckProductionIndex();
    Valid = !HadErrors;
  } catch (...) {
    DropTags();
    throw;
  }
}

CVobjCDXFile::~CVobjCDXFile() {
  FreeTags();
  if (tagList_) tagList_->CloseQuietly();
}

void CVobjCDXFile::LoadTags() {
  tagList_ = std::make_unique<CVobjCDXTag>(this, ChangeFileExt(fileName_, ""), 0);
  tagList_->TagLoad();
  tagList_->MakeTagList();
  NextAvailPage = -1;
  ResetAvailPage();
  // Every list entry is a key of at least one byte of a 512-byte node: a
  // walk longer than this goes round a corrupt tree.
  const int64_t limit = (disk_->cvFileSize() / kCdxBlockSize + 1) * kCdxLeafSpace;
  int64_t steps = 0;
  try {
    tagList_->TagOpen(cvTagOpenRoot);
    for (int32_t rec = tagList_->KeyRead(cvReadTop);; rec = tagList_->KeyRead(cvReadNext)) {
      if (rec == 0) {
        // The list ends where the walk reaches its end; an entry whose
        // header offset reads as 0 is damage, not the end of the list.
        if (!tagList_->Bof() && !tagList_->Eof()) HadErrors = true;
        break;
      }
      // A tag header is a whole 1024 bytes after the tag list's own header.
      if (++steps > limit || rec < 2 * kCdxBlockSize || rec % kCdxBlockSize != 0 ||
          static_cast<int64_t>(rec) + 2 * kCdxBlockSize > disk_->cvFileSize()) {
        HadErrors = true;
        break;
      }
      const std::string tagName = AnsiUpperCase(Trim(tagList_->CurrentKey().GetString()));
      auto tag = std::make_unique<CVobjCDXTag>(this, tagName, rec);
      try {
        tag->TagLoad();
      } catch (const Exception&) {
        HadErrors = true;
        break;
      }
      AdoptTag(std::move(tag));
    }
  } catch (const Exception&) {
    // A broken tag list: the tags read so far stay, the file has errors.
    HadErrors = true;
  }
  tagList_->CloseQuietly();
}

void CVobjCDXFile::NewTagList() {
  NextAvailPage = 0;
  tagList_ = std::make_unique<CVobjCDXTag>(this, ChangeFileExt(fileName_, ""), GetAvailPage());
  GetAvailPage();
  tagList_->MakeTagList();
  tagList_->IndexTagNew("", "", "", true, false);
  tagList_->TagClose();
}

void CVobjCDXFile::CheckProductionIndex() {
  if (HadErrors || !table_ || table_->ixProductionIndex()) return;
  const std::string tableFile = table_->ixTableFileName();
  if (AnsiSameText(ChangeFileExt(fileName_, ExtractFileExt(tableFile)), ExtractFileName(tableFile)))
    table_->ixSetProductionIndex(true);
}

int32_t CVobjCDXFile::GetAvailPage() {
  if (NextAvailPage < 0) ResetAvailPage();
  const int32_t page = NextAvailPage;
  NextAvailPage += kCdxBlockSize;
  return page;
}

int32_t CVobjCDXFile::ResetAvailPage() {
  const int64_t size = disk_ ? disk_->cvFileSize() : 0;
  NextAvailPage = static_cast<int32_t>((size + kCdxBlockSize - 1) / kCdxBlockSize * kCdxBlockSize);
  return NextAvailPage;
}

void CVobjCDXFile::Unlist(CVobjCDXTag* tag) {
  CVobjIndexKeyData k(0);
  k.PutString(AnsiUpperCase(tag->TagName()));
  k.Link = k.RecNo = tag->HeaderPage();
  tagList_->TagOpen(cvTagOpenRoot);
  tagList_->KeyDelete(k);
  tagList_->TagClose();
}

void CVobjCDXFile::List(CVobjCDXTag* tag) {
  CVobjIndexKeyData k(0);
  k.PutString(AnsiUpperCase(tag->TagName()));
  k.Link = k.RecNo = tag->HeaderPage();
  tagList_->TagOpen(cvTagOpenRoot);
  tagList_->KeyAdd(k);
  tagList_->TagClose();
}

bool CVobjCDXFile::AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                          bool ascending, bool unique) {
  const std::string tagName = AnsiUpperCase(Trim(name));
  // The tag list keeps names in 10-byte keys.
  if (tagName.empty() || tagName.size() > static_cast<size_t>(kCdxTagNameMax))
    cvIndexLimit("CDX tag name", "1-10 characters");
  if (!CdxTagHeader::ExpressionsFit(keyExpr, forExpr))
    cvIndexLimit("CDX key and FOR expressions", "at most 510 bytes together");
  // Pages are taken at the end of the file: no other writer may take them
  // meanwhile.
  FileLockScope lock(*this, "AddTag");
  KeepCopyBeforeTagChange();
  AddTagWholeOrNot([&] { AddTagOnce(tagName, keyExpr, forExpr, ascending, unique); }, [this] { LoadTags(); });
  CutDone();
  return true;
}

void CVobjCDXFile::CloseTags() {
  CVobjIndexFile::CloseTags();
  if (tagList_) tagList_->TagClose();
}

void CVobjCDXFile::DropTags() noexcept {
  FreeTags();
  if (tagList_) tagList_->CloseQuietly();
  tagList_.reset();
}

void CVobjCDXFile::AddTagOnce(const std::string& tagName, const std::string& keyExpr, const std::string& forExpr,
                              bool ascending, bool unique) {
  if (disk_ && disk_->IsShared()) NextAvailPage = -1;
  // The new tag is built before the old one of the same name goes: a tag
  // that cannot be built leaves the file as it was (its space unused).
  auto tag = std::make_unique<CVobjCDXTag>(this, tagName, GetAvailPage());
  GetAvailPage();
  tag->Collation = CVbytCDXCollateInfo;
  tag->IndexTagNew(tagName, keyExpr, forExpr, ascending, unique);
  tag->TagClose();
  if (auto* old = static_cast<CVobjCDXTag*>(TagByName(tagName))) {
    Unlist(old);
    FreeTag(old);
  }
  List(static_cast<CVobjCDXTag*>(AdoptTag(std::move(tag))));
  // Other handles must see that the list changed (a replaced tag moved).
  if (disk_ && disk_->IsShared()) CountListChange();
}

bool CVobjCDXFile::DeleteTag(const std::string& name) {
  auto* tag = static_cast<CVobjCDXTag*>(TagByName(Trim(name)));
  if (!tag) return false;
  FileLockScope lock(*this, "DeleteTag");
  KeepCopyBeforeTagChange();
  Unlist(tag);
  FreeTag(tag);
  if (TagCount() == 0) Reindex();
  else if (disk_ && disk_->IsShared()) CountListChange();
  CutDone();
  return true;
}

void CVobjCDXFile::Reindex() {
  if (!disk_ || !tagList_) return;
  FileLockScope lock(*this);
  RebuildWholeOrNot([&] { ReindexOnce(); });
}

void CVobjCDXFile::ReindexOnce() {
  // On a shared file the counter moves on from the file's, so other
  // handles see the change; a file of our own starts again at 0.
  const uint32_t counter = disk_->IsShared() ? DiskChangeCounter() + 1 : 0;
  for (auto& tag : tags_) tag->TagClose();
  tagList_->TagClose();
  disk_->cvTruncate(kCdxTagHeaderSize);
  ForgetFileSize();
  ForgetFileSize();
  NextAvailPage = kCdxTagHeaderSize;
  tagList_->ChangeCounter = counter;
  // Every tag is where this rebuild puts it.
  layoutCounter_ = counter;
  layoutKnown_ = true;
  tagList_->DoIndex();  // empty list root at 1024: the file is 1536 bytes
  for (auto& t : tags_) {
    auto* tag = static_cast<CVobjCDXTag*>(t.get());
    tag->SetHeaderPage(GetAvailPage());
    GetAvailPage();
    tag->ChangeCounter = 0;
    const std::vector<uint8_t> zeros(kCdxTagHeaderSize, 0);
    PageWrite(tag->HeaderPage(), zeros.data(), kCdxTagHeaderSize);
    tag->DoIndex();
    tag->TagClose();
    List(tag);
  }
}

bool CVobjCDXFile::TagUpdate(int32_t recno, bool appending) {
  if (!tagList_) return CVobjIndexFile::TagUpdate(recno, appending);
  // On a shared file the counter is taken from the file (the caller holds
  // the index lock), so two writers never write the same value and each
  // sees the other's change.
  const bool shared = disk_ && disk_->IsShared();
  const uint32_t onDisk = shared ? DiskChangeCounter() : tagList_->ChangeCounter;
  if (shared) FollowTagList(onDisk);
  const bool outdated = onDisk != tagList_->ChangeCounter;
  tagList_->ChangeCounter = onDisk;
  std::exception_ptr refused;
  const bool changed = UpdateTags(recno, appending, outdated, refused);
  if (changed) CountListChange();
  if (refused) std::rethrow_exception(refused);
  return changed;
}

void CVobjCDXFile::CountListChange() {
  const bool shared = disk_ && disk_->IsShared();
  if (shared) tagList_->ChangeCounter = DiskChangeCounter();
  // Our own change moves no tag: the tags stay where we know them.
  const bool followed = layoutKnown_ && layoutCounter_ == tagList_->ChangeCounter;
  ++tagList_->ChangeCounter;
  tagList_->TagStore();
  if (followed || !shared) {
    layoutCounter_ = tagList_->ChangeCounter;
    layoutKnown_ = true;
  }
}

uint32_t CVobjCDXFile::DiskChangeCounter() {
  uint8_t b[kCdxBlockSize];
  if (!PageRead(0, b, kCdxBlockSize)) cvIndexCorrupt(DiskName());
  return cvLoadLE32(b + 8);
}

void CVobjCDXFile::ReloadAfterRollBack() {
  for (auto& t : tags_) t->DiscardTree();
  if (tagList_) {
    tagList_->ReloadAfterRollBack();
    tagList_->MakeTagList();
    // A rebuild moves the tags' headers: each goes back to where the tag
    // list has it.
    RelocateTags();
    layoutKnown_ = false;
  }
  CVobjIndexFile::ReloadAfterRollBack();
}

bool CVobjCDXFile::ExternalChange() {
  if (!disk_ || !disk_->IsShared() || !tagList_) return false;
  uint8_t b[kCdxBlockSize];
  if (!PageRead(0, b, kCdxBlockSize)) return false;
  return cvLoadLE32(b + 8) != tagList_->ChangeCounter;
}

bool CVobjCDXFile::TreesOutdated() { return ExternalChange(); }

void CVobjCDXTag::FollowFile() {
  CVO_DiskFile* d = owner_->DiskFile();
  if (IsTagList() || !d || !d->IsShared() || HeaderDirty()) return;
  auto* file = static_cast<CVobjCDXFile*>(owner_);
  if (!file->TagList()) return;
  const uint32_t counter = file->DiskChangeCounter();
  file->FollowTagList(counter);
  openedCounter_ = counter;
}

void CVobjCDXFile::FollowTagList(uint32_t onDisk) {
  if (!tagList_) return;
  if (!layoutKnown_) {
    // The counter as it was when the tags were loaded (or last updated).
    layoutCounter_ = tagList_->ChangeCounter;
    layoutKnown_ = true;
  }
  if (onDisk == layoutCounter_) return;
  // Another handle rebuilt or relisted the file: it may have grown or been
  // cut since we measured it, and the tags' headers are checked against it.
  ForgetFileSize();
  RelocateTags();
  layoutCounter_ = onDisk;
}

void CVobjCDXFile::RelocateTags() {
  std::vector<std::pair<std::string, int32_t>> listed;
  const int64_t limit = (disk_->cvFileSize() / kCdxBlockSize + 1) * kCdxLeafSpace;
  tagList_->TagOpen(cvTagOpenRoot);
  for (int32_t rec = tagList_->KeyRead(cvReadTop); rec != 0; rec = tagList_->KeyRead(cvReadNext)) {
    if (static_cast<int64_t>(listed.size()) > limit) cvIndexCorrupt(DiskName());
    listed.emplace_back(AnsiUpperCase(Trim(tagList_->CurrentKey().GetString())), rec);
  }
  tagList_->TagClose();
  for (auto& t : tags_) {
    for (const auto& [name, header] : listed) {
      if (!AnsiSameText(name, t->TagName()) || header == t->HeaderPage()) continue;
      t->TagClose();
      t->SetHeaderPage(header);
      t->TagLoad();
    }
  }
}
