// The controller IP from a route table below the test root and the
// machine's own interface list (its loopback interface holds 127.0.0.1).

#include "net/controller_ip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "link/testing/emulated_board.h"

namespace {

constexpr char kHeading[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT";

// A route line as the kernel writes it: padded with blanks to 127 characters.
std::string RouteLine(const std::string& interface, const std::string& destination) {
  std::string line =
      interface + "\t" + destination + "\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0";
  line.resize(127, ' ');
  return line + "\n";
}

class ControllerIpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = MakeTempDir();
    ::setenv("TQ8_ROOT", root_.c_str(), 1);
    ::mkdir((root_ + "/proc").c_str(), 0755);
    ::mkdir((root_ + "/proc/net").c_str(), 0755);
  }
  static void TearDownTestSuite() { RemoveTree(root_); }
  void TearDown() override { std::remove(RoutePath().c_str()); }

  static std::string RoutePath() { return root_ + "/proc/net/route"; }
  static void WriteRoutes(const std::string& content) { std::ofstream(RoutePath()) << content; }

  // Runs the lookup with a guard on both sides of the caller's buffer.
  static std::string Lookup(bool expected_found) {
    char guarded[kControllerIpSize + 2];
    std::fill(std::begin(guarded), std::end(guarded), '#');
    std::span<char, kControllerIpSize> ip(guarded + 1, kControllerIpSize);
    EXPECT_EQ(FindControllerIp(ip), expected_found);
    EXPECT_EQ(guarded[0], '#');
    EXPECT_EQ(guarded[kControllerIpSize + 1], '#');
    return std::string(ip.data());
  }

  static std::string root_;
};

std::string ControllerIpTest::root_;

TEST_F(ControllerIpTest, DefaultRouteOnLoopbackGivesItsAddress) {
  WriteRoutes(std::string(kHeading) + "\n" + RouteLine("lo", "0000007F") +
              RouteLine("lo", "00000000") + RouteLine("eth9", "00000000"));
  EXPECT_EQ(Lookup(true), "127.0.0.1") << "the first default route wins";
}

TEST_F(ControllerIpTest, NoDefaultRouteOrNoTableGivesAllZeros) {
  WriteRoutes(std::string(kHeading) + "\n" + RouteLine("lo", "0000007F"));
  EXPECT_EQ(Lookup(false), "0.0.0.0");
  WriteRoutes("");
  EXPECT_EQ(Lookup(false), "0.0.0.0");
  std::remove(RoutePath().c_str());
  EXPECT_EQ(Lookup(false), "0.0.0.0");
  WriteRoutes(RouteLine("no-such-if0", "00000000"));
  EXPECT_EQ(Lookup(false), "0.0.0.0") << "an interface without an IPv4 address";
}

TEST_F(ControllerIpTest, LongLinesArriveInPiecesOf99Characters) {
  // The first 99 characters are one piece, the rest another: its fields are
  // "lo" and "00000000", so that piece names the default route.
  std::string line(95, 'x');
  line += "\tAB\tlo\t00000000\n";
  WriteRoutes(line);
  EXPECT_EQ(Lookup(true), "127.0.0.1");

  // A field far longer than a piece is cut, never copied past its buffer.
  WriteRoutes(std::string(1000, 'y') + "\t00000000\n" + RouteLine("lo", "00000000"));
  EXPECT_EQ(Lookup(false), "0.0.0.0") << "the cut tail of the long name is the default interface";

  // Without a final line end.
  WriteRoutes("lo 00000000");
  EXPECT_EQ(Lookup(true), "127.0.0.1");
}

}  // namespace
