// Arbitrary text through the SQL lexer: tokens up to the end of the input,
// or a clean error (a fatal scanner error or an invalid date literal);
// never a crash or a hang.  The fast scan loop must give what the general
// loop over the plain tables gives: the same tokens, texts, positions and
// errors, with layout tokens returned and skipped in the lexer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"
#include "sql_engine/sql_lexer_tables.h"

namespace {

class GeneralSqlLexer : public TkpLexer {
public:
  int32_t yylex() override { return ScanWith(SqlLexTables); }
};

struct Seen {
  std::vector<std::string> steps;  // token, text and positions per token
  std::string error;
};

Seen Scan(TkpLexer& lx, const std::string& text, size_t size, bool skip_layout) {
  Seen seen;
  lx.SkipLayout = skip_layout;
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
      seen.steps.push_back(std::to_string(t) + " " + std::to_string(lx.LineNo) + ":" + std::to_string(lx.ColNo) + " " +
                           std::to_string(lx.PushbackCount) + " " + lx.yylval);
      if (t == 0) break;
      if ((t < 257 || t > 386) || n > 2 * size + 2) std::abort();
    }
  } catch (const ESiftError& e) {
    seen.error = e.what();
  } catch (const EConvertError& e) {
    seen.error = e.what();
  }
  seen.steps.push_back(lx.OwnOutput.Text());
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const FormatSettings before = GetFormatSettings();
  ClockOverride clock(38021.5);  // NOW reads the same in both scans
  // Both loops, with blanks and comments returned and with them skipped in
  // the lexer as the parser has it.
  for (const bool skip : {false, true}) {
    TkpLexer fast;
    GeneralSqlLexer general;
    const Seen a = Scan(fast, text, size, skip);
    const Seen b = Scan(general, text, size, skip);
    if (a.steps != b.steps || a.error != b.error) std::abort();
  }
  // A failed date conversion must not leave the process settings changed.
  const FormatSettings& after = GetFormatSettings();
  if (after.ShortDateFormat != before.ShortDateFormat || after.DateSeparator != before.DateSeparator) std::abort();
  return 0;
}
