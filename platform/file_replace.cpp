#include "platform/file_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace {

constexpr const char* kMsgCannotStage = "Cannot create a folder for new files in %s: %s";
constexpr const char* kMsgCannotReplace = "Cannot replace file %s: %s";
constexpr const char* kMsgNotRegularFile = "Cannot write file \"%s\". It is not a regular file";
constexpr const char* kBackupFolder = ".old";
// The mark a stage leaves in its folder once it holds it.
constexpr const char* kOwnerMark = ".~owner";
// What a stage's folder is called: the prefix and six characters.
constexpr const char kStagePrefix[] = ".~kp";
constexpr size_t kStageNameLength = sizeof kStagePrefix - 1 + 6;

TReplaceStepHook& StepHook() {
  static TReplaceStepHook hook;
  return hook;
}

void Step(const char* step, const std::string& name) {
  if (StepHook()) StepHook()(step, name);
}

[[noreturn]] void Fail(const std::string& name, int err) {
  throw EInOutError(kMsgCannotReplace, {name, std::strerror(err)});
}

// A descriptor closed however the scope ends.
class THandle {
public:
  explicit THandle(int fd = -1) : fd_(fd) {}
  ~THandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  THandle(THandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  THandle& operator=(THandle&&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

// Copies `from` into a fresh file beside `to` and moves that over `to`:
// for a target on another file system (a symbolic link pointing there).
bool CopyThenRename(const std::string& from, const std::string& to) {
  const std::string dir = ExtractFileDir(to);
  std::string temp;
  try {
    temp = GetTempFileName(dir.empty() ? "." : dir, "~kp");
  } catch (const EInOutError&) {
    return false;
  }
  bool ok = false;
  {
    THandle in(::open(from.c_str(), O_RDONLY));
    THandle out(::open(temp.c_str(), O_WRONLY | O_TRUNC));
    struct stat st {};
    if (in.get() >= 0 && out.get() >= 0 && ::fstat(in.get(), &st) == 0) {
      std::vector<char> buffer(1 << 16);
      int64_t at = 0;
      ok = true;
      for (;;) {
        const int64_t n = FileRead(in.get(), at, buffer.data(), buffer.size());
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!FileWrite(out.get(), at, buffer.data(), static_cast<size_t>(n))) {
          ok = false;
          break;
        }
        at += n;
      }
      ok = ok && ::fchmod(out.get(), st.st_mode & 07777) == 0 && ::fsync(out.get()) == 0;
    }
  }
  const int err = errno;
  if (ok && ::rename(temp.c_str(), to.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  errno = ok ? errno : err;
  return false;
}

}  // namespace

void SetReplaceStepHook(TReplaceStepHook hook) { StepHook() = std::move(hook); }

void CheckReplaceableTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    Fail(path, errno);
  }
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) throw EInOutError(kMsgNotRegularFile, {path});
  if (!S_ISREG(st.st_mode)) throw EInOutError(kMsgNotRegularFile, {path});
}

void RemoveStaleStages(const std::string& directory) noexcept {
  try {
    const std::string dir = directory.empty() ? std::string(".") : directory;
    // A folder looked at before and not changed since (its entries, so its
    // time, stay) has no stage that was not there then; one that was held
    // then is looked at again, as its holder may have ended since.  A time
    // too close to now may hide an entry made in the same tick.
    struct stat ds {};
    if (::stat(dir.c_str(), &ds) != 0) return;
    static std::mutex seenLock;
    static std::map<std::string, std::pair<ino_t, timespec>> seen;
    {
      const std::lock_guard<std::mutex> hold(seenLock);
      const auto at = seen.find(dir);
      if (at != seen.end() && at->second.first == ds.st_ino && at->second.second.tv_sec == ds.st_mtim.tv_sec &&
          at->second.second.tv_nsec == ds.st_mtim.tv_nsec)
        return;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return;
    bool held = false;
    std::vector<std::string> found;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() == kStageNameLength && n.compare(0, sizeof kStagePrefix - 1, kStagePrefix) == 0)
          found.push_back(JoinPath(dir, n));
      }
      ::closedir(d);
    }
    for (const std::string& path : found) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
      THandle d(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (d.get() < 0) continue;
      // Held: its stage is alive.  Not marked: its stage is between making
      // the folder and taking it.
      if (::flock(d.get(), LOCK_EX | LOCK_NB) != 0 ||
          ::faccessat(d.get(), kOwnerMark, F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
        held = true;
        continue;
      }
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
    if (!held && ::time(nullptr) > ds.st_mtim.tv_sec + 2) {
      const std::lock_guard<std::mutex> hold(seenLock);
      if (seen.size() > 1000) seen.clear();
      seen[dir] = {ds.st_ino, ds.st_mtim};
    }
  } catch (...) {
    // Left for a later look.
  }
}

TReplaceStage::TReplaceStage(const std::string& directory)
    : targetDir_(ExcludeTrailingPathDelimiter(NormalizePath(directory))) {
  const std::string where = targetDir_.empty() ? "." : targetDir_;
  RemoveStaleStages(where);
  std::string tmpl = IncludeTrailingPathDelimiter(where) + kStagePrefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    const int err = errno;
    throw EInOutError(kMsgCannotStage, {where, std::strerror(err)});
  }
  dir_ = buf.data();
  // Held for this stage's life, and marked once held: a folder found
  // marked and not held was left by a process that ended.
  lock_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int mark = -1;
  if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0 ||
      (mark = ::openat(lock_, kOwnerMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0) {
    const int err = errno;
    if (lock_ >= 0) ::close(lock_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw EInOutError(kMsgCannotStage, {where, std::strerror(err)});
  }
  ::close(mark);
}

TReplaceStage::~TReplaceStage() {
  // Removed while still held, so no other look takes it for stale.
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  if (lock_ >= 0) ::close(lock_);
}

std::string TReplaceStage::Path(const std::string& name) const { return JoinPath(dir_, name); }

std::string TReplaceStage::TargetOf(const std::string& name) const {
  const std::string given = JoinPath(targetDir_, name);
  const std::optional<std::string> existing = FindExistingFile(given);
  if (!existing) return given;
  struct stat st {};
  if (::lstat(existing->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(existing->c_str(), resolved)) return resolved;
  }
  return *existing;
}

std::vector<std::string> TReplaceStage::StagedNames() const {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir_.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != ".." && n != kBackupFolder && n != kOwnerMark) names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> TReplaceStage::Commit(const std::string& last) {
  std::vector<std::string> names = StagedNames();
  const auto at = std::find(names.begin(), names.end(), last);
  if (at != names.end()) std::rotate(at, at + 1, names.end());

  // Every old file is ours before anything moves.
  struct TMove {
    std::string name, target, backup;
    bool existed = false;
  };
  std::vector<TMove> moves;
  std::vector<THandle> held;
  for (const std::string& n : names) {
    TMove m{n, TargetOf(n), {}, false};
    CheckReplaceableTarget(m.target);
    m.existed = FindExistingFile(m.target).has_value();
    Step("take", n);
    if (m.existed) {
      THandle h(FileOpen(m.target, false, false));
      if (h.get() < 0) Fail(m.target, errno);
      held.push_back(std::move(h));
    }
    moves.push_back(std::move(m));
  }
  // The old files stay reachable until all new ones are in place: without
  // a way back for each, nothing moves.
  const std::string backups = JoinPath(dir_, kBackupFolder);
  if (::mkdir(backups.c_str(), 0700) != 0) Fail(backups, errno);
  for (TMove& m : moves) {
    if (!m.existed) continue;
    Step("backup", m.name);
    if (::link(m.target.c_str(), JoinPath(backups, m.name).c_str()) != 0) Fail(m.target, errno);
    m.backup = JoinPath(backups, m.name);
  }

  size_t moved = 0;
  try {
    for (TMove& m : moves) {
      const std::string staged = Path(m.name);
      Step("flush", m.name);
      {
        THandle f(::open(staged.c_str(), O_RDONLY));
        if (f.get() < 0) Fail(staged, errno);
        // The new file gets the old one's permissions, or those a newly
        // created file would get.
        struct stat st {};
        if (m.existed && ::stat(m.target.c_str(), &st) == 0 && ::fchmod(f.get(), st.st_mode & 07777) != 0)
          Fail(staged, errno);
        if (::fsync(f.get()) != 0) Fail(staged, errno);
      }
      Step("move", m.name);
      if (::rename(staged.c_str(), m.target.c_str()) != 0) {
        if (errno != EXDEV || !CopyThenRename(staged, m.target)) Fail(m.target, errno);
      }
      ++moved;
    }
    // The moves are only done once the folders hold them.
    std::set<std::string> dirs;
    for (const TMove& m : moves) dirs.insert(ExtractFileDir(m.target));
    for (const std::string& d : dirs) {
      Step("sync", d);
      if (!FileSyncDirectory(d)) Fail(d.empty() ? "." : d, errno);
    }
  } catch (...) {
    // What moved goes back; a target that did not exist goes again.
    for (size_t i = moved; i-- > 0;) {
      const TMove& m = moves[i];
      if (!m.backup.empty()) ::rename(m.backup.c_str(), m.target.c_str());
      else if (!m.existed) ::unlink(m.target.c_str());
    }
    throw;
  }
  std::vector<std::string> targets;
  for (const TMove& m : moves) targets.push_back(m.target);
  return targets;
}
