// Statement parameter parsing over arbitrary text: the "?" marks of the
// result and the names found must stay one for one, and nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/db_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  TParams params;
  std::vector<std::string> names;
  std::string out = params.ParseSQL(text, true, &names);
  if (out.size() > text.size()) std::abort();
  // Every name became a parameter (repeats once).
  for (const std::string& n : names)
    if (params.FindParam(n) == nullptr) std::abort();
  if (static_cast<size_t>(params.Count()) > names.size()) std::abort();
  return 0;
}
