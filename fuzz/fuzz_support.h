// Helpers shared by the fuzz targets that open files of arbitrary bytes.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/index_key.h"
#include "dbf_engine/expr/value_buffer.h"

namespace fuzz {

// A private directory for the run, made once.
inline const std::string& WorkDir() {
  static const TempDir dir("dirlook-fuzz");
  return dir.path();
}

// Writes the input as the file `name` in the work directory; returns its path.
inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = WorkDir() + "/" + name;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

// Writes `b` as the file `path` (made or cut).
inline void WriteFile(const std::string& path, const std::vector<uint8_t>& b) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
  }
}

// The bytes of the file `path` (none when it cannot be read).
inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
  }
  return b;
}

// Every entry below `dir` but `skip`: its kind, its link target or its bytes.
inline void Snapshot(const std::string& dir, const std::string& skip, std::map<std::string, std::string>& out) {
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string p = e.path().string();
    if (p == skip) continue;
    struct stat st {};
    ::lstat(p.c_str(), &st);
    if (S_ISLNK(st.st_mode)) {
      out[p] = "link " + std::filesystem::read_symlink(p).string();
    } else if (S_ISDIR(st.st_mode)) {
      out[p] = "dir";
      Snapshot(p, skip, out);
    } else {
      const auto b = ReadFile(p);
      out[p] = std::string(b.begin(), b.end());
    }
  }
}

// Little-endian fields of a byte image.
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint64_t Get64(const std::vector<uint8_t>& b, size_t at) {
  return Get32(b, at) | (static_cast<uint64_t>(Get32(b, at + 4)) << 32);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

// Lock retries would only slow the run down: one file, one handle.
inline void FastLockRetries() {
  static const bool once = [] {
    CVwrdAccessMiliSeconds = 1;
    CVwrdAccessMSecDelay = 1;
    return true;
  }();
  (void)once;
}

// Walks a tag both ways and seeks; in read-write mode adds and deletes keys so
// nodes split.  Walks are bounded: a corrupt file may share subtrees between
// parents.
inline void WalkAndEdit(CVobjIndexTag* tag, bool readWrite, int32_t adds) {
  constexpr int kMaxSteps = 20000;
  tag->TagOpen(cvTagOpenTop);
  int steps = 0;
  for (int32_t r = tag->KeyRead(cvReadTop); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadNext)) ++steps;
  steps = 0;
  for (int32_t r = tag->KeyRead(cvReadBottom); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadPrevious)) ++steps;
  const bool text = tag->KeyType() == 'C';
  TcvVariant v;
  if (text) v.PutString("M");
  else v.PutFloat(1.5);
  tag->KeyFind(v);
  if (!readWrite) return;
  CVobjIndexKeyData k(0);
  for (int32_t i = 1; i <= adds; ++i) {
    if (text) k.PutString(std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i));
    else k.PutFloat(i * 0.5 - 7);
    k.Link = i;
    tag->KeyAdd(k);
    if (i % 3 == 0) tag->KeyDelete(k);
  }
  tag->TagClose();
}

}  // namespace fuzz
