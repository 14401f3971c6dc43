"""The type stubs of transform_utils agree with the compiled module.

The stub is the installed ``transform_utils.pyi`` beside the extension.  Its
public top-level names must be exactly the names the module defines itself
(the function and the twenty classes; names the module binds by import, such
as ``np`` or ``FC``, are not part of it), and every class must list exactly
the methods the compiled class defines, with the same parameters, kinds,
defaults, static and abstract marks, and bases.  Private helpers of the stub
(type aliases and protocols starting with ``_``) are ignored.
"""

import ast
import inspect
import pathlib

import pytest

import karrow_libs

tu_module = pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

STUB_PATH = pathlib.Path(tu_module.__file__).with_name("transform_utils.pyi")


def _stub_tree():
    return ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH))


STUB = _stub_tree()
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
    assert len(MODULE_CLASSES) == 20
    # Imported names are not re-exported (a plain import in a stub is private).
    for imported in ("np", "pd", "FC", "TExtras", "SelectKBest", "VantorTransformer", "ABC"):
        assert imported not in STUB_CLASSES and imported not in STUB_FUNCTIONS


def test_stub_function_parameters_match():
    assert _stub_params(STUB_FUNCTIONS["resolve_basic_datatypes"]) == _module_params(tu_module.resolve_basic_datatypes)


@pytest.mark.parametrize("class_name", sorted(MODULE_CLASSES))
def test_stub_class_has_the_same_bases_and_methods(class_name):
    cls = MODULE_CLASSES[class_name]
    node = STUB_CLASSES[class_name]
    stub_bases = [b.id for b in node.bases]
    module_bases = [b.__name__ for b in cls.__bases__ if b is not object]
    assert stub_bases == module_bases
    stub_methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    assert set(stub_methods) == set(_module_methods(cls))


CASES = [(c, m) for c in sorted(MODULE_CLASSES) for m in sorted(_module_methods(MODULE_CLASSES[c]))]


@pytest.mark.parametrize("class_name,method", CASES, ids=[c + "." + m for c, m in CASES])
def test_stub_method_signature_matches(class_name, method):
    func, is_static = _module_methods(MODULE_CLASSES[class_name])[method]
    node = next(n for n in STUB_CLASSES[class_name].body if isinstance(n, ast.FunctionDef) and n.name == method)
    marks = _decorators(node)
    assert ("staticmethod" in marks) == is_static
    assert ("abstractmethod" in marks) == bool(getattr(func, "__isabstractmethod__", False))
    assert _stub_params(node) == _module_params(func)


def test_every_stub_method_has_a_docstring_or_is_a_constructor():
    missing = [c + "." + n.name for c, cls in STUB_CLASSES.items() for n in cls.body
               if isinstance(n, ast.FunctionDef) and n.name != "__init__" and ast.get_docstring(n) is None]
    assert missing == []
