"""Data preparation: MakeDFReady, PreprocessDF and DatasetS."""
import numpy as np
import pandas as pd
import pytest

from karrow_libs.utils import fc_methods


def mixed_frame():
    return pd.DataFrame({"a": np.array([1, 2, 3], dtype=np.int64), "b": ["x", "y", "z"],
                         "c": [0.5, 1.5, 2.5]})


# --- MakeDFReady ---------------------------------------------------------------------------

@pytest.mark.parametrize("frame, want", [
    (mixed_frame(), [0, 2]),
    (pd.DataFrame({"s": ["p", "q"], "t": [True, False]}), []),          # bool is not numeric here
    (pd.DataFrame(np.zeros((2, 3), dtype=np.float32)), [0, 1, 2]),
    (pd.DataFrame({"d": pd.to_datetime(["2020-01-01"]), "u": np.array([7], dtype=np.uint16)}), [1]),
    (pd.DataFrame(), []),
])
def test_make_df_ready_keeps_numeric_positions(tu, frame, want):
    ready = tu.MakeDFReady()
    assert ready.fit(frame, None) is ready and ready.run_ is True
    assert ready.numeric_colids_ == want
    out = ready.transform(frame, n_jobs=3)
    assert out.shape == (len(frame), len(want)) and list(out.columns) == [frame.columns[i] for i in want]


def test_make_df_ready_selects_by_position_not_label(tu):
    ready = tu.MakeDFReady().fit(mixed_frame(), None)
    other = pd.DataFrame({"p": [9, 8], "q": ["u", "v"], "r": [1.0, 2.0], "s": [0, 0]})
    assert list(ready.transform(other).columns) == ["p", "r"]


def test_make_df_ready_accepts_an_array_and_refits_afresh(tu):
    ready = tu.MakeDFReady().fit(np.ones((2, 2)), None)
    assert ready.numeric_colids_ == [0, 1]
    assert ready.fit(pd.DataFrame({"t": ["a"]}), None).numeric_colids_ == []


def test_make_df_ready_refuses_transform_before_fit(tu):
    with pytest.raises(ValueError, match="^MakeDFReady issue$"):
        tu.MakeDFReady().transform(mixed_frame())
    with pytest.raises(TypeError):
        tu.MakeDFReady().fit(mixed_frame())


def test_make_df_ready_reports_a_failed_selection(tu, capsys):
    ready = tu.MakeDFReady().fit(mixed_frame(), None)
    with pytest.raises(Exception) as err:
        ready.transform(pd.DataFrame({"only": [1], "two": [2]}))
    assert type(err.value) is Exception and str(err.value) == "Issue in MakeDFReady.transform"
    assert isinstance(err.value.__context__, IndexError)
    assert capsys.readouterr().out.splitlines() == ["present columns: 2", "numeric columns to keep[0, 2]"]


def test_make_df_ready_reports_unjudgeable_columns_and_goes_on(tu, monkeypatch, capsys):
    calls = []

    def flaky():
        calls.append(1)
        if len(calls) == 1:
            raise RuntimeError("no list")
        return ["int64", "float64"]

    monkeypatch.setattr(tu.DataUtils, "NumericDataTypes", staticmethod(flaky))
    ready = tu.MakeDFReady().fit(mixed_frame(), None)
    assert ready.numeric_colids_ == [2]          # column a is numeric but its test failed
    assert capsys.readouterr().out == str(mixed_frame().iloc[:, 0]) + "\ncolname=a\n"


def test_make_df_ready_report_fails_on_a_non_text_label(tu, monkeypatch, capsys):
    monkeypatch.setattr(tu.DataUtils, "NumericDataTypes", staticmethod(lambda: 1 / 0))
    with pytest.raises(TypeError, match="can only concatenate str"):
        tu.MakeDFReady().fit(np.ones((2, 2)), None)
    assert capsys.readouterr().out.count("Name: 0") == 1


# --- PreprocessDF -------------------------------------------------------------------------------

def frame_for_dates(text_dtype):
    return pd.DataFrame({
        "when": pd.Series(["2021-01-05", "2021-02-06", "2022-12-31"], dtype=text_dtype),
        "n": [1, 2, 3],
        "f": [0.5, 1.5, 2.5],
        "flag": [True, False, True],
        "stamp": pd.to_datetime(["2020-01-01", "2020-01-02", "2020-01-03"]),
        "cat": pd.Categorical(["2021-01-05", "2021-01-05", "2021-01-06"]),
    })


@pytest.mark.parametrize("text_dtype", [object, "string", None])
def test_preprocess_converts_text_dates_only(tu, text_dtype):
    df = frame_for_dates(text_dtype)
    before = df.copy(deep=True)
    out = tu.PreprocessDF().transform(df, n_jobs=4)
    assert out is not df and list(out.columns) == list(df.columns)
    assert out["when"].dtype.kind == "M"
    assert list(out["when"]) == [pd.Timestamp("2021-01-05"), pd.Timestamp("2021-02-06"), pd.Timestamp("2022-12-31")]
    for col in ("n", "f", "flag", "stamp", "cat"):
        assert out[col].dtype == df[col].dtype and out[col].equals(df[col])
    pd.testing.assert_frame_equal(df, before)                    # the input frame is left as it was


@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize("text_dtype", [object, "string", None])
def test_preprocess_leaves_free_text(tu, text_dtype):
    df = pd.DataFrame({"t": pd.Series(["hello", "not a date"], dtype=text_dtype), "n": [1, 2]})
    out = tu.PreprocessDF().transform(df)
    pd.testing.assert_frame_equal(out, df)


def test_preprocess_accepts_what_the_frame_constructor_accepts(tu):
    out = tu.PreprocessDF().transform({"d": ["2020-03-01"], "x": [1]})
    assert isinstance(out, pd.DataFrame) and out["d"].dtype.kind == "M" and out["x"].dtype.kind == "i"


@pytest.mark.parametrize("error, swallowed", [(ValueError, True), (TypeError, False), (KeyError, False)])
def test_preprocess_swallows_only_value_errors(tu, monkeypatch, error, swallowed):
    def to_datetime(col):
        raise error("bad")

    monkeypatch.setattr(pd, "to_datetime", to_datetime)
    df = pd.DataFrame({"t": ["2020-01-01"]})
    if swallowed:
        pd.testing.assert_frame_equal(tu.PreprocessDF().transform(df), df)
    else:
        with pytest.raises(error):
            tu.PreprocessDF().transform(df)


def test_preprocess_fit_does_nothing(tu):
    p = tu.PreprocessDF()
    assert p.fit(None, None) is p and list(vars(p)) == ["uid"]


# --- DatasetS -----------------------------------------------------------------------------------

class ColumnFrame:
    """A frame in the column-adding style: withColumn returns a new frame."""

    def __init__(self, cols):
        self.cols = dict(cols)

    @property
    def columns(self):
        return list(self.cols)

    def __getitem__(self, name):
        return self.cols[name]

    def withColumn(self, name, column):
        return ColumnFrame({**self.cols, name: column})


def test_add_new_columns_transforms_only_the_original_columns(tu):
    first = ColumnFrame({"a": [1, 10], "b": [100]})
    ds = tu.DatasetS(first)
    seen = []

    def fun(col):
        seen.append(col)
        return [len(col)]

    assert ds.AddNewColumns(fun) is None
    assert ds.df is not first and first.columns == ["a", "b"]
    assert ds.df.columns == ["a", "b", "loga", "logb"]
    assert seen == [[1, 10], [100]] and ds.df["loga"] == [2] and ds.df["logb"] == [1]


def test_add_new_columns_on_no_columns_calls_nothing(tu):
    frame = ColumnFrame({})
    ds = tu.DatasetS(frame)
    assert ds.AddNewColumns(lambda c: 1 / 0) is None and ds.df is frame


def test_add_new_columns_errors_propagate_and_keep_earlier_columns(tu):
    ds = tu.DatasetS(ColumnFrame({"a": [1], "b": [0]}))
    with pytest.raises(ZeroDivisionError):
        ds.AddNewColumns(lambda c: 1 / c[0])
    assert ds.df.columns == ["a", "b", "loga"]


def test_add_new_columns_needs_with_column(tu):
    df = pd.DataFrame({"a": [1.0]})
    ds = tu.DatasetS(df)
    assert ds.df is df
    with pytest.raises(AttributeError, match="withColumn"):
        ds.AddNewColumns(np.log)
    assert ds.df is df


@pytest.mark.parametrize("y, want", [
    (np.linspace(0.0, 1.0, 200), "regression"),
    (np.array([0, 1] * 50), "classification"),
    (pd.Series(["a", "b", "a"]), "classification"),
])
def test_get_target_type_follows_the_constraint(tu, y, want):
    assert tu.DatasetS.GetTargetType(y) == want
    assert want == ("regression" if fc_methods.is_not_categorical(y) else "classification")


def test_get_target_type_uses_the_bound_constraint_module(tu, monkeypatch):
    monkeypatch.setattr(tu.FC, "is_not_categorical", lambda y: y)
    assert tu.DatasetS.GetTargetType([]) == "classification"
    assert tu.DatasetS.GetTargetType([0]) == "regression"
