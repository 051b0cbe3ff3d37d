// The data-change cases of tests/app/data/dml_cases.txt: INSERT, UPDATE,
// DELETE and SELECT ... INTO run through the window's query binding over
// DBF tables, each final table read back by python3-dbf and compared with
// the rows the case lists, or else with SQLite running the same (or the
// case's "sqlite:") statements over the same starting tables.
//
// A case:
//   case: <title>
//   sql: <statement>            (one or more, run in order: SELECT by Open)
//   sqlite: <statement>         (SQLite's spelling, when it differs)
//   sqlite-skip: <why>          (the final state is not SQLite's)
//   use-deleted                 (the binding shows deleted records)
//   index: <table> <key>        (an NTX tag on the table, active)
//   fail-post: <table> <n>      (the table's n-th post fails)
//   error: <text>               (the last statement fails with this text)
//   affected: <n>               (RowsAffected after the last statement)
//   table: <name>               (the table read back; t by default)
//   rows:                       (the table as python3-dbf reads it; "*"
//   <row> ...                    marks a deleted record)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/run_tool.h"
#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_engine/lock_retry_scope.h"

namespace {

struct TDmlCase {
  int line = 0;
  std::string title;
  std::vector<std::string> sql, sqlite;
  std::string sqliteSkip, index, failPost, error, table = "t";
  bool useDeleted = false, haveRows = false;
  int affected = -1;
  std::vector<std::string> rows;
};

std::string SourceDir() {
  const char* dir = std::getenv("DIRLOOK_SOURCE_DIR");
  return dir ? dir : ".";
}

std::vector<TDmlCase> LoadCases() {
  std::ifstream in(SourceDir() + "/tests/app/data/dml_cases.txt");
  EXPECT_TRUE(in.good()) << "cannot read dml_cases.txt";
  std::vector<TDmlCase> cases;
  TDmlCase* cur = nullptr;
  bool inRows = false;
  std::string line;
  int n = 0;
  auto after = [&](const char* key) { return line.substr(std::string(key).size()); };
  auto starts = [&](const char* key) { return line.rfind(key, 0) == 0; };
  while (std::getline(in, line)) {
    ++n;
    if (starts("#")) continue;
    if (line.empty()) {
      cur = nullptr;
      inRows = false;
      continue;
    }
    if (starts("case: ")) {
      cases.emplace_back();
      cur = &cases.back();
      cur->line = n;
      cur->title = after("case: ");
      inRows = false;
    } else if (!cur) {
      ADD_FAILURE() << "dml_cases.txt line " << n << " outside a case";
    } else if (inRows) {
      cur->rows.push_back(line);
    } else if (starts("sql: ")) {
      cur->sql.push_back(after("sql: "));
    } else if (starts("sqlite: ")) {
      cur->sqlite.push_back(after("sqlite: "));
    } else if (starts("sqlite-skip: ")) {
      cur->sqliteSkip = after("sqlite-skip: ");
    } else if (line == "use-deleted") {
      cur->useDeleted = true;
    } else if (starts("index: ")) {
      cur->index = after("index: ");
    } else if (starts("fail-post: ")) {
      cur->failPost = after("fail-post: ");
    } else if (starts("error: ")) {
      cur->error = after("error: ");
    } else if (starts("affected: ")) {
      cur->affected = std::stoi(after("affected: "));
    } else if (starts("table: ")) {
      cur->table = after("table: ");
    } else if (line == "rows:") {
      cur->haveRows = inRows = true;
    } else {
      ADD_FAILURE() << "dml_cases.txt line " << n << ": " << line;
    }
  }
  return cases;
}

// The tables every case starts from.  k holds the key the tag case
// updates; m and m2 are FoxPro tables with a memo and a binary (general)
// field; v is the INTO target.
void MakeTables(const TempDir& dir) {
  MakeTable(dir / "t.dbf", "3", {{"ID", "N", 4, 0}, {"NAME", "C", 10, 0}, {"PRICE", "N", 8, 2}},
            {{"1", "apple", "1.50"}, {"2", "pear", "2.25"}, {"3", "plum", ""}, {"4", "", "4.00"}});
  MakeTable(dir / "u.dbf", "3", {{"ID", "N", 4, 0}, {"X", "N", 4, 0}, {"LABEL", "C", 8, 0}},
            {{"1", "10", "1.5"}, {"2", "20", "2.5"}, {"3", "30", "abc"}});
  MakeTable(dir / "k.dbf", "3", {{"N", "N", 4, 0}}, {{"5"}, {"6"}, {"7"}, {"1"}});
  MakeTable(dir / "v.dbf", "3", {{"N", "N", 6, 0}, {"NAME", "C", 10, 0}}, {});
  for (const char* m : {"m.dbf", "m2.dbf"})
    MakeTable(dir / m, "F", {{"ID", "N", 4, 0}, {"NOTE", "M", 10, 0}, {"PIC", "G", 10, 0}}, {});
}

const char* const kTables[] = {"t", "u", "k", "v", "m", "m2"};

struct TRun {
  std::string error;
  int affected = 0;
};

// Runs the case's statements through the binding; the datasets are closed
// (everything flushed) when it returns.
TRun RunEngine(const TDmlCase& c, const TempDir& dir) {
  TRun run;
  std::map<std::string, std::unique_ptr<TCorvidDataSet>> sets;
  TCorvidSift sift;
  int posts = 0;
  for (const char* name : kTables) {
    auto ds = std::make_unique<TCorvidDataSet>();
    Place(*ds, dir, std::string(name) + ".dbf");
    ds->Open();
    sift.AddDataSet(ds.get(), name);
    sets[name] = std::move(ds);
  }
  if (!c.index.empty()) {
    std::istringstream s(c.index);
    std::string table, key;
    s >> table >> key;
    sets.at(table)->IndexOn(dir / (table + "_key.ntx"), "", key, "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending);
    // The NTX tag is named after its file; it orders the scan.
    sets.at(table)->SetIndexName(table + "_key");
  }
  if (!c.failPost.empty()) {
    std::istringstream s(c.failPost);
    std::string table;
    int n = 0;
    s >> table >> n;
    sets.at(table)->BeforePost = [&posts, n](TDataSet*) {
      if (++posts == n) throw EDatabaseError("injected post failure");
    };
  }
  sift.UseDeleted = c.useDeleted;
  sift.Loaded();
  for (const std::string& sql : c.sql) {
    try {
      sift.SetSQL(sql);
      if (sql.rfind("select", 0) == 0) {
        sift.Open();
        sift.Close();
      } else {
        sift.ExecSQL();
      }
      run.affected = sift.RowsAffected;
    } catch (const Exception& e) {
      run.error = e.Message();
      break;
    }
  }
  for (auto& [name, ds] : sets) {
    ds->BeforePost = nullptr;
    // A record left pending by the statement would be posted here.
    ds->Close();
  }
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) out.push_back(line);
  return out;
}

std::string Oracle() { return "/usr/bin/python3 " + Quote(SourceDir() + "/tests/app/data/dml_oracle.py"); }

TEST(DmlCases, FinalTablesAsListedAndAsSQLiteLeavesThem) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  const std::vector<TDmlCase> cases = LoadCases();
  ASSERT_GE(cases.size(), 10u);
  int againstSqlite = 0;
  for (const TDmlCase& c : cases) {
    SCOPED_TRACE("dml_cases.txt line " + std::to_string(c.line) + ": " + c.title);
    TempDir dir("dirlook-dml");
    MakeTables(dir);
    std::filesystem::create_directory(dir / "initial");
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.is_regular_file()) std::filesystem::copy_file(e.path(), dir / ("initial/" + e.path().filename().string()));

    const TRun run = RunEngine(c, dir);
    if (c.error.empty()) {
      EXPECT_EQ(run.error, "");
    } else {
      EXPECT_NE(run.error.find(c.error), std::string::npos) << "gave \"" << run.error << "\"";
    }
    if (c.affected >= 0) {
      EXPECT_EQ(run.affected, c.affected);
    }

    const Output dump = RunTool(Oracle() + " dump " + Quote(dir / (c.table + ".dbf")));
    EXPECT_EQ(dump.code, 0) << dump.text;
    const std::vector<std::string> ours = Lines(dump.text);
    if (c.haveRows) {
      EXPECT_EQ(ours, c.rows);
    }
    if (!c.sqliteSkip.empty()) continue;

    std::ofstream(dir / "statements.sql") << [&] {
      std::string all;
      for (const std::string& s : c.sqlite.empty() ? c.sql : c.sqlite) all += s + "\n";
      return all;
    }();
    const Output lite =
        RunTool(Oracle() + " sqlite " + Quote(dir / "initial") + " " + c.table + " " + Quote(dir / "statements.sql"));
    std::vector<std::string> expected = Lines(lite.text);
    // A statement SQLite refuses as well leaves its table as before.
    const bool liteFailed = !expected.empty() && expected.front().rfind("error=", 0) == 0;
    if (liteFailed) {
      EXPECT_NE(c.error, "") << "SQLite refuses: " << expected.front();
      expected.erase(expected.begin());
    }
    if (lite.code != 0 || expected.empty() || expected.front().rfind("changes=", 0) != 0) {
      ADD_FAILURE() << lite.text;
      continue;
    }
    const int changes = std::stoi(expected.front().substr(8));
    expected.erase(expected.begin());
    std::vector<std::string> live;
    for (const std::string& r : ours)
      if (r.rfind("*", 0) != 0) live.push_back(r);
    EXPECT_EQ(live, expected) << "SQLite leaves the table otherwise";
    if (c.error.empty()) {
      EXPECT_FALSE(liteFailed);
      EXPECT_EQ(run.affected, changes) << "SQLite counts otherwise";
    }
    ++againstSqlite;
  }
  std::printf("%d of %zu data-change cases checked against SQLite\n", againstSqlite, cases.size());
}

// Two handles on one file: a record another handle keeps in edit stops an
// UPDATE there.  The records before it stay updated, the refused one and
// those after it are as they were, nothing is left pending or locked.
TEST(DmlCases, AnUpdateStoppedByAnotherHandlesLockLeavesNothingPending) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  LockRetryScope quick(20, 5);
  TempDir dir("dirlook-dml");
  MakeTables(dir);
  {
    TCorvidDataSet t, other;
    Place(t, dir, "t.dbf");
    Place(other, dir, "t.dbf");
    t.Open();
    other.Open();
    other.First();
    other.Next();
    other.Edit();  // record 2 locked by the other handle
    TCorvidSift sift;
    sift.AddDataSet(&t, "t");
    sift.Loaded();
    sift.SetSQL("update t set price = 7");
    EXPECT_THROW(sift.ExecSQL(), Exception);
    EXPECT_EQ(sift.RowsAffected, 1);
    EXPECT_EQ(t.State(), dsBrowse);
    other.Cancel();
    // Our handle holds no lock: the other one can edit record 1 now.
    other.First();
    other.Edit();
    other.FieldByName("NAME")->SetAsString("apricot");
    other.Post();
    sift.SetSQL("update t set price = 8 where id = 2");
    sift.ExecSQL();
    EXPECT_EQ(sift.RowsAffected, 1);
  }
  const Output dump = RunTool(Oracle() + " dump " + Quote(dir / "t.dbf"));
  EXPECT_EQ(dump.code, 0) << dump.text;
  EXPECT_EQ(Lines(dump.text), (std::vector<std::string>{"1|apricot|7", "2|pear|8", "3|plum|NULL", "4|NULL|4"}));
}

}  // namespace
