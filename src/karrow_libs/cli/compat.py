"""Stand-ins for library pieces that an older installation lacks (catalogue data, prepare_target)."""

import numpy as np

from karrow_libs.table import DataError


def catalogue():
    try:
        from karrow_libs.vantor.transforms import catalogue as module
    except ImportError:
        return _Probed
    return module


class _Probed:
    NAMES = (
        "sqrt", "log", "exp", "round", "square", "cube", "cbrt", "tanh", "sin", "cos", "tan", "abs",
        "sigmoid", "freq", "product", "sum", "diff", "min", "max", "divide", "onehot", "stdscaler",
        "minmaxscaler", "dtextr", "pair", "pca", "ica", "nystroem", "featureagglomeration",
        "groupbymean", "groupbystd", "groupbymin", "groupbymax", "groupbymedian", "nxor", "binning",
        "clusterdbscan", "isoforestanomaly", "speed", "distance", "m_distance",
    )

    @staticmethod
    def names():
        return list(_Probed.NAMES)

    @staticmethod
    def entries():
        from karrow_libs.vantor.transforms import transform_utils as tu

        out = []
        for name in _Probed.NAMES:
            t = tu.TransformBase.GetTransformObj(name)
            if hasattr(t, "datatypes_list"):
                datatypes, constraints = t.datatypes_list, t.feat_constraints_list
            elif hasattr(t, "datatypes1"):
                datatypes, constraints = [t.datatypes1, t.datatypes2], [t.feat_constraints1, t.feat_constraints2]
            elif hasattr(t, "datatypes"):
                datatypes, constraints = [t.datatypes], [t.feat_constraints]
            else:
                datatypes, constraints = [], []
            wraps = t.fun if getattr(t, "fun", None) is not None else getattr(t, "tans_class", None)
            out.append({"name": name, "class": type(t).__name__,
                        "arguments": len(datatypes) if datatypes else "all",
                        "datatypes": [list(d) for d in datatypes],
                        "constraints": [[getattr(f, "__name__", str(f)) for f in fs] for fs in constraints],
                        "wraps": getattr(wraps, "__name__", type(wraps).__name__)})
        return out


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
