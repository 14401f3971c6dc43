"""TA2: ordered pairs, per-argument eligibility, the empty result and pair unpacking."""
import numpy as np
import pytest

from conftest import RecordingGraph


def not_constant(col):
    finite = col[np.isfinite(col)]
    return bool(finite.size and finite.std() > 0)


def test_per_argument_eligibility_and_resolution(tu, mixed_table):
    X, names, dtypes = mixed_table
    X = X.copy()
    X[:, 1] = 1.0  # constant: allowed only as second argument
    t = tu.TA2(np.multiply, None, ["float"], [not_constant], ["numeric"], [])
    t.fit(X, None, names, dtypes)
    assert t.datatypes1 == tu.DataUtils.FloatDataTypes() and len(t.datatypes2) == 17
    assert t.colid_pairs_ == [(2, 0), (2, 1), (2, 3), (3, 0), (3, 1), (3, 2)]
    assert t.get_candidates_space_descriptor(X, names, dtypes).get_size() == 6


def test_second_argument_checks_use_the_cache(tu):
    g = RecordingGraph()
    t = tu.TA2(np.add, "add", ["numeric"], [], ["numeric"], [not_constant], g)
    t.get_candidates(np.arange(1.0, 10.0).reshape(3, 3), ["a", "b", "c"], ["float64"] * 3)
    # pairs (0, 1), (0, 2), (1, 0) ask first; (1, 2), (2, 0), (2, 1) and the descriptor's loop hit the cache
    assert [c for c in g.calls if c[0] == "add"] == [("add", "not_constant", n, True) for n in "bca"]
    assert [c[2] for c in g.calls if c[0] == "get"] == list("cababc")


@pytest.mark.parametrize("flag, expect_x", [(False, True), (0, True), (True, False), (1, False)])
def test_no_pair_prints_and_returns_x_or_empty_list(tu, capsys, flag, expect_x):
    X = np.ones((3, 2), dtype=np.int64)
    t = tu.TA2(np.add, "add", ["float"], [], ["float"], []).fit(X, None, ["a", "b"], ["int64"] * 2)
    out = t.transform(X, return_new_cols_only=flag)
    assert (out is X) if expect_x else (out == [] and isinstance(out, list))
    assert capsys.readouterr().out == (
        "---------------------- empty column tuple would crash np.concatenate -----------\n")


def test_only_first_argument_dtype_errors_print(tu, capsys):
    X = np.ones((2, 2))
    t = tu.TA2(np.add, "add", ["numeric"], [], ["numeric"], [])
    with pytest.raises(IndexError):  # column 0 qualifies, then its partner's dtype is missing
        t.get_candidates(X, ["a", "b"], ["float64"])
    assert capsys.readouterr().out == ""
    with pytest.raises(IndexError):
        t.get_candidates_space_descriptor(X, ["a", "b"], ["float64"])
    assert capsys.readouterr().out == "2\n" + str(X[:, 1]) + "\n"


def test_exec_tr_unpacks_its_pair(tu):
    X = np.array([[2.0, 3.0, 5.0]])
    t = tu.TA2(np.multiply, "mul", [], [], [], [])
    t.colid_pairs_ = [(2, 1), (0,), (0, 1, 2)]
    assert t.exec_tr(0, X).tolist() == [[15.0]]
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
        t.exec_tr(1, X)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        t.exec_tr(2, X)
