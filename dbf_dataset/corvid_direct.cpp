// The DBF dataset: dBase-style operations that go straight to the record
// handler — field values by name and number, memos, locks, pack, zap,
// copy, sort, text search, memory indexes, renaming the table.
//
// Field values read and written here live in the active record buffer, the
// same buffer the framework's fields use, so a value put in an edit is
// posted (or cancelled) with the record.  Memo data saved here waits with
// the blob streams' data for the post.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/memo_file.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr const char* kMsgTargetIsTable = "Cannot copy table %s onto itself";
constexpr const char* kMsgCopySameDataset = "Cannot copy a record of %s into the same dataset";
constexpr const char* kMsgStructureMismatch = "Table %s does not have the fields of %s";
constexpr const char* kMsgRenameExists = "Cannot rename table %s: file %s already exists";
constexpr const char* kMsgTempDirTooLong = "Temporary directory name is longer than %d characters";
// The component's buffer for the temporary directory holds 259 characters.
constexpr size_t kTempDirMax = 259;

// Sets a value for one scope and puts the previous one back.
template <class T>
class ValueScope {
public:
  ValueScope(T& value, T temporary) : value_(value), saved_(value) { value_ = temporary; }
  ~ValueScope() { value_ = saved_; }
  ValueScope(const ValueScope&) = delete;
  ValueScope& operator=(const ValueScope&) = delete;

private:
  T& value_;
  T saved_;
};

// DisableControls for one scope.
class ControlsScope {
public:
  explicit ControlsScope(TDataSet& ds) : ds_(ds) { ds_.DisableControls(); }
  ~ControlsScope() { ds_.EnableControls(); }
  ControlsScope(const ControlsScope&) = delete;
  ControlsScope& operator=(const ControlsScope&) = delete;

private:
  TDataSet& ds_;
};

// True when both names lead to one existing file (links and relative
// names included).
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

// A stored number truncated toward zero, checked against 64 bits.
int64_t TruncatedInteger(long double value) {
  const long double t = std::trunc(value);
  // 2^63 is exact as a long double; anything at or beyond it does not fit.
  constexpr long double kLimit = 9223372036854775808.0L;
  if (!std::isfinite(t) || t >= kLimit || t < -kLimit) throw ERangeError("Integer overflow");
  return static_cast<int64_t>(t);
}

}  // namespace

// ---------------------------------------------------------------------------
// Field values.
//
// Each call points the handler at the buffer of the dataset's state (the key
// buffer while a key is typed) and back afterwards; in the filter state the
// handler already stands on the record being tested.

namespace {

// The buffer field access uses; the handler's own image when there is none
// (an empty dataset reads blank values).
uint8_t* DirectBuffer(TCorvidDataSet& ds) {
  TRecordBuffer b = nullptr;
  if (ds.GetActiveRecBuf(b)) return b;
  return ds.Handler()->cvOwnBuffer();
}

}  // namespace

template <class F>
auto TCorvidDataSet::DirectRead(F&& read) {
  CheckActive();
  BufferScope scope(*this, DirectBuffer(*this));
  return read();
}

template <class F>
void TCorvidDataSet::DirectWrite(F&& write, bool anyState) {
  CheckActive();
  if (!anyState) ConfirmEdit();
  {
    BufferScope scope(*this, DirectBuffer(*this));
    write();
  }
  // A browse-mode check then posts the record instead of cancelling it.
  if (State() == dsEdit || State() == dsInsert) SetModified(true);
}

int32_t TCorvidDataSet::DateGet(const std::string& field) {
  return DirectRead([&] { return handler_->cvDateGet(field); });
}
int32_t TCorvidDataSet::DateGetN(int n) {
  return DirectRead([&] { return handler_->cvDateGetN(n); });
}
void TCorvidDataSet::DatePut(const std::string& field, int32_t day) {
  DirectWrite([&] { handler_->cvDatePut(field, day); });
}
void TCorvidDataSet::DatePutN(int n, int32_t day) {
  DirectWrite([&] { handler_->cvDatePutN(n, day); });
}

std::string TCorvidDataSet::FieldGet(const std::string& field) {
  return DirectRead([&] { return handler_->cvFieldGet(field); });
}
std::string TCorvidDataSet::FieldGetN(int n) {
  return DirectRead([&] { return handler_->cvFieldGetN(n); });
}
void TCorvidDataSet::FieldPut(const std::string& field, const std::string& text) {
  DirectWrite([&] { handler_->cvFieldPut(field, text); }, true);
}
void TCorvidDataSet::FieldPutN(int n, const std::string& text) {
  DirectWrite([&] { handler_->cvFieldPutN(n, text); }, true);
}

long double TCorvidDataSet::FloatGet(const std::string& field) {
  return DirectRead([&] { return handler_->cvNumberGet(field); });
}
long double TCorvidDataSet::FloatGetN(int n) {
  return DirectRead([&] { return handler_->cvNumberGetN(n); });
}
void TCorvidDataSet::FloatPut(const std::string& field, long double value) {
  DirectWrite([&] { handler_->cvNumberPut(field, value); }, true);
}
void TCorvidDataSet::FloatPutN(int n, long double value) {
  DirectWrite([&] { handler_->cvNumberPutN(n, value); }, true);
}

int64_t TCorvidDataSet::IntegerGet(const std::string& field) { return TruncatedInteger(FloatGet(field)); }
int64_t TCorvidDataSet::IntegerGetN(int n) { return TruncatedInteger(FloatGetN(n)); }
void TCorvidDataSet::IntegerPut(const std::string& field, int64_t value) {
  DirectWrite([&] { handler_->cvNumberPut(field, static_cast<long double>(value)); }, true);
}
void TCorvidDataSet::IntegerPutN(int n, int64_t value) {
  DirectWrite([&] { handler_->cvNumberPutN(n, static_cast<long double>(value)); }, true);
}

bool TCorvidDataSet::LogicGet(const std::string& field) {
  return DirectRead([&] { return handler_->cvLogicGet(field); });
}
bool TCorvidDataSet::LogicGetN(int n) {
  return DirectRead([&] { return handler_->cvLogicGetN(n); });
}
void TCorvidDataSet::LogicPut(const std::string& field, bool value) {
  DirectWrite([&] { handler_->cvLogicPut(field, value); });
}
void TCorvidDataSet::LogicPutN(int n, bool value) {
  DirectWrite([&] { handler_->cvLogicPutN(n, value); });
}

std::string TCorvidDataSet::StringGet(const std::string& field) {
  return DirectRead([&] { return handler_->cvStringGet(field); });
}
std::string TCorvidDataSet::StringGetN(int n) {
  return DirectRead([&] { return handler_->cvStringGetN(n); });
}
void TCorvidDataSet::StringPut(const std::string& field, const std::string& text) {
  DirectWrite([&] { handler_->cvStringPut(field, text); });
}
void TCorvidDataSet::StringPutN(int n, const std::string& text) {
  DirectWrite([&] { handler_->cvStringPutN(n, text); });
}

int TCorvidDataSet::MemoField(int n) {
  CheckActive();
  return handler_->cvMemoFieldCheck(n) ? n : 0;
}

uint32_t TCorvidDataSet::MemoSize(const std::string& field) {
  CheckActive();
  return MemoSizeN(handler_->cvMemoFieldNumber(field));
}

uint32_t TCorvidDataSet::MemoSizeN(int n) {
  if (MemoField(n) == 0) return 0;
  if (const std::string* pending = PendingMemo(n)) return static_cast<uint32_t>(pending->size());
  BufferScope scope(*this, DirectBuffer(*this));
  return handler_->cvMemoSizeN(n);
}

bool TCorvidDataSet::MemoLoad(const std::string& field, void* buffer, uint32_t size) {
  CheckActive();
  return MemoLoadN(handler_->cvMemoFieldNumber(field), buffer, size);
}

bool TCorvidDataSet::MemoLoadN(int n, void* buffer, uint32_t size) {
  if (MemoField(n) == 0) return false;
  std::string data;
  if (const std::string* pending = PendingMemo(n)) {
    data = *pending;
  } else {
    BufferScope scope(*this, DirectBuffer(*this));
    if (!handler_->cvMemoLoadN(n, data)) return false;
  }
  if (buffer != nullptr && size > 0) std::memcpy(buffer, data.data(), std::min<size_t>(size, data.size()));
  return true;
}

bool TCorvidDataSet::MemoSave(const std::string& field, const void* buffer, uint32_t size) {
  CheckActive();
  return MemoSaveN(handler_->cvMemoFieldNumber(field), buffer, size);
}

bool TCorvidDataSet::MemoSaveN(int n, const void* buffer, uint32_t size) {
  CheckActive();
  ConfirmEdit();
  if (MemoField(n) == 0) return false;
  if (State() == dsSetKey) return false;  // a key has no memos
  if (size > 0 && buffer == nullptr) throw EDatabaseError(cvMessage(cvErrArgValueNeeded));
  // Written with the record's post, like a blob stream's data: a cancelled
  // edit leaves the memo file untouched.
  SetPendingMemo(n, std::string(static_cast<const char*>(buffer), size));
  SetModified(true);
  return true;
}

// ---------------------------------------------------------------------------
// Records and locks.

void TCorvidDataSet::CopyRecordTo(TCorvidDataSet& target) {
  CheckBrowseMode();
  if (!target.Active() || !target.handler_) DatabaseError(dbmsg::DataSetClosed);
  if (&target == this) throw EDatabaseError(kMsgCopySameDataset, {tableName_});
  if (IsEmpty()) DatabaseError(dbmsg::DataSetEmpty);
  CVO_dBHandler& src = *handler_;
  CVO_dBHandler& dst = *target.handler_;
  // The record image is copied byte for byte: only a table of the same
  // fields can take it.
  bool same = src.cvFieldCount() == dst.cvFieldCount() && src.cvRecordLength() == dst.cvRecordLength();
  for (int n = 1; same && n <= src.cvFieldCount(); ++n)
    same = SameText(src.cvFieldName(n), dst.cvFieldName(n)) && src.cvFieldType(n) == dst.cvFieldType(n) &&
           src.cvFieldLength(n) == dst.cvFieldLength(n) && src.cvFieldDecimals(n) == dst.cvFieldDecimals(n) &&
           src.cvIsMemoType(src.cvFieldType(n)) == dst.cvIsMemoType(dst.cvFieldType(n));
  if (!same) throw EDatabaseError(kMsgStructureMismatch, {target.tableName_, tableName_});
  // A pending edit of the target is posted before its cursor moves.
  target.CheckBrowseMode();
  if (target.readOnly_) DatabaseError(dbmsg::DataSetReadOnly);
  {
    // The active record as this dataset shows it, copied from a scratch
    // image so nothing of the target's can touch this dataset's buffers.
    std::vector<uint8_t> image(ActiveBuffer(), ActiveBuffer() + imageSize_);
    BufferScope from(*this, image.data());
    BufferScope to(target, dst.cvOwnBuffer());
    src.cvCopyRecord(dst);
  }
  const int32_t added = dst.cvCurrentRecord();
  target.SetRecNo(added);
  // The handler goes back to the record shown, and the buffers with it.
  CursorPosChanged();
  UpdateCursorPos();
  Resync(0);
}

bool TCorvidDataSet::RLock() {
  CheckActive();
  TRecordBuffer b = ActiveBuffer();
  if (!b || IsEmpty()) return false;
  const int32_t recno = BufferRecNo(b, infoOffset_);
  // The record number is lent to the handler for the lock.
  const int32_t current = handler_->cvCurrentRecord();
  handler_->cvSetCurrentRecord(recno);
  bool granted = false;
  try {
    granted = handler_->cvRLock();
  } catch (...) {
    handler_->cvSetCurrentRecord(current);
    throw;
  }
  handler_->cvSetCurrentRecord(current);
  return granted;
}

bool TCorvidDataSet::FLock() {
  CheckActive();
  return handler_->cvFLock();
}

bool TCorvidDataSet::Unlock() {
  CheckActive();
  // The edit's record lock goes too: the post must not release a lock that
  // is no longer held.
  editLocked_ = false;
  return handler_->cvLockOff();
}

// ---------------------------------------------------------------------------
// Whole-table operations.

void TCorvidDataSet::Pack() {
  CheckBrowseMode();
  CheckCanModify();
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    const bool allowed = handler_->cvDBFCacheAllowed();
    handler_->cvSetDBFCacheAllowed(false);
    try {
      handler_->cvPack();
    } catch (...) {
      handler_->cvSetDBFCacheAllowed(allowed);
      BestEffort([&] { First(); });
      throw;
    }
    handler_->cvSetDBFCacheAllowed(allowed);
  }
  First();
}

void TCorvidDataSet::Zap() {
  CheckBrowseMode();
  CheckCanModify();
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvZap();
  }
  First();
}

std::string TCorvidDataSet::DirectTarget(const std::string& file) const {
  std::string name = NormalizePath(Trim(file));
  if (name.empty()) throw EDatabaseError(cvMessage(cvErrNoTableName));
  if (ExtractFileExt(name).empty()) name += ".dbf";
  if (ExtractFilePath(name).empty() && handler_) name = JoinPath(ExtractFilePath(handler_->FileName()), name);
  return name;
}

void TCorvidDataSet::CheckNotTableFile(const std::string& target) {
  // Writing the new table over the one being read would destroy both.
  const std::optional<std::string> found = FindExistingFile(target);
  if (found && SameFile(*found, handler_->FileName())) throw EDatabaseError(kMsgTargetIsTable, {handler_->FileName()});
}

namespace {

// The handler's filter for the time of a copy: the dataset's own filter (if
// any) and the copy's condition, put back as it was afterwards.
class CopyFilterScope {
public:
  CopyFilterScope(CVO_dBHandler& h, std::string condition, std::string datasetFilter, bool caseInsensitive,
                  bool partial)
      : h_(h),
        dataset_(std::move(datasetFilter)),
        ci_(caseInsensitive),
        partial_(partial),
        wanted_(h.cvFilterWanted()),
        text_(h.cvFilterText()) {
    if (condition.empty()) return;
    changed_ = true;
    const std::string text =
        h.cvFilterActive() && !dataset_.empty() ? "(" + dataset_ + ").AND.(" + condition + ")" : condition;
    try {
      h_.cvSetFilterActive(true);
      h_.cvSetFilterExpr(text, ci_, partial_);
    } catch (...) {
      Restore();
      throw;
    }
  }
  ~CopyFilterScope() {
    if (!changed_) return;
    BestEffort([&] { Restore(); });
  }
  CopyFilterScope(const CopyFilterScope&) = delete;
  CopyFilterScope& operator=(const CopyFilterScope&) = delete;

private:
  void Restore() {
    h_.cvSetFilterActive(wanted_);
    h_.cvSetFilterExpr(text_, ci_, partial_);
  }

  CVO_dBHandler& h_;
  std::string dataset_;
  bool ci_, partial_, wanted_;
  std::string text_;
  bool changed_ = false;
};

// The dataset's activity for one scope, with its controls disabled.
class ActivityScope {
public:
  ActivityScope(TDataSet& ds, TcvDBFActivity& activity, TcvDBFActivity value)
      : controls_(ds), activity_(activity, value) {}

private:
  ControlsScope controls_;
  ValueScope<TcvDBFActivity> activity_;
};

}  // namespace

void TCorvidDataSet::CopyTo(const std::string& file, const std::string& filter) {
  CheckBrowseMode();
  const std::string target = DirectTarget(file);
  CheckNotTableFile(target);
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    const bool ci = (FilterOptions() & foCaseInsensitive) != 0;
    const bool partial = (FilterOptions() & foNoPartialCompare) == 0;
    // The filter scans run before the dataset turns busy and after it is
    // free again, so that OnFilterRecord can read the fields.
    CopyFilterScope narrowed(*handler_, ToOem(Trim(filter)), Filtered() ? ToOem(Filter()) : std::string(), ci, partial);
    ActivityScope busy(*this, activity_, aCopying);
    handler_->cvCopyFile(target, encryptionKey_);
  }
  First();
}

void TCorvidDataSet::SortTo(const std::string& file, const std::string& key, TcvSortStatus order) {
  CheckBrowseMode();
  const std::string target = DirectTarget(file);
  CheckNotTableFile(target);
  {
    ActivityScope busy(*this, activity_, aCopying);
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvSortFile(target, key, encryptionKey_, order);
  }
  First();
  CheckBrowseMode();
}

void TCorvidDataSet::CopyStructure(const std::string& file, const std::string& password) {
  CheckActive();
  const std::string target = DirectTarget(file);
  CheckNotTableFile(target);
  handler_->cvCopyStructure(target);
  if (password.empty()) return;
  CVO_dBHandler made(target, std::string(), true, false);
  made.cvSetPassword(password);
  made.cvCloseTable();
}

int32_t TCorvidDataSet::SearchDBF(const std::string& text, int& fieldNo, int32_t& recNo, uint16_t options) {
  CheckBrowseMode();
  ControlsScope controls(*this);
  DoBeforeScroll();
  int32_t result = 0;
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    const uint16_t saved = handler_->cvSearchOptions();
    handler_->cvSetSearchOptions(options);
    try {
      result = handler_->cvSearchDBF(ToOem(text), fieldNo, recNo, 0);
    } catch (...) {
      handler_->cvSetSearchOptions(saved);
      throw;
    }
    handler_->cvSetSearchOptions(saved);
  }
  if (result > 0) {
    atBeginning_ = atEnd_ = false;
    CursorPosChanged();
    Resync(rmCenter);
    DoAfterScroll();
  }
  return result;
}

bool TCorvidDataSet::MemoryIndexAdd(const std::string& tag, const std::string& keyExpr, const std::string& forExpr,
                                    TcvIndexUnique unique, TcvSortStatus order) {
  CheckBrowseMode();
  IndexDefs().SetUpdated(false);
  bool made = false;
  {
    ActivityScope busy(*this, activity_, aIndexing);
    BufferScope scope(*this, handler_->cvOwnBuffer());
    made = handler_->cvMemoryIndexAdd(tag, keyExpr, forExpr, unique, order);
    if (made) indexName_ = handler_->cvActiveTagName();
  }
  if (made) UpdateIndexDefs();
  First();
  return made;
}

void TCorvidDataSet::FlushDBF() {
  CheckBrowseMode();
  BufferScope scope(*this, handler_->cvOwnBuffer());
  if (handler_->cvCurrentRecord() >= 1 && handler_->cvCurrentRecord() <= handler_->cvRecordCount())
    handler_->cvGetRec(cvReadCurrent);
  if (handler_->IsReadWrite()) handler_->cvSetHeaderDirty(true);
  handler_->cvFlush();
}

// ---------------------------------------------------------------------------
// Renaming.

void TCorvidDataSet::RenameTable(const std::string& newName) {
  CheckInactive();
  std::string target = NormalizePath(Trim(newName));
  if (target.empty()) DatabaseError(cvMessage(cvErrNoTableName));
  if (ExtractFileExt(target).empty()) target += ".dbf";
  const std::string oldPath = TablePath();
  const std::optional<std::string> oldFound = FindExistingFile(oldPath);
  if (!oldFound) throw EDatabaseError(cvFormat(cvErrCannotFindFile, {oldPath}));
  const bool bareName = ExtractFilePath(target).empty();
  if (bareName) target = JoinPath(ExtractFilePath(*oldFound), target);
  const std::string oldStem = ExtractFileName(ChangeFileExt(*oldFound, ""));
  const std::string newStem = ExtractFileName(ChangeFileExt(target, ""));

  // Every file the rename would produce must be new: a rename replaces what
  // stands under the new name.  The same name in another case is the same
  // table here, unless it is exactly this file.
  auto refuseExisting = [&](const std::string& name, const std::string& current) {
    const std::optional<std::string> f = FindExistingFile(name);
    if (f && !SameFile(*f, current)) throw EDatabaseError(kMsgRenameExists, {*oldFound, *f});
  };
  refuseExisting(target, *oldFound);
  // Memo files of every kind the table could carry.
  for (const char* ext : {".dbt", ".fpt"}) {
    const std::string oldMemo = ChangeFileExt(*oldFound, ext);
    if (FindExistingFile(oldMemo)) refuseExisting(ChangeFileExt(target, ext), oldMemo);
  }
  // A production index goes with the table.
  for (const char* ext : {".mdx", ".cdx"}) {
    const std::string oldIndex = ChangeFileExt(*oldFound, ext);
    if (FindExistingFile(oldIndex)) refuseExisting(ChangeFileExt(target, ext), oldIndex);
  }
  std::vector<int> renamedEntries;
  for (int i = 0; i < indexFiles_->Count(); ++i) {
    const std::string entry = Trim((*indexFiles_)[i]);
    if (entry.empty() || !SameText(ExtractFileName(ChangeFileExt(NormalizePath(entry), "")), oldStem)) continue;
    renamedEntries.push_back(i);
    const std::string ext = ExtractFileExt(NormalizePath(entry));
    refuseExisting(ChangeFileExt(target, ext.empty() ? ".ndx" : ext), IndexPath(entry, ".ndx"));
  }

  {
    // Opened unshared, unfiltered and without events for the work; all of
    // it is set back however the work ends.
    ValueScope<bool> exclusive(exclusive_, true);
    ValueScope<bool> quiet(suppressEvents_, true);
    const bool wasFiltered = Filtered();
    StoreFiltered(false);
    ControlsScope controls(*this);
    try {
      Open();
      {
        BufferScope scope(*this, handler_->cvOwnBuffer());
        handler_->cvRename(target);
      }
      Close();
    } catch (...) {
      BestEffort([&] { Close(); });
      StoreFiltered(wasFiltered);
      throw;
    }
    StoreFiltered(wasFiltered);
  }
  {
    ValueScope<bool> quiet(suppressIndexChange_, true);
    for (int i : renamedEntries) {
      const std::string entry = NormalizePath(Trim((*indexFiles_)[i]));
      const std::string ext = ExtractFileExt(entry);
      // A bare entry stays bare, so it still follows DatabaseName.
      const std::string base = ExtractFilePath(entry).empty() && bareName ? newStem : ChangeFileExt(target, "");
      indexFiles_->SetString(i, base + ext);
    }
  }
  // Not through the TableName setter, which would empty the index list.
  tableName_ = ExtractFileName(target);
  if (!bareName) SetDatabaseName(ExtractFilePath(target));
  DataEvent(dePropertyChange, 0);
}

// ---------------------------------------------------------------------------
// Settings and class operations.

void TCorvidDataSet::SetTempDirectory(const std::string& directory) {
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '/';
  if (dir.size() > kTempDirMax) throw EDatabaseError(kMsgTempDirTooLong, {static_cast<int32_t>(kTempDirMax)});
  tempDirectory_ = dir;
  if (handler_) handler_->cvSetTempDirectory(tempDirectory_);
}

bool TCorvidDataSet::CreateDBF(const std::string& file, const std::string& secondName, const std::string& kind,
                               const cvCreateFieldCallback& callback) {
  (void)secondName;  // the creation routine names the memo file after the table
  return cvCreateDBF(file, kind, callback);
}
