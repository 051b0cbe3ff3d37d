// Small text, buffer and file-name routines of the engine.
//
// The buffer search behind the table's text search, the file-name rules used
// wherever a table, memo or index file name is formed, padding and hex
// helpers, and `Unique_Field`, which makes short unique names from the clock
// for temporary tags and files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// 0-based offset of the first occurrence of `pattern` (patternLength bytes)
// in `buffer` at or after `start`, or -1.  -1 also for a null pointer, a
// negative start, an empty pattern, or a pattern that would run past
// bufferLength.
int32_t SearchBuf(const char* pattern, const char* buffer, int32_t start, int32_t bufferLength, int32_t patternLength);
// The same, with the case of ASCII letters ignored.
int32_t SearchBufI(const char* pattern, const char* buffer, int32_t start, int32_t bufferLength, int32_t patternLength);

// The name unchanged when it has an extension, else with `extension` added.
std::string ChangeFileExtEmpty(std::string_view fileName, std::string_view extension);
// The name without directory and extension ("data/PHONES.DBF" -> "PHONES").
std::string ExtractFileNameOnly(std::string_view fileName);

// The names of an index-file list such as `a.ntx, "b,c.ntx"; phones`: a
// comma or semicolon outside double quotes separates names; the quotes only
// protect what they enclose and are dropped ("b,c".ntx is the one name
// b,c.ntx).  Each name is trimmed and empty names are skipped, so blanks and
// repeated or trailing separators give nothing.  Both the table's own
// index list and the dataset's split a list this way.
std::vector<std::string> SplitIndexList(std::string_view text);

// Two upper-case hexadecimal digits of a byte, and back.  A digit outside
// 0-9 and A-F counts as 0.
void Byte2Hex(uint8_t value, char& high, char& low);
void Hex2Byte(uint8_t& value, char high, char low);

// -1, 0 or 1.
int CmprIntegers(int32_t a, int32_t b);

// Padding to n characters (n is taken as 0..255).  An empty text stays
// empty; a longer text is cut: PadL keeps its last n characters, PadR its
// first n.
std::string PadL(std::string_view text, int n);
std::string PadR(std::string_view text, int n);
// Appends `c` to the zero-terminated text in `buffer` until it is n long and
// terminates it; a text of n or more characters stays unchanged.  The buffer
// must hold n + 1 bytes.
void StrPadR(char* buffer, char c, int n);

// Trailing blanks and control characters dropped and one blank appended;
// when the text holds "~", the part before the first "~" moves to the end
// ("A~B" -> "B A").
std::string Strip_Flip(std::string_view text);

// An 8-character name made from the date and time, never one this process
// has returned before.
std::string Unique_Field();
// The name Unique_Field forms from these clock readings.
std::string UniqueFieldName(int month, int day, int hour, int minute, int second, int millisecond);
