"""TGen: construction errors, candidate orders, result kinds, multi-output names and estimators."""
import numpy as np
import pandas as pd
import pytest
import scipy.sparse
from sklearn.preprocessing import KBinsDiscretizer

from conftest import RecordingGraph, cleaned


def speed(d, t1, t2):
    return d / (t2 - t1)


def fitted(tu, fun, arg_count, X, names, name="f"):
    t = tu.TGen(fun, name, arg_count, [["numeric"]] * arg_count, [[]] * arg_count)
    return t.fit(X, None, names, [X.dtype] * X.shape[1])


@pytest.mark.parametrize("arg_count, dts, fcs, message", [
    (0, [], [], "Need at least 1 argument. Provided 0"),
    (2, [[], []], [[]], "Argument count does not match datatype_list (2) or fc_list (1)"),
    (1, [[], []], [[]], "Argument count does not match datatype_list (2) or fc_list (1)"),
])
def test_constructor_errors(tu, arg_count, dts, fcs, message):
    with pytest.raises(ValueError) as e:
        tu.TGen(np.add, "f", arg_count, dts, fcs)
    assert str(e.value) == message


def test_candidate_list_and_descriptor_orders(tu):
    X, names = np.ones((2, 3)), list("abc")
    t = tu.TGen(np.add, "add", 2, [["numeric"]] * 2, [[], []])
    assert t.get_candidates(X, names, ["float64"] * 3) == [(0, 1), (0, 2), (1, 0), (1, 2), (2, 0), (2, 1)]
    d = t.get_candidates_space_descriptor(X, names, ["float64"] * 3)
    assert [d.get_candidate(i) for i in range(d.get_size())] == [(1, 0), (0, 1), (0, 2), (2, 0), (2, 1), (1, 2)]
    one = tu.TGen(np.abs, "abs", 1, [["float"]], [[]])
    assert one.get_candidates(X, names, ["float64", "int8", "float32"]) == [(0,), (2,)]
    d1 = one.get_candidates_space_descriptor(X, names, ["float64", "int8", "float32"])
    assert [d1.get_candidate(i) for i in range(d1.get_size())] == [0, 2]
    none = tu.TGen(np.add, "add", 2, [["numeric"], ["object"]], [[], []]).fit(X, None, names, ["float64"] * 3)
    assert none.candidates_ == [] and none.get_candidates_space_descriptor(X, names, ["float64"] * 3).get_size() == 0
    with pytest.raises(ValueError, match="need at least one array"):
        none.transform(X)


def test_three_arguments_match_the_plain_algorithm(tu, mixed_table):
    X, names, dtypes = mixed_table
    t = tu.TGen(speed, "speed", 3, [["float"], ["numeric"], ["float64"]], [[], [], []]).fit(X, None, names, dtypes)
    want_cands = [(a, b, c) for a in (1, 2, 3) for b in range(4) for c in (2, 3) if len({a, b, c}) == 3]
    assert t.candidates_ == want_cands
    with np.errstate(divide="ignore", invalid="ignore"):
        got = t.transform(X)
        cols = [cleaned(speed(*(X[:, i] for i in c)))[:, None] for c in want_cands]
    np.testing.assert_array_equal(got, np.concatenate((X, np.concatenate(cols, 1)), 1))
    assert t.new_column_names_[0] == "speed(7___age___x___)"
    assert t.new_column_as_json_objects_[0] == {"expression": {"op": "speed", "params": [
        {"name": "$7"}, {"name": "$age"}, {"name": "$x"}]}}


@pytest.mark.parametrize("fun, want", [
    (lambda a, b: (a + b, np.c_[a - b]), lambda a, b: [a + b, a - b]),
    (lambda a, b: pd.DataFrame({"s": a + b, "p": a * b}), lambda a, b: [a + b, a * b]),
    (lambda a, b: (pd.Series(a + b), pd.Series(a * b), pd.Series(a - b)), lambda a, b: [a + b, a * b]),
    (lambda a, b: scipy.sparse.csr_matrix(np.c_[a, b * 0]), lambda a, b: [a, b * 0]),
])
def test_multi_output_results(tu, fun, want):
    X = np.array([[1.0, 2.0], [3.0, np.nan], [4.0, 6.0]])
    t = fitted(tu, fun, 2, X, ["a", "b"], name="g")
    got = t.transform(X, return_new_cols_only=True)
    cols = [cleaned(c)[:, None] for p in [(0, 1), (1, 0)] for c in want(X[:, p[0]], X[:, p[1]])]
    np.testing.assert_array_equal(got, np.concatenate(cols, 1))
    assert t.new_column_names_ == ["g_0(a___b___)", "g_1(a___b___)", "g_0(b___a___)", "g_1(b___a___)"]
    assert t.new_column_as_json_objects_[3] == {"expression": {"op": "g", "params": [
        {"output_index": 1}, {"name": "$b"}, {"name": "$a"}]}}


@pytest.mark.parametrize("fun, dtype", [
    (lambda a: pd.Series(a.astype(np.float32)), np.float32), (lambda a: pd.DataFrame({"x": a}), np.int64),
    (lambda a: a[:, None] > 1, np.bool_), (lambda a: scipy.sparse.coo_matrix(a[:, None]), np.int64),
    (lambda a: (pd.Series(a),), IndexError), (lambda a: list(a), AttributeError),
])
def test_single_output_kinds(tu, fun, dtype):
    X = np.array([[1, 5], [2, 7]], dtype=np.int64)
    t = fitted(tu, fun, 1, X, ["a", "b"])
    if isinstance(dtype, type) and issubclass(dtype, Exception):
        with pytest.raises(dtype):
            t.transform(X)
        return
    assert t.transform(X, return_new_cols_only=True).shape == (2, 2)
    assert t.new_column_dtypes_ == [np.dtype(dtype)] * 2 and t.new_column_names_ == ["f(a___)", "f(b___)"]


def test_plain_functions_are_cloned_per_candidate(tu):
    X = np.ones((2, 3))
    t = fitted(tu, np.add, 2, X, list("abc"))
    asked = []
    t.get_obj_clone_or_new_class_obj = lambda f: asked.append(f) or f
    t.transform(X)
    assert asked == [np.add] * 6 and t.transform_type == "A"


@pytest.mark.parametrize("encode", ["ordinal", "onehot"])
def test_estimator_like_function_fits_one_clone_per_candidate(tu, encode):
    X = np.random.default_rng(0).normal(size=(40, 2))
    proto = KBinsDiscretizer(n_bins=3, encode=encode, strategy="uniform")
    t = tu.TGen(proto, "kb", 1, [["numeric"]], [[]]).fit(X, None, ["u", "v"], ["float64"] * 2)
    assert t.transform_type == "B" and len(t.tobjects_) == 2 and proto not in t.tobjects_
    got = t.transform(X, return_new_cols_only=True)
    blocks = [KBinsDiscretizer(n_bins=3, encode=encode, strategy="uniform").fit(X[:, [c]]).transform(X[:, [c]])
              for c in (0, 1)]
    np.testing.assert_array_equal(got, np.concatenate([b.toarray() if scipy.sparse.issparse(b) else b
                                                       for b in blocks], 1))
    first = ["kb_0(u___)", "kb_1(u___)", "kb_2(u___)"] if encode == "onehot" else ["kb(u___)", "kb(v___)"]
    assert t.new_column_names_[:len(first)] == first


@pytest.mark.parametrize("proto", [np.negative, KBinsDiscretizer(n_bins=2, encode="ordinal")])
def test_capped_one_argument_candidates_are_1_tuples(tu, proto):
    X = np.random.default_rng(1).normal(size=(20, 4))
    t = tu.TGen(proto, "g", 1, [["numeric"]], [[]], RecordingGraph(max_feature_generate_one_node=2))
    t.fit(X, None, list("abcd"), ["float64"] * 4)
    assert len(t.candidates_) == 2 and all(type(c) is tuple and len(c) == 1 for c in t.candidates_)
    assert t.transform(X, return_new_cols_only=True).shape == (20, 2)
    assert t.new_column_names_ == ["g(" + "abcd"[c[0]] + "___)" for c in t.candidates_]


def test_helpers(tu):
    t = tu.TGen(np.add, "add", 2, [[], []], [[], []])
    assert t.combined_param_name([0, 2], ["x", "y", 3]) == "x___3___"
    s1, s2 = pd.Series([1, 2], name="p"), pd.Series([3, 4])
    assert list(tu.TGen.get_df_from_tuple_of_series((s1, s2)).columns) == ["0", "1"] and s1.name == "0"
    assert t.get_candidates_sub(None, 2, [(1, 0)], None, None) == [(1, 0)]
    assert t.all_fc_satisifed([lambda c: np.False_, lambda c: 0], np.ones(2), "a") is True
    assert t.all_fc_satisifed([lambda c: False, lambda c: 1 / 0], np.ones(2), "a") is False
