#include "dbf_engine/string_tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

int32_t Find(const std::string& pat, const std::string& buf, int32_t start = 0) {
  return SearchBuf(pat.data(), buf.data(), start, static_cast<int32_t>(buf.size()), static_cast<int32_t>(pat.size()));
}

int32_t FindI(const std::string& pat, const std::string& buf, int32_t start = 0) {
  return SearchBufI(pat.data(), buf.data(), start, static_cast<int32_t>(buf.size()), static_cast<int32_t>(pat.size()));
}

TEST(StringTools, SearchBufFindsFirstOccurrenceFromStart) {
  EXPECT_EQ(Find("abc", "xxabcxxabc"), 2);
  EXPECT_EQ(Find("abc", "xxabcxxabc", 3), 7);
  EXPECT_EQ(Find("abc", "xxabcxxab", 3), -1);
  // start + pattern length equal to the buffer length still finds the end.
  EXPECT_EQ(Find("abc", "xxabc", 2), 2);
  EXPECT_EQ(Find("abc", "xxabc", 3), -1);
  EXPECT_EQ(Find("aab", "aaaab"), 2);
  EXPECT_EQ(Find("\xC8\xE2", "\x88\xC8\xE2"), 1);  // bytes above 127
  EXPECT_EQ(Find("abc", "ABC"), -1);
}

TEST(StringTools, SearchBufRefusesBadArguments) {
  std::string buf = "abc";
  EXPECT_EQ(SearchBuf(nullptr, buf.data(), 0, 3, 1), -1);
  EXPECT_EQ(SearchBuf("a", nullptr, 0, 3, 1), -1);
  EXPECT_EQ(SearchBuf("a", buf.data(), -1, 3, 1), -1);
  EXPECT_EQ(SearchBuf("a", buf.data(), 0, 3, 0), -1);
  EXPECT_EQ(SearchBuf("abcd", buf.data(), 0, 3, 4), -1);
  EXPECT_EQ(SearchBuf("a", buf.data(), 0x7FFFFFFF, 3, 1), -1);
}

TEST(StringTools, SearchBufIFoldsAsciiOnly) {
  EXPECT_EQ(FindI("PhOnE", "my phones"), 3);
  EXPECT_EQ(FindI("abc", "xABC"), 1);
  EXPECT_EQ(FindI("\xE0", "\xC0"), -1);  // а and А differ: no locale here
}

TEST(StringTools, SearchBufAgreesWithPlainSearch) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string buf(rng() % 40, ' '), pat(1 + rng() % 4, ' ');
    for (char& c : buf) c = "abAB"[rng() % 4];
    for (char& c : pat) c = "abAB"[rng() % 4];
    int32_t start = static_cast<int32_t>(rng() % 10);
    size_t p = buf.find(pat, static_cast<size_t>(start));
    int32_t expected =
        (static_cast<size_t>(start) + pat.size() > buf.size() || p == std::string::npos) ? -1 : int32_t(p);
    ASSERT_EQ(Find(pat, buf, start), expected) << pat << " in " << buf << " from " << start;
  }
}

TEST(StringTools, FileNames) {
  EXPECT_EQ(ExtractFileNameOnly("C:\\DATA\\PHONES.DBF"), "PHONES");
  EXPECT_EQ(ExtractFileNameOnly("data/phones.dbf"), "phones");
  EXPECT_EQ(ExtractFileNameOnly("phones"), "phones");
  EXPECT_EQ(ChangeFileExtEmpty("phones.ntx", ".ndx"), "phones.ntx");
  EXPECT_EQ(ChangeFileExtEmpty("phones", ".ndx"), "phones.ndx");
  EXPECT_EQ(ChangeFileExtEmpty("my.dir/phones", ".ndx"), "my.dir/phones.ndx");
}

TEST(StringTools, Hex) {
  char h, l;
  Byte2Hex(0xA7, h, l);
  EXPECT_EQ(h, 'A');
  EXPECT_EQ(l, '7');
  Byte2Hex(0x0F, h, l);
  EXPECT_EQ(h, '0');
  EXPECT_EQ(l, 'F');
  uint8_t b = 0;
  Hex2Byte(b, 'F', 'E');
  EXPECT_EQ(b, 0xFE);
  Hex2Byte(b, 'f', '1');  // lower case counts as 0
  EXPECT_EQ(b, 0x01);
  for (int v = 0; v < 256; ++v) {
    Byte2Hex(static_cast<uint8_t>(v), h, l);
    Hex2Byte(b, h, l);
    EXPECT_EQ(b, v);
  }
}

TEST(StringTools, CompareAndPad) {
  EXPECT_EQ(CmprIntegers(1, 2), -1);
  EXPECT_EQ(CmprIntegers(2, 2), 0);
  EXPECT_EQ(CmprIntegers(INT32_MIN, INT32_MAX), -1);
  EXPECT_EQ(PadL("ABCDE", 3), "CDE");
  EXPECT_EQ(PadR("ABCDE", 3), "ABC");
  EXPECT_EQ(PadL("AB", 4), "  AB");
  EXPECT_EQ(PadR("AB", 4), "AB  ");
  EXPECT_EQ(PadL("", 4), "");
  EXPECT_EQ(PadR("", 4), "");
  EXPECT_EQ(PadR("AB", 1000).size(), 255u);
  EXPECT_EQ(PadL("AB", -1), "");

  char buf[8] = "ab";
  StrPadR(buf, '.', 5);
  EXPECT_STREQ(buf, "ab...");
  StrPadR(buf, '.', 3);
  EXPECT_STREQ(buf, "ab...");
}

TEST(StringTools, StripFlip) {
  EXPECT_EQ(Strip_Flip("A~B"), "B A");
  EXPECT_EQ(Strip_Flip("Smith~John  \r\n"), "John Smith");
  EXPECT_EQ(Strip_Flip("plain   "), "plain ");
  EXPECT_EQ(Strip_Flip(""), " ");
  EXPECT_EQ(Strip_Flip("a~b~c"), "b~c a");
}

TEST(StringTools, UniqueFieldNames) {
  // Smallest and largest clock readings still give 8 characters.
  EXPECT_EQ(UniqueFieldName(1, 1, 0, 0, 0, 0).size(), 8u);
  EXPECT_EQ(UniqueFieldName(12, 31, 23, 59, 59, 999).size(), 8u);
  // d = 10101: 10101 mod 26 = 13 -> "N"; 10101 div 26 = 388 -> "S", "A";
  // t = 10000000 -> base 36 least significant first.
  EXPECT_EQ(UniqueFieldName(1, 1, 0, 0, 0, 0), "NSAS1CY5");
  // Seconds and milliseconds share digits: 00.150 and 01.050 read alike.
  EXPECT_EQ(UniqueFieldName(5, 5, 12, 0, 0, 150), UniqueFieldName(5, 5, 12, 0, 1, 50));
  // So names are never repeated, not merely different from the last one.
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string n = Unique_Field();
    EXPECT_EQ(n.size(), 8u);
    EXPECT_TRUE(seen.insert(n).second) << n;
  }
}

TEST(StringTools, SplitIndexListQuotesProtectSeparators) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitIndexList(""), V{});
  EXPECT_EQ(SplitIndexList(" ,; ;, "), V{});
  EXPECT_EQ(SplitIndexList("a.ntx,b;c"), (V{"a.ntx", "b", "c"}));
  EXPECT_EQ(SplitIndexList(" \"my dir/a,b\".ndx ;;\"\"; c "), (V{"my dir/a,b.ndx", "c"}));
  // Quotes inside a name join its parts; an unclosed quote runs to the end.
  EXPECT_EQ(SplitIndexList("x\"y\"z, \"p;q"), (V{"xyz", "p;q"}));
}

}  // namespace
