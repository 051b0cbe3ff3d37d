// An index left half-written (its "being changed" mark outlived a killed
// writer) is repaired by the next open that may write it.  A user who may
// write the table but not the index file or its mark (read-only modes,
// another user's files in a shared folder) is refused as a read-only open
// is, with what stands in the way; the open that repairs also puts the
// table header's record count in step with the records the file holds.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/crash_child.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "platform/exceptions.h"

using namespace mtest;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr uid_t kOther = 1001;

struct Kind {
  const char* name;
  const char* table;  // MakeTable's kind
  const char* file;   // the index file
  const char* tag;    // its tag on NAME
};

const Kind kKinds[] = {
    {"ntx", "3", "n.ntx", "N"},
    {"ndx", "3", "n.ndx", "N"},
    {"mdx", "4", "p.mdx", "N"},
    {"cdx", "F", "p.cdx", "N"},
};

std::vector<Row> Rows(int n) {
  std::mt19937 rng(4343);
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) {
    std::string name;
    for (int k = 0; k < 6; ++k) name += static_cast<char>('A' + rng() % 26);
    rows.push_back({name, static_cast<double>(i), "", false});
  }
  return rows;
}

// A table of `n` records with the index of kind `k` on NAME.
std::string TableWithIndex(const TempDir& dir, const Kind& k, int n) {
  const std::string t = MakeTable(dir, "p.dbf", k.table, Rows(n));
  CVO_dBHandler h(t, "", true, false);
  const bool multi = std::string(k.file).find(".ntx") == std::string::npos &&
                     std::string(k.file).find(".ndx") == std::string::npos;
  if (h.cvIndexTo(k.file, multi ? k.tag : "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending) !=
      0)
    throw std::runtime_error("index not built");
  h.cvCloseTable();
  return t;
}

// Opens the table read-write with its index: the error's text, or "".
std::string OpenWithIndex(const std::string& table, const Kind& k) {
  try {
    CVO_dBHandler h(table, "", true, false);
    if (h.cvIndex(k.file, k.tag) != 0) return "cvIndex failed";
    h.cvCloseTable();
    return "";
  } catch (const Exception& e) {
    return e.Message();
  }
}

// Runs `body` in a child process as user `uid` (group `gid`, no other
// groups); what it returns, or a note of what went wrong.
std::string AsUser(uid_t uid, gid_t gid, const std::function<std::string()>& body) {
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  const pid_t kid = ::fork();
  if (kid < 0) return "no child";
  if (kid == 0) {
    ::close(out[0]);
    std::string text = "could not become the user";
    if (::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0)
      text = body();
    const bool sent = ::write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(sent ? 0 : 4);
  }
  ::close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(kid, &status, 0);
  return text;
}

// A mark as a writer killed in the middle of its session leaves it: one
// session begun, none ended, no copy kept.
void LeaveDeadMark(const std::string& index) {
  std::vector<uint8_t> b = {'C', 'V', 'I', 'X', 'M', 'A', 'R', 'K', 1, 0, 0, 0};
  b.resize(24, 0);
  WriteAll(cvIndexMark::MarkName(index), b);
}

void Give(const std::string& f, uid_t uid, mode_t mode) {
  ASSERT_EQ(::chown(f.c_str(), uid, uid), 0) << f;
  ASSERT_EQ(::chmod(f.c_str(), mode), 0) << f;
}

// Who owns what, and whose file is in the way.
struct Rights {
  const char* what;
  mode_t folder;  // the folder belongs to nobody, the opener
  uid_t indexOwner;
  mode_t index;
  uid_t markOwner;
  bool markInTheWay;  // the index itself may be written: the mark stops it
};

const Rights kRights[] = {
    {"own index read-only", 0755, kNobody, 0444, kNobody, false},
    {"another user's index and mark, open folder", 0777, kOther, 0644, kOther, false},
    {"another user's index and mark, sticky folder", 01777, kOther, 0644, kOther, false},
    {"another user's mark, sticky folder", 01777, kOther, 0666, kOther, true},
};

TEST(IndexRepairRights, AUserWhoMayNotWriteTheIndexOrItsMarkIsRefusedAsAReadOnlyOpenIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as other users needs the superuser";
  for (const Kind& k : kKinds) {
    for (const Rights& r : kRights) {
      SCOPED_TRACE(std::string(k.name) + ": " + r.what);
      TempDir dir;
      const std::string table = TableWithIndex(dir, k, 60);
      const std::string index = dir / k.file, mark = cvIndexMark::MarkName(index);
      LeaveDeadMark(index);
      ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
      ASSERT_EQ(::chmod(dir.path().c_str(), r.folder), 0);
      for (const auto& e : fs::directory_iterator(dir.path())) Give(e.path().string(), kNobody, 0644);
      Give(index, r.indexOwner, r.index);
      Give(mark, r.markOwner, 0644);
      const auto indexBytes = ReadAll(index), markBytes = ReadAll(mark);

      const std::string why = AsUser(kNobody, kNobody, [&] { return OpenWithIndex(table, k); });
      EXPECT_NE(why.find("was left half-written by a process that stopped; it is rebuilt by the next open that may "
                         "write it"),
                std::string::npos)
          << why;
      // The real cause, on the file that is in the way.
      EXPECT_NE(why.find((r.markInTheWay ? mark : index) + ": Permission denied"), std::string::npos) << why;
      EXPECT_EQ(why.find("could not be found"), std::string::npos) << why;
      EXPECT_EQ(ReadAll(index), indexBytes);
      EXPECT_EQ(ReadAll(mark), markBytes);

      // An open that may write repairs it.
      EXPECT_EQ(OpenWithIndex(table, k), "");
      EXPECT_FALSE(fs::exists(mark));
    }
  }
}

// A writer killed after its record reached the file but before the header
// counted it: the repairing open rebuilds the index with that record, and
// the header counts it too, so other programs see what the index holds.
TEST(IndexRepairRights, TheRepairingOpenPutsTheHeaderCountInStep) {
  constexpr int kRows = 40;
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    const std::string table = TableWithIndex(dir, k, kRows);
    const int code = ExitCodeInChild([&] {
      CVO_dBHandler h(table, "", true, false);
      if (h.cvIndex(k.file, k.tag) != 0) ::_exit(2);
      h.cvBlank();
      h.cvStringPut("NAME", "ZZLAST");
      h.cvAppend();
      ::_exit(0);  // as a kill: no close, the mark stays
    });
    ASSERT_EQ(code, 0);
    ASSERT_EQ(cvIndexMark::Inspect(dir / k.file), cvIndexMark::Finding::Dead);
    // The header as it stood before the record's count was written.
    auto bytes = ReadAll(table);
    const int64_t headerLength = cvLoadLE16(bytes.data() + 8), recordLength = cvLoadLE16(bytes.data() + 10);
    ASSERT_EQ((static_cast<int64_t>(bytes.size()) - headerLength) / recordLength, kRows + 1);
    cvStoreLE32(bytes.data() + 4, kRows);
    WriteAll(table, bytes);

    {
      CVO_dBHandler h(table, "", true, false);
      ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
      ExpectTagsMatchRecords(h, {"N"}, kRows + 1);
      h.cvCloseTable();
    }
    EXPECT_EQ(cvLoadLE32(ReadAll(table).data() + 4), static_cast<uint32_t>(kRows + 1));
    EXPECT_FALSE(fs::exists(cvIndexMark::MarkName(dir / k.file)));
  }
}

}  // namespace

// A new index file whose maker was killed before it finished it is removed
// by the next open (it never held an index).  Only the file that writer
// made goes: one another user owns stays, whatever the mark beside it says.
TEST(IndexRepairRights, AnUnfinishedNewFileGoesOnlyWhenItsMarksWriterOwnsIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
  int checked = 0;
  for (int64_t crashAt = 1; crashAt < 80 && checked < 3; ++crashAt) {
    SCOPED_TRACE("killed at write " + std::to_string(crashAt));
    TempDir dir;
    const std::string t = MakeTable(dir, "p.dbf", "3", Rows(300));
    const std::string m = dir / "m.ntx";
    const int rc = CrashCountedInChild(crashAt, nullptr, [&](const std::function<void()>& arm) {
      CVO_dBHandler h(t, "", true, false);
      arm();
      h.cvIndexTo("m.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      h.cvCloseTable();
    });
    if (rc != cvCrashExitCode) break;  // the build ran through
    if (!fs::exists(m) || cvIndexMark::Inspect(m) != cvIndexMark::Finding::Dead) continue;
    ++checked;
    const auto open = [&] {
      try {
        CVO_dBHandler h(t, "", true, false);
        h.cvIndex("m.ntx", "");
        h.cvCloseTable();
        return std::string();
      } catch (const Exception& e) {
        return e.Message();
      }
    };
    ASSERT_EQ(::chown(m.c_str(), kOther, kOther), 0);
    open();
    EXPECT_TRUE(fs::exists(m)) << "another user's file was removed";
    ASSERT_EQ(::chown(m.c_str(), 0, 0), 0);
    EXPECT_NE(open().find("could not be found"), std::string::npos);
    EXPECT_FALSE(fs::exists(m));
  }
  EXPECT_GT(checked, 0);
}
