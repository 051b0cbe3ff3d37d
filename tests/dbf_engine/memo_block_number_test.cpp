// A memo field's block number is read from the record, so it is outside
// input like any other: a number that names no block of the memo file
// (negative, or beyond 32 bits) is a damaged record, reported as a block past
// the end of the file is, never read as an empty memo.
#include <gtest/gtest.h>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/fields.h"
#include "dbf_engine/table_test_util.h"

namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ECorvidError& e) {
    return e.what();
  }
  return "no error";
}

struct Kind {
  const char* kind;
  const char* memo;
};

TEST(MemoBlockNumber, ANumberThatNamesNoBlockIsABadMemoRecord) {
  for (Kind k : {Kind{"3", "t.dbt"}, Kind{"4", "t.dbt"}, Kind{"F", "t.fpt"}}) {
    SCOPED_TRACE(k.kind);
    TempDir dir;
    ASSERT_TRUE(cvCreateDBF(dir / "t.dbf", k.kind, [](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
      if (i == 1) n = "ID", t = "C", len = 2;
      if (i == 2) n = "NOTES", t = "M";
      return true;
    }));
    CVO_dBaseFld t(dir / "t.dbf", "", true, true);
    const int notes = t.cvFieldNo("NOTES");
    t.cvBlank();
    t.cvFieldPut("ID", "a");
    ASSERT_NE(t.cvMemoSaveN(notes, "kept"), 0u);
    t.cvAppend();
    const std::string bad = "Memo record is bad in " + (dir / k.memo);
    for (const char* number : {"-5", "-1", "9999999999", "4294967296", "-0.5"}) {
      SCOPED_TRACE(number);
      t.cvGetRec(1);
      t.cvFieldPutN(notes, number);
      std::string data = "stale";
      EXPECT_EQ(MessageOf([&] { t.cvMemoLoadN(notes, data); }), bad);
      EXPECT_EQ(MessageOf([&] { t.cvMemoSizeN(notes); }), bad);
      EXPECT_EQ(MessageOf([&] { t.cvStringGetN(notes); }), bad);
      // Writing over it changes neither the field nor the memo file.
      const auto memoBefore = ReadAll(dir / k.memo);
      EXPECT_EQ(MessageOf([&] { t.cvMemoSaveN(notes, "new"); }), bad);
      EXPECT_EQ(t.cvFieldGetN(notes).find_first_not_of(' '), 10 - std::string(number).size());
      EXPECT_EQ(ReadAll(dir / k.memo), memoBefore);
    }
    // The largest 32-bit number is a block number: past the end of this file.
    t.cvFieldPutN(notes, "4294967295");
    EXPECT_EQ(MessageOf([&] { t.cvMemoSizeN(notes); }), bad);
    // Blank and 0 are no memo; the real block still reads.
    std::string data;
    t.cvGetRec(1);
    EXPECT_TRUE(t.cvMemoLoadN(notes, data));
    EXPECT_EQ(data, "kept");
    for (const char* none : {"", "0"}) {
      t.cvFieldPutN(notes, none);
      EXPECT_TRUE(t.cvMemoLoadN(notes, data));
      EXPECT_EQ(data, "");
      EXPECT_EQ(t.cvMemoSizeN(notes), 0u);
    }
  }
}

}  // namespace
