"""The honest comparison: original vs engineered columns, cross-validated for each model family.

    from karrow_libs import compare
    result = compare(frame, y, models=("linear", "lgbm"), folds=5, seed=0)
    result.mean("lgbm", "engineered", "r2")

Every fold refits the preparation and the search on its training rows only,
so no score has seen its own rows.  Within one fold, the pipelines share what
is the same fit: the preparation is fitted once and serves the original and
the engineered columns of every family, and a search serves every family it
chooses features for.  The same folds score everything.
"""

import dataclasses
import time
from typing import Dict, List

import numpy as np

from karrow_libs.table import DataError, module_output

__all__ = ["Comparison", "compare", "default_metrics", "fold_count", "fit_families", "make_model", "model_name",
           "FamilyFit"]

COLUMNS = ("original", "engineered")

#: A fold must take this long before the others are worth sending to worker processes.
POOL_WORTH_SECONDS = 2.0

_MODEL_NAMES = {("linear", "regression"): "ridge regression", ("linear", "classification"): "logistic regression",
                ("lgbm", "regression"): "LightGBM", ("lgbm", "classification"): "LightGBM"}


def model_name(family, task):
    return _MODEL_NAMES[(family, task)]


def make_model(task, family="linear", seed=0):
    """The model of a family: a scaled ridge / logistic regression, or LightGBM with its defaults.

    LightGBM runs on one thread with a fixed seed, so equal inputs give
    equal models whatever the machine or the folds run beside it.
    """
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    if task not in ("regression", "classification"):
        raise ValueError("task must be 'regression' or 'classification', got " + repr(task))
    if family == "linear":
        from sklearn.linear_model import LogisticRegression, Ridge

        model = LogisticRegression(max_iter=2000) if task == "classification" else Ridge(alpha=1.0)
        return Pipeline([("scale", StandardScaler()), ("model", model)])
    if family == "lgbm":
        import lightgbm

        cls = lightgbm.LGBMClassifier if task == "classification" else lightgbm.LGBMRegressor
        return cls(random_state=seed, n_jobs=1, verbose=-1, deterministic=True)
    raise ValueError("model family must be 'linear' or 'lgbm', got " + repr(family))


def default_metrics(task, y):
    """R^2 for regression; accuracy with ROC AUC (two classes) or balanced accuracy for classification."""
    if task == "regression":
        return ["r2"]
    return ["accuracy", "roc_auc"] if len(np.unique(y)) == 2 else ["accuracy", "balanced_accuracy"]


def fold_count(y, task, requested):
    """(folds, why not): how many folds the data allows (each test fold with 2 rows, every class in every fold)."""
    if requested < 2:
        return 0, "--cv 0"
    if task == "classification":
        _, counts = np.unique(y, return_counts=True)
        limit, why = int(counts.min()), "the smallest class has fewer than 2 rows"
    else:
        limit, why = len(y) // 2, "fewer than 4 rows"
    folds = min(int(requested), limit)
    return (folds, "") if folds >= 2 else (0, why)


def splitter(task, folds, seed):
    from sklearn.model_selection import KFold, StratifiedKFold

    return (StratifiedKFold if task == "classification" else KFold)(folds, shuffle=True, random_state=seed)


@dataclasses.dataclass
class FamilyFit:
    """One family's fitted features and model on all the rows given."""

    family: str
    features: object  # fitted AutoFeatures
    model: object  # fitted model (scaled linear, or LightGBM)

    def pipeline(self):
        """``features -> model`` as one fitted scikit-learn Pipeline, ready to save and apply."""
        from sklearn.pipeline import Pipeline

        steps = [("features", self.features)]
        steps += list(self.model.steps) if hasattr(self.model, "steps") else [("model", self.model)]
        return Pipeline(steps)


def _fit_features(X, y, task, families, options, prepare=None, table=None, progress=None, rescore=None):
    """{family: (fitted AutoFeatures, training output)} sharing the preparation and any search that is the same."""
    from karrow_libs.autofeatures import AutoFeatures, search_class

    proto = AutoFeatures(task=task, **options)
    if prepare is None:
        prepare = proto.make_prepare()
        with module_output():
            table = prepare.fit_transform(X, y)
    fitted, by_search = {}, {}
    for family in families:
        key = search_class(family) if proto.make_search(task) is not None else None
        if key in by_search:
            fitted[family] = by_search[key]
            continue
        features = AutoFeatures(task=task, **dict(options, model=family))
        where = None if progress is None else (lambda d, t, text, f=family: progress(d, t, f + ": " + text))
        features.fit_prepared(prepare, table, y, task, [str(c) for c in X.columns], where, rescore)
        by_search[key] = fitted[family] = (features, features.transform_prepared(table).values)
    return fitted, prepare, table


def fit_families(X, y, task, families=("linear",), *, seed=0, progress=None, rescore=None, **options):
    """{family: FamilyFit} on all of (X, y): the features chosen for each family and its model fitted on them."""
    options = dict(options, seed=seed)
    fitted, _, _ = _fit_features(X, y, task, families, options, progress=progress, rescore=rescore)
    out = {}
    for family in list(fitted):
        features, values = fitted.pop(family)
        model = make_model(task, family, seed)
        shared = any(other is values for _, other in fitted.values())  # families sharing one search
        with module_output():
            _fit_in_place(model, values, y, allowed=not shared)
        del values
        out[family] = FamilyFit(family, features, model)
    return out


def _fit_in_place(model, values, y, allowed=True):
    """``model.fit(values, y)``, letting a scaled linear model scale and centre ``values`` where they lie.

    The scaler's and the ridge model's own copies of a large table are
    what a whole run's memory peaks on; ``values`` is ours and not read
    again.  The fitted steps copy their input again afterwards, as saved
    pipelines applied to a user's data must.
    """
    from sklearn.preprocessing import StandardScaler

    steps = [est for _, est in getattr(model, "steps", [])]
    if not allowed or len(steps) != 2 or type(steps[0]) is not StandardScaler or not isinstance(values, np.ndarray) \
            or values.dtype != np.float64 or not values.flags.writeable:
        model.fit(values, y)
        return
    scaler, last = steps
    flags = [(est, attr) for est in steps for attr in ("copy", "copy_X") if getattr(est, attr, None) is True]
    for est, attr in flags:
        setattr(est, attr, False)
    try:
        # The scaler's statistics row block by row block: its one-shot fit holds a centred copy.
        for lo in range(0, len(values), _RIDGE_ROWS):
            scaler.partial_fit(values[lo:lo + _RIDGE_ROWS])
        last.fit(scaler.transform(values), y)
    finally:
        for est, attr in flags:
            setattr(est, attr, True)


@dataclasses.dataclass
class Comparison:
    """Cross-validated scores: ``scores[family][columns][metric]`` holds one score per fold.

    ``columns`` is "original" (the prepared columns) or "engineered" (those
    plus the derived features chosen for the family); ``n_columns`` has the
    same keys and one column count per fold.
    """

    task: str
    folds: int
    seed: int
    metrics: List[str]
    families: List[str]
    models: Dict[str, str]
    scores: Dict[str, Dict[str, Dict[str, List[float]]]]
    n_columns: Dict[str, Dict[str, List[int]]]
    seconds: Dict[str, float]
    shared_search: bool = False

    def mean(self, family, columns, metric=None):
        return float(np.mean(self.scores[family][columns][metric or self.metrics[0]]))

    @property
    def best(self):
        """The family whose engineered model scores best on the first metric (ties: the first family)."""
        return max(self.families, key=lambda f: (self.mean(f, "engineered"), -self.families.index(f)))


def pool_pays(fold_seconds):
    """Whether worker processes would finish the other folds sooner than this process alone.

    Starting them costs about a second, so a fold must take longer than
    that; and on a machine whose cores are all busy, more processes only
    share the same cores.
    """
    import os

    if fold_seconds < POOL_WORTH_SECONDS:
        return False
    try:
        busy = os.getloadavg()[0]
    except (AttributeError, OSError):
        return True
    return busy <= (os.cpu_count() or 1) - 1


def _fold(k, train, test, X, y, task, families, metrics, options, seed):
    from threadpoolctl import threadpool_limits

    # One BLAS thread, here as in a worker process: a fold's sums then add up in the same order
    # wherever it runs, so its scores do not depend on --jobs down to the last bit.
    with threadpool_limits(limits=1):
        return _fold_scores(k, train, test, X, y, task, families, metrics, options, seed)


def _fold_scores(k, train, test, X, y, task, families, metrics, options, seed):
    from sklearn.metrics import get_scorer

    seconds = {"prepare": 0.0, "search": 0.0, "models": 0.0}
    start = time.perf_counter()
    Xtr, ytr = X.iloc[train].reset_index(drop=True), y[train]
    Xte, yte = X.iloc[test].reset_index(drop=True), y[test]
    try:
        from karrow_libs.autofeatures import AutoFeatures

        prepare = AutoFeatures(task=task, **dict(options, seed=seed)).make_prepare()
        with module_output():
            table_tr = prepare.fit_transform(Xtr, ytr)
            table_te = prepare.transform(Xte)
        Xtr, Xte = Xtr.iloc[:0], None  # the fold's raw rows are not read again: only their column names
        seconds["prepare"] = time.perf_counter() - start
        start = time.perf_counter()
        fitted, _, _ = _fit_features(Xtr, ytr, task, families, dict(options, seed=seed), prepare, table_tr)
        seconds["search"] = time.perf_counter() - start
    except (MemoryError, KeyboardInterrupt, DataError):
        raise
    except Exception as e:
        raise _fold_error(k, "engineered", e) from None
    scorers = {m: get_scorer(m) for m in metrics}
    out = {f: {c: {} for c in COLUMNS} for f in families}
    counts = {f: {} for f in families}
    start = time.perf_counter()
    for family in families:
        features, eng_tr = fitted[family]
        with module_output():
            eng_te = features.transform_prepared(table_te).values
        pairs = (("original", (table_tr.values, table_te.values)), ("engineered", (eng_tr, eng_te)))
        counts[family] = {columns: int(a.shape[1]) for columns, (a, _) in pairs}
        if family == "linear" and task == "regression":
            # The original columns lead the engineered ones: one Gram matrix serves both ridge models.
            out[family] = _shared_ridge(eng_tr, ytr, eng_te, yte, table_tr.shape[1], scorers)
            continue
        for columns, (a, b) in pairs:
            try:
                model = make_model(task, family, seed)
                with module_output():
                    model.fit(a, ytr)
                    out[family][columns] = {m: float(s(model, b, yte)) for m, s in scorers.items()}
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception as e:
                raise _fold_error(k, columns + " " + family, e) from None
    seconds["models"] = time.perf_counter() - start
    return out, counts, seconds


class _Predictions:
    """Predictions already computed, in the shape a scikit-learn scorer asks a regressor for them."""

    _estimator_type = "regressor"

    def __init__(self, values):
        self.values = values

    def predict(self, X):
        return self.values

    def __sklearn_tags__(self):
        from sklearn.base import BaseEstimator, RegressorMixin

        return type("_Regressor", (RegressorMixin, BaseEstimator), {})().__sklearn_tags__()


#: Rows centred at a time by the shared ridge fit.
_RIDGE_ROWS = 16_384


def _shared_ridge(a, y, b, y_test, n_original, scorers, alpha=1.0):
    """{"original": scores, "engineered": scores} of StandardScaler + Ridge(alpha) on the first ``n_original``
    columns of ``a`` and on all of them, both solved from one centred Gram matrix of the training rows.

    The same normal equations scikit-learn solves (centred, scaled by each
    column's standard deviation, a constant column left unscaled), so the
    scores equal the two pipelines' up to rounding.
    """
    from scipy import linalg

    n = a.shape[0]
    mean, y_mean = a.mean(axis=0), float(np.mean(y))
    gram, cross = np.zeros((a.shape[1], a.shape[1])), np.zeros(a.shape[1])
    # Centred block by block: a centred copy of the whole table would be the fold's largest array.
    for lo in range(0, n, _RIDGE_ROWS):
        centred = a[lo:lo + _RIDGE_ROWS] - mean
        gram += centred.T @ centred
        cross += centred.T @ (y[lo:lo + _RIDGE_ROWS] - y_mean)
    var = np.diag(gram) / n
    eps = np.finfo(np.float64).eps
    scale = np.sqrt(var)
    scale[var <= n * eps * var + (n * mean * eps) ** 2] = 1.0
    out = {}
    for columns, width in (("original", n_original), ("engineered", a.shape[1])):
        s = scale[:width]
        lhs = gram[:width, :width] / np.outer(s, s) + alpha * np.eye(width)
        w = linalg.solve(lhs, cross[:width] / s, assume_a="pos") if width else np.zeros(0)
        # As (b - mean) / s @ w, without the two test-sized temporaries.
        predicted = b[:, :width] @ (w / s) - float((mean[:width] / s) @ w) + y_mean
        out[columns] = {m: float(scorer(_Predictions(predicted), b[:, :width], y_test)) for m, scorer in scorers.items()}
    return out


def _fold_error(k, label, e):
    text = " ".join(str(e).split())
    text = text if len(text) <= 200 else text[:197] + "..."
    return DataError("the " + label + " pipeline failed in cross-validation fold " + str(k) + " ("
                     + type(e).__name__ + ": " + text + "); nothing was written")


def compare(X, y, *, task=None, models=("linear", "lgbm"), folds=5, metrics=None, seed=0, n_jobs=1,
            progress=None, **options):
    """Cross-validate original vs engineered columns for each model family in ``models``; a :class:`Comparison`.

    ``X`` is the raw table (a DataFrame), ``y`` its target; ``options`` go to
    :class:`~karrow_libs.AutoFeatures` (``transforms``, ``keep``, ...).  The
    folds are drawn with ``seed`` (stratified for classification).  With
    ``n_jobs`` > 1, once the first fold shows that a fold takes long enough to
    repay starting them, and when cores are idle (:func:`pool_pays`), the
    other folds run in that many worker processes;
    every fold is computed the same way either way, so the scores do not
    depend on ``n_jobs``.
    ``progress(done, total, label)`` is told of each finished fold.
    """
    import pandas as pd

    from karrow_libs.autofeatures import FAMILIES, AutoFeatures, search_class

    if not isinstance(X, pd.DataFrame):
        X = pd.DataFrame(np.asarray(X), columns=["x" + str(j) for j in range(np.shape(X)[1])])
    families = list(dict.fromkeys(models))
    unknown = [f for f in families if f not in FAMILIES]
    if unknown or not families:
        raise ValueError("models must name families among " + ", ".join(FAMILIES) + ", got " + repr(models))
    y, task = AutoFeatures(task=task)._target(y, len(X))
    metrics = list(metrics) if metrics else default_metrics(task, y)
    folds = int(folds)
    if folds < 2:
        raise ValueError("folds must be >= 2, got " + str(folds))
    options = dict(options, n_jobs=1) if n_jobs > 1 else dict(options)
    splits = list(splitter(task, folds, seed).split(np.zeros(len(y)), y))
    args = (X, y, task, families, metrics, options, seed)
    results = []
    for k, (tr, te) in enumerate(splits, 1):
        if progress is not None:
            progress(k - 1, folds, "fold " + str(k) + "/" + str(folds))
        start = time.perf_counter()
        results.append(_fold(k, tr, te, *args))
        if n_jobs > 1 and k < folds and pool_pays(time.perf_counter() - start):
            from joblib import Parallel, delayed

            rest = list(enumerate(splits, 1))[k:]
            results += Parallel(n_jobs=min(int(n_jobs), len(rest)))(
                delayed(_fold)(j, a, b, *args) for j, (a, b) in rest)
            break
    if progress is not None:
        progress(folds, folds, "cross-validated " + str(folds) + " folds")
    scores = {f: {c: {m: [r[0][f][c][m] for r in results] for m in metrics} for c in COLUMNS} for f in families}
    counts = {f: {c: [r[1][f][c] for r in results] for c in COLUMNS} for f in families}
    seconds = {p: float(sum(r[2][p] for r in results)) for p in ("prepare", "search", "models")}
    for f in families:
        for c in COLUMNS:
            for m in metrics:
                if not np.all(np.isfinite(scores[f][c][m])):
                    raise DataError("the " + c + " " + f + " pipeline scored " + m + " as not a number in a fold; "
                                    "nothing was written")
    shared = len(families) > 1 and len({search_class(f) for f in families}) == 1
    return Comparison(task, folds, int(seed), metrics, families, {f: model_name(f, task) for f in families},
                      scores, counts, seconds, shared)
