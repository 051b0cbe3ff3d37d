#include "dbf_engine/code_pages.h"

#include "common/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

namespace {

std::optional<std::string> Iconv(const char* from, const char* to, const std::string& input) {
  if (std::system("command -v iconv >/dev/null 2>&1") != 0) return std::nullopt;
  TempDir tmp;
  std::filesystem::path dir(tmp.path());
  auto in = dir / "in", out = dir / "out";
  std::ofstream(in, std::ios::binary) << input;
  std::string cmd =
      std::string("iconv -f ") + from + " -t " + to + " '" + in.string() + "' > '" + out.string() + "' 2>/dev/null";
  std::optional<std::string> result;
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream f(out, std::ios::binary);
    result = std::string(std::istreambuf_iterator<char>(f), {});
  }
  return result;
}

TEST(CodePages, OemTextComesBackUnchanged) {
  const unsigned char* o = cvAnsiToOemTable();
  const unsigned char* i = cvOemToAnsiTable();
  std::set<int> images;
  for (int b = 0; b < 256; ++b) {
    if (o[b] == 0) continue;
    EXPECT_EQ(i[o[b]], b) << "byte " << b;
    if (b >= 33) {
      EXPECT_TRUE(images.insert(o[b]).second) << "two bytes share OEM code " << int(o[b]);
    }
  }
  // Every OEM byte translated to ANSI and back is itself.
  for (int b = 0; b < 256; ++b) EXPECT_EQ(o[i[b]], b) << "OEM byte " << b;
}

TEST(CodePages, ControlBytesAndBlankAreNeverTranslated) {
  std::string s;
  for (int b = 0; b <= 32; ++b) s += static_cast<char>(b);
  EXPECT_EQ(kvSysAnsiToOem(s), s);
  EXPECT_EQ(kvSysOemToAnsi(s), s);
}

TEST(CodePages, CyrillicLettersAgreeWithIconv) {
  std::string oem;
  for (int b = 0x80; b <= 0xAF; ++b) oem += static_cast<char>(b);
  for (int b = 0xE0; b <= 0xF1; ++b) oem += static_cast<char>(b);
  auto ansi = Iconv("CP866", "CP1251", oem);
  if (!ansi) GTEST_SKIP() << "iconv is not installed";
  EXPECT_EQ(kvSysOemToAnsi(oem), *ansi);
  EXPECT_EQ(kvSysAnsiToOem(*ansi), oem);
  // "Иванов И.И." as a DOS program wrote it.
  EXPECT_EQ(kvSysOemToAnsi("\x88\xA2\xA0\xAD\xAE\xA2 \x88.\x88."), "\xC8\xE2\xE0\xED\xEE\xE2 \xC8.\xC8.");
}

TEST(CodePages, UnmappableCharactersStillRoundTrip) {
  // “ has no OEM image of its own; whatever it gets, it comes back.
  std::string ansi = "\x93\x94\xB2\x88\x98";
  std::string oem = kvSysAnsiToOem(ansi);
  EXPECT_EQ(oem.size(), ansi.size());
  EXPECT_EQ(kvSysOemToAnsi(oem), ansi);
  // Plain ASCII keeps its code even though quotes map onto '"' in the platform.
  EXPECT_EQ(kvSysAnsiToOem("\"'-."), "\"'-.");
}

TEST(CodePages, ByteRangeTranslation) {
  char buf[4] = {'\xC0', '\xE0', 'x', '\xC1'};
  cvSysCharToOEM(buf, buf, 3);
  EXPECT_EQ(std::string(buf, 4), std::string("\x80\xA0x\xC1", 4));
  cvSysOEMToChar(buf, buf, 0);
  cvSysOEMToChar(buf, buf, -5);
  EXPECT_EQ(std::string(buf, 4), std::string("\x80\xA0x\xC1", 4));
  cvSysOEMToChar(buf, buf, 2);
  EXPECT_EQ(std::string(buf, 2), "\xC0\xE0");
}

TEST(CodePages, EngineConstants) {
  EXPECT_STREQ(LogicalTrue, "TtYyJj");
  EXPECT_STREQ(LogicalFalse, "FfNn");
  EXPECT_EQ(EOFMark, '\x1A');
  EXPECT_EQ(pCollateTable, nullptr);
  EXPECT_EQ(pDictionaryTable, nullptr);
  EXPECT_EQ(pUpperTable, nullptr);
  EXPECT_EQ(pLowerTable, nullptr);
}

TEST(CodePages, TextHelpers) {
  EXPECT_EQ(cvStrCompareI("\xCF\xE5\xF2\xF0\xEE\xE2", "\xCF\xC5\xD2\xD0\xCE\xC2"), 0);
  EXPECT_NE(cvStrCompare("\xCF\xE5\xF2\xF0\xEE\xE2", "\xCF\xC5\xD2\xD0\xCE\xC2"), 0);
  EXPECT_LT(cvStrCompare("\xC0", "\xC1"), 0);
  EXPECT_LT(cvStrCompare("Z", "\xE0"), 0);
  EXPECT_EQ(cvBufCompare(nullptr, ""), 0);
  EXPECT_EQ(cvBufCompareI("abc", "ABC"), 0);
  EXPECT_EQ(cvStrPosition("cd", "abcd"), 3);
  EXPECT_EQ(cvStrPosition("x", "abcd"), 0);
  EXPECT_EQ(cvStrUpperCase("\xB8\xE6ik"), "\xA8\xC6IK");
  EXPECT_EQ(cvStrLowerCase("\xA8\xC6IK"), "\xB8\xE6ik");
}

struct WildCase {
  const char* pattern;
  const char* text;
  int expected;
};

TEST(CodePages, WildcardPosition) {
  const WildCase cases[] = {
      {"*ab", "xxab", 3},
      {"a?c", "abc", 1},
      {"a?c", "xabc", 0},  // "?" is placed at the text's own position 2
      {"", "abc", 0},
      {"*", "abc", 1},
      {"*", "", 1},
      {"**", "abc", 1},
      {"abc*", "xabcx", 2},
      {"*abc*", "xxabc", 3},
      {"abcd", "abc", 0},
      {"b", "abc", 2},
      {"?", "z", 1},
      {"*a?c", "abc", 0},  // after a leading star "?" is a plain character
      {"*a?c", "xa?c", 2},
      // The stars are removed before the lengths are compared.
      {"*abc", "abc", 1},
      {"abc*", "abc", 1},
      {"*abc*", "abc", 1},
      {"*abcd", "abc", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(cvStrPosWild(c.pattern, c.text), c.expected) << c.pattern << " in " << c.text;
}

}  // namespace
