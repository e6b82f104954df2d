// Native prediction over plain buffers: the columns of the model's input (a
// matrix of typed column buffers), the description of FLAML's DataTransformer
// that turns them into the features the learner reads (numbers, datetime
// parts, date ordinals, category codes, the imputer's fill), and the tree
// learners evaluated with each library's own arithmetic: LightGBM (models.hpp),
// XGBoost's gbtree, scikit-learn's forests and histogram gradient boosting.
// Nothing here touches Python objects: a binding (or a scoring plan holding
// the columns already) describes the buffers and calls in.
#pragma once

#include "brinvale/models.hpp"
#include "brinvale/text.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brinvale::core {

// ---------------------------------------------------------------- the input matrix

// One column of the model's input, read in place with a byte stride.
// Datetime: int64 ticks since 1970-01-01 (`ticks_per_second` of them per
// second), NaT being INT64_MIN, as NumPy's datetime64 stores them.
struct InputColumn {
    enum class Type : std::uint8_t {
        F64,
        F32,
        I8,
        I16,
        I32,
        I64,
        U8,
        U16,
        U32,
        U64,
        Bool,
        Datetime
    };
    const void *data = nullptr;
    std::ptrdiff_t stride = 8;  // bytes
    Type type = Type::F64;
    std::int64_t ticks_per_second = 1;
};

// One feature the learner reads, made from one input column as FLAML's
// DataTransformer makes it.  Number: the value as a double.  The datetime
// parts: the fields pandas' .dt accessor gives (dayofweek Monday = 0), NaN
// for NaT.  DateOrdinal: datetime.toordinal() of the date, NaN for NaT.
// Category: the input holds codes into the transformer's categories (see
// category_codes); `category_values[code]` is what the learner reads for
// it, NaN for codes outside.  With `impute`, NaN becomes `fill` (a fitted
// SimpleImputer's statistic); with `refuse_infinite`, an infinite value
// stops the work (the imputer raises on it: the library reports it).
struct FeatureRecipe {
    enum class Op : std::uint8_t {
        Number,
        Year,
        Month,
        Day,
        Hour,
        Minute,
        Second,
        DayOfWeek,
        DayOfYear,
        Quarter,
        DateOrdinal,
        Category,
    };
    Op op = Op::Number;
    std::uint32_t source = 0;  // index of the input column
    bool impute = false;
    bool refuse_infinite = false;
    double fill = 0.0;
    std::vector<double> category_values;
};

// The features in the learner's order.
struct ModelTransform {
    std::vector<FeatureRecipe> features;
};

enum class EvalStatus {
    Ok,
    Infinite,  // an input value the library's own checks refuse (it raises)
};

// Rows [row0, row0 + n) of the learner's input, row-major (one row of
// transform.features.size() doubles after another), the doubles the
// library's own transform gives.  False when a refused value is met.
// Throws ModelError when a recipe names a column that is not there.
bool transform_rows(const ModelTransform &transform, std::span<const InputColumn> columns,
                    std::size_t row0, std::size_t n, double *out);

// Checks that every recipe reads a column of a kind it can read (numbers
// for Number and Category, datetimes for the date parts).
void check_transform(const ModelTransform &transform, std::span<const InputColumn> columns);

// The codes FLAML's transform gives a text column against its categories
// (the fitted encoder's categories with "__NAN__" appended when absent): a
// text maps to its category's position; a missing row, and a text that is no
// category, to `nan_code` (FLAML encodes unseen values as "__NAN__").
// Returns the number of rows with unseen texts; `unseen` receives the
// smallest distinct unseen texts in code point order, at most `max_unseen`
// of them (FLAML's warning names five).
std::size_t category_codes(const TextColumn &column, const TextCodeTable &categories,
                           std::int32_t nan_code, std::span<std::int32_t> out,
                           std::vector<std::string> &unseen, std::size_t max_unseen);

// The same for a pandas categorical column: `codes` are its codes (-1 for a
// missing row), `map[c]` the pinned code of its category c.  out[row] is
// map[code], `nan_code` for a missing row; `used[c]` is set for every
// category that occurs.  Throws ModelError for a code outside [-1, map.size()).
void recode_categories(const InputColumn &codes, std::size_t n_rows,
                       std::span<const std::int32_t> map, std::int32_t nan_code,
                       std::span<std::int32_t> out, std::vector<std::uint8_t> &used);

// ---------------------------------------------------------------- LightGBM

// lightgbm_predict (models.hpp) over a transform: the rows are what
// LightGBM's pandas conversion hands its C API.
EvalStatus lightgbm_predict(const LightGbmForest &forest, const ModelTransform &transform,
                            std::span<const InputColumn> columns, std::size_t n_rows,
                            int n_iterations, bool raw, double *out, unsigned threads = 1);

// ---------------------------------------------------------------- XGBoost

// A gbtree model as XGBoost's CPU predictor walks it: float thresholds and
// leaf values, `value < threshold` to the left, a missing value (NaN) to the
// default child, the right child next to the left one.
struct XgbForest {
    struct Node {
        float value = 0.0f;         // threshold, or the leaf value
        std::int32_t feature = -1;  // -1: a leaf
        std::int32_t left = 0;      // node index within the forest; the right child is left + 1
        std::int32_t missing = 0;   // the default child
    };
    enum class Objective {
        Identity,  // reg:squarederror, reg:pseudohubererror, reg:absoluteerror, binary:logitraw
        Logistic,  // binary:logistic, reg:logistic
        Softprob,  // multi:softprob
    };
    std::int64_t num_feature = 0;
    std::int32_t num_group = 1;
    Objective objective = Objective::Identity;
    std::string objective_name;
    float base_score = 0.5f;   // as saved (probability space)
    float base_margin = 0.5f;  // the objective's ProbToMargin(base_score)
    std::vector<Node> nodes;
    std::vector<std::int32_t> roots;             // per tree
    std::vector<std::int32_t> groups;            // per tree: the output it adds to
    std::vector<std::int64_t> iteration_indptr;  // trees of iteration i: [indptr[i], indptr[i+1])
};

// Reads a checked gbtree model from XGBoost's buffer (UBJSON or JSON, as
// check_xgboost_model reads it).  Throws ModelError for what the evaluator
// does not reproduce: other boosters, categorical splits, vector leaves,
// objectives other than those above.
XgbForest parse_xgboost_forest(std::span<const std::uint8_t> buffer);

// Trees [0, n_trees) of `forest` on the rows: `out` receives num_group
// floats per row (row-major), the margin, or with `transform_output` the
// objective's output (sigmoid, softmax) in XGBoost's float arithmetic.
EvalStatus xgboost_predict(const XgbForest &forest, std::size_t n_trees,
                           const ModelTransform &transform, std::span<const InputColumn> columns,
                           std::size_t n_rows, bool transform_output, float *out,
                           unsigned threads = 1);

// ---------------------------------------------------------------- scikit-learn trees

// scikit-learn's trees (forests' Tree objects, the predictors of histogram
// gradient boosting): `value <= threshold` to the left, NaN to the side the
// node's missing flag names; every leaf holds `outputs` doubles.
struct SklearnTrees {
    struct Node {
        double threshold = 0.0;
        std::int32_t feature = -1;  // -1: a leaf
        std::int32_t left = 0;
        std::int32_t right = 0;
        std::uint8_t missing_left = 0;
    };
    std::int64_t num_features = 0;
    std::int32_t outputs = 1;
    std::vector<Node> nodes;
    std::vector<double> values;  // `outputs` per node (leaves only are read)
    std::vector<std::int32_t> roots;
};

// Adds one tree from its node arrays (children -1 at leaves); its structure
// is checked as check_sklearn_tree checks it.  `values` holds `outputs`
// doubles per node.
void add_sklearn_tree(SklearnTrees &trees, std::span<const std::int64_t> left,
                      std::span<const std::int64_t> right, std::span<const std::int64_t> feature,
                      std::span<const double> threshold, std::span<const std::uint8_t> missing_left,
                      std::span<const double> values);

// A forest's predict/predict_proba: the input cast to float32 as
// scikit-learn's check_array casts it (an infinite value then is refused, as
// the check refuses it, and NaN too unless `allow_nan`: forests whose trees
// take missing values), each tree's leaf values added in tree order, the sums
// divided by the number of trees.  `out`: outputs doubles per row
// (row-major).
EvalStatus forest_predict(const SklearnTrees &trees, const ModelTransform &transform,
                          std::span<const InputColumn> columns, std::size_t n_rows, bool allow_nan,
                          double *out, unsigned threads = 1);

// Histogram gradient boosting's _raw_predict: the float64 input, the raw
// predictions started at 0 + baseline[k], then the trees added iteration by
// iteration (tree t adds to output t % k); `out` is the column-major
// (n_rows x k) array scikit-learn allocates (order="F").
EvalStatus histgb_raw_predict(const SklearnTrees &trees, std::span<const double> baseline,
                              const ModelTransform &transform, std::span<const InputColumn> columns,
                              std::size_t n_rows, double *out, unsigned threads = 1);

}  // namespace brinvale::core
