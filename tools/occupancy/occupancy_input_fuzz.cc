// Fuzz target: occupancy's -w input line, whatever arrives on standard
// input.  Besides the sanitizers' checks: every name taken from the line is
// a valid JSON string literal (stored names go into the -r line as they
// are), and the -r line built from the result always parses as JSON.

#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "testing/fuzzing.h"
#include "tools/occupancy/occupancy_input.h"
#include "tools/occupancy/occupancy_line.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The tool reads one terminated line of at most 1024 characters.
  const std::string line(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1024));
  const OccupancyInput input = ParseOccupancyInput(line.c_str());
  if (input.groups < 0 || input.groups > kGroupCount) std::abort();

  GroupNames names{};
  for (int group = 0; group < kGroupCount; ++group) {
    NameLiteral("Group", names[static_cast<size_t>(group)]);
  }
  OccupancyBlock block{};
  for (int group = 0; group < input.groups; ++group) {
    const GroupUpdate& update = input.updates[static_cast<size_t>(group)];
    if (update.refused || !update.set_name) continue;
    const GroupName& name = update.name;
    if (std::memchr(name.data(), '\0', name.size()) == nullptr) std::abort();
    if (!IsNameLiteral(name.data())) std::abort();
    names[static_cast<size_t>(group)] = name;
  }
  ApplyOccupancyInput(input, block);

  // The raw bytes as a name: always a valid literal, within its buffer.
  GroupName literal{};
  const size_t length = NameLiteral(std::string_view(line), literal);
  if (length >= literal.size() || !IsNameLiteral(literal.data())) std::abort();
  names[0] = literal;

  char out[kOccupancyLineSize];
  const size_t written = FormatOccupancyLine("12:00:00", block, names, out);
  if (written == 0) std::abort();  // eight names of 127 characters fit
  json_tokener* tokener = json_tokener_new();
  json_object* parsed = json_tokener_parse_ex(tokener, out, static_cast<int>(written));
  const bool whole = parsed != nullptr && json_tokener_get_error(tokener) == json_tokener_success;
  json_object_put(parsed);
  json_tokener_free(tokener);
  if (!whole) std::abort();
  return 0;
}
