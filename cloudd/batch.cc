#include "cloudd/batch.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "cloudd/tables.h"
#include "cloudd/wait_phase.h"
#include "link/commands.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "net/controller_ip.h"

namespace {

// Room kept free for the batch's closing "]}".
constexpr size_t kCloseSize = 2;

constexpr const char* kEnvelopeHead = "{\"type\":\"TQ8HUB\",\"sn\":%ld,\"messages\":[";
constexpr const char* kPowerOn =
    "{\"id\":%d,\"operation\":\"power_on\",\"fw\":\"%d.%d\",\"conn_fw\":\"%s\",\"active\":%d,"
    "\"mode\":%d,\"controller_ip\":\"%s\",\"reader_protocol\":\"%s\"}";
constexpr const char* kCheckAccessHead = "{\"id\":%d,\"operation\":\"check_access\",\"card\":\"";
constexpr const char* kCheckAccessTail = "\",\"reader\":%d}";
constexpr const char* kEventsHead = "{\"id\":%d,\"operation\":\"events\",\"events\":[";
constexpr const char* kReadCardsHead = "{\"operation\":\"read_cards\",\"last_card\":%d,\"cards\":[";
constexpr const char* kPing = "{\"id\":%d,\"operation\":\"ping\",\"active\":%d,\"mode\":%d}";
constexpr const char* kCardObjectPos = "{\"pos\":%d,";
constexpr const char* kCardObjectCard = "\"card\": \"%s\"";
constexpr const char* kCardObjectTail = ",\"flags\":%d,\"tz\":%d}";
constexpr const char* kSuccessAnswer = "{ \"id\":%d, \"success\":1}";

// Largest read-out chunk: 16 slots of 8 bytes.
constexpr uint32_t kChunkBytes = 128;

// A presented card as hexadecimal pairs: in the order read under Wiegand,
// from the last byte down under Dallas.
void CardRequestText(const CardRequest& request, bool wiegand,
                     std::span<char, 2 * kExternalBufferSize + 1> out) {
  const std::span<const uint8_t> card = request.card();
  size_t at = 0;
  for (size_t k = 0; k < card.size(); ++k) {
    const uint8_t byte = wiegand ? card[k] : card[card.size() - 1 - k];
    std::snprintf(out.data() + at, out.size() - at, "%02X", byte);
    at += 2;
  }
  out[at] = '\0';
}

void AppendPowerOn(CloudState& state) {
  std::array<char, kControllerIpSize> ip{};
  FindControllerIp(ip);
  const CtrlParams& params = ControllerParams();
  BatchSeparate(state.batch);
  BatchAppend(state.batch, kPowerOn, NextMessageId(), params.fw_major, params.fw_minor,
              kCloudVersion, state.active, state.wait.mode, ip.data(),
              params.wiegand ? "wiegand" : "dallas");
}

// False when the message did not fit: the card then stays presented (and
// is not polled for again) until a batch has room for it.
bool AppendCheckAccess(CloudState& state) {
  const CardRequest& request = state.cards.at_reader;
  const int reader = request.reader();
  std::array<char, 2 * kExternalBufferSize + 1> card{};
  CardRequestText(request, ControllerParams().wiegand, card);
  // One append for the whole message, so it goes out whole or not at all.
  std::array<char, sizeof(card) + 128> message{};
  const int id = NextMessageId();
  int length = std::snprintf(message.data(), message.size(), kCheckAccessHead, id);
  length += std::snprintf(message.data() + length, message.size() - length, "%s", card.data());
  std::snprintf(message.data() + length, message.size() - length, kCheckAccessTail, reader + 1);
  if (!BatchAppendMessage(state.batch, message.data())) {
    LogMessage("TrBuffer Full!\n");
    return false;
  }
  std::printf("CHECK ACCESS (%d): [%d]\n ", static_cast<int>(request.length), reader);
  for (const uint8_t byte : request.card()) std::printf("%02X", byte);
  std::printf("\n");
  CardAsked(state.cards);
  return true;
}

void AppendEvents(CloudState& state) {
  MessageBatch& batch = state.batch;
  BatchSeparate(batch);
  // Room for the message's own "]}" besides the batch's.
  std::array<char, 64> head{};
  const int length = std::snprintf(head.data(), head.size(), kEventsHead, NextMessageId());
  if (static_cast<size_t>(length) + 2 * kCloseSize > batch.free()) {
    LogMessage("TrBuffer Full!\n");
    return;
  }
  BatchAppend(batch, "%s", head.data());
  GetEvents(state, batch.free());
  BatchAppend(batch, "]}");
}

void AppendPing(CloudState& state) {
  if (state.batch.used > kBatchFullMark) {
    LogMessage("TrBuffer Full!\n");
    return;
  }
  GetCtrlParams();
  BatchSeparate(state.batch);
  BatchAppend(state.batch, kPing, NextMessageId(), state.active, state.wait.mode);
}

}  // namespace

void BatchReset(MessageBatch& batch, long serial) {
  batch.used = 0;
  batch.text[0] = '\0';
  BatchAppend(batch, kEnvelopeHead, serial);
}

bool BatchAppend(MessageBatch& batch, const char* format, ...) {
  const size_t room = batch.free() > kCloseSize ? batch.free() - kCloseSize : 0;
  va_list args;
  va_start(args, format);
  // Formatted straight into the batch; the terminator lands in the byte kept
  // past the batch's end at worst.
  const int length = std::vsnprintf(batch.text.data() + batch.used, room + 1, format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) > room) {
    batch.text[batch.used] = '\0';
    return false;
  }
  batch.used += static_cast<size_t>(length);
  return true;
}

void BatchSeparate(MessageBatch& batch) {
  if (batch.used > 0 && batch.text[batch.used - 1] == '}') BatchAppend(batch, ",");
}

const char* BatchClose(MessageBatch& batch) {
  // A separator whose message did not fit would make the batch no JSON.
  if (batch.used > 0 && batch.text[batch.used - 1] == ',') --batch.used;
  // Room for these two bytes was kept by every append.
  batch.text[batch.used++] = ']';
  batch.text[batch.used++] = '}';
  batch.text[batch.used] = '\0';
  return batch.text.data();
}

int NextMessageId() { return std::rand(); }

bool BatchAppendMessage(MessageBatch& batch, const char* text) {
  const bool separated = batch.used > 0 && batch.text[batch.used - 1] == '}';
  return BatchAppend(batch, "%s%s", separated ? "," : "", text);
}

void QueueSuccessAnswer(CloudState& state, int id) {
  std::array<char, 48> answer{};
  std::snprintf(answer.data(), answer.size(), kSuccessAnswer, id);
  if (!BatchAppendMessage(state.batch, answer.data())) LogMessage("TrBuffer Full!\n");
}

void BuildMessages(CloudState& state) {
  // A confirmation in the reply refers to the events of this batch only;
  // events of the last batch that were not confirmed are sent again.
  RewindUnconfirmedEvents(state.wait);
  if (state.active == 0) {
    LogMessage("Try To Get Active!\n");
    AppendPowerOn(state);
    return;
  }
  // The card at the reader waits for its answer: nothing else goes ahead of
  // it, so a batch without room for it carries only the answers queued.
  if (CardWaitsForAsking(state.cards) && !AppendCheckAccess(state)) return;
  GetCtrlParams();
  LogMessage("Events: %d (Empty: %u)\n", static_cast<int>(state.wait.waiting),
             static_cast<unsigned>(state.batch.free()));
  if (state.wait.waiting > 0) {
    AppendEvents(state);
    return;
  }
  if (state.read_out.in_progress) {
    AppendReadOutChunk(state);
    return;
  }
  AppendPing(state);
}

void AppendReadOutChunk(CloudState& state) {
  MessageBatch& batch = state.batch;
  ReadOutState& read_out = state.read_out;
  if (batch.used > kBatchFullMark) {
    std::printf("TrBuffer Full!");
    return;
  }
  if (read_out.position == kKeyBaseStart) {
    ReadLastKeyPointer(read_out.pointer);
    std::printf("LAST CARD: %02X-%02X\n", read_out.pointer >> 8, read_out.pointer & 0xFF);
    std::printf("LAST CARD: %04X\n", static_cast<unsigned>(read_out.pointer == 0
                                                               ? kKeyBaseEnd
                                                               : read_out.pointer));
  }
  // KeyBaseEnd: 0 stands for 0x10000, and a pointer below the key base for
  // an empty one.
  const uint32_t last = KeyBaseEnd(read_out.pointer);
  const uint32_t end = std::min(last, read_out.position + kChunkBytes);

  // A chunk is at most 16 card objects of under 64 bytes each after a batch
  // of at most 800 bytes, so every piece below fits.
  BatchSeparate(batch);
  BatchAppend(batch, kReadCardsHead, KeySlotsInUse(read_out.pointer));
  std::printf("Read cards from %04X to %04X\n", static_cast<unsigned>(read_out.position),
              static_cast<unsigned>(end));
  const KeyFormat format = CurrentKeyFormat();
  for (uint32_t a = read_out.position; a < end; a += kKeyRecordSize) {
    std::printf("Card: %04X->%04X %02d\n", static_cast<unsigned>(a), static_cast<unsigned>(end),
                static_cast<int>(batch.used));
    KeyRecordBytes record{};
    // A slot that cannot be read is left out rather than reported as a card
    // of twelve zeros that the server would take for a real one.
    if (!Done(ReadKeyRecord(static_cast<uint16_t>(a), record))) continue;
    if (!KeySlotReported(record)) continue;
    std::array<char, kCardTextBufferSize> text{};
    FormatCardText(std::span<const uint8_t>(record.data(), kKeyCodeSize), format, text);
    BatchSeparate(batch);
    BatchAppend(batch, kCardObjectPos, KeySlotNumber(a));
    BatchAppend(batch, kCardObjectCard, text.data());
    BatchAppend(batch, kCardObjectTail, record[6], record[7]);
  }
  BatchAppend(batch, "]}");

  read_out.position = end;
  if (end == last) {
    read_out.position = kKeyBaseStart;
    read_out.in_progress = false;
  }
}
