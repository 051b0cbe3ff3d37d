// Every search of a fixed list, run through the window over a generated city
// directory, against SQLite over the same rows (LIKE case-sensitive, as the
// query engine compares).  Searches on house and flat alone go through the
// DBF engine's filter bitmap (the others' LIKE is left to the query): both
// roads must give SQLite's rows.
#if DIRLOOK_HAVE_SQLITE
#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "directory_generator.h"
#include "gui_test_env.h"
#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "main_window.h"
#include "platform/code_page.h"
#include "platform/gui/controls.h"

using guitest::W;

namespace {

struct SearchCase {
  const char *tel, *fm, *ul, *nd, *kw;
  // The DBF filter takes the whole search: equalities, and LIKE of a whole
  // text, a prefix or a text found anywhere.
  bool dbfFilter = true;
};

std::vector<std::string> Tels(TListView* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->Count(); ++i) out.push_back(list->Item(i)->Caption());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(SearchOracle, TheWindowFindsWhatSqliteFinds) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("dirlook-oracle-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  sample::DirectoryImages images(sample::Style::kCity, 4000, 11);
  images.WriteTable((dir / "phones.dbf").string());

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_exec(db, "create table phones(tel text, fm text, ul text, nd text, kw text); pragma case_sensitive_like=on;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "insert into phones values(?,?,?,?,?)", -1, &ins, nullptr);
  using L = sample::Layout;
  const int at[5][2] = {
      {L::tel, L::telLength}, {L::fm, L::fmLength}, {L::ul, L::ulLength}, {L::nd, L::ndLength}, {L::kw, L::kwLength}};
  for (int32_t r = 1; r <= images.Records(); ++r) {
    for (int k = 0; k < 5; ++k) {
      const std::string v = Cp1251ToUtf8(images.Trimmed(r, at[k][0], at[k][1]));
      if (v.empty()) sqlite3_bind_null(ins, k + 1);  // an empty text is null to the query
      else sqlite3_bind_text(ins, k + 1, v.c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);

  const SearchCase cases[] = {
      {"542783", "", "", "", ""},       {"54%", "", "", "", ""},
      {"5_2%", "", "", "", ""},         {"", "ИВАНОВ", "", "", ""},
      {"", "ИВАНОВА М", "", "", ""},    {"", "%ОВА", "", "", ""},
      {"", "", "ЛЕНИНА", "", ""},       {"", "", "САДОВ%ПЕР", "", "", false},
      {"", "ПЕТРОВ", "ЛЕНИНА", "", ""}, {"", "", "ЛЕНИНА", "12", ""},
      {"", "", "", "12", ""},           {"", "", "", "", "1"},
      {"", "", "", "7", "3"},           {"%1", "", "", "5", "", false},
      {"", "ИВАНОВ", "", "", "12"},
  };
  std::filesystem::current_path(dir);
  {
    TMain main(nullptr);
    bool filtered = false;
    main.DBQuery->OnCancelQuery = [&](TCustomSift*, bool&) { filtered = main.HDS->Filtered(); };
    for (const SearchCase& c : cases) {
      const bool dbfFilter = c.dbfFilter;
      std::string where = "1=1";
      if (*c.tel) where += " and tel like ?1";
      if (*c.fm) where += " and fm like ?2 || '%'";
      if (*c.ul) where += " and ul like ?3 || '%'";
      if (*c.nd) where += " and nd = ?4";
      if (*c.kw) where += " and kw = ?5";
      sqlite3_stmt* q = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(db, ("select tel from phones where " + where).c_str(), -1, &q, nullptr), SQLITE_OK);
      const char* values[5] = {c.tel, c.fm, c.ul, c.nd, c.kw};
      for (int k = 0; k < 5; ++k)
        if (*values[k]) sqlite3_bind_text(q, k + 1, values[k], -1, SQLITE_STATIC);
      std::vector<std::string> expected;
      while (sqlite3_step(q) == SQLITE_ROW)
        expected.push_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
      sqlite3_finalize(q);
      std::sort(expected.begin(), expected.end());

      main.tTEL->SetText(W(c.tel));
      main.tFM->SetText(W(c.fm));
      main.tUL->SetText(W(c.ul));
      main.tND->SetText(W(c.nd));
      main.tKW->SetText(W(c.kw));
      guitest::Shown().clear();
      filtered = !dbfFilter;
      main.bSelect->Click();
      for (const auto& m : guitest::Shown()) EXPECT_EQ(m.Flags & MB_ICONERROR, 0) << Cp1251ToUtf8(m.Text);
      EXPECT_EQ(Tels(main.List), expected) << Cp1251ToUtf8(main.SqlText());
      if (!expected.empty()) {
        EXPECT_EQ(filtered, dbfFilter) << Cp1251ToUtf8(main.SqlText());
      }
    }
  }
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(dir);
  sqlite3_close(db);
}

}  // namespace

#else
#include <gtest/gtest.h>
TEST(SearchOracle, TheWindowFindsWhatSqliteFinds) { GTEST_SKIP() << "SQLite or the sample directory is missing"; }
#endif
