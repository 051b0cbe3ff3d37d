// An operand of a text comparison, read per row as a view.
//
// A comparison of two texts reads both operands once per row.  Where an
// operand is a string literal or a plain text field, its type is fixed for
// the life of the tree and its text can be seen without building a string:
// the literal's own value, the field's bytes where the dataset keeps them
// (or read into a buffer kept from row to row).  `TTextOperand` decides that
// once and reads such operands as views; the relational node keeps its
// general reading for every other operand.
#pragma once

#include <string>
#include <string_view>

class TExpression;
class TFieldExpr;
class TStringLiteral;

class TTextOperand {
public:
  TTextOperand() = default;
  // Looks at `e` once: true when it is a string literal or a plain text
  // field (its reads below then match the general text read exactly).
  bool Bind(TExpression* e);
  TExpression* Node() const { return node_; }
  // The operand at the current row: false when it is null (what GetIsNull
  // gives for a field, an empty text for a literal); `text` is valid until
  // the next read or move of the dataset.
  bool Read(std::string_view& text);

private:
  TExpression* node_ = nullptr;
  TStringLiteral* literal_ = nullptr;
  TFieldExpr* field_ = nullptr;
  std::string buffer_;
};

// Byte-wise comparison of two texts as unsigned codes: <0, 0, >0.
int CompareTextBytes(std::string_view a, std::string_view b);
