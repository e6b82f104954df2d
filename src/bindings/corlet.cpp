// YAML file access: PyYAML does the parsing, with libyaml when it is built in,
// through its safe loaders.  Files are read whole, as bounded regular files,
// before the parser sees them.
#include "bind.hpp"
#include "regular_file.hpp"

namespace {

using brinvale::bind::raise;

// A configuration is small; a file larger than this is refused unread.
constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 20;  // 1 MiB

// YAML 1.1 reads 1:30:00 as the sexagesimal integer 5400.  PyYAML builds it
// with big-number arithmetic whose cost grows with the square of the length,
// so a long run of such digits holds the loader for minutes.  Longer values
// than Python's own limit on integer texts are refused.
constexpr std::size_t kMaxSexagesimal = 4300;

// One loading attempt with the given text encoding over the bytes read.
py::object load_with_encoding(py::module_ &mod, const py::bytes &data, py::handle mode,
                              const char *encoding) {
    py::module_ io = py::module_::import("io");
    py::object fh = io.attr("TextIOWrapper")(io.attr("BytesIO")(data), "encoding"_a = encoding);
    py::object config = mod.attr("load")(fh, "Loader"_a = mod.attr("Loader"));
    if (!mode.is_none()) {
        config = config[mode];
    }
    return config;
}

// The safe loader of the module, with integers bounded in length.
py::object make_loader(py::module_ &m, const py::object &safe_loader) {
    py::module_ constructor = py::module_::import("yaml.constructor");
    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = "PyYAML's safe loader, refusing sexagesimal integers of more than 4300 "
                    "characters.";
    py::object cls = builtins.attr("type")("ConfigLoader", py::make_tuple(safe_loader), ns);
    py::object plain_int = constructor.attr("SafeConstructor").attr("construct_yaml_int");
    py::object error = constructor.attr("ConstructorError");
    cls.attr("add_constructor")(
        "tag:yaml.org,2002:int",
        py::cpp_function([plain_int, error](py::object loader, py::object node) {
            py::object value = loader.attr("construct_scalar")(node);
            if (PyUnicode_Check(value.ptr()) &&
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(value.ptr())) > kMaxSexagesimal &&
                value.attr("__contains__")(":").cast<bool>()) {
                brinvale::bind::raise_object(
                    error.ptr(),
                    error(py::none(), py::none(),
                          "refusing a sexagesimal integer (1:30:00) of " +
                              std::to_string(PyUnicode_GET_LENGTH(value.ptr())) +
                              " characters, more than " + std::to_string(kMaxSexagesimal),
                          node.attr("start_mark")));
            }
            return plain_int(loader, node);
        }));
    return cls;
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
    py::object safe_loader;
    try {
        safe_loader = py::module_::import("yaml").attr("CSafeLoader");
    } catch (py::error_already_set &e) {
        // PyYAML without libyaml: only the attribute lookup fails (ImportError
        // in `from yaml import CSafeLoader`), anything else propagates.
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ImportError)) {
            throw;
        }
        safe_loader = yaml.attr("SafeLoader");
    }
    m.attr("Loader") = make_loader(m, safe_loader);
    m.attr("MAX_BYTES") = py::int_(kMaxBytes);

    py::object object_type = py::module_::import("builtins").attr("object");
    py::object cls = brinvale::bind::make_class("YamlParser", py::make_tuple(object_type), m);
    py::module_ mod = m;

    brinvale::bind::def_static(
        cls, "parse",
        [mod](py::object path, py::object mode) mutable {
            if (!mod.attr("os").attr("path").attr("exists")(path).cast<bool>()) {
                raise(PyExc_ValueError, "CONFIG FILE NOT FOUND");
            }
            // A FIFO, a device or an oversized file is refused here, once,
            // before either attempt.
            py::bytes data = brinvale::bind::read_regular_file(
                path,
                brinvale::bind::byte_limit(mod, "MAX_BYTES",
                                           "brinvale.module.util.corlet.MAX_BYTES"),
                "brinvale.module.util.corlet.MAX_BYTES");
            try {
                return load_with_encoding(mod, data, mode, "utf-8");
            } catch (py::error_already_set &) {
                // Configurations written on Chinese Windows are GBK: retry, and
                // report only what the second attempt raises.
            }
            return load_with_encoding(mod, data, mode, "gbk");
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
