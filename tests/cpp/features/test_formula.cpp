#include "brinvale/formula.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace brinvale::core;

namespace {

std::u32string render(const std::u32string &name) {
    auto f = render_formula(name);
    return f ? *f : U"<none>";
}

}  // namespace

TEST(Formula, RowsAndNesting) {
    EXPECT_EQ(render(U"add###x_1|||y$$$"), U"x\\_1+y");
    EXPECT_EQ(render(U"multiply###add###a|||b$$$|||sine###c$$$$$$"), U"(a+b)\\times (sin(c))");
    EXPECT_EQ(render(U"delay###a|||3$$$"), U"Delay(a,3)");
    EXPECT_EQ(render(U"delay###add###a|||b$$$|||3$$$"), U"Delay((a+b),3)");
    EXPECT_EQ(render(U"aggregate###mEAN|||a|||b$$$"), U"AggMean(a,b)");
    EXPECT_EQ(render(U"minimize###a|||b$$$"), U"Min(ab)");
    EXPECT_EQ(render(U"square_root###add###a|||b$$$$$$"), U"\\sqrt{(a+b)}");
    EXPECT_EQ(render(U"softmax###add###a|||b$$$$$$"), U"Softmax((a+b))");
    EXPECT_EQ(render(U"count###add###a|||b$$$$$$"), U"Count(a+b)");
    EXPECT_EQ(render(U"target###a$$$"), U"<none>");
}

TEST(Formula, Failures) {
    EXPECT_THROW(render_formula(U"add###a$$$"), std::out_of_range);
    EXPECT_THROW(render_formula(U"add###target###a$$$|||b$$$"), FormulaOperandUnrendered);
    std::u32string deep = U"a";
    for (int i = 0; i < kMaxFormulaDepth + 5; ++i) {
        deep = U"sine###" + deep + U"$$$";
    }
    EXPECT_THROW(render_formula(deep), FormulaTooDeep);
}
