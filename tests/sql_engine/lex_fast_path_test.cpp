// The lexers' fast scan loop against the general one: the same inputs must
// give the same tokens, texts, positions, echoed output and errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/sql_lexer_tables.h"
#include "sql_engine/lex_trace.h"

namespace {

using namespace lex_trace;

// The SQL lexer on the general loop over the plain lists.
class GeneralSqlLexer : public TkpLexer {
public:
  int32_t yylex() override { return ScanWith(SqlLexTables); }
};

void ExpectSameTrace(const Trace& fast, const Trace& general, const std::string& text) {
  ASSERT_EQ(fast.Error, general.Error) << text;
  ASSERT_EQ(fast.Steps.size(), general.Steps.size()) << text;
  for (size_t i = 0; i < fast.Steps.size(); ++i)
    ASSERT_EQ(fast.Steps[i], general.Steps[i]) << "token " << i << " of " << text;
  EXPECT_EQ(fast.Output, general.Output) << text;
  EXPECT_EQ(fast.ErrorStream, general.ErrorStream) << text;
}

bool IsLayout(int32_t token) { return token >= tkComment && token <= tkNewLine; }

// Both loops, with and without layout skipped in the lexer; and skipping
// in the lexer must leave the parser what its own skipping would: the same
// tokens, each with the same text, position and push-back.
void ExpectSameSql(const std::string& text) {
  const Trace all = Run<TkpLexer>(text);
  ExpectSameTrace(all, Run<GeneralSqlLexer>(text), text);
  const Trace skipped = Run<TkpLexer>(text, "m/d/yyyy", true);
  ExpectSameTrace(skipped, Run<GeneralSqlLexer>(text, "m/d/yyyy", true), text);
  Trace filtered = all, rest = skipped;
  std::erase_if(filtered.Steps, [](const Step& s) { return IsLayout(s.Token); });
  for (const Step& s : skipped.Steps) ASSERT_FALSE(IsLayout(s.Token)) << text;
  // The end of the input carries no value the parser reads (without
  // skipping it is the last line feed's).
  for (Trace* t : {&filtered, &rest})
    for (Step& s : t->Steps)
      if (s.Token == 0) s.Text.clear();
  // The step after an error only says the scan does not resume mid-token.
  if (!all.Error.empty() && all.Error.rfind("sift:", 0) == 0) {
    ASSERT_FALSE(filtered.Steps.empty());
    ASSERT_FALSE(skipped.Steps.empty());
    filtered.Steps.pop_back();
    rest.Steps.pop_back();
  }
  ExpectSameTrace(rest, filtered, text);
}

std::filesystem::path SourceDir() {
  if (const char* env = std::getenv("DIRLOOK_SOURCE_DIR")) return env;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

// The SQL texts of the data-driven cases and the fuzz seeds: every line that
// is not a comment, with "\n" turned into a line break, whole files too.
std::vector<std::string> Corpus() {
  std::vector<std::string> out;
  const auto root = SourceDir();
  std::vector<std::filesystem::path> files;
  for (const auto* dir : {"tests/sql_engine/data", "fuzz/seeds/fuzz_sql_lexer", "fuzz/seeds/fuzz_sql_parser"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(root / dir, ec)) files.push_back(e.path());
  }
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out.push_back(whole);
    size_t at = 0;
    while (at < whole.size()) {
      size_t end = whole.find('\n', at);
      if (end == std::string::npos) end = whole.size();
      std::string line = whole.substr(at, end - at);
      at = end + 1;
      if (line.empty() || line[0] == '#') continue;
      for (size_t p; (p = line.find("\\n")) != std::string::npos;) line.replace(p, 2, "\n");
      out.push_back(line);
    }
  }
  return out;
}

}  // namespace

TEST(LexFastPath, SqlCorpusMatchesGeneralLoop) {
  FormatSettingsGuard guard('.', ',');
  ClockOverride clock(38021.5);
  const auto corpus = Corpus();
  ASSERT_GT(corpus.size(), 500u);
  for (const std::string& text : corpus) ExpectSameSql(text);
}

TEST(LexFastPath, SqlEdgesMatchGeneralLoop) {
  FormatSettingsGuard guard('.', ',');
  ClockOverride clock(38021.5);
  // clang-format off
  const std::vector<std::string> texts = {
      "", "\n", "\r", "\r\n", "\n\n\n", "a", "a\r\nb\rc", "a\n\nb\n", "x\r", "\r\r\n", "a\r\r\nb",
      std::string("a \0 b", 5), std::string("\0", 1), "'ab", "'a\nb'", "'it''s' \"a\"\"b\"", "''''", "'x''",
      "/* a\n b */ c", "/* a*b */", "-- one\ntwo -- b", "-- open", "[*x*]", "[Order Details]", "[a\nb]",
      ".5E+3 1. 12.25 +1.5 42 -7 0.5E+3 .5E3 +1. a-1", "$FF $ff $FFFFFFFF $100000000 $", "a || b | c",
      "select #2/3/2004# from t where x = #2/3/2004# group by y having z > #2/3/2004#",
      "where d < now; select now", "#1/1/04#", "#13/45/2004#", "##", "\xD4\xC8\xCE \xC0_1", "\t\t x \x01\x7F",
      std::string(1023, 'a'), std::string(1024, 'a') + " b", std::string(1500, '7'), "x " + std::string(2000, '9'),
      "'" + std::string(20000, 'x') + "' z", "/*" + std::string(40000, '\n') + "*/",
  };
  // clang-format on
  for (const std::string& text : texts) ExpectSameSql(text);
  // A chain of doubled quotes longer than the match stack.
  std::string many = "'";
  for (int i = 0; i < 3000; ++i) many += "x''";
  ExpectSameSql(many + "'");
  ExpectSameSql(many);
}

// Random texts over the bytes the rules care about, whole lines of them.
TEST(LexFastPath, SqlRandomTextsMatchGeneralLoop) {
  FormatSettingsGuard guard('.', ',');
  ClockOverride clock(38021.5);
  const std::string alphabet = "aZ_9.+-*/[]'\"#$,;:()<>=|^ \t\r\n\xC0\xFF?\\Ee";
  std::mt19937 rng(19);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const size_t len = rng() % 60;
    for (size_t i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    ExpectSameSql(text);
  }
}

TEST(LexFastPath, DenseTablesOfTheLexersAreUsable) {
  const TLexDenseTables sql(SqlLexTables);
  EXPECT_TRUE(sql.Usable());
  // Each byte's class gives the target the plain lists give.
  for (const TLexDenseTables* d : {&sql}) {
    const TLexTables& t = d->Source();
    for (int32_t s = 0; s < t.StateCount; ++s) {
      for (int c = 0; c < 256; ++c) {
        int32_t want = -1;
        for (int32_t i = t.yytl[s]; i <= t.yyth[s]; ++i)
          if ((t.yyt[i].cc[c >> 3] >> (c & 7)) & 1) {
            want = t.yyt[i].s;
            break;
          }
        ASSERT_EQ(d->Next(s, static_cast<uint8_t>(c)), want) << "state " << s << " byte " << c;
      }
      EXPECT_EQ(d->StateAt(s).Stop, t.yyth[s] < t.yytl[s]);
      EXPECT_EQ(d->StateAt(s).Matches, t.yymh[s] - t.yyml[s] + 1 > 0 ? t.yymh[s] - t.yyml[s] + 1 : 0);
    }
  }
}

TEST(LexFastPath, TablesTheFastLoopCannotReadFallBack) {
  // A start state that accepts: the general loop must be used.
  const int16_t yyk[] = {1}, yym[] = {1};
  const int16_t kl[] = {0, 1}, kh[] = {0, 0}, ml[] = {0, 1}, mh[] = {0, 0}, tl[] = {0, 0}, th[] = {-1, -1};
  const TLexTransition yyt[] = {{}};
  const TLexTables t = {2, yyk, yym, yyt, kl, kh, ml, mh, tl, th};
  EXPECT_FALSE(TLexDenseTables(t).Usable());
  // A state that marks one rule and pushes another.
  const int16_t yym2[] = {2};
  const int16_t kl2[] = {0, 0, 0}, kh2[] = {-1, -1, 0}, tl2[] = {0, 0, 0}, th2[] = {-1, -1, -1};
  const TLexTables odd = {3, yyk, yym2, yyt, kl2, kh2, kl2, kh2, tl2, th2};
  EXPECT_FALSE(TLexDenseTables(odd).Usable());
  // The same state marking what it pushes is fine.
  const TLexTables ok = {3, yyk, yyk, yyt, kl2, kh2, kl2, kh2, tl2, th2};
  EXPECT_TRUE(TLexDenseTables(ok).Usable());
}

// A date literal's day count is written without the general float
// formatter; it must read as that formatter writes it, before 1899 (negative
// day counts) too.
TEST(LexFastPath, DateLiteralTextIsTheGeneralFloatText) {
  FormatSettingsGuard guard('.', ',');
  size_t checked = 0;
  for (int year = 1; year <= 9999; year += 37) {
    for (const auto& [month, day] : {std::pair{1, 1}, std::pair{2, 28}, std::pair{12, 31}}) {
      const std::string inner = std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year);
      TDateTime dt = 0;
      {
        FormatSettingsGuard date_guard;
        GetFormatSettings().ShortDateFormat = "m/d/yyyy";
        GetFormatSettings().DateSeparator = '/';
        if (!TryStrToDate(inner, dt)) continue;
      }
      TkpLexer lx;
      lx.DateFormat = "m/d/yyyy";
      lx.SetInputText("#" + inner + "#");
      ASSERT_EQ(lx.yylex(), tkNumber);
      ASSERT_EQ(lx.yylval, FloatToStr(dt)) << inner;
      ++checked;
    }
  }
  EXPECT_GT(checked, 500u);
}

namespace {

// A lexer over hand-made tables: "a"+ where every "a" accepts three rules,
// so the match stack fills three entries a character.
const TLexTransition kRunTransitions[] = {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, 2}};  // 'a' is 0x61
const int16_t kRunRules[] = {1, 2, 3};
const int16_t kRunLow[] = {0, 0, 0}, kRunHigh[] = {-1, -1, 2}, kRunTl[] = {0, 0, 0}, kRunTh[] = {0, 0, 0};
const TLexTables kRunTables = {3,        kRunRules, kRunRules, kRunTransitions, kRunLow,
                               kRunHigh, kRunLow,   kRunHigh,  kRunTl,          kRunTh};

class RunLexer : public TCustomLexer {
public:
  int32_t yylex() override {
    static const TLexDenseTables dense(kRunTables);
    return ScanWith(dense);
  }

protected:
  void yyaction(int32_t rule) override { returni(300 + rule); }
};

class GeneralRunLexer : public RunLexer {
public:
  int32_t yylex() override { return ScanWith(kRunTables); }
};

}  // namespace

// The fast loop takes a looping state's bytes a run at a time; a state that
// pushes several entries a byte must still overflow the stack at the byte
// the general loop does.
TEST(LexFastPath, RunsOfAStatePushingSeveralMatchesOverflowWhereTheGeneralLoopDoes) {
  ASSERT_TRUE(TLexDenseTables(kRunTables).Usable());
  for (const size_t n : {1u, 2u, 340u, 341u, 342u, 343u, 600u, 5000u}) {
    for (const char* tail : {"", " a", "b", "\naa"}) {
      const std::string text = std::string(n, 'a') + tail;
      ExpectSameTrace(lex_trace::Run<RunLexer>(text), lex_trace::Run<GeneralRunLexer>(text), text.substr(0, 20));
    }
  }
  // 341 bytes push 1023 entries; the 342nd overflows.
  EXPECT_TRUE(lex_trace::Run<RunLexer>(std::string(341, 'a')).Error.empty());
  EXPECT_NE(lex_trace::Run<RunLexer>(std::string(342, 'a')).Error.find("match stack overflow"), std::string::npos);
}
