// Scanner runtime: line reading, push-back stack, token text, match selection
// and the table-driven scan loop.
#include "sql_engine/front/lex_runtime.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include "sql_engine/sift_messages.h"

bool TLexStringInput::ReadByte(uint8_t& b) {
  if (pos_ >= text_.size()) return false;
  b = static_cast<uint8_t>(text_[pos_++]);
  return true;
}

namespace {

// Set once the thread's cache is gone (a lexer freed by a static
// destructor after it): buffers then allocate and free as usual.
thread_local bool blockCacheGone = false;

// Blocks of TLexBuffer::kCachedSize that buffers have let go, per thread.
struct TLexBlockCache {
  static constexpr size_t kMaxBlocks = 8;
  std::unique_ptr<uint8_t[]> blocks[kMaxBlocks];
  size_t count = 0;
  ~TLexBlockCache() { blockCacheGone = true; }
};

TLexBlockCache* BlockCache() {
  if (blockCacheGone) return nullptr;
  thread_local TLexBlockCache cache;
  return &cache;
}

}  // namespace

TLexBuffer::TLexBuffer(size_t size) : size_(size) {
  TLexBlockCache* cache = size == kCachedSize ? BlockCache() : nullptr;
  if (cache && cache->count > 0) data_ = std::move(cache->blocks[--cache->count]);
  else data_ = std::make_unique_for_overwrite<uint8_t[]>(size);
}

TLexBuffer::~TLexBuffer() { Release(std::move(data_), size_); }

void TLexBuffer::Release(std::unique_ptr<uint8_t[]> block, size_t size) {
  if (!block || size != kCachedSize) return;
  TLexBlockCache* cache = BlockCache();
  if (cache && cache->count < TLexBlockCache::kMaxBlocks) cache->blocks[cache->count++] = std::move(block);
}

void TLexBuffer::resize(size_t size) {
  if (size == size_) return;
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(size);
  std::memcpy(grown.get(), data_.get(), std::min(size, size_));
  Release(std::exchange(data_, std::move(grown)), size_);
  size_ = size;
}

TCustomLexer::TCustomLexer() : TextBuf(kInitialBufSize), PushbackBuf(kInitialBufSize) {
  // A token's first sixteen bytes may be read as whole words (the keyword
  // lookup does); those past the token must not be indeterminate.
  std::memset(TextBuf.data(), 0, kTextWordBytes);
}

void TCustomLexer::SetInputText(std::string text) {
  OwnInput.Reset(std::move(text));
  InputStream = &OwnInput;
  yyclear();
  CurrentLine.clear();
  LastLineEnd.clear();
  OddLineBreaks.clear();
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
  for (size_t i = 0; i < text.size(); i += kPiece) out->Write(text.data() + i, std::min(kPiece, text.size() - i));
}

namespace {

// The bytes read for one line split around its text of `length` bytes
// found at `start` (npos: the line is empty, everything read came before).
void SplitAround(const uint8_t* raw, size_t n, size_t start, size_t length, std::string& lead, std::string& term) {
  const char* r = reinterpret_cast<const char*>(raw);
  if (start == std::string::npos) {
    lead.assign(r, n);
    term.clear();
    return;
  }
  lead.assign(r, start);
  term.assign(r + start + length, n - start - length);
}

}  // namespace

// One line of input without its line break.  CR LF and LF end a line; a CR
// followed by anything else stays in the line together with that byte.
// Empty lines are skipped.  A CR or LF as the very last byte of the input is
// dropped.  The bytes of a line's text are consecutive bytes of the input:
// what was read before them goes to `lead`, what after them to `term`.
void TCustomLexer::ReadLine(std::string& line, std::string& lead, std::string& term) {
  line.clear();
  TLexInput& in = *InputStream;
  size_t available = 0;
  if (const uint8_t* p = in.InMemory(available)) {
    ReadLineInMemory(line, p, available, lead, term);
    return;
  }
  std::string raw;
  size_t start = std::string::npos;
  auto take = [&](uint8_t c, size_t at) {
    if (line.empty()) start = at;
    line.push_back(static_cast<char>(c));
  };
  uint8_t b = 0;
  for (;;) {
    if (!in.ReadByte(b)) break;  // nothing more: the line is what we have
    raw.push_back(static_cast<char>(b));
    if (in.AtEnd()) {
      if (b != '\n' && b != '\r') take(b, raw.size() - 1);
      break;
    }
    if (b == '\r') {
      uint8_t next = 0;
      if (!in.ReadByte(next)) break;
      raw.push_back(static_cast<char>(next));
      if (next != '\n') {
        take('\r', raw.size() - 2);
        if (in.AtEnd()) {
          if (next != '\r') take(next, raw.size() - 1);
          break;
        }
        take(next, raw.size() - 1);
        continue;
      }
      b = '\n';
      if (in.AtEnd()) break;
    }
    if (b == '\n') {
      if (!line.empty()) break;
      continue;  // an empty line: not a line at all
    }
    take(b, raw.size() - 1);
  }
  SplitAround(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), start, line.size(), lead, term);
}

// ReadLine over the n bytes at p that are the rest of the input: the same
// steps, a run of ordinary bytes taken at once.
void TCustomLexer::ReadLineInMemory(std::string& line, const uint8_t* p, size_t n, std::string& lead,
                                    std::string& term) {
  size_t i = 0;
  size_t start = std::string::npos;
  auto take = [&](uint8_t c, size_t at) {
    if (line.empty()) start = at;
    line.push_back(static_cast<char>(c));
  };
  for (;;) {
    if (i >= n) break;
    // The next line break: LF by memchr, then a CR before it.
    const void* lf = std::memchr(p + i, '\n', n - i);
    size_t j = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - p) : n;
    if (const void* cr = std::memchr(p + i, '\r', j - i)) j = static_cast<size_t>(static_cast<const uint8_t*>(cr) - p);
    if (j > i) {
      if (line.empty()) start = i;
      line.append(reinterpret_cast<const char*>(p + i), j - i);
      i = j;
      if (i >= n) break;  // the last byte was an ordinary one: taken
    }
    uint8_t b = p[i++];
    if (i >= n) break;  // a CR or LF as the very last byte: dropped
    if (b == '\r') {
      const uint8_t next = p[i++];
      if (next != '\n') {
        take('\r', i - 2);
        if (i >= n) {
          if (next != '\r') take(next, i - 1);
          break;
        }
        take(next, i - 1);
        continue;
      }
      b = '\n';
      if (i >= n) break;
    }
    // b is LF here: it ends a line that has bytes; an empty line is skipped.
    if (!line.empty()) break;
  }
  SplitAround(p, i, start, line.size(), lead, term);
  InputStream->Advance(i);
}

void TCustomLexer::NoteLineBreak(const std::string& lead, const std::string& term) {
  // The LF after line LineNo stood for that line's end and the empty lines
  // read before the next one.
  if (LineNo > 0 && !(lead.empty() && LastLineEnd.size() == 1 && LastLineEnd[0] == '\n'))
    OddLineBreaks.emplace_back(LineNo, LastLineEnd + lead);
  LastLineEnd = term;
}

void TCustomLexer::RestoreLineBreaks(std::string& text) const {
  if (OddLineBreaks.empty()) return;
  const size_t breaks = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  if (breaks == 0) return;
  // The scanner has taken one LF per line read, less those still waiting
  // on the push-back stack; the text's LFs are the last ones taken.
  const uint8_t* pending = PushbackBuf.data();
  const int32_t waiting = static_cast<int32_t>(std::count(pending, pending + PushbackCount, uint8_t{'\n'}));
  int32_t line = LineNo - waiting - static_cast<int32_t>(breaks) + 1;
  auto it = std::lower_bound(OddLineBreaks.begin(), OddLineBreaks.end(), line,
                             [](const std::pair<int32_t, std::string>& e, int32_t l) { return e.first < l; });
  std::string out;
  out.reserve(text.size() + breaks);
  for (const char c : text) {
    if (c != '\n') {
      out.push_back(c);
      continue;
    }
    if (it != OddLineBreaks.end() && it->first == line) {
      out += it->second;
      ++it;
    } else {
      out.push_back('\n');
    }
    ++line;
  }
  text.swap(out);
}

namespace {

// dst[0..n) := src[n-1], ..., src[0]; eight bytes a step.
void ReverseCopy(const uint8_t* src, size_t n, uint8_t* dst) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + n - i - 8, 8);
    w = __builtin_bswap64(w);
    std::memcpy(dst + i, &w, 8);
  }
  for (; i < n; ++i) dst[i] = src[n - 1 - i];
}

}  // namespace

uint8_t TCustomLexer::get_char() {
  if (PushbackCount == 0 && InputStream && !InputStream->AtEnd()) {
    std::string lead, term;
    ReadLine(CurrentLine, lead, term);
    NoteLineBreak(lead, term);
    ++LineNo;
    ColNo = 1;
    const int32_t len = static_cast<int32_t>(CurrentLine.size());
    if (len >= INT32_MAX - 1) fatal("input buffer overflow");
    CheckBuffer(len + 1);
    // The LF lies at the bottom, the first character of the line on top.
    uint8_t* buf = PushbackBuf.data();
    buf[0] = '\n';
    ReverseCopy(reinterpret_cast<const uint8_t*>(CurrentLine.data()), CurrentLine.size(), buf + 1);
    PushbackCount = len + 1;
    NotePushbackHigh(PushbackCount);
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
  if (c == '\n') WriteTo(OutputStream, "\r\n");
  else WriteTo(OutputStream, std::string(1, static_cast<char>(c)));
}

void TCustomLexer::echo() {
  for (int32_t i = 0; i < TextLen; ++i) put_char(TextBuf[static_cast<size_t>(i)]);
}

void TCustomLexer::yymore() { SavedLen = TextLen; }

void TCustomLexer::yyless(int32_t n) {
  if (n < 0) n = 0;
  if (n >= TextLen) return;
  const int32_t k = TextLen - n;
  if (PushbackCount > INT32_MAX - k) {
    // One at a time, so the overflow is reported where it happens.
    for (int32_t i = TextLen; i > n; --i) unget_char(TextBuf[static_cast<size_t>(i - 1)]);
    TextLen = n;
    return;
  }
  CheckBuffer(PushbackCount + k);
  // Last character first, so that the first one put back ends on top.
  ReverseCopy(TextBuf.data() + n, static_cast<size_t>(k), PushbackBuf.data() + PushbackCount);
  PushbackCount += k;
  NotePushbackHigh(PushbackCount);
  ColNo -= k;
  TextLen = n;
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
  ClearRulePosOnce();
  RulePos[static_cast<size_t>(n)] = TextLen;
}

void TCustomLexer::yymatch(int32_t n) {
  if (MatchCount >= kMaxMatches) fatal("match stack overflow");
  MatchStack[static_cast<size_t>(MatchCount)] = n;
  ++MatchCount;
}

bool TCustomLexer::yyfind(int32_t& rule) {
  Rejected = false;
  ClearRulePosOnce();
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
  if (i > PushbackHigh) return 0;
  return PushbackBuf[static_cast<size_t>(i - 1)];
}

void TCustomLexer::SetBuf(int32_t i, uint8_t c) {
  CheckBuffer(i);
  PushbackBuf[static_cast<size_t>(i - 1)] = c;
  NotePushbackHigh(i);
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
      // Every match is asked here, whatever RuleInfo says: the fast loop's
      // use of the table is held against this one.
      if (yycontinues(MatchedRule)) {
        yymore();
        break;
      }
      if (SkipLayout && RuleInfo && (RuleInfo[MatchedRule].Flags & kRuleLayout)) break;  // consumed, no token
      yylval.assign(reinterpret_cast<const char*>(TextBuf.data()), static_cast<size_t>(TextLen));
      if (KeepsBreaks(MatchedRule)) RestoreLineBreaks(yylval);
      yyaction(MatchedRule);
    } while (Rejected);
    if (Done) return RetVal;
  }
}

// ---------------------------------------------------------------------------
// The fast scan loop.
//
// With tables whose every state marks exactly the rules it pushes, and whose
// start states accept nothing, the general loop's match stack always answers
// the same thing at the end of a scan: the first-listed (lowest) rule of the
// last accepting state visited, at the text length of that visit (every
// entry pushed during the scan was marked at a length above zero in the same
// scan, so none is ever popped as stale).  The fast loop keeps only that
// rule and length, and counts the entries the stack would hold so that its
// limit is reported at the same point.  No lexer of the system rejects a
// match, so the stack's deeper entries are never asked for.

TLexDenseTables::TLexDenseTables(const TLexTables& t) : source_(t) {
  const int32_t n = t.StateCount;
  if (n < 2 || n > kMaxStates) return;
  states_.resize(static_cast<size_t>(n));
  // targets[c][s]: the target of state s on byte c (-1 none), as the general
  // loop finds it: the first transition whose set holds c.
  std::vector<std::vector<int16_t>> targets(256, std::vector<int16_t>(static_cast<size_t>(n), -1));
  for (int32_t s = 0; s < n; ++s) {
    const size_t si = static_cast<size_t>(s);
    const int32_t marks = t.yykh[si] - t.yykl[si] + 1;
    const int32_t matches = t.yymh[si] - t.yyml[si] + 1;
    const int32_t count = std::max(matches, 0);
    if (std::max(marks, 0) != count) return;
    for (int32_t i = 0; i < count; ++i) {
      const int16_t rule = t.yym[t.yyml[si] + i];
      if (t.yyk[t.yykl[si] + i] != rule || rule < 1 || rule > TCustomLexer::kMaxRules) return;
    }
    if (s < 2 && count != 0) return;  // a start state accepting the empty text
    if (count > kCountMask) return;
    State& st = states_[si];
    st.Matches = static_cast<int16_t>(count);
    st.Accept = count > 0 ? t.yym[t.yyml[si]] : 0;
    st.Stop = t.yyth[si] < t.yytl[si];
    for (int32_t i = t.yyth[si]; i >= t.yytl[si]; --i) {  // last first: the first listed wins
      const TLexTransition& tr = t.yyt[i];
      if (tr.s < 0 || tr.s >= n) return;
      for (int c = 0; c < 256; ++c)
        if ((tr.cc[c >> 3] >> (c & 7)) & 1) targets[static_cast<size_t>(c)][si] = tr.s;
    }
  }
  // Bytes with the same column of targets share a class.
  std::map<std::vector<int16_t>, uint8_t> classes;
  for (int c = 0; c < 256; ++c) {
    auto [it, added] = classes.emplace(targets[static_cast<size_t>(c)], static_cast<uint8_t>(classes.size()));
    classOf_[c] = it->second;
    (void)added;
  }
  classes_ = static_cast<int32_t>(classes.size());
  while ((1 << shift_) < classes_) ++shift_;
  for (int32_t start = 0; start < 2; ++start)
    for (int c = 0; c < 256; ++c) {
      const int16_t target = targets[static_cast<size_t>(c)][static_cast<size_t>(start)];
      if (target < 0) continue;
      const State& st = states_[static_cast<size_t>(target)];
      if (st.Stop) single_[start][c] = st.Accept;
    }
  std::vector<bool> loops(static_cast<size_t>(n), false);
  for (int c = 0; c < 256; ++c)
    for (int32_t s = 0; s < n; ++s)
      if (targets[static_cast<size_t>(c)][static_cast<size_t>(s)] == s) loops[static_cast<size_t>(s)] = true;
  next_.assign(static_cast<size_t>(n) << shift_, -1);
  for (int c = 0; c < 256; ++c)
    for (int32_t s = 0; s < n; ++s) {
      const int16_t target = targets[static_cast<size_t>(c)][static_cast<size_t>(s)];
      if (target < 0) continue;
      const State& st = states_[static_cast<size_t>(target)];
      next_[(static_cast<size_t>(s) << shift_) | classOf_[c]] =
          target | (st.Accept << kRuleShift) | (st.Matches << kCountShift) |
          (loops[static_cast<size_t>(target)] ? kLoopBit : 0) | (st.Stop ? kStopBit : 0);
    }
  usable_ = true;
}

int32_t TCustomLexer::ScanWith(const TLexDenseTables& d) {
  if (!d.usable_ || StartState != 0) return ScanWith(d.source_);
  using D = TLexDenseTables;
  const int32_t* const next = d.next_.data();
  const uint8_t* const class_of = d.classOf_;
  const uint32_t shift = d.shift_;
  const TLexRuleInfo* const info = RuleInfo;
  const bool skip_layout = SkipLayout && info;

  // The hot state lives in locals, across the layout tokens skipped too:
  // stores into the byte buffers could otherwise alias every member and
  // force reloads per character.  `sync` hands them to the members before
  // anything that reads or changes those runs; `reload` takes them back.
  int32_t s = DfaState;
  int32_t len = TextLen;
  int32_t cap = TextCap();
  uint8_t* text = TextBuf.data();
  int32_t pending = PushbackCount;
  int32_t pending_cap = PushbackCap();
  uint8_t* pushback = PushbackBuf.data();
  int32_t col = ColNo;
  uint8_t act = ActChar;
  uint8_t last = LastChar;
  int32_t line_state = LineState;
  auto sync = [&] {
    DfaState = s;
    TextLen = len;
    PushbackCount = pending;
    ColNo = col;
    ActChar = act;
    LastChar = last;
    LineState = line_state;
  };
  auto reload = [&] {
    len = TextLen;
    cap = TextCap();
    text = TextBuf.data();
    pending = PushbackCount;
    pending_cap = PushbackCap();
    pushback = PushbackBuf.data();
    col = ColNo;
    last = LastChar;
    line_state = LineState;
  };
  for (;;) {
    // yynew, start condition 0.
    if (last != 0) line_state = last == '\n' ? 1 : 0;
    len = SavedLen;  // the kept text is still at the start of the buffer
    SavedLen = 0;
    if (skip_layout && len == 0) {
      // Layout tokens of one byte that nothing extends (a blank, a line
      // feed) are skipped a byte at a time, leaving what their own scans
      // would: the byte taken, and it as the last character.
      while (pending > 0) {
        const uint8_t c = pushback[pending - 1];
        const int16_t r = d.single_[line_state][c];
        if (r == 0 || info[r].Flags != kRuleLayout) break;
        --pending;
        ++col;
        act = c;
        last = c;
        line_state = c == '\n' ? 1 : 0;
        MatchedRule = r;
      }
    }
    s = line_state;
    int32_t matches = 0;
    int32_t rule = 0, rule_len = 0;
    // The move along a row entry e (not -1) of the character just taken.
    auto take = [&](int32_t e) {
      s = e & D::kTargetMask;
      if (const int32_t count = (e >> D::kCountShift) & D::kCountMask) {
        matches += count;
        if (matches > kMaxMatches) {
          sync();
          fatal("match stack overflow");
        }
        rule = (e >> D::kRuleShift) & D::kRuleMask;
        rule_len = len;
      }
    };
    // One character taken into the text: true when the scan ends with it.
    auto step = [&](uint8_t c) {
      const int32_t e = next[(static_cast<size_t>(s) << shift) | class_of[c]];
      if (e < 0) return true;
      take(e);
      return (e & D::kStopBit) != 0;
    };
    // The start states accept nothing (the tables were refused otherwise).
    bool ended = d.states_[static_cast<size_t>(s)].Stop;
    while (!ended) {
      // As many characters as both the push-back stack and the text buffer
      // hold need no check each.
      int32_t run = std::min(pending, cap - len);
      while (run > 0) {
        act = pushback[--pending];
        ++col;
        text[len++] = act;
        --run;
        const int32_t e = next[(static_cast<size_t>(s) << shift) | class_of[act]];
        if (e < 0) {
          ended = true;
          break;
        }
        take(e);
        if (e & D::kStopBit) {
          ended = true;
          break;
        }
        if (!(e & D::kLoopBit)) continue;
        // A run of bytes that keep the scan in this state.  It stops short
        // of the byte whose matches would overflow the stack (a shift for a
        // division: a little shorter for a state that pushes several), so
        // that the step above reports it at the same point as the general
        // loop.
        const int32_t* const row = next + (static_cast<size_t>(s) << shift);
        const int32_t count = (e >> D::kCountShift) & D::kCountMask;
        int32_t most = run;
        if (count > 0)
          most = std::min(most, (kMaxMatches - matches) >> std::bit_width(static_cast<uint32_t>(count - 1)));
        int32_t taken = 0;
        while (taken < most) {
          const uint8_t c = pushback[pending - 1 - taken];
          if (row[class_of[c]] != e) break;
          text[len + taken] = c;
          ++taken;
        }
        if (taken == 0) continue;
        pending -= taken;
        len += taken;
        col += taken;
        run -= taken;
        act = text[len - 1];
        if (count > 0) {
          matches += taken * count;
          rule_len = len;
        }
      }
      if (ended) break;
      if (pending == 0) {
        // A new line, or the end of the input.
        sync();
        act = get_char();
        pending = PushbackCount;
        pending_cap = PushbackCap();
        pushback = PushbackBuf.data();
        col = ColNo;
      } else {
        act = pushback[--pending];
        ++col;
      }
      if (len >= cap) {
        sync();
        if (len == INT32_MAX) fatal("input buffer overflow");
        CheckyyTextBuf(len + 1);
        cap = TextCap();
        text = TextBuf.data();
      }
      text[len++] = act;
      ended = step(act);
    }
    MatchCount = 0;
    Done = false;
    Rejected = false;
    if (rule == 0) {
      sync();
      yyless(0);
      LastChar = 0;
      if (!yydefault() && yywrap()) {
        yyclear();
        returni(0);
      }
      if (Done) return RetVal;
      reload();
      continue;
    }
    MatchedRule = rule;
    if (len - rule_len == 1 && pending < pending_cap) {
      // The usual end of a token: the one character looked at goes back.
      pushback[pending++] = text[rule_len];
      NotePushbackHigh(pending);
      --col;
      len = rule_len;
    } else if (len > rule_len) {
      sync();
      yyless(rule_len);
      reload();
    }
    last = text[rule_len - 1];  // an accepting state is never a start state
    const TLexRuleInfo rule_info = info ? info[rule] : TLexRuleInfo{kRuleMayContinue, 0};
    // Layout that cannot go on is consumed without a word to the members.
    if (skip_layout && rule_info.Flags == kRuleLayout) continue;
    sync();
    if ((rule_info.Flags & kRuleMayContinue) && yycontinues(rule)) {
      yymore();
      reload();
      continue;
    }
    if (!(skip_layout && (rule_info.Flags & kRuleLayout))) {
      yylval.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
      if (rule_info.Flags & kRuleKeepsBreaks) RestoreLineBreaks(yylval);
      if (rule_info.Token != 0) {
        returni(rule_info.Token);
        return RetVal;
      }
      yyaction(rule);
      if (Done) return RetVal;
    }
    reload();
  }
}
