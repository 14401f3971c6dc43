"""The table that flows between the steps of a feature-engineering run.

The module's transforms take a bare 2-d array and keep the column names,
dtypes and JSON lineage objects in lists beside it.  :class:`Table` carries
the four together, so the preparation step, the search and the selectors can
pass one object through a scikit-learn ``Pipeline`` (which hands each step's
output to the next untouched).
"""

import contextlib
import io

__all__ = ["DataError", "Table", "as_table", "module_output"]


class DataError(Exception):
    """The data cannot be used (as opposed to a bug): reported in one line."""


@contextlib.contextmanager
def module_output(echo=None):
    """Collect what the module prints, instead of mixing it into the report.

    The transforms and selectors print their diagnostics with ``print``; the
    report owns standard output, so those lines go to ``echo`` (a text stream,
    for instance standard error in verbose mode) or are dropped.
    """
    buffer = io.StringIO()
    try:
        with contextlib.redirect_stdout(buffer):
            yield buffer
    finally:
        if echo is not None and buffer.getvalue():
            echo.write(buffer.getvalue())
            echo.flush()


class Table:
    """A numeric table with the description the transforms need.

    ``values``: 2-d float64 array; ``names``, ``dtypes``, ``lineage``: lists
    aligned with its columns (names, numpy dtypes, JSON name objects);
    ``n_inputs``: how many leading columns are the prepared input columns
    (the rounds only ever append).
    """

    __slots__ = ("values", "names", "dtypes", "lineage", "n_inputs")

    def __init__(self, values, names, dtypes, lineage, n_inputs):
        self.values = values
        self.names = list(names)
        self.dtypes = list(dtypes)
        self.lineage = list(lineage)
        self.n_inputs = n_inputs

    @property
    def shape(self):
        return self.values.shape

    # A table also reads as its 2-d array, so scikit-learn's combinators
    # (ColumnTransformer, FeatureUnion) can stack it with other outputs.
    ndim = 2

    def __len__(self):
        return self.values.shape[0]

    def __array__(self, dtype=None, copy=None):
        import numpy as np

        return np.asarray(self.values, dtype=dtype) if dtype is not None else self.values

    def __getstate__(self):
        return {k: getattr(self, k) for k in self.__slots__}

    def __setstate__(self, state):
        for k, v in state.items():
            setattr(self, k, v)

    def __repr__(self):
        return "Table(" + str(self.values.shape[0]) + " rows, " + str(self.values.shape[1]) + " columns)"


def as_table(X, step):
    """``X`` itself when it is a :class:`Table`; a TypeError naming ``step`` otherwise."""
    if not isinstance(X, Table):
        raise TypeError(step + " expects a karrow_libs.table.Table, got " + type(X).__name__)
    return X
