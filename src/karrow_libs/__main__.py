"""``python -m karrow_libs``: the same command as ``karrow-fe``."""

import sys

try:
    from karrow_libs.cli import main
except KeyboardInterrupt:  # Ctrl-C before the command started: the same one line as later
    sys.stderr.write("karrow-fe: error: interrupted\n")
    sys.exit(130)

if __name__ == "__main__":
    sys.exit(main())
