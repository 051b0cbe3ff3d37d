// A filter condition turned, for one scan, into a flat list of tests run
// straight on the bytes of each record.
//
// A filter scan evaluates one compiled condition on every record of a table.
// When the condition is one the evaluator's own fast plan covers (a text
// field, or UPPER / LEFT / SUBSTR of one with number literals, compared with
// a text literal on either side, and AND / OR of such compares), everything
// the tree looks up per record is fixed for the whole scan: where each field
// lies in the record, its width, the literal as the compare settings prepare
// it, the case table.  `TcvRecordTest` takes those once and keeps them as a
// list of tests:
//
//   test    the bytes [offset, offset + width) of the record, through a
//           256-byte case table where UPPER or the caseless setting asks,
//           against the literal: blank-padded to the width for = and <>,
//           split around its wildcards for the pattern search, or compared
//           the general way (ordered compares, the odd wildcard forms)
//   jumps   where to go on true and on false: the next test, or the
//           answer.  AND and OR become short-circuit jumps, the cheaper side
//           read first (the sides cannot raise, so the order cannot change
//           the answer).
//
// The answer is the evaluator's for the same record, byte for byte the same
// rules (trailing blanks, empty sides, the wildcard search that finds the
// pattern anywhere in the text, OEM case through ANSI); the tests compare
// the two on random records, conditions and settings.  Anything else stays
// with the evaluator: Compile says no.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class TcvExpHandler;
class TcvExpOperator;

class TcvRecordTest {
public:
  static constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;

  // Compiles the handler's condition for records laid out as `image`, the
  // active record image (`length` bytes) the table's fields read now.  The
  // compare settings, wildcards and case tables in force now hold for the
  // whole scan.  False, and nothing usable, when the condition is not one
  // the list can run (or the evaluator's fast paths are off).
  bool Compile(TcvExpHandler& handler, const uint8_t* image, size_t length);
  bool Compiled() const { return !program_.empty(); }

  // The condition's value for the record at `record` (`length` bytes as
  // given to Compile).
  bool Matches(const uint8_t* record) {
    int32_t pc = 0;
    for (;;) {
      const Step& s = program_[static_cast<size_t>(pc)];
      bool r;
      if (s.inline_ == Inline::Word) {
        // The commonest test, a field of up to 8 bytes = or <> a literal:
        // one masked load.
        uint64_t x;
        std::memcpy(&x, record + s.at, 8);
        r = ((x & s.mask) == s.value) == s.equal;
      } else if (s.inline_ == Inline::Mirror) {
        // The literal first: equal bytes answer at once unless the literal
        // looks like a pattern; unequal ones too unless the field holds the
        // many-wildcard (then it may be a pattern: the full test).
        uint64_t x;
        std::memcpy(&x, record + s.at, 8);
        if ((x & s.mask) == s.value) {
          r = s.patternLike ? Test(leaves_[s.leaf], record) : s.equal;
        } else {
          const uint64_t y = (x ^ s.many) | ~s.mask;
          r = ((y - kOnes) & ~y & kHighs) != 0 ? Test(leaves_[s.leaf], record) : !s.equal;
        }
      } else {
        r = Test(leaves_[s.leaf], record);
      }
      const int32_t next = r ? s.onTrue : s.onFalse;
      if (next < 0) return next == kAccept;
      pc = next;
    }
  }

  // The first test on its own, for a scan loop to keep in registers: false
  // when the record certainly fails the condition (the first test is one
  // word and the whole condition fails with it); true when Matches must
  // say.
  struct Quick {
    uint8_t kind = 0;  // 0: no such test, 1: a word = / <>, 2: literal = field
    bool equal = false;
    uint32_t at = 0;
    uint64_t mask = 0, value = 0, many = 0;
    bool MayMatch(const uint8_t* record) const {
      if (kind == 0) return true;
      uint64_t x;
      std::memcpy(&x, record + at, 8);
      const bool same = (x & mask) == value;
      if (kind == 1) return same == equal;
      // Equal bytes, or a field holding the many-wildcard (a pattern?).
      const uint64_t y = (x ^ many) | ~mask;
      return same || ((y - kOnes) & ~y & kHighs) != 0;
    }
  };
  Quick QuickTest() const { return quick_; }

  // Implementation details follow.
private:
  static constexpr int32_t kAccept = -1, kReject = -2;
  enum class Mode : uint8_t {
    Fixed,    // the answer does not depend on the record
    Words,    // = / <> of the raw bytes: masked 8-byte words
    Bytes,    // = / <> through a case table (or a record under 8 bytes)
    Mirror,   // literal = field: equal bytes, or the field is a pattern
    Search,   // field = pattern: the pattern's core anywhere in the text
    General,  // the evaluator's compare, on the record's bytes
  };
  struct Word {
    uint32_t at;  // where the 8 bytes are loaded from
    uint64_t mask, value;
  };
  struct Leaf {
    Mode mode = Mode::General;
    uint8_t opcode = 0;
    bool fixed = false;  // Fixed: the answer
    bool mirrored = false;
    uint32_t offset = 0, width = 0;
    // Case tables: UPPER of the field, then the caseless setting, and the
    // two applied in that order (null: none).
    const unsigned char* upper = nullptr;
    const unsigned char* fold = nullptr;
    unsigned char both[256];
    bool folds = false;           // `both` is no identity
    std::vector<Word> words;      // Words, Mirror: the field in masked words
    std::string padded;           // the literal blank-padded to the width (Bytes, Mirror)
    bool literalPattern = false;  // Mirror: the literal itself looks like a pattern
    // Search: the pattern's core and whether the text must be trimmed first.
    std::string core;
    bool coreEndsBlank = false;
    // General: the literal as the evaluator prepares it.
    std::string literal;  // trimmed, folded, wildcards in '*' / '?' spelling
    bool literalEmpty = false;
    bool pattern = false;  // field side: the literal is a pattern
    bool partial = false, caseless = false;
    char manyWild = '*', oneWild = '?';
    std::string scratch1, scratch2;
    int cost = 0;
  };
  enum class Inline : uint8_t { None, Word, Mirror };
  struct Step {
    size_t leaf = 0;
    int32_t onTrue = kReject, onFalse = kReject;
    // Inline::Word and Mirror: the leaf's one word, and whether it tests
    // for equal.  Mirror: the many-wildcard in every byte, and whether the
    // literal looks like a pattern.
    Inline inline_ = Inline::None;
    bool equal = false, patternLike = false;
    uint32_t at = 0;
    uint64_t mask = 0, value = 0, many = 0;
  };
  bool Test(Leaf& l, const uint8_t* record);
  bool TestGeneral(Leaf& l, const uint8_t* record);
  // Words covering the leaf's field (Words, and Mirror without case tables).
  static void MakeWords(Leaf& l, size_t length);
  static bool WordsEqual(const Leaf& l, const uint8_t* record);
  // Whether the field holds `byte` anywhere.
  static bool WordsHold(const Leaf& l, const uint8_t* record, unsigned char byte);
  // Builds the leaves of an operator's subtree; its index into `nodes_`.
  bool Build(TcvExpOperator* op, const uint8_t* image, size_t length, int& node);
  bool MakeLeaf(TcvExpOperator* op, const uint8_t* image, size_t length, Leaf& leaf);
  void Emit(int node, int32_t at, int32_t onTrue, int32_t onFalse);

  struct Node {
    bool leaf = true;
    bool isAnd = false;
    size_t index = 0;  // leaf: into leaves_
    int first = -1, second = -1;
    int cost = 0;
    int32_t count = 0;  // leaves in the subtree
  };
  std::vector<Node> nodes_;
  std::vector<Leaf> leaves_;
  std::vector<Step> program_;
  Quick quick_;
};
