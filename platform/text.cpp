#include "platform/text.h"

#include <array>
#include <cstdint>

namespace {

// Upper/lower pairs of code page 1251 outside a..z.
struct CasePair {
  unsigned char upper, lower;
};

constexpr CasePair kCyrillicPairs[] = {
    {0x80, 0x90},  // Ђ ђ
    {0x81, 0x83},  // Ѓ ѓ
    {0x8A, 0x9A},  // Љ љ
    {0x8C, 0x9C},  // Њ њ
    {0x8D, 0x9D},  // Ќ ќ
    {0x8E, 0x9E},  // Ћ ћ
    {0x8F, 0x9F},  // Џ џ
    {0xA1, 0xA2},  // Ў ў
    {0xA3, 0xBC},  // Ј ј
    {0xA5, 0xB4},  // Ґ ґ
    {0xA8, 0xB8},  // Ё ё
    {0xAA, 0xBA},  // Є є
    {0xAF, 0xBF},  // Ї ї
    {0xB2, 0xB3},  // І і
    {0xBD, 0xBE},  // Ѕ ѕ
};

struct CaseTables {
  std::array<unsigned char, 256> upper{}, lower{};
  CaseTables() {
    for (int c = 0; c < 256; ++c) upper[c] = lower[c] = static_cast<unsigned char>(c);
    for (int c = 'a'; c <= 'z'; ++c) {
      upper[c] = static_cast<unsigned char>(c - 32);
      lower[c - 32] = static_cast<unsigned char>(c);
    }
    for (int c = 0xE0; c <= 0xFF; ++c) {  // а..я
      upper[c] = static_cast<unsigned char>(c - 32);
      lower[c - 32] = static_cast<unsigned char>(c);
    }
    for (const auto& p : kCyrillicPairs) {
      upper[p.lower] = p.upper;
      lower[p.upper] = p.lower;
    }
  }
};

const CaseTables& Cases() {
  static const CaseTables t;
  return t;
}

// Collation weights of the locale compare.  `primary` orders letters
// alphabetically without case; `accent` separates "е" from "ё"; `upperCase`
// puts lower case first; `ignorable` marks hyphen and apostrophe, which only
// count once everything else is equal.
struct Weight {
  uint16_t primary = 0;
  uint8_t accent = 0;
  uint8_t upperCase = 0;
  bool ignorable = false;
};

struct Collation {
  std::array<Weight, 256> w{};
  Collation() {
    const CaseTables& ct = Cases();
    // Symbols and punctuation first, in code order; then digits; Latin; Cyrillic.
    uint16_t next = 1;
    auto isLetterOrDigit = [&](int c) { return (c >= '0' && c <= '9') || ct.upper[c] != c || ct.lower[c] != c; };
    for (int c = 0; c < 256; ++c)
      if (!isLetterOrDigit(c)) w[c].primary = next++;
    for (int c = '0'; c <= '9'; ++c) w[c].primary = next++;
    for (int c = 'A'; c <= 'Z'; ++c) {
      w[c].primary = w[c + 32].primary = next++;
      w[c].upperCase = 1;
    }
    // Russian alphabet order, the other Slavic letters of the page placed
    // after their nearest Russian letter.  Upper-case codes.
    const unsigned char kCyrOrder[] = {0xC0, 0xC1, 0xC2, 0xC3, 0xA5, 0x81, 0xC4, 0x80, 0xC5, 0xA8, 0xAA, 0xC6,
                                       0xC7, 0xBD, 0xC8, 0xB2, 0xAF, 0xC9, 0xA3, 0xCA, 0x8D, 0xCB, 0x8A, 0xCC,
                                       0xCD, 0x8C, 0xCE, 0xCF, 0xD0, 0xD1, 0xD2, 0x8E, 0xD3, 0xA1, 0xD4, 0xD5,
                                       0xD6, 0xD7, 0x8F, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};
    for (unsigned char u : kCyrOrder) {
      unsigned char l = ct.lower[u];
      if (u == 0xA8) {  // Ё sorts with Е, told apart by its accent
        w[u].primary = w[l].primary = w[0xC5].primary;
        w[u].accent = w[l].accent = 1;
      } else {
        w[u].primary = w[l].primary = next++;
      }
      w[u].upperCase = 1;
    }
    w['-'].ignorable = w['\''].ignorable = true;
  }
};

const Collation& Coll() {
  static const Collation c;
  return c;
}

int Sign(int v) { return (v > 0) - (v < 0); }

int ByteCompare(std::string_view a, std::string_view b, bool foldAscii, bool foldLocale) {
  const CaseTables& ct = Cases();
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (foldLocale) {
      x = ct.upper[x];
      y = ct.upper[y];
    } else if (foldAscii) {
      if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
      if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Compares one weight level over the non-ignorable characters.
template <class F>
int CompareLevel(std::string_view a, std::string_view b, F level) {
  const Collation& co = Coll();
  size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && co.w[static_cast<unsigned char>(a[i])].ignorable) ++i;
    while (j < b.size() && co.w[static_cast<unsigned char>(b[j])].ignorable) ++j;
    if (i == a.size() || j == b.size()) return (i == a.size() ? 0 : 1) - (j == b.size() ? 0 : 1);
    int x = level(co.w[static_cast<unsigned char>(a[i])]);
    int y = level(co.w[static_cast<unsigned char>(b[j])]);
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
}

int LocaleCompare(std::string_view a, std::string_view b, bool caseSensitive) {
  if (int r = CompareLevel(a, b, [](const Weight& w) { return int(w.primary); })) return r;
  if (int r = CompareLevel(a, b, [](const Weight& w) { return int(w.accent); })) return r;
  if (caseSensitive) {
    if (int r = CompareLevel(a, b, [](const Weight& w) { return int(w.upperCase); })) return r;
    return ByteCompare(a, b, false, false);
  }
  return ByteCompare(a, b, false, true);
}

}  // namespace

unsigned char AnsiUpperChar(unsigned char c) { return Cases().upper[c]; }
unsigned char AnsiLowerChar(unsigned char c) { return Cases().lower[c]; }
bool IsAnsiUpper(unsigned char c) { return Cases().lower[c] != c; }
bool IsAnsiLower(unsigned char c) { return Cases().upper[c] != c; }
bool IsAnsiAlpha(unsigned char c) { return IsAnsiUpper(c) || IsAnsiLower(c); }

std::string AnsiUpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(c)));
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AnsiLowerChar(static_cast<unsigned char>(c)));
  return r;
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

int CompareStr(std::string_view a, std::string_view b) { return ByteCompare(a, b, false, false); }
int CompareText(std::string_view a, std::string_view b) { return ByteCompare(a, b, true, false); }
bool SameText(std::string_view a, std::string_view b) {
  // Name lookups call this for every name of a list: bytes that are equal
  // as they stand are never folded.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

int AnsiCompareStr(std::string_view a, std::string_view b) { return Sign(LocaleCompare(a, b, true)); }
int AnsiCompareText(std::string_view a, std::string_view b) { return Sign(LocaleCompare(a, b, false)); }
bool AnsiSameStr(std::string_view a, std::string_view b) { return a == b; }
bool AnsiSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ByteCompare(a, b, false, true) == 0;
}

int Pos(std::string_view sub, std::string_view s) {
  if (sub.empty()) return 0;
  size_t p = s.find(sub);
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::string Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

std::string TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') --n;
  return std::string(s.substr(0, n));
}
