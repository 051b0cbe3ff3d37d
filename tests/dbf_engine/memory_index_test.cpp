// Memory indexes: one CDX tag over numbered memory pages.
#include "dbf_engine/index/memory_index.h"

#include "dbf_engine/cdx_test_table.h"

namespace {

class MemoryIndexTest : public CdxTest {};

// ---------------------------------------------------------------------------
// Memory index.

TEST_F(MemoryIndexTest, MemoryIndexHoldsOneTag) {
  {
    CVobjMIXFile m(&table, "mem");
    EXPECT_EQ(m.GetFileName(), "MEM");
    ASSERT_TRUE(m.AddTag("t", "NAME", "", true, false));
    EXPECT_EQ(m.PageCount(), 3);  // header pages 0 and 1, one empty root
    uint8_t b[512];
    EXPECT_TRUE(m.PageRead(2, b, 512));
    EXPECT_EQ(cvLoadLE16(b), 3);
    EXPECT_FALSE(m.PageRead(3, b, 512));
    EXPECT_FALSE(m.PageRead(1, b, 512)) << "page 1 was never written";
    EXPECT_THROW(m.AddTag("t2", "NAME", "", true, false), ECorvidError);
  }
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> pick(0, 300);
  for (int i = 0; i < 2000; ++i) table.Add(Name(pick(rng)), i);
  CVobjMIXFile m(&table, "mem");
  ASSERT_TRUE(m.AddTag("t", "NAME", "", false, false));
  CVobjIndexTag* t = m.TagByNumber(0);
  auto got = Forward(t);
  ASSERT_EQ(got.size(), 2000u);
  // Descending: highest key first, equal keys in falling record order.
  for (size_t i = 1; i < got.size(); ++i) {
    ASSERT_GE(got[i - 1].first, got[i].first);
    if (got[i - 1].first == got[i].first) {
      ASSERT_GT(got[i - 1].second, got[i].second);
    }
  }
  for (int i = 0; i < 500; ++i) Append(m, Name(pick(rng)), i);
  got = Forward(t);
  ASSERT_EQ(got.size(), 2500u);
  for (size_t i = 1; i < got.size(); ++i) {
    ASSERT_GE(got[i - 1].first, got[i].first);
    if (got[i - 1].first == got[i].first) {
      ASSERT_GT(got[i - 1].second, got[i].second);
    }
  }
  EXPECT_GT(m.PageCount(), 20);
}

}  // namespace
