#include "daemon/start.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void DaemonRequireArgument(int argc, const DaemonTexts& texts) {
  if (argc >= 2) return;
  EmitMessage(texts.usage_sink, "%s", texts.usage_missing);
  std::exit(1);
}

void DaemonDispatch(int argc, char** argv, const DaemonTexts& texts) {
  DaemonRequireArgument(argc, texts);
  const char* argument = argv[1];
  const bool extra = texts.exactly_one_argument && argc > 2;
  if (!extra && std::strcmp(argument, "-i") == 0) {
    LogMessage("%s", texts.foreground);
    return;
  }
  if (extra || std::strcmp(argument, "-d") != 0) {
    EmitMessage(texts.usage_sink, "%s", texts.usage_wrong);
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
