#!/usr/bin/env python3
"""Fails when an include points up or sideways between the project's parts.

Usage: check_include_layers.py SOURCE_DIR

Every part may include its own files, the parts listed for it below and the
public header (kovra62386/...). Includes are written from the project root
("client/session/communication.h"), so each names the part it reaches. The
table is the one in the README's Layout section; change both together.
"""
import pathlib
import re
import sys

LIBRARY = {
    "client/api": {"client/transceiver", "client/session", "client/transport",
                   "client/launcher", "protocol", "platform"},
    "client/transceiver": {"client/session", "client/transport",
                           "client/launcher", "protocol", "platform"},
    "client/session": {"client/transport", "client/launcher", "protocol",
                       "platform"},
    "client/transport": {"client/launcher", "protocol", "platform"},
    "client/launcher": {"platform"},
    "protocol": set(),
    "platform": set(),
}

MAY_INCLUDE = {
    **LIBRARY,
    # The public header and the C++ wrapper stand alone.
    "include": set(),
    # Knowledge of the bus: no sockets, no simulation, no library.
    "dali": set(),
    "simulator": {"dali"},
    # The server shares the wire protocol and the platform layer with the
    # library, never the library's own parts.
    "server": {"simulator", "dali", "protocol", "platform"},
    # The CLI is an application: the public header, the wrapper and the
    # bus knowledge.
    "cli": {"dali"},
    "examples": set(),
}

# Single files a part may reach in a part it may not include as a whole.
MAY_INCLUDE_FILES = {
    # The CLI's `sim` command speaks the server's control channel.
    "cli": {"protocol/control_socket.h"},
}

# Parts that must stay free of sockets and threads of their own.
NO_SOCKETS = {"dali", "simulator"}
SOCKET_HEADER = re.compile(r"^(boost/asio|sys/socket\.h|winsock2?\.h|ws2tcpip\.h)")

# Above everything: none of the parts may reach them.
ABOVE = {"tests", "bench", "fuzz", "bindings"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".c"}


def part_of(path):
    """The longest part name that `path` (root-relative) lies in."""
    best = None
    for part in list(MAY_INCLUDE) + sorted(ABOVE):
        if path == part or path.startswith(part + "/"):
            if best is None or len(part) > len(best):
                best = part
    return best


def check_file(root, part, path):
    faults = []
    here = path.relative_to(root).as_posix()
    lines = path.read_text(encoding="utf-8").splitlines()
    for number, line in enumerate(lines, 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        quote, target = match.groups()
        where = f"{here}:{number}: "
        if quote == "<":
            if part in NO_SOCKETS and SOCKET_HEADER.match(target):
                faults.append(where + f"{part}/ may not use sockets: {line.strip()}")
            continue
        if target.startswith("kovra62386/"):
            continue
        reached = part_of(target)
        if reached is None:
            faults.append(where + "include from the project root "
                          f"(part/file.h): {line.strip()}")
        elif (reached != part and reached not in MAY_INCLUDE[part]
              and target not in MAY_INCLUDE_FILES.get(part, set())):
            faults.append(where + f"{part}/ may not include {reached}/: "
                          f"{line.strip()}")
    return faults


def main():
    root = pathlib.Path(sys.argv[1])
    faults = []
    for part in MAY_INCLUDE:
        for path in sorted((root / part).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES:
                continue
            # A file in client/ lies in its sub-part, never in client/ itself.
            if part_of(path.relative_to(root).as_posix()) != part:
                continue
            faults += check_file(root, part, path)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
