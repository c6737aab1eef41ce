#include "verifyd/scan_loop.h"

#include <unistd.h>

#include <array>
#include <cstdio>

#include "link/commands.h"
#include "link/memory_map.h"
#include "link/platform/repeat_log.h"
#include "verifyd/access_client.h"
#include "verifyd/requests.h"
#include "verifyd/server_state.h"

namespace {

constexpr useconds_t kPollPeriodMicroseconds = 100000;
constexpr uint8_t kFirstCardKind = 0x20;  // smaller kind bytes count event records

// The poll runs ten times a second: an MCU that does not answer is logged
// once and then counted (repeat_log.h).  The scan loop alone polls.
RepeatFilter g_poll_failures;

}  // namespace

uint8_t ScanCycle(uint8_t ack) {
  std::array<uint8_t, kExternalBufferSize> payload{};
  RepeatScope poll(g_poll_failures);
  int size = GetExternal(payload, ack);
  poll.End(size <= 0);
  if (!ServerOnline()) size = 0;
  if (size <= 0) return 0;

  if (payload[0] >= kFirstCardKind) {
    const uint8_t reader = payload[0] & 1;
    const std::span<const uint8_t, kKeyCodeSize> card(payload.data() + 1, kKeyCodeSize);
    const uint32_t grant = CheckAccess(card, reader);
    const uint32_t code = 34u + 2u * grant + reader;
    std::printf("Granted = %u (%02X)\n", grant, code);
    SetExternal(card, static_cast<uint8_t>(code & 0xFF), reader);
    return 0;
  }

  // A payload too short for one record is neither a card nor a batch; its
  // length is no count of records, so nothing is acknowledged.
  if (static_cast<size_t>(size) < kEventRecordSize) return 0;
  const EventBatch batch = PlanEventBatch(std::span<const uint8_t>(payload).first(size));
  if (batch.count == 0) return 0;
  return static_cast<uint8_t>(SendEvents(batch.records));
}

void RunScanLoop() {
  uint8_t ack = 0;
  for (;;) {
    ::usleep(kPollPeriodMicroseconds);
    ack = ScanCycle(ack);
  }
}
