"""Reading partitioned tables lazily and writing Parquet folders all-or-nothing."""

import glob
import os
import secrets
import shutil
import tempfile

import numpy as np
import pandas as pd

from karrow_libs.table import DataError

__all__ = ["read", "sources", "check_columns", "check_out_dir", "stage_parquet", "StagedParquet", "write_parquet",
           "whole_numbers_as_int", "discard_staged", "MARKER"]

#: Bytes of CSV text per partition: a partition, its prepared table and the
#: kept columns stay a few hundred MiB, well within a 1 GiB worker.
DEFAULT_BLOCKSIZE = "32MiB"

_PARQUET = (".parquet", ".parq", ".pq")


def _dd():
    import dask

    # The oldest supported dask announces its next DataFrame implementation on import.
    dask.config.set({"dataframe.query-planning-warning": False})
    import dask.dataframe as dd

    return dd


def sources(path):
    """(kind, files) behind ``path``: a CSV file, a glob of CSV files, or a Parquet file or folder.

    A folder holding Parquet files (in any sub-folder, as partitioned datasets
    keep them) is read as one Parquet table; a folder of CSV files as all of
    its ``*.csv`` files.  Files come in name order, which is the row order of
    the table.
    """
    path = os.fspath(path)
    if os.path.isdir(path):
        found = sorted(glob.glob(os.path.join(path, "**", "*"), recursive=True))
        parquet = [f for f in found if f.lower().endswith(_PARQUET) and os.path.isfile(f)]
        if parquet:
            return "parquet", parquet
        csv = [f for f in found if f.lower().endswith(".csv") and os.path.isfile(f)]
        if csv:
            return "csv", csv
        raise DataError("cannot read " + repr(path) + ": the folder holds no .parquet or .csv file")
    if glob.has_magic(path):
        files = sorted(f for f in glob.glob(path) if os.path.isfile(f))
        if not files:
            raise DataError("no file matches " + repr(path))
    elif not os.path.exists(path):
        raise DataError("cannot read " + repr(path) + ": no such file")
    else:
        files = [path]
    kinds = {"parquet" if f.lower().endswith(_PARQUET) else "csv" for f in files}
    if len(kinds) > 1:
        raise DataError(repr(path) + " matches both Parquet and CSV files; name one kind")
    return kinds.pop(), files


def _columns(kind, file):
    try:
        if kind == "parquet":
            import pyarrow.parquet as pq

            return [str(c) for c in pq.read_schema(file).names if not str(c).startswith("__index_level_")]
        return [str(c) for c in pd.read_csv(file, nrows=0).columns]
    except pd.errors.EmptyDataError:
        raise DataError("cannot read " + repr(file) + ": the file is empty") from None
    except UnicodeDecodeError:
        raise DataError("cannot read " + repr(file) + ": not a UTF-8 text file") from None
    except (OSError, ValueError) as e:
        raise DataError("cannot read " + repr(file) + ": " + " ".join(str(e).split())) from None


def check_columns(kind, files, target=None):
    """The columns shared by every file; a DataError when they differ or lack ``target``.

    Reads only the header row of each CSV file and the schema of each Parquet
    file, so a bad input fails before any work and before any output.
    """
    first = _columns(kind, files[0])
    if len(set(first)) != len(first):
        dup = sorted({c for c in first if first.count(c) > 1})
        raise DataError(repr(files[0]) + " has several columns named " + ", ".join(repr(c) for c in dup))
    if target is not None:
        lacking = [f for f in files if target not in (first if f == files[0] else _columns(kind, f))]
        if lacking:
            raise DataError("the target " + repr(target) + " is missing from " + str(len(lacking)) + " of "
                            + str(len(files)) + " file(s), e.g. " + repr(lacking[0]))
    for f in files[1:]:
        cols = _columns(kind, f)
        if cols != first:
            extra = [c for c in cols if c not in first]
            absent = [c for c in first if c not in cols]
            if extra or absent:
                what = ("has no column " + ", ".join(repr(c) for c in absent[:5]) if absent
                        else "has the extra column " + ", ".join(repr(c) for c in extra[:5]))
            else:
                what = "has the same columns in another order"
            raise DataError("the files' columns differ: " + repr(f) + " " + what + " (compared with "
                            + repr(files[0]) + ")")
    return first


def read(path, *, target=None, blocksize=DEFAULT_BLOCKSIZE, dtype=None):
    """A lazy dask DataFrame over a CSV file, a glob of CSV files, or a Parquet file or folder.

    Nothing but the headers (CSV) or schemas (Parquet) is read here: every
    file must have the same columns in the same order (and ``target``, when
    given), or a one-line :class:`DataError` says which file differs.  CSV
    integer columns are read as float64, since a later block may hold a
    missing cell; :func:`whole_numbers_as_int` restores them per partition.
    ``dtype`` (column -> dtype) overrides that for CSV files, e.g. ``object``
    for an identifier whose digits must survive exactly.
    """
    kind, files = sources(path)
    check_columns(kind, files, target)
    dd = _dd()
    try:
        if kind == "parquet":
            return dd.read_parquet(files)
        return dd.read_csv(files, blocksize=blocksize, assume_missing=True, dtype=dtype)
    except (OSError, ValueError) as e:
        raise DataError("cannot read " + repr(os.fspath(path)) + ": " + " ".join(str(e).split())) from None


def whole_numbers_as_int(df):
    """``df`` with every float64 column that holds only whole numbers (and no missing cell) as int64.

    A CSV reader that sees a whole file infers such columns as integers; a
    partition is made to look the same, so that the preparation sees the dtypes
    it would see in memory.
    """
    out = None
    for i in range(df.shape[1]):
        col = df.iloc[:, i]
        if col.dtype != np.float64 or len(col) == 0:
            continue
        v = col.to_numpy()
        with np.errstate(invalid="ignore"):
            if not (np.isfinite(v).all() and (v == np.round(v)).all() and np.abs(v).max() < 2.0 ** 53):
                continue
        if out is None:
            out = df.copy(deep=False)
        out.isetitem(i, v.astype(np.int64))
    return df if out is None else out


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


#: A file that every output folder written here holds, so that a later run
#: replaces only a folder it wrote (a hidden name Parquet readers skip).
MARKER = ".karrow-fe-output"

#: Output folders written under a temporary name and not yet renamed: removed by :func:`discard_staged`.
_STAGED = set()


def discard_staged():
    """Remove every temporary output folder still waiting; safe to call at any moment, more than once."""
    for tmp in list(_STAGED):
        shutil.rmtree(tmp, ignore_errors=True)
        _STAGED.discard(tmp)


def _is_previous_output(path):
    """Whether ``path`` is a folder that may be replaced: empty, or one this module wrote (it holds the
    marker) holding nothing added since but Parquet parts."""
    try:
        names = os.listdir(path)
    except OSError:
        return False
    if not names:
        return True
    return MARKER in names and os.path.isfile(os.path.join(path, MARKER)) and all(
        n == MARKER or (n.endswith(".parquet") and os.path.isfile(os.path.join(path, n)))
        or n in ("_metadata", "_common_metadata") for n in names)


def _inside(path, folder):
    folder = folder.rstrip(os.sep) + os.sep
    return path == folder.rstrip(os.sep) or path.startswith(folder)


def check_out_dir(out_dir, inputs=()):
    """Fail early, before any work, when ``out_dir`` cannot become the output folder.

    A folder is replaced only when an earlier run wrote it (or it is empty);
    a symbolic link is followed.  ``inputs`` (files or folders read by the
    run) may not be the folder nor lie inside it.
    """
    out_dir = os.fspath(out_dir)
    real = os.path.realpath(os.path.abspath(out_dir))
    parent = os.path.dirname(real)
    if os.path.exists(real) and not os.path.isdir(real):
        raise DataError(repr(out_dir) + " is a file; the Parquet output is a folder")
    for source in (os.fspath(i) for i in inputs if i is not None):
        for f in glob.glob(source) if glob.has_magic(source) else [source]:
            if _inside(os.path.realpath(os.path.abspath(f)), real):
                raise DataError(repr(out_dir) + " holds the input " + repr(f) + "; name another folder")
    if os.path.isdir(real) and not _is_previous_output(real):
        raise DataError(repr(out_dir) + " holds files this command did not write; it is left as it is "
                        "(name a new or empty folder)")
    if not os.path.isdir(parent):
        raise DataError("cannot write " + repr(out_dir) + ": folder " + repr(parent) + " does not exist")
    if not os.access(parent, os.W_OK):
        raise DataError("cannot write " + repr(out_dir) + ": folder " + repr(parent) + " is not writable")


class StagedParquet:
    """A Parquet folder written in full under a temporary name, waiting for :meth:`commit`.

    ``commit`` renames it to ``out_dir`` (replacing an earlier output, which
    is moved aside first and put back if the rename fails); ``discard`` (or
    leaving a ``with`` block on an exception) removes it.  ``files`` and
    ``rows`` say what was written.
    """

    def __init__(self, tmp, out_dir):
        self.tmp = tmp
        self.out_dir = out_dir
        names = sorted(n for n in os.listdir(tmp) if n.endswith(".parquet"))
        self.files = len(names)
        self.rows = _parquet_rows([os.path.join(tmp, n) for n in names])

    def commit(self, then=None):
        """Rename the folder into place; ``then()`` (e.g. committing other outputs) runs before the
        earlier output is dropped, and if it fails, the earlier output comes back."""
        if self.tmp is None:
            return
        check_out_dir(self.out_dir)
        parent, base = os.path.split(self.out_dir)
        os.chmod(self.tmp, 0o777 & ~_umask())
        old = None
        if os.path.exists(self.out_dir):
            old = tempfile.mkdtemp(prefix="." + base + ".", suffix=".old", dir=parent)
            os.rmdir(old)
            os.rename(self.out_dir, old)
        try:
            os.rename(self.tmp, self.out_dir)
        except BaseException:
            if old is not None:
                os.rename(old, self.out_dir)
            raise
        try:
            if then is not None:
                then()
        except BaseException:
            os.rename(self.out_dir, self.tmp)
            if old is not None:
                os.rename(old, self.out_dir)
            raise
        _STAGED.discard(self.tmp)
        self.tmp = None
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)

    def discard(self):
        if self.tmp is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)
            _STAGED.discard(self.tmp)
            self.tmp = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.discard()
        return False


def _parquet_rows(files):
    import pyarrow.parquet as pq

    return sum(pq.ParquetFile(f).metadata.num_rows for f in files)


def stage_parquet(ddf, out_dir, *, what="writing the output"):
    """Write ``ddf`` as a folder of Parquet files under a temporary name; a :class:`StagedParquet`.

    Each worker writes its own partitions (``part.000000.parquet``, ... in row
    order, so that any reader lists them in that order) into a temporary
    folder beside ``out_dir``; nothing is gathered on one process.  On
    failure the temporary folder is removed and ``out_dir`` left as it was.
    """
    from .cluster import computing

    out_dir = os.path.realpath(os.path.abspath(os.fspath(out_dir)))
    check_out_dir(out_dir)
    parent, base = os.path.split(out_dir)
    tmp = _new_folder(parent, base)
    try:
        with computing(what):
            ddf.to_parquet(tmp, write_index=False, name_function=_part_name, write_metadata_file=False)
        with open(os.path.join(tmp, MARKER), "w", encoding="utf-8") as f:
            f.write("written by karrow-fe; a later run with --out here may replace this folder\n")
        return StagedParquet(tmp, out_dir)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        _STAGED.discard(tmp)
        raise


def _new_folder(parent, base):
    """A new empty folder beside the output, remembered before it exists."""
    for _ in range(100):
        tmp = os.path.join(parent, "." + base + "." + secrets.token_hex(4) + ".tmp")
        _STAGED.add(tmp)
        try:
            os.mkdir(tmp, 0o700)
            return tmp
        except FileExistsError:
            _STAGED.discard(tmp)
        except BaseException:
            _STAGED.discard(tmp)
            raise
    raise FileExistsError("no free temporary name in " + repr(parent))


def _part_name(i):
    return "part.{:06d}.parquet".format(i)


def write_parquet(ddf, out_dir, *, what="writing the output"):
    """Write ``ddf`` as a folder of Parquet files, one per partition, all-or-nothing.

    The folder appears under the name ``out_dir`` only once every partition is
    written (a previous output there is replaced); a failure leaves nothing
    behind.  Returns ``(files, rows)`` written.
    """
    staged = stage_parquet(ddf, out_dir, what=what)
    with staged:
        staged.commit()
    return staged.files, staged.rows
