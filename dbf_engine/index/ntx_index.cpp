// NTX index files: tag, file and the bottom-up builder.
#include "dbf_engine/index/ntx_index.h"

#include <array>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
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

// Key of the last entry of an interior page on the rightmost path: above
// every real key.
const char kTopKey = '\xFF';

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Tag.

CVobjNTXTag::CVobjNTXTag(CVobjNTXFile* owner, const std::string& name) : CVobjIndexTag(owner, name), ntx_(owner) {
  SetFormatName("NTX");
}

CVobjNTXTag::~CVobjNTXTag() { CloseQuietly(); }

void CVobjNTXTag::AdjustValue(TcvVariant& key, bool forStorage) {
  if (key.IsEmpty()) return;
  switch (KeyType()) {
    case 'N': {
      if (key.Kind() == cvvtText) {
        // A stored key text stays as it is; other text is read as a number.
        const std::string s(key.Bytes());
        if (static_cast<int32_t>(s.size()) == KeyLength() && s.find_first_of("#$%&'()*+,") != std::string::npos &&
            s.find_first_of("-") == std::string::npos)
          return;
        // Search text is read locale-free, "." or "," as the point.
        std::string text = Trim(s);
        std::replace(text.begin(), text.end(), ',', '.');
        double d = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), d);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size()) d = NtxNumericValue(s);
        key.PutString(NtxNumericKey(d, KeyLength(), header_.Decimals));
        return;
      }
      const double d = key.Kind() == cvvtDate ? static_cast<double>(key.GetDate()) : key.GetFloat();
      key.PutString(NtxNumericKey(d, KeyLength(), header_.Decimals));
      return;
    }
    case 'D': {
      if (key.Kind() == cvvtText) {
        const std::string s(key.Bytes());
        if (s.size() == 8 && AllDigits(s)) return;  // already "yyyymmdd"
      }
      const int32_t day = key.Kind() == cvvtFloat ? static_cast<int32_t>(key.GetFloat()) : key.GetDate();
      key.PutString(NtxDateKey(day));
      return;
    }
    default:
      // (An empty value returned above.)
      cvAdjustCharacterKey(key, forStorage);
      return;
  }
}

void CVobjNTXTag::GuessKeyType() {
  SetKeyType('C');
  if (!keyHandler_ || !keyHandler_->HasRoot()) return;
  try {
    TcvVariant v;
    bool ok = true;
    SolveExpression(v, ok);
    if (v.Kind() == cvvtFloat) SetKeyType('N');
    if (v.Kind() == cvvtDate) SetKeyType('D');
  } catch (const Exception&) {
    // Left as text; evaluation errors surface when keys are built.
  }
}

void CVobjNTXTag::TagLoad() {
  uint8_t buf[kNtxHeaderSize];
  if (!ntx_->PageRead(0, buf, kNtxHeaderSize)) cvIndexCorrupt(DiskName());
  CVO_DiskFile* d = ntx_->DiskFile();
  header_ = NtxHeader::DecodeFrom(buf, d ? d->cvFileSize() : -1, DiskName());
  SetExpressions(header_.KeyExpr, header_.ForExpr, header_.Signature == kNtxSignatureFor && !header_.ForExpr.empty());
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.HalfKeys);
  SetUnique(header_.Unique);
  SetDirection(!header_.Descending, true);
  SetHeaderPage(0);
  SetRootPage(header_.Root);
  PostTagExpression();
  PostTagFilter();
  GuessKeyType();
  SetHeaderDirty(false);
}

void CVobjNTXTag::TagStore() {
  header_.Root = RootPage();
  uint8_t buf[kNtxHeaderSize];
  header_.EncodeTo(buf);
  ntx_->PageWrite(0, buf, kNtxHeaderSize);
  SetHeaderDirty(false);
}

int32_t CVobjNTXTag::NewRoot() {
  CVO_DiskFile* d = ntx_->DiskFile();
  openedCounter_ = -1;
  if (d && d->IsShared() && !HeaderDirty()) {
    uint8_t buf[kNtxHeaderSize];
    if (!ntx_->PageRead(0, buf, kNtxHeaderSize)) cvIndexCorrupt(DiskName());
    const uint32_t root = cvLoadLE32(buf + 4);
    ntx_->WithFileSize([&](int64_t size) {
      if (!NtxValidPage(root, size)) cvIndexCorrupt(DiskName());
    });
    header_.Root = static_cast<int32_t>(root);
    header_.Counter = cvLoadLE16(buf + 2);
    openedCounter_ = header_.Counter;
    SetRootPage(header_.Root);
  }
  return RootPage();
}

int64_t CVobjNTXTag::CounterOnDisk() {
  uint8_t buf[4];
  if (!ntx_->PageRead(0, buf, sizeof buf)) return -1;
  return cvLoadLE16(buf + 2);
}

// A node is on the rightmost path when every ancestor reaches it through its
// last entry: its keys are then the highest of the tree and no separator
// lies above them.
bool CVobjNTXTag::OnRightmostPath(const CVobjIndexKey& node) const {
  const CVobjIndexKey* n = &node;
  for (int depth = 0; n->Parent() && depth < 64; ++depth) {
    const CVobjIndexKey* p = n->Parent();
    if (p->SeekNodeTag(n->Page) != p->Count() - 1) return false;
    n = p;
  }
  return true;
}

// An interior node's single entry is the child the page holds to the right
// of its keys, so the page holds no key; except on the rightmost path, when
// the rightmost child has left the tree: the entry left is then one of the
// page's own keys, which PageStore keeps (with an empty leaf to its right).
bool CVobjNTXTag::WrittenKeyless(const CVobjIndexKey& node) const {
  return !(OnRightmostPath(node) && node.RightSibling > 0 && node.Entry(0).Link != node.RightSibling);
}

int32_t CVobjNTXTag::PageLoad(int32_t page, CVobjIndexKey& node) {
  if (TakeTrusted(page, node)) return page;
  ntx_->WithFileSize([&](int64_t size) {
    if (!NtxValidPage(page, size)) cvIndexCorrupt(DiskName());
  });
  uint8_t buf[kNtxPageSize];
  if (!ntx_->PageRead(page, buf, kNtxPageSize)) cvIndexCorrupt(DiskName());
  // The separator above this page: the parent's entry for it.
  const CVobjIndexKey* parent = node.Parent();
  const CVobjIndexKeyData* sep = nullptr;
  if (parent && !OnRightmostPath(node)) {
    const int32_t i = parent->SeekNodeTag(page);
    if (i < 0) cvIndexCorrupt(DiskName());
    sep = &parent->Entry(i);
  }
  if (OnSharedFile()) {
    // The node's entries come from the page and the separator above it.
    decodedFrom_.assign(reinterpret_cast<const char*>(buf), kNtxPageSize);
    if (sep) {
      uint8_t rec[4];
      cvStoreLE32(rec, static_cast<uint32_t>(sep->RecNo));
      decodedFrom_.append(reinterpret_cast<const char*>(rec), sizeof rec);
      decodedFrom_.append(sep->Bytes());
    }
    if (ReuseDecoded(page, decodedFrom_, node)) return page;
  }
  // The entries go straight into the node, keys without their blanks; a
  // leaf's link is its record number, an interior entry's its child.
  struct Fill : NtxPage::Sink {
    CVobjIndexKey* node;
    void Entry(int32_t child, int32_t recNo, std::string_view key) override {
      while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
      node->AppendEntry(key, cvvtText, recNo, child == 0 ? recNo : child);
    }
  } fill;
  fill.node = &node;
  NtxPage p;
  ntx_->WithFileSize([&](int64_t size) {
    node.ClearEntries();
    NtxPage::DecodeEach(buf, header_, size, DiskName(), p, fill);
  });
  TcvVariant key;
  if (p.RightChild == 0) {
    node.PageType = CVsetPageType::Leaf;
    if (sep) node.AppendEntry(*sep, sep->RecNo, sep->RecNo);
    node.RightSibling = 0;
  } else {
    node.PageType = CVsetPageType::Node;
    if (sep) {
      node.AppendEntry(*sep, sep->RecNo, p.RightChild);
    } else {
      key.PutString(std::string_view(&kTopKey, 1));
      node.AppendEntry(key, 0, p.RightChild);
    }
    // The rightmost child as the file holds it (see PageStore).
    node.RightSibling = p.RightChild;
  }
  if (OnSharedFile()) NoteDecoded(decodedFrom_, node);
  return page;
}

void CVobjNTXTag::WriteNode(CVobjIndexKey& node, bool rightmost) {
  if (node.Page <= 0) node.Page = ntx_->GetAvailPage();
  NtxPage p;
  auto stored = [&](const CVobjIndexKeyData& e) {
    std::string s(e.Bytes());
    if (s.size() > static_cast<size_t>(KeyLength())) s.resize(static_cast<size_t>(KeyLength()));
    return s;
  };
  if (node.IsLeaf()) {
    const int32_t n = rightmost ? node.Count() : node.Count() - 1;
    for (int32_t i = 0; i < n; ++i) p.Entries.push_back(NtxEntry{0, node.Entry(i).Link, stored(node.Entry(i))});
  } else if (node.Count() > 0) {
    for (int32_t i = 0; i + 1 < node.Count(); ++i) {
      const CVobjIndexKeyData& e = node.Entry(i);
      p.Entries.push_back(NtxEntry{e.Link, e.RecNo, stored(e)});
    }
    p.RightChild = node.Entry(node.Count() - 1).Link;
    node.RightSibling = p.RightChild;
  }
  uint8_t buf[kNtxPageSize];
  p.EncodeTo(buf, header_);
  ntx_->PageWrite(node.Page, buf, kNtxPageSize);
}

int32_t CVobjNTXTag::PageStore(CVobjIndexKey& node) {
  const bool rightmost = OnRightmostPath(node);
  if (!node.IsLeaf() && rightmost && node.Count() > 0 && node.RightSibling > 0 &&
      node.Entry(node.Count() - 1).Link != node.RightSibling) {
    // The rightmost child left the tree (it was emptied).  The entry now
    // last holds a key the file keeps in this page; it stays a keyed entry,
    // and a new empty leaf takes the rightmost slot.
    CVobjIndexKeyData top(0);
    top.PutString(std::string_view(&kTopKey, 1));
    const int32_t leaf = ntx_->GetAvailPage();
    uint8_t zero[kNtxPageSize] = {};
    ntx_->PageWrite(leaf, zero, kNtxPageSize);
    node.AppendEntry(top, 0, leaf);
  }
  auto keys = [&] { return node.IsLeaf() ? node.Count() - (rightmost ? 0 : 1) : node.Count() - 1; };
  while (keys() > MaxKeys()) {
    // The front half goes to a new page hung in before this node (whose
    // last key moves up as the separator); this node is written after it.
    auto left = node.SplitFront((node.Count() + 1) / 2);
    WriteNode(*left, false);
  }
  WriteNode(node, rightmost);
  return node.Page;
}

bool CVobjNTXTag::IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                              bool ascending, bool unique) {
  CVobjIndexTag::IndexTagNew(name, keyExpr, forExpr, ascending, unique);
  SetDirection(ascending, true);
  if (!keyHandler_ || !keyHandler_->HasRoot()) cvRaise(cvErrIndexKey);
  if (HasFor() && (!forHandler_ || !forHandler_->HasRoot())) cvRaise(cvErrIndexKey);

  CVobjIndexTableLink* t = ntx_->Table();
  if (t->ixRecordCount() > 0) t->ixReadRecord(1);
  char type = 'C';
  int32_t length = 0;
  int32_t decimals = 0;
  if (!TrialKey(type, length, decimals)) cvRaise(cvErrIndexKey);
  SetKeyType(type);
  const uint16_t counter = header_.Counter;
  header_ = NtxHeader::ForKey(length, decimals);
  header_.Counter = counter == 0 ? 1 : counter;
  header_.Signature = HasFor() ? kNtxSignatureFor : kNtxSignature;
  header_.KeyExpr = keyExpr;
  header_.ForExpr = HasFor() ? forExpr : std::string();
  header_.Unique = unique;
  header_.Descending = !ascending;
  SetKeyLength(header_.KeyLength);
  SetKeyShape(KeyLength(), header_.EntryLength, header_.MaxKeys, header_.HalfKeys);
  SetHeaderPage(0);

  // Checked first (an expression too long fails before anything is
  // written), then the header is cleared on disk.
  uint8_t buf[kNtxHeaderSize];
  header_.EncodeTo(buf);
  std::memset(buf, 0, sizeof buf);
  ntx_->PageWrite(0, buf, kNtxHeaderSize);
  if (t->ixRecordCount() == 0) {
    SetRootPage(ntx_->GetAvailPage());
    ntx_->PageWrite(RootPage(), buf, kNtxPageSize);
    TagStore();
  } else {
    DoIndex();
  }
  return true;
}

bool CVobjNTXTag::TrialKey(char& type, int32_t& length, int32_t& decimals) {
  decimals = 0;
  if (!TrialKeyType(18, type, length)) return false;
  if (type == 'N') {
    decimals = 4;
    // A key of one numeric field takes the field's width and decimals.
    if (keyHandler_->OperandCount == 1 && keyHandler_->Widest > 0) {
      length = keyHandler_->Widest;
      decimals = keyHandler_->MostDecimals;
    }
  }
  return true;
}

std::unique_ptr<cvRenumberedSpool> CVobjNTXTag::CollectRenumbered(const cvPackRenumbering& renumbering) {
  if (Unique() || !keyHandler_ || cvExpressionMayMove(KeyExpression()) ||
      (HasFor() && cvExpressionMayMove(ForExpression())))
    return nullptr;
  CVobjIndexTableLink* t = ntx_->Table();
  CVO_DiskFile* d = ntx_->DiskFile();
  const int64_t oldCount = renumbering.OldCount();
  if (!t || !d || oldCount < 1 || t->ixRecordCount() < 1) return nullptr;
  try {
    // The layout the rebuild would derive from the first record must be the
    // one the file has.
    t->ixReadRecord(1);
    char type = 'C';
    int32_t length = 0, decimals = 0;
    if (!TrialKey(type, length, decimals) || type != KeyType()) return nullptr;
    const NtxHeader fresh = NtxHeader::ForKey(length, decimals);
    if (fresh.KeyLength != header_.KeyLength || fresh.Decimals != header_.Decimals ||
        fresh.EntryLength != header_.EntryLength || fresh.MaxKeys != header_.MaxKeys ||
        fresh.HalfKeys != header_.HalfKeys || header_.Descending == Ascending())
      return nullptr;

    const int64_t size = d->cvFileSize();
    if (size < kNtxHeaderSize + kNtxPageSize) return nullptr;
    cvPageWindow pages([&](int64_t at, void* buf, int32_t n) { return ntx_->PageRead(at, buf, n); }, size);
    auto spool =
        std::make_unique<cvRenumberedSpool>(static_cast<size_t>(header_.KeyLength), cvRenumberedKeys::BlankPaddedText,
                                            !Ascending(), t->ixTempDirectory(), TcvSort::DefaultMemoryBudget());
    cvEntryRenumbering renumbered(renumbering, static_cast<size_t>(header_.KeyLength),
                                  [&](int32_t recNo, std::string_view key) { return spool->Add(recNo, key); });
    struct Gather : NtxPage::Sink {
      struct Item {
        int32_t child, recNo;
        std::string_view key;
      };
      cvEntryRenumbering* renumbered;
      std::vector<Item> items;
      void Entry(int32_t child, int32_t recNo, std::string_view key) override {
        renumbered->Prefetch(recNo);
        items.push_back({child, recNo, key});
      }
    };
    // In order from the root: each entry's child, the entry, and the
    // rightmost child last.  A page's keys are taken after its children are
    // walked, so each level keeps its own copy of its page.
    std::function<bool(int32_t, int)> walk = [&](int32_t page, int depth) {
      if (depth > 32 || !NtxValidPage(page, size)) return false;
      const uint8_t* at = pages.Bytes(page, kNtxPageSize);
      if (!at) return false;
      std::array<uint8_t, kNtxPageSize> copy;
      std::memcpy(copy.data(), at, copy.size());
      Gather g;
      g.renumbered = &renumbered;
      NtxPage p;
      NtxPage::DecodeEach(copy.data(), header_, size, DiskName(), p, g);
      for (const Gather::Item& e : g.items) {
        if (e.child != 0 && !walk(e.child, depth + 1)) return false;
        if (!renumbered.Take(e.recNo, e.key)) return false;
      }
      return p.RightChild == 0 || walk(p.RightChild, depth + 1);
    };
    if (!walk(header_.Root, 0)) return nullptr;
    if (HasFor() ? renumbered.Entries() > oldCount : renumbered.Entries() != oldCount) return nullptr;
    if (!HasFor() && renumbered.Kept() != t->ixRecordCount()) return nullptr;
    spool->Finish();
    return spool;
  } catch (const Exception&) {
    return nullptr;
  }
}

std::unique_ptr<CVobjSortNTX> CVobjNTXTag::MakeSorter() const {
  auto sorter = std::make_unique<CVobjSortNTX>(KeyLength() + 1, Unique(), Ascending());
  sorter->SetTempDirectory(ntx_->Table()->ixTempDirectory());
  return sorter;
}

void CVobjNTXTag::DoIndex() {
  CVobjIndexTableLink* t = ntx_->Table();
  const int32_t count = t->ixRecordCount();
  t->ixStatusUpdate(-1, 1, count);
  if (renumbered_) {
    // A pack hands the entries over in order: no record is read.
    t->ixStatusUpdate(0, 0, 0);
    SetRootPage(MakeSorter()->WriteTree(*this, *ntx_, t, renumbered_));
    TagStore();
    return;
  }
  const std::unique_ptr<CVobjSortNTX> made = MakeSorter();
  CVobjSortNTX& sorter = *made;
  CVobjIndexKeyData key(0);
  for (int32_t rec = 1; rec <= count; ++rec) {
    if (!t->ixReadRecord(rec)) cvRaise(cvErrReadFailed, {t->ixTableFileName()});
    if (HasFor() && !SolveFilter()) continue;
    if (!BuildRecordKey(key)) cvRaise(cvErrIndexKey);
    sorter.AddTextKey(key.Bytes(), rec);
  }
  t->ixStatusUpdate(0, 0, 0);
  SetRootPage(sorter.WriteTree(*this, *ntx_, t));
  TagStore();
}

// ---------------------------------------------------------------------------
// Builder.

CVobjSortNTX::CVobjSortNTX(int32_t keyLength, bool unique, bool ascending) : TcvSort(keyLength, unique, ascending) {}

namespace {

// The NTX part of the tree writer.  Every page below the root holds at
// least one key: other readers take a page without keys for the end of the
// tree.  Knowing the number of keys, the tree is planned from the top: the
// fewest levels that hold them, and on each page the fewest children that
// hold their share, the keys spread evenly over them (each share then stays
// well above the 2^d - 1 keys a subtree of d levels needs, as a page holds
// at least two).  A key lives on one page only: the key that follows a
// subtree is its parent's entry for it.  So a node takes its share and then
// the key after it, which goes up with the node's page; an interior node's
// last child is its right child.  The nodes of the rightmost path end with
// the keys.
struct NtxTreeFormat : cvTreeFormat<NtxEntry> {
  // The plan of the open node of a level.
  struct Plan {
    bool valid = false;
    int64_t keys = 0;      // in its subtree
    int64_t children = 0;  // interior node: pages below it
    int64_t spread = 0;    // keys its children share
    int64_t child = 0;     // children written so far
  };

  const NtxHeader& h;
  CVobjNTXFile& file;
  CVobjPageBatch& pages;
  int64_t maxKeys;
  int64_t n;
  std::vector<int64_t> capacity;  // [d]: the most keys a subtree of d levels holds
  std::vector<Plan> plan;         // by level, the leaves first
  NtxPage page;
  uint8_t buf[kNtxPageSize];

  size_t Depth() const { return capacity.size() - 1; }
  // The open node's plan, made from its parent's when the node opens.
  Plan& PlanOf(size_t level) {
    Plan& p = plan[level];
    if (p.valid) return p;
    int64_t keys = n;
    if (level + 1 < Depth()) {
      const Plan& up = PlanOf(level + 1);
      keys = up.spread / up.children + (up.child < up.spread % up.children ? 1 : 0);
    }
    p = Plan{true, keys, 0, 0, 0};
    if (level > 0) {
      const int64_t below = capacity[level];
      p.children = std::clamp<int64_t>((keys + 1 + below) / (below + 1), 2, maxKeys + 1);
      p.spread = keys - (p.children - 1);
    }
    return p;
  }
  // A leaf is complete with its share and the key after it, an interior
  // node with its last child; the root waits for the end.
  bool Full(size_t level, const Node& node, bool more) {
    if (!more || level + 1 >= Depth()) return false;
    const Plan& p = PlanOf(level);
    return static_cast<int64_t>(node.size()) >= (level == 0 ? p.keys + 1 : p.children);
  }
  int32_t Write(size_t level, Node& node, cvTreeNode role) {
    // The last entry leaves the page: an interior node's as its right
    // child, the key of a leaf closed on the way as its parent's entry.
    const bool keepLast = level == 0 && role != cvTreeNode::Inner;
    const size_t keyed = keepLast || node.empty() ? node.size() : node.size() - 1;
    page.Entries.clear();
    for (size_t i = 0; i < keyed; ++i) page.Entries.push_back(std::move(node[i]));
    page.RightChild = level == 0 ? 0 : node.back().Child;
    const int32_t at = file.GetAvailPage();
    page.EncodeTo(buf, h);
    pages.Write(at, buf, kNtxPageSize);
    if (level < plan.size()) {
      plan[level].valid = false;
      if (level + 1 < plan.size()) ++plan[level + 1].child;
    }
    return at;
  }
  static NtxEntry Up(size_t, Node& node, int32_t at, cvTreeNode role) {
    if (role != cvTreeNode::Inner) return NtxEntry{at, 0, std::string()};
    NtxEntry e = std::move(node.back());
    e.Child = at;
    return e;
  }
};

}  // namespace

int32_t CVobjSortNTX::WriteTree(CVobjNTXTag& tag, CVobjNTXFile& file, CVobjIndexTableLink* table,
                                cvRenumberedSpool* renumbered) {
  const NtxHeader& h = tag.Header();
  const int64_t maxKeys = h.MaxKeys;
  const int32_t n = renumbered ? static_cast<int32_t>(renumbered->Count()) : OutputCount();
  if (renumbered) renumbered->Rewind();

  CVobjPageBatch pages(file);
  NtxTreeFormat format{{}, h, file, pages, maxKeys, n, {0, maxKeys}, {}, {}, {}};
  std::vector<int64_t>& capacity = format.capacity;
  while (capacity.back() < n) capacity.push_back(maxKeys + (maxKeys + 1) * capacity.back());
  format.plan.resize(format.Depth());
  cvTreeWriter<NtxTreeFormat> tree(format);

  // The plan counts the keys: exactly that many are taken, and one missing
  // is an error.
  table->ixStatusUpdate(-1, 2, n);
  TcvVariant value;
  int32_t recno = 0;
  for (int32_t taken = 0; taken < n; ++taken) {
    if (renumbered) {
      // An entry's key as stored, without the padding the page adds again.
      const uint8_t* stored = nullptr;
      if (!renumbered->Next(recno, stored)) cvRaise(cvErrIndexKey);
      std::string_view key(reinterpret_cast<const char*>(stored), static_cast<size_t>(h.KeyLength));
      while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
      tree.Add(NtxEntry{0, recno, std::string(key)});
    } else {
      const bool more = taken == 0 ? GetFirstKey(value, recno) : GetNextKey(value, recno);
      if (!more) cvRaise(cvErrIndexKey);
      tree.Add(NtxEntry{0, recno, std::string(value.Bytes())});
    }
    table->ixStatusUpdate(2, taken + 1, 0);
  }
  const int32_t root = tree.Finish();
  pages.Flush();
  table->ixStatusUpdate(0, 0, 0);
  return root;
}

// ---------------------------------------------------------------------------
// File.

CVobjNTXFile::CVobjNTXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared,
                           bool create, bool overwrite)
    : CVobjIndexFile(table, name) {
  CVO_DiskFile* d = IndexFileOpen(name, ".ntx", readWrite, shared, create, overwrite);
  if (!d) cvRaise(cvErrNoSuchFile, {ChangeFileExtEmpty(Trim(name), ".ntx")});
  // Another process may be rebuilding the file this moment, under its
  // whole-file lock: the tags are read once it is done, not half-built.
  IndexLockScope settled(*this, IndexLockScope::ForReader{});
  if (create && d->cvFileSize() == 0) {
    NextAvailPage = kNtxHeaderSize;
  } else {
    auto tag = std::make_unique<CVobjNTXTag>(this, ExtractFileNameOnly(fileName_));
    tag->TagLoad();
    AdoptTag(std::move(tag));
    ResetAvailPage();
  }
  Valid = true;
}

CVobjNTXFile::~CVobjNTXFile() { FreeTags(); }

CVobjNTXTag* CVobjNTXFile::NtxTag() const { return static_cast<CVobjNTXTag*>(TagByNumber(0)); }

uint16_t CVobjNTXFile::Counter() const {
  const CVobjNTXTag* t = NtxTag();
  return t ? t->header_.Counter : 0;
}

bool CVobjNTXFile::AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                          bool ascending, bool unique) {
  if (!disk_) return false;
  IndexLockScope lock(*this);
  FreeTags();
  disk_->cvTruncate(0);
  ForgetFileSize();
  NextAvailPage = kNtxHeaderSize;
  const std::string tagName = name.empty() ? ExtractFileNameOnly(fileName_) : name;
  auto tag = std::make_unique<CVobjNTXTag>(this, tagName);
  CVobjNTXTag* t = tag.get();
  AdoptTag(std::move(tag));
  try {
    t->IndexTagNew(tagName, keyExpr, forExpr, ascending, unique);
  } catch (...) {
    FreeTags();
    NextAvailPage = kNtxHeaderSize;
    ForgetFileSize();
    // The build began by emptying the file: it stays marked, and the next
    // open puts back the copy of the old file the mark keeps and rebuilds
    // it (a file the caller made new goes, with its mark).
    AbandonMark();
    throw;
  }
  return true;
}

int32_t CVobjNTXFile::ResetAvailPage() {
  const int64_t size = disk_ ? disk_->cvFileSize() : 0;
  int64_t next = (size + kNtxPageSize - 1) / kNtxPageSize * kNtxPageSize;
  next = std::clamp<int64_t>(next, kNtxHeaderSize, INT32_MAX - kNtxPageSize + 1);
  NextAvailPage = static_cast<int32_t>(next);
  return NextAvailPage;
}

int32_t CVobjNTXFile::GetAvailPage() {
  if (NextAvailPage < kNtxHeaderSize) ResetAvailPage();
  const int32_t page = NextAvailPage;
  if (page > INT32_MAX - kNtxPageSize) cvRaise(cvErrWriteFailed, {DiskName()});
  NextAvailPage += kNtxPageSize;
  return page;
}

bool CVobjNTXFile::TagUpdate(int32_t recno, bool appending) {
  // Asked before the header is read again below, which takes the file's
  // counter as ours.
  const bool outdated = TreesOutdated();
  if (CVobjNTXTag* t = NtxTag()) {
    // A shared file's header is read afresh first: another program may
    // have moved the root or raised the counter since we last looked.
    t->NewRoot();
    t->header_.Counter = NtxHeader::NextCounter(t->header_.Counter);
    t->TagStore();
  }
  std::exception_ptr refused;
  const bool changed = UpdateTags(recno, appending, outdated, refused);
  if (refused) std::rethrow_exception(refused);
  return changed;
}

bool CVobjNTXFile::TreesOutdated() { return ExternalChange(); }

bool CVobjNTXFile::ExternalChange() {
  CVobjNTXTag* t = NtxTag();
  if (!disk_ || !disk_->IsShared() || !t) return false;
  uint8_t buf[4];
  if (!PageRead(0, buf, sizeof buf)) return false;
  return cvLoadLE16(buf + 2) != t->header_.Counter;
}

void CVobjNTXFile::Zap() {
  if (!disk_) return;
  FileLockScope lock(*this);
  CVobjNTXTag* t = NtxTag();
  // On a shared file the counter moves on from the file's: another handle
  // must see that its tree is gone.  A file of our own starts again at 1.
  uint16_t counter = 1;
  if (disk_->IsShared()) {
    uint8_t buf[4];
    if (!PageRead(0, buf, sizeof buf)) cvIndexCorrupt(DiskName());
    counter = NtxHeader::NextCounter(cvLoadLE16(buf + 2));
  }
  if (t) t->TagClose();
  disk_->cvTruncate(2 * kNtxPageSize);
  ForgetFileSize();
  uint8_t zero[kNtxPageSize] = {};
  PageWrite(kNtxHeaderSize, zero, kNtxPageSize);
  NextAvailPage = 2 * kNtxPageSize;
  if (t) {
    t->SetRootPage(kNtxHeaderSize);
    t->header_.Counter = counter;
    t->TagStore();
  }
}

bool CVobjNTXFile::ReindexRenumbered(const cvPackRenumbering& renumbering) {
  CVobjNTXTag* t = NtxTag();
  std::unique_ptr<cvRenumberedSpool> spool = t && disk_ ? t->CollectRenumbered(renumbering) : nullptr;
  if (!spool) {
    Reindex();
    return false;
  }
  // The rebuild's own steps, fed the renumbered entries instead of sorted
  // keys.
  struct Renumbered {
    CVobjNTXTag* tag;
    ~Renumbered() { tag->renumbered_ = nullptr; }
  } hold{t};
  t->renumbered_ = spool.get();
  Reindex();
  return true;
}

void CVobjNTXFile::Reindex() {
  CVobjNTXTag* t = NtxTag();
  if (!t || !disk_) return;
  const std::string name = t->TagName(), keyExpr = t->KeyExpression(), forExpr = t->HasFor() ? t->ForExpression() : "";
  const bool ascending = t->Ascending(), unique = t->Unique();
  FileLockScope lock(*this);
  RebuildWholeOrNot([&] {
    Zap();
    disk_->cvTruncate(0);
    ForgetFileSize();
    NextAvailPage = kNtxHeaderSize;
    t->IndexTagNew(name, keyExpr, forExpr, ascending, unique);
  });
}
