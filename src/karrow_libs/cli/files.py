"""Output files, written all-or-nothing: every output goes to a temporary file, then all are renamed."""

import json
import os
import tempfile

from .messages import UsageError

__all__ = ["check_outputs", "check_writable", "StagedFiles", "stage_table", "stage_json", "stage_model"]


def check_outputs(args, options):
    """Fail before any work when an output of ``options`` (attribute names) cannot be written or repeats."""
    paths = []
    for option in options:
        path = getattr(args, option, None)
        if path is not None:
            check_writable(path, "--" + option)
            paths.append(os.path.abspath(path))
    if len(set(paths)) != len(paths):
        raise UsageError(", ".join("--" + o for o in options) + " must name different files")


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


def stage_table(staged, path, frame):
    """Stage ``frame`` as a CSV file at ``path``; return the line saying what was written."""
    staged.stage(path, lambda p: frame.to_csv(p, index=False))
    return str(path) + " (" + str(frame.shape[0]) + " rows, " + str(frame.shape[1]) + " columns)"


def stage_json(staged, path, obj, what):
    def write(p):
        with open(p, "w", encoding="utf-8") as f:
            json.dump(obj, f, indent=2, default=str)
            f.write("\n")

    staged.stage(path, write)
    return str(path) + " (" + what + ")"


def stage_model(staged, path, pipeline):
    import joblib

    staged.stage(path, lambda p: joblib.dump(pipeline, p))
    return str(path) + " (scikit-learn Pipeline)"
