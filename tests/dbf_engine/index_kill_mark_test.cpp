// Index files stay in step with their table when a writer is killed.
//
// A child process appends records (with key-changing edits and memo writes
// between), rebuilds or adds tags, on a table opened exclusively or shared,
// and is killed with SIGKILL at a random moment.  After every kill the
// table is opened once through the engine, and then every tag of every
// index file must hold exactly the keys computed from the records: walked
// through the engine and, every few rounds, by Perl's XBase::Index.  A
// second process opening while a writer lives must leave that writer's
// mark alone, and two shared writers of which one dies leave the index
// marked for the next open.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/child_process.h"
#include "common/sanitizer.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler_test_util.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/index_test_util.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"

using namespace mtest;
using namespace htest;

namespace {

constexpr int kSlow = kSanitized ? 3 : 1;

struct Kind {
  const char* name;
  const char* table;               // MakeTable's kind
  std::vector<std::string> files;  // index files
  std::vector<std::string> tags;   // tag names, one per key: NAME, FM
  bool memo;                       // memo writes between the appends
  bool multi;                      // several tags in one file
};

const Kind kKinds[] = {
    {"ntx", "3", {"n.ntx", "f.ntx"}, {"N", "F"}, false, false},
    {"ndx", "3", {"n.ndx", "f.ndx"}, {"N", "F"}, false, false},
    {"mdx", "4", {"p.mdx"}, {"N", "F"}, false, true},
    {"cdx", "F", {"p.cdx"}, {"N", "F"}, false, true},
    {"memo_cdx", "F", {"p.cdx"}, {"N", "F"}, true, true},
};

std::string List(const Kind& k) {
  std::string s;
  for (const auto& f : k.files) s += (s.empty() ? "" : ",") + f;
  return s;
}

std::string RandomName(std::mt19937& rng) {
  std::string s;
  for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

class IndexKillMark : public ::testing::TestWithParam<std::tuple<int, bool>> {
protected:
  const Kind& K() const { return kKinds[std::get<0>(GetParam())]; }
  bool Shared() const { return std::get<1>(GetParam()); }

  void SetUp() override {
    std::mt19937 rng(4242);
    std::vector<Row> rows;
    for (int i = 0; i < 300; ++i) rows.push_back({RandomName(rng), static_cast<double>(rng() % 100000) / 100, "", false});
    t_ = MakeTable(dir_, "p.dbf", K().table, rows);
    CVO_dBHandler h(t_, "", true, false);
    const bool multi = K().multi;
    ASSERT_EQ(h.cvIndexTo(multi ? K().files[0] : K().files[0], multi ? "N" : "", "NAME", "",
                          CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
              0);
    ASSERT_EQ(h.cvIndexTo(multi ? K().files[0] : K().files[1], multi ? "F" : "", "FM", "",
                          CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending),
              0);
  }

  // The child's work: appends (every fifth step a key-changing edit of a
  // random record, a memo on every record of the memo kind), until killed.
  static void AppendLoop(CVO_dBHandler& h, const Kind& k, unsigned seed) {
    std::mt19937 rng(seed);
    for (;;) {
      if (rng() % 5 == 0 && h.cvRecordCount() > 0) {
        const int32_t r = 1 + static_cast<int32_t>(rng() % static_cast<unsigned>(h.cvRecordCount()));
        h.cvGetRec(r);
        h.cvStringPut("NAME", RandomName(rng));
        h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
        if (k.memo) h.cvMemoSave("NOTE", std::string(rng() % 700, 'e'));
        h.cvPutRec(r);
      } else {
        h.cvBlank();
        h.cvStringPut("NAME", RandomName(rng));
        h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
        if (k.memo) h.cvMemoSave("NOTE", std::string(rng() % 700, 'm'));
        h.cvAppend();
      }
    }
  }

  // Runs `op` on the table opened with its indexes in a child killed after
  // `killAfterUs`; -SIGKILL when it was killed.
  int RunChild(const std::function<void(CVO_dBHandler&)>& op, int killAfterUs) {
    return KilledInChild(
        [&](const std::function<void()>& started) {
          // DIRLOOK_TEST_UNMARKED=1 runs the children without marks: the
          // loops must then fail (keys lost), which shows what they catch.
          if (std::getenv("DIRLOOK_TEST_UNMARKED")) cvIndexMarking = false;
          CVO_dBHandler h(t_, "", true, Shared());
          h.kvSetTranslateAscii(false);
          if (h.cvIndex(List(K()), "N") != 0) ::_exit(2);
          started();
          op(h);
          h.cvCloseTable();
        },
        killAfterUs);
  }

  bool AnyDeadMark() const {
    for (const auto& f : K().files)
      if (cvIndexMark::Inspect((dir_ / f)) == cvIndexMark::Finding::Dead) return true;
    return false;
  }

  bool AnyMarkFile() const {
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      if (e.path().string().ends_with("-changing")) return true;
    return false;
  }

  // The next open through the engine (which repairs), then every tag is
  // checked against the keys computed from the records.
  void OpenOnceAndCheck(bool withPerl) {
    {
      CVO_dBHandler h(t_, "", true, Shared());
      ASSERT_EQ(h.cvIndex(List(K()), "N"), 0);
      h.cvCloseTable();
    }
    EXPECT_FALSE(AnyMarkFile()) << "a mark outlived a clean open and close";
    CVO_dBHandler h(t_, "", false, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(List(K()), "N"), 0);
    const auto names = ExpectTagsMatchRecords(h, K().tags, 300);
    if (names.empty()) return;
    if (withPerl && HavePerlXBase()) {
      // The NAME tag as an independent reader walks the file.
      int rc = 0;
      IndexPairs theirs;
      const std::string file = (dir_ / K().files[0]);
      if (K().multi) {
        const std::string out = RunTool(
            "/usr/bin/perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], tag => q{N}, type => q{char}) "
            "or die XBase::Index->errstr; $i->prepare_select or die $i->errstr; "
            "while (my @d = $i->fetch) { $d[0] =~ s/ +$//; print join(\"\\t\", @d), \"\\n\" }' " +
                file,
            &rc);
        for (size_t pos = 0; pos < out.size();) {
          size_t nl = out.find('\n', pos);
          if (nl == std::string::npos) nl = out.size();
          const std::string line = out.substr(pos, nl - pos);
          pos = nl + 1;
          const size_t tab = line.rfind('\t');
          if (tab == std::string::npos) continue;
          theirs.emplace_back(line.substr(0, tab), std::stoi(line.substr(tab + 1)));
        }
      } else {
        theirs = PerlRead(file, "C", &rc);
      }
      EXPECT_EQ(rc, 0);
      std::sort(theirs.begin(), theirs.end());
      auto want = names;
      std::sort(want.begin(), want.end());
      EXPECT_EQ(theirs, IndexPairs(want.begin(), want.end())) << "as XBase::Index reads " << file;
    }
  }

  // Kill rounds of `op`: kills at random moments up to `maxUs`.
  void KillLoop(const std::function<void(CVO_dBHandler&)>& op, int rounds, int maxUs, unsigned seed) {
    std::mt19937 rng(seed);
    int killed = 0, repaired = 0;
    for (int i = 0; i < rounds; ++i) {
      SCOPED_TRACE("round " + std::to_string(i));
      const int rc = RunChild(op, 2000 + static_cast<int>(rng() % static_cast<unsigned>(maxUs)));
      ASSERT_TRUE(rc == -SIGKILL || rc == 0) << rc;
      killed += rc == -SIGKILL;
      repaired += AnyDeadMark();
      OpenOnceAndCheck(i % 4 == 3);
      if (HasFailure()) return;
    }
    EXPECT_GT(killed, rounds / 2);
    // Nearly every kill lands inside a writing session.
    EXPECT_GT(repaired, 0);
    std::printf("[ kills ] %s %s: %d killed, %d left a mark to repair\n", K().name, Shared() ? "shared" : "exclusive",
                killed, repaired);
  }

  TempDir dir_;
  std::string t_;
};

TEST_P(IndexKillMark, KilledAppendsAndEditsLeaveEveryTagInStep) {
  const Kind k = K();
  KillLoop([k](CVO_dBHandler& h) { AppendLoop(h, k, static_cast<unsigned>(::getpid())); }, 16 / kSlow, 60000, 11);
}

TEST_P(IndexKillMark, KilledReindexAndTagAddLeaveEveryTagInStep) {
  const Kind k = K();
  // Enough records that a rebuild takes a while.
  RunChild([k](CVO_dBHandler& h) { AppendLoop(h, k, 99); }, 150000);
  OpenOnceAndCheck(false);
  KillLoop(
      [k](CVO_dBHandler& h) {
        for (int i = 0;; ++i) {
          if (k.multi && i % 2 == 1)
            h.cvIndexTo(k.files[0], "X", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending);
          else
            h.cvReIndex();
          if (h.cvIndex(List(k), "N") != 0) ::_exit(2);
        }
      },
      10 / kSlow, 40000, 12);
}

// Appends `n` records through `h`.
void AppendSome(CVO_dBHandler& h, const Kind& k, unsigned seed, int n) {
  std::mt19937 rng(seed);
  for (int i = 0; i < n; ++i) {
    h.cvBlank();
    h.cvStringPut("NAME", RandomName(rng));
    h.cvNumberPut("FM", static_cast<double>(rng() % 100000) / 100);
    if (k.memo) h.cvMemoSave("NOTE", std::string(rng() % 700, 'w'));
    h.cvAppend();
  }
}

TEST_P(IndexKillMark, AnOpenBesideALiveWriterNeitherRebuildsNorTakesItsMark) {
  if (!Shared()) GTEST_SKIP() << "an exclusive writer keeps every other open out";
  const Kind k = K();
  // The child writes, says so, and waits with its session open.
  int wrote[2], go[2];
  ASSERT_EQ(::pipe(wrote), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t kid = ::fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    ::close(wrote[0]);
    ::close(go[1]);
    try {
      CVO_dBHandler h(t_, "", true, true);
      h.kvSetTranslateAscii(false);
      if (h.cvIndex(List(k), "N") != 0) ::_exit(2);
      AppendSome(h, k, 5, 40);
      if (::write(wrote[1], "w", 1) != 1) ::_exit(4);
      char c;
      if (::read(go[0], &c, 1) != 1) ::_exit(5);
      AppendSome(h, k, 6, 10);
      h.cvCloseTable();
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  ::close(wrote[1]);
  ::close(go[0]);
  char c;
  ASSERT_EQ(::read(wrote[0], &c, 1), 1);
  std::vector<std::vector<uint8_t>> indexes, marks;
  for (const auto& f : k.files) {
    EXPECT_EQ(cvIndexMark::Inspect(dir_ / f), cvIndexMark::Finding::Live) << f;
    indexes.push_back(ReadAll(dir_ / f));
    marks.push_back(ReadAll(cvIndexMark::MarkName(dir_ / f)));
  }
  // Opens that may write and one that may not: none rebuilds, none
  // refuses, and each reads the writer's records through the tags.
  for (const bool readWrite : {true, false}) {
    SCOPED_TRACE(readWrite);
    CVO_dBHandler h(t_, "", readWrite, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(List(k), "N"), 0);
    EXPECT_EQ(h.cvRecordCount(), 340);
    int32_t walked = 0;
    std::string last;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && h.cvCurrentRecord() >= 1 && walked <= 400; h.cvGetRec(cvReadNext)) {
      const std::string name = Trimmed(h.cvStringGet("NAME"));
      EXPECT_LE(last, name);
      last = name;
      ++walked;
    }
    EXPECT_EQ(walked, 340);
  }
  for (size_t i = 0; i < k.files.size(); ++i) {
    EXPECT_EQ(ReadAll(dir_ / k.files[i]), indexes[i]) << "rebuilt under a live writer: " << k.files[i];
    EXPECT_EQ(ReadAll(cvIndexMark::MarkName(dir_ / k.files[i])), marks[i]) << k.files[i];
    EXPECT_EQ(cvIndexMark::Inspect(dir_ / k.files[i]), cvIndexMark::Finding::Live) << k.files[i];
  }
  // The writer goes on and closes cleanly: no mark is left.
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(kid, &status, 0), kid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(wrote[0]);
  ::close(go[1]);
  EXPECT_FALSE(AnyMarkFile());
  OpenOnceAndCheck(false);
}

TEST_P(IndexKillMark, OfTwoSharedWritersOneKilledTheSurvivorGoesOnAndLeavesTheMark) {
  if (!Shared()) GTEST_SKIP() << "two writers need a shared table";
  const Kind k = K();
  std::mt19937 rng(21 + static_cast<unsigned>(std::get<0>(GetParam())));
  int left = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      // The survivor writes before, while and after the other dies.
      CVO_dBHandler h(t_, "", true, true);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(List(k), "N"), 0);
      AppendSome(h, k, 100 + static_cast<unsigned>(round), 5);
      const int rc = RunChild([k](CVO_dBHandler& c) { AppendLoop(c, k, static_cast<unsigned>(::getpid())); },
                              5000 + static_cast<int>(rng() % 30000));
      ASSERT_EQ(rc, -SIGKILL);
      AppendSome(h, k, 200 + static_cast<unsigned>(round), 5);
      h.cvCloseTable();
    }
    // The survivor's clean close cannot vouch for the other's pages: the
    // mark stays, dead, for the next open to rebuild.
    for (const auto& f : k.files) {
      const auto found = cvIndexMark::Inspect(dir_ / f);
      EXPECT_NE(found, cvIndexMark::Finding::Live) << f;
      left += found == cvIndexMark::Finding::Dead;
    }
    OpenOnceAndCheck(false);
    if (HasFailure()) return;
  }
  EXPECT_GT(left, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, IndexKillMark, ::testing::Combine(::testing::Range(0, 5), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) ? "_shared" : "_exclusive");
                         });

}  // namespace
