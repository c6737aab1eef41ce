/* Test tooling, loaded with LD_PRELOAD into a program under test: how much
 * of its stack each thread the program starts ever uses.
 *
 * pthread_create runs the new thread on a stack mapped here, of the size
 * its attributes ask for, with an inaccessible guard page below it (a
 * thread that outgrows its stack ends the process with SIGSEGV instead of
 * writing into other memory) and every byte painted with a pattern.  When
 * the process ends (exit, _exit, _Exit), one line per thread is appended to
 * the file named by TQ8_STACK_METER_LOG:
 *
 *   PROGRAM THREAD USED SIZE
 *
 * THREAD is the name the thread gave itself (pthread_setname_np), USED the
 * bytes from the top of its stack down to the deepest one ever written
 * (what the C library keeps at the top of a stack it is given, its thread
 * descriptor and thread-local storage, counts as used), SIZE the stack's
 * size.  The painted stacks are never released, so threads that ended
 * before the process are measured too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { kMaxThreads = 64, kPattern = 0xA5 };

struct metered {
  pthread_t thread;
  unsigned char *low;  /* lowest byte of the stack, just above the guard */
  size_t size;
  char name[16];
  void *(*entry)(void *);
  void *argument;
};

static struct metered g_threads[kMaxThreads];
static int g_count;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

/* The C library's functions, found once at load time: _exit runs in the
 * daemons' signal handler, where dlsym must not be called. */
static int (*g_next_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
static int (*g_next_setname)(pthread_t, const char *);
static void (*g_next_exit)(int);

__attribute__((constructor)) static void find_next(void) {
  g_next_create = (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(
      RTLD_NEXT, "pthread_create");
  g_next_setname = (int (*)(pthread_t, const char *))dlsym(RTLD_NEXT, "pthread_setname_np");
  g_next_exit = (void (*)(int))dlsym(RTLD_NEXT, "_exit");
}

static void *run_metered(void *slot) {
  struct metered *m = slot;
  /* Before the thread can name itself: pthread_create may not have stored
   * the thread's handle yet. */
  pthread_mutex_lock(&g_lock);
  m->thread = pthread_self();
  pthread_mutex_unlock(&g_lock);
  return m->entry(m->argument);
}

EXPORT int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                          void *(*entry)(void *), void *argument) {
  int (*next)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) = g_next_create;
  if (next == NULL) return EAGAIN;
  size_t size = 0;
  int detach = PTHREAD_CREATE_JOINABLE;
  pthread_attr_t own;
  pthread_attr_init(&own);
  if (attributes != NULL) {
    pthread_attr_getstacksize(attributes, &size);
    pthread_attr_getdetachstate(attributes, &detach);
  } else {
    pthread_attr_getstacksize(&own, &size);
  }
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  size = (size + page - 1) / page * page;
  pthread_mutex_lock(&g_lock);
  const int slot = g_count < kMaxThreads ? g_count++ : -1;
  pthread_mutex_unlock(&g_lock);
  unsigned char *map = MAP_FAILED;
  if (slot >= 0) {
    map = mmap(NULL, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (map == MAP_FAILED) {
    /* Out of slots or memory: the thread runs unmeasured. */
    pthread_attr_destroy(&own);
    return next(thread, attributes, entry, argument);
  }
  mprotect(map, page, PROT_NONE);
  struct metered *m = &g_threads[slot];
  m->low = map + page;
  m->size = size;
  m->entry = entry;
  m->argument = argument;
  memset(m->low, kPattern, size);
  pthread_attr_setdetachstate(&own, detach);
  pthread_attr_setstack(&own, m->low, size);
  pthread_t created;
  const int rc = next(&created, &own, run_metered, m);
  pthread_attr_destroy(&own);
  if (rc == 0) *thread = created;
  return rc;
}

EXPORT int pthread_setname_np(pthread_t thread, const char *name) {
  pthread_mutex_lock(&g_lock);
  for (int i = 0; i < g_count; i++) {
    if (g_threads[i].size != 0 && pthread_equal(g_threads[i].thread, thread)) {
      strncpy(g_threads[i].name, name, sizeof g_threads[i].name - 1);
    }
  }
  pthread_mutex_unlock(&g_lock);
  return g_next_setname != NULL ? g_next_setname(thread, name) : 0;
}

/* Appends the decimal digits of `value` at `out`; returns the end. */
static char *put_number(char *out, size_t value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

static char *put_text(char *out, const char *text, size_t limit) {
  for (size_t i = 0; i < limit && text[i] != '\0'; i++) *out++ = text[i] == ' ' ? '_' : text[i];
  return out;
}

/* Writes the log; only what is safe in a signal handler, as _exit is
 * called from the daemons' stop handler. */
static void report(void) {
  static volatile int reported;
  const char *path = getenv("TQ8_STACK_METER_LOG");
  if (reported || path == NULL || *path == '\0') return;
  reported = 1;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const int count = g_count < kMaxThreads ? g_count : kMaxThreads;
  for (int i = 0; i < count; i++) {
    const struct metered *m = &g_threads[i];
    if (m->size == 0) continue;
    size_t untouched = 0;
    while (untouched < m->size && m->low[untouched] == kPattern) untouched++;
    char line[128];
    char *out = put_text(line, program_invocation_short_name, 40);
    *out++ = ' ';
    out = put_text(out, m->name[0] != '\0' ? m->name : "unnamed", sizeof m->name);
    *out++ = ' ';
    out = put_number(out, m->size - untouched);
    *out++ = ' ';
    out = put_number(out, m->size);
    *out++ = '\n';
    if (write(fd, line, (size_t)(out - line)) < 0) break;
  }
  close(fd);
}

__attribute__((destructor)) static void report_at_exit(void) { report(); }

EXPORT void _exit(int status) {
  report();
  if (g_next_exit != NULL) g_next_exit(status);
  syscall(SYS_exit_group, status);
  for (;;) pause();
}

EXPORT void _Exit(int status) { _exit(status); }
