// ORDER BY and UNION beyond what the SQLite-checked cases show: the order of
// ties, both stores, what the rows of a UNION hold besides their values, and
// type-exact copies of nulls and booleans.
#include <gtest/gtest.h>

#include "platform/numbers.h"
#include "common/expr_test_support.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

namespace {

const Variant N = Variant::Null();

// t(ID, I, F, B, S): typed columns, row 2 all null.
struct TTyped {
  TRowDataSet t{{{"ID", ftInteger}, {"I", ftInteger}, {"F", ftFloat}, {"B", ftBoolean}, {"S", ftString, 3}},
                {{1, 7, 2.5, false, "ab"}, {2, N, N, N, N}, {3, -1, 3.0, true, "xyz"}}};
  TSift q;
  explicit TTyped(bool inMemory = true) {
    q.InMemResultSet = inMemory;
    q.AddDataSet(&t, "t");
  }
};

struct TRun {
  std::unique_ptr<TResultSet> rs;
  std::string error;
};

TRun RunSql(TCustomSift& q, const std::string& sql) {
  FormatSettingsGuard guard{'.', ','};
  TRun run;
  TSqlAnalizer a(nullptr, &q);
  EXPECT_EQ(a.Parse(sql), 0) << sql;
  try {
    run.rs = SiftCreateResultSet(a, q);
  } catch (const Exception& e) {
    run.error = e.Message();
  }
  return run;
}

std::vector<std::string> Rows(TResultSet& rs) {
  FormatSettingsGuard guard{'.', ','};
  std::vector<std::string> out;
  for (int32_t r = 1; r <= rs.GetRecordCount(); ++r) {
    rs.SetRecno(r);
    std::string row;
    for (int32_t i = 0; i < rs.Fields.Count(); ++i) {
      TkpField* f = rs.Fields.GetItem(i);
      if (i > 0) row += "|";
      row += f->GetIsNull() ? "NULL" : f->GetAsString();
    }
    out.push_back(row);
  }
  return out;
}

using TRows = std::vector<std::string>;

TEST(SiftOrderBy, TiesKeepTheScanOrderInBothStores) {
  std::vector<std::vector<Variant>> data;
  for (int i = 1; i <= 200; ++i) data.push_back({i, i % 3 == 0 ? N : Variant(i % 3)});
  for (bool inMemory : {true, false}) {
    TRowDataSet t{{{"ID", ftInteger}, {"K", ftInteger}}, data};
    TSift q;
    q.InMemResultSet = inMemory;
    q.AddDataSet(&t, "t");
    TRun run = RunSql(q, "select k, id from t order by k desc");
    ASSERT_EQ(run.error, "");
    const TRows rows = Rows(*run.rs);
    ASSERT_EQ(rows.size(), 200u);
    // Keys 2, 1, then the nulls; ids ascending inside each key.
    int32_t lastKey = 3, lastId = 0;
    for (const std::string& row : rows) {
      const size_t bar = row.find('|');
      const std::string k = row.substr(0, bar);
      const int32_t key = k == "NULL" ? 0 : std::stoi(k);
      const int32_t id = std::stoi(row.substr(bar + 1));
      ASSERT_LE(key, lastKey) << row;
      if (key == lastKey) {
        EXPECT_GT(id, lastId) << row << (inMemory ? " memory" : " file");
      }
      lastKey = key;
      lastId = id;
    }
  }
}

TEST(SiftOrderBy, EveryTypeSortsAndNullsGoFirstAscending) {
  TTyped db;
  EXPECT_EQ(Rows(*RunSql(db.q, "select b, id from t order by b").rs), (TRows{"NULL|2", "FALSE|1", "TRUE|3"}));
  EXPECT_EQ(Rows(*RunSql(db.q, "select f, id from t order by f desc").rs), (TRows{"3|3", "2.5|1", "NULL|2"}));
  EXPECT_EQ(Rows(*RunSql(db.q, "select s from t order by s desc").rs), (TRows{"xyz", "ab", "NULL"}));
}

TEST(SiftUnion, AppendedRowsHoldNoBookmarkAndTheResultIsNotSequenced) {
  for (bool inMemory : {true, false}) {
    TTyped db(inMemory);
    TRowDataSet u{{{"ID", ftInteger}}, {{10}, {20}}};
    db.q.AddDataSet(&u, "u");
    // Same types (the first branch's rows stay where they are) and a wider
    // string (the rows move into a wider layout).
    for (const char* sql :
         {"select id from t union select id from u", "select s from t union select 'wide text' from u"}) {
      TRun run = RunSql(db.q, sql);
      ASSERT_EQ(run.error, "") << sql;
      ASSERT_EQ(run.rs->GetRecordCount(), 5) << sql;
      EXPECT_FALSE(run.rs->SourceBookmarked) << sql;
      for (int32_t r = 4; r <= 5; ++r) {
        run.rs->SetRecno(r);
        EXPECT_EQ(run.rs->GetSourceBookmark(), 0) << sql << " row " << r;
      }
    }
    // A plain SELECT still stands for its source records.
    TRun plain = RunSql(db.q, "select id from t");
    EXPECT_TRUE(plain.rs->SourceBookmarked);
  }
}

TEST(SiftUnion, QueryOverAUnionReportsNoSourceBookmark) {
  TTyped db;
  db.q.SetSQL("select id from t union select id from t where id = 1");
  db.q.Open();
  EXPECT_FALSE(db.q.ResultSetIsSequenced());
  db.q.Last();
  EXPECT_EQ(db.q.SourceBookmark(), 0);
  db.q.Close();
}

TEST(SiftUnion, NullsAndValuesCrossByType) {
  for (bool inMemory : {true, false}) {
    TTyped db(inMemory);
    TRun run = RunSql(db.q, "select i, f, b, s from t where id = 1 union select i, f, b, s from t where id > 1");
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(Rows(*run.rs), (TRows{"7|2.5|FALSE|ab", "NULL|NULL|NULL|NULL", "-1|3|TRUE|xyz"}));
  }
  TTyped db;
  // An integer column takes whole floats and integers, a float column
  // integers; a fraction is refused rather than rounded away.
  EXPECT_EQ(Rows(*RunSql(db.q, "select i from t where id = 1 union select f from t where id > 1").rs),
            (TRows{"7", "NULL", "3"}));
  EXPECT_EQ(Rows(*RunSql(db.q, "select f from t where id = 1 union select i from t").rs),
            (TRows{"2.5", "7", "NULL", "-1"}));
  EXPECT_EQ(RunSql(db.q, "select i from t union select f from t").error, "Invalid integer value 2.5");
  // A boolean column reads texts as booleans, and refuses numbers.
  EXPECT_EQ(Rows(*RunSql(db.q, "select b from t where id = 1 union select 'T' from t where id = 1").rs),
            (TRows{"FALSE", "TRUE"}));
  EXPECT_EQ(RunSql(db.q, "select b from t union select i from t").error, "Invalid boolean value 7");
}

TEST(SiftUnion, WidenedColumnSizesTheQueryField) {
  TTyped db;
  db.q.SetSQL("select s from t where id = 1 union select 'longer than three' from t where id = 1");
  db.q.Open();
  db.q.Last();
  EXPECT_EQ(db.q.FieldByName("S")->AsString(), "longer than three");
  db.q.Close();
}

TEST(SiftUnion, TheBranchReadsTheStatementsParameters) {
  TTyped db;
  db.q.SetSQL("select id from t where id = :p union select id from t where id > :p");
  db.q.ParamByName("p")->SetAsInteger(2);
  db.q.Open();
  ASSERT_NE(db.q.ResultSet(), nullptr);
  EXPECT_EQ(Rows(*db.q.ResultSet()), (TRows{"2", "3"}));
  db.q.Close();
}

}  // namespace
