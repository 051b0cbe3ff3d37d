// A failed sync under the SQL statements: INSERT, UPDATE, DELETE, INSERT ...
// SELECT and SELECT ... INTO run through the window's query binding over DBF
// datasets with two tags of each index kind, and the datasets are closed, with
// a failure injected at every sync in turn (the n-th sync fails with EIO).
// Whatever the statement or the close did, the caller must hear of it: an
// error naming the file and the system's reason, from the statement or from
// the dataset's close.  An index whose own sync failed keeps its mark, and
// the next open finds every tag of both tables holding exactly the records'
// keys.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "data_list.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace {

struct Kind {
  const char* name;
  const char* table;  // the tables' kind
  // Index files of c and of u: NAME's tag N and FM's tag F.
  std::vector<std::string> c, u;
  bool multi;
};

const Kind kKinds[] = {
    {"ntx", "3", {"nc.ntx", "fc.ntx"}, {"nu.ntx", "fu.ntx"}, false},
    {"ndx", "3", {"nc.ndx", "fc.ndx"}, {"nu.ndx", "fu.ndx"}, false},
    {"mdx", "4", {"c.mdx"}, {"u.mdx"}, true},
    {"cdx", "F", {"c.cdx"}, {"u.cdx"}, true},
};

struct Statement {
  const char* name;
  const char* sql;
  bool select;  // run by Open, as a SELECT is
};

const Statement kStatements[] = {
    {"insert", "insert into c (name, fm) values ('ZED', 12.5)", false},
    {"update", "update c set name = 'UPD', fm = fm + 1000 where fm < 150", false},
    {"delete", "delete from c where fm < 150", false},
    {"insert_select", "insert into c (name, fm) (select name, fm from u)", false},
    {"select_into", "select name, fm from c where fm < 150 into u for append", true},
};

struct SyncGuard {
  SyncGuard() = default;
  SyncGuard(const SyncGuard&) = delete;
  SyncGuard& operator=(const SyncGuard&) = delete;
  ~SyncGuard() { cvSetSyncFailCountdown(0); }
};

std::string List(const std::vector<std::string>& files) {
  std::string s;
  for (const auto& f : files) s += (s.empty() ? "" : ",") + f;
  return s;
}

class StatementSyncFail : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
  const Kind& K() const { return kKinds[std::get<0>(GetParam())]; }
  const Statement& S() const { return kStatements[std::get<1>(GetParam())]; }

  void SetUp() override {
    std::mt19937 rng(4711);
    for (const char* table : {"c", "u"}) {
      std::vector<mtest::Row> rows;
      for (int i = 0; i < (table[0] == 'c' ? 200 : 12); ++i) {
        std::string name;
        for (int k = 0; k < 1 + static_cast<int>(rng() % 8); ++k) name += static_cast<char>('A' + rng() % 26);
        rows.push_back({name, static_cast<double>(rng() % 100000) / 100, "", false});
      }
      mtest::MakeTable(pristine_, std::string(table) + ".dbf", K().table, rows);
      const std::vector<std::string>& files = table[0] == 'c' ? K().c : K().u;
      CVO_dBHandler h(pristine_ / (std::string(table) + ".dbf"), "", true, false);
      ASSERT_EQ(h.cvIndexTo(files[0], K().multi ? "N" : "", "NAME", "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending),
                0);
      ASSERT_EQ(h.cvIndexTo(files[K().multi ? 0 : 1], K().multi ? "F" : "", "FM", "", CVsetIndexUnique::Duplicates,
                            CVsetSortStatus::Ascending),
                0);
      h.cvCloseTable();
    }
  }

  void Restore() {
    std::filesystem::remove_all(work_.path());
    std::filesystem::create_directory(work_.path());
    for (const auto& e : std::filesystem::directory_iterator(pristine_.path()))
      std::filesystem::copy_file(e.path(), work_ / e.path().filename().string());
  }

  // The statement and the close of both datasets with the n-th sync
  // failing; the first error the caller heard ("" for none).  `pending`:
  // the n-th sync never came.
  std::string RunFailingAt(int64_t n, bool& pending) {
    std::string error;
    {
      TCorvidDataSet c, u;
      for (TCorvidDataSet* ds : {&c, &u}) {
        const bool isC = ds == &c;
        Place(*ds, work_, isC ? "c.dbf" : "u.dbf");
        for (const auto& f : isC ? K().c : K().u) ds->IndexFiles().Add(f);
        ds->Open();
      }
      {
        TCorvidSift sift;
        sift.AddDataSet(&c, "c");
        sift.AddDataSet(&u, "u");
        sift.Loaded();
        cvSetSyncFailCountdown(n);
        try {
          sift.SetSQL(S().sql);
          if (S().select) {
            sift.Open();
            sift.Close();
          } else {
            sift.ExecSQL();
          }
        } catch (const Exception& e) {
          error = e.Message();
        }
      }
      for (TCorvidDataSet* ds : {&c, &u}) {
        try {
          ds->Close();
        } catch (const Exception& e) {
          if (error.empty()) error = e.Message();
        }
      }
    }
    // Still armed until here: a sync left to a destructor would be one
    // whose failure nobody hears.
    pending = cvSyncFailPending();
    cvSetSyncFailCountdown(0);
    return error;
  }

  TempDir pristine_, work_;
};

TEST_P(StatementSyncFail, EveryFailedSyncReachesTheCallerAndTheNextOpenRebuilds) {
  SyncGuard disarm;
  int failures = 0, unreported = 0, unmarked = 0;
  for (int64_t n = 1;; ++n) {
    ASSERT_LT(n, 100) << "the statement never ran without its failure";
    SCOPED_TRACE("sync " + std::to_string(n));
    Restore();
    bool pending = false;
    const std::string error = RunFailingAt(n, pending);
    if (pending) {
      EXPECT_EQ(error, "");
      break;
    }
    ++failures;
    if (error.empty()) {
      ++unreported;
      ADD_FAILURE() << "a failed sync was reported as success";
    } else {
      EXPECT_NE(error.find(work_.path()), std::string::npos) << error;
      EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    }
    std::vector<std::string> all = K().c;
    all.insert(all.end(), K().u.begin(), K().u.end());
    for (const auto& f : all) {
      const std::string path = work_ / f;
      const size_t at = error.find(path);
      if (at == std::string::npos || error.compare(at + path.size(), 9, "-changing") == 0) continue;
      if (cvIndexMark::Inspect(path) != cvIndexMark::Finding::Dead) {
        ++unmarked;
        ADD_FAILURE() << f << " lost its mark after its sync failed: " << error;
      }
    }
    for (const char* table : {"c", "u"}) {
      SCOPED_TRACE(table);
      const std::vector<std::string>& files = table[0] == 'c' ? K().c : K().u;
      // An NTX or NDX tag is named after its file.
      const std::string own = K().multi ? "" : UpperCase(table);
      const std::vector<std::string> tags = {"N" + own, "F" + own};
      {
        CVO_dBHandler h(work_ / (std::string(table) + ".dbf"), "", true, false);
        ASSERT_EQ(h.cvIndex(List(files), tags[0]), 0);
        h.cvCloseTable();
      }
      for (const auto& f : files)
        EXPECT_EQ(cvIndexMark::Inspect(work_ / f), cvIndexMark::Finding::None) << f << " still marked after an open";
      CVO_dBHandler h(work_ / (std::string(table) + ".dbf"), "", false, true);
      h.kvSetTranslateAscii(false);
      ASSERT_EQ(h.cvIndex(List(files), tags[0]), 0);
      mtest::ExpectTagsMatchRecords(h, tags, table[0] == 'c' ? 200 : 12);
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(failures, 0);
  std::printf("[ syncs ] %s %s: %d failed syncs, %d reported as success, %d indexes left unmarked\n", K().name,
              S().name, failures, unreported, unmarked);
}

// The data list closes every table, whatever one of them raises: a table
// left open would be closed by a destructor, where its failure is heard by
// nobody.
TEST(DataListSyncFail, ClosingTheTablesClosesEveryOneAndRaisesTheFirstFailure) {
  SyncGuard disarm;
  TempDir pristine;
  for (const char* table : {"c", "u"}) {
    mtest::MakeTable(pristine, std::string(table) + ".dbf", "3", {{"ALPHA", 1.5, "", false}, {"BETA", 2.5, "", false}});
    CVO_dBHandler h(pristine / (std::string(table) + ".dbf"), "", true, false);
    ASSERT_EQ(h.cvIndexTo("n" + std::string(table) + ".ntx", "", "NAME", "", CVsetIndexUnique::Duplicates,
                          CVsetSortStatus::Ascending),
              0);
    h.cvCloseTable();
  }
  int failures = 0;
  for (int64_t n = 1;; ++n) {
    ASSERT_LT(n, 50);
    SCOPED_TRACE("sync " + std::to_string(n));
    TempDir dir;
    for (const auto& e : std::filesystem::directory_iterator(pristine.path()))
      std::filesystem::copy_file(e.path(), dir / e.path().filename().string());
    TDataList list;
    for (const char* table : {"c", "u"}) {
      TStringList index;
      index.Add("n" + std::string(table) + ".ntx");
      list.Add(dir / (std::string(table) + ".dbf"), table, index);
    }
    list.OpenDataSets();
    {
      TCorvidSift sift;
      sift.SetDataList(&list);
      for (const char* sql : {"insert into c (name, fm) values ('ZED', 1)", "insert into u (name, fm) values ('ZED', 1)"}) {
        sift.SetSQL(sql);
        sift.ExecSQL();
      }
      sift.SetDataList(nullptr);
    }
    cvSetSyncFailCountdown(n);
    std::string error;
    try {
      list.CloseDataSets();
    } catch (const Exception& e) {
      error = e.Message();
    }
    const bool pending = cvSyncFailPending();
    cvSetSyncFailCountdown(0);
    for (int i = 0; i < list.GetCount(); ++i) EXPECT_FALSE(list.GetItem(i)->DataSet()->Active()) << i;
    if (pending) break;
    ++failures;
    EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
  }
  EXPECT_GT(failures, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StatementSyncFail,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Range(0, static_cast<int>(std::size(kStatements)))),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) + "_" +
                                  kStatements[std::get<1>(info.param)].name;
                         });

}  // namespace
