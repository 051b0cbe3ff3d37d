// Helpers of the tests that fill the disk: a guard that disarms the engine's
// write-fail countdown however a scope is left, and snapshots of every
// file in a folder, byte for byte, to show that a write that failed left
// each file as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/test_files.h"
#include "dbf_engine/table/disk_file.h"

// Disarms the write-fail countdown however the scope is left, so that a
// failed assertion does not leave the next test's writes failing.
struct WriteFailGuard {
  WriteFailGuard() = default;
  WriteFailGuard(const WriteFailGuard&) = delete;
  WriteFailGuard& operator=(const WriteFailGuard&) = delete;
  ~WriteFailGuard() { cvSetWriteFailCountdown(0); }
};

// Every file of a folder (not below it) by name, with its bytes; anything
// but a regular file stands with no bytes.  The "being changed" mark of an
// index file that a handle still open writes is left out: it stands for the
// writer, not for what the files hold.
using FileBytes = std::map<std::string, std::vector<uint8_t>>;

inline FileBytes Snapshot(const TempDir& dir) {
  FileBytes files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (name.size() > 9 && name.compare(name.size() - 9, 9, "-changing") == 0) continue;
    files[name] = e.is_regular_file() ? ReadAll(e.path().string()) : std::vector<uint8_t>{};
  }
  return files;
}

// The names of the files whose bytes differ between two snapshots (those
// missing on either side included), each followed by a space; empty when
// the two are the same.
inline std::string Differing(const FileBytes& a, const FileBytes& b) {
  std::string out;
  for (const auto& [name, bytes] : a) {
    auto it = b.find(name);
    if (it == b.end() || it->second != bytes) out += name + " ";
  }
  for (const auto& [name, bytes] : b)
    if (!a.count(name)) out += name + " ";
  return out;
}
