#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/test_files.h"

namespace {

TEST(FileIo, PositionalReadWriteAndShortReadAtEnd) {
  TempDir dir;
  int h = FileCreate(dir / "a.bin");
  ASSERT_GE(h, 0);
  ASSERT_TRUE(FileWrite(h, 10, "hello", 5));
  EXPECT_EQ(FileSize(h), 15);
  char buf[16] = {};
  EXPECT_EQ(FileRead(h, 10, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(FileRead(h, 12, buf, 10), 3);  // fewer at the end
  EXPECT_EQ(FileRead(h, 100, buf, 10), 0);
  EXPECT_TRUE(FileTruncate(h, 4));
  EXPECT_EQ(FileSize(h), 4);
  FileClose(h);
  EXPECT_EQ(h, -1);
}

TEST(FileIo, ShortWriteIsAFailure) {
  int h = FileOpen("/dev/full", true, true);
  if (h < 0) GTEST_SKIP() << "/dev/full is not available";
  EXPECT_FALSE(FileWrite(h, 0, "x", 1));
  FileClose(h);
}

TEST(FileIo, SharedAndExclusiveOpens) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {1, 2, 3});
  int a = FileOpen(dir / "t.dbf", true, true);
  int b = FileOpen(dir / "t.dbf", false, true);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  errno = 0;
  EXPECT_EQ(FileOpen(dir / "t.dbf", true, false), -1);
  EXPECT_EQ(errno, EACCES);
  FileClose(a);
  FileClose(b);
  int x = FileOpen(dir / "t.dbf", true, false);
  ASSERT_GE(x, 0);
  EXPECT_EQ(FileOpen(dir / "t.dbf", false, true), -1);
  // Creating over a file someone holds leaves it as it was.
  EXPECT_EQ(FileCreate(dir / "t.dbf"), -1);
  EXPECT_EQ(ReadAll(dir / "t.dbf").size(), 3u);
  FileClose(x);
}

TEST(FileIo, ByteRangeLocksAboveTwoGigabytesConflictBetweenHandles) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  int a = FileOpen(dir / "t.dbf", true, true);
  int b = FileOpen(dir / "t.dbf", true, true);
  ASSERT_TRUE(FileLockRegion(a, 0xEFFFFFFEull, 2));
  EXPECT_FALSE(FileLockRegion(b, 0xEFFFFFFFull, 1));
  EXPECT_TRUE(FileRegionLockedByOther(b, 0xEFFFFFFEull, 1));
  EXPECT_FALSE(FileRegionLockedByOther(b, 0xEFFFFFFDull, 1));
  EXPECT_TRUE(FileLockRegion(b, 0x40000000ull, 0xB0000000ull - 0x10000000ull));
  EXPECT_TRUE(FileUnlockRegion(a, 0xEFFFFFFEull, 2));
  EXPECT_TRUE(FileLockRegion(b, 0xEFFFFFFFull, 1));
  EXPECT_FALSE(FileLockRegion(a, 5, 0));  // a zero length locks nothing
  FileClose(a);
  FileClose(b);
}

TEST(FileIo, ReadOnlyHandlesTakeReadLocks) {
  TempDir dir;
  WriteAll(dir / "t.dbf", {0});
  int r1 = FileOpen(dir / "t.dbf", false, true);
  int r2 = FileOpen(dir / "t.dbf", false, true);
  int w = FileOpen(dir / "t.dbf", true, true);
  EXPECT_TRUE(FileLockRegion(r1, 1000, 1));
  EXPECT_TRUE(FileLockRegion(r2, 1000, 1));
  EXPECT_FALSE(FileLockRegion(w, 1000, 1));
  FileClose(r1);
  FileClose(r2);
  EXPECT_TRUE(FileLockRegion(w, 1000, 1));
  FileClose(w);
}

TEST(FileIo, NamesAreFoundCaseInsensitively) {
  TempDir dir;
  WriteAll(dir / "phones.dbf", {0});
  WriteAll(dir / "Phones.NDX", {0});
  EXPECT_TRUE(FileExists(dir / "PHONES.DBF"));
  EXPECT_EQ(FileResolveExisting(dir / "phones.DBF"), dir / "phones.dbf");
  EXPECT_EQ(FileResolveExisting(dir / "new.dbf"), dir / "new.dbf");
  EXPECT_EQ(FileFind(dir.path(), "*.ndx"), std::vector<std::string>{"Phones.NDX"});
  EXPECT_EQ(FileFind(dir.path(), "ph?nes.*").size(), 2u);
  EXPECT_EQ(FileNormaliseSeparators("a\\b\\c.dbf"), "a/b/c.dbf");
  EXPECT_TRUE(FileRename(dir / "PHONES.dbf", dir / "other.dbf"));
  EXPECT_TRUE(FileExists(dir / "other.dbf"));
  EXPECT_TRUE(FileDelete(dir / "OTHER.DBF"));
  EXPECT_FALSE(FileExists(dir / "other.dbf"));
}

TEST(FileIo, SpawnReportsExitCodes) {
  EXPECT_EQ(SpawnProcessAndWait("sh -c \"exit 7\""), 7);
  EXPECT_EQ(SpawnProcessAndWait("true"), 0);
  EXPECT_EQ(SpawnProcess("true"), 0);
}

TEST(FileIo, APipeIsOpenedWithoutWaitingAndALeasedFileIsWaitedFor) {
  TempDir dir;
  // A pipe nobody writes to: the open returns (the positioned reads after
  // fail), for reading and for writing.
  const std::string pipe = dir / "pipe.dbf";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ::alarm(20);
  for (const bool readWrite : {false, true}) {
    int fd = FileOpen(pipe, readWrite, true);
    ASSERT_GE(fd, 0);
    char b[4];
    EXPECT_LT(FileRead(fd, 0, b, 4), 0);
    FileClose(fd);
  }
  ::alarm(0);
  // A file another process holds a read lease on (as a file server does)
  // is opened for writing once the lease holder lets go, not refused.
  const std::string leased = dir / "t.dbf";
  WriteAll(leased, {'x'});
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t kid = ::fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) {
    static volatile sig_atomic_t broken = 0;
    std::signal(SIGIO, [](int) { broken = 1; });
    const int fd = ::open(leased.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (::write(ready[1], ok ? "y" : "n", 1) != 1) ::_exit(2);
    for (int i = 0; i < 1000 && !broken; ++i) ::usleep(10000);
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::_exit(broken ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  if (c == 'y') {
    int fd = FileOpen(leased, true, false);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (fd >= 0) FileClose(fd);
  }
  int status = 0;
  ::waitpid(kid, &status, 0);
  if (c != 'y') GTEST_SKIP() << "no leases on this file system";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
