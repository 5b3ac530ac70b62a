#!/usr/bin/env python3
"""Which control gear answer on an interface: asks every short address
whether gear is present, and those that are for their actual level.

    python3 examples/python/scan.py [INTERFACE]
"""

import sys

import kovra62386 as k


def main():
    with k.Session() as session:
        names = session.interfaces()
        name = sys.argv[1] if len(sys.argv) > 1 else names[0]
        print("scanning %s (the server lists %s)" % (name, ", ".join(names)))
        found = 0
        with session.open(name) as bus:
            for address in range(64):
                present = bus.send(k.short(address), k.gear.QUERY_CONTROL_GEAR_PRESENT)
                if present.status is k.SendStatus.NO_ANSWER:
                    continue
                if present.status is not k.SendStatus.ANSWER:
                    print("%2d: %s" % (address, present.status.name.lower()))
                    continue
                level = bus.send(k.short(address), k.gear.QUERY_ACTUAL_LEVEL)
                print("%2d: level %s" % (address, level.answer))
                found += 1
        print("%d control gear" % found)
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())
