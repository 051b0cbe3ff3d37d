// One statement, one answer on every road: random WHERE clauses over a DBF
// table run through the window's binding with each WhereOptimizeMethod (the
// DBF filter, the key range and the ORDER BY tag, or neither) and through a
// query with no binding at all, which evaluates every condition itself.
// The table holds what trips a DBF engine's own comparisons: blank fields
// (null to the query), texts that differ only in case or in a trailing
// blank, wildcard characters of both languages, Cyrillic and Latin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "common/sanitizer.h"
#include "platform/code_page.h"
#include "search_text.h"

#if DIRLOOK_HAVE_SQLITE
#include <sqlite3.h>
#endif

// The DBF engine's switch for its fast evaluation plans (the record tests
// included): off, every filter goes through the general evaluator.
extern bool cvExpFastPathsOn;

namespace {

std::string Cp(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToCp1251(utf8, out)) << utf8;
  return out;
}

constexpr int kScale = kSanitized ? 4 : 1;

// The texts stored in C fields and compared with in literals.
std::vector<std::string> TextPool() {
  // clang-format off
  return {"",     " ",     "abc",  "Abc",   "ABC",  "abc ", " abc", "ab",     "abcd", "*",  "?",    "%",
          "_",    "a*",    "*c",   "a?c",   "a%",   "a_c",  "12",   "12 ",    "1",    "5",  "288",  "1*",
          Cp("Мира"), Cp("мира"), Cp("Мира "), Cp("Садовая"), Cp("садовая"), "Ekb", "ekb", "Z", "z", "0", "ab\x01", "\x7F", "a'b", "2'", "a\"b"};
  // clang-format on
}

struct TRoadsTable {
  TempDir dir{"dirlook-roads"};
  TCorvidDataSet ds;
  std::vector<std::vector<std::string>> rows;
  // `kind`: "ntx", "ndx", "mdx", "cdx", or "general" for a compound index
  // whose text tags follow the general collation rather than the bytes.
  explicit TRoadsTable(std::mt19937& rng, const std::string& kind = "ntx") {
    const std::vector<std::string> texts = TextPool();
    const char* const nums[] = {"", "0", "5", "-3", "12", "288", "7"};
    const char* const dates[] = {"", "20240101", "19991231", "20240315"};
    const char* const logic[] = {" ", "T", "F", "?"};
    for (int i = 1; i <= 60; ++i) {
      std::vector<std::string> r;
      r.push_back(std::to_string(i));
      r.push_back(texts[rng() % texts.size()]);
      r.push_back(texts[rng() % texts.size()].substr(0, 4));
      r.push_back(nums[rng() % 7]);
      r.push_back(dates[rng() % 4]);
      r.push_back(logic[rng() % 4]);
      rows.push_back(r);
    }
    MakeTable(dir / "t.dbf", "3",
              {{"ID", "N", 4, 0},
               {"NAME", "C", 8, 0},
               {"KW", "C", 4, 0},
               {"ND", "N", 5, 0},
               {"DT", "D", 8, 0},
               {"FL", "L", 1, 0}},
              rows);
    Place(ds, dir, "t.dbf");
    ds.Open();
    if (kind == "ntx" || kind == "ndx") {
      ds.IndexOn("name." + kind, "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      ds.IndexOn("nd." + kind, "", "ND", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    } else {
      const bool general = kind == "general";
      const CVsetSortStatus up = general ? CVsetSortStatus::AscendingGeneral : CVsetSortStatus::Ascending;
      const std::string file = general ? "t.cdx" : "t." + kind;
      ds.IndexOn(file, "NAME", "NAME", "", CVsetIndexUnique::Duplicates, up);
      ds.IndexOn(file, "ND", "ND", "", CVsetIndexUnique::Duplicates, up);
    }
    ds.SetIndexName("");
    // As the window's dataset: its own filter compares caselessly and by
    // prefix; a statement must not care.
    ds.SetFilterOptions(foCaseInsensitive);
  }
};

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// LIKE patterns: whole texts, prefixes with "_", texts found anywhere,
// and shapes no DBF test stands for.
// clang-format off
const std::vector<std::string> kLikes = {
            "'a%'",   "'%c'",   "'a_c'",  "'%'",    "'\\%%' escape '\\'", "'\\_' escape '\\'", "'%*%'", "'?'",
            "'1%'",   "'_'",    "'12'",   "'12 '",  "'1_%'",  "'_2%'",  "'1 %'",  "'%2%'",  "'%b%'",  "'%1 %'",
            "'Ab%'",  "'%%'",   "'a_c%'", "' 1%'",  "'%\xCC\xE8%'", "'12%%'", "'a'",    "'%2'",   "'2''%'", "'%\"%'"};
// clang-format on

class TWhereMaker {
public:
  explicit TWhereMaker(std::mt19937& rng) : rng_(rng), texts_(TextPool()) {}
  std::string Condition(int depth) {
    const unsigned pick = rng_() % 10;
    if (depth > 0 && pick < 2) return Condition(depth - 1) + (rng_() % 2 ? " and " : " or ") + Condition(depth - 1);
    if (depth > 0 && pick == 2) return "not (" + Condition(depth - 1) + ")";
    if (depth > 0 && pick == 3) return "(" + Condition(depth - 1) + ")";
    return Atom();
  }

private:
  std::mt19937& rng_;
  std::vector<std::string> texts_;
  std::string Text() { return Quoted(texts_[rng_() % texts_.size()]); }
  std::string Op() {
    static const char* const ops[] = {"=", "<>", "<", ">", "<=", ">="};
    return ops[rng_() % 6];
  }
  std::string Num() {
    static const char* const nums[] = {"0", "5", "-3", "12", "288", "6", "-1"};
    return nums[rng_() % 7];
  }
  std::string Atom() {
    const char* const textFields[] = {"name", "kw"};
    const std::string tf = textFields[rng_() % 2];
    switch (rng_() % 12) {
      case 0:
      case 1: return tf + " " + Op() + " " + Text();
      case 2: return Text() + " " + Op() + " " + tf;
      case 3: return "nd " + Op() + " " + Num();
      case 4: return Num() + " " + Op() + " nd";
      case 5: {
        return tf + (rng_() % 3 ? " like " : " not like ") + kLikes[rng_() % kLikes.size()];
      }
      case 6: return tf + " between " + Text() + " and " + Text();
      case 7: return tf + " in (" + Text() + ", " + Text() + ")";
      case 8: {
        static const char* const f[] = {"name", "kw", "nd", "dt", "fl"};
        return std::string(f[rng_() % 5]) + (rng_() % 2 ? " is null" : " is not null");
      }
      case 9: return "nd between " + Num() + " and " + Num();
      case 10: return rng_() % 2 ? "fl = True" : "fl = False";
      default: return "nd in (" + Num() + ", " + Num() + ")";
    }
  }
};

struct TRun {
  std::vector<std::string> rows;
  std::string error;
};

TRun RunSql(TCustomSift& q, const std::string& sql) {
  TRun run;
  try {
    q.SetSQL(sql);
    q.Open();
    for (; !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 1; i <= q.FieldCount(); ++i) {
        TField* f = q.FieldByNumber(i);
        row += (i > 1 ? "|" : "") + (f->IsNull() ? std::string("NULL") : f->AsString());
      }
      run.rows.push_back(row);
    }
    q.Close();
  } catch (const Exception& e) {
    run.error = e.Message();
    if (q.Active()) q.Close();
  }
  return run;
}

class SiftRoadsOverTags : public ::testing::TestWithParam<const char*> {};

TEST_P(SiftRoadsOverTags, EveryRoadGivesTheRowsTheQueryGivesItself) {
  std::string kind = GetParam();
  // "slow": NTX tags, the DBF engine's general evaluator alone.
  const bool slow = kind == "slow";
  if (slow) kind = "ntx";
  struct TFastPaths {
    bool was = cvExpFastPathsOn;
    explicit TFastPaths(bool on) { cvExpFastPathsOn = on; }
    ~TFastPaths() { cvExpFastPathsOn = was; }
  } fastPaths(!slow);
  std::mt19937 rng(20261207);
  TRoadsTable t(rng, kind);
  TSift own;
  own.AddDataSet(&t.ds, "t");
  TCorvidSift sift;
  sift.AddDataSet(&t.ds, "t");
  sift.Loaded();
  TWhereMaker maker(rng);
  int compared = 0, nonEmpty = 0, filtered = 0, likeFiltered = 0, tagged = 0, ranged = 0;
  bool sawFilter = false, sawTag = false, sawRange = false;
  sift.OnCancelQuery = [&](TCustomSift*, bool&) {
    sawFilter = sawFilter || t.ds.Filtered();
    sawTag = sawTag || !t.ds.IndexCurrent().empty();
    sawRange = sawRange || t.ds.Ranged();
  };
  const int statements = 240 / kScale;
  for (int n = 0; n < statements; ++n) {
    // Now and then no WHERE at all: the ORDER BY alone is offered.
    const std::string where = n % 17 == 5 ? "1 = 1" : maker.Condition(2);
    std::string sql;
    bool ordered = false;
    switch (n % 4) {
      case 0: sql = "select count(*) from t where " + where; break;
      case 1:
        sql = "select name, id from t where " + where + " order by name";
        ordered = true;
        break;
      case 2:
        sql = "select nd, id from t where " + where + " order by nd";
        ordered = true;
        break;
      default: sql = "select id, name, kw, nd from t where " + where; break;
    }
    const TRun expected = RunSql(own, sql);
    ASSERT_EQ(expected.error, "") << sql;
    std::vector<std::string> sortedExpected = expected.rows;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    for (TOptimizeMethod m : {omNone, omSetFilter, omSetRange}) {
      sift.WhereOptimizeMethod = m;
      sawFilter = sawTag = sawRange = false;
      const TRun got = RunSql(sift, sql);
      ASSERT_EQ(got.error, "") << sql << " method " << int(m);
      std::vector<std::string> sorted = got.rows;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, sortedExpected) << sql << " method " << int(m);
      if (ordered) {
        // The ORDER BY column in the query's order (ties in any order).
        auto keys = [](const std::vector<std::string>& rows) {
          std::vector<std::string> k;
          for (const std::string& r : rows) k.push_back(r.substr(0, r.find('|')));
          return k;
        };
        EXPECT_EQ(keys(got.rows), keys(expected.rows)) << sql << " method " << int(m);
      }
      ++compared;
      filtered += sawFilter;
      likeFiltered += sawFilter && sql.find(" like ") != std::string::npos;
      tagged += sawTag;
      ranged += sawRange;
    }
    nonEmpty += !expected.rows.empty() && expected.rows.front() != "0";
    // Between statements the dataset is as it was: no filter, its own
    // options, natural order.
    ASSERT_FALSE(t.ds.Filtered()) << sql;
    ASSERT_EQ(t.ds.FilterOptions(), foCaseInsensitive) << sql;
    ASSERT_EQ(t.ds.IndexCurrent(), "") << sql;
  }
  EXPECT_GT(nonEmpty, statements / 4);
  // Every LIKE pattern alone, where nothing else declines the filter.
  sift.WhereOptimizeMethod = omSetFilter;
  for (const std::string& like : kLikes)
    for (const char* field : {"name", "kw"})
      for (const char* op : {" like ", " not like "}) {
        const std::string sql = std::string("select id from t where ") + field + op + like;
        std::vector<std::string> want = RunSql(own, sql).rows;
        sawFilter = false;
        const TRun got = RunSql(sift, sql);
        ASSERT_EQ(got.error, "") << sql;
        EXPECT_EQ(got.rows, want) << sql;
        likeFiltered += sawFilter;
      }
  // The filter road is still taken where it is exact.
  EXPECT_GT(filtered, statements / 10);
  // LIKE of a whole text, a prefix or a text found anywhere.
  EXPECT_GT(likeFiltered, static_cast<int>(kLikes.size()));
  // Tags serve ranges and ORDER BY where their keys follow the bytes (the
  // numeric tag under the general collation too).
  EXPECT_GT(tagged, 0);
  EXPECT_GT(ranged, 0);
  std::printf("%d statements: filter road %d (LIKE %d), tag %d, range %d\n", statements, filtered, likeFiltered, tagged,
              ranged);
  EXPECT_EQ(compared, statements * 3);
}

INSTANTIATE_TEST_SUITE_P(Tags, SiftRoadsOverTags, ::testing::Values("ntx", "ndx", "mdx", "cdx", "general", "slow"));

// UPDATE and DELETE through the binding change the rows the query changes
// by itself.
TEST(SiftRoads, DataChangesTouchTheRowsTheQueryChoosesItself) {
  std::mt19937 rng(8122026);
  TWhereMaker maker(rng);
  for (int n = 0; n < 60 / kScale; ++n) {
    const std::string where = maker.Condition(2);
    const std::string sql =
        n % 3 == 0 ? "delete from t where " + where : "update t set kw = 'X', nd = nd + 1 where " + where;
    std::mt19937 same(static_cast<uint32_t>(n));
    std::mt19937 again = same;
    TRoadsTable a(same), b(again);
    TSift own;
    own.AddDataSet(&a.ds, "t");
    TCorvidSift sift;
    sift.AddDataSet(&b.ds, "t");
    sift.Loaded();
    sift.WhereOptimizeMethod = n % 2 ? omSetFilter : omSetRange;
    int changedOwn = -1, changedSift = -1;
    try {
      own.SetSQL(sql);
      own.ExecSQL();
      changedOwn = own.RowsAffected;
      sift.SetSQL(sql);
      sift.ExecSQL();
      changedSift = sift.RowsAffected;
    } catch (const Exception& e) {
      FAIL() << sql << ": " << e.Message();
    }
    EXPECT_EQ(changedSift, changedOwn) << sql;
    TSift readA, readB;
    readA.AddDataSet(&a.ds, "t");
    readB.AddDataSet(&b.ds, "t");
    const std::string all = "select id, name, kw, nd from t order by id";
    EXPECT_EQ(RunSql(readB, all).rows, RunSql(readA, all).rows) << sql;
    EXPECT_FALSE(b.ds.Filtered());
  }
}

// An UPDATE of the very key whose range it walks: each record that the
// range holds is changed exactly once, wherever the change moves it in the
// tag (past the range's end, back before the scan's position, out of the
// range), as the query changes them with no adapter at all.  The tag is
// kept in step: the range road reads the changed rows afterwards.
TEST(SiftRoads, AnUpdateOfTheRangeKeyChangesEachRecordOnce) {
  std::mt19937 rng(1208);
  const std::vector<std::string> texts = TextPool();
  auto text = [&] { return Quoted(texts[rng() % texts.size()]); };
  auto num = [&] { return std::to_string(static_cast<int>(rng() % 40) - 10); };
  int ranged = 0, changed = 0;
  const int statements = 48 / kScale;
  for (int n = 0; n < statements; ++n) {
    std::string sql;
    std::string after;  // a read of the same key over the range road
    static const char* const ops[] = {"=", "<", ">", "<=", ">="};
    if (n % 2 == 0) {
      static const char* const sets[] = {"name = kw", "name = 'zzz'", "name = ''", "name = 'a'"};
      const std::string where = rng() % 3 == 0 ? "name between " + text() + " and " + text()
                                               : std::string("name ") + ops[rng() % 5] + " " + text();
      const std::string set = rng() % 2 ? sets[rng() % 4] : "name = " + text();
      sql = "update t set " + set + ", kw = 'U' where " + where;
      after = "select id, name from t where name >= " + text();
    } else {
      static const char* const sets[] = {"nd = nd + 7", "nd = nd - 5", "nd = 0 - nd", "nd = nd + 300", "nd = 6"};
      const std::string where =
          rng() % 3 == 0 ? "nd between " + num() + " and " + num() : std::string("nd ") + ops[rng() % 5] + " " + num();
      sql = "update t set " + std::string(sets[rng() % 5]) + ", kw = 'U' where " + where;
      after = "select id, nd from t where nd <= " + num();
    }
    const uint32_t seed = 777u + static_cast<uint32_t>(n);
    std::mt19937 same(seed), again(seed);
    TRoadsTable a(same, n % 4 < 2 ? "ntx" : "cdx"), b(again, n % 4 < 2 ? "ntx" : "cdx");
    TSift own;
    own.AddDataSet(&a.ds, "t");
    TCorvidSift sift;
    sift.AddDataSet(&b.ds, "t");
    sift.Loaded();
    sift.WhereOptimizeMethod = omSetRange;
    bool sawRange = false;
    sift.OnCancelQuery = [&](TCustomSift*, bool&) { sawRange = sawRange || b.ds.Ranged(); };
    try {
      own.SetSQL(sql);
      own.ExecSQL();
      sift.SetSQL(sql);
      sift.ExecSQL();
    } catch (const Exception& e) {
      FAIL() << sql << ": " << e.Message();
    }
    EXPECT_EQ(sift.RowsAffected, own.RowsAffected) << sql;
    ranged += sawRange;
    changed += own.RowsAffected > 0;
    TSift readA, readB;
    readA.AddDataSet(&a.ds, "t");
    readB.AddDataSet(&b.ds, "t");
    const std::string all = "select id, name, kw, nd from t order by id";
    EXPECT_EQ(RunSql(readB, all).rows, RunSql(readA, all).rows) << sql;
    ASSERT_FALSE(b.ds.Ranged()) << sql;
    sawRange = false;
    std::vector<std::string> got = RunSql(sift, after).rows, expected = RunSql(readA, after).rows;
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << sql << "; then " << after;
  }
  // The range road was walked, and records were moved on it.
  EXPECT_GT(ranged, statements / 3);
  EXPECT_GT(changed, statements / 3);
}

// A tag on every field type (text, numbers with decimals and signs, dates
// with blanks, logicals) in every index kind, and conditions with literals
// of the field's own type and of the others: a range or an ORDER BY taken
// from a tag gives the rows and the order the query gives by itself, also
// with TOP and in UPDATE and DELETE.
struct TTypedTable {
  TempDir dir{"dirlook-roads-typed"};
  TCorvidDataSet ds;
  TTypedTable(uint32_t seed, const std::string& kind) {
    std::mt19937 rng(seed);
    const char* const names[] = {"", "abc", "Abc", "5", "100", "12", "-3", "01.01.", "z"};
    const char* const nums[] = {"", "0", "-3.5", "12", "100", "-0.25", "5", "9999.99", "-12", "0.01"};
    const char* const dates[] = {"", "19840229", "20240101", "19000101", "19991231", "20000101", ""};
    const char* const logic[] = {" ", "T", "F", "?", "t", "Y", "N"};
    std::vector<std::vector<std::string>> rows;
    for (int i = 1; i <= 48; ++i)
      rows.push_back({std::to_string(i), names[rng() % 9], nums[rng() % 10], dates[rng() % 7], logic[rng() % 7]});
    MakeTable(dir / "t.dbf", "3",
              {{"ID", "N", 4, 0}, {"NAME", "C", 6, 0}, {"NM", "N", 8, 2}, {"DT", "D", 8, 0}, {"FL", "L", 1, 0}}, rows);
    Place(ds, dir, "t.dbf");
    ds.Open();
    for (const char* f : {"NAME", "NM", "DT", "FL", "ID"}) {
      if (kind == "ntx" || kind == "ndx") {
        ds.IndexOn(std::string(f) + "." + kind, "", f, "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
      } else {
        const bool general = kind == "general";
        ds.IndexOn(general ? "t.cdx" : "t." + kind, f, f, "", CVsetIndexUnique::Duplicates,
                   general ? CVsetSortStatus::AscendingGeneral : CVsetSortStatus::Ascending);
      }
    }
    ds.SetIndexName("");
  }
};

class SiftRoadsOverTypedTags : public ::testing::TestWithParam<const char*> {};

TEST_P(SiftRoadsOverTypedTags, RangesAndOrderGiveTheQuerysOwnRows) {
  const std::string kind = GetParam();
  std::mt19937 rng(20261208);
  TTypedTable t(99, kind);
  TSift own;
  own.AddDataSet(&t.ds, "t");
  TCorvidSift sift;
  sift.AddDataSet(&t.ds, "t");
  sift.Loaded();
  bool sawRange = false, sawTag = false;
  sift.OnCancelQuery = [&](TCustomSift*, bool&) {
    sawRange = sawRange || t.ds.Ranged();
    sawTag = sawTag || !t.ds.IndexCurrent().empty();
  };
  const char* const fields[] = {"name", "nm", "dt", "fl", "id"};
  const std::vector<std::string> literals = {"'abc'",
                                             "'5'",
                                             "'-3.5'",
                                             "'01.01.2024'",
                                             "'29.02.1984'",
                                             "'100'",
                                             "'12'",
                                             "'50'",
                                             "'-1'",
                                             "'T'",
                                             "0",
                                             "5",
                                             "-3.5",
                                             "12",
                                             "100",
                                             "-1",
                                             "50",
                                             "0.01",
                                             "9999.99",
                                             "30741",
                                             "45292",
                                             "123456",
                                             "-99999",
                                             "#29.02.1984#",
                                             "#01.01.2024#",
                                             "#01.01.1900#",
                                             "#31.12.1999#",
                                             "True",
                                             "False"};
  auto lit = [&] { return literals[rng() % literals.size()]; };
  const char* const ops[] = {"=", "<>", "<", ">", "<=", ">="};
  int compared = 0, dateRanges = 0, ranged = 0, ordered = 0;
  const int statements = 240 / kScale;
  for (int n = 0; n < statements; ++n) {
    const std::string f = fields[rng() % 5];
    std::string where;
    switch (rng() % 3) {
      case 0: where = f + " " + ops[rng() % 6] + " " + lit(); break;
      case 1: where = lit() + " " + ops[rng() % 6] + " " + f; break;
      default: where = f + " between " + lit() + " and " + lit(); break;
    }
    std::string sql;
    switch (n % 4) {
      case 0: sql = "select id from t where " + where; break;
      case 1: sql = "select id, " + f + " from t where " + where + " order by " + f + ", id"; break;
      case 2: sql = "select id, " + f + " from t order by " + f; break;
      default: sql = "select top " + std::to_string(1 + rng() % 12) + " id, " + f + " from t order by " + f; break;
    }
    const TRun expected = RunSql(own, sql);
    for (TOptimizeMethod m : {omNone, omSetFilter, omSetRange}) {
      sift.WhereOptimizeMethod = m;
      sawRange = sawTag = false;
      const TRun got = RunSql(sift, sql);
      if (!expected.error.empty()) {
        EXPECT_NE(got.error, "") << sql;
        continue;
      }
      ASSERT_EQ(got.error, "") << sql << " method " << int(m);
      if (n % 4 == 0) {
        std::vector<std::string> a = got.rows, b = expected.rows;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << sql << " method " << int(m);
      } else {
        EXPECT_EQ(got.rows, expected.rows) << sql << " method " << int(m);
      }
      ++compared;
      ranged += sawRange;
      dateRanges += sawRange && f == "dt";
      ordered += sawTag && n % 4 >= 2;
    }
    ASSERT_FALSE(t.ds.Ranged()) << sql;
    ASSERT_EQ(t.ds.IndexCurrent(), "") << sql;
  }
  EXPECT_GT(compared, statements);
  EXPECT_GT(ranged, 0);
  EXPECT_GT(ordered, 0);
  // Date keys serve ranges where the tag's own key rules take the bound.
  if (kind == "ntx" || kind == "cdx") {
    EXPECT_GT(dateRanges, 0);
  }
  std::printf("%s: %d compared, %d ranges (%d on dates), %d ORDER BY from a tag\n", kind.c_str(), compared, ranged,
              dateRanges, ordered);

  // UPDATE and DELETE through every road change what the query changes.
  for (int n = 0; n < 20 / kScale; ++n) {
    const std::string f = fields[rng() % 4];
    const std::string where =
        n % 3 == 2 ? f + " between " + lit() + " and " + lit() : f + " " + ops[rng() % 6] + " " + lit();
    const std::string sql =
        n % 4 == 0 ? "delete from t where " + where : "update t set id = id + 1000, nm = nm + 3 where " + where;
    TTypedTable a(static_cast<uint32_t>(n), kind), b(static_cast<uint32_t>(n), kind);
    TSift plain;
    plain.AddDataSet(&a.ds, "t");
    TCorvidSift bound;
    bound.AddDataSet(&b.ds, "t");
    bound.Loaded();
    bound.WhereOptimizeMethod = n % 2 ? omSetRange : omSetFilter;
    std::string errA, errB;
    try {
      plain.SetSQL(sql);
      plain.ExecSQL();
    } catch (const Exception& e) {
      errA = e.Message();
    }
    try {
      bound.SetSQL(sql);
      bound.ExecSQL();
    } catch (const Exception& e) {
      errB = e.Message();
    }
    EXPECT_EQ(errB.empty(), errA.empty()) << sql << ": " << errA << " / " << errB;
    if (!errA.empty()) continue;
    EXPECT_EQ(bound.RowsAffected, plain.RowsAffected) << sql;
    TSift readA, readB;
    readA.AddDataSet(&a.ds, "t");
    readB.AddDataSet(&b.ds, "t");
    const std::string all = "select id, name, nm, dt, fl from t order by id";
    EXPECT_EQ(RunSql(readB, all).rows, RunSql(readA, all).rows) << sql;
  }
}

INSTANTIATE_TEST_SUITE_P(Tags, SiftRoadsOverTypedTags, ::testing::Values("ntx", "ndx", "mdx", "cdx", "general"));

#if DIRLOOK_HAVE_SQLITE
// The same rows in SQLite as the query sees them: UTF-8 text without
// trailing blanks, NULL for a blank field; LIKE case-sensitive.
class TSqliteTable {
public:
  explicit TSqliteTable(const std::vector<std::vector<std::string>>& rows) {
    sqlite3_open(":memory:", &db_);
    Exec("pragma case_sensitive_like = on");
    Exec("create table phones (tel text, fm text, ul text, nd text, kw text)");
    for (const auto& r : rows) {
      std::string sql = "insert into phones values (";
      for (size_t i = 0; i < r.size(); ++i) {
        std::string v = r[i];
        while (!v.empty() && v.back() == ' ') v.pop_back();
        sql += (i ? ", " : "") + (v.empty() ? std::string("NULL") : Quoted(Cp1251ToUtf8(v)));
      }
      Exec(sql + ")");
    }
  }
  ~TSqliteTable() { sqlite3_close(db_); }
  std::vector<std::string> Rows(const std::string& utf8) {
    std::vector<std::string> out;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, utf8.c_str(), -1, &st, nullptr), SQLITE_OK) << utf8 << sqlite3_errmsg(db_);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* v = sqlite3_column_text(st, i);
        row += (i ? "|" : "") + (v ? std::string(reinterpret_cast<const char*>(v)) : std::string("NULL"));
      }
      out.push_back(row);
    }
    sqlite3_finalize(st);
    std::sort(out.begin(), out.end());
    return out;
  }

private:
  sqlite3* db_ = nullptr;
  void Exec(const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
};
#endif

// The window's search over random field values: the statement the search
// builder writes gives, through the binding as the window sets it up, the
// rows the query gives with no binding, and the rows SQLite gives.
TEST(SiftRoads, TheWindowsSearchGivesTheSameRowsOnEveryRoad) {
  std::mt19937 rng(7122026);
  TRoadsTable t(rng);
  TempDir dir{"dirlook-roads-phones"};
  const std::vector<std::string> values = {"",    "5",  "12",       "12 ",      " ",   "*",   "?",
                                           "1*",  "1?", "1",        "288",      "abc", "Abc", "a*",
                                           " 12", "5 ", Cp("Мира"), Cp("мира"), "2'",  "a\"", "'"};
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 80; ++i)
    rows.push_back({std::to_string(1000 + i), values[rng() % values.size()], values[rng() % values.size()],
                    std::to_string(rng() % 3 * 5), values[rng() % values.size()].substr(0, 4)});
  MakeTable(dir / "phones.dbf", "3",
            {{"TEL", "C", 7, 0}, {"FM", "C", 20, 0}, {"UL", "C", 12, 0}, {"ND", "C", 4, 0}, {"KW", "C", 4, 0}}, rows);
  TCorvidDataSet ds;
  Place(ds, dir, "phones.dbf");
  ds.Open();
  ds.SetFilterOptions(foCaseInsensitive);
  TSift own;
  own.AddDataSet(&ds, "phones");
  TCorvidSift sift;
  sift.AddDataSet(&ds, "phones");
  sift.Loaded();
  sift.WhereOptimizeMethod = omSetFilter;
#if DIRLOOK_HAVE_SQLITE
  TSqliteTable sqlite(rows);
#else
  std::printf("SQLite is not built in: the window's search is compared with the query alone\n");
#endif
  std::vector<std::string> fieldValues = values;
  fieldValues.push_back("0");
  fieldValues.push_back("10");
  for (const char* pattern : {"%2%", "1_", "12%", "_2", "%a", "1 %"}) fieldValues.push_back(pattern);
  int found = 0, filtered = 0;
  bool sawFilter = false;
  sift.OnCancelQuery = [&](TCustomSift*, bool&) { sawFilter = sawFilter || ds.Filtered(); };
  const int searches = 300 / kScale;
  for (int n = 0; n < searches; ++n) {
    TSearchFields f;
    auto any = [&]() { return rng() % 2 ? std::string() : fieldValues[rng() % fieldValues.size()]; };
    f.Tel = rng() % 4 ? std::string() : any();
    f.Fm = rng() % 4 ? std::string() : any();
    f.Ul = rng() % 4 ? std::string() : any();
    f.Nd = any();
    f.Kw = any();
    const std::string sql = BuildSearchText(f);
    if (sql.empty()) continue;
    sawFilter = false;
    TRun expected = RunSql(own, sql), got = RunSql(sift, sql);
    filtered += sawFilter;
    ASSERT_EQ(expected.error, "") << sql;
    ASSERT_EQ(got.error, "") << sql;
    std::sort(expected.rows.begin(), expected.rows.end());
    std::sort(got.rows.begin(), got.rows.end());
    EXPECT_EQ(got.rows, expected.rows) << sql;
#if DIRLOOK_HAVE_SQLITE
    std::vector<std::string> utf8;
    for (const std::string& r : got.rows) utf8.push_back(Cp1251ToUtf8(r));
    std::sort(utf8.begin(), utf8.end());
    EXPECT_EQ(utf8, sqlite.Rows(Cp1251ToUtf8(sql))) << sql;
#endif
    found += !expected.rows.empty();
  }
  EXPECT_GT(found, searches / 30);
  // House and flat alone keep the fast road.
  EXPECT_GT(filtered, searches / 30);
}

}  // namespace
