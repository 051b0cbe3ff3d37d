// Pack and password change of a table with one index file in its own folder
// and one in another.  The rollback journal keeps only the table's folder;
// the far index is marked as being changed before the table is touched and
// brought in step once the table's change is committed.  After a clean run,
// and after a child that dies at a seeded write of its pack or password
// change (before the commit, or while the far index is rebuilt or
// re-ciphered), the next open leaves every tag of both files holding
// exactly the keys computed from the records.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/crash_child.h"
#include "common/sanitizer.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/rollback_journal.h"
#include "platform/exceptions.h"

using namespace mtest;

namespace {

namespace fs = std::filesystem;

struct Kind {
  const char* name;
  const char* table;  // MakeTable's kind
  const char* nearFile;
  const char* farFile;
  bool multi;  // tags N and F named inside the files
};

// NAME in the table's folder (t/), FM in another (o/); tags N and F.
const Kind kKinds[] = {
    {"ntx", "3", "t/n.ntx", "o/f.ntx", false},
    {"ndx", "3", "t/n.ndx", "o/f.ndx", false},
    {"mdx", "4", "t/p.mdx", "o/q.mdx", true},
    {"cdx", "F", "t/p.cdx", "o/q.cdx", true},
};

std::string RandomName(std::mt19937& rng) {
  std::string s;
  for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

class FarIndex : public ::testing::TestWithParam<int> {
protected:
  const Kind& K() const { return kKinds[GetParam()]; }

  void SetUp() override {
    fs::create_directory(dir_ / "t");
    fs::create_directory(dir_ / "o");
    std::mt19937 rng(77);
    std::vector<Row> rows;
    for (int i = 0; i < 600; ++i)
      rows.push_back({RandomName(rng), static_cast<double>(rng() % 100000) / 100, "", i % 3 == 1});
    t_ = MakeTable(dir_, "t/p.dbf", K().table, rows);
    CVO_dBHandler h(t_, "", true, false);
    ASSERT_EQ(h.cvIndexTo(dir_ / K().nearFile, K().multi ? "N" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                          CVsetSortStatus::Ascending),
              0);
    ASSERT_EQ(h.cvIndexTo(dir_ / K().farFile, K().multi ? "F" : "", "FM", "", CVsetIndexUnique::Duplicates,
                          CVsetSortStatus::Ascending),
              0);
  }

  std::string List() const { return (dir_ / K().nearFile) + "," + (dir_ / K().farFile); }
  std::string Far() const { return dir_ / K().farFile; }

  bool AnyMarkFile() const {
    for (const char* d : {"t", "o"})
      for (const auto& e : fs::directory_iterator(dir_ / d))
        if (e.path().string().ends_with("-changing")) return true;
    return false;
  }

  // The next open that may write (it rolls back and repairs), then every
  // tag of both files is walked against the keys computed from the records.
  void OpenOnceAndCheck(const std::string& password) {
    {
      CVO_dBHandler h(t_, password, true, false);
      ASSERT_EQ(h.cvIndex(List(), "N"), 0);
      h.cvCloseTable();
    }
    EXPECT_FALSE(AnyMarkFile()) << "a mark outlived a clean open and close";
    EXPECT_FALSE(cvRollbackJournal::HasJournal(t_));
    CVO_dBHandler h(t_, password, false, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    ExpectTagsMatchRecords(h, {"N", "F"}, 400);
  }

  // Runs `op` on the table opened with both indexes in a child that ends
  // at its `crashAt`-th write (0: never); its exit code.  A whole run
  // (`crashAt` 0) tells through `steps` how many writes it made.
  int RunChild(const std::string& password, const std::function<void(CVO_dBHandler&)>& op, int64_t crashAt,
               int64_t* steps = nullptr) {
    return CrashCountedInChild(crashAt, steps, [&](const std::function<void()>& arm) {
      CVO_dBHandler h(t_, password, true, false);
      if (h.cvIndex(List(), "N") != 0) ::_exit(2);
      arm();
      op(h);
      h.cvCloseTable();
    });
  }

  // Deletes every third record again (a pack needs some to remove).
  void DeleteSome(const std::string& password) {
    CVO_dBHandler h(t_, password, true, false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    for (int32_t r = 2; r <= h.cvRecordCount(); r += 3) {
      h.cvGetRec(r);
      if (h.cvDelFlag()) continue;
      h.cvDeleteRec();
      h.cvPutRec(r);
    }
    // And appends as many, so the table keeps its size.
    std::mt19937 rng(static_cast<unsigned>(h.cvRecordCount()));
    for (int i = 0; i < 200; ++i) {
      h.cvBlank();
      h.cvStringPut("NAME", RandomName(rng));
      h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
      h.cvAppend();
    }
  }

  TempDir dir_;
  std::string t_;
};

TEST_P(FarIndex, PackAndPasswordChangeKeepBothFoldersIndexesInStep) {
  {
    CVO_dBHandler h(t_, "", true, false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    const int32_t before = h.cvRecordCount();
    h.cvPack();
    EXPECT_LT(h.cvRecordCount(), before);
  }
  OpenOnceAndCheck("");
  {
    CVO_dBHandler h(t_, "", true, false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    h.cvSetPassword("secret");
  }
  OpenOnceAndCheck("secret");
  {
    // Enciphered, packed, then plain again.
    DeleteSome("secret");
    CVO_dBHandler h(t_, "secret", true, false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    h.cvPack();
    h.cvSetPassword("");
  }
  OpenOnceAndCheck("");
  // The far index closed but known to the table (it was opened by this
  // handle): a password change re-ciphers it too.
  {
    CVO_dBHandler h(t_, "", true, false);
    ASSERT_EQ(h.cvIndex(List(), "N"), 0);
    ASSERT_EQ(h.cvIndex(dir_ / K().nearFile, "N"), 0);
    ASSERT_EQ(h.cvIndexFileIsOpen(Far()), 0);
    h.cvSetPassword("other");
  }
  OpenOnceAndCheck("other");
}

TEST_P(FarIndex, DeathBeforeTheCommitOrDuringTheFarRebuildIsRepairedByTheNextOpen) {
  // Each round counts the writes of a whole pack or password change (run
  // on the files as they are, then put back), and a child dies at a seeded
  // one of them: every other round among the last tenth, where the far
  // index is brought in step after the commit.
  std::mt19937 rng(static_cast<unsigned>(31 + GetParam()));
  std::string password;
  int rolledBack = 0, farLeftMarked = 0;
  for (int round = 0; round < (kSanitized ? 6 : 12); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool change = round % 2 == 1;
    const std::string next = "k" + std::to_string(round);
    if (!change) DeleteSome(password);
    const std::function<void(CVO_dBHandler&)> op = [&](CVO_dBHandler& h) {
      if (change) h.cvSetPassword(next);
      else h.cvPack();
    };
    std::vector<std::pair<fs::path, std::vector<uint8_t>>> saved;
    for (const char* d : {"t", "o"})
      for (const auto& e : fs::directory_iterator(dir_ / d)) saved.emplace_back(e.path(), ReadAll(e.path()));
    int64_t steps = 0;
    ASSERT_EQ(RunChild(password, op, 0, &steps), 0);
    ASSERT_GT(steps, 10);
    for (const char* d : {"t", "o"})
      for (const auto& e : fs::directory_iterator(dir_ / d)) fs::remove(e.path());
    for (const auto& [p, b] : saved) WriteAll(p.string(), b);
    const auto farBefore = ReadAll(Far());
    const int64_t at = round % 4 < 2 ? steps - static_cast<int64_t>(rng() % static_cast<uint64_t>(steps / 10 + 1))
                                     : 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(steps));
    const int rc = RunChild(password, op, std::max<int64_t>(at, 1));
    ASSERT_TRUE(rc == cvCrashExitCode || rc == 0) << rc;
    if (cvRollbackJournal::HasJournal(t_)) {
      // Died before the commit (the journal goes last): the far index was
      // not touched, and the next open rolls the table back.
      ++rolledBack;
      EXPECT_EQ(ReadAll(Far()), farBefore);
    } else {
      if (change) password = next;
      farLeftMarked += cvIndexMark::Inspect(Far()) == cvIndexMark::Finding::Dead;
    }
    OpenOnceAndCheck(password);
    if (HasFailure()) return;
  }
  std::printf("[ deaths ] %s: %d rolled back, %d left the far index marked\n", K().name, rolledBack, farLeftMarked);
  EXPECT_GT(rolledBack, 0);
  EXPECT_GT(farLeftMarked, 0);
}

// A sync that fails anywhere in a pack or a password change (the journal,
// the table, either index, a mark or a folder) is raised, with the file and
// the system's reason, and the next open leaves both files in step.  The
// far index is forced out and its mark taken away after the table's
// commit, where a failure used to go unheard.
TEST_P(FarIndex, AFailedSyncOfAPackOrPasswordChangeIsRaised) {
  struct Disarm {
    ~Disarm() { cvSetSyncFailCountdown(0); }
  } disarm;
  TempDir pristine;
  fs::copy(dir_.path(), pristine.path(), fs::copy_options::recursive);
  for (const bool password : {false, true}) {
    int failures = 0;
    for (int64_t n = 1;; ++n) {
      ASSERT_LT(n, 200);
      SCOPED_TRACE((password ? "password change, sync " : "pack, sync ") + std::to_string(n));
      for (const char* d : {"t", "o"}) {
        fs::remove_all(dir_ / d);
        fs::copy(pristine / d, dir_ / d, fs::copy_options::recursive);
      }
      std::string error;
      {
        auto h = std::make_unique<CVO_dBHandler>(t_, "", true, false);
        ASSERT_EQ(h->cvIndex(List(), "N"), 0);
        cvSetSyncFailCountdown(n);
        try {
          if (password) h->cvSetPassword("k3y");
          else h->cvPack();
          h->cvCloseTable();
        } catch (const Exception& e) {
          error = e.Message();
        }
        h.reset();
      }
      const bool pending = cvSyncFailPending();
      cvSetSyncFailCountdown(0);
      if (pending) {
        EXPECT_EQ(error, "");
        break;
      }
      ++failures;
      EXPECT_NE(error.find(dir_.path()), std::string::npos) << "reported as success: " << error;
      EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
      // Committed or rolled back: the key the table has now.
      std::string key;
      try {
        CVO_dBHandler probe(t_, "", true, false);
      } catch (const ECorvidEncryption&) {
        key = "k3y";
      }
      OpenOnceAndCheck(key);
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(failures, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FarIndex, ::testing::Range(0, 4),
                         [](const auto& info) { return std::string(kKinds[info.param].name); });

}  // namespace
