// Whole-column reductions that reproduce pandas' Series.mean() and .std()
// bit for bit: NumPy's pairwise summation over the column with missing
// values replaced by 0, divided by the count of non-missing values.
#pragma once

#include <cstddef>
#include <span>

namespace brinvale::core {

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
