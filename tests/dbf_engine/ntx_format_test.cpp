#include "dbf_engine/index/ntx_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbf_engine/messages.h"
#include "platform/numbers.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The header of a unique descending C(10) tag on NAME, root at 1024, built
// byte by byte.
Bytes GoldenHeader() {
  Bytes b(1024, 0);
  Put16(b, 0, 6);
  Put16(b, 2, 1);
  Put32(b, 4, 1024);
  Put16(b, 12, 18);
  Put16(b, 14, 10);
  Put16(b, 16, 0);
  Put16(b, 18, 50);
  Put16(b, 20, 25);
  std::memcpy(&b[22], "NAME", 4);
  b[278] = 1;
  b[279] = 1;
  return b;
}

TEST(NtxHeaderCodec, GoldenHeaderForACharacterKeyOfTen) {
  NtxHeader h = NtxHeader::ForKey(10, 0);
  EXPECT_EQ(h.HalfKeys, 25);
  EXPECT_EQ(h.MaxKeys, 50);
  EXPECT_EQ(h.EntryLength, 18);
  h.Root = 1024;
  h.Counter = 1;
  h.KeyExpr = "NAME";
  h.Unique = true;
  h.Descending = true;
  Bytes out(1024, 0xCC);
  h.EncodeTo(out.data());
  EXPECT_EQ(out, GoldenHeader());

  const NtxHeader back = NtxHeader::DecodeFrom(GoldenHeader().data(), 2048, "T.NTX");
  EXPECT_EQ(back.Root, 1024);
  EXPECT_EQ(back.KeyLength, 10);
  EXPECT_EQ(back.MaxKeys, 50);
  EXPECT_EQ(back.HalfKeys, 25);
  EXPECT_EQ(back.KeyExpr, "NAME");
  EXPECT_TRUE(back.Unique);
  EXPECT_TRUE(back.Descending);
  EXPECT_TRUE(back.ForExpr.empty());

  // A FOR expression changes the signature to 7.
  h.ForExpr = "AGE > 3";
  h.EncodeTo(out.data());
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(NtxHeader::DecodeFrom(out.data(), -1, "T").ForExpr, "AGE > 3");
}

TEST(NtxHeaderCodec, DerivedValuesFitAPageForEveryKeyLength) {
  for (int32_t kl = 1; kl <= kNtxMaxKeyLength; ++kl) {
    const NtxHeader h = NtxHeader::ForKey(kl, 0);
    ASSERT_GE(h.MaxKeys, 2) << kl;
    ASSERT_LE(2 + 2 * (h.MaxKeys + 1) + (h.MaxKeys + 1) * h.EntryLength, kNtxPageSize) << kl;
  }
  EXPECT_THROW(NtxHeader::ForKey(0, 0), ECorvidError);
  EXPECT_THROW(NtxHeader::ForKey(257, 0), ECorvidError);
}

TEST(NtxHeaderCodec, CounterRunsFromOneTo32767) {
  EXPECT_EQ(NtxHeader::NextCounter(1), 2);
  EXPECT_EQ(NtxHeader::NextCounter(32766), 32767);
  EXPECT_EQ(NtxHeader::NextCounter(32767), 1);
}

TEST(NtxHeaderCodec, HostileHeadersAreCorrupt) {
  auto corrupt = [](const Bytes& b, int64_t size = -1) {
    EXPECT_THROW(NtxHeader::DecodeFrom(b.data(), size, "T.NTX"), ECorvidError);
  };
  Bytes b = GoldenHeader();
  Put16(b, 0, 5);
  corrupt(b);
  b = GoldenHeader();
  Put32(b, 4, 1000);  // not a page
  corrupt(b);
  b = GoldenHeader();
  Put32(b, 4, 0);
  corrupt(b);
  corrupt(GoldenHeader(), 1024);  // root beyond the file
  b = GoldenHeader();
  Put16(b, 18, 60);  // 60 entries of 18 bytes do not fit a page
  corrupt(b);
  b = GoldenHeader();
  Put16(b, 12, 30);  // entry length != key length + 8
  corrupt(b);
  b = GoldenHeader();
  std::memset(&b[22], 'x', 256);  // key expression without its zero
  corrupt(b);
  b = GoldenHeader();
  b[22] = 0;
  corrupt(b);
  b = GoldenHeader();
  Put16(b, 0, 7);
  std::memset(&b[282], 'y', 1024 - 282);  // FOR expression without its zero
  corrupt(b);
  // Another program's smaller maximum is taken as stored.
  b = GoldenHeader();
  Put16(b, 18, 20);
  Put16(b, 20, 10);
  EXPECT_EQ(NtxHeader::DecodeFrom(b.data(), -1, "T").MaxKeys, 20);
}

TEST(NtxPageCodec, WrittenLayoutAndShuffledOffsets) {
  const NtxHeader h = NtxHeader::ForKey(10, 0);
  NtxPage leaf;
  leaf.Entries = {{0, 3, "ADAMS"}, {0, 1, "BAKER"}};
  Bytes page(1024, 0xEE);
  leaf.EncodeTo(page.data(), h);
  // Offsets: the i-th is i * 18 + 52 * 2.
  EXPECT_EQ(page[0], 2);
  EXPECT_EQ(page[2] | page[3] << 8, 104);
  EXPECT_EQ(page[4] | page[5] << 8, 122);
  EXPECT_EQ(page[102] | page[103] << 8, 104 + 50 * 18);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&page[104 + 8]), 10), "ADAMS     ");
  EXPECT_EQ(page[104 + 4], 3);

  // Another program swaps the two offsets instead of moving the entries.
  Bytes shuffled = page;
  std::swap(shuffled[2], shuffled[4]);
  std::swap(shuffled[3], shuffled[5]);
  const NtxPage back = NtxPage::DecodeFrom(shuffled.data(), h, -1, "T");
  ASSERT_EQ(back.Entries.size(), 2u);
  EXPECT_EQ(back.Entries[0].Key, "BAKER     ");
  EXPECT_EQ(back.Entries[0].RecNo, 1);
  EXPECT_TRUE(back.IsLeaf());

  NtxPage inner;
  inner.Entries = {{2048, 7, "M"}};
  inner.RightChild = 3072;
  inner.EncodeTo(page.data(), h);
  const NtxPage ib = NtxPage::DecodeFrom(page.data(), h, 4096, "T");
  EXPECT_FALSE(ib.IsLeaf());
  EXPECT_EQ(ib.RightChild, 3072);
  EXPECT_EQ(ib.Entries[0].Child, 2048);
  EXPECT_THROW(NtxPage::DecodeFrom(page.data(), h, 3072, "T"), ECorvidError);  // child past the end

  // An empty all-zero root page is an empty leaf.
  Bytes zero(1024, 0);
  const NtxPage empty = NtxPage::DecodeFrom(zero.data(), h, -1, "T");
  EXPECT_TRUE(empty.Entries.empty());
  EXPECT_TRUE(empty.IsLeaf());
  // One key with no offsets is not.
  zero[0] = 1;
  EXPECT_THROW(NtxPage::DecodeFrom(zero.data(), h, -1, "T"), ECorvidError);
}

TEST(NtxPageCodec, HostilePagesAreCorrupt) {
  const NtxHeader h = NtxHeader::ForKey(10, 0);
  NtxPage leaf;
  leaf.Entries = {{0, 3, "ADAMS"}, {0, 1, "BAKER"}};
  Bytes good(1024);
  leaf.EncodeTo(good.data(), h);
  auto corrupt = [&](const Bytes& b) { EXPECT_THROW(NtxPage::DecodeFrom(b.data(), h, -1, "T"), ECorvidError); };
  Bytes b = good;
  b[0] = 51;  // above the maximum
  corrupt(b);
  b = good;
  b[2] = 10;  // offset into the offset table
  b[3] = 0;
  corrupt(b);
  b = good;
  b[2] = 0xFF;  // offset past the page
  b[3] = 0x03;
  corrupt(b);
  b = good;
  b[4] = b[2];  // two slots on one entry
  b[5] = b[3];
  corrupt(b);
  b = good;
  b[104 + 4] = 0;  // record number 0 in a leaf
  corrupt(b);
  b = good;
  b[104] = 0x01;  // a child that is no page, in an interior page
  corrupt(b);
  NtxPage over;
  over.Entries.assign(51, NtxEntry{0, 1, "X"});
  EXPECT_THROW(over.EncodeTo(b.data(), h), ECorvidError);
}

TEST(NtxKeys, NumericTextUsesAPointAndMapsNegativeDigits) {
  FormatSettingsGuard guard(',', ' ');
  EXPECT_EQ(NtxNumericKey(5, 6, 2), "005.00");
  // -5 in N(6,2): "  5.00" -> "005.00" -> each digit d becomes code 92 - d.
  EXPECT_EQ(NtxNumericKey(-5, 6, 2), ",,'.,,");
  EXPECT_EQ(NtxNumericKey(-0.001, 6, 2), "000.00");  // shows as zero
  EXPECT_EQ(NtxNumericKey(123, 4, 0), "0123");
  EXPECT_EQ(NtxNumericKey(1.5, 18, 4), "0000000000001.5000");
  EXPECT_EQ(NtxNumericKey(123456, 6, 2), "999.99");  // too wide: the widest the field holds
  EXPECT_EQ(NtxNumericKey(-123456, 6, 2), "###.##");

  const double ordered[] = {-999, -5, -4.99, -1, -0.01, 0, 0.01, 1, 4.99, 5, 999};
  for (size_t i = 0; i + 1 < std::size(ordered); ++i)
    EXPECT_LT(NtxNumericKey(ordered[i], 6, 2), NtxNumericKey(ordered[i + 1], 6, 2)) << ordered[i];
  for (double v : ordered) EXPECT_DOUBLE_EQ(NtxNumericValue(NtxNumericKey(v, 6, 2)), v);
}

TEST(NtxKeys, DateText) {
  EXPECT_EQ(NtxDateKey(2451545), "20000101");
  EXPECT_EQ(NtxDateKey(0), "00000000");
  EXPECT_EQ(NtxDateKey(-3), "00000000");
}

}  // namespace
