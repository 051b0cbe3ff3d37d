#include "dbf_engine/table/disk_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "dbf_engine/messages.h"
#include "dbf_engine/lock_retry_scope.h"
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

TEST(DiskFile, OpenReadWriteAndRegistry) {
  TempDir dir;
  size_t before = CVO_DiskFile::RegisteredCount();
  CVO_DiskFile f(dir / "a.dat", true, true);
  EXPECT_FALSE(f.Exists());
  EXPECT_EQ(MessageOf([&] { f.cvReset(); }), "File " + (dir / "a.dat") + " could not be found");
  f.cvReWrite();
  EXPECT_EQ(CVO_DiskFile::RegisteredCount(), before + 1);
  f.cvWrite(4, "abcd", 4);
  EXPECT_TRUE(f.Written());
  EXPECT_EQ(f.Position(), 8);
  char buf[10];
  EXPECT_EQ(f.cvRead(6, buf, 10), 2);  // short at the end, position still advances by the request
  EXPECT_EQ(f.Position(), 16);
  EXPECT_EQ(f.cvRead(100, buf, 4), 0);
  EXPECT_THROW(f.cvRead(0, buf, -1), ERangeError);
  EXPECT_EQ(f.cvFileSize(), 8);
  f.cvFlush();
  EXPECT_FALSE(f.Written());
  f.cvCloseFile();
  EXPECT_EQ(f.Handle(), -1);
  EXPECT_EQ(CVO_DiskFile::RegisteredCount(), before);
}

TEST(DiskFile, RelativeNamesAreExpanded) {
  EXPECT_EQ(CVO_DiskFile::NormaliseName("x.dbf")[0], '/');
  EXPECT_EQ(CVO_DiskFile::NormaliseName("\\\\server\\share\\x.dbf"), "//server/share/x.dbf");
}

TEST(DiskFile, NestedLocksOnOneRegionAndTheOneRegionRule) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  CVO_DiskFile a(dir / "t.dbf", true, true), b(dir / "t.dbf", true, true);
  a.cvReset();
  b.cvReset();
  ASSERT_TRUE(a.cvLockRecord(0x7FFFFFFE, 1));
  EXPECT_TRUE(a.cvLockRecord(0x7FFFFFFE, 1));
  EXPECT_EQ(a.LockCount(), 2);
  EXPECT_FALSE(a.cvLockRecord(0x7FFFFFFD, 1));  // one region per object
  EXPECT_FALSE(b.cvLockRecord(0x7FFFFFFE, 1));
  EXPECT_EQ(b.LockCount(), 0);
  a.cvUnLock();
  EXPECT_FALSE(b.cvLockRecord(0x7FFFFFFE, 1));
  a.cvUnLock();
  EXPECT_TRUE(b.cvLockRecord(0x7FFFFFFE, 1));
  EXPECT_FALSE(a.FileFullyLocked());
  b.cvUnLock();
  ASSERT_TRUE(a.cvLockFile());
  EXPECT_TRUE(a.FileFullyLocked());
  EXPECT_EQ(a.LockOffset(), 0);
  EXPECT_EQ(a.LockLength(), 0x7FFFFFFF);
  a.cvTruncate(0);
  EXPECT_FALSE(b.cvLockRecord(100, 1));
  // Closing releases the region.
  a.cvCloseFile();
  EXPECT_TRUE(b.cvLockRecord(100, 1));
}

TEST(DiskFile, UnsharedFilesLockWithoutTheSystemButTruncateNeedsReadWrite) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {1, 2, 3});
  {
    CVO_DiskFile u(dir / "t.dbf", false, false);
    u.cvReset();
    EXPECT_TRUE(u.cvLockRecord(5, 1));
    EXPECT_TRUE(u.cvLockRecord(9, 1));
    EXPECT_TRUE(u.FileFullyLocked());
    EXPECT_EQ(MessageOf([&] { u.cvTruncate(1); }),
              "Truncate requires full access to file " + (dir / "t.dbf"));
  }
  CVO_DiskFile s(dir / "t.dbf", true, true);
  s.cvReset();
  EXPECT_EQ(MessageOf([&] { s.cvTruncate(1); }),
            "Truncate requires full access to file " + (dir / "t.dbf"));
}

TEST(DiskFile, ExclusiveOpenIsRefusedWhileSharedByAnother) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  CVO_DiskFile a(dir / "t.dbf", true, true), b(dir / "t.dbf", true, false);
  a.cvReset();
  EXPECT_EQ(MessageOf([&] { b.cvReset(); }), "Access denied to file " + (dir / "t.dbf"));
}

TEST(DiskFile, ShortWriteRaises) {
  CVO_DiskFile f("/dev/full", true, true);
  if (!f.Exists()) GTEST_SKIP() << "/dev/full is not available";
  f.cvReset();
  EXPECT_EQ(MessageOf([&] { f.cvWrite(0, "x", 1); }), "Error writing to /dev/full");
  EXPECT_FALSE(f.Written());
}

TEST(DiskFile, RenameFailureLeavesTheFileUsable) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {7});
  CVO_DiskFile f(dir / "t.dbf", true, true);
  f.cvReset();
  EXPECT_EQ(MessageOf([&] { f.cvRename(dir / "missing/dir/u.dbf"); }),
            "Error on Rename of file " + (dir / "t.dbf"));
  char c = 0;
  EXPECT_EQ(f.cvRead(0, &c, 1), 1);
  EXPECT_EQ(c, 7);
  f.cvRename(dir / "u.dbf");
  EXPECT_EQ(f.FileName(), dir / "u.dbf");
  EXPECT_EQ(f.cvRead(0, &c, 1), 1);
}

TEST(DiskFile, RetryPolicyMakesBoundedAttempts) {
  LockRetryScope quick(10, 1);
  int calls = 0;
  EXPECT_FALSE(cvRetryLock([&] { return ++calls < 0; }));
  EXPECT_EQ(calls, 10);
  calls = 0;
  EXPECT_TRUE(cvRetryLock([&] { return ++calls == 3; }));
  EXPECT_EQ(calls, 3);
}

TEST(DiskFile, RootDirectoryIsTheConfigurationDirectory) {
  TempDir dir;
  cvSysSetRootDirectory(dir.path());
  EXPECT_EQ(cvSysRootDirectory(), dir.path());
  cvSysSetRootDirectory("");
  EXPECT_FALSE(cvSysRootDirectory().empty());
  EXPECT_EQ(cvSysSpawnAndWait("sh -c \"exit 3\"", 1), 3);
  EXPECT_EQ(cvSysSpawnAndWait("dirlook-no-such-program", 1), -1);
  EXPECT_EQ(cvSysSpawn("dirlook-no-such-program", 1), ENOENT);
  EXPECT_EQ(cvSysSpawn("true", 1), 0);
}

TEST(DiskFile, ShutDownClosesWhatIsStillOpen) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  CVO_DiskFile a(dir / "t.dbf", true, true), b(dir / "t.dbf", true, true);
  a.cvReset();
  b.cvReset();
  ASSERT_TRUE(a.cvLockRecord(10, 1));
  CVO_DiskFile::CloseAllRegistered();
  EXPECT_TRUE(a.IsClosed());
  EXPECT_EQ(a.Handle(), -1);
  EXPECT_EQ(CVO_DiskFile::RegisteredCount(), 0u);
}

}  // namespace
