// The scan loop's poll of an MCU that stops answering: its failure is
// logged once, then counted, and the count told when the MCU answers again.

#include "verifyd/scan_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "verifyd/server_state.h"
#include "verifyd/tables.h"

namespace {

TEST(ScanLoopTest, AnMcuThatStopsAnsweringIsLoggedOnceThenCounted) {
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(kVerifyLink);
  board.ReopenLink();
  SetServerOnline(false);  // the MCU is polled all the same
  board.ClearKernelLog();
  board.mcu().AddFault({.kind = emu::FaultKind::kWriteError});
  for (int cycle = 0; cycle < 30; ++cycle) EXPECT_EQ(ScanCycle(0), 0);
  EXPECT_EQ(board.KernelLog(), (std::vector<std::string>{"ERROR I2C WRITE\n"}));
  board.mcu().ClearFaults();
  ScanCycle(0);
  EXPECT_EQ(board.KernelLog(), (std::vector<std::string>{
                                  "ERROR I2C WRITE\n", "Repeated 29 times: ERROR I2C WRITE\n"}));
}

}  // namespace
