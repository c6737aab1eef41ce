// The texts verifyd sends to its access server, built from plain values so
// that every byte of them can be checked without a server: the common
// envelope, the card identifier, the event elements, the three request
// texts, and which records of an event batch go out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "link/memory_map.h"

// "%Y-%m-%d %H:%M:%S" and room for years of more than four digits.
inline constexpr size_t kDateTextSize = 32;
using DateText = std::array<char, kDateTextSize>;

// The local time `when` as "%Y-%m-%d %H:%M:%S".
void FormatLocalDate(time_t when, DateText& out);

// The fields every request starts with, in this order.
struct RequestEnvelope {
  int request_id = 0;
  const char* operation = "";
  long serial = 0;
  const char* controller_ip = "";
  const char* date = "";
};

inline constexpr const char* kPoweron = "poweron";
inline constexpr const char* kCheckAccess = "check_access";
inline constexpr const char* kEvents = "events";

// The six card bytes as twelve upper-case hexadecimal digits: in the order
// received when `reader_order` is set, else reversed.
using CardIdentifier = std::array<char, kCardTextBufferSize>;
void FormatCardIdentifier(std::span<const uint8_t, kKeyCodeSize> card, bool reader_order,
                          CardIdentifier& out);

// Request texts.  Each returns the text's length, or 0 (and an empty text)
// when it does not fit into `out`.
size_t BuildPoweronRequest(const RequestEnvelope& envelope, std::span<char> out);
size_t BuildCheckAccessRequest(const RequestEnvelope& envelope, const char* identifier,
                               int reader, std::span<char> out);
// `elements` is the list BuildEventElements made (may be empty).
size_t BuildEventsRequest(const RequestEnvelope& envelope, const char* elements,
                          std::span<char> out);

// One element per event record that is not an extension record (code
// 0x55), separated by commas.  An extension record gives its card (bytes
// 2..7) and reader number (byte 1) to the one record after it; any other
// record has twelve zeros and reader 0.  Record dates take `year` and the
// record's BCD month, day, hour, minute and second.  False, with an empty
// text, when the list does not fit (an empty list is no failure).
// REQUIRES: records.size() is a multiple of 8.
bool BuildEventElements(std::span<const uint8_t> records, int year, bool reader_order,
                          std::span<char> out);

// A GetExternal payload holds at most 247 bytes: 30 records after the
// count byte.  Each element takes at most about 100 characters.
inline constexpr size_t kMaxBatchRecords = 30;
inline constexpr size_t kEventElementsSize = kMaxBatchRecords * 100;
inline constexpr size_t kEventsRequestSize = kEventElementsSize + 512;
inline constexpr size_t kRequestSize = 512;  // "poweron" and "check_access"

// The records of an event batch (payload: count byte, then records) that
// are forwarded, and so acknowledged once the server confirms them.  The
// count byte is trusted only as far as the payload holds whole records.  A
// trailing extension record stays with the MCU when other records go out:
// acknowledged now, it would arrive next time without its card.
struct EventBatch {
  std::span<const uint8_t> records;  // whole records, 8 bytes each
  size_t count = 0;
};
EventBatch PlanEventBatch(std::span<const uint8_t> payload);
