// Fuzz target: verifyd's handlers of the access server's reply bodies
// (poweron, check_access, events), with any body a server may send; their
// "date" goes to the system clock and the in-process emulated MCU.
//
// Input: a selector byte (which handler; the body arrives whole or in
// pieces), then the body, cut into pieces as libcurl may hand it over.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "link/testing/emulated_board.h"
#include "link/variant.h"
#include "net/http_client.h"
#include "testing/fuzzing.h"
#include "verifyd/access_client.h"
#include "verifyd/tables.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::QuietStandardOutput();
  EmulatedBoard& board = EmulatedBoard::Get();
  LinkStart(kVerifyLink);
  board.ReopenLink();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t handler = input.ConsumeIntegral<uint8_t>() % 3;
  ResponseBody reply{.overflow_message = "Reply too long\n"};
  reply.Reset();
  while (input.remaining_bytes() > 0) {
    reply.Take(input.ConsumeRandomLengthString(kResponseBodySize + 16));
    if (reply.used > kResponseBodySize) std::abort();
  }
  switch (handler) {
    case 0:
      HandlePoweronReply(reply);
      break;
    case 1:
      HandleCheckAccessReply(reply);
      break;
    default:
      HandleEventsReply(reply);
      break;
  }
  EmulatedBoard& board = EmulatedBoard::Get();
  fuzzing::TruncateBelow(board.root(), "dev/kmsg");
  fuzzing::TruncateBelow(board.root(), "var/run/system-clock");
  return 0;
}
