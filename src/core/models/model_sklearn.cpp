// scikit-learn's Tree keeps its nodes as parallel arrays; unpickling checks
// their dtype and shape but not the indices, and `apply` walks them unchecked.
#include "brinvale/models.hpp"

#include "model_trees.hpp"

#include <algorithm>
#include <string>

namespace brinvale::core {

void check_sklearn_tree(std::span<const std::int64_t> left, std::span<const std::int64_t> right,
                        std::span<const std::int64_t> feature, std::int64_t n_features) {
    const auto n = static_cast<std::int64_t>(left.size());
    if (right.size() != left.size() || feature.size() != left.size()) {
        detail::refuse("the tree's node arrays differ in length");
    }
    if (n == 0) {
        detail::refuse("the tree has no nodes");
    }
    auto is_leaf = [&](std::int64_t k) { return left[static_cast<std::size_t>(k)] == -1; };
    auto seen = detail::walk_tree(
        n,
        [&](std::int64_t k, int slot) {
            return slot == 0 ? left[static_cast<std::size_t>(k)]
                             : right[static_cast<std::size_t>(k)];
        },
        is_leaf, "tree");
    for (std::int64_t k = 0; k < n; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        if (!seen[kk]) {
            detail::refuse("tree: node " + std::to_string(k) + " is not reached from the root");
        }
        if (is_leaf(k)) {
            if (right[kk] != -1) {
                detail::refuse("tree: leaf " + std::to_string(k) + " has a right child");
            }
        } else if (feature[kk] < 0 || feature[kk] >= n_features) {
            detail::refuse("tree: node " + std::to_string(k) + " splits on feature " +
                           std::to_string(feature[kk]) + " of " + std::to_string(n_features));
        }
    }
}

}  // namespace brinvale::core

namespace brinvale::core {

void check_hist_tree(const HistTreeNodes &nodes, std::int64_t n_features, std::int64_t bitset_rows,
                     std::span<const std::uint8_t> categorical) {
    const std::size_t n = nodes.left.size();
    if (nodes.right.size() != n || nodes.feature.size() != n || nodes.bitset_idx.size() != n ||
        nodes.is_leaf.size() != n || nodes.is_categorical.size() != n) {
        detail::refuse("histogram tree: the node fields differ in length");
    }
    if (n == 0) {
        // the predictor starts at node 0 whatever the length
        detail::refuse("histogram tree: the tree has no nodes");
    }
    auto is_leaf = [&](std::int64_t k) { return nodes.is_leaf[static_cast<std::size_t>(k)] != 0; };
    auto seen = detail::walk_tree(
        static_cast<std::int64_t>(n),
        [&](std::int64_t k, int slot) {
            return slot == 0 ? nodes.left[static_cast<std::size_t>(k)]
                             : nodes.right[static_cast<std::size_t>(k)];
        },
        is_leaf, "histogram tree");
    for (std::size_t k = 0; k < n; ++k) {
        if (!seen[k] || nodes.is_leaf[k] != 0) {
            // unreached nodes are never read; leaves read nothing but their value
            continue;
        }
        const std::int64_t f = nodes.feature[k];
        const std::string node = "histogram tree: node " + std::to_string(k);
        if (f < 0 || f >= n_features) {
            detail::refuse(node + " splits on feature " + std::to_string(f) + " of " +
                           std::to_string(n_features));
        }
        if (nodes.is_categorical[k] == 0) {
            continue;
        }
        if (nodes.bitset_idx[k] < 0 || nodes.bitset_idx[k] >= bitset_rows) {
            detail::refuse(node + " reads category bitset " + std::to_string(nodes.bitset_idx[k]) +
                           " of the tree's " + std::to_string(bitset_rows));
        }
        if (static_cast<std::size_t>(f) >= categorical.size() ||
            categorical[static_cast<std::size_t>(f)] == 0) {
            detail::refuse(node + " splits on feature " + std::to_string(f) +
                           " by category, but the model does not treat it as categorical");
        }
    }
}

}  // namespace brinvale::core
