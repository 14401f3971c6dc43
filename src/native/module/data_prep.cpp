// Data preparation: DatasetS, MakeDFReady and PreprocessDF.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;
using namespace pybind11::literals;

namespace {

[[noreturn]] void raise_in_handler(PyObject* type, const char* message, const py::error_already_set& handled) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(message);
    exc.attr("__context__") = handled.value();
    PyErr_SetObject(type, exc.ptr());
    throw py::error_already_set();
}

// A text column is the kind a date may hide in. pandas 1.5 and 2 store text
// under the numpy dtype object; pandas 3 stores it under its string dtype
// ("str", or "string" when asked for), whose dtype no longer equals "object".
// Both are tried; numeric, boolean, datetime and categorical columns never are.
bool is_text_column(py::handle dtype) {
    return py_eq(dtype, py::str("object")) || py::isinstance(dtype, H().pd.attr("StringDtype"));
}

py::object DatasetS_init(py::object self, py::object dataframe) {
    self.attr("df") = dataframe;
    return py::none();
}

py::object DatasetS_AddNewColumns(py::object self, py::object fun) {
    py::list names = new_list(self.attr("df").attr("columns"));
    for (py::handle name : names) {
        // The function runs first; then the frame is asked for withColumn, and only
        // then is the new name built, as a call evaluates its callee before its
        // arguments.
        py::object values = fun(self.attr("df")[name]);
        py::object with_column = self.attr("df").attr("withColumn");
        py::object new_name = py::str("log") + name;
        self.attr("df") = with_column(new_name, values);
    }
    return py::none();
}

py::object DatasetS_GetTargetType(py::object y) {
    return py::str(truthy(H().module.attr("FC").attr("is_not_categorical")(y)) ? "regression" : "classification");
}

py::object MakeDFReady_init(py::object self) {
    self.attr("name") = make_uid("SkReady-");
    self.attr("uid") = self.attr("name");
    self.attr("long_name") = self.attr("uid");
    self.attr("run_") = py::none();
    return py::none();
}

py::object MakeDFReady_transform(py::object self, py::object X, py::object /*n_jobs*/) {
    if (is_none(self.attr("run_"))) raise(PyExc_ValueError, "MakeDFReady issue");
    try {
        return X.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                             self.attr("numeric_colids_"))];
    } catch (py::error_already_set& e) {
        try {
            binding::print(py::str("present columns: " + str(py::int_(py::len(X.attr("columns"))))));
            binding::print(py::str("numeric columns to keep" + str(self.attr("numeric_colids_"))));
        } catch (py::error_already_set& raised) {
            rethrow_in_handler(raised, e);
        }
        raise_in_handler(PyExc_Exception, "Issue in MakeDFReady.transform", e);
    }
}

py::object MakeDFReady_fit(py::object self, py::object X, py::object /*y*/) {
    self.attr("run_") = py::bool_(true);
    py::object df = H().pd.attr("DataFrame")(X);
    py::list colnames = new_list(df.attr("columns"));
    const std::size_t colcount = py::len(colnames);
    py::list numeric_colids;
    self.attr("numeric_colids_") = numeric_colids;
    for (std::size_t i = 0; i < colcount; ++i) {
        try {
            py::str dtype(iloc_column(df, py::int_(i)).attr("dtype"));
            py::object numeric = H().module.attr("DataUtils").attr("NumericDataTypes")();
            if (contains(numeric, dtype)) numeric_colids.append(py::int_(i));
        } catch (py::error_already_set& e) {
            // A column whose dtype cannot be judged is reported and left out.
            try {
                binding::print(iloc_column(df, py::int_(i)));
                binding::print(py::str("colname=") + iloc_column(df, py::int_(i)).attr("name"));
            } catch (py::error_already_set& raised) {
                rethrow_in_handler(raised, e);
            }
        }
    }
    return self;
}

py::object PreprocessDF_init(py::object self) {
    self.attr("uid") = make_uid("T1-", py::str("preproc"));
    return py::none();
}

py::object PreprocessDF_transform(py::object /*self*/, py::object df, py::object /*n_jobs*/) {
    py::object frame = H().pd.attr("DataFrame")(df);
    // Shallow: the columns that stay unconverted are shared with the input,
    // and converted ones are assigned on the copy only.
    py::object df1 = frame.attr("copy")("deep"_a = false);
    for (py::handle col : frame.attr("columns")) {
        if (!is_text_column(df1[col].attr("dtype"))) continue;
        try {
            df1[col] = H().pd.attr("to_datetime")(frame[col]);
        } catch (py::error_already_set& e) {
            // Text that is not dates stays text.
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return df1;
}

py::object PreprocessDF_fit(py::object self, py::object /*X*/, py::object /*y*/) { return self; }

}  // namespace

void register_DatasetS(py::module_& m) {
    ClassBuilder(m, "DatasetS", py::tuple(), "Holds one data frame and derives columns from it.")
        .method("__init__", "self, dataframe", &DatasetS_init,
                "Hold the data frame as df (not copied).")
        .method("AddNewColumns", "self, fun", &DatasetS_AddNewColumns,
                "For each column name c of df (taken once, up front): df = df.withColumn('log' + c, fun(df[c])). "
                "Needs a frame with a withColumn method; a pandas DataFrame raises AttributeError.")
        .static_method("GetTargetType", "y", &DatasetS_GetTargetType,
                       "'regression' when FC.is_not_categorical(y) is true, else 'classification'.")
        .finish();
}

void register_MakeDFReady(py::module_& m) {
    ClassBuilder(m, "MakeDFReady", py::tuple(), "Learns which columns are numeric and keeps only those.")
        .method("__init__", "self", &MakeDFReady_init,
                "Name the object; fit before transform.")
        .method("transform", "self, X, n_jobs=1", &MakeDFReady_transform,
                "X.iloc[:, numeric_colids_]. ValueError('MakeDFReady issue') before fit; a failing selection is "
                "reported and raised as Exception('Issue in MakeDFReady.transform').")
        .method("fit", "self, X, y", &MakeDFReady_fit,
                "Record in numeric_colids_ the positions of the columns of DataFrame(X) whose dtype is in "
                "DataUtils.NumericDataTypes(). Returns self.")
        .finish();
}

void register_PreprocessDF(py::module_& m) {
    ClassBuilder(m, "PreprocessDF", py::make_tuple(m.attr("VantorTransformer")),
                 "Turns text columns holding dates into datetime columns.")
        .method("__init__", "self", &PreprocessDF_init,
                "Give the object its uid.")
        .method("transform", "self, df, n_jobs=1", &PreprocessDF_transform,
                "A shallow copy of DataFrame(df) in which every text column (dtype object, or a pandas string "
                "dtype) that pandas.to_datetime accepts is converted; columns it rejects with ValueError stay "
                "as they are.")
        .method("fit", "self, X, y", &PreprocessDF_fit, "Return self.")
        .finish();
}

}  // namespace karrow::module
