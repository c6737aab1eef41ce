#!/usr/bin/env python3
"""Checks that includes flow one way through the code base:

    programs -> daemon -> link -> platform
    programs -> net, discovery, minini -> platform

- link/platform/ (the platform layer) includes only itself;
- link/ (the MCU's protocol) includes itself and the platform layer;
- net/, discovery/ and minini/ include themselves and the platform layer,
  never the MCU's protocol;
- daemon/ includes itself, link/ and the platform layer;
- a program folder (cloudd/, verifyd/, bridged/, standbyd/, tools/NAME/)
  includes itself and the libraries, never another program;
- the emulator (emulator/) and the test helpers (testing/, any .../testing/
  folder) are included only by tests: files named *_test.cc or *_bench.cc,
  the helpers themselves, and systest/.

Prints each include that breaks the rule and exits 1 when there is one.
Run from anywhere: python3 scripts/check-layers.py [SOURCE_DIR]
"""

import os
import re
import sys

LIBRARIES = {"daemon", "net", "discovery", "minini"}
# The libraries that stand on the platform layer alone.
PLATFORM_ONLY = {"net", "discovery", "minini"}
PROGRAMS = {"cloudd", "verifyd", "bridged", "standbyd", "tools"}
TEST_ONLY = {"emulator", "testing"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def component(path):
    """The layer a repository path belongs to: 'platform' (link/platform/),
    'link', 'daemon', ..., 'tools/NAME' for a tool, or the first folder
    otherwise."""
    parts = path.split("/")
    if parts[0] == "link" and len(parts) > 2 and parts[1] == "platform":
        return "platform"
    if parts[0] == "tools" and len(parts) > 2:
        return "tools/" + parts[1]
    return parts[0]


def is_test(path):
    parts = path.split("/")
    return (path.endswith(("_test.cc", "_bench.cc", "_fuzz.cc")) or "testing" in parts[:-1] or parts[0] in TEST_ONLY
            or parts[0] == "systest")


def allowed(source, target):
    """True when the file `source` may include the header `target`."""
    if is_test(source):
        return True
    src, dst = component(source), component(target)
    if dst in TEST_ONLY or "testing" in target.split("/")[:-1]:
        return False
    if src == "platform":
        return dst == "platform"
    if src == "link":
        return dst in ("link", "platform")
    if src in PLATFORM_ONLY:
        return dst in (src, "platform")
    if src in LIBRARIES:
        return dst in (src, "link", "platform")
    if src in PROGRAMS or src.startswith("tools/"):
        return dst == src or dst in LIBRARIES or dst in ("link", "platform")
    return True


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    broken = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
        for name in files:
            if not name.endswith((".cc", ".h")):
                continue
            path = os.path.relpath(os.path.join(folder, name), root)
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if "/" in target and not allowed(path, target):
                    broken.append("%s includes %s" % (path, target))
    for line in broken:
        print(line)
    print("layering: %d include(s) break the rule" % len(broken) if broken
          else "layering: every include follows the rule")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
