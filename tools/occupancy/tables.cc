// occupancy's tables.

#include "tools/occupancy/tables.h"

const LinkVariant kOccupancyLink{
    .program = "occupancy",
    .platform = kToolPlatform,
};
