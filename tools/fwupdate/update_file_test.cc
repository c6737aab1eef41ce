// The update file's layout checks, the boot loader's header and the
// progress bar text.

#include "tools/fwupdate/update_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/fwupdate/progress_bar.h"

namespace {

TEST(UpdateImage, LengthFieldIsLittleEndian) {
  const std::array<uint8_t, 4> field{0x04, 0x03, 0x00, 0x00};
  EXPECT_EQ(ImageLengthField(field), 772u);
  const std::array<uint8_t, 4> high{0x01, 0x02, 0x03, 0x84};
  EXPECT_EQ(ImageLengthField(high), 0x84030201u);
}

TEST(UpdateImage, ImageBehindAPreambleSendsEveryRecordItHolds) {
  // 1000 bytes ending in L = 772 = 2 * 262 + 248: record 0 and one more.
  UpdateImage image;
  ASSERT_EQ(CheckUpdateImage(1000, 772, image), ImageCheck::kGood);
  EXPECT_EQ(image.start, 228u);
  EXPECT_EQ(image.records_after_first, 1u);

  // k records and the length field: every record goes out.
  ASSERT_EQ(CheckUpdateImage(262 * 5 + 4, 262 * 5 + 4, image), ImageCheck::kGood);
  EXPECT_EQ(image.start, 0u);
  EXPECT_EQ(image.records_after_first, 4u);
}

TEST(UpdateImage, RefusesWhatCannotBeSent) {
  UpdateImage image;
  EXPECT_EQ(CheckUpdateImage(0, 0, image), ImageCheck::kNoLengthField);
  EXPECT_EQ(CheckUpdateImage(3, 0, image), ImageCheck::kNoLengthField);
  EXPECT_EQ(CheckUpdateImage(1000, 1001, image), ImageCheck::kLargerThanFile);
  EXPECT_EQ(CheckUpdateImage(1000, 0xFFFFFFFF, image), ImageCheck::kLargerThanFile);
  EXPECT_EQ(CheckUpdateImage(1000, 523, image), ImageCheck::kTooShort);
  EXPECT_EQ(CheckUpdateImage(1000, 4, image), ImageCheck::kTooShort);
  EXPECT_EQ(CheckUpdateImage(524, 524, image), ImageCheck::kGood);
  EXPECT_EQ(image.records_after_first, 0u);
}

TEST(UpdateImage, TransferNeverReadsPastTheFile) {
  // The transfer reads record 0, then records while sent < L - 524.
  for (uint32_t length = 524; length < 524 + 262 * 4; ++length) {
    UpdateImage image;
    ASSERT_EQ(CheckUpdateImage(length + 17, length, image), ImageCheck::kGood);
    uint32_t loop_records = 0;
    for (uint64_t sent = 0; sent < length - 524; sent += 262) ++loop_records;
    EXPECT_EQ(image.records_after_first, loop_records) << "L = " << length;
    EXPECT_LE(image.start + (1 + uint64_t{loop_records}) * 262, length + 17u) << "L = " << length;
  }
}

TEST(UpdateHeader, TagThenLittleEndianAddress) {
  const UpdateHeader entry = MakeUpdateHeader(UpdateTag::kUpdate, kBootEntryAddress);
  EXPECT_EQ(std::string(entry.begin(), entry.begin() + 8), "FWUPDATE");
  EXPECT_EQ(entry[8] & entry[9] & entry[10] & entry[11], 0xFF);
  const UpdateHeader done = MakeUpdateHeader(UpdateTag::kDone, 0x00012300);
  EXPECT_EQ(std::string(done.begin(), done.begin() + 8), "FWUPDONE");
  EXPECT_EQ(done[8], 0x00);
  EXPECT_EQ(done[9], 0x23);
  EXPECT_EQ(done[10], 0x01);
  EXPECT_EQ(done[11], 0x00);
}

std::string Bar(uint64_t done, uint64_t total) {
  ProgressText text;
  const size_t length = ProgressBarText(done, total, text);
  return std::string(text.data(), length);
}

TEST(ProgressBar, PercentageAndTwentyOneSteps) {
  EXPECT_EQ(Bar(0, 772), "  0% [=                    ]\r");
  EXPECT_EQ(Bar(386, 772), " 50% [===========          ]\r");
  EXPECT_EQ(Bar(262, 786), " 33% [=======              ]\r");
  EXPECT_EQ(Bar(772, 772), "100% [=====================]\r");
  // Never past full, whatever it is given.
  EXPECT_EQ(Bar(900, 772), "100% [=====================]\r");
}

}  // namespace
