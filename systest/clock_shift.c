/* Test tooling, loaded with LD_PRELOAD into a program under test: with
 * TQ8_CLOCK_SHIFT=N in its environment, every reading of the real-time
 * clock (clock_gettime of CLOCK_REALTIME, time) is N seconds later than the
 * machine's clock, so a test can run a program in another year (after
 * 2038, say) without touching the machine's clock.  Other clocks (the
 * monotonic one that the programs time their waits with) are unchanged.
 * Without the variable nothing changes.
 *
 * The functions keep the C library's names for the program's time_t: a
 * 32-bit musl program with a 64-bit time_t calls __clock_gettime64 and
 * __time64, which <time.h> names for it (the definitions below take those
 * names from the header). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#define EXPORT __attribute__((visibility("default")))

#ifdef _REDIR_TIME64
#define CLOCK_GETTIME_NAME "__clock_gettime64"
#define TIME_NAME "__time64"
#else
#define CLOCK_GETTIME_NAME "clock_gettime"
#define TIME_NAME "time"
#endif

static int (*g_next_clock_gettime)(clockid_t, struct timespec *);
static time_t g_shift;

__attribute__((constructor)) static void find_next(void) {
  g_next_clock_gettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, CLOCK_GETTIME_NAME);
  const char *shift = getenv("TQ8_CLOCK_SHIFT");
  if (shift != NULL) g_shift = (time_t)strtoll(shift, NULL, 10);
}

EXPORT int clock_gettime(clockid_t clock, struct timespec *now) {
  if (g_next_clock_gettime == NULL) return -1;
  const int rc = g_next_clock_gettime(clock, now);
  if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) now->tv_sec += g_shift;
  return rc;
}

EXPORT time_t time(time_t *out) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return (time_t)-1;
  if (out != NULL) *out = now.tv_sec;
  return now.tv_sec;
}
