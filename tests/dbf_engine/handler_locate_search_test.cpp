// Record handler: locate answers like the scan through every index kind; the
// text search reads memos in the code page of C fields.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_engine/code_pages.h"
#include "platform/variant.h"
#include "dbf_engine/handler_test_util.h"

using namespace mtest;
using namespace htest;

// ---------------------------------------------------------------------------
// Locate finds the record a scan in record order finds, through any index.

TEST(HandlerLocate, EveryIndexKindAnswersLikeTheScan) {
  for (const std::string kind : {"", "a.ntx", "a.ndx", "a.mdx", "a.cdx", "memory"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string t = MakeNames(dir, {"A", "B", "X", "C"});
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    if (kind == "memory") {
      h.cvMemoryIndexAdd("M", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      h.cvSetTagTo("", true);
    } else if (!kind.empty()) {
      ASSERT_EQ(h.cvIndexTo(dir / kind, "C", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
      ASSERT_EQ(h.cvIndex(dir / kind, ""), 0);
    }
    // Record 2 takes the key that record 3 already has: in some formats its
    // key now sorts after record 3's.
    h.cvGetRec(2);
    h.cvStringPut("NAME", "X");
    h.cvPutRec(2);
    h.cvGetRec(4);
    EXPECT_TRUE(h.cvLocateRecord("NAME", Variant("X"), false, false));
    EXPECT_EQ(h.cvCurrentRecord(), 2);
    // With record 2 deleted and hidden, record 3.
    h.cvGetRec(2);
    h.cvDeleteRec();
    h.cvSetShowDeleted(false);
    EXPECT_TRUE(h.cvLocateRecord("NAME", Variant("X"), false, false));
    EXPECT_EQ(h.cvCurrentRecord(), 3);
    h.cvSetShowDeleted(true);
    // With the tag active too.
    if (!kind.empty()) {
      h.cvIndexOrder(1);
      ASSERT_NE(h.cvActiveTag(), nullptr);
      EXPECT_TRUE(h.cvLocateRecord("NAME", Variant("X"), false, false));
      EXPECT_EQ(h.cvCurrentRecord(), 2);
      std::string key;  // the tag stands on the record found
      EXPECT_EQ(h.cvGetKey(-5, key), 2);
      EXPECT_FALSE(h.cvPositionLost());
    }
  }
}

TEST(HandlerLocate, UniqueTagDoesNotAnswer) {
  TempDir dir;
  const std::string t = MakeNames(dir, {"A", "B", "X"});
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndexTo(dir / "u.cdx", "U", "NAME", "", CVsetIndexUnique::Unique, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndex(dir / "u.cdx", ""), 0);
  h.cvGetRec(2);
  h.cvStringPut("NAME", "X");
  h.cvPutRec(2);  // the unique tag keeps record 3 for X
  EXPECT_TRUE(h.cvLocateRecord("NAME", Variant("X"), false, false));
  EXPECT_EQ(h.cvCurrentRecord(), 2);
}

// ---------------------------------------------------------------------------
// The text search compares memos and C fields in one code page.

TEST(HandlerSearch, MemoAndCharacterFieldsUseTheSameTranslation) {
  TempDir dir;
  const std::string t = MakeTable(dir, "s.dbf", "3", {{"x", 1, "x"}});
  const std::string word = "\xC6\xE8\xEB\xE5\xF6";  // a Cyrillic word in code page 1251
  const std::string stored = kvSysAnsiToOem(word);
  ASSERT_NE(stored, word);
  {
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    h.cvGetRec(1);
    h.cvFieldPush(1, stored);
    h.cvMemoSave("NOTE", "the " + stored + " lives here");
    h.cvPutRec(1);
  }
  CVO_dBHandler h(t, "", true, false);
  ASSERT_TRUE(h.kvGetTranslateAscii());
  h.cvSetSearchOptions(0);
  for (int field : {1, 3}) {
    SCOPED_TRACE(field);
    int f = field;
    int32_t rec = 0;
    EXPECT_GT(h.cvSearchDBF(word, f, rec, 0), 0);
    EXPECT_EQ(rec, 1);
    // The stored (OEM) bytes are not the text the user sees.
    f = field;
    rec = 0;
    EXPECT_EQ(h.cvSearchDBF(stored, f, rec, 0), 0);
  }
  // Case-insensitive, on the translated text.
  h.cvSetSearchOptions(cvSearchNoCase);
  int f = 3;
  int32_t rec = 0;
  EXPECT_EQ(h.cvSearchDBF("\xE6\xE8\xEB\xE5\xF6", f, rec, 0), 5);
}
