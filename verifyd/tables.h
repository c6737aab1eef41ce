// verifyd's tables: the link variant, the discovery profile and the version.
#pragma once

#include "discovery/discovery.h"
#include "link/variant.h"

// This software's version as the online daemon reports it.
inline constexpr const char* kVerifyVersion = "1.0.168";

extern const LinkVariant kVerifyLink;
extern const DiscoveryProfile kVerifyDiscovery;
