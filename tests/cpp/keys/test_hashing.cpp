#include "brinvale/hashing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using brinvale::core::member_mask;
using brinvale::core::ValueKey;

namespace {

ValueKey num(double v) { return {ValueKey::Kind::Number, v, {}}; }
ValueKey text(std::string_view s) { return {ValueKey::Kind::Text, 0.0, s}; }
ValueKey none() { return {}; }

}  // namespace

TEST(MemberMask, MixedKeysFollowPythonEquality) {
    std::vector<ValueKey> known{text("a"), num(1.0), none(), num(NAN), text("")};
    std::vector<ValueKey> values{text("a"), text("b"), num(1.0), num(-0.0),
                                 num(NAN),  none(),    text(""), text("1")};
    std::vector<std::uint8_t> out(values.size());
    member_mask(known, values, out);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 0, 1, 0, 0, 1, 1, 0}));
}

TEST(MemberMask, NumericZeroSignsAndNaN) {
    std::vector<double> known{0.0, 2.5, NAN};
    std::vector<double> values{-0.0, 2.5, NAN, 3.0};
    std::vector<std::uint8_t> out(values.size());
    member_mask(known, values, out);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 1, 0, 0}));
}

TEST(MemberMask, EmptyInputsAndLengthCheck) {
    std::vector<double> none_known;
    std::vector<double> values{1.0};
    std::vector<std::uint8_t> out(1, 7);
    member_mask(none_known, values, out);
    EXPECT_EQ(out[0], 0);
    std::vector<std::uint8_t> short_out;
    EXPECT_THROW(member_mask(none_known, values, short_out), std::invalid_argument);
}
