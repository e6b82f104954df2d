// XGBoost's CPU predictor and scikit-learn's tree predictors, operation for
// operation.  XGBoost: the input cast to float, a row's outputs started at the
// base margin and added to in float, tree after tree, then the objective's
// transform in float (common::Sigmoid, common::Softmax).  scikit-learn
// forests: the input cast to float32 by check_array, each tree's leaf values
// (float64) added in tree order, then divided by the number of trees.
// Histogram gradient boosting: the float64 input, raw predictions started at
// 0 + baseline, the trees added iteration by iteration.
#include "brinvale/model_eval.hpp"

#include "model_rows.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>

namespace brinvale::core {

namespace {

constexpr std::size_t kBlock = detail::kRowBlock;
constexpr std::size_t kLanes = 8;

// ---------------------------------------------------------------- XGBoost

// common::Sigmoid(float)
inline float xgb_sigmoid(float x) {
    constexpr float kEps = 1e-16f;
    x = std::min(-x, 88.7f);
    const float denom = expf(x) + 1.0f + kEps;
    return 1.0f / denom;
}

// common::Softmax over one row's outputs.
inline void xgb_softmax(float *v, std::size_t k) {
    float wmax = v[0];
    for (std::size_t i = 1; i < k; ++i) {
        wmax = fmaxf(v[i], wmax);
    }
    double wsum = 0.0f;
    for (std::size_t i = 0; i < k; ++i) {
        v[i] = expf(v[i] - wmax);
        wsum += v[i];
    }
    for (std::size_t i = 0; i < k; ++i) {
        v[i] /= static_cast<float>(wsum);
    }
}

// Adds tree `root`'s leaf values for rows [0, n) of the block to output `g`.
// Rows are walked eight at a time, so that their walks overlap.
void xgb_add_tree(const XgbForest &f, std::int32_t root, const float *buf, std::size_t nf,
                  std::size_t n, float *o, std::size_t k, std::size_t g) {
    const XgbForest::Node *nodes = f.nodes.data();
    for (std::size_t r0 = 0; r0 < n; r0 += kLanes) {
        std::int32_t at[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            at[l] = root;
        }
        bool active = true;
        while (active) {
            active = false;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const XgbForest::Node &nd = nodes[at[l]];
                if (nd.feature < 0) {
                    continue;
                }
                const float v = buf[(r0 + l) * nf + static_cast<std::size_t>(nd.feature)];
                // GetNextNode: missing to the default child, else left + !(v < cond).
                at[l] = std::isnan(v) ? nd.missing
                                      : nd.left + static_cast<std::int32_t>(!(v < nd.value));
                active = true;
            }
        }
        const std::size_t lanes = std::min(kLanes, n - r0);
        for (std::size_t l = 0; l < lanes; ++l) {
            o[(r0 + l) * k + g] += nodes[at[l]].value;
        }
    }
}

// ---------------------------------------------------------------- scikit-learn

// Adds the leaf values of tree `root` for rows [0, n) of the block.
void sk_add_tree(const SklearnTrees &t, std::int32_t root, const double *buf, std::size_t nf,
                 std::size_t n, double *o, std::size_t k, std::size_t first_output,
                 std::size_t outputs) {
    const SklearnTrees::Node *nodes = t.nodes.data();
    const double *values = t.values.data();
    const auto stride = static_cast<std::size_t>(t.outputs);
    for (std::size_t r0 = 0; r0 < n; r0 += kLanes) {
        std::int32_t at[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            at[l] = root;
        }
        bool active = true;
        while (active) {
            active = false;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const SklearnTrees::Node &nd = nodes[at[l]];
                if (nd.feature < 0) {
                    continue;
                }
                const double v = buf[(r0 + l) * nf + static_cast<std::size_t>(nd.feature)];
                if (std::isnan(v)) {
                    at[l] = nd.missing_left ? nd.left : nd.right;
                } else {
                    at[l] = v <= nd.threshold ? nd.left : nd.right;
                }
                active = true;
            }
        }
        const std::size_t lanes = std::min(kLanes, n - r0);
        for (std::size_t l = 0; l < lanes; ++l) {
            const double *leaf = values + static_cast<std::size_t>(at[l]) * stride;
            double *dst = o + (r0 + l) * k + first_output;
            for (std::size_t c = 0; c < outputs; ++c) {
                dst[c] += leaf[c];
            }
        }
    }
}

void check_width(std::size_t given, std::int64_t expected) {
    if (given != static_cast<std::size_t>(expected)) {
        throw ModelError("the model reads " + std::to_string(expected) + " features, " +
                         std::to_string(given) + " given");
    }
}

}  // namespace

EvalStatus xgboost_predict(const XgbForest &f, std::size_t n_trees, const ModelTransform &transform,
                           std::span<const InputColumn> columns, std::size_t n_rows,
                           bool transform_output, float *out, unsigned threads) {
    const std::size_t nf = transform.features.size();
    check_width(nf, f.num_feature);
    check_transform(transform, columns);
    n_trees = std::min(n_trees, f.roots.size());
    const auto k = static_cast<std::size_t>(f.num_group);
    for (std::size_t t = 0; t < n_trees; ++t) {
        if (f.groups[t] < 0 || static_cast<std::size_t>(f.groups[t]) >= k) {
            throw ModelError("tree " + std::to_string(t) + " adds to an output the model lacks");
        }
    }
    std::atomic<bool> refused{false};
    detail::for_row_ranges(n_rows, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> rows(kBlock * nf);
        std::vector<float> buf(kBlock * nf);
        for (std::size_t row0 = begin; row0 < end; row0 += kBlock) {
            if (refused.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t n = std::min(kBlock, end - row0);
            if (!transform_rows(transform, columns, row0, n, rows.data())) {
                refused.store(true);
                return;
            }
            // The adapters hand the predictor static_cast<float> of each value.
            for (std::size_t i = 0; i < n * nf; ++i) {
                buf[i] = static_cast<float>(rows[i]);
            }
            float *o = out + row0 * k;
            std::fill(o, o + n * k, f.base_margin);
            for (std::size_t t = 0; t < n_trees; ++t) {
                xgb_add_tree(f, f.roots[t], buf.data(), nf, n, o, k,
                             static_cast<std::size_t>(f.groups[t]));
            }
            if (!transform_output) {
                continue;
            }
            if (f.objective == XgbForest::Objective::Logistic) {
                for (std::size_t i = 0; i < n * k; ++i) {
                    o[i] = xgb_sigmoid(o[i]);
                }
            } else if (f.objective == XgbForest::Objective::Softprob) {
                for (std::size_t r = 0; r < n; ++r) {
                    xgb_softmax(o + r * k, k);
                }
            }
        }
    });
    return refused.load() ? EvalStatus::Infinite : EvalStatus::Ok;
}

void add_sklearn_tree(SklearnTrees &trees, std::span<const std::int64_t> left,
                      std::span<const std::int64_t> right, std::span<const std::int64_t> feature,
                      std::span<const double> threshold, std::span<const std::uint8_t> missing_left,
                      std::span<const double> values) {
    check_sklearn_tree(left, right, feature, trees.num_features);
    const std::size_t n = left.size();
    if (threshold.size() != n || missing_left.size() != n ||
        values.size() != n * static_cast<std::size_t>(trees.outputs)) {
        throw ModelError("the tree's node arrays differ in length");
    }
    const auto node0 = static_cast<std::int64_t>(trees.nodes.size());
    if (node0 + static_cast<std::int64_t>(n) > std::numeric_limits<std::int32_t>::max()) {
        throw ModelError("the trees have too many nodes");
    }
    trees.roots.push_back(static_cast<std::int32_t>(node0));
    for (std::size_t i = 0; i < n; ++i) {
        SklearnTrees::Node nd;
        if (left[i] != -1) {
            nd.feature = static_cast<std::int32_t>(feature[i]);
            nd.left = static_cast<std::int32_t>(node0 + left[i]);
            nd.right = static_cast<std::int32_t>(node0 + right[i]);
            nd.threshold = threshold[i];
            nd.missing_left = missing_left[i] != 0;
        }
        trees.nodes.push_back(nd);
    }
    trees.values.insert(trees.values.end(), values.begin(), values.end());
}

EvalStatus forest_predict(const SklearnTrees &trees, const ModelTransform &transform,
                          std::span<const InputColumn> columns, std::size_t n_rows, bool allow_nan,
                          double *out, unsigned threads) {
    const std::size_t nf = transform.features.size();
    check_width(nf, trees.num_features);
    check_transform(transform, columns);
    const auto k = static_cast<std::size_t>(trees.outputs);
    const double n_trees = static_cast<double>(trees.roots.size());
    std::atomic<bool> refused{false};
    detail::for_row_ranges(n_rows, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> buf(kBlock * nf);
        for (std::size_t row0 = begin; row0 < end; row0 += kBlock) {
            if (refused.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t n = std::min(kBlock, end - row0);
            if (!transform_rows(transform, columns, row0, n, buf.data())) {
                refused.store(true);
                return;
            }
            // check_array(dtype=np.float32) and its finiteness check.
            bool finite = true;
            for (std::size_t i = 0; i < n * nf; ++i) {
                const float v = static_cast<float>(buf[i]);
                finite &= !std::isinf(v) && (allow_nan || !std::isnan(v));
                buf[i] = static_cast<double>(v);
            }
            if (!finite) {
                refused.store(true);
                return;
            }
            double *o = out + row0 * k;
            std::fill(o, o + n * k, 0.0);
            for (std::int32_t root : trees.roots) {
                sk_add_tree(trees, root, buf.data(), nf, n, o, k, 0, k);
            }
            for (std::size_t i = 0; i < n * k; ++i) {
                o[i] /= n_trees;
            }
        }
    });
    return refused.load() ? EvalStatus::Infinite : EvalStatus::Ok;
}

EvalStatus histgb_raw_predict(const SklearnTrees &trees, std::span<const double> baseline,
                              const ModelTransform &transform, std::span<const InputColumn> columns,
                              std::size_t n_rows, double *out, unsigned threads) {
    const std::size_t nf = transform.features.size();
    check_width(nf, trees.num_features);
    check_transform(transform, columns);
    const std::size_t k = baseline.size();
    if (k == 0 || trees.outputs != 1 || trees.roots.size() % k != 0) {
        throw ModelError("the predictors do not come in whole iterations of " + std::to_string(k) +
                         " trees");
    }
    std::atomic<bool> refused{false};
    detail::for_row_ranges(n_rows, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> buf(kBlock * nf);
        std::vector<double> sums(kBlock * k);
        for (std::size_t row0 = begin; row0 < end; row0 += kBlock) {
            if (refused.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t n = std::min(kBlock, end - row0);
            if (!transform_rows(transform, columns, row0, n, buf.data())) {
                refused.store(true);
                return;
            }
            // np.zeros(...) += baseline
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t c = 0; c < k; ++c) {
                    sums[r * k + c] = 0.0 + baseline[c];
                }
            }
            for (std::size_t t = 0; t < trees.roots.size(); ++t) {
                sk_add_tree(trees, trees.roots[t], buf.data(), nf, n, sums.data(), k, t % k, 1);
            }
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t c = 0; c < k; ++c) {
                    out[c * n_rows + row0 + r] = sums[r * k + c];
                }
            }
        }
    });
    return refused.load() ? EvalStatus::Infinite : EvalStatus::Ok;
}

}  // namespace brinvale::core
