// Helpers of the table shell and table creation tests: running the
// independent DBF tools and reading little-endian header values.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>

namespace shelltest {

struct Output {
  int code = -1;
  std::string text;
};

inline Output RunTool(const std::string& command) {
  Output out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
  const int status = ::pclose(p);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

inline bool HavePythonDbf() { return RunTool("/usr/bin/python3 -c 'import dbf'").code == 0; }
inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

inline uint32_t LE32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint16_t LE16At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace shelltest
