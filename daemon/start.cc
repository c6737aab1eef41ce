#include "daemon/start.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool DaemonRequireArgument(int argc, const DaemonTexts& texts) {
  if (argc >= 2) return true;
  EmitMessage(texts.usage_sink, "%s", texts.usage_missing);
  return false;
}

DaemonStart DaemonDispatch(int argc, char** argv, const DaemonTexts& texts) {
  if (!DaemonRequireArgument(argc, texts)) return DaemonStart::kUsage;
  const char* argument = argv[1];
  const bool extra = texts.exactly_one_argument && argc > 2;
  if (!extra && std::strcmp(argument, "-i") == 0) {
    LogMessage("%s", texts.foreground);
    return DaemonStart::kRun;
  }
  if (extra || std::strcmp(argument, "-d") != 0) {
    EmitMessage(texts.usage_sink, "%s", texts.usage_wrong);
    return DaemonStart::kUsage;
  }
  LogMessage("%s", texts.background);
  // Whatever stdio holds would otherwise be written twice, once per process.
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    LogMessage("\ncan't fork");
    return DaemonStart::kForkFailed;
  }
  if (child > 0) return DaemonStart::kParentDone;
  ::setsid();
  return DaemonStart::kRun;
}

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kSanitizerStackFactor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kSanitizerStackFactor = 4;
#else
constexpr size_t kSanitizerStackFactor = 1;
#endif
#else
constexpr size_t kSanitizerStackFactor = 1;
#endif

// The stack a thread gets: its own size, never below the system's least.
size_t ThreadStackSize(size_t stack_bytes) {
  size_t size = stack_bytes * kSanitizerStackFactor;
  const long least = ::sysconf(_SC_THREAD_STACK_MIN);
  if (least > 0 && size < static_cast<size_t>(least)) size = static_cast<size_t>(least);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) size = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) * static_cast<size_t>(page);
  return size;
}

// What a new thread runs first: it takes its name, then its entry.  One
// slot per thread the process starts; a daemon starts a handful.
struct ThreadStart {
  char name[16];  // the kernel keeps 15 characters of a thread's name
  void* (*entry)(void*);
};
constexpr size_t kMaxDaemonThreads = 8;
ThreadStart g_starts[kMaxDaemonThreads];
size_t g_started = 0;  // only the main thread starts threads

void* RunNamed(void* start) {
  const ThreadStart& own = *static_cast<const ThreadStart*>(start);
  ::pthread_setname_np(::pthread_self(), own.name);
  return own.entry(nullptr);
}

}  // namespace

bool StartDaemonThread(const char* name, void* (*entry)(void*), size_t stack_bytes) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int rc = pthread_attr_setstacksize(&attributes, ThreadStackSize(stack_bytes));
  if (rc == 0 && g_started == kMaxDaemonThreads) rc = EAGAIN;
  pthread_t thread;
  if (rc == 0) {
    ThreadStart& start = g_starts[g_started];
    std::snprintf(start.name, sizeof start.name, "%s", name);
    start.entry = entry;
    rc = pthread_create(&thread, &attributes, RunNamed, &start);
    if (rc == 0) ++g_started;
  }
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    LogMessage("\ncan't create %s:[%s]\n", name, std::strerror(rc));
    return false;
  }
  LogMessage("%s created successfully\n", name);
  return true;
}
