#include "tools/occupancy/occupancy_input.h"

#include <json-c/json.h>

#include <cstring>

namespace {

// The member's low 16 bits into `value`; false when it is not an integer.
// An absent member leaves `present` false and is no error.
bool TakeNumber(json_object* element, const char* member, bool& present, uint16_t& value) {
  json_object* item = nullptr;
  if (!json_object_object_get_ex(element, member, &item)) return true;
  if (!json_object_is_type(item, json_type_int)) return false;
  present = true;
  value = static_cast<uint16_t>(static_cast<uint64_t>(json_object_get_int64(item)) & 0xFFFF);
  return true;
}

bool TakeName(json_object* element, GroupUpdate& update) {
  json_object* item = nullptr;
  if (!json_object_object_get_ex(element, "name", &item)) return true;
  if (!json_object_is_type(item, json_type_string)) return false;
  const int length = json_object_get_string_len(item);
  NameLiteral({json_object_get_string(item), static_cast<size_t>(length > 0 ? length : 0)},
              update.name);
  update.set_name = true;
  return true;
}

GroupUpdate TakeElement(json_object* element) {
  GroupUpdate update;
  if (element == nullptr || !json_object_is_type(element, json_type_object) ||
      !TakeNumber(element, "max", update.set_maximum, update.maximum) ||
      !TakeNumber(element, "cur", update.set_count, update.count) || !TakeName(element, update)) {
    return {.refused = true};
  }
  return update;
}

// Where the line's first JSON value ends (white space after it included),
// or 0 when the line does not begin with one.
size_t FirstValueEnd(const char* line, size_t length) {
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return 0;
  json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_ALLOW_TRAILING_CHARS);
  // The terminator goes in too: it ends a number or literal at the very end
  // of the line, which would otherwise wait for more input.
  json_object* value = json_tokener_parse_ex(tokener, line, static_cast<int>(length + 1));
  const bool parsed = json_tokener_get_error(tokener) == json_tokener_success;
  const size_t end = parsed ? json_tokener_get_parse_end(tokener) : 0;
  json_object_put(value);
  json_tokener_free(tokener);
  return end;
}

// Parses the first JSON value of the line; what follows it is ignored.
// False when the line does not begin with a well-formed value: invalid
// UTF-8 in it counts as malformed (names are stored and shown again in the
// -r line, which must stay valid JSON).  A well-formed "null" gives true and
// a null root.
bool ParseLine(const char* line, json_object*& root) {
  root = nullptr;
  const size_t end = FirstValueEnd(line, std::strlen(line));
  if (end == 0) return false;
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return false;
  // Checked again for its UTF-8 on its own: the checking tokener would look
  // at the first byte after the value too.
  json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
  root = json_tokener_parse_ex(tokener, line, static_cast<int>(end));
  if (root == nullptr && json_tokener_get_error(tokener) == json_tokener_continue) {
    root = json_tokener_parse_ex(tokener, "", 1);
  }
  const bool parsed = json_tokener_get_error(tokener) == json_tokener_success;
  json_tokener_free(tokener);
  if (!parsed) {
    json_object_put(root);
    root = nullptr;
  }
  return parsed;
}

}  // namespace

OccupancyInput ParseOccupancyInput(const char* line) {
  OccupancyInput input;
  json_object* root = nullptr;
  if (!ParseLine(line, root)) return input;
  json_object* groups = nullptr;
  if (!json_object_object_get_ex(root, "covid", &groups) ||
      !json_object_is_type(groups, json_type_array)) {
    json_object_put(root);
    input.status = InputStatus::kNoGroups;
    return input;
  }
  input.status = InputStatus::kParsed;
  const size_t elements = json_object_array_length(groups);
  input.groups = static_cast<int>(elements < kGroupCount ? elements : kGroupCount);
  for (int i = 0; i < input.groups; ++i) {
    input.updates[static_cast<size_t>(i)] =
        TakeElement(json_object_array_get_idx(groups, static_cast<size_t>(i)));
  }
  json_object_put(root);
  return input;
}

void ApplyOccupancyInput(const OccupancyInput& input, OccupancyBlock& block) {
  for (int group = 0; group < input.groups; ++group) {
    const GroupUpdate& update = input.updates[static_cast<size_t>(group)];
    if (update.refused) continue;
    if (update.set_maximum) SetOccupancyValue(block, kMaximaOffset, group, update.maximum);
    if (update.set_count) SetOccupancyValue(block, kCountsOffset, group, update.count);
  }
}
