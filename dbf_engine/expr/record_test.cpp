// The flat record test of a filter scan (see record_test.h).

#include "dbf_engine/expr/record_test.h"

#include <algorithm>
#include <cstring>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"

namespace {

int Sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

// The operator applied to a three-way compare.
bool Apply(uint8_t opcode, int c) {
  switch (opcode) {
    case opEqual: return c == 0;
    case opNotEqual: return c != 0;
    case opGreater: return c > 0;
    case opLess: return c < 0;
    case opGreaterEq: return c >= 0;
    default: return c <= 0;
  }
}

// A case table under which trimming blanks and changing case may be done in
// either order: the blank stays a blank and nothing else becomes one.  The
// locale's tables are such; the byte-wise shortcuts rest on it.
bool KeepsBlanks(const unsigned char* table) {
  if (!table) return true;
  for (int c = 0; c < 256; ++c)
    if ((table[c] == ' ') != (c == ' ')) return false;
  return true;
}

}  // namespace

bool TcvRecordTest::Compile(TcvExpHandler& handler, const uint8_t* image, size_t length) {
  quick_ = Quick();
  nodes_.clear();
  leaves_.clear();
  program_.clear();
  if (!cvExpFastPaths() || !image || length == 0 || length > UINT32_MAX) return false;
  auto* op = dynamic_cast<TcvExpOperator*>(cvExpUnwrapped(handler.root_.get()));
  int top = -1;
  if (!op || !Build(op, image, length, top)) {
    nodes_.clear();
    leaves_.clear();
    return false;
  }
  program_.resize(leaves_.size());
  Emit(top, 0, kAccept, kReject);
  quick_ = Quick();
  const Step& first = program_[0];
  if (first.onFalse == kReject && first.inline_ == Inline::Word) {
    quick_.kind = 1;
  } else if (first.onFalse == kReject && first.inline_ == Inline::Mirror && first.equal && !first.patternLike) {
    quick_.kind = 2;
  }
  quick_.equal = first.equal;
  quick_.at = first.at;
  quick_.mask = first.mask;
  quick_.value = first.value;
  quick_.many = first.many;
  return true;
}

bool TcvRecordTest::Build(TcvExpOperator* op, const uint8_t* image, size_t length, int& node) {
  if (op->plan_ == TcvExpOperator::Plan::Unknown) op->MakePlan();
  if (op->plan_ == TcvExpOperator::Plan::FieldConstant) {
    Leaf leaf;
    if (!MakeLeaf(op, image, length, leaf)) return false;
    Node n;
    n.leaf = true;
    n.index = leaves_.size();
    n.cost = leaf.cost;
    n.count = 1;
    leaves_.push_back(std::move(leaf));
    nodes_.push_back(n);
    node = static_cast<int>(nodes_.size()) - 1;
    return true;
  }
  if (op->plan_ != TcvExpOperator::Plan::Logical || !op->planLeft_ || !op->planRight_) return false;
  int left = -1, right = -1;
  if (!Build(op->planLeft_, image, length, left) || !Build(op->planRight_, image, length, right)) return false;
  Node n;
  n.leaf = false;
  n.isAnd = op->Opcode == opAnd;
  // Neither side can raise or change anything, so the cheaper one is read
  // first (the right one on a tie, the evaluator's own order).
  const bool leftFirst = nodes_[static_cast<size_t>(left)].cost < nodes_[static_cast<size_t>(right)].cost;
  n.first = leftFirst ? left : right;
  n.second = leftFirst ? right : left;
  n.cost = std::min(100000, nodes_[static_cast<size_t>(left)].cost + nodes_[static_cast<size_t>(right)].cost);
  n.count = nodes_[static_cast<size_t>(left)].count + nodes_[static_cast<size_t>(right)].count;
  nodes_.push_back(n);
  node = static_cast<int>(nodes_.size()) - 1;
  return true;
}

void TcvRecordTest::Emit(int node, int32_t at, int32_t onTrue, int32_t onFalse) {
  const Node& n = nodes_[static_cast<size_t>(node)];
  if (n.leaf) {
    Step& s = program_[static_cast<size_t>(at)];
    s.leaf = n.index;
    s.onTrue = onTrue;
    s.onFalse = onFalse;
    const Leaf& l = leaves_[n.index];
    if (l.mode == Mode::Words && l.words.size() == 1) {
      s.inline_ = Inline::Word;
      s.equal = l.opcode == opEqual;
      s.at = l.words[0].at;
      s.mask = l.words[0].mask;
      s.value = l.words[0].value;
    } else if (l.mode == Mode::Mirror && l.words.size() == 1) {
      s.inline_ = Inline::Mirror;
      s.equal = l.opcode == opEqual;
      s.patternLike = l.literalPattern;
      s.at = l.words[0].at;
      s.mask = l.words[0].mask;
      s.value = l.words[0].value;
      s.many = kOnes * static_cast<unsigned char>(l.manyWild);
    }
    return;
  }
  const int32_t second = at + nodes_[static_cast<size_t>(n.first)].count;
  if (n.isAnd) {
    Emit(n.first, at, second, onFalse);
  } else {
    Emit(n.first, at, onTrue, second);
  }
  Emit(n.second, second, onTrue, onFalse);
}

bool TcvRecordTest::MakeLeaf(TcvExpOperator* op, const uint8_t* image, size_t length, Leaf& l) {
  TcvExpFieldvar* field = op->planField_;
  std::string_view view;
  if (!field || !field->Link() || !field->Link()->FieldVarText(view)) return false;
  // The field must read the record image: its place there is then fixed.
  const auto at = reinterpret_cast<uintptr_t>(view.data()), base = reinterpret_cast<uintptr_t>(image);
  if (at < base || at - base > length || view.size() > length - (at - base)) return false;
  size_t offset = at - base, width = view.size();
  if (op->planFrom_ > 0 || op->planCount_ >= 0) {
    // As LEFT and SUBSTR cut the text: nothing when the start lies beyond it.
    const auto from = static_cast<size_t>(op->planFrom_);
    if (from >= width) {
      width = 0;
    } else {
      offset += from;
      width -= from;
      if (op->planCount_ >= 0) width = std::min(width, static_cast<size_t>(op->planCount_));
    }
  }
  l.offset = static_cast<uint32_t>(offset);
  l.width = static_cast<uint32_t>(width);
  l.opcode = op->Opcode;
  l.mirrored = op->planMirrored_;
  const bool oemText = op->handler_.UserLink && op->handler_.UserLink->OemText;
  l.upper = op->planUpper_ ? cvExpUpperTable(oemText) : nullptr;
  l.caseless = op->CaseInsensitive;
  l.fold = l.caseless ? cvExpUpperTable(oemText) : nullptr;
  l.partial = op->PartialCompare;
  l.manyWild = op->ManyWild;
  l.oneWild = op->OneWild;
  for (int c = 0; c < 256; ++c) {
    unsigned char b = static_cast<unsigned char>(c);
    if (l.upper) b = l.upper[b];
    if (l.fold) b = l.fold[b];
    l.both[c] = b;
    l.folds = l.folds || b != c;
  }

  // The literal as the evaluator prepares it: trimmed, case-folded, and on
  // the right a pattern when it starts or ends with the many-wildcard (then
  // in the search's own spelling).
  const std::string_view raw = op->planLiteral_;
  l.literalEmpty = raw.empty();
  const std::string_view trimmed = cvExpTrimRight(raw);
  if (l.fold) {
    cvExpFoldInto(l.literal, trimmed, l.fold);
  } else {
    l.literal.assign(trimmed.data(), trimmed.size());
  }
  if (!l.mirrored) {
    l.pattern = l.partial && !l.literal.empty() && (l.literal.front() == l.manyWild || l.literal.back() == l.manyWild);
    if (l.pattern && (l.manyWild != '*' || l.oneWild != '?')) {
      for (char& c : l.literal) {
        if (c == l.manyWild) c = '*';
        else if (c == l.oneWild) c = '?';
      }
    }
  }

  l.mode = Mode::General;
  l.cost = 50;
  auto fixed = [&l](bool answer) {
    l.mode = Mode::Fixed;
    l.fixed = answer;
    l.cost = 0;
    return true;
  };
  // An empty side against anything: the answer is known now.
  if (l.width == 0 || l.literalEmpty) {
    const bool fieldEmpty = l.width == 0;
    const int c = fieldEmpty == l.literalEmpty ? 0 : ((l.mirrored ? l.literalEmpty : fieldEmpty) ? -1 : 1);
    return fixed(Apply(l.opcode, c));
  }
  const bool equality = l.opcode == opEqual || l.opcode == opNotEqual;
  const bool shortcuts = equality && KeepsBlanks(l.upper) && KeepsBlanks(l.fold) && l.manyWild != ' ';
  if (!shortcuts) return true;
  const bool equal = l.opcode == opEqual;

  if (l.mirrored) {
    // Equal bytes, or (only when the field's text is a pattern) the search.
    l.mode = Mode::Mirror;
    if (l.literal.size() <= l.width) {
      l.padded = l.literal;
      l.padded.resize(l.width, ' ');
    }
    l.literalPattern =
        l.partial && !l.literal.empty() && (l.literal.front() == l.manyWild || l.literal.back() == l.manyWild);
    if (!l.folds && length >= 8) MakeWords(l, length);
    l.cost = 2 + static_cast<int>(l.words.empty() ? l.width / 4 : l.words.size());
    return true;
  }
  if (!l.pattern) {
    // The trimmed field equals the literal exactly when the whole field
    // equals the literal blank-padded to its width.
    if (l.literal.size() > l.width) return fixed(!equal);
    l.padded = l.literal;
    l.padded.resize(l.width, ' ');
    if (l.folds || length < 8) {
      l.mode = Mode::Bytes;
      l.cost = 1 + static_cast<int>(l.width / 4);
      return true;
    }
    l.mode = Mode::Words;
    MakeWords(l, length);
    l.cost = static_cast<int>(l.words.size());
    return true;
  }
  // The wildcard search as it reads the pattern: a leading "*" floats, a
  // trailing one is dropped, and without a leading "*" a "?" stands for
  // the character at its own position of the text (left to the general
  // compare).  What is left is found anywhere in the text.
  std::string_view p = l.literal;
  if (p == "*") return fixed(equal);
  const bool leading = p.front() == '*';
  if (leading) {
    p.remove_prefix(1);
    if (p == "*") return fixed(equal);
  }
  if (!p.empty() && p.back() == '*') p.remove_suffix(1);
  if (p.empty() || p.size() > l.width) return fixed(!equal);
  if (!leading && p.find('?') != std::string_view::npos) return true;
  l.mode = Mode::Search;
  l.core.assign(p.data(), p.size());
  l.coreEndsBlank = p.back() == ' ';
  l.cost = 3 + static_cast<int>(l.width / 2);
  return true;
}

void TcvRecordTest::MakeWords(Leaf& l, size_t length) {
  const size_t offset = l.offset, end = l.offset + l.width;
  for (size_t start = offset; start < end; start += 8) {
    const size_t stop = std::min(start + 8, end);
    // A word near the record's end is loaded from 8 bytes before it, so no
    // load reaches past the record.
    const size_t from = start + 8 <= length ? start : length - 8;
    unsigned char mask[8] = {}, value[8] = {};
    for (size_t b = start; b < stop; ++b) {
      mask[b - from] = 0xFF;
      // Without a padded literal (one longer than the field) no value is
      // ever equal: the words then serve the wildcard probe alone.
      value[b - from] = l.padded.size() == l.width ? static_cast<unsigned char>(l.padded[b - offset]) : 0;
    }
    Word w;
    w.at = static_cast<uint32_t>(from);
    std::memcpy(&w.mask, mask, 8);
    std::memcpy(&w.value, value, 8);
    l.words.push_back(w);
  }
}

bool TcvRecordTest::WordsEqual(const Leaf& l, const uint8_t* record) {
  bool same = true;
  for (const Word& w : l.words) {
    uint64_t x;
    std::memcpy(&x, record + w.at, 8);
    same &= (x & w.mask) == w.value;
  }
  return same;
}

bool TcvRecordTest::WordsHold(const Leaf& l, const uint8_t* record, unsigned char byte) {
  // A byte equal to `byte` turns to zero; bytes outside the field to 0xFF.
  constexpr uint64_t ones = kOnes, highs = kHighs;
  const uint64_t repeated = ones * byte;
  for (const Word& w : l.words) {
    uint64_t x;
    std::memcpy(&x, record + w.at, 8);
    const uint64_t v = (x ^ repeated) | ~w.mask;
    if (((v - ones) & ~v & highs) != 0) return true;
  }
  return false;
}

bool TcvRecordTest::Test(Leaf& l, const uint8_t* record) {
  const uint8_t* v = record + l.offset;
  switch (l.mode) {
    case Mode::Fixed: return l.fixed;
    case Mode::Words: return WordsEqual(l, record) == (l.opcode == opEqual);
    case Mode::Bytes: {
      const auto* p = reinterpret_cast<const unsigned char*>(l.padded.data());
      uint32_t i = 0;
      while (i < l.width && l.both[v[i]] == p[i]) ++i;
      return (i == l.width) == (l.opcode == opEqual);
    }
    case Mode::Mirror: {
      bool same = l.padded.size() == l.width;
      if (!l.words.empty()) {
        same = same && WordsEqual(l, record);
      } else if (same) {
        const auto* p = reinterpret_cast<const unsigned char*>(l.padded.data());
        for (uint32_t i = 0; same && i < l.width; ++i) same = l.both[v[i]] == p[i];
      }
      if (same) return l.literalPattern ? TestGeneral(l, record) : l.opcode == opEqual;
      if (l.partial) {
        // Unequal texts are still equal when the field's text is a pattern
        // that the literal matches: that is the general compare's to say.
        const auto many = static_cast<unsigned char>(l.manyWild);
        if (!l.words.empty() && !WordsHold(l, record, many)) return l.opcode != opEqual;
        if (l.both[v[0]] == many) return TestGeneral(l, record);
        uint32_t e = l.width;
        while (e > 0 && v[e - 1] == ' ') --e;
        if (e > 0 && l.both[v[e - 1]] == many) return TestGeneral(l, record);
      }
      return l.opcode != opEqual;
    }
    case Mode::Search: {
      uint32_t n = l.width;
      if (l.coreEndsBlank)
        while (n > 0 && v[n - 1] == ' ') --n;
      const auto m = static_cast<uint32_t>(l.core.size());
      const auto* c = reinterpret_cast<const unsigned char*>(l.core.data());
      bool found = false;
      for (uint32_t i = 0; !found && i + m <= n; ++i) {
        if (l.both[v[i]] != c[0]) continue;
        uint32_t j = 1;
        while (j < m && l.both[v[i + j]] == c[j]) ++j;
        found = j == m;
      }
      return found == (l.opcode == opEqual);
    }
    case Mode::General: break;
  }
  return TestGeneral(l, record);
}

bool TcvRecordTest::TestGeneral(Leaf& l, const uint8_t* record) {
  // The evaluator's compare step by step: the part of the field, UPPER,
  // trimming, the caseless setting, then the pattern or the plain compare.
  std::string_view text(reinterpret_cast<const char*>(record + l.offset), l.width);
  if (l.upper) text = cvExpFoldInto(l.scratch1, text, l.upper);
  const bool fieldEmpty = text.empty();
  const bool ordered = l.opcode != opEqual && l.opcode != opNotEqual;
  int c = 0;
  if (fieldEmpty || l.literalEmpty) {
    c = fieldEmpty == l.literalEmpty ? 0 : ((l.mirrored ? l.literalEmpty : fieldEmpty) ? -1 : 1);
    return Apply(l.opcode, c);
  }
  text = cvExpTrimRight(text);
  bool inScratch = false;
  if (l.fold) {
    text = cvExpFoldInto(l.scratch2, text, l.fold);
    inScratch = true;
  }
  const std::string_view literal = l.literal;
  if (!l.mirrored) {
    if (l.pattern) {
      c = cvStrPosWild(literal, text) > 0 ? 0 : -1;
    } else if (text == literal) {
      c = 0;
    } else {
      c = ordered ? Sign(cvStrCompare(text, literal)) : 1;
    }
    return Apply(l.opcode, c);
  }
  // The literal on the left: the field's text is the pattern when it
  // starts or ends with the many-wildcard.
  if (l.partial && !text.empty() && (text.front() == l.manyWild || text.back() == l.manyWild)) {
    if (l.manyWild != '*' || l.oneWild != '?') {
      if (!inScratch) l.scratch2.assign(text.data(), text.size());
      for (char& ch : l.scratch2) {
        if (ch == l.manyWild) ch = '*';
        else if (ch == l.oneWild) ch = '?';
      }
      text = l.scratch2;
    }
    c = cvStrPosWild(text, literal) > 0 ? 0 : -1;
  } else if (literal == text) {
    c = 0;
  } else {
    c = ordered ? Sign(cvStrCompare(literal, text)) : 1;
  }
  return Apply(l.opcode, c);
}
