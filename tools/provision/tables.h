// provision's tables: how the link reports its transactions.
#pragma once

#include "link/variant.h"
#include "minini/config_keys.h"

// provision's own setting in CONFIG.CFG (with kSerialNumber and kAuthKey);
// its default is derived from the controller at run time.
inline constexpr ConfigKey kApiKey{"COMMON", "API_KEY", ConfigKind::kText, "", 0, 256};

extern const LinkVariant kProvisionLink;
