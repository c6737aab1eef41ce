// The controller's IP address as the daemons report it: the IPv4 address of
// the interface that holds the default route.
#pragma once

#include <cstddef>
#include <span>

// Dotted IPv4 text and its terminator.
inline constexpr size_t kControllerIpSize = 16;

// Finds the default route's interface in "/proc/net/route" (read in pieces
// of at most 99 characters, each split at blanks and tabs: interface name,
// then destination; the first piece with destination "00000000" wins), then
// takes the IPv4 address of that interface from the machine's interface list
// (a later entry replaces an earlier one).  `ip` holds "0.0.0.0" when there
// is no default route, no such address, or a list that cannot be read.
//
// Prints "getnameinfo() failed: ..." on standard output for an address that
// cannot be converted, and the system error after "getifaddrs" on standard
// error when the interface list cannot be read.
//
// True when an address was found; false when `ip` holds "0.0.0.0".
bool FindControllerIp(std::span<char, kControllerIpSize> ip);
