// The lexer of the expression language.
//
// TExprLexer turns an expression text into the tokens of expr_tokens below
// on the shared scanner runtime, with tables generated from
// resources/expr_lexer.l; each token's text is left in yylval.  Besides
// recognising tokens it converts:
//   - [Last Name] into the identifier between the brackets;
//   - $FF into the decimal text of the 32-bit value (a float token), or an
//     illegal character when the value does not fit;
//   - #12/31/2003# into the date-time number of that date, read as
//     month/day/year whatever the process's date format, printed as a float
//     token (a literal that is no date raises the platform's conversion
//     error);
//   - a string literal with a doubled quote inside into one literal, the
//     quotes still around it (the parser removes them and undoubles).
#pragma once

#include <cstdint>
#include <string>

#include "sql_engine/front/lex_runtime.h"

// Token numbers of the expression language.
// clang-format off
enum TExprToken : int32_t {
  etIdent = 257, etUInt = 258, etSInt = 259, etFloat = 260, etString = 261,
  etComma = 262, etLParen = 263, etRParen = 264, etDot = 265, etColon = 266,
  etOR = 267, etXOR = 268, etAND = 269, etEQ = 270, etNE = 271, etGT = 272, etLT = 273,
  etGE = 274, etLE = 275, etBETWEEN = 276, etIN = 277, etLIKE = 278, etPlus = 279,
  etMinus = 280, etSlash = 281, etDIV = 282, etStar = 283, etMOD = 284, etSHL = 285,
  etSHR = 286, etPower = 288, etNOT = 289, etIllegal = 290, etComment = 291,
  etBlank = 292, etTab = 293, etNewLine = 294, etTRUE = 295, etFALSE = 296,
  etSTRING = 297, etFLOAT = 298, etINTEGER = 299, etBOOLEAN = 300, etCASE = 301,
  etWHEN = 302, etTHEN = 303, etELSE = 304, etEND = 305, etIF = 306, etCAST = 307,
  etAS = 308, etESCAPE = 309
};
// clang-format on

class TExprLexer : public TCustomLexer {
public:
  TExprLexer() = default;
  int32_t yylex() override;

  // Keyword lookup, case-insensitive over the whole identifier.
  static bool IsKeyword(const std::string& text, int32_t& token);

protected:
  void yyaction(int32_t rule) override;
  bool yycontinues(int32_t rule) override;

private:
  void HexAction();
  void DateAction();
};
