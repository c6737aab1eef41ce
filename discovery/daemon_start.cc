#include "discovery/daemon_start.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform.h"

void DaemonDispatch(int argc, char** argv, const DaemonTexts& texts) {
  const char* argument = argc == 2 ? argv[1] : "";
  if (std::strcmp(argument, "-i") == 0) {
    LogMessage("%s", texts.foreground);
    return;
  }
  if (std::strcmp(argument, "-d") != 0) {
    std::printf("%s\n", texts.usage);
    std::exit(1);
  }
  LogMessage("%s", texts.background);
  // Whatever stdio holds would otherwise be written twice, once per process.
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    LogMessage("\ncan't fork");
    std::exit(1);
  }
  if (child > 0) std::exit(0);
  ::setsid();
}

bool StartDaemonThread(const char* name, void* (*entry)(void*)) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attributes, entry, nullptr);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    LogMessage("\ncan't create %s:[%s]\n", name, std::strerror(rc));
    return false;
  }
  LogMessage("%s created successfully\n", name);
  return true;
}
