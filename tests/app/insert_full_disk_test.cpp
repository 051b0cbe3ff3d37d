// INSERT on a full disk, through the window's query binding over a DBF
// table with two NTX tags: an INSERT whose write fails at any of its
// writes raises "Error writing to ...", reports no row and leaves every
// file as it was; an INSERT ... SELECT that fails part-way reports exactly
// the rows the table gained, and both tags hold exactly the table's rows.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "common/full_disk.h"
#include "dbf_engine/table/disk_file.h"

namespace {

struct Tables {
  explicit Tables(const TempDir& dir) {
    std::vector<std::vector<std::string>> rows, more;
    for (int i = 1; i <= 300; ++i) rows.push_back({std::to_string(i * 37 % 1000), "Name" + std::to_string(i)});
    for (int i = 1; i <= 12; ++i) more.push_back({std::to_string(2000 + i), "More" + std::to_string(i)});
    MakeTable(dir / "c.dbf", "3", {{"ID", "N", 6, 0}, {"NAME", "C", 30, 0}}, rows);
    MakeTable(dir / "u.dbf", "3", {{"ID", "N", 6, 0}, {"NAME", "C", 30, 0}}, more);
    for (auto* ds : {&c, &u}) {
      Place(*ds, dir, ds == &c ? "c.dbf" : "u.dbf");
      ds->Open();
    }
    c.IndexOn(dir / "c_id.ntx", "", "ID", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    c.IndexOn(dir / "c_nm.ntx", "", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    sift.AddDataSet(&c, "c");
    sift.AddDataSet(&u, "u");
    sift.Loaded();
  }
  // Runs one statement; the error text, empty when it went through.
  std::string Exec(const std::string& sql) {
    try {
      sift.SetSQL(sql);
      sift.ExecSQL();
    } catch (const Exception& e) {
      return e.Message();
    }
    return std::string();
  }
  TCorvidDataSet c, u;
  TCorvidSift sift;
};

// Every tag of c holds each of its records once.
void CheckTags(const TempDir& dir, int32_t count) {
  CVO_dBHandler h(dir / "c.dbf", "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvRecordCount(), count);
  ASSERT_EQ(h.cvIndex("c_id.ntx;c_nm.ntx", "c_id"), 0);
  for (const char* tag : {"c_id", "c_nm"}) {
    h.cvSetTagTo(tag, false);
    std::vector<bool> seen(static_cast<size_t>(count) + 1, false);
    int32_t n = 0;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && n <= count; h.cvSkip(1), ++n) {
      const int32_t r = h.cvCurrentRecord();
      ASSERT_TRUE(r >= 1 && r <= count && !seen[static_cast<size_t>(r)]) << tag << " " << r;
      seen[static_cast<size_t>(r)] = true;
    }
    EXPECT_EQ(n, count) << tag;
  }
}

TEST(InsertFullDisk, AFailedInsertReportsNoRowAndLeavesEveryFileAsBefore) {
  WriteFailGuard disarm;
  TempDir dir;
  int failures = 0;
  {
    Tables t(dir);
    for (int64_t k = 1;; ++k) {
      ASSERT_LT(k, 100) << "the insert never goes through";
      const auto before = Snapshot(dir);
      cvSetWriteFailCountdown(k);
      const std::string error = t.Exec("insert into c (id, name) values (777, 'Zed')");
      cvSetWriteFailCountdown(0);
      if (error.empty()) {
        EXPECT_EQ(t.sift.RowsAffected, 1);
        break;
      }
      ++failures;
      EXPECT_NE(error.find("Error writing to"), std::string::npos) << error;
      EXPECT_EQ(t.sift.RowsAffected, 0);
      EXPECT_EQ(Differing(Snapshot(dir), before), "") << "failed at write " << k;
    }
    t.c.Close();
  }
  EXPECT_GT(failures, 4);
  CheckTags(dir, 301);
}

TEST(InsertFullDisk, AnInsertSelectFailingPartWayReportsTheRowsTheTableGained) {
  WriteFailGuard disarm;
  TempDir dir;
  int32_t count = 300;
  {
    Tables t(dir);
    // Failing later and later: at some point every one of the 12 rows lands.
    for (int64_t k = 1; k < 400; k += 7) {
      cvSetWriteFailCountdown(k);
      const std::string error = t.Exec("insert into c (id, name) (select id, name from u)");
      cvSetWriteFailCountdown(0);
      const int32_t now = t.c.RecordCount();
      EXPECT_EQ(now - count, t.sift.RowsAffected) << "failing at write " << k << ": " << error;
      count = now;
      if (error.empty()) {
        EXPECT_EQ(t.sift.RowsAffected, 12);
        break;
      }
    }
    t.c.Close();
  }
  CheckTags(dir, count);
}

}  // namespace
