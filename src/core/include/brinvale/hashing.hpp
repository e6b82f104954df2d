// Membership of values in a set of known values, with Python's equality on
// numbers and text and without its identity shortcut (NaN is never a member,
// as with NumPy's element-wise ==).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace brinvale::core {

struct ValueKey {
    enum class Kind : std::uint8_t { Number, Text, None };
    Kind kind = Kind::None;
    double number = 0.0;    // Kind::Number
    std::string_view text;  // Kind::Text, UTF-8
};

// out[i] = 1 when values[i] equals one of known, else 0.
void member_mask(std::span<const ValueKey> known, std::span<const ValueKey> values,
                 std::span<std::uint8_t> out);

// The same for numeric buffers.
void member_mask(std::span<const double> known, std::span<const double> values,
                 std::span<std::uint8_t> out);

}  // namespace brinvale::core
