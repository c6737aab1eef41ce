// Fuzz target: the event batches verifyd takes from the MCU's GetExternal
// payload and the events request built from them.  Besides the sanitizers'
// checks: the records planned are whole records inside the payload, never
// more than the count byte or the payload allows, and every batch the MCU
// can hand over fits the request: one that did not would never be
// delivered, and the MCU would offer it again for ever.
//
// Input: reader order and year bytes, then the payload (count byte and
// records), at most one frame's data as GetExternal hands it over.

#include <cstdlib>
#include <span>

#include "link/frame.h"
#include "verifyd/requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool reader_order = (data[0] & 1) != 0;
  const int year = 2000 + data[1] % 100;
  std::span<const uint8_t> payload(data + 2, size - 2);
  // GetExternal copies at most one frame's data.
  if (payload.size() > kMaxFrameData) payload = payload.first(kMaxFrameData);

  const EventBatch batch = PlanEventBatch(payload);
  if (batch.records.size() != batch.count * kEventRecordSize) std::abort();
  if (batch.count > 0) {
    if (batch.count > payload[0] || batch.count > kMaxBatchRecords) std::abort();
    if (batch.records.data() != payload.data() + 1) std::abort();
  }

  static char elements[kEventElementsSize];
  if (!BuildEventElements(batch.records, year, reader_order, elements)) std::abort();
  static char request[kEventsRequestSize];
  const RequestEnvelope envelope{.request_id = 2147483647,
                                 .operation = kEvents,
                                 .serial = 2147483647,
                                 .controller_ip = "255.255.255.255",
                                 .date = "2026-03-05 12:34:56"};
  if (BuildEventsRequest(envelope, elements, request) == 0) std::abort();
  return 0;
}
