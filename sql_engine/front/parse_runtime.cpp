// The LALR(1) driver shared by the SQL and the expression parser.
#include "sql_engine/front/parse_runtime.h"

#include "platform/exceptions.h"
#include "sql_engine/front/lex_runtime.h"

bool TCustomParser::FindAction(const TParseTables& t, int32_t state, int32_t symbol,
                               int32_t& action) {
  if (state < 0 || state >= t.StateCount) return false;
  for (int32_t k = t.YYAL[state]; k <= t.YYAH[state]; ++k) {
    if (k < 1 || k > t.YYACount) return false;
    if (t.YYA[2 * (k - 1)] == symbol) {
      action = t.YYA[2 * (k - 1) + 1];
      return true;
    }
  }
  return false;
}

bool TCustomParser::FindGoto(const TParseTables& t, int32_t state, int32_t nonterminal,
                             int32_t& target) {
  if (state < 0 || state >= t.StateCount) return false;
  for (int32_t k = t.YYGL[state]; k <= t.YYGH[state]; ++k) {
    if (k < 1 || k > t.YYGCount) return false;
    if (t.YYG[2 * (k - 1)] == nonterminal) {
      target = t.YYG[2 * (k - 1) + 1];
      return true;
    }
  }
  return false;
}

std::string TCustomParser::DepthMessage() { return FormatMessage(kDepthMessage, {kMaxDepth}); }

std::string TCustomParser::TakeArgText(int32_t i) {
  const size_t base = ValueStack.size() - static_cast<size_t>(RuleLength);
  return std::move(ValueStack[base + static_cast<size_t>(i) - 1].Text);
}

const TYYValue& TCustomParser::Arg(int32_t i) const {
  // The right-hand side occupies the top RuleLength entries of the stack.
  const size_t base = ValueStack.size() - static_cast<size_t>(RuleLength);
  return ValueStack[base + static_cast<size_t>(i) - 1];
}

// Reads the next token that is not skipped text; its value is taken from
// the lexer at once (moved: the lexer overwrites it with the next token and
// nothing reads it in between).  False when the token is not allowed
// (IllegalToken).
bool TCustomParser::ReadToken() {
  int32_t token;
  do {
    token = Lexer ? Lexer->yylex() : 0;
  } while (token >= SkipLow && token <= SkipHigh);
  if (token < 0) token = 0;
  Lookahead = token;
  LookaheadValue = TYYValue{};
  if (Lexer) LookaheadValue.Text.swap(Lexer->yylval);
  return token != IllegalToken;
}

int32_t TCustomParser::RunParse(const TParseTables& t) {
  StateStack.clear();
  ValueStack.clear();
  StateStack.reserve(kMaxDepth);
  ValueStack.reserve(kMaxDepth);
  int32_t state = 0;
  Lookahead = -1;
  ErrorCount = 0;
  RecoverCount = 0;
  yyval = TYYValue{};
  bool silentError = false;  // recovery asked for by an action: no new message

  enum class Step { Push, Next, Error };
  Step step = Step::Push;
  for (;;) {
    if (step == Step::Push) {
      if (static_cast<int32_t>(StateStack.size()) + 1 > kMaxDepth) {
        yyerror(DepthMessage());
        return 1;
      }
      StateStack.push_back(state);
      ValueStack.push_back(std::move(yyval));
      yyval = TYYValue{};
      step = Step::Next;
    }

    if (step == Step::Next) {
      const int32_t defaultRule = (state >= 0 && state < t.StateCount) ? -t.YYD[state] : 0;
      if (defaultRule == 0 && Lookahead == -1) {
        if (!ReadToken()) {
          step = Step::Error;
          silentError = false;
        }
      }
      int32_t rule = 0;
      if (step == Step::Next) {
        if (defaultRule != 0) {
          rule = defaultRule;
        } else {
          int32_t action = 0;
          if (!FindAction(t, state, Lookahead, action)) {
            step = Step::Error;
            silentError = false;
          } else if (action > 0) {
            // Shift.
            state = action;
            Lookahead = -1;
            yyval = std::move(LookaheadValue);
            LookaheadValue = TYYValue{};
            if (RecoverCount > 0) --RecoverCount;
            step = Step::Push;
            continue;
          } else if (action == 0) {
            return 0;
          } else {
            rule = -action;
          }
        }
      }
      if (step == Step::Next) {
        // Reduce by `rule`.
        if (rule < 1 || rule > t.RuleCount) {
          yyerror("syntax error");
          return 1;
        }
        const int32_t length = t.YYR[2 * (rule - 1)];
        const int32_t lhs = t.YYR[2 * (rule - 1) + 1];
        if (length < 0 || static_cast<size_t>(length) >= StateStack.size() + 1 ||
            static_cast<size_t>(length) > ValueStack.size()) {
          yyerror("syntax error");
          return 1;
        }
        Flag = TYYFlag::yyfnone;
        RuleLength = length;
        yyval = TYYValue{};
        if (length > 0) {
          yyval.Code = Arg(1).Code;
          yyval.Size = Arg(1).Size;
        }
        TextSet = false;
        yyaction(rule);
        if (!TextSet && length > 0) yyval.Text = TakeArgText(1);
        StateStack.resize(StateStack.size() - static_cast<size_t>(length));
        ValueStack.resize(ValueStack.size() - static_cast<size_t>(length));
        RuleLength = 0;
        int32_t target = 0;
        if (StateStack.empty() || !FindGoto(t, StateStack.back(), lhs, target)) {
          // The generator checks that every goto exists; a table set that
          // breaks this is refused rather than followed.
          yyerror("syntax error");
          return 1;
        }
        state = target;
        switch (Flag) {
          case TYYFlag::yyfaccept:
            return 0;
          case TYYFlag::yyfabort:
            return 1;
          case TYYFlag::yyferror:
            step = Step::Error;
            silentError = true;
            break;
          case TYYFlag::yyfnone:
            step = Step::Push;
            continue;
        }
      }
    }

    // Error and recovery.
    if (!silentError && RecoverCount == 0) yyerror("syntax error");
    silentError = false;
    if (RecoverCount == 0) ++ErrorCount;
    if (RecoverCount < 3) {
      RecoverCount = 3;
      bool found = false;
      while (!StateStack.empty()) {
        int32_t action = 0;
        if (FindAction(t, StateStack.back(), kErrorToken, action) && action > 0) {
          state = action;
          found = true;
          break;
        }
        StateStack.pop_back();
        ValueStack.pop_back();
      }
      if (!found) return 1;
      step = Step::Push;
    } else {
      if (Lookahead == 0) return 1;
      Lookahead = -1;
      step = Step::Next;
    }
  }
}
