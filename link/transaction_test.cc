// The link against the emulated MCU: frames on the wire, the outcome rules
// of ReadMem and WriteMem per program, and every failure step.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "link/memory.h"
#include "link/platform/platform.h"
#include "link/testing/emulated_board.h"
#include "link/testing/test_variants.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

using Bytes = std::vector<uint8_t>;


class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board().ReopenLink();
    mcu().ClearFaults();
    mcu().ClearLogs();
    board().ClearKernelLog();
    LinkStart(testing_variants::kLogging);
    mcu().Poke(0, 0xA0, 0x00C0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  }
  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }
  static void Fault(emu::FaultKind kind, int value = 0, int command = emu::kAnyCommand) {
    mcu().AddFault({.kind = kind, .remaining = 1, .command = command, .value = value});
  }
  static LinkResult Read8(std::array<uint8_t, 8>& dest) { return ReadMem(0, 0xA0, 8, 0x00C0, dest); }
  static LinkResult Write8() {
    const std::array<uint8_t, 8> bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    return WriteMem(1, 0xA0, 8, 0x0100, bytes);
  }
  static std::vector<std::string> Log() { return board().KernelLog(); }
};

TEST_F(LinkTest, ReadMemSendsTheWorkedExampleAndCopiesTheData) {
  SetLinkSequenceValue(0);
  std::array<uint8_t, 8> dest{};
  ASSERT_EQ(Read8(dest), LinkResult::kDone);
  EXPECT_EQ(Bytes(dest.begin(), dest.end()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_EQ(mcu().Requests().size(), 1u);
  EXPECT_EQ(mcu().Requests()[0],
            (Bytes{0x1F, 0x7F, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0}));
  EXPECT_TRUE(Log().empty()) << "nothing is logged on success";
}

TEST_F(LinkTest, WriteMemReachesTheMemory) {
  ASSERT_EQ(Write8(), LinkResult::kDone);
  EXPECT_EQ(mcu().Peek(1, 0xA0, 0x0100, 8), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  EXPECT_EQ(mcu().Peek(0, 0xA0, 0x0100, 1), (Bytes{0x55})) << "only the bus named";
}

TEST_F(LinkTest, SequenceRuleAt255ForCheckingAndNonCheckingCommands) {
  std::array<uint8_t, 8> dest{};
  SetLinkSequenceValue(255);
  ASSERT_EQ(Read8(dest), LinkResult::kDone);
  EXPECT_EQ(mcu().Requests().back()[4], 0);
  EXPECT_EQ(LinkSequenceValue(), 0);

  SetLinkSequenceValue(255);
  ASSERT_EQ(Write8(), LinkResult::kDone);
  EXPECT_EQ(mcu().Requests().back()[4], 255);
  EXPECT_EQ(LinkSequenceValue(), 0);
}

TEST_F(LinkTest, FramesMoveInChunksOf32AtTheirOffsets) {
  const Bytes twenty_one(21, 0x42);
  ASSERT_EQ(WriteMem(0, 0xA0, 20, 0x0200, twenty_one), LinkResult::kDone);  // a 32-byte frame
  ASSERT_EQ(WriteMem(0, 0xA0, 21, 0x0200, twenty_one), LinkResult::kDone);  // a 33-byte frame
  std::vector<std::pair<uint8_t, size_t>> writes;
  for (const emu::Transfer& t : mcu().Transfers()) {
    if (t.op == 'W') writes.emplace_back(t.command, t.data.size());
  }
  EXPECT_EQ(writes, (std::vector<std::pair<uint8_t, size_t>>{{0, 32}, {0, 32}, {32, 1}}));

  mcu().ClearLogs();
  std::array<uint8_t, 40> dest{};
  ASSERT_EQ(ReadMem(0, 0xA0, 40, 0x0200, dest), LinkResult::kDone);
  std::vector<std::pair<uint8_t, uint8_t>> reads;
  for (const emu::Transfer& t : mcu().Transfers()) {
    if (t.op == 'R') reads.emplace_back(t.command, t.count);
  }
  EXPECT_EQ(reads, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 9}, {9, 32}, {41, 8}}));
}

TEST_F(LinkTest, ReplyWithoutDataSucceedsAndLeavesTheDestination) {
  Fault(emu::FaultKind::kNoData);
  std::array<uint8_t, 8> dest;
  dest.fill(0xEE);
  EXPECT_EQ(Read8(dest), LinkResult::kDone);
  EXPECT_EQ(dest, (std::array<uint8_t, 8>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(LinkTest, RefusalByteInReadMemCountsUnlessTheVariantTakesIt) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(Read8(dest), LinkResult::kDone) << "this variant takes the data as it comes";
  EXPECT_EQ(dest[0], 0xAA);

  for (const LinkVariant* variant : {&testing_variants::kHeadOnly, &testing_variants::kSilent, &testing_variants::kServiceOnly}) {
    LinkStart(*variant);
    Fault(emu::FaultKind::kRefused);
    dest.fill(0);
    EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed) << variant->program; }), "");
    EXPECT_EQ(dest[0], 0) << "a refused reply is not copied";
  }
  LinkStart(testing_variants::kPrinting);
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "ReadMem error\n");
}

TEST_F(LinkTest, WriteMemStatusAAFailsSilentlyUnlessTheVariantTakesIt) {
  Fault(emu::FaultKind::kStatusAA);
  EXPECT_EQ(Write8(), LinkResult::kDone);
  for (const LinkVariant* variant : {&testing_variants::kLocalLock, &testing_variants::kHeadOnly, &testing_variants::kPrinting, &testing_variants::kSilent}) {
    LinkStart(*variant);
    Fault(emu::FaultKind::kStatusAA);
    EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Write8(), LinkResult::kFailed) << variant->program; }), "");
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(LinkTest, WriteMemRefusalIsAWriteError) {
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(Write8(), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"write error\n"}));
  LinkStart(testing_variants::kPrinting);
  Fault(emu::FaultKind::kRefused);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(Write8(), LinkResult::kFailed); }), "write error\n");
}

TEST_F(LinkTest, WriteMemIgnoresEchoAndChecksum) {
  // A reply with data that fails both tests, but whose data is not 0xAA.
  mcu().AddFault({.kind = emu::FaultKind::kExtraData, .remaining = 1, .value = 2});
  mcu().AddFault({.kind = emu::FaultKind::kBadChecksum, .remaining = 1});
  mcu().AddFault({.kind = emu::FaultKind::kWrongEcho, .remaining = 1});
  EXPECT_EQ(Write8(), LinkResult::kDone);
}

TEST_F(LinkTest, ReadMemNeedsTheRightEchoAndChecksum) {
  SetLinkSequenceValue(0);
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kWrongEcho);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ReadMem error CS 01 02\n"}));
  EXPECT_EQ(dest[0], 0);

  board().ClearKernelLog();
  Fault(emu::FaultKind::kBadChecksum);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ReadMem error CS 02 02\n"}));
}

TEST_F(LinkTest, RejectedReadIsReportedWithTheHeadWhereTheVariantSaysSo) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 11u);
  EXPECT_EQ(log[0], "data[0]=0x02\n");
  EXPECT_EQ(log[1], "02 ");
  EXPECT_EQ(log[3], "08 ") << "L of a reply without data";
  EXPECT_EQ(log[10], "\n");

  LinkStart(testing_variants::kPrinting);
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "data[0]=0x02\n");
  LinkStart(testing_variants::kHeadOnly);
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "");
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(Write8(), LinkResult::kFailed);
}

TEST_F(LinkTest, ReadyLineTimeOutGivesUpAfter100SamplesAndFreesTheLock) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kNoReady);
  const unsigned long before = ReadPlatformCounters().ready_samples;
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  EXPECT_EQ(ReadPlatformCounters().ready_samples - before, 100u);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "ERROR: WAIT TIMEOUT!\n",
                       "Read Data from Bus 00 Type A0 Address 00C0 Size 8\n"}));
  ASSERT_EQ(pthread_mutex_trylock(BusLock().mutex), 0) << "the bus lock is free again";
  pthread_mutex_unlock(BusLock().mutex);

  board().ClearKernelLog();
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(Write8(), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR: WAIT TIMEOUT!\n",
                                             "WriteMem Bus 01 Type A0 Address 0100 Size 8\n"}));
  // The MCU's late reply is never read: the next request overwrites it.
  EXPECT_EQ(Read8(dest), LinkResult::kDone);
}

TEST_F(LinkTest, SlowReadyLineWithinTheBudgetSucceeds) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kSlowReady, 60);
  EXPECT_EQ(Read8(dest), LinkResult::kDone);
  EXPECT_EQ(dest[0], 1);
}

TEST_F(LinkTest, MalformedLengthIsAFailedReadWithoutOverrun) {
  std::array<uint8_t, 8> dest{};
  for (int length : {0, 3, 7}) {
    board().ClearKernelLog();
    Fault(emu::FaultKind::kShortLength, length);
    EXPECT_EQ(Read8(dest), LinkResult::kFailed) << length;
    EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR I2C READ\n"}));
    Fault(emu::FaultKind::kShortLength, length);
    EXPECT_EQ(Write8(), LinkResult::kFailed);
  }
}

TEST_F(LinkTest, MoreDataThanAskedIsNeverCopiedPastTheDestination) {
  std::array<uint8_t, 8 + 32> guarded;
  guarded.fill(0xC3);
  Fault(emu::FaultKind::kExtraData, 200);
  EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, std::span(guarded).first(8)), LinkResult::kDone);
  EXPECT_EQ(guarded[0], 1);
  EXPECT_EQ(guarded[7], 8);
  for (size_t i = 8; i < guarded.size(); ++i) EXPECT_EQ(guarded[i], 0xC3) << i;
}

// An MCU (or socket peer) that answers a block read with fewer bytes than
// asked leaves the rest of the frame buffer as the previous reply left it:
// taken as read, a stale head or stale data would pass as this reply.
TEST_F(LinkTest, ABlockReadShorterThanAskedFailsTheRead) {
  std::array<uint8_t, 8> dest{};
  ASSERT_EQ(Read8(dest), LinkResult::kDone);  // the frame buffer now holds a good reply
  for (const int command : {0, 9}) {
    board().ClearKernelLog();
    dest.fill(0xC3);
    mcu().AddFault({.kind = emu::FaultKind::kShortRead, .remaining = 1, .command = command,
                    .value = 1});
    EXPECT_EQ(Read8(dest), LinkResult::kFailed) << command;
    EXPECT_EQ(dest, (std::array<uint8_t, 8>{0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3}));
    EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR I2C READ\n"}));
  }
  std::array<uint8_t, 15> identity{};
  Fault(emu::FaultKind::kShortRead, 7, 2);
  EXPECT_EQ(ReadIdentity(identity), LinkResult::kFailed);
  EXPECT_EQ(Read8(dest), LinkResult::kDone) << "the link goes on after a short read";
}

TEST_F(LinkTest, BusFailuresAreReportedByTheStepThatFailed) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kWriteError);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  Fault(emu::FaultKind::kReadError, 0, 0);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  Fault(emu::FaultKind::kReadError, 0, 9);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR I2C WRITE\n", "ERROR I2C READ\n",
                                             "ERROR I2C READ\n"}));

  // One variant reports only the head read, the other both.
  LinkStart(testing_variants::kHeadOnly);
  Fault(emu::FaultKind::kReadError, 0, 9);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "");
  Fault(emu::FaultKind::kReadError, 0, 0);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "ERROR I2C READ\n");
  LinkStart(testing_variants::kPrinting);
  Fault(emu::FaultKind::kReadError, 0, 9);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Read8(dest), LinkResult::kFailed); }), "ERROR I2C READ\n");
  Fault(emu::FaultKind::kWriteError);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(Write8(), LinkResult::kFailed); }), "ERROR I2C WRITE\n");
}

TEST_F(LinkTest, IdentityBlockDecodesLittleEndian) {
  mcu().SetIdentity(1234567, 0x0642);
  std::array<uint8_t, 15> identity{};
  ASSERT_EQ(ReadIdentity(identity), LinkResult::kDone);
  EXPECT_EQ(IdentitySerial(identity), 1234567u);
  EXPECT_EQ(IdentityModel(identity), 0x0642u);
  EXPECT_EQ(identity[0], 0x87) << "1234567 = 0x0012D687, low byte first";
  ASSERT_EQ(mcu().Transfers().size(), 1u);
  EXPECT_EQ(mcu().Transfers()[0].command, 2);
  EXPECT_EQ(mcu().Transfers()[0].count, 15);
}

TEST_F(LinkTest, ProcessLocalLockLeavesTheBusLockAlone) {
  LinkStart(testing_variants::kLocalLock);
  ASSERT_EQ(pthread_mutex_trylock(BusLock().mutex), 0);  // held by "another program"
  EXPECT_EQ(Write8(), LinkResult::kDone) << "a process-local lock does not take the bus lock";
  pthread_mutex_unlock(BusLock().mutex);
}

TEST_F(LinkTest, DroppedConnectionFailsEveryLaterTransfer) {
  std::array<uint8_t, 8> dest{};
  Fault(emu::FaultKind::kDropConnection);
  EXPECT_EQ(Read8(dest), LinkResult::kFailed);
  EXPECT_EQ(Write8(), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR I2C WRITE\n", "ERROR I2C WRITE\n"}));
}

TEST_F(LinkTest, MissingDeviceNodeFailsTheOpenAndEveryTransaction) {
  const std::string empty = MakeTempDir();
  ::setenv("TQ8_ROOT", empty.c_str(), 1);
  I2cDeviceClose();
  LinkStart(testing_variants::kHeadOnly);  // device messages on standard error
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenLink(), LinkOpen::kNoDevice);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Could not open file `/dev/i2c-0' or `/dev/i2c/0': No such file or directory\n");
  ::setenv("TQ8_ROOT", board().root().c_str(), 1);
  RemoveTree(empty);
  LinkStart(testing_variants::kLogging);
  EXPECT_EQ(Write8(), LinkResult::kFailed);
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERROR I2C WRITE\n"}));
}

TEST_F(LinkTest, TheSecondDeviceNodeIsTriedAfterTheFirst) {
  // dev/i2c/0 is a directory without the node: ENOENT, then dev/i2c-0.
  const std::string dir = board().root() + "/dev/i2c";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  board().ReopenLink();
  ::rmdir(dir.c_str());
  std::array<uint8_t, 8> dest{};
  EXPECT_EQ(Read8(dest), LinkResult::kDone);
}

}  // namespace
