"""The installed stub transform_utils.pyi declares exactly the module's own names (not the names it
imports), with the same bases, methods, parameters, defaults and static/abstract marks, and documents
every method; private stub helpers (starting with "_") are ignored."""

import ast
import inspect
import pathlib
import pickle

import pytest

import karrow_libs

tu_module = pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

STUB_PATH = pathlib.Path(tu_module.__file__).with_name("transform_utils.pyi")


STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH))
STUB_CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
STUB_FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")}


def _own(obj):
    return getattr(obj, "__module__", None) == tu_module.__name__


MODULE_CLASSES = {n: v for n, v in vars(tu_module).items() if isinstance(v, type) and _own(v)}
MODULE_FUNCTIONS = {n: v for n, v in vars(tu_module).items()
                    if callable(v) and not isinstance(v, type) and _own(v) and not n.startswith("_")}


def _module_methods(cls):
    """name -> (function, is_static) for the methods the class itself defines."""
    out = {}
    for name, value in vars(cls).items():
        if name.startswith("__") and name != "__init__":
            continue
        if isinstance(value, staticmethod):
            out[name] = (value.__func__, True)
        elif callable(value):
            out[name] = (value, False)
    return out


def _decorators(node):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", None) for d in node.decorator_list}


def _stub_params(node):
    """[(name, default or <no default>)] of a stub function, in order; all must be positional-or-keyword."""
    a = node.args
    assert not (a.vararg or a.kwarg or a.kwonlyargs or a.posonlyargs), node.name
    defaults = [inspect.Parameter.empty] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(arg.arg, d) for arg, d in zip(a.args, defaults)]


def _module_params(func):
    params = list(inspect.signature(func).parameters.values())
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params), func
    return [(p.name, p.default) for p in params]


def test_stub_and_py_typed_are_installed_with_the_package():
    assert STUB_PATH.is_file()
    assert (pathlib.Path(karrow_libs.__file__).parent / "py.typed").is_file()


def test_stub_declares_exactly_the_modules_own_names():
    assert set(STUB_CLASSES) == set(MODULE_CLASSES)
    assert set(STUB_FUNCTIONS) == set(MODULE_FUNCTIONS) == {"resolve_basic_datatypes"}
    assert _stub_params(STUB_FUNCTIONS["resolve_basic_datatypes"]) == _module_params(tu_module.resolve_basic_datatypes)
    assert len(MODULE_CLASSES) == 20
    # Imported names are not re-exported (a plain import in a stub is private).
    for imported in ("np", "pd", "FC", "TExtras", "SelectKBest", "VantorTransformer", "ABC"):
        assert imported not in STUB_CLASSES and imported not in STUB_FUNCTIONS


@pytest.mark.parametrize("class_name", sorted(MODULE_CLASSES))
def test_stub_class_has_the_same_bases_methods_and_signatures(class_name):
    cls, node = MODULE_CLASSES[class_name], STUB_CLASSES[class_name]
    assert [b.id for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object]
    stub_methods = {}  # name -> every definition (several for an overloaded method)
    for n in node.body:
        if isinstance(n, ast.FunctionDef):
            stub_methods.setdefault(n.name, []).append(n)
    module_methods = _module_methods(cls)
    # Definition order, and nothing else (no class data; the metaclass and scikit-learn's subclass hook
    # add their own bookkeeping).
    own = [k for k in vars(cls) if not (k.startswith("__") and k != "__init__")
           and k not in ("_sklearn_auto_wrap_output_keys", "_abc_impl")]
    assert own == list(stub_methods)
    for name in module_methods:
        bound = getattr(cls, name)
        assert bound.__qualname__ == class_name + "." + name and bound.__module__ == tu_module.__name__
        assert pickle.loads(pickle.dumps(bound)) is bound
    for name, (func, is_static) in module_methods.items():
        defs = stub_methods[name]
        assert len(defs) == 1 or all("overload" in _decorators(d) for d in defs), name
        for d in defs:
            marks = _decorators(d)
            assert ("staticmethod" in marks) == is_static, name
            assert ("abstractmethod" in marks) == bool(getattr(func, "__isabstractmethod__", False)), name
            assert _stub_params(d) == _module_params(func), name
            assert name == "__init__" or ast.get_docstring(d) is not None, name


def _literal_names(alias):
    node = next(n for n in STUB.body if isinstance(n, ast.AnnAssign) and getattr(n.target, "id", None) == alias)
    elts = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) else [node.value.slice]
    return [ast.literal_eval(e) for e in elts]


def test_get_transform_obj_overloads_follow_the_catalogue():
    from karrow_libs.vantor.transforms import catalogue

    by_class = {}
    for e in catalogue.entries():
        by_class.setdefault(e["class"], []).append(e["name"])
    overloads = [n for n in STUB_CLASSES["TransformBase"].body
                 if isinstance(n, ast.FunctionDef) and n.name == "GetTransformObj"]
    returns = [ast.unparse(n.returns) for n in overloads]
    assert set(returns[:-1]) == set(by_class) and returns[-1] == "_Transform | None"
    for n in overloads[:-1]:
        cls = ast.unparse(n.returns)
        assert ast.unparse(n.args.args[0].annotation) == "_" + cls + "Names"
        assert _literal_names("_" + cls + "Names") == by_class[cls]
    assert ast.unparse(overloads[-1].args.args[0].annotation) == "str"


README_CHAIN = """
import numpy as np
from karrow_libs.vantor.transforms.transform_utils import FS1, TA2, TransformBase

X = np.random.default_rng(0).random((10, 3)) + 0.1
Xn = TA2(np.multiply, "product", ["numeric"], None, ["numeric"], None).fit(X, None, ["a", "b", "c"]).transform(X)
first = Xn[:, 3]
alone = TA2(np.multiply, "product", None, None, None, None).fit(X, None).transform(X, 1, True)
t = TransformBase.GetTransformObj("product")
keep = FS1([0, 1, 2], 2, "regression").fit(t.fit(X, None).transform(X), Xn[:, 0]).cols_to_keep_final_
name = str(len(X))
reveal_type(Xn)
reveal_type(alone)
reveal_type(t)
reveal_type(TransformBase.GetTransformObj("pca"))
reveal_type(TransformBase.GetTransformObj(name))
"""


def test_readme_chain_type_checks_under_mypy(tmp_path):
    """The README's chain has precise types: no error, ndarray out of fit().transform(), a class per name."""
    api = pytest.importorskip("mypy.api")
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
    block = readme.split("## Using the library", 1)[1].split("```python", 1)[1].split("```", 1)[0]
    (tmp_path / "readme_example.py").write_text(block)
    (tmp_path / "chain.py").write_text(README_CHAIN)
    out, err, code = api.run(["--ignore-missing-imports", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                              str(tmp_path / "readme_example.py"), str(tmp_path / "chain.py")])
    assert "error" not in out, out
    revealed = [line.split("Revealed type is ", 1)[1] for line in out.splitlines() if "Revealed type" in line]
    assert revealed[0].startswith('"numpy.ndarray') and "list" not in revealed[0]
    assert "list[Any]" in revealed[1]
    assert revealed[2].endswith('transform_utils.TA2"')
    assert revealed[3].endswith('transform_utils.TAM"')
    assert all(c in revealed[4] for c in ("TA1", "TA2", "TB1", "TGen", "TAM", "None"))


@pytest.mark.parametrize("class_name", ["TA1", "TA2", "TGen", "TB1", "TAM"])
def test_help_on_a_method_shows_its_name_arguments_and_a_description(class_name):
    import pydoc

    for method in ("fit", "transform"):
        text = pydoc.render_doc(getattr(MODULE_CLASSES[class_name], method), renderer=pydoc.plaintext)
        signature = method + str(inspect.signature(getattr(MODULE_CLASSES[class_name], method)))
        assert signature in text
        described = text.split(signature, 1)[1].strip()
        assert len(described.split()) >= 4, (class_name, method, text)
    if class_name != "TAM":
        # The constructors that choose columns say what their datatype and constraint arguments accept.
        text = pydoc.render_doc(MODULE_CLASSES[class_name].__init__, renderer=pydoc.plaintext)
        assert all(word in text for word in ('"numeric"', '"int64"', "is_lt80pc_unique_int", "is_epoch")), text
