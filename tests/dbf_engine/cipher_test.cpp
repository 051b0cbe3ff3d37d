#include "dbf_engine/table/cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(Cipher, OneCharacterKeyMasksWithPositionAndRepeatsEvery256Bytes) {
  std::vector<uint8_t> src(600, 0), dst(600);
  EXPECT_EQ(Encryption("A", src.data(), dst.data(), src.size(), 1), 1);
  for (size_t i = 0; i < src.size(); ++i) ASSERT_EQ(dst[i], static_cast<uint8_t>('A' | (i & 0xFF))) << i;
  EXPECT_EQ(dst[3], dst[3 + 256]);
}

TEST(Cipher, KeyCharactersCycleAndTheStreamRestartsPerCall) {
  const uint8_t src[5] = {0x10, 0x20, 0x30, 0x40, 0x50};
  uint8_t dst[5];
  EXPECT_EQ(Encryption("ab", src, dst, 5, 0), -1);
  const uint8_t key[5] = {'a', 'b', 'a', 'b', 'a'};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dst[i], src[i] ^ (key[i] | i));
  uint8_t again[5];
  DBEncryption("ab", src, again, 5, 1);
  EXPECT_EQ(0, std::memcmp(dst, again, 5));
}

TEST(Cipher, InPlaceRoundTripAndEmptyKeyCopies) {
  std::vector<uint8_t> data = {'H', 'e', 'l', 'l', 'o', 0, 0x1A, 0xFF};
  auto original = data;
  Encryption("secret", data.data(), data.data(), data.size(), 1);
  EXPECT_NE(data, original);
  Encryption("secret", data.data(), data.data(), data.size(), 0);
  EXPECT_EQ(data, original);
  std::vector<uint8_t> out(data.size(), 0);
  EXPECT_EQ(Encryption("", data.data(), out.data(), data.size(), 1), 0);
  EXPECT_EQ(out, original);
  EXPECT_EQ(Encryption("", data.data(), data.data(), data.size(), 0), 0);
  EXPECT_EQ(data, original);
}

}  // namespace
