#include "module/transform_driver.hpp"

#include <string>

#include "binding/helpers.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

enum class Early { new_only, with_input, undecided };

Early read_early(const py::object& flag, NewOnly how) {
    if (how == NewOnly::if_true) return is_true(flag) ? Early::new_only : Early::with_input;
    if (flag.is_none() || PyBool_Check(flag.ptr()) || PyLong_CheckExact(flag.ptr())) {
        return truthy(flag) ? Early::new_only : Early::with_input;
    }
    return Early::undecided;
}

}  // namespace

TransformRun::TransformRun(py::object self_, py::object X_, const char* candidates_attr,
                           const py::object& return_new_cols_only, Quirks quirks)
    : self(std::move(self_)),
      X(std::move(X_)),
      candidates(quirks.measure == Measure::iterate ? py::list(self.attr(candidates_attr))
                                                    : py::object(self.attr(candidates_attr))),
      name(self.attr("name")),
      col_names_(self.attr("col_names_")),
      col_as_json_objects_(self.attr("col_as_json_objects_")),
      count(quirks.measure == Measure::single ? 1 : static_cast<py::ssize_t>(py::len(candidates))),
      include_input(read_early(return_new_cols_only, quirks.new_only) == Early::with_input),
      out(X, include_input, count),
      pending(py::none()),
      quirks_(quirks) {}

void TransformRun::column(const py::object& proposed, py::handle dtype, py::object lineage) {
    take_name(proposed);
    dtypes.append(dtype);
    json.append(std::move(lineage));
}

void TransformRun::self_named_column(const py::object& proposed, const py::object& outputs, py::ssize_t j) {
    take_name(proposed);
    dtypes.append(module::column(outputs, j).attr("dtype"));
    json.append(get_json_for_name(names[names.size() - 1]));
}

void TransformRun::name_column(const py::object& proposed, py::object lineage) {
    take_name(proposed);
    json.append(std::move(lineage));
}

void TransformRun::take_name(const py::object& proposed) {
    if (!namer_) {
        namer_ = std::make_unique<UniqueNamer>();
        namer_->add_existing(quirks_.seed == NameSeed::fitted_then_new ? col_names_ + names : names + col_names_);
    }
    names.append(namer_->take(proposed));
}

void TransformRun::place_output(py::object ncs, const py::object& inner, const py::list& params) {
    const bool one_dim = py::len(ncs.attr("shape")) == 1;
    py::object ocolcnt = one_dim ? py::object(py::int_(1)) : item(ncs.attr("shape"), 1);
    if (ocolcnt.equal(py::int_(1))) {
        ncs = replace_nan_and_inf(ncs);
        column(call_name(name, inner), ncs.attr("dtype"), expression_json(name, params));
        py::object block = one_dim ? with_trailing_axis(ncs) : ncs;
        ncs = py::object();  // the assembler may then hold the only reference
        add(std::move(block));
        return;
    }
    for (auto j : py_range(ocolcnt)) {
        py::object new_col = replace_nan_and_inf(module::column(ncs, j));
        add(with_trailing_axis(new_col));
        py::object op = name + py::str("_") + py::str(j);
        py::object dtype = quirks_.split_dtype == SplitDtype::of_column ? new_col.attr("dtype") : ncs.attr("dtype");
        if (quirks_.split_lineage == SplitLineage::indexed_op) {
            column(call_name(op, inner), dtype, expression_json(op, params));
            continue;
        }
        py::dict output_index;
        output_index["output_index"] = j;
        py::list indexed;
        indexed.append(output_index);
        for (auto p : params) indexed.append(p);
        column(call_name(op, inner), dtype, expression_json(name, indexed));
    }
}

void TransformRun::record() const {
    if (quirks_.record == RecordOrder::dtypes_first) {
        self.attr("new_column_dtypes_") = dtypes;
        self.attr("new_column_names_") = names;
        self.attr("new_column_as_json_objects_") = json;
        return;
    }
    record_new_columns(self, names, dtypes, json);
}

bool TransformRun::new_only(const py::object& flag) const {
    const Early early = read_early(flag, quirks_.new_only);
    return early == Early::undecided ? truthy(flag) : early == Early::new_only;
}

py::object call_name(const py::object& op, const py::object& inner) { return op + py::str("(") + inner + py::str(")"); }

}  // namespace karrow::module
