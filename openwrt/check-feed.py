#!/usr/bin/env python3
"""Checks that every dependency of this feed's packages resolves.

    check-feed.py [FEED_DIR [TABLE]]

FEED_DIR (default: the folder of this script) holds one package folder per
Makefile (FEED_DIR/*/Makefile).  Each DEPENDS entry of a package those
Makefiles build must name a package of the feed or one listed in TABLE
(default FEED_DIR/outside-packages.txt) with the feed and path it comes
from, and each Kconfig symbol (@SYMBOL, +@SYMBOL, SYMBOL:package) must be
listed in TABLE with the package whose Config.in defines it, a package the
depending package also depends on.  PACKAGE_name symbols of resolved
packages need no entry.

Prints one line per problem and exits 1; exits 0 when everything resolves,
2 on wrong usage.
"""

import re
import sys
from pathlib import Path

# The feeds of an OpenWrt buildroot; "base" is its own package/ tree.
KNOWN_FEEDS = {"base", "packages", "luci", "routing", "telephony", "video"}

PACKAGE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*\Z")
SYMBOL_NAME = re.compile(r"[A-Za-z0-9_]+\Z")


class Table:
    def __init__(self):
        self.packages = {}  # name -> (feed, path)
        self.symbols = {}   # name -> package


def read_table(path, problems):
    table = Table()
    symbol_lines = []
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = raw.split("#", 1)[0].split()
        where = f"{path.name}:{number}"
        if not line:
            continue
        if line[0] == "package" and len(line) == 4:
            name, feed, location = line[1:]
            if not PACKAGE_NAME.match(name):
                problems.append(f"{where}: '{name}' is no package name")
            elif name in table.packages:
                problems.append(f"{where}: package {name} is listed twice")
            elif feed not in KNOWN_FEEDS:
                problems.append(f"{where}: package {name}: unknown feed '{feed}' "
                                f"(known: {', '.join(sorted(KNOWN_FEEDS))})")
            else:
                table.packages[name] = (feed, location)
        elif line[0] == "symbol" and len(line) == 3:
            symbol_lines.append((where, line[1], line[2]))
        else:
            problems.append(f"{where}: not understood (package NAME FEED PATH, "
                            f"or symbol NAME PACKAGE): {raw.strip()}")
    for where, symbol, package in symbol_lines:
        if not SYMBOL_NAME.match(symbol):
            problems.append(f"{where}: '{symbol}' is no Kconfig symbol")
        elif symbol in table.symbols:
            problems.append(f"{where}: symbol {symbol} is listed twice")
        elif package not in table.packages:
            problems.append(f"{where}: symbol {symbol}: its package {package} "
                            f"is not listed as a package")
        else:
            table.symbols[symbol] = package
    return table


def read_makefile(path):
    """Returns ({package: [DEPENDS entries]}, [names BuildPackage builds])."""
    text = re.sub(r"\\\n", " ", path.read_text())
    defines = {}
    current = None
    for line in text.splitlines():
        start = re.match(r"\s*define\s+Package/([^/\s]+)\s*$", line)
        if start:
            current = start.group(1)
            defines.setdefault(current, [])
        elif re.match(r"\s*endef\b", line):
            current = None
        elif current is not None:
            depends = re.match(r"\s*DEPENDS\s*[:+]?=(.*)", line)
            if depends:
                defines[current] += depends.group(1).split()
    built = re.findall(r"\$\(call\s+BuildPackage,\s*([^)\s]+)\s*\)", text)
    return defines, built


def split_entry(entry):
    """Returns ([packages], [symbols]) an entry names, or None."""
    if any(c in entry for c in "()|&$"):
        return None
    entry = entry[1:] if entry.startswith("+") else entry
    if entry.startswith("@"):
        symbol = entry[1:].lstrip("!")
        return ([], [symbol]) if SYMBOL_NAME.match(symbol) else None
    if ":" in entry:
        condition, rest = entry.split(":", 1)
        condition = condition.lstrip("!")
        inner = split_entry(rest)
        if not SYMBOL_NAME.match(condition) or inner is None:
            return None
        return inner[0], [condition] + inner[1]
    return ([entry], []) if PACKAGE_NAME.match(entry) else None


def main(argv):
    if len(argv) > 3 or (len(argv) > 1 and argv[1] in ("-h", "--help")):
        print("usage: check-feed.py [FEED_DIR [TABLE]]", file=sys.stderr)
        return 2
    feed = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent
    table_path = Path(argv[2]) if len(argv) > 2 else feed / "outside-packages.txt"
    if not feed.is_dir() or not table_path.is_file():
        print(f"usage: check-feed.py [FEED_DIR [TABLE]]: no folder {feed} "
              f"or no table {table_path}", file=sys.stderr)
        return 2

    problems = []
    table = read_table(table_path, problems)
    makefiles = sorted(feed.glob("*/Makefile"))
    if not makefiles:
        problems.append(f"{feed}: no package Makefile (*/Makefile)")

    # The feed's own packages first: a dependency may name any of them.
    packages = {}  # name -> (makefile, DEPENDS entries)
    for makefile in makefiles:
        where = makefile.relative_to(feed)
        defines, built = read_makefile(makefile)
        if not built:
            problems.append(f"{where}: builds no package (no $(call BuildPackage,NAME))")
        for name in built:
            if name not in defines:
                problems.append(f"{where}: builds {name} without define Package/{name}")
            elif name in packages:
                problems.append(f"{where}: package {name} is also built by "
                                f"{packages[name][0]}")
            elif name in table.packages:
                problems.append(f"{where}: package {name} is also listed in "
                                f"{table_path.name} as an outside package")
            else:
                packages[name] = (where, defines[name])

    resolved = 0
    for name, (where, entries) in packages.items():
        named = []
        selected = []
        for entry in entries:
            parts = split_entry(entry)
            if parts is None:
                problems.append(f"{where}: {name}: dependency '{entry}' is not "
                                f"understood by this check")
                continue
            for package in parts[0]:
                if package in packages or package in table.packages:
                    named.append(package)
                    resolved += 1
                else:
                    problems.append(f"{where}: {name}: dependency '{entry}': package "
                                    f"{package} is neither in this feed nor in "
                                    f"{table_path.name}")
            selected += [(entry, symbol) for symbol in parts[1]]
        for entry, symbol in selected:
            owner = table.symbols.get(symbol)
            if owner is None and symbol.startswith("PACKAGE_"):
                owner = symbol[len("PACKAGE_"):]
                if owner in packages or owner in table.packages:
                    resolved += 1
                    continue
            if owner is None:
                problems.append(f"{where}: {name}: dependency '{entry}': Kconfig "
                                f"symbol {symbol} is not in {table_path.name}")
            elif owner != name and owner not in named:
                problems.append(f"{where}: {name}: dependency '{entry}': {symbol} "
                                f"belongs to {owner}, which {name} does not depend on")
            else:
                resolved += 1

    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"feed {feed}: {len(packages)} packages, {resolved} dependencies resolved")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
