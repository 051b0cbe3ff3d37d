// The page slots an index tag keeps its nodes in: every page put in is found
// again with its node, through growth and long probe runs, and nothing else
// is found.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

#include "dbf_engine/index/page_slots.h"

TEST(PageSlots, FindsWhatWasPutInThroughGrowthAndCollisions) {
  CVobjPageSlots<int> slots;
  std::map<int32_t, int> model;
  std::mt19937 rng(3);
  EXPECT_EQ(slots.Find(512), nullptr);
  for (int i = 0; i < 5000; ++i) {
    // Page offsets share their low bits (multiples of 512), block numbers
    // are small and dense: both kinds, and repeats.
    const int32_t page =
        i % 3 == 0 ? static_cast<int32_t>(1 + rng() % 4000) : static_cast<int32_t>(512 * (1 + rng() % 4000));
    std::unique_ptr<int>* slot = slots.Insert(page);
    ASSERT_NE(slot, nullptr);
    if (model.count(page)) {
      ASSERT_NE(*slot, nullptr);
      ASSERT_EQ(**slot, model[page]);
    } else {
      ASSERT_EQ(*slot, nullptr);
      *slot = std::make_unique<int>(i);
      model[page] = i;
    }
  }
  EXPECT_EQ(slots.Size(), model.size());
  for (const auto& [page, value] : model) {
    std::unique_ptr<int>* slot = slots.Find(page);
    ASSERT_NE(slot, nullptr) << page;
    ASSERT_EQ(**slot, value) << page;
  }
  for (int32_t page : {0, -512, 512 * 4001 + 512, 4001}) {
    if (!model.count(page)) {
      EXPECT_EQ(slots.Find(page), nullptr) << page;
    }
  }
  // A slot emptied by taking its node stays, and takes the node back.
  const int32_t some = model.begin()->first;
  std::unique_ptr<int> taken = std::move(*slots.Find(some));
  EXPECT_EQ(*slots.Find(some), nullptr);
  *slots.Insert(some) = std::move(taken);
  EXPECT_EQ(**slots.Find(some), model.begin()->second);
  EXPECT_EQ(slots.Size(), model.size());
  slots.Clear();
  EXPECT_TRUE(slots.Empty());
  EXPECT_EQ(slots.Find(some), nullptr);
}
