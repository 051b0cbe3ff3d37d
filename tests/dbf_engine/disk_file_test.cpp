#include "dbf_engine/table/disk_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

#include "dbf_engine/messages.h"
#include "dbf_engine/lock_retry_scope.h"
#include "dbf_engine/table_test_util.h"
#include "common/full_disk.h"
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

TEST(DiskFile, UndoOfAnExclusiveHandleAgreesWithTheSharedOne) {
  // An exclusive handle's undo takes the bytes it overwrites from what it
  // last wrote and its length from what it did, a shared one asks the file:
  // the same writes, cuts, roll-backs and failed writes leave the same
  // bytes.  Writes are mostly small and land near earlier ones, as an
  // append's header and record do.
  TempDir dir;
  std::string result[2];
  for (const bool shared : {false, true}) {
    WriteFailGuard disarm;
    const std::string path = dir / (shared ? "s.dat" : "x.dat");
    WriteAll(path, {});
    std::mt19937 rng(20261209);
    std::string model;  // the file's bytes
    CVO_DiskFile f(path, true, shared);
    f.cvReset();
    ASSERT_TRUE(f.cvLockFile());  // a shared handle cuts its file only while holding all of it
    f.cvSetReadCache(16 * 4096);
    auto bytes = [&](size_t n) {
      std::string b(n, '\0');
      for (char& c : b) c = static_cast<char>(rng());
      return b;
    };
    for (int change = 0; change < 3000; ++change) {
      const std::string before = model;
      const bool undo = f.cvUndoBegin();
      ASSERT_TRUE(undo);
      const int steps = 1 + static_cast<int>(rng() % 4);
      bool failed = false;
      for (int s = 0; s < steps && !failed; ++s) {
        const unsigned what = rng() % 100;
        const auto size = static_cast<int64_t>(model.size());
        if (what < 80) {
          // Near the end, a little past it (a hole), near the start, now and
          // then far out.
          int64_t pos = what < 30   ? std::max<int64_t>(0, size - static_cast<int64_t>(rng() % 80))
                        : what < 45 ? size + static_cast<int64_t>(rng() % 100)
                                    : static_cast<int64_t>(rng() % 64);
          if (what >= 75) pos = static_cast<int64_t>(rng() % 20000);
          const std::string b = bytes(1 + rng() % (what % 7 == 0 ? 5000 : 100));
          const bool diskFull = rng() % 25 == 0;
          if (diskFull) cvSetWriteFailCountdown(1);
          try {
            f.cvWrite(pos, b.data(), static_cast<int32_t>(b.size()));
          } catch (const ECorvidError&) {
            failed = true;
          }
          cvSetWriteFailCountdown(0);
          ASSERT_EQ(failed, diskFull);
          // A failed write has put down the first half of its bytes.
          const size_t put = failed ? b.size() / 2 : b.size();
          if (put > 0 && model.size() < pos + put) model.resize(static_cast<size_t>(pos) + put, '\0');
          model.replace(static_cast<size_t>(pos), put, b.substr(0, put));
          if (failed) break;
        } else if (what < 90) {
          const int64_t to = size - static_cast<int64_t>(rng() % 200);
          f.cvTruncate(std::max<int64_t>(0, to));
          model.resize(static_cast<size_t>(std::max<int64_t>(0, to)));
        } else {
          std::string got(model.size(), '\0');
          ASSERT_EQ(f.cvFileSize(), size);
          if (size > 0) f.cvRead(0, got.data(), static_cast<int32_t>(size));
          ASSERT_EQ(got, model) << "change " << change;
        }
      }
      // A failed write is mostly rolled back, now and then left standing.
      if ((failed && rng() % 4 != 0) || rng() % 3 == 0) {
        ASSERT_TRUE(f.cvUndoRollBack()) << "change " << change;
        model = before;
      } else {
        f.cvUndoEnd();
      }
      if (rng() % 200 == 0) f.cvReset();
      ASSERT_EQ(f.cvFileSize(), static_cast<int64_t>(model.size())) << "change " << change;
    }
    f.cvCloseFile();
    const std::vector<uint8_t> onDisk = ReadAll(path);
    result[shared ? 1 : 0].assign(onDisk.begin(), onDisk.end());
    ASSERT_EQ(result[shared ? 1 : 0], model) << (shared ? "shared" : "exclusive");
  }
  EXPECT_EQ(result[0], result[1]);
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
