// One instance at a time: an advisory lock on a lock file, held until the
// process ends.
#pragma once

enum class InstanceLock : unsigned char {
  kHeld,         // this process holds the lock
  kBusy,         // another process holds it
  kUnavailable,  // the file could not be opened or locked for another reason
};

// Opens `fixed_path` (below TQ8_ROOT off the board), creating it with
// permissions 0666 when missing so that any user's instance can lock it, and
// tries an exclusive, non-blocking flock.  The descriptor stays open for the
// rest of the process: closing it would release the lock.
InstanceLock TakeInstanceLock(const char* fixed_path);
