"""TA1: eligibility, the constraint cache, fit modes, transform results and names."""
import multiprocessing
import random
import sys

import numpy as np
import pytest

from conftest import RecordingGraph
from karrow_libs.vantor.transforms.transform_graph import TransformGraph


def cleaned(a):
    a = np.array(a, copy=True)
    a[np.isnan(a)] = 0
    a[np.isinf(a)] = 0
    return a


def reference_unary(fun, X, colids):
    """The plain algorithm: a list of cleaned columns and two concatenations."""
    cols = [cleaned(fun(X[:, c])[..., None]) for c in colids]
    Xtr = np.concatenate(cols, 1) if cols else np.empty((X.shape[0], 0), np.float32)
    return np.concatenate((X, Xtr), 1), [c.dtype for c in cols]


def is_positive(col):
    return bool((col[~np.isnan(col)] > 0).all())


@pytest.mark.parametrize("X", [
    np.arange(1, 13, dtype=np.int64).reshape(4, 3),
    np.array([[1, -1, np.nan], [4, 9, np.inf], [0.25, 2, 3]], dtype=np.float32),
    np.array([[1.0, np.nan, -np.inf], [4.0, 9.0, 16.0]]),
], ids=["int64", "float32-nan-inf", "float64-nan-inf"])
def test_fit_transform_matches_the_plain_algorithm(tu, X):
    names = [0, "b", 2.5]
    t = tu.TA1(np.sqrt, datatypes=["numeric"])
    with np.errstate(invalid="ignore"):
        assert t.fit(X, None, names, [X.dtype] * 3) is t
        got = t.transform(X)
        want, dtypes = reference_unary(np.sqrt, X, [0, 1, 2])
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    assert t.new_column_names_ == ["sqrt(0)", "sqrt(b)", "sqrt(2.5)"]
    assert t.new_column_dtypes_ == dtypes and all(isinstance(d, np.dtype) for d in t.new_column_dtypes_)
    assert t.new_column_as_json_objects_[1] == {"expression": {"op": "sqrt", "params": [{"name": "$b"}]}}
    assert list(t.new_column_as_json_objects_[1]["expression"]) == ["op", "params"]


def test_mixed_table_eligibility_by_dtype_text(tu, mixed_table):
    X, names, dtypes = mixed_table
    t = tu.TA1(np.log, "log", ["float"], [is_positive])
    t.fit(X, None, names, dtypes)
    assert t.colids_ == [1, 3] and t.col_names_ is names and t.col_dtypes is dtypes
    out = t.transform(X, return_new_cols_only=True)
    np.testing.assert_array_equal(out, cleaned(np.log(X[:, [1, 3]])))
    assert t.new_column_names_ == ["log(7)", "log(y)"]


def test_dtype_outside_families_is_never_tested(tu):
    seen = []

    def fc(col):
        seen.append(col.copy())
        return True

    X = np.ones((3, 3))
    t = tu.TA1(np.abs, None, ["int"], [fc])
    assert t.get_candidates(X, ["a", "b", "c"], ["float64", "int32", "object"]) == [1]
    assert len(seen) == 2  # column 1, once directly and once for the descriptor


@pytest.mark.parametrize("cache, calls_fc, accepted", [
    ({}, True, True),
    ({("is_positive", "a"): False}, False, False),
    ({("is_positive", "a"): np.False_}, False, True),
    ({("is_positive", "a"): 0}, False, True),
])
def test_constraint_cache(tu, cache, calls_fc, accepted):
    calls = []

    def is_positive(col):
        calls.append(1)
        return True

    g = RecordingGraph(cache=cache)
    t = tu.TA1(np.abs, None, ["numeric"], [is_positive], g)
    assert t.all_fc_satisifed(np.ones(2), "a") is accepted
    assert bool(calls) is calls_fc
    if calls_fc:
        assert g.calls == [("contains", "is_positive", "a"), ("add", "is_positive", "a", True)]
    else:
        assert g.calls == [("contains", "is_positive", "a"), ("get", "is_positive", "a")]


def test_only_the_false_object_rejects_and_stops_the_checks(tu):
    order = []
    fcs = [lambda c: order.append(1) or np.False_, lambda c: order.append(2) or False, lambda c: order.append(3)]
    t = tu.TA1(np.abs, None, ["numeric"], fcs)
    assert t.all_fc_satisifed(np.ones(2), "a") is False and order == [1, 2]


def test_single_column_mode_messages(tu, capsys):
    X = np.arange(6.0).reshape(3, 2)
    t = tu.TA1(np.sqrt, "root", apply_all=False)
    assert t.fit(X, None, ["a", "b"], ["float64"] * 2) is None
    assert not hasattr(t, "colids_") and t.col_names_ == ["a", "b"]
    assert capsys.readouterr().out == "More columns than 1 provided for apply_all in transform root\n"
    assert t.fit(X[:, :1], None, ["a"], ["object"]) is t and t.colids_ == [0]
    assert t.transform(X) is None
    assert capsys.readouterr().out == (
        " More than admissible number of columns provided for transform with apply_all=False for transform root\n")


def test_apply_all_none_fits_single_column_but_transform_skips_the_check(tu, capsys):
    X = np.arange(6.0).reshape(3, 2)
    t = tu.TA1(np.sqrt, "root", apply_all=None)
    t.fit(X[:, 1:], None, ["b"], ["float64"])
    out = t.transform(X)  # two columns: no refusal, colids_ is [0]
    np.testing.assert_array_equal(out, np.c_[X, np.sqrt(X[:, 0])])
    assert capsys.readouterr().out == ""


def test_no_eligible_column_gives_float_result(tu):
    X = np.arange(6, dtype=np.int64).reshape(3, 2)
    t = tu.TA1(np.sqrt, "root", ["float"])
    t.fit(X, None, ["a", "b"], ["int64", "int64"])
    assert t.colids_ == [] and t.get_candidates_space_descriptor(X, ["a", "b"], ["int64"] * 2).get_size() == 0
    out = t.transform(X)
    assert out.dtype == np.float64 and out.shape == (3, 2) and np.array_equal(out, X)
    only = t.transform(X, return_new_cols_only=True)
    assert only.shape == (3, 0) and only.dtype == np.float32
    assert t.new_column_names_ == [] == t.new_column_dtypes_ == t.new_column_as_json_objects_


def test_return_new_cols_only_is_an_identity_test(tu):
    X = np.arange(1.0, 7.0).reshape(3, 2)
    t = tu.TA1(np.sqrt, "root", ["numeric"]).fit(X, None, ["a", "b"], ["float64"] * 2)
    assert t.transform(X, return_new_cols_only=1).shape == (3, 4)
    assert t.transform(X, return_new_cols_only=True).shape == (3, 2)


ASSERTS = not sys.flags.optimize


def test_non_array_is_a_bare_assertion(tu):
    t = tu.TA1(np.sqrt)
    with pytest.raises(AssertionError if ASSERTS else AttributeError) as e:  # python -O: no colids_ yet
        t.transform([[1.0]])
    assert e.value.args == () or not ASSERTS


def test_names_are_unique_with_the_shared_random_draws(tu):
    X = np.arange(1.0, 7.0).reshape(3, 2)
    names = ["root(a)", "a", "root(a)-3"]
    t = tu.TA1(np.sqrt, "root", ["numeric"]).fit(np.c_[X, X[:, 0]], None, names, ["float64"] * 3)
    t.colids_ = [1, 1, 1]
    random.seed(5)
    t.transform(np.c_[X, X[:, 0]])
    random.seed(5)
    want = []
    for _ in range(3):
        name = "root(a)"
        while name in want + names:
            name = name + "-" + str(random.randint(0, 9))
        want.append(name)
    assert t.new_column_names_ == want and len(set(want)) == 3


def test_dtype_lookup_error_prints_count_and_column(tu, capsys):
    X = np.array([[1.0, 2.0], [3.0, 4.0]])
    t = tu.TA1(np.sqrt, "root", ["numeric"])
    with pytest.raises(IndexError):
        t.get_candidates_space_descriptor(X, ["a", "b"], ["float64"])
    assert capsys.readouterr().out == "2\n" + str(X[:, 1]) + "\n"


def test_descriptor_disagreement_is_a_bare_assertion(tu):
    X = np.ones((2, 2))
    t = tu.TA1(np.sqrt, "root", ["numeric"])
    other = tu.CandidatesSpaceDescriptor()
    other.add_dimension_spec([0])
    t.get_candidates_space_descriptor = lambda *a: other
    if not ASSERTS:
        assert t.get_candidates(X, ["a", "b"], ["float64"] * 2) == [0, 1]
        return
    with pytest.raises(AssertionError) as e:
        t.get_candidates(X, ["a", "b"], ["float64"] * 2)
    assert e.value.args == ()


@pytest.mark.parametrize("reduced, colids", [([2, 0], [2, 0]), (None, [0, 1, 2])])
def test_reduction_is_asked_only_with_a_limit(tu, reduced, colids):
    X = np.ones((2, 3))
    asked = []
    t = tu.TA1(np.sqrt, "root", ["numeric"], tgraph=RecordingGraph(max_feature_generate_one_node=2))
    t.reduce_count_of_candidates_from_search_space_descriptor = lambda d, n: asked.append((d.get_size(), n)) or reduced
    t.fit(X, None, ["a", "b", "c"], ["float64"] * 3)
    assert t.colids_ == colids and asked == [(3, 2)]
    t.tgraph = RecordingGraph(max_feature_generate_one_node=None)
    t.fit(X, None, ["a", "b", "c"], ["float64"] * 3)
    assert t.colids_ == [0, 1, 2] and len(asked) == 1


def test_joining_error_comes_before_naming(tu):
    X = np.ones((3, 2))
    t = tu.TA1(np.sum, "total", ["numeric"]).fit(X, None, ["a", "b"], ["float64"] * 2)
    with pytest.raises(np.exceptions.AxisError if hasattr(np, "exceptions") else np.AxisError):
        t.transform(X)  # one value per column: the new columns cannot be joined
    assert not hasattr(t, "new_column_names_")


@pytest.mark.parametrize("cls, message", [
    ("TA1", 'can only concatenate list (not "tuple") to list'),
    ("TA2", 'can only concatenate tuple (not "list") to tuple'),
    ("TGen", 'can only concatenate tuple (not "list") to tuple'),
])
def test_fitted_names_must_be_a_list(tu, cls, message):
    X = np.ones((2, 2))
    t = {"TA1": lambda: tu.TA1(np.abs, "f", ["numeric"]),
         "TA2": lambda: tu.TA2(np.add, "f", ["numeric"], [], ["numeric"], []),
         "TGen": lambda: tu.TGen(np.abs, "f", 1, [["numeric"]], [[]])}[cls]()
    t.fit(X, None, ("a", "b"), ["float64"] * 2)
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        t.transform(X)


def test_names_uid_and_namestr(tu):
    t = tu.TA1(np.sqrt)
    assert t.name == "sqrt" and t.uid.startswith("TA1-sqrt_") and t.long_name == t.uid
    ns = {"x": t.fun, "y": np.sqrt, "z": np.abs}
    assert t.namestr(np.sqrt, ns) == ["x", "y"]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pool_gives_the_sequential_result(tu, monkeypatch, method):
    X = np.random.default_rng(3).normal(size=(40, 5))
    names, dtypes = list("abcde"), ["float64"] * 5
    seq = tu.TA1(np.log, "log", ["numeric"]).fit(X, None, names, dtypes)
    with np.errstate(invalid="ignore"):
        want = seq.transform(X)
    par = tu.TA1(np.log, "log", ["numeric"], tgraph=TransformGraph(multiprocessing=True))
    par.fit(X, None, names, dtypes)
    monkeypatch.setattr(multiprocessing, "Pool", multiprocessing.get_context(method).Pool)
    got = par.transform(X, n_jobs=2)
    np.testing.assert_array_equal(got, want)
    assert (par.new_column_names_, par.new_column_dtypes_, par.new_column_as_json_objects_) == (
        seq.new_column_names_, seq.new_column_dtypes_, seq.new_column_as_json_objects_)
