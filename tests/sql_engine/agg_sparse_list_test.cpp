// Aggregate sparse list and the sparse table under it.
#include <gtest/gtest.h>

#include <vector>

#include "platform/exceptions.h"
#include "platform/variant.h"
#include "sql_engine/front/agg_sparse_list.h"

TEST(AggSparseList, EntriesAppearOnlyWhenWritten) {
  TAggSparseList list(1000);
  EXPECT_FALSE(list.HasData(7));
  EXPECT_TRUE(list.Get(7).SameAs(Variant(int32_t{0})));
  EXPECT_EQ(list.GetSqr(7), 0);
  EXPECT_EQ(list.GetCount(7), 0);
  EXPECT_FALSE(list.HasData(7));  // reading creates nothing

  list.PutCount(5, 3);
  EXPECT_TRUE(list.HasData(5));
  EXPECT_TRUE(list.Get(5).SameAs(Variant(int32_t{0})));
  EXPECT_EQ(list.GetCount(5), 3);
  list.PutSqr(5, 2.5);
  list.Put(5, Variant(12.5));
  EXPECT_TRUE(list.Get(5).SameAs(Variant(12.5)));
  EXPECT_EQ(list.GetSqr(5), 2.5);
  EXPECT_EQ(list.GetCount(5), 3);
  // Far indexes (another block of the table) live beside near ones.
  list.Put(100000, Variant("x"));
  EXPECT_TRUE(list.Get(100000).SameAs(Variant("x")));
  EXPECT_FALSE(list.HasData(99999));
}

TEST(AggSparseList, NullIntoNewEntryIsZero) {
  TAggSparseList list(10);
  list.Put(1, Variant::Null());
  EXPECT_TRUE(list.HasData(1));
  EXPECT_TRUE(list.Get(1).SameAs(Variant(int32_t{0})));
  list.Put(1, Variant::Null());
  EXPECT_TRUE(list.Get(1).IsNull());
}

TEST(AggSparseList, DeleteMovesLaterEntriesDown) {
  TAggSparseList list(10);
  for (int32_t i = 1; i <= 3; ++i) list.PutCount(i, i * 10);
  list.Delete(2);
  EXPECT_EQ(list.GetCount(1), 10);
  EXPECT_EQ(list.GetCount(2), 30);
  EXPECT_FALSE(list.HasData(3));
  // At or beyond the count: nothing.
  list.Delete(3);
  list.Delete(50);
  EXPECT_EQ(list.GetCount(1), 10);
  EXPECT_EQ(list.GetCount(2), 30);
  // Deleting an empty position still closes the gap.
  list.PutCount(5, 50);
  list.Delete(0);
  EXPECT_EQ(list.GetCount(0), 10);
  EXPECT_EQ(list.GetCount(1), 30);
  EXPECT_EQ(list.GetCount(4), 50);
  EXPECT_FALSE(list.HasData(5));
  list.Clear();
  EXPECT_FALSE(list.HasData(0));
  list.PutCount(0, 1);  // usable after Clear
  EXPECT_EQ(list.GetCount(0), 1);
}

TEST(AggSparseList, NegativeIndexIsAListError) {
  TAggSparseList list(10);
  EXPECT_THROW(list.Get(-1), EListError);
  EXPECT_THROW(list.PutCount(-1, 1), EListError);
  try {
    list.HasData(-5);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List Index Error!");
  }
}

TEST(SparsePointerArray, HighBoundCacheAndWalk) {
  int a = 1, b = 2, c = 3;
  TSparsePointerArray arr(SPASmall);
  EXPECT_EQ(arr.HighBound(), -1);
  arr.PutAt(40, nullptr);  // no block there: nothing made
  EXPECT_EQ(arr.HighBound(), -1);
  arr.PutAt(3, &a);
  arr.PutAt(17, &b);
  arr.PutAt(40, &c);
  EXPECT_EQ(arr.HighBound(), 40);
  EXPECT_EQ(arr.GetAt(17), &b);
  EXPECT_EQ(arr.GetAt(17), &b);  // from the cache
  arr.PutAt(17, &c);             // a write invalidates it
  EXPECT_EQ(arr.GetAt(17), &c);
  arr.PutAt(40, nullptr);
  EXPECT_EQ(arr.HighBound(), 17);
  std::vector<int32_t> seen;
  EXPECT_EQ(arr.ForAll([&](int32_t i, void*) {
    seen.push_back(i);
    return 0;
  }),
            0);
  EXPECT_EQ(seen, (std::vector<int32_t>{3, 17}));
  EXPECT_EQ(arr.ForAll([](int32_t i, void*) { return i == 17 ? 9 : 0; }), 9);
}

TEST(SparseList, CountFollowsHighestEntry) {
  int a = 1;
  TSparseList list(SPALarge);
  list.Put(300, &a);
  EXPECT_EQ(list.Count(), 301);
  list.Put(300, nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Put(-1, &a), EListError);
}
