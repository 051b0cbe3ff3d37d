// The record handler: navigation, filter bitmap, ranges, finds and the read
// cache (see record_handler.h).

#include "dbf_engine/handler/record_handler.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/expr/record_test.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/string_tools.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace {

// What a filter scan reads at a time.
constexpr int32_t kScanBlockBytes = 1 << 20;

// Sets a variable for one scope and puts the previous value back.
template <class T>
class cvValueGuard {
public:
  cvValueGuard(T& var, T value) : var_(var), previous_(var) { var_ = value; }
  ~cvValueGuard() { var_ = previous_; }
  cvValueGuard(const cvValueGuard&) = delete;
  cvValueGuard& operator=(const cvValueGuard&) = delete;

private:
  T& var_;
  T previous_;
};

}  // namespace

// Sets the active tag aside (record-number order) for one scope.
class cvTagAside {
public:
  explicit cvTagAside(CVO_dBHandler& h) : h_(h), tag_(h.activeTag_), name_(h.activeTagName_) {
    h_.activeTag_ = nullptr;
  }
  ~cvTagAside() {
    h_.activeTag_ = tag_;
    h_.activeTagName_ = name_;
  }
  cvTagAside(const cvTagAside&) = delete;
  cvTagAside& operator=(const cvTagAside&) = delete;

private:
  CVO_dBHandler& h_;
  CVobjIndexTag* tag_;
  std::string name_;
};

// Switches the read cache for one scope and restores the previous setting.
class cvCacheFlagGuard {
public:
  cvCacheFlagGuard(CVO_dBHandler& h, bool on) : h_(h), was_(h.cacheOn_) {
    ++h_.cacheScopes_;
    try {
      h_.SwitchCache(on);
    } catch (...) {
      --h_.cacheScopes_;
      throw;
    }
  }
  ~cvCacheFlagGuard() {
    try {
      h_.SwitchCache(was_);
    } catch (...) {
      // Out of memory for the window: the table simply reads without it.
    }
    --h_.cacheScopes_;
  }
  cvCacheFlagGuard(const cvCacheFlagGuard&) = delete;
  cvCacheFlagGuard& operator=(const cvCacheFlagGuard&) = delete;

private:
  CVO_dBHandler& h_;
  bool was_;
};

namespace {

// Releases the index locks at the end of a scope (the ClipLock convention
// holds them only for the duration of one call).
class cvIndexUnlockAtEnd {
public:
  cvIndexUnlockAtEnd(CVO_dBHandler& h, bool active) : h_(h), active_(active) {}
  ~cvIndexUnlockAtEnd() {
    if (active_) h_.cvUnLockIndexes();
  }
  cvIndexUnlockAtEnd(const cvIndexUnlockAtEnd&) = delete;
  cvIndexUnlockAtEnd& operator=(const cvIndexUnlockAtEnd&) = delete;

private:
  CVO_dBHandler& h_;
  bool active_;
};

}  // namespace

// One record write whole or not at all.  A write that fails half-way (a
// full disk) anywhere between the record and the last index key would
// leave a record without its keys, or a tree with a page split and its
// parent not yet told.  The table and every open index file keep what the
// write overwrites; unless the write commits, they are put back as they
// were and read again from their bytes, and the error goes on to the
// caller.  Built after the index locks are taken and gone before they are
// given back, so no other writer can come between the write and its undo.
class cvRecordWriteUndo {
public:
  explicit cvRecordWriteUndo(CVO_dBHandler& h) : h_(h) {
    table_ = h_.cvWriteUndoBegin();
    for (int i = 1; i <= cvMaxIndexFiles; ++i) {
      CVobjIndexFile* f = h_.indexFiles_[static_cast<size_t>(i)].get();
      if (f && cvtag::UndoBegin(f)) files_[static_cast<size_t>(i)] = f;
    }
  }
  ~cvRecordWriteUndo() {
    if (committed_) return;
    std::array<bool, cvMaxIndexFiles + 1> back{};
    for (size_t i = 0; i < files_.size(); ++i) back[i] = files_[i] && cvtag::UndoRollBack(files_[i]);
    // A file that could not be put back, or a table that keeps the record
    // (its count could not be put back), leaves the index out of step:
    // its mark stays for the next open to rebuild it.
    const bool tableBack = !table_ || h_.cvWriteUndoRollBack();
    for (size_t i = 0; i < files_.size(); ++i)
      if (files_[i] && (!back[i] || !tableBack)) cvtag::AbandonMark(files_[i]);
    // The read window may hold the bytes the write put there.
    h_.cacheStart_ = -1;
    h_.positionLost_ = true;
  }
  void Commit() noexcept {
    for (CVobjIndexFile* f : files_)
      if (f) cvtag::UndoEnd(f);
    if (table_) h_.cvWriteUndoEnd();
    committed_ = true;
  }
  cvRecordWriteUndo(const cvRecordWriteUndo&) = delete;
  cvRecordWriteUndo& operator=(const cvRecordWriteUndo&) = delete;

private:
  CVO_dBHandler& h_;
  bool table_ = false;
  bool committed_ = false;
  std::array<CVobjIndexFile*, cvMaxIndexFiles + 1> files_{};
};

// dBase III and FoxPro memos that fit their old run are rewritten over it
// when saved, before the record is written (the memo file keeps the old
// bytes meanwhile).  A record write that does not commit puts them back,
// so the record keeps its old memo with its old fields; one that commits
// lets them go.
class cvMemoOverwriteUndo {
public:
  explicit cvMemoOverwriteUndo(CVO_dBHandler& h) : memo_(h.cvMemoObjectIfBuilt()) {}
  ~cvMemoOverwriteUndo() {
    if (!memo_ || !memo_->cvUndoActive()) return;
    try {
      // The header's next-free word may be among the bytes that go back.
      cvMemoLockScope lock(*memo_);
      memo_->cvUndoRollBack();
    } catch (...) {
      memo_->cvUndoEnd();
    }
  }
  void Commit() noexcept {
    if (memo_) memo_->cvUndoEnd();
  }
  cvMemoOverwriteUndo(const cvMemoOverwriteUndo&) = delete;
  cvMemoOverwriteUndo& operator=(const cvMemoOverwriteUndo&) = delete;

private:
  CVobjMemo* memo_;
};

CVO_dBHandler::CVO_dBHandler(const std::string& name, const std::string& password, bool readWrite, bool shared)
    : CVO_dBaseFld(name, password, readWrite, shared) {}

CVO_dBHandler::~CVO_dBHandler() {
  filterSet_.reset();
  filterExpr_.reset();
  activeTag_ = nullptr;
  // The index files refer to this table: they go while it is whole.
  for (auto& f : indexFiles_) f.reset();
  cache_.clear();
  cache_.shrink_to_fit();
  cacheOn_ = false;
}

void CVO_dBHandler::cvCloseTable() {
  std::exception_ptr failed;
  try {
    cvIndexClear();
  } catch (...) {
    failed = std::current_exception();
  }
  try {
    CVO_dBaseFld::cvCloseTable();
  } catch (...) {
    if (!failed) failed = std::current_exception();
  }
  if (failed) std::rethrow_exception(failed);
}

// ---------------------------------------------------------------------------
// Read cache.

void CVO_dBHandler::cvSetDBFCache(bool on) {
  // Switches made by the handler's own operations (inside their scopes) are
  // not the caller's: the caller's setting is what record order returns to
  // when a tag is dropped.
  if (cacheScopes_ == 0) cacheWanted_ = on;
  SwitchCache(on);
}

void CVO_dBHandler::SwitchCache(bool on) {
  const bool want = on && cacheAllowed_;
  if (want == cacheOn_) return;
  cvCacheInvalidate();
  if (!want) {
    cache_.clear();
    cache_.shrink_to_fit();
    cacheRecords_ = 0;
    cacheOn_ = false;
    return;
  }
  const int32_t recLen = std::max<int32_t>(1, cvRecordLength());
  const int32_t size = std::max(recLen, DBFCacheSize / recLen * recLen);
  cache_.assign(static_cast<size_t>(size), 0);
  cacheRecords_ = size / recLen;
  cacheOn_ = true;
}

void CVO_dBHandler::cvSetDBFCacheAllowed(bool allowed) {
  cacheAllowed_ = allowed;
  if (!allowed) cvSetDBFCache(false);
}

const uint8_t* CVO_dBHandler::WindowRecord(int64_t position) {
  const int32_t count = recordLength_;
  if (IsShared() && (cacheCount_ != recordCount_ || cacheStamp_ != cvTimeStamp())) {
    // The header showed a change (ours or another process's) since the
    // window was filled.
    cvCacheInvalidate();
  }
  if (cacheStart_ < 0 || position < cacheStart_ || position + count > cacheEnd_) {
    cvCacheInvalidate();
    const int32_t got = CVO_dBaseFld::cvRead(position, cache_.data(), static_cast<int32_t>(cache_.size()));
    cacheStart_ = position;
    cacheEnd_ = position + got;
    cacheCount_ = recordCount_;
    cacheStamp_ = cvTimeStamp();
  }
  // Only a record that lies wholly inside the window is served from it.
  return position + count <= cacheEnd_ ? cache_.data() + (position - cacheStart_) : nullptr;
}

int32_t CVO_dBHandler::cvRead(int64_t position, void* buffer, int32_t count) {
  // Only whole records are cached; headers and re-reads go to the file.
  if (!cacheOn_ || bypassCache_ || cache_.empty() || position < cvHeaderLength() || count != cvRecordLength() ||
      count <= 0)
    return CVO_dBaseFld::cvRead(position, buffer, count);
  if (const uint8_t* rec = WindowRecord(position)) {
    std::memcpy(buffer, rec, static_cast<size_t>(count));
    return count;
  }
  // The file ends inside the record: what there is of it.
  const int64_t avail = std::min<int64_t>(count, cacheEnd_ - position);
  if (avail <= 0) return 0;
  std::memcpy(buffer, cache_.data() + (position - cacheStart_), static_cast<size_t>(avail));
  return static_cast<int32_t>(avail);
}

void CVO_dBHandler::cvWrite(int64_t position, const void* buffer, int32_t count) {
  CVO_dBaseFld::cvWrite(position, buffer, count);
  if (!cacheOn_ || cacheStart_ < 0 || count <= 0) return;
  // Keep the window true to the file: copy whatever part of the write
  // falls inside it.
  const int64_t from = std::max(position, cacheStart_);
  const int64_t to = std::min(position + count, cacheEnd_);
  if (from < to)
    std::memcpy(cache_.data() + (from - cacheStart_), static_cast<const uint8_t*>(buffer) + (from - position),
                static_cast<size_t>(to - from));
}

bool CVO_dBHandler::cvLockRecord(int64_t offset, int64_t length) {
  // Whatever was read before the lock may since have been changed by the
  // process that held it.
  cvCacheInvalidate();
  return CVO_dBaseFld::cvLockRecord(offset, length);
}

bool CVO_dBHandler::cvFLock() {
  cvCacheInvalidate();
  return CVO_dBaseFld::cvFLock();
}

bool CVO_dBHandler::cvRLock() {
  cvCacheInvalidate();
  return CVO_dBaseFld::cvRLock();
}

int CVO_dBHandler::cvExternalChange() {
  const int r = CVO_dBaseFld::cvExternalChange();
  if (r & 2) cvCacheInvalidate();
  return r;
}

// ---------------------------------------------------------------------------
// Reading and navigation.

void CVO_dBHandler::PlainGetRec(int32_t n) {
  if (n == cvReadCurrent) {
    // A re-read comes before an edit: it must see the file, not the window.
    cvValueGuard<bool> bypass(bypassCache_, true);
    CVO_dBaseFld::cvGetRec(n);
    return;
  }
  if (!ReadThroughWindow(n)) CVO_dBaseFld::cvGetRec(n);
}

bool CVO_dBHandler::ReadThroughWindow(int32_t n) {
  // Re-reads (-5), reads after a lock and anything the general read treats
  // specially (an empty table, a record past the known count, prior from
  // the first) take the general path.
  if (!cacheOn_ || bypassCache_ || cache_.empty() || recordCount_ <= 0) return false;
  int32_t target;
  switch (n) {
    case cvReadNext: target = currentRecord_ + 1; break;
    case cvReadPrevious: target = currentRecord_ - 1; break;
    case cvReadTop: target = 1; break;
    case cvReadBottom: target = recordCount_; break;
    default: target = n; break;
  }
  if (target < 1 || target > recordCount_) return false;
  eof_ = bof_ = false;
  const bool heard = cvReadEventsHeard();
  if (heard) cvDBFEvent(dbPreRead, target);
  const int64_t position = headerLength_ + static_cast<int64_t>(target - 1) * recordLength_;
  // A record of the window as it stands is taken straight from it; anything
  // else (another part of the file, a change seen in the header) goes
  // through WindowRecord.
  const uint8_t* rec =
      cacheStart_ >= 0 && position >= cacheStart_ && position + recordLength_ <= cacheEnd_ && !IsShared()
          ? cache_.data() + (position - cacheStart_)
          : WindowRecord(position);
  if (!rec) cvRaise(cvErrReadFailed, {FileName()});
  const auto length = static_cast<size_t>(recordLength_);
  // Both images come straight from the window: the saved image is the
  // record as it stands in the file.
  if (readKey_.empty()) {
    std::memcpy(activeBuffer_, rec, length);
    std::memcpy(savedImage_.data(), rec, length);
  } else {
    DBEncryption(readKey_, rec, activeBuffer_, length, 0);
    DBEncryption(readKey_, rec, savedImage_.data(), length, 0);
  }
  currentRecord_ = target;
  if (heard) {
    cvDBFEvent(dbPostRead, target);
  } else {
    // What dbPostRead does when no subclass adds to it.
    recordModified_ = false;
    if (state_ != dbCopy) state_ = dbBrowse;
  }
  cvClearFldChanged();
  return true;
}

void CVO_dBHandler::cvFilterTruncate(int32_t count) {
  if (!filterSet_ || filterSet_->Highest() <= count) return;
  // Clearing a bit does not lower the set's highest bit, so the bits that
  // stay are copied into a new set.
  auto kept = std::make_unique<TcvHugeSet>();
  for (int32_t r = 1; r <= count; ++r)
    if (filterSet_->BitValue(r)) kept->ChangeBit(r, TcvHugeSet::opSet);
  filterSet_ = std::move(kept);
}

int32_t CVO_dBHandler::NextFilterBit(int32_t from, int dir) const {
  if (!filterSet_) return 0;
  const int32_t last = std::min(filterSet_->Highest(), cvRecordCount());
  if (dir > 0) {
    const int32_t r = filterSet_->NextSet(std::max(from, 1));
    return r >= 1 && r <= last ? r : 0;
  } else {
    for (int32_t r = std::min(from, last); r >= 1; --r)
      if (filterSet_->BitValue(r)) return r;
  }
  return 0;
}

void CVO_dBHandler::cvGetRec(int32_t n) {
  if ((n == cvReadTop || n == cvReadBottom) && IsShared()) {
    // A walk over a shared table starts from the file as it stands: the
    // header is read again (appends of others) and the window emptied
    // (records others changed meanwhile).
    cvHdrRead();
    cvCacheInvalidate();
  }
  if (cvState() != dbBrowse) {
    PlainGetRec(n);
    return;
  }
  cvIndexUnlockAtEnd clip(*this, cvLockProtocol() == CVsetLokProtocol::ClipLock);
  positionLost_ = false;
  recordFound_ = false;
  eof_ = bof_ = false;
  const int32_t step = (n == cvReadTop || n == cvReadCurrent) ? cvReadNext : (n == cvReadBottom ? cvReadPrevious : n);
  const bool navigation = n < 0;
  int32_t code = n;
  bool walked = false;
  for (;;) {
    int32_t target = code;
    walked = false;
    if (activeTag_ && code < 0) {
      walked = true;
      for (;;) {
        target = cvtag::KeyRead(activeTag_, code);
        eof_ = cvtag::Eof(activeTag_);
        bof_ = cvtag::Bof(activeTag_);
        if (eof_ || bof_) break;
        if (target == 0) {
          eof_ = true;
          break;
        }
        if (!filterActive_ || FilterBit(target)) break;
        code = step;
      }
    } else if (filterActive_ && code < 0 && code != cvReadCurrent) {
      walked = true;
      // Bits of records that are gone (pack, zap) must not be followed.
      if (filterSet_ && filterSet_->Highest() > cvRecordCount()) cvFilterTruncate(cvRecordCount());
      if (!filterSet_ || filterSet_->Highest() < 1) {
        eof_ = bof_ = true;
      } else {
        const int32_t cur = cvCurrentRecord();
        switch (code) {
          case cvReadBottom:
            target = NextFilterBit(filterSet_->Highest(), -1);
            bof_ = target == 0;
            break;
          case cvReadTop:
            target = NextFilterBit(1, 1);
            eof_ = target == 0;
            break;
          case cvReadPrevious:
            target = NextFilterBit(cur - 1, -1);
            bof_ = target == 0;
            break;
          default:
            target = NextFilterBit(cur + 1, 1);
            eof_ = target == 0;
            break;
        }
      }
    }
    if (eof_ || bof_) break;
    if (target == 0) {
      cvBlank();
      return;
    }
    if (target > cvRecordCount()) {
      cvHdrRead();  // another process may have appended
      if (target > cvRecordCount()) {
        cvBlank();
        eof_ = true;
        return;
      }
    }
    PlainGetRec(target);
    if (eof_ || bof_) break;
    if (navigation && ((!cvShowDeleted() && cvDelFlag()) || !cvTestFilter())) {
      code = step;
      continue;
    }
    break;
  }
  recordFound_ = !eof_ && !bof_;
  if (recordFound_ && !walked) {
    const int32_t cur = cvCurrentRecord();
    if (activeTag_) positionLost_ = cvtag::Sync(activeTag_, cur) != cur;
    else if (filterActive_) positionLost_ = !FilterBit(cur);
  }
}

void CVO_dBHandler::cvSkip(int32_t n) {
  if (n == 0) {
    cvGetRec(cvReadCurrent);
    return;
  }
  const bool forward = n > 0;
  const int64_t steps = n > 0 ? static_cast<int64_t>(n) : -static_cast<int64_t>(n);
  if (!filterWanted_ && cvShowDeleted()) {
    // Every record counts: move by position.
    if (!activeTag_) {
      if (cvRecordCount() == 0) cvHdrRead();
      const int64_t count = cvRecordCount();
      if (count == 0) {
        eof_ = bof_ = true;
        recordFound_ = false;
        return;
      }
      int64_t target = static_cast<int64_t>(cvCurrentRecord()) + n;
      const bool clamped = target < 1 || target > count;
      target = std::clamp<int64_t>(target, 1, count);
      cvGetRec(static_cast<int32_t>(target));
      if (clamped) {
        if (forward) eof_ = true;
        else bof_ = true;
      }
      return;
    }
    int32_t rec = 0;
    bool ranOut = false;
    for (int64_t i = 0; i < steps; ++i) {
      rec = cvtag::KeyRead(activeTag_, forward ? cvReadNext : cvReadPrevious);
      if (cvtag::Eof(activeTag_) || cvtag::Bof(activeTag_) || rec == 0) {
        ranOut = true;
        rec = cvtag::KeyRead(activeTag_, forward ? cvReadBottom : cvReadTop);
        break;
      }
    }
    {
      cvTagAside aside(*this);
      cvGetRec(rec);
    }
    if (ranOut) {
      if (forward) eof_ = true;
      else bof_ = true;
    }
    return;
  }
  for (int64_t i = 0; i < steps; ++i) {
    cvGetRec(forward ? cvReadNext : cvReadPrevious);
    if (eof_ || bof_) break;
  }
}

bool CVO_dBHandler::cvTestFilter() { return true; }

// ---------------------------------------------------------------------------
// Finds.

bool CVO_dBHandler::cvFind(const std::string& key) {
  return FindWith([&] { return cvtag::Find(activeTag_, key); },
                  [&] { return cvtag::CurrentMatches(activeTag_, key, exactMatch_); });
}

bool CVO_dBHandler::cvFindStored(const std::string& key) {
  return FindWith([&] { return cvtag::FindStored(activeTag_, key); },
                  [&] { return cvtag::CurrentMatchesStored(activeTag_, key, exactMatch_); });
}

template <class Find, class Matches>
bool CVO_dBHandler::FindWith(Find find, Matches matches) {
  found_ = false;
  if (cvRecordCount() == 0) cvHdrRead();
  if (cvRecordCount() == 0) return false;
  const bool clip = cvLockProtocol() == CVsetLokProtocol::ClipLock;
  if (clip) {
    try {
      cvLockIndexes();
    } catch (const ECorvidError&) {
      return false;
    }
  }
  cvIndexUnlockAtEnd unlock(*this, clip);
  auto lastAtEnd = [this] {
    cvGetRec(cvReadBottom);
    eof_ = true;
    recordFound_ = false;
  };
  if (!activeTag_) {
    lastAtEnd();
    return false;
  }
  const int32_t rec = find();
  if (rec == 0) {
    if (cvtag::Eof(activeTag_) || !softSeek_) {
      lastAtEnd();
    } else {
      const int32_t next = cvtag::KeyRead(activeTag_, cvReadCurrent);
      if (next > 0) cvGetRec(next);
    }
    return false;
  }
  cvGetRec(rec);
  // The first visible record from there on.
  while (!eof_ &&
         ((cvDelFlag() && !cvShowDeleted()) || (filterActive_ && !FilterBit(cvCurrentRecord())) || !cvTestFilter()))
    cvSkip(1);
  bool found = false;
  if (!eof_) found = matches();
  if (!found && !softSeek_) lastAtEnd();
  found_ = found;
  return found;
}

int32_t CVO_dBHandler::cvHuntDuplicate(const std::string& tagName, const std::string& key) {
  const bool clip = cvLockProtocol() == CVsetLokProtocol::ClipLock;
  if (clip) {
    try {
      cvLockIndexes();
    } catch (const ECorvidError&) {
      return -1;
    }
  }
  cvIndexUnlockAtEnd unlock(*this, clip);
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    if (!indexFiles_[i]) continue;
    CVobjIndexTag* tag = cvtag::TagByName(indexFiles_[i].get(), tagName);
    if (!tag) continue;
    cvValueGuard<bool> exact(exactMatch_, true);
    return cvtag::HuntDuplicate(tag, key);
  }
  return -1;
}

int32_t CVO_dBHandler::cvGetKey(int32_t code, std::string& key) {
  key.clear();
  if (!activeTag_) return 0;
  const int32_t rec = cvtag::KeyRead(activeTag_, code);
  key = cvtag::CurrentKeyText(activeTag_);
  return rec;
}

// ---------------------------------------------------------------------------
// Writes and events.

void CVO_dBHandler::cvPutRec(int32_t n) {
  positionLost_ = false;
  cvMemoOverwriteUndo memos(*this);
  if (!cvLockIndexes()) return;
  cvIndexUnlockAtEnd unlock(*this, true);
  // The memo runs the record stops naming go back to the free chain only
  // once it names its new ones, and its keys are written.
  cvMemoRunsLeftBehind runs(*this, n);
  MarkIndexesBeingChanged();
  cvRecordWriteUndo undo(*this);
  CVO_dBaseFld::cvPutRec(n);
  undo.Commit();
  memos.Commit();
  runs.Release();
}

void CVO_dBHandler::cvAppend() {
  cvMemoOverwriteUndo memos(*this);
  if (!cvLockIndexes()) return;
  cvIndexUnlockAtEnd unlock(*this, true);
  cvMemoRunsLeftBehind runs(*this, 0);  // a new record leaves no run behind
  MarkIndexesBeingChanged();
  cvRecordWriteUndo undo(*this);
  CVO_dBaseFld::cvAppend();
  undo.Commit();
  memos.Commit();
  runs.Release();
}

void CVO_dBHandler::MarkIndexesBeingChanged() {
  // Before the record is written: a writer killed between the record and
  // its keys leaves the mark behind (once per writing session; then a flag).
  // Every mark is made and forced out first, then each folder once.
  std::vector<std::string> folders;
  std::vector<CVobjIndexFile*> begun;
  try {
    for (int i = 1; i <= cvMaxIndexFiles; ++i) {
      CVobjIndexFile* f = indexFiles_[i].get();
      if (f && cvtag::HasDiskFile(f) && cvtag::MarkBeingChanged(f, &folders)) begun.push_back(f);
    }
    cvIndexMark::ForceFolders(folders);
  } catch (...) {
    // Nothing is written: marks whose names may not be on the disk are let
    // go (the next open finds them), and the next write marks anew.
    for (CVobjIndexFile* f : begun) cvtag::AbandonMark(f);
    throw;
  }
}

bool CVO_dBHandler::cvLockIndexes() {
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = indexFiles_[i].get();
    if (!f || !cvtag::HasDiskFile(f)) continue;
    if (!cvtag::Lock(f)) {
      for (int j = 1; j < i; ++j)
        if (indexFiles_[j] && cvtag::HasDiskFile(indexFiles_[j].get())) cvtag::Unlock(indexFiles_[j].get());
      cvRaise(cvErrIndexLocks, {FileName()});
    }
  }
  return true;
}

void CVO_dBHandler::cvUnLockIndexes() noexcept {
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    if (indexFiles_[i] && cvtag::HasDiskFile(indexFiles_[i].get())) cvtag::Unlock(indexFiles_[i].get());
}

bool CVO_dBHandler::cvDBFEvent(dbFileEvent event, int32_t n) {
  // Reads pass straight through: the handler's own work follows writes
  // and flushes only.
  if (event == dbPostWrite) AfterWrite(n);
  else if (event == dbFlush) AfterFlush();
  return CVO_dBaseFld::cvDBFEvent(event, n);
}

void CVO_dBHandler::AfterWrite(int32_t n) {
  const int32_t cur = cvCurrentRecord();
  if (filterExpr_ && filterSet_ && filterExpr_->HasRoot() && !filterText_.empty()) {
    TcvExpValue v;
    filterExpr_->ExpressionResult(v);
    const bool pass = filterExpr_->ResultType() == rtBoolean && v.AsBoolean();
    filterSet_->ChangeBit(cur, pass ? TcvHugeSet::opSet : TcvHugeSet::opClear);
  }
  keyChanged_ = false;
  {
    cvValueGuard<bool> writing(inPostWrite_, true);
    for (int i = 1; i <= cvMaxIndexFiles; ++i)
      if (indexFiles_[i]) cvtag::Update(indexFiles_[i].get(), cur, n == 0);
  }
  positionLost_ = false;
  if (activeTag_) {
    keyChanged_ = cvtag::Changed(activeTag_);
    positionLost_ = cvtag::Sync(activeTag_, cur) != cur;
    eof_ = cvtag::Eof(activeTag_);
    bof_ = cvtag::Bof(activeTag_);
  }
  if (filterActive_ && !positionLost_) positionLost_ = !FilterBit(cur);
  if (activeTag_ && !filterActive_) {
    if (n == 0 || n == cvRecordCount()) eof_ = true;
    if (n == 1) bof_ = true;
  }
}

void CVO_dBHandler::AfterFlush() {
  if (activeTag_) cvtag::Close(activeTag_);
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    if (indexFiles_[i]) cvtag::Flush(indexFiles_[i].get());
  positionLost_ = false;
  if (activeTag_) {
    const int32_t cur = cvCurrentRecord();
    cvtag::Open(activeTag_, cvTagOpenFollow);
    positionLost_ = cvtag::CurrentRecord(activeTag_) != cur;
  }
}

bool CVO_dBHandler::cvWithIndex() { return indexFiles_[1] != nullptr; }

void CVO_dBHandler::cvSetLockProtocol(CVsetLokProtocol p) {
  CVO_dBaseFld::cvSetLockProtocol(p);
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    if (indexFiles_[i]) cvtag::SetLockProtocol(indexFiles_[i].get(), static_cast<int>(p));
}

void CVO_dBHandler::cvRename(const std::string& newName) {
  const std::string oldName = ExtractFileNameOnly(FileName());
  CVO_dBaseFld::cvRename(newName);
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    CVobjIndexFile* f = indexFiles_[i].get();
    if (f && SameText(ExtractFileNameOnly(cvtag::FileName(f)), oldName)) cvtag::Rename(f, newName);
  }
}

int CVO_dBHandler::cvIndexInsert(CVobjIndexFilePtr file) {
  if (!file) return 0;
  for (int i = 1; i <= cvMaxIndexFiles; ++i) {
    if (indexFiles_[i]) continue;
    cvtag::SetLockProtocol(file.get(), static_cast<int>(cvLockProtocol()));
    indexFiles_[i] = std::move(file);
    return i;
  }
  return 0;
}

CVobjIndexFile* CVO_dBHandler::cvIndexFile(int slot) const {
  return slot >= 1 && slot <= cvMaxIndexFiles ? indexFiles_[slot].get() : nullptr;
}

// ---------------------------------------------------------------------------
// Filter.

void CVO_dBHandler::cvSetFilterActive(bool on) {
  filterWanted_ = on;
  filterActive_ = on && filterExpr_ && filterExpr_->HasRoot() && filterExpr_->OperandCount > 0 && !filterText_.empty();
}

void CVO_dBHandler::cvSetFilterExpr(const std::string& text, bool caseInsensitive, bool partialCompare) {
  // Whatever happens below, the filter ends up as wanted before, active
  // only when a condition compiled and its bitmap is complete.
  struct Reapply {
    CVO_dBHandler& h;
    bool wanted;
    ~Reapply() { h.cvSetFilterActive(wanted); }
  } reapply{*this, filterWanted_};
  filterActive_ = false;
  if (!filterSet_) filterSet_ = std::make_unique<TcvHugeSet>();
  if (text.empty()) {
    filterExpr_.reset();
    filterText_.clear();
    filterSet_->Clear();
    return;
  }
  if (!filterExpr_) filterExpr_ = std::make_unique<TcvExpHandler>(cvExpLink(), std::string(), false);
  // The same condition again keeps its bitmap only on a table nobody else
  // writes: our own edits keep the bitmap current, another user's appends
  // and edits reach it only through a new scan.
  if (!IsShared() && text == filterText_ && caseInsensitive == filterExpr_->CaseInsensitive &&
      partialCompare == filterExpr_->PartialCompare)
    return;
  filterSet_->Clear();
  filterText_.clear();
  filterExpr_->CaseInsensitive = caseInsensitive;
  filterExpr_->PartialCompare = partialCompare;
  try {
    filterExpr_->SetExpression(text);
    TcvExpValue v;
    if (cvCurrentRecord() >= 1) {
      filterExpr_->ExpressionResult(v);
    } else {
      // No record yet: the test runs on a blank image, not on whatever the
      // buffer holds.
      std::vector<uint8_t> blank(static_cast<size_t>(cvRecordLength()) + 1, ' ');
      cvActiveBufferScope scope(*this, blank.data());
      filterExpr_->ExpressionResult(v);
    }
    // A condition that is not one fails exactly like a text that does not
    // compile: nothing of it stays behind to be switched on later.
    if (filterExpr_->ResultType() != rtBoolean) cvRaise(cvErrFilterExpression);
  } catch (...) {
    DropFilterExpression();
    throw;
  }
  filterText_ = text;
  ScanFilter();
}

void CVO_dBHandler::DropFilterExpression() noexcept {
  filterText_.clear();
  if (filterSet_) filterSet_->Clear();
  try {
    if (filterExpr_) filterExpr_->SetExpression(std::string());
  } catch (...) {
    filterExpr_.reset();
  }
}

void CVO_dBHandler::ScanFilter() {
  const int32_t saved = cvCurrentRecord();
  const bool wasActive = filterActive_;
  filterActive_ = false;
  try {
    // The bitmap holds every record of the table whatever the order or the
    // range, so the scan walks the table in record order.
    cvTagAside aside(*this);
    cvCacheFlagGuard cache(*this, true);
    // The next record as cvGetRec(cvReadNext) gives it in record order with no
    // filter, for as long as the window holds the records: each is read
    // (with its events) and hidden deleted records and those the record
    // test refuses are passed over.  False where cvGetRec must step
    // (another state, the window's end, the end of the table).
    auto stepInWindow = [this] {
      if (cvState() != dbBrowse) return false;
      for (;;) {
        if (!ReadThroughWindow(-1)) return false;
        if ((!cvShowDeleted() && cvDelFlag()) || !cvTestFilter()) continue;
        recordFound_ = true;
        return true;
      }
    };
    TcvExpValue v;
    if (!ScanFilterInWindow()) {
      for (cvGetRec(cvReadTop); !eof_ && !bof_;) {
        filterExpr_->ExpressionResult(v);
        if (filterExpr_->ResultType() == rtBoolean && v.AsBoolean())
          filterSet_->ChangeBit(cvCurrentRecord(), TcvHugeSet::opSet);
        if (!stepInWindow()) cvGetRec(cvReadNext);
      }
    }
  } catch (...) {
    // A half-built bitmap must never be taken for the filter.
    DropFilterExpression();
    throw;
  }
  filterActive_ = wasActive;
  if (saved >= 1) cvGetRec(saved);
}

bool CVO_dBHandler::cvScanListens() const { return typeid(*this) != typeid(CVO_dBHandler); }

bool CVO_dBHandler::cvReadEventsHeard() const { return typeid(*this) != typeid(CVO_dBHandler); }

bool CVO_dBHandler::ScanFilterInWindow() {
  // The walk of cvGetRec reads each record into both images, fires two read
  // events and clears the change flags; when nobody listens to any of that
  // the condition can look at the records where they were read.  The record
  // the table stood on is read again afterwards, which leaves the images,
  // the flags and the position as the walk would; a table that stood on no
  // record takes the walk, whose last read is what it keeps.
  if (cvCurrentRecord() < 1 || cvState() != dbBrowse || !cacheOn_ || bypassCache_ || cache_.empty() || cvScanListens())
    return false;
  // The scan reads large blocks into a buffer of its own (fewer, larger
  // reads than the window's); the window is left as it was.  Without the
  // memory for one the walk runs instead.
  const int32_t perBlock =
      std::clamp<int32_t>(kScanBlockBytes / std::max<int32_t>(1, recordLength_), 1, std::max<int32_t>(1, recordCount_));
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[static_cast<size_t>(perBlock) * recordLength_]);
  if (!block) return false;
  if (IsShared()) {
    // As the walk's move to the top: the file as it stands now.
    cvHdrRead();
    cvCacheInvalidate();
  }
  const auto length = static_cast<size_t>(recordLength_);
  const bool ciphered = !readKey_.empty();
  std::vector<uint8_t> plain(ciphered ? length + 1 : 0, static_cast<uint8_t>(0x1A));
  const bool hideDeleted = !cvShowDeleted();
  uint8_t* const image = activeBuffer_;
  // A condition of field-against-literal tests runs as a flat list of
  // tests on the record's bytes; anything else is evaluated on the record
  // where it lies.
  TcvRecordTest flat;
  const bool compiled = flat.Compile(*filterExpr_, image, length);
  int32_t r = 0;
  try {
    TcvExpValue v;
    for (r = 1;;) {
      if (r > recordCount_) {
        // Another process may have appended meanwhile, as the walk's read
        // past the end finds out.
        cvHdrRead();
        if (r > recordCount_) break;
      }
      const int32_t wanted = std::min(perBlock, recordCount_ - r + 1);
      const int64_t position = headerLength_ + static_cast<int64_t>(r - 1) * recordLength_;
      const int32_t got = CVO_dBaseFld::cvRead(position, block.get(), wanted * recordLength_);
      const int32_t whole = std::max(0, got) / recordLength_;
      const uint8_t* rec = block.get();
      if (compiled && !ciphered) {
        // The common case, kept tight: the record as it lies in the block,
        // most of them refused by the first test alone.
        const TcvRecordTest::Quick quick = flat.QuickTest();
        for (int32_t i = 0; i < whole; ++i, ++r, rec += length)
          if (!(hideDeleted && rec[0] == '*') && quick.MayMatch(rec) && flat.Matches(rec))
            filterSet_->ChangeBit(r, TcvHugeSet::opSet);
      } else {
        for (int32_t i = 0; i < whole; ++i, ++r, rec += length) {
          const uint8_t* test = rec;
          if (ciphered) {
            DBEncryption(readKey_, rec, plain.data(), length, 0);
            test = plain.data();
          }
          if (hideDeleted && test[0] == '*') continue;
          bool pass;
          if (compiled) {
            pass = flat.Matches(test);
          } else {
            // Field access reads the active image and RECNO() the current
            // record: both point at the record under test.  Reading never
            // writes through the image.
            activeBuffer_ = const_cast<uint8_t*>(test);
            currentRecord_ = r;
            filterExpr_->ExpressionResult(v);
            pass = filterExpr_->ResultType() == rtBoolean && v.AsBoolean();
          }
          if (pass) filterSet_->ChangeBit(r, TcvHugeSet::opSet);
        }
      }
      // The file ends inside record r.
      if (whole < wanted) cvRaise(cvErrReadFailed, {FileName()});
    }
  } catch (...) {
    // Leave the table as the walk would: on the record that failed, read
    // into the caller's image.
    activeBuffer_ = image;
    if (r >= 1 && r <= recordCount_) {
      try {
        PlainGetRec(r);
        recordFound_ = true;
      } catch (...) {
        // The condition's error is the one to report.
      }
    }
    throw;
  }
  activeBuffer_ = image;
  return true;
}

void CVO_dBHandler::cvRefreshFilter() {
  if (!filterActive_) return;
  filterActive_ = false;
  filterSet_->Clear();
  ScanFilter();
  cvSetFilterActive(true);
}

// ---------------------------------------------------------------------------
// Ranges.

bool CVO_dBHandler::cvSetRange(const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
                               bool partial) {
  if (!activeTag_) return false;
  const bool changed = cvtag::SetRange(activeTag_, low, high, lowFlag, highFlag, partial);
  if (changed) {
    cvGetRec(cvReadTop);
    if (bof_) cvBlank();
  }
  return changed;
}

bool CVO_dBHandler::cvSetRangeStored(const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
                                     bool partial) {
  if (!activeTag_) return false;
  const bool changed = cvtag::SetRangeStored(activeTag_, low, high, lowFlag, highFlag, partial);
  if (changed) {
    cvGetRec(cvReadTop);
    if (bof_) cvBlank();
  }
  return changed;
}

void CVO_dBHandler::cvResetRange() {
  if (activeTag_) cvtag::ResetRange(activeTag_);
}

// ---------------------------------------------------------------------------
// The table as its index files see it.

bool CVO_dBHandler::ixReadRecord(int32_t recno) {
  try {
    PlainGetRec(recno);
    return !eof_ && !bof_ && cvCurrentRecord() == recno;
  } catch (const Exception&) {
    return false;
  }
}

void CVO_dBHandler::ixReadTableAgain() {
  if (!IsShared()) return;
  cvHdrRead();
  // The read window checks the count and the header's stamp before it
  // serves a record, but a change written within the same millisecond as
  // the window was filled leaves the stamp as it was.
  cvCacheInvalidate();
}

bool CVO_dBHandler::ixRecordModified() {
  return std::memcmp(cvActiveBuffer(), cvSavedImage(), static_cast<size_t>(cvRecordLength())) != 0;
}

void CVO_dBHandler::ixUseOriginalRecord(bool original) {
  // The image in force before the outermost switch is what comes back, a
  // caller's buffer included; an unpaired switch back changes nothing.
  if (original) {
    if (originalDepth_++ == 0) activeBeforeOriginal_ = cvActiveBuffer();
    cvSetActiveBuffer(const_cast<uint8_t*>(cvSavedImage()));
  } else if (originalDepth_ > 0 && --originalDepth_ == 0) {
    cvSetActiveBuffer(activeBeforeOriginal_);
    activeBeforeOriginal_ = nullptr;
  }
}

int32_t CVO_dBHandler::ixAccessRetries() {
  const int32_t delay = std::max<int32_t>(1, CVwrdAccessMSecDelay);
  return std::max<int32_t>(1, CVwrdAccessMiliSeconds / delay);
}
