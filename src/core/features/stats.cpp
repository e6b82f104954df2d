#include "brinvale/stats.hpp"

#include <cmath>
#include <limits>

namespace brinvale::core {

namespace {

// NumPy's pairwise summation (eight interleaved partial sums per block of
// 128) over value(0) ... value(n - 1), so that masked or transformed columns
// are summed in NumPy's order without materialising them.
template <typename Value>
double pairwise(const Value &value, std::size_t start, std::size_t n) {
    return pairwise_blocks([](std::size_t, std::size_t) {}, value, start, n);
}

}  // namespace

double pairwise_sum(std::span<const double> values) {
    const double *a = values.data();
    // NumPy's add.reduce starts from its identity 0.0, so an all -0.0 column
    // sums to 0.0.
    return 0.0 + pairwise([a](std::size_t i) { return a[i]; }, 0, values.size());
}

MeanStd pandas_mean_std(std::span<const double> values) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double *a = values.data();
    std::size_t count = 0;
    for (double v : values) {
        count += !std::isnan(v);
    }
    MeanStd out{nan, nan, count};
    if (count == 0) {
        return out;
    }
    // pandas fills missing values with 0 before NumPy's sum.
    const double sum = 0.0 + pairwise([a](std::size_t i) { return std::isnan(a[i]) ? 0.0 : a[i]; },
                                      0, values.size());
    out.mean = sum / static_cast<double>(count);
    if (count < 2) {
        return out;
    }
    const double mean = out.mean;
    const double squares = 0.0 + pairwise(
                                     [a, mean](std::size_t i) {
                                         if (std::isnan(a[i])) {
                                             return 0.0;
                                         }
                                         const double d = mean - a[i];
                                         return d * d;
                                     },
                                     0, values.size());
    out.std = std::sqrt(squares / static_cast<double>(count - 1));
    return out;
}

void standardize_inplace(std::span<double> values) {
    const MeanStd ms = pandas_mean_std(values);
    for (double &v : values) {
        v = (v - ms.mean) / ms.std;
    }
}

}  // namespace brinvale::core
