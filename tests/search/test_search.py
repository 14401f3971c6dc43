"""FeatureSearch and the ready-made pipelines."""
import pickle
import tracemalloc

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.model_selection import KFold, cross_validate

from karrow_libs.pipeline import make_baseline, make_pipeline
from karrow_libs.search import FeatureSearch, GramStats, TreeSearch
from karrow_libs.table import DataError, Table

from conftest import search_table as table

F64 = np.dtype("float64")


def planted(n=2000, p=12, seed=1, classification=False):
    """y = 2 x0 x1 + 3 x2 / x3 + x4 + noise: a product and a ratio that a linear model misses."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, (n, p))
    y = 2 * X[:, 0] * X[:, 1] + 3 * X[:, 2] / X[:, 3] + X[:, 4] + 0.3 * rng.normal(size=n)
    if classification:
        y = np.where(y > np.median(y), "high", "low")
    return table(X), y


@pytest.mark.parametrize("task", ["regression", "classification"])
@pytest.mark.parametrize("selector", ["gain", "fs1", "fs2"])
def test_planted_product_and_ratio_are_found(task, selector):
    X, y = planted(classification=task == "classification")
    fs = FeatureSearch(task=task, selector=selector).fit(X, y)
    names = [k["name"] for k in fs.kept_]
    assert {"product(x0__x1)", "product(x1__x0)"} & set(names)
    assert "divide(x2__x3)" in names
    assert fs.score_name_ == {"gain": "gain", "fs1": "F-score", "fs2": "importance"}[selector]
    # Sums and differences lie in the span of the inputs: never kept by added value.
    if selector == "gain":
        assert not [k for k in fs.kept_ if k["transform"] in ("sum", "diff")]
        assert names[:2] in (["divide(x2__x3)", "product(x0__x1)"], ["product(x0__x1)", "divide(x2__x3)"])
    out = fs.transform(X)
    assert out.shape == (2000, 12 + len(names)) and out.names[12:] == names and out.n_inputs == 12
    k = names.index("divide(x2__x3)")
    np.testing.assert_allclose(out.values[:, 12 + k], X.values[:, 2] / X.values[:, 3])
    assert out.lineage[12 + k] == {"expression": {"op": "divide", "params": [{"name": "$x2"}, {"name": "$x3"}]}}
    stats = {e["transform"]: e for e in fs.candidate_stats_}
    assert stats["product"]["considered"] == 12 * 11 and stats["sqrt"]["considered"] == 12
    assert all(e["skipped"] is None for e in fs.candidate_stats_)


def test_identical_columns_are_copies_and_the_check_is_not_quadratic():
    rng = np.random.default_rng(0)
    base = rng.uniform(1, 2, 1500)
    other = rng.uniform(1, 2, 1500)
    X = table(np.column_stack([base] * 150 + [other]))
    y = base * other + 0.01 * rng.normal(size=1500)
    fs = FeatureSearch(transforms=("product",), keep=5).fit(X, y)
    # 151 * 150 ordered pairs; each product of the two distinct columns is the same column.
    assert fs.candidate_stats_[0]["considered"] == 151 * 150
    assert len(fs.kept_) == 1 and fs.kept_[0]["name"].startswith("product(")
    assert fs.candidate_stats_[0]["copies"] >= 1


def test_blocks_stay_within_the_memory_budget():
    rng = np.random.default_rng(3)
    X = table(rng.uniform(0.5, 2, (8000, 16)))
    y = X.values[:, 0] * X.values[:, 1] + rng.normal(size=8000)
    small = FeatureSearch(block_mib=0.25, shortlist=40, transforms=("sqrt", "product", "sum", "divide", "max"))
    ref = FeatureSearch(shortlist=40, transforms=small.transforms).fit(X, y)
    tracemalloc.start()
    try:
        small.fit(X, y)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # All candidate columns at once would take 8000 x 976 x 8 bytes = 62 MB; the input is 1 MB.
    assert peak < X.values.nbytes + 3 * 2**20
    assert [k["name"] for k in small.kept_] == [k["name"] for k in ref.kept_]
    np.testing.assert_allclose([k["score"] for k in small.kept_], [k["score"] for k in ref.kept_], rtol=1e-6)


def test_rescore_hook_gives_the_in_memory_result():
    X, y = planted(n=3000, classification=True)
    opts = dict(task="classification", sample_threshold=1000, shortlist=50, seed=2)
    plain = FeatureSearch(**opts).fit(X, y)
    parts = np.array_split(np.arange(3000), 4)
    seen = []

    def rescore(scorer):
        scorer = pickle.loads(pickle.dumps(scorer))  # as a worker would get it
        stats = [scorer.partial(Table(X.values[i], X.names, X.dtypes, X.lineage, 12), y[i]) for i in parts]
        seen.append(sum(stats))
        return sum(stats)

    hooked = FeatureSearch(**opts).fit(X, y, rescore=rescore)
    assert plain.sampled_rows_ == hooked.sampled_rows_ == 1000
    assert isinstance(seen[0], GramStats) and seen[0].n == 3000
    assert [k["name"] for k in hooked.kept_] == [k["name"] for k in plain.kept_]
    np.testing.assert_allclose([k["score"] for k in hooked.kept_], [k["score"] for k in plain.kept_], rtol=1e-8)


def test_kept_columns_are_clipped_to_their_training_values():
    rng = np.random.default_rng(2)
    v = rng.uniform(0, 1, (1500, 4))
    y = v[:, 0] * v[:, 1] + 0.05 * rng.normal(size=1500)
    search = FeatureSearch(transforms=("product",)).fit(table(v), y)
    assert [k["name"] for k in search.kept_][:1] in (["product(x0__x1)"], ["product(x1__x0)"])
    trained = search.transform(table(v)).values[:, 4]
    # A data-entry error in both factors, one in a single factor, and a row inside the training range.
    new = np.array([[1e6, 1e6, 0.5, 0.5], [-3.0, 2.0, 0.5, 0.5], [0.3, 0.5, 0.5, 0.5]])
    out = search.transform(table(new)).values[:, 4]
    np.testing.assert_array_equal(out[:2], [trained.max(), trained.min()])
    np.testing.assert_allclose(out[2], 0.15)


def test_second_round_expands_the_kept_features():
    rng = np.random.default_rng(4)
    X = table(rng.uniform(0.5, 2, (2000, 6)))
    v = X.values
    y = v[:, 0] * v[:, 1] * v[:, 2] + 0.05 * rng.normal(size=2000)
    fs = FeatureSearch(transforms=("product",), depth=2, keep=1).fit(X, y)
    assert [k["round"] for k in fs.kept_] == [1, 2]
    inner = fs.kept_[0]["lineage"]
    assert inner in fs.kept_[1]["lineage"]["expression"]["params"]
    second = [(e["transform"], e["considered"]) for e in fs.candidate_stats_ if e["round"] == 2]
    assert second == [("product", 2 * 6), ("reciprocal", 1)]  # the new feature with each input, both orders; 1 / it


def test_pipeline_cross_validation_refits_the_search_in_every_fold():
    X, y = planted(n=900)
    df = pd.DataFrame(X.values, columns=X.names)
    pipe = make_pipeline("regression", keep=3)
    res = cross_validate(pipe, df, y, cv=KFold(3, shuffle=True, random_state=0), return_estimator=True)
    searches = [e.named_steps["features"].search_ for e in res["estimator"]]
    assert len({id(s) for s in searches}) == 3 and all(s.kept_ for s in searches)
    assert not hasattr(pipe.named_steps["features"], "kept_")
    base = cross_validate(make_baseline("regression"), df, y, cv=KFold(3, shuffle=True, random_state=0))
    assert res["test_score"].mean() > base["test_score"].mean() + 0.05
    assert clone(pipe).get_params()["features__keep"] == 3
    calls = []
    pipe.fit(df, y, features__progress=lambda done, total, label: calls.append(label))
    assert calls and pipe.named_steps["features"].kept_


def test_onehot_maps_unseen_categories_to_no_level():
    rng = np.random.default_rng(5)
    codes = rng.integers(1, 5, 800).astype(np.float64)
    X = table(np.column_stack([codes, rng.normal(size=800)]), ["city", "z"], [np.dtype("int64"), F64])
    y = (codes == 3) * 2.0 + rng.normal(size=800) * 0.1
    fs = FeatureSearch(transforms=("onehot",), keep=2).fit(X, y)
    assert fs.kept_ and fs.kept_[0]["transform"] == "onehot"
    out = fs.transform(table(np.array([[9.0, 0.0], [3.0, 0.0]]), ["city", "z"], [np.dtype("int64"), F64]))
    assert out.shape[1] == 2 + len(fs.kept_)
    assert np.all(out.values[0, 2:] == 0)


BAD_OPTIONS = [(FeatureSearch, o) for o in (dict(selector="fs3"), dict(task="regresion"), dict(keep=-1),
                                            dict(block_mib=0), dict(transforms=("nosuch",)), dict(time_budget=0),
                                            dict(time_budget=-1), dict(time_budget="5"), dict(time_budget=True))]
BAD_OPTIONS += [(TreeSearch, o) for o in (dict(task="ranking"), dict(keep=-1), dict(transforms="divide"))]


@pytest.mark.parametrize("cls, options", BAD_OPTIONS)
def test_bad_options_are_value_errors_naming_the_option(cls, options):
    X, y = planted(n=100)
    # The message names the option ("unknown transform ..." for a name outside the catalogue).
    with pytest.raises(ValueError, match=list(options)[0].rstrip("s")):
        cls(**options).fit(X, y)


@pytest.mark.parametrize("cls", [FeatureSearch, TreeSearch])
def test_inputs_must_be_finite_tables_of_the_fitted_width(cls):
    X, y = planted(n=200)
    with pytest.raises(TypeError, match="Table"):
        cls().fit(X.values, y)
    with pytest.raises(ValueError, match="one value per row"):
        cls().fit(X, y[:-1])
    holed = X.values.copy()
    holed[5, 3] = np.nan
    with pytest.raises(DataError, match="missing or infinite"):
        cls().fit(table(holed), y)
    with pytest.raises(DataError, match="single class"):
        cls(task="classification").fit(X, np.zeros(200))
    fs = cls(task="regression").fit(X, y)
    with pytest.raises(DataError, match="expected 12 columns"):
        fs.transform(table(X.values[:, :5]))


@pytest.mark.parametrize("holes", [True, False], ids=["missing-and-infinite", "finite"])
@pytest.mark.parametrize("op", ["fmin", "fmax", "multiply", "add", "subtract", "true_divide"])
def test_fused_pair_sums_match_numpy_with_missing_results_as_zero(op, holes):
    from karrow_libs.search import _kernels

    rng = np.random.default_rng(6)
    x = rng.normal(size=(300, 6))
    x[4, 1] = 0.0
    if holes:
        x[5, 2], x[6, 3] = np.nan, np.inf
    r = np.asfortranarray(rng.normal(size=(300, 2)))
    i, j = (a.astype(np.int64) for a in np.nonzero(~np.eye(6, dtype=bool)))
    with np.errstate(all="ignore"):
        c = getattr(np, op)(x[:, i], x[:, j])
    c[~np.isfinite(c)] = 0
    for threads in (1, 3):
        s1, s2, sr = _kernels.pair_sums(np.asfortranarray(x), i, j, r, op, threads)
        np.testing.assert_allclose(s1, c.sum(axis=0))
        np.testing.assert_allclose(s2, (c * c).sum(axis=0))
        np.testing.assert_allclose(sr, c.T @ r)
    with pytest.raises(IndexError):
        _kernels.pair_sums(np.asfortranarray(x), i + 6, j, r, op)


def test_min_and_max_are_scored_like_the_numpy_blocks(monkeypatch):
    import karrow_libs.search._sources as sources

    rng = np.random.default_rng(7)
    X = table(rng.uniform(0.5, 2, (1500, 8)))
    y = 2 * np.fmax(X.values[:, 0], X.values[:, 1]) + X.values[:, 5] + 0.1 * rng.normal(size=1500)
    fused = FeatureSearch(transforms=("min", "max"), n_jobs=2).fit(X, y)
    monkeypatch.setattr(sources, "_fused_kernels", lambda: None)
    plain = FeatureSearch(transforms=("min", "max")).fit(X, y)
    assert [k["name"] for k in fused.kept_] == [k["name"] for k in plain.kept_]
    assert fused.kept_[0]["name"] in ("max(x0__x1)", "max(x1__x0)", "min(x0__x1)", "min(x1__x0)")
    np.testing.assert_allclose([k["score"] for k in fused.kept_], [k["score"] for k in plain.kept_])


def test_max_per_transform_caps_each_transform_reproducibly():
    X, y = planted(n=300)
    a = FeatureSearch(transforms=("sqrt", "product"), max_per_transform=7).fit(X, y)
    b = FeatureSearch(transforms=("sqrt", "product"), max_per_transform=7).fit(X, y)
    assert [(e["transform"], e["considered"]) for e in a.candidate_stats_] == [("sqrt", 7), ("product", 7),
                                                                                ("reciprocal", 7)]
    assert [k["name"] for k in a.kept_] == [k["name"] for k in b.kept_]


def test_progress_counts_candidates_up_to_the_total():
    X, y = planted(n=500)
    calls = []
    FeatureSearch().fit(X, y, progress=lambda done, total, label: calls.append((done, total, label)))
    total = 4 * 12 + 6 * 132  # sqrt, log, square, reciprocal; product, sum, diff, divide, min, max
    assert calls and all(t == total and 0 <= d <= total for d, t, _ in calls)
    assert calls[-1][0] == total and any("scoring" in lab for _, _, lab in calls)
