// fwupdate's tables.

#include "tools/fwupdate/tables.h"

// fwupdate speaks to the boot loader, not in frames; its GPIO messages go to
// the kernel log like the daemons'.
const LinkVariant kFwupdateLink{
    .program = "fwupdate",
    .platform = kDaemonPlatform,
    .sink = MessageSink::kStandardOutput,
};
