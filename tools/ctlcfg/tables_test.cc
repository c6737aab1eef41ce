// ctlcfg's link table: memory failures printed without details.

#include "tools/ctlcfg/tables.h"

#include <gtest/gtest.h>

#include <array>

#include "link/commands.h"
#include "link/memory.h"
#include "link/testing/table_check.h"

TEST(CtlcfgTable, PrintsFailuresOnStandardOutputWithoutDetails) {
  std::array<uint8_t, 8> dest{};
  const auto read = [&] { EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, dest), LinkResult::kFailed); };
  InjectFault(emu::FaultKind::kRefused);
  EXPECT_EQ(ReportedWith(kCtlcfgLink, read), "ReadMem error\n");
  InjectFault(emu::FaultKind::kStatusRejected);
  EXPECT_EQ(ReportedWith(kCtlcfgLink, read), "data[0]=0x02\n");
  InjectFault(emu::FaultKind::kReadError, 0, 9);
  EXPECT_EQ(ReportedWith(kCtlcfgLink, read), "ERROR I2C READ\n");
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kCtlcfgLink, [] { EXPECT_EQ(OpenDoor(0), LinkResult::kFailed); }),
            "ERROR: WAIT TIMEOUT!\n");
}
