/* Test tooling, loaded with LD_PRELOAD into a program under test: the
 * program's I2C device node behaves like the board's i2c-dev character
 * device while the emulated MCU serves it over its Unix socket.
 *
 * open() of a device node path (".../dev/i2c-N" or ".../dev/i2c/N") that
 * is a Unix socket connects to it and returns the connected descriptor, so
 * the program keeps the descriptor and takes its board path: ioctl()
 * I2C_SLAVE, I2C_SLAVE_FORCE and I2C_SMBUS with I2C-block reads and writes
 * on that descriptor.  Each such ioctl becomes one request on the socket,
 * and its response becomes the ioctl's result and errno as the kernel's
 * i2c-dev driver gives them: the count in data->block[0], the bytes in
 * data->block[1..].  Everything else goes to the C library unchanged.
 *
 * With TQ8_I2C_PRELOAD_LOG set, every answered open and every transfer is
 * appended to that file as one line, and so is a connect() of the program
 * itself to a node path ("bypass": the program reached the emulator over
 * its socket transport instead of the ioctls), so that a test can tell
 * that the ioctl path really ran.
 *
 *   open PID PATH
 *   A PID ADDRESS FORCE               (I2C_SLAVE, I2C_SLAVE_FORCE)
 *   W PID COMMAND COUNT               (block write)
 *   R PID COMMAND COUNT               (block read; COUNT asked for)
 *   unsupported PID REQUEST SIZE      (an i2c-dev request it cannot carry)
 *   bypass PID PATH
 *
 * A transfer is logged before its request is sent, so that a process that
 * ends in the middle of one (exit from another thread, a signal) has
 * logged every request the emulator may have seen.
 *
 * The library removes LD_PRELOAD from the environment when it is loaded:
 * the shell commands a program runs need none of this.
 *
 * open() and close() stay async-signal-safe, as the C library's are: a
 * daemon's stop handler opens and closes the kernel log, also while the
 * thread it interrupted is inside one of these ioctls.  So the wrappers
 * find the C library's functions once, at load time, and keep the table of
 * descriptors with atomic operations instead of a lock; only the transfers
 * themselves are serialised by a mutex. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

/* musl names the large-file functions as macros for the plain ones (its
 * open is the large-file one); the wrappers below define both names. */
#undef open64
#undef openat64

#define EXPORT __attribute__((visibility("default")))
#define BLOCK_MAX 32 /* I2C_SMBUS_BLOCK_MAX */
#define MAX_NODES 8

/* A descriptor this library handed out for a node, plus one (0: a free
 * slot, so that the zero-initialised table is all free; read and written
 * atomically), and whether its connection broke (then every later transfer
 * fails with EIO). */
struct node {
  int fd_plus_1;
  int broken;
};

static struct node g_nodes[MAX_NODES];
/* Serialises the transfers, as the bus adapter's lock does in the kernel. */
static pthread_mutex_t g_transfer_lock = PTHREAD_MUTEX_INITIALIZER;

/* The C library's functions behind the wrappers. */
enum {
  NEXT_open, NEXT_open64, NEXT_openat, NEXT_openat64, NEXT___open_2, NEXT___open64_2,
  NEXT___openat_2, NEXT___openat64_2, NEXT_close, NEXT_connect, NEXT_ioctl,
  NEXT___ioctl_time64, NEXT_COUNT
};
static const char* const g_next_names[NEXT_COUNT] = {
  "open", "open64", "openat", "openat64", "__open_2", "__open64_2",
  "__openat_2", "__openat64_2", "close", "connect", "ioctl", "__ioctl_time64"};
static void* g_next[NEXT_COUNT];

/* Found at load time; looked up here only when another library's start-up
 * code calls a wrapper before this library's constructor ran. */
static void* next_symbol(int which) {
  void* function = __atomic_load_n(&g_next[which], __ATOMIC_ACQUIRE);
  if (function == NULL) {
    function = dlsym(RTLD_NEXT, g_next_names[which]);
    __atomic_store_n(&g_next[which], function, __ATOMIC_RELEASE);
  }
  return function;
}

__attribute__((constructor)) static void preload_start(void) {
  for (int i = 0; i < NEXT_COUNT; ++i) next_symbol(i);
  unsetenv("LD_PRELOAD");
}

/* --- the log ------------------------------------------------------------ */

static void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void log_line(const char* format, ...) {
  const char* path = getenv("TQ8_I2C_PRELOAD_LOG");
  if (path == NULL || path[0] == '\0') return;
  char line[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (n < 0) return;
  if ((size_t)n >= sizeof(line)) n = sizeof(line) - 1;
  /* Raw system calls: the log must not go through the wrappers below. */
  int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  /* One write with O_APPEND: lines of several processes never mix. */
  if (write(fd, line, (size_t)n) < 0) {
    /* nothing to do: a lost line shows up as a missing transfer */
  }
  syscall(SYS_close, fd);
}

/* --- device node paths --------------------------------------------------- */

static int all_digits(const char* s) {
  if (*s == '\0') return 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return 0;
  }
  return 1;
}

/* True for ".../dev/i2c-N" and ".../dev/i2c/N" (N decimal). */
static int is_node_path(const char* path) {
  if (path == NULL) return 0;
  /* The last occurrence counts: a root may itself hold "/dev/i2c-". */
  const char* dash = NULL;
  const char* slash = NULL;
  for (const char* p = strstr(path, "/dev/i2c-"); p != NULL; p = strstr(p + 1, "/dev/i2c-")) dash = p;
  for (const char* p = strstr(path, "/dev/i2c/"); p != NULL; p = strstr(p + 1, "/dev/i2c/")) slash = p;
  if (dash != NULL && all_digits(dash + 9)) return 1;
  if (slash != NULL && all_digits(slash + 9)) return 1;
  return 0;
}

static int is_socket(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

static struct node* find_node(int fd) {
  if (fd < 0) return NULL;
  for (int i = 0; i < MAX_NODES; ++i) {
    if (__atomic_load_n(&g_nodes[i].fd_plus_1, __ATOMIC_ACQUIRE) == fd + 1) return &g_nodes[i];
  }
  return NULL;
}

typedef int (*connect_fn)(int, const struct sockaddr*, socklen_t);

/* Connects to the socket at `path` and remembers the descriptor as a node.
 * -1 with errno set on failure. */
static int open_node(const char* path, int flags) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(address.sun_path, path, strlen(path) + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0);
  if (fd < 0) return -1;
  connect_fn real_connect = (connect_fn)next_symbol(NEXT_connect);
  if (real_connect(fd, (const struct sockaddr*)&address, sizeof(address)) != 0) {
    int saved = errno;
    syscall(SYS_close, fd);
    errno = saved;
    return -1;
  }
  struct node* free_slot = NULL;
  for (int i = 0; i < MAX_NODES && free_slot == NULL; ++i) {
    int expected = 0;
    if (__atomic_compare_exchange_n(&g_nodes[i].fd_plus_1, &expected, fd + 1, 0, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      free_slot = &g_nodes[i];
      /* Nobody else knows the descriptor yet. */
      free_slot->broken = 0;
    }
  }
  if (free_slot == NULL) {
    syscall(SYS_close, fd);
    errno = EMFILE;
    return -1;
  }
  log_line("open %d %s\n", (int)getpid(), path);
  return fd;
}

/* -1 when `path` is not a node served by a socket: the C library opens it. */
static int maybe_open_node(int dirfd, const char* path, int flags, int* handled) {
  *handled = 0;
  if (!is_node_path(path) || (path[0] != '/' && dirfd != AT_FDCWD)) return -1;
  if (!is_socket(path)) return -1;
  *handled = 1;
  return open_node(path, flags);
}

/* --- open and its aliases -------------------------------------------------- */

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*openat2_fn)(int, const char*, int);

static mode_t mode_argument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

#define OPEN_WRAPPER(name)                                        \
  EXPORT int name(const char* path, int flags, ...) {             \
    va_list args;                                                 \
    va_start(args, flags);                                        \
    mode_t mode = mode_argument(flags, args);                     \
    va_end(args);                                                 \
    int handled;                                                  \
    int fd = maybe_open_node(AT_FDCWD, path, flags, &handled);    \
    if (handled) return fd;                                       \
    return ((open_fn)next_symbol(NEXT_##name))(path, flags, mode); \
  }

#define OPENAT_WRAPPER(name)                                      \
  EXPORT int name(int dirfd, const char* path, int flags, ...) {  \
    va_list args;                                                 \
    va_start(args, flags);                                        \
    mode_t mode = mode_argument(flags, args);                     \
    va_end(args);                                                 \
    int handled;                                                  \
    int fd = maybe_open_node(dirfd, path, flags, &handled);       \
    if (handled) return fd;                                       \
    return ((openat_fn)next_symbol(NEXT_##name))(dirfd, path, flags, mode); \
  }

#define OPEN2_WRAPPER(name)                                       \
  EXPORT int name(const char* path, int flags) {                  \
    int handled;                                                  \
    int fd = maybe_open_node(AT_FDCWD, path, flags, &handled);    \
    if (handled) return fd;                                       \
    return ((open2_fn)next_symbol(NEXT_##name))(path, flags);     \
  }

#define OPENAT2_WRAPPER(name)                                     \
  EXPORT int name(int dirfd, const char* path, int flags) {       \
    int handled;                                                  \
    int fd = maybe_open_node(dirfd, path, flags, &handled);       \
    if (handled) return fd;                                       \
    return ((openat2_fn)next_symbol(NEXT_##name))(dirfd, path, flags); \
  }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)
OPEN2_WRAPPER(__open_2)
OPEN2_WRAPPER(__open64_2)
OPENAT2_WRAPPER(__openat_2)
OPENAT2_WRAPPER(__openat64_2)

EXPORT int close(int fd) {
  struct node* node = find_node(fd);
  if (node != NULL) {
    int expected = fd + 1;
    __atomic_compare_exchange_n(&node->fd_plus_1, &expected, 0, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  }
  return ((int (*)(int))next_symbol(NEXT_close))(fd);
}

/* A connect of the program itself to a node: it went past the ioctls. */
EXPORT int connect(int fd, const struct sockaddr* address, socklen_t size) {
  if (address != NULL && address->sa_family == AF_UNIX && size > offsetof(struct sockaddr_un, sun_path)) {
    const struct sockaddr_un* unix_address = (const struct sockaddr_un*)address;
    char path[sizeof(unix_address->sun_path) + 1];
    size_t length = size - offsetof(struct sockaddr_un, sun_path);
    if (length > sizeof(unix_address->sun_path)) length = sizeof(unix_address->sun_path);
    memcpy(path, unix_address->sun_path, length);
    path[length] = '\0';
    if (is_node_path(path)) log_line("bypass %d %s\n", (int)getpid(), path);
  }
  return ((connect_fn)next_symbol(NEXT_connect))(fd, address, size);
}

/* --- the transfers ------------------------------------------------------- */

static int send_all(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    bytes += n;
    size -= (size_t)n;
  }
  return 1;
}

static int receive_all(int fd, uint8_t* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    bytes += n;
    size -= (size_t)n;
  }
  return 1;
}

/* One request and its response.  Returns 0 or the errno value the
 * transfer fails with; `*count` receives the data bytes (at most
 * `capacity` kept, the rest read and dropped). */
static int exchange(struct node* node, const uint8_t head[4], const uint8_t* data, size_t size,
                    uint8_t* dest, size_t capacity, size_t* count) {
  *count = 0;
  if (node->broken) return EIO;
  uint8_t request[4 + BLOCK_MAX];
  memcpy(request, head, 4);
  if (size > 0) memcpy(request + 4, data, size);
  uint8_t response[2 + 255];
  const int fd = node->fd_plus_1 - 1;
  if (!send_all(fd, request, 4 + size) || !receive_all(fd, response, 2) ||
      !receive_all(fd, response + 2, response[1])) {
    node->broken = 1;
    return EIO;
  }
  if (response[0] != 0) return response[0];
  size_t m = response[1] < capacity ? response[1] : capacity;
  if (m > 0) memcpy(dest, response + 2, m);
  *count = m;
  return 0;
}

static int set_slave(struct node* node, unsigned long address, int force) {
  /* i2c-dev refuses addresses beyond 7 bits (no ten-bit mode is set). */
  if (address > 0x7f) return EINVAL;
  const uint8_t head[4] = {'A', (uint8_t)address, (uint8_t)(force ? 1 : 0), 0};
  log_line("A %d %02lx %d\n", (int)getpid(), address, force);
  size_t count;
  return exchange(node, head, NULL, 0, NULL, 0, &count);
}

static int smbus(struct node* node, struct i2c_smbus_ioctl_data* args) {
  if (args == NULL) return EFAULT;
  if (args->read_write != I2C_SMBUS_READ && args->read_write != I2C_SMBUS_WRITE) return EINVAL;
  if (args->size != I2C_SMBUS_I2C_BLOCK_DATA && args->size != I2C_SMBUS_I2C_BLOCK_BROKEN) {
    /* The socket carries I2C-block transfers only: other SMBus kinds
     * would reach a real device but cannot reach the emulator. */
    log_line("unsupported %d I2C_SMBUS %u\n", (int)getpid(), args->size);
    return EOPNOTSUPP;
  }
  union i2c_smbus_data* data = args->data;
  if (data == NULL) return EINVAL;
  const int read = args->read_write == I2C_SMBUS_READ;
  /* i2c-dev reads a whole block for the size code without a count byte,
   * and takes the count from block[0] otherwise. */
  const size_t n = read && args->size == I2C_SMBUS_I2C_BLOCK_BROKEN ? BLOCK_MAX : data->block[0];
  /* A zero count is a valid transfer on a real bus but has no request on
   * the socket; the programs never make one. */
  if (n > BLOCK_MAX || n == 0) return EINVAL;
  const uint8_t head[4] = {(uint8_t)(read ? 'R' : 'W'), args->command, (uint8_t)n, 0};
  log_line("%c %d %02x %zu\n", read ? 'R' : 'W', (int)getpid(), args->command, n);
  size_t count = 0;
  int status;
  if (read) {
    uint8_t bytes[BLOCK_MAX];
    status = exchange(node, head, NULL, 0, bytes, n, &count);
    if (status == 0) {
      /* The bytes the emulator delivered: all n on a sound bus. */
      data->block[0] = (uint8_t)count;
      memcpy(data->block + 1, bytes, count);
    }
  } else {
    status = exchange(node, head, data->block + 1, n, NULL, 0, &count);
  }
  return status;
}

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Answers the request when `fd` is a node: 1 and *result set, else 0. */
static int node_ioctl(int fd, unsigned long request, void* argument, int* result) {
  struct node* node = find_node(fd);
  if (node == NULL) return 0;
  pthread_mutex_lock(&g_transfer_lock);
  int status;
  switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
      status = set_slave(node, (unsigned long)argument, request == I2C_SLAVE_FORCE);
      break;
    case I2C_SMBUS:
      status = smbus(node, (struct i2c_smbus_ioctl_data*)argument);
      break;
    default:
      log_line("unsupported %d ioctl 0x%lx\n", (int)getpid(), request);
      status = ENOTTY;
      break;
  }
  pthread_mutex_unlock(&g_transfer_lock);
  *result = status == 0 ? 0 : -1;
  if (status != 0) errno = status;
  return 1;
}

#define IOCTL_WRAPPER(name)                                          \
  EXPORT int name(int fd, unsigned long request, ...) {              \
    va_list args;                                                    \
    va_start(args, request);                                         \
    void* argument = va_arg(args, void*);                            \
    va_end(args);                                                    \
    int result;                                                      \
    if (node_ioctl(fd, request, argument, &result)) return result;   \
    ioctl_fn next = (ioctl_fn)next_symbol(NEXT_##name);              \
    if (next == NULL) {                                              \
      errno = ENOSYS;                                                \
      return -1;                                                     \
    }                                                                \
    return next(fd, request, argument);                              \
  }

IOCTL_WRAPPER(ioctl)
/* 32-bit programs built with a 64-bit time_t call this name instead. */
IOCTL_WRAPPER(__ioctl_time64)
