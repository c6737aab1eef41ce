/* Test tooling for the controller build's tests under qemu-user, loaded
 * with LD_PRELOAD into every target program that ctest or a system test
 * starts there (never into anything that ships).  It fills what qemu-user
 * cannot do for a musl program, one override per gap; each is listed with
 * its reason in cmake/qemu-gaps.cmake.
 *
 * - pthread_mutexattr_setrobust: musl asks the kernel for the thread's
 *   robust-futex list (get_robust_list) before it makes a mutex robust,
 *   and qemu-user answers ENOSYS (it cannot hand the kernel a list in
 *   guest memory).  The bus lock would then not open at all.  Here the
 *   mutex stays an ordinary process-shared one: everything but a holder
 *   that dies behaves the same.
 * - getifaddrs, freeifaddrs: musl reads the interface list over a
 *   netlink socket, and qemu-user's netlink translation never ends the
 *   dump.  Here the list comes from SIOCGIFCONF: the IPv4 interfaces with
 *   their flags and netmasks, which is what the programs look at. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int pthread_mutexattr_setrobust(pthread_mutexattr_t *attributes, int robust) {
  static int (*next)(pthread_mutexattr_t *, int);
  if (next == NULL) next = (int (*)(pthread_mutexattr_t *, int))dlsym(RTLD_NEXT, __func__);
  if (next == NULL) return ENOSYS;
  const int rc = next(attributes, robust);
  return rc == ENOSYS ? 0 : rc;
}

/* One entry of the list with the storage its pointers point into. */
struct interface_entry {
  struct ifaddrs entry;
  char name[IFNAMSIZ];
  struct sockaddr_in address;
  struct sockaddr_in netmask;
};

enum { kMaxInterfaces = 64 };

EXPORT int getifaddrs(struct ifaddrs **list) {
  *list = NULL;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct ifreq requests[kMaxInterfaces];
  struct ifconf conf = {.ifc_len = sizeof requests, .ifc_req = requests};
  if (ioctl(fd, SIOCGIFCONF, &conf) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  const int count = conf.ifc_len / (int)sizeof requests[0];
  struct interface_entry *entries = count > 0 ? calloc((size_t)count, sizeof *entries) : NULL;
  if (count > 0 && entries == NULL) {
    close(fd);
    errno = ENOMEM;
    return -1;
  }
  for (int i = 0; i < count; i++) {
    struct interface_entry *e = &entries[i];
    memcpy(e->name, requests[i].ifr_name, IFNAMSIZ);
    e->name[IFNAMSIZ - 1] = '\0';
    memcpy(&e->address, &requests[i].ifr_addr, sizeof e->address);
    struct ifreq query;
    memset(&query, 0, sizeof query);
    memcpy(query.ifr_name, e->name, IFNAMSIZ);
    if (ioctl(fd, SIOCGIFFLAGS, &query) == 0) e->entry.ifa_flags = (unsigned)query.ifr_flags;
    if (ioctl(fd, SIOCGIFNETMASK, &query) == 0) {
      memcpy(&e->netmask, &query.ifr_netmask, sizeof e->netmask);
      e->entry.ifa_netmask = (struct sockaddr *)&e->netmask;
    }
    e->entry.ifa_name = e->name;
    e->entry.ifa_addr = (struct sockaddr *)&e->address;
    e->entry.ifa_next = i + 1 < count ? &entries[i + 1].entry : NULL;
  }
  close(fd);
  /* The first entry is the start of the block that freeifaddrs releases. */
  *list = count > 0 ? &entries[0].entry : NULL;
  return 0;
}

EXPORT void freeifaddrs(struct ifaddrs *list) { free(list); }
