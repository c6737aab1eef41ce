// The configuration block: its check byte, its fields, and the six
// transactions against the emulated MCU with the lines they print.

#include "link/config_block.h"
#include "link/testing/test_variants.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ConfigCrc, MatchesItsCheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(config_crc8(std::span(reinterpret_cast<const uint8_t*>(digits.data()), 9)), 0xC7);
  const std::array<uint8_t, 79> zeros{};
  EXPECT_EQ(config_crc8(zeros), 0x9A);
}

TEST(ConfigBlockFields, SealedBlockIsAcceptableUntilAnyByteChanges) {
  ConfigBlock block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  SealConfigBlock(block);
  EXPECT_TRUE(ConfigBlockAcceptable(block));
  for (size_t i = 1; i < block.size(); ++i) {
    ConfigBlock changed = block;
    changed[i] ^= 0x01;
    EXPECT_FALSE(ConfigBlockAcceptable(changed)) << "byte " << i;
  }
}

TEST(ConfigBlockFields, LockTypeDecodingAndSelection) {
  ConfigBlock block{};
  block[56] = 0x10;
  block[57] = 0x10;
  block[52] = 0x80;
  EXPECT_STREQ(LockTypeLabel(DecodeLockType(block)), "LOCK_MEH");
  block[52] = 0x7F;
  EXPECT_STREQ(LockTypeLabel(DecodeLockType(block)), "LOCK_ZSH");
  block[57] = 0x00;
  EXPECT_STREQ(LockTypeLabel(DecodeLockType(block)), "LOCK_MGN");
  block[52] = 0xFF;
  EXPECT_STREQ(LockTypeLabel(DecodeLockType(block)), "LOCK_MGN");
  block[56] = 0x00;
  EXPECT_EQ(LockTypeLabel(DecodeLockType(block)), nullptr);

  block.fill(0xFF);
  EXPECT_STREQ(SelectLockType(block, 1), "Set LOCK=MEH");
  EXPECT_EQ(LockFlags(block), 0x80000000u);
  EXPECT_EQ(block[56], 0x10);
  EXPECT_EQ(block[57], 0x10);
  EXPECT_STREQ(SelectLockType(block, 0), "Set LOCK=MGN");
  EXPECT_EQ(Bytes(block.begin() + 52, block.begin() + 58), (Bytes{0, 0, 0, 0, 0x10, 0x00}));
  block.fill(0xFF);
  EXPECT_EQ(SelectLockType(block, 7), nullptr);
  EXPECT_EQ(Bytes(block.begin() + 52, block.begin() + 58), (Bytes{0, 0, 0, 0, 0xFF, 0xFF}))
      << "flags cleared, lock kind unchanged";
}

TEST(ConfigBlockFields, ReaderAndSoundBitsLeaveTheOtherBitsAlone) {
  ConfigBlock block{};
  block[2] = 0xF0;
  block[8] = 0x41;
  block[9] = 0x23;
  SetReaderWiegand(block, true);
  SetInternalSound(block, true);
  EXPECT_EQ(block[2], 0xF1);
  EXPECT_EQ(SoundFlags(block), 0x4923);
  SetReaderWiegand(block, false);
  SetInternalSound(block, false);
  EXPECT_EQ(block[2], 0xF0);
  EXPECT_EQ(SoundFlags(block), 0x4123);
  EXPECT_STREQ(KeyModeLabel(5), "MODE_ACCEPT");
  EXPECT_EQ(KeyModeLabel(3), nullptr);
}

class ConfigTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mcu().ClearFaults();
    mcu().ClearLogs();
    LinkStart(testing_variants::kPrinting);
  }
  static emu::Mcu& mcu() { return EmulatedBoard::Get().mcu(); }
  static void Fault(emu::FaultKind kind, int value = 0) {
    mcu().AddFault({.kind = kind, .remaining = 1, .value = value});
  }
  // The reply's data size when the exchange was done, else 0.
  static size_t ReadSize(ConfigBlock& block) {
    size_t size = 0;
    return Done(ReadCfg(block, size)) ? size : 0;
  }
  static size_t WriteSize(ConfigBlock& block) {
    size_t size = 0;
    return Done(WriteCfg(block, size)) ? size : 0;
  }
  // The fire state or key mode read, 0 when the read failed.
  static int Fire() {
    bool on = false;
    return Done(GetFire(on)) && on ? 1 : 0;
  }
  static int KeyMode() {
    uint8_t mode = 0;
    return Done(GetKeyMode(mode)) ? mode : 0;
  }
};

TEST_F(ConfigTransactionTest, ReadChangeWriteRoundTrip) {
  ConfigBlock block{};
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 80u); }), "Datasize: 80\n");
  EXPECT_EQ(block, mcu().ConfigBlock());
  EXPECT_TRUE(ConfigBlockAcceptable(block));
  SetReaderWiegand(block, !ReaderIsWiegand(block));
  SealConfigBlock(block);
  const ConfigBlock written = block;
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(WriteSize(block), 80u); }), "WRITING CONFIG\nDatasize: 80\n");
  EXPECT_EQ(mcu().ConfigBlock(), written);
  EXPECT_EQ(mcu().Requests().back().size(), 89u) << "L = 88";
}

TEST_F(ConfigTransactionTest, BadChecksumWarnsButKeepsTheBlock) {
  ConfigBlock block{};
  Fault(emu::FaultKind::kBadChecksum);
  const std::string out = CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 80u); });
  EXPECT_EQ(out.rfind("Datasize: 80\nReadCfg error CS ", 0), 0u) << out;
  EXPECT_NE(out, "Datasize: 80\nReadCfg error CS FF\n") << "the sum is off";
  EXPECT_EQ(block, mcu().ConfigBlock());
  Fault(emu::FaultKind::kWrongEcho);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 80u); }),
            "Datasize: 80\nReadCfg error CS FF\n");
}

TEST_F(ConfigTransactionTest, RejectedEmptyAndFailedReads) {
  ConfigBlock block{};
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 0u); }), "error 02\n");
  Fault(emu::FaultKind::kNoData);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 0u); }), "Datasize: 0\n");
  Fault(emu::FaultKind::kReadError, 0);
  mcu().AddFault({.kind = emu::FaultKind::kReadError, .remaining = 1, .command = 9});
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 0u); }), "ERROR I2C READ\n");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 0u); }), "Datasize: 80\nERROR I2C READ\n");
  Fault(emu::FaultKind::kNoReady);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 0u); }), "ERROR: WAIT TIMEOUT!\n");
  Fault(emu::FaultKind::kExtraData, 10);
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(ReadSize(block), 90u); }), "Datasize: 90\n")
      << "a wrong size is the caller's to refuse; only 80 bytes are copied";
}

TEST_F(ConfigTransactionTest, FireState) {
  EXPECT_EQ(SetFire(1), LinkResult::kDone);
  EXPECT_TRUE(mcu().FireState());
  EXPECT_EQ(Fire(), 1);
  EXPECT_EQ(mcu().Requests().back()[2], 8);
  EXPECT_EQ(SetFire(0), LinkResult::kDone);
  EXPECT_EQ(Fire(), 0);
  mcu().SetFireState(true);
  Fault(emu::FaultKind::kNoData);
  EXPECT_EQ(Fire(), 0) << "too short to hold the state: a failure";
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(Fire(), 0); }), "error get fire 02\n");
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(SetFire(1), LinkResult::kFailed); }), "");
}

TEST_F(ConfigTransactionTest, KeyModeSendsTheModeAndItsComplement) {
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(SetKeyMode(5), LinkResult::kDone); }), "05 ");
  const Bytes request = mcu().Requests().back();
  EXPECT_EQ(request[2], 0x0A);
  EXPECT_EQ(Bytes(request.begin() + 9, request.end()), (Bytes{0x05, 0xFA}));
  EXPECT_EQ(mcu().KeyMode(), 5);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(KeyMode(), 5); }), "05 ");
  Fault(emu::FaultKind::kNoData);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(KeyMode(), 0); }), "");
  Fault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(KeyMode(), 0); }), "error get mode 02\n");
  Fault(emu::FaultKind::kWriteError);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(SetKeyMode(1), LinkResult::kFailed); }), "ERROR I2C WRITE\n");
}

}  // namespace
