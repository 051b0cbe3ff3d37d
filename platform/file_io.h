// File services of the platform layer: the thin operating-system calls the
// table engine and the query engine build their files on.
//
// Handles are plain POSIX descriptors; a closed handle is -1.  Reads and
// writes are positional and loop until everything asked for has moved; a
// write that cannot move every byte (disk full, quota) reports failure.
//
// Shared and exclusive opens are emulated with flock(): a shared open holds
// LOCK_SH, an exclusive one LOCK_EX, both non-waiting; a refusal sets errno to
// EACCES (the "access denied" of the original platform).  flock() locks and
// byte-range locks are independent on Linux, so a table opened shared can
// still take its byte-range locks.
//
// Byte-range locks are non-waiting open-file-description locks (F_OFD_SETLK)
// with 64-bit offsets: two handles of one file conflict even inside one
// process, and regions beyond 2^31 (0xB0000000, 0xEFFFFFFF) work.  A handle
// opened read-only takes read locks, since Linux refuses write locks on it;
// read locks of two read-only handles do not exclude each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Paths: "\" on input is taken as "/".
std::string FileNormaliseSeparators(const std::string& name);
// The name expanded to an absolute path against the current directory.
std::string FileExpandName(const std::string& name);
// The existing file `name` names, found case-insensitively (a..z folded,
// component by component) when the exact name does not exist; otherwise the
// name unchanged (a new file keeps the name as given).
std::string FileResolveExisting(const std::string& name);

bool FileExists(const std::string& name);  // exact name or case-insensitive match
bool FileDelete(const std::string& name);
bool FileRename(const std::string& oldName, const std::string& newName);
// Names of the entries of `directory` whose name matches `pattern` ("*" and
// "?" wildcards) case-insensitively, sorted.  Only the names are returned.
std::vector<std::string> FileFind(const std::string& directory, const std::string& pattern);
// Wildcard match of "*" and "?", ASCII case-insensitive.
bool FileNameMatches(const std::string& pattern, const std::string& name);

// Opens an existing file.  -1 on failure with errno set (EACCES when the
// shared/exclusive hold is refused).
int FileOpen(const std::string& name, bool readWrite, bool shared);
// Creates `name`, or empties it once this handle holds it exclusively; an
// existing file held by someone else is left untouched (EACCES).  The handle
// is read-write and exclusive; -1 on failure.
int FileCreate(const std::string& name);
// Closes the handle and sets it to -1; a closed handle is ignored.
void FileClose(int& handle);

// Reads up to `count` bytes at `position`; fewer only at the end of the file.
// Returns the bytes read or -1 on error.
int64_t FileRead(int handle, int64_t position, void* buffer, size_t count);
// Writes all `count` bytes at `position`; false when any byte could not be
// written (errno says why; ENOSPC for a short write without an error).
bool FileWrite(int handle, int64_t position, const void* buffer, size_t count);
int64_t FileSize(int handle);  // -1 on error
bool FileFlush(int handle);    // fsync
// fdatasync: the data and what reading it back needs (the length), not the
// times.
bool FileFlushData(int handle);
// Forces a folder's entries (files created, renamed or deleted in it) to the
// disk; false with errno set when that failed.  A file system that cannot
// sync a folder (EINVAL) keeps its entries by other means and succeeds.
bool FileSyncDirectory(const std::string& directory);
// For tests of failed syncs: the n-th call of FileFlush, FileFlushData or
// FileSyncDirectory from now fails with EIO (0 disarms).
void FileSetSyncFailCountdown(int64_t n);
// The syncs still to come before the armed failure: 0 once it has failed
// (or when none is armed).
int64_t FileSyncFailCountdown();
bool FileTruncate(int handle, int64_t size);  // set the end of file
// The bytes of the first `total` of the file that the disk really holds:
// all but its holes.  A file system that cannot tell its holes is taken at
// its allocated blocks.  A file read from outside that should have been
// written front to back (a journal, a copy kept for a repair) and holds
// less than it claims is a sparse fake: what it would make us write is
// bounded by what it occupies.
int64_t FileStoredBytes(int handle, int64_t total);
bool FileIsReadWrite(int handle);

// Non-waiting byte-range lock of [offset, offset + length).  A write lock on
// a read-write handle, a read lock on a read-only one.  A zero length locks
// nothing and fails.
bool FileLockRegion(int handle, uint64_t offset, uint64_t length);
bool FileUnlockRegion(int handle, uint64_t offset, uint64_t length);
// Non-waiting read (shared) lock of the region on a handle of either mode:
// any number of handles may hold one together, and it keeps every write lock
// out.  On a region this handle holds with a write lock, the lock becomes a
// read lock.
bool FileLockRegionShared(int handle, uint64_t offset, uint64_t length);
// Whether another open file description holds a lock that conflicts with a
// write lock on the region (for tests and diagnostics).
bool FileRegionLockedByOther(int handle, uint64_t offset, uint64_t length);
// True only when the system answered that no other open file description
// holds a lock conflicting with a write lock on the region (an error or a
// bad region answers false).
bool FileRegionFree(int handle, uint64_t offset, uint64_t length);

// A handle holding a write lock on the whole of the file `name` (created
// empty when missing), taken only once it is still the file the name names:
// a file renamed over the name meanwhile (a whole-file rewrite) is opened
// and locked afresh.  Tries for about `waitMs` milliseconds; -1 when the
// lock was not had (errno EAGAIN) or the file cannot be opened.  Closing the
// handle drops the lock.
int FileLockByName(const std::string& name, unsigned waitMs);
void SleepMilliseconds(unsigned milliseconds);

// Splits a command line into its arguments as the original platform's C
// runtime does: blanks and tabs separate arguments except inside double
// quotes; 2k backslashes before a quote give k backslashes and the quote
// opens or closes a quoted part, 2k+1 give k backslashes and a literal quote;
// other backslashes are literal; "" inside a quoted part is one quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Both start the program that the first argument of `commandLine` names
// (searched along PATH when it has no "/"), with the other arguments, and no
// shell: "|", ";", "$" and the like reach the program as they stand.
//
// SpawnProcess does not wait: the process runs in a session of its own and
// is collected when it ends.  0 when it started, else a positive error number
// (ENOENT for a program that does not exist, EINVAL for an empty line).
int SpawnProcess(const std::string& commandLine);
// SpawnProcessAndWait waits for the process: its exit code, or -1 when it
// could not be started or did not end normally (killed by a signal).
int SpawnProcessAndWait(const std::string& commandLine);
