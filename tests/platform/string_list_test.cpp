#include "platform/string_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/exceptions.h"

namespace {

TEST(StringListTest, UnsortedBasicsAndBounds) {
  TStringList l;
  int one = 1;
  EXPECT_EQ(l.Add("b"), 0);
  EXPECT_EQ(l.AddObject("a", &one), 1);
  l.Insert(0, "c");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l[0], "c");
  EXPECT_EQ(l.ObjectAs<int>(2), &one);
  EXPECT_EQ(l.IndexOf("B"), 1);  // case-insensitive by default
  EXPECT_EQ(l.IndexOfObject(&one), 2);
  l.SetCaseSensitive(true);
  EXPECT_EQ(l.IndexOf("B"), -1);
  l.Delete(0);
  EXPECT_EQ(l[0], "b");
  EXPECT_THROW(l.Strings(2), EListError);
  EXPECT_THROW(l.Delete(-1), EListError);
  EXPECT_THROW(l.Insert(5, "x"), EListError);
  try {
    l.Strings(7);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (7)");
  }
  l.Move(0, 1);
  EXPECT_EQ(l[0], "a");
}

TEST(StringListTest, SortedFindAndDuplicates) {
  TStringList l;
  l.SetSorted(true);
  for (const char* s : {"pear", "Apple", "fig", "apple"}) l.Add(s);
  ASSERT_EQ(l.Count(), 3);  // dupIgnore: "apple" equals "Apple" without case
  EXPECT_EQ(l[0], "Apple");
  EXPECT_EQ(l[2], "pear");
  int i = -1;
  EXPECT_TRUE(l.Find("FIG", i));
  EXPECT_EQ(i, 1);
  EXPECT_FALSE(l.Find("grape", i));
  EXPECT_EQ(i, 2);
  EXPECT_THROW(l.Insert(0, "x"), EListError);
  l.SetDuplicates(dupError);
  EXPECT_THROW(l.Add("PEAR"), EListError);
  l.SetDuplicates(dupAccept);
  l.Add("PEAR");
  EXPECT_EQ(l.Count(), 4);
  EXPECT_TRUE(l.Find("pear", i));
  EXPECT_EQ(i, 2);  // the first of equal entries
  // Cyrillic orders by the locale, not by bytes: "Ё" sorts between "Е" and "Ж"
  TStringList c;
  c.SetSorted(true);
  c.Add("\xC6");  // Ж
  c.Add("\xA8");  // Ё
  c.Add("\xC5");  // Е
  EXPECT_EQ(c[0], "\xC5");
  EXPECT_EQ(c[1], "\xA8");
}

TEST(StringListTest, NamesAndValues) {
  TStringList l;
  l.Add("Default Directory");
  l.Add("PHONES=/data/base");
  l.Add("x=");
  EXPECT_EQ(l.Names(0), "");
  EXPECT_EQ(l.Names(1), "PHONES");
  EXPECT_EQ(l.Values("phones"), "/data/base");
  EXPECT_EQ(l.IndexOfName("X"), 2);
  EXPECT_EQ(l.Values("missing"), "");
  l.SetValue("phones", "/other");
  EXPECT_EQ(l[1], "phones=/other");
  l.SetValue("new", "1");
  EXPECT_EQ(l[3], "new=1");
  l.SetValue("new", "");
  EXPECT_EQ(l.Count(), 3);
}

TEST(StringListTest, TextAndCommaTextRoundTrip) {
  TStringList l;
  l.SetText("one\r\ntwo\nthree\rfour");
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l.Text(), "one\r\ntwo\r\nthree\r\nfour\r\n");
  TStringList c;
  c.Add("plain");
  c.Add("with blank");
  c.Add("say \"hi\"");
  c.Add("a,b");
  c.Add("");
  std::string t = c.CommaText();
  EXPECT_EQ(t, "plain,\"with blank\",\"say \"\"hi\"\"\",\"a,b\",");
  TStringList back;
  back.SetCommaText(t);
  ASSERT_EQ(back.Count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(back[i], c[i]);
  back.SetCommaText("a b, c");  // blanks separate as well
  EXPECT_EQ(back.Count(), 3);
  back.SetCommaText("\"unterminated");
  EXPECT_EQ(back[0], "unterminated");
}

TEST(StringListTest, Files) {
  auto dir = std::filesystem::temp_directory_path() / ("sl_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TStringList l;
  l.Add("\xCF\xF0\xE8\xE2\xE5\xF2");
  l.Add("b");
  std::string path = (dir / "list.txt").string();
  l.SaveToFile(path);
  TStringList r;
  r.LoadFromFile(path);
  EXPECT_EQ(r.Text(), l.Text());
  EXPECT_THROW(r.LoadFromFile((dir / "missing.txt").string()), EInOutError);
  std::filesystem::remove_all(dir);
}

TEST(StringListTest, ChangeNotificationsPairAroundEditsAndUpdates) {
  TStringList l;
  std::string log;
  l.OnChanging = [&](TStringList* sender) { log += sender == &l ? "<" : "?"; };
  l.OnChange = [&](TStringList* sender) { log += sender == &l ? ">" : "?"; };
  l.Add("a");
  l.Insert(0, "b");
  l.Delete(1);
  EXPECT_EQ(log, "<><><>");
  // Refused edits and edits that change nothing stay quiet.
  log.clear();
  EXPECT_THROW(l.Delete(5), EListError);
  l.Clear();
  l.Clear();
  EXPECT_EQ(log, "<>");
  l.SetSorted(true);
  log.clear();
  l.Add("x");
  l.Add("x");  // ignored duplicate
  EXPECT_EQ(log, "<>");
  l.SetSorted(false);
  // Nested updates: one pair from the outermost Begin/End, none inside.
  log.clear();
  l.BeginUpdate();
  l.BeginUpdate();
  l.Add("p");
  l.SetText("q\r\nr");
  l.EndUpdate();
  EXPECT_EQ(log, "<");
  EXPECT_EQ(l.UpdateCount(), 1);
  l.EndUpdate();
  EXPECT_EQ(log, "<>");
  l.EndUpdate();  // unbalanced: ignored
  EXPECT_EQ(l.UpdateCount(), 0);
  // Bulk edits count as one change.
  log.clear();
  l.SetCommaText("a,b,c");
  TStringList other;
  other.Add("z");
  l.Assign(other);
  l.SetValue("k", "v");
  EXPECT_EQ(log, "<><><>");
  // A copy carries the texts, not the handlers.
  TStringList copy(l);
  log.clear();
  copy.Add("w");
  EXPECT_EQ(log, "");
  EXPECT_EQ(copy.Count(), 3);
  // A handler that raises leaves with its error after the edit is done.
  l.OnChange = [](TStringList*) { throw EListError("refused"); };
  EXPECT_THROW(l.Add("y"), EListError);
  EXPECT_EQ(l.IndexOf("y"), 2);
  EXPECT_EQ(l.UpdateCount(), 0);
}

}  // namespace
