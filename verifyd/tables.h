// verifyd's tables: the link variant, the discovery profile and the version.
#pragma once

#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/variant.h"
#include "minini/config_keys.h"

// verifyd's settings in CONFIG.CFG.
// clang-format off
inline constexpr ConfigKey kServerAddr {"ONLINE", "SERVER_ADDR", ConfigKind::kText, "255.255.255.255", 0, 256};
inline constexpr ConfigKey kServerPort {"ONLINE", "SERVER_PORT", ConfigKind::kInteger, nullptr, 25000, 0};
inline constexpr ConfigKey kAuthStr    {"ONLINE", "AUTH_STR",    ConfigKind::kText, "", 0, 256};
// clang-format on

// This software's version as the online daemon reports it.
inline constexpr const char* kVerifyVersion = "1.0.168";

extern const LinkVariant kVerifyLink;
extern const DiscoveryProfile kVerifyDiscovery;

// What the daemon says about its argument.
inline constexpr DaemonTexts kVerifyTexts{
    .foreground = "Start Online_Daemon as programm\n",
    .background = "Start Online_Daemon as daemon\n",
    .usage_missing = "Usage ./verifyd -d  for daemon or ./verifyd -i for interactive\n",
    .usage_wrong = "Usage ./verifyd -d for daemon or ./verifyd -i for interactive\n",
    .usage_sink = MessageSink::kKernelLog,
    .exactly_one_argument = false,
};
