// LightGBM's prediction, operation for operation: the dense-row conversion of
// its C API (values within 1e-35f of zero read as 0), the tree walk of
// Tree::GetLeaf, the per-iteration sum of GBDT::PredictRaw in tree order, the
// average of random-forest models and the objectives' ConvertOutput.  Every
// step is the same IEEE double operation in the same order, so the outputs are
// bit-identical to the library's.
#include "brinvale/model_eval.hpp"
#include "brinvale/models.hpp"

#include "model_rows.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

namespace brinvale::core {

namespace {

// LightGBM's kZeroThreshold is a float literal widened to double.
constexpr double kZeroThreshold = static_cast<double>(1e-35f);
constexpr std::int8_t kCategoricalMask = 1;
constexpr std::int8_t kDefaultLeftMask = 2;
constexpr std::size_t kBlock = detail::kRowBlock;

// The value a dense row hands the trees: the C API keeps a value only when
// |v| > kZeroThreshold or NaN; the others stay 0 in the predictor's buffer.
inline double as_row_value(double v) {
    return (std::fabs(v) > kZeroThreshold || std::isnan(v)) ? v : 0.0;
}

// Tree::NumericalDecision on a row value (already |v| > kZeroThreshold, 0 or
// NaN): NaN and 0 have their outcomes resolved per node at compile time, and
// the outcome is picked by index, without a data-dependent branch.
inline std::int32_t numerical_step(const LightGbmForest::Node &n, double v) {
    const int above = !(v <= n.threshold);
    const int nan = v != v;
    const int zero = v == 0.0;
    return n.next[above + nan * (2 - above) + zero * (3 - above)];
}

// static_cast<int> of a double out of int's range is what x86's cvttsd2si
// gives: INT_MIN, a negative category.
inline int category_of(double fval) {
    if (!(fval > -2147483649.0 && fval < 2147483648.0)) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(fval);
}

// Tree::CategoricalDecision.
inline std::int32_t categorical_step(const LightGbmForest &f, const LightGbmForest::Node &n,
                                     double v) {
    if (std::isnan(v)) {
        return n.next[1];
    }
    const int c = category_of(v);
    if (c < 0) {
        return n.next[1];
    }
    const int word = c / 32;
    if (word < n.cat_words &&
        ((f.cat_bits[static_cast<std::size_t>(n.cat_begin + word)] >> (c % 32)) & 1u)) {
        return n.next[0];
    }
    return n.next[1];
}

void convert_output(const LightGbmObjective &obj, double *v, int k) {
    using K = LightGbmObjective::Kind;
    switch (obj.kind) {
    case K::None:
    case K::Identity:
        return;
    case K::Regression:
        if (obj.sqrt) {
            const int sign = (v[0] > 0.0) - (v[0] < 0.0);
            v[0] = sign * v[0] * v[0];
        }
        return;
    case K::Binary:
        v[0] = 1.0f / (1.0f + std::exp(-obj.sigmoid * v[0]));
        return;
    case K::MulticlassOva:
        for (int i = 0; i < obj.num_class; ++i) {
            v[i] = 1.0f / (1.0f + std::exp(-obj.sigmoid * v[i]));
        }
        return;
    case K::Multiclass: {
        double wmax = v[0];
        for (int i = 1; i < k; ++i) {
            wmax = std::max(v[i], wmax);
        }
        double wsum = 0.0f;
        for (int i = 0; i < k; ++i) {
            v[i] = std::exp(v[i] - wmax);
            wsum += v[i];
        }
        for (int i = 0; i < k; ++i) {
            v[i] /= wsum;
        }
        return;
    }
    case K::CrossEntropy:
        v[0] = 1.0f / (1.0f + std::exp(-v[0]));
        return;
    case K::CrossEntropyLambda:
        v[0] = std::log1p(std::exp(v[0]));
        return;
    case K::Exponential:
        v[0] = std::exp(v[0]);
        return;
    }
}

template <typename T>
void gather_typed(const FeatureColumn &c, std::size_t row0, std::size_t n, std::size_t nf,
                  std::size_t j, double *buf) {
    const char *base =
        static_cast<const char *>(c.data) + static_cast<std::ptrdiff_t>(row0) * c.stride;
    for (std::size_t r = 0; r < n; ++r) {
        T value;
        std::memcpy(&value, base + static_cast<std::ptrdiff_t>(r) * c.stride, sizeof(T));
        buf[r * nf + j] = as_row_value(static_cast<double>(value));
    }
}

// Block rows [row0, row0 + n) of every column into row-major row values, the
// imputer's fill in place of NaN; false when an infinite value is met and
// `stop_on_infinite` is set.
bool gather(std::span<const FeatureColumn> columns, std::size_t row0, std::size_t n,
            bool stop_on_infinite, double *buf) {
    const std::size_t nf = columns.size();
    using T = FeatureColumn::Type;
    for (std::size_t j = 0; j < nf; ++j) {
        const FeatureColumn &c = columns[j];
        switch (c.type) {
        case T::F64: {
            const char *base =
                static_cast<const char *>(c.data) + static_cast<std::ptrdiff_t>(row0) * c.stride;
            bool infinite = false;
            for (std::size_t r = 0; r < n; ++r) {
                double v;
                std::memcpy(&v, base + static_cast<std::ptrdiff_t>(r) * c.stride, sizeof(double));
                if (std::isnan(v) && c.has_fill) {
                    v = c.fill;
                }
                infinite |= std::isinf(v);
                buf[r * nf + j] = as_row_value(v);
            }
            if (infinite && stop_on_infinite) {
                return false;
            }
            break;
        }
        case T::I8:
            gather_typed<std::int8_t>(c, row0, n, nf, j, buf);
            break;
        case T::I16:
            gather_typed<std::int16_t>(c, row0, n, nf, j, buf);
            break;
        case T::I32:
            gather_typed<std::int32_t>(c, row0, n, nf, j, buf);
            break;
        case T::I64:
            gather_typed<std::int64_t>(c, row0, n, nf, j, buf);
            break;
        case T::U8:
            gather_typed<std::uint8_t>(c, row0, n, nf, j, buf);
            break;
        case T::U16:
            gather_typed<std::uint16_t>(c, row0, n, nf, j, buf);
            break;
        case T::U32:
            gather_typed<std::uint32_t>(c, row0, n, nf, j, buf);
            break;
        case T::U64:
            gather_typed<std::uint64_t>(c, row0, n, nf, j, buf);
            break;
        case T::Bool:
            gather_typed<std::uint8_t>(c, row0, n, nf, j, buf);
            break;
        }
    }
    return true;
}

constexpr std::size_t kLanes = 8;

// Adds tree `t`'s output for rows [0, n) of the block to their class `c`
// sums.  Rows are walked eight at a time, step by step together, so that the
// walks overlap; a walk that reached its leaf stays there.
template <bool Categorical>
void add_tree(const LightGbmForest &f, const LightGbmForest::Tree &tree, const double *buf,
              std::size_t nf, std::size_t n, double *o, std::size_t k, std::size_t c) {
    if (tree.root < 0) {
        for (std::size_t r = 0; r < n; ++r) {
            o[r * k + c] += tree.constant;
        }
        return;
    }
    const LightGbmForest::Node *nodes = f.nodes.data();
    for (std::size_t r0 = 0; r0 < n; r0 += kLanes) {
        std::int32_t at[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            at[l] = tree.root;
        }
        bool active = true;
        while (active) {
            active = false;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const LightGbmForest::Node &nd = nodes[at[l]];
                const double v = buf[(r0 + l) * nf + static_cast<std::size_t>(nd.feature)];
                if constexpr (Categorical) {
                    at[l] = nd.cat_begin >= 0 ? categorical_step(f, nd, v) : numerical_step(nd, v);
                } else {
                    at[l] = numerical_step(nd, v);
                }
                active |= at[l] < tree.leaf_start;
            }
        }
        const std::size_t lanes = std::min(kLanes, n - r0);
        for (std::size_t l = 0; l < lanes; ++l) {
            o[(r0 + l) * k + c] += f.values[static_cast<std::size_t>(at[l])];
        }
    }
}

}  // namespace

LightGbmForest compile_forest(const LightGbmModel &model) {
    if (model.has_linear_trees()) {
        throw ModelError("linear trees are not evaluated natively");
    }
    LightGbmForest f;
    f.num_features = model.num_features();
    f.num_tree_per_iteration = model.num_tree_per_iteration;
    f.total_iterations = static_cast<int>(model.trees.size()) / model.num_tree_per_iteration;
    f.average_output = model.average_output;
    f.objective = model.objective;
    for (const LightGbmTree &t : model.trees) {
        LightGbmForest::Tree ft;
        if (t.num_leaves <= 1) {
            ft.root = -1;
            ft.constant = t.leaf_value[0];
            f.trees.push_back(ft);
            continue;
        }
        const auto node0 = static_cast<std::int32_t>(f.nodes.size());
        const auto n_inner = static_cast<std::int32_t>(t.num_leaves - 1);
        ft.root = node0;
        ft.leaf_start = node0 + n_inner;
        f.trees.push_back(ft);
        auto global = [&](int child) {
            return child >= 0 ? node0 + child : ft.leaf_start + ~child;
        };
        for (std::size_t i = 0; i < static_cast<std::size_t>(n_inner); ++i) {
            LightGbmForest::Node n;
            n.threshold = t.threshold[i];
            n.feature = t.split_feature[i];
            const std::int32_t left = global(t.left_child[i]);
            const std::int32_t right = global(t.right_child[i]);
            n.next[0] = left;
            n.next[1] = right;
            const std::int8_t dt = t.decision_type[i];
            if (t.num_cat > 0 && (dt & kCategoricalMask)) {
                const auto set = static_cast<std::size_t>(static_cast<int>(t.threshold[i]));
                n.cat_begin = static_cast<std::int32_t>(f.cat_bits.size()) + t.cat_boundaries[set];
                n.cat_words = t.cat_boundaries[set + 1] - t.cat_boundaries[set];
                f.has_categorical = true;
            } else {
                const int missing = (dt >> 2) & 3;
                const std::int32_t fallback = (dt & kDefaultLeftMask) ? left : right;
                const std::int32_t at_zero = 0.0 <= n.threshold ? left : right;
                n.next[2] = missing == 2 || missing == 1 ? fallback : at_zero;
                n.next[3] = missing == 1 ? fallback : at_zero;
            }
            f.nodes.push_back(n);
            f.values.push_back(0.0);
        }
        for (std::int32_t leaf = 0; leaf < t.num_leaves; ++leaf) {
            LightGbmForest::Node n;
            const std::int32_t self = ft.leaf_start + leaf;
            n.next[0] = n.next[1] = n.next[2] = n.next[3] = self;
            f.nodes.push_back(n);
            f.values.push_back(t.leaf_value[static_cast<std::size_t>(leaf)]);
        }
        if (t.num_cat > 0) {
            f.cat_bits.insert(f.cat_bits.end(), t.cat_threshold.begin(), t.cat_threshold.end());
        }
    }
    return f;
}

PredictStatus lightgbm_predict(const LightGbmModel &model, std::span<const FeatureColumn> columns,
                               std::size_t n_rows, int n_iterations, bool raw, double *out,
                               bool stop_on_infinite, unsigned threads) {
    return lightgbm_predict(compile_forest(model), columns, n_rows, n_iterations, raw, out,
                            stop_on_infinite, threads);
}

namespace {

// The trees of iterations [0, n_iterations) on rows that `fill(row0, n, buf)`
// writes block by block as LightGBM's row values (false: stop, a refused
// input value).
template <typename Fill>
bool predict_rows(const LightGbmForest &f, std::size_t nf, std::size_t n_rows, int n_iterations,
                  bool raw, double *out, unsigned threads, Fill &&fill) {
    const auto k = static_cast<std::size_t>(f.num_tree_per_iteration);
    const int iterations =
        n_iterations > 0 ? std::min(n_iterations, f.total_iterations) : f.total_iterations;
    const std::size_t n_trees = static_cast<std::size_t>(iterations) * k;
    std::atomic<bool> refused{false};

    detail::for_row_ranges(n_rows, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> buf(kBlock * nf);
        for (std::size_t row0 = begin; row0 < end; row0 += kBlock) {
            if (refused.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t n = std::min(kBlock, end - row0);
            if (!fill(row0, n, buf.data())) {
                refused.store(true);
                return;
            }
            double *o = out + row0 * k;
            std::fill(o, o + n * k, 0.0);
            // Tree by tree in the model's order: every row's sums take their
            // terms in LightGBM's order.
            for (std::size_t t = 0; t < n_trees; ++t) {
                if (f.has_categorical) {
                    add_tree<true>(f, f.trees[t], buf.data(), nf, n, o, k, t % k);
                } else {
                    add_tree<false>(f, f.trees[t], buf.data(), nf, n, o, k, t % k);
                }
            }
            if (raw) {
                continue;
            }
            for (std::size_t r = 0; r < n; ++r) {
                double *v = o + r * k;
                if (f.average_output) {
                    for (std::size_t c = 0; c < k; ++c) {
                        v[c] /= iterations;
                    }
                }
                convert_output(f.objective, v, static_cast<int>(k));
            }
        }
    });
    return !refused.load();
}

}  // namespace

PredictStatus lightgbm_predict(const LightGbmForest &f, std::span<const FeatureColumn> columns,
                               std::size_t n_rows, int n_iterations, bool raw, double *out,
                               bool stop_on_infinite, unsigned threads) {
    if (columns.size() != static_cast<std::size_t>(f.num_features)) {
        throw ModelError("the model reads " + std::to_string(f.num_features) + " features, " +
                         std::to_string(columns.size()) + " columns given");
    }
    const bool ok = predict_rows(f, columns.size(), n_rows, n_iterations, raw, out, threads,
                                 [&](std::size_t row0, std::size_t n, double *buf) {
                                     return gather(columns, row0, n, stop_on_infinite, buf);
                                 });
    return ok ? PredictStatus::Ok : PredictStatus::Infinite;
}

EvalStatus lightgbm_predict(const LightGbmForest &f, const ModelTransform &transform,
                            std::span<const InputColumn> columns, std::size_t n_rows,
                            int n_iterations, bool raw, double *out, unsigned threads) {
    const std::size_t nf = transform.features.size();
    if (nf != static_cast<std::size_t>(f.num_features)) {
        throw ModelError("the model reads " + std::to_string(f.num_features) + " features, " +
                         std::to_string(nf) + " given");
    }
    check_transform(transform, columns);
    const bool ok = predict_rows(f, nf, n_rows, n_iterations, raw, out, threads,
                                 [&](std::size_t row0, std::size_t n, double *buf) {
                                     if (!transform_rows(transform, columns, row0, n, buf)) {
                                         return false;
                                     }
                                     for (std::size_t i = 0; i < n * nf; ++i) {
                                         buf[i] = as_row_value(buf[i]);
                                     }
                                     return true;
                                 });
    return ok ? EvalStatus::Ok : EvalStatus::Infinite;
}

}  // namespace brinvale::core
