// Fuzz target: verifyd's command socket, one connection whose client sends
// any bytes (and then closes its side); an open_door request reaches the
// in-process emulated MCU.  Besides the sanitizers' checks: every request
// gets exactly one answer, within the reply or request buffer's size.
//
// Input: the bytes the client sends.

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "testing/fuzzing.h"
#include "verifyd/external_cmd.h"
#include "verifyd/settings.h"
#include "verifyd/tables.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(kVerifyLink);
  board.ReopenLink();
  VerifySettings settings;
  settings.serial = 42;
  InstallVerifySettings(settings);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  const int client = pair[0];
  // The daemon takes one read of up to its buffer; the rest stays unread.
  const size_t sent = size < kExternalRequestSize ? size : kExternalRequestSize;
  if (sent > 0 && ::send(client, data, sent, MSG_NOSIGNAL) != static_cast<ssize_t>(sent)) {
    std::abort();
  }
  ::shutdown(client, SHUT_WR);
  ServeExternalConnection(pair[1]);  // closes its end

  std::array<char, kExternalRequestSize + 1> answer{};
  size_t have = 0;
  for (;;) {
    const ssize_t n = ::recv(client, answer.data() + have, answer.size() - have, 0);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    if (have == answer.size()) break;
  }
  ::close(client);
  if (have > kExternalRequestSize) std::abort();
  if ((sent > 0) != (have > 0)) std::abort();
  EmulatedBoard& board = EmulatedBoard::Get();
  fuzzing::TruncateBelow(board.root(), "dev/kmsg");
  return 0;
}
