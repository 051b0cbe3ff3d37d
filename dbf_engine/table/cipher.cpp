#include "dbf_engine/table/cipher.h"

#include <cstring>

int Encryption(const std::string& key, const void* source, void* destination, size_t length, int direction) {
  const auto* src = static_cast<const unsigned char*>(source);
  auto* dst = static_cast<unsigned char*>(destination);
  if (key.empty()) {
    if (src != dst && length > 0) std::memmove(dst, src, length);
    return 0;
  }
  size_t j = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char mask = static_cast<unsigned char>(key[j]) | static_cast<unsigned char>(i & 0xFF);
    dst[i] = src[i] ^ mask;
    if (++j == key.size()) j = 0;
  }
  return direction == 0 ? -1 : 1;
}

int DBEncryption(const std::string& key, const void* source, void* destination, size_t length, int direction) {
  return Encryption(key, source, destination, length, direction);
}
