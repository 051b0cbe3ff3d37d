#include "dbf_engine/huge_set.h"

#include <gtest/gtest.h>

namespace {

TEST(TcvHugeSetTest, PageBoundary) {
  TcvHugeSet s;
  EXPECT_EQ(s.Highest(), -1);
  EXPECT_EQ(s.BitCapacity(), 0);
  s.ChangeBit(131071, TcvHugeSet::opSet);
  EXPECT_EQ(s.PageCount(), 1);
  EXPECT_EQ(s.BitCapacity(), 131072);
  EXPECT_TRUE(s.BitValue(131071));
  EXPECT_FALSE(s.BitValue(131072));
  s.ChangeBit(131072, TcvHugeSet::opSet);
  EXPECT_EQ(s.PageCount(), 2);
  EXPECT_EQ(s.BitCapacity(), 262144);
  EXPECT_TRUE(s.BitValue(131072));
  EXPECT_FALSE(s.BitValue(131070));
  EXPECT_FALSE(s.BitValue(131073));
  EXPECT_EQ(s.Highest(), 131072);
}

TEST(TcvHugeSetTest, OpsHighestAndClearKeepsPages) {
  TcvHugeSet s;
  s.ChangeBit(200000, TcvHugeSet::opClear);  // two zero pages, highest moves
  EXPECT_EQ(s.PageCount(), 2);
  EXPECT_EQ(s.Highest(), 200000);
  EXPECT_FALSE(s.BitValue(200000));
  s.ChangeBit(5, TcvHugeSet::opToggle);
  EXPECT_TRUE(s.BitValue(5));
  s.ChangeBit(5, TcvHugeSet::opToggle);
  EXPECT_FALSE(s.BitValue(5));
  s.ChangeBit(6, 7);  // unknown op: no bit, but highest stays the max
  EXPECT_FALSE(s.BitValue(6));
  EXPECT_EQ(s.Highest(), 200000);
  s.ChangeBit(8, TcvHugeSet::opSet);
  s.ChangeBit(15, TcvHugeSet::opSet);
  s.Clear();
  EXPECT_EQ(s.PageCount(), 2);
  EXPECT_EQ(s.Highest(), -1);
  EXPECT_FALSE(s.BitValue(8));
  // a bit above highest is false even inside an existing page
  s.ChangeBit(10, TcvHugeSet::opSet);
  EXPECT_FALSE(s.BitValue(11));
  EXPECT_FALSE(s.BitValue(15));
}

TEST(TcvHugeSetTest, NegativeRecordNumbersAreIgnored) {
  TcvHugeSet s;
  s.ChangeBit(-1, TcvHugeSet::opSet);
  s.ChangeBit(INT32_MIN, TcvHugeSet::opSet);
  EXPECT_EQ(s.PageCount(), 0);
  EXPECT_EQ(s.Highest(), -1);
  EXPECT_FALSE(s.BitValue(-1));
  s.ChangeBit(3, TcvHugeSet::opSet);
  EXPECT_FALSE(s.BitValue(-5));
}

TEST(TcvHugeSetTest, BitLayoutWithinBytes) {
  // every bit of a byte is its own: setting 0..7 one at a time
  TcvHugeSet s;
  for (int r = 0; r < 16; r += 2) s.ChangeBit(r, TcvHugeSet::opSet);
  for (int r = 0; r < 16; ++r) EXPECT_EQ(s.BitValue(r), r % 2 == 0) << r;
}

}  // namespace
