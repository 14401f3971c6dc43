"""prepare_target: a target column -> the values a model is fitted on, and the task."""

import numpy as np
import pandas as pd

from karrow_libs.table import DataError

from ._columns import find_number_format, text_missing

__all__ = ["prepare_target"]

#: Fewest rows with a target value that can be learnt from.
MIN_ROWS = 3

_TASKS = ("regression", "classification")

#: Largest share of text cells a column of numbers may hold and still be a numeric target.
MAX_TEXT_SHARE = 0.05
#: A target of numbers with stray words is read as numbers only with more distinct values than this
#: (fewer look like class codes beside class names).
MAX_TEXT_CLASSES = 10


def _quoted(cells, limit=3):
    """The first few distinct cells, quoted as they are written."""
    return [repr(str(v).strip()) for v in pd.unique(pd.Series(cells, dtype=object).to_numpy())[:limit]]


def prepare_target(y_series, task=None):
    """(y, task, info) for a target column.

    Rows whose target is missing (NA, blank text or a marker such as "NA"
    or "?", infinite numbers) are
    dropped: ``info["kept_rows"]`` is the boolean mask of the rows kept (apply
    it to the features) and ``info["dropped_rows"]`` their count.

    The task: text or boolean targets are classification (a two-level text
    target such as yes/no is a binary classification); a numeric target is
    classified by the module's ``DatasetS.GetTargetType`` (integer codes
    with few levels -> classification), unless ``task`` ("regression" or
    "classification") says otherwise. Regression targets are float64;
    classification targets keep their labels (whole-number floats become
    int64). ``info`` also holds ``"how"`` (one line on how the task was
    chosen) and ``"n_classes"`` (None for regression).

    A column of numbers with a few words among them (at most 5 % of the
    cells with a value, e.g. "unknown") is a numeric target: the rows of
    those cells are dropped too, and ``info["text_rows"]`` counts them while
    ``info["text_cells"]`` quotes the first few.

    Raises :class:`DataError` for a target that cannot be predicted (fewer
    than 3 rows with a value, a single value, text asked to be regression).
    """
    if task is not None and task not in _TASKS:
        raise ValueError("task must be 'regression', 'classification' or None, got " + repr(task))
    s = y_series if isinstance(y_series, pd.Series) else pd.Series(np.asarray(y_series).ravel())
    name = repr(str(s.name)) if s.name is not None else "the target"
    values, kept, text_rows, text_cells = _read_target(s, task)
    n_kept = int(kept.sum())
    info = {"dropped_rows": int(len(s) - n_kept), "kept_rows": kept, "text_rows": text_rows,
            "text_cells": text_cells}
    if n_kept < MIN_ROWS:
        raise DataError(name + " has " + str(n_kept) + " row(s) with a value; at least " + str(MIN_ROWS)
                        + " are needed")
    if values is not None:
        return _numeric_target(values[kept], task, name, info)
    return _label_target(s, kept, task, name, info)


def _is_numbers(dtype):
    """A dtype read as numbers without looking at the cells; booleans are labels."""
    return (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)
            and not pd.api.types.is_complex_dtype(dtype))


def _read_target(s, task):
    """(values, kept, text_rows, text_cells): the target as float64 numbers (None for labels), the mask
    of the rows with a value, and the stray words among numbers (their count, the first few quoted)."""
    if _is_numbers(s.dtype):
        values = s.to_numpy(dtype=np.float64, na_value=np.nan)
        return values, np.isfinite(values), 0, []
    obj = s.astype(object)
    kept = ~text_missing(obj)
    # Numbers read as text (a stray blank or "NA" spelled otherwise) are still
    # numbers; so is a column of numbers with a few stray words ("unknown"),
    # whose rows are dropped like rows without a target.
    as_num = _text_as_numbers(obj[kept], s.dtype)
    stray = as_num.isna().to_numpy()
    if not _reads_as_numbers(as_num, stray, s.dtype, task):
        return None, kept, 0, []
    values = np.full(len(s), np.nan)
    values[kept] = as_num.to_numpy(dtype=np.float64)
    text_rows, text_cells = (int(stray.sum()), _quoted(obj[kept][stray])) if stray.any() else (0, [])
    kept &= np.isfinite(values)
    return values, kept, text_rows, text_cells


def _text_as_numbers(cells, dtype):
    """The number in each text cell, NaN where there is none."""
    as_num = pd.to_numeric(cells, errors="coerce")
    if as_num.isna().mean() > MAX_TEXT_SHARE and not pd.api.types.is_bool_dtype(dtype):
        # Numbers written for people ("1.234,5", "12%", "$3"): read under the one format that fits.
        fmt = find_number_format(cells, np.zeros(len(cells), dtype=bool))
        if fmt is not None:
            as_num = pd.Series(fmt.parse(cells), index=cells.index)
    return as_num


def _reads_as_numbers(as_num, stray, dtype, task):
    """Whether a text target is numbers, its ``stray`` cells (no number) being words among them."""
    return bool(len(as_num) and not pd.api.types.is_bool_dtype(dtype) and stray.mean() <= MAX_TEXT_SHARE
                and (not stray.any() or task == "regression"
                     or (task is None and pd.unique(as_num[~stray]).size > MAX_TEXT_CLASSES)))


def _numeric_target(y, task, name, info):
    """(y, task, info) for the numbers ``y`` of the rows kept."""
    levels = np.unique(y)
    if levels.size < 2:
        raise DataError(name + " has a single value; there is nothing to predict")
    if task is None:
        from karrow_libs.vantor.transforms import transform_utils

        task = transform_utils.DatasetS.GetTargetType(y)
        info["how"] = "numbers with " + str(levels.size) + " values: " + task
    else:
        info["how"] = task + " (as asked)"
    if task == "regression":
        info["n_classes"] = None
        return y.astype(np.float64), task, info
    if np.all(np.floor(y) == y):
        y = y.astype(np.int64)
    info["n_classes"] = int(levels.size)
    return y, task, info


def _label_target(s, kept, task, name, info):
    """(y, task, info) for a target of labels (text, booleans): always classification."""
    labels = s[kept]
    if pd.api.types.is_bool_dtype(s.dtype):
        y = labels.to_numpy(dtype=bool)
    else:
        y = np.asarray([v.strip() if isinstance(v, str) else v for v in labels.astype(object)], dtype=object)
        try:
            y = y.astype(str)
        except (TypeError, ValueError):
            pass
    levels = np.unique(y.astype(str))
    if levels.size < 2:
        raise DataError(name + " has a single value; there is nothing to predict")
    if task == "regression":
        raise _not_numbers(name, labels)
    info["n_classes"] = int(levels.size)
    info["how"] = ("two levels (" + "/".join(levels.tolist()) + "): classification" if levels.size == 2
                   else str(levels.size) + " text levels: classification")
    return y, "classification", info


def _not_numbers(name, labels):
    """The error for a text target asked to be regression."""
    # Quote the cells that are not numbers, never the numbers beside them.
    words = labels.astype(object)[pd.to_numeric(labels.astype(object), errors="coerce").isna().to_numpy()]
    share = len(words) / max(len(labels), 1)
    more = ", ..." if pd.unique(words).size > 3 else ""
    return DataError(name + " holds text (" + ", ".join(_quoted(words)) + more + " in " + str(len(words)) + " of "
                     + str(len(labels)) + " rows, " + format(share, ".0%")
                     + "), not numbers: it cannot be a regression target")
