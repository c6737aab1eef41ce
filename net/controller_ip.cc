#include "net/controller_ip.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link/platform/platform.h"
#include "link/platform/text_part.h"

namespace {

constexpr char kNoAddress[] = "0.0.0.0";
constexpr char kDefaultDestination[] = "00000000";

// The route table is read as a line reader with a 100-byte buffer would
// read it: pieces of at most 99 characters, each ending after a line feed or
// where the limit cuts a longer line.  The table's lines are padded with
// blanks beyond that length, so the tail of a line arrives as a piece of its
// own.
constexpr size_t kPieceLimit = 99;
using Piece = std::array<char, kPieceLimit + 1>;

struct PieceReader {
  int fd = -1;
  std::array<char, 512> buffer{};
  size_t next = 0;
  size_t end = 0;
};

// Fills `piece` (terminated); returns its length, 0 at the end of the file.
size_t NextPiece(PieceReader& reader, Piece& piece) {
  size_t length = 0;
  while (length < kPieceLimit) {
    if (reader.next == reader.end) {
      const ssize_t n = ::read(reader.fd, reader.buffer.data(), reader.buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      reader.next = 0;
      reader.end = static_cast<size_t>(n);
    }
    const char c = reader.buffer[reader.next++];
    piece[length++] = c;
    if (c == '\n') break;
  }
  piece[length] = '\0';
  return length;
}

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The field after `from` in text[0 .. size): skips separators, then takes
// everything up to the next one.  `from` moves past the field.
std::string_view NextField(std::string_view text, size_t& from) {
  while (from < text.size() && IsSeparator(text[from])) ++from;
  const size_t start = from;
  while (from < text.size() && !IsSeparator(text[from])) ++from;
  return TextPart(text, start, from - start);
}

// The interface of the first default route, copied into `name`.  False when
// the table cannot be opened or holds no default route.
bool DefaultRouteInterface(Piece& name) {
  PieceReader reader;
  reader.fd = PlatformOpen("/proc/net/route", O_RDONLY | O_CLOEXEC);
  if (reader.fd < 0) return false;
  bool found = false;
  Piece piece{};
  while (!found) {
    const size_t length = NextPiece(reader, piece);
    if (length == 0) break;
    const std::string_view text(piece.data(), length);
    size_t at = 0;
    const std::string_view name_field = NextField(text, at);
    const std::string_view destination = NextField(text, at);
    if (destination == kDefaultDestination) {
      // The interface field is part of a piece, so it always fits.
      name_field.copy(name.data(), name_field.size());
      name[name_field.size()] = '\0';
      found = true;
    }
  }
  ::close(reader.fd);
  return found;
}

// Copies a terminated text into `ip` when it fits; false otherwise.
bool Store(std::span<char, kControllerIpSize> ip, const char* text) {
  const size_t length = std::strlen(text);
  if (length >= ip.size()) return false;
  std::memcpy(ip.data(), text, length + 1);
  return true;
}

}  // namespace

bool FindControllerIp(std::span<char, kControllerIpSize> ip) {
  Store(ip, kNoAddress);
  Piece route_interface{};
  if (!DefaultRouteInterface(route_interface)) return false;

  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    std::perror("getifaddrs");
    return false;
  }
  bool found = false;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (entry->ifa_name == nullptr || std::strcmp(entry->ifa_name, route_interface.data()) != 0) {
      continue;
    }
    std::array<char, NI_MAXHOST> host{};
    const int result = ::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host.data(), host.size(),
                                     nullptr, 0, NI_NUMERICHOST);
    if (result != 0) {
      EmitMessage(MessageSink::kStandardOutput, "getnameinfo() failed: %s\n",
                  ::gai_strerror(result));
      continue;
    }
    if (Store(ip, host.data())) found = true;
  }
  ::freeifaddrs(list);
  return found;
}
