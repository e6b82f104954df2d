// Rendering of engineered-feature names as LaTeX-flavoured formulas.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brinvale::core {

// Display name of an aggregate statistic: first character upper-cased, the
// rest lower-cased.  The binding passes Python's str.capitalize so that
// non-ASCII statistic names follow Unicode case rules.
using Capitalize = std::function<std::u32string(std::u32string_view)>;

std::u32string ascii_capitalize(std::u32string_view text);

// Nesting deeper than this many levels is refused rather than recursed into.
inline constexpr int kMaxFormulaDepth = 400;

struct FormulaTooDeep : std::runtime_error {
    FormulaTooDeep() : std::runtime_error("maximum recursion depth exceeded") {}
};

// A nested operand whose operator has no rendering.
struct FormulaOperandUnrendered : std::runtime_error {
    FormulaOperandUnrendered()
        : std::runtime_error("can only concatenate str (not \"NoneType\") to str") {}
};

// The formula of one name, or nothing when its operator has no rendering.
// An operand missing for the operator throws std::out_of_range("list index
// out of range"); errors of split_feature_name propagate.
std::optional<std::u32string> render_formula(std::u32string_view name,
                                             const Capitalize &capitalize = ascii_capitalize);

}  // namespace brinvale::core
