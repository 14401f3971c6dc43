"""Data preparation: MakeDFReady, PreprocessDF and DatasetS."""
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp


def mixed_frame():
    return pd.DataFrame({"a": np.array([1, 2, 3], dtype=np.int64), "b": ["x", "y", "z"], "c": [0.5, 1.5, 2.5]})


@pytest.mark.parametrize("frame, want", [
    (mixed_frame(), [0, 2]),
    (pd.DataFrame({"s": ["p", "q"], "t": [True, False]}), []),          # bool is not numeric here
    (np.zeros((2, 3), dtype=np.float32), [0, 1, 2]),
    (pd.DataFrame({"d": pd.to_datetime(["2020-01-01"]), "u": np.array([7], dtype=np.uint16)}), [1]),
    (pd.DataFrame(), []),
])
def test_make_df_ready_keeps_numeric_positions(tu, frame, want):
    ready = tu.MakeDFReady()
    assert ready.fit(frame, None) is ready and ready.run_ is True and ready.numeric_colids_ == want
    frame = pd.DataFrame(frame)
    pd.testing.assert_frame_equal(ready.transform(frame, n_jobs=3), frame.iloc[:, want])
    other = pd.DataFrame({f"o{i}": [i] for i in range(4)})               # positions, not labels
    assert list(ready.transform(other).columns) == [f"o{i}" for i in want]


def test_make_df_ready_refuses_and_reports(tu, capsys):
    with pytest.raises(ValueError, match="^MakeDFReady issue$"):
        tu.MakeDFReady().transform(mixed_frame())
    ready = tu.MakeDFReady().fit(mixed_frame(), None)
    with pytest.raises(Exception) as err:
        ready.transform(pd.DataFrame({"only": [1], "two": [2]}))
    assert type(err.value) is Exception and str(err.value) == "Issue in MakeDFReady.transform"
    assert capsys.readouterr().out.splitlines() == ["present columns: 2", "numeric columns to keep[0, 2]"]
    assert ready.fit(pd.DataFrame({"t": ["a"]}), None).numeric_colids_ == []  # a refit starts afresh


def test_make_df_ready_reports_unjudgeable_columns(tu, monkeypatch, capsys):
    calls = []

    def first_call_fails():
        calls.append(1)
        return 1 / (len(calls) - 1) and ["int64", "float64"]

    monkeypatch.setattr(tu.DataUtils, "NumericDataTypes", staticmethod(first_call_fails))
    assert tu.MakeDFReady().fit(mixed_frame(), None).numeric_colids_ == [2]
    assert capsys.readouterr().out == str(mixed_frame().iloc[:, 0]) + "\ncolname=a\n"
    monkeypatch.setattr(tu.DataUtils, "NumericDataTypes", staticmethod(lambda: 1 / 0))
    with pytest.raises(TypeError, match="can only concatenate str"):   # integer labels cannot be reported
        tu.MakeDFReady().fit(np.ones((2, 2)), None)


def date_frame(text_dtype):
    return pd.DataFrame({
        "when": pd.Series(["2021-01-05", "2021-02-06"], dtype=text_dtype), "n": [1, 2], "f": [0.5, 1.5],
        "flag": [True, False], "stamp": pd.to_datetime(["2020-01-01", "2020-01-02"]),
        "cat": pd.Categorical(["2021-01-05", "2021-01-06"])})


@pytest.mark.parametrize("text_dtype", [object, "string", None])        # None: the default text dtype
def test_preprocess_converts_text_dates_only(tu, text_dtype):
    df = date_frame(text_dtype)
    before = df.copy(deep=True)
    out = tu.PreprocessDF().transform(df, n_jobs=4)
    assert list(out["when"]) == [pd.Timestamp("2021-01-05"), pd.Timestamp("2021-02-06")]
    pd.testing.assert_frame_equal(out.drop(columns="when"), df.drop(columns="when"))
    pd.testing.assert_frame_equal(df, before)                            # the input is left as it was


@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize("text_dtype", [object, "string", None])
def test_preprocess_leaves_free_text(tu, text_dtype):
    df = pd.DataFrame({"t": pd.Series(["hello", "not a date"], dtype=text_dtype)})
    pd.testing.assert_frame_equal(tu.PreprocessDF().transform(df), df)
    assert tu.PreprocessDF().transform({"d": ["2020-03-01"]})["d"].dtype.kind == "M"


@pytest.mark.parametrize("error", [ValueError, TypeError, KeyError])
def test_preprocess_swallows_only_value_errors(tu, monkeypatch, error):
    def to_datetime(col):
        raise error("bad")

    monkeypatch.setattr(pd, "to_datetime", to_datetime)
    df = pd.DataFrame({"t": ["2020-01-01"]})
    if error is ValueError:
        pd.testing.assert_frame_equal(tu.PreprocessDF().transform(df), df)
    else:
        with pytest.raises(error):
            tu.PreprocessDF().transform(df)
    p = tu.PreprocessDF()
    assert p.fit(None, None) is p and list(vars(p)) == ["uid"]


class ColumnFrame:
    """A frame in the column-adding style: withColumn returns a new frame."""

    def __init__(self, cols):
        self.cols = dict(cols)
        self.columns = list(self.cols)

    def __getitem__(self, name):
        return self.cols[name]

    def withColumn(self, name, column):
        return ColumnFrame({**self.cols, name: column})


@pytest.mark.parametrize("cols, fun, error, want", [
    ({"a": [1, 10], "b": [100]}, len, None, ["a", "b", "loga", "logb"]),   # added columns are not transformed
    ({}, lambda c: 1 / 0, None, []),
    ({"a": [1], "b": [0]}, lambda c: 1 / c[0], ZeroDivisionError, ["a", "b", "loga"]),
])
def test_add_new_columns(tu, cols, fun, error, want):
    first = ColumnFrame(cols)
    ds = tu.DatasetS(first)
    if error:
        with pytest.raises(error):
            ds.AddNewColumns(fun)
    else:
        assert ds.AddNewColumns(fun) is None
    assert ds.df.columns == want and first.columns == list(cols)
    if want[2:3] == ["loga"] and error is None:
        assert ds.df["loga"] == 2 and ds.df["logb"] == 1


@pytest.mark.parametrize("fun, error", [(np.log, AttributeError), (lambda c: 1 / 0, ZeroDivisionError)])
def test_add_new_columns_runs_the_function_before_asking_for_with_column(tu, fun, error):
    df = pd.DataFrame({"a": [1.0]})
    ds = tu.DatasetS(df)
    with pytest.raises(error):
        ds.AddNewColumns(fun)
    assert ds.df is df


def numpy_steps(col):
    """The three replacement steps as numpy performs them."""
    for test in (np.isnan, np.isinf, np.isneginf):
        if test(col).any():
            col[test(col)] = 0
    return col


def duplicated_sparse(kind):
    coo = sp.coo_matrix(([1e308, 1e308, np.nan, 2.0], ([0, 0, 1, 1], [0, 0, 1, 0])), shape=(2, 2))
    if kind == "coo":
        return coo
    return sp.csr_matrix((coo.data, coo.col, [0, 2, 4]), shape=(2, 2))  # not canonical: (0, 0) stored twice


@pytest.mark.parametrize("make", [
    lambda: np.array([1.0, np.nan, np.inf, -np.inf]), lambda: np.array([[np.nan, 1], [-np.inf, 2]], np.float32),
    lambda: np.arange(4), lambda: np.ma.array([np.nan, np.inf, 1.0, np.nan], mask=[True, False, False, False]),
    lambda: duplicated_sparse("coo"), lambda: duplicated_sparse("csr"),
], ids=["float64", "float32-2d", "int", "masked", "coo-duplicates", "csr-duplicates"])
def test_replace_nan_and_inf_cleans_in_place_as_numpy_does(tu, make):
    col, want = make(), make()
    with np.errstate(over="ignore"):  # two stored 1e308 sum to inf
        assert tu.DataUtils.replace_nan_and_inf(col) is col
    if sp.issparse(col):
        assert np.array_equal(col.toarray(), numpy_steps(want.toarray()))
        assert np.isfinite(col.data).all()
        return
    want = numpy_steps(want)
    assert col.dtype == want.dtype and np.array_equal(np.asarray(col.data), np.asarray(want.data), equal_nan=True)
    assert np.array_equal(np.ma.getmaskarray(col), np.ma.getmaskarray(want))


@pytest.mark.parametrize("y, want", [(np.linspace(0.0, 1.0, 200), "regression"), (np.array([0, 1] * 50), "classification"),
                                     (pd.Series(["a", "b", "a"]), "classification")])
def test_get_target_type(tu, monkeypatch, y, want):
    assert tu.DatasetS.GetTargetType(y) == want
    monkeypatch.setattr(tu.FC, "is_not_categorical", lambda y: y)     # the truth of the bound module's answer
    assert (tu.DatasetS.GetTargetType([]), tu.DatasetS.GetTargetType([0])) == ("classification", "regression")
