// The DBF dataset: one DBF table as a dataset of the dataset framework.
//
// TCorvidDataSet answers the framework's virtual protocol with the table
// engine's record handler, which it owns from open to close.  It keeps no
// record image of its own: for every record-level call it points the
// handler at one of the framework's record buffers and back again
// afterwards (a scope guard restores the previous pointer).
//
// Record buffer layout (all offsets fixed at open, each below 65536):
//
//   offset                 size      content
//   0                      reclen    the raw DBF record, deletion byte first
//   reclen                 1         zero (the handler's images carry one
//                                    byte more than the record)
//   reclen+1               calc      calculated and lookup field values
//   info = reclen+1+calc   8         0: record number (int32, host order);
//                                    5: bookmark flag; the rest unused
//   info+8                 11        bookmark: the record number as text,
//                                    right-aligned in 10 characters, NUL
//
// Bookmarks compare byte-wise, so record 9 sorts before record 10.
//
// Text: the handler translates C fields between the OEM and the Windows
// code page itself when TranslateASCII is on; the dataset translates memo
// data, filter texts and search keys, each exactly once.
//
// Locks: an edit locks the record it started on (the number in the active
// buffer, not wherever navigation has left the handler) before it re-reads
// it, and post or cancel releases exactly that lock.  Deleting and recalling
// lock, re-read, change the mark, write and unlock.  Inserts take only the
// append lock the table itself takes and releases.
//
// Memo data written through a blob stream is held by the dataset until the
// record is posted: Cancel drops it, and everything that reads the memo in
// the same edit (the null test, another blob stream) sees it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "platform/classes.h"
#include "platform/db.h"
#include "platform/string_list.h"

class TCorvidDataSet;

enum TcvIntFields { asInteger, asLargeInt, asFloat };
enum TcvDBFActivity { aNormal, aIndexing, aCopying };
using TcvLokProtocol = CVsetLokProtocol;
using TcvIndexUnique = CVsetIndexUnique;
using TcvSortStatus = CVsetSortStatus;
using TcvStatusReport = std::function<void(int32_t stat1, int32_t stat2, int32_t stat3)>;

// The record handler of one dataset: reports progress and tests records
// through its owner.
class DBFObject : public CVO_dBHandler {
public:
  DBFObject(const std::string& path, const std::string& password, bool readWrite, bool shared, TCorvidDataSet* owner);
  void cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override;
  // The owner's record filter event, then the handler's own test.
  bool cvTestFilter() override;
  // The filter scan must show each record to the owner's filter event only
  // while one is in force.
  bool cvScanListens() const override;
  // Read events pass straight through here.
  bool cvReadEventsHeard() const override;
  TCorvidDataSet* Owner() const { return owner_; }

private:
  TCorvidDataSet* owner_;
};

// A memo or blob field's value as a stream.  Reading loads the memo once;
// writing keeps the data here, and freeing a modified stream hands it to the
// dataset, which writes it when the record is posted.
class TCorvidBlobStream : public TStream {
public:
  TCorvidBlobStream(TField* field, TBlobStreamMode mode);
  ~TCorvidBlobStream() override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  // A position below 0 is refused (ERangeError); beyond the end is allowed:
  // reading there gives nothing, writing there fills the gap with zeros.
  int64_t Seek(int64_t offset, uint16_t origin) override;
  bool Modified() const { return modified_; }
  // Hands modified data to the dataset now (the destructor does it
  // otherwise, silently).
  void Flush();

private:
  TField* field_;
  TCorvidDataSet* dataset_;
  int fieldNo_;
  bool modified_ = false;
  bool flushed_ = false;
  std::string data_;
  int64_t position_ = 0;
};

class TCorvidDataSet : public TDataSet {
public:
  explicit TCorvidDataSet(TComponent* owner = nullptr);
  ~TCorvidDataSet() override;

  // ---- properties ------------------------------------------------------------
  std::string About() const;
  bool AutoFlush() const { return autoFlush_; }
  void SetAutoFlush(bool on);
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& EncryptionKey() const { return encryptionKey_; }
  void SetEncryptionKey(const std::string& key);
  bool ExactCount = false;
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool on) {
    CheckInactive();
    exclusive_ = on;
  }
  TStringList& IndexFiles() { return *indexFiles_; }
  void SetIndexList(const TStringList& list);
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  TcvIntFields LargeIntegerAs = asInteger;
  TcvLokProtocol LockProtocol() const { return lockProtocol_; }
  void SetLockProtocol(TcvLokProtocol p);
  const std::string& MasterFields() const;
  void SetMasterFields(const std::string& names);
  TDataSource* MasterSource() const;
  void SetMasterSource(TDataSource* source);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on);
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  bool TranslateASCII() const { return translateAscii_; }
  void SetTranslateASCII(bool on);
  bool UseDeleted() const { return useDeleted_; }
  void SetUseDeleted(bool on);
  int32_t UserID() const { return userId_; }
  void SetUserID(int32_t id);
  void AssignUserID(int32_t id) { SetUserID(id); }
  // The handler's read window (off unless asked for).
  void SetDBFCache(bool on);
  bool DBFCache() const { return cache_; }
  TcvStatusReport OnStatus;

  // ---- the table ---------------------------------------------------------------
  DBFObject* Handler() const { return handler_.get(); }
  TcvDBFActivity Activity() const { return activity_; }
  std::string ConvertDatabaseNameAlias() const;
  void GetTableNames(TStringList& list) const;
  void GetDatabaseNames(TStringList& list) const;

  // ---- records -------------------------------------------------------------------
  void Recall();
  bool IsDeleted();
  bool ConfirmEdit();
  // The buffer field access uses in the current state (false: none).
  bool GetActiveRecBuf(TRecordBuffer& buffer);
  void CheckActiveSet();
  int ExternalChange();
  void ReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user);
  void EncryptFile(const std::string& key);
  void EncryptDBFFile(const std::string& key) { EncryptFile(key); }
  int32_t HuntDuplicate(const std::string& tag, const std::string& key);

  // ---- framework overrides (public in the framework) ----------------------------
  void CheckActive() override;
  int GetRecordCount() override;
  bool CountVisibleRecords(int& count) override;
  int GetRecNo() override;
  void SetRecNo(int n) override;
  bool IsSequenced() override;
  bool BookmarkValid(TBookmark bookmark) override;
  int CompareBookmarks(TBookmark a, TBookmark b) override;
  bool GetCurrentRecord(TRecordBuffer buffer) override;
  bool GetFieldData(TField* field, void* buffer) override;
  using TDataSet::GetFieldText;
  bool GetFieldText(TField* field, std::string_view& text, bool& null) override;
  bool GetFieldTextPlace(TField* field, TFieldTextPlace& place) override;
  void SetFieldData(TField* field, const void* buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  int Translate(const char* src, char* dest, bool to_oem) override;
  void Post() override;
  bool Locate(const std::string& key_fields, const Variant& key_values, TLocateOptions options) override;
  Variant Lookup(const std::string& key_fields, const Variant& key_values, const std::string& result_fields) override;
  TDataSource* GetDataSource() const override;

  // ---- filter --------------------------------------------------------------------
  void SetFiltered(bool on) override;
  void SetFilterText(const std::string& text) override;
  void SetFilterOptions(TFilterOptions options) override;
  // Runs OnFilterRecord for the handler's current record (when it applies).
  void DoOnFilter(bool& accept);
  // True when DoOnFilter would call the filter event.
  bool FilterEventInForce() const;

  // ---- indexes ---------------------------------------------------------------------
  void Index(const std::string& files, const std::string& tag);
  void SetTagTo(const std::string& name);
  int SetPrimaryTag(const std::string& name, bool reposition);
  void IndexFileInclude(const std::string& file);
  void IndexFileRemove(const std::string& file);
  void IndexTagRemove(const std::string& file, const std::string& tag);
  void IndexOn(const std::string& file, const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
               TcvIndexUnique unique, TcvSortStatus order);
  void Reindex();
  std::string IndexExpression(int n);
  std::string IndexFilter(int n);
  int32_t IndexKeyLength(int n);
  bool IndexUnique(int n);
  bool IndexAscending(int n);
  // Whether the tag's character keys follow their bytes (false for a
  // compound-index tag under the general collation).
  bool IndexByteOrder(int n);
  std::string IndexFileName(int n);
  std::string IndexTagName(int n);
  std::string IndexKeyValue(int n);
  int IndexCount();
  std::string IndexCurrent();
  int IndexCurrentOrder();
  void IndexIsProduction(bool flag);
  void GetIndexNames(TStringList& list) const;
  void GetIndexTagList(TStringList& list);

  // ---- search and ranges ------------------------------------------------------------
  bool FindThisRecord(const std::string& key, bool exact, bool near);
  bool Find(const std::string& key, bool exact, bool near);
  bool FindKey(const std::vector<Variant>& values);
  void FindNearest(const std::vector<Variant>& values);
  void SetKey();
  void EditKey();
  bool GotoKey();
  void GotoNearest();
  void SetRange(const std::string& low, const std::string& high);
  void SetRangeEx(const std::string& low, const std::string& high, bool lowFlag, bool highFlag, bool partial);
  void SetRangeExMasterDetail(const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
                              bool partial);
  void CancelRange() { SetRange("", ""); }
  // Whether the active tag limits the records to a key range (one set by
  // the caller or by the master link).
  bool Ranged() const;
  std::string GetMasterKey();

  // ---- direct table operations (corvid_direct.cpp) -------------------------------
  // Field values straight from the active record, by name or by 1-based
  // number (the N forms).  The values go into the active buffer and reach
  // the file with the post.  The date, logical, string and memo setters need
  // the edit, insert or set-key state; FieldPut, FloatPut and IntegerPut
  // store in any state (outside an edit the value stays in the buffer until
  // the record is read again; nothing is written to the file).  Controls
  // bound to the dataset are not told of them.
  int32_t DateGet(const std::string& field);
  int32_t DateGetN(int n);
  void DatePut(const std::string& field, int32_t julianDay);
  void DatePutN(int n, int32_t julianDay);
  std::string FieldGet(const std::string& field);
  std::string FieldGetN(int n);
  void FieldPut(const std::string& field, const std::string& text);
  void FieldPutN(int n, const std::string& text);
  long double FloatGet(const std::string& field);
  long double FloatGetN(int n);
  void FloatPut(const std::string& field, long double value);
  void FloatPutN(int n, long double value);
  // Truncated toward zero; a value outside 64 bits raises ERangeError.
  int64_t IntegerGet(const std::string& field);
  int64_t IntegerGetN(int n);
  void IntegerPut(const std::string& field, int64_t value);
  void IntegerPutN(int n, int64_t value);
  bool LogicGet(const std::string& field);
  bool LogicGetN(int n);
  void LogicPut(const std::string& field, bool value);
  void LogicPutN(int n, bool value);
  std::string StringGet(const std::string& field);
  std::string StringGetN(int n);
  void StringPut(const std::string& field, const std::string& text);
  void StringPutN(int n, const std::string& text);
  // Memo data as stored (no code-page translation).  In an edit, a memo
  // saved or written through a blob stream is seen before the post.
  uint32_t MemoSize(const std::string& field);
  uint32_t MemoSizeN(int n);
  // Copies at most `size` bytes of the memo into `buffer`; false when the
  // field is no memo field or the memo could not be read.
  bool MemoLoad(const std::string& field, void* buffer, uint32_t size);
  bool MemoLoadN(int n, void* buffer, uint32_t size);
  // Keeps `size` bytes as the field's memo, written with the post (dropped
  // by Cancel); false when the field is no memo field.
  bool MemoSave(const std::string& field, const void* buffer, uint32_t size);
  bool MemoSaveN(int n, const void* buffer, uint32_t size);

  // Appends the active record (with its memos) to `target`, which must be
  // another open dataset over a table of the same fields; the target then
  // stands on the new record.
  void CopyRecordTo(TCorvidDataSet& target);
  bool RLock();
  bool FLock();
  bool Unlock();
  void Pack();
  void Zap();
  // Copies the visible records (order, filter, hidden deleted records
  // apply; a non-empty `filter` narrows them further for the copy) into a
  // new table `file`, enciphered with EncryptionKey.
  void CopyTo(const std::string& file, const std::string& filter = std::string());
  // Writes the visible records into a new table `file` in the order of `key`.
  void SortTo(const std::string& file, const std::string& key, TcvSortStatus order);
  void CopyStructure(const std::string& file, const std::string& password = std::string());
  // Searches the records for `text` (see the handler's text search; options
  // is its options word); on a hit fieldNo/recNo name it, the dataset stands
  // on the record and the result is the match position (0: none).
  int32_t SearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, uint16_t options);
  bool MemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                      TcvIndexUnique unique, TcvSortStatus order);
  void FlushDBF();
  // Renames the closed dataset's table, its memo file and the index files
  // named after it; a name without directory stays in the table's directory.
  void RenameTable(const std::string& newName);
  // The directory for temporary files (the table sort's and the index
  // builds' spilled keys), kept with a trailing delimiter; an open handler
  // takes it at once.  Empty: the system's temporary directory.
  void SetTempDirectory(const std::string& directory);
  const std::string& TempDirectory() const { return tempDirectory_; }
  static bool CreateDBF(const std::string& file, const std::string& secondName, const std::string& kind,
                        const cvCreateFieldCallback& callback);

  // The memo data waiting for the post of the active record (none: the
  // memo as stored).  Used by the blob streams.
  const std::string* PendingMemo(int fieldNo) const;
  void SetPendingMemo(int fieldNo, std::string oemData);
  // The record buffer's record number (0 for none).
  static int32_t BufferRecNo(const uint8_t* buffer, int infoOffset);
  int InfoOffset() const { return infoOffset_; }

protected:
  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override;
  void GetBookmarkData(TRecordBuffer buffer, void* data) override;
  void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;
  int GetRecordSize() override;
  void InternalAddRecord(const void* buffer, bool append) override;
  void InternalClose() override;
  void InternalDelete() override;
  void InternalFirst() override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalHandleException() override {}
  void InternalInitFieldDefs() override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalLast() override;
  void InternalOpen() override;
  void InternalPost() override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  bool IsCursorOpen() override { return handler_ != nullptr; }
  void InternalCancel() override;
  void InternalEdit() override;
  void InternalRefresh() override;
  bool GetCanModify() override { return !readOnly_; }
  void ClearCalcFields(TRecordBuffer buffer) override;
  bool GetIsIndexField(TField* field) override;
  void UpdateIndexDefs() override;
  void DoAfterInsert() override;
  virtual void InternalRecall();
  // The forward road (corvid_walk.cpp).
  bool WalkStart() override;
  bool WalkFetch(TRecordBuffer buffer) override;
  void WalkStop() noexcept override;

private:
  friend class DBFObject;
  friend class TCorvidBlobStream;

  // Points the handler at a buffer for one scope (not in the filter state,
  // where field access reads the record the handler is testing).
  class BufferScope {
  public:
    BufferScope(TCorvidDataSet& ds, uint8_t* buffer)
        : h_(ds.handler_.get()), active_(ds.State() != dsFilter && h_ != nullptr) {
      if (active_) {
        previous_ = h_->cvActiveBuffer();
        h_->cvSetActiveBuffer(buffer);
      }
    }
    ~BufferScope() {
      if (active_) h_->cvSetActiveBuffer(previous_);
    }
    BufferScope(const BufferScope&) = delete;
    BufferScope& operator=(const BufferScope&) = delete;

  private:
    CVO_dBHandler* h_;
    bool active_;
    uint8_t* previous_ = nullptr;
  };

  std::string TablePath();
  std::string IndexPath(const std::string& entry, const char* defaultExt) const;
  std::unique_ptr<DBFObject> OpenHandler(bool readWrite, bool shared);
  void OpenIndexList(const char* defaultExt, bool raiseIfOpen, bool applyTag = true);
  void DoOnIndexFilesChange();
  void ApplyIndexName(bool reposition);
  void AfterOrderChange();
  void CheckMasterRange();
  // The detail key for the master's current values; `blank` when the master
  // has no record of its own to give (inserting, or empty); `whole` the
  // number of the key's leading bytes that the given fields make (the key's
  // length when the master gives every key field, npos when not known).
  std::string MasterKey(bool& blank, size_t& whole);
  // The active key for values of its first key fields (the others blank),
  // with `whole` as for MasterKey.
  std::string KeyOfFields(const std::vector<Variant>& values, size_t& whole);
  // Seeks `key` in the active tag with its first `whole` bytes compared
  // whole and the rest open (npos: the key as a prefix); with `near`, a
  // search that finds no match stands on the record that follows.  True
  // when the record found matches.
  bool SeekGiven(const std::string& key, size_t whole, bool near);
  // False for a tag whose keys are collation weights rather than bytes of
  // the text (those search and range through the weights and PartTest).
  bool ActiveKeysInByteOrder() const;
  // SeekGiven on a tag of collation weights.
  bool SeekGivenWeights(const std::string& key, size_t whole, bool near);
  // Ranges the detail on the master key; `move`: to the first record too.
  void MasterRange(bool move);
  void MasterRangeByWeights(const std::string& key, size_t whole, bool move);
  // On a tag of collation weights the keys whose leading fields are given
  // make no one stretch of the tag (accents follow all the weights): the
  // detail ranges on the keys that begin with the given fields' weights,
  // and this test, asked of every record read in that tag, keeps those
  // whose leading `length` key bytes collate as `part`.
  struct PartTest {
    const CVobjIndexTag* tag = nullptr;
    size_t length = 0;
    std::string part;  // the given fields' key in the tag's stored form
    std::shared_ptr<TcvExpHandler> key;  // the tag's key expression, compiled
  };
  bool PartTestInForce() const;
  bool PartTestAccepts();
  void DropPartTest();
  void MasterChanged();
  void MasterDisabled();
  std::string ToOem(const std::string& text) const;
  std::string FromOem(const std::string& text) const;
  void SetFilterData(const std::string& text, TFilterOptions options);
  void FillBookmark(TRecordBuffer buffer, int32_t recno);
  // The visible records counted by the handler's walk in its own buffer;
  // the handler goes back to the record it stood on (corvid_count.cpp).
  int CountByWalk();
  // The same count from the file's records read in large blocks, in record
  // order without a tag; false when the file ends short of the header's
  // count.
  bool CountByBlocks(int& count);
  // Reads the road's next block from record `first`, no further than record
  // `last` when it is given (> 0); false when there is none to read (raises
  // when the file ends inside record `first`).
  bool WalkRead(int32_t first, int32_t last = 0);
  // Writes the pending memos into the handler's active image.
  void FlushPendingMemos();
  void WriteRecord(uint8_t* buffer, const std::function<void()>& write);
  void ReleaseEditLock();
  // Locks record `recno`, re-reads exactly it into `buffer`; raises "Record
  // is locked by another user" when refused.
  void LockAndReread(int32_t recno, uint8_t* buffer);
  void WriteDeletionMark(char mark, int errorId);
  std::vector<std::string> ActiveKeyFields();
  bool CheckTagActive();
  void ReadMemoCheck(TField* field) const;

  // Direct operations: the target of a copy by name (the table's directory
  // for a bare name) and the checks of the field family.
  std::string DirectTarget(const std::string& file) const;
  // Runs a field read or write with the handler on the buffer of the
  // dataset's state; writes need an edit state unless `anyState`.
  template <class F>
  auto DirectRead(F&& read);
  template <class F>
  void DirectWrite(F&& write, bool anyState = false);
  void CheckNotTableFile(const std::string& target);
  int MemoField(int n);
  // Opens the table with the index files of the list but no tag (the check
  // of a list changed on a closed dataset).
  bool skipIndexList_ = false;
  std::string tempDirectory_;
  std::unique_ptr<DBFObject> handler_;
  std::unique_ptr<TStringList> indexFiles_;
  std::unique_ptr<TMasterDataLink> masterLink_;
  std::unique_ptr<uint8_t[]> keyBuffer_;
  std::string databaseName_, tableName_, encryptionKey_, indexName_;
  bool autoFlush_ = false;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool translateAscii_ = true;
  bool useDeleted_ = false;
  bool cache_ = false;
  int32_t userId_ = 0;
  TcvLokProtocol lockProtocol_ = CVsetLokProtocol::Default;
  TcvDBFActivity activity_ = aNormal;
  bool suppressEvents_ = false;
  bool suppressChecks_ = false;
  PartTest partTest_;
  bool suppressIndexChange_ = false;
  bool atBeginning_ = false, atEnd_ = false;
  bool oldValue_ = false;
  bool editLocked_ = false;
  int32_t editRecno_ = 0;
  std::vector<uint8_t> oldImage_;
  std::map<int, std::string> pendingMemos_;
  // Offset and length of each C field (by field number; length 0 for the
  // other types), fixed at open.
  struct CField {
    int32_t offset = 0;
    int32_t length = 0;
  };
  std::vector<CField> cFields_;
  int recordSize_ = 0;  // the table's record length
  int imageSize_ = 0;   // record length + 1
  int infoOffset_ = 0;
  int bookmarkOffset_ = 0;
  int bufferSize_ = 0;
  // The last bookmark text made and its record number: a walk makes the
  // next one by counting up the digits instead of formatting anew.
  int32_t bookmarkRecno_ = -1;
  char bookmarkText_[11] = {};
  // The forward road: the block of records read (as stored), the number of
  // its first record and how many it holds, the next record to look at, the
  // last record the header counts, and the last record given.
  std::vector<uint8_t> walkBlock_;
  int32_t walkFirst_ = 0;
  int32_t walkCount_ = 0;
  int32_t walkNext_ = 0;
  int32_t walkLast_ = 0;
  int32_t walkGiven_ = 0;
};
