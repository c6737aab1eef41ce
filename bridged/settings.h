// The bridge's settings from CONFIG.CFG, read once at start, and the rule
// for which PCs may connect in server mode.
#pragma once

#include <netinet/in.h>

#include <array>

struct BridgeSettings {
  long serial = 0;
  std::array<char, 256> auth_key{};
  std::array<char, 16> mode{};
  long local_port = 0;
  std::array<char, 256> allowed_ip{};
  long remote_port = 0;
  std::array<char, 256> remote_addr{};
};

BridgeSettings ReadBridgeSettings();

// Client mode when "MODE" starts with an upper-case 'C'; server mode else.
bool IsClientMode(const BridgeSettings& settings);

// Which peers a server accepts, from "ALLOWED_IP": "255.255.255.255" (the
// default), "0.0.0.0" and an empty value let every address in; a dotted
// IPv4 address lets only that address in.  Any other text names no address
// that could connect, so it lets none in rather than every one: a typing
// error must not open the bridge to the whole network.
struct PeerFilter {
  enum class Kind : unsigned char { kAny, kOne, kNone } kind = Kind::kAny;
  in_addr address{};
};

PeerFilter ParsePeerFilter(const char* allowed_ip);
bool PeerAllowed(const PeerFilter& filter, in_addr peer);
