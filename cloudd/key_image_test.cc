// The key image's start-up load against the emulated MCU.

#include "cloudd/key_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cloudd/tables.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

class KeyImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkStart(kCloudLink);
    board().ReopenLink();
    mcu().ClearFaults();
    mcu().FillKeys(0x00);
    // A key in the first block, one in the last (the short block at 0xFFC0).
    mcu().Poke(0, 0xA0, 0x00C0, {1, 2, 3, 4, 5, 6, 7, 8});
    mcu().Poke(0, 0xA0, 0xFFF8, {9, 10, 11, 12, 13, 14, 15, 16});
    image_ = std::make_unique<KeyImage>();
    board().ClearKernelLog();
  }

  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }

  // The image holds key memory from the key base on, 0x55 below it.
  void ExpectWhole() const {
    const std::vector<uint8_t> below(image_->begin(), image_->begin() + kKeyBaseStart);
    EXPECT_EQ(below, std::vector<uint8_t>(kKeyBaseStart, kEmptyByte));
    const std::vector<uint8_t> keys(image_->begin() + kKeyBaseStart, image_->end());
    EXPECT_EQ(keys, mcu().Peek(0, 0xA0, kKeyBaseStart, kKeyMemorySize - kKeyBaseStart));
  }

  std::unique_ptr<KeyImage> image_;
};

TEST_F(KeyImageTest, TheWholeKeyBaseIsReadAFailedBlockAgainUntilItComes) {
  mcu().AddFault({.kind = emu::FaultKind::kNoReady, .remaining = 2, .command = 0x02});
  const std::string out = CapturedStdout([&] { LoadKeyImage(*image_); });
  EXPECT_EQ(out, "Reading cards:" + std::string(68, '.') + "\n");
  ExpectWhole();
  const auto log = board().KernelLog();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "Reading cards: block 00C0 failed, reading it again\n"),
            1)
      << ::testing::PrintToString(log);
}

}  // namespace
