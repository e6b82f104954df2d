// Group codes of a key column together with what the group statistics need
// of them, gathered while the codes are made instead of in passes of their
// own: rows and first row of every group, the rows without a key, and
// whether the codes never decrease along the rows.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brinvale::core {

struct KeyCodes {
    std::int64_t ngroups = 0;
    std::vector<std::int64_t> sizes;  // rows of every group
    std::vector<std::int64_t> first;  // first row of every group
    std::int64_t missing = 0;         // rows coded -1 (no key)
    std::int64_t first_missing = -1;  // the first of them
    bool nondecreasing = true;        // codes[i] <= codes[i + 1] for every row
};

// `sorted` numbers the groups in ascending order of their keys (pandas'
// groupby), otherwise in order of first appearance (pandas' factorize).
KeyCodes code_keys(std::span<const std::int64_t> keys, bool sorted, std::span<std::int64_t> codes);

// Floating keys with pandas' equality (0.0 and -0.0 are one key, every NaN
// the same key).  NaN keys are coded -1, or with `missing_group` form one
// group of their own: in order of first appearance, or last when sorted.
KeyCodes code_keys(std::span<const double> keys, bool sorted, bool missing_group,
                   std::span<std::int64_t> codes);

// Text keys as UTF-8 bytes; a view without data (nullptr) is a missing key.
// Sorted, keys are in the order of their bytes, which for UTF-8 is the order
// of their code points, as Python compares text.
KeyCodes code_keys(std::span<const std::string_view> keys, bool sorted, bool missing_group,
                   std::span<std::int64_t> codes);

// The same summary of codes made elsewhere (codes past ngroups count as no key).
KeyCodes summarize_codes(std::span<const std::int64_t> codes, std::int64_t ngroups);

}  // namespace brinvale::core
