#include "dbf_engine/index/ndx_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbf_engine/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Block 0 of a numeric tag on SALARY: root 1, next free 2.
Bytes NumericHeader() {
  Bytes b(512, 0);
  Put32(b, 0, 1);
  Put32(b, 4, 2);
  Put16(b, 12, 8);
  Put16(b, 14, 25);
  Put16(b, 16, 1);
  Put16(b, 18, 20);
  std::memcpy(&b[24], "SALARY", 6);
  return b;
}

TEST(NdxHeaderCodec, GoldenHeaders) {
  NdxHeader h = NdxHeader::ForKey('N', 0);
  EXPECT_EQ(h.KeyLength, 8);
  EXPECT_EQ(h.EntryLength, 20);
  EXPECT_EQ(h.MaxKeys, 25);
  h.Root = 1;
  h.NextFree = 2;
  h.KeyExpr = "SALARY";
  Bytes out(512, 0xAB);
  h.EncodeTo(out.data());
  EXPECT_EQ(out, NumericHeader());

  // C(10), unique: entry 18 rounded up to 20, 25 to a node.
  NdxHeader c = NdxHeader::ForKey('C', 10);
  EXPECT_EQ(c.EntryLength, 20);
  EXPECT_EQ(c.MaxKeys, 25);
  c.Root = 1;
  c.NextFree = 2;
  c.Unique = true;
  c.KeyExpr = "NAME";
  c.EncodeTo(out.data());
  Bytes g(512, 0);
  Put32(g, 0, 1);
  Put32(g, 4, 2);
  Put16(g, 12, 10);
  Put16(g, 14, 25);
  Put16(g, 18, 20);
  g[23] = 1;
  std::memcpy(&g[24], "NAME", 4);
  EXPECT_EQ(out, g);

  const NdxHeader d = NdxHeader::ForKey('D', 0);
  EXPECT_EQ(d.KeyLength, 8);
  EXPECT_EQ(d.EntryLength, 16);
  EXPECT_EQ(d.MaxKeys, 31);
  EXPECT_EQ(d.KeyType, 1);
}

TEST(NdxHeaderCodec, ForeignEntryLengthAndMaximumAreReadAsStored) {
  Bytes b = NumericHeader();
  Put16(b, 18, 24);  // another program pads numeric entries to 24 bytes
  Put16(b, 14, 21);
  const NdxHeader h = NdxHeader::DecodeFrom(b.data(), 1024, "T.NDX");
  EXPECT_EQ(h.EntryLength, 24);
  EXPECT_EQ(h.MaxKeys, 21);
  EXPECT_EQ(h.KeyBytes(), 8);
  EXPECT_EQ(h.KeyExpr, "SALARY");
}

TEST(NdxHeaderCodec, HostileHeadersAreCorrupt) {
  auto corrupt = [](const Bytes& b, int64_t size = -1) {
    EXPECT_THROW(NdxHeader::DecodeFrom(b.data(), size, "T.NDX"), ECorvidError);
  };
  Bytes b = NumericHeader();
  Put32(b, 0, 0);  // root in the header block
  corrupt(b);
  corrupt(NumericHeader(), 512);  // root past the end
  b = NumericHeader();
  Put16(b, 16, 2);
  corrupt(b);
  b = NumericHeader();
  Put16(b, 14, 26);  // 26 * 20 > 504
  corrupt(b);
  b = NumericHeader();
  Put16(b, 18, 12);  // entry shorter than link, record and key
  corrupt(b);
  b = NumericHeader();
  Put16(b, 12, 10);  // numeric keys are 8 bytes
  corrupt(b);
  b = NumericHeader();
  std::memset(&b[24], 'x', 488);
  corrupt(b);
  b = NumericHeader();
  b[24] = 0;
  corrupt(b);
}

TEST(NdxNodeCodec, FullInteriorNodeStaysInsideItsBlock) {
  NdxHeader h = NdxHeader::ForKey('N', 0);
  NdxNode node;
  for (int i = 0; i < 25; ++i) node.Entries.push_back({i + 2, 0, NdxNumericKey(i)});
  node.RightChild = 40;
  Bytes block(512 + 16, 0x77);  // guard bytes after the block
  node.EncodeTo(block.data(), h);
  for (size_t i = 512; i < block.size(); ++i) EXPECT_EQ(block[i], 0x77) << i;
  EXPECT_EQ(block[0], 25);
  EXPECT_EQ(block[4 + 25 * 20], 40);  // the rightmost child
  const NdxNode back = NdxNode::DecodeFrom(block.data(), h, 41 * 512, "T");
  ASSERT_EQ(back.Entries.size(), 25u);
  EXPECT_FALSE(back.IsLeaf());
  EXPECT_EQ(back.RightChild, 40);
  EXPECT_EQ(NdxKeyValue(back.Entries[24].Key), 24.0);
  EXPECT_THROW(NdxNode::DecodeFrom(block.data(), h, 40 * 512, "T"), ECorvidError);  // child 40 past the end
}

TEST(NdxNodeCodec, LeavesAndHostileNodes) {
  NdxHeader h = NdxHeader::ForKey('C', 10);
  NdxNode leaf;
  leaf.Entries = {{0, 4, "ADAMS"}, {0, 2, "BAKER"}};
  Bytes block(512);
  leaf.EncodeTo(block.data(), h);
  const uint8_t expect[] = {2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 'A', 'D', 'A', 'M', 'S', ' ', ' ', ' ', ' ', ' ', 0, 0};
  EXPECT_EQ(Bytes(block.begin(), block.begin() + sizeof expect), Bytes(expect, expect + sizeof expect));
  const NdxNode back = NdxNode::DecodeFrom(block.data(), h, -1, "T");
  EXPECT_TRUE(back.IsLeaf());
  EXPECT_EQ(back.Entries[1].Key, "BAKER     ");
  EXPECT_EQ(back.Entries[1].RecNo, 2);

  Bytes zero(512, 0);
  EXPECT_TRUE(NdxNode::DecodeFrom(zero.data(), h, -1, "T").Entries.empty());

  Bytes b = block;
  b[0] = 26;
  EXPECT_THROW(NdxNode::DecodeFrom(b.data(), h, -1, "T"), ECorvidError);
  b = block;
  b[2] = 1;  // count of 65538 in the 32-bit field
  EXPECT_THROW(NdxNode::DecodeFrom(b.data(), h, -1, "T"), ECorvidError);
  b = block;
  b[8] = 0;  // record 0 in a leaf
  EXPECT_THROW(NdxNode::DecodeFrom(b.data(), h, -1, "T"), ECorvidError);
  b = block;
  b[24] = 9;  // second entry claims a child: leaf and interior mixed
  EXPECT_THROW(NdxNode::DecodeFrom(b.data(), h, -1, "T"), ECorvidError);
}

TEST(NdxKeys, NumbersAndDates) {
  EXPECT_EQ(NdxKeyValue(NdxNumericKey(-2.5)), -2.5);
  const std::string one = NdxNumericKey(1.0);
  EXPECT_EQ(static_cast<uint8_t>(one[7]), 0x3F);  // little-endian double
  EXPECT_EQ(static_cast<uint8_t>(one[6]), 0xF0);
  EXPECT_EQ(NdxKeyValue(NdxDateKey(0)), kNdxEmptyDate);
  EXPECT_EQ(NdxKeyValue(NdxDateKey(2451545)), 2451545.0);
  EXPECT_GT(NdxKeyValue(NdxDateKey(0)), NdxKeyValue(NdxDateKey(5373484)));  // empty dates sort last
  EXPECT_EQ(NdxNumericKey(-0.0), NdxNumericKey(0.0));
}

}  // namespace
