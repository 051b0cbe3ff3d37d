// Hexadecimal text of byte values: how binary field values travel inside
// SQL texts (a blob value in an INSERT is written as its hex digits).
#pragma once

#include <cstdint>
#include <string>

// Two upper-case hex digits per byte, in order.
std::string StringToHex(const std::string& text);
// The bytes of consecutive digit pairs (either case).  A character that is
// not a hex digit, or the incomplete last pair of an odd-length text, raises
// Exception "<char> is not a hex digit".
std::string HexToString(const std::string& hex);
// The value of a text of hex digits (either case) as a 32-bit integer;
// digits beyond the eighth shift the high ones out.
int32_t HexToInt(const std::string& hex);
