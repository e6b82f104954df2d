// The process-wide task configuration: one instance, configured by its first
// construction only, read again by every feature operator that needs it.
#include "bind.hpp"

BRINVALE_MODULE(quillet, m) {
    m.attr("os") = py::module_::import("os");
    m.attr("YamlParser") = py::module_::import("module.util.corlet").attr("YamlParser");
    m.attr("logging") = py::module_::import("logging");

    // The configuration of the result folder whose pipeline is running on this
    // thread (or task), read by the engine before the process-wide instance.
    m.attr("_active_config") =
        py::module_::import("contextvars")
            .attr("ContextVar")("brinvale_active_config", "default"_a = py::none());

    py::object object_type = py::module_::import("builtins").attr("object");
    py::object cls = brinvale::bind::make_class("TaskConfig", py::make_tuple(object_type), m);
    cls.attr("_TaskConfig__species") = py::none();
    cls.attr("_TaskConfig__first_init") = py::bool_(true);
    py::module_ mod = m;

    brinvale::bind::def_static(
        cls, "__new__", [object_type](py::object klass, py::args, py::kwargs) {
            if (klass.attr("_TaskConfig__species").is_none()) {
                klass.attr("_TaskConfig__species") = object_type.attr("__new__")(klass);
            }
            return klass.attr("_TaskConfig__species");
        });

    brinvale::bind::def_method(
        cls, "__init__",
        [mod](py::object self, py::object conf_file) mutable {
            if (!py::bool_(self.attr("_TaskConfig__first_init"))) {
                return;
            }
            // Cleared before anything can fail: the first initialisation runs
            // at most once per process.
            self.attr("__class__").attr("_TaskConfig__first_init") = py::bool_(false);
            if (!conf_file.is_none()) {
                self.attr("cfg_path") = mod.attr("os").attr("path").attr("abspath")(conf_file);
                self.attr("cfg") = mod.attr("YamlParser").attr("parse")(conf_file);
            } else {
                mod.attr("logging").attr("error")("msg"_a = "Task config path missing");
            }
        },
        py::arg("conf_file") = py::none());
}
