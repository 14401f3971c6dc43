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

import numpy as np
import pandas as pd

from karrow_libs.autofeatures import declared_ids
from karrow_libs.table import DataError, module_output, quiet_warnings

from .cluster import computing
from .io import whole_numbers_as_int

__all__ = ["DEFAULT_SAMPLE_ROWS", "sample", "fit", "fit_families", "OnPartitions", "transform", "predict",
           "prediction_columns", "PartitionRescore", "FitInfo", "target_values"]

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


def target_values(series, task, pad=None):
    """(mask of rows with a target, y for those rows) of a partition, by ``prepare_target``'s rules.

    ``prepare_target`` judges a whole column: it refuses fewer than 3 values
    or a single one, which a partition may well hold.  ``pad`` (a few raw
    target cells of the sample, with two distinct values) is appended while
    the rules run and taken off afterwards, so a partition's labels come out
    exactly as the sample's did.
    """
    from karrow_libs.prepare import prepare_target

    series = series.reset_index(drop=True)
    n = len(series)
    if n == 0:
        return np.zeros(0, dtype=bool), np.zeros(0)
    if pad is None:
        y, _, info = prepare_target(series, task)
        return np.asarray(info["kept_rows"], dtype=bool), y
    joined = pd.concat([series, pad.reset_index(drop=True)], ignore_index=True)
    y, _, info = prepare_target(joined, task)
    kept = np.asarray(info["kept_rows"], dtype=bool)
    return kept[:n], np.asarray(y)[: int(kept[:n].sum())]


def target_pad(raw):
    """Three raw target cells holding two distinct usable values (for :func:`target_values`)."""
    from karrow_libs.prepare import prepare_target

    _, _, info = prepare_target(raw)
    usable = raw[np.asarray(info["kept_rows"], dtype=bool)].reset_index(drop=True)
    first = usable.iloc[0]
    other = next(i for i in range(len(usable)) if usable.iloc[i] != first)
    return usable.iloc[[0, other, other]].reset_index(drop=True)


def _features(part, target):
    X = part.drop(columns=[target]) if target is not None and target in part.columns else part
    return whole_numbers_as_int(X)


# --------------------------------------------------------------------------
# exact rescoring


def _partition_stats(part, prepare, scorer, target, task, pad):
    mask, y = target_values(part[target], task, pad)
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

    def __init__(self, ddf, prepare, target, task, pad=None):
        self.ddf = ddf
        self.prepare = prepare
        self.target = target
        self.task = task
        self.pad = pad
        self.calls = 0
        self.rows = 0
        self.seconds = 0.0

    def __call__(self, scorer):
        delayed = _delayed()
        start = time.perf_counter()
        prepare = delayed(self.prepare, pure=True)
        scorer = delayed(scorer, pure=True)
        leaves = [delayed(_partition_stats, pure=True)(p, prepare, scorer, self.target, self.task, self.pad)
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


class _Rescorers:
    """The estimators' rescoring-hook factory: one :class:`PartitionRescore` per fitted preparation."""

    def __init__(self, ddf, target, task, pad):
        self.ddf, self.target, self.task, self.pad = ddf, target, task, pad
        self.made = []

    def __call__(self, prepare):
        self.made.append(PartitionRescore(self.ddf, prepare, self.target, self.task, self.pad))
        return self.made[-1]


def fit_families(ddf, target, families=("linear",), *, sample_rows=DEFAULT_SAMPLE_ROWS, seed=0, task=None,
                 progress=None, **feature_options):
    """({family: FamilyFit}, FitInfo) for the dask DataFrame ``ddf`` (target column ``target``).

    The features (preparation and search screening) and the models are
    fitted in memory on a reproducible sample of ``sample_rows`` rows drawn
    across all partitions (``seed`` seeds the sample and every fit); the
    search's shortlist is then rescored exactly over every row through the
    estimator's rescoring hook.  ``feature_options`` go to ``AutoFeatures``.
    """
    from karrow_libs.evaluate import fit_families as fit_in_memory
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
    X = rows.drop(columns=[target])
    X = X.loc[np.asarray(target_info["kept_rows"], dtype=bool)].reset_index(drop=True)
    X = whole_numbers_as_int(X)
    rescore = _Rescorers(ddf, target, task, target_pad(rows[target]))
    feature_options.setdefault("target_name", target)
    with quiet_warnings():
        fits = fit_in_memory(X, y, task, families, seed=seed, progress=progress, rescore=rescore, **feature_options)
    passes = sum(r.calls for r in rescore.made)
    info = FitInfo(task=task, rows=int(sum(lengths)), partitions=len(lengths), sample_rows=int(len(y)),
                   sample_dropped=int(target_info.get("dropped_rows", 0) or 0),
                   rescore_passes=passes, rescored_rows=rescore.made[0].rows if passes else int(len(y)),
                   sample_seconds=sampled_at - start, rescore_seconds=sum(r.seconds for r in rescore.made),
                   seconds=time.perf_counter() - start, sample=(X, y))
    return fits, info


def fit(ddf, target, *, sample_rows=DEFAULT_SAMPLE_ROWS, seed=0, task=None, model="linear", progress=None,
        return_info=False, **feature_options):
    """A fitted ``features -> model`` Pipeline for ``ddf``, the model of family ``model``; see :func:`fit_families`.

    With ``return_info`` the result is ``(pipeline, FitInfo)``.
    """
    fits, info = fit_families(ddf, target, [model], sample_rows=sample_rows, seed=seed, task=task,
                              progress=progress, **feature_options)
    pipeline = fits[model].pipeline()
    return (pipeline, info) if return_info else pipeline


class OnPartitions:
    """An estimator fitted in memory on a sample, applied to every partition of a dask DataFrame.

    ``fit(ddf, target)`` fits the features and the model on a sample drawn
    across all partitions, with the exact-rescoring hook over every row;
    ``transform(ddf)`` and ``predict(ddf)`` map the fitted pipeline over the
    partitions (lazily).  ``pipeline_`` is the fitted scikit-learn Pipeline,
    the same kind of object the in-memory run saves.
    """

    def __init__(self, model="linear", sample_rows=DEFAULT_SAMPLE_ROWS, seed=0, **feature_options):
        self.model = model
        self.sample_rows = sample_rows
        self.seed = seed
        self.feature_options = feature_options

    def fit(self, ddf, target, task=None, progress=None):
        self.pipeline_, self.info_ = fit(ddf, target, sample_rows=self.sample_rows, seed=self.seed, task=task,
                                         model=self.model, progress=progress, return_info=True,
                                         **self.feature_options)
        return self

    def transform(self, ddf, rows_with_target=False, append=False):
        return transform(ddf, self.pipeline_, rows_with_target=rows_with_target, append=append)

    def predict(self, ddf, proba=False, id_column=None):
        return predict(ddf, self.pipeline_, proba=proba, id_column=id_column)


def _shortlist(items, limit=10):
    items = [str(i) for i in items]
    if len(items) <= limit:
        return ", ".join(items)
    return ", ".join(items[:limit]) + ", ... (" + str(len(items)) + " in all)"


# --------------------------------------------------------------------------
# transform / predict


def _features_of(pipeline):
    return pipeline.steps[0][1]


def _engineer_part(part, features, target, target_label, task=None, pad=None, append=False, id_columns=()):
    if task is not None and target in part.columns:
        mask, _ = target_values(part[target], task, pad)
        if not mask.all():
            part = part.loc[mask]
    X = features.select_inputs(_features(part, target))
    with module_output(), quiet_warnings():
        if append:
            derived = features.derived(X.reset_index(drop=True))
            out = part.reset_index(drop=True).copy()
            for name in derived.columns:
                out[name if name not in out.columns else name + " (derived)"] = derived[name].to_numpy()
            for c in id_columns:
                out[c] = exact_ids(out[c])
            return out
        values = np.asarray(features.transform(X), dtype=np.float64)
    out = pd.DataFrame(values, columns=list(features.get_feature_names_out()))
    if target is not None and target in part.columns:
        out[target_label] = part[target].to_numpy()
    for i, c in enumerate(id_columns):
        out.insert(i, c if c not in out.columns else c + " (id)", exact_ids(part[c]))
    return out


def _predict_part(part, pipeline, target, names, proba, id_column, id_label):
    X = _features(part, target)
    select = getattr(pipeline.steps[0][1], "select_inputs", None)
    if select is not None:
        X = select(X)
    if len(X) == 0:
        return _empty_predictions(pipeline, names, proba, part, id_column, id_label)
    with module_output(), quiet_warnings():
        if proba:
            values = np.asarray(pipeline.predict_proba(X), dtype=np.float64)
            out = pd.DataFrame({n: values[:, j] for j, n in enumerate(names)})
        else:
            out = pd.DataFrame({names[0]: np.asarray(pipeline.predict(X))})
    if id_column is not None:
        out.insert(0, id_label, exact_ids(part[id_column]))
    return out


def exact_ids(col):
    """An identifier column as written: whole numbers read as text become int64 without passing
    through float64 (where 2**53 + 1 would become 2**53); anything else stays as it is."""
    values = col.to_numpy()
    if not len(values) or not (col.dtype == object or pd.api.types.is_string_dtype(col.dtype)):
        return values
    text = pd.Series(values, dtype=object).astype(str).str.strip()
    if not text.str.fullmatch(r"[-+]?\d{1,18}").all():
        return values
    return np.array([int(v) for v in text], dtype=np.int64)


def _empty_predictions(pipeline, names, proba, part, id_column, id_label):
    dtype = np.dtype(np.float64) if proba else _prediction_dtype(pipeline)
    out = pd.DataFrame({n: np.empty(0, dtype=dtype) for n in names})
    if id_column is not None:
        out.insert(0, id_label, exact_ids(part[id_column]) if len(part) else np.empty(0, dtype=np.int64))
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


def transform(ddf, pipeline, *, rows_with_target=False, append=False):
    """The engineered table of every row, as a lazy dask DataFrame (``map_partitions``).

    Columns: the model-ready columns (prepared inputs, then the kept derived
    features, float64, named as in memory) and the target column when
    ``ddf`` has it; with ``append``, the input's own columns as they came
    with the derived features appended, as the in-memory ``--out`` writes
    them.  Rows keep the input's order; with ``rows_with_target`` only the
    rows whose target has a value (as the fit counted them) are kept.
    """
    target = _target_name(pipeline)
    features = _features_of(pipeline)
    head = _first_rows(ddf)
    label = task = pad = None
    if target is not None:
        names = list(features.get_feature_names_out())
        label = target if target not in names else target + " (target)"
        if rows_with_target and target in ddf.columns:
            task = getattr(features, "task_", None)
            pad = _head_pad(ddf, target, head)
    return _map(ddf, _engineer_part, head, features, target, label, task, pad, bool(append),
                declared_ids(features, ddf.columns))


def _head_pad(ddf, target, head):
    try:
        return target_pad(head[target])
    except (StopIteration, DataError):
        return None


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
