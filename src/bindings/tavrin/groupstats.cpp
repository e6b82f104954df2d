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
#include <string>
#include <vector>

#include "brinvale/groupstats.hpp"
#include "brinvale/stats.hpp"
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
    return concat_text({py::str(std::string(op) + "###"), py::str("|||").attr("join")(operands),
                        py::str("$$$")});
}

py::object column(py::handle df, py::handle col) { return df.attr("__getitem__")(col); }

struct Keys {
    py::array_t<std::int64_t> codes;
    std::int64_t ngroups = 0;
    py::object uniques;  // one key per code, in the column's dtype
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

// Keys in first-appearance order from codes: the rows where each code first
// occurs, taken from the column so that the keys keep its dtype.
py::object keys_at_first_rows(py::handle series, const py::array_t<std::int64_t> &codes,
                              std::int64_t ngroups) {
    std::vector<std::int64_t> first;
    {
        py::gil_scoped_release release;
        first = core::first_rows(view(codes), ngroups);
    }
    py::object taken = series.attr("take")(to_array(first));
    return pd().attr("Index")(taken).attr("rename")(py::none());
}

// `missing_group`: missing keys form one group of their own (as counting
// does) instead of belonging to no group (as groupby does).  Numeric keys
// are coded natively; text and other keys go through pandas' factorize, whose
// hashtable on an object array is faster than through the text array.
Keys factorize(py::handle values, bool sort, bool missing_group, bool with_keys = true) {
    py::object series = pd().attr("Series")(values, "copy"_a = false);
    const std::string kind = dtype_kind(series);
    const bool integral = kind == "i8" || kind == "i4" || kind == "i2" || kind == "i1" ||
                          kind == "u4" || kind == "u2" || kind == "u1";
    const bool floating = kind == "f8" || kind == "f4";
    Keys k;
    if (integral || floating) {
        const auto n = static_cast<py::ssize_t>(py::len(series));
        k.codes = py::array_t<std::int64_t>(n);
        if (integral) {
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> x(
                series.attr("to_numpy")());
            py::gil_scoped_release release;
            k.ngroups = core::factorize_keys(view(x), view_mut(k.codes), sort);
        } else {
            py::array_t<double, py::array::c_style | py::array::forcecast> x(
                series.attr("to_numpy")());
            py::gil_scoped_release release;
            k.ngroups = core::factorize_keys(view(x), missing_group, view_mut(k.codes));
        }
        if (sort && !integral) {
            // groupby orders its keys; the order of first appearance is kept otherwise
            std::vector<std::int64_t> first = core::first_rows(view(k.codes), k.ngroups);
            {
                py::array_t<double, py::array::c_style | py::array::forcecast> x(
                    series.attr("to_numpy")());
                std::vector<double> keys;
                for (std::int64_t r : first) keys.push_back(x.data()[r]);
                core::sort_groups(view_mut(k.codes), keys);
            }
        }
        if (with_keys) {
            k.uniques = keys_at_first_rows(series, k.codes, k.ngroups);
        }
        return k;
    }
    const bool text = text_dtype(series);
    // pandas' factorize looks for missing values once more when they are to
    // form a group; in order of first appearance that group is placed here.
    const bool own_missing = text && missing_group && !sort;
    py::object input = text ? series.attr("to_numpy")() : series;
    py::tuple res = pd().attr("factorize")(input, "sort"_a = sort,
                                           "use_na_sentinel"_a = !missing_group || own_missing);
    k.codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(res[0]);
    k.ngroups = static_cast<std::int64_t>(py::len(res[1]));
    if (own_missing) {
        k.codes = py::array_t<std::int64_t>(k.codes.attr("copy")());
        k.ngroups = core::missing_as_group(view_mut(k.codes), k.ngroups);
    }
    if (with_keys) {
        k.uniques = keys_at_first_rows(series, k.codes, k.ngroups);
    }
    return k;
}

// Codes of several key sequences in one code space; returns the codes of
// each part.
std::vector<py::array_t<std::int64_t>> joint_codes(const std::vector<py::object> &parts,
                                                   bool missing_group, std::int64_t &ngroups,
                                                   py::object *uniques = nullptr) {
    py::list series;
    for (const py::object &p : parts) {
        series.append(pd().attr("Series")(np().attr("asarray")(p)));
    }
    py::object all = pd().attr("concat")(series, "ignore_index"_a = true);
    py::tuple res = pd().attr("factorize")(all, "sort"_a = false,
                                           "use_na_sentinel"_a = !missing_group);
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes(res[0]);
    ngroups = static_cast<std::int64_t>(py::len(res[1]));
    if (uniques != nullptr) {
        *uniques = res[1];
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
std::vector<py::array_t<std::int64_t>> joint_with_frame(std::vector<py::object> record_parts,
                                                        const Keys &frame, bool missing_group,
                                                        std::int64_t &ngroups,
                                                        py::object *uniques = nullptr,
                                                        std::vector<std::int64_t> *frame_map = nullptr) {
    record_parts.push_back(frame.uniques);
    std::vector<py::array_t<std::int64_t>> parts =
        joint_codes(record_parts, missing_group, ngroups, uniques);
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

py::array_t<double> as_float(py::handle values) {
    py::object arr = pd().attr("Series")(values).attr("to_numpy")(
        "dtype"_a = "float64", "na_value"_a = py::float_(kNaN));
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
    py::object keys = pd().attr("Series")(codes).attr("where")(
        pd().attr("Series")(codes).attr("__ge__")(0));
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
        sorted_runs = core::nondecreasing(view(k.codes));
        return k;
    }
    Keys k = factorize(keys, false, false);
    sorted_runs = core::nondecreasing(view(k.codes)) &&
                  core::nondecreasing(view(factorize(keys, true, false, false).codes));
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

// A new frame with the feature column; pandas' merges give such a frame a
// fresh 0..n-1 index.
py::object with_feature(py::handle df, py::handle name, py::object values) {
    py::object out = df.attr("copy")("deep"_a = false);
    out.attr("index") = pd().attr("RangeIndex")(py::len(df));
    out.attr("__setitem__")(name, values);
    return out;
}

// The feature column is a fresh buffer of ours: standardised before it is
// put into the frame.
py::array_t<double> standardized(py::array_t<double> v) {
    part::standardize(v);
    return v;
}

// Missing values of every numeric column become the column's median; text
// columns have no median and are left as they are.
py::object final_fill(py::object df) {
    py::object types = pd().attr("api").attr("types");
    py::object dtypes = df.attr("dtypes");
    const auto ncols = static_cast<py::ssize_t>(py::len(dtypes));
    for (py::ssize_t j = 0; j < ncols; ++j) {
        py::object dt = dtypes.attr("iloc")[py::int_(j)];
        if (!py::bool_(types.attr("is_numeric_dtype")(dt)) ||
            py::bool_(types.attr("is_bool_dtype")(dt))) {
            continue;
        }
        py::object col = df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        if (dtype_kind(col) == "f8") {
            // Only a column that holds missing values is copied and filled.
            py::array_t<double> v = float_view(col);
            bool missing = false;
            double median = kNaN;
            // the median of the whole frame's column, asked of every part
            py::object whole = part::ask("fill_value", dtypes.attr("index")[py::int_(j)], j, v);
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
                py::array_t<double> filled(v.size());
                {
                    py::gil_scoped_release release;
                    std::copy(v.data(), v.data() + v.size(), filled.mutable_data());
                    core::fill_missing(view_mut(filled), median);
                }
                df.attr("isetitem")(j, filled);
            }
        } else if (dtype_kind(col).rfind('i', 0) == 0 || dtype_kind(col).rfind('u', 0) == 0) {
            continue;  // NumPy integers hold no missing value
        } else if (py::bool_(col.attr("hasnans"))) {
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
        bind::raise(PyExc_RuntimeError, "a group table of the whole frame does not fit the part's groups");
    }
    return t;
}

py::object series_of(py::object values, py::object index, py::handle name) {
    return pd().attr("Series")(values, "index"_a = index, "name"_a = name);
}

// {key_col: distinct values in order of first appearance, count_label: rows},
// from the sorted codes of a groupby (missing keys, coded -1, counted as one
// value of their own, as a count of the column does).
py::object count_frame(py::handle series, const Keys &sorted, py::handle key_col,
                       py::handle count_label) {
    std::vector<std::int64_t> first = core::first_rows(view(sorted.codes), sorted.ngroups);
    std::vector<std::int64_t> sizes = core::group_sizes(view(sorted.codes), sorted.ngroups);
    std::int64_t first_missing = -1, missing = 0;
    for (py::ssize_t i = 0; i < sorted.codes.size(); ++i) {
        if (sorted.codes.data()[i] < 0) {
            first_missing = first_missing < 0 ? i : first_missing;
            ++missing;
        }
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> rows;  // (first row, rows)
    for (std::size_t k = 0; k < first.size(); ++k) {
        rows.emplace_back(first[k], sizes[k]);
    }
    if (missing > 0) {
        rows.emplace_back(first_missing, missing);
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
    py::object name = feature_name("count", py::list(py::make_tuple(col)));
    py::object record = rec.attr("get")(name, py::none());
    py::object keys = column(df, col);
    py::array_t<double> values;
    Keys k = factorize(keys, false, true);
    if (record.is_none()) {
        std::vector<std::int64_t> sizes = core::group_sizes(view(k.codes), k.ngroups);
        py::dict d;
        d[col] = k.uniques;
        d[name] = to_array(sizes);
        rec[name] = pd().attr("DataFrame")(d);
        values = map_rows(std::vector<double>(sizes.begin(), sizes.end()), k.codes);
    } else {
        std::int64_t g = 0;
        std::vector<std::int64_t> frame_map;
        auto codes = joint_with_frame({column(record, col)}, k, true, g, nullptr, &frame_map);
        std::vector<double> total = record_table(codes[0], values_of(column(record, name)), g, true);
        if (auto whole = frame_table("count", py::none(), {keys}, py::none(), k.codes, k.ngroups)) {
            for (std::size_t c = 0; c < whole->size(); ++c) {
                total[static_cast<std::size_t>(frame_map[c])] += (*whole)[c];
            }
        } else {
            for (std::int64_t c : view(codes[1])) {
                total[static_cast<std::size_t>(c)] += 1;
            }
        }
        values = map_rows(total, codes[1]);
    }
    return final_fill(with_feature(df, name, standardized(values)));
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
        std::vector<std::int64_t> counts = core::group_sizes(view(codes), g);
        std::vector<std::int64_t> first = core::first_rows(view(codes), g);
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
        values = map_rows(std::vector<double>(counts.begin(), counts.end()), codes);
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
                auto parts = joint_with_frame({rindex.attr("levels")[py::int_(k)]}, keys[k], false, g);
                py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> rc(
                    rindex.attr("codes")[py::int_(k)]);
                if (rc.size() != nrec) {
                    bind::raise(PyExc_ValueError, "a crosscount record's index has codes of another length than its values");
                }
                for (py::ssize_t r = 0; r < nrec; ++r) {
                    const std::int64_t c = rc.data()[r];
                    if (c >= parts[0].size()) {
                        bind::raise(PyExc_ValueError, "a crosscount record's index has codes outside its levels");
                    }
                    both.mutable_data()[r] = c < 0 ? -1 : parts[0].data()[c];
                }
                std::copy(parts[1].data(), parts[1].data() + nrows, both.mutable_data() + nrec);
            } else {
                auto parts = joint_with_frame({rindex.attr("get_level_values")(k)}, keys[k], false, g);
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
        if (auto whole = frame_table("crosscount", py::none(), key_columns, py::none(), dcodes, g)) {
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
        values = map_rows(total, dcodes);
    }
    return final_fill(with_feature(df, name, standardized(values)));
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

py::array_t<double> aggregate_one(py::object df, py::handle num_col, py::handle group_col,
                                  const std::string &stat, py::handle name, py::object rec) {
    py::object record = rec.attr("get")(name, py::none());
    py::object x = column(df, num_col);
    py::object keys = column(df, group_col);
    bool int_valued = false;
    if (record.is_none()) {
        Keys k = factorize(keys, true, false);
        std::vector<double> table = group_stat(stat, x, k.codes, k.ngroups, int_valued);
        py::object index = k.uniques.attr("rename")(group_col);
        py::object data = series_of(maybe_int(to_array(table), int_valued), index, name);
        rec[name] = data;
        if (stat == "mean") {
            py::dict both;
            both["data"] = data;
            both["length"] = count_frame(keys, k, group_col, concat_text({group_col, py::str("_count")}));
            rec[name] = both;
        }
        return map_rows(table, k.codes);
    }
    if (stat == "mean") {
        py::object data = record["data"];
        py::object length = record["length"];
        std::int64_t g = 0;
        py::object uniques;
        bool runs = false;
        std::vector<std::int64_t> frame_map;
        std::vector<double> m2;
        auto codes = [&] {
            Keys frame = frame_keys(keys, stat, x, runs);
            auto joint = joint_with_frame({data.attr("index"), column(length, group_col)}, frame,
                                          false, g, &uniques, &frame_map);
            if (!native_stat(stat, x)) {
                m2 = to_joint(group_stat(stat, x, frame.codes, frame.ngroups, int_valued),
                              frame_map, g);
            }
            return joint;  // the frame's own codes are freed before the kernels run
        }();
        std::optional<std::vector<double>> whole_sizes =
            frame_table("size", py::none(), {keys}, py::none(), codes[2], g);
        if (auto whole = frame_table("aggregate", py::str(stat), {keys}, x, codes[2], g)) {
            m2 = *whole;
        }
        if (m2.empty()) {
            m2 = group_stat(stat, x, codes[2], g, int_valued, runs);
        }
        const auto G = static_cast<std::size_t>(g);
        std::vector<double> m1 = record_table(codes[0], values_of(data), g, false);
        std::vector<double> n1 = record_table(
            codes[1], values_of(column(length, concat_text({group_col, py::str("_count")}))), g,
            true);
        std::vector<double> n2;
        if (whole_sizes) {
            // groups of the record without rows in this part: none in the whole frame either
            n2 = *whole_sizes;
            for (double &c : n2) {
                c = std::isnan(c) ? 0.0 : c;
            }
        } else {
            std::vector<std::int64_t> sizes = core::group_sizes(view(codes[2]), g);
            n2.assign(sizes.begin(), sizes.end());
        }
        std::vector<bool> in_data(G, false), in_len(G, false), in_new(G, false), present(G, false);
        for (std::int64_t c : view(codes[0])) {
            if (c >= 0) in_data[static_cast<std::size_t>(c)] = true;
        }
        for (std::int64_t c : view(codes[1])) {
            if (c >= 0) in_len[static_cast<std::size_t>(c)] = true;
        }
        for (std::int64_t c : view(codes[2])) {
            if (c >= 0) in_new[static_cast<std::size_t>(c)] = true;
        }
        std::vector<double> table(G);
        for (std::size_t k = 0; k < G; ++k) {
            present[k] = in_data[k] || in_len[k] || in_new[k];
            const double a = std::isnan(m1[k]) ? 0.0 : m1[k];
            const double b = std::isnan(m2[k]) ? 0.0 : m2[k];
            table[k] = (n2[k] * b + n1[k] * a) / (n1[k] + n2[k]);
        }
        rec[concat_text({name, py::str("_mean_count")})] =
            mean_count_table(uniques, group_col, name, m1, m2, n1, n2, present, in_len, in_new);
        return map_rows(table, codes[2]);
    }
    std::int64_t g = 0;
    bool runs = false;
    std::vector<std::int64_t> frame_map;
    std::vector<double> fresh;
    auto codes = [&] {
        // a variance record ignores the new rows
        Keys frame =
            stat == "var" ? factorize(keys, false, false) : frame_keys(keys, stat, x, runs);
        auto joint = joint_with_frame({record.attr("index")}, frame, false, g, nullptr, &frame_map);
        if (stat != "var" && !native_stat(stat, x)) {
            fresh = to_joint(group_stat(stat, x, frame.codes, frame.ngroups, int_valued),
                             frame_map, g);
        }
        return joint;  // the frame's own codes are freed before the kernels run
    }();
    std::vector<double> old = record_table(codes[0], values_of(record), g, false);
    if (stat == "var") {
        return map_rows(old, codes[1]);  // variances stay those of the training data
    }
    if (auto whole = frame_table("aggregate", py::str(stat), {keys}, x, codes[1], g)) {
        fresh = *whole;
    }
    if (fresh.empty()) {
        fresh = group_stat(stat, x, codes[1], g, int_valued, runs);
    }
    std::vector<double> table(static_cast<std::size_t>(g));
    for (std::size_t k = 0; k < table.size(); ++k) {
        const double a = old[k], b = fresh[k];
        if (stat == "min" || stat == "max") {
            table[k] = std::isnan(a) ? b : std::isnan(b) ? a : (stat == "min" ? std::min(a, b) : std::max(a, b));
        } else if (stat == "median") {
            table[k] = (a + b) / 2;
        } else {
            table[k] = b;  // no combination rule: the statistic of the new rows
        }
    }
    return map_rows(table, codes[1]);
}

py::object aggregate(py::object df, py::object num_col, py::object group_col,
                     py::object stat_list, py::object rec) {
    for (py::handle stat : stat_list) {
        py::object name = feature_name("aggregate", py::list(py::make_tuple(stat, num_col, group_col)));
        py::array_t<double> values =
            aggregate_one(df, num_col, group_col, py::str(stat).cast<std::string>(), name, rec);
        df = with_feature(df, name, standardized(values));
    }
    return final_fill(df);
}

// ---- nunique ----------------------------------------------------------------

py::object nunique(py::object df, py::object id_col, py::object group_col, py::object rec) {
    py::object name = feature_name("nunique", py::list(py::make_tuple(id_col, group_col)));
    py::object record = rec.attr("get")(name, py::none());
    py::object keys = column(df, group_col);
    py::array_t<double> values;
    bool int_valued = true;
    if (record.is_none()) {
        Keys k = factorize(keys, true, false);
        Keys ids = factorize(column(df, id_col), false, false, false);
        std::vector<double> table;
        {
            py::gil_scoped_release release;
            table = core::group_nunique(view(ids.codes), ids.ngroups, view(k.codes), k.ngroups);
        }
        rec[name] = series_of(to_array(table).attr("astype")("int64"),
                              k.uniques.attr("rename")(group_col), name);
        values = map_rows(table, k.codes);
    } else {
        std::int64_t g = 0;
        auto codes = joint_with_frame({record.attr("index")}, factorize(keys, false, false), false, g);
        values = map_rows(record_table(codes[0], values_of(record), g, false), codes[1]);
        int_valued = integer_dtype(record);
        // integers only when no row of the whole frame misses its group
        if (py::object any = part::ask("any_missing", values); !any.is_none()) {
            int_valued = int_valued && !any.cast<bool>();
        }
    }
    py::object out = with_feature(df, name, maybe_int(values, int_valued));
    return final_fill(out);
}

// ---- histstat ---------------------------------------------------------------

py::object histstat(py::object df, py::object id_col, py::object group_col, py::object stat_list) {
    py::object name = feature_name("histstat", py::list(py::make_tuple(id_col, group_col)));
    py::object ids_series = column(df, id_col);
    Keys ids = factorize(ids_series, false, false, false);
    std::vector<double> freq;
    if (auto whole = frame_table("size", py::none(), {ids_series}, py::none(), ids.codes, ids.ngroups)) {
        freq = *whole;  // rows per id over the whole frame
    } else {
        std::vector<std::int64_t> sizes = core::group_sizes(view(ids.codes), ids.ngroups);
        freq.assign(sizes.begin(), sizes.end());
    }
    py::array_t<double> temp = map_rows(freq, ids.codes);
    bool temp_int = !core::has_missing(view(temp));
    if (py::object any = part::ask("any_missing", temp); !any.is_none()) {
        temp_int = !any.cast<bool>();
    }
    py::object temp_series = pd().attr("Series")(maybe_int(temp, temp_int));
    py::object keys = column(df, group_col);
    Keys k = factorize(keys, true, false);
    // Every statistic has the same label: the last one is what the column keeps.
    py::array_t<double> values;
    bool int_valued = false;
    bool any = false;
    py::list stats(stat_list);
    for (std::size_t s = 0; s < stats.size(); ++s) {
        const std::string stat = py::str(stats[s]).cast<std::string>();
        if (part::engine() && s + 1 < stats.size()) {
            continue;  // a part computes only the statistic the column keeps
        }
        std::vector<double> table;
        if (auto whole = frame_table("aggregate", py::str(stat), {keys}, temp_series, k.codes,
                                     k.ngroups, true)) {
            table = *whole;
            GroupStat gs{};
            int_valued = core::parse_group_stat(stat, gs) &&
                         (count_stat(gs) || (integer_valued_stat(gs) && integer_dtype(temp_series)));
        } else {
            table = group_stat(stat, temp_series, k.codes, k.ngroups, int_valued);
        }
        values = map_rows(table, k.codes);
        any = true;
    }
    if (any) {
        df.attr("__setitem__")(name, pd().attr("Series")(maybe_int(values, int_valued),
                                                         "index"_a = df.attr("index"),
                                                         "copy"_a = false));
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
    m.def("concat", &concat, py::arg("L"),
          py::doc("\n    tools for concat some dataframes into a new dataframe.\n    "));
    m.def("left_merge", &left_merge, py::arg("data1"), py::arg("data2"), py::arg("on"),
          py::doc("\n    merge util for dataframe\n    "));
}

}  // namespace brinvale::tavrin
