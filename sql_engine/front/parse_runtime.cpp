// The LALR(1) driver shared by the SQL and the expression parser.
#include "sql_engine/front/parse_runtime.h"

#include "platform/exceptions.h"
#include "sql_engine/front/lex_runtime.h"

bool TCustomParser::FindAction(const TParseTables& t, int32_t state, int32_t symbol, int32_t& action) {
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

bool TCustomParser::FindGoto(const TParseTables& t, int32_t state, int32_t nonterminal, int32_t& target) {
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

TParseDenseTables::TParseDenseTables(const TParseTables& t) : source_(t) {
  const int32_t n = t.StateCount;
  if (n <= 0) return;
  // The columns: every terminal and nonterminal the slices name.
  for (int32_t k = 0; k < t.YYACount; ++k) {
    const int32_t sym = t.YYA[2 * k];
    if (sym != 0 && sym < 256) return;  // not a token: the rows have no column for it
    if (sym > maxToken_) maxToken_ = sym;
    if (t.YYA[2 * k + 1] == kNone) return;
  }
  for (int32_t k = 0; k < t.YYGCount; ++k) {
    const int32_t nt = t.YYG[2 * k];
    if (nt >= 0) return;  // not a nonterminal
    if (-nt > gotoCols_) gotoCols_ = -nt;
    if (t.YYG[2 * k + 1] == kNone) return;
  }
  actionCols_ = maxToken_ - 255 + 1;
  actionRow_.assign(static_cast<size_t>(n), -1);
  gotoRow_.assign(static_cast<size_t>(n), -1);
  for (int32_t s = 0; s < n; ++s) {
    // As the walk finds them: from the low end, stopping outside the table,
    // the first entry of a symbol winning.
    for (int32_t k = t.YYAL[s]; k <= t.YYAH[s]; ++k) {
      if (k < 1 || k > t.YYACount) break;
      const int32_t sym = t.YYA[2 * (k - 1)];
      const int32_t col = sym == 0 ? 0 : sym - 255;
      if (actionRow_[static_cast<size_t>(s)] < 0) {
        actionRow_[static_cast<size_t>(s)] = static_cast<int32_t>(actions_.size() / static_cast<size_t>(actionCols_));
        actions_.resize(actions_.size() + static_cast<size_t>(actionCols_), kNone);
      }
      int16_t& cell =
          actions_[static_cast<size_t>(actionRow_[static_cast<size_t>(s)]) * static_cast<size_t>(actionCols_) +
                   static_cast<size_t>(col)];
      if (cell == kNone) cell = t.YYA[2 * (k - 1) + 1];
    }
    for (int32_t k = t.YYGL[s]; k <= t.YYGH[s]; ++k) {
      if (k < 1 || k > t.YYGCount) break;
      const int32_t nt = t.YYG[2 * (k - 1)];
      if (gotoRow_[static_cast<size_t>(s)] < 0) {
        gotoRow_[static_cast<size_t>(s)] = static_cast<int32_t>(gotos_.size() / static_cast<size_t>(gotoCols_));
        gotos_.resize(gotos_.size() + static_cast<size_t>(gotoCols_), kNone);
      }
      int16_t& cell = gotos_[static_cast<size_t>(gotoRow_[static_cast<size_t>(s)]) * static_cast<size_t>(gotoCols_) +
                             static_cast<size_t>(-nt - 1)];
      if (cell == kNone) cell = t.YYG[2 * (k - 1) + 1];
    }
  }
  usable_ = true;
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
  LookaheadValue.Code = 0;
  LookaheadValue.Size = 0;
  if (Lexer) LookaheadValue.Text.swap(Lexer->yylval);
  else LookaheadValue.Text.clear();
  return token != IllegalToken;
}

int32_t TCustomParser::RunParse(const TParseDenseTables& d) {
  const TParseTables& t = d.Source();
  const bool dense = d.Usable();
  auto findAction = [&](int32_t state, int32_t symbol, int32_t& action) {
    return dense ? d.FindAction(state, symbol, action) : FindAction(t, state, symbol, action);
  };
  auto findGoto = [&](int32_t state, int32_t nonterminal, int32_t& target) {
    return dense ? d.FindGoto(state, nonterminal, target) : FindGoto(t, state, nonterminal, target);
  };
  StateStack.clear();
  ValueStack.clear();
  // Most statements stay shallow; the stacks grow as needed up to kMaxDepth.
  StateStack.reserve(kInitialDepth);
  ValueStack.reserve(kInitialDepth);
  int32_t state = 0;
  Lookahead = -1;
  ErrorCount = 0;
  RecoverCount = 0;
  yyval = TYYValue{};
  bool silentError = false;  // recovery asked for by an action: no new message

  // Where the value of the state about to be pushed is: in yyval, in the
  // lookahead just shifted, or already on the value stack (a reduction
  // leaves its value in the slot of its first symbol).  Values are moved
  // once, not passed along through yyval.
  enum class Value { InYYVal, InLookahead, InPlace };
  Value value = Value::InYYVal;
  enum class Step { Push, Next, Error };
  Step step = Step::Push;
  for (;;) {
    if (step == Step::Push) {
      if (static_cast<int32_t>(StateStack.size()) + 1 > kMaxDepth) {
        yyerror(DepthMessage());
        return 1;
      }
      StateStack.push_back(state);
      if (value == Value::InYYVal) {
        ValueStack.push_back(std::move(yyval));
        yyval = TYYValue{};
      } else if (value == Value::InLookahead) {
        ValueStack.push_back(std::move(LookaheadValue));
      }
      value = Value::InYYVal;
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
          if (!findAction(state, Lookahead, action)) {
            step = Step::Error;
            silentError = false;
          } else if (action > 0) {
            // Shift.
            state = action;
            Lookahead = -1;
            value = Value::InLookahead;
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
        yyval.Text.clear();
        yyval.Code = length > 0 ? Arg(1).Code : 0;
        yyval.Size = length > 0 ? Arg(1).Size : 0;
        TextSet = false;
        yyaction(rule);
        StateStack.resize(StateStack.size() - static_cast<size_t>(length));
        if (length > 0) {
          // The first symbol's slot becomes the production's: its text stays
          // unless the action set one.
          const size_t base = ValueStack.size() - static_cast<size_t>(length);
          TYYValue& slot = ValueStack[base];
          if (TextSet) slot.Text.swap(yyval.Text);
          slot.Code = yyval.Code;
          slot.Size = yyval.Size;
          ValueStack.resize(base + 1);
          yyval.Text.clear();
          yyval.Code = 0;
          yyval.Size = 0;
          value = Value::InPlace;
        }
        RuleLength = 0;
        int32_t target = 0;
        if (StateStack.empty() || !findGoto(StateStack.back(), lhs, target)) {
          // The generator checks that every goto exists; a table set that
          // breaks this is refused rather than followed.
          yyerror("syntax error");
          return 1;
        }
        state = target;
        switch (Flag) {
          case TYYFlag::yyfaccept: return 0;
          case TYYFlag::yyfabort: return 1;
          case TYYFlag::yyferror:
            // Recovery pushes the production's value with the error state.
            if (value == Value::InPlace) {
              yyval = std::move(ValueStack.back());
              ValueStack.pop_back();
              value = Value::InYYVal;
            }
            step = Step::Error;
            silentError = true;
            break;
          case TYYFlag::yyfnone: step = Step::Push; continue;
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
        if (findAction(StateStack.back(), kErrorToken, action) && action > 0) {
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
