"""Feature-constraint predicates.

Each predicate looks at the values of one column and answers whether a
transform may use that column in a given argument position (a logarithm
wants positive values, a great-circle distance wants latitudes, ...).  The
transforms find a predicate's answer in the transform graph's cache under the
predicate's ``__name__``, so these names are part of the contract.

Common rules for every predicate:

* The argument is one column: a one-dimensional numpy array, a pandas
  ``Series`` or a plain list (a target vector).  Anything with more
  dimensions is flattened.
* The result is always the Python object ``True`` or ``False``, never a numpy
  boolean: the transforms reject a column only when the answer *is* ``False``.
* Numeric data means a numpy boolean, integer, unsigned or floating dtype, or
  a pandas nullable numeric/boolean dtype.  Booleans count as the integers
  0 and 1.  Every other dtype (object, strings, datetimes, complex,
  categorical) is non-numeric, and every predicate answers ``False`` for it,
  without raising.  An object array is non-numeric even when it happens to
  hold numbers: telling numbers from numeric-looking strings would cost a
  Python-level loop over the rows.
* Missing values (NaN, pandas NA) are ignored.  ``n`` below is the number of
  values that remain.  A column with nothing left (empty or all missing)
  satisfies no predicate.
* Infinite values are kept: they count as positive or negative where the
  sign matters and make a column fail every test that needs integers or
  finite values.

All tests are vectorised numpy operations; the most expensive one, counting
distinct values, is a single sort of the column.
"""

import numpy as np

__all__ = [
    "is_positive",
    "is_non_negative",
    "is_categorical",
    "is_not_categorical",
    "is_lt80pc_unique_int",
    "is_latitude",
    "is_longitude",
    "is_epoch",
    "is_distance",
]

#: Largest number of distinct values a categorical column may have.
CATEGORICAL_MAX_LEVELS = 20

#: A column passes ``is_lt80pc_unique_int`` when it has fewer distinct values
#: than this fraction of its rows.
UNIQUE_FRACTION_LIMIT = 0.8

#: Unix time bounds (seconds) accepted by ``is_epoch``:
#: 1973-03-03T09:46:40Z and 2100-01-01T00:00:00Z.
EPOCH_MIN_SECONDS = 100_000_000
EPOCH_MAX_SECONDS = 4_102_444_800

_NUMERIC_KINDS = "biuf"


def _numeric_values(values):
    """Return the column's non-missing values as a flat numeric ndarray.

    Returns ``None`` for non-numeric data.  Integer columns keep their dtype
    (no missing values are possible); booleans become ``int8``; floating
    columns lose their NaNs.
    """
    dtype = getattr(values, "dtype", None)
    if dtype is not None and not isinstance(dtype, np.dtype):
        # pandas extension dtypes: nullable Int64/Float64/boolean report a
        # numeric kind, while category and string dtypes report "O".
        if getattr(dtype, "kind", "O") not in _NUMERIC_KINDS:
            return None
        values = values.to_numpy(dtype=np.float64, na_value=np.nan)
    arr = np.asarray(values)
    kind = arr.dtype.kind
    if kind not in _NUMERIC_KINDS:
        return None
    arr = arr.ravel()
    if kind == "b":
        return arr.astype(np.int8)
    if kind == "f":
        return arr[~np.isnan(arr)]
    return arr


def _is_integer_valued(arr):
    """True when every value of the numeric array ``arr`` is a finite integer."""
    if arr.dtype.kind in "iu":
        return True
    return bool(np.all(np.isfinite(arr) & (np.floor(arr) == arr)))


def _distinct_count(arr):
    return int(np.unique(arr).size)


def is_positive(values):
    """True when every value is strictly greater than 0.

    Suits functions such as the logarithm.  Non-numeric or empty columns give
    ``False``.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    return bool(np.all(arr > 0))


def is_non_negative(values):
    """True when every value is greater than or equal to 0.

    Suits functions such as the square root.  Non-numeric or empty columns
    give ``False``.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    return bool(np.all(arr >= 0))


def _categorical_level_limit(n):
    # Binary columns are always categorical; beyond that, at most 20 levels
    # and at most one level per two rows, so that a short column of
    # mostly-distinct integers (an id, a count) does not pass as a category.
    return max(2, min(CATEGORICAL_MAX_LEVELS, n // 2))


def _numeric_is_categorical(arr):
    if not _is_integer_valued(arr):
        return False
    return _distinct_count(arr) <= _categorical_level_limit(arr.size)


def is_categorical(values):
    """True when the column looks like integer codes of a few categories.

    The values must all be integers (integer dtype, or floats with no
    fractional part) and the number of distinct values ``d`` must satisfy
    ``d <= max(2, min(20, n // 2))``: a column with at most two distinct
    integers is always categorical; otherwise it may have at most 20 distinct
    values and at most one distinct value per two rows.

    Non-numeric data gives ``False`` (see the module notes): the predicate
    selects numeric code columns, for instance for one-hot encoding.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    return _numeric_is_categorical(arr)


def is_not_categorical(values):
    """True for numeric data that ``is_categorical`` rejects.

    For a non-empty numeric column this is exactly ``not is_categorical``.
    Non-numeric data (strings, objects, categories) gives ``False``: text
    labels are the most categorical data there is, so a string target is
    classified as a classification target and a text column is never offered
    to arithmetic transforms.  Empty or all-missing columns also give
    ``False``.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    return not _numeric_is_categorical(arr)


def is_lt80pc_unique_int(values):
    """True for integer-valued columns with repeated values.

    The values must all be integers (integer dtype, or floats with no
    fractional part), and the number of distinct values must be strictly
    below 80 % of ``n``: 7 distinct values in 10 rows pass, 8 do not.  Such a
    column can serve as a grouping key or be frequency-encoded; an id column
    with (almost) one value per row cannot.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0 or not _is_integer_valued(arr):
        return False
    return _distinct_count(arr) < UNIQUE_FRACTION_LIMIT * arr.size


def _is_coordinate(values, bound):
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    if not bool(np.all((arr >= -bound) & (arr <= bound))):
        return False
    # Coordinates are measured, not counted: a column of integers in range is
    # far more likely to be a code or a count.
    return not _is_integer_valued(arr)


def is_latitude(values):
    """True when every value lies in [-90, 90] and not every value is an integer.

    Degrees of latitude; the bounds are included.  A column that holds only
    whole numbers is rejected (it is more likely a code or a count).
    """
    return _is_coordinate(values, 90.0)


def is_longitude(values):
    """True when every value lies in [-180, 180] and not every value is an integer.

    Degrees of longitude; the bounds are included.  As for latitudes, a column
    that holds only whole numbers is rejected.
    """
    return _is_coordinate(values, 180.0)


def is_epoch(values):
    """True when every value is a whole number of seconds of plausible Unix time.

    The values must be integers (integer dtype, or floats without a
    fractional part) between ``100_000_000`` (1973-03-03) and
    ``4_102_444_800`` (2100-01-01), both included.  Milliseconds since the
    epoch fall far outside this range and are rejected.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0 or not _is_integer_valued(arr):
        return False
    return bool(np.all((arr >= EPOCH_MIN_SECONDS) & (arr <= EPOCH_MAX_SECONDS)))


def is_distance(values):
    """True when every value is a finite real number greater than or equal to 0.

    Integers and floats both qualify (a distance may be recorded in whole
    metres); infinite values do not.
    """
    arr = _numeric_values(values)
    if arr is None or arr.size == 0:
        return False
    return bool(np.all(np.isfinite(arr) & (arr >= 0)))
