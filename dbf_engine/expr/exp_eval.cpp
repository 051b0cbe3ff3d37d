// Evaluation of compiled expressions: literals, groups, names, calls and the
// operators, the wildcard text compare and the handler's entry points.
//
// An operator evaluates its right operand first, then its left one.  Both
// sides must have the same type, except that numbers and dates mix.  Texts
// compare without trailing blanks; with the partial-compare flag a right side
// that starts or ends with the many-wildcard is a pattern.
//
// Fast paths (switchable for tests, same results): text compares read their
// operands in place (fields as views of the record image, literals prepared
// once per compare setting) instead of copying and trimming them, and a
// text field or UPPER(field) compared with a literal, and AND / OR of such
// compares, evaluate straight to a boolean.
#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/expr/value_buffer.h"

namespace {

[[noreturn]] void Invalid(const char* what) { cvRaiseExpression(cvErrArgInvalid, {what}); }

bool IsDateType(TcvExpResultType t) { return t == rtDate || t == rtDateTime; }

// Longest text an operator builds; keeps a chain of concatenations of large
// texts from eating the memory.
constexpr size_t kMaxText = 1 << 20;

void CheckLength(size_t n, uint8_t opcode) {
  if (n > kMaxText) cvRaiseExpression(cvErrArgRange, {cvExpOperatorText(opcode), "at most 1048576 characters long"});
}

std::string_view TextOf(const TcvExpValue& v) {
  return v.kind == TcvExpValue::Kind::Text ? std::string_view(v.text) : std::string_view();
}

int Sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

void cvExpTrimRight(std::string& s) {
  size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  s.resize(e);
}

// Upper case of OEM text: through the ANSI code page and back, so letters
// that share a byte value with another letter in the other code page keep
// their identity.
void FoldUpper(std::string& s, bool oem) {
  if (oem) {
    s = kvSysAnsiToOem(cvExpUpper(kvSysOemToAnsi(s)));
  } else {
    s = cvExpUpper(s);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Leaves

void TcvExpBaseObject::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  value.SetNull();
  type = rtUnknown;
}

bool TcvExpBaseObject::ExpTextView(std::string_view&) { return false; }

bool TcvExpContainer::ExpTextView(std::string_view& text) { return Right && Right->ExpTextView(text); }

bool TcvExpTextLit::ExpTextView(std::string_view& text) {
  text = text_;
  return true;
}

bool TcvExpFieldvar::ExpTextView(std::string_view& text) { return link_->FieldVarText(text); }

void TcvExpContainer::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  if (!Right) {
    value.SetNull();
    type = rtEmpty;
    return;
  }
  Right->ExpParse(value, type);
}

void TcvExpFunction::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  type = rtEmpty;
  function_->FunctionResult(*this, value, type);
  ResultType = type;
}

void TcvExpFieldvar::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  std::string_view text;
  if (cvExpFastPaths() && link_->FieldVarText(text)) {
    value.SetText(text);
    type = rtText;
    return;
  }
  type = rtEmpty;
  link_->FieldVarResult(value, type);
}

void TcvExpTextLit::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  value.SetText(text_);
  type = rtText;
}

void TcvExpNumLit::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  value.SetFloat(value_);
  type = rtFloat;
}

void TcvExpDateLit::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  value.SetFloat(day_);
  type = rtDate;
}

void TcvExpBlnLit::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  value.SetBoolean(value_);
  type = rtBoolean;
}

void TcvExpFunction::FetchArg(int index, TcvExpValue& value, TcvExpResultType wanted, TcvExpResultType& got) {
  got = rtUnknown;
  if (index >= 0 && index < ArgCount()) {
    args_[static_cast<size_t>(index)]->ExpParse(value, got);
  } else {
    got = rtEmpty;
  }
  if (wanted == rtAny || got == wanted || (cvIsNumericType(got) && cvIsNumericType(wanted))) return;
  cvRaiseExpression(cvErrArgValueNeeded, {cvResultTypeName(wanted), index + 1, name_});
}

// ---------------------------------------------------------------------------
// Operators

int TcvExpOperator::StrWCComp(const TcvExpValue& left, const TcvExpValue& right) {
  const bool leftEmpty = left.kind != TcvExpValue::Kind::Text || left.text.empty();
  const bool rightEmpty = right.kind != TcvExpValue::Kind::Text || right.text.empty();
  if (leftEmpty || rightEmpty) return leftEmpty == rightEmpty ? 0 : (leftEmpty ? -1 : 1);

  foldL_.assign(left.text);
  foldR_.assign(right.text);
  cvExpTrimRight(foldL_);
  cvExpTrimRight(foldR_);
  if (CaseInsensitive) {
    const bool oem = handler_.UserLink && handler_.UserLink->OemText;
    FoldUpper(foldL_, oem);
    FoldUpper(foldR_, oem);
  }
  if (PartialCompare && !foldR_.empty() && (foldR_.front() == ManyWild || foldR_.back() == ManyWild)) {
    if (ManyWild != '*' || OneWild != '?') {
      for (char& c : foldR_) {
        if (c == ManyWild) c = '*';
        else if (c == OneWild) c = '?';
      }
    }
    return cvStrPosWild(foldR_, foldL_) > 0 ? 0 : -1;
  }
  // Equal bytes are equal in every collation; only differing texts need the
  // locale's order.
  if (foldL_ == foldR_) return 0;
  const int c = cvStrCompare(foldL_, foldR_);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int TcvExpOperator::CompareViews(std::string_view left, bool leftEmpty, std::string_view right, bool rightEmpty,
                                 bool ordered) {
  if (leftEmpty || rightEmpty) return leftEmpty == rightEmpty ? 0 : (leftEmpty ? -1 : 1);
  left = cvExpTrimRight(left);
  right = cvExpTrimRight(right);
  bool rightInBuffer = false;
  if (CaseInsensitive) {
    const unsigned char* upper = cvExpUpperTable(handler_.UserLink && handler_.UserLink->OemText);
    left = cvExpFoldInto(foldL_, left, upper);
    right = cvExpFoldInto(foldR_, right, upper);
    rightInBuffer = true;
  }
  if (PartialCompare && !right.empty() && (right.front() == ManyWild || right.back() == ManyWild)) {
    if (ManyWild != '*' || OneWild != '?') {
      if (!rightInBuffer) foldR_.assign(right.data(), right.size());
      for (char& c : foldR_) {
        if (c == ManyWild) c = '*';
        else if (c == OneWild) c = '?';
      }
      right = foldR_;
    }
    return cvStrPosWild(right, left) > 0 ? 0 : -1;
  }
  // Texts compare equal only when they are the same bytes, so = and <> need
  // no collation.
  if (left == right) return 0;
  return ordered ? Sign(cvStrCompare(left, right)) : 1;
}

inline uint32_t TcvExpOperator::SettingsKey() const {
  const bool oem = CaseInsensitive && handler_.UserLink && handler_.UserLink->OemText;
  return (CaseInsensitive ? 1u : 0u) | (PartialCompare ? 2u : 0u) | (oem ? 4u : 0u) |
         (static_cast<uint32_t>(static_cast<unsigned char>(ManyWild)) << 8) |
         (static_cast<uint32_t>(static_cast<unsigned char>(OneWild)) << 16);
}

const TcvExpOperator::ConstantSide& TcvExpOperator::Constant(std::string_view literal) {
  ConstantSide& k = constant_;
  const uint32_t key = SettingsKey();
  if (k.ready && k.key == key) return k;
  k.key = key;
  const bool oem = CaseInsensitive && handler_.UserLink && handler_.UserLink->OemText;
  k.caseInsensitive = CaseInsensitive;
  k.partialCompare = PartialCompare;
  k.oem = oem;
  k.manyWild = ManyWild;
  k.oneWild = OneWild;
  k.empty = literal.empty();
  k.padded.clear();
  const std::string_view trimmed = cvExpTrimRight(literal);
  if (CaseInsensitive) {
    cvExpFoldInto(k.text, trimmed, cvExpUpperTable(oem));
  } else {
    k.text.assign(trimmed.data(), trimmed.size());
  }
  k.pattern = PartialCompare && !k.text.empty() && (k.text.front() == ManyWild || k.text.back() == ManyWild);
  if (k.pattern && (ManyWild != '*' || OneWild != '?')) {
    for (char& c : k.text) {
      if (c == ManyWild) c = '*';
      else if (c == OneWild) c = '?';
    }
  }
  k.ready = true;
  return k;
}

int TcvExpOperator::CompareWithConstant(std::string_view left, bool leftEmpty, const ConstantSide& right,
                                        bool ordered) {
  if (leftEmpty || right.empty) return leftEmpty == right.empty ? 0 : (leftEmpty ? -1 : 1);
  left = cvExpTrimRight(left);
  if (right.caseInsensitive) left = cvExpFoldInto(foldL_, left, cvExpUpperTable(right.oem));
  if (right.pattern) return cvStrPosWild(right.text, left) > 0 ? 0 : -1;
  if (left == std::string_view(right.text)) return 0;
  return ordered ? Sign(cvStrCompare(left, right.text)) : 1;
}

bool TcvExpOperator::CompareInPlace(TcvExpValue& value, TcvExpResultType& rt, TcvExpResultType& type) {
  // The right side first, then the left, as the general path does.
  std::string_view right, left;
  bool rightEmpty, leftEmpty;
  const bool constant = Right->Kind == etTextLit;
  if (Right->ExpTextView(right)) {
    rt = rtText;
    rightEmpty = right.empty();
  } else {
    Right->ExpParse(value, rt);
    if (rt != rtText) return false;
    right = TextOf(value);
    rightEmpty = right.empty();
  }
  if (Left->ExpTextView(left)) {
    leftEmpty = left.empty();
  } else {
    TcvExpResultType lt = rtEmpty;
    Left->ExpParse(scratch_, lt);
    if (lt != rtText) cvRaiseExpression(cvErrOpConflict);
    left = TextOf(scratch_);
    leftEmpty = left.empty();
  }
  const bool ordered = Opcode != opEqual && Opcode != opNotEqual;
  const int c = constant ? CompareWithConstant(left, leftEmpty, Constant(right), ordered)
                         : CompareViews(left, leftEmpty, right, rightEmpty, ordered);
  bool result = false;
  switch (Opcode) {
    case opEqual: result = c == 0; break;
    case opNotEqual: result = c != 0; break;
    case opGreater: result = c > 0; break;
    case opLess: result = c < 0; break;
    case opGreaterEq: result = c >= 0; break;
    default: result = c <= 0; break;
  }
  value.SetBoolean(result);
  type = rtBoolean;
  return true;
}

namespace {

// Equality of two byte runs of the same length.  Field widths are small,
// and a call into the library's memcmp costs more than the compare itself.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    if (x != y) return false;
    a += 4, b += 4, n -= 4;
  }
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return false;
  return true;
}

// A number literal that LEFT or SUBSTR takes as it stands: a whole number
// from 1 to 65535 (what a field can hold); 0 when it is anything else.
int32_t PlainCount(TcvExpBaseObject* node) {
  auto* n = dynamic_cast<TcvExpNumLit*>(cvExpUnwrapped(node));
  if (!n) return 0;
  const double v = n->Value();
  return v >= 1 && v <= 65535 && v == static_cast<double>(static_cast<int32_t>(v)) ? static_cast<int32_t>(v) : 0;
}

bool IsCallOf(TcvExpFunction* call, const char* name) {
  return call && call->Function() && call->Function() == cvGlobalFunctions().Find(name);
}

}  // namespace

void TcvExpOperator::MakePlan() {
  plan_ = Plan::General;
  if (!Left || !Right) return;
  if (Opcode >= opEqual && Opcode <= opLessEq) {
    // The text side: a field, UPPER(x), LEFT(x, n) or SUBSTR(x, s[, n]) with
    // x a field or one of these calls; the calls' results are texts.
    auto fieldSide = [this](TcvExpBaseObject* node) -> TcvExpFieldvar* {
      bool upper = false;
      int32_t from = 0, count = -1;
      std::vector<TcvExpFunction*> calls;
      for (int depth = 0; depth < 4; ++depth) {
        node = cvExpUnwrapped(node);
        if (auto* field = dynamic_cast<TcvExpFieldvar*>(node)) {
          std::string_view probe;
          if (!field->Link() || !field->Link()->FieldVarText(probe)) return nullptr;
          planUpper_ = upper;
          planFrom_ = from;
          planCount_ = count;
          for (TcvExpFunction* c : calls) c->ResultType = rtText;
          return field;
        }
        auto* call = dynamic_cast<TcvExpFunction*>(node);
        if (!call) return nullptr;
        calls.push_back(call);
        if (IsCallOf(call, "UPPER") && call->ArgCount() == 1) {
          // Upper-casing a part is the same as taking the part of the
          // upper-cased text, so its place among the calls does not matter.
          upper = true;
        } else if (IsCallOf(call, "LEFT") && call->ArgCount() == 2 && count < 0 && from == 0) {
          // Only an outermost part: a part of a part would need both.
          count = PlainCount(call->Arg(1));
          if (count == 0) return nullptr;
        } else if (IsCallOf(call, "SUBSTR") && (call->ArgCount() == 2 || call->ArgCount() == 3) && count < 0 &&
                   from == 0) {
          const int32_t start = PlainCount(call->Arg(1));
          if (start == 0) return nullptr;
          if (call->ArgCount() == 3) {
            count = PlainCount(call->Arg(2));
            if (count == 0) return nullptr;
          }
          from = start - 1;
        } else {
          return nullptr;
        }
        node = call->Arg(0);
      }
      return nullptr;
    };
    auto* literal = dynamic_cast<TcvExpTextLit*>(cvExpUnwrapped(Right.get()));
    TcvExpFieldvar* field = nullptr;
    if (literal && literal->ExpTextView(planLiteral_)) {
      field = fieldSide(Left.get());
      planMirrored_ = false;
    } else {
      literal = dynamic_cast<TcvExpTextLit*>(cvExpUnwrapped(Left.get()));
      if (literal && literal->ExpTextView(planLiteral_)) {
        field = fieldSide(Right.get());
        planMirrored_ = true;
      }
    }
    if (field) {
      planField_ = field;
      plan_ = Plan::FieldConstant;
      const bool wild = planLiteral_.find_first_of("*?%_") != std::string_view::npos;
      planCost_ = static_cast<uint16_t>(1 + (planUpper_ ? 2 : 0) + (wild ? 2 : 0) + (planMirrored_ ? 1 : 0));
    }
    return;
  }
  if (Opcode == opAnd || Opcode == opOr) {
    auto* left = dynamic_cast<TcvExpOperator*>(cvExpUnwrapped(Left.get()));
    auto* right = dynamic_cast<TcvExpOperator*>(cvExpUnwrapped(Right.get()));
    if (!left || !right) return;
    if (left->plan_ == Plan::Unknown) left->MakePlan();
    if (right->plan_ == Plan::Unknown) right->MakePlan();
    if (left->plan_ == Plan::General || right->plan_ == Plan::General) return;
    planLeft_ = left;
    planRight_ = right;
    planCost_ = static_cast<uint16_t>(std::min(1000, left->planCost_ + right->planCost_));
    planLeftFirst_ = left->planCost_ < right->planCost_;
    plan_ = Plan::Logical;
  }
}

bool TcvExpOperator::PlanFieldText(std::string_view& text) {
  if (!planField_->Link()->FieldVarText(text)) return false;
  if (planFrom_ > 0 || planCount_ >= 0) {
    // As LEFT and SUBSTR cut the text: nothing when the start lies beyond it.
    const size_t from = static_cast<size_t>(planFrom_);
    text = from >= text.size()
               ? std::string_view()
               : text.substr(from, planCount_ < 0 ? std::string_view::npos : static_cast<size_t>(planCount_));
  }
  if (planUpper_) text = cvExpFoldInto(foldU_, text, cvExpUpperTable(handler_.UserLink && handler_.UserLink->OemText));
  return true;
}

bool TcvExpOperator::FastBool(bool& result) {
  if (plan_ == Plan::FieldConstant && planMirrored_) {
    // The literal on the left: a field that ends or starts with the
    // many-wildcard would be the pattern, and ordered compares and caseless
    // ones go the general way; equality of plain texts is the same either
    // way round.
    if (Opcode != opEqual && Opcode != opNotEqual) return false;
    std::string_view right;
    if (!PlanFieldText(right)) return false;
    const ConstantSide& k = Constant(planLiteral_);
    if (k.caseInsensitive || k.pattern) return false;
    if (k.empty || right.empty()) {
      result = (k.empty == right.empty()) == (Opcode == opEqual);
      return true;
    }
    bool equal = false;
    if (k.text.size() <= right.size()) {
      if (k.padded.size() != right.size()) {
        constant_.padded.assign(k.text);
        constant_.padded.resize(right.size(), ' ');
      }
      equal = SameBytes(right.data(), k.padded.data(), right.size());
    }
    if (!equal && PartialCompare) {
      const std::string_view trimmed = cvExpTrimRight(right);
      if (!trimmed.empty() && (trimmed.front() == ManyWild || trimmed.back() == ManyWild)) return false;
    }
    result = equal == (Opcode == opEqual);
    return true;
  }
  if (plan_ == Plan::FieldConstant) {
    std::string_view left;
    if (!PlanFieldText(left)) return false;
    const ConstantSide& k = Constant(planLiteral_);
    if ((Opcode == opEqual || Opcode == opNotEqual) && !k.caseInsensitive && !k.pattern && !k.empty && !left.empty()) {
      // The field's trimmed text equals the constant exactly when the whole
      // field equals the constant padded with blanks to the field's length.
      bool equal = false;
      if (k.text.size() <= left.size()) {
        if (k.padded.size() != left.size()) {
          constant_.padded.assign(k.text);
          constant_.padded.resize(left.size(), ' ');
        }
        equal = SameBytes(left.data(), k.padded.data(), left.size());
      }
      result = equal == (Opcode == opEqual);
      return true;
    }
    const int c = CompareWithConstant(left, left.empty(), k, Opcode != opEqual && Opcode != opNotEqual);
    switch (Opcode) {
      case opEqual: result = c == 0; break;
      case opNotEqual: result = c != 0; break;
      case opGreater: result = c > 0; break;
      case opLess: result = c < 0; break;
      case opGreaterEq: result = c >= 0; break;
      default: result = c <= 0; break;
    }
    return true;
  }
  if (plan_ == Plan::Logical) {
    // Both sides are reads of a field against a literal: neither can raise
    // nor change anything, so the order they are read in cannot change the
    // result.  The cheaper one goes first (the right one when they cost the
    // same, the general order), and the other is skipped when it cannot
    // change the result.
    TcvExpOperator* first = planLeftFirst_ ? planLeft_ : planRight_;
    TcvExpOperator* second = planLeftFirst_ ? planRight_ : planLeft_;
    bool a = false, b = false;
    if (!first->FastBool(a)) return false;
    if (Opcode == opAnd ? !a : a) {
      result = a;
      return true;
    }
    if (!second->FastBool(b)) return false;
    result = b;
    return true;
  }
  return false;
}

void TcvExpOperator::ExpParse(TcvExpValue& value, TcvExpResultType& type) {
  if (!Right || (!Left && Opcode != opNot)) cvRaiseExpression(cvErrMissingSide, {cvExpOperatorText(Opcode)});

  TcvExpResultType rt = rtEmpty;
  if (cvExpFastPaths()) {
    if (plan_ == Plan::Unknown) MakePlan();
    bool result;
    if (plan_ != Plan::General && FastBool(result)) {
      value.SetBoolean(result);
      type = rtBoolean;
      return;
    }
  }
  if (Opcode >= opEqual && Opcode <= opLessEq && cvExpFastPaths()) {
    if (CompareInPlace(value, rt, type)) return;
  } else {
    Right->ExpParse(value, rt);  // the right side is evaluated in place
  }
  Finish(value, rt, type);
}

void TcvExpOperator::Finish(TcvExpValue& value, TcvExpResultType rt, TcvExpResultType& type) {
  TcvExpResultType lt = rtEmpty;
  TcvExpValue& r = value;
  TcvExpValue& l = scratch_;
  if (Left) {
    Left->ExpParse(l, lt);
  } else {
    lt = rt;
  }
  type = rt;

  if (Opcode == opNot) {
    if (rt != rtBoolean) Invalid("boolean");
    value.SetBoolean(!r.AsBoolean());
    type = rtBoolean;
    return;
  }
  const bool numeric = cvIsNumericType(lt) && cvIsNumericType(rt);
  if (lt != rt && !numeric) cvRaiseExpression(cvErrOpConflict);

  const bool comparison = Opcode >= opEqual && Opcode <= opExactEqual;
  if (comparison || Opcode == opAnd || Opcode == opOr) type = rtBoolean;

  if (rt == rtBoolean) {
    const bool a = l.AsBoolean(), b = r.AsBoolean();
    switch (Opcode) {
      case opEqual:
      case opExactEqual: value.SetBoolean(a == b); return;
      case opNotEqual: value.SetBoolean(a != b); return;
      case opAnd: value.SetBoolean(a && b); return;
      case opOr: value.SetBoolean(a || b); return;
      case opAdd:
      case opSubtract:
      case opMultiply:
      case opDivide:
      case opPower: Invalid("number");
      default: Invalid("assigned");
    }
  }

  if (numeric) {
    const double a = l.AsFloat(), b = r.AsFloat();
    switch (Opcode) {
      case opEqual:
      case opExactEqual: value.SetBoolean(a == b); return;
      case opNotEqual: value.SetBoolean(a != b); return;
      case opGreater: value.SetBoolean(a > b); return;
      case opLess: value.SetBoolean(a < b); return;
      case opGreaterEq: value.SetBoolean(a >= b); return;
      case opLessEq: value.SetBoolean(a <= b); return;
      case opAdd:
        // A date plus days is a date, whichever side the date is on; two
        // dates add up to a plain number.
        value.SetFloat(a + b);
        if (IsDateType(lt) && !IsDateType(rt)) type = lt;
        else if (IsDateType(rt) && !IsDateType(lt)) type = rt;
        else type = (lt == rt && !IsDateType(lt)) ? lt : rtFloat;
        return;
      case opSubtract:
        // A date minus days is a date; a date minus a date is days.
        value.SetFloat(a - b);
        if (IsDateType(lt) && !IsDateType(rt)) type = lt;
        else type = (lt == rt && !IsDateType(lt)) ? lt : rtFloat;
        return;
      case opMultiply:
        value.SetFloat(a * b);
        type = rtFloat;
        return;
      case opDivide:
        if (b == 0) throw EZeroDivide("Floating point division by zero");
        value.SetFloat(a / b);
        type = rtFloat;
        return;
      case opPower: {
        const double p = std::pow(a, b);
        if (std::isnan(p)) throw EInvalidOp("Invalid floating point operation");
        value.SetFloat(p);
        type = rtFloat;
        return;
      }
      default: Invalid("assigned");
    }
  }

  if (rt == rtText) {
    switch (Opcode) {
      case opEqual: value.SetBoolean(StrWCComp(l, r) == 0); return;
      case opNotEqual: value.SetBoolean(StrWCComp(l, r) != 0); return;
      case opGreater: value.SetBoolean(StrWCComp(l, r) > 0); return;
      case opLess: value.SetBoolean(StrWCComp(l, r) < 0); return;
      case opGreaterEq: value.SetBoolean(StrWCComp(l, r) >= 0); return;
      case opLessEq: value.SetBoolean(StrWCComp(l, r) <= 0); return;
      case opExactEqual: {
        const std::string_view a = l.kind == TcvExpValue::Kind::Text ? std::string_view(l.text) : std::string_view();
        const std::string_view b = r.kind == TcvExpValue::Kind::Text ? std::string_view(r.text) : std::string_view();
        value.SetBoolean(a == b);
        return;
      }
      case opContains: {
        const bool found = l.kind == TcvExpValue::Kind::Text && r.kind == TcvExpValue::Kind::Text && !l.text.empty() &&
                           r.text.find(l.text) != std::string::npos;
        value.SetBoolean(found);
        return;
      }
      case opAdd: {
        if (r.kind != TcvExpValue::Kind::Text) r.SetText("");
        if (l.kind == TcvExpValue::Kind::Text) {
          CheckLength(l.text.size() + r.text.size(), Opcode);
          r.text.insert(0, l.text);
        }
        type = rtText;
        return;
      }
      case opSubtract: {
        if (r.kind != TcvExpValue::Kind::Text) r.SetText("");
        std::string& lt_text = l.text;
        if (l.kind != TcvExpValue::Kind::Text) lt_text.clear();
        const size_t total = lt_text.size() + r.text.size();
        CheckLength(total, Opcode);
        size_t e = lt_text.size();
        while (e > 0 && lt_text[e - 1] == ' ') --e;
        r.text.insert(0, lt_text, 0, e);
        r.text.resize(total, ' ');
        type = rtText;
        return;
      }
      default: Invalid("assigned");
    }
  }

  // Operands without a value (empty groups, memo and other raw values):
  // a comparison or a logical operation is false, anything else no value.
  if (type == rtBoolean) {
    value.SetBoolean(false);
  } else {
    value.SetNull();
  }
}

// ---------------------------------------------------------------------------
// Handler entry points

void TcvExpHandler::ExpressionResult(TcvExpValue& value) {
  Status = 0;
  if (!root_) {
    value.SetText("");
    resultType_ = rtUnknown;
    return;
  }
  resultType_ = rtEmpty;
  root_->ExpParse(value, resultType_);
}

bool TcvExpHandler::ExpressionTextView(std::string_view& text) {
  Status = 0;
  if (!root_ || !cvExpFastPaths() || !root_->ExpTextView(text)) return false;
  resultType_ = rtText;
  return true;
}

bool TcvExpHandler::ExpressionAsVariant(TcvVariant& buffer) {
  Status = 0;
  if (!root_) {
    buffer.PutString("");
    resultType_ = rtUnknown;
    return false;
  }
  resultType_ = rtEmpty;
  root_->ExpParse(scratch_, resultType_);
  if (!scratch_.IsNull()) {
    switch (resultType_) {
      case rtText: buffer.PutString(scratch_.AsText()); return true;
      case rtFloat:
      case rtDateTime: buffer.PutFloat(scratch_.AsFloat()); return true;
      case rtDate: {
        const double d = std::trunc(scratch_.AsFloat());
        if (d >= INT32_MIN && d <= INT32_MAX) {
          buffer.PutDate(static_cast<int32_t>(d));
          return true;
        }
        break;
      }
      case rtBoolean: buffer.PutBoolean(scratch_.AsBoolean()); return true;
      default: break;
    }
  }
  // No storable value: never leave the previous key in the buffer.
  buffer.Clear();
  resultType_ = rtUnknown;
  return false;
}
