/* Test tooling: prints the state of the bus lock named on the command line
 * ("/tq8-..." in /dev/shm) as a program of the build under test sees it:
 * "free", "held", or "owner died" (the holder ended without releasing it;
 * the lock is then made consistent and released).  A test asks through
 * this program instead of reading the mutex itself, because the mutex's
 * layout is the C library's of the build under test (glibc or musl, either
 * byte order), not the test runner's.
 *
 *   bus-lock-state /tq8-systest-123-0 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s NAME\n", argv[0]);
    return 2;
  }
  const int fd = shm_open(argv[1], O_RDWR, 0);
  if (fd < 0) {
    fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  pthread_mutex_t *mutex = mmap(NULL, sizeof *mutex, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mutex == MAP_FAILED) {
    fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  const int rc = pthread_mutex_trylock(mutex);
  if (rc == EOWNERDEAD) pthread_mutex_consistent(mutex);
  if (rc == 0 || rc == EOWNERDEAD) pthread_mutex_unlock(mutex);
  switch (rc) {
    case 0:
      puts("free");
      return 0;
    case EBUSY:
      puts("held");
      return 0;
    case EOWNERDEAD:
      puts("owner died");
      return 0;
    default:
      fprintf(stderr, "%s: %s\n", argv[1], strerror(rc));
      return 1;
  }
}
