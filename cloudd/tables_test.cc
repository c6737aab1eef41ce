// cloudd's link table: every failure logged with its details, and refusal
// bytes taken as data.

#include "cloudd/tables.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "link/commands.h"
#include "link/memory.h"
#include "link/testing/table_check.h"
#include "link/transaction.h"

TEST(CloudTable, LogsFailuresWithDetailsAndTakesRefusalBytesAsData) {
  std::array<uint8_t, 8> dest{};
  InjectFault(emu::FaultKind::kRefused);
  EXPECT_EQ(ReportedWith(kCloudLink, [&] { EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, dest), LinkResult::kDone); }), "");
  EXPECT_EQ(dest[0], 0xAA);

  const auto read = [&] { EXPECT_EQ(ReadMem(0, 0xA0, 8, 0x00C0, dest), LinkResult::kFailed); };
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kCloudLink, read),
            "ERROR: WAIT TIMEOUT!\nRead Data from Bus 00 Type A0 Address 00C0 Size 8\n");
  InjectFault(emu::FaultKind::kStatusRejected);
  const std::string rejected = ReportedWith(kCloudLink, read);
  EXPECT_EQ(rejected.substr(0, 16), "data[0]=0x02\n02 ") << "the rejected reply's head follows";
  EXPECT_EQ(rejected.size(), 13u + 9 * 3 + 1) << rejected;
  SetLinkSequenceValue(0);
  InjectFault(emu::FaultKind::kWrongEcho);
  EXPECT_EQ(ReportedWith(kCloudLink, read), "ReadMem error CS 01 02\n");

  std::array<uint8_t, kExternalBufferSize> external{};
  InjectFault(emu::FaultKind::kNoReady);
  EXPECT_EQ(ReportedWith(kCloudLink, [&] { EXPECT_EQ(GetExternal(external, 0), 0); }),
            "GetExternal\nERROR: WAIT TIMEOUT!\n");
}
