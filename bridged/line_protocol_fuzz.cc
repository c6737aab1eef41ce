// Fuzz target: the bridge's line processor and text-frame codec, fed what
// a PC may send over TCP in chunks of any size, with an MCU stand-in that
// answers with arbitrary bytes.  Besides the sanitizers' checks: no reply
// block, line or text frame is longer than its buffer, and no request
// handed to the MCU is longer than its frame buffer.
//
// Input: a byte giving the stand-in's reply length, that many reply bytes,
// then chunks, each a length byte and its bytes.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bridged/line_protocol.h"
#include "bridged/text_frame.h"
#include "testing/fuzzing.h"

namespace {

LinkBuffer g_reply{};
bool g_answers = false;
size_t g_requests = 0;

bool StandInRelay(std::span<const uint8_t> request, LinkBuffer& reply) {
  // The bridge never hands the MCU more than its frame buffer.
  if (request.size() > kLinkBufferSize) std::abort();
  ++g_requests;
  reply = g_reply;
  return g_answers;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  g_reply.fill(0);
  const std::vector<uint8_t> reply = input.ConsumeBytes<uint8_t>(input.ConsumeIntegral<uint8_t>());
  std::copy(reply.begin(), reply.end(), g_reply.begin());
  g_answers = input.ConsumeBool();
  g_requests = 0;

  // Whatever the MCU answered, its text frame fits the largest one.
  std::array<uint8_t, EncodedTextSize(255)> text{};
  const size_t encoded = EncodeTextFrame(g_reply, text);
  if (encoded > text.size()) std::abort();

  LineProcessor lines{.serial = 42, .auth_key = "KEY", .relay = StandInRelay};
  ResetLine(lines);
  std::array<uint8_t, kBridgeBufferSize> block{};
  while (input.remaining_bytes() > 0) {
    const std::vector<uint8_t> chunk =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, kBridgeBufferSize));
    const size_t answered = ProcessChunk(lines, chunk, block);
    if (answered > block.size()) std::abort();
    if (lines.length > lines.line.size()) std::abort();
  }

  // The decoder alone, into buffers smaller than a frame.
  std::array<uint8_t, 16> small{};
  const DecodedText decoded = DecodeTextFrame({data, size}, small);
  if (decoded.length > small.size()) std::abort();
  return 0;
}
