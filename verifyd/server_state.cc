#include "verifyd/server_state.h"

#include <atomic>

namespace {

std::atomic<int> g_server_online{0};

}  // namespace

bool ServerOnline() { return g_server_online.load() != 0; }

void SetServerOnline(bool online) { g_server_online.store(online ? 1 : 0); }
