// Index core: nodes, tags and index files shared by every index format.
#include "dbf_engine/index/index_core.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_format.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/string_tools.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

// A tree deeper than this is taken as corrupt (a page cycle that slipped past
// the ancestor test, or garbage): no real index comes near it.
constexpr int kMaxDepth = 64;

// Entries kept in a tag's node cache at most: interior nodes (a tree of a
// million keys has some tens of thousands of interior entries) and, in a
// smaller share, leaves.
constexpr int64_t kMaxCachedEntries = 1 << 16;
constexpr int64_t kMaxCachedLeafEntries = 1 << 15;
constexpr size_t kMaxCachedSlots = 1 << 15;
// A file held exclusively keeps far more of its leaves (nobody else can
// change them, and an edit drops the cache): about a million entries, some
// tens of MB, so a seek over a large index reads and decodes no page at all.
constexpr int64_t kMaxCachedLeafEntriesExclusive = 1 << 20;
constexpr size_t kMaxCachedSlotsExclusive = 1 << 17;

// Bytes of an index file held exclusively kept in memory for its page reads
// (see CVO_DiskFile::cvSetReadCache).
constexpr int64_t kIndexReadCache = int64_t{64} << 20;

// How long a node kept from a shared file stands for its page unread while
// the change counter stands still (see CVobjIndexTag::TakeTrusted).
constexpr int64_t kTrustMicroseconds = 10000;

// The longest pause, in microseconds, between a reader's attempts at the
// index lock (see CVobjIndexFile::ReaderIndexLock).  A writer busy with one
// change after another lets go of the lock only for moments between them:
// a reader that asked seldom would rarely ask in such a moment.
constexpr int64_t kReaderLockPauseMax = 1000;

// Times a reader of a shared file runs a read that met a page that does not
// decode, the last of them under the index lock (see CVobjIndexTag::Reread).
constexpr int kRereads = 4;

int64_t SteadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Spare entry objects a tag keeps for the next node it loads.
constexpr size_t kMaxSpareEntries = 4096;

// Byte-for-byte equality of two values (kind included); never raises, unlike
// a compare of different kinds.
bool SameValue(const TcvVariant& a, const TcvVariant& b) {
  if (a.IsEmpty() && b.IsEmpty()) return true;
  return a.Kind() == b.Kind() && a.Bytes() == b.Bytes();
}

}  // namespace

// ---------------------------------------------------------------------------
// Nodes.

CVobjIndexKey::CVobjIndexKey(CVobjIndexTag* tag, CVobjIndexKey* parent, int32_t page)
    : Page(page), tag_(tag), parent_(parent) {
  if (page > 0) tag_->PageLoad(page, *this);
}

CVobjIndexKey::~CVobjIndexKey() {
  for (auto& e : entries_) tag_->GiveBackEntry(std::move(e));
}

void CVobjIndexKey::Reload(CVobjIndexKey* parent, int32_t page) {
  ClearEntries();
  child_.reset();
  parent_ = parent;
  Page = page;
  LeftSibling = RightSibling = -1;
  PageType = CVsetPageType::Unknown;
  Index = -1;
  Dirty = AtFirst = AtLast = false;
  fresh_ = true;
  raw_.clear();
  stamp_ = -1;
  if (page > 0) tag_->PageLoad(page, *this);
}

void CVobjIndexKey::ClearEntries() {
  for (auto& e : entries_) tag_->GiveBackEntry(std::move(e));
  entries_.clear();
}

CVobjIndexKeyData& CVobjIndexKey::AppendEntry(const TcvVariant& key, int32_t recNo, int32_t link) {
  InsertEntry(Count(), key, recNo, link);
  return *entries_.back();
}

CVobjIndexKeyData& CVobjIndexKey::AppendEntry(std::string_view bytes, TcvVariantType kind, int32_t recNo,
                                              int32_t link) {
  std::unique_ptr<CVobjIndexKeyData> e = tag_->TakeSpareEntry();
  const auto n = static_cast<int32_t>(bytes.size());
  e->CheckBuffer(n);
  if (n > 0) std::memcpy(e->Data(), bytes.data(), bytes.size());
  e->SetKind(kind);
  e->RecNo = recNo;
  e->Link = link;
  entries_.push_back(std::move(e));
  return *entries_.back();
}

void CVobjIndexKey::InsertEntry(int32_t at, const TcvVariant& key, int32_t recNo, int32_t link) {
  std::unique_ptr<CVobjIndexKeyData> e = tag_->TakeSpareEntry();
  e->AssignValue(key);
  e->RecNo = recNo;
  e->Link = link;
  at = std::clamp(at, 0, Count());
  entries_.insert(entries_.begin() + at, std::move(e));
}

void CVobjIndexKey::RemoveEntry(int32_t at) {
  if (at < 0 || at >= Count()) return;
  tag_->GiveBackEntry(std::move(entries_[static_cast<size_t>(at)]));
  entries_.erase(entries_.begin() + at);
}

int32_t CVobjIndexKey::EntryRecNo(int32_t i) const {
  const CVobjIndexKeyData& e = Entry(i);
  return IsLeaf() ? e.Link : e.RecNo;
}

void CVobjIndexKey::CopyToCurrent(int32_t i) {
  CVobjIndexKeyData& cur = tag_->currentKey_;
  cur.AssignValue(Entry(i));
  cur.Link = Entry(i).Link;
  cur.RecNo = EntryRecNo(i);
}

CVobjIndexKey* CVobjIndexKey::GetChild(int32_t page) {
  if (IsLeaf()) return nullptr;
  if (child_ && child_->Page == page) return child_.get();
  // A page that is no page, or one already on the path above, is a corrupt
  // file: following it would loop for ever.
  int depth = 0;
  for (CVobjIndexKey* a = this; a; a = a->parent_, ++depth)
    if (a->Page == page || depth > kMaxDepth) page = 0;
  if (page <= 0) cvIndexCorrupt(tag_->DiskName());
  if (child_ && (child_->Dirty || (child_->child_ && child_->child_->Dirty))) {
    // Write what the old path holds first; a split may move this node's
    // entries, so find the wanted one again by its page.
    tag_->StoreNodes();
    int32_t i = SeekNodeTag(page);
    if (i >= 0) Index = i;
  }
  if (child_) tag_->CacheNodes(std::move(child_));
  child_ = tag_->TakeCachedNode(page, this);
  if (!child_ && tag_->spareNode_) {
    std::unique_ptr<CVobjIndexKey> n = std::move(tag_->spareNode_);
    n->Reload(this, page);
    child_ = std::move(n);
  }
  if (!child_) child_ = std::make_unique<CVobjIndexKey>(tag_, this, page);
  return child_.get();
}

int CVobjIndexKey::SeekKey(int32_t recno, const TcvVariant& key, int32_t prefixResult) {
  fresh_ = false;
  Index = 0;
  if (Count() == 0) return 1;
  const bool ordered = tag_->Owner()->OrderedByRecord;
  auto compareAt = [&](int32_t i) {
    int r = tag_->CompareKeys(key, Entry(i), prefixResult);
    if (r == 0 && recno == cvSeekAfterEqual) r = 1;
    if (r == 0 && recno != cvSeekAnyRecord && ordered) {
      const int32_t er = EntryRecNo(i);
      r = recno > er ? 1 : (recno < er ? -1 : 0);
    }
    return r;
  };
  // The entries are in order: halving finds the first one the key does not
  // lie above (the last when there is none), where a walk from the first
  // entry would stop.
  for (int32_t hi = Count() - 1; Index < hi;) {
    const int32_t mid = Index + (hi - Index) / 2;
    if (compareAt(mid) > 0) Index = mid + 1;
    else hi = mid;
  }
  for (;;) {
    int r;
    for (;;) {
      r = compareAt(Index);
      if (r > 0 && Index < Count() - 1) {
        ++Index;
        continue;
      }
      break;
    }
    if (!IsLeaf()) {
      r = GetChild(Entry(Index).Link)->SeekKey(recno, key, prefixResult);
    } else if (r == 0 && recno != cvSeekAnyRecord && !ordered) {
      // Equal keys: scan on for the exact record.
      r = recno != Entry(Index).Link ? 1 : 0;
    }
    if (r >= 1) {
      if (Index >= Count() - 1) return 1;
      ++Index;
      continue;
    }
    return r;
  }
}

int32_t CVobjIndexKey::SeekNodeTag(int32_t page) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (Entry(i).Link == page) return i;
  return -1;
}

bool CVobjIndexKey::ReadTopKey() {
  fresh_ = false;
  if (IsLeaf()) {
    Index = 0;
    if (Count() == 0) return false;
    CopyToCurrent(0);
    return true;
  }
  for (Index = 0; Index < Count(); ++Index)
    if (GetChild(Entry(Index).Link)->ReadTopKey()) return true;
  Index = Count() - 1;
  return false;
}

bool CVobjIndexKey::ReadBottomKey() {
  fresh_ = false;
  if (IsLeaf()) {
    Index = Count() - 1;
    if (Count() == 0) return false;
    CopyToCurrent(Index);
    return true;
  }
  for (Index = Count() - 1; Index >= 0; --Index)
    if (GetChild(Entry(Index).Link)->ReadBottomKey()) return true;
  Index = 0;
  return false;
}

bool CVobjIndexKey::ReadNextKey() {
  if (IsLeaf()) {
    if (fresh_) Index = -1;
    fresh_ = false;
    if (Index < -1) Index = -1;
    ++Index;
    if (Index >= Count()) {
      Index = Count();
      return false;
    }
    CopyToCurrent(Index);
    return true;
  }
  if (fresh_ || Index < 0) Index = 0;
  fresh_ = false;
  while (Index < Count()) {
    CVobjIndexKey* c = GetChild(Entry(Index).Link);
    if (c->ReadNextKey()) return true;
    ++Index;
  }
  Index = Count() - 1;
  return false;
}

bool CVobjIndexKey::ReadPreviousKey() {
  if (IsLeaf()) {
    if (fresh_ || Index > Count()) Index = Count();
    fresh_ = false;
    --Index;
    if (Index < 0) {
      Index = -1;
      return false;
    }
    CopyToCurrent(Index);
    return true;
  }
  if (fresh_ || Index >= Count()) Index = Count() - 1;
  fresh_ = false;
  while (Index >= 0) {
    CVobjIndexKey* c = GetChild(Entry(Index).Link);
    if (c->ReadPreviousKey()) return true;
    --Index;
  }
  Index = 0;
  return false;
}

bool CVobjIndexKey::ReadCurrentKey() {
  if (fresh_ || Index < 0 || Index >= Count()) return false;
  if (IsLeaf()) {
    CopyToCurrent(Index);
    return true;
  }
  return GetChild(Entry(Index).Link)->ReadCurrentKey();
}

int CVobjIndexKey::RetrieveKey(CVobjIndexKeyData& key) {
  bool first = true;
  bool last = true;
  CVobjIndexKey* n = this;
  for (int depth = 0; n && depth <= kMaxDepth; ++depth) {
    if (n->fresh_ || n->Index < 0 || n->Index >= n->Count()) break;
    first = first && n->Index == 0;
    last = last && n->Index == n->Count() - 1;
    n->AtFirst = first;
    n->AtLast = last;
    if (n->IsLeaf()) {
      key.AssignValue(n->Entry(n->Index));
      key.Link = n->Entry(n->Index).Link;
      key.RecNo = n->EntryRecNo(n->Index);
      return (first ? 1 : 0) | (last ? 2 : 0);
    }
    n = n->GetChild(n->Entry(n->Index).Link);
  }
  key.Clear();
  key.Link = key.RecNo = 0;
  return 0;
}

CVobjIndexKey* CVobjIndexKey::Deepest() {
  CVobjIndexKey* n = this;
  while (n->child_) n = n->child_.get();
  return n;
}

void CVobjIndexKey::InsertKey(const CVobjIndexKeyData& key, bool after) {
  CVobjIndexKey* n = Deepest();
  tag_->treeEdited_ = true;
  int32_t at = std::clamp(n->Index + (after ? 1 : 0), 0, n->Count());
  // In a leaf the carried record number is the record itself, so formats
  // ordered by record number find it in any entry.
  n->InsertEntry(at, key, n->IsLeaf() ? key.Link : key.RecNo, key.Link);
  n->Index = at;
  n->fresh_ = false;
  n->Dirty = true;
  if (at == n->Count() - 1) n->ReplaceNodeKey();
}

void CVobjIndexKey::ReplaceNodeKey() {
  CVobjIndexKey* n = this;
  while (n->parent_ && n->Count() > 0) {
    CVobjIndexKey* p = n->parent_;
    const int32_t i = p->SeekNodeTag(n->Page);
    if (i < 0) break;
    const int32_t last = n->Count() - 1;
    CVobjIndexKeyData& e = p->Entry(i);
    e.AssignValue(n->Entry(last));
    e.RecNo = n->EntryRecNo(last);
    p->Dirty = true;
    if (i != p->Count() - 1) break;
    n = p;
  }
}

void CVobjIndexKey::DeleteKey() {
  CVobjIndexKey* n = Deepest();
  if (n->Index < 0 || n->Index >= n->Count()) return;
  tag_->treeEdited_ = true;
  const bool wasLast = n->Index == n->Count() - 1;
  n->RemoveEntry(n->Index);
  n->Dirty = true;
  if (n->Index >= n->Count()) n->Index = n->Count() - 1;
  if (n->Count() == 0) n->UnlinkFromParent();
  else if (wasLast) n->ReplaceNodeKey();
}

// An emptied node leaves the tree: its entry goes from the parent (which may
// empty in turn); an emptied root becomes an empty leaf root.  The page of a
// node that left is never written again nor reused.
void CVobjIndexKey::UnlinkFromParent() {
  CVobjIndexTag* const tag = tag_;  // this node is freed on the way
  CVobjIndexKey* n = this;
  while (n->Count() == 0) {
    CVobjIndexKey* p = n->parent_;
    if (!p) {
      n->child_.reset();
      n->PageType = CVsetPageType::RootLeaf;
      n->Index = -1;
      n->Dirty = true;
      return;
    }
    const int32_t i = p->SeekNodeTag(n->Page);
    if (i >= 0) tag->NodeLeaving(*n);
    p->child_.reset();  // frees n
    if (i < 0) return;
    const bool wasLast = i == p->Count() - 1;
    p->RemoveEntry(i);
    p->Dirty = true;
    p->Index = std::min(i, p->Count() - 1);
    if (p->Count() > 0 && wasLast) p->ReplaceNodeKey();
    n = p;
  }
}

void CVobjIndexKey::AddNodeKey(const CVobjIndexKeyData& lastOfSplit, int32_t splitPage) {
  if (!parent_) tag_->SetRoot(*this);
  CVobjIndexKey* p = parent_;
  int32_t i = p->SeekNodeTag(Page);
  if (i < 0) i = p->Count();
  p->InsertEntry(i, lastOfSplit, lastOfSplit.RecNo, splitPage);
  p->Index = i + 1;  // the parent points at this node again
  p->fresh_ = false;
  p->Dirty = true;
}

std::unique_ptr<CVobjIndexKey> CVobjIndexKey::SplitFront(int32_t count) {
  count = std::clamp(count, 1, Count() - 1);
  auto left = std::make_unique<CVobjIndexKey>(tag_, nullptr, 0);
  left->PageType = IsLeaf() ? CVsetPageType::Leaf : CVsetPageType::Node;
  for (int32_t i = 0; i < count; ++i) left->entries_.push_back(std::move(entries_[static_cast<size_t>(i)]));
  entries_.erase(entries_.begin(), entries_.begin() + count);
  // The cached child lived under an entry that moved: the path ends here.
  if (Index < count) {
    child_.reset();
    Index = -1;
    fresh_ = true;
  } else {
    Index -= count;
  }
  left->Page = tag_->Owner()->GetAvailPage();
  left->Dirty = true;
  const int32_t last = left->Count() - 1;
  CVobjIndexKeyData sep(0);
  sep.AssignValue(left->Entry(last));
  sep.RecNo = left->EntryRecNo(last);
  sep.Link = left->Page;
  AddNodeKey(sep, left->Page);
  left->parent_ = parent_;
  Dirty = true;
  return left;
}

// ---------------------------------------------------------------------------
// Tags.

CVobjIndexTag::CVobjIndexTag(CVobjIndexFile* owner, const std::string& name) : owner_(owner), tagName_(name) {}

CVobjIndexTag::~CVobjIndexTag() = default;

void CVobjIndexTag::AdjustValue(TcvVariant&, bool) {}

bool CVobjIndexTag::KeepsTreeCached() const {
  const CVO_DiskFile* f = owner_->DiskFile();
  return f && !f->IsShared();
}

bool CVobjIndexTag::OnSharedFile() const {
  const CVO_DiskFile* f = owner_->DiskFile();
  return f && f->IsShared();
}

bool CVobjIndexTag::ReuseDecoded(int32_t page, std::string_view bytes, CVobjIndexKey& node) {
  if (nodeCache_.Empty() || treeEdited_ || !OnSharedFile()) return false;
  std::unique_ptr<CVobjIndexKey>* slot = nodeCache_.Find(page);
  if (!slot || !*slot) return false;
  std::unique_ptr<CVobjIndexKey> kept = std::move(*slot);  // the slot stays for its return
  (kept->IsLeaf() ? cachedLeafEntries_ : cachedEntries_) -= kept->Count();
  if (kept->raw_.size() != bytes.size() || std::memcmp(kept->raw_.data(), bytes.data(), bytes.size()) != 0)
    return false;  // the page changed: the kept node goes
  node.ClearEntries();
  node.entries_.swap(kept->entries_);
  node.raw_.swap(kept->raw_);
  // Read back unchanged inside this operation.
  node.stamp_ = windowStamp_;
  node.stampTime_ = windowTime_;
  // As the format's decode gives it; the open marks the root.
  node.PageType = kept->IsLeaf() ? CVsetPageType::Leaf : CVsetPageType::Node;
  node.LeftSibling = kept->LeftSibling;
  node.RightSibling = kept->RightSibling;
  if (!spareNode_) spareNode_ = std::move(kept);
  return true;
}

void CVobjIndexTag::NoteDecoded(std::string_view bytes, CVobjIndexKey& node) {
  // Leaves are many and a seek meets each one seldom: only the levels
  // above them are worth keeping.
  if (node.IsLeaf() || !OnSharedFile()) return;
  node.raw_.assign(bytes.data(), bytes.size());
  node.stamp_ = windowStamp_;
  node.stampTime_ = windowTime_;
}

bool CVobjIndexTag::TakeTrusted(int32_t page, CVobjIndexKey& node) {
  if (windowStamp_ < 0 || nodeCache_.Empty() || treeEdited_) return false;
  std::unique_ptr<CVobjIndexKey>* slot = nodeCache_.Find(page);
  if (!slot || !*slot || (*slot)->stamp_ != windowStamp_ || windowTime_ - (*slot)->stampTime_ > kTrustMicroseconds)
    return false;
  std::unique_ptr<CVobjIndexKey> kept = std::move(*slot);  // the slot stays for its return
  (kept->IsLeaf() ? cachedLeafEntries_ : cachedEntries_) -= kept->Count();
  node.ClearEntries();
  node.entries_.swap(kept->entries_);
  node.raw_.swap(kept->raw_);
  node.stamp_ = kept->stamp_;
  node.stampTime_ = kept->stampTime_;
  node.PageType = kept->IsLeaf() ? CVsetPageType::Leaf : CVsetPageType::Node;
  node.LeftSibling = kept->LeftSibling;
  node.RightSibling = kept->RightSibling;
  if (!spareNode_) spareNode_ = std::move(kept);
  return true;
}

bool CVobjIndexTag::TreeReusable() const { return root_ && !treeEdited_ && !root_->Dirty && KeepsTreeCached(); }

void CVobjIndexTag::CacheNodes(std::unique_ptr<CVobjIndexKey> node) {
  const bool ours = KeepsTreeCached();
  const int64_t maxLeafEntries = ours ? kMaxCachedLeafEntriesExclusive : kMaxCachedLeafEntries;
  const size_t maxSlots = ours ? kMaxCachedSlotsExclusive : kMaxCachedSlots;
  while (node) {
    std::unique_ptr<CVobjIndexKey> below = std::move(node->child_);
    const bool leaf = node->IsLeaf();
    if (!treeEdited_ && !node->Dirty && node->Page > 0 &&
        (leaf ? cachedLeafEntries_ + node->Count() <= maxLeafEntries
              : cachedEntries_ + node->Count() <= kMaxCachedEntries) &&
        (ours || !node->raw_.empty())) {
      std::unique_ptr<CVobjIndexKey>* slot = nodeCache_.Find(node->Page);
      if (!slot && nodeCache_.Size() < maxSlots) slot = nodeCache_.Insert(node->Page);
      if (slot && !*slot) {
        (leaf ? cachedLeafEntries_ : cachedEntries_) += node->Count();
        *slot = std::move(node);
      }
    }
    if (node && !node->Dirty && !spareNode_) {
      node->ClearEntries();
      node->raw_.clear();
      node->stamp_ = -1;
      spareNode_ = std::move(node);
    }
    node = std::move(below);
  }
}

std::unique_ptr<CVobjIndexKey> CVobjIndexTag::TakeCachedNode(int32_t page, CVobjIndexKey* parent) {
  if (nodeCache_.Empty() || treeEdited_ || !KeepsTreeCached()) return nullptr;
  std::unique_ptr<CVobjIndexKey>* slot = nodeCache_.Find(page);
  if (!slot || !*slot) return nullptr;
  std::unique_ptr<CVobjIndexKey> n = std::move(*slot);  // the slot stays for its return
  (n->IsLeaf() ? cachedLeafEntries_ : cachedEntries_) -= n->Count();
  // As freshly read: not positioned, hung under the asking node.
  n->parent_ = parent;
  n->Index = -1;
  n->fresh_ = true;
  n->AtFirst = n->AtLast = false;
  return n;
}

std::unique_ptr<CVobjIndexKeyData> CVobjIndexTag::TakeSpareEntry() {
  if (spareEntries_.empty()) return std::make_unique<CVobjIndexKeyData>(0);
  std::unique_ptr<CVobjIndexKeyData> e = std::move(spareEntries_.back());
  spareEntries_.pop_back();
  return e;
}

void CVobjIndexTag::GiveBackEntry(std::unique_ptr<CVobjIndexKeyData> entry) noexcept {
  if (!entry || spareEntries_.size() >= kMaxSpareEntries) return;
  try {
    spareEntries_.push_back(std::move(entry));
  } catch (...) {
    // No room for the spare: it is simply freed.
  }
}

bool CVobjIndexTag::WrittenKeyless(const CVobjIndexKey&) const { return false; }
void CVobjIndexTag::NodeLeaving(CVobjIndexKey&) {}

void CVobjIndexTag::DropLoneChildNodes() {
  auto lone = [&](const CVobjIndexKey& n) { return !n.IsLeaf() && n.Count() == 1 && WrittenKeyless(n); };
  for (int round = 0; root_ && round <= 4 * kMaxDepth; ++round) {
    // The deepest such node of the path that can go now: the root, or one
    // whose parent has a neighbour of it to take its child.  A node under
    // a lone parent waits for the parent to go first.
    CVobjIndexKey* x = nullptr;
    for (CVobjIndexKey* n = root_.get(); n; n = n->child_.get())
      if (lone(*n) && (!n->parent_ || n->parent_->Count() >= 2)) x = n;
    if (!x) return;
    treeEdited_ = true;
    DropTreeCache();
    if (!x->parent_) {
      // The root takes its child's entries and keeps its page.
      CVobjIndexKey* r = x;
      r->GetChild(r->Entry(0).Link);
      std::unique_ptr<CVobjIndexKey> c = std::move(r->child_);
      r->entries_.swap(c->entries_);  // the root's one entry goes with c
      r->child_ = std::move(c->child_);
      if (r->child_) r->child_->parent_ = r;
      r->PageType = c->IsLeaf() ? CVsetPageType::RootLeaf : CVsetPageType::Root;
      r->RightSibling = c->RightSibling;
      r->Index = c->Index;
      r->fresh_ = c->fresh_;
      r->raw_.clear();
      r->stamp_ = -1;
      r->Dirty = true;
      continue;
    }
    // The child goes to the neighbour on the left (as its last child) or,
    // for the first node, on the right (as its first), so every leaf stays
    // at one depth; x leaves the tree.  Entry keys are the highest key
    // under their child, so the child keeps the key x's entry had, and the
    // separators of the parent close up.
    CVobjIndexKey* g = x->parent_;
    const int32_t i = g->SeekNodeTag(x->Page);
    if (i < 0 || g->child_.get() != x) return;
    const int32_t only = x->Entry(0).Link;
    std::unique_ptr<CVobjIndexKey> gone = std::move(g->child_);
    std::unique_ptr<CVobjIndexKey> below = std::move(gone->child_);
    CVobjIndexKey* to = g->GetChild(g->Entry(i > 0 ? i - 1 : 1).Link);
    if (to->IsLeaf() || to->Count() == 0) {
      // Not a tree of one depth (written elsewhere): x stays as it is.
      g->child_ = std::move(gone);
      g->child_->child_ = std::move(below);
      g->Index = i;
      return;
    }
    if (i > 0) {
      CVobjIndexKeyData& last = to->Entry(to->Count() - 1);
      // The neighbour's last entry becomes a keyed one: the highest key
      // under it is the separator above the neighbour.
      last.AssignValue(g->Entry(i - 1));
      last.RecNo = g->Entry(i - 1).RecNo;
      // A format that keeps the child a page names last (NTX) sees the new
      // last child there.
      if (to->RightSibling == last.Link) to->RightSibling = only;
      if (g->RightSibling == x->Page) g->RightSibling = to->Page;
      to->InsertEntry(to->Count(), g->Entry(i), g->Entry(i).RecNo, only);
      g->Entry(i - 1).AssignValue(g->Entry(i));
      g->Entry(i - 1).RecNo = g->Entry(i).RecNo;
      g->RemoveEntry(i);
      g->Index = i - 1;
      to->Index = to->Count() - 1;
    } else {
      to->InsertEntry(0, g->Entry(0), g->Entry(0).RecNo, only);
      g->RemoveEntry(0);
      g->Index = 0;
      to->Index = 0;
    }
    g->fresh_ = false;
    to->fresh_ = false;
    to->raw_.clear();
    to->stamp_ = -1;
    to->Dirty = true;
    if (below) {
      below->parent_ = to;
      to->child_ = std::move(below);
    }
    // The parent is written first: a reader without a lock that meets the
    // pages between the two writes then misses the moved child's keys for
    // a moment (a miss it looks at again with no writer at work), where the
    // other order would show them twice.  A parent left with a single child
    // goes next round instead, its own parent written first.
    g->Dirty = true;
    if (!lone(*g)) {
      PageStore(*g);
      g->Dirty = false;
    }
  }
}

void CVobjIndexTag::DropTreeCache() {
  nodeCache_.Clear();
  cachedEntries_ = cachedLeafEntries_ = 0;
}

void CVobjIndexTag::RewindTree() {
  if (root_->child_) CacheNodes(std::move(root_->child_));
  root_->Index = -1;
  root_->fresh_ = true;
  root_->AtFirst = root_->AtLast = false;
}

bool CVobjIndexTag::IndexTagNew(const std::string&, const std::string& keyExpr, const std::string& forExpr,
                                bool ascending, bool unique) {
  keyExpression_ = keyExpr;
  forExpression_ = forExpr;
  ascending_ = ascending;
  unique_ = unique;
  hasFor_ = !forExpr.empty();
  PostTagExpression();
  PostTagFilter();
  return true;
}

bool CVobjIndexTag::KeyAdd(const CVobjIndexKeyData& key) {
  OperationScope operation(this);
  if (!inUpdate_) TagOpen(cvTagOpenRoot);
  if (!root_) return false;
  CVobjIndexKeyData k(0);
  k.AssignLinks(key);
  AdjustValue(k, true);
  cvFitKeyLength(k, keyLength_);
  k.RecNo = k.Link;
  bof_ = eof_ = false;
  const bool ordered = owner_->OrderedByRecord;
  int32_t place = ordered ? k.Link : (descendingCompare_ ? 0 : cvSeekAfterEqual);
  if (unique_) {
    if (root_->SeekKey(cvSeekAnyRecord, k, -1) == 0) return false;  // the first record keeps it
    place = k.Link;
  }
  if (root_->SeekKey(place, k, -1) <= 0) {
    root_->InsertKey(k, false);
  } else {
    root_->ReadBottomKey();
    root_->InsertKey(k, true);
  }
  DropLoneChildNodes();
  StoreNodes();
  // Make the new entry current.
  if (!inUpdate_) TagOpen(cvTagOpenRoot);
  if (root_ && root_->SeekKey(k.Link, k, -1) == 0) root_->RetrieveKey(currentKey_);
  return true;
}

int32_t CVobjIndexTag::NewRoot() { return rootPage_; }
int32_t CVobjIndexTag::PageLoad(int32_t, CVobjIndexKey&) { return 0; }
int32_t CVobjIndexTag::PageStore(CVobjIndexKey&) { return 0; }
void CVobjIndexTag::TagLoad() { headerDirty_ = false; }
void CVobjIndexTag::TagStore() { headerDirty_ = false; }

void CVobjIndexTag::PostTagExpression() {
  keyHandler_.reset();
  CVobjIndexTableLink* t = owner_->Table();
  if (t && t->ixExpressionLink() && !keyExpression_.empty())
    keyHandler_ = std::make_unique<TcvExpHandler>(t->ixExpressionLink(), keyExpression_);
}

void CVobjIndexTag::PostTagFilter() {
  forHandler_.reset();
  CVobjIndexTableLink* t = owner_->Table();
  if (t && t->ixExpressionLink() && hasFor_ && !forExpression_.empty())
    forHandler_ = std::make_unique<TcvExpHandler>(t->ixExpressionLink(), forExpression_);
}

bool CVobjIndexTag::SolveExpression(TcvVariant& key, bool& ok) {
  ok = true;
  if (!keyHandler_) return false;
  ok = keyHandler_->ExpressionAsVariant(key);
  return true;
}

bool CVobjIndexTag::TrialKeyType(int32_t numericLength, char& type, int32_t& length) {
  TcvVariant trial;
  bool ok = true;
  SolveExpression(trial, ok);
  switch (trial.Kind()) {
    case cvvtFloat:
      type = 'N';
      length = numericLength;
      return true;
    case cvvtDate:
      type = 'D';
      length = 8;
      return true;
    case cvvtBoolean:
      type = 'C';
      length = 1;
      return true;
    case cvvtText:
      type = 'C';
      length = trial.Length();
      return true;
    default: return false;
  }
}

bool CVobjIndexTag::SolveFilter() {
  if (!forHandler_) return false;
  TcvExpValue v;
  forHandler_->ExpressionResult(v);
  return forHandler_->ResultType() == rtBoolean && v.AsBoolean();
}

bool CVobjIndexTag::EvaluateRecordKey(CVobjIndexKeyData& key, bool& ok) {
  ok = true;
  if (!SolveExpression(key, ok)) return false;
  if (!ok) return true;
  AdjustValue(key, true);
  cvFitKeyLength(key, keyLength_);
  return true;
}

bool CVobjIndexTag::BuildRecordKey(CVobjIndexKeyData& key) {
  bool ok = true;
  if (!EvaluateRecordKey(key, ok)) return false;
  // A key with no storable value (a memo, a null) would go in as an empty
  // key that no find can tell from a real one.
  if (!ok) cvRaiseExpression(cvErrConstructBad);
  return true;
}

int CVobjIndexTag::CompareKeys(const TcvVariant& value, const TcvVariant& stored, int32_t prefixResult) const {
  int r;
  const TcvVariantType kind = value.Kind();
  if ((kind == cvvtText || kind == cvvtBinary) && stored.Kind() == kind && !value.IsEmpty() && !stored.IsEmpty()) {
    // Two texts or two binaries: bytes compare unsigned; a text that is a
    // proper prefix of the stored one gives prefixResult's sign.
    const int32_t la = value.Length(), lb = stored.Length();
    const int c = std::memcmp(value.Data(), stored.Data(), static_cast<size_t>(std::min(la, lb)));
    if (c != 0) r = c < 0 ? -1 : 1;
    else if (la == lb) r = 0;
    else if (la > lb) r = 1;
    else if (kind == cvvtBinary) r = -1;
    else r = prefixResult < 0 ? -1 : (prefixResult > 0 ? 1 : 0);
  } else {
    int32_t pos = 0;
    r = value.Compare(&stored, pos, nullptr, prefixResult);
  }
  return descendingCompare_ ? -r : r;
}

void CVobjIndexTag::StoreNodes() {
  if (root_) {
    CVobjIndexKey* n = root_->Deepest();
    int guard = 0;
    while (n && guard++ <= 4 * kMaxDepth) {
      if (n->Dirty) {
        // Written nodes may split and move entries: what is cached goes.
        treeEdited_ = true;
        DropTreeCache();
        PageStore(*n);
        n->Dirty = false;
      }
      n = n->parent_;  // read after the store: a split may have put a new root above
    }
  }
  if (headerDirty_) {
    treeEdited_ = true;
    DropTreeCache();
    TagStore();
  }
}

void CVobjIndexTag::ReloadAfterRollBack() {
  DiscardTree();
  TagLoad();
}

void CVobjIndexTag::DiscardTree() noexcept {
  root_.reset();
  DropTreeCache();
  spareNode_.reset();
  treeEdited_ = false;
  headerDirty_ = false;
  windowStamp_ = -1;
  currentKey_.Link = 0;
  bof_ = eof_ = false;
  changed_ = false;
}

bool CVobjIndexTag::ForgetTreeForReread() {
  if (headerDirty_) return false;
  for (const CVobjIndexKey* n = root_.get(); n; n = n->child_.get())
    if (n->Dirty) return false;
  root_.reset();
  DropTreeCache();
  spareNode_.reset();
  treeEdited_ = false;
  windowStamp_ = -1;
  currentKey_.Link = 0;
  bof_ = eof_ = false;
  owner_->ForgetFileSize();
  return true;
}

template <class F>
auto CVobjIndexTag::Reread(F&& op) -> decltype(op()) {
  if (operationDepth_ != 1 || inUpdate_ || !OnSharedFile()) return op();
  for (int attempt = 1; attempt < kRereads; ++attempt) {
    try {
      return op();
    } catch (const ECorvidIndexCorrupt&) {
      if (!ForgetTreeForReread()) throw;
    }
    // Give the writer a moment to finish its page.
    std::this_thread::yield();
  }
  return UnderIndexLock(op);
}

template <class F>
auto CVobjIndexTag::UnderIndexLock(F&& op) -> decltype(op()) {
  const CVO_DiskFile* d = owner_->DiskFile();
  if (d && d->LockCount() > 0) return op();
  CVobjIndexFile::IndexLockScope lock(*owner_, CVobjIndexFile::IndexLockScope::ForReader{});
  return op();
}

template <class F>
bool CVobjIndexTag::FindWithNoWriter(F&& find, int32_t& found) {
  // The counter before the lock, the lock before any page: a writer whose
  // writes the find may meet took the lock after the first look, so it
  // either holds it still at the second or moved the counter before it let
  // go.  The counter may come round (or be reset by a rebuild), which no
  // writer does in moments.
  const int64_t start = SteadyMicroseconds();
  const int64_t before = CounterOnDisk();
  if (before < 0 || !owner_->NoWriterAtWork()) return false;
  try {
    found = find();
  } catch (const ECorvidIndexCorrupt&) {
    return false;
  }
  return SteadyMicroseconds() - start <= kTrustMicroseconds && owner_->NoWriterAtWork() && CounterOnDisk() == before;
}

void CVobjIndexTag::TagOpen(int mode) {
  OperationScope operation(this);
  Reread([&] { TagOpenOnce(mode); });
}

void CVobjIndexTag::TagOpenOnce(int mode) {
  StoreNodes();
  if (TreeReusable()) {
    // Nothing can have changed the file since the tree was read.
    currentKey_.Link = 0;
    RewindTree();
  } else {
    if (root_ && !treeEdited_ && OnSharedFile()) {
      // The nodes just walked are kept with their bytes: the next walk
      // reads the pages again and reuses what reads back unchanged.
      currentKey_.Link = 0;
      CacheNodes(std::move(root_));
    } else {
      TagClose();
    }
    windowStamp_ = -1;
    rootPage_ = NewRoot();
    // The counter first, then the lock: see TakeTrusted.
    if (OnSharedFile() && !treeEdited_) {
      const int64_t counter = OpenedCounter();
      if (counter >= 0 && owner_->NoWriterAtWork()) {
        windowStamp_ = counter;
        windowTime_ = SteadyMicroseconds();
      }
    }
    if (rootPage_ <= 0) return;
    root_ = std::make_unique<CVobjIndexKey>(this, nullptr, rootPage_);
    root_->PageType = root_->IsLeaf() ? CVsetPageType::RootLeaf : CVsetPageType::Root;
  }
  if (mode == cvTagOpenRoot) return;
  if (mode == cvTagOpenFollow) {
    CVobjIndexTableLink* t = owner_->Table();
    const int32_t rec = t ? t->ixCurrentRecord() : 0;
    if (!keyExpression_.empty() && t && rec > 0 && rec <= t->ixRecordCount() && root_->Count() > 0) {
      CVobjIndexKeyData k(0);
      bool ok = true;
      if (EvaluateRecordKey(k, ok) && ok && root_->SeekKey(rec, k, -1) == 0) {
        root_->RetrieveKey(currentKey_);
        if (KeyRead(cvReadCurrent) != 0) return;
        if (!root_) return;
      }
    }
  }
  KeyRead(cvReadTop);
}

void CVobjIndexTag::TagClose() {
  StoreNodes();
  root_.reset();
  DropTreeCache();
  treeEdited_ = false;
  currentKey_.Link = 0;
}

void CVobjIndexTag::CloseQuietly() noexcept {
  try {
    TagClose();
  } catch (...) {
    // Nothing can be reported from here; the explicit close reports.
  }
  root_.reset();
  DropTreeCache();
  treeEdited_ = false;
}

void CVobjIndexTag::RangeCheck() {
  if (bof_ || eof_ || !GetRangeActive()) return;
  if (rangeHighSet_ && CompareKeys(rangeHigh_, currentKey_, rangeMode_) < 0) {
    eof_ = true;
    return;
  }
  if (rangeLowSet_ && CompareKeys(rangeLow_, currentKey_, LowBoundMode()) > 0) bof_ = true;
}

int32_t CVobjIndexTag::LowBoundMode() const {
  // Keys stored in descending order put the keys that begin with the low
  // bound before it ("AB" before "A"): a whole-key range must compare its
  // low bound whole too, or it takes them in.
  return descendingCompare_ ? rangeMode_ : 0;
}

int32_t CVobjIndexTag::Finish() {
  if (bof_ || eof_) currentKey_.Link = 0;
  if (reversedNavigation_) std::swap(bof_, eof_);
  return currentKey_.Link;
}

int32_t CVobjIndexTag::KeyRead(int32_t code) {
  OperationScope operation(this);
  // The top and the bottom are read from a fresh open.
  if (code == cvReadTop || code == cvReadBottom) return Reread([&] { return KeyReadOnce(code); });
  const bool step = code == cvReadNext || code == cvReadPrevious;
  if (!step || !root_ || currentKey_.Link <= 0 || operationDepth_ != 1 || inUpdate_ || !OnSharedFile())
    return KeyReadOnce(code);
  // A step loads pages named by nodes read earlier: another handle may have
  // rewritten them since.  Then the step is taken again from the current
  // key on the tree as it stands.
  CVobjIndexKeyData from(0);
  from.AssignLinks(currentKey_);
  try {
    return KeyReadOnce(code);
  } catch (const ECorvidIndexCorrupt&) {
    if (!ForgetTreeForReread()) throw;
  }
  return Reread([&] { return StepFrom(code, from); });
}

int32_t CVobjIndexTag::StepFrom(int32_t code, const CVobjIndexKeyData& from) {
  TagOpenOnce(cvTagOpenRoot);
  currentKey_.Link = 0;
  if (!root_) return 0;
  if (reversedNavigation_) code = code == cvReadNext ? cvReadPrevious : cvReadNext;
  bof_ = eof_ = false;
  // Found, the tree stands on the key; gone, on the first key after it.
  const int r = root_->SeekKey(from.Link, from, -1);
  if (code == cvReadNext) {
    if (r == 1 || !root_->ReadCurrentKey() || (r == 0 && !root_->ReadNextKey())) eof_ = true;
  } else if (r == 1 ? !root_->ReadBottomKey() : !(root_->ReadCurrentKey() && root_->ReadPreviousKey())) {
    bof_ = true;
  }
  RangeCheck();
  return Finish();
}

int32_t CVobjIndexTag::KeyReadOnce(int32_t code) {
  currentKey_.Link = 0;
  if (!root_) return 0;
  if (reversedNavigation_) {
    switch (code) {
      case cvReadTop: code = cvReadBottom; break;
      case cvReadBottom: code = cvReadTop; break;
      case cvReadNext: code = cvReadPrevious; break;
      case cvReadPrevious: code = cvReadNext; break;
      default: break;
    }
  }
  bof_ = eof_ = false;
  switch (code) {
    case cvReadCurrent:
      if (!root_->ReadCurrentKey()) bof_ = eof_ = true;
      RangeCheck();
      break;
    case cvReadTop:
      if (!inUpdate_) TagOpen(cvTagOpenRoot);
      if (!root_) return 0;
      if (!rangeLowSet_ || inUpdate_) {
        if (!root_->ReadTopKey()) bof_ = true;
      } else if (root_->SeekKey(cvSeekAnyRecord, rangeLow_, LowBoundMode()) == 1 || !root_->ReadCurrentKey()) {
        eof_ = true;
      }
      RangeCheck();
      if (eof_) bof_ = true;
      eof_ = bof_;
      break;
    case cvReadBottom:
      if (!inUpdate_) TagOpen(cvTagOpenRoot);
      if (!root_) return 0;
      if (!rangeHighSet_ || inUpdate_) {
        if (!root_->ReadBottomKey()) eof_ = true;
      } else {
        const int r = root_->SeekKey(cvSeekAfterEqual, rangeHigh_, rangeMode_);
        if (r < 0) {
          if (!root_->ReadPreviousKey()) bof_ = true;
        } else if (r == 0) {
          if (!root_->ReadCurrentKey()) eof_ = true;
        } else if (!root_->ReadBottomKey()) {
          eof_ = true;
        }
      }
      RangeCheck();
      if (bof_) eof_ = true;
      bof_ = eof_;
      break;
    case cvReadNext:
      if (!root_->ReadNextKey()) eof_ = true;
      RangeCheck();
      break;
    case cvReadPrevious:
      if (!root_->ReadPreviousKey()) bof_ = true;
      RangeCheck();
      break;
    default: return 0;
  }
  return Finish();
}

int32_t CVobjIndexTag::Find(const TcvVariant& key, int32_t recno, bool exact, bool rangeTest) {
  currentKey_.Link = 0;
  // A find outside an update starts from a fresh open; the seek positions
  // straight from the root.
  const bool opened = !inUpdate_;
  if (!inUpdate_ || !root_) TagOpen(cvTagOpenRoot);
  if (!root_) return 0;
  currentKey_.Link = 0;
  CVobjIndexKeyData& k = seekKey_;
  k.AssignValue(key);
  AdjustValue(k, true);
  bof_ = eof_ = false;
  const int32_t prefix = exact || inUpdate_ ? -1 : 0;
  int r = root_->SeekKey(recno, k, prefix);
  bool current = r != 1 && root_->ReadCurrentKey();
  if (!current && opened) {
    // Nothing found at or after the key: the current key is left as a full
    // open leaves it (the first key of the order), so do that open and seek.
    TagOpen(cvTagOpenTop);
    if (!root_) return 0;
    currentKey_.Link = 0;
    bof_ = eof_ = false;
    r = root_->SeekKey(recno, k, prefix);
    current = r != 1 && root_->ReadCurrentKey();
  }
  if (r == 1) {
    // Ran past the last key.
    eof_ = true;
    return 0;
  }
  if (!current) {
    eof_ = true;
    currentKey_.Link = 0;
    return 0;
  }
  if (r < 0) return 0;  // not found: positioned on the next key (soft seek)
  if (rangeTest && KeyInRange() != 0) {
    eof_ = true;
    return 0;
  }
  return currentKey_.Link;
}

// Find on a tag read backwards over keys stored ascending (a descending CDX
// or memory index tag).  The first equal key in reading order is the last
// one stored, so the seek goes past every equal key and steps back one.  Not
// found, the tag stands on the key that follows the sought one in reading
// order (the next lower key stored); with none, at the end.
int32_t CVobjIndexTag::FindReadingBackwards(const TcvVariant& key, bool exact) {
  currentKey_.Link = 0;
  TagOpen(cvTagOpenRoot);
  CVobjIndexKey* root = Root();
  if (!root) return 0;
  CVobjIndexKeyData k(0);
  k.AssignValue(key);
  AdjustValue(k, true);
  bof_ = eof_ = false;
  const int32_t prefix = exact ? -1 : 0;
  const bool stepped =
      root->SeekKey(cvSeekAfterEqual, k, prefix) == 1 ? root->ReadBottomKey() : root->ReadPreviousKey();
  if (!stepped) {
    // Every key stored lies above the sought one: nothing follows it.
    eof_ = true;
    currentKey_.Link = 0;
    return 0;
  }
  if (CompareKeys(k, currentKey_, prefix) != 0) return 0;
  if (KeyInRange() != 0) {
    eof_ = true;
    return 0;
  }
  return currentKey_.Link;
}

int32_t CVobjIndexTag::KeyFind(const TcvVariant& key, int32_t recno) {
  OperationScope operation(this);
  CVobjIndexTableLink* t = owner_->Table();
  // Whole-key or prefix compare, as the table asks for this find.
  const bool exact = t ? t->ixExactMatch() : true;
  auto find = [&] {
    if (reversedNavigation_ && recno == cvSeekAnyRecord && !inUpdate_) return FindReadingBackwards(key, exact);
    return Find(key, recno, exact, true);
  };
  const int32_t found = Reread(find);
  // A reader that takes no lock may follow a parent read just before a
  // split into the child the split emptied, or read a leaf while it is
  // being written: every page decodes, yet a key that is in the file looks
  // missing.  Another look a moment later settles nothing: a writer held up
  // between its two writes (a busy machine) leaves the half-split tree as
  // long as it waits.  So a miss stands only once it is seen with no writer
  // at work: where every writer moves a change counter, a look between two
  // checks of the lock and the counter; else, or when a writer showed, a
  // look under the index lock, which waits only for the writer at work.
  if (found != 0 || operationDepth_ != 1 || inUpdate_ || !OnSharedFile()) return found;
  if (owner_->DiskFile()->LockCount() > 0 || !ForgetTreeForReread()) return found;
  int32_t again = 0;
  if (FindWithNoWriter(find, again)) return again;
  if (!ForgetTreeForReread()) return again;
  return UnderIndexLock(find);
}

void CVobjIndexTag::KeySync(int32_t recno) {
  OperationScope operation(this);
  if (root_ && currentKey_.Link == recno && recno != 0) return;
  Reread([&] { TagOpenOnce(cvTagOpenFollow); });
}

bool CVobjIndexTag::KeyDelete(const CVobjIndexKeyData& key) {
  OperationScope operation(this);
  if (!inUpdate_ || !root_) TagOpen(cvTagOpenRoot);
  if (!root_) return false;
  CVobjIndexKeyData k(0);
  k.AssignLinks(key);
  AdjustValue(k, true);
  cvFitKeyLength(k, keyLength_);
  if (root_->SeekKey(k.Link, k, -1) != 0) return false;
  root_->DeleteKey();
  DropLoneChildNodes();
  StoreNodes();
  return true;
}

bool CVobjIndexTag::KeyUpdate(int32_t recno, bool appending) {
  OperationScope operation(this);
  CVobjIndexTableLink* t = owner_->Table();
  if (!t || !t->ixHasOriginalRecord()) return false;
  if (!hasFor_ && !t->ixRecordModified() && !appending) return false;

  const bool wasOpen = root_ != nullptr;
  struct UpdateGuard {
    CVobjIndexTag* tag;
    CVobjIndexTableLink* table;
    bool wasOpen;
    ~UpdateGuard() {
      tag->inUpdate_ = false;
      if (!wasOpen) tag->CloseQuietly();
    }
  } guard{this, t, wasOpen};
  inUpdate_ = true;
  changed_ = false;

  const bool forOk = !hasFor_ || SolveFilter();
  CVobjIndexKeyData newKey(0);
  bool newOk = true;
  if (!EvaluateRecordKey(newKey, newOk)) return false;
  newKey.RecNo = newKey.Link = recno;
  // A record the tag should hold whose key has no storable value is
  // refused; its old entry still goes, so the index never keeps a key the
  // record no longer has.
  const bool store = forOk && newOk;
  if (!root_) TagOpen(cvTagOpenRoot);
  if (!root_) return false;

  if (appending) {
    if (store) changed_ = KeyAdd(newKey) || changed_;
  } else {
    CVobjIndexKeyData oldKey(0);
    bool oldOk = true;
    {
      // The old key comes from the saved image; the table's record image is
      // put back to exactly what it was (a caller's buffer stays in force
      // for the tags of the files that follow).
      OriginalRecordScope original(*t);
      EvaluateRecordKey(oldKey, oldOk);
    }
    oldKey.RecNo = oldKey.Link = recno;
    // The old entry is sought with its record number and without the
    // active range: an entry outside the range is still the record's.  An
    // old record whose key had no value has no entry to look for.
    const bool found = oldOk && Find(oldKey, recno, true, false) != 0;
    if (store && SameValue(oldKey, newKey)) {
      if (!found) changed_ = KeyAdd(newKey);
    } else {
      if (found) {
        root_->DeleteKey();
        DropLoneChildNodes();
        StoreNodes();
        changed_ = true;
      }
      if (store && KeyAdd(newKey)) changed_ = true;
    }
  }
  if (forOk && !newOk) cvRaiseExpression(cvErrConstructBad);
  if (!wasOpen) TagClose();
  return changed_;
}

int32_t CVobjIndexTag::HuntDuplicate(const TcvVariant& key) {
  OperationScope operation(this);
  // The tree is searched from a fresh root with whole-key compare and no
  // range; the tag's own path and position are set aside meanwhile.
  class Aside {
  public:
    explicit Aside(CVobjIndexTag* tag) : tag_(tag), root_(std::move(tag->root_)), bof_(tag->bof_), eof_(tag->eof_) {
      current_.AssignLinks(tag->currentKey_);
    }
    ~Aside() {
      // The set-aside tree may hold edits: it is read afresh at the next open.
      tag_->DropTreeCache();
      tag_->treeEdited_ = true;
      tag_->root_ = std::move(root_);
      tag_->currentKey_.AssignLinks(current_);
      tag_->bof_ = bof_;
      tag_->eof_ = eof_;
    }
    Aside(const Aside&) = delete;
    Aside& operator=(const Aside&) = delete;

  private:
    CVobjIndexTag* tag_;
    std::unique_ptr<CVobjIndexKey> root_;
    CVobjIndexKeyData current_{0};
    bool bof_, eof_;
  } aside(this);
  const bool wasUpdating = inUpdate_;
  inUpdate_ = false;
  int32_t rec = 0;
  try {
    rec = Find(key, cvSeekAnyRecord, true, false);
  } catch (...) {
    inUpdate_ = wasUpdating;
    root_.reset();
    throw;
  }
  inUpdate_ = wasUpdating;
  root_.reset();  // clean: a find writes nothing
  return rec;
}

bool CVobjIndexTag::SetRange(const TcvVariant* low, bool lowFlag, const TcvVariant* high, bool highFlag, bool partial) {
  OperationScope operation(this);
  // An empty text means "no bound".  Any other bound is a bound, also when
  // its stored form is empty (a text key of blanks loses its trailing blanks
  // in formats that store keys trimmed), so "blank keys only" can be asked.
  const bool lowSet = low && !low->IsEmpty();
  const bool highSet = high && !high->IsEmpty();
  CVobjIndexKeyData lo(0), hi(0);
  if (lowSet) {
    lo.AssignValue(*low);
    AdjustValue(lo, true);
  }
  if (highSet) {
    hi.AssignValue(*high);
    AdjustValue(hi, true);
  }
  const int32_t mode = partial ? 0 : -1;
  const bool changed =
      lowSet != rangeLowSet_ || highSet != rangeHighSet_ || !SameValue(lo, rangeLow_) || !SameValue(hi, rangeHigh_) ||
      ((lowSet || highSet) && (mode != rangeMode_ || lowFlag != rangeLowFlag_ || highFlag != rangeHighFlag_));
  if (!changed) return false;
  rangeLow_.Clear();
  rangeHigh_.Clear();
  if (lowSet) rangeLow_.AssignValue(lo);
  if (highSet) rangeHigh_.AssignValue(hi);
  rangeLowSet_ = lowSet;
  rangeHighSet_ = highSet;
  rangeMode_ = mode;
  rangeLowFlag_ = lowFlag;
  rangeHighFlag_ = highFlag;
  KeyRead(cvReadTop);
  return true;
}

void CVobjIndexTag::GetRange(TcvVariant& low, TcvVariant& high) const {
  low.Assign(&rangeLow_);
  high.Assign(&rangeHigh_);
}

bool CVobjIndexTag::GetRangeActive() const { return rangeLowSet_ || rangeHighSet_; }

int32_t CVobjIndexTag::GetRangeCount() {
  OperationScope operation(this);
  CVobjIndexTableLink* t = owner_->Table();
  if (!hasFor_ && !GetRangeActive()) return t ? t->ixRecordCount() : 0;
  CVobjIndexKeyData saved(0);
  saved.AssignLinks(currentKey_);
  int32_t n = 0;
  for (int32_t rec = KeyRead(cvReadTop); rec != 0; rec = KeyRead(cvReadNext)) ++n;
  if (saved.Link != 0) Find(saved, saved.Link, true, false);
  return n;
}

int CVobjIndexTag::KeyInRange() {
  if (!GetRangeActive()) return 0;
  if (bof_) return -1;
  if (eof_) return 1;
  // Both bounds are tested; an absent bound is unbounded.  A set flag makes
  // its bound inclusive.
  if (rangeHighSet_) {
    int r = CompareKeys(rangeHigh_, currentKey_, rangeMode_);
    if (r == 0) r = rangeHighFlag_ ? 1 : 0;
    if (r < 1) return 1;
  }
  if (rangeLowSet_) {
    int s = CompareKeys(rangeLow_, currentKey_, LowBoundMode());
    if (s == 0) s = rangeLowFlag_ ? -1 : 0;
    if (s > -1) return -1;
  }
  return 0;
}

void CVobjIndexTag::SetRoot(CVobjIndexKey& oldRoot) {
  // The old root moves to a fresh page under a new root that keeps the root
  // page, so the header still points at the root.
  auto top = std::make_unique<CVobjIndexKey>(this, nullptr, 0);
  top->PageType = CVsetPageType::Root;
  top->Page = oldRoot.Page;
  oldRoot.Page = owner_->GetAvailPage();
  oldRoot.PageType = oldRoot.IsLeaf() ? CVsetPageType::Leaf : CVsetPageType::Node;
  oldRoot.Dirty = true;
  CVobjIndexKeyData sep(0);
  if (oldRoot.Count() > 0) {
    const int32_t last = oldRoot.Count() - 1;
    sep.AssignValue(oldRoot.Entry(last));
    sep.RecNo = oldRoot.EntryRecNo(last);
  }
  top->InsertEntry(0, sep, sep.RecNo, oldRoot.Page);
  top->Index = 0;
  top->fresh_ = false;
  top->Dirty = true;
  oldRoot.parent_ = top.get();
  if (root_.get() == &oldRoot) {
    top->child_ = std::move(root_);
  }
  root_ = std::move(top);
  headerDirty_ = true;
}

std::string CVobjIndexTag::GetIndexExpression() const {
  return keyHandler_ ? keyHandler_->GetExpression() : std::string();
}

// ---------------------------------------------------------------------------
// Index files.

CVobjIndexFile::CVobjIndexFile(CVobjIndexTableLink* table, const std::string& name)
    : fileName_(ExtractFileName(name)), table_(table) {}

CVobjIndexFile::~CVobjIndexFile() {
  // Tags first (they refer to this file), then the disk file.
  FreeTags();
  try {
    EndWritingSession();
  } catch (...) {
    // Not forced out: the mark stays, and the next open rebuilds the file.
  }
}

namespace {

// An index file's disk file: marks the index as being changed before the
// first byte of a session is written, cut or emptied.
class CVobjMarkedDiskFile : public CVO_DiskFile {
public:
  CVobjMarkedDiskFile(CVobjIndexFile& owner, const std::string& name, bool readWrite, bool shared)
      : CVO_DiskFile(name, readWrite, shared), owner_(owner) {}
  void cvWrite(int64_t position, const void* buffer, int32_t count) override {
    owner_.MarkBeingChanged();
    CVO_DiskFile::cvWrite(position, buffer, count);
  }
  void cvTruncate(int64_t size) override {
    owner_.MarkBeingChanged();
    owner_.KeepCopyBeforeCut();
    CVO_DiskFile::cvTruncate(size);
  }
  void cvReWrite() override {
    // A file there already is marked before it is emptied; a new one is
    // marked at its first write.
    if (FileExists(FileName())) {
      owner_.MarkBeingChanged();
      owner_.KeepCopyBeforeCut();
    }
    CVO_DiskFile::cvReWrite();
  }

private:
  CVobjIndexFile& owner_;
};

}  // namespace

bool CVobjIndexFile::MarkBeingChanged(std::vector<std::string>* folders) {
  if (mark_.Held() || !disk_ || JournalKept || !cvIndexMarking) return false;
  mark_.Begin(disk_->FileName(), folders);
  return true;
}

void CVobjIndexFile::KeepCopyBeforeCut() {
  if (!mark_.Held() || !disk_ || copyKept_) return;
  // Read by name: the handle may not be open yet (a file made anew).  A
  // plain open, without the shared hold that this handle's own exclusive
  // one would refuse.
  int fd = ::open(disk_->FileName().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;  // nothing there to keep
  struct Close {
    int fd;
    ~Close() { FileClose(fd); }
  } close{fd};
  const int64_t size = FileSize(fd);
  if (size <= 0) return;
  mark_.KeepCopy([fd](int64_t at, uint8_t* b, int32_t n) { return FileRead(fd, at, b, static_cast<size_t>(n)); },
                 size);
  copyKept_ = true;
}

void CVobjIndexFile::KeepCopyBeforeTagChange() {
  // The tag directory is rewritten in place: a process killed half-way
  // leaves names torn, and a rebuild would only rebuild the torn tags.  The
  // next open puts this copy back instead, and rebuilds the tags it lists.
  MarkBeingChanged();
  KeepCopyBeforeCut();
}

void CVobjIndexFile::CutDone() {
  if (!mark_.Held()) return;
  // A power cut after the copy went must find the file whole.  A sync that
  // fails keeps the copy, and the mark outlives the session (the file's
  // failed sync is remembered by its disk file).
  if (disk_) disk_->cvFlushData();
  try {
    mark_.DropCopy();
  } catch (...) {
    syncFailed_ = true;
    throw;
  }
  copyKept_ = false;
}

bool CVobjIndexFile::RestoreLeftHalfChanged(const std::string& path, bool fallback) {
  cvIndexMark mark;
  if (!mark.TakeDead(path)) return false;
  // The mark stays (dead) for the rebuild that follows the next load.
  return mark.RestoreCopy(path, fallback);
}

namespace {

// Re-ciphers the whole 512-byte blocks of `n` bytes read at `at` (a
// multiple of 512), from the key `from` to the key `to`.
void RecipherBlocks(uint8_t* b, int64_t n, const std::string& from, const std::string& to) {
  for (int64_t i = 0; i + 512 <= n; i += 512) {
    Encryption(from, b + i, b + i, 512, 0);
    Encryption(to, b + i, b + i, 512, 1);
  }
}

}  // namespace

void CVobjIndexFile::KeepRecipheredCopy(const std::string& from, const std::string& to) {
  if (!mark_.Held() || !disk_) return;
  const int64_t size = disk_->cvFileSize();
  mark_.KeepCopy(
      [&](int64_t at, uint8_t* b, int32_t n) -> int64_t {
        const int32_t got = disk_->cvRead(at, b, n);
        if (got == n) RecipherBlocks(b, n, from, to);
        return got;
      },
      size, true);
}

void CVobjIndexFile::RecipherInPlace(const std::string& from, const std::string& to) {
  if (!disk_) return;
  const int64_t blocks = disk_->cvFileSize() / 512;
  uint8_t block[512];
  // The first block last: until it is written the file does not load with
  // the new key, and an open puts back the copy kept in the mark.
  for (int64_t k = 1; k <= blocks; ++k) {
    const int64_t b = k % blocks;
    if (disk_->cvRead(b * 512, block, 512) != 512) cvRaise(cvErrReadFailed, {disk_->FileName()});
    RecipherBlocks(block, 512, from, to);
    disk_->cvWrite(b * 512, block, 512);
  }
}

bool CVobjIndexFile::LeftHalfChanged() const {
  return disk_ && cvIndexMark::Inspect(disk_->FileName()) == cvIndexMark::Finding::Dead;
}

bool CVobjIndexFile::RepairIfLeftHalfChanged() {
  if (!LeftHalfChanged()) return false;
  const std::string name = disk_->FileName();
  if (!disk_->IsReadWrite())
    throw ECorvidError(FormatMessage(
        "Index file %s was left half-written by a process that stopped; it is rebuilt by the next open that may "
        "write it",
        {name}));
  // The whole-file lock first: a writer that holds the index lock and is
  // about to join the mark gets it and finishes, rather than both waiting.
  FileLockScope lock(*this);
  if (!mark_.TakeDead(name)) return false;  // a live writer took it on meanwhile
  try {
    Reindex();
    disk_->cvFlush();
  } catch (...) {
    mark_.Abandon();
    throw;
  }
  mark_.End();
  return true;
}

void CVobjIndexFile::EndWritingSession() {
  if (!mark_.Held()) return;
  try {
    if (disk_) disk_->cvFlushData();
  } catch (...) {
    mark_.Abandon();
    throw;
  }
  // A sync of the session failed earlier (and was raised then): the pages
  // that write-back held may be lost whatever this sync says, so the
  // session does not end cleanly and the mark stays for the next open.
  if (syncFailed_ || (disk_ && disk_->SyncFailed())) {
    mark_.Abandon();
    return;
  }
  mark_.End();
}

void CVobjIndexFile::Close() {
  // What the tags hold unwritten goes out before the sync that ends the
  // session: written after it, it would be neither forced out nor marked.
  try {
    CloseTags();
  } catch (...) {
    mark_.Abandon();
    throw;
  }
  EndWritingSession();
}

void CVobjIndexFile::CloseTags() {
  std::exception_ptr failed;
  for (auto& tag : tags_) {
    try {
      tag->TagClose();
    } catch (...) {
      if (!failed) failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
}

void CVobjIndexFile::FreeTags() noexcept {
  for (auto& tag : tags_) tag->CloseQuietly();
  tags_.clear();
}

bool CVobjIndexFile::AddTag(const std::string&, const std::string&, const std::string&, bool, bool) { return false; }
bool CVobjIndexFile::DeleteTag(const std::string&) { return false; }
int32_t CVobjIndexFile::GetAvailPage() { return -1; }
int32_t CVobjIndexFile::ResetAvailPage() { return -1; }
void CVobjIndexFile::Reindex() {}
bool CVobjIndexFile::ExternalChange() { return false; }

CVO_DiskFile* CVobjIndexFile::IndexFileOpen(const std::string& name, const std::string& defaultExt, bool readWrite,
                                            bool shared, bool create, bool overwrite) {
  std::string path = ChangeFileExtEmpty(Trim(name), defaultExt);
  fileName_ = ExtractFileName(path);
  if (table_ && ExtractFilePath(path).empty()) path = JoinPath(ExtractFilePath(table_->ixTableFileName()), path);
  disk_.reset();
  knownSize_ = -1;
  if (create && !overwrite && FindExistingFile(path)) create = false;
  if (create) {
    disk_ = std::make_unique<CVobjMarkedDiskFile>(*this, path, true, false);
    // A file made where there was none is marked as such before it exists:
    // a writer that stops before finishing it leaves nothing an open could
    // rebuild, and the open removes it.  A mark such a writer left beside
    // no file goes first.
    if (!FindExistingFile(path)) {
      cvIndexMark::RemoveUnfinished(path);
      if (MarkBeingChanged()) mark_.MarkMade();
    }
    disk_->cvReWrite();
    disk_->cvSetReadCache(kIndexReadCache);
    return disk_.get();
  }
  if (auto found = FindExistingFile(path)) path = *found;
  std::unique_ptr<CVO_DiskFile> f = std::make_unique<CVobjMarkedDiskFile>(*this, path, readWrite, shared);
  try {
    f->cvReset();
  } catch (const Exception&) {
    return nullptr;
  }
  f->cvSetReadCache(kIndexReadCache);  // kept only when the file is ours alone
  disk_ = std::move(f);
  return disk_.get();
}

void CVobjIndexFile::IndexLockRegion(int64_t& offset, int64_t& length) const {
  offset = LockRecordBase - 1;
  length = 1;
  switch (LockProtocol) {
    case CVsetLokProtocol::DB4Lock: length = 2; break;
    case CVsetLokProtocol::ClipLock: offset = LockFileBase; break;
    default: break;
  }
}

bool CVobjIndexFile::NoWriterAtWork() const {
  if (!disk_) return false;
  int64_t offset = 0, length = 0;
  IndexLockRegion(offset, length);
  return FileRegionFree(disk_->Handle(), static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
}

bool CVobjIndexFile::ReaderIndexLock() {
  if (!disk_ || !disk_->IsShared()) return true;
  int64_t offset = 0, length = 0;
  IndexLockRegion(offset, length);
  const int64_t longest = std::max<int64_t>(CVwrdAccessMiliSeconds, 1) * 1000;
  const int64_t start = SteadyMicroseconds();
  for (int64_t pause = 50;; pause = std::min(pause * 2, kReaderLockPauseMax)) {
    if (disk_->cvLockRecord(offset, length)) return true;
    if (SteadyMicroseconds() - start >= longest) cvRaise(cvErrLockFailed, {disk_->FileName()});
    std::this_thread::sleep_for(std::chrono::microseconds(pause));
  }
}

bool CVobjIndexFile::IndexLock() {
  if (!disk_ || !disk_->IsShared()) return true;
  int64_t offset = 0, length = 0;
  IndexLockRegion(offset, length);
  if (!cvRetryLock([&] { return disk_->cvLockRecord(offset, length); })) cvRaise(cvErrLockFailed, {disk_->FileName()});
  return true;
}

CVobjIndexFile::FileLockScope::FileLockScope(CVobjIndexFile& file, const char* soleUse) : file_(file) {
  CVO_DiskFile* d = file_.DiskFile();
  if (!d || !d->IsShared()) return;
  const std::string name = d->FileName();
  // The shared open's hold becomes an exclusive one, refused while any other
  // handle holds the file; it turns back into a shared one as soon as the
  // lock is held, so an open meanwhile is refused only for that moment.
  // (Linux lets go of the shared hold when it refuses the change: it is
  // taken again at once.)
  struct Alone {
    int fd = -1;
    ~Alone() {
      if (fd >= 0) ::flock(fd, LOCK_SH | LOCK_NB);
    }
  } alone;
  if (soleUse) {
    if (::flock(d->Handle(), LOCK_EX | LOCK_NB) != 0) {
      ::flock(d->Handle(), LOCK_SH | LOCK_NB);
      cvRaise(cvErrNoFullAccess, {soleUse, name});
    }
    alone.fd = d->Handle();
  }
  if (d->LockCount() > 0) {
    // One region per handle: a handle that holds another region (its index
    // lock) cannot take the whole file.  Held already by an outer scope:
    // counted once more.
    if (!d->FileFullyLocked() || !d->cvLockFile()) cvRaise(cvErrLockFailed, {name});
    locked_ = true;
    return;
  }
  constexpr int64_t kWholeFile = 0x7FFFFFFF;
  int64_t offset = 0, length = 0;
  file_.IndexLockRegion(offset, length);
  if (offset + length > kWholeFile && alone.fd < 0) {
    // Writers wait on the index lock first: hold it before the file.  (A
    // file held alone has no other writer; one that opens it from now on
    // waits for the lock below before it reads its tags.)
    auto region = std::make_unique<CVO_DiskFile>(name, d->IsReadWrite(), true);
    region->cvReset();
    if (!cvRetryLock([&] { return region->cvLockRecord(offset, length); })) cvRaise(cvErrLockFailed, {name});
    indexRegion_ = std::move(region);
  }
  // (Held alone, nobody else holds a region: the lock is there at once.)
  if (!cvRetryLock([&] { return d->cvLockFile(); })) cvRaise(cvErrLockFailed, {name});
  locked_ = true;
  if (alone.fd >= 0) {
    ::flock(alone.fd, LOCK_SH | LOCK_NB);
    alone.fd = -1;
  }
  // Whatever the caller does now (a rebuild, a new tag) reads the table as
  // it stands under the lock, not as this handle last saw it: a writer that
  // appended before has its record in the table and its keys in the file.
  if (CVobjIndexTableLink* t = file_.Table()) t->ixReadTableAgain();
}

CVobjIndexFile::FileLockScope::~FileLockScope() {
  CVO_DiskFile* d = file_.DiskFile();
  if (locked_ && d) {
    try {
      d->cvUnLock();
    } catch (...) {
      // The region goes with the handle at the latest.
    }
  }
  // indexRegion_ closes its handle, and its lock with it.
}

std::string CVobjIndexTag::DiskName() const { return owner_->DiskName(); }

std::string CVobjIndexFile::DiskName() const { return disk_ ? disk_->FileName() : fileName_; }

CVobjIndexFile::IndexLockScope::~IndexLockScope() {
  CVO_DiskFile* d = file_.DiskFile();
  if (d && d->IsShared()) {
    try {
      d->cvUnLock();
    } catch (...) {
      // The region goes with the handle at the latest.
    }
  }
}

void CVobjIndexFile::ixSetLockProtocol(CVsetLokProtocol protocol) {
  LockProtocol = protocol;
  switch (protocol) {
    case CVsetLokProtocol::DB4Lock:
      LockFileBase = 0x40000000;
      LockRecordBase = 0xEFFFFFFFLL;
      LockLength = 0xB0000000LL;
      break;
    case CVsetLokProtocol::ClipLock: LockFileBase = LockRecordBase = LockLength = 1000000000; break;
    default:
      LockFileBase = 0x40000000;
      LockRecordBase = 0x7FFFFFFE;
      LockLength = 0x3FFFFFFF;
      break;
  }
}

bool CVobjIndexFile::UndoBegin() {
  if (!disk_ || disk_->IsClosed() || !disk_->IsReadWrite()) return false;
  return disk_->cvUndoBegin();
}

bool CVobjIndexFile::RebuildUndoBegin() {
  if (!RebuildUndo || !disk_ || disk_->IsClosed() || !disk_->IsReadWrite() || disk_->cvFileSize() > kRebuildUndoLimit)
    return false;
  return disk_->cvUndoBegin();
}

bool CVobjIndexFile::DiskUndoActive() const { return disk_ && disk_->cvUndoActive(); }

void CVobjIndexFile::UndoEnd() noexcept {
  if (disk_) disk_->cvUndoEnd();
}

bool CVobjIndexFile::UndoRollBack() noexcept {
  if (!disk_ || !disk_->cvUndoActive()) return true;
  bool ok = disk_->cvUndoRollBack();
  knownSize_ = -1;
  NextAvailPage = -1;
  try {
    ReloadAfterRollBack();
  } catch (...) {
    // The bytes are back; a header that does not load again is reported by
    // the next open.
    ok = false;
  }
  return ok;
}

bool CVobjIndexFile::DropTagsAndRollBack() noexcept {
  DropTags();
  if (!disk_->cvUndoRollBack()) return false;
  ForgetFileSize();
  NextAvailPage = -1;
  return true;
}

void CVobjIndexFile::DropTags() noexcept { FreeTags(); }

void CVobjIndexFile::ReloadAfterRollBack() {
  for (auto& tag : tags_) tag->ReloadAfterRollBack();
}

bool CVobjIndexFile::ReindexRenumbered(const cvPackRenumbering&) {
  Reindex();
  return false;
}

bool CVobjIndexFile::PageRead(int64_t position, void* buffer, int32_t length) {
  if (!disk_ || length < 0) return false;
  const int32_t got = disk_->cvRead(position, buffer, length);
  const std::string key = table_ ? table_->ixReadKey() : std::string();
  if (!key.empty()) {
    auto* p = static_cast<uint8_t*>(buffer);
    for (int32_t off = 0; off < length; off += 512)
      Encryption(key, p + off, p + off, static_cast<size_t>(std::min(512, length - off)), 0);
  }
  return got == length;
}

int64_t CVobjIndexFile::KnownFileSize() {
  if (!disk_) return -1;
  if (knownSize_ < 0) knownSize_ = disk_->cvFileSize();
  return knownSize_;
}

bool CVobjIndexFile::MeasureAgain() {
  if (!disk_) return false;
  const int64_t before = knownSize_;
  knownSize_ = disk_->cvFileSize();
  return knownSize_ != before;
}

bool CVobjIndexFile::PageWrite(int64_t position, const void* buffer, int32_t length) {
  if (!disk_) return false;
  knownSize_ = -1;
  if (length <= 0) return true;
  const std::string key = table_ ? table_->ixWriteKey() : std::string();
  if (key.empty()) {
    disk_->cvWrite(position, buffer, length);
    return true;
  }
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
  for (int32_t off = 0; off < length; off += 512)
    Encryption(key, copy.data() + off, copy.data() + off, static_cast<size_t>(std::min(512, length - off)), 1);
  disk_->cvWrite(position, copy.data(), length);
  return true;
}

void CVobjIndexFile::ixEncrypt() {
  if (!disk_ || !table_) return;
  const std::string readKey = table_->ixReadKey();
  const std::string writeKey = table_->ixWriteKey();
  const int64_t blocks = disk_->cvFileSize() / 512;
  uint8_t block[512];
  for (int64_t b = 0; b < blocks; ++b) {
    if (disk_->cvRead(b * 512, block, 512) != 512) break;
    Encryption(readKey, block, block, 512, 0);
    Encryption(writeKey, block, block, 512, 1);
    disk_->cvWrite(b * 512, block, 512);
  }
}

void CVobjIndexFile::Rename(const std::string& newName) {
  if (!disk_) return;
  const std::string target = ChangeFileExt(newName, ExtractFileExt(disk_->FileName()));
  disk_->cvRename(target);
  fileName_ = ExtractFileName(target);
}

bool CVobjIndexFile::TagUpdate(int32_t recno, bool appending) {
  std::exception_ptr refused;
  const bool changed = UpdateTags(recno, appending, TreesOutdated(), refused);
  if (refused) std::rethrow_exception(refused);
  return changed;
}

bool CVobjIndexFile::TreesOutdated() { return disk_ && disk_->IsShared(); }

bool CVobjIndexFile::UpdateTags(int32_t recno, bool appending, bool outdated, std::exception_ptr& refused) {
  NextAvailPage = -1;
  bool changed = false;
  for (auto& tag : tags_) {
    // An open tag (the active order) keeps the tree it read; a closed one
    // reads the file afresh when the update opens it.
    if (outdated && tag->Root()) tag->TagOpen(cvTagOpenRoot);
    try {
      changed = tag->KeyUpdate(recno, appending) || changed;
    } catch (const ECorvidExpression&) {
      // The tag is in step (the record's old entry went); it only could not
      // store the new key.
      changed = changed || tag->Changed();
      if (!refused) refused = std::current_exception();
    }
  }
  return changed;
}

CVobjIndexTag* CVobjIndexFile::TagByNumber(int32_t i) const {
  if (i < 0 || i >= TagCount()) return nullptr;
  return tags_[static_cast<size_t>(i)].get();
}

CVobjIndexTag* CVobjIndexFile::TagByName(const std::string& name) const {
  for (auto& tag : tags_)
    if (AnsiSameText(tag->TagName(), name)) return tag.get();
  return nullptr;
}

CVobjIndexTag* CVobjIndexFile::KeyByName(const std::string& keyExpr, bool skipFiltered) const {
  for (auto& tag : tags_) {
    if (skipFiltered && tag->HasFor()) continue;
    if (AnsiSameText(tag->KeyExpression(), keyExpr)) return tag.get();
  }
  return nullptr;
}

bool CVobjIndexFile::IsFileName(const std::string& name) const {
  return AnsiSameText(ExtractFileName(name), fileName_);
}

CVobjIndexTag* CVobjIndexFile::AdoptTag(std::unique_ptr<CVobjIndexTag> tag) {
  tags_.push_back(std::move(tag));
  return tags_.back().get();
}

bool CVobjIndexFile::FreeTag(CVobjIndexTag* tag) {
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if (it->get() == tag) {
      tags_.erase(it);
      return true;
    }
  return false;
}

// ---------------------------------------------------------------------------
// Batched page writes of a build.

CVobjPageBatch::CVobjPageBatch(CVobjIndexFile& file, int32_t capacity)
    : file_(file), capacity_(static_cast<size_t>(std::max<int32_t>(capacity, 512))) {
  held_.reserve(capacity_);
}

bool CVobjPageBatch::Write(int64_t position, const void* buffer, int32_t length) {
  if (length <= 0) return file_.PageWrite(position, buffer, length);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const auto len = static_cast<size_t>(length);
  const int64_t end = start_ + static_cast<int64_t>(held_.size());
  // The cipher restarts every 512 bytes of a write, so only whole 512-byte
  // pieces on the held pieces' boundaries may be joined or replaced:
  // anything else goes out on its own, after what is held.
  if (length % 512 != 0 || (!held_.empty() && position > start_ && position < end && (position - start_) % 512 != 0))
    return Flush() && file_.PageWrite(position, buffer, length);
  if (!held_.empty() && position >= start_ && position + length <= end) {
    std::memcpy(held_.data() + (position - start_), bytes, len);
    return true;
  }
  if (held_.empty() || position != end || held_.size() + len > capacity_) {
    if (!Flush()) return false;
    start_ = position;
  }
  held_.insert(held_.end(), bytes, bytes + len);
  return true;
}

bool CVobjPageBatch::Flush() {
  if (held_.empty()) return true;
  const bool ok = file_.PageWrite(start_, held_.data(), static_cast<int32_t>(held_.size()));
  held_.clear();
  return ok;
}
