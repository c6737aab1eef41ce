// The traffic file "/var/log/cldd.log": one line, rewritten after every
// exchange, with the bytes received and sent since the start.
//
//   2026-03-05 12:34:56;1.5 MiB;0.9 KiB
//
// The first field is the local time of the writing, so an installer sees
// at a glance whether the daemon still runs.
#pragma once

#include <cstddef>
#include <ctime>
#include <span>

inline constexpr const char* kTrafficFile = "/var/log/cldd.log";

// A byte total as the file shows it: "M.d MiB" from 1 MiB on, else "K.d KiB",
// every division truncating.
const char* FormatTrafficTotal(double total, std::span<char> out);

// The whole line (no line end) for the totals at `now`.
const char* FormatTrafficLine(double download, double upload, std::time_t now, std::span<char> out);

// Rewrites the file; a file that cannot be opened is skipped.
void WriteTrafficFile(double download, double upload);
