#include "brinvale/running.hpp"
#include "brinvale/window_chain.hpp"
#include "brinvale/windows.hpp"

#include <gtest/gtest.h>

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

// Large offsets, tiny steps, constant stretches, missing values and
// infinities: every accumulator takes its rare branches somewhere.
std::vector<double> rough(std::size_t n, std::mt19937_64 &rng) {
    std::normal_distribution<double> z;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = z(rng) * std::pow(10.0, static_cast<double>(i % 7) - 3.0) + (i % 11 == 0 ? 1e9 : 0);
    }
    for (std::size_t i = n / 3; i < n / 3 + 25 && i < n; ++i) {
        v[i] = -2.5;
    }
    if (n > 20) {
        v[3] = NAN;
        v[17] = INFINITY;
        v[n - 2] = -INFINITY;
    }
    return v;
}

using Parts = std::vector<std::size_t>;

// A one-pass result against a carry continued part by part, the carry going
// through its plain numbers between parts, as between processes.
template <class Run>
void expect_carried_like_one_pass(const std::vector<double> &whole, std::size_t n, Run run,
                                  const Parts &cuts, const char *what) {
    WindowCarry carry;
    std::vector<double> out(n);
    for (std::size_t k = 1; k < cuts.size(); ++k) {
        WindowCarry moved;
        moved.x = carry.x;
        moved.y = carry.y;
        moved.seen = carry.seen;
        restore_carry(moved, carry_fields(carry));
        run(cuts[k - 1], cuts[k] - cuts[k - 1], moved,
            std::span<double>(out.data() + cuts[k - 1], cuts[k] - cuts[k - 1]));
        carry = moved;
    }
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bits(out[i], whole[i])) << what << " row " << i;
    }
}

}  // namespace

TEST(RunningStates, EmptyCarryStartsLikeTheColumn) {
    WindowCarry fresh;
    EXPECT_TRUE(carry_fields(fresh).empty());
    std::mt19937_64 rng(3);
    const std::vector<double> x = rough(200, rng);
    for (WindowStat stat : {WindowStat::Sum, WindowStat::Mean, WindowStat::Std}) {
        std::vector<double> whole(x.size()), out(x.size());
        rolling(stat, x, 9, whole);
        WindowCarry carry;
        rolling_continue(stat, x, 9, x.size(), carry, out);
        for (std::size_t i = 0; i < x.size(); ++i) {
            ASSERT_TRUE(same_bits(out[i], whole[i])) << static_cast<int>(stat) << " row " << i;
        }
        EXPECT_EQ(carry.seen, x.size());
        EXPECT_EQ(carry.x.size(), 9u);
        EXPECT_FALSE(carry_fields(carry).empty());
    }
}

TEST(RunningStates, CarriedThroughPlainNumbersEqualsOnePass) {
    std::mt19937_64 rng(11);
    const std::size_t n = 700;
    const std::vector<double> x = rough(n, rng), y = rough(n, rng);
    const Parts cuts{0, 1, 2, 50, 51, 333, 334, 699, 700};
    for (std::uint64_t w : {2ul, 3ul, 30ul, 260ul}) {
        for (WindowStat stat : {WindowStat::Sum, WindowStat::Mean, WindowStat::Std}) {
            std::vector<double> whole(n);
            rolling(stat, x, w, whole);
            expect_carried_like_one_pass(
                whole, n,
                [&](std::size_t b, std::size_t len, WindowCarry &c, std::span<double> o) {
                    rolling_continue(stat, std::span<const double>(x.data() + b, len), w, n, c, o);
                },
                cuts, "single");
        }
        for (PairStat stat : {PairStat::Corr, PairStat::Cov}) {
            std::vector<double> whole(n);
            rolling_pair(stat, x, y, w, whole);
            expect_carried_like_one_pass(
                whole, n,
                [&](std::size_t b, std::size_t len, WindowCarry &c, std::span<double> o) {
                    rolling_pair_continue(stat, std::span<const double>(x.data() + b, len),
                                          std::span<const double>(y.data() + b, len), w, n, c, o);
                },
                cuts, "pair");
        }
    }
}

TEST(RunningStates, ACarryOfAnotherStatisticIsRefused) {
    std::vector<double> x{1, 2, 3, 4}, out(4);
    WindowCarry carry;
    rolling_continue(WindowStat::Sum, x, 3, 12, carry, out);
    WindowCarry as_std = carry;
    EXPECT_THROW(rolling_continue(WindowStat::Std, x, 3, 12, as_std, out), std::invalid_argument);
    WindowCarry as_pair = carry;
    as_pair.y = as_pair.x;
    EXPECT_THROW(rolling_pair_continue(PairStat::Cov, x, x, 3, 12, as_pair, out),
                 std::invalid_argument);
    // plain numbers that name no state, or the wrong number of fields
    WindowCarry bad;
    EXPECT_THROW(restore_carry(bad, std::vector<double>{9, 1, 2}), std::invalid_argument);
    std::vector<double> fields = carry_fields(carry);
    fields.pop_back();
    EXPECT_THROW(restore_carry(bad, fields), std::invalid_argument);
    // the mean continues the sum's state: both read the same accumulator
    WindowCarry as_mean = carry;
    EXPECT_NO_THROW(rolling_continue(WindowStat::Mean, x, 3, 12, as_mean, out));
}

// Groups in one row-order pass over rings of their last rows give each
// group's own column: few large groups take the one-pass form, many small
// ones the gathered form, and both must agree with the groups alone.
TEST(RunningStates, GroupsGiveEachGroupAlone) {
    std::mt19937_64 rng(17);
    const std::size_t n = 1500;
    const std::vector<double> x = rough(n, rng), y = rough(n, rng);
    for (std::int64_t ngroups : {3, 700}) {
        std::vector<std::int64_t> codes(n);
        for (std::size_t i = 0; i < n; ++i) {
            codes[i] = i % 29 == 0 ? -1 : static_cast<std::int64_t>(rng() % ngroups);
        }
        const auto alone = [&](auto column) {
            std::vector<double> expected(n, NAN);
            for (std::int64_t g = 0; g < ngroups; ++g) {
                std::vector<std::size_t> rows;
                for (std::size_t i = 0; i < n; ++i) {
                    if (codes[i] == g) {
                        rows.push_back(i);
                    }
                }
                std::vector<double> gx, gy, go(rows.size());
                for (std::size_t r : rows) {
                    gx.push_back(x[r]);
                    gy.push_back(y[r]);
                }
                column(gx, gy, go);
                for (std::size_t k = 0; k < rows.size(); ++k) {
                    expected[rows[k]] = go[k];
                }
            }
            return expected;
        };
        for (std::uint64_t w : {2ul, 4ul, 40ul}) {
            for (WindowStat stat : {WindowStat::Sum, WindowStat::Mean, WindowStat::Std}) {
                std::vector<double> got(n);
                rolling_grouped(stat, x, codes, ngroups, w, got);
                // a group's minimum count is its window, whatever its length
                const auto expected = alone([&](auto &gx, auto &, auto &go) {
                    rolling(stat, gx, w, go);
                    if (w > gx.size()) {
                        std::fill(go.begin(), go.end(), NAN);
                    }
                });
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(same_bits(got[i], expected[i]))
                        << ngroups << " groups, stat " << static_cast<int>(stat) << " window " << w
                        << " row " << i;
                }
            }
            for (PairStat stat : {PairStat::Corr, PairStat::Cov}) {
                std::vector<double> got(n);
                rolling_pair_grouped(stat, x, y, codes, ngroups, w, got);
                const auto expected =
                    alone([&](auto &gx, auto &gy, auto &go) { rolling_pair(stat, gx, gy, w, go); });
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(same_bits(got[i], expected[i]))
                        << ngroups << " groups, pair " << static_cast<int>(stat) << " window " << w
                        << " row " << i;
                }
            }
        }
    }
}

// The states themselves: a ring of window + 1 rows reads the same rows as
// the column, so the same steps give the same doubles.
TEST(RunningStates, RingAndColumnRowsStepAlike) {
    std::mt19937_64 rng(23);
    const std::vector<double> x = rough(300, rng);
    const std::uint64_t w = 6;
    VarState by_column, by_ring;
    SumState sum_column, sum_ring;
    std::vector<double> ring(w + 1);
    std::size_t pos = 0;
    for (std::uint64_t g = 0; g < x.size(); ++g) {
        ring[pos] = x[g];
        const RingRows<double> rows{ring.data(), ring.size(), pos, g};
        by_ring.step(g, rows, w);
        sum_ring.step(g, rows, w);
        by_column.step(g, ColumnRows{x.data()}, w);
        sum_column.step(g, ColumnRows{x.data()}, w);
        pos = pos + 1 == ring.size() ? 0 : pos + 1;
        ASSERT_TRUE(same_bits(by_ring.std_value(6), by_column.std_value(6))) << g;
        ASSERT_TRUE(same_bits(sum_ring.mean_value(6), sum_column.mean_value(6))) << g;
    }
    EXPECT_EQ(by_ring.fields(), by_column.fields());
}
