// The platform layer off the board: paths below TQ8_ROOT, the GPIO files,
// the kernel-log records, the clock file, the bus-designator rules and the
// I2C transport each kind of device node gets.

#include "link/platform/platform.h"
#include "link/testing/test_variants.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"

namespace {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeKernelLogRoot();
    for (const char* dir : {"/sys", "/sys/class", "/sys/class/gpio", "/sys/class/gpio/gpio14",
                            "/var", "/var/run", "/proc", "/proc/bus"}) {
      ::mkdir((root_ + dir).c_str(), 0755);
    }
    LinkStart(testing_variants::kQuietDaemon);
  }
  void TearDown() override {
    ::unsetenv("TQ8_ROOT");
    RemoveTree(root_);
  }
  void Write(const std::string& relative, const std::string& content) {
    std::ofstream(root_ + "/" + relative, std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }
  std::string root_;
};

TEST_F(PlatformTest, FixedPathsResolveBelowTheRoot) {
  char path[4096];
  EXPECT_EQ(std::string(PlatformPath("/etc/config/tq8hub/CONFIG.CFG", path)),
            root_ + "/etc/config/tq8hub/CONFIG.CFG");
  ::setenv("TQ8_ROOT", (root_ + "//").c_str(), 1);
  EXPECT_EQ(std::string(PlatformPath("/dev/kmsg", path)), root_ + "/dev/kmsg");
  ::unsetenv("TQ8_ROOT");
  EXPECT_STREQ(PlatformPath("/dev/kmsg", path), "/dev/kmsg");
  ::setenv("TQ8_ROOT", "", 1);
  EXPECT_STREQ(PlatformPath("/dev/kmsg", path), "/dev/kmsg") << "an empty root is no root";
  char small[8];
  EXPECT_EQ(PlatformPath("/dev/kmsg", small), nullptr);
  EXPECT_EQ(small[0], '\0');
}

TEST_F(PlatformTest, BusLockNameComesFromTheEnvironment) {
  ::unsetenv("TQ8_BUSLOCK");
  EXPECT_STREQ(BusLockName(), "/my-mutex");
  ::setenv("TQ8_BUSLOCK", "/tq8-side-by-side", 1);
  EXPECT_STREQ(BusLockName(), "/tq8-side-by-side");
  ::setenv("TQ8_BUSLOCK", "", 1);
  EXPECT_STREQ(BusLockName(), "/my-mutex");
}

TEST_F(PlatformTest, KernelLogRecordsEndWithTheirZeroByteAndAreCut) {
  LogMessage("SN=%d\n", 42);
  LogMessage("%s", std::string(1000, 'x').c_str());
  const std::string log = Read("dev/kmsg");
  ASSERT_EQ(log.size(), 6u + 1 + 255 + 1);
  EXPECT_EQ(log.substr(0, 7), std::string("SN=42\n\0", 7));
  EXPECT_EQ(log.back(), '\0');

  LinkStart(testing_variants::kLogging);  // a profile with longer records
  Write("dev/kmsg", "");
  LogMessage("%s", std::string(5000, 'y').c_str());
  EXPECT_EQ(ReadKernelLog(root_), (std::vector<std::string>{
                                      std::string(976, 'y'), std::string(976, 'y'),
                                      std::string(976, 'y'), std::string(976, 'y'),
                                      std::string(4095 - 4 * 976, 'y')}))
      << "cut to 4095 characters, in records the kernel takes";
}

TEST_F(PlatformTest, ATextLongerThanOneKernelRecordArrivesWholeInSeveral) {
  LinkStart(testing_variants::kLogging);
  std::string text = "SEND: ";
  while (text.size() < 2100) text += "{\"id\":" + std::to_string(text.size()) + "},";
  text += "\n";
  for (const std::string& sent : {text, std::string(976, 'a'), std::string(977, 'b')}) {
    Write("dev/kmsg", "");
    LogMessage("%s", sent.c_str());
    const std::vector<std::string> records = ReadKernelLog(root_);
    std::string joined;
    for (const std::string& record : records) {
      EXPECT_LE(record.size(), 976u);
      joined += record;
    }
    EXPECT_EQ(joined, sent);
    EXPECT_EQ(records.size(), (sent.size() + 975) / 976);
    EXPECT_EQ(Read("dev/kmsg").size(), sent.size() + records.size()) << "each with its zero byte";
  }
}

TEST_F(PlatformTest, MissingKernelLogIsReportedOrSilentByProgram) {
  ::unlink((root_ + "/dev/kmsg").c_str());
  EXPECT_EQ(CapturedStdout([] { LogMessage("lost\n"); }), "problem opening /dev/kmsg\n");
  struct stat st {};
  EXPECT_NE(::stat((root_ + "/dev/kmsg").c_str(), &st), 0) << "the log is never created";
  LinkStart(testing_variants::kLogging);
  EXPECT_EQ(CapturedStdout([] { LogMessage("lost\n"); }), "");
}

TEST_F(PlatformTest, GpioFilesGetExactlyTheirWords) {
  Write("sys/class/gpio/export", "");
  Write("sys/class/gpio/gpio14/direction", "");
  EXPECT_TRUE(GpioExport(14));
  EXPECT_TRUE(GpioSetDirection(14, false));
  EXPECT_EQ(Read("sys/class/gpio/export"), "14");
  EXPECT_EQ(Read("sys/class/gpio/gpio14/direction"), std::string("in\0", 3));
  EXPECT_TRUE(GpioSetDirection(14, true));
  EXPECT_EQ(Read("sys/class/gpio/gpio14/direction"), std::string("out\0", 4));
}

TEST_F(PlatformTest, GpioFailuresGoWhereTheProgramSendsThem) {
  LinkStart(testing_variants::kPrinting);
  EXPECT_EQ(CapturedStdout([] { EXPECT_FALSE(GpioExport(14)); }), "error gpio/export");
  EXPECT_EQ(CapturedStdout([] { EXPECT_FALSE(GpioSetDirection(15, false)); }), "error gpio/direction");
  LinkStart(testing_variants::kLogging);
  EXPECT_EQ(CapturedStdout([] { EXPECT_EQ(GpioWaitValue(15, 1000, '1'), GpioWait::kNoValueFile); }),
            "");
  EXPECT_EQ(Read("dev/kmsg"), std::string("ERROR gpio/wait\0", 16));
}

TEST_F(PlatformTest, ReadyLineIsSampledUntilSeenOrTheBudgetIsSpent) {
  Write("sys/class/gpio/gpio14/value", "1\n");
  unsigned long before = ReadPlatformCounters().ready_samples;
  EXPECT_EQ(GpioWaitValue(14, 1000, '1'), GpioWait::kSeen);
  EXPECT_EQ(ReadPlatformCounters().ready_samples - before, 1u) << "no sleep when already ready";

  Write("sys/class/gpio/gpio14/value", "0\n");
  before = ReadPlatformCounters().ready_samples;
  EXPECT_EQ(GpioWaitValue(14, 30, '1'), GpioWait::kGaveUp);
  EXPECT_EQ(ReadPlatformCounters().ready_samples - before, 3u);

  Write("sys/class/gpio/gpio14/value", "");
  EXPECT_EQ(GpioWaitValue(14, 20, '1'), GpioWait::kGaveUp) << "an empty file is not ready";
}

TEST_F(PlatformTest, ClockSettingIsRecordedOffTheBoard) {
  EXPECT_TRUE(SetSystemClock(1700000000));
  EXPECT_TRUE(SetSystemClock(1700000123));
  EXPECT_EQ(Read("var/run/system-clock"), "1700000000\n1700000123\n");
  RemoveTree(root_ + "/var/run");
  EXPECT_FALSE(SetSystemClock(1700000000));
}

TEST_F(PlatformTest, BusDesignatorsAreNumbersOrAdapterNames) {
  EXPECT_EQ(I2cBusLookup("0"), 0);
  EXPECT_EQ(I2cBusLookup("0x10"), 16);
  EXPECT_EQ(I2cBusLookup("010"), 8);
  testing::internal::CaptureStderr();
  EXPECT_EQ(I2cBusLookup("1048576"), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus out of range!\n");

  Write("proc/bus/i2c",
        "i2c-0\tsmbus     \tMCU link\t\tSMBus adapter\n"
        "i2c-3\ti2c       \tsensors\t\tbit-banging\n"
        "i2c-4\ti2c       \tsensors\t\tbit-banging\n");
  EXPECT_EQ(I2cBusLookup("MCU link"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(I2cBusLookup("sensors"), -4);
  EXPECT_EQ(I2cBusLookup("radio"), -1);
  EXPECT_EQ(I2cBusLookup(""), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: I2C bus name is not unique!\n"
            "Error: I2C bus name doesn't match any bus present!\n"
            "Error: I2C bus name doesn't match any bus present!\n");
}

TEST_F(PlatformTest, TheDeviceNodeDecidesTheTransport) {
  const std::string node = root_ + "/dev/i2c-0";
  char path[64];
  std::array<uint8_t, 3> bytes{};

  // A character device is driven through the i2c-dev ioctls, which /dev/null
  // refuses with ENOTTY (ENOSYS under user-mode emulation, which does not
  // pass them on); a socket transport would have failed with EIO instead.
  ASSERT_EQ(::symlink("/dev/null", node.c_str()), 0);
  const int device = I2cDeviceOpen(0, path, false);
  ASSERT_GE(device, 0);
  testing::internal::CaptureStderr();
  const int refused = I2cSetSlave(device, 0x49, false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Error: Could not set address to 0x49: ") + std::strerror(-refused) + "\n");
  EXPECT_TRUE(refused == -ENOTTY || refused == -ENOSYS) << refused;
  EXPECT_EQ(I2cSmbusBlockWrite(0, bytes), refused);
  EXPECT_EQ(I2cSmbusBlockRead(0, bytes), refused);
  I2cDeviceClose();

  // A Unix socket in the same place is connected to on the next open and
  // carries the requests.  Its responses are queued before they are asked
  // for: the transport reads exactly one response per request.
  ASSERT_EQ(::unlink(node.c_str()), 0);
  const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", node.c_str());
  ASSERT_EQ(::bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  const int link = I2cDeviceOpen(0, path, false);
  ASSERT_GE(link, 0);
  const int peer = ::accept(server, nullptr, nullptr);
  const uint8_t responses[] = {0, 0, 0, 3, 7, 8, 9};
  ASSERT_EQ(::write(peer, responses, sizeof(responses)), static_cast<ssize_t>(sizeof(responses)));
  EXPECT_EQ(I2cSetSlave(link, 0x49, true), 0);
  EXPECT_EQ(I2cSmbusBlockRead(9, bytes), 3);
  EXPECT_EQ(bytes, (std::array<uint8_t, 3>{7, 8, 9}));
  std::array<char, 8> requests{};
  EXPECT_EQ(::recv(peer, requests.data(), requests.size(), MSG_WAITALL), 8);
  EXPECT_EQ(std::string(requests.data(), requests.size()),
            std::string("A\x49\x01\0R\x09\x03\0", 8));
  I2cDeviceClose();
  ::close(peer);
  ::close(server);
}

}  // namespace
