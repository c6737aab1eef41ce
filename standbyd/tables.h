// standbyd's tables: the link variant and the discovery profile.
#pragma once

#include "discovery/discovery.h"
#include "link/variant.h"

extern const LinkVariant kStandbyLink;

// This software's version as the offline daemon reports it.
inline constexpr const char* kStandbyVersion = "1.0.166";

extern const DiscoveryProfile kStandbyDiscovery;
