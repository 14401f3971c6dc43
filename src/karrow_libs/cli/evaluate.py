"""The command's side of the model comparison: ``--metric`` checked against scikit-learn, and the
imbalance warning.  The comparison itself is library code (``karrow_libs.evaluate``)."""

import numpy as np

from .messages import UsageError, shortlist

__all__ = ["choose_metrics", "imbalance_warning"]

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
        from karrow_libs.evaluate import default_metrics

        return default_metrics(task, y)
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
