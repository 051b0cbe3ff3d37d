// The dataset framework: `TDataSet`, the base of every dataset component.
//
// A dataset keeps a ring of record buffers (buffer count + 1; the last is the
// spare `TempBuffer` that each fetch fills first), its fields, field and index
// definitions, its data sources and its state.  The component derived from it
// supplies the storage through the protected virtual protocol (GetRecord,
// InternalOpen, InternalPost, GetFieldData ...); the framework keeps the
// ring, the Bof/Eof flags, the state machine, the events and the data links.
//
// The ring:
// - `RecordCount` buffers (0 .. buffer count) hold consecutive visible
//   records; `ActiveRecord` indexes the one fields read in browse mode.
// - The component's cursor stands on the record of buffer `CurrentRecord`
//   (-1: unknown).  `SetCurrentRecord` moves it there through the buffer's
//   bookmark flag (bfCurrent: InternalSetToRecord, bfBOF: InternalFirst,
//   bfEOF: InternalLast); `UpdateCursorPos` does so for the active buffer.
//   Every operation that works on the active record (edit, post, delete,
//   cancel, refresh) first brings the cursor there.
// - Moving past either end of the ring sets the cursor on the edge buffer,
//   fetches the next (prior) record into the spare buffer and rotates it in;
//   a failed fetch sets Eof (Bof).  Bof and Eof are the framework's flags.
// - `Resync` refetches the cursor's record and refills the ring around it.
//
// Bookmarks are 32-bit handles (TBookmark) into a per-dataset table of
// bookmark bytes: `GetBookmark` copies the active buffer's bookmark into the
// table, `FreeBookmark` releases it, `BookmarkBytes` lets a component read
// the bytes of a handle.  Handles stay valid across Close and Open until they
// are freed or the dataset is destroyed.
//
// Derived components must call `Destroying()` and `Close()` in their own
// destructor: the base destructor can no longer reach their overrides.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"
#include "platform/classes.h"
#include "platform/component.h"
#include "platform/db_common.h"
#include "platform/db_defs.h"
#include "platform/db_fields.h"
#include "platform/db_links.h"
#include "platform/db_params.h"
#include "platform/variant.h"

class TDataSet;

using TDataSetNotifyEvent = std::function<void(TDataSet* dataset)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataset, bool& accept)>;
using TDataSetErrorEvent = std::function<void(TDataSet* dataset, EDatabaseError& e, TDataAction& action)>;

// A text field kept as plain bytes in the record image: `Length` bytes at
// `Offset`.  Its text is those bytes without trailing blanks (nothing left:
// null), then cut to `Cut` bytes and at the first zero byte.
struct TFieldTextPlace {
  int32_t Offset = 0;
  int32_t Length = 0;
  int32_t Cut = 0;
  std::string_view Read(const uint8_t* record, bool& null) const {
    const uint8_t* p = record + Offset;
    size_t len = static_cast<size_t>(Length);
    // Trailing blanks eight at a time (little-endian: a word's last byte
    // is its most significant one), the rest one by one.
    constexpr uint64_t kBlanks = 0x2020202020202020ULL;
    while (len >= 8) {
      const uint64_t other = LoadLE64(p + len - 8) ^ kBlanks;
      if (other != 0) {
        len -= static_cast<size_t>(std::countl_zero(other) / 8);
        break;
      }
      len -= 8;
    }
    while (len > 0 && p[len - 1] == ' ') --len;
    null = len == 0;
    len = std::min(len, static_cast<size_t>(Cut));
    if (const void* zero = std::memchr(p, 0, len)) len = static_cast<size_t>(static_cast<const uint8_t*>(zero) - p);
    return std::string_view(reinterpret_cast<const char*>(p), len);
  }
};

class TDataSet : public TComponent {
public:
  explicit TDataSet(TComponent* owner = nullptr);
  ~TDataSet() override;

  // ---- opening and closing ----
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool on);
  TDataSetState State() const { return state_; }

  // ---- navigation ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return activeRecord_ >= recordCount_; }
  void Refresh();
  void Resync(TResyncMode mode);

  // ---- editing ----
  void Append();
  void Insert();
  void Edit();
  virtual void Post();
  virtual void Cancel();
  void Delete();
  void AppendRecord(const std::vector<Variant>& values);
  void InsertRecord(const std::vector<Variant>& values);
  // Assigns the values to the fields in order (unassigned values skipped).
  void SetFields(const std::vector<Variant>& values);
  // Sends the update-record event so that links write pending values.
  void UpdateRecord();
  void CheckBrowseMode();
  bool Modified() const { return modified_; }
  bool CanModify() { return GetCanModify(); }

  // ---- bookmarks ----
  TBookmark GetBookmark();
  void GotoBookmark(TBookmark bookmark);
  void FreeBookmark(TBookmark bookmark);
  // The bytes of a live handle; none for 0 and unknown handles.
  const uint8_t* BookmarkBytes(TBookmark bookmark) const;
  virtual bool BookmarkValid(TBookmark bookmark);
  virtual int CompareBookmarks(TBookmark a, TBookmark b);
  int BookmarkSize() const { return bookmarkSize_; }

  // ---- record counts and positions ----
  int RecordCount() { return GetRecordCount(); }
  int RecNo() { return GetRecNo(); }
  // The base knows no numbering: -1 for both, and SetRecNo does nothing.
  virtual int GetRecordCount() { return -1; }
  virtual int GetRecNo() { return -1; }
  virtual void SetRecNo(int n) { (void)n; }
  virtual bool IsSequenced() { return true; }
  // Block reading: a size above 0 enters dsBlockRead (links hear nothing
  // while it lasts); 0 or less returns to browse and resynchronises.
  virtual void SetBlockReadSize(int size);
  int BlockReadSize() const { return blockReadSize_; }

  // ---- fields ----
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TFieldDefs& FieldDefs() { return *fieldDefs_; }
  TIndexDefs& IndexDefs() { return *indexDefs_; }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  TField* FieldByName(const std::string& name) const { return fields_.FieldByName(name); }
  TField* FieldByNumber(int field_no) const { return fields_.FieldByNumber(field_no); }
  // Fields named in a ";"-separated list (raising for a missing name).
  std::vector<TField*> GetFieldList(const std::string& names) const;
  std::vector<std::string> GetFieldNames() const;
  // One field's value, or a variant array for several names ("A;B").
  Variant FieldValues(const std::string& names) const;
  void SetFieldValues(const std::string& names, const Variant& values);
  bool DefaultFields() const { return defaultFields_; }
  // Brings FieldDefs up to date (InternalInitFieldDefs when closed).
  void InitFieldDefs();
  bool AutoCalcFields = true;

  // ---- filter ----
  const std::string& Filter() const { return filterText_; }
  void SetFilter(const std::string& text) { SetFilterText(text); }
  bool Filtered() const { return filtered_; }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  virtual void SetFiltered(bool on);
  virtual void SetFilterText(const std::string& text);
  virtual void SetFilterOptions(TFilterOptions options);

  // ---- searching ----
  virtual bool Locate(const std::string& key_fields, const Variant& key_values, TLocateOptions options);
  virtual Variant Lookup(const std::string& key_fields, const Variant& key_values, const std::string& result_fields);

  // ---- links ----
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ != 0; }
  // The master data source of a detail dataset (none by default).
  virtual TDataSource* GetDataSource() const { return nullptr; }
  // True when `source` leads back to this dataset through data sources.
  bool IsLinkedTo(TDataSource* source) const;
  int DataSourceCount() const { return static_cast<int>(dataSources_.size()); }

  // ---- checks ----
  virtual void CheckActive();
  void CheckInactive();
  void CheckCanModify();

  // ---- blobs ----
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);

  // ---- field data (the component's native buffers) ----
  // True when the field has a value; buffer may be none for the null test.
  virtual bool GetFieldData(TField* field, void* buffer) = 0;
  virtual void SetFieldData(TField* field, const void* buffer) = 0;
  // The text a string field's AsString gives at the current record, seen
  // in place where the component keeps it as plain bytes (a scan then
  // copies nothing); valid until the dataset moves or changes state.  False
  // when the component cannot give it so: read the field as usual.  `null`
  // says what IsNull says, which the text alone cannot tell (a field whose
  // data starts with a zero byte reads as an empty text, yet has a value).
  virtual bool GetFieldText(TField* field, std::string_view& text, bool& null);
  bool GetFieldText(TField* field, std::string_view& text) {
    bool null = true;
    return GetFieldText(field, text, null);
  }
  // Where GetFieldText finds a text field's bytes in the record image,
  // fixed while the dataset stays open: a reader of many records resolves
  // it once and reads each record's text with TFieldTextPlace::Read from
  // BrowseRecordImage.  False when the component keeps the field otherwise.
  virtual bool GetFieldTextPlace(TField* field, TFieldTextPlace& place);
  // The image of the record fields read in browse mode; none (nullptr)
  // outside browsing or on an empty dataset.  Valid until the dataset moves.
  const uint8_t* BrowseRecordImage() const {
    return state_ == dsBrowse && !IsEmpty() && !buffers_.empty() ? buffers_[static_cast<size_t>(activeRecord_)].get()
                                                                 : nullptr;
  }
  // Counts the records that First ... Next to Eof would visit, reading no
  // fields and leaving the cursor where it stands, where nobody could tell
  // that no walk took place (see WalkUnobserved).  False when the component
  // cannot count so: walk the records instead.
  virtual bool CountVisibleRecords(int& count);
  // True when a walk over the records would go unobserved: the browse
  // state, no scroll, calculation or record filter events, no calculated
  // fields, no data sources.
  bool WalkUnobserved() const;
  // A forward walk from the first record to Eof by a reader that reads only
  // the fields, bookmarks and record numbers of each record in turn and
  // neither edits nor moves the dataset otherwise until EndWalk.
  // BeginWalk stands on the first record as First does; it is true when
  // the component offers a forward road of its own (records read in large
  // blocks straight into the one record buffer, the component's cursor
  // left behind: the framework counts it unknown), which it may do only
  // while the walk goes unobserved and the dataset keeps one buffer.
  // WalkNext then steps as Next does (it is Next off the road).  Any other
  // navigation, state change or Close ends the road first; EndWalk ends it
  // and never throws.
  bool BeginWalk();
  void WalkNext();
  void EndWalk() noexcept;
  bool Walking() const { return walking_; }
  // Copies the current record's image into buffer (false: no current record).
  virtual bool GetCurrentRecord(TRecordBuffer buffer);
  // Code-page translation of texts; the base copies (dataset components that
  // translate override it).  Returns the length of the source text.
  virtual int Translate(const char* src, char* dest, bool to_oem);
  // Sends a data event (field change, record change ...) to the data sources
  // and bookkeeping (Modified, calculated fields) of its own.
  void DataEvent(TDataEvent event, intptr_t info) {
    // A scroll or a browse check concerns only data sources: with none (a
    // scan's dataset, as a rule) there is nothing to do, once per row.
    if ((event == deDataSetScroll || event == deCheckBrowseMode) && dataSources_.empty()) return;
    DispatchDataEvent(event, info);
  }

  // ---- state helpers for components ----
  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer CalcBuffer() const { return calcBuffer_; }
  TRecordBuffer TempBuffer() const;
  int ActiveRecord() const { return activeRecord_; }
  int CurrentRecord() const { return currentRecord_; }
  int BufferCount() const { return bufferCount_; }
  int BufferRecordCount() const { return recordCount_; }
  TRecordBuffer Buffers(int i) const;
  int CalcFieldsSize() const { return calcFieldsSize_; }
  // Sets a transient state (calculated fields, filter ...) without telling
  // the links; RestoreState puts the previous one back.
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state);
  // Computes the calculated fields of buffer (dsCalcFields state); nothing
  // when the dataset has none.
  void GetCalcFields(TRecordBuffer buffer);
  // Makes buffer the calculation buffer (always, so that fields read in the
  // calculated-fields state find it), clears its calculated part and runs the
  // calculation event.  The caller sets the dsCalcFields state around it.
  void CalculateFields(TRecordBuffer buffer);

  // ---- events (read when they fire) ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnNewRecord, OnCalcFields;
  TFilterRecordEvent OnFilterRecord;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

protected:
  // ---- the protocol a component implements ----
  virtual std::unique_ptr<uint8_t[]> AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(std::unique_ptr<uint8_t[]>& buffer) { buffer.reset(); }
  virtual void GetBookmarkData(TRecordBuffer buffer, void* data) = 0;
  virtual void SetBookmarkData(TRecordBuffer buffer, const void* data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) = 0;
  virtual int GetRecordSize() = 0;
  virtual void InternalAddRecord(const void* buffer, bool append) = 0;
  virtual void InternalClose() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalGotoBookmark(const void* bookmark) = 0;
  virtual void InternalHandleException() {}
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  virtual void InternalLast() = 0;
  virtual void InternalOpen() = 0;
  // The base checks required fields.
  virtual void InternalPost();
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual bool IsCursorOpen() = 0;
  virtual void InternalCancel() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalRefresh() {}
  virtual bool GetCanModify() { return true; }
  virtual void ClearCalcFields(TRecordBuffer buffer) { (void)buffer; }
  virtual bool GetIsIndexField(TField* field) {
    (void)field;
    return false;
  }
  virtual void UpdateIndexDefs() {}
  // The forward road of a component (see BeginWalk): WalkStart is true
  // when the component offers it now, from before its first visible record;
  // WalkFetch fills buffer (the bookmark included) with the next visible
  // record, false after the last; WalkStop ends the road, never throwing.
  virtual bool WalkStart() { return false; }
  virtual bool WalkFetch(TRecordBuffer buffer) {
    (void)buffer;
    return false;
  }
  virtual void WalkStop() noexcept {}
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

  // ---- events as virtual operations ----
  virtual void DoAfterCancel();
  virtual void DoAfterClose();
  virtual void DoAfterDelete();
  virtual void DoAfterEdit();
  virtual void DoAfterInsert();
  virtual void DoAfterOpen();
  virtual void DoAfterPost();
  virtual void DoAfterScroll();
  virtual void DoAfterRefresh();
  virtual void DoBeforeCancel();
  virtual void DoBeforeClose();
  virtual void DoBeforeDelete();
  virtual void DoBeforeEdit();
  virtual void DoBeforeInsert();
  virtual void DoBeforeOpen();
  virtual void DoBeforePost();
  virtual void DoBeforeScroll();
  virtual void DoBeforeRefresh();
  virtual void DoOnCalcFields();
  virtual void DoOnNewRecord();

  // ---- ring and cursor helpers ----
  void SetState(TDataSetState state);
  void SetModified(bool on) { modified_ = on; }
  void SetCurrentRecord(int index);
  void UpdateCursorPos();
  void CursorPosChanged() { currentRecord_ = -1; }
  void ClearBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  void InitRecord(TRecordBuffer buffer);
  void FreeFieldBuffers();
  void SetBookmarkSize(int size) { bookmarkSize_ = size; }
  void SetBufferCount(int count);
  void UpdateBufferCount();

  // ---- fields ----
  // Creates one field per definition (owned by this dataset).
  void CreateFields();
  // Destroys the fields this dataset created by default.
  void DestroyFields();
  // Binds (numbers data fields from FieldDefs, places calculated fields in
  // the calculated-fields area) or unbinds the fields.
  void BindFields(bool binding);
  void SetDefaultFields(bool on) { defaultFields_ = on; }

  // ---- filter storage (the framework's own setters) ----
  void StoreFiltered(bool on) { filtered_ = on; }
  void StoreFilterText(const std::string& text) { filterText_ = text; }
  void StoreFilterOptions(TFilterOptions o) { filterOptions_ = o; }

private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;
  friend class TIndexDefs;

  void DispatchDataEvent(TDataEvent event, intptr_t info);
  TGetResult FetchRecord(TRecordBuffer buffer, TGetMode mode);
  void OpenCursor();
  void CloseCursor(bool quiet = false);
  void ActivateBuffers();
  void MoveBuffer(int from, int to);
  void BeginInsertAppend();
  void EndInsertAppend();
  void RecoverFromFailedInsert() noexcept;
  void AddRecordValues(const std::vector<Variant>& values, bool append);
  // Runs op; on EDatabaseError asks the error event whether to fail, abort
  // (silently) or retry.
  void CheckOperation(const std::function<void()>& op, const TDataSetErrorEvent& handler);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  void Fire(const TDataSetNotifyEvent& e) {
    if (e) e(this);
  }

  TDataSetState state_ = dsInactive;
  TDataSetState disableState_ = dsInactive;
  TDataEvent enableEvent_ = deDataSetChange;
  int disableCount_ = 0;
  bool bof_ = true, eof_ = true;
  bool modified_ = false;
  bool defaultFields_ = false;
  bool streamedActive_ = false;
  bool internalOpenComplete_ = false;
  bool filtered_ = false;
  std::string filterText_;
  TFilterOptions filterOptions_ = 0;
  int bufferCount_ = 0;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;
  int bookmarkSize_ = 0;
  int calcFieldsSize_ = 0;
  int blockReadSize_ = 0;
  bool walking_ = false;
  TRecordBuffer calcBuffer_ = nullptr;
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  std::vector<std::string> bookmarks_;  // handle h lives at h-1
  std::vector<bool> bookmarkLive_;
  std::vector<int32_t> freeBookmarks_;
  TFields fields_;
  std::unique_ptr<TFieldDefs> fieldDefs_;
  std::unique_ptr<TIndexDefs> indexDefs_;
  std::vector<TDataSource*> dataSources_;
};

// RAII form of SetTempState/RestoreState.
class TTempStateGuard {
public:
  TTempStateGuard(TDataSet& ds, TDataSetState state) : ds_(ds), saved_(ds.SetTempState(state)) {}
  ~TTempStateGuard() { ds_.RestoreState(saved_); }
  TTempStateGuard(const TTempStateGuard&) = delete;
  TTempStateGuard& operator=(const TTempStateGuard&) = delete;

private:
  TDataSet& ds_;
  TDataSetState saved_;
};
