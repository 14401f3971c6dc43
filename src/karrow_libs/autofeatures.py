"""AutoFeatures: the whole main job -- preparation and search -- as one scikit-learn transformer.

    from karrow_libs import AutoFeatures
    af = AutoFeatures(keep=5).set_output(transform="pandas")
    engineered = af.fit_transform(frame, y)     # model-ready columns + the kept derived features

One name per feature: a prepared input column keeps the preparation's name
(``age``, ``city=Paris``, ``is_missing(income)``); a derived feature is named
by its expression over the source columns, as the report prints it
(``product($age, $income)``; a source name that is not a plain word is
quoted, ``$"body mass"``).  Those names are ``get_feature_names_out()``, the
columns of the written tables and the keys of ``lineage_``.
"""

import inspect
import numbers

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs import lineage as lineage_mod

__all__ = ["AutoFeatures", "FAMILIES", "search_class"]

#: Model families the features can be chosen for.
FAMILIES = ("linear", "lgbm")


def search_class(family):
    """The search that chooses derived features for a model ``family``."""
    from karrow_libs.search import FeatureSearch

    if family == "lgbm":
        try:
            from karrow_libs.search import TreeSearch
        except ImportError:
            # Without a tree-model scorer, trees are offered the linear search's features.
            return FeatureSearch
        return TreeSearch
    return FeatureSearch


def _search_defaults(cls):
    return cls().get_params()


def feature_names(prepared, kept_lineage, inputs, whole_table):
    """Output names: the prepared names, then each derived feature's expression, made unique."""
    names = list(prepared)
    marked = lineage_mod.mark_whole_table(kept_lineage, inputs, whole_table)
    taken = set(names)
    for obj in marked:
        name = base = lineage_mod.render(obj)
        i = 2
        while name in taken:
            name = base + " #" + str(i)
            i += 1
        taken.add(name)
        names.append(name)
    return names, marked


def declared_ids(pipeline_or_features, columns):
    """The identifier columns the preparation was told of (``--id``) that ``columns`` hold."""
    step = pipeline_or_features.steps[0][1] if hasattr(pipeline_or_features, "steps") else pipeline_or_features
    prepare = getattr(step, "prepare_", step)
    return tuple(c for c in getattr(prepare, "id_columns", None) or () if c in columns)


class AutoFeatures(TransformerMixin, BaseEstimator):
    """Prepare a table and append the derived features that add most for a model family.

    ``fit(X, y)`` takes a pandas DataFrame with any column kinds (numbers,
    numbers written as text, categories, dates, missing cells) or a numeric
    array; ``transform(X)`` returns the prepared model-ready columns followed
    by the kept derived features, as a float64 array or, after
    ``set_output(transform="pandas")``, a DataFrame whose columns are
    ``get_feature_names_out()``.

    Parameters
    ----------
    model : {"linear", "lgbm"}
        The model family the features are chosen for: "linear" scores a
        candidate by what it adds to a ridge / logistic model of the prepared
        columns, "lgbm" by what it adds to a gradient-boosting model.
    task : {"regression", "classification"} or None
        None guesses it from ``y`` (text or few integer levels: classification).
    transforms : tuple of str or None
        Catalogue names of the transforms to search (None: the search's
        default; an empty tuple prepares only, no derived feature).
    keep, selector, depth, max_per_transform :
        Passed to the search (those it has).
    target_name : str or None
        The target's name, kept for labelling predictions.
    seed : int
        Seed of every random choice: the preparation's target-mean folds,
        the search's row samples and candidate caps.
    n_jobs : int
        Threads of the search's fused kernels and matrix products.
    time_budget : float or None
        Seconds the search may spend screening; past them it keeps the best
        found so far and says so (``facts_["stopped_early"]``).
    prepare_options : dict or None
        Parameters of the preparation (:class:`~karrow_libs.prepare.PrepareFrame`):
        ``drop``, ``categorical``, ``id_columns``, ``decimal``, ``thousands``,
        ``dayfirst``, ``date_formats``.

    Attributes
    ----------
    prepare_ : PrepareFrame
    search_ : the fitted search, or None when ``transforms`` is empty
    task_ : str
    n_inputs_ : int
        Prepared input columns (the leading output columns).
    feature_names_out_ : list of str
    lineage_ : dict
        Output name -> JSON lineage (how the column was derived from the source columns).
    kept_ : list of dict
        Per derived feature, in output order: ``name`` (the one name),
        ``module_name`` (the transform's own column name), ``lineage``,
        ``score``, ``transform``, ``round``.
    scores_ : dict
        Derived feature name -> its score.
    facts_ : dict
        What the report prints about the fit: ``plan``, ``n_kinds``,
        ``n_inputs``, ``selector``, ``score_name``, ``scored_against``,
        ``sampled_rows``, ``candidate_stats``, ``model``, ``search``.
    """

    def __init__(self, model="linear", task=None, transforms=None, keep=10, selector="gain", depth=1,
                 max_per_transform=0, target_name=None, seed=0, n_jobs=1, prepare_options=None, time_budget=None):
        self.model = model
        self.task = task
        self.transforms = transforms
        self.keep = keep
        self.selector = selector
        self.depth = depth
        self.max_per_transform = max_per_transform
        self.target_name = target_name
        self.seed = seed
        self.n_jobs = n_jobs
        self.prepare_options = prepare_options
        self.time_budget = time_budget

    # ------------------------------------------------------------ checks

    def _check_params(self):
        if self.model not in FAMILIES:
            raise ValueError("model must be one of " + ", ".join(map(repr, FAMILIES)) + ", got " + repr(self.model))
        if self.task not in (None, "regression", "classification"):
            raise ValueError("task must be 'regression', 'classification' or None, got " + repr(self.task))
        if isinstance(self.transforms, str):
            raise ValueError("transforms must be a sequence of catalogue names, not a string")
        for name in ("keep", "seed", "n_jobs", "max_per_transform", "depth"):
            v = getattr(self, name)
            if not isinstance(v, numbers.Integral) or isinstance(v, bool) or v < 0:
                raise ValueError(name + " must be a whole number >= 0, got " + repr(v))

    def _frame(self, X, reset):
        """``X`` as a DataFrame with string column names; arrays get ``x0``, ``x1``, ..."""
        if isinstance(X, pd.DataFrame):
            names = [str(c) for c in X.columns]
            if reset:
                self.feature_names_in_ = np.asarray(names, dtype=object)
            else:
                self._check_names(names)
            frame = X.set_axis(names, axis=1)
        else:
            from sklearn.utils import check_array

            values = check_array(X, dtype="numeric", ensure_min_samples=1, **_allow_nan())
            names = ["x" + str(j) for j in range(values.shape[1])]
            if not reset and hasattr(self, "feature_names_in_"):
                import warnings

                warnings.warn("X does not have valid feature names, but " + type(self).__name__
                              + " was fitted with feature names", UserWarning)
                if len(self.feature_names_in_) == values.shape[1]:
                    names = list(self.feature_names_in_)
            frame = pd.DataFrame(values, columns=names)
        if reset:
            if not isinstance(X, pd.DataFrame) and hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
            self.n_features_in_ = frame.shape[1]
        elif frame.shape[1] != self.n_features_in_:
            raise ValueError("X has " + str(frame.shape[1]) + " features, but " + type(self).__name__
                             + " is expecting " + str(self.n_features_in_) + " features as input.")
        if frame.shape[1] == 0:
            raise ValueError("0 feature(s) (shape=" + str(frame.shape) + ") while a minimum of 1 is required.")
        return frame

    def _check_names(self, names):
        fitted = getattr(self, "feature_names_in_", None)
        if fitted is None:
            import warnings

            warnings.warn("X has feature names, but " + type(self).__name__ + " was fitted without feature names",
                          UserWarning)
            return
        if list(fitted) != list(names):
            raise ValueError("The feature names should match those that were passed during fit; fitted with "
                             + ", ".join(map(str, fitted[:5])) + ("..." if len(fitted) > 5 else ""))

    def _target(self, y, n_rows):
        from karrow_libs.prepare import prepare_target

        if y is None:
            raise ValueError("AutoFeatures requires y to be passed, but the target y is None")
        values = y.to_numpy() if isinstance(y, (pd.Series, pd.DataFrame)) else np.asarray(y)
        if values.ndim == 2 and values.shape[1] == 1:
            values = values.ravel()
        if values.ndim != 1 or len(values) != n_rows:
            raise ValueError("y must hold one value per row: X has " + str(n_rows) + " rows, y has shape "
                             + str(values.shape))
        y_series = y.reset_index(drop=True) if isinstance(y, pd.Series) else pd.Series(values)
        if n_rows < 3:
            raise ValueError("AutoFeatures needs at least 3 rows, got " + str(n_rows) + " sample(s)")
        values, task, info = prepare_target(y_series, self.task)
        if info["dropped_rows"]:
            raise ValueError("y has " + str(info["dropped_rows"]) + " missing or infinite value(s); drop those rows")
        return values, task

    # ------------------------------------------------------------ fit

    def fit(self, X, y, progress=None, rescore=None):
        """Prepare ``X`` and search the derived features for ``y``; returns ``self``.

        ``progress(done, total, label)`` is called while the search runs.
        ``rescore`` is the exact-rescoring hook's factory: ``rescore(prepare)``
        gets the fitted preparation and returns the search's hook, a function
        from its shortlist scorer to the scorer's additive statistics over
        every row (e.g. summed over Dask partitions).
        """
        self._fit(X, y, progress, rescore)
        return self

    def fit_transform(self, X, y=None, progress=None, rescore=None):
        return self._values(self.transform_prepared(self._fit(X, y, progress, rescore)))

    def _fit(self, X, y, progress, rescore):
        from karrow_libs.table import module_output

        self._check_params()
        frame = self._frame(X, reset=True)
        y, task = self._target(y, len(frame))
        prepare = self.make_prepare()
        with module_output():
            table = prepare.fit_transform(frame, y)
        self._fit_search(prepare, table, y, task, list(frame.columns), progress, rescore)
        return table

    def make_prepare(self):
        """The unfitted preparation of this estimator (shared by the comparison's pipelines of one fold)."""
        from karrow_libs.prepare import PrepareFrame

        return PrepareFrame(self.target_name, seed=self.seed, **dict(self.prepare_options or {}))

    def make_search(self, task):
        """The unfitted search for ``task``, or None when no transform is searched."""
        if self.transforms is not None and len(self.transforms) == 0:
            return None
        cls = search_class(self.model)
        ours = {"task": task, "transforms": None if self.transforms is None else tuple(self.transforms),
                "keep": self.keep, "selector": self.selector, "depth": self.depth,
                "max_per_transform": self.max_per_transform, "seed": self.seed, "n_jobs": self.n_jobs,
                "time_budget": self.time_budget}
        known = _search_defaults(cls)
        return cls(**{k: v for k, v in ours.items() if k in known and v is not None})

    def fit_prepared(self, prepare, table, y, task, inputs, progress=None, rescore=None):
        """Fit the search on a table ``prepare`` already produced from the source columns ``inputs``.

        The comparison uses it to share one fitted preparation between the
        pipelines of a fold; ``fit`` is this after preparing ``X``.
        """
        self._check_params()
        self.feature_names_in_ = np.asarray([str(c) for c in inputs], dtype=object)
        self.n_features_in_ = len(inputs)
        return self._fit_search(prepare, table, y, task, inputs, progress, rescore)

    def _fit_search(self, prepare, table, y, task, inputs, progress, rescore):
        from karrow_libs.table import module_output
        from karrow_libs.vantor.transforms.sklearn_compat import candidate_sampling_seed

        search = self.make_search(task)
        if search is not None:
            options = {"progress": progress}
            # The tree search decides on its own held-out rows of the sample; only the linear search's
            # scores are additive sums that partitions can recompute exactly.
            if rescore is not None and "rescore" in inspect.signature(search.fit).parameters:
                options["rescore"] = rescore(prepare)
            with module_output(), candidate_sampling_seed(self.seed):
                search.fit(table, y, **options)
        self.prepare_, self.search_, self.task_ = prepare, search, task
        self._describe(prepare, search, inputs)
        return self

    def _describe(self, prepare, search, inputs):
        kept = [dict(k) for k in (search.kept_ if search is not None else [])]
        whole = {str(k["name"]): k["transform"] for k in kept
                 if k.get("transform") and lineage_mod.depth(k["lineage"]) == 0}
        names, marked = feature_names(prepare.names_, [k["lineage"] for k in kept], inputs, whole)
        self.n_inputs_ = len(prepare.names_)
        self.feature_names_out_ = names
        for k, name, obj in zip(kept, names[self.n_inputs_:], marked):
            k["module_name"], k["name"], k["lineage"] = k["name"], name, obj
        self.kept_ = kept
        self.scores_ = {k["name"]: k["score"] for k in kept}
        self.lineage_ = dict(zip(names, list(prepare.lineage_) + marked))
        facts = {"plan": list(prepare.plan_), "n_kinds": dict(prepare.n_kinds_), "n_inputs": self.n_inputs_,
                 "model": self.model, "search": type(search).__name__ if search is not None else None,
                 "selector": "", "score_name": "score", "scored_against": "", "sampled_rows": None,
                 "candidate_stats": [], "stopped_early": None}
        if search is not None:
            facts.update(selector=str(getattr(search, "selector", "")), score_name=search.score_name_,
                         scored_against=search.scored_against_, sampled_rows=getattr(search, "sampled_rows_", None),
                         candidate_stats=list(search.candidate_stats_),
                         stopped_early=getattr(search, "stopped_early_", None) or None)
        self.facts_ = facts

    # ------------------------------------------------------------ transform

    def transform(self, X):
        """The prepared columns of ``X`` followed by the kept derived features (nothing is learnt)."""
        self._check_fitted()
        frame = self._frame(X, reset=False)
        return self._values(self.transform_prepared(self.prepare_.transform(frame)))

    def select_inputs(self, X):
        """The columns of the DataFrame ``X`` this estimator was fitted on, found by name, in fit order.

        ``transform`` is strict about names and order, as scikit-learn expects;
        new rows read from a file may bring their columns in another order, or
        extra ones (an id, the target): pass them through this first.
        """
        from karrow_libs.table import DataError

        self._check_fitted()
        fitted = [str(c) for c in getattr(self, "feature_names_in_", [])]
        if not fitted or not isinstance(X, pd.DataFrame):
            return X
        have = {str(c): c for c in X.columns}
        missing = [c for c in fitted if c not in have]
        if missing:
            raise DataError("missing column" + ("s " if len(missing) > 1 else " ")
                            + ", ".join(repr(m) for m in missing[:8]) + (", ..." if len(missing) > 8 else ""))
        return X[[have[c] for c in fitted]]

    def transform_prepared(self, table):
        """The search's output table for a table the fitted preparation produced."""
        from karrow_libs.table import module_output

        if self.search_ is None:
            return table
        with module_output():
            return self.search_.transform(table)

    def derived(self, X):
        """Only the kept derived features of ``X``, as a DataFrame named by ``get_feature_names_out()``."""
        values = self.transform(X)
        values = values.to_numpy() if isinstance(values, pd.DataFrame) else values
        index = X.index if isinstance(X, pd.DataFrame) else None
        return pd.DataFrame(values[:, self.n_inputs_:], columns=self.feature_names_out_[self.n_inputs_:],
                            index=index)

    def _values(self, table):
        return np.asarray(table.values, dtype=np.float64)

    def _check_fitted(self):
        if not hasattr(self, "prepare_"):
            from sklearn.exceptions import NotFittedError

            raise NotFittedError("This AutoFeatures instance is not fitted yet. Call 'fit' with appropriate "
                                 "arguments before using this estimator.")

    def get_feature_names_out(self, input_features=None):
        self._check_fitted()
        return np.asarray(self.feature_names_out_, dtype=object)

    # ------------------------------------------------------------ tags

    # Text and category columns come in DataFrames; the tags describe the arrays the checks generate.
    def _more_tags(self):
        return {"allow_nan": True, "requires_y": True}

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.target_tags.required = True
        return tags


def _allow_nan():
    import inspect

    from sklearn.utils import check_array

    key = "ensure_all_finite" if "ensure_all_finite" in inspect.signature(check_array).parameters else "force_all_finite"
    return {key: "allow-nan"}
