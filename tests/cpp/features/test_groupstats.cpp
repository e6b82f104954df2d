#include "brinvale/groupstats.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <vector>

using namespace brinvale::core;

TEST(GroupStats, ReductionsSkipMissingValues) {
    std::vector<double> x{1, 4, NAN, 3, 2, 10};
    std::vector<std::int64_t> codes{0, 0, 0, 1, 1, -1};
    EXPECT_EQ(group_reduce(GroupStat::Min, x, codes, 2), (std::vector<double>{1, 2}));
    EXPECT_EQ(group_reduce(GroupStat::Max, x, codes, 2), (std::vector<double>{4, 3}));
    EXPECT_EQ(group_reduce(GroupStat::Mean, x, codes, 2), (std::vector<double>{2.5, 2.5}));
    EXPECT_EQ(group_reduce(GroupStat::Median, x, codes, 2), (std::vector<double>{2.5, 2.5}));
    EXPECT_EQ(group_reduce(GroupStat::Var, x, codes, 2), (std::vector<double>{4.5, 0.5}));
    EXPECT_EQ(group_reduce(GroupStat::Count, x, codes, 2), (std::vector<double>{2, 2}));
    EXPECT_EQ(group_reduce(GroupStat::Size, x, codes, 2), (std::vector<double>{3, 2}));
    EXPECT_EQ(group_sizes(codes, 2), (std::vector<std::int64_t>{3, 2}));
}

TEST(GroupStats, EmptyGroupsAndSingleValues) {
    std::vector<double> x{NAN, 7};
    std::vector<std::int64_t> codes{0, 1};
    auto var = group_reduce(GroupStat::Var, x, codes, 3);
    EXPECT_TRUE(std::isnan(var[0]) && std::isnan(var[1]) && std::isnan(var[2]));
    auto sum = group_reduce(GroupStat::Sum, x, codes, 3);
    EXPECT_EQ(sum, (std::vector<double>{0, 7, 0}));
    auto mean = group_reduce(GroupStat::Mean, std::vector<double>{INFINITY, 1},
                             std::vector<std::int64_t>{0, 0}, 1);
    EXPECT_EQ(mean[0], INFINITY);
}

TEST(GroupStats, DistinctIdsAndMapping) {
    std::vector<std::int64_t> ids{0, 0, 1, -1, 2};
    std::vector<std::int64_t> codes{0, 0, 0, 1, 1};
    EXPECT_EQ(group_nunique(ids, codes, 2), (std::vector<double>{2, 1}));
    std::vector<double> out(3);
    map_groups(std::vector<double>{5, 6}, std::vector<std::int64_t>{1, -1, 0}, out);
    EXPECT_EQ(out[0], 6);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], 5);
}

TEST(GroupStats, DenseRankKeepsOrderForSmallAndLargeRanges) {
    std::vector<std::int64_t> small{4, -1, 2, 4};
    EXPECT_EQ(dense_rank(small), 2);
    EXPECT_EQ(small, (std::vector<std::int64_t>{1, -1, 0, 1}));
    std::vector<std::int64_t> large{1ll << 40, 3, -1, 1ll << 40};
    EXPECT_EQ(dense_rank(large), 2);
    EXPECT_EQ(large, (std::vector<std::int64_t>{1, 0, -1, 1}));
}

TEST(GroupStats, ColumnMedianLikePandas) {
    EXPECT_EQ(column_median(std::vector<double>{3, NAN, 1, 2, 10}), 2.5);
    EXPECT_EQ(column_median(std::vector<double>{3, 1, 2}), 2);
    EXPECT_TRUE(std::isnan(column_median(std::vector<double>{NAN})));
}

TEST(GroupStats, FactorizeKeysLikePandas) {
    // both zeros are one key, every NaN is one key (or no group)
    std::vector<double> x{2.5, -0.0, NAN, 0.0, 2.5, NAN, -1};
    std::vector<std::int64_t> codes(x.size());
    EXPECT_EQ(factorize_keys(x, false, codes), 3);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, -1, 1, 0, -1, 2}));
    EXPECT_EQ(factorize_keys(x, true, codes), 4);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, 2, 1, 0, 2, 3}));

    // a narrow range of integers and one far too wide for a direct table
    for (std::int64_t spread : {1ll, 1ll << 40}) {
        std::vector<std::int64_t> v{5 * spread, -3, 5 * spread, 7 * spread, -3};
        std::vector<std::int64_t> c(v.size());
        EXPECT_EQ(factorize_keys(v, c), 3);
        EXPECT_EQ(c, (std::vector<std::int64_t>{0, 1, 0, 2, 1}));
        EXPECT_EQ(factorize_keys(v, c, true), 3);
        EXPECT_EQ(c, (std::vector<std::int64_t>{1, 0, 1, 2, 0}));
    }
    std::vector<std::int64_t> extremes{INT64_MAX, INT64_MIN, INT64_MAX};
    std::vector<std::int64_t> c(3);
    EXPECT_EQ(factorize_keys(extremes, c, true), 2);
    EXPECT_EQ(c, (std::vector<std::int64_t>{1, 0, 1}));
}

TEST(GroupStats, MissingKeysBecomeTheirOwnGroupInPlace) {
    std::vector<std::int64_t> codes{0, 1, -1, 2, -1, 1};
    EXPECT_EQ(missing_as_group(codes, 3), 4);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, 2, 3, 2, 1}));
    std::vector<std::int64_t> none{0, 1, 0};
    EXPECT_EQ(missing_as_group(none, 2), 2);
    EXPECT_EQ(none, (std::vector<std::int64_t>{0, 1, 0}));
    std::vector<double> keys{3, 1, 2};
    std::vector<std::int64_t> groups{0, 1, 2, -1, 0};
    sort_groups(groups, keys);
    EXPECT_EQ(groups, (std::vector<std::int64_t>{2, 0, 1, -1, 2}));
}

TEST(GroupStats, DistinctIdsWithStamps) {
    // ids shared between groups are counted in each of them
    std::vector<std::int64_t> ids{0, 1, 0, 1, 1, -1, 2};
    std::vector<std::int64_t> codes{1, 1, 0, 0, 1, 0, -1};
    EXPECT_EQ(group_nunique(ids, 3, codes, 3), (std::vector<double>{2, 2, 0}));
}

TEST(GroupStats, SortedRunsSumLikeNumpyReduceat) {
    // One group in row order: pandas reduces it with reduceat (first value
    // plus the pairwise sum of the rest), otherwise with Kahan's sum.
    std::vector<double> x{0.22, 11.77, 6.81, 3.83, -5.64, -13.82};
    std::vector<std::int64_t> one(x.size(), 0);
    EXPECT_TRUE(nondecreasing(one));
    EXPECT_EQ(group_reduce(GroupStat::Mean, x, one, 1, true)[0], 0.5283333333333327);
    EXPECT_EQ(group_reduce(GroupStat::Mean, x, one, 1, false)[0], 0.5283333333333333);
    EXPECT_EQ(group_reduce(GroupStat::Mean, std::vector<double>{1.3, 2.3, 9.3},
                           std::vector<std::int64_t>{0, 0, 0}, 1, true)[0],
              4.300000000000001);
    // a NaN anywhere in the column sends pandas to its compensated kernel
    std::vector<double> with_nan{0.22, 11.77, 6.81, 3.83, -5.64, -13.82, NAN};
    std::vector<std::int64_t> codes{0, 0, 0, 0, 0, 0, -1};
    EXPECT_FALSE(nondecreasing(codes));
    codes = {-1, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(nondecreasing(codes));
    std::vector<double> shifted{NAN, 0.22, 11.77, 6.81, 3.83, -5.64, -13.82};
    EXPECT_EQ(group_reduce(GroupStat::Mean, shifted, codes, 1, true)[0], 0.5283333333333333);
    // of equal extremes reduceat keeps the later one, the kernel the first
    std::vector<double> zeros{0.0, -0.0};
    std::vector<std::int64_t> two{0, 0};
    EXPECT_TRUE(std::signbit(group_reduce(GroupStat::Min, zeros, two, 1, true)[0]));
    EXPECT_FALSE(std::signbit(group_reduce(GroupStat::Min, zeros, two, 1, false)[0]));
    EXPECT_EQ(group_reduce(GroupStat::Sum, zeros, std::vector<std::int64_t>{1, 1}, 3, true),
              (std::vector<double>{0, 0, 0}));
}

TEST(GroupStats, MedianSelectsLikePandas) {
    std::vector<double> x{5, 1, 4, 2, 3, 0.0, -0.0, 7, -1};
    std::vector<std::int64_t> codes{0, 0, 0, 0, 0, 1, 1, 1, 1};
    auto m = group_reduce(GroupStat::Median, x, codes, 2);
    EXPECT_EQ(m[0], 3);
    EXPECT_EQ(m[1], 0);
    // which zero pandas' selection lands on depends on the order of the rows
    EXPECT_TRUE(std::signbit(m[1]));
    std::vector<double> y{0.0, 7, -0.0, -1};
    EXPECT_FALSE(
        std::signbit(group_reduce(GroupStat::Median, y, std::vector<std::int64_t>(4, 0), 1)[0]));
}

// A column cut into parts, each part's rows added to the accumulators the
// parts before left, gives the same bits as the whole column at once.
TEST(GroupStats, StatesContinuedPartByPartGiveTheWholeColumnsBits) {
    std::vector<double> x;
    std::vector<std::int64_t> codes;
    unsigned s = 12345;
    for (int i = 0; i < 2000; ++i) {
        s = s * 1103515245u + 12345u;
        const double v = (s % 100000) / 7.0 + 1e9 * ((s >> 20) % 3 == 0);
        x.push_back(i % 97 == 0 ? NAN : v);
        codes.push_back(i % 53 == 0 ? -1 : static_cast<std::int64_t>((s >> 8) % 5));
    }
    for (GroupStat stat :
         {GroupStat::Min, GroupStat::Max, GroupStat::Mean, GroupStat::Sum, GroupStat::Var,
          GroupStat::Std, GroupStat::Count, GroupStat::Size, GroupStat::First, GroupStat::Last}) {
        const std::vector<double> whole = group_reduce(stat, x, codes, 5);
        std::vector<double> state = group_state(stat, 5);
        for (std::size_t a = 0; a < x.size();) {
            const std::size_t b = std::min(x.size(), a + 1 + (a * 7919) % 311);
            group_accumulate(stat, std::span(x).subspan(a, b - a),
                             std::span(codes).subspan(a, b - a), state);
            a = b;
        }
        const std::vector<double> parts = group_finish(stat, state);
        ASSERT_EQ(parts.size(), whole.size());
        for (std::size_t k = 0; k < whole.size(); ++k) {
            EXPECT_TRUE(std::memcmp(&parts[k], &whole[k], sizeof(double)) == 0 ||
                        (std::isnan(parts[k]) && std::isnan(whole[k])))
                << static_cast<int>(stat) << " group " << k;
        }
    }
    // states that do not fit are refused, never read past
    std::vector<double> small = group_state(GroupStat::Mean, 2);
    EXPECT_THROW(group_accumulate(GroupStat::Mean, x, codes, small), std::invalid_argument);
    small.pop_back();
    EXPECT_THROW(group_finish(GroupStat::Mean, small), std::invalid_argument);
    EXPECT_THROW(group_state(GroupStat::Median, 2), std::invalid_argument);
}
