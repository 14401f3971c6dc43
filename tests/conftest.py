"""Shared test doubles, fixtures and literal references."""
import random

import numpy as np
import pytest


class RecordingGraph:
    """A transform-graph double: a constraint cache that records every call."""

    def __init__(self, max_feature_generate_one_node=None, multiprocessing=False, cache=None):
        self.max_feature_generate_one_node = max_feature_generate_one_node
        self.multiprocessing = multiprocessing
        self.cache = dict(cache or {})
        self.calls = []

    def fcache_contains_key(self, fcname, colname):
        self.calls.append(("contains", fcname, colname))
        return (fcname, colname) in self.cache

    def does_col_satisfy_fc(self, fcname, colname):
        self.calls.append(("get", fcname, colname))
        return self.cache[(fcname, colname)]

    def add_to_fc_cache(self, fcname, colname, res):
        self.calls.append(("add", fcname, colname, res))
        self.cache[(fcname, colname)] = res


@pytest.fixture(autouse=True)
def _command_cache(tmp_path_factory, monkeypatch):
    """The command's catalogue cache lives in the session's temporary folder, never in the user's."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.getbasetemp() / "cache"))


def leftovers(folder):
    """The staging files and folders a write left in ``folder``."""
    import os

    return [n for n in os.listdir(folder) if n.endswith((".tmp", ".old"))]


def run_cli(capsys, *argv):
    """karrow-fe in-process: (exit code, stdout, stderr)."""
    from karrow_libs.cli import main

    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def tu():
    import karrow_libs.vantor.transforms.transform_utils as module

    return module


@pytest.fixture
def mixed_table():
    """int, float32, float64 and a NaN/inf column, with non-string names."""
    rng = np.random.default_rng(0)
    n = 50
    X = np.empty((n, 4), dtype=object)
    X[:, 0] = rng.integers(1, 100, n)
    X[:, 1] = rng.random(n).astype(np.float32) + 0.5
    X[:, 2] = rng.normal(size=n)
    col3 = rng.random(n) + 1.0
    col3[3] = np.nan
    col3[7] = np.inf
    X[:, 3] = col3
    X = X.astype(np.float64)
    names = ["age", 7, "x", "y"]
    dtypes = [np.dtype("int64"), np.dtype("float32"), np.dtype("float64"), np.dtype("float64")]
    return X, names, dtypes


def cleaned(a):
    """NaN and infinities become 0, as the transforms write them."""
    a = np.array(a, copy=True)
    a[~np.isfinite(a)] = 0
    return a


def drawn_names(proposals, taken):
    """The plain naming loop: append "-<random digit>" until the name is free, then take it."""
    out = []
    for name in proposals:
        while name in list(taken) + out:
            name += "-" + str(random.randint(0, 9))
        out.append(name)
    return out


def build(tu, cls, fun=None, name="f", tgraph=None, **kw):
    """A one-table-column transform of each kind over numeric columns, no constraints."""
    fun = fun if fun is not None else {"TA2": np.add, "TB1": tu.MinMaxScaler, "TAM": tu.PCA}.get(cls, np.abs)
    return {"TA1": lambda: tu.TA1(fun, name, ["numeric"], [], tgraph, **kw),
            "TA2": lambda: tu.TA2(fun, name, ["numeric"], [], ["numeric"], [], tgraph, **kw),
            "TGen": lambda: tu.TGen(fun, name, 1, [["numeric"]], [[]], tgraph, **kw),
            "TB1": lambda: tu.TB1(fun, name, ["numeric"], [], tgraph, **kw),
            "TAM": lambda: tu.TAM(fun, name, tgraph, **kw)}[cls]()


def search_table(values, names=None, dtypes=None):
    """A float Table for the searches: columns x0, x1, ... unless named, each its own lineage leaf."""
    from karrow_libs.table import Table

    p = values.shape[1]
    names = names or ["x" + str(i) for i in range(p)]
    return Table(values, names, dtypes or [np.dtype("float64")] * p, [{"name": "$" + str(n)} for n in names], p)
