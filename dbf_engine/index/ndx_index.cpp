// NDX index files: tag, file and the bottom-up builder.
#include "dbf_engine/index/ndx_index.h"

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
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/text.h"

namespace {

// Key of the keyless last entry of an interior node: above every real key.
const char kTopCharKey = '\xFF';

std::string FileStem(const std::string& name) { return ExtractFileNameOnly(name); }

}  // namespace

// ---------------------------------------------------------------------------
// Tag.

CVobjNDXTag::CVobjNDXTag(CVobjNDXFile* owner, const std::string& name) : CVobjIndexTag(owner, name), ndx_(owner) {
  SetFormatName("NDX");
}

CVobjNDXTag::~CVobjNDXTag() { CloseQuietly(); }

void CVobjNDXTag::AdjustValue(TcvVariant& key, bool forStorage) {
  switch (KeyType()) {
    case 'N': {
      if (key.IsEmpty()) return;
      double d = key.Kind() == cvvtDate ? static_cast<double>(key.GetDate()) : key.GetFloat();
      if (d == 0) d = 0.0;  // -0 and 0 are one key
      key.PutFloat(d);
      return;
    }
    case 'D': {
      // An empty date (no value, or a day number below 0.1) sorts last.
      double d = 0;
      if (!key.IsEmpty()) {
        if (key.Kind() == cvvtFloat) d = key.GetFloat();
        else if (key.Kind() == cvvtBinary && key.Length() == 8) d = NdxKeyValue(key.Bytes());
        else d = key.GetDate();
      }
      key.PutFloat(d < 0.1 ? kNdxEmptyDate : d);
      return;
    }
    default: cvAdjustCharacterKey(key, forStorage); return;
  }
}

std::string CVobjNDXTag::StoredKey(const TcvVariant& key) const {
  if (header_.Numeric()) return NdxNumericKey(key.IsEmpty() ? 0.0 : key.GetFloat());
  std::string s(key.Bytes());
  if (s.size() > static_cast<size_t>(header_.KeyBytes())) s.resize(static_cast<size_t>(header_.KeyBytes()));
  return s;
}

void CVobjNDXTag::ReadHeaderBlock(uint8_t* block) {
  if (!ndx_->PageRead(0, block, kNdxBlockSize)) cvIndexCorrupt(DiskName());
}

void CVobjNDXTag::TagLoad() {
  uint8_t block[kNdxBlockSize];
  ReadHeaderBlock(block);
  CVO_DiskFile* d = ndx_->DiskFile();
  header_ = NdxHeader::DecodeFrom(block, d ? d->cvFileSize() : -1, DiskName());
  SetExpressions(header_.KeyExpr, std::string(), false);
  // The layout is the one the file stores: other programs round the entry
  // length and the maximum differently from what the key length suggests.
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.MaxKeys / 2);
  SetUnique(header_.Unique);
  SetDirection(true, true);
  SetHeaderPage(0);
  SetRootPage(header_.Root);
  SetKeyType(header_.Numeric() ? 'N' : 'C');
  PostTagExpression();
  PostTagFilter();
  if (header_.Numeric() && keyHandler_) {
    // Numeric and date keys share the key type 1 in the file; a trial
    // evaluation tells them apart (a search text is read as a date or a number).
    try {
      TcvVariant v;
      bool ok = true;
      if (SolveExpression(v, ok) && v.Kind() == cvvtDate) SetKeyType('D');
    } catch (const Exception&) {
      // The key stays numeric; evaluation errors surface when keys are built.
    }
  }
  SetHeaderDirty(false);
}

void CVobjNDXTag::TagStore() {
  header_.Root = RootPage();
  if (ndx_->NextAvailPage <= 0) ndx_->ResetAvailPage();
  header_.NextFree = ndx_->NextAvailPage;
  uint8_t block[kNdxBlockSize];
  header_.EncodeTo(block);
  ndx_->PageWrite(0, block, kNdxBlockSize);
  SetHeaderDirty(false);
}

int32_t CVobjNDXTag::NewRoot() {
  // Another program may have grown a new root: the header on disk is the
  // authority whenever the file is shared.
  CVO_DiskFile* d = ndx_->DiskFile();
  if (d && d->IsShared() && !HeaderDirty()) {
    // Only the root's number is wanted.
    uint8_t block[4];
    if (!ndx_->PageRead(0, block, sizeof block)) cvIndexCorrupt(DiskName());
    const uint32_t root = cvLoadLE32(block);
    ndx_->WithFileSize([&](int64_t size) {
      if (!NdxValidBlock(root, size)) cvIndexCorrupt(DiskName());
    });
    header_.Root = static_cast<int32_t>(root);
    SetRootPage(header_.Root);
  }
  return RootPage();
}

int32_t CVobjNDXTag::PageLoad(int32_t page, CVobjIndexKey& node) {
  ndx_->WithFileSize([&](int64_t size) {
    if (!NdxValidBlock(page, size)) cvIndexCorrupt(DiskName());
  });
  uint8_t block[kNdxBlockSize];
  if (!ndx_->PageRead(static_cast<int64_t>(page) * kNdxBlockSize, block, kNdxBlockSize)) cvIndexCorrupt(DiskName());
  const std::string_view bytes(reinterpret_cast<const char*>(block), kNdxBlockSize);
  if (ReuseDecoded(page, bytes, node)) return page;
  // The entries go straight into the node: character keys as views of the
  // block without their blank padding, numeric keys through their value.
  struct Fill : NdxNode::Sink {
    const CVobjNDXTag* tag;
    CVobjIndexKey* node;
    TcvVariant key;
    void Entry(int32_t child, int32_t recNo, std::string_view k) override {
      const int32_t link = child == 0 ? recNo : child;
      if (tag->header_.Numeric()) {
        key.PutFloat(NdxKeyValue(k));
        node->AppendEntry(key, 0, link);
        return;
      }
      while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
      node->AppendEntry(k, cvvtText, 0, link);
    }
  } fill;
  fill.tag = this;
  fill.node = &node;
  NdxNode nd;
  ndx_->WithFileSize([&](int64_t size) {
    node.ClearEntries();
    NdxNode::DecodeEach(block, header_, size, DiskName(), nd, fill);
  });
  TcvVariant& key = fill.key;
  if (nd.RightChild == 0) {
    node.PageType = CVsetPageType::Leaf;
  } else {
    node.PageType = CVsetPageType::Node;
    if (header_.Numeric()) key.PutFloat(kNdxTopNumber);
    else key.PutString(std::string_view(&kTopCharKey, 1));
    node.AppendEntry(key, 0, nd.RightChild);
  }
  NoteDecoded(bytes, node);
  return page;
}

void CVobjNDXTag::WriteNode(CVobjIndexKey& node) {
  if (node.Page <= 0) node.Page = ndx_->GetAvailPage();
  NdxNode nd;
  if (node.IsLeaf()) {
    nd.Entries.reserve(static_cast<size_t>(node.Count()));
    for (int32_t i = 0; i < node.Count(); ++i) {
      const CVobjIndexKeyData& e = node.Entry(i);
      nd.Entries.push_back(NdxEntry{0, e.Link, StoredKey(e)});
    }
  } else if (node.Count() > 0) {
    // All but the last entry are keyed; the last one's child is the
    // rightmost child, its key (the parent's separator) is not written.
    for (int32_t i = 0; i + 1 < node.Count(); ++i) {
      const CVobjIndexKeyData& e = node.Entry(i);
      nd.Entries.push_back(NdxEntry{e.Link, 0, StoredKey(e)});
    }
    nd.RightChild = node.Entry(node.Count() - 1).Link;
  }
  uint8_t block[kNdxBlockSize];
  nd.EncodeTo(block, header_);
  ndx_->PageWrite(static_cast<int64_t>(node.Page) * kNdxBlockSize, block, kNdxBlockSize);
}

int32_t CVobjNDXTag::PageStore(CVobjIndexKey& node) {
  auto keys = [&] { return node.IsLeaf() ? node.Count() : node.Count() - 1; };
  while (keys() > MaxKeys()) {
    // The front half goes to a new block hung in before this node; this node
    // is written after it (a splitting root moves to a new block).
    auto left = node.SplitFront((node.Count() + 1) / 2);
    WriteNode(*left);
  }
  WriteNode(node);
  return node.Page;
}

bool CVobjNDXTag::IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string&, bool,
                              bool unique) {
  // The format compares ascending only and has no FOR condition: a tag
  // asked for descending order is still built ascending (a descending tree
  // would never be found again by the ascending seek).
  CVobjIndexTag::IndexTagNew(name, keyExpr, "", true, unique);
  SetDirection(true, true);
  if (!keyHandler_ || !keyHandler_->HasRoot()) cvRaise(cvErrIndexKey);

  // Trial evaluation for the key type and length.
  CVobjIndexTableLink* t = ndx_->Table();
  if (t->ixRecordCount() > 0) t->ixReadRecord(1);
  char type;
  int32_t length;
  if (!TrialKey(type, length)) cvRaise(cvErrIndexKey);
  header_ = NdxHeader::ForKey(type, length);
  header_.Unique = unique;
  header_.KeyExpr = keyExpr;
  SetKeyType(type);
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.MaxKeys / 2);
  SetHeaderPage(0);
  SetExpressions(KeyExpression(), std::string(), false);

  // The header block is cleared (and checked: an expression too long fails
  // here, before anything is built).
  uint8_t block[kNdxBlockSize];
  header_.EncodeTo(block);
  std::memset(block, 0, sizeof block);
  ndx_->PageWrite(0, block, kNdxBlockSize);
  if (t->ixRecordCount() == 0) {
    SetRootPage(ndx_->GetAvailPage());
    ndx_->PageWrite(static_cast<int64_t>(RootPage()) * kNdxBlockSize, block, kNdxBlockSize);
    TagStore();
  } else {
    DoIndex();
  }
  return true;
}

std::unique_ptr<CVobjSortNdx> CVobjNDXTag::MakeSorter() const {
  auto sorter = std::make_unique<CVobjSortNdx>(header_.Numeric() ? 8 : KeyLength() + 1, Unique());
  sorter->SetTempDirectory(ndx_->Table()->ixTempDirectory());
  return sorter;
}

void CVobjNDXTag::DoIndex() {
  CVobjIndexTableLink* t = ndx_->Table();
  const int32_t count = t->ixRecordCount();
  t->ixStatusUpdate(-1, 1, count);
  if (renumbered_) {
    // A pack hands the entries over in order: no record is read.
    t->ixStatusUpdate(0, 0, 0);
    SetRootPage(MakeSorter()->WriteTree(*this, *ndx_, t, renumbered_));
    TagStore();
    return;
  }
  const std::unique_ptr<CVobjSortNdx> made = MakeSorter();
  CVobjSortNdx& sorter = *made;
  CVobjIndexKeyData key(0);
  const bool character = !header_.Numeric();
  const size_t width = static_cast<size_t>(std::max(KeyLength(), 0));
  std::string_view text;
  for (int32_t rec = 1; rec <= count; ++rec) {
    if (!t->ixReadRecord(rec)) cvRaise(cvErrReadFailed, {t->ixTableFileName()});
    if (character && keyHandler_ && keyHandler_->ExpressionTextView(text)) {
      // A key that is a character field is taken from the record image as
      // it stands: trailing blanks off, cut to the key length, as the
      // general path stores it below.
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      if (width > 0 && text.size() > width) text = text.substr(0, width);
      sorter.AddTextKey(text, rec);
      continue;
    }
    if (!BuildRecordKey(key)) cvRaise(cvErrIndexKey);
    if (header_.Numeric() && key.Kind() != cvvtFloat) AdjustValue(key, true);
    if (key.Kind() == cvvtFloat) sorter.AddFloatKey(key.GetFloat(), rec);
    else sorter.AddTextKey(key.Bytes(), rec);
  }
  t->ixStatusUpdate(0, 0, 0);
  SetRootPage(sorter.WriteTree(*this, *ndx_, t));
  TagStore();
}

// ---------------------------------------------------------------------------
// Builder.

CVobjSortNdx::CVobjSortNdx(int32_t keyLength, bool unique) : TcvSort(keyLength, unique, true) {}

namespace {

// The NDX part of the tree writer.  An item of a node is its link (record
// or child block) followed by its key as stored: padded to the key width
// the way the node encoder pads it.  Items sit back to back in one buffer
// per node, so the millions of keys of a build cost no allocation each.  A
// full node is held back, so that the last two nodes of a level can share
// their items evenly at the end instead of leaving a nearly empty node.
struct NdxItem {
  int32_t link;
  const uint8_t* key;  // key width bytes, taken at once
};
struct NdxTreeFormat : cvTreeFormat<NdxItem, std::vector<uint8_t>> {
  static constexpr bool HoldBack() { return true; }

  const NdxHeader& h;
  CVobjPageBatch& pages;
  CVobjNDXFile& file;
  size_t slot;
  uint8_t block[kNdxBlockSize];

  size_t Capacity(size_t level) const { return static_cast<size_t>(h.MaxKeys) + (level == 0 ? 0 : 1); }
  size_t Count(const Node& items) const { return items.size() / slot; }
  bool Full(size_t level, const Node& items, bool) const { return Count(items) >= Capacity(level); }
  void Append(size_t, Node& items, Entry&& e) const {
    uint8_t l[4];
    cvStoreLE32(l, static_cast<uint32_t>(e.link));
    items.insert(items.end(), l, l + 4);
    items.insert(items.end(), e.key, e.key + (slot - 4));
  }
  void Balance(size_t level, Node& prev, Node& cur) const {
    if (Count(cur) >= Capacity(level) / 2) return;
    std::vector<uint8_t> all = std::move(prev);
    all.insert(all.end(), cur.begin(), cur.end());
    const size_t front = (Count(all) + 1) / 2 * slot;
    prev.assign(all.begin(), all.begin() + static_cast<ptrdiff_t>(front));
    cur.assign(all.begin() + static_cast<ptrdiff_t>(front), all.end());
  }
  // A leaf stores its items' links as record numbers; an interior node
  // stores all but its last item keyed, the last one's child as the
  // rightmost child (its key, the parent's separator, is not written).
  int32_t Write(size_t level, const Node& items, cvTreeNode) {
    const int32_t el = h.EntryLength;
    const size_t n = Count(items);
    const size_t keyed = level == 0 ? n : n - 1;
    const int32_t page = file.GetAvailPage();
    std::memset(block, 0, sizeof block);
    cvStoreLE32(block, static_cast<uint32_t>(keyed));
    for (size_t i = 0; i < keyed; ++i) {
      const uint8_t* it = items.data() + i * slot;
      uint8_t* at = block + 4 + static_cast<int32_t>(i) * el;
      std::memcpy(at + (level == 0 ? 4 : 0), it, 4);
      std::memcpy(at + 8, it + 4, slot - 4);
    }
    if (level != 0) std::memcpy(block + 4 + static_cast<int32_t>(keyed) * el, items.data() + keyed * slot, 4);
    pages.Write(static_cast<int64_t>(page) * kNdxBlockSize, block, kNdxBlockSize);
    return page;
  }
  // The parent's entry carries the node's highest key.
  Entry Up(size_t, const Node& items, int32_t page, cvTreeNode) const {
    return Entry{page, items.data() + items.size() - slot + 4};
  }
};

}  // namespace

int32_t CVobjSortNdx::WriteTree(CVobjNDXTag& tag, CVobjNDXFile& file, CVobjIndexTableLink* table,
                                cvRenumberedSpool* renumbered) {
  const NdxHeader& h = tag.Header();
  const int32_t kb = h.KeyBytes();
  {
    // The layout is checked once, as the encoder of a single node checks it.
    uint8_t probe[kNdxBlockSize];
    NdxNode().EncodeTo(probe, h);
  }
  const size_t slot = 4 + static_cast<size_t>(kb);
  const uint8_t pad = h.Numeric() ? 0 : ' ';
  CVobjPageBatch pages(file);
  NdxTreeFormat format{{}, h, pages, file, slot, {}};
  cvTreeWriter<NdxTreeFormat> tree(format);

  const int32_t total = renumbered ? static_cast<int32_t>(renumbered->Count()) : KeyCount();
  table->ixStatusUpdate(-1, 2, total);
  RawKey raw;
  TcvVariant value;
  std::vector<uint8_t> key(static_cast<size_t>(kb));
  int32_t n = 0;
  if (renumbered) {
    renumbered->Rewind();
    int32_t recNo = 0;
    const uint8_t* stored = nullptr;
    while (renumbered->Next(recNo, stored)) {
      tree.Add({recNo, stored});
      table->ixStatusUpdate(2, ++n, 0);
    }
  }
  for (bool more = !renumbered && GetFirstRaw(raw); more; more = GetNextRaw(raw)) {
    std::fill(key.begin(), key.end(), pad);
    if (h.Numeric()) {
      RawToValue(raw, value);
      const std::string num = NdxNumericKey(value.GetFloat());
      std::memcpy(key.data(), num.data(), std::min(num.size(), key.size()));
    } else {
      if (raw.length > kb) cvIndexLimit("NDX key", "no longer than its key length");
      std::memcpy(key.data(), raw.bytes, static_cast<size_t>(raw.length));
    }
    tree.Add({raw.recno, key.data()});
    table->ixStatusUpdate(2, ++n, 0);
  }
  table->ixStatusUpdate(0, 0, 0);
  const int32_t root = tree.Finish();
  pages.Flush();
  return root;
}

// ---------------------------------------------------------------------------
// File.

CVobjNDXFile::CVobjNDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared,
                           bool create, bool overwrite)
    : CVobjIndexFile(table, name) {
  CVO_DiskFile* d = IndexFileOpen(name, ".ndx", readWrite, shared, create, overwrite);
  if (!d) cvRaise(cvErrNoSuchFile, {ChangeFileExtEmpty(Trim(name), ".ndx")});
  // Another process may be rebuilding the file this moment, under its
  // whole-file lock: the tags are read once it is done, not half-built.
  IndexLockScope settled(*this, IndexLockScope::ForReader{});
  if (create && d->cvFileSize() == 0) {
    NextAvailPage = 1;
  } else {
    auto tag = std::make_unique<CVobjNDXTag>(this, FileStem(fileName_));
    tag->TagLoad();
    AdoptTag(std::move(tag));
    ResetAvailPage();
  }
  Valid = true;
}

CVobjNDXFile::~CVobjNDXFile() { FreeTags(); }

CVobjNDXTag* CVobjNDXFile::NdxTag() const { return static_cast<CVobjNDXTag*>(TagByNumber(0)); }

bool CVobjNDXFile::AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                          bool ascending, bool unique) {
  if (!disk_) return false;
  IndexLockScope lock(*this);
  FreeTags();
  disk_->cvTruncate(0);
  ForgetFileSize();
  NextAvailPage = 1;
  std::string tagName = name.empty() ? FileStem(fileName_) : name;
  auto tag = std::make_unique<CVobjNDXTag>(this, tagName);
  CVobjNDXTag* t = tag.get();
  AdoptTag(std::move(tag));
  try {
    t->IndexTagNew(tagName, keyExpr, forExpr, ascending, unique);
  } catch (...) {
    FreeTags();
    NextAvailPage = 1;
    ForgetFileSize();
    // The build began by emptying the file: it stays marked, and the next
    // open puts back the copy of the old file the mark keeps and rebuilds
    // it (a file the caller made new goes, with its mark).
    AbandonMark();
    throw;
  }
  return true;
}

int32_t CVobjNDXFile::ResetAvailPage() {
  const int64_t size = disk_ ? disk_->cvFileSize() : 0;
  const int64_t blocks = (size + kNdxBlockSize - 1) / kNdxBlockSize;
  NextAvailPage = static_cast<int32_t>(std::clamp<int64_t>(blocks, 1, INT32_MAX));
  return NextAvailPage;
}

int32_t CVobjNDXFile::GetAvailPage() {
  if (NextAvailPage <= 0) ResetAvailPage();
  const int32_t page = NextAvailPage++;
  // The header's "next free block" follows every block handed out.
  if (CVobjNDXTag* t = NdxTag()) t->SetHeaderDirty(true);
  return page;
}

void CVobjNDXFile::Zap() {
  if (!disk_) return;
  FileLockScope lock(*this);
  CVobjNDXTag* t = NdxTag();
  if (t) t->TagClose();
  disk_->cvTruncate(kNdxBlockSize * 2);
  ForgetFileSize();
  uint8_t block[kNdxBlockSize] = {};
  PageWrite(kNdxBlockSize, block, kNdxBlockSize);
  NextAvailPage = 2;
  if (t) {
    t->SetRootPage(1);
    t->TagStore();
  }
}

bool CVobjNDXTag::TrialKey(char& type, int32_t& length) { return TrialKeyType(8, type, length); }

std::unique_ptr<cvRenumberedSpool> CVobjNDXTag::CollectRenumbered(const cvPackRenumbering& renumbering) {
  if (Unique() || cvExpressionMayMove(KeyExpression())) return nullptr;
  CVobjIndexTableLink* t = ndx_->Table();
  CVO_DiskFile* d = ndx_->DiskFile();
  if (!t || !d || renumbering.OldCount() < 1 || t->ixRecordCount() < 1) return nullptr;
  try {
    // The layout the rebuild would derive from the first record must be the
    // one the file has.
    t->ixReadRecord(1);
    char type;
    int32_t length;
    if (!TrialKey(type, length)) return nullptr;
    const NdxHeader fresh = NdxHeader::ForKey(type, length);
    if (type != KeyType() || fresh.KeyLength != header_.KeyLength || fresh.EntryLength != header_.EntryLength ||
        fresh.MaxKeys != header_.MaxKeys || fresh.KeyType != header_.KeyType)
      return nullptr;

    const int64_t size = d->cvFileSize();
    if (size < 2 * kNdxBlockSize) return nullptr;
    cvPageWindow pages([&](int64_t at, void* buf, int32_t n) { return ndx_->PageRead(at, buf, n); }, size);
    auto spool = std::make_unique<cvRenumberedSpool>(
        static_cast<size_t>(header_.KeyBytes()),
        header_.Numeric() ? cvRenumberedKeys::LittleEndianDouble : cvRenumberedKeys::BlankPaddedText, false,
        t->ixTempDirectory(), TcvSort::DefaultMemoryBudget());
    cvEntryRenumbering entries(renumbering, static_cast<size_t>(header_.KeyBytes()),
                               [&](int32_t recNo, std::string_view key) { return spool->Add(recNo, key); });
    // Depth-first from the root: the leaves come in key order.
    auto decode = [&](int32_t page, cvIndexEntrySink& sink) -> int32_t {
      if (!NdxValidBlock(page, size)) return -1;
      const uint8_t* block = pages.Bytes(static_cast<int64_t>(page) * kNdxBlockSize, kNdxBlockSize);
      if (!block) return -1;
      NdxNode nd;
      NdxNode::DecodeEach(block, header_, size, DiskName(), nd, sink);
      return nd.RightChild;
    };
    if (!cvRenumberTree(header_.Root, entries, decode) || entries.Entries() != renumbering.OldCount() ||
        entries.Kept() != t->ixRecordCount())
      return nullptr;
    spool->Finish();
    return spool;
  } catch (const Exception&) {
    return nullptr;
  }
}

bool CVobjNDXFile::ReindexRenumbered(const cvPackRenumbering& renumbering) {
  CVobjNDXTag* t = NdxTag();
  std::unique_ptr<cvRenumberedSpool> spool = t && disk_ ? t->CollectRenumbered(renumbering) : nullptr;
  if (!spool) {
    Reindex();
    return false;
  }
  // The rebuild's own steps, fed the renumbered entries instead of sorted
  // keys.
  struct Renumbered {
    CVobjNDXTag* tag;
    ~Renumbered() { tag->renumbered_ = nullptr; }
  } hold{t};
  t->renumbered_ = spool.get();
  Reindex();
  return true;
}

void CVobjNDXFile::Reindex() {
  CVobjNDXTag* t = NdxTag();
  if (!t || !disk_) return;
  const std::string name = t->TagName();
  const std::string keyExpr = t->KeyExpression();
  const bool unique = t->Unique();
  FileLockScope lock(*this);
  RebuildWholeOrNot([&] {
    Zap();
    NextAvailPage = 1;
    t->IndexTagNew(name, keyExpr, "", true, unique);
  });
}
