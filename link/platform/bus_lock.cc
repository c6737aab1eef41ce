// The bus lock: one process-shared mutex in POSIX shared memory that keeps
// the frames of all programs on the MCU bus apart.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "link/platform/platform.h"
#include "link/platform/syscall_count.h"

namespace {

SharedMutex g_bus_lock;
std::atomic<bool> g_bus_lock_held{false};

void Report(const char* label, int error) {
  errno = error;
  std::perror(label);
}

int FlockRetrying(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Initialises the mutex in a fresh object: process-shared, and robust so
// that a holder that dies does not block the bus until the next restart.
bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  int rc = pthread_mutexattr_init(&attributes);
  if (rc != 0) {
    Report("pthread_mutexattr_init", rc);
    return false;
  }
  rc = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (rc != 0) {
    Report("pthread_mutexattr_setpshared", rc);
    pthread_mutexattr_destroy(&attributes);
    return false;
  }
  rc = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (rc != 0) {
    Report("pthread_mutexattr_setrobust", rc);
    pthread_mutexattr_destroy(&attributes);
    return false;
  }
  rc = pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    Report("pthread_mutex_init", rc);
    return false;
  }
  return true;
}

}  // namespace

SharedMutex SharedMutexOpen(const char* name) {
  SharedMutex record;
  errno = 0;
  int fd = ::shm_open(name, O_RDWR, 0660);
  if (fd < 0 && errno == ENOENT) fd = ::shm_open(name, O_RDWR | O_CREAT, 0660);
  if (fd < 0) {
    std::perror("shm_open");
    return record;
  }
  record.fd = fd;

  // Several programs may find the object missing at the same moment and
  // create it together.  Whoever holds the exclusive file lock and finds the
  // object still empty initialises the mutex; everyone else waits on the
  // file lock, so nobody maps a half-initialised mutex.
  if (FlockRetrying(fd, LOCK_EX) != 0) {
    std::perror("flock");
    return record;
  }
  struct stat status {};
  bool fresh = ::fstat(fd, &status) == 0 && status.st_size == 0;
  if (fresh) ::fchmod(fd, 0660);  // not narrowed by the umask
  pthread_mutex_t* mutex = nullptr;
  if (::ftruncate(fd, sizeof(pthread_mutex_t)) != 0) {
    std::perror("ftruncate");
  } else {
    void* map = ::mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      std::perror("mmap");
    } else {
      mutex = static_cast<pthread_mutex_t*>(map);
      if (fresh && !InitialiseMutex(mutex)) {
        ::munmap(map, sizeof(pthread_mutex_t));
        mutex = nullptr;
        // Leave the object empty so that the next opener tries again.
        [[maybe_unused]] int ignored = ::ftruncate(fd, 0);
      }
    }
  }
  FlockRetrying(fd, LOCK_UN);
  if (mutex == nullptr) return record;
  record.mutex = mutex;
  record.created = fresh;
  std::snprintf(record.name, sizeof(record.name), "%s", name);
  return record;
}

bool SharedMutexLock(SharedMutex& lock) {
  if (lock.mutex == nullptr) return false;
  int rc = pthread_mutex_lock(lock.mutex);
  if (rc == EOWNERDEAD) {
    // The previous holder died inside its transaction.  The bus itself
    // needs no repair: the MCU drops an unfinished frame when the next one
    // starts.
    rc = pthread_mutex_consistent(lock.mutex);
  }
  return rc == 0;
}

bool SharedMutexUnlock(SharedMutex& lock) {
  if (lock.mutex == nullptr) return false;
  return pthread_mutex_unlock(lock.mutex) == 0;
}

const char* BusLockName() {
  const char* name = std::getenv("TQ8_BUSLOCK");
  return (name != nullptr && name[0] != '\0') ? name : "/my-mutex";
}

bool BusLockOpen() {
  g_bus_lock = SharedMutexOpen(BusLockName());
  return g_bus_lock.mutex != nullptr;
}

SharedMutex& BusLock() { return g_bus_lock; }

void BusLockAcquire() {
  SharedMutexLock(g_bus_lock);
  g_bus_lock_held.store(true, std::memory_order_release);
}

void BusLockRelease() {
  g_bus_lock_held.store(false, std::memory_order_release);
  SharedMutexUnlock(g_bus_lock);
}

bool BusLockHeldHere() { return g_bus_lock_held.load(std::memory_order_acquire); }
