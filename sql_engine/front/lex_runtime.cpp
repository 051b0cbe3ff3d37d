// Scanner runtime: line reading, push-back stack, token text, match selection
// and the table-driven scan loop.
#include "sql_engine/front/lex_runtime.h"

#include <algorithm>
#include <climits>

#include "sql_engine/front/sift_messages.h"

bool TLexStringInput::ReadByte(uint8_t& b) {
  if (pos_ >= text_.size()) return false;
  b = static_cast<uint8_t>(text_[pos_++]);
  return true;
}

TCustomLexer::TCustomLexer()
    : TextBuf(kInitialBufSize), PushbackBuf(kInitialBufSize) {}

void TCustomLexer::SetInputText(std::string text) {
  OwnInput = std::make_unique<TLexStringInput>(std::move(text));
  InputStream = OwnInput.get();
  yyclear();
  CurrentLine.clear();
  LineNo = 0;
  ColNo = 0;
  MatchCount = 0;
  Done = false;
  RetVal = 0;
  Rejected = false;
  yylval.clear();
}

void TCustomLexer::WriteTo(TLexOutput* out, const std::string& text) {
  if (!out) return;
  // Written in pieces so that a stream with a bounded write size copes.
  constexpr size_t kPiece = 8192;
  for (size_t i = 0; i < text.size(); i += kPiece)
    out->Write(text.data() + i, std::min(kPiece, text.size() - i));
}

// One line of input without its line break.  CR LF and LF end a line; a CR
// followed by anything else stays in the line together with that byte.
// Empty lines are skipped.  A CR or LF as the very last byte of the input is
// dropped.
void TCustomLexer::ReadLine(std::string& line) {
  line.clear();
  TLexInput& in = *InputStream;
  uint8_t b = 0;
  for (;;) {
    if (!in.ReadByte(b)) return;  // nothing more: the line is what we have
    if (in.AtEnd()) {
      if (b != '\n' && b != '\r') line.push_back(static_cast<char>(b));
      return;
    }
    if (b == '\r') {
      uint8_t next = 0;
      if (!in.ReadByte(next)) return;
      if (next != '\n') {
        line.push_back('\r');
        if (in.AtEnd()) {
          if (next != '\r') line.push_back(static_cast<char>(next));
          return;
        }
        line.push_back(static_cast<char>(next));
        continue;
      }
      b = '\n';
      if (in.AtEnd()) return;
    }
    if (b == '\n') {
      if (!line.empty()) return;
      continue;  // an empty line: not a line at all
    }
    line.push_back(static_cast<char>(b));
  }
}

uint8_t TCustomLexer::get_char() {
  if (PushbackCount == 0 && InputStream && !InputStream->AtEnd()) {
    ReadLine(CurrentLine);
    ++LineNo;
    ColNo = 1;
    const int32_t len = static_cast<int32_t>(CurrentLine.size());
    if (len >= INT32_MAX - 1) fatal("input buffer overflow");
    CheckBuffer(len + 1);
    // The LF lies at the bottom, the first character of the line on top.
    PushbackBuf[0] = '\n';
    for (int32_t i = 0; i < len; ++i)
      PushbackBuf[static_cast<size_t>(len - i)] = static_cast<uint8_t>(CurrentLine[static_cast<size_t>(i)]);
    PushbackCount = len + 1;
  }
  if (PushbackCount < 1) return 0;
  const uint8_t c = PushbackBuf[static_cast<size_t>(PushbackCount - 1)];
  --PushbackCount;
  ++ColNo;
  return c;
}

void TCustomLexer::unget_char(uint8_t c) {
  if (PushbackCount == INT32_MAX) fatal("input buffer overflow");
  ++PushbackCount;
  --ColNo;
  SetBuf(PushbackCount, c);
}

void TCustomLexer::put_char(uint8_t c) {
  if (c == 0) return;
  if (c == '\n')
    WriteTo(OutputStream, "\r\n");
  else
    WriteTo(OutputStream, std::string(1, static_cast<char>(c)));
}

void TCustomLexer::echo() {
  for (int32_t i = 0; i < TextLen; ++i) put_char(TextBuf[static_cast<size_t>(i)]);
}

void TCustomLexer::yymore() { SavedLen = TextLen; }

void TCustomLexer::yyless(int32_t n) {
  if (n < 0) n = 0;
  for (int32_t i = TextLen; i > n; --i) unget_char(TextBuf[static_cast<size_t>(i - 1)]);
  if (n < TextLen) TextLen = n;
}

void TCustomLexer::yynew() {
  if (LastChar != 0) LineState = LastChar == '\n' ? 1 : 0;
  DfaState = StartState + LineState;
  // The kept text is still at the start of the buffer.
  TextLen = SavedLen;
  SavedLen = 0;
  MatchCount = 0;
  Done = false;
}

void TCustomLexer::yyscan() {
  ActChar = get_char();
  if (TextLen == INT32_MAX) fatal("input buffer overflow");
  CheckyyTextBuf(TextLen + 1);
  TextBuf[static_cast<size_t>(TextLen)] = ActChar;
  ++TextLen;
}

void TCustomLexer::yymark(int32_t n) {
  if (n < 0 || n > kMaxRules) fatal("too many rules");
  RulePos[static_cast<size_t>(n)] = TextLen;
}

void TCustomLexer::yymatch(int32_t n) {
  if (MatchCount >= kMaxMatches) fatal("match stack overflow");
  MatchStack[static_cast<size_t>(MatchCount)] = n;
  ++MatchCount;
}

bool TCustomLexer::yyfind(int32_t& rule) {
  Rejected = false;
  while (MatchCount > 0 && RulePos[static_cast<size_t>(MatchStack[static_cast<size_t>(MatchCount - 1)])] == 0)
    --MatchCount;
  if (MatchCount > 0) {
    rule = MatchStack[static_cast<size_t>(MatchCount - 1)];
    int32_t& pos = RulePos[static_cast<size_t>(rule)];
    yyless(pos);
    pos = 0;
    LastChar = TextLen > 0 ? TextBuf[static_cast<size_t>(TextLen - 1)] : 0;
    return true;
  }
  yyless(0);
  LastChar = 0;
  return false;
}

bool TCustomLexer::yydefault() {
  Rejected = false;
  const uint8_t c = get_char();
  LastChar = c;
  if (c != 0) {
    put_char(c);
    return true;
  }
  LineState = 1;
  return false;
}

void TCustomLexer::yyclear() {
  PushbackCount = 0;
  StartState = 0;
  LineState = 1;
  LastChar = 0;
  TextLen = 0;
  SavedLen = 0;
}

void TCustomLexer::GetyyText(std::string& s) const { s = yytext(); }

void TCustomLexer::fatal(const std::string& msg) {
  const std::string line = "LexLib: " + msg;
  WriteTo(ErrorStream, line + "\r\n");
  // The scan cannot go on: drop what is left of the current line and the
  // token so far, so that a caller who catches the error and calls yylex
  // again does not loop on the same input.
  PushbackCount = 0;
  TextLen = 0;
  MatchCount = 0;
  SavedLen = 0;
  throw ESiftError(line);
}

void TCustomLexer::CheckyyTextBuf(int32_t n) {
  if (n <= TextCap()) return;
  size_t cap = TextBuf.size();
  while (cap < static_cast<size_t>(n)) cap = std::max<size_t>(cap * 2, kInitialBufSize);
  TextBuf.resize(cap);
}

void TCustomLexer::CheckBuffer(int32_t n) {
  if (n <= PushbackCap()) return;
  size_t cap = PushbackBuf.size();
  while (cap < static_cast<size_t>(n)) cap = std::max<size_t>(cap * 2, kInitialBufSize);
  PushbackBuf.resize(cap);
}

uint8_t TCustomLexer::GetBuf(int32_t i) {
  CheckBuffer(i);
  return PushbackBuf[static_cast<size_t>(i - 1)];
}

void TCustomLexer::SetBuf(int32_t i, uint8_t c) {
  CheckBuffer(i);
  PushbackBuf[static_cast<size_t>(i - 1)] = c;
}

namespace {

inline bool InSet(const uint8_t (&cc)[32], uint8_t c) { return (cc[c >> 3] >> (c & 7)) & 1; }

}  // namespace

int32_t TCustomLexer::ScanWith(const TLexTables& t) {
  for (;;) {
    yynew();
    for (;;) {
      if (DfaState < 0 || DfaState >= t.StateCount) break;
      const size_t s = static_cast<size_t>(DfaState);
      for (int32_t i = t.yykl[s]; i <= t.yykh[s]; ++i) yymark(t.yyk[i]);
      // Pushed last-first so that at equal length the first-listed (lower)
      // rule ends on top of the stack and wins.
      for (int32_t i = t.yymh[s]; i >= t.yyml[s]; --i) yymatch(t.yym[i]);
      if (t.yyth[s] < t.yytl[s]) break;
      yyscan();
      int32_t target = -1;
      for (int32_t i = t.yytl[s]; i <= t.yyth[s]; ++i) {
        if (InSet(t.yyt[i].cc, ActChar)) {
          target = t.yyt[i].s;
          break;
        }
      }
      if (target < 0) break;
      DfaState = target;
    }
    do {
      if (!yyfind(MatchedRule)) {
        if (!yydefault() && yywrap()) {
          yyclear();
          returni(0);
        }
        break;
      }
      if (yycontinues(MatchedRule)) {
        yymore();
        break;
      }
      yylval.assign(reinterpret_cast<const char*>(TextBuf.data()), static_cast<size_t>(TextLen));
      yyaction(MatchedRule);
    } while (Rejected);
    if (Done) return RetVal;
  }
}
