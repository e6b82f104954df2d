#include "workbench.hpp"

BRINVALE_MODULE(brinvale, m) {
    using namespace brinvale::workbench;
    py::object cls = brinvale::bind::make_class("tabular_incrml", py::make_tuple(py::module_::import("builtins").attr("object")), m);
    add_input_methods(cls);
    add_pipeline_methods(cls);
    add_label_methods(cls);
    add_chart_methods(cls);
    register_dataset(m);
    register_safe_pickle(m);
}
