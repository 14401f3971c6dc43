"""The installed stub transform_utils.pyi declares exactly the module's own names (not the names it
imports), with the same bases, methods, parameters, defaults and static/abstract marks, and documents
every method; private stub helpers (starting with "_") are ignored."""

import ast
import inspect
import pathlib

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
    stub_methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    module_methods = _module_methods(cls)
    assert set(stub_methods) == set(module_methods)
    for name, (func, is_static) in module_methods.items():
        marks = _decorators(stub_methods[name])
        assert ("staticmethod" in marks) == is_static, name
        assert ("abstractmethod" in marks) == bool(getattr(func, "__isabstractmethod__", False)), name
        assert _stub_params(stub_methods[name]) == _module_params(func), name
        assert name == "__init__" or ast.get_docstring(stub_methods[name]) is not None, name
