"""The transform catalogue (TransformBase), TNoOp and DropTransform, and every named transform end to end."""
import pickle
import sys
import types

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.cluster import FeatureAgglomeration
from sklearn.datasets import load_diabetes
from sklearn.decomposition import PCA, FastICA
from sklearn.kernel_approximation import Nystroem
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import KBinsDiscretizer, MinMaxScaler, OneHotEncoder, StandardScaler

import karrow_libs.utils.fc_methods as FC
import karrow_libs.vantor.transforms.textras_methods as TExtras
import karrow_libs.vantor.transforms.transform_extras as TX
from karrow_libs.vantor.transforms import catalogue
from karrow_libs.vantor.transforms.transform_graph import TransformGraph
from karrow_libs.vantor.transforms.transform_utils import (
    TA1, TA2, TAM, TB1, DropTransform, TGen, TNoOp, TransformBase)

from conftest import RecordingGraph

NC = [FC.is_not_categorical]
FNC = ("float", NC)
NNC = ("numeric", NC)
KEY = ("int", [FC.is_lt80pc_unique_int])
LAT, LON, EPOCH = ("float", [FC.is_latitude]), ("float", [FC.is_longitude]), ("int64", [FC.is_epoch])

# name -> (class, wrapped function / estimator class, [(datatype, constraints) per argument])
CATALOGUE = {
    "sqrt": (TA1, np.sqrt, [("numeric", [FC.is_non_negative, FC.is_not_categorical])]),
    "log": (TA1, np.log, [("numeric", [FC.is_positive, FC.is_not_categorical])]),
    "exp": (TA1, np.exp, [NNC]), "round": (TA1, np.rint, [NNC]), "square": (TA1, np.square, [NNC]),
    "cube": (TA1, TExtras.cube, [NNC]), "cbrt": (TA1, np.cbrt, [NNC]), "tanh": (TA1, np.tanh, [FNC]),
    "sin": (TA1, np.sin, [FNC]), "cos": (TA1, np.cos, [FNC]), "tan": (TA1, np.tan, [FNC]),
    "abs": (TA1, np.absolute, [NNC]), "sigmoid": (TA1, TExtras.sigmoid, [NNC]),
    "freq": (TB1, TX.Frequency, [KEY]),
    "product": (TA2, np.multiply, [NNC, NNC]), "sum": (TA2, np.add, [NNC, NNC]),
    "diff": (TA2, np.subtract, [NNC, NNC]), "min": (TA2, np.fmin, [NNC, NNC]),
    "max": (TA2, np.fmax, [NNC, NNC]), "divide": (TA2, np.true_divide, [NNC, NNC]),
    "onehot": (TB1, OneHotEncoder, [("int", [FC.is_categorical, FC.is_positive])]),
    "stdscaler": (TB1, StandardScaler, [NNC]), "minmaxscaler": (TB1, MinMaxScaler, [NNC]),
    "dtextr": (TA1, TExtras.date_extract, [EPOCH]), "pair": (TGen, TExtras.hash_pair, [KEY, KEY]),
    "pca": (TAM, PCA, []), "ica": (TAM, FastICA, []), "nystroem": (TAM, Nystroem, []),
    "featureagglomeration": (TAM, FeatureAgglomeration, []),
    "groupbymean": (TGen, TX.GroupByMean, [KEY, NNC]), "groupbystd": (TGen, TX.GroupByStd, [KEY, NNC]),
    "groupbymin": (TGen, TX.GroupByMin, [KEY, NNC]), "groupbymax": (TGen, TX.GroupByMax, [KEY, NNC]),
    "groupbymedian": (TGen, TX.GroupByMedian, [KEY, NNC]), "nxor": (TGen, TX.NXOR, [NNC, NNC]),
    "binning": (TGen, KBinsDiscretizer, [NNC]),
    "clusterdbscan": (TAM, TX.ClusterDBSCAN, []), "isoforestanomaly": (TAM, TX.IsolationForestAnomaly, []),
    "speed": (TGen, TExtras.speed, [("numeric", [FC.is_distance]), EPOCH, EPOCH]),
    "distance": (TGen, TExtras.distance, [LAT, LON, LAT, LON]),
    "m_distance": (TGen, TExtras.m_distance, [LAT, LON, LAT, LON]),
}
BUILT_AS_OBJECTS = {"nystroem", "binning"}


def wrapped_of(t):
    return t.tans_class if isinstance(t, (TB1, TAM)) else t.fun


def args_of(t):
    if isinstance(t, (TA1, TB1)):
        return [(t.datatypes, t.feat_constraints)]
    if isinstance(t, TA2):
        return [(t.datatypes1, t.feat_constraints1), (t.datatypes2, t.feat_constraints2)]
    if isinstance(t, TGen):
        return list(zip(t.datatypes_list, t.feat_constraints_list))
    return []


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_entry_class_wrapped_object_datatypes_and_constraints(name):
    cls, wrapped, args = CATALOGUE[name]
    t = TransformBase.GetTransformObj(name)
    assert type(t) is cls and t.name == name and t.tgraph is None and t.apply_all is True
    if name in BUILT_AS_OBJECTS:
        assert type(wrapped_of(t)) is wrapped
        assert wrapped_of(t) is not wrapped_of(TransformBase.GetTransformObj(name))
    else:
        assert wrapped_of(t) is wrapped
    assert args_of(t) == [([dt], fcs) for dt, fcs in args]
    if isinstance(t, TGen):
        assert t.arg_count == len(args)
    again = args_of(TransformBase.GetTransformObj(name))
    for (dts, fcs), (dts2, fcs2) in zip(args_of(t), again):
        assert dts is not dts2 and fcs is not fcs2
    if isinstance(t, TA2):
        assert t.datatypes1 is not t.datatypes2 and t.feat_constraints1 is not t.feat_constraints2


def test_catalogue_entries_describe_what_get_transform_obj_builds():
    entries = catalogue.entries()
    assert [e["name"] for e in entries] == catalogue.names() == list(CATALOGUE)
    for e in entries:
        cls, wrapped, args = CATALOGUE[e["name"]]
        assert e["class"] == cls.__name__ and e["arguments"] == (len(args) or "all")
        assert e["datatypes"] == [[dt] for dt, _ in args]
        assert e["constraints"] == [[fc.__name__ for fc in fcs] for _, fcs in args]
        scope, _, member = e["wraps"].partition(".")
        module = {"np": np, "TExtras": TExtras, "transform_extras": TX}.get(scope)
        assert (getattr(module, member) if module else e["wraps"].split("(")[0]) in (wrapped, wrapped.__name__)
    assert catalogue.entries() is not entries and catalogue.entries()[0] is not entries[0]


def test_parameterised_estimators_and_graph_passed_through():
    graph = RecordingGraph()
    t = TransformBase.GetTransformObj("binning", graph, False)
    assert type(t) is TGen and t.arg_count == 1 and t.tgraph is graph and t.apply_all is False
    assert (t.fun.n_bins, t.fun.encode, t.fun.strategy) == (10, "ordinal", "uniform")
    assert TransformBase.GetTransformObj("nystroem", apply_all=None).tans_class.n_components == 10


@pytest.mark.parametrize("name", ["SQRT", " sqrt", "sqrt ", "nope", "", None, 3])
def test_unknown_names_give_none(name):
    assert TransformBase.GetTransformObj(name) is None


def test_transform_extras_imported_on_every_call(monkeypatch):
    monkeypatch.setitem(sys.modules, "karrow_libs.vantor.transforms.transform_extras", types.ModuleType("empty"))
    with pytest.raises(ImportError, match="cannot import name 'Frequency'"):
        TransformBase.GetTransformObj("sqrt")


def test_name_lists():
    assert TransformBase.GetAllTransformNames() == [
        "sqrt", "log", "round", "square", "cbrt", "sin", "cos", "tan", "abs", "sigmoid", "freq", "product", "max",
        "diff", "sum", "divide", "stdscaler", "minmaxscaler", "pca", "groupbymean", "groupbystd", "groupbymin",
        "groupbymax", "groupbymedian", "nxor", "cube", "nystroem", "featureagglomeration", "binning",
        "clusterdbscan", "isoforestanomaly"]
    assert TransformBase.GetAllUnaryTransformNames() == [
        "sqrt", "log", "round", "square", "cbrt", "tanh", "sin", "cos", "tan", "abs", "sigmoid", "freq", "dtextr"]
    assert TransformBase.GetAllBinaryTransformNames() == [
        "product", "min", "max", "diff", "sum", "divide", "groupbystd", "groupbymean", "groupbymin", "groupbymax",
        "groupbymedian"]
    assert TransformBase.GetAllTransformNames() is not TransformBase.GetAllTransformNames()


def test_validated_transform_names():
    out = TransformBase.ValidatedTransformNames(["sqrt", "tanh", "foo", "sqrt", "bar", "log"])
    assert type(out) is list and sorted(out) == ["log", "sqrt"]
    with pytest.raises(TypeError):
        TransformBase.ValidatedTransformNames([["sqrt"]])


# ---------------------------------------------------------------- TNoOp and DropTransform

def test_tnoop():
    t = TNoOp(np.sqrt, "noop", ["numeric"], None)
    df = pd.DataFrame({"a": [1]})
    assert t.transform(df) is df
    first = t.fit(None, None).colids_
    assert first == [] and t.fit(None, None).colids_ is not first


def test_drop_transform():
    df = pd.DataFrame({"a": [1, 2], "b": [3, 4], "d": [5, 6]})
    out = DropTransform("b").fit(None, None).transform(df)
    assert list(out.columns) == ["a", "d"] and out["d"].tolist() == [5, 6] and list(df.columns) == ["a", "b", "d"]
    with pytest.raises(ValueError):
        DropTransform("a,b").transform(df[["a", "b"]])
    assert DropTransform(1).transform(np.arange(6).reshape(2, 3)).values.tolist() == [[0, 2], [3, 5]]


def test_tnoop_and_drop_in_a_pipeline():
    X = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [0.0, 1.0, 0.0]})
    pipe = Pipeline([("noop", TNoOp(None, "noop", None, None)), ("drop", DropTransform("b")),
                     ("lr", LinearRegression())]).fit(X, [2.0, 4.0, 6.0])
    assert np.allclose(pipe.predict(X), [2.0, 4.0, 6.0])
    assert np.allclose(pickle.loads(pickle.dumps(pipe)).predict(X), [2.0, 4.0, 6.0])


# ---------------------------------------------------------------- every named transform on real data

@pytest.fixture(scope="module")
def real_table():
    """The diabetes table (first 150 rows) plus int codes, keys, epochs, a distance and coordinates."""
    data = load_diabetes()
    n = 150
    rng = np.random.default_rng(7)
    extra = {
        "grade": rng.integers(1, 5, n),                       # categorical, positive: onehot
        "store": rng.integers(0, 30, n),                      # repeated int keys: freq, groupby, pair
        "t_start": 1_600_000_000 + rng.permutation(n) * 977,  # epochs: dtextr, speed
        "t_end": 1_600_500_000 + rng.permutation(n) * 613,
        "trip_km": rng.uniform(0.5, 40.0, n),                 # positive distance: sqrt, log, speed
        "lat1": rng.uniform(40.0, 41.0, n), "lon1": rng.uniform(-74.5, -73.5, n),
        "lat2": rng.uniform(40.0, 41.0, n), "lon2": rng.uniform(-74.5, -73.5, n),
    }
    X = np.column_stack([data.data[:n]] + [np.asarray(v, dtype=float) for v in extra.values()])
    names = list(data.feature_names) + list(extra)
    dtypes = ["float64"] * 10 + ["int64"] * 4 + ["float64"] * 5
    return X, data.target[:n], names, dtypes


def chosen(t):
    for attr in ("colids_", "colid_pairs_", "candidates_", "cands"):
        if hasattr(t, attr):
            return getattr(t, attr)


# FastICA may not converge on these unscaled columns, and exp, divide or tan overflow on some values
# (the transforms then write 0): those warnings are scikit-learn's and numpy's to give.
def quiet(test):
    test = pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")(test)
    return pytest.mark.filterwarnings("ignore::RuntimeWarning")(test)


@pytest.mark.parametrize("name", list(CATALOGUE))
@quiet
def test_every_named_transform_on_real_data_and_in_a_pipeline(real_table, name):
    X, y, names, dtypes = real_table
    t = TransformBase.GetTransformObj(name)
    out = t.fit(X, y, names, dtypes).transform(X)
    assert len(chosen(t)) > 0
    k = out.shape[1] - X.shape[1]
    assert k > 0 and out.shape[0] == X.shape[0] and np.array_equal(out[:, :X.shape[1]], X)
    assert np.isfinite(out).all()
    assert len(t.new_column_names_) == len(set(t.new_column_names_)) == len(t.new_column_dtypes_) == k
    assert not set(t.new_column_names_) & set(names)
    for new_name, obj in zip(t.new_column_names_, t.new_column_as_json_objects_):
        if isinstance(t, TAM):
            assert obj == {"name": "$" + new_name}
        else:
            assert obj["expression"]["op"].startswith(name) and new_name.startswith(name)
    # A capped graph keeps the 4-argument distances (thousands of coordinate tuples) quick here.
    graph = TransformGraph(max_feature_generate_one_node=40)
    t = TransformBase.GetTransformObj(name, graph).set_params(col_names=names, col_dtypes=dtypes)
    pipe = Pipeline([("fe", t), ("lr", LinearRegression())]).fit(X, y)  # pickling: test_reliability
    assert pipe.predict(X).shape == y.shape
    assert clone(t).fit(X, y).transform(X).shape[0] == X.shape[0]
