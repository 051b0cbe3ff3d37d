// Arbitrary text through the SQL lexer: tokens up to the end of the input,
// or a clean error (a fatal scanner error or an invalid date literal);
// never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/front/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const FormatSettings before = GetFormatSettings();
  TkpLexer lx;
  // The first byte picks the date format, as the query's DateFormat would.
  if (!text.empty()) {
    static const char* const kFormats[] = {"", "m/d/yyyy", "dd.MM.yyyy", "yyyy-mm-dd"};
    lx.DateFormat = kFormats[static_cast<uint8_t>(text[0]) % 4];
  }
  lx.SetInputText(text);
  try {
    // Every token consumes input, so the count is bounded by the size
    // (a token may be followed by its own line feed).
    for (size_t n = 0;; ++n) {
      const int32_t t = lx.yylex();
      if (t == 0) break;
      if ((t < 257 || t > 386) || n > 2 * size + 2) std::abort();
    }
  } catch (const ESiftError&) {
  } catch (const EConvertError&) {
  }
  // A failed date conversion must not leave the process settings changed.
  const FormatSettings& after = GetFormatSettings();
  if (after.ShortDateFormat != before.ShortDateFormat || after.DateSeparator != before.DateSeparator) std::abort();
  return 0;
}
