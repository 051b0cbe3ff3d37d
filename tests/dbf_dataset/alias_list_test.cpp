// The alias list, the alias file and how database names resolve.
#include <fstream>

#include "dataset_test_util.h"
#include "dbf_dataset/alias_list.h"
#include "platform/paths.h"

namespace {

// Points the configuration directory at a temporary one and rebuilds the
// list from it; both are put back afterwards.
class Aliases : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = GetWindowsDirectory();
    SetWindowsDirectory(config.path());
  }
  void TearDown() override {
    SetWindowsDirectory(saved_);
    ResetAliasList();
  }
  void WriteConfig(const std::string& text) {
    std::ofstream(config / "corvid.cfg", std::ios::binary) << text;
    ResetAliasList();
  }
  TempDir config;
  std::string saved_;
};

TEST_F(Aliases, FileEntriesResolveAndTheDefaultDirectoryIsReserved) {
  WriteConfig("[Other]\nX=/nowhere\n[Alias]\nPHONES=/data/base\nDefault Directory=/elsewhere\nSLASHED=/data/s/\n");
  TStringList names;
  GetDatabaseNames(names);
  ASSERT_GE(names.Count(), 4);
  EXPECT_EQ(names[0], "Default Directory");
  EXPECT_EQ(names[1], "PHONES");
  EXPECT_EQ(names.IndexOf("X"), -1);
  EXPECT_EQ(ResolveDatabaseName("phones"), "/data/base/");
  EXPECT_EQ(ResolveDatabaseName("SLASHED"), "/data/s/");
  // The reserved name is the executable's directory whatever the file says.
  EXPECT_EQ(ResolveDatabaseName("default directory"), ExecutableDirectory());
  EXPECT_EQ(ResolveDatabaseName(""), "");
  try {
    AddAlias(" phones ", "/x");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Alias PHONES already assigned");
  }
  AddAlias(" new ", " /y ");
  EXPECT_EQ(ResolveDatabaseName("New"), "/y/");
}

TEST_F(Aliases, WithoutAFileOnlyTheBuiltInEntry) {
  ResetAliasList();
  TStringList names;
  names.Add("junk");
  GetDatabaseNames(names);
  EXPECT_EQ(names.CommaText(), "\"Default Directory\"");
}

TEST_F(Aliases, DirectoriesServeAsTheirOwnAliases) {
  ResetAliasList();
  TCorvidDataSet ds;
  ds.SetDatabaseName("/data/dir/");
  EXPECT_EQ(ds.DatabaseName(), "/data/dir");
  EXPECT_EQ(ds.ConvertDatabaseNameAlias(), "/data/dir/");
  ds.SetDatabaseName("/data/dir");
  ds.SetDatabaseName("/");  // the root keeps its separator
  EXPECT_EQ(ds.DatabaseName(), "/");
  EXPECT_EQ(ds.ConvertDatabaseNameAlias(), "/");
  int lines = 0;
  for (int i = 0; i < CorvidAliasList().Count(); ++i)
    if (CorvidAliasList()[i] == "/data/dir=/data/dir") ++lines;
  EXPECT_EQ(lines, 1);
  // The name of an open dataset cannot change.
  TempDir dir;
  MakePhones(dir / "t.dbf", 1);
  MakePhones(dir / "u.dbf", 1);
  Place(ds, dir, "t.dbf");
  ds.Open();
  EXPECT_THROW(ds.SetDatabaseName("/other"), EDatabaseError);
  TStringList tables;
  ds.GetTableNames(tables);
  EXPECT_EQ(tables.CommaText(), "t.dbf,u.dbf");
}

TEST_F(Aliases, AnAliasNamesTheTablesDirectory) {
  TempDir data;
  MakePhones(data / "phones.dbf", 2);
  WriteConfig("[Alias]\nBASE=" + data.path() + "\n");
  TCorvidDataSet ds;
  ds.SetDatabaseName("base");
  ds.SetTableName("phones");
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 2);
}

}  // namespace
