#include "bridged/line_protocol.h"

#include <algorithm>
#include <cstdio>

#include "bridged/text_frame.h"
#include "link/platform/platform.h"

namespace {

constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kIdentification = 0xC8;
constexpr uint8_t kUnrecognised[] = {0x02, 'H', 'J'};

constexpr bool IsTextFrameStart(uint8_t byte) { return byte >= 0x1D && byte <= 0x20; }

// The answers of one chunk.
struct ReplyBlock {
  std::span<uint8_t> out;
  size_t used = 0;
  unsigned left_out = 0;

  void Append(std::span<const uint8_t> answer) {
    if (answer.size() > out.size() - used) {
      ++left_out;
      return;
    }
    std::copy(answer.begin(), answer.end(), out.begin() + static_cast<std::ptrdiff_t>(used));
    used += answer.size();
  }
  void AppendText(const char* text, int length) {
    if (length < 0) return;
    Append(std::span(reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(length)));
  }
};

void AppendBanner(const LineProcessor& lines, ReplyBlock& reply) {
  char text[512];
  const int n = std::snprintf(text, sizeof(text),
                              "TQ8-HUB converter S/N:%05ld\r\n"
                              "TQ8 Hub Systems, tel. +00 100 200 300, fax +00 100 200 301\r\n"
                              "(c) TQ8 Hub Systems. All rights reserved.\r\n"
                              "www.tq8hub.example\r\n"
                              "Version %s build %s %s\r\n"
                              "----------------------------------\r\n"
                              "Current mode - Advanced\r\n",
                              lines.serial, "1.0.166", "Dec 25 2023", "13:04:52");
  reply.AppendText(text, std::min(n, static_cast<int>(sizeof(text)) - 1));
}

void AppendIdentification(const LineProcessor& lines, ReplyBlock& reply) {
  char text[320];
  const int n = std::snprintf(text, sizeof(text), "TQ8-HUB S/N:%05ld,Mode:1,%s\r\n", lines.serial,
                              lines.auth_key);
  reply.AppendText(text, std::min(n, static_cast<int>(sizeof(text)) - 1));
}

// The MCU's reply to a text frame: its status byte, then the text frame.
void AppendTextFrameAnswer(const LinkBuffer& mcu_reply, ReplyBlock& reply) {
  std::array<uint8_t, 1 + EncodedTextSize(255)> answer;
  answer[0] = mcu_reply[0];
  const size_t text = EncodeTextFrame(mcu_reply, std::span(answer).subspan(1));
  if (text > 0) reply.Append(std::span(answer).first(1 + text));
}

void HandleTextFrame(const LineProcessor& lines, std::span<const uint8_t> line, ReplyBlock& reply) {
  LinkBuffer request{};
  request[0] = line[0];
  const DecodedText decoded = DecodeTextFrame(line.subspan(1), std::span(request).subspan(1));
  if (decoded.too_long) {
    reply.Append(kUnrecognised);
    return;
  }
  LinkBuffer mcu_reply;
  if (!lines.relay(std::span(request).first(1 + decoded.length), mcu_reply)) return;
  if (mcu_reply[0] == kStatusRejected) return;
  AppendTextFrameAnswer(mcu_reply, reply);
}

void HandleRawFrame(const LineProcessor& lines, std::span<const uint8_t> line, ReplyBlock& reply) {
  if (line.size() > kLinkBufferSize) {
    reply.Append(kUnrecognised);
    return;
  }
  LinkBuffer mcu_reply;
  if (!lines.relay(line, mcu_reply)) return;
  if (mcu_reply[0] == kStatusRejected) return;
  const size_t length = std::max<size_t>(mcu_reply[2], kFrameNoDataLength);
  reply.Append(std::span(mcu_reply).subspan(kFrameHeadSize, length - kFrameNoDataLength));
}

void HandleLine(const LineProcessor& lines, ReplyBlock& reply) {
  const std::span<const uint8_t> line = std::span(lines.line).first(lines.length);
  const uint8_t first = line[0];
  if (lines.overflowed) {
    reply.Append(kUnrecognised);
  } else if (first == 'i' || first == 'I') {
    AppendBanner(lines, reply);
  } else if (first == kIdentification) {
    AppendIdentification(lines, reply);
  } else if (IsTextFrameStart(first)) {
    HandleTextFrame(lines, line, reply);
  } else if (first == 'L' || first == 'l') {
    HandleRawFrame(lines, line, reply);
  } else {
    reply.Append(kUnrecognised);
  }
}

}  // namespace

void ResetLine(LineProcessor& lines) {
  lines.length = 0;
  lines.overflowed = false;
  lines.after_carriage_return = false;
}

size_t ProcessChunk(LineProcessor& lines, std::span<const uint8_t> chunk,
                    std::span<uint8_t, kBridgeBufferSize> out) {
  ReplyBlock reply{.out = out};
  for (const uint8_t byte : chunk) {
    const bool skip = lines.after_carriage_return && byte == kLineFeed;
    lines.after_carriage_return = false;
    if (skip) continue;
    // The line keeps what fits; the rest of an overlong line is dropped.
    if (lines.length < lines.line.size()) {
      lines.line[lines.length++] = byte;
    } else {
      lines.overflowed = true;
    }
    if (byte != kCarriageReturn) continue;
    HandleLine(lines, reply);
    lines.length = 0;
    lines.overflowed = false;
    lines.after_carriage_return = true;
  }
  if (reply.left_out > 0) {
    LogMessage("Reply block full: %u answers left out\n", reply.left_out);
  }
  return reply.used;
}
