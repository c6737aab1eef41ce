// Failure records that repeat: logged once, then counted at most once a
// minute, the count told again when the run ends; records gathered by a
// scope, on its own thread only.

#include "link/platform/repeat_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "link/platform/platform.h"
#include "link/testing/test_variants.h"
#include "link/variant.h"
#include "testing/files.h"

namespace {

int64_t g_now = 0;
int64_t FakeClock() { return g_now; }

class RepeatLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeKernelLogRoot();
    LinkStart(testing_variants::kQuietDaemon);
    g_now = 1'000'000;
    filter_.clock_ms = FakeClock;
  }
  void TearDown() override {
    ::unsetenv("TQ8_ROOT");
    RemoveTree(root_);
  }
  std::vector<std::string> Log() const { return ReadKernelLog(root_); }
  // One polling step of a link that fails with two records.
  void FailingStep() {
    RepeatScope step(filter_);
    LogMessage("GetExternal\n");
    LogMessage("ERROR: WAIT TIMEOUT!\n");
    step.End(true);
  }

  std::string root_;
  RepeatFilter filter_;
};

TEST_F(RepeatLogTest, AFailureIsLoggedOnceThenCountedOnceAMinute) {
  LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  for (int i = 0; i < 599; ++i) {
    g_now += 100;
    LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  }
  EXPECT_EQ(Log(), (std::vector<std::string>{"SN: ERROR I2C READ \n"}))
      << "599 repeats in 59.9 s";
  g_now += 100;
  LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  g_now += 100;
  LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  EXPECT_EQ(Log(), (std::vector<std::string>{"SN: ERROR I2C READ \n",
                                             "Repeated 600 times: SN: ERROR I2C READ\n"}));
  // The first success tells the repeats since, then the caller logs it.
  EXPECT_TRUE(RepeatSuccess(filter_));
  LogMessage("SN=%05u Model=%04X\n", 4242u, 0x642u);
  EXPECT_FALSE(RepeatSuccess(filter_)) << "no run to end";
  EXPECT_EQ(Log(), (std::vector<std::string>{"SN: ERROR I2C READ \n",
                                             "Repeated 600 times: SN: ERROR I2C READ\n",
                                             "Repeated 1 times: SN: ERROR I2C READ\n",
                                             "SN=04242 Model=0642\n"}));

  // After a success the same failure is news again; another failure ends
  // its run at once.
  LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  LogRepeatedFailure(filter_, "SN: ERROR I2C READ \n");
  LogRepeatedFailure(filter_, "ERROR I2C WRITE\n");
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"SN: ERROR I2C READ \n",
                                      "Repeated 1 times: SN: ERROR I2C READ\n",
                                      "ERROR I2C WRITE\n"}));
}

TEST_F(RepeatLogTest, AScopeHoldsBackTheRecordsOfARepeatingStep) {
  for (int i = 0; i < 5; ++i) FailingStep();
  EXPECT_EQ(Log(), (std::vector<std::string>{"GetExternal\n", "ERROR: WAIT TIMEOUT!\n"}));
  g_now += kRepeatReportMs;
  FailingStep();
  EXPECT_EQ(Log().back(), "Repeated 5 times: GetExternal ERROR: WAIT TIMEOUT!\n");

  // A step that succeeds logs its records as they are; a failed one that
  // logged nothing (the link answered, without data) ends the run too.
  FailingStep();
  {
    RepeatScope step(filter_);
    LogMessage("01 0A 0B 0C ");
    step.End(false);
  }
  EXPECT_EQ(Log().back(), "01 0A 0B 0C ");
  EXPECT_EQ(Log()[Log().size() - 2], "Repeated 1 times: GetExternal ERROR: WAIT TIMEOUT!\n");
  FailingStep();
  { RepeatScope(filter_).End(true); }
  FailingStep();
  EXPECT_EQ(Log().size(), 9u) << "the failure came back after the answer: news again";
  { RepeatScope step(filter_); }  // ended by its destructor, as a success
  EXPECT_FALSE(RepeatSuccess(filter_));
}

TEST_F(RepeatLogTest, AScopeGathersOnlyItsOwnThreadsRecordsAndLosesNothingWhenFull) {
  {
    RepeatScope step(filter_);
    std::thread other([] { LogMessage("SEEK from 127.0.0.1\n"); });
    other.join();
    EXPECT_EQ(Log(), (std::vector<std::string>{"SEEK from 127.0.0.1\n"}));
    LogMessage("held\n");
    RepeatScope inner(filter_);  // takes nothing of its own
    LogMessage("also held\n");
    inner.End(true);
    EXPECT_EQ(Log().size(), 1u);
    step.End(false);
  }
  EXPECT_EQ(Log(), (std::vector<std::string>{"SEEK from 127.0.0.1\n", "held\n", "also held\n"}));

  // More than a scope holds: logged in order as it comes, every time.
  for (int round = 0; round < 2; ++round) {
    RepeatScope step(filter_);
    for (int i = 0; i < 200; ++i) LogMessage("record %03d of a long failure\n", i);
    step.End(true);
  }
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 3u + 400u);
  EXPECT_EQ(log[3], "record 000 of a long failure\n");
  EXPECT_EQ(log[3 + 199], "record 199 of a long failure\n");
  EXPECT_EQ(log.back(), "record 199 of a long failure\n");
}

TEST_F(RepeatLogTest, RecordsThatDifferOnlyInTheirNumbersRepeatTheFailure) {
  // A connection failure names its port and milliseconds, which change.
  LogRepeatedFailure(filter_, "failed: 127.0.0.1 port 58227 after 12 ms\n");
  LogRepeatedFailure(filter_, "failed: 127.0.0.1 port 58227 after 0 ms\n");
  LogRepeatedFailure(filter_, "failed: 127.0.0.1 port 58227 after 1004 ms\n");
  // Another word is another failure.
  LogRepeatedFailure(filter_, "failed: 127.0.0.1 port 58227 after 1004 s\n");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "failed: 127.0.0.1 port 58227 after 12 ms\n",
                       "Repeated 2 times: failed: 127.0.0.1 port 58227 after 12 ms\n",
                       "failed: 127.0.0.1 port 58227 after 1004 s\n"}));
}

}  // namespace
