#include "search_text.h"

#include <gtest/gtest.h>

#include "platform/code_page.h"

namespace {

std::string W(std::string_view utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToCp1251(utf8, out));
  return out;
}

TEST(SearchText, DocumentedLayouts) {
  TSearchFields f;
  EXPECT_EQ(BuildSearchText(f), "");
  f.Tel = "542783";
  f.Fm = W("ИВАНОВ");
  EXPECT_EQ(BuildSearchText(f), W("select * from phones where     tel like '542783' and fm like 'ИВАНОВ%'   ;"));
  f = {};
  f.Nd = "5";
  EXPECT_EQ(BuildSearchText(f), "select * from phones where        nd='5' ;");
  f = {};
  f.Kw = "12";
  EXPECT_EQ(BuildSearchText(f), "select * from phones where         kw='12';");
  // A field of blanks takes part.
  f = {};
  f.Ul = "  ";
  EXPECT_EQ(BuildSearchText(f), "select * from phones where       ul like '  %'  ;");
}

// Every combination of filled and empty fields: the places keep their
// blanks, only the first conjunction is blanked, the conditions come in the
// fixed order.
TEST(SearchText, AllCombinations) {
  const char* const pieces[5] = {"and tel like '1%'", "and fm like 'F%'", "and ul like 'U%'", "and nd='N'",
                                 "and kw='K'"};
  for (int mask = 0; mask < 32; ++mask) {
    TSearchFields f;
    if (mask & 1) f.Tel = "1%";
    if (mask & 2) f.Fm = "F";
    if (mask & 4) f.Ul = "U";
    if (mask & 8) f.Nd = "N";
    if (mask & 16) f.Kw = "K";
    std::string expected;
    if (mask != 0) {
      expected = "select * from phones where";
      bool first = true;
      for (int i = 0; i < 5; ++i) {
        expected += ' ';
        if (!(mask & (1 << i))) continue;
        std::string p = pieces[i];
        if (first) p.replace(0, 3, "   ");
        first = false;
        expected += p;
      }
      expected += ';';
    }
    EXPECT_EQ(BuildSearchText(f), expected) << "mask " << mask;
  }
}

TEST(SearchText, QuotesKeepInputALiteral) {
  TSearchFields f;
  f.Fm = W("О'БРАЙЕН");
  EXPECT_EQ(BuildSearchText(f), W("select * from phones where      fm like \"О'БРАЙЕН%\"   ;"));
  // An attempt to widen the search stays inside its literal.
  f = {};
  f.Tel = "' or tel like '%";
  EXPECT_EQ(BuildSearchText(f), "select * from phones where     tel like \"' or tel like '%\"    ;");
  f.Tel = "\"x";
  EXPECT_EQ(BuildSearchText(f), "select * from phones where     tel like '\"x'    ;");
  f.Tel = "'\"";
  EXPECT_THROW(BuildSearchText(f), ESearchInput);
  // Long texts are never cut.
  f = {};
  f.Ul = std::string(5000, 'A');
  EXPECT_NE(BuildSearchText(f).find(std::string(5000, 'A') + "%'"), std::string::npos);
}

}  // namespace
