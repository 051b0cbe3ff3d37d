// A SELECT's scan on the DBF dataset's forward road (records read in blocks
// straight into the one record buffer) against the same scan stepping with
// Next: random tables with deleted records, blank fields, Cyrillic, memos,
// an enciphered table, an OEM table, a filter, a range over a tag, and a
// shared table that another handle appends to between statements.  Every
// statement must give the same rows with the same source bookmarks.  And
// random aggregate statements through the window's binding with their
// plain field arguments read in place, against the same statements read
// through the arguments' expressions.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "common/sanitizer.h"
#include "corvid_sift.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_group.h"
#include "sql_engine/query/sift_scan.h"

namespace {

constexpr int kRows = kSanitized ? 150 : 600;

// ID N 5, NAME C 10, KW C 4, NOTE M: random texts (Cyrillic as CP1251 or,
// for an OEM table, CP866), blanks among them, some records deleted.
void MakeWalkTable(const std::string& path, std::mt19937& rng, int count, bool oem) {
  MakeTable(path, "3", {{"ID", "N", 5, 0}, {"NAME", "C", 10, 0}, {"KW", "C", 4, 0}, {"NOTE", "M", 10, 0}}, {});
  const std::vector<std::string> names =
      oem ? std::vector<std::string>{"", "abc", "Abc", "\x8C\xA8\xE0\xA0", "\xAC\xA8\xE0\xA0", "zz", " x"}
          : std::vector<std::string>{"", "abc", "Abc", "\xCC\xE8\xF0\xE0", "\xEC\xE8\xF0\xE0", "zz", " x"};
  const char* const kws[] = {"", "a", "b", "c", "1"};
  CVO_dBHandler h(path, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int i = 1; i <= count; ++i) {
    h.cvBlank();
    if (rng() % 9 != 0) h.cvFieldPutN(1, std::to_string(rng() % 100));
    h.cvFieldPutN(2, names[rng() % names.size()]);
    h.cvFieldPutN(3, kws[rng() % 5]);
    if (rng() % 3 == 0) h.cvMemoSaveN(4, "memo " + std::to_string(i));
    h.cvAppend();
  }
  for (int i = 1; i <= count; ++i)
    if (rng() % 6 == 0) {
      h.cvGetRec(i);
      h.cvDeleteRec();
    }
  h.cvCloseTable();
}

struct TWalkRun {
  std::vector<std::string> rows;  // the cells, then the source record's bookmark
  std::string error;
};

TWalkRun RunSql(TCustomSift& q, TDataSet& source, const std::string& sql, bool road) {
  struct Restore {
    ~Restore() { SetSiftRecordWalk(true); }
  } restore;
  SetSiftRecordWalk(road);
  TWalkRun run;
  try {
    q.SetSQL(sql);
    q.Open();
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 1; i <= q.FieldCount(); ++i) {
        TField* f = q.FieldByNumber(i);
        row += (f->IsNull() ? std::string("NULL") : f->AsString()) + "|";
      }
      const uint8_t* bm = source.BookmarkBytes(q.SourceBookmark());
      row += bm ? std::string(reinterpret_cast<const char*>(bm)) : "-";
      run.rows.push_back(row);
    }
    q.Close();
  } catch (const Exception& e) {
    run.error = e.Message();
    if (q.Active()) q.Close();
  }
  return run;
}

const std::vector<std::string> kStatements = {
    "select id, name, kw from t",
    "select * from t",
    "select id, name, note from t where id > 40 or name = 'abc'",
    "select name, kw from t where kw <> 'a' and id between 10 and 60",
    "select top 5 id, name from t",
    "select count(*), count(id), max(name), min(id), sum(id) from t",
    "select max(kw) from t where id < 50",
    "select kw, count(*), max(name), min(id) from t group by kw",
    "select name, count(*) from t group by name having count(*) > 1",
    "select distinct kw from t",
    "select id, name from t order by name, id",
    "select t.id, u.id from t, u where t.kw = u.kw and t.id < 20",
    "select t.id, u.kw from t join u on t.id = u.id",
    "select id from t where id in (select id from u)",
};

// Every statement on both roads over one dataset; `tag` the roads must also
// agree on the rows the query's own walk gives (no road).
void ExpectRoadsAgree(TCorvidDataSet& t, TCorvidDataSet& u, const std::string& what) {
  TSift q;
  q.AddDataSet(&t, "t");
  q.AddDataSet(&u, "u");
  for (const std::string& sql : kStatements) {
    const TWalkRun off = RunSql(q, t, sql, false);
    const TWalkRun on = RunSql(q, t, sql, true);
    EXPECT_EQ(on.error, off.error) << what << ": " << sql;
    EXPECT_EQ(on.rows, off.rows) << what << ": " << sql;
  }
}

// The walk's records, fields and record numbers as First ... Next gives them.
std::vector<std::string> WalkRecords(TCorvidDataSet& ds, bool road, bool* taken = nullptr) {
  std::vector<std::string> out;
  const bool on = road ? ds.BeginWalk() : (ds.First(), false);
  if (taken) *taken = on;
  for (; !ds.Eof(); on ? ds.WalkNext() : ds.Next()) {
    TField* note = ds.FieldByName("NOTE");
    out.push_back(std::to_string(ds.RecNo()) + "|" + ds.FieldByName("ID")->AsString() + "|" +
                  ds.FieldByName("NAME")->AsString() + "|" + note->AsString());
  }
  ds.EndWalk();
  return out;
}

TEST(SiftWalk, TheForwardRoadGivesTheRowsOfTheNormalWalk) {
  std::mt19937 rng(20261208);
  TempDir dir("dirlook-walk");
  MakeWalkTable(dir / "t.dbf", rng, kRows, false);
  MakeWalkTable(dir / "u.dbf", rng, 40, false);
  MakeWalkTable(dir / "o.dbf", rng, kRows, true);
  TCorvidDataSet u;
  Place(u, dir, "u.dbf");
  u.Open();

  {
    TCorvidDataSet t;
    Place(t, dir, "t.dbf");
    t.Open();
    // The road is taken on a plain table, and walks what Next walks; the
    // dataset stands on the last record afterwards, its cursor usable.
    bool taken = false;
    const std::vector<std::string> onRoad = WalkRecords(t, true, &taken);
    EXPECT_TRUE(taken);
    EXPECT_EQ(onRoad, WalkRecords(t, false));
    EXPECT_FALSE(onRoad.empty());
    ASSERT_TRUE(t.BeginWalk());
    t.WalkNext();
    t.WalkNext();
    const int recno = t.RecNo();
    t.Next();  // leaves the road, steps from where the road stood
    EXPECT_FALSE(t.Walking());
    t.Prior();
    EXPECT_EQ(t.RecNo(), recno);
    // Positioning by number ends the road where it was asked to.
    const int target = std::stoi(onRoad[onRoad.size() / 2]);
    ASSERT_TRUE(t.BeginWalk());
    t.WalkNext();
    t.SetRecNo(target);
    EXPECT_FALSE(t.Walking());
    EXPECT_EQ(t.RecNo(), target);
    t.Next();
    EXPECT_EQ(t.RecNo(), std::stoi(onRoad[onRoad.size() / 2 + 1]));
    ExpectRoadsAgree(t, u, "plain");
    t.SetDBFCache(true);  // the handler's read window beside the road
    ExpectRoadsAgree(t, u, "read window");
    t.SetDBFCache(false);
    t.SetUseDeleted(true);
    EXPECT_EQ(WalkRecords(t, true), WalkRecords(t, false));
    ExpectRoadsAgree(t, u, "deleted shown");
    t.SetUseDeleted(false);
    t.SetFilter("ID > 30");
    t.SetFiltered(true);
    EXPECT_EQ(WalkRecords(t, true), WalkRecords(t, false));
    ExpectRoadsAgree(t, u, "filtered");
    // A sparse result: the road reads runs of kept records, not blocks.
    t.SetFilter("ID = 7 .OR. ID = 93");
    EXPECT_EQ(WalkRecords(t, true), WalkRecords(t, false));
    ExpectRoadsAgree(t, u, "sparse filter");
    t.SetFiltered(false);
    t.IndexOn("name.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    t.SetIndexName("name");
    ASSERT_FALSE(t.IndexCurrent().empty());
    t.SetRange("Abc", "zz");
    EXPECT_FALSE(t.BeginWalk());  // a tag's order is no record order
    t.EndWalk();
    ExpectRoadsAgree(t, u, "range");
    t.SetRange("", "");
    ExpectRoadsAgree(t, u, "tag");
    t.SetIndexName("");
    EXPECT_EQ(WalkRecords(t, true), WalkRecords(t, false));
    t.Close();
  }
  {
    // A file cut short of its header's count reads alike on both roads.
    std::filesystem::copy_file(dir / "t.dbf", dir / "cut.dbf");
    std::filesystem::resize_file(dir / "cut.dbf", std::filesystem::file_size(dir / "cut.dbf") - 60);
    TCorvidDataSet c;
    Place(c, dir, "cut.dbf");
    c.Open();
    TSift q;
    q.AddDataSet(&c, "t");
    for (const char* sql : {"select id, name from t", "select max(name) from t"}) {
      const TWalkRun on = RunSql(q, c, sql, true), off = RunSql(q, c, sql, false);
      EXPECT_EQ(on.error, off.error) << sql;
      EXPECT_EQ(on.rows, off.rows) << sql;
    }
  }
  {
    // The OEM table, read with translation.
    TCorvidDataSet o;
    Place(o, dir, "o.dbf", true);
    o.Open();
    EXPECT_EQ(WalkRecords(o, true), WalkRecords(o, false));
    ExpectRoadsAgree(o, u, "oem");
  }
  {
    // The enciphered table: the road deciphers as the handler does.
    TCorvidDataSet e;
    Place(e, dir, "t.dbf");
    e.SetExclusive(true);
    e.Open();
    e.EncryptFile("secret");
    e.Close();
    e.SetExclusive(false);
    e.SetEncryptionKey("secret");
    e.Open();
    bool taken = false;
    const std::vector<std::string> rows = WalkRecords(e, true, &taken);
    EXPECT_TRUE(taken);
    EXPECT_EQ(rows, WalkRecords(e, false));
    ExpectRoadsAgree(e, u, "enciphered");
  }
}

TEST(SiftWalk, AppendsOfAnotherHandleAreWalkedOnTheRoad) {
  std::mt19937 rng(77);
  TempDir dir("dirlook-walk-shared");
  MakeWalkTable(dir / "t.dbf", rng, 50, false);
  MakeWalkTable(dir / "u.dbf", rng, 10, false);
  TCorvidDataSet t, other, u;
  Place(t, dir, "t.dbf");
  Place(other, dir, "t.dbf");
  Place(u, dir, "u.dbf");
  t.Open();
  other.Open();
  u.Open();
  TSift q;
  q.AddDataSet(&t, "t");
  q.AddDataSet(&u, "u");
  for (int round = 0; round < 4; ++round) {
    const TWalkRun before = RunSql(q, t, "select id, name from t", true);
    // Another handle appends (and deletes one record) between statements.
    other.Append();
    other.FieldByName("ID")->SetAsString(std::to_string(900 + round));
    other.FieldByName("NAME")->SetAsString("new");
    other.Post();
    other.First();
    other.Delete();
    for (const std::string& sql : kStatements) {
      const TWalkRun on = RunSql(q, t, sql, true);
      const TWalkRun off = RunSql(q, t, sql, false);
      EXPECT_EQ(on.error, off.error) << sql;
      EXPECT_EQ(on.rows, off.rows) << sql;
    }
    const TWalkRun after = RunSql(q, t, "select id, name from t", true);
    ASSERT_FALSE(after.rows.empty());
    EXPECT_EQ(after.rows.back().substr(0, 8), std::to_string(900 + round) + "|new|");
    EXPECT_EQ(after.rows.size(), before.rows.size());  // one appended, one deleted
  }
  // A record another handle appends while the walk runs is walked too.
  for (const bool road : {false, true}) {
    int appended = 0;
    q.OnProgress = [&](TCustomSift*, TSiftProgressStatus status, int32_t, int32_t, int32_t) {
      if (status != psSiftProgress || appended != 0) return;
      appended = road ? 991 : 990;
      other.Append();
      other.FieldByName("ID")->SetAsString(std::to_string(appended));
      other.Post();
    };
    const TWalkRun run = RunSql(q, t, "select id, name from t", road);
    q.OnProgress = nullptr;
    EXPECT_EQ(run.error, "");
    ASSERT_NE(appended, 0);
    ASSERT_FALSE(run.rows.empty());
    EXPECT_EQ(run.rows.back().substr(0, 4), std::to_string(appended) + "|") << road;
  }
}

// A random aggregate statement over the table of the test below.
std::string AggregateStatement(std::mt19937& rng) {
  const char* const fields[] = {"name", "kw", "amt", "qty", "dt", "fl"};
  const char* const numbers[] = {"amt", "qty", "kw"};  // kw holds numbers or blanks
  std::string aggregates;
  const int count = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < count; ++i) {
    std::string a;
    switch (rng() % 7) {
      case 0: a = "count(*)"; break;
      case 1: a = std::string("count(") + fields[rng() % 6] + ")"; break;
      case 2: a = std::string("max(") + fields[rng() % 6] + ")"; break;
      case 3: a = std::string("min(") + fields[rng() % 6] + ")"; break;
      case 4: a = std::string("sum(") + numbers[rng() % 3] + ")"; break;
      case 5: a = std::string("avg(") + numbers[rng() % 3] + ")"; break;
      default: a = std::string("count(distinct ") + fields[rng() % 6] + ")"; break;
    }
    aggregates += (i ? ", " : "") + a;
  }
  const char* const wheres[] = {"",
                                "",
                                " where qty > 3",
                                " where name > 'b'",
                                " where amt is null",
                                " where kw <> '1'",
                                " where fl = true",
                                " where name = 'ab' or qty < 2"};
  const char* const groups[] = {"", "", "kw", "fl", "name", "dt"};
  const std::string where = wheres[rng() % 8];
  const std::string group = groups[rng() % 6];
  if (group.empty()) return "select " + aggregates + " from t" + where;
  return "select " + group + ", " + aggregates + " from t" + where + " group by " + group;
}

TEST(SiftWalk, AggregatesReadInPlaceGiveTheRowsOfTheExpressions) {
  std::mt19937 rng(2026120826);
  TempDir dir("dirlook-walk-agg");
  // Texts with blanks only, leading and trailing blanks, Cyrillic and bytes
  // below the blank; numbers, dates and logicals with blanks.
  // Many share their first bytes, so that the later ones decide.
  const std::vector<std::string> names = {
      "",         "  ",   "ab",           "ab ",      " ab", "b",  "a", "a\x01", "ab\tc", "\xCC\xE8\xF0\xE0",
      "\xEC\xE8", "\xEC", "\xEC\xF0\xE0", "zzzzzzzz", "zy",  "zzz"};
  const char* const kws[] = {"", "1", "12", "007", "5"};
  const char* const amts[] = {"", "0", "-3.5", "12.25", "7", "0.01"};
  const char* const qtys[] = {"", "0", "1", "5", "-2", "99"};
  const char* const dates[] = {"", "20240101", "19991231", "20240315"};
  const char* const logic[] = {" ", "T", "F", "?"};
  const int rows = kSanitized ? 120 : 400;
  std::vector<std::vector<std::string>> data;
  std::vector<int> deleted;
  for (int i = 1; i <= rows; ++i) {
    data.push_back({names[rng() % names.size()], kws[rng() % 5], amts[rng() % 6], qtys[rng() % 6], dates[rng() % 4],
                    logic[rng() % 4]});
    if (rng() % 7 == 0) deleted.push_back(i);
  }
  MakeTable(dir / "t.dbf", "3",
            {{"NAME", "C", 8, 0},
             {"KW", "C", 3, 0},
             {"AMT", "N", 7, 2},
             {"QTY", "N", 4, 0},
             {"DT", "D", 8, 0},
             {"FL", "L", 1, 0}},
            data, deleted);
  TCorvidDataSet t;
  Place(t, dir, "t.dbf");
  t.Open();
  TCorvidSift sift;
  sift.AddDataSet(&t, "t");
  sift.Loaded();
  struct Restore {
    ~Restore() { SetSiftGroupInPlace(true); }
  } restore;
  auto run = [&](const std::string& sql, bool inPlace, bool walk) {
    SetSiftGroupInPlace(inPlace);
    return RunSql(sift, t, sql, walk);
  };
  int compared = 0, nonEmpty = 0;
  const int statements = kSanitized ? 80 : 300;
  for (int n = 0; n < statements; ++n) {
    const std::string sql = AggregateStatement(rng);
    // Now and then the dataset shows its deleted records, or the binding
    // leaves every condition to the query.
    t.SetUseDeleted(n % 11 == 3);
    sift.WhereOptimizeMethod = n % 3 == 1 ? omNone : omSetFilter;
    const TWalkRun expected = run(sql, false, false);
    for (const bool walk : {true, false}) {
      const TWalkRun got = run(sql, true, walk);
      EXPECT_EQ(got.error, expected.error) << sql << " walk " << walk;
      EXPECT_EQ(got.rows, expected.rows) << sql << " walk " << walk;
    }
    ++compared;
    nonEmpty += !expected.rows.empty() && expected.error.empty();
  }
  t.SetUseDeleted(false);
  // The statements are worth comparing: most of them give rows.
  EXPECT_EQ(compared, statements);
  EXPECT_GT(nonEmpty, statements / 2);
  // One answer checked by hand: the largest text, by its bytes, without
  // its trailing blanks; blank texts are null to MAX and COUNT.
  std::string largest;
  int texts = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    if (std::find(deleted.begin(), deleted.end(), static_cast<int>(i + 1)) != deleted.end()) continue;
    std::string v = data[i][0];
    while (!v.empty() && v.back() == ' ') v.pop_back();
    if (v.empty()) continue;
    ++texts;
    if (v.compare(largest) > 0) largest = v;
  }
  const TWalkRun mx = run("select max(name), count(name) from t", true, true);
  ASSERT_EQ(mx.rows.size(), 1u);
  EXPECT_EQ(mx.rows[0].substr(0, mx.rows[0].rfind('|')), largest + "|" + std::to_string(texts));
}

}  // namespace
