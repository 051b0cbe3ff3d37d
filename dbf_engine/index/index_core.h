// Index core: the format-independent half of every index of a table.
//
// An in-memory B-tree walker that loads one node per level, finds, adds,
// deletes and reads keys, keeps a tag's position, range and beginning/end
// flags, evaluates the key and FOR expressions against the current record,
// and keeps the index in step when a record is appended or changed.
//
// The core sees every format as a tree whose nodes are lists of entries in
// key order.  In a leaf an entry is a key with the record number it indexes;
// in an interior node an entry is a key with the page of a child, and the key
// of an interior entry is the highest key held under that child.  A format
// that stores keys differently maps its pages onto this view in PageLoad and
// back in PageStore; the format classes (NTX, NDX, MDX, CDX, memory index)
// derive from CVobjIndexTag and CVobjIndexFile.
//
// Ownership: the tag owns its root node; every node owns its one cached child
// (the current path, one node per level); parent links are plain pointers.
// When a new root is put above the old one (SetRoot) the old root is moved
// explicitly under the new one.  Dirty nodes are written by StoreNodes, which
// the core calls after every edit (so a split happens at once and the cached
// path stays true to the file) and before a node is dropped; destructors only
// free memory and never write or throw.
//
// Keys compare with TcvVariant::Compare, byte by byte; a tag with the
// descending-compare flag negates every comparison (keys stored in
// descending order), a tag with reversed navigation stores ascending and is
// read backwards.  Pages are never reused: new nodes always get a new page.
//
// Sharing: writers hold the one-byte index lock of their convention while
// they update; before the update a tree an open tag read earlier is read
// again when another handle may have written the file since
// (TreesOutdated).  Operations that cut or rebuild a file hold the
// whole-file lock (FileLockScope).  A reader of a shared file reads the
// tree from the file at every open, but keeps the interior nodes it
// decoded: a page that reads back byte for byte the same is not decoded
// again (ReuseDecoded), and where the format keeps a change counter that
// every writer moves, a node read under the counter in force is not even
// read again while no writer holds the index lock (TakeTrusted).  A reader
// takes no index lock, so it may meet a page half-written or no longer
// where its parent said: it reads the tree again, at last under the index
// lock, before it calls the file corrupt (Reread).  For the same reason a
// key it does not find is missing only when a look with no writer at work
// (KeyFind) does not find it either.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_engine/index/index_key.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/index/page_slots.h"
#include "dbf_engine/lock_protocol.h"
#include "dbf_engine/navigation_codes.h"
#include "platform/exceptions.h"

class CVO_DiskFile;
class CVobjIndexFile;
class CVobjIndexTableLink;
class CVobjIndexTag;
class TcvExpHandler;
class cvPackRenumbering;

enum class CVsetPageType : uint8_t { Unknown, Root, Node, Leaf, RootLeaf };

// Record-number arguments of a seek: any record, and after all equal keys.
constexpr int32_t cvSeekAnyRecord = -1;
constexpr int32_t cvSeekAfterEqual = 0x7FFFFFFF;

// One node of a tag's tree, as loaded.
class CVobjIndexKey {
public:
  // A node for `page` (0: a new node that gets a page when first stored).
  // A page above 0 is loaded at once through the tag's PageLoad.
  CVobjIndexKey(CVobjIndexTag* tag, CVobjIndexKey* parent, int32_t page);
  ~CVobjIndexKey();
  CVobjIndexKey(const CVobjIndexKey&) = delete;
  CVobjIndexKey& operator=(const CVobjIndexKey&) = delete;

  // Entries.
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  CVobjIndexKeyData& Entry(int32_t i) { return *entries_[static_cast<size_t>(i)]; }
  const CVobjIndexKeyData& Entry(int32_t i) const { return *entries_[static_cast<size_t>(i)]; }
  // Appends a copy (for formats filling a node in PageLoad).
  CVobjIndexKeyData& AppendEntry(const TcvVariant& key, int32_t recNo, int32_t link);
  // The same from a key's bytes and kind.
  CVobjIndexKeyData& AppendEntry(std::string_view bytes, TcvVariantType kind, int32_t recNo, int32_t link);
  void InsertEntry(int32_t at, const TcvVariant& key, int32_t recNo, int32_t link);
  void RemoveEntry(int32_t at);
  void ClearEntries();
  // Room for n entries (formats filling a node in PageLoad).
  void ReserveEntries(int32_t n) { entries_.reserve(static_cast<size_t>(std::max(n, 0))); }
  // The record number an entry stands for: the link in a leaf, the carried
  // record number in an interior node.
  int32_t EntryRecNo(int32_t i) const;

  bool IsLeaf() const { return PageType == CVsetPageType::Leaf || PageType == CVsetPageType::RootLeaf; }
  CVobjIndexKey* Parent() const { return parent_; }
  CVobjIndexKey* Child() const { return child_.get(); }
  CVobjIndexTag* Tag() const { return tag_; }

  // Tree walking.
  CVobjIndexKey* GetChild(int32_t page);
  int SeekKey(int32_t recno, const TcvVariant& key, int32_t prefixResult);
  int32_t SeekNodeTag(int32_t page) const;
  bool ReadTopKey();
  bool ReadBottomKey();
  bool ReadNextKey();
  bool ReadPreviousKey();
  bool ReadCurrentKey();
  // Copies the entry at the deepest current position; bit 0: it is the first
  // key of the tree, bit 1: the last.  0 and an empty key when there is none.
  int RetrieveKey(CVobjIndexKeyData& key);
  CVobjIndexKey* Deepest();

  // Structural edits.
  void InsertKey(const CVobjIndexKeyData& key, bool after);
  void DeleteKey();
  // Makes the parent's entry for this node carry this node's last key.
  void ReplaceNodeKey();
  // Hangs `split` (the first part of this node, already given its page) into
  // the tree before this node; a new root is made when this is the root.
  void AddNodeKey(const CVobjIndexKeyData& lastOfSplit, int32_t splitPage);
  // For formats' PageStore: moves the first `count` entries into a new node
  // with a new page, hangs it into the tree and returns it; the caller writes
  // it (and then this node, whose page may have changed).
  std::unique_ptr<CVobjIndexKey> SplitFront(int32_t count);

  int32_t Page = 0;
  int32_t LeftSibling = -1;  // formats that keep sibling links
  int32_t RightSibling = -1;
  CVsetPageType PageType = CVsetPageType::Unknown;
  int32_t Index = -1;
  bool Dirty = false;
  bool AtFirst = false;
  bool AtLast = false;

private:
  friend class CVobjIndexTag;
  void CopyToCurrent(int32_t i);
  void UnlinkFromParent();
  // Makes a spare node the node of `page` under `parent`, as constructed.
  void Reload(CVobjIndexKey* parent, int32_t page);

  CVobjIndexTag* tag_;
  CVobjIndexKey* parent_;
  std::unique_ptr<CVobjIndexKey> child_;
  // Loaded and not yet positioned: the first step forward or back starts at
  // the first or last entry.
  bool fresh_ = true;
  std::vector<std::unique_ptr<CVobjIndexKeyData>> entries_;
  // On a shared file: the bytes this interior node was decoded from (see
  // CVobjIndexTag::ReuseDecoded); empty otherwise.
  std::string raw_;
  // The file's change counter under which those bytes were read or last
  // read back unchanged, with no writer at work (-1: none), and when.
  int64_t stamp_ = -1;
  int64_t stampTime_ = 0;
};

// One index order of an index file.
//
// The tag's state (names and expressions, key layout, pages, direction,
// range, position and end flags) is private and read through accessors.
// A format sets what it loads or creates through the protected setters,
// those tied together in one call (the key layout, the direction, the
// expressions); the range and the position change only through the tag's
// own operations, so the tree's rules on them live here.
class CVobjIndexTag {
public:
  CVobjIndexTag(CVobjIndexFile* owner, const std::string& name);
  virtual ~CVobjIndexTag();
  CVobjIndexTag(const CVobjIndexTag&) = delete;
  CVobjIndexTag& operator=(const CVobjIndexTag&) = delete;

  // Format slots.
  virtual void AdjustValue(TcvVariant& key, bool forStorage);
  virtual bool IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                           bool ascending, bool unique);
  virtual bool KeyAdd(const CVobjIndexKeyData& key);
  virtual int32_t NewRoot();
  virtual int32_t PageLoad(int32_t page, CVobjIndexKey& node);
  virtual int32_t PageStore(CVobjIndexKey& node);
  virtual void TagLoad();
  virtual void TagStore();
  virtual void PostTagExpression();
  virtual void PostTagFilter();
  virtual bool SolveExpression(TcvVariant& key, bool& ok);
  // The type ('C', 'N' or 'D') and length of the key the expression gives
  // on the current record: a number takes `numericLength`, a logical a
  // one-character key, a text its own length.  False for any other result.
  bool TrialKeyType(int32_t numericLength, char& type, int32_t& length);
  virtual bool SolveFilter();
  // True when `node`, an interior node with a single child, would be
  // written as a page holding no key.  Formats that write an interior
  // node's last child without a key (a count, then count+1 children) say
  // so; other readers take a page whose count is 0 for the end of the
  // tree, so the core never leaves one on the path of an edit (see
  // DropLoneChildNodes).  Formats whose interior entries all carry keys
  // keep the default, false.
  virtual bool WrittenKeyless(const CVobjIndexKey& node) const;
  // Called as `node`, emptied, leaves the tree (it has a parent; its page is
  // not written again): a format that links the nodes of a level to their
  // neighbours links the neighbours to each other.  The default does nothing.
  virtual void NodeLeaving(CVobjIndexKey& node);
  // True when the decoded tree may outlive an open: the file is this
  // handle's alone (nobody else can write it meanwhile) and every rebuild of
  // the tag closes it first.  The tree is kept only while it has not been
  // edited since it was read (any write reloads it from the file at the
  // next open).  A shared file is read afresh at every open.
  virtual bool KeepsTreeCached() const;
  // True when the index file is open for shared use: other handles may
  // change it at any time.
  bool OnSharedFile() const;

  // Tag operations.
  void TagOpen(int mode);
  // Writes what is dirty and frees the tree; raises on a write failure.
  void TagClose();
  // TagClose for destructors: reports nothing.  A format's destructor calls
  // it (the base destructor cannot reach the format's PageStore).
  void CloseQuietly() noexcept;
  int32_t KeyRead(int32_t code);
  int32_t KeyFind(const TcvVariant& key, int32_t recno = cvSeekAnyRecord);
  void KeySync(int32_t recno);
  bool KeyUpdate(int32_t recno, bool appending);
  // Deletes the entry of `key` with its record number (key.Link); true when
  // one was removed.
  bool KeyDelete(const CVobjIndexKeyData& key);
  int32_t HuntDuplicate(const TcvVariant& key);
  bool SetRange(const TcvVariant* low, bool lowFlag, const TcvVariant* high, bool highFlag, bool partial);
  void GetRange(TcvVariant& low, TcvVariant& high) const;
  bool GetRangeActive() const;
  int32_t GetRangeCount();
  int KeyInRange();
  void SetRoot(CVobjIndexKey& oldRoot);
  bool KeyIsAscending() const { return ascending_; }
  bool KeyIsUnique() const { return unique_; }
  int32_t KeyIsPercentile() const { return -1; }
  std::string GetIndexExpression() const;
  // Writes every dirty node of the cached path, deepest first (splitting
  // over-full nodes), then the header when it is dirty.
  void StoreNodes();
  // After the file was put back under the tag (a change rolled back): the
  // tree in memory, unwritten edits included, is forgotten (DiscardTree,
  // which writes nothing) and the tag's header is loaded again, so the next
  // walk reads the file as it is.
  void ReloadAfterRollBack();
  void DiscardTree() noexcept;

  // The key of the current record, evaluated, prepared for storage and cut
  // to the key length; false when there is no key expression.  A key
  // expression that gives no storable value raises "Expression cannot be
  // evaluated" (ECorvidExpression).
  bool BuildRecordKey(CVobjIndexKeyData& key);
  // The same without raising: `ok` is false when the expression gave no
  // value (the key is then empty).
  bool EvaluateRecordKey(CVobjIndexKeyData& key, bool& ok);

  CVobjIndexKey* Root() const { return root_.get(); }
  CVobjIndexFile* Owner() const { return owner_; }
  // The index file's name as errors show it.
  std::string DiskName() const;
  int32_t CurrentRecord() const { return currentKey_.Link; }
  // Compares a sought or bound value with a stored key (descending-compare
  // negates); prefixResult -1 whole key, 0 prefix.
  int CompareKeys(const TcvVariant& value, const TcvVariant& stored, int32_t prefixResult) const;

  // --- State of the tag, read-only outside the core ---------------------
  const std::string& FormatName() const { return formatName_; }
  const std::string& TagName() const { return tagName_; }
  const std::string& KeyExpression() const { return keyExpression_; }
  const std::string& ForExpression() const { return forExpression_; }
  int32_t KeyLength() const { return keyLength_; }
  int32_t EntryLength() const { return entryLength_; }
  int32_t MaxKeys() const { return maxKeys_; }
  int32_t HalfKeys() const { return halfKeys_; }
  const CVobjIndexKeyData& RangeLow() const { return rangeLow_; }
  const CVobjIndexKeyData& RangeHigh() const { return rangeHigh_; }
  int32_t RangeMode() const { return rangeMode_; }
  // The compare mode of the low bound: prefix, or the range's own mode where
  // keys are stored in descending order.
  int32_t LowBoundMode() const;
  bool RangeLowFlag() const { return rangeLowFlag_; }
  bool RangeHighFlag() const { return rangeHighFlag_; }
  int32_t HeaderPage() const { return headerPage_; }
  int32_t RootPage() const { return rootPage_; }
  bool HeaderDirty() const { return headerDirty_; }
  bool Ascending() const { return ascending_; }
  bool Unique() const { return unique_; }
  bool HasFor() const { return hasFor_; }
  char KeyType() const { return keyType_; }
  const CVobjIndexKeyData& CurrentKey() const { return currentKey_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool Changed() const { return changed_; }
  bool DescendingCompare() const { return descendingCompare_; }
  bool ReversedNavigation() const { return reversedNavigation_; }
  bool InUpdate() const { return inUpdate_; }
  // The index file places its tags' headers (multi-tag files move them when
  // the tag list changes).
  void SetHeaderPage(int32_t page) { headerPage_ = page; }

protected:
  // --- What a format sets, when it loads or creates a tag ------------------
  void SetFormatName(const std::string& name) { formatName_ = name; }
  void SetTagName(const std::string& name) { tagName_ = name; }
  // The key and FOR texts; `hasFor` tells whether the FOR expression is in
  // force (a format may store a FOR text it does not use).
  void SetExpressions(const std::string& keyExpr, const std::string& forExpr, bool hasFor) {
    keyExpression_ = keyExpr;
    forExpression_ = forExpr;
    hasFor_ = hasFor;
  }
  // The entry layout of the tag's nodes, set as one.
  void SetKeyShape(int32_t keyLength, int32_t entryLength, int32_t maxKeys, int32_t halfKeys) {
    keyLength_ = keyLength;
    entryLength_ = entryLength;
    maxKeys_ = maxKeys;
    halfKeys_ = halfKeys;
  }
  void SetKeyType(char type) { keyType_ = type; }
  void SetKeyLength(int32_t length) { keyLength_ = length; }
  void SetUnique(bool unique) { unique_ = unique; }
  // The order and how the format gets it: keys stored in descending order
  // (every comparison negated) or stored ascending and read backwards.  A
  // tag uses at most one of the two, and only when it is descending.
  void SetDirection(bool ascending, bool storedDescending) {
    ascending_ = ascending;
    descendingCompare_ = !ascending && storedDescending;
    reversedNavigation_ = !ascending && !storedDescending;
  }
  void SetPages(int32_t headerPage, int32_t rootPage) {
    headerPage_ = headerPage;
    rootPage_ = rootPage;
  }
  void SetRootPage(int32_t page) { rootPage_ = page; }
  void SetHeaderDirty(bool dirty) { headerDirty_ = dirty; }
  // Stands the tag on a key (value and record number) with both end flags
  // given, as one.
  void SetPosition(const TcvVariant& key, int32_t recno, bool bof, bool eof) {
    currentKey_.AssignValue(key);
    currentKey_.RecNo = currentKey_.Link = recno;
    bof_ = bof;
    eof_ = eof;
  }

  // Shared files: the tree is read from the file at every open, but an
  // interior node decoded before is kept with the bytes it came from.  A
  // format's PageLoad, having read a page, offers `bytes` (the page and
  // whatever else its decode depends on, such as a separator from the
  // parent); when a node kept for `page` came from exactly those bytes, its
  // entries move into `node` and the answer is true (the page need not be
  // decoded again).  NoteDecoded keeps a freshly decoded node's bytes.
  // Nothing is kept for files this handle has to itself (their tree is
  // kept whole) nor across an edit of the tree.
  bool ReuseDecoded(int32_t page, std::string_view bytes, CVobjIndexKey& node);
  void NoteDecoded(std::string_view bytes, CVobjIndexKey& node);
  // Formats whose writers all move a change counter in the file (raised
  // under the index lock by every update, rebuild and cut) may skip even
  // the read: an open reads the counter (OpenedCounter) and then finds the
  // index lock free; inside that one operation a node kept from an earlier
  // operation that began the same way under the same counter is the page
  // as it stands.  Any writer since has either moved the counter or still
  // holds the lock.  A format's PageLoad asks TakeTrusted before it reads.
  // A counter may wrap (NTX's runs 1..32767) or be reset by another
  // program's rebuild: a node is trusted only for a few milliseconds after
  // its bytes were last read, far less than any writer needs to bring the
  // counter round to the same value.
  bool TakeTrusted(int32_t page, CVobjIndexKey& node);
  // The change counter the format read from the file at the last NewRoot
  // of a shared file, -1 when it read none or keeps none.
  virtual int64_t OpenedCounter() const { return -1; }
  // The change counter as it stands in the file now; -1 when the format
  // keeps none or it cannot be read.
  virtual int64_t CounterOnDisk() { return -1; }

protected:
  std::unique_ptr<TcvExpHandler> keyHandler_;
  std::unique_ptr<TcvExpHandler> forHandler_;
  CVobjIndexFile* owner_;

private:
  friend class CVobjIndexKey;
  void RangeCheck();
  int32_t Finish();
  // Whether the tree in memory can stand for the file at the next open.
  bool TreeReusable() const;
  // After an edit: every interior node of the current path that holds a
  // single child and would be written keyless (WrittenKeyless) leaves the
  // tree.  Below the root its child moves to the neighbouring node under
  // the same parent (which splits when it overflows), so all leaves stay at
  // one depth; a root takes its child's entries and keeps its page, so the
  // header still names the root.  The page given up is not written again,
  // as an emptied node's.  Keyless pages of files written elsewhere are
  // read as they are and go when an edit passes through them.
  void DropLoneChildNodes();
  // Puts the tree back to the state of a fresh open (root loaded, nothing
  // positioned); the nodes below the root go to the node cache.
  void RewindTree();
  // Keeps a clean node (and what hangs below it) for later walks.
  void CacheNodes(std::unique_ptr<CVobjIndexKey> node);
  // A cached node for `page` re-hung under `parent`; none when not cached.
  std::unique_ptr<CVobjIndexKey> TakeCachedNode(int32_t page, CVobjIndexKey* parent);
  void DropTreeCache();
  // Entry objects are recycled through the tag: loading a node then costs
  // no allocation once the buffers have grown to the key length.
  std::unique_ptr<CVobjIndexKeyData> TakeSpareEntry();
  void GiveBackEntry(std::unique_ptr<CVobjIndexKeyData> entry) noexcept;

  // Declared before the nodes (destroyed after them: freed nodes hand their
  // entries back).
  std::vector<std::unique_ptr<CVobjIndexKeyData>> spareEntries_;
  // The sought key of Find, kept so its buffer is allocated once.
  CVobjIndexKeyData seekKey_{0};
  // One node object left over from a walk, reused for the next page loaded.
  std::unique_ptr<CVobjIndexKey> spareNode_;
  int32_t Find(const TcvVariant& key, int32_t recno, bool exact, bool rangeTest);
  // The counter under which this operation may take kept nodes unread
  // (TakeTrusted); -1 outside such an operation.  Set by TagOpen, cleared
  // when the outermost tag operation returns (OperationScope), so a later
  // step through the tree reads its pages again.
  int64_t windowStamp_ = -1;
  int64_t windowTime_ = 0;  // when the window opened (steady clock, microseconds)
  int operationDepth_ = 0;
  class OperationScope {
  public:
    explicit OperationScope(CVobjIndexTag* tag) : tag_(tag) { ++tag_->operationDepth_; }
    ~OperationScope() {
      if (--tag_->operationDepth_ == 0) tag_->windowStamp_ = -1;
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

  private:
    CVobjIndexTag* tag_;
  };
  // Find on a tag read backwards over keys stored ascending (a descending
  // CDX or memory index tag).
  int32_t FindReadingBackwards(const TcvVariant& key, bool exact);
  void TagOpenOnce(int mode);
  int32_t KeyReadOnce(int32_t code);
  // A step forward or back (KeyRead's codes) from the key `from` (value
  // and record) on a tree read afresh: the step a reader takes again when
  // the path it stood on no longer matches the file.
  int32_t StepFrom(int32_t code, const CVobjIndexKeyData& from);
  // Shared files: under most conventions a reader takes no index lock, so it
  // may read a page while another handle is half-way through writing it, or
  // a child page that its parent, read a moment earlier, no longer names.
  // Either looks corrupt.  A read that starts from a fresh open and meets
  // such a page is run again on a tree read afresh: a few times as it is,
  // then once under the index lock, where no writer is at work; a page that
  // still does not decode is damaged in the file.  Only a reader's outermost
  // operation runs again, never one over edits of this handle not yet
  // written.
  template <class F>
  auto Reread(F&& op) -> decltype(op());
  // Runs `op` with no writer at work: under the index lock, unless this
  // handle holds a lock of the file already (which keeps writers out as it
  // is; taking the index lock again and giving it back would drop the hold
  // its caller counts on).
  template <class F>
  auto UnderIndexLock(F&& op) -> decltype(op());
  // A find of a shared file's reader run where a writer at work would show:
  // between two looks at the index lock that find it free and at the change
  // counter that find it unmoved, in moments.  False when the format keeps
  // no counter or a writer was (or may have been) at work meanwhile; then
  // `found` proves nothing.
  template <class F>
  bool FindWithNoWriter(F&& find, int32_t& found);
  // Drops the tree and every node kept from it, so the next open reads the
  // file afresh; false (nothing dropped) when the tree holds unwritten edits.
  bool ForgetTreeForReread();

  // Clean nodes read from the file, by page, while the tree is
  // unedited (declared before root_: nodes hold a pointer to the tag only).
  // A node on the current path leaves an empty slot behind.
  CVobjPageSlots<CVobjIndexKey> nodeCache_;
  int64_t cachedEntries_ = 0;
  int64_t cachedLeafEntries_ = 0;
  bool treeEdited_ = false;

  std::string formatName_ = "UNK";
  std::string tagName_;
  std::string keyExpression_;
  int32_t keyLength_ = 0;
  int32_t entryLength_ = 0;
  int32_t maxKeys_ = 0;
  int32_t halfKeys_ = 0;
  std::string forExpression_;
  // The range: both bounds, whether each is set (a set bound may be an
  // empty key), the compare mode of the high bound (0: a bound matches keys
  // that begin with it; -1: whole key) and the bound flags.  SetRange sets
  // them as one.
  CVobjIndexKeyData rangeLow_;
  CVobjIndexKeyData rangeHigh_;
  bool rangeLowSet_ = false;
  bool rangeHighSet_ = false;
  int32_t rangeMode_ = -1;
  bool rangeLowFlag_ = false;
  bool rangeHighFlag_ = false;
  int32_t headerPage_ = 0;
  int32_t rootPage_ = 0;
  bool headerDirty_ = false;
  bool ascending_ = true;
  bool unique_ = false;
  bool hasFor_ = false;
  char keyType_ = 'C';
  CVobjIndexKeyData currentKey_;
  bool bof_ = false;
  bool eof_ = false;
  bool changed_ = false;
  bool descendingCompare_ = false;
  bool reversedNavigation_ = false;
  bool inUpdate_ = false;
  std::unique_ptr<CVobjIndexKey> root_;
};

// One open index file holding tags.
class CVobjIndexFile {
public:
  CVobjIndexFile(CVobjIndexTableLink* table, const std::string& name);
  virtual ~CVobjIndexFile();
  CVobjIndexFile(const CVobjIndexFile&) = delete;
  CVobjIndexFile& operator=(const CVobjIndexFile&) = delete;

  // Format slots.
  virtual bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                      bool unique);
  virtual bool DeleteTag(const std::string& name);
  virtual int32_t GetAvailPage();
  virtual int32_t ResetAvailPage();
  virtual bool PageRead(int64_t position, void* buffer, int32_t length);
  virtual bool PageWrite(int64_t position, const void* buffer, int32_t length);
  virtual void Reindex();
  virtual void Rename(const std::string& newName);
  virtual bool TagUpdate(int32_t recno, bool appending);
  virtual bool ExternalChange();
  // Asked under the index lock before the tags are updated: true when a
  // tree read earlier may no longer stand for the file, because another
  // handle can have written it since.  The base answers for every shared
  // file; a format with a change counter answers from the counter.
  virtual bool TreesOutdated();
  virtual void ixSetLockProtocol(CVsetLokProtocol protocol);
  virtual void ixEncrypt();
  // Undo of one change of the file: a record's keys in every tag, or a tag
  // added.  Writes that fail half-way (a full disk) would otherwise leave a
  // tree with a page split and its parent not yet told, or a header naming
  // pages that never reached the disk.  Between UndoBegin and UndoEnd the
  // disk file keeps what the change overwrites (CVO_DiskFile::cvUndoBegin);
  // UndoRollBack puts the bytes back, cuts what the change added, and has
  // the file and its tags read their headers again (ReloadAfterRollBack).
  // The caller holds the index lock throughout.  False from UndoBegin when
  // there is no disk file or an undo runs already.
  virtual bool UndoBegin();
  virtual void UndoEnd() noexcept;
  virtual bool UndoRollBack() noexcept;

  // Rebuilds the file after a pack that kept the surviving records in their
  // order; `renumbering` gives each record's new number.  Only record
  // numbers move, so a format that can walk its entries hands them, renumbered,
  // to its builder's key sorter instead of reading the table again, and
  // writes the very bytes Reindex would write, in the sorter's memory
  // budget; the base, and a format or tag that cannot be renumbered exactly,
  // runs Reindex.  True when the entries were renumbered.
  virtual bool ReindexRenumbered(const cvPackRenumbering& renumbering);

  // The "being changed" mark (index_mark.h).  The disk file of an index
  // file marks it before its first write, cut or re-creation; a clean close
  // forces the file out and takes the mark away.  With `folders`, the
  // mark's folder is left for the caller to force (cvIndexMark::Begin);
  // true when a session began here.
  bool MarkBeingChanged(std::vector<std::string>* folders = nullptr);
  // Lets go of a mark begun but not yet forced out in full: it stays for
  // the next open, and the next write marks the file again.
  void AbandonMark() noexcept { mark_.Abandon(); }
  // For an open: when the file was left marked by a writer that stopped
  // half-way, the file is rebuilt from the table (Reindex) and the mark
  // goes.  A handle that cannot write the file raises an error naming it
  // rather than read it.  The caller runs it once the tags are loaded, with
  // the table ready for a rebuild.  True when the file was rebuilt.
  bool RepairIfLeftHalfChanged();
  // Before a cut of the file: keeps a copy of it in the mark, so an index
  // cut and then killed can be put back and rebuilt.
  void KeepCopyBeforeCut();
  // Before a tag is added to or deleted from the file (under the file lock):
  // marks it and keeps a copy of it, as before a cut; CutDone drops the
  // copy once the change is whole.
  void KeepCopyBeforeTagChange();
  // A rebuild or cut is complete: the file is forced out, then the copy
  // kept before it goes.  A sync that fails is raised, naming the file or
  // the mark and the system's reason; the copy is then kept and the mark
  // outlives the session, for the next open to rebuild the file.
  void CutDone();
  // For an open of the file `path` left marked by a writer that stopped
  // half-way: when the writer was rebuilding or cutting it, the copy its
  // mark keeps of the file as it stood before is written back (the mark
  // stays, so the open rebuilds the file from the table).  True when it
  // was; raises when it could not be written back.
  // With `fallback`, only a copy kept by KeepRecipheredCopy is put back
  // (the caller has found that the file does not load as it stands).
  static bool RestoreLeftHalfChanged(const std::string& path, bool fallback = false);
  // For a file re-ciphered in place after its table's new key is
  // committed: keeps the file as it will be, re-ciphered from the key
  // `from` to `to`, in the mark held by this session, as the copy an open
  // puts back when the file does not load (cvIndexMark::KeepCopy).
  void KeepRecipheredCopy(const std::string& from, const std::string& to);
  // Re-ciphers every page of the file from the key `from` to `to`, the
  // first page last.
  void RecipherInPlace(const std::string& from, const std::string& to);
  // Whether an open of the file would rebuild it (or refuse it): a mark
  // nobody holds any more, left by a writer that did not end cleanly.
  bool LeftHalfChanged() const;
  // Ends this handle's writing session as a clean close does: forces the
  // file out and takes the mark away when no other writer holds it.
  // Raises when the file cannot be forced out (the mark stays).  A session
  // in which a sync of the file or its mark failed before leaves the mark
  // (that failure was raised when it happened).
  void EndWritingSession();
  // The explicit close: writes what the tags hold unwritten and ends the
  // writing session, raising what fails (the destructor does the same
  // silently).  The mark stays when anything failed.  The file is then
  // only destroyed.
  void Close();

  // Opens (or creates) the disk file; none when it does not open.
  CVO_DiskFile* IndexFileOpen(const std::string& name, const std::string& defaultExt, bool readWrite, bool shared,
                              bool create, bool overwrite);
  bool IndexLock();
  // The index lock for a reader that must look at the file with no writer
  // at work.  A writer holds the lock only for moments, so it is asked again
  // at short intervals (a reader must not sit out IndexLock's pause after
  // every refusal), for as long in all as IndexLock keeps trying; raises as
  // IndexLock does.
  bool ReaderIndexLock();
  // True when the system says no other handle holds a lock over the index
  // lock's region (every writer holds one while it changes the file).
  bool NoWriterAtWork() const;
  // The index lock's region under the file's convention.
  void IndexLockRegion(int64_t& offset, int64_t& length) const;
  // Holds the index lock for the length of one file operation and gives it
  // back on every way out.
  class IndexLockScope {
  public:
    explicit IndexLockScope(CVobjIndexFile& file) : file_(file) { file_.IndexLock(); }
    struct ForReader {};
    IndexLockScope(CVobjIndexFile& file, ForReader) : file_(file) { file_.ReaderIndexLock(); }
    ~IndexLockScope();
    IndexLockScope(const IndexLockScope&) = delete;
    IndexLockScope& operator=(const IndexLockScope&) = delete;

  private:
    CVobjIndexFile& file_;
  };
  // Holds the whole-file lock for an operation that rebuilds or cuts the
  // file (reindex, zap, deleting a tag), retrying as the index lock does; a
  // refusal raises "Can not Lock file %s" before anything is written.  When
  // the convention's index lock lies beyond the whole-file region, that
  // region is held as well (through a second handle of the file), so a
  // writer that takes only the index lock waits too.  A file this handle
  // has to itself needs no lock.
  //
  // With `soleUse` (an operation that changes the file's list of tags:
  // adding, replacing or deleting a tag) the file must be this handle's
  // alone first.  Another handle keeps the tags it loaded when it opened
  // the file and would neither keep a new tag nor let go of a deleted one,
  // so while any other handle, of this process or another, has the file
  // open the change is refused before anything is written: "%s requires
  // full access to file %s" with `soleUse` and the file's name.  A handle
  // that opens the file once the lock is held reads its tags when the lock
  // goes (an open waits for the index lock), so it sees the change.
  class FileLockScope {
  public:
    explicit FileLockScope(CVobjIndexFile& file, const char* soleUse = nullptr);
    ~FileLockScope();
    FileLockScope(const FileLockScope&) = delete;
    FileLockScope& operator=(const FileLockScope&) = delete;

  private:
    CVobjIndexFile& file_;
    bool locked_ = false;
    std::unique_ptr<CVO_DiskFile> indexRegion_;
  };
  int32_t TagCount() const { return static_cast<int32_t>(tags_.size()); }
  CVobjIndexTag* TagByNumber(int32_t i) const;
  CVobjIndexTag* TagByName(const std::string& name) const;
  CVobjIndexTag* KeyByName(const std::string& keyExpr, bool skipFiltered) const;
  bool IsFileName(const std::string& name) const;
  const std::string& GetFileName() const { return fileName_; }

  CVobjIndexTableLink* Table() const { return table_; }
  CVO_DiskFile* DiskFile() const { return disk_.get(); }
  // The file's name as errors show it.
  std::string DiskName() const;
  // The disk file's size for page checks, measured once and again only
  // after a write through PageWrite or a cut (-1: no disk file).  Another
  // handle of a shared file may have grown the file since: a check that
  // fails there measures again (WithFileSize) before it calls the page bad.
  int64_t KnownFileSize();
  void ForgetFileSize() { knownSize_ = -1; }
  // Measures the file again; true when its size is not the one known.
  bool MeasureAgain();
  // Runs `check(size)` with the known size; when it raises and the file
  // turns out to have another size now, runs it once more with that.
  template <class F>
  auto WithFileSize(F&& check) -> decltype(check(int64_t{})) {
    try {
      return check(KnownFileSize());
    } catch (const Exception&) {
      if (!MeasureAgain()) throw;
    }
    return check(KnownFileSize());
  }
  // Adds a tag to the file (which owns it) and returns it.
  CVobjIndexTag* AdoptTag(std::unique_ptr<CVobjIndexTag> tag);
  // Frees a tag of the file; false when it is not one of its tags.
  bool FreeTag(CVobjIndexTag* tag);

  // On while a caller keeps the whole file in a journal of its own (pack,
  // password change): the journal puts the file back after a kill, so its
  // writes are not marked as being changed.
  bool JournalKept = false;
  // On while a whole-table operation leaves the file out of its journal
  // (it lies in another folder than the table): the file is marked as being
  // changed before the table is, and brought in step after the table's
  // change is committed.
  bool AfterCommit = false;
  // Off while a caller keeps the whole file in a journal of its own (pack):
  // a rebuild then needs no copy of the file's bytes in memory.
  bool RebuildUndo = true;
  bool OrderedByRecord = false;
  int32_t NextAvailPage = -1;
  bool Valid = false;
  bool HadErrors = false;
  CVsetLokProtocol LockProtocol = CVsetLokProtocol::Default;
  int64_t LockRecordBase = 0x7FFFFFFE;
  int64_t LockFileBase = 0x40000000;
  int64_t LockLength = 0x3FFFFFFF;

protected:
  // The core's update of every tag; with `outdated` an open tag first reads
  // its tree again from the file, so the update neither works on nor writes
  // back pages another handle has changed.  A tag that refuses the record's
  // key does not stop the others: the first refusal is left in `refused`
  // for the caller to raise once its own bookkeeping is done.
  bool UpdateTags(int32_t recno, bool appending, bool outdated, std::exception_ptr& refused);
  // A rebuild of the whole file (Reindex) whole or not at all: a rebuild
  // that fails (a full disk) puts the file back as it was and has it read
  // again.  The file's bytes are kept in memory meanwhile, as the rebuild
  // overwrites and cuts them, so only a file of at most kRebuildUndoLimit
  // bytes is kept; a larger one is rebuilt as it is.  A file that is not
  // back whole (no undo, or the bytes could not all go back: the disk is
  // still full) is left marked, with the copy its mark keeps, for the next
  // open to put back and rebuild; an undo of a caller's (a tag added) is
  // the caller's to finish.
  static constexpr int64_t kRebuildUndoLimit = int64_t{64} << 20;
  template <class F>
  void RebuildWholeOrNot(F&& build) {
    const bool outer = DiskUndoActive();
    const bool undo = RebuildUndoBegin();
    try {
      build();
    } catch (...) {
      if (undo ? UndoRollBack() : outer) WholeAgain();
      else AbandonMark();
      throw;
    }
    if (undo) UndoEnd();
  }
  // The file is back as it was before its cut: a later cut keeps a copy of
  // it afresh.
  void WholeAgain() noexcept { copyKept_ = false; }
  bool RebuildUndoBegin();
  // Whether the disk file keeps an undo (a caller's, when asked before
  // RebuildUndoBegin).
  bool DiskUndoActive() const;
  // A tag added whole or not at all: a build (`add`) that fails half-way (a
  // full disk) leaves the file as it was.  The tags go first (DropTags), as
  // a quiet close writes what it holds unwritten and the roll-back must come
  // after that; then the bytes are put back and the tags read again from
  // them (`load`).
  template <class Add, class Load>
  void AddTagWholeOrNot(Add&& add, Load&& load) {
    const bool undo = UndoBegin();
    try {
      add();
    } catch (...) {
      if (!undo) throw;
      if (DropTagsAndRollBack()) {
        WholeAgain();
        try {
          load();
        } catch (...) {
          // The bytes are back; a list that does not load again is
          // reported by the next open.
        }
      } else {
        // Not back whole: the mark stays for the next open.
        AbandonMark();
      }
      throw;
    }
    if (undo) UndoEnd();
  }
  // DropTags, then puts the bytes back; true when they are back.  The file
  // size and the next free page are read again when next needed.
  bool DropTagsAndRollBack() noexcept;
  // Closes (quietly) and frees every tag; a format that keeps more of its
  // tag pages in memory (a tag list) lets that go too.
  virtual void DropTags() noexcept;
  // What the file keeps in memory of its bytes is read again after a roll-
  // back: the base drops every tag's tree and loads its header again; a
  // format with a header of its own reads that first.
  virtual void ReloadAfterRollBack();
  // Closes (quietly) and frees every tag.  A format's destructor calls it
  // first, while its own members and page slots still work; the base
  // destructor only frees what is left.
  void FreeTags() noexcept;
  // For Close: closes every tag, writing what it holds, and raises the
  // first failure; a format that writes more on close (a tag list, a file
  // header) writes that too.
  virtual void CloseTags();

  std::string fileName_;
  CVobjIndexTableLink* table_;
  std::unique_ptr<CVO_DiskFile> disk_;
  std::vector<std::unique_ptr<CVobjIndexTag>> tags_;
  int64_t knownSize_ = -1;
  cvIndexMark mark_;
  // A sync of the mark failed in this writing session (CutDone).
  bool syncFailed_ = false;
  // A copy of the file was kept in its mark before a cut, and the file has
  // not been whole since: the copy is the only one, and no later cut may
  // replace it with the file as it now stands.
  bool copyKept_ = false;
};

// Gathers the pages a bottom-up build writes into large writes.  A build
// hands its pages out in file order, so most pages follow the one before:
// they are kept in one buffer and go to the file through the file's own
// PageWrite (which ciphers them in 512-byte pieces, as one page at a time
// would) when the buffer is full, when a page lands elsewhere, or on Flush.
// A page written again while still held replaces the held bytes.  The file
// ends up byte for byte as with one write per page.  Pages still held when
// the batch is destroyed without a Flush are dropped: that happens only when
// the build failed, and a failed build's file is emptied by its caller.
class CVobjPageBatch {
public:
  explicit CVobjPageBatch(CVobjIndexFile& file, int32_t capacity = 1 << 20);
  CVobjPageBatch(const CVobjPageBatch&) = delete;
  CVobjPageBatch& operator=(const CVobjPageBatch&) = delete;
  // False when the file refused a write (as PageWrite answers).
  bool Write(int64_t position, const void* buffer, int32_t length);
  bool Flush();

private:
  CVobjIndexFile& file_;
  size_t capacity_;
  int64_t start_ = 0;
  std::vector<uint8_t> held_;
};
