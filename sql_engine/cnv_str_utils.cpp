#include "sql_engine/cnv_str_utils.h"

#include "platform/exceptions.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  // The missing partner of an odd-length text is the NUL character, shown
  // as nothing.
  throw Exception((c == '\0' ? std::string() : std::string(1, c)) + " is not a hex digit");
}

}  // namespace

std::string StringToHex(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string HexToString(const std::string& hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]);
    int lo = HexDigit(i + 1 < hex.size() ? hex[i + 1] : '\0');
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

int32_t HexToInt(const std::string& hex) {
  uint32_t v = 0;
  for (char c : hex) v = (v << 4) | static_cast<uint32_t>(HexDigit(c));
  return static_cast<int32_t>(v);
}
