// The evaluator's in-place text compares against its general path: every
// expression is evaluated twice on the same record images, once with the
// fast paths and once without, and the two must agree on the result, its
// type and on whether (and what) it raises.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/expr/exp_internal.h"
#include "dbf_engine/expr/expression.h"
#include "dbf_engine/table/fields.h"
#include "table_test_util.h"

namespace {

// A, B: C(8); N: N(5); D: D(8); M: C(3).
constexpr int kA = 1, kB = 9, kN = 17, kD = 22, kRecLen = 30;

class FastPathTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string hdr(32 + 32 * 4 + 1, '\0');
    hdr[0] = 0x03;
    hdr[8] = static_cast<char>(hdr.size());
    hdr[10] = kRecLen;
    const struct {
      const char* name;
      char type;
      int len;
    } fields[] = {{"A", 'C', 8}, {"B", 'C', 8}, {"N", 'N', 5}, {"D", 'D', 8}};
    for (int i = 0; i < 4; ++i) {
      char* d = &hdr[32 + 32 * static_cast<size_t>(i)];
      std::memcpy(d, fields[i].name, std::strlen(fields[i].name));
      d[11] = fields[i].type;
      d[16] = static_cast<char>(fields[i].len);
    }
    hdr[32 + 32 * 4] = 0x0D;
    std::ofstream(dir_ / "t.dbf", std::ios::binary) << hdr << '\x1A';
    table_ = std::make_unique<CVO_dBaseFld>(dir_ / "t.dbf", "", false, false);
    image_.assign(kRecLen + 1, ' ');
    table_->cvSetActiveBuffer(image_.data());
  }
  void TearDown() override {
    table_->cvSetActiveBuffer(nullptr);
    cvExpSetFastPaths(true);
  }

  void Put(int at, int len, const std::string& v) {
    std::memset(&image_[static_cast<size_t>(at)], ' ', static_cast<size_t>(len));
    std::memcpy(&image_[static_cast<size_t>(at)], v.data(), std::min<size_t>(v.size(), static_cast<size_t>(len)));
  }
  void Record(const std::string& a, const std::string& b, const std::string& n = "    5",
              const std::string& d = "20240229") {
    Put(kA, 8, a);
    Put(kB, 8, b);
    Put(kN, 5, n);
    Put(kD, 8, d);
  }

  // "T", "F", "E:<message>" or "V:<type>:<text>".
  std::string Eval(TcvExpHandler& h, bool fast) {
    cvExpSetFastPaths(fast);
    TcvExpValue v;
    try {
      h.ExpressionResult(v);
    } catch (const std::exception& e) {
      return std::string("E:") + e.what();
    }
    if (h.ResultType() == rtBoolean) return v.AsBoolean() ? "T" : "F";
    return "V:" + std::to_string(h.ResultType()) + ":" + v.AsText();
  }

  // Compiles `text` with the options and checks both paths on the current
  // record; returns the fast path's answer.
  std::string Both(const std::string& text, bool ci = false, bool partial = true, bool sql = false) {
    TcvExpHandler h(table_->cvExpLink(), "", sql);
    h.CaseInsensitive = ci;
    h.PartialCompare = partial;
    h.SetExpression(text);
    const std::string general = Eval(h, false);
    const std::string fast = Eval(h, true);
    // Again, so that cached constants are used on a second evaluation.
    const std::string fast2 = Eval(h, true);
    EXPECT_EQ(general, fast) << text << " ci=" << ci << " partial=" << partial << " sql=" << sql;
    EXPECT_EQ(fast, fast2) << text;
    return fast;
  }

  TempDir dir_;
  std::unique_ptr<CVO_dBaseFld> table_;
  std::vector<uint8_t> image_;
};

const char* const kCyrUpper = "\xC8\xC2\xC0\xCD";  // ИВАН
const char* const kCyrLower = "\xE8\xE2\xE0\xED";  // иван

TEST_F(FastPathTest, AgreesWithGeneralPathOnTrickyTexts) {
  // clang-format off
  const std::vector<std::string> values = {"",        "ABC",   "ABC  ",     "  ABC", "abc", "ABCD",  "AB",
                                           "A*C",     "A?C",   "*",         "?",     "A-B", "AB'C",  kCyrUpper,
                                           kCyrLower, "\xB8",  "\xE5\xB8",  "\xA8",  "12",  "5",     "\x1F", "ABCDEFGH", "ABCDEFG"};
  // clang-format on
  // clang-format off
  const std::vector<std::string> literals = {"''",     "'  '",   "'ABC'",  "'ABC  '", "'abc'",  "'AB*'",  "'*BC'",
                                             "'*B*'",  "'*'",    "'**'",   "'A?C'",   "'A?C*'", "'?B*'",  "'ABCDEFGHIJ*'", "'ABCDEFGHIJ'", "'ABCDEFGH'", "'ABCDEFGH  '",
                                             "'A%'",   "'A_C%'", "'%'",    "'5'",     "'12'",   "' 12'",
                                             std::string("'") + kCyrUpper + "'", std::string("'") + kCyrLower + "*'",
                                             "'\xB8'", "'\xA8*'"};
  // clang-format on
  const std::vector<std::string> ops = {"=", "<>", ">", "<", ">=", "<="};
  for (const auto& a : values) {
    for (const auto& b : {std::string("ABC"), std::string(), std::string("A*C")}) {
      Record(a, b);
      for (bool oem : {false, true}) {
        table_->kvSetTranslateAscii(oem);
        for (const auto& lit : literals)
          for (const auto& op : ops)
            for (int opt = 0; opt < 8; ++opt) {
              const bool ci = opt & 1, partial = opt & 2, sql = opt & 4;
              Both("A " + op + " " + lit, ci, partial, sql);
              Both(lit + " " + op + " A", ci, partial, sql);
              Both("UPPER(A) " + op + " " + lit, ci, partial, sql);
              Both(lit + " " + op + " UPPER(A)", ci, partial, sql);
            }
        for (const auto& op : ops)
          for (int opt = 0; opt < 4; ++opt) {
            Both("A " + op + " B", opt & 1, opt & 2);
            Both("(A) " + op + " UPPER(B)", opt & 1, opt & 2);
            Both("TRIM(A) " + op + " (B)", opt & 1, opt & 2);
          }
      }
    }
  }
}

TEST_F(FastPathTest, SpecificOutcomesStayAsBefore) {
  Record("SMITH", "SMI");
  EXPECT_EQ(Both("A = 'SMITH   '"), "T");
  EXPECT_EQ(Both("A = 'SMIT'"), "F");
  EXPECT_EQ(Both("A = 'SMI*'"), "T");
  EXPECT_EQ(Both("A = 'SMI*'", false, false), "F");
  EXPECT_EQ(Both("A = 'smith'", true), "T");
  EXPECT_EQ(Both("A = 'smith'"), "F");
  EXPECT_EQ(Both("A = ''"), "F");  // a non-empty side against an empty one
  EXPECT_EQ(Both("A > ''"), "T");
  EXPECT_EQ(Both("A = '*T*'"), "T");
  EXPECT_EQ(Both("A = 'S?I*'"), "T");
  EXPECT_EQ(Both("A = '?MI*'"), "T");
  EXPECT_EQ(Both("A = '%MIT%'", false, true, true), "T");
  Record("", "");
  EXPECT_EQ(Both("A = ''"), "F");  // blanks are not empty before trimming
  EXPECT_EQ(Both("A = '  '"), "T");
  EXPECT_EQ(Both("A = B"), "T");
}

TEST_F(FastPathTest, NumbersAndDatesComparedAsText) {
  for (const char* n : {"    5", "   12", "  -3", "     ", "99999"}) {
    for (const char* d : {"20240229", "19991231", "        "}) {
      Record("5", "12", n, d);
      for (const char* e : {"STR(N,5) = '    5'", "STR(N) > A", "LTRIM(STR(N)) = B", "DTOS(D) = '2024*'",
                            "DTOS(D) < '2000'", "DTOC(D) = '  .  .    '", "N = 5", "D = D", "A = N", "N = A", "A = D",
                            "A = .T.", "A $ B", "A == '5'", "A + B = '5       12'"}) {
        Both(e);
        Both(e, true);
      }
    }
  }
}

TEST_F(FastPathTest, ErrorsAreTheSame) {
  Record("X", "Y");
  EXPECT_EQ(Both("A = N").substr(0, 2), "E:");
  EXPECT_EQ(Both("N = A").substr(0, 2), "E:");
  EXPECT_EQ(Both("A < 1").substr(0, 2), "E:");
  EXPECT_EQ(Both("UPPER(A) >= D").substr(0, 2), "E:");
}

TEST_F(FastPathTest, RandomRecordsAndFilters) {
  std::mt19937 rng(11);
  const std::string alphabet = std::string("AB*? -") + kCyrUpper + kCyrLower + "\xB8\xA8";
  auto text = [&](size_t maxLen) {
    std::string s;
    const size_t n = rng() % (maxLen + 1);
    for (size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 400; ++i) {
    Record(text(8), text(8));
    table_->kvSetTranslateAscii(rng() % 2);
    std::string lit = text(5);
    for (char& c : lit)
      if (c == '\'') c = 'x';
    const char* ops[] = {"=", "<>", ">", "<", ">=", "<="};
    const std::string op = ops[rng() % 6];
    const int opt = static_cast<int>(rng() % 8);
    Both("A " + op + " '" + lit + "'", opt & 1, opt & 2, opt & 4);
    Both("A " + op + " B .AND. B " + op + " '" + lit + "'", opt & 1, opt & 2, opt & 4);
  }
}

TEST_F(FastPathTest, AndOrOfFieldCompares) {
  const std::vector<std::string> as = {"5", "5    ", "", "50", kCyrUpper, "*"};
  const std::vector<std::string> bs = {"12", "12   ", "", "1", kCyrLower};
  const std::vector<std::string> exprs = {
      "A='5' .AND. B='12'",
      "A='5' .OR. B='12'",
      "(A='5') .AND. (B='12')",
      "A='5' .AND. B='12' .OR. A=''",
      "A='5' .AND. (B='1*' .OR. B='*2')",
      "A<>'5' .AND. B>='12'",
      "A>'4' .AND. A<'6' .OR. B<='1'",
      std::string("A='") + kCyrLower + "' .OR. B='" + kCyrUpper + "'",
      "A='5' .AND. N=5",  // a side outside the plan: the general path
      "A='5' .AND. B=N",  // raises only when the right side is reached
      "B=N .AND. A='5'",
      ".NOT. A='5' .AND. B='12'",
      "A='5' .AND. .T.",
      std::string("A='5' .AND. UPPER(B)='") + kCyrUpper + "'",
      std::string("UPPER((A))='") + kCyrUpper + "*' .OR. UPPER(B)>'1'",
      "UPPER(A, B)='5'",
  };
  for (const auto& a : as)
    for (const auto& b : bs) {
      Record(a, b);
      for (bool oem : {false, true}) {
        table_->kvSetTranslateAscii(oem);
        for (const auto& e : exprs)
          for (int opt = 0; opt < 4; ++opt) Both(e, opt & 1, opt & 2);
      }
    }
  Record("5", "12");
  EXPECT_EQ(Both("A='5' .AND. B='12'"), "T");
  EXPECT_EQ(Both("A='5' .AND. B='13'"), "F");
  EXPECT_EQ(Both("A='6' .OR. B='12'"), "T");
}

// AND / OR whose sides cost differently (a plain compare against a
// wildcard, an upper-cased or a mirrored one), the cheap side on the left or
// on the right and nested: whichever side is read first, the answer is the
// general path's.
TEST_F(FastPathTest, AndOrReadsEitherSideFirst) {
  const std::vector<std::string> as = {"5", "", "50", "*5", kCyrLower, "5*"};
  const std::vector<std::string> bs = {"12", "", "1", "*2", kCyrUpper, "212"};
  const std::vector<std::string> exprs = {
      "A='5' .AND. B='1*'",
      "B='1*' .AND. A='5'",
      "A='5' .OR. B='*2'",
      "B='*2' .OR. A='5'",
      "A='5' .AND. UPPER(B)='12'",
      "UPPER(B)='12' .AND. A='5'",
      "'5'=A .AND. B='12'",
      "B='12' .OR. '5'=A",
      "A='5*' .AND. '12'=LEFT(B,2) .OR. B='?2*'",
      "(A='5' .OR. B='1?') .AND. UPPER(SUBSTR(A,1,1))='*'",
      "UPPER(SUBSTR(A,1,1))='*' .AND. (A='5' .OR. B='1?')",
      "A<>'5' .AND. B>'1*' .OR. A<='5'",
  };
  for (const auto& a : as)
    for (const auto& b : bs) {
      Record(a, b);
      for (const auto& e : exprs)
        for (int opt = 0; opt < 4; ++opt) Both(e, opt & 1, opt & 2);
    }
  Record("5", "13");
  EXPECT_EQ(Both("A='5' .AND. B='1*'"), "T");
  EXPECT_EQ(Both("A='6' .AND. B='1*'"), "F");
  EXPECT_EQ(Both("A='6' .OR. B='*3'"), "T");
  EXPECT_EQ(Both("A='5' .OR. B='*4'"), "T");
  EXPECT_EQ(Both("A='6' .OR. B='*4'"), "F");
}

// LEFT, SUBSTR and UPPER of a field, nested, with the literal on either
// side: the part taken in place must be the part the functions give,
// including parts that start beyond the field or reach past its end.
TEST_F(FastPathTest, PartsOfAFieldOnEitherSide) {
  const std::vector<std::string> values = {"", "ABC", "ABCDEFGH", "  ABC", "A*", "*BC", kCyrLower, "AB CD"};
  const std::vector<std::string> parts = {
      "LEFT(A,2)",         "LEFT(A,8)",           "LEFT(A,20)",       "LEFT(A,0)",        "LEFT(A,2.5)",
      "LEFT(A,-1)",        "SUBSTR(A,2)",         "SUBSTR(A,2,3)",    "SUBSTR(A,8,5)",    "SUBSTR(A,9)",
      "SUBSTR(A,0,2)",     "SUBSTR(A,3,'X')",     "UPPER(LEFT(A,4))", "LEFT(UPPER(A),4)", "UPPER(SUBSTR(A,2,2))",
      "LEFT(LEFT(A,5),3)", "SUBSTR(LEFT(A,5),2)", "LEFT((A),3)"};
  const std::vector<std::string> literals = {"''",         "'AB'",  "'ab'", "'BC'",
                                             "'BCD'",      "'AB*'", "'*'",  "'A*'",
                                             "'ABCDEFGH'", "'  '",  "'C'",  std::string("'") + kCyrUpper + "'"};
  for (const auto& a : values) {
    Record(a, "B");
    for (bool oem : {false, true}) {
      table_->kvSetTranslateAscii(oem);
      for (const auto& part : parts)
        for (const auto& lit : literals)
          for (const char* op : {"=", "<>", "<"})
            for (int opt = 0; opt < 4; ++opt) {
              Both(part + " " + op + " " + lit, opt & 1, opt & 2);
              Both(lit + " " + op + " " + part, opt & 1, opt & 2);
            }
      Both("'5'=B .AND. 'AB'=LEFT(A,2)");
      Both("SUBSTR(A,2,2)='BC' .OR. 'B'=B");
    }
  }
  Record("ABCDEFGH", "12");
  EXPECT_EQ(Both("LEFT(A,3)='ABC'"), "T");
  EXPECT_EQ(Both("'ABC'=LEFT(A,3)"), "T");
  EXPECT_EQ(Both("'CDE'=SUBSTR(A,3,3) .AND. '12'=B"), "T");
  EXPECT_EQ(Both("'12'=B .AND. 'CDF'=SUBSTR(A,3,3)"), "F");
  EXPECT_EQ(Both("SUBSTR(A,9)=''"), "T");
  Record("AB*", "A");
  EXPECT_EQ(Both("'ABC'=A"), "T");  // the field is the pattern
}

// One compiled filter over a run of records: the prepared constants follow a
// change of the table's translate flag between evaluations.
TEST_F(FastPathTest, ConstantsFollowTheTranslateFlag) {
  TcvExpHandler fast(table_->cvExpLink(), "", false), general(table_->cvExpLink(), "", false);
  for (TcvExpHandler* h : {&fast, &general}) {
    h->CaseInsensitive = true;
    h->SetExpression(std::string("A = '") + kCyrLower + "' .AND. B = '\xA8*'");
  }
  for (int i = 0; i < 8; ++i) {
    table_->kvSetTranslateAscii(i % 2 == 0);
    Record(i % 4 < 2 ? kCyrUpper : "\x88\x82\x80\x8D", i % 3 == 0 ? "\xA8" : "\xF0X");
    EXPECT_EQ(Eval(fast, true), Eval(general, false)) << i;
  }
}

// The compares rest on two properties of the locale routines: texts compare
// equal only when their bytes are equal, and case folds byte by byte.
TEST(FastPathLocale, EqualOnlyWhenSameBytes) {
  std::vector<std::string> corpus = {"",     "a",     "A",    "ab",    "a-b", "a'b", "ab-", "\xE5", "\xB8", "\xC5",
                                     "\xA8", "co-op", "coop", "co'op", "1",   "01",  " ",   "a ",   "-",    "'"};
  for (const auto& a : corpus)
    for (const auto& b : corpus) EXPECT_EQ(cvStrCompare(a, b) == 0, a == b) << a << " / " << b;
}

TEST(FastPathLocale, CaseTablesMatchTheTextRoutines) {
  for (int c = 0; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(cvExpUpperTable(false)[c], static_cast<unsigned char>(cvStrUpperCase(one)[0])) << c;
    EXPECT_EQ(cvExpLowerTable(false)[c], static_cast<unsigned char>(cvStrLowerCase(one)[0])) << c;
    EXPECT_EQ(cvExpUpperTable(true)[c],
              static_cast<unsigned char>(kvSysAnsiToOem(cvStrUpperCase(kvSysOemToAnsi(one)))[0]))
        << c;
    EXPECT_EQ(cvExpLowerTable(true)[c],
              static_cast<unsigned char>(kvSysAnsiToOem(cvStrLowerCase(kvSysOemToAnsi(one)))[0]))
        << c;
  }
}

}  // namespace
