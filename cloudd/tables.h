// cloudd's tables: the link variant, the discovery profile and the version.
#pragma once

#include "discovery/discovery.h"
#include "link/variant.h"

// This software's version as the cloud daemon reports it.
inline constexpr const char* kCloudVersion = "1.0.166";

extern const LinkVariant kCloudLink;
extern const DiscoveryProfile kCloudDiscovery;
