// Pack renumbers the entries of its open index files instead of building
// them again from the records: every index file must come out byte for byte
// as a full rebuild of the packed table writes it.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/sanitizer.h"
#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/table/table_file.h"

namespace {

struct TagDef {
  std::string file, tag, key, filter;
  bool unique = false, descending = false;
};

// Each kind's index files: duplicate keys, a numeric key, a FOR tag, a
// unique tag and a descending tag (where the format has them), and a key
// that names the record number (which must not be renumbered).
std::vector<TagDef> TagsOf(const std::string& ext) {
  if (ext == "ndx")
    return {{"n1.ndx", "", "NAME", ""},
            {"n2.ndx", "", "N", ""},
            {"n3.ndx", "", "NAME", "", true},
            {"n4.ndx", "", "UPPER(NAME)+STR(N,5)", ""},
            {"n5.ndx", "", "STR(RECNO(),6)", ""}};
  if (ext == "ntx")
    return {{"t1.ntx", "", "NAME", ""},
            {"t2.ntx", "", "N", "", false, true},
            {"t3.ntx", "", "NAME", "N > 0"},
            {"t4.ntx", "", "NAME", "", true}};
  const std::string f = "x." + ext;
  return {{f, "BYNAME", "NAME", ""},
          {f, "BYN", "N", "", false, true},
          {f, "POS", "NAME", "N > 0"},
          {f, "UNQ", "NAME", "", true},
          {f, "NUMS", "STR(N,5)+NAME", ""}};
}

std::string NewTable(const std::string& dir) {
  const std::string file = dir + "/t.dbf";
  if (!cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
        if (i == 1) n = "NAME", t = "C", l = 6, d = 0;
        if (i == 2) n = "N", t = "N", l = 5, d = 0;
        return true;
      }))
    throw std::runtime_error("table not created");
  return file;
}

std::string IndexList(const std::string& dir, const std::vector<TagDef>& tags) {
  std::string list;
  for (const TagDef& t : tags) {
    const std::string name = dir + "/" + t.file;
    if (list.find(name) != std::string::npos) continue;
    if (!list.empty()) list += ";";
    list += name;
  }
  return list;
}

// Counts the records the index code reads from the table.
class CountingHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  bool ixReadRecord(int32_t recno) override {
    ++reads;
    return CVO_dBHandler::ixReadRecord(recno);
  }
  int64_t reads = 0;
};

// A table of `records` random records with the kind's indexes, changed at
// random through them (so equal keys need not lie in record order), then
// records deleted at random.  Written into `dir`.  Awkward names hold bytes
// below the blank, whose order may change with the keys' blank padding.
void MakeChangedTable(const std::string& dir, const std::string& ext, std::mt19937& rng, int records,
                      bool awkward = true) {
  std::vector<std::string> names = {"", "A", "AB", "ABC", "B", "BA", "ZZ", "\xC0\xC1"};
  if (awkward) names.insert(names.end(), {"\x01Q", "A\x01"});
  auto name = [&] { return names[rng() % names.size()]; };
  auto number = [&] { return static_cast<int>(rng() % 21) - 6; };
  const std::string file = NewTable(dir);
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 0; i < records; ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", name());
    h.cvNumberPut("N", number());
    h.cvAppend();
  }
  const std::vector<TagDef> tags = TagsOf(ext);
  for (const TagDef& t : tags)
    h.cvIndexTo(dir + "/" + t.file, t.tag, t.key, t.filter,
                t.unique ? CVsetIndexUnique::Unique : CVsetIndexUnique::Duplicates,
                t.descending ? CVsetSortStatus::Descending : CVsetSortStatus::Ascending);
  ASSERT_EQ(h.cvIndex(IndexList(dir, tags), ""), 0);
  // A multiple-index file's tags are re-entered in their list's order by a
  // rebuild: one rebuild first, so that the order no longer depends on the
  // order the tags were made in.
  h.cvReIndex();
  for (int i = 0; i < records / 2; ++i) {
    const int op = static_cast<int>(rng() % 3);
    if (op == 0) {
      h.cvBlank();
      h.cvStringPut("NAME", name());
      h.cvNumberPut("N", number());
      h.cvAppend();
    } else {
      const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(h.cvRecordCount()));
      h.cvGetRec(r);
      if (op == 1) h.cvStringPut("NAME", name());
      else h.cvNumberPut("N", number());
      h.cvPutRec(r);
    }
  }
  const int32_t count = h.cvRecordCount();
  const int deletions = static_cast<int>(rng() % static_cast<uint32_t>(count));
  for (int i = 0; i < deletions; ++i) {
    h.cvGetRec(1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(count)));
    if (!h.cvDelFlag()) h.cvDeleteRec();
  }
  h.cvCloseTable();
}

// Sets the key sorter's default budget for a scope.
class BudgetScope {
public:
  explicit BudgetScope(size_t bytes) : old_(TcvSort::DefaultMemoryBudget()) { TcvSort::SetDefaultMemoryBudget(bytes); }
  ~BudgetScope() { TcvSort::SetDefaultMemoryBudget(old_); }
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;

private:
  size_t old_;
};

// Packs a copy of the table in `a` with its indexes open and the same table
// in `b` without them, re-indexed afterwards; the files must match.  Returns
// the records the pack with indexes read.
int64_t PackBothWays(const std::string& a, const std::string& b, const std::vector<TagDef>& tags) {
  int64_t reads = 0;
  {
    CountingHandler h(a + "/t.dbf", "", true, false);
    EXPECT_EQ(h.cvIndex(IndexList(a, tags), ""), 0);
    h.reads = 0;
    h.cvPack();
    reads = h.reads;
    h.cvCloseTable();
  }
  {
    CVO_dBHandler h(b + "/t.dbf", "", true, false);
    h.cvPack();
    EXPECT_EQ(h.cvIndex(IndexList(b, tags), ""), 0);
    h.cvReIndex();
    h.cvCloseTable();
  }
  for (const auto& e : std::filesystem::directory_iterator(a)) {
    const std::string f = e.path().filename().string();
    const auto x = ReadAll(a + "/" + f), y = ReadAll(b + "/" + f);
    if (f == "t.dbf") {
      EXPECT_TRUE(x.size() > 32 && y.size() > 32 && std::equal(x.begin() + 32, x.end(), y.begin() + 32, y.end()));
      continue;
    }
    size_t at = 0;
    while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
    EXPECT_TRUE(x == y) << f << ": " << x.size() << " and " << y.size() << " bytes, first difference at " << at;
  }
  return reads;
}

// A table of `records` records written straight into the file (NAME a
// surname-like text, N a number), every tenth deleted.
std::string BulkTable(const std::string& dir, int32_t records) {
  const std::string file = NewTable(dir);
  auto bytes = ReadAll(file);
  const uint32_t header = bytes[8] | (bytes[9] << 8), length = bytes[10] | (bytes[11] << 8);
  bytes.resize(header);
  std::mt19937 rng(static_cast<uint32_t>(records));
  char rec[64];
  for (int32_t i = 1; i <= records; ++i) {
    std::snprintf(rec, sizeof rec, "%c%c%05u%5u", i % 10 == 0 ? '*' : ' ', 'A' + static_cast<int>(rng() % 26),
                  static_cast<unsigned>(rng() % 10000), static_cast<unsigned>(rng() % 100000));
    bytes.insert(bytes.end(), rec, rec + length);
  }
  bytes.push_back(0x1A);
  for (int k = 0; k < 4; ++k) bytes[4 + k] = static_cast<uint8_t>(static_cast<uint32_t>(records) >> (8 * k));
  WriteAll(file, bytes);
  return file;
}

// How far the resident high-water mark of a child process rose above its
// resident size while it packed the table of `dir` with the index files of
// `list` open, in kB; -1 when it cannot be told.
long PackPeakKb(const std::string& dir, const std::string& list) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::fflush(nullptr);
  const pid_t kid = ::fork();
  if (kid == 0) {
    ::close(fds[0]);
    long rise = -1;
    auto statusKb = [](const char* field) {
      long kb = -1;
      if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
          if (std::strncmp(line, field, std::strlen(field)) == 0)
            kb = std::strtol(line + std::strlen(field), nullptr, 10);
        std::fclose(f);
      }
      return kb;
    };
    try {
      CVO_dBHandler h(dir + "/t.dbf", "", true, false);
      if (h.cvIndex(list, "") == 0) {
        ::malloc_trim(0);
        FILE* c = std::fopen("/proc/self/clear_refs", "w");
        if (c && std::fputs("5", c) >= 0 && std::fclose(c) == 0) {
          const long base = statusKb("VmRSS:");
          h.cvPack();
          const long high = statusKb("VmHWM:");
          if (base >= 0 && high >= 0) rise = high - base;
        }
      }
    } catch (...) {
    }
    if (::write(fds[1], &rise, sizeof rise) != sizeof rise) rise = -1;
    ::_exit(0);
  }
  ::close(fds[1]);
  long rise = -1;
  if (kid < 0 || ::read(fds[0], &rise, sizeof rise) != sizeof rise) rise = -1;
  ::close(fds[0]);
  int status = 0;
  if (kid > 0) ::waitpid(kid, &status, 0);
  return rise;
}

void CopyDir(const std::string& from, const std::string& to) {
  std::filesystem::create_directory(to);
  for (const auto& e : std::filesystem::directory_iterator(from))
    std::filesystem::copy_file(e.path(), to + "/" + e.path().filename().string());
}

}  // namespace

// For every kind, with random tables: the pack's index files equal those of
// the same table packed without its indexes and then re-indexed.
TEST(PackRenumber, IndexFilesEqualAFullRebuild) {
  const int rounds = kSanitized ? 2 : 4;
  for (const std::string ext : {"ndx", "ntx", "mdx", "cdx"}) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(ext + " round " + std::to_string(round));
      std::mt19937 rng(static_cast<uint32_t>(1000 * round + ext[0] + ext[1]));
      TempDir tmp("pack-renumber");
      const std::string a = tmp / "a", b = tmp / "b";
      std::filesystem::create_directory(a);
      // Sizes from a few records to a few levels of nodes.
      MakeChangedTable(a, ext, rng, round % 2 ? 300 : 1 + static_cast<int>(rng() % 60));
      if (HasFatalFailure()) return;
      CopyDir(a, b);
      const std::vector<TagDef> tags = TagsOf(ext);
      {
        CVO_dBHandler h(a + "/t.dbf", "", true, false);
        ASSERT_EQ(h.cvIndex(IndexList(a, tags), ""), 0);
        h.cvPack();
        h.cvCloseTable();
      }
      {
        CVO_dBHandler h(b + "/t.dbf", "", true, false);
        h.cvPack();
        ASSERT_EQ(h.cvIndex(IndexList(b, tags), ""), 0);
        h.cvReIndex();
        h.cvCloseTable();
      }
      // The tables match past the header's counters.
      const auto ta = ReadAll(a + "/t.dbf"), tb = ReadAll(b + "/t.dbf");
      ASSERT_EQ(std::vector<uint8_t>(ta.begin() + 32, ta.end()), std::vector<uint8_t>(tb.begin() + 32, tb.end()));
      for (const auto& e : std::filesystem::directory_iterator(a)) {
        const std::string f = e.path().filename().string();
        if (f == "t.dbf") continue;
        const auto x = ReadAll(a + "/" + f), y = ReadAll(b + "/" + f);
        size_t at = 0;
        while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
        EXPECT_TRUE(x == y) << f << ": " << x.size() << " and " << y.size() << " bytes, first difference at " << at;
      }
    }
  }
}

// NDX, NTX and MDX tags (FOR and descending ones too) are renumbered from
// their own entries: the pack reads no record for them beyond the first (for
// the key's layout, twice per tag), where a rebuild reads them all.  An MDX
// file's numeric and unique tags are still built from the records.
TEST(PackRenumber, EntriesAreRenumberedWithoutReadingTheRecords) {
  for (const std::string ext : {"ndx", "ntx", "mdx"}) {
    SCOPED_TRACE(ext);
    std::mt19937 rng(7);
    TempDir tmp("pack-renumber");
    MakeChangedTable(tmp.path(), ext, rng, 250, false);
    if (HasFatalFailure()) return;
    const std::vector<TagDef> tags = {TagsOf(ext)[0], TagsOf(ext)[1], TagsOf(ext)[ext == "ndx" ? 3 : 2]};
    CountingHandler h(tmp / "t.dbf", "", true, false);
    ASSERT_EQ(h.cvIndex(IndexList(tmp.path(), tags), ""), 0);
    h.reads = 0;
    h.cvPack();
    if (ext == "mdx") EXPECT_LE(h.reads, 2 * h.cvRecordCount() + 2 * 5);  // BYN and UNQ rebuilt
    else EXPECT_LE(h.reads, 2 * 3);
    ASSERT_GT(h.cvRecordCount(), 0);
    // The packed index still finds every record under its new number.
    ASSERT_GT(h.cvSetTagTo(ext == "ndx" ? "n1" : ext == "ntx" ? "t1" : "BYNAME", false), 0);
    int32_t seen = 0;
    for (h.cvGetRec(-3); !h.cvEOF(); h.cvSkip(1)) ++seen;
    EXPECT_EQ(seen, h.cvRecordCount());
  }
}

// Under a small budget the renumbered entries pass through the spool's
// temporary file, and the rebuild's sorter spills its runs: the files still
// match a full rebuild, and NDX and NTX are still renumbered without reading
// the records.
TEST(PackRenumber, UnderASmallBudgetIndexFilesStillEqualAFullRebuild) {
  BudgetScope small(16 << 10);
  for (const std::string ext : {"ndx", "ntx", "mdx", "cdx"}) {
    SCOPED_TRACE(ext);
    std::mt19937 rng(static_cast<uint32_t>(ext[0] * 7 + ext[1]));
    TempDir tmp("pack-renumber");
    const std::string a = tmp / "a", b = tmp / "b";
    std::filesystem::create_directory(a);
    MakeChangedTable(a, ext, rng, kSanitized ? 800 : 2500, false);
    if (HasFatalFailure()) return;
    CopyDir(a, b);
    const std::vector<TagDef> tags = {TagsOf(ext)[0], TagsOf(ext)[1]};
    const int64_t reads = PackBothWays(a, b, tags);
    if (ext == "ndx" || ext == "ntx") {
      EXPECT_LE(reads, 2 * 2);
    }
  }
}

// A run of equal keys larger than the budget is not held: the tag is built
// again from the records, and comes out the same.
TEST(PackRenumber, ARunOfEqualKeysBeyondTheBudgetIsRebuilt) {
  BudgetScope small(16 << 10);
  for (const std::string ext : {"ndx", "ntx"}) {
    SCOPED_TRACE(ext);
    TempDir tmp("pack-renumber");
    const std::string a = tmp / "a", b = tmp / "b";
    std::filesystem::create_directory(a);
    const std::string file = NewTable(a);
    {
      CVO_dBHandler h(file, "", true, false);
      for (int i = 0; i < 3000; ++i) {
        h.cvBlank();
        h.cvStringPut("NAME", i < 2500 ? "SAME" : "OTHER");
        h.cvNumberPut("N", i);
        h.cvAppend();
        if (i % 7 == 3) h.cvDeleteRec();
      }
      const std::vector<TagDef> tags = {TagsOf(ext)[0]};
      h.cvIndexTo(a + "/" + tags[0].file, "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      h.cvCloseTable();
    }
    CopyDir(a, b);
    const int64_t reads = PackBothWays(a, b, {TagsOf(ext)[0]});
    EXPECT_GT(reads, 2000);
  }
}

// The pack's memory does not grow with the table, whatever kind of index it
// keeps: under a budget of 1 MB, which a rebuild's key sorter fills at
// either size, the rise of a child's resident high-water mark while it
// packs a table with two tags on NAME and N open differs by less than 4 MB
// between 20,000 and 300,000 records (the copy and journal buffers, which
// fill up to their fixed sizes, make up some 2 MB of it; a table of new
// numbers and the entries held in memory took some 12 MB more for two NDX
// files).
TEST(PackRenumber, MemoryDoesNotGrowWithTheTable) {
  if (kSanitized) GTEST_SKIP() << "resident sizes mean little under a sanitizer";
  BudgetScope budget(1 << 20);
  const int32_t sizes[2] = {20000, 300000};
  for (const std::string ext : {"ndx", "ntx", "mdx", "cdx"}) {
    SCOPED_TRACE(ext);
    long peak[2] = {-1, -1};
    for (int k = 0; k < 2; ++k) {
      TempDir tmp("pack-memory");
      BulkTable(tmp.path(), sizes[k]);
      const bool tagged = ext == "mdx" || ext == "cdx";
      const std::string first = tmp / ((tagged ? "x." : "name.") + ext), second = tmp / ("n." + ext);
      {
        CVO_dBHandler h(tmp / "t.dbf", "", true, false);
        h.cvIndexTo(first, "BYNAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        h.cvIndexTo(tagged ? first : second, "BYN", "N", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      }
      peak[k] = PackPeakKb(tmp.path(), tagged ? first : first + ";" + second);
      if (peak[k] < 0) GTEST_SKIP() << "no /proc figures for the resident size";
      CVO_dBHandler h(tmp / "t.dbf", "", false, false);
      EXPECT_EQ(h.cvRecordCount(), sizes[k] - sizes[k] / 10);
    }
    EXPECT_LT(peak[1] - peak[0], 4 << 10) << peak[0] << " kB at 20,000 records, " << peak[1] << " kB at 300,000";
  }
}
