"""Ready-made scikit-learn pipelines: AutoFeatures -> model, and the baseline without the search.

``make_pipeline(task)`` returns an unfitted ``Pipeline`` whose ``fit(df, y)``
prepares the data frame, searches derived features and fits the model; a
cross-validation clone refits all of it inside every fold.  The search's
progress callback can be passed through ``fit``:
``pipe.fit(df, y, features__progress=callback)``.
"""

from sklearn.pipeline import Pipeline

from karrow_libs.autofeatures import AutoFeatures
from karrow_libs.evaluate import make_model

__all__ = ["make_pipeline", "make_baseline", "default_model"]


def default_model(task, family="linear", seed=0):
    """The model of a family: scaled ridge / logistic regression ("linear") or LightGBM ("lgbm")."""
    return make_model(task, family, seed)


def _steps(task, model, family, seed):
    model = model if model is not None else default_model(task, family, seed)
    return list(model.steps) if isinstance(model, Pipeline) else [("model", model)]


def make_pipeline(task, *, model="linear", estimator=None, target_name=None, seed=0, **feature_options):
    """features -> model for the family ``model``; ``feature_options`` go to :class:`AutoFeatures`.

    ``estimator`` replaces the family's default model.
    """
    features = AutoFeatures(model=model, task=task, target_name=target_name, seed=seed, **feature_options)
    return Pipeline([("features", features)] + _steps(task, estimator, model, seed))


def make_baseline(task, *, model="linear", estimator=None, target_name=None, seed=0):
    """The prepared columns only (no search) -> the family's model."""
    features = AutoFeatures(model=model, task=task, transforms=(), target_name=target_name, seed=seed)
    return Pipeline([("features", features)] + _steps(task, estimator, model, seed))
