// Module attributes bound to heavy libraries (shap, Matplotlib, scikit-learn,
// SciPy) that are imported on first access instead of when the module body
// runs.  A module-level __getattr__ (which CPython consults for any module
// object, extension modules included) imports the library, stores the value
// as an ordinary attribute so later lookups never come back here, and lets an
// ImportError propagate to the code that asked for the name.
#pragma once

#include "bind.hpp"

#include <memory>
#include <string>
#include <vector>

namespace brinvale::bind {

struct LazyName {
    const char *name;       // attribute of the module
    const char *module;     // module to import on first access
    const char *attribute;  // attribute of that module, or nullptr for the module itself
};

inline void install_lazy_names(py::module_ &m, std::vector<LazyName> names) {
    // The module lives in sys.modules for the interpreter's life; holding a
    // strong reference here would only make a cycle through its own dict.
    PyObject *module = m.ptr();
    auto table = std::make_shared<std::vector<LazyName>>(std::move(names));

    m.attr("__getattr__") = py::cpp_function(
        [module, table](py::str name) -> py::object {
            const std::string wanted = name.cast<std::string>();
            for (const LazyName &entry : *table) {
                if (wanted != entry.name) {
                    continue;
                }
                py::object value = py::module_::import(entry.module);
                if (entry.attribute != nullptr) {
                    value = value.attr(entry.attribute);
                }
                if (PyObject_SetAttrString(module, entry.name, value.ptr()) != 0) {
                    throw py::error_already_set();
                }
                return value;
            }
            PyObject *module_name = PyObject_GetAttrString(module, "__name__");
            if (module_name == nullptr) {
                PyErr_Clear();
                PyErr_Format(PyExc_AttributeError, "module has no attribute '%U'", name.ptr());
            } else {
                PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name,
                             name.ptr());
                Py_DECREF(module_name);
            }
            throw py::error_already_set();
        },
        py::name("__getattr__"), py::arg("name"));

    // dir() lists the names that are not loaded yet, too.
    m.attr("__dir__") = py::cpp_function(
        [module, table]() {
            py::dict ns = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module));
            py::list names;
            for (py::handle key : ns.attr("keys")()) {
                names.append(key);
            }
            for (const LazyName &entry : *table) {
                if (!ns.contains(entry.name)) {
                    names.append(py::str(entry.name));
                }
            }
            names.attr("sort")();
            return names;
        },
        py::name("__dir__"));
}

}  // namespace brinvale::bind
