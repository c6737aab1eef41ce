// keybase's tables.

#include "tools/keybase/tables.h"

const LinkVariant kKeybaseLink{
    .program = "keybase",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = kReadMemFirstSteps,
};
