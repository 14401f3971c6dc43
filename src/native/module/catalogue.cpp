// TransformBase: the catalogue of transforms by name.
#include <string>
#include <vector>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

enum class Kind { TA1, TA2, TB1, TGen, TAM };

// What one argument position accepts: one datatype family and the FC predicates, by name.
struct Arg {
    const char* datatype;
    std::vector<const char*> constraints;
};

// One catalogue entry. `wrapped` names the function or estimator as the catalogue
// reads it: "np.x", "TExtras.x", "transform_extras.X", a module-level class, or
// one of the two estimator objects built anew on every call.
struct Entry {
    const char* name;
    Kind kind;
    const char* wrapped;
    std::vector<Arg> args;
};

const Arg kNumericNotCategorical{"numeric", {"is_not_categorical"}};
const Arg kFloatNotCategorical{"float", {"is_not_categorical"}};
const Arg kGroupKey{"int", {"is_lt80pc_unique_int"}};
const Arg kLatitude{"float", {"is_latitude"}};
const Arg kLongitude{"float", {"is_longitude"}};
const Arg kEpoch{"int64", {"is_epoch"}};

const char* const kNystroem = "Nystroem(n_components=10)";
const char* const kKBins = "KBinsDiscretizer(n_bins=10, encode='ordinal', strategy='uniform')";

// In the order in which names are tested.
const std::vector<Entry>& catalogue() {
    static const std::vector<Entry> entries{
        {"sqrt", Kind::TA1, "np.sqrt", {{"numeric", {"is_non_negative", "is_not_categorical"}}}},
        {"log", Kind::TA1, "np.log", {{"numeric", {"is_positive", "is_not_categorical"}}}},
        {"exp", Kind::TA1, "np.exp", {kNumericNotCategorical}},
        {"round", Kind::TA1, "np.rint", {kNumericNotCategorical}},
        {"square", Kind::TA1, "np.square", {kNumericNotCategorical}},
        {"cube", Kind::TA1, "TExtras.cube", {kNumericNotCategorical}},
        {"cbrt", Kind::TA1, "np.cbrt", {kNumericNotCategorical}},
        {"tanh", Kind::TA1, "np.tanh", {kFloatNotCategorical}},
        {"sin", Kind::TA1, "np.sin", {kFloatNotCategorical}},
        {"cos", Kind::TA1, "np.cos", {kFloatNotCategorical}},
        {"tan", Kind::TA1, "np.tan", {kFloatNotCategorical}},
        {"abs", Kind::TA1, "np.absolute", {kNumericNotCategorical}},
        {"sigmoid", Kind::TA1, "TExtras.sigmoid", {kNumericNotCategorical}},
        {"freq", Kind::TB1, "transform_extras.Frequency", {kGroupKey}},
        {"product", Kind::TA2, "np.multiply", {kNumericNotCategorical, kNumericNotCategorical}},
        {"sum", Kind::TA2, "np.add", {kNumericNotCategorical, kNumericNotCategorical}},
        {"diff", Kind::TA2, "np.subtract", {kNumericNotCategorical, kNumericNotCategorical}},
        {"min", Kind::TA2, "np.fmin", {kNumericNotCategorical, kNumericNotCategorical}},
        {"max", Kind::TA2, "np.fmax", {kNumericNotCategorical, kNumericNotCategorical}},
        {"divide", Kind::TA2, "np.true_divide", {kNumericNotCategorical, kNumericNotCategorical}},
        {"onehot", Kind::TB1, "OneHotEncoder", {{"int", {"is_categorical", "is_positive"}}}},
        {"stdscaler", Kind::TB1, "StandardScaler", {kNumericNotCategorical}},
        {"minmaxscaler", Kind::TB1, "MinMaxScaler", {kNumericNotCategorical}},
        {"dtextr", Kind::TA1, "TExtras.date_extract", {kEpoch}},
        {"pair", Kind::TGen, "TExtras.hash_pair", {kGroupKey, kGroupKey}},
        {"pca", Kind::TAM, "PCA", {}},
        {"ica", Kind::TAM, "FastICA", {}},
        {"nystroem", Kind::TAM, kNystroem, {}},
        {"featureagglomeration", Kind::TAM, "FeatureAgglomeration", {}},
        {"groupbymean", Kind::TGen, "transform_extras.GroupByMean", {kGroupKey, kNumericNotCategorical}},
        {"groupbystd", Kind::TGen, "transform_extras.GroupByStd", {kGroupKey, kNumericNotCategorical}},
        {"groupbymin", Kind::TGen, "transform_extras.GroupByMin", {kGroupKey, kNumericNotCategorical}},
        {"groupbymax", Kind::TGen, "transform_extras.GroupByMax", {kGroupKey, kNumericNotCategorical}},
        {"groupbymedian", Kind::TGen, "transform_extras.GroupByMedian", {kGroupKey, kNumericNotCategorical}},
        {"nxor", Kind::TGen, "transform_extras.NXOR", {kNumericNotCategorical, kNumericNotCategorical}},
        {"binning", Kind::TGen, kKBins, {kNumericNotCategorical}},
        {"clusterdbscan", Kind::TAM, "transform_extras.ClusterDBSCAN", {}},
        {"isoforestanomaly", Kind::TAM, "transform_extras.IsolationForestAnomaly", {}},
        {"speed", Kind::TGen, "TExtras.speed", {{"numeric", {"is_distance"}}, kEpoch, kEpoch}},
        {"distance", Kind::TGen, "TExtras.distance", {kLatitude, kLongitude, kLatitude, kLongitude}},
        {"m_distance", Kind::TGen, "TExtras.m_distance", {kLatitude, kLongitude, kLatitude, kLongitude}},
    };
    return entries;
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::TA1: return "TA1";
        case Kind::TA2: return "TA2";
        case Kind::TB1: return "TB1";
        case Kind::TGen: return "TGen";
        case Kind::TAM: return "TAM";
    }
    return "";
}

// The table itself as immutable data, for readers that describe the catalogue
// without building transforms: one (name, class, wrapped, datatypes per
// argument, constraint names per argument) tuple per entry, in catalogue order.
py::tuple catalogue_table() {
    const auto& entries = catalogue();
    py::tuple out(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        py::tuple datatypes(e.args.size()), constraints(e.args.size());
        for (std::size_t a = 0; a < e.args.size(); ++a) {
            datatypes[a] = py::make_tuple(py::str(e.args[a].datatype));
            py::tuple names(e.args[a].constraints.size());
            for (std::size_t c = 0; c < e.args[a].constraints.size(); ++c) names[c] = py::str(e.args[a].constraints[c]);
            constraints[a] = names;
        }
        out[i] = py::make_tuple(py::str(e.name), py::str(kind_name(e.kind)), py::str(e.wrapped), datatypes,
                                constraints);
    }
    return out;
}

const char* const kExtrasModule = "karrow_libs.vantor.transforms.transform_extras";

py::list string_list(std::initializer_list<const char*> names) {
    py::list out;
    for (const char* n : names) out.append(py::str(n));
    return out;
}

// `from transform_extras import Frequency, Pair, ...`: every name, or the ImportError
// that statement would raise.
py::dict import_transform_extras() {
    py::module_ extras = py::module_::import(kExtrasModule);
    py::dict names;
    for (const char* n : {"Frequency", "Pair", "GroupByMean", "GroupByStd", "GroupByMedian", "GroupByMax",
                          "GroupByMin", "NXOR", "ClusterDBSCAN", "IsolationForestAnomaly"}) {
        py::object value = py::getattr(extras, n, py::none());
        if (value.is_none() && !py::hasattr(extras, n)) {
            py::object file = py::getattr(extras, "__file__", py::none());
            std::string location = file.is_none() ? "unknown location" : str(file);
            py::object error = py::module_::import("builtins")
                                   .attr("ImportError")("cannot import name '" + std::string(n) + "' from '" +
                                                            kExtrasModule + "' (" + location + ")",
                                                        py::arg("name") = kExtrasModule, py::arg("path") = file);
            PyErr_SetObject(PyExc_ImportError, error.ptr());
            throw py::error_already_set();
        }
        names[n] = value;
    }
    return names;
}

py::object resolve_wrapped(const std::string& wrapped, const py::dict& extras) {
    const py::object& m = H().module;
    if (wrapped == kNystroem) return m.attr("Nystroem")(py::arg("n_components") = 10);
    if (wrapped == kKBins) {
        return m.attr("KBinsDiscretizer")(py::arg("n_bins") = 10, py::arg("encode") = "ordinal",
                                          py::arg("strategy") = "uniform");
    }
    const auto dot = wrapped.find('.');
    if (dot == std::string::npos) return m.attr(wrapped.c_str());
    const std::string scope = wrapped.substr(0, dot);
    const std::string member = wrapped.substr(dot + 1);
    if (scope == "transform_extras") return extras[member.c_str()];
    return m.attr(scope.c_str()).attr(member.c_str());
}

py::list datatypes_of(const Arg& arg) { return string_list({arg.datatype}); }

py::list constraints_of(const Arg& arg) {
    py::object fc = H().module.attr("FC");
    py::list out;
    for (const char* name : arg.constraints) out.append(fc.attr(name));
    return out;
}

py::object build(const Entry& e, const py::dict& extras, py::object tgraph, py::object apply_all) {
    py::object wrapped = resolve_wrapped(e.wrapped, extras);
    py::str name(e.name);
    auto keywords = [&]() { return py::dict(py::arg("tgraph") = tgraph, py::arg("apply_all") = apply_all); };
    const py::object& m = H().module;
    switch (e.kind) {
        case Kind::TA1:
            return m.attr("TA1")(wrapped, name, datatypes_of(e.args[0]), constraints_of(e.args[0]), **keywords());
        case Kind::TB1:
            return m.attr("TB1")(wrapped, name, datatypes_of(e.args[0]), constraints_of(e.args[0]), **keywords());
        case Kind::TA2:
            return m.attr("TA2")(wrapped, name, datatypes_of(e.args[0]), constraints_of(e.args[0]),
                                 datatypes_of(e.args[1]), constraints_of(e.args[1]), **keywords());
        case Kind::TGen: {
            py::list datatypes_list, feat_constraints_list;
            for (const Arg& arg : e.args) {
                datatypes_list.append(datatypes_of(arg));
                feat_constraints_list.append(constraints_of(arg));
            }
            return m.attr("TGen")(wrapped, name, py::int_(e.args.size()), datatypes_list, feat_constraints_list,
                                  **keywords());
        }
        case Kind::TAM:
            return m.attr("TAM")(wrapped, name, **keywords());
    }
    return py::none();
}

py::object TransformBase_GetTransformObj(py::object trName, py::object tgraph, py::object apply_all) {
    py::dict extras = import_transform_extras();
    for (const Entry& e : catalogue()) {
        if (py_eq(trName, py::str(e.name))) return build(e, extras, tgraph, apply_all);
    }
    return py::none();
}

py::object TransformBase_GetAllTransformNames() {
    return string_list({"sqrt", "log", "round", "square", "cbrt", "sin", "cos", "tan", "abs", "sigmoid", "freq",
                        "product", "max", "diff", "sum", "divide", "stdscaler", "minmaxscaler", "pca",
                        "groupbymean", "groupbystd", "groupbymin", "groupbymax", "groupbymedian", "nxor", "cube",
                        "nystroem", "featureagglomeration", "binning", "clusterdbscan", "isoforestanomaly"});
}

py::object TransformBase_GetAllUnaryTransformNames() {
    return string_list(
        {"sqrt", "log", "round", "square", "cbrt", "tanh", "sin", "cos", "tan", "abs", "sigmoid", "freq", "dtextr"});
}

py::object TransformBase_GetAllBinaryTransformNames() {
    return string_list({"product", "min", "max", "diff", "sum", "divide", "groupbystd", "groupbymean", "groupbymin",
                        "groupbymax", "groupbymedian"});
}

py::object TransformBase_ValidatedTransformNames(py::object list_names) {
    py::list n_names{py::set{list_names}};
    py::object listAllTr = H().module.attr("TransformBase").attr("GetAllTransformNames")();
    py::list validated;
    for (auto n : n_names) {
        if (contains(listAllTr, n)) validated.append(n);
    }
    return std::move(validated);
}

}  // namespace

void register_TransformBase(py::module_& m) {
    ClassBuilder(m, "TransformBase", py::tuple(), "The catalogue: builds configured transforms by their short names.")
        .static_method("ValidatedTransformNames", "list_names", &TransformBase_ValidatedTransformNames,
                       "The distinct names of list_names that GetAllTransformNames() holds, in set order.")
        .static_method("GetAllTransformNames", "", &TransformBase_GetAllTransformNames,
                       "The 31 names offered to the search (new list).")
        .static_method("GetAllUnaryTransformNames", "", &TransformBase_GetAllUnaryTransformNames,
                       "The 13 unary transform names (new list).")
        .static_method("GetAllBinaryTransformNames", "", &TransformBase_GetAllBinaryTransformNames,
                       "The 11 binary transform names (new list).")
        .static_method("GetTransformObj", "trName, tgraph=None, apply_all=True", &TransformBase_GetTransformObj,
                       "A new transform object for the catalogue name trName, or None for an unknown name.")
        .finish();
    // Private, read by karrow_libs.vantor.transforms.catalogue; a dunder name keeps it
    // out of the module's public surface.
    m.attr("__catalogue__") = catalogue_table();
}

}  // namespace karrow::module
