// Zero-copy access to data-frame columns for the native kernels.  A float64
// column is read straight from its buffer (pandas may hand out a read-only
// view: the kernels only read it); other numeric columns are converted once.
// Outputs are allocated by NumPy, written once by a kernel and stored as a
// Series over the frame's own index, which pandas keeps without a copy.
#pragma once

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

#include "brinvale/windows.hpp"

namespace brinvale::tavrin::columns {

namespace py = pybind11;
using namespace pybind11::literals;

inline py::module_ numpy() { return py::module_::import("numpy"); }

// The NumPy dtype behind a column, or None for extension dtypes.
inline py::object numpy_dtype(py::handle series) {
    py::object dtype = series.attr("dtype");
    if (py::isinstance(dtype, numpy().attr("dtype"))) {
        return dtype;
    }
    return py::none();
}

inline char dtype_kind(py::handle series) {
    py::object dtype = numpy_dtype(series);
    return dtype.is_none() ? '\0' : dtype.attr("kind").cast<std::string>()[0];
}

inline bool is_float64(py::handle series) {
    py::object dtype = numpy_dtype(series);
    return !dtype.is_none() && dtype.attr("name").cast<std::string>() == "float64";
}

template <typename T, int Flags>
std::span<const T> view(const py::array_t<T, Flags> &a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}
template <typename T, int Flags>
std::span<T> view_mut(py::array_t<T, Flags> &a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

// The column's values as contiguous float64, missing values as NaN.
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

inline FloatArray float_values(py::handle series) {
    using Array = FloatArray;
    if (is_float64(series)) {
        return Array(series.attr("to_numpy")());
    }
    return Array(series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = py::float_(NAN)));
}

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
inline std::optional<TextViews> text_views(py::handle series) {
    py::object dtype = series.attr("dtype");
    py::object pd = py::module_::import("pandas");
    if (py::isinstance(dtype, pd.attr("StringDtype")) &&
        dtype.attr("storage").cast<std::string>().rfind("pyarrow", 0) == 0) {
        return arrow_text_views(series.attr("array"));
    }
    py::array values = series.attr("to_numpy")();
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

struct GroupCodes {
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes;
    std::int64_t ngroups = 0;
};

// Group codes of a key column, as groupby partitions it (missing keys in no
// group).  Numeric keys are hashed natively; any other dtype goes through
// pandas' factorize.
inline GroupCodes group_codes(py::handle keys) {
    using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
    GroupCodes g;
    const char kind = dtype_kind(keys);
    if (kind == 'i' || kind == 'u' || kind == 'f') {
        py::object raw = keys.attr("to_numpy")();
        g.codes = decltype(g.codes)(static_cast<py::ssize_t>(py::len(keys)));
        if (kind == 'f') {
            Floats values(raw);
            py::gil_scoped_release release;
            g.ngroups = brinvale::core::encode_keys(view(values), view_mut(g.codes));
        } else {
            Ints values(raw);
            py::gil_scoped_release release;
            g.ngroups = brinvale::core::encode_keys(view(values), view_mut(g.codes));
        }
        return g;
    }
    py::tuple res = py::module_::import("pandas").attr("factorize")(keys, "sort"_a = false);
    g.codes = Ints(res[0]);
    g.ngroups = static_cast<std::int64_t>(py::len(res[1]));
    return g;
}

inline py::array_t<double> new_column(std::size_t n) {
    return py::array_t<double>(static_cast<py::ssize_t>(n));
}

// df[name] = values, aligned by position.
inline void store(py::handle df, py::handle name, const py::array_t<double> &values) {
    py::object series = py::module_::import("pandas").attr("Series")(
        values, "index"_a = df.attr("index"), "copy"_a = false);
    df.attr("__setitem__")(name, series);
}

}  // namespace brinvale::tavrin::columns
