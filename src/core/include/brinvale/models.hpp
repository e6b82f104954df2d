// Trained tree models as their libraries store them: LightGBM's text model,
// XGBoost's (UBJSON or JSON) model buffer and scikit-learn's node arrays.
// The parsers check every structure a library would index without bounds
// (tree counts and sizes, array lengths, feature, child and leaf indices,
// acyclic and connected trees) and raise ModelError for an unsound one, so
// that a crafted file never reaches a parser or predictor that trusts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brinvale::core {

class ModelError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The deepest tree (splits from the root to a leaf) a model may hold.  The
// libraries dump trees, and SHAP explains them, by recursion: LightGBM's
// dump overflows the stack some 8,000 levels down, and tree SHAP keeps
// memory quadratic in the depth.  Grown trees stay far shallower.
inline constexpr std::int64_t kMaxTreeDepth = 1000;

// The most threads a stored model may ask its library for (as n_jobs,
// num_threads, nthread...); negative counts are relative to the machine's.
inline constexpr std::int64_t kMaxModelThreads = 256;

// ---------------------------------------------------------------- LightGBM

struct LightGbmTree {
    int num_leaves = 1;
    int num_cat = 0;
    bool is_linear = false;
    std::vector<int> split_feature;          // num_leaves - 1
    std::vector<double> threshold;           // num_leaves - 1
    std::vector<std::int8_t> decision_type;  // num_leaves - 1
    std::vector<int> left_child;             // num_leaves - 1; ~leaf when negative
    std::vector<int> right_child;            // num_leaves - 1
    std::vector<double> leaf_value;          // num_leaves
    std::vector<int> cat_boundaries;         // num_cat + 1
    std::vector<std::uint32_t> cat_threshold;
};

// The output transform LightGBM applies after summing the trees.
struct LightGbmObjective {
    enum class Kind {
        None,                // no objective or a custom one: raw scores
        Identity,            // ranking objectives
        Regression,          // regression family; `sqrt` squares back
        Binary,              // 1 / (1 + exp(-sigmoid * x))
        MulticlassOva,       // the same per class
        Multiclass,          // softmax
        CrossEntropy,        // 1 / (1 + exp(-x))
        CrossEntropyLambda,  // log1p(exp(x))
        Exponential,         // poisson, gamma, tweedie: exp(x)
    };
    Kind kind = Kind::None;
    bool sqrt = false;
    double sigmoid = 1.0;
    int num_class = 1;
};

struct LightGbmModel {
    int num_class = 1;
    int num_tree_per_iteration = 1;
    int max_feature_idx = 0;
    bool average_output = false;
    LightGbmObjective objective;
    std::vector<LightGbmTree> trees;

    int num_features() const { return max_feature_idx + 1; }
    bool has_linear_trees() const;
    bool has_categorical_splits() const;
};

// Parses and checks the model text exactly as LightGBM's loader reads it (up
// to the first NUL byte).  Without `with_values`, leaf values and numerical
// thresholds are counted but not converted (a check before loading needs no
// more); such a model cannot be evaluated.
LightGbmModel parse_lightgbm_model(std::string_view text, bool with_values = true);

// LightGBM's own text-to-double conversion (less precise than strtod), used
// for objective parameters such as the sigmoid.
double lightgbm_atof(std::string_view text);

// One input column of the model, read in place: any NumPy integer, bool or
// float64 buffer with a byte stride.  Missing values (NaN) of a float column
// become `fill` when `has_fill` is set (a fitted imputer's statistic).
struct FeatureColumn {
    enum class Type : std::uint8_t { F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool };
    const void *data = nullptr;
    std::ptrdiff_t stride = 8;  // bytes
    Type type = Type::F64;
    bool has_fill = false;
    double fill = 0.0;
};

enum class PredictStatus { Ok, Infinite };

// A model's trees flattened for prediction: one node array in which every
// tree keeps its inner nodes, then its leaves; a leaf leads to itself, so a
// walk can take steps without asking whether it has ended.  Each inner
// node's outcome for NaN and for 0 is resolved ahead.
struct LightGbmForest {
    struct Node {
        double threshold = 0.0;
        std::int32_t feature = 0;
        // Where a value goes: <= threshold, above it, NaN, 0.
        std::int32_t next[4] = {0, 0, 0, 0};
        std::int32_t cat_begin = -1;  // categorical: first word of its set in cat_bits
        std::int32_t cat_words = 0;
    };
    struct Tree {
        std::int32_t root = 0;        // node index; -1 for a one-leaf tree
        std::int32_t leaf_start = 0;  // nodes from here on are leaves
        double constant = 0.0;        // the output of a one-leaf tree
    };
    int num_features = 0;
    int num_tree_per_iteration = 1;
    int total_iterations = 0;
    bool average_output = false;
    bool has_categorical = false;
    LightGbmObjective objective;
    std::vector<Node> nodes;
    std::vector<double> values;  // per node: the leaf value (leaves only)
    std::vector<Tree> trees;
    std::vector<std::uint32_t> cat_bits;
};

// Throws ModelError for linear trees, which are not evaluated natively.
LightGbmForest compile_forest(const LightGbmModel &model);

// Rows of `columns` (one per model feature) through the trees of iterations
// [0, n_iterations), in LightGBM's order and arithmetic.  `out` receives
// num_tree_per_iteration values per row (row-major); `raw` leaves out the
// objective's transform.  n_iterations <= 0 means every iteration.  With
// `stop_on_infinite`, an infinite input value ends the work early and the
// result is Infinite (an imputer refuses such input).  Runs on up to
// `threads` threads; the result does not depend on their number.
PredictStatus lightgbm_predict(const LightGbmForest &forest, std::span<const FeatureColumn> columns,
                               std::size_t n_rows, int n_iterations, bool raw, double *out,
                               bool stop_on_infinite = false, unsigned threads = 1);
PredictStatus lightgbm_predict(const LightGbmModel &model, std::span<const FeatureColumn> columns,
                               std::size_t n_rows, int n_iterations, bool raw, double *out,
                               bool stop_on_infinite = false, unsigned threads = 1);

// ---------------------------------------------------------------- XGBoost

struct XgbSummary {
    std::string booster;  // gbtree, dart or gblinear
    std::int64_t num_trees = 0;
    std::int64_t num_feature = 0;
    std::int64_t num_output_group = 1;
};

// Checks XGBoost's serialised model buffer (the pickled Booster state, or a
// saved model): UBJSON or JSON.  The pre-JSON binary format is refused.
XgbSummary check_xgboost_model(std::span<const std::uint8_t> buffer);

// ---------------------------------------------------------------- trees as arrays

// scikit-learn's Tree: a leaf has left == right == -1; every other node has
// two children in (0, n_nodes) and a feature in [0, n_features).
void check_sklearn_tree(std::span<const std::int64_t> left, std::span<const std::int64_t> right,
                        std::span<const std::int64_t> feature, std::int64_t n_features);

// One tree of scikit-learn's histogram gradient boosting (TreePredictor):
// the node record fields the predictor reads, one entry per node.
struct HistTreeNodes {
    std::span<const std::int64_t> feature;
    std::span<const std::int64_t> left;
    std::span<const std::int64_t> right;
    std::span<const std::int64_t> bitset_idx;
    std::span<const std::uint8_t> is_leaf;
    std::span<const std::uint8_t> is_categorical;
};

// Every node reached from node 0 once, within kMaxTreeDepth; a split node
// reads a feature in [0, n_features); a categorical split reads row
// bitset_idx of the tree's category bitsets (`bitset_rows` of them) and a
// feature marked in `categorical` (which maps it to a row of the model's
// known-category bitsets).
void check_hist_tree(const HistTreeNodes &nodes, std::int64_t n_features, std::int64_t bitset_rows,
                     std::span<const std::uint8_t> categorical);

}  // namespace brinvale::core
