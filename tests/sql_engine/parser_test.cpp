// SQL parser: the table-driven runtime over the generated tables, checked
// against the grammar itself (bison's own parser of the same grammar file)
// over a corpus of statements.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sql_engine/front/parse_runtime.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/front/sql_parser.h"
#include "sql_engine/front/sql_tokens.h"

extern "C" int SqlGrammarOracle(const int* tokens, int count);

namespace {

struct ParseResult {
  int32_t Result;
  std::string Message;
  int32_t Line;
};

ParseResult ParseSql(const std::string& sql) {
  TSqlAnalizer a(nullptr, nullptr);
  const int32_t r = a.Parse(sql);
  return {r, a.Parser()->ErrorMessage, a.Lexer()->LineNo};
}

// The tokens the parser reads, for the oracle.
std::vector<int> Tokens(const std::string& sql) {
  TkpLexer lx;
  lx.SetInputText(sql);
  std::vector<int> out;
  for (int guard = 0; guard < 1000000; ++guard) {
    const int32_t t = lx.yylex();
    if (t <= 0) break;
    if (t >= tkComment && t <= tkNewLine) continue;
    out.push_back(t);
  }
  return out;
}

std::filesystem::path DataDir() {
  if (const char* src = std::getenv("DIRLOOK_SOURCE_DIR"))
    return std::filesystem::path(src) / "tests" / "sql_engine" / "data";
  return std::filesystem::path(__FILE__).parent_path() / "data";
}

struct CorpusLine {
  std::string Verdict;
  std::string Sql;
  int LineNo;
};

std::vector<CorpusLine> LoadCorpus() {
  std::ifstream in(DataDir() / "parser_corpus.txt");
  std::vector<CorpusLine> out;
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    CorpusLine c{line.substr(0, sp), sp == std::string::npos ? "" : line.substr(sp + 1), n};
    for (size_t p; (p = c.Sql.find("\\n")) != std::string::npos;) c.Sql.replace(p, 2, "\n");
    out.push_back(c);
  }
  return out;
}

TEST(ParserTables, GeneratedShape) {
  const TParseTables& t = KpyaccTables();
  EXPECT_EQ(t.StateCount, 695);
  EXPECT_EQ(t.RuleCount, 357);
  // Rule 1 is statement: select_stmt; rule 357 reindex_stmt: REINDEX TABLE table_list.
  EXPECT_EQ(t.YYR[0], 1);
  EXPECT_EQ(t.YYR[1], -1);
  EXPECT_EQ(t.YYR[2 * 356], 3);
  // Every slice is inside its table; the accept action exists exactly once.
  int accepts = 0;
  for (int32_t s = 0; s < t.StateCount; ++s) {
    ASSERT_GE(t.YYAL[s], 1);
    ASSERT_LE(t.YYAH[s], t.YYACount);
    ASSERT_GE(t.YYGL[s], 1);
    ASSERT_LE(t.YYGH[s], t.YYGCount);
    for (int32_t k = t.YYAL[s]; k <= t.YYAH[s]; ++k)
      if (t.YYA[2 * (k - 1)] == 0 && t.YYA[2 * (k - 1) + 1] == 0) ++accepts;
    // A default reduction only where no lookahead is needed.
    if (t.YYD[s] != 0) {
      EXPECT_GT(t.YYAL[s], t.YYAH[s]) << "state " << s;
    }
  }
  EXPECT_EQ(accepts, 1);
}

// The rows the driver reads answer every lookup as the walk over the lists
// does: both grammars' tables, every state and symbol, also those out of
// range.  Tables whose symbols the rows have no column for are refused.
TEST(ParserTables, RowsAnswerAsTheLists) {
  for (const TParseTables* t : {&KpyaccTables(), &QexpryaccTables()}) {
    const TParseDenseTables d(*t);
    ASSERT_TRUE(d.Usable());
    for (int32_t s = -1; s <= t->StateCount; ++s) {
      for (int32_t sym = -2; sym <= 400; ++sym) {
        int32_t listed = -7, rows = -7;
        const bool inList = TCustomParser::FindAction(*t, s, sym, listed);
        ASSERT_EQ(d.FindAction(s, sym, rows), inList) << "state " << s << " symbol " << sym;
        if (inList) {
          ASSERT_EQ(rows, listed) << "state " << s << " symbol " << sym;
        }
      }
      for (int32_t nt = -200; nt <= 1; ++nt) {
        int32_t listed = -7, rows = -7;
        const bool inList = TCustomParser::FindGoto(*t, s, nt, listed);
        ASSERT_EQ(d.FindGoto(s, nt, rows), inList) << "state " << s << " nonterminal " << nt;
        if (inList) {
          ASSERT_EQ(rows, listed) << "state " << s << " nonterminal " << nt;
        }
      }
    }
  }
  // A character token ('(' is 40) has no column.
  const int16_t yya[] = {40, 1, 0, 0};
  const int16_t yyg[] = {-1, 1};
  const int16_t one[] = {0, 0};
  const int16_t low[] = {1, 3}, high[] = {2, 2}, glow[] = {1, 2}, ghigh[] = {1, 1};
  const int16_t yyr[] = {1, -1};
  const TParseTables tiny{yya, 2, yyg, 1, one, low, high, glow, ghigh, 2, yyr, 1};
  EXPECT_FALSE(TParseDenseTables(tiny).Usable());
}

TEST(Parser, EmptyTextCommentOnlyAndTwoStatements) {
  for (const char* sql : {"", "   \n  ", "-- only a comment --", "/* only this */"}) {
    const ParseResult r = ParseSql(sql);
    EXPECT_EQ(r.Result, 1) << sql;
    EXPECT_EQ(r.Message, "syntax error") << sql;
  }
  const ParseResult two = ParseSql("select * from t\nselect * from u");
  EXPECT_EQ(two.Result, 1);
  EXPECT_EQ(two.Message, "syntax error");
  EXPECT_EQ(two.Line, 2);  // the error is found at the second statement
  EXPECT_EQ(ParseSql("select * from t;").Result, 0);
}

TEST(Parser, DisallowedCharacterIsAnErrorAtOnce) {
  // '~' scans as token 292; the parse stops there, not later.
  TSqlAnalizer a(nullptr, nullptr);
  EXPECT_EQ(a.Parse("select * from t where a = ~"), 1);
  EXPECT_EQ(a.Parser()->ErrorMessage, "syntax error");
  EXPECT_EQ(a.Parser()->Lookahead, tkIllegal);
  // A carriage return outside literals is such a character too.
  EXPECT_EQ(ParseSql("select *\r from t").Result, 1);
}

TEST(Parser, DeepNestingOverflowsTheStack) {
  std::string deep = "select * from t where ";
  for (int i = 0; i < 1045; ++i) deep += "(";
  deep += "a = 1";
  for (int i = 0; i < 1045; ++i) deep += ")";
  const ParseResult r = ParseSql(deep);
  EXPECT_EQ(r.Result, 1);
  EXPECT_EQ(r.Message, "Statement too deeply nested: more than 1048 levels");

  std::string fine = "select * from t where ";
  for (int i = 0; i < 500; ++i) fine += "(";
  fine += "a = 1";
  for (int i = 0; i < 500; ++i) fine += ")";
  EXPECT_EQ(ParseSql(fine).Result, 0);
}

TEST(Parser, ParserStateIsPerInstance) {
  // Two parses interleaved token by token would share nothing; here two
  // analyzers parse one after the other and keep their own results.
  TSqlAnalizer a(nullptr, nullptr), b(nullptr, nullptr);
  ASSERT_EQ(a.Parse("select x from t"), 0);
  ASSERT_EQ(b.Parse("select y from u where"), 1);
  EXPECT_EQ(a.Parser()->ErrorMessage, "");
  EXPECT_EQ(a.ColumnList.Get(0)->ExprText, "\\f\"x\"");
  EXPECT_EQ(b.Parser()->ErrorMessage, "syntax error");
}

TEST(Parser, CorpusAgreesWithTheGrammar) {
  const std::vector<CorpusLine> corpus = LoadCorpus();
  ASSERT_GT(corpus.size(), 100u) << "corpus not found in " << DataDir();
  int kinds[13] = {};
  for (const CorpusLine& c : corpus) {
    SCOPED_TRACE("corpus line " + std::to_string(c.LineNo) + ": " + c.Sql);
    TSqlAnalizer a(nullptr, nullptr);
    const int32_t r = a.Parse(c.Sql);
    const std::vector<int> tokens = Tokens(c.Sql);
    const int oracle = SqlGrammarOracle(tokens.data(), static_cast<int>(tokens.size()));
    if (c.Verdict == "accept") {
      EXPECT_EQ(r, 0) << a.Parser()->ErrorMessage;
      EXPECT_EQ(oracle, 0);
      if (r == 0) ++kinds[a.Statement];
    } else if (c.Verdict == "reject") {
      EXPECT_EQ(r, 1);
      EXPECT_EQ(a.Parser()->ErrorMessage, "syntax error");
      EXPECT_NE(oracle, 0);
    } else if (c.Verdict == "refuse") {
      EXPECT_EQ(r, 1);
      EXPECT_NE(a.Parser()->ErrorMessage, "syntax error");
      EXPECT_EQ(oracle, 0);  // grammatical: only the statement check refuses it
    } else {
      ADD_FAILURE() << "unknown verdict " << c.Verdict;
    }
  }
  for (int k = 0; k < 13; ++k) EXPECT_GT(kinds[k], 0) << "no accepted statement of kind " << k;
}

// Random token sequences drawn from the grammar's own terminals: our parser
// and bison's agree on every one.
TEST(Parser, RandomTokenStreamsAgreeWithTheGrammar) {
  struct VectorLexer : TCustomLexer {
    std::vector<int> Toks;
    size_t Pos = 0;
    int32_t yylex() override {
      if (Pos >= Toks.size()) return 0;
      yylval = "x";
      return Toks[Pos++];
    }
    void yyaction(int32_t) override {}
  };
  // Prefixes of corpus statements with one token changed give mostly
  // near-miss inputs, the interesting kind.
  const std::vector<CorpusLine> corpus = LoadCorpus();
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  int agreeAccept = 0;
  for (int round = 0; round < 3000; ++round) {
    const CorpusLine& c = corpus[next() % corpus.size()];
    std::vector<int> toks = Tokens(c.Sql);
    if (!toks.empty()) {
      const int mode = next() % 3;
      const size_t at = next() % toks.size();
      const int tok = 257 + static_cast<int>(next() % 130);
      if (mode == 0) {
        toks[at] = tok;
      } else if (mode == 1) {
        toks.erase(toks.begin() + static_cast<long>(at));
      } else {
        toks.insert(toks.begin() + static_cast<long>(at), tok);
      }
    }
    // Skipped text never reaches bison's parser.
    std::erase_if(toks, [](int t) { return t >= tkComment && t <= tkNewLine; });
    TSqlAnalizer a(nullptr, nullptr);
    VectorLexer lx;
    lx.Toks = toks;
    TkpParser p(&a);
    p.Lexer = &lx;
    const int32_t ours = p.yyparse();
    const int oracle = SqlGrammarOracle(toks.data(), static_cast<int>(toks.size()));
    if (p.ErrorMessage == "syntax error" || ours == 0) {
      EXPECT_EQ(ours == 0, oracle == 0) << "round " << round << " from: " << c.Sql;
    }
    if (ours == 0 && oracle == 0) ++agreeAccept;
  }
  EXPECT_GT(agreeAccept, 0);
}

// The table generator refuses what the runtime could not run correctly.
class BisonTablesScript : public ::testing::Test {
protected:
  void SetUp() override {
    if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not found";
    if (std::system("bison --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "bison not found";
    dir_ = std::filesystem::temp_directory_path() / ("bison_tables_test_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // Runs bison with `bisonArgs` on `grammar`, then the script; its exit code.
  int Generate(const std::string& grammar, const std::string& bisonArgs, std::string& output,
               const std::string& scriptArgs = std::string()) {
    std::ofstream(dir_ / "g.y") << grammar;
    const std::filesystem::path src = DataDir().parent_path().parent_path().parent_path();
    const std::string cmd =
        "cd '" + dir_.string() + "' && bison " + bisonArgs + " --xml=g.xml -o g.c g.y 2> bison.err && python3 '" +
        (src / "tools" / "bison_tables.py").string() + "' g.xml out.cpp --name T " + scriptArgs + " 2> script.err";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(dir_ / "out.cpp");
    std::stringstream ss;
    ss << in.rdbuf();
    output = ss.str();
    return rc;
  }
  std::filesystem::path dir_;
};

const char* const kTinyGrammar =
    "%token NUM 258 PLUS 281\n%left PLUS\n%%\n"
    "e : e PLUS e | NUM | '(' e ')' ;\n";

TEST_F(BisonTablesScript, WritesTablesForAConsistentAutomaton) {
  std::string out;
  ASSERT_EQ(Generate(kTinyGrammar, "-Dlr.default-reduction=consistent", out), 0);
  EXPECT_NE(out.find("const TParseTables& T()"), std::string::npos);
  EXPECT_NE(out.find("kYYR[] = {\n  3, -1, 1, -1, 3, -1,"), std::string::npos) << out;
}

TEST_F(BisonTablesScript, NamesTheProductionsForTheActions) {
  std::string out;
  ASSERT_EQ(
      Generate(kTinyGrammar, "-Dlr.default-reduction=consistent", out, "--rules-header rules.h --rules-namespace tiny"),
      0);
  std::ifstream in(dir_ / "rules.h");
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string header = ss.str();
  EXPECT_NE(header.find("namespace tiny {"), std::string::npos) << header;
  EXPECT_NE(header.find("\"e: e PLUS e\",  // 1\n    \"e: NUM\",  // 2\n    \"e: '(' e ')'\",  // 3\n"),
            std::string::npos)
      << header;
  EXPECT_NE(header.find("{\"NUM\", 258},"), std::string::npos) << header;
  EXPECT_NE(header.find("kRuleCount = 3;"), std::string::npos) << header;
}

TEST_F(BisonTablesScript, RefusesDefaultReductionsBesideShifts) {
  // bison's usual default reductions act without a lookahead in states that
  // also shift; the runtime reads no lookahead there, so they are refused.
  const char* grammar = "%token NUM 258 PLUS 281\n%%\ns : NUM | NUM PLUS NUM ;\n";
  std::string out;
  ASSERT_EQ(Generate(grammar, "-Dlr.default-reduction=consistent", out), 0);
  EXPECT_NE(Generate(grammar, "-Dlr.default-reduction=most", out), 0);
}

}  // namespace
