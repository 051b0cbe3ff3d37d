#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(Text, AnsiCaseCoversCyrillic) {
  EXPECT_EQ(AnsiUpperCase("abc\xE0\xFF\xB8"), "ABC\xC0\xDF\xA8");  // а я ё
  EXPECT_EQ(AnsiLowerCase("ABC\xC0\xDF\xA8"), "abc\xE0\xFF\xB8");
  EXPECT_EQ(AnsiUpperCase("\xB3\xBF\xA2"), "\xB2\xAF\xA1");  // і ї ў
  EXPECT_EQ(AnsiUpperCase("1-\xB9"), "1-\xB9");              // digits, №
  for (int c = 0; c < 256; ++c) {
    unsigned char u = AnsiUpperChar(static_cast<unsigned char>(c));
    if (u != c) {
      EXPECT_EQ(AnsiLowerChar(u), c) << c;
    }
  }
}

TEST(Text, PlainRoutinesFoldOnlyLatin) {
  EXPECT_EQ(UpperCase("ab\xE0"), "AB\xE0");
  EXPECT_EQ(LowerCase("AB\xC0"), "ab\xC0");
  EXPECT_EQ(CompareText("phones", "PHONES"), 0);
  EXPECT_TRUE(SameText("Phones", "pHONES"));
  EXPECT_FALSE(SameText("\xE0", "\xC0"));  // а and А are different bytes here
  EXPECT_GT(CompareText("\xE0", "\xC0"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_GT(CompareText("_", "a"), 0);  // "_" (95) against "A" (65)
  EXPECT_LT(CompareStr("A", "a"), 0);
  EXPECT_GT(CompareStr("\xE0", "z"), 0);  // bytes compare unsigned
  // SameText is CompareText's equality, on random texts over the bytes
  // around the Latin letters and the Cyrillic ones.
  std::mt19937 rng(1251);
  const std::string alphabet = "@AZ[`az{aAzZ\xC0\xE0\xA8\xB8_0";
  for (int i = 0; i < 20000; ++i) {
    std::string a, b;
    const size_t n = rng() % 5;
    for (size_t k = 0; k < n; ++k) a += alphabet[rng() % alphabet.size()];
    for (size_t k = 0; k < n + (rng() % 8 == 0 ? 1 : 0); ++k) b += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(SameText(a, b), CompareText(a, b) == 0) << a << " / " << b;
  }
}

TEST(Text, LocaleOrderIsRussianDictionaryOrder) {
  // Expected order of a mixed list.
  std::vector<std::string> sorted = {
      " ",    "!",    "1",    "9",    "a",    "A",    "b",    "z",    "\xE0",
      "\xC0", "\xE1", "\xE5", "\xC5", "\xB8", "\xA8", "\xE6", "\xFF", "\xDF",
  };
  std::vector<std::string> shuffled(sorted.rbegin(), sorted.rend());
  std::sort(shuffled.begin(), shuffled.end(),
            [](const std::string& a, const std::string& b) { return AnsiCompareStr(a, b) < 0; });
  EXPECT_EQ(shuffled, sorted);
  EXPECT_GT(AnsiCompareStr("\xE5\xE6", "\xB8\xE0"), 0);  // еж > ёа: е and ё weigh alike first
  EXPECT_LT(AnsiCompareStr("\xB8\xE6", "\xE5\xE7"), 0);  // ёж < ез
}

TEST(Text, LocaleCompareCases) {
  EXPECT_EQ(AnsiCompareText("\xCF\xE5\xF2\xF0\xEE\xE2", "\xEF\xC5\xD2\xD0\xCE\xC2"), 0);  // Петров
  EXPECT_NE(AnsiCompareStr("\xCF\xE5\xF2\xF0\xEE\xE2", "\xEF\xE5\xF2\xF0\xEE\xE2"), 0);
  EXPECT_LT(AnsiCompareStr("abc", "ABC"), 0);  // lower case first
  EXPECT_LT(AnsiCompareText("abc", "ABD"), 0);
  EXPECT_LT(AnsiCompareText("ab", "abc"), 0);
  EXPECT_TRUE(AnsiSameText("SELECT", "select"));
  EXPECT_FALSE(AnsiSameText("co-op", "coop"));
  // A hyphen only counts once the letters are equal.
  EXPECT_LT(AnsiCompareStr("co-op", "cop"), 0);
  EXPECT_NE(AnsiCompareStr("co-op", "coop"), 0);
  EXPECT_EQ(AnsiCompareStr("", ""), 0);
  EXPECT_LT(AnsiCompareStr("", "a"), 0);
}

TEST(Text, LocaleCompareIsATotalOrder) {
  std::vector<std::string> v;
  const char* parts[] = {"a", "A", "\xE5", "\xB8", "\xA8", "-", "'", "1", " "};
  for (const char* x : parts)
    for (const char* y : parts) v.push_back(std::string(x) + y);
  for (const auto& a : v)
    for (const auto& b : v) {
      EXPECT_EQ(AnsiCompareStr(a, b), -AnsiCompareStr(b, a));
      EXPECT_EQ(AnsiCompareStr(a, b) == 0, a == b);
      EXPECT_EQ(AnsiCompareText(a, b) == 0, AnsiUpperCase(a) == AnsiUpperCase(b));
    }
}

TEST(Text, PosAndTrim) {
  EXPECT_EQ(Pos("b", "abc"), 2);
  EXPECT_EQ(Pos("x", "abc"), 0);
  EXPECT_EQ(Pos("", "abc"), 0);
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a \x01"), "  a");
  EXPECT_EQ(Trim("   "), "");
}

}  // namespace
