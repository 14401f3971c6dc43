"""The module's import-time surface: names, classes, signatures, constructors."""
import re

import numpy as np
import pytest

import karrow_libs.vantor.transforms.transform_utils as tu

IMPORTED = ["pd", "np", "uuid", "scipy", "SelectKBest", "f_classif", "f_regression", "operator",
            "OneHotEncoder", "StandardScaler", "MinMaxScaler", "PCA", "FastICA", "Nystroem",
            "FeatureAgglomeration", "inspect", "random", "multiprocessing", "copy", "VantorTransformer",
            "FC", "KBinsDiscretizer", "TExtras", "DataUtils", "ABC", "abstractmethod"]
CLASSES = ["AbstractCandidatesSpaceDescriptor", "SingletonCandidateSpaceDescriptor",
           "CandidatesSpaceDescriptor", "DatasetS", "MakeDFReady", "FS1", "FS2", "FS3", "Tproxy",
           "DataUtils", "TNoOp", "TA1", "TA2", "TGen", "TB1", "TB2", "TAM", "DropTransform",
           "TransformBase", "PreprocessDF"]

BASES = {"AbstractCandidatesSpaceDescriptor": "ABC", "SingletonCandidateSpaceDescriptor": "AbstractCandidatesSpaceDescriptor",
         "CandidatesSpaceDescriptor": "AbstractCandidatesSpaceDescriptor", "DatasetS": None, "MakeDFReady": None,
         "DataUtils": None, "TransformBase": None}


def test_module_binds_imports_function_and_classes_in_order():
    names = [k for k in vars(tu) if not k.startswith("__")]
    assert names == IMPORTED + ["resolve_basic_datatypes"] + [c for c in CLASSES if c != "DataUtils"]
    assert tu.__file__.endswith(".so") and tu.__name__ == "karrow_libs.vantor.transforms.transform_utils"
    from karrow_libs.utils.data_utils import DataUtils as HostDataUtils
    assert tu.DataUtils is not HostDataUtils and hasattr(tu.DataUtils, "NumericDataTypes")


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_bases_module_and_methods(cls_name):
    cls = getattr(tu, cls_name)
    base = BASES.get(cls_name, "VantorTransformer")
    assert cls.__bases__ == ((object,) if base is None else (getattr(tu, base),))
    assert cls.__module__ == tu.__name__ and cls.__qualname__ == cls_name
    # Methods, their order, signatures and kinds are checked against the type stub (tests/module/test_stubs.py).


@pytest.mark.parametrize("call, message", [
    (lambda t: t.fit(), "TA1.fit() missing 2 required positional arguments: 'X' and 'y'"),
    (lambda t: t.fit(1), "TA1.fit() missing 1 required positional argument: 'y'"),
    (lambda t: t.fit(1, 2, 3, 4, 5, 6), "TA1.fit() takes from 3 to 6 positional arguments but 7 were given"),
    (lambda t: t.fit(1, 2, colnames=3), "TA1.fit() got an unexpected keyword argument 'colnames'"),
    (lambda t: t.fit(1, 2, X=3), "TA1.fit() got multiple values for argument 'X'"),
    (lambda t: tu.TransformBase.GetAllTransformNames(1), "TransformBase.GetAllTransformNames() takes 0 positional arguments but 1 was given"),
    (lambda t: tu.DatasetS(csvfname="a.csv"), "DatasetS.__init__() got an unexpected keyword argument 'csvfname'"),
    (lambda t: tu.TGen(), "TGen.__init__() missing 5 required positional arguments: 'fun', 'name', 'arg_count', 'datatypes_list', and 'feat_constraints_list'"),
])
def test_wrong_calls_raise_pythons_type_errors(call, message):
    t = tu.TA1(np.sqrt)
    with pytest.raises(TypeError) as err:
        call(t)
    assert str(err.value) == message


def test_abstract_descriptor_cannot_be_instantiated():
    with pytest.raises(TypeError):
        tu.AbstractCandidatesSpaceDescriptor()


UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"


def build_all():
    fcs = [lambda c: True]
    return {
        "TA1": (tu.TA1(np.sqrt), r"TA1-sqrt_", ["fun", "tgraph", "apply_all", "col_names", "col_dtypes",
                                                 "col_as_json_objects", "name", "datatypes", "feat_constraints"]),
        "TA2": (tu.TA2(np.add, None, ["numeric"], None, ["numeric"], fcs), r"TA2-None_",
                ["col_names", "col_dtypes", "col_as_json_objects", "apply_all", "fun", "tgraph", "name",
                 "datatypes1", "datatypes2", "feat_constraints1", "feat_constraints2"]),
        "TGen": (tu.TGen(np.add, None, 2, [["int"], ["int"]], [[], []]), r"Tgen-None_",
                 ["col_names", "col_dtypes", "col_as_json_objects", "tgraph", "apply_all", "transform_type", "fun",
                  "name", "arg_count", "datatypes_list", "feat_constraints_list"]),
        "TB1": (tu.TB1(tu.MinMaxScaler, None, ["numeric"], None), r"TB1-None_",
                ["col_names", "col_dtypes", "col_as_json_objects", "tans_class", "tgraph", "apply_all", "name",
                 "datatypes", "feat_constraints"]),
        "TB2": (tu.TB2(tu.MinMaxScaler, "mm", ["numeric"], None, ["numeric"], None), r"TB2-mm_",
                ["apply_all", "tgraph", "tans_class", "name", "datatypes1", "datatypes2", "feat_constraints1",
                 "feat_constraints2"]),
        "TAM": (tu.TAM(tu.PCA(), None), r"TAM-None_",
                ["col_names", "col_dtypes", "col_as_json_objects", "apply_all", "tgraph", "tans_class", "name"]),
        "TNoOp": (tu.TNoOp(np.sqrt, "noop", ["numeric"], None), r"TNoOp-noop_",
                  ["tgraph", "fun", "name", "datatypes", "feat_constraints"]),
    }


@pytest.mark.parametrize("cls_name", ["TA1", "TA2", "TGen", "TB1", "TB2", "TAM", "TNoOp"])
def test_transform_constructors_store_arguments_in_order_and_name_themselves(cls_name):
    obj, prefix, order = build_all()[cls_name]
    assert list(vars(obj)) == order + ["uid", "long_name"]
    assert re.fullmatch(prefix + UUID, obj.uid) and obj.long_name == obj.uid
    again, _, _ = build_all()[cls_name]
    assert again.uid != obj.uid


def test_constructor_defaults():
    t = tu.TA1(np.sqrt)
    assert (t.name, t.apply_all, t.feat_constraints, t.tgraph) == ("sqrt", True, [], None)
    assert tu.TA2(np.add, None, [], None, [], None).name == tu.TGen(np.add, None, 1, [[]], [[]]).name == "add"
    assert tu.TGen(np.add, None, 1, [[]], [[]]).transform_type == "A"
    assert tu.TGen(tu.KBinsDiscretizer(), "b", 1, [[]], [[]]).transform_type == "B"
    assert tu.TB1(tu.MinMaxScaler, None, [], None).name == "type"  # the class of a class
    assert tu.TAM(tu.PCA(), None).name == "PCA"
    noop = tu.TNoOp(np.sqrt, "noop", ["numeric"], None)
    assert noop.fun is None and noop.feat_constraints == []
    a, b = tu.TB1(tu.MinMaxScaler, "m", [], None), tu.TB1(tu.MinMaxScaler, "m", [], None)
    assert a.feat_constraints is not b.feat_constraints


def test_selector_and_preparation_names():
    fs1 = tu.FS1([0], 2, "classification")
    assert re.fullmatch("FS1-" + UUID, fs1.uid) and fs1.long_name == fs1.uid and fs1.name == "FS1"
    assert list(vars(fs1)) == ["long_name", "uid", "name", "additional_col_count_to_keep", "cols_ids_must_keep", "ptype"]
    fs2 = tu.FS2([0], 2, "classification", None)
    assert fs2.name == "FS2" and list(vars(fs2))[-1] == "eval_algo"
    ready = tu.MakeDFReady()
    assert re.fullmatch("SkReady-" + UUID, ready.name) and ready.uid == ready.name == ready.long_name
    assert ready.run_ is None
    assert re.fullmatch("T1-preproc_" + UUID, tu.PreprocessDF().uid)
    drop = tu.DropTransform("b")
    assert re.fullmatch("Drop_" + UUID, drop.uid) and not hasattr(drop, "name")
    assert list(vars(tu.FS3([1]))) == ["colids_to_remove"]
    inner = tu.TA1(np.sqrt)
    proxy = tu.Tproxy(inner)
    assert proxy.uid == inner.long_name and proxy.name == "sqrt"


def test_tb2_has_tansform_and_the_hosts_transform():
    assert "tansform" in vars(tu.TB2) and "transform" not in vars(tu.TB2)
    with pytest.raises(NotImplementedError, match="TB2"):
        tu.TB2(tu.MinMaxScaler, "mm", [], None, [], None).transform(np.zeros((2, 2)))


def test_every_class_and_method_documents_itself():
    undocumented = []
    for name in CLASSES:
        cls = getattr(tu, name)
        undocumented += [name] if not cls.__doc__ else []
        for meth in [m for m in vars(cls) if m == "__init__" or not m.startswith("_") or m.startswith("_get")]:
            if callable(getattr(cls, meth)) and not getattr(cls, meth).__doc__:
                undocumented.append(f"{name}.{meth}")
    assert undocumented == []
