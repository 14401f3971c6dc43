"""Estimator-like feature makers wrapped by the transform catalogue.

Every class here is a scikit-learn estimator: constructible without
arguments, ``fit(X, y=None)`` returns the estimator, ``get_params``, ``clone``
and pickling work, and the learnt state sits in attributes ending with ``_``.
``X`` is a two-dimensional array (anything ``numpy.asarray`` accepts) with
the number of columns each class names; a one-column estimator also takes a
one-dimensional array.

==========================  =======  ===========================================
class                       columns  ``transform`` returns
==========================  =======  ===========================================
``Frequency``               1        (n, 1) float64: training count of the value
``GroupByMean`` ... ``Min``  2        (n,) float64: statistic of column 1 per
                                     group of column 0
``NXOR``                    2        (n,) int64: 1 when both columns are on the
                                     same side of their training medians
``ClusterDBSCAN``           any      (n, 1) float64: DBSCAN cluster label
``IsolationForestAnomaly``  any      (n, 1) float64: anomaly score
``Pair``                    2        (n,) int64: code of the observed pair
==========================  =======  ===========================================

The outputs are returned as they are: scikit-learn's ``set_output`` wrapping
is switched off, since several of them are one-dimensional.
"""

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.cluster import DBSCAN
from sklearn.ensemble import IsolationForest
from sklearn.neighbors import NearestNeighbors
from sklearn.preprocessing import StandardScaler
from sklearn.utils.validation import check_is_fitted

__all__ = [
    "Frequency",
    "Pair",
    "GroupByMean",
    "GroupByStd",
    "GroupByMedian",
    "GroupByMax",
    "GroupByMin",
    "NXOR",
    "ClusterDBSCAN",
    "IsolationForestAnomaly",
]


def _lookup(keys, table_keys, table_values, default):
    """``table_values`` at the position of each key in ``table_keys``.

    Keys absent from the table get ``default``.  Matching goes through a
    pandas hash index, so NaN matches NaN and integer keys match equal
    floats.  ``table_keys`` must hold distinct values.
    """
    positions = pd.Index(table_keys).get_indexer(keys)
    # The default sits after the last entry, where position -1 points.
    extended = np.append(np.asarray(table_values), default)
    return extended[positions]


def _distinct(values):
    """Distinct values of a column, in order of first appearance (NaN once)."""
    return np.asarray(pd.Index(values).unique())


class _ExtraTransformer(TransformerMixin, BaseEstimator, auto_wrap_output_keys=None):
    """Shared input checks of the estimators of this module."""

    def __init_subclass__(cls, auto_wrap_output_keys=None, **kwargs):
        # Keep set_output away from the subclasses' transform too: a wrapped
        # transform could not return the one-dimensional results as they are.
        super().__init_subclass__(auto_wrap_output_keys=auto_wrap_output_keys, **kwargs)

    #: Number of input columns the estimator takes; ``None`` means any number.
    _n_columns = None

    def _as_2d(self, X):
        X = np.asarray(X)
        if X.ndim == 1 and self._n_columns == 1:
            X = X.reshape(-1, 1)
        if X.ndim != 2 or (self._n_columns is not None and X.shape[1] != self._n_columns):
            wanted = "any number of" if self._n_columns is None else str(self._n_columns)
            raise ValueError(
                type(self).__name__ + " expects a 2-D array with " + wanted
                + " columns, got an array of shape " + str(X.shape)
            )
        return X

    def _as_2d_float(self, X):
        return self._as_2d(X).astype(np.float64)

    def _check_width(self, X):
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                type(self).__name__ + " was fitted on " + str(self.n_features_in_)
                + " columns, got " + str(X.shape[1])
            )


class Frequency(_ExtraTransformer):
    """Frequency encoding of one column.

    ``fit`` counts how often each value occurs in the column (NaN is a value
    of its own); ``transform`` replaces every value by its training count, as
    an (n, 1) float64 array.  Values never seen in training get 0.
    """

    _n_columns = 1

    def fit(self, X, y=None):
        column = self._as_2d(X)[:, 0]
        counts = pd.Series(column).value_counts(dropna=False)
        self.values_ = np.asarray(counts.index)
        self.counts_ = counts.to_numpy(dtype=np.float64)
        return self

    def transform(self, X):
        check_is_fitted(self)
        column = self._as_2d(X)[:, 0]
        return _lookup(column, self.values_, self.counts_, 0.0).reshape(-1, 1)


class _GroupByStatistic(_ExtraTransformer):
    """Statistic of column 1 within each group of equal values of column 0.

    ``fit`` learns, for every distinct value of column 0 (NaN forms a group
    of its own), the statistic of the column-1 values of that group, skipping
    NaN values, and the same statistic over the whole training column 1.
    ``transform`` returns, for each row, the learnt statistic of the row's
    group as a one-dimensional float64 array; rows whose group was never seen
    get the whole-column statistic.  A group whose values are all NaN has a
    NaN statistic.
    """

    _n_columns = 2
    #: Name of the pandas reduction (``Series.mean``, ``GroupBy.mean``, ...).
    _statistic = None
    _statistic_kwargs = {}

    def _reduce(self, obj):
        return getattr(obj, self._statistic)(**self._statistic_kwargs)

    def fit(self, X, y=None):
        X = self._as_2d(X)
        values = pd.Series(X[:, 1].astype(np.float64))
        per_group = self._reduce(values.groupby(X[:, 0], dropna=False, sort=False))
        self.group_keys_ = np.asarray(per_group.index)
        self.group_values_ = per_group.to_numpy(dtype=np.float64)
        self.overall_ = float(self._reduce(values))
        return self

    def transform(self, X):
        check_is_fitted(self)
        X = self._as_2d(X)
        return _lookup(X[:, 0], self.group_keys_, self.group_values_, self.overall_)


class GroupByMean(_GroupByStatistic):
    """Mean of column 1 per group of column 0 (see ``_GroupByStatistic``)."""

    _statistic = "mean"


class GroupByStd(_GroupByStatistic):
    """Population standard deviation (ddof=0) of column 1 per group of column 0.

    A group of one value has deviation 0.  See ``_GroupByStatistic``.
    """

    _statistic = "std"
    _statistic_kwargs = {"ddof": 0}


class GroupByMedian(_GroupByStatistic):
    """Median of column 1 per group of column 0 (see ``_GroupByStatistic``)."""

    _statistic = "median"


class GroupByMax(_GroupByStatistic):
    """Maximum of column 1 per group of column 0 (see ``_GroupByStatistic``)."""

    _statistic = "max"


class GroupByMin(_GroupByStatistic):
    """Minimum of column 1 per group of column 0 (see ``_GroupByStatistic``)."""

    _statistic = "min"


class NXOR(_ExtraTransformer):
    """Agreement of two columns about being above their medians.

    ``fit`` learns the median of each of the two columns (NaN skipped).
    ``transform`` binarises each column, 1 where the value is greater than the
    column's training median and 0 otherwise (NaN counts as 0), and returns
    the logical XNOR of the two bits as a one-dimensional int64 array: 1 where
    both values are above their medians or both are not, 0 where exactly one
    is.
    """

    _n_columns = 2

    def fit(self, X, y=None):
        X = self._as_2d_float(X)
        self.medians_ = np.array([pd.Series(X[:, j]).median() for j in range(2)], dtype=np.float64)
        return self

    def transform(self, X):
        check_is_fitted(self)
        X = self._as_2d_float(X)
        above = X > self.medians_
        return (above[:, 0] == above[:, 1]).astype(np.int64)


def _median_fill_values(X):
    """Median of the finite values of each column; 0 for a column without any."""
    finite = np.where(np.isfinite(X), X, np.nan)
    medians = pd.DataFrame(finite).median().to_numpy(dtype=np.float64)
    return np.where(np.isnan(medians), 0.0, medians)


def _fill_non_finite(X, fill_values):
    return np.where(np.isfinite(X), X, fill_values)


class ClusterDBSCAN(_ExtraTransformer):
    """DBSCAN cluster label of every row, on standardised columns.

    ``fit`` replaces missing and infinite values by the column's median,
    standardises each column to mean 0 and variance 1 (constant columns are
    only centred), and runs ``sklearn.cluster.DBSCAN(eps, min_samples)``.
    It keeps the core samples and their cluster labels.

    ``transform`` prepares rows the same way, with the training medians and
    scaling, and gives each row the label of its nearest core sample when that
    sample lies within ``eps`` (distance <= eps), else -1 (noise).  For the
    training rows this reproduces DBSCAN's labels, up to border points within
    reach of two clusters.  Without any core sample every row gets -1.
    Returns an (n, 1) float64 array.
    """

    def __init__(self, eps=0.5, min_samples=5):
        self.eps = eps
        self.min_samples = min_samples

    def _prepare(self, X):
        return self.scaler_.transform(_fill_non_finite(X, self.fill_values_))

    def fit(self, X, y=None):
        X = self._as_2d_float(X)
        self.n_features_in_ = X.shape[1]
        self.fill_values_ = _median_fill_values(X)
        self.scaler_ = StandardScaler().fit(_fill_non_finite(X, self.fill_values_))
        Z = self._prepare(X)
        db = DBSCAN(eps=self.eps, min_samples=self.min_samples).fit(Z)
        core = db.core_sample_indices_
        self.core_samples_ = Z[core]
        self.core_sample_labels_ = db.labels_[core].astype(np.int64)
        self.neighbors_ = NearestNeighbors(n_neighbors=1).fit(self.core_samples_) if core.size else None
        return self

    def transform(self, X):
        check_is_fitted(self)
        X = self._as_2d_float(X)
        self._check_width(X)
        labels = np.full(X.shape[0], -1.0)
        if self.neighbors_ is not None and X.shape[0]:
            dist, idx = self.neighbors_.kneighbors(self._prepare(X))
            within = dist[:, 0] <= self.eps
            labels[within] = self.core_sample_labels_[idx[within, 0]]
        return labels.reshape(-1, 1)


class IsolationForestAnomaly(_ExtraTransformer):
    """Isolation-forest anomaly score of every row.

    ``fit`` replaces missing and infinite values by the column's median and
    fits ``sklearn.ensemble.IsolationForest(n_estimators, random_state)``.
    ``transform`` returns ``-score_samples(X)`` as an (n, 1) float64 array:
    the anomaly score of the original isolation-forest method, in (0, 1],
    around 0.5 or below for ordinary rows and approaching 1 for rows that are
    isolated quickly.  Higher means more anomalous.  The default
    ``random_state=0`` makes the scores reproducible.
    """

    def __init__(self, n_estimators=100, random_state=0):
        self.n_estimators = n_estimators
        self.random_state = random_state

    def fit(self, X, y=None):
        X = self._as_2d_float(X)
        self.n_features_in_ = X.shape[1]
        self.fill_values_ = _median_fill_values(X)
        self.forest_ = IsolationForest(n_estimators=self.n_estimators, random_state=self.random_state)
        self.forest_.fit(_fill_non_finite(X, self.fill_values_))
        return self

    def transform(self, X):
        check_is_fitted(self)
        X = self._as_2d_float(X)
        self._check_width(X)
        scores = -self.forest_.score_samples(_fill_non_finite(X, self.fill_values_))
        return scores.astype(np.float64).reshape(-1, 1)


class Pair(_ExtraTransformer):
    """Integer code of each pair of values observed in training.

    ``fit`` numbers the distinct pairs ``(X[i, 0], X[i, 1])`` 0, 1, 2, ... in
    order of first appearance (NaN is a value like any other).
    ``transform`` returns each row's pair code as a one-dimensional int64
    array, and -1 for pairs not seen in training.
    """

    _n_columns = 2

    def fit(self, X, y=None):
        X = self._as_2d(X)
        self.first_values_ = _distinct(X[:, 0])
        self.second_values_ = _distinct(X[:, 1])
        keys = self._pair_keys(X)
        self.pair_keys_ = np.asarray(pd.Index(keys).unique(), dtype=np.int64)
        return self

    def _pair_keys(self, X):
        first = pd.Index(self.first_values_).get_indexer(X[:, 0]).astype(np.int64)
        second = pd.Index(self.second_values_).get_indexer(X[:, 1]).astype(np.int64)
        keys = first * len(self.second_values_) + second
        # -1 marks a value never seen; no real pair has a negative key.
        return np.where((first < 0) | (second < 0), -1, keys)

    def transform(self, X):
        check_is_fitted(self)
        keys = self._pair_keys(self._as_2d(X))
        codes = pd.Index(self.pair_keys_).get_indexer(keys).astype(np.int64)
        return np.where(keys < 0, -1, codes)
