// A failed sync under the dataset and the table shell: appends and edits
// posted through TCorvidDataSet or TcvDBFTable on a table with two NTX
// index files, an index file taken out of the list, and the close, with a
// failure injected at every sync in turn.  The caller hears of each (the
// file and the system's reason) from the post or from the explicit close,
// the index whose sync failed keeps its mark, and the next open finds both
// tags holding exactly the records' keys.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dataset_test_util.h"
#include "dbf_dataset/table_shell.h"
#include "dbf_engine/index/index_mark.h"
#include "dbf_engine/maintenance_test_util.h"
#include "dbf_engine/table/disk_file.h"
#include "platform/exceptions.h"

namespace {

const std::vector<std::string> kFiles = {"n.ntx", "f.ntx"};

struct Case {
  const char* name;
  // Works on the table `path` and closes it explicitly.
  std::function<void(const TempDir& dir)> run;
};

void DataSetPosts(const TempDir& dir, bool edit) {
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  for (const auto& f : kFiles) ds.IndexFiles().Add(f);
  ds.Open();
  ds.First();
  for (int i = 0; i < 3; ++i) {
    if (edit) {
      ds.Edit();
    } else {
      ds.Append();
    }
    ds.FieldByName("NAME")->SetAsString("POSTED" + std::to_string(i));
    ds.FieldByName("FM")->SetAsFloat(10.5 + i);
    ds.Post();
    ds.Next();
  }
  ds.Close();
}

void ShellAppends(const TempDir& dir, bool removeOne) {
  TcvDBFTable t(dir / "t.dbf", "", true, false);
  t.QueryHandler()->kvSetTranslateAscii(false);
  ASSERT_EQ(t.Index("n.ntx,f.ntx", "N"), 0);
  for (int i = 0; i < 3; ++i) {
    t.Append();
    t.StringPut("NAME", "SHELL" + std::to_string(i));
    t.FieldPut("FM", std::to_string(20 + i));
    t.Post();
  }
  if (removeOne) t.IndexFileRemove("n.ntx");
  t.SetActive(false);
}

const Case kCases[] = {
    {"dataset_append", [](const TempDir& d) { DataSetPosts(d, false); }},
    {"dataset_edit", [](const TempDir& d) { DataSetPosts(d, true); }},
    {"shell_append", [](const TempDir& d) { ShellAppends(d, false); }},
    {"shell_index_file_remove", [](const TempDir& d) { ShellAppends(d, true); }},
};

class DataSetSyncFail : public ::testing::TestWithParam<int> {};

TEST_P(DataSetSyncFail, EveryFailedSyncIsRaisedAndTheNextOpenRebuilds) {
  struct Disarm {
    ~Disarm() { cvSetSyncFailCountdown(0); }
  } disarm;
  TempDir pristine;
  {
    std::mt19937 rng(99);
    std::vector<mtest::Row> rows;
    for (int i = 0; i < 200; ++i)
      rows.push_back({"R" + std::to_string(rng() % 100000), static_cast<double>(rng() % 100000) / 100, "", false});
    mtest::MakeTable(pristine, "t.dbf", "3", rows);
    CVO_dBHandler h(pristine / "t.dbf", "", true, false);
    ASSERT_EQ(h.cvIndexTo("n.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    ASSERT_EQ(h.cvIndexTo("f.ntx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    h.cvCloseTable();
  }
  int failures = 0;
  for (int64_t n = 1;; ++n) {
    ASSERT_LT(n, 100);
    SCOPED_TRACE("sync " + std::to_string(n));
    TempDir dir;
    for (const auto& e : std::filesystem::directory_iterator(pristine.path()))
      std::filesystem::copy_file(e.path(), dir / e.path().filename().string());
    std::string error;
    cvSetSyncFailCountdown(n);
    try {
      kCases[GetParam()].run(dir);
    } catch (const Exception& e) {
      error = e.Message();
    }
    const bool pending = cvSyncFailPending();
    cvSetSyncFailCountdown(0);
    if (HasFatalFailure()) return;
    if (pending) {
      EXPECT_EQ(error, "");
      break;
    }
    ++failures;
    EXPECT_NE(error.find(dir.path()), std::string::npos) << "reported as success: " << error;
    EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    for (const auto& f : kFiles) {
      const std::string path = dir / f;
      const size_t at = error.find(path);
      if (at == std::string::npos || error.compare(at + path.size(), 9, "-changing") == 0) continue;
      EXPECT_EQ(cvIndexMark::Inspect(path), cvIndexMark::Finding::Dead) << f << " lost its mark: " << error;
    }
    {
      CVO_dBHandler h(dir / "t.dbf", "", true, false);
      ASSERT_EQ(h.cvIndex("n.ntx,f.ntx", "N"), 0);
      h.cvCloseTable();
    }
    CVO_dBHandler h(dir / "t.dbf", "", false, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex("n.ntx,f.ntx", "N"), 0);
    mtest::ExpectTagsMatchRecords(h, {"N", "F"}, 200);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(failures, 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, DataSetSyncFail, ::testing::Range(0, static_cast<int>(std::size(kCases))),
                         [](const auto& info) { return std::string(kCases[info.param].name); });

}  // namespace
