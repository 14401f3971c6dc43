"""The function transforms' private copy and the joining of their blocks.

Each case runs a transform and a plain-numpy rendering of its algorithm on a
copy of the caller's array (`X.copy(order="K")`, one list of blocks, joined at
the end) with two fresh instances of the same function, and compares shape,
dtype, values and the recorded dtypes.
"""
import itertools

import numpy as np
import pytest


def plain(kind, make_fun, X, new_only):
    """The algorithm written out: functions read P, blocks listed, then joined."""
    fun = make_fun()
    P = X.copy(order="K")
    m = X.shape[1]
    if kind == "TA1":
        blocks = [fun(P[:, c])[..., None] for c in range(m)]
    elif kind == "TA2":
        blocks = [fun(P[:, a], P[:, b])[..., None] for a, b in itertools.permutations(range(m), 2)]
    else:
        blocks = []
        for (a,) in [(c,) for c in range(m)]:
            out = fun(P[:, a])
            blocks.extend([e[..., None] if e.ndim == 1 else e for e in out] if isinstance(out, tuple)
                          else [out[..., None]])
    dtypes = [b.dtype for b in blocks]
    Xtr = np.concatenate(blocks, 1)
    return (Xtr if new_only else np.concatenate((P, Xtr), 1)), dtypes


def transform(tu, kind, make_fun, X, new_only):
    fun = make_fun()
    names = ["c" + str(i) for i in range(X.shape[1])]
    dtypes = [X.dtype] * X.shape[1]
    t = {"TA1": lambda: tu.TA1(fun, "f", ["numeric"], []),
         "TA2": lambda: tu.TA2(fun, "f", ["numeric"], [], ["numeric"], []),
         "TGen": lambda: tu.TGen(fun, "f", 1, [["numeric"]], [[]])}[kind]()
    t.fit(X, None, names, dtypes)
    out = t.transform(X, return_new_cols_only=new_only)
    return out, list(t.new_column_dtypes_)


class KeepsView:
    """F1: keeps the first column it is given and writes into it on every later call."""

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
    """F2: returns the same buffer, refilled, on every call."""

    def __init__(self):
        self.buf = None

    def __call__(self, *cols):
        if self.buf is None:
            self.buf = np.empty_like(cols[0], dtype=np.float64)
        np.multiply(cols[-1], 3.0, out=self.buf)
        return self.buf


def layout(*cols):
    """F3: what a function can see of its argument's memory order."""
    c = cols[0]
    flag = float(c.flags.c_contiguous) + 2.0 * float(np.ascontiguousarray(c) is c)
    try:
        c.view(np.int32)
        flag += 4.0
    except ValueError:
        pass
    return np.full(c.shape, flag)


def big_endian(*cols):
    """F4: blocks in the other byte order."""
    return (cols[0] + 1.0).astype(">f8")


def big_endian_int(*cols):
    return (cols[0] * 0 + 3).astype(">i4")


CASES = {
    "F1 keeps a view": lambda: KeepsView(),
    "F1 keeps a view, dtype promoted": lambda: KeepsView(promote_every=2),
    "F1 keeps a view, result grows": lambda: KeepsView(outputs=3),
    "F2 one buffer": ReusesBuffer,
    "F3 memory order": lambda: layout,
    "F4 big-endian float": lambda: big_endian,
    "F4 big-endian int": lambda: big_endian_int,
}

ORDERS = {
    "C": lambda X: np.ascontiguousarray(X),
    "F": lambda X: np.asfortranarray(X),
    "strided": lambda X: np.asfortranarray(np.repeat(X, 2, axis=1))[:, ::2],
    "int64 F": lambda X: np.asfortranarray(np.round(X * 10)).astype(np.int64),
}


@pytest.mark.parametrize("new_only", [False, True], ids=["with input", "new only"])
@pytest.mark.parametrize("order", list(ORDERS))
@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("kind", ["TA1", "TA2", "TGen"])
def test_transform_equals_the_plain_algorithm(tu, kind, case, order, new_only):
    if case.endswith("grows") and kind != "TGen":
        pytest.skip("only TGen functions return several columns")
    X = ORDERS[order](np.random.default_rng(3).uniform(1.0, 2.0, (7, 4)))
    before = X.copy()
    got, got_dtypes = transform(tu, kind, CASES[case], X, new_only)
    want, want_dtypes = plain(kind, CASES[case], X, new_only)
    assert got.shape == want.shape and got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)
    assert got_dtypes == want_dtypes
    np.testing.assert_array_equal(X, before)  # the caller's array is never written


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


@pytest.mark.parametrize("order", list(ORDERS))
@pytest.mark.parametrize("kind, fun", [("TA1", np.sqrt), ("TA1", np.exp), ("TA2", np.true_divide),
                                       ("TA2", np.fmax), ("TA2", np.arctan2)])
def test_numpy_functions_equal_the_plain_algorithm(tu, kind, fun, order):
    X = ORDERS[order](np.random.default_rng(5).uniform(0.5, 2.0, (50, 5)))
    got, got_dtypes = transform(tu, kind, lambda: fun, X, False)
    want, want_dtypes = plain(kind, lambda: fun, X, False)
    assert got.dtype == want.dtype and got_dtypes == want_dtypes
    np.testing.assert_array_equal(got, want)
