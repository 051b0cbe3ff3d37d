// Text services of the class library for single-byte code page 1251 text.
//
// Two families, kept apart on purpose because callers rely on the difference:
// - the plain routines (`UpperCase`, `LowerCase`, `CompareStr`, `CompareText`,
//   `SameText`) touch only the Latin letters a..z and otherwise compare
//   bytes by their codes;
// - the locale routines (`AnsiUpperCase`, `AnsiCompareStr`,
//   `AnsiCompareText`, ...) follow the Russian desktop: Cyrillic letters
//   (Ё/ё and the other Slavic letters of the page included) change case,
//   and texts sort in dictionary order: punctuation before digits, digits
//   before Latin letters, Latin before Cyrillic, "ё" beside "е", lower case
//   before upper case, hyphens and apostrophes weighed only when all else is
//   equal.  Two texts compare equal only when they are the same bytes (or,
//   for the case-insensitive compare, the same after case folding).
#pragma once

#include <string>
#include <string_view>

// Locale case of one code page 1251 byte.
unsigned char AnsiUpperChar(unsigned char c);
unsigned char AnsiLowerChar(unsigned char c);
bool IsAnsiUpper(unsigned char c);
bool IsAnsiLower(unsigned char c);
bool IsAnsiAlpha(unsigned char c);

// Locale case change of a whole text.
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

// Case change of a..z only.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);

// Byte-wise compare: negative, 0 or positive.
int CompareStr(std::string_view a, std::string_view b);
// Byte-wise compare with only a..z folded to upper case; the Cyrillic letters
// compare by their codes.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// Locale compare, case-sensitive and case-insensitive: negative, 0 or
// positive.
int AnsiCompareStr(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);
bool AnsiSameStr(std::string_view a, std::string_view b);
bool AnsiSameText(std::string_view a, std::string_view b);

// 1-based position of `sub` in `s`, 0 when absent or when `sub` is empty.
int Pos(std::string_view sub, std::string_view s);

// Removal of blanks and control characters (every byte up to " ") at both
// ends, at the start, or at the end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
