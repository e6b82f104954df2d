// Per-group statistics over integer group codes (0..ngroups-1, negative for
// rows that belong to no group), with the results pandas' groupby gives.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brinvale::core {

// Statistics computed natively; others go through the data-frame library.
enum class GroupStat { Min, Max, Mean, Median, Var, Std, Sum, Count, Size, Nunique, First, Last };

// Parses a pandas aggregation name; false if the statistic is not native.
bool parse_group_stat(std::string_view name, GroupStat &stat);

// Rows per group (including rows whose value is missing).
std::vector<std::int64_t> group_sizes(std::span<const std::int64_t> codes, std::int64_t ngroups);

// The statistic of the non-missing values of every group; missing for a
// group without values (Count, Size and Nunique give 0 there).  Mean and Sum
// are Kahan-compensated and Var uses Welford's update, in row order, as
// pandas' group kernels do.
std::vector<double> group_reduce(GroupStat stat, std::span<const double> x,
                                 std::span<const std::int64_t> codes, std::int64_t ngroups);

// Number of distinct non-missing ids (codes >= 0) per group.
std::vector<double> group_nunique(std::span<const std::int64_t> ids,
                                  std::span<const std::int64_t> codes, std::int64_t ngroups);

// out[i] = table[codes[i]], missing where codes[i] < 0.
void map_groups(std::span<const double> table, std::span<const std::int64_t> codes,
                std::span<double> out);

// First row of every group, -1 for an empty group.
std::vector<std::int64_t> first_rows(std::span<const std::int64_t> codes, std::int64_t ngroups);

// Mixed-radix code of a pair of code columns: a * nb + b, negative if either is.
void combine_codes(std::span<const std::int64_t> a, std::span<const std::int64_t> b,
                   std::int64_t nb, std::span<std::int64_t> out);

// pandas' median of a column: missing values skipped; the mean of the two
// middle values for an even count.
double column_median(std::span<const double> x);
// Replaces missing values in place; returns whether any was found.
bool fill_missing(std::span<double> x, double value);
bool has_missing(std::span<const double> x);

}  // namespace brinvale::core

namespace brinvale::core {

// Dense ranks of non-negative codes in ascending order (negative codes stay
// -1); returns the number of distinct codes.
std::int64_t dense_rank(std::span<std::int64_t> codes);

}  // namespace brinvale::core
