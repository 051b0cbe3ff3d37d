// Rule actions and keyword table of the SQL lexer.
#include "sql_engine/front/sql_lexer.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/sql_grammar_rules.h"
#include "sql_engine/sql_lexer_tables.h"

namespace {

struct Keyword {
  const char* name;
  TSqlToken token;
};

// Searched in this order; the first equal entry wins (NUMERIC shares FLOAT's
// token).
// clang-format off
constexpr Keyword kKeywords[] = {
    {"TOP", tkTOP},              {"SELECT", tkSELECT},        {"DISTINCT", tkDISTINCT},    {"TRUE", tkTRUE},
    {"FALSE", tkFALSE},          {"AND", tkAND},              {"OR", tkOR},                {"NOT", tkNOT},
    {"FROM", tkFROM},            {"WHERE", tkWHERE},          {"ORDER", tkORDER},          {"BY", tkBY},
    {"ASC", tkASC},              {"DESC", tkDESC},            {"AS", tkAS},                {"INNER", tkINNER},
    {"OUTER", tkOUTER},          {"FULL", tkFULL},            {"JOIN", tkJOIN},            {"ON", tkON},
    {"GROUP", tkGROUP},          {"ANY", tkANY},              {"ALL", tkALL},              {"SUM", tkSUM},
    {"AVG", tkAVG},              {"COUNT", tkCOUNT},          {"MIN", tkMIN},              {"MAX", tkMAX},
    {"STDEV", tkSTDEV},          {"BETWEEN", tkBETWEEN},      {"IN", tkIN},                {"LIKE", tkLIKE},
    {"LEFT", tkLEFT},            {"RIGHT", tkRIGHT},          {"HAVING", tkHAVING},        {"LEADING", tkLEADING},
    {"TRAILING", tkTRAILING},    {"BOTH", tkBOTH},            {"TRIM", tkTRIM},            {"EXTRACT", tkEXTRACT},
    {"YEAR", tkYEAR},            {"MONTH", tkMONTH},          {"DAY", tkDAY},              {"HOUR", tkHOUR},
    {"MINUTE", tkMINUTE},        {"SECOND", tkSECOND},        {"SUBSTRING", tkSUBSTRING},  {"FOR", tkFOR},
    {"DELETE", tkDELETE},        {"UPDATE", tkUPDATE},        {"INSERT", tkINSERT},        {"INTO", tkINTO},
    {"VALUES", tkVALUES},        {"SET", tkSET},              {"CAST", tkCAST},            {"CHAR", tkCHAR},
    {"INTEGER", tkINTEGER},      {"BOOLEAN", tkBOOLEAN},      {"DATE", tkDATE},            {"DATETIME", tkDATETIME},
    {"TIME", tkTIME},            {"FLOAT", tkFLOAT},          {"NUMERIC", tkFLOAT},        {"ESCAPE", tkESCAPE},
    {"CREATE", tkCREATE},        {"TABLE", tkTABLE},          {"SMALLINT", tkSMALLINT},    {"MONEY", tkMONEY},
    {"AUTOINC", tkAUTOINC},      {"PRIMARY", tkPRIMARY},      {"KEY", tkKEY},              {"BLOB", tkBLOB},
    {"INDEX", tkINDEX},          {"UNIQUE", tkUNIQUE},        {"DROP", tkDROP},            {"TRANSFORM", tkTRANSFORM},
    {"PIVOT", tkPIVOT},          {"UNION", tkUNION},          {"WITH", tkWITH},            {"IS", tkIS},
    {"NULL", tkNULL},            {"MOD", tkMOD},              {"DIV", tkDIV},              {"SHL", tkSHL},
    {"SHR", tkSHR},              {"ALTER", tkALTER},          {"COLUMN", tkCOLUMN},        {"ADD", tkADD},
    {"APPEND", tkAPPEND},        {"CASE", tkCASE},            {"WHEN", tkWHEN},            {"THEN", tkTHEN},
    {"ELSE", tkELSE},            {"END", tkEND},              {"PACK", tkPACK},            {"ZAP", tkZAP},
    {"REINDEX", tkREINDEX},      {"FIELDS", tkFIELDS},        {"USING", tkUSING},          {"RANGE", tkRANGE},
    {"TO", tkTO},
};
// clang-format on
static_assert(std::size(kKeywords) == 101);  // and fewer than 128: slots hold int8_t

// Every keyword's token is the one the grammar declares for the terminal of
// that name (NUMERIC is read as FLOAT).
consteval bool KeywordsMatchGrammar() {
  for (const Keyword& k : kKeywords) {
    const std::string_view name = k.name;
    if (sql_grammar::Token(name == "NUMERIC" ? "FLOAT" : name) != k.token) return false;
  }
  return true;
}
static_assert(KeywordsMatchGrammar(), "a keyword's token differs from the grammar's");

// Keywords are Latin letters only; no byte of code page 1251 outside a..z
// folds onto them, so a Latin case fold decides equality exactly as a
// locale-aware comparison would.
constexpr size_t kLongestKeyword = 9;  // "SUBSTRING", "TRANSFORM"

constexpr unsigned char FoldLatin(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// Keyword lookup is a perfect hash over the word's first sixteen bytes,
// read as two little-endian 64-bit words (bytes past the word zero), upper-
// cased eight bytes at a time: an identifier costs a fold, two multiplies,
// one slot and two word compares, with no loop over its bytes.  The
// multiplier below puts no two keywords in one slot.
constexpr size_t kSlots = 512;
constexpr uint64_t kOnes = 0x0101010101010101ull;

constexpr uint64_t KeywordHash(uint64_t w0, uint64_t w1, size_t n, uint64_t seed) {
  const uint64_t h = (w0 ^ (w1 * 0x9E3779B97F4A7C15ull) ^ static_cast<uint64_t>(n)) * seed;
  return h >> 55;  // 9 bits: kSlots
}
static_assert(kSlots == 512);

// Upper-cases the Latin letters among the eight bytes of w; bytes from 0x80
// up are left alone.
constexpr uint64_t FoldWord(uint64_t w) {
  const uint64_t low7 = w & (0x7F * kOnes);
  const uint64_t from_a = low7 + (0x80 - 'a') * kOnes;      // high bit: at least 'a'
  const uint64_t past_z = low7 + (0x80 - 'z' - 1) * kOnes;  // high bit: above 'z'
  const uint64_t lower = from_a & ~past_z & ~w & (0x80 * kOnes);
  return w ^ (lower >> 2);  // clears 0x20 of each lower-case letter
}

// The bytes [at, at + 8) of a word of n bytes, zero past its end.
constexpr uint64_t LoadWord(const unsigned char* p, size_t n, size_t at) {
  uint64_t w = 0;
  for (size_t i = 0; i < 8 && at + i < n; ++i) w |= static_cast<uint64_t>(p[at + i]) << (8 * i);
  return w;
}

constexpr size_t NameLength(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr uint64_t NameWord(const char* name, size_t at) {
  unsigned char buf[16] = {};
  const size_t n = NameLength(name);
  for (size_t i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>(name[i]);
  return LoadWord(buf, n, at);
}

constexpr uint64_t HashOf(const char* name, uint64_t seed) {
  return KeywordHash(NameWord(name, 0), NameWord(name, 8), NameLength(name), seed);
}

// What a word is to the identifier action.
constexpr int32_t kNotKeyword = 0;
constexpr int32_t kNowWord = -1;

// The words of the table: the keywords, then NOW (a word the identifier
// action knows too), then an entry no word matches (length 0) for the empty
// slots, so that a lookup has no branch on a slot being empty.
constexpr size_t kWords = std::size(kKeywords) + 2;
constexpr size_t kNowEntry = std::size(kKeywords);
constexpr size_t kNoEntry = kNowEntry + 1;

constexpr const char* WordName(size_t i) { return i < std::size(kKeywords) ? kKeywords[i].name : "NOW"; }

constexpr bool SeedIsPerfect(uint64_t seed) {
  bool used[kSlots] = {};
  for (size_t i = 0; i < kNoEntry; ++i) {
    const uint64_t h = HashOf(WordName(i), seed);
    if (used[h]) return false;
    used[h] = true;
  }
  return true;
}

// Found by trying random odd multipliers; checked here whenever the table
// changes (a keyword added that collides needs a new one).
constexpr uint64_t kSeed = 0xa1032d92e570b82bull;
static_assert(SeedIsPerfect(kSeed), "two keywords share a slot: choose another multiplier");

// A word's entry fills half a cache line, so that a lookup reads two lines:
// its slot and its entry.
struct alignas(32) WordEntry {
  uint64_t words[2];
  int16_t token;
  uint8_t length;
};

struct KeywordTable {
  uint8_t slots[kSlots];  // index into the entries
  WordEntry entries[kWords];
};
static_assert(kWords < 256);

constexpr KeywordTable BuildTable() {
  KeywordTable t{};
  for (uint8_t& s : t.slots) s = static_cast<uint8_t>(kNoEntry);
  for (size_t i = 0; i < kNoEntry; ++i) {
    const char* name = WordName(i);
    t.slots[HashOf(name, kSeed)] = static_cast<uint8_t>(i);
    t.entries[i].words[0] = NameWord(name, 0);
    t.entries[i].words[1] = NameWord(name, 8);
    t.entries[i].length = static_cast<uint8_t>(NameLength(name));
    t.entries[i].token = static_cast<int16_t>(i == kNowEntry ? kNowWord : kKeywords[i].token);
  }
  return t;
}

constexpr KeywordTable kTable = BuildTable();

// The keyword token of the n bytes at p in any case, kNowWord for NOW, else
// kNotKeyword.  p must have sixteen readable bytes (those past n are not
// looked at).
int32_t LookupWord(const unsigned char* p, size_t n) {
  if (n == 0 || n > kLongestKeyword) return kNotKeyword;
  uint64_t w0, w1;
  std::memcpy(&w0, p, 8);
  std::memcpy(&w1, p + 8, 8);
  // Keep the word's own bytes: n is 1..9.
  const uint64_t all = ~uint64_t{0};
  w0 = FoldWord(w0 & (n >= 8 ? all : (uint64_t{1} << (8 * n)) - 1));
  w1 = FoldWord(w1 & (n > 8 ? (uint64_t{1} << (8 * (n - 8))) - 1 : 0));
  const WordEntry& e = kTable.entries[kTable.slots[KeywordHash(w0, w1, n, kSeed)]];
  const bool same = (e.length == n) & (e.words[0] == w0) & (e.words[1] == w1);
  return same ? e.token : kNotKeyword;
}

// LookupWord over a text of any size.
int32_t LookupWord(const std::string& text) {
  if (text.empty() || text.size() > kLongestKeyword) return kNotKeyword;
  unsigned char buf[16] = {};
  std::memcpy(buf, text.data(), text.size());
  return LookupWord(buf, text.size());
}

// The general comparison, for the reference lookup by scan.
bool SameKeyword(const std::string& text, const char* name) {
  const size_t n = std::strlen(name);
  if (text.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (FoldLatin(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(name[i])) return false;
  return true;
}

// Sets aside the short date format and the date separator of the settings
// and puts them back when it ends.
class DateSettingsGuard {
public:
  explicit DateSettingsGuard(FormatSettings& fs) : fs_(fs), format_(fs.ShortDateFormat), separator_(fs.DateSeparator) {}
  ~DateSettingsGuard() {
    fs_.ShortDateFormat.swap(format_);
    fs_.DateSeparator = separator_;
  }
  DateSettingsGuard(const DateSettingsGuard&) = delete;
  DateSettingsGuard& operator=(const DateSettingsGuard&) = delete;

private:
  FormatSettings& fs_;
  std::string format_;
  char separator_;
};

// The separator a date format writes between its parts ("/" in "m/d/yyyy"),
// 0 when it has none.
char SeparatorOf(const std::string& format) {
  for (char c : format) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (!std::isalpha(u) && c != '\'' && c != '"' && c != ' ') return c;
  }
  return 0;
}

// Blanks, tabs, line feeds and comments are the layout the parser skips;
// only the two quoted literals may go on past their closing quote, and
// their texts keep their line breaks as written; every
// rule but the identifier, hexadecimal, date and "||" rules only returns its
// token (yyaction below says the same; the tests hold the two together).
constexpr auto kRuleInfo = [] {
  using Info = TCustomLexer::TLexRuleInfo;
  std::array<Info, TCustomLexer::kMaxRules + 1> t{};
  // clang-format off
  const std::pair<int32_t, int32_t> plain[] = {
      {rSlashComment, tkComment}, {rBracketComment, tkComment}, {rDashComment, tkComment},
      {rBracketName, tkIdent},    {rNumber, tkNumber},          {rUnsigned, tkUInt},
      {rSigned, tkSInt},          {rQuoted, tkString},          {rDoubleQuoted, tkString},
      {rComma, tkComma},          {rLParen, tkLParen},          {rRParen, tkRParen},
      {rLBracket, tkLBracket},    {rRBracket, tkRBracket},      {rGT, tkGT},
      {rLT, tkLT},                {rDot, tkDot},                {rColon, tkColon},
      {rSemicolon, tkSemicolon},  {rEQ, tkEQ},                  {rStar, tkStar},
      {rPlus, tkPlus},            {rMinus, tkMinus},            {rPower, tkPower},
      {rSlash, tkSlash},          {rNE, tkNE},                  {rGE, tkGE},
      {rLE, tkLE},                {rBlank, tkBlank},            {rNewLine, tkNewLine},
      {rTab, tkTab},              {rOther, tkIllegal},
  };
  // clang-format on
  for (const auto& [rule, token] : plain) t[static_cast<size_t>(rule)].Token = static_cast<int16_t>(token);
  for (const int32_t r : {rBlank, rNewLine, rTab, rSlashComment, rBracketComment, rDashComment})
    t[static_cast<size_t>(r)].Flags |= TCustomLexer::kRuleLayout;
  for (const int32_t r : {rQuoted, rDoubleQuoted})
    t[static_cast<size_t>(r)].Flags |= TCustomLexer::kRuleMayContinue | TCustomLexer::kRuleKeepsBreaks;
  return t;
}();

}  // namespace

TkpLexer::TkpLexer() { RuleInfo = kRuleInfo.data(); }

bool TkpLexer::IsKeyword(const std::string& text, int32_t& token) {
  const int32_t t = LookupWord(text);
  if (t <= 0) return false;
  token = t;
  return true;
}

bool TkpLexer::IsKeywordByScan(const std::string& text, int32_t& token) {
  for (const Keyword& k : kKeywords) {
    if (SameKeyword(text, k.name)) {
      token = k.token;
      return true;
    }
  }
  return false;
}

std::vector<std::string> TkpLexer::KeywordNames() {
  std::vector<std::string> names;
  for (const Keyword& k : kKeywords) names.emplace_back(k.name);
  return names;
}

void TkpLexer::commenteof() {
  const std::string line = "unexpected EOF inside comment at line " + std::to_string(LineNo) + "\r\n";
  if (ErrorStream) ErrorStream->Write(line.data(), line.size());
}

int32_t TkpLexer::yylex() {
  static const TLexDenseTables dense(SqlLexTables);
  return ScanWith(dense);
}

std::string TkpLexer::DateText(double dt) const {
  // A date is a whole day count: its general float text is its integer
  // digits, written here without the general formatter's digit rounding.
  std::string text =
      dt == std::floor(dt) && std::fabs(dt) < 1e15 ? std::to_string(static_cast<int64_t>(dt)) : FloatToStr(dt);
  if (WhereDates) text = "DummyDate(" + text + ")";
  return text;
}

void TkpLexer::IdentifierAction() {
  // The token's text is also at the start of the text buffer, whose first
  // sixteen bytes are always readable.
  const int32_t token =
      yylval.size() == static_cast<size_t>(TextLen) ? LookupWord(TextBuf.data(), yylval.size()) : LookupWord(yylval);
  if (token == kNowWord) {
    if (DateFormat.empty()) DateFormat = GetFormatSettings().ShortDateFormat;
    yylval = DateText(Now());
    returni(tkNumber);
    return;
  }
  if (token != kNotKeyword) {
    if (token == tkWHERE) WhereDates = true;
    else if (WhereDates && (token == tkGROUP || token == tkORDER || token == tkSELECT || token == tkPIVOT))
      WhereDates = false;
    returni(token);
    return;
  }
  returni(tkIdent);
}

// Every literal between number signs is read as a date, short ones too
// (#1/1/04#): dropping it would silently change the statement.
void TkpLexer::DateAction() {
  const std::string inner = yylval.substr(1, yylval.size() - 2);
  if (DateFormat.empty()) DateFormat = GetFormatSettings().ShortDateFormat;
  TDateTime dt = 0;
  bool ok = false;
  {
    // The date parser reads the process settings: the literal's format and
    // its separator hold only for this conversion, and only they are set
    // aside (a literal per statement; a copy of all the settings would cost
    // more than lexing the statement).
    FormatSettings& fs = GetFormatSettings();
    DateSettingsGuard guard(fs);
    fs.ShortDateFormat = DateFormat;
    if (const char sep = SeparatorOf(DateFormat)) fs.DateSeparator = sep;
    ok = TryStrToDate(inner, dt);
  }
  if (!ok) throw EConvertError("'%s' is not a valid date", {inner});
  yylval = DateText(dt);
  returni(tkNumber);
}

void TkpLexer::HexAction() {
  // "$" and at least one hex digit; a 32-bit value (up to $FFFFFFFF, which
  // reads as -1) or the illegal-character token.
  uint64_t v = 0;
  for (size_t i = 1; i < yylval.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(yylval[i]);
    const int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) {
      returni(tkIllegal);
      return;
    }
  }
  yylval = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
  returni(tkNumber);
}

// A string literal followed at once by its quote character goes on: the
// doubled quote stays in the text ('it''s') and the next match, which starts
// at the second quote, is appended to this one.
bool TkpLexer::yycontinues(int32_t rule) {
  if (rule != rQuoted && rule != rDoubleQuoted) return false;
  return NextCharIs(rule == rQuoted ? '\'' : '"');
}

void TkpLexer::yyaction(int32_t rule) {
  switch (rule) {
    case rIdentifier: IdentifierAction(); break;
    case rSlashComment:
    case rBracketComment:
    case rDashComment: returni(tkComment); break;
    case rBracketName: returni(tkIdent); break;
    case rNumber: returni(tkNumber); break;
    case rUnsigned: returni(tkUInt); break;
    case rSigned: returni(tkSInt); break;
    case rHex: HexAction(); break;
    case rQuoted:
    case rDoubleQuoted: returni(tkString); break;
    case rDate: DateAction(); break;
    case rComma: returni(tkComma); break;
    case rLParen: returni(tkLParen); break;
    case rRParen: returni(tkRParen); break;
    case rLBracket: returni(tkLBracket); break;
    case rRBracket: returni(tkRBracket); break;
    case rGT: returni(tkGT); break;
    case rLT: returni(tkLT); break;
    case rDot: returni(tkDot); break;
    case rColon: returni(tkColon); break;
    case rSemicolon: returni(tkSemicolon); break;
    case rEQ: returni(tkEQ); break;
    case rStar: returni(tkStar); break;
    case rPlus: returni(tkPlus); break;
    case rMinus: returni(tkMinus); break;
    case rPower: returni(tkPower); break;
    case rSlash: returni(tkSlash); break;
    case rNE: returni(tkNE); break;
    case rGE: returni(tkGE); break;
    case rLE: returni(tkLE); break;
    case rConcat:
      yylval.assign(1, '+');
      returni(tkPlus);
      break;
    case rBlank: returni(tkBlank); break;
    case rNewLine: returni(tkNewLine); break;
    case rTab: returni(tkTab); break;
    default: returni(tkIllegal); break;
  }
}
