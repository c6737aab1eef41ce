// verifyd's link table: only GetCtrlParams is named before a time-out.

#include "verifyd/tables.h"

#include <gtest/gtest.h>

#include <array>

#include "link/commands.h"
#include "link/testing/table_check.h"

TEST(VerifyTable, NamesOnlyGetCtrlParamsBeforeATimeOut) {
  std::array<uint8_t, kExternalBufferSize> external{};
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kVerifyLink, [&] { EXPECT_EQ(GetExternal(external, 0), 0); }),
            "ERROR: WAIT TIMEOUT!\n");
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kVerifyLink, [] { EXPECT_EQ(GetCtrlParams(), LinkResult::kFailed); }),
            "GetCtrlParams\nGetCtrlParams\nERROR: WAIT TIMEOUT!\n");
}
