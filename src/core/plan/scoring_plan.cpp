#include "brinvale/scoring_plan.hpp"

#include "brinvale/elementwise.hpp"
#include "brinvale/group_columns.hpp"
#include "brinvale/group_keys.hpp"
#include "brinvale/groupstats.hpp"
#include "brinvale/windows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>

namespace brinvale::core::plan {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The values of a numeric column as the kernels take them.
NumericColumn numeric(const Column &c) {
    if (c.kind == Kind::f64) {
        return NumericColumn::of(std::span<const double>(c.f));
    }
    if (c.kind == Kind::i64) {
        return NumericColumn::of(std::span<const std::int64_t>(c.i));
    }
    unplanned("the column '" + c.label + "' is not a float64 or int64 column");
}

// pandas converts integer columns to float64 for windows and group statistics.
std::vector<double> as_double(const Column &c) {
    if (c.kind == Kind::f64) {
        return c.f;
    }
    if (c.kind == Kind::i64) {
        return std::vector<double>(c.i.begin(), c.i.end());
    }
    unplanned("the column '" + c.label + "' is not a float64 or int64 column");
}

const Column &operand(const Frame &frame, const std::string &label) {
    const Column *c = frame.find(label);
    if (c == nullptr) {
        unplanned("the frame has no column '" + label + "'");
    }
    return *c;
}

// An operand as the engine's element-wise operators read it: float64 and
// int64 columns with at least one row go to the kernels, everything else
// (an empty column, booleans, other dtypes) to pandas, which the plan does
// not stand in for.
const Column &kernel_operand(const Frame &frame, const std::string &label) {
    const Column &c = operand(frame, label);
    if (c.kind != Kind::f64 && c.kind != Kind::i64) {
        unplanned("the column '" + c.label + "' is not a float64 or int64 column");
    }
    if (frame.rows == 0) {
        unplanned("an operator over an empty frame");
    }
    return c;
}

Column bool_column(const std::string &label, std::size_t rows,
                   const std::function<void(std::span<bool>)> &kernel) {
    auto flags = std::make_unique<bool[]>(rows);
    kernel(std::span<bool>(flags.get(), rows));
    Column c;
    c.label = label;
    c.kind = Kind::boolean;
    c.b.assign(flags.get(), flags.get() + rows);
    return c;
}

Column float_column(const std::string &label, std::vector<double> values) {
    Column c;
    c.label = label;
    c.kind = Kind::f64;
    c.f = std::move(values);
    return c;
}

// Group codes of a key column in order of first appearance, with the key of
// every group (the plan serves key columns without missing values only: the
// engine's merges would match missing keys with each other).
struct FrameKeys {
    std::vector<std::int64_t> codes;
    KeyCodes summary;
    std::vector<std::uint64_t> keys;     // per group
    std::vector<std::int64_t> integers;  // per group, for int64 key columns
    bool integral = false;
    bool sorted_runs = false;  // pandas' sorted group ids never decrease along the rows
};

FrameKeys frame_keys(const Column &c, std::size_t rows) {
    FrameKeys k;
    k.codes.resize(rows);
    std::vector<std::int64_t> sorted(rows);
    if (c.kind == Kind::i64) {
        k.summary = code_keys(std::span<const std::int64_t>(c.i), false, k.codes);
        const KeyCodes s = code_keys(std::span<const std::int64_t>(c.i), true, sorted);
        k.sorted_runs = k.summary.nondecreasing && s.nondecreasing;
        k.integral = true;
        for (std::int64_t first : k.summary.first) {
            const std::int64_t v = c.i[static_cast<std::size_t>(first)];
            if (v > (std::int64_t{1} << 53) || v < -(std::int64_t{1} << 53)) {
                unplanned("a key beyond the integers a double holds exactly");
            }
            k.integers.push_back(v);
            k.keys.push_back(number_key(static_cast<double>(v)));
        }
    } else if (c.kind == Kind::f64) {
        k.summary = code_keys(std::span<const double>(c.f), false, false, k.codes);
        if (k.summary.missing > 0) {
            unplanned("the key column '" + c.label + "' holds missing values");
        }
        const KeyCodes s = code_keys(std::span<const double>(c.f), true, false, sorted);
        k.sorted_runs = k.summary.nondecreasing && s.nondecreasing;
        for (std::int64_t first : k.summary.first) {
            k.keys.push_back(number_key(c.f[static_cast<std::size_t>(first)]));
        }
    } else {
        unplanned("the key column '" + c.label + "' is not a float64 or int64 column");
    }
    return k;
}

double lookup(const KeyTable &t, std::uint64_t key, double absent) {
    auto it = t.find(key);
    return it == t.end() ? absent : it->second;
}

// The final fill of a group statistic: every float64 column but the new
// feature (written filled already) gets its own median where it is missing;
// other dtypes hold nothing a median could fill.
void final_fill(Frame &frame, const std::string &feature) {
    for (Column &c : frame.columns) {
        if (c.kind != Kind::f64 || c.label == feature) {
            continue;
        }
        if (has_missing(c.f)) {
            const double median = column_median(c.f);
            fill_missing(c.f, median);
        }
    }
}

// The feature column of a per-group table: pandas' left merge maps each row
// to its group's value; then the z-score and the median fill.
void store_group_feature(Frame &frame, const Node &node, const std::vector<double> &table,
                         const std::vector<std::int64_t> &codes, bool standardize) {
    std::vector<double> out(frame.rows);
    group_feature_column(table, codes, standardize, true, out);
    frame.store(float_column(node.label, std::move(out)));
    final_fill(frame, node.label);
}

void run_count(Frame &frame, const Node &node) {
    const FrameKeys k = frame_keys(operand(frame, node.operands[0]), frame.rows);
    std::vector<double> table(k.keys.size());
    for (std::size_t g = 0; g < table.size(); ++g) {
        table[g] =
            lookup(node.record->values, k.keys[g], 0.0) + static_cast<double>(k.summary.sizes[g]);
    }
    store_group_feature(frame, node, table, k.codes, true);
}

void run_crosscount(Frame &frame, const Node &node) {
    const FrameKeys a = frame_keys(operand(frame, node.operands[0]), frame.rows);
    const FrameKeys b = frame_keys(operand(frame, node.operands[1]), frame.rows);
    std::vector<std::int64_t> codes(frame.rows);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
    std::vector<double> sizes;
    std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::int64_t, PairHash> seen;
    for (std::size_t r = 0; r < frame.rows; ++r) {
        const std::pair<std::uint64_t, std::uint64_t> key{
            a.keys[static_cast<std::size_t>(a.codes[r])],
            b.keys[static_cast<std::size_t>(b.codes[r])]};
        auto [it, fresh] = seen.emplace(key, static_cast<std::int64_t>(pairs.size()));
        if (fresh) {
            pairs.push_back(key);
            sizes.push_back(0.0);
        }
        codes[r] = it->second;
        sizes[static_cast<std::size_t>(it->second)] += 1.0;
    }
    std::vector<double> table(pairs.size());
    for (std::size_t g = 0; g < table.size(); ++g) {
        auto it = node.record->pairs.find(pairs[g]);
        table[g] = (it == node.record->pairs.end() ? 0.0 : it->second) + sizes[g];
    }
    store_group_feature(frame, node, table, codes, true);
}

MeanCountTable mean_count_table(const Node &node, const FrameKeys &k,
                                const std::vector<double> &m2) {
    const Record &rec = *node.record;
    if (!k.integral) {
        unplanned("a mean record combined with keys that are not integers");
    }
    std::vector<std::int64_t> keys = rec.data_keys;
    keys.insert(keys.end(), rec.length_keys.begin(), rec.length_keys.end());
    keys.insert(keys.end(), k.integers.begin(), k.integers.end());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::unordered_map<std::int64_t, std::size_t> in_frame;
    for (std::size_t g = 0; g < k.integers.size(); ++g) {
        in_frame.emplace(k.integers[g], g);
    }
    MeanCountTable t;
    t.key = node.key;
    t.keys = keys;
    for (std::int64_t key : keys) {
        const std::uint64_t nk = number_key(static_cast<double>(key));
        const double a = lookup(rec.values, nk, kNaN);
        auto it = in_frame.find(key);
        const double b = it == in_frame.end() ? kNaN : m2[it->second];
        t.record_mean.push_back(std::isnan(a) ? 0.0 : a);
        t.new_mean.push_back(std::isnan(b) ? 0.0 : b);
        auto len = rec.lengths.find(nk);
        t.record_rows.push_back(len == rec.lengths.end() ? 0.0 : len->second);
        t.record_rows_whole = t.record_rows_whole && len != rec.lengths.end();
        t.new_rows.push_back(
            it == in_frame.end() ? 0.0 : static_cast<double>(k.summary.sizes[it->second]));
        t.new_rows_whole = t.new_rows_whole && it != in_frame.end();
    }
    return t;
}

void run_aggregate(Frame &frame, const Node &node, RunResult &result) {
    const Column &x_col = operand(frame, node.operands[1]);
    const FrameKeys k = frame_keys(operand(frame, node.operands[2]), frame.rows);
    const Record &rec = *node.record;
    const std::size_t ngroups = k.keys.size();
    std::vector<double> table(ngroups);
    if (node.stat == "var") {
        // variances stay those of the training data
        for (std::size_t g = 0; g < ngroups; ++g) {
            table[g] = lookup(rec.values, k.keys[g], kNaN);
        }
        store_group_feature(frame, node, table, k.codes, true);
        return;
    }
    if (x_col.kind == Kind::opaque) {
        unplanned("the column '" + x_col.label + "' is not a float64 or int64 column");
    }
    GroupStat stat{};
    if (!parse_group_stat(node.stat, stat)) {
        unplanned("the statistic '" + node.stat + "'");
    }
    const std::vector<double> x = as_double(x_col);
    const std::vector<double> fresh =
        group_reduce(stat, x, k.codes, static_cast<std::int64_t>(ngroups), k.sorted_runs);
    if (node.stat == "mean") {
        for (std::size_t g = 0; g < ngroups; ++g) {
            const double m1 = lookup(rec.values, k.keys[g], kNaN);
            const double n1 = lookup(rec.lengths, k.keys[g], 0.0);
            const double n2 = static_cast<double>(k.summary.sizes[g]);
            const double a = std::isnan(m1) ? 0.0 : m1;
            const double b = std::isnan(fresh[g]) ? 0.0 : fresh[g];
            table[g] = (n2 * b + n1 * a) / (n1 + n2);
        }
        result.mean_counts.push_back(mean_count_table(node, k, fresh));
    } else {
        for (std::size_t g = 0; g < ngroups; ++g) {
            const double a = lookup(rec.values, k.keys[g], kNaN);
            const double b = fresh[g];
            if (node.stat == "median") {
                table[g] = (a + b) / 2;
            } else if (node.stat == "min" || node.stat == "max") {
                table[g] = std::isnan(a)   ? b
                           : std::isnan(b) ? a
                                           : (node.stat == "min" ? std::min(a, b) : std::max(a, b));
            } else {
                unplanned("the statistic '" + node.stat + "' with a record");
            }
        }
    }
    store_group_feature(frame, node, table, k.codes, true);
}

void run_nunique(Frame &frame, const Node &node) {
    operand(frame, node.operands[0]);
    const FrameKeys k = frame_keys(operand(frame, node.operands[1]), frame.rows);
    std::vector<double> table(k.keys.size());
    for (std::size_t g = 0; g < table.size(); ++g) {
        table[g] = lookup(node.record->values, k.keys[g], kNaN);
    }
    if (node.record->integral && !maps_to_missing(table, k.codes)) {
        // pandas' merge keeps the record's integers when every row finds one
        Column c;
        c.label = node.label;
        c.kind = Kind::i64;
        c.i.resize(frame.rows);
        map_groups_int(table, k.codes, c.i);
        frame.store(std::move(c));
        final_fill(frame, node.label);
        return;
    }
    store_group_feature(frame, node, table, k.codes, false);
}

// histstat: the rows of each row's id (missing for rows without one), then
// the last statistic of the default list of that count per group of the
// second column, mapped onto the rows and written where the frame holds it:
// no record, no z-score, no fill.  int64 where the statistic is a count, or
// an integer-valued statistic of counts with no row missing its id, and no
// row misses its group's value.
// Codes of a numeric key column as groupby gives them (missing keys in no
// group), in order of first appearance or sorted.
KeyCodes group_codes(const Column &c, bool sorted, std::vector<std::int64_t> &codes,
                     const char *what) {
    codes.resize(c.kind == Kind::i64 ? c.i.size() : c.f.size());
    if (c.kind == Kind::i64) {
        return code_keys(std::span<const std::int64_t>(c.i), sorted, codes);
    }
    if (c.kind == Kind::f64) {
        return code_keys(std::span<const double>(c.f), sorted, false, codes);
    }
    unplanned(std::string("the ") + what + " column '" + c.label +
              "' is not a float64 or int64 column");
}

void run_histstat(Frame &frame, const Node &node) {
    GroupStat stat{};
    if (!parse_group_stat(node.stat, stat)) {
        unplanned("the statistic '" + node.stat + "' of histstat");
    }
    std::vector<std::int64_t> ids;
    const KeyCodes id_summary = group_codes(operand(frame, node.operands[0]), false, ids, "id");
    std::vector<std::int64_t> codes;
    const KeyCodes summary = group_codes(operand(frame, node.operands[1]), true, codes, "key");
    const std::vector<double> freq(id_summary.sizes.begin(), id_summary.sizes.end());
    std::vector<double> temp(frame.rows);
    map_groups(freq, ids, temp);
    const bool temp_int = id_summary.missing == 0;
    const std::vector<double> table =
        group_reduce(stat, temp, codes, summary.ngroups, summary.nondecreasing);
    const bool count =
        stat == GroupStat::Count || stat == GroupStat::Size || stat == GroupStat::Nunique;
    const bool integer_valued = stat == GroupStat::Min || stat == GroupStat::Max ||
                                stat == GroupStat::Sum || stat == GroupStat::First ||
                                stat == GroupStat::Last;
    if ((count || (integer_valued && temp_int)) && !maps_to_missing(table, codes)) {
        Column c;
        c.label = node.label;
        c.kind = Kind::i64;
        c.i.resize(frame.rows);
        map_groups_int(table, codes, c.i);
        frame.store(std::move(c));
        return;
    }
    std::vector<double> out(frame.rows);
    group_feature_column(table, codes, false, false, out);
    frame.store(float_column(node.label, std::move(out)));
}

// The configured group column's codes, as groupby partitions it (missing
// keys in no group).
struct Groups {
    bool on = false;
    std::vector<std::int64_t> codes;
    std::int64_t ngroups = 0;
};

Groups configured_groups(const Frame &frame, const std::string &group) {
    Groups g;
    if (group.empty()) {
        return g;
    }
    const Column &keys = operand(frame, group);
    g.on = true;
    g.codes.resize(frame.rows);
    if (keys.kind == Kind::i64) {
        g.ngroups = encode_keys(std::span<const std::int64_t>(keys.i), g.codes);
    } else if (keys.kind == Kind::f64) {
        g.ngroups = encode_keys(std::span<const double>(keys.f), g.codes);
    } else {
        unplanned("the group column '" + group + "' is not a float64 or int64 column");
    }
    return g;
}

void run_rolling(Frame &frame, const Node &node, const std::string &group) {
    const Groups g = configured_groups(frame, group);
    const Column &x_col = operand(frame, node.operands[0]);
    const std::vector<double> x = as_double(x_col);
    std::vector<double> out(frame.rows);
    const auto window = static_cast<std::uint64_t>(node.length);
    if (g.on) {
        rolling_grouped(static_cast<WindowStat>(node.grouped_stat), x, g.codes, g.ngroups, window,
                        out);
    } else {
        rolling(static_cast<WindowStat>(node.window_stat), x, window, out);
    }
    frame.store(float_column(node.label, std::move(out)));
}

void run_delay(Frame &frame, const Node &node, const std::string &group) {
    const Groups g = configured_groups(frame, group);
    const Column &x = operand(frame, node.operands[0]);
    const std::span<const std::int64_t> codes =
        g.on ? std::span<const std::int64_t>(g.codes) : std::span<const std::int64_t>();
    if (x.kind == Kind::f64) {
        std::vector<double> out(frame.rows);
        shift(x.f, codes, g.ngroups, node.length, false, out);
        frame.store(float_column(node.label, std::move(out)));
        return;
    }
    if (x.kind != Kind::i64) {
        unplanned("the column '" + x.label + "' is not a float64 or int64 column");
    }
    // pandas' take: integers stay integers unless a row has no source
    std::vector<std::int64_t> src(frame.rows);
    shift_sources(codes, g.ngroups, node.length, src);
    if (std::all_of(src.begin(), src.end(), [](std::int64_t s) { return s >= 0; })) {
        Column c;
        c.label = node.label;
        c.kind = Kind::i64;
        c.i.resize(frame.rows);
        for (std::size_t r = 0; r < frame.rows; ++r) {
            c.i[r] = x.i[static_cast<std::size_t>(src[r])];
        }
        frame.store(std::move(c));
        return;
    }
    std::vector<double> out(frame.rows);
    for (std::size_t r = 0; r < frame.rows; ++r) {
        out[r] = src[r] < 0 ? kNaN : static_cast<double>(x.i[static_cast<std::size_t>(src[r])]);
    }
    frame.store(float_column(node.label, std::move(out)));
}

void run_delta(Frame &frame, const Node &node, const std::string &group) {
    const Groups g = configured_groups(frame, group);
    const std::vector<double> x = as_double(operand(frame, node.operands[0]));
    std::vector<double> out(frame.rows);
    const std::span<const std::int64_t> codes =
        g.on ? std::span<const std::int64_t>(g.codes) : std::span<const std::int64_t>();
    shift(x, codes, g.ngroups, node.length, true, out);
    frame.store(float_column(node.label, std::move(out)));
}

// Window correlations and covariances of two columns, restarting inside the
// configured groups; integer columns are read as float64.
void run_pair(Frame &frame, const Node &node, const std::string &group) {
    const Groups g = configured_groups(frame, group);
    const std::vector<double> x = as_double(operand(frame, node.operands[0]));
    const std::vector<double> y = as_double(operand(frame, node.operands[1]));
    const PairStat stat = node.op == Op::tcorrelation ? PairStat::Corr : PairStat::Cov;
    const auto window = static_cast<std::uint64_t>(node.length);
    std::vector<double> out(frame.rows);
    if (g.on) {
        rolling_pair_grouped(stat, x, y, g.codes, g.ngroups, window, out);
    } else {
        rolling_pair(stat, x, y, window, out);
    }
    frame.store(float_column(node.label, std::move(out)));
}

// The average rank of the second column within the groups of the first
// (missing keys in no group), whatever the configured group.
void run_crossrank(Frame &frame, const Node &node) {
    const Column &keys = operand(frame, node.operands[0]);
    const std::vector<double> x = as_double(operand(frame, node.operands[1]));
    std::vector<std::int64_t> codes(frame.rows);
    std::int64_t ngroups = 0;
    if (keys.kind == Kind::i64) {
        ngroups = encode_keys(std::span<const std::int64_t>(keys.i), codes);
    } else if (keys.kind == Kind::f64) {
        ngroups = encode_keys(std::span<const double>(keys.f), codes);
    } else {
        unplanned("the key column '" + keys.label + "' is not a float64 or int64 column");
    }
    std::vector<double> out(frame.rows);
    group_average_rank(x, codes, ngroups, out);
    frame.store(float_column(node.label, std::move(out)));
}

void run_elementwise(Frame &frame, const Node &node, Ufuncs &math) {
    const Column &x = operand(frame, node.operands[0]);
    std::vector<double> out(frame.rows);
    switch (node.op) {
    case Op::add:
    case Op::subtract:
    case Op::multiply:
    case Op::divide: {
        const Column &y = operand(frame, node.operands[1]);
        if (x.kind == Kind::i64 && y.kind == Kind::i64 && node.op != Op::divide) {
            unplanned("integer arithmetic of two int64 columns");
        }
        const Arithmetic op = node.op == Op::add        ? Arithmetic::add
                              : node.op == Op::subtract ? Arithmetic::subtract
                              : node.op == Op::multiply ? Arithmetic::multiply
                                                        : Arithmetic::divide;
        arithmetic_standardized(op, numeric(x), numeric(y), out);
        break;
    }
    case Op::log:
        log_argument(numeric(x), out);
        math.log(out);
        break;
    case Op::sine:
    case Op::cosine:
        out = as_double(x);
        if (node.op == Op::sine) {
            math.sin(out);
        } else {
            math.cos(out);
        }
        break;
    case Op::square_root:
        sqrt_above_min(numeric(x), out);
        break;
    case Op::percentile:
        percentile_rank(numeric(x), out);
        break;
    case Op::minimize:
    case Op::maximize: {
        const Column &y = operand(frame, node.operands[1]);
        const Pick pick = node.op == Op::minimize ? Pick::minimum : Pick::maximum;
        if (x.kind == Kind::i64 && y.kind == Kind::i64) {
            Column c;
            c.label = node.label;
            c.kind = Kind::i64;
            c.i.resize(frame.rows);
            pick_rowwise(pick, x.i, y.i, c.i);
            frame.store(std::move(c));
            return;
        }
        pick_rowwise(pick, numeric(x), numeric(y), out);
        break;
    }
    case Op::round: {
        // np.rint for float64; pandas rounds any other dtype
        const Column &v = kernel_operand(frame, node.operands[0]);
        if (v.kind != Kind::f64) {
            unplanned("round of the int64 column '" + v.label + "'");
        }
        out = v.f;
        math.rint(out);
        break;
    }
    case Op::quadratic: {
        const Column &v = kernel_operand(frame, node.operands[0]);
        if (v.kind == Kind::i64) {
            Column c;
            c.label = node.label;
            c.kind = Kind::i64;
            c.i.resize(frame.rows);
            square(std::span<const std::int64_t>(v.i), c.i);
            frame.store(std::move(c));
            return;
        }
        square(std::span<const double>(v.f), out);
        break;
    }
    case Op::sigmoid:
        negate(numeric(kernel_operand(frame, node.operands[0])), out);
        math.exp(out);
        one_over_one_plus(out);
        break;
    case Op::residual:
        fractional_part(numeric(kernel_operand(frame, node.operands[0])), out);
        break;
    case Op::softmax:
        softmax_shift(numeric(kernel_operand(frame, node.operands[0])), out);
        math.exp(out);
        divide_by_sum(out);
        break;
    case Op::entropy: {
        // one value, broadcast over the rows
        const double value = entropy_of_codes(numeric(kernel_operand(frame, node.operands[0])));
        std::fill(out.begin(), out.end(), value);
        break;
    }
    case Op::bigger:
    case Op::smaller:
    case Op::equal: {
        const Column &a = kernel_operand(frame, node.operands[0]);
        const Column &b = kernel_operand(frame, node.operands[1]);
        const Comparison op = node.op == Op::bigger    ? Comparison::greater
                              : node.op == Op::smaller ? Comparison::less
                                                       : Comparison::equal;
        if (a.kind != b.kind) {
            // pandas hands float64 against int64 to NumPy, which compares
            // both as float64 (the integers cast as C casts them)
            const std::vector<double> x = as_double(a);
            const std::vector<double> y = as_double(b);
            frame.store(bool_column(node.label, frame.rows, [&](std::span<bool> flags) {
                compare_rowwise(op, NumericColumn::of(std::span<const double>(x)),
                                NumericColumn::of(std::span<const double>(y)), flags);
            }));
            return;
        }
        frame.store(bool_column(node.label, frame.rows, [&](std::span<bool> flags) {
            compare_rowwise(op, numeric(a), numeric(b), flags);
        }));
        return;
    }
    case Op::orop: {
        const Column &a = kernel_operand(frame, node.operands[0]);
        const Column &b = kernel_operand(frame, node.operands[1]);
        if (a.kind != Kind::f64 || b.kind != Kind::f64) {
            unplanned("orop of a column that is not float64");
        }
        frame.store(bool_column(node.label, frame.rows,
                                [&](std::span<bool> flags) { orop_rowwise(a.f, b.f, flags); }));
        return;
    }
    case Op::combine: {
        // the texts Python's str() gives the two values, joined by "_"
        const NumericColumn a = numeric(kernel_operand(frame, node.operands[0]));
        const NumericColumn b = numeric(kernel_operand(frame, node.operands[1]));
        Column c;
        c.label = node.label;
        c.kind = Kind::text;
        c.s.resize(frame.rows);
        for (std::size_t r = 0; r < frame.rows; ++r) {
            std::string &t = c.s[r];
            t = a.f64 != nullptr ? python_float_text(a.f64[r]) : python_int_text(a.i64[r]);
            t += '_';
            t += b.f64 != nullptr ? python_float_text(b.f64[r]) : python_int_text(b.i64[r]);
        }
        frame.store(std::move(c));
        return;
    }
    default:
        unplanned("an operator the plan does not compute");
    }
    frame.store(float_column(node.label, std::move(out)));
}

void run_node(const Plan &plan, int index, Frame &frame, const std::string &group, Ufuncs &math,
              RunResult &result) {
    const Node &node = plan.nodes[static_cast<std::size_t>(index)];
    std::vector<std::string> added;
    for (std::size_t k = 0; k < node.operands.size(); ++k) {
        const int nested = node.nested[k];
        if (nested >= 0 && frame.find(node.operands[k]) == nullptr) {
            run_node(plan, nested, frame, group, math, result);
            added.push_back(node.operands[k]);
        }
    }
    result.fresh_index = result.fresh_index || node.fresh_index;
    switch (node.op) {
    case Op::count:
        run_count(frame, node);
        break;
    case Op::crosscount:
        run_crosscount(frame, node);
        break;
    case Op::aggregate:
        run_aggregate(frame, node, result);
        break;
    case Op::nunique:
        run_nunique(frame, node);
        break;
    case Op::rolling:
        run_rolling(frame, node, group);
        break;
    case Op::delay:
        run_delay(frame, node, group);
        break;
    case Op::delta:
        run_delta(frame, node, group);
        break;
    case Op::histstat:
        run_histstat(frame, node);
        break;
    case Op::crossrank:
        run_crossrank(frame, node);
        break;
    case Op::tcorrelation:
    case Op::tcorvariance:
        run_pair(frame, node, group);
        break;
    default:
        run_elementwise(frame, node, math);
    }
    for (const std::string &label : added) {
        if (frame.find(label) == nullptr) {
            // the nested operator wrote another label (stddev): the engine
            // fails on the enclosing operator's column access
            unplanned("the nested feature '" + label + "' is not a column");
        }
        frame.erase(label);
    }
}

}  // namespace

void unplanned(std::string reason) { throw Unplanned{std::move(reason)}; }

std::uint64_t number_key(double v) {
    if (v == 0.0) {
        v = 0.0;
    }
    if (std::isnan(v)) {
        v = kNaN;
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

Column *Frame::find(const std::string &label) {
    for (Column &c : columns) {
        if (c.label == label) {
            return &c;
        }
    }
    return nullptr;
}

const Column *Frame::find(const std::string &label) const {
    for (const Column &c : columns) {
        if (c.label == label) {
            return &c;
        }
    }
    return nullptr;
}

void Frame::store(Column column) {
    if (Column *c = find(column.label)) {
        *c = std::move(column);
        return;
    }
    columns.push_back(std::move(column));
}

void Frame::erase(const std::string &label) {
    std::erase_if(columns, [&](const Column &c) { return c.label == label; });
}

RunResult run(const Plan &plan, Frame &frame, const std::string &group, Ufuncs &math) {
    RunResult result;
    for (int root : plan.roots) {
        run_node(plan, root, frame, group, math, result);
    }
    return result;
}

}  // namespace brinvale::core::plan
