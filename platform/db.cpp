#include "platform/db.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/exceptions.h"
#include "platform/text.h"

namespace {

bool IsWriteState(TDataSetState s) {
  return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter || s == dsNewValue ||
         s == dsInternalCalc;
}

int TypeFamily(TFieldType t) {
  switch (t) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid: return 1;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc: return 2;
    case ftFloat:
    case ftCurrency: return 3;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob: return 4;
    default: return 100 + static_cast<int>(t);
  }
}

}  // namespace

// ---- construction -----------------------------------------------------------

TDataSet::TDataSet(TComponent* owner)
    : TComponent(owner),
      fieldDefs_(std::make_unique<TFieldDefs>(this)),
      indexDefs_(std::make_unique<TIndexDefs>(this)) {}

TDataSet::~TDataSet() {
  Destroying();
  // The component's overrides are gone: nothing virtual is called here.
  state_ = dsInactive;
  std::vector<TDataSource*> sources = dataSources_;
  dataSources_.clear();
  for (TDataSource* s : sources) {
    s->dataset_ = nullptr;
    BestEffort([&] { s->UpdateState(); });
  }
  std::vector<TField*> fields(fields_.begin(), fields_.end());
  fields_.Clear();
  for (TField* f : fields) f->dataset_ = nullptr;
  for (TField* f : fields)
    if (f->Owner() == this) DestroyOwned(f);
  buffers_.clear();
}

// ---- open and close ---------------------------------------------------------

void TDataSet::SetActive(bool on) {
  if (InState(csReading)) {
    streamedActive_ = on;
    return;
  }
  if (on == Active()) return;
  if (on) {
    DoBeforeOpen();
    OpenCursor();
    SetState(dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (!InState(csDestroying)) DoBeforeClose();
    blockReadSize_ = 0;
    SetState(dsInactive);
    CloseCursor();
    if (!InState(csDestroying)) DoAfterClose();
  }
}

void TDataSet::OpenCursor() {
  try {
    defaultFields_ = FieldCount() == 0;
    InternalOpen();
    internalOpenComplete_ = true;
    UpdateBufferCount();
    bof_ = true;
  } catch (...) {
    // The component sees a half-opened dataset in InternalClose; whatever it
    // raises there is secondary to the open failure.
    state_ = dsInactive;
    CloseCursor(true);
    throw;
  }
}

void TDataSet::CloseCursor(bool quiet) {
  internalOpenComplete_ = false;
  FreeFieldBuffers();
  ClearBuffers();
  for (auto& b : buffers_) {
    BestEffort([&] { FreeRecordBuffer(b); });
  }
  buffers_.clear();
  bufferCount_ = 0;
  calcBuffer_ = nullptr;
  std::exception_ptr failure;
  try {
    InternalClose();
  } catch (...) {
    // The dataset ends up closed all the same; the error is reported after.
    failure = std::current_exception();
  }
  if (defaultFields_) DestroyFields();
  if (failure && !quiet) std::rethrow_exception(failure);
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (streamedActive_) {
    streamedActive_ = false;
    try {
      SetActive(true);
    } catch (...) {
      if (!InState(csDesigning)) throw;
      InternalHandleException();
    }
  }
}

void TDataSet::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
}

// ---- checks -----------------------------------------------------------------

void TDataSet::CheckActive() {
  if (state_ == dsInactive) DatabaseError(dbmsg::DataSetClosed);
}

void TDataSet::CheckInactive() {
  if (!Active()) return;
  if (InState(csUpdating | csDesigning)) {
    Close();
    return;
  }
  DatabaseError(dbmsg::DataSetOpen);
}

void TDataSet::CheckCanModify() {
  if (!GetCanModify()) DatabaseError(dbmsg::DataSetReadOnly);
}

bool TDataSet::GetFieldText(TField*, std::string_view&, bool&) { return false; }

bool TDataSet::GetFieldTextPlace(TField*, TFieldTextPlace&) { return false; }

bool TDataSet::CountVisibleRecords(int&) { return false; }

bool TDataSet::WalkUnobserved() const {
  return state_ == dsBrowse && !BeforeScroll && !AfterScroll && !OnCalcFields && !OnFilterRecord &&
         calcFieldsSize_ == 0 && dataSources_.empty();
}

void TDataSet::CheckBrowseMode() {
  // Whatever checks for browsing is about to use the cursor.
  EndWalk();
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_) Post();
      else Cancel();
      break;
    case dsSetKey: Post(); break;
    default: break;
  }
}

void TDataSet::UpdateRecord() {
  if (!IsWriteState(state_)) DatabaseError(dbmsg::NotEditing);
  DataEvent(deUpdateRecord, 0);
}

// ---- state ------------------------------------------------------------------

void TDataSet::SetState(TDataSetState state) {
  if (state_ == state) return;
  EndWalk();
  state_ = state;
  modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  TDataSetState saved = state_;
  state_ = state;
  ++disableCount_;
  return saved;
}

void TDataSet::RestoreState(TDataSetState state) {
  state_ = state;
  if (disableCount_ > 0) --disableCount_;
}

void TDataSet::DisableControls() {
  if (disableCount_ == 0) {
    disableState_ = state_;
    enableEvent_ = deDataSetChange;
  }
  ++disableCount_;
}

void TDataSet::EnableControls() {
  if (disableCount_ == 0) return;
  if (--disableCount_ != 0) return;
  if (disableState_ != state_) DataEvent(deUpdateState, 0);
  if (disableState_ != dsInactive && state_ != dsInactive) DataEvent(enableEvent_, 0);
}

void TDataSet::DispatchDataEvent(TDataEvent event, intptr_t info) {
  switch (event) {
    case deFieldChange: {
      auto* field = reinterpret_cast<TField*>(info);
      if (field != nullptr && (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc)) modified_ = true;
      if (AutoCalcFields && calcFieldsSize_ > 0 && state_ != dsSetKey && state_ != dsCalcFields && recordCount_ > 0)
        GetCalcFields(ActiveBuffer());
      if (field != nullptr) field->Change();
      break;
    }
    case dePropertyChange: fieldDefs_->SetUpdated(false); break;
    default: break;
  }
  if (disableCount_ == 0 && state_ != dsBlockRead) {
    // Nobody listens (a scan's dataset, as a rule): nothing to copy or tell.
    if (dataSources_.empty()) return;
    std::vector<TDataSource*> sources = dataSources_;
    for (TDataSource* s : sources)
      if (std::find(dataSources_.begin(), dataSources_.end(), s) != dataSources_.end()) s->DataEvent(event, info);
  } else if ((event == deUpdateState && state_ == dsInactive) || event == deLayoutChange) {
    enableEvent_ = deLayoutChange;
  }
}

void TDataSet::AddDataSource(TDataSource* source) {
  dataSources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source), dataSources_.end());
  UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(TDataSource* source) const {
  while (source != nullptr) {
    TDataSet* ds = source->DataSet();
    if (ds == nullptr) break;
    if (ds == this) return true;
    source = ds->GetDataSource();
  }
  return false;
}

// ---- the ring ---------------------------------------------------------------

TRecordBuffer TDataSet::ActiveBuffer() const {
  if (buffers_.empty()) return nullptr;
  return buffers_[static_cast<size_t>(activeRecord_)].get();
}

TRecordBuffer TDataSet::TempBuffer() const {
  if (buffers_.empty()) return nullptr;
  return buffers_[static_cast<size_t>(bufferCount_)].get();
}

TRecordBuffer TDataSet::Buffers(int i) const {
  if (i < 0 || i >= static_cast<int>(buffers_.size())) return nullptr;
  return buffers_[static_cast<size_t>(i)].get();
}

void TDataSet::ClearBuffers() {
  EndWalk();
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = true;
  eof_ = true;
}

void TDataSet::ActivateBuffers() {
  recordCount_ = 1;
  activeRecord_ = 0;
  bof_ = false;
  eof_ = false;
}

void TDataSet::MoveBuffer(int from, int to) {
  if (from == to) return;
  auto f = static_cast<size_t>(from), t = static_cast<size_t>(to);
  if (f + 1 == t || t + 1 == f) {
    // Neighbours (the spare buffer rotating into a one-record ring, the
    // common case of a scan) trade places.
    std::swap(buffers_[f], buffers_[t]);
    return;
  }
  std::unique_ptr<uint8_t[]> moving = std::move(buffers_[f]);
  if (f < t)
    for (size_t i = f; i < t; ++i) buffers_[i] = std::move(buffers_[i + 1]);
  else
    for (size_t i = f; i > t; --i) buffers_[i] = std::move(buffers_[i - 1]);
  buffers_[t] = std::move(moving);
}

void TDataSet::SetBufferCount(int count) {
  if (count < 1) count = 1;
  EndWalk();
  if (count == bufferCount_ && static_cast<int>(buffers_.size()) == count + 1) return;
  // Shrinking keeps the window that ends at the active record.
  if (recordCount_ > count) {
    int drop = activeRecord_ > count - 1 ? activeRecord_ - (count - 1) : 0;
    for (int i = 0; i < drop; ++i) MoveBuffer(0, static_cast<int>(buffers_.size()) - 1);
    activeRecord_ -= drop;
    recordCount_ = std::min(recordCount_ - drop, count);
    CursorPosChanged();
  }
  while (static_cast<int>(buffers_.size()) > count + 1) {
    FreeRecordBuffer(buffers_.back());
    buffers_.pop_back();
  }
  while (static_cast<int>(buffers_.size()) < count + 1) buffers_.push_back(AllocRecordBuffer());
  bool grew = count > bufferCount_;
  bufferCount_ = count;
  if (grew && internalOpenComplete_) {
    bool was_empty = recordCount_ == 0;
    GetNextRecords();
    if (!was_empty) GetPriorRecords();
  }
  if (state_ != dsInactive) DataEvent(deDataSetChange, 0);
}

void TDataSet::UpdateBufferCount() {
  if (!internalOpenComplete_) return;
  int count = 1;
  for (TDataSource* s : dataSources_)
    for (TDataLink* l : s->links_) count = std::max(count, l->bufferCount_);
  SetBufferCount(count);
}

void TDataSet::SetCurrentRecord(int index) {
  EndWalk();
  if (currentRecord_ == index) return;
  TRecordBuffer buffer = buffers_[static_cast<size_t>(index)].get();
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent: InternalSetToRecord(buffer); break;
    case bfBOF: InternalFirst(); break;
    case bfEOF: InternalLast(); break;
    case bfInserted: break;
  }
  currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

TGetResult TDataSet::FetchRecord(TRecordBuffer buffer, TGetMode mode) {
  try {
    return GetRecord(buffer, mode, true);
  } catch (...) {
    // The component may have moved before it failed: its cursor is no
    // longer known to stand on any buffer.
    CursorPosChanged();
    throw;
  }
}

bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (recordCount_ > 0) {
    SetCurrentRecord(recordCount_ - 1);
    // An inserted record that was posted in place is read where it stands.
    if (state_ == dsInsert && currentRecord_ == activeRecord_ && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = gmCurrent;
  }
  TRecordBuffer spare = buffers_[static_cast<size_t>(recordCount_)].get();
  if (FetchRecord(spare, mode) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else if (recordCount_ < bufferCount_) {
    ++recordCount_;
  } else {
    // The first record leaves the ring; the active one keeps its record.
    MoveBuffer(0, recordCount_);
    if (activeRecord_ > 0) --activeRecord_;
  }
  currentRecord_ = recordCount_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (recordCount_ > 0) SetCurrentRecord(0);
  TRecordBuffer spare = buffers_[static_cast<size_t>(recordCount_)].get();
  if (FetchRecord(spare, gmPrior) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else {
    MoveBuffer(recordCount_, 0);
    if (recordCount_ < bufferCount_) {
      ++recordCount_;
      ++activeRecord_;
    } else if (activeRecord_ < recordCount_ - 1) {
      ++activeRecord_;
    }
  }
  currentRecord_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (recordCount_ < bufferCount_ && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  while (recordCount_ < bufferCount_ && GetPriorRecord()) ++n;
  return n;
}

void TDataSet::Resync(TResyncMode mode) {
  EndWalk();
  if (buffers_.empty()) return;
  TRecordBuffer spare = buffers_[static_cast<size_t>(recordCount_)].get();
  if (mode & rmExact) {
    CursorPosChanged();
    if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError(dbmsg::RecordNotFound);
  } else if (GetRecord(spare, gmCurrent, false) != grOK && GetRecord(spare, gmNext, false) != grOK &&
             GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int count = (mode & rmCenter) ? (bufferCount_ - 1) / 2 : activeRecord_;
  MoveBuffer(recordCount_, 0);
  ActivateBuffers();
  currentRecord_ = 0;  // the cursor stands on the record just read
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

// ---- navigation -------------------------------------------------------------

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecords();
  } catch (...) {
    bof_ = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  bof_ = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecords();
  } catch (...) {
    eof_ = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  eof_ = true;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

bool TDataSet::BeginWalk() {
  EndWalk();
  if (!WalkUnobserved() || bufferCount_ != 1 || buffers_.size() != 2) {
    First();
    return false;
  }
  CheckBrowseMode();
  ClearBuffers();
  bool started = false;
  try {
    started = WalkStart();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  if (!started) {
    First();
    return false;
  }
  walking_ = true;
  // The component's cursor is wherever the road has read up to: unknown
  // to the ring (currentRecord_ stays -1) until the road ends.
  try {
    if (WalkFetch(buffers_[0].get())) ActivateBuffers();
  } catch (...) {
    EndWalk();
    bof_ = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  bof_ = true;
  if (recordCount_ == 0) EndWalk();
  DataEvent(deDataSetChange, 0);
  return walking_;
}

void TDataSet::WalkNext() {
  if (!walking_) {
    Next();
    return;
  }
  if (eof_) return;
  bof_ = false;
  // The spare buffer takes the record: at the end the last one stays active.
  bool got = false;
  try {
    got = WalkFetch(buffers_[1].get());
  } catch (...) {
    EndWalk();
    throw;
  }
  if (!got) {
    eof_ = true;
    EndWalk();
    return;
  }
  std::swap(buffers_[0], buffers_[1]);
}

void TDataSet::EndWalk() noexcept {
  if (!walking_) return;
  walking_ = false;
  currentRecord_ = -1;
  WalkStop();
}

int TDataSet::MoveBy(int distance) {
  EndWalk();
  CheckBrowseMode();
  int result = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = false;
    eof_ = false;
    int scroll = 0;
    try {
      while (distance > 0) {
        if (activeRecord_ < recordCount_ - 1) {
          ++activeRecord_;
        } else {
          bool full = recordCount_ >= bufferCount_;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          if (full) --scroll;
          activeRecord_ = recordCount_ - 1;
        }
        --distance;
        ++result;
      }
      while (distance < 0) {
        if (activeRecord_ > 0) {
          --activeRecord_;
        } else {
          bool full = recordCount_ >= bufferCount_;
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          if (full) ++scroll;
          activeRecord_ = 0;
        }
        ++distance;
        --result;
      }
    } catch (...) {
      DataEvent(deDataSetScroll, scroll);
      DoAfterScroll();
      throw;
    }
    DataEvent(deDataSetScroll, scroll);
    DoAfterScroll();
  }
  return result;
}

void TDataSet::Refresh() {
  DoBeforeRefresh();
  CheckBrowseMode();
  UpdateCursorPos();
  try {
    InternalRefresh();
  } catch (...) {
    CursorPosChanged();
    Resync(0);
    throw;
  }
  Resync(0);
  DoAfterRefresh();
}

// ---- editing ----------------------------------------------------------------

void TDataSet::InitRecord(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::FreeFieldBuffers() {
  for (TField* f : fields_) {
    f->validating_ = false;
    f->validatingBuffer_ = nullptr;
  }
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange, 0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  // The new record goes in front of the active one, and the cursor stays on
  // that one: posting inserts there, cancelling finds it again.
  UpdateCursorPos();
  std::string old_bookmark;
  if (recordCount_ > 0 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent && bookmarkSize_ > 0) {
    old_bookmark.assign(static_cast<size_t>(bookmarkSize_), '\0');
    GetBookmarkData(ActiveBuffer(), old_bookmark.data());
  }
  MoveBuffer(recordCount_, activeRecord_);
  if (currentRecord_ >= activeRecord_) {
    ++currentRecord_;
    if (currentRecord_ >= bufferCount_) currentRecord_ = -1;
  }
  try {
    TRecordBuffer buffer = ActiveBuffer();
    InitRecord(buffer);
    if (recordCount_ == 0) SetBookmarkFlag(buffer, bfBOF);
    else if (!old_bookmark.empty()) SetBookmarkData(buffer, old_bookmark.data());
    if (recordCount_ < bufferCount_) ++recordCount_;
    InternalInsert();
  } catch (...) {
    RecoverFromFailedInsert();
    throw;
  }
  EndInsertAppend();
}

void TDataSet::RecoverFromFailedInsert() noexcept {
  // The ring holds a half-made record: rebuild it around the cursor, which
  // still stands where the insert began.
  try {
    Resync(0);
  } catch (...) {
    ClearBuffers();
  }
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  try {
    TRecordBuffer buffer = buffers_[0].get();
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    recordCount_ = 1;
    bof_ = false;
    GetPriorRecords();
    InternalInsert();
  } catch (...) {
    RecoverFromFailedInsert();
    throw;
  }
  EndInsertAppend();
}

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckOperation(
      [this] {
        UpdateCursorPos();
        InternalEdit();
      },
      OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  DoAfterEdit();
}

void TDataSet::InternalPost() {
  for (TField* f : fields_)
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull())
      DatabaseErrorFmt(dbmsg::FieldRequired, {f->DisplayName()});
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ != dsEdit && state_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  CheckOperation(
      [this] {
        UpdateCursorPos();
        InternalPost();
      },
      OnPostError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterPost();
}

void TDataSet::Cancel() {
  switch (state_) {
    case dsEdit:
    case dsInsert: {
      DataEvent(deCheckBrowseMode, 0);
      DoBeforeCancel();
      bool scroll_events = state_ == dsInsert;
      if (scroll_events) DoBeforeScroll();
      UpdateCursorPos();
      InternalCancel();
      FreeFieldBuffers();
      SetState(dsBrowse);
      Resync(0);
      DoAfterCancel();
      if (scroll_events) DoAfterScroll();
      break;
    }
    case dsSetKey:
      SetState(dsBrowse);
      DataEvent(deDataSetChange, 0);
      break;
    default: break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(dbmsg::DataSetEmpty);
  CheckCanModify();
  DataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation(
      [this] {
        UpdateCursorPos();
        InternalDelete();
      },
      OnDeleteError);
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::CheckOperation(const std::function<void()>& op, const TDataSetErrorEvent& handler) {
  for (;;) {
    try {
      op();
      return;
    } catch (EDatabaseError& e) {
      CursorPosChanged();
      TDataAction action = daFail;
      if (handler) handler(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
      // daRetry: round again
    }
  }
}

void TDataSet::SetFields(const std::vector<Variant>& values) {
  size_t n = std::min(values.size(), static_cast<size_t>(FieldCount()));
  for (size_t i = 0; i < n; ++i)
    if (!values[i].IsEmpty()) fields_.Fields(static_cast<int>(i))->SetValue(values[i]);
}

void TDataSet::AddRecordValues(const std::vector<Variant>& values, bool append) {
  if (append) Append();
  else Insert();
  try {
    SetFields(values);
    DoBeforePost();
    UpdateCursorPos();
    InternalAddRecord(ActiveBuffer(), append);
  } catch (...) {
    Cancel();
    throw;
  }
  FreeFieldBuffers();
  SetState(dsBrowse);
  Resync(0);
  DoAfterPost();
}

void TDataSet::AppendRecord(const std::vector<Variant>& values) { AddRecordValues(values, true); }
void TDataSet::InsertRecord(const std::vector<Variant>& values) { AddRecordValues(values, false); }

// ---- calculated fields ------------------------------------------------------

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  if (calcFieldsSize_ <= 0 || buffer == nullptr) return;
  TDataSetState saved = SetTempState(dsCalcFields);
  try {
    CalculateFields(buffer);
  } catch (...) {
    RestoreState(saved);
    throw;
  }
  RestoreState(saved);
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
  calcBuffer_ = buffer;
  if (state_ != dsInternalCalc) ClearCalcFields(buffer);
  DoOnCalcFields();
}

// ---- bookmarks --------------------------------------------------------------

TBookmark TDataSet::GetBookmark() {
  if ((state_ != dsBrowse && state_ != dsEdit && state_ != dsInsert) || IsEmpty() || bookmarkSize_ <= 0 ||
      GetBookmarkFlag(ActiveBuffer()) != bfCurrent)
    return 0;
  std::string bytes(static_cast<size_t>(bookmarkSize_), '\0');
  GetBookmarkData(ActiveBuffer(), bytes.data());
  int32_t handle;
  if (!freeBookmarks_.empty()) {
    handle = freeBookmarks_.back();
    freeBookmarks_.pop_back();
    bookmarks_[static_cast<size_t>(handle - 1)] = std::move(bytes);
    bookmarkLive_[static_cast<size_t>(handle - 1)] = true;
  } else {
    bookmarks_.push_back(std::move(bytes));
    bookmarkLive_.push_back(true);
    handle = static_cast<int32_t>(bookmarks_.size());
  }
  return handle;
}

const uint8_t* TDataSet::BookmarkBytes(TBookmark bookmark) const {
  if (bookmark <= 0 || static_cast<size_t>(bookmark) > bookmarks_.size() ||
      !bookmarkLive_[static_cast<size_t>(bookmark - 1)])
    return nullptr;
  return reinterpret_cast<const uint8_t*>(bookmarks_[static_cast<size_t>(bookmark - 1)].data());
}

void TDataSet::FreeBookmark(TBookmark bookmark) {
  if (BookmarkBytes(bookmark) == nullptr) return;
  auto i = static_cast<size_t>(bookmark - 1);
  bookmarkLive_[i] = false;
  bookmarks_[i].clear();
  bookmarks_[i].shrink_to_fit();
  freeBookmarks_.push_back(bookmark);
}

void TDataSet::GotoBookmark(TBookmark bookmark) {
  if (bookmark == 0) return;
  const uint8_t* bytes = BookmarkBytes(bookmark);
  if (bytes == nullptr) DatabaseError(dbmsg::InvalidBookmark);
  CheckBrowseMode();
  DoBeforeScroll();
  CursorPosChanged();
  InternalGotoBookmark(bytes);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(TBookmark) { return false; }

int TDataSet::CompareBookmarks(TBookmark a, TBookmark b) {
  const uint8_t* pa = BookmarkBytes(a);
  const uint8_t* pb = BookmarkBytes(b);
  if (pa == nullptr && pb == nullptr) return 0;
  if (pa == nullptr) return -1;
  if (pb == nullptr) return 1;
  int c = std::memcmp(pa, pb, static_cast<size_t>(bookmarkSize_));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---- fields -----------------------------------------------------------------

void TDataSet::InitFieldDefs() {
  if (Active()) return;
  InternalInitFieldDefs();
  fieldDefs_->SetUpdated(true);
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_->Count(); ++i) {
    TFieldDef* def = fieldDefs_->Items(i);
    if (FindField(def->Name()) == nullptr) def->CreateField(this, this);
  }
}

void TDataSet::DestroyFields() {
  // Last first: each then leaves from the end of the lists that hold it.
  std::vector<TField*> fields(fields_.begin(), fields_.end());
  for (auto it = fields.rbegin(); it != fields.rend(); ++it)
    if ((*it)->Owner() == this) DestroyOwned(*it);
}

void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  for (TField* f : fields_) {
    if (!binding) {
      if (f->FieldKind() == fkData) f->SetFieldNo(0);
      continue;
    }
    if (f->FieldKind() == fkCalculated || f->FieldKind() == fkLookup) {
      f->SetFieldNo(-1);
      f->SetOffset(calcFieldsSize_);
      calcFieldsSize_ += f->DataSize() + 1;
      continue;
    }
    int i = fieldDefs_->IndexOf(f->FieldName());
    if (i < 0) DatabaseErrorFmt(dbmsg::FieldNotFound, {f->DisplayName()});
    TFieldDef* def = fieldDefs_->Items(i);
    if (TypeFamily(def->DataType()) != TypeFamily(f->DataType()))
      DatabaseErrorFmt(dbmsg::FieldTypeMismatch,
                       {f->DisplayName(), FieldTypeName(f->DataType()), FieldTypeName(def->DataType())});
    f->SetFieldNo(def->FieldNo());
    if (f->FieldKind() == fkInternalCalc) {
      f->SetOffset(calcFieldsSize_);
      calcFieldsSize_ += f->DataSize() + 1;
    }
  }
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& names) const {
  std::vector<TField*> out;
  size_t pos = 0;
  while (pos <= names.size()) {
    size_t semi = names.find(';', pos);
    std::string name = names.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
    size_t b = name.find_first_not_of(' '), e = name.find_last_not_of(' ');
    name = b == std::string::npos ? std::string() : name.substr(b, e - b + 1);
    if (!name.empty()) out.push_back(FieldByName(name));
    if (semi == std::string::npos) break;
    pos = semi + 1;
  }
  return out;
}

std::vector<std::string> TDataSet::GetFieldNames() const {
  std::vector<std::string> out;
  if (FieldCount() > 0) {
    for (TField* f : fields_) out.push_back(f->FieldName());
  } else {
    for (int i = 0; i < fieldDefs_->Count(); ++i) out.push_back(fieldDefs_->Items(i)->Name());
  }
  return out;
}

Variant TDataSet::FieldValues(const std::string& names) const {
  if (names.find(';') == std::string::npos) return FieldByName(names)->Value();
  std::vector<Variant> values;
  for (TField* f : GetFieldList(names)) values.push_back(f->Value());
  return Variant::ArrayOf(std::move(values));
}

void TDataSet::SetFieldValues(const std::string& names, const Variant& values) {
  if (names.find(';') == std::string::npos) {
    FieldByName(names)->SetValue(values);
    return;
  }
  std::vector<TField*> list = GetFieldList(names);
  for (size_t i = 0; i < list.size(); ++i) list[i]->SetValue(values[i]);
}

void TDataSet::SetBlockReadSize(int size) {
  if (size > 0) {
    CheckActive();
    blockReadSize_ = size;
    SetState(dsBlockRead);
    return;
  }
  blockReadSize_ = 0;
  if (state_ == dsBlockRead) {
    SetState(dsBrowse);
    UpdateCursorPos();
    Resync(0);
  }
}

// ---- filter, search, blobs, translation ---------------------------------------

void TDataSet::SetFiltered(bool on) {
  if (Active()) CheckBrowseMode();
  filtered_ = on;
}

void TDataSet::SetFilterText(const std::string& text) {
  if (Active() && filtered_) CheckBrowseMode();
  filterText_ = text;
}

void TDataSet::SetFilterOptions(TFilterOptions options) {
  if (Active()) CheckBrowseMode();
  filterOptions_ = options;
}

bool TDataSet::Locate(const std::string&, const Variant&, TLocateOptions) { return false; }

Variant TDataSet::Lookup(const std::string&, const Variant&, const std::string&) { return Variant::Null(); }

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) { return nullptr; }

bool TDataSet::GetCurrentRecord(TRecordBuffer) { return false; }

int TDataSet::Translate(const char* src, char* dest, bool) {
  if (src == nullptr) {
    if (dest != nullptr) dest[0] = '\0';
    return 0;
  }
  size_t n = std::strlen(src);
  if (dest != nullptr && dest != src) std::memmove(dest, src, n);
  return static_cast<int>(n);
}

// ---- events -----------------------------------------------------------------

void TDataSet::DoAfterCancel() { Fire(AfterCancel); }
void TDataSet::DoAfterClose() { Fire(AfterClose); }
void TDataSet::DoAfterDelete() { Fire(AfterDelete); }
void TDataSet::DoAfterEdit() { Fire(AfterEdit); }
void TDataSet::DoAfterInsert() { Fire(AfterInsert); }
void TDataSet::DoAfterOpen() { Fire(AfterOpen); }
void TDataSet::DoAfterPost() { Fire(AfterPost); }
void TDataSet::DoAfterScroll() { Fire(AfterScroll); }
void TDataSet::DoAfterRefresh() { Fire(AfterRefresh); }
void TDataSet::DoBeforeCancel() { Fire(BeforeCancel); }
void TDataSet::DoBeforeClose() { Fire(BeforeClose); }
void TDataSet::DoBeforeDelete() { Fire(BeforeDelete); }
void TDataSet::DoBeforeEdit() { Fire(BeforeEdit); }
void TDataSet::DoBeforeInsert() { Fire(BeforeInsert); }
void TDataSet::DoBeforeOpen() { Fire(BeforeOpen); }
void TDataSet::DoBeforePost() { Fire(BeforePost); }
void TDataSet::DoBeforeScroll() { Fire(BeforeScroll); }
void TDataSet::DoBeforeRefresh() { Fire(BeforeRefresh); }
void TDataSet::DoOnCalcFields() { Fire(OnCalcFields); }
void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }
