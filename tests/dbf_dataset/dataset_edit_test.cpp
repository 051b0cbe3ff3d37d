// Editing, posting, deleting and recalling, with the record locks other
// handles of the same file see.
#include <cstring>
#include <random>

#include "dataset_test_util.h"

namespace {

std::string Disk(const TempDir& dir, int recno, const std::string& field) {
  CVO_dBHandler h(dir / "t.dbf", "", false, true);
  h.kvSetTranslateAscii(false);
  h.cvGetRec(recno);
  return h.cvStringGet(field);
}

class Edit : public ::testing::Test {
protected:
  void SetUp() override {
    MakePhones(dir / "t.dbf", 6);
    Place(ds, dir, "t.dbf");
    ds.Open();
  }
  TempDir dir;
  TCorvidDataSet ds;
};

TEST_F(Edit, AppendEditPostAndCancel) {
  ds.Append();
  ds.FieldByName("TEL")->SetAsString("2000");
  ds.FieldByName("ND")->SetAsInteger(77);
  ds.Post();
  EXPECT_EQ(ds.RecNo(), 7);
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "2000");
  std::vector<uint8_t> bytes = ReadAll(dir / "t.dbf");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_NE(bytes[bytes.size() - 2], 0x1A);
  const uint32_t header = bytes[8] | (bytes[9] << 8), reclen = bytes[10] | (bytes[11] << 8);
  EXPECT_EQ(bytes.size(), header + 7 * reclen + 1);
  EXPECT_EQ(Disk(dir, 7, "ND"), "77");

  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("Changed");
  ds.Post();
  EXPECT_EQ(Disk(dir, 2, "FM"), "Changed");
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("Dropped");
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("FM")->AsString(), "Changed");
  EXPECT_EQ(Disk(dir, 2, "FM"), "Changed");
  // A cancelled insert writes nothing.
  ds.Insert();
  ds.FieldByName("TEL")->SetAsString("3000");
  ds.Cancel();
  EXPECT_EQ(ds.RecordCount(), 7);
}

TEST_F(Edit, PostWritesTheRecordOfTheActiveBufferNotWhereNavigationLeftTheHandler) {
  TDataSource source;
  source.SetDataSet(&ds);
  TBufferLink link(5);
  link.SetDataSource(&source);
  ds.First();
  ds.Next();  // record 2; the ring reads ahead to record 5
  ds.Edit();
  ds.FieldByName("UL")->SetAsString("Here");
  ds.Post();
  EXPECT_EQ(Disk(dir, 2, "UL"), "Here");
  EXPECT_EQ(Disk(dir, 5, "UL"), "Street2");
  link.SetDataSource(nullptr);
}

TEST_F(Edit, ARecordLockedElsewhereRefusesTheEditAndNavigationGoesOn) {
  CVO_dBHandler other(dir / "t.dbf", "", true, true);
  other.cvGetRec(3);
  ASSERT_TRUE(other.cvRLock());
  ds.SetRecNo(3);
  try {
    ds.Edit();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record is locked by another user");
  }
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_THROW(ds.Delete(), EDatabaseError);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1004");
  ds.Prior();
  other.cvUnLock();
  ds.Edit();
  ds.FieldByName("KW")->SetAsString("x");
  // While this edit holds the record, the other handle cannot lock it.
  EXPECT_FALSE(other.cvRLock());
  ds.Post();
  EXPECT_TRUE(other.cvRLock());
  other.cvUnLock();
}

TEST_F(Edit, TwoDatasetsOnOneFileKeepEachOthersChanges) {
  TCorvidDataSet second;
  Place(second, dir, "t.dbf");
  second.Open();
  ds.SetRecNo(4);
  second.SetRecNo(4);  // both hold the record as it was
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("First");
  EXPECT_THROW(second.Edit(), EDatabaseError);
  ds.Post();
  second.Edit();  // re-reads under its lock
  EXPECT_EQ(second.FieldByName("FM")->AsString(), "First");
  second.FieldByName("UL")->SetAsString("Second");
  second.Post();
  EXPECT_EQ(Disk(dir, 4, "FM"), "First");
  EXPECT_EQ(Disk(dir, 4, "UL"), "Second");
  // Deleting writes the mark over the record as it stands now.
  ds.Delete();
  EXPECT_EQ(Disk(dir, 4, "UL"), "Second");
  second.Refresh();
  EXPECT_EQ(second.FieldByName("TEL")->AsString(), "1005");
}

TEST_F(Edit, DeleteRecallAndTheLastVisibleRecord) {
  ds.SetRecNo(2);
  ds.Delete();
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(Walk(ds, "TEL").size(), 5u);
  ds.Last();
  ds.Delete();
  EXPECT_EQ(ds.RecNo(), 5);
  ds.SetUseDeleted(true);
  ds.SetRecNo(2);
  EXPECT_TRUE(ds.IsDeleted());
  ds.Recall();
  EXPECT_FALSE(ds.IsDeleted());
  EXPECT_EQ(ReadAll(dir / "t.dbf")[ReadAll(dir / "t.dbf")[8] + 1 * (ReadAll(dir / "t.dbf")[10])], ' ');
  ds.SetUseDeleted(false);
  EXPECT_EQ(Walk(ds, "TEL"), (std::vector<std::string>{"1001", "1002", "1003", "1004", "1005"}));
}

// A delete in edit deletes the record under the edit's lock, drops the
// edit's changes and ends the edit with its lock.
TEST_F(Edit, ADeleteInEditEndsTheEditAndItsLock) {
  CVO_dBHandler other(dir / "t.dbf", "", true, true);
  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("Changed");
  ds.Delete();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(Disk(dir, 2, "FM"), "Name2");
  other.cvGetRec(2);
  EXPECT_TRUE(other.cvDelFlag());
  ASSERT_TRUE(other.cvRLock());
  other.cvUnLock();
  // This handle holds nothing either: it edits another record.
  ds.Edit();
  ds.FieldByName("KW")->SetAsString("x");
  ds.Post();
  EXPECT_EQ(Disk(dir, 3, "KW"), "x");
  other.cvGetRec(3);
  EXPECT_TRUE(other.cvRLock());
  other.cvUnLock();
}

TEST_F(Edit, InsertsKeepALockTheCallerHolds) {
  ASSERT_TRUE(ds.Handler()->cvFLock());
  ds.Append();
  ds.FieldByName("TEL")->SetAsString("4000");
  ds.Post();
  ds.AppendRecord({Variant("5000")});
  ds.Append();
  ds.Cancel();
  CVO_dBHandler other(dir / "t.dbf", "", true, true);
  EXPECT_FALSE(other.cvFLock());  // still ours
  ds.Handler()->cvLockOff();
  EXPECT_TRUE(other.cvFLock());
  other.cvLockOff();
  EXPECT_EQ(ds.RecordCount(), 8);
}

TEST_F(Edit, ReadOnlyRefusesChanges) {
  ds.Close();
  ds.SetReadOnly(true);
  ds.Open();
  EXPECT_THROW(ds.Edit(), EDatabaseError);
  EXPECT_THROW(ds.Append(), EDatabaseError);
  EXPECT_THROW(ds.Delete(), EDatabaseError);
}

}  // namespace

namespace {

TEST_F(Edit, TheEditRereadsExactlyItsRecord) {
  ds.SetRecNo(3);
  {
    // Another user changes the record after it was read.
    CVO_dBHandler other(dir / "t.dbf", "", true, true);
    other.kvSetTranslateAscii(false);
    other.cvGetRec(3);
    ASSERT_TRUE(other.cvRLock());
    other.cvStringPut("FM", "Theirs");
    other.cvPutRec(3);
    other.cvUnLock();
  }
  ds.Edit();
  // Record 3 as it stands now.
  EXPECT_EQ(ds.FieldByName("TEL")->AsString(), "1003");
  EXPECT_EQ(ds.FieldByName("FM")->AsString(), "Theirs");
  ds.FieldByName("KW")->SetAsString("k");
  ds.Post();
  EXPECT_EQ(Disk(dir, 3, "KW"), "k");
  EXPECT_EQ(Disk(dir, 4, "KW"), "4a");
}

TEST_F(Edit, ARecordAnotherUserDeletedIsNotEdited) {
  ds.SetRecNo(3);
  {
    // Another user changes and then deletes the record after it was read.
    CVO_dBHandler other(dir / "t.dbf", "", true, true);
    other.kvSetTranslateAscii(false);
    other.cvGetRec(3);
    ASSERT_TRUE(other.cvRLock());
    other.cvStringPut("FM", "Theirs");
    other.cvPutRec(3);
    other.cvDeleteRec();
    other.cvUnLock();
  }
  // Deleted records are hidden: the record is gone, and neither it nor the
  // next visible record is edited; its lock is let go.
  EXPECT_THROW(ds.Edit(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Disk(dir, 3, "KW"), "3a");
  EXPECT_EQ(Disk(dir, 4, "KW"), "4a");
  CVO_dBHandler other(dir / "t.dbf", "", true, true);
  other.cvGetRec(3);
  EXPECT_TRUE(other.cvRLock());
  other.cvUnLock();
  // With deleted records shown it is edited as it stands.
  ds.SetUseDeleted(true);
  ds.SetRecNo(3);
  ds.Edit();
  EXPECT_EQ(ds.FieldByName("FM")->AsString(), "Theirs");
  ds.FieldByName("KW")->SetAsString("k");
  ds.Post();
  EXPECT_EQ(Disk(dir, 3, "KW"), "k");
  EXPECT_EQ(Disk(dir, 4, "KW"), "4a");
}

TEST_F(Edit, AKeyIsKeptOnlyWhenTheTableTookIt) {
  // A shared table refuses a new password: the key must not be remembered,
  // or the next open would fail.
  EXPECT_THROW(ds.EncryptFile("secret"), Exception);
  EXPECT_EQ(ds.EncryptionKey(), "");
  ds.Close();
  EXPECT_NO_THROW(ds.Open());
  EXPECT_EQ(ds.RecordCount(), 6);
}

TEST_F(Edit, LongOperationsReportProgress) {
  int starts = 0, ends = 0;
  ds.OnStatus = [&](int32_t a, int32_t b, int32_t c) {
    if (a == -1) ++starts;
    if (a == 0 && b == 0 && c == 0) ++ends;
  };
  ds.IndexOn("tel.ndx", "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  EXPECT_GT(starts, 0);
  EXPECT_GT(ends, 0);
  EXPECT_EQ(ds.Activity(), aNormal);
  ds.SetIndexName("tel");
  ds.Last();
  EXPECT_EQ(ds.IndexKeyValue(1), "1006");
}

}  // namespace

namespace {

// Two datasets on one file take turns at random edits, appends, deletes and
// recalls, with edits overlapping now and then; the file must end as a
// simple model of the same operations says.
TEST(SharedWrites, RandomOperationsOfTwoDatasetsMatchAModel) {
  TempDir dir;
  MakePhones(dir / "t.dbf", 8);
  struct Row {
    std::string kw;
    bool deleted = false;
  };
  std::vector<Row> model;
  for (int i = 1; i <= 8; ++i) model.push_back({std::to_string(i) + "a"});
  TCorvidDataSet a, b;
  for (TCorvidDataSet* d : {&a, &b}) {
    Place(*d, dir, "t.dbf");
    d->SetUseDeleted(true);
    d->Open();
  }
  std::mt19937 rng(5);
  for (int step = 0; step < 300; ++step) {
    TCorvidDataSet& me = (rng() % 2) ? a : b;
    TCorvidDataSet& other = (&me == &a) ? b : a;
    const int recno = 1 + static_cast<int>(rng() % model.size());
    const std::string value = "v" + std::to_string(step);
    switch (rng() % 5) {
      case 0:
      case 1:
        me.SetRecNo(recno);
        me.Edit();
        me.FieldByName("KW")->SetAsString(value);
        if (rng() % 3 == 0) {
          other.SetRecNo(recno);
          EXPECT_THROW(other.Edit(), EDatabaseError);
        }
        if (rng() % 4 == 0) {
          me.Cancel();
        } else {
          me.Post();
          model[static_cast<size_t>(recno - 1)].kw = value;
        }
        break;
      case 2:
        me.AppendRecord({Variant("9"), Variant("New"), Variant("St"), Variant(1), Variant(value)});
        model.push_back({value});
        break;
      case 3:
        me.SetRecNo(recno);
        me.Delete();
        model[static_cast<size_t>(recno - 1)].deleted = true;
        break;
      case 4:
        me.SetRecNo(recno);
        me.Recall();
        model[static_cast<size_t>(recno - 1)].deleted = false;
        break;
    }
  }
  CVO_dBHandler check(dir / "t.dbf", "", false, true);
  check.kvSetTranslateAscii(false);
  ASSERT_EQ(check.cvRecordCount(), static_cast<int32_t>(model.size()));
  for (size_t i = 0; i < model.size(); ++i) {
    check.cvGetRec(static_cast<int32_t>(i + 1));
    EXPECT_EQ(check.cvStringGet("KW"), model[i].kw) << "record " << i + 1;
    EXPECT_EQ(check.cvDelFlag(), model[i].deleted) << "record " << i + 1;
  }
  const std::vector<uint8_t> bytes = ReadAll(dir / "t.dbf");
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_NE(bytes[bytes.size() - 2], 0x1A);
}

}  // namespace
