"""The search's ways of saving work give what the plain way gives: function transforms handed only the columns
they read, shortlist sums grown step by step, later screens of min/max pairs focused on the first screen's best."""

import random

import numpy as np
import pytest

from karrow_libs.search import _module as M

from conftest import search_table

NAMES = ["x" + str(i) for i in range(29)] + ["product(x0__x1)"]  # a name the module must make unique


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(0)
    X = np.abs(rng.normal(size=(300, 30))) + 0.1
    X[:, 5] = (rng.random(300) < 0.3).astype(float)
    return X


@pytest.mark.parametrize("name", ["log", "square", "product", "divide", "diff", "max", "level x number"])
def test_narrow_call_matches_whole_table_call(table, name):
    graph = M.transform_graph()
    t = dict(M.level_products(graph)).get(name) or M.catalogue_transform(name, graph)
    dtypes = [np.dtype(np.float64)] * table.shape[1]
    lineage = [{"name": "$" + n} for n in NAMES]
    cands = M.fit_transform_object(t, table, None, NAMES, dtypes, lineage)
    assert t.col_dtypes_ == dtypes  # the fitted object keeps the dtypes it was given
    r = M.restrict(t, [len(cands) - 1, 0])  # out of order: positions must map back
    assert M._narrowed(r, table) is not None
    random.seed(3)
    got = M.module_columns(r, table)
    got_info = M.new_columns_info(r, range(got.shape[1]))
    random.seed(3)
    with M.module_output():
        want = np.asarray(r.transform(table, 1, True), dtype=np.float64).reshape(got.shape)
    assert np.array_equal(got, want)
    assert got_info == M.new_columns_info(r, range(got.shape[1]))
    if name == "product":
        assert got_info[0][1] != "product(x0__x1)"  # unique against every input name, not only those read


def test_whole_table_call_when_most_columns_are_read(table):
    t = M.catalogue_transform("log", M.transform_graph())
    M.fit_transform_object(t, table, None, NAMES, [np.dtype(np.float64)] * 30, [{"name": "$" + n} for n in NAMES])
    assert M._narrowed(t, table) is None
    assert M._narrowed(M.restrict(t, [0]), table[:, :1]) is None


class _Squares:
    """Stand-in shortlist: the squares of the first ``width`` columns."""

    def __init__(self, width):
        self.width = width

    def columns(self, xc):
        return xc[:, : self.width] ** 2


class _Residual:
    n_outputs_ = 2

    def residuals(self, xc, y):
        return np.column_stack([y - xc[:, 0], y * xc[:, 1]])


@pytest.mark.parametrize("old,new", [(0, 3), (2, 3), (4, 1), (3, 0)])
def test_shortlist_sums_grown_by_new_candidates_equal_sums_from_scratch(old, new):
    from karrow_libs.search._search import ShortlistScorer

    rng = np.random.default_rng(old)
    X, y = rng.normal(size=(900, 6)), rng.normal(size=900)
    rows = np.sort(rng.choice(900, 500, replace=False))
    scorer = lambda width: ShortlistScorer([], _Residual(), _Squares(width), 6, 8 * 7 * 64 * 6)  # noqa: E731
    known = scorer(old).partial(X, y, rows=rows)
    grown = scorer(old + new).partial(X, y, rows=rows, known=known)
    scratch = scorer(old + new).partial(X, y, rows=rows)
    assert grown.n == scratch.n == 500
    np.testing.assert_allclose(grown.gram, scratch.gram, rtol=1e-12, atol=1e-9)
    with pytest.raises(ValueError):
        scorer(old).partial(X, y, rows=rows, known=scorer(old + 1).partial(X, y, rows=rows))


def test_later_screens_walk_only_the_focused_min_max_pairs(monkeypatch):
    from karrow_libs.search import FeatureSearch, _sources

    rng = np.random.default_rng(2)
    X = rng.normal(size=(2000, 10))
    y = 2 * X[:, 0] * X[:, 1] + np.maximum(X[:, 2], X[:, 3]) + rng.normal(scale=0.1, size=2000)
    table = search_table(X)
    walked = []
    kernel = _sources._fused_kernels()
    if kernel is None:
        pytest.skip("built without the fused kernel")

    class Counting:
        @staticmethod
        def pair_sums(x, i, j, r, op, threads):
            walked.append(len(i))
            return kernel.pair_sums(x, i, j, r, op, threads)

    monkeypatch.setattr(_sources, "_fused_kernels", lambda: Counting)
    monkeypatch.setattr(_sources.PairSource, "FOCUS", 6)
    fit = FeatureSearch(transforms=("product", "max")).fit(table, y)
    assert [k["name"] for k in fit.kept_][:2] == ["product(x0__x1)", "max(x2__x3)"]
    assert walked[0] == 45 and len(walked) > 1 and max(walked[1:]) == 6  # 45 unordered pairs, then the best 6


@pytest.mark.parametrize("p", [6, 60])  # with and without the cube of cross-products
def test_sums_kept_from_the_first_walk_equal_a_fresh_walk(p):
    from karrow_libs.search._sources import GramBank

    rng = np.random.default_rng(p)
    x = rng.normal(size=(700, p)) + 2
    first, second = rng.normal(size=(700, 1)), rng.normal(size=(700, 1))

    def walk(bank, r):
        bank.start(1)
        for lo in range(0, 700, 256):
            bank.accumulate(x[lo:lo + 256], r[lo:lo + 256])
        bank.finish()
        return {key: value.copy() for key, value in bank.m.items()}

    kinds = {"product", "divide", "sum", "diff"}
    again = GramBank(p)
    again.kinds = set(kinds)
    walk(again, first)
    fresh = GramBank(p)
    fresh.kinds = set(kinds)
    got, want = walk(again, second), walk(fresh, second)
    assert sorted(got) == sorted(want)
    for key in want:
        np.testing.assert_allclose(got[key], want[key], rtol=1e-12, err_msg=key)


def test_sums_kept_from_the_first_walk_give_the_same_search():
    from karrow_libs.search import FeatureSearch

    rng = np.random.default_rng(4)
    X = rng.normal(size=(3000, 9))
    X[:, 4] = np.abs(X[:, 4]) + 0.5
    y = X[:, 0] * X[:, 1] + X[:, 2] / X[:, 4] + X[:, 3] - X[:, 5] ** 2 + rng.normal(scale=0.2, size=3000)
    table = search_table(X)
    fits = [FeatureSearch(transforms=("product", "divide", "sum", "square"), time_budget=budget).fit(table, y)
            for budget in (None, 1e9)]  # a time budget turns the reuse off
    got, want = ([(k["name"], k["score"]) for k in f.kept_] for f in fits)
    assert len(got) >= 3 and [n for n, _ in got] == [n for n, _ in want]
    np.testing.assert_allclose([s for _, s in got], [s for _, s in want], rtol=1e-9)


def test_narrowed_copy_is_reused_only_while_the_transform_is_unchanged(table):
    graph = M.transform_graph()
    t = M.catalogue_transform("divide", graph)
    M.fit_transform_object(t, table, None, NAMES, [np.dtype(np.float64)] * 30, [{"name": "$" + n} for n in NAMES])
    r = M.restrict(t, [0])
    first = M.module_columns(r, table)
    np.testing.assert_array_equal(M.module_columns(r, table[:7] * 2), first[:7] / 1.0)  # the same copy, new rows
    r.colid_pairs_ = [t.colid_pairs_[5], t.colid_pairs_[0]]  # the same object told to compute other pairs
    with M.module_output():
        want = np.asarray(r.transform(table, 1, True), dtype=np.float64)
    np.testing.assert_array_equal(M.module_columns(r, table), want)
    assert not np.array_equal(want[:, :1], first)
