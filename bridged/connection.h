// The bridge's TCP side: one connection at a time, accepted from the PC
// (server mode) or opened towards it (client mode), its chunks fed to the
// line processor and the answers sent back as one block per chunk.
#pragma once

#include "bridged/line_protocol.h"
#include "bridged/settings.h"

// Serves the PC for the life of the daemon: client mode when "MODE"
// starts with 'C', else server mode.  Never returns.
[[noreturn]] void RunBridge(const BridgeSettings& settings);

// Listens on "LOCAL_PORT", serves one accepted connection at a time and
// listens again.  Never returns.
[[noreturn]] void RunServer(const BridgeSettings& settings, LineProcessor& lines);

// Connects to "REMOTE_ADDR":"REMOTE_PORT", serves the connection, and
// connects again at once when it ends; a failed resolution or connect is
// tried again after 5 s.  Never returns.
[[noreturn]] void RunClient(const BridgeSettings& settings, LineProcessor& lines);
