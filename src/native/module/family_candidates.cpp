// Which columns (TB1), ordered pairs (TA2), tuples (TGen) or whole tables (TAM)
// a family may apply to: its candidate space and candidate list.
#include "module/family_candidates.hpp"

#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/transform_common.hpp"

namespace karrow::module {

using namespace karrow::binding;

py::object TA2_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                               py::object col_dtypes) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    py::object ncols = item(df.attr("shape"), 1);
    // only the first argument's dtype lookups are reported
    py::list matching_colids1 = eligible_colids(self, "datatypes1", "all_fc1_satisifed", df, ncols, col_names,
                                                col_dtypes, OnDtypeError::report);
    py::list matching_colids2 = eligible_colids(self, "datatypes2", "all_fc2_satisifed", df, ncols, col_names,
                                                col_dtypes, OnDtypeError::pass_on);
    desc.attr("add_dimension_spec")(matching_colids1);
    desc.attr("add_dimension_spec")(matching_colids2);
    return desc;
}

py::object TA2_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::list col_pair_ids;
    py::object ncols = item(df.attr("shape"), 1);
    for (auto colid1 : py_range(ncols)) {
        py::str ty1 = dtype_text_reporting(df, col_dtypes, colid1);
        if (!column_eligible(self, "datatypes1", "all_fc1_satisifed", ty1, df, colid1, col_names)) continue;
        for (auto colid2 : py_range(ncols)) {
            if (colid2.equal(colid1)) continue;
            py::str ty2(col_dtypes[colid2]);
            if (column_eligible(self, "datatypes2", "all_fc2_satisifed", ty2, df, colid2, col_names)) {
                col_pair_ids.append(py::make_tuple(colid1, colid2));
            }
        }
    }
    assert_space_size(self, df, col_names, col_dtypes, col_pair_ids);
    return std::move(col_pair_ids);
}

namespace {

// The column ids of df eligible for one argument position, ascending.
py::list matching_colids(py::handle self, py::handle df, py::handle datatypes, py::handle fcs, py::handle col_names,
                         py::handle col_dtypes) {
    py::list colids;
    for (auto colid : py_range(item(df.attr("shape"), 1))) {
        py::str ty(col_dtypes[colid]);
        if (!contains(resolve_basic_datatypes(datatypes), ty)) continue;
        py::object dfc = column(df, colid);
        py::object name = col_names[colid];
        if (truthy(self.attr("all_fc_satisifed")(fcs, dfc, name))) colids.append(colid);
    }
    return colids;
}

}  // namespace

py::object TGen_get_candidates_space_descriptor(py::object self, py::object df, py::object col_names,
                                                py::object col_dtypes) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    for (auto current_arg : py_range(self.attr("arg_count"))) {
        py::object datatypes = self.attr("datatypes_list")[current_arg];
        py::object fcs = self.attr("feat_constraints_list")[current_arg];
        desc.attr("add_dimension_spec")(matching_colids(self, df, datatypes, fcs, col_names, col_dtypes));
    }
    return desc;
}

py::object TGen_get_candidates_sub(py::object self, py::object df, py::object current_arg,
                                   py::object colids_tuple_list, py::object col_names, py::object col_dtypes) {
    if (current_arg >= self.attr("arg_count")) return colids_tuple_list;
    py::object datatypes = self.attr("datatypes_list")[current_arg];
    py::object fcs = self.attr("feat_constraints_list")[current_arg];
    py::list matching = matching_colids(self, df, datatypes, fcs, col_names, col_dtypes);
    if (matching.empty()) return py::list();
    py::list updated_colids_tuple_list;
    if (current_arg.equal(py::int_(0))) {
        for (auto colid : matching) updated_colids_tuple_list.append(py::make_tuple(colid));
    } else {
        for (auto colids_tuple : colids_tuple_list) {
            for (auto latest_colid : matching) {
                if (contains(colids_tuple, latest_colid)) continue;
                updated_colids_tuple_list.append(colids_tuple + py::make_tuple(latest_colid));
            }
        }
    }
    if (updated_colids_tuple_list.empty()) return py::list();
    return self.attr("get_candidates_sub")(df, current_arg + py::int_(1), updated_colids_tuple_list, col_names,
                                           col_dtypes);
}

py::object TGen_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    py::object colids_tuple_list =
        self.attr("get_candidates_sub")(df, py::int_(0), py::list(), col_names, col_dtypes);
    assert_space_size(self, df, col_names, col_dtypes, colids_tuple_list);
    return colids_tuple_list;
}

// A column is eligible when its dtype text is in datatypes; the constraints run only then.
namespace {

bool TB1_eligible(py::handle self, py::handle datatypes, py::handle df, py::ssize_t col_id, py::handle col_names,
                  py::handle col_dtypes) {
    py::str dtype_text(col_dtypes[py::int_(col_id)]);
    if (!contains(datatypes, dtype_text)) return false;
    return truthy(self.attr("all_fc_satisifed")(column(df, col_id), col_names[py::int_(col_id)]));
}

}  // namespace

py::list TB1_eligible_columns(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    // The attribute as it is now: unresolved family names before the first fit.
    py::object datatypes = self.attr("datatypes");
    const auto ncols = py::cast<py::ssize_t>(df.attr("shape")[py::int_(1)]);
    py::list col_ids;
    for (py::ssize_t col_id = 0; col_id < ncols; ++col_id) {
        if (TB1_eligible(self, datatypes, df, col_id, col_names, col_dtypes)) col_ids.append(col_id);
    }
    return col_ids;
}

// tuple(range(0, df.shape[1])): the one candidate, every column in order.
namespace {

py::tuple all_positions(py::handle df) {
    return py::tuple(py_range(py::int_(0), item(df.attr("shape"), 1)));
}

}  // namespace

py::object TAM_get_candidates_space_descriptor(py::object, py::object df, py::object, py::object) {
    return module_class("SingletonCandidateSpaceDescriptor")(all_positions(df));
}

py::object TAM_get_candidates(py::object self, py::object df, py::object col_names, py::object col_dtypes) {
    // The descriptor exists only for the consistency check, so python -O skips both.
    if (!H().optimize) {
        py::list from_descriptor, expected;
        from_descriptor.append(
            self.attr("get_candidates_space_descriptor")(df, col_names, col_dtypes).attr("get_candidate")(0));
        expected.append(all_positions(df));
        bare_assert(from_descriptor.equal(expected));
    }
    py::list cands;
    cands.append(all_positions(df));
    return std::move(cands);
}

}  // namespace karrow::module
