// The data list's statements (CREATE TABLE over a listed table, CREATE
// INDEX, DROP INDEX) and SaveToDBF over a table, failed at every write in
// turn (the disk fills there, the list file's own writes included) and
// killed at every crash point in turn: a fresh session then finds the list,
// the table and its index files together as before the statement or as
// after it, every listed index opens and holds exactly the table's keys, and
// a statement that left things as before succeeds when run again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/full_disk.h"
#include "common/test_files.h"
#include "corvid_sift.h"
#include "data_list.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/table_shell.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"
#include "platform/ini_file.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

using T = TCorvidSift::TDBFType;

constexpr int kRows = 40;

// The list file's writes count as writes of the disk: they fail once the
// countdown reaches them (and while the disk is full), and end the process
// at a crash point.
struct IniWritesCount {
  IniWritesCount() {
    SetIniWriteHook([](const std::string& name) {
      if (cvCrashDue()) ::_exit(cvCrashExitCode);
      if (cvDiskFull || (cvWriteFailCountdown > 0 && --cvWriteFailCountdown == 0)) {
        cvDiskFull = true;
        throw EInOutError("Error writing to " + name);
      }
    });
  }
  ~IniWritesCount() { SetIniWriteHook(nullptr); }
  IniWritesCount(const IniWritesCount&) = delete;
  IniWritesCount& operator=(const IniWritesCount&) = delete;
};

// A session over the folder's list, as a new run of the program starts it.
struct Session {
  TDataList list;
  TCorvidSift sift;
  Session(const TempDir& dir, T type) {
    list.LoadFromFile(dir / "list.ini");
    list.FileName = dir / "list.ini";
    sift.DBFType = type;
    sift.AutoOverwrite = true;
    sift.Loaded();
    sift.SetDataList(&list);
  }
  void Exec(const std::string& sql) {
    sift.SetSQL(sql);
    sift.ExecSQL();
  }
};

// What the list, the table and its index files are, as one state.
struct State {
  std::vector<std::string> fields;   // the table's fields
  int rows = 0;                      // its records
  std::vector<std::string> indexes;  // the list's index files, upper-cased, sorted
  std::vector<std::string> tags;     // the tags they hold, sorted
  bool operator==(const State&) const = default;
};

std::string Show(const State& s) {
  std::string out = "fields";
  for (const auto& f : s.fields) out += " " + f;
  out += "; rows " + std::to_string(s.rows) + "; indexes";
  for (const auto& f : s.indexes) out += " " + f;
  out += "; tags";
  for (const auto& t : s.tags) out += " " + t;
  return out;
}

bool IsIndexFile(const std::string& name) {
  const std::string ext = UpperCase(fs::path(name).extension().string());
  return ext == ".NTX" || ext == ".NDX" || ext == ".MDX" || ext == ".CDX";
}

// Opens the list afresh and reads its one table's state; every listed
// index must open, and each tag must hold exactly the table's records in
// its key's order (tags over NAME or N, K4 descending).  No index file
// lies in the folder that the list does not name, and no record of a
// change is left.
State Observe(const TempDir& dir, T type) {
  State s;
  Session session(dir, type);
  EXPECT_EQ(session.list.GetCount(), 1);
  if (session.list.GetCount() != 1) return s;
  try {
    session.list.OpenDataSets();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the list does not open: " << e.what();
    return s;
  }
  TDataItem& item = *session.list.GetItem(0);
  TCorvidDataSet& ds = *item.DataSet();
  CVO_dBHandler& h = *ds.Handler();
  for (int i = 1; i <= h.cvFieldCount(); ++i) s.fields.push_back(h.cvFieldName(i));
  s.rows = h.cvRecordCount();
  for (int i = 0; i < item.IndexFiles().Count(); ++i) s.indexes.push_back(UpperCase(item.IndexFiles()[i]));
  std::sort(s.indexes.begin(), s.indexes.end());
  for (int n = 1; n <= ds.IndexCount(); ++n) s.tags.push_back(UpperCase(ds.IndexTagName(n)));
  std::sort(s.tags.begin(), s.tags.end());
  const bool hasName = h.cvFieldNo("NAME") > 0;
  for (const std::string& tag : s.tags) {
    SCOPED_TRACE("tag " + tag);
    h.cvSetTagTo(tag, false);
    std::vector<int32_t> records;
    std::vector<std::string> keys;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext)) {
      records.push_back(h.cvCurrentRecord());
      const bool byName = hasName && (tag == "K" || tag == "K2" || tag == "K4");
      char number[16];
      std::snprintf(number, sizeof number, "%08d", static_cast<int>(h.cvNumberGet("N")));
      keys.push_back(byName ? Trim(h.cvStringGet("NAME")) : std::string(number));
      if (static_cast<int>(records.size()) > s.rows + 5) break;
    }
    std::sort(records.begin(), records.end());
    std::vector<int32_t> all(static_cast<size_t>(s.rows));
    for (int r = 0; r < s.rows; ++r) all[static_cast<size_t>(r)] = r + 1;
    EXPECT_EQ(records, all) << "keys " << records.size() << " for " << s.rows << " records";
    // dBase III keeps no descending order: K4 may run either way.
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()) || (tag == "K4" && std::is_sorted(keys.rbegin(), keys.rend())));
  }
  h.cvSetTagTo("", false);
  session.list.CloseDataSets();
  std::set<std::string> listed(s.indexes.begin(), s.indexes.end()), lying;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (IsIndexFile(name)) lying.insert(UpperCase(name));
    // (An INI write killed before its rename leaves its temporary file,
    // which the next write of that file takes over.)
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".~ini") == 0) continue;
    EXPECT_EQ(name.find("-pending"), std::string::npos) << name;
    EXPECT_EQ(name.find("-journal"), std::string::npos) << name;
  }
  EXPECT_EQ(lying, listed);
  return s;
}

// Puts the folder back as the snapshot has it, and nothing else.
void Restore(const TempDir& dir, const FileBytes& files) {
  for (const auto& e : fs::directory_iterator(dir.path())) fs::remove_all(e.path());
  for (const auto& [name, bytes] : files) WriteAll(dir / name, bytes);
}

struct Kind {
  T type;
  const char* ext;
  bool singleTag;
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.ext; }

struct Statement {
  const char* name;
  std::string sql;  // "%t" stands for the table's file
  // The tags after it, and its fields when it replaces the table.
  std::vector<std::string> tags;
  std::vector<std::string> fields;
  // On a file of several tags it changes the listed file in place, and
  // the list not at all.
  bool inPlace = false;
};

std::string Sql(const Statement& st, const std::string& table) {
  std::string s = st.sql;
  for (size_t at; (at = s.find("%t")) != std::string::npos;) s.replace(at, 2, table);
  return s;
}

// The indexes a prepared table has.
enum class Indexes { KeyAndK, OnlyK, None };

// A table of kRows rows in a list, with a primary key over N and an index K
// over NAME, or only K, or none.
FileBytes Prepare(const TempDir& dir, T type, Indexes indexes) {
  Session s(dir, type);
  s.Exec("create table '" + dir / "t.dbf" + "' (name char(8), n integer" +
         (indexes == Indexes::KeyAndK ? " primary key (n))" : ")"));
  if (indexes != Indexes::None) s.Exec("create index k on '" + dir / "t.dbf" + "' (name)");
  TDataSet& ds = *s.list.GetItem(0)->AsDataSet();
  if (!ds.Active()) ds.Open();
  for (int i = 0; i < kRows; ++i) {
    ds.Append();
    ds.FieldByName("NAME")->SetAsString("n" + std::to_string((i * 17) % kRows + 100));
    ds.FieldByName("N")->SetAsInteger((i * 13) % kRows);
    ds.Post();
  }
  s.list.CloseDataSets();
  return Snapshot(dir);
}

State Expected(const Kind& k, const Statement& st, const State& before) {
  State after = before;
  if (!st.fields.empty()) {
    after.fields = st.fields;
    after.rows = 0;
  }
  after.tags = st.tags;
  std::sort(after.tags.begin(), after.tags.end());
  after.indexes.clear();
  if (k.singleTag) {
    // A file of one tag names its tag: the primary key's is the table's.
    for (std::string& t : after.tags) {
      if (t == "PRIMARY") t = "T";
      after.indexes.push_back(UpperCase(t + k.ext));
    }
    std::sort(after.tags.begin(), after.tags.end());
  } else if (!after.tags.empty()) {
    after.indexes.push_back(UpperCase(std::string("t") + k.ext));
  }
  std::sort(after.indexes.begin(), after.indexes.end());
  return after;
}

const std::vector<Statement>& Statements() {
  static const std::vector<Statement> list = {
      {"CreateTableWithoutKey", "create table '%t' (other char(6), n integer)", {}, {"OTHER", "N"}},
      {"CreateTableWithKey", "create table '%t' (other char(6), n integer primary key (n))", {"PRIMARY"},
       {"OTHER", "N"}},
      {"CreateIndex", "create index k2 on '%t' (name)", {"PRIMARY", "K", "K2"}, {}, true},
      {"CreateUniqueIndex", "create unique index k3 on '%t' (n)", {"PRIMARY", "K", "K3"}, {}, true},
      {"CreateDescIndex", "create desc index k4 on '%t' (name)", {"PRIMARY", "K", "K4"}, {}, true},
      {"DropIndex", "drop index '%t' k", {"PRIMARY"}, {}, true},
  };
  return list;
}

class DataListRecovery : public ::testing::TestWithParam<Kind> {};

// After a failed or killed statement: the state is the one before (then the
// statement runs again and must give the one after) or the one after.
void ExpectBeforeOrAfter(const TempDir& dir, const Kind& k, const Statement& st, const State& before,
                         const State& after, bool finished) {
  const State now = Observe(dir, k.type);
  if (finished || now == after) {
    EXPECT_EQ(Show(now), Show(after));
    return;
  }
  ASSERT_EQ(Show(now), Show(before));
  {
    Session again(dir, k.type);
    again.Exec(Sql(st, dir / "t.dbf"));
  }
  EXPECT_EQ(Show(Observe(dir, k.type)), Show(after));
}

// The statements over each prepared table: on a compound index kind, a
// first index makes the production file and dropping the last tag
// deletes it.
struct Scenario {
  Indexes indexes;
  std::vector<Statement> statements;
};

std::vector<Scenario> Scenarios() {
  return {{Indexes::KeyAndK, Statements()},
          {Indexes::OnlyK, {{"DropLastIndex", "drop index '%t' k", {}, {}}}},
          {Indexes::None, {{"CreateFirstIndex", "create index k2 on '%t' (name)", {"K2"}, {}}}}};
}

TEST_P(DataListRecovery, AFailureAtEveryWriteLeavesBeforeOrAfter) {
  const Kind k = GetParam();
  IniWritesCount counted;
  for (const Scenario& sc : Scenarios()) {
    TempDir dir("dlfail");
    const FileBytes prepared = Prepare(dir, k.type, sc.indexes);
    const State before = Observe(dir, k.type);
    ASSERT_EQ(before.rows, kRows);
    for (const Statement& st : sc.statements) {
      SCOPED_TRACE(st.name);
      const State after = Expected(k, st, before);
      for (int n = 1;; ++n) {
        SCOPED_TRACE("failing write " + std::to_string(n));
        Restore(dir, prepared);
        bool failed = false;
        {
          Session s(dir, k.type);
          WriteFailGuard guard;
          cvSetWriteFailCountdown(n);
          try {
            s.Exec(Sql(st, dir / "t.dbf"));
          } catch (const std::exception&) {
            failed = true;
          }
          // Reached or not, the countdown tells whether a write failed.
          failed = failed || cvDiskFull;
        }
        ExpectBeforeOrAfter(dir, k, st, before, after, !failed);
        if (::testing::Test::HasFailure() || !failed) break;
        ASSERT_LT(n, 400);
      }
    }
  }
}

TEST_P(DataListRecovery, AKillAtEveryCrashPointLeavesBeforeOrAfter) {
  const Kind k = GetParam();
  for (const Scenario& sc : Scenarios()) {
    TempDir dir("dlkill");
    const FileBytes prepared = Prepare(dir, k.type, sc.indexes);
    const State before = Observe(dir, k.type);
    for (const Statement& st : sc.statements) {
      SCOPED_TRACE(st.name);
      // A tag added to or deleted from a compound index in place is the
      // index's own write, which the list does not take part in.
      if (k.type == T::FoxPro2 && st.inPlace) continue;
      const State after = Expected(k, st, before);
      for (int n = 1;; ++n) {
        SCOPED_TRACE("crash point " + std::to_string(n));
        Restore(dir, prepared);
        const int code = ExitCodeInChild([&] {
          IniWritesCount counted;
          Session s(dir, k.type);
          cvSetCrashCountdown(n);
          s.Exec(Sql(st, dir / "t.dbf"));
          cvSetCrashCountdown(0);
        });
        ASSERT_TRUE(code == 0 || code == cvCrashExitCode) << code;
        ExpectBeforeOrAfter(dir, k, st, before, after, code == 0);
        if (::testing::Test::HasFailure() || code == 0) break;
        ASSERT_LT(n, 400);
      }
    }
  }
}

// SaveToDBF over a FoxPro table with a production index: the old table
// with its index byte for byte, or the new table with no index beside it.
TEST(SaveToDBFRecovery, AFailureOrKillLeavesTheOldTableWithItsIndexOrTheNewOneAlone) {
  TempDir dir("dlsave");
  const std::string out = dir / "out.dbf";
  {
    Session s(dir, T::FoxPro2);
    s.Exec("create table '" + dir / "src.dbf" + "' (name char(8), n integer)");
    s.Exec("create table '" + out + "' (name char(8), n integer primary key (n))");
    for (int t = 0; t < 2; ++t) {
      TDataSet& ds = *s.list.GetItem(t)->AsDataSet();
      if (!ds.Active()) ds.Open();
      for (int i = 0; i < (t == 0 ? 40 : 60); ++i) {
        ds.Append();
        ds.FieldByName("NAME")->SetAsString("r" + std::to_string(i));
        ds.FieldByName("N")->SetAsInteger(i);
        ds.Post();
      }
    }
    s.list.CloseDataSets();
  }
  const FileBytes prepared = Snapshot(dir);
  ASSERT_EQ(prepared.count("out.CDX"), 1u);
  const auto save = [&] {
    Session s(dir, T::FoxPro2);
    s.sift.SetSQL("select name, n from src");
    s.sift.Open();
    s.sift.SaveToDBF(out);
  };
  // Opening the table rolls back what a kill left; then it is either one.
  const auto check = [&](bool done) {
    int32_t rows = -1;
    {
      CVO_dBHandler open(out, "", false, false);
      rows = open.cvRecordCount();
    }
    const FileBytes now = Snapshot(dir);
    if (!done && rows == 60) {
      EXPECT_EQ(now.at("out.dbf"), prepared.at("out.dbf"));
      ASSERT_EQ(now.count("out.CDX"), 1u);
      EXPECT_EQ(now.at("out.CDX"), prepared.at("out.CDX"));
    } else {
      EXPECT_EQ(rows, 40);
      for (const auto& [name, bytes] : now) EXPECT_FALSE(IsIndexFile(name)) << name;
    }
  };
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failing write " + std::to_string(n));
    Restore(dir, prepared);
    bool failed = false;
    {
      WriteFailGuard guard;
      cvSetWriteFailCountdown(n);
      try {
        save();
      } catch (const std::exception&) {
        failed = true;
      }
      failed = failed || cvDiskFull;
    }
    check(!failed);
    if (::testing::Test::HasFailure() || !failed) break;
    ASSERT_LT(n, 400);
  }
  for (int n = 1;; ++n) {
    SCOPED_TRACE("crash point " + std::to_string(n));
    Restore(dir, prepared);
    const int code = ExitCodeInChild([&] {
      cvSetCrashCountdown(n);
      save();
      cvSetCrashCountdown(0);
    });
    ASSERT_TRUE(code == 0 || code == cvCrashExitCode) << code;
    check(code == 0);
    if (::testing::Test::HasFailure() || code == 0) break;
    ASSERT_LT(n, 400);
  }
}

// Two processes over one list: while a statement runs in one, its record
// of the change is left alone by the other, which reads the list as it
// stands; once the first is killed, the next user settles the record.
TEST(DataListRecoveryShared, AStatementInProgressIsLeftAloneAndAKilledOneSettled) {
  const Kind k{T::Clipper, ".ntx", true};
  TempDir dir("dlshared");
  Prepare(dir, k.type, Indexes::KeyAndK);
  const State before = Observe(dir, k.type);
  const Statement create = Statements()[2];
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t kid = ::fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    ::close(ready[0]);
    // The index is built; the statement stops as it writes the list.
    SetIniWriteHook([&](const std::string& name) {
      if (name.size() < 8 || name.compare(name.size() - 8, 8, "list.ini") != 0) return;
      if (::write(ready[1], "r", 1) != 1) ::_exit(4);
      for (;;) ::pause();
    });
    try {
      Session s(dir, k.type);
      s.Exec(Sql(create, dir / "t.dbf"));
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  char c = 0;
  const bool stopped = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  if (stopped) {
    EXPECT_TRUE(fs::exists(dir / "k2.NTX"));
    EXPECT_TRUE(fs::exists(dir / "list.ini-pending"));
    TDataList other;
    other.LoadFromFile(dir / "list.ini");
    ASSERT_EQ(other.GetCount(), 1);
    EXPECT_EQ(other.GetItem(0)->IndexFiles().Count(), 2);
    EXPECT_TRUE(fs::exists(dir / "k2.NTX"));
    EXPECT_TRUE(fs::exists(dir / "list.ini-pending"));
  }
  ::kill(kid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(kid, &status, 0), kid);
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(Show(Observe(dir, k.type)), Show(before));
  {
    Session again(dir, k.type);
    again.Exec(Sql(create, dir / "t.dbf"));
  }
  EXPECT_EQ(Show(Observe(dir, k.type)), Show(Expected(k, create, before)));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DataListRecovery,
                         ::testing::Values(Kind{T::Clipper, ".ntx", true}, Kind{T::DBaseIII, ".ndx", true},
                                           Kind{T::DBaseIV, ".mdx", false}, Kind{T::FoxPro2, ".cdx", false}),
                         [](const auto& info) { return std::string(info.param.ext + 1); });

}  // namespace

namespace {

void WriteText(const std::string& name, const std::string& text) {
  WriteAll(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// A record of a change naming `files` to remove once settled.
void WriteRecord(const std::string& name, const std::vector<std::string>& files) {
  std::string text = "[Pending]\r\nFiles=" + std::to_string(files.size()) + "\r\n";
  for (size_t i = 0; i < files.size(); ++i) text += "File" + std::to_string(i + 1) + "=" + files[i] + "\r\n";
  WriteText(name, text);
}

}  // namespace

// A record beside the list is input anyone who may create files in the
// folder could have left: it removes only index files, and only those its
// owner could have removed; otherwise it stays, and the load says why.
TEST(DataListRecord, ARecordRemovesOnlyIndexFilesItsOwnerCouldRemove) {
  TempDir dir;
  const std::string list = dir / "list.ini", record = dir / "list.ini-pending";
  WriteText(list, "");
  WriteText(dir / "notes.txt", "keep me");
  WriteRecord(record, {dir / "notes.txt"});
  {
    TDataList l;
    try {
      l.LoadFromFile(list);
      ADD_FAILURE() << "a record naming a file that is no index was settled";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("may not change " + (dir / "notes.txt")), std::string::npos) << e.Message();
    }
  }
  EXPECT_TRUE(fs::exists(dir / "notes.txt"));
  EXPECT_TRUE(fs::exists(record));

  if (::geteuid() != 0) GTEST_SKIP() << "another user's record needs root to make";
  constexpr uid_t kNobody = 65534;
  // A folder the other user may not write, and one anyone may.
  fs::create_directory(dir / "locked");
  fs::permissions(dir / "locked", fs::perms(0755));
  fs::permissions(dir.path(), fs::perms(0777));
  WriteText(dir / "locked/k.ntx", "an index");
  WriteText(dir / "k2.ntx", "an index");
  WriteRecord(record, {dir / "locked/k.ntx"});
  ASSERT_EQ(::chown(record.c_str(), kNobody, kNobody), 0);
  {
    TDataList l;
    try {
      l.LoadFromFile(list);
      ADD_FAILURE() << "another user's record removed a file that user may not remove";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("number 65534"), std::string::npos) << e.Message();
    }
  }
  EXPECT_TRUE(fs::exists(dir / "locked/k.ntx"));
  EXPECT_TRUE(fs::exists(record));
  // What that user could remove itself goes, and the record with it.
  WriteRecord(record, {dir / "k2.ntx"});
  ASSERT_EQ(::chown(record.c_str(), kNobody, kNobody), 0);
  {
    TDataList l;
    l.LoadFromFile(list);
  }
  EXPECT_FALSE(fs::exists(dir / "k2.ntx"));
  EXPECT_FALSE(fs::exists(record));
}
