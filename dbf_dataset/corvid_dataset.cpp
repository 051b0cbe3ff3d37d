// The DBF dataset: opening, record buffers, bookmarks, navigation and
// editing.  Field data and memo streams are in corvid_fields.cpp; the
// filter, indexes, search, ranges and the master link in corvid_index.cpp.
#include "dbf_dataset/corvid_dataset.h"

#include <cstring>
#include <limits>
#include <typeinfo>

#include "dbf_dataset/alias_list.h"
#include "dbf_engine/code_pages.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/memo_file.h"
#include "platform/exceptions.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr int kInfoSize = 8;
constexpr int kBookmarkSize = 11;
constexpr int kInfoFlag = 5;

// A bookmark's text: blanks, then decimal digits only.
bool TryStrToIntStrict(const std::string& text, int32_t& n) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size() || text.size() - i > 10) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (v > INT32_MAX) return false;
  n = static_cast<int32_t>(v);
  return true;
}

// The framework's field type for a DBF field, or ftUnknown for a
// field the dataset does not show.
TFieldType MapFieldType(const CVO_dBHandler& h, int n, TcvIntFields large) {
  const char type = h.cvFieldType(n);
  const int32_t len = h.cvFieldLength(n);
  const int32_t dec = h.cvFieldDecimals(n);
  switch (type) {
    case 'B':
      // In 0x30 tables B is an 8-byte double, elsewhere a memo block.
      return h.cvIsMemoType('B') ? ftBlob : ftFloat;
    case 'G': return ftBlob;
    case 'C': return ftString;
    case 'D': return ftDate;
    case 'F':
    case 'N':
      if (dec > 0) return ftFloat;
      if (len > 9) return large == asLargeInt ? ftLargeint : (large == asFloat ? ftFloat : ftInteger);
      if (len < 5) return ftSmallint;
      return ftInteger;
    case 'I': return ftInteger;
    case 'L': return ftBoolean;
    case 'M': return ftMemo;
    case 'T': return ftDateTime;
    case 'Y': return ftCurrency;
    default: return ftUnknown;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The handler.

DBFObject::DBFObject(const std::string& path, const std::string& password, bool readWrite, bool shared,
                     TCorvidDataSet* owner)
    : CVO_dBHandler(path, password, readWrite, shared), owner_(owner) {}

void DBFObject::cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) {
  if (!owner_) {
    CVO_dBHandler::cvStatusUpdate(stat1, stat2, stat3);
    return;
  }
  if (!owner_->suppressEvents_ && owner_->OnStatus) owner_->OnStatus(stat1, stat2, stat3);
}

bool DBFObject::cvTestFilter() {
  bool accept = true;
  if (owner_) owner_->DoOnFilter(accept);
  return accept && (!owner_ || owner_->PartTestAccepts()) && CVO_dBHandler::cvTestFilter();
}

bool DBFObject::cvReadEventsHeard() const { return typeid(*this) != typeid(DBFObject); }

bool DBFObject::cvScanListens() const {
  // A class derived from this one may listen in ways this one does not.
  if (typeid(*this) != typeid(DBFObject)) return true;
  return owner_ && (owner_->FilterEventInForce() || owner_->PartTestInForce());
}

// ---------------------------------------------------------------------------
// Construction and properties.

TCorvidDataSet::TCorvidDataSet(TComponent* owner)
    : TDataSet(owner),
      indexFiles_(std::make_unique<TStringList>()),
      masterLink_(std::make_unique<TMasterDataLink>(this)) {
  indexFiles_->OnChange = [this](TStringList*) { DoOnIndexFilesChange(); };
  masterLink_->OnMasterChange = [this](TMasterDataLink*) { MasterChanged(); };
  masterLink_->OnMasterDisable = [this](TMasterDataLink*) { MasterDisabled(); };
  SetBookmarkSize(kBookmarkSize);
}

TCorvidDataSet::~TCorvidDataSet() {
  Destroying();
  BestEffort([&] { Close(); });
  indexFiles_->OnChange = nullptr;
  masterLink_->OnMasterChange = nullptr;
  masterLink_->OnMasterDisable = nullptr;
  masterLink_->SetDataSource(nullptr);
}

std::string TCorvidDataSet::About() const { return "Corvid DBF dataset 2.1 (Dirlook)"; }

void TCorvidDataSet::SetAutoFlush(bool on) {
  autoFlush_ = on;
  if (handler_) handler_->cvSetAutoFlush(on);
}

void TCorvidDataSet::SetDatabaseName(const std::string& name) {
  if (name == databaseName_) return;
  std::string stored = RegisterDatabaseName(name);
  CheckInactive();
  databaseName_ = stored;
  DataEvent(dePropertyChange, 0);
}

void TCorvidDataSet::SetEncryptionKey(const std::string& key) {
  CheckInactive();
  encryptionKey_ = key;
}

void TCorvidDataSet::SetLockProtocol(TcvLokProtocol p) {
  lockProtocol_ = p;
  if (handler_) handler_->cvSetLockProtocol(p);
}

void TCorvidDataSet::SetReadOnly(bool on) {
  if (!handler_) {
    readOnly_ = on;
    return;
  }
  readOnly_ = on || !handler_->IsReadWrite();
}

void TCorvidDataSet::SetTableName(const std::string& name) {
  CheckInactive();
  if (!InState(csReading | csLoading | csDesigning) && name != tableName_) {
    suppressIndexChange_ = true;
    try {
      indexFiles_->Clear();
    } catch (...) {
      suppressIndexChange_ = false;
      throw;
    }
    suppressIndexChange_ = false;
  }
  tableName_ = name;
  DataEvent(dePropertyChange, 0);
}

void TCorvidDataSet::SetTranslateASCII(bool on) {
  translateAscii_ = on;
  if (handler_) handler_->kvSetTranslateAscii(on);
}

void TCorvidDataSet::SetUseDeleted(bool on) {
  useDeleted_ = on;
  if (handler_) handler_->cvSetShowDeleted(on);
}

void TCorvidDataSet::SetUserID(int32_t id) {
  userId_ = id;
  if (handler_) handler_->cvAssignUserID(static_cast<uint32_t>(id));
}

void TCorvidDataSet::SetDBFCache(bool on) {
  cache_ = on;
  if (handler_) handler_->cvSetDBFCache(on);
}

std::string TCorvidDataSet::ConvertDatabaseNameAlias() const { return ResolveDatabaseName(databaseName_); }

void TCorvidDataSet::GetTableNames(TStringList& list) const { ::GetTableNames(ConvertDatabaseNameAlias(), list); }

void TCorvidDataSet::GetDatabaseNames(TStringList& list) const { ::GetDatabaseNames(list); }

std::string TCorvidDataSet::ToOem(const std::string& text) const {
  return translateAscii_ ? kvSysAnsiToOem(text) : text;
}

std::string TCorvidDataSet::FromOem(const std::string& text) const {
  return translateAscii_ ? kvSysOemToAnsi(text) : text;
}

int TCorvidDataSet::Translate(const char* src, char* dest, bool to_oem) {
  if (src == nullptr) {
    if (dest != nullptr) dest[0] = '\0';
    return 0;
  }
  const int n = static_cast<int>(std::strlen(src));
  if (dest == nullptr) return n;
  if (translateAscii_) {
    if (to_oem) cvSysCharToOEM(src, dest, n);
    else cvSysOEMToChar(src, dest, n);
  } else if (dest != src) {
    std::memmove(dest, src, static_cast<size_t>(n));
  }
  return n;
}

// ---------------------------------------------------------------------------
// Checks and buffers.

void TCorvidDataSet::CheckActive() {
  if (suppressChecks_) return;
  TDataSet::CheckActive();
  if (activity_ == aIndexing) DatabaseError(cvMessage(cvErrBusyIndexing));
  if (activity_ == aCopying) DatabaseError(cvMessage(cvErrBusyCopying));
}

void TCorvidDataSet::CheckActiveSet() {
  CheckActive();
  if (!suppressChecks_ && handler_) {
    TRecordBuffer b = ActiveBuffer();
    if (b) handler_->cvSetActiveBuffer(b);
  }
}

bool TCorvidDataSet::GetActiveRecBuf(TRecordBuffer& buffer) {
  buffer = nullptr;
  switch (State()) {
    case dsBrowse:
      if (!IsEmpty()) buffer = ActiveBuffer();
      break;
    case dsEdit:
    case dsInsert:
    case dsNewValue: buffer = ActiveBuffer(); break;
    case dsSetKey: buffer = keyBuffer_.get(); break;
    case dsCalcFields: buffer = CalcBuffer(); break;
    case dsFilter:
      if (handler_) buffer = handler_->cvActiveBuffer();
      break;
    case dsOldValue: buffer = oldValue_ && !oldImage_.empty() ? oldImage_.data() : ActiveBuffer(); break;
    default: break;
  }
  return buffer != nullptr;
}

int32_t TCorvidDataSet::BufferRecNo(const uint8_t* buffer, int infoOffset) {
  int32_t n;
  std::memcpy(&n, buffer + infoOffset, 4);
  return n;
}

std::unique_ptr<uint8_t[]> TCorvidDataSet::AllocRecordBuffer() {
  return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(bufferSize_)]());
}

void TCorvidDataSet::GetBookmarkData(TRecordBuffer buffer, void* data) {
  std::memcpy(data, buffer + bookmarkOffset_, kBookmarkSize);
}

void TCorvidDataSet::SetBookmarkData(TRecordBuffer buffer, const void* data) {
  std::memcpy(buffer + bookmarkOffset_, data, kBookmarkSize);
}

TBookmarkFlag TCorvidDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
  return static_cast<TBookmarkFlag>(buffer[infoOffset_ + kInfoFlag]);
}

void TCorvidDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  buffer[infoOffset_ + kInfoFlag] = flag;
}

int TCorvidDataSet::GetRecordSize() { return recordSize_; }

void TCorvidDataSet::ClearCalcFields(TRecordBuffer buffer) {
  if (CalcFieldsSize() > 0) std::memset(buffer + imageSize_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void TCorvidDataSet::FillBookmark(TRecordBuffer buffer, int32_t recno) {
  std::memcpy(buffer + infoOffset_, &recno, 4);
  buffer[infoOffset_ + kInfoFlag] = bfCurrent;
  // Right-aligned in ten characters, so the texts sort in numeric order.
  char* t = bookmarkText_;
  char* b = reinterpret_cast<char*>(buffer + bookmarkOffset_);
  if (recno > 0 && bookmarkRecno_ > 0 && recno == bookmarkRecno_ + 1) {
    // The next record of a walk: the last text counted up by one (the ten
    // characters hold any 32-bit record number, so the carry stops inside),
    // in the buffer and in the copy kept for the next one.
    std::memcpy(b, t, kBookmarkSize);
    int i = 9;
    while (t[i] == '9') {
      t[i] = b[i] = '0';
      --i;
    }
    t[i] = b[i] = t[i] == ' ' ? '1' : static_cast<char>(t[i] + 1);
    bookmarkRecno_ = recno;
    return;
  }
  if (recno != bookmarkRecno_ || recno <= 0) {
    std::memset(t, ' ', 10);
    t[10] = '\0';
    uint32_t v = recno > 0 ? static_cast<uint32_t>(recno) : 0;
    int i = 9;
    do {
      t[i--] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && i >= 0);
  }
  bookmarkRecno_ = recno;
  std::memcpy(b, t, kBookmarkSize);
}

// ---------------------------------------------------------------------------
// Opening and closing.

std::string TCorvidDataSet::TablePath() {
  if (Trim(tableName_).empty()) DatabaseError(cvMessage(cvErrNoTableName));
  if (ExtractFileExt(NormalizePath(tableName_)).empty()) tableName_ += ".DBF";  // not through the setter
  return JoinPath(ConvertDatabaseNameAlias(), NormalizePath(tableName_));
}

std::unique_ptr<DBFObject> TCorvidDataSet::OpenHandler(bool readWrite, bool shared) {
  const std::string path = TablePath();
  std::optional<std::string> found = FindExistingFile(path);
  if (!found) throw EDatabaseError(cvFormat(cvErrCannotFindFile, {path}));
  auto h = std::make_unique<DBFObject>(*found, encryptionKey_, readWrite, shared, this);
  h->kvSetTranslateAscii(translateAscii_);
  return h;
}

void TCorvidDataSet::InternalInitFieldDefs() {
  FieldDefs().Clear();
  std::unique_ptr<DBFObject> temporary;
  CVO_dBHandler* h = handler_.get();
  if (!h) {
    temporary = OpenHandler(false, true);
    h = temporary.get();
  }
  for (int n = 1; n <= h->cvFieldCount(); ++n) {
    TFieldType t = MapFieldType(*h, n, LargeIntegerAs);
    if (t == ftUnknown) continue;
    int size = t == ftString ? static_cast<int>(std::min<int32_t>(h->cvFieldLength(n), 65535)) : 0;
    TFieldDef* def = FieldDefs().Add(h->cvFieldName(n), t, size);
    def->SetFieldNo(n);
    def->SetRequired(false);
  }
  if (temporary) temporary->cvCloseTable();
}

void TCorvidDataSet::InternalOpen() {
  try {
    handler_ = OpenHandler(!readOnly_, !exclusive_);
    if (readOnly_ == false && !handler_->IsReadWrite()) readOnly_ = true;
    handler_->cvSetAutoFlush(autoFlush_);
    handler_->cvSetShowDeleted(useDeleted_);
    handler_->cvSetDBFCache(cache_);
    handler_->cvSetLockProtocol(lockProtocol_);
    handler_->cvAssignUserID(static_cast<uint32_t>(userId_));
    // A temporary directory set before the open holds for this table too.
    if (!tempDirectory_.empty()) handler_->cvSetTempDirectory(tempDirectory_);

    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    for (TField* f : Fields())
      if (f->DataType() == ftString || f->DataType() == ftMemo) f->SetTransliterate(true);

    cFields_.assign(static_cast<size_t>(handler_->cvFieldCount()) + 1, CField{});
    for (int n = 1; n <= handler_->cvFieldCount(); ++n)
      if (handler_->cvFieldType(n) == 'C')
        cFields_[static_cast<size_t>(n)] = CField{handler_->cvFieldOffset(n), handler_->cvFieldLength(n)};
    recordSize_ = handler_->cvRecordLength();
    imageSize_ = recordSize_ + 1;
    const int64_t info = static_cast<int64_t>(imageSize_) + CalcFieldsSize();
    const int64_t size = info + kInfoSize + kBookmarkSize;
    if (size >= 65536) throw ERangeError("Record buffer of table %s is too large", {tableName_});
    infoOffset_ = static_cast<int>(info);
    bookmarkOffset_ = infoOffset_ + kInfoSize;
    bufferSize_ = static_cast<int>(size);
    SetBookmarkSize(kBookmarkSize);

    if (Filtered()) {
      handler_->cvSetFilterActive(true);
      handler_->cvSetFilterExpr(ToOem(Filter()), (FilterOptions() & foCaseInsensitive) != 0,
                                (FilterOptions() & foNoPartialCompare) == 0);
    }
    InternalFirst();
    if (!skipIndexList_) OpenIndexList(".ndx", false);
    oldValue_ = false;
    if (masterLink_->Active() && !masterLink_->Fields().empty()) CheckMasterRange();
  } catch (...) {
    // The framework closes the dataset; the handler goes with it.
    BindFields(false);
    DropPartTest();
    if (handler_) {
      BestEffort([&] { handler_->cvCloseTable(); });
      handler_.reset();
    }
    throw;
  }
}

void TCorvidDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  pendingMemos_.clear();
  oldValue_ = false;
  editLocked_ = false;
  DropPartTest();
  if (handler_) {
    std::unique_ptr<DBFObject> h = std::move(handler_);
    h->cvCloseTable();
  }
}

// ---------------------------------------------------------------------------
// Counts and positions.

int TCorvidDataSet::GetRecordCount() {
  if (!handler_) DatabaseError(dbmsg::DataSetClosed);
  if (!ExactCount) return handler_->cvRecordCount();
  return CountByWalk();
}

int TCorvidDataSet::GetRecNo() {
  if (!handler_) DatabaseError(dbmsg::DataSetClosed);
  TRecordBuffer b = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (b == nullptr || (State() == dsBrowse && IsEmpty())) return 0;
  return BufferRecNo(b, infoOffset_);
}

void TCorvidDataSet::SetRecNo(int n) {
  CheckBrowseMode();
  DoBeforeScroll();
  {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvGetRec(n);
  }
  Resync(rmCenter);
  DoAfterScroll();
}

bool TCorvidDataSet::IsSequenced() { return handler_ && !handler_->cvActiveTag() && !Filtered(); }

bool TCorvidDataSet::BookmarkValid(TBookmark bookmark) {
  CheckActive();
  const uint8_t* bytes = BookmarkBytes(bookmark);
  if (!bytes) return false;
  std::string text(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), 11));
  int32_t n;
  if (!TryStrToIntStrict(text, n)) return false;
  return n >= 1 && n <= handler_->cvRecordCount();
}

int TCorvidDataSet::CompareBookmarks(TBookmark a, TBookmark b) {
  const uint8_t* pa = BookmarkBytes(a);
  const uint8_t* pb = BookmarkBytes(b);
  if (!pa && !pb) return 0;
  if (!pa) return -1;
  if (!pb) return 1;
  int c = std::strncmp(reinterpret_cast<const char*>(pa), reinterpret_cast<const char*>(pb), 11);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool TCorvidDataSet::GetCurrentRecord(TRecordBuffer buffer) {
  if (IsEmpty() || ActiveBuffer() == nullptr || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
  UpdateCursorPos();
  std::memcpy(buffer, handler_->cvActiveBuffer(), static_cast<size_t>(recordSize_));
  return true;
}

// ---------------------------------------------------------------------------
// Fetching.

TGetResult TCorvidDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  (void)do_check;
  TGetResult result = grOK;
  {
    BufferScope scope(*this, buffer);
    switch (mode) {
      case gmCurrent:
        if (atBeginning_) {
          result = grBOF;
        } else if (atEnd_) {
          result = grEOF;
        } else {
          // Exactly the record the cursor stands on: a record that is no
          // longer visible is not replaced by its neighbour here.
          const int32_t n = handler_->cvCurrentRecord();
          if (n < 1 || n > handler_->cvRecordCount()) {
            result = grError;
          } else {
            handler_->cvGetRec(n);
            if (handler_->cvEOF() || handler_->cvBOF()) {
              result = grError;
            } else if ((!useDeleted_ && handler_->cvDelFlag()) || handler_->cvPositionLost() ||
                       !handler_->cvTestFilter()) {
              result = grError;
            }
          }
        }
        break;
      case gmNext:
        if (atBeginning_) {
          handler_->cvGetRec(cvReadTop);
          atBeginning_ = false;
        } else if (atEnd_) {
          result = grEOF;
        } else {
          handler_->cvGetRec(cvReadNext);
        }
        break;
      case gmPrior:
        if (atBeginning_) {
          result = grBOF;
        } else if (atEnd_) {
          if (State() == dsInsert && ActiveRecord() > 0) handler_->cvGetRec(cvReadPrevious);
          else handler_->cvGetRec(cvReadBottom);
          atEnd_ = false;
        } else {
          handler_->cvGetRec(cvReadPrevious);
        }
        break;
    }
  }
  if (result == grOK || result == grError) {
    if (handler_->cvEOF()) result = grEOF;
    else if (handler_->cvBOF()) result = grBOF;
  }
  if (result == grOK) {
    FillBookmark(buffer, handler_->cvCurrentRecord());
    GetCalcFields(buffer);
  }
  return result;
}

void TCorvidDataSet::InternalFirst() {
  atBeginning_ = true;
  atEnd_ = false;
}

void TCorvidDataSet::InternalLast() {
  handler_->cvGetRec(cvReadBottom);
  atEnd_ = true;
  atBeginning_ = false;
}

void TCorvidDataSet::InternalGotoBookmark(const void* bookmark) {
  const char* b = static_cast<const char*>(bookmark);
  std::string text(b, strnlen(b, 11));
  int32_t n = 0;
  try {
    if (!TryStrToIntStrict(text, n) || n < 1) throw EConvertError("bad bookmark");
    handler_->cvGetRec(n);
    if (handler_->cvCurrentRecord() != n || handler_->cvEOF()) throw EConvertError("bad bookmark");
  } catch (const std::exception&) {
    DatabaseError(cvMessage(cvErrInvalidBookmark) + tableName_);
  }
  atBeginning_ = atEnd_ = false;
}

void TCorvidDataSet::InternalSetToRecord(TRecordBuffer buffer) { InternalGotoBookmark(buffer + bookmarkOffset_); }

void TCorvidDataSet::InternalRefresh() {
  TRecordBuffer b = ActiveBuffer();
  if (b && !IsEmpty() && GetBookmarkFlag(b) == bfCurrent) {
    BufferScope scope(*this, b);
    handler_->cvGetRec(BufferRecNo(b, infoOffset_));
  }
  handler_->cvRefreshFilter();
}

// ---------------------------------------------------------------------------
// Editing.

void TCorvidDataSet::InternalInitRecord(TRecordBuffer buffer) {
  BufferScope scope(*this, buffer);
  handler_->cvBlank();
  if (State() != dsEdit) oldImage_.assign(buffer, buffer + imageSize_);
}

void TCorvidDataSet::DoAfterInsert() {
  handler_->cvSetEOF(true);
  handler_->cvSetBOF(false);
  TDataSet::DoAfterInsert();
}

void TCorvidDataSet::LockAndReread(int32_t recno, uint8_t* buffer) {
  // The lock comes first: whatever is read after it is what this user
  // will write over.
  handler_->cvSetCurrentRecord(recno);
  if (!handler_->cvRLock()) DatabaseError(cvMessage(cvErrRecordLockAlready));
  try {
    BufferScope scope(*this, buffer);
    handler_->cvGetRec(recno);
    if (handler_->cvCurrentRecord() != recno || handler_->cvEOF()) DatabaseError(cvMessage(cvErrRecordOutOfRange));
  } catch (...) {
    BestEffort([&] { handler_->cvLockOff(); });
    throw;
  }
}

void TCorvidDataSet::ReleaseEditLock() {
  if (!editLocked_) return;
  editLocked_ = false;
  handler_->cvLockOff();
}

void TCorvidDataSet::InternalEdit() {
  TRecordBuffer b = ActiveBuffer();
  const int32_t recno = BufferRecNo(b, infoOffset_);
  LockAndReread(recno, b);
  // Another user may have deleted the record since it was read: where
  // deleted records are hidden it is gone, and an edit would write the
  // changes into the deleted record.
  if (!useDeleted_ && b[0] == '*') {
    BestEffort([&] { handler_->cvLockOff(); });
    DatabaseError(dbmsg::RecordNotFound);
  }
  editLocked_ = true;
  editRecno_ = recno;
  oldImage_.assign(b, b + imageSize_);
  pendingMemos_.clear();
  oldValue_ = true;
}

void TCorvidDataSet::InternalCancel() {
  pendingMemos_.clear();
  oldValue_ = false;
  ReleaseEditLock();
}

void TCorvidDataSet::FlushPendingMemos() {
  if (pendingMemos_.empty()) return;
  for (auto& [field, data] : pendingMemos_) handler_->cvMemoSaveN(field, data);
  pendingMemos_.clear();
}

void TCorvidDataSet::WriteRecord(uint8_t* buffer, const std::function<void()>& write) {
  // The index files' key update points the handler back at its own image
  // once per file, so a write made from any other image would give the
  // second and later files the keys of whatever the own image holds.  The
  // record is written from the own image and copied back.
  uint8_t* own = handler_->cvOwnBuffer();
  std::memcpy(own, buffer, static_cast<size_t>(recordSize_));
  BufferScope scope(*this, own);
  // The memos reach the memo file before the record.  A record write that
  // fails (a full disk) takes them back out of the file, and they stay
  // pending: the buffer still names the memos it had, and a post tried
  // again writes them anew.
  if (pendingMemos_.empty()) {
    write();
  } else {
    const std::map<int, std::string> pending = pendingMemos_;
    CVobjMemo* memo = handler_->cvMemoObject();
    const bool undo = memo->cvUndoBegin();
    try {
      FlushPendingMemos();
      write();
    } catch (...) {
      if (undo) memo->cvUndoRollBack();
      pendingMemos_ = pending;
      throw;
    }
    if (undo) memo->cvUndoEnd();
  }
  std::memcpy(buffer, own, static_cast<size_t>(recordSize_));
}

void TCorvidDataSet::InternalPost() {
  TDataSet::InternalPost();
  TRecordBuffer b = ActiveBuffer();
  if (State() == dsInsert) {
    WriteRecord(b, [this] { handler_->cvAppend(); });
  } else {
    const int32_t recno = editLocked_ ? editRecno_ : BufferRecNo(b, infoOffset_);
    {
      // The handler keeps the record as it stands on disk as the original
      // image that the index files hold keys for; navigation since the edit
      // began may have replaced it.
      std::vector<uint8_t> scratch(static_cast<size_t>(imageSize_), ' ');
      BufferScope scope(*this, scratch.data());
      handler_->cvGetRec(recno);
    }
    WriteRecord(b, [this, recno] { handler_->cvPutRec(recno); });
  }
  ReleaseEditLock();
  oldValue_ = false;
  atBeginning_ = atEnd_ = false;
}

void TCorvidDataSet::InternalAddRecord(const void* buffer, bool append) {
  (void)append;
  auto* b = static_cast<uint8_t*>(const_cast<void*>(buffer));
  WriteRecord(b, [this] { handler_->cvAppend(); });
  oldValue_ = false;
}

void TCorvidDataSet::Post() {
  TDataSet::Post();
  if (State() == dsSetKey) {
    SetState(dsBrowse);
    DataEvent(deDataSetChange, 0);
  }
}

void TCorvidDataSet::WriteDeletionMark(char mark, int errorId) {
  TRecordBuffer b = ActiveBuffer();
  const int32_t recno = BufferRecNo(b, infoOffset_);
  LockAndReread(recno, b);
  const uint8_t before = b[0];
  try {
    if (before != static_cast<uint8_t>(mark)) {
      b[0] = static_cast<uint8_t>(mark);
      WriteRecord(b, [this, recno] {
        handler_->cvFieldChangedFlags()[0] = 1;
        handler_->cvSetRecordModified(true);
        handler_->cvPutRec(recno);
      });
    }
  } catch (const EDatabaseError&) {
    b[0] = before;  // the buffer shows the record as the file still has it
    handler_->cvLockOff();
    throw;
  } catch (const std::exception& e) {
    b[0] = before;
    BestEffort([&] { handler_->cvLockOff(); });
    // The handler's reason follows (a file that could not be written or
    // forced out, with its name): the caller can act on it.
    DatabaseError(cvMessage(errorId) + ": " + e.what());
  }
  handler_->cvLockOff();
}

void TCorvidDataSet::InternalDelete() {
  WriteDeletionMark('*', cvErrDeleteRecord);
  // A record deleted while in edit ends the edit: its changes are dropped
  // and the lock the edit took goes with it.
  if (editLocked_) {
    pendingMemos_.clear();
    oldValue_ = false;
    ReleaseEditLock();
  }
  // The cursor moves to the next visible record, or rests on the last one.
  handler_->cvGetRec(cvReadCurrent);
  if (handler_->cvEOF()) {
    handler_->cvGetRec(cvReadPrevious);
    handler_->cvSetEOF(true);
  }
}

void TCorvidDataSet::InternalRecall() { WriteDeletionMark(' ', cvErrUnDeleteRecord); }

void TCorvidDataSet::Recall() {
  CheckActive();
  if (State() == dsInsert || State() == dsSetKey) {
    Cancel();
    return;
  }
  if (IsEmpty()) DatabaseError(dbmsg::DataSetEmpty);
  CheckCanModify();
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  UpdateCursorPos();
  InternalRecall();
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterDelete();
  DoAfterScroll();
}

bool TCorvidDataSet::IsDeleted() {
  TRecordBuffer b = nullptr;
  if (!GetActiveRecBuf(b)) return false;
  return b[0] == '*';
}

bool TCorvidDataSet::ConfirmEdit() {
  if (State() == dsEdit || State() == dsInsert || State() == dsSetKey) return true;
  DatabaseError(dbmsg::NotEditing);
}

int TCorvidDataSet::ExternalChange() {
  CheckActive();
  return handler_->cvExternalChange();
}

void TCorvidDataSet::ReturnDateTimeUser(int32_t& date, uint32_t& time, uint32_t& user) {
  date = 0;
  time = 0;
  user = 0;
  CheckActive();
  handler_->cvReturnDateTimeUser(date, time, user);
}

void TCorvidDataSet::EncryptFile(const std::string& key) {
  CheckActive();
  handler_->cvSetPassword(key);
  // Only a key the table really took is remembered for the next open.
  encryptionKey_ = key;
}

int32_t TCorvidDataSet::HuntDuplicate(const std::string& tag, const std::string& key) {
  if (!handler_) return -1;
  return handler_->cvHuntDuplicate(tag, ToOem(key));
}
