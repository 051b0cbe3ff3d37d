#include "platform/code_page.h"

#include "common/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

std::string AllBytes(int from, int to) {
  std::string s;
  for (int c = from; c <= to; ++c) s += static_cast<char>(c);
  return s;
}

std::string ToOem(std::string s) {
  CharToOemBuffA(s.data(), s.data(), s.size());
  return s;
}

std::string ToAnsi(std::string s) {
  OemToCharBuffA(s.data(), s.data(), s.size());
  return s;
}

// Runs iconv over `input`; nothing when iconv is not installed or fails.
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

TEST(CodePage, AsciiIsUnchanged) {
  std::string ascii = AllBytes(0, 127);
  EXPECT_EQ(ToOem(ascii), ascii);
  EXPECT_EQ(ToAnsi(ascii), ascii);
}

TEST(CodePage, NullBuffersAreRefused) {
  char buf[1] = {'a'};
  EXPECT_FALSE(CharToOemBuffA(nullptr, buf, 1));
  EXPECT_FALSE(OemToCharBuffA(buf, nullptr, 1));
  EXPECT_TRUE(CharToOemBuffA(buf, buf, 0));
}

TEST(CodePage, RussianAlphabetMatchesIconv) {
  // А..я in 866 is 80..AF and E0..EF; Ё ё are F0 F1.
  std::string oem = AllBytes(0x80, 0xAF) + AllBytes(0xE0, 0xF1);
  auto ansi = Iconv("CP866", "CP1251", oem);
  if (!ansi) GTEST_SKIP() << "iconv is not installed";
  EXPECT_EQ(ToAnsi(oem), *ansi);
  EXPECT_EQ(ToOem(*ansi), oem);
  EXPECT_EQ(ToAnsi("\x80\xA0\xF0\xF1"), "\xC0\xE0\xA8\xB8");  // А а Ё ё
}

TEST(CodePage, EveryCharacterBothPagesShareMatchesIconv) {
  if (std::system("command -v iconv >/dev/null 2>&1") != 0) GTEST_SKIP() << "iconv is not installed";
  for (int c = 0x80; c < 0x100; ++c) {
    std::string one(1, static_cast<char>(c));
    if (auto r = Iconv("CP866", "CP1251", one)) {
      EXPECT_EQ(ToAnsi(one), *r) << "866 byte " << c;
    }
    if (auto r = Iconv("CP1251", "CP866", one)) {
      EXPECT_EQ(ToOem(one), *r) << "1251 byte " << c;
    }
  }
}

TEST(CodePage, UnmappableCharactersGetALookAlike) {
  EXPECT_EQ(ToOem("\x93\x94\x96\x85"), "\"\"-.");      // “ ” – …
  EXPECT_EQ(ToOem("\xB2\xB3\x88"), "Ii?");             // І і €
  EXPECT_EQ(ToAnsi("\xC4\xB3\xDA\xCD\xB0"), "-|+=?");  // box drawing, shade
}

TEST(CodePage, UnicodeOfBothPages) {
  EXPECT_EQ(Cp1251ToUnicode(0xC0), U'\u0410');
  EXPECT_EQ(Cp1251ToUnicode(0xB9), U'\u2116');
  EXPECT_EQ(Cp866ToUnicode(0x80), U'\u0410');
  EXPECT_EQ(Cp866ToUnicode(0xFF), U'\u00A0');
  EXPECT_EQ(Cp866ToUnicode('A'), U'A');
}

}  // namespace
