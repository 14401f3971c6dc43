"""What a column is for, before how it is prepared: identifiers, and the table's number locale.

Both decisions look only at the column (or table) given, by hashing and
counting -- never a full sort -- so that a sample and the whole table, or
two folds, decide alike.
"""

import re

import numpy as np
import pandas as pd

#: Fewest values from which unique, densely packed integers are taken for an identifier.
MIN_ID_ROWS = 20

_ID_NAME = re.compile(r"(?:^|[^a-z])(?:id|ids|uuid|guid|key|idx|index|rownames?|row_?number|row_?id)$")

# Cells that can only be a number with a decimal comma ("3,5", "1.234,56") or
# only one with a decimal point ("3.5", "0.25"); "1,234" could be either.
_COMMA_DECIMAL = re.compile(r"^\s*[-+]?(?:\d{1,3}(?:\.\d{3})+|\d+),(?:\d{1,2}|\d{4,})\s*%?$")
_POINT_DECIMAL = re.compile(r"^\s*[-+]?(?:\d{1,3}(?:,\d{3})+|\d+)\.(?:\d{1,2}|\d{4,})\s*%?$")


def _named_like_an_id(name):
    text = str(name).strip()
    if text.endswith("Id") or text.endswith("ID"):
        return True
    return bool(_ID_NAME.search(text.lower())) or text.lower() in ("#", "no", "row", "unnamed: 0")


def identifier_reason(name, present, n_rows, distinct=None):
    """Why a column of whole numbers is an identifier, or "" when it is not.

    ``present`` holds the column's non-missing values in row order and
    ``n_rows`` counts its rows.  An identifier has (nearly) one value per row
    and carries no order meaning: its values increase with the row number,
    or they are packed so densely that so many distinct values could not
    happen by chance (a permutation of a range: among k values drawn from a
    range of r, about k^2 / 2r would repeat), or the column is named like
    one.  A row number 0..n-1 or 1..n counts however short the table.
    ``distinct`` is the number of distinct values when the caller has it.
    """
    k = present.size
    if k < 3 or k < 0.95 * n_rows:
        return ""
    if k == n_rows and present[0] in (0, 1) and present[-1] == present[0] + k - 1 \
            and np.all(np.diff(present) == 1):
        return "an identifier: a row number (" + _int(present[0]) + ".." + _int(present[-1]) + ")"
    if k < MIN_ID_ROWS or _years(name, present):
        return ""
    if distinct is None:
        distinct = len(pd.unique(present))
    if distinct < 0.99 * k:
        return ""
    if np.all(np.diff(present) > 0):
        return "an identifier: " + "{:,}".format(distinct) + " distinct whole numbers increasing with the row"
    span = float(present.max()) - float(present.min()) + 1.0
    if distinct == k and k * k / (2.0 * span) >= 3.0:
        return ("an identifier: " + "{:,}".format(distinct) + " distinct whole numbers packed in "
                + _int(present.min()) + ".." + _int(present.max()) + " (a permutation, no repeats)")
    if _named_like_an_id(name):
        return "an identifier: " + "{:,}".format(distinct) + " distinct whole numbers, named like one"
    return ""


def _years(name, present):
    # One row per year (a yearly series) increases with the row, but its values are dates.
    return bool(re.search(r"year|yr|jahr|annee|año|date", str(name).lower())) and present.min() >= 1700 \
        and present.max() <= 2200


def _int(v):
    return str(int(v))


def decimal_comma_evidence(X, limit=2000):
    """True when the table writes decimals with a comma: some text cells can only be read that way
    and no cell (nor a column of fractional numbers) uses a decimal point."""
    comma = False
    for name in X.columns:
        col = X[name]
        if col.dtype.kind == "f":
            values = col.to_numpy(dtype=np.float64, na_value=np.nan)
            values = values[np.isfinite(values)][:limit]
            if values.size and np.any(values != np.round(values)):
                return False
            continue
        if col.dtype != object and not pd.api.types.is_string_dtype(col.dtype):
            continue
        cells = col.dropna()
        if len(cells) > limit:
            cells = cells.iloc[np.linspace(0, len(cells) - 1, limit).astype(int)]
        cells = cells.astype(str)
        if cells.str.match(_POINT_DECIMAL).any():
            return False
        comma = comma or bool(cells.str.match(_COMMA_DECIMAL).any())
    return comma
