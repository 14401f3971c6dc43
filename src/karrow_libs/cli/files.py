"""Reading the input table and writing outputs all-or-nothing."""

import os
import sys
import tempfile

import pandas as pd

from .steps import DataError

__all__ = ["UsageError", "read_csv", "check_writable", "StagedFiles"]


class UsageError(Exception):
    """A mistake in the command line: reported in one line, exit code 2."""


def read_csv(path):
    """The CSV file at ``path`` (``-`` for standard input) as a data frame.

    Every failure to read becomes a one-line :class:`DataError`.
    """
    label = "standard input" if path == "-" else repr(path)
    if path != "-" and os.path.isdir(path):
        raise DataError("cannot read " + label + ": it is a directory")
    try:
        source = sys.stdin if path == "-" else path
        frame = pd.read_csv(source)
    except FileNotFoundError:
        raise DataError("cannot read " + label + ": no such file") from None
    except PermissionError:
        raise DataError("cannot read " + label + ": permission denied") from None
    except pd.errors.EmptyDataError:
        raise DataError("cannot read " + label + ": the file is empty") from None
    except UnicodeDecodeError:
        raise DataError("cannot read " + label + ": not a UTF-8 text file") from None
    except (pd.errors.ParserError, ValueError, OSError) as e:
        raise DataError("cannot read " + label + ": " + " ".join(str(e).split())) from None
    return frame


def check_writable(path, option):
    """Fail early, before any work, when ``path`` cannot be written."""
    if os.path.isdir(path):
        raise UsageError(option + " " + repr(path) + " is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(option + " " + repr(path) + ": directory " + repr(directory) + " does not exist")
    if not os.access(directory, os.W_OK):
        raise UsageError(option + " " + repr(path) + ": directory " + repr(directory) + " is not writable")


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


class StagedFiles:
    """Write several output files so that either all of them appear or none.

    Each output is written to a temporary file in its own directory
    (``stage``); ``commit`` then renames them into place with ``os.replace``,
    which is atomic within a directory.  A failure before ``commit`` (or an
    exception leaving the ``with`` block) removes the temporary files and
    leaves existing files untouched.
    """

    def __init__(self):
        self._staged = []

    def stage(self, path, write):
        """Call ``write(tmp_path)`` to fill a temporary file destined for ``path``."""
        directory = os.path.dirname(os.path.abspath(path))
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=directory)
        os.close(fd)
        try:
            write(tmp)
            # mkstemp creates the file readable by its owner only; give the
            # output the permissions an ordinary new file would have.
            os.chmod(tmp, 0o666 & ~_umask())
        except BaseException:
            _remove(tmp)
            raise
        self._staged.append((tmp, path))

    def commit(self):
        staged, self._staged = self._staged, []
        for tmp, path in staged:
            os.replace(tmp, path)

    def discard(self):
        staged, self._staged = self._staged, []
        for tmp, _ in staged:
            _remove(tmp)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.discard()
        return False


def _remove(path):
    try:
        os.unlink(path)
    except OSError:
        pass
