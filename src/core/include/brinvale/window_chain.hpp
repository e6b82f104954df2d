// A column cut into consecutive parts, its running windows (running.hpp)
// computed part by part: each part continues from the carry the parts before
// it left, with the doubles of one pass over the whole column.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "brinvale/running.hpp"

#include "brinvale/windows.hpp"

namespace brinvale::core {

// The running state of the statistic (empty before the first row), typed.
using RunningState = std::variant<std::monostate, SumState, VarState, CovState>;

struct WindowCarry {
    RunningState state;
    std::vector<double> x, y;  // the last rows seen (up to the window), raw
    std::uint64_t seen = 0;    // rows of the column before the next part
};

// The state as plain numbers (its kind first; none while empty) and back,
// for carries handed from one process to another.
std::vector<double> carry_fields(const WindowCarry &carry);
void restore_carry(WindowCarry &carry, std::span<const double> fields);

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
