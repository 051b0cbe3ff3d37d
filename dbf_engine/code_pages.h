// OEM/ANSI translation, the engine's text comparisons and its shared
// constants.
//
// Tables written by DOS programs hold text in the OEM code page (866); the
// engine works in the Windows code page (1251).  Two 256-byte tables are
// built once, on first use, from the platform conversion and then adjusted
// so that OEM text translated to ANSI and back never changes: a character
// whose conversion does not come back keeps itself when it can, else takes
// the lowest free code.  Bytes 0..32 are never translated.
#pragma once

#include <string>
#include <string_view>

// Characters that read as true / false in logical fields and values.
inline constexpr char LogicalTrue[] = "TtYyJj";
inline constexpr char LogicalFalse[] = "FfNn";
// End-of-file byte after the last record of a table.
inline constexpr char EOFMark = 0x1A;
// Separator used when the engine forms a file name from a directory and a
// name.  File names on this system use "/" (and accept "\" on input).
inline constexpr char CVFileSep = '/';

// Locale tables for keys.  Nothing installs any, so keys compare byte by
// byte wherever these are consulted; they stay null unless a caller (a test,
// say) sets one.
extern const unsigned char* pDictionaryTable;
extern const unsigned char* pCollateTable;
extern const unsigned char* pUpperTable;
extern const unsigned char* pLowerTable;

// The two 256-byte translation tables.
const unsigned char* cvAnsiToOemTable();
const unsigned char* cvOemToAnsiTable();

// destination[k] = table[source[k]] for k < n; n <= 0 does nothing.  Source
// and destination may be the same buffer.
void cvSysCharToOEM(const char* source, char* destination, int n);
void cvSysOEMToChar(const char* source, char* destination, int n);

// A new text of the same length, translated.
std::string kvSysOemToAnsi(std::string_view text);
std::string kvSysAnsiToOem(std::string_view text);

// Locale-aware comparisons: negative, 0 or positive.
int cvStrCompare(std::string_view a, std::string_view b);
int cvStrCompareI(std::string_view a, std::string_view b);
// The same for zero-terminated buffers (a null pointer is an empty text).
int cvBufCompare(const char* a, const char* b);
int cvBufCompareI(const char* a, const char* b);

// 1-based position of `sub` in `text`, 0 when absent (or `sub` is empty).
int cvStrPosition(std::string_view sub, std::string_view text);

// Locale-aware case change.
std::string cvStrLowerCase(std::string_view text);
std::string cvStrUpperCase(std::string_view text);

// Position of a wildcard pattern in a text, 0 when absent.  "*" alone
// matches at 1.  One leading and one trailing "*" are dropped; when the
// pattern did not start with "*", each "?" matches whatever stands at the
// same position of the text (counted from the text's start, not from the
// match).  An empty pattern, or one longer than the text once its stars are
// dropped, gives 0.
int cvStrPosWild(std::string_view pattern, std::string_view text);
