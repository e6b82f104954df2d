// LightGBM's prediction, operation for operation: the dense-row conversion of
// its C API (values within 1e-35f of zero read as 0), the tree walk of
// Tree::GetLeaf, the per-iteration sum of GBDT::PredictRaw in tree order, the
// average of random-forest models and the objectives' ConvertOutput.  Every
// step is the same IEEE double operation in the same order, so the outputs are
// bit-identical to the library's.
#include "brinvale/models.hpp"

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
constexpr std::size_t kBlock = 64;

inline bool is_zero(double v) { return v >= -kZeroThreshold && v <= kZeroThreshold; }

inline int numerical_decision(const LightGbmTree &t, double fval, int node) {
    const std::int8_t dt = t.decision_type[static_cast<std::size_t>(node)];
    const int missing_type = (dt >> 2) & 3;
    if (std::isnan(fval) && missing_type != 2) {
        fval = 0.0;
    }
    if ((missing_type == 1 && is_zero(fval)) || (missing_type == 2 && std::isnan(fval))) {
        return (dt & kDefaultLeftMask) ? t.left_child[static_cast<std::size_t>(node)]
                                       : t.right_child[static_cast<std::size_t>(node)];
    }
    return fval <= t.threshold[static_cast<std::size_t>(node)]
               ? t.left_child[static_cast<std::size_t>(node)]
               : t.right_child[static_cast<std::size_t>(node)];
}

// static_cast<int> of a double out of int's range is what x86's cvttsd2si
// gives: INT_MIN, a negative category.
inline int category_of(double fval) {
    if (!(fval > -2147483649.0 && fval < 2147483648.0)) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(fval);
}

inline int categorical_decision(const LightGbmTree &t, double fval, int node) {
    const auto n = static_cast<std::size_t>(node);
    if (std::isnan(fval)) {
        return t.right_child[n];
    }
    const int v = category_of(fval);
    if (v < 0) {
        return t.right_child[n];
    }
    const auto cat_idx = static_cast<std::size_t>(static_cast<int>(t.threshold[n]));
    const int begin = t.cat_boundaries[cat_idx];
    const int words = t.cat_boundaries[cat_idx + 1] - begin;
    const int word = v / 32;
    if (word < words &&
        ((t.cat_threshold[static_cast<std::size_t>(begin + word)] >> (v % 32)) & 1u)) {
        return t.left_child[n];
    }
    return t.right_child[n];
}

inline double tree_output(const LightGbmTree &t, const double *fv) {
    if (t.num_leaves <= 1) {
        return t.leaf_value[0];
    }
    int node = 0;
    if (t.num_cat > 0) {
        while (node >= 0) {
            const double v = fv[t.split_feature[static_cast<std::size_t>(node)]];
            node = (t.decision_type[static_cast<std::size_t>(node)] & kCategoricalMask)
                       ? categorical_decision(t, v, node)
                       : numerical_decision(t, v, node);
        }
    } else {
        while (node >= 0) {
            node = numerical_decision(t, fv[t.split_feature[static_cast<std::size_t>(node)]], node);
        }
    }
    return t.leaf_value[static_cast<std::size_t>(~node)];
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
    const char *base = static_cast<const char *>(c.data) + static_cast<std::ptrdiff_t>(row0) * c.stride;
    for (std::size_t r = 0; r < n; ++r) {
        T value;
        std::memcpy(&value, base + static_cast<std::ptrdiff_t>(r) * c.stride, sizeof(T));
        buf[r * nf + j] = static_cast<double>(value);
    }
}

// Block rows [row0, row0 + n) of every column into row-major doubles, the
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
                buf[r * nf + j] = v;
            }
            if (infinite && stop_on_infinite) {
                return false;
            }
            break;
        }
        case T::I8: gather_typed<std::int8_t>(c, row0, n, nf, j, buf); break;
        case T::I16: gather_typed<std::int16_t>(c, row0, n, nf, j, buf); break;
        case T::I32: gather_typed<std::int32_t>(c, row0, n, nf, j, buf); break;
        case T::I64: gather_typed<std::int64_t>(c, row0, n, nf, j, buf); break;
        case T::U8: gather_typed<std::uint8_t>(c, row0, n, nf, j, buf); break;
        case T::U16: gather_typed<std::uint16_t>(c, row0, n, nf, j, buf); break;
        case T::U32: gather_typed<std::uint32_t>(c, row0, n, nf, j, buf); break;
        case T::U64: gather_typed<std::uint64_t>(c, row0, n, nf, j, buf); break;
        case T::Bool: gather_typed<std::uint8_t>(c, row0, n, nf, j, buf); break;
        }
    }
    // The C API keeps a dense row's value only when |v| > kZeroThreshold or
    // NaN; the others stay 0 in the predictor's buffer.
    for (std::size_t i = 0; i < n * nf; ++i) {
        const double v = buf[i];
        if (!(std::fabs(v) > kZeroThreshold || std::isnan(v))) {
            buf[i] = 0.0;
        }
    }
    return true;
}

}  // namespace

PredictStatus lightgbm_predict(const LightGbmModel &model, std::span<const FeatureColumn> columns,
                               std::size_t n_rows, int n_iterations, bool raw, double *out,
                               bool stop_on_infinite, unsigned threads) {
    if (columns.size() != static_cast<std::size_t>(model.num_features())) {
        throw ModelError("the model reads " + std::to_string(model.num_features()) +
                         " features, " + std::to_string(columns.size()) + " columns given");
    }
    if (model.has_linear_trees()) {
        throw ModelError("linear trees are not evaluated natively");
    }
    const int k = model.num_tree_per_iteration;
    const int total = static_cast<int>(model.trees.size()) / k;
    const int iterations = n_iterations > 0 ? std::min(n_iterations, total) : total;
    const std::size_t nf = columns.size();
    std::atomic<bool> infinite{false};

    auto work = [&](std::size_t begin, std::size_t end) {
        std::vector<double> buf(kBlock * nf);
        for (std::size_t row0 = begin; row0 < end; row0 += kBlock) {
            if (infinite.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t n = std::min(kBlock, end - row0);
            if (!gather(columns, row0, n, stop_on_infinite, buf.data())) {
                infinite.store(true);
                return;
            }
            for (std::size_t r = 0; r < n; ++r) {
                const double *fv = buf.data() + r * nf;
                double *o = out + (row0 + r) * static_cast<std::size_t>(k);
                for (int c = 0; c < k; ++c) {
                    o[c] = 0.0;
                }
                for (int it = 0; it < iterations; ++it) {
                    for (int c = 0; c < k; ++c) {
                        o[c] += tree_output(model.trees[static_cast<std::size_t>(it * k + c)], fv);
                    }
                }
                if (raw) {
                    continue;
                }
                if (model.average_output) {
                    for (int c = 0; c < k; ++c) {
                        o[c] /= iterations;
                    }
                }
                convert_output(model.objective, o, k);
            }
        }
    };

    // Enough rows per thread to pay for starting it.
    const std::size_t per_thread = 20000;
    unsigned n_threads = std::max(1u, std::min<unsigned>(
        threads, static_cast<unsigned>(std::min<std::size_t>(n_rows / per_thread + 1, 64))));
    if (n_threads == 1) {
        work(0, n_rows);
    } else {
        std::vector<std::thread> pool;
        const std::size_t chunk = (n_rows + n_threads - 1) / n_threads;
        for (unsigned t = 0; t < n_threads; ++t) {
            const std::size_t b = std::min(n_rows, t * chunk);
            const std::size_t e = std::min(n_rows, b + chunk);
            pool.emplace_back(work, b, e);
        }
        for (auto &th : pool) {
            th.join();
        }
    }
    return infinite.load() ? PredictStatus::Infinite : PredictStatus::Ok;
}

}  // namespace brinvale::core
