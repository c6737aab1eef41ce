// The daemons' argument, and their threads: each runs on the stack it was
// given, never the C library's default, under its own name.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>

#include "daemon/start.h"
#include "link/testing/test_variants.h"
#include "link/variant.h"
#include "testing/captured_stdout.h"
#include "testing/files.h"
#include "testing/process.h"

namespace {

Signal g_ran;
size_t g_stack = 0;
char g_name[16] = {};

void* Probe(void*) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &g_stack);
    pthread_attr_destroy(&attributes);
  }
  pthread_getname_np(pthread_self(), g_name, sizeof g_name);
  g_ran.Raise();
  return nullptr;
}

TEST(StartDaemonThreadTest, TheThreadRunsOnItsOwnStackUnderItsName) {
  const std::string root = MakeKernelLogRoot();
  LinkStart(testing_variants::kQuietDaemon);
  constexpr size_t kStack = 48 * 1024;
  ASSERT_TRUE(StartDaemonThread("ThreadCheckServer", Probe, kStack));
  ASSERT_TRUE(g_ran.Await());
  // The C library may count its guard page in or out.  Its default
  // (128 KiB, 8 MiB) is far from both bounds.  Sanitizer builds give a
  // thread four times its size, and their run-times enlarge small stacks
  // further, so there only the lower bound holds.
  EXPECT_GE(g_stack, kStack - 8192);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LE(g_stack, kStack + 8192);
#endif
  // The kernel keeps 15 characters.
  EXPECT_STREQ(g_name, "ThreadCheckServ");
  const auto log = ReadKernelLog(root);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "ThreadCheckServer created successfully\n");
  RemoveTree(root);
}

constexpr DaemonTexts kTexts{
    .foreground = "in the foreground\n",
    .background = "in the background\n",
    .usage_missing = "usage: no argument\n",
    .usage_wrong = "usage: a wrong one\n",
    .usage_sink = MessageSink::kStandardOutput,
    .exactly_one_argument = true,
};

// "-d" forks, and so is left to the daemons' system tests.
TEST(DaemonDispatchTest, OnlyMinusIRunsAndEveryOtherArgumentGetsItsUsageLine) {
  const std::string root = MakeKernelLogRoot();
  LinkStart(testing_variants::kQuietDaemon);
  char program[] = "daemon";
  char foreground[] = "-i";
  char wrong[] = "-x";
  char* none[] = {program, nullptr};
  char* run[] = {program, foreground, nullptr};
  char* other[] = {program, wrong, nullptr};
  char* two[] = {program, foreground, foreground, nullptr};

  EXPECT_EQ(CapturedStdout([&] { EXPECT_FALSE(DaemonRequireArgument(1, kTexts)); }),
            "usage: no argument\n");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_TRUE(DaemonRequireArgument(2, kTexts)); }), "");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(DaemonDispatch(1, none, kTexts), DaemonStart::kUsage); }),
            "usage: no argument\n");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(DaemonDispatch(2, other, kTexts), DaemonStart::kUsage); }),
            "usage: a wrong one\n");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(DaemonDispatch(3, two, kTexts), DaemonStart::kUsage); }),
            "usage: a wrong one\n");
  EXPECT_EQ(CapturedStdout([&] { EXPECT_EQ(DaemonDispatch(2, run, kTexts), DaemonStart::kRun); }), "");
  EXPECT_EQ(ReadKernelLog(root), (std::vector<std::string>{"in the foreground\n"}));
  RemoveTree(root);
}

}  // namespace
