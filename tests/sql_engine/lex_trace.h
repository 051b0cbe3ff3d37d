// What a scan leaves visible, token by token, for holding the lexers' fast
// scan loop against the general one.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/exceptions.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/front/sql_lexer.h"

namespace lex_trace {

// Everything a scan leaves visible, token by token.
struct Step {
  int32_t Token = 0;
  std::string Text;
  int32_t LineNo = 0, ColNo = 0, TextLen = 0, PushbackCount = 0;
  uint8_t LastChar = 0;
  std::string CurrentLine;
  bool operator==(const Step&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Step& s) {
  return os << s.Token << " '" << s.Text << "' line " << s.LineNo << " col " << s.ColNo << " len " << s.TextLen
            << " pending " << s.PushbackCount << " last " << int(s.LastChar);
}

struct Trace {
  std::vector<Step> Steps;
  std::string Error;  // what ended the scan, if an exception did
  std::string Output, ErrorStream;
  bool operator==(const Trace&) const = default;
};

template <class Lexer>
inline Trace Run(const std::string& text, const std::string& date_format = "m/d/yyyy", bool skip_layout = false) {
  Lexer lx;
  if constexpr (std::is_base_of_v<TkpLexer, Lexer>) lx.DateFormat = date_format;
  lx.SkipLayout = skip_layout;
  lx.SetInputText(text);
  Trace tr;
  try {
    for (size_t n = 0; n < 4 * text.size() + 8; ++n) {
      Step s;
      s.Token = lx.yylex();
      s.Text = lx.yylval;
      s.LineNo = lx.LineNo;
      s.ColNo = lx.ColNo;
      s.TextLen = lx.TextLen;
      s.PushbackCount = lx.PushbackCount;
      s.LastChar = lx.LastChar;
      s.CurrentLine = lx.CurrentLine;
      tr.Steps.push_back(s);
      if (s.Token == 0) break;
    }
    // A scan once ended stays ended.
    if (!tr.Steps.empty() && tr.Steps.back().Token == 0) {
      Step s;
      s.Token = lx.yylex();
      s.ColNo = lx.ColNo;
      tr.Steps.push_back(s);
    }
  } catch (const ESiftError& e) {
    tr.Error = std::string("sift: ") + e.what();
    // The scan must not pick up in the middle of the broken token.
    Step s;
    s.Token = lx.yylex();
    s.Text = lx.yylval;
    s.ColNo = lx.ColNo;
    tr.Steps.push_back(s);
  } catch (const EConvertError& e) {
    tr.Error = std::string("convert: ") + e.what();
  }
  tr.Output = lx.OwnOutput.Text();
  tr.ErrorStream = lx.OwnError.Text();
  return tr;
}

}  // namespace lex_trace
