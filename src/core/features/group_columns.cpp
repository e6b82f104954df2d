#include "brinvale/group_columns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "brinvale/groupstats.hpp"
#include "brinvale/stats.hpp"

namespace brinvale::core {

namespace {

using Size = std::size_t;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The table with one more entry, `table.size()`, that every code below 0 or
// past the table reads: a missing value.
struct Slots {
    std::vector<double> values;
    Size missing_slot;

    explicit Slots(std::span<const double> table)
        : values(table.begin(), table.end()), missing_slot(table.size()) {
        values.push_back(kNaN);
    }
    Size operator()(std::int64_t code) const {
        const auto c = static_cast<std::uint64_t>(code);
        return c < missing_slot ? static_cast<Size>(c) : missing_slot;
    }
};

std::vector<std::int64_t> rows_per_slot(const Slots &slots, std::span<const std::int64_t> codes) {
    std::vector<std::int64_t> counts(slots.values.size(), 0);
    for (std::int64_t c : codes) {
        ++counts[slots(c)];
    }
    return counts;
}

}  // namespace

double repeated_median(std::span<const double> table, std::span<const std::int64_t> counts) {
    std::vector<std::pair<double, std::int64_t>> present;
    std::int64_t m = 0;
    for (Size g = 0; g < table.size() && g < counts.size(); ++g) {
        if (counts[g] > 0 && !std::isnan(table[g])) {
            present.emplace_back(table[g], counts[g]);
            m += counts[g];
        }
    }
    if (m == 0) {
        return kNaN;
    }
    std::sort(present.begin(), present.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    // the values at 0-based positions m/2 - 1 and m/2 of the sorted column
    const auto value_at = [&](std::int64_t pos) {
        for (const auto &[v, c] : present) {
            if (pos < c) {
                return v;
            }
            pos -= c;
        }
        return present.back().first;
    };
    const double upper = value_at(m / 2);
    if (m % 2 == 1) {
        return 0.0 + upper;  // NumPy's median sums from its identity 0.0
    }
    return (0.0 + (value_at(m / 2 - 1) + upper)) / 2;
}

bool maps_to_missing(std::span<const double> table, std::span<const std::int64_t> codes) {
    const Slots slots(table);
    std::vector<unsigned char> nan(slots.values.size());
    for (Size g = 0; g < nan.size(); ++g) {
        nan[g] = std::isnan(slots.values[g]) ? 1 : 0;
    }
    unsigned char any = 0;
    for (std::int64_t c : codes) {
        any |= nan[slots(c)];
    }
    return any != 0;
}

void map_groups_int(std::span<const double> table, std::span<const std::int64_t> codes,
                    std::span<std::int64_t> out) {
    std::vector<std::int64_t> ints(table.size() + 1, 0);
    for (Size g = 0; g < table.size(); ++g) {
        ints[g] = std::isnan(table[g]) ? 0 : static_cast<std::int64_t>(table[g]);
    }
    const Slots slots(table);
    for (Size i = 0; i < codes.size(); ++i) {
        out[i] = ints[slots(codes[i])];
    }
}

namespace {

// A table too large for the caches: every gather from it misses, so the
// column is gathered once and then reduced as pandas reduces it, in order.
bool materialised_feature_column(std::span<const double> table, std::span<const std::int64_t> codes,
                                 bool standardize, bool fill, std::span<double> out) {
    map_groups(table, codes, out);
    if (standardize) {
        standardize_inplace(out);
    }
    bool missing = false;
    for (double v : out) {
        missing = missing || std::isnan(v);
    }
    if (missing && fill) {
        const double median = column_median(out);
        if (!std::isnan(median)) {
            fill_missing(out, median);
            missing = false;
        }
    }
    return missing;
}

constexpr Size kCachedTable = Size{1} << 15;  // doubles: 256 KiB

}  // namespace

bool group_feature_column(std::span<const double> table, std::span<const std::int64_t> codes,
                          bool standardize, bool fill, std::span<double> out) {
    if (table.size() > kCachedTable) {
        return materialised_feature_column(table, codes, standardize, fill, out);
    }
    Slots slots(table);
    std::vector<double> &tab = slots.values;
    const Size n = codes.size();
    bool nan_slot = false;
    if (standardize) {
        // pandas' Series.mean() and .std() of the mapped column: NumPy's
        // pairwise sums in row order with missing values as 0, over the count
        // of the others; the squared deviations are per group, so only the
        // summing runs over the rows.
        std::vector<double> clean(tab.size());
        std::vector<unsigned char> nan(tab.size());
        for (Size g = 0; g < tab.size(); ++g) {
            nan[g] = std::isnan(tab[g]) ? 1 : 0;
            clean[g] = nan[g] ? 0.0 : tab[g];
        }
        Size nan_rows = 0;
        const double sum = 0.0 + pairwise_blocks([](Size, Size) {},
                                                 [&](Size i) {
                                                     const Size s = slots(codes[i]);
                                                     nan_rows += nan[s];
                                                     return clean[s];
                                                 },
                                                 0, n);
        const Size count = n - nan_rows;
        double mean = kNaN, std = kNaN;
        if (count > 0) {
            mean = sum / static_cast<double>(count);
        }
        if (count > 1) {
            std::vector<double> squares(tab.size());
            for (Size g = 0; g < tab.size(); ++g) {
                const double d = mean - tab[g];
                squares[g] = nan[g] ? 0.0 : d * d;
            }
            const double total =
                0.0 + pairwise_blocks([](Size, Size) {},
                                      [&](Size i) { return squares[slots(codes[i])]; }, 0, n);
            std = std::sqrt(total / static_cast<double>(count - 1));
        }
        for (double &v : tab) {
            v = (v - mean) / std;
        }
    }
    for (Size g = 0; g < tab.size(); ++g) {
        nan_slot = nan_slot || std::isnan(tab[g]);
    }
    bool missing = false;
    if (nan_slot) {
        // which slots the rows use decides whether the column holds missing
        // values and, for the fill, its median
        const std::vector<std::int64_t> counts = rows_per_slot(slots, codes);
        for (Size g = 0; g < tab.size(); ++g) {
            missing = missing || (counts[g] > 0 && std::isnan(tab[g]));
        }
        if (missing && fill) {
            const double median = repeated_median(tab, counts);
            if (!std::isnan(median)) {
                for (double &v : tab) {
                    v = std::isnan(v) ? median : v;
                }
                missing = false;
            }
        }
    }
    for (Size i = 0; i < n; ++i) {
        out[i] = tab[slots(codes[i])];
    }
    return missing;
}

}  // namespace brinvale::core
