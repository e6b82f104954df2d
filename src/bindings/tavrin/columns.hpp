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

#include "brinvale/group_keys.hpp"
#include "brinvale/windows.hpp"
#include "key_columns.hpp"

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

using keycols::text_views;
using keycols::TextViews;

struct GroupCodes {
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes;
    std::int64_t ngroups = 0;
};

// Group codes of a key column, as groupby partitions it (missing keys in no
// group).  Numbers and text are coded by the core's key coder; any other
// dtype goes through pandas' factorize and its equality of Python objects.
inline GroupCodes group_codes(py::handle keys) {
    using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
    GroupCodes g;
    const char kind = dtype_kind(keys);
    const auto n = static_cast<py::ssize_t>(py::len(keys));
    if (kind == 'i' || kind == 'u' || kind == 'f') {
        py::object raw = keys.attr("to_numpy")();
        g.codes = decltype(g.codes)(n);
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
    const bool text =
        kind == 'O' ||
        py::isinstance(keys.attr("dtype"), py::module_::import("pandas").attr("StringDtype"));
    if (text) {
        if (std::optional<TextViews> t = text_views(keys)) {
            g.codes = decltype(g.codes)(n);
            py::gil_scoped_release release;
            g.ngroups = brinvale::core::code_keys(std::span<const std::string_view>(t->views),
                                                  false, false, view_mut(g.codes))
                            .ngroups;
            return g;
        }
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
