"""Columns as real files write them: formatted numbers, date orders, stray text in a target, identifiers,
and column kinds that do not depend on the fold."""

import numpy as np
import pandas as pd
import pytest

from karrow_libs.prepare import PrepareFrame, prepare_target
from karrow_libs.table import DataError

N = 300


def _values(seed=0, n=N):
    rng = np.random.default_rng(seed)
    return np.round(rng.uniform(-5000, 5000, n), 2)


def _frame(cells, seed=0):
    rng = np.random.default_rng(seed + 1)
    return pd.DataFrame({"x": pd.Series(cells, dtype=object), "noise": rng.normal(size=len(cells))})


def _thousands(v, sep=",", dec="."):
    text = "{:,.2f}".format(abs(v)).replace(",", "\0").replace(".", dec).replace("\0", sep)
    return ("-" if v < 0 else "") + text


# (case, cells from the true values, PrepareFrame options, words the format description holds, scale)
FORMATS = [
    ("thousands comma", lambda v: [_thousands(x) for x in v], {}, ["thousands ','"], 1.0),
    ("percent", lambda v: ["{:.2f}%".format(x) for x in v], {}, ["percent"], 0.01),
    ("currency", lambda v: [("-" if x < 0 else "") + "${:,.2f}".format(abs(x)) for x in v], {}, ["currency"], 1.0),
    ("parentheses for negatives", lambda v: ["({:,.2f})".format(-x) if x < 0 else "{:,.2f}".format(x) for x in v],
     {}, ["(x) = -x"], 1.0),
    ("decimal comma with dots", lambda v: [_thousands(x, ".", ",") for x in v], {}, ["decimal ','"], 1.0),
    ("decimal comma asked", lambda v: ["{:.2f}".format(x).replace(".", ",") for x in v], {"decimal": ","},
     ["decimal ','"], 1.0),
    ("space thousands", lambda v: [_thousands(x, " ", ",") for x in v], {}, ["thousands ' '", "decimal ','"], 1.0),
    ("euro suffix", lambda v: [_thousands(x, ".", ",") + " €" for x in v], {}, ["currency", "decimal ','"], 1.0),
    ("apostrophe thousands", lambda v: [_thousands(x, "'") for x in v], {}, ["thousands \"'\""], 1.0),
    ("no-break space thousands", lambda v: [_thousands(x, "\u00a0", ",") for x in v], {}, ["no-break space"], 1.0),
    ("currency code", lambda v: ["USD " + _thousands(x) for x in v], {}, ["currency"], 1.0),
    ("unicode minus", lambda v: [("\u2212" if x < 0 else "") + "{:.2f}".format(abs(x)) for x in v], {}, ["plain"], 1.0),
]


@pytest.mark.parametrize("case,write,options,words,scale", FORMATS, ids=[f[0] for f in FORMATS])
def test_number_formats(case, write, options, words, scale):
    truth = _values()
    cells = write(truth)
    cells[7] = "n/a"          # a missing marker: missing, not unparsed
    cells[11] = "see notes"   # one cell that is no number: counted, not fatal
    prep = PrepareFrame(**options)
    table = prep.fit_transform(_frame(cells))
    step = prep.plan_[0]
    assert step["kind"] == "numeric", step
    assert all(w in step["format"] for w in words), step["format"]
    assert step["unparsed"] == 1 and step["unparsed_examples"] == ["see notes"]
    got = table.values[:, table.names.index("x")]
    ok = np.ones(N, dtype=bool)
    ok[[7, 11]] = False
    np.testing.assert_allclose(got[ok], truth[ok] * scale, rtol=1e-12)
    assert table.values[[7, 11], table.names.index("is_missing(x)")].tolist() == [1.0, 1.0]
    # The fitted format reads new rows the same way.
    again = prep.transform(_frame(write(truth[:5])))
    np.testing.assert_allclose(again.values[:, 0], truth[:5] * scale, rtol=1e-12)


def test_mixed_formats_are_named():
    cells = ["1,5"] * 150 + ["2.25"] * 150   # a decimal comma and a decimal point: no one format
    prep = PrepareFrame().fit(_frame(cells))
    step = prep.plan_[0]
    assert step["kind"] == "left_out" and "decimal point and with a decimal comma ('2.25', '1,5')" in step["reason"]


def _dates(n=N, seed=3):
    rng = np.random.default_rng(seed)
    return pd.Timestamp("2015-01-01") + pd.to_timedelta(rng.integers(0, 3000, n), unit="D")


def _ambiguous(n=N):
    # Every day of the month <= 12: each date reads both ways.
    days = [pd.Timestamp(year=2010 + i % 10, month=1 + i % 12, day=1 + (i * 5) % 12) for i in range(n)]
    return pd.DatetimeIndex(days)


# (case, stamps, writer, options, extra columns, expected order words, warned)
DATE_ORDERS = [
    ("day first", _dates(), "%d/%m/%Y", {}, {}, "day first", False),
    ("day first, ambiguous cells first", _dates()[np.argsort(_dates().day > 12, kind="stable")], "%d/%m/%Y", {}, {},
     "day first", False),
    ("month first", _dates(), "%m/%d/%Y", {}, {}, "month first", False),
    ("day first with dots", _dates(), "%d.%m.%Y", {}, {}, "day first", False),
    ("year first", _dates(), "%Y-%m-%d", {}, {}, "", False),
    ("ambiguous, asked day first", _ambiguous(), "%d/%m/%Y", {"dayfirst": True}, {}, "day first (as asked)", False),
    ("ambiguous, decimal commas", _ambiguous(), "%d/%m/%Y", {}, {"price": ["3,5", "4,25", "12,75"] * (N // 3)},
     "day first, as the decimal commas", False),
    ("ambiguous, no hint", _ambiguous(), "%m/%d/%Y", {}, {}, "ambiguous", True),
    ("format given", _dates(), "%d-%m-%y", {"date_formats": {"d": "%d-%m-%y"}}, {}, "format %d-%m-%y", False),
]


@pytest.mark.parametrize("case,stamps,fmt,options,extra,order,warned", DATE_ORDERS, ids=[d[0] for d in DATE_ORDERS])
def test_date_orders(case, stamps, fmt, options, extra, order, warned):
    frame = pd.DataFrame({"d": [s.strftime(fmt) for s in stamps], "v": np.arange(N) % 7, **extra})
    prep = PrepareFrame(**options)
    table = prep.fit_transform(frame)
    step = prep.plan_[0]
    assert step["kind"] == "date"
    assert order in step["how"], step["how"]
    assert bool(prep.warnings_) == warned and ("warning" in step) == warned
    month = table.values[:, table.names.index("month(d)")]
    year = table.values[:, table.names.index("year(d)")]
    assert month.tolist() == list(stamps.month) and year.tolist() == list(stamps.year)


# (case, target cells, task, expected task, rows dropped, quoted cells)
TARGETS = [
    ("two stray words", lambda v: v[:2].__setitem__(slice(None), ["unknown", "unknown"]) or v, None,
     "regression", 2, ["'unknown'"]),
    ("stray words, regression asked", lambda v: v[:3].__setitem__(slice(None), ["?x", "tbd", "n.a."]) or v,
     "regression", "regression", 3, ["'?x'", "'tbd'", "'n.a.'"]),
    ("numbers as text, no words", lambda v: v, None, "regression", 0, []),
    ("decimal commas", lambda v: np.asarray([c.replace(".", ",") for c in v], dtype=object), None, "regression", 0,
     []),
    ("class codes beside words", lambda v: np.asarray(["1", "2", "3"] * (N // 3), dtype=object), None,
     "classification", 0, []),
]


@pytest.mark.parametrize("case,edit,task,expected,dropped,quoted", TARGETS, ids=[t[0] for t in TARGETS])
def test_targets(case, edit, task, expected, dropped, quoted):
    rng = np.random.default_rng(5)
    cells = edit(np.asarray(["{:.4f}".format(x) for x in rng.normal(size=N)], dtype=object))
    y, chosen, info = prepare_target(pd.Series(cells, name="y"), task)
    assert chosen == expected
    assert info["dropped_rows"] == info["text_rows"] == dropped
    assert info["text_cells"] == quoted
    assert len(y) == N - dropped and (expected != "regression" or y.dtype == np.float64)


def test_text_target_error_quotes_the_text():
    rng = np.random.default_rng(6)
    cells = ["{:.4f}".format(x) for x in rng.normal(size=100)]
    cells[:20] = ["low", "high"] * 10
    with pytest.raises(DataError) as e:
        prepare_target(pd.Series(cells, name="y"), "regression")
    message = str(e.value)
    assert "'low'" in message and "'high'" in message and "20 of 100 rows" in message
    assert not any(c in message for c in cells[20:25])


def _stable_frame(n=263, seed=7):
    rng = np.random.default_rng(seed)
    years = np.concatenate([np.arange(21), rng.integers(0, 20, n - 21)])  # one row holds the 21st value
    rng.shuffle(years)
    return pd.DataFrame({"years": years, "grade": rng.integers(1, 4, n), "x": rng.normal(size=n)}), rng.normal(size=n)


def test_kinds_do_not_flip_between_folds():
    from sklearn.model_selection import KFold

    X, y = _stable_frame()
    whole = PrepareFrame().fit(X, y)
    kinds = {p["column"]: p["kind"] for p in whole.plan_}
    assert kinds == {"years": "numeric", "grade": "category", "x": "numeric"}
    widths = set()
    for train, _ in KFold(5, shuffle=True, random_state=0).split(X):
        fold = PrepareFrame().fit(X.iloc[train].reset_index(drop=True), y[train])
        assert {p["column"]: p["kind"] for p in fold.plan_} == kinds
        widths.add(len(fold.names_))
    assert widths == {len(whole.names_)}
    # A sample of the rows decides like the whole table.
    rows = np.random.default_rng(1).choice(len(X), len(X) // 3, replace=False)
    rows.sort()
    sample = PrepareFrame().fit(X.iloc[rows].reset_index(drop=True), y[rows])
    assert {p["column"]: p["kind"] for p in sample.plan_} == kinds


@pytest.mark.parametrize("name,values,left_out", [
    ("year", np.arange(1950, 2020), False),          # a yearly series: dates, not an identifier
    ("t", np.arange(1950, 2020), True),              # the same numbers unnamed: they count the rows
    ("size", np.random.default_rng(2).choice(200, 70, replace=False) * 37, False),  # sparse: could be a measure
])
def test_whole_numbers_one_per_row(name, values, left_out):
    X = pd.DataFrame({name: values, "v": np.random.default_rng(3).normal(size=len(values))})
    step = PrepareFrame().fit(X).plan_[0]
    assert (step["kind"] == "left_out") == left_out and (not left_out or step["reason"].startswith("an identifier"))
