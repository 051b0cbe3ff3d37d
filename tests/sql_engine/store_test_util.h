// Helpers of the store tests: a per-test temporary directory that the
// engine's temporary files go to, and a dataset that hands out bookmarks.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/mem_dataset.h"

// Points $TMPDIR at a fresh directory for the test and puts it back after.
class ScopedTempDir {
public:
  ScopedTempDir() {
    const char* old = std::getenv("TMPDIR");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::temp_directory_path() / ("dirlook_store_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ::setenv("TMPDIR", dir_.c_str(), 1);
  }
  ~ScopedTempDir() {
    if (hadOld_) ::setenv("TMPDIR", old_.c_str(), 1);
    else ::unsetenv("TMPDIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::filesystem::path& Path() const { return dir_; }
  // Names of the files in the directory.
  std::vector<std::string> Files() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) out.push_back(e.path().filename().string());
    return out;
  }

private:
  std::filesystem::path dir_;
  std::string old_;
  bool hadOld_ = false;
};

// An open dataset of `rows` rows whose bookmarks the tests hand to stores.
class BookmarkSource {
public:
  explicit BookmarkSource(int rows = 5) {
    for (int i = 1; i <= rows; ++i) ds.AddRow(i, "row" + std::to_string(i));
    ds.Open();
  }
  // A new bookmark of the first row.
  TBookmark Take() {
    ds.First();
    return ds.GetBookmark();
  }
  // How many handles up to `upto` are live.
  int Live(int upto = 200) const {
    int n = 0;
    for (int h = 1; h <= upto; ++h)
      if (ds.BookmarkBytes(h) != nullptr) ++n;
    return n;
  }
  TMemDataSet ds;
};
