"""PrepareFrame and prepare_target: categories, dates, missing cells and unusual targets."""

import os
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from karrow_libs.prepare import PrepareFrame, prepare_target
from karrow_libs.table import DataError, module_output

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")


def plan_of(prep, column):
    return next(p for p in prep.plan_ if p["column"] == column)


def column(table, name):
    return table.values[:, table.names.index(name)]


@pytest.mark.parametrize("tokens", [["1st", "2nd", "3rd"], ["Q1", "Q3", "Q4"], ["May", "June", "July"]])
def test_short_tokens_that_pandas_reads_as_dates_stay_categories(tokens):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"cls": rng.choice(tokens, 300), "x": rng.normal(size=300)})
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no date-guessing warning reaches the user
        table = PrepareFrame().fit_transform(frame)
    prep = PrepareFrame().fit(frame)
    assert plan_of(prep, "cls")["kind"] == "category"
    assert table.names == ["cls"] + ["cls=" + t for t in sorted(tokens)] + ["x"]
    assert sorted(set(column(table, "cls"))) == [1.0, 2.0, 3.0]
    assert (column(table, "cls=" + tokens[1]) == (frame["cls"] == tokens[1])).all()


@pytest.mark.parametrize("outside", ["0001-01-01", "9999-12-31", "1500-06-01"])
def test_dates_outside_the_plausible_range_make_the_column_a_category(outside):
    frame = pd.DataFrame({"when": ["2020-01-0" + str(i % 9 + 1) for i in range(59)] + [outside],
                          "x": np.arange(60.0)})
    prep = PrepareFrame()
    table = prep.fit_transform(frame)
    plan = plan_of(prep, "when")
    assert plan["kind"] == "category" and "outside" in plan["how"]
    assert not any(n.startswith("year(") for n in table.names)
    prep.transform(pd.DataFrame({"when": ["0001-01-01", "2020-02-30"], "x": [1.0, 2.0]}))


def test_date_parts_with_missing_and_unparseable_cells():
    stamps = ["2021-03-04", "2020-12-31", "", "2019-07-15 10:30:00", None, "2022-01-01"] * 5
    prep = PrepareFrame()
    table = prep.fit_transform(pd.DataFrame({"d": stamps}))
    assert table.names == ["year(d)", "month(d)", "dayofweek(d)", "dayofyear(d)", "epoch_seconds(d)",
                           "is_missing(d)"]
    assert [str(t) for t in table.dtypes] == ["int64"] * 5 + ["float64"]
    assert table.lineage[0] == {"expression": {"op": "year", "params": [{"name": "$d"}]}}
    assert table.values[0].tolist() == [2021, 3, 3, 63, 1614816000, 0]
    assert table.values[3, 4] == 1563186600  # the time of day counts in the seconds
    medians = table.values[2]
    assert medians[-1] == 1 and medians[0] == 2020  # the median year 2020.5, rounded
    new = prep.transform(pd.DataFrame({"d": ["not a date", "2024-02-29"]}))
    assert new.values[0, :5].tolist() == medians[:5].tolist() and new.values[0, 5] == 1
    assert new.values[1, :4].tolist() == [2024, 2, 3, 60]
    assert prep.unparsed_cells(pd.DataFrame({"d": ["not a date", "2024-02-29", ""]})) == 1
    monthly = PrepareFrame().fit(pd.DataFrame({"m": ["%d-%02d-01" % (2018 + i // 12, i % 12 + 1) for i in range(30)]}))
    assert monthly.names_ == ["year(m)", "month(m)", "epoch_seconds(m)"]


def test_categories_first_seen_at_transform_go_to_the_rare_or_unknown_level():
    rng = np.random.default_rng(1)
    n = 400
    frame = pd.DataFrame({"few": rng.choice(["a", "b", "c"], n), "many": ["L" + str(i % 200) for i in range(n)],
                          "flag": rng.choice([True, False], n)})
    frame.loc[:2, "few"] = "z"  # 3 rows: rare
    y = rng.normal(size=n)
    prep = PrepareFrame(min_level_rows=6).fit(frame, y)
    assert [p["outputs"] for p in prep.plan_] == [
        ["few", "few=a", "few=b", "few=c", "few=(rare)"], ["many", "freq(many)", "mean(target | many)"],
        ["flag", "flag=True"]]
    new = pd.DataFrame({"few": ["never seen", "z", None], "many": ["new", "L3", "L3"], "flag": [True, False, True]})
    table = prep.transform(new)
    rare = prep.recipes_[0].unknown_code
    assert column(table, "few").tolist() == [rare, rare, rare]
    assert column(table, "few=(rare)").tolist() == [1, 1, 1] and column(table, "few=a").tolist() == [0, 0, 0]
    assert column(table, "freq(many)")[0] == 0 and column(table, "freq(many)")[1] == np.mean(frame["many"] == "L3")
    assert column(table, "mean(target | many)")[0] == pytest.approx(y.mean())
    codes = column(prep.transform(frame), "many")
    assert codes.min() >= 1 and np.unique(codes).size <= 20  # codes stay categorical for the module


@pytest.mark.parametrize("smoothing", [10.0, 0.0])
def test_target_mean_never_sees_the_row_it_encodes(smoothing):
    rng = np.random.default_rng(2)
    n = 1500
    frame = pd.DataFrame({"noise": ["L" + str(v) for v in rng.integers(0, 300, n)]})
    y = rng.normal(size=n)
    prep = PrepareFrame(min_level_rows=1, smoothing=smoothing)
    out_of_fold = column(prep.fit_transform(frame, y), "mean(target | noise)")
    in_sample = column(prep.transform(frame), "mean(target | noise)")
    assert abs(np.corrcoef(out_of_fold, y)[0, 1]) < 0.1
    assert np.corrcoef(in_sample, y)[0, 1] > 0.3  # what a leak would look like
    from sklearn.linear_model import Ridge
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import make_pipeline

    from karrow_libs.prepare import TableValues

    pipe = make_pipeline(PrepareFrame(smoothing=smoothing), TableValues(), Ridge())
    score = cross_val_score(pipe, frame, y, cv=5).mean()
    assert score < 0.01


@pytest.mark.parametrize("values,task,expect_task,expect_y", [
    (["yes", "no", None, "yes", " no", ""], None, "classification", ["yes", "no", "yes", "no"]),
    ([1.5, np.nan, 2.5, 3.25, np.inf, 7.0], None, "regression", [1.5, 2.5, 3.25, 7.0]),
    ([0, 1, 1, 0, 1, 0], None, "classification", [0, 1, 1, 0, 1, 0]),
    ([0, 1, 1, 0, 1, 0], "regression", "regression", [0.0, 1.0, 1.0, 0.0, 1.0, 0.0]),
    (["1.5", "2", "NA", "4"], None, "regression", [1.5, 2.0, 4.0]),
])
def test_prepare_target(values, task, expect_task, expect_y):
    y, got_task, info = prepare_target(pd.Series(values, name="t"), task)
    assert got_task == expect_task and y.tolist() == expect_y
    assert info["dropped_rows"] == len(values) - len(expect_y) and info["kept_rows"].sum() == len(expect_y)
    assert y.dtype == (np.float64 if got_task == "regression" else y.dtype)


@pytest.mark.parametrize("values,task,message", [
    (["a", "a", "a", None], None, "single value"),
    ([1.0, np.nan, 2.0], None, "at least 3"),
    (["yes", "no", "yes"], "regression", "cannot be a regression target"),
])
def test_prepare_target_refuses_targets_that_cannot_be_learnt(values, task, message):
    with pytest.raises(DataError, match=message):
        prepare_target(pd.Series(values), task)


def test_missing_numbers_take_the_training_median_and_an_indicator():
    frame = pd.DataFrame({"x": [1.0, np.nan, 3.0, np.inf, 10.0, 2.0], "full": [1.5, 2, 3, 4, 5, 6],
                          "n": [5, 1, 2, 5, 7, 8], "txt": ["1", "2", "?", "4", "5", "6.5"]})
    prep = PrepareFrame()
    table = prep.fit_transform(frame)
    assert table.names == ["x", "is_missing(x)", "full", "n", "txt", "is_missing(txt)"]
    assert column(table, "x").tolist() == [1, 2.5, 3, 2.5, 10, 2] and column(table, "is_missing(x)").tolist() == [
        0, 1, 0, 1, 0, 0]
    assert [str(d) for d in table.dtypes][:4] == ["float64", "float64", "float64", "int64"]
    new = pd.DataFrame({"txt": ["oops", "3"], "n": [9, 1], "x": ["7", None], "full": [0, 0], "extra": [1, 2]})
    again = prep.transform(new)
    assert again.values.tolist() == [[7, 0, 0, 9, 4, 1], [2.5, 1, 0, 1, 3, 0]]
    assert prep.unparsed_cells(new) == 1
    with pytest.raises(DataError, match="missing column 'full'"):
        prep.transform(new.drop(columns="full"))


def test_names_lineage_kinds_and_reasons():
    rng = np.random.default_rng(4)
    n = 200
    frame = pd.DataFrame({
        "age": np.where(rng.random(n) < 0.2, np.nan, rng.uniform(1, 80, n)),
        "sex": rng.choice(["female", "male", "male"], n),
        "city": np.where(rng.random(n) < 0.1, None, rng.choice(["c" + str(i) for i in range(60)], n)),
        "rooms": rng.integers(1, 6, n),
        "day": pd.Series(pd.date_range("2020-01-01", periods=n, freq="97h")).dt.strftime("%Y-%m-%d %H:%M"),
        "id": ["row" + str(i) for i in range(n)],
        "const": "same",
        "empty": [None] * n,
    })
    prep = PrepareFrame()
    table = prep.fit_transform(frame, rng.normal(size=n))
    lineage = dict(zip(table.names, table.lineage))
    assert lineage["age"] == {"name": "$age"}
    assert lineage["is_missing(age)"] == {"expression": {"op": "is_missing", "params": [{"name": "$age"}]}}
    assert lineage["sex=female"] == {"expression": {"op": "is", "params": [{"name": "$sex"}, {"value": "female"}]}}
    assert lineage["freq(city)"] == {"expression": {"op": "frequency", "params": [{"name": "$city"}]}}
    assert lineage["mean(target | city)"] == {"expression": {"op": "target_mean", "params": [{"name": "$city"}]}}
    assert lineage["city"] == {"name": "$city"} and lineage["rooms=3"]["expression"]["params"][1] == {"value": "3"}
    assert lineage["epoch_seconds(day)"] == {"expression": {"op": "epoch_seconds", "params": [{"name": "$day"}]}}
    dtypes = dict(zip(table.names, map(str, table.dtypes)))
    assert dtypes["city"] == dtypes["sex"] == dtypes["rooms"] == dtypes["year(day)"] == "int64"
    assert [p["kind"] for p in prep.plan_] == ["numeric", "category", "category", "category", "date",
                                               "left_out", "left_out", "left_out"]
    assert [p["reason"].split(":")[0] for p in prep.plan_[5:]] == ["an identifier", "a single value", "no values"]
    assert prep.n_kinds_ == {"numeric": 1, "categories": 2 + 3 + 6, "dates": 5, "missing indicators": 1}
    assert sum(prep.n_kinds_.values()) == table.shape[1] == table.n_inputs == len(set(table.names))
    # The module's group-by transforms take the code columns as group keys.
    from karrow_libs.vantor.transforms import transform_utils as tu

    for name in ("groupbymean", "pair", "freq", "onehot"):
        t = tu.TransformBase.GetTransformObj(name)
        with module_output():
            t.fit(table.values, None, table.names, table.dtypes, table.lineage)
        cands = getattr(t, "candidates_", None) or [(c,) for c in t.colids_]
        keys = {table.names[c[0]] for c in cands}
        assert {"sex", "city", "rooms"} <= keys, name


def test_pickled_frame_transforms_like_the_original_and_transform_learns_nothing():
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"c": rng.choice(list("abcdefghijklmn"), 300), "x": rng.normal(size=300),
                          "d": pd.date_range("2000-01-01", periods=300).astype(str)})
    frame.loc[::7, "x"] = np.nan
    prep = PrepareFrame(max_onehot=5).fit(frame, rng.normal(size=300))
    before = pickle.dumps(prep)
    first = prep.transform(frame.iloc[::-1])
    assert pickle.dumps(prep) == before
    copy = pickle.loads(before)
    again = copy.transform(frame.iloc[::-1])
    assert np.array_equal(first.values, again.values) and first.names == again.names
    assert np.array_equal(prep.transform(frame.iloc[:50]).values, first.values[::-1][:50])


def test_odd_column_types_are_prepared_or_left_out_with_a_reason():
    n = 40
    frame = pd.DataFrame({
        "wait": pd.to_timedelta(np.arange(n), unit="min"),
        "nullable": pd.array([1, None] + list(range(2, n)), dtype="Int64"),
        "cat": pd.Categorical(["a", "b"] * (n // 2)),
        "stamp": pd.date_range("2001-01-01", periods=n, freq="13D", tz="Europe/Paris"),
        "cplx": np.arange(n) * 1j,
    })
    prep = PrepareFrame()
    table = prep.fit_transform(frame)
    assert column(table, "wait")[:3].tolist() == [0, 60, 120]
    assert column(table, "is_missing(nullable)")[:2].tolist() == [0, 1]
    assert column(table, "cat=b")[:2].tolist() == [0, 1]
    assert column(table, "year(stamp)")[0] == 2000  # midnight in Paris is 23:00 UTC the day before
    assert plan_of(prep, "cplx")["reason"].startswith("unsupported type")
    assert np.array_equal(prep.transform(frame).values, table.values)
    with pytest.raises(DataError, match="no usable feature column"):
        PrepareFrame().fit(pd.DataFrame({"id": ["a", "b", "c"], "k": [1, 1, 1]}))


CELLS = {
    "number": st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=32), st.none()),
    "text": st.one_of(st.sampled_from(["a", "b", "1st", "Q3", "May", "", " ", "NA", "?", "0001-01-01",
                                       "9999-12-31", "2020-02-30", "12", "x y"]), st.none()),
    "date": st.one_of(st.dates().map(lambda d: d.isoformat()), st.sampled_from(["", "oops"]), st.none()),
}


@settings(max_examples=int(os.environ.get("KARROW_FUZZ_EXAMPLES", "25")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_odd_frames_prepare_to_finite_tables_or_a_data_error(data):
    n = data.draw(st.integers(1, 30))
    kinds = data.draw(st.lists(st.sampled_from(sorted(CELLS)), min_size=1, max_size=4))
    frame = pd.DataFrame({k + str(i): data.draw(st.lists(CELLS[k], min_size=n, max_size=n))
                          for i, k in enumerate(kinds)})
    y = data.draw(st.lists(st.floats(-5, 5), min_size=n, max_size=n))
    prep = PrepareFrame()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            table = prep.fit_transform(frame, y)
    except DataError:
        return
    assert table.values.shape == (n, len(table.names)) and np.isfinite(table.values).all()
    other = data.draw(st.lists(CELLS["text"], min_size=3, max_size=3))
    again = prep.transform(pd.DataFrame({c: other for c in frame.columns}))
    assert again.values.shape == (3, len(table.names)) and np.isfinite(again.values).all()


def _random_word(rng, size=7):
    return "".join(chr(c) for c in rng.integers(97, 123, size)).capitalize()


@pytest.mark.parametrize("cells, words", [
    # Names: the titles many cells share, not the names each has; "Mrs" is a word of its own, and a first
    # name common to a third of the rows but unrelated to the target is a name like any other.
    (lambda rng, i: _random_word(rng) + ", " + ["Mr.", "Mrs.", "Miss.", "Mr."][i % 4] + " "
     + ("John" if rng.random() < 0.3 else _random_word(rng)), ["Mr", "Miss", "Mrs"]),
    (lambda rng, i: "ref-" + str(100000 + i), None),  # a prefix every cell shares: an identifier, left out
    (lambda rng, i: "user_" + _random_word(rng, 6).lower(), None),
])
def test_distinct_text_gives_its_common_words_or_is_left_out(cells, words):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"who": [cells(rng, i) for i in range(400)], "x": np.arange(400.0) % 7})
    y = np.array([0.0, 3.0, 1.5, 0.0])[np.arange(400) % 4] + 0.5 * rng.normal(size=400)  # the title's effect
    step = plan_of(PrepareFrame().fit(frame), "who")
    if words is None:
        assert step["kind"] == "left_out" and step["reason"].startswith("an identifier")
        return
    assert step["outputs"][:3] == ["has_word(who, Mr)", "has_word(who, John)", "has_word(who, Miss)"]
    prep = PrepareFrame().fit(frame, y)
    assert plan_of(prep, "who")["outputs"] == ["has_word(who, Mr)", "has_word(who, Miss)", "has_word(who, Mrs)"]
    new = pd.DataFrame({"who": ["Mrs. Mr Ann", "Mrsx Mr.", None, "Mister"], "x": [0.0] * 4})
    got = prep.transform(new)
    assert [list(column(got, "has_word(who, " + w + ")")) for w in ("Mr", "Mrs", "Miss")] == [
        [1, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, 0]]
