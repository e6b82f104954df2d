// Shared by the model parsers: strict number tokens and the walk that proves
// a tree is one tree.
#pragma once

#include "brinvale/models.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brinvale::core::detail {

[[noreturn]] inline void refuse(const std::string &what) { throw ModelError(what); }

// A whole token holding a decimal integer in [lo, hi] ("-12", "7"); nothing
// else (no sign '+', no spaces, no fraction).
template <typename T>
bool parse_int(std::string_view token, T &out, T lo = std::numeric_limits<T>::min(),
               T hi = std::numeric_limits<T>::max()) {
    if (token.empty()) {
        return false;
    }
    std::int64_t v = 0;
    std::uint64_t u = 0;
    const char *first = token.data();
    const char *last = token.data() + token.size();
    if constexpr (std::is_unsigned_v<T>) {
        auto [p, ec] = std::from_chars(first, last, u);
        if (ec != std::errc() || p != last || u < static_cast<std::uint64_t>(lo) ||
            u > static_cast<std::uint64_t>(hi)) {
            return false;
        }
        out = static_cast<T>(u);
    } else {
        auto [p, ec] = std::from_chars(first, last, v);
        if (ec != std::errc() || p != last || v < static_cast<std::int64_t>(lo) ||
            v > static_cast<std::int64_t>(hi)) {
            return false;
        }
        out = static_cast<T>(v);
    }
    return true;
}

// A whole token holding a double, correctly rounded ("0.5", "-1e-35",
// "inf", "nan").
inline bool parse_double(std::string_view token, double &out) {
    if (token.empty()) {
        return false;
    }
    auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), out);
    return ec == std::errc() && p == token.data() + token.size();
}

// Tokens of `text` between `sep` characters, empty ones dropped (the way the
// libraries split their lists).
inline std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == sep) {
            if (i > start) {
                out.push_back(text.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return out;
}

// Walks a tree from node 0 where `children(node, slot)` gives the node's two
// children as node indices, or -1 for "no node" (a leaf in the libraries that
// mark leaves so); `is_leaf(node)` says whether the walk stops there.  Every
// node is reached at most once: a cycle or a shared child is refused, and so
// is a node more than kMaxTreeDepth splits below the root (the libraries'
// dumps and SHAP walk trees by recursion).  Returns the reached-flags, so
// callers can demand connectedness.
template <typename Children, typename IsLeaf>
std::vector<std::uint8_t> walk_tree(std::int64_t n_nodes, Children &&children, IsLeaf &&is_leaf,
                                    const std::string &where) {
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(n_nodes), 0);
    if (n_nodes <= 0) {
        return seen;
    }
    // (node, its depth)
    std::vector<std::pair<std::int64_t, std::int64_t>> stack{{0, 0}};
    seen[0] = 1;
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (is_leaf(node)) {
            continue;
        }
        if (depth >= kMaxTreeDepth) {
            refuse(where + " is deeper than " + std::to_string(kMaxTreeDepth) +
                   " levels, the most a model may have");
        }
        for (int slot = 0; slot < 2; ++slot) {
            const std::int64_t child = children(node, slot);
            if (child < 0 || child >= n_nodes) {
                refuse(where + ": node " + std::to_string(node) + " has a child index " +
                       std::to_string(child) + " outside the tree's " + std::to_string(n_nodes) +
                       " nodes");
            }
            if (seen[static_cast<std::size_t>(child)]) {
                refuse(where + ": node " + std::to_string(child) +
                       " is reached twice (a cycle or a shared node), the tree is not a tree");
            }
            seen[static_cast<std::size_t>(child)] = 1;
            stack.emplace_back(child, depth + 1);
        }
    }
    return seen;
}

}  // namespace brinvale::core::detail
