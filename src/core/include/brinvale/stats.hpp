// Whole-column reductions that reproduce pandas' Series.mean() and .std()
// bit for bit: NumPy's pairwise summation over the column with missing
// values replaced by 0, divided by the count of non-missing values.
#pragma once

#include <cstddef>
#include <span>

namespace brinvale::core {

// NumPy's pairwise summation of value(start) ... value(start + n - 1): eight
// partial sums per block of 128, blocks split in halves.  `leaf` is called on
// each block before it is summed, so that a column can be written and summed
// in one pass in NumPy's order.
template <typename Leaf, typename Value>
double pairwise_blocks(const Leaf &leaf, const Value &value, std::size_t start, std::size_t n) {
    if (n < 8) {
        leaf(start, n);
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) {
            res += value(start + i);
        }
        return res;
    }
    if (n <= 128) {  // NumPy's PW_BLOCKSIZE
        leaf(start, n);
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) {
            r[k] = value(start + k);
        }
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t k = 0; k < 8; ++k) {
                r[k] += value(start + i + k);
            }
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) {
            res += value(start + i);
        }
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_blocks(leaf, value, start, n2) +
           pairwise_blocks(leaf, value, start + n2, n - n2);
}

// NumPy's pairwise summation of a contiguous float64 buffer.
double pairwise_sum(std::span<const double> values);

struct MeanStd {
    double mean;
    double std;  // sample standard deviation (divisor n - 1); NaN below two values
    std::size_t count;
};

// pandas' skipna mean and std of a column.
MeanStd pandas_mean_std(std::span<const double> values);

// values[i] = (values[i] - mean) / std, as pandas computes z-scores of a column.
void standardize_inplace(std::span<double> values);

}  // namespace brinvale::core
