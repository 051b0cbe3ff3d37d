#include "dbf_engine/index/mdx_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
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

std::string Hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Packed decimals

TEST(MdxPacked, HandWorkedValues) {
  // -12.5 = -0.125 * 10^2: exponent byte 54, four digit places and the sign.
  EXPECT_EQ(Hex(MdxPackNumber(-12.5)), "36 91 12 50 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(MdxPackNumber(12.5)), "36 11 12 50 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(MdxPackNumber(0)), "34 01 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(MdxPackNumber(-0.0), MdxPackNumber(0));
  EXPECT_EQ(Hex(MdxPackNumber(0.001)), "32 09 10 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(MdxPackNumber(1e16)), "45 09 10 00 00 00 00 00 00 00 00 00");
  // Eighteen digits are rounded to fifteen.
  EXPECT_EQ(Hex(MdxPackNumber(123456789012345678.0)), "46 41 12 34 56 78 90 12 34 60 00 00");
  EXPECT_EQ(Hex(MdxPackNumber(0.123456789012345678)), "34 41 12 34 56 78 90 12 34 60 00 00");
  EXPECT_EQ(Hex(MdxPackNumber(999999999999999.0)), "43 41 99 99 99 99 99 99 99 90 00 00");
}

TEST(MdxPacked, ValuesComeBackWithFifteenDigits) {
  const double exact[] = {-12.5, 0, 0.001, 1e16, 1, -1, 42, 3.25, 1e-50, -7e100, 123456789012345.0, 0.1};
  for (double v : exact) EXPECT_EQ(MdxUnpackNumber(MdxPackNumber(v), "T"), v) << v;
  EXPECT_EQ(MdxRoundNumber(123456789012345678.0), 123456789012346000.0);
  EXPECT_EQ(MdxRoundNumber(1.0 / 3.0), 0.333333333333333);
  // Below 10^-53 in size: zero.  Infinities: the largest packed value.
  EXPECT_EQ(MdxRoundNumber(1e-60), 0.0);
  EXPECT_EQ(MdxRoundNumber(std::numeric_limits<double>::infinity()), 9.99999999999999e202);
  EXPECT_EQ(MdxRoundNumber(-std::numeric_limits<double>::infinity()), -9.99999999999999e202);
  EXPECT_EQ(MdxRoundNumber(std::nan("")), 0.0);
  // Order is kept by the rounding.
  EXPECT_LT(MdxRoundNumber(1e15), MdxRoundNumber(2e15));
  EXPECT_LT(MdxRoundNumber(-4), MdxRoundNumber(-2.5));
}

TEST(MdxPacked, HostileBytesAreCorrupt) {
  std::string k = MdxPackNumber(-12.5);
  k[2] = static_cast<char>(0x1A);  // digit nibble above 9
  EXPECT_THROW(MdxUnpackNumber(k, "T.MDX"), ECorvidError);
  k = MdxPackNumber(1);
  k[1] = static_cast<char>(0x7F);  // 31 places in 10 bytes
  EXPECT_THROW(MdxUnpackNumber(k, "T.MDX"), ECorvidError);
  EXPECT_THROW(MdxUnpackNumber("short", "T.MDX"), ECorvidError);
}

TEST(MdxDates, DayNumbersAndEmptyDates) {
  EXPECT_EQ(MdxDateValue(MdxDateKey(2451545)), 2451545.0);
  EXPECT_EQ(MdxDateValue(MdxDateKey(0)), kMdxEmptyDate);
}

// ---------------------------------------------------------------------------
// File header and tag table

Bytes NewFileHeader() {
  Bytes g(2048, 0);
  g[0] = 2;
  g[1] = 26;
  g[2] = 12;
  g[3] = 7;
  std::memcpy(&g[4], "PHONES", 6);
  Put16(g, 20, 2);
  Put16(g, 22, 1024);
  g[24] = 1;
  g[25] = 48;
  Put16(g, 26, 32);
  Put32(g, 32, 4);
  g[44] = 26;
  g[45] = 12;
  g[46] = 7;
  return g;
}

MdxFileHeader MakeNew() {
  MdxFileHeader h;
  h.BaseName = "PHONES";
  const uint8_t date[3] = {26, 12, 7};
  std::memcpy(h.Changed, date, 3);
  std::memcpy(h.Created, date, 3);
  return h;
}

TEST(MdxFileHeaderCodec, GoldenNewFileHeader) {
  Bytes out(2048, 0x99);
  MakeNew().EncodeTo(out.data());
  EXPECT_EQ(out, NewFileHeader());
  const MdxFileHeader back = MdxFileHeader::DecodeFrom(NewFileHeader().data(), 2048, "T.MDX");
  EXPECT_EQ(back.BaseName, "PHONES");
  EXPECT_EQ(back.PageSize, 1024);
  EXPECT_EQ(back.BlocksPerPage, 2);
  EXPECT_EQ(back.NextFreeBlock, 4);
  EXPECT_TRUE(back.Tags.empty());
}

TEST(MdxFileHeaderCodec, TagTableIsChainedInListOrder) {
  MdxFileHeader h = MakeNew();
  h.Tags = {{4, "ADDR", 'C'}, {6, "NAME", 'C'}, {8, "TEL", 'N'}};
  Bytes out(2048);
  h.EncodeTo(out.data());
  EXPECT_EQ(out[28], 3);
  EXPECT_EQ(out[512 + 17], 1);  // list head -> entry 1
  const uint8_t e1[] = {4, 0, 0, 0, 'A', 'D', 'D', 'R', 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 'C'};
  EXPECT_EQ(Bytes(out.begin() + 544, out.begin() + 544 + sizeof e1), Bytes(e1, e1 + sizeof e1));
  EXPECT_EQ(out[576 + 17], 3);
  EXPECT_EQ(out[608 + 17], 0);  // last
  EXPECT_EQ(out[608 + 20], 'N');
  const MdxFileHeader back = MdxFileHeader::DecodeFrom(out.data(), 10 * 512, "T");
  ASSERT_EQ(back.Tags.size(), 3u);
  EXPECT_EQ(back.Tags[2].Name, "TEL");
  EXPECT_EQ(back.Tags[2].HeaderBlock, 8);
  EXPECT_EQ(back.Tags[2].KeyType, 'N');
  // The third tag's header page (blocks 8-9) must lie inside the file.
  EXPECT_THROW(MdxFileHeader::DecodeFrom(out.data(), 9 * 512, "T"), ECorvidError);
}

TEST(MdxFileHeaderCodec, LimitsOfTheTagTable) {
  MdxFileHeader h = MakeNew();
  for (int i = 0; i < 47; ++i) h.Tags.push_back({4 + 2 * i, "T" + std::to_string(i), 'C'});
  Bytes out(2048);
  EXPECT_NO_THROW(h.EncodeTo(out.data()));
  EXPECT_EQ(MdxFileHeader::DecodeFrom(out.data(), -1, "T").Tags.size(), 47u);
  h.Tags.push_back({200, "T47", 'C'});  // the 48th would overwrite the first tag page
  EXPECT_THROW(h.EncodeTo(out.data()), ECorvidError);
  out[28] = 48;
  EXPECT_THROW(MdxFileHeader::DecodeFrom(out.data(), -1, "T"), ECorvidError);

  EXPECT_NO_THROW(MdxCheckTagName("ABCDEFGHIJ"));
  EXPECT_THROW(MdxCheckTagName("ABCDEFGHIJK"), ECorvidError);
  EXPECT_THROW(MdxCheckTagName(""), ECorvidError);
  EXPECT_NO_THROW(MdxCheckKeyExpression(std::string(220, 'k')));
  EXPECT_THROW(MdxCheckKeyExpression(std::string(221, 'k')), ECorvidError);
  h.Tags.resize(1);
  h.Tags[0].Name = "ABCDEFGHIJK";
  EXPECT_THROW(h.EncodeTo(out.data()), ECorvidError);
}

TEST(MdxFileHeaderCodec, HostileHeadersAreCorrupt) {
  auto corrupt = [](const Bytes& b) { EXPECT_THROW(MdxFileHeader::DecodeFrom(b.data(), -1, "T"), ECorvidError); };
  Bytes b = NewFileHeader();
  Put16(b, 22, 1000);
  corrupt(b);
  b = NewFileHeader();
  Put16(b, 26, 16);
  corrupt(b);
  b = NewFileHeader();
  std::memset(&b[4], 'x', 16);
  corrupt(b);
  b = NewFileHeader();
  b[28] = 1;  // one tag whose entry is empty
  corrupt(b);
  b[544] = 4;
  std::memset(&b[548], 'N', 11);  // name without its zero
  corrupt(b);
}

// ---------------------------------------------------------------------------
// Tag headers and nodes

TEST(MdxTagHeaderCodec, GoldenTagHeader) {
  MdxTagHeader h = MdxTagHeader::ForKey('C', 10);
  EXPECT_EQ(h.EntryLength, 16);
  EXPECT_EQ(h.MaxKeys, 62);
  EXPECT_EQ(MdxTagHeader::ForKey('N', 0).KeyLength, 12);
  EXPECT_EQ(MdxTagHeader::ForKey('N', 0).EntryLength, 16);
  EXPECT_EQ(MdxTagHeader::ForKey('D', 0).EntryLength, 12);
  EXPECT_EQ(MdxTagHeader::ForKey('D', 0).MaxKeys, 83);
  h.Root = 6;
  h.Unique = true;
  h.Descending = true;
  h.KeyExpr = "NAME";
  h.ChainFirst = h.ChainLast = 6;
  Bytes out(1024, 0x31);
  h.EncodeTo(out.data());
  Bytes g(1024, 0);
  Put32(g, 0, 6);
  g[8] = 0x58;
  g[9] = 'C';
  Put16(g, 12, 10);
  Put16(g, 14, 62);
  Put16(g, 18, 16);
  g[23] = 0x40;
  std::memcpy(&g[24], "NAME", 4);
  g[246] = 1;
  Put32(g, 248, 6);
  Put32(g, 252, 6);
  EXPECT_EQ(out, g);

  const MdxFileHeader file = MakeNew();
  h.ForExpr = "TEL <> ' '";
  h.EncodeTo(out.data());
  const MdxTagHeader back = MdxTagHeader::DecodeFrom(out.data(), file, 8 * 512, "T");
  EXPECT_EQ(back.KeyExpr, "NAME");
  EXPECT_EQ(back.ForExpr, "TEL <> ' '");
  EXPECT_TRUE(back.Unique);
  EXPECT_TRUE(back.Descending);
  EXPECT_EQ(back.MaxKeys, 62);
  EXPECT_THROW(MdxTagHeader::DecodeFrom(out.data(), file, 7 * 512, "T"), ECorvidError);  // root page cut off

  h.KeyExpr = std::string(221, 'K');
  EXPECT_THROW(h.EncodeTo(out.data()), ECorvidError);
  h.KeyExpr = "NAME";
  h.ForExpr = std::string(262, 'F');
  EXPECT_THROW(h.EncodeTo(out.data()), ECorvidError);
}

TEST(MdxTagHeaderCodec, HostileTagHeadersAreCorrupt) {
  const MdxFileHeader file = MakeNew();
  MdxTagHeader h = MdxTagHeader::ForKey('N', 0);
  h.Root = 6;
  h.KeyExpr = "SALARY";
  Bytes good(1024);
  h.EncodeTo(good.data());
  auto corrupt = [&](const Bytes& b) { EXPECT_THROW(MdxTagHeader::DecodeFrom(b.data(), file, -1, "T"), ECorvidError); };
  Bytes b = good;
  b[9] = 'L';
  corrupt(b);
  b = good;
  b[12] = 8;  // numeric keys are 12 bytes
  corrupt(b);
  b = good;
  Put16(b, 14, 64);  // 65 entries of 16 bytes do not fit
  corrupt(b);
  b = good;
  b[0] = 2;  // root inside the file header
  corrupt(b);
  b = good;
  std::memset(&b[24], 'x', 221);
  corrupt(b);
  b = good;
  b[245] = 1;
  std::memset(&b[762], 'y', 262);
  corrupt(b);
  b = good;
  Put32(b, 252, 3);
  corrupt(b);
}

TEST(MdxNodeCodec, LeafSlotAfterTheLastEntryIsCleared) {
  const MdxFileHeader file = MakeNew();
  MdxTagHeader tag = MdxTagHeader::ForKey('C', 10);
  MdxNode leaf;
  leaf.PrevBlock = 6;
  leaf.Entries = {{3, "ADAMS"}, {1, "BAKER"}};
  Bytes page(1024, 0xEE);  // a page that held an interior node before
  leaf.EncodeTo(page.data(), tag);
  const uint8_t expect[] = {2, 0, 0, 0, 6, 0, 0, 0, 3, 0, 0, 0, 'A', 'D', 'A', 'M', 'S', ' ', ' ', ' ', ' ', ' ', 0, 0};
  EXPECT_EQ(Bytes(page.begin(), page.begin() + sizeof expect), Bytes(expect, expect + sizeof expect));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(page[8 + 2 * 16 + i], 0);
  const MdxNode back = MdxNode::DecodeFrom(page.data(), tag, file, -1, "T");
  EXPECT_TRUE(back.IsLeaf());
  ASSERT_EQ(back.Entries.size(), 2u);
  EXPECT_EQ(back.Entries[1].Link, 1);
  EXPECT_EQ(back.Entries[1].Key, "BAKER     ");

  MdxNode inner;
  inner.Entries = {{8, "M"}};
  inner.RightChild = 10;
  inner.EncodeTo(page.data(), tag);
  const MdxNode ib = MdxNode::DecodeFrom(page.data(), tag, file, 12 * 512, "T");
  EXPECT_FALSE(ib.IsLeaf());
  EXPECT_EQ(ib.RightChild, 10);
  EXPECT_THROW(MdxNode::DecodeFrom(page.data(), tag, file, 11 * 512, "T"), ECorvidError);
}

TEST(MdxNodeCodec, HostileNodesAreCorrupt) {
  const MdxFileHeader file = MakeNew();
  MdxTagHeader tag = MdxTagHeader::ForKey('N', 0);
  MdxNode leaf;
  leaf.Entries = {{3, MdxPackNumber(-12.5)}, {1, MdxPackNumber(7)}};
  Bytes good(1024);
  leaf.EncodeTo(good.data(), tag);
  auto corrupt = [&](const Bytes& b) { EXPECT_THROW(MdxNode::DecodeFrom(b.data(), tag, file, -1, "T"), ECorvidError); };
  Bytes b = good;
  b[0] = 63;
  corrupt(b);
  b = good;
  b[3] = 1;  // a huge count
  corrupt(b);
  b = good;
  b[8] = 0;  // record 0
  corrupt(b);
  b = good;
  b[4] = 1;  // chain link into the file header
  corrupt(b);
  b = good;
  b[8 + 32] = 2;  // slot after the last entry names a child inside the header
  corrupt(b);
  EXPECT_EQ(MdxUnpackNumber(MdxNode::DecodeFrom(good.data(), tag, file, -1, "T").Entries[0].Key, "T"), -12.5);
  Bytes zero(1024, 0);
  EXPECT_TRUE(MdxNode::DecodeFrom(zero.data(), tag, file, -1, "T").Entries.empty());
}

}  // namespace
