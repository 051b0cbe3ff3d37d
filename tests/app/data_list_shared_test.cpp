// Two users' data lists over one INI file: each saves its own changes into
// the file as it stands, so neither loses what the other added or dropped.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/test_files.h"
#include "data_list.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/ini_file.h"
#include "platform/string_list.h"

namespace {

// The table files the INI file lists, by name part.
std::set<std::string> Listed(const std::string& ini) {
  std::set<std::string> names;
  const TIniFile f(ini);
  for (int i = 1; i <= f.ReadInteger("General", "NumFiles", 0); ++i) {
    const std::string file = f.ReadString("General", "File" + std::to_string(i), "");
    names.insert(file.substr(file.rfind('/') + 1));
  }
  return names;
}

struct Users {
  TempDir dir{"datalist"};
  std::string ini = dir / "dirlook.ini";
  TDataList a, b;

  Users() {
    a.FileName = b.FileName = ini;
    Table("t0.dbf");
    a.Add(dir / "t0.dbf", "", TStringList());
    a.Save();
    a.LoadFromFile(ini);
    b.LoadFromFile(ini);
  }
  std::string Table(const std::string& name) {
    std::ofstream(dir / name) << "x";  // the list only asks that the file exists
    return dir / name;
  }
  static void Add(TDataList& l, const std::string& file) {
    l.Add(file, "", TStringList());
    l.Save();
  }
  static void Drop(TDataList& l, const std::string& alias) {
    const int i = l.IndexOfAlias(alias);
    ASSERT_GE(i, 0);
    l.Delete(i);
    l.Save();
  }
};

TEST(DataListShared, NeitherUserLosesTheOthersTables) {
  Users u;
  Users::Add(u.a, u.Table("x.dbf"));
  Users::Add(u.b, u.Table("y.dbf"));  // b never saw x
  EXPECT_EQ(Listed(u.ini), (std::set<std::string>{"t0.dbf", "x.dbf", "y.dbf"}));
  Users::Drop(u.a, "x");
  EXPECT_EQ(Listed(u.ini), (std::set<std::string>{"t0.dbf", "y.dbf"}));
  Users::Drop(u.b, "t0");  // a's later save must not bring t0 back
  Users::Add(u.a, u.Table("z.dbf"));
  EXPECT_EQ(Listed(u.ini), (std::set<std::string>{"y.dbf", "z.dbf"}));

  // An index noted by one user is kept when the other saves.
  TDataList c;
  c.FileName = u.ini;
  c.LoadFromFile(u.ini);
  c.GetItem(c.IndexOfAlias("y"))->IndexFiles().Add("name.ntx");
  c.Save();
  Users::Add(u.b, u.Table("w.dbf"));
  TDataList check;
  check.LoadFromFile(u.ini);
  ASSERT_GE(check.IndexOfAlias("y"), 0);
  EXPECT_EQ(check.GetItem(check.IndexOfAlias("y"))->IndexFiles().Count(), 1);
}

TEST(DataListShared, AnEntryWhoseTableIsMissingStaysListed) {
  Users u;
  Users::Add(u.a, u.Table("away.dbf"));
  std::filesystem::rename(u.dir / "away.dbf", u.dir / "away.tmp");  // a drive not mounted, say
  TDataList c;
  c.FileName = u.ini;
  c.LoadFromFile(u.ini);
  EXPECT_LT(c.IndexOfAlias("away"), 0);
  Users::Add(c, u.Table("new.dbf"));
  std::filesystem::rename(u.dir / "away.tmp", u.dir / "away.dbf");
  EXPECT_EQ(Listed(u.ini), (std::set<std::string>{"t0.dbf", "away.dbf", "new.dbf"}));
}

TEST(DataListShared, ASaveWaitsForTheOthersLockAndGivesUp) {
  Users u;
  int held = FileLockByName(u.ini, 0);
  ASSERT_GE(held, 0);
  u.a.Add(u.Table("x.dbf"), "", TStringList());
  // The other user's save holds the file for longer than this one waits.
  EXPECT_EQ(FileLockByName(u.ini, 50), -1);
  FileClose(held);
  u.a.Save();
  EXPECT_EQ(Listed(u.ini), (std::set<std::string>{"t0.dbf", "x.dbf"}));
}

// Two users saving at the same moment: the lock puts the saves one after
// the other, so every table either adds is listed.
TEST(DataListShared, SavesAtTheSameTimeKeepEveryTable) {
  Users u;
  std::set<std::string> model{"t0.dbf"};
  std::vector<std::string> files[2];
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 40; ++i) {
      const std::string name = "u" + std::to_string(k) + "_" + std::to_string(i) + ".dbf";
      files[k].push_back(u.Table(name));
      model.insert(name);
    }
  std::string failed[2];
  auto run = [&](int k, TDataList* l) {
    try {
      for (const std::string& f : files[k]) {
        l->Add(f, "", TStringList());
        l->Save();
      }
    } catch (const std::exception& e) {
      failed[k] = e.what();
    }
  };
  std::thread other(run, 1, &u.b);
  run(0, &u.a);
  other.join();
  EXPECT_EQ(failed[0] + failed[1], "");
  EXPECT_EQ(Listed(u.ini), model);
}

// Users take turns adding and dropping tables, now and then reading the
// list afresh; the file always lists every table added and not dropped.
TEST(DataListShared, RandomTurnsAgreeWithAModel) {
  Users u;
  std::mt19937 rng(11);
  std::set<std::string> model{"t0.dbf"};
  TDataList* users[] = {&u.a, &u.b};
  int next = 0;
  for (int step = 0; step < 300; ++step) {
    TDataList& l = *users[rng() % 2];
    const int what = static_cast<int>(rng() % 10);
    if (what < 5) {
      const std::string name = "t" + std::to_string(++next) + ".dbf";
      Users::Add(l, u.Table(name));
      model.insert(name);
    } else if (what < 9 && l.GetCount() > 0) {
      const int i = static_cast<int>(rng() % static_cast<uint32_t>(l.GetCount()));
      const std::string file = l.GetItem(i)->FileName();
      l.Delete(i);
      l.Save();
      model.erase(file.substr(file.rfind('/') + 1));
    } else {
      l.LoadFromFile(u.ini);
    }
    ASSERT_EQ(Listed(u.ini), model) << "step " << step;
  }
}

// The list's INI file gives its counts: a count far beyond what the file
// holds reads only the entries the file has, also when saving over it.
TEST(DataListFile, CountsAreWalkedThroughWhatTheFileHolds) {
  TempDir dir{"datalist"};
  const std::string ini = dir / "list.ini";
  for (const char* t : {"a.dbf", "b.dbf", "c.dbf"}) std::ofstream(dir / t) << "x";
  for (const char* count : {"2000000000", "2147483647"}) {
    SCOPED_TRACE(count);
    std::ofstream(ini) << "[General]\nNumFiles=" << count << "\nFile1=" << dir / "a.dbf"
                       << "\nAlias1=first\nFile3=" << dir / "b.dbf"
                       << "\nfile07=" << dir / "c.dbf"
                       << "\nFILE1999999999=" << dir / "c.dbf"
                       << "\n[File1]\nNumIndexes=" << count << "\nIndex2=two.ntx\nIndex1=one.ntx\n";
    // A walk up to the count would not end in time: the child is stopped.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(20);
      try {
        TDataList l;
        l.LoadFromFile(ini);
        const bool read = l.GetCount() == 3 && l.GetItem(0)->Alias() == "first" &&
                          l.GetItem(0)->IndexFiles().Count() == 2 && l.GetItem(0)->IndexFiles()[0] == "one.ntx" &&
                          l.GetItem(1)->Alias() == "b" && l.GetItem(2)->Alias() == "c";
        l.Delete(2);
        l.Delete(1);
        l.SaveToFile(ini);
        _exit(read ? 0 : 1);
      } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        _exit(2);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "stopped by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The save dropped the keys of the longer list.
    const TIniFile f(ini);
    EXPECT_EQ(f.ReadString("General", "NumFiles", ""), "1");
    EXPECT_FALSE(f.ValueExists("General", "File3"));
    EXPECT_FALSE(f.ValueExists("General", "FILE1999999999"));
    EXPECT_EQ(Listed(ini), (std::set<std::string>{"a.dbf"}));
  }
}

// A count that is no whole number from 0 up is refused, by loading and by
// saving, and the file stays as it was.
TEST(DataListFile, ACountThatIsNoNumberIsRefused) {
  TempDir dir{"datalist"};
  const std::string ini = dir / "list.ini";
  std::ofstream(dir / "a.dbf") << "x";
  for (const char* bad : {"many", "-1", "2147483648", "99999999999999999999", "1.5", "2 tables"}) {
    for (const bool inIndexes : {false, true}) {
      SCOPED_TRACE(std::string(bad) + (inIndexes ? " NumIndexes" : " NumFiles"));
      std::ofstream(ini) << "[General]\nNumFiles=" << (inIndexes ? "1" : bad) << "\nFile1=" << dir / "a.dbf"
                         << "\n[File1]\nNumIndexes=" << (inIndexes ? bad : "0") << "\n";
      const std::vector<uint8_t> bytes = ReadAll(ini);
      const std::string before(bytes.begin(), bytes.end());
      const std::string key = inIndexes ? "NumIndexes" : "NumFiles";
      const std::string expected = "'" + std::string(bad) + "' is not a valid " + key + " in section " +
                                   (inIndexes ? "File1" : "General") + " of the data list " + ini;
      TDataList l;
      try {
        l.LoadFromFile(ini);
        ADD_FAILURE() << "loaded";
      } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()), expected);
      }
      l.FileName = ini;
      l.Add(dir / "a.dbf", "", TStringList());
      EXPECT_THROW(l.Save(), EDatabaseError);
      if (!inIndexes) {
        EXPECT_THROW(l.SaveToFile(ini), EDatabaseError);
      }
      const std::vector<uint8_t> now = ReadAll(ini);
      EXPECT_EQ(std::string(now.begin(), now.end()), before);
    }
  }
  // An empty count is none, as an absent one.
  std::ofstream(ini) << "[General]\nNumFiles=\nFile1=" << dir / "a.dbf"
                     << "\n";
  TDataList l;
  l.LoadFromFile(ini);
  EXPECT_EQ(l.GetCount(), 0);
}

}  // namespace
