// Runtime of the table-driven LALR(1) parsers of the query engine.
//
// TCustomParser is the base of the SQL parser (TkpParser) and the
// expression parser.  The parse tables are generated at build time from a
// bison grammar in resources/ by tools/bison_tables.py and handed over as a
// TParseTables: eight int16 tables, per state a slice of the action table
// (symbol, action: > 0 shift to that state, < 0 reduce by that rule, 0
// accept), a slice of the goto table (nonterminal, state), and a default
// reduction (-rule, or 0 when the state must look at the lookahead); per
// rule its length and left-hand nonterminal.  Terminals are token numbers
// (0 end of input, 256 error); nonterminals are -1..-N.  The driver reads
// them as rows (TParseDenseTables), derived once per table set.
//
// The driver keeps its state and its stacks in the instance: the current
// token's value is taken from the lexer when the token is read, so nothing
// is shared between parsers.  The value stack holds at most kMaxDepth
// entries; deeper nesting ends the parse with "Statement too deeply nested:
// more than 1048 levels" (kDepthMessage).
//
// A production's value starts as the value of its first right-hand symbol:
// after the action it stays in that symbol's slot of the value stack, with
// the text the action set (SetText) or else the symbol's own, never copied:
// a long left-recursive chain (a OR b OR c ...) then costs time in
// proportion to its length, not its square.
//
// Tokens SkipLow to SkipHigh (comments, blanks, tabs, line feeds; 293 to 296
// for SQL) are skipped before the parser sees them; IllegalToken (a character
// the lexer does not allow; 292 for SQL) is a syntax error at once.  The
// expression parser sets its own numbers.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

class TCustomLexer;

// The generated tables.  Slices are 1-based inclusive entry ranges; a slice
// with high < low is empty.  YYA and YYG hold two int16 per entry, YYR two
// per rule (rule 1 first).
struct TParseTables {
  const int16_t* YYA;
  int32_t YYACount;
  const int16_t* YYG;
  int32_t YYGCount;
  const int16_t* YYD;
  const int16_t* YYAL;
  const int16_t* YYAH;
  const int16_t* YYGL;
  const int16_t* YYGH;
  int32_t StateCount;
  const int16_t* YYR;
  int32_t RuleCount;
};

// The tables in the form the driver reads: a row per state that has
// actions, a column per terminal (end of input, then the error token and
// the tokens above it), and a row per state that has gotos, a column per
// nonterminal; derived once from a TParseTables (a parser keeps one as a
// static next to its generated tables).  A lookup is one load where the
// lists need a walk over the state's slice.  Both answer alike: the first
// entry of a slice wins, and a slice that leaves its table ends the walk
// there.  Tables the rows cannot stand in for (an action or goto of -32768,
// which the rows use for "none", or a symbol that is neither a token nor a
// nonterminal) are marked unusable, and the driver walks the lists.
class TParseDenseTables {
public:
  explicit TParseDenseTables(const TParseTables& t);

  const TParseTables& Source() const { return source_; }
  bool Usable() const { return usable_; }

  bool FindAction(int32_t state, int32_t symbol, int32_t& action) const {
    if (state < 0 || state >= source_.StateCount) return false;
    const int32_t row = actionRow_[static_cast<size_t>(state)];
    int32_t col;
    if (symbol == 0) col = 0;
    else if (symbol >= 256 && symbol <= maxToken_) col = symbol - 255;
    else return false;
    if (row < 0) return false;
    const int16_t a = actions_[static_cast<size_t>(row) * static_cast<size_t>(actionCols_) + static_cast<size_t>(col)];
    if (a == kNone) return false;
    action = a;
    return true;
  }
  bool FindGoto(int32_t state, int32_t nonterminal, int32_t& target) const {
    if (state < 0 || state >= source_.StateCount || nonterminal >= 0 || -nonterminal > gotoCols_) return false;
    const int32_t row = gotoRow_[static_cast<size_t>(state)];
    if (row < 0) return false;
    const int16_t g =
        gotos_[static_cast<size_t>(row) * static_cast<size_t>(gotoCols_) + static_cast<size_t>(-nonterminal - 1)];
    if (g == kNone) return false;
    target = g;
    return true;
  }

private:
  static constexpr int16_t kNone = INT16_MIN;
  const TParseTables& source_;
  bool usable_ = false;
  int32_t maxToken_ = 255;
  int32_t actionCols_ = 1;
  int32_t gotoCols_ = 0;
  std::vector<int32_t> actionRow_;  // per state, -1 when it has no actions
  std::vector<int32_t> gotoRow_;    // per state, -1 when it has no gotos
  std::vector<int16_t> actions_;
  std::vector<int16_t> gotos_;
};

// What the current semantic action asks the driver to do.
enum class TYYFlag : uint8_t { yyfnone, yyfaccept, yyfabort, yyferror };

// One semantic value: the text the grammar builds, and a small number that
// some productions carry beside it (a keyword's code, a type token, a size).
struct TYYValue {
  std::string Text;
  int32_t Code = 0;
  int32_t Size = 0;
};

class TCustomParser {
public:
  static constexpr int32_t kMaxDepth = 1048;
  static constexpr int32_t kInitialDepth = 64;
  static constexpr int32_t kErrorToken = 256;
  static constexpr int32_t kIllegalToken = 292;
  // The message of a parse deeper than kMaxDepth; %d is kMaxDepth.
  static constexpr const char* kDepthMessage = "Statement too deeply nested: more than %d levels";
  // kDepthMessage filled in.
  static std::string DepthMessage();

  TCustomParser() = default;
  virtual ~TCustomParser() = default;
  TCustomParser(const TCustomParser&) = delete;
  TCustomParser& operator=(const TCustomParser&) = delete;

  // Runs one parse: 0 accepted, 1 failed (ErrorMessage tells why).
  virtual int32_t yyparse() = 0;
  virtual void yyerror(const std::string& message) { ErrorMessage = message; }

  void yyclearin() { Lookahead = -1; }
  void yyaccept() { Flag = TYYFlag::yyfaccept; }
  void yyabort() { Flag = TYYFlag::yyfabort; }
  void yyerrlab() { Flag = TYYFlag::yyferror; }
  void yyerrok() { RecoverCount = 0; }

  int32_t Lookahead = -1;         // current lookahead token; -1 none read yet
  int32_t ErrorCount = 0;         // syntax errors counted in this parse
  TCustomLexer* Lexer = nullptr;  // the token source (not owned)
  std::string ErrorMessage;       // the last message given to yyerror
  int32_t RecoverCount = 0;       // error-recovery counter, 0 to 3
  TYYFlag Flag = TYYFlag::yyfnone;
  int32_t IllegalToken = kIllegalToken;
  int32_t SkipLow = 293;
  int32_t SkipHigh = 296;

  // Lookups over a table set; false when the state has no entry for the
  // symbol.
  static bool FindAction(const TParseTables& t, int32_t state, int32_t symbol, int32_t& action);
  static bool FindGoto(const TParseTables& t, int32_t state, int32_t nonterminal, int32_t& target);

protected:
  // The driver over the given tables; calls yyaction for every reduction.
  int32_t RunParse(const TParseDenseTables& d);

  // The semantic action of a rule.  When it is called, yyval holds the
  // Code and Size of the first right-hand symbol (zero for an empty rule)
  // and no text; unless the action calls SetText, the production's text is
  // the first symbol's.  Arg(i) is the value of the i-th right-hand symbol
  // (1-based).
  virtual void yyaction(int32_t rule) = 0;
  const TYYValue& Arg(int32_t i) const;
  int32_t ArgCount() const { return RuleLength; }
  // The production's text.
  void SetText(std::string text) {
    yyval.Text = std::move(text);
    TextSet = true;
  }
  // Takes the text of the i-th right-hand symbol away (it is empty after),
  // so that an action can extend it in place.
  std::string TakeArgText(int32_t i);

  TYYValue yyval;

  // Gives the stacks' memory back once a parse is over: a parser kept with
  // the expression it built (one per select column) needs them no more.
  void ReleaseStacks() {
    std::vector<int32_t>().swap(StateStack);
    std::vector<TYYValue>().swap(ValueStack);
  }

private:
  bool ReadToken();

  std::vector<int32_t> StateStack;
  std::vector<TYYValue> ValueStack;
  TYYValue LookaheadValue;
  int32_t RuleLength = 0;
  bool TextSet = false;  // the current action called SetText
};
