// The flat record test of a filter scan against the evaluator's general
// path: the same conditions on the same record bytes, under every compare
// setting, must give the same answers.  Records are handed to the flat test
// as copies of exactly the record's length, so a read past a record shows
// under the address sanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/expr/record_test.h"
#include "dbf_engine/table/fields.h"
#include "filter_forms.h"
#include "table_test_util.h"

namespace {

struct FieldSpec {
  const char* name;
  int length;
};

// A table of C fields laid out one after the other, its active image a
// buffer of the test's own.
class FlatTable {
public:
  FlatTable(const TempDir& dir, const std::vector<FieldSpec>& fields) : fields_(fields) {
    length_ = 1;
    for (const auto& f : fields) {
      offsets_.push_back(length_);
      length_ += f.length;
    }
    std::string hdr(32 + 32 * fields.size() + 1, '\0');
    hdr[0] = 0x03;
    hdr[8] = static_cast<char>(hdr.size());
    hdr[10] = static_cast<char>(length_);
    for (size_t i = 0; i < fields.size(); ++i) {
      char* d = &hdr[32 + 32 * i];
      std::memcpy(d, fields[i].name, std::strlen(fields[i].name));
      d[11] = 'C';
      d[16] = static_cast<char>(fields[i].length);
    }
    hdr[32 + 32 * fields.size()] = 0x0D;
    const std::string file = dir / "flat.dbf";
    std::ofstream(file, std::ios::binary) << hdr << '\x1A';
    table_ = std::make_unique<CVO_dBaseFld>(file, "", false, false);
    image_.assign(static_cast<size_t>(length_) + 1, ' ');
    table_->cvSetActiveBuffer(image_.data());
  }
  ~FlatTable() { table_->cvSetActiveBuffer(nullptr); }

  void Fill(std::mt19937& rng) {
    image_[0] = ' ';
    for (size_t i = 0; i < fields_.size(); ++i) {
      const auto len = static_cast<size_t>(fields_[i].length);
      std::string v = filter_forms::Text(rng, len);
      if (rng() % 6 == 0) v.clear();  // all blanks
      std::memset(&image_[static_cast<size_t>(offsets_[i])], ' ', len);
      std::memcpy(&image_[static_cast<size_t>(offsets_[i])], v.data(), std::min(v.size(), len));
    }
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& f : fields_) n.emplace_back(f.name);
    return n;
  }

  std::vector<FieldSpec> fields_;
  std::vector<int> offsets_;
  int length_ = 0;
  std::unique_ptr<CVO_dBaseFld> table_;
  std::vector<uint8_t> image_;
};

bool General(TcvExpHandler& h) {
  cvExpSetFastPaths(false);
  TcvExpValue v;
  h.ExpressionResult(v);
  cvExpSetFastPaths(true);
  return h.ResultType() == rtBoolean && v.AsBoolean();
}

// Compiles `text` under the settings and checks the flat test against the
// general path on `records` random records; false when it did not compile.
bool Agree(FlatTable& t, std::mt19937& rng, const std::string& text, bool ci, bool partial, bool sql, bool oem,
           int records) {
  t.table_->kvSetTranslateAscii(oem);
  TcvExpHandler h(t.table_->cvExpLink(), "", sql);
  h.CaseInsensitive = ci;
  h.PartialCompare = partial;
  h.SetExpression(text);
  TcvRecordTest flat;
  if (!flat.Compile(h, t.image_.data(), static_cast<size_t>(t.length_))) return false;
  for (int i = 0; i < records; ++i) {
    t.Fill(rng);
    const std::vector<uint8_t> copy(t.image_.begin(), t.image_.begin() + t.length_);
    const bool want = General(h);
    // The first test alone refuses only records that fail.
    EXPECT_TRUE(flat.QuickTest().MayMatch(copy.data()) || !want) << text;
    EXPECT_EQ(flat.Matches(copy.data()), want)
        << text << " ci=" << ci << " partial=" << partial << " sql=" << sql << " oem=" << oem << " record '"
        << std::string(t.image_.begin(), t.image_.begin() + t.length_) << "'";
  }
  return true;
}

}  // namespace

// Random conditions over random records, every combination of settings;
// the last field ends the record (its words are loaded from before it).
TEST(RecordTest, RandomConditionsAgreeWithTheGeneralPath) {
  TempDir dir;
  FlatTable t(dir, {{"X", 3}, {"A", 8}, {"B", 11}, {"Z", 2}});
  std::mt19937 rng(19);
  int compiled = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string text = filter_forms::Condition(rng, t.Names(), 3);
    const unsigned opt = rng() % 16;
    compiled += Agree(t, rng, text, opt & 1, opt & 2, opt & 4, opt & 8, 40);
  }
  // Every condition of these forms runs as a flat test.
  EXPECT_EQ(compiled, 1500);
}

// A record shorter than one word, and fields of one byte.
TEST(RecordTest, ShortRecords) {
  TempDir dir;
  FlatTable t(dir, {{"P", 1}, {"Q", 3}, {"R", 1}});
  std::mt19937 rng(5);
  for (int i = 0; i < 600; ++i) {
    const unsigned opt = rng() % 16;
    EXPECT_TRUE(Agree(t, rng, filter_forms::Condition(rng, t.Names(), 2), opt & 1, opt & 2, opt & 4, opt & 8, 30));
  }
}

// The cases that read oddly: the wildcard search finds its pattern
// anywhere; a "?" without a leading "*" stands at its own position; the
// field is the pattern when the literal is on the left; blanks and empty
// sides; SQL wildcards.
TEST(RecordTest, WildcardAndEmptySidesAsTheEvaluatorHasThem) {
  TempDir dir;
  FlatTable t(dir, {{"A", 8}, {"B", 6}});
  // clang-format off
  const std::vector<std::string> values = {"", "ABC", "XABC", "AB*", "*B", "A?C", "AXC", "A%", "%B", "AB C",
                                           "\xE8\xE2", "\xC8\xC2\xC8", " A", "********"};
  // clang-format on
  // clang-format off
  const std::vector<std::string> conds = {
      "A='AB*'",   "A='*BC'",  "A='*B*'", "A='*'",     "A='**'",     "A='***'",   "A='A?C*'", "A='?B*'",
      "A='*?C'",   "A='B C*'", "A='C *'", "A='AB*C*'", "'ABC'=A",    "'XABC'=A",  "''=A",     "A=''",
      "A='   '",   "'  '=A",   "A<>'AB*'", "'AB'<>A",  "A='A_C%'",   "'ABC'=LEFT(A,3)", "SUBSTR(A,9)=''",
      "SUBSTR(A,9)='*'", "UPPER(A)='\xC8\xC2*'", "'\xC8\xC2'=UPPER(LEFT(A,2))", "A='%BC'",
      "LEFT(A,2)='AB' .AND. B='*'", "A='X*' .OR. '*'=B"};
  // clang-format on
  for (const auto& a : values)
    for (const auto& b : values) {
      for (const auto& c : conds)
        for (unsigned opt = 0; opt < 16; ++opt) {
          t.table_->kvSetTranslateAscii(opt & 8);
          TcvExpHandler h(t.table_->cvExpLink(), "", opt & 4);
          h.CaseInsensitive = opt & 1;
          h.PartialCompare = opt & 2;
          h.SetExpression(c);
          TcvRecordTest flat;
          ASSERT_TRUE(flat.Compile(h, t.image_.data(), static_cast<size_t>(t.length_))) << c;
          std::memset(t.image_.data(), ' ', static_cast<size_t>(t.length_));
          std::memcpy(&t.image_[1], a.data(), std::min<size_t>(a.size(), 8));
          std::memcpy(&t.image_[9], b.data(), std::min<size_t>(b.size(), 6));
          const std::vector<uint8_t> copy(t.image_.begin(), t.image_.begin() + t.length_);
          const bool want = General(h);
          EXPECT_TRUE(flat.QuickTest().MayMatch(copy.data()) || !want) << c;
          EXPECT_EQ(flat.Matches(copy.data()), want) << c << " A='" << a << "' B='" << b << "' opt " << opt;
        }
    }
}

// What the flat test leaves alone: conditions outside its forms, and any
// condition while the evaluator's fast paths are off.
TEST(RecordTest, OtherConditionsAreLeftToTheEvaluator) {
  TempDir dir;
  FlatTable t(dir, {{"A", 8}, {"B", 6}});
  for (const char* c : {"A=B", "TRIM(A)='X'", "A='X' .AND. RECNO()>1", ".NOT. A='X'", "A$'XY'", "A=='X'",
                        "A='X' .AND. .T.", "LEFT(A,B)='X'", "A"}) {
    TcvExpHandler h(t.table_->cvExpLink(), "", false);
    try {
      h.SetExpression(c);
    } catch (const std::exception&) {
      continue;
    }
    TcvRecordTest flat;
    EXPECT_FALSE(flat.Compile(h, t.image_.data(), static_cast<size_t>(t.length_))) << c;
  }
  TcvExpHandler h(t.table_->cvExpLink(), "A='X' .AND. B='Y'", false);
  TcvRecordTest flat;
  cvExpSetFastPaths(false);
  EXPECT_FALSE(flat.Compile(h, t.image_.data(), static_cast<size_t>(t.length_)));
  cvExpSetFastPaths(true);
  EXPECT_TRUE(flat.Compile(h, t.image_.data(), static_cast<size_t>(t.length_)));
  // A buffer the fields do not read from: nothing to compile against.
  std::vector<uint8_t> elsewhere(static_cast<size_t>(t.length_), ' ');
  EXPECT_FALSE(flat.Compile(h, elsewhere.data(), elsewhere.size()));
}
