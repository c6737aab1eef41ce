// The stop handler: SIGTERM logs the signal, releases the bus lock the
// daemon holds and ends it with status 0.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "daemon/start.h"
#include "link/platform/platform.h"
#include "link/testing/test_variants.h"
#include "link/variant.h"
#include "testing/files.h"
#include "testing/process.h"

namespace {

class StopHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/tq8-stop-test-" + std::to_string(::getpid());
    ::shm_unlink(name_.c_str());
  }
  void TearDown() override { ::shm_unlink(name_.c_str()); }
  std::string name_;
};

TEST_F(StopHandlerTest, StopSignalLogsReleasesTheLockAndExitsWithZero) {
  const std::string root = MakeTempDir();
  ::mkdir((root + "/dev").c_str(), 0755);
  std::ofstream(root + "/dev/kmsg").flush();
  Signal locked;
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv("TQ8_ROOT", root.c_str(), 1);
    ::setenv("TQ8_BUSLOCK", name_.c_str(), 1);
    LinkStart(testing_variants::kQuietDaemon);
    if (!BusLockOpen()) ::_exit(3);
    InstallStopHandler();
    BusLockAcquire();
    locked.Raise();
    for (;;) ::pause();
  }
  ASSERT_TRUE(locked.Await());
  ::kill(child, SIGTERM);
  EXPECT_EQ(ExitCode(child), 0);

  SharedMutex lock = SharedMutexOpen(name_.c_str());
  ASSERT_NE(lock.mutex, nullptr);
  // Released by the handler, not recovered from a dead owner.
  EXPECT_EQ(pthread_mutex_lock(lock.mutex), 0);
  pthread_mutex_unlock(lock.mutex);
  std::ifstream in(root + "/dev/kmsg", std::ios::binary);
  std::stringstream log;
  log << in.rdbuf();
  EXPECT_EQ(log.str(), std::string("Caught signal 15\n\0", 18));
  RemoveTree(root);
}

}  // namespace
