#include "brinvale/elementwise.hpp"
#include "brinvale/partitioned.hpp"
#include "brinvale/stats.hpp"
#include "brinvale/window_chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

using namespace brinvale::core;

namespace {

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) {
        return true;
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Random cut points 0 = c0 < c1 < ... < ck = n (parts of one row included).
std::vector<std::size_t> cuts(std::size_t n, std::mt19937_64 &rng, std::size_t parts) {
    std::vector<std::size_t> c{0, n};
    std::uniform_int_distribution<std::size_t> at(1, n > 1 ? n - 1 : 1);
    for (std::size_t k = 1; k < parts && n > 1; ++k) {
        c.push_back(at(rng));
    }
    std::sort(c.begin(), c.end());
    c.erase(std::unique(c.begin(), c.end()), c.end());
    return c;
}

// Values whose sums round differently in every order.
std::vector<double> awkward(std::size_t n, std::mt19937_64 &rng) {
    std::normal_distribution<double> z;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = z(rng) * std::pow(10.0, static_cast<double>(i % 9) - 4.0) + (i % 5 == 0 ? 1e8 : 0.0);
    }
    return v;
}

}  // namespace

TEST(Partitioned, PairwisePiecesGiveTheWholeColumnsSum) {
    std::mt19937_64 rng(7);
    for (std::size_t n :
         {0ul, 1ul, 7ul, 8ul, 127ul, 128ul, 129ul, 300ul, 1000ul, 4099ul, 70001ul}) {
        const std::vector<double> v = awkward(n, rng);
        const double expect = pairwise_sum(v);
        for (std::size_t parts : {1ul, 2ul, 3ul, 17ul, 50ul}) {
            const auto c = cuts(n, rng, parts);
            std::vector<PairwiseNode> nodes;
            std::vector<PairwiseFragment> fragments;
            // pieces arrive in any order
            for (std::size_t k = c.size() - 1; k > 0; --k) {
                const std::span<const double> part(v.data() + c[k - 1], c[k] - c[k - 1]);
                PairwisePieces p = pairwise_pieces(part, c[k - 1], n);
                nodes.insert(nodes.end(), p.nodes.begin(), p.nodes.end());
                fragments.insert(fragments.end(), p.fragments.begin(), p.fragments.end());
            }
            EXPECT_TRUE(same_bits(pairwise_total(n, nodes, fragments), expect))
                << "n=" << n << " parts=" << parts;
        }
    }
}

TEST(Partitioned, MissingPiecesAreRefused) {
    std::vector<double> v(1000, 1.5);
    PairwisePieces p = pairwise_pieces(std::span<const double>(v.data(), 600), 0, 1000);
    EXPECT_THROW(pairwise_total(1000, p.nodes, p.fragments), std::invalid_argument);
    EXPECT_THROW(pairwise_pieces(v, 1, 1000), std::invalid_argument);
}

TEST(Partitioned, OrderKeysSortLikeTheValues) {
    std::vector<double> v{-INFINITY, -1e300, -2.5, -0.0, 0.0, 1e-310, 3.0, INFINITY};
    for (std::size_t i = 0; i + 1 < v.size(); ++i) {
        EXPECT_LT(order_key(v[i]), order_key(v[i + 1]));
    }
    for (double x : v) {
        EXPECT_TRUE(same_bits(key_value(order_key(x)), x));
    }
}

TEST(Partitioned, DigitsNarrowDownToTheMiddleValue) {
    std::mt19937_64 rng(3);
    std::vector<double> v = awkward(5001, rng);
    v[17] = NAN;
    std::vector<double> sorted;
    for (double x : v) {
        if (!std::isnan(x))
            sorted.push_back(x);
    }
    std::sort(sorted.begin(), sorted.end());
    const std::size_t rank = sorted.size() / 2;
    // descend digit by digit as the partitioned median does
    std::uint64_t prefix = 0;
    std::int64_t below = 0;
    int level = 0;
    for (; level < 4; ++level) {
        const DigitCounts d = digit_counts(v, level, prefix);
        std::size_t k = 0;
        while (below + d.counts[k] <= static_cast<std::int64_t>(rank)) {
            below += d.counts[k];
            ++k;
        }
        prefix = (prefix << 16) | d.digits[k];
        if (d.counts[k] < 64) {
            ++level;
            break;
        }
    }
    std::vector<double> bucket = values_with_prefix(v, level, prefix);
    std::sort(bucket.begin(), bucket.end());
    EXPECT_TRUE(same_bits(bucket[rank - static_cast<std::size_t>(below)], sorted[rank]));
}

TEST(Partitioned, PercentileOfSlicesAddsUp) {
    std::vector<double> v{10, 20, 20, 40, NAN, 5, 40, 40};
    std::vector<double> whole(v.size());
    percentile_rank(NumericColumn::of(v), whole);
    // values below 20 and from 20 on, ranked separately with the counts of the column
    std::vector<double> low{10, 5}, high{20, 20, 40, 40, 40};
    std::vector<double> lo_out(2), hi_out(5);
    percentile_rank_within(NumericColumn::of(low), 0, 7, lo_out);
    percentile_rank_within(NumericColumn::of(high), 2, 7, hi_out);
    EXPECT_TRUE(same_bits(lo_out[0], whole[0]));
    EXPECT_TRUE(same_bits(lo_out[1], whole[5]));
    EXPECT_TRUE(same_bits(hi_out[0], whole[1]));
    EXPECT_TRUE(same_bits(hi_out[3], whole[6]));
    EXPECT_TRUE(std::isnan(whole[4]));
}

TEST(Partitioned, ArithmeticValuesStandardiseToTheSameColumn) {
    std::mt19937_64 rng(11);
    std::vector<double> a = awkward(1000, rng), b = awkward(1000, rng);
    b[3] = 0.0;
    a[9] = NAN;
    for (Arithmetic op : {Arithmetic::add, Arithmetic::divide}) {
        std::vector<double> direct(a.size()), values(a.size());
        arithmetic_standardized(op, NumericColumn::of(a), NumericColumn::of(b), direct);
        arithmetic_values(op, NumericColumn::of(a), NumericColumn::of(b), values);
        const MeanStd ms = pandas_mean_std(values);
        standardize_with(values, ms.mean, ms.std);
        for (std::size_t i = 0; i < a.size(); ++i) {
            ASSERT_TRUE(same_bits(direct[i], values[i])) << i;
        }
    }
}

namespace {

void check_chain(WindowStat stat, const std::vector<double> &x, std::uint64_t window,
                 std::mt19937_64 &rng) {
    std::vector<double> whole(x.size());
    rolling(stat, x, window, whole);
    for (std::size_t parts : {1ul, 3ul, 20ul}) {
        const auto c = cuts(x.size(), rng, parts);
        WindowCarry carry;
        std::vector<double> out(x.size());
        for (std::size_t k = 1; k < c.size(); ++k) {
            rolling_continue(stat, std::span<const double>(x.data() + c[k - 1], c[k] - c[k - 1]),
                             window, x.size(), carry,
                             std::span<double>(out.data() + c[k - 1], c[k] - c[k - 1]));
        }
        for (std::size_t i = 0; i < x.size(); ++i) {
            ASSERT_TRUE(same_bits(out[i], whole[i]))
                << "stat " << static_cast<int>(stat) << " window " << window << " row " << i;
        }
    }
}

}  // namespace

TEST(Partitioned, RunningWindowsContinueAcrossParts) {
    std::mt19937_64 rng(5);
    std::vector<double> x = awkward(600, rng);
    x[40] = NAN;
    x[41] = INFINITY;
    for (std::size_t i = 100; i < 140; ++i)
        x[i] = 3.25;  // a constant stretch
    for (WindowStat stat : {WindowStat::Sum, WindowStat::Mean, WindowStat::Std}) {
        for (std::uint64_t w : {0ul, 1ul, 2ul, 5ul, 37ul, 600ul, 601ul}) {
            check_chain(stat, x, w, rng);
        }
    }
}

TEST(Partitioned, PairWindowsContinueAcrossParts) {
    std::mt19937_64 rng(9);
    std::vector<double> x = awkward(500, rng), y = awkward(500, rng);
    y[7] = NAN;
    for (std::size_t i = 200; i < 230; ++i)
        x[i] = 1e9;
    for (PairStat stat : {PairStat::Corr, PairStat::Cov}) {
        for (std::uint64_t w : {1ul, 2ul, 9ul, 120ul, 501ul}) {
            std::vector<double> whole(x.size());
            rolling_pair(stat, x, y, w, whole);
            const auto c = cuts(x.size(), rng, 25);
            WindowCarry carry;
            std::vector<double> out(x.size());
            for (std::size_t k = 1; k < c.size(); ++k) {
                const std::size_t b = c[k - 1], n = c[k] - c[k - 1];
                rolling_pair_continue(stat, std::span<const double>(x.data() + b, n),
                                      std::span<const double>(y.data() + b, n), w, x.size(), carry,
                                      std::span<double>(out.data() + b, n));
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                ASSERT_TRUE(same_bits(out[i], whole[i])) << "window " << w << " row " << i;
            }
        }
    }
}

TEST(Partitioned, ACarryOfAnotherWindowIsRefused) {
    std::vector<double> x{1, 2, 3, 4};
    std::vector<double> out(4);
    WindowCarry carry;
    rolling_continue(WindowStat::Sum, x, 3, 8, carry, out);
    carry.x.pop_back();
    EXPECT_THROW(rolling_continue(WindowStat::Sum, x, 3, 8, carry, out), std::invalid_argument);
}

// Groups interleaved along the rows, some rows without a group: each group
// continued from its own carry gives the bits of the grouped window over
// the whole column, whatever the cuts.
TEST(Partitioned, GroupedRunningWindowsContinueAcrossParts) {
    std::mt19937_64 rng(21);
    const std::size_t n = 900;
    std::vector<double> x = awkward(n, rng), y = awkward(n, rng);
    x[30] = NAN;
    y[31] = INFINITY;
    std::vector<std::int64_t> codes(n);
    for (std::size_t i = 0; i < n; ++i) {
        // one large group, a few small ones, a group of two rows, no group
        codes[i] = i % 41 == 0 ? -1
                   : i == 5 || i == 800
                       ? 6
                       : static_cast<std::int64_t>(rng() % 4 == 0 ? 1 + rng() % 5 : 0);
    }
    for (std::size_t i = 300; i < 360; ++i)
        x[i] = 7.5;
    const auto cut_and_continue = [&](auto step) {
        std::vector<double> out(n);
        const auto c = cuts(n, rng, 17);
        std::vector<WindowCarry> carries(7);
        for (std::size_t k = 1; k < c.size(); ++k) {
            const std::size_t b = c[k - 1], len = c[k] - c[k - 1];
            step(b, len, carries, std::span<double>(out.data() + b, len));
        }
        return out;
    };
    for (WindowStat stat : {WindowStat::Sum, WindowStat::Std}) {
        for (std::uint64_t w : {2ul, 3ul, 40ul, 901ul}) {
            std::vector<double> whole(n);
            rolling_grouped(stat, x, codes, 7, w, whole);
            const auto out = cut_and_continue(
                [&](std::size_t b, std::size_t len, auto &carries, std::span<double> o) {
                    rolling_grouped_continue(stat, std::span<const double>(x.data() + b, len),
                                             std::span<const std::int64_t>(codes.data() + b, len),
                                             w, n, carries, o);
                });
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(same_bits(out[i], whole[i]))
                    << "stat " << static_cast<int>(stat) << " window " << w << " row " << i;
            }
        }
    }
    for (PairStat stat : {PairStat::Corr, PairStat::Cov}) {
        for (std::uint64_t w : {2ul, 25ul}) {
            std::vector<double> whole(n);
            rolling_pair_grouped(stat, x, y, codes, 7, w, whole);
            const auto out = cut_and_continue([&](std::size_t b, std::size_t len, auto &carries,
                                                  std::span<double> o) {
                rolling_pair_grouped_continue(stat, std::span<const double>(x.data() + b, len),
                                              std::span<const double>(y.data() + b, len),
                                              std::span<const std::int64_t>(codes.data() + b, len),
                                              w, n, carries, o);
            });
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(same_bits(out[i], whole[i])) << "window " << w << " row " << i;
            }
        }
    }
    // a code without a carry is refused
    std::vector<WindowCarry> few(2);
    std::vector<double> o(n);
    EXPECT_THROW(rolling_grouped_continue(WindowStat::Sum, x, codes, 3, n, few, o),
                 std::invalid_argument);
}
