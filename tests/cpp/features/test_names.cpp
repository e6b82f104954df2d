#include "brinvale/names.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace brinvale::core;

namespace {

std::vector<std::u32string> split(const std::u32string &key) {
    const SplitName s = split_feature_name(key);
    std::vector<std::u32string> out;
    for (std::size_t k = 0; k < s.count; ++k) {
        out.push_back(key.substr(s.parts[k].begin, s.parts[k].end - s.parts[k].begin));
    }
    return out;
}

}  // namespace

TEST(Names, SplitsAtTheOutermostLevel) {
    using V = std::vector<std::u32string>;
    EXPECT_EQ(split(U"count###col1$$$"), (V{U"count", U"col1"}));
    EXPECT_EQ(split(U"aggregate###mean|||c1|||c2$$$"), (V{U"aggregate", U"mean", U"c1", U"c2"}));
    EXPECT_EQ(split(U"divide###add###a|||b$$$|||b$$$"), (V{U"divide", U"add###a|||b$$$", U"b"}));
    EXPECT_EQ(split(U"x###a|||b|||c|||d$$$"), (V{U"x", U"a", U"b|||c", U"d"}));
    EXPECT_EQ(split(U"add###a||||b$$$"), (V{U"add", U"a", U"", U"b"}));
    EXPECT_EQ(split(U"col1"), (V{U"", U""}));
    EXPECT_EQ(split(U"sine###列😀$$$tail"), (V{U"sine", U"列😀"}));
}

TEST(Names, MarkerRunningPastTheEndIsAnIndexError) {
    for (const char32_t *key : {U"ab#", U"col1|", U"a$$", U"x##", U"add###a$$$|"}) {
        try {
            split_feature_name(key);
            ADD_FAILURE() << "no error";
        } catch (const std::out_of_range &e) {
            EXPECT_STREQ(e.what(), "string index out of range");
        }
    }
    EXPECT_NO_THROW(split_feature_name(U"a#b"));
}

TEST(Names, CloseWithoutOpenIsAnIndexError) {
    try {
        split_feature_name(U"$$$col1");
        ADD_FAILURE() << "no error";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "pop from empty list");
    }
}

TEST(Names, CombinationNeedsThreeOfEachMarker) {
    EXPECT_TRUE(is_combination_name(U"a#b#c#d$e$f$"));
    EXPECT_FALSE(is_combination_name(U"count###col1$$"));
    EXPECT_FALSE(is_combination_name(U""));
}
