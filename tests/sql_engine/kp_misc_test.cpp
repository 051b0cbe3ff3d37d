// Utility routines of the query engine: names, brackets, replacing, hex.
#include <gtest/gtest.h>

#include <filesystem>

#include "sql_engine/cnv_str_utils.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/store/field_expr_type.h"
#include "store_test_util.h"

namespace {

TEST(KpMisc, ReplaceStringReplacesEachOccurrenceOnce) {
  std::string s = "a.b.c";
  ReplaceString(s, ".", "..");  // the new text holds the old: one pass, no loop
  EXPECT_EQ(s, "a..b..c");
  s = "x DummyDate( y DummyDate(";
  ReplaceString(s, "DummyDate(", "");
  EXPECT_EQ(s, "x  y ");
  s = "aaa";
  ReplaceString(s, "aa", "b");
  EXPECT_EQ(s, "ba");
  s = "Abc";
  ReplaceString(s, "abc", "ABC");  // equal ignoring case: nothing happens
  EXPECT_EQ(s, "Abc");
  ReplaceString(s, "", "x");
  EXPECT_EQ(s, "Abc");
  ReplaceString(s, "bc", "bcbc");
  EXPECT_EQ(s, "Abcbc");
}

TEST(KpMisc, SquareBrackets) {
  EXPECT_EQ(AddSquareBrackets("Order"), "Order");
  EXPECT_EQ(AddSquareBrackets("when"), "[when]");
  EXPECT_EQ(AddSquareBrackets("2nd"), "[2nd]");
  EXPECT_EQ(AddSquareBrackets("first name"), "[first name]");
  EXPECT_EQ(AddSquareBrackets("\xD4\xE0\xEC\xE8\xEB\xE8\xFF"), "[\xD4\xE0\xEC\xE8\xEB\xE8\xFF]");  // Фамилия
  EXPECT_EQ(AddSquareBrackets("[a b]"), "[a b]");
  EXPECT_EQ(AddSquareBrackets("["), "[[]");
  EXPECT_EQ(AddSquareBrackets(""), "");
  EXPECT_EQ(AddSquareBrackets("Tel_2"), "Tel_2");
  EXPECT_EQ(TrimSquareBrackets("[a b]"), "a b");
  EXPECT_EQ(TrimSquareBrackets("["), "[");
  EXPECT_EQ(TrimSquareBrackets("[]"), "");
}

TEST(KpMisc, SmallHelpers) {
  EXPECT_EQ(RemoveStrDelim("'abc\""), "abc");
  EXPECT_EQ(RemoveStrDelim("'"), "'");
  EXPECT_EQ(RemoveStrDelim("abc'"), "abc'");
  EXPECT_EQ(AddSlash("c:\\dir"), "c:\\dir\\");
  EXPECT_EQ(AddSlash("c:\\dir\\"), "c:\\dir\\");
  EXPECT_EQ(AddSlash(""), "");
  EXPECT_TRUE(VarMin(Variant(1), Variant(2.5)).SameAs(Variant(1)));
  EXPECT_TRUE(VarMax(Variant(1), Variant(2.5)).SameAs(Variant(2.5)));
  EXPECT_TRUE(VarMax(Variant(2), Variant(2.0)).SameAs(Variant(2.0)));  // equal: the second
  EXPECT_EQ(Field2Exprtype(ftMemo), ttString);
  EXPECT_EQ(Field2Exprtype(ftDate), ttFloat);
  EXPECT_EQ(Field2Exprtype(ftLargeint), ttInteger);
  EXPECT_EQ(Field2Exprtype(ftBoolean), ttBoolean);
  EXPECT_EQ(Field2Exprtype(ftFixedChar), ttString);
}

TEST(KpMisc, TemporaryFileNameUsesThreeCharactersOfThePrefix) {
  ScopedTempDir tmp;
  std::string name = GetTemporaryFileName("~kpxyz");
  EXPECT_TRUE(std::filesystem::exists(name));
  EXPECT_EQ(std::filesystem::path(name).parent_path(), tmp.Path());
  std::string base = std::filesystem::path(name).filename().string();
  EXPECT_EQ(base.substr(0, 3), "~kp");
  EXPECT_EQ(base.find("xyz"), std::string::npos);
  EXPECT_NE(GetTemporaryFileName("~kp"), name);
}

TEST(CnvStrUtils, HexText) {
  EXPECT_EQ(StringToHex("abc"), "616263");
  EXPECT_EQ(StringToHex(std::string("\x00\xff", 2)), "00FF");
  EXPECT_EQ(HexToString("616263"), "abc");
  EXPECT_EQ(HexToString("61626a"), "abj");
  EXPECT_EQ(HexToString(""), "");
  EXPECT_EQ(HexToInt("7fffffff"), 2147483647);
  EXPECT_EQ(HexToInt("FFFFFFFF"), -1);
  try {
    HexToString("6G");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "G is not a hex digit");
  }
  EXPECT_THROW(HexToString("616"), Exception);  // the last pair is incomplete
  EXPECT_THROW(HexToInt("12 "), Exception);
}

}  // namespace
