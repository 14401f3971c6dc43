import numpy as np
import pandas as pd
import pytest

from karrow_libs.utils import fc_methods as FC

NAN = float("nan")
CONTAINERS = {"ndarray": np.asarray, "series": pd.Series, "list": list}


def _cases():
    # (predicate, values, expected), boundaries of each documented threshold.
    return [
        ("is_positive", [0.1, 3.0], True),
        ("is_positive", [0.0, 1.0], False),
        ("is_positive", [NAN, 1.0, 2.0], True),
        ("is_non_negative", [0.0, 1.0], True),
        ("is_non_negative", [-1e-9, 1.0], False),
        # 10 rows allow 10 // 2 = 5 levels
        ("is_categorical", [0, 1, 2, 3, 4] * 2, True),
        ("is_categorical", [0, 1, 2, 3, 4, 5, 0, 1, 2, 3], False),
        ("is_categorical", [0, 1], True),
        ("is_categorical", list(range(20)) * 5, True),
        ("is_categorical", list(range(21)) * 5, False),
        ("is_categorical", [0.5, 1.0, 0.5, 1.0], False),
        ("is_categorical", [1.0, 2.0, NAN, 1.0, 2.0], True),
        ("is_not_categorical", [0, 1, 2, 3, 4, 5, 0, 1, 2, 3], True),
        ("is_not_categorical", [0, 1, 0, 1], False),
        ("is_not_categorical", [0.5, 1.5, 2.5], True),
        # 10 rows: fewer than 8 distinct values needed
        ("is_lt80pc_unique_int", [0, 1, 2, 3, 4, 5, 6, 0, 1, 2], True),
        ("is_lt80pc_unique_int", [0, 1, 2, 3, 4, 5, 6, 7, 0, 1], False),
        ("is_lt80pc_unique_int", [1.5, 1.5, 1.5], False),
        ("is_latitude", [-90.0, 90.0, 0.5], True),
        ("is_latitude", [90.5, 0.5], False),
        ("is_latitude", [1.0, 2.0, NAN], False),
        ("is_longitude", [-180.0, 180.0, 0.5], True),
        ("is_longitude", [180.1, 0.5], False),
        ("is_longitude", [-3.0, 7.0], False),
        ("is_epoch", [100_000_000, 4_102_444_800], True),
        ("is_epoch", [99_999_999, 1_500_000_000], False),
        ("is_epoch", [4_102_444_801], False),
        ("is_epoch", [1.5e9 + 0.5], False),
        ("is_epoch", [1.5e9, NAN], True),
        ("is_distance", [0, 7], True),
        ("is_distance", [0.0, 1.5, NAN], True),
        ("is_distance", [-0.1, 1.5], False),
        ("is_distance", [1.0, float("inf")], False),
    ]


@pytest.mark.parametrize("container", sorted(CONTAINERS))
@pytest.mark.parametrize("name, values, expected", _cases())
def test_predicate_answers_python_bool_at_threshold(name, values, expected, container):
    assert getattr(FC, name)(CONTAINERS[container](values)) is expected


@pytest.mark.parametrize("name", FC.__all__)
@pytest.mark.parametrize(
    "values",
    [
        np.array(["a", "b", "a"]),
        np.array([1, "b", 2.5], dtype=object),
        pd.Series(["x", "y"], dtype="category"),
        ["north", "south"],
        np.array(["2020-01-01"], dtype="datetime64[D]"),
        np.array([]),
        np.array([NAN, NAN]),
    ],
    ids=["str", "object", "category", "str-list", "datetime", "empty", "all-nan"],
)
def test_non_numeric_or_empty_column_is_rejected_without_raising(name, values):
    assert getattr(FC, name)(values) is False


@pytest.mark.parametrize(
    "name, values, expected",
    [
        ("is_categorical", pd.Series([1, 2, None, 1, 2], dtype="Int64"), True),
        ("is_positive", pd.Series([1.5, None], dtype="Float64"), True),
        ("is_non_negative", np.array([True, False]), True),
        ("is_positive", np.array([True, False]), False),
        ("is_distance", np.array([[1.0], [2.0]]), True),
        ("is_categorical", np.random.default_rng(1).integers(0, 5, 100_000), True),
        ("is_not_categorical", np.random.default_rng(1).integers(0, 5, 100_000) + 0.25, True),
    ],
)
def test_nullable_boolean_2d_and_large_columns(name, values, expected):
    assert getattr(FC, name)(values) is expected
