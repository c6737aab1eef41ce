// The door and card commands against the emulated MCU: request bytes,
// sequence rules, outcome rules and what each program reports.

#include "link/commands.h"
#include "link/testing/test_variants.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mcu().ClearFaults();
    mcu().ClearLogs();
    board().ClearKernelLog();
    LinkStart(testing_variants::kLogging);
  }
  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }
  static void Fault(emu::FaultKind kind, int value = 0) {
    mcu().AddFault({.kind = kind, .remaining = 1, .value = value});
  }
  static Bytes LastRequest() { return mcu().Requests().back(); }
};

TEST_F(CommandTest, GetCtrlParamsDecodesTheFlagsAndKeepsThemOnFailure) {
  mcu().SetCtrlParams(0x01, 0x0A, 2, 7);
  SetLinkSequenceValue(41);
  EXPECT_EQ(GetCtrlParams(), LinkResult::kDone);
  const Bytes request = LastRequest();
  EXPECT_EQ(request[0], 0x20) << "its own start byte";
  EXPECT_EQ(request[2], 8);
  EXPECT_EQ(request[4], 41) << "sends the current value, then advances";
  EXPECT_EQ(LinkSequenceValue(), 42);
  const CtrlParams& params = ControllerParams();
  EXPECT_EQ(params.memory_size_code, 2);
  EXPECT_FALSE(params.six_byte_keys);
  EXPECT_TRUE(params.wiegand);
  EXPECT_EQ(params.fw_major, 2);
  EXPECT_EQ(params.fw_minor, 7);
  EXPECT_EQ(board().KernelLog(), (Log{"GetCtrlParams\n"}));

  mcu().SetCtrlParams(0x01, 0x07, 9, 9);
  for (emu::FaultKind fault : {emu::FaultKind::kStatusRejected, emu::FaultKind::kNoData}) {
    Fault(fault);
    EXPECT_EQ(GetCtrlParams(), LinkResult::kFailed);
    EXPECT_EQ(ControllerParams().memory_size_code, 2) << "earlier values stay";
    EXPECT_EQ(ControllerParams().fw_major, 2);
  }
}

TEST_F(CommandTest, TimeOutsAreNamedPerVariantAndCommand) {
  std::array<uint8_t, kExternalBufferSize> buffer{};
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(GetExternal(buffer, 0), 0);
  Fault(emu::FaultKind::kNoReady);
  SetExternal(Bytes{1, 2, 3, 4, 5, 6}, 0x24, 0);
  EXPECT_EQ(board().KernelLog(), (Log{"GetExternal\n", "ERROR: WAIT TIMEOUT!\n", "SetExtenal\n",
                                      "ERROR: WAIT TIMEOUT!\n"}));

  LinkStart(testing_variants::kLocalLock);
  board().ClearKernelLog();
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(GetExternal(buffer, 0), 0);
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(GetCtrlParams(), LinkResult::kFailed);
  EXPECT_EQ(board().KernelLog(), (Log{"ERROR: WAIT TIMEOUT!\n", "GetCtrlParams\n", "GetCtrlParams\n",
                                      "ERROR: WAIT TIMEOUT!\n"}));

  LinkStart(testing_variants::kServiceOnly);
  board().ClearKernelLog();
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(GetCtrlParams(), LinkResult::kFailed); }), "") << "a variant may report none of GetCtrlParams' own lines";
  EXPECT_TRUE(board().KernelLog().empty());
}

TEST_F(CommandTest, OpenDoorSucceedsOnAnyReplyButARejection) {
  EXPECT_EQ(OpenDoor(1), LinkResult::kDone);
  const Bytes request = LastRequest();
  ASSERT_EQ(request.size(), 9u);
  EXPECT_EQ(request[0], 0x1F);
  EXPECT_EQ(request[5], 0x07);
  EXPECT_EQ(request[7], 1) << "the direction";
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(OpenDoor(0), LinkResult::kDone) << "data is read, not examined";
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(OpenDoor(0), LinkResult::kFailed);
  EXPECT_EQ(mcu().OpenDoorRequests(), (Bytes{1, 0}));
  EXPECT_TRUE(board().KernelLog().empty());

  LinkStart(testing_variants::kPrinting);
  Fault(emu::FaultKind::kWriteError);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(OpenDoor(0), LinkResult::kFailed); }), "ERROR I2C WRITE\n");
  LinkStart(testing_variants::kHeadOnly);
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(OpenDoor(0), LinkResult::kFailed); }), "") << "a variant may open silently";
}

TEST_F(CommandTest, SetModeReturnsTheAnswerOrTheModeSent) {
  uint8_t answer = 0;
  EXPECT_EQ(SetMode(2, &answer), LinkResult::kDone);
  EXPECT_EQ(answer, 2);
  EXPECT_EQ(LastRequest().size(), 10u);
  EXPECT_EQ(LastRequest()[9], 2);
  EXPECT_EQ(mcu().DoorMode(), 2);
  Fault(emu::FaultKind::kNoData);
  EXPECT_EQ(SetMode(3, &answer), LinkResult::kDone);
  EXPECT_EQ(answer, 3) << "without data byte 9 still holds the mode";
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(SetMode(1, &answer), LinkResult::kDone);
  EXPECT_EQ(answer, 0xAA);
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(SetMode(1), LinkResult::kFailed);
  EXPECT_EQ(board().KernelLog(),
            (Log{"SET_MODE (2)\n", "SendMode ans=02 (1)\n", "SET_MODE (3)\n", "SET_MODE (1)\n",
                 "SendMode ans=AA (1)\n", "SET_MODE (1)\n"}));
}

TEST_F(CommandTest, GetExternalCarriesTheAcknowledgeCountOnlyWhenNotZero) {
  std::array<uint8_t, kExternalBufferSize> buffer{};
  EXPECT_EQ(GetExternal(buffer, 0), 0) << "nothing pending";
  EXPECT_EQ(LastRequest().size(), 9u);
  EXPECT_EQ(GetExternal(buffer, 3), 0);
  EXPECT_EQ(LastRequest().size(), 10u);
  EXPECT_EQ(LastRequest()[9], 3);
  EXPECT_EQ(mcu().AckCounts(), (std::vector<int>{0, 3}));
}

TEST_F(CommandTest, ACardIsFetchedAndAnsweredWithItsOwnBytes) {
  const Bytes card{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
  mcu().PresentCard(1, card);
  std::array<uint8_t, kExternalBufferSize> buffer{};
  SetLinkSequenceValue(9);
  ASSERT_EQ(GetExternal(buffer, 0), 7);
  EXPECT_EQ(LastRequest()[4], 10) << "checking commands advance first";
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7),
            (Bytes{0x21, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
  EXPECT_EQ(board().KernelLog(), (Log{"21 ", "A1 ", "B2 ", "C3 ", "D4 ", "E5 ", "F6 "}))
      << "a variant may log every byte";

  const uint8_t reader = buffer[0] & 1;
  SetExternal(std::span<const uint8_t>(buffer).subspan(1, 6), ExternalAnswerCode(true, reader),
              reader);
  const Bytes request = LastRequest();
  ASSERT_EQ(request.size(), 17u);
  EXPECT_EQ(request[2], 16);
  EXPECT_EQ(Bytes(request.begin() + 9, request.end()),
            (Bytes{0x25, 0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
  ASSERT_EQ(mcu().ExternalAnswers().size(), 1u);
  EXPECT_EQ(mcu().ExternalAnswers()[0].code, 0x25);
  EXPECT_EQ(mcu().ExternalAnswers()[0].card, card);
}

TEST_F(CommandTest, AnswerCodesCoverBothReadersAndDecisions) {
  EXPECT_EQ(ExternalAnswerCode(false, 0), 0x22);
  EXPECT_EQ(ExternalAnswerCode(false, 1), 0x23);
  EXPECT_EQ(ExternalAnswerCode(true, 0), 0x24);
  EXPECT_EQ(ExternalAnswerCode(true, 1), 0x25);
}

TEST_F(CommandTest, ExternalRepliesThatFailTheirChecksAreNeverCards) {
  std::array<uint8_t, kExternalBufferSize> buffer{};
  mcu().PresentCard(0, {1, 2, 3, 4, 5, 6});
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(GetExternal(buffer, 0), 0);
  mcu().PresentCard(0, {1, 2, 3, 4, 5, 6});
  Fault(emu::FaultKind::kWrongEcho);
  EXPECT_EQ(GetExternal(buffer, 0), 0);
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(GetExternal(buffer, 0), 0);
  Fault(emu::FaultKind::kStatusRejected);
  SetExternal(Bytes{1}, 0x22, 0);
  Fault(emu::FaultKind::kBadChecksum);
  SetExternal(Bytes{1}, 0x22, 0);
  EXPECT_EQ(board().KernelLog(), (Log{"External error\n", "External error\n",
                                      "error get external 02\n", "error set external 02\n",
                                      "External error\n"}));
}

TEST_F(CommandTest, EventBatchesAreDeliveredAndAcknowledged) {
  LinkStart(testing_variants::kLocalLock);
  const std::array<uint8_t, 8> first{4, 0, 0xC8, 0x03, 0x05, 0x12, 0x34, 0x56};
  const std::array<uint8_t, 8> second{2, 0, 0xC0, 0x03, 0x05, 0x12, 0x35, 0x00};
  mcu().QueueExternalEvents({first, second});
  std::array<uint8_t, kExternalBufferSize> buffer{};
  ASSERT_EQ(GetExternal(buffer, 0), 17);
  EXPECT_EQ(buffer[0], 2) << "kind below 0x20: the record count";
  EXPECT_EQ(buffer[1], 4);
  EXPECT_EQ(buffer[9], 2);
  EXPECT_EQ(GetExternal(buffer, 0), 17) << "unacknowledged records come again";
  EXPECT_EQ(GetExternal(buffer, 2), 0);
  EXPECT_EQ(mcu().PendingExternalEvents(), 0u);
}

TEST_F(CommandTest, ServiceCommandSendsItsTextWithoutTerminator) {
  LinkStart(testing_variants::kServiceOnly);
  EXPECT_EQ(ServiceCommand("RESET"), LinkResult::kDone);
  const Bytes request = LastRequest();
  EXPECT_EQ(request[2], 13);
  EXPECT_EQ(request[5], 0x0B);
  EXPECT_EQ(std::string(request.begin() + 9, request.end()), "RESET");
  EXPECT_EQ(mcu().ServiceCommands(), (std::vector<std::string>{"RESET"}));
  Fault(emu::FaultKind::kReadError);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(ServiceCommand("INIT"), LinkResult::kFailed); }), "ERROR I2C READ\n");
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(ServiceCommand("INIT"), LinkResult::kFailed); }), "");
}

}  // namespace
