// Each loaded result folder keeps its own task configuration.  The process-wide
// TaskConfig is configured by the first folder only; the feature engine's
// window operators consult the configuration of the folder whose pipeline is
// running (a context variable of the configuration module) before it, so a
// second folder never computes with the first one's group column.
#include "workbench.hpp"

#include <string>

namespace brinvale::workbench {

namespace {

// Where the loaded configuration lives on the object (the platform's
// attributes are copies of single values; the engine needs the mapping).
constexpr const char *kConfigAttr = "_folder_cfg";

// A short form of a value: YAML aliases can nest one list in itself many
// times over, and the whole repr of that grows exponentially with the file.
std::string describe(py::handle value) {
    py::object brief = py::module_::import("reprlib").attr("Repr")();
    brief.attr("maxlevel") = 2;
    brief.attr("maxstring") = 60;
    brief.attr("maxother") = 60;
    std::string text = brief.attr("repr")(value).cast<std::string>();
    if (text.size() > 60) {
        text = text.substr(0, 57) + "...";
    }
    return std::string(bind::type_name(value)) + " " + text;
}

[[noreturn]] void bad_value(const py::object &config_path, const std::string &what) {
    bind::raise(PyExc_ValueError, py::str(config_path).cast<std::string>() + ": " + what);
}

bool is_mapping(py::handle value) {
    return py::isinstance(value, py::module_::import("collections.abc").attr("Mapping"));
}

// Values whose shape the pipeline cannot use would otherwise be used all the
// same: a string IgnoreFeature is iterated character by character, a numeric
// GroupIndex names no column of a CSV file.  Missing keys and sections are
// left to the reads that follow, which raise KeyError.
void check_config(const py::object &cfg, const py::object &config_path) {
    if (cfg.is_none()) {
        bad_value(config_path,
                  "config.yaml is empty; expected a mapping with the sections Feature, AutoFE "
                  "and AutoML");
    }
    if (!is_mapping(cfg)) {
        bad_value(config_path,
                  "config.yaml must be a mapping with the sections Feature, AutoFE and AutoML, "
                  "got " +
                      describe(cfg));
    }
    for (const char *section : {"Feature", "AutoFE", "AutoML"}) {
        if (cfg.contains(section) && !is_mapping(cfg[section])) {
            bad_value(config_path, std::string("config.yaml section '") + section +
                                       "' must be a mapping of keys, got " +
                                       describe(cfg[section]));
        }
    }
    if (!cfg.contains("Feature")) {
        return;
    }
    py::object feature = cfg["Feature"];
    for (const char *key : {"TargetName", "GroupIndex", "TimeIndex", "id_index"}) {
        if (!feature.contains(key)) {
            continue;
        }
        py::object value = feature[key];
        if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
            bad_value(config_path, std::string("config.yaml key Feature.") + key +
                                       " must be a column name (text) or null, got " +
                                       describe(value));
        }
    }
    if (feature.contains("IgnoreFeature")) {
        py::object value = feature["IgnoreFeature"];
        bool ok = PyList_Check(value.ptr());
        if (ok) {
            for (py::handle item : value) {
                ok = ok && PyUnicode_Check(item.ptr());
            }
        }
        if (!ok) {
            bad_value(config_path,
                      "config.yaml key Feature.IgnoreFeature must be a list of column names, "
                      "got " +
                          describe(value));
        }
    }
}

py::object active_config_var() {
    return py::module_::import("module.common.quillet").attr("_active_config");
}

}  // namespace

py::object load_folder_config(py::object self, const py::object &config_path) {
    py::object cfg =
        py::module_::import("module.util.corlet").attr("YamlParser").attr("parse")(config_path);
    check_config(cfg, config_path);
    // The first folder of the process still configures the process-wide
    // instance, which direct callers of the engine read; a folder refused
    // above leaves it to the next one.
    global("TaskConfig")(config_path);
    py::setattr(self, kConfigAttr, cfg);
    return cfg;
}

py::object with_folder_config(py::handle self, const std::function<py::object()> &body) {
    py::object cfg = py::getattr(self, kConfigAttr, py::none());
    if (cfg.is_none()) {
        // an object not made by the constructor: the process-wide configuration
        return body();
    }
    py::object var = active_config_var();
    py::object token = var.attr("set")(cfg);
    py::object result;
    try {
        result = body();
    } catch (...) {
        var.attr("reset")(token);
        throw;
    }
    var.attr("reset")(token);
    return result;
}

}  // namespace brinvale::workbench
