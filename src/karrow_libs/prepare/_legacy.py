"""The first preparation step of the command: numeric columns only.

:class:`PrepareTable` keeps the numeric columns (booleans as 0/1, recognised
dates as Unix seconds) and leaves every text column out.  The command's saved
pipelines hold it; new code uses :class:`~karrow_libs.prepare.PrepareFrame`,
which also turns categories, dates and missing cells into features.
"""

import contextlib
import warnings

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs.table import DataError, Table, module_output

__all__ = ["PrepareTable", "TableValues"]


def _tu():
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils


@contextlib.contextmanager
def _quiet_date_guessing():
    # PreprocessDF tries every text column as dates; pandas warns about each
    # column whose format it has to guess, which is most text columns.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Could not infer format", category=UserWarning)
        yield


def _as_table(X):
    if not isinstance(X, Table):
        raise TypeError("expected a Table from the 'prepare' step, got " + type(X).__name__)
    return X


class PrepareTable(BaseEstimator, TransformerMixin):
    """Data frame -> numeric :class:`Table`, with the module's preparation steps.

    ``fit`` remembers the feature columns by name, runs ``PreprocessDF`` (text
    columns holding dates become datetimes) and ``MakeDFReady`` (only the
    numeric columns are kept).  Two conversions sit between them so that
    useful columns survive the numeric filter: booleans become int64 0/1, and
    datetimes become int64 Unix seconds (the date transforms of the catalogue
    read epoch seconds).  Missing and infinite values are replaced by the
    column's median on the training rows (0 for a column with no value), since
    the selectors cannot score columns with missing values.

    ``transform`` applies the same steps to new rows: columns are picked by
    the names seen at fit (extra columns, the target for instance, are
    ignored; a missing numeric one is an error, a missing column that was
    left out as non-numeric is not), and cells that are not numbers become
    missing and then the training median.

    Parameters
    ----------
    target_name : str or None
        Name of the target column; recorded only, so that predictions can be
        labelled.
    """

    def __init__(self, target_name=None):
        self.target_name = target_name

    @staticmethod
    def _coerce(df):
        df = df.copy(deep=False)
        for i in range(df.shape[1]):
            col = df.iloc[:, i]
            if pd.api.types.is_bool_dtype(col.dtype):
                df.isetitem(i, col.astype(np.int64))
            elif pd.api.types.is_datetime64_any_dtype(col.dtype):
                if getattr(col.dt, "tz", None) is not None:
                    col = col.dt.tz_convert("UTC").dt.tz_localize(None)
                seconds = (col - pd.Timestamp(0)) // pd.Timedelta(seconds=1)
                df.isetitem(i, seconds.astype(np.int64) if not seconds.isna().any() else seconds.astype(np.float64))
        return df

    def _numeric_frame(self, X):
        with module_output(), _quiet_date_guessing():
            df = self.preprocess_.transform(X)
            df = self._coerce(df)
            return self.ready_.transform(df)

    def fit(self, X, y=None):
        self._fit(X, y)
        return self

    def fit_transform(self, X, y=None):
        return self._fit(X, y)

    def _fit(self, X, y):
        tu = _tu()
        if not isinstance(X, pd.DataFrame):
            raise TypeError("PrepareTable expects a pandas DataFrame, got " + type(X).__name__)
        self.feature_names_in_ = np.asarray([str(c) for c in X.columns], dtype=object)
        X = X.set_axis(list(self.feature_names_in_), axis=1)
        with module_output(), _quiet_date_guessing():
            self.preprocess_ = tu.PreprocessDF()
            df = self.preprocess_.fit(X, y).transform(X)
            df = self._coerce(df)
            self.ready_ = tu.MakeDFReady().fit(df, y)
            df = self.ready_.transform(df)
        self.names_ = [str(c) for c in df.columns]
        self.dtypes_ = [np.dtype(df.iloc[:, i].dtype) for i in range(df.shape[1])]
        kept = set(self.names_)
        self.dropped_ = [c for c in self.feature_names_in_ if c not in kept]
        if not self.names_:
            raise DataError("no numeric feature column (non-numeric columns: " + _shortlist(self.dropped_) + ")")
        values, _ = self._values(df)
        finite = np.where(np.isfinite(values), values, np.nan)
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # an all-missing column
            medians = np.nanmedian(finite, axis=0) if values.shape[0] else np.zeros(values.shape[1])
        self.medians_ = np.where(np.isnan(medians), 0.0, medians)
        return self._table(self._fill(values))

    def _values(self, df):
        bad = 0
        cols = []
        for i in range(df.shape[1]):
            col = df.iloc[:, i]
            num = pd.to_numeric(col, errors="coerce")
            bad += int((num.isna() & col.notna()).sum())
            cols.append(num.to_numpy(dtype=np.float64, na_value=np.nan))
        values = np.column_stack(cols) if cols else np.empty((len(df), 0))
        return np.ascontiguousarray(values, dtype=np.float64), bad

    def _fill(self, values):
        missing = ~np.isfinite(values)
        if missing.any():
            values = values.copy()
            values[missing] = np.broadcast_to(self.medians_, values.shape)[missing]
        return values

    def _table(self, values):
        tu = _tu()
        lineage = [tu.DataUtils.get_json_for_name(n) for n in self.names_]
        return Table(values, self.names_, self.dtypes_, lineage, len(self.names_))

    def transform(self, X):
        if not isinstance(X, pd.DataFrame):
            raise TypeError("PrepareTable expects a pandas DataFrame, got " + type(X).__name__)
        X = X.set_axis([str(c) for c in X.columns], axis=1)
        missing = [c for c in self.names_ if c not in X.columns]
        if missing:
            raise DataError("missing column" + ("s " if len(missing) > 1 else " ") + _shortlist(repr(m) for m in missing))
        # Columns that the numeric filter left out at fit may be absent: they
        # only hold their places, since the filter keeps columns by position.
        X = X.reindex(columns=list(self.feature_names_in_))
        df = self._numeric_frame(X)
        values, self.unparsed_cells_ = self._values(df)
        return self._table(self._fill(values))


class TableValues(BaseEstimator, TransformerMixin):
    """:class:`Table` -> its array: the baseline pipeline's bridge to the model."""

    def fit(self, X, y=None):
        self.n_features_in_ = _as_table(X).shape[1]
        return self

    def transform(self, X):
        return _as_table(X).values


def _one_line(e):
    text = " ".join(str(e).split())
    return text if len(text) <= 200 else text[:197] + "..."


def _shortlist(items, limit=8):
    items = [str(i) for i in items]
    if len(items) <= limit:
        return ", ".join(items) if items else "none"
    return ", ".join(items[:limit]) + ", ... (" + str(len(items)) + " in all)"

