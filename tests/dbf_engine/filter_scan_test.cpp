// The filter scan that tests the records where the read window holds them
// against the walk through cvGetRec: the same bits, and the table left on
// the same record with the same images, flags and position, on the same
// inputs.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/handler/record_handler.h"
#include "filter_forms.h"
#include "dbf_engine/table_test_util.h"

namespace {

// NAME C(200), N N(5,0), OK L: about 155 records to a window, so 700
// records span several windows.
constexpr int kRecords = 700;

std::string MakeTable(const TempDir& dir, const std::string& password) {
  const std::string file = dir / "scan.dbf";
  const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i == 1) n = "NAME", t = "C", len = 200, dec = 0;
    if (i == 2) n = "N", t = "N", len = 5, dec = 0;
    if (i == 3) n = "OK", t = "L", len = 1, dec = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 1; i <= kRecords; ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", (i % 3 == 0 ? "SMITH " : "JONES ") + std::to_string(i * 7919 % 100003));
    h.cvNumberPut("N", i);
    h.cvLogicPut("OK", i % 4 == 0);
    h.cvAppend();
    if (i % 5 == 0) h.cvDeleteRec();
  }
  if (!password.empty()) h.cvSetPassword(password);
  h.cvCloseTable();
  return file;
}

// A table that says it listens: its filter scan takes the walk.
class WalkingHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  bool cvScanListens() const override { return true; }
};

// A table whose read events count: it must get the walk with its events.
class CountingHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  bool cvDBFEvent(dbFileEvent event, int32_t n) override {
    if (event == dbPostRead) ++reads;
    return CVO_dBHandler::cvDBFEvent(event, n);
  }
  int reads = 0;
};

struct Outcome {
  std::vector<int32_t> bits;
  int32_t recno = 0;
  std::vector<uint8_t> active, saved;
  bool eof = false, bof = false, found = false, modified = false, filterActive = false;
  bool operator==(const Outcome&) const = default;
};

Outcome Take(CVO_dBHandler& h) {
  Outcome o;
  for (int32_t r = 1; r <= h.cvRecordCount() + 1; ++r)
    if (h.cvFilterBitmap() && h.cvFilterBitmap()->BitValue(r)) o.bits.push_back(r);
  const auto len = static_cast<size_t>(h.cvRecordLength());
  o.recno = h.cvCurrentRecord();
  o.active.assign(h.cvActiveBuffer(), h.cvActiveBuffer() + len);
  o.saved.assign(h.cvSavedImage(), h.cvSavedImage() + len);
  o.eof = h.cvEOF();
  o.bof = h.cvBOF();
  o.found = h.cvRecordFound();
  o.modified = h.cvRecordModified();
  o.filterActive = h.cvFilterActive();
  return o;
}

const char* const kFilters[] = {
    "NAME='SMITH*'",
    "'JONES'<=NAME .AND. N>100",
    "N>100 .AND. NAME='JONES 1*'",
    "LEFT(NAME,5)='SMITH' .OR. OK",
    "UPPER(SUBSTR(NAME,1,3))='JON' .AND. .NOT. OK",
    "RECNO()>650 .OR. RECNO()<3",
    "DELETED() .OR. N=7",
    "NAME='NOBODY'",
};

template <class H>
Outcome Scan(const std::string& file, const std::string& password, const char* filter, bool showDeleted, bool cacheOn,
             int32_t startAt) {
  H h(file, password, false, false);
  h.kvSetTranslateAscii(false);
  h.cvSetShowDeleted(showDeleted);
  h.cvSetDBFCache(cacheOn);
  h.cvGetRec(startAt);
  h.cvSetFilterExpr(filter, false, true);
  return Take(h);
}

}  // namespace

TEST(FilterScan, InPlaceScanEqualsTheWalk) {
  for (const std::string password : {"", "Secret"}) {
    TempDir dir;
    const auto file = MakeTable(dir, password);
    for (const char* filter : kFilters) {
      for (bool showDeleted : {true, false}) {
        for (bool cacheOn : {true, false}) {
          for (int32_t startAt : {1, 345, kRecords}) {
            SCOPED_TRACE(std::string(filter) + " password '" + password + "' shown " + std::to_string(showDeleted) +
                         " cache " + std::to_string(cacheOn) + " at " + std::to_string(startAt));
            const Outcome want = Scan<WalkingHandler>(file, password, filter, showDeleted, cacheOn, startAt);
            const Outcome got = Scan<CVO_dBHandler>(file, password, filter, showDeleted, cacheOn, startAt);
            EXPECT_FALSE(want.bits.empty() && std::string(filter) != "NAME='NOBODY'");
            EXPECT_TRUE(want == got);
            EXPECT_EQ(want.bits, got.bits);
            EXPECT_EQ(want.recno, got.recno);
          }
        }
      }
    }
  }
}

TEST(FilterScan, ListenersStillSeeEveryRecordRead) {
  TempDir dir;
  const auto file = MakeTable(dir, "");
  CountingHandler h(file, "", false, false);
  h.kvSetTranslateAscii(false);
  h.cvGetRec(1);
  h.reads = 0;
  h.cvSetFilterExpr("N>0", false, true);
  // Every record once, plus the record the table stood on read again.
  EXPECT_EQ(h.reads, kRecords + 1);
  EXPECT_TRUE(h.cvScanListens());
  h.cvCloseTable();
  CVO_dBHandler plain(file, "", false, false);
  EXPECT_FALSE(plain.cvScanListens());
}

TEST(FilterScan, CallersImageSurvivesTheScan) {
  TempDir dir;
  const auto file = MakeTable(dir, "");
  auto run = [&](auto& h) {
    h.kvSetTranslateAscii(false);
    std::vector<uint8_t> mine(static_cast<size_t>(h.cvRecordLength()) + 1, ' ');
    h.cvSetActiveBuffer(mine.data());
    h.cvGetRec(42);
    h.cvSetFilterExpr("N<50 .AND. NAME='SMITH*'", false, true);
    // The image stays the caller's buffer and holds record 42.
    EXPECT_EQ(h.cvActiveBuffer(), mine.data());
    EXPECT_EQ(h.cvStringGet("N"), "42");
    Outcome o = Take(h);
    h.cvSetActiveBuffer(nullptr);
    return o;
  };
  Outcome want, got;
  {
    WalkingHandler walk(file, "", false, false);
    want = run(walk);
  }
  {
    CVO_dBHandler inPlace(file, "", false, false);
    got = run(inPlace);
  }
  EXPECT_TRUE(want == got);
}

TEST(FilterScan, SharedScanSeesAppendsOfOthers) {
  TempDir dir;
  const auto file = MakeTable(dir, "");
  auto run = [&](auto& h, int32_t appended) {
    h.kvSetTranslateAscii(false);
    h.cvGetRec(1);
    {
      CVO_dBHandler other(file, "", true, true);
      other.kvSetTranslateAscii(false);
      other.cvBlank();
      other.cvStringPut("NAME", "SMITH NEW");
      other.cvNumberPut("N", 99000 + appended);
      other.cvAppend();
      other.cvCloseTable();
    }
    h.cvSetFilterExpr("NAME='SMITH NEW'", false, true);
    return Take(h);
  };
  Outcome want, got;
  {
    WalkingHandler walk(file, "", false, true);
    want = run(walk, 1);
  }
  {
    CVO_dBHandler inPlace(file, "", false, true);
    got = run(inPlace, 2);
  }
  EXPECT_EQ(want.bits, std::vector<int32_t>{kRecords + 1});
  EXPECT_EQ(got.bits, (std::vector<int32_t>{kRecords + 1, kRecords + 2}));
}

TEST(FilterScan, FailingConditionLeavesTheTableAsTheWalkDoes) {
  TempDir dir;
  const auto file = MakeTable(dir, "");
  // Compiles and passes the first evaluation on record 1, then raises on a
  // record whose number makes the right side a text.
  const char* filter = "IIF(N>300,'x',1)=1";
  auto run = [&](auto& h) {
    h.kvSetTranslateAscii(false);
    h.cvGetRec(1);
    bool raised = false;
    try {
      h.cvSetFilterExpr(filter, false, true);
    } catch (const std::exception&) {
      raised = true;
    }
    EXPECT_TRUE(raised);
    return Take(h);
  };
  Outcome want, got;
  {
    WalkingHandler walk(file, "", false, false);
    want = run(walk);
  }
  {
    CVO_dBHandler inPlace(file, "", false, false);
    got = run(inPlace);
  }
  EXPECT_EQ(want.recno, 301);
  EXPECT_TRUE(want == got);
}

// With an index tag in force the scan still runs in record order, and the
// table is then back in the tag's order on the record it stood on, with the
// cache setting the caller gave.
TEST(FilterScan, ActiveTagAndCacheSettingComeBack) {
  TempDir dir;
  const auto file = MakeTable(dir, "");
  {
    CVO_dBHandler h(file, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(
        h.cvIndexTo(dir / "name.ndx", "name", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  }
  auto run = [&](auto& h) {
    h.kvSetTranslateAscii(false);
    h.cvSetDBFCache(false);
    EXPECT_EQ(h.cvIndex(dir / "name.ndx", ""), 0);
    h.cvSetTagTo("name", false);
    h.cvGetRec(cvReadTop);
    h.cvSkip(17);
    h.cvSetFilterExpr("NAME='SMITH*' .AND. N>200", false, true);
    EXPECT_FALSE(h.cvDBFCacheOn());
    EXPECT_NE(h.cvActiveTag(), nullptr);
    std::vector<Outcome> out{Take(h)};
    out.back().found = h.cvPositionLost();
    h.cvSetFilterActive(true);
    for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) out.push_back(Take(h));
    return out;
  };
  std::vector<Outcome> want, got;
  {
    WalkingHandler walk(file, "", false, false);
    want = run(walk);
  }
  {
    CVO_dBHandler inPlace(file, "", false, false);
    got = run(inPlace);
  }
  EXPECT_GT(want.size(), 50u);
  EXPECT_TRUE(want == got);
}

namespace {

// A table of 1,500 records of 1,027 bytes: more than the scan reads at a
// time, with a block boundary after record 1021.  CODE holds the record
// number, NAME short texts of the random forms' alphabet.
std::string MakeWideTable(const TempDir& dir, const std::string& password) {
  const std::string file = dir / "wide.dbf";
  const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i == 1) n = "NAME", t = "C", len = 20, dec = 0;
    if (i == 2) n = "CODE", t = "C", len = 6, dec = 0;
    if (i == 3) n = "NOTE", t = "C", len = 1000, dec = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  std::mt19937 rng(23);
  for (int i = 1; i <= 1500; ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", filter_forms::Text(rng, 4));
    h.cvStringPut("CODE", std::to_string(i));
    h.cvStringPut("NOTE", std::string(static_cast<size_t>(i % 900), 'n'));
    h.cvAppend();
    if (i % 5 == 0) h.cvDeleteRec();
  }
  if (!password.empty()) h.cvSetPassword(password);
  h.cvCloseTable();
  return file;
}

Outcome ScanWith(const std::string& file, const std::string& password, const std::string& filter, bool ci, bool partial,
                 bool showDeleted, bool shared, bool fast) {
  cvExpSetFastPaths(fast);
  CVO_dBHandler h(file, password, false, shared);
  h.kvSetTranslateAscii(false);
  h.cvSetShowDeleted(showDeleted);
  h.cvGetRec(777);
  h.cvSetFilterExpr(filter, ci, partial);
  cvExpSetFastPaths(true);
  return Take(h);
}

}  // namespace

// The scan's flat record tests against the general evaluation of the same
// scan (the evaluator's fast paths off): the same bits and the table left
// the same, across block boundaries, on enciphered and shared tables, with
// deleted records shown or hidden.
TEST(FilterScan, FlatTestsGiveTheGeneralBits) {
  std::mt19937 rng(31);
  std::vector<std::string> filters = {"CODE='1021' .OR. CODE='1022' .OR. '1500'=CODE .OR. CODE='1'", "NAME='A*'",
                                      "'B'=LEFT(NAME,1) .AND. CODE<>'7'", "UPPER(NAME)='\xC8*' .OR. CODE='5'",
                                      "NAME='*?*' .AND. CODE>'3'"};
  for (int i = 0; i < 12; ++i) filters.push_back(filter_forms::Condition(rng, {"NAME", "CODE"}, 2));
  for (const std::string password : {"", "Secret"}) {
    TempDir dir;
    const auto file = MakeWideTable(dir, password);
    for (size_t f = 0; f < filters.size(); ++f) {
      const unsigned opt = rng() % 16;
      const bool ci = opt & 1, partial = opt & 2, showDeleted = opt & 4, shared = opt & 8;
      SCOPED_TRACE(filters[f] + " password '" + password + "' opt " + std::to_string(opt));
      const Outcome want = ScanWith(file, password, filters[f], ci, partial, showDeleted, shared, false);
      const Outcome got = ScanWith(file, password, filters[f], ci, partial, showDeleted, shared, true);
      EXPECT_TRUE(want == got);
      EXPECT_EQ(want.bits, got.bits);
      EXPECT_EQ(got.recno, 777);
      if (f == 0) {
        const std::vector<int32_t> boundary =
            showDeleted ? std::vector<int32_t>{1, 1021, 1022, 1500} : std::vector<int32_t>{1, 1021, 1022};
        EXPECT_EQ(got.bits, boundary);
      }
    }
  }
}
