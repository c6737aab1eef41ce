// The statistics file of the bridge's current connection,
// "/var/log/bridged.log": one line, rewritten after every received chunk,
// with the time since the connection began and the bytes received and sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

struct ConnectionStatistics {
  timespec start{};  // monotonic: a change of the system clock does not show
  uint64_t received = 0;
  uint64_t sent = 0;
};

// Starts counting a new connection.
ConnectionStatistics StartStatistics();

// "%02dh %02dm %02ds;<received>;<sent>", each size as "%d.%d MiB" from one
// MiB on, else "%d.%d KiB", the digit after the point being tenths of the
// next unit down, rounded down.  Cut to out.size() - 1 characters and
// terminated; returns its length.
size_t FormatStatistics(uint64_t seconds, uint64_t received, uint64_t sent, std::span<char> out);

// Rewrites the file; when it cannot be opened there are no statistics.
void RewriteStatistics(const ConnectionStatistics& statistics);
