// Record reads served by the handler's read window: the images, flags and
// events of a read are the same as those of a read from the file.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table_test_util.h"

namespace {

// NAME C(200), N N(5,0): about 159 records to a window, so 700 records span
// several windows.
constexpr int kRecords = 700;

std::string MakeWideTable(const TempDir& dir, const std::string& password) {
  const std::string file = dir / "wide.dbf";
  const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i == 1) n = "NAME", t = "C", len = 200, dec = 0;
    if (i == 2) n = "N", t = "N", len = 5, dec = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 1; i <= kRecords; ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", "name " + std::to_string(i * 7919 % 100003));
    h.cvNumberPut("N", i);
    h.cvAppend();
    if (i % 5 == 0) h.cvDeleteRec();
  }
  if (!password.empty()) h.cvSetPassword(password);
  h.cvCloseTable();
  return file;
}

struct Image {
  int32_t recno;
  std::vector<uint8_t> active, saved;
  bool operator==(const Image&) const = default;
};

Image Take(CVO_dBHandler& h) {
  const auto len = static_cast<size_t>(h.cvRecordLength());
  return {h.cvCurrentRecord(), std::vector<uint8_t>(h.cvActiveBuffer(), h.cvActiveBuffer() + len),
          std::vector<uint8_t>(h.cvSavedImage(), h.cvSavedImage() + len)};
}

// Forward, backward, top/bottom and direct reads, in one list.
std::vector<Image> Reads(CVO_dBHandler& h) {
  std::vector<Image> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext)) out.push_back(Take(h));
  for (h.cvGetRec(cvReadBottom); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadPrevious)) out.push_back(Take(h));
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    h.cvGetRec(1 + static_cast<int32_t>(rng() % kRecords));
    out.push_back(Take(h));
  }
  return out;
}

// Counts the read events and checks they come in pairs for one record.
class EventHandler : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  bool cvDBFEvent(dbFileEvent event, int32_t n) override {
    if (event == dbPreRead) {
      ++pre;
      pending = n;
    } else if (event == dbPostRead) {
      ++post;
      if (n != pending || cvCurrentRecord() != n) ++mismatched;
    }
    return CVO_dBHandler::cvDBFEvent(event, n);
  }
  int pre = 0, post = 0, mismatched = 0;
  int32_t pending = 0;
};

}  // namespace

TEST(RecordWalk, WindowReadsEqualFileReadsPlainAndCiphered) {
  for (const std::string password : {"", "Secret"}) {
    SCOPED_TRACE("password '" + password + "'");
    TempDir dir;
    const auto file = MakeWideTable(dir, password);
    // Each order is read without the window, then through it.
    auto readAll = [&](bool window, bool showDeleted) {
      CVO_dBHandler h(file, password, false, false);
      h.cvSetShowDeleted(showDeleted);
      h.cvSetDBFCache(window);
      EXPECT_EQ(h.cvDBFCacheOn(), window);
      if (window) {
        EXPECT_LT(h.cvCacheRecords(), kRecords / 3);
      }
      return Reads(h);
    };
    const auto want = readAll(false, true);
    const auto got = readAll(true, true);
    ASSERT_EQ(want.size(), got.size());
    EXPECT_TRUE(want == got);
    // Deleted records are hidden the same way through the window.
    const auto wantHidden = readAll(false, false);
    EXPECT_LT(wantHidden.size(), want.size());
    EXPECT_TRUE(wantHidden == readAll(true, false));
  }
}

TEST(RecordWalk, WindowReadKeepsEventsFlagsAndTheCallersBuffer) {
  TempDir dir;
  const auto file = MakeWideTable(dir, "");
  EventHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  h.cvSetDBFCache(true);
  int reads = 0;
  for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) ++reads;
  EXPECT_EQ(reads, kRecords);
  EXPECT_EQ(h.pre, kRecords);
  EXPECT_EQ(h.post, kRecords);
  EXPECT_EQ(h.mismatched, 0);

  // The dataset reads into its own buffer; the saved image stays apart.
  std::vector<uint8_t> mine(static_cast<size_t>(h.cvRecordLength()) + 1, 0);
  h.cvSetActiveBuffer(mine.data());
  h.cvFieldChangedFlags().assign(h.cvFieldChangedFlags().size(), 1);
  h.cvSetRecordModified(true);
  h.cvGetRec(10);
  EXPECT_EQ(h.cvActiveBuffer(), mine.data());
  EXPECT_EQ(h.cvCurrentRecord(), 10);
  EXPECT_EQ(h.cvNumberGet("N"), 10);
  EXPECT_EQ(std::memcmp(mine.data(), h.cvSavedImage(), static_cast<size_t>(h.cvRecordLength())), 0);
  EXPECT_NE(static_cast<const uint8_t*>(mine.data()), h.cvSavedImage());
  for (uint8_t f : h.cvFieldChangedFlags()) EXPECT_EQ(f, 0);
  EXPECT_FALSE(h.cvRecordModified());
  EXPECT_EQ(h.cvState(), dbBrowse);

  // An edit of the buffer shows against the saved image and is dropped by
  // the next read.
  h.cvNumberPut("N", 77);
  EXPECT_TRUE(h.ixRecordModified());
  h.cvGetRec(11);
  EXPECT_FALSE(h.ixRecordModified());
  EXPECT_EQ(h.cvNumberGet("N"), 11);
  h.cvSetActiveBuffer(nullptr);
}

TEST(RecordWalk, SharedReadsAfterALockOrAReReadSeeTheFile) {
  TempDir dir;
  const auto file = MakeWideTable(dir, "");
  CVO_dBHandler a(file, "", true, true);
  CVO_dBHandler b(file, "", true, true);
  a.kvSetTranslateAscii(false);
  b.kvSetTranslateAscii(false);
  a.cvSetDBFCache(true);
  a.cvGetRec(3);  // the window holds records 3 onwards
  a.cvGetRec(4);

  b.cvGetRec(5);
  ASSERT_TRUE(b.cvRLock());
  b.cvNumberPut("N", 500);
  b.cvPutRec(5);
  b.cvLockOff();

  // After a lock the window is gone: a read by number sees the change.
  ASSERT_TRUE(a.cvRLock());
  a.cvGetRec(5);
  EXPECT_EQ(a.cvNumberGet("N"), 500);
  a.cvLockOff();

  // Walking on serves the window again, a re-read goes to the file.
  a.cvGetRec(cvReadNext);
  EXPECT_EQ(a.cvCurrentRecord(), 6);
  b.cvGetRec(6);
  b.cvNumberPut("N", 600);
  b.cvPutRec(6);
  a.cvGetRec(cvReadCurrent);
  EXPECT_EQ(a.cvNumberGet("N"), 600);
}

namespace {

// Refuses records whose N is a multiple of 7 (a dataset's filter event).
class Refusing : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  bool cvTestFilter() override {
    ++tested;
    return static_cast<int>(cvNumberGet("N")) % 7 != 0;
  }
  int tested = 0;
};

}  // namespace

TEST(RecordWalk, FilterScanThroughTheWindowMarksWhatTheGeneralWalkFinds) {
  TempDir dir;
  const auto file = MakeWideTable(dir, "");
  for (const bool showDeleted : {true, false}) {
    SCOPED_TRACE(showDeleted ? "deleted shown" : "deleted hidden");
    std::vector<int32_t> want;
    for (int32_t r = 1; r <= kRecords; ++r)
      if (r > 100 && r % 7 != 0 && (showDeleted || r % 5 != 0)) want.push_back(r);
    std::vector<std::vector<int32_t>> got;
    for (const bool allowed : {true, false}) {
      Refusing h(file, "", false, false);
      h.kvSetTranslateAscii(false);
      h.cvSetShowDeleted(showDeleted);
      h.cvSetDBFCacheAllowed(allowed);
      h.cvGetRec(3);
      h.cvSetFilterExpr("N > 100", false, false);
      EXPECT_EQ(h.cvCurrentRecord(), 3);
      // Each visible record is tested once, the same on either path.
      EXPECT_EQ(h.tested, showDeleted ? kRecords : kRecords - kRecords / 5);
      std::vector<int32_t> bits;
      for (int32_t r = 1; r <= kRecords + 5; ++r)
        if (h.cvFilterBitmap()->BitValue(r)) bits.push_back(r);
      got.push_back(bits);
    }
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], want);
  }
}

namespace {

// The state a read leaves behind, beyond the images.
struct AfterRead {
  Image image;
  std::vector<uint8_t> changed;
  bool modified;
  dbFileState state;
  bool eof, bof;
  bool operator==(const AfterRead&) const = default;
};

// Each read starts from an edited-looking table (flags set, record
// modified, the given state), so that what the read resets shows.
std::vector<AfterRead> DirtyReads(CVO_dBHandler& h, dbFileState state) {
  std::vector<AfterRead> out;
  auto dirty = [&] {
    h.cvFieldChangedFlags().assign(h.cvFieldChangedFlags().size(), 1);
    h.cvSetRecordModified(true);
    h.cvSetState(state);
  };
  auto take = [&] {
    out.push_back({Take(h), h.cvFieldChangedFlags(), h.cvRecordModified(), h.cvState(), h.cvEOF(), h.cvBOF()});
  };
  dirty();
  h.cvGetRec(cvReadTop);
  for (; !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext)) {
    take();
    dirty();
  }
  take();
  h.cvSetState(dbBrowse);
  return out;
}

}  // namespace

TEST(RecordWalk, UnheardReadEventsLeaveWhatAListeningSubclassSees) {
  for (const std::string password : {"", "Secret"}) {
    SCOPED_TRACE("password '" + password + "'");
    TempDir dir;
    const auto file = MakeWideTable(dir, password);
    for (const dbFileState state : {dbBrowse, dbEdit, dbCopy}) {
      SCOPED_TRACE(static_cast<int>(state));
      // One handle at a time: the tables are opened exclusively.
      auto walk = [&](CVO_dBHandler& h) {
        h.kvSetTranslateAscii(false);
        h.cvSetShowDeleted(false);
        h.cvSetDBFCache(true);
        return DirtyReads(h, state);
      };
      std::vector<AfterRead> want, got;
      {
        EventHandler heard(file, password, false, false);
        EXPECT_TRUE(heard.cvReadEventsHeard());
        want = walk(heard);
        // The listener heard one pair of events per record read.
        EXPECT_EQ(heard.pre, heard.post);
        EXPECT_GE(heard.pre, kRecords);
        EXPECT_EQ(heard.mismatched, 0);
      }
      {
        CVO_dBHandler lean(file, password, false, false);
        EXPECT_FALSE(lean.cvReadEventsHeard());
        got = walk(lean);
      }
      // Browsing hides the deleted records; other states read plainly.
      const int visible = state == dbBrowse ? kRecords - kRecords / 5 : kRecords;
      ASSERT_EQ(want.size(), static_cast<size_t>(visible + 1));
      ASSERT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
    }
  }
}
