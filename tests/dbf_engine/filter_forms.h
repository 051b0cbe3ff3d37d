// Random filter conditions of the forms a filter scan runs as flat record
// tests (a text field, UPPER / LEFT / SUBSTR of one, against a text literal
// on either side, joined by .AND. / .OR.), and random texts for fields and
// literals: blanks, wildcards of both spellings, Cyrillic of both cases.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace filter_forms {

inline const std::string& Alphabet() {
  // A, B, blank, both wildcard spellings, ИВ / ив, ё / Ё.
  static const std::string a = std::string("AB *?%_") + "\xC8\xC2\xE8\xE2\xB8\xA8";
  return a;
}

inline std::string Text(std::mt19937& rng, size_t maxLen) {
  std::string s;
  const size_t n = rng() % (maxLen + 1);
  for (size_t i = 0; i < n; ++i) s += Alphabet()[rng() % Alphabet().size()];
  return s;
}

// One side that reads field `f`.
inline std::string Side(std::mt19937& rng, const std::string& f) {
  const std::string n = std::to_string(1 + rng() % 10), s = std::to_string(1 + rng() % 10);
  switch (rng() % 8) {
    case 0: return f;
    case 1: return "UPPER(" + f + ")";
    case 2: return "LEFT(" + f + "," + n + ")";
    case 3: return "SUBSTR(" + f + "," + s + ")";
    case 4: return "SUBSTR(" + f + "," + s + "," + n + ")";
    case 5: return "UPPER(LEFT(" + f + "," + n + "))";
    case 6: return "LEFT(UPPER(" + f + ")," + n + ")";
    default: return "(" + f + ")";
  }
}

inline std::string Compare(std::mt19937& rng, const std::vector<std::string>& fields) {
  static const char* const ops[] = {"=", "<>", ">", "<", ">=", "<="};
  // Equality most of the time: it has the most shortcuts.
  const char* op = rng() % 3 == 0 ? ops[rng() % 6] : ops[rng() % 2];
  const std::string side = Side(rng, fields[rng() % fields.size()]);
  std::string lit = Text(rng, 6);
  if (rng() % 3 == 0) lit += rng() % 2 ? "*" : "%";
  if (rng() % 5 == 0) lit = (rng() % 2 ? "*" : "%") + lit;
  lit = "'" + lit + "'";
  return rng() % 3 == 0 ? lit + " " + op + " " + side : side + " " + op + " " + lit;
}

inline std::string Condition(std::mt19937& rng, const std::vector<std::string>& fields, int depth) {
  if (depth == 0 || rng() % 3 == 0) return Compare(rng, fields);
  const char* join = rng() % 2 ? " .AND. " : " .OR. ";
  std::string c = Condition(rng, fields, depth - 1) + join + Condition(rng, fields, depth - 1);
  return rng() % 2 ? "(" + c + ")" : c;
}

}  // namespace filter_forms
