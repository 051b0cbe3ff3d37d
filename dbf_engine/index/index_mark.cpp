// The "being changed" mark of an index file (see index_mark.h).

#include "dbf_engine/index/index_mark.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/writer_rights.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"

namespace {

constexpr char kSuffix[] = "-changing";
constexpr uint8_t kMagic[8] = {'C', 'V', 'I', 'X', 'M', 'A', 'R', 'K'};
constexpr int kSize = 24;
// No index file this engine writes comes near this length.
constexpr int64_t kMaxCopy = int64_t{1} << 40;
// Lock bytes: held (read-locked) by every live writer; the counts' guard.
constexpr uint64_t kHeld = 0, kCounts = 1;

struct Counts {
  bool valid = false;  // a mark's header, and exactly the copy it names
  bool empty = false;  // nothing written yet
  uint32_t begun = 0, ended = 0;
  int64_t copy = 0;
  bool fallback = false;  // the copy is put back only when the file does not load
  bool made = false;      // the index file is one a writer made and has not finished
};

constexpr uint64_t kFallback = uint64_t{1} << 63;
constexpr uint64_t kMade = uint64_t{1} << 62;

Counts ReadCounts(int fd) {
  uint8_t b[kSize];
  Counts c;
  const int64_t got = FileRead(fd, 0, b, sizeof b);
  const int64_t size = FileSize(fd);
  c.empty = got == 0 && size == 0;
  if (got == kSize && std::memcmp(b, kMagic, sizeof kMagic) == 0) {
    c.begun = cvLoadLE32(b + 8);
    c.ended = cvLoadLE32(b + 12);
    const uint64_t raw = static_cast<uint64_t>(cvLoadLE32(b + 16)) | (static_cast<uint64_t>(cvLoadLE32(b + 20)) << 32);
    c.fallback = (raw & kFallback) != 0;
    c.made = (raw & kMade) != 0;
    c.copy = static_cast<int64_t>(raw & ~(kFallback | kMade));
    c.valid = c.copy >= 0 && c.copy <= kMaxCopy && size == kSize + c.copy;
  }
  return c;
}

bool WriteHeader(int fd, uint32_t begun, uint32_t ended, int64_t copy, bool fallback = false, bool made = false) {
  uint8_t b[kSize];
  const uint64_t raw =
      static_cast<uint64_t>(copy) | (fallback && copy > 0 ? kFallback : 0) | (made && copy == 0 ? kMade : 0);
  std::memcpy(b, kMagic, sizeof kMagic);
  cvStoreLE32(b + 8, begun);
  cvStoreLE32(b + 12, ended);
  cvStoreLE32(b + 16, static_cast<uint32_t>(raw));
  cvStoreLE32(b + 20, static_cast<uint32_t>(raw >> 32));
  return FileWrite(fd, 0, b, kSize);
}

bool WriteCounts(int fd, uint32_t begun, uint32_t ended, int64_t copy, bool fallback = false, bool made = false) {
  return WriteHeader(fd, begun, ended, copy, fallback, made) && FileTruncate(fd, kSize + copy);
}

// Whether the handle is still the file the name names (a mark removed and
// made again meanwhile is another file).
bool StillNamed(int fd, const std::string& name) {
  struct stat held {}, named{};
  return ::fstat(fd, &held) == 0 && ::lstat(name.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

bool RegularHandle(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The guard of the counts is held for moments: asked again every
// millisecond, as long in all as a lock retry.
bool LockCounts(int fd) {
  for (unsigned waited = 0;; ++waited) {
    if (FileLockRegion(fd, kCounts, 1)) return true;
    if (waited >= CVwrdAccessMiliSeconds) return false;
    SleepMilliseconds(1);
  }
}

std::string FolderOf(const std::string& name) {
  const std::string folder = std::filesystem::path(name).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

[[noreturn]] void RaiseMark(const std::string& mark, int err) {
  throw ECorvidError(
      FormatMessage("Cannot mark an index file as being changed in %s: %s", {mark, std::string(std::strerror(err))}));
}

}  // namespace

bool cvIndexMarking = true;

cvIndexMark::~cvIndexMark() { Abandon(); }

std::string cvIndexMark::MarkName(const std::string& indexPath) {
  // Beside the file a link leads to, where every writer and opener looks.
  std::string path = CVO_DiskFile::NormaliseName(indexPath);
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) path = buf;
  return path + kSuffix;
}

cvIndexMark::Finding cvIndexMark::Inspect(const std::string& indexPath) {
  const std::string name = MarkName(indexPath);
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) return Finding::None;
  // Writers make only regular files, never through a link: anything else
  // under the name is no mark of theirs.
  if (!S_ISREG(st.st_mode)) return Finding::None;
  const int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? Finding::None : Finding::Dead;
  Finding f = Finding::Live;
  if (FileRegionFree(fd, kHeld, 1)) {
    const Counts c = ReadCounts(fd);
    // A writer takes its lock before it counts itself: one that was
    // between the two shows as held on a second look.
    if (!FileRegionFree(fd, kHeld, 1)) f = Finding::Live;
    else if (c.empty) f = Finding::Clean;  // made, but nothing written under it
    else if (c.valid && c.begun == c.ended) f = Finding::Clean;
    else f = Finding::Dead;
  }
  ::close(fd);
  return f;
}

std::string cvIndexMark::WhyNotRepairable(const std::string& indexPath) {
  const auto refused = [](const std::string& file, int flags) -> std::string {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | flags);
    if (fd >= 0) {
      ::close(fd);
      return {};
    }
    const int err = errno;
    if (err != EACCES && err != EPERM && err != EROFS) return {};
    return FormatMessage("%s: %s", {file, std::string(std::strerror(err))});
  };
  // Only opened, never written: a plain open of each drops no lock another
  // handle of this process holds (those belong to their own handles).
  std::string why = refused(CVO_DiskFile::NormaliseName(indexPath), 0);
  if (why.empty()) why = refused(MarkName(indexPath), O_NOFOLLOW);
  return why;
}

void cvIndexMark::Begin(const std::string& indexPath, std::vector<std::string>* folders) {
  if (fd_ >= 0) return;
  const std::string name = MarkName(indexPath);
  for (int attempt = 0;; ++attempt) {
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) RaiseMark(name, errno);
    if (!RegularHandle(fd)) {
      ::close(fd);
      RaiseMark(name, EINVAL);
    }
    // The counts are written into the mark: never into a file that has
    // another name elsewhere.  (No name at all: its last writer removed it
    // while we opened it, which the look below makes good.)
    if (struct stat st {}; ::fstat(fd, &st) != 0 || st.st_nlink > 1) {
      ::close(fd);
      RaiseMark(name, EMLINK);
    }
    // A repair holds the mark alone while it rebuilds the index: wait as
    // for any lock.
    if (!cvRetryLock([&] { return FileLockRegionShared(fd, kHeld, 1); })) {
      ::close(fd);
      cvRaise(cvErrLockFailed, {name});
    }
    if (!StillNamed(fd, name)) {
      // Removed by its last writer while we opened it: make it again.
      ::close(fd);
      if (attempt < 100) continue;
      RaiseMark(name, EAGAIN);
    }
    if (!LockCounts(fd)) {
      ::close(fd);
      cvRaise(cvErrLockFailed, {name});
    }
    const Counts c = ReadCounts(fd);
    // Content that does not check out stands for a writer that died (and
    // keeps no copy).
    const uint32_t begun = c.valid ? c.begun + 1 : c.empty ? 1 : 2;
    const uint32_t ended = c.valid ? c.ended : 0;
    const bool counted =
        WriteCounts(fd, begun, ended, c.valid ? c.copy : 0, c.valid && c.fallback, c.valid && c.made);
    const int err = errno;
    FileUnlockRegion(fd, kCounts, 1);
    // The counts and the length, which is all a reader needs; the mark's
    // name in its folder next (here or by the caller).
    const std::string folder = FolderOf(name);
    if (!counted || !FileFlushData(fd) || (!folders && !FileSyncDirectory(folder))) {
      const int why = counted ? errno : err;
      ::close(fd);
      RaiseMark(name, why);
    }
    if (folders && std::find(folders->begin(), folders->end(), folder) == folders->end()) folders->push_back(folder);
    fd_ = fd;
    name_ = name;
    repair_ = false;
    return;
  }
}

void cvIndexMark::ForceFolders(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders)
    if (!FileSyncDirectory(folder)) RaiseMark(folder, errno);
}

void cvIndexMark::End() noexcept {
  if (fd_ < 0) return;
  if (repair_) {
    // Held alone: the index is rebuilt and forced out.
    if (StillNamed(fd_, name_)) ::unlink(name_.c_str());
  } else if (LockCounts(fd_)) {
    const Counts c = ReadCounts(fd_);
    if (c.valid && WriteHeader(fd_, c.begun, c.ended + 1, c.copy, c.fallback, c.made)) {
      // The last writer out removes the mark, when every session ended.
      if (c.begun == c.ended + 1 && FileLockRegion(fd_, kHeld, 1) && StillNamed(fd_, name_))
        ::unlink(name_.c_str());
    }
  }
  Abandon();
}

bool cvIndexMark::TakeDead(const std::string& indexPath) {
  if (fd_ >= 0) return false;
  const std::string name = MarkName(indexPath);
  const int fd = ::open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    RaiseMark(name, errno);
  }
  if (!RegularHandle(fd) || !FileLockRegion(fd, kHeld, 1) || !StillNamed(fd, name)) {
    ::close(fd);
    return false;
  }
  const Counts c = ReadCounts(fd);
  if (c.empty || (c.valid && c.begun == c.ended)) {
    // Nothing to repair after all: the mark goes.
    ::unlink(name.c_str());
    ::close(fd);
    return false;
  }
  // The repair keeps its copy of the index in the mark it took (the rebuild
  // cuts the file): never in a file that has another name elsewhere, which
  // no writer of ours made (Begin refuses to count in one).
  if (struct stat st {}; ::fstat(fd, &st) != 0 || st.st_nlink != 1) {
    ::close(fd);
    RaiseMark(name, EMLINK);
  }
  fd_ = fd;
  name_ = name;
  repair_ = true;
  return true;
}

void cvIndexMark::KeepCopy(const std::function<int64_t(int64_t, uint8_t*, int32_t)>& read, int64_t size,
                           bool fallback) {
  if (fd_ < 0 || size < 0 || size > kMaxCopy) return;
  if (!LockCounts(fd_)) cvRaise(cvErrLockFailed, {name_});
  struct Unlock {
    int fd;
    ~Unlock() { FileUnlockRegion(fd, kCounts, 1); }
  } unlock{fd_};
  Counts c = ReadCounts(fd_);
  if (!c.valid) return;  // taken for dead in any case
  // The old copy goes first: a kill half-way leaves none (the file is not
  // cut yet), never a torn one.
  if (!WriteCounts(fd_, c.begun, c.ended, 0) || !FileFlushData(fd_)) RaiseMark(name_, errno);
  // A copy that cannot be written whole (a full disk) goes again: the mark
  // stays one that counts its writers and keeps no copy, and the caller
  // does not cut the file.
  const auto fail = [&](int err) {
    FileTruncate(fd_, kSize);
    RaiseMark(name_, err);
  };
  const auto write = [&](int64_t at, const uint8_t* b, int64_t n) {
    if (cvWriteFailDue(fd_, at, n)) {
      errno = ENOSPC;
      return false;
    }
    return FileWrite(fd_, at, b, static_cast<size_t>(n));
  };
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(size, 1 << 20)));
  for (int64_t at = 0; at < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - at, static_cast<int64_t>(buf.size())));
    const int64_t got = read(at, buf.data(), n);
    if (got != n) {
      FileTruncate(fd_, kSize);
      cvRaise(cvErrReadFailed, {name_});
    }
    if (!write(kSize + at, buf.data(), n)) fail(errno);
    at += n;
  }
  if (!FileFlushData(fd_)) fail(errno);
  if (cvWriteFailDue(fd_, 0, kSize)) fail(ENOSPC);
  if (!WriteHeader(fd_, c.begun, c.ended, size, fallback)) fail(errno);
  if (!FileFlushData(fd_)) RaiseMark(name_, errno);
}

void cvIndexMark::MarkMade() {
  if (fd_ < 0 || repair_) return;
  if (!LockCounts(fd_)) cvRaise(cvErrLockFailed, {name_});
  struct Unlock {
    int fd;
    ~Unlock() { FileUnlockRegion(fd, kCounts, 1); }
  } unlock{fd_};
  const Counts c = ReadCounts(fd_);
  if (!c.valid || c.copy != 0) return;
  if (!WriteHeader(fd_, c.begun, c.ended, 0, false, true) || !FileFlushData(fd_)) RaiseMark(name_, errno);
}

bool cvIndexMark::RemoveUnfinished(const std::string& indexPath) {
  cvIndexMark mark;
  if (!mark.TakeDead(indexPath)) return false;
  const Counts c = ReadCounts(mark.fd_);
  if (!c.valid || !c.made || c.copy != 0) return false;
  const std::string path = CVO_DiskFile::NormaliseName(indexPath);
  // The writer that made the file owns it, and it has no other name: a mark
  // that says otherwise (one anybody could have left) removes nothing.
  struct stat markSt {}, fileSt {};
  if (::fstat(mark.fd_, &markSt) != 0) return false;
  if (::lstat(path.c_str(), &fileSt) == 0 &&
      (!S_ISREG(fileSt.st_mode) || fileSt.st_nlink != 1 || fileSt.st_uid != markSt.st_uid))
    return false;
  // Held alone: the file first, so that a process that dies in between
  // leaves a mark beside no file, which nothing opens.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  if (StillNamed(mark.fd_, mark.name_)) ::unlink(mark.name_.c_str());
  return true;
}

void cvIndexMark::DropCopy() {
  if (fd_ < 0 || repair_ || !LockCounts(fd_)) return;
  const Counts c = ReadCounts(fd_);
  const bool drop = c.valid && (c.copy > 0 || c.made);
  const bool written = !drop || WriteCounts(fd_, c.begun, c.ended, 0);
  const bool synced = !drop || (written && FileFlushData(fd_));
  const int err = errno;
  FileUnlockRegion(fd_, kCounts, 1);
  if (!written) cvRaise(cvErrWriteFailed, {name_ + " (" + std::strerror(err) + ")"});
  if (!synced) cvRaiseFlushFailed(name_, err);
}

bool cvIndexMark::RestoreCopy(const std::string& indexPath, bool fallback) {
  if (fd_ < 0 || !repair_) return false;
  const Counts c = ReadCounts(fd_);
  if (!c.valid || c.copy == 0 || c.fallback != fallback) return false;
  // A copy is written front to back: a mark that holds less than it claims
  // (a hole made to read as zeros) would make us write what nobody kept.
  if (FileStoredBytes(fd_, kSize + c.copy) < kSize + c.copy)
    throw ECorvidError(FormatMessage("The mark %s claims a copy of %d bytes of index file %s that it does not hold, "
                                     "and it was not written back",
                                     {name_, c.copy, CVO_DiskFile::NormaliseName(indexPath)}));
  const std::string path = CVO_DiskFile::NormaliseName(indexPath);
  const int out = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (out < 0) cvRaise(cvErrResetFailed, {path});
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{out};
  if (!RegularHandle(out)) cvRaise(cvErrResetFailed, {path});
  // The copy is bytes the mark's writer left: they go only into an index
  // file of one name that this writer could have written itself.
  struct stat markSt {}, indexSt {};
  if (::fstat(fd_, &markSt) != 0 || ::fstat(out, &indexSt) != 0) cvRaise(cvErrResetFailed, {path});
  if (indexSt.st_nlink != 1)
    throw ECorvidError(FormatMessage("Index file %s has another name as well, and the copy its mark %s keeps was "
                                     "not written back",
                                     {path, name_}));
  if (const TWriterRights writer(markSt.st_uid); !writer.MayWrite(indexSt))
    throw ECorvidError(FormatMessage("Index file %s has a mark %s left by %s, who may not write it, and the copy it "
                                     "keeps was not written back: that user must open the table to repair the index",
                                     {path, name_, writer.Shown()}));
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(c.copy, 1 << 20)));
  for (int64_t at = 0; at < c.copy;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(c.copy - at, static_cast<int64_t>(buf.size())));
    if (FileRead(fd_, kSize + at, buf.data(), n) != static_cast<int64_t>(n)) cvRaise(cvErrReadFailed, {name_});
    if (!FileWrite(out, at, buf.data(), n)) cvRaise(cvErrWriteFailed, {path});
    at += static_cast<int64_t>(n);
  }
  if (!FileTruncate(out, c.copy)) cvRaise(cvErrTruncateFailed, {path});
  if (!FileFlush(out)) cvRaiseFlushFailed(path, errno);
  return true;
}

void cvIndexMark::Abandon() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  repair_ = false;
}
