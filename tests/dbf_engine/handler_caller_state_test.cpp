// What a caller sets on the record handler stays as the caller set it: the
// record image it points the handler at (every index file takes its keys
// from it), its read-cache setting (dropping the active tag goes back to
// it), and a range bound of blanks (a bound, not "no bound").

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "dbf_engine/handler_test_util.h"

using namespace htest;

namespace {

// Every record in the order of `tag`: (key field value, record number).
struct Entry {
  std::string name;
  int32_t n;
  int32_t recno;
};
std::vector<Entry> WalkTag(CVO_dBHandler& h, const std::string& tag) {
  h.cvSetTagTo(tag, false);
  std::vector<Entry> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext))
    out.push_back({Trimmed(h.cvStringGet("NAME")), static_cast<int32_t>(h.cvNumberGet("N")), h.cvCurrentRecord()});
  return out;
}

std::vector<int32_t> Recnos(std::vector<Entry> v) {
  std::vector<int32_t> r;
  for (const Entry& e : v) r.push_back(e.recno);
  std::sort(r.begin(), r.end());
  return r;
}

TEST(CallerRecordImage, EveryIndexFileTakesItsKeysFromTheCallersBuffer) {
  TempDir dir;
  const std::string file = MakeNames(dir, {"ADAMS", "BAKER", "CLARK", "DAVIS"});
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndexTo(dir / "a.ntx", "a", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndexTo(dir / "b.ndx", "b", "N", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndexTo(dir / "c.cdx", "C", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending), 0);
  ASSERT_EQ(h.cvIndexTo(dir / "c.cdx", "CN", "N", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(
      h.cvIndex(std::string(dir / "a.ntx") + "," + std::string(dir / "b.ndx") + "," + std::string(dir / "c.cdx"), "a"),
      0);
  // The handler's own image holds another record throughout: a key taken
  // from it instead of the caller's buffer lands in the wrong place.
  h.cvGetRec(1);
  std::vector<uint8_t> outside(static_cast<size_t>(h.cvRecordLength()), ' ');
  {
    cvActiveBufferScope scope(h, outside.data());
    h.cvBlank();
    h.cvStringPut("NAME", "ZORRO");
    h.cvNumberPut("N", 50);
    h.cvAppend();
    EXPECT_EQ(h.cvActiveBuffer(), outside.data());
    h.cvGetRec(2);
    h.cvStringPut("NAME", "AARON");
    h.cvNumberPut("N", 60);
    h.cvPutRec(2);
    EXPECT_EQ(h.cvActiveBuffer(), outside.data());
    h.cvGetRec(3);
    h.cvStringPut("NAME", "CLARKE");  // one field changes: the N tags keep their key
    h.cvPutRec(3);
    EXPECT_EQ(h.cvActiveBuffer(), outside.data());
  }
  EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "ADAMS");  // the own image was left alone

  const std::vector<int32_t> all{1, 2, 3, 4, 5};
  auto byName = WalkTag(h, "a");
  EXPECT_EQ(Recnos(byName), all);
  EXPECT_TRUE(std::is_sorted(byName.begin(), byName.end(), [](auto& x, auto& y) { return x.name < y.name; }));
  auto byNameDown = WalkTag(h, "C");
  EXPECT_EQ(Recnos(byNameDown), all);
  EXPECT_TRUE(std::is_sorted(byNameDown.begin(), byNameDown.end(), [](auto& x, auto& y) { return x.name > y.name; }));
  for (const std::string tag : {"b", "CN"}) {
    SCOPED_TRACE(tag);
    auto byN = WalkTag(h, tag);
    EXPECT_EQ(Recnos(byN), all);
    EXPECT_TRUE(std::is_sorted(byN.begin(), byN.end(), [](auto& x, auto& y) { return x.n < y.n; }));
  }
  // Each record's key finds it in every tag.
  for (const auto& [tag, key, recno] : std::vector<std::tuple<std::string, std::string, int32_t>>{{"a", "ZORRO", 5},
                                                                                                  {"a", "AARON", 2},
                                                                                                  {"a", "CLARKE", 3},
                                                                                                  {"C", "ZORRO", 5},
                                                                                                  {"C", "AARON", 2},
                                                                                                  {"C", "CLARKE", 3},
                                                                                                  {"b", "50", 5},
                                                                                                  {"b", "60", 2},
                                                                                                  {"CN", "50", 5},
                                                                                                  {"CN", "60", 2}}) {
    SCOPED_TRACE(tag + " " + key);
    h.cvSetTagTo(tag, false);
    EXPECT_TRUE(h.cvFind(key));
    EXPECT_EQ(h.cvCurrentRecord(), recno);
  }
}

TEST(CallerCacheSetting, DroppingTheTagGoesBackToTheCallersSetting) {
  TempDir dir;
  const std::string file = MakeNames(dir, {"ADAMS", "BAKER", "CLARK"});
  for (const int wish : {0, 1, -1}) {  // off, on, never asked
    SCOPED_TRACE(wish);
    CVO_dBHandler h(file, "", true, false);
    ASSERT_EQ(h.cvIndexTo(dir / "a.ntx", "a", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    if (wish >= 0) h.cvSetDBFCache(wish == 1);
    ASSERT_EQ(h.cvIndex(dir / "a.ntx", "a"), 0);
    EXPECT_FALSE(h.cvDBFCacheOn());  // tag order reads without the window
    // The handler's own operations switch the cache inside and put it back;
    // they do not become the caller's setting.
    h.cvReIndex();
    h.cvSetFilterExpr("N > 1", false, true);
    h.cvSetTagTo("", true);
    EXPECT_EQ(h.cvDBFCacheOn(), wish != 0);
    h.cvSetTagTo("a", true);
    h.cvSetTagTo("", false);
    EXPECT_EQ(h.cvDBFCacheOn(), wish != 0);
  }
}

TEST(BlankRangeBound, SelectsTheBlankKeysInEveryIndexKind) {
  struct Kind {
    const char* file;  // empty: a memory index
    const char* tag;
  };
  const Kind kinds[] = {{"r.ntx", "r"}, {"r.ndx", "r"}, {"r.cdx", "R"}, {"", "R"}};
  for (const Kind& k : kinds) {
    for (const std::string blank : {" ", "          "}) {
      SCOPED_TRACE(std::string(*k.file ? k.file : "memory") + " '" + blank + "'");
      TempDir dir;
      const std::string file = MakeNames(dir, {"ADAMS", "", "BAKER", "", "CLARK"});
      CVO_dBHandler h(file, "", true, false);
      h.kvSetTranslateAscii(false);
      if (*k.file) {
        ASSERT_EQ(
            h.cvIndexTo(dir / k.file, k.tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
        ASSERT_EQ(h.cvIndex(dir / k.file, k.tag), 0);
      } else {
        ASSERT_TRUE(h.cvMemoryIndexAdd(k.tag, "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending));
      }
      auto walk = [&] {
        std::vector<int32_t> r;
        for (h.cvGetRec(cvReadTop); !h.cvEOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext))
          r.push_back(h.cvCurrentRecord());
        std::sort(r.begin(), r.end());
        return r;
      };
      EXPECT_TRUE(h.cvSetRange(blank, blank, true, true, false));
      EXPECT_EQ(walk(), (std::vector<int32_t>{2, 4}));
      EXPECT_TRUE(h.cvSetRange(blank, "", true, false, false));  // blanks and above
      EXPECT_EQ(walk(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
      EXPECT_TRUE(h.cvSetRange("", blank, false, true, false));  // up to the blanks
      EXPECT_EQ(walk(), (std::vector<int32_t>{2, 4}));
      // Empty texts are no bounds at all.
      EXPECT_TRUE(h.cvSetRange("", "", false, false, false));
      EXPECT_EQ(walk(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    }
  }
}

}  // namespace
