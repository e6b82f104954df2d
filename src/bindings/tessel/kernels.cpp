// The numeric pieces of the Dask layer: NumPy arrays in, NumPy arrays (and
// small tuples of them) out.  Everything that knows about partitions, rounds
// and Dask lives in the Python package brinvale.tessel; these shims only
// hand its arrays to the core's kernels that continue across partitions.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "bind.hpp"
#include "brinvale/elementwise.hpp"
#include "brinvale/groupstats.hpp"
#include "brinvale/partitioned.hpp"
#include "brinvale/window_chain.hpp"
#include "key_columns.hpp"

namespace brinvale::tessel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;
using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

template <typename T, int F>
std::span<const T> view(const py::array_t<T, F> &a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

template <typename T>
py::array_t<T> to_array(const std::vector<T> &v) {
    return py::array_t<T>(static_cast<py::ssize_t>(v.size()), v.data());
}

std::span<double> mut(py::array_t<double> &a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

// ---- NumPy's pairwise sum in pieces --------------------------------------

py::dict pieces_to_python(const core::PairwisePieces &p) {
    const auto n = static_cast<py::ssize_t>(p.nodes.size());
    py::array_t<std::uint64_t> starts(n), lengths(n);
    py::array_t<double> sums(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const core::PairwiseNode &node = p.nodes[static_cast<std::size_t>(i)];
        starts.mutable_data()[i] = node.start;
        lengths.mutable_data()[i] = node.length;
        sums.mutable_data()[i] = node.sum;
    }
    py::list frags;
    for (const core::PairwiseFragment &f : p.fragments) {
        frags.append(py::make_tuple(f.block_start, f.block_length, f.start, to_array(f.values)));
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
    py::array_t<std::uint64_t, py::array::forcecast> starts(d["starts"]), lengths(d["lengths"]);
    F64 sums(d["sums"]);
    for (py::ssize_t i = 0; i < starts.size(); ++i) {
        nodes.push_back({starts.data()[i], lengths.data()[i], sums.data()[i]});
    }
    for (py::handle f : d["frags"]) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(f);
        core::PairwiseFragment frag;
        frag.block_start = t[0].cast<std::uint64_t>();
        frag.block_length = t[1].cast<std::uint64_t>();
        frag.start = t[2].cast<std::uint64_t>();
        F64 v(t[3]);
        frag.values.assign(v.data(), v.data() + v.size());
        fragments.push_back(std::move(frag));
    }
}

py::dict pairwise_pieces(F64 values, std::uint64_t offset, std::uint64_t total) {
    if (offset + static_cast<std::uint64_t>(values.size()) > total) {
        bind::raise(PyExc_ValueError, "a part reaches beyond the column it belongs to");
    }
    core::PairwisePieces p;
    {
        py::gil_scoped_release release;
        p = core::pairwise_pieces(view(values), offset, total);
    }
    return pieces_to_python(p);
}

double pairwise_total(std::uint64_t total, py::list parts) {
    std::vector<core::PairwiseNode> nodes;
    std::vector<core::PairwiseFragment> frags;
    for (py::handle p : parts) {
        pieces_from_python(p, nodes, frags);
    }
    return core::pairwise_total(total, nodes, frags);
}

// ---- order statistics ----------------------------------------------------------

py::tuple digit_counts(F64 values, int level, std::uint64_t prefix) {
    core::DigitCounts c;
    {
        py::gil_scoped_release release;
        c = core::digit_counts(view(values), level, prefix);
    }
    return py::make_tuple(to_array(c.digits), to_array(c.counts));
}

py::array_t<double> values_with_prefix(F64 values, int level, std::uint64_t prefix) {
    return to_array(core::values_with_prefix(view(values), level, prefix));
}

// The first 16 bits of every value's order key (missing values: -1).
py::array_t<std::int64_t> top_digits(F64 values) {
    py::array_t<std::int64_t> out(values.size());
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        const double x = values.data()[i];
        out.mutable_data()[i] =
            std::isnan(x) ? -1 : static_cast<std::int64_t>(core::order_key(x) >> 48);
    }
    return out;
}

// Values in the order of their keys (the order the digits narrow down).
py::array_t<double> sorted_by_key(F64 values) {
    std::vector<double> v(values.data(), values.data() + values.size());
    std::sort(v.begin(), v.end(),
              [](double a, double b) { return core::order_key(a) < core::order_key(b); });
    return to_array(v);
}

core::NumericColumn numeric(const py::array &values, py::array &hold) {
    if (values.dtype().kind() == 'f') {
        hold = F64(values);
        return {static_cast<const double *>(hold.data()), nullptr,
                static_cast<std::size_t>(hold.size())};
    }
    hold = I64(values);
    return {nullptr, static_cast<const std::int64_t *>(hold.data()),
            static_cast<std::size_t>(hold.size())};
}

py::tuple column_minimum(py::array values) {
    py::array hold;
    const core::ColumnMinimum lo = core::column_minimum(numeric(values, hold));
    return py::make_tuple(lo.value, lo.integer);
}

py::tuple softmax_maximum(py::array values) {
    py::array hold;
    const core::ColumnMaximum hi = core::softmax_maximum(numeric(values, hold));
    return py::make_tuple(hi.value, hi.integer);
}

py::array_t<double> entropy_terms(I64 codes, std::int64_t total) {
    py::array_t<double> out(codes.size());
    core::entropy_terms(view(codes), total, mut(out));
    return out;
}

// Rows grouped by their shuffle target, in row order within a target.
std::vector<std::size_t> by_target(const I64 &targets) {
    std::vector<std::size_t> order(static_cast<std::size_t>(targets.size()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return targets.data()[a] < targets.data()[b];
    });
    return order;
}

// The percentile ranks ("percentile") or distinct-value codes ("entropy")
// of rows shuffled to value ranges, each range ranked with the counts of the
// ranges below it.
py::array ranks(const std::string &kind, I64 targets, py::array values, I64 below, double valid,
                std::int64_t total_distinct) {
    const bool integral = values.dtype().kind() != 'f';
    F64 xf(values);
    I64 xi;
    if (integral) {
        xi = I64(values);
    }
    const std::vector<std::size_t> order = by_target(targets);
    const auto n = static_cast<py::ssize_t>(order.size());
    const bool percentile = kind == "percentile";
    py::array_t<double> out_f(percentile ? n : 0);
    py::array_t<std::int64_t> out_i(percentile ? 0 : n);
    std::size_t s = 0;
    while (s < order.size()) {
        std::size_t e = s;
        const std::int64_t t = targets.data()[order[s]];
        if (t < 0 || t >= below.size()) {
            bind::raise(PyExc_ValueError, "a row's value range is not among the ranges");
        }
        while (e < order.size() && targets.data()[order[e]] == t) {
            ++e;
        }
        const std::size_t m = e - s;
        std::vector<double> gf(m);
        std::vector<std::int64_t> gi(integral ? m : 0);
        for (std::size_t r = 0; r < m; ++r) {
            gf[r] = xf.data()[order[s + r]];
            if (integral) {
                gi[r] = xi.data()[order[s + r]];
            }
        }
        const core::NumericColumn col =
            integral ? core::NumericColumn::of(std::span<const std::int64_t>(gi))
                     : core::NumericColumn::of(std::span<const double>(gf));
        if (percentile) {
            std::vector<double> r(m);
            core::percentile_rank_within(col, below.data()[t], valid, r);
            for (std::size_t j = 0; j < m; ++j) {
                out_f.mutable_data()[order[s + j]] = r[j];
            }
        } else {
            std::vector<std::int64_t> c(m);
            core::label_codes(col, c);
            for (std::size_t j = 0; j < m; ++j) {
                out_i.mutable_data()[order[s + j]] =
                    std::isnan(gf[j]) ? total_distinct : below.data()[t] + c[j];
            }
        }
        s = e;
    }
    if (percentile) {
        return out_f;
    }
    return out_i;
}

// Per value range: its distinct values, values, missing values and the sum
// of the codes of its values among themselves.
py::dict entropy_distinct(I64 targets, py::array values) {
    const bool integral = values.dtype().kind() != 'f';
    F64 xf(values);
    I64 xi;
    if (integral) {
        xi = I64(values);
    }
    const std::vector<std::size_t> order = by_target(targets);
    std::vector<std::int64_t> t_out, distinct, count, codesum, missing;
    std::size_t s = 0;
    while (s < order.size()) {
        std::size_t e = s;
        const std::int64_t t = targets.data()[order[s]];
        std::vector<double> gf;
        std::vector<std::int64_t> gi;
        std::int64_t nan_rows = 0;
        while (e < order.size() && targets.data()[order[e]] == t) {
            const double v = xf.data()[order[e]];
            if (std::isnan(v)) {
                ++nan_rows;
            } else {
                gf.push_back(v);
                if (integral) {
                    gi.push_back(xi.data()[order[e]]);
                }
            }
            ++e;
        }
        const core::NumericColumn col =
            integral ? core::NumericColumn::of(std::span<const std::int64_t>(gi))
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
    out["target"] = to_array(t_out);
    out["distinct"] = to_array(distinct);
    out["count"] = to_array(count);
    out["codesum"] = to_array(codesum);
    out["missing"] = to_array(missing);
    return out;
}

// ---- group tables ----------------------------------------------------------------

core::GroupStat parse_stat(const std::string &name) {
    core::GroupStat gs{};
    if (name == "size") {
        return core::GroupStat::Size;
    }
    if (!core::parse_group_stat(name, gs)) {
        bind::raise(PyExc_ValueError, "the statistic " + name + " is not computed natively");
    }
    return gs;
}

// The state width of a statistic read once in row order; 0 for the others
// and for statistics not computed natively.
std::size_t carried_width(const std::string &name) {
    core::GroupStat gs{};
    if (name == "size") {
        return core::group_state_width(core::GroupStat::Size);
    }
    return core::parse_group_stat(name, gs) ? core::group_state_width(gs) : 0;
}

bool native_stat(const std::string &name) {
    core::GroupStat gs{};
    return core::parse_group_stat(name, gs);
}

// One code per combination of the key columns' codes, densely numbered in
// order of first appearance.
py::tuple combine_codes(py::list codes, py::list sizes) {
    if (codes.empty() || codes.size() != sizes.size()) {
        bind::raise(PyExc_ValueError, "one size is needed per code column");
    }
    I64 first(codes[0]);
    std::int64_t ngroups = sizes[0].cast<std::int64_t>();
    py::array_t<std::int64_t> combined(first.size());
    std::copy(first.data(), first.data() + first.size(), combined.mutable_data());
    std::span<std::int64_t> c(combined.mutable_data(), static_cast<std::size_t>(combined.size()));
    for (std::size_t j = 1; j < codes.size(); ++j) {
        I64 next(codes[j]);
        if (next.size() != combined.size()) {
            bind::raise(PyExc_ValueError, "code columns of different lengths");
        }
        core::combine_codes(c, view(next), sizes[j].cast<std::int64_t>(), c);
        ngroups = core::dense_rank(c);
    }
    return py::make_tuple(combined, ngroups);
}

void check_codes(const I64 &codes, std::int64_t ngroups) {
    for (py::ssize_t i = 0; i < codes.size(); ++i) {
        if (codes.data()[i] >= ngroups) {
            bind::raise(PyExc_ValueError, "a group code beyond the number of groups");
        }
    }
}

py::array_t<double> group_reduce(const std::string &stat, F64 x, I64 codes, std::int64_t ngroups,
                                 bool sorted_runs) {
    const core::GroupStat gs = parse_stat(stat);
    check_codes(codes, ngroups);
    if (x.size() != codes.size()) {
        bind::raise(PyExc_ValueError, "values and codes of different lengths");
    }
    std::vector<double> v;
    {
        py::gil_scoped_release release;
        v = core::group_reduce(gs, view(x), view(codes), ngroups, sorted_runs);
    }
    return to_array(v);
}

py::array_t<double> group_sizes(I64 codes, std::int64_t ngroups) {
    check_codes(codes, ngroups);
    const std::vector<std::int64_t> c = core::group_sizes(view(codes), ngroups);
    return to_array(std::vector<double>(c.begin(), c.end()));
}

py::array_t<std::int64_t> first_rows(I64 codes, std::int64_t ngroups) {
    check_codes(codes, ngroups);
    return to_array(core::first_rows(view(codes), ngroups));
}

// Every group's accumulators (ngroups x width) after the rows of one part:
// `old` holds the accumulators of the groups met before, one row each, and
// `old_codes` their codes among the `ngroups` groups.
py::array_t<double> group_accumulate(const std::string &stat, F64 x, I64 codes,
                                     std::int64_t ngroups, F64 old, I64 old_codes) {
    const core::GroupStat gs = parse_stat(stat);
    const std::size_t width = core::group_state_width(gs);
    check_codes(codes, ngroups);
    check_codes(old_codes, ngroups);
    const auto nold = static_cast<std::size_t>(old_codes.size());
    if (width == 0 || x.size() != codes.size() ||
        static_cast<std::size_t>(old.size()) != nold * width) {
        bind::raise(PyExc_ValueError, "accumulators that do not fit the statistic or the groups");
    }
    std::vector<double> fields = core::group_state(gs, ngroups);
    for (std::size_t i = 0; i < nold; ++i) {
        const std::int64_t c = old_codes.data()[i];
        if (c < 0) {
            continue;  // keys that formed a group before always form one again
        }
        std::copy(old.data() + i * width, old.data() + (i + 1) * width,
                  fields.begin() +
                      static_cast<std::ptrdiff_t>(static_cast<std::size_t>(c) * width));
    }
    {
        py::gil_scoped_release release;
        core::group_accumulate(gs, view(x), view(codes), fields);
    }
    py::array_t<double> out({static_cast<py::ssize_t>(ngroups), static_cast<py::ssize_t>(width)});
    std::copy(fields.begin(), fields.end(), out.mutable_data());
    return out;
}

py::array_t<double> group_finish(const std::string &stat, F64 fields) {
    const core::GroupStat gs = parse_stat(stat);
    const std::size_t width = core::group_state_width(gs);
    if (width == 0 || fields.size() % static_cast<py::ssize_t>(width) != 0) {
        bind::raise(PyExc_ValueError, "accumulators that do not fit the statistic");
    }
    return to_array(core::group_finish(gs, view(fields)));
}

// Values at `mine` looked up among `keys` (the first row of a repeated key
// wins); NaN where absent or negative.
py::array_t<double> lookup(I64 keys, F64 values, I64 mine) {
    if (keys.size() != values.size()) {
        bind::raise(PyExc_ValueError, "keys and values of different lengths");
    }
    std::unordered_map<std::int64_t, double> table;
    for (py::ssize_t r = 0; r < keys.size(); ++r) {
        if (keys.data()[r] >= 0) {
            table.emplace(keys.data()[r], values.data()[r]);
        }
    }
    py::array_t<double> out(mine.size());
    for (py::ssize_t r = 0; r < mine.size(); ++r) {
        const auto it = table.find(mine.data()[r]);
        out.mutable_data()[r] = mine.data()[r] >= 0 && it != table.end() ? it->second : kNaN;
    }
    return out;
}

// Keys of several parts in one code space, as concat then factorize codes
// them (None where the keys' types need pandas' own equality).
py::object joint_codes(py::list parts) {
    std::vector<py::object> p;
    for (py::handle h : parts) {
        p.push_back(py::reinterpret_borrow<py::object>(h));
    }
    std::optional<keycols::JointCodes> j = keycols::joint_key_codes(p, false);
    if (!j) {
        return py::none();
    }
    return py::make_tuple(j->codes, j->ngroups);
}

// ---- windows continued along the partitions --------------------------------------

py::tuple carry_to_python(const core::WindowCarry &c) {
    return py::make_tuple(to_array(core::carry_fields(c)), to_array(c.x), to_array(c.y), c.seen);
}

core::WindowCarry carry_from_python(py::handle t) {
    if (t.is_none()) {
        return core::WindowCarry{};
    }
    py::tuple tup = py::reinterpret_borrow<py::tuple>(t);
    if (tup.size() != 4) {
        bind::raise(PyExc_ValueError, "a window carry is a tuple of four");
    }
    core::WindowCarry c;
    F64 state(tup[0]), x(tup[1]), y(tup[2]);
    c.x.assign(x.data(), x.data() + x.size());
    c.y.assign(y.data(), y.data() + y.size());
    try {
        core::restore_carry(c, view(state));
    } catch (const std::invalid_argument &e) {
        bind::raise(PyExc_ValueError, e.what());
    }
    c.seen = tup[3].cast<std::uint64_t>();
    return c;
}

bool is_pair(const std::string &op) { return op == "tcorrelation" || op == "tcorvariance"; }

core::WindowStat running_stat(const std::string &op, bool grouped) {
    if (op == "tsum") {
        return core::WindowStat::Sum;
    }
    if (op == "ts_mean") {
        // grouped, the mean operator gives the window sums, as on one machine
        return grouped ? core::WindowStat::Sum : core::WindowStat::Mean;
    }
    if (op == "stddev") {
        return core::WindowStat::Std;
    }
    bind::raise(PyExc_ValueError, "no running window " + op);
}

std::uint64_t window_length(std::int64_t window) {
    if (window < 1) {
        bind::raise(PyExc_ValueError, "a running window needs a length of at least 1");
    }
    return static_cast<std::uint64_t>(window);
}

// The second operand of a pair window, as long as the first.
F64 second_operand(const F64 &x, py::object y_in) {
    F64 y(y_in);
    if (y.size() != x.size()) {
        bind::raise(PyExc_ValueError, "operands of different lengths");
    }
    return y;
}

core::PairStat pair_stat(const std::string &op) {
    return op == "tcorrelation" ? core::PairStat::Corr : core::PairStat::Cov;
}

// One part of a running window: its values and the carry for the next part.
py::tuple rolling_continue(const std::string &op, F64 x, py::object y_in, std::int64_t window,
                           std::uint64_t total, py::object carry_in) {
    core::WindowCarry carry = carry_from_python(carry_in);
    py::array_t<double> out(x.size());
    const std::uint64_t w = window_length(window);
    if (is_pair(op)) {
        F64 y = second_operand(x, y_in);
        const core::PairStat stat = pair_stat(op);
        py::gil_scoped_release release;
        core::rolling_pair_continue(stat, view(x), view(y), w, total, carry, mut(out));
    } else {
        const core::WindowStat stat = running_stat(op, false);
        py::gil_scoped_release release;
        core::rolling_continue(stat, view(x), w, total, carry, mut(out));
    }
    return py::make_tuple(out, carry_to_python(carry));
}

// One part of a grouped running window: `codes` number the groups met so far
// (the carried groups first, in their order), `carries` the carried states.
py::tuple rolling_grouped_continue(const std::string &op, F64 x, py::object y_in, I64 codes,
                                   std::int64_t ngroups, std::int64_t window, std::uint64_t total,
                                   py::list carries_in) {
    if (codes.size() != x.size()) {
        bind::raise(PyExc_ValueError, "values and codes of different lengths");
    }
    check_codes(codes, ngroups);
    std::vector<core::WindowCarry> carries;
    for (py::handle c : carries_in) {
        carries.push_back(carry_from_python(c));
    }
    if (static_cast<std::int64_t>(carries.size()) > ngroups) {
        bind::raise(PyExc_ValueError, "more carried groups than groups");
    }
    carries.resize(static_cast<std::size_t>(ngroups));
    py::array_t<double> out(x.size());
    const std::uint64_t w = window_length(window);
    if (is_pair(op)) {
        F64 y = second_operand(x, y_in);
        const core::PairStat stat = pair_stat(op);
        py::gil_scoped_release release;
        core::rolling_pair_grouped_continue(stat, view(x), view(y), view(codes), w, total, carries,
                                            mut(out));
    } else {
        const core::WindowStat stat = running_stat(op, true);
        py::gil_scoped_release release;
        core::rolling_grouped_continue(stat, view(x), view(codes), w, total, carries, mut(out));
    }
    py::list kept;
    for (const core::WindowCarry &c : carries) {
        kept.append(carry_to_python(c));
    }
    return py::make_tuple(out, kept);
}

}  // namespace

}  // namespace brinvale::tessel

BRINVALE_MODULE(_kernels, m) {
    using namespace brinvale::tessel;
    namespace core = brinvale::core;
    m.doc() = "Numeric pieces of the partitioned engine (NumPy arrays in and out).";
    m.def("pairwise_pieces", &pairwise_pieces, "values"_a, "offset"_a, "total"_a);
    m.def("pairwise_total", &pairwise_total, "total"_a, "parts"_a);
    m.def("digit_counts", &digit_counts, "values"_a, "level"_a, "prefix"_a);
    m.def("values_with_prefix", &values_with_prefix, "values"_a, "level"_a, "prefix"_a);
    m.def("key_value", &core::key_value, "key"_a);
    m.def("top_digits", &top_digits, "values"_a);
    m.def("sorted_by_key", &sorted_by_key, "values"_a);
    m.def("column_median", [](F64 x) { return core::column_median(view(x)); }, "values"_a);
    m.def("column_minimum", &column_minimum, "values"_a);
    m.def("softmax_maximum", &softmax_maximum, "values"_a);
    m.def("entropy_terms", &entropy_terms, "codes"_a, "total"_a);
    m.def("ranks", &ranks, "kind"_a, "targets"_a, "values"_a, "below"_a, "valid"_a,
          "total_distinct"_a);
    m.def("entropy_distinct", &entropy_distinct, "targets"_a, "values"_a);
    m.def("carried_width", &carried_width, "stat"_a);
    m.def("native_stat", &native_stat, "stat"_a);
    m.def("combine_codes", &combine_codes, "codes"_a, "sizes"_a);
    m.def("group_reduce", &group_reduce, "stat"_a, "values"_a, "codes"_a, "ngroups"_a,
          "sorted_runs"_a);
    m.def("group_sizes", &group_sizes, "codes"_a, "ngroups"_a);
    m.def("first_rows", &first_rows, "codes"_a, "ngroups"_a);
    m.def("group_accumulate", &group_accumulate, "stat"_a, "values"_a, "codes"_a, "ngroups"_a,
          "old"_a, "old_codes"_a);
    m.def("group_finish", &group_finish, "stat"_a, "fields"_a);
    m.def("lookup", &lookup, "keys"_a, "values"_a, "mine"_a);
    m.def("joint_codes", &joint_codes, "parts"_a);
    m.def("empty_carry", []() { return carry_to_python(core::WindowCarry{}); });
    m.def("rolling_continue", &rolling_continue, "op"_a, "x"_a, "y"_a, "window"_a, "total"_a,
          "carry"_a);
    m.def("rolling_grouped_continue", &rolling_grouped_continue, "op"_a, "x"_a, "y"_a, "codes"_a,
          "ngroups"_a, "window"_a, "total"_a, "carries"_a);
}
