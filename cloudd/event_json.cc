#include "cloudd/event_json.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "cloudd/batch.h"
#include "link/memory_map.h"
#include "link/platform/bcd.h"

namespace {

constexpr const char* kFlagPiece = "\"flag\": %d,";
constexpr const char* kEventPiece = "\"event\": %d,";
constexpr const char* kTimePiece = "\"time\": \"%04d-%02d-%02d %02d:%02d:%02d\",";
constexpr const char* kCardPiece = "\"card\": \"%s\"";

// Clock fields of an event record as the object shows them: out-of-range
// BCD bytes are replaced before conversion.
uint8_t Clamp(uint8_t byte, bool zero_is_bad, uint8_t highest, uint8_t replacement) {
  if ((zero_is_bad && byte == 0) || byte > highest) return replacement;
  return byte;
}

// The card of an event: the pending extension code, else the key record
// the event names.  Returns the code size, 0 for "no card" (twelve zeros).
size_t EventCard(CloudState& state, const EventRecord& event,
                 std::array<uint8_t, kMaxKeyCodeSize>& code) {
  WaitState& wait = state.wait;
  if (wait.pending_extension.size != 0) {
    const size_t size = wait.pending_extension.size;
    code = wait.pending_extension.bytes;
    wait.pending_extension = {};
    return size;
  }
  const uint16_t address = event.key_address;
  if (address < kKeyBaseStart || event.code == 0x25) return 0;
  std::array<uint8_t, kKeyRecordSize> record{};
  if (!Done(ReadKeyMemory(address, record))) {
    // The key image mirrors key memory; it stands in for a record that
    // could not be read rather than reporting an unknown card.
    if (address > kKeyMemorySize - kKeyRecordSize) return 0;
    std::memcpy(record.data(), state.key_image.data() + address, kKeyRecordSize);
  }
  std::copy_n(record.begin(), kKeyCodeSize, code.begin());
  return kKeyCodeSize;
}

}  // namespace

bool AppendEventObject(CloudState& state, std::span<const uint8_t, kEventRecordSize> record,
                       int year) {
  // The flagged codes carry a value in bytes 1-2 instead of a key address;
  // DecodeEventRecord gives them no address, so they name no key.
  const EventRecord event = DecodeEventRecord(record);
  const int flag = event.carries_value ? event.value : 0;

  std::array<uint8_t, kMaxKeyCodeSize> code{};
  const size_t size = EventCard(state, event, code);
  std::array<char, kCardTextBufferSize> card{};
  if (size == 0) {
    std::snprintf(card.data(), card.size(), "000000000000");
  } else {
    FormatCardText(std::span<const uint8_t>(code.data(), size), CurrentKeyFormat(), card);
  }

  std::array<char, 160> object{};
  int length = std::snprintf(object.data(), object.size(), "{");
  length += std::snprintf(object.data() + length, object.size() - length, kFlagPiece, flag);
  length += std::snprintf(object.data() + length, object.size() - length, kEventPiece, event.code);
  length += std::snprintf(
      object.data() + length, object.size() - length, kTimePiece, year,
      BcdToBin(Clamp(event.month, true, 0x12, 1)), BcdToBin(Clamp(event.day, true, 0x31, 1)),
      BcdToBin(Clamp(event.hour, false, 0x24, 0)), BcdToBin(Clamp(event.minute, false, 0x59, 0)),
      BcdToBin(Clamp(event.second, false, 0x59, 0)));
  length += std::snprintf(object.data() + length, object.size() - length, kCardPiece, card.data());
  std::snprintf(object.data() + length, object.size() - length, "}");

  BatchSeparate(state.batch);
  return BatchAppend(state.batch, "%s", object.data());
}
