// Index faults seen through the record handler: find on descending tags of
// every index kind (the record found is the first equal key in reading
// order), and a CDX whose tag list is damaged.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/messages.h"

using namespace mtest;

namespace {

// 30 x SMITH and 20 x SMITHSON among other names, mixed in record order.
std::vector<Row> People() {
  std::vector<Row> rows;
  const char* others[] = {"ADAMS", "SMIRNOV", "SMYTH", "ZED", "BROWN"};
  for (int i = 0; i < 60; ++i) {
    if (i % 2 == 0) rows.push_back({"SMITH", static_cast<double>(i), "", false});
    else if (i % 3 == 0) rows.push_back({others[i % 5], static_cast<double>(i), "", false});
    else rows.push_back({"SMITHSON", static_cast<double>(i), "", false});
  }
  return rows;
}

int Count(const std::vector<Row>& rows, const std::string& prefix, bool whole) {
  int n = 0;
  for (const Row& r : rows)
    if (whole ? r.name == prefix : r.name.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

// The tag each case builds and makes active, descending (NDX files have no
// descending order).
struct Kind {
  const char* name;
  const char* file;  // empty: a memory index
  const char* tag;
};
const Kind kKinds[] = {{"CDX", "d.cdx", "D"}, {"memory index", "", "D"}, {"NTX", "d.ntx", "d"}, {"MDX", "d.mdx", "D"}};

void Activate(CVO_dBHandler& h, const Kind& k) {
  if (*k.file) {
    ASSERT_EQ(h.cvIndexTo(k.file, k.tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending), 0);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
  } else {
    ASSERT_TRUE(h.cvMemoryIndexAdd(k.tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending));
  }
  ASSERT_NE(h.cvActiveTag(), nullptr);
}

// Records from the current one on, in reading order, while NAME matches.
std::vector<int32_t> RunFrom(CVO_dBHandler& h, const std::string& sought, bool whole) {
  std::vector<int32_t> recs;
  while (!h.cvEOF() && h.cvCurrentRecord() >= 1) {
    const std::string name = Trimmed(h.cvStringGet("NAME"));
    if (whole ? name != sought : name.compare(0, sought.size(), sought) != 0) break;
    recs.push_back(h.cvCurrentRecord());
    h.cvSkip(1);
  }
  return recs;
}

TEST(FindOnDescendingTags, ReadingOnFromTheFoundKeyGivesEveryEqualKey) {
  const std::vector<Row> rows = People();
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    const std::string t = MakeTable(dir, "p.dbf", "4", rows);
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    Activate(h, k);
    // The bottom of a descending order is its lowest key.
    h.cvGetRec(cvReadBottom);
    EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "ADAMS");

    h.cvSetExactMatch(true);
    ASSERT_TRUE(h.cvFind("SMITH"));
    EXPECT_EQ(RunFrom(h, "SMITH", true).size(), static_cast<size_t>(Count(rows, "SMITH", true)));

    h.cvSetExactMatch(false);
    ASSERT_TRUE(h.cvFind("SMI"));
    EXPECT_EQ(RunFrom(h, "SMI", false).size(), static_cast<size_t>(Count(rows, "SMI", false)));
    ASSERT_TRUE(h.cvFind("SMITHS"));
    EXPECT_EQ(RunFrom(h, "SMITHS", false).size(), static_cast<size_t>(Count(rows, "SMITHS", false)));

    // A key between stored ones: not found; a soft seek lands on the next
    // key in reading order (descending: the next lower one).
    h.cvSetSoftSeek(true);
    EXPECT_FALSE(h.cvFind("SMITHZ"));
    EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "SMITHSON");
    EXPECT_FALSE(h.cvFind("ZZZ"));
    EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "ZED");
    h.cvSetSoftSeek(false);
    EXPECT_FALSE(h.cvFind("AAA"));
  }
}

TEST(FindOnDescendingTags, TheFirstEqualKeyDeletedAndHiddenFindsTheNext) {
  const std::vector<Row> rows = People();
  for (const Kind& k : kKinds) {
    for (const bool whole : {true, false}) {
      SCOPED_TRACE(std::string(k.name) + (whole ? " exact" : " prefix"));
      const std::string sought = whole ? "SMITH" : "SMITHS";
      TempDir dir;
      const std::string t = MakeTable(dir, "p.dbf", "4", rows);
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      Activate(h, k);
      h.cvSetExactMatch(whole);
      ASSERT_TRUE(h.cvFind(sought));
      const std::vector<int32_t> all = RunFrom(h, sought, whole);
      ASSERT_FALSE(all.empty());
      // Delete the first in reading order, hide deleted records.
      h.cvGetRec(all.front());
      h.cvDeleteRec();
      h.cvPutRec(h.cvCurrentRecord());
      h.cvSetShowDeleted(false);
      ASSERT_TRUE(h.cvFind(sought));
      EXPECT_FALSE(h.cvDelFlag());
      const std::vector<int32_t> rest = RunFrom(h, sought, whole);
      EXPECT_EQ(rest, std::vector<int32_t>(all.begin() + 1, all.end()));
    }
  }
}

}  // namespace

namespace {

// Points the first entry of a CDX tag list at `offset` (its record number is
// the tag header's offset).
void RepointFirstListEntry(const std::string& path, uint32_t offset) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  uint8_t b[4];
  io.read(reinterpret_cast<char*>(b), 4);
  const uint32_t root = cvLoadLE32(b);
  uint8_t node[512];
  io.seekg(root);
  io.read(reinterpret_cast<char*>(node), 512);
  ASSERT_EQ(node[0], 3) << "the tag list of a small file is one leaf";
  const uint32_t mask = cvLoadLE32(node + 14);
  const int bytes = node[23];
  uint64_t entry = 0;
  for (int i = 0; i < bytes; ++i) entry |= static_cast<uint64_t>(node[24 + i]) << (8 * i);
  entry = (entry & ~static_cast<uint64_t>(mask)) | offset;
  for (int i = 0; i < bytes; ++i) node[24 + i] = static_cast<uint8_t>(entry >> (8 * i));
  io.seekp(root);
  io.write(reinterpret_cast<const char*>(node), 512);
}

TEST(CdxTagList, ADamagedEntryMakesTheFileCorruptedInsteadOfEndingTheList) {
  for (const uint32_t offset : {0u, 512u}) {
    SCOPED_TRACE(offset);
    TempDir dir;
    const std::string t = MakeTable(dir, "p.dbf", "4", People());
    const std::string cdx = dir / "q.cdx";
    {
      CVO_dBHandler h(t, "", true, false);
      ASSERT_EQ(h.cvIndexTo(cdx, "A", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
      ASSERT_EQ(h.cvIndexTo(cdx, "B", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    }
    RepointFirstListEntry(cdx, offset);
    CVO_dBHandler h(t, "", true, false);
    try {
      h.cvIndexRoute(cdx);
      ADD_FAILURE() << "the damaged file opened";
    } catch (const ECorvidError& e) {
      EXPECT_EQ(std::string(e.what()), "Index file " + cdx + " is corrupted");
    }
  }
}

// An index made again over an existing file with a key or condition that
// does not compile is refused before the file is touched.
TEST(IndexTo, ABadExpressionLeavesAnExistingIndexFileAsItWas) {
  for (const char* file : {"q.ntx", "q.ndx", "q.cdx", "q.mdx"}) {
    SCOPED_TRACE(file);
    TempDir dir;
    const std::string t = MakeTable(dir, "p.dbf", "4", People());
    const std::string name = dir / file;
    CVO_dBHandler h(t, "", true, false);
    ASSERT_EQ(h.cvIndexTo(name, "A", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    const std::vector<uint8_t> before = ReadAll(name);
    EXPECT_THROW(h.cvIndexTo(name, "A", "UPPER(NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
                 ECorvidExpression);
    EXPECT_THROW(h.cvIndexTo(name, "A", "NAME", "FM >", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
                 ECorvidExpression);
    EXPECT_EQ(ReadAll(name), before);
  }
}

}  // namespace
