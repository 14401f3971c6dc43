"""The search hands function transforms only the columns they read: the same columns, names and lineage."""

import random

import numpy as np
import pytest

from karrow_libs.search import _module as M

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


def test_shortlist_sums_grown_step_by_step_equal_sums_from_scratch(monkeypatch):
    from karrow_libs.search import FeatureSearch, _search
    from karrow_libs.table import Table

    rng = np.random.default_rng(1)
    X = rng.normal(size=(3000, 8))
    X[:, 3] = np.abs(X[:, 3]) + 1
    y = X[:, 0] * X[:, 1] + X[:, 2] / X[:, 3] + np.maximum(X[:, 4], X[:, 5]) + rng.normal(scale=0.1, size=3000)
    names = ["x" + str(i) for i in range(8)]
    table = Table(X, names, [np.dtype(np.float64)] * 8, [{"name": "$" + n} for n in names], 8)

    def kept():
        fit = FeatureSearch(sample_threshold=1000).fit(table, y)
        return [(k["name"], k["score"]) for k in fit.kept_]

    grown = kept()
    whole = _search.ShortlistScorer.partial
    monkeypatch.setattr(_search.ShortlistScorer, "partial",
                        lambda self, X_part, y_part, rows=None, known=None: whole(self, X_part, y_part, rows))
    scratch = kept()
    assert len(grown) >= 3 and [n for n, _ in grown] == [n for n, _ in scratch]
    np.testing.assert_allclose([s for _, s in grown], [s for _, s in scratch], rtol=1e-9)
