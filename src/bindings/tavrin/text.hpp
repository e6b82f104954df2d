// Python strings as UTF-32 for the name parsers of the core, and back.
#pragma once

#include "bind.hpp"

#include <string>
#include <string_view>

namespace brinvale::tavrin {

// Code points of an exact or derived str; lone surrogates are kept as they are.
inline std::u32string to_u32(py::handle text) {
    PyObject *obj = text.ptr();
    if (PyUnicode_READY(obj) != 0) {
        throw py::error_already_set();
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void *data = PyUnicode_DATA(obj);
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
    }
    return out;
}

inline py::str from_u32(std::u32string_view text) {
    PyObject *obj = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                              static_cast<Py_ssize_t>(text.size()));
    if (obj == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(obj);
}

// split_features, shared by the dispatcher and the formula renderer.
py::list split_feature_list(py::handle key);
bool is_combination(py::handle feature_name);

}  // namespace brinvale::tavrin
