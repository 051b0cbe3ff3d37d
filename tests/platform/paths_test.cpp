#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/exceptions.h"
#include "common/test_files.h"

namespace fs = std::filesystem;

namespace {

void Touch(const fs::path& p) { std::ofstream(p) << "x"; }

TEST(Paths, NameParts) {
  EXPECT_EQ(ExtractFileName("C:\\DATA\\PHONES.DBF"), "PHONES.DBF");
  EXPECT_EQ(ExtractFileName("data/phones.dbf"), "phones.dbf");
  EXPECT_EQ(ExtractFileName("phones"), "phones");
  EXPECT_EQ(ExtractFilePath("data\\sub/phones.dbf"), "data\\sub/");
  EXPECT_EQ(ExtractFilePath("phones.dbf"), "");
  EXPECT_EQ(ExtractFileDir("data/phones.dbf"), "data");
  EXPECT_EQ(ExtractFileDir("/phones.dbf"), "/");
  EXPECT_EQ(ExtractFileExt("phones.dbf"), ".dbf");
  EXPECT_EQ(ExtractFileExt("a.b/phones"), "");
  EXPECT_EQ(ExtractFileExt("phones."), ".");
  EXPECT_EQ(NormalizePath("a\\b\\c.ntx"), "a/b/c.ntx");
}

TEST(Paths, ChangeExtension) {
  EXPECT_EQ(ChangeFileExt("phones.dbf", ".dbt"), "phones.dbt");
  EXPECT_EQ(ChangeFileExt("phones", ".dbt"), "phones.dbt");
  EXPECT_EQ(ChangeFileExt("a.b/phones", ".ntx"), "a.b/phones.ntx");
  EXPECT_EQ(ChangeFileExt("x.tar.gz", ""), "x.tar");
}

TEST(Paths, DelimitersAndJoin) {
  EXPECT_EQ(IncludeTrailingPathDelimiter("a"), "a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("a\\"), "a\\");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("a//"), "a");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
  EXPECT_EQ(JoinPath("dir", "x.dbf"), "dir/x.dbf");
  EXPECT_EQ(JoinPath("dir/", "/abs/x.dbf"), "/abs/x.dbf");
  EXPECT_EQ(JoinPath("", "x.dbf"), "x.dbf");
}

TEST(Paths, WindowsDirectoryDefaultsToTheExecutablesAndCanBeSet) {
  std::string exe = ExecutableDirectory();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.back(), '/');
  EXPECT_TRUE(fs::is_directory(exe));
  SetWindowsDirectory("");
  EXPECT_EQ(GetWindowsDirectory() + "/", exe);
  SetWindowsDirectory("C:\\cfg\\");
  EXPECT_EQ(GetWindowsDirectory(), "C:/cfg");
  SetWindowsDirectory("");
  EXPECT_EQ(GetWindowsDirectory() + "/", exe);
}

TEST(Paths, TempFilesAreUniqueAndCreated) {
  TempDir dir;
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    std::string n = GetTempFileName(dir.path(), "~kp");
    EXPECT_EQ(ExtractFilePath(n), dir.path() + "/");
    EXPECT_EQ(ExtractFileName(n).substr(0, 3), "~kp");
    EXPECT_TRUE(fs::exists(n));
    EXPECT_EQ(fs::file_size(n), 0u);
    names.insert(n);
  }
  EXPECT_EQ(names.size(), 50u);
  EXPECT_EQ(GetTempPath().back(), '/');
  EXPECT_THROW(GetTempFileName(dir.path() + "/missing", "x"), EInOutError);
}

TEST(Paths, ExistingFileIsFoundIgnoringCase) {
  TempDir dir;
  fs::create_directories(fs::path(dir.path()) / "Data");
  Touch(fs::path(dir.path()) / "Data" / "phones.dbf");
  Touch(fs::path(dir.path()) / "PHONES.NDX");

  std::string base = dir.path() + "/";
  EXPECT_EQ(FindExistingFile(base + "Data/phones.dbf"), base + "Data/phones.dbf");
  EXPECT_EQ(FindExistingFile(base + "data\\PHONES.DBF"), base + "Data/phones.dbf");
  EXPECT_EQ(FindExistingFile(base + "phones.ndx"), base + "PHONES.NDX");
  EXPECT_EQ(FindExistingFile(base + "phones.mdx"), std::nullopt);
  EXPECT_EQ(FindExistingFile(base + "nodir/phones.dbf"), std::nullopt);
  EXPECT_EQ(FindExistingFile(""), std::nullopt);
  // A file still to be created keeps its name as given.
  EXPECT_EQ(ResolveFileName(base + "New.DBF"), base + "New.DBF");
  EXPECT_EQ(ResolveFileName(base + "DATA/Phones.Dbf"), base + "Data/phones.dbf");
}

TEST(Paths, RelativeNamesAreFoundInTheCurrentDirectory) {
  TempDir dir;
  Touch(fs::path(dir.path()) / "phones.dbf");
  auto old = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_EQ(FindExistingFile("PHONES.DBF"), "phones.dbf");
  EXPECT_EQ(FindExistingFile(".\\Phones.dbf"), "./phones.dbf");
  fs::current_path(old);
}

}  // namespace
