// The exchanges with the access server: "poweron", "check_access",
// "events" and the probe of ThreadCheckServer.  All of them go through one
// libcurl handle for the whole process, made on first use and kept, so that
// its connection stays open between exchanges.  An exchange holds the
// handle's lock from setting the options to reading the status, so the
// scan loop and the probe thread never use it at the same time.
//
// Every exchange is a POST to the configured address and port with the
// controller's client certificate; a reply body is gathered whole and
// parsed once, after the transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/memory_map.h"
#include "net/http_client.h"

// Announces the controller and takes the server's "date".  1 when the
// server answered with status 200, else 0.  Leaves the online state alone.
int SendPoweron();

// Asks for a decision on a card.  The reply's "grant_access" (0 when
// refused, failed, or while the server counts as offline).  A reply other
// than status 200 makes the server count as offline.
uint32_t CheckAccess(std::span<const uint8_t, kKeyCodeSize> card, uint8_t reader);

// Delivers whole event records.  Their number when the server confirmed
// them, else 0.  A reply other than status 200 makes the server count as
// offline.
size_t SendEvents(std::span<const uint8_t> records);

// One probe: an empty POST.  Status 200 brings the server online and sends
// "poweron"; anything else keeps it offline.  Does nothing when the handle
// cannot be made.
void ProbeServer();

// pthread entry: every 5 s, while the server counts as offline, a probe.
void* ThreadCheckServer(void* unused);
// Its stack (StartDaemonThread): a probe runs a whole HTTPS exchange, TLS
// handshake with the client certificate included; the deepest use measured
// was 34 KiB on a PC and 29 KiB on the controller (the same with RSA-4096
// keys as with P-256 ones).  More than twice that, for TLS paths the tests
// do not take.
inline constexpr size_t kThreadCheckServerStack = 80 * 1024;

// The handlers of the reply bodies, called after each exchange whatever its
// status (a body that did not fit counts as none).  Each logs the body and
// applies its "date" to both clocks.  The poweron reply only sets the clock;
// the others answer with the reply's "grant_access" and "success" numbers,
// 0 when the body holds none.
void HandlePoweronReply(ResponseBody& reply);
uint32_t HandleCheckAccessReply(ResponseBody& reply);
uint32_t HandleEventsReply(ResponseBody& reply);

// The server's number for a "grant_access" or "success" member: the
// fraction is dropped; a value no unsigned 32-bit number holds (negative,
// too large, not finite) counts as 0, which refuses the card or leaves the
// events unconfirmed.
uint32_t ReplyNumber(double value);
