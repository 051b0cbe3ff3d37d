// LIKE: the pattern matrix checked against SQLite's case-sensitive LIKE,
// escapes, patterns that change per row, and patterns that would make a
// backtracking matcher explode.
#include <gtest/gtest.h>

#include "common/expr_test_support.h"
#include "platform/code_page.h"
#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_functions.h"
#include "sql_engine/expr/expr_nodes.h"

#ifdef DIRLOOK_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

bool Like(const std::string& value, const std::string& pattern, const std::string& escape = "") {
  auto params = std::make_unique<TParameterList>();
  params->Add(std::make_unique<TStringLiteral>(value));
  params->Add(std::make_unique<TStringLiteral>(pattern));
  params->Add(std::make_unique<TStringLiteral>(escape));
  TSQLLikeExpr e(std::move(params), false);
  return e.GetAsBoolean();
}

// CP1251 bytes as UTF-8, so that SQLite's "_" takes one character.
std::string Utf8(const std::string& cp1251) {
  std::string out;
  for (unsigned char c : cp1251) {
    const char32_t u = Cp1251ToUnicode(c);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

struct LikeCase {
  const char* value;
  const char* pattern;
  const char* escape;
};

// Values and patterns in CP1251 (\xC8\xE2\xE0\xED\xEE\xE2 is "Иванов").
// clang-format off
const LikeCase kMatrix[] = {
    {"Ivanov", "Iv%", ""},         {"ivanov", "Iv%", ""},          {"Ivanov ", "Ivanov", ""},
    {"Ivanov", "Ivanov ", ""},     {"Ivanov", "%ov", ""},          {"Ivanov", "I%v", ""},
    {"Ivanov", "%an%", ""},        {"Ivanov", "_van%", ""},        {"Ivanov", "Iv_n", ""},
    {"Ivanov", "Ivanov", ""},      {"Ivanov", "IVANOV", ""},       {"", "%", ""},
    {"abc", "%", ""},              {"", "", ""},                   {"a", "", ""},
    {"", "_", ""},                 {"abc", "___", ""},             {"ab", "___", ""},
    {"abcd", "___", ""},           {"axyb", "a%_b", ""},           {"ab", "a%_b", ""},
    {"axb", "a%_b", ""},           {"aab", "a%%b", ""},            {"10%", "10!%", "!"},
    {"100", "10!%", "!"},          {"10", "10!%", "!"},            {"a_b", "%!_%", "!"},
    {"ab", "%!_%", "!"},           {"a!b", "a!!b", "!"},           {"ab", "a!b", "!"},
    {"a%", "a\\%", "\\"},          {"abc", "a\\bc", "\\"},         {"mississippi", "%iss%ppi", ""},
    {"mississippi", "m%s%s%s%", ""}, {"aaa", "%a%a%a%", ""},       {"aa", "%a%a%a%", ""},
    {"abcabc", "%abc", ""},        {"ab", "a_%", ""},              {"a", "a_%", ""},
    {"x%y", "x%%y", ""},           {"\xC8\xE2\xE0\xED\xEE\xE2", "\xC8\xE2%", ""},
    {"\xC8\xE2\xE0\xED\xEE\xE2", "_\xE2\xE0\xED\xEE_", ""},
    {"\xE8\xE2\xE0\xED\xEE\xE2", "\xC8%", ""},  // case-sensitive for Cyrillic too
    {"trailing ", "%g", ""},       {"trailing ", "%g ", ""},       {"a b", "a_b", ""},
};
// clang-format on

TEST(ExprLike, MatrixAgreesWithSqlite) {
#ifndef DIRLOOK_HAVE_SQLITE
  GTEST_SKIP() << "SQLite is not available";
#else
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt* plain = nullptr;
  sqlite3_stmt* escaped = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT ?1 LIKE ?2", -1, &plain, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT ?1 LIKE ?2 ESCAPE ?3", -1, &escaped, nullptr), SQLITE_OK);
  for (const LikeCase& c : kMatrix) {
    SCOPED_TRACE(std::string(c.value) + " LIKE " + c.pattern + " ESCAPE " + c.escape);
    sqlite3_stmt* st = *c.escape ? escaped : plain;
    sqlite3_reset(st);
    const std::string v = Utf8(c.value), p = Utf8(c.pattern), e = c.escape;
    sqlite3_bind_text(st, 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, p.data(), static_cast<int>(p.size()), SQLITE_TRANSIENT);
    if (*c.escape) sqlite3_bind_text(st, 3, e.data(), static_cast<int>(e.size()), SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    const bool expected = sqlite3_column_int(st, 0) != 0;
    EXPECT_EQ(Like(c.value, c.pattern, c.escape), expected);
  }
  sqlite3_finalize(plain);
  sqlite3_finalize(escaped);
  sqlite3_close(db);
#endif
}

TEST(ExprLike, TextFormsAndNegation) {
  FormatSettingsGuard guard{'.', ','};
  EXPECT_TRUE(Compile("SQLLIKE('Ivanov', 'Iv%', '')")->GetAsBoolean());
  EXPECT_FALSE(Compile("SQLNOTLIKE('Ivanov', 'Iv%', '')")->GetAsBoolean());
  EXPECT_TRUE(Compile("'10%' LIKE '10!%' ESCAPE '!'")->GetAsBoolean());
  EXPECT_FALSE(Compile("'100' LIKE '10!%' ESCAPE '!'")->GetAsBoolean());
  EXPECT_TRUE(Compile("'abc' NOT LIKE 'x%'")->GetAsBoolean());
  EXPECT_TRUE(Compile("SQLLIKE('ab', 'ab')")->GetAsBoolean());  // no escape argument
  EXPECT_THROW(Compile("SQLLIKE('ab')"), EListError);           // no pattern
}

TEST(ExprLike, EmptyRunsAreKeptInTheList) {
  auto params = std::make_unique<TParameterList>();
  params->Add(std::make_unique<TStringLiteral>("x"));
  params->Add(std::make_unique<TStringLiteral>("a%_b"));
  TSQLLikeExpr e(std::move(params), false);
  TLikeList& l = e.LikeList();
  ASSERT_EQ(l.GetCount(), 3);
  EXPECT_EQ(l.GetItem(0).LikeText, "a");
  EXPECT_EQ(l.GetItem(0).LikePos, lpLeft);
  EXPECT_EQ(l.GetItem(0).LikeCode, lcMultiple);
  EXPECT_EQ(l.GetItem(1).LikeText, "");
  EXPECT_EQ(l.GetItem(1).LikePos, lpMiddle);
  EXPECT_EQ(l.GetItem(1).LikeCode, lcSingle);
  EXPECT_EQ(l.GetItem(2).LikeText, "b");
  EXPECT_EQ(l.GetItem(2).LikePos, lpRight);
}

TEST(ExprLike, PatternFromAFieldIsReadPerRow) {
  FormatSettingsGuard guard{'.', ','};
  TRowDataSet ds({{"V", ftString, 10}, {"P", ftString, 10}},
                 {{Variant("abc"), Variant("a%")}, {Variant("abc"), Variant("x%")}, {Variant("xyz"), Variant("x%")}});
  ds.Open();
  TFakeContext ctx;
  ctx.datasets["T"] = &ds;
  TExprParser parser(&ctx, &ds);
  parser.ParseExpression("T.V LIKE 'a%' = T.V LIKE 'a%'");  // warm-up of a literal pattern
  parser.ParseExpression("SQLLIKE(T.V, T.P, '')");
  std::vector<bool> got;
  for (ds.First(); !ds.Eof(); ds.Next()) got.push_back(parser.Expression->GetAsBoolean());
  EXPECT_EQ(got, (std::vector<bool>{true, false, true}));

  // A parameter's pattern follows the parameter.
  TParam* prm = ctx.params.CreateParam(ftString, "P", ptInput);
  prm->SetAsString("a%");
  parser.ParseExpression("T.V LIKE :P");
  ds.First();
  EXPECT_TRUE(parser.Expression->GetAsBoolean());
  prm->SetAsString("x%");
  EXPECT_FALSE(parser.Expression->GetAsBoolean());
}

// The shapes matched by a byte comparison (literal, "lit%", "%lit",
// "%lit%") against the general walk, over every pattern and value of a
// small alphabet that holds both wildcards and an escape.
TEST(ExprLike, ShapesAgreeWithTheGeneralWalk) {
  const std::string alphabet = "ab%_!";
  auto all = [](const std::string& letters, size_t maxLen) {
    std::vector<std::string> out{""};
    for (size_t from = 0, len = 1; len <= maxLen; ++len) {
      const size_t to = out.size();
      for (size_t i = from; i < to; ++i)
        for (char c : letters) out.push_back(out[i] + c);
      from = to;
    }
    return out;
  };
  const std::vector<std::string> patterns = all(alphabet, 4);
  const std::vector<std::string> values = all("ab%_", 4);
  for (int escape : {-1, static_cast<int>('!')}) {
    for (const std::string& p : patterns) {
      TLikePattern pattern;
      pattern.Compile(p, escape);
      for (const std::string& v : values)
        ASSERT_EQ(pattern.Matches(v), pattern.MatchesGeneral(v)) << "'" << v << "' LIKE '" << p << "' " << escape;
    }
  }
}

// A text field is read into the node's buffer rather than as a string per
// row: the same answers as the field read as a text, on every row, for a
// disabled dataset (the inner side of an outer join) too.
TEST(ExprLike, AFieldReadInPlaceGivesItsText) {
  FormatSettingsGuard guard{'.', ','};
  TRowDataSet ds({{"V", ftString, 6}}, {{Variant("abc")},
                                        {Variant("")},
                                        {Variant::Null()},
                                        {Variant("abcdef")},
                                        {Variant("ab c ")},
                                        {Variant("\xC8\xE2"
                                                 "a")},
                                        {Variant("ab")},
                                        {Variant("a")}});
  ds.Open();
  TFakeContext ctx;
  ctx.datasets["T"] = &ds;
  const char* const patterns[] = {"ab%", "%c", "%b%", "abc", "_b%", "", "%", "ab c ", "%f", "\xC8%", "a"};
  for (bool disabled : {false, true}) {
    ctx.disabled.clear();
    if (disabled) ctx.disabled.push_back(&ds);
    for (const char* p : patterns) {
      TExprParser inPlace(&ctx, &ds), asText(&ctx, &ds);
      inPlace.ParseExpression(std::string("T.V LIKE '") + p + "'");
      asText.ParseExpression(std::string("(T.V + '') LIKE '") + p + "'");
      auto* like = dynamic_cast<TSQLLikeExpr*>(inPlace.Expression.get());
      ASSERT_NE(like, nullptr);
      std::string buffer;
      std::string_view text;
      ds.First();
      ASSERT_TRUE(dynamic_cast<TFieldExpr*>(like->GetParam(0))->ReadText(buffer, text));
      for (ds.First(); !ds.Eof(); ds.Next())
        EXPECT_EQ(inPlace.Expression->GetAsBoolean(), asText.Expression->GetAsBoolean())
            << p << " at row " << ds.RecNo() << (disabled ? ", disabled" : "");
    }
  }
}

TEST(ExprLike, ManyPercentRunsStayLinear) {
  const std::string value(20000, 'a');
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "%a";
  pattern += "%b";
  // A backtracking matcher would not finish within the test's time limit.
  EXPECT_FALSE(Like(value, pattern));
  EXPECT_TRUE(Like(value + "b", pattern));
}

}  // namespace
