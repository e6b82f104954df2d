// Lags at the ends of the int64 range: every source falls outside the column
// or the group, and no index is formed outside it.
#include "brinvale/windows.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using namespace brinvale::core;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

class ExtremeLag : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(ExtremeLag, UngroupedShiftsEverythingOut) {
    std::vector<std::int64_t> src(5, 7);
    shift_sources({}, 0, GetParam(), src);
    for (std::int64_t s : src) {
        EXPECT_EQ(s, -1);
    }
}

TEST_P(ExtremeLag, GroupedShiftsEverythingOut) {
    const std::vector<std::int64_t> codes{0, 1, 0, 1, 0, -1};
    std::vector<std::int64_t> src(codes.size(), 7);
    shift_sources(codes, 2, GetParam(), src);
    for (std::int64_t s : src) {
        EXPECT_EQ(s, -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Lags, ExtremeLag,
                         ::testing::Values(kMin, kMin + 1, kMax, -6, 6, 1000000007));

TEST(ExtremeLag, LagOfLengthMinusOneStillReaches) {
    std::vector<std::int64_t> src(4);
    shift_sources({}, 0, -3, src);
    EXPECT_EQ(src, (std::vector<std::int64_t>{3, -1, -1, -1}));
    const std::vector<std::int64_t> codes{0, 0, 0, 0};
    shift_sources(codes, 1, 3, src);
    EXPECT_EQ(src, (std::vector<std::int64_t>{-1, -1, -1, 0}));
}

}  // namespace
