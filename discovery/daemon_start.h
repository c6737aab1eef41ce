// The start-up steps that the mode daemons share around their discovery
// responder: the "-d"/"-i" argument and the creation of their threads.
#pragma once

// The daemon's own texts for its argument.
struct DaemonTexts {
  const char* foreground;  // logged for "-i"; the process runs on
  const char* background;  // logged for "-d"; the process forks
  const char* usage;       // printed as a line for anything else
};

// Dispatches on the daemon's single argument:
//   "-i"  logs `foreground` and returns;
//   "-d"  logs `background` and forks: the parent exits with status 0, the
//         child becomes a session leader and returns (a failed fork logs
//         "\ncan't fork" and exits with status 1);
//   none or anything else: prints `usage` and exits with status 1.
// Call before any thread is started.
void DaemonDispatch(int argc, char** argv, const DaemonTexts& texts);

// Starts a detached thread and logs "<name> created successfully\n", or
// "\ncan't create <name>:[<error text>]\n" when it could not be created.
// True when it runs.
bool StartDaemonThread(const char* name, void* (*entry)(void*));
