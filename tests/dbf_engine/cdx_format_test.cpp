#include "dbf_engine/index/cdx_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dbf_engine/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

const CdxPageCheck kAnyOffset{-1, false, "T.CDX"};

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

bool LessBytes(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

// ---------------------------------------------------------------------------
// Leaf parameters and the leaf codec

TEST(CdxLeafParams, BitWidthsFollowKeyLengthAndRecordCount) {
  // 1-byte keys: one bit per count, 22 bits of record number in 3 bytes.
  CdxLeafParams p = CdxLeafParams::For(1, 4194303);
  EXPECT_EQ(p.EntryBytes, 3);
  EXPECT_EQ(p.RecBits, 22);
  EXPECT_EQ(p.RecMask, 0x3FFFFFu);
  EXPECT_EQ(p.DupBits, 1);
  EXPECT_EQ(p.DupMask, 1);
  p = CdxLeafParams::For(1, 4194304);
  EXPECT_EQ(p.EntryBytes, 4);
  EXPECT_EQ(p.RecBits, 30);
  EXPECT_EQ(p.RecMask, 0x3FFFFFFFu);

  // 10-byte keys: 4 bits per count, 16 bits of record number.
  p = CdxLeafParams::For(10, 65535);
  EXPECT_EQ(p.EntryBytes, 3);
  EXPECT_EQ(p.RecMask, 0xFFFFu);
  EXPECT_EQ(p.TrailMask, 15);
  EXPECT_EQ(CdxLeafParams::For(10, 65536).EntryBytes, 4);

  // 240-byte keys: 8 bits per count leave 8 bits of record number.
  p = CdxLeafParams::For(240, 255);
  EXPECT_EQ(p.EntryBytes, 3);
  EXPECT_EQ(p.RecMask, 0xFFu);
  p = CdxLeafParams::For(240, 256);
  EXPECT_EQ(p.EntryBytes, 4);
  EXPECT_EQ(p.RecMask, 0xFFFFu);

  // The mask never passes 0x7FFFFFFF.
  p = CdxLeafParams::For(1, 0x7FFFFFFF);
  EXPECT_EQ(p.RecMask, 0x7FFFFFFFu);
  EXPECT_EQ(p.RecBits, 31);
  EXPECT_EQ(p.EntryBytes, 5);

  EXPECT_THROW(CdxLeafParams::For(0, 10), ECorvidError);
  EXPECT_THROW(CdxLeafParams::For(241, 10), ECorvidError);
}

// Fills a leaf with sorted random keys until the next would not fit.
std::vector<CdxLeafEntry> FillLeaf(std::mt19937& rng, int32_t keyLength, int64_t maxRecord, CdxKeyKind kind,
                                   const CdxLeafParams& params) {
  std::uniform_int_distribution<int> len(0, keyLength);
  std::uniform_int_distribution<int> byte(0x21, 0xFF);
  std::uniform_int_distribution<int64_t> rec(0, maxRecord);
  std::vector<std::string> keys;
  for (int i = 0; i < 400; ++i) {
    std::string k(static_cast<size_t>(len(rng)), 'A');
    // Few distinct leading bytes so neighbours share prefixes.
    for (size_t j = 0; j < k.size(); ++j) k[j] = static_cast<char>(j < 2 ? 'A' + rng() % 3 : byte(rng));
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end(), LessBytes);
  std::vector<CdxLeafEntry> out;
  for (const std::string& k : keys) {
    CdxLeafEntry e{k, static_cast<int32_t>(out.size() % 3 == 0 ? maxRecord : rec(rng))};
    out.push_back(e);
    if (CdxLeafNode::Measure(out, 0, out.size(), keyLength, kind, params) > kCdxLeafSpace) {
      out.pop_back();
      break;
    }
  }
  return out;
}

TEST(CdxLeafCodec, RoundTripsEveryKeyLengthAcrossMaskBoundaries) {
  std::mt19937 rng(7);
  uint8_t node[kCdxBlockSize];
  for (int32_t kl = 1; kl <= kCdxMaxKeyLength; ++kl) {
    const CdxLeafParams small = CdxLeafParams::For(kl, 1);
    std::vector<int64_t> counts;
    for (uint64_t mask = small.RecMask; mask < 0x7FFFFFFFu; mask = mask * 256 + 255) {
      counts.push_back(static_cast<int64_t>(mask));
      counts.push_back(static_cast<int64_t>(mask) + 1);
    }
    counts.push_back(0x7FFFFFFF);
    for (int64_t maxRecord : counts) {
      const CdxLeafParams params = CdxLeafParams::For(kl, maxRecord);
      ASSERT_GE(params.RecMask, std::min<int64_t>(maxRecord, 0x7FFFFFFF));
      CdxLeafNode leaf;
      leaf.Header = CdxNodeHeader{kCdxAttrLeaf, 0, 1024, 2048};
      leaf.Params = params;
      leaf.Entries = FillLeaf(rng, kl, std::min<int64_t>(maxRecord, 0x7FFFFFFF), CdxKeyKind::Character, params);
      std::memset(node, 0xEE, sizeof node);
      leaf.EncodeTo(node, kl, CdxKeyKind::Character);
      const CdxLeafNode back = CdxLeafNode::DecodeFrom(node, kl, CdxKeyKind::Character, kAnyOffset);
      ASSERT_EQ(back.Params, params) << "key length " << kl;
      ASSERT_EQ(back.Header.Left, 1024);
      ASSERT_EQ(back.Header.Right, 2048);
      ASSERT_EQ(back.Entries.size(), leaf.Entries.size()) << "key length " << kl;
      for (size_t i = 0; i < leaf.Entries.size(); ++i) {
        ASSERT_EQ(back.Entries[i].Key, leaf.Entries[i].Key) << "key length " << kl << " entry " << i;
        ASSERT_EQ(back.Entries[i].RecNo, leaf.Entries[i].RecNo) << "key length " << kl << " entry " << i;
      }
    }
  }
}

// A character key ends at its first zero byte.  Keys share their leading
// bytes with the key before them, so a zero may come from the shared part,
// from the bytes of the key itself, or go away when a key shares less.
TEST(CdxLeafCodec, CharacterKeysEndAtAZeroWhereverItLies) {
  const int32_t kl = 8;
  const std::string stored[] = {std::string("AB\0CD", 5), std::string("AB\0CE", 5),
                                std::string("AB\0D", 4),  "ABC",
                                std::string("ABC\0", 4),  "ABCD",
                                std::string("B\0", 2),    "BC"};
  const std::string memory[] = {"AB", "AB", "AB", "ABC", "ABC", "ABCD", "B", "BC"};
  CdxLeafNode leaf;
  leaf.Header = CdxNodeHeader{kCdxAttrLeaf, 0, -1, -1};
  leaf.Params = CdxLeafParams::For(kl, 100);
  int32_t rec = 1;
  for (const std::string& k : stored) leaf.Entries.push_back({k, rec++});
  uint8_t node[kCdxBlockSize];
  leaf.EncodeTo(node, kl, CdxKeyKind::Character);
  const CdxLeafNode back = CdxLeafNode::DecodeFrom(node, kl, CdxKeyKind::Character, kAnyOffset);
  ASSERT_EQ(back.Entries.size(), std::size(memory));
  for (size_t i = 0; i < std::size(memory); ++i) {
    EXPECT_EQ(back.Entries[i].Key, memory[i]) << "entry " << i;
    EXPECT_EQ(back.Entries[i].RecNo, static_cast<int32_t>(i + 1));
  }
}

TEST(CdxLeafCodec, RecordNumberAboveTheMaskIsRefused) {
  CdxLeafNode leaf;
  leaf.Params = CdxLeafParams::For(1, 100);
  leaf.Entries = {{"A", 0x400000}};
  uint8_t node[kCdxBlockSize];
  EXPECT_THROW(leaf.EncodeTo(node, 1, CdxKeyKind::Character), ECorvidError);
  leaf.Entries = {{"AB", 1}};  // longer than the key
  EXPECT_THROW(leaf.EncodeTo(node, 1, CdxKeyKind::Character), ECorvidError);
}

// A leaf for 3-byte keys written out by hand: t = 2, 20 bits of record
// number, 3 bytes per entry; keys AB/1, ABC/2, B/3.
Bytes GoldenLeaf() {
  Bytes b(512, 0);
  const uint8_t head[] = {
      0x03, 0x00,              // leaf root
      0x03, 0x00,              // three keys
      0xFF, 0xFF, 0xFF, 0xFF,  // no left sibling
      0xFF, 0xFF, 0xFF, 0xFF,  // no right sibling
      0xDB, 0x01,              // 488 - 3*3 - 4 = 475 free bytes
      0xFF, 0xFF, 0x0F, 0x00,  // record mask
      0x03, 0x03,              // duplicate and trailing masks
      0x14, 0x02, 0x02,        // 20, 2, 2 bits
      0x03,                    // 3 bytes per entry
      0x01, 0x00, 0x40,        // rec 1, dup 0, trail 1
      0x02, 0x00, 0x20,        // rec 2, dup 2, trail 0
      0x03, 0x00, 0x80,        // rec 3, dup 0, trail 2
  };
  std::memcpy(b.data(), head, sizeof head);
  b[510] = 'A';
  b[511] = 'B';
  b[509] = 'C';
  b[508] = 'B';
  return b;
}

TEST(CdxLeafCodec, GoldenLeafImage) {
  const Bytes golden = GoldenLeaf();
  const CdxLeafNode leaf = CdxLeafNode::DecodeFrom(golden.data(), 3, CdxKeyKind::Character, kAnyOffset);
  ASSERT_EQ(leaf.Entries.size(), 3u);
  EXPECT_EQ(leaf.Entries[0].Key, "AB");
  EXPECT_EQ(leaf.Entries[0].RecNo, 1);
  EXPECT_EQ(leaf.Entries[1].Key, "ABC");
  EXPECT_EQ(leaf.Entries[1].RecNo, 2);
  EXPECT_EQ(leaf.Entries[2].Key, "B");
  EXPECT_EQ(leaf.Entries[2].RecNo, 3);
  EXPECT_TRUE(leaf.Header.IsRoot());

  CdxLeafNode mine;
  mine.Header = CdxNodeHeader{3, 0, -1, -1};
  mine.Params = CdxLeafParams::For(3, 1000);
  mine.Entries = {{"AB", 1}, {"ABC", 2}, {"B  ", 3}};  // trailing blanks are the fill
  Bytes out(512, 0x55);
  mine.EncodeTo(out.data(), 3, CdxKeyKind::Character);
  EXPECT_EQ(out, golden);
}

TEST(CdxLeafCodec, HostileLeavesAreCorrupt) {
  auto expectCorrupt = [](const Bytes& b, int32_t kl) {
    try {
      CdxLeafNode::DecodeFrom(b.data(), kl, CdxKeyKind::Character, kAnyOffset);
      ADD_FAILURE() << "decoded";
    } catch (const ECorvidError& e) {
      EXPECT_EQ(std::string(e.what()), "Index file T.CDX is corrupted");
    }
  };
  Bytes b = GoldenLeaf();
  b[26] = 0xC0;  // trailing count 3 on a key already 2 stored bytes long
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[12] = 0xDC;  // free bytes disagree
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[2] = 200;  // more entries than the node holds
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[23] = 0;  // no bytes per entry
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[14] = 0x7F;  // mask disagrees with its bit count
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[0] = 7;  // unknown attributes
  expectCorrupt(b, 3);
  b = GoldenLeaf();
  b[4] = 0x10;  // left sibling not at a node boundary
  expectCorrupt(b, 3);
  // A duplicate count and a trailing count that together pass the key
  // length (3 + 3 for a 3-byte key).
  b = GoldenLeaf();
  b[26] = 0xF0;
  expectCorrupt(b, 3);
  // Key bytes running down into the entries.
  CdxLeafNode big;
  big.Header = CdxNodeHeader{3, 0, -1, -1};
  big.Params = CdxLeafParams::For(240, 10);
  Bytes full(512);
  big.Entries = {{std::string(240, 'x'), 1}, {std::string(240, 'y'), 2}, {std::string(240, 'z'), 3}};
  EXPECT_THROW(big.EncodeTo(full.data(), 240, CdxKeyKind::Character), ECorvidError);
}

// ---------------------------------------------------------------------------
// Numeric and date keys

TEST(CdxNumericKeys, NegativesAndDatesSortAsBytes) {
  const std::vector<double> values = {-1e300, -4, -3, -2.5, -2, -1, -1e-300, 0, 1e-300, 1, 2, 2.5, 1e300};
  for (size_t i = 0; i + 1 < values.size(); ++i)
    EXPECT_TRUE(LessBytes(CdxNumericKey(values[i]), CdxNumericKey(values[i + 1])))
        << values[i] << " < " << values[i + 1] << ": " << Hex(CdxNumericKey(values[i])) << " / "
        << Hex(CdxNumericKey(values[i + 1]));
  EXPECT_EQ(CdxNumericKey(-0.0), CdxNumericKey(0.0));
  EXPECT_EQ(Hex(CdxNumericKey(0)), "80");
  // Negative keys keep their trailing 0xFF bytes.
  EXPECT_EQ(Hex(CdxNumericKey(-2)), "3F FF FF FF FF FF FF FF");
  EXPECT_EQ(Hex(CdxNumericKey(2)), "C0");
  for (double v : values) EXPECT_EQ(CdxNumericValue(CdxNumericKey(v), "T"), v);
  EXPECT_LT(CdxDateKey(2451545), CdxDateKey(2451546));
  EXPECT_TRUE(LessBytes(CdxDateKey(0), CdxDateKey(2451545)));
  EXPECT_THROW(CdxNumericValue(std::string(9, 'x'), "T"), ECorvidError);
}

TEST(CdxNumericKeys, LeafKeepsNegativesAndReadsForeignZeroFill) {
  CdxLeafNode leaf;
  leaf.Header = CdxNodeHeader{3, 0, -1, -1};
  leaf.Params = CdxLeafParams::For(8, 100);
  const std::vector<double> values = {-4, -3, -2.5, -2, -1, 0, 1};
  for (size_t i = 0; i < values.size(); ++i) leaf.Entries.push_back({CdxNumericKey(values[i]), int32_t(i + 1)});
  uint8_t node[512];
  leaf.EncodeTo(node, 8, CdxKeyKind::Numeric);
  const CdxLeafNode back = CdxLeafNode::DecodeFrom(node, 8, CdxKeyKind::Numeric, kAnyOffset);
  ASSERT_EQ(back.Entries.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(back.Entries[i].Key, leaf.Entries[i].Key);
    // Another reader fills the trailing bytes with 0x00 and must get the value.
    std::string filled = back.Entries[i].Key;
    filled.resize(8, '\0');
    EXPECT_EQ(CdxNumericValue(filled, "T"), values[i]);
  }
}

// ---------------------------------------------------------------------------
// GENERAL collation

std::string G(std::string_view text) { return CdxGeneralKey(text, static_cast<int32_t>(2 * text.size())); }

TEST(CdxGeneral, LigaturesAndAccents) {
  EXPECT_EQ(CdxGeneralKey("\xC6", 4), CdxGeneralKey("AE", 4));  // Æ = AE
  EXPECT_EQ(CdxGeneralKey("\xDF", 4), CdxGeneralKey("SS", 4));  // ß = SS
  EXPECT_EQ(CdxGeneralKey("\xE6", 4), CdxGeneralKey("ae", 4));  // æ = ae
  // a and A are one key; á has the same weight and an accent after all weights.
  EXPECT_EQ(G("a"), G("A"));
  EXPECT_EQ(Hex(G("a")), "60");
  EXPECT_EQ(Hex(G("\xE1")), "60 F1");
  EXPECT_TRUE(LessBytes(G("A"), G("\xE1")));
  EXPECT_TRUE(LessBytes(G("\xE1"), G("b")));
  // Weights decide before accents: "áb" < "ac" although á is accented.
  EXPECT_TRUE(LessBytes(G("\xE1"
                          "b"),
                        G("ac")));
  EXPECT_EQ(Hex(G("CAF\xC9")), "62 60 67 66 F0 F0 F0 F1");
}

TEST(CdxGeneral, WeightsBeginTheKeyOfEveryLongerText) {
  EXPECT_EQ(Hex(CdxGeneralWeights("\xC6" "b")), "60 66 61");  // a ligature gives two weights
  EXPECT_EQ(CdxGeneralWeights(""), "");
  // Whatever follows, the key begins with the weights; the accents of the
  // part itself come only after the weights of all that follows.
  for (const char* rest : {"", " ", "  x", "B", "\xE1"}) {
    const std::string text = std::string("\xC9\xC6") + rest;
    EXPECT_EQ(G(text).compare(0, 3, CdxGeneralWeights("\xC9\xC6")), 0) << rest;
  }
  // So the keys of "\xC9" and of "\xC9  x" lie either side of "\xC9" "B".
  EXPECT_TRUE(LessBytes(G("\xC9  x"), G("\xC9" "B")));
  EXPECT_TRUE(LessBytes(G("\xC9" "B"), G("\xC9")));
}

TEST(CdxGeneral, LigatureKeysAreCutToTheKeyLength) {
  // "æá": weights 60 66 60 and accents F0 F0 F1 make six bytes for a
  // four-byte key; the cut leaves a trailing F0, which goes as well.
  EXPECT_EQ(Hex(CdxGeneralKey("\xE6\xE1", 4)), "60 66 60");
  EXPECT_EQ(CdxGeneralKey("\xE6\xE1", 4).size(), 3u);
  // Every key of a GENERAL tag fits its key length.
  for (int c = 0; c < 256; ++c) {
    const std::string text(3, static_cast<char>(c));
    EXPECT_LE(CdxGeneralKey(text, 6).size(), 6u) << c;
  }
}

TEST(CdxGeneral, LeafKeepsAccentsThatAreStoredAsZeroBytes) {
  CdxLeafNode leaf;
  leaf.Header = CdxNodeHeader{3, 0, -1, -1};
  leaf.Params = CdxLeafParams::For(8, 100);
  leaf.Entries = {{G("CAFE"), 1},
                  {G("CAF\xC9"), 2},
                  {G("\xC6"
                     "B"),
                   3},
                  {G("a/"), 4}};
  uint8_t node[512];
  leaf.EncodeTo(node, 8, CdxKeyKind::General);
  // On disk the accents of "CAFÉ" are 00 00 00 01.
  const CdxLeafNode back = CdxLeafNode::DecodeFrom(node, 8, CdxKeyKind::General, kAnyOffset);
  ASSERT_EQ(back.Entries.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(Hex(back.Entries[i].Key), Hex(leaf.Entries[i].Key)) << i;
}

TEST(CdxGeneral, InteriorKeysNeverFallBelowTheirChild) {
  CdxInteriorNode in;
  in.Entries = {{G("CAF\xC9"), 7, 1024}, {G("a/"), 9, 1536}, {G("ZZZZ"), 3, 2048}};
  uint8_t node[512];
  in.EncodeTo(node, 8, CdxKeyKind::General);
  const CdxInteriorNode back = CdxInteriorNode::DecodeFrom(node, 8, CdxKeyKind::General, kAnyOffset);
  ASSERT_EQ(back.Entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string& k = in.Entries[i].Key;
    const std::string& b = back.Entries[i].Key;
    EXPECT_EQ(b.substr(0, k.size()), k) << i;  // the key, then at most blank padding
    EXPECT_FALSE(LessBytes(b, k));
    EXPECT_EQ(back.Entries[i].RecNo, in.Entries[i].RecNo);
    EXPECT_EQ(back.Entries[i].Child, in.Entries[i].Child);
  }
}

// ---------------------------------------------------------------------------
// Interior nodes and tag headers

TEST(CdxInterior, LayoutAndLimits) {
  CdxInteriorNode in;
  in.Header = CdxNodeHeader{kCdxAttrRoot, 0, -1, -1};
  in.Entries = {{"AB", 5, 1024}, {"CD", 0x01020304, 0x600}};
  Bytes node(512);
  in.EncodeTo(node.data(), 4, CdxKeyKind::Character);
  const uint8_t expect[] = {0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            'A',  'B',  ' ',  ' ',  0,    0,    0,    5,    0,    0,    4,    0,
                            'C',  'D',  ' ',  ' ',  1,    2,    3,    4,    0,    0,    6,    0};
  EXPECT_EQ(Bytes(node.begin(), node.begin() + sizeof expect), Bytes(expect, expect + sizeof expect));
  const CdxInteriorNode back = CdxInteriorNode::DecodeFrom(node.data(), 4, CdxKeyKind::Character, kAnyOffset);
  EXPECT_EQ(back.Entries[1].Key, "CD  ");
  EXPECT_EQ(back.Entries[1].RecNo, 0x01020304);

  // A child outside the file, inside the tag list's header or off a node
  // boundary is corrupt.
  const CdxPageCheck small{2048, false, "T.CDX"};
  Bytes bad = node;
  bad[35] = 0x08;  // child 0x800: one past the last node of a 2048-byte file
  EXPECT_THROW(CdxInteriorNode::DecodeFrom(bad.data(), 4, CdxKeyKind::Character, small), ECorvidError);
  bad = node;
  bad[34] = 0;
  bad[35] = 0x02;  // child 512
  EXPECT_THROW(CdxInteriorNode::DecodeFrom(bad.data(), 4, CdxKeyKind::Character, kAnyOffset), ECorvidError);
  bad = node;
  bad[2] = 51;  // more than 500 / 12 entries
  EXPECT_THROW(CdxInteriorNode::DecodeFrom(bad.data(), 4, CdxKeyKind::Character, kAnyOffset), ECorvidError);
  // The memory index addresses pages by number.
  const CdxPageCheck pages{8, true, "MEM"};
  Bytes mem(512);
  CdxInteriorNode m;
  m.Entries = {{"A", 1, 3}};
  m.EncodeTo(mem.data(), 4, CdxKeyKind::Character);
  EXPECT_EQ(CdxInteriorNode::DecodeFrom(mem.data(), 4, CdxKeyKind::Character, pages).Entries[0].Child, 3);
  m.Entries[0].Child = 8;
  m.EncodeTo(mem.data(), 4, CdxKeyKind::Character);
  EXPECT_THROW(CdxInteriorNode::DecodeFrom(mem.data(), 4, CdxKeyKind::Character, pages), ECorvidError);
}

TEST(CdxTagHeaderCodec, GoldenHeaderAndRoundTrip) {
  CdxTagHeader h;
  h.Root = 0x600;
  h.Counter = 3;
  h.KeyLength = 25;
  h.Options = kCdxOptCompact | kCdxOptCompound | kCdxOptUnique;
  h.Collation = CVsetCDXCollateType::General;
  h.Descending = true;
  h.KeyExpr = "FM";
  h.ForExpr = "!DELETED()";
  Bytes b(1024, 0xAA);
  h.EncodeTo(b.data());
  Bytes g(1024, 0);
  g[1] = 0x06;
  g[8] = 3;
  g[12] = 25;
  g[14] = 0x69;  // compact, compound, unique, FOR
  g[15] = 2;
  std::memcpy(&g[494], "GENERAL", 7);
  g[502] = 1;
  g[504] = 3;
  g[506] = 11;
  g[510] = 3;
  std::memcpy(&g[512], "FM\0!DELETED()", 13);
  EXPECT_EQ(b, g);
  const CdxTagHeader back = CdxTagHeader::DecodeFrom(b.data(), CdxPageCheck{4096, false, "T.CDX"});
  EXPECT_EQ(back.Root, 0x600);
  EXPECT_EQ(back.KeyLength, 25);
  EXPECT_EQ(back.Collation, CVsetCDXCollateType::General);
  EXPECT_TRUE(back.Descending);
  EXPECT_TRUE(back.Unique());
  EXPECT_EQ(back.KeyExpr, "FM");
  EXPECT_EQ(back.ForExpr, "!DELETED()");
}

TEST(CdxTagHeaderCodec, LongExpressionsAreRefusedAndHostileHeadersCorrupt) {
  CdxTagHeader h;
  h.Root = 1024;
  h.KeyLength = 10;
  h.KeyExpr = std::string(300, 'K');
  h.ForExpr = std::string(210, 'F');  // 300 + 210 + 2 = 512: fits
  Bytes b(1024);
  EXPECT_NO_THROW(h.EncodeTo(b.data()));
  EXPECT_EQ(CdxTagHeader::DecodeFrom(b.data(), kAnyOffset).ForExpr.size(), 210u);
  h.ForExpr += 'F';  // 511 bytes of text would write over the next node
  EXPECT_FALSE(CdxTagHeader::ExpressionsFit(h.KeyExpr, h.ForExpr));
  EXPECT_THROW(h.EncodeTo(b.data()), ECorvidError);

  h.ForExpr.clear();
  h.KeyExpr = "NAME";
  h.EncodeTo(b.data());
  Bytes bad = b;
  bad[0] = 0x10;  // root off a node boundary
  EXPECT_THROW(CdxTagHeader::DecodeFrom(bad.data(), kAnyOffset), ECorvidError);
  bad = b;
  bad[1] = 0x10;  // root past the end of a 2048-byte file
  EXPECT_THROW(CdxTagHeader::DecodeFrom(bad.data(), CdxPageCheck{2048, false, "T"}), ECorvidError);
  bad = b;
  bad[12] = 241;
  EXPECT_THROW(CdxTagHeader::DecodeFrom(bad.data(), kAnyOffset), ECorvidError);
  bad = b;
  bad[512] = 0;  // an ordinary tag without key expression
  EXPECT_THROW(CdxTagHeader::DecodeFrom(bad.data(), kAnyOffset), ECorvidError);
  bad = b;
  std::memset(&bad[512], 'x', 512);  // no zero byte before the end of the header
  EXPECT_THROW(CdxTagHeader::DecodeFrom(bad.data(), kAnyOffset), ECorvidError);
  // The tag list has no key expression.
  CdxTagHeader list;
  list.Root = 1024;
  list.KeyLength = kCdxTagListKeyLength;
  list.Options = 0xE0;
  list.EncodeTo(b.data());
  EXPECT_TRUE(CdxTagHeader::DecodeFrom(b.data(), kAnyOffset).IsTagList());
}

TEST(CdxEmptyRoot, IsAnEmptyRootLeaf) {
  uint8_t node[512];
  CdxEncodeEmptyRoot(node, 10, 0);
  const CdxLeafNode leaf = CdxLeafNode::DecodeFrom(node, 10, CdxKeyKind::Character, kAnyOffset);
  EXPECT_EQ(leaf.Header.Attributes, 3);
  EXPECT_EQ(leaf.Header.Left, -1);
  EXPECT_EQ(leaf.Header.Right, -1);
  EXPECT_TRUE(leaf.Entries.empty());
  EXPECT_EQ(node[12] | (node[13] << 8), 488);
  EXPECT_TRUE(CdxNodeIsLeaf(node, kAnyOffset));
}

}  // namespace
