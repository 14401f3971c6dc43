"""The comparison as library code: same folds for everything, refitted per fold, seeded, any number of jobs."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

from karrow_libs import compare, evaluate  # noqa: E402
from karrow_libs.autofeatures import search_class  # noqa: E402

OPTIONS = {"transforms": ("product", "square"), "keep": 2}


def table(n=160, seed=0, noise_only=False):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n), "c": rng.normal(size=n),
                      "shop": rng.choice(["s" + str(i) for i in range(40)], n)})
    y = rng.normal(size=n) if noise_only else 3 * X["a"] * X["b"] + X["c"] + 0.1 * rng.normal(size=n)
    return X, y


@pytest.fixture(scope="module")
def result():
    X, y = table()
    return compare(X, y, folds=3, seed=0, **OPTIONS)


def test_every_family_is_scored_on_the_same_folds_with_both_column_sets(result):
    assert result.families == ["linear", "lgbm"] and result.task == "regression" and result.metrics == ["r2"]
    assert result.models == {"linear": "ridge regression", "lgbm": "LightGBM"}
    for family in result.families:
        for columns in ("original", "engineered"):
            assert len(result.scores[family][columns]["r2"]) == 3
            assert len(result.n_columns[family][columns]) == 3
        # The tree search may rightly keep nothing on 160 rows; the linear one must find the product.
        more = (lambda e, o: e > o) if family == "linear" else (lambda e, o: e >= o)
        assert all(more(e, o) for e, o in zip(result.n_columns[family]["engineered"], result.n_columns[family]["original"]))
    # the planted product is what a linear model lacks
    assert result.mean("linear", "engineered") > result.mean("linear", "original") + 0.3
    assert result.best in result.families
    assert result.shared_search == (search_class("linear") is search_class("lgbm"))


def test_no_fold_scores_rows_it_learnt_from():
    X, y = table(noise_only=True)
    res = compare(X, y, models=["linear"], folds=4, seed=1, **OPTIONS)
    assert res.mean("linear", "engineered") < 0.1 and res.mean("linear", "original") < 0.1


def test_the_seed_draws_the_folds_and_n_jobs_changes_nothing(monkeypatch):
    X, y = table(n=120, seed=2)
    one = compare(X, y, models=["linear"], folds=3, seed=0, **OPTIONS)
    again = compare(X, y, models=["linear"], folds=3, seed=0, **OPTIONS)
    other = compare(X, y, models=["linear"], folds=3, seed=1, **OPTIONS)
    assert one.scores == again.scores and one.scores != other.scores
    monkeypatch.setattr(evaluate, "pool_pays", lambda seconds: True)  # send the other folds to worker processes
    pooled = compare(X, y, models=["linear"], folds=3, seed=0, n_jobs=2, **OPTIONS)
    assert pooled.scores == one.scores and pooled.n_columns == one.n_columns


def test_classification_metrics_and_labels():
    X, y = table(n=150, seed=3)
    labels = np.where(y > np.median(y), "high", "low")
    res = compare(X, labels, models=["linear", "lgbm"], folds=3, **OPTIONS)
    assert res.task == "classification" and res.metrics == ["accuracy", "roc_auc"]
    assert res.models["linear"] == "logistic regression"
    assert all(0 <= s <= 1 for f in res.families for c in ("original", "engineered")
               for s in res.scores[f][c]["roc_auc"])


def test_fit_families_shares_a_search_only_when_it_is_the_same_search():
    X, y = table(n=100)
    fits = evaluate.fit_families(X, y.to_numpy(), "regression", ["linear", "lgbm"], **OPTIONS)
    same = search_class("linear") is search_class("lgbm")
    assert (fits["linear"].features is fits["lgbm"].features) == same
    pipe = fits["lgbm"].pipeline()
    assert [n for n, _ in pipe.steps] == ["features", "model"]
    assert np.allclose(pipe.predict(X), fits["lgbm"].model.predict(fits["lgbm"].features.transform(X)))


@pytest.mark.parametrize("keep", [0, 2])
def test_final_linear_model_fitted_in_place_equals_a_copying_fit(keep, monkeypatch):
    X, y = table(n=3000)  # more rows than one block of the scaler's statistics
    X = X.assign(big=np.linspace(1.6e9, 1.7e9, len(X)))  # epoch-sized values
    options = dict(OPTIONS, keep=keep)
    fit = evaluate.fit_families(X, y.to_numpy(), "regression", ["linear"], **options)["linear"]
    monkeypatch.setattr(evaluate, "_fit_in_place", lambda model, values, target, allowed=True: model.fit(values, target))
    plain = evaluate.fit_families(X, y.to_numpy(), "regression", ["linear"], **options)["linear"]
    values = plain.features.transform(X)
    np.testing.assert_array_equal(fit.features.transform(X), values)  # nothing fitted was scaled where it lies
    np.testing.assert_allclose(fit.model.predict(values), plain.model.predict(values), rtol=1e-9, atol=1e-9)
    assert fit.model.steps[0][1].copy is True and fit.model.steps[1][1].copy_X is True
    fit.pipeline().predict(X)
    np.testing.assert_array_equal(fit.features.transform(X), values)


@pytest.mark.parametrize("kwargs,message", [({"models": ["forest"]}, "models must name"), ({"folds": 1}, "folds")])
def test_bad_arguments(kwargs, message):
    X, y = table(n=30)
    with pytest.raises(ValueError, match=message):
        compare(X, y, **kwargs)


def test_shared_ridge_equals_the_two_scaled_ridge_pipelines():
    from sklearn.metrics import get_scorer

    rng = np.random.default_rng(5)
    a = rng.normal(size=(400, 7)) * [1, 1e3, 1e-3, 1, 1, 1, 1] + [0, 1.6e9, 0, 0, 0, 0, 0]  # epoch-sized offsets
    a[:, 4] = 2.0  # a constant column
    y = 2 * a[:, 0] - a[:, 6] * a[:, 3] + rng.normal(size=400)
    b, y_test = a[:90] + rng.normal(scale=0.1, size=(90, 7)), y[:90]
    scorers = {m: get_scorer(m) for m in ("r2", "neg_mean_absolute_error")}
    got = evaluate._shared_ridge(a[90:], y[90:], b, y_test, 5, scorers)
    for columns, width in (("original", 5), ("engineered", 7)):
        model = evaluate.make_model("regression", "linear").fit(a[90:, :width], y[90:])
        for m, scorer in scorers.items():
            assert got[columns][m] == pytest.approx(scorer(model, b[:, :width], y_test), rel=1e-9)
