"""How one source column becomes prepared columns.

Each class here is the fitted recipe of one kind of source column: it learns
its state from the training rows (``fit``) and afterwards maps any rows of
that column to float64 output columns (``columns``) using only that state,
so a fitted recipe can be pickled and applied to any partition of a table.

The recipes describe their outputs with three aligned lists, ``names``,
``dtypes`` and ``lineage`` (JSON name objects referring to the source column
as ``$column``), which the preparation step joins into a :class:`Table`.
"""

import re
from karrow_libs.table import quiet_warnings

import numpy as np
import pandas as pd

#: Level that stands for a missing category cell.
MISSING = "(missing)"
#: Level that pools rare levels and levels first seen after fitting.
RARE = "(rare)"

#: Dates are believed only within these years; anything else is more likely a
#: code, an ordinal ("1st" reads as the year 1) or a placeholder such as 9999-12-31.
YEAR_MIN, YEAR_MAX = 1700, 2200

_FLOAT = np.dtype(np.float64)
_INT = np.dtype(np.int64)

# What a date cell looks like: digits for year, month and day with separators,
# or a month name with a day and a four-digit year; an optional time follows.
# Short tokens ("1st", "Q3", "May", "12") do not match.
_DATE_LIKE = re.compile(
    r"""^\s*(
        \d{4}[-/.]\d{1,2}([-/.]\d{1,2})?
      | \d{1,2}[-/.]\d{1,2}[-/.]\d{2,4}
      | [A-Za-z]{3,9}\.?\s+\d{1,2}(st|nd|rd|th)?,?\s+\d{4}
      | \d{1,2}(st|nd|rd|th)?\s+[A-Za-z]{3,9}\.?,?\s+\d{4}
      | [A-Za-z]{3,9}\.?\s+\d{4}
    )([T\s]\S.*)?\s*$""",
    re.X,
)
_YEAR = re.compile(r"(?<!\d)(\d{4})(?!\d)")


def leaf(column):
    return {"name": "$" + column}


def expression(op, *params):
    return {"expression": {"op": op, "params": list(params)}}


def indicator_of(column):
    return "is_missing(" + column + ")", expression("is_missing", leaf(column))


#: Text that stands for a missing cell (compared in lower case, blanks stripped).
NA_TEXT = frozenset(["", "na", "n/a", "#n/a", "nan", "null", "none", "?", "-"])


def _cells(col):
    """The cells as a numpy object array (factorized as such, without the type inference of an index)."""
    return np.asarray(col.astype(object).to_numpy(), dtype=object)


def text_missing(col):
    """Boolean mask of the cells of a column that hold nothing (NA, blank or a missing-value marker)."""
    missing = col.isna().to_numpy()
    if col.dtype.kind in "biufcmM":
        return missing
    codes, uniques = pd.factorize(_cells(col))
    marker = np.array([isinstance(v, str) and v.strip().lower() in NA_TEXT for v in uniques] + [False], dtype=bool)
    return missing | marker[codes]


def as_numbers(col):
    """float64 values of a column (text cells that are not numbers, NA and infinities become NaN)."""
    if pd.api.types.is_timedelta64_dtype(col.dtype):
        values = col.dt.total_seconds().to_numpy(dtype=np.float64, na_value=np.nan)
    elif pd.api.types.is_bool_dtype(col.dtype) or pd.api.types.is_numeric_dtype(col.dtype):
        values = col.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        text = col.astype(object).where(~text_missing(col), None)
        values = pd.to_numeric(text, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    return np.where(np.isfinite(values), values, np.nan)


def unparsed_numbers(col):
    if col.dtype.kind in "biufm":
        return 0
    values = pd.to_numeric(col.astype(object), errors="coerce")
    return int((values.isna().to_numpy() & ~text_missing(col)).sum())


def _median(values):
    finite = values[np.isfinite(values)]
    return float(np.median(finite)) if finite.size else 0.0


class Recipe:
    """Common part: the source column, the kind, and the output description."""

    kind = "numeric"

    def __init__(self, column):
        self.column = column
        self.names, self.dtypes, self.lineage = [], [], []
        self.how = ""

    def _add(self, name, dtype, lineage):
        self.names.append(name)
        self.dtypes.append(np.dtype(dtype))
        self.lineage.append(lineage)

    def n_indicators(self):
        return sum(1 for n in self.names if n.startswith("is_missing("))

    def unparsed(self, col):
        return 0


class NumericRecipe(Recipe):
    """A number column: values as they are, missing cells -> training median (+ an indicator)."""

    def fit(self, col, text=False):
        values = as_numbers(col)
        missing = np.isnan(values)
        self.median = _median(values)
        self.indicator = bool(missing.any())
        self.text = text
        dtype = col.dtype if isinstance(col.dtype, np.dtype) and col.dtype.kind in "iuf" else _FLOAT
        if pd.api.types.is_bool_dtype(col.dtype):
            dtype = _INT
        self._add(self.column, dtype, leaf(self.column))
        parts = ["numbers stored as text"] if text else []
        if self.indicator:
            name, lin = indicator_of(self.column)
            self._add(name, _FLOAT, lin)
            parts.append("missing -> median + indicator")
        self.how = ", ".join(parts) or "as is"
        return self

    def columns(self, col):
        values = as_numbers(col)
        missing = np.isnan(values)
        out = [np.where(missing, self.median, values)]
        if self.indicator:
            out.append(missing.astype(np.float64))
        return out

    def unparsed(self, col):
        return unparsed_numbers(col)


def _label(value):
    if isinstance(value, str):
        text = value.strip()
        return MISSING if text.lower() in NA_TEXT else text
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return str(int(value))  # 3.0 read back from a file is the level 3
    return str(value)


def category_levels(col):
    """(codes, labels): the cells of a column as indices into its level labels (str, missing cells
    as :data:`MISSING`); every cell has a code (hash-based, no sorting of the cells)."""
    codes, uniques = pd.factorize(_cells(col))
    labels = [_label(v) for v in uniques] + [MISSING]
    codes = np.where(codes < 0, len(labels) - 1, codes)
    # Different cells may share a label ("a" and " a", 3 and 3.0): merge them.
    merged, first = pd.factorize(np.asarray(labels, dtype=object))
    return merged[codes], [str(v) for v in first]


def category_keys(col):
    """Level label of every cell, as an object array of str."""
    codes, labels = category_levels(col)
    return np.asarray(labels, dtype=object)[codes]


class CategoryRecipe(Recipe):
    """Text, boolean or low-cardinality integer levels.

    At most ``max_onehot`` levels: one 0/1 column per level, rare levels
    pooled in ``(rare)``, missing cells in ``(missing)``.  More levels: the
    level's frequency and the smoothed target mean of its training rows
    (computed out of fold by ``fit_transform``), plus a 0/1 column for each
    level common enough to carry its own effect.  Both add an int64 code
    column (codes 1, 2, ... in level order, then missing, then rare/unknown;
    at most 20 codes) for the group-by, pair, frequency and one-hot
    transforms; an integer column keeps its own values in that place.
    """

    kind = "category"

    def fit(self, col, target, options, integer=False):
        codes, labels = category_levels(col)
        n = len(codes)
        counts = np.bincount(codes, minlength=len(labels))
        count_of = {lv: int(c) for lv, c in zip(labels, counts) if c}
        n_missing = count_of.pop(MISSING, 0)
        threshold = max(2, min(options["min_level_rows"], int(np.ceil(0.01 * n))))
        frequent = sorted((lv for lv, c in count_of.items() if c >= threshold), key=_level_order)
        rare = [lv for lv, c in count_of.items() if c < threshold]
        self.integer = integer
        self.n_levels = len(count_of)
        self.encoded = self.n_levels > options["max_onehot"]
        self.frequency = {lv: c / n for lv, c in count_of.items()}
        if n_missing:
            self.frequency[MISSING] = n_missing / n
        # Codes: the most frequent levels in level order, then missing, then rare/unknown.
        coded = frequent
        if len(coded) > 18:
            coded = sorted(sorted(frequent, key=lambda lv: -count_of[lv])[:18], key=_level_order)
        self.codes = {lv: i for i, lv in enumerate(coded, 1)}
        if n_missing:
            self.codes[MISSING] = len(self.codes) + 1
        self.unknown_code = len(self.codes) + 1
        if integer:
            self.fill = float(max(count_of, key=lambda lv: count_of[lv]))  # for a missing cell later
            self._add(self.column, col.dtype, leaf(self.column))
        else:
            self._add(self.column, _INT, leaf(self.column))
        self.onehot = []
        self.rare_column = False
        self.target_mean = None
        if not self.encoded:
            onehot = list(frequent) + ([MISSING] if n_missing else [])
            rows = [count_of.get(lv, n_missing) for lv in onehot]
            self.rare_column = bool(rare)
            if len(onehot) + self.rare_column == 2 and not self.rare_column:
                # Two levels: one column says it all; keep the less common one
                # (or True for a boolean column).
                drop = onehot.index("False") if "False" in onehot and "True" in onehot else int(np.argmax(rows))
                onehot.pop(drop)
            self.onehot = onehot
            for lv in onehot:
                self._add(self.column + "=" + lv, _FLOAT, expression("is", leaf(self.column), {"value": lv}))
            if self.rare_column:
                self._add(self.column + "=" + RARE, _FLOAT, expression("is", leaf(self.column), {"value": RARE}))
            how = "one-hot" + (", rare levels pooled" if rare else "")
        else:
            # Levels common enough to carry their own effect keep a 0/1 column.
            common = [lv for lv in frequent if count_of[lv] >= max(options["min_level_rows"], 0.01 * n)]
            self.onehot = common
            for lv in common:
                self._add(self.column + "=" + lv, _FLOAT, expression("is", leaf(self.column), {"value": lv}))
            self._add("freq(" + self.column + ")", _FLOAT, expression("frequency", leaf(self.column)))
            how = "frequency"
            if target is not None:
                self.smoothing = float(options["smoothing"])
                self.prior, means = _level_means(codes, len(labels), target, self.smoothing)
                self.target_mean = dict(zip(labels, means.tolist()))
                self._add("mean(target | " + self.column + ")", _FLOAT,
                          expression("target_mean", leaf(self.column)))
                how += " + target mean"
            if common:
                how += " + one-hot of the common levels"
        if n_missing:
            how += ", missing as a level"
        self.how = "integer values + " + how if integer else how
        return self

    def columns(self, col, levels=None):
        codes, labels = category_levels(col) if levels is None else levels
        out = []
        if self.integer:
            values = as_numbers(col)
            out.append(np.where(np.isnan(values), self.fill, values))
        else:
            out.append(_lookup(codes, labels, self.codes, float(self.unknown_code)))
        for lv in self.onehot:
            out.append(_lookup(codes, labels, {lv: 1.0}, 0.0))
        if self.rare_column:
            # Rare levels, and levels (or missing cells) first seen after fitting.
            known = dict.fromkeys(self.onehot, 0.0)
            out.append(_lookup(codes, labels, known, 1.0))
        if self.encoded:
            out.append(_lookup(codes, labels, self.frequency, 0.0))
            if self.target_mean is not None:
                out.append(_lookup(codes, labels, self.target_mean, self.prior))
        return out

    def out_of_fold(self, col, target, folds, seed):
        """The output columns with the target mean of every row computed without that row's fold."""
        codes, labels = category_levels(col)
        out = self.columns(col, (codes, labels))
        if self.target_mean is None:
            return out
        from sklearn.model_selection import KFold

        encoded = np.empty(len(codes))
        splits = KFold(n_splits=min(folds, len(codes)), shuffle=True, random_state=seed)
        for fit_rows, score_rows in splits.split(codes):
            prior, means = _level_means(codes[fit_rows], len(labels), target[fit_rows], self.smoothing)
            encoded[score_rows] = means[codes[score_rows]]
        out[-1] = encoded
        return out


def _level_order(level):
    # Integer levels in numeric order, text levels alphabetically after them.
    try:
        return (0, float(level), "")
    except ValueError:
        return (1, 0.0, level)


def _lookup(codes, labels, table, default):
    """float64 column: ``table[label]`` of every cell's label, ``default`` for labels not in it."""
    per_level = np.fromiter((table.get(lv, default) for lv in labels), dtype=np.float64, count=len(labels))
    return per_level[codes]


def _level_means(codes, n_levels, target, smoothing):
    """(prior, smoothed target mean per level) from the rows with a finite target.

    A level without such rows gets the prior (the shrinkage makes that the
    limit anyway).
    """
    ok = np.isfinite(target)
    codes, target = codes[ok], target[ok]
    prior = float(target.mean()) if target.size else 0.0
    sums = np.bincount(codes, weights=target, minlength=n_levels)
    counts = np.bincount(codes, minlength=n_levels)
    if smoothing > 0:
        return prior, (sums + smoothing * prior) / (counts + smoothing)
    return prior, np.where(counts > 0, sums / np.maximum(counts, 1), prior)


def date_like_fraction(col, missing):
    """Share of the non-empty cells (up to 2 000 of them) that look like dates."""
    cells = col[~missing].astype(str)
    if len(cells) > 2000:
        cells = cells.iloc[np.linspace(0, len(cells) - 1, 2000).astype(int)]
    if not len(cells):
        return 0.0, []
    looks = cells.str.match(_DATE_LIKE).to_numpy(dtype=bool)
    years = [int(y) for text in cells[looks] for y in _YEAR.findall(text)]
    return float(looks.mean()), years


def _guess_format(value):
    try:
        from pandas.tseries.api import guess_datetime_format
    except ImportError:  # pandas < 2.2
        from pandas._libs.tslibs.parsing import guess_datetime_format
    try:
        return guess_datetime_format(str(value).strip())
    except Exception:
        return None


def parse_dates(col, fmt):
    """Timestamps (UTC, no time zone) of a column; unparseable or implausible cells become NaT."""
    if pd.api.types.is_datetime64_any_dtype(col.dtype):
        stamps = col
        if getattr(stamps.dt, "tz", None) is not None:
            stamps = stamps.dt.tz_convert("UTC").dt.tz_localize(None)
    else:
        text = col.astype(object).where(~text_missing(col), None)
        with quiet_warnings():
            if fmt is not None:
                stamps = pd.to_datetime(text, format=fmt, errors="coerce", utc=True)
            elif int(pd.__version__.split(".")[0]) >= 2:
                stamps = pd.to_datetime(text, format="mixed", errors="coerce", utc=True)
            else:
                stamps = pd.to_datetime(text, errors="coerce", utc=True)
        stamps = stamps.dt.tz_localize(None)
    years = stamps.dt.year
    return stamps.where((years >= YEAR_MIN) & (years <= YEAR_MAX))


DATE_PARTS = ("year", "month", "dayofweek", "dayofyear", "epoch_seconds")


def _date_parts(stamps):
    seconds = (stamps - pd.Timestamp(0)) // pd.Timedelta(seconds=1)
    dt = stamps.dt
    series = {"year": dt.year, "month": dt.month, "dayofweek": dt.day_of_week, "dayofyear": dt.day_of_year,
              "epoch_seconds": seconds}
    return {k: pd.Series(v).to_numpy(dtype=np.float64, na_value=np.nan) for k, v in series.items()}


class DateRecipe(Recipe):
    """Dates -> year, month, day of week, day of year and seconds since 1970 (int64 parts).

    Parts that are constant on the training rows are not output, nor the
    day of week and day of year of dates that all fall on the same day of
    the month (monthly or yearly data); missing or
    unparseable cells take each part's training median, plus an indicator when
    the training rows had any.
    """

    kind = "date"

    def fit(self, col, fmt=None):
        self.format = fmt
        stamps = parse_dates(col, fmt)
        parts = _date_parts(stamps)
        missing = stamps.isna().to_numpy()
        self.medians = {k: float(np.round(_median(v))) for k, v in parts.items()}
        self.parts = [k for k, v in parts.items() if np.unique(v[~np.isnan(v)]).size > 1]
        day = stamps.dt.day.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.unique(day[~np.isnan(day)]).size <= 1:
            # Monthly or yearly dates (always the 1st): their weekday is an
            # accident of the calendar, and the day of the year repeats the month.
            self.parts = [k for k in self.parts if k not in ("dayofweek", "dayofyear")]
        for k in self.parts:
            self._add(k + "(" + self.column + ")", _INT, expression(k, leaf(self.column)))
        self.indicator = bool(missing.any())
        if self.indicator:
            name, lin = indicator_of(self.column)
            self._add(name, _FLOAT, lin)
        self.how = ", ".join(self.parts)
        if self.indicator:
            self.how += ", missing -> median + indicator"
        return self

    def columns(self, col):
        stamps = parse_dates(col, self.format)
        parts = _date_parts(stamps)
        out = [np.where(np.isnan(parts[k]), self.medians[k], parts[k]) for k in self.parts]
        if self.indicator:
            out.append(stamps.isna().to_numpy().astype(np.float64))
        return out

    def unparsed(self, col):
        if pd.api.types.is_datetime64_any_dtype(col.dtype):
            return 0
        return int((parse_dates(col, self.format).isna().to_numpy() & ~text_missing(col)).sum())


def guess_date_format(col, missing):
    """A strptime format that reads at least 90 % of the non-empty cells, or None (each cell on its own)."""
    cells = col[~missing]
    if not len(cells):
        return None
    fmt = _guess_format(cells.iloc[0])
    if fmt is None:
        return None
    with quiet_warnings():
        parsed = pd.to_datetime(cells.astype(object), format=fmt, errors="coerce", utc=True)
    return fmt if parsed.notna().mean() >= 0.9 else None
