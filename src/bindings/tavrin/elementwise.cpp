#include "tavrin.hpp"
#include "partition.hpp"

#include "brinvale/elementwise.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace brinvale::tavrin {

namespace {

using core::NumericColumn;

enum class Kind { f64, i64, other };

// One operand column.  float64 and int64 columns are handed to the kernels
// as contiguous buffers; every other dtype (nullable, bool, text, object,
// narrower numbers) and empty columns take the pandas expression itself.
struct Column {
    py::object series;
    py::array values;
    Kind kind = Kind::other;
    std::size_t size = 0;

    bool native() const { return kind != Kind::other; }
    NumericColumn view() const {
        if (kind == Kind::f64) {
            return {static_cast<const double *>(values.data()), nullptr, size};
        }
        return {nullptr, static_cast<const std::int64_t *>(values.data()), size};
    }
    std::span<const double> f64() const {
        return {static_cast<const double *>(values.data()), size};
    }
    std::span<const std::int64_t> i64() const {
        return {static_cast<const std::int64_t *>(values.data()), size};
    }
};

py::module_ numpy() { return py::module_::import("numpy"); }
py::module_ pandas() { return py::module_::import("pandas"); }

// df[name]: a missing column raises pandas' KeyError before anything is written.
Column column(py::handle df, py::handle name) {
    Column c;
    c.series = df[name];
    if (!py::isinstance(c.series, pandas().attr("Series"))) {
        return c;  // duplicate labels give a frame
    }
    py::object dtype = c.series.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) {
        return c;
    }
    auto dt = py::reinterpret_borrow<py::dtype>(dtype);
    if (dt.itemsize() != 8 || !dt.attr("isnative").cast<bool>()) {
        return c;
    }
    const char kind = dt.kind();
    if (kind != 'f' && kind != 'i') {
        return c;
    }
    c.values = numpy().attr("ascontiguousarray")(c.series.attr("to_numpy")());
    c.size = static_cast<std::size_t>(c.values.size());
    if (c.size == 0) {
        return c;
    }
    c.kind = kind == 'f' ? Kind::f64 : Kind::i64;
    return c;
}

py::object checked(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::object compare(py::handle a, py::handle b, int op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// Result labels: operator###operands$$$, operands joined as Python joins them
// (a non-text operand is a TypeError, as str.join gives).
py::str one_operand_name(const char *op, py::handle col) {
    return py::str(std::string(op) + "###{}$$$").format(col);
}

py::str two_operand_name(const char *op, py::handle a, py::handle b) {
    py::list operands;
    operands.append(a);
    operands.append(b);
    return py::str(std::string(op) + "###{}$$$").format(py::str("|||").attr("join")(operands));
}

// Stores a freshly allocated buffer as the column.  pandas copies an array
// it is given, which costs less than wrapping a short one in a Series first;
// a long one is wrapped, and pandas keeps its buffer without a copy.
constexpr py::ssize_t kWrapFrom = 1 << 14;

void store(py::handle df, py::handle name, py::handle values) {
    if (py::isinstance<py::array>(values) && py::len(values) < kWrapFrom) {
        df[name] = values;
        return;
    }
    df[name] = pandas().attr("Series")(values, "index"_a = df.attr("index"), "copy"_a = false);
}

template <typename T>
py::array_t<T> output(std::size_t n) {
    return py::array_t<T>(static_cast<py::ssize_t>(n));
}

template <typename T>
std::span<T> span_of(py::array_t<T> &a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

// ---- arithmetic with standardisation --------------------------------------

void standardize_column(py::handle df, py::handle name) {
    py::object s = df[name];
    py::object mean, sd;
    if (py::object ms = part::ask("standardize", s.attr("to_numpy")()); !ms.is_none()) {
        mean = py::tuple(ms)[0];
        sd = py::tuple(ms)[1];
    } else {
        mean = s.attr("mean")();
        sd = s.attr("std")();
    }
    py::object centred = checked(PyNumber_Subtract(s.ptr(), mean.ptr()));
    df[name] = checked(PyNumber_TrueDivide(centred.ptr(), sd.ptr()));
}

py::object arithmetic(core::Arithmetic op, const char *label, py::object df, py::object num_col1,
                      py::object num_col2) {
    py::str name = two_operand_name(label, num_col1, num_col2);
    Column x = column(df, num_col1);
    Column y = column(df, num_col2);
    const bool integral = x.kind == Kind::i64 && y.kind == Kind::i64;
    if (x.native() && y.native() && x.size == y.size &&
        (!integral || op == core::Arithmetic::divide)) {
        auto out = output<double>(x.size);
        if (part::engine()) {
            {
                py::gil_scoped_release release;
                core::arithmetic_values(op, x.view(), y.view(), span_of(out));
            }
            part::standardize(out);
        } else {
            py::gil_scoped_release release;
            core::arithmetic_standardized(op, x.view(), y.view(), span_of(out));
        }
        store(df, name, out);
        return df;
    }
    PyObject *(*binary)(PyObject *, PyObject *) =
        op == core::Arithmetic::add        ? PyNumber_Add
        : op == core::Arithmetic::subtract ? PyNumber_Subtract
        : op == core::Arithmetic::multiply ? PyNumber_Multiply
                                           : PyNumber_TrueDivide;
    df[name] = checked(binary(x.series.ptr(), y.series.ptr()));
    if (op == core::Arithmetic::divide) {
        py::object inf = py::float_(py::str("inf"));
        py::object ninf = py::float_(py::str("-inf"));
        df[name] = py::object(df[name]).attr("replace")(inf, 1e12);
        df[name] = py::object(df[name]).attr("replace")(ninf, -1e12);
        df[name] = py::object(df[name]).attr("replace")(numpy().attr("nan"), 0);
    }
    standardize_column(df, name);
    return df;
}

// ---- pairwise selections and comparisons ----------------------------------

py::object pick(core::Pick op, const char *label, py::object df, py::object a, py::object b) {
    py::str name = two_operand_name(label, a, b);
    Column x = column(df, a);
    Column y = column(df, b);
    if (x.native() && y.native() && x.size == y.size) {
        if (x.kind == Kind::i64 && y.kind == Kind::i64) {
            auto out = output<std::int64_t>(x.size);
            {
                py::gil_scoped_release release;
                core::pick_rowwise(op, x.i64(), y.i64(), span_of(out));
            }
            store(df, name, out);
        } else {
            auto out = output<double>(x.size);
            {
                py::gil_scoped_release release;
                core::pick_rowwise(op, x.view(), y.view(), span_of(out));
            }
            store(df, name, out);
        }
        return df;
    }
    py::list pair;
    pair.append(x.series);
    pair.append(y.series);
    df[name] = numpy().attr(op == core::Pick::minimum ? "min" : "max")(pair, "axis"_a = 0);
    return df;
}

py::object comparison(core::Comparison op, const char *label, py::object df, py::object a,
                      py::object b) {
    py::str name = two_operand_name(label, a, b);
    Column x = column(df, a);
    Column y = column(df, b);
    if (x.native() && x.kind == y.kind && x.size == y.size) {
        auto out = output<bool>(x.size);
        {
            py::gil_scoped_release release;
            core::compare_rowwise(op, x.view(), y.view(), span_of(out));
        }
        store(df, name, out);
        return df;
    }
    const int py_op = op == core::Comparison::greater ? Py_GT
                      : op == core::Comparison::less  ? Py_LT
                                                      : Py_EQ;
    df[name] = compare(x.series, y.series, py_op);
    return df;
}

py::object orop(py::object df, py::object col1, py::object col2) {
    py::str name = two_operand_name("orop", col1, col2);
    Column x = column(df, col1);
    Column y = column(df, col2);
    if (x.kind == Kind::f64 && y.kind == Kind::f64 && x.size == y.size) {
        auto out = output<bool>(x.size);
        if (part::engine()) {
            auto sums = output<double>(x.size);
            double *o = sums.mutable_data();
            for (std::size_t i = 0; i < x.size; ++i) {
                o[i] = x.f64()[i] + y.f64()[i];
            }
            py::object m = part::ask("mean", sums);
            if (!m.is_none()) {
                const double mean = m.cast<double>();
                {
                    py::gil_scoped_release release;
                    core::orop_with_mean(x.f64(), y.f64(), mean, span_of(out));
                }
                store(df, name, out);
                return df;
            }
        }
        {
            py::gil_scoped_release release;
            core::orop_rowwise(x.f64(), y.f64(), span_of(out));
        }
        store(df, name, out);
        return df;
    }
    py::object sum_series = checked(PyNumber_Add(x.series.ptr(), y.series.ptr()));
    py::object mean_val = part::ask("mean", sum_series.attr("to_numpy")());
    if (mean_val.is_none()) {
        mean_val = numpy().attr("mean")(sum_series);
    }
    py::object left = compare(x.series, mean_val, Py_GT);
    py::object right = compare(y.series, mean_val, Py_GT);
    df[name] = checked(PyNumber_Or(left.ptr(), right.ptr()));
    return df;
}

// ---- text combination -----------------------------------------------------

py::object combine(py::object df, py::object group_col1, py::object group_col2) {
    py::str name = two_operand_name("combine", group_col1, group_col2);
    Column x = column(df, group_col1);
    Column y = column(df, group_col2);
    // The text of each value is Python's str() of it ("1", "1.0", "nan").
    py::object text_dtype = pandas().attr("Series")(py::make_tuple("_")).attr("dtype");
    if (x.native() && y.native() && x.size == y.size) {
        const std::size_t n = x.size;
        std::vector<std::string> texts(n);
        {
            py::gil_scoped_release release;
            const NumericColumn a = x.view();
            const NumericColumn b = y.view();
            for (std::size_t i = 0; i < n; ++i) {
                std::string &t = texts[i];
                t = a.f64 != nullptr ? core::python_float_text(a.f64[i])
                                     : core::python_int_text(a.i64[i]);
                t += '_';
                t += b.f64 != nullptr ? core::python_float_text(b.f64[i])
                                      : core::python_int_text(b.i64[i]);
            }
        }
        py::array objects = numpy().attr("empty")(n, "dtype"_a = "object");
        auto **slots = static_cast<PyObject **>(objects.mutable_data());
        for (std::size_t i = 0; i < n; ++i) {
            PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(texts[i].size()), 127);
            if (text == nullptr) {
                throw py::error_already_set();
            }
            std::memcpy(PyUnicode_1BYTE_DATA(text), texts[i].data(), texts[i].size());
            Py_XDECREF(slots[i]);
            slots[i] = text;
        }
        df[name] =
            pandas().attr("Series")(objects, "index"_a = df.attr("index"), "dtype"_a = text_dtype);
        return df;
    }
    py::object str_type = py::reinterpret_borrow<py::object>((PyObject *)&PyUnicode_Type);
    py::object left = x.series.attr("map")(str_type);
    py::object right = y.series.attr("map")(str_type);
    py::object joined = checked(PyNumber_Add(left.ptr(), py::str("_").ptr()));
    df[name] = checked(PyNumber_Add(joined.ptr(), right.ptr()));
    return df;
}

// ---- one-column transforms ------------------------------------------------

// Values through a NumPy ufunc in place: NumPy's vectorised exp/log/sin/cos
// are what the operators' expressions evaluate to, bit for bit.
void ufunc_inplace(const char *ufunc, py::array_t<double> &values) {
    numpy().attr(ufunc)(values, "out"_a = values);
}

py::object sine_like(const char *label, const char *ufunc, py::object df, py::object num_col) {
    py::str name = one_operand_name(label, num_col);
    Column x = column(df, num_col);
    if (x.native()) {
        store(df, name, numpy().attr(ufunc)(x.values));
        return df;
    }
    df[name] = numpy().attr(ufunc)(x.series);
    return df;
}

py::object round_op(py::object df, py::object num_col) {
    py::str name = one_operand_name("round", num_col);
    Column x = column(df, num_col);
    if (x.kind == Kind::f64) {
        // np.round with no decimals is rint, whose loops NumPy dispatches to
        // the widest instructions of the machine.
        auto out = output<double>(x.size);
        numpy().attr("rint")(x.values, "out"_a = out);
        store(df, name, out);
        return df;
    }
    df[name] = numpy().attr("round")(x.series);
    return df;
}

py::object quadratic(py::object df, py::object num_col) {
    py::str name = one_operand_name("quadratic", num_col);
    Column x = column(df, num_col);
    if (x.kind == Kind::f64) {
        auto out = output<double>(x.size);
        {
            py::gil_scoped_release release;
            core::square(x.f64(), span_of(out));
        }
        store(df, name, out);
    } else if (x.kind == Kind::i64) {
        auto out = output<std::int64_t>(x.size);
        {
            py::gil_scoped_release release;
            core::square(x.i64(), span_of(out));
        }
        store(df, name, out);
    } else {
        df[name] = checked(PyNumber_Power(x.series.ptr(), py::int_(2).ptr(), Py_None));
    }
    return df;
}

using ColumnKernel = void (*)(NumericColumn, std::span<double>);
using MinimumKernel = void (*)(NumericColumn, core::ColumnMinimum, std::span<double>);

// The column's skipna minimum as the engine gives it for the whole frame.
std::optional<core::ColumnMinimum> frame_minimum(const Column &x) {
    py::object lo = part::ask("column_min", x.values);
    if (lo.is_none()) {
        return std::nullopt;
    }
    return core::ColumnMinimum{py::tuple(lo)[0].cast<double>(),
                               py::tuple(lo)[1].cast<std::int64_t>()};
}

// A kernel over the column, optionally followed by a NumPy ufunc in place.
py::object transform(const char *label, ColumnKernel kernel, const char *ufunc, py::object df,
                     py::object num_col, py::object (*fallback)(const Column &),
                     MinimumKernel above = nullptr) {
    py::str name = one_operand_name(label, num_col);
    Column x = column(df, num_col);
    if (!x.native()) {
        if (part::engine()) {
            part::ask("unsupported", label, x.series.attr("dtype"));
        }
        df[name] = fallback(x);
        return df;
    }
    auto out = output<double>(x.size);
    std::optional<core::ColumnMinimum> lo;
    if (above != nullptr) {
        lo = frame_minimum(x);
    }
    if (lo) {
        py::gil_scoped_release release;
        above(x.view(), *lo, span_of(out));
    } else {
        py::gil_scoped_release release;
        kernel(x.view(), span_of(out));
    }
    if (ufunc != nullptr) {
        ufunc_inplace(ufunc, out);
    }
    store(df, name, out);
    return df;
}

py::object series_minus_min(const Column &x) {
    return checked(PyNumber_Subtract(x.series.ptr(), numpy().attr("min")(x.series).ptr()));
}

py::object square_root(py::object df, py::object num_col) {
    return transform(
        "square_root", core::sqrt_above_min, nullptr, df, num_col,
        [](const Column &x) { return numpy().attr("sqrt")(series_minus_min(x)); },
        core::sqrt_above);
}

py::object log_op(py::object df, py::object num_col) {
    return transform(
        "log", core::log_argument, "log", df, num_col,
        [](const Column &x) {
            py::object shifted = checked(PyNumber_Add(py::float_(1e-06).ptr(), x.series.ptr()));
            py::object lo = numpy().attr("min")(x.series);
            return numpy().attr("log")(checked(PyNumber_Subtract(shifted.ptr(), lo.ptr())));
        },
        core::log_argument_above);
}

py::object residual(py::object df, py::object num_col) {
    return transform("residual", core::fractional_part, nullptr, df, num_col, [](const Column &x) {
        return py::object(numpy().attr("modf")(x.series)[py::int_(0)]);
    });
}

py::object sigmoid(py::object df, py::object num_col) {
    py::str name = one_operand_name("sigmoid", num_col);
    Column x = column(df, num_col);
    if (!x.native()) {
        // One value at a time, as the operator is defined.
        py::object np = numpy();
        py::cpp_function per_value([np](py::object v) {
            py::object e = np.attr("exp")(checked(PyNumber_Negative(v.ptr())));
            py::object denominator = checked(PyNumber_Add(py::int_(1).ptr(), e.ptr()));
            return checked(PyNumber_TrueDivide(py::int_(1).ptr(), denominator.ptr()));
        });
        df[name] = x.series.attr("apply")(per_value);
        return df;
    }
    auto out = output<double>(x.size);
    {
        py::gil_scoped_release release;
        core::negate(x.view(), span_of(out));
    }
    ufunc_inplace("exp", out);
    {
        py::gil_scoped_release release;
        core::one_over_one_plus(span_of(out));
    }
    store(df, name, out);
    return df;
}

py::object percentile(py::object df, py::object num_col) {
    if (part::engine()) {
        // ranks among every row of the frame
        Column x = column(df, num_col);
        if (!x.native()) {
            part::ask("unsupported", "percentile", x.series.attr("dtype"));
        } else if (py::object ranks = part::ask("percentile", x.values); !ranks.is_none()) {
            store(df, one_operand_name("percentile", num_col), ranks);
            return df;
        }
    }
    return transform(
        "percentile", core::percentile_rank, nullptr, df, num_col,
        [](const Column &x) { return py::object(x.series.attr("rank")("pct"_a = true)); });
}

// ---- whole-column transforms ----------------------------------------------

py::object softmax(py::object df, py::object col) {
    py::list one;
    one.append(col);
    py::str name = py::str("softmax###{}$$$").format(py::str("|||").attr("join")(one));
    Column x = column(df, col);
    if (x.native()) {
        auto out = output<double>(x.size);
        py::object hi = part::ask("softmax_max", x.values);
        if (hi.is_none()) {
            py::gil_scoped_release release;
            core::softmax_shift(x.view(), span_of(out));
        } else {
            const core::ColumnMaximum m{py::tuple(hi)[0].cast<double>(),
                                        py::tuple(hi)[1].cast<std::int64_t>()};
            py::gil_scoped_release release;
            core::softmax_shift_by(x.view(), m, span_of(out));
        }
        ufunc_inplace("exp", out);
        py::object total = part::ask("column_total", out);
        if (total.is_none()) {
            py::gil_scoped_release release;
            core::divide_by_sum(span_of(out));
        } else {
            const double t = total.cast<double>();
            py::gil_scoped_release release;
            core::divide_by(span_of(out), t);
        }
        store(df, name, out);
        return df;
    }
    if (part::engine()) {
        part::ask("unsupported", "softmax", x.series.attr("dtype"));
    }
    py::object values = x.series.attr("values");
    py::object shifted =
        checked(PyNumber_Subtract(values.ptr(), numpy().attr("max")(values).ptr()));
    py::object e_x = numpy().attr("exp")(shifted);
    df[name] = checked(PyNumber_TrueDivide(e_x.ptr(), e_x.attr("sum")().ptr()));
    return df;
}

py::object entropy(py::object df, py::object col) {
    py::str name = one_operand_name("entropy", col);
    Column x = column(df, col);
    if (x.native()) {
        if (py::object v = part::ask("entropy", x.values); !v.is_none()) {
            df[name] = numpy().attr("float64")(v);
            return df;
        }
        double value = 0.0;
        {
            py::gil_scoped_release release;
            value = core::entropy_of_codes(x.view());
        }
        df[name] = numpy().attr("float64")(value);
        return df;
    }
    if (part::engine()) {
        part::ask("unsupported", "entropy", x.series.attr("dtype"));
    }
    py::object encoder = py::module_::import("sklearn.preprocessing").attr("LabelEncoder")();
    py::object codes = encoder.attr("fit_transform")(x.series);
    df[name] = py::module_::import("scipy.stats").attr("entropy")(codes);
    return df;
}

std::string docstring(const char *text) { return std::string("\n    ") + text + "\n    "; }

}  // namespace

void register_elementwise(py::module_ &m) {
    auto two = [&m](const char *fname, auto fn, const char *a, const char *b) {
        m.def(fname, fn, py::arg("df"), py::arg(a), py::arg(b));
    };
    two(
        "add",
        [](py::object df, py::object a, py::object b) {
            return arithmetic(core::Arithmetic::add, "add", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "subtract",
        [](py::object df, py::object a, py::object b) {
            return arithmetic(core::Arithmetic::subtract, "subtract", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "multiply",
        [](py::object df, py::object a, py::object b) {
            return arithmetic(core::Arithmetic::multiply, "multiply", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "divide",
        [](py::object df, py::object a, py::object b) {
            return arithmetic(core::Arithmetic::divide, "divide", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "minimize",
        [](py::object df, py::object a, py::object b) {
            return pick(core::Pick::minimum, "minimize", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "maximize",
        [](py::object df, py::object a, py::object b) {
            return pick(core::Pick::maximum, "maximize", df, a, b);
        },
        "num_col1", "num_col2");
    two(
        "bigger",
        [](py::object df, py::object a, py::object b) {
            return comparison(core::Comparison::greater, "bigger", df, a, b);
        },
        "col1", "col2");
    two(
        "smaller",
        [](py::object df, py::object a, py::object b) {
            return comparison(core::Comparison::less, "smaller", df, a, b);
        },
        "col1", "col2");
    two(
        "equal",
        [](py::object df, py::object a, py::object b) {
            return comparison(core::Comparison::equal, "equal", df, a, b);
        },
        "col1", "col2");
    two("orop", &orop, "col1", "col2");
    two("combine", &combine, "group_col1", "group_col2");

    const std::string percentile_doc = docstring("tools for percentile encode");
    m.def(
        "sine", [](py::object df, py::object c) { return sine_like("sine", "sin", df, c); },
        py::arg("df"), py::arg("num_col"), py::doc(docstring("tools for sine encode").c_str()));
    m.def(
        "cosine", [](py::object df, py::object c) { return sine_like("cosine", "cos", df, c); },
        py::arg("df"), py::arg("num_col"), py::doc(docstring("tools for cosine encode").c_str()));
    m.def("round", &round_op, py::arg("df"), py::arg("num_col"), py::doc(percentile_doc.c_str()));
    m.def("quadratic", &quadratic, py::arg("df"), py::arg("num_col"),
          py::doc(percentile_doc.c_str()));
    m.def("square_root", &square_root, py::arg("df"), py::arg("num_col"),
          py::doc(docstring("tools for square_root encode").c_str()));
    m.def("log", &log_op, py::arg("df"), py::arg("num_col"), py::doc(percentile_doc.c_str()));
    m.def("residual", &residual, py::arg("df"), py::arg("num_col"),
          py::doc(percentile_doc.c_str()));
    m.def("sigmoid", &sigmoid, py::arg("df"), py::arg("num_col"), py::doc(percentile_doc.c_str()));
    m.def("percentile", &percentile, py::arg("df"), py::arg("num_col"),
          py::doc(percentile_doc.c_str()));
    m.def("softmax", &softmax, py::arg("df"), py::arg("col"));
    m.def("entropy", &entropy, py::arg("df"), py::arg("col"),
          py::doc(docstring("tools for entropy encode").c_str()));
}

}  // namespace brinvale::tavrin
