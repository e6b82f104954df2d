#include "brinvale/stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace brinvale::core;

TEST(Stats, MeanStdSkipMissingValues) {
    std::vector<double> v{1.0, NAN, 3.0, 5.0};
    MeanStd ms = pandas_mean_std(v);
    EXPECT_EQ(ms.count, 3u);
    EXPECT_DOUBLE_EQ(ms.mean, 3.0);
    EXPECT_DOUBLE_EQ(ms.std, 2.0);
}

TEST(Stats, TooFewValuesGiveMissingDeviation) {
    std::vector<double> one{4.0};
    EXPECT_TRUE(std::isnan(pandas_mean_std(one).std));
    std::vector<double> none{NAN, NAN};
    MeanStd ms = pandas_mean_std(none);
    EXPECT_TRUE(std::isnan(ms.mean));
    EXPECT_EQ(ms.count, 0u);
}

TEST(Stats, ConstantColumnStandardisesToMissing) {
    std::vector<double> v{2.0, 2.0, 2.0};
    standardize_inplace(v);
    for (double x : v) {
        EXPECT_TRUE(std::isnan(x));
    }
}

TEST(Stats, PairwiseSumOfLongRunIsExactForIntegers) {
    std::vector<double> v(1000003);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<double>(i % 7);
    }
    double expect = 0.0;
    for (double x : v) {
        expect += x;
    }
    EXPECT_EQ(pairwise_sum(v), expect);
}
