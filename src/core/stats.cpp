#include "brinvale/stats.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace brinvale::core {

namespace {

constexpr std::size_t kBlock = 128;  // NumPy's PW_BLOCKSIZE

double pairwise(const double *a, std::size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) {
            res += a[i];
        }
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) {
            r[k] = a[k];
        }
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t k = 0; k < 8; ++k) {
                r[k] += a[i + k];
            }
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) {
            res += a[i];
        }
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

}  // namespace

double pairwise_sum(std::span<const double> values) {
    return pairwise(values.data(), values.size());
}

MeanStd pandas_mean_std(std::span<const double> values) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> filled(values.begin(), values.end());
    std::size_t count = 0;
    for (double &v : filled) {
        if (std::isnan(v)) {
            v = 0.0;
        } else {
            ++count;
        }
    }
    MeanStd out{nan, nan, count};
    if (count == 0) {
        return out;
    }
    const double sum = pairwise_sum(filled);
    out.mean = sum / static_cast<double>(count);
    if (count < 2) {
        return out;
    }
    for (std::size_t i = 0; i < filled.size(); ++i) {
        if (std::isnan(values[i])) {
            filled[i] = 0.0;
        } else {
            const double d = out.mean - values[i];
            filled[i] = d * d;
        }
    }
    out.std = std::sqrt(pairwise_sum(filled) / static_cast<double>(count - 1));
    return out;
}

void standardize_inplace(std::span<double> values) {
    const MeanStd ms = pandas_mean_std(values);
    for (double &v : values) {
        v = (v - ms.mean) / ms.std;
    }
}

}  // namespace brinvale::core
