"""Reading the input table, with its problems named in one line.

The header is read here, before pandas sees the file: pandas renames a
repeated header ``a`` to ``a.1`` silently, and reads a ``;``-separated file
as one column.  Columns that cannot help a model -- empty, infinite,
a row number -- are dropped with a one-line warning rather than becoming a
constant feature.
"""

import csv
import io
import os
import sys

from .messages import DataError, shortlist
from .options import DATASETS

__all__ = ["read_table", "load_embedded", "drop_useless_columns", "source_label"]

#: Separators tried when the header does not split on commas.
_SEPARATORS = ";\t|"


def source_label(path):
    return "standard input" if path == "-" else str(path)


def _open_text(path):
    """The whole text of ``path`` (``-``: standard input), or a one-line DataError."""
    label = "standard input" if path == "-" else repr(str(path))
    if path != "-" and os.path.isdir(path):
        raise DataError("cannot read " + label + ": it is a directory")
    try:
        if path == "-":
            data = sys.stdin.buffer.read() if hasattr(sys.stdin, "buffer") else sys.stdin.read().encode("utf-8")
        else:
            with open(path, "rb") as f:
                data = f.read()
    except FileNotFoundError:
        raise DataError("cannot read " + label + ": no such file") from None
    except PermissionError:
        raise DataError("cannot read " + label + ": permission denied") from None
    except OSError as e:
        raise DataError("cannot read " + label + ": " + str(e)) from None
    data = _decompressed(data, label)
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise DataError("cannot read " + label + ": not a UTF-8 text file") from None
    if "\x00" in text:
        raise DataError("cannot read " + label + ": not a text file")
    if not text.strip():
        raise DataError("cannot read " + label + ": the file is empty")
    return text, label


def _decompressed(data, label):
    """``data`` itself, or its content when it is a gzip, bzip2, xz or one-file zip archive."""
    import zipfile

    try:
        if data[:2] == b"\x1f\x8b":
            import gzip

            return gzip.decompress(data)
        if data[:3] == b"BZh":
            import bz2

            return bz2.decompress(data)
        if data[:6] == b"\xfd7zXZ\x00":
            import lzma

            return lzma.decompress(data)
        if data[:4] == b"PK\x03\x04":
            with zipfile.ZipFile(io.BytesIO(data)) as archive:
                names = [n for n in archive.namelist() if not n.endswith("/")]
                if len(names) != 1:
                    raise DataError("cannot read " + label + ": a zip archive must hold exactly one file, it holds "
                                    + str(len(names)))
                return archive.read(names[0])
    except DataError:
        raise
    except Exception as e:  # each format has its own error types (BadGzipFile, LZMAError, BadZipFile, EOFError)
        raise DataError("cannot read " + label + ": damaged compressed file (" + " ".join(str(e).split()) + ")") from None
    return data


def _header(text, sep):
    first = text.splitlines()[0] if text else ""
    return next(csv.reader([first], delimiter=sep), [])


def choose_separator(text, sep, notes=None, label=""):
    """``sep`` when given; else ',' unless the header splits only on ';', tab or '|'."""
    if sep is not None:
        return sep
    if len(_header(text, ",")) > 1:
        return ","
    for candidate in _SEPARATORS:
        if len(_header(text, candidate)) > 1:
            if notes is not None:
                notes.note("reading " + label + " as " + repr(candidate) + "-separated (--sep sets it)")
            return candidate
    return ","


def read_table(path, sep=None, notes=None):
    """(data frame, label) of the CSV at ``path``; every failure to read is a one-line DataError."""
    text, label = _open_text(path)
    import pandas as pd

    sep = choose_separator(text, sep, notes, label)
    header = [h.strip() for h in _header(text, sep)]
    seen = set()
    for name in header:
        if name in seen:
            raise DataError(label + ": duplicate column name " + repr(name))
        seen.add(name)
    try:
        frame = pd.read_csv(io.StringIO(text), sep=sep, skipinitialspace=False)
    except pd.errors.EmptyDataError:
        raise DataError("cannot read " + label + ": the file is empty") from None
    except (pd.errors.ParserError, ValueError) as e:
        hint = ""
        if sep == "," and any(c in text.splitlines()[0] for c in _SEPARATORS):
            hint = " (if the fields are not separated by commas, set --sep)"
        raise DataError("cannot read " + label + ": " + " ".join(str(e).split()) + hint) from None
    frame.columns = [str(c).strip() for c in frame.columns]
    return frame, source_label(path)


def load_embedded(key):
    """(frame, label, target) of an embedded data set: a table of karrow_libs.datasets or one of scikit-learn's."""
    loader, kwargs, what = DATASETS[key]
    if loader == "table":
        from karrow_libs import datasets

        frame, target = datasets.load(key)
        # The part before the colon says what the table is; the rest (its column kinds) is for --dataset list.
        return frame, key + " (embedded, " + what.split(":")[0] + ")", target
    import sklearn.datasets

    frame = getattr(sklearn.datasets, loader)(as_frame=True, **kwargs).frame
    return frame, key + " (embedded, " + what + ")", "target"


def _index_like(col):
    """True for 0..n-1 or 1..n in row order: a row number saved with the table."""
    import numpy as np

    n = len(col)
    if n < 3 or col.dtype.kind not in "iu":
        return False
    values = col.to_numpy()
    return bool(np.array_equal(values, np.arange(n)) or np.array_equal(values, np.arange(1, n + 1)))


def drop_useless_columns(X, notes):
    """X without columns that are empty, infinite or a row number; one warning per kind."""
    import numpy as np
    import pandas as pd

    reasons = {"empty": [], "only infinite values": [], "a row number (0..n-1 or 1..n)": []}
    for name in X.columns:
        col = X[name]
        present = col.dropna()
        if present.empty:
            reasons["empty"].append(name)
        elif pd.api.types.is_numeric_dtype(present.dtype) and not pd.api.types.is_bool_dtype(present.dtype) \
                and np.isinf(present.to_numpy(dtype=np.float64)).all():
            reasons["only infinite values"].append(name)
        elif _index_like(col):
            reasons["a row number (0..n-1 or 1..n)"].append(name)
    dropped = []
    for why, names in reasons.items():
        if names:
            notes.warn("left out " + shortlist([repr(n) for n in names], 6) + ": " + why)
            dropped.extend(names)
    return X.drop(columns=dropped) if dropped else X
