"""TB1: one fresh estimator per eligible column, outputs appended as named columns."""
import random

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from sklearn.preprocessing import MinMaxScaler, OneHotEncoder

import karrow_libs.utils.fc_methods as FC
from karrow_libs.vantor.transforms.transform_utils import TB1

from conftest import cleaned, drawn_names


@pytest.fixture
def table():
    """color: int codes 1..3; size: positive floats; temp: floats with a negative value."""
    color = np.array([1, 2, 3, 1, 2, 3, 1, 1, 2, 3], dtype=float)
    size = np.array([0.5, 1.5, 2.5, 3.5, 9.0, 4.0, 2.0, 7.0, 1.0, 6.0])
    temp = np.array([-1.0, 0.0, 2.0, 5.0, 3.0, 1.0, 4.0, 8.0, 6.0, 7.0])
    X = np.column_stack([color, size, temp])
    return X, ["color", "size", "temp"], ["int64", "float64", "float64"]


class Returning:
    """An estimator whose transform returns make(column) as it is."""

    make = None

    def fit(self, A):
        self.n_ = A.shape[0]
        return self

    def transform(self, A):
        return type(self).make(A[:, 0])


def estimator_returning(make):
    return type("Returning", (Returning,), {"make": staticmethod(make)})


def test_onehot_sparse_output_gives_one_column_per_category(table):
    X, names, dtypes = table
    t = TB1(OneHotEncoder, "onehot", ["int"], [FC.is_categorical, FC.is_positive]).fit(X, None, names, dtypes)
    assert t.colids_ == [0]
    out = t.transform(X)
    assert out.shape == (10, 6)
    assert np.array_equal(out[:, :3], X)
    for k, category in enumerate([1.0, 2.0, 3.0]):
        assert np.array_equal(out[:, 3 + k], (X[:, 0] == category).astype(float))
    assert t.new_column_names_ == ["onehot_0(color)", "onehot_1(color)", "onehot_2(color)"]
    assert [j["expression"]["op"] for j in t.new_column_as_json_objects_] == ["onehot_0", "onehot_1", "onehot_2"]
    assert all(j["expression"]["params"] == [{"name": "$color"}] for j in t.new_column_as_json_objects_)
    assert t.new_column_dtypes_ == [np.dtype("float64")] * 3


def test_one_estimator_per_column_fitted_on_its_own_column(table):
    X, names, dtypes = table
    t = TB1(MinMaxScaler, "mm", ["numeric"], [FC.is_not_categorical]).fit(X, None, names, dtypes)
    assert t.colids_ == [1, 2]
    assert t.tobjects_[0] is not t.tobjects_[1]
    assert [o.data_min_[0] for o in t.tobjects_] == [0.5, -1.0]
    new = t.transform(X, return_new_cols_only=True)
    expected = (X[:, 1:] - X[:, 1:].min(0)) / (X[:, 1:].max(0) - X[:, 1:].min(0))
    assert np.allclose(new, expected)
    assert t.new_column_names_ == ["mm(size)", "mm(temp)"]
    assert t.new_column_as_json_objects_[1] == {"expression": {"op": "mm", "params": [{"name": "$temp"}]}}


def test_new_names_unique_against_input_and_earlier_names(table):
    X, _, dtypes = table
    names = ["mm(temp)", "temp", "temp"]
    t = TB1(MinMaxScaler, "mm", ["float64"], None).fit(X, None, names, dtypes)
    random.seed(11)
    t.transform(X)
    random.seed(11)
    assert t.new_column_names_ == drawn_names(["mm(temp)"] * 2, names)


def stack(*cols):
    return np.column_stack(cols)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda c: c * 2, lambda c: stack(c * 2)),  # one-dimensional array
        (lambda c: stack(c, -c), lambda c: stack(c, -c)),
        (lambda c: pd.DataFrame({"p": c, "q": c + 1}), lambda c: stack(c, c + 1)),
        (lambda c: pd.Series(c * 3), lambda c: stack(c * 3)),
        (lambda c: (pd.Series(c), pd.Series(-c), pd.Series(c)), lambda c: stack(c, -c)),  # first two only
        (lambda c: sp.csr_matrix(stack(c, c)), lambda c: stack(c, c)),
        (lambda c: sp.csc_matrix(stack(c)), lambda c: stack(c)),  # any other type: toarray()
        (lambda c: np.log(c - 1.0), lambda c: cleaned(np.log(stack(c) - 1.0))),  # -inf, NaN become 0
    ],
)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_output_kinds_are_converted_by_type_name(table, make, expected):
    X, names, dtypes = table
    t = TB1(estimator_returning(make), "f", ["float64"], None).fit(X, None, names, dtypes)
    new = t.transform(X, return_new_cols_only=True)
    assert np.array_equal(new, np.hstack([expected(X[:, 1]), expected(X[:, 2])]))
    width = expected(X[:, 1]).shape[1]
    if width == 1:
        assert t.new_column_names_ == ["f(size)", "f(temp)"]
    else:
        assert t.new_column_names_ == ["f_0(size)", "f_1(size)", "f_0(temp)", "f_1(temp)"]


def test_eligibility_tests_dtype_first_and_unresolved_names_before_fit(table):
    X, names, dtypes = table
    seen = []

    def is_anything(col):
        seen.append(col.copy())
        return True

    t = TB1(MinMaxScaler, "mm", ["numeric"], [is_anything])
    # "numeric" is not resolved yet, so no dtype text matches it.
    assert t.get_candidates_space_descriptor(X, names, dtypes).matching_colids_by_arg == {0: []}
    t.datatypes = ["float64"]
    assert t.get_candidates_space_descriptor(X, names, dtypes).matching_colids_by_arg == {0: [1, 2]}
    assert [s.tolist() for s in seen] == [X[:, 1].tolist(), X[:, 2].tolist()]


def test_no_chosen_column_records_empty_lists_then_numpy_refuses(table):
    X, names, dtypes = table
    t = TB1(MinMaxScaler, "mm", ["int8"], None).fit(X, None, names, dtypes)
    assert t.colids_ == []
    with pytest.raises(ValueError, match="need at least one array"):
        t.transform(X)
    assert t.new_column_names_ == [] and t.new_column_dtypes_ == [] and t.new_column_as_json_objects_ == []
