#include "sql_engine/kp_misc.h"

#include <array>
#include <string_view>

#include "platform/paths.h"
#include "platform/text.h"

void ReplaceString(std::string& text, const std::string& old_text, const std::string& new_text) {
  if (old_text.empty() || SameText(old_text, new_text)) return;
  std::string out;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(old_text, from);
    if (at == std::string::npos) break;
    out.append(text, from, at - from);
    out += new_text;
    from = at + old_text.size();
  }
  if (from == 0) return;
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

Variant VarMin(const Variant& a, const Variant& b) { return VarCompare(a, b) < 0 ? a : b; }
Variant VarMax(const Variant& a, const Variant& b) { return VarCompare(a, b) > 0 ? a : b; }

namespace {
bool IsQuote(char c) { return c == '\'' || c == '"'; }
}  // namespace

std::string RemoveStrDelim(const std::string& text) {
  if (text.size() >= 2 && IsQuote(text.front()) && IsQuote(text.back())) return text.substr(1, text.size() - 2);
  return text;
}

std::string AddSlash(const std::string& path) {
  if (path.empty() || path.back() == '\\') return path;
  return path + '\\';
}

std::string GetTemporaryFileName(const std::string& prefix) {
  return GetTempFileName("", std::string_view(prefix).substr(0, 3));
}

std::string TrimSquareBrackets(const std::string& name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') return name.substr(1, name.size() - 2);
  return name;
}

namespace {
// The reserved words of the expression language.
constexpr std::array<std::string_view, 26> kKeywords = {
    "AND", "OR", "XOR",     "NOT", "MOD",  "TRUE", "FALSE", "LIKE", "STRING", "FLOAT", "INTEGER", "BOOLEAN", "SHL",
    "SHR", "IN", "BETWEEN", "DIV", "CASE", "WHEN", "THEN",  "ELSE", "IF",     "CAST",  "ESCAPE",  "AS",      "END"};

bool IsPlainNameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
}  // namespace

std::string AddSquareBrackets(const std::string& name) {
  if (name.empty()) return name;
  if (name.size() > 1 && name.front() == '[' && name.back() == ']') return name;
  bool bracket = name[0] >= '0' && name[0] <= '9';
  for (unsigned char c : name)
    if (!IsPlainNameChar(c)) bracket = true;
  if (!bracket)
    for (std::string_view k : kKeywords)
      if (SameText(name, k)) bracket = true;
  return bracket ? "[" + name + "]" : name;
}
