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
    if isinstance(col.dtype, pd.StringDtype):
        # Factorized and compared as stored (arrow's own encoding and string functions), without making
        # a Python string of every cell.
        codes, uniques = pd.factorize(col)
        words = pd.Series(uniques, dtype=col.dtype).str.strip().str.lower()
        marker = np.append(words.isin(NA_TEXT).to_numpy(dtype=bool, na_value=False), False)
        return missing | marker[codes]
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


# ---------------------------------------------------------------- number formats
#
# Spreadsheets and reports write numbers for people: "1,234.50", "12.5%",
# "$3.50", "(120)", "3,5" in a decimal-comma locale.  A column is read as
# numbers only under ONE format (decimal mark, thousands separator, percent,
# currency, parentheses) that reads at least 95 % of its non-empty cells.

_CURRENCY = "$€£¥₹"
_SIGNS = "-+\u2212"


def _number_pattern(decimal, thousands):
    d = re.escape(decimal)
    if thousands:
        t = re.escape(thousands)
        body = r"(?:\d{1,3}(?:" + t + r"\d{3})+|\d+)(?:" + d + r"\d*)?|" + d + r"\d+"
    else:
        body = r"\d+(?:" + d + r"\d*)?|" + d + r"\d+"
    cur = "[" + re.escape(_CURRENCY) + "]|[A-Z]{3}(?=[\\s\\d])"
    return re.compile(
        r"^\s*(?P<open>\()?\s*(?P<s1>[" + _SIGNS + r"])?\s*(?:" + cur + r")?\s*(?P<s2>[" + _SIGNS + r"])?\s*"
        r"(?P<num>(?:" + body + r")(?:[eE][-+]?\d+)?)\s*(?:[" + re.escape(_CURRENCY) + r"]|\s?[A-Z]{3})?\s*"
        r"(?P<pct>%)?\s*(?P<close>\))?\s*$")


#: Cells that some number format might read: only characters one of the formats accepts, and a digit.
#: A column of which fewer than 95 % of the cells look like this is read by no format, and costs
#: one pass instead of one per format.
_NUMBER_CHAR = r"[\s\d.,'()%eEA-Z" + re.escape(_SIGNS + _CURRENCY) + r"]"
_MAYBE_NUMBER = re.compile(_NUMBER_CHAR + r"*\d" + _NUMBER_CHAR + "*")


def _few_numbers(cells):
    """Whether fewer than 95 % of ``cells`` (a Series of str) could be a number in any format."""
    return bool(cells.str.fullmatch(_MAYBE_NUMBER).fillna(False).to_numpy(dtype=bool).mean() < 0.95)


#: (decimal mark, thousands separator) tried in this order; "\u00a0" and "'" are
#: the thousands separators of French and Swiss number formatting.
NUMBER_FORMATS = ((".", None), (".", ","), (",", None), (",", "."), (",", " "), (",", "\u00a0"), (".", "'"),
                  (",", "'"), (".", " "))


class NumberFormat:
    """How the numbers of a text column are written, and how to read them back."""

    def __init__(self, decimal=".", thousands=None, percent=False, currency=False, parens=False):
        self.decimal, self.thousands = decimal, thousands
        self.percent, self.currency, self.parens = bool(percent), bool(currency), bool(parens)

    def describe(self):
        parts = []
        if self.thousands:
            parts.append("thousands " + repr(self.thousands).replace("\\xa0", "no-break space"))
        if self.decimal != ".":
            parts.append("decimal " + repr(self.decimal))
        if self.currency:
            parts.append("currency")
        if self.parens:
            parts.append("(x) = -x")
        if self.percent:
            parts.append("percent, value / 100")
        return ", ".join(parts) or "plain"

    def parse(self, col):
        """float64 values of a column of text cells (NaN where a cell does not parse)."""
        text = col.astype(object).where(~text_missing(col), None)
        values, _ = _parse_cells(pd.Series(text.to_numpy(), dtype=object), self.decimal, self.thousands)
        if self.percent:
            values = values / 100.0
        return values

    def __eq__(self, other):
        return isinstance(other, NumberFormat) and vars(self) == vars(other)

    def __repr__(self):
        return "NumberFormat(" + self.describe() + ")"


def _parse_cells(cells, decimal, thousands):
    """(float64 values, extracted parts) of a Series of str/None under one decimal mark and separator."""
    parts = cells.astype(str).str.extract(_number_pattern(decimal, thousands))
    ok = parts["num"].notna().to_numpy() & cells.notna().to_numpy()
    num = parts["num"].where(ok, None)
    if thousands:
        num = num.str.replace(thousands, "", regex=False)
    if decimal != ".":
        num = num.str.replace(decimal, ".", regex=False)
    values = pd.to_numeric(num, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    # Parentheses must come in pairs; a sign or parentheses make the value negative.
    paired = parts["open"].isna().to_numpy() == parts["close"].isna().to_numpy()
    values = np.where(paired, values, np.nan)
    negative = (parts["open"].notna() | parts["s1"].isin(["-", "\u2212"]) | parts["s2"].isin(["-", "\u2212"]))
    values = np.where(negative.to_numpy(), -values, values)
    return np.where(np.isfinite(values), values, np.nan), parts


def find_number_format(col, missing, decimal=None, thousands=None, prefer_comma=False):
    """The :class:`NumberFormat` under which at least 95 % of the non-empty cells (up to 2 000 spread
    over the column) are numbers, or None.  ``decimal``/``thousands`` fix those marks; otherwise the
    format reading most cells wins, ties going to a decimal point unless ``prefer_comma``."""
    cells = col[~missing].astype(object)
    if not len(cells):
        return None
    if len(cells) > 2000:
        cells = cells.iloc[np.linspace(0, len(cells) - 1, 2000).astype(int)]
    cells = pd.Series([str(v) for v in cells.to_numpy()], dtype=object)
    if _few_numbers(cells):
        return None
    best, best_share = None, 0.0
    candidates = [f for f in NUMBER_FORMATS if (decimal is None or f[0] == decimal)
                  and (thousands is None or (f[1] in (thousands, None) and f[0] != thousands))]
    if decimal is None and prefer_comma:
        candidates.sort(key=lambda f: f[0] != ",")
    for dec, sep in candidates:
        values, parts = _parse_cells(cells, dec, sep)
        share = float(np.isfinite(values).mean())
        if share < 0.95 or share <= best_share:
            continue
        ok = np.isfinite(values)
        fmt = NumberFormat(dec, sep if sep and parts["num"][ok].str.contains(re.escape(sep)).any() else None,
                           percent=parts["pct"][ok].notna().mean() >= 0.5,
                           currency=bool(cells[ok].str.contains("[" + re.escape(_CURRENCY) + "]|[A-Z]{3}").any()),
                           parens=bool(parts["open"][ok].notna().any()))
        best, best_share = fmt, share
    return best


def mixed_number_examples(col, missing):
    """Two cells written in different number formats when every format together, but no one format,
    reads at least 95 % of the non-empty cells (up to 2 000 of them); else None."""
    cells = col[~missing].astype(object)
    if len(cells) > 2000:
        cells = cells.iloc[np.linspace(0, len(cells) - 1, 2000).astype(int)]
    cells = pd.Series([str(v) for v in cells.to_numpy()], dtype=object)
    if not len(cells) or _few_numbers(cells):
        return None
    read_by = [np.isfinite(_parse_cells(cells, dec, sep)[0]) for dec, sep in NUMBER_FORMATS]
    if np.logical_or.reduce(read_by).mean() < 0.95:
        return None
    point = read_by[NUMBER_FORMATS.index((".", ","))] & ~read_by[NUMBER_FORMATS.index((",", "."))]
    comma = read_by[NUMBER_FORMATS.index((",", "."))] & ~read_by[NUMBER_FORMATS.index((".", ","))]
    if point.any() and comma.any():
        return str(cells[point].iloc[0]), str(cells[comma].iloc[0])
    return None


def unparsed_numbers(col):
    if col.dtype.kind in "biufm":
        return 0
    values = pd.to_numeric(col.astype(object), errors="coerce")
    return int((values.isna().to_numpy() & ~text_missing(col)).sum())


def unparsed_mask(col, values):
    """Count of the non-empty cells whose value could not be read."""
    return int((np.isnan(values) & ~text_missing(col)).sum())


def _median(values):
    finite = values[np.isfinite(values)]
    if not finite.size:
        return 0.0
    # np.partition: linear time, where a sort would cost n log n on every fit.
    half = finite.size // 2
    if finite.size % 2:
        return float(np.partition(finite, half)[half])
    part = np.partition(finite, (half - 1, half))
    return float((part[half - 1] + part[half]) / 2)


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

    def unparsed_examples(self, col, limit=3):
        return []


class NumericRecipe(Recipe):
    """A number column: values as they are, missing cells -> training median (+ an indicator)."""

    def fit(self, col, text=False, fmt=None, values=None):
        self.format = fmt
        values = self._values(col) if values is None else values
        missing = np.isnan(values)
        self.median = _median(values)
        self.indicator = bool(missing.any())
        self.text = text or fmt is not None
        dtype = col.dtype if isinstance(col.dtype, np.dtype) and col.dtype.kind in "iuf" else _FLOAT
        if pd.api.types.is_bool_dtype(col.dtype):
            dtype = _INT
        self._add(self.column, dtype, leaf(self.column))
        parts = []
        if self.format is not None:
            parts.append("numbers written as text (" + self.format.describe() + ")")
        elif self.text:
            parts.append("numbers stored as text")
        if self.indicator:
            name, lin = indicator_of(self.column)
            self._add(name, _FLOAT, lin)
            parts.append("missing -> median + indicator")
        self.how = ", ".join(parts) or "as is"
        return self

    def _values(self, col):
        fmt = getattr(self, "format", None)
        if fmt is None or col.dtype.kind in "biufcmM":
            return as_numbers(col)
        return fmt.parse(col)

    def columns(self, col):
        values = self._values(col)
        missing = np.isnan(values)
        out = [np.where(missing, self.median, values)]
        if self.indicator:
            out.append(missing.astype(np.float64))
        return out

    def unparsed(self, col):
        if getattr(self, "format", None) is None:
            return unparsed_numbers(col)
        return unparsed_mask(col, self._values(col))

    def unparsed_examples(self, col, limit=3):
        values = self._values(col) if col.dtype.kind not in "biufcmM" else None
        if values is None:
            return []
        bad = np.isnan(values) & ~text_missing(col)
        return [str(v) for v in pd.unique(col[bad].astype(object).to_numpy())[:limit]]


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


#: A word: two or more letters (no digits, no underscore), as in "Mr", "Senior" or "Deluxe".
_WORD = re.compile(r"[^\W\d_]{2,}")
#: Most words of one text column that get a 0/1 column, the most common first.
MAX_WORDS = 10
#: Rows looked at to choose the words of a long column (their counts decide, not their order).
WORD_SAMPLE = 5000


#: A word whose rows' target mean differs from the other rows' by less than this many standard errors
#: is a name like any other ("John"), not a word that says something ("Mrs").
WORD_T = 3.0


class WordsRecipe(Recipe):
    """A text column of (almost) all distinct values, such as names or titles: a 0/1 column for each
    word common to many of its cells.

    A word counts once per cell; it is a candidate when it appears in at
    least ``min_level_rows`` cells and 2 % of them, and in at most 90 % (a
    prefix that every cell shares says nothing).  With a numeric or
    two-class target, a candidate is kept only when the target's mean on its
    rows differs from the mean on the others by ``WORD_T`` standard errors.
    "Allen, Miss. Elisabeth" gives "Miss"; "ref-265137" gives nothing.
    """

    kind = "category"

    def fit(self, col, options, target=None):
        cells = _cells(col)
        rows = np.flatnonzero(~text_missing(col))
        n = len(rows)
        if n > WORD_SAMPLE:
            rows = rows[np.linspace(0, n - 1, WORD_SAMPLE).astype(np.intp)]
        found = [set(_WORD.findall(str(cells[r]))) for r in rows]
        counts = {}
        for words in found:
            for word in words:
                counts[word] = counts.get(word, 0) + 1
        m = len(rows)
        low = max(options["min_level_rows"] * m / max(n, 1), 0.02 * m)
        common = sorted((w for w, c in counts.items() if low <= c <= 0.9 * m), key=lambda w: (-counts[w], w))
        if target is not None:
            common = [w for w in common if _separates(np.array([w in words for words in found]), target[rows])]
        self.words = common[:MAX_WORDS]
        for word in self.words:
            self._add("has_word(" + self.column + ", " + word + ")", _FLOAT,
                      expression("has_word", leaf(self.column), {"value": word}))
        self.how = "frequent words: " + ", ".join(self.words)
        return self

    def columns(self, col):
        text = col.astype(object).where(~pd.isna(col), "").astype(str)
        # No look-behind: string columns backed by pyarrow match with an engine that has none.
        return [text.str.contains(r"(?:^|[\W\d_])" + re.escape(w) + r"(?:[\W\d_]|$)", regex=True)
                .to_numpy(dtype=np.float64) for w in self.words]


def _separates(has, target):
    """True when the target's mean on the rows ``has`` differs from the rest's by ``WORD_T`` standard errors."""
    known = np.isfinite(target)
    a, b = target[known & has], target[known & ~has]
    if len(a) < 2 or len(b) < 2:
        return False
    se = np.sqrt(a.var(ddof=1) / len(a) + b.var(ddof=1) / len(b))
    return bool(se > 0 and abs(a.mean() - b.mean()) >= WORD_T * se)


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
        with quiet_warnings():  # the day/month order is decided from every cell, not here
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
        self.parts = [k for k, v in parts.items() if _varies(v)]
        day = stamps.dt.day.to_numpy(dtype=np.float64, na_value=np.nan)
        if not _varies(day):
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

    def unparsed_examples(self, col, limit=3):
        if pd.api.types.is_datetime64_any_dtype(col.dtype):
            return []
        bad = parse_dates(col, self.format).isna().to_numpy() & ~text_missing(col)
        return [str(v) for v in pd.unique(col[bad].astype(object).to_numpy())[:limit]]


def _varies(values):
    present = values[~np.isnan(values)]
    return bool(present.size) and present.min() != present.max()


def _swap_day_month(fmt):
    if fmt is None or "%d" not in fmt or "%m" not in fmt:
        return None
    return fmt.replace("%d", "\0").replace("%m", "%d").replace("\0", "%m")


def _parsed_share(cells, fmt):
    with quiet_warnings():
        parsed = pd.to_datetime(cells, format=fmt, errors="coerce", utc=True)
    return float(parsed.notna().mean())


def choose_date_format(col, missing, dayfirst=None, prefer_dayfirst=None):
    """(strptime format or None, note) for the dates of a text column.

    Numeric dates such as 03/04/2021 are read in the one order (day first or
    month first) under which the column's cells parse; when both orders
    read every cell, ``dayfirst`` (the user's word) or else
    ``prefer_dayfirst`` (the file's evident locale) decides, and without
    either the note says the order was a guess.
    """
    cells = col[~missing].astype(object)
    if not len(cells):
        return None, ""
    cells = pd.Series([str(v).strip() for v in cells.to_numpy()], dtype=object)
    fmt = None
    for value in cells.iloc[:5]:
        fmt = _guess_format(value)
        if fmt is not None:
            break
    if fmt is None:
        return None, ""
    other = _swap_day_month(fmt)
    if other is None:
        return (fmt if _parsed_share(cells, fmt) >= 0.9 else None), ""
    month_first, day_first = (fmt, other) if fmt.index("%m") < fmt.index("%d") else (other, fmt)
    if fmt.index("%Y" if "%Y" in fmt else "%y") < min(fmt.index("%m"), fmt.index("%d")):
        # Year first (2021-04-03): month then day, as every such convention writes it.
        return (month_first if _parsed_share(cells, month_first) >= 0.9 else None), ""
    shares = {False: _parsed_share(cells, month_first), True: _parsed_share(cells, day_first)}
    pick = {False: month_first, True: day_first}
    if dayfirst is not None:
        return (pick[bool(dayfirst)] if shares[bool(dayfirst)] >= 0.9 else None), (
            "day first (as asked)" if dayfirst else "month first (as asked)")
    if shares[True] != shares[False]:
        best = shares[True] > shares[False]
        return (pick[best] if shares[best] >= 0.9 else None), ("day first" if best else "month first")
    if shares[True] < 0.9:
        return None, ""
    if prefer_dayfirst is not None:
        return pick[bool(prefer_dayfirst)], ("day first, as the decimal commas suggest" if prefer_dayfirst
                                             else "month first, as the decimal points suggest")
    return month_first, "ambiguous: every date reads day first and month first; read month first (--dayfirst to change)"


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
