#include "dbf_engine/index/index_format.h"

#include <cctype>

#include "dbf_engine/messages.h"

void cvIndexCorrupt(std::string_view file) { cvRaise<ECorvidIndexCorrupt>(cvErrIndexCorrupted, {file}); }

void cvIndexLimit(std::string_view what, std::string_view limit) { cvRaise(cvErrArgRange, {what, limit}); }

bool cvLoadZText(const uint8_t* p, size_t size, std::string& out) {
  const void* z = std::memchr(p, 0, size);
  if (!z) return false;
  out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(static_cast<const uint8_t*>(z) - p));
  return true;
}

void cvStoreZText(uint8_t* p, size_t size, std::string_view s) {
  const size_t n = s.size() < size ? s.size() : size - 1;
  std::memcpy(p, s.data(), n);
  p[n] = 0;
}

bool cvExpressionMayMove(std::string_view expr) {
  std::string up(expr);
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* word : {"REC", "DELE", "DATE", "TIME", "SECO", "RAND", "EOF", "BOF", "FOUN"})
    if (up.find(word) != std::string::npos) return true;
  return false;
}
