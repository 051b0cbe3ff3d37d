// Record handler: locating records by field values (through an index when
// one fits, else by a scan), building keys and the free text search.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/messages.h"
#include "platform/variant.h"
#include "dbf_engine/maintenance_test_util.h"

using namespace mtest;

namespace {

// NAME C(10), CITY C(10), N N(5,0).
std::string MakePeople(const TempDir& dir, const std::vector<std::tuple<std::string, std::string, int>>& rows) {
  const std::string file = dir / "people.dbf";
  if (!cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
        if (i == 1) n = "NAME", t = "C", l = 10, d = 0;
        if (i == 2) n = "CITY", t = "C", l = 10, d = 0;
        if (i == 3) n = "N", t = "N", l = 5, d = 0;
        return true;
      }))
    throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (const auto& [name, city, n] : rows) {
    h.cvBlank();
    h.cvStringPut("NAME", name);
    h.cvStringPut("CITY", city);
    h.cvNumberPut("N", n);
    h.cvAppend();
  }
  h.cvCloseTable();
  return file;
}

const std::vector<std::tuple<std::string, std::string, int>> kPeople = {
    {"Smithson", "Omsk", 1}, {"Smith", "Tver", 2}, {"smith", "Omsk", 3},
    {"Adams", "Kursk", 4},   {"Smith", "Omsk", 5}, {"Smyth", "Tomsk", 6},
};

Variant Values(std::vector<Variant> v) { return Variant::ArrayOf(std::move(v)); }

struct Case {
  const char* fields;
  std::vector<Variant> values;
  bool noCase, partial;
};

// The record located (0 when none) for every case, with the given tag
// built and active (empty: no index).
std::vector<int32_t> LocateAll(const std::string& key, const std::string& forExpr, const std::vector<Case>& cases) {
  TempDir dir;
  const std::string t = MakePeople(dir, kPeople);
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  if (!key.empty()) {
    EXPECT_EQ(h.cvIndexTo("k.cdx", "K", key, forExpr, CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    EXPECT_EQ(h.cvIndexTo("n.ndx", "", "N", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    EXPECT_EQ(h.cvIndex("n.ndx;k.cdx", "K"), 0);
  }
  std::vector<int32_t> out;
  for (const auto& c : cases) {
    const bool found = h.cvLocateRecord(c.fields, Values(c.values), c.noCase, c.partial);
    out.push_back(found ? h.cvCurrentRecord() : 0);
    if (!key.empty()) {
      EXPECT_EQ(h.cvActiveTagName(), "K");  // the order stays the table's
    }
  }
  return out;
}

TEST(Locate, IndexAndScanAgreeForEveryKindOfKey) {
  const std::vector<Case> cases = {
      {"NAME", {"Smith"}, false, false},
      {"NAME", {"smith"}, true, false},
      {"NAME", {"Smi"}, false, true},
      {"NAME;CITY", {"Smith", "Omsk"}, false, false},
      {"NAME;CITY", {"Smith", "Om"}, false, true},
      {"NAME;CITY", {"Smi", "Omsk"}, false, true},
      {"NAME", {"Nobody"}, false, false},
      {"CITY;NAME", {"Omsk", "Smith"}, false, false},
      {"NAME", {"SMYTH"}, true, true},
      {"N", {5}, false, false},
  };
  const std::vector<int32_t> expected = {2, 2, 1, 5, 5, 0, 0, 5, 6, 5};
  EXPECT_EQ(LocateAll("", "", cases), expected);
  EXPECT_EQ(LocateAll("NAME", "", cases), expected);
  EXPECT_EQ(LocateAll("NAME+CITY", "", cases), expected);
  EXPECT_EQ(LocateAll("LEFT(NAME,3)", "", cases), expected);
  EXPECT_EQ(LocateAll("UPPER(NAME)", "", cases), expected);
  EXPECT_EQ(LocateAll("STR(N,5)", "", cases), expected);
  EXPECT_EQ(LocateAll("NAME", "N > 2", cases), expected);
  EXPECT_EQ(LocateAll("CITY", "", cases), expected);
}

TEST(Locate, PartialMatchesAPrefixOnlyInTheLastField) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, kPeople), "", true, false);
  h.kvSetTranslateAscii(false);
  EXPECT_TRUE(h.cvLocateRecord("CITY;NAME", Values({"Omsk", "Smiths"}), false, true));
  EXPECT_EQ(h.cvCurrentRecord(), 1);
  EXPECT_FALSE(h.cvLocateRecord("NAME;CITY", Values({"Smiths", "Omsk"}), false, true));
  EXPECT_TRUE(h.cvEOF());
  // A value list shorter than the field list: only the fields given count.
  EXPECT_TRUE(h.cvLocateRecord("NAME;CITY;N", Values({"Smith"}), false, false));
  EXPECT_EQ(h.cvCurrentRecord(), 2);
  EXPECT_TRUE(h.cvLocateRecord("CITY", Variant("Kursk"), false, false));
  EXPECT_EQ(h.cvCurrentRecord(), 4);
  // Hidden deleted records are not found.
  h.cvGetRec(4);
  h.cvDeleteRec();
  h.cvPutRec(4);
  h.cvSetShowDeleted(false);
  EXPECT_FALSE(h.cvLocateRecord("CITY", Variant("Kursk"), false, false));
}

TEST(Locate, EmptyTableGivesFalse) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, {}), "", true, false);
  EXPECT_FALSE(h.cvLocateRecord("NAME", Values({"x"}), false, false));
  EXPECT_FALSE(h.cvLocateRecord("NAME", Values({"x"}), true, true));
}

TEST(BuildKey, PlacesValuesIntoTheKeyFields) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, kPeople), "", true, false);
  h.kvSetTranslateAscii(false);
  EXPECT_EQ(h.cvBuildKey({Variant("Smith"), Variant("Omsk")}, 2, "NAME+CITY"), "Smith     Omsk      ");
  EXPECT_EQ(h.cvBuildKey({Variant("Smith"), Variant("Omsk")}, 1, "NAME+CITY"), "Smith               ");
  EXPECT_EQ(h.cvBuildKey({Variant("Smith")}, 5, "UPPER(NAME)+CITY"), "SMITH               ");
  EXPECT_EQ(h.cvBuildKey({Variant(int32_t{42})}, 1, "STR(N,5)"), "   42");
  h.cvGetRec(3);
  EXPECT_EQ(Trimmed(h.cvStringGet("NAME")), "smith");  // the table's image is untouched
}

// --- Search -------------------------------------------------------------------

int32_t Search(CVO_dBHandler& h, const std::string& text, uint16_t opts, int field = 0, int32_t from = 0,
               int32_t last = 0, int32_t* rec = nullptr) {
  h.cvSetSearchOptions(opts);
  int f = field;
  int32_t r = from;
  const int32_t pos = h.cvSearchDBF(text, f, r, last);
  if (rec) *rec = pos ? r : 0;
  return pos;
}

TEST(Search, StarModeShapes) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, kPeople), "", true, false);
  h.kvSetTranslateAscii(false);
  int32_t rec = 0;
  const uint16_t star = cvSearchStars;
  // No stars: the whole field.
  EXPECT_GT(Search(h, "Smith", star, 1, 0, 0, &rec), 0);
  EXPECT_EQ(rec, 2);
  EXPECT_EQ(Search(h, "Smit", star, 1), 0);
  // Trailing star: at the start.
  EXPECT_EQ(Search(h, "Smit*", star, 1, 0, 0, &rec), 1);
  EXPECT_EQ(rec, 1);
  EXPECT_EQ(Search(h, "mith*", star, 1), 0);
  // Leading star: at the end.
  EXPECT_EQ(Search(h, "*son", star, 1, 0, 0, &rec), 6);
  EXPECT_EQ(rec, 1);
  EXPECT_EQ(Search(h, "*Smi", star, 1), 0);
  // Both: anywhere.
  EXPECT_EQ(Search(h, "*mit*", star, 1, 0, 0, &rec), 2);
  EXPECT_EQ(rec, 1);
  // "?" stands for any one character.
  EXPECT_GT(Search(h, "Sm?th", star, 1, 0, 0, &rec), 0);
  EXPECT_EQ(rec, 2);
  EXPECT_GT(Search(h, "Sm?th", star, 1, 2, 0, &rec), 0);
  EXPECT_EQ(rec, 5);
  EXPECT_GT(Search(h, "Sm?th", star | cvSearchNoCase, 1, 2, 0, &rec), 0);
  EXPECT_EQ(rec, 3);
}

TEST(Search, PlainModeWholeStartAnchorAndTypes) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, kPeople), "", true, false);
  h.kvSetTranslateAscii(false);
  int32_t rec = 0;
  EXPECT_EQ(Search(h, "msk", 0, 0, 0, 0, &rec), 2);  // anywhere, any field
  EXPECT_EQ(rec, 1);
  EXPECT_EQ(Search(h, "OMSK", 0), 0);
  EXPECT_EQ(Search(h, "OMSK", cvSearchNoCase, 0, 0, 0, &rec), 1);
  EXPECT_EQ(rec, 1);
  EXPECT_EQ(Search(h, "msk", cvSearchAnchor, 2), 0);
  EXPECT_EQ(Search(h, "Tom", cvSearchAnchor, 2, 0, 0, &rec), 1);
  EXPECT_EQ(rec, 6);
  EXPECT_EQ(Search(h, "Smith", cvSearchWholeStart, 1, 0, 0, &rec), 1);
  EXPECT_EQ(rec, 1);
  // lastRec stops the scan.
  EXPECT_EQ(Search(h, "Tomsk", 0, 2, 0, 5), 0);
  EXPECT_GT(Search(h, "Tomsk", 0, 2, 0, 6), 0);
  // Numbers compare by value; a field number out of range or an empty text
  // finds nothing.
  EXPECT_GT(Search(h, "4.0", 0, 3, 0, 0, &rec), 0);
  EXPECT_EQ(rec, 4);
  EXPECT_EQ(Search(h, "x4", 0, 3), 0);
  EXPECT_EQ(Search(h, "Omsk", 0, 4), 0);
  EXPECT_EQ(Search(h, "", 0), 0);
  // Not found: the table goes back to the record the scan started from.
  EXPECT_EQ(Search(h, "Nowhere", 1, 0, 3), 0);
  EXPECT_EQ(h.cvCurrentRecord(), 3);
}

// A C field is compared over its whole width: a text ending in blanks
// matches where the field's letters run into its padding; only the end of
// the field's own letters counts where the text must end with the field.
TEST(Search, TrailingBlanksOfTheTextMatchTheFieldsPadding) {
  TempDir dir;
  CVO_dBHandler h(MakePeople(dir, {{"abab", "", 1}, {"Ab", "", 2}, {"ab cd", "", 3}, {"abcdefghij", "", 4}}), "",
                  true, false);
  h.kvSetTranslateAscii(false);
  const uint16_t star = cvSearchStars, noCase = cvSearchNoCase;
  struct Want {
    const char* text;
    uint16_t opts;
    int32_t pos, rec;
  };
  const std::vector<Want> cases = {
      // Anywhere: into the padding after the letters.
      {"ab  ", 0, 3, 1},
      {"AB  ", noCase, 3, 1},
      {"AB  ", 0, 0, 0},
      {"cd  ", 0, 4, 3},
      {"b c", 0, 2, 3},
      {"ij ", 0, 0, 0},  // a full field has no padding
      {"ij", 0, 9, 4},
      {"abab       ", 0, 0, 0},  // longer than the field
      // Anchored at the start.
      {"ab  ", cvSearchAnchor, 0, 0},
      {"ab  ", cvSearchAnchor | noCase, 1, 2},
      // Whole-start: the field cut to the text's length.
      {"ab  ", cvSearchWholeStart | noCase, 1, 2},
      {"ab", cvSearchWholeStart | noCase, 1, 1},
      {"abab      ", cvSearchWholeStart, 1, 1},
      // Star mode: the whole field, at the start, at the end, anywhere.  The
      // end of the field's letters is never a blank, so a text ending in
      // blanks never ends there.
      {"ab  ", star | noCase, 0, 0},
      {"ab", star | noCase, 1, 2},
      {"ab *", star | noCase, 1, 2},
      {"*ab  ", star | noCase, 0, 0},
      {"*ab", star | noCase, 3, 1},
      {"*b  *", star | noCase, 4, 1},
      {"*d *", star, 5, 3},
      {"a?  *", star | noCase, 1, 2},
  };
  for (const Want& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.text << "' options " << c.opts);
    int32_t rec = -1;
    EXPECT_EQ(Search(h, c.text, c.opts, 1, 0, 0, &rec), c.pos);
    EXPECT_EQ(rec, c.rec);
  }
  // Every field: the padding of one field does not run into the next.
  EXPECT_EQ(Search(h, "d  ", 0, 0, 0, 0), 5);
  EXPECT_EQ(Search(h, "ab          ", 0, 0), 0);
}

// The translated text of a field, with its padding, is what the search sees.
TEST(Search, TrailingBlanksMatchInTheTranslatedText) {
  TempDir dir;
  const std::string t = MakePeople(dir, {{"x", "", 1}});
  const std::string word = "\xC6\xE8\xEB\xE5\xF6";  // a Cyrillic word in code page 1251
  {
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    h.cvGetRec(1);
    h.cvFieldPush(1, kvSysAnsiToOem(word));
    h.cvPutRec(1);
  }
  CVO_dBHandler h(t, "", true, false);
  ASSERT_TRUE(h.kvGetTranslateAscii());
  int32_t rec = 0;
  EXPECT_EQ(Search(h, "\xE5\xF6 ", 0, 1, 0, 0, &rec), 4);
  EXPECT_EQ(rec, 1);
  EXPECT_EQ(Search(h, "\xC5\xD6  ", cvSearchNoCase, 1, 0, 0, &rec), 4);
  EXPECT_EQ(Search(h, kvSysAnsiToOem("\xE5\xF6 "), 0, 1), 0);
}

TEST(Search, ReportsProgressAndRestoresOrderAndState) {
  TempDir dir;
  const std::string t = MakePeople(dir, kPeople);
  Recorder h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndexTo("n.cdx", "NAME", "NAME", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  ASSERT_EQ(h.cvIndex("n.cdx", "NAME"), 0);
  h.reports.clear();
  int32_t rec = 0;
  EXPECT_GT(Search(h, "Kursk", 0, 2, 0, 0, &rec), 0);
  EXPECT_EQ(rec, 4);
  const std::vector<std::tuple<int32_t, int32_t, int32_t>> want = {{-1, 21, 6}, {21, 1, 0}, {21, 2, 0},
                                                                   {21, 3, 0},  {21, 4, 0}, {0, 4, 0}};
  EXPECT_EQ(h.reports, want);
  EXPECT_EQ(h.cvState(), dbBrowse);
  EXPECT_EQ(h.cvActiveTagName(), "NAME");
  EXPECT_EQ(Names(h).front(), "Adams");
  // Keeping the tag: the scan follows the index (Adams is first).
  h.reports.clear();
  EXPECT_GT(Search(h, "Kursk", cvSearchKeepTag | cvSearchKeepState, 2, 0, 0, &rec), 0);
  EXPECT_EQ(h.reports.back(), std::make_tuple(0, 1, 0));
}

}  // namespace
