"""TA1, plus the behaviour the function and estimator transforms share (flags, pools, caps, names)."""
import multiprocessing
import random
import sys

import numpy as np
import pytest

from conftest import RecordingGraph, build, cleaned, drawn_names
from karrow_libs.vantor.transforms.transform_graph import TransformGraph

ASSERTS = not sys.flags.optimize


def test_mixed_table_eligibility_by_dtype_text(tu, mixed_table):
    X, names, dtypes = mixed_table
    seen = []
    t = tu.TA1(np.log, "log", ["float"], [lambda c: seen.append(1) or bool((c[~np.isnan(c)] > 0).all())])
    t.fit(X, None, names, dtypes)
    assert t.colids_ == [1, 3] and len(seen) == 9  # never the int64 column; the others in three loops
    np.testing.assert_array_equal(t.transform(X, return_new_cols_only=True), cleaned(np.log(X[:, [1, 3]])))
    assert t.new_column_names_ == ["log(7)", "log(y)"]


@pytest.mark.parametrize("cls", ["TA1", "TB1"])
@pytest.mark.parametrize("cache, calls_fc, accepted", [
    ({}, True, True), ({("pos", "a"): False}, False, False),
    ({("pos", "a"): np.False_}, False, True), ({("pos", "a"): 0}, False, True),
])
def test_constraint_cache(tu, cls, cache, calls_fc, accepted):
    calls = []

    def pos(col):
        calls.append(1)
        return True

    g = RecordingGraph(cache=cache)
    t = build(tu, cls, tgraph=g)
    t.feat_constraints = [pos]
    assert t.all_fc_satisifed(np.ones(2), "a") is accepted
    second = ("add", "pos", "a", True) if calls_fc else ("get", "pos", "a")
    assert bool(calls) is calls_fc and g.calls == [("contains", "pos", "a"), second]
    t.tgraph, t.feat_constraints = None, [lambda c: np.False_, lambda c: 0, lambda c: False, lambda c: 1 / 0]
    assert t.all_fc_satisifed(np.ones(2), "b") is False  # only the object False rejects, and stops the checks


@pytest.mark.parametrize("cls, fun", [("TA1", np.sqrt), ("TB1", None)])
def test_single_column_mode(tu, capsys, cls, fun):
    X = np.arange(6.0).reshape(3, 2)
    t = build(tu, cls, fun, "root", apply_all=False)
    assert t.fit(X, None, ["a", "b"], ["float64"] * 2) is None and not hasattr(t, "colids_")
    assert capsys.readouterr().out == "More columns than 1 provided for apply_all in transform root\n"
    assert t.fit(X[:, :1], None, ["a"], ["object"]) is t and t.colids_ == [0]  # no dtype or constraint test
    assert t.transform(X) is None
    assert capsys.readouterr().out == (
        " More than admissible number of columns provided for transform with apply_all=False for transform root\n")
    new = t.transform(X[:, :1], return_new_cols_only=True)
    assert new.shape == (3, 1) and (cls == "TB1" or np.array_equal(new[:, 0], np.sqrt(X[:, 0])))
    t.apply_all = None  # not the object False: no width check
    np.testing.assert_array_equal(t.transform(X), np.c_[X, new])


def test_no_eligible_column_gives_float_result(tu):
    X = np.arange(6, dtype=np.int64).reshape(3, 2)
    t = tu.TA1(np.sqrt, "root", ["float"]).fit(X, None, ["a", "b"], ["int64", "int64"])
    assert t.colids_ == [] and t.get_candidates_space_descriptor(X, ["a", "b"], ["int64"] * 2).get_size() == 0
    out = t.transform(X)
    assert out.dtype == np.float64 and np.array_equal(out, X)
    only = t.transform(X, return_new_cols_only=True)
    assert only.shape == (3, 0) and only.dtype == np.float32 and t.new_column_names_ == []


@pytest.mark.parametrize("cls, flag, new_only", [
    ("TA1", 1, False), ("TA1", True, True), ("TGen", 1, False), ("TGen", True, True),
    ("TB1", True, True), ("TB1", 1, False), ("TB1", False, False), ("TB1", None, False),
    ("TAM", True, True), ("TAM", 1, False), ("TAM", False, False),
    ("TA2", 1, True), ("TA2", "yes", True), ("TA2", np.True_, True), ("TA2", "", False), ("TA2", None, False),
])
def test_return_new_cols_only_identity_or_truth(tu, cls, flag, new_only):
    X = np.arange(1, 7, dtype=np.int16).reshape(3, 2)
    fun = {"TA2": np.subtract, "TA1": np.negative, "TGen": np.negative}.get(cls)
    t = build(tu, cls, fun).fit(X, None, ["a", "b"], ["int16"] * 2)
    out = t.transform(X, return_new_cols_only=flag)
    assert out.shape == (3, 2 if new_only else 4) and out.dtype == (np.float64 if cls in ("TB1", "TAM") else np.int16)


def test_bare_assertions(tu):
    X = np.ones((2, 2))
    t = tu.TA1(np.sqrt, "root", ["numeric"])
    other = tu.CandidatesSpaceDescriptor()
    other.add_dimension_spec([0])
    t.get_candidates_space_descriptor = lambda *a: other
    if not ASSERTS:
        assert t.get_candidates(X, ["a", "b"], ["float64"] * 2) == [0, 1]
        return
    for call in (lambda: t.get_candidates(X, ["a", "b"], ["float64"] * 2), lambda: t.transform([[1.0]])):
        with pytest.raises(AssertionError) as e:
            call()
        assert e.value.args == ()


def test_names_are_unique_with_the_shared_random_draws(tu):
    X = np.ones((3, 3))
    names = ["root(a)", "a", "root(a)-3"]
    t = tu.TA1(np.sqrt, "root", ["numeric"]).fit(X, None, names, ["float64"] * 3)
    t.colids_ = [1, 1, 1]
    random.seed(5)
    t.transform(X)
    random.seed(5)
    want = drawn_names(["root(a)"] * 3, names)
    assert t.new_column_names_ == want and len(set(want)) == 3


def test_dtype_lookup_error_prints_count_and_column(tu, capsys):
    X = np.array([[1.0, 2.0], [3.0, 4.0]])
    with pytest.raises(IndexError):
        tu.TA1(np.sqrt, "root", ["numeric"]).get_candidates_space_descriptor(X, ["a", "b"], ["float64"])
    assert capsys.readouterr().out == "2\n" + str(X[:, 1]) + "\n"


def test_joining_error_comes_before_naming(tu):
    X = np.ones((3, 2))
    t = tu.TA1(np.sum, "total", ["numeric"]).fit(X, None, ["a", "b"], ["float64"] * 2)
    with pytest.raises(ValueError):  # one value per column: numpy's AxisError
        t.transform(X)
    assert not hasattr(t, "new_column_names_")


@pytest.mark.parametrize("cls, attr, reduced", [
    ("TA1", "colids_", [2, 0]), ("TA2", "colid_pairs_", [(2, 0)]), ("TGen", "candidates_", [(1,)]),
    ("TB1", "colids_", [2])])
def test_reduction_is_asked_only_with_a_limit(tu, cls, attr, reduced):
    X = np.ones((2, 3))
    t = build(tu, cls, tgraph=RecordingGraph(max_feature_generate_one_node=2))
    asked = []
    t.reduce_count_of_candidates_from_search_space_descriptor = lambda d, n: asked.append(n) or reduced
    t.fit(X, None, list("abc"), ["float64"] * 3)
    assert getattr(t, attr) == reduced and asked == [2]
    t.reduce_count_of_candidates_from_search_space_descriptor = lambda d, n: None
    everything = t.fit(X, None, list("abc"), ["float64"] * 3).get_candidates(X, list("abc"), ["float64"] * 3)
    assert getattr(t, attr) == everything and len(everything) == (6 if cls == "TA2" else 3)


@pytest.mark.parametrize("cls, message", [
    ("TA1", 'list (not "tuple") to list'), ("TA2", 'tuple (not "list") to tuple'),
    ("TGen", 'tuple (not "list") to tuple')])
def test_fitted_names_must_be_a_list(tu, cls, message):
    X = np.ones((2, 2))
    t = build(tu, cls).fit(X, None, ("a", "b"), ["float64"] * 2)
    with pytest.raises(TypeError, match=r"can only concatenate " + message.replace("(", r"\(").replace(")", r"\)")):
        t.transform(X)


@pytest.mark.parametrize("cls", ["TA1", "TA2", "TGen", "TB1", "TB2"])
def test_namestr_lists_every_name_bound_to_the_object(tu, cls):
    t = tu.TB2(np.sqrt, "f", [], None, [], None) if cls == "TB2" else build(tu, cls, np.sqrt)
    assert t.namestr(np.sqrt, {"x": np.sqrt, "y": 1, "z": np.sqrt, "w": np.abs}) == ["x", "z"]


@pytest.mark.parametrize("method", ["fork", "spawn"])
@pytest.mark.parametrize("cls", ["TA1", "TA2", "TB1"])
def test_pool_gives_the_sequential_result(tu, monkeypatch, method, cls):
    X = np.random.default_rng(3).normal(size=(40, 4)).astype(np.float32)
    X[:, 3] = np.round(X[:, 3])  # a few categories: several one-hot outputs per column
    fun = {"TA2": np.true_divide, "TA1": np.log, "TB1": tu.OneHotEncoder}[cls]
    names, dtypes = [10, "b", "c", "d"], ["float32"] * 4
    seq = build(tu, cls, fun).fit(X, None, names, dtypes)
    par = build(tu, cls, fun, tgraph=TransformGraph(multiprocessing=True)).fit(X, None, names, dtypes)
    with np.errstate(all="ignore"):
        want = seq.transform(X)
    monkeypatch.setattr(multiprocessing, "Pool", multiprocessing.get_context(method).Pool)
    X_before = X.copy()
    got = par.transform(X, n_jobs=2)
    assert got.dtype == want.dtype and np.array_equal(got, want) and np.array_equal(X, X_before)
    assert (par.new_column_names_, par.new_column_dtypes_, par.new_column_as_json_objects_) == (
        seq.new_column_names_, seq.new_column_dtypes_, seq.new_column_as_json_objects_)
