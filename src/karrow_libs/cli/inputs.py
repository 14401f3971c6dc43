"""Reading the input table, with its problems named in one line.

The header is read here, before pandas sees the file: pandas renames a
repeated header ``a`` to ``a.1`` silently, and reads a ``;``-separated file
as one column.  Columns that cannot help a model -- empty or
infinite -- are dropped with a one-line warning rather than becoming a
constant feature.
"""

import csv
import io
import os
import sys

from .messages import DataError, shortlist
from .options import DATASETS

__all__ = ["read_table", "load_embedded", "drop_useless_columns", "duplicated_rows", "source_label"]

#: Separators tried when the header does not split on commas.
_SEPARATORS = ";\t|"


def source_label(path):
    return "standard input" if path == "-" else str(path)


#: Default cap, in MiB, on the size of a compressed table once decompressed.
MAX_DECOMPRESSED_MIB = 2048

#: The option that raises the cap.
_CAP_OPTION = "--max-decompressed-mib"

_CHUNK = 1 << 20


class _Source(io.RawIOBase):
    """The bytes of a table as a stream: what was read ahead (``head``) first, then the rest.

    Counts the bytes it hands out and stops with a one-line DataError past
    ``limit``, so that a compressed file is never expanded beyond it; rejects
    a NUL byte (a binary file) when ``nul_is_binary``.
    """

    def __init__(self, raw, label, limit=None, nul_is_binary=True, closers=()):
        super().__init__()
        self._raw = raw
        self._label = label
        self._limit = limit
        self._nul = nul_is_binary
        self._closers = list(closers)
        self._head = b""
        self.count = 0

    def readable(self):
        return True

    def _take(self, n):
        data = _guard(lambda: self._raw.read(n), self._label) if self._limit is not None else self._raw.read(n)
        self.count += len(data)
        if self._limit is not None and self.count > self._limit:
            raise DataError("cannot read " + self._label + ": it holds more than " + str(self._limit >> 20)
                            + " MiB once decompressed (" + _CAP_OPTION + " raises the limit)")
        if self._nul and b"\x00" in data:
            raise DataError("cannot read " + self._label + ": not a text file")
        return data

    def read_head(self):
        """Read ahead until the first line with some text on it is complete; returns what was read."""
        while True:
            data = self._take(_CHUNK if self._head else 1 << 16)
            self._head += data
            if not data or (self._head.strip() and b"\n" in self._head.lstrip()):
                return self._head

    def readinto(self, buffer):
        n = len(buffer)
        if self._head:
            data, self._head = self._head[:n], self._head[n:]
        else:
            data = self._take(n)
        buffer[: len(data)] = data
        return len(data)

    def close(self):
        if not self.closed:
            for c in reversed(self._closers):
                try:
                    c.close()
                except Exception:
                    pass
        super().close()


def _opened(path, label):
    """The binary stream of ``path`` (``-``: standard input), or a one-line DataError."""
    if path != "-" and os.path.isdir(path):
        raise DataError("cannot read " + label + ": it is a directory")
    try:
        if path == "-":
            if hasattr(sys.stdin, "buffer"):
                return sys.stdin.buffer, False
            return io.BytesIO(sys.stdin.read().encode("utf-8")), False
        return open(path, "rb"), True
    except FileNotFoundError:
        raise DataError("cannot read " + label + ": no such file") from None
    except PermissionError:
        raise DataError("cannot read " + label + ": permission denied") from None
    except OSError as e:
        raise DataError("cannot read " + label + ": " + str(e)) from None


def _peek(f, n):
    """The first ``n`` bytes of ``f``, left unread: peeked, or read and sought back (a stream embedding
    code hands as standard input may be a plain in-memory buffer)."""
    if hasattr(f, "peek"):
        return f.peek(n)[:n]
    try:
        if f.seekable():
            where = f.tell()
            head = f.read(n)
            f.seek(where)
            return head
    except (AttributeError, OSError, ValueError):
        pass
    return b""


def _decompressed(f, label):
    """(stream, compressed): ``f`` itself, or a stream of its content when it is gzip, bzip2, xz or one-file zip."""
    magic = _peek(f, 6)
    try:
        if magic[:2] == b"\x1f\x8b":
            import gzip

            return gzip.GzipFile(fileobj=f, mode="rb"), True
        if magic[:3] == b"BZh":
            import bz2

            return bz2.BZ2File(f, "rb"), True
        if magic[:6] == b"\xfd7zXZ\x00":
            import lzma

            return lzma.LZMAFile(f, "rb"), True
        if magic[:4] == b"PK\x03\x04":
            import zipfile

            if not f.seekable():
                f = io.BytesIO(f.read())
            archive = zipfile.ZipFile(f)
            names = [n for n in archive.namelist() if not n.endswith("/")]
            if len(names) != 1:
                archive.close()
                raise DataError("cannot read " + label + ": a zip archive must hold exactly one file, it holds "
                                + str(len(names)))
            return archive.open(names[0]), True
    except DataError:
        raise
    except Exception as e:  # each format has its own error types (BadGzipFile, LZMAError, BadZipFile, EOFError)
        raise _damaged(label, e) from None
    return f, False


def _damaged(label, e):
    return DataError("cannot read " + label + ": damaged compressed file (" + " ".join(str(e).split()) + ")")


def _ascii_compatible(encoding):
    try:
        return "\x00a,\n".encode(encoding) == b"\x00a,\n"
    except (LookupError, UnicodeError):
        return False


def _open_text(path, encoding=None, max_decompressed_mib=None):
    """(stream, header line, label) of ``path`` (``-``: standard input), or a one-line DataError.

    The stream hands out the file's bytes from the start (decompressed, at
    most ``max_decompressed_mib`` MiB); only the first line is decoded here.
    """
    label = "standard input" if path == "-" else repr(str(path))
    raw, owned = _opened(path, label)
    closers = [raw] if owned else []
    try:
        stream, compressed = _decompressed(raw, label)
        if stream is not raw:
            closers.append(stream)
        mib = MAX_DECOMPRESSED_MIB if max_decompressed_mib is None else max_decompressed_mib
        limit = int(mib) << 20 if compressed else None
        if compressed and raw.seekable() and hasattr(stream, "seek"):
            # Count the whole content first, holding one block at a time, so that
            # a table too large once decompressed is refused before any parsing.
            _measure(stream, label, limit)
            stream.seek(0)
        nul = encoding is None or _ascii_compatible(encoding)
        source = _Source(stream, label, limit, nul, closers)
        try:
            head = source.read_head()
        except BaseException:
            source.close()
            raise
    except OSError as e:
        for c in reversed(closers):
            c.close()
        raise DataError("cannot read " + label + ": " + (e.strerror or str(e))) from None
    except BaseException:
        for c in reversed(closers):
            try:
                c.close()
            except Exception:
                pass
        raise
    first = head.split(b"\n", 1)[0].rstrip(b"\r")
    try:
        text = first.decode(encoding or "utf-8-sig")
    except UnicodeDecodeError:
        source.close()
        raise DataError("cannot read " + label + ": " + _not_text(encoding)) from None
    except LookupError:
        source.close()
        raise DataError("cannot read " + label + ": unknown encoding " + repr(encoding)) from None
    if not head.strip():
        source.close()
        raise DataError("cannot read " + label + ": the file is empty")
    return source, text.lstrip("\ufeff"), label


def _not_text(encoding):
    if encoding is None:
        return "not a UTF-8 text file (--encoding names another, e.g. latin-1)"
    return "not a " + str(encoding) + " text file"


def _measure(stream, label, limit):
    total = 0
    while True:
        block = _guard(lambda: stream.read(_CHUNK), label)
        if not block:
            return total
        total += len(block)
        if total > limit:
            raise DataError("cannot read " + label + ": it holds more than " + str(limit >> 20)
                            + " MiB once decompressed (" + _CAP_OPTION + " raises the limit)")


def _guard(read, label):
    """``read()``, with a damaged compressed stream as a one-line DataError."""
    try:
        return read()
    except DataError:
        raise
    except MemoryError:
        raise
    except Exception as e:
        raise _damaged(label, e) from None


def _header(line, sep):
    return next(csv.reader([line], delimiter=sep), [])


def choose_separator(line, sep, notes=None, label=""):
    """``sep`` when given; else ',' unless the header line splits only on ';', tab or '|'."""
    if sep is not None:
        return sep
    if len(_header(line, ",")) > 1:
        return ","
    for candidate in _SEPARATORS:
        if len(_header(line, candidate)) > 1:
            if notes is not None:
                notes.note("reading " + label + " as " + repr(candidate) + "-separated (--sep sets it)")
            return candidate
    return ","


def read_table(path, sep=None, notes=None, encoding=None, max_decompressed_mib=None):
    """(data frame, label) of the CSV at ``path``; every failure to read is a one-line DataError.

    pandas parses straight from the file (or the decompressing stream), so
    the text is never held whole beside the frame.  ``encoding``: the text's
    encoding (default UTF-8, with or without a byte-order mark);
    ``max_decompressed_mib``: the cap on a compressed file's content
    (default ``MAX_DECOMPRESSED_MIB``).
    """
    source, first, label = _open_text(path, encoding, max_decompressed_mib)
    with source:
        import pandas as pd

        sep = choose_separator(first, sep, notes, label)
        header = [h.strip() for h in _header(first, sep)]
        seen = set()
        for name in header:
            if name in seen:
                raise DataError(label + ": duplicate column name " + repr(name))
            seen.add(name)
        try:
            frame = pd.read_csv(io.BufferedReader(source, _CHUNK), sep=sep, skipinitialspace=False,
                                encoding=encoding or "utf-8", encoding_errors="strict")
        except DataError:
            raise
        except UnicodeError:
            raise DataError("cannot read " + label + ": " + _not_text(encoding)) from None
        except pd.errors.EmptyDataError:
            raise DataError("cannot read " + label + ": the file is empty") from None
        except (pd.errors.ParserError, ValueError) as e:
            hint = ""
            if sep == "," and any(c in first for c in _SEPARATORS):
                hint = " (if the fields are not separated by commas, set --sep)"
            raise DataError("cannot read " + label + ": " + " ".join(str(e).split()) + hint) from None
        except (OSError, EOFError) as e:
            raise _damaged(label, e) from None
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


def drop_useless_columns(X, notes):
    """X without columns that are empty or only infinite (one warning per kind); duplicated rows are warned of.

    Which columns are identifiers is the preparation's decision (it is
    fitted on a sample by the Dask engine, and must decide alike there): the
    report's "left out" line names them.
    """
    import numpy as np
    import pandas as pd

    reasons = {"empty": [], "only infinite values": []}
    for name in X.columns:
        col = X[name]
        present = col.dropna()
        if present.empty:
            reasons["empty"].append(name)
        elif pd.api.types.is_numeric_dtype(present.dtype) and not pd.api.types.is_bool_dtype(present.dtype) \
                and np.isinf(present.to_numpy(dtype=np.float64)).all():
            reasons["only infinite values"].append(name)
    dropped = []
    for why, names in reasons.items():
        if names:
            notes.warn("left out " + shortlist([repr(n) for n in names], 6) + ": " + why)
            dropped.extend(names)
    repeated = duplicated_rows(X)
    if repeated:
        notes.warn("{:,} of {:,} rows repeat an earlier row exactly; repeated rows weigh more in the fit and "
                   "can fall on both sides of a cross-validation split".format(repeated, len(X)))
    return X.drop(columns=dropped) if dropped else X


def duplicated_rows(X):
    """Rows equal to an earlier row in every column.

    One hash per row finds the rows that may repeat another (a tenth of the
    time of comparing whole rows on a wide table); only those are compared.
    """
    import numpy as np
    import pandas as pd

    if len(X) < 2 or X.shape[1] == 0:
        return 0
    try:
        maybe = pd.util.hash_pandas_object(X, index=False).duplicated(keep=False).to_numpy()
    except (TypeError, ValueError):  # cells the row hash does not take: compare them all
        maybe = np.ones(len(X), dtype=bool)
    if not maybe.any():
        return 0
    try:
        return int(X[maybe].duplicated().sum())
    except TypeError:  # unhashable cells
        return 0


def prepare_options(args, X, label):
    """The preparation's parameters that the command line sets (--drop, --categorical, --id, --decimal, ...)."""
    from .messages import UsageError

    options = {}
    named = {"--drop": list(getattr(args, "drop", None) or []),
             "--categorical": list(getattr(args, "categorical", None) or []),
             "--id": [args.id] if getattr(args, "id", None) else [],
             "--date-format": [c for c, _ in getattr(args, "date_format", None) or []]}
    for option, names in named.items():
        absent = [n for n in names if n not in X.columns]
        if absent:
            raise UsageError(option + ": no column " + ", ".join(repr(a) for a in absent) + " in " + label
                             + " (columns: " + shortlist(X.columns, 10) + ")")
    if named["--drop"]:
        options["drop"] = tuple(named["--drop"])
    if named["--categorical"]:
        options["categorical"] = tuple(named["--categorical"])
    if named["--id"]:
        options["id_columns"] = tuple(named["--id"])
    if named["--date-format"]:
        options["date_formats"] = dict(args.date_format)
    if getattr(args, "decimal", None):
        options["decimal"] = args.decimal
    if getattr(args, "thousands", None) is not None:
        options["thousands"] = args.thousands
    if getattr(args, "dayfirst", False):
        options["dayfirst"] = True
    if options.get("decimal") and options.get("thousands") == options["decimal"]:
        raise UsageError("--thousands cannot be the decimal mark " + repr(options["decimal"]))
    return options
