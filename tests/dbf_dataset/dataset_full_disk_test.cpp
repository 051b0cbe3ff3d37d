// A post that fails on a full disk: failing at each of its writes in turn
// (memo, record, header, the keys of two index files), an insert or an edit
// leaves the table, the memo file and both index files byte for byte as
// before, raises, and stays pending; posted again with room on the disk it
// lands whole, memo included.

#include <map>

#include "dataset_test_util.h"
#include "common/full_disk.h"
#include "dbf_engine/table/disk_file.h"

namespace {

// Posts the dataset's pending change, failing at write 1, 2, ... until a
// post goes through; every failed post must leave the files as they were.
// Returns the number of failed posts.
int PostFailingAtEveryWrite(TCorvidDataSet& ds, const TempDir& dir) {
  int failures = 0;
  for (int64_t k = 1; k < 200; ++k) {
    const auto before = Snapshot(dir);
    const TDataSetState state = ds.State();
    cvSetWriteFailCountdown(k);
    bool failed = false;
    try {
      ds.Post();
    } catch (const Exception&) {
      failed = true;
    }
    const bool filled = cvDiskFull;
    cvSetWriteFailCountdown(0);
    if (!failed) {
      EXPECT_FALSE(filled) << "a failed write went unreported at write " << k;
      return failures;
    }
    ++failures;
    EXPECT_EQ(Differing(Snapshot(dir), before), "") << "post failed at write " << k;
    EXPECT_EQ(ds.State(), state);
  }
  ADD_FAILURE() << "the post never went through";
  return failures;
}

TEST(DataSetFullDisk, InsertAndEditWithMemoAndTwoIndexFilesAreWholeOrNothing) {
  WriteFailGuard disarm;
  TempDir dir;
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 200; ++i) rows.push_back({std::to_string(i), "Name" + std::to_string(i * 7919 % 200), ""});
  MakeTable(dir / "t.dbf", "4", {{"ID", "N", 4, 0}, {"FM", "C", 20, 0}, {"NOTE", "M", 10, 0}}, rows);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  ds.IndexOn("byfm.ntx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  ds.IndexOn("byid.ndx", "", "ID", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);

  // A first memo opens the memo file, which pads its short dBase IV header
  // to a whole block once, outside any record's write.
  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("NOTE")->SetAsString("first");
  ds.Post();

  ds.Append();
  ds.FieldByName("ID")->SetAsInteger(500);
  ds.FieldByName("FM")->SetAsString("Name050");
  ds.FieldByName("NOTE")->SetAsString(std::string(1500, 'm'));
  EXPECT_GT(PostFailingAtEveryWrite(ds, dir), 4);
  EXPECT_EQ(ds.RecordCount(), 201);

  ds.SetIndexName("byid");
  ds.First();
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("Name150x");
  ds.FieldByName("NOTE")->SetAsString(std::string(900, 'e'));
  EXPECT_GT(PostFailingAtEveryWrite(ds, dir), 3);
  ds.Close();

  // Both orders hold every record once, and the memos are the posted ones.
  CVO_dBHandler h(dir / "t.dbf", "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvRecordCount(), 201);
  h.cvGetRec(201);
  EXPECT_EQ(h.cvStringGet("NOTE"), std::string(1500, 'm'));
  h.cvGetRec(1);
  EXPECT_EQ(h.cvStringGet("NOTE"), std::string(900, 'e'));
  EXPECT_EQ(h.cvStringGet("FM").substr(0, 8), "Name150x");
  ASSERT_EQ(h.cvIndex("byfm.ntx;byid.ndx", "byfm"), 0);
  for (const char* tag : {"byfm", "byid"}) {
    h.cvSetTagTo(tag, false);
    std::vector<bool> seen(202, false);
    int n = 0;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && n <= 202; h.cvSkip(1), ++n) {
      const int32_t r = h.cvCurrentRecord();
      ASSERT_TRUE(r >= 1 && r <= 201 && !seen[static_cast<size_t>(r)]) << tag << " " << r;
      seen[static_cast<size_t>(r)] = true;
    }
    EXPECT_EQ(n, 201) << tag;
  }
}

}  // namespace
