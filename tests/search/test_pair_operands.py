"""Second-round operands built from pairs of input columns: ratios to sums and shares."""
import pickle

import numpy as np
import pytest

from karrow_libs.search import FeatureSearch
from karrow_libs.search._search import composite_scores
from conftest import search_table as table

def names_of(fmt, pairs):
    return {fmt % pair for pair in pairs}


def ratio_to_sum(rng, n):
    X = rng.normal(size=(n, 6))
    X[:, 1:3] = rng.uniform(0.5, 2.0, (n, 2))
    t = X[:, 0] / (X[:, 1] + X[:, 2])
    return X, 3 * t + X[:, 3], names_of("divide(x0__sum(%s))", ["x1__x2", "x2__x1"]), t


def ratio_to_difference(rng, n):
    # x1 - x2 stays positive: the operand is the difference in that order, never x2 - x1.
    X = rng.normal(size=(n, 6))
    X[:, 1] = rng.uniform(3.0, 4.0, n)
    X[:, 2] = rng.uniform(0.5, 2.0, n)
    t = X[:, 0] / (X[:, 1] - X[:, 2])
    return X, 3 * t + X[:, 3], {"divide(x0__diff(x1__x2))"}, t


def share(rng, n):
    X = rng.normal(size=(n, 6))
    X[:, :2] = rng.lognormal(0, 1, (n, 2))
    t = X[:, 0] / (X[:, 0] + X[:, 1])
    wanted = names_of("divide(%s__sum(%s))", [(a, b) for a in ("x0", "x1", "diff(x0__x1)", "diff(x1__x0)")
                                               for b in ("x0__x1", "x1__x0")])
    return X, 3 * t + X[:, 2], wanted, t


@pytest.mark.parametrize("make", [ratio_to_sum, ratio_to_difference, share])
def test_a_composite_of_a_pair_is_found_with_depth_two_and_computed_on_new_rows(make):
    rng = np.random.default_rng(0)
    X, y, wanted, _ = make(rng, 3000)
    y = y + 0.1 * y.std() * rng.normal(size=len(y))
    fs = FeatureSearch(depth=2).fit(table(X), y)
    names = [k["name"] for k in fs.kept_]
    hit = sorted(wanted & set(names))
    assert hit, sorted(names)
    weighed = [e for e in fs.candidate_stats_ if e["transform"] == "pair operands"]
    assert [(e["round"], e["considered"], e["skipped"]) for e in weighed] == [(2, 2 * 15, None)]
    shallow = FeatureSearch().fit(table(X), y)
    assert not wanted & {k["name"] for k in shallow.kept_}
    new, _, _, t_new = make(np.random.default_rng(1), 5)
    out = pickle.loads(pickle.dumps(fs)).transform(table(new))
    assert out.names == ["x" + str(i) for i in range(6)] + names
    assert not any(nm.startswith(("sum(", "diff(")) for nm in out.names)
    if make is not share:
        np.testing.assert_allclose(out.values[:, 6 + names.index(hit[0])], t_new)


@pytest.mark.parametrize("task", ["regression", "classification"])
@pytest.mark.parametrize("positive", [False, True])
def test_noise_keeps_nothing_with_pair_operands(task, positive):
    rng = np.random.default_rng(3 + positive)
    X = rng.uniform(0.5, 2.0, (2000, 8)) if positive else rng.normal(size=(2000, 8))
    y = rng.normal(size=2000) if task == "regression" else rng.choice(["a", "b"], 2000)
    fs = FeatureSearch(depth=2, task=task).fit(table(X), y)
    assert fs.kept_ == [] and fs.transform(table(np.ones((2, 8)))).shape == (2, 8)
    assert [e["considered"] for e in fs.candidate_stats_ if e["transform"] == "pair operands"] == [2 * 28]


def test_composite_scores_equal_explicit_residualisation():
    rng = np.random.default_rng(5)
    n = 400
    x = rng.uniform(0.5, 2.0, (n, 4))
    x[:, 3] = rng.normal(size=n)
    r = (x[:, 3] / (x[:, 0] + x[:, 1]) + 0.5 * rng.normal(size=n))[:, None]
    base = np.column_stack([np.ones(n), x])
    r = r - base @ np.linalg.lstsq(base, r, rcond=None)[0]
    a, b = np.array([0, 1, 2]), np.array([1, 2, 3])
    sign = np.array([1.0, -1.0, 1.0])
    got = composite_scores(x, r, a, b, sign, 1 << 20)

    def partial_r2(c):
        c_perp = c - base @ np.linalg.lstsq(base, c, rcond=None)[0]
        return float((c_perp @ r[:, 0]) ** 2 / ((c_perp @ c_perp) * (r[:, 0] @ r[:, 0])))

    for i in range(3):
        s = x[:, a[i]] + sign[i] * x[:, b[i]]
        forms = [base[:, j] * s for j in range(5)]
        if np.all(s > 0):  # x2 + x3 crosses 0: no ratio of it is weighed
            forms += [base[:, j] / s for j in range(5)]
        expected = max(partial_r2(c) for c in forms if np.ptp(c - base @ np.linalg.lstsq(base, c, rcond=None)[0]) > 1e-6)
        assert got[i] == pytest.approx(expected, rel=1e-6)
    assert np.argmax(got) == 0
