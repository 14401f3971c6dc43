// TB2: estimators fitted per ordered pair of columns of a data frame.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/data_utils.hpp"
#include "module/registry.hpp"
#include "module/transform_common.hpp"

#include <string>

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TB2_init(py::object self, py::object tans_class, py::object name, py::object datatypes1,
                    py::object feat_constraints1, py::object datatypes2, py::object feat_constraints2,
                    py::object tgraph, py::object apply_all) {
    self.attr("apply_all") = apply_all;
    self.attr("tgraph") = tgraph;
    self.attr("tans_class") = tans_class;
    self.attr("name") = name.is_none() ? tans_class.attr("__class__").attr("__name__") : name;
    self.attr("datatypes1") = datatypes1;
    self.attr("datatypes2") = datatypes2;
    self.attr("feat_constraints1") = feat_constraints1.is_none() ? py::object(py::list()) : feat_constraints1;
    self.attr("feat_constraints2") = feat_constraints2.is_none() ? py::object(py::list()) : feat_constraints2;
    self.attr("uid") = make_uid("TB2-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

// str(df[c].dtype) in datatypes, then (only then) the position's constraint method.
bool TB2_suits(py::handle self, py::handle df, py::handle c, const char* datatypes, const char* all_fc_satisifed) {
    py::object dfc = df[c];
    py::str dtype_text(dfc.attr("dtype"));
    if (!contains(self.attr(datatypes), dtype_text)) return false;
    return truthy(self.attr(all_fc_satisifed)(dfc));
}

bool TB2_suits1(py::handle self, py::handle df, py::handle c) {
    return TB2_suits(self, df, c, "datatypes1", "all_fc1_satisifed");
}

bool TB2_suits2(py::handle self, py::handle df, py::handle c) {
    return TB2_suits(self, df, c, "datatypes2", "all_fc2_satisifed");
}

py::object TB2_all_fc1_satisifed(py::object self, py::object dfc) {
    // The column's label serves as its name in the graph's cache.
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints1"), dfc, dfc.attr("name")));
}

py::object TB2_all_fc2_satisifed(py::object self, py::object dfc) {
    return py::bool_(all_fc_satisfied(self.attr("tgraph"), self.attr("feat_constraints2"), dfc, dfc.attr("name")));
}

py::object TB2_get_candidates_space_descriptor(py::object self, py::object df, py::object /*col_names*/,
                                               py::object /*col_dtypes*/) {
    py::object desc = module_class("CandidatesSpaceDescriptor")();
    py::list matching_colids1, matching_colids2;
    for (auto c : py::list(df.attr("columns"))) {
        if (TB2_suits1(self, df, c)) matching_colids1.append(c);
    }
    for (auto c : py::list(df.attr("columns"))) {
        if (TB2_suits2(self, df, c)) matching_colids2.append(c);
    }
    desc.attr("add_dimension_spec")(matching_colids1);
    desc.attr("add_dimension_spec")(matching_colids2);
    return desc;
}

py::object TB2_get_candidates(py::object self, py::object df) {
    py::list colpairnames;
    for (auto col1 : py::list(df.attr("columns"))) {
        if (!TB2_suits1(self, df, col1)) continue;
        for (auto col2 : py::list(df.attr("columns"))) {
            if (py_eq(col1, col2)) continue;
            if (TB2_suits2(self, df, col2)) colpairnames.append(py::make_tuple(col1, col2));
        }
    }
    return std::move(colpairnames);
}

py::object TB2_namestr(py::object /*self*/, py::object obj, py::object ns) { return namestr(obj, ns); }

py::object TB2_fit(py::object self, py::object X, py::object /*y*/) {
    self.attr("datatypes1") = resolve_basic_datatypes(self.attr("datatypes1"));
    self.attr("datatypes2") = resolve_basic_datatypes(self.attr("datatypes2"));
    py::object df = H().pd.attr("DataFrame")(X);
    self.attr("col_id_pairs_") = self.attr("get_candidates")(df);
    py::object limit = reduction_limit(self.attr("tgraph"));
    if (!limit.is_none()) {
        self.attr("col_id_pairs_") = self.attr("reduce_count_of_candidates")(self.attr("col_id_pairs_"), limit);
    }
    py::list tobjects;
    self.attr("tobjects_") = tobjects;
    py::object tans_class = self.attr("tans_class");
    for (auto col_id_pair : self.attr("col_id_pairs_")) {
        py::object tobj = tans_class();
        py::list labels;
        labels.append(iloc_column(df, col_id_pair[py::int_(0)]).attr("name"));
        labels.append(iloc_column(df, col_id_pair[py::int_(1)]).attr("name"));
        tobj.attr("fit")(df[labels]);
        tobjects.append(tobj);
    }
    return self;
}

py::object TB2_exec_tr(py::object self, py::object i, py::object df_) {
    py::object pair = self.attr("col_id_pairs_")[i];
    py::object in_col1 = iloc_column(df_, pair[py::int_(0)]);
    py::object in_col2 = iloc_column(df_, pair[py::int_(1)]);
    return self.attr("tobjects_")[i].attr("transform")(in_col1, in_col2);
}

// An estimator output as a data frame, by the name of its type.
py::object TB2_as_frame(py::object new_cols) {
    const auto& pd = H().pd;
    const std::string kind = type_name(new_cols);
    // A Series becomes one column labelled 0, as its values matrix used to give.
    if (kind == "Series") return pd.attr("DataFrame")(new_cols.attr("values"));
    if (kind == "csr_matrix") return pd.attr("DataFrame")(new_cols.attr("todense")());
    return pd.attr("DataFrame")(new_cols);
}

py::object TB2_tansform(py::object self, py::object X, py::object /*n_jobs*/, py::object /*return_new_cols_only*/) {
    const auto& pd = H().pd;
    const auto& np = H().np;
    py::object df_ = pd.attr("DataFrame")(X);
    py::object df1_ = df_.attr("copy")(py::arg("deep") = false);
    py::object name = self.attr("name");
    py::object get_unique_column_name = module_class("DataUtils").attr("get_unique_column_name");
    py::ssize_t cnt = -1;
    for (auto pair : self.attr("col_id_pairs_")) {
        ++cnt;
        py::object col1_id = pair[py::int_(0)];
        py::object col2_id = pair[py::int_(1)];
        py::object in_col1 = pd.attr("DataFrame")(iloc_column(df_, col1_id));
        py::object in_col2 = pd.attr("DataFrame")(iloc_column(df_, col2_id));
        py::object new_cols = self.attr("tobjects_")[py::int_(cnt)].attr("transform")(in_col1, in_col2);
        py::object ndf = TB2_as_frame(new_cols);
        const bool single = py::len(ndf.attr("columns")) == 1;
        for (auto n_cname : py::list(ndf.attr("columns"))) {
            py::object new_col = ndf[n_cname];
            py::object pair_text = py::str("(") + py::str(iloc_column(df_, col1_id).attr("name")) + py::str("__") +
                                   py::str(iloc_column(df_, col2_id).attr("name")) + py::str(")");
            py::object new_full_name =
                single ? name + pair_text : name + py::str("_") + py::str(n_cname) + pair_text;
            new_full_name = get_unique_column_name(new_full_name, df1_.attr("columns"));
            df1_[new_full_name] = new_col.attr("values");
        }
    }
    py::list non_finite;
    non_finite.append(np.attr("nan"));
    non_finite.append(np.attr("inf"));
    non_finite.append(-np.attr("inf"));
    df1_ = df1_.attr("replace")(non_finite, 0);
    py::object any_null = df1_.attr("isnull")().attr("any")().attr("any")();
    if (is_true(any_null)) {
        binding::print(py::str("Null values in newly transformed df through ") + py::str(name) + py::str(" : ") +
              py::str(any_null) + py::str(" "));
    }
    return df1_;
}

}  // namespace

void register_TB2(py::module_& m) {
    ClassBuilder(m, "TB2", py::make_tuple(m.attr("VantorTransformer")),
                 "Binary estimator transform over a data frame: one estimator per ordered pair of column labels.")
        .method("__init__",
                "self, tans_class, name, datatypes1, feat_constraints1, datatypes2, feat_constraints2, tgraph=None, "
                "apply_all=True",
                &TB2_init,
                "Wrap an estimator class applied to ordered pairs of data-frame columns.")
        .method("tansform", "self, X, n_jobs=1, return_new_cols_only=False", &TB2_tansform,
                "A data frame of X's columns followed by every pair's estimator outputs, NaN and infinities "
                "replaced by 0 throughout.")
        .method("get_candidates_space_descriptor", "self, df, col_names, col_dtypes",
                &TB2_get_candidates_space_descriptor,
                "A two-dimensional CandidatesSpaceDescriptor of the labels suited to each pair position.")
        .method("get_candidates", "self, df", &TB2_get_candidates,
                "The ordered pairs (col1, col2) of distinct labels suited to positions 1 and 2.")
        .method("namestr", "self, obj, namespace", &TB2_namestr, "The keys of namespace whose value is obj itself.")
        .method("fit", "self, X, y", &TB2_fit,
                "Choose col_id_pairs_ and fit one new estimator per pair on its two-column frame; returns self.")
        .method("all_fc1_satisifed", "self, dfc", &TB2_all_fc1_satisifed,
                "True unless a first-position constraint is the object False for the Series dfc.")
        .method("all_fc2_satisifed", "self, dfc", &TB2_all_fc2_satisifed,
                "True unless a second-position constraint is the object False for the Series dfc.")
        .method("exec_tr", "self, i, df_", &TB2_exec_tr,
                "The raw output of tobjects_[i] on the two Series of pair i of df_.")
        .finish();
}

}  // namespace karrow::module
