"""The search of the transform catalogue as it was before ``karrow_libs.search``: rounds, then FS1/FS2.

Used by the command only while ``karrow_libs.pipeline`` is not installed.
:class:`LegacySearch` has the interface of ``karrow_libs.search.FeatureSearch``
(``fit(table, y, progress=None)``, ``transform``, ``kept_``,
``candidate_stats_``, ``score_name_``, ``scored_against_``) over rounds of
:class:`TransformRound` and a :class:`SelectFeatures` step.
"""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs.table import DataError, Table, module_output

from .messages import one_line

__all__ = ["LegacySearch", "TransformRound", "SelectFeatures", "make_pipeline", "make_baseline"]

DEFAULT_TRANSFORMS = ("sqrt", "log", "square", "product", "sum", "diff", "divide")


def _tu():
    # The compiled module is imported on first use.
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils


def _as_table(X):
    if not isinstance(X, Table):
        raise TypeError("expected a Table from the 'prepare' step, got " + type(X).__name__)
    return X


def _no_candidates(t):
    """True when a fitted transform chose nothing to apply its function to."""
    for attr in ("colids_", "colid_pairs_", "candidates_", "cands"):
        chosen = getattr(t, attr, None)
        if chosen is not None:
            return len(chosen) == 0
    return False


def _block(result, rows):
    """A transform's new columns as a 2-d float64 array."""
    if isinstance(result, list) and not result:
        return np.empty((rows, 0))
    block = np.asarray(result)
    if block.ndim == 1:
        block = block[:, None]
    return np.asarray(block, dtype=np.float64)


class TransformRound(BaseEstimator, TransformerMixin):
    """One round of catalogue transforms over a :class:`Table`.

    Each transform named in ``transforms`` is built with
    ``TransformBase.GetTransformObj`` and a ``TransformGraph`` shared by the
    round (so constraint answers are computed once per column), fitted on the
    round's input table and asked for its new columns only.  The output table
    is the input followed by the new columns of every transform, in the order
    of ``transforms``.  New columns that are constant, or an exact or rescaled
    copy of a column already in the table (``product(b, a)`` next to
    ``product(a, b)``, ``minmaxscaler(x)`` next to ``x``), are dropped at fit
    and left out of the output from then on.

    Parameters
    ----------
    transforms : tuple of str
        Catalogue names.
    max_per_transform : int or None
        ``max_feature_generate_one_node`` of the graph: how many columns or
        column tuples one transform may use (a reproducible sample); ``None``
        for all of them.
    n_jobs : int
        With more than one, the transforms that can spread their columns over
        a process pool do so with this many workers.
    strict : bool
        Re-raise a transform's error instead of skipping the transform.
    """

    def __init__(self, transforms=("sqrt", "log", "product"), max_per_transform=None, n_jobs=1, strict=False):
        self.transforms = transforms
        self.max_per_transform = max_per_transform
        self.n_jobs = n_jobs
        self.strict = strict

    def fit(self, X, y=None):
        self.fit_transform(X, y)
        return self

    def fit_transform(self, X, y=None, on_step=None, echo=None):
        """Fit every transform on ``X`` and return the extended table.

        ``on_step(name)`` is called before each transform (a progress bar);
        ``echo`` receives what the module prints.
        """
        from karrow_libs.vantor.transforms.transform_graph import TransformGraph

        tu = _tu()
        table = _as_table(X)
        rows = table.shape[0]
        self.graph_ = TransformGraph(
            max_feature_generate_one_node=self.max_per_transform,
            multiprocessing=self.n_jobs > 1,
        )
        self.fitted_ = []  # (name, transform, indices of the kept new columns)
        self.origins_ = []  # the transform name of each new column
        self.skipped_ = []  # (name, reason)
        self.generated_ = 0
        self.dropped_ = 0
        self.stats_ = []  # (name, columns generated, constant or copies dropped)
        seen = _ColumnSet(table.values)
        names = list(table.names)
        dtypes = list(table.dtypes)
        lineage = list(table.lineage)
        blocks = [table.values]
        for name in self.transforms:
            if on_step is not None:
                on_step(name)
            t = tu.TransformBase.GetTransformObj(name, self.graph_)
            if t is None:
                raise ValueError("unknown transform " + repr(name))
            try:
                with module_output(echo):
                    t.fit(table.values, y, list(table.names), list(table.dtypes), list(table.lineage))
                    if _no_candidates(t):
                        self.skipped_.append((name, "no eligible column"))
                        continue
                    block = _block(t.transform(table.values, self.n_jobs, True), rows)
                new_names = list(getattr(t, "new_column_names_", []))
                if block.shape != (rows, len(new_names)):
                    raise ValueError(
                        "returned " + str(block.shape[1]) + " columns for " + str(len(new_names)) + " names")
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception as e:
                if self.strict:
                    raise
                self.skipped_.append((name, type(e).__name__ + ": " + one_line(e, 200)))
                continue
            if block.shape[1] == 0:
                self.skipped_.append((name, "no eligible column"))
                continue
            self.generated_ += block.shape[1]
            keep = [j for j in range(block.shape[1]) if seen.add_if_new(block[:, j])]
            self.dropped_ += block.shape[1] - len(keep)
            self.stats_.append((name, block.shape[1], block.shape[1] - len(keep)))
            if not keep:
                self.skipped_.append((name, "only constant columns or copies"))
                continue
            new_dtypes = list(t.new_column_dtypes_)
            new_lineage = list(t.new_column_as_json_objects_)
            for j in keep:
                # Names are unique within one transform; two transforms of one
                # round could still propose the same name.
                names.append(tu.DataUtils.get_unique_column_name(str(new_names[j]), names))
                dtypes.append(np.dtype(new_dtypes[j]))
                lineage.append(new_lineage[j])
            blocks.append(block[:, keep])
            self.fitted_.append((name, t, keep))
            self.origins_.extend([name] * len(keep))
        self.names_ = names
        self.dtypes_ = dtypes
        self.lineage_ = lineage
        self.n_features_in_ = table.shape[1]
        return Table(np.concatenate(blocks, axis=1) if len(blocks) > 1 else table.values,
                     names, dtypes, lineage, table.n_inputs)

    def transform(self, X):
        table = _as_table(X)
        if table.shape[1] != self.n_features_in_:
            raise DataError("expected " + str(self.n_features_in_) + " columns, got " + str(table.shape[1]))
        blocks = [table.values]
        for name, t, keep in self.fitted_:
            with module_output():
                block = _block(t.transform(table.values, self.n_jobs, True), table.shape[0])
            blocks.append(block[:, keep])
        return Table(np.concatenate(blocks, axis=1) if len(blocks) > 1 else table.values,
                     self.names_, self.dtypes_, self.lineage_, table.n_inputs)


class _ColumnSet:
    """The columns of a table so far, to spot new columns that add nothing.

    A new column adds nothing when it is constant, or when it is an exact or
    rescaled copy of a column already present (correlation +1 or -1:
    ``product(b, a)`` next to ``product(a, b)``, ``minmaxscaler(x)`` next to
    ``x``, ``round(n)`` of an integer column): the F-test, the forest and the
    scaled linear model all see such a copy as the same column.

    Candidates are found on an evenly spaced sample of at most ``SAMPLE``
    rows (one matrix-vector product per new column) and confirmed on all rows.
    """

    SAMPLE = 1000
    TOLERANCE = 1e-9

    def __init__(self, values):
        n = values.shape[0]
        self._rows = np.unique(np.linspace(0, max(n - 1, 0), min(n, self.SAMPLE)).astype(np.intp))
        self._columns = []
        self._sample = np.empty((len(self._rows), 0))
        self._pending = []
        for j in range(values.shape[1]):
            self._insert(values[:, j])

    @staticmethod
    def _standard(col):
        sd = col.std()
        if not np.isfinite(sd) or sd == 0:
            return None
        return (col - col.mean()) / sd

    def _insert(self, col):
        z = self._standard(col[self._rows])
        self._columns.append(col)
        self._pending.append(np.zeros(len(self._rows)) if z is None else z)

    def _flush(self):
        if self._pending:
            self._sample = np.column_stack([self._sample] + self._pending)
            self._pending = []

    def add_if_new(self, col):
        """Record ``col`` and return True, unless it is constant or a copy of a recorded column."""
        col = np.asarray(col, dtype=np.float64)
        if col.size == 0 or np.all(col == col[0]):
            return False
        z = self._standard(col[self._rows])
        if z is not None:
            self._flush()
            with np.errstate(all="ignore"):
                similarity = np.abs(self._sample.T @ z) / len(self._rows)
            for k in np.flatnonzero(similarity > 1 - 1e-6):
                other = self._standard(self._columns[k])
                mine = self._standard(col)
                if other is not None and mine is not None and abs(float(np.mean(other * mine))) > 1 - self.TOLERANCE:
                    return False
        self._insert(col)
        return True


class SelectFeatures(BaseEstimator, TransformerMixin):
    """Keep the input columns plus the best ``keep`` derived ones.

    ``FS1`` scores columns by a univariate F-test; ``FS2`` by the feature
    importances of a random forest (a regressor or a classifier, after
    ``task``).  The input columns (the table's first ``n_inputs``) are always
    kept.  ``keep`` is the selectors' ``additional_col_count_to_keep``: a
    count, or 0 for "those scoring above the mean score".

    Parameters
    ----------
    keep : int
    selector : {"fs1", "fs2"}
    task : {"regression", "classification"}
    """

    def __init__(self, keep=10, selector="fs1", task="regression"):
        self.keep = keep
        self.selector = selector
        self.task = task

    def _make(self, n_inputs):
        tu = _tu()
        must = list(range(n_inputs))
        if self.selector == "fs1":
            return tu.FS1(must, self.keep, self.task)
        if self.selector == "fs2":
            from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

            forest = RandomForestClassifier if self.task == "classification" else RandomForestRegressor
            return tu.FS2(must, self.keep, self.task, forest)
        raise ValueError("unknown selector " + repr(self.selector))

    def fit(self, X, y=None, echo=None):
        table = _as_table(X)
        sel = self._make(table.n_inputs)
        with module_output(echo):
            sel.fit(table.values, y)
        # Read by FS1's error report when a later table does not fit.
        sel.cols_in_base_ds_ = list(table.names)
        self.selector_ = sel
        self.columns_ = [int(c) for c in sel.cols_to_keep_final_]
        self.n_inputs_ = table.n_inputs
        self.names_ = [table.names[c] for c in self.columns_]
        self.lineage_ = [table.lineage[c] for c in self.columns_]
        self.n_features_in_ = table.shape[1]
        return self

    def fit_transform(self, X, y=None, echo=None):
        return self.fit(X, y, echo=echo).transform(X)

    def transform(self, X):
        table = _as_table(X)
        with module_output():
            return np.asarray(self.selector_.transform(table.values))

    def get_feature_names_out(self, input_features=None):
        return np.asarray(self.names_, dtype=object)


class LegacySearch(BaseEstimator, TransformerMixin):
    """Rounds of catalogue transforms, then FS1 or FS2 (``selector="gain"`` falls back to FS1)."""

    def __init__(self, transforms=DEFAULT_TRANSFORMS, task="regression", selector="fs1", keep=10, depth=1,
                 max_per_transform=0, seed=0, n_jobs=1):
        self.transforms = transforms
        self.task = task
        self.selector = selector
        self.keep = keep
        self.depth = depth
        self.max_per_transform = max_per_transform
        self.seed = seed
        self.n_jobs = n_jobs

    def fit(self, X, y=None, progress=None):
        table = _as_table(X)
        self.n_inputs_ = table.n_inputs
        total = len(self.transforms) * self.depth + 1
        self.rounds_ = []
        self.candidate_stats_ = []
        origins = [None] * table.shape[1]
        for r in range(1, self.depth + 1):
            rnd = TransformRound(tuple(self.transforms), self.max_per_transform or None, self.n_jobs)

            def step(name, r=r):
                if progress is not None:
                    done = (r - 1) * len(self.transforms) + len(rnd.stats_) + len(rnd.skipped_)
                    progress(done, total, "round " + str(r) + ": " + name)

            table = rnd.fit_transform(table, y, on_step=step)
            self.rounds_.append(rnd)
            origins.extend(rnd.origins_)
            for name, generated, dropped in rnd.stats_:
                self.candidate_stats_.append({"round": r, "transform": name, "considered": generated,
                                              "constant": None, "copies": dropped, "skipped": None})
            for name, reason in rnd.skipped_:
                self.candidate_stats_.append({"round": r, "transform": name, "considered": None,
                                              "constant": None, "copies": None, "skipped": reason})
        if progress is not None:
            progress(total - 1, total, "selection")
        selector = self.selector if self.selector in ("fs1", "fs2") else "fs1"
        self.select_ = SelectFeatures(self.keep, selector, self.task).fit(table, y)
        scores = _scores(table, y, selector, self.task)
        derived = [c for c in self.select_.columns_ if c >= table.n_inputs]
        self.kept_ = [{"name": table.names[c], "lineage": table.lineage[c], "score": float(scores[c]),
                       "transform": origins[c], "round": None} for c in derived]
        self.score_name_ = "F-score" if selector == "fs1" else "importance"
        self.scored_against_ = ("F-test of each column against the target" if selector == "fs1"
                                else "random-forest importance of each column for the target")
        self.sampled_rows_ = None
        return self

    def transform(self, X):
        table = _as_table(X)
        for rnd in self.rounds_:
            table = rnd.transform(table)
        cols = self.select_.columns_
        return Table(np.ascontiguousarray(table.values[:, cols]), [table.names[c] for c in cols],
                     [table.dtypes[c] for c in cols], [table.lineage[c] for c in cols], table.n_inputs)


def _scores(table, y, selector, task):
    """One score per column of ``table``: what the selector ranked the columns by."""
    if selector == "fs1":
        from sklearn.feature_selection import SelectKBest, f_classif, f_regression

        score = f_classif if task == "classification" else f_regression
        scores = SelectKBest(score, k="all").fit(table.values, y).scores_
        return np.where(np.isnan(scores), 0.0, scores)
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    forest = RandomForestClassifier if task == "classification" else RandomForestRegressor
    return forest(random_state=7).fit(table.values, y).feature_importances_


def default_model(task):
    from sklearn.linear_model import LogisticRegression, Ridge

    return LogisticRegression(max_iter=2000) if task == "classification" else Ridge(alpha=1.0)


def make_baseline(task, *, target_name=None, model=None):
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    from karrow_libs.prepare import PrepareFrame, TableValues

    return Pipeline([("prepare", PrepareFrame(target_name)), ("values", TableValues()),
                     ("scale", StandardScaler()), ("model", model or default_model(task))])


def make_pipeline(task, *, target_name=None, model=None, **search_options):
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    from karrow_libs.prepare import PrepareFrame, TableValues

    search_options.pop("block_mib", None)
    return Pipeline([("prepare", PrepareFrame(target_name)), ("search", LegacySearch(task=task, **search_options)),
                     ("values", TableValues()), ("scale", StandardScaler()),
                     ("model", model or default_model(task))])
