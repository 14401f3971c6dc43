"""The reciprocal family: ``1 / x`` of positive measurements, found beside thousands of pairs that mimic it."""
import pickle

import numpy as np
import pytest

from karrow_libs.lineage import render
from karrow_libs.search import FeatureSearch
from conftest import search_table as table

def positive(rng, n, p):
    return rng.uniform(0.5, 2.0, (n, p))


def alone(rng):
    X = positive(rng, 2000, 6)
    return X, 2.0 / X[:, 0] + X[:, 1] + 0.2 * rng.normal(size=2000), {"reciprocal(x0)"}, {}


def among_thousands_of_pairs(rng):
    # 30 positive columns: about 5 000 pair candidates, each x / x0 a noisy stand-in for 1 / x0 that may
    # screen above it; only the exact gain tells them apart.
    X = positive(rng, 1500, 30)
    return X, 1.0 / X[:, 0] + X[:, 1] + 0.5 * rng.normal(size=1500), {"reciprocal(x0)"}, {}


def of_a_product(rng):
    # Products only: with every default family the first round already spans 1 / (x0 x1) but for noise.
    X = positive(rng, 2000, 6)
    wanted = {"reciprocal(product(x0__x1))", "reciprocal(product(x1__x0))", "divide(reciprocal(x0)__x1)",
              "divide(reciprocal(x1)__x0)", "product(reciprocal(x0)__reciprocal(x1))",
              "product(reciprocal(x1)__reciprocal(x0))"}
    return X, 1.0 / (X[:, 0] * X[:, 1]) + 0.05 * rng.normal(size=2000), wanted, {"depth": 2,
                                                                                 "transforms": ("product",)}


def classes(rng):
    # Two other columns in the boundary, so that a threshold on x2 alone cannot stand in; noise enough
    # that the classes are a probability of the sum rather than a sharp boundary, which every positive
    # multiple of the sum (x2 times it, say) would draw as well.
    X = positive(rng, 6000, 6)
    logit = 2.0 / X[:, 2] - X[:, 3] - X[:, 4] + rng.logistic(size=6000)
    return X, np.where(logit > 0, "hi", "lo"), {"reciprocal(x2)"}, {"task": "classification"}


@pytest.mark.parametrize("make", [alone, among_thousands_of_pairs, of_a_product, classes])
@pytest.mark.parametrize("seed", [0, 1])
def test_a_planted_reciprocal_is_found_with_default_options(make, seed):
    X, y, wanted, options = make(np.random.default_rng(seed))
    fs = FeatureSearch(**options).fit(table(X), y)
    names = {k["name"] for k in fs.kept_}
    assert wanted & names, sorted(names)


def test_the_reciprocal_is_computed_named_and_traced_by_the_module():
    rng = np.random.default_rng(2)
    X, y, _, _ = alone(rng)
    fs = pickle.loads(pickle.dumps(FeatureSearch(transforms=("square",)).fit(table(X), y)))
    k = [k["name"] for k in fs.kept_].index("reciprocal(x0)")
    assert fs.kept_[k]["transform"] == "reciprocal" and render(fs.kept_[k]["lineage"]) == "reciprocal($x0)"
    new = positive(rng, 5, 6)
    out = fs.transform(table(new))
    np.testing.assert_allclose(out.values[:, 6 + k], 1.0 / new[:, 0])
    stats = [e for e in fs.candidate_stats_ if e["transform"] == "reciprocal"]
    assert stats == [{"round": 1, "transform": "reciprocal", "considered": 6, "constant": 0, "copies": 0,
                      "skipped": None}]


@pytest.mark.parametrize("column,why", [
    (lambda rng, n: np.where(np.arange(n) == 7, 0.0, rng.uniform(0.5, 2.0, n)), "one zero"),
    (lambda rng, n: rng.uniform(-1.0, 2.0, n), "both signs"),
    (lambda rng, n: rng.integers(1, 4, n).astype(np.float64), "a category code"),
    (lambda rng, n: np.where(np.arange(n) % 20 == 0, 0.01, rng.uniform(0.5, 2.0, n)), "5 % of rows near 0"),
])
def test_columns_with_a_pole_or_codes_have_no_reciprocal(column, why):
    rng = np.random.default_rng(3)
    X = positive(rng, 1000, 4)
    X[:, 0] = column(rng, 1000)
    fs = FeatureSearch(transforms=("square",), keep=2).fit(table(X), X[:, 1] + rng.normal(size=1000))
    entry = next(e for e in fs.candidate_stats_ if e["transform"] == "reciprocal")
    assert entry["considered"] == 3, why
    assert np.isfinite(fs.transform(table(X)).values).all()


@pytest.mark.parametrize("task", ["regression", "classification"])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_positive_noise_keeps_nothing(task, seed):
    rng = np.random.default_rng(seed)
    X = positive(rng, 3000, 12)
    y = rng.normal(size=3000) if task == "regression" else rng.integers(0, 3, 3000)
    assert FeatureSearch(task=task).fit(table(X), y).kept_ == []
