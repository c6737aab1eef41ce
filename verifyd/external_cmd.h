// ThreadExternalCmd: the command socket for other programs on the
// controller, TCP 127.0.0.1:9999.  One JSON request per connection, one
// connection at a time:
//
//   {"operation":"check_status","request_id":7}
//     -> {"request_id":7,"operation":"check_status",...,"status":"Active"}
//   {"operation":"open_door","request_id":8,"direction":1}
//     -> {"request_id":8,"operation":"open_door",...,"success":1}
//
// Anything else (not JSON, no "operation" string, another operation) comes
// back unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint16_t kExternalCmdPort = 9999;
inline constexpr size_t kExternalRequestSize = 1024;
inline constexpr size_t kExternalReplySize = 512;

// What a request asks for.
enum class ExternalOperation : uint8_t { kNone, kOpenDoor, kCheckStatus };

struct ExternalRequest {
  bool named = false;          // had an "operation" string (maybe another one)
  std::array<char, 64> name{};  // that string, cut to fit
  ExternalOperation operation = ExternalOperation::kNone;
  int request_id = 0;
  int direction = 0;
};

// Reads a request ("operation", "request_id", "direction").  kNone when it
// is not one JSON object with an "operation" string naming one of the two;
// `named` tells whether there was an "operation" string at all.
ExternalRequest ParseExternalRequest(std::span<const char> request);

// The reply to a request that names an operation (`success` is OpenDoor's
// result).  Returns its length, 0 when it does not fit.
size_t BuildExternalReply(const ExternalRequest& request, long serial, const char* controller_ip,
                          const char* date, int success, std::span<char> out);

// Serves one connection on `fd` (read, answer, close).
void ServeExternalConnection(int fd);

// pthread entry; never returns.
void* ThreadExternalCmd(void* unused);
// Its stack (StartDaemonThread): about twice the deepest use measured (17 KiB
// on a PC, 13 KiB on the controller), parsing a request and building the
// reply.
inline constexpr size_t kThreadExternalCmdStack = 40 * 1024;
