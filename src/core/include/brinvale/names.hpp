// Parsing of engineered-feature names.  Positions are code points: the
// binding layer hands over a Python string as UTF-32, so column names in any
// script split at the same places as in Python.
#pragma once

#include <cstddef>
#include <string_view>

namespace brinvale::core {

// [begin, end) of one part of a name, in code points.
struct NameSlice {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Operator and one to three operands of a combination feature name.
struct SplitName {
    std::size_t count = 0;  // 2, 3 or 4 parts (operator included)
    NameSlice parts[4];
};

// Splits at the outermost "###" / "|||" / "$$$" markers.  A marker character
// at the end of the name whose three-character test runs past the end throws
// std::out_of_range("string index out of range"), a "$$$" with no open "###"
// throws std::out_of_range("pop from empty list"): the IndexErrors Python's
// string indexing and list.pop give.
SplitName split_feature_name(std::u32string_view key);

// True when the text holds at least three '#' and three '$' anywhere.
bool is_combination_name(std::u32string_view text);

}  // namespace brinvale::core
