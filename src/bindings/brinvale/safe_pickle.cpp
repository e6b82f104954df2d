// Loading the pickles of a result folder without running what a crafted file
// names.  A trained model and its records need classes of NumPy, pandas,
// scikit-learn, SciPy, FLAML, LightGBM, XGBoost and this package, the
// reconstruction helpers those libraries pickle with, and a few standard
// library helpers.  Every other global is refused before it is called.
#include "workbench.hpp"

#include <array>
#include <string>
#include <string_view>

namespace brinvale::workbench {

namespace {

constexpr std::array<std::string_view, 11> kFamilies{
    "numpy", "pandas", "sklearn", "scipy", "flaml", "lightgbm", "xgboost", "catboost",
    "brinvale", "module", "tavrin"};

// Modules of those families that read or write files or run code.
constexpr std::array<std::string_view, 14> kRefusedModules{
    "pandas.io",        "numpy.lib.npyio",   "numpy.lib._npyio_impl", "numpy.lib.format",
    "numpy.lib._datasource", "numpy.ctypeslib", "numpy.f2py",       "numpy.distutils",
    "numpy.testing",    "scipy.io",          "sklearn.datasets",      "sklearn.externals",
    "brinvale.wendrip", "brinvale.purlane"};

// Classes of those families whose construction touches files.
constexpr std::array<std::string_view, 9> kRefusedNames{
    "memmap", "DataSource", "HDFStore", "ExcelFile", "ExcelWriter",
    "Dataset", "DMatrix", "Booster.save_model", "load"};

// Functions the libraries pickle with (reconstructors, Cython unpicklers,
// factory helpers).
constexpr std::array<std::string_view, 7> kHelperMarks{
    "unpickle", "_reconstruct", "_ctor", "newObj", "_new_", "_frombuffer", "scalar"};

// Exact standard-library globals found in genuine pickles.
constexpr std::array<std::string_view, 30> kStdlib{
    "builtins.slice",         "builtins.set",          "builtins.frozenset",
    "builtins.bytearray",     "builtins.bytes",        "builtins.complex",
    "builtins.range",         "builtins.list",         "builtins.dict",
    "builtins.tuple",         "builtins.int",          "builtins.float",
    "builtins.str",           "builtins.bool",         "builtins.object",
    "collections.OrderedDict", "collections.defaultdict", "collections.deque",
    "collections.Counter",    "copyreg._reconstructor", "copyreg.__newobj__",
    "copyreg.__newobj_ex__",  "functools.partial",     "datetime.datetime",
    "datetime.date",          "datetime.time",         "datetime.timedelta",
    "datetime.timezone",      "decimal.Decimal",       "_codecs.encode"};

// Methods that genuine FLAML pickles reference by qualified name.
constexpr std::array<std::string_view, 1> kMethods{
    "flaml.automl.state.AutoMLState._compute_with_config_base"};

bool in_family(std::string_view module, std::string_view family) {
    return module == family ||
           (module.size() > family.size() && module.substr(0, family.size()) == family &&
            module[family.size()] == '.');
}

template <std::size_t N>
bool any_family(std::string_view module, const std::array<std::string_view, N> &families) {
    for (std::string_view f : families) {
        if (in_family(module, f)) {
            return true;
        }
    }
    return false;
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N> &items, std::string_view s) {
    for (std::string_view i : items) {
        if (i == s) {
            return true;
        }
    }
    return false;
}

std::string_view last_part(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

bool is_helper_name(std::string_view name) {
    for (std::string_view mark : kHelperMarks) {
        if (name.find(mark) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

// Whether the global module.name may be called while unpickling.
bool admitted(py::module_ &m, const std::string &module, const std::string &name,
              py::handle resolved) {
    const std::string full = module + "." + name;
    py::object trusted = m.attr("TRUSTED_PICKLE_GLOBALS");
    if (trusted.contains(py::str(full)) || trusted.contains(py::str(module + ".*"))) {
        return true;
    }
    if (contains(kStdlib, full) || contains(kMethods, full)) {
        return true;
    }
    if (!any_family(module, kFamilies) || any_family(module, kRefusedModules)) {
        return false;
    }
    if (name.find("__") == 0 && !is_helper_name(name)) {
        return false;
    }
    if (contains(kRefusedNames, last_part(name))) {
        return false;
    }
    if (PyType_Check(resolved.ptr())) {
        return true;
    }
    return name.find('.') == std::string::npos && is_helper_name(name);
}

// The standard library's getattr reaches any attribute of any object, which
// would defeat the list above (a bound DataFrame.to_csv writes files).
// Genuine model pickles use it for class methods of admitted classes (FLAML
// pickles `Estimator.size` that way); that is all it may return here.
py::object checked_getattr(py::module_ &m, py::handle obj, py::handle attr) {
    py::object value;
    bool ok = false;
    std::string owner = "?";
    if (PyUnicode_CheckExact(attr.ptr()) && PyType_Check(obj.ptr())) {
        const std::string name = attr.cast<std::string>();
        const std::string module = py::str(obj.attr("__module__"));
        owner = module + "." + std::string(py::str(obj.attr("__qualname__")));
        if (name.rfind("__", 0) != 0 && any_family(module, kFamilies) &&
            !any_family(module, kRefusedModules)) {
            value = py::getattr(obj, attr);
            ok = PyMethod_Check(value.ptr()) && PyMethod_GET_SELF(value.ptr()) == obj.ptr();
        }
    }
    if (!ok && m.attr("TRUSTED_PICKLE_GLOBALS").contains(py::str("builtins.getattr"))) {
        return py::getattr(obj, attr);
    }
    if (!ok) {
        bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                    "refused to look up '" + std::string(py::str(attr)) + "' on '" + owner +
                        "' while unpickling: only class methods of the classes a trained "
                        "model needs are admitted. If you trust this file, add "
                        "'builtins.getattr' to brinvale.brinvale.TRUSTED_PICKLE_GLOBALS");
    }
    return value;
}

}  // namespace

void register_safe_pickle(py::module_ &m) {
    m.attr("TRUSTED_PICKLE_GLOBALS") = py::set();
    py::module_ pickle = py::module_::import("pickle");
    py::object base = pickle.attr("Unpickler");
    py::object cls = bind::make_class("_ResultUnpickler", py::make_tuple(base), m);
    py::module_ mod = m;

    bind::def_method(
        cls, "find_class",
        [mod, base, pickle](py::object self, py::str module_obj, py::str name_obj) mutable {
            // Protocols 0-2 carry Python 2 names (__builtin__, copy_reg):
            // judge the names the base class will resolve.
            py::module_ compat = py::module_::import("_compat_pickle");
            py::tuple key = py::make_tuple(module_obj, name_obj);
            if (compat.attr("NAME_MAPPING").contains(key)) {
                py::tuple mapped = compat.attr("NAME_MAPPING")[key];
                module_obj = mapped[0];
                name_obj = mapped[1];
            } else if (compat.attr("IMPORT_MAPPING").contains(module_obj)) {
                module_obj = compat.attr("IMPORT_MAPPING")[module_obj];
            }
            const std::string module = module_obj;
            const std::string name = name_obj;
            if (module == "builtins" && name == "getattr") {
                return py::object(py::cpp_function([mod](py::object obj, py::object attr) mutable {
                    return checked_getattr(mod, obj, attr);
                }));
            }
            py::object resolved;
            // Importing a module runs its code: only modules that may hold an
            // admitted global are imported to look the name up.
            py::object trusted = mod.attr("TRUSTED_PICKLE_GLOBALS");
            const std::string full = module + "." + name;
            const bool may_import =
                (any_family(module, kFamilies) && !any_family(module, kRefusedModules)) ||
                contains(kStdlib, full) || contains(kMethods, full) ||
                trusted.contains(py::str(full)) || trusted.contains(py::str(module + ".*"));
            if (may_import) {
                try {
                    resolved = base.attr("find_class")(self, module_obj, name_obj);
                } catch (py::error_already_set &e) {
                    if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) {
                        throw;
                    }
                }
            }
            if (resolved && admitted(mod, module, name, resolved)) {
                return checked_model_class(resolved);
            }
            bind::raise(pickle.attr("UnpicklingError").ptr(),
                        "refused to unpickle the global '" + module + "." + name +
                            "': it is not among the classes and helpers a trained model and "
                            "its records need. If you trust this file, add '" + module + "." +
                            name + "' (or '" + module +
                            ".*') to brinvale.brinvale.TRUSTED_PICKLE_GLOBALS");
        },
        py::arg("module"), py::arg("name"));
}

py::object safe_pickle_load(py::module_ &m, py::handle file) {
    return check_model_structure(m.attr("_ResultUnpickler")(file).attr("load")());
}

}  // namespace brinvale::workbench
