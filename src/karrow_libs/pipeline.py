"""Ready-made scikit-learn pipelines: prepare -> search -> model, and the baseline without the search.

``make_pipeline(task)`` returns an unfitted ``Pipeline`` whose ``fit(df, y)``
prepares the data frame, searches derived features and fits the model; a
cross-validation clone refits all of it inside every fold.  The search's
progress callback can be passed through ``fit``:
``pipe.fit(df, y, search__progress=callback)``.
"""

from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from karrow_libs.prepare import PrepareFrame, TableValues
from karrow_libs.search import FeatureSearch

__all__ = ["make_pipeline", "make_baseline", "default_model"]


def default_model(task):
    """Ridge(alpha=1.0) for regression, LogisticRegression(max_iter=2000) for classification."""
    from sklearn.linear_model import LogisticRegression, Ridge

    if task == "classification":
        return LogisticRegression(max_iter=2000)
    if task == "regression":
        return Ridge(alpha=1.0)
    raise ValueError("task must be 'regression' or 'classification', got " + repr(task))


def make_pipeline(task, *, target_name=None, model=None, **search_options):
    """prepare -> search -> values -> scale -> model; ``search_options`` go to :class:`FeatureSearch`."""
    return Pipeline([
        ("prepare", PrepareFrame(target_name)),
        ("search", FeatureSearch(task=task, **search_options)),
        ("values", TableValues()),
        ("scale", StandardScaler()),
        ("model", model if model is not None else default_model(task)),
    ])


def make_baseline(task, *, target_name=None, model=None):
    """prepare -> values -> scale -> model: the original columns only."""
    return Pipeline([
        ("prepare", PrepareFrame(target_name)),
        ("values", TableValues()),
        ("scale", StandardScaler()),
        ("model", model if model is not None else default_model(task)),
    ])
