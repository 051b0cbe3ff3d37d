// Text operands read as views (see text_operand.h).
#include "sql_engine/expr/text_operand.h"

#include <cstring>
#include <typeinfo>

#include "sql_engine/expr/data_nodes.h"
#include "sql_engine/expr/expr_nodes.h"

bool TTextOperand::Bind(TExpression* e) {
  node_ = e;
  literal_ = nullptr;
  field_ = nullptr;
  if (!e) return false;
  if (auto* s = dynamic_cast<TStringLiteral*>(e); s && typeid(*s) == typeid(TStringLiteral)) {
    literal_ = s;
    return true;
  }
  if (auto* f = dynamic_cast<TFieldExpr*>(e); f && typeid(*f) == typeid(TFieldExpr) && f->ReadsText()) {
    field_ = f;
    return true;
  }
  return false;
}

bool TTextOperand::Read(std::string_view& text) {
  if (literal_) {
    // A literal is null when empty, as every text without a null state.
    text = literal_->Value;
    return !text.empty();
  }
  bool null = true;
  field_->ReadText(buffer_, text, null);
  return !null;
}

int CompareTextBytes(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;  // memcmp compares unsigned bytes
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
