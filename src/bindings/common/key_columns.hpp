// Key columns read for the core's key coder (group_keys.hpp): numbers from
// their buffers, text as UTF-8 views, and several key sequences coded in one
// code space, as if pandas had concatenated and factorized them.  Keys of
// other types are left to pandas and its equality of Python objects.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "brinvale/group_keys.hpp"

namespace brinvale::keycols {

namespace py = pybind11;

inline py::module_ numpy() { return py::module_::import("numpy"); }

// UTF-8 views of the values of a text column, for the native key coder; a
// view without data is a missing value.  `owner` keeps the bytes alive.
struct TextViews {
    std::vector<std::string_view> views;
    py::object owner;
    // or the values' bytes, copied next to each other: a vector, whose
    // buffer moves with it (a short string's bytes would not)
    std::vector<char> bytes;
};

inline const char *empty_text() { return ""; }

// pyarrow's string arrays: offsets and bytes read in place, nothing converted.
inline std::optional<TextViews> arrow_text_views(py::handle array) {
    py::object chunked = array.attr("__arrow_array__")();
    py::object types = py::module_::import("pyarrow").attr("types");
    TextViews t;
    t.owner = chunked;
    t.views.reserve(static_cast<std::size_t>(py::len(chunked)));
    for (py::handle chunk : chunked.attr("chunks")) {
        py::object type = chunk.attr("type");
        const bool large = py::bool_(types.attr("is_large_string")(type));
        if (!large && !py::bool_(types.attr("is_string")(type))) {
            return std::nullopt;
        }
        py::list buffers = chunk.attr("buffers")();
        const auto offset = chunk.attr("offset").cast<std::size_t>();
        const auto length = static_cast<std::size_t>(py::len(chunk));
        if (length == 0) {
            continue;
        }
        const auto address = [&](std::size_t k) -> const unsigned char * {
            if (buffers.size() <= k || buffers[k].is_none()) {
                return nullptr;
            }
            return reinterpret_cast<const unsigned char *>(
                buffers[k].attr("address").cast<std::uintptr_t>());
        };
        const unsigned char *valid = address(0);
        const unsigned char *offsets = address(1);
        const char *data = reinterpret_cast<const char *>(address(2));
        if (offsets == nullptr) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < length; ++i) {
            const std::size_t j = offset + i;
            if (valid != nullptr && ((valid[j >> 3] >> (j & 7)) & 1) == 0) {
                t.views.emplace_back();
                continue;
            }
            std::int64_t b = 0, e = 0;
            if (large) {
                std::memcpy(&b, offsets + 8 * j, 8);
                std::memcpy(&e, offsets + 8 * (j + 1), 8);
            } else {
                std::int32_t b32 = 0, e32 = 0;
                std::memcpy(&b32, offsets + 4 * j, 4);
                std::memcpy(&e32, offsets + 4 * (j + 1), 4);
                b = b32;
                e = e32;
            }
            if (e == b) {
                t.views.emplace_back(empty_text(), 0);
            } else {
                t.views.emplace_back(data + b, static_cast<std::size_t>(e - b));
            }
        }
    }
    return t;
}

// Text columns: the UTF-8 form of each value, when every value is text
// (exactly str) or missing (None or a float NaN).  Otherwise nullopt, and
// pandas decides how the values compare.
inline std::optional<TextViews> object_text_views(py::array values);

inline std::optional<TextViews> text_views(py::handle series) {
    py::object dtype = series.attr("dtype");
    py::object pd = py::module_::import("pandas");
    if (py::isinstance(dtype, pd.attr("StringDtype")) &&
        dtype.attr("storage").cast<std::string>().rfind("pyarrow", 0) == 0) {
        return arrow_text_views(series.attr("array"));
    }
    return object_text_views(series.attr("to_numpy")());
}

// The same for a NumPy array of objects.
inline std::optional<TextViews> object_text_views(py::array values) {
    if (values.dtype().kind() != 'O' || values.ndim() != 1) {
        return std::nullopt;
    }
    if (values.strides(0) != static_cast<py::ssize_t>(sizeof(PyObject *))) {
        values = numpy().attr("ascontiguousarray")(values);
    }
    // The values' bytes are copied into one buffer while each object is at
    // hand: the coder then reads them in order instead of visiting a million
    // objects again.
    const auto n = static_cast<std::size_t>(values.shape(0));
    std::vector<std::int64_t> ends(n, -1);  // -1: missing
    TextViews t;
    PyObject *const *items = static_cast<PyObject *const *>(values.data());
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *o = items[i];
        if (PyUnicode_CheckExact(o)) {
            const char *data = nullptr;
            Py_ssize_t size = 0;
            if (PyUnicode_IS_COMPACT_ASCII(o)) {  // ASCII text is its own UTF-8 form
                data = static_cast<const char *>(PyUnicode_DATA(o));
                size = PyUnicode_GET_LENGTH(o);
            } else if ((data = PyUnicode_AsUTF8AndSize(o, &size)) == nullptr) {
                PyErr_Clear();  // lone surrogates have no UTF-8 form
                return std::nullopt;
            }
            t.bytes.insert(t.bytes.end(), data, data + size);
            ends[i] = static_cast<std::int64_t>(t.bytes.size());
        } else if (o != Py_None && !(PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
            return std::nullopt;
        }
    }
    t.views.resize(n);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (ends[i] >= 0) {
            const auto end = static_cast<std::size_t>(ends[i]);
            t.views[i] = end == begin ? std::string_view(empty_text(), 0)
                                      : std::string_view(t.bytes.data() + begin, end - begin);
            begin = end;
        }
    }
    return t;
}

// The codes of key sequences in one code space: `codes` holds the parts one
// after the other, part k from offsets[k].
struct JointCodes {
    py::array_t<std::int64_t> codes;
    std::vector<std::size_t> offsets;
    std::int64_t ngroups = 0;
};

// Keys equal as pandas' concat then factorize makes them equal: integers
// among integers, numbers as float64 once any part is floating (as concat
// makes them), text by its bytes; missing keys (NaN, None) are one key,
// coded -1 unless `missing_group`.  nullopt for any other mix of types.
inline std::optional<JointCodes> joint_key_codes(const std::vector<py::object> &parts,
                                                 bool missing_group) {
    std::vector<py::array> arrays;
    bool any_int = false, any_float = false, any_text = false, other = false;
    for (const py::object &p : parts) {
        py::array a = numpy().attr("asarray")(p);
        const char kind = a.dtype().kind();
        const auto size = a.dtype().itemsize();
        if (a.ndim() != 1) {
            other = true;
        } else if (kind == 'i' || (kind == 'u' && size < 8)) {
            any_int = true;
        } else if (kind == 'f' && size <= 8) {
            any_float = true;
        } else if (kind == 'O') {
            any_text = true;
        } else {
            other = true;
        }
        arrays.push_back(a);
    }
    if (other || (any_text && (any_int || any_float))) {
        return std::nullopt;
    }
    JointCodes j;
    std::size_t total = 0;
    for (const py::array &a : arrays) {
        j.offsets.push_back(total);
        total += static_cast<std::size_t>(a.shape(0));
    }
    j.codes = py::array_t<std::int64_t>(static_cast<py::ssize_t>(total));
    std::span<std::int64_t> codes(j.codes.mutable_data(), total);
    using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
    if (any_text) {
        std::vector<TextViews> owners;
        std::vector<std::string_view> views;
        views.reserve(total);
        for (const py::array &a : arrays) {
            std::optional<TextViews> t = object_text_views(a);
            if (!t) {
                return std::nullopt;
            }
            views.insert(views.end(), t->views.begin(), t->views.end());
            owners.push_back(std::move(*t));
        }
        py::gil_scoped_release release;
        j.ngroups =
            core::code_keys(std::span<const std::string_view>(views), false, missing_group, codes)
                .ngroups;
    } else if (any_float) {
        std::vector<double> keys;
        keys.reserve(total);
        for (const py::array &a : arrays) {
            const Floats f(a);
            keys.insert(keys.end(), f.data(), f.data() + f.size());
        }
        py::gil_scoped_release release;
        j.ngroups =
            core::code_keys(std::span<const double>(keys), false, missing_group, codes).ngroups;
    } else {
        std::vector<std::int64_t> keys;
        keys.reserve(total);
        for (const py::array &a : arrays) {
            const Ints v(a);
            keys.insert(keys.end(), v.data(), v.data() + v.size());
        }
        py::gil_scoped_release release;
        j.ngroups = core::code_keys(std::span<const std::int64_t>(keys), false, codes).ngroups;
    }
    return j;
}

}  // namespace brinvale::keycols
