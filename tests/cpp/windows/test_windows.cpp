#include "brinvale/windows.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace brinvale::core;

namespace {

std::vector<double> run(WindowStat s, const std::vector<double> &x, std::uint64_t d) {
    std::vector<double> out(x.size());
    rolling(s, x, d, out);
    return out;
}

void expect_same(const std::vector<double> &a, const std::vector<double> &b, double tol = 0) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(b[i])) {
            EXPECT_TRUE(std::isnan(a[i])) << i;
        } else if (std::isinf(b[i])) {
            EXPECT_EQ(a[i], b[i]) << i;
        } else {
            EXPECT_NEAR(a[i], b[i], tol) << i;
        }
    }
}

}  // namespace

TEST(Windows, MinMaxAndPositionsSkipIncompleteWindows) {
    std::vector<double> x{4, 2, 5, 1, NAN, 3, 3, 0};
    expect_same(run(WindowStat::Min, x, 3), {NAN, NAN, 2, 1, NAN, NAN, NAN, 0});
    expect_same(run(WindowStat::Max, x, 2), {NAN, 4, 5, 5, NAN, NAN, 3, 3});
    // first position on ties
    expect_same(run(WindowStat::ArgMax, x, 2), {NAN, 0, 1, 0, NAN, NAN, 0, 0});
    expect_same(run(WindowStat::ArgMin, x, 3), {NAN, NAN, 1, 2, NAN, NAN, NAN, 2});
}

TEST(Windows, RankShortAndLongWindowsAgree) {
    std::mt19937_64 gen(7);
    std::uniform_int_distribution<int> dist(0, 9);
    std::vector<double> x(400);
    for (double &v : x) {
        v = dist(gen);
    }
    x[100] = NAN;
    // the long-window structure against a direct count
    const std::uint64_t d = 200;
    std::vector<double> fast = run(WindowStat::Rank, x, d);
    for (std::size_t i = 0; i < x.size(); ++i) {
        bool ok = i + 1 >= d;
        double less = 0, eq = 0;
        for (std::size_t j = ok ? i + 1 - d : 0; ok && j <= i; ++j) {
            ok = !std::isnan(x[j]);
            less += x[j] < x[i];
            eq += x[j] == x[i];
        }
        if (ok) {
            EXPECT_EQ(fast[i], less + (eq + 1) / 2) << i;
        } else {
            EXPECT_TRUE(std::isnan(fast[i])) << i;
        }
    }
}

TEST(Windows, ConstantWindowsGiveExactResults) {
    std::vector<double> x(50, 0.1);
    for (double v : run(WindowStat::Std, x, 5)) {
        if (!std::isnan(v)) {
            EXPECT_EQ(v, 0.0);
        }
    }
    for (double v : run(WindowStat::Mean, x, 7)) {
        if (!std::isnan(v)) {
            EXPECT_EQ(v, 0.1);
        }
    }
    std::vector<double> y(50);
    for (std::size_t i = 0; i < y.size(); ++i) {
        y[i] = static_cast<double>(i % 5);
    }
    std::vector<double> c(50);
    rolling_pair(PairStat::Corr, x, y, 4, c);
    for (double v : c) {
        EXPECT_TRUE(std::isnan(v));
    }
}

TEST(Windows, DecayMatchesDirectSum) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> dist;
    std::vector<double> x(1000);
    for (double &v : x) {
        v = dist(gen);
    }
    x[500] = NAN;
    const std::uint64_t d = 40;
    std::vector<double> got = run(WindowStat::DecayLinear, x, d);
    for (std::size_t i = d - 1; i < x.size(); ++i) {
        double s = 0;
        bool ok = true;
        for (std::size_t k = 0; k < d; ++k) {
            const double w = k + 1 == d ? 1.0 : 0.1 + static_cast<double>(k) * (0.9 / (d - 1));
            s += w * x[i + 1 - d + k];
            ok = ok && !std::isnan(x[i + 1 - d + k]);
        }
        if (ok) {
            EXPECT_NEAR(got[i], s, 1e-11);
        } else {
            EXPECT_TRUE(std::isnan(got[i]));
        }
    }
}

TEST(Windows, GroupedWindowsRestartPerGroup) {
    std::vector<double> x{1, 2, 3, 4, 5, 6};
    std::vector<std::int64_t> codes{0, 1, 0, -1, 1, 0};
    std::vector<double> out(6);
    rolling_grouped(WindowStat::Sum, x, codes, 2, 2, out);
    expect_same(out, {NAN, NAN, 4, NAN, 7, 9});
    std::vector<std::int64_t> src(6);
    shift_sources(codes, 2, 1, src);
    EXPECT_EQ(src, (std::vector<std::int64_t>{-1, -1, 0, -1, 1, 2}));
    shift_sources(codes, 2, -1, src);
    EXPECT_EQ(src, (std::vector<std::int64_t>{2, 4, 5, -1, -1, -1}));
    shift_sources({}, 0, 2, src);
    EXPECT_EQ(src, (std::vector<std::int64_t>{-1, -1, 0, 1, 2, 3}));
}

TEST(Windows, EmptyWindowsFollowPandas) {
    std::vector<double> x{1, NAN, 3};
    expect_same(run(WindowStat::Sum, x, 0), {0, 0, 0});
    expect_same(run(WindowStat::Prod, x, 0), {1, 1, 1});
    expect_same(run(WindowStat::Mean, x, 0), {NAN, NAN, NAN});
    expect_same(run(WindowStat::Max, x, 1ull << 62), {NAN, NAN, NAN});
}

TEST(Windows, GroupAverageRank) {
    std::vector<double> x{5, 1, 7, 5, NAN};
    std::vector<std::int64_t> codes{0, 0, 1, 0, 0};
    std::vector<double> out(5);
    group_average_rank(x, codes, 2, out);
    expect_same(out, {2.5, 1, 1, 2.5, NAN});
}

TEST(Windows, OnePassGroupedMatchesEachGroupAlone) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> dist;
    std::uniform_int_distribution<int> group(-1, 6), roll(0, 99);
    const std::size_t n = 3000;
    std::vector<double> x(n);
    std::vector<std::int64_t> codes(n);
    for (std::size_t i = 0; i < n; ++i) {
        const int r = roll(gen);
        x[i] = r < 3 ? NAN : r < 5 ? INFINITY : r < 15 ? 0.5 : std::round(dist(gen) * 10) / 10;
        codes[i] = group(gen);
    }
    for (WindowStat s :
         {WindowStat::Sum, WindowStat::Mean, WindowStat::Std, WindowStat::Min, WindowStat::Max,
          WindowStat::ArgMax, WindowStat::ArgMin, WindowStat::Rank}) {
        for (std::uint64_t d : {0u, 1u, 2u, 3u, 7u, 64u, 500u}) {
            if (d == 0 && (s == WindowStat::ArgMax || s == WindowStat::ArgMin)) {
                continue;
            }
            std::vector<double> got(n);
            rolling_grouped(s, x, codes, 7, d, got);
            std::vector<double> want(n, NAN);
            for (std::int64_t g = 0; g < 7; ++g) {
                std::vector<double> gx;
                std::vector<std::size_t> rows;
                for (std::size_t i = 0; i < n; ++i) {
                    if (codes[i] == g) {
                        gx.push_back(x[i]);
                        rows.push_back(i);
                    }
                }
                std::vector<double> go(gx.size());
                rolling(s, gx, d, go);
                for (std::size_t k = 0; k < rows.size(); ++k) {
                    want[rows[k]] = go[k];
                }
            }
            SCOPED_TRACE(static_cast<int>(s) * 1000 + static_cast<int>(d));
            expect_same(got, want);
        }
    }
}

TEST(Windows, ShiftMovesValuesInsideGroups) {
    std::vector<double> x{1, 2, 4, 8, 16, INFINITY};
    std::vector<std::int64_t> codes{0, 1, 0, -1, 1, 0};
    std::vector<double> out(6);
    shift(x, codes, 2, 1, false, out);
    expect_same(out, {NAN, NAN, 1, NAN, 2, 4});
    shift(x, codes, 2, -1, true, out);
    expect_same(out, {-3, -14, -INFINITY, NAN, NAN, NAN});
    shift(x, {}, 0, 2, false, out);
    expect_same(out, {NAN, NAN, 1, 2, 4, 8});
    shift(x, {}, 0, -4, true, out);
    expect_same(out, {-15, -INFINITY, NAN, NAN, NAN, NAN});
    shift(x, {}, 0, 9, false, out);
    expect_same(out, {NAN, NAN, NAN, NAN, NAN, NAN});
}

TEST(Windows, NumericKeysGetOneCodePerValue) {
    std::vector<std::int64_t> codes(5);
    // narrow and wide ranges alike are numbered by first appearance
    EXPECT_EQ(encode_keys(std::vector<std::int64_t>{7, 5, 7, 6, 5}, codes), 3);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, 0, 2, 1}));
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(encode_keys(std::vector<std::int64_t>{big, -big, big, 0, -big}, codes), 3);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, 0, 2, 1}));
    EXPECT_EQ(encode_keys(std::vector<double>{0.0, NAN, -0.0, 1.5, 1.5}, codes), 2);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, -1, 0, 1, 1}));
}

TEST(Windows, PairStatesRoundLikePandas) {
    // pandas' co-moments of the pair (3, -12.27), (0, -6.83): a correlation of
    // exactly -1 (clipped), not -1.0000000000000002
    std::vector<double> a{3, 0}, b{-12.27, -6.83}, out(2);
    rolling_pair(PairStat::Corr, a, b, 2, out);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], -1.0);
    // once a huge value has left the window the state is recomputed, so the
    // windows after it are exact
    std::vector<double> x{1e12, 1, 2, 3, 4}, cov(5), sd(5);
    rolling_pair(PairStat::Cov, x, x, 2, cov);
    rolling(WindowStat::Std, x, 2, sd);
    for (std::size_t i = 2; i < x.size(); ++i) {
        EXPECT_EQ(cov[i], 0.5) << i;
        EXPECT_EQ(sd[i], std::sqrt(0.5)) << i;
    }
}

TEST(Windows, EqualExtremesKeepTheLaterValue) {
    // pandas' deque keeps the later of equal values: 0.0 and -0.0 tell which
    std::vector<double> x{0.0, -0.0, 0.0, 5.0};
    auto mn = run(WindowStat::Min, x, 2), mx = run(WindowStat::Max, x, 2);
    EXPECT_TRUE(std::signbit(mn[1]) && std::signbit(mx[1]));
    EXPECT_FALSE(std::signbit(mn[2]) || std::signbit(mx[2]));
    std::vector<std::int64_t> codes{0, 0, 0, 0};
    std::vector<double> g(4);
    rolling_grouped(WindowStat::Min, x, codes, 1, 2, g);
    EXPECT_TRUE(std::signbit(g[1]));
    EXPECT_FALSE(std::signbit(g[2]));
}
