// Pack renumbers the entries of its open index files instead of building
// them again from the records: every index file must come out byte for byte
// as a full rebuild of the packed table writes it.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/sanitizer.h"
#include "common/test_files.h"
#include "dbf_engine/handler/record_handler.h"
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
