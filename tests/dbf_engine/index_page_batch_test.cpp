// Batched page writes of the index builders: whatever the order and size of
// the writes, a file written through a batch is byte for byte the file the
// same writes make one page at a time, enciphered or not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/index_table_link.h"
#include "index_test_table.h"

namespace {

struct PageWrite {
  int64_t position;
  std::vector<uint8_t> bytes;
};

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class IndexPageBatch : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("index_page_batch_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A table for the index files; only its cipher key matters to page writes.
  std::unique_ptr<IndexTestTable> Table(const std::string& key) {
    const std::string path = (dir_ / "t.dbf").string();
    if (!std::filesystem::exists(path)) IndexTestTable::Create(path, {"NAME;C;10;0"});
    auto t = std::make_unique<IndexTestTable>(path);
    t->cipherKey = key;
    return t;
  }

  // The writes go one by one to one file and through a batch of the given
  // capacity to another; both files' bytes come back.
  std::pair<std::string, std::string> WriteBoth(const std::vector<PageWrite>& writes, const std::string& key,
                                                int32_t capacity) {
    auto owner = Table(key);
    IndexTestTable& table = *owner;
    const std::string direct = (dir_ / "direct.idx").string(), batched = (dir_ / "batched.idx").string();
    {
      CVobjIndexFile a(&table, direct), b(&table, batched);
      EXPECT_NE(a.IndexFileOpen(direct, ".idx", true, false, true, true), nullptr);
      EXPECT_NE(b.IndexFileOpen(batched, ".idx", true, false, true, true), nullptr);
      CVobjPageBatch batch(b, capacity);
      for (const PageWrite& w : writes) {
        EXPECT_TRUE(a.PageWrite(w.position, w.bytes.data(), static_cast<int32_t>(w.bytes.size())));
        EXPECT_TRUE(batch.Write(w.position, w.bytes.data(), static_cast<int32_t>(w.bytes.size())));
      }
      EXPECT_TRUE(batch.Flush());
    }
    return {FileBytes(direct), FileBytes(batched)};
  }

  std::filesystem::path dir_;
};

// A build's pattern: pages in file order, now and then a page written at
// an offset handed out earlier, a page written twice, a header that is not
// a whole page, pages of two sizes.
std::vector<PageWrite> BuildLikeWrites(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<PageWrite> w;
  auto page = [&](int64_t pos, size_t len) {
    PageWrite p{pos, std::vector<uint8_t>(len)};
    for (uint8_t& b : p.bytes) b = static_cast<uint8_t>(rng());
    w.push_back(std::move(p));
  };
  page(0, 24);  // part of a header
  int64_t next = 1024;
  std::vector<int64_t> reserved;
  for (int i = 0; i < 400; ++i) {
    switch (rng() % 10) {
      case 0:  // an offset kept for later
        reserved.push_back(next);
        next += 512;
        break;
      case 1:
        if (!reserved.empty()) {
          page(reserved.back(), 512);
          reserved.pop_back();
        }
        break;
      case 2:  // the page just written, again
        if (!w.empty() && w.back().bytes.size() % 512 == 0) page(w.back().position, w.back().bytes.size());
        break;
      case 3:
        page(next, 1024);
        next += 1024;
        break;
      case 4:  // a few bytes inside a page already written
        if (next > 1024) page(next - 512 + 8, 12);
        break;
      default:
        page(next, 512);
        next += 512;
        break;
    }
  }
  for (int64_t r : reserved) page(r, 512);
  return w;
}

TEST_F(IndexPageBatch, PlainFileIsTheSameAsPageByPage) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    for (int32_t capacity : {512, 4096, 1 << 20}) {
      auto [direct, batched] = WriteBoth(BuildLikeWrites(seed), "", capacity);
      ASSERT_GT(direct.size(), 100000u);
      EXPECT_EQ(direct, batched) << "seed " << seed << ", capacity " << capacity;
    }
  }
}

TEST_F(IndexPageBatch, EncipheredFileIsTheSameAsPageByPage) {
  for (uint32_t seed : {4u, 5u}) {
    for (int32_t capacity : {1024, 1 << 20}) {
      auto [direct, batched] = WriteBoth(BuildLikeWrites(seed), "secret", capacity);
      EXPECT_EQ(direct, batched) << "seed " << seed << ", capacity " << capacity;
    }
  }
}

TEST_F(IndexPageBatch, NothingReachesTheFileBeforeFlushOrDestruction) {
  auto owner = Table("");
  IndexTestTable& table = *owner;
  const std::string path = (dir_ / "held.idx").string();
  CVobjIndexFile f(&table, path);
  ASSERT_NE(f.IndexFileOpen(path, ".idx", true, false, true, true), nullptr);
  std::vector<uint8_t> page(512, 0x5A);
  {
    CVobjPageBatch batch(f);
    EXPECT_TRUE(batch.Write(512, page.data(), 512));
    EXPECT_TRUE(batch.Write(1024, page.data(), 512));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_TRUE(batch.Flush());
    EXPECT_EQ(std::filesystem::file_size(path), 1536u);
    // Held without a flush: a failed build drops its pages.
    EXPECT_TRUE(batch.Write(1536, page.data(), 512));
  }
  EXPECT_EQ(std::filesystem::file_size(path), 1536u);
}

}  // namespace
