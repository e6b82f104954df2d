// pandas' running windows (rolling sum, mean and std, and the window
// covariance and correlation) keep one accumulator from the first row of the
// column onward, adding and removing values: a window's doubles depend on the
// whole history, not only on its own rows.  A column cut into consecutive
// parts is computed part by part, each part continuing from the carry the
// parts before it left.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "brinvale/windows.hpp"

namespace brinvale::core {

struct WindowCarry {
    std::vector<double> state;  // the accumulator's fields
    std::vector<double> x, y;   // the last rows seen (up to the window), raw
    std::uint64_t seen = 0;     // rows of the column before the next part
};

// rolling(stat, ...) over the rows of `x` as rows carry.seen .. of a column
// of `total` rows; `carry` is updated to include them.  Sum, Mean and Std.
void rolling_continue(WindowStat stat, std::span<const double> x, std::uint64_t window,
                      std::uint64_t total, WindowCarry &carry, std::span<double> out);
// rolling_pair the same way.
void rolling_pair_continue(PairStat stat, std::span<const double> x, std::span<const double> y,
                           std::uint64_t window, std::uint64_t total, WindowCarry &carry,
                           std::span<double> out);

// Grouped: the rows of a part hold several groups, coded 0.. (negative for
// rows without a group, which are missing); each group continues from its
// own carry, as pandas starts every group afresh from its first row.  `total`
// is the whole column's length.
void rolling_grouped_continue(WindowStat stat, std::span<const double> x,
                              std::span<const std::int64_t> codes, std::uint64_t window,
                              std::uint64_t total, std::vector<WindowCarry> &carries,
                              std::span<double> out);
void rolling_pair_grouped_continue(PairStat stat, std::span<const double> x,
                                   std::span<const double> y, std::span<const std::int64_t> codes,
                                   std::uint64_t window, std::uint64_t total,
                                   std::vector<WindowCarry> &carries, std::span<double> out);

}  // namespace brinvale::core
