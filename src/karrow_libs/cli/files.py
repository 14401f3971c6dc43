"""Output files, written all-or-nothing, never over anything the user did not ask to replace.

Every output is first written in full to a temporary file; ``commit`` then
puts all of them in place, or none.  Before any work, :func:`check_paths`
refuses an output that is one of the inputs, two outputs that are one file,
and anything an output may not replace.  What an output path may be:

- a new name, or an existing regular file: replaced by a rename, keeping the
  replaced file's permissions (and owner, when allowed);
- a symbolic link: followed, so the file it points to is replaced and the
  link stays;
- a regular file with other hard links, a character device (``/dev/null``,
  a terminal) or a FIFO with a reader: written through, in place, once every
  renamed output is in place;
- anything else (a directory, a block device, a socket, a FIFO nobody reads,
  a file this user may not write) is refused in one line.

Temporary files are remembered until they are renamed or removed, so that
the command removes them whatever ends it (:func:`remove_temporaries`).
"""

import errno
import json
import os
import secrets
import stat
import tempfile

from .messages import DataError, UsageError

__all__ = ["check_paths", "check_outputs", "check_writable", "StagedFiles", "stage_table", "stage_json",
           "stage_model", "remove_temporaries", "same_file"]

#: Temporary files not yet renamed into place: removed by :func:`remove_temporaries`.
_TEMPORARIES = set()


def remove_temporaries():
    """Remove every temporary output file still waiting; safe to call at any moment, more than once."""
    for path in list(_TEMPORARIES):
        _remove(path)
        _TEMPORARIES.discard(path)


def _new_temporary(directory, base):
    """An empty file of a fresh name in ``directory``, remembered before it exists."""
    for _ in range(100):
        path = os.path.join(directory, "." + base + "." + secrets.token_hex(4) + ".tmp")
        _TEMPORARIES.add(path)
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            _TEMPORARIES.discard(path)
            continue
        except BaseException:
            _TEMPORARIES.discard(path)
            raise
        os.close(fd)
        return path
    raise FileExistsError(errno.EEXIST, "no free temporary name", directory)


def _resolved(path):
    """The real path of ``path``: symbolic links and ``.``/``..`` resolved, also for a file yet to be written."""
    return os.path.realpath(os.path.abspath(os.fspath(path)))


def _identity(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def same_file(a, b):
    """Whether two paths name one file: the same real path, or the same device and inode (hard links)."""
    if _resolved(a) == _resolved(b):
        return True
    ia, ib = _identity(a), _identity(b)
    return ia is not None and ia == ib


def check_paths(outputs, inputs=()):
    """Fail before any work when an output cannot be written, is an input, or is another output.

    ``outputs``: (option, path) pairs, e.g. ``("--out", "table.csv")``, with
    ``None`` for an option not given; ``inputs``: paths this run reads
    (``-``, standard input, is skipped).  A new output option is one more pair.
    """
    given = [(option, path) for option, path in outputs if path is not None]
    for option, path in given:
        check_writable(path, option)
    for option, path in given:
        for source in inputs:
            if source is not None and source != "-" and same_file(path, source):
                raise UsageError(option + " " + repr(str(path)) + " is the input " + repr(str(source))
                                 + "; name another file")
    for i, (option, path) in enumerate(given):
        for other, other_path in given[i + 1:]:
            if same_file(path, other_path):
                raise UsageError(option + " and " + other + " name the same file " + repr(str(path)))


def check_outputs(args, options, inputs=()):
    """:func:`check_paths` for the outputs of ``options`` (attribute names of ``args``, e.g. ``"out"``)."""
    check_paths([("--" + o.replace("_", "-"), getattr(args, o, None)) for o in options], inputs)


def _plan(path, option="output"):
    """(path written, how, stat of the file replaced or None): how is "rename" or "through"."""
    target = _resolved(path)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return target, "rename", None
    except OSError as e:
        raise UsageError(option + " " + repr(str(path)) + ": " + (e.strerror or str(e))) from None
    mode = st.st_mode
    if stat.S_ISDIR(mode):
        raise UsageError(option + " " + repr(str(path)) + " is a directory")
    if stat.S_ISREG(mode):
        if not os.access(target, os.W_OK):
            raise UsageError(option + " " + repr(str(path)) + " is read-only; it is left as it is")
        # Renaming over a file with other names would leave them with the old content.
        return target, "through" if st.st_nlink > 1 else "rename", st
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        if not os.access(target, os.W_OK):
            raise UsageError(option + " " + repr(str(path)) + " is not writable")
        return target, "through", st
    kind = "a block device" if stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) else "not a regular file"
    raise UsageError(option + " " + repr(str(path)) + " is " + kind + "; name a file")


def check_writable(path, option):
    """Fail early, before any work, when ``path`` cannot be written or may not be replaced."""
    target, how, _ = _plan(path, option)
    if how == "through":
        return
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise UsageError(option + " " + repr(str(path)) + ": directory " + repr(directory) + " does not exist")
    if not os.access(directory, os.W_OK):
        raise UsageError(option + " " + repr(str(path)) + ": directory " + repr(directory) + " is not writable")


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _open_through(target):
    """A file object writing into ``target`` in place; a FIFO without a reader is an error, not a wait."""
    flags = os.O_WRONLY
    if stat.S_ISFIFO(os.stat(target).st_mode):
        try:
            fd = os.open(target, flags | os.O_NONBLOCK)
        except OSError as e:
            if e.errno == errno.ENXIO:
                raise DataError("cannot write " + repr(target) + ": no process reads the FIFO; "
                                "nothing was written") from None
            raise
        os.set_blocking(fd, True)
        return os.fdopen(fd, "wb")
    if stat.S_ISREG(os.stat(target).st_mode):
        flags |= os.O_TRUNC
    return os.fdopen(os.open(target, flags), "wb")


class StagedFiles:
    """Write several output files so that either all of them appear or none.

    Each output is written to a temporary file (``stage``): beside the file
    it replaces, or in the temporary folder for an output written through.
    ``commit`` renames them into place with ``os.replace``; the files they
    replace are kept aside (a hard link, else a rename) until every rename
    has succeeded, and put back if one fails or the run is interrupted.
    Outputs written through come last, since they cannot be taken back.  An
    exception leaving the ``with`` block removes the temporary files.
    """

    def __init__(self):
        self._staged = []

    def stage(self, path, write):
        """Call ``write(tmp_path)`` to fill a temporary file destined for ``path``."""
        target, how, st = _plan(path)
        directory = os.path.dirname(target) if how == "rename" else tempfile.gettempdir()
        tmp = _new_temporary(directory, os.path.basename(target))
        try:
            write(tmp)
            if how == "rename":
                _copy_owner_and_mode(tmp, st)
        except BaseException:
            _forget(tmp)
            raise
        self._staged.append((tmp, target, how))

    def commit(self):
        staged, self._staged = self._staged, []
        try:
            _commit(staged)
        finally:
            for tmp, _, _ in staged:
                _forget(tmp)

    def discard(self):
        staged, self._staged = self._staged, []
        for tmp, _, _ in staged:
            _forget(tmp)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.discard()
        return False


def _copy_owner_and_mode(tmp, st):
    if st is None:
        # The temporary file is private; give the output what an ordinary new file gets.
        os.chmod(tmp, 0o666 & ~_umask())
        return
    try:
        os.chown(tmp, st.st_uid, st.st_gid)
    except OSError:
        pass
    os.chmod(tmp, stat.S_IMODE(st.st_mode))


def _commit(staged):
    # Outputs written through are opened first: one that cannot be opened
    # (a FIFO without a reader) stops the commit before anything is replaced.
    through = []
    try:
        for tmp, target, how in staged:
            if how == "through":
                through.append((tmp, _open_through(target)))
        _rename_all([(tmp, target) for tmp, target, how in staged if how == "rename"])
        for tmp, dst in through:
            with open(tmp, "rb") as src:
                while True:
                    block = src.read(1 << 20)
                    if not block:
                        break
                    dst.write(block)
    finally:
        for _, dst in through:
            try:
                dst.close()
            except OSError:
                pass


def _rename_all(pairs):
    done = []  # (target, the old version kept aside or None)
    try:
        for tmp, target in pairs:
            old = _keep_aside(target)
            try:
                os.replace(tmp, target)
            except BaseException:
                if old is not None:
                    _put_back(old, target)
                raise
            done.append((target, old))
    except BaseException:
        for target, old in reversed(done):
            if old is None:
                _remove(target)
            else:
                _put_back(old, target)
        raise
    for _, old in done:
        if old is not None:
            _remove(old)


def _keep_aside(target):
    """A second name for the file at ``target`` (None when there is none), so that a rename can be undone."""
    if not os.path.lexists(target):
        return None
    directory, base = os.path.split(target)
    for _ in range(100):
        old = os.path.join(directory, "." + base + "." + secrets.token_hex(4) + ".old")
        try:
            os.link(target, old)
            return old
        except FileExistsError:
            continue
        except OSError:
            # No hard links here: move the file aside; it comes back on failure.
            os.rename(target, old)
            return old
    raise FileExistsError(errno.EEXIST, "no free name to keep the old version", directory)


def _put_back(old, target):
    # A rename between two names of one file does nothing: the target was never replaced.
    if _identity(old) is not None and _identity(old) == _identity(target):
        _remove(old)
        return
    try:
        os.rename(old, target)
    except OSError:
        pass


def _forget(tmp):
    _remove(tmp)
    _TEMPORARIES.discard(tmp)


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
