// Appends and edits on a table held exclusively take their undo bytes from
// what the handle last wrote instead of reading the file; a shared table
// reads them.  The two roads must leave the same bytes in the table, its
// memo and its index files, also when writes fail on a full disk and are
// rolled back.  An appender killed part-way leaves a table that another
// reader reads consistently: every record it reported appended, each whole.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/full_disk.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/messages.h"

using namespace mtest;

namespace {

cvHeaderClockValue FixedClock() { return {2026, 12, 8, 11, 22, 33, 444}; }

struct FixedClockScope {
  FixedClockScope() { cvSetHeaderClock(&FixedClock); }
  ~FixedClockScope() { cvSetHeaderClock(nullptr); }
};

struct Kind {
  const char* name;
  const char* table;                                      // table kind for MakeTable
  std::vector<std::pair<const char*, const char*>> tags;  // file, tag: on NAME, then on FM
  const char* list;                                       // the files to open
};

const Kind kKinds[] = {
    {"NTX, dBase III memo", "3", {{"a.ntx", "a"}, {"b.ntx", "b"}}, "a.ntx;b.ntx"},
    {"NDX, dBase III memo", "3", {{"a.ndx", "a"}, {"b.ndx", "b"}}, "a.ndx;b.ndx"},
    {"MDX, dBase IV memo", "4", {{"t.mdx", "A"}, {"t.mdx", "B"}}, "t.mdx"},
    {"CDX, FoxPro memo", "F", {{"t.cdx", "A"}, {"t.cdx", "B"}}, "t.cdx"},
};

std::string RandomName(std::mt19937& rng) {
  std::string s;
  const int n = 1 + static_cast<int>(rng() % 10);
  for (int i = 0; i < n; ++i) s += static_cast<char>('A' + rng() % 26);
  return s;
}

std::string RandomNote(std::mt19937& rng) {
  if (rng() % 5 < 3) return "";
  std::string s(1 + rng() % 1500, ' ');
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// One road: the same seeded appends, edits, deletions and full-disk
// failures through a handle opened exclusively or shared.  Returns the
// names of the live records as the handle left them.
std::vector<std::string> RunRoad(const TempDir& dir, const Kind& k, bool shared, uint32_t seed) {
  WriteFailGuard disarm;
  const std::string table = MakeTable(dir, "t.dbf", k.table, {});
  {
    // The tags are built alike on both roads (a shared build also moves
    // a CDX's change counter for other handles to see).
    CVO_dBHandler b(table, "", true, false);
    const char* keys[] = {"NAME", "STR(FM,8,2)"};
    for (size_t i = 0; i < k.tags.size(); ++i)
      if (b.cvIndexTo(k.tags[i].first, k.tags[i].second, keys[i], "", CVsetIndexUnique::Duplicates,
                      CVsetSortStatus::Ascending) != 0)
        ADD_FAILURE() << "tag " << k.tags[i].second << " not built";
    b.cvCloseTable();
  }
  CVO_dBHandler h(table, "", true, shared);
  h.kvSetTranslateAscii(false);
  if (h.cvIndex(k.list, k.tags[0].second) != 0) ADD_FAILURE() << "index files not opened";
  std::mt19937 rng(seed);
  std::vector<std::string> names;
  std::vector<bool> deleted;
  for (int op = 0; op < 400; ++op) {
    const unsigned what = rng() % 100;
    const std::string name = RandomName(rng), note = RandomNote(rng);
    const double fm = static_cast<double>(rng() % 100000) / 100;
    if (what < 12 && !names.empty()) {
      const auto r = static_cast<int32_t>(1 + rng() % names.size());
      h.cvGetRec(r);
      h.cvStringPut("NAME", name);
      h.cvNumberPut("FM", fm);
      if (!note.empty()) h.cvMemoSave("NOTE", note);
      h.cvPutRec(r);
      names[static_cast<size_t>(r - 1)] = name;
    } else if (what < 16 && !names.empty()) {
      const auto r = static_cast<int32_t>(1 + rng() % names.size());
      h.cvGetRec(r);
      h.cvDeleteRec();
      h.cvPutRec(r);
      deleted[static_cast<size_t>(r - 1)] = true;
    } else {
      // Some appends meet a full disk at one of their writes: they raise,
      // and everything they wrote is rolled back.
      const bool fail = what >= 90;
      h.cvBlank();
      h.cvStringPut("NAME", name);
      h.cvNumberPut("FM", fm);
      if (!note.empty()) h.cvMemoSave("NOTE", note);
      if (fail) cvSetWriteFailCountdown(1 + rng() % 6);
      bool raised = false;
      try {
        h.cvAppend();
      } catch (const ECorvidError&) {
        raised = true;
      }
      cvSetWriteFailCountdown(0);
      if (!raised) {
        names.push_back(name);
        deleted.push_back(false);
      }
    }
  }
  EXPECT_EQ(h.cvRecordCount(), static_cast<int32_t>(names.size()));
  h.cvCloseTable();
  std::vector<std::string> live;
  for (size_t i = 0; i < names.size(); ++i)
    if (!deleted[i]) live.push_back(names[i]);
  return live;
}

TEST(ExclusiveAppend, LeavesTheSameBytesAsTheSharedRoad) {
  FixedClockScope clock;
  for (const Kind& k : kKinds) {
    for (const uint32_t seed : {11u, 12u}) {
      SCOPED_TRACE(std::string(k.name) + ", seed " + std::to_string(seed));
      TempDir exclusive, shared;
      const std::vector<std::string> live = RunRoad(exclusive, k, false, seed);
      ASSERT_EQ(RunRoad(shared, k, true, seed), live);
      EXPECT_EQ(Differing(Snapshot(exclusive), Snapshot(shared)), "");
      // The header's count is the records the file holds, which another
      // reader trusts.
      const std::vector<uint8_t> bytes = ReadAll(exclusive / "t.dbf");
      ASSERT_GE(bytes.size(), 32u);
      const uint32_t count = cvLoadLE32(bytes.data() + 4);
      EXPECT_EQ(bytes.size(),
                cvLoadLE16(bytes.data() + 8) + static_cast<size_t>(count) * cvLoadLE16(bytes.data() + 10) + 1);
      if (std::string(k.table) != "3" || !HavePythonDbf()) continue;  // python3-dbf reads dBase III memos only
      const Output o = PythonNames(exclusive, exclusive / "t.dbf");
      ASSERT_EQ(o.code, 0) << o.text;
      std::vector<std::string> lines;
      for (size_t at = 0, nl; (nl = o.text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(o.text.substr(at, o.text.find('|', at) - at));
      EXPECT_EQ(lines, live);
    }
  }
}

// The records an appender killed part-way has left: what the header counts,
// each as it was appended.
struct KilledAppender {
  TempDir dir;
  std::string table;
  std::vector<std::string> names;  // of every record the child would append
  int reported = 0;                // appends the child saw return

  explicit KilledAppender(uint32_t seed) : table(MakeTable(dir, "t.dbf", "3", {})) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 3000; ++i) names.push_back(RandomName(rng).substr(0, 6) + std::to_string(i));
  }

  // Appends every name exclusively, with a memo on every third record and
  // an NTX on NAME, telling the pipe after each append that returned.
  void Append(int tell) const {
    CVO_dBHandler h(table, "", true, false);
    h.kvSetTranslateAscii(false);
    if (h.cvIndexTo(dir / "n.ntx", "n", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending) != 0)
      ::_exit(5);
    for (size_t i = 0; i < names.size(); ++i) {
      h.cvBlank();
      h.cvStringPut("NAME", names[i]);
      h.cvNumberPut("FM", static_cast<double>(i));
      if (i % 3 == 0) h.cvMemoSave("NOTE", "note " + names[i]);
      h.cvAppend();
      const char one = 1;
      if (::write(tell, &one, 1) != 1) ::_exit(6);
    }
    h.cvCloseTable();
  }

  // Counts what came through the pipe once the child is gone.
  void Count(int from) {
    char buf[4096];
    for (ssize_t n; (n = ::read(from, buf, sizeof buf)) > 0;) reported += static_cast<int>(n);
  }

  // Another reader's view: python3-dbf reads what the header counts, each
  // record whole; the engine reads the same.
  void Check() const {
    const std::vector<uint8_t> bytes = ReadAll(table);
    ASSERT_GE(bytes.size(), 32u);
    const auto count = static_cast<int>(cvLoadLE32(bytes.data() + 4));
    // Nothing reported appended is missing; at most the record whose header
    // write was cut is counted besides.
    EXPECT_GE(count, reported);
    EXPECT_LE(count, reported + 1);
    const size_t recordLength = cvLoadLE16(bytes.data() + 10);
    EXPECT_GE(bytes.size(), cvLoadLE16(bytes.data() + 8) + static_cast<size_t>(count) * recordLength);
    if (HavePythonDbf()) {
      const Output o = PythonNames(dir, table);
      ASSERT_EQ(o.code, 0) << o.text;
      std::string want;
      for (int i = 0; i < count; ++i)
        want +=
            names[static_cast<size_t>(i)] + "|" + (i % 3 == 0 ? "note " + names[static_cast<size_t>(i)] : "") + "\n";
      EXPECT_EQ(o.text, want);
    }
    CVO_dBHandler h(table, "", false, true);
    h.kvSetTranslateAscii(false);
    ASSERT_GE(h.cvRecordCount(), count);
    for (int32_t r = 1; r <= count; ++r) {
      h.cvGetRec(r);
      ASSERT_EQ(Trimmed(h.cvStringGet("NAME")), names[static_cast<size_t>(r - 1)]) << r;
    }
  }
};

TEST(ExclusiveAppend, AnAppenderDeadAtAnyWriteLeavesWhatItReported) {
  // The process ends at its n-th write, which puts half its bytes down
  // first, as a torn write would.
  std::mt19937 rng(40);
  for (int round = 0; round < 8; ++round) {
    const auto crashAt = static_cast<int64_t>(20 + rng() % 4000);
    SCOPED_TRACE("dies at write " + std::to_string(crashAt));
    KilledAppender a(static_cast<uint32_t>(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int code = ExitCodeInChild([&] {
      ::close(fds[0]);
      cvSetCrashCountdown(crashAt);
      a.Append(fds[1]);
    });
    ::close(fds[1]);
    a.Count(fds[0]);
    ::close(fds[0]);
    ASSERT_EQ(code, cvCrashExitCode);
    a.Check();
  }
}

TEST(ExclusiveAppend, AnAppenderKilledLeavesWhatItReported) {
  std::mt19937 rng(41);
  for (int round = 0; round < 3; ++round) {
    KilledAppender a(static_cast<uint32_t>(100 + round));
    const int killAfter = 200 + static_cast<int>(rng() % 2000);
    SCOPED_TRACE("killed after " + std::to_string(killAfter) + " appends");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      ::close(fds[0]);
      a.Append(fds[1]);
      // A busy machine may let the child finish before the parent reads
      // far enough to kill it: it waits for the kill all the same, and the
      // records it reported are checked as ever.
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char buf[256];
    while (a.reported < killAfter) {
      const ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      a.reported += static_cast<int>(n);
    }
    ::kill(kid, SIGKILL);
    int status = 0;
    ::waitpid(kid, &status, 0);
    a.Count(fds[0]);
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child finished before the kill";
    a.Check();
  }
}

}  // namespace
