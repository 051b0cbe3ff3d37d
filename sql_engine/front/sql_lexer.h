// The SQL lexer.
//
// TkpLexer turns the text of an SQL statement into the tokens of
// sql_engine/front/sql_tokens.h for the SQL parser, on the runtime's scan loop over
// tables generated from resources/sql_lexer.l.  Each token's text is left in
// yylval for the parser.  Besides recognising tokens it translates three
// things the rest of the engine relies on:
//   - date literals #...# and the word NOW become day counts (the platform's
//     date-time number in general float form under the current decimal
//     separator);
//   - between WHERE and the next GROUP, ORDER, SELECT or PIVOT those day
//     counts are wrapped as "DummyDate(" ... ")", so that the WHERE text can
//     tell a date from a number;
//   - "||" becomes "+".
// Date literals are read under DateFormat (the order of day, month and year
// and the separator it uses); an empty DateFormat takes the process's short
// date format at the first date and keeps it.  A literal that is not a date
// raises EConvertError "'%s' is not a valid date".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sql_engine/front/lex_runtime.h"
#include "sql_engine/front/sql_tokens.h"

class TkpLexer : public TCustomLexer {
public:
  TkpLexer();

  int32_t yylex() override;

  // Keyword lookup, case-insensitive over the whole identifier.
  static bool IsKeyword(const std::string& text, int32_t& token);
  // The same answer found by walking the whole keyword list (the reference
  // the hashed lookup is checked against), and the list's names in order.
  static bool IsKeywordByScan(const std::string& text, int32_t& token);
  static std::vector<std::string> KeywordNames();
  // Writes "unexpected EOF inside comment at line <LineNo>" to the error
  // stream (kept for callers that report unterminated comments).
  void commenteof();

  bool WhereDates = false;
  std::string DateFormat;

protected:
  void yyaction(int32_t rule) override;
  bool yycontinues(int32_t rule) override;

private:
  void IdentifierAction();
  void DateAction();
  void HexAction();
  // The day count text of `dt`, wrapped while a WHERE clause is read.
  std::string DateText(double dt) const;
};
