// The pthread mutex and condition helpers: exclusion between threads,
// waking a waiter, and a timed wait that ends without a signal.

#include "link/platform/sync.h"

#include <gtest/gtest.h>
#include <pthread.h>

namespace {

// Constant initialisation is what lets a namespace-scope lock be used
// before main and without a guarded first use: this fails to compile if
// Mutex ever needs code at start-up.
constinit Mutex g_constant_lock;

struct Counter {
  Mutex lock;
  long value = 0;
};

void* CountUp(void* arg) {
  Counter& counter = *static_cast<Counter*>(arg);
  for (int i = 0; i < 20000; ++i) {
    MutexLock held(counter.lock);
    // A read, a yield point and a write: without the lock, increments of
    // the two threads would be lost.
    const long seen = counter.value;
    counter.value = seen + 1;
  }
  return nullptr;
}

TEST(SyncTest, MutexLockKeepsThreadsApart) {
  Counter counter;
  pthread_t threads[2];
  for (pthread_t& thread : threads) ASSERT_EQ(pthread_create(&thread, nullptr, CountUp, &counter), 0);
  for (pthread_t& thread : threads) pthread_join(thread, nullptr);
  EXPECT_EQ(counter.value, 40000);

  // The lock is free again after its scope, and a static one works at once.
  EXPECT_EQ(pthread_mutex_trylock(counter.lock.Native()), 0);
  counter.lock.Unlock();
  MutexLock held(g_constant_lock);
  EXPECT_NE(pthread_mutex_trylock(g_constant_lock.Native()), 0);
}

struct Handoff {
  Mutex lock;
  Condition changed;
  bool ready = false;
  bool seen = false;
};

void* WaitForReady(void* arg) {
  Handoff& handoff = *static_cast<Handoff*>(arg);
  MutexLock held(handoff.lock);
  while (!handoff.ready) handoff.changed.Wait(handoff.lock);
  handoff.seen = true;
  handoff.changed.Broadcast();
  return nullptr;
}

TEST(SyncTest, ConditionWakesAWaiterAndTimesOutWithoutOne) {
  Handoff handoff;
  pthread_t waiter;
  ASSERT_EQ(pthread_create(&waiter, nullptr, WaitForReady, &handoff), 0);
  {
    MutexLock held(handoff.lock);
    handoff.ready = true;
    handoff.changed.Signal();
    // The waiter answers; a generous limit only keeps a broken build from
    // hanging the test run.
    for (int rounds = 0; !handoff.seen && rounds < 600; ++rounds) handoff.changed.WaitFor(handoff.lock, 100);
    EXPECT_TRUE(handoff.seen);
  }
  pthread_join(waiter, nullptr);

  // Nobody signals: the wait ends by itself and says so (the lock is held again).
  Mutex lock;
  Condition never;
  MutexLock held(lock);
  EXPECT_FALSE(never.WaitFor(lock, 20));
  EXPECT_NE(pthread_mutex_trylock(lock.Native()), 0);
}

}  // namespace
