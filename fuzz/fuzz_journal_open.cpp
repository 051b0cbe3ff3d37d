// Opens a table beside a journal of arbitrary bytes, in a scratch folder
// tree: root/{victim.txt, other/, t/{p.dbf, p.fpt, n.ntx, links}}.  The open
// rolls the journal back or refuses it with one of the engine's errors;
// the run aborts when anything outside t/ changed or appeared, when a file
// of t/ was written through a symbolic link, or when a file of t/ grew
// beyond the bytes the journal holds.
//
// The rollback must also keep to its writer's rights, to files of one name
// and to the bytes the journal stores: the run aborts when a file that the
// journal's writer may not write changed, when a file outside t/ reached
// through a hard link changed (it is outside t/, so the first check finds
// it), or when a hole in the journal was written out as a file.
//
// Input: byte 0 selects the fix-ups (bit 0: every checksum recomputed; bit
// 1: the journal bound to this table as well, its mark in the table, so
// that the pieces reach the write-back; bit 2: n.ntx a hard link to a file
// outside t/; bit 3: the journal written by another user, the memo and the
// index by a third, when the run may give files away; bit 4: a last piece
// of 64 KiB of zeros for n.ntx, stored as a hole), then the journal's
// bytes.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/table/table_file.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Table() {
  // dBase III, one C(5) field, three records.
  std::vector<uint8_t> t(65, 0);
  t[0] = 0x03, t[1] = 124, t[2] = 1, t[3] = 1;
  t[4] = 3;
  t[8] = 65, t[10] = 6;
  std::memcpy(&t[32], "NAME", 4);
  t[43] = 'C', t[48] = 5;
  t[64] = 0x0D;
  for (const char* r : {" alpha", "*bravo", " charl"}) t.insert(t.end(), r, r + 6);
  t.push_back(0x1A);
  return t;
}

void Write(const std::string& path, const std::vector<uint8_t>& b) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
  }
}

std::vector<uint8_t> Read(const std::string& path) {
  std::vector<uint8_t> b;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
  }
  return b;
}

// Every entry below `dir` but t/: its kind, its link target or its bytes.
void Snapshot(const std::string& dir, const std::string& skip, std::map<std::string, std::string>& out) {
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string p = e.path().string();
    if (p == skip) continue;
    struct stat st {};
    ::lstat(p.c_str(), &st);
    if (S_ISLNK(st.st_mode)) {
      out[p] = "link " + fs::read_symlink(p).string();
    } else if (S_ISDIR(st.st_mode)) {
      out[p] = "dir";
      Snapshot(p, skip, out);
    } else {
      const auto b = Read(p);
      out[p] = std::string(b.begin(), b.end());
    }
  }
}

uint32_t Crc(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc;
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint64_t Get64(const std::vector<uint8_t>& b, size_t at) {
  return Get32(b, at) | (static_cast<uint64_t>(Get32(b, at + 4)) << 32);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

// Recomputes the checksums of a journal (and, asked, binds it to `table`)
// as anyone could: the checks that count are not these.
// The mark a bound journal finds in its table (header bytes 24..27).
constexpr uint8_t kMark[4] = {'M', 'R', 'K', '1'};

void FixUp(std::vector<uint8_t>& j, bool bind, const std::vector<uint8_t>& table) {
  if (j.size() < 64) return;
  if (bind) Put32(j, 8, 3);
  uint32_t n = Get32(j, 36);
  if (bind) {
    // The table's name in place of whatever name there was.
    const std::string name = "p.dbf";
    if (n <= j.size() - 64) j.erase(j.begin() + 64, j.begin() + 64 + n);
    j.insert(j.begin() + 64, name.begin(), name.end());
    n = static_cast<uint32_t>(name.size());
    Put32(j, 36, n);
  }
  if (n > j.size() - 64) return;
  uint8_t s[4];
  std::memcpy(s, &j[12], 4);
  const uint32_t seeded = Crc(0xFFFFFFFFu, s, 4);
  std::vector<std::pair<uint64_t, uint64_t>> kept;
  uint32_t pieces = 0;
  for (size_t at = 64 + n; at + 48 <= j.size();) {
    const uint32_t nl = Get32(j, at + 4);
    const uint64_t from = Get64(j, at + 8), length = Get64(j, at + 16);
    if (nl > 4096 || at + 48 + nl > j.size() || length > j.size() - at - 48 - nl) break;
    const uint8_t* name = &j[at + 48];
    Put32(j, at + 32, ~Crc(seeded, &j[at + 48 + nl], length));
    Put32(j, at + 36, ~Crc(Crc(seeded, &j[at], 36), name, nl));
    if (std::string(reinterpret_cast<const char*>(name), nl) == "p.dbf") kept.emplace_back(from, from + length);
    ++pieces;
    at += 48 + nl + length;
  }
  if (bind) {
    Put32(j, 16, pieces);
    Put32(j, 20, 1 | 8);  // bound, the table marked
    std::memcpy(&j[56], kMark, 4);
    std::memcpy(&j[60], &table[24], 4);
    Put64(j, 24, table.size());
    // The bytes of the table that no piece keeps.
    uint32_t rest = seeded;
    for (size_t i = 0; i < table.size(); ++i) {
      bool covered = false;
      for (const auto& [a, b] : kept) covered = covered || (i >= a && i < b);
      if (!covered) rest = Crc(rest, &table[i], 1);
    }
    Put32(j, 32, ~rest);
  }
  Put32(j, 52, ~Crc(Crc(0xFFFFFFFFu, j.data(), 52), &j[64], n));
}

// Appends a piece of `hole` zero bytes for n.ntx, every checksum right;
// its bytes are left out, for the file to be made longer over a hole.
void AddHolePiece(std::vector<uint8_t>& j, uint64_t hole) {
  if (j.size() < 64) return;
  uint8_t s[4];
  std::memcpy(s, &j[12], 4);
  const uint32_t seeded = Crc(0xFFFFFFFFu, s, 4);
  const std::string name = "n.ntx";
  std::vector<uint8_t> p(48, 0);
  std::memcpy(&p[0], "PIEC", 4);
  Put32(p, 4, static_cast<uint32_t>(name.size()));
  Put64(p, 16, hole);
  Put64(p, 24, hole);
  const std::vector<uint8_t> z(static_cast<size_t>(hole), 0);
  Put32(p, 32, ~Crc(seeded, z.data(), z.size()));
  Put32(p, 36, ~Crc(Crc(seeded, p.data(), 36), reinterpret_cast<const uint8_t*>(name.data()), name.size()));
  j.insert(j.end(), p.begin(), p.end());
  j.insert(j.end(), name.begin(), name.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::FastLockRetries();
  static const std::string root = fuzz::WorkDir() + "/tree";
  static const std::string t = root + "/t";
  static const std::vector<uint8_t> table = Table();
  static const std::vector<uint8_t> memo(512, 'm');
  static const std::vector<uint8_t> index(1024, 'i');
  static const bool made = [] {
    fs::create_directories(t);
    fs::create_directories(root + "/other");
    Write(root + "/victim.txt", {'v', 'i', 'c', 't', 'i', 'm'});
    Write(root + "/VICTIM.TXT", {'V', 'I', 'C', 'T', 'I', 'M'});
    return true;
  }();
  (void)made;

  // The table's folder as it was, plus links that lead out of it.
  for (const auto& e : fs::directory_iterator(t)) fs::remove_all(e.path());
  std::vector<uint8_t> marked = table;
  if ((data[0] & 3) == 3) std::memcpy(&marked[24], kMark, 4);
  Write(t + "/p.dbf", marked);
  Write(t + "/p.fpt", memo);
  if (data[0] & 4) {
    fs::remove(root + "/other/hard.ntx");
    Write(root + "/other/hard.ntx", index);
    fs::create_hard_link(root + "/other/hard.ntx", t + "/n.ntx");
  } else {
    Write(t + "/n.ntx", index);
  }
  fs::create_symlink(root + "/victim.txt", t + "/v.ntx");
  fs::create_symlink(root + "/other/new.cdx", t + "/new.cdx");
  fs::create_symlink(root + "/other", t + "/sub");
  std::vector<uint8_t> journal(data + 1, data + size);
  if (data[0] & 1) FixUp(journal, (data[0] & 2) != 0, table);
  constexpr uint64_t kHole = 64 << 10;
  if (data[0] & 16) AddHolePiece(journal, kHole);
  Write(t + "/p.dbf-journal", journal);
  if (data[0] & 16) fs::resize_file(t + "/p.dbf-journal", journal.size() + kHole);
  // Given away: the journal to one user, the memo and the index to another
  // who lets nobody else write them.
  const bool givenAway = (data[0] & 8) && ::geteuid() == 0;
  if (givenAway) {
    if (::chown((t + "/p.dbf-journal").c_str(), 4242, 4242) != 0 || ::chown((t + "/p.fpt").c_str(), 4243, 4243) != 0 ||
        ::chown((t + "/n.ntx").c_str(), 4243, 4243) != 0 || ::chmod((t + "/p.fpt").c_str(), 0644) != 0 ||
        ::chmod((t + "/n.ntx").c_str(), 0644) != 0)
      std::abort();
  }

  std::map<std::string, std::string> before, after;
  Snapshot(root, t, before);
  try {
    CVO_dBaseDBF open(t + "/p.dbf", "", false, true);
  } catch (const ECorvidError&) {
  } catch (const ECorvidEncryption&) {
    // A table that the rollback left enciphered (the journal's bytes).
  }
  Snapshot(root, t, after);
  if (after != before) {
    std::fprintf(stderr, "the journal wrote outside the table's folder\n");
    std::abort();
  }
  // No file of the folder grew beyond what the journal could hold, and the
  // links are still links.
  for (const auto& e : fs::directory_iterator(t)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    if (S_ISREG(st.st_mode) && e.path().filename() != "p.dbf-journal" &&
        static_cast<size_t>(st.st_size) > size + 4096) {
      std::fprintf(stderr, "%s grew to %lld bytes\n", e.path().c_str(), static_cast<long long>(st.st_size));
      std::abort();
    }
  }
  if (givenAway && (Read(t + "/p.fpt") != memo || Read(t + "/n.ntx") != index)) {
    std::fprintf(stderr, "the journal wrote into a file its writer may not write\n");
    std::abort();
  }
  for (const char* l : {"/v.ntx", "/new.cdx", "/sub"}) {
    struct stat st {};
    if (::lstat((t + l).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "%s is no longer a link\n", l);
      std::abort();
    }
  }
  return 0;
}
