"""Hostile input never crashes the interpreter; no reference leaks; the estimator protocol; the same
results after pickling, copying and across threads."""
import copy
import gc
import inspect
import os
import pickle
import resource
import threading

import joblib
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sklearn.base import BaseEstimator, clone
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler
from sklearn.tree import DecisionTreeRegressor

import karrow_libs.vantor.transforms.transform_utils as tu
from karrow_libs.vantor.transforms.sklearn_compat import VantorTransformer
from conftest import RecordingGraph

EXAMPLES = int(os.environ.get("KARROW_FUZZ_EXAMPLES", "25"))


class RaisingGraph:
    max_feature_generate_one_node = None
    multiprocessing = False

    def fcache_contains_key(self, fcname, colname):
        raise RuntimeError("graph down")

    does_col_satisfy_fc = add_to_fc_cache = fcache_contains_key


def odd_arrays():
    return st.sampled_from([
        np.array([[1.0, np.nan], [np.inf, -np.inf]]),
        np.array([[1, 2], [3, 4]], dtype=object),
        np.array([["a", "b"], ["c", "d"]]),
        np.array([[True, False], [False, True]]),
        np.array([[1 + 2j, 3j], [1j, 2 + 0j]]),
        np.empty((0, 3)), np.empty((3, 0)), np.empty((0, 0)),
        np.arange(6.0), np.arange(24.0).reshape(2, 3, 4),
        np.arange(12, dtype=np.int8).reshape(3, 4), np.arange(12, dtype=np.float16).reshape(4, 3),
        np.zeros((3, 2))[:, ::-1], np.asfortranarray(np.arange(6.0).reshape(2, 3)),
    ])


def odd_values():
    return st.one_of(
        odd_arrays(),
        st.none(), st.booleans(), st.integers(-3, 5), st.floats(allow_nan=True), st.text(max_size=3),
        st.lists(st.one_of(st.integers(-2, 3), st.text(max_size=2), st.none()), max_size=4),
        st.sampled_from([pd.DataFrame({"a": [1.0, 2.0], "b": [3, 4]}), pd.Series([1.0, np.nan]),
                         RecordingGraph(), RaisingGraph(), RecordingGraph(max_feature_generate_one_node=1),
                         np.sqrt, np.add, len, MinMaxScaler, PCA(), lambda *a: a[0][:1], lambda *a: "x",
                         lambda *a: np.ones((7, 3)), {"a": 1}, ("x", 1)]),
    )


PUBLIC = [(name, cls) for name, cls in vars(tu).items() if isinstance(cls, type) and cls.__module__ == tu.__name__]


def call_safely(fn, *args):
    try:
        fn(*args)
    except Exception:  # any Python exception is an acceptable outcome
        pass


@pytest.mark.parametrize("name, cls", PUBLIC, ids=[n for n, _ in PUBLIC])
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_hostile_arguments_only_raise(name, cls, data, capsys):
    try:
        n_init = len(inspect.signature(cls.__init__).parameters) - 1
    except (TypeError, ValueError):
        n_init = 0
    obj = None
    if name not in ("AbstractCandidatesSpaceDescriptor", "TransformBase", "DataUtils"):
        args = [data.draw(odd_values()) for _ in range(data.draw(st.integers(0, n_init)))]
        try:
            obj = cls(*args)
        except Exception:
            obj = None
    for meth_name, raw in list(vars(cls).items()):
        if meth_name.startswith("__") or not (callable(raw) or isinstance(raw, staticmethod)):
            continue
        fn = getattr(cls, meth_name) if isinstance(raw, staticmethod) else getattr(obj, meth_name, None)
        if fn is None:
            continue
        n = len(inspect.signature(fn).parameters)
        args = [data.draw(odd_values()) for _ in range(data.draw(st.integers(0, n + 1)))]
        call_safely(fn, *args)
    capsys.readouterr()


MAKERS = {
    "TA1": lambda: tu.TA1(np.sqrt, "sqrt", ["numeric"], None),
    "TA2": lambda: tu.TA2(np.multiply, "product", ["numeric"], None, ["numeric"], None),
    "TGen": lambda: tu.TGen(np.subtract, "sub", 2, [["numeric"], ["numeric"]], [[], []]),
    "TB1": lambda: tu.TB1(MinMaxScaler, "mm", ["numeric"], None),
    "TAM": lambda: tu.TAM(PCA, "pca"),
    "FS1": lambda: tu.FS1([0], 2, "regression"),
    "FS2": lambda: tu.FS2([0], 2, "regression", DecisionTreeRegressor),
    "FS3": lambda: tu.FS3([1, 2]),
    "TB2": lambda: tu.TB2(MinMaxScaler, "mm", ["numeric"], None, ["numeric"], None),
    "TNoOp": lambda: tu.TNoOp(np.sqrt, "noop", ["numeric"], None),
    "DropTransform": lambda: tu.DropTransform("b"),
    "PreprocessDF": lambda: tu.PreprocessDF(),
}
FUNCTIONAL = ["TA1", "TA2", "TGen", "TB1", "TAM"]


def fitted(key, obj=None):
    """(X, the object fitted on X when its kind is fitted on a table)."""
    rng = np.random.default_rng(0)
    X = rng.random((30, 4)) + 0.1
    X[:, 3] = rng.integers(1, 4, 30)
    obj = MAKERS[key]() if obj is None else obj
    if key in FUNCTIONAL:
        obj.fit(X, None, ["a", "b", "c", "d"], ["float64", "float64", "float64", "int64"])
    elif key.startswith("FS"):
        obj.fit(X, X[:, 0] + X[:, 1])
    return X, obj


@pytest.mark.parametrize("key", list(MAKERS))
def test_estimator_protocol_and_identical_round_trips(key, tmp_path):
    obj = MAKERS[key]()
    assert isinstance(obj, (VantorTransformer, BaseEstimator)) and repr(obj).startswith(key + "(")
    params = obj.get_params()
    obj.set_params(**params)
    twin = clone(obj)
    assert type(twin) is type(obj) and twin.get_params().keys() == params.keys()
    X, obj = fitted(key, obj)
    transforms = key in FUNCTIONAL or key.startswith("FS")
    want = obj.transform(X) if transforms else None
    joblib.dump(obj, tmp_path / "o.joblib")
    for c in (pickle.loads(pickle.dumps(obj)), joblib.load(tmp_path / "o.joblib"), copy.deepcopy(obj)):
        assert type(c) is type(obj) and list(vars(c)) == list(vars(obj)) and c.get_params().keys() == params.keys()
        for attr in ("uid", "new_column_names_", "new_column_dtypes_", "new_column_as_json_objects_"):
            assert getattr(c, attr, None) == getattr(obj, attr, None)
        if transforms:
            got = c.transform(X)
            assert got.dtype == want.dtype and np.array_equal(got, want)


def test_threads_with_their_own_objects_agree_with_one_thread():
    want = {k: t.transform(X) for k, (X, t) in {k: fitted(k) for k in FUNCTIONAL}.items()}
    results, errors = {}, []

    def work(tag):
        try:
            mine = {k: fitted(k) for k in FUNCTIONAL}
            for _ in range(20):
                results[tag] = {k: t.transform(X) for k, (X, t) in mine.items()}
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    for tag in range(2):
        for k in want:
            assert np.array_equal(results[tag][k], want[k])


class PairProduct:
    """A pair estimator for TB2: the product of its two one-column frames."""

    def fit(self, df):
        return self

    def transform(self, a, b):
        return a.to_numpy() * b.to_numpy()


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("KARROW_SANITIZED")),
                    reason="the sanitizer's quarantine holds freed memory, so resident size says nothing about leaks")
@pytest.mark.parametrize("key", ["TA1", "TA2", "TGen", "TB1", "TB2", "TAM", "TNoOp", "DropTransform", "FS1", "space"])
def test_repeated_fit_transform_does_not_leak(key):
    rng = np.random.default_rng(0)
    X = rng.random((20, 3)) + 0.1
    y = rng.random(20)
    names, dtypes = ["a", "b", "c"], ["float64"] * 3

    def cycle():
        if key == "FS1":
            tu.FS1([0], 1, "regression").fit(X, y).transform(X)
        elif key == "TB2":
            t = tu.TB2(PairProduct, "prod", ["numeric"], None, ["numeric"], None).fit(X, None)
            t.tansform(X)
        elif key in ("TNoOp", "DropTransform"):
            frame = pd.DataFrame(X, columns=names)
            MAKERS[key]().fit(frame, y).transform(frame)
        elif key == "space":
            d = tu.CandidatesSpaceDescriptor()
            d.add_dimension_spec([0, 1, 2])
            d.add_dimension_spec([0, 1, 2])
            d.get_candidate(d.get_size() - 1)
        else:
            t = MAKERS[key]()
            t.fit(X, None, names, dtypes)
            t.transform(X)

    for _ in range(2000):  # let allocator pools and caches settle
        cycle()
    gc.collect()
    settled = rss_kib()
    for _ in range(10000):
        cycle()
    gc.collect()
    assert rss_kib() - settled <= 2048


def configured(key, fun, graph):
    """One of MAKERS' objects, the odd function (TA1, TGen) and graph (transforms) given."""
    t = MAKERS[key]()
    if key in ("TA1", "TGen"):
        t.fun = fun
    if key != "FS1":
        t.tgraph = graph
    return t


tables = st.sampled_from([
    np.array([[1.0, np.nan, 2.0], [np.inf, -np.inf, 0.0], [3.0, 4.0, 5.0]]),
    np.arange(12.0).reshape(4, 3), np.arange(12, dtype=np.int32).reshape(4, 3),
    np.arange(12.0, dtype=np.float16).reshape(3, 4), np.ones((1, 3)), np.empty((0, 3)), np.empty((3, 0)),
    np.array([["a", "b"], ["c", "d"]], dtype=object), np.arange(6.0), np.arange(8.0).reshape(2, 2, 2),
    np.asfortranarray(np.arange(12.0).reshape(3, 4)), np.arange(24.0).reshape(4, 6)[:, ::2],
])
funcs = st.sampled_from([np.sqrt, np.negative, lambda *a: a[0][:1], lambda *a: np.ones((len(a[0]), 3)),
                         lambda *a: "text", lambda *a: None, lambda *a: np.asarray(a[0], dtype=object),
                         lambda *a: (a[0], a[0] * 2), lambda *a: pd.Series(a[0])])
graphs = st.sampled_from([None, RecordingGraph(), RaisingGraph(), RecordingGraph(max_feature_generate_one_node=1),
                          RecordingGraph(max_feature_generate_one_node=0)])


@pytest.mark.parametrize("key", ["TA1", "TA2", "TGen", "TB1", "TAM", "FS1"])
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(fun=funcs, graph=graphs, X=tables, X2=tables, n_names=st.integers(0, 5), n_dtypes=st.integers(0, 5),
       flag=st.sampled_from([True, False, None, 1]))
def test_fit_and_transform_on_odd_tables_only_raise(key, fun, graph, X, X2, n_names, n_dtypes, flag, capsys):
    t = configured(key, fun, graph)
    names = [f"c{i}" for i in range(n_names)]
    dtypes = [str(X.dtype)] * n_dtypes
    try:
        if key == "FS1":
            t.fit(X, np.arange(len(X), dtype=float))
        else:
            t.fit(X, None, names, dtypes)
    except Exception:
        pass
    for data in (X, X2):
        try:
            if key == "FS1":
                t.transform(data)
            else:
                t.transform(data, 1, flag)
        except Exception:
            pass
    capsys.readouterr()
