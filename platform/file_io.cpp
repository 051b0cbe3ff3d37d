#include "platform/file_io.h"

#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

unsigned char AsciiUpper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

bool MatchFrom(const std::string& p, size_t pi, const std::string& s, size_t si) {
  // Iterative wildcard match with single backtrack point for the last "*".
  size_t starP = std::string::npos, starS = 0;
  while (si < s.size()) {
    if (pi < p.size() && (p[pi] == '?' || AsciiUpper(p[pi]) == AsciiUpper(s[si]))) {
      ++pi;
      ++si;
    } else if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starS = si;
    } else if (starP != std::string::npos) {
      pi = starP + 1;
      si = ++starS;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

bool ExactExists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0;
}

struct flock* FillLock(struct flock& fl, short type, uint64_t offset, uint64_t length) {
  fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required for OFD locks
  return &fl;
}

bool RegionValid(uint64_t offset, uint64_t length) {
  return length != 0 && offset <= static_cast<uint64_t>(INT64_MAX) &&
         length <= static_cast<uint64_t>(INT64_MAX) - offset;
}

}  // namespace

std::string FileNormaliseSeparators(const std::string& name) {
  std::string r = name;
  std::replace(r.begin(), r.end(), '\\', '/');
  return r;
}

std::string FileExpandName(const std::string& name) {
  std::string n = FileNormaliseSeparators(name);
  if (!n.empty() && n[0] == '/') return n;
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return n;
  std::string cwd = buf;
  if (n.empty()) return cwd;
  if (cwd.back() != '/') cwd += '/';
  // "./x" reads better without the dot.
  while (n.size() > 2 && n[0] == '.' && n[1] == '/') n.erase(0, 2);
  return cwd + n;
}

std::string FileResolveExisting(const std::string& name) { return ResolveFileName(name); }

bool FileExists(const std::string& name) { return ExactExists(FileResolveExisting(name)); }

bool FileDelete(const std::string& name) { return ::unlink(FileResolveExisting(name).c_str()) == 0; }

bool FileRename(const std::string& oldName, const std::string& newName) {
  return ::rename(FileResolveExisting(oldName).c_str(), FileNormaliseSeparators(newName).c_str()) == 0;
}

bool FileNameMatches(const std::string& pattern, const std::string& name) { return MatchFrom(pattern, 0, name, 0); }

std::vector<std::string> FileFind(const std::string& directory, const std::string& pattern) {
  std::vector<std::string> out;
  const std::string dir = directory.empty() ? std::string(".") : FileNormaliseSeparators(directory);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (FileNameMatches(pattern, entry)) out.push_back(entry);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

int FileOpen(const std::string& name, bool readWrite, bool shared) {
  std::string n = FileResolveExisting(name);
  // Opened without waiting: a pipe in a file's place would hold a read-only
  // open until someone writes to it.  The reads after are positioned, so a
  // pipe fails them at once and a file is read as ever.  A file whose lease
  // another program (a file server) holds refuses such an open while the
  // lease is being broken: that one is waited for, as before.
  const int mode = (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  int fd = ::open(n.c_str(), mode | O_NONBLOCK);
  if (fd < 0 && errno == EWOULDBLOCK) fd = ::open(n.c_str(), mode);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

int FileCreate(const std::string& name) {
  std::string n = FileNormaliseSeparators(name);
  int fd = ::open(n.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  // Only empty the file once nobody else holds it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  if (::ftruncate(fd, 0) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

void FileClose(int& handle) {
  if (handle >= 0) {
    ::close(handle);  // also drops the flock hold and this description's byte-range locks
    handle = -1;
  }
}

int64_t FileRead(int handle, int64_t position, void* buffer, size_t count) {
  if (handle < 0 || position < 0) {
    errno = EBADF;
    return -1;
  }
  auto* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t r = ::pread(handle, p + done, count - done, static_cast<off_t>(position + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;  // end of file
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

bool FileWrite(int handle, int64_t position, const void* buffer, size_t count) {
  if (handle < 0 || position < 0) {
    errno = EBADF;
    return false;
  }
  const auto* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t r = ::pwrite(handle, p + done, count - done, static_cast<off_t>(position + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

int64_t FileSize(int handle) {
  struct stat st;
  if (handle < 0 || ::fstat(handle, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

namespace {
int64_t syncFailCountdown = 0;

// Counts one sync; true when this one is to fail (errno is then EIO).
bool SyncFailDue() {
  if (syncFailCountdown <= 0 || --syncFailCountdown != 0) return false;
  errno = EIO;
  return true;
}
}  // namespace

void FileSetSyncFailCountdown(int64_t n) { syncFailCountdown = n > 0 ? n : 0; }

int64_t FileSyncFailCountdown() { return syncFailCountdown; }

bool FileFlush(int handle) { return handle >= 0 && !SyncFailDue() && ::fsync(handle) == 0; }

bool FileFlushData(int handle) { return handle >= 0 && !SyncFailDue() && ::fdatasync(handle) == 0; }

bool FileSyncDirectory(const std::string& directory) {
  if (SyncFailDue()) return false;
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  const int err = errno;
  ::close(fd);
  errno = err;
  return ok;
}

bool FileTruncate(int handle, int64_t size) {
  return handle >= 0 && size >= 0 && ::ftruncate(handle, static_cast<off_t>(size)) == 0;
}

int64_t FileStoredBytes(int handle, int64_t total) {
  int64_t stored = 0, at = 0;
  // Such a file has no holes: one with very many is counted no further
  // than this.
  for (int extents = 0; at < total && extents < 4096; ++extents) {
    const off_t data = ::lseek(handle, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      struct stat st {};
      return ::fstat(handle, &st) == 0 ? std::min<int64_t>(total, int64_t{st.st_blocks} * 512) : 0;
    }
    const off_t hole = ::lseek(handle, data, SEEK_HOLE);
    const int64_t end = hole < 0 ? total : std::min<int64_t>(hole, total);
    stored += end - data;
    at = end;
  }
  return stored;
}

bool FileIsReadWrite(int handle) {
  int fl = handle >= 0 ? ::fcntl(handle, F_GETFL) : -1;
  return fl >= 0 && (fl & O_ACCMODE) == O_RDWR;
}

bool FileLockRegion(int handle, uint64_t offset, uint64_t length) {
  if (handle < 0 || !RegionValid(offset, length)) return false;
  struct flock fl;
  short type = FileIsReadWrite(handle) ? F_WRLCK : F_RDLCK;
  return ::fcntl(handle, F_OFD_SETLK, FillLock(fl, type, offset, length)) == 0;
}

bool FileLockRegionShared(int handle, uint64_t offset, uint64_t length) {
  if (handle < 0 || !RegionValid(offset, length)) return false;
  struct flock fl;
  return ::fcntl(handle, F_OFD_SETLK, FillLock(fl, F_RDLCK, offset, length)) == 0;
}

bool FileUnlockRegion(int handle, uint64_t offset, uint64_t length) {
  if (handle < 0 || !RegionValid(offset, length)) return false;
  struct flock fl;
  return ::fcntl(handle, F_OFD_SETLK, FillLock(fl, F_UNLCK, offset, length)) == 0;
}

bool FileRegionLockedByOther(int handle, uint64_t offset, uint64_t length) {
  if (handle < 0 || !RegionValid(offset, length)) return false;
  struct flock fl;
  FillLock(fl, F_WRLCK, offset, length);
  if (::fcntl(handle, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

int FileLockByName(const std::string& name, unsigned waitMs) {
  const std::string path = FileNormaliseSeparators(name);
  for (unsigned waited = 0;; waited += 10) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (FileLockRegion(fd, 0, static_cast<uint64_t>(INT64_MAX))) {
      struct stat held, named;
      if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino)
        return fd;
      // Replaced while we waited: lock the file that stands there now.
      FileClose(fd);
      continue;
    }
    FileClose(fd);
    if (waited >= waitMs) {
      errno = EAGAIN;
      return -1;
    }
    SleepMilliseconds(10);
  }
}

bool FileRegionFree(int handle, uint64_t offset, uint64_t length) {
  if (handle < 0 || !RegionValid(offset, length)) return false;
  struct flock fl;
  FillLock(fl, F_WRLCK, offset, length);
  if (::fcntl(handle, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type == F_UNLCK;
}

void SleepMilliseconds(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = commandLine.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (true) {
    while (i < n && blank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(commandLine[i]))) {
      const char c = commandLine[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') ++slashes, ++i;
        if (i < n && commandLine[i] == '"') {
          // 2k backslashes and a quote: k backslashes, and the quote opens or
          // closes; 2k+1: k backslashes and a literal quote.
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        // Inside quotes a doubled quote stands for one.
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

// Starts the program named by the first argument of `commandLine` (searched
// along PATH when it has no "/") with the rest as its arguments; no shell
// sees the text.  0 or the error number of the failed start.
int SpawnDirect(const std::string& commandLine, bool newSession, pid_t& pid) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty() || args[0].empty()) return EINVAL;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  if (int rc = ::posix_spawnattr_init(&attr); rc != 0) return rc;
  int rc = newSession ? ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID) : 0;
  // glibc reports a program that cannot be executed (missing, not
  // executable) as the error of posix_spawnp itself.
  if (rc == 0) rc = ::posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  return rc;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int SpawnProcess(const std::string& commandLine) {
  pid_t pid = 0;
  if (int rc = SpawnDirect(commandLine, true, pid); rc != 0) return rc;
  // Nobody waits for a detached process; a small thread collects its exit
  // status so that it does not stay behind as a zombie of this process.
  try {
    std::thread([pid] { WaitExit(pid); }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the process runs all the same, and is collected
    // when this process ends.
  }
  return 0;
}

int SpawnProcessAndWait(const std::string& commandLine) {
  pid_t pid = 0;
  if (SpawnDirect(commandLine, false, pid) != 0) return -1;
  return WaitExit(pid);
}
