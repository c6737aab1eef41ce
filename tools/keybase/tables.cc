// keybase's tables.

#include "tools/keybase/tables.h"

const LinkVariant kKeybaseLink{
    .program = "keybase",
    .platform = kToolPlatform,
    .sink = MessageSink::kStandardOutput,
    .read_mem = {.write_failed = kLinkWriteFailed,
                 .timed_out = kLinkTimedOut,
                 .head_read_failed = kLinkReadFailed},
};
