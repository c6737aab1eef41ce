// The bridge's MCU relay against the emulated MCU: a PC's frame goes to the
// MCU as built, the reply comes back as read, and every failure step gives
// no reply, reports once and leaves the bus lock free.

#include "bridged/mcu_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "bridged/tables.h"
#include "link/memory.h"
#include "link/platform/platform.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A ReadMem of 8 bytes at 0x00C0 of bus 0, type 0xA0, sequence 1: the frame
// as a PC builds it, checksum included.
const Bytes kReadMem{0x1F, 0x7F, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0};
const Bytes kKeys{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x00, 0xFF};


class McuRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkStart(kBridgeLink);
    board().ReopenLink();
    mcu().ClearFaults();
    mcu().ClearLogs();
    board().ClearKernelLog();
    mcu().Poke(0, 0xA0, 0x00C0, kKeys);
  }
  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }
  static void Fault(emu::FaultKind kind, int command = emu::kAnyCommand, int value = 0) {
    mcu().AddFault({.kind = kind, .remaining = 1, .command = command, .value = value});
  }
  // After a relay the bus is free: a transaction of the link goes through.
  static void ExpectBusFree() {
    EXPECT_FALSE(BusLockHeldHere());
    std::array<uint8_t, 8> keys{};
    EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, keys), LinkResult::kDone);
  }
  LinkBuffer reply_{};
};

TEST_F(McuRelayTest, ThePcsFrameGoesAsBuiltAndTheReplyComesBackAsRead) {
  ASSERT_TRUE(RelayToMcu(kReadMem, reply_));
  ASSERT_EQ(mcu().Requests().size(), 1u);
  EXPECT_EQ(mcu().Requests()[0], kReadMem);
  EXPECT_EQ(reply_[0], 0x00);
  ASSERT_EQ(reply_[2], 16) << "eight data bytes";
  EXPECT_EQ(reply_[4], 0x01) << "the PC's sequence byte echoed";
  EXPECT_EQ(Bytes(reply_.begin() + 9, reply_.begin() + 17), kKeys);
  EXPECT_TRUE(std::all_of(reply_.begin() + 17, reply_.end(), [](uint8_t b) { return b == 0; }));
  ExpectBusFree();
}

TEST_F(McuRelayTest, ARejectedRequestIsAReplyWithoutData) {
  Fault(emu::FaultKind::kStatusRejected);
  ASSERT_TRUE(RelayToMcu(kReadMem, reply_));
  EXPECT_EQ(reply_[0], kStatusRejected);
  const std::vector<emu::Transfer> transfers = mcu().Transfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers.back().op, 'R');
  EXPECT_EQ(transfers.back().command, 0) << "the head only";
  ExpectBusFree();
}

TEST_F(McuRelayTest, EveryFailureStepGivesNoReplyAndReportsOnce) {
  struct Case {
    const char* name;
    emu::Fault fault;
    const char* printed;
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases{
      {"write", {.kind = emu::FaultKind::kWriteError, .remaining = 1, .command = 0},
       "ERROR I2C WRITE\n", {}},
      {"ready line", {.kind = emu::FaultKind::kNoReady, .remaining = 1},
       "", {"ERROR: WAIT TIMEOUT!\n"}},
      {"head", {.kind = emu::FaultKind::kReadError, .remaining = 1, .command = 0},
       "ERROR I2C READ\n", {}},
      {"data", {.kind = emu::FaultKind::kReadError, .remaining = 1, .command = 9},
       "ERROR I2C READ\n", {}},
      {"L below 8", {.kind = emu::FaultKind::kShortLength, .remaining = 1, .value = 5},
       "ERROR I2C READ\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mcu().ClearLogs();
    board().ClearKernelLog();
    mcu().AddFault(c.fault);
    bool relayed = true;
    EXPECT_EQ(CapturedStdout([&] { relayed = RelayToMcu(kReadMem, reply_); }), c.printed);
    EXPECT_FALSE(relayed);
    EXPECT_EQ(board().KernelLog(), c.logged);
    ExpectBusFree();
  }
}

// After a failed write the MCU still signals its previous reply; none of it
// may reach the PC as the answer to the new request.
TEST_F(McuRelayTest, AFailedWriteReadsNothing) {
  ASSERT_TRUE(RelayToMcu(kReadMem, reply_));
  mcu().ClearLogs();
  Fault(emu::FaultKind::kWriteError, 0);
  CapturedStdout([&] { EXPECT_FALSE(RelayToMcu(kReadMem, reply_)); });
  for (const emu::Transfer& t : mcu().Transfers()) EXPECT_NE(t.op, 'R');
}

TEST_F(McuRelayTest, TheLongestReplyFitsItsBuffer) {
  Fault(emu::FaultKind::kExtraData, emu::kAnyCommand, 239);
  ASSERT_TRUE(RelayToMcu(kReadMem, reply_));
  EXPECT_EQ(reply_[2], 255);
  EXPECT_EQ(reply_[255], 0xEE);
}

}  // namespace
