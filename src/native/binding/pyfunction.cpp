#include "binding/pyfunction.hpp"

#include <new>
#include <stdexcept>
#include <vector>

namespace karrow::binding {

namespace {

struct FunctionData {
    std::vector<py::object> names;     // interned parameter names
    std::vector<py::object> defaults;  // for the trailing parameters
    std::size_t n_required = 0;
    py::object qualname;
    Body body;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    FunctionData* data;
};

// The remaining slots are filled in at module init; the header macro only sets
// the first ones, which is the documented way to start a static type object.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// --- argument binding, mirroring CPython's own checks and messages -------------

PyObject* quoted_list(const std::vector<PyObject*>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'" + std::string(PyUnicode_AsUTF8(names[i])) + "'";
    }
    return PyUnicode_FromString(out.c_str());
}

bool bind_arguments(const FunctionData& d, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::vector<py::object>& bound) {
    const auto n_params = static_cast<Py_ssize_t>(d.names.size());
    PyObject* qual = d.qualname.ptr();
    bound.assign(d.names.size(), py::object());
    for (Py_ssize_t i = 0; i < std::min(nargs, n_params); ++i) {
        bound[static_cast<std::size_t>(i)] = py::reinterpret_borrow<py::object>(args[i]);
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            Py_ssize_t slot = -1;
            for (Py_ssize_t j = 0; j < n_params; ++j) {
                if (d.names[static_cast<std::size_t>(j)].ptr() == key) {
                    slot = j;
                    break;
                }
            }
            if (slot < 0) {
                for (Py_ssize_t j = 0; j < n_params; ++j) {
                    const int eq = PyObject_RichCompareBool(d.names[static_cast<std::size_t>(j)].ptr(), key, Py_EQ);
                    if (eq < 0) return false;
                    if (eq == 1) {
                        slot = j;
                        break;
                    }
                }
            }
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qual, key);
                return false;
            }
            auto& target = bound[static_cast<std::size_t>(slot)];
            if (target) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qual, key);
                return false;
            }
            target = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (nargs > n_params) {
        const auto n_defaults = static_cast<Py_ssize_t>(d.defaults.size());
        PyObject* sig = n_defaults
            ? PyUnicode_FromFormat("from %zd to %zd", n_params - n_defaults, n_params)
            : PyUnicode_FromFormat("%zd", n_params);
        if (sig == nullptr) return false;
        const bool plural = n_defaults ? true : (n_params != 1);
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", qual, sig,
                     plural ? "s" : "", nargs, nargs == 1 ? "was" : "were");
        Py_DECREF(sig);
        return false;
    }
    std::vector<PyObject*> missing;
    for (std::size_t i = 0; i < d.n_required; ++i) {
        if (!bound[i]) missing.push_back(d.names[i].ptr());
    }
    if (!missing.empty()) {
        PyObject* listed = quoted_list(missing);
        if (listed == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", qual,
                     static_cast<int>(missing.size()), missing.size() == 1 ? "" : "s", listed);
        Py_DECREF(listed);
        return false;
    }
    for (std::size_t i = d.n_required; i < d.names.size(); ++i) {
        if (!bound[i]) bound[i] = d.defaults[i - d.n_required];
    }
    return true;
}

// The one place where C++ exceptions become Python exceptions, through
// pybind11's own translation: registered translators first, then the standard
// mapping (std::out_of_range to IndexError, std::invalid_argument and
// std::domain_error to ValueError, std::overflow_error to OverflowError,
// std::bad_alloc to MemoryError, other std::exception to RuntimeError).
// Called inside a catch block.
void set_python_error() {
#if PYBIND11_VERSION_HEX >= 0x030000F0
    py::detail::try_translate_exceptions();
#else
    py::detail::translate_exception(std::current_exception());
#endif
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fo = reinterpret_cast<FunctionObject*>(self);
    if (Py_EnterRecursiveCall(" while calling a karrow_libs function")) return nullptr;
    PyObject* result = nullptr;
    try {
        std::vector<py::object> bound;
        if (bind_arguments(*fo->data, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
            py::object r = fo->data->body(bound.data());
            result = r ? r.release().ptr() : py::none().release().ptr();
        }
    } catch (...) {
        set_python_error();
        result = nullptr;
    }
    Py_LeaveRecursiveCall();
    return result;
}

// --- type slots ----------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* fo = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete fo->data;
    fo->data = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->data->qualname.ptr(),
                                self);
}

// Functions pickle by reference: the module and the qualified name.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    PyObject* q = reinterpret_cast<FunctionObject*>(self)->data->qualname.ptr();
    Py_INCREF(q);
    return q;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// "self, X, n_jobs=1" -> names and default texts
struct ParsedParam {
    std::string name;
    std::string default_text;
    bool has_default = false;
};

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\n");
    if (b == std::string::npos) return "";
    const auto e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

std::vector<ParsedParam> parse_params(const std::string& text) {
    std::vector<ParsedParam> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string piece = trim(text.substr(start, comma - start));
        start = comma + 1;
        if (piece.empty()) {
            if (comma == text.size()) break;
            throw std::logic_error("empty parameter in \"" + text + "\"");
        }
        ParsedParam p;
        const auto eq = piece.find('=');
        if (eq == std::string::npos) {
            p.name = piece;
        } else {
            p.name = trim(piece.substr(0, eq));
            p.default_text = trim(piece.substr(eq + 1));
            p.has_default = true;
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "karrow_libs.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_doc = "A module function implemented in C++ that behaves like a Python function.";
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    if (PyType_Ready(&FunctionType) < 0) throw py::error_already_set();
}

py::object make_function(const FunctionInfo& info, Body body, std::size_t arity) {
    const auto params = parse_params(info.params);
    if (params.size() != arity) {
        throw std::logic_error(info.qualname + ": parameter list \"" + info.params + "\" names " +
                               std::to_string(params.size()) + " parameters but the C++ body takes " +
                               std::to_string(arity));
    }
    auto inspect = py::module_::import("inspect");
    auto literal_eval = py::module_::import("ast").attr("literal_eval");
    py::object Parameter = inspect.attr("Parameter");
    py::object positional_or_keyword = Parameter.attr("POSITIONAL_OR_KEYWORD");

    auto data = std::make_unique<FunctionData>();
    py::list parameters;
    bool seen_default = false;
    for (const auto& p : params) {
        py::str name(p.name);
        PyObject* raw = name.release().ptr();
        PyUnicode_InternInPlace(&raw);
        py::object interned = py::reinterpret_steal<py::object>(raw);
        data->names.push_back(interned);
        if (p.has_default) {
            seen_default = true;
            py::object value = literal_eval(py::str(p.default_text));
            data->defaults.push_back(value);
            parameters.append(Parameter(interned, positional_or_keyword, py::arg("default") = value));
        } else {
            if (seen_default) throw std::logic_error(info.qualname + ": non-default parameter after default");
            ++data->n_required;
            parameters.append(Parameter(interned, positional_or_keyword));
        }
    }
    data->qualname = py::str(info.qualname);
    data->body = std::move(body);

    init_function_type();
    auto* fo = PyObject_GC_New(FunctionObject, &FunctionType);
    if (fo == nullptr) throw py::error_already_set();
    fo->vectorcall = function_vectorcall;
    fo->dict = nullptr;
    fo->data = data.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(fo));
    py::object func = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(fo));

    py::dict attrs;
    attrs["__name__"] = py::str(info.name);
    attrs["__qualname__"] = py::str(info.qualname);
    attrs["__module__"] = py::str(info.module);
    attrs["__doc__"] = info.doc.empty() ? py::object(py::none()) : py::object(py::str(info.doc));
    attrs["__signature__"] = inspect.attr("Signature")(parameters);
    if (info.is_abstract) attrs["__isabstractmethod__"] = py::bool_(true);
    fo->dict = attrs.release().ptr();
    return func;
}

}  // namespace karrow::binding
