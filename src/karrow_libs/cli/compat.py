"""Stand-ins for library pieces that an older installation lacks (prepare_target)."""

import numpy as np

from karrow_libs.table import DataError


def prepare_target(y_series, task=None):
    try:
        from karrow_libs.prepare import prepare_target as real
    except ImportError:
        pass
    else:
        return real(y_series, task)
    from karrow_libs.vantor.transforms import transform_utils as tu

    present = y_series.notna().to_numpy()
    y = y_series[present].to_numpy()
    if len(y) < 3:
        raise DataError("the target has " + str(len(y)) + " row(s) with a value; at least 3 are needed")
    if len(np.unique(y.astype(str))) < 2:
        raise DataError("the target " + repr(y_series.name) + " has a single value; there is nothing to predict")
    task = task or tu.DatasetS.GetTargetType(y)
    if task == "regression":
        try:
            y = y.astype(np.float64)
        except (TypeError, ValueError):
            raise DataError("the target " + repr(y_series.name) + " is not numeric; use --task classification") from None
    return y, task, {"dropped_rows": int((~present).sum()), "kept_rows": present}
