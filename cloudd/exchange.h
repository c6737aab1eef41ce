// The exchange loop: one HTTP POST of the message batch per pass, the reply
// to the operations dispatcher, the wait phase until the next pass.  Also
// the HTTP settings of an exchange, the redirect watcher, failure counting
// and the loop's start (discovery, key image, libcurl).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "cloudd/state.h"

// Failed exchanges in a row that send the controller back to inactive.
inline constexpr unsigned kFailuresToInactive = 10;
// Total time of one exchange.
inline constexpr long kExchangeTimeoutSeconds = 5;
// The CA file offered for TLS (peer and host are not verified).
inline constexpr const char* kServerCaFile = "/etc/server.crt";

// The header lines of every request, in this order.  "Expect:" with no
// value keeps libcurl from waiting for a "100 Continue".
inline constexpr std::array<const char*, 4> kRequestHeaders{
    "User-Agent: TQ8 HUB", "Conection: close", "Content-type: application/json", "Expect:"};

// Loop entry: discovery thread, traffic totals, controller parameters, key
// image, first batch head, libcurl.
void ExchangeStart(CloudState& state);

// One pass: messages, POST, reply, failure counting, traffic file, wait phase.
void ExchangePass(CloudState& state);

[[noreturn]] void ExchangeLoop(CloudState& state);

// Counts one exchange's outcome: a failure adds one, a success resets the
// count; 10 failures in a row, or one while online, return the controller to
// inactive with the interval back at the period.
void CountExchange(CloudState& state, bool succeeded);

// What a "Location:" header does to the server address and redirect path.
// Returns true when it changed them.
struct RedirectTarget {
  std::array<char, kServerTextSize> address{};
  std::array<char, kServerTextSize> path{};
};
bool WatchHeaderLine(std::string_view line, RedirectTarget& target);
