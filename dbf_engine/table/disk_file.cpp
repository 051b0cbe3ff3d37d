#include "dbf_engine/table/disk_file.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstring>

#include <unistd.h>

#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"

uint16_t CVwrdAccessMiliSeconds = 5000;
uint16_t CVwrdAccessMSecDelay = 50;
int64_t cvCrashCountdown = 0;
int64_t cvWriteFailCountdown = 0;
bool cvDiskFull = false;
bool cvOverwritesFail = false;

void cvSetCrashCountdown(int64_t n) { cvCrashCountdown = n > 0 ? n : 0; }

void cvSetWriteFailCountdown(int64_t n, bool overwritesFail) {
  cvWriteFailCountdown = n > 0 ? n : 0;
  cvDiskFull = false;
  cvOverwritesFail = n > 0 && overwritesFail;
}

void cvSetSyncFailCountdown(int64_t n) { FileSetSyncFailCountdown(n); }

bool cvSyncFailPending() { return FileSyncFailCountdown() > 0; }

bool cvWriteFailDue(int handle, int64_t position, int64_t count) {
  if (cvDiskFull) return cvOverwritesFail || position + count > FileSize(handle);
  if (cvWriteFailCountdown > 0 && --cvWriteFailCountdown == 0) {
    cvDiskFull = true;
    return true;
  }
  return false;
}

// The bytes an undo keeps: one piece per write that overwrote part of the
// file's old length, in the order of the writes.
struct CVO_DiskFile::UndoLog {
  int64_t size = 0;   // the file's length when the undo began
  int64_t grown = 0;  // the end of the furthest write since
  struct Piece {
    int64_t position;
    std::vector<uint8_t> bytes;
  };
  std::vector<Piece> pieces;
};

// Forgets what an exclusive handle knows of its file when a write or a
// cut fails part-way: the bytes it left are not known.
class CVO_DiskFile::ForgetKnownOnThrow {
public:
  explicit ForgetKnownOnThrow(CVO_DiskFile& f) : f_(&f) {}
  ~ForgetKnownOnThrow() {
    if (f_) f_->ForgetKnown();
  }
  void Release() { f_ = nullptr; }
  ForgetKnownOnThrow(const ForgetKnownOnThrow&) = delete;
  ForgetKnownOnThrow& operator=(const ForgetKnownOnThrow&) = delete;

private:
  CVO_DiskFile* f_;
};

void cvCrashPoint() {
  if (cvCrashDue()) ::_exit(cvCrashExitCode);
}

bool cvRetryLock(const std::function<bool()>& attempt) {
  unsigned delay = CVwrdAccessMSecDelay;
  unsigned tries = delay ? CVwrdAccessMiliSeconds / delay : 1;
  if (tries == 0) tries = 1;
  for (unsigned i = 0; i < tries; ++i) {
    if (attempt()) return true;
    if (i + 1 < tries) cvSysSleep(delay);
  }
  return false;
}

// ---------------------------------------------------------------------------
// The registry of open files.  It refers to the files, it does not own them.

namespace {
bool g_registryGone = false;  // set once the registry has been finalised
}

struct CVobjFileColl {
  std::vector<CVO_DiskFile*> items;

  static CVobjFileColl& Get() {
    static CVobjFileColl coll;
    return coll;
  }
  static void Add(CVO_DiskFile* f) {
    if (g_registryGone) return;
    auto& v = Get().items;
    if (std::find(v.begin(), v.end(), f) == v.end()) v.push_back(f);
  }
  static void Remove(CVO_DiskFile* f) noexcept {
    if (g_registryGone) return;
    auto& v = Get().items;
    v.erase(std::remove(v.begin(), v.end(), f), v.end());
  }
  // Releases the lock region and closes the handle of every file still open.
  void CloseAll() noexcept {
    std::vector<CVO_DiskFile*> open;
    open.swap(items);
    for (CVO_DiskFile* f : open) {
      const bool held = f->lockCount_ > 0;
      f->ReleaseRegionQuietly();
      FileClose(f->handle_);
      f->closed_ = true;
      f->position_ = 0;
      if (held) f->cvLocksDropped();
    }
  }
  ~CVobjFileColl() {
    CloseAll();
    g_registryGone = true;
  }
};

void CVO_DiskFile::CloseAllRegistered() noexcept {
  if (!g_registryGone) CVobjFileColl::Get().CloseAll();
}

size_t CVO_DiskFile::RegisteredCount() noexcept { return g_registryGone ? 0 : CVobjFileColl::Get().items.size(); }

// ---------------------------------------------------------------------------

std::string CVO_DiskFile::NormaliseName(const std::string& name) {
  std::string n = FileNormaliseSeparators(name);
  // A network name ("\\server\share") is kept as given.
  if (n.size() >= 2 && n[0] == '/' && n[1] == '/') return n;
  // A drive letter means nothing here; "C:name" is taken as a relative name.
  if (n.size() >= 2 && n[1] == ':' && std::isalpha(static_cast<unsigned char>(n[0]))) n = n.substr(2);
  return FileExpandName(FileResolveExisting(n));
}

CVO_DiskFile::CVO_DiskFile(const std::string& name, bool readWrite, bool shared)
    : fileName_(NormaliseName(name)), shared_(shared), readWrite_(readWrite) {
  exists_ = FileExists(fileName_);
}

CVO_DiskFile::~CVO_DiskFile() {
  BestEffort([&] { InternalCloseFile(); });
}

void CVO_DiskFile::ReleaseRegionQuietly() noexcept {
  if (lockCount_ > 0) {
    if (shared_ && handle_ >= 0 && lockLength_ > 0)
      FileUnlockRegion(handle_, static_cast<uint64_t>(lockOffset_), static_cast<uint64_t>(lockLength_));
    lockCount_ = 0;
  }
}

void CVO_DiskFile::CloseHandle() {
  DropReadCache();
  ForgetKnown();
  if (closed_) return;
  if (lockCount_ > 0) {
    lockCount_ = 1;
    try {
      cvUnLock();
    } catch (...) {
      // Closing the handle drops the region anyway.
      lockCount_ = 0;
    }
  }
  CVobjFileColl::Remove(this);
  FileClose(handle_);
  closed_ = true;
  position_ = 0;
}

bool CVO_DiskFile::InternalCloseFile() {
  if (closed_) return true;
  const bool held = lockCount_ > 0;
  CloseHandle();
  if (held) cvLocksDropped();
  return true;
}

bool CVO_DiskFile::cvCloseFile() { return InternalCloseFile(); }

void CVO_DiskFile::OpenHandle() {
  int h = FileOpen(fileName_, readWrite_, shared_);
  if (h < 0) cvRaise(cvErrResetFailed, {fileName_});
  handle_ = h;
  position_ = 0;
  ForgetKnown();
  CVobjFileColl::Add(this);
  closed_ = false;
}

void CVO_DiskFile::RetakeRegion(const HeldRegion& held) {
  if (held.count <= 0) return;
  if (shared_ && !cvSysLockFile(handle_, held.offset, held.length)) {
    // Someone else took the region while the handle was being reopened: the
    // lock is lost, and the caller must hear it.
    lockOffset_ = 0;
    lockLength_ = 0;
    cvLocksDropped();
    cvRaise(cvErrLockFailed, {fileName_});
  }
  lockCount_ = held.count;
  lockOffset_ = held.offset;
  lockLength_ = held.length;
}

void CVO_DiskFile::cvReset() {
  if (!exists_) cvRaise(cvErrNoSuchFile, {fileName_});
  const HeldRegion held{closed_ ? 0 : lockCount_, lockOffset_, lockLength_};
  CloseHandle();
  try {
    OpenHandle();
  } catch (...) {
    if (held.count > 0) cvLocksDropped();
    throw;
  }
  RetakeRegion(held);
}

void CVO_DiskFile::cvReWrite() {
  const HeldRegion held{closed_ ? 0 : lockCount_, lockOffset_, lockLength_};
  CloseHandle();
  try {
    int h = FileCreate(fileName_);
    if (h < 0) cvRaise(cvErrRewriteFailed, {fileName_});
    FileClose(h);
    exists_ = true;
    OpenHandle();
  } catch (...) {
    if (held.count > 0) cvLocksDropped();
    throw;
  }
  RetakeRegion(held);
}

void CVO_DiskFile::cvSetReadCache(int64_t maxBytes) {
  DropReadCache();
  if (maxBytes < kCacheBlockSize || shared_) {
    readCache_.reset();
    return;
  }
  if (!readCache_) readCache_ = std::make_unique<ReadCache>();
  readCache_->maxBlocks = static_cast<size_t>(maxBytes / kCacheBlockSize);
}

void CVO_DiskFile::DropReadCache() {
  if (!readCache_) return;
  readCache_->slotOf.clear();
  readCache_->data.clear();
  readCache_->blockOf.clear();
  readCache_->hand = 0;
}

void CVO_DiskFile::DropCachedBlocks(int64_t position, int64_t count) {
  if (!readCache_ || readCache_->data.empty() || count <= 0) return;
  ReadCache& c = *readCache_;
  const int64_t last =
      std::min<int64_t>((position + count - 1) >> kCacheBlockBits, static_cast<int64_t>(c.slotOf.size()) - 1);
  for (int64_t b = position >> kCacheBlockBits; b <= last; ++b) {
    uint32_t& s = c.slotOf[static_cast<size_t>(b)];
    if (s == 0) continue;
    c.blockOf[s - 1] = -1;
    s = 0;
  }
}

bool CVO_DiskFile::ReadThroughCache(int64_t position, uint8_t* buffer, int32_t count) {
  ReadCache& c = *readCache_;
  const int64_t first = position >> kCacheBlockBits;
  const int64_t last = (position + count - 1) >> kCacheBlockBits;
  for (int64_t b = first; b <= last; ++b) {
    const uint8_t* block;
    // Blocks beyond a 32-bit count are read from the file as they are.
    if (b >= INT32_MAX) return false;
    if (const uint32_t s = static_cast<uint64_t>(b) < c.slotOf.size() ? c.slotOf[static_cast<size_t>(b)] : 0) {
      block = c.data[s - 1].get();
    } else {
      // A slot for the block: a new one while there is room, else the next
      // one round (its block is forgotten).
      size_t slot;
      if (c.data.size() < c.maxBlocks) {
        c.data.push_back(std::make_unique<uint8_t[]>(kCacheBlockSize));
        c.blockOf.push_back(-1);
        slot = c.data.size() - 1;
      } else {
        slot = c.hand;
        c.hand = (c.hand + 1) % c.data.size();
        if (c.blockOf[slot] >= 0) c.slotOf[static_cast<size_t>(c.blockOf[slot])] = 0;
        c.blockOf[slot] = -1;
      }
      const int64_t got = FileRead(handle_, b << kCacheBlockBits, c.data[slot].get(), kCacheBlockSize);
      if (got < 0) cvRaise(cvErrReadFailed, {fileName_});
      if (got < kCacheBlockSize) return false;  // the file ends inside it: not kept
      // The file holds the block, so the map (four bytes a block) stays a
      // small part of the file's size.
      if (static_cast<uint64_t>(b) >= c.slotOf.size())
        c.slotOf.resize(std::max(static_cast<size_t>(b) + 1, c.slotOf.size() * 2), 0);
      c.blockOf[slot] = b;
      c.slotOf[static_cast<size_t>(b)] = static_cast<uint32_t>(slot + 1);
      block = c.data[slot].get();
    }
    const int64_t from = std::max(position, b << kCacheBlockBits);
    const int64_t to = std::min(position + count, (b + 1) << kCacheBlockBits);
    std::memcpy(buffer + (from - position), block + (from - (b << kCacheBlockBits)), static_cast<size_t>(to - from));
  }
  return true;
}

int32_t CVO_DiskFile::cvRead(int64_t position, void* buffer, int32_t count) {
  if (count < 0) throw ERangeError("Range check error");
  if (closed_ || position < 0) cvRaise(cvErrReadFailed, {fileName_});
  // Small reads only: a large one (a scan's window) gains nothing from the
  // copy.
  if (readCache_ && readCache_->maxBlocks > 0 && count > 0 && count <= kCacheBlockSize &&
      ReadThroughCache(position, static_cast<uint8_t*>(buffer), count)) {
    lastCount_ = count;
    position_ = position + count;
    return count;
  }
  int64_t got = count == 0 ? 0 : FileRead(handle_, position, buffer, static_cast<size_t>(count));
  if (got < 0) cvRaise(cvErrReadFailed, {fileName_});
  lastCount_ = static_cast<int32_t>(got);
  position_ = position + count;
  return lastCount_;
}

void CVO_DiskFile::cvWrite(int64_t position, const void* buffer, int32_t count) {
  if (count < 0) throw ERangeError("Range check error");
  written_ = false;
  if (closed_ || position < 0) cvRaise(cvErrWriteFailed, {fileName_});
  // Dropped before the write: a failed or torn write leaves the bytes
  // unknown.
  DropCachedBlocks(position, count);
  if (cvCrashDue()) {
    if (count > 1) FileWrite(handle_, position, buffer, static_cast<size_t>(count / 2));
    ::_exit(cvCrashExitCode);
  }
  // Whatever fails below leaves the file's bytes unknown.
  ForgetKnownOnThrow forget(*this);
  if (undo_ && count > 0 && position < undo_->size) {
    // The bytes about to be overwritten, as the file holds them now (raw:
    // a table cipher is applied above this layer).
    const int64_t keep = std::min<int64_t>(count, undo_->size - position);
    UndoLog::Piece piece{position, std::vector<uint8_t>(static_cast<size_t>(keep))};
    if (!CopyKnown(position, piece.bytes.data(), keep)) {
      const int64_t got = FileRead(handle_, position, piece.bytes.data(), piece.bytes.size());
      if (got < 0) cvRaise(cvErrWriteFailed, {fileName_});
      piece.bytes.resize(static_cast<size_t>(got));
    }
    if (!piece.bytes.empty()) undo_->pieces.push_back(std::move(piece));
  }
  if (undo_) undo_->grown = std::max(undo_->grown, position + count);
  if (cvWriteFailCountdown > 0 || cvDiskFull) {
    if (cvDiskFull) {
      const int64_t size = FileSize(handle_);
      if (cvOverwritesFail || position + count > size) {
        lastCount_ = 0;
        cvRaise(cvErrWriteFailed, {fileName_});
      }
    } else if (--cvWriteFailCountdown == 0) {
      cvDiskFull = true;
      // Where overwrites need new space, a write over existing bytes goes to
      // new blocks that are linked in only once it succeeds: the failed one
      // leaves the old bytes as they were.  A write that grows the file ends
      // short.
      const int64_t size = FileSize(handle_);
      if (count > 1 && !(cvOverwritesFail && size >= 0 && position + count <= size))
        FileWrite(handle_, position, buffer, static_cast<size_t>(count / 2));
      lastCount_ = 0;
      cvRaise(cvErrWriteFailed, {fileName_});
    }
  }
  // A short write (disk full, quota) is a failure, never a silent success.
  if (count > 0 && !FileWrite(handle_, position, buffer, static_cast<size_t>(count))) {
    lastCount_ = 0;
    cvRaise(cvErrWriteFailed, {fileName_});
  }
  RememberWrite(position, buffer, count);
  forget.Release();
  lastCount_ = count;
  position_ = position + count;
  written_ = true;
}

bool CVO_DiskFile::cvUndoBegin() {
  if (undo_ || closed_) return false;
  const int64_t size = FileLength();
  if (size < 0) cvRaise(cvErrGetFileSize, {fileName_});
  undo_ = std::make_unique<UndoLog>();
  undo_->size = undo_->grown = size;
  return true;
}

void CVO_DiskFile::cvUndoEnd() noexcept { undo_.reset(); }

bool CVO_DiskFile::cvUndoRollBack() noexcept { return cvUndoRollBack({}); }

bool CVO_DiskFile::cvUndoRollBack(const std::function<bool(int64_t)>& mayCut) noexcept {
  if (!undo_) return true;
  std::unique_ptr<UndoLog> log = std::move(undo_);
  if (closed_) return false;
  DropReadCache();
  // Written back past cvWrite, and perhaps only in part.
  ForgetKnown();
  const int64_t now = FileSize(handle_);
  // Another handle of a shared file grew it past what this one wrote: the
  // cut would take its bytes too.
  if (now < 0 || (shared_ && now > log->grown)) return false;
  bool ok = true;
  // The bytes go back straight to the file: the write-fail and crash
  // countdowns count the change, not its undoing.  A disk that filled up
  // meanwhile still refuses what needs new space: bytes put back past the
  // file's end (a cut is being undone) as any other growth, and every write
  // on a disk where writes over existing bytes need new space too.
  for (auto it = log->pieces.rbegin(); it != log->pieces.rend(); ++it) {
    const int64_t count = static_cast<int64_t>(it->bytes.size());
    if ((cvDiskFull && (cvOverwritesFail || it->position + count > FileSize(handle_))) ||
        !FileWrite(handle_, it->position, it->bytes.data(), it->bytes.size()))
      ok = false;
  }
  if (now == log->size) return ok;
  bool cut = true;
  try {
    cut = !mayCut || mayCut(log->size);
  } catch (...) {
    cut = false;
  }
  if (!cut || cvSysTruncate(handle_, log->size) != 0) ok = false;
  return ok;
}

int64_t CVO_DiskFile::cvFileSize() {
  int64_t s = FileLength();
  if (s < 0) cvRaise(cvErrGetFileSize, {fileName_});
  return s;
}

void CVO_DiskFile::cvFlush() {
  if (closed_) return;
  if (!cvSysFlushFileBuffers(handle_)) SyncFailedNow();
  written_ = false;
}

void CVO_DiskFile::cvFlushData() {
  if (closed_) return;
  if (!FileFlushData(handle_)) SyncFailedNow();
  written_ = false;
}

void CVO_DiskFile::SyncFailedNow() {
  const int err = errno;
  syncFailed_ = true;
  cvRaiseFlushFailed(fileName_, err);
}

void CVO_DiskFile::cvTruncate(int64_t size) {
  if (!readWrite_ || !FileFullyLocked()) cvRaise(cvErrNoFullAccess, {"Truncate", fileName_});
  cvCrashPoint();
  DropReadCache();
  ForgetKnownOnThrow forget(*this);
  if (undo_ && size < undo_->size) {
    // The bytes the cut takes, as far as they were the file's own.
    const int64_t now = FileLength();
    if (now < 0) cvRaise(cvErrGetFileSize, {fileName_});
    const int64_t end = std::min(now, undo_->size);
    if (end > size) {
      UndoLog::Piece piece{size, std::vector<uint8_t>(static_cast<size_t>(end - size))};
      if (FileRead(handle_, size, piece.bytes.data(), piece.bytes.size()) != end - size)
        cvRaise(cvErrTruncateFailed, {fileName_});
      undo_->pieces.push_back(std::move(piece));
    }
  }
  if (cvSysTruncate(handle_, size) != 0) cvRaise(cvErrTruncateFailed, {fileName_});
  forget.Release();
  if (shared_) return;
  knownSize_ = size;
  for (KnownBytes& k : known_) {
    if (k.position < 0 || k.position + static_cast<int64_t>(k.bytes.size()) <= size) continue;
    if (k.position >= size) k.position = -1;
    else k.bytes.resize(static_cast<size_t>(size - k.position));
  }
}

// ---------------------------------------------------------------------------
// What an exclusive handle knows of its file.

int64_t CVO_DiskFile::FileLength() {
  if (!shared_ && knownSize_ >= 0) return knownSize_;
  const int64_t s = FileSize(handle_);
  if (!shared_ && s >= 0) knownSize_ = s;
  return s;
}

bool CVO_DiskFile::CopyKnown(int64_t position, uint8_t* into, int64_t count) {
  if (shared_) return false;
  for (KnownBytes& k : known_) {
    if (k.position < 0 || position < k.position || position + count > k.position + static_cast<int64_t>(k.bytes.size()))
      continue;
    std::memcpy(into, k.bytes.data() + (position - k.position), static_cast<size_t>(count));
    k.used = ++knownClock_;
    return true;
  }
  return false;
}

void CVO_DiskFile::RememberWrite(int64_t position, const void* buffer, int32_t count) {
  if (shared_ || count <= 0) return;
  if (knownSize_ >= 0) knownSize_ = std::max(knownSize_, position + count);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  // Ranges the write overlaps now hold its bytes there.
  KnownBytes* same = nullptr;
  for (KnownBytes& k : known_) {
    if (k.position < 0) continue;
    const int64_t end = k.position + static_cast<int64_t>(k.bytes.size());
    const int64_t from = std::max(position, k.position), to = std::min(position + count, end);
    if (from < to)
      std::memcpy(k.bytes.data() + (from - k.position), bytes + (from - position), static_cast<size_t>(to - from));
    if (k.position == position && end == position + count) same = &k;
  }
  if (same) {
    same->used = ++knownClock_;
    return;
  }
  if (count > kKnownMaxBytes) return;
  KnownBytes* slot = &known_[0];
  for (KnownBytes& k : known_) {
    if (k.position < 0) {
      slot = &k;
      break;
    }
    if (k.used < slot->used) slot = &k;
  }
  slot->position = position;
  slot->bytes.assign(bytes, bytes + count);
  slot->used = ++knownClock_;
}

void CVO_DiskFile::ForgetKnown() noexcept {
  knownSize_ = -1;
  for (KnownBytes& k : known_) k.position = -1;
}

void CVO_DiskFile::cvRename(const std::string& newName) {
  const std::string oldName = fileName_;
  const std::string target = NormaliseName(newName);
  // The file is renamed under its open handle: closing it first would drop
  // the byte-range locks this object holds and leave a moment in which
  // another user could take them.
  if (!FileRename(oldName, target)) cvRaise(cvErrRenameFailed, {oldName});
  fileName_ = target;
  exists_ = true;
  DropReadCache();
  if (closed_) cvReset();
}

void CVO_DiskFile::cvStatusUpdate(int32_t, int32_t, int32_t) {}

bool CVO_DiskFile::cvLockRecord(int64_t offset, int64_t length) {
  if (!shared_) {
    ++lockCount_;
    lockOffset_ = offset;
    lockLength_ = length;
    return true;
  }
  if (lockCount_ > 0) {
    if (offset == lockOffset_ && length == lockLength_) {
      ++lockCount_;
      return true;
    }
    return false;  // one region per object
  }
  if (closed_ || !cvSysLockFile(handle_, offset, length)) {
    lockOffset_ = 0;
    lockLength_ = 0;
    return false;
  }
  lockOffset_ = offset;
  lockLength_ = length;
  lockCount_ = 1;
  return true;
}

bool CVO_DiskFile::cvLockFile() {
  if (!shared_) return true;
  return cvLockRecord(0, 0x7FFFFFFF);
}

bool CVO_DiskFile::cvUnLock() {
  if (lockCount_ > 0) {
    if (shared_ && lockCount_ == 1) {
      lockCount_ = 0;
      if (!cvSysUnlockFile(handle_, lockOffset_, lockLength_)) cvRaise(cvErrUnlockFailed, {fileName_});
      return true;
    }
    --lockCount_;
  }
  return true;
}

bool CVO_DiskFile::FileFullyLocked() const {
  if (!shared_) return true;
  return lockCount_ >= 1 && lockOffset_ == 0 && lockLength_ == 0x7FFFFFFF;
}

// ---------------------------------------------------------------------------
// Operating-system wrappers.

bool cvSysFlushFileBuffers(int handle) { return FileFlush(handle); }

int cvSysTruncate(int handle, int64_t size) { return FileTruncate(handle, size) ? 0 : -1; }

bool cvSysLockFile(int handle, int64_t offset, int64_t length) {
  if (offset < 0 || length <= 0) return false;
  return FileLockRegion(handle, static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
}

bool cvSysUnlockFile(int handle, int64_t offset, int64_t length) {
  if (offset < 0 || length <= 0) return false;
  return FileUnlockRegion(handle, static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
}

void cvSysSleep(unsigned milliseconds) { SleepMilliseconds(milliseconds); }

// The configuration directory is the platform's one "Windows directory".
std::string cvSysRootDirectory() { return GetWindowsDirectory().substr(0, 260); }

void cvSysSetRootDirectory(const std::string& directory) { SetWindowsDirectory(directory); }

int cvSysSpawn(const std::string& commandLine, int /*show*/) { return SpawnProcess(commandLine); }

int cvSysSpawnAndWait(const std::string& commandLine, int /*show*/) { return SpawnProcessAndWait(commandLine); }
