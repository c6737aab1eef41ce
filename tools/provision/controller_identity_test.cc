#include "tools/provision/controller_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/provision/super_fast_hash.h"

namespace {

TEST(DefaultApiKey, SuperFastHashOfTheSerialMostSignificantByteFirst) {
  // Worked by hand for 1234567 = 0x0012D687: hash = 4; + 0x0012 = 0x16;
  // tmp = (0xD687 << 11) ^ 0x16 = 0x06B43816; hash = 0x160000 ^ tmp =
  // 0x06A23816; + (hash >> 11 = 0xD447) = 0x06A30C5D; then the avalanche:
  // 0x33BB6EB5, 0x35594A2A, 0x60CDE88A, 0x60CE18F0, 0x80CE18F0, 0x82D15153.
  EXPECT_EQ(std::string(DefaultApiKey(1234567).data()), "82D15153");
  // Units are first byte * 256 + second byte: swapping them changes the hash.
  const std::array<uint8_t, 4> swapped{0x12, 0x00, 0x87, 0xD6};
  EXPECT_NE(SuperFastHash(swapped), 0x82D15153u);
  EXPECT_EQ(SuperFastHash({}), 0u);
}

TEST(DefaultPassword, IdentityBytes12DownTo9) {
  IdentityBlock identity{};
  identity[9] = 0x0A;
  identity[10] = 0xB1;
  identity[11] = 0x2C;
  identity[12] = 0xF3;
  EXPECT_EQ(std::string(DefaultPassword(identity).data()), "F32CB10A");
}

TEST(DerivedMac, MillionsThenTheRemaindersLowSixteenBits) {
  MacText mac;
  ASSERT_TRUE(DerivedMac(1234567, mac));
  EXPECT_EQ(std::string(mac.data()), "02:54:51:01:94:47");
  // 999999 = 0xF423F: bits 16 and up of the remainder are dropped.
  ASSERT_TRUE(DerivedMac(255999999, mac));
  EXPECT_EQ(std::string(mac.data()), "02:54:51:FF:42:3F");
  EXPECT_FALSE(DerivedMac(256000000, mac));
  EXPECT_EQ(mac[0], '\0');
}

}  // namespace
