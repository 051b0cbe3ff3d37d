// Runtime of the table-driven scanners of the query engine.
//
// TCustomLexer is the base of the SQL lexer and the expression lexer.  It
// reads its input line by line, keeps the characters still to be scanned on
// a push-back stack, accumulates the text of the current token, records which
// rules accepted during the scan (a mark per rule with its accepting length,
// and a stack of accepting rules in order) and picks the longest match; at
// equal length the rule with the lower number wins.
//
// The DFA of a concrete lexer is generated at build time by tools/lexgen.py
// from a rule file in resources/ and handed over as a TLexTables.  Per state
// it holds a slice of the mark list, a slice of the match list and a slice
// of the transition list; each transition is a 256-bit character set (bit c
// of byte c/8 for character c) and a target state.  States 0 and 1 are the
// start states: 1 is used when the token begins a line, 0 otherwise.
//
// All scanner state belongs to the instance (no process-wide globals), so
// several lexers may scan at the same time, on different threads too.
//
// Input lines: CR LF and LF end a line, a CR not followed by LF stays in the
// line; empty lines are skipped and not counted; every line, the last one
// included, reaches the scanner followed by one LF.  A byte 0 ends the input.
// Between tokens that is all layout; inside a literal it would change data,
// so the lexer remembers what each LF stood for (a CR LF, empty lines after
// it) and a rule whose text is data gets its line breaks back as written
// (RestoreLineBreaks).
//
// Two scan loops run the same algorithm.  The general one walks the lists of
// a TLexTables state by state (mark, push, test each transition's character
// set).  The fast one reads a TLexDenseTables derived from them once: a byte
// class per character and one row of targets per state, and it keeps only
// what the general loop's match stack would answer (the lowest rule of the
// last accepting state and the length there).  Both leave the same tokens,
// texts, positions and errors; the tests hold them against each other.
//
// A fatal error ("LexLib: too many rules", "LexLib: match stack overflow",
// "LexLib: input buffer overflow") writes that line to the error stream and
// ends the scan with an ESiftError carrying the same line.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Where a lexer reads from and writes to.  The query hands in memory streams;
// anything with a position and a size fits.
class TLexInput {
public:
  virtual ~TLexInput() = default;
  // True when the position is at or beyond the size.
  virtual bool AtEnd() const = 0;
  // Reads one byte at the position and advances; false at the end.
  virtual bool ReadByte(uint8_t& b) = 0;
  // The bytes from the position to the end, when the input holds them in
  // memory: lines are then taken in one piece instead of a call per byte.
  // Null (the default) when it does not.
  virtual const uint8_t* InMemory(size_t& available) const {
    available = 0;
    return nullptr;
  }
  // Moves the position over n of the bytes InMemory showed.
  virtual void Advance(size_t /*n*/) {}
};

class TLexOutput {
public:
  virtual ~TLexOutput() = default;
  virtual void Write(const char* data, size_t size) = 0;
};

// An input over a text held in memory (the text is copied).
class TLexStringInput : public TLexInput {
public:
  TLexStringInput() = default;
  explicit TLexStringInput(std::string text) : text_(std::move(text)) {}
  // Starts over on another text.
  void Reset(std::string text) {
    text_ = std::move(text);
    pos_ = 0;
  }
  bool AtEnd() const override { return pos_ >= text_.size(); }
  bool ReadByte(uint8_t& b) override;
  const uint8_t* InMemory(size_t& available) const override {
    available = text_.size() - pos_;
    return reinterpret_cast<const uint8_t*>(text_.data()) + pos_;
  }
  void Advance(size_t n) override { pos_ += n; }
  size_t Position() const { return pos_; }

private:
  std::string text_;
  size_t pos_ = 0;
};

// An output that collects what is written.
class TLexStringOutput : public TLexOutput {
public:
  void Write(const char* data, size_t size) override { text_.append(data, size); }
  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

private:
  std::string text_;
};

// One transition of a DFA state.
struct TLexTransition {
  uint8_t cc[32];  // character set: bit (c & 7) of byte (c >> 3)
  int16_t s;       // target state
};

// The generated tables of one lexer.  Slices are inclusive index ranges
// [low, high] into the lists; a slice with high < low is empty.
struct TLexTables {
  int32_t StateCount;
  const int16_t* yyk;  // mark list: rules whose accepting length is recorded
  const int16_t* yym;  // match list: rules pushed on the match stack
  const TLexTransition* yyt;
  const int16_t* yykl;
  const int16_t* yykh;
  const int16_t* yyml;
  const int16_t* yymh;
  const int16_t* yytl;
  const int16_t* yyth;
};

// The tables of one lexer in the form the fast scan loop reads, derived once
// from its TLexTables (a concrete lexer keeps one as a static next to its
// generated tables).  Bytes that every state treats alike share a class; a
// state's row gives the target for each class.  Tables the fast loop cannot
// stand in for are marked unusable, and the general loop scans with them:
// a state whose mark and match lists differ, a start state that accepts the
// empty text, a rule number outside 1..256 or a target outside the states.
class TLexDenseTables {
public:
  explicit TLexDenseTables(const TLexTables& t);

  struct State {
    int16_t Accept = 0;   // the rule this state accepts at equal length, 0 none
    int16_t Matches = 0;  // entries a visit pushes on the match stack
    bool Stop = false;    // no transitions: the scan ends without a look ahead
  };

  const TLexTables& Source() const { return source_; }
  bool Usable() const { return usable_; }
  int32_t Classes() const { return classes_; }
  uint8_t ClassOf(uint8_t c) const { return classOf_[c]; }
  const State& StateAt(int32_t s) const { return states_[static_cast<size_t>(s)]; }
  // The target of state s on byte c, -1 when the state has none for it.
  int16_t Next(int32_t s, uint8_t c) const {
    const int32_t e = next_[(static_cast<size_t>(s) << shift_) | classOf_[c]];
    return e < 0 ? int16_t{-1} : static_cast<int16_t>(e & kTargetMask);
  }

private:
  friend class TCustomLexer;
  // A row entry carries what the loop needs of the target state, so that a
  // character costs one load: the target, its accepted rule, its match
  // count, whether it stops and whether some byte leads from it back to
  // itself; -1 when there is no transition.  Every entry naming one target
  // is the same number, so a byte keeps the scan in a looping state exactly
  // when its entry in that state's row equals the entry that led there: the
  // loop over such a run reads rows without waiting for the previous byte's
  // target.
  static constexpr int32_t kTargetMask = 0xFFF;
  static constexpr int32_t kRuleShift = 12;
  static constexpr int32_t kRuleMask = 0x1FF;
  static constexpr int32_t kCountShift = 21;
  static constexpr int32_t kCountMask = 0xFF;
  static constexpr int32_t kLoopBit = 1 << 29;
  static constexpr int32_t kStopBit = 1 << 30;
  static constexpr int32_t kMaxStates = kTargetMask + 1;

  const TLexTables& source_;
  bool usable_ = false;
  int32_t classes_ = 0;
  uint32_t shift_ = 0;  // a row is 1 << shift_ entries wide
  uint8_t classOf_[256] = {};
  // Per start state and byte: the rule that byte alone makes a whole token
  // of (its target accepts and has no transitions), 0 when none does.
  int16_t single_[2][256] = {};
  std::vector<State> states_;
  std::vector<int32_t> next_;
};

// A byte buffer of the runtime.  It grows as asked and keeps its contents;
// unlike a vector it does not clear new space: a lexer is made per statement
// and clearing its two 16 KB buffers each time would cost more than lexing
// the statement.  The text is read only where it was written; GetBuf reads
// positions never written as 0, as a cleared buffer would.
//
// Blocks of the initial size are kept in a small per-thread cache when a
// buffer lets them go, and the next buffer takes one from there: a lexer per
// statement then costs no allocation after the first few statements.
class TLexBuffer {
public:
  static constexpr size_t kCachedSize = 16384;
  explicit TLexBuffer(size_t size);
  ~TLexBuffer();
  TLexBuffer(const TLexBuffer&) = delete;
  TLexBuffer& operator=(const TLexBuffer&) = delete;
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  uint8_t& operator[](size_t i) { return data_[i]; }
  uint8_t operator[](size_t i) const { return data_[i]; }
  void resize(size_t size);

private:
  // Hands the block back to the cache (when it has the cached size and the
  // cache has room) or frees it.
  static void Release(std::unique_ptr<uint8_t[]> block, size_t size);

  std::unique_ptr<uint8_t[]> data_;
  size_t size_;
};

class TCustomLexer {
public:
  static constexpr int32_t kInitialBufSize = 16384;
  // The first bytes of the text buffer are always initialized, so that a
  // token's text can be read as whole words.
  static constexpr size_t kTextWordBytes = 16;
  static constexpr int32_t kMaxMatches = 1024;
  static constexpr int32_t kMaxRules = 256;
  // Flags of a rule in a concrete lexer's RuleInfo.
  static constexpr uint8_t kRuleLayout = 1;       // its token is skipped text
  static constexpr uint8_t kRuleMayContinue = 2;  // yycontinues may say true
  static constexpr uint8_t kRuleKeepsBreaks = 4;  // its text gets its line breaks as written
  struct TLexRuleInfo {
    uint8_t Flags = 0;
    // The token the rule's action returns when returning it is all the
    // action does (the text stays the token's value); 0 when the action
    // must run.
    int16_t Token = 0;
  };

  TCustomLexer();
  virtual ~TCustomLexer() = default;
  TCustomLexer(const TCustomLexer&) = delete;
  TCustomLexer& operator=(const TCustomLexer&) = delete;

  // The next token number; 0 at the end of the input.
  virtual int32_t yylex() = 0;

  // Streams (not owned); assign before the first yylex.  A missing output or
  // error stream discards what would be written to it.  By default the
  // output and error streams are the lexer's own collectors below.
  TLexInput* InputStream = nullptr;
  TLexOutput* OutputStream = &OwnOutput;
  TLexOutput* ErrorStream = &OwnError;

  // Scans `text` from its start: the lexer keeps its own copy as the input
  // stream and starts afresh (line and column counts, push-back, token).
  void SetInputText(std::string text);
  TLexStringOutput OwnOutput;  // unmatched characters echoed
  TLexStringOutput OwnError;   // fatal messages

  std::string CurrentLine;  // the last line read
  int32_t LineNo = 0;       // lines read so far
  int32_t ColNo = 0;        // column of the next character

  // The text of the last token, as the parser takes it as the token's value.
  // Set before each rule action runs; actions may replace it.
  std::string yylval;

  // When set, matches of the concrete lexer's layout rules (blanks, line
  // feeds, comments: the tokens its parser skips) are consumed inside the
  // scan: yylex does not return them, their actions do not run and their
  // text is not copied to yylval.  Everything else (the tokens returned,
  // their texts, line, column, push-back and echo) is as without it.
  bool SkipLayout = false;

  // --- used by the concrete lexers ---
  uint8_t get_char();
  // True when no character is left: get_char would answer the end marker.
  bool AtInputEnd() const { return PushbackCount == 0 && (!InputStream || InputStream->AtEnd()); }
  void unget_char(uint8_t c);
  // True when the next character is `c`; nothing is consumed.
  bool NextCharIs(uint8_t c) {
    if (AtInputEnd()) return false;
    const uint8_t next = get_char();
    unget_char(next);
    return next == c;
  }
  void put_char(uint8_t c);
  void yymore();
  void yyless(int32_t n);
  void returni(int32_t n) {
    RetVal = n;
    Done = true;
  }
  void returnc(uint8_t c) { returni(c); }
  void start(int32_t state) { StartState = state; }
  bool yywrap() const { return true; }
  void echo();
  void yynew();
  void yyscan();
  void yymark(int32_t n);
  void yymatch(int32_t n);
  bool yyfind(int32_t& rule);
  bool yydefault();
  void yyclear();
  void GetyyText(std::string& s) const;
  std::string yytext() const { return std::string(reinterpret_cast<const char*>(TextBuf.data()), TextLen); }
  [[noreturn]] void fatal(const std::string& msg);

  // The line breaks of `text`, the text of the token just scanned (or its
  // end), put back as the input wrote them: each LF the line reader made of
  // a CR LF, or of a line end followed by empty lines, becomes those bytes
  // again.  A text without LF is left alone.
  void RestoreLineBreaks(std::string& text) const;

  // Buffer management (capacity grows to max(2 * old, 16384) per step).
  void CheckyyTextBuf(int32_t n);
  void CheckBuffer(int32_t n);
  uint8_t GetBuf(int32_t i);
  void SetBuf(int32_t i, uint8_t c);

  int32_t TextLen = 0;
  int32_t TextCap() const { return static_cast<int32_t>(TextBuf.size()); }
  int32_t PushbackCount = 0;
  int32_t PushbackCap() const { return static_cast<int32_t>(PushbackBuf.size()); }

  int32_t DfaState = 0;
  uint8_t ActChar = 0;
  uint8_t LastChar = 0;
  int32_t MatchedRule = 0;
  bool Rejected = false;
  bool Done = false;
  int32_t RetVal = 0;

  // Length of the text kept by yymore: the next match is appended to it.  The
  // text stays in place in the token buffer, so a long chain of yymore calls
  // costs no copying.
  int32_t SavedLen = 0;
  int32_t StartState = 0;
  int32_t LineState = 1;

protected:
  // The scan loop over the given tables; calls yyaction for the chosen rule.
  // The first form is the general loop over the lists; the second the fast
  // loop over the derived tables (the general one when they are unusable or
  // a start condition other than 0 is set).
  int32_t ScanWith(const TLexTables& t);
  int32_t ScanWith(const TLexDenseTables& d);
  virtual void yyaction(int32_t rule) = 0;
  // Asked before the action of a match: true when the match only begins a
  // longer token (the runtime then calls yymore and scans on, without
  // running the action or filling yylval).
  virtual bool yycontinues(int32_t /*rule*/) { return false; }

  // What the fast scan loop may know of a concrete lexer's rules without
  // asking it, per rule number (0..kMaxRules).  Without a table (the
  // default) yycontinues is asked and yyaction run for every match, and no
  // rule is layout.  The general loop always asks and runs them, so that the
  // tests hold the table against the lexer's own answers.
  const TLexRuleInfo* RuleInfo = nullptr;

  TLexBuffer TextBuf;
  TLexBuffer PushbackBuf;  // index 0 is position 1

private:
  TLexStringInput OwnInput;
  // Highest position of PushbackBuf ever written; GetBuf answers 0 above it.
  int32_t PushbackHigh = 0;
  void NotePushbackHigh(int32_t pos) {
    if (pos > PushbackHigh) PushbackHigh = pos;
  }
  // One line into `line`; `lead` and `term` receive the bytes read before
  // and after its text (skipped empty lines, the line's own end).
  void ReadLine(std::string& line, std::string& lead, std::string& term);
  void ReadLineInMemory(std::string& line, const uint8_t* p, size_t n, std::string& lead, std::string& term);
  // Notes what the LF ending the previous line stands for, now that the
  // next line's lead is known.
  void NoteLineBreak(const std::string& lead, const std::string& term);
  bool KeepsBreaks(int32_t rule) const { return RuleInfo && (RuleInfo[rule].Flags & kRuleKeepsBreaks); }

  // The line end of the last line read, as read.
  std::string LastLineEnd;
  // Per line (by LineNo) whose LF stands for something other than one LF:
  // those bytes.  In line order; most statements have none.
  std::vector<std::pair<int32_t, std::string>> OddLineBreaks;
  void WriteTo(TLexOutput* out, const std::string& text);

  int32_t MatchCount = 0;
  // Read only below MatchCount, where yymatch has written: left uncleared,
  // since clearing its 4 KB would cost more than lexing a short statement.
  std::array<int32_t, kMaxMatches> MatchStack;
  // Cleared by the general loop before its first use: the fast loop never
  // reads it, and a lexer per statement need not clear 1 KB it won't use.
  std::array<int32_t, kMaxRules + 1> RulePos;
  bool RulePosCleared = false;
  void ClearRulePosOnce() {
    if (RulePosCleared) return;
    RulePos.fill(0);
    RulePosCleared = true;
  }
};
