// A small fake table for the index file tests: records of a name, a number
// and a date, bound as the variables NAME, NUM and DAT (and NOTHING, which
// yields no value), plus a fixture with a per-test directory.
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

namespace fs = std::filesystem;

namespace {

struct Row {
  std::string name;  // NAME, 10 characters
  double num = 0;    // NUM
  int32_t date = 0;  // DAT (Julian day)
};

class Table;

// A field of the fake table, bound as a variable of the expression language.
class Var : public TcvUserDefFieldVar {
public:
  Var(Table* t, const char* name, int which) : TcvUserDefFieldVar(name), t_(t), which_(which) {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override;

private:
  Table* t_;
  int which_;
};

// Record i is rows[i-1]; `old` holds the images before the current edit.
class Table : public CVobjIndexTableLink {
public:
  std::vector<Row> rows, old;
  int32_t current = 0;
  bool editing = false, useOriginal = false;
  std::string fileName = "/tmp/people.dbf";

  Table() {
    link.RegisterFieldVar(std::make_shared<Var>(this, "NAME", 0));
    link.RegisterFieldVar(std::make_shared<Var>(this, "NUM", 1));
    link.RegisterFieldVar(std::make_shared<Var>(this, "DAT", 2));
    link.RegisterFieldVar(std::make_shared<Var>(this, "NOTHING", 3));
  }
  int32_t Add(const std::string& name, double num = 0, int32_t date = 0) {
    Row r{name, num, date};
    r.name.resize(10, ' ');
    rows.push_back(r);
    old.push_back(r);
    return current = static_cast<int32_t>(rows.size());
  }
  const Row& Cur() const {
    static const Row blank{std::string(10, ' '), 0, 0};
    if (current < 1 || current > static_cast<int32_t>(rows.size())) return blank;
    return useOriginal ? old[static_cast<size_t>(current - 1)] : rows[static_cast<size_t>(current - 1)];
  }

  TcvExpUserLink link;
  int32_t ixRecordCount() override { return static_cast<int32_t>(rows.size()); }
  int32_t ixCurrentRecord() override { return current; }
  bool ixReadRecord(int32_t recno) override {
    current = recno;
    return true;
  }
  bool ixHasOriginalRecord() override { return editing; }
  bool ixRecordModified() override {
    const Row& a = rows[static_cast<size_t>(current - 1)];
    const Row& b = old[static_cast<size_t>(current - 1)];
    return a.name != b.name || a.num != b.num || a.date != b.date;
  }
  void ixUseOriginalRecord(bool original) override { useOriginal = original; }
  bool ixExactMatch() override { return false; }
  TcvExpUserLink* ixExpressionLink() override { return &link; }
  void ixStatusUpdate(int32_t, int32_t, int32_t) override {}
  std::string ixReadKey() override { return {}; }
  std::string ixWriteKey() override { return {}; }
  std::string ixTableFileName() override { return fileName; }
  bool ixProductionIndex() override { return production; }
  void ixSetProductionIndex(bool on) override { production = on; }
  int32_t ixAccessRetries() override { return 1; }
  bool production = false;
};

void Var::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  const Row& r = t_->Cur();
  switch (which_) {
    case 0:
      value.SetText(r.name);
      type = rtText;
      break;
    case 1:
      value.SetFloat(r.num);
      type = rtFloat;
      break;
    case 2:
      value.SetFloat(r.date);
      type = rtDate;
      break;
    default:
      value.SetNull();
      type = rtEmpty;
      break;
  }
}

class CdxTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("cdx_test_" + std::to_string(::getpid()) + "_" +
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
  Table table;
};

std::string Name(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "K%05d", i);
  return b;
}

}  // namespace
