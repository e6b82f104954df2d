// Moving-window statistics with pandas' `rolling(d)` semantics: the minimum
// number of observations equals the window, so a window that is not full or
// holds a missing value gives a missing result.  Grouped forms restart the
// window inside every group, visiting each group's rows in row order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brinvale::core {

enum class WindowStat {
    Sum,
    Mean,
    Min,
    Max,
    Std,
    Rank,     // average rank of the window's last value, ascending
    Prod,
    ArgMax,   // first position of the maximum inside the window
    ArgMin,
    DecayLinear,  // sum of values weighted by linspace(0.1, 1, d), oldest first
};

enum class PairStat { Corr, Cov };

// Rows of every group in row order: rows of group g are
// order[offsets[g] .. offsets[g + 1]).  Codes below zero belong to no group.
struct GroupRows {
    std::vector<std::int64_t> order;
    std::vector<std::int64_t> offsets;
};
GroupRows group_rows(std::span<const std::int64_t> codes, std::int64_t ngroups);

// Window 0 follows pandas: sums of empty windows are 0, products 1, weighted
// sums 0, every other statistic missing.  `window` may exceed the length.
void rolling(WindowStat stat, std::span<const double> x, std::uint64_t window,
             std::span<double> out);
void rolling_pair(PairStat stat, std::span<const double> x, std::span<const double> y,
                  std::uint64_t window, std::span<double> out);

// Grouped forms: rows with a negative code get a missing value.
void rolling_grouped(WindowStat stat, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::int64_t ngroups,
                     std::uint64_t window, std::span<double> out);
void rolling_pair_grouped(PairStat stat, std::span<const double> x, std::span<const double> y,
                          std::span<const std::int64_t> codes, std::int64_t ngroups,
                          std::uint64_t window, std::span<double> out);

// Source row of a shift by `lag` rows (negative lags look ahead), -1 where the
// shifted position falls outside the column or the group.  Without codes the
// whole column is one group.
void shift_sources(std::span<const std::int64_t> codes, std::int64_t ngroups, std::int64_t lag,
                   std::span<std::int64_t> src);

// out[i] = x[src[i]], missing where src[i] < 0.
void gather(std::span<const double> x, std::span<const std::int64_t> src, std::span<double> out);
// out[i] = x[i] - x[src[i]], missing where src[i] < 0.
void difference(std::span<const double> x, std::span<const std::int64_t> src,
                std::span<double> out);

// Average rank (ties share the mean of their positions, ascending) of each
// value among the non-missing values of its group; missing values and rows
// without a group get a missing rank.
void group_average_rank(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::span<double> out);

// The values pandas' rolling windows see: infinities count as missing there.
void infinite_to_missing(std::span<double> x);

}  // namespace brinvale::core
