// The mapped temporary file: capacity, positions, growth and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <csignal>
#include <sys/resource.h>

#include "sql_engine/sift_messages.h"
#include "sql_engine/store/mem_map_file.h"
#include "common/test_files.h"
#include "store_test_util.h"

namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(MemMapFile, NewFileHasTheCapacityAndReadsStopThere) {
  ScopedTempDir tmp;
  std::string path = (tmp.Path() / "m.tmp").string();
  TMemMapFile f(path, fmCreate, 2000000, true);
  EXPECT_EQ(std::filesystem::file_size(path), 2000000u);
  EXPECT_EQ(f.GetSize(), 2000000u);
  uint8_t buf[4];
  f.Seek(1999997);
  EXPECT_EQ(MessageOf([&] { f.Read(buf, 4); }), "Position beyond EOF");
  f.Seek(1999996);
  f.Read(buf, 4);
  EXPECT_EQ(f.Position(), 2000000u);
}

TEST(MemMapFile, DataEndIsTheFurthestWrite) {
  ScopedTempDir tmp;
  TMemMapFile f((tmp.Path() / "m.tmp").string(), fmCreate, 1000, true);
  const char ten[] = "0123456789";
  f.Seek(100);
  f.Write(ten, 10);
  EXPECT_EQ(f.DataEnd(), 110u);
  f.Seek(0);
  f.Write(ten, 10);
  EXPECT_EQ(f.DataEnd(), 110u);
  char back[10];
  f.Seek(100);
  f.Read(back, 10);
  EXPECT_EQ(0, std::memcmp(back, ten, 10));
  f.Reset();
  EXPECT_EQ(f.DataEnd(), 0u);
  EXPECT_EQ(f.Position(), 0u);
}

TEST(MemMapFile, WritesPastTheCapacityGrowTheFileAndKeepTheData) {
  ScopedTempDir tmp;
  std::string path = (tmp.Path() / "m.tmp").string();
  TMemMapFile f(path, fmCreate, 100, false);  // the view is made on first use
  EXPECT_FALSE(f.Mapped());
  std::vector<uint8_t> block(64);
  for (int i = 0; i < 5000; ++i) {
    std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
    f.Write(block.data(), block.size());
  }
  EXPECT_EQ(f.DataEnd(), 5000u * 64u);
  EXPECT_GE(f.GetSize(), f.DataEnd());
  EXPECT_EQ(std::filesystem::file_size(path), f.GetSize());
  // A write straddling the end of the mapping lands whole.
  uint64_t end = f.GetSize();
  f.Seek(end - 3);
  f.Write("abcdef", 6);
  EXPECT_EQ(f.DataEnd(), end + 3);
  // The first blocks are intact after the view moved, and the file holds them.
  f.Seek(64 * 7);
  f.Read(block.data(), 64);
  EXPECT_EQ(block[0], 7);
  EXPECT_EQ(block[63], 7);
  f.FreeMapping();
  std::ifstream in(path, std::ios::binary);
  in.seekg(64 * 4999);
  EXPECT_EQ(in.get(), 4999 % 256);
  in.seekg(static_cast<std::streamoff>(end - 3));
  char tail[6];
  in.read(tail, 6);
  EXPECT_EQ(std::string(tail, 6), "abcdef");
}

TEST(MemMapFile, ExistingFilesOpenWithTheirSize) {
  ScopedTempDir tmp;
  std::string path = (tmp.Path() / "e.tmp").string();
  {
    std::ofstream out(path, std::ios::binary);
    out << "hello world";
  }
  TMemMapFile ro(path, fmOpenRead, 0, true);
  EXPECT_EQ(ro.GetSize(), 11u);
  char buf[5];
  ro.Seek(6);
  ro.Read(buf, 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(MessageOf([&] { ro.Write("x", 1); }), "Failed to map view of file");
  EXPECT_EQ(MessageOf([&] { TMemMapFile((tmp.Path() / "none").string(), fmOpenRead, 0, true); }),
            "Failed to open or create file");
  { std::ofstream out((tmp.Path() / "empty").string()); }
  EXPECT_EQ(MessageOf([&] { TMemMapFile((tmp.Path() / "empty").string(), fmOpenReadWrite, 0, true); }),
            "Failed to create file mapping");
  // A read-only file cannot be mapped beyond its end.
  EXPECT_THROW(TMemMapFile(path, fmOpenRead, 100, true), ESiftError);
  EXPECT_EQ(std::filesystem::file_size(path), 11u);
}

TEST(MemMapFile, AFileThatCannotGrowFailsTheWriteAndKeepsItsData) {
  ScopedTempDir tmp;
  std::string path = (tmp.Path() / "m.tmp").string();
  TMemMapFile f(path, fmCreate, 4096, true);
  std::vector<uint8_t> block(4096, 0x5A);
  f.Write(block.data(), block.size());
  {
    FileSizeLimit limit(6000);
    f.Seek(4000);
    std::vector<uint8_t> big(8192, 0x11);
    EXPECT_EQ(MessageOf([&] { f.Write(big.data(), big.size()); }), "Failed to create file mapping");
  }
  EXPECT_EQ(f.DataEnd(), 4096u);
  EXPECT_EQ(f.GetSize(), 4096u);
  uint8_t back[96];
  f.Seek(4000);
  f.Read(back, sizeof back);
  EXPECT_TRUE(std::all_of(std::begin(back), std::end(back), [](uint8_t b) { return b == 0x5A; }));
  // Once the file may grow again, so does the store.
  f.Seek(8000);
  f.Write(block.data(), block.size());
  EXPECT_EQ(f.DataEnd(), 12096u);
}

}  // namespace
