// fwupdate's tables: how the link reports its transactions.
#pragma once

#include "link/variant.h"

extern const LinkVariant kFwupdateLink;
