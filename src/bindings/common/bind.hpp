// Shared helpers of the binding layer: module entry, argument checks in the
// wording users of the platform know, Python-level classes with native methods.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>

#include <cstring>
#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

// Every module defines its functions with the documentation texts only: the
// platform's docstrings are part of its interface, so no generated signature
// line may be prepended to them.
#define BRINVALE_MODULE(name, variable)                                                            \
    static void brinvale_init_##name(py::module_ &);                                               \
    PYBIND11_MODULE(name, variable) {                                                              \
        py::options brinvale_options;                                                              \
        brinvale_options.disable_function_signatures();                                            \
        brinvale_init_##name(variable);                                                            \
    }                                                                                              \
    static void brinvale_init_##name(py::module_ &variable)

namespace brinvale::bind {

// Raise the pending Python error set with PyErr_*.
[[noreturn]] inline void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

[[noreturn]] inline void raise_object(PyObject *type, py::handle value) {
    PyErr_SetObject(type, value.ptr());
    throw py::error_already_set();
}

inline const char *type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// Assertions of the platform are skipped when Python runs optimised (-O).
inline bool assertions_enabled() {
    return py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;
}

inline void check_assert(bool condition, const char *message = nullptr) {
    if (condition || !assertions_enabled()) {
        return;
    }
    if (message == nullptr) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
    raise(PyExc_AssertionError, message);
}

// Typed parameters accept exactly the built-in type (no subclass), with the
// message "Argument 'x' has incorrect type (expected str, got int)".
[[noreturn]] inline void raise_bad_argument(const char *arg, const char *expected, py::handle got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, type_name(got));
    throw py::error_already_set();
}

inline void require_exact_str(py::handle obj, const char *arg, bool none_ok = false) {
    if (PyUnicode_CheckExact(obj.ptr()) || (none_ok && obj.is_none())) {
        return;
    }
    raise_bad_argument(arg, "str", obj);
}

inline void require_exact_int(py::handle obj, const char *arg, bool none_ok = false) {
    if (PyLong_CheckExact(obj.ptr()) || (none_ok && obj.is_none())) {
        return;
    }
    raise_bad_argument(arg, "int", obj);
}

inline void require_exact_list(py::handle obj, const char *arg, bool none_ok = false) {
    if (PyList_CheckExact(obj.ptr()) || (none_ok && obj.is_none())) {
        return;
    }
    raise_bad_argument(arg, "list", obj);
}

// A plain Python class (made by `type`) whose methods are native functions.
// Binding libraries cannot derive a native class from a Python base such as
// scikit-learn's LabelEncoder, and the platform's classes are plain classes.
inline py::object make_class(const char *name, py::tuple bases, py::module_ &scope,
                             const char *doc = nullptr) {
    py::dict ns;
    ns["__module__"] = scope.attr("__name__");
    ns["__qualname__"] = name;
    if (doc != nullptr) {
        ns["__doc__"] = doc;
    }
    py::object cls = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type)(name, bases, ns);
    scope.attr(name) = cls;
    return cls;
}

template <typename Func, typename... Extra>
void def_method(py::object &cls, const char *name, Func &&f, const Extra &...extra) {
    // pybind11 treats functions named __init__ or __setstate__ as constructors
    // of its own instances, which these objects are not: define them under
    // another name and give the Python function its real name afterwards.
    const bool special =
        std::strcmp(name, "__init__") == 0 || std::strcmp(name, "__setstate__") == 0;
    py::cpp_function fn(std::forward<Func>(f), py::name(special ? "_brinvale_method" : name),
                        py::is_method(cls), extra...);
    if (special) {
        PyObject *inner =
            PyInstanceMethod_Check(fn.ptr()) ? PyInstanceMethod_GET_FUNCTION(fn.ptr()) : fn.ptr();
        reinterpret_cast<PyCFunctionObject *>(inner)->m_ml->ml_name = name;
    }
    py::setattr(cls, name, fn);
}

template <typename Func, typename... Extra>
void def_static(py::object &cls, const char *name, Func &&f, const Extra &...extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::scope(cls), extra...);
    py::setattr(cls, name, py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr())));
}

// A function's documentation text where scikit-learn needs a readable
// signature too: CPython takes "name(sig)\n--\n\n" off the front of a
// builtin's docstring as its __text_signature__.
inline std::string with_text_signature(const char *name, const char *sig, const char *doc = "") {
    return std::string(name) + sig + "\n--\n\n" + doc;
}

}  // namespace brinvale::bind
