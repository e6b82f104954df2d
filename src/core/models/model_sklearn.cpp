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
