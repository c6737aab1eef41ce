// Fuzz target: the link's handling of replies from a misbehaving MCU.  A
// stand-in MCU serves the I2C device node's Unix-socket contract in this
// process and answers every block read with whatever the input holds: any
// status, any byte count (also more or fewer bytes than were asked for),
// any bytes; writes and the slave address are answered as done.  The
// program's commands then run on those replies.  Besides the sanitizers'
// checks: no command leaves the bus lock held, and no reply gets more
// bytes into a caller's buffer than it holds.
//
// Input: a byte naming the command, then the stand-in's answers to the
// command's reads (status byte, count byte, the bytes); repeated while the
// input lasts.  Reads past the input's end fail with EIO.

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "link/commands.h"
#include "link/memory.h"
#include "link/memory_map.h"
#include "link/platform/platform.h"
#include "link/testing/test_variants.h"
#include "link/transaction.h"
#include "link/variant.h"
#include "testing/files.h"
#include "testing/fuzzing.h"

namespace {

std::string g_root;
int g_listener = -1;

// The answers of the current input, read by the stand-in's thread while
// the fuzzing thread waits in a transfer.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
std::span<const uint8_t> g_answers;

uint8_t NextAnswerByte(bool& exhausted) {
  pthread_mutex_lock(&g_lock);
  uint8_t byte = 0;
  exhausted = g_answers.empty();
  if (!exhausted) {
    byte = g_answers[0];
    g_answers = g_answers.subspan(1);
  }
  pthread_mutex_unlock(&g_lock);
  return byte;
}

bool ReadAll(int fd, uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The stand-in MCU: one connection at a time, one response per request.
void* ServeStandIn(void*) {
  for (;;) {
    const int fd = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::array<uint8_t, 4 + 255> request{};
    while (ReadAll(fd, request.data(), 4)) {
      if (request[0] == 'W' && !ReadAll(fd, request.data() + 4, request[2])) break;
      std::array<uint8_t, 2 + 255> response{};
      size_t size = 2;
      if (request[0] == 'R') {
        bool exhausted = false;
        response[0] = NextAnswerByte(exhausted);
        response[1] = NextAnswerByte(exhausted);
        for (size_t k = 0; k < response[1]; ++k) response[2 + k] = NextAnswerByte(exhausted);
        if (exhausted) response = {EIO, 0};
        size = 2 + response[1];
      }
      if (::send(fd, response.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) break;
    }
    ::close(fd);
  }
  return nullptr;
}

void MakeFile(const std::string& relative, const char* content) {
  const int fd = ::open((g_root + "/" + relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, content, std::strlen(content)) < 0) std::abort();
  ::close(fd);
}

void RunCommand(uint8_t which) {
  std::array<uint8_t, 256> dest{};
  switch (which % 9) {
    case 0:
      ReadMem(0, 0xA0, 8, 0x00C0, std::span(dest).first(8));
      break;
    case 1:
      ReadKeyMemory(kKeyBaseStart, std::span(dest).first(kKeyBlockSize));
      break;
    case 2:
      WriteKeyMemory(kKeyBaseStart, std::span(dest).first(kKeyRecordSize));
      break;
    case 3:
      GetCtrlParams();
      break;
    case 4: {
      std::array<uint8_t, kExternalBufferSize> card{};
      const int count = GetExternal(card, 0);
      if (count > static_cast<int>(card.size())) std::abort();
      break;
    }
    case 5:
      OpenDoor(1);
      break;
    case 6: {
      uint8_t answer = 0;
      SetMode(3, &answer);
      break;
    }
    case 7:
      ReadIdentity(std::span(dest).first(15));
      break;
    default: {
      std::array<uint8_t, kClockBlockSize> clock{};
      ReadClockBlock(clock);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  g_root = MakeTempDir();
  fuzzing::RemoveAtExit(g_root);
  for (const char* dir : {"/dev", "/sys", "/sys/class", "/sys/class/gpio",
                          "/sys/class/gpio/gpio14", "/var", "/var/run"}) {
    ::mkdir((g_root + dir).c_str(), 0755);
  }
  MakeFile("dev/kmsg", "");
  MakeFile("sys/class/gpio/export", "");
  MakeFile("sys/class/gpio/gpio14/direction", "in");
  MakeFile("sys/class/gpio/gpio14/value", "1");  // always ready: replies come at once
  ::setenv("TQ8_ROOT", g_root.c_str(), 1);
  static const std::string lock = "/tq8-fuzz-" + std::to_string(::getpid());
  ::setenv("TQ8_BUSLOCK", lock.c_str(), 1);
  ::shm_unlink(lock.c_str());
  std::atexit([] { ::shm_unlink(lock.c_str()); });

  g_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s/dev/i2c-0", g_root.c_str());
  if (g_listener < 0 ||
      ::bind(g_listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(g_listener, 4) != 0) {
    std::abort();
  }
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ServeStandIn, nullptr) != 0) std::abort();
  pthread_detach(thread);

  LinkStart(testing_variants::kLogging);
  if (!BusLockOpen()) std::abort();
  SetupReadyLine();
  if (OpenLink() != LinkOpen::kReady) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  pthread_mutex_lock(&g_lock);
  g_answers = std::span(data + 1, size - 1);
  pthread_mutex_unlock(&g_lock);
  SetLinkSequenceValue(0);  // the same input gives the same echoes every time
  uint8_t which = data[0];
  for (int round = 0; round < 8; ++round) {
    RunCommand(which);
    if (BusLockHeldHere()) std::abort();
    bool exhausted = false;
    which = NextAnswerByte(exhausted);
    if (exhausted) break;
  }
  pthread_mutex_lock(&g_lock);
  g_answers = {};
  pthread_mutex_unlock(&g_lock);
  fuzzing::TruncateBelow(g_root, "dev/kmsg");
  return 0;
}
