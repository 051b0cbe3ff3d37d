// The fixture of the index file tests: the small fake table
// (PeopleIndexTable, index_test_table.h) and a per-test directory.
#pragma once

#include "dbf_engine/index/cdx_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_table_link.h"
#include "dbf_engine/index/memory_index.h"
#include "dbf_engine/messages.h"
#include "index_test_table.h"

namespace fs = std::filesystem;

namespace {

class CdxTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("cdx_test_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    table.fileName = (dir / "people.dbf").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<CVobjCDXFile> Open(bool create = false) {
    return std::make_unique<CVobjCDXFile>(&table, (dir / "people.cdx").string(), true, false, create, false);
  }
  int64_t Size() { return static_cast<int64_t>(fs::file_size(dir / "people.cdx")); }

  using Pairs = std::vector<std::pair<std::string, int32_t>>;
  // Every (key as its value, record) from the top; numeric keys as numbers.
  static Pairs Forward(CVobjIndexTag* tag) {
    Pairs out;
    tag->TagOpen(cvTagOpenRoot);
    for (int32_t r = tag->KeyRead(cvReadTop); r != 0; r = tag->KeyRead(cvReadNext)) {
      std::string k(tag->CurrentKey().Bytes());
      out.emplace_back(k, r);
      if (out.size() > 100000) break;
    }
    return out;
  }
  static std::vector<int32_t> Records(CVobjIndexTag* tag) {
    std::vector<int32_t> out;
    for (auto& p : Forward(tag)) out.push_back(p.second);
    return out;
  }
  // Adds a record and keeps every tag of `f` in step, as the record handler
  // does after an append.
  void Append(CVobjIndexFile& f, const std::string& name, double num = 0, int32_t date = 0) {
    const int32_t rec = table.Add(name, num, date);
    table.editing = true;
    f.TagUpdate(rec, true);
    table.editing = false;
  }
  void Change(CVobjIndexFile& f, int32_t rec, const std::string& name) {
    table.current = rec;
    table.rows[static_cast<size_t>(rec - 1)].name = name;
    table.rows[static_cast<size_t>(rec - 1)].name.resize(10, ' ');
    table.editing = true;
    f.TagUpdate(rec, false);
    table.editing = false;
    table.old[static_cast<size_t>(rec - 1)] = table.rows[static_cast<size_t>(rec - 1)];
  }

  // Reads a 512-byte node of the file.
  std::vector<uint8_t> Node(int64_t offset) {
    std::vector<uint8_t> b(512);
    std::ifstream in(dir / "people.cdx", std::ios::binary);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(b.data()), 512);
    return b;
  }

  fs::path dir;
  PeopleIndexTable table;
};

std::string Name(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "K%05d", i);
  return b;
}

}  // namespace
