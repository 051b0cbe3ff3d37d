// Arbitrary SQL text through the lexer, the parser and statement building:
// the statement is accepted, or refused with a message and a position; a
// bad date literal or a fatal lexer condition raises the engine's
// exceptions.  Never a crash, a hang or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/exceptions.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/front/sql_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const std::string sql(reinterpret_cast<const char*>(data), size);
  TSqlAnalizer analyzer(nullptr, nullptr);
  try {
    const int32_t r = analyzer.Parse(sql, "dd.MM.yyyy");
    if (r != 0) {
      // A refused statement always says why and where.
      if (analyzer.Parser()->ErrorMessage.empty()) std::abort();
      if (analyzer.Lexer()->LineNo < 0) std::abort();
    }
  } catch (const Exception&) {
    // Invalid dates and lexer limits end the parse with an exception.
  }
  return 0;
}
