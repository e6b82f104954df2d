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
// group without values (Count, Size and Nunique give 0 there), with pandas'
// rounding.  pandas' groupby reduces a column whose group ids (keys in
// sorted order, missing keys first) never decrease along the rows with
// NumPy's reduceat when the column holds no NaN: each group's sum is then its
// first value plus NumPy's pairwise sum of the others, and of equal extremes
// the last one wins.  `sorted_runs` says the rows are in that order.
// Otherwise Mean and Sum are Kahan-compensated and Var uses Welford's update,
// in row order; Median selects like pandas' kth_smallest.
std::vector<double> group_reduce(GroupStat stat, std::span<const double> x,
                                 std::span<const std::int64_t> codes, std::int64_t ngroups,
                                 bool sorted_runs = false);

// The statistics that read a group's values once, in row order (all but
// Median and Nunique), continued part by part: `group_state` gives the
// accumulators of `ngroups` empty groups (`group_state_width` fields each, 0
// for the others), `group_accumulate` adds rows to them in order, and
// `group_finish` gives what `group_reduce` gives for all the rows so added
// (unsorted rows: the compensated and Welford updates, not NumPy's runs).
std::size_t group_state_width(GroupStat stat);
std::vector<double> group_state(GroupStat stat, std::int64_t ngroups);
void group_accumulate(GroupStat stat, std::span<const double> x,
                      std::span<const std::int64_t> codes, std::span<double> state);
std::vector<double> group_finish(GroupStat stat, std::span<const double> state);

// Whether codes never decrease along the rows (pandas' monotonic group ids).
bool nondecreasing(std::span<const std::int64_t> codes);

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

// Codes of the distinct values of a key column in order of first appearance,
// with pandas' equality of keys (0.0 and -0.0 are one key, every NaN is the
// same key).  NaN gets -1, or a group of its own when `missing_group`.
// Returns the number of groups.
std::int64_t factorize_keys(std::span<const double> x, bool missing_group,
                            std::span<std::int64_t> codes);
// With `sorted`, codes follow the ascending order of the keys instead.
std::int64_t factorize_keys(std::span<const std::int64_t> x, std::span<std::int64_t> codes,
                            bool sorted = false);

// Gives the keys coded -1 (missing) one group of their own, numbered in
// order of first appearance among codes in that order; returns the count.
std::int64_t missing_as_group(std::span<std::int64_t> codes, std::int64_t ngroups);

// codes[i] = map[codes[i]] for non-negative codes.
void remap_codes(std::span<std::int64_t> codes, std::span<const std::int64_t> map);

// Renumbers non-negative codes so that groups appear in ascending order of
// `keys` (one key per group, no NaN); returns the map old code -> new code.
std::vector<std::int64_t> sort_groups(std::span<std::int64_t> codes, std::span<const double> keys);
std::vector<std::int64_t> sort_groups(std::span<std::int64_t> codes,
                                      std::span<const std::int64_t> keys);

// Number of distinct non-missing ids (codes >= 0, below `nids`) per group,
// with one stamp per id instead of a sort per group.
std::vector<double> group_nunique(std::span<const std::int64_t> ids, std::int64_t nids,
                                  std::span<const std::int64_t> codes, std::int64_t ngroups);

// Dense ranks of non-negative codes in ascending order (negative codes stay
// -1); returns the number of distinct codes.
std::int64_t dense_rank(std::span<std::int64_t> codes);

}  // namespace brinvale::core
