// Whole-column quantities of a column cut into consecutive parts, each part
// computed on its own and the pieces combined afterwards, with exactly the
// doubles a single pass over the whole column gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brinvale::core {

// NumPy's pairwise summation is a fixed tree over the positions 0 .. total-1:
// halves rounded to multiples of eight down to blocks of at most 128 values.
// A part holding positions [offset, offset + n) can sum every subtree lying
// wholly inside it; blocks that straddle its ends are handed on as their raw
// values, so that the combination sums each block once, in its own order.
struct PairwiseNode {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    double sum = 0.0;
};

struct PairwiseFragment {
    std::uint64_t block_start = 0;  // the block the values belong to
    std::uint64_t block_length = 0;
    std::uint64_t start = 0;  // position of values[0]
    std::vector<double> values;
};

struct PairwisePieces {
    std::vector<PairwiseNode> nodes;
    std::vector<PairwiseFragment> fragments;
};

PairwisePieces pairwise_pieces(std::span<const double> values, std::uint64_t offset,
                               std::uint64_t total);

// NumPy's add.reduce (0.0 plus the tree's sum) of the whole column from the
// pieces of all its parts, in any order.  Throws std::invalid_argument when
// the pieces do not cover the column.
double pairwise_total(std::uint64_t total, std::span<const PairwiseNode> nodes,
                      std::span<const PairwiseFragment> fragments);

// Exact order statistics of a column cut into parts: values are ranked by an
// order-preserving 64-bit key (NaN left out), refined 16 bits per round.
// `level` counts the 16-bit digits already fixed by `prefix` (0 to 3).
std::uint64_t order_key(double v);
double key_value(std::uint64_t key);

// Non-NaN values per next digit among the values whose first 16*level key
// bits equal `prefix`, as sorted (digit, count) pairs.
struct DigitCounts {
    std::vector<std::uint16_t> digits;
    std::vector<std::int64_t> counts;
};
DigitCounts digit_counts(std::span<const double> x, int level, std::uint64_t prefix);

// The values whose first 16*level key bits equal `prefix`.
std::vector<double> values_with_prefix(std::span<const double> x, int level, std::uint64_t prefix);

// out[i] = (values[i] - mean) / std, as pandas divides a column by its own
// statistics (standardize_inplace with the statistics of the whole column).
void standardize_with(std::span<double> values, double mean, double std);

}  // namespace brinvale::core
