// Conversion between the Windows Cyrillic code page (1251, "ANSI") and the
// DOS Cyrillic code page (866, "OEM").
//
// Stands in for the two system calls the table engine makes once at start-up
// to build its translation tables.  Letters, the box-drawing-free common
// characters and the signs both pages share map one to one; a character the
// other page lacks comes out as its nearest look-alike (a curly quote as a
// straight one, a box corner as "+") or as "?" when there is none, the way
// the system's best-fit conversion gives it.  Bytes 0..127 are unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Converts `length` bytes of code page 1251 text at `source` into code page
// 866 at `dest`.  `source` and `dest` may be the same buffer.  Returns false
// (and converts nothing) when either pointer is null.
bool CharToOemBuffA(const char* source, char* dest, std::size_t length);

// Converts `length` bytes of code page 866 text into code page 1251.
bool OemToCharBuffA(const char* source, char* dest, std::size_t length);

// The Unicode code point of a code page 1251 / 866 byte (used by the tests
// and by the GUI layer's UTF-8 conversion).
char32_t Cp1251ToUnicode(unsigned char c);
char32_t Cp866ToUnicode(unsigned char c);

// The exact reverse of `Cp1251ToUnicode`: the byte that holds `u`, or -1
// when code page 1251 has no such character.  No best fit: text typed by a
// user must never be silently changed on its way into the directory.
int UnicodeToCp1251(char32_t u);

// Code page 1251 text as UTF-8; every byte has a character, so nothing is
// lost.
std::string Cp1251ToUtf8(std::string_view text);

// UTF-8 text as code page 1251.  Returns false, leaving `out` unspecified,
// when the text is not well-formed UTF-8 or holds a character the page
// lacks; `refused` (when given) then receives that character, or U+FFFD for
// malformed UTF-8.
bool Utf8ToCp1251(std::string_view utf8, std::string& out, char32_t* refused = nullptr);
