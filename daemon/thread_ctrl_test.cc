// The identity poll with an MCU that does not answer: its failure is logged
// once and then counted, and the first identity read after it is logged.

#include "daemon/thread_ctrl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/testing/test_variants.h"
#include "link/variant.h"

namespace {

int64_t g_now = 0;
int64_t FakeClock() { return g_now; }

TEST(ThreadCtrlTest, ASilentMcuIsLoggedOnceThenCountedOnceAMinute) {
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(testing_variants::kQuietDaemon);
  board.ReopenLink();
  board.mcu().SetIdentity(4242, 0x0642);
  board.ClearKernelLog();
  RepeatFilter failures{.clock_ms = FakeClock};

  board.mcu().AddFault({.kind = emu::FaultKind::kReadError, .command = 2});
  // Ten polls a second for a minute and a half.
  for (int i = 0; i < 900; ++i) {
    EXPECT_EQ(ThreadCtrlStep(failures), 0u);
    g_now += 100;
  }
  board.mcu().ClearFaults();
  EXPECT_EQ(ThreadCtrlStep(failures), 10u);
  EXPECT_EQ(board.KernelLog(), (std::vector<std::string>{
                                   "SN: ERROR I2C READ \n",
                                   "Repeated 600 times: SN: ERROR I2C READ\n",
                                   "Repeated 299 times: SN: ERROR I2C READ\n",
                                   "SN=04242 Model=0642\n"}));
  EXPECT_EQ(ThreadCtrlStep(failures), 10u);
  EXPECT_EQ(board.KernelLog().back(), "SN=04242 Model=0642\n") << "every success is logged";
  EXPECT_EQ(board.KernelLog().size(), 5u);
}

}  // namespace
