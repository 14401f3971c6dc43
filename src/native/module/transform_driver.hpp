// One driver for the `transform` of the column families (TA1, TA2, TGen, TB1,
// TAM): read the fitted candidates, compute each candidate's output in a pool
// or in process, place its columns in the assembler, name them, build their
// lineage JSON and record the new-column attributes.
//
// A family supplies a policy: a struct deriving from FamilyDefaults with
//   static constexpr const char* candidates;   // the fitted attribute
//   static constexpr Quirks quirks;             // the family's fixed choices
//   static py::object output(TransformRun&, py::ssize_t i);   // one candidate, in process
// and, where the defaults do not fit, refuse / pool / place (an output's blocks,
// and names where they depend on the output) / before_naming / describe
// (names after all outputs) / result.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/transform_common.hpp"

// The argument description shared by the constructors that choose columns, so
// that help() on each of them lists what the datatype and constraint
// arguments accept.
#define KARROW_COLUMN_ARGUMENTS_DOC                                                                  \
    "\n\nArguments choosing the columns:\n"                                                     \
    "  datatypes (datatypes1/datatypes2, or one list per argument in datatypes_list): a list of datatype family names - \"numeric\", \"float\", \"int\", "         \
    "\"integer\" (each a fixed list of numpy dtype names) - or dtype names such as \"int64\"; "   \
    "a column qualifies when str(its dtype) is in the resolved list.\n"                            \
    "  feat_constraints (likewise per argument): a list of predicates over one column's values, such as those of "         \
    "karrow_libs.utils.fc_methods: is_positive, is_non_negative, is_categorical, "                  \
    "is_not_categorical, is_lt80pc_unique_int, is_epoch, is_distance, is_latitude, is_longitude; "  \
    "a column qualifies unless one of them returns the object False.\n"                            \
    "  tgraph: the transform graph (its constraint cache, max_feature_generate_one_node and "      \
    "multiprocessing) or None."

namespace karrow::module {

namespace py = pybind11;

// Which names a new column's name must differ from, joined in this order when
// the first name is taken (a fitted name list that is not a list fails there).
enum class NameSeed { fitted_then_new, new_then_fitted };
// The order in which the three new-column attributes are set.
enum class RecordOrder { names_first, dtypes_first };
// The dtype recorded for each column of a multi-column output.
enum class SplitDtype { of_output, of_column };
// How the lineage of column k of a multi-column output says which column it is:
// a first parameter {"output_index": k}, or the op "<name>_k".
enum class SplitLineage { output_index_param, indexed_op };

// How return_new_cols_only asks for the new columns alone: being the object
// True, or by its truth, asked once after naming since its __bool__ may run
// code (bool, int and None are read at once).
enum class NewOnly { if_true, by_truth };

// How the fitted candidates are first used: measured with len() (a loop over
// their positions), iterated (a loop over the candidates themselves), or only
// looked into by the single output.
enum class Measure { len, iterate, single };

struct Quirks {
    NameSeed seed;
    NewOnly new_only = NewOnly::if_true;
    RecordOrder record = RecordOrder::names_first;
    SplitDtype split_dtype = SplitDtype::of_column;
    SplitLineage split_lineage = SplitLineage::output_index_param;
    Measure measure = Measure::len;
};

// The state of one transform call.
class TransformRun {
public:
    TransformRun(py::object self, py::object X, const char* candidates, const py::object& return_new_cols_only,
                 Quirks quirks);

    py::object self, X, candidates, name, col_names_, col_as_json_objects_;
    py::ssize_t count;           // number of candidates
    bool include_input;          // known before the outputs are computed
    ColumnAssembler out;
    py::object pending;          // a value a policy keeps from output() to place()
    py::list names, dtypes, json;

    py::object candidate(py::ssize_t i) const { return binding::item(candidates, i); }
    // The private copy of X the functions read.
    py::object source() { return out.source(); }
    // The same, for a family whose every call is fun(columns...).
    py::object source_for(const py::object& fun) { return out.source(fun); }

    // One new column's bookkeeping: its name made unique, its dtype, its lineage.
    void column(const py::object& proposed, py::handle dtype, py::object lineage);
    // The same for column j of `outputs`, whose lineage is its own new name; the
    // column is looked up once its name is made.
    void self_named_column(const py::object& proposed, const py::object& outputs, py::ssize_t j);
    // The same without the dtype, for families that record dtypes as blocks arrive.
    void name_column(const py::object& proposed, py::object lineage);
    // One block of new columns for the assembler.
    void add(py::object block) { out.add(std::move(block)); }
    // An estimator-style output already read as an array `ncs`: one column, or
    // each of its columns, NaN and infinities replaced, placed and named
    // "<name>(<inner>)" / "<name>_k(<inner>)" with the argument lineage `params`.
    void place_output(py::object ncs, const py::object& inner, const py::list& params);
    // Records the three new-column attributes in the family's order.
    void record() const;
    // Whether return_new_cols_only asks for the new columns alone (after naming).
    bool new_only(const py::object& return_new_cols_only) const;

private:
    void take_name(const py::object& proposed);

    Quirks quirks_;
    std::unique_ptr<UniqueNamer> namer_;
};

// What a policy does not override.
struct FamilyDefaults {
    // No refusal: the transform always runs.
    static bool refuse(const py::object&, const py::object&) { return false; }
    // What the pool maps over: nothing (no pool), the candidates, or their positions.
    enum class Pool { none, candidates, positions };
    static constexpr Pool pool = Pool::none;
    // One output that is one block of new columns: its dtype recorded, the block placed.
    static void place(TransformRun& run, py::ssize_t, py::object block) {
        run.dtypes.append(block.attr("dtype"));
        run.add(std::move(block));
    }
    // Naming after all outputs, per candidate; families that name in place() leave it empty.
    static void describe(TransformRun&, py::ssize_t) {}
    // After all outputs, before naming.
    static void before_naming(TransformRun&) {}
    // The returned table.
    static py::object result(TransformRun& run, const py::object&) { return run.out.finish(); }
};

template <class P>
py::object run_transform(py::object self, py::object X, py::object n_jobs, py::object return_new_cols_only) {
    if (P::refuse(self, X)) return py::none();
    const bool pooled = P::pool != FamilyDefaults::Pool::none && use_pool(self.attr("tgraph"));
    // The pool is opened before the fitted candidates are read.
    py::object pool = pooled ? open_pool(n_jobs) : py::none();
    std::unique_ptr<TransformRun> made;
    try {
        made = std::make_unique<TransformRun>(self, X, P::candidates, return_new_cols_only, P::quirks);
    } catch (py::error_already_set&) {
        if (pooled) discard_pool(pool);
        throw;
    }
    TransformRun& run = *made;
    if (pooled) {
        py::object items = P::pool == FamilyDefaults::Pool::candidates ? run.candidates : binding::py_range(py::int_(run.count));
        py::list outputs = pool_exec_tr(pool, self, X, items);
        for (py::ssize_t i = 0; i < run.count; ++i) {
            py::object raw = outputs[static_cast<std::size_t>(i)];
            outputs[static_cast<std::size_t>(i)] = py::none();  // the result holds the only copy
            P::place(run, i, std::move(raw));
        }
    } else {
        for (py::ssize_t i = 0; i < run.count; ++i) P::place(run, i, P::output(run, i));
    }
    P::before_naming(run);
    for (py::ssize_t i = 0; i < run.count; ++i) P::describe(run, i);
    run.record();
    return P::result(run, return_new_cols_only);
}

// A family's class, built as its `class` statement would be: a subclass of
// VantorTransformer whose methods are added in the family's own order, the
// shared ones (transform through the driver, namestr, fit's and the candidate
// methods' signatures) by name.
template <class P>
class FamilyClass {
public:
    FamilyClass(py::module_& m, const char* name, const char* doc)
        : b_(m, name, py::make_tuple(m.attr("VantorTransformer")), doc) {}

    template <class F>
    FamilyClass& method(const char* name, const char* params, F body, const char* doc) {
        b_.method(name, params, body, doc);
        return *this;
    }
    template <class F>
    FamilyClass& static_method(const char* name, const char* params, F body, const char* doc) {
        b_.static_method(name, params, body, doc);
        return *this;
    }
    FamilyClass& transform() {
        return method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &run_transform<P>,
                      "X with the new columns appended (the new columns alone when return_new_cols_only is True); "
                      "records new_column_names_, new_column_dtypes_ and new_column_as_json_objects_.");
    }
    FamilyClass& namestr() {
        return method("namestr", "self, obj, namespace", &namestr_method,
                      "Keys of the mapping namespace whose value is obj itself.");
    }
    template <class F>
    FamilyClass& fit(F body, const char* doc) {
        return method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", body, doc);
    }
    template <class F>
    FamilyClass& descriptor(F body, const char* doc) {
        return method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes", body, doc);
    }
    template <class F>
    FamilyClass& candidates(F body, const char* doc) {
        return method("get_candidates", "self, df, col_names, col_dtypes", body, doc);
    }
    void finish() { b_.finish(); }

private:
    binding::ClassBuilder b_;
};

// op + "(" + inner + ")", with Python's own + (a name that is not a string fails there).
py::object call_name(const py::object& op, const py::object& inner);

}  // namespace karrow::module
