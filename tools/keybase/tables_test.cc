// keybase's link table: only the first steps of a failed read are printed.

#include "tools/keybase/tables.h"

#include <gtest/gtest.h>

#include <array>

#include "link/commands.h"
#include "link/memory.h"
#include "link/testing/table_check.h"

TEST(KeybaseTable, PrintsOnlyWriteWaitAndHeadFailures) {
  std::array<uint8_t, 8> dest{};
  const auto read = [&] { EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, dest), LinkResult::kFailed); };
  InjectFault(emu::FaultKind::kReadError, 0, 0);
  EXPECT_EQ(ReportedWith(kKeybaseLink, read), "ERROR I2C READ\n");
  InjectFault(emu::FaultKind::kReadError, 0, 9);
  EXPECT_EQ(ReportedWith(kKeybaseLink, read), "");
  InjectFault(emu::FaultKind::kRefused);
  EXPECT_EQ(ReportedWith(kKeybaseLink, read), "") << "a refusal fails silently";
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kKeybaseLink, [] { EXPECT_EQ(OpenDoor(0), LinkResult::kFailed); }), "")
      << "the door opens silently";
}
