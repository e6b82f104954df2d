#include "brinvale/groupstats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "brinvale/windows.hpp"

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Size = std::size_t;

inline Size at(std::int64_t v) { return static_cast<Size>(v); }

double median_of(std::vector<double> &v) {
    if (v.empty()) {
        return kNaN;
    }
    const Size half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (v.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half));
    return (upper + lower) / 2;
}

}  // namespace

bool parse_group_stat(std::string_view name, GroupStat &stat) {
    struct Entry {
        std::string_view name;
        GroupStat stat;
    };
    static constexpr Entry table[] = {
        {"min", GroupStat::Min},     {"max", GroupStat::Max},     {"mean", GroupStat::Mean},
        {"median", GroupStat::Median}, {"var", GroupStat::Var},   {"std", GroupStat::Std},
        {"sum", GroupStat::Sum},     {"count", GroupStat::Count}, {"size", GroupStat::Size},
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

std::vector<double> group_reduce(GroupStat stat, std::span<const double> x,
                                 std::span<const std::int64_t> codes, std::int64_t ngroups) {
    const Size g = at(ngroups);
    std::vector<double> out(g, kNaN);
    std::vector<double> nobs(g, 0.0);
    switch (stat) {
    case GroupStat::Min:
    case GroupStat::Max: {
        const bool is_max = stat == GroupStat::Max;
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            double &o = out[at(codes[i])];
            if (std::isnan(o) || (is_max ? v > o : v < o)) {
                o = v;
            }
        }
        return out;
    }
    case GroupStat::Mean:
    case GroupStat::Sum: {
        std::vector<double> sum(g, 0.0), comp(g, 0.0);
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            const Size k = at(codes[i]);
            nobs[k] += 1;
            const double y = v - comp[k];
            const double t = sum[k] + y;
            comp[k] = t - sum[k] - y;
            if (std::isnan(comp[k])) {
                comp[k] = 0;  // an infinite value keeps the sum infinite, not missing
            }
            sum[k] = t;
        }
        for (Size k = 0; k < g; ++k) {
            if (stat == GroupStat::Sum) {
                out[k] = sum[k];  // an empty group sums to 0
            } else if (nobs[k] > 0) {
                out[k] = sum[k] / nobs[k];
            }
        }
        return out;
    }
    case GroupStat::Var:
    case GroupStat::Std: {
        std::vector<double> mean(g, 0.0), m2(g, 0.0);
        for (Size i = 0; i < x.size(); ++i) {
            const double v = x[i];
            if (codes[i] < 0 || std::isnan(v)) {
                continue;
            }
            const Size k = at(codes[i]);
            nobs[k] += 1;
            const double old = mean[k];
            mean[k] += (v - old) / nobs[k];
            m2[k] += (v - mean[k]) * (v - old);
        }
        for (Size k = 0; k < g; ++k) {
            if (nobs[k] > 1) {
                out[k] = m2[k] / (nobs[k] - 1);
                if (stat == GroupStat::Std) {
                    out[k] = std::sqrt(out[k]);
                }
            }
        }
        return out;
    }
    case GroupStat::Median: {
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
            out[k] = median_of(buf);
        }
        return out;
    }
    case GroupStat::Count:
    case GroupStat::Size: {
        std::fill(out.begin(), out.end(), 0.0);
        for (Size i = 0; i < x.size(); ++i) {
            if (codes[i] >= 0 && (stat == GroupStat::Size || !std::isnan(x[i]))) {
                out[at(codes[i])] += 1;
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
    case GroupStat::First:
    case GroupStat::Last: {
        for (Size i = 0; i < x.size(); ++i) {
            if (codes[i] < 0 || std::isnan(x[i])) {
                continue;
            }
            double &o = out[at(codes[i])];
            if (stat == GroupStat::Last || std::isnan(o)) {
                o = x[i];
            }
        }
        return out;
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
        out[i] = codes[i] < 0 ? kNaN : table[at(codes[i])];
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

std::int64_t dense_rank(std::span<std::int64_t> codes) {
    std::int64_t top = -1;
    for (std::int64_t c : codes) {
        top = std::max(top, c);
    }
    if (top < 0) {
        return 0;
    }
    if (static_cast<std::size_t>(top) <= 4 * codes.size() + 1024) {
        // Small code range: a direct map keeps this linear.
        std::vector<std::int64_t> map(static_cast<std::size_t>(top) + 1, -1);
        for (std::int64_t c : codes) {
            if (c >= 0) {
                map[static_cast<std::size_t>(c)] = 0;
            }
        }
        std::int64_t next = 0;
        for (std::int64_t &m : map) {
            if (m == 0) {
                m = next++;
            }
        }
        for (std::int64_t &c : codes) {
            if (c >= 0) {
                c = map[static_cast<std::size_t>(c)];
            }
        }
        return next;
    }
    std::vector<std::int64_t> sorted;
    sorted.reserve(codes.size());
    for (std::int64_t c : codes) {
        if (c >= 0) {
            sorted.push_back(c);
        }
    }
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (std::int64_t &c : codes) {
        if (c >= 0) {
            c = std::lower_bound(sorted.begin(), sorted.end(), c) - sorted.begin();
        }
    }
    return static_cast<std::int64_t>(sorted.size());
}

}  // namespace brinvale::core
