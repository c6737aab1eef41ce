// bridged's tables: the link variant and the discovery profile.
#pragma once

#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/variant.h"
#include "minini/config_keys.h"

// bridged's own settings in CONFIG.CFG (with kSerialNumber and kAuthKey).
// clang-format off
inline constexpr ConfigKey kMode       {"COMMON",     "MODE",        ConfigKind::kText, "SERVER", 0, 16};
inline constexpr ConfigKey kLocalPort  {"TCP_SERVER", "LOCAL_PORT",  ConfigKind::kInteger, nullptr, 1000, 0};
inline constexpr ConfigKey kAllowedIp  {"TCP_SERVER", "ALLOWED_IP",  ConfigKind::kText, "255.255.255.255", 0, 256};
inline constexpr ConfigKey kRemotePort {"TCP_CLIENT", "REMOTE_PORT", ConfigKind::kInteger, nullptr, 25000, 0};
inline constexpr ConfigKey kRemoteAddr {"TCP_CLIENT", "REMOTE_ADDR", ConfigKind::kText, "255.255.255.255", 0, 256};
// clang-format on

extern const LinkVariant kBridgeLink;

// This software's version as the bridge reports it.
inline constexpr const char* kBridgeVersion = "1.0.166";

extern const DiscoveryProfile kBridgeDiscovery;

// What the daemon says about its argument.
inline constexpr DaemonTexts kBridgeTexts{
    .foreground = "Start Advanced_Daemon as programm\n",
    .background = "Start Advanced_Daemon as daemon\n",
    .usage_missing = "Usage ./bridged -d for daemon or ./bridged -i for interactive\n",
    .usage_wrong = "Usage ./bridged -d for daemon or ./bridged -i for interactive\n",
    .usage_sink = MessageSink::kStandardOutput,
    .exactly_one_argument = true,
};
