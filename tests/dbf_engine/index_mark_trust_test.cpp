// A "being changed" mark beside an index is a file anyone who may create
// files in the folder could have put there.  The copy of the index it keeps
// is written back only into an index file of one name that the mark's
// writer could have written, and only when the mark really holds it; the
// counts a writer adds go only into a mark of one name.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler_test_util.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/index_test_util.h"
#include "platform/exceptions.h"

using namespace mtest;
using namespace htest;

namespace {

class IndexMarkTrust : public ::testing::Test {
protected:
  void SetUp() override {
    std::mt19937 rng(77);
    std::vector<Row> rows;
    for (int i = 0; i < 200; ++i) {
      std::string name;
      for (int k = 0; k < 6; ++k) name += static_cast<char>('A' + rng() % 26);
      rows.push_back({name, static_cast<double>(i), "", false});
    }
    t_ = MakeTable(dir_, "p.dbf", "3", rows);
    {
      CVO_dBHandler h(t_, "", true, false);
      ASSERT_EQ(h.cvIndexTo("n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    }
    good_ = ReadAll(ntx_);
  }

  // A mark left by a writer that died while rebuilding n.ntx: sessions
  // begun 1, ended 0, and a copy of the index as it stood (`copy`, or a
  // hole of `holeBytes` that claims to be one).
  void LeaveDeadMark(const std::vector<uint8_t>& copy, int64_t holeBytes = 0) {
    std::vector<uint8_t> b = {'C', 'V', 'I', 'X', 'M', 'A', 'R', 'K', 1, 0, 0, 0, 0, 0, 0, 0};
    const uint64_t n = holeBytes ? static_cast<uint64_t>(holeBytes) : copy.size();
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
    b.insert(b.end(), copy.begin(), copy.end());
    WriteAll(mark_, b);
    if (holeBytes) std::filesystem::resize_file(mark_, 24 + static_cast<uint64_t>(holeBytes));
  }

  // The index file as a writer cut short left it: it does not load.
  void SpoilIndex() {
    auto bad = good_;
    std::fill(bad.begin(), bad.begin() + 64, 0xEE);
    WriteAll(ntx_, bad);
    spoiled_ = ReadAll(ntx_);
  }

  // Opens the table read-write with n.ntx; the error's text, or "" when it
  // opened and every record is found through the index.
  std::string OpenWithIndex() {
    try {
      CVO_dBHandler h(t_, "", true, false);
      h.kvSetTranslateAscii(false);
      if (h.cvIndex("n.ntx", "N") != 0) return "cvIndex failed";
      int found = 0;
      for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
        h.cvGetRec(r);
        const std::string key = h.cvStringGet("NAME");
        found += h.cvFind(key);
      }
      return found == h.cvRecordCount() ? "" : "keys missing";
    } catch (const Exception& e) {
      return e.Message();
    }
  }

  TempDir dir_;
  std::string t_, ntx_ = dir_ / "n.ntx", mark_ = cvIndexMark::MarkName(dir_ / "n.ntx");
  std::vector<uint8_t> good_, spoiled_;
};

TEST_F(IndexMarkTrust, ItsOwnWritersCopyIsWrittenBackAndRebuilt) {
  EXPECT_EQ(OpenWithIndex(), "") << "before";
  LeaveDeadMark(good_);
  SpoilIndex();
  EXPECT_EQ(OpenWithIndex(), "");
  EXPECT_FALSE(std::filesystem::exists(mark_));
}

TEST_F(IndexMarkTrust, AnotherUsersCopyGoesOnlyIntoAFileThatUserMayWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  LeaveDeadMark(good_);
  SpoilIndex();
  ASSERT_EQ(::chown(mark_.c_str(), 1001, 1001), 0);
  ASSERT_EQ(::chmod(ntx_.c_str(), 0644), 0);
  const std::string why = OpenWithIndex();
  EXPECT_NE(why.find("user number 1001"), std::string::npos) << why;
  EXPECT_NE(why.find("who may not write it"), std::string::npos) << why;
  EXPECT_EQ(ReadAll(ntx_), spoiled_) << "the index was written";
  EXPECT_TRUE(std::filesystem::exists(mark_)) << "the mark was not kept";
  // The same user may write the index by its modes: the repair goes on.
  ASSERT_EQ(::chmod(ntx_.c_str(), 0666), 0);
  EXPECT_EQ(OpenWithIndex(), "");
}

TEST_F(IndexMarkTrust, NoCopyGoesIntoAnIndexWithASecondName) {
  LeaveDeadMark(good_);
  SpoilIndex();
  TempDir elsewhere;
  ASSERT_EQ(::link(ntx_.c_str(), (elsewhere / "victim.ntx").c_str()), 0);
  const std::string why = OpenWithIndex();
  EXPECT_NE(why.find("has another name"), std::string::npos) << why;
  EXPECT_EQ(ReadAll(elsewhere / "victim.ntx"), spoiled_);
}

TEST_F(IndexMarkTrust, AMarkThatClaimsACopyItDoesNotHoldIsRefused) {
  // A gigabyte of hole read as zeros would be written out whole.
  LeaveDeadMark({}, int64_t{1} << 30);
  SpoilIndex();
  const std::string why = OpenWithIndex();
  EXPECT_NE(why.find("that it does not hold"), std::string::npos) << why;
  EXPECT_EQ(ReadAll(ntx_), spoiled_);
}

TEST_F(IndexMarkTrust, AWriterAddsNoCountsToAMarkWithASecondName) {
  TempDir elsewhere;
  const std::string victim = elsewhere / "notes.txt";
  { std::ofstream(victim) << "not a mark"; }
  const auto table = ReadAll(t_);
  std::string why;
  try {
    CVO_dBHandler h(t_, "", true, false);
    ASSERT_EQ(h.cvIndex("n.ntx", "N"), 0);
    // Put in place after the open (which would have taken a mark of
    // foreign content for dead and removed it), before the first write.
    ASSERT_EQ(::link(victim.c_str(), mark_.c_str()), 0);
    h.cvBlank();
    h.cvStringPut("NAME", "ZZZ");
    h.cvAppend();
  } catch (const Exception& e) {
    why = e.Message();
  }
  EXPECT_NE(why.find("Cannot mark"), std::string::npos) << why;
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "not a mark");
  // Nothing was written: the mark comes before the record and its keys.
  EXPECT_EQ(ReadAll(ntx_), good_);
  EXPECT_EQ(ReadAll(t_), table);
}

TEST_F(IndexMarkTrust, ARepairWritesNothingIntoAMarkWithASecondName) {
  // A dead mark that is also a file elsewhere: the rebuild, which keeps a
  // copy of the index in the mark it holds before it cuts the file, must
  // not write it there.
  TempDir elsewhere;
  const std::string victim = elsewhere / "notes.bin";
  LeaveDeadMark(good_);
  std::filesystem::rename(mark_, victim);
  ASSERT_EQ(::link(victim.c_str(), mark_.c_str()), 0);
  const auto kept = ReadAll(victim);
  const std::string why = OpenWithIndex();
  EXPECT_NE(why.find("Cannot mark"), std::string::npos) << why;
  EXPECT_EQ(ReadAll(victim), kept);
  EXPECT_EQ(ReadAll(ntx_), good_);
  // Taken away, the next open finds no mark and the index as it was.
  ASSERT_EQ(::unlink(mark_.c_str()), 0);
  EXPECT_EQ(OpenWithIndex(), "");
}

}  // namespace
