#!/usr/bin/env python3
"""Fails when a library header include points up or sideways.

Usage: check_include_layers.py SOURCE_DIR

Each library folder may include its own files, the folders listed for it
below and the public header (kovra62386/...). The table is the one in the
README's Layout section; change both together.
"""
import pathlib
import re
import sys

MAY_INCLUDE = {
    "api": {"transceiver", "session", "transport", "server", "frame", "platform"},
    "transceiver": {"session", "transport", "server", "frame", "platform"},
    "session": {"transport", "server", "frame", "platform"},
    "transport": {"server", "frame", "platform"},
    "server": {"frame", "platform"},
    "frame": set(),
    "platform": set(),
    # The public header stands alone.
    "include": set(),
}

# Folders above the library: none of its layers may reach them.
ABOVE = {"tools", "tests", "bench", "fuzz"}

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^/">]+)/')


def main():
    root = pathlib.Path(sys.argv[1])
    faults = []
    for layer, allowed in MAY_INCLUDE.items():
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in {".h", ".hpp", ".cpp", ".c"}:
                continue
            lines = path.read_text(encoding="utf-8").splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                known = target in MAY_INCLUDE or target in ABOVE
                if known and target != layer and target not in allowed:
                    faults.append(f"{path.relative_to(root)}:{number}: {layer}/ "
                                  f"may not include {target}/: {line.strip()}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
