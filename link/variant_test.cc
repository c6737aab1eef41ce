// A program that never installed its link variant stops at its first
// transaction instead of reporting with texts and a lock not its own.

#include "link/variant.h"

#include <gtest/gtest.h>

#include <array>

#include "link/memory.h"

TEST(LinkVariantDeathTest, AProgramWithoutAVariantStopsAtItsFirstTransaction) {
  std::array<uint8_t, 8> dest{};
  EXPECT_DEATH(ReadMem(0, 0xA0, 8, 0x00C0, dest), "no link variant installed");
}
