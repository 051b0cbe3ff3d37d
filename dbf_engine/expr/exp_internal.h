// Helpers shared by the expression modules (compiler, evaluator, function
// library, field bindings); not part of the engine's public interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Upper case of a name or text by the CP1251 locale rules.
std::string cvExpUpper(std::string_view s);
std::string cvExpLower(std::string_view s);
// The display text of an operator code ("=", ".AND.", ...).
const char* cvExpOperatorText(uint8_t opcode);
// A blank or a control character: what trimming in the language drops.
inline bool cvExpIsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The text without its trailing blanks.
inline std::string_view cvExpTrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return s.substr(0, e);
}
// Case-folds `s` into `into` by a 256-byte table; the view of the result.
inline std::string_view cvExpFoldInto(std::string& into, std::string_view s, const unsigned char* table) {
  into.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i) into[i] = static_cast<char>(table[static_cast<unsigned char>(s[i])]);
  return into;
}

class TcvExpBaseObject;
// The node inside any groups (parentheses) around it.
TcvExpBaseObject* cvExpUnwrapped(TcvExpBaseObject* node);

// 256-byte case tables of the locale rules; for OEM text the byte goes to the
// ANSI code page, changes case there and comes back.  Built once.
const unsigned char* cvExpUpperTable(bool oem);
const unsigned char* cvExpLowerTable(bool oem);

// The evaluator's in-place paths (text compares on views of the record image
// and precomputed constants).  On by default; switching them off makes every
// node evaluate through the general path, which tests use as the reference.
extern bool cvExpFastPathsOn;
inline bool cvExpFastPaths() { return cvExpFastPathsOn; }
inline void cvExpSetFastPaths(bool on) { cvExpFastPathsOn = on; }

// Operator codes of compiled expressions.  They stay inside the expression
// modules: the query engine has operators of its own with the same names.
enum : uint8_t {
  opEqual = 0x81,
  opNotEqual = 0x82,
  opGreater = 0x83,
  opLess = 0x84,
  opGreaterEq = 0x85,
  opLessEq = 0x86,
  opContains = 0x87,
  opExactEqual = 0x88,
  opAdd = 0x89,
  opSubtract = 0x8a,
  opMultiply = 0x8b,
  opDivide = 0x8c,
  opPower = 0x8d,
  opAnd = 0x90,
  opOr = 0x91,
  opNot = 0x92,
};
