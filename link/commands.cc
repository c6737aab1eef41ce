#include "link/commands.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/frame.h"
#include "link/report.h"
#include "link/transaction.h"
#include "link/variant.h"

namespace {

CtrlParams g_ctrl_params;

// The failure messages a command shows, from the program's choice.
TransactionMessages BusMessages(const CommandReporting& reporting, const char* name) {
  TransactionMessages messages;
  if (reporting.bus_failures) {
    messages.write_failed = "ERROR I2C WRITE\n";
    messages.timed_out = "ERROR: WAIT TIMEOUT!\n";
    messages.head_read_failed = "ERROR I2C READ\n";
    messages.data_read_failed = "ERROR I2C READ\n";
  }
  if (reporting.name_before_timeout) messages.timed_out_prefix = name;
  return messages;
}

void ReportIf(bool enabled, const char* text) {
  if (enabled) LinkReport("%s", text);
}

}  // namespace

const CtrlParams& ControllerParams() { return g_ctrl_params; }

LinkResult GetCtrlParams() {
  const CommandReporting& reporting = ActiveLinkVariant().get_ctrl_params;
  ReportIf(reporting.announce, "GetCtrlParams\n");
  std::array<uint8_t, 4> data{};
  const LinkReply reply = LinkTransaction({
      .frame = {.start = kParamsStartByte, .command = kCmdGetCtrlParams},
      .checking = false,
      .accept = Acceptance::kAlways,
      .dest = data,
  });
  if (ReportStepFailure(BusMessages(reporting, "GetCtrlParams\n"), reply)) {
    return LinkResult::kFailed;
  }
  // Rejected, no data, or too short to hold the fields: keep what we had.
  if (reply.rejected() || reply.no_data() || reply.copied < data.size()) {
    return LinkResult::kFailed;
  }
  g_ctrl_params.byte9 = data[0];
  g_ctrl_params.flags = data[1];
  g_ctrl_params.memory_size_code = data[1] & 0x03;
  g_ctrl_params.six_byte_keys = (data[1] & 0x04) != 0;
  g_ctrl_params.wiegand = (data[1] & 0x08) != 0;
  g_ctrl_params.fw_major = data[2];
  g_ctrl_params.fw_minor = data[3];
  g_ctrl_params.read = true;
  return LinkResult::kDone;
}

LinkResult OpenDoor(uint8_t direction) {
  const CommandReporting& reporting = ActiveLinkVariant().open_door;
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdOpenDoor, .param1 = direction},
      .checking = false,
  });
  if (ReportStepFailure(BusMessages(reporting, "OpenDoor\n"), reply)) return LinkResult::kFailed;
  // Any data is read but not examined: even 0xAA counts as opened.
  return reply.rejected() ? LinkResult::kFailed : LinkResult::kDone;
}

LinkResult SetMode(uint8_t mode, uint8_t* answer_out) {
  const CommandReporting& reporting = ActiveLinkVariant().set_mode;
  if (reporting.announce) LinkReport("SET_MODE (%d)\n", mode);
  const std::array<uint8_t, 1> data{mode};
  std::array<uint8_t, 1> answer{};
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdSetMode, .data = data},
      .checking = false,
      .accept = Acceptance::kAlways,
      .dest = answer,
  });
  if (ReportStepFailure(BusMessages(reporting, "SetMode\n"), reply)) return LinkResult::kFailed;
  if (reply.rejected()) return LinkResult::kFailed;
  // Without data the reply never reached byte 9, which still holds the mode.
  if (reply.no_data()) answer[0] = mode;
  if (!reply.no_data() && reporting.announce) {
    LinkReport("SendMode ans=%02X (%d)\n", answer[0], static_cast<int>(reply.data_size));
  }
  if (answer_out != nullptr) *answer_out = answer[0];
  return LinkResult::kDone;
}

int GetExternal(std::span<uint8_t, kExternalBufferSize> dest, uint8_t ack) {
  const CommandReporting& reporting = ActiveLinkVariant().get_external;
  const std::array<uint8_t, 1> count{ack};
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdExternal,
                .data = ack != 0 ? std::span<const uint8_t>(count) : std::span<const uint8_t>()},
      .checking = true,
      .accept = Acceptance::kVerifiedNotRefused,
      .dest = dest,
  });
  if (ReportStepFailure(BusMessages(reporting, "GetExternal\n"), reply)) return 0;
  if (reply.rejected()) {
    ReportIf(reporting.outcome, "error get external 02\n");
    return 0;
  }
  if (reply.no_data()) return 0;
  if (!reply.accepted) {
    ReportIf(reporting.outcome, "External error\n");
    return 0;
  }
  if (reporting.data_bytes) {
    for (size_t i = 0; i < reply.copied; ++i) LinkReport("%02X ", dest[i]);
  }
  return static_cast<int>(reply.copied);
}

void SetExternal(std::span<const uint8_t> card, uint8_t code, uint8_t reader) {
  const CommandReporting& reporting = ActiveLinkVariant().set_external;
  std::array<uint8_t, kMaxFrameData> data{code, reader};
  const size_t card_size = std::min(card.size(), data.size() - 2);
  std::copy_n(card.begin(), card_size, data.begin() + 2);
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdExternal,
                .data = std::span<const uint8_t>(data).first(2 + card_size)},
      .checking = true,
      .accept = Acceptance::kVerifiedNotRefused,
  });
  if (ReportStepFailure(BusMessages(reporting, "SetExtenal\n"), reply)) return;
  if (reply.rejected()) {
    ReportIf(reporting.outcome, "error set external 02\n");
  } else if (reply.has_data() && !reply.accepted) {
    ReportIf(reporting.outcome, "External error\n");
  }
}

LinkResult ServiceCommand(const char* text) {
  const CommandReporting& reporting = ActiveLinkVariant().service_command;
  const size_t length = std::min(std::strlen(text), kMaxFrameData);
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kCmdService,
                .data = std::span(reinterpret_cast<const uint8_t*>(text), length)},
      .checking = false,
  });
  if (ReportStepFailure(BusMessages(reporting, "ServiceCommand\n"), reply)) {
    return LinkResult::kFailed;
  }
  return reply.rejected() ? LinkResult::kFailed : LinkResult::kDone;
}
