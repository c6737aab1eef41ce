// cloudd's tables: the link variant, the discovery profile and the version.
#pragma once

#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/variant.h"
#include "minini/config_keys.h"

// cloudd's settings in CONFIG.CFG.
// clang-format off
inline constexpr ConfigKey kJsonServerAddr {"WEBJSON", "JSON_SERVER_ADDR", ConfigKind::kText, "cloud.tq8hub.example", 0, 256};
inline constexpr ConfigKey kJsonLogin      {"WEBJSON", "JSON_LOGIN",       ConfigKind::kText, "", 0, 64};
inline constexpr ConfigKey kJsonPassword   {"WEBJSON", "JSON_PASSWORD",    ConfigKind::kText, "", 0, 64};
inline constexpr ConfigKey kJsonPeriod     {"WEBJSON", "JSON_PERIOD",      ConfigKind::kInteger, nullptr, 10, 0};
// clang-format on

// This software's version as the cloud daemon reports it.
inline constexpr const char* kCloudVersion = "1.0.166";

extern const LinkVariant kCloudLink;
extern const DiscoveryProfile kCloudDiscovery;

// What the daemon says about its argument.
inline constexpr DaemonTexts kCloudTexts{
    .foreground = "Start WEBJSON_Daemon as programm\n",
    .background = "Start WEBJSON_Daemon as daemon\n",
    .usage_missing = "Usage ./cloudd -d for daemon or ./cloudd -i for interactive\n",
    .usage_wrong = "Usage ./cldd -d for daemon or ./cldd -i for interactive\n",
    .usage_sink = MessageSink::kKernelLog,
    .exactly_one_argument = false,
};
