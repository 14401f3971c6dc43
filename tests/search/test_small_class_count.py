"""How many features a small table of classes keeps: when the linear count keeps none, refitted logistic
models on held-out rows get a say."""
import numpy as np
import pytest

from karrow_libs.search import FeatureSearch
from karrow_libs.search._stats import FOLDS, row_folds
from karrow_libs.table import Table

F64 = np.dtype("float64")


def table(values):
    names = ["x" + str(i) for i in range(values.shape[1])]
    return Table(values, names, [F64] * len(names), [{"name": "$" + n} for n in names], len(names))


def classes_of(z, k):
    return np.digitize(z, np.quantile(z, np.linspace(0, 1, k + 1)[1:-1]))


@pytest.mark.parametrize("n,p,k,positive", [(150, 13, 3, True), (400, 10, 2, False), (800, 20, 2, True),
                                            (500, 8, 3, False)])
@pytest.mark.parametrize("seed", [0, 1])
def test_small_tables_of_noise_candidates_keep_nothing(n, p, k, positive, seed):
    # The classes follow a line through two columns: the model is not flat, and no candidate adds anything.
    rng = np.random.default_rng(100 + seed)
    X = rng.uniform(0.5, 2, (n, p)) if positive else rng.normal(size=(n, p))
    y = classes_of(X[:, 0] - X[:, 1] + 0.5 * rng.normal(size=n), k)
    assert FeatureSearch(task="classification").fit(table(X), y).kept_ == []


def test_each_fold_is_chosen_without_its_rows(monkeypatch):
    from karrow_libs.search import _search

    rng = np.random.default_rng(0)
    X = rng.uniform(0.5, 2.0, (300, 6))
    y = classes_of(1.0 / X[:, 0] + X[:, 1] + 0.1 * rng.normal(size=300), 3)
    seen = []
    original = _search.FeatureSearch._held_in_order

    def spy(self, sources, train, *args):
        seen.append(np.asarray(train))
        return original(self, sources, train, *args)

    monkeypatch.setattr(_search.FeatureSearch, "_held_in_order", spy)
    fs = FeatureSearch(task="classification", transforms=("log", "divide")).fit(table(X), y)
    folds = row_folds(X)
    assert len(seen) == FOLDS
    for f, train in enumerate(seen):
        np.testing.assert_array_equal(train, np.flatnonzero(folds != f))
    assert fs.screens_ <= 10 and "reciprocal(x0)" in [k["name"] for k in fs.kept_]
    # The residual's linear held-out error alone keeps nothing on this table.
    monkeypatch.setattr(_search, "REFIT_COUNT_ROWS", 0)
    assert FeatureSearch(task="classification", transforms=("log", "divide")).fit(table(X), y).kept_ == []


def test_larger_tables_and_regression_keep_the_linear_count(monkeypatch):
    from karrow_libs.search import _search

    calls = []
    monkeypatch.setattr(_search.FeatureSearch, "_held_in_order", lambda self, *a: calls.append(1))
    rng = np.random.default_rng(3)
    X = rng.normal(size=(1500, 5))
    FeatureSearch(task="classification").fit(table(X), classes_of(X[:, 0] * X[:, 1], 2))
    FeatureSearch().fit(table(X[:300]), X[:300, 0] * X[:300, 1])
    assert calls == []


def test_a_class_some_folds_never_train_on_is_counted_without_error():
    rng = np.random.default_rng(4)
    X = rng.normal(size=(300, 5))
    y = classes_of(X[:, 0] + 0.3 * rng.normal(size=300), 2).astype(str)
    y[:2] = "rare"  # at most two folds hold it, and their other folds' rows never do
    fs = FeatureSearch(task="classification").fit(table(X), y)
    assert fs.transform(table(X[:3])).shape[1] == 5 + len(fs.kept_)
