// A SELECT's scan on the DBF dataset's forward road (records read in blocks
// straight into the one record buffer) against the same scan stepping with
// Next: random tables with deleted records, blank fields, Cyrillic, memos,
// an enciphered table, an OEM table, a filter, a range over a tag, and a
// shared table that another handle appends to between statements.  Every
// statement must give the same rows with the same source bookmarks.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "common/sanitizer.h"
#include "sql_engine/query/custom_sift.h"
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

}  // namespace
