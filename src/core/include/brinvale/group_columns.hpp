// The feature column of a group statistic, built from the per-group table
// and the rows' group codes in a few passes over the codes, never
// materialised before its last form: the values, pandas' z-score of the
// whole column and its final median fill give the same doubles as mapping
// the table onto the rows, standardising that column and filling it.
#pragma once

#include <cstdint>
#include <span>

namespace brinvale::core {

// out[i] = table[codes[i]] (missing for codes below 0 or past the table);
// with `standardize` then z = (v - mean) / std over the column as pandas'
// Series.mean() and .std() give them; with `fill` missing values become the
// column's median (pandas' fillna(median()) of that column).  Returns
// whether the column holds missing values when done.
bool group_feature_column(std::span<const double> table, std::span<const std::int64_t> codes,
                          bool standardize, bool fill, std::span<double> out);

// Whether any row maps to a missing value (a code below 0 or past the table,
// or a missing table value).
bool maps_to_missing(std::span<const double> table, std::span<const std::int64_t> codes);

// out[i] = table[codes[i]] for a table of whole numbers and codes that all
// map to a value (see maps_to_missing).
void map_groups_int(std::span<const double> table, std::span<const std::int64_t> codes,
                    std::span<std::int64_t> out);

// The median of a column made of table[g] repeated counts[g] times (missing
// values left out), as pandas' median of the column gives it.
double repeated_median(std::span<const double> table, std::span<const std::int64_t> counts);

}  // namespace brinvale::core
