// Whole-table replacement across failures: a replacement killed on a table
// reached through a link is rolled back by the next open through the link;
// staging folders of killed processes go with the next replacement or open
// in their folder (and only those); an old file that cannot be kept aside
// stops the replacement before anything moves, as does a folder that
// cannot be synced; and no device, pipe or dangling link is replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/test_files.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_dataset/table_creation.h"
#include "dbf_dataset/table_shell.h"
#include "dbf_engine/table/rollback_journal.h"
#include "dbf_engine/table/table_file.h"
#include "platform/exceptions.h"
#include "platform/file_replace.h"
#include "platform/string_list.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

void Create(const std::string& path, const std::vector<std::string>& lines) {
  TStringList l;
  for (const auto& s : lines) l.Add(s);
  ASSERT_TRUE(cvCreateDBFFromDefinitions(path, "", FoxPro2, cvParseFieldList(l)));
}

std::vector<std::string> Stages(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.rfind(".~kp", 0) == 0) out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Runs `body` in a child that ends without unwinding (as a kill would).
void InChild(const std::function<void()>& body) {
  const int code = ExitCodeInChild(body);
  ASSERT_GE(code, 0) << "the child did not exit by itself";
  ASSERT_NE(code, 3) << "the child raised";
}

TEST(TableReplacement, KilledOnATableReachedThroughALinkRollsBackAtTheOpenThroughTheLink) {
  TempDir dir;
  fs::create_directories(dir / "real");
  fs::create_directories(dir / "links");
  const std::string real = dir / "real/t.dbf";
  Create(real, {"A;C;10;0", "NOTE;M;10;0"});
  const auto oldTable = ReadAll(real);
  const auto oldMemo = ReadAll(dir / "real/t.fpt");
  fs::create_symlink(real, dir / "links/t.dbf");
  fs::create_symlink(dir / "real/t.fpt", dir / "links/t.fpt");
  // Killed once the memo is new and before the table moves.
  InChild([&] {
    TReplaceStage stage(dir / "links");
    Create(stage.Path("t.dbf"), {"OTHER;C;20;0", "TEXT;M;10;0", "N;N;5;0"});
    auto memo = ReadAll(stage.Path("t.fpt"));
    memo.resize(memo.size() + 64, 'x');
    WriteAll(stage.Path("t.fpt"), memo);
    SetReplaceStepHook([](const std::string& step, const std::string& name) {
      if (step == "move" && name == "t.dbf") ::_exit(1);
    });
    cvCommitTableReplacement(stage, "t.dbf");
  });
  ASSERT_NE(ReadAll(dir / "real/t.fpt"), oldMemo);
  ASSERT_TRUE(cvRollbackJournal::HasJournal(dir / "links/t.dbf"));
  { CVO_dBaseDBF open(dir / "links/t.dbf", "", false, true); }
  EXPECT_FALSE(fs::exists(real + "-journal"));
  EXPECT_FALSE(fs::exists(dir / "links/t.dbf-journal"));
  EXPECT_EQ(ReadAll(real), oldTable);
  EXPECT_EQ(ReadAll(dir / "real/t.fpt"), oldMemo);
  EXPECT_TRUE(fs::is_symlink(dir / "links/t.fpt"));
  // The open also took away the stage the kill left beside the links.
  EXPECT_EQ(Stages(dir / "links"), std::vector<std::string>{});
}

TEST(TableReplacement, StagesLeftByKilledProcessesGoWithTheNextReplacementOrOpen) {
  TempDir dir;
  Create(dir / "t.dbf", {"A;C;10;0"});
  auto leaveOne = [&] {
    InChild([&] {
      TReplaceStage stage(dir.path());
      WriteAll(stage.Path("t.dbf"), std::vector<uint8_t>(8192, 'x'));
      ::_exit(0);
    });
  };
  leaveOne();
  const std::vector<std::string> first = Stages(dir.path());
  ASSERT_EQ(first.size(), 1u);
  // The next one's stage takes it away.
  leaveOne();
  const std::vector<std::string> second = Stages(dir.path());
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second, first);
  // Someone else's folder of that look, never marked, and a live stage stay.
  fs::create_directory(dir / ".~kpABCDEF");
  WriteAll(dir / ".~kpABCDEF/mine", Bytes("keep"));
  {
    TReplaceStage live(dir.path());
    const std::string liveName = fs::path(live.Dir()).filename().string();
    std::vector<std::string> kept;
    {
      TReplaceStage next(dir.path());
      kept = Stages(dir.path());
      EXPECT_EQ(kept.size(), 3u);  // the live one, the next one, the foreign one
      EXPECT_NE(std::find(kept.begin(), kept.end(), liveName), kept.end());
      EXPECT_NE(std::find(kept.begin(), kept.end(), ".~kpABCDEF"), kept.end());
    }
    // A child's look finds the live stage held as well.
    InChild([&] { RemoveStaleStages(dir.path()); });
    EXPECT_TRUE(fs::exists(live.Dir()));
  }
  EXPECT_EQ(Stages(dir.path()), std::vector<std::string>{".~kpABCDEF"});
  EXPECT_EQ(ReadAll(dir / ".~kpABCDEF/mine"), Bytes("keep"));
  // The open of a table of the folder, read-only and shared, takes them too.
  leaveOne();
  { CVO_dBaseDBF open(dir / "t.dbf", "", false, true); }
  EXPECT_EQ(Stages(dir.path()), std::vector<std::string>{".~kpABCDEF"});
}

TEST(TableReplacement, AnOldFileThatCannotBeKeptAsideStopsItBeforeAnythingMoves) {
  // The memo is a link to a file on another file system: no hard link of it
  // can be kept in the stage, so the undo could not bring it back.
  TempDir dir;
  if (::access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
  TempDir elsewhere("/dev/shm/dirlook-memo");
  struct stat a {
  }, b{};
  ASSERT_EQ(::stat(dir.path().c_str(), &a), 0);
  ASSERT_EQ(::stat(elsewhere.path().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "the temporary folder is on /dev/shm";
  WriteAll(dir / "t.dbf", Bytes("old table"));
  WriteAll(elsewhere / "t.fpt", Bytes("old memo"));
  fs::create_symlink(elsewhere / "t.fpt", dir / "t.fpt");
  {
    TReplaceStage stage(dir.path());
    WriteAll(stage.Path("t.dbf"), Bytes("new table"));
    WriteAll(stage.Path("t.fpt"), Bytes("new memo"));
    SetReplaceStepHook([](const std::string& step, const std::string& name) {
      if (step == "move" && name == "t.dbf") throw EInOutError("the table cannot move");
    });
    EXPECT_THROW(stage.Commit("t.dbf"), EInOutError);
    SetReplaceStepHook(nullptr);
  }
  EXPECT_EQ(ReadAll(dir / "t.dbf"), Bytes("old table"));
  EXPECT_EQ(ReadAll(elsewhere / "t.fpt"), Bytes("old memo"));
  EXPECT_TRUE(fs::is_symlink(dir / "t.fpt"));
}

TEST(TableReplacement, AFolderThatCannotBeSyncedIsAFailureAndTheOldFilesStay) {
  TempDir dir;
  WriteAll(dir / "t.dbf", Bytes("old table"));
  WriteAll(dir / "t.fpt", Bytes("old memo"));
  TReplaceStage stage(dir.path());
  WriteAll(stage.Path("t.dbf"), Bytes("new table"));
  WriteAll(stage.Path("t.fpt"), Bytes("new memo"));
  std::vector<std::string> synced;
  SetReplaceStepHook([&](const std::string& step, const std::string& name) {
    if (step == "sync") {
      synced.push_back(name);
      throw EInOutError("the folder cannot be synced");
    }
  });
  EXPECT_THROW(stage.Commit("t.dbf"), EInOutError);
  SetReplaceStepHook(nullptr);
  EXPECT_EQ(synced.size(), 1u);
  EXPECT_EQ(ReadAll(dir / "t.dbf"), Bytes("old table"));
  EXPECT_EQ(ReadAll(dir / "t.fpt"), Bytes("old memo"));
}

TEST(TableReplacement, DevicesPipesAndDanglingLinksAreNotTablesToReplace) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.dbf").c_str(), 0600), 0);
  const bool device = ::mknod((dir / "null.dbf").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  fs::create_symlink(dir / "nowhere.dbf", dir / "dangling.dbf");
  fs::create_symlink("/dev/null", dir / "tonull.dbf");
  // Nothing may wait on the pipe: a hang ends the test.
  ::alarm(30);
  for (const char* name : {"pipe.dbf", "null.dbf", "dangling.dbf", "tonull.dbf"}) {
    if (std::string(name) == "null.dbf" && !device) continue;
    SCOPED_TRACE(name);
    TCorvidDataSet ds;
    Place(ds, dir, name);
    TCreateCorvidDataSet c;
    c.SetDBFTable(&ds);
    c.AutoOverwrite = true;
    c.CreateFields().Add("A;C;10;0");
    c.CreateFields().Add("NOTE;M;10;0");
    try {
      c.Execute();
      ADD_FAILURE() << "replaced";
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(ds.Active());
  }
  ::alarm(0);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "pipe.dbf").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  if (device) {
    ASSERT_EQ(::lstat((dir / "null.dbf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.dbf"));
  EXPECT_FALSE(fs::exists(dir / "nowhere.dbf"));
  EXPECT_TRUE(fs::is_symlink(dir / "tonull.dbf"));
  EXPECT_EQ(Stages(dir.path()), std::vector<std::string>{});
}

}  // namespace

TEST(TableReplacement, AnOpenInAnotherProcessNeverRollsBackAReplacementStillRunning) {
  // Another process opens the table while a replacement runs: once the
  // journal is forced out and nothing has moved yet, and once everything
  // has moved and the journal is not gone yet.  Neither open may take the
  // journal for one left by a dead process: rolled back after the moves,
  // the finished replacement would be undone while it reports success;
  // rolled back (and deleted) before them, a kill between the moves would
  // leave a new memo beside the old table with no journal to undo it.
  for (const char* window : {"before the moves", "after the moves"}) {
    SCOPED_TRACE(window);
    const bool after = std::string(window) == "after the moves";
    TempDir dir;
    const std::string table = dir / "t.dbf";
    Create(table, {"A;C;10;0", "NOTE;M;10;0"});
    const auto oldTable = ReadAll(table);
    const auto oldMemo = ReadAll(dir / "t.fpt");
    int reached[2], go[2];
    ASSERT_EQ(::pipe(reached), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      int code = 0;
      try {
        TReplaceStage stage(dir.path());
        Create(stage.Path("t.dbf"), {"OTHER;C;20;0", "TEXT;M;10;0", "N;N;5;0"});
        auto memo = ReadAll(stage.Path("t.fpt"));
        memo.resize(memo.size() + 64, 'x');
        WriteAll(stage.Path("t.fpt"), memo);
        SetReplaceStepHook([&](const std::string& step, const std::string& name) {
          if ((!after && step == "take" && name == "t.fpt") || (after && step == "sync")) {
            char c = 'x';
            if (::write(reached[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(4);
          }
          // Killed between the moves: the memo is new, the table old.
          if (!after && step == "move" && name == "t.dbf") ::_exit(1);
        });
        cvCommitTableReplacement(stage, "t.dbf");
      } catch (...) {
        code = 3;
      }
      ::_exit(code);
    }
    char c;
    ASSERT_EQ(::read(reached[0], &c, 1), 1);
    try {
      CVO_dBaseDBF open(table, "", false, true);
    } catch (const Exception&) {
      // The table is in use: refusing the open is sound.
    }
    ASSERT_EQ(::write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(kid, &status, 0), kid);
    ASSERT_TRUE(WIFEXITED(status));
    for (int fd : {reached[0], reached[1], go[0], go[1]}) ::close(fd);
    if (after) {
      // The replacement ended and said so: the table is the new one.
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_NE(ReadAll(table), oldTable);
      EXPECT_FALSE(cvRollbackJournal::HasJournal(table));
      CVO_dBaseDBF open(table, "", false, true);
      EXPECT_EQ(open.cvFieldCount(), 3);
    } else {
      // Killed half-way: the next open puts the old pair back.
      EXPECT_EQ(WEXITSTATUS(status), 1);
      { CVO_dBaseDBF open(table, "", false, true); }
      EXPECT_EQ(ReadAll(table), oldTable);
      EXPECT_EQ(ReadAll(dir / "t.fpt"), oldMemo);
    }
  }
}
