// From a complete request in the frame buffer to the reply in its place.
#include <algorithm>

#include "emulator/commands.h"
#include "emulator/mcu_state.h"

namespace emu {
namespace {

constexpr uint8_t kRefusedByte = 0xAA;
constexpr uint8_t kStatusByteAA = 0xAA;
constexpr uint8_t kExtraDataByte = 0xEE;

bool RequestIsSound(const Request& request) {
  return request.length() >= kMinFrameLength &&
         request.bytes[0] == ExpectedStart(request.command()) && FrameSum(request.bytes) == 0;
}

// The reply head echoes the request's sequence byte, command and parameters.
std::vector<uint8_t> ReplyFor(const Request& request, uint8_t status,
                              const std::vector<uint8_t>& data) {
  std::vector<uint8_t> reply(kFrameHeadSize + data.size());
  reply[kByteStatus] = status;
  reply[kByteLength] = static_cast<uint8_t>(kMinFrameLength + data.size());
  reply[kByteFixed09] = 0x09;
  reply[kByteSequence] = request.bytes[kByteSequence];
  reply[kByteCommand] = request.bytes[kByteCommand];
  reply[kByteFixed02] = 0x02;
  reply[kByteParam1] = request.param1();
  reply[kByteParam2] = request.param2();
  std::copy(data.begin(), data.end(), reply.begin() + kFrameHeadSize);
  SealFrame(reply);
  return reply;
}

}  // namespace

void McuState::CompleteRequest(std::unique_lock<std::mutex>& lock) {
  // A request with L below 8 is padded to a full head only to be rejected.
  std::vector<uint8_t> bytes = frame.RequestBytes();
  if (bytes.size() < kFrameHeadSize) bytes.resize(kFrameHeadSize, 0);
  const Request request{bytes};
  const int command = request.command();
  Append(requests, frame.RequestBytes());

  CommandReply result;
  if (!RequestIsSound(request) || faults.Take(FaultKind::kStatusRejected, command)) {
    result.rejected = true;
  } else {
    result = ExecuteCommand(*this, request);
  }

  std::vector<uint8_t> reply;
  if (result.rejected) {
    reply = ReplyFor(request, kStatusRejected, {});
  } else {
    std::vector<uint8_t>& data = result.data;
    if (command == kCmdReadMem && !data.empty() &&
        faults.Take(FaultKind::kUnstableReads, command)) {
      // Consecutive counter values never give the same mask, so two reads
      // in a row always differ.
      unstable_counter = static_cast<uint8_t>(unstable_counter % 255 + 1);
      data.back() ^= unstable_counter;
    }
    if (faults.Take(FaultKind::kNoData, command)) data.clear();
    if (faults.Take(FaultKind::kRefused, command)) {
      if (data.empty()) data.push_back(kRefusedByte);
      data[0] = kRefusedByte;
    }
    if (auto extra = faults.Take(FaultKind::kExtraData, command)) {
      const size_t n = std::min<size_t>(std::max(extra->value, 0), kMaxReplyData - data.size());
      data.insert(data.end(), n, kExtraDataByte);
    }
    reply = ReplyFor(request, kStatusOk, data);
    if (faults.Take(FaultKind::kWrongEcho, command)) {
      ++reply[kByteSequence];
      SealFrame(reply);
    }
    if (faults.Take(FaultKind::kStatusAA, command)) reply[kByteStatus] = kStatusByteAA;
    if (faults.Take(FaultKind::kBadChecksum, command)) ++reply[kByteChecksum];
    if (auto shorter = faults.Take(FaultKind::kShortLength, command)) {
      reply[kByteLength] = static_cast<uint8_t>(shorter->value);
    }
  }
  frame.PutReply(reply);
  RaiseReadyFor(command, lock);
}

void McuState::CompleteRawLine(std::unique_lock<std::mutex>& lock) {
  std::vector<uint8_t> line = frame.RawLine();
  if (line.empty()) return;
  Append(requests, std::move(line));
  // Taken once: later writes behind the line do not complete it again.
  frame.PutReply(raw_reply);
  if (raw_reply.empty()) return;
  RaiseReadyFor(kRawLine, lock);
}

void McuState::BootLoaderWrite(std::span<const uint8_t> bytes, std::unique_lock<std::mutex>& lock) {
  LowerForNewRequest();
  const bool refuse = !boot.active() && BootLoader::IsEntryRequest(bytes) &&
                      faults.Take(FaultKind::kNoBootLoader, kBootRecord).has_value();
  const BootLoader::Event event = boot.Write(bytes, refuse);
  if (event == BootLoader::Event::kRecordComplete || event == BootLoader::Event::kDone) {
    RaiseReadyFor(kBootRecord, lock);
  }
}

void McuState::RaiseReadyFor(int command, std::unique_lock<std::mutex>& lock) {
  if (faults.Take(FaultKind::kNoReady, command)) return;
  if (auto slow = faults.Take(FaultKind::kSlowReady, command)) {
    RaiseAfter(std::chrono::milliseconds(std::max(slow->value, 0)), lock);
    return;
  }
  SetReady(true);
}

}  // namespace emu
