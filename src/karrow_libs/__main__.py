"""``python -m karrow_libs``: the same command as ``karrow-fe``."""

import sys

from karrow_libs.cli import main

if __name__ == "__main__":
    sys.exit(main())
