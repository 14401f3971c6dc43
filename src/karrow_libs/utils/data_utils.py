"""Small data helpers of the host library.

``transform_utils`` imports ``DataUtils`` from here and then defines its own
class of the same name, which carries the column-naming and NaN-replacement
helpers the transforms use.  This class stays useful on its own for quick
looks at a column.
"""

import numpy as np

__all__ = ["DataUtils"]


class DataUtils:
    """Static helpers over one column of values; never instantiated."""

    @staticmethod
    def column_summary(values):
        """Describe one column in a plain ``dict``.

        Keys: ``"count"`` (number of rows), ``"missing"`` (NaN or None
        values), ``"distinct"`` (distinct non-missing values) and, for numeric
        columns with at least one value, ``"min"`` and ``"max"`` as Python
        floats.  Other columns get ``None`` for both.
        """
        arr = np.asarray(values).ravel()
        if arr.dtype.kind in "biuf":
            missing_mask = np.isnan(arr) if arr.dtype.kind == "f" else np.zeros(arr.size, bool)
        else:
            missing_mask = np.array([v is None or v != v for v in arr.tolist()], dtype=bool)
        present = arr[~missing_mask]
        summary = {
            "count": int(arr.size),
            "missing": int(missing_mask.sum()),
            "distinct": int(len(set(present.tolist()))),
            "min": None,
            "max": None,
        }
        if arr.dtype.kind in "biuf" and present.size:
            summary["min"] = float(present.min())
            summary["max"] = float(present.max())
        return summary
