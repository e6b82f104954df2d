#include "brinvale/names.hpp"

#include <algorithm>
#include <stdexcept>

namespace brinvale::core {

namespace {

// key[i] == c && key[i+1] == c && key[i+2] == c, evaluated left to right with
// Python's short-circuit: an index past the end is only reached when every
// earlier character matched.
bool marker_at(std::u32string_view key, std::size_t i, char32_t c) {
    for (std::size_t k = 0; k < 3; ++k) {
        if (i + k >= key.size()) {
            throw std::out_of_range("string index out of range");
        }
        if (key[i + k] != c) {
            return false;
        }
    }
    return true;
}

// Python slice key[start:stop] with non-negative bounds.
NameSlice slice(std::size_t size, std::size_t start, std::size_t stop) {
    start = std::min(start, size);
    stop = std::min(stop, size);
    if (stop < start) {
        stop = start;
    }
    return {start, stop};
}

}  // namespace

SplitName split_feature_name(std::u32string_view key) {
    std::size_t left = 0;
    std::size_t right = 0;
    long separator1 = -1;
    long separator2 = -1;
    std::size_t depth = 0;
    std::size_t left_count = 0;

    for (std::size_t i = 0; i < key.size(); ++i) {
        if (marker_at(key, i, U'#')) {
            ++left_count;
            if (left_count == 1) {
                left = i;
            }
            ++depth;
            i += 2;
        } else if (marker_at(key, i, U'$')) {
            if (depth == 0) {
                throw std::out_of_range("pop from empty list");
            }
            --depth;
            if (depth == 0) {
                right = i;
            }
            i += 2;
        } else if (marker_at(key, i, U'|')) {
            if (depth == 1) {
                if (separator1 < 0) {
                    separator1 = static_cast<long>(i);
                } else {
                    separator2 = static_cast<long>(i);
                }
            }
        }
    }

    const std::size_t n = key.size();
    SplitName out;
    out.parts[0] = slice(n, 0, left);
    if (separator2 < 0 && separator1 != -1) {
        const auto s1 = static_cast<std::size_t>(separator1);
        out.count = 3;
        out.parts[1] = slice(n, left + 3, s1);
        out.parts[2] = slice(n, s1 + 3, right);
    } else if (separator2 < 0) {
        out.count = 2;
        out.parts[1] = slice(n, left + 3, right);
    } else {
        const auto s1 = static_cast<std::size_t>(separator1);
        const auto s2 = static_cast<std::size_t>(separator2);
        out.count = 4;
        out.parts[1] = slice(n, left + 3, s1);
        out.parts[2] = slice(n, s1 + 3, s2);
        out.parts[3] = slice(n, s2 + 3, right);
    }
    return out;
}

bool is_combination_name(std::u32string_view text) {
    std::size_t hashes = 0;
    std::size_t dollars = 0;
    for (char32_t c : text) {
        hashes += c == U'#';
        dollars += c == U'$';
    }
    return std::min(hashes / 3, dollars / 3) > 0;
}

}  // namespace brinvale::core
