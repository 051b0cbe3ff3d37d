#include "dbf_engine/code_pages.h"

#include <array>
#include <cstring>

#include "platform/code_page.h"
#include "platform/text.h"

const unsigned char* pDictionaryTable = nullptr;
const unsigned char* pCollateTable = nullptr;
const unsigned char* pUpperTable = nullptr;
const unsigned char* pLowerTable = nullptr;

namespace {

struct Translation {
  std::array<unsigned char, 256> toOem{};   // O
  std::array<unsigned char, 256> toAnsi{};  // I

  Translation() {
    for (int c = 0; c < 256; ++c) toOem[c] = toAnsi[c] = static_cast<unsigned char>(c);

    // What the platform makes of 33..255, and what it makes of that again.
    char ansi[223], oem[223], back[223];
    for (int c = 33; c < 256; ++c) ansi[c - 33] = static_cast<char>(c);
    CharToOemBuffA(ansi, oem, sizeof oem);
    OemToCharBuffA(oem, back, sizeof back);
    for (int c = 33; c < 256; ++c) {
      toOem[c] = static_cast<unsigned char>(oem[c - 33]);
      unsigned char r = static_cast<unsigned char>(back[c - 33]);
      // A character that does not come back (or comes back as a control
      // character) has no usable image yet.
      if (r != c || r < 33) toOem[c] = 0;
    }

    auto taken = [this](int v) {
      for (int c = 33; c < 256; ++c)
        if (toOem[c] == v) return true;
      return false;
    };
    // Keep a character as itself where that code is still free ...
    for (int c = 33; c < 256; ++c)
      if (toOem[c] == 0 && !taken(c)) toOem[c] = static_cast<unsigned char>(c);
    // ... else give it the lowest free code, so the mapping stays one to one.
    for (int c = 33; c < 256; ++c) {
      if (toOem[c] != 0) continue;
      for (int v = 33; v < 256; ++v) {
        if (!taken(v)) {
          toOem[c] = static_cast<unsigned char>(v);
          break;
        }
      }
    }
    for (int c = 33; c < 256; ++c) {
      toAnsi[c] = static_cast<unsigned char>(c);
      for (int j = 0; j < 256; ++j) {
        if (toOem[j] == c) {
          toAnsi[c] = static_cast<unsigned char>(j);
          break;
        }
      }
    }
  }
};

const Translation& Tables() {
  static const Translation t;
  return t;
}

void Translate(const unsigned char* table, const char* source, char* destination, int n) {
  if (n <= 0 || !source || !destination) return;
  for (int k = 0; k < n; ++k) destination[k] = static_cast<char>(table[static_cast<unsigned char>(source[k])]);
}

std::string_view Buf(const char* p) { return p ? std::string_view(p) : std::string_view(); }

}  // namespace

const unsigned char* cvAnsiToOemTable() { return Tables().toOem.data(); }
const unsigned char* cvOemToAnsiTable() { return Tables().toAnsi.data(); }

void cvSysCharToOEM(const char* source, char* destination, int n) {
  Translate(cvAnsiToOemTable(), source, destination, n);
}

void cvSysOEMToChar(const char* source, char* destination, int n) {
  Translate(cvOemToAnsiTable(), source, destination, n);
}

std::string kvSysOemToAnsi(std::string_view text) {
  std::string r(text);
  Translate(cvOemToAnsiTable(), r.data(), r.data(), static_cast<int>(r.size()));
  return r;
}

std::string kvSysAnsiToOem(std::string_view text) {
  std::string r(text);
  Translate(cvAnsiToOemTable(), r.data(), r.data(), static_cast<int>(r.size()));
  return r;
}

int cvStrCompare(std::string_view a, std::string_view b) { return AnsiCompareStr(a, b); }
int cvStrCompareI(std::string_view a, std::string_view b) { return AnsiCompareText(a, b); }
int cvBufCompare(const char* a, const char* b) { return AnsiCompareStr(Buf(a), Buf(b)); }
int cvBufCompareI(const char* a, const char* b) { return AnsiCompareText(Buf(a), Buf(b)); }

int cvStrPosition(std::string_view sub, std::string_view text) { return Pos(sub, text); }

std::string cvStrLowerCase(std::string_view text) { return AnsiLowerCase(text); }
std::string cvStrUpperCase(std::string_view text) { return AnsiUpperCase(text); }

int cvStrPosWild(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return 0;
  if (pattern == "*") return 1;
  bool leadingStar = pattern.front() == '*';
  if (leadingStar) {
    pattern.remove_prefix(1);
    if (pattern == "*") return 1;
  }
  if (!pattern.empty() && pattern.back() == '*') pattern.remove_suffix(1);
  // The length test comes after the stars are gone: "*abc" fits in "abc".
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  if (leadingStar) return cvStrPosition(pattern, text);
  std::string marked(text);
  for (size_t i = 0; i < pattern.size(); ++i)
    if (pattern[i] == '?') marked[i] = '?';
  return cvStrPosition(pattern, marked);
}
