"""python3 -m kovra62386: the names of the server's interfaces, one a line."""

import sys

from . import Kovra62386Error, Session


def main():
    try:
        with Session() as session:
            for name in session.interfaces():
                print(name)
    except (Kovra62386Error, OSError) as error:
        print("kovra62386: %s" % error, file=sys.stderr)
        return 1
    return 0


sys.exit(main())
