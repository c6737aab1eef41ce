#include "verifyd/requests.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "link/platform/bcd.h"

namespace {

// snprintf into `out`; the length, or 0 and an empty text when cut.
size_t FormatInto(std::span<char> out, const char* format, ...) __attribute__((format(printf, 2, 3)));

size_t FormatInto(std::span<char> out, const char* format, ...) {
  if (out.empty()) return 0;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(out.data(), out.size(), format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= out.size()) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n);
}

// The envelope's fields, as every request text starts.
#define TQ8_ENVELOPE                                                                       \
  "{\"request_id\":%d,\"operation\":\"%s\",\"controller_type\":\"TQ8HUB\",\"controller_sn\":%ld," \
  "\"controller_ip\":\"%s\",\"date\":\"%s\""

}  // namespace

void FormatLocalDate(time_t when, DateText& out) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr ||
      std::strftime(out.data(), out.size(), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    out[0] = '\0';
  }
}

void FormatCardIdentifier(std::span<const uint8_t, kKeyCodeSize> card, bool reader_order,
                          CardIdentifier& out) {
  FormatCardText(card, KeyFormat{.wiegand = reader_order, .short_keys = false}, out);
}

size_t BuildPoweronRequest(const RequestEnvelope& e, std::span<char> out) {
  return FormatInto(out, TQ8_ENVELOPE "}", e.request_id, e.operation, e.serial, e.controller_ip,
                    e.date);
}

size_t BuildCheckAccessRequest(const RequestEnvelope& e, const char* identifier, int reader,
                               std::span<char> out) {
  return FormatInto(out, TQ8_ENVELOPE ",\"identifier\":\"%s\",\"reader_id\":\"%d\"}",
                    e.request_id, e.operation, e.serial, e.controller_ip, e.date, identifier,
                    reader);
}

size_t BuildEventsRequest(const RequestEnvelope& e, const char* elements, std::span<char> out) {
  return FormatInto(out, TQ8_ENVELOPE ", \"events\": [%s]}", e.request_id, e.operation, e.serial,
                    e.controller_ip, e.date, elements);
}

bool BuildEventElements(std::span<const uint8_t> records, int year, bool reader_order,
                        std::span<char> out) {
  if (out.empty()) return false;
  out[0] = '\0';
  KeyCode card{};
  int reader = 0;
  bool previous_was_extension = false;
  size_t used = 0;
  for (size_t at = 0; at + kEventRecordSize <= records.size(); at += kEventRecordSize) {
    const std::span<const uint8_t, kEventRecordSize> record =
        records.subspan(at).first<kEventRecordSize>();
    if (!previous_was_extension) {
      card.fill(0);
      reader = 0;
    }
    previous_was_extension = record[0] == kExtension6;
    if (previous_was_extension) {
      std::copy_n(record.begin() + 2, kKeyCodeSize, card.begin());
      reader = record[1];
      continue;
    }
    CardIdentifier identifier{};
    FormatCardIdentifier(card, reader_order, identifier);
    const size_t n = FormatInto(
        out.subspan(used),
        "%s{\"event_type\":%d,\"identifier\":\"%s\",\"date\":\"%04d-%02d-%02d %02d:%02d:%02d\","
        "\"reader_id\": %d}",
        used == 0 ? "" : ",", record[0], identifier.data(), year, BcdToBin(record[3]),
        BcdToBin(record[4]), BcdToBin(record[5]), BcdToBin(record[6]), BcdToBin(record[7]),
        reader);
    if (n == 0) {
      out[0] = '\0';
      return false;
    }
    used += n;
  }
  return true;
}

EventBatch PlanEventBatch(std::span<const uint8_t> payload) {
  if (payload.empty()) return {};
  const size_t whole = (payload.size() - 1) / kEventRecordSize;
  size_t count = std::min<size_t>(payload[0], whole);
  if (count > 1 && payload[1 + (count - 1) * kEventRecordSize] == kExtension6) --count;
  return {.records = payload.subspan(1, count * kEventRecordSize), .count = count};
}
