"""The model comparison of a run: metrics, folds and cross-validation.

The same folds score the original and the engineered pipeline; each fold
clones and refits the whole pipeline, preparation and search included, so no
fold's score has seen its own rows.
"""

import time

import numpy as np

from karrow_libs.table import module_output

from .messages import DataError, UsageError, one_line, shortlist
from .report import CVResult, metric_label

__all__ = ["choose_metrics", "cv_folds", "cross_validate", "fit_pipeline", "imbalance_warning", "model_name"]

#: Scorers that need class labels, and those that need numbers (by prefix).
_CLASSIFICATION = ("accuracy", "balanced_accuracy", "roc_auc", "f1", "precision", "recall", "jaccard",
                   "neg_log_loss", "average_precision", "top_k_accuracy", "neg_brier_score", "matthews_corrcoef")
_REGRESSION = ("r2", "explained_variance", "max_error", "neg_mean_", "neg_median_", "neg_root_mean_", "d2_")


def _family(name):
    if name.startswith(_CLASSIFICATION):
        return "classification"
    if name.startswith(_REGRESSION):
        return "regression"
    return None


def choose_metrics(text, task, y):
    """The scorer names of ``--metric``, or the defaults for ``task``; names are checked with scikit-learn."""
    n_classes = len(np.unique(y)) if task == "classification" else 0
    if text is None:
        if task == "regression":
            return ["r2"]
        return ["accuracy", "roc_auc"] if n_classes == 2 else ["accuracy", "balanced_accuracy"]
    from sklearn.metrics import get_scorer, get_scorer_names

    names = list(dict.fromkeys(n.strip() for n in text.split(",") if n.strip()))
    if not names:
        raise UsageError("--metric needs at least one scorer name")
    for name in names:
        try:
            get_scorer(name)
        except (ValueError, KeyError):
            valid = [n for n in sorted(get_scorer_names()) if _family(n) == task]
            raise UsageError("unknown metric " + repr(name) + "; scikit-learn scorers for " + task + ": "
                             + shortlist(valid, 12)) from None
        family = _family(name)
        if family is not None and family != task:
            raise UsageError("--metric " + name + " is for " + family + " and this target is " + task
                             + " (see --task)")
        if name == "roc_auc" and n_classes > 2:
            raise UsageError("--metric roc_auc needs two classes; the target has " + str(n_classes)
                             + " (try roc_auc_ovr)")
    return names


def imbalance_warning(y, metrics):
    """A warning when accuracy is shown and one class holds most rows; else None."""
    if "accuracy" not in metrics:
        return None
    values, counts = np.unique(y, return_counts=True)
    share = counts.max() / counts.sum()
    if share < 0.75:
        return None
    top = values[int(np.argmax(counts))]
    return ("{:.0%} of the rows are {!r}: always predicting it scores accuracy {:.3f}; compare with "
            "balanced accuracy or ROC AUC".format(share, str(top), share))


def cv_folds(y, task, requested):
    """How many folds the data allows (each test fold with at least 2 rows, every class in every fold)."""
    if requested < 2:
        return 0, "--cv 0"
    if task == "classification":
        _, counts = np.unique(y, return_counts=True)
        limit = int(counts.min())
        why = "the smallest class has fewer than 2 rows"
    else:
        limit = len(y) // 2
        why = "fewer than 4 rows"
    folds = min(requested, limit)
    return (folds, "") if folds >= 2 else (0, why)


def model_name(pipeline):
    model = pipeline.steps[-1][1]
    return {"Ridge": "ridge regression", "LogisticRegression": "logistic regression"}.get(
        type(model).__name__, type(model).__name__)


def fit_pipeline(pipeline, X, y, progress=None, echo=None):
    """Fit ``pipeline`` on (X, y), passing ``progress`` to its search step."""
    params = {"search__progress": progress} if "search" in pipeline.named_steps and progress else {}
    with module_output(echo):
        pipeline.fit(X, y, **params)
    return pipeline


def _labelled(progress, where):
    """``progress`` with ``where`` before every label (None stays None)."""
    if progress is None:
        return None
    return lambda done, total, text: progress(done, total, where + ": " + text)


def cross_validate(pipelines, X, y, task, folds, metrics, seed, progress=None, echo=None):
    """A :class:`CVResult` for ``pipelines`` (label -> unfitted pipeline) on the same ``folds`` folds.

    A pipeline that fails in any fold is a DataError naming the fold: a
    comparison with a missing row would be no comparison.
    """
    from sklearn.base import clone
    from sklearn.metrics import get_scorer
    from sklearn.model_selection import KFold, StratifiedKFold

    splitter = (StratifiedKFold if task == "classification" else KFold)(folds, shuffle=True, random_state=seed)
    scorers = {m: get_scorer(m) for m in metrics}
    scores = {label: {m: [] for m in metrics} for label in pipelines}
    seconds = {label: 0.0 for label in pipelines}
    n_columns = {}
    for k, (train, test) in enumerate(splitter.split(X, y), 1):
        for label, pipeline in pipelines.items():
            start = time.perf_counter()
            where = "fold " + str(k) + "/" + str(folds) + " " + label
            if progress is not None:
                progress(k - 1, folds, where)
            try:
                fitted = fit_pipeline(clone(pipeline), X.iloc[train], y[train], _labelled(progress, where), echo)
                with module_output(echo):
                    for m, scorer in scorers.items():
                        scores[label][m].append(float(scorer(fitted, X.iloc[test], y[test])))
            except (MemoryError, KeyboardInterrupt, DataError):
                raise
            except Exception as e:
                raise DataError("the " + label + " pipeline failed in cross-validation fold " + str(k) + " ("
                                + type(e).__name__ + ": " + one_line(e, 200) + "); nothing was written") from None
            seconds[label] += time.perf_counter() - start
            n_columns[label] = int(fitted.steps[-1][1].n_features_in_)
    for label, per_metric in scores.items():
        for m, values in per_metric.items():
            if not np.all(np.isfinite(values)):
                raise DataError("the " + label + " pipeline scored " + metric_label(m) + " as not a number in a "
                                "fold; nothing was written")
    name = model_name(next(iter(pipelines.values())))
    return CVResult(name, folds, list(metrics), scores, n_columns, seconds)
