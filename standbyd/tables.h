// standbyd's tables: the link variant and the discovery profile.
#pragma once

#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/variant.h"

extern const LinkVariant kStandbyLink;

// This software's version as the offline daemon reports it.
inline constexpr const char* kStandbyVersion = "1.0.166";

extern const DiscoveryProfile kStandbyDiscovery;

// What the daemon says about its argument.
inline constexpr DaemonTexts kStandbyTexts{
    .foreground = "Start Offline_Daemon as programm\n",
    .background = "Start Offline_Daemon as daemon\n",
    .usage_missing = "Usage ./standbyd -d for daemon or ./standbyd -i for interactive\n",
    .usage_wrong = "Usage ./standbyd -d for daemon or ./standbyd -i for interactive\n",
    .usage_sink = MessageSink::kStandardOutput,
    .exactly_one_argument = true,
};
