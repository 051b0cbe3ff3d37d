// Opens a table with its index beside a "being changed" mark of arbitrary
// bytes, in a scratch folder tree: root/{victim/{v.txt, m, i}, t/{table
// files, index, index-changing}}.  The table (50 records, NAME C(10)) and
// its index are built once per kind and copied in for every run.  An open
// that finds a mark nobody holds whose counts differ puts back the copy it
// keeps (read-write) and rebuilds the index, or refuses (read-only); every
// outcome must be an open or one of the engine's errors.
//
// The run aborts when anything outside t/ changed, when a read-only open
// changed anything in t/, when a table opened and its index does not find
// every record by its key, when a read-only open accepted a mark of a
// writer that died, and when the copy went into an index that the mark's
// owner may not write or that has a second name: such an index must then
// be as before or as the opener's own rebuild from the table leaves it,
// and an open that would have to put the copy back must refuse.
//
// Input: byte 0: bits 0-1 the index kind (NTX, NDX, MDX, CDX); bit 2 the
// mark fixed up (its magic, and a copy length that matches the bytes that
// follow the header; the top bit of that length, the fallback bit, kept);
// bit 3 the copy a real copy of the good index, edited by the bytes after
// the header (3 bytes each: LE16 offset, a byte xor-ed in); bit 4 opened
// read-only; bit 5 shared; bit 6 the mark given to another user (when the
// run may give files away), the index left writable by its owner only;
// bit 7 the index file spoilt (its first 64 bytes), so that it does not
// load.  Byte 1: bits 0-1 the mark's form (1: a hard link to victim/m; 2:
// a symbolic link to victim/m; else a file); bit 2 the index a hard link
// to victim/i.  The rest: the mark's bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/table_file.h"
#include "fuzz_support.h"
#include "platform/exceptions.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecords = 50;
constexpr size_t kHeader = 24;
constexpr uint64_t kFallback = uint64_t{1} << 63;

struct Kind {
  const char* table;  // the table's kind for cvCreateDBF
  const char* index;  // the index file
  const char* tag;    // its tag ("" for a single-key file)
};
const Kind kKinds[4] = {{"3", "n.ntx", ""}, {"3", "n.ndx", ""}, {"4", "p.mdx", "N"}, {"F", "p.cdx", "N"}};

// The files of one kind's folder, as built.
struct Built {
  std::map<std::string, std::vector<uint8_t>> files;
  std::vector<uint8_t> good;                  // the index
  std::vector<std::vector<uint8_t>> rebuilt;  // the index as a rebuild from the table leaves it
};

void PutFiles(const std::string& dir, const Built& b) {
  for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
  for (const auto& [name, bytes] : b.files) fuzz::WriteFile(dir + "/" + name, bytes);
}

std::vector<uint8_t> DeadMark() {
  std::vector<uint8_t> m(kHeader, 0);
  std::memcpy(m.data(), "CVIXMARK", 8);
  fuzz::Put32(m, 8, 1);
  return m;
}

std::string IndexList(const Kind& k) { return k.index; }
std::string TagName(const Kind& k) { return *k.tag ? k.tag : std::string(k.index).substr(0, 1); }

// Opens the table in `dir` with the index; walks it: every record must be
// found by its key when the tag is still NAME's (a copy put back may have
// brought other definitions).  True when it opened with the tag active.
bool OpenAndWalk(const std::string& dir, const Kind& k, bool readWrite, bool shared, bool append) {
  CVO_dBHandler h(dir + "/p.dbf", "", readWrite, shared);
  h.kvSetTranslateAscii(false);
  if (h.cvIndex(IndexList(k), TagName(k)) != 0) return false;
  CVobjIndexTag* tag = h.cvActiveTag();
  if (!tag) return false;
  std::string expr = tag->KeyExpression();
  expr.erase(std::remove(expr.begin(), expr.end(), ' '), expr.end());
  std::transform(expr.begin(), expr.end(), expr.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const bool plain = expr == "NAME" && !tag->HasFor() && !tag->Unique() && tag->KeyType() == 'C';
  auto check = [&] {
    int32_t keys = 0;
    std::string key;
    for (int32_t r = h.cvGetKey(cvReadTop, key); r != 0 && keys <= 10 * kRecords; r = h.cvGetKey(cvReadNext, key))
      ++keys;
    if (!plain) return;
    int32_t found = 0;
    for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
      h.cvGetRec(r);
      found += h.cvFind(h.cvStringGet("NAME")) ? 1 : 0;
    }
    if (found != h.cvRecordCount() || keys != h.cvRecordCount()) {
      std::fprintf(stderr, "the index finds %d of %d records and holds %d keys\n", found, h.cvRecordCount(), keys);
      std::abort();
    }
  };
  check();
  if (append && readWrite) {
    // A writing session begins on the mark as it was left.
    try {
      h.cvBlank();
      h.cvStringPut("NAME", "ZZADDED");
      h.cvAppend();
    } catch (const Exception&) {
      return true;
    }
    check();
  }
  return true;
}

Built Build(const Kind& k) {
  TempDir dir("dirlook-fuzz-build");
  const std::string table = dir / "p.dbf";
  cvCreateDBF(table, k.table, [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    if (i == 1) n = "NAME", t = "C", l = 10, d = 0;
    if (i == 2) n = "FM", t = "N", l = 8, d = 2;
    if (i == 3) n = "NOTE", t = "M", l = 10, d = 0;
    return true;
  });
  {
    CVO_dBHandler h(table, "", true, false);
    h.kvSetTranslateAscii(false);
    uint32_t seed = 12345;
    for (int i = 0; i < kRecords; ++i) {
      std::string name;
      for (int c = 0; c < 1 + i % 7; ++c) {
        seed = seed * 1103515245u + 12345u;
        name += static_cast<char>('A' + (seed >> 16) % 26);
      }
      h.cvBlank();
      h.cvStringPut("NAME", name);
      h.cvNumberPut("FM", i * 1.25);
      h.cvAppend();
    }
    if (h.cvIndexTo(k.index, k.tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending) != 0)
      std::abort();
    h.cvCloseTable();
  }
  Built b;
  for (const auto& e : fs::directory_iterator(dir.path())) b.files[e.path().filename()] = fuzz::ReadFile(e.path());
  b.good = b.files.at(k.index);
  // What the opener's own rebuild makes of it (exclusive and shared).
  for (bool shared : {false, true}) {
    fuzz::WriteFile(cvIndexMark::MarkName(dir / k.index), DeadMark());
    try {
      OpenAndWalk(dir.path(), k, true, shared, false);
    } catch (const Exception&) {
      std::abort();
    }
    b.rebuilt.push_back(fuzz::ReadFile(dir / k.index));
  }
  return b;
}

// What the mark's bytes say, read from its format.
struct Reading {
  bool dead = false;  // left by a writer that stopped half-way
  bool copy = false;  // holds a copy, whole
  bool fallback = false;
};

Reading Read(const std::vector<uint8_t>& m) {
  Reading r;
  if (m.empty()) return r;
  r.dead = true;
  if (m.size() < kHeader || std::memcmp(m.data(), "CVIXMARK", 8) != 0) return r;
  const uint64_t raw = fuzz::Get64(m, 16);
  const uint64_t copy = raw & ~kFallback;
  const bool valid = copy == m.size() - kHeader;
  r.dead = !(valid && fuzz::Get32(m, 8) == fuzz::Get32(m, 12));
  r.copy = valid && copy > 0;
  r.fallback = (raw & kFallback) != 0;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::FastLockRetries();
  static const std::string root = fuzz::WorkDir() + "/mark";
  static const std::string t = root + "/t", victim = root + "/victim";
  static const std::vector<uint8_t> victimText = {'v', 'i', 'c', 't', 'i', 'm'};
  static const std::vector<Built> built = [] {
    std::vector<Built> all;
    for (const Kind& k : kKinds) all.push_back(Build(k));
    fs::create_directories(t);
    return all;
  }();

  const Kind& k = kKinds[data[0] & 3];
  const Built& b = built[data[0] & 3];
  const bool fixUp = data[0] & 4, realCopy = data[0] & 8, readWrite = !(data[0] & 16), shared = data[0] & 32;
  const bool givenAway = (data[0] & 64) && ::geteuid() == 0, spoil = data[0] & 128;
  const uint8_t form = size > 1 ? data[1] & 3 : 0;
  const bool indexLinked = size > 1 && (data[1] & 4);
  std::vector<uint8_t> mark(data + std::min<size_t>(size, 2), data + size);

  if (fixUp || realCopy) {
    if (mark.size() < kHeader) mark.resize(kHeader, 0);
    std::memcpy(mark.data(), "CVIXMARK", 8);
    const uint64_t fallback = fuzz::Get64(mark, 16) & kFallback;
    if (realCopy) {
      std::vector<uint8_t> copy = b.good;
      for (size_t at = kHeader; at + 3 <= mark.size(); at += 3)
        copy[(mark[at] | (mark[at + 1] << 8)) % copy.size()] ^= mark[at + 2];
      mark.resize(kHeader);
      mark.insert(mark.end(), copy.begin(), copy.end());
    }
    fuzz::Put64(mark, 16, (mark.size() - kHeader) | fallback);
  }
  const Reading reading = form == 2 ? Reading{} : Read(mark);

  // The folders as they were.
  fs::remove_all(victim);
  fs::create_directories(victim);
  fuzz::WriteFile(victim + "/v.txt", victimText);
  PutFiles(t, b);
  const std::string index = t + "/" + k.index, markName = cvIndexMark::MarkName(index);
  if (spoil) {
    std::vector<uint8_t> bad = b.good;
    std::fill(bad.begin(), bad.begin() + std::min<size_t>(64, bad.size()), 0xEE);
    fuzz::WriteFile(index, bad);
  }
  if (indexLinked) fs::create_hard_link(index, victim + "/i");
  if (form == 1 || form == 2) {
    fuzz::WriteFile(victim + "/m", mark);
    if (form == 1) fs::create_hard_link(victim + "/m", markName);
    else fs::create_symlink(victim + "/m", markName);
  } else {
    fuzz::WriteFile(markName, mark);
  }
  if (givenAway) {
    if (::lchown(markName.c_str(), 4242, 4242) != 0 || ::chmod(index.c_str(), 0644) != 0) std::abort();
  }
  // The copy may not go into the index: it must stay as it was or become
  // what the opener's own rebuild makes of it.
  const bool copyBarred = givenAway || indexLinked;

  std::map<std::string, std::string> before, after, tBefore, tAfter;
  fuzz::Snapshot(root, t, before);
  if (indexLinked) before.erase(victim + "/i");
  fuzz::Snapshot(t, "", tBefore);
  const std::vector<uint8_t> indexBefore = fuzz::ReadFile(index);
  bool opened = false;
  std::string why;
  try {
    opened = OpenAndWalk(t, k, readWrite, shared, !copyBarred);
  } catch (const Exception& e) {
    why = e.Message();
  }
  fuzz::Snapshot(root, t, after);
  if (indexLinked) after.erase(victim + "/i");
  fuzz::Snapshot(t, "", tAfter);
  const std::vector<uint8_t> indexAfter = fuzz::ReadFile(index);

  // MARKFUZZ_SAY=1 tells each run's outcome (to check what the seeds reach).
  if (std::getenv("MARKFUZZ_SAY"))
    std::fprintf(stderr, "opened %d index %s mark %s: %s\n", opened,
                 indexAfter == indexBefore ? "same"
                 : indexAfter == b.good    ? "good"
                                           : "other",
                 fs::exists(fs::symlink_status(markName)) ? "kept" : "gone", why.c_str());
  if (after != before) {
    for (const auto& [p, v] : after)
      if (!before.count(p) || before[p] != v) std::fprintf(stderr, "changed: %s\n", p.c_str());
    for (const auto& [p, v] : before)
      if (!after.count(p)) std::fprintf(stderr, "gone: %s\n", p.c_str());
    std::fprintf(stderr, "the open changed a file outside the table's folder (%s)\n", why.c_str());
    std::abort();
  }
  if (!readWrite && tAfter != tBefore) {
    std::fprintf(stderr, "a read-only open changed the table's folder\n");
    std::abort();
  }
  if (!readWrite && reading.dead && opened) {
    std::fprintf(stderr, "a read-only open took an index left half-written\n");
    std::abort();
  }
  if (copyBarred && indexAfter != indexBefore &&
      std::find(b.rebuilt.begin(), b.rebuilt.end(), indexAfter) == b.rebuilt.end() && indexAfter != b.good) {
    std::fprintf(stderr, "the mark's copy went into an index its owner may not write (%s)\n", why.c_str());
    std::abort();
  }
  if (copyBarred && readWrite && reading.dead && reading.copy && (!reading.fallback || spoil) &&
      (opened || indexAfter != indexBefore)) {
    std::fprintf(stderr, "an open that may not put back the mark's copy did not refuse (%s)\n", why.c_str());
    std::abort();
  }
  return 0;
}
