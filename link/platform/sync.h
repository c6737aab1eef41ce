// Mutual exclusion and waiting between the threads of one process, on
// plain pthreads.  The programs use these instead of std::mutex and
// std::condition_variable so that nothing of the C++ runtime library is
// needed on the board (std::mutex reports failures by throwing, which
// drags in the runtime's exception support).
//
// A Mutex is constant-initialised: one at namespace scope is ready before
// any code runs and needs no guarded start-up.
#pragma once

#include <pthread.h>
#include <time.h>

class Mutex {
 public:
  constexpr Mutex() = default;
  ~Mutex() = default;  // a static one stays usable while the process ends
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() { pthread_mutex_lock(&mutex_); }
  void Unlock() { pthread_mutex_unlock(&mutex_); }
  pthread_mutex_t* Native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a Mutex for the rest of the enclosing scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable whose timed waits run on the monotonic clock, so a
// change of the system clock (the daemons set it) neither shortens nor
// stretches them.
class Condition {
 public:
  Condition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  ~Condition() { pthread_cond_destroy(&condition_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // REQUIRES: mutex is held by the caller.  May wake without a signal:
  // callers wait in a loop on their own condition.
  void Wait(Mutex& mutex) { pthread_cond_wait(&condition_, mutex.Native()); }

  // As Wait, for at most `milliseconds`; false when the time ran out.
  bool WaitFor(Mutex& mutex, long milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&condition_, mutex.Native(), &until) == 0;
  }

  void Signal() { pthread_cond_signal(&condition_); }
  void Broadcast() { pthread_cond_broadcast(&condition_); }

 private:
  pthread_cond_t condition_;
};
