// Moving-window statistics with pandas' `rolling(d)` semantics: the minimum
// number of observations equals the window, so a window that is not full or
// holds a missing value gives a missing result.  Infinities count as missing,
// as they do in pandas' rolling windows (the inputs are read, never changed).
// Grouped forms restart the window inside every group, visiting each group's
// rows in row order.
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
    Rank,  // average rank of the window's last value, ascending
    Prod,
    ArgMax,  // first position of the maximum inside the window
    ArgMin,
    DecayLinear,  // sum of values weighted by linspace(0.1, 1, d), oldest first
};

enum class PairStat { Corr, Cov };

// Group codes of numeric keys, numbered in order of first appearance; NaN
// keys get -1 (pandas' groupby drops them) and -0.0 joins 0.0.  Returns the
// number of groups.  The key coder of group_keys.hpp makes them.
std::int64_t encode_keys(std::span<const std::int64_t> keys, std::span<std::int64_t> codes);
std::int64_t encode_keys(std::span<const double> keys, std::span<std::int64_t> codes);

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

// Shift by `lag` rows inside each group (negative lags look ahead):
// out[i] = x of the row `lag` places earlier in its group, missing where that
// falls outside the group.  Empty codes make the whole column one group.
// `difference` stores x[i] minus that value instead.  Values are moved as
// they are: infinities stay.
void shift(std::span<const double> x, std::span<const std::int64_t> codes, std::int64_t ngroups,
           std::int64_t lag, bool difference, std::span<double> out);

// Source row of a shift by `lag` rows (negative lags look ahead), -1 where the
// shifted position falls outside the column or the group, for columns that
// are moved by pandas' take.  Without codes the whole column is one group.
void shift_sources(std::span<const std::int64_t> codes, std::int64_t ngroups, std::int64_t lag,
                   std::span<std::int64_t> src);

// Average rank (ties share the mean of their positions, ascending) of each
// value among the non-missing values of its group; missing values and rows
// without a group get a missing rank.
void group_average_rank(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::span<double> out);

}  // namespace brinvale::core
