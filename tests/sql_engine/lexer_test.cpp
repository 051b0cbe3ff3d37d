// SQL lexer, lexer runtime and the scanner table generator.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/date_time.h"
#include "platform/numbers.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/sql_lexer_tables.h"

namespace {

using Tok = std::pair<int32_t, std::string>;

// Every token up to the end, blanks, tabs and line feeds left out unless asked.
std::vector<Tok> Scan(TkpLexer& lx, const std::string& text, bool keep_blanks = false) {
  lx.SetInputText(text);
  std::vector<Tok> out;
  for (int guard = 0; guard < 100000; ++guard) {
    const int32_t t = lx.yylex();
    if (t == 0) return out;
    if (!keep_blanks && (t == tkBlank || t == tkTab || t == tkNewLine)) continue;
    out.emplace_back(t, lx.yylval);
  }
  ADD_FAILURE() << "no end of input";
  return out;
}

std::vector<Tok> Scan(const std::string& text, bool keep_blanks = false) {
  TkpLexer lx;
  return Scan(lx, text, keep_blanks);
}

// The settings the query runs under while it parses.
struct QuerySettings {
  FormatSettingsGuard guard{'.', ','};
};

}  // namespace

TEST(LexRuntime, EmptyInputEndsAtOnceAndStaysEnded) {
  TkpLexer lx;
  lx.SetInputText("");
  EXPECT_EQ(lx.yylex(), 0);
  EXPECT_EQ(lx.yylex(), 0);
  EXPECT_EQ(lx.LineNo, 0);
}

TEST(LexRuntime, LineLayer) {
  // The last line gets its LF even without one in the text.
  EXPECT_EQ(Scan("ab", true), (std::vector<Tok>{{tkIdent, "ab"}, {tkNewLine, "\n"}}));
  // CR LF arrives as LF; a lone CR stays and is an illegal character.
  EXPECT_EQ(
      Scan("a\r\nb\rc", true),
      (std::vector<Tok>{
          {tkIdent, "a"}, {tkNewLine, "\n"}, {tkIdent, "b"}, {tkIllegal, "\r"}, {tkIdent, "c"}, {tkNewLine, "\n"}}));
  // An empty middle line is no line at all.
  TkpLexer lx;
  EXPECT_EQ(Scan(lx, "a\n\nb\n", true),
            (std::vector<Tok>{{tkIdent, "a"}, {tkNewLine, "\n"}, {tkIdent, "b"}, {tkNewLine, "\n"}}));
  EXPECT_EQ(lx.LineNo, 2);
  EXPECT_EQ(lx.CurrentLine, "b");
  // A CR LF that ends the text and a trailing lone CR leave nothing behind.
  EXPECT_EQ(Scan("x\r\n", true), (std::vector<Tok>{{tkIdent, "x"}, {tkNewLine, "\n"}}));
  EXPECT_EQ(Scan("x\r", true), (std::vector<Tok>{{tkIdent, "x"}, {tkNewLine, "\n"}}));
}

// Between tokens a line end is layout, whatever its bytes; inside a literal
// it is data: empty lines, CR LF and a lone CR stay as written, in either
// quote, across doubled quotes, whatever the line ends around the literal.
TEST(LexRuntime, LiteralsKeepTheirLineBreaksAsWritten) {
  TkpLexer lx;
  EXPECT_EQ(Scan(lx, "values ('a\n\n\nb', \"c\r\nd\")"), (std::vector<Tok>{{tkVALUES, "values"},
                                                                           {tkLParen, "("},
                                                                           {tkString, "'a\n\n\nb'"},
                                                                           {tkComma, ","},
                                                                           {tkString, "\"c\r\nd\""},
                                                                           {tkRParen, ")"}}));
  // Empty lines still are no lines.
  EXPECT_EQ(lx.LineNo, 3);
  EXPECT_EQ(lx.CurrentLine, "d\")");
  std::mt19937 rng(20261208);
  const std::vector<std::string> breaks = {"\n", "\r\n", "\n\n", "\r\n\r\n\n", "\r", "\r\r\n", "\n\r\n"};
  const std::vector<std::string> layout = {" ", "\n", "\r\n", "\n\n\n", "\r\n\r\n", " /* x\r\n\ny */ ", "\t"};
  for (int round = 0; round < 300; ++round) {
    std::string text = "x";
    std::vector<std::string> literals;
    const int n = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < n; ++i) {
      const char q = rng() % 3 ? '\'' : '"';
      std::string lit(1, q);
      const int parts = static_cast<int>(rng() % 6);
      for (int k = 0; k < parts; ++k) {
        switch (rng() % 4) {
          case 0: lit += breaks[rng() % breaks.size()]; break;
          case 1: lit += std::string(2, q); break;
          default: lit += "ab"[rng() % 2]; break;
        }
      }
      lit += q;
      literals.push_back(lit);
      text += layout[rng() % layout.size()] + lit + layout[rng() % layout.size()] + "+";
    }
    text += layout[rng() % layout.size()] + "y";
    std::vector<std::string> got;
    for (const Tok& t : Scan(text))
      if (t.first == tkString) got.push_back(t.second);
    ASSERT_EQ(got, literals) << text;
  }
}

TEST(LexRuntime, NulByteEndsTheInput) { EXPECT_EQ(Scan(std::string("a \0 b", 5)), (std::vector<Tok>{{tkIdent, "a"}})); }

TEST(LexRuntime, YylessPutsBackAndRestoresColumn) {
  TkpLexer lx;
  lx.SetInputText("abcdef");
  lx.yynew();
  lx.yyscan();
  const int32_t col_after_one = lx.ColNo;
  lx.yyscan();
  lx.yyscan();
  lx.yyscan();
  EXPECT_EQ(lx.TextLen, 4);
  EXPECT_EQ(lx.ColNo, col_after_one + 3);
  lx.yyless(1);
  EXPECT_EQ(lx.TextLen, 1);
  EXPECT_EQ(lx.ColNo, col_after_one);
  EXPECT_EQ(lx.get_char(), 'b');
}

TEST(LexRuntime, LongTokenGrowsTextBuffer) {
  const std::string body(20000, 'x');
  TkpLexer lx;
  const auto toks = Scan(lx, "'" + body + "' z");
  ASSERT_EQ(toks.size(), 2u);
  EXPECT_EQ(toks[0], Tok(tkString, "'" + body + "'"));
  EXPECT_EQ(toks[1], Tok(tkIdent, "z"));
  EXPECT_EQ(lx.TextCap(), 32768);
}

TEST(LexRuntime, MatchStackLimitIsFatal) {
  // Every character of an identifier is an accepting position, and the first
  // one also accepts the any-character rule: 1023 characters fit, 1024 not.
  EXPECT_EQ(Scan(std::string(1023, 'a')).size(), 1u);
  TkpLexer lx;
  lx.SetInputText(std::string(1024, 'a') + " b");
  try {
    lx.yylex();
    FAIL() << "no error";
  } catch (const ESiftError& e) {
    EXPECT_STREQ(e.what(), "LexLib: match stack overflow");
  }
  EXPECT_EQ(lx.OwnError.Text(), "LexLib: match stack overflow\r\n");
  // The scan does not pick up in the middle of the broken token.
  EXPECT_EQ(lx.yylex(), 0);
  // Digit runs have the same limit.
  EXPECT_THROW(Scan(std::string(1500, '7')), ESiftError);
}

TEST(LexRuntime, EqualLengthGoesToLowerRule) {
  // "[*x*]" is both a bracket comment (rule 3) and a bracketed name (rule 5).
  EXPECT_EQ(Scan("[*x*]"), (std::vector<Tok>{{tkComment, "[*x*]"}}));
  // "<>" beats "<" by length, "<" and "=" apart are two tokens.
  EXPECT_EQ(Scan("<> < ="), (std::vector<Tok>{{tkNE, "<>"}, {tkLT, "<"}, {tkEQ, "="}}));
  // NOW is an identifier by rule and the current time by action; keywords
  // likewise come through the identifier rule.
  EXPECT_EQ(Scan("select")[0].first, tkSELECT);
}

TEST(SqlLexer, KeywordsAndIdentifiers) {
  EXPECT_EQ(Scan("SeLeCt x_1 FROM [Order Details] numeric"), (std::vector<Tok>{{tkSELECT, "SeLeCt"},
                                                                               {tkIdent, "x_1"},
                                                                               {tkFROM, "FROM"},
                                                                               {tkIdent, "[Order Details]"},
                                                                               {tkFLOAT, "numeric"}}));
  int32_t t = 0;
  EXPECT_TRUE(TkpLexer::IsKeyword("top", t));
  EXPECT_EQ(t, tkTOP);
  EXPECT_FALSE(TkpLexer::IsKeyword("tops", t));
  // Cyrillic letters make identifiers.
  EXPECT_EQ(Scan("\xD4\xC8\xCE")[0], Tok(tkIdent, "\xD4\xC8\xCE"));
}

// The hashed keyword lookup against a walk of the whole list: every keyword
// in three cases, each with a byte changed, cut or added, and Cyrillic and
// odd-byte words.
TEST(SqlLexer, KeywordHashAgreesWithScan) {
  std::vector<std::string> words;
  for (const std::string& k : TkpLexer::KeywordNames()) {
    std::string lower = k;
    for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
    std::string mixed = k;
    mixed[0] = lower[0];
    for (const std::string& w : {k, lower, mixed}) {
      words.push_back(w);
      words.push_back(w + "S");
      words.push_back(w + "_");
      words.push_back(w.substr(0, w.size() - 1));
      words.push_back(w.substr(1));
      std::string bumped = w;
      bumped.back() = static_cast<char>(bumped.back() + 1);
      words.push_back(bumped);
      std::string high = w;
      high[0] = static_cast<char>(static_cast<unsigned char>(high[0]) | 0x80);
      words.push_back(high);
    }
  }
  words.insert(words.end(), {"", "X", "NOW", "SUBSTRINGS", "TRANSFORMX", "\xD4\xC8\xCE", "\xC0"});
  size_t keywords = 0;
  for (const std::string& w : words) {
    int32_t fast = -1, slow = -1;
    const bool a = TkpLexer::IsKeyword(w, fast);
    const bool b = TkpLexer::IsKeywordByScan(w, slow);
    ASSERT_EQ(a, b) << w;
    if (a) {
      EXPECT_EQ(fast, slow) << w;
      ++keywords;
    }
  }
  EXPECT_GE(keywords, 3 * TkpLexer::KeywordNames().size());
  int32_t t = 0;
  ASSERT_TRUE(TkpLexer::IsKeyword("numeric", t));
  EXPECT_EQ(t, tkFLOAT);
}

// The scan looks words up in its text buffer, where the bytes past a short
// word are those of longer tokens before it.
TEST(SqlLexer, KeywordsFoundInTheScanAsByTheListScan) {
  QuerySettings qs;
  ClockOverride clock(38021.5);
  std::string text;
  std::vector<std::string> words;
  for (const std::string& k : TkpLexer::KeywordNames()) {
    std::string odd = k;
    for (size_t i = 0; i < odd.size(); i += 2) odd[i] = static_cast<char>(odd[i] - 'A' + 'a');
    for (const std::string& w : {k, odd, k + "X", k.substr(0, k.size() - 1), "x" + k})
      words.insert(words.end(), {"LONGWORDSTOFILLTHEBUFFER", w});
  }
  words.insert(words.end(), {"nOw", "NOWNOWNOW", "NO", "\xC8\xC2\xC0\xCD\xCE\xC2", "a_b", "SELECT_", "Z9"});
  for (const std::string& w : words) text += w + " ";
  const auto toks = Scan(text);
  ASSERT_EQ(toks.size(), words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    int32_t token = tkIdent;
    if (words[i].size() == 3 && (words[i][0] | 0x20) == 'n' && (words[i][1] | 0x20) == 'o' &&
        (words[i][2] | 0x20) == 'w')
      token = tkNumber;
    else TkpLexer::IsKeywordByScan(words[i], token);
    EXPECT_EQ(toks[i].first, token) << words[i];
  }
}

// The table the fast loop reads in place of asking the lexer: a rule it says
// only returns a token does just that, layout rules give the skipped tokens.
TEST(SqlLexer, RuleInfoSaysWhatTheActionsDo) {
  struct Probe : TkpLexer {
    using TkpLexer::RuleInfo;
    using TkpLexer::yyaction;
  } lx;
  ASSERT_NE(lx.RuleInfo, nullptr);
  std::vector<int32_t> acting;
  for (int32_t rule = 1; rule <= rOther; ++rule) {
    const TCustomLexer::TLexRuleInfo& info = lx.RuleInfo[rule];
    if (info.Flags & TCustomLexer::kRuleLayout) {
      EXPECT_TRUE(info.Token >= tkComment && info.Token <= tkNewLine) << rule;
    }
    if (info.Token == 0) {
      acting.push_back(rule);
      continue;
    }
    lx.yylval = "$12";
    lx.Done = false;
    lx.yyaction(rule);
    EXPECT_TRUE(lx.Done) << rule;
    EXPECT_EQ(lx.RetVal, info.Token) << rule;
    EXPECT_EQ(lx.yylval, "$12") << rule;
  }
  EXPECT_EQ(acting, (std::vector<int32_t>{rIdentifier, rHex, rDate, rConcat}));
  for (int32_t rule = rOther + 1; rule <= TCustomLexer::kMaxRules; ++rule) EXPECT_EQ(lx.RuleInfo[rule].Token, 0);
}

// The parser's way: blanks, tabs, line feeds and comments never reach it,
// and what does reach it is as before.
TEST(SqlLexer, SkipLayoutLeavesOutWhatTheParserSkips) {
  QuerySettings qs;
  const std::string text = "select /* c */ a,\tb -- d --\n\n  from [*e*] t where x = #2/3/2004#  ";
  TkpLexer lx;
  lx.DateFormat = "m/d/yyyy";
  lx.SkipLayout = true;
  const auto skipped = Scan(lx, text, true);
  TkpLexer plain;
  plain.DateFormat = "m/d/yyyy";
  auto all = Scan(plain, text, true);
  std::erase_if(all, [](const Tok& t) { return t.first >= tkComment && t.first <= tkNewLine; });
  EXPECT_EQ(skipped, all);
  EXPECT_EQ(skipped.size(), 10u);
  EXPECT_EQ(lx.LineNo, plain.LineNo);
  EXPECT_EQ(lx.ColNo, plain.ColNo);
}

// Lexers share no scan state, and the buffers a lexer lets go are not
// still used by another: many alive at once, in turns and on threads.
TEST(SqlLexer, ManyLexersAtOnceKeepTheirOwnScans) {
  QuerySettings qs;
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i)
    texts.push_back("select f" + std::to_string(i) + ", 'v" + std::string(static_cast<size_t>(i) * 50, 'x') +
                    "' from t" + std::to_string(i) + " where n = " + std::to_string(i * 7));
  std::vector<std::vector<Tok>> alone;
  for (const std::string& t : texts) alone.push_back(Scan(t));
  std::vector<std::unique_ptr<TkpLexer>> lexers;
  std::vector<std::vector<Tok>> turns(texts.size());
  for (const std::string& t : texts) {
    lexers.push_back(std::make_unique<TkpLexer>());
    lexers.back()->SkipLayout = true;
    lexers.back()->SetInputText(t);
  }
  for (bool more = true; more;) {
    more = false;
    for (size_t i = 0; i < lexers.size(); ++i) {
      if (!lexers[i]) continue;
      const int32_t t = lexers[i]->yylex();
      if (t == 0) {
        lexers[i].reset();  // its buffers go back while the others scan on
        continue;
      }
      turns[i].emplace_back(t, lexers[i]->yylval);
      more = true;
    }
  }
  EXPECT_EQ(turns, alone);
  std::vector<std::vector<Tok>> threaded(texts.size());
  std::vector<std::thread> threads;
  for (size_t k = 0; k < 4; ++k)
    threads.emplace_back([&, k] {
      for (int round = 0; round < 50; ++round)
        for (size_t i = k; i < texts.size(); i += 4) threaded[i] = Scan(texts[i]);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(threaded, alone);
}

TEST(SqlLexer, NowIsTheCurrentTime) {
  QuerySettings qs;
  ClockOverride clock(38021.5);
  const auto toks = Scan("Now now NOW NOWX");
  EXPECT_EQ(toks,
            (std::vector<Tok>{{tkNumber, "38021.5"}, {tkNumber, "38021.5"}, {tkNumber, "38021.5"}, {tkIdent, "NOWX"}}));
  EXPECT_EQ(Scan("where d < now")[3], Tok(tkNumber, "DummyDate(38021.5)"));
}

TEST(SqlLexer, NowFollowsDecimalSeparator) {
  FormatSettingsGuard guard(',', ' ');
  ClockOverride clock(38021.25);
  EXPECT_EQ(Scan("now")[0], Tok(tkNumber, "38021,25"));
}

TEST(SqlLexer, Literals) {
  EXPECT_EQ(Scan("'it''s' \"a\"\"b\" 'x'"),
            (std::vector<Tok>{{tkString, "'it''s'"}, {tkString, "\"a\"\"b\""}, {tkString, "'x'"}}));
  // A literal may span lines; an unterminated one falls apart into tokens.
  EXPECT_EQ(Scan("'a\nb'"), (std::vector<Tok>{{tkString, "'a\nb'"}}));
  // Doubled quotes chain matches; the chain has no match-stack limit.
  std::string many = "'";
  for (int i = 0; i < 3000; ++i) many += "x''";
  many += "'";
  EXPECT_EQ(Scan(many), (std::vector<Tok>{{tkString, many}}));
  EXPECT_EQ(Scan("'ab")[0], Tok(tkIllegal, "'"));
  EXPECT_EQ(Scan("$FF $ff $FFFFFFFF $100000000 $"),
            (std::vector<Tok>{
                {tkNumber, "255"}, {tkNumber, "255"}, {tkNumber, "-1"}, {tkIllegal, "$100000000"}, {tkIllegal, "$"}}));
  EXPECT_EQ(Scan("a || b"), (std::vector<Tok>{{tkIdent, "a"}, {tkPlus, "+"}, {tkIdent, "b"}}));
}

TEST(SqlLexer, Numbers) {
  EXPECT_EQ(Scan(".5E+3 1. 12.25 +1.5 42 -7"), (std::vector<Tok>{{tkNumber, ".5E+3"},
                                                                 {tkNumber, "1."},
                                                                 {tkNumber, "12.25"},
                                                                 {tkNumber, "+1.5"},
                                                                 {tkUInt, "42"},
                                                                 {tkSInt, "-7"}}));
  // The exponent exists only after a leading point and with a sign.
  EXPECT_EQ(Scan("0.5E+3"), (std::vector<Tok>{{tkNumber, "0.5"}, {tkIdent, "E"}, {tkSInt, "+3"}}));
  EXPECT_EQ(Scan(".5E3"), (std::vector<Tok>{{tkNumber, ".5"}, {tkIdent, "E3"}}));
  EXPECT_EQ(Scan("+1."), (std::vector<Tok>{{tkSInt, "+1"}, {tkDot, "."}}));
  // A sign glued to digits is a signed integer, not an operator.
  EXPECT_EQ(Scan("a-1"), (std::vector<Tok>{{tkIdent, "a"}, {tkSInt, "-1"}}));
  EXPECT_EQ(Scan("a - 1"), (std::vector<Tok>{{tkIdent, "a"}, {tkMinus, "-"}, {tkUInt, "1"}}));
}

TEST(SqlLexer, Comments) {
  // "--" runs to the next "--", across lines.
  EXPECT_EQ(Scan("a -- one\ntwo -- b"),
            (std::vector<Tok>{{tkIdent, "a"}, {tkComment, "-- one\ntwo --"}, {tkIdent, "b"}}));
  EXPECT_EQ(Scan("/* x */ [* y *]"), (std::vector<Tok>{{tkComment, "/* x */"}, {tkComment, "[* y *]"}}));
  // A star inside a slash-star comment breaks it up.
  EXPECT_EQ(Scan("/* a*b */")[0], Tok(tkSlash, "/"));
  EXPECT_EQ(Scan("x\ty", true), (std::vector<Tok>{{tkIdent, "x"}, {tkTab, "\t"}, {tkIdent, "y"}, {tkNewLine, "\n"}}));
}

TEST(SqlLexer, Punctuation) {
  // "]" first: a "[" with a "]" after it would be a bracketed name.
  const auto toks = Scan(", ( ) ] [ > < . : ; = * + - ^ / >= <= ? \\");
  std::vector<int32_t> nums;
  for (const auto& t : toks) nums.push_back(t.first);
  EXPECT_EQ(nums, (std::vector<int32_t>{tkComma, tkLParen, tkRParen,    tkRBracket, tkLBracket, tkGT,     tkLT,
                                        tkDot,   tkColon,  tkSemicolon, tkEQ,       tkStar,     tkPlus,   tkMinus,
                                        tkPower, tkSlash,  tkGE,        tkLE,       tkIllegal,  tkIllegal}));
}

TEST(SqlLexer, DatesWrappedOnlyInWhere) {
  QuerySettings qs;
  const std::string day = FloatToStr(EncodeDate(2004, 2, 3));
  TkpLexer lx;
  lx.DateFormat = "m/d/yyyy";
  const auto toks = Scan(lx, "select #2/3/2004# from t where x = #2/3/2004# group by y having z > #2/3/2004#");
  ASSERT_EQ(toks.size(), 15u);
  EXPECT_EQ(toks[1], Tok(tkNumber, day));
  EXPECT_EQ(toks[7], Tok(tkNumber, "DummyDate(" + day + ")"));
  EXPECT_EQ(toks[14], Tok(tkNumber, day));
  EXPECT_FALSE(lx.WhereDates);
  // ORDER, SELECT and PIVOT end the WHERE clause too.
  EXPECT_EQ(Scan(lx, "where a = 1; select #2/3/2004#").back().second, day);
  EXPECT_EQ(Scan(lx, "where a = 1 order by #2/3/2004#").back().second, day);
  EXPECT_EQ(Scan(lx, "where a = 1 pivot #2/3/2004#").back().second, day);
  // Other keywords do not, not even the end of a statement.
  EXPECT_EQ(Scan(lx, "where a = 1; update t set d = #2/3/2004#").back().second, "DummyDate(" + day + ")");
}

TEST(SqlLexer, DateFormatDefaultsToProcessFormat) {
  QuerySettings qs;  // short date format stays "dd.MM.yyyy"
  TkpLexer lx;
  const auto toks = Scan(lx, "#03.02.2004#");
  EXPECT_EQ(toks[0], Tok(tkNumber, FloatToStr(EncodeDate(2004, 2, 3))));
  EXPECT_EQ(lx.DateFormat, "dd.MM.yyyy");
  EXPECT_EQ(GetFormatSettings().ShortDateFormat, "dd.MM.yyyy");
}

TEST(SqlLexer, ShortDateLiteralIsNotDropped) {
  QuerySettings qs;
  TkpLexer lx;
  lx.DateFormat = "m/d/yyyy";
  const auto toks = Scan(lx, "select * from t where d = #1/1/04#");
  ASSERT_EQ(toks.size(), 8u);
  EXPECT_EQ(toks[7], Tok(tkNumber, "DummyDate(" + FloatToStr(EncodeDate(2004, 1, 1)) + ")"));
}

TEST(SqlLexer, InvalidDateRaisesAndRestoresSettings) {
  QuerySettings qs;
  TkpLexer lx;
  lx.DateFormat = "m/d/yyyy";
  for (const std::string bad : {"#13/45/2004#", "##", "#abc#"}) {
    try {
      Scan(lx, "select " + bad);
      FAIL() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + bad.substr(1, bad.size() - 2) + "' is not a valid date");
    }
    EXPECT_EQ(GetFormatSettings().ShortDateFormat, "dd.MM.yyyy");
    EXPECT_EQ(GetFormatSettings().DateSeparator, '.');
  }
}

TEST(SqlLexer, ColumnAndLineOfTokens) {
  TkpLexer lx;
  lx.SetInputText("select\n  x");
  EXPECT_EQ(lx.yylex(), tkSELECT);
  EXPECT_EQ(lx.LineNo, 1);
  EXPECT_EQ(lx.yylex(), tkNewLine);
  EXPECT_EQ(lx.yylex(), tkBlank);
  EXPECT_EQ(lx.yylex(), tkBlank);
  EXPECT_EQ(lx.yylex(), tkIdent);
  EXPECT_EQ(lx.LineNo, 2);
  std::string text;
  lx.GetyyText(text);
  EXPECT_EQ(text, "x");
  // 1 after the line was read, +1 per character taken ("  x" and the LF
  // looked at), -1 for the LF put back.
  EXPECT_EQ(lx.ColNo, 4);
}

TEST(SqlLexer, CommentEofMessage) {
  TkpLexer lx;
  lx.SetInputText("a\nb");
  while (lx.yylex() != 0) {
  }
  lx.commenteof();
  EXPECT_EQ(lx.OwnError.Text(), "unexpected EOF inside comment at line 2\r\n");
}

// ---------------------------------------------------------------------------
// The generator, checked through the runtime's own scan loop on a small rule
// file: the tables come from tools/lexgen.py's plain dump.

namespace {

std::filesystem::path SourceDir() {
  if (const char* env = std::getenv("DIRLOOK_SOURCE_DIR")) return env;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

struct LoadedTables {
  std::vector<int16_t> yyk, yym, yykl, yykh, yyml, yymh, yytl, yyth;
  std::vector<TLexTransition> yyt;
  TLexTables tables{};
};

bool LoadDump(const std::filesystem::path& p, LoadedTables& lt) {
  std::ifstream in(p);
  std::string key;
  int32_t states = 0;
  if (!(in >> key >> states) || key != "states") return false;
  auto read_list = [&](const char* name, std::vector<int16_t>& v) {
    size_t n = 0;
    if (!(in >> key >> n) || key != name) return false;
    v.resize(n);
    for (auto& x : v) in >> x;
    if (v.empty()) v.push_back(0);
    return static_cast<bool>(in);
  };
  if (!read_list("yyk", lt.yyk) || !read_list("yym", lt.yym) || !read_list("yykl", lt.yykl) ||
      !read_list("yykh", lt.yykh) || !read_list("yyml", lt.yyml) || !read_list("yymh", lt.yymh) ||
      !read_list("yytl", lt.yytl) || !read_list("yyth", lt.yyth))
    return false;
  size_t n = 0;
  if (!(in >> key >> n) || key != "yyt") return false;
  lt.yyt.resize(n);
  for (auto& t : lt.yyt) {
    std::string hex;
    in >> hex >> t.s;
    if (hex.size() != 64) return false;
    for (int i = 0; i < 32; ++i) t.cc[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  if (lt.yyt.empty()) lt.yyt.push_back({});
  lt.tables = {states,         lt.yyk.data(),  lt.yym.data(),  lt.yyt.data(),  lt.yykl.data(),
               lt.yykh.data(), lt.yyml.data(), lt.yymh.data(), lt.yytl.data(), lt.yyth.data()};
  return static_cast<bool>(in);
}

// A lexer whose tokens are the rule numbers, on the general loop or, given
// derived tables, on the fast one.
class RuleLexer : public TCustomLexer {
public:
  explicit RuleLexer(const TLexTables& t, const TLexDenseTables* dense = nullptr) : t_(t), dense_(dense) {}
  int32_t yylex() override { return dense_ ? ScanWith(*dense_) : ScanWith(t_); }

protected:
  void yyaction(int32_t rule) override { returni(rule); }

private:
  const TLexTables& t_;
  const TLexDenseTables* dense_;
};

class LexGen : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("dirlook_lexgen_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not found";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // Runs the generator; the exit status.
  int Generate(const std::string& rules, LoadedTables* lt) {
    const auto rf = dir_ / "rules.l", out = dir_ / "tables.txt";
    std::ofstream(rf, std::ios::binary) << rules;
    const std::string cmd = "python3 '" + (SourceDir() / "tools" / "lexgen.py").string() + "' '" + rf.string() +
                            "' --text '" + out.string() + "' 2> '" + (dir_ / "err.txt").string() + "'";
    const int rc = std::system(cmd.c_str());
    if (rc == 0 && lt) {
      EXPECT_TRUE(LoadDump(out, *lt));
    }
    return rc;
  }
  // The tokens of the general loop; the fast loop must give the same, with
  // the same columns and lines.
  std::vector<Tok> Run(const LoadedTables& lt, const std::string& text) {
    const TLexDenseTables dense(lt.tables);
    EXPECT_TRUE(dense.Usable());
    RuleLexer lx(lt.tables), fx(lt.tables, &dense);
    lx.SetInputText(text);
    fx.SetInputText(text);
    std::vector<Tok> out;
    for (int32_t t; (t = lx.yylex()) != 0;) {
      out.emplace_back(t, lx.yylval);
      EXPECT_EQ(fx.yylex(), t) << text;
      EXPECT_EQ(fx.yylval, lx.yylval) << text;
      EXPECT_EQ(fx.ColNo, lx.ColNo) << text;
      EXPECT_EQ(fx.LineNo, lx.LineNo) << text;
    }
    EXPECT_EQ(fx.yylex(), 0) << text;
    EXPECT_EQ(fx.OwnOutput.Text(), lx.OwnOutput.Text()) << text;
    return out;
  }
  std::filesystem::path dir_;
};

}  // namespace

TEST_F(LexGen, LongestMatchThenLowerRule) {
  LoadedTables lt;
  ASSERT_EQ(Generate("%tables T\n%define A [a-z]\n%%\n"
                     "kw   \"if\"\n"
                     "id   {A}+\n"
                     "num  [0-9]+(\\.[0-9]+)?\n"
                     "ws   \" \"\n"
                     "nl   \\n\n"
                     "hash ^\"#\"{A}*\n"
                     "pair (ab|cd)+!?\n"
                     "any  .\n",
                     &lt),
            0);
  // "if" ties kw and id at length 2: kw (rule 1) wins; "ifx" is longer as id.
  EXPECT_EQ(Run(lt, "if ifx"), (std::vector<Tok>{{1, "if"}, {4, " "}, {2, "ifx"}, {5, "\n"}}));
  // The longest match backs up to the last accepting position.
  EXPECT_EQ(Run(lt, "12.x"), (std::vector<Tok>{{3, "12"}, {8, "."}, {2, "x"}, {5, "\n"}}));
  EXPECT_EQ(Run(lt, "12.50"), (std::vector<Tok>{{3, "12.50"}, {5, "\n"}}));
  // "^" rules live only at the start of a line.
  EXPECT_EQ(Run(lt, "#ab #ab\n#c"),
            (std::vector<Tok>{{6, "#ab"}, {4, " "}, {8, "#"}, {2, "ab"}, {5, "\n"}, {6, "#c"}, {5, "\n"}}));
  // id (rule 2) and pair (rule 7) both take "abcd": the lower rule wins;
  // only pair takes "abcd!".
  EXPECT_EQ(Run(lt, "abcd"), (std::vector<Tok>{{2, "abcd"}, {5, "\n"}}));
  EXPECT_EQ(Run(lt, "abcd!"), (std::vector<Tok>{{7, "abcd!"}, {5, "\n"}}));
}

TEST_F(LexGen, CharacterSetsAndEscapes) {
  LoadedTables lt;
  ASSERT_EQ(Generate("%tables T\n%%\n"
                     "neg   [^a-c\\n\\[\\]]+\n"
                     "hi    [\\x80-\\xFF]\n"
                     "q     \"a|b\"\n"
                     "br    [][]\n"
                     "nl    \\n\n",
                     &lt),
            0);
  EXPECT_EQ(Run(lt, "xyz"), (std::vector<Tok>{{1, "xyz"}, {5, "\n"}}));
  // The negated set includes bytes 0x80 and up; at equal length with "hi"
  // the lower rule wins.
  EXPECT_EQ(Run(lt, "\xE9"), (std::vector<Tok>{{1, "\xE9"}, {5, "\n"}}));
  EXPECT_EQ(Run(lt, "a|b"), (std::vector<Tok>{{3, "a|b"}, {5, "\n"}}));
  EXPECT_EQ(Run(lt, "[]"), (std::vector<Tok>{{4, "["}, {4, "]"}, {5, "\n"}}));
  // Bytes no rule takes ("a" alone) are echoed to the output stream.
  RuleLexer lx(lt.tables);
  lx.SetInputText("xa");
  EXPECT_EQ(lx.yylex(), 1);
  EXPECT_EQ(lx.yylex(), 5);
  EXPECT_EQ(lx.yylex(), 0);
  EXPECT_EQ(lx.OwnOutput.Text(), "a");
}

TEST_F(LexGen, BadRuleFilesAreRefused) {
  EXPECT_NE(Generate("%tables T\n%%\nr (ab\n", nullptr), 0);
  EXPECT_NE(Generate("%tables T\n%%\nr {nope}\n", nullptr), 0);
  EXPECT_NE(Generate("%tables T\n%%\nr a b\n", nullptr), 0);
  EXPECT_NE(Generate("%tables T\nr a\n", nullptr), 0);
  EXPECT_NE(Generate("%%\nr a\n", nullptr), 0);
  EXPECT_NE(Generate("%tables T\n%%\nr a\nr b\n", nullptr), 0);
}
