// Group statistics with training records.  Keys of any type are turned into
// integer codes by pandas' factorize (jointly with the keys of a record, so
// that both sides share one code space); counting, combining with the record
// and the per-row mapping run in the core over those codes.  Every result
// has exactly one row per input row, in input order, with a fresh 0..n-1
// index.  Records are read and written in the shapes the platform's
// training runs store (data frames, named series, {"data", "length"}).
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brinvale/group_columns.hpp"
#include "brinvale/group_keys.hpp"
#include "brinvale/groupstats.hpp"
#include "brinvale/stats.hpp"
#include "columns.hpp"
#include "partition.hpp"
#include "tavrin.hpp"

namespace brinvale::tavrin {

namespace {

namespace core = brinvale::core;
using core::GroupStat;
constexpr double kNaN = NAN;

py::module_ pd() { return py::module_::import("pandas"); }
py::module_ np() { return py::module_::import("numpy"); }

template <typename T, int Flags>
std::span<const T> view(const py::array_t<T, Flags> &a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}
template <typename T>
std::span<T> view_mut(py::array_t<T> &a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}
template <typename T>
py::array_t<T> to_array(const std::vector<T> &v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::object concat_text(std::initializer_list<py::handle> parts) {
    py::object s = py::str("");
    for (py::handle p : parts) {
        PyObject *r = PyNumber_Add(s.ptr(), p.ptr());
        if (r == nullptr) {
            throw py::error_already_set();
        }
        s = py::reinterpret_steal<py::object>(r);
    }
    return s;
}

py::object feature_name(const char *op, py::list operands) {
    return concat_text(
        {py::str(std::string(op) + "###"), py::str("|||").attr("join")(operands), py::str("$$$")});
}

py::object column(py::handle df, py::handle col) { return df.attr("__getitem__")(col); }

struct Keys {
    py::array_t<std::int64_t> codes;
    std::int64_t ngroups = 0;
    py::object uniques;      // one key per code, in the column's dtype
    core::KeyCodes summary;  // rows and first row per code, rows without a key
};

std::string dtype_kind(py::handle series) {
    py::object dt = series.attr("dtype");
    if (!py::isinstance(dt, np().attr("dtype"))) {
        return "";
    }
    return py::str(dt.attr("kind")).cast<std::string>() +
           std::to_string(dt.attr("itemsize").cast<int>());
}

bool text_dtype(py::handle series) {
    py::object dt = series.attr("dtype");
    return py::isinstance(dt, pd().attr("StringDtype")) || dtype_kind(series) == "O8";
}

// The key of every code, taken from the column at the code's first row so
// that the keys keep its dtype.
py::object keys_at_first_rows(py::handle series, const core::KeyCodes &summary) {
    py::object taken = series.attr("take")(to_array(summary.first));
    return pd().attr("Index")(taken).attr("rename")(py::none());
}

// `missing_group`: missing keys form one group of their own (as counting
// does) instead of belonging to no group (as groupby does).  Numbers and
// text are coded natively; keys of other types, and object columns holding
// other values than text, go through pandas' factorize and its equality of
// Python objects.
Keys factorize(py::handle values, bool sort, bool missing_group, bool with_keys = true) {
    py::object series = pd().attr("Series")(values, "copy"_a = false);
    const std::string kind = dtype_kind(series);
    const bool integral = kind == "i8" || kind == "i4" || kind == "i2" || kind == "i1" ||
                          kind == "u4" || kind == "u2" || kind == "u1";
    const bool floating = kind == "f8" || kind == "f4";
    const bool text = !integral && !floating && text_dtype(series);
    const auto n = static_cast<py::ssize_t>(py::len(series));
    Keys k;
    bool coded = false;
    if (integral) {
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> x(
            series.attr("to_numpy")());
        k.codes = py::array_t<std::int64_t>(n);
        py::gil_scoped_release release;
        k.summary = core::code_keys(view(x), sort, view_mut(k.codes));
        coded = true;
    } else if (floating) {
        py::array_t<double, py::array::c_style | py::array::forcecast> x(series.attr("to_numpy")());
        k.codes = py::array_t<std::int64_t>(n);
        py::gil_scoped_release release;
        k.summary = core::code_keys(view(x), sort, missing_group, view_mut(k.codes));
        coded = true;
    } else if (text) {
        if (std::optional<columns::TextViews> t = columns::text_views(series)) {
            k.codes = py::array_t<std::int64_t>(n);
            py::gil_scoped_release release;
            k.summary = core::code_keys(std::span<const std::string_view>(t->views), sort,
                                        missing_group, view_mut(k.codes));
            coded = true;
        }
    }
    if (!coded) {
        // pandas' factorize looks for missing values once more when they are
        // to form a group; in order of first appearance that group is placed
        // here.
        const bool own_missing = text && missing_group && !sort;
        py::object input = text ? series.attr("to_numpy")() : series;
        py::tuple res = pd().attr("factorize")(input, "sort"_a = sort,
                                               "use_na_sentinel"_a = !missing_group || own_missing);
        k.codes = py::array_t<std::int64_t>(
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(res[0]).attr(
                "copy")());
        std::int64_t ngroups = static_cast<std::int64_t>(py::len(res[1]));
        py::gil_scoped_release release;
        if (own_missing) {
            ngroups = core::missing_as_group(view_mut(k.codes), ngroups);
        }
        k.summary = core::summarize_codes(view(k.codes), ngroups);
    }
    k.ngroups = k.summary.ngroups;
    if (with_keys) {
        k.uniques = keys_at_first_rows(series, k.summary);
    }
    return k;
}

// Codes of several key sequences in one code space; returns the codes of
// each part, and in `uniques` (when given) one key per code, as pandas'
// factorize of their concatenation gives them.  Numbers and text are coded
// natively; other keys go through pandas' concat and factorize.
std::vector<py::array_t<std::int64_t>> joint_codes(const std::vector<py::object> &parts,
                                                   bool missing_group, std::int64_t &ngroups,
                                                   py::object *uniques = nullptr) {
    const auto concatenated = [&parts] {
        py::list series;
        for (const py::object &p : parts) {
            series.append(pd().attr("Series")(np().attr("asarray")(p)));
        }
        return pd().attr("concat")(series, "ignore_index"_a = true);
    };
    py::array_t<std::int64_t> codes;
    if (std::optional<keycols::JointCodes> j = keycols::joint_key_codes(parts, missing_group)) {
        codes = j->codes;
        ngroups = j->ngroups;
        if (uniques != nullptr) {
            // the key of every code from its first row keeps the concatenation's dtype
            std::vector<std::int64_t> first;
            {
                py::gil_scoped_release release;
                first = core::first_rows(view(codes), ngroups);
            }
            *uniques = pd().attr("Index")(concatenated().attr("take")(to_array(first)))
                           .attr("rename")(py::none());
        }
    } else {
        py::tuple res = pd().attr("factorize")(concatenated(), "sort"_a = false,
                                               "use_na_sentinel"_a = !missing_group);
        codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(res[0]);
        ngroups = static_cast<std::int64_t>(py::len(res[1]));
        if (uniques != nullptr) {
            *uniques = res[1];
        }
    }
    std::vector<py::array_t<std::int64_t>> out;
    py::ssize_t offset = 0;
    for (const py::object &p : parts) {
        const auto len = static_cast<py::ssize_t>(py::len(p));
        py::array_t<std::int64_t> c(len);
        std::copy(codes.data() + offset, codes.data() + offset + len, c.mutable_data());
        out.push_back(c);
        offset += len;
    }
    return out;
}

// The frame's keys in the code space of a record's keys: only the distinct
// keys of the frame are matched with the record, the rows follow their codes.
// The last element holds the codes of the frame's rows.
// `frame_map`, when given, receives the joint code of each of the frame's
// own codes.
std::vector<py::array_t<std::int64_t>>
joint_with_frame(std::vector<py::object> record_parts, const Keys &frame, bool missing_group,
                 std::int64_t &ngroups, std::vector<std::int64_t> *frame_map = nullptr) {
    record_parts.push_back(frame.uniques);
    std::vector<py::array_t<std::int64_t>> parts =
        joint_codes(record_parts, missing_group, ngroups);
    py::array_t<std::int64_t> map = parts.back();
    if (frame_map != nullptr) {
        frame_map->assign(map.data(), map.data() + map.size());
    }
    py::array_t<std::int64_t> rows(frame.codes.size());
    std::copy(frame.codes.data(), frame.codes.data() + frame.codes.size(), rows.mutable_data());
    {
        py::gil_scoped_release release;
        core::remap_codes(view_mut(rows), view(map));
    }
    parts.back() = rows;
    return parts;
}

// The record's keys and the frame's distinct keys in one code space:
// returns the codes of the record parts, and in `frame_map` the joint code
// of each of the frame's own codes.  The frame's rows keep their own codes;
// tables in the joint space are read back through `frame_map`.
std::vector<py::array_t<std::int64_t>> joint_keys(std::vector<py::object> record_parts,
                                                  const Keys &frame, bool missing_group,
                                                  std::int64_t &ngroups,
                                                  std::vector<std::int64_t> &frame_map,
                                                  py::object *uniques = nullptr) {
    record_parts.push_back(frame.uniques);
    std::vector<py::array_t<std::int64_t>> parts =
        joint_codes(record_parts, missing_group, ngroups, uniques);
    const py::array_t<std::int64_t> &map = parts.back();
    frame_map.assign(map.data(), map.data() + map.size());
    parts.pop_back();
    return parts;
}

// A table over the joint codes read back for the frame's own codes.
std::vector<double> to_frame(const std::vector<double> &joint,
                             const std::vector<std::int64_t> &frame_map) {
    std::vector<double> out(frame_map.size());
    for (std::size_t c = 0; c < frame_map.size(); ++c) {
        out[c] = joint[static_cast<std::size_t>(frame_map[c])];
    }
    return out;
}

py::array_t<double> as_float(py::handle values) {
    py::object arr = pd().attr("Series")(values).attr("to_numpy")("dtype"_a = "float64",
                                                                  "na_value"_a = py::float_(kNaN));
    return py::array_t<double, py::array::c_style | py::array::forcecast>(
        np().attr("array")(arr, "dtype"_a = "float64", "copy"_a = true));
}

// The values of a column as float64 for reading: the column's own buffer
// when it already is one.
py::array_t<double> float_view(py::handle values) {
    py::object series = pd().attr("Series")(values, "copy"_a = false);
    if (dtype_kind(series) == "f8") {
        return py::array_t<double, py::array::c_style | py::array::forcecast>(
            series.attr("to_numpy")());
    }
    return as_float(series);
}

// numeric columns the kernels take: NumPy integers and floats
bool plain_numeric(py::handle series) {
    const std::string kind = py::str(series.attr("dtype").attr("kind")).cast<std::string>();
    const bool numpy_dtype = py::isinstance(series.attr("dtype"), np().attr("dtype"));
    return numpy_dtype && (kind == "i" || kind == "u" || kind == "f");
}
bool integer_dtype(py::handle series) {
    const std::string kind = py::str(series.attr("dtype").attr("kind")).cast<std::string>();
    return kind == "i" || kind == "u";
}

bool integer_valued_stat(GroupStat s) {
    return s == GroupStat::Min || s == GroupStat::Max || s == GroupStat::Sum ||
           s == GroupStat::First || s == GroupStat::Last;
}
bool count_stat(GroupStat s) {
    return s == GroupStat::Count || s == GroupStat::Size || s == GroupStat::Nunique;
}

// A float column as int64 when it holds whole numbers only and the source
// would have been integer in pandas.
py::object maybe_int(py::array_t<double> values, bool want_int) {
    if (!want_int || core::has_missing(view(values))) {
        return values;
    }
    return values.attr("astype")("int64");
}

// The statistic `stat` of `x` per group, over codes numbered in the sorted
// order of the keys (missing keys -1), as pandas' groupby numbers its groups:
// the order of the rows in those codes decides how pandas sums.  Not native
// statistics go through pandas' groupby over the codes.
// `sorted_runs`, when given, says whether pandas' sorted group numbering would
// never decrease along the rows (the native statistics then take codes in
// any numbering).
bool native_stat(const std::string &stat, py::handle series) {
    GroupStat gs{};
    return core::parse_group_stat(stat, gs) && plain_numeric(series);
}

std::vector<double> group_stat(const std::string &stat, py::handle series,
                               const py::array_t<std::int64_t> &codes, std::int64_t ngroups,
                               bool &int_valued, std::optional<bool> sorted_runs = std::nullopt) {
    GroupStat gs{};
    const bool native = core::parse_group_stat(stat, gs) && plain_numeric(series);
    int_valued = false;
    if (native) {
        int_valued = count_stat(gs) || (integer_valued_stat(gs) && integer_dtype(series));
        py::array_t<double> x = float_view(series);
        py::gil_scoped_release release;
        const bool runs = sorted_runs ? *sorted_runs : core::nondecreasing(view(codes));
        return core::group_reduce(gs, view(x), view(codes), ngroups, runs);
    }
    py::object keys =
        pd().attr("Series")(codes).attr("where")(pd().attr("Series")(codes).attr("__ge__")(0));
    py::object values = pd().attr("Series")(np().attr("asarray")(series.attr("array")));
    py::object res = values.attr("groupby")(keys).attr("agg")(stat);
    res = res.attr("reindex")(np().attr("arange")(ngroups).attr("astype")("float64"));
    py::array_t<double> arr = as_float(res);
    return std::vector<double>(arr.data(), arr.data() + arr.size());
}

std::vector<double> values_of(py::handle obj) {
    py::array_t<double> a = float_view(obj);
    return std::vector<double>(a.data(), a.data() + a.size());
}

// Record values per joint code; several record rows for one key (possible
// for missing keys of counted records) are summed or the first is kept.
std::vector<double> record_table(const py::array_t<std::int64_t> &codes,
                                 const std::vector<double> &values, std::int64_t ngroups,
                                 bool sum) {
    // A record read from a result folder may hold fewer values than keys.
    if (static_cast<std::size_t>(codes.size()) != values.size()) {
        bind::raise(PyExc_ValueError, "a training record holds " + std::to_string(values.size()) +
                                          " values for " + std::to_string(codes.size()) + " keys");
    }
    std::vector<double> t(static_cast<std::size_t>(ngroups), sum ? 0.0 : kNaN);
    std::vector<bool> seen(t.size(), false);
    for (py::ssize_t r = 0; r < codes.size(); ++r) {
        const std::int64_t c = codes.data()[r];
        if (c < 0) {
            continue;
        }
        const auto k = static_cast<std::size_t>(c);
        const double v = values[static_cast<std::size_t>(r)];
        if (sum) {
            t[k] += std::isnan(v) ? 0.0 : v;
        } else if (!seen[k]) {
            t[k] = v;
            seen[k] = true;
        }
    }
    return t;
}

// The frame's codes for a statistic of its rows, numbered by first
// appearance where the statistic is native, and whether pandas' group ids
// (keys in sorted order) never decrease along the rows.  Codes numbered by
// first appearance never decrease exactly when every group is one run of
// rows; those runs are in key order only if sorting keeps the codes in order.
Keys frame_keys(py::handle keys, const std::string &stat, py::handle x, bool &sorted_runs) {
    if (!native_stat(stat, x)) {
        Keys k = factorize(keys, true, false);
        sorted_runs = k.summary.nondecreasing;
        return k;
    }
    Keys k = factorize(keys, false, false);
    sorted_runs =
        k.summary.nondecreasing && factorize(keys, true, false, false).summary.nondecreasing;
    return k;
}

// A per-group table of the frame's own codes in the joint code space; joint
// codes without rows of the frame hold the statistic of an empty group.
std::vector<double> to_joint(const std::vector<double> &table,
                             const std::vector<std::int64_t> &frame_map, std::int64_t ngroups) {
    std::vector<double> out(static_cast<std::size_t>(ngroups), kNaN);
    for (std::size_t c = 0; c < table.size(); ++c) {
        out[static_cast<std::size_t>(frame_map[c])] = table[c];
    }
    return out;
}

py::array_t<double> map_rows(const std::vector<double> &table,
                             const py::array_t<std::int64_t> &codes) {
    py::array_t<double> out(codes.size());
    py::gil_scoped_release release;
    core::map_groups(table, view(codes), view_mut(out));
    return out;
}

// The feature column of a statistic table: mapped onto the rows by their
// codes, standardised over the column when asked, and its missing values
// filled with the column's median as the final fill of the frame would.
// On a part of a larger frame the column is standardised with the whole
// column's mean and deviation, and left for the final fill, which fills it
// with the whole column's median.
py::array_t<double> feature_column(const std::vector<double> &table,
                                   const py::array_t<std::int64_t> &codes, bool standardize) {
    if (part::engine()) {
        py::array_t<double> mapped = map_rows(table, codes);
        if (standardize) {
            part::standardize(mapped);
        }
        return mapped;
    }
    py::array_t<double> out(codes.size());
    py::gil_scoped_release release;
    core::group_feature_column(table, view(codes), standardize, true, view_mut(out));
    return out;
}

// The table mapped onto the rows as int64 where the statistic is a whole
// number on every row (pandas keeps integer columns through its merge then),
// else as float64.
py::array table_column(const std::vector<double> &table, const py::array_t<std::int64_t> &codes,
                       bool want_int, bool fill) {
    bool missing = true;
    if (want_int) {
        py::gil_scoped_release release;
        missing = core::maps_to_missing(table, view(codes));
    }
    if (!missing) {
        py::array_t<std::int64_t> out(codes.size());
        py::gil_scoped_release release;
        core::map_groups_int(table, view(codes), view_mut(out));
        return out;
    }
    py::array_t<double> out(codes.size());
    py::gil_scoped_release release;
    core::group_feature_column(table, view(codes), false, fill, view_mut(out));
    return out;
}

// A new frame with the feature column; pandas' merges give such a frame a
// fresh 0..n-1 index.
// The column goes in as a Series on the frame's own index: pandas keeps a
// Series' buffer (tracking the reference), where it would copy an array.
py::object with_feature(py::handle df, py::handle name, py::handle values) {
    py::object out = df.attr("copy")("deep"_a = false);
    py::object index = pd().attr("RangeIndex")(py::len(df));
    out.attr("index") = index;
    out.attr("__setitem__")(name, pd().attr("Series")(values, "index"_a = index, "copy"_a = false));
    return out;
}

// Missing values of every numeric column become the column's median; text
// columns have no median and are left as they are.  The feature columns
// named in `filled` were written with their median already: a second look
// could only find a column whose values are all missing, which stays so.
py::object final_fill(py::object df, const std::vector<py::object> &filled = {}) {
    py::object types = pd().attr("api").attr("types");
    py::object np_dtype = np().attr("dtype");
    py::object columns = df.attr("columns");
    // One pass over the dtypes; a column is taken out of the frame only when
    // it can hold a missing value.  Selecting a column costs pandas tens of
    // microseconds, which on a frame of a few rows is all the fill's time,
    // so float64 columns are read straight from the frame's blocks (a view
    // that is only read here).
    const py::list dtypes = df.attr("dtypes").attr("tolist")();
    const auto ncols = static_cast<py::ssize_t>(py::len(dtypes));
    const bool from_blocks = py::hasattr(df, "_get_column_array");
    std::vector<bool> skip(static_cast<std::size_t>(ncols), false);
    // On a part of a larger frame the feature columns were not filled yet:
    // the whole column's median fills them here.
    for (const py::object &name : part::engine() ? std::vector<py::object>{} : filled) {
        py::object loc = columns.attr("get_loc")(name);
        if (PyLong_CheckExact(loc.ptr())) {  // a label the frame holds once
            skip[loc.cast<std::size_t>()] = true;
        }
    }
    for (py::ssize_t j = 0; j < ncols; ++j) {
        if (skip[static_cast<std::size_t>(j)]) {
            continue;
        }
        py::handle dt = dtypes[static_cast<std::size_t>(j)];
        bool float64 = false;
        if (py::isinstance(dt, np_dtype)) {
            // NumPy booleans, integers, dates, texts and records hold no
            // missing value a median could fill.
            const char kind = py::str(dt.attr("kind")).cast<std::string>()[0];
            if (kind != 'f' && kind != 'c') {
                continue;
            }
            float64 = kind == 'f' && dt.attr("itemsize").cast<int>() == 8;
        } else if (!py::bool_(types.attr("is_numeric_dtype")(dt)) ||
                   py::bool_(types.attr("is_bool_dtype")(dt))) {
            continue;
        }
        if (float64) {
            // Only a column that holds missing values is copied and filled.
            py::object column =
                from_blocks ? df.attr("_get_column_array")(j)
                            : df.attr("iloc")[py::make_tuple(
                                                  py::slice(py::none(), py::none(), py::none()), j)]
                                  .attr("to_numpy")();
            py::array_t<double> v =
                py::array_t<double, py::array::c_style | py::array::forcecast>(column);
            bool missing = false;
            double median = kNaN;
            // the median of the whole frame's column, asked of every part
            py::object whole =
                part::engine() ? part::ask("fill_value", columns[py::int_(j)], j, v) : py::none();
            {
                py::gil_scoped_release release;
                missing = core::has_missing(view(v));
                if (missing && whole.is_none()) {
                    median = core::column_median(view(v));
                }
            }
            if (!whole.is_none()) {
                median = whole.cast<double>();
            }
            if (missing) {
                py::array_t<double> filled_values(v.size());
                {
                    py::gil_scoped_release release;
                    std::copy(v.data(), v.data() + v.size(), filled_values.mutable_data());
                    core::fill_missing(view_mut(filled_values), median);
                }
                // as a Series on the frame's index: pandas keeps its buffer
                // (an array would be copied once more)
                df.attr("isetitem")(j,
                                    pd().attr("Series")(filled_values, "index"_a = df.attr("index"),
                                                        "copy"_a = false));
            }
            continue;
        }
        py::object col =
            df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        if (py::bool_(col.attr("hasnans"))) {
            if (part::engine()) {
                part::ask("unsupported", "the final fill", col.attr("dtype"));
            }
            df.attr("isetitem")(j, col.attr("fillna")(col.attr("median")()));
        }
    }
    return df;
}

// A statistic of every group of the whole frame when the frame is one part of
// it (`codes` number this part's groups), from the engine; nothing otherwise.
// `derived`: the values come from an earlier table of the same operator.
std::optional<std::vector<double>> frame_table(const char *kind, py::object stat,
                                               std::vector<py::object> keys, py::object values,
                                               const py::array_t<std::int64_t> &codes,
                                               std::int64_t ngroups, bool derived = false) {
    if (!part::engine()) {
        return std::nullopt;
    }
    py::list key_list;
    for (const py::object &k : keys) {
        key_list.append(k);
    }
    py::object r = part::ask("group_table", kind, stat, key_list, values, codes, ngroups, derived);
    if (r.is_none()) {
        return std::nullopt;
    }
    std::vector<double> t = values_of(r);
    if (static_cast<std::int64_t>(t.size()) != ngroups) {
        bind::raise(PyExc_RuntimeError,
                    "a group table of the whole frame does not fit the part's groups");
    }
    return t;
}

py::object series_of(py::object values, py::object index, py::handle name) {
    return pd().attr("Series")(values, "index"_a = index, "name"_a = name);
}

// {key_col: distinct values in order of first appearance, count_label: rows},
// from the summary of a groupby's codes (missing keys, coded -1, counted as
// one value of their own, as a count of the column does).
py::object count_frame(py::handle series, const Keys &sorted, py::handle key_col,
                       py::handle count_label) {
    const core::KeyCodes &s = sorted.summary;
    std::vector<std::pair<std::int64_t, std::int64_t>> rows;  // (first row, rows)
    for (std::size_t k = 0; k < s.first.size(); ++k) {
        rows.emplace_back(s.first[k], s.sizes[k]);
    }
    if (s.missing > 0) {
        rows.emplace_back(s.first_missing, s.missing);
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::int64_t> at, counts;
    for (const auto &[r, c] : rows) {
        at.push_back(r);
        counts.push_back(c);
    }
    py::dict d;
    d[key_col] = pd().attr("Index")(series.attr("take")(to_array(at))).attr("rename")(py::none());
    d[count_label] = to_array(counts);
    return pd().attr("DataFrame")(d);
}

// ---- count ----------------------------------------------------------------

py::object count(py::object df, py::object col, py::object rec) {
    // Called without records (the default), the statistics of this frame are
    // computed into a record of the call's own.
    if (rec.is_none()) {
        rec = py::dict();
    }
    py::object name = feature_name("count", py::list(py::make_tuple(col)));
    py::object record = rec.attr("get")(name, py::none());
    py::object keys = column(df, col);
    Keys k = factorize(keys, false, true);
    const std::vector<std::int64_t> &sizes = k.summary.sizes;
    std::vector<double> table(sizes.begin(), sizes.end());
    if (record.is_none()) {
        py::dict d;
        d[col] = k.uniques;
        d[name] = to_array(sizes);
        rec[name] = pd().attr("DataFrame")(d);
    } else {
        std::int64_t g = 0;
        std::vector<std::int64_t> frame_map;
        auto codes = joint_keys({column(record, col)}, k, true, g, frame_map);
        std::vector<double> total =
            record_table(codes[0], values_of(column(record, name)), g, true);
        if (auto whole = frame_table("count", py::none(), {keys}, py::none(), k.codes, k.ngroups)) {
            table = *whole;  // rows per key over the whole frame
        }
        for (std::size_t c = 0; c < frame_map.size(); ++c) {
            total[static_cast<std::size_t>(frame_map[c])] += table[c];
        }
        table = to_frame(total, frame_map);
    }
    return final_fill(with_feature(df, name, feature_column(table, k.codes, true)), {name});
}

// ---- crosscount -------------------------------------------------------------

// Codes of combinations of several key columns, lexicographically ordered
// when every part is sorted; -1 where any key is missing.
py::array_t<std::int64_t> combine(const std::vector<py::array_t<std::int64_t>> &levels,
                                  const std::vector<std::int64_t> &sizes, std::int64_t &ngroups) {
    py::array_t<std::int64_t> acc(levels[0].size());
    std::copy(levels[0].data(), levels[0].data() + levels[0].size(), acc.mutable_data());
    ngroups = sizes[0];
    py::gil_scoped_release release;
    for (std::size_t k = 1; k < levels.size(); ++k) {
        core::combine_codes(view(acc), view(levels[k]), sizes[k], view_mut(acc));
        ngroups = core::dense_rank(view_mut(acc));
    }
    return acc;
}

py::object crosscount(py::object df, py::object col_list, py::object rec) {
    bind::check_assert(py::isinstance<py::list>(col_list));
    bind::check_assert(py::len(col_list) > 1);
    py::list cols = col_list;
    py::object name = feature_name("crosscount", cols);
    py::object record = rec.attr("get")(name, py::none());
    const std::size_t nk = cols.size();
    std::vector<Keys> keys;
    for (py::handle c : cols) {
        keys.push_back(factorize(column(df, c), true, false));
    }
    py::array_t<double> values;
    if (record.is_none()) {
        std::vector<py::array_t<std::int64_t>> levels;
        std::vector<std::int64_t> sizes;
        for (const Keys &k : keys) {
            levels.push_back(k.codes);
            sizes.push_back(k.ngroups);
        }
        std::int64_t g = 0;
        py::array_t<std::int64_t> codes = combine(levels, sizes, g);
        core::KeyCodes summary;
        {
            py::gil_scoped_release release;
            summary = core::summarize_codes(view(codes), g);
        }
        const std::vector<std::int64_t> &counts = summary.sizes;
        const std::vector<std::int64_t> &first = summary.first;
        // The index groupby builds: the sorted keys of each column as levels,
        // and per combination the level code of each of its keys.
        py::list level_keys, level_codes;
        for (const Keys &k : keys) {
            py::array_t<std::int64_t> c(static_cast<py::ssize_t>(first.size()));
            for (std::size_t r = 0; r < first.size(); ++r) {
                c.mutable_data()[r] = k.codes.data()[first[r]];
            }
            level_keys.append(k.uniques);
            level_codes.append(c);
        }
        py::object index = pd().attr("MultiIndex")("levels"_a = level_keys, "codes"_a = level_codes,
                                                   "names"_a = cols, "verify_integrity"_a = false);
        rec[name] = series_of(to_array(counts), index, name);
        values = feature_column(std::vector<double>(counts.begin(), counts.end()), codes, true);
    } else {
        py::object rindex = record.attr("index");
        const bool multi = py::isinstance(rindex, pd().attr("MultiIndex"));
        const auto nrec = static_cast<py::ssize_t>(py::len(record));
        const auto nrows = static_cast<py::ssize_t>(py::len(df));
        std::vector<py::array_t<std::int64_t>> levels;
        std::vector<std::int64_t> sizes;
        for (std::size_t k = 0; k < nk; ++k) {
            std::int64_t g = 0;
            py::array_t<std::int64_t> both(nrec + nrows);
            if (multi) {
                // The record's distinct keys of this level, then its rows by level code.
                auto parts =
                    joint_with_frame({rindex.attr("levels")[py::int_(k)]}, keys[k], false, g);
                py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> rc(
                    rindex.attr("codes")[py::int_(k)]);
                if (rc.size() != nrec) {
                    bind::raise(
                        PyExc_ValueError,
                        "a crosscount record's index has codes of another length than its values");
                }
                for (py::ssize_t r = 0; r < nrec; ++r) {
                    const std::int64_t c = rc.data()[r];
                    if (c >= parts[0].size()) {
                        bind::raise(PyExc_ValueError,
                                    "a crosscount record's index has codes outside its levels");
                    }
                    both.mutable_data()[r] = c < 0 ? -1 : parts[0].data()[c];
                }
                std::copy(parts[1].data(), parts[1].data() + nrows, both.mutable_data() + nrec);
            } else {
                auto parts =
                    joint_with_frame({rindex.attr("get_level_values")(k)}, keys[k], false, g);
                std::copy(parts[0].data(), parts[0].data() + nrec, both.mutable_data());
                std::copy(parts[1].data(), parts[1].data() + nrows, both.mutable_data() + nrec);
            }
            levels.push_back(both);
            sizes.push_back(g);
        }
        std::int64_t g = 0;
        py::array_t<std::int64_t> both = combine(levels, sizes, g);
        py::array_t<std::int64_t> rcodes(nrec), dcodes(nrows);
        std::copy(both.data(), both.data() + nrec, rcodes.mutable_data());
        std::copy(both.data() + nrec, both.data() + both.size(), dcodes.mutable_data());
        std::vector<double> total = record_table(rcodes, values_of(record), g, true);
        std::vector<py::object> key_columns;
        for (py::handle c : cols) {
            key_columns.push_back(column(df, c));
        }
        if (auto whole =
                frame_table("crosscount", py::none(), key_columns, py::none(), dcodes, g)) {
            for (std::size_t c = 0; c < whole->size(); ++c) {
                if (!std::isnan((*whole)[c])) {
                    total[c] += (*whole)[c];
                }
            }
        } else {
            for (std::int64_t c : view(dcodes)) {
                if (c >= 0) {
                    total[static_cast<std::size_t>(c)] += 1;
                }
            }
        }
        values = feature_column(total, dcodes, true);
    }
    return final_fill(with_feature(df, name, values), {name});
}

// ---- aggregate --------------------------------------------------------------

// The table pandas would store after combining a "mean" record with the new
// rows: one row per key of either side, keys sorted, missing values 0.
py::object mean_count_table(py::object uniques, py::handle group_col, py::handle name,
                            const std::vector<double> &m1, const std::vector<double> &m2,
                            const std::vector<double> &n1, const std::vector<double> &n2,
                            const std::vector<bool> &present, const std::vector<bool> &in_len,
                            const std::vector<bool> &in_new) {
    std::vector<std::int64_t> keep;
    for (std::size_t k = 0; k < present.size(); ++k) {
        if (present[k]) {
            keep.push_back(static_cast<std::int64_t>(k));
        }
    }
    py::object keys = uniques.attr("take")(to_array(keep));
    py::array_t<std::int64_t> order(keys.attr("argsort")());
    std::vector<double> c1, c2, c3, c4;
    bool all_len = true, all_new = true;
    std::vector<std::int64_t> sorted_codes;
    for (std::int64_t o : view(order)) {
        const auto k = static_cast<std::size_t>(keep[static_cast<std::size_t>(o)]);
        sorted_codes.push_back(static_cast<std::int64_t>(k));
        c1.push_back(std::isnan(m1[k]) ? 0.0 : m1[k]);
        c2.push_back(std::isnan(m2[k]) ? 0.0 : m2[k]);
        c3.push_back(n1[k]);
        c4.push_back(n2[k]);
        all_len = all_len && in_len[k];
        all_new = all_new && in_new[k];
    }
    py::dict d;
    d[group_col] = uniques.attr("take")(to_array(sorted_codes));
    d[name] = to_array(c1);
    d[concat_text({name, py::str("_2")})] = to_array(c2);
    d[concat_text({group_col, py::str("_count")})] = maybe_int(to_array(c3), all_len);
    d[concat_text({group_col, py::str("_count_2")})] = maybe_int(to_array(c4), all_new);
    return pd().attr("DataFrame")(d);
}

// The feature column of one statistic, from the statistic table of the
// frame's codes (combined with the record where there is one).
py::array_t<double> aggregate_one(py::object df, py::handle num_col, py::handle group_col,
                                  const std::string &stat, py::handle name, py::object rec) {
    py::object record = rec.attr("get")(name, py::none());
    py::object x = column(df, num_col);
    py::object keys = column(df, group_col);
    bool int_valued = false;
    if (record.is_none()) {
        Keys k = factorize(keys, true, false);
        std::vector<double> table =
            group_stat(stat, x, k.codes, k.ngroups, int_valued, k.summary.nondecreasing);
        py::object index = k.uniques.attr("rename")(group_col);
        py::object data = series_of(maybe_int(to_array(table), int_valued), index, name);
        rec[name] = data;
        if (stat == "mean") {
            py::dict both;
            both["data"] = data;
            both["length"] =
                count_frame(keys, k, group_col, concat_text({group_col, py::str("_count")}));
            rec[name] = both;
        }
        return feature_column(table, k.codes, true);
    }
    bool runs = false;
    // a variance record ignores the new rows
    Keys frame = stat == "var" ? factorize(keys, false, false) : frame_keys(keys, stat, x, runs);
    std::int64_t g = 0;
    std::vector<std::int64_t> frame_map;
    if (stat == "mean") {
        py::object data = record["data"];
        py::object length = record["length"];
        py::object uniques;
        auto codes = joint_keys({data.attr("index"), column(length, group_col)}, frame, false, g,
                                frame_map, &uniques);
        // rows per key and the statistic over the whole frame when this is a part of it
        std::optional<std::vector<double>> whole_sizes =
            frame_table("size", py::none(), {keys}, py::none(), frame.codes, frame.ngroups);
        std::optional<std::vector<double>> whole =
            frame_table("aggregate", py::str(stat), {keys}, x, frame.codes, frame.ngroups);
        std::vector<double> m2 = to_joint(
            whole ? *whole : group_stat(stat, x, frame.codes, frame.ngroups, int_valued, runs),
            frame_map, g);
        const auto G = static_cast<std::size_t>(g);
        std::vector<double> m1 = record_table(codes[0], values_of(data), g, false);
        std::vector<double> n1 = record_table(
            codes[1], values_of(column(length, concat_text({group_col, py::str("_count")}))), g,
            true);
        std::vector<double> n2(G, 0.0);
        std::vector<bool> in_data(G, false), in_len(G, false), in_new(G, false), present(G, false);
        for (std::size_t c = 0; c < frame_map.size(); ++c) {
            const auto j = static_cast<std::size_t>(frame_map[c]);
            if (whole_sizes) {
                // a group of this part has its rows of the whole frame
                const double n = (*whole_sizes)[c];
                n2[j] += std::isnan(n) ? 0.0 : n;
            } else {
                n2[j] += static_cast<double>(frame.summary.sizes[c]);
            }
            in_new[j] = true;
        }
        for (std::int64_t c : view(codes[0])) {
            if (c >= 0)
                in_data[static_cast<std::size_t>(c)] = true;
        }
        for (std::int64_t c : view(codes[1])) {
            if (c >= 0)
                in_len[static_cast<std::size_t>(c)] = true;
        }
        std::vector<double> table(G);
        for (std::size_t j = 0; j < G; ++j) {
            present[j] = in_data[j] || in_len[j] || in_new[j];
            const double a = std::isnan(m1[j]) ? 0.0 : m1[j];
            const double b = std::isnan(m2[j]) ? 0.0 : m2[j];
            table[j] = (n2[j] * b + n1[j] * a) / (n1[j] + n2[j]);
        }
        rec[concat_text({name, py::str("_mean_count")})] =
            mean_count_table(uniques, group_col, name, m1, m2, n1, n2, present, in_len, in_new);
        return feature_column(to_frame(table, frame_map), frame.codes, true);
    }
    auto codes = joint_keys({record.attr("index")}, frame, false, g, frame_map);
    std::vector<double> old = record_table(codes[0], values_of(record), g, false);
    if (stat == "var") {
        // variances stay those of the training data
        return feature_column(to_frame(old, frame_map), frame.codes, true);
    }
    std::optional<std::vector<double>> whole =
        frame_table("aggregate", py::str(stat), {keys}, x, frame.codes, frame.ngroups);
    std::vector<double> fresh =
        to_joint(whole ? *whole : group_stat(stat, x, frame.codes, frame.ngroups, int_valued, runs),
                 frame_map, g);
    std::vector<double> table(static_cast<std::size_t>(g));
    for (std::size_t j = 0; j < table.size(); ++j) {
        const double a = old[j], b = fresh[j];
        if (stat == "min" || stat == "max") {
            table[j] = std::isnan(a)   ? b
                       : std::isnan(b) ? a
                                       : (stat == "min" ? std::min(a, b) : std::max(a, b));
        } else if (stat == "median") {
            table[j] = (a + b) / 2;
        } else {
            table[j] = b;  // no combination rule: the statistic of the new rows
        }
    }
    return feature_column(to_frame(table, frame_map), frame.codes, true);
}

py::object aggregate(py::object df, py::object num_col, py::object group_col, py::object stat_list,
                     py::object rec) {
    if (rec.is_none()) {
        rec = py::dict();  // no records given: this frame's statistics alone
    }
    // Each feature column is written filled with its median: the statistics
    // that follow read only `num_col` and `group_col`, never a feature
    // column, whose name holds them.
    std::vector<py::object> names;
    for (py::handle stat : stat_list) {
        py::object name =
            feature_name("aggregate", py::list(py::make_tuple(stat, num_col, group_col)));
        py::array_t<double> values =
            aggregate_one(df, num_col, group_col, py::str(stat).cast<std::string>(), name, rec);
        df = with_feature(df, name, values);
        names.push_back(name);
    }
    return final_fill(df, names);
}

// ---- nunique ----------------------------------------------------------------

py::object nunique(py::object df, py::object id_col, py::object group_col, py::object rec) {
    py::object name = feature_name("nunique", py::list(py::make_tuple(id_col, group_col)));
    py::object record = rec.attr("get")(name, py::none());
    py::object keys = column(df, group_col);
    std::vector<double> table;
    Keys k;
    bool int_valued = true;
    if (record.is_none()) {
        k = factorize(keys, true, false);
        Keys ids = factorize(column(df, id_col), false, false, false);
        {
            py::gil_scoped_release release;
            table = core::group_nunique(view(ids.codes), ids.ngroups, view(k.codes), k.ngroups);
        }
        rec[name] = series_of(to_array(table).attr("astype")("int64"),
                              k.uniques.attr("rename")(group_col), name);
    } else {
        k = factorize(keys, false, false);
        std::int64_t g = 0;
        std::vector<std::int64_t> frame_map;
        auto codes = joint_keys({record.attr("index")}, k, false, g, frame_map);
        table = to_frame(record_table(codes[0], values_of(record), g, false), frame_map);
        int_valued = integer_dtype(record);
    }
    py::object column_values;
    if (part::engine()) {
        py::array_t<double> values = map_rows(table, k.codes);
        if (!record.is_none()) {
            // integers only when no row of the whole frame misses its group
            if (py::object any = part::ask("any_missing", values); !any.is_none()) {
                int_valued = int_valued && !any.cast<bool>();
            }
        }
        column_values = maybe_int(values, int_valued);
    } else {
        column_values = table_column(table, k.codes, int_valued, true);
    }
    py::object out = with_feature(df, name, column_values);
    return final_fill(out, {name});
}

// ---- histstat ---------------------------------------------------------------

py::object histstat(py::object df, py::object id_col, py::object group_col, py::object stat_list) {
    py::object name = feature_name("histstat", py::list(py::make_tuple(id_col, group_col)));
    py::object ids_series = column(df, id_col);
    Keys ids = factorize(ids_series, false, false, false);
    // temp_count: the rows of each row's id (missing for rows without one)
    std::vector<double> freq(ids.summary.sizes.begin(), ids.summary.sizes.end());
    if (auto whole =
            frame_table("size", py::none(), {ids_series}, py::none(), ids.codes, ids.ngroups)) {
        freq = *whole;  // rows per id over the whole frame
    }
    py::array_t<double> temp = map_rows(freq, ids.codes);
    bool temp_int = ids.summary.missing == 0;
    if (py::object any = part::ask("any_missing", temp); !any.is_none()) {
        temp_int = !any.cast<bool>();
    }
    py::object keys = column(df, group_col);
    Keys k = factorize(keys, true, false);
    // Every statistic has the same label: the last one is what the column keeps.
    std::vector<double> table;
    bool int_valued = false;
    bool any = false;
    py::object temp_series;
    py::object stats = stat_list;
    if (py::list listed; part::engine() && !(listed = py::list(stat_list)).empty()) {
        // a part computes only the statistic the column keeps, over the whole frame
        const std::string last = py::str(listed[listed.size() - 1]).cast<std::string>();
        temp_series = pd().attr("Series")(maybe_int(temp, temp_int));
        if (auto whole = frame_table("aggregate", py::str(last), {keys}, temp_series, k.codes,
                                     k.ngroups, true)) {
            table = *whole;
            GroupStat gs{};
            int_valued = core::parse_group_stat(last, gs) &&
                         (count_stat(gs) || (integer_valued_stat(gs) && temp_int));
            any = true;
            stats = py::list();
        }
    }
    for (py::handle stat : stats) {
        const std::string s = py::str(stat).cast<std::string>();
        GroupStat gs{};
        if (core::parse_group_stat(s, gs)) {
            int_valued = count_stat(gs) || (integer_valued_stat(gs) && temp_int);
            py::gil_scoped_release release;
            table = core::group_reduce(gs, view(temp), view(k.codes), k.ngroups,
                                       k.summary.nondecreasing);
        } else {
            if (!temp_series) {
                temp_series = pd().attr("Series")(maybe_int(temp, temp_int));
            }
            table = group_stat(s, temp_series, k.codes, k.ngroups, int_valued);
        }
        any = true;
    }
    if (any) {
        df.attr("__setitem__")(name,
                               pd().attr("Series")(table_column(table, k.codes, int_valued, false),
                                                   "index"_a = df.attr("index"), "copy"_a = false));
    }
    return df;
}

// ---- frame utilities ----------------------------------------------------------

py::object concat(py::object frames) {
    py::object result = py::none();
    for (py::handle l : frames) {
        if (l.is_none()) {
            continue;
        }
        if (result.is_none()) {
            result = py::reinterpret_borrow<py::object>(l);
        } else {
            result.attr("__setitem__")(l.attr("columns").attr("tolist")(), l);
        }
    }
    return result;
}

py::object left_merge(py::object data1, py::object data2, py::object on) {
    if (!PyList_CheckExact(on.ptr())) {
        on = py::list(py::make_tuple(on));
    }
    py::object builtins = py::module_::import("builtins");
    py::object on_set = builtins.attr("set")(on);
    py::object common = on_set.attr("__and__")(builtins.attr("set")(data2.attr("columns")));
    py::object temp = py::bool_(common.attr("__ne__")(on_set)) ? data2.attr("reset_index")()
                                                               : data2.attr("copy")();
    py::list columns;
    for (py::handle c : data2.attr("columns")) {
        if (!py::bool_(on.attr("__contains__")(c))) {
            columns.append(c);
        }
    }
    py::object result = data1.attr("merge")(temp, "on"_a = on, "how"_a = "left");
    return result.attr("__getitem__")(columns);
}

}  // namespace

void register_groupstats(py::module_ &m) {
    if (!py::hasattr(m, "AGGREGATE_TYPE")) {
        m.attr("AGGREGATE_TYPE") = py::list(py::make_tuple("min", "max", "mean", "median", "var"));
    }
    // The default statistic list is the list object bound when the functions
    // are defined.
    py::object default_stats = m.attr("AGGREGATE_TYPE");
    m.def("count", &count, py::arg("df"), py::arg("col"), py::arg("lec_record_dt") = py::none(),
          py::doc("\n    tools for count encode\n    测试集的增量方式，直接相加\n    "));
    m.def("crosscount", &crosscount, py::arg("df"), py::arg("col_list"), py::arg("lec_record_dt"),
          py::doc("\n    tools for multy thread bi_count\n    测试集的增量方式，直接相加\n    "));
    m.def("aggregate", &aggregate, py::arg("df"), py::arg("num_col"), py::arg("group_col"),
          py::arg("stat_list") = default_stats, py::arg("lec_record_dt") = py::none(),
          py::doc("测试集的增量方式\n    min 求最小值\n    max 求最大值\n"
                  "    mean (n1 * m1 + n2 * m2) / (n1 + n2)\n    median 求均值\n    "));
    m.def("nunique", &nunique, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("lec_record_dt"),
          py::doc("\n    get id group_by(id) nunique\n    测试集的增量方式，无\n    "));
    m.def("histstat", &histstat, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("stat_list") = default_stats,
          py::doc("\n    get id group_by(id) histgram statitics\n    "));
    // The list histstat's callers get, for the scoring plan, which computes
    // what the engine's histstat would (rebinding AGGREGATE_TYPE does not
    // change it; changing the list in place does).
    m.def("_histstat_stats", [default_stats]() { return default_stats; });
    m.def("concat", &concat, py::arg("L"),
          py::doc("\n    tools for concat some dataframes into a new dataframe.\n    "));
    m.def("left_merge", &left_merge, py::arg("data1"), py::arg("data2"), py::arg("on"),
          py::doc("\n    merge util for dataframe\n    "));
}

}  // namespace brinvale::tavrin
