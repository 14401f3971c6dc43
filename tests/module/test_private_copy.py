"""The function transforms' private copy and the joining of their blocks.

Each case runs a transform and a plain-numpy rendering of its algorithm with two fresh instances of the same
function: the functions read a copy of the caller's array (`X.copy(order="K")`), every call seeing it as earlier
calls left it; each block is cleaned of NaN and infinities where it lies, the blocks are joined at the end. Values,
dtypes, names and JSON lineage must agree, and the caller's array is never written.
"""
import itertools

import numpy as np
import pytest

from conftest import RecordingGraph

NAMES = [0, "b", 2.5, "d"]


def clean(a):
    """DataUtils.replace_nan_and_inf, in place."""
    for test in (np.isnan, np.isinf):
        if test(a).any():
            a[test(a)] = 0
    return a


def described(t, key, fun, X, new_only):
    """(result, new column dtypes, names, JSON lineage) of the algorithm written out."""
    P = X.copy(order="K")
    cands = {"TA1": lambda: [(c,) for c in t.colids_], "TA2": lambda: t.colid_pairs_, "TGen": lambda: t.candidates_}
    blocks, names, json = [], [], []
    joint, close = {"TA1": ("", ")"), "TA2": ("__", ")"), "TGen": ("___", "___)")}[key]
    for cand in cands[key]():
        out = fun(*[P[:, c] for c in cand])
        parts = list(out) if isinstance(out, tuple) else [out]
        params = [{"name": "$" + str(NAMES[c])} for c in cand]
        for k, part in enumerate(parts):
            blocks.append(clean(part[..., None] if part.ndim == 1 else part))
            suffix = "_" + str(k) if len(parts) > 1 else ""
            names.append("f" + suffix + "(" + joint.join(str(NAMES[c]) for c in cand) + close)
            json.append({"expression": {"op": "f", "params": ([{"output_index": k}] if suffix else []) + params}})
    Xtr = np.concatenate(blocks, 1)
    return (Xtr if new_only else np.concatenate((P, Xtr), 1)), [b.dtype for b in blocks], names, json


def fitted(tu, key, fun, X, cap=None):
    graph = RecordingGraph(max_feature_generate_one_node=cap)
    t = {"TA1": lambda: tu.TA1(fun, "f", ["numeric"], [], graph),
         "TA2": lambda: tu.TA2(fun, "f", ["numeric"], [], ["numeric"], [], graph),
         "TGen": lambda: tu.TGen(fun, "f", 2, [["numeric"]] * 2, [[], []], graph)}[key]()
    return t.fit(X, None, NAMES[:X.shape[1]], [X.dtype] * X.shape[1])


class KeepsView:
    """Keeps the first column it is given and writes into it on every later call."""

    def __init__(self, promote_every=0, outputs=1):
        self.kept, self.calls, self.promote_every, self.outputs = None, 0, promote_every, outputs

    def __call__(self, *cols):
        self.calls += 1
        if self.kept is None:
            self.kept = cols[0]
        else:
            self.kept[0] += 100.0
        out = cols[0] * 2.0 + self.kept[0]
        if self.promote_every and self.calls % self.promote_every:
            out = out.astype(np.float32)
        return out if self.outputs == 1 else tuple(out + k for k in range(self.outputs))


class ReusesBuffer:
    """Returns the same buffer, refilled, on every call."""

    def __init__(self):
        self.buf = None

    def __call__(self, *cols):
        if self.buf is None:
            self.buf = np.empty_like(cols[0], dtype=np.float64)
        np.multiply(cols[-1], 3.0, out=self.buf)
        return self.buf


def layout(*cols):
    """What a function can see of its argument's memory order."""
    c = cols[0]
    flag = float(c.flags.c_contiguous) + 2.0 * float(np.ascontiguousarray(c) is c)
    try:
        c.view(np.int32)
        flag += 4.0
    except ValueError:
        pass
    return np.full(c.shape, flag)


def in_place_sum(a, *rest):
    for b in rest:
        a += b
    return a


def doubled_then_new(a, *rest):
    a *= 2
    return a + 1


def mixed_dtypes():
    """Each call answers in the next of int64, uint64, longdouble: one promotion over all blocks."""
    calls = itertools.count()
    return lambda a, *rest: a.astype([np.int64, np.uint64, np.longdouble][next(calls) % 3])


FUNCTIONS = {
    "pure": lambda: lambda a, *rest: np.sqrt(np.abs(a)),
    "identity": lambda: lambda a, *rest: a,
    "reversed view": lambda: lambda a, *rest: a[::-1],
    "in place": lambda: in_place_sum,
    "writes, returns new": lambda: doubled_then_new,
    "mixed dtypes": mixed_dtypes,
    "keeps a view": KeepsView,
    "keeps a view, dtype promoted": lambda: KeepsView(promote_every=2),
    "keeps a view, result grows": lambda: KeepsView(outputs=3),
    "one buffer": ReusesBuffer,
    "memory order": lambda: layout,
    "big-endian float": lambda: lambda *cols: (cols[0] + 1.0).astype(">f8"),
    "big-endian int": lambda: lambda *cols: (cols[0] * 0 + 3).astype(">i4"),
}

UNIFORM = np.random.default_rng(3).uniform(1.0, 2.0, (7, 4))
TABLES = {
    "NaN and infinities": np.array([[1.0, np.nan, 2.0], [np.inf, 4.0, -np.inf], [3.0, 5.0, np.nan],
                                    [0.5, -1.0, 7.0]]),
    "int64 beyond float64": np.array([[2**62 + 1, 3, 5], [7, 2**62 + 3, 11], [13, 17, 2**61 + 1]], dtype=np.int64),
    "float32 F": np.asfortranarray(np.arange(1, 13, dtype=np.float32).reshape(4, 3)),
    "C": np.ascontiguousarray(UNIFORM),
    "F": np.asfortranarray(UNIFORM),
    "strided": np.asfortranarray(np.repeat(UNIFORM, 2, axis=1))[:, ::2],
    "int64 F": np.asfortranarray(np.round(UNIFORM * 10)).astype(np.int64),
}


@pytest.mark.parametrize("function", list(FUNCTIONS))
@pytest.mark.parametrize("key", ["TA1", "TA2", "TGen"])
def test_transform_equals_the_algorithm_on_a_private_copy(tu, key, function):
    if function.endswith("grows") and key != "TGen":
        pytest.skip("only TGen functions return several columns")
    for (table, X), new_only, cap in itertools.product(TABLES.items(), (False, True), (None, 2)):
        X_before = X.copy(order="K")
        t = fitted(tu, key, FUNCTIONS[function](), X, cap)
        with np.errstate(all="ignore"):
            got = t.transform(X, 1, new_only)
            want, dtypes, names, json = described(t, key, FUNCTIONS[function](), X, new_only)
        case = (table, new_only, cap)
        assert X.dtype == X_before.dtype and np.array_equal(X, X_before, equal_nan=True), case
        assert got.dtype == want.dtype and np.array_equal(got, want, equal_nan=True), case
        assert (t.new_column_dtypes_, t.new_column_names_, t.new_column_as_json_objects_) == (dtypes, names, json)


def test_a_view_kept_from_an_earlier_call_reads_the_returned_input(tu):
    """The copy the functions read is the one returned: a later write shows in the input part."""
    X = np.asfortranarray(np.arange(12.0).reshape(4, 3))
    views = []

    def keep(col):
        views.append(col)
        if len(views) == 3:
            views[0][:] = -1.0
        return (col * 2).astype(np.float32)  # promotes nothing with a float64 input, but is another dtype

    t = tu.TA1(keep, "k", ["numeric"], []).fit(X, None, ["a", "b", "c"], [X.dtype] * 3)
    out = t.transform(X)
    np.testing.assert_array_equal(out[:, 0], -1.0)
    np.testing.assert_array_equal(out[:, 3], X[:, 0] * 2)
    np.testing.assert_array_equal(X[:, 0], np.arange(0.0, 12.0, 3.0))


@pytest.mark.parametrize("table", ["C", "F", "strided", "int64 F"])
@pytest.mark.parametrize("key, fun", [("TA1", np.sqrt), ("TA1", np.exp), ("TA2", np.true_divide),
                                      ("TA2", np.fmax), ("TA2", np.arctan2)])
def test_numpy_functions_equal_the_algorithm(tu, key, fun, table):
    X = TABLES[table]
    t = fitted(tu, key, fun, X)
    got = t.transform(X)
    want, dtypes, names, _ = described(t, key, fun, X, False)
    assert got.dtype == want.dtype and t.new_column_dtypes_ == dtypes and t.new_column_names_ == names
    np.testing.assert_array_equal(got, want)
