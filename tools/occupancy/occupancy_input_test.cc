#include "tools/occupancy/occupancy_input.h"

#include <gtest/gtest.h>

namespace {

OccupancyBlock Pattern() {
  OccupancyBlock block;
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0x40 + i);
  return block;
}

TEST(OccupancyInput, NumbersTakeTheLow16Bits) {
  const OccupancyInput input = ParseOccupancyInput(
      "{\"covid\":[{}, {\"cur\":65537, \"max\":-1}, {\"max\":4294967296, \"other\":[1]}]}");
  ASSERT_EQ(input.status, InputStatus::kParsed);
  OccupancyBlock block = Pattern();
  ApplyOccupancyInput(input, block);
  EXPECT_EQ(GroupMaximum(block, 0), GroupMaximum(Pattern(), 0));
  EXPECT_EQ(GroupCount(block, 1), 1);
  EXPECT_EQ(GroupMaximum(block, 1), 0xFFFF);
  EXPECT_EQ(GroupMaximum(block, 2), 0);
  EXPECT_EQ(GroupCount(block, 2), GroupCount(Pattern(), 2));
}

TEST(OccupancyInput, MistypedElementsAreRefusedWhole) {
  const OccupancyInput input = ParseOccupancyInput(
      "{\"covid\":[{\"max\":1}, {\"max\":\"20\"}, {\"max\":2.5}, 7, "
      "{\"name\":5, \"max\":9}, {\"cur\":null}, {\"max\":8, \"name\":\"Hall\"}]}");
  ASSERT_EQ(input.status, InputStatus::kParsed);
  ASSERT_EQ(input.groups, 7);
  for (int refused : {1, 2, 3, 4, 5}) EXPECT_TRUE(input.updates[refused].refused) << refused;
  EXPECT_EQ(std::string(input.updates[6].name.data()), "\"Hall\"");

  OccupancyBlock block = Pattern();
  ApplyOccupancyInput(input, block);
  EXPECT_EQ(GroupMaximum(block, 0), 1);
  EXPECT_EQ(GroupMaximum(block, 4), GroupMaximum(Pattern(), 4));
  EXPECT_EQ(GroupMaximum(block, 6), 8);
}

TEST(OccupancyInput, OneWellFormedJsonTextWithACovidArray) {
  for (const char* line : {"", "{", "hello", "hello {\"covid\":[]}",
                           "{\"covid\":[{\"name\":\"\xC3\"}]}", "{\"covid\":[],}"}) {
    EXPECT_EQ(ParseOccupancyInput(line).status, InputStatus::kNotJson) << line;
  }
  for (const char* line : {"{}", "{\"covid\":5}", "{\"covid\":{}}", "[1]", "17", "null"}) {
    EXPECT_EQ(ParseOccupancyInput(line).status, InputStatus::kNoGroups) << line;
  }
  EXPECT_EQ(ParseOccupancyInput("{\"covid\":[]}  \r\n").status, InputStatus::kParsed);
}

TEST(OccupancyInput, WhatFollowsTheValueIsIgnored) {
  for (const char* line : {"{\"covid\":[{\"max\":7}]} trailing", "{\"covid\":[{\"max\":7}]}{}",
                           "{\"covid\":[{\"max\":7}]}\xC3\r\n", "{\"covid\":[{\"max\":7}]},"}) {
    const OccupancyInput input = ParseOccupancyInput(line);
    ASSERT_EQ(input.status, InputStatus::kParsed) << line;
    ASSERT_EQ(input.groups, 1) << line;
    EXPECT_EQ(input.updates[0].maximum, 7) << line;
  }
  EXPECT_EQ(ParseOccupancyInput("17 {\"covid\":[]}").status, InputStatus::kNoGroups);
}

}  // namespace
