#include "brinvale/elementwise.hpp"
#include "brinvale/stats.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

using namespace brinvale::core;

TEST(Elementwise, DivideReplacesBeforeStandardising) {
    std::vector<double> x{1.0, -1.0, 0.0, NAN, 4.0}, y{0.0, 0.0, 0.0, 1.0, 2.0}, out(5);
    arithmetic_standardized(Arithmetic::divide, NumericColumn::of(x), NumericColumn::of(y), out);
    // raw values 1e12, -1e12, 0, 0, 2: the missing and 0/0 rows both hold 0
    EXPECT_EQ(out[2], out[3]);
    EXPECT_GT(out[0], 1.0);
    EXPECT_LT(out[1], -1.0);
    EXPECT_FALSE(std::isnan(out[3]));
}

TEST(Elementwise, IntegerSumIsNotStandardisedHere) {
    std::vector<std::int64_t> x{1, 2}, y{3, 4};
    std::vector<double> out(2);
    EXPECT_THROW(
        arithmetic_standardized(Arithmetic::add, NumericColumn::of(x), NumericColumn::of(y), out),
        std::invalid_argument);
}

TEST(Elementwise, PickPropagatesMissingAndKeepsSecondOfEqualZeros) {
    std::vector<double> x{1.0, NAN, 0.0, -0.0}, y{2.0, 0.0, -0.0, 0.0}, out(4);
    pick_rowwise(Pick::minimum, NumericColumn::of(x), NumericColumn::of(y), out);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_TRUE(std::signbit(out[2]));
    EXPECT_FALSE(std::signbit(out[3]));
}

TEST(Elementwise, PercentileAveragesTies) {
    std::vector<double> x{10, 20, NAN, 20, 40}, out(5);
    percentile_rank(NumericColumn::of(x), out);
    EXPECT_EQ(out[0], 0.25);
    EXPECT_EQ(out[1], 0.625);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], 0.625);
    EXPECT_EQ(out[4], 1.0);
}

namespace {

// Average ranks over the present values, counted by comparisons alone.
std::vector<double> counted_percentiles(const std::vector<double> &x) {
    std::vector<double> out(x.size(), NAN);
    std::vector<double> present;
    for (double v : x) {
        if (!std::isnan(v))
            present.push_back(v);
    }
    std::sort(present.begin(), present.end());
    const double count = static_cast<double>(present.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]))
            continue;
        const auto lo = std::lower_bound(present.begin(), present.end(), x[i]) - present.begin();
        const auto hi = std::upper_bound(present.begin(), present.end(), x[i]) - present.begin();
        const std::int64_t sum = (lo + 1 + hi) * (hi - lo) / 2;
        out[i] = static_cast<double>(sum) / static_cast<double>(hi - lo) / count;
    }
    return out;
}

}  // namespace

TEST(Elementwise, PercentileOfLongColumnsWithTiesZerosAndInfinities) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal(0.0, 1e3);
    const double special[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 1.5, -1e-300, 5e-324, 1e300};
    for (std::size_t n : {std::size_t{50}, std::size_t{5000}, std::size_t{70000}}) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = gen() % 3 == 0 ? special[gen() % 9] : std::round(normal(gen) * 4) / 4;
        }
        std::vector<double> out(n);
        percentile_rank(NumericColumn::of(x), out);
        const std::vector<double> expected = counted_percentiles(x);
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(expected[i])) {
                EXPECT_TRUE(std::isnan(out[i])) << i;
            } else {
                ASSERT_EQ(out[i], expected[i]) << "n=" << n << " row " << i << " value " << x[i];
            }
        }
        // integers, the extremes included
        std::vector<std::int64_t> ints(n);
        std::vector<double> as_double(n);
        for (std::size_t i = 0; i < n; ++i) {
            ints[i] = i % 7 == 0 ? (i % 2 ? INT64_MIN : INT64_MAX)
                                 : static_cast<std::int64_t>(gen() % 1000) - 500;
            as_double[i] = ints[i] == INT64_MIN   ? -1e300
                           : ints[i] == INT64_MAX ? 1e300
                                                  : static_cast<double>(ints[i]);
        }
        percentile_rank(NumericColumn::of(ints), out);
        EXPECT_EQ(out, counted_percentiles(as_double));
    }
}

TEST(Elementwise, EntropyOfCodes) {
    std::vector<double> one{5, 5, 5}, two{1.5, 7.0};
    EXPECT_TRUE(std::isnan(entropy_of_codes(NumericColumn::of(one))));
    EXPECT_EQ(entropy_of_codes(NumericColumn::of(two)), 0.0);
    std::vector<std::int64_t> three{9, 3, 9, 1};  // codes 2, 1, 2, 0 -> p = .4 .2 .4 0
    const double p = 0.4, q = 0.2;
    EXPECT_DOUBLE_EQ(entropy_of_codes(NumericColumn::of(three)),
                     -2 * p * std::log(p) - q * std::log(q));
}

TEST(Elementwise, RoundingAndFractions) {
    std::vector<double> x{2.5, 3.5, -0.4, -3.5}, out(4);
    round_half_even(x, out);
    EXPECT_EQ(out, (std::vector<double>{2.0, 4.0, -0.0, -4.0}));
    EXPECT_TRUE(std::signbit(out[2]));
    fractional_part(NumericColumn::of(x), out);
    EXPECT_EQ(out[3], -0.5);
}

TEST(Elementwise, PythonTexts) {
    EXPECT_EQ(python_float_text(1.0), "1.0");
    EXPECT_EQ(python_float_text(-0.0), "-0.0");
    EXPECT_EQ(python_float_text(NAN), "nan");
    EXPECT_EQ(python_float_text(-INFINITY), "-inf");
    EXPECT_EQ(python_float_text(1e16), "1e+16");
    EXPECT_EQ(python_float_text(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(python_float_text(1e-05), "1e-05");
    EXPECT_EQ(python_float_text(0.0001), "0.0001");
    EXPECT_EQ(python_float_text(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(python_float_text(-1.5e-300), "-1.5e-300");
    EXPECT_EQ(python_int_text(-42), "-42");
}

TEST(Elementwise, DivideStandardisesLikeTheSeparateSteps) {
    // the one-pass form must give pandas' z-score of the cleaned quotients bit for bit
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal(0.0, 50.0);
    for (std::size_t n : {2u, 7u, 8u, 9u, 127u, 128u, 129u, 1000u, 4099u}) {
        std::vector<double> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = i % 11 == 3 ? NAN : std::round(normal(gen));
            y[i] = i % 7 == 2 ? 0.0 : std::round(normal(gen) / 10);
        }
        std::vector<double> want(n), got(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double q = x[i] / y[i];
            want[i] = std::isnan(q) ? 0.0 : std::isinf(q) ? (q > 0 ? 1e12 : -1e12) : q;
        }
        standardize_inplace(want);
        arithmetic_standardized(Arithmetic::divide, NumericColumn::of(x), NumericColumn::of(y),
                                got);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(double)), 0) << n << " row " << i;
        }
    }
}
