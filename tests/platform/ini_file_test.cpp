#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/exceptions.h"
#include "platform/string_list.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("ini_test_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  static std::string Read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::filesystem::path dir_;
};

TEST_F(IniFileTest, ReadsSectionsKeysAndValues) {
  std::string p = Write("corvid.cfg",
                        "; aliases\r\n[Alias]\r\nPHONES = D:\\BASE\r\n Work=\"/srv/work\" \r\nnot a key\r\n"
                        "[General]\nNumFiles=0x10\nUseDeleted=1\nBad=12a\n[alias]\nlate=1\n");
  TIniFile ini(p);
  EXPECT_EQ(ini.ReadString("alias", "phones", "?"), "D:\\BASE");
  EXPECT_EQ(ini.ReadString("Alias", "WORK", "?"), "/srv/work");
  EXPECT_EQ(ini.ReadString("Alias", "none", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("General", "NumFiles", 0), 16);
  EXPECT_EQ(ini.ReadInteger("General", "Bad", 7), 7);
  EXPECT_TRUE(ini.ReadBool("General", "UseDeleted", false));
  EXPECT_TRUE(ini.ReadBool("General", "Missing", true));
  TStringList keys;
  ini.ReadSection("Alias", keys);
  ASSERT_EQ(keys.Count(), 2);  // the first section of the name only
  EXPECT_EQ(keys[0], "PHONES");
  EXPECT_EQ(keys[1], "Work");
  TStringList lines;
  ini.ReadSectionValues("ALIAS", lines);
  EXPECT_EQ(lines[0], "PHONES=D:\\BASE");
  TStringList sections;
  ini.ReadSections(sections);
  EXPECT_EQ(sections.Count(), 3);
  EXPECT_TRUE(ini.SectionExists("general"));
  EXPECT_FALSE(ini.ValueExists("General", "Nope"));
}

TEST_F(IniFileTest, MissingFileReadsEmpty) {
  TIniFile ini((dir_ / "none.ini").string());
  EXPECT_EQ(ini.ReadString("Alias", "x", "d"), "d");
  TStringList keys;
  keys.Add("stale");
  ini.ReadSection("Alias", keys);
  EXPECT_EQ(keys.Count(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.ini"));
}

TEST_F(IniFileTest, WritesKeepOtherLinesAndRoundTrip) {
  std::string p = Write("list.ini", "; keep me\r\n[General]\r\nNumFiles=1\r\n\r\n[File1]\r\nIndex1=a.ntx\r\n");
  {
    TIniFile ini(p);
    ini.WriteInteger("General", "NumFiles", 2);
    ini.WriteBool("General", "UseDeleted", true);
    ini.WriteString("File2", "Index1", "b.ntx");
    ini.DeleteKey("File1", "Index1");
  }
  EXPECT_EQ(Read(p),
            "; keep me\r\n[General]\r\nNumFiles=2\r\nUseDeleted=1\r\n\r\n[File1]\r\n[File2]\r\nIndex1=b.ntx\r\n");
  TIniFile again(p);
  EXPECT_EQ(again.ReadInteger("General", "NumFiles", 0), 2);
  again.EraseSection("file1");
  EXPECT_FALSE(TIniFile(p).SectionExists("File1"));
  EXPECT_FALSE(std::filesystem::exists(p + ".~ini"));
}

TEST_F(IniFileTest, FailedWriteLeavesTheFileWhole) {
  std::string p = Write("ro.ini", "[A]\r\nk=v\r\n");
  TIniFile ini((dir_ / "no_such_dir" / "x.ini").string());
  EXPECT_THROW(ini.WriteString("A", "k", "v"), EInOutError);
  TIniFile ok(p);
  EXPECT_THROW(ok.WriteString("A", "  ", "v"), EInOutError);
  EXPECT_EQ(Read(p), "[A]\r\nk=v\r\n");
}

}  // namespace
