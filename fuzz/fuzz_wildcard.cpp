// Wildcard position and buffer search over arbitrary bytes.
//
// Input: pattern, a zero byte, text (no zero byte: all of it is the
// pattern, against an empty text).  Checks that the wildcard position lies
// inside the text, and that both buffer searches agree with a plain scan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/string_tools.h"

namespace {

unsigned char Fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

int32_t PlainSearch(std::string_view pat, std::string_view buf, int32_t start, bool fold) {
  if (pat.empty() || start < 0 || static_cast<size_t>(start) + pat.size() > buf.size()) return -1;
  for (size_t off = static_cast<size_t>(start); off + pat.size() <= buf.size(); ++off) {
    size_t k = 0;
    for (; k < pat.size(); ++k) {
      unsigned char a = static_cast<unsigned char>(pat[k]), b = static_cast<unsigned char>(buf[off + k]);
      if (fold ? Fold(a) != Fold(b) : a != b) break;
    }
    if (k == pat.size()) return static_cast<int32_t>(off);
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  size_t zero = in.find('\0');
  std::string_view pattern = in.substr(0, zero);
  std::string_view text = zero == std::string_view::npos ? std::string_view() : in.substr(zero + 1);

  int pos = cvStrPosWild(pattern, text);
  if (pos < 0 || (pos > 0 && static_cast<size_t>(pos) > text.size() && pos != 1)) std::abort();
  // A pattern with no wildcard characters is a plain search.
  if (!pattern.empty() && pattern.find_first_of("*?") == std::string_view::npos) {
    size_t p = text.find(pattern);
    int expected = p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
    if (pos != expected) std::abort();
  }

  if (!pattern.empty() && pattern.size() < 0x10000 && text.size() < 0x10000) {
    int32_t start = static_cast<int32_t>(static_cast<unsigned char>(pattern[0]) % 8);
    int32_t n = static_cast<int32_t>(text.size()), m = static_cast<int32_t>(pattern.size());
    if (SearchBuf(pattern.data(), text.data(), start, n, m) != PlainSearch(pattern, text, start, false)) std::abort();
    if (SearchBufI(pattern.data(), text.data(), start, n, m) != PlainSearch(pattern, text, start, true)) std::abort();
  }
  return 0;
}
