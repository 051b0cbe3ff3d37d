// Record handler: record-order navigation, hidden deleted records, the
// filter bitmap and the read cache on shared tables.

#include "dbf_engine/handler/record_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_engine/messages.h"
#include "platform/exceptions.h"
#include "dbf_engine/table_test_util.h"

namespace {

// NAME C(10), N N(5,0); one record per name with N = its position.
std::string MakeTable(const TempDir& dir, const std::vector<std::string>& names) {
  const std::string file = dir / "people.dbf";
  const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i == 1) n = "NAME", t = "C", len = 10, dec = 0;
    if (i == 2) n = "N", t = "N", len = 5, dec = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (size_t i = 0; i < names.size(); ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", names[i]);
    h.cvNumberPut("N", static_cast<long double>(i + 1));
    h.cvAppend();
  }
  h.cvCloseTable();
  return file;
}

std::string Name(CVO_dBHandler& h) {
  std::string s = h.cvStringGet("NAME");
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Record numbers in navigation order from the top.
std::vector<int32_t> Walk(CVO_dBHandler& h) {
  std::vector<int32_t> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext)) out.push_back(h.cvCurrentRecord());
  return out;
}
std::vector<int32_t> WalkBack(CVO_dBHandler& h) {
  std::vector<int32_t> out;
  for (h.cvGetRec(cvReadBottom); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadPrevious))
    out.push_back(h.cvCurrentRecord());
  return out;
}

void SetN(CVO_dBHandler& h, int32_t rec, int value) {
  h.cvGetRec(rec);
  h.cvNumberPut("N", value);
  h.cvPutRec(rec);
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "no error";
}

using V = std::vector<int32_t>;

}  // namespace

TEST(RecordHandler, NavigatesInRecordOrderAndHidesDeletedOnRequest) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C", "D"});
  CVO_dBHandler h(file, "", true, false);
  h.cvGetRec(2);
  h.cvDeleteRec();
  h.cvGetRec(4);
  h.cvDeleteRec();
  // Shown after construction.
  EXPECT_TRUE(h.cvShowDeleted());
  EXPECT_EQ(Walk(h), (V{1, 2, 3, 4}));
  h.cvSetShowDeleted(false);
  EXPECT_EQ(Walk(h), (V{1, 3}));
  EXPECT_EQ(WalkBack(h), (V{3, 1}));
  // Bottom skips the deleted last record; next from there is the end.
  h.cvGetRec(cvReadBottom);
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  EXPECT_TRUE(h.cvRecordFound());
  h.cvGetRec(cvReadNext);
  EXPECT_TRUE(h.cvEOF());
  EXPECT_FALSE(h.cvRecordFound());
  // A positive number is read whatever its mark.
  h.cvGetRec(2);
  EXPECT_EQ(h.cvCurrentRecord(), 2);
  EXPECT_TRUE(h.cvDelFlag());
  // Record 0 and numbers past the end blank the image instead of raising.
  h.cvGetRec(9);
  EXPECT_TRUE(h.cvEOF());
  EXPECT_EQ(Name(h), "");
}

TEST(RecordHandler, SkipClampsByPositionOrStepsThroughVisibleRecords) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler h(file, "", true, false);
  h.cvGetRec(1);
  h.cvSkip(5);
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  EXPECT_TRUE(h.cvEOF());
  EXPECT_EQ(Name(h), "C");
  h.cvSkip(-7);
  EXPECT_EQ(h.cvCurrentRecord(), 1);
  EXPECT_TRUE(h.cvBOF());
  h.cvSkip(1);
  EXPECT_EQ(h.cvCurrentRecord(), 2);
  EXPECT_FALSE(h.cvEOF());
  // With hidden deleted records the skip counts visible ones only.
  h.cvGetRec(2);
  h.cvDeleteRec();
  h.cvSetShowDeleted(false);
  h.cvGetRec(1);
  h.cvSkip(1);
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  h.cvSkip(1);
  EXPECT_TRUE(h.cvEOF());
}

TEST(RecordHandler, FindWithoutTagEndsAtLastRecord) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler h(file, "", true, false);
  h.cvGetRec(1);
  EXPECT_FALSE(h.cvFind("B"));
  EXPECT_TRUE(h.cvEOF());
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  EXPECT_EQ(h.cvHuntDuplicate("NAME", "B"), -1);
  std::string key = "x";
  EXPECT_EQ(h.cvGetKey(-3, key), 0);
  EXPECT_EQ(key, "");
  EXPECT_FALSE(h.cvSetRange("A", "B", true, true, false));
}

TEST(RecordHandlerFilter, BitmapFollowsTextWritesAndOptions) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C", "D", "E"});
  CVO_dBHandler h(file, "", true, true);
  h.kvSetTranslateAscii(false);
  h.cvGetRec(2);
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N > 2", false, true);
  EXPECT_TRUE(h.cvFilterActive());
  EXPECT_EQ(h.cvCurrentRecord(), 2);  // the scan puts the record back
  EXPECT_EQ(Walk(h), (V{3, 4, 5}));
  EXPECT_EQ(WalkBack(h), (V{5, 4, 3}));
  // Reading a record that does not pass reports the position as lost.
  h.cvGetRec(1);
  EXPECT_TRUE(h.cvPositionLost());

  // Editing a record out of the filter clears its bit at the write.
  SetN(h, 4, 0);
  EXPECT_TRUE(h.cvPositionLost());
  EXPECT_FALSE(h.cvFilterBitmap()->BitValue(4));
  h.cvGetRec(3);
  h.cvGetRec(cvReadNext);
  EXPECT_EQ(h.cvCurrentRecord(), 5);
  h.cvGetRec(cvReadPrevious);
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  // ... and editing one in sets it.
  SetN(h, 1, 9);
  EXPECT_EQ(Walk(h), (V{1, 3, 5}));

  // Another process appends a passing record: on a shared table the same
  // text with the same options scans again and finds it.
  {
    CVO_dBHandler other(file, "", true, true);
    other.cvBlank();
    other.cvStringPut("NAME", "F");
    other.cvNumberPut("N", 6);
    other.cvAppend();
    other.cvCloseTable();
  }
  h.cvSetFilterExpr("N > 2", false, true);
  EXPECT_EQ(Walk(h), (V{1, 3, 5, 6}));
  h.cvRefreshFilter();
  EXPECT_EQ(Walk(h), (V{1, 3, 5, 6}));

  // Switched off, every record is visible; on again, the bitmap is back.
  h.cvSetFilterActive(false);
  EXPECT_EQ(Walk(h).size(), 6u);
  h.cvSetFilterActive(true);
  EXPECT_EQ(Walk(h), (V{1, 3, 5, 6}));
  // An empty text removes the filter.
  h.cvSetFilterExpr("", false, true);
  EXPECT_FALSE(h.cvFilterActive());
  EXPECT_EQ(Walk(h).size(), 6u);
}

TEST(RecordHandlerFilter, NoPassingRecordSetsBothEnds) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler h(file, "", true, false);
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N > 100", false, true);
  EXPECT_TRUE(h.cvFilterActive());
  h.cvGetRec(cvReadTop);
  EXPECT_TRUE(h.cvEOF());
  EXPECT_TRUE(h.cvBOF());
  h.cvGetRec(cvReadBottom);
  EXPECT_TRUE(h.cvBOF());
  EXPECT_FALSE(h.cvRecordFound());
}

TEST(RecordHandlerFilter, HiddenDeletedAndSkipFollowTheFilter) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C", "D", "E", "F"});
  CVO_dBHandler h(file, "", true, false);
  h.cvGetRec(4);
  h.cvDeleteRec();
  h.cvSetShowDeleted(false);
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N > 1 .AND. N < 6", false, true);
  // The deleted record gets no bit in the scan.
  EXPECT_FALSE(h.cvFilterBitmap()->BitValue(4));
  EXPECT_EQ(Walk(h), (V{2, 3, 5}));
  h.cvGetRec(cvReadTop);
  h.cvSkip(2);
  EXPECT_EQ(h.cvCurrentRecord(), 5);
  h.cvSkip(5);
  EXPECT_TRUE(h.cvEOF());
}

TEST(RecordHandlerFilter, BadTextsLeaveFilterInactiveAndFailAgain) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler h(file, "", true, false);
  h.cvSetFilterActive(true);
  const std::string first = ErrorOf([&] { h.cvSetFilterExpr("N > (2", false, true); });
  EXPECT_NE(first, "no error");
  EXPECT_FALSE(h.cvFilterActive());
  EXPECT_EQ(h.cvFilterText(), "");
  // The same text again is compiled again and fails the same way.
  EXPECT_EQ(ErrorOf([&] { h.cvSetFilterExpr("N > (2", false, true); }), first);
  EXPECT_EQ(Walk(h).size(), 3u);

  // A number is not a condition: the same message, the same state, and a
  // later switch-on keeps the filter off.
  const std::string numeric = cvFormat(cvErrFilterExpression);
  EXPECT_EQ(ErrorOf([&] { h.cvSetFilterExpr("N + 1", false, true); }), numeric);
  EXPECT_FALSE(h.cvFilterActive());
  h.cvSetFilterActive(true);
  EXPECT_FALSE(h.cvFilterActive());
  EXPECT_EQ(Walk(h).size(), 3u);
  EXPECT_EQ(ErrorOf([&] { h.cvSetFilterExpr("N + 1", false, true); }), numeric);
  // A sound text afterwards works.
  h.cvSetFilterExpr("N = 2", false, true);
  EXPECT_TRUE(h.cvFilterActive());
  EXPECT_EQ(Walk(h), (V{2}));
}

namespace {
// Shrinks the table the way pack does (count lowered, file cut), without
// touching the filter, to show that navigation copes with the old bitmap.
class PackingHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  void CutTo(int32_t count) {
    recordCount_ = count;
    cvTruncate(cvHeaderLength() + static_cast<int64_t>(count) * cvRecordLength());
    cvSetHeaderDirty(true);
    cvHdrWrite();
  }
  bool failAt = false;
  int32_t failRecord = 0;
  bool cvTestFilter() override {
    if (failAt && cvCurrentRecord() == failRecord) throw ECorvidError("refused by the test");
    return true;
  }
};
}  // namespace

TEST(RecordHandlerFilter, BitsAboveCountAfterPackAreDropped) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C", "D", "E", "F"});
  PackingHandler h(file, "", true, false);
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N > 1", false, true);
  EXPECT_EQ(Walk(h), (V{2, 3, 4, 5, 6}));
  h.CutTo(3);
  EXPECT_NO_THROW(h.cvGetRec(cvReadBottom));
  EXPECT_EQ(h.cvCurrentRecord(), 3);
  EXPECT_LE(h.cvFilterBitmap()->Highest(), 3);
  EXPECT_EQ(Walk(h), (V{2, 3}));
}

TEST(RecordHandlerFilter, ScanFailureRestoresCacheAndLeavesNoHalfBitmap) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C", "D"});
  PackingHandler h(file, "", true, false);
  h.cvGetRec(1);
  h.failAt = true;
  h.failRecord = 3;
  h.cvSetFilterActive(true);
  EXPECT_FALSE(h.cvDBFCacheOn());
  EXPECT_EQ(ErrorOf([&] { h.cvSetFilterExpr("N > 0", false, true); }), "refused by the test");
  EXPECT_FALSE(h.cvDBFCacheOn());
  EXPECT_FALSE(h.cvFilterActive());
  EXPECT_EQ(h.cvFilterText(), "");
  h.failAt = false;
  h.cvSetFilterExpr("N > 0", false, true);
  EXPECT_EQ(Walk(h), (V{1, 2, 3, 4}));
}

TEST(RecordHandlerCache, WindowServesRecordsAndFollowsOwnWrites) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler h(file, "", true, false);
  h.cvSetDBFCacheAllowed(true);
  h.cvSetDBFCache(true);
  ASSERT_TRUE(h.cvDBFCacheOn());
  EXPECT_EQ(h.cvCacheRecords(), DBFCacheSize / h.cvRecordLength());
  h.cvGetRec(1);
  h.cvStringPut("NAME", "Z");
  h.cvPutRec(1);
  h.cvGetRec(2);
  h.cvGetRec(1);
  EXPECT_EQ(Name(h), "Z");
  h.cvSetDBFCacheAllowed(false);
  EXPECT_FALSE(h.cvDBFCacheOn());
  h.cvSetDBFCache(true);
  EXPECT_FALSE(h.cvDBFCacheOn());
}

TEST(RecordHandlerCache, SharedEditDoesNotOverwriteAnotherUsersChange) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler a(file, "", true, true);
  CVO_dBHandler b(file, "", true, true);
  a.kvSetTranslateAscii(false);
  b.kvSetTranslateAscii(false);
  a.cvSetDBFCache(true);
  a.cvGetRec(cvReadTop);
  a.cvGetRec(cvReadNext);  // the window now holds every record
  ASSERT_EQ(a.cvCurrentRecord(), 2);

  // B changes the name of record 2.
  b.cvGetRec(2);
  ASSERT_TRUE(b.cvRLock());
  b.cvGetRec(cvReadCurrent);
  b.cvStringPut("NAME", "BOB");
  b.cvPutRec(2);
  b.cvLockOff();

  // A edits the number of the same record the way the dataset does: lock,
  // re-read, change, write.
  ASSERT_TRUE(a.cvRLock());
  a.cvGetRec(cvReadCurrent);
  EXPECT_EQ(Name(a), "BOB");
  a.cvNumberPut("N", 42);
  a.cvPutRec(2);
  a.cvLockOff();

  CVO_dBHandler check(file, "", false, true);
  check.kvSetTranslateAscii(false);
  check.cvGetRec(2);
  EXPECT_EQ(Name(check), "BOB");
  EXPECT_EQ(check.cvNumberGet("N"), 42);

  // A plain re-read without a lock sees the file too.
  b.cvGetRec(2);
  b.cvStringPut("NAME", "ANN");
  b.cvPutRec(2);
  a.cvGetRec(cvReadCurrent);
  EXPECT_EQ(Name(a), "ANN");
}

TEST(RecordHandlerCache, RecordAppendedByOtherIsReadFromFileNotWindowTail) {
  TempDir dir;
  auto file = MakeTable(dir, {"A", "B", "C"});
  CVO_dBHandler a(file, "", true, true);
  a.kvSetTranslateAscii(false);
  a.cvSetDBFCache(true);
  a.cvGetRec(1);  // the window ends with record 3 and the end mark
  {
    CVO_dBHandler b(file, "", true, true);
    b.kvSetTranslateAscii(false);
    b.cvBlank();
    b.cvStringPut("NAME", "D");
    b.cvNumberPut("N", 4);
    b.cvAppend();
    b.cvCloseTable();
  }
  a.cvGetRec(4);
  EXPECT_EQ(a.cvCurrentRecord(), 4);
  EXPECT_EQ(Name(a), "D");
  EXPECT_EQ(a.cvNumberGet("N"), 4);
}

// ---------------------------------------------------------------------------
// Index order through a memory index.

#include "dbf_engine/record_handler_test_index.h"

namespace {
class TagHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  CVobjIndexTag* Index(const std::string& key) {
    CVobjIndexTag* tag = nullptr;
    cvIndexInsert(MakeTestMemoryIndex(this, "T", key, &tag));
    if (!tag) return nullptr;
    SetActiveTag(tag, "T");
    cvtag::Open(tag, cvTagOpenTop);
    return tag;
  }
};

std::vector<std::string> Names(CVO_dBHandler& h) {
  std::vector<std::string> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext)) out.push_back(Name(h));
  return out;
}
using S = std::vector<std::string>;
}  // namespace

TEST(RecordHandlerTag, WalksKeyOrderWithFilterAndHiddenDeleted) {
  TempDir dir;
  auto file = MakeTable(dir, {"PETROV", "IVANOV", "SIDOROV", "IVANOVA", "KOZLOV"});
  TagHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_NE(h.Index("NAME"), nullptr) << "the memory index gave no tag";
  EXPECT_EQ(Names(h), (S{"IVANOV", "IVANOVA", "KOZLOV", "PETROV", "SIDOROV"}));
  h.cvGetRec(4);
  h.cvDeleteRec();
  h.cvSetShowDeleted(false);
  EXPECT_EQ(Names(h), (S{"IVANOV", "KOZLOV", "PETROV", "SIDOROV"}));
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N <> 3", false, true);
  EXPECT_EQ(Names(h), (S{"IVANOV", "KOZLOV", "PETROV"}));
  h.cvGetRec(cvReadBottom);
  EXPECT_EQ(Name(h), "PETROV");
  // An edit that moves a key keeps the order true.
  h.cvGetRec(5);
  h.cvStringPut("NAME", "ABRAMOV");
  h.cvPutRec(5);
  EXPECT_EQ(Names(h), (S{"ABRAMOV", "IVANOV", "PETROV"}));
}

TEST(RecordHandlerTag, FindHonoursExactMatchAndSoftSeek) {
  TempDir dir;
  auto file = MakeTable(dir, {"PETROV", "IVANOV", "SIDOROV", "KOZLOV"});
  TagHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_NE(h.Index("NAME"), nullptr) << "the memory index gave no tag";
  h.cvSetExactMatch(false);
  EXPECT_TRUE(h.cvFind("IVA"));
  EXPECT_EQ(Name(h), "IVANOV");
  EXPECT_TRUE(h.cvFind("KOZLOV"));
  EXPECT_EQ(h.cvCurrentRecord(), 4);
  h.cvSetExactMatch(true);
  EXPECT_FALSE(h.cvFind("IVA"));
  EXPECT_TRUE(h.cvEOF());
  EXPECT_EQ(Name(h), "SIDOROV");  // the last record in key order
  // Soft seek: a failed find stays on the next greater key.
  h.cvSetSoftSeek(true);
  EXPECT_FALSE(h.cvFind("L"));
  EXPECT_FALSE(h.cvEOF());
  EXPECT_EQ(Name(h), "PETROV");
  EXPECT_EQ(h.cvHuntDuplicate("T", "SIDOROV"), 3);
  EXPECT_EQ(h.cvHuntDuplicate("NOPE", "SIDOROV"), -1);
}

TEST(RecordHandlerTag, FilterScanCoversRecordsOutsideTheRange) {
  TempDir dir;
  auto file = MakeTable(dir, {"PETROV", "IVANOV", "SIDOROV", "KOZLOV"});
  TagHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_NE(h.Index("NAME"), nullptr) << "the memory index gave no tag";
  EXPECT_TRUE(h.cvSetRange("J", "Q", true, true, false));
  EXPECT_EQ(Names(h), (S{"KOZLOV", "PETROV"}));
  h.cvSetFilterActive(true);
  h.cvSetFilterExpr("N > 0", false, true);
  for (int32_t r = 1; r <= 4; ++r) EXPECT_TRUE(h.cvFilterBitmap()->BitValue(r)) << r;
  h.cvResetRange();
  EXPECT_EQ(Names(h), (S{"IVANOV", "KOZLOV", "PETROV", "SIDOROV"}));
}
