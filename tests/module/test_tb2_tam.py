"""TB2 (estimators per ordered column pair of a data frame) and TAM (one estimator on the whole table)."""
import random

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from sklearn.decomposition import PCA

import karrow_libs.utils.fc_methods as FC
from karrow_libs.vantor.transforms.transform_utils import TAM, TB2, SingletonCandidateSpaceDescriptor

from conftest import RecordingGraph, drawn_names


class PairEstimator:
    """fit on a two-column frame; transform(frame1, frame2) gives make(a, b) of the two columns."""

    make = None

    def fit(self, df):
        self.fitted_on_ = list(df.columns)
        return self

    def transform(self, in1, in2):
        assert isinstance(in1, pd.DataFrame) and isinstance(in2, pd.DataFrame)
        return type(self).make(in1.iloc[:, 0].to_numpy(), in2.iloc[:, 0].to_numpy())


def pair_estimator(make):
    return type("PairEstimator", (PairEstimator,), {"make": staticmethod(make)})


PRODUCT = pair_estimator(lambda a, b: a * b)


@pytest.fixture
def frame():
    return pd.DataFrame({"a": [1, 2, 3, 4], "b": [0.5, 1.5, 2.5, 3.5], "c": [2.0, 4.0, 6.0, 8.0]})


def tb2(est=PRODUCT, dt1=("numeric",), dt2=("numeric",), fc1=None, fc2=None, **kw):
    return TB2(est, "combo", list(dt1), fc1, list(dt2), fc2, **kw)


def test_pairs_are_ordered_and_exclude_self_pairs(frame):
    assert tb2(dt1=["float64"], dt2=["float64"]).get_candidates(frame) == [("b", "c"), ("c", "b")]
    # a column unsuited to position 1 starts no pair, but may end one
    assert tb2(dt1=["float64"], dt2=["int64", "float64"]).get_candidates(frame) == [
        ("b", "a"), ("b", "c"), ("c", "a"), ("c", "b")]


def test_descriptor_has_one_dimension_per_position(frame):
    desc = tb2(dt1=["int64"], dt2=["float64"]).get_candidates_space_descriptor(frame, None, None)
    assert desc.matching_colids_by_arg == {0: ["a"], 1: ["b", "c"]}


def test_constraints_get_the_series_and_its_label_names_the_cache(frame):
    graph = RecordingGraph(cache={("is_positive", "c"): False})
    t = tb2(dt1=["float64"], dt2=["float64"], fc1=[FC.is_positive], tgraph=graph)
    assert t.get_candidates(frame) == [("b", "c")]  # c is rejected for position 1 only, from the cache
    assert ("add", "is_positive", "b", True) in graph.calls
    assert ("get", "is_positive", "c") in graph.calls


def test_fit_transform_names_values_and_estimator_inputs():
    X = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
    t = tb2().fit(X, None)
    assert t.col_id_pairs_ == [(0, 1), (1, 0)]
    assert [o.fitted_on_ for o in t.tobjects_] == [[0, 1], [1, 0]]
    out = t.tansform(X, return_new_cols_only=True)
    assert isinstance(out, pd.DataFrame)
    assert list(out.columns) == [0, 1, "combo(0__1)", "combo(1__0)"]
    assert out["combo(0__1)"].tolist() == [2.0, 12.0, 30.0]
    assert t.datatypes1[:3] == ["intc", "intp", "int_"]  # resolved at fit


@pytest.mark.parametrize("make, kind", [
    (lambda a, b: pd.Series(a - b), "Series"),
    (lambda a, b: np.column_stack([a, b, a + b]), "ndarray"),
    (lambda a, b: sp.csr_matrix(np.column_stack([a, b, a + b])), "csr_matrix"),
])
def test_output_kinds(make, kind):
    X = np.array([[1.0, 2.0], [3.0, 5.0]])
    t = tb2(est=pair_estimator(make)).fit(X, None)
    out = t.tansform(X)
    a, b = X[:, 0], X[:, 1]
    if kind == "Series":
        assert list(out.columns)[2:] == ["combo(0__1)", "combo(1__0)"]
        assert out["combo(0__1)"].tolist() == (a - b).tolist()
    else:
        assert list(out.columns)[2:5] == ["combo_0(0__1)", "combo_1(0__1)", "combo_2(0__1)"]
        assert out["combo_2(1__0)"].tolist() == (a + b).tolist()


def test_names_unique_against_the_growing_frame_and_nan_replaced_everywhere():
    X = pd.DataFrame({0: [1.0, np.nan, 3.0], 1: [np.inf, 2.0, 4.0], "combo(0__1)": ["x", "y", "z"]})
    t = TB2(PRODUCT, "combo", ["float64"], None, ["float64"], None).fit(X, None)
    random.seed(4)
    out = t.tansform(X)
    random.seed(4)
    assert list(out.columns) == [0, 1, "combo(0__1)"] + drawn_names(["combo(0__1)", "combo(1__0)"], X.columns)
    assert out[0].tolist() == [1.0, 0.0, 3.0] and out[1].tolist() == [0.0, 2.0, 4.0]
    assert out.iloc[:, 3].tolist() == [0.0, 0.0, 12.0]  # nan and inf products
    assert X[0].isna().sum() == 1  # the caller's frame is left alone


def test_no_pair_returns_the_input_as_a_cleaned_frame(capsys):
    X = np.array([[1.0, np.nan]])
    out = tb2(dt1=["int8"]).fit(X, None).tansform(X)
    assert out.values.tolist() == [[1.0, 0.0]]
    assert capsys.readouterr().out == ""
    unfitted = tb2()
    unfitted.tobjects_ = []
    with pytest.raises(AttributeError, match="col_id_pairs_"):
        unfitted.tansform(X)  # the pairs are read first, before the estimators
    del unfitted.tobjects_
    unfitted.col_id_pairs_ = []
    assert unfitted.tansform(X).shape == (1, 2)  # no pair: no estimator is asked for


# ---------------------------------------------------------------- TAM

class Scaled:
    """Whole-table estimator returning 1 / X (inf at 0)."""

    def fit(self, A):
        self.width_ = A.shape[1]
        return self

    def transform(self, A):
        with np.errstate(divide="ignore"):
            return 1.0 / A


@pytest.fixture
def wide():
    rng = np.random.default_rng(1)
    return rng.normal(size=(30, 3))


def test_tam_fits_on_all_columns_and_names_outputs(wide):
    t = TAM(PCA(n_components=2), "pca").fit(wide, None, ["pca_0", "b", "c"], ["float64"] * 3)
    assert t.cands == [(0, 1, 2)]
    assert t.trans_class_obj_.n_features_in_ == 3
    assert t.trans_class_obj_ is not t.tans_class and not hasattr(t.tans_class, "components_")
    random.seed(9)
    out = t.transform(wide)
    random.seed(9)
    first, second = drawn_names(["pca_0", "pca_1"], ["pca_0", "b", "c"])
    assert t.new_column_names_ == [first, second] and second == "pca_1"
    assert t.new_column_as_json_objects_ == [{"name": "$" + first}, {"name": "$pca_1"}]
    assert t.new_column_dtypes_ == [np.dtype("float64")] * 2
    expected = (wide - wide.mean(0)) @ t.trans_class_obj_.components_.T
    assert np.allclose(out[:, 3:], expected) and np.array_equal(out[:, :3], wide)


def test_tam_replaces_nan_and_inf_and_builds_json_from_names(wide):
    X = wide.copy()
    X[0, 1] = 0.0
    t = TAM(Scaled, "inv").fit(X, None, ["a", "b", "c"], None)
    new = t.transform(X, return_new_cols_only=True)
    assert new[0, 1] == 0.0 and np.isfinite(new).all()
    assert t.col_as_json_objects_ == [{"name": "$a"}, {"name": "$b"}, {"name": "$c"}]


def test_tam_errors(wide):
    t = TAM(PCA(), None)
    t.fit(wide, None, ["a", "b", "c"], None)
    with pytest.raises(IndexError):
        t.transform(wide[:, :2])
    t.get_candidates_space_descriptor = lambda df, n, d: SingletonCandidateSpaceDescriptor((0, 1))
    with pytest.raises(AssertionError):
        t.get_candidates(wide, None, None)
