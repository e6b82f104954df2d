// Window, lag and calendar operators.  float64 columns are read in place,
// others converted to float64 once; the windows run in the core kernels with
// the GIL released.  Results are written by position, so every value lands on
// its own row whatever labels the frame's index carries.
#include <cstdint>
#include <optional>
#include <string>

#include <pybind11/eval.h>

#include "brinvale/windows.hpp"
#include "columns.hpp"
#include "partition.hpp"
#include "tavrin.hpp"

namespace brinvale::tavrin {

namespace {

namespace core = brinvale::core;
using core::PairStat;
using core::WindowStat;

// pandas' own expressions, for columns whose dtype the kernels do not take
// (pandas then computes the result or raises its own error).
constexpr const char *kFallback = R"(
import numpy as np

_APPLY = {
    "product": lambda w: w.prod(),
    "ts_argmax": lambda w: w.argmax(),
    "ts_argmin": lambda w: w.argmin(),
}
_METHOD = {"tsum": "sum", "ts_min": "min", "ts_max": "max", "ts_rank": "rank", "stddev": "std"}


def fallback(df, op, col, d, group_id):
    grouped = group_id is not None
    obj = df.groupby(group_id)[col] if grouped else df[col]
    if op == "delta":
        return obj.diff(d) if grouped else df[col] - df[col].shift(d)
    r = obj.rolling(d)
    if op == "decay_linear":
        # A window longer than the frame is never full, so its weights are
        # never used; building them could ask for any amount of memory.
        w = np.linspace(0.1, 1, d) if d <= len(df) else None
        res = r.apply(lambda x: (x * w).sum())
    elif op in _APPLY:
        res = r.apply(_APPLY[op])
    elif op == "ts_mean":
        res = r.sum() if grouped else r.mean()
    else:
        res = getattr(r, _METHOD[op])()
    return res.reset_index(0, drop=True) if grouped else res


def crossrank_fallback(df, col1, col2):
    return df.groupby(col1)[col2].transform("rank")
)";

// Kept for the life of the process: a static py::object would be released
// by the C++ exit handlers after the interpreter has finalised.
py::object fallback_namespace() {
    static py::handle ns;
    if (!ns) {
        py::dict d;
        py::exec(kFallback, d);
        ns = d.release();
    }
    return py::reinterpret_borrow<py::object>(ns);
}

py::module_ pandas() { return py::module_::import("pandas"); }

// operator + "###" + operands joined by "|||" + "$$$", concatenated as
// Python does, so a non-text operand raises the same TypeError.
py::object feature_name(const char *op, std::initializer_list<py::handle> operands) {
    py::object name = py::str(std::string(op) + "###");
    bool first = true;
    for (py::handle part : operands) {
        if (!first) {
            name =
                py::reinterpret_steal<py::object>(PyNumber_Add(name.ptr(), py::str("|||").ptr()));
        }
        PyObject *joined = PyNumber_Add(name.ptr(), part.ptr());
        if (joined == nullptr) {
            throw py::error_already_set();
        }
        name = py::reinterpret_steal<py::object>(joined);
        first = false;
    }
    return py::reinterpret_steal<py::object>(PyNumber_Add(name.ptr(), py::str("$$$").ptr()));
}

// The configured group column, read afresh at every call; None without one.
// A result folder whose pipeline is running supplies its own configuration.
py::object configured_group() {
    if (part::engine()) {
        return part::ask("group");
    }
    py::module_ quillet = py::module_::import("module.common.quillet");
    py::object active = quillet.attr("_active_config").attr("get")();
    if (!active.is_none()) {
        return active["Feature"].attr("get")("GroupIndex", py::none());
    }
    py::object task_config = quillet.attr("TaskConfig");
    py::object feature = task_config().attr("cfg")["Feature"];
    if (feature.attr("get")("GroupIndex", py::none()).is_none()) {
        return py::none();
    }
    return task_config().attr("cfg")["Feature"]["GroupIndex"];
}

std::int64_t window_length(py::handle d) {
    py::object n = py::module_::import("builtins").attr("int")(d);
    const long long v = PyLong_AsLongLong(n.ptr());
    if (v == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return v;
}

std::uint64_t rolling_window(std::int64_t d) {
    if (d < 0) {
        bind::raise(PyExc_ValueError, "window must be an integer 0 or greater");
    }
    return static_cast<std::uint64_t>(d);
}

py::object column(py::handle df, py::handle col) { return df.attr("__getitem__")(col); }

bool kernel_dtype(py::handle series, bool allow_bool = true) {
    py::object dtype = series.attr("dtype");
    py::object types = pandas().attr("api").attr("types");
    if (!py::bool_(types.attr("is_numeric_dtype")(dtype))) {
        return false;
    }
    return allow_bool || !py::bool_(types.attr("is_bool_dtype")(dtype));
}

// The operator's column computed over the whole frame, when the frame is one
// part of it (rows of a group or of a window may lie in other parts).
bool from_engine(const char *op, py::handle df, py::handle name,
                 std::initializer_list<py::handle> operands) {
    if (!part::engine()) {
        return false;
    }
    py::list args;
    for (py::handle o : operands) {
        args.append(o);
    }
    py::object values = part::ask("window", op, df, name, args);
    if (values.is_none()) {
        return false;
    }
    df.attr("__setitem__")(
        name, pandas().attr("Series")(values, "index"_a = df.attr("index"), "copy"_a = false));
    return true;
}

using columns::float_values;
using columns::group_codes;
using columns::GroupCodes;
using columns::new_column;
using columns::view;
using columns::view_mut;

void store(py::handle df, py::handle name, py::handle values) {
    df.attr("__setitem__")(name, values);
}

// The operand column, read as pandas' expression reads it: grouped,
// `df.groupby(group_id)[col]` reads the group column first.  Missing columns
// raise KeyError before the window text is converted.
struct Operand {
    py::object series;
    std::optional<GroupCodes> codes;
};

Operand operand(py::handle df, py::handle col, py::handle group_id) {
    Operand o;
    if (group_id.is_none()) {
        o.series = column(df, col);
        return o;
    }
    py::object keys = column(df, group_id);
    o.series = column(df, col);
    o.codes = group_codes(keys);
    return o;
}

// One-column window operators.
py::object window_op(const char *label, const char *op, WindowStat stat, WindowStat grouped_stat,
                     py::object df, py::object col, py::object d) {
    py::object name = feature_name(label, {col, d});
    if (from_engine(op, df, name, {col, d})) {
        return df;
    }
    const bool decay = stat == WindowStat::DecayLinear;
    std::int64_t length = 0;
    if (decay) {
        // the weights, linspace(0.1, 1, int(d)), come before the grouping test
        length = window_length(d);
        if (length < 0) {
            bind::raise(PyExc_ValueError,
                        "Number of samples, " + std::to_string(length) + ", must be non-negative.");
        }
    }
    py::object group_id = configured_group();
    Operand o = operand(df, col, group_id);
    py::object series = o.series;
    if (!decay) {
        length = window_length(d);
    }
    const std::uint64_t window = rolling_window(length);
    std::optional<GroupCodes> &codes = o.codes;
    if (codes) {
        stat = grouped_stat;
    }
    if (!kernel_dtype(series)) {
        store(df, name, fallback_namespace()["fallback"](df, op, col, py::int_(length), group_id));
        return df;
    }
    if (window == 0 && (stat == WindowStat::ArgMax || stat == WindowStat::ArgMin)) {
        bind::raise(PyExc_ValueError, stat == WindowStat::ArgMax
                                          ? "attempt to get argmax of an empty sequence"
                                          : "attempt to get argmin of an empty sequence");
    }
    auto x = float_values(series);
    py::array_t<double> out = new_column(static_cast<std::size_t>(x.size()));
    {
        py::gil_scoped_release release;
        if (codes) {
            core::rolling_grouped(stat, view(x), view(codes->codes), codes->ngroups, window,
                                  view_mut(out));
        } else {
            core::rolling(stat, view(x), window, view_mut(out));
        }
    }
    columns::store(df, name, out);
    return df;
}

py::object shift_op(const char *label, py::object df, py::object col, py::object d) {
    py::object name = feature_name(label, {col, d});
    if (from_engine(label, df, name, {col, d})) {
        return df;
    }
    py::object group_id = configured_group();
    Operand o = operand(df, col, group_id);
    py::object series = o.series;
    const std::int64_t lag = window_length(d);
    std::optional<GroupCodes> &codes = o.codes;
    if (lag == 0 && std::string(label) == "delay") {
        // groupby's shift(0) keeps every row, those without a group too, and
        // the column's dtype
        store(df, name, series.attr("copy")());
        return df;
    }
    if (columns::is_float64(series)) {
        auto x = float_values(series);
        py::array_t<double> out = new_column(static_cast<std::size_t>(x.size()));
        {
            py::gil_scoped_release release;
            if (codes) {
                core::shift(view(x), view(codes->codes), codes->ngroups, lag, false, view_mut(out));
            } else {
                core::shift(view(x), {}, 0, lag, false, view_mut(out));
            }
        }
        columns::store(df, name, out);
        return df;
    }
    // Any other dtype keeps pandas' own take semantics (integers become
    // floats only where a value is missing, text stays text).
    const auto n = static_cast<py::ssize_t>(py::len(series));
    py::array_t<std::int64_t> src(n);
    {
        py::gil_scoped_release release;
        if (codes) {
            core::shift_sources(view(codes->codes), codes->ngroups, lag, view_mut(src));
        } else {
            core::shift_sources({}, 0, lag, view_mut(src));
        }
    }
    py::object take = pandas().attr("api").attr("extensions").attr("take");
    store(df, name, take(series.attr("array"), src, "allow_fill"_a = true));
    return df;
}

py::object delta(py::object df, py::object col, py::object d) {
    py::object name = feature_name("delta", {col, d});
    if (from_engine("delta", df, name, {col, d})) {
        return df;
    }
    py::object group_id = configured_group();
    Operand o = operand(df, col, group_id);
    py::object series = o.series;
    const std::int64_t lag = window_length(d);
    std::optional<GroupCodes> &codes = o.codes;
    if (!kernel_dtype(series, false)) {
        store(df, name,
              fallback_namespace()["fallback"](df, "delta", col, py::int_(lag), group_id));
        return df;
    }
    const char kind = columns::dtype_kind(series);
    const bool integral = kind == 'i' || kind == 'u';
    // groupby's diff subtracts a float32 shift from int8 and int16 columns
    const std::string dtype = py::str(series.attr("dtype")).cast<std::string>();
    const bool to_float32 = codes && (dtype == "int8" || dtype == "int16");
    if (lag == 0) {
        // The column minus itself, every row (groupby's shift(0) keeps the rows
        // without a group), in the column's dtype.
        if (integral) {
            py::object other = to_float32 ? series.attr("astype")("float32") : series;
            store(df, name, series.attr("__sub__")(other));
            return df;
        }
        codes.reset();
    }
    auto x = float_values(series);
    py::array_t<double> out = new_column(static_cast<std::size_t>(x.size()));
    {
        py::gil_scoped_release release;
        if (codes) {
            core::shift(view(x), view(codes->codes), codes->ngroups, lag, true, view_mut(out));
        } else {
            core::shift(view(x), {}, 0, lag, true, view_mut(out));
        }
    }
    if (to_float32) {
        store(df, name,
              pandas().attr("Series")(out.attr("astype")("float32"), "index"_a = df.attr("index"),
                                      "copy"_a = false));
        return df;
    }
    columns::store(df, name, out);
    return df;
}

py::object pair_op(const char *label, PairStat stat, py::object df, py::object col1,
                   py::object col2, py::object d) {
    py::object name = feature_name(label, {col1, col2, d});
    if (from_engine(label, df, name, {col1, col2, d})) {
        return df;
    }
    py::object group_id = configured_group();
    // df[col1].rolling(int(d)).corr(df[col2]): the second column is read last
    Operand o = operand(df, col1, group_id);
    py::object s1 = o.series;
    const std::int64_t length = window_length(d);
    const std::uint64_t window = rolling_window(length);
    py::object s2 = column(df, col2);
    std::optional<GroupCodes> &codes = o.codes;
    for (py::handle s : {s1, s2}) {
        if (!kernel_dtype(s)) {
            bind::raise(PyExc_TypeError, "ops for Rolling for this dtype " +
                                             py::str(s.attr("dtype")).cast<std::string>() +
                                             " are not implemented");
        }
    }
    auto x = float_values(s1);
    auto y = float_values(s2);
    py::array_t<double> out = new_column(static_cast<std::size_t>(x.size()));
    {
        py::gil_scoped_release release;
        if (codes) {
            core::rolling_pair_grouped(stat, view(x), view(y), view(codes->codes), codes->ngroups,
                                       window, view_mut(out));
        } else {
            core::rolling_pair(stat, view(x), view(y), window, view_mut(out));
        }
    }
    columns::store(df, name, out);
    return df;
}

py::object crossrank(py::object df, py::object col1, py::object col2) {
    py::object name = feature_name("crossrank", {col1, col2});
    if (from_engine("crossrank", df, name, {col1, col2})) {
        return df;
    }
    py::object keys = column(df, col1);
    py::object values = column(df, col2);
    if (!kernel_dtype(values)) {
        store(df, name, fallback_namespace()["crossrank_fallback"](df, col1, col2));
        return df;
    }
    GroupCodes codes = group_codes(keys);
    auto x = float_values(values);
    py::array_t<double> out = new_column(static_cast<std::size_t>(x.size()));
    {
        py::gil_scoped_release release;
        core::group_average_rank(view(x), view(codes.codes), codes.ngroups, view_mut(out));
    }
    columns::store(df, name, out);
    return df;
}

py::object calendar(const char *label, const char *part, bool silent_missing, py::object df,
                    py::object tim_col) {
    if (!py::bool_(df.attr("columns").attr("__contains__")(tim_col))) {
        if (silent_missing) {
            return df;
        }
        bind::raise_object(PyExc_KeyError, py::str(tim_col) + py::str(" not in the columns"));
    }
    try {
        store(df, tim_col, pandas().attr("to_datetime")(column(df, tim_col)));
    } catch (py::error_already_set &) {
        return df;  // unparseable dates add no feature
    }
    py::object values = column(df, tim_col).attr("dt").attr(part);
    py::object name = py::str(std::string(label) + "@@@") + py::str(tim_col);
    store(df, name, values);
    return df;
}

constexpr const char *kCalendarDoc[] = {
    "\n    Converts the datetime column to the day of the year\n    \n    return:\n        df\n   "
    " ",
    "\n    Converts the datatime column to the day of the week\n    \n    return:\n        df\n   "
    " ",
    "\n    Converts the datatime column to the month of the year\n    \n    return:\n        df\n  "
    "  ",
    "\n    Converts the datatime column to the year\n    \n    return:\n        df\n    ",
};

}  // namespace

void register_timeseries(py::module_ &m) {
    auto one = [&m](const char *fname, const char *label, WindowStat stat,
                    std::optional<WindowStat> grouped = std::nullopt) {
        const WindowStat gstat = grouped.value_or(stat);
        m.def(
            fname,
            [label, fname, stat, gstat](py::object df, py::object col, py::object d) {
                return window_op(label, fname, stat, gstat, df, col, d);
            },
            py::arg("df"), py::arg("col"), py::arg("d"));
    };
    m.def(
        "delay",
        [](py::object df, py::object col, py::object d) { return shift_op("delay", df, col, d); },
        py::arg("df"), py::arg("col"), py::arg("d"));
    m.def(
        "ts_o",
        [](py::object df, py::object col, py::object d) { return shift_op("ts_o", df, col, d); },
        py::arg("df"), py::arg("col"), py::arg("d"));
    m.def("delta", &delta, py::arg("df"), py::arg("col"), py::arg("d"));
    one("tsum", "tsum", WindowStat::Sum);
    // Grouped, the mean operator gives the window sums.
    one("ts_mean", "ts_mean", WindowStat::Mean, WindowStat::Sum);
    one("ts_min", "ts_min", WindowStat::Min);
    one("ts_max", "ts_max", WindowStat::Max);
    one("ts_rank", "ts_rank", WindowStat::Rank);
    // The standard deviation is stored under the rank's label.
    one("stddev", "ts_rank", WindowStat::Std);
    one("product", "product", WindowStat::Prod);
    one("ts_argmax", "ts_argmax", WindowStat::ArgMax);
    one("ts_argmin", "ts_argmin", WindowStat::ArgMin);
    one("decay_linear", "decay_linear", WindowStat::DecayLinear);
    m.def(
        "tcorrelation",
        [](py::object df, py::object col1, py::object col2, py::object d) {
            return pair_op("tcorrelation", PairStat::Corr, df, col1, col2, d);
        },
        py::arg("df"), py::arg("col1"), py::arg("col2"), py::arg("d"));
    m.def(
        "tcorvariance",
        [](py::object df, py::object col1, py::object col2, py::object d) {
            return pair_op("tcorvariance", PairStat::Cov, df, col1, col2, d);
        },
        py::arg("df"), py::arg("col1"), py::arg("col2"), py::arg("d"));
    m.def("crossrank", &crossrank, py::arg("df"), py::arg("col1"), py::arg("col2"));
    m.def(
        "indneutralize", [](py::object, py::object, py::object) { return py::none(); },
        py::arg("df"), py::arg("col"), py::arg("d"));
    m.def(
        "day_of_year",
        [](py::object df, py::object c) {
            return calendar("day_of_year", "day_of_year", true, df, c);
        },
        py::arg("df"), py::arg("tim_col"), py::doc(kCalendarDoc[0]));
    m.def(
        "day_of_week",
        [](py::object df, py::object c) {
            return calendar("day_of_week", "day_of_week", false, df, c);
        },
        py::arg("df"), py::arg("tim_col"), py::doc(kCalendarDoc[1]));
    m.def(
        "month",
        [](py::object df, py::object c) { return calendar("month", "month", false, df, c); },
        py::arg("df"), py::arg("tim_col"), py::doc(kCalendarDoc[2]));
    m.def(
        "year", [](py::object df, py::object c) { return calendar("year", "year", false, df, c); },
        py::arg("df"), py::arg("tim_col"), py::doc(kCalendarDoc[3]));
}

}  // namespace brinvale::tavrin
