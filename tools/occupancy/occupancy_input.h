// The -w input: one JSON line
//
//   {"covid":[{"max":20,"cur":3,"name":"Lobby"}, null, {"max":5}, ...]}
//
// Element i describes group i + 1; absent members leave the group's value
// unchanged.  Elements past the eighth are ignored.
#pragma once

#include <array>
#include <cstdint>

#include "tools/occupancy/group_names.h"
#include "tools/occupancy/occupancy_block.h"

struct GroupUpdate {
  // The element is null, not an object, or has a member of the wrong type
  // ("max" and "cur" integers, "name" a string): nothing of it applies.
  bool refused = false;
  bool set_maximum = false;
  uint16_t maximum = 0;  // low 16 bits of the given number
  bool set_count = false;
  uint16_t count = 0;
  bool set_name = false;
  GroupName name{};  // as a JSON string literal, ready to store
};

enum class InputStatus : uint8_t {
  kParsed,
  kNotJson,   // does not begin with a well-formed JSON value (what follows it is ignored)
  kNoGroups,  // no "covid" array
};

struct OccupancyInput {
  InputStatus status = InputStatus::kNotJson;
  int groups = 0;  // elements taken, at most 8
  std::array<GroupUpdate, kGroupCount> updates{};
};

// `line` is a terminated text.
OccupancyInput ParseOccupancyInput(const char* line);

// Applies the maxima and counts of the elements that were not refused.
void ApplyOccupancyInput(const OccupancyInput& input, OccupancyBlock& block);
