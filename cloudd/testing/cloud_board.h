// The start of cloudd's unit tests against the emulated MCU: cloudd's link
// on a fresh connection, an MCU without faults or logged requests that
// reports Wiegand readers with six-byte keys (ring code 0) and empty key
// memory, a fresh state whose batch holds only the envelope head, and an
// empty kernel log.  A test's own SetUp adds what it needs after that.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cloudd/batch.h"
#include "cloudd/state.h"
#include "cloudd/tables.h"
#include "link/commands.h"
#include "link/records.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"

class CloudBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkStart(kCloudLink);
    board().ReopenLink();
    mcu().ClearFaults();
    mcu().ClearLogs();
    mcu().SetCtrlParams(0, 0x0C, 1, 0);
    mcu().FillKeys(kEmptyByte);
    GetCtrlParams();
    state_ = std::make_unique<CloudState>();
    BatchReset(state_->batch, 42);
    board().ClearKernelLog();
  }

  static EmulatedBoard& board() { return EmulatedBoard::Get(); }
  static emu::Mcu& mcu() { return board().mcu(); }

  // The whole batch, and what follows its envelope head.
  std::string BatchText() const {
    return std::string(state_->batch.text.data(), state_->batch.used);
  }
  std::string BatchMessages() const {
    const std::string text = BatchText();
    return text.substr(text.find('[') + 1);
  }

  std::unique_ptr<CloudState> state_;
};
