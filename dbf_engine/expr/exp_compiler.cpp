// The expression compiler: the scanner (text -> tokens), the node builder
// (tokens -> nodes, operators bound by level) and the construction of the
// nodes that compile texts of their own (groups and calls).
//
// The scanner alternates between expecting an operand and expecting an
// operator.  A NOT in operand position opens the token list when nothing
// precedes it; anywhere else the rest of the text from the NOT on becomes a
// group, so A = .NOT. B .OR. C compiles as A = (.NOT. B .OR. C) and
// .NOT. .NOT. A as NOT (NOT A).
//
// Groups and argument lists are delimited by the same quote-aware scan, so a
// ")" inside a text literal never closes a group.  Nesting and tree height
// are bounded so that hostile texts cannot exhaust the stack.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "dbf_engine/dates.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/messages.h"
#include "platform/numbers.h"

namespace {

// Deepest nesting of groups and calls, and tallest tree, a text may build.
constexpr int kMaxNesting = 64;
constexpr int kMaxDepth = 256;

// A zero byte would read as a blank here but end the text for C code and
// for the index file header that stores it: the two would disagree on what
// the expression says.
constexpr const char* kMsgNulInExpression = "Expression cannot contain a NUL character";

struct OpSpelling {
  const char* text;
  uint8_t code;
  uint8_t level;
};

// Searched in this order; words are written bare or between points.
constexpr OpSpelling kWords[] = {
    {"AND", opAnd, 7},      {"OR", opOr, 8},     {"EQ", opEqual, 5}, {"NE", opNotEqual, 5},
    {"GE", opGreaterEq, 5}, {"LE", opLessEq, 5}, {"LT", opLess, 5},  {"GT", opGreater, 5},
};
constexpr OpSpelling kSymbols[] = {
    {"=", opEqual, 5},   {"+", opAdd, 4},      {"-", opSubtract, 4},    {"*", opMultiply, 3},   {"/", opDivide, 3},
    {"**", opPower, 2},  {"^", opPower, 2},    {"<>", opNotEqual, 5},   {"!=", opNotEqual, 5},  {"#", opNotEqual, 5},
    {">", opGreater, 5}, {"<", opLess, 5},     {">=", opGreaterEq, 5},  {"=>", opGreaterEq, 5}, {"<=", opLessEq, 5},
    {"=<", opLessEq, 5}, {"$", opContains, 5}, {"==", opExactEqual, 5},
};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentStart(char c) { return IsLetter(c) || c == '_'; }
bool IsIdent(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }

std::string AsciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && cvExpIsBlank(s[i])) ++i;
  return i;
}

// Finds the end of a parenthesised text that opens at `start`: the position
// of the closing ")" (or, with stopAtComma, of a top-level ","), skipping
// text and date literals; s.size() when the text ends first.
size_t ScanFunctionGroup(std::string_view s, size_t start, bool stopAtComma) {
  int depth = 0;
  char closer = 0;
  for (size_t i = start + 1; i < s.size(); ++i) {
    char c = s[i];
    if (closer) {
      if (c == closer) {
        closer = 0;
        --depth;
      }
      continue;
    }
    switch (c) {
      case '(': ++depth; break;
      case '"':
      case '\'':
        closer = c;
        ++depth;
        break;
      case '[':
        closer = ']';
        ++depth;
        break;
      case '{':
        closer = '}';
        ++depth;
        break;
      case ')':
        if (depth == 0) return i;
        --depth;
        break;
      case ',':
        if (stopAtComma && depth == 0) return i;
        break;
      default: break;
    }
  }
  return s.size();
}

// A NOT in operand position: ".NOT.", "NOT" or "!"; returns its length or 0.
size_t MatchNegation(std::string_view s, size_t i) {
  if (s[i] == '!') return 1;
  size_t j = i;
  if (s[j] == '.') ++j;
  size_t start = j;
  while (j < s.size() && IsLetter(s[j])) ++j;
  if (AsciiUpper(s.substr(start, j - start)) != "NOT") return 0;
  if (j < s.size()) {
    if (s[j] == '.') return j + 1 - i;
    if (IsIdent(s[j])) return 0;  // NOTE, NOT_X: a name
  }
  return j - i;
}

}  // namespace

const char* cvExpOperatorText(uint8_t opcode) {
  switch (opcode) {
    case opEqual: return "=";
    case opNotEqual: return "#";
    case opGreater: return ">";
    case opLess: return "<";
    case opGreaterEq: return ">=";
    case opLessEq: return "<=";
    case opContains: return "in string";
    case opExactEqual: return "exactly equal";
    case opAdd: return "+";
    case opSubtract: return "-";
    case opMultiply: return "*";
    case opDivide: return "/";
    case opPower: return "^";
    case opAnd: return ".AND.";
    case opOr: return ".OR.";
    case opNot: return ".NOT.";
    default: return "";
  }
}

std::vector<TcvExpToken> TcvExpHandler::CompressExpression(const std::string& text) {
  std::vector<TcvExpToken> out;
  size_t b = 0, e = text.size();
  while (b < e && cvExpIsBlank(text[b])) ++b;
  while (e > b && cvExpIsBlank(text[e - 1])) --e;
  const std::string_view s(text.data() + b, e - b);
  const size_t n = s.size();
  auto syntax = [this]() { cvRaiseExpression(cvErrSyntax, {source_}); };
  auto push = [&out](uint8_t code, std::string_view t) { out.push_back({code, std::string(t)}); };

  bool wantOperand = true;
  size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (wantOperand) {
      if (size_t len = MatchNegation(s, i)) {
        if (out.empty()) {
          push(opNot, std::string(1, '\x06'));
          i = SkipBlanks(s, i + len);
          continue;  // still expecting an operand
        }
        // NOT after something: the rest of the text from here is one group.
        push(tkGroup, s.substr(i));
        i = n;
        wantOperand = false;
        continue;
      }
      if (c == '(') {
        size_t end = ScanFunctionGroup(s, i, false);
        if (end >= n) cvRaiseExpression(cvErrNoEndParend);
        push(tkGroup, s.substr(i + 1, end - i - 1));
        i = end + 1;
      } else if (c == '.') {
        size_t end = s.find('.', i + 1);
        if (end == std::string_view::npos) cvRaiseExpression(cvErrNoEndPeriod);
        std::string lit = AsciiUpper(s.substr(i, end - i + 1));
        if (lit != ".T." && lit != ".F.") cvRaiseExpression(cvErrNoTrueFalse);
        push(tkLogical, lit);
        i = end + 1;
      } else if (IsIdentStart(c)) {
        size_t j = i;
        while (j < n && IsIdent(s[j])) ++j;
        std::string name(s.substr(i, j - i));
        for (;;) {
          size_t k = SkipBlanks(s, j);
          if (k < n && s[k] == '(') {
            size_t end = ScanFunctionGroup(s, k, false);
            if (end >= n) cvRaiseExpression(cvErrNoEndParend);
            push(tkFunction, name + std::string(s.substr(k, end - k + 1)));
            j = end + 1;
            break;
          }
          const std::string up = cvExpUpper(name);
          std::shared_ptr<TcvUserDefFieldVar> fv = cvGlobalFieldVars().Find(up);
          if (!fv && UserLink) fv = UserLink->FindFieldVar(up);
          bool dotted = false;
          if (fv) {
            if (!(fv->Qualifier && j < n && s[j] == '.')) {
              push(tkFieldVar, name);
              break;
            }
            dotted = true;
            j += 1;
          } else if (j + 1 < n && s[j] == '-' && s[j + 1] == '>') {
            dotted = true;
            j += 2;
          } else if (j < n && s[j] == '.') {
            dotted = true;
            j += 1;
          }
          if (!dotted) cvRaiseExpression(cvErrNoSuchFunction, {name});
          name += '.';
          size_t start = j;
          while (j < n && IsIdent(s[j])) ++j;
          name.append(s.substr(start, j - start));
        }
        i = j;
      } else if (c == '"' || c == '\'' || c == '[' || c == '{') {
        const char closer = c == '[' ? ']' : c == '{' ? '}' : c;
        size_t end = s.find(closer, i + 1);
        if (end == std::string_view::npos) cvRaiseExpression(cvErrNoEndQuote, {std::string(1, c)});
        push(c == '{' ? tkDate : tkText, s.substr(i + 1, end - i - 1));
        i = end + 1;
      } else if (c == '+' || c == '-' || IsDigit(c)) {
        size_t j = i + 1;
        int digits = IsDigit(c) ? 1 : 0, points = 0;
        while (j < n && (IsDigit(s[j]) || s[j] == '.')) {
          if (s[j] == '.') ++points;
          else ++digits;
          ++j;
        }
        // A sign alone or a second point is no number.
        if (digits == 0 || points > 1) syntax();
        push(tkNumber, s.substr(i, j - i));
        i = j;
      } else {
        syntax();
      }
      wantOperand = false;
    } else {
      const OpSpelling* found = nullptr;
      size_t j = i;
      if (std::strchr("!#$*+-/<=>^", c) && c != 0) {
        j = i + 1;
        while (j < n && std::strchr("*<=>", s[j]) && s[j] != 0) ++j;
        if (j >= n) syntax();  // nothing after the operator
        const std::string_view spelling = s.substr(i, j - i);
        for (const auto& op : kSymbols)
          if (spelling == op.text) {
            found = &op;
            break;
          }
      } else {
        if (s[j] == '.') ++j;
        size_t start = j;
        while (j < n && IsLetter(s[j])) ++j;
        if (j >= n || j == start) syntax();
        const std::string word = AsciiUpper(s.substr(start, j - start));
        if (s[j] == '.') ++j;
        else if (IsIdent(s[j])) syntax();
        for (const auto& op : kWords)
          if (word == op.text) {
            found = &op;
            break;
          }
      }
      if (!found) syntax();
      push(found->code, std::string(1, static_cast<char>(found->level)));
      i = j;
      wantOperand = true;
    }
    i = SkipBlanks(s, i);
  }
  return out;
}

std::unique_ptr<TcvExpBaseObject> TcvExpHandler::GenerateObjects(const std::vector<TcvExpToken>& tokens) {
  if (tokens.empty()) return nullptr;
  std::vector<std::unique_ptr<TcvExpBaseObject>> list;
  list.reserve(tokens.size());
  for (const auto& t : tokens) {
    std::unique_ptr<TcvExpBaseObject> node;
    if (t.code >= opEqual && t.code <= opNot) {
      const uint8_t level = t.text.empty() ? 0 : static_cast<uint8_t>(t.text[0]);
      node = std::make_unique<TcvExpOperator>(*this, t.code, level);
    } else {
      switch (t.code) {
        case tkFunction: node = std::make_unique<TcvExpFunction>(*this, t.text); break;
        case tkFieldVar: node = std::make_unique<TcvExpFieldvar>(*this, t.text); break;
        case tkGroup: node = std::make_unique<TcvExpContainer>(*this, t.text); break;
        case tkText: node = std::make_unique<TcvExpTextLit>(t.text); break;
        case tkDate: node = std::make_unique<TcvExpDateLit>(t.text); break;
        case tkNumber: node = std::make_unique<TcvExpNumLit>(t.text); break;
        case tkLogical: node = std::make_unique<TcvExpBlnLit>(t.text == ".T."); break;
        default: break;
      }
      if (node && t.code != tkGroup) {
        ++OperandCount;
        if (t.code == tkFieldVar || t.code == tkNumber) {
          Widest = std::max(Widest, node->Width);
          MostDecimals = std::max(MostDecimals, node->Decimals);
        }
      }
    }
    if (node) {
      if (node->Depth > kMaxDepth) cvRaiseExpression(cvErrConstructBad);
      list.push_back(std::move(node));
    }
  }

  // Bind operators level by level; equal levels group from the left.
  for (uint8_t level = 2; level <= 8 && list.size() > 1;) {
    size_t i = 0;
    for (; i < list.size(); ++i) {
      if (list[i]->Kind != etOperator) continue;
      auto* op = static_cast<TcvExpOperator*>(list[i].get());
      if (!op->Bound && op->Level == level) break;
    }
    if (i == list.size()) {
      ++level;
      continue;
    }
    auto* op = static_cast<TcvExpOperator*>(list[i].get());
    if (i + 1 < list.size()) {
      op->Right = std::move(list[i + 1]);
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
    if (level != 6 && i > 0) {
      op->Left = std::move(list[i - 1]);
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i) - 1);
    }
    op->Bound = true;
    op->Kind = etContainer;
    op->Depth = 1 + std::max(op->Left ? op->Left->Depth : 0, op->Right ? op->Right->Depth : 0);
    if (op->Depth > kMaxDepth) cvRaiseExpression(cvErrConstructBad);
  }
  if (list.size() != 1) cvRaiseExpression(cvErrConstructBad);
  return std::move(list.front());
}

std::unique_ptr<TcvExpBaseObject> TcvExpHandler::CompileText(const std::string& text) {
  if (nesting_ >= kMaxNesting) cvRaiseExpression(cvErrConstructBad);
  struct Nest {
    int& n;
    explicit Nest(int& x) : n(x) { ++n; }
    ~Nest() { --n; }
  } nest(nesting_);
  return GenerateObjects(CompressExpression(text));
}

void TcvExpHandler::Compile(const std::string& text) {
  root_.reset();
  Widest = MostDecimals = OperandCount = 0;
  resultType_ = rtUnknown;
  nesting_ = 0;
  source_ = text;
  cvExpCheckText(text);
  try {
    root_ = CompileText(text);
  } catch (...) {
    // A failed compile leaves nothing behind: no root and no counts, so a
    // filter set from it cannot look active.
    root_.reset();
    Widest = MostDecimals = OperandCount = 0;
    resultType_ = rtUnknown;
    nesting_ = 0;
    throw;
  }
}

void cvExpCheckText(const std::string& text) {
  if (text.find('\0') != std::string::npos) throw ECorvidExpression(kMsgNulInExpression);
}

TcvExpHandler::TcvExpHandler(TcvExpUserLink* link, const std::string& text, bool sqlWildcards)
    : UserLink(link), ManyWild(sqlWildcards ? '%' : '*'), OneWild(sqlWildcards ? '_' : '?') {
  Compile(text);
}

TcvExpHandler::~TcvExpHandler() = default;

void TcvExpHandler::SetExpression(const std::string& text) { Compile(text); }

// ---------------------------------------------------------------------------
// Nodes that compile texts of their own.

TcvExpContainer::TcvExpContainer(TcvExpHandler& handler, const std::string& inner)
    : TcvExpBaseObject(etContainer, rtUnknown) {
  Right = handler.CompileText(inner);
  if (Right) Depth = Right->Depth + 1;
}

TcvExpFunction::TcvExpFunction(TcvExpHandler& handler, const std::string& text)
    : TcvExpBaseObject(etFunction, rtUnknown), handler_(handler) {
  size_t open = text.find('(');
  if (open == std::string::npos) open = text.size();
  size_t nameEnd = open;
  while (nameEnd > 0 && cvExpIsBlank(text[nameEnd - 1])) --nameEnd;
  name_ = cvExpUpper(std::string_view(text).substr(0, nameEnd));

  function_ = cvGlobalFunctions().Find(name_);
  if (!function_ && handler.UserLink) function_ = handler.UserLink->FindFunction(name_);
  if (!function_) {
    if (!handler.UserLink) cvRaiseExpression(cvErrNoSuchFunction, {name_});
    function_ = handler.UserLink->OnNoFunction(name_);
    if (!function_) cvRaiseExpression(cvErrNoSuchFunction, {name_});
  }

  // Cut the arguments at top-level commas; empty pieces are skipped.
  std::string_view s(text);
  size_t pos = open;
  while (pos < s.size() && s[pos] != ')') {
    size_t end = ScanFunctionGroup(s, pos, true);
    std::string piece(s.substr(pos + 1, std::min(end, s.size()) - pos - 1));
    if (auto node = handler.CompileText(piece)) {
      Depth = std::max(Depth, node->Depth + 1);
      args_.push_back(std::move(node));
    }
    pos = end;
  }
}

TcvExpFieldvar::TcvExpFieldvar(TcvExpHandler& handler, const std::string& name)
    : TcvExpBaseObject(etFieldVar, rtUnknown), handler_(handler) {
  const std::string up = cvExpUpper(name);
  link_ = cvGlobalFieldVars().Find(up);
  if (!link_ && handler.UserLink) link_ = handler.UserLink->FindFieldVar(up);
  if (!link_) {
    if (!handler.UserLink) cvRaiseExpression(cvErrFieldInvalid, {up});
    cvRaiseExpression(cvErrNoSuchFunction, {up});
  }
  Width = link_->Width;
  Decimals = link_->Decimals;
}

TcvExpOperator::TcvExpOperator(TcvExpHandler& handler, uint8_t opcode, uint8_t level)
    : TcvExpBaseObject(etOperator, rtUnknown),
      Opcode(opcode),
      Level(level),
      CaseInsensitive(handler.CaseInsensitive),
      PartialCompare(handler.PartialCompare),
      ManyWild(handler.ManyWild),
      OneWild(handler.OneWild),
      handler_(handler) {}

TcvExpTextLit::TcvExpTextLit(std::string text) : TcvExpBaseObject(etTextLit, rtText), text_(std::move(text)) {
  Width = static_cast<int32_t>(std::min<size_t>(text_.size(), INT32_MAX));
}

TcvExpNumLit::TcvExpNumLit(const std::string& text) : TcvExpBaseObject(etNumLit, rtFloat) {
  Width = static_cast<int32_t>(std::min<size_t>(text.size(), 1000));
  std::string_view digits(text);
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (!TextToFloatC(digits, value_)) value_ = 0;
  size_t point = text.find('.');
  Decimals = point == std::string::npos ? 0 : static_cast<int32_t>(std::min<size_t>(text.size() - point - 1, 100));
}

TcvExpDateLit::TcvExpDateLit(const std::string& text) : TcvExpBaseObject(etDateLit, rtDate) {
  day_ = static_cast<double>(CTOD(text));
}

std::string TcvExpDateLit::ExpObjectContains() const { return "{" + DBFDate.DTOC(static_cast<int32_t>(day_)) + "}"; }

TcvExpBlnLit::TcvExpBlnLit(bool value) : TcvExpBaseObject(etBlnLit, rtBoolean), value_(value) {}
