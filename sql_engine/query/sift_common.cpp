// Helpers the execution stages share (see sift_common.h).
#include "sql_engine/query/sift_common.h"

#include <cctype>
#include <cmath>

#include "platform/text.h"
#include "sql_engine/expr/expr_parser.h"
#include "sql_engine/kp_misc.h"
#include "sql_engine/sift_messages.h"

namespace {

std::string Upper(const std::string& s) { return UpperCase(s); }

bool IdentChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || u >= 0x80;
}

constexpr const char* kMarker = "\\f\"";

}  // namespace

namespace sift {

bool IsQuote(char c) { return c == '\'' || c == '"'; }

bool Blank(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

bool MarkerAt(const std::string& s, size_t i) { return s.compare(i, 3, kMarker) == 0; }

size_t LiteralEnd(const std::string& s, size_t i) {
  const char q = s[i];
  size_t j = i + 1;
  while (j < s.size()) {
    if (s[j] == q) {
      if (j + 1 < s.size() && s[j + 1] == q) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

size_t MarkerEnd(const std::string& s, size_t i) {
  const size_t close = s.find('"', i + 3);
  return close == std::string::npos ? close : close + 1;
}

std::string MarkersAsNames(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      if (end == std::string::npos) {
        out += text.substr(i);
        break;
      }
      out += text.substr(i + 3, end - i - 4);
      i = end;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::vector<std::string> TopLevelConjuncts(std::string text) {
  for (;;) {
    text = Trim(text);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') break;
    // Do the outer parentheses enclose everything?
    int depth = 0;
    bool encloses = true;
    for (size_t i = 0; i < text.size(); ++i) {
      if (IsQuote(text[i])) {
        i = LiteralEnd(text, i) - 1;
        continue;
      }
      if (text[i] == '(') ++depth;
      if (text[i] == ')' && --depth == 0 && i + 1 < text.size()) {
        encloses = false;
        break;
      }
    }
    if (!encloses) break;
    text = text.substr(1, text.size() - 2);
  }
  std::vector<std::string> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsQuote(text[i])) {
      i = LiteralEnd(text, i) - 1;
      continue;
    }
    if (text[i] == '(') ++depth;
    if (text[i] == ')') --depth;
    if (depth == 0 && text.size() - i >= 5 && text[i] == ' ' && text[i + 4] == ' ' &&
        Upper(text.substr(i + 1, 3)) == "AND") {
      out.push_back(Trim(text.substr(start, i - start)));
      start = i + 5;
      i += 4;
    }
  }
  out.push_back(Trim(text.substr(start)));
  return out;
}

TOperator Mirrored(TOperator op) {
  switch (op) {
    case opGT: return opLT;
    case opLT: return opGT;
    case opGTE: return opLTE;
    case opLTE: return opGTE;
    default: return op;
  }
}

TFieldType ParamTypeOf(TExprType t) {
  switch (t) {
    case ttFloat: return ftFloat;
    case ttInteger: return ftInteger;
    case ttBoolean: return ftBoolean;
    default: return ftString;
  }
}

[[noreturn]] void NotSupported(const std::string& what) { SiftErrorText(what + " is not supported yet"); }

TExprOwner OwnExpr(std::unique_ptr<TExprParser> parser) { return TExprOwner(parser.release()); }

bool ConditionTrue(TExprParser& p) {
  TExpression* e = p.Expression.get();
  if (!e) return true;
  return e->GetAsBoolean();
}

}  // namespace sift

using namespace sift;

int32_t SiftMulDiv(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  return static_cast<int32_t>(std::llround(static_cast<double>(a) * b / c));
}

std::string ReplaceOutsideLiterals(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (MarkerAt(text, i)) {
      const size_t end = MarkerEnd(text, i);
      const size_t stop = end == std::string::npos ? text.size() : end;
      out += text.substr(i, stop - i);
      i = stop;
    } else if (IsQuote(text[i])) {
      const size_t end = LiteralEnd(text, i);
      out += text.substr(i, end - i);
      i = end;
    } else if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string RemoveTablePrefix(const std::string& text, const std::string& name) {
  if (name.empty()) return text;
  const std::string upper = Upper(TrimSquareBrackets(name));
  const std::string plain = upper + ".";
  std::string bracketed(1, '[');
  bracketed.append(upper).append("].");
  // The prefix is matched in place (a Latin case fold, as UpperCase does):
  // a filter text of a long condition has a word boundary every few bytes.
  auto prefixAt = [&text](size_t i, const std::string& upper) {
    if (text.size() - i < upper.size()) return false;
    for (size_t k = 0; k < upper.size(); ++k) {
      char c = text[i + k];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      if (c != upper[k]) return false;
    }
    return true;
  };
  // Text is copied in runs, up to where a prefix is taken out.
  std::string out;
  out.reserve(text.size());
  size_t i = 0, run = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (IsQuote(c)) {
      i = LiteralEnd(text, i);
      continue;
    }
    const char u = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    if ((u == '[' || u == plain[0]) && (i == 0 || !IdentChar(text[i - 1]))) {
      const size_t taken = prefixAt(i, bracketed) ? bracketed.size() : prefixAt(i, plain) ? plain.size() : 0;
      if (taken > 0) {
        out.append(text, run, i - run);
        i += taken;
        run = i;
        continue;
      }
    }
    ++i;
  }
  out.append(text, run, std::string::npos);
  return out;
}

// ----------------------------------------------------- quantified subquery
