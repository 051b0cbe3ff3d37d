#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/exceptions.h"
#include "platform/text.h"

namespace {

size_t LastDelimiter(std::string_view name) {
  for (size_t i = name.size(); i > 0; --i)
    if (IsPathDelimiter(name[i - 1])) return i - 1;
  return std::string_view::npos;
}

// Start of the extension ("." included) or npos.
size_t ExtStart(std::string_view name) {
  size_t d = LastDelimiter(name);
  size_t from = d == std::string_view::npos ? 0 : d + 1;
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot < from) return std::string_view::npos;
  return dot;
}

bool Exists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0;
}

struct ConfigDir {
  std::mutex m;
  std::string dir;  // empty: the executable's directory
};

ConfigDir& Config() {
  static ConfigDir c;
  return c;
}

}  // namespace

bool IsPathDelimiter(char c) { return c == '/' || c == '\\'; }

std::string NormalizePath(std::string_view name) {
  std::string r(name);
  for (char& c : r)
    if (c == '\\') c = '/';
  return r;
}

std::string ExtractFileName(std::string_view name) {
  size_t d = LastDelimiter(name);
  return std::string(d == std::string_view::npos ? name : name.substr(d + 1));
}

std::string ExtractFilePath(std::string_view name) {
  size_t d = LastDelimiter(name);
  return d == std::string_view::npos ? std::string() : std::string(name.substr(0, d + 1));
}

std::string ExtractFileDir(std::string_view name) {
  size_t d = LastDelimiter(name);
  if (d == std::string_view::npos) return {};
  if (d == 0) return std::string(name.substr(0, 1));
  return std::string(name.substr(0, d));
}

std::string ExtractFileExt(std::string_view name) {
  size_t e = ExtStart(name);
  return e == std::string_view::npos ? std::string() : std::string(name.substr(e));
}

std::string ChangeFileExt(std::string_view name, std::string_view ext) {
  size_t e = ExtStart(name);
  std::string r(e == std::string_view::npos ? name : name.substr(0, e));
  r += ext;
  return r;
}

std::string IncludeTrailingPathDelimiter(std::string_view dir) {
  std::string r(dir);
  if (!r.empty() && !IsPathDelimiter(r.back())) r += PathDelim;
  return r;
}

std::string ExcludeTrailingPathDelimiter(std::string_view dir) {
  std::string r(dir);
  while (r.size() > 1 && IsPathDelimiter(r.back())) r.pop_back();
  return r;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  if (dir.empty() || (!name.empty() && IsPathDelimiter(name.front()))) return std::string(name);
  return IncludeTrailingPathDelimiter(dir) + std::string(name);
}

std::string ExecutableDirectory() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "./";
    if (static_cast<size_t>(n) < buf.size()) return ExtractFilePath(std::string_view(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

std::string GetWindowsDirectory() {
  {
    ConfigDir& c = Config();
    std::lock_guard<std::mutex> lock(c.m);
    if (!c.dir.empty()) return c.dir;
  }
  return ExcludeTrailingPathDelimiter(ExecutableDirectory());
}

void SetWindowsDirectory(std::string_view dir) {
  ConfigDir& c = Config();
  std::lock_guard<std::mutex> lock(c.m);
  c.dir = ExcludeTrailingPathDelimiter(NormalizePath(dir));
}

std::string GetTempPath() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? NormalizePath(t) : std::string("/tmp");
  return IncludeTrailingPathDelimiter(dir);
}

std::string GetTempFileName(std::string_view dir, std::string_view prefix) {
  std::string d = dir.empty() ? GetTempPath() : IncludeTrailingPathDelimiter(NormalizePath(dir));
  std::string tmpl = d + std::string(prefix) + "XXXXXX.tmp";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkstemps(buf.data(), 4);
  if (fd < 0) {
    int err = errno;
    throw EInOutError("Cannot create temporary file in %s: %s", {d, std::strerror(err)});
  }
  ::close(fd);
  return std::string(buf.data());
}

std::optional<std::string> FindExistingFile(std::string_view name) {
  std::string path = NormalizePath(name);
  if (path.empty()) return std::nullopt;
  if (Exists(path)) return path;

  // Walk the components, keeping each that exists and otherwise looking for
  // one that differs only in the case of a..z.
  std::string done;
  size_t i = 0;
  if (path[0] == '/') {
    done = "/";
    i = 1;
  }
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (!part.empty()) {
      std::string candidate = done + part;
      if (!Exists(candidate)) {
        std::string dirName = done.empty() ? std::string(".") : done;
        std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dirName.c_str()), ::closedir);
        if (!d) return std::nullopt;
        bool found = false;
        while (dirent* e = ::readdir(d.get())) {
          if (SameText(e->d_name, part)) {
            candidate = done + e->d_name;
            found = true;
            break;
          }
        }
        if (!found) return std::nullopt;
      }
      done = candidate;
      if (j < path.size()) done += '/';
    } else if (j < path.size() && !done.empty() && done.back() != '/') {
      done += '/';
    }
    i = j + 1;
  }
  if (!done.empty() && Exists(done)) return done;
  return std::nullopt;
}

std::string ResolveFileName(std::string_view name) {
  if (auto f = FindExistingFile(name)) return *f;
  return NormalizePath(name);
}
