#include "verifyd/external_cmd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "link/commands.h"
#include "link/platform/platform.h"
#include "net/json_reply.h"
#include "verifyd/requests.h"
#include "verifyd/settings.h"

namespace {

constexpr const char* kOpenDoorName = "open_door";
constexpr const char* kCheckStatusName = "check_status";

// A client that connects and then sends nothing, or stops reading, would
// otherwise keep the channel closed to everyone else for good.
constexpr time_t kClientTimeoutSeconds = 5;
constexpr unsigned kRetryPauseSeconds = 1;

// A JSON number as an int, the fraction dropped; missing, not a number, or
// beyond an int reads as 0.
int NumberMember(json_object* object, const char* name) {
  double value = 0;
  if (!JsonDouble(object, name, value) || !std::isfinite(value) || value <= -2147483649.0 ||
      value >= 2147483648.0) {
    return 0;
  }
  return static_cast<int>(value);
}

void SetOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof(value));
}

// A listening socket on 127.0.0.1:9999, or -1.
int Listen() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kExternalCmdPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    LogMessage("error external bind");
    ::close(fd);
    return -1;
  }
  if (::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ExternalRequest ParseExternalRequest(std::span<const char> request) {
  ExternalRequest parsed;
  JsonDocument document(std::string_view(request.data(), request.size()));
  json_object* object = document.object();
  json_object* operation = JsonMember(object, "operation");
  if (!json_object_is_type(operation, json_type_string)) return parsed;
  parsed.named = true;
  // Compared as a whole: a name with a zero byte inside names nothing.
  const std::string_view name(json_object_get_string(operation),
                              static_cast<size_t>(json_object_get_string_len(operation)));
  std::snprintf(parsed.name.data(), parsed.name.size(), "%s", name.data());
  if (name == kOpenDoorName) {
    parsed.operation = ExternalOperation::kOpenDoor;
    parsed.direction = NumberMember(object, "direction");
  } else if (name == kCheckStatusName) {
    parsed.operation = ExternalOperation::kCheckStatus;
  } else {
    return parsed;
  }
  parsed.request_id = NumberMember(object, "request_id");
  return parsed;
}

size_t BuildExternalReply(const ExternalRequest& request, long serial, const char* controller_ip,
                          const char* date, int success, std::span<char> out) {
  int n = -1;
  switch (request.operation) {
    case ExternalOperation::kOpenDoor:
      n = std::snprintf(out.data(), out.size(),
                        "{\"request_id\":%d,\"operation\":\"%s\",\"controller_type\":\"TQ8HUB\","
                        "\"controller_sn\":%ld,\"controller_ip\":\"%s\",\"date\":\"%s\","
                        "\"success\":%d}",
                        request.request_id, kOpenDoorName, serial, controller_ip, date, success);
      break;
    case ExternalOperation::kCheckStatus:
      n = std::snprintf(out.data(), out.size(),
                        "{\"request_id\":%d,\"operation\":\"%s\",\"controller_type\":\"TQ8HUB\","
                        "\"controller_sn\":%ld,\"controller_ip\":\"%s\",\"date\":\"%s\","
                        "\"status\":%s}",
                        request.request_id, kCheckStatusName, serial, controller_ip, date,
                        "\"Active\"");
      break;
    case ExternalOperation::kNone:
      break;
  }
  if (n < 0 || static_cast<size_t>(n) >= out.size()) return 0;
  return static_cast<size_t>(n);
}

void ServeExternalConnection(int fd) {
  const timeval limit{.tv_sec = kClientTimeoutSeconds, .tv_usec = 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));

  // One more byte than a request may take, so the text is always ended.
  char request[kExternalRequestSize + 1] = {};
  ssize_t count;
  do {
    count = ::read(fd, request, kExternalRequestSize);
  } while (count < 0 && errno == EINTR);
  LogMessage("Client send to Server %d\n", static_cast<int>(count));
  if (count > 0) {
    LogMessage("External send: %s\n", request);
    ExternalRequest parsed = ParseExternalRequest({request, static_cast<size_t>(count)});
    char reply[kExternalReplySize];
    size_t reply_size = 0;
    if (parsed.named) LogMessage("operation: %s\n", parsed.name.data());
    if (parsed.operation != ExternalOperation::kNone) {
      DateText date{};
      FormatLocalDate(std::time(nullptr), date);
      int success = 0;
      if (parsed.operation == ExternalOperation::kOpenDoor) {
        LogMessage("dir:%d", parsed.direction);
        // The door opens in direction 0 or 1; any other number is refused
        // here rather than handed to the MCU as something else.
        if (parsed.direction == 0 || parsed.direction == 1) {
          success = Done(OpenDoor(static_cast<uint8_t>(parsed.direction))) ? 1 : 0;
        }
      }
      reply_size = BuildExternalReply(parsed, Settings().serial, Settings().controller_ip.data(),
                                      date.data(), success, reply);
    }
    const char* out = reply_size > 0 ? reply : request;
    const size_t out_size = reply_size > 0 ? reply_size : static_cast<size_t>(count);
    if (::send(fd, out, out_size, MSG_NOSIGNAL) != static_cast<ssize_t>(out_size)) {
      LogMessage("error send to \n");
    }
  }
  LogMessage("External disconnected\n");
  ::close(fd);
}

void* ThreadExternalCmd(void*) {
  for (;;) {
    const int listener = Listen();
    if (listener < 0) {
      ::sleep(kRetryPauseSeconds);
      continue;
    }
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // One client at a time: nobody else can connect until this one is served.
    ::close(listener);
    if (fd < 0) {
      ::sleep(kRetryPauseSeconds);
      continue;
    }
    LogMessage("External connected\n");
    ServeExternalConnection(fd);
  }
}
