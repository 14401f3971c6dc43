// TB1: one fresh estimator per eligible column.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/column_assembly.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

#include <memory>
#include <string>
#include <utility>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object class_name_of(py::handle obj) { return obj.attr("__class__").attr("__name__"); }

py::object TB1_init(py::object self, py::object tans_class, py::object name, py::object datatypes,
                    py::object feat_constraints, py::object tgraph, py::object apply_all, py::object col_names,
                    py::object col_dtypes, py::object col_as_json_objects) {
    store_column_args(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("tans_class") = tans_class;
    self.attr("tgraph") = tgraph;
    self.attr("apply_all") = apply_all;
    self.attr("name") = name.is_none() ? class_name_of(tans_class) : name;
    self.attr("datatypes") = datatypes;
    self.attr("feat_constraints") = feat_constraints.is_none() ? py::object(py::list()) : feat_constraints;
    self.attr("uid") = make_uid("TB1-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

// A column is eligible when its dtype text is in datatypes; the constraints run only then.
bool TB1_eligible(py::handle self, py::handle datatypes, py::handle df, py::ssize_t col_id, py::handle col_names,
                  py::handle col_dtypes) {
    py::str dtype_text(col_dtypes[py::int_(col_id)]);
    if (!contains(datatypes, dtype_text)) return false;
    return truthy(self.attr("all_fc_satisifed")(column(df, col_id), col_names[py::int_(col_id)]));
}

py::list TB1_eligible_columns(py::handle self, py::handle df, py::handle col_names, py::handle col_dtypes) {
    // The attribute as it is now: unresolved family names before the first fit.
    py::object datatypes = self.attr("datatypes");
    const auto ncols = py::cast<py::ssize_t>(df.attr("shape")[py::int_(1)]);
    py::list col_ids;
    for (py::ssize_t col_id = 0; col_id < ncols; ++col_id) {
        if (TB1_eligible(self, datatypes, df, col_id, col_names, col_dtypes)) col_ids.append(col_id);
    }
    return col_ids;
}

py::object TB1_all_fc_satisifed(py::object self, py::object dfc, py::object dfcname) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints"), dfc, dfcname));
}

py::object TB1_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes) {
    return one_dimension_space(TB1_eligible_columns(self, df, col_names, col_dtypes));
}

py::object TB1_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::list col_ids = TB1_eligible_columns(self, df, col_names, col_dtypes);
    assert_space_size(self, df, col_names, col_dtypes, col_ids);
    return std::move(col_ids);
}

py::object TB1_namestr(py::object /*self*/, py::object obj, py::object ns) { return namestr(obj, ns); }

py::object TB1_fit(py::object self, py::object X, py::object /*y*/, py::object col_names, py::object col_dtypes,
                   py::object col_as_json_objects) {
    FitColumns cols = fit_columns(self, col_names, col_dtypes, col_as_json_objects);
    self.attr("datatypes") = resolve_basic_datatypes(self.attr("datatypes"));
    if (is_true(self.attr("apply_all"))) {
        choose_candidates(self, X, cols, "colids_");
    } else {
        if (py::int_(X.attr("shape")[py::int_(1)]).not_equal(py::int_(1))) {
            binding::print(py::str("More columns than 1 provided for apply_all in transform ") + self.attr("name"));
            return py::none();
        }
        py::list only_column;
        only_column.append(0);
        self.attr("colids_") = only_column;
    }
    py::list tobjects;
    self.attr("tobjects_") = tobjects;
    py::object tans_class = self.attr("tans_class");
    for (auto col_id : self.attr("colids_")) {
        py::object tobj = tans_class();
        tobj.attr("fit")(column(X, col_id).attr("reshape")(-1, 1));
        tobjects.append(tobj);
    }
    return self;
}

py::object TB1_exec_tr(py::object self, py::object i, py::object df_) {
    py::object in_col = column(df_, self.attr("colids_")[i]);
    py::object new_cols = self.attr("tobjects_")[i].attr("transform")(in_col.attr("reshape")(-1, 1));
    return replace_nan_and_inf(new_cols);
}

// Any tuple is read as a pair of Series, through TGen's method as it is now.
py::object TB1_tuple_as_array(py::object nc) {
    return module_class("TGen").attr("get_df_from_tuple_of_series")(first_two(nc)).attr("values");
}

py::object values_of(py::handle frame_or_series) { return frame_or_series.attr("values"); }

// Names, dtypes and JSON name objects of the new columns, and the assembled output.
class TB1_Output {
public:
    TB1_Output(py::object self, py::object X, bool include_input, py::ssize_t expected)
        : name_(self.attr("name")),
          col_names_(self.attr("col_names_")),
          col_as_json_objects_(self.attr("col_as_json_objects_")),
          assembler(std::move(X), include_input, expected) {}

    // The input column's name and JSON name object, looked up before its output is computed.
    std::pair<py::object, py::object> base(py::handle colid) const {
        return {col_names_[colid], col_as_json_objects_[colid]};
    }

    void add(const std::pair<py::object, py::object>& base, py::object nc) {
        const auto& [base_col_name, base_col_as_json_object] = base;
        py::object outcol_df = output_as_array(std::move(nc), TB1_tuple_as_array, values_of);
        py::tuple shape = outcol_df.attr("shape");
        const bool one_dim = py::len(shape) == 1;
        py::object ocolcnt = one_dim ? py::int_(1) : py::object(shape[1]);
        py::str arg = py::str("(") + py::str(base_col_name) + py::str(")");
        if (ocolcnt.equal(py::int_(1))) {
            outcol_df = replace_nan_and_inf(outcol_df);
            new_col_names.append(unique(name_ + arg));
            new_col_dtypes.append(outcol_df.attr("dtype"));
            new_column_as_json_objects.append(expression_json(name_, params(base_col_as_json_object)));
            assembler.add(one_dim ? py::object(outcol_df[py::make_tuple(py::ellipsis(), py::none())]) : outcol_df);
            return;
        }
        const auto count = py::cast<py::ssize_t>(ocolcnt);
        for (py::ssize_t k = 0; k < count; ++k) {
            py::object new_col = replace_nan_and_inf(column(outcol_df, k));
            assembler.add(new_col[py::make_tuple(py::ellipsis(), py::none())]);
            py::object op = name_ + py::str("_" + std::to_string(k));
            new_col_names.append(unique(op + arg));
            new_col_dtypes.append(outcol_df.attr("dtype"));
            new_column_as_json_objects.append(expression_json(op, params(base_col_as_json_object)));
        }
    }

    void record(py::object self) const {
        record_new_columns(self, new_col_names, new_col_dtypes, new_column_as_json_objects);
    }

    py::object name_, col_names_, col_as_json_objects_;
    ColumnAssembler assembler;

private:
    // Unique against the input names followed by the names given so far in this call.
    py::str unique(py::object proposed) {
        if (!namer_) {
            namer_ = std::make_unique<UniqueNamer>();
            namer_->add_existing(col_names_ + py::list());
        }
        return namer_->take(py::str(proposed));
    }

    static py::list params(py::object base_json) {
        py::list p;
        p.append(std::move(base_json));
        return p;
    }

    py::list new_col_dtypes, new_col_names, new_column_as_json_objects;
    std::unique_ptr<UniqueNamer> namer_;
};

py::object TB1_transform(py::object self, py::object X, py::object n_jobs, py::object return_new_cols_only) {
    if (is_false(self.attr("apply_all")) && py::int_(X.attr("shape")[py::int_(1)]).not_equal(py::int_(1))) {
        binding::print(py::str(" More than admissible number of columns provided for transform with apply_all=False for "
                      "transform ") +
              self.attr("name"));
        return py::none();
    }
    py::object colids = self.attr("colids_");
    const auto n = static_cast<py::ssize_t>(py::len(colids));
    TB1_Output out(self, X, !is_true(return_new_cols_only), n);
    if (use_pool(self.attr("tgraph"))) {
        py::list outputs = pool_exec_tr(self, X, py_range(py::int_(n)), n_jobs);
        for (py::ssize_t i = 0; i < n; ++i) {
            out.add(out.base(colids[py::int_(i)]), outputs[static_cast<std::size_t>(i)]);
        }
    } else {
        py::object exec_tr = self.attr("exec_tr");
        for (py::ssize_t i = 0; i < n; ++i) {
            auto base = out.base(colids[py::int_(i)]);
            // Argument columns are read from the assembler's contiguous copy of X once it exists.
            out.add(base, exec_tr(i, out.assembler.source()));
        }
    }
    out.record(self);
    return out.assembler.finish();
}

}  // namespace

void register_TB1(py::module_& m) {
    ClassBuilder(m, "TB1", py::make_tuple(m.attr("VantorTransformer")),
                 "Unary estimator transform: fits one fresh estimator per eligible column and appends its outputs.")
        .method("__init__",
                "self, tans_class, name, datatypes, feat_constraints, tgraph=None, apply_all=True, col_names=None, "
                "col_dtypes=None, col_as_json_objects=None",
                &TB1_init,
                "Wrap an estimator class: one fresh estimator per eligible column.")
        .method("transform", "self, X, n_jobs=1, return_new_cols_only=False", &TB1_transform,
                "X with one new column per estimator output column appended (the new columns alone when "
                "return_new_cols_only is True); None when apply_all is False and X has not exactly one column.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TB1_get_candidates_space_descriptor,
                "A one-dimensional CandidatesSpaceDescriptor of the eligible column ids.")
        .method("get_candidates", "self, df, col_names, col_dtypes", &TB1_get_candidates,
                "The eligible column ids, in ascending order.")
        .method("namestr", "self, obj, namespace", &TB1_namestr,
                "The keys of namespace whose value is obj itself.")
        .method("fit", "self, X, y, col_names=None, col_dtypes=None, col_as_json_objects=None", &TB1_fit,
                "Choose colids_ and fit one new estimator per chosen column; returns self (None when single-column "
                "mode gets a table of other than one column).")
        .method("all_fc_satisifed", "self, dfc, dfcname", &TB1_all_fc_satisifed,
                "True unless a constraint (or its cached answer for dfcname) is the object False.")
        .method("exec_tr", "self, i, df_", &TB1_exec_tr,
                "Column colids_[i] of df_ through tobjects_[i], with NaN and infinities replaced by 0.")
        .finish();
}

}  // namespace karrow::module
