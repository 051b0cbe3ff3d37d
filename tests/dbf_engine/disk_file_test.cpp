#include "dbf_engine/table/disk_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

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
    EXPECT_EQ(MessageOf([&] { u.cvTruncate(1); }), "Truncate requires full access to file " + (dir / "t.dbf"));
  }
  CVO_DiskFile s(dir / "t.dbf", true, true);
  s.cvReset();
  EXPECT_EQ(MessageOf([&] { s.cvTruncate(1); }), "Truncate requires full access to file " + (dir / "t.dbf"));
}

TEST(DiskFile, ExclusiveOpenIsRefusedWhileSharedByAnother) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  CVO_DiskFile a(dir / "t.dbf", true, true), b(dir / "t.dbf", true, false);
  a.cvReset();
  EXPECT_EQ(MessageOf([&] { b.cvReset(); }), "Access denied to file " + (dir / "t.dbf"));
}

// An exclusive handle's read cache against a model of the file: random
// writes (also past the end and across blocks), reads of every size (also
// across the end), truncations and reopens through one handle; every read
// gives what the model holds, and a second cache-less reader after the
// handle closes sees the same bytes.  The cache is small, so blocks are
// evicted and read again all the time.
TEST(DiskFile, ExclusiveReadCacheAgreesWithTheFile) {
  TempDir dir;
  const std::string path = dir / "c.dat";
  WriteAll(path, {});
  std::mt19937 rng(20261208);
  std::string model;  // the file's bytes
  for (int round = 0; round < 6; ++round) {
    CVO_DiskFile f(path, true, false);
    f.cvReset();
    f.cvSetReadCache(round % 2 ? 3 * 4096 : 64 * 4096);
    for (int op = 0; op < 1500; ++op) {
      const int what = std::uniform_int_distribution<int>(0, 99)(rng);
      const int64_t pos = std::uniform_int_distribution<int64_t>(0, 40000)(rng);
      if (what < 30) {
        std::string bytes(std::uniform_int_distribution<size_t>(1, 6000)(rng), '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        f.cvWrite(pos, bytes.data(), static_cast<int32_t>(bytes.size()));
        if (model.size() < pos + bytes.size()) model.resize(static_cast<size_t>(pos) + bytes.size(), '\0');
        model.replace(static_cast<size_t>(pos), bytes.size(), bytes);
      } else if (what < 33) {
        f.cvTruncate(pos / 2);
        model.resize(static_cast<size_t>(pos / 2), '\0');  // a truncation may also lengthen
      } else if (what < 35) {
        f.cvReset();
      } else {
        const int32_t n = std::uniform_int_distribution<int32_t>(1, 5000)(rng);
        std::string got(static_cast<size_t>(n), '\0');
        const int32_t read = f.cvRead(pos, got.data(), n);
        const std::string want = static_cast<size_t>(pos) < model.size()
                                     ? model.substr(static_cast<size_t>(pos), static_cast<size_t>(n))
                                     : "";
        ASSERT_EQ(read, static_cast<int32_t>(want.size())) << "round " << round << " op " << op;
        ASSERT_TRUE(got.compare(0, want.size(), want) == 0) << "round " << round << " op " << op;
      }
    }
    f.cvCloseFile();
    CVO_DiskFile r(path, false, true);
    r.cvReset();
    std::string onDisk(static_cast<size_t>(r.cvFileSize()), '\0');
    if (!onDisk.empty()) r.cvRead(0, onDisk.data(), static_cast<int32_t>(onDisk.size()));
    ASSERT_EQ(onDisk, model) << "round " << round;
  }
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
  EXPECT_EQ(MessageOf([&] { f.cvRename(dir / "missing/dir/u.dbf"); }), "Error on Rename of file " + (dir / "t.dbf"));
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
