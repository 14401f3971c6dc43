"""Everything the search knows about the transform module's objects, in one place.

The search asks a catalogue transform for its candidates, cuts a fitted
transform down to some of them, computes their columns, and reads the names,
dtypes and lineage it recorded.  Those objects' attribute names
(``colids_``, ``colid_pairs_``, ``candidates_``, ``tobjects_``,
``new_column_*``) and calling conventions are only spelled here, so that the
rest of the search (and the tree search built on it) works through these
functions.
"""

import copy
import weakref

import numpy as np

from karrow_libs.table import module_output

__all__ = ["catalogue_transform", "level_products", "reciprocals", "is_clear_of_zero", "columns_clear_of_zero",
           "is_level", "unknown_levels_to_zero", "fit_transform_object",
           "candidates_of", "restrict", "module_columns", "kind_of", "new_columns_info", "unique_name",
           "transform_graph"]

_CANDIDATE_ATTRS = ("colids_", "colid_pairs_", "candidates_")


def _tu():
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils


def transform_graph(max_per_transform=None):
    """A transform graph whose reproducible sample caps each transform at ``max_per_transform`` candidates."""
    from karrow_libs.vantor.transforms.transform_graph import TransformGraph

    return TransformGraph(max_feature_generate_one_node=max_per_transform or None)


def catalogue_transform(name, graph):
    """A fresh catalogue transform object for ``name``; ValueError for a name outside the catalogue."""
    t = _tu().TransformBase.GetTransformObj(name, graph)
    if t is None:
        raise ValueError("unknown transform " + repr(name))
    return t


#: Rows a level (and the rest) must hold before its products are candidates: a product that is nonzero
#: on a handful of rows would let those rows decide.
LEVEL_MIN_ROWS = 10


def is_level(values):
    """A 0/1 column, as the preparation encodes a category's level, with both values on enough rows."""
    v = np.asarray(values)
    if v.dtype.kind not in "biuf" or len(v) == 0:
        return False
    ones = v == 1
    count = int(np.count_nonzero(ones))
    return bool(np.all(ones | (v == 0)) and min(count, len(v) - count) >= LEVEL_MIN_ROWS)


def level_products(graph):
    """Products the catalogue's ``product`` refuses, as the module's own pair transform built directly:
    a category level (0/1 column) times a number, and a level times a level of another category."""
    from karrow_libs.utils import fc_methods as fc

    tu = _tu()
    return [
        ("level x number", tu.TA2(np.multiply, "product", ["numeric"], [is_level], ["numeric"],
                                  [fc.is_not_categorical], tgraph=graph)),
        ("level x level", tu.TA2(np.multiply, "product", ["numeric"], [is_level], ["numeric"], [is_level],
                                 tgraph=graph)),
    ]


#: A reciprocal is a candidate only when at most 1 % of the rows give it more than this many times its median.
RECIPROCAL_SPREAD = 10.0


def is_clear_of_zero(values):
    """True when at most 1 % of the values lie below ``1 / RECIPROCAL_SPREAD`` of their median.

    Near 0 a reciprocal grows without bound: the few rows there would hold most of its variance and
    decide its score (an age of 5 months next to a median of 28 years).
    """
    v = np.asarray(values, dtype=np.float64)
    if v.size == 0 or not np.all(np.isfinite(v)):
        return False
    return bool(_few_near_zero(v))


def columns_clear_of_zero(block):
    """Per column of ``block``: one sign throughout and, in magnitude, clear of zero as
    :func:`is_clear_of_zero` has it (a denominator near 0 lets a handful of rows decide a ratio)."""
    one_sign = (block.min(axis=0) > 0) | (block.max(axis=0) < 0)
    return one_sign & _few_near_zero(np.abs(block))


def _few_near_zero(values):
    return np.percentile(values, 1, axis=0) * RECIPROCAL_SPREAD >= np.median(values, axis=0)


def reciprocals(graph):
    """``1 / x`` of every positive measurement, as the module's own unary transform built directly:
    the catalogue has no reciprocal, and a rate or a density (``1 / weight``) is often what a linear
    model needs.  A column with zeros or of both signs has a pole and is not a candidate, nor one with
    more than a few values close to 0, nor a category code, whose reciprocal only reorders the levels."""
    from karrow_libs.utils import fc_methods as fc

    return "reciprocal", _tu().TA1(np.reciprocal, "reciprocal", ["numeric"],
                                   [fc.is_not_categorical, fc.is_positive, is_clear_of_zero], tgraph=graph)


def fit_transform_object(t, values, y, names, dtypes, lineage):
    """Fit ``t`` on the columns ``values`` and return its candidates (``[None]``: the whole table).

    One-hot encoders built by the search put categories unseen at fit on no
    level instead of raising: new data may well hold a city the training rows
    did not.
    """
    # The fit matches each candidate's column types by their names; handing it the names (the same
    # answers) spares it printing a dtype once per candidate, most of a wide table's fit.
    with module_output():
        t.fit(values, y, list(names), [str(d) for d in dtypes], list(lineage))
    if isinstance(getattr(t, "col_dtypes_", None), list) and len(t.col_dtypes_) == len(dtypes):
        t.col_dtypes_ = list(dtypes)
    unknown_levels_to_zero(t)
    return candidates_of(t)


def unknown_levels_to_zero(t):
    """Let the one-hot encoders of the fitted transform ``t`` put unseen categories on no level."""
    from sklearn.preprocessing import OneHotEncoder

    for est in getattr(t, "tobjects_", None) or ():
        if isinstance(est, OneHotEncoder):
            est.handle_unknown = "ignore"


def candidates_of(t):
    """The fitted transform's candidate list (``[None]`` for a whole-table transform)."""
    for attr in _CANDIDATE_ATTRS:
        cands = getattr(t, attr, None)
        if cands is not None:
            return list(cands)
    return [None]


def restrict(t, idx):
    """A shallow copy of the fitted transform ``t`` that applies only to its candidates ``idx``.

    The copy shares the fitted estimators; only the lists of chosen columns
    (and the estimators aligned with them) are cut down.
    """
    r = copy.copy(t)
    for attr in _CANDIDATE_ATTRS:
        cands = getattr(t, attr, None)
        if cands is not None:
            setattr(r, attr, [cands[i] for i in idx])
            tobjects = getattr(t, "tobjects_", None)
            if tobjects is not None and len(tobjects) == len(cands):
                r.tobjects_ = [tobjects[i] for i in idx]
            break
    return r


def module_columns(t, values):
    """The new columns of the fitted transform ``t`` on ``values`` as a 2-d float64 array."""
    narrow = _narrowed(t, values)
    with module_output():
        out = t.transform(values, 1, True) if narrow is None else _narrow_transform(t, values, *narrow)
    if isinstance(out, list) and not out:
        return np.empty((values.shape[0], 0))
    out = np.asarray(out, dtype=np.float64)
    if out.ndim == 1:
        out = out[:, None]
    return out


#: Function transforms whose candidates are column ids (one per candidate, or a pair).
_NARROWABLE = {"TA1": "colids_", "TA2": "colid_pairs_"}


def _narrowed(t, values):
    """``(columns read, their positions)`` when ``t`` reads a few of the many columns of ``values``, else None.

    The module's transform copies its whole input table on every call, so
    a function transform is handed only the columns its candidates read:
    on a wide table of many rows the copy costs far more than the columns.
    """
    attr = _NARROWABLE.get(type(t).__name__)
    if attr is None or not isinstance(values, np.ndarray) or values.ndim != 2:
        return None
    cands = getattr(t, attr, None)
    names = getattr(t, "col_names_", None)
    if not cands or names is None or len(names) != values.shape[1]:
        return None
    used = sorted({int(c) for cand in cands for c in (cand if attr == "colid_pairs_" else (cand,))})
    if 2 * len(used) > values.shape[1]:
        return None
    return attr, used


#: Narrowed copies of fitted transforms, made once per transform and input width (a search computes
#: the same shortlisted candidates on every chunk of rows of every step).
_NARROWED = weakref.WeakKeyDictionary()


def _narrow_transform(t, values, attr, used):
    """``t.transform(values, 1, True)`` computed by a copy of ``t`` that reads only the columns ``used``.

    The copy lists the columns it reads first and every other input name
    after them, so the names it makes unique are checked against the same
    names as the original's; what it records about its new columns is
    handed back to ``t``, as the call on ``t`` itself would have left it.
    """
    p = values.shape[1]
    # The copy stands for ``t`` as long as ``t`` holds the very candidate and name lists it was made from.
    cands, names, used_key = getattr(t, attr), t.col_names_, (p, tuple(used))
    try:
        made = _NARROWED.get(t)
    except TypeError:  # not weakly referable: made each time
        made = None
    if made is not None and made[0] == used_key and made[1] is cands and made[2] is names:
        n = made[3]
    else:
        n = _narrowed_copy(t, p, attr, used)
        try:
            _NARROWED[t] = (used_key, cands, names, n)
        except TypeError:
            pass
    out = n.transform(np.ascontiguousarray(values[:, used]), 1, True)
    for rec in ("new_column_names_", "new_column_dtypes_", "new_column_as_json_objects_"):
        if rec in vars(n):
            setattr(t, rec, getattr(n, rec))
    return out


def _narrowed_copy(t, p, attr, used):
    order = used + sorted(set(range(p)) - set(used))
    where = {c: i for i, c in enumerate(used)}
    n = copy.copy(t)
    cands = getattr(t, attr)
    if attr == "colid_pairs_":
        setattr(n, attr, [tuple(where[int(c)] for c in pair) for pair in cands])
    else:
        setattr(n, attr, [where[int(c)] for c in cands])
    n.col_names_ = [t.col_names_[i] for i in order]
    json = getattr(t, "col_as_json_objects_", None)
    if json is not None and len(json) == p:
        n.col_as_json_objects_ = [json[i] for i in order]
    dtypes = getattr(t, "col_dtypes_", None)
    if dtypes is not None and len(dtypes) == p:
        n.col_dtypes_ = [dtypes[i] for i in order]
    return n


def kind_of(t):
    """("unary", fun), ("binary", fun) or ("module", None): how the candidates' columns can be computed."""
    cls = type(t).__name__
    if cls == "TA1":
        return "unary", t.fun
    if cls == "TA2":
        return "binary", t.fun
    return "module", None


def new_columns_info(t, positions):
    """(names, dtypes, lineage) the fitted, restricted transform ``t`` recorded for its output ``positions``."""
    return ([str(t.new_column_names_[i]) for i in positions],
            [np.dtype(t.new_column_dtypes_[i]) for i in positions],
            [t.new_column_as_json_objects_[i] for i in positions])


def unique_name(name, taken):
    """``name``, or the module's variant of it with a digit suffix when ``taken`` already holds it."""
    return _tu().DataUtils.get_unique_column_name(name, taken)
