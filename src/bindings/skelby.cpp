// The interface of an AutoML stage; the FLAML tuner inherits it unchanged.
#include "bind.hpp"

BRINVALE_MODULE(skelby, m) {
    py::object object_type = py::module_::import("builtins").attr("object");
    py::object base = brinvale::bind::make_class("ABSAutoML", py::make_tuple(object_type), m);
    brinvale::bind::def_method(base, "__init__",
                               [](py::object self) { self.attr("stage_name") = "automl"; });
    brinvale::bind::def_method(base, "start", [](py::object, py::object) {}, py::arg("data"));
    brinvale::bind::def_method(base, "save_results", [](py::object) {});
    brinvale::bind::make_class("flamlTuner", py::make_tuple(base), m);
    m.attr("__test__") = py::dict();
}
