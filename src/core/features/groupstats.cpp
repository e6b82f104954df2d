#include "brinvale/groupstats.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "brinvale/group_keys.hpp"
#include "brinvale/stats.hpp"
#include "brinvale/windows.hpp"

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Size = std::size_t;

inline Size at(std::int64_t v) { return static_cast<Size>(v); }

// NumPy's median: the mean of the middle value or values, summed from
// NumPy's additive identity 0.0 (so never -0.0).
double median_of(std::vector<double> &v) {
    if (v.empty()) {
        return kNaN;
    }
    const Size half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (v.size() % 2 == 1) {
        return 0.0 + upper;
    }
    const double lower =
        *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half));
    return (0.0 + (lower + upper)) / 2;
}

// Hoare's selection as pandas' kth_smallest_c runs it (the array is
// reordered), so that of equal values (0.0 and -0.0) the same one is found.
double kth_smallest(double *a, std::ptrdiff_t k, std::ptrdiff_t n) {
    std::ptrdiff_t left = 0, m = n - 1;
    while (left < m) {
        const double x = a[k];
        std::ptrdiff_t i = left, j = m;
        while (true) {
            while (a[i] < x) {
                ++i;
            }
            while (x < a[j]) {
                --j;
            }
            if (i <= j) {
                std::swap(a[i], a[j]);
                ++i;
                --j;
            }
            if (i > j) {
                break;
            }
        }
        if (j < k) {
            left = i;
        }
        if (k < i) {
            m = j;
        }
    }
    return a[k];
}

// pandas' group median: the upper middle value is selected first.
double group_median_of(std::vector<double> &v) {
    const auto n = static_cast<std::ptrdiff_t>(v.size());
    if (n == 0) {
        return kNaN;
    }
    if (n % 2 == 1) {
        return kth_smallest(v.data(), n / 2, n);
    }
    const double upper = kth_smallest(v.data(), n / 2, n);
    return (upper + kth_smallest(v.data(), n / 2 - 1, n)) / 2;
}

// NumPy's add.reduceat over one run: the first value plus the pairwise sum
// of the rest.
double run_sum(const double *x, Size n) {
    if (n == 1) {
        return x[0];
    }
    return x[0] + pairwise_blocks([](Size, Size) {}, [x](Size i) { return x[i]; }, 1, n - 1);
}

// NumPy's minimum/maximum.reduceat over one run: of equal values the later wins.
double run_extreme(const double *x, Size n, bool is_max) {
    double r = x[0];
    for (Size i = 1; i < n; ++i) {
        if (is_max ? x[i] >= r : x[i] <= r) {
            r = x[i];
        }
    }
    return r;
}

// Sum, Mean, Min or Max of rows whose codes never decrease and hold no NaN:
// one run of rows per group.
std::vector<double> reduce_runs(GroupStat stat, std::span<const double> x,
                                std::span<const std::int64_t> codes, Size g) {
    std::vector<double> out(g, stat == GroupStat::Sum ? 0.0 : kNaN);
    Size i = 0;
    while (i < x.size()) {
        Size e = i + 1;
        while (e < x.size() && codes[e] == codes[i]) {
            ++e;
        }
        if (codes[i] >= 0) {
            double &o = out[at(codes[i])];
            const Size n = e - i;
            switch (stat) {
            case GroupStat::Sum:
                o = run_sum(x.data() + i, n);
                break;
            case GroupStat::Mean:
                o = run_sum(x.data() + i, n) / static_cast<double>(n);
                break;
            default:
                o = run_extreme(x.data() + i, n, stat == GroupStat::Max);
                break;
            }
        }
        i = e;
    }
    return out;
}

}  // namespace

bool parse_group_stat(std::string_view name, GroupStat &stat) {
    struct Entry {
        std::string_view name;
        GroupStat stat;
    };
    static constexpr Entry table[] = {
        {"min", GroupStat::Min},         {"max", GroupStat::Max},     {"mean", GroupStat::Mean},
        {"median", GroupStat::Median},   {"var", GroupStat::Var},     {"std", GroupStat::Std},
        {"sum", GroupStat::Sum},         {"count", GroupStat::Count}, {"size", GroupStat::Size},
        {"nunique", GroupStat::Nunique}, {"first", GroupStat::First}, {"last", GroupStat::Last},
    };
    for (const Entry &e : table) {
        if (e.name == name) {
            stat = e.stat;
            return true;
        }
    }
    return false;
}

std::vector<std::int64_t> group_sizes(std::span<const std::int64_t> codes, std::int64_t ngroups) {
    std::vector<std::int64_t> n(at(ngroups), 0);
    for (std::int64_t c : codes) {
        if (c >= 0) {
            ++n[at(c)];
        }
    }
    return n;
}

bool nondecreasing(std::span<const std::int64_t> codes) {
    return std::is_sorted(codes.begin(), codes.end());
}

std::size_t group_state_width(GroupStat stat) {
    switch (stat) {
    case GroupStat::Mean:
    case GroupStat::Sum:
    case GroupStat::Var:
    case GroupStat::Std:
        return 3;
    case GroupStat::Median:
    case GroupStat::Nunique:
        return 0;
    default:
        return 1;
    }
}

std::vector<double> group_state(GroupStat stat, std::int64_t ngroups) {
    const Size w = group_state_width(stat);
    if (w == 0) {
        throw std::invalid_argument("the statistic needs all values of a group at once");
    }
    const bool empty_nan = stat == GroupStat::Min || stat == GroupStat::Max ||
                           stat == GroupStat::First || stat == GroupStat::Last;
    return std::vector<double>(at(ngroups) * w, empty_nan ? kNaN : 0.0);
}

void group_accumulate(GroupStat stat, std::span<const double> x,
                      std::span<const std::int64_t> codes, std::span<double> state) {
    const Size w = group_state_width(stat);
    if (w == 0 || codes.size() != x.size() || state.size() % w != 0) {
        throw std::invalid_argument("a group state does not fit its statistic");
    }
    const Size g = state.size() / w;
    for (std::int64_t c : codes) {
        if (c >= 0 && at(c) >= g) {
            throw std::invalid_argument("a group code beyond the group state");
        }
    }
    switch (stat) {
    case GroupStat::Min:
    case GroupStat::Max: {
        const bool is_max = stat == GroupStat::Max;
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            double &o = state[at(codes[i])];
            if (std::isnan(o) || (is_max ? v > o : v < o)) {
                o = v;
            }
        }
        return;
    }
    case GroupStat::Mean:
    case GroupStat::Sum:
        // Kahan-compensated, as pandas' group_sum and group_mean
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            double *f = state.data() + 3 * at(codes[i]);
            double &sum = f[0], &comp = f[1], &nobs = f[2];
            nobs += 1;
            const double y = v - comp;
            const double t = sum + y;
            comp = t - sum - y;
            if (std::isnan(comp)) {
                comp = 0;  // an infinite value keeps the sum infinite, not missing
            }
            sum = t;
        }
        return;
    case GroupStat::Var:
    case GroupStat::Std:
        // Welford's update, as pandas' group_var
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            double *f = state.data() + 3 * at(codes[i]);
            double &mean = f[0], &m2 = f[1], &nobs = f[2];
            nobs += 1;
            const double old = mean;
            mean += (v - old) / nobs;
            m2 += (v - mean) * (v - old);
        }
        return;
    case GroupStat::Count:
    case GroupStat::Size:
        for (Size i = 0; i < x.size(); ++i) {
            if (codes[i] >= 0 && (stat == GroupStat::Size || !std::isnan(x[i]))) {
                state[at(codes[i])] += 1;
            }
        }
        return;
    case GroupStat::First:
    case GroupStat::Last:
        for (Size i = 0; i < x.size(); ++i) {
            if (codes[i] < 0 || std::isnan(x[i])) {
                continue;
            }
            double &o = state[at(codes[i])];
            if (stat == GroupStat::Last || std::isnan(o)) {
                o = x[i];
            }
        }
        return;
    default:
        return;
    }
}

std::vector<double> group_finish(GroupStat stat, std::span<const double> state) {
    const Size w = group_state_width(stat);
    if (w == 0 || state.size() % w != 0) {
        throw std::invalid_argument("a group state does not fit its statistic");
    }
    const Size g = state.size() / w;
    if (w == 1) {
        return {state.begin(), state.end()};
    }
    std::vector<double> out(g, kNaN);
    for (Size k = 0; k < g; ++k) {
        const double *f = state.data() + 3 * k;
        switch (stat) {
        case GroupStat::Sum:
            out[k] = f[0];  // an empty group sums to 0
            break;
        case GroupStat::Mean:
            if (f[2] > 0) {
                out[k] = f[0] / f[2];
            }
            break;
        default:  // Var, Std
            if (f[2] > 1) {
                out[k] = f[1] / (f[2] - 1);
                if (stat == GroupStat::Std) {
                    out[k] = std::sqrt(out[k]);
                }
            }
            break;
        }
    }
    return out;
}

std::vector<double> group_reduce(GroupStat stat, std::span<const double> x,
                                 std::span<const std::int64_t> codes, std::int64_t ngroups,
                                 bool sorted_runs) {
    const Size g = at(ngroups);
    if (sorted_runs &&
        (stat == GroupStat::Sum || stat == GroupStat::Mean || stat == GroupStat::Min ||
         stat == GroupStat::Max) &&
        !has_missing(x)) {
        return reduce_runs(stat, x, codes, g);
    }
    std::vector<double> out(g, kNaN);
    switch (stat) {
    case GroupStat::Median: {
        // The values of each group side by side in row order, scattered in
        // one pass over the rows (reading the column in order).
        std::vector<Size> start(g + 1, 0);
        for (Size i = 0; i < x.size(); ++i) {
            if (codes[i] >= 0 && !std::isnan(x[i])) {
                ++start[at(codes[i]) + 1];
            }
        }
        for (Size k = 0; k < g; ++k) {
            start[k + 1] += start[k];
        }
        std::vector<double> grouped(start[g]);
        {
            std::vector<Size> next(start.begin(), start.end() - 1);
            for (Size i = 0; i < x.size(); ++i) {
                if (codes[i] >= 0 && !std::isnan(x[i])) {
                    grouped[next[at(codes[i])]++] = x[i];
                }
            }
        }
        std::vector<double> buf;
        const auto fill = [&](Size k) {
            buf.assign(grouped.begin() + static_cast<std::ptrdiff_t>(start[k]),
                       grouped.begin() + static_cast<std::ptrdiff_t>(start[k + 1]));
        };
        for (Size k = 0; k < g; ++k) {
            fill(k);
            // Any selection finds the middle values; only which of 0.0 and
            // -0.0 it lands on depends on pandas' own algorithm, which is
            // slower than the library's and run only when a middle value is 0.
            const Size n = buf.size();
            if (n == 0) {
                continue;
            }
            const auto half = buf.begin() + static_cast<std::ptrdiff_t>(n / 2);
            std::nth_element(buf.begin(), half, buf.end());
            const double upper = *half;
            const double lower = n % 2 == 1 ? upper : *std::max_element(buf.begin(), half);
            if (upper == 0.0 || lower == 0.0) {
                fill(k);
                out[k] = group_median_of(buf);
            } else {
                out[k] = n % 2 == 1 ? upper : (upper + lower) / 2;
            }
        }
        return out;
    }
    case GroupStat::Nunique: {
        const GroupRows rows = group_rows(codes, ngroups);
        std::vector<double> buf;
        for (Size k = 0; k < g; ++k) {
            buf.clear();
            for (auto j = rows.offsets[k]; j < rows.offsets[k + 1]; ++j) {
                const double v = x[at(rows.order[at(j)])];
                if (!std::isnan(v)) {
                    buf.push_back(v);
                }
            }
            std::sort(buf.begin(), buf.end());
            out[k] = static_cast<double>(std::unique(buf.begin(), buf.end()) - buf.begin());
        }
        return out;
    }
    default: {
        std::vector<double> state = group_state(stat, ngroups);
        group_accumulate(stat, x, codes, state);
        return group_finish(stat, state);
    }
    }
    return out;
}

std::vector<double> group_nunique(std::span<const std::int64_t> ids,
                                  std::span<const std::int64_t> codes, std::int64_t ngroups) {
    const GroupRows rows = group_rows(codes, ngroups);
    std::vector<double> out(at(ngroups), 0.0);
    std::vector<std::int64_t> buf;
    for (Size k = 0; k < out.size(); ++k) {
        buf.clear();
        for (auto j = rows.offsets[k]; j < rows.offsets[k + 1]; ++j) {
            const std::int64_t id = ids[at(rows.order[at(j)])];
            if (id >= 0) {
                buf.push_back(id);
            }
        }
        std::sort(buf.begin(), buf.end());
        out[k] = static_cast<double>(std::unique(buf.begin(), buf.end()) - buf.begin());
    }
    return out;
}

void map_groups(std::span<const double> table, std::span<const std::int64_t> codes,
                std::span<double> out) {
    for (Size i = 0; i < codes.size(); ++i) {
        // codes past the table (a damaged record) read as missing, never past the end
        out[i] = codes[i] < 0 || at(codes[i]) >= table.size() ? kNaN : table[at(codes[i])];
    }
}

std::vector<std::int64_t> first_rows(std::span<const std::int64_t> codes, std::int64_t ngroups) {
    std::vector<std::int64_t> first(at(ngroups), -1);
    for (Size i = 0; i < codes.size(); ++i) {
        if (codes[i] >= 0 && first[at(codes[i])] < 0) {
            first[at(codes[i])] = static_cast<std::int64_t>(i);
        }
    }
    return first;
}

void combine_codes(std::span<const std::int64_t> a, std::span<const std::int64_t> b,
                   std::int64_t nb, std::span<std::int64_t> out) {
    for (Size i = 0; i < out.size(); ++i) {
        out[i] = (a[i] < 0 || b[i] < 0) ? -1 : a[i] * nb + b[i];
    }
}

double column_median(std::span<const double> x) {
    std::vector<double> v;
    v.reserve(x.size());
    for (double d : x) {
        if (!std::isnan(d)) {
            v.push_back(d);
        }
    }
    return median_of(v);
}

bool has_missing(std::span<const double> x) {
    return std::any_of(x.begin(), x.end(), [](double d) { return std::isnan(d); });
}

bool fill_missing(std::span<double> x, double value) {
    bool any = false;
    for (double &d : x) {
        if (std::isnan(d)) {
            d = value;
            any = true;
        }
    }
    return any;
}

}  // namespace brinvale::core

namespace brinvale::core {

namespace {

template <typename Key>
std::vector<std::int64_t> sort_groups_by(std::span<std::int64_t> codes, std::span<const Key> keys) {
    std::vector<std::pair<Key, std::int64_t>> order(keys.size());
    for (Size k = 0; k < order.size(); ++k) {
        order[k] = {keys[k], static_cast<std::int64_t>(k)};
    }
    std::sort(order.begin(), order.end());
    std::vector<std::int64_t> map(keys.size());
    for (Size r = 0; r < order.size(); ++r) {
        map[at(order[r].second)] = static_cast<std::int64_t>(r);
    }
    remap_codes(codes, map);
    return map;
}

}  // namespace

std::int64_t factorize_keys(std::span<const double> x, bool missing_group,
                            std::span<std::int64_t> codes) {
    return code_keys(x, false, missing_group, codes).ngroups;
}

std::int64_t factorize_keys(std::span<const std::int64_t> x, std::span<std::int64_t> codes,
                            bool sorted) {
    return code_keys(x, sorted, codes).ngroups;
}

std::int64_t missing_as_group(std::span<std::int64_t> codes, std::int64_t ngroups) {
    Size first = 0;
    std::int64_t before = 0;  // groups first seen before the first missing key
    while (first < codes.size() && codes[first] >= 0) {
        before = std::max(before, codes[first] + 1);
        ++first;
    }
    if (first == codes.size()) {
        return ngroups;
    }
    for (std::int64_t &c : codes) {
        c = c < 0 ? before : c >= before ? c + 1 : c;
    }
    return ngroups + 1;
}

void remap_codes(std::span<std::int64_t> codes, std::span<const std::int64_t> map) {
    for (std::int64_t &c : codes) {
        if (c >= 0) {
            c = at(c) < map.size() ? map[at(c)] : -1;
        }
    }
}

std::vector<std::int64_t> sort_groups(std::span<std::int64_t> codes, std::span<const double> keys) {
    return sort_groups_by(codes, keys);
}

std::vector<std::int64_t> sort_groups(std::span<std::int64_t> codes,
                                      std::span<const std::int64_t> keys) {
    return sort_groups_by(codes, keys);
}

std::vector<double> group_nunique(std::span<const std::int64_t> ids, std::int64_t nids,
                                  std::span<const std::int64_t> codes, std::int64_t ngroups) {
    std::vector<double> out(at(ngroups), 0.0);
    // stamp[id] = last group (+1) that counted the id; rows visited group by group
    const GroupRows rows = group_rows(codes, ngroups);
    std::vector<std::int64_t> stamp(at(nids), 0);
    for (Size k = 0; k < out.size(); ++k) {
        const auto mark = static_cast<std::int64_t>(k) + 1;
        std::int64_t distinct = 0;
        for (auto j = rows.offsets[k]; j < rows.offsets[k + 1]; ++j) {
            const std::int64_t id = ids[at(rows.order[at(j)])];
            if (id >= 0 && stamp[at(id)] != mark) {
                stamp[at(id)] = mark;
                ++distinct;
            }
        }
        out[k] = static_cast<double>(distinct);
    }
    return out;
}

std::int64_t dense_rank(std::span<std::int64_t> codes) {
    std::int64_t top = -1;
    for (std::int64_t c : codes) {
        top = c > top ? c : top;
    }
    if (top < 0) {
        return 0;
    }
    const Size words = at(top) / 64 + 1;
    if (words <= codes.size() + 1024) {
        // A bitmap of the codes present and its running counts: a code's
        // rank is the count of present codes below it.  64 codes a word keep
        // the tables in cache where a table of ranks would not be.
        std::vector<std::uint64_t> bits(words, 0);
        for (std::int64_t c : codes) {
            if (c >= 0) {
                bits[at(c) >> 6] |= std::uint64_t{1} << (at(c) & 63);
            }
        }
        std::vector<std::int64_t> below(words);
        std::int64_t n = 0;
        for (Size w = 0; w < words; ++w) {
            below[w] = n;
            n += std::popcount(bits[w]);
        }
        for (std::int64_t &c : codes) {
            if (c >= 0) {
                const Size w = at(c) >> 6;
                const std::uint64_t lower = (std::uint64_t{1} << (at(c) & 63)) - 1;
                c = below[w] + std::popcount(bits[w] & lower);
            }
        }
        return n;
    }
    std::vector<std::int64_t> present;
    present.reserve(codes.size());
    for (std::int64_t c : codes) {
        if (c >= 0) {
            present.push_back(c);
        }
    }
    std::vector<std::int64_t> ranks(present.size());
    const std::int64_t n = factorize_keys(present, ranks, true);
    Size j = 0;
    for (std::int64_t &c : codes) {
        if (c >= 0) {
            c = ranks[j++];
        }
    }
    return n;
}

}  // namespace brinvale::core
