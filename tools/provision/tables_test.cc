// provision's link table: nothing of GetCtrlParams' own is shown.

#include "tools/provision/tables.h"

#include <gtest/gtest.h>

#include <array>

#include "link/commands.h"
#include "link/memory.h"
#include "link/testing/table_check.h"

TEST(ProvisionTable, ShowsNoTransactionLinesOfItsOwn) {
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kProvisionLink, [] { EXPECT_EQ(GetCtrlParams(), LinkResult::kFailed); }), "");
  std::array<uint8_t, 8> dest{};
  InjectFault(emu::FaultKind::kRefused);
  EXPECT_EQ(ReportedWith(kProvisionLink, [&] { EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, dest), LinkResult::kFailed); }),
            "");
}
