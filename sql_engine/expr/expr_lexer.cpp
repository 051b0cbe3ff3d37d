// Rule actions and keyword table of the expression lexer.
#include "sql_engine/expr/expr_lexer.h"

#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/expr_grammar_rules.h"
#include "sql_engine/expr_lexer_tables.h"

namespace {

struct Keyword {
  std::string_view name;
  TExprToken token;
};

// Searched in this order; the first equal entry wins.
constexpr Keyword kKeywords[] = {
    {"AND", etAND},       {"OR", etOR},           {"XOR", etXOR},         {"NOT", etNOT},         {"MOD", etMOD},
    {"TRUE", etTRUE},     {"FALSE", etFALSE},     {"IN", etIN},           {"AS", etAS},           {"LIKE", etLIKE},
    {"STRING", etSTRING}, {"FLOAT", etFLOAT},     {"INTEGER", etINTEGER}, {"BOOLEAN", etBOOLEAN}, {"SHL", etSHL},
    {"SHR", etSHR},       {"BETWEEN", etBETWEEN}, {"END", etEND},         {"DIV", etDIV},         {"CASE", etCASE},
    {"WHEN", etWHEN},     {"THEN", etTHEN},       {"ELSE", etELSE},       {"IF", etIF},           {"CAST", etCAST},
    {"ESCAPE", etESCAPE},
};
static_assert(std::size(kKeywords) == 26);

// Every keyword's token is the one the grammar declares for the terminal of
// that name.
consteval bool KeywordsMatchGrammar() {
  for (const Keyword& k : kKeywords)
    if (expr_grammar::Token(k.name) != k.token) return false;
  return true;
}
static_assert(KeywordsMatchGrammar(), "a keyword's token differs from the grammar's");

// Keywords are Latin letters only; no byte of code page 1251 outside a..z
// folds onto them, so a Latin case fold decides as the locale would.
bool SameKeyword(const std::string& text, std::string_view name) {
  const size_t n = name.size();
  if (text.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c != static_cast<unsigned char>(name[i])) return false;
  }
  return true;
}

}  // namespace

bool TExprLexer::IsKeyword(const std::string& text, int32_t& token) {
  for (const Keyword& k : kKeywords) {
    if (SameKeyword(text, k.name)) {
      token = k.token;
      return true;
    }
  }
  return false;
}

int32_t TExprLexer::yylex() {
  static const TLexDenseTables dense(ExprLexTables);
  return ScanWith(dense);
}

void TExprLexer::HexAction() {
  uint64_t v = 0;
  for (size_t i = 1; i < yylval.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(yylval[i]);
    const int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) {
      returni(etIllegal);
      return;
    }
  }
  yylval = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
  returni(etFloat);
}

// Date literals are always month/day/year.  Short ones (#1/2/03#) are read
// too: skipping them would silently change the expression.
void TExprLexer::DateAction() {
  const std::string inner = yylval.substr(1, yylval.size() - 2);
  TDateTime dt = 0;
  {
    FormatSettingsGuard guard;
    FormatSettings& fs = GetFormatSettings();
    fs.ShortDateFormat = "m/d/yyyy";
    fs.DateSeparator = '/';
    dt = StrToDate(inner);
  }
  yylval = FloatToStr(dt);
  returni(etFloat);
}

// A string literal followed at once by its quote character goes on: the
// next match, which starts at the second quote, is appended to this one.
bool TExprLexer::yycontinues(int32_t rule) {
  if (rule != rQuoted && rule != rDoubleQuoted) return false;
  return NextCharIs(rule == rQuoted ? '\'' : '"');
}

void TExprLexer::yyaction(int32_t rule) {
  switch (rule) {
    case rIdentifier: {
      int32_t token = 0;
      returni(IsKeyword(yylval, token) ? token : etIdent);
      break;
    }
    case rBracketName:
      yylval = yylval.substr(1, yylval.size() - 2);
      returni(etIdent);
      break;
    case rFloat: returni(etFloat); break;
    case rUnsigned: returni(etUInt); break;
    case rSigned: returni(etSInt); break;
    case rHex: HexAction(); break;
    case rQuoted:
    case rDoubleQuoted:
      // A literal is data: its line breaks stay as written.
      RestoreLineBreaks(yylval);
      returni(etString);
      break;
    case rDate: DateAction(); break;
    case rComma: returni(etComma); break;
    case rLParen: returni(etLParen); break;
    case rRParen: returni(etRParen); break;
    case rGT: returni(etGT); break;
    case rLT: returni(etLT); break;
    case rEQ: returni(etEQ); break;
    case rNE: returni(etNE); break;
    case rGE: returni(etGE); break;
    case rLE: returni(etLE); break;
    case rDot: returni(etDot); break;
    case rColon: returni(etColon); break;
    case rStar: returni(etStar); break;
    case rPlus: returni(etPlus); break;
    case rMinus: returni(etMinus); break;
    case rPower: returni(etPower); break;
    case rSlash: returni(etSlash); break;
    case rComment: returni(etComment); break;
    case rBlank: returni(etBlank); break;
    case rNewLine: returni(etNewLine); break;
    case rTab: returni(etTab); break;
    default: returni(etIllegal); break;
  }
}
