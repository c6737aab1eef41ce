// extcard's tables.

#include "tools/extcard/tables.h"

const LinkVariant kExtcardLink{
    .program = "extcard",
    .platform = kToolPlatform,
};
