// Byte-range locks across a reopen of the handle.  Locks belong to the open
// handle, so every path that closes and opens a file again (rename, reset,
// rewrite) must keep the region it held, or say it lost it and clear every
// flag that claims it: a "locked" flag without a lock lets two users in.
#include <gtest/gtest.h>

#include <functional>

#include "dbf_engine/messages.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"
#include "platform/file_io.h"

namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ECorvidError& e) {
    return e.what();
  }
  return "no error";
}

// A second user's handle on `name`: can it lock [offset, offset + length)?
bool OtherCanLock(const std::string& name, int64_t offset, int64_t length) {
  int h = FileOpen(name, true, true);
  EXPECT_GE(h, 0);
  bool ok = FileLockRegion(h, static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
  FileClose(h);
  return ok;
}

bool CreateTable(const std::string& name, const std::string& kind) {
  return cvCreateDBF(name, kind, [](int i, std::string& n, std::string& t, int32_t& len, int32_t&) {
    if (i == 1) n = "ID", t = "C", len = 4;
    if (i == 2) n = "NOTES", t = "M";
    return true;
  });
}

TEST(ReopenLocks, ARenamedFileKeepsItsRegion) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {1, 2, 3});
  CVO_DiskFile a(dir / "t.dbf", true, true);
  a.cvReset();
  ASSERT_TRUE(a.cvLockRecord(100, 5));
  ASSERT_TRUE(a.cvLockRecord(100, 5));
  a.cvRename(dir / "u.dbf");
  EXPECT_EQ(a.LockCount(), 2);
  EXPECT_FALSE(OtherCanLock(dir / "u.dbf", 102, 1));
  a.cvUnLock();
  EXPECT_FALSE(OtherCanLock(dir / "u.dbf", 102, 1));
  a.cvUnLock();
  EXPECT_TRUE(OtherCanLock(dir / "u.dbf", 102, 1));
  // A renamed file is still the same open file: reads and writes go on.
  uint8_t b = 0;
  EXPECT_EQ(a.cvRead(1, &b, 1), 1);
  EXPECT_EQ(b, 2);
}

TEST(ReopenLocks, ResetAndRewriteOfAnOpenFileTakeTheRegionAgain) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {1, 2, 3});
  CVO_DiskFile a(dir / "t.dbf", true, true);
  a.cvReset();
  ASSERT_TRUE(a.cvLockFile());
  a.cvReset();
  EXPECT_EQ(a.LockCount(), 1);
  EXPECT_TRUE(a.FileFullyLocked());
  EXPECT_FALSE(OtherCanLock(dir / "t.dbf", 0, 1));
  a.cvReWrite();
  EXPECT_EQ(a.cvFileSize(), 0);
  EXPECT_TRUE(a.FileFullyLocked());
  EXPECT_FALSE(OtherCanLock(dir / "t.dbf", 0, 1));
  a.cvTruncate(0);  // needs the whole-file lock
  a.cvUnLock();
  EXPECT_TRUE(OtherCanLock(dir / "t.dbf", 0, 1));
}

// Another user takes the region in the moment the handle is closed.
template <class Base>
class Overtaken : public Base {
public:
  using Base::Base;
  bool cvUnLock() override {
    bool r = Base::cvUnLock();
    if (overtake && this->LockCount() == 0) {
      other = FileOpen(this->FileName(), true, true);
      EXPECT_TRUE(
          FileLockRegion(other, static_cast<uint64_t>(this->LockOffset()), static_cast<uint64_t>(this->LockLength())));
      overtake = false;
    }
    return r;
  }
  ~Overtaken() override { FileClose(other); }
  bool overtake = false;
  int other = -1;
};

TEST(ReopenLocks, ARegionThatCannotBeTakenAgainIsReportedAndForgotten) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {1, 2, 3});
  Overtaken<CVO_DiskFile> a(dir / "t.dbf", true, true);
  a.cvReset();
  ASSERT_TRUE(a.cvLockRecord(100, 1));
  a.overtake = true;
  EXPECT_EQ(MessageOf([&] { a.cvReset(); }), "Can not Lock file " + (dir / "t.dbf"));
  EXPECT_EQ(a.LockCount(), 0);
  EXPECT_FALSE(a.IsClosed());
  EXPECT_FALSE(a.cvLockRecord(100, 1));  // the other user has it now
}

TEST(ReopenLocks, ATableKeepsItsFileLockThroughARename) {
  for (const char* kind : {"3", "4", "F"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    ASSERT_TRUE(CreateTable(dir / "t.dbf", kind));
    CVO_dBaseDBF a(dir / "t.dbf", "", true, true);
    ASSERT_TRUE(a.cvFLock());
    ASSERT_NE(a.cvMemoObject(), nullptr);
    a.cvRename(dir / "u.dbf");
    EXPECT_TRUE(a.cvFileLockHeld());
    EXPECT_EQ(a.LockCount(), 1);
    {
      CVO_dBaseDBF b(dir / "u.dbf", "", true, true);
      EXPECT_FALSE(b.cvFLock());
      EXPECT_FALSE(b.cvLockAppend());
    }
    // The lock nests as before the rename and ends with the last level.
    ASSERT_TRUE(a.cvFLock());
    a.cvLockOff();
    CVO_dBaseDBF b(dir / "u.dbf", "", true, true);
    EXPECT_FALSE(b.cvFLock());
    a.cvLockOff();
    EXPECT_FALSE(a.cvFileLockHeld());
    EXPECT_TRUE(b.cvFLock());
    b.cvLockOff();
  }
}

TEST(ReopenLocks, ATableForgetsItsFileLockWhenTheHandleLosesIt) {
  TempDir dir;
  ASSERT_TRUE(CreateTable(dir / "t.dbf", "3"));
  {
    // Closed and opened again: the lock went with the old handle.
    CVO_dBaseDBF a(dir / "t.dbf", "", true, true);
    ASSERT_TRUE(a.cvFLock());
    a.cvCloseFile();
    EXPECT_FALSE(a.cvFileLockHeld());
    a.cvReset();
    EXPECT_FALSE(a.cvFileLockHeld());
    ASSERT_TRUE(a.cvFLock());
    EXPECT_EQ(a.LockCount(), 1);
    CVO_dBaseDBF b(dir / "t.dbf", "", true, true);
    EXPECT_FALSE(b.cvFLock());
    a.cvLockOff();
  }
  {
    // Reopened while another user slipped in: the table does not claim a
    // lock it no longer has, and its next cvFLock asks the system again.
    Overtaken<CVO_dBaseDBF> a(dir / "t.dbf", "", true, true);
    ASSERT_TRUE(a.cvFLock());
    a.overtake = true;
    EXPECT_EQ(MessageOf([&] { a.cvReset(); }), "Can not Lock file " + (dir / "t.dbf"));
    EXPECT_FALSE(a.cvFileLockHeld());
    EXPECT_EQ(a.LockCount(), 0);
    EXPECT_FALSE(a.cvFLock());
    FileClose(a.other);
    EXPECT_TRUE(a.cvFLock());
    a.cvLockOff();
  }
}

}  // namespace
