// TNoOp, the identity transform, and DropTransform, which drops one labelled column.
#include "binding/class_builder.hpp"
#include "binding/helpers.hpp"
#include "module/registry.hpp"

namespace karrow::module {

using namespace karrow::binding;

namespace {

py::object TNoOp_init(py::object self, py::object fun, py::object name, py::object datatypes,
                      py::object feat_constraints, py::object tgraph) {
    self.attr("tgraph") = tgraph;
    self.attr("fun") = py::none();
    // Without a name the transform is called after the function it was given
    // (or "TNoOp" when that has no name), since the stored `fun` is always None.
    self.attr("name") = name.is_none() ? py::getattr(fun, "__name__", py::str("TNoOp")) : name;
    self.attr("datatypes") = datatypes;
    self.attr("feat_constraints") = feat_constraints.is_none() ? py::object(py::list()) : feat_constraints;
    self.attr("uid") = make_uid("TNoOp-", name);
    self.attr("long_name") = self.attr("uid");
    return py::none();
}

py::object TNoOp_transform(py::object /*self*/, py::object df, py::object /*n_jobs*/) { return df; }

py::object TNoOp_fit(py::object self, py::object /*X*/, py::object /*y*/) {
    self.attr("colids_") = py::list();
    return self;
}

py::object Drop_init(py::object self, py::object columnStrCommaSep) {
    self.attr("columnStrCommaSep") = columnStrCommaSep;
    self.attr("uid") = make_uid("Drop_");
    return py::none();
}

py::object Drop_transform(py::object self, py::object df, py::object /*n_jobs*/) {
    py::object frame = H().pd.attr("DataFrame")(df);
    py::list names(frame.attr("columns"));
    names.attr("remove")(self.attr("columnStrCommaSep"));
    return frame[names];
}

py::object Drop_fit(py::object self, py::object /*X*/, py::object /*y*/) { return self; }

}  // namespace

void register_TNoOp(py::module_& m) {
    ClassBuilder(m, "TNoOp", py::make_tuple(m.attr("VantorTransformer")),
                 "The identity transform: learns nothing and returns its input unchanged.")
        .method("__init__", "self, fun, name, datatypes, feat_constraints, tgraph=None", &TNoOp_init,
                "The identity transform; fun is accepted and not kept.")
        .method("transform", "self, df, n_jobs=1", &TNoOp_transform, "Return df itself.")
        .method("fit", "self, X, y", &TNoOp_fit, "Set colids_ to a new empty list; return self.")
        .finish();
}

void register_DropTransform(py::module_& m) {
    ClassBuilder(m, "DropTransform", py::make_tuple(m.attr("VantorTransformer")),
                 "Drops the column with one given label from a data frame.")
        .method("__init__", "self, columnStrCommaSep", &Drop_init,
                "Drop the column labelled columnStrCommaSep (one label).")
        .method("transform", "self, df, n_jobs=1", &Drop_transform,
                "A new frame without the column labelled columnStrCommaSep (ValueError when there is none).")
        .method("fit", "self, X, y", &Drop_fit, "Return self.")
        .finish();
}

}  // namespace karrow::module
