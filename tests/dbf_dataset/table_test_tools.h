// Helpers of the table shell and table creation tests: running the
// independent DBF tools and reading little-endian header values.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>
#include "common/run_tool.h"

namespace shelltest {


inline uint32_t LE32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
inline uint16_t LE16At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace shelltest
