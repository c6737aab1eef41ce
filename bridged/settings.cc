#include "bridged/settings.h"

#include <arpa/inet.h>

#include <cstring>

#include "bridged/tables.h"
#include "link/platform/platform.h"
#include "minini/config_keys.h"

BridgeSettings ReadBridgeSettings() {
  BridgeSettings settings;
  settings.serial = ConfigReadLong(kSerialNumber);
  ConfigReadText(kAuthKey, settings.auth_key);
  ConfigReadText(kMode, settings.mode);
  settings.local_port = ConfigReadLong(kLocalPort);
  // Port 0 would let the kernel pick a port nobody knows, and a number out
  // of range binds nothing: either falls back to the default port, once.
  if (settings.local_port < 1 || settings.local_port > 65535) {
    LogMessage("LOCAL_PORT %ld is no port: serving port %ld\n", settings.local_port,
               kLocalPort.number_default);
    settings.local_port = kLocalPort.number_default;
  }
  ConfigReadText(kAllowedIp, settings.allowed_ip);
  settings.remote_port = ConfigReadLong(kRemotePort);
  ConfigReadText(kRemoteAddr, settings.remote_addr);
  return settings;
}

bool IsClientMode(const BridgeSettings& settings) { return settings.mode[0] == 'C'; }

PeerFilter ParsePeerFilter(const char* allowed_ip) {
  PeerFilter filter;
  if (allowed_ip[0] == '\0') return filter;
  if (::inet_pton(AF_INET, allowed_ip, &filter.address) != 1) {
    filter.kind = PeerFilter::Kind::kNone;
    return filter;
  }
  const uint32_t address = ntohl(filter.address.s_addr);
  if (address != INADDR_BROADCAST && address != INADDR_ANY) filter.kind = PeerFilter::Kind::kOne;
  return filter;
}

bool PeerAllowed(const PeerFilter& filter, in_addr peer) {
  switch (filter.kind) {
    case PeerFilter::Kind::kAny:
      return true;
    case PeerFilter::Kind::kOne:
      return peer.s_addr == filter.address.s_addr;
    case PeerFilter::Kind::kNone:
      return false;
  }
  return false;
}
