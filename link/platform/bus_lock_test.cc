// The bus lock across processes: creating versus opening, a holder that is
// killed, and programs racing to create it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/testing/test_variants.h"
#include "link/platform/platform.h"
#include "link/testing/emulated_board.h"
#include "testing/process.h"
#include "link/variant.h"

namespace {

class BusLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/tq8-lock-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ::shm_unlink(name_.c_str());
  }
  void TearDown() override { ::shm_unlink(name_.c_str()); }
  std::string name_;
};


TEST_F(BusLockTest, FirstOpenerCreatesLaterOnesMapTheSameMutex) {
  SharedMutex first = SharedMutexOpen(name_.c_str());
  ASSERT_NE(first.mutex, nullptr);
  EXPECT_TRUE(first.created);
  EXPECT_STREQ(first.name, name_.c_str());
  struct stat st {};
  ASSERT_EQ(::fstat(first.fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(static_cast<size_t>(st.st_size), sizeof(pthread_mutex_t));

  ASSERT_TRUE(SharedMutexLock(first));
  pid_t child = ::fork();
  if (child == 0) {
    SharedMutex second = SharedMutexOpen(name_.c_str());
    if (second.mutex == nullptr || second.created) ::_exit(2);
    // The parent holds it: a second opener must see it held, not re-initialised.
    ::_exit(pthread_mutex_trylock(second.mutex) == EBUSY ? 0 : 3);
  }
  EXPECT_EQ(ExitCode(child), 0);
  EXPECT_TRUE(SharedMutexUnlock(first));
}

TEST_F(BusLockTest, AHolderKilledWithSigkillDoesNotBlockTheBus) {
  SharedMutex lock = SharedMutexOpen(name_.c_str());
  ASSERT_NE(lock.mutex, nullptr);
  Signal locked;
  pid_t child = ::fork();
  if (child == 0) {
    SharedMutex mine = SharedMutexOpen(name_.c_str());
    SharedMutexLock(mine);
    locked.Raise();
    for (;;) ::pause();
  }
  ASSERT_TRUE(locked.Await());
  ASSERT_EQ(pthread_mutex_trylock(lock.mutex), EBUSY);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  EXPECT_TRUE(SharedMutexLock(lock)) << "the dead holder's lock is taken over";
  EXPECT_TRUE(SharedMutexUnlock(lock));
  // Made consistent: usable for good, not only once.
  EXPECT_EQ(pthread_mutex_lock(lock.mutex), 0);
  EXPECT_EQ(pthread_mutex_unlock(lock.mutex), 0);
}

TEST_F(BusLockTest, ProgramsRacingToCreateItInitialiseItOnce) {
  constexpr int kPrograms = 8;
  constexpr int kRounds = 20;
  constexpr int kIncrements = 2000;
  // A plain counter beside the lock, bumped without atomics under the lock.
  auto* counter = static_cast<long*>(
      ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(counter, MAP_FAILED);
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = name_ + "-" + std::to_string(round);
    ::shm_unlink(name.c_str());
    *counter = 0;
    Signal start;
    std::vector<pid_t> children;
    for (int i = 0; i < kPrograms; ++i) {
      pid_t child = ::fork();
      if (child == 0) {
        start.Open();
        start.Await();
        SharedMutex lock = SharedMutexOpen(name.c_str());
        if (lock.mutex == nullptr) ::_exit(3);
        for (int n = 0; n < kIncrements; ++n) {
          if (!SharedMutexLock(lock)) ::_exit(4);
          volatile long* c = counter;
          *c = *c + 1;
          SharedMutexUnlock(lock);
        }
        ::_exit(lock.created ? 1 : 0);
      }
      children.push_back(child);
    }
    start.Open();
    int creators = 0;
    for (pid_t child : children) {
      const int code = ExitCode(child);
      ASSERT_TRUE(code == 0 || code == 1) << "exit " << code;
      creators += code;
    }
    EXPECT_EQ(creators, 1) << "round " << round;
    EXPECT_EQ(*counter, long{kPrograms} * kIncrements) << "round " << round;
    ::shm_unlink(name.c_str());
  }
  ::munmap(counter, sizeof(long));
}


}  // namespace
