"""Fit on a sample, score exactly over every row, apply partition by partition.

A fitted pipeline is small (the preparation's medians and levels, the kept
transforms, a linear model); the rows are not.  So, as in scikit-learn
wrappers that fit in memory and predict per partition:

- a reproducible sample of rows is drawn across all partitions (one pass);
- the preparation and the model are fitted on it, and the search screens its
  candidates on it;
- the search's shortlist is rescored exactly on every row: each partition is
  prepared and reduced to the scorer's additive statistics, and those are
  summed (one more pass, which reads each partition once);
- ``transform`` and ``predict`` map the fitted pipeline over the partitions.
"""

import time
from karrow_libs.table import quiet_warnings

import numpy as np
import pandas as pd

from karrow_libs.table import DataError, module_output

from .cluster import computing
from .io import whole_numbers_as_int

__all__ = ["DEFAULT_SAMPLE_ROWS", "sample", "fit", "transform", "predict", "prediction_columns", "PartitionRescore",
           "FitInfo"]

#: Rows the preparation, the screening and the model are fitted on.
DEFAULT_SAMPLE_ROWS = 100_000

#: How many partial results one task of a tree reduction combines.
SPLIT_EVERY = 8


def _delayed():
    import dask

    return dask.delayed


def _tree(leaves, combine):
    """Reduce delayed ``leaves`` with ``combine(list) -> value``, ``SPLIT_EVERY`` at a time (at least once)."""
    delayed = _delayed()
    level = list(leaves)
    while True:
        level = [delayed(combine, pure=True)(level[i:i + SPLIT_EVERY])
                 for i in range(0, max(len(level), 1), SPLIT_EVERY)]
        if len(level) == 1:
            return level[0]


def _compute(obj, what):
    import dask

    with computing(what):
        return dask.compute(obj)[0]


# --------------------------------------------------------------------------
# sample


def _bottom_rows(part, index, seed, n_rows):
    """The ``n_rows`` rows of partition ``index`` with the smallest random keys.

    Keys are uniform numbers drawn from a generator seeded by (seed, index),
    so the sample depends only on the seed and the partitioning.  The rows
    with the ``n_rows`` smallest keys of the whole table are a uniform sample
    without replacement, and they are among the smallest of their partition.
    """
    keys = np.random.default_rng([int(seed), int(index)]).random(len(part))
    if len(part) > n_rows:
        pos = np.sort(np.argpartition(keys, n_rows - 1)[:n_rows])
    else:
        pos = np.arange(len(part))
    rows = part.iloc[pos].reset_index(drop=True)
    return {"keys": keys[pos], "part": np.full(len(pos), index, dtype=np.int64), "pos": pos.astype(np.int64),
            "rows": rows, "counts": [(int(index), len(part))]}


def _smallest(n_rows):
    def combine(pieces):
        pieces = [p for p in pieces if p is not None]
        if not pieces:
            return None
        keys = np.concatenate([p["keys"] for p in pieces])
        order = np.argsort(keys, kind="stable")[:n_rows]
        frames = [p["rows"] for p in pieces]
        rows = pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]
        return {"keys": keys[order], "part": np.concatenate([p["part"] for p in pieces])[order],
                "pos": np.concatenate([p["pos"] for p in pieces])[order],
                "rows": rows.iloc[order].reset_index(drop=True),
                "counts": [c for p in pieces for c in p["counts"]]}

    combine.__name__ = "smallest_keys"
    return combine


def sample(ddf, n_rows=DEFAULT_SAMPLE_ROWS, seed=0):
    """(rows, partition_lengths): a reproducible uniform sample of ``n_rows`` rows drawn across all partitions.

    One pass over the data.  The rows come in the table's order; with
    ``n_rows`` at least the table's length they are the whole table.
    ``partition_lengths`` lists the rows of every partition.
    """
    n_rows = int(n_rows)
    if n_rows < 1:
        raise ValueError("n_rows must be >= 1, got " + str(n_rows))
    delayed = _delayed()
    leaves = [delayed(_bottom_rows, pure=True)(p, i, seed, n_rows) for i, p in enumerate(ddf.to_delayed())]
    res = _compute(_tree(leaves, _smallest(n_rows)), "drawing the sample")
    if res is None:
        raise DataError("the table has no partitions")
    lengths = [n for _, n in sorted(res["counts"])]
    order = np.lexsort((res["pos"], res["part"]))
    rows = res["rows"].iloc[order].reset_index(drop=True)
    return rows, lengths


# --------------------------------------------------------------------------
# target


def _missing(series):
    from karrow_libs.prepare._columns import text_missing

    return text_missing(series)


def target_values(series, task):
    """(mask of rows with a target, y for those rows) for a partition, by the rules ``prepare_target`` applied to the sample.

    Missing cells, missing-value markers and infinite numbers have no target;
    regression targets are float64; class labels are whole numbers as int64,
    booleans, or stripped text.  Unlike the checks on the whole sample, a
    partition may hold a single class, or a single row.
    """
    numeric = pd.api.types.is_numeric_dtype(series.dtype) and not pd.api.types.is_bool_dtype(series.dtype)
    if numeric:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    elif pd.api.types.is_bool_dtype(series.dtype) and task != "regression":
        mask = series.notna().to_numpy()
        return mask, series[mask].to_numpy(dtype=bool)
    else:
        obj = series.astype(object)
        present = ~_missing(obj)
        values = pd.to_numeric(obj.where(present, None), errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        # Text labels, unless every present cell is a number (numbers read as text).
        numeric = task == "regression" or bool(np.isfinite(values[present]).all())
        if not numeric:
            labels = [v.strip() if isinstance(v, str) else v for v in obj[present]]
            return present, np.asarray(labels, dtype=object).astype(str)
    mask = np.isfinite(values)
    y = values[mask]
    if task != "regression" and np.all(np.floor(y) == y):
        y = y.astype(np.int64)
    return mask, y


def _features(part, target):
    X = part.drop(columns=[target]) if target is not None and target in part.columns else part
    return whole_numbers_as_int(X)


# --------------------------------------------------------------------------
# exact rescoring


def _partition_stats(part, prepare, scorer, target, task, y_map):
    mask, y = target_values(part[target], task)
    if y_map is not None:
        y = y_map(y)
    if not mask.any():
        return None, 0
    X = _features(part.loc[mask] if not mask.all() else part, target)
    with module_output(), quiet_warnings():
        table = prepare.transform(X)
        return scorer.partial(table, y), len(y)


def _sum_stats(pieces):
    total, rows = None, 0
    for stats, n in pieces:
        rows += n
        if stats is not None:
            total = stats if total is None else total + stats
    return total, rows


class PartitionRescore:
    """The search's ``rescore`` hook: a scorer's statistics summed over every partition.

    ``rescore(scorer)`` prepares each partition with the fitted ``prepare``,
    asks ``scorer.partial(table, y)`` for its additive statistics and adds
    them up in a tree; each call is a single pass that reads each partition
    once.  ``calls``, ``rows`` (of the last call) and ``seconds`` are kept for
    the report.
    """

    def __init__(self, ddf, prepare, target, task, y_map=None):
        self.ddf = ddf
        self.prepare = prepare
        self.target = target
        self.task = task
        self.y_map = y_map
        self.calls = 0
        self.rows = 0
        self.seconds = 0.0

    def __call__(self, scorer):
        delayed = _delayed()
        start = time.perf_counter()
        prepare = delayed(self.prepare, pure=True)
        scorer = delayed(scorer, pure=True)
        leaves = [delayed(_partition_stats, pure=True)(p, prepare, scorer, self.target, self.task, self.y_map)
                  for p in self.ddf.to_delayed()]
        total, rows = _compute(_tree(leaves, _sum_stats), "rescoring the shortlist on every row")
        self.calls += 1
        self.rows = rows
        self.seconds += time.perf_counter() - start
        if total is None:
            raise DataError("no row has a target value")
        return total


# --------------------------------------------------------------------------
# fit


class FitInfo:
    """What :func:`fit` did, for a report.

    ``task``; ``rows`` and ``partitions`` of the table; ``sample_rows`` fitted
    on (after ``sample_dropped`` rows without a target); ``rescore_passes``
    over every row and ``rescored_rows`` (rows with a target); seconds spent
    sampling, rescoring and in all; ``sample`` = (X, y) of the sample, for a
    cross-validation in memory.
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def __repr__(self):
        return "FitInfo(" + ", ".join(k + "=" + repr(v) for k, v in self.__dict__.items() if k != "sample") + ")"


def fit(ddf, target, *, sample_rows=DEFAULT_SAMPLE_ROWS, seed=0, task=None, model=None, progress=None,
        return_info=False, **search_options):
    """A fitted scikit-learn ``Pipeline`` for the dask DataFrame ``ddf`` (target column ``target``).

    The preparation, the search's screening and the model are fitted on a
    reproducible sample of ``sample_rows`` rows drawn across all partitions
    (``seed`` seeds the sample and the search); the search's shortlist is
    then rescored exactly over every row through its ``rescore`` hook.
    ``search_options`` go to ``FeatureSearch`` (``transforms``, ``keep``,
    ``depth``, ``selector``, ...).  With ``return_info`` the result is
    ``(pipeline, FitInfo)``.
    """
    from karrow_libs.pipeline import make_pipeline
    from karrow_libs.prepare import prepare_target

    start = time.perf_counter()
    target = str(target)
    columns = [str(c) for c in ddf.columns]
    if target not in columns:
        raise DataError("no column " + repr(target) + " in the table (columns: " + _shortlist(columns) + ")")
    rows, lengths = sample(ddf, sample_rows, seed)
    sampled_at = time.perf_counter()
    rows.columns = [str(c) for c in rows.columns]
    y, task, target_info = prepare_target(rows[target], task)
    kept = target_info.get("kept_rows")
    X = rows.drop(columns=[target])
    if kept is not None:
        X = X.loc[np.asarray(kept, dtype=bool)].reset_index(drop=True)
    X = whole_numbers_as_int(X)

    search_options.setdefault("seed", seed)
    pipeline = make_pipeline(task, target_name=target, model=model, **search_options)
    steps = pipeline.steps
    with quiet_warnings():
        prepare = steps[0][1]
        table = prepare.fit_transform(X, y)
        rescore = PartitionRescore(ddf, prepare, target, task, y_map=_label_map(rows[target], y, task))
        search = pipeline.named_steps["search"]
        search.fit(table, y, progress=progress, rescore=rescore)
        out = search.transform(table)
        for _, step in steps[2:-1]:
            out = step.fit_transform(out, y)
        with module_output():
            steps[-1][1].fit(out, y)
    if not return_info:
        return pipeline
    info = FitInfo(task=task, rows=int(sum(lengths)), partitions=len(lengths), sample_rows=int(len(y)),
                   sample_dropped=int(target_info.get("dropped_rows", 0) or 0),
                   rescore_passes=rescore.calls, rescored_rows=rescore.rows,
                   sample_seconds=sampled_at - start, rescore_seconds=rescore.seconds,
                   seconds=time.perf_counter() - start, sample=(X, y))
    return pipeline, info


def _label_map(raw, y, task):
    """A picklable function turning a partition's raw labels into the labels ``prepare_target`` gave the sample.

    None when they are the same (regression, or labels kept as they were).
    """
    if task == "regression":
        return None
    _, raw_y = target_values(raw, task)
    if len(raw_y) != len(y):
        raise DataError("the sample's target rows changed in preparation; cannot map the partitions' labels")
    if np.array_equal(np.asarray(raw_y, dtype=object), np.asarray(y, dtype=object)):
        return None
    mapping = {}
    for r, v in zip(raw_y.tolist(), np.asarray(y).tolist()):
        mapping.setdefault(r, v)
    return _LabelMap(mapping)


class _LabelMap:
    def __init__(self, mapping):
        self.mapping = mapping

    def __call__(self, labels):
        return np.asarray([self.mapping.get(v, v) for v in labels])


def _shortlist(items, limit=10):
    items = [str(i) for i in items]
    if len(items) <= limit:
        return ", ".join(items)
    return ", ".join(items[:limit]) + ", ... (" + str(len(items)) + " in all)"


# --------------------------------------------------------------------------
# transform / predict


def _feature_steps(pipeline):
    steps = pipeline.steps
    names = [n for n, _ in steps]
    end = names.index("search") + 1 if "search" in names else 1
    return [s for _, s in steps[:end]]


def _engineer_part(part, steps, target, target_label, task=None):
    if task is not None and target in part.columns:
        mask, _ = target_values(part[target], task)
        if not mask.all():
            part = part.loc[mask]
    X = _features(part, target)
    with module_output(), quiet_warnings():
        table = X
        for step in steps:
            table = step.transform(table)
    out = pd.DataFrame(np.asarray(table.values, dtype=np.float64), columns=list(table.names))
    if target is not None and target in part.columns:
        out[target_label] = part[target].to_numpy()
    return out


def _predict_part(part, pipeline, target, names, proba, id_column, id_label):
    X = _features(part, target)
    if len(X) == 0:
        return _empty_predictions(pipeline, names, proba, part, id_column, id_label)
    with module_output(), quiet_warnings():
        if proba:
            values = np.asarray(pipeline.predict_proba(X), dtype=np.float64)
            out = pd.DataFrame({n: values[:, j] for j, n in enumerate(names)})
        else:
            out = pd.DataFrame({names[0]: np.asarray(pipeline.predict(X))})
    if id_column is not None:
        out.insert(0, id_label, part[id_column].to_numpy())
    return out


def _empty_predictions(pipeline, names, proba, part, id_column, id_label):
    dtype = np.dtype(np.float64) if proba else _prediction_dtype(pipeline)
    out = pd.DataFrame({n: np.empty(0, dtype=dtype) for n in names})
    if id_column is not None:
        out.insert(0, id_label, part[id_column].to_numpy())
    return out


def _prediction_dtype(pipeline):
    classes = getattr(pipeline.steps[-1][1], "classes_", None)
    return np.asarray(classes).dtype if classes is not None else np.dtype(np.float64)


def _target_name(pipeline):
    return getattr(pipeline.steps[0][1], "target_name", None)


def _first_rows(ddf, n=20):
    """A few rows of the first non-empty partition, to learn the output's columns (one partition is read)."""
    for i in range(min(ddf.npartitions, 4)):
        head = _compute(ddf.partitions[i].head(n, compute=False), "reading the first rows")
        if len(head):
            return head
    raise DataError("the table has no rows")


def _map(ddf, func, meta_rows, *args):
    import dask

    delayed_args = [dask.delayed(a, pure=True) if not isinstance(a, (str, type(None))) else a for a in args]
    meta = func(meta_rows, *args).iloc[:0]
    return ddf.map_partitions(func, *delayed_args, meta=meta)


def transform(ddf, pipeline, *, rows_with_target=False):
    """The engineered table of every row, as a lazy dask DataFrame (``map_partitions``).

    Columns: the prepared input columns followed by the kept derived columns
    (float64, named as in memory), then the target column when ``ddf`` has it.
    Rows keep the input's order; with ``rows_with_target`` only the rows whose
    target has a value (as the fit counted them) are kept, as a run's output
    table holds them.
    """
    target = _target_name(pipeline)
    steps = _feature_steps(pipeline)
    head = _first_rows(ddf)
    label = task = None
    if target is not None:
        names = list(_engineer_part(head, steps, target, None).columns)
        label = target if target not in names else target + " (target)"
        if rows_with_target and target in ddf.columns:
            task = "classification" if getattr(pipeline.steps[-1][1], "classes_", None) is not None else "regression"
    return _map(ddf, _engineer_part, head, steps, target, label, task)


def prediction_columns(pipeline, proba=False):
    """The prediction columns, as the in-memory ``apply`` names them: ``predicted_<target>``, or ``proba_<class>``."""
    if proba:
        if not hasattr(pipeline.steps[-1][1], "predict_proba"):
            raise ValueError("probabilities need a classification pipeline; this one predicts a number")
        return ["proba_" + str(c) for c in pipeline.classes_]
    return ["predicted_" + str(_target_name(pipeline) or "target")]


def predict(ddf, pipeline, *, proba=False, id_column=None):
    """The pipeline's predictions for every row, as a lazy dask DataFrame in the input's row order.

    One column ``predicted_<target>``, or with ``proba`` one ``proba_<class>``
    column per class; ``id_column`` (a column of ``ddf``) is copied first.
    """
    names = prediction_columns(pipeline, proba)
    id_label = None
    if id_column is not None:
        if id_column not in ddf.columns:
            raise DataError("no column " + repr(id_column) + " in the table")
        id_label = id_column if id_column not in names else id_column + " (id)"
    return _map(ddf, _predict_part, _first_rows(ddf), pipeline, _target_name(pipeline), names, bool(proba),
                id_column, id_label)
