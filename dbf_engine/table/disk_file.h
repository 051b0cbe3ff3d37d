// The engine's one way to touch a file.
//
// CVO_DiskFile is a named file opened in a fixed mode (read-only or
// read-write, shared or exclusive), read and written at explicit byte
// positions, flushed, truncated and renamed, and guarded by at most one
// byte-range lock region at a time with a nesting count.  Tables, memo files
// and index files are built on it.
//
// Every open file is entered in a process-wide registry (CVobjFileColl) so
// that the engine's shut-down can release the locks and close the handles
// that callers left open.
//
// Lock refusal is not an error at this level: cvLockRecord and cvLockFile
// return false and the caller retries (cvRetryLock: CVwrdAccessMiliSeconds div
// CVwrdAccessMSecDelay attempts, CVwrdAccessMSecDelay ms apart) or raises its
// own message.  Locks never wait inside the operating system.
//
// Byte-range locks belong to the open handle: closing it drops them.  So a
// lock region survives every reopen of the object: cvRename renames the file
// under its open handle, and cvReset or cvReWrite of an open file take the
// held region again on the new handle.  When a region is lost all the same
// (the file is closed, or the region cannot be taken again) the lock count
// falls to 0 and cvLocksDropped tells the subclass, so that no "locked" flag
// outlives the lock it stands for.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Integers of the file formats are loaded and stored at fixed offsets with
// these helpers, never through casts over buffers.
inline uint16_t cvLoadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t cvLoadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t cvLoadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t cvLoadBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void cvStoreLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void cvStoreLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void cvStoreBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void cvStoreBE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Lock-retry policy shared by the table, memo and index layers.
extern uint16_t CVwrdAccessMiliSeconds;  // 5000: total time to keep retrying
extern uint16_t CVwrdAccessMSecDelay;    // 50: pause after each refusal

// Runs `attempt` up to CVwrdAccessMiliSeconds div CVwrdAccessMSecDelay times
// (at least once), sleeping CVwrdAccessMSecDelay ms after each refusal.
bool cvRetryLock(const std::function<bool()>& attempt);

class CVO_DiskFile {
public:
  // Builds the object closed.  The name is normalised ("\" read as "/",
  // relative names expanded against the current directory) and the exists
  // flag records whether the file is there now.
  CVO_DiskFile(const std::string& name, bool readWrite, bool shared);
  virtual ~CVO_DiskFile();
  CVO_DiskFile(const CVO_DiskFile&) = delete;
  CVO_DiskFile& operator=(const CVO_DiskFile&) = delete;

  // Virtual operations (the table and handler override some).
  virtual bool cvCloseFile();
  virtual int64_t cvFileSize();
  // A sync that fails raises "Error on Flush for file %s" with the
  // system's reason.
  virtual void cvFlush();
  // Forces out the data and its length only (not the times): what a
  // reader after a power cut needs.
  void cvFlushData();
  // A sync of this object failed since it was built.  The system drops the
  // pages a failed write-back held (they read as written, but may never
  // reach the disk), and a later sync that succeeds says nothing of them:
  // what vouches for the file must not vouch for it any more.
  bool SyncFailed() const { return syncFailed_; }
  virtual bool cvLockFile();
  virtual bool cvLockRecord(int64_t offset, int64_t length);
  // Reads up to `count` bytes at `position`; returns the bytes read (fewer
  // at the end of the file).  A negative count is a range error.
  virtual int32_t cvRead(int64_t position, void* buffer, int32_t count);
  // Renames the file; an open handle stays open (and keeps its locks), a
  // closed object is opened under the new name.
  virtual void cvRename(const std::string& newName);
  // Opens the file.  On an open file the handle is opened anew and the lock
  // region held is taken again ("Can not Lock file %s" when it cannot be).
  virtual void cvReset();
  // Creates (or empties) the file and opens it; a lock region held by an open
  // object is taken again as by cvReset.
  virtual void cvReWrite();
  virtual void cvStatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3);
  virtual void cvTruncate(int64_t size);
  virtual bool cvUnLock();
  // Writes all `count` bytes at `position` or raises "Error writing to %s".
  virtual void cvWrite(int64_t position, const void* buffer, int32_t count);

  // Undo of one change of the file (a record appended or rewritten with its
  // index keys, a tag added).  From cvUndoBegin on, every write first keeps
  // the bytes it is about to overwrite, as far as they lie within the length
  // the file had at the start; nothing is kept for the bytes beyond, which
  // a roll-back simply cuts off.  A cut (cvTruncate) keeps the bytes it
  // takes in the same way.  cvUndoRollBack writes the kept bytes back,
  // latest first (so the earliest, the file's own, win where writes
  // overlapped), and cuts the file to its old length: the file is as it
  // was, byte for byte.  Putting bytes back inside the file's length and
  // cutting it need no new space, so a roll-back works on a full disk too.
  // The caller holds the locks that keep other writers out meanwhile.
  // False from cvUndoBegin when an undo is already running (the outer one
  // covers the writes).
  bool cvUndoBegin();
  // Stops recording and forgets what was kept: the change stands.
  void cvUndoEnd() noexcept;
  // Puts the file back and stops recording; false when the file could not
  // be put back (the operating system refused a write or the cut), and
  // when another handle of a shared file made it longer than this one's
  // writes did (the cut would take that handle's bytes: nothing is done).
  bool cvUndoRollBack() noexcept;
  // The same, cutting the file back only when `mayCut` (asked once the
  // bytes are back, with the length the cut would leave) agrees: a file
  // whose own header still counts what lies past that length (its bytes
  // could not be put back) keeps it, and the roll-back is false.
  bool cvUndoRollBack(const std::function<bool(int64_t)>& mayCut) noexcept;
  bool cvUndoActive() const { return undo_ != nullptr; }

  // Keeps up to `maxBytes` of what small reads (a record, an index page)
  // bring in, in whole aligned blocks, so a later read of the same bytes
  // costs no system call.  Only a handle opened exclusively keeps them: no
  // other handle can change the file meanwhile, and every change through
  // this one (write, truncation, reopen, close) drops the blocks it
  // touches.  0 switches it off.
  void cvSetReadCache(int64_t maxBytes);

  bool FileFullyLocked() const;
  bool InternalCloseFile();
  void cvStatusLink(int32_t stat1, int32_t stat2, int32_t stat3) { cvStatusUpdate(stat1, stat2, stat3); }
  void IncLockCount() { ++lockCount_; }
  bool DecLockCount() { return cvUnLock(); }

  // Accessors.
  const std::string& FileName() const { return fileName_; }
  int Handle() const { return handle_; }
  bool Exists() const { return exists_; }
  bool IsShared() const { return shared_; }
  bool IsReadWrite() const { return readWrite_; }
  bool IsClosed() const { return closed_; }
  bool Written() const { return written_; }
  int64_t Position() const { return position_; }
  int32_t LastCount() const { return lastCount_; }
  int32_t LockCount() const { return lockCount_; }
  int64_t LockOffset() const { return lockOffset_; }
  int64_t LockLength() const { return lockLength_; }

  // The normalisation the constructor applies to a name.
  static std::string NormaliseName(const std::string& name);

  // Closes every file still registered, releasing its lock region first
  // (the engine's shut-down; also run at process exit).  Raises nothing.
  static void CloseAllRegistered() noexcept;
  // Number of files currently in the registry.
  static size_t RegisteredCount() noexcept;

protected:
  void SetLockCount(int32_t n) { lockCount_ = n; }
  // Called when the lock region this object held is gone although nobody
  // unlocked it: the handle was closed, or reopened without the region.  The
  // lock count is 0 by then.  Must not throw.
  virtual void cvLocksDropped() noexcept {}

private:
  struct HeldRegion {
    int32_t count;
    int64_t offset, length;
  };
  void ReleaseRegionQuietly() noexcept;
  // Closes the handle (dropping any region) without telling the subclass.
  void CloseHandle();
  // Opens the file under its name in the object's mode.
  void OpenHandle();
  // Takes `held` again on the handle just opened; raises when it cannot.
  void RetakeRegion(const HeldRegion& held);
  // The read cache (cvSetReadCache): full blocks of the file by block
  // number; a block the file ends inside is never kept.
  static constexpr int kCacheBlockBits = 12;
  static constexpr int32_t kCacheBlockSize = 1 << kCacheBlockBits;
  // A read served whole from the cache (filling missing blocks); false when
  // it must go to the file as it is (the file ends inside it).
  bool ReadThroughCache(int64_t position, uint8_t* buffer, int32_t count);
  void DropCachedBlocks(int64_t position, int64_t count);
  void DropReadCache();
  struct ReadCache {
    size_t maxBlocks = 0;
    std::vector<uint32_t> slotOf;                  // block number -> slot + 1 (0: none)
    std::vector<std::unique_ptr<uint8_t[]>> data;  // one block per slot
    std::vector<int64_t> blockOf;                  // slot -> block number (-1 free)
    size_t hand = 0;                               // next slot to reuse when full
  };
  std::unique_ptr<ReadCache> readCache_;
  struct UndoLog;
  std::unique_ptr<UndoLog> undo_;
  // What a handle opened exclusively knows of its file without asking it:
  // its length, and the bytes of its latest few small writes (an append
  // writes the header and the record after the previous record, whose bytes
  // its undo must keep first).  No other handle can change the file
  // meanwhile; a failed write, a roll-back and a reopen forget it all.
  // A shared handle asks the file every time.
  struct KnownBytes {
    int64_t position = -1;
    uint64_t used = 0;  // when last written or read, for replacing the oldest
    std::vector<uint8_t> bytes;
  };
  static constexpr size_t kKnownRanges = 4;
  static constexpr int32_t kKnownMaxBytes = 4096;
  int64_t knownSize_ = -1;  // -1: not known
  std::array<KnownBytes, kKnownRanges> known_;
  uint64_t knownClock_ = 0;
  int64_t FileLength();
  bool CopyKnown(int64_t position, uint8_t* into, int64_t count);
  void RememberWrite(int64_t position, const void* buffer, int32_t count);
  void ForgetKnown() noexcept;
  class ForgetKnownOnThrow;

  int handle_ = -1;
  bool exists_ = false;
  std::string fileName_;
  int64_t position_ = 0;
  bool shared_ = false;
  bool readWrite_ = false;
  int32_t lastCount_ = 0;
  int32_t lockCount_ = 0;
  int64_t lockOffset_ = 0;
  int64_t lockLength_ = 0;
  bool written_ = false;
  bool closed_ = true;
  bool syncFailed_ = false;
  [[noreturn]] void SyncFailedNow();

  friend struct CVobjFileColl;
};

// Crash points, for tests of what a process that dies half-way leaves
// behind.  cvSetCrashCountdown(n) arms a process-wide countdown (0, the
// default, disarms it): every write and truncation through CVO_DiskFile,
// and every step of a rollback journal, counts one, and the n-th ends the
// process at once with _exit(cvCrashExitCode) instead.  A write that is
// counted last puts half of its bytes in the file first, as a write torn by
// a power cut would.  Disarmed, a crash point costs one compare.
constexpr int cvCrashExitCode = 86;
extern int64_t cvCrashCountdown;
void cvSetCrashCountdown(int64_t n);
// Counts one step; true when the process must end at this step.
inline bool cvCrashDue() { return cvCrashCountdown > 0 && --cvCrashCountdown == 0; }
// A step that writes nothing: ends the process when it is due.
void cvCrashPoint();

// Full-disk points, for tests of what a failed write leaves behind.
// cvSetWriteFailCountdown(n) arms a process-wide countdown (0, the default,
// disarms it): every write through CVO_DiskFile counts one, and the n-th
// fails as on a disk that has just filled up: the first half of its bytes
// reach the file, then it raises "Error writing to %s".  From then on the
// disk stays full until the countdown is disarmed: a write that would make
// its file longer fails without writing anything, while writes inside a
// file's length go on (they need no new space).  With `overwritesFail`
// the disk is one where every write needs new space (copy-on-write file
// systems, a quota counted on rewritten blocks): once full, writes inside a
// file's length fail as well, a roll-back's putting bytes back included.
// There a write over existing bytes goes to new blocks that are linked in
// only when it succeeds, so the n-th write, when it lies inside the file's
// length, fails leaving the old bytes whole (one that grows the file still
// ends short, half written).  On the plain disk an overwrite needs no space
// and never fails for lack of it; the n-th write is torn at half whatever
// it is, which also stands for a write the system cut short.
extern int64_t cvWriteFailCountdown;
extern bool cvDiskFull;
extern bool cvOverwritesFail;
void cvSetWriteFailCountdown(int64_t n, bool overwritesFail = false);
// The same countdown and full disk for a write that goes to a file past
// CVO_DiskFile (the copy an index's mark keeps): counts one, and true when
// the write of `count` bytes at `position` into the file open as `handle`
// must fail.
bool cvWriteFailDue(int handle, int64_t position, int64_t count);

// Failed syncs, for tests of what is reported when the disk cannot confirm
// a write: cvSetSyncFailCountdown(n) arms a process-wide countdown (0
// disarms it) over every sync of a file's data or a folder's entries the
// engine asks for; the n-th fails with EIO, as a device reports a lost
// write-back once.  cvSyncFailPending: the failure is armed and has not
// come yet (an operation that leaves it so never reached that sync).
void cvSetSyncFailCountdown(int64_t n);
bool cvSyncFailPending();

// Operating-system wrappers.
bool cvSysFlushFileBuffers(int handle);
int cvSysTruncate(int handle, int64_t size);  // 0 or -1
bool cvSysLockFile(int handle, int64_t offset, int64_t length);
bool cvSysUnlockFile(int handle, int64_t offset, int64_t length);
void cvSysSleep(unsigned milliseconds);
// The configuration ("Windows") directory of the platform layer (by default
// the executable's directory); cvSysSetRootDirectory changes it.
std::string cvSysRootDirectory();
void cvSysSetRootDirectory(const std::string& directory);
// Both start the program named by the command line's first argument with the
// rest as its arguments, without a shell; `show` (a window state) means
// nothing here.  cvSysSpawn does not wait: 0 when the process started, else a
// positive error number (a program that does not exist is an error).
int cvSysSpawn(const std::string& commandLine, int show);
// The process's exit code, or -1 when it cannot be started or is killed.
int cvSysSpawnAndWait(const std::string& commandLine, int show);
