// The record handler: the table object the dataset component drives.
//
// CVO_dBHandler walks a table in record-number order or in the order of an
// active index tag, hides deleted records unless asked to show them, applies
// a filter held as a bitmap of record numbers (built by one scan of the whole
// table when the filter text is set, then kept current by every write),
// narrows the order to a key range, finds keys, serves record reads from a
// read-ahead window, locks the open index files around writes and keeps
// their keys current after every write.
//
// Navigation codes of cvGetRec (navigation_codes.h): cvReadNext,
// cvReadPrevious, cvReadTop, cvReadBottom, cvReadCurrent (re-read the
// current record); a positive number reads that record.
//
// Read cache: with the cache on, reads of whole records go through a window
// of about 32 KB filled from the file; a record is served from the window
// only when all of it lies inside.  What the window promises on a shared
// table, exactly:
//  - a re-read (-5) always goes to the file, and every lock (record, append,
//    file) empties the window, so an edit starts from the record as it
//    stands on disk and never overwrites another user's change;
//  - every move to the top or bottom (-3, -4) reads the header again and
//    empties the window, so a walk from either end sees the records and the
//    appends of others as they stand when the walk starts;
//  - the window is also emptied whenever a header read (at those moves, on
//    a read past the known record count, on every write of this table)
//    shows a record count or update stamp other than when it was filled.
// Between those points, stepping through records (-1, -2, a record number)
// may serve a record as it stood when the window was filled: another
// user's change to it shows from the next of those points on.
//
// The handler is also the table that its index files see
// (CVobjIndexTableLink).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/table/fields.h"
#include "dbf_engine/huge_set.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/handler/record_handler_tags.h"

class TcvExpHandler;
class Variant;
class CVobjSortDB;
class TcvSort;
class cvPackRenumbering;

enum class CVsetIndexUnique { Unique, Duplicates };
enum class CVsetSortStatus {
  Ascending,
  Descending,
  SortUp,
  SortDown,
  SortDictUp,
  SortDictDown,
  NoSort,
  AscendingGeneral,
  DescendingGeneral
};
// True for the four statuses that order from low to high.
bool cvSortStatusAscending(CVsetSortStatus s);

// Progress codes of cvStatusUpdate for the whole-table operations.
constexpr int32_t cvStatLoadKeys = 5;
constexpr int32_t cvStatCopy = 6;
constexpr int32_t cvStatPack = 11;
constexpr int32_t cvStatSearch = 21;
// Longest key of the table sort.
constexpr int32_t cvSortKeyMax = 240;

// Bits of the text search's options word.
constexpr uint16_t cvSearchNoCase = 1;
constexpr uint16_t cvSearchWholeStart = 2;
constexpr uint16_t cvSearchStars = 4;
constexpr uint16_t cvSearchKeepState = 8;
constexpr uint16_t cvSearchKeepTag = 16;
constexpr uint16_t cvSearchAnchor = 32;

// Size of the read-ahead window in bytes (rounded down to whole records).
constexpr int32_t DBFCacheSize = 32768;
// Index-file slots run from 1 to this.
constexpr int cvMaxIndexFiles = 63;

class CVO_dBHandler : public CVO_dBaseFld, public CVobjIndexTableLink {
public:
  CVO_dBHandler(const std::string& name, const std::string& password, bool readWrite, bool shared);
  ~CVO_dBHandler() override;

  // --- Overridden operations ------------------------------------------------
  // Closes every index file explicitly (what its close writes, and the sync
  // that ends its writing session, raise their failures here: a destructor
  // cannot), then the table, which is closed whatever the index files
  // raised; the first failure is raised after.
  void cvCloseTable() override;
  int32_t cvRead(int64_t position, void* buffer, int32_t count) override;
  void cvRename(const std::string& newName) override;
  void cvWrite(int64_t position, const void* buffer, int32_t count) override;
  bool cvLockRecord(int64_t offset, int64_t length) override;
  void cvAppend() override;
  bool cvDBFEvent(dbFileEvent event, int32_t n) override;
  void cvGetRec(int32_t n) override;
  bool cvFLock() override;
  bool cvRLock() override;
  void cvPutRec(int32_t n) override;
  void cvSetLockProtocol(CVsetLokProtocol p) override;
  bool cvWithIndex() override;

  // --- New operations ---------------------------------------------------------
  virtual bool cvFind(const std::string& key);
  // cvFind of a key given as the bytes the active tag stores (a key of
  // collation weights), unconverted.
  bool cvFindStored(const std::string& key);
  // The record holding `key` in the named tag, 0 when none, -1 when no open
  // index file has that tag.  The position does not change.
  virtual int32_t cvHuntDuplicate(const std::string& tagName, const std::string& key);
  virtual void cvSkip(int32_t n);
  // The record test of subclasses (the dataset's filter event); true here.
  virtual bool cvTestFilter();
  // True when this table listens to the records a filter scan passes over:
  // its cvDBFEvent or cvTestFilter must see each of them read into the
  // active image.  The scan then walks the table record by record;
  // otherwise it tests the records where the read window holds them.  A
  // subclass the handler does not know is taken to listen; one whose
  // overrides stay silent (or only while nothing is assigned to them) says
  // so here.
  virtual bool cvScanListens() const;
  // True when this table listens to the read events (dbPreRead,
  // dbPostRead) of cvGetRec.  A forward walk through the read window then
  // fires them for each record; otherwise it does at once what the read
  // events do here (record-modified cleared, back to browsing).  A subclass
  // the handler does not know is taken to listen.
  virtual bool cvReadEventsHeard() const;
  // Locks every open index file or raises "Could not lock indexes for Table
  // %s" with none of them left locked.
  virtual bool cvLockIndexes();
  void cvUnLockIndexes() noexcept;

  // The header as it stands now; a change by another process also empties
  // the read window.
  int cvExternalChange();
  // The active tag's key at `code` (a KeyRead code) as text; the record
  // number, 0 and an empty key without a tag.
  int32_t cvGetKey(int32_t code, std::string& key);
  void cvRefresh() { cvGetRec(cvReadCurrent); }

  // --- Filter -------------------------------------------------------------------
  // Compiles `text` and marks every record that passes (one scan of the whole
  // table); the same text with the same options changes nothing on an
  // unshared table and scans again on a shared one.  A text
  // that does not compile, or that is not a condition, raises and leaves the
  // filter inactive and empty.
  void cvSetFilterExpr(const std::string& text, bool caseInsensitive, bool partialCompare);
  void cvSetFilterActive(bool on);
  // Marks the records anew (records appended by others get their bits).
  void cvRefreshFilter();
  bool cvFilterActive() const { return filterActive_; }
  bool cvFilterWanted() const { return filterWanted_; }
  const std::string& cvFilterText() const { return filterText_; }
  const TcvHugeSet* cvFilterBitmap() const { return filterSet_.get(); }
  // Clears the bits of records above `count` (after pack or zap).
  void cvFilterTruncate(int32_t count);

  // --- Ranges -----------------------------------------------------------------
  // A bound given as an empty text is no bound; any other text, blanks
  // included, is one (blanks to blanks selects the blank keys).
  bool cvSetRange(const std::string& low, const std::string& high, bool lowFlag, bool highFlag, bool partial);
  // The same with bounds given as the bytes the active tag stores.
  bool cvSetRangeStored(const std::string& low, const std::string& high, bool lowFlag, bool highFlag, bool partial);
  void cvResetRange();

  // --- Read cache ---------------------------------------------------------------
  // The caller's setting.  A tag made active reads without the window; back
  // in record order the caller's setting returns (on when never given).
  void cvSetDBFCache(bool on);
  void cvSetDBFCacheAllowed(bool allowed);
  bool cvDBFCacheOn() const { return cacheOn_; }
  bool cvDBFCacheAllowed() const { return cacheAllowed_; }
  int32_t cvCacheRecords() const { return cacheRecords_; }
  // Empties the read window (the next read goes to the file).
  void cvCacheInvalidate() {
    cacheStart_ = -1;
    cacheEnd_ = -1;
  }

  // --- Temporary files --------------------------------------------------------
  // Where the table sort and index builds spill their keys; empty for the
  // system's temporary directory.
  void cvSetTempDirectory(const std::string& directory) { tempDirectory_ = directory; }
  const std::string& cvTempDirectory() const { return tempDirectory_; }

  // --- Index files and the active tag ----------------------------------------------
  // Places an open index file in the first free slot (1..63) and gives it the
  // table's lock convention; 0 when every slot is taken.
  int cvIndexInsert(CVobjIndexFilePtr file);
  CVobjIndexFile* cvIndexFile(int slot) const;
  CVobjIndexTag* cvActiveTag() const { return activeTag_; }

  // A name without a directory gets the table's, one without an extension
  // ".ndx".
  std::string cvIndexFileExtend(const std::string& name) const;
  // Slot (1..63) of the last open index file of that name, 0 when none.
  int cvIndexFileIsOpen(const std::string& name) const;
  // Opens an index file by the kind its extension names and places it in a
  // free slot: 0 when added, -1 for an empty name or a file already open.
  // Raises for an unknown extension, a missing or corrupted file, or when
  // every slot is taken.
  int cvIndexRoute(const std::string& name);
  // Closes every index file, opens the listed ones ("," or ";" separate,
  // double quotes enclose) and makes `tag` active: 0, or 1 when the list is
  // empty or a file did not open.
  int cvIndex(const std::string& list, const std::string& tag);
  // Closes every index file (each explicitly, as cvCloseTable does), all of
  // them whatever fails, and raises the first failure.
  void cvIndexClear();
  // Closes the file explicitly as well; what fails is raised (the file is
  // closed all the same).
  int cvIndexFileRemove(const std::string& name);
  int cvIndexFileKill(const std::string& name);
  // The n-th tag (from 1) across the open files in slot order.
  CVobjIndexTag* cvIndexPointer(int n) const;
  void cvIndexOrder(int n);
  bool cvIndexKeyValue(int n, std::string& value);
  // Makes the named tag active (an empty name: record order); the slot of
  // its file, 0 for none.  Raises "Cannot find index tag %s".
  int cvSetTagTo(const std::string& name, bool sameRecord);
  int cvIndexTagRemove(const std::string& file, const std::string& tag);
  // Builds a tag into an index file (created, or for CDX/MDX opened) and
  // closes the file again.
  int cvIndexTo(const std::string& file, const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                CVsetIndexUnique unique, CVsetSortStatus status);
  bool cvMemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                        CVsetIndexUnique unique, CVsetSortStatus status);
  void cvReIndex();

  // --- Whole-table operations ------------------------------------------------------
  void cvCopyStructure(const std::string& name);
  void cvCopyFile(const std::string& name, const std::string& password);
  void cvCopyRecord(CVO_dBHandler& target);
  void cvCopyMemoRecord(CVO_dBHandler& target);
  void cvSortFile(const std::string& target, const std::string& keyExpr, const std::string& password,
                  CVsetSortStatus status);
  void cvPack();
  void cvZap();
  virtual void cvSetPassword(const std::string& password);

  // --- Locate, keys and search -----------------------------------------------------
  // The first record (in the current order) whose listed fields hold the
  // values; the table stays on it.
  bool cvLocateRecord(const std::string& fields, const Variant& values, bool caseInsensitive, bool partial);
  // The key text `keyExpr` gives for the first `count` values placed into
  // its fields.
  std::string cvBuildKey(const std::vector<Variant>& values, int count, const std::string& keyExpr);
  // Searches the records from recNo (0: the top) for `text` in field fieldNo
  // (0: every field); on success fieldNo/recNo name the hit and the result
  // is the position of the match.
  int32_t cvSearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, int32_t lastRec);
  uint16_t cvSearchOptions() const { return searchOptions_; }
  void cvSetSearchOptions(uint16_t v) { searchOptions_ = v; }
  const std::string& cvActiveTagName() const { return activeTagName_; }

  // --- Flags ----------------------------------------------------------------------
  bool cvExactMatch() const { return exactMatch_; }
  void cvSetExactMatch(bool v) { exactMatch_ = v; }
  bool cvSoftSeek() const { return softSeek_; }
  void cvSetSoftSeek(bool v) { softSeek_ = v; }
  bool cvFound() const { return found_; }
  bool cvRecordFound() const { return recordFound_; }
  bool cvPositionLost() const { return positionLost_; }
  bool cvKeyChanged() const { return keyChanged_; }

  // --- The table as its index files see it -------------------------------------------
  int32_t ixRecordCount() override { return cvRecordCount(); }
  int32_t ixCurrentRecord() override { return cvCurrentRecord(); }
  bool ixReadRecord(int32_t recno) override;
  bool ixHasOriginalRecord() override { return inPostWrite_ || state_ == dbEdit || state_ == dbAppend; }
  bool ixRecordModified() override;
  void ixUseOriginalRecord(bool original) override;
  bool ixExactMatch() override { return exactMatch_; }
  TcvExpUserLink* ixExpressionLink() override { return cvExpLink(); }
  void ixStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override { cvStatusUpdate(stat1, stat2, stat3); }
  std::string ixReadKey() override { return cvReadKey(); }
  std::string ixWriteKey() override { return cvWriteKey(); }
  std::string ixTableFileName() override { return FileName(); }
  bool ixProductionIndex() override { return cvProductionIndex(); }
  void ixSetProductionIndex(bool on) override { cvSetProductionIndex(on); }
  int32_t ixAccessRetries() override;
  std::string ixTempDirectory() override { return tempDirectory_; }
  void ixReadTableAgain() override;

protected:
  // The field layer's read: no order, no filter, no hidden records.
  void PlainGetRec(int32_t n);
  // PlainGetRec's read of a record the window can serve: one copy from the
  // window into each image.  False when the general read must run.
  bool ReadThroughWindow(int32_t n);
  // The record at `position` inside the window, filling the window from
  // there when it does not hold all of it; nullptr when the file is short.
  const uint8_t* WindowRecord(int64_t position);
  // Marks the records that pass the compiled filter, in record order over
  // the whole table.
  void ScanFilter();
  // ScanFilter's pass over the records in place, read in large blocks of
  // its own (the condition run as flat record tests where it can be), when
  // nothing listens to the reads; false (nothing done) when the walk of
  // cvGetRec must run.
  bool ScanFilterInWindow();
  // The next set bit from `from` in direction `dir` (+1 or -1), 0 when none.
  int32_t NextFilterBit(int32_t from, int dir) const;
  // Leaves the filter wanted but empty (no operands, no text, no bits).
  void DropFilterExpression() noexcept;
  bool FilterBit(int32_t recno) const { return filterSet_ && filterSet_->BitValue(recno); }
  void SetActiveTag(CVobjIndexTag* tag, const std::string& name) {
    activeTag_ = tag;
    activeTagName_ = name;
  }
  std::array<CVobjIndexFilePtr, cvMaxIndexFiles + 1>& IndexSlots() { return indexFiles_; }

private:
  // cvFind's steps around the tag's seek (`find`) and its match test of the
  // record reached (`matches`).
  template <class Find, class Matches>
  bool FindWith(Find find, Matches matches);

  // Switches the read cache without touching the caller's setting.
  void SwitchCache(bool on);

  // Active tag and index files (slot 0 unused).
  CVobjIndexTag* activeTag_ = nullptr;
  std::string activeTagName_;
  std::array<CVobjIndexFilePtr, cvMaxIndexFiles + 1> indexFiles_;

  // Read cache.
  int64_t cacheStart_ = -1;
  int64_t cacheEnd_ = -1;
  int32_t cacheRecords_ = 0;
  std::vector<uint8_t> cache_;
  std::string tempDirectory_;
  bool cacheOn_ = false;
  bool cacheAllowed_ = true;
  bool cacheWanted_ = true;  // the caller's setting, for record order
  int cacheScopes_ = 0;      // open scopes of the handler's own operations
  bool bypassCache_ = false;
  int32_t cacheCount_ = 0;   // record count and header stamp when the
  uint32_t cacheStamp_ = 0;  // window was filled (shared tables)

  bool found_ = false;
  bool softSeek_ = false;
  bool recordFound_ = false;
  bool positionLost_ = false;
  bool keyChanged_ = false;
  bool exactMatch_ = false;
  bool inPostWrite_ = false;
  uint8_t* activeBeforeOriginal_ = nullptr;
  int originalDepth_ = 0;  // open switches to the saved image

  // Filter.
  std::unique_ptr<TcvHugeSet> filterSet_;
  std::unique_ptr<TcvExpHandler> filterExpr_;
  std::string filterText_;
  bool filterWanted_ = false;
  bool filterActive_ = false;

  // Index files this table has opened or built (re-ciphered on a password
  // change even when closed).
  std::vector<std::string> knownIndexFiles_;
  uint16_t searchOptions_ = 1;

  void RememberIndexFile(const std::string& fullName);
  // Marks every open index file as being changed (index_mark.h).
  void MarkIndexesBeingChanged();
  // Opens an index file of this table; one that a writer left half-changed
  // is rebuilt from the table first (or refused by name when this handle
  // cannot write it).  An emptied file (`create` and `overwrite`) is not.
  CVobjIndexFilePtr OpenIndexFile(const std::string& name, bool create, bool overwrite);
  // Builds the memory index in `slot` anew from the records and puts it in
  // place of `old`; the new file.
  CVobjIndexFile* RebuildMemoryIndex(int slot, CVobjIndexFile& old);
  // Removes an index file that a build made and did not finish, with its
  // "being changed" mark.
  static void RemoveUnfinishedIndex(const std::string& name) noexcept;
  // cvReIndex; with `files` false only the memory indexes are built again
  // and the index files are left as they are.
  // With `renumber` (a pack's new record numbers, 0 for removed records)
  // each index file renumbers its entries where it can.
  // With `afterCommit`, only the index files a whole-table operation left
  // out of its journal are rebuilt (whole); one that fails keeps its mark
  // for the next open.
  void RebuildIndexes(bool files, const cvPackRenumbering* renumber = nullptr, bool afterCommit = false);
  // Index files this table knows of that are not open now.
  std::vector<std::string> ClosedIndexFiles() const;
  void RecipherClosedIndexes();
  // Opens every open index file with a disk file again (after its bytes were
  // put back); the active tag follows.  A file that no longer opens closes.
  void ReopenIndexFiles() noexcept;
  // The password change's rewrite of records, memos, descriptors and index
  // pages, in place.
  void RewriteWithPassword(const std::string& password);
  // The memos of the record in the active image, read with the old key and
  // written again with the new one; the fields get the new block numbers.
  void cvRewriteMemoRecord(CVobjMemo& memo, bool oldEnciphered, const std::string& oldKey, const std::string& newKey);
  void WriteStructure(const std::string& name);
  // cvSortFile's two steps: every record's key (in the handler's order) into
  // the sorter, then the records in key order into a new table `name`.
  void cvLoadToIndex(TcvSort& sorter, const std::string& key);
  void cvCopyFromIndex(CVobjSortDB& sorter, const std::string& name, const std::string& password);
  // The sorted output of cvSortFile for tables without memos, in blocks.
  void WriteSortedRecords(TcvSort& sorter, CVO_dBHandler& out);
  // The handler's own work after a write and after a flush.
  void AfterWrite(int32_t n);
  void AfterFlush();
  bool LocateByIndex(const std::string& fields, const std::vector<uint8_t>& scratch, bool caseInsensitive, bool partial,
                     bool& found);

  friend class cvHandlerScope;
  friend class cvTagAside;
  friend class cvCacheFlagGuard;
  friend class cvRecordWriteUndo;
};
