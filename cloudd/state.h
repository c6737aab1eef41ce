// The cloud daemon's process-wide state: one plain struct, owned by the main
// thread.  ThreadScan never reads it; it gets the server address and the
// redirect path through DiscoveryPublish, which copies them under a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cloudd/card_request.h"
#include "cloudd/key_image.h"
#include "link/commands.h"
#include "link/memory_map.h"
#include "net/http_client.h"

// The outgoing message batch: a 2048-byte text with a write position.
inline constexpr size_t kBatchSize = 2048;

struct MessageBatch {
  // One byte more than the batch holds, for the terminator.
  std::array<char, kBatchSize + 1> text{};
  size_t used = 0;

  size_t free() const { return kBatchSize - used; }
};

// Card read-out: the key base reported to the server in chunks.
struct ReadOutState {
  bool in_progress = false;
  uint32_t position = kKeyBaseStart;  // next slot to report
  uint16_t pointer = 0;               // last-key pointer as read at the start
};

// What the wait phase learns from the MCU.
struct WaitState {
  uint16_t head = 0;
  uint16_t tail = 0;  // GetEvents advances it locally
  uint32_t waiting = 0;
  uint8_t mode = 0;
  int sync_counter = 0;

  // Extension record code waiting for the next ordinary record.
  ExtensionCode pending_extension{};

  // The tail after the events GetEvents put into a batch; written to the
  // controller when the server confirms them.  `reported` stays set until
  // then, so a confirmation never writes back a stale tail.
  uint16_t reported_tail = 0;
  bool reported = false;
  // The tail those events began at.  Until the server confirms them the
  // advanced tail is only local: the next batch starts here again, also
  // when no clock-block read brought the controller's tail back in between
  // (a card ended the wait phase first, or the reads failed).
  uint16_t reported_from = 0;
  // The extension code that was pending when those events began: a batch
  // that ends with an extension record leaves its code pending, and the
  // events sent again must not take it instead of their own cards.
  ExtensionCode reported_from_extension{};
};

inline constexpr size_t kServerTextSize = 256;
inline constexpr size_t kCredentialSize = 64;

struct CloudState {
  long serial = 0;
  std::array<char, kServerTextSize> server_address{};
  std::array<char, kServerTextSize> redirect_path{};
  std::array<char, kCredentialSize> login{};
  std::array<char, kCredentialSize> password{};
  int period = 10;
  int interval = 10;
  int active = 0;
  uint8_t online = 0;
  unsigned failures = 0;

  MessageBatch batch;
  ResponseBody response{.overflow_message = "HTTP Buffer owerflow\n"};
  KeyImage key_image{};

  double download_total = 0;
  double upload_total = 0;

  ReadOutState read_out;
  WaitState wait;
  CardRequests cards;
};

// The process's state (a static object: the key image alone is 64 KiB).
CloudState& Cloud();

// The key format the MCU last reported (GetCtrlParams).
inline KeyFormat CurrentKeyFormat() {
  return {.wiegand = ControllerParams().wiegand, .short_keys = !ControllerParams().six_byte_keys};
}
