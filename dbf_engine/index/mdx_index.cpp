// MDX multiple index files: tags over the index core, the bottom-up
// builder, and the file with its tag table.
#include "dbf_engine/index/mdx_index.h"

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
#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

// Key of the keyless last entry of an interior node in an ascending
// character tag: above every real key.
const char kTopCharKey = '\xFF';

void Today(uint8_t* ymd) {
  int y = 0, m = 0, d = 0;
  DecodeDate(Date(), y, m, d);
  ymd[0] = static_cast<uint8_t>(((y % 100) + 100) % 100);
  ymd[1] = static_cast<uint8_t>(m);
  ymd[2] = static_cast<uint8_t>(d);
}

// The base name a header keeps: the first 8 characters of a file name
// without path or extension.
std::string BaseNameOf(const std::string& fileName) {
  std::string s = ExtractFileNameOnly(fileName);
  if (s.size() > 8) s.resize(8);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scopes of the file.

class CVobjMDXFile::BatchScope {
public:
  explicit BatchScope(CVobjMDXFile& file) : file_(file) { ++file_.batch_; }
  // Ends the batch without its own write of the header word: the whole
  // header follows (WriteHeader), and a failure to write it is reported
  // rather than passed over, as it is at the end of a scope.
  void EndBeforeHeader() {
    ended_ = true;
    --file_.batch_;
  }
  ~BatchScope() {
    if (!ended_ && --file_.batch_ == 0) {
      try {
        file_.WriteNextFree();
      } catch (...) {
        // Reported by the next header write; a destructor never throws.
      }
    }
  }
  BatchScope(const BatchScope&) = delete;
  BatchScope& operator=(const BatchScope&) = delete;

private:
  CVobjMDXFile& file_;
  bool ended_ = false;
};

// ---------------------------------------------------------------------------
// Tag.

CVobjMDXTag::CVobjMDXTag(CVobjMDXFile* owner, const std::string& name, int32_t headerBlock)
    : CVobjIndexTag(owner, name), mdx_(owner) {
  SetFormatName("MDX");
  SetHeaderPage(headerBlock);
}

CVobjMDXTag::~CVobjMDXTag() { CloseQuietly(); }

void CVobjMDXTag::AdjustValue(TcvVariant& key, bool forStorage) {
  switch (KeyType()) {
    case 'N': {
      if (key.IsEmpty() && !forStorage) return;
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
      // The key holds what its packed form holds: 15 significant digits.
      d = MdxRoundNumber(d);
      if (d == 0) d = 0.0;  // -0 and 0 are one key
      key.PutFloat(d);
      return;
    }
    case 'D': {
      if (key.IsEmpty() && !forStorage) return;
      double d = 0;
      switch (key.Kind()) {
        case cvvtFloat: d = key.GetFloat(); break;
        case cvvtDate: d = static_cast<double>(key.GetDate()); break;
        case cvvtBinary:
          if (key.Length() == 8) d = MdxDateValue(key.Bytes());
          break;
        default: break;
      }
      // An empty date (no value, or a day number below 0.1) sorts last.
      key.PutFloat(d < 0.1 ? kMdxEmptyDate : d);
      return;
    }
    default: cvAdjustCharacterKey(key, forStorage); return;
  }
}

std::string CVobjMDXTag::StoredKey(const TcvVariant& key) const {
  switch (header_.KeyType) {
    case 'N': return MdxPackNumber(key.IsEmpty() ? 0.0 : key.GetFloat());
    case 'D': {
      std::string s(8, '\0');
      cvStoreLEDouble(reinterpret_cast<uint8_t*>(s.data()), key.IsEmpty() ? kMdxEmptyDate : key.GetFloat());
      return s;
    }
    default: {
      std::string s(key.Bytes());
      if (s.size() > static_cast<size_t>(header_.KeyLength)) s.resize(static_cast<size_t>(header_.KeyLength));
      return s;
    }
  }
}

void CVobjMDXTag::LoadedKey(std::string_view bytes, TcvVariant& key) const {
  switch (header_.KeyType) {
    case 'N': key.PutFloat(MdxUnpackNumber(bytes, DiskName())); return;
    case 'D': key.PutFloat(MdxDateValue(bytes)); return;
    default: {
      size_t n = bytes.size();
      while (n > 0 && bytes[n - 1] == ' ') --n;
      key.PutString(std::string_view(bytes.data(), n));
      return;
    }
  }
}

void CVobjMDXTag::TopKey(TcvVariant& key) const {
  // Beyond every real key in the tag's order.  A descending numeric tag
  // takes the most negative double: the smallest positive one would sort
  // before every negative key.
  if (header_.KeyType == 'C') {
    if (Ascending()) key.PutString(std::string_view(&kTopCharKey, 1));
    else key.PutString("");
  } else {
    key.PutFloat(Ascending() ? kMdxTopNumber : -kMdxTopNumber);
  }
}

void CVobjMDXTag::TagLoad() {
  const MdxFileHeader& fh = mdx_->Header();
  std::vector<uint8_t> page(static_cast<size_t>(fh.PageSize));
  CVO_DiskFile* d = mdx_->DiskFile();
  const int64_t size = d ? d->cvFileSize() : -1;
  if (!fh.ValidPage(HeaderPage(), size) ||
      !mdx_->PageRead(static_cast<int64_t>(HeaderPage()) * kMdxBlockSize, page.data(), fh.PageSize))
    cvIndexCorrupt(DiskName());
  header_ = MdxTagHeader::DecodeFrom(page.data(), fh, size, DiskName());
  SetExpressions(header_.KeyExpr, header_.ForExpr, !header_.ForExpr.empty());
  SetKeyType(header_.KeyType);
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.MaxKeys / 2);
  SetUnique(header_.Unique);
  SetDirection(!header_.Descending, true);
  SetRootPage(header_.Root);
  PostTagExpression();
  PostTagFilter();
  SetHeaderDirty(false);
}

void CVobjMDXTag::TagStore() {
  header_.Root = RootPage();
  const MdxFileHeader& fh = mdx_->Header();
  std::vector<uint8_t> page(static_cast<size_t>(fh.PageSize));
  header_.EncodeTo(page.data(), fh.PageSize);
  if (!mdx_->PageWrite(static_cast<int64_t>(HeaderPage()) * kMdxBlockSize, page.data(), fh.PageSize))
    cvRaise(cvErrWriteFailed, {DiskName()});
  SetHeaderDirty(false);
}

int32_t CVobjMDXTag::NewRoot() {
  // Another program may have changed the tag: on a shared file the header
  // on disk is the authority.
  CVO_DiskFile* d = mdx_->DiskFile();
  if (d && d->IsShared() && !HeaderDirty()) {
    mdx_->FollowHeader();
    if (d->LockCount() > 0) {
      // A writer takes the whole header: it writes the page chain's ends
      // back with it, and another handle may have moved them, or rebuilt
      // the file and begun the chain anew.
      const MdxFileHeader& fh = mdx_->Header();
      std::vector<uint8_t> page(static_cast<size_t>(fh.PageSize));
      if (!mdx_->PageRead(static_cast<int64_t>(HeaderPage()) * kMdxBlockSize, page.data(), fh.PageSize))
        cvIndexCorrupt(DiskName());
      const MdxTagHeader h =
          mdx_->WithFileSize([&](int64_t size) { return MdxTagHeader::DecodeFrom(page.data(), fh, size, DiskName()); });
      header_.ChainFirst = h.ChainFirst;
      header_.ChainLast = h.ChainLast;
      header_.Root = h.Root;
      SetRootPage(header_.Root);
      return RootPage();
    }
    // The root, and the ends of the page chain the pages we add join.
    uint8_t b[256];
    if (!mdx_->PageRead(static_cast<int64_t>(HeaderPage()) * kMdxBlockSize, b, sizeof b)) cvIndexCorrupt(DiskName());
    const uint32_t root = cvLoadLE32(b);
    const uint32_t first = cvLoadLE32(b + 248);
    const uint32_t last = cvLoadLE32(b + 252);
    mdx_->WithFileSize([&](int64_t size) {
      const MdxFileHeader& fh = mdx_->Header();
      if (!fh.ValidPage(root, size) || (first != 0 && !fh.ValidPage(first, size)) ||
          (last != 0 && !fh.ValidPage(last, size)))
        cvIndexCorrupt(DiskName());
    });
    header_.Root = static_cast<int32_t>(root);
    header_.ChainFirst = static_cast<int32_t>(first);
    header_.ChainLast = static_cast<int32_t>(last);
    SetRootPage(header_.Root);
  }
  return RootPage();
}

void CVobjMDXTag::CheckAgainstParent(const CVobjIndexKey& node) const {
  const CVobjIndexKey* p = node.Parent();
  if (!p || node.Count() == 0) return;
  const int32_t i = p->SeekNodeTag(node.Page);
  if (i < 0) return;
  // The last entry of an interior node carries no key of its own.
  const int32_t own = node.IsLeaf() ? node.Count() - 1 : node.Count() - 2;
  if (i < p->Count() - 1 && own >= 0 && CompareKeys(node.Entry(own), p->Entry(i), -1) > 0) cvIndexCorrupt(DiskName());
  if (i > 0 && CompareKeys(node.Entry(0), p->Entry(i - 1), -1) < 0) cvIndexCorrupt(DiskName());
}

int32_t CVobjMDXTag::PageLoad(int32_t page, CVobjIndexKey& node) {
  const MdxFileHeader& fh = mdx_->Header();
  mdx_->WithFileSize([&](int64_t size) {
    if (!fh.ValidPage(page, size)) cvIndexCorrupt(DiskName());
  });
  std::vector<uint8_t>& buf = pageBuffer_;
  buf.resize(static_cast<size_t>(fh.PageSize));
  if (!mdx_->PageRead(static_cast<int64_t>(page) * kMdxBlockSize, buf.data(), fh.PageSize)) cvIndexCorrupt(DiskName());
  const std::string_view bytes(reinterpret_cast<const char*>(buf.data()), buf.size());
  if (ReuseDecoded(page, bytes, node)) {
    CheckAgainstParent(node);
    return page;
  }
  // The entries go straight into the node: character keys as views of the
  // page without their blank padding, others through their value.
  struct Fill : MdxNode::Sink {
    const CVobjMDXTag* tag;
    CVobjIndexKey* node;
    TcvVariant key;
    void Entry(int32_t child, int32_t recNo, std::string_view k) override {
      const int32_t link = child != 0 ? child : recNo;
      if (tag->header_.KeyType == 'N' || tag->header_.KeyType == 'D') {
        tag->LoadedKey(k, key);
        node->AppendEntry(key, 0, link);
        return;
      }
      while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
      node->AppendEntry(k, cvvtText, 0, link);
    }
  } fill;
  fill.tag = this;
  fill.node = &node;
  MdxNode nd;
  mdx_->WithFileSize([&](int64_t size) {
    node.ClearEntries();
    MdxNode::DecodeEach(buf.data(), header_, fh, size, DiskName(), nd, fill);
  });
  node.LeftSibling = nd.PrevBlock;  // the chain link, kept as it is
  TcvVariant& key = fill.key;
  if (nd.IsLeaf()) {
    // Only the root of an empty tag is an empty leaf: emptied nodes leave
    // the tree.  Empty nodes further down would let a walk wander through
    // every path of a corrupt tree that shares its pages.
    if (node.Count() == 0 && node.Parent()) cvIndexCorrupt(DiskName());
    node.PageType = CVsetPageType::Leaf;
  } else {
    node.PageType = CVsetPageType::Node;
    TopKey(key);
    node.AppendEntry(key, 0, nd.RightChild);
  }
  CheckAgainstParent(node);
  NoteDecoded(bytes, node);
  return page;
}

int32_t CVobjMDXTag::WritePage(int32_t page, const MdxNode& node, int32_t prev) {
  MdxNode nd = node;
  if (prev < 0) {
    // A page new to the tag joins the end of its chain.
    prev = header_.ChainLast;
    header_.ChainLast = page;
    if (header_.ChainFirst == 0) header_.ChainFirst = page;
    SetHeaderDirty(true);
  }
  nd.PrevBlock = prev;
  const MdxFileHeader& fh = mdx_->Header();
  std::vector<uint8_t> buf(static_cast<size_t>(fh.PageSize));
  // The codec clears the whole page, so the slot after the last entry of a
  // leaf is zero whatever the node held before.
  nd.EncodeTo(buf.data(), header_, fh.PageSize);
  if (!mdx_->PageWrite(static_cast<int64_t>(page) * kMdxBlockSize, buf.data(), fh.PageSize))
    cvRaise(cvErrWriteFailed, {DiskName()});
  return prev;
}

void CVobjMDXTag::WriteNode(CVobjIndexKey& node) {
  if (node.Page <= 0) node.Page = mdx_->GetAvailPage();
  MdxNode nd;
  if (node.IsLeaf()) {
    nd.Entries.reserve(static_cast<size_t>(node.Count()));
    for (int32_t i = 0; i < node.Count(); ++i) {
      const CVobjIndexKeyData& e = node.Entry(i);
      nd.Entries.push_back(MdxEntry{e.Link, StoredKey(e)});
    }
  } else if (node.Count() > 0) {
    // All but the last entry are keyed; the last one's child is the
    // rightmost child and its key is not written.
    for (int32_t i = 0; i + 1 < node.Count(); ++i) {
      const CVobjIndexKeyData& e = node.Entry(i);
      nd.Entries.push_back(MdxEntry{e.Link, StoredKey(e)});
    }
    nd.RightChild = node.Entry(node.Count() - 1).Link;
  }
  node.LeftSibling = WritePage(node.Page, nd, node.LeftSibling);
}

int32_t CVobjMDXTag::PageStore(CVobjIndexKey& node) {
  auto keys = [&] { return node.IsLeaf() ? node.Count() : node.Count() - 1; };
  const int32_t page = node.Page;
  const bool root = node.Parent() == nullptr;
  while (keys() > MaxKeys()) {
    // The front half goes to a new page hung in before this node; this node
    // is written after it (a splitting root moves to a new page).
    auto left = node.SplitFront((node.Count() + 1) / 2);
    WriteNode(*left);
    left->Dirty = false;
  }
  if (root && page > 0 && node.Page != page && node.Parent() && node.Parent()->Page == page) {
    // The chain word belongs to the page: the new root stays on the root
    // page's place in the chain, and the old root's new page joins the
    // chain like every new page.
    node.Parent()->LeftSibling = node.LeftSibling;
    node.LeftSibling = -1;
  }
  WriteNode(node);
  return node.Page;
}

void CVobjMDXTag::WriteEmptyRoot() {
  SetRootPage(mdx_->GetAvailPage());
  WritePage(RootPage(), MdxNode{}, -1);
}

bool CVobjMDXTag::IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                              bool ascending, bool unique) {
  const MdxFileHeader& fh = mdx_->Header();
  MdxCheckKeyExpression(keyExpr);
  if (forExpr.size() >= static_cast<size_t>(fh.PageSize - kMdxForExprOffset))
    cvIndexLimit("MDX FOR expression", "no longer than its field");
  CloseQuietly();
  CVobjIndexTag::IndexTagNew(name, keyExpr, forExpr, ascending, unique);
  SetDirection(ascending, true);
  if (!keyHandler_ || !keyHandler_->HasRoot()) cvRaise(cvErrIndexKey);

  // Trial evaluation for the key type and length.
  CVobjIndexTableLink* t = mdx_->Table();
  if (t && t->ixRecordCount() > 0) t->ixReadRecord(1);
  char type;
  int32_t length;
  if (!TrialKey(type, length)) cvRaise(cvErrIndexKey);
  if (length < 1 || length > kMdxMaxKeyLength) cvIndexLimit("MDX key length", "1-240");
  header_ = MdxTagHeader::ForKey(type, length, fh.PageSize);
  header_.Unique = unique;
  header_.Descending = !ascending;
  header_.KeyExpr = keyExpr;
  header_.ForExpr = forExpr;
  SetKeyType(type);
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.MaxKeys / 2);

  // The header page is cleared on disk before anything else is written.
  std::vector<uint8_t> zeros(static_cast<size_t>(fh.PageSize), 0);
  if (!mdx_->PageWrite(static_cast<int64_t>(HeaderPage()) * kMdxBlockSize, zeros.data(), fh.PageSize))
    cvRaise(cvErrWriteFailed, {DiskName()});
  if (!t || t->ixRecordCount() == 0) {
    WriteEmptyRoot();
    TagStore();
  } else {
    DoIndex();
  }
  return true;
}

std::unique_ptr<CVobjSortMDX> CVobjMDXTag::MakeSorter() {
  auto sorter = std::make_unique<CVobjSortMDX>(this, std::max(KeyLength(), 8), Unique(), Ascending());
  sorter->SetTempDirectory(mdx_->Table()->ixTempDirectory());
  return sorter;
}

void CVobjMDXTag::DoIndex() {
  CVobjIndexTableLink* t = mdx_->Table();
  const int32_t count = t->ixRecordCount();
  t->ixStatusUpdate(-1, 1, count);
  if (renumbered_) {
    // A pack hands the entries over in order: no record is read.
    t->ixStatusUpdate(0, 0, 0);
    t->ixStatusUpdate(-1, 2, static_cast<int32_t>(renumbered_->Count()));
    SetRootPage(MakeSorter()->WriteTree(renumbered_));
    t->ixStatusUpdate(0, 0, 0);
    TagStore();
    return;
  }
  const std::unique_ptr<CVobjSortMDX> made = MakeSorter();
  CVobjSortMDX& sorter = *made;
  CVobjIndexKeyData key(0);
  for (int32_t rec = 1; rec <= count; ++rec) {
    if (!t->ixReadRecord(rec)) cvRaise(cvErrReadFailed, {t->ixTableFileName()});
    if (!HasFor() || SolveFilter()) {
      if (!BuildRecordKey(key)) cvRaise(cvErrIndexKey);
      if (KeyType() == 'C') sorter.AddTextKey(key.IsEmpty() ? std::string_view() : key.Bytes(), rec);
      else sorter.AddFloatKey(key.GetFloat(), rec);
    }
    t->ixStatusUpdate(1, rec, 0);
  }
  t->ixStatusUpdate(0, 0, 0);
  t->ixStatusUpdate(-1, 2, sorter.KeyCount());
  SetRootPage(sorter.WriteTree());
  t->ixStatusUpdate(0, 0, 0);
  TagStore();
}

// ---------------------------------------------------------------------------
// Builder.

CVobjSortMDX::CVobjSortMDX(CVobjMDXTag* tag, int32_t keyLength, bool unique, bool ascending)
    : TcvSort(keyLength, unique, ascending), tag_(tag) {}

int32_t CVobjSortMDX::WriteTree(cvRenumberedSpool* renumbered) {
  CVobjMDXTag& tag = *tag_;
  CVobjMDXFile& file = *tag.mdx_;
  CVobjIndexTableLink* table = file.Table();
  // Every node below the root holds at least one key (a leaf one entry, an
  // interior node two children): other readers take a keyless node for the
  // end of the tree.  Knowing the number of keys, each level is planned
  // before it fills: the fewest nodes that hold its entries, the entries
  // spread evenly over them; the level above holds one entry per node.  A
  // node is written as soon as it has its share.
  struct Format : cvTreeFormat<MdxEntry> {
    struct Plan {
      int64_t items = 0;   // entries the level gets
      int64_t nodes = 1;   // nodes they fill
      int64_t closed = 0;  // nodes written so far
      // Entries of the node being filled when it is complete.
      int64_t Target() const { return items / nodes + (closed < items % nodes ? 1 : 0); }
    };
    CVobjMDXTag& tag;
    CVobjMDXFile& file;
    int32_t maxKeys;
    std::vector<Plan> plan;
    std::string up;  // the highest key of the node just written

    // The top level's one node waits for the end.
    bool Full(size_t level, const Node& node, bool) const {
      return level + 1 < plan.size() && static_cast<int64_t>(node.size()) >= plan[level].Target();
    }
    // An interior node keeps its last entry's child as the right child;
    // the key goes up.
    int32_t Write(size_t level, Node& items, cvTreeNode) {
      if (items.size() > static_cast<size_t>(maxKeys) + (level == 0 ? 0 : 1)) cvRaise(cvErrIndexKey);
      MdxNode nd;
      up.clear();
      if (level == 0 || items.empty()) {
        if (!items.empty()) up = items.back().Key;
        nd.Entries = std::move(items);
      } else {
        nd.RightChild = items.back().Link;
        up = std::move(items.back().Key);
        items.pop_back();
        nd.Entries = std::move(items);
      }
      const int32_t page = file.GetAvailPage();
      tag.WritePage(page, nd, -1);
      if (level < plan.size()) ++plan[level].closed;
      return page;
    }
    MdxEntry Up(size_t, const Node&, int32_t page, cvTreeNode) { return MdxEntry{page, std::move(up)}; }
  };
  Format format{{}, tag, file, tag.header_.MaxKeys, {}, {}};
  std::vector<Format::Plan>& levels = format.plan;
  levels.emplace_back();
  const int32_t maxKeys = tag.header_.MaxKeys;
  levels[0].items = renumbered ? renumbered->Count() : OutputCount();
  levels[0].nodes = std::max<int64_t>(1, (levels[0].items + maxKeys - 1) / maxKeys);
  while (levels.back().nodes > 1) {
    Format::Plan up;
    up.items = levels.back().nodes;
    up.nodes = (up.items + maxKeys) / (maxKeys + 1);
    levels.push_back(up);
  }
  cvTreeWriter<Format> tree(format);

  const char keyType = tag.header_.KeyType;
  auto stored = [&](const TcvVariant& v) {
    switch (keyType) {
      case 'N': return MdxPackNumber(v.GetFloat());
      case 'D': {
        std::string s(8, '\0');
        cvStoreLEDouble(reinterpret_cast<uint8_t*>(s.data()), v.GetFloat());
        return s;
      }
      default: return std::string(v.Bytes());
    }
  };

  // Keys come in tag order; equal keys in record order, falling in a
  // descending tag, as the other kinds build them.
  TcvVariant value;
  int32_t recno = 0;
  int64_t n = 0;
  if (renumbered) {
    renumbered->Rewind();
    const uint8_t* key = nullptr;
    const auto width = static_cast<size_t>(tag.header_.KeyLength);
    while (renumbered->Next(recno, key)) {
      tree.Add(MdxEntry{recno, std::string(reinterpret_cast<const char*>(key), width)});
      if (table) table->ixStatusUpdate(2, static_cast<int32_t>(++n), 0);
    }
  }
  for (bool more = !renumbered && GetFirstKey(value, recno); more; more = GetNextKey(value, recno)) {
    tree.Add(MdxEntry{recno, stored(value)});
    if (table) table->ixStatusUpdate(2, static_cast<int32_t>(++n), 0);
  }
  // The plan holds only as many keys as it counted.
  if (n != levels[0].items) cvRaise(cvErrIndexKey);
  return tree.Finish();
}

// ---------------------------------------------------------------------------
// File.

CVobjMDXFile::CVobjMDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared,
                           bool create, bool overwrite)
    : CVobjIndexFile(table, name) {
  try {
    CVO_DiskFile* d = IndexFileOpen(name, ".mdx", readWrite, shared, create, overwrite);
    if (!d) cvRaise(cvErrNoSuchFile, {ChangeFileExtEmpty(Trim(name), ".mdx")});
    // Another process may be rebuilding the file this moment, under its
    // whole-file lock: the tags are read once it is done, not half-built.
    IndexLockScope settled(*this, IndexLockScope::ForReader{});
    if (d->cvFileSize() <= kMdxBlockSize) {
      if (!d->IsReadWrite()) cvIndexCorrupt(d->FileName());
      NewHeader();
    } else {
      LoadTags();
    }
    CheckProductionIndex();
    Valid = true;
  } catch (...) {
    FreeTags();
    throw;
  }
}

CVobjMDXFile::~CVobjMDXFile() {
  FreeTags();
  if (keysChanged_ && disk_ && disk_->IsReadWrite()) {
    try {
      FollowHeader();
      WriteHeader();
    } catch (...) {
      // Flush() reports; a destructor does its best silently.
    }
  }
}

void CVobjMDXFile::CloseTags() {
  CVobjIndexFile::CloseTags();
  if (keysChanged_ && disk_ && disk_->IsReadWrite()) {
    FollowHeader();
    WriteHeader();
  }
}

void CVobjMDXFile::NewHeader() {
  followed_.clear();  // header_ is no longer the bytes last followed
  header_ = MdxFileHeader{};
  Today(header_.Changed);
  Today(header_.Created);
  header_.BaseName = BaseNameOf(table_ ? table_->ixTableFileName() : fileName_);
  header_.NextFreeBlock = kMdxFirstPageBlock;
  NextAvailPage = kMdxFirstPageBlock;
  disk_->cvTruncate(0);
  ForgetFileSize();
  std::vector<uint8_t> b(kMdxHeaderSize);
  header_.EncodeTo(b.data());
  if (!PageWrite(0, b.data(), kMdxHeaderSize)) cvRaise(cvErrWriteFailed, {disk_->FileName()});
}

void CVobjMDXFile::LoadTags() {
  followed_.clear();  // header_ is no longer the bytes last followed
  std::vector<uint8_t> b(kMdxHeaderSize);
  if (!PageRead(0, b.data(), kMdxHeaderSize)) cvIndexCorrupt(disk_->FileName());
  header_ = MdxFileHeader::DecodeFrom(b.data(), disk_->cvFileSize(), disk_->FileName());
  NextAvailPage = -1;
  ResetAvailPage();
  for (const MdxTagEntry& e : header_.Tags) {
    auto tag = std::make_unique<CVobjMDXTag>(this, AnsiUpperCase(e.Name), e.HeaderBlock);
    tag->TagLoad();
    AdoptTag(std::move(tag));
  }
  // The entries are kept in name order; a file written elsewhere may not be.
  SortTags();
}

void CVobjMDXFile::CheckProductionIndex() {
  if (!table_ || table_->ixProductionIndex()) return;
  const std::string tableFile = table_->ixTableFileName();
  if (AnsiSameText(ChangeFileExt(fileName_, ExtractFileExt(tableFile)), ExtractFileName(tableFile)))
    table_->ixSetProductionIndex(true);
}

void CVobjMDXFile::SortTags() {
  followed_.clear();  // header_ is no longer the bytes last followed
  std::stable_sort(tags_.begin(), tags_.end(),
                   [](const auto& a, const auto& b) { return AnsiCompareText(a->TagName(), b->TagName()) < 0; });
  header_.Tags.clear();
  for (const auto& t : tags_) {
    const auto* tag = static_cast<const CVobjMDXTag*>(t.get());
    header_.Tags.push_back(MdxTagEntry{tag->HeaderPage(), tag->TagName(), tag->Header().KeyType});
  }
}

int32_t CVobjMDXFile::NextFreeBlock() const {
  // The pages handed out since the file was last measured, and never less
  // than the file's end: after an update that handed out none (the next
  // free page is unknown then) or another handle's growth of a shared file
  // the file size is what holds.
  const int64_t size = disk_ ? disk_->cvFileSize() : 0;
  const int64_t blocks = (size + kMdxBlockSize - 1) / kMdxBlockSize;
  return static_cast<int32_t>(
      std::clamp<int64_t>(std::max<int64_t>(blocks, NextAvailPage), kMdxFirstPageBlock, INT32_MAX - 64));
}

void CVobjMDXFile::WriteHeader() {
  followed_.clear();  // header_ is no longer the bytes last followed
  if (!disk_) return;
  if (keysChanged_) Today(header_.Changed);
  header_.NextFreeBlock = NextFreeBlock();
  std::vector<uint8_t> b(kMdxHeaderSize);
  header_.EncodeTo(b.data());
  if (!PageWrite(0, b.data(), kMdxHeaderSize)) cvRaise(cvErrWriteFailed, {disk_->FileName()});
  keysChanged_ = false;
}

void CVobjMDXFile::WriteNextFree() {
  followed_.clear();  // header_ is no longer the bytes last followed
  if (!disk_ || !disk_->IsReadWrite()) return;
  // The whole first block is written (a table cipher works on whole blocks).
  header_.NextFreeBlock = NextFreeBlock();
  std::vector<uint8_t> b(kMdxHeaderSize);
  header_.EncodeTo(b.data());
  if (!PageWrite(0, b.data(), kMdxBlockSize)) cvRaise(cvErrWriteFailed, {disk_->FileName()});
}

void CVobjMDXFile::Flush() {
  for (auto& t : tags_) t->StoreNodes();
  WriteHeader();
}

int32_t CVobjMDXFile::ResetAvailPage() {
  const int64_t size = disk_ ? disk_->cvFileSize() : 0;
  const int64_t blocks = (size + kMdxBlockSize - 1) / kMdxBlockSize;
  NextAvailPage = static_cast<int32_t>(std::clamp<int64_t>(blocks, kMdxFirstPageBlock, INT32_MAX - 64));
  return NextAvailPage;
}

int32_t CVobjMDXFile::GetAvailPage() {
  followed_.clear();  // header_ is no longer the bytes last followed
  if (NextAvailPage < kMdxFirstPageBlock) ResetAvailPage();
  const int32_t page = NextAvailPage;
  if (page > INT32_MAX - 2 * header_.BlocksPerPage) cvIndexLimit("MDX file", "at most 2^31 blocks");
  NextAvailPage += header_.BlocksPerPage;
  header_.NextFreeBlock = NextAvailPage;
  if (batch_ == 0) WriteNextFree();
  return page;
}

bool CVobjMDXFile::AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                          bool ascending, bool unique) {
  if (!disk_) return false;
  const std::string tagName = AnsiUpperCase(Trim(name));
  MdxCheckTagName(tagName);
  MdxCheckKeyExpression(keyExpr);
  if (forExpr.size() >= static_cast<size_t>(header_.PageSize - kMdxForExprOffset))
    cvIndexLimit("MDX FOR expression", "no longer than its field");
  // The header holds 47 entries: one more would be written over the first
  // tag's header page.
  if (!TagByName(tagName) && TagCount() >= kMdxMaxTags) cvIndexLimit("MDX tag count", "at most 47");
  // The file's tag table and page space as another handle may have left
  // them: no other writer may change them meanwhile.
  FileLockScope lock(*this, "AddTag");
  KeepCopyBeforeTagChange();
  AddTagWholeOrNot([&] { AddTagOnce(tagName, keyExpr, forExpr, ascending, unique); }, [this] { LoadTags(); });
  CutDone();
  return true;
}

bool CVobjMDXFile::AddTagOnce(const std::string& tagName, const std::string& keyExpr, const std::string& forExpr,
                              bool ascending, bool unique) {
  CVobjIndexTag* old = TagByName(tagName);
  if (disk_->IsShared()) {
    FollowHeader();
    NextAvailPage = -1;
  }
  BatchScope batch(*this);
  // The new tag is built before an old one of the same name goes: a tag
  // that cannot be built leaves the file's tags as they were.
  auto tag = std::make_unique<CVobjMDXTag>(this, tagName, GetAvailPage());
  tag->IndexTagNew(tagName, keyExpr, forExpr, ascending, unique);
  tag->TagClose();
  if (old) FreeTag(old);
  AdoptTag(std::move(tag));
  SortTags();
  batch.EndBeforeHeader();
  WriteHeader();
  return true;
}

bool CVobjMDXFile::DeleteTag(const std::string& name) {
  CVobjIndexTag* tag = TagByName(Trim(name));
  if (!tag || !disk_) return false;
  FileLockScope lock(*this, "DeleteTag");
  FollowHeader();
  KeepCopyBeforeTagChange();
  FreeTag(tag);
  SortTags();
  if (TagCount() == 0) Reindex();
  else WriteHeader();
  CutDone();
  return true;
}

bool CVobjMDXTag::TrialKey(char& type, int32_t& length) { return TrialKeyType(kMdxNumericKeyLength, type, length); }

std::unique_ptr<cvRenumberedSpool> CVobjMDXTag::CollectRenumbered(const cvPackRenumbering& renumbering, size_t budget) {
  if (Unique() || !keyHandler_ || header_.KeyType == 'N' || cvExpressionMayMove(KeyExpression()) ||
      (HasFor() && cvExpressionMayMove(ForExpression())))
    return nullptr;
  CVobjIndexTableLink* t = mdx_->Table();
  CVO_DiskFile* d = mdx_->DiskFile();
  const MdxFileHeader& fh = mdx_->Header();
  const int64_t oldCount = renumbering.OldCount();
  if (!t || !d || oldCount < 1 || t->ixRecordCount() < 1) return nullptr;
  try {
    // The layout the rebuild would derive from the first record must be the
    // one the file has.
    t->ixReadRecord(1);
    char type;
    int32_t length;
    // A numeric tag is rebuilt: its packed numbers hold fewer digits than
    // the values the rebuild sorts.
    if (!TrialKey(type, length) || type == 'N') return nullptr;
    if (length < 1 || length > kMdxMaxKeyLength || type != header_.KeyType || type != KeyType()) return nullptr;
    const MdxTagHeader fresh = MdxTagHeader::ForKey(type, length, fh.PageSize);
    if (fresh.KeyLength != header_.KeyLength || fresh.EntryLength != header_.EntryLength ||
        fresh.MaxKeys != header_.MaxKeys || header_.Descending == Ascending())
      return nullptr;

    const int64_t size = d->cvFileSize();
    cvPageWindow pages([&](int64_t at, void* buf, int32_t n) { return mdx_->PageRead(at, buf, n); }, size);
    auto spool = std::make_unique<cvRenumberedSpool>(
        static_cast<size_t>(header_.KeyLength),
        type == 'D' ? cvRenumberedKeys::LittleEndianDouble : cvRenumberedKeys::BlankPaddedText, !Ascending(),
        t->ixTempDirectory(), budget);
    cvEntryRenumbering renumbered(renumbering, static_cast<size_t>(header_.KeyLength),
                                  [&](int32_t recNo, std::string_view key) { return spool->Add(recNo, key); });
    // Depth-first from the root: the leaves come in key order.
    auto decode = [&](int32_t page, cvIndexEntrySink& sink) -> int32_t {
      if (!fh.ValidPage(page, size)) return -1;
      const uint8_t* at = pages.Bytes(static_cast<int64_t>(page) * kMdxBlockSize, fh.PageSize);
      if (!at) return -1;
      MdxNode nd;
      MdxNode::DecodeEach(at, header_, fh, size, DiskName(), nd, sink);
      return nd.RightChild;
    };
    if (!cvRenumberTree(header_.Root, renumbered, decode)) return nullptr;
    if (HasFor() ? renumbered.Entries() > oldCount : renumbered.Entries() != oldCount) return nullptr;
    if (!HasFor() && renumbered.Kept() != t->ixRecordCount()) return nullptr;
    spool->Finish();
    return spool;
  } catch (const Exception&) {
    return nullptr;
  }
}

bool CVobjMDXFile::ReindexRenumbered(const cvPackRenumbering& renumbering) {
  if (!disk_) {
    Reindex();
    return false;
  }
  // Every tag's entries are taken before the file is cut; the tags share
  // the budget that one tag's runs of equal keys may take.
  size_t candidates = 0;
  for (auto& t : tags_)
    if (!t->Unique()) ++candidates;
  const size_t budget = TcvSort::DefaultMemoryBudget() / std::max<size_t>(candidates, 1);
  std::vector<std::unique_ptr<cvRenumberedSpool>> spools(tags_.size());
  struct Renumbered {
    std::vector<std::unique_ptr<CVobjIndexTag>>& tags;
    ~Renumbered() {
      for (auto& t : tags) static_cast<CVobjMDXTag*>(t.get())->renumbered_ = nullptr;
    }
  } hold{tags_};
  bool any = false;
  for (size_t i = 0; i < tags_.size(); ++i) {
    auto* tag = static_cast<CVobjMDXTag*>(tags_[i].get());
    spools[i] = tag->CollectRenumbered(renumbering, budget);
    tag->renumbered_ = spools[i].get();
    any = any || spools[i] != nullptr;
  }
  Reindex();
  return any;
}

void CVobjMDXFile::Reindex() {
  if (!disk_) return;
  FileLockScope lock(*this);
  RebuildWholeOrNot([&] {
    BatchScope batch(*this);
    for (auto& t : tags_) t->TagClose();
    disk_->cvTruncate(kMdxHeaderSize);
    ForgetFileSize();
    NextAvailPage = kMdxFirstPageBlock;
    for (auto& t : tags_) {
      auto* tag = static_cast<CVobjMDXTag*>(t.get());
      const std::string name = tag->TagName();
      const std::string keyExpr = tag->KeyExpression();
      const std::string forExpr = tag->HasFor() ? tag->ForExpression() : std::string();
      tag->SetHeaderPage(GetAvailPage());
      tag->IndexTagNew(name, keyExpr, forExpr, tag->Ascending(), tag->Unique());
      tag->TagClose();
    }
    SortTags();
    batch.EndBeforeHeader();
    keysChanged_ = true;
    WriteHeader();
  });
}

void CVobjMDXFile::Rename(const std::string& newName) {
  CVobjIndexFile::Rename(newName);
  if (!disk_) return;
  followed_.clear();
  header_.BaseName = AnsiUpperCase(BaseNameOf(newName));
  WriteHeader();
}

void CVobjMDXFile::FollowHeader() {
  if (!disk_ || !disk_->IsShared() || batch_ > 0) return;
  // Read beside the bytes last followed, so the usual look (nothing moved,
  // once per seek of a shared reader) allocates nothing.
  uint8_t now[kMdxHeaderSize];
  if (!PageRead(0, now, kMdxHeaderSize)) {
    followed_.clear();
    cvIndexCorrupt(disk_->FileName());
  }
  // The same bytes as at the last look: nothing moved.
  if (followed_.size() == static_cast<size_t>(kMdxHeaderSize) && std::memcmp(followed_.data(), now, sizeof now) == 0)
    return;
  std::vector<uint8_t>& b = followed_;
  b.assign(now, now + kMdxHeaderSize);
  MdxFileHeader h;
  try {
    h = WithFileSize([&](int64_t size) { return MdxFileHeader::DecodeFrom(b.data(), size, disk_->FileName()); });
  } catch (...) {
    b.clear();
    throw;
  }
  for (auto& t : tags_) {
    for (const MdxTagEntry& e : h.Tags) {
      if (!AnsiSameText(e.Name, t->TagName()) || e.HeaderBlock == t->HeaderPage()) continue;
      t->TagClose();
      t->SetHeaderPage(e.HeaderBlock);
      t->TagLoad();
    }
  }
  header_ = std::move(h);
}

void CVobjMDXFile::ReloadAfterRollBack() {
  followed_.clear();
  std::vector<uint8_t> b(kMdxHeaderSize);
  if (!PageRead(0, b.data(), kMdxHeaderSize)) cvIndexCorrupt(disk_->FileName());
  header_ = MdxFileHeader::DecodeFrom(b.data(), disk_->cvFileSize(), disk_->FileName());
  // A rebuild moves the tags' headers: each goes back to where the file's
  // tag table has it.
  for (auto& t : tags_) {
    t->DiscardTree();
    for (const MdxTagEntry& e : header_.Tags)
      if (AnsiSameText(e.Name, t->TagName())) t->SetHeaderPage(e.HeaderBlock);
  }
  CVobjIndexFile::ReloadAfterRollBack();
}

bool CVobjMDXFile::TagUpdate(int32_t recno, bool appending) {
  FollowHeader();
  std::exception_ptr refused;
  const bool changed = UpdateTags(recno, appending, TreesOutdated(), refused);
  if (changed) keysChanged_ = true;
  if (refused) std::rethrow_exception(refused);
  return changed;
}
