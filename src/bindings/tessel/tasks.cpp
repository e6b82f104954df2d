// What runs on the workers: the evaluation of one partition, and the
// computations over shuffled rows (group tables, ranks, grouped windows) and
// over consecutive partitions (running-window carries).  Module-level
// functions, so that workers in other processes find them by name.
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "brinvale/elementwise.hpp"
#include "brinvale/groupstats.hpp"
#include "key_columns.hpp"
#include "tessel.hpp"

namespace brinvale::tessel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::span<double> mut(py::array_t<double> &a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

// The rows of a shuffled partition back in the frame's row order.
py::object in_row_order(py::object part) {
    return part.attr("sort_values")(kRowId, "kind"_a = "stable")
        .attr("reset_index")("drop"_a = true);
}

}  // namespace

py::module_ pd() { return py::module_::import("pandas"); }
py::module_ np() { return py::module_::import("numpy"); }
py::module_ tavrin() { return py::module_::import("brinvale.tavrin"); }

std::string key_column(std::size_t j) { return "__k" + std::to_string(j); }
std::string hash_column(std::size_t j) { return "__h" + std::to_string(j); }

py::array_t<double> as_f64(py::handle values) {
    return py::array_t<double, py::array::c_style | py::array::forcecast>(
        np().attr("ascontiguousarray")(values, "dtype"_a = "float64"));
}

py::array_t<std::int64_t> as_i64(py::handle values) {
    return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
        np().attr("ascontiguousarray")(values, "dtype"_a = "int64"));
}

py::object hashable_keys(py::handle keys) {
    py::object s = pd().attr("Series")(keys, "copy"_a = false);
    py::object dtype = s.attr("dtype");
    py::object types = pd().attr("api").attr("types");
    if (py::bool_(types.attr("is_float_dtype")(dtype))) {
        // -0.0 + 0.0 is 0.0; every NaN the same NaN
        py::object zeroed = s.attr("__add__")(0.0);
        return zeroed.attr("where")(s.attr("notna")(), kNaN);
    }
    if (py::bool_(types.attr("is_object_dtype")(dtype))) {
        return s.attr("where")(s.attr("notna")(), kNaN);
    }
    return s;
}

py::dict pieces_to_python(const core::PairwisePieces &p) {
    const auto n = static_cast<py::ssize_t>(p.nodes.size());
    py::array_t<std::uint64_t> starts(n), lengths(n);
    py::array_t<double> sums(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        starts.mutable_data()[i] = p.nodes[static_cast<std::size_t>(i)].start;
        lengths.mutable_data()[i] = p.nodes[static_cast<std::size_t>(i)].length;
        sums.mutable_data()[i] = p.nodes[static_cast<std::size_t>(i)].sum;
    }
    py::list frags;
    for (const core::PairwiseFragment &f : p.fragments) {
        frags.append(py::make_tuple(f.block_start, f.block_length, f.start,
                                    py::array_t<double>(f.values.size(), f.values.data())));
    }
    py::dict d;
    d["starts"] = starts;
    d["lengths"] = lengths;
    d["sums"] = sums;
    d["frags"] = frags;
    return d;
}

void pieces_from_python(py::handle d, std::vector<core::PairwiseNode> &nodes,
                        std::vector<core::PairwiseFragment> &fragments) {
    py::array_t<std::uint64_t> starts(d["starts"]), lengths(d["lengths"]);
    py::array_t<double> sums(d["sums"]);
    for (py::ssize_t i = 0; i < starts.size(); ++i) {
        nodes.push_back({starts.data()[i], lengths.data()[i], sums.data()[i]});
    }
    for (py::handle f : d["frags"]) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(f);
        core::PairwiseFragment frag;
        frag.block_start = t[0].cast<std::uint64_t>();
        frag.block_length = t[1].cast<std::uint64_t>();
        frag.start = t[2].cast<std::uint64_t>();
        py::array_t<double> v = as_f64(t[3]);
        frag.values.assign(v.data(), v.data() + v.size());
        fragments.push_back(std::move(frag));
    }
}

py::tuple carry_to_python(const core::WindowCarry &c) {
    const std::vector<double> state = core::carry_fields(c);
    return py::make_tuple(py::array_t<double>(static_cast<py::ssize_t>(state.size()), state.data()),
                          py::array_t<double>(static_cast<py::ssize_t>(c.x.size()), c.x.data()),
                          py::array_t<double>(static_cast<py::ssize_t>(c.y.size()), c.y.data()),
                          c.seen);
}

core::WindowCarry carry_from_python(py::handle t) {
    py::tuple tup = py::reinterpret_borrow<py::tuple>(t);
    core::WindowCarry c;
    py::array_t<double> state = as_f64(tup[0]);
    py::array_t<double> x = as_f64(tup[1]), y = as_f64(tup[2]);
    c.x.assign(x.data(), x.data() + x.size());
    c.y.assign(y.data(), y.data() + y.size());
    // a carry that fits no state raises std::invalid_argument: ValueError
    core::restore_carry(
        c, std::span<const double>(state.data(), static_cast<std::size_t>(state.size())));
    c.seen = tup[3].cast<std::uint64_t>();
    return c;
}

namespace {

py::list one(py::handle label) {
    py::list l;
    l.append(label);
    return l;
}

// ---- one partition through the feature engine --------------------------------

// Collect and emit evaluations give what the engine gathered; an apply
// evaluation gives the partition in the model's form.
py::object evaluate(py::object part, std::int64_t k, py::dict plan, const std::string &mode,
                    py::object emit, py::list names, py::args row_parts) {
    py::dict rows;
    for (std::size_t i = 0; i < names.size(); ++i) {
        rows[names[i]] = row_parts[i];
    }
    py::module_ tessel = py::module_::import("brinvale.tessel");
    py::object engine = tessel.attr("_Engine")(plan, k, mode, rows, emit);
    // the operators write records the frame lacks: into a copy, never the caller's
    py::dict records = py::dict(plan["records"]);
    py::object features = plan["features"];
    py::object out = py::none();
    py::dict post = plan["post"];
    py::object label = py::none();
    if (post["append_target"].cast<bool>()) {
        label = py::object(part.attr("__getitem__")(post["target"])).attr("copy")();
    }
    // The operators add columns to the frame they are given; the partition
    // is shared by every evaluation of one graph (and by tasks on one worker).
    part = part.attr("copy")("deep"_a = false);
    try {
        out = tavrin().attr("_with_engine")(engine, tavrin().attr("name2feature"), part, features,
                                            records);
    } catch (py::error_already_set &e) {
        if (!e.matches(tessel.attr("_EmitDone"))) {
            throw;
        }
    }
    if (mode == "apply") {
        return tessel.attr("_finish")(out, k, plan, label);
    }
    py::dict result = engine.attr("result")();
    if (mode == "collect" && py::len(result["unknown"]) == 0) {
        py::object done = tessel.attr("_finish")(out, k, plan, label);
        result["meta"] = done.attr("iloc")[py::slice(0, 0, 1)];
        result["head"] = done.attr("iloc")[py::slice(0, 1, 1)];
    }
    return result;
}

// The steps of the pipeline after the feature engine, on one partition.
py::object finish(py::object df, std::int64_t k, py::dict plan, py::object label) {
    py::dict post = plan["post"];
    const auto n = static_cast<py::ssize_t>(py::len(df));
    py::list offsets = plan["offsets"];
    const auto offset = offsets[static_cast<std::size_t>(k)].cast<py::ssize_t>();
    if (post["fresh_index"].cast<bool>()) {
        // merged frames get a fresh 0..n-1 index: positions in the whole frame
        df.attr("index") = pd().attr("RangeIndex")(offset, offset + n);
    }
    py::object columns = df.attr("columns").attr("tolist")();
    py::object id_index = post["id_index"];
    if (py::bool_(columns.attr("__contains__")(id_index))) {
        df = df.attr("drop")("columns"_a = one(id_index));
    }
    for (py::handle label : post["ignore"]) {
        if (py::bool_(df.attr("columns").attr("tolist")().attr("__contains__")(label))) {
            df = df.attr("drop")("columns"_a = one(label));
        }
    }
    py::object time_index = post["time_index"];
    if (!time_index.is_none() && py::bool_(df.attr("columns").attr("__contains__")(time_index))) {
        // pandas infers a text column's date format from its first value:
        // the whole frame's, found when the frame was surveyed
        py::object dates = df.attr("__getitem__")(time_index);
        py::object format = post["time_format"];
        df.attr("__setitem__")(
            time_index, format.is_none() ? pd().attr("to_datetime")(dates)
                                         : pd().attr("to_datetime")(dates, "format"_a = format));
    }
    py::object target = post["target"];
    if (post["append_target"].cast<bool>()) {
        if (py::bool_(df.attr("columns").attr("__contains__")(target))) {
            df = df.attr("drop")("columns"_a = one(target));
        }
        py::list parts;
        parts.append(df.attr("reset_index")("drop"_a = true));
        parts.append(label.attr("reset_index")("drop"_a = true));
        df = pd().attr("concat")(parts, "axis"_a = 1);
        df.attr("index") = pd().attr("RangeIndex")(offset, offset + n);
    } else if (post["drop_target"].cast<bool>() &&
               py::bool_(df.attr("columns").attr("__contains__")(target))) {
        df = df.attr("drop")("columns"_a = one(target));
    }
    return df;
}

// ---- preparation of the input partitions ----------------------------------------

py::object prepare(py::object part, py::dict prep) {
    py::object df = part.attr("copy")();
    py::object wb = py::module_::import("brinvale.brinvale");
    wb.attr("_encode_text_columns")(df, prep["records"], prep["time_index"]);
    if (prep["percent"].is_none()) {
        return df;
    }
    return wb.attr("_convert_percentages")(df, prep["percent"]);
}

// The partition's length, its percentage columns (once encoded) and the
// first value of its time column that is not missing (None without one).
py::object survey(py::object part, py::dict prep) {
    py::object encoded = prepare(part, prep);
    py::object first = py::none();
    py::object time_index = prep["time_index"];
    if (!time_index.is_none() && py::bool_(part.attr("columns").attr("__contains__")(time_index))) {
        py::object present = part.attr("__getitem__")(time_index).attr("dropna")();
        if (py::len(present) > 0) {
            first = present.attr("iloc")[py::int_(0)];
        }
    }
    return py::make_tuple(
        py::len(part), py::module_::import("brinvale.brinvale").attr("_percent_columns")(encoded),
        first);
}

py::object target_labels(py::object part, py::object target) {
    return part.attr("__getitem__")(target);
}

// ---- group tables over shuffled rows ---------------------------------------------

// One code per group of the key columns `keys` (rows in order), as the
// single machine's table codes them: each column factorized in order of
// first appearance (missing keys a group of their own for counts), then
// combined.
std::pair<py::array_t<std::int64_t>, std::int64_t> key_codes(const std::vector<py::object> &keys,
                                                             bool count) {
    std::vector<py::array_t<std::int64_t>> codes;
    std::vector<std::int64_t> sizes;
    for (const py::object &k : keys) {
        py::tuple f = pd().attr("factorize")(k, "sort"_a = false, "use_na_sentinel"_a = !count);
        codes.push_back(as_i64(f[0]));
        sizes.push_back(static_cast<std::int64_t>(py::len(f[1])));
    }
    py::array_t<std::int64_t> combined = codes[0];
    std::int64_t ngroups = sizes[0];
    if (keys.size() > 1) {
        const py::ssize_t n = codes[0].size();
        combined = py::array_t<std::int64_t>(n);
        std::copy(codes[0].data(), codes[0].data() + n, combined.mutable_data());
        std::span<std::int64_t> c(combined.mutable_data(), static_cast<std::size_t>(n));
        for (std::size_t j = 1; j < keys.size(); ++j) {
            core::combine_codes(c, view(codes[j]), sizes[j], c);
            ngroups = core::dense_rank(c);
        }
    }
    return {combined, ngroups};
}

// One row per group of the shuffled rows (groups never straddle shuffled
// partitions): the keys, and the statistic in the frame's row order.
py::object table(py::object part, const std::string &kind, py::object stat, std::int64_t nkeys,
                 bool has_values, py::object runs) {
    part = in_row_order(part);
    const bool count = kind == "count";
    std::vector<py::object> keys;
    for (std::int64_t j = 0; j < nkeys; ++j) {
        keys.push_back(part.attr("__getitem__")(key_column(static_cast<std::size_t>(j))));
    }
    auto [combined, ngroups] = key_codes(keys, count);
    std::vector<double> values;
    if (kind == "aggregate") {
        const std::string s = py::str(stat).cast<std::string>();
        py::object x = part.attr("__getitem__")(kValue);
        core::GroupStat gs{};
        py::object dtype = x.attr("dtype");
        const std::string dk = py::isinstance(dtype, np().attr("dtype"))
                                   ? py::str(dtype.attr("kind")).cast<std::string>()
                                   : "";
        if (core::parse_group_stat(s, gs) && (dk == "i" || dk == "u" || dk == "f")) {
            py::array_t<double> xv =
                as_f64(x.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = kNaN));
            const bool sorted_runs = !runs.is_none() && runs.cast<bool>();
            py::gil_scoped_release release;
            values = core::group_reduce(gs, view(xv), view(combined), ngroups, sorted_runs);
        } else {
            // what the data-frame library computes for other statistics
            py::object keys = pd().attr("Series")(combined);
            keys = keys.attr("where")(keys.attr("__ge__")(0));
            py::object vals = pd().attr("Series")(np().attr("asarray")(x.attr("array")));
            py::object res = vals.attr("groupby")(keys).attr("agg")(stat);
            res = res.attr("reindex")(np().attr("arange")(ngroups).attr("astype")("float64"));
            py::array_t<double> a =
                as_f64(res.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = kNaN));
            values.assign(a.data(), a.data() + a.size());
        }
    } else {
        std::vector<std::int64_t> c = core::group_sizes(view(combined), ngroups);
        values.assign(c.begin(), c.end());
    }
    (void)has_values;
    std::vector<std::int64_t> first = core::first_rows(view(combined), ngroups);
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(first.size()), first.data());
    py::dict out;
    for (std::int64_t j = 0; j < nkeys; ++j) {
        const std::string col = key_column(static_cast<std::size_t>(j));
        out[py::str(col)] =
            py::object(part.attr("__getitem__")(col)).attr("take")(take).attr("array");
    }
    out[kValue] = py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
    return pd().attr("DataFrame")(out);
}

// ---- group tables carried along the partitions -------------------------------------------

namespace {

core::GroupStat streamed_stat(const std::string &kind, py::handle stat) {
    core::GroupStat gs = core::GroupStat::Size;
    if (kind == "aggregate" && (!core::parse_group_stat(py::str(stat).cast<std::string>(), gs) ||
                                core::group_state_width(gs) == 0)) {
        bind::raise(PyExc_RuntimeError, "the statistic cannot be carried along partitions");
    }
    return gs;
}

std::string field_column(std::size_t i) { return "__f" + std::to_string(i); }

}  // namespace

// The accumulators of every group met so far (`state`: one row per group,
// its keys and fields; None before the first partition) continued with the
// rows one partition emitted for `q`, in row order.  Keys are matched as the
// data-frame library matches them (factorize over both).
py::object group_step(py::object state, py::dict result, py::object q, const std::string &kind,
                      py::object stat, std::int64_t nkeys) {
    py::object piece = py::dict(result["pieces"])[q];
    const core::GroupStat gs = streamed_stat(kind, stat);
    const std::size_t width = core::group_state_width(gs);
    const bool count = kind == "count";
    const auto nold = state.is_none() ? py::ssize_t{0} : static_cast<py::ssize_t>(py::len(state));
    const auto nnew = static_cast<py::ssize_t>(py::len(piece));
    std::vector<py::object> keys;
    for (std::int64_t j = 0; j < nkeys; ++j) {
        const std::string col = key_column(static_cast<std::size_t>(j));
        py::object k = piece.attr("__getitem__")(col);
        if (nold > 0) {
            k = pd().attr("concat")(py::make_tuple(state.attr("__getitem__")(col), k),
                                    "ignore_index"_a = true);
        } else {
            k = k.attr("reset_index")("drop"_a = true);
        }
        keys.push_back(k);
    }
    auto [combined, ngroups] = key_codes(keys, count);
    py::array_t<double> x(nnew);
    if (kind == "aggregate") {
        x = as_f64(piece.attr("__getitem__")(kValue).attr("to_numpy")("dtype"_a = "float64",
                                                                      "na_value"_a = kNaN));
    } else {
        std::fill(x.mutable_data(), x.mutable_data() + nnew, 0.0);
    }
    std::vector<double> fields = core::group_state(gs, ngroups);
    std::vector<std::int64_t> first;
    {
        std::span<const std::int64_t> all = view(combined);
        std::vector<py::array_t<double>> olds;
        for (std::size_t f = 0; f < width && nold > 0; ++f) {
            olds.push_back(as_f64(state.attr("__getitem__")(field_column(f))));
        }
        py::gil_scoped_release release;
        for (py::ssize_t i = 0; i < nold; ++i) {
            const std::int64_t c = all[static_cast<std::size_t>(i)];
            if (c < 0) {
                continue;  // cannot happen for keys that formed a group before
            }
            for (std::size_t f = 0; f < width; ++f) {
                fields[static_cast<std::size_t>(c) * width + f] = olds[f].data()[i];
            }
        }
        core::group_accumulate(gs, view(x), all.subspan(static_cast<std::size_t>(nold)), fields);
        first = core::first_rows(all, ngroups);
    }
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(first.size()), first.data());
    py::dict out;
    for (std::int64_t j = 0; j < nkeys; ++j) {
        out[py::str(key_column(static_cast<std::size_t>(j)))] =
            keys[static_cast<std::size_t>(j)].attr("take")(take).attr("array");
    }
    for (std::size_t f = 0; f < width; ++f) {
        py::array_t<double> col(ngroups);
        for (std::int64_t k = 0; k < ngroups; ++k) {
            col.mutable_data()[k] = fields[static_cast<std::size_t>(k) * width + f];
        }
        out[py::str(field_column(f))] = col;
    }
    return pd().attr("DataFrame")(out);
}

// The table of a carried statistic: keys and values, one row per group.
py::object group_final(py::object state, const std::string &kind, py::object stat,
                       std::int64_t nkeys, py::object meta) {
    if (state.is_none()) {
        return meta;
    }
    const core::GroupStat gs = streamed_stat(kind, stat);
    const std::size_t width = core::group_state_width(gs);
    const auto g = static_cast<std::size_t>(py::len(state));
    std::vector<double> fields(g * width);
    for (std::size_t f = 0; f < width; ++f) {
        py::array_t<double> col = as_f64(state.attr("__getitem__")(field_column(f)));
        for (std::size_t k = 0; k < g; ++k) {
            fields[k * width + f] = col.data()[k];
        }
    }
    std::vector<double> values = core::group_finish(gs, fields);
    py::dict out;
    for (std::int64_t j = 0; j < nkeys; ++j) {
        const std::string col = key_column(static_cast<std::size_t>(j));
        out[py::str(col)] = state.attr("__getitem__")(col).attr("array");
    }
    out[kValue] = py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
    return pd().attr("DataFrame")(out);
}

// ---- ranks over shuffled value ranges ---------------------------------------------

py::object ranks(py::object part, const std::string &kind, py::dict hist, py::object dist) {
    const auto n = static_cast<py::ssize_t>(py::len(part));
    py::array_t<std::int64_t> targets = as_i64(part.attr("__getitem__")(kTarget));
    py::array_t<std::int64_t> row_ids = as_i64(part.attr("__getitem__")(kRowId));
    py::object values = part.attr("__getitem__")(kValue).attr("to_numpy")();
    const char dk = py::array(values).dtype().kind();
    py::array_t<double> xf = as_f64(values);
    py::array_t<std::int64_t> xi;
    if (dk != 'f') {
        xi = as_i64(values);
    }
    // rows of each target together
    std::vector<std::int64_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return targets.data()[a] < targets.data()[b];
    });
    py::array_t<std::int64_t> below =
        as_i64(kind == "percentile" ? hist["below_target"] : py::object(dist["below_distinct"]));
    const double valid = hist["valid"].cast<double>();
    py::array_t<double> out_f(n);
    py::array_t<std::int64_t> out_i(kind == "percentile" ? 0 : n);
    std::size_t s = 0;
    while (s < order.size()) {
        std::size_t e = s;
        const std::int64_t t = targets.data()[order[s]];
        while (e < order.size() && targets.data()[order[e]] == t) {
            ++e;
        }
        const std::size_t m = e - s;
        std::vector<double> gf(m);
        std::vector<std::int64_t> gi(dk != 'f' ? m : 0);
        for (std::size_t r = 0; r < m; ++r) {
            gf[r] = xf.data()[order[s + r]];
            if (dk != 'f') {
                gi[r] = xi.data()[order[s + r]];
            }
        }
        const core::NumericColumn col =
            dk != 'f' ? core::NumericColumn::of(std::span<const std::int64_t>(gi))
                      : core::NumericColumn::of(std::span<const double>(gf));
        if (kind == "percentile") {
            std::vector<double> r(m);
            core::percentile_rank_within(col, below.data()[t], valid, r);
            for (std::size_t j = 0; j < m; ++j) {
                out_f.mutable_data()[order[s + j]] = r[j];
            }
        } else {
            std::vector<std::int64_t> c(m);
            core::label_codes(col, c);
            const std::int64_t total_distinct = dist["D"].cast<std::int64_t>();
            for (std::size_t j = 0; j < m; ++j) {
                const bool missing = std::isnan(gf[j]);
                out_i.mutable_data()[order[s + j]] =
                    missing ? total_distinct : below.data()[t] + c[j];
            }
        }
        s = e;
    }
    py::dict out;
    out[kRowId] = row_ids;
    if (kind == "percentile") {
        out[kValue] = out_f;
    } else {
        out[kValue] = out_i;
    }
    return pd().attr("DataFrame")(out);
}

// Per target: its distinct values, values, missing values and the sum of the
// codes of its values among themselves.
py::object entropy_distinct(py::object part) {
    py::array_t<std::int64_t> targets = as_i64(part.attr("__getitem__")(kTarget));
    py::object values = part.attr("__getitem__")(kValue).attr("to_numpy")();
    const char dk = py::array(values).dtype().kind();
    py::array_t<double> xf = as_f64(values);
    py::array_t<std::int64_t> xi;
    if (dk != 'f') {
        xi = as_i64(values);
    }
    const auto n = static_cast<std::size_t>(xf.size());
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return targets.data()[a] < targets.data()[b];
    });
    std::vector<std::int64_t> t_out, distinct, count, codesum, missing;
    std::size_t s = 0;
    while (s < n) {
        std::size_t e = s;
        const std::int64_t t = targets.data()[order[s]];
        std::vector<double> gf;
        std::vector<std::int64_t> gi;
        std::int64_t nan_rows = 0;
        while (e < n && targets.data()[order[e]] == t) {
            const double v = xf.data()[order[e]];
            if (std::isnan(v)) {
                ++nan_rows;
            } else {
                gf.push_back(v);
                if (dk != 'f') {
                    gi.push_back(xi.data()[order[e]]);
                }
            }
            ++e;
        }
        const core::NumericColumn col =
            dk != 'f' ? core::NumericColumn::of(std::span<const std::int64_t>(gi))
                      : core::NumericColumn::of(std::span<const double>(gf));
        std::vector<std::int64_t> c(gf.size());
        core::label_codes(col, c);
        std::int64_t d = 0, sum = 0;
        for (std::int64_t v : c) {
            d = std::max(d, v + 1);
            sum += v;
        }
        t_out.push_back(t);
        distinct.push_back(d);
        count.push_back(static_cast<std::int64_t>(gf.size()));
        codesum.push_back(sum);
        missing.push_back(nan_rows);
        s = e;
    }
    py::dict out;
    out["target"] = py::array_t<std::int64_t>(t_out.size(), t_out.data());
    out["distinct"] = py::array_t<std::int64_t>(distinct.size(), distinct.data());
    out["count"] = py::array_t<std::int64_t>(count.size(), count.data());
    out["codesum"] = py::array_t<std::int64_t>(codesum.size(), codesum.data());
    out["missing"] = py::array_t<std::int64_t>(missing.size(), missing.data());
    return pd().attr("DataFrame")(out);
}

// ---- grouped windows over shuffled groups ---------------------------------------------

namespace {

// The column a grouped window operator adds to `frame`, computed by the
// single-machine operator on these rows alone.
py::object plain_window(py::object frame, const std::string &op, py::list operands,
                        py::object group) {
    py::object plain =
        py::module_::import("brinvale.tessel")
            .attr("_Engine")(py::dict("group"_a = group), 0, "plain", py::dict(), py::none());
    frame = frame.attr("copy")();
    py::list args;
    args.append(plain);
    args.append(tavrin().attr(op.c_str()));
    args.append(frame);
    for (py::handle o : operands) {
        args.append(o);
    }
    py::object before = frame.attr("columns").attr("tolist")();
    py::object out = tavrin().attr("_with_engine")(*py::tuple(args));
    // the operator's column: the one it added
    py::object added = py::none();
    for (py::handle c : out.attr("columns")) {
        if (!py::bool_(before.attr("__contains__")(c))) {
            added = py::reinterpret_borrow<py::object>(c);
        }
    }
    return out.attr("__getitem__")(added);
}

}  // namespace

py::object window_rows(py::object part, const std::string &op, py::list operands, py::object group,
                       py::object dtype) {
    part = in_row_order(part);
    py::object values = plain_window(part, op, operands, group);
    py::dict res;
    res[kRowId] = part.attr("__getitem__")(kRowId).attr("array");
    res[kValue] = values.attr("astype")(dtype).attr("array");
    return pd().attr("DataFrame")(res);
}

// ---- grouped windows carried along the partitions ---------------------------------

// One partition's values of a grouped window and what its groups leave the
// partitions after it: `state` (None before the first partition) holds, for
// running windows, the groups' keys and their carries, and for the others
// the last `before` rows of every group, which the partition's rows are
// computed after.
py::object group_window_step(py::object state, py::dict result, py::object q, const std::string &op,
                             py::list operands, py::object group, py::object dtype,
                             std::int64_t window, std::int64_t before, std::uint64_t total) {
    py::object piece = py::dict(result["pieces"])[q];
    const auto nnew = static_cast<py::ssize_t>(py::len(piece));
    const bool running = op == "tsum" || op == "ts_mean" || op == "stddev" ||
                         op == "tcorrelation" || op == "tcorvariance";
    if (!running || window <= 1) {
        py::object frame = piece;
        py::ssize_t nold = 0;
        if (!state.is_none()) {
            nold = static_cast<py::ssize_t>(py::len(state));
            frame = pd().attr("concat")(py::make_tuple(state, piece), "ignore_index"_a = true);
        }
        py::object values = plain_window(frame, op, operands, group);
        values = values.attr("iloc")[py::slice(nold, nold + nnew, 1)];
        py::object tails = frame.attr("groupby")(group, "dropna"_a = false, "sort"_a = false)
                               .attr("tail")(std::max<std::int64_t>(before, 0))
                               .attr("reset_index")("drop"_a = true);
        return py::make_tuple(values.attr("astype")(dtype).attr("array"), tails);
    }
    const bool pair = op == "tcorrelation" || op == "tcorvariance";
    py::object piece_keys = piece.attr("__getitem__")(group).attr("reset_index")("drop"_a = true);
    py::object keys = piece_keys;
    std::vector<py::object> key_parts;
    py::ssize_t nold = 0;
    std::vector<core::WindowCarry> carries;
    if (!state.is_none()) {
        py::tuple st = state;
        nold = static_cast<py::ssize_t>(py::len(st[0]));
        key_parts.push_back(st[0]);
        keys = pd().attr("concat")(py::make_tuple(st[0], keys), "ignore_index"_a = true);
        for (py::handle c : py::list(st[1])) {
            carries.push_back(carry_from_python(c));
        }
    }
    key_parts.push_back(piece_keys);
    py::array_t<std::int64_t> codes;
    std::int64_t ngroups = 0;
    if (std::optional<keycols::JointCodes> j = keycols::joint_key_codes(key_parts, false)) {
        codes = j->codes;
        ngroups = j->ngroups;
    } else {
        py::tuple f = pd().attr("factorize")(keys, "sort"_a = false, "use_na_sentinel"_a = true);
        codes = as_i64(f[0]);
        ngroups = static_cast<std::int64_t>(py::len(f[1]));
    }
    // the groups met before keep their codes' order: first appearance
    carries.resize(static_cast<std::size_t>(ngroups));
    const auto as_column = [&](py::handle col) {
        return as_f64(piece.attr("__getitem__")(col).attr("to_numpy")("dtype"_a = "float64",
                                                                      "na_value"_a = kNaN));
    };
    py::array_t<double> x = as_column(operands[0]);
    py::array_t<double> y = pair ? as_column(operands[1]) : py::array_t<double>(0);
    py::array_t<double> out(nnew);
    std::vector<std::int64_t> first;
    {
        std::span<const std::int64_t> all = view(codes);
        for (py::ssize_t i = 0; i < nold; ++i) {
            if (all[static_cast<std::size_t>(i)] != i) {
                bind::raise(PyExc_RuntimeError, "the carried groups do not match their keys");
            }
        }
        std::span<const std::int64_t> mine = all.subspan(static_cast<std::size_t>(nold));
        const auto w = static_cast<std::uint64_t>(window);
        py::gil_scoped_release release;
        if (pair) {
            core::rolling_pair_grouped_continue(
                op == "tcorrelation" ? core::PairStat::Corr : core::PairStat::Cov, view(x), view(y),
                mine, w, total, carries, mut(out));
        } else {
            // grouped, the mean operator gives the window sums, as on one machine
            core::rolling_grouped_continue(op == "stddev" ? core::WindowStat::Std
                                                          : core::WindowStat::Sum,
                                           view(x), mine, w, total, carries, mut(out));
        }
        first = core::first_rows(all, ngroups);
    }
    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(first.size()), first.data());
    py::list kept;
    for (const core::WindowCarry &c : carries) {
        kept.append(carry_to_python(c));
    }
    py::object values = pd().attr("Series")(out).attr("astype")(dtype).attr("array");
    return py::make_tuple(
        values, py::make_tuple(keys.attr("take")(take).attr("reset_index")("drop"_a = true), kept));
}

// ---- running windows along the partitions ---------------------------------------------

py::object chain_step(py::object carry_in, py::dict result, const std::string &q,
                      const std::string &op, std::int64_t window, std::uint64_t total) {
    py::object piece = py::dict(result["pieces"])[py::str(q)];
    core::WindowCarry carry = carry_from_python(carry_in);
    py::array_t<double> x = as_f64(piece.attr("__getitem__")(key_column(0)));
    py::array_t<double> out(x.size());
    const auto w = static_cast<std::uint64_t>(window);
    if (op == "tcorrelation" || op == "tcorvariance") {
        py::array_t<double> y = as_f64(piece.attr("__getitem__")(key_column(1)));
        const core::PairStat stat =
            op == "tcorrelation" ? core::PairStat::Corr : core::PairStat::Cov;
        py::gil_scoped_release release;
        core::rolling_pair_continue(stat, view(x), view(y), w, total, carry, mut(out));
    } else {
        const core::WindowStat stat = op == "tsum"      ? core::WindowStat::Sum
                                      : op == "ts_mean" ? core::WindowStat::Mean
                                                        : core::WindowStat::Std;
        py::gil_scoped_release release;
        core::rolling_continue(stat, view(x), w, total, carry, mut(out));
    }
    return carry_to_python(carry);
}

py::object pieces_of(py::dict result, py::object q) { return py::dict(result["pieces"])[q]; }

// A per-row quantity's values in a partition, without the row ids.
py::object row_values(py::object part) { return part.attr("__getitem__")(kValue).attr("array"); }

py::object predict_part(py::object df, py::object model, py::object target,
                        const std::string &method) {
    if (py::bool_(df.attr("columns").attr("tolist")().attr("__contains__")(target))) {
        df = df.attr("drop")("columns"_a = one(target));
    }
    py::object result = np().attr("asarray")(model.attr(method.c_str())(df));
    return result;
}

}  // namespace

void register_tasks(py::module_ &m) {
    m.def("_evaluate", &evaluate, py::arg("part"), py::arg("k"), py::arg("plan"), py::arg("mode"),
          py::arg("emit"), py::arg("names"));
    m.def("_finish", &finish, py::arg("df"), py::arg("k"), py::arg("plan"), py::arg("label"));
    m.def("_prepare", &prepare, py::arg("part"), py::arg("prep"));
    m.def("_survey", &survey, py::arg("part"), py::arg("prep"));
    m.def("_target_labels", &target_labels, py::arg("part"), py::arg("target"));
    m.def("_table", &table, py::arg("part"), py::arg("kind"), py::arg("stat"), py::arg("nkeys"),
          py::arg("has_values"), py::arg("runs"));
    m.def("_group_step", &group_step, py::arg("state"), py::arg("result"), py::arg("q"),
          py::arg("kind"), py::arg("stat"), py::arg("nkeys"));
    m.def("_group_final", &group_final, py::arg("state"), py::arg("kind"), py::arg("stat"),
          py::arg("nkeys"), py::arg("meta"));
    m.def("_ranks", &ranks, py::arg("part"), py::arg("kind"), py::arg("hist"), py::arg("dist"));
    m.def("_entropy_distinct", &entropy_distinct, py::arg("part"));
    m.def("_window_rows", &window_rows, py::arg("part"), py::arg("op"), py::arg("operands"),
          py::arg("group"), py::arg("dtype"));
    m.def("_group_window_step", &group_window_step, py::arg("state"), py::arg("result"),
          py::arg("q"), py::arg("op"), py::arg("operands"), py::arg("group"), py::arg("dtype"),
          py::arg("window"), py::arg("before"), py::arg("total"));
    m.def("_chain_step", &chain_step, py::arg("carry"), py::arg("result"), py::arg("q"),
          py::arg("op"), py::arg("window"), py::arg("total"));
    m.def("_pieces", &pieces_of, py::arg("result"), py::arg("q"));
    m.def("_row_values", &row_values, py::arg("part"));
    m.def("_predict_part", &predict_part, py::arg("df"), py::arg("model"), py::arg("target"),
          py::arg("method"));
}

}  // namespace brinvale::tessel
