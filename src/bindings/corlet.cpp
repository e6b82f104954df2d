// YAML file access: PyYAML does the parsing, with libyaml when it is built in,
// through its safe loaders.
#include "bind.hpp"

namespace {

using brinvale::bind::raise;

// One loading attempt with the given text encoding; the file is closed on
// every path.
py::object load_with_encoding(py::module_ &mod, py::handle path, py::handle mode,
                              const char *encoding) {
    py::object fh =
        py::module_::import("builtins").attr("open")(path, "rt", "encoding"_a = encoding);
    try {
        py::object config = mod.attr("load")(fh, "Loader"_a = mod.attr("Loader"));
        if (!mode.is_none()) {
            config = config[mode];
        }
        fh.attr("close")();
        return config;
    } catch (py::error_already_set &) {
        py::error_scope keep;  // the loading error wins over a failing close
        try {
            fh.attr("close")();
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

}  // namespace

BRINVALE_MODULE(corlet, m) {
    m.attr("os") = py::module_::import("os");
    py::module_ yaml = py::module_::import("yaml");
    m.attr("yaml") = yaml;
    m.attr("load") = yaml.attr("load");
    // Configuration files come with result folders from elsewhere: the safe
    // loaders build plain data only (PyYAML's full loaders construct any
    // Python object a tag names, running its code), and plain configuration
    // values load identically with them.
    try {
        m.attr("Loader") = py::module_::import("yaml").attr("CSafeLoader");
    } catch (py::error_already_set &e) {
        // PyYAML without libyaml: only the attribute lookup fails (ImportError
        // in `from yaml import CSafeLoader`), anything else propagates.
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ImportError)) {
            throw;
        }
        m.attr("Loader") = yaml.attr("SafeLoader");
    }

    py::object object_type = py::module_::import("builtins").attr("object");
    py::object cls = brinvale::bind::make_class("YamlParser", py::make_tuple(object_type), m);
    py::module_ mod = m;

    brinvale::bind::def_static(
        cls, "parse",
        [mod](py::object path, py::object mode) mutable {
            if (!mod.attr("os").attr("path").attr("exists")(path).cast<bool>()) {
                raise(PyExc_ValueError, "CONFIG FILE NOT FOUND");
            }
            try {
                return load_with_encoding(mod, path, mode, "utf-8");
            } catch (py::error_already_set &) {
                // Configurations written on Chinese Windows are GBK: retry, and
                // report only what the second attempt raises.
            }
            return load_with_encoding(mod, path, mode, "gbk");
        },
        py::arg("path"), py::arg("mode") = py::none());

    brinvale::bind::def_static(
        cls, "dump",
        [mod](py::object path, py::object config) mutable {
            py::object fh = py::module_::import("builtins").attr("open")(path, "w");
            try {
                mod.attr("yaml").attr("safe_dump")(config, fh);
            } catch (py::error_already_set &) {
                py::error_scope keep;
                try {
                    fh.attr("close")();
                } catch (py::error_already_set &) {
                }
                throw;
            }
            fh.attr("close")();
        },
        py::arg("path"), py::arg("config"));
}
