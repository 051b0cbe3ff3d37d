#include "dbf_engine/huge_set.h"

#include <gtest/gtest.h>

#include <random>

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

// NextSet skips clear runs by words; stepping bit by bit with BitValue is
// the plain road.  Both must name the same next bit from every start, over
// sets dense and sparse, across page and word edges, and above the highest
// changed bit (where a page may still hold room).
TEST(TcvHugeSetTest, NextSetAgreesWithStepping) {
  std::mt19937 rng(2026);
  auto stepped = [](const TcvHugeSet& s, int32_t from) {
    for (int32_t r = std::max(from, 0); r <= s.Highest(); ++r)
      if (s.BitValue(r)) return r;
    return -1;
  };
  for (int round = 0; round < 40; ++round) {
    TcvHugeSet s;
    const int32_t span = round % 2 ? 300000 : 2000;  // several pages, or part of one
    const int bits = static_cast<int>(rng() % 40);
    for (int i = 0; i < bits; ++i) s.ChangeBit(static_cast<int32_t>(rng() % span), TcvHugeSet::opSet);
    if (round % 3 == 0)
      s.ChangeBit(static_cast<int32_t>(rng() % span), TcvHugeSet::opClear);  // highest over a clear bit
    if (round % 5 == 0) {
      s.Clear();
      s.ChangeBit(static_cast<int32_t>(rng() % 500), TcvHugeSet::opSet);
    }
    std::vector<int32_t> starts = {-7, 0, 1, 63, 64, 65, 131071, 131072, 131073, s.Highest(), s.Highest() + 1};
    for (int i = 0; i < 60; ++i) starts.push_back(static_cast<int32_t>(rng() % (span + 10)));
    for (int32_t from : starts) ASSERT_EQ(s.NextSet(from), stepped(s, from)) << "round " << round << " from " << from;
  }
  TcvHugeSet empty;
  EXPECT_EQ(empty.NextSet(0), -1);
}

}  // namespace
