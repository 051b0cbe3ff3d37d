// Catalogue formatting with hostile argument text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string s(reinterpret_cast<const char*>(data), size);
  size_t half = s.size() / 2;
  std::string pattern = s.substr(0, half), arg = s.substr(half);
  (void)FormatMessage(pattern, {arg, 12, arg});
  return 0;
}
