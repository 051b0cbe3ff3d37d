// Record handler: the index list, index builds and the whole-table
// operations (copy, sort, pack, zap, password), checked on the bytes they
// leave and against python3-dbf and pgdbf.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include <functional>
#include "dbf_engine/maintenance_test_util.h"

using namespace mtest;

namespace {

const std::vector<Row> kRows = {
    {"SMITH", 12.5, "first memo"}, {"ADAMS", -3.25, ""},         {"JONES", 7, "third memo", true},
    {"BROWN", -40, "fourth"},      {"CLARK", 0.5, "fifth memo"}, {"DAVIS", 100, "", true},
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

// --- Index list -------------------------------------------------------------

TEST(IndexList, ParsesListsRoutesByExtensionAndKeepsTheActiveTag) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  {
    CVO_dBHandler h(t, "", true, false);
    EXPECT_EQ(h.cvIndexTo("a.ndx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    EXPECT_EQ(h.cvIndexTo("B.NDX", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    EXPECT_EQ(h.cvIndexTo("c.Cdx", "byname", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending), 0);
    EXPECT_EQ(h.cvIndexFile(1), nullptr);  // builds close their file again
  }
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  EXPECT_EQ(h.cvIndex("a.ndx,b.ndx;", "A"), 0);
  ASSERT_NE(h.cvIndexPointer(2), nullptr);
  EXPECT_EQ(h.cvIndexPointer(3), nullptr);
  EXPECT_EQ(h.cvActiveTagName(), "A");
  EXPECT_EQ(Names(h), (std::vector<std::string>{"ADAMS", "BROWN", "CLARK", "DAVIS", "JONES", "SMITH"}));
  EXPECT_EQ(h.cvIndexRoute("a.ndx"), -1);  // already open
  EXPECT_EQ(h.cvIndexRoute(""), -1);
  EXPECT_GT(h.cvIndexFileIsOpen("B.ndx"), 0);

  // Reopening the list with another tag changes the order.
  EXPECT_EQ(h.cvIndex("\"a.ndx\" ; b.ndx , c.CDX", "byname"), 0);
  EXPECT_EQ(h.cvActiveTagName(), "BYNAME");
  EXPECT_EQ(Names(h), (std::vector<std::string>{"SMITH", "JONES", "DAVIS", "CLARK", "BROWN", "ADAMS"}));
  h.cvIndexOrder(2);
  EXPECT_EQ(Names(h).front(), "BROWN");  // FM -40
  EXPECT_EQ(h.cvSetTagTo("", false), 0);
  EXPECT_EQ(Names(h).front(), "SMITH");  // record order

  // A missing second file: the first stays open, the error names the file.
  const std::string msg = Message([&] { h.cvIndex("a.ndx;missing.ndx", ""); });
  EXPECT_NE(msg.find("missing.ndx"), std::string::npos) << msg;
  EXPECT_NE(msg.find("could not be found"), std::string::npos) << msg;
  EXPECT_GT(h.cvIndexFileIsOpen("a.ndx"), 0);
  EXPECT_EQ(h.cvIndex(" ,; ", ""), 1);
  EXPECT_THROW(h.cvIndexRoute("t.idx"), ECorvidError);
  EXPECT_THROW(h.cvSetTagTo("nosuch", true), ECorvidError);

  EXPECT_EQ(h.cvIndex("a.ndx", ""), 0);
  EXPECT_EQ(h.cvIndexFileRemove("a.ndx"), 0);
  EXPECT_EQ(h.cvIndexFileRemove("a.ndx"), 1);
  EXPECT_EQ(h.cvIndexFileKill("b.ndx"), 0);
  EXPECT_FALSE(FileExists(dir / "B.NDX"));
  EXPECT_EQ(h.cvIndexFileKill("b.ndx"), 1);
}

// Every index kind is reached through its extension, in any letter case, and
// gives the same order.
TEST(IndexList, EveryKindRoutesByExtension) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  const std::vector<std::string> sorted = {"ADAMS", "BROWN", "CLARK", "DAVIS", "JONES", "SMITH"};
  for (const char* file : {"k.NDX", "k.ntx", "k.Mdx", "k.cdx"}) {
    SCOPED_TRACE(file);
    {
      CVO_dBHandler h(t, "", true, false);
      EXPECT_EQ(h.cvIndexTo(file, "k", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    }
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(file, "k"), 0);  // single-tag files name the tag after the file
    EXPECT_EQ(Names(h), sorted);
  }
}

TEST(IndexList, SixtyThreeSlotsThenARefusal) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  CVO_dBHandler h(t, "", true, false);
  for (int i = 1; i <= cvMaxIndexFiles; ++i)
    ASSERT_TRUE(h.cvMemoryIndexAdd("T" + std::to_string(i), "NAME", "", CVsetIndexUnique::Duplicates,
                                   CVsetSortStatus::Ascending));
  EXPECT_THROW(h.cvMemoryIndexAdd("T64", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
               ECorvidError);
  EXPECT_EQ(h.cvActiveTagName(), "T63");
  EXPECT_NE(h.cvIndexPointer(63), nullptr);
  EXPECT_EQ(h.cvIndexPointer(64), nullptr);
}

TEST(IndexList, TagRemovalAndMemoryIndexErrors) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "F", kRows);
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndexTo("t2.cdx", "n", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndexTo("t2.cdx", "f", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndex("t2.cdx", "F"), 0);
  EXPECT_EQ(h.cvIndexTagRemove("", "F"), 0);
  EXPECT_EQ(h.cvActiveTag(), nullptr);
  EXPECT_EQ(h.cvIndexTagRemove("", "F"), -1);
  EXPECT_EQ(h.cvIndexTagRemove("", " "), 1);
  EXPECT_EQ(h.cvSetTagTo("n", false), 1);
  EXPECT_THROW(h.cvMemoryIndexAdd(" ", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
               ECorvidError);
  EXPECT_THROW(h.cvMemoryIndexAdd("X", " ", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
               ECorvidError);
}

// --- Pack and zap ----------------------------------------------------------------

TEST(Pack, NothingDeletedLeavesTheFileAlone) {
  TempDir dir;
  std::vector<Row> rows = kRows;
  for (auto& r : rows) r.deleted = false;
  const std::string t = MakeTable(dir, "t.dbf", "3", rows);
  const auto before = ReadAll(t);
  {
    Recorder h(t, "", true, false);
    h.cvPack();
    EXPECT_EQ(h.reports.front(), std::make_tuple(-1, 11, 6));
    EXPECT_EQ(h.reports[1], std::make_tuple(11, 1, 0));
    EXPECT_EQ(h.reports.back(), std::make_tuple(0, 0, 0));
  }
  const auto after = ReadAll(t);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin() + 32, before.end(), after.begin() + 32));
}

TEST(Pack, RemovesDeletedRecordsEndsWithOneEofMarkAndRebuildsIndexes) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "F", kRows);  // the last record is deleted
  {
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndexTo("t.cdx", "NAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    ASSERT_EQ(h.cvIndexTo("fm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    ASSERT_EQ(h.cvIndex("t.cdx;fm.ndx", "NAME"), 0);
    h.cvSetFilterExpr("FM > 0", false, false);
    h.cvSetFilterActive(true);
    h.cvPack();
    EXPECT_EQ(h.cvRecordCount(), 4);
    EXPECT_EQ(h.cvActiveTagName(), "NAME");
    // The filter bitmap follows the records to their new numbers.
    EXPECT_EQ(Names(h), (std::vector<std::string>{"CLARK", "SMITH"}));
    h.cvSetFilterActive(false);
    EXPECT_EQ(Names(h), (std::vector<std::string>{"ADAMS", "BROWN", "CLARK", "SMITH"}));
    h.cvIndexOrder(2);
    EXPECT_EQ(Names(h), (std::vector<std::string>{"BROWN", "ADAMS", "CLARK", "SMITH"}));
    h.cvSetExactMatch(true);
    h.cvSetTagTo("NAME", false);
    EXPECT_TRUE(h.cvFind("CLARK     "));
    EXPECT_EQ(h.cvCurrentRecord(), 4);
    std::string memo;
    h.cvMemoLoad("NOTE", memo);
    EXPECT_EQ(memo, "fifth memo");
    h.cvCloseTable();
  }
  const auto bytes = ReadAll(t);
  const size_t hl = LE16At(bytes, 8), rl = LE16At(bytes, 10);
  EXPECT_EQ(bytes.size(), hl + 4 * rl + 1);
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_EQ(std::count(bytes.begin() + static_cast<long>(hl), bytes.end(), 0x1A), 1);
  EXPECT_EQ(LE32At(bytes, 4), 4u);

  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  const Output o = PythonNames(dir, t);
  EXPECT_EQ(o.text, "SMITH|first memo\nADAMS|\nBROWN|fourth\nCLARK|fifth memo\n");
}

TEST(Pack, RebuiltIndexIsReadByPerlXBase) {
  if (!HaveTool("/usr/bin/perl") || ::access("/usr/share/perl5/XBase/Index.pm", R_OK) != 0)
    GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  {
    CVO_dBHandler h(t, "", true, false);
    ASSERT_EQ(h.cvIndexTo("name.ndx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    ASSERT_EQ(h.cvIndex("name.ndx", "NAME"), 0);
    h.cvPack();
    h.cvCloseTable();
  }
  const Output o = RunTool(
      "/usr/bin/perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], type => \"ndx\") "
      "or die XBase::Index->errstr; $i->prepare_select or die $i->errstr; "
      "while (my @d = $i->fetch) { $d[0] =~ s/ +$//; print join(\"=\", @d), \"\\n\" }' " +
      Quote(dir / "name.ndx"));
  EXPECT_EQ(o.text, "ADAMS=2\nBROWN=3\nCLARK=4\nSMITH=1\n");
}

TEST(Pack, DBase4MemoRunsReturnToTheFreeChain) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "4", kRows);
  uint32_t jonesBlock = 0;
  {
    CVO_dBHandler h(t, "", true, false);
    h.cvGetRec(3);
    jonesBlock = static_cast<uint32_t>(h.cvNumberGetN(3));
    ASSERT_GT(jonesBlock, 0u);
    h.cvPack();
    h.cvCloseTable();
  }
  const auto dbt = ReadAll(ChangeFileExt(t, ".dbt"));
  EXPECT_EQ(LE32At(dbt, 0), jonesBlock);  // the freed run heads the chain
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  // A new memo reuses the freed run.
  h.cvGetRec(1);
  h.cvNumberPutN(3, 0);
  EXPECT_EQ(h.cvMemoSave("NOTE", "new"), jonesBlock);
}

TEST(Zap, LeavesHeaderAndOneMarkAndResetsTheMemoFile) {
  for (const std::string kind : {"3", "4", "F"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string t = MakeTable(dir, "t.dbf", kind, kRows);
    {
      CVO_dBHandler h(t, "", true, false);
      h.cvZap();
      EXPECT_EQ(h.cvRecordCount(), 0);
      EXPECT_TRUE(h.cvEOF() || h.cvBOF());
      h.cvCloseTable();
    }
    const auto bytes = ReadAll(t);
    EXPECT_EQ(bytes.size(), LE16At(bytes, 8) + 1u);
    EXPECT_EQ(bytes.back(), 0x1A);
    EXPECT_EQ(LE32At(bytes, 4), 0u);
    const auto memo = ReadAll(ChangeFileExt(t, kind == "F" ? ".fpt" : ".dbt"));
    ASSERT_EQ(memo.size(), 512u);
    if (kind == "F") EXPECT_EQ(BE32At(memo, 0), 8u);
    else EXPECT_EQ(LE32At(memo, 0), 1u);
    if (kind == "F" && HavePythonDbf()) {
      EXPECT_EQ(PythonNames(dir, t).text, "");
    }
  }
}

TEST(Zap, SharedTablesAreRefused) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  CVO_dBHandler h(t, "", true, true);
  EXPECT_NE(Message([&] { h.cvZap(); }).find("Zap requires full access"), std::string::npos);
  EXPECT_NE(Message([&] { h.cvPack(); }).find("Pack requires full access"), std::string::npos);
  EXPECT_EQ(h.cvRecordCount(), 6);
}

// --- Copy and sort ---------------------------------------------------------------

class CopyAndSort : public ::testing::TestWithParam<std::string> {};

TEST_P(CopyAndSort, CopiesVisibleRecordsWithMemosInOrder) {
  const std::string kind = GetParam();
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", kind, kRows);
  Recorder h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  h.cvSetShowDeleted(false);
  h.cvSetFilterExpr("FM < 50", false, false);
  h.cvSetFilterActive(true);
  h.cvGetRec(2);
  h.cvCopyFile(dir / "copy.dbf", "");
  EXPECT_EQ(h.cvCurrentRecord(), 2);
  EXPECT_FALSE(h.cvFileLockHeld());
  EXPECT_EQ(h.reports.front(), std::make_tuple(-1, 6, 6));
  EXPECT_EQ(h.reports.back(), std::make_tuple(0, 0, 0));
  h.cvSortFile(dir / "sorted", "NAME", "", CVsetSortStatus::SortDown);
  EXPECT_EQ(h.cvCurrentRecord(), 2);

  auto check = [&](const std::string& file, const std::vector<std::string>& names) {
    CVO_dBHandler c(file, "", false, false);
    c.kvSetTranslateAscii(false);
    EXPECT_EQ(c.cvVersion(), h.cvVersion());
    EXPECT_EQ(c.cvRecordLength(), h.cvRecordLength());
    ASSERT_EQ(Names(c), names);
    for (c.cvGetRec(cvReadTop); !c.cvEOF(); c.cvGetRec(cvReadNext)) {
      const std::string n = Trimmed(c.cvStringGet("NAME"));
      const auto it = std::find_if(kRows.begin(), kRows.end(), [&](const Row& r) { return r.name == n; });
      std::string memo;
      c.cvMemoLoad("NOTE", memo);
      EXPECT_EQ(memo, it->note) << n;
      EXPECT_DOUBLE_EQ(static_cast<double>(c.cvNumberGet("FM")), it->fm);
      if (kind == "0") {
        EXPECT_DOUBLE_EQ(static_cast<double>(c.cvNumberGetN(4)), it->fm * 10);
      }
    }
  };
  check(dir / "copy.dbf", {"SMITH", "ADAMS", "BROWN", "CLARK"});
  check(dir / "sorted.dbf", {"SMITH", "CLARK", "BROWN", "ADAMS"});

  if (kind == "3" || kind == "F") {
    if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
    EXPECT_EQ(PythonNames(dir, dir / "sorted.dbf").text, "SMITH|first memo\nCLARK|fifth memo\nBROWN|fourth\nADAMS|\n");
    if (!HaveTool("/usr/bin/pgdbf")) GTEST_SKIP() << "pgdbf is not installed";
    const Output o = RunTool("/usr/bin/pgdbf -m " + Quote(dir / (kind == "F" ? "copy.fpt" : "copy.dbt")) + " " +
                             Quote(dir / "copy.dbf"));
    ASSERT_EQ(o.code, 0) << o.text;
    const size_t a = o.text.find("SMITH"), b = o.text.find("ADAMS"), c = o.text.find("BROWN"), d = o.text.find("CLARK");
    EXPECT_TRUE(a < b && b < c && c < d && d != std::string::npos) << o.text;
    EXPECT_NE(o.text.find("fifth memo"), std::string::npos) << o.text;
    EXPECT_EQ(o.text.find("JONES"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, CopyAndSort, ::testing::Values("3", "4", "F", "0"));

std::vector<std::string> SortedNames(CVO_dBHandler& h, const TempDir& dir, const std::string& key,
                                     CVsetSortStatus status) {
  static int n = 0;
  const std::string out = dir / ("s" + std::to_string(++n) + ".dbf");
  h.cvSortFile(out, key, "", status);
  CVO_dBHandler c(out, "", false, false);
  c.kvSetTranslateAscii(false);
  return Names(c);
}

TEST(Sort, EveryUpStatusAscendsAndDictionaryOrderIgnoresCase) {
  TempDir dir;
  const std::vector<Row> rows = {{"b", -1.5, ""}, {"B", -20, ""}, {"a", 3, ""}, {"C", -1.25, ""}};
  const std::string t = MakeTable(dir, "t.dbf", "3", rows);
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  for (auto s : {CVsetSortStatus::Ascending, CVsetSortStatus::SortUp, CVsetSortStatus::AscendingGeneral})
    EXPECT_EQ(SortedNames(h, dir, "FM", s), (std::vector<std::string>{"B", "b", "C", "a"}));
  for (auto s : {CVsetSortStatus::Descending, CVsetSortStatus::SortDown})
    EXPECT_EQ(SortedNames(h, dir, "FM", s), (std::vector<std::string>{"a", "C", "b", "B"}));
  EXPECT_EQ(SortedNames(h, dir, "NAME", CVsetSortStatus::SortUp), (std::vector<std::string>{"B", "C", "a", "b"}));
  const auto dict = SortedNames(h, dir, "NAME", CVsetSortStatus::SortDictUp);
  EXPECT_EQ(dict[0].size() + dict[1].size(), 2u);
  EXPECT_TRUE((dict[0] == "a" || dict[0] == "A") && SameText(dict[1], "b") && SameText(dict[2], "b") && dict[3] == "C");
  const auto down = SortedNames(h, dir, "NAME", CVsetSortStatus::SortDictDown);
  EXPECT_EQ(down[0], "C");
  EXPECT_EQ(down[3], "a");
}

TEST(Sort, DatesAndCyrillicTextBothWays) {
  TempDir dir;
  const std::string t = dir / "d.dbf";
  ASSERT_TRUE(cvCreateDBF(t, "3", [](int i, std::string& n, std::string& ty, int32_t& l, int32_t& d) {
    if (i == 1) n = "NAME", ty = "C", l = 10, d = 0;
    if (i == 2) n = "BORN", ty = "D", l = 8, d = 0;
    return true;
  }));
  // CP1251: Борис, Анна, Яков, Вера
  const std::vector<std::pair<std::string, std::string>> rows = {{"\xC1\xEE\xF0\xE8\xF1", "19991231"},
                                                                 {"\xC0\xED\xED\xE0", "20240101"},
                                                                 {"\xDF\xEA\xEE\xE2", "18500615"},
                                                                 {"\xC2\xE5\xF0\xE0", "20000229"}};
  {
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    for (const auto& r : rows) {
      h.cvBlank();
      h.cvStringPut("NAME", r.first);
      h.cvFieldPut("BORN", r.second);
      h.cvAppend();
    }
  }
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  const std::vector<std::string> up = {rows[1].first, rows[0].first, rows[3].first, rows[2].first};
  EXPECT_EQ(SortedNames(h, dir, "NAME", CVsetSortStatus::SortUp), up);
  EXPECT_EQ(SortedNames(h, dir, "NAME", CVsetSortStatus::SortDown), std::vector<std::string>(up.rbegin(), up.rend()));
  const std::vector<std::string> byDate = {rows[2].first, rows[0].first, rows[3].first, rows[1].first};
  EXPECT_EQ(SortedNames(h, dir, "BORN", CVsetSortStatus::Ascending), byDate);
  EXPECT_EQ(SortedNames(h, dir, "BORN", CVsetSortStatus::Descending),
            std::vector<std::string>(byDate.rbegin(), byDate.rend()));
}

TEST(Sort, KeyLengthErrorAndFailuresLeaveTheTableUsable) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  EXPECT_EQ(Message([&] { h.cvSortFile(dir / "x", "  ", "", CVsetSortStatus::SortUp); }),
            "Sort key length must be 1-240 bytes, is 0");
  EXPECT_EQ(Message([&] { h.cvSortFile(dir / "x", std::string(241, 'A'), "", CVsetSortStatus::SortUp); }),
            "Sort key length must be 1-240 bytes, is 241");
  ASSERT_EQ(h.cvIndexTo("n.ndx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndex("n.ndx", "N"), 0);
  h.cvSetShowDeleted(false);
  // A key that does not compile, and a target that cannot be written.
  EXPECT_THROW(h.cvSortFile(dir / "x", "NOSUCH+", "", CVsetSortStatus::SortUp), Exception);
  EXPECT_THROW(h.cvCopyFile(dir / "no/such/dir/x.dbf", ""), Exception);
  EXPECT_THROW(h.cvSortFile(dir / "no/such/dir/x.dbf", "NAME", "", CVsetSortStatus::SortUp), Exception);
  EXPECT_EQ(h.cvState(), dbBrowse);
  EXPECT_FALSE(h.cvFileLockHeld());
  EXPECT_EQ(h.cvActiveTagName(), "N");
  EXPECT_EQ(Names(h), (std::vector<std::string>{"ADAMS", "BROWN", "CLARK", "SMITH"}));
  EXPECT_THROW(h.cvIndexTo("bad.ndx", "", "NOSUCH+", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
               Exception);
  EXPECT_EQ(h.cvState(), dbBrowse);
}

// --- Password ---------------------------------------------------------------------

TEST(Password, OnAndOffRestoresThePlainBytes) {
  for (const std::string kind : {"3", "F"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string t = MakeTable(dir, "t.dbf", kind, kRows);
    std::vector<uint8_t> dbf0, cdx0, ndx0;
    {
      // fm.ndx is built by this table and then closed: it is re-ciphered too.
      Recorder h(t, "", true, false);
      ASSERT_EQ(h.cvIndexTo("t.cdx", "NAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
      ASSERT_EQ(h.cvIndexTo("fm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
      ASSERT_EQ(h.cvIndex("t.cdx", "NAME"), 0);
      dbf0 = ReadAll(t), cdx0 = ReadAll(dir / "t.cdx"), ndx0 = ReadAll(dir / "fm.ndx");
      h.cvSetPassword("Secret");
      h.cvCloseTable();
    }
    const auto dbf1 = ReadAll(t);
    EXPECT_EQ(dbf1[15], 1);
    const size_t hl = LE16At(dbf0, 8);
    EXPECT_FALSE(std::equal(dbf0.begin() + 32, dbf0.end(), dbf1.begin() + 32));
    EXPECT_NE(ReadAll(dir / "t.cdx"), cdx0);
    EXPECT_NE(ReadAll(dir / "fm.ndx"), ndx0);
    EXPECT_THROW(CVO_dBHandler(t, "wrong", true, false), ECorvidEncryption);
    EXPECT_THROW(CVO_dBHandler(t, "", true, false), ECorvidEncryption);
    {
      CVO_dBHandler h(t, "Secret", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex("t.cdx;fm.ndx", "NAME"), 0);
      EXPECT_EQ(Names(h), (std::vector<std::string>{"ADAMS", "BROWN", "CLARK", "DAVIS", "JONES", "SMITH"}));
      h.cvIndexOrder(2);
      EXPECT_EQ(Names(h).front(), "BROWN");
      h.cvGetRec(5);
      std::string memo;
      h.cvMemoLoad("NOTE", memo);
      EXPECT_EQ(memo, "fifth memo");
      h.cvSetTagTo("", true);
      h.cvSetPassword("");
      h.cvCloseTable();
    }
    const auto dbf2 = ReadAll(t);
    EXPECT_EQ(dbf2[15], 0);
    ASSERT_EQ(dbf2.size(), dbf0.size());
    EXPECT_TRUE(std::equal(dbf0.begin() + 32, dbf0.begin() + static_cast<long>(hl), dbf2.begin() + 32));
    EXPECT_EQ(ReadAll(dir / "t.cdx"), cdx0);
    EXPECT_EQ(ReadAll(dir / "fm.ndx"), ndx0);
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    for (int r = 1; r <= 6; ++r) {
      h.cvGetRec(r);
      std::string memo;
      h.cvMemoLoad("NOTE", memo);
      EXPECT_EQ(memo, kRows[static_cast<size_t>(r - 1)].note);
      EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), kRows[static_cast<size_t>(r - 1)].name);
    }
    if (HavePythonDbf()) {
      EXPECT_EQ(PythonNames(dir, t).text, "SMITH|first memo\nADAMS|\nBROWN|fourth\nCLARK|fifth memo\n");
    }
  }
}

TEST(Password, CopyIntoAnEncipheredTarget) {
  TempDir dir;
  const std::string t = MakeTable(dir, "t.dbf", "3", kRows);
  CVO_dBHandler h(t, "", true, false);
  h.cvCopyFile(dir / "c.dbf", "pw");
  EXPECT_EQ(ReadAll(dir / "c.dbf")[15], 1);
  CVO_dBHandler c(dir / "c.dbf", "pw", false, false);
  c.kvSetTranslateAscii(false);
  EXPECT_EQ(Names(c).size(), 6u);
  c.cvGetRec(1);
  std::string memo;
  c.cvMemoLoad("NOTE", memo);
  EXPECT_EQ(memo, "first memo");
}

}  // namespace
