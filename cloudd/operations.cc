#include "cloudd/operations.h"

#include <time.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cloudd/batch.h"
#include "link/commands.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "net/json_reply.h"

namespace {

constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";

// Integer fields are read with JsonLenientInt: servers send "17", 2.0 or
// true where an integer is meant, and refusing the whole reply for that
// would leave a waiting card without an answer.

// What an operation's handler tells the dispatcher.
enum class Outcome : uint8_t {
  kDone,     // carried out (or skipped element by element); go on
  kRefused,  // a required field is missing: the whole reply is refused
};

struct Operation {
  const char* name;
  Outcome (*run)(CloudState& state, json_object* message, int id);
};

// Logs the refusal text; the dispatcher then releases the reply.
Outcome Refuse(const char* message) {
  LogMessage("%s", message);
  return Outcome::kRefused;
}

void AnswerSuccess(CloudState& state, int id) {
  QueueSuccessAnswer(state, id);
  state.interval = 0;
}

// "HH:MM" as two packed-BCD bytes.  Only digits are taken: anything else
// would reach the MCU as a byte that is no BCD at all.
bool ParseClockText(const char* text, uint8_t& hour, uint8_t& minute) {
  if (std::strlen(text) < 5) return false;
  for (const int i : {0, 1, 3, 4}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  hour = static_cast<uint8_t>((text[0] - '0') * 16 + (text[1] - '0'));
  minute = static_cast<uint8_t>((text[3] - '0') * 16 + (text[4] - '0'));
  return true;
}

// --- operations ----------------------------------------------------------------

Outcome SetActive(CloudState& state, json_object* message, int id) {
  int32_t active = 0;
  if (!JsonLenientInt(message, "active", active)) return Refuse("ERROR GET ACTIVE\n");
  int32_t online = 0;
  JsonLenientInt(message, "online", online);
  state.active = active;
  LogMessage("SET_ACTIVE: %d\n", state.active);
  state.online = static_cast<uint8_t>(online);
  LogMessage("ONLINE: %d\n", state.online);
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome CheckAccess(CloudState& state, json_object* message, int) {
  int32_t granted = 0;
  if (!JsonLenientInt(message, "granted", granted)) return Refuse("ERROR GET GRANTED\n");
  const CardRequest* request = CardDecided(state.cards);
  if (request == nullptr) {
    // A decision with no card asked about would hand the MCU an empty card.
    LogMessage("GRANT_ACCEESS: no card awaits a decision\n");
    return Outcome::kDone;
  }
  const uint8_t reader = request->reader();
  std::array<char, 2 * kExternalBufferSize + 64> line{};
  int length = std::snprintf(line.data(), line.size(), "GRANT_ACCEESS: %d to", granted);
  for (const uint8_t byte : request->card()) {
    length += std::snprintf(line.data() + length, line.size() - length, "%02X", byte);
  }
  std::snprintf(line.data() + length, line.size() - length, " from %d\n", reader);
  LogMessage("%s", line.data());
  // Only 1 grants.  A server that means "no" by another value (-1, 2)
  // must not open the door, and the MCU knows no codes beyond 0x22 to 0x25.
  SetExternal(request->card(), ExternalAnswerCode(granted == 1, reader), reader);
  return Outcome::kDone;
}

Outcome Events(CloudState& state, json_object* message, int) {
  int32_t success = 0;
  if (!JsonLenientInt(message, "events_success", success)) {
    return Refuse("ERROR GET EVENT_SUCCESS\n");
  }
  LogMessage("EVENT_SUCCESS: %d\n", success);
  WaitState& wait = state.wait;
  // Only the events of the batch just sent are confirmed; without any, a
  // tail written now could only be stale.
  if (success > 0 && wait.reported) {
    WriteRingTail(wait.reported_tail);
    wait.reported = false;
  }
  return Outcome::kDone;
}

Outcome AddCards(CloudState& state, json_object* message, int id) {
  json_object* cards = nullptr;
  if (!JsonArray(message, "cards", cards)) return Refuse("ERROR GET CARDS\n");
  const KeyFormat format = CurrentKeyFormat();
  const size_t count = json_object_array_length(cards);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(cards, i);
    const char* text = nullptr;
    if (!JsonString(element, "card", text)) return Refuse("ERROR GET CARD\n");
    LogMessage("CARD:   %s\n", json_object_to_json_string(element));
    int32_t flags = 0;
    int32_t tz = 0;
    if (!JsonLenientInt(element, "flags", flags)) return Refuse("ERROR GET FLAGS\n");
    if (!JsonLenientInt(element, "tz", tz)) return Refuse("ERROR GET TZ\n");
    KeyCode code{};
    if (!ParseCardText(text, format, code)) {
      LogMessage("BAD CARD: %s\n", text);
      continue;
    }
    const KeyRecord record{
        .code = code, .flags = static_cast<uint8_t>(flags), .tz = static_cast<uint8_t>(tz)};
    const KeyRecordBytes bytes = EncodeKeyRecord(record);
    uint32_t address = FindKey(state.key_image, code);
    const bool found = address != 0;
    if (found) {
      LogMessage("MOD_CARD: %s %02X %02X AT %08X\n", text, record.flags, record.tz, address);
    } else {
      LogMessage("CARD NOT FOUND. TRY ADD\n");
      address = FindFreeSlot(state.key_image);
      if (address == 0) {
        LogMessage("NO EMPTY CARDS");
        continue;
      }
    }
    // The image first: it must match what the MCU was told, whatever the
    // write's outcome (a failed write is reported by the link).
    std::memcpy(state.key_image.data() + address, bytes.data(), bytes.size());
    WriteKeyRecord(static_cast<uint16_t>(address), bytes);
    if (!found) {
      LogMessage("ADD_CARD: %s %02X %02X TO %08X\n", text, record.flags, record.tz, address);
    }
  }
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome DelCards(CloudState& state, json_object* message, int id) {
  json_object* cards = nullptr;
  if (!JsonArray(message, "cards", cards)) return Refuse("ERROR GET CARDS\n");
  const KeyFormat format = CurrentKeyFormat();
  const size_t count = json_object_array_length(cards);
  for (size_t i = 0; i < count; ++i) {
    json_object* element = json_object_array_get_idx(cards, i);
    const char* text = nullptr;
    if (!JsonString(element, "card", text)) return Refuse("ERROR GET CARD\n");
    LogMessage("CARD:   %s\n", json_object_to_json_string(element));
    KeyCode code{};
    if (!ParseCardText(text, format, code)) {
      LogMessage("BAD CARD: %s\n", text);
      continue;
    }
    const uint32_t address = FindKey(state.key_image, code);
    if (address == 0) continue;
    LogMessage("DEL_CARD: %s FROM %08X\n", text, address);
    std::memcpy(state.key_image.data() + address, kEmptyKeyRecord.data(), kKeyRecordSize);
    WriteKeyRecord(static_cast<uint16_t>(address), kEmptyKeyRecord);
  }
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome ClearCards(CloudState& state, json_object*, int id) {
  LogMessage("DELETE ALL CARD...\n");
  state.key_image.fill(kEmptyByte);
  for (uint32_t a = kKeyBaseStart; size_t n = KeyBlockSize(a); a += n) {
    WriteKeyMemory(static_cast<uint16_t>(a),
                   std::span<const uint8_t>(state.key_image.data() + a, n));
  }
  LogMessage("DONE...\n");
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome ReadCards(CloudState& state, json_object*, int) {
  LogMessage("READ ALL CARD...\n");
  state.read_out.in_progress = true;
  state.interval = 0;
  return Outcome::kDone;
}

Outcome SetModeOperation(CloudState& state, json_object* message, int id) {
  int32_t mode = 0;
  if (!JsonLenientInt(message, "mode", mode)) return Refuse("ERROR GET MODE\n");
  SetMode(static_cast<uint8_t>(mode));
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome OpenDoorOperation(CloudState& state, json_object* message, int id) {
  int32_t direction = 0;
  if (!JsonLenientInt(message, "direction", direction)) return Refuse("ERROR GET DIRECTION\n");
  OpenDoor(static_cast<uint8_t>(direction));
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome SetDoorParams(CloudState& state, json_object* message, int id) {
  int32_t open = 0;
  int32_t open_control = 0;
  int32_t close_control = 0;
  if (!JsonLenientInt(message, "open", open)) return Refuse("ERROR GET T1\n");
  if (!JsonLenientInt(message, "open_control", open_control)) return Refuse("ERROR GET T2\n");
  if (!JsonLenientInt(message, "close_control", close_control)) return Refuse("ERROR GET T1\n");
  const std::array<uint8_t, kTimingTripleSize> triple{static_cast<uint8_t>(open),
                                                      static_cast<uint8_t>(open_control),
                                                      static_cast<uint8_t>(close_control)};
  WriteTimingTriple(kKeyBus, triple);
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

Outcome SetTimezone(CloudState& state, json_object* message, int id) {
  int32_t zone_value = 0;
  if (!JsonLenientInt(message, "zone", zone_value)) return Refuse("ERROR GET ZONE\n");
  const int zone = zone_value & 0xFF;
  int32_t bank = kBothBanks;
  JsonLenientInt(message, "bank", bank);
  const char* begin = nullptr;
  const char* end = nullptr;
  const char* days = nullptr;
  if (!JsonString(message, "begin", begin)) return Refuse("ERROR GET BEGIN\n");
  if (!JsonString(message, "end", end)) return Refuse("ERROR GET END\n");
  if (!JsonString(message, "days", days)) return Refuse("ERROR GET DAYS\n");
  int32_t mode_value = 0;
  if (ZoneHasMode(zone) && !JsonLenientInt(message, "mode", mode_value)) {
    return Refuse("ERROR GET MODE\n");
  }

  TimeZoneRecord record{};
  if (!ParseClockText(begin, record.begin_hour, record.begin_minute) ||
      !ParseClockText(end, record.end_hour, record.end_minute) || std::strlen(days) < 7) {
    LogMessage("BAD TIMEZONE: %s %s %s\n", begin, end, days);
    return Outcome::kDone;
  }
  if (!TimeZoneAddress(zone) || (bank != kBothBanks && bank != 0 && bank != 1)) {
    // No record for the zone, or no such bank: nothing may be written.
    LogMessage("BAD TIMEZONE: zone %d bank %d\n", zone, bank);
    return Outcome::kDone;
  }
  for (int i = 0; i < 7; ++i) {
    if (days[i] != '0') record.days = static_cast<uint8_t>(record.days | (1u << i));
  }
  int mode = 255;
  int shown_zone = zone;
  if (ZoneHasMode(zone)) {
    record.mode = static_cast<uint8_t>(mode_value);
    mode = record.mode;
    shown_zone = TimeZoneIndex(zone);
  }
  LogMessage("SET TIMEZONE %d-%d (%02X:%02X - %02X:%02X) [%02X] MODE: %d\n", bank, shown_zone,
             record.begin_hour, record.begin_minute, record.end_hour, record.end_minute,
             record.days, mode);
  WriteTimeZone(zone, bank, record);
  AnswerSuccess(state, id);
  return Outcome::kDone;
}

constexpr Operation kOperations[] = {
    {"set_active", SetActive},
    {"check_access", CheckAccess},
    {"events", Events},
    {"add_cards", AddCards},
    {"del_cards", DelCards},
    {"clear_cards", ClearCards},
    {"read_cards", ReadCards},
    {"set_mode", SetModeOperation},
    {"open_door", OpenDoorOperation},
    {"set_door_params", SetDoorParams},
    {"set_timezone", SetTimezone},
};

const Operation* FindOperation(const char* name) {
  for (const Operation& operation : kOperations) {
    if (std::strcmp(operation.name, name) == 0) return &operation;
  }
  return nullptr;
}

void TakeServerClock(const char* date) {
  const std::optional<std::time_t> server = ParseServerDate(date);
  if (!server) {
    // Fields that were not read would set the clock to a made-up time.
    LogMessage("BAD DATE: clock not set\n");
    return;
  }
  const long diff = static_cast<long>(*server - std::time(nullptr));
  if (diff > kServerClockTolerance || diff < -kServerClockTolerance) {
    LogMessage("Set Local Time To Server Time\n");
    SetSystemClock(*server);
  }
}

}  // namespace

std::optional<std::time_t> ParseServerDate(const char* text) {
  std::tm tm{};
  // What follows the seconds (a fraction, a line end) is not part of the
  // date and is passed over.
  if (strptime(text, kDateFormat, &tm) == nullptr) return std::nullopt;
  // The server gives local time without saying whether daylight saving is
  // in force; the time zone knows.
  tm.tm_isdst = -1;
  const std::time_t when = std::mktime(&tm);
  if (when == static_cast<std::time_t>(-1)) return std::nullopt;
  return when;
}

bool HandleReply(CloudState& state, std::string_view body) {
  LogMessage("DATA TO PARSE: %.*s\n", static_cast<int>(body.size()), body.data());
  const JsonDocument reply(body);
  LogMessage("Try to parse JSON\n");
  json_object* root = reply.root();
  if (root == nullptr) {
    LogMessage("ERROR parse JSON\n");
    return false;
  }
  const char* date = nullptr;
  if (!JsonString(root, "date", date)) {
    LogMessage("ERROR GET DATE\n");
    return false;
  }
  LogMessage("DATE= %s\n", date);
  TakeServerClock(date);

  int32_t interval = 0;
  if (JsonLenientInt(root, "interval", interval)) {
    state.interval = interval;
    LogMessage("INTERVAL = %d\n", state.interval);
  }
  json_object* messages = nullptr;
  if (!JsonArray(root, "messages", messages)) {
    LogMessage("ERROR GET MESSAGES\n");
    return false;
  }
  const size_t count = json_object_array_length(messages);
  for (size_t i = 0; i < count; ++i) {
    json_object* message = json_object_array_get_idx(messages, i);
    if (message == nullptr) {
      LogMessage("ERROR GET MESSAGE %d\n", static_cast<int>(i));
      continue;
    }
    int32_t id = 0;
    if (!JsonLenientInt(message, "id", id)) {
      LogMessage("ERROR GET ID\n");
      return false;
    }
    const char* name = nullptr;
    if (!JsonString(message, "operation", name)) {
      LogMessage("ERROR GET OPERATION\n");
      return false;
    }
    LogMessage("OPERATION= %s\n", name);
    const Operation* operation = FindOperation(name);
    if (operation == nullptr) {
      LogMessage("UNKNOWN OPERATION\n");
      continue;
    }
    if (operation->run(state, message, id) == Outcome::kRefused) return false;
  }
  return true;
}
