// Width and decimals a compiled key takes from a numeric field, and the NTX
// numeric key built from them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table_test_util.h"

namespace {

// AMT N(6,2), CNT N(8,0), RATE F(10,3), NAME C(10).
std::string MakeTable(const TempDir& dir) {
  const std::string file = dir / "money.dbf";
  const bool ok = cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& len, int32_t& dec) {
    if (i == 1) n = "AMT", t = "N", len = 6, dec = 2;
    if (i == 2) n = "CNT", t = "N", len = 8, dec = 0;
    if (i == 3) n = "RATE", t = "F", len = 10, dec = 3;
    if (i == 4) n = "NAME", t = "C", len = 10, dec = 0;
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  for (double v : {3.5, -5.25, 0.0, 12.75}) {
    h.cvBlank();
    h.cvNumberPut("AMT", v);
    h.cvNumberPut("CNT", 1);
    h.cvStringPut("NAME", "X");
    h.cvAppend();
  }
  h.cvCloseTable();
  return file;
}

std::vector<uint8_t> Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

}  // namespace

TEST(KeyWidth, FieldGivesWidthAndDecimalsToTheCompiledKey) {
  TempDir dir;
  CVO_dBHandler h(MakeTable(dir), "", false, false);
  struct Want {
    const char* text;
    int32_t widest, decimals, operands;
  };
  for (const Want& w : {Want{"AMT", 6, 2, 1}, Want{"CNT", 8, 0, 1}, Want{"RATE", 10, 3, 1}, Want{"NAME", 10, 0, 1},
                        Want{"CNT + AMT", 8, 2, 2}, Want{"AMT * 1.125", 6, 3, 2}}) {
    SCOPED_TRACE(w.text);
    TcvExpHandler e(h.cvExpLink(), w.text);
    EXPECT_EQ(e.Widest, w.widest);
    EXPECT_EQ(e.MostDecimals, w.decimals);
    EXPECT_EQ(e.OperandCount, w.operands);
  }
}

TEST(KeyWidth, NtxKeyOnOneNumericFieldKeepsItsDecimals) {
  TempDir dir;
  const std::string table = MakeTable(dir);
  {
    CVO_dBHandler h(table, "", true, false);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndexTo(dir / "amt.ntx", "", "AMT", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
    h.cvCloseTable();
  }
  const auto b = Bytes(dir / "amt.ntx");
  ASSERT_GE(b.size(), 1024u);
  EXPECT_EQ(b[14] | (b[15] << 8), 6);  // key length
  EXPECT_EQ(b[16] | (b[17] << 8), 2);  // decimals
  // Keys are the field's own text, zero filled: "003.50", not "000004".
  EXPECT_TRUE(Contains(b, "003.50"));
  EXPECT_TRUE(Contains(b, "012.75"));
  EXPECT_FALSE(Contains(b, "000004"));

  // The table walks the index in value order.
  CVO_dBHandler h(table, "", false, false);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndex(dir / "amt.ntx", ""), 0);
  h.cvIndexOrder(1);
  ASSERT_NE(h.cvActiveTag(), nullptr);
  std::vector<long double> order;
  for (h.cvGetRec(cvReadTop); !h.cvEOF(); h.cvGetRec(cvReadNext)) order.push_back(h.cvNumberGet("AMT"));
  EXPECT_EQ(order, (std::vector<long double>{-5.25, 0.0, 3.5, 12.75}));
}
