"""One-line messages of karrow-fe: errors, notes, warnings and short lists.

Imports nothing heavy, so that usage errors answer at once.
"""

import sys

from karrow_libs.table import DataError

__all__ = ["PROG", "UsageError", "DataError", "one_line", "shortlist", "fail", "Notes"]

PROG = "karrow-fe"


class UsageError(Exception):
    """A mistake in the command line: reported in one line, exit code 2."""


def one_line(text, limit=300):
    """``text`` (or an exception) squeezed onto one line of at most ``limit`` characters."""
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def shortlist(items, limit=8):
    """``a, b, c`` -- or the first ``limit`` items and how many there are in all."""
    items = [str(i) for i in items]
    if not items:
        return "none"
    if len(items) <= limit:
        return ", ".join(items)
    return ", ".join(items[:limit]) + ", ... (" + str(len(items)) + " in all)"


def fail(message, code):
    """Print ``karrow-fe: error: message`` on standard error and return ``code``."""
    sys.stderr.write(PROG + ": error: " + one_line(message, 1000) + "\n")
    sys.stderr.flush()
    return code


class Notes:
    """Notes and warnings for standard error, one line each, silenced by ``--quiet``.

    Warnings are also kept (``warnings``) so that the report can repeat them
    where the numbers they are about are printed.
    """

    def __init__(self, quiet=False, stream=None):
        self.quiet = quiet
        self.stream = stream
        self.warnings = []

    def _write(self, text):
        if not self.quiet:
            stream = self.stream or sys.stderr
            stream.write(PROG + ": " + one_line(text, 1000) + "\n")
            stream.flush()

    def note(self, text):
        self._write(text)

    def warn(self, text):
        self.warnings.append(one_line(text, 1000))
