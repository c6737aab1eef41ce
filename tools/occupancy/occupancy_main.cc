// occupancy -r | -w: shows, or sets from one JSON line on standard input,
// the occupancy limits, counts and names of the eight groups.
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "tools/occupancy/group_names.h"
#include "tools/occupancy/occupancy_block.h"
#include "tools/occupancy/occupancy_input.h"
#include "tools/occupancy/occupancy_line.h"
#include "tools/occupancy/tables.h"

namespace {

// The MCU changes the counters while they are read: a block counts only
// when two reads in a row agree.  A pair in which a read fails counts as a
// disagreeing pair, so a passing bus fault is retried and a lasting one ends
// like counters that never settle; failed reads are never shown or written.
// The tool gives up when the pair about to be compared is the tenth (-r) or
// the fifth (-w): that pair is read but not compared.
constexpr StableReadPolicy kShowClockReads{.pairs = 10, .compare_last_pair = false};
constexpr StableReadPolicy kShowOccupancyReads{
    .pairs = 10, .give_up_line = "ERROR READ\n", .compare_last_pair = false};
constexpr StableReadPolicy kSetOccupancyReads{.pairs = 5, .compare_last_pair = false};

// Longest accepted input line, terminator excluded.
constexpr size_t kInputLineLimit = 1023;

void PrintUsage() { std::printf("Use \"occupancy [-r|-w]\"\n"); }

void ShowOccupancy(const GroupNames& names) {
  // The first read wakes the clock; only the stable read that follows counts.
  std::array<uint8_t, kClockBlockSize> clock{};
  ReadMemoryItem(kClockBlockItem, clock);
  // Without a clock reading the time is left empty rather than made up.
  TimeOfDay time{};
  if (StableRead(kClockBlockItem, clock, kShowClockReads) == StableResult::kAgreed) {
    time = FormatTimeOfDay(clock);
  }

  OccupancyBlock block{};
  if (StableRead(kOccupancyBlockItem, block, kShowOccupancyReads) != StableResult::kAgreed) return;

  std::array<char, kOccupancyLineSize> line{};
  if (FormatOccupancyLine(time.data(), block, names, line) > 0) std::fputs(line.data(), stdout);
}

// One line of standard input into `line`.  False when the line is longer
// than the limit (its start stays in `line`, the rest is left unread).
bool ReadInputLine(std::array<char, kInputLineLimit + 1>& line) {
  line[0] = '\0';
  if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) return true;
  const size_t length = std::strlen(line.data());
  if (length < kInputLineLimit || line[length - 1] == '\n') return true;
  const int next = std::getchar();
  return next == EOF || next == '\n';
}

void SetOccupancy() {
  std::array<char, kInputLineLimit + 1> line{};
  const bool fits = ReadInputLine(line);

  OccupancyBlock block{};
  if (StableRead(kOccupancyBlockItem, block, kSetOccupancyReads) != StableResult::kAgreed) return;

  const OccupancyInput input =
      fits ? ParseOccupancyInput(line.data()) : OccupancyInput{.status = InputStatus::kNotJson};
  if (input.status == InputStatus::kNotJson) {
    std::printf("ERROR parse JSON\n");
    return;
  }
  if (input.status == InputStatus::kNoGroups) {
    std::printf("ERROR GET groups\n");
    return;
  }
  for (int group = 0; group < input.groups; ++group) {
    const GroupUpdate& update = input.updates[static_cast<size_t>(group)];
    if (update.refused) {
      std::printf("ERROR GET GROUP %d\n", group + 1);
    } else if (update.set_name) {
      StoreGroupName(group + 1, update.name);
    }
  }
  ApplyOccupancyInput(input, block);
  // The whole block goes back: byte 32 and the groups not mentioned as read.
  WriteOccupancyBlock(block);
}

}  // namespace

int main(int argc, char** argv) {
  LinkStart(kOccupancyLink);
  if (!BusLockOpen()) return 1;
  GroupNames names{};
  LoadGroupNames(names);

  const std::string_view option = argc >= 2 ? argv[1] : "";
  if (option != "-r" && option != "-w") {
    PrintUsage();
    return 1;
  }
  SetupReadyLine();
  OpenLink();

  if (option == "-r") {
    ShowOccupancy(names);
  } else {
    SetOccupancy();
  }
  return 0;
}
