// The C++ library's operating-system definitions for musl, in place of the
// ones Debian's cross compiler was configured with for glibc (those test
// glibc's version macros, which musl does not define).
#ifndef _GLIBCXX_OS_DEFINES
#define _GLIBCXX_OS_DEFINES 1

// isalnum and the rest stay functions, not macros.
#define __NO_CTYPE 1

#include <features.h>

#define _GLIBCXX_NO_OBSOLETE_ISINF_ISNAN_DYNAMIC 1
// pthread_self() is usable without linking a separate thread library, and
// every pthread function is in libc itself.
#define _GLIBCXX_NATIVE_THREAD_ID pthread_self()
#define _GLIBCXX_GTHREAD_USE_WEAK 0

#endif
