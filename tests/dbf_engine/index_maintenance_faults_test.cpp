// Reindex, zap, a tag added and a new index file, failing at each write in
// turn on a disk that fills up (on one where, once full, writes over
// existing bytes fail as well) and killed at each crash point in turn.
// After every failure the operation has reported it (or the process died);
// then one read-write open gives the table old or new and every index file
// old, new, or marked and repaired by that open: each tag holds exactly the
// records' keys, no mark is left, and the same operation run again
// succeeds.  The failure points are stepped through with a seeded stride.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/full_disk.h"
#include "common/sanitizer.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"

using namespace mtest;

namespace {

namespace fs = std::filesystem;

struct Kind {
  const char* name;
  const char* table;               // MakeTable's kind
  std::vector<std::string> files;  // index files: tags N (NAME) and F (FM)
  bool multi;                      // tags named inside one file
  bool memo;                       // records carry memos
};

const Kind kKinds[] = {
    {"ntx", "3", {"n.ntx", "f.ntx"}, false, false}, {"ndx", "3", {"n.ndx", "f.ndx"}, false, false},
    {"mdx", "4", {"p.mdx"}, true, false},           {"cdx", "F", {"p.cdx"}, true, false},
    {"memo_cdx", "F", {"p.cdx"}, true, true},
};

enum class Op { Reindex, Zap, TagAdd, NewIndex };
const char* const kOpNames[] = {"reindex", "zap", "tag_add", "new_index"};

enum class Fault { DiskFull, OverwritesFail, Kill };

constexpr int kRows = 300;
// Failure points tried per kind of fault.
constexpr int kPoints = kSanitized ? 8 : 24;

std::string RandomName(std::mt19937& rng) {
  std::string s;
  for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

class IndexMaintenanceFaults : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
  const Kind& K() const { return kKinds[std::get<0>(GetParam())]; }
  Op O() const { return static_cast<Op>(std::get<1>(GetParam())); }

  void SetUp() override {
    std::mt19937 rng(606);
    std::vector<Row> rows;
    for (int i = 0; i < kRows; ++i)
      rows.push_back({RandomName(rng), static_cast<double>(rng() % 100000) / 100,
                      K().memo ? std::string(1 + rng() % 300, static_cast<char>('a' + i % 26)) : "", false});
    t_ = MakeTable(dir_, "p.dbf", K().table, rows);
    {
      CVO_dBHandler h(t_, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndexTo(K().files[0], K().multi ? "N" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending),
                0);
      ASSERT_EQ(h.cvIndexTo(K().multi ? K().files[0] : K().files[1], K().multi ? "F" : "", "FM", "",
                            CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
                0);
      // Appends after the build: the trees differ from what a rebuild writes.
      ASSERT_EQ(h.cvIndex(List(), "N"), 0);
      for (int i = 0; i < 40; ++i) {
        h.cvBlank();
        h.cvStringPut("NAME", RandomName(rng));
        h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
        if (K().memo) h.cvMemoSave("NOTE", std::string(1 + rng() % 300, 'z'));
        h.cvAppend();
      }
      h.cvCloseTable();
    }
    pristine_ = Snapshot(dir_);
  }

  // The new index file of the operation (NewIndex), or none.
  std::string NewFile() const {
    if (O() != Op::NewIndex) return "";
    const std::string k = K().name;
    return k == "ntx" ? "nx.ntx" : k == "ndx" ? "nx.ndx" : k == "mdx" ? "x.mdx" : "x.cdx";
  }

  // The index files; with `withNew`, the operation's new file when it is
  // there.
  std::string List(bool withNew = true) const {
    std::string s;
    for (const auto& f : K().files) s += (s.empty() ? "" : ",") + f;
    if (withNew && !NewFile().empty() && fs::exists(dir_ / NewFile())) s += "," + NewFile();
    return s;
  }

  void Run(CVO_dBHandler& h) const {
    switch (O()) {
      case Op::Reindex: h.cvReIndex(); break;
      case Op::Zap: h.cvZap(); break;
      case Op::TagAdd:
        // A single-tag file is made anew over the old one.
        if (K().multi)
          h.cvIndexTo(K().files[0], "NX", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        else
          h.cvIndexTo(K().files[0], "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        break;
      case Op::NewIndex:
        h.cvIndexTo(NewFile(), K().multi ? "NX" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                    CVsetSortStatus::Ascending);
        break;
    }
  }

  // Every file as before the first failure; marks and new files go.
  void Reset() {
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (!pristine_.count(e.path().filename().string())) fs::remove(e.path());
    for (const auto& [name, bytes] : pristine_) WriteAll(dir_ / name, bytes);
  }

  // A mark beside no file (a new file's maker killed before it made the
  // file) is opened by nothing; the next making of the file removes it.
  bool AnyMark(bool besideNoFile) const {
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().string();
      if (!name.ends_with("-changing")) continue;
      if (besideNoFile || fs::exists(name.substr(0, name.size() - 9))) return true;
    }
    return false;
  }

  // One read-write open (which repairs what a failure left marked), then
  // the table and every tag of every index file it opens checked.
  void ExpectSound(const std::string& when, bool again) {
    SCOPED_TRACE(when);
    try {
      CVO_dBHandler h(t_, "", true, false);
      h.kvSetTranslateAscii(false);
      const std::string list = List();
      try {
        ASSERT_EQ(h.cvIndex(list, "N"), 0);
      } catch (const Exception& e) {
        // A new file left unfinished goes on the open that finds it: the
        // index files are as they were before it was made.
        ASSERT_FALSE(NewFile().empty() || fs::exists(dir_ / NewFile())) << e.what();
        EXPECT_NE(std::string(e.what()).find("could not be found"), std::string::npos) << e.what();
        ASSERT_EQ(h.cvIndex(List(), "N"), 0);
      }
      const int32_t count = h.cvRecordCount();
      if (O() == Op::Zap) EXPECT_TRUE(count == 0 || count == kRows + 40) << count;
      else EXPECT_EQ(count, kRows + 40);
      if (K().memo) {
        std::string note;
        for (int32_t r = 1; r <= count; ++r) {
          h.cvGetRec(r);
          h.cvMemoLoad("NOTE", note);
          EXPECT_FALSE(note.empty()) << "record " << r;
        }
      }
      std::vector<std::string> tags;
      for (int n = 1; CVobjIndexTag* t = h.cvIndexPointer(n); ++n) {
        std::string name = t->TagName();
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        tags.push_back(name);
      }
      std::sort(tags.begin(), tags.end());
      std::vector<std::string> want = {"F", "N"};
      EXPECT_TRUE(std::includes(tags.begin(), tags.end(), want.begin(), want.end()));
      ExpectTagsMatchRecords(h, tags, 0);
      h.cvCloseTable();
    } catch (const Exception& e) {
      ADD_FAILURE() << "the open after the failure raised: " << e.what();
    }
    EXPECT_FALSE(AnyMark(again)) << "a mark outlived a clean open and close";
  }

  // Runs the operation on the table opened with its index files; true when
  // it raised.
  bool Attempt(const std::function<void()>& arm, const std::function<void()>& disarm, bool withNew = true) {
    CVO_dBHandler h(t_, "", true, false);
    h.kvSetTranslateAscii(false);
    if (h.cvIndex(List(withNew), "N") != 0) throw std::runtime_error("indexes do not open");
    bool failed = false;
    arm();
    try {
      Run(h);
    } catch (const Exception&) {
      failed = true;
    }
    disarm();
    h.cvCloseTable();
    return failed;
  }

  // How many writes (or crash points) the operation takes when nothing
  // fails.
  int64_t Points(bool crash) {
    Reset();
    constexpr int64_t kMany = int64_t{1} << 40;
    int64_t left = 0;
    Attempt([&] { crash ? cvSetCrashCountdown(kMany) : cvSetWriteFailCountdown(kMany); },
            [&] {
              left = crash ? cvCrashCountdown : cvWriteFailCountdown;
              crash ? cvSetCrashCountdown(0) : cvSetWriteFailCountdown(0);
            });
    return kMany - left;
  }

  void FaultLoop(Fault fault) {
    WriteFailGuard disarm;
    const bool kill = fault == Fault::Kill;
    const int64_t points = Points(kill);
    ASSERT_GT(points, 2);
    std::mt19937 rng(31 + static_cast<unsigned>(std::get<0>(GetParam()) * 7 + std::get<1>(GetParam())));
    const int64_t stride = std::max<int64_t>(1, (points + kPoints - 1) / kPoints);
    int failed = 0, broken = 0;
    const auto failures = [] {
      return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    };
    for (int64_t at = 1 + static_cast<int64_t>(rng() % static_cast<unsigned>(stride)); at <= points; at += stride) {
      const std::string where = std::string(kill ? "killed at point " : "failing at write ") + std::to_string(at) +
                                " of " + std::to_string(points);
      SCOPED_TRACE(where);
      Reset();
      if (kill) {
        const int rc = ExitCodeInChild([&] {
          CVO_dBHandler h(t_, "", true, false);
          h.kvSetTranslateAscii(false);
          if (h.cvIndex(List(), "N") != 0) ::_exit(2);
          cvSetCrashCountdown(at);
          Run(h);
          cvSetCrashCountdown(0);
          h.cvCloseTable();
        });
        ASSERT_TRUE(rc == cvCrashExitCode || rc == 0) << rc;
        failed += rc == cvCrashExitCode;
      } else {
        bool full = false;
        const bool raised = Attempt([&] { cvSetWriteFailCountdown(at, fault == Fault::OverwritesFail); },
                                    [&] {
                                      full = cvDiskFull;
                                      cvSetWriteFailCountdown(0);
                                    });
        if (!raised) {
          // It took fewer writes this time; a write that failed is never
          // passed over.
          EXPECT_FALSE(full) << "a write failed and the operation reported success";
          continue;
        }
        ++failed;
      }
      const int before = failures();
      if (kill && O() == Op::NewIndex && at % 2 == 0) {
        // The new index built again over what the killed build left, before
        // any open has seen it.
        try {
          EXPECT_FALSE(Attempt([] {}, [] {}, false)) << "the build over what a killed one left failed";
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
        }
      }
      ExpectSound("the open after the failure", false);
      // The same operation succeeds now.
      try {
        EXPECT_FALSE(Attempt([] {}, [] {})) << "the operation run again failed";
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      ExpectSound("after the operation ran again", true);
      broken += failures() != before;
    }
    EXPECT_GT(failed, 0);
    std::printf("[ faults ] %s %s %s: %lld points, %d failed, %d left something unsound\n", K().name,
                kOpNames[std::get<1>(GetParam())],
                fault == Fault::Kill ? "killed" : fault == Fault::OverwritesFail ? "overwrites fail" : "disk full",
                static_cast<long long>(points), failed, broken);
  }

  TempDir dir_;
  std::string t_;
  FileBytes pristine_;
};

// The copy a mark keeps of an index file (its format: "CVIXMARK", two
// counts, the copy's length with two flag bits on top, then the copy), or
// nothing when there is no mark or it keeps none.
std::vector<uint8_t> CopyInMark(const std::string& index) {
  const std::vector<uint8_t> mark = ReadAll(cvIndexMark::MarkName(index));
  if (mark.size() < 24 || std::string(mark.begin(), mark.begin() + 8) != "CVIXMARK") return {};
  const uint64_t length = (cvLoadLE32(mark.data() + 16) | (uint64_t{cvLoadLE32(mark.data() + 20)} << 32)) &
                          ~(uint64_t{3} << 62);
  if (length == 0 || mark.size() != 24 + length) return {};
  return std::vector<uint8_t>(mark.begin() + 24, mark.end());
}

// A reindex or zap that fails on a full disk, tried again on the same
// handle while the disk stays full: whatever the cuts left, every copy a
// mark keeps is the index file as it was before the first attempt (a copy
// is kept once, before the first cut), and the next open repairs it all.
class IndexCutFaults : public IndexMaintenanceFaults {};

TEST_P(IndexCutFaults, FailingTwiceOnOneHandleKeepsTheFirstCopy) {
  WriteFailGuard disarm;
  const int64_t points = Points(false);
  int kept = 0;
  for (int64_t at = 1; at <= points; ++at) {
    SCOPED_TRACE("failing at write " + std::to_string(at));
    Reset();
    {
      CVO_dBHandler h(t_, "", true, false);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(List(), "N"), 0);
      cvSetWriteFailCountdown(at);
      EXPECT_THROW(Run(h), Exception);
      try {
        Run(h);  // the disk stays full: this may fail or not
      } catch (const Exception&) {
      }
      cvSetWriteFailCountdown(0);
      h.cvCloseTable();
    }
    for (const auto& f : K().files) {
      const std::vector<uint8_t> copy = CopyInMark(dir_ / f);
      if (copy.empty()) continue;
      ++kept;
      EXPECT_TRUE(copy == pristine_.at(f)) << f << ": the mark keeps " << copy.size() << " bytes, not the file of "
                                           << pristine_.at(f).size() << " bytes as it was";
    }
    ExpectSound("the open after the failures", false);
    if (HasFailure()) break;
  }
  EXPECT_GT(kept, 0);
}

TEST_P(IndexMaintenanceFaults, FullDisk) { FaultLoop(Fault::DiskFull); }

TEST_P(IndexMaintenanceFaults, FullDiskWhereOverwritesFail) { FaultLoop(Fault::OverwritesFail); }

TEST_P(IndexMaintenanceFaults, Killed) { FaultLoop(Fault::Kill); }

// Reindex and zap.
INSTANTIATE_TEST_SUITE_P(KindsAndOps, IndexCutFaults,
                         ::testing::Combine(::testing::Range(0, 5), ::testing::Range(0, 2)), [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) + "_" +
                                  kOpNames[std::get<1>(info.param)];
                         });

INSTANTIATE_TEST_SUITE_P(KindsAndOps, IndexMaintenanceFaults,
                         ::testing::Combine(::testing::Range(0, 5), ::testing::Range(0, 4)), [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) + "_" +
                                  kOpNames[std::get<1>(info.param)];
                         });

}  // namespace
