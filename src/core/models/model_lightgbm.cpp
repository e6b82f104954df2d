// LightGBM's text model.  The loader reads the header lines up to the first
// "Tree=" line, then each tree either at the offsets `tree_sizes` gives or one
// after the other; a tree block is at most 22 "key=value" lines ended by an
// empty line.  The loader trusts all of it: a size past the end, a block
// without its empty line or a line without '=' make it read past the buffer,
// a zero tree count per iteration divides by zero, and the predictor indexes
// features, children, leaves and category bitsets without checks.
#include "brinvale/models.hpp"

#include "model_trees.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace brinvale::core {

namespace {

using detail::parse_double;
using detail::parse_int;
using detail::refuse;
using detail::split;

constexpr std::int8_t kCategoricalMask = 1;
constexpr int kMaxTreeLines = 22;

// Length of the line at `p` (up to '\0', '\n' or '\r'), as the loader sees it.
std::size_t line_length(std::string_view text, std::size_t p) {
    const char *begin = text.data() + p;
    const std::size_t rest = text.size() - p;
    const void *nl = std::memchr(begin, '\n', rest);
    std::size_t len = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - begin) : rest;
    if (const void *cr = std::memchr(begin, '\r', len)) {
        len = static_cast<std::size_t>(static_cast<const char *>(cr) - begin);
    }
    return len;
}

// Calls `f(token)` for each space-separated token of `text` (empty ones
// skipped) and returns their number, stopping once `limit` were seen.
template <typename F>
std::size_t for_each_token(std::string_view text, std::size_t limit, F &&f) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        if (i == text.size()) {
            break;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ') {
            ++j;
        }
        if (count == limit) {
            return count + 1;  // more than wanted
        }
        f(count, text.substr(i, j - i));
        ++count;
        i = j;
    }
    return count;
}

std::size_t skip_newline(std::string_view text, std::size_t p) {
    if (p < text.size() && text[p] == '\r') {
        ++p;
    }
    if (p < text.size() && text[p] == '\n') {
        ++p;
    }
    return p;
}

std::string shorten(std::string_view s) {
    std::string out(s.substr(0, 60));
    if (s.size() > 60) {
        out += "...";
    }
    return out;
}

template <typename T>
std::vector<T> int_array(const std::map<std::string_view, std::string_view> &kv,
                         std::string_view key, std::size_t n, const std::string &where,
                         T lo = std::numeric_limits<T>::min(),
                         T hi = std::numeric_limits<T>::max()) {
    auto it = kv.find(key);
    if (it == kv.end()) {
        if (n == 0) {
            return {};
        }
        refuse(where + " has no " + std::string(key) + " line");
    }
    std::vector<T> out(std::min<std::size_t>(n, it->second.size()));
    const std::size_t count = for_each_token(it->second, n, [&](std::size_t i, std::string_view t) {
        if (!parse_int<T>(t, out[i], lo, hi)) {
            refuse(where + ": " + std::string(key) + " value '" + shorten(t) +
                   "' is not an integer in [" + std::to_string(lo) + ", " + std::to_string(hi) +
                   "]");
        }
    });
    if (count != n) {
        refuse(where + ": " + std::string(key) + " holds " +
               (count > n ? "more" : std::to_string(count)) + " values where the tree needs " +
               std::to_string(n));
    }
    return out;
}

std::vector<double> double_array(const std::map<std::string_view, std::string_view> &kv,
                                 std::string_view key, std::size_t n, const std::string &where,
                                 bool required = true, bool convert = true) {
    auto it = kv.find(key);
    if (it == kv.end()) {
        if (n == 0 || !required) {
            return std::vector<double>(required ? 0 : n, 0.0);
        }
        refuse(where + " has no " + std::string(key) + " line");
    }
    std::vector<double> out(convert ? std::min<std::size_t>(n, it->second.size()) : 0);
    const std::size_t count = for_each_token(it->second, n, [&](std::size_t i, std::string_view t) {
        if (convert && !parse_double(t, out[i])) {
            refuse(where + ": " + std::string(key) + " value '" + shorten(t) + "' is not a number");
        }
    });
    if (count != n) {
        refuse(where + ": " + std::string(key) + " holds " +
               (count > n ? "more" : std::to_string(count)) + " values where the tree needs " +
               std::to_string(n));
    }
    return out;
}

// One tree block starting at `p` (just after its "Tree=" line); returns the
// offset of the empty line that ends it.  `limit` bounds the block.
std::size_t parse_tree(std::string_view text, std::size_t p, std::size_t limit, int index,
                       int n_features, bool values, LightGbmTree &tree) {
    const std::string where = "tree " + std::to_string(index);
    std::map<std::string_view, std::string_view> kv;
    int lines = 0;
    while (true) {
        if (p >= limit) {
            refuse(where + " is not ended by an empty line within its block");
        }
        if (text[p] == '\n' || text[p] == '\r') {
            break;
        }
        if (lines == kMaxTreeLines) {
            refuse(where + " has more than " + std::to_string(kMaxTreeLines) + " lines");
        }
        const std::size_t len = line_length(text, p);
        if (p + len >= limit) {
            refuse(where + " is not ended by an empty line within its block");
        }
        std::string_view line = text.substr(p, len);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            refuse(where + ": line '" + shorten(line) + "' is not key=value");
        }
        if (!kv.emplace(line.substr(0, eq), line.substr(eq + 1)).second) {
            refuse(where + ": key '" + shorten(line.substr(0, eq)) + "' appears twice");
        }
        ++lines;
        p = skip_newline(text, p + len);
    }

    auto scalar = [&](std::string_view key, int lo, int hi) {
        auto it = kv.find(key);
        int v = 0;
        if (it == kv.end()) {
            refuse(where + " has no " + std::string(key) + " line");
        }
        if (!parse_int<int>(it->second, v, lo, hi)) {
            refuse(where + ": " + std::string(key) + " '" + shorten(it->second) +
                   "' is not an integer in [" + std::to_string(lo) + ", " + std::to_string(hi) +
                   "]");
        }
        return v;
    };
    tree.num_leaves = scalar("num_leaves", 1, std::numeric_limits<int>::max());
    tree.num_cat = scalar("num_cat", 0, std::numeric_limits<int>::max());
    tree.is_linear = kv.count("is_linear") != 0 && scalar("is_linear", 0, 1) == 1;

    const auto n_leaves = static_cast<std::size_t>(tree.num_leaves);
    const std::size_t n_inner = n_leaves - 1;
    // Leaf values and thresholds only steer where a row goes: a check that
    // is not followed by prediction counts them (and reads the thresholds of
    // categorical splits, which index category sets).
    tree.leaf_value = double_array(kv, "leaf_value", n_leaves, where, true, values);
    if (tree.num_leaves > 1 || tree.is_linear) {
        tree.left_child = int_array<int>(kv, "left_child", n_inner, where);
        tree.right_child = int_array<int>(kv, "right_child", n_inner, where);
        tree.split_feature = int_array<int>(kv, "split_feature", n_inner, where, 0, n_features - 1);
        tree.threshold =
            double_array(kv, "threshold", n_inner, where, true, values || tree.num_cat > 0);
        if (kv.count("decision_type")) {
            tree.decision_type = int_array<std::int8_t>(kv, "decision_type", n_inner, where, 0, 15);
        } else {
            tree.decision_type.assign(n_inner, 0);
        }
    }
    if (tree.num_cat > 0) {
        tree.cat_boundaries =
            int_array<int>(kv, "cat_boundaries", static_cast<std::size_t>(tree.num_cat) + 1, where,
                           0, std::numeric_limits<int>::max());
        if (tree.cat_boundaries.front() != 0 ||
            !std::is_sorted(tree.cat_boundaries.begin(), tree.cat_boundaries.end())) {
            refuse(where + ": cat_boundaries must start at 0 and never decrease");
        }
        tree.cat_threshold = int_array<std::uint32_t>(
            kv, "cat_threshold", static_cast<std::size_t>(tree.cat_boundaries.back()), where);
    }
    if (tree.is_linear) {
        double_array(kv, "leaf_const", n_leaves, where, false, values);
        auto counts = int_array<int>(kv, "num_features", n_leaves, where, 0, n_features);
        std::size_t total = 0;
        for (int c : counts) {
            total += static_cast<std::size_t>(c);
        }
        if (total > 0) {
            int_array<int>(kv, "leaf_features", total, where, 0, n_features - 1);
            double_array(kv, "leaf_coeff", total, where, true, values);
        }
    }

    for (std::size_t i = 0; i < n_inner; ++i) {
        const std::int8_t dt = tree.decision_type[i];
        if (((dt >> 2) & 3) == 3) {
            refuse(where + ": node " + std::to_string(i) + " has an unknown missing-value type");
        }
        // Prediction reads the category set of a categorical node only when
        // the tree has sets, but the dump (and SHAP through it) always does.
        if (dt & kCategoricalMask) {
            const double t = tree.num_cat > 0 ? tree.threshold[i] : -1.0;
            if (!(t >= 0.0 && t < static_cast<double>(tree.num_cat)) || t != std::floor(t)) {
                refuse(where + ": categorical node " + std::to_string(i) +
                       " names a category set outside the tree's " + std::to_string(tree.num_cat));
            }
        }
        for (int child : {tree.left_child[i], tree.right_child[i]}) {
            if (child > static_cast<int>(n_inner) - 1 || child < -tree.num_leaves) {
                refuse(where + ": node " + std::to_string(i) + " has a child " +
                       std::to_string(child) + " outside its " + std::to_string(n_inner) +
                       " inner nodes and " + std::to_string(n_leaves) + " leaves");
            }
        }
    }
    // Inner nodes keep their index, leaf k becomes n_inner + k.
    if (n_inner > 0) {
        const auto n_total = static_cast<std::int64_t>(n_inner + n_leaves);
        auto seen = detail::walk_tree(
            n_total,
            [&](std::int64_t node, int slot) -> std::int64_t {
                const int c = slot == 0 ? tree.left_child[static_cast<std::size_t>(node)]
                                        : tree.right_child[static_cast<std::size_t>(node)];
                return c >= 0 ? c : static_cast<std::int64_t>(n_inner) + ~c;
            },
            [&](std::int64_t node) { return node >= static_cast<std::int64_t>(n_inner); }, where);
        if (std::find(seen.begin(), seen.end(), 0) != seen.end()) {
            refuse(where + " has nodes or leaves its root never reaches");
        }
    }
    return p;
}

LightGbmObjective parse_objective(std::string_view value, int num_class) {
    static const std::map<std::string_view, std::string_view> aliases{
        {"regression_l2", "regression"},
        {"mean_squared_error", "regression"},
        {"mse", "regression"},
        {"l2", "regression"},
        {"l2_root", "regression"},
        {"root_mean_squared_error", "regression"},
        {"rmse", "regression"},
        {"mean_absolute_error", "regression_l1"},
        {"l1", "regression_l1"},
        {"mae", "regression_l1"},
        {"softmax", "multiclass"},
        {"multiclass_ova", "multiclassova"},
        {"ova", "multiclassova"},
        {"ovr", "multiclassova"},
        {"xentropy", "cross_entropy"},
        {"xentlambda", "cross_entropy_lambda"},
        {"mean_absolute_percentage_error", "mape"},
        {"xendcg", "rank_xendcg"},
        {"xe_ndcg", "rank_xendcg"},
        {"xe_ndcg_mart", "rank_xendcg"},
        {"xendcg_mart", "rank_xendcg"},
        {"none", "custom"},
        {"null", "custom"},
        {"na", "custom"}};
    // The alias table applies to the whole value, as in LightGBM.
    if (auto it = aliases.find(value); it != aliases.end()) {
        value = it->second;
    }
    auto tokens = split(value, ' ');
    if (tokens.empty()) {
        refuse("the model's objective line is empty");
    }
    using K = LightGbmObjective::Kind;
    static const std::map<std::string_view, K> kinds{
        {"regression", K::Regression},
        {"regression_l1", K::Regression},
        {"quantile", K::Regression},
        {"huber", K::Regression},
        {"fair", K::Regression},
        {"mape", K::Regression},
        {"poisson", K::Exponential},
        {"gamma", K::Exponential},
        {"tweedie", K::Exponential},
        {"binary", K::Binary},
        {"multiclass", K::Multiclass},
        {"multiclassova", K::MulticlassOva},
        {"cross_entropy", K::CrossEntropy},
        {"cross_entropy_lambda", K::CrossEntropyLambda},
        {"lambdarank", K::Identity},
        {"rank_xendcg", K::Identity},
        {"custom", K::None}};
    auto kind = kinds.find(tokens[0]);
    if (kind == kinds.end()) {
        refuse("unknown objective '" + shorten(tokens[0]) + "' in the model");
    }
    LightGbmObjective obj;
    obj.kind = kind->second;
    obj.num_class = num_class;
    bool has_num_class = false;
    bool has_sigmoid = false;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        if (tokens[i] == "sqrt") {
            obj.sqrt = true;
        }
        auto parts = split(tokens[i], ':');
        if (parts.size() != 2) {
            continue;
        }
        if (parts[0] == "num_class") {
            if (!parse_int<int>(parts[1], obj.num_class, 0, std::numeric_limits<int>::max())) {
                refuse("the objective's num_class '" + shorten(parts[1]) + "' is not a count");
            }
            has_num_class = true;
        } else if (parts[0] == "sigmoid") {
            obj.sigmoid = lightgbm_atof(parts[1]);
            has_sigmoid = true;
        }
    }
    // The regression family reads "sqrt"; only these objectives keep it.
    if (obj.kind != K::Regression) {
        obj.sqrt = false;
    }
    if (obj.kind == K::Multiclass || obj.kind == K::MulticlassOva) {
        if (!has_num_class) {
            refuse("the multi-class objective carries no num_class");
        }
        if (obj.num_class != num_class) {
            refuse("the objective's num_class " + std::to_string(obj.num_class) +
                   " differs from the model's " + std::to_string(num_class));
        }
    }
    if (obj.kind == K::Binary || obj.kind == K::MulticlassOva) {
        if (!has_sigmoid || !(obj.sigmoid > 0.0)) {
            refuse("the objective's sigmoid parameter must be greater than zero");
        }
    }
    return obj;
}

}  // namespace

double lightgbm_atof(std::string_view text) {
    // LightGBM's Common::Atof, kept operation for operation: the objective's
    // parameters are read with it, so the value (and every output computed
    // from it) matches the library's bit for bit.
    std::string buf(text);
    const char *p = buf.c_str();
    double sign = 1.0;
    double value = 0.0;
    double out = NAN;
    while (*p == ' ') {
        ++p;
    }
    if (*p == '-') {
        sign = -1.0;
        ++p;
    } else if (*p == '+') {
        ++p;
    }
    auto pow10 = [](int power) {
        // Common::Pow(10.0, power) for power >= 0, the same recursion.
        auto rec = [](auto &self, double base, int pw) -> double {
            if (pw == 0) {
                return 1;
            }
            if (pw % 2 == 0) {
                return self(self, base * base, pw / 2);
            }
            if (pw % 3 == 0) {
                return self(self, base * base * base, pw / 3);
            }
            return base * self(self, base, pw - 1);
        };
        return rec(rec, 10.0, power);
    };
    if ((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E') {
        for (value = 0.0; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10.0 + (*p - '0');
        }
        if (*p == '.') {
            double right = 0.0;
            int nn = 0;
            ++p;
            while (*p >= '0' && *p <= '9') {
                right = (*p - '0') + right * 10.0;
                ++nn;
                ++p;
            }
            value += right / pow10(nn);
        }
        int frac = 0;
        double scale = 1.0;
        if (*p == 'e' || *p == 'E') {
            std::uint32_t expon = 0;
            ++p;
            if (*p == '-') {
                frac = 1;
                ++p;
            } else if (*p == '+') {
                ++p;
            }
            for (expon = 0; *p >= '0' && *p <= '9'; ++p) {
                expon = expon * 10 + static_cast<std::uint32_t>(*p - '0');
            }
            if (expon > 308) {
                expon = 308;
            }
            while (expon >= 50) {
                scale *= 1E50;
                expon -= 50;
            }
            while (expon >= 8) {
                scale *= 1E8;
                expon -= 8;
            }
            while (expon > 0) {
                scale *= 10.0;
                expon -= 1;
            }
        }
        out = sign * (frac ? (value / scale) : (value * scale));
    } else {
        std::string word;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != ',' && *p != '\n' && *p != '\r' &&
               *p != ':') {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
            ++p;
        }
        if (word == "na" || word == "nan" || word == "null") {
            out = NAN;
        } else if (word == "inf" || word == "infinity") {
            out = sign * 1e308;
        } else {
            refuse("unreadable number '" + shorten(text) + "' in the model");
        }
    }
    return out;
}

bool LightGbmModel::has_linear_trees() const {
    return std::any_of(trees.begin(), trees.end(),
                       [](const LightGbmTree &t) { return t.is_linear; });
}

bool LightGbmModel::has_categorical_splits() const {
    return std::any_of(trees.begin(), trees.end(),
                       [](const LightGbmTree &t) { return t.num_cat > 0; });
}

LightGbmModel parse_lightgbm_model(std::string_view text, bool with_values) {
    // The loader is handed a C string: it ends at the first NUL.
    if (auto nul = text.find('\0'); nul != std::string_view::npos) {
        text = text.substr(0, nul);
    }
    std::map<std::string_view, std::string_view> header;
    std::size_t p = 0;
    bool at_tree = false;
    while (p < text.size()) {
        const std::size_t len = line_length(text, p);
        if (len > 0) {
            std::string_view line = text.substr(p, len);
            if (line.substr(0, 5) == "Tree=") {
                at_tree = true;
                break;
            }
            auto parts = split(line, '=');
            if (parts.size() > 2 && parts[0] != "feature_names" &&
                parts[0] != "monotone_constraints") {
                refuse("malformed model line '" + shorten(line) + "'");
            }
            if (!parts.empty()) {
                header[parts[0]] =
                    parts.size() == 1 ? std::string_view() : line.substr(parts[0].size() + 1);
            }
        }
        p = skip_newline(text, p + len);
    }

    LightGbmModel model;
    auto header_int = [&](std::string_view key, int lo, bool required, int fallback) {
        auto it = header.find(key);
        if (it == header.end()) {
            if (required) {
                refuse("the model has no " + std::string(key) + " line");
            }
            return fallback;
        }
        int v = 0;
        if (!parse_int<int>(it->second, v, lo, std::numeric_limits<int>::max())) {
            refuse("the model's " + std::string(key) + " '" + shorten(it->second) +
                   "' is not an integer >= " + std::to_string(lo));
        }
        return v;
    };
    model.num_class = header_int("num_class", 1, true, 1);
    model.num_tree_per_iteration = header_int("num_tree_per_iteration", 1, false, model.num_class);
    header_int("label_index", std::numeric_limits<int>::min(), true, 0);
    model.max_feature_idx = header_int("max_feature_idx", 0, true, 0);
    model.average_output = header.count("average_output") != 0;
    if (model.num_tree_per_iteration != model.num_class) {
        refuse("the model has " + std::to_string(model.num_tree_per_iteration) +
               " trees per iteration for " + std::to_string(model.num_class) + " classes");
    }
    auto names = header.find("feature_names");
    if (names == header.end() ||
        split(names->second, ' ').size() != static_cast<std::size_t>(model.num_features())) {
        refuse("the model's feature_names do not list max_feature_idx + 1 = " +
               std::to_string(model.num_features()) + " features");
    }
    auto infos = header.find("feature_infos");
    if (infos == header.end() ||
        split(infos->second, ' ').size() != static_cast<std::size_t>(model.num_features())) {
        refuse("the model's feature_infos do not describe " + std::to_string(model.num_features()) +
               " features");
    }
    if (auto obj = header.find("objective"); obj != header.end()) {
        model.objective = parse_objective(obj->second, model.num_class);
    }

    const int n_features = model.num_features();
    if (auto sizes = header.find("tree_sizes"); sizes != header.end()) {
        auto tokens = split(sizes->second, ' ');
        std::vector<std::size_t> bounds{p};
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            std::size_t size = 0;
            if (!parse_int<std::size_t>(tokens[i], size, 1,
                                        std::numeric_limits<std::size_t>::max() / 2)) {
                refuse("tree_sizes value '" + shorten(tokens[i]) + "' is not a block size");
            }
            if (!at_tree || size > text.size() - bounds.back()) {
                refuse("tree_sizes point past the end of the model (tree " + std::to_string(i) +
                       ")");
            }
            bounds.push_back(bounds.back() + size);
        }
        // The blocks are independent: like LightGBM's loader, read them on
        // several threads; the first refusal in tree order is reported.
        const std::size_t n_trees = tokens.size();
        model.trees.resize(n_trees);
        std::vector<std::string> errors(n_trees);
        auto read = [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                try {
                    const std::size_t offset = bounds[i];
                    const std::size_t end = bounds[i + 1];
                    const std::size_t len = line_length(text, offset);
                    if (text.substr(offset, std::min<std::size_t>(len, 5)) != "Tree=") {
                        refuse("tree_sizes do not match the tree blocks: block " +
                               std::to_string(i) + " does not start with a Tree= line");
                    }
                    std::size_t q =
                        parse_tree(text, skip_newline(text, offset + len), end, static_cast<int>(i),
                                   n_features, with_values, model.trees[i]);
                    while (q < end && (text[q] == '\n' || text[q] == '\r')) {
                        ++q;
                    }
                    if (q != end) {
                        refuse("tree_sizes do not match the tree blocks: block " +
                               std::to_string(i) + " has text after its tree");
                    }
                } catch (const ModelError &e) {
                    errors[i] = e.what();
                    return;
                }
            }
        };
        const unsigned n_threads =
            n_trees < 64 ? 1u : std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
        if (n_threads == 1) {
            read(0, n_trees);
        } else {
            std::vector<std::thread> pool;
            const std::size_t per = (n_trees + n_threads - 1) / n_threads;
            for (unsigned t = 0; t < n_threads; ++t) {
                pool.emplace_back(read, std::min(n_trees, t * per),
                                  std::min(n_trees, (t + 1) * per));
            }
            for (auto &th : pool) {
                th.join();
            }
        }
        for (const std::string &e : errors) {
            if (!e.empty()) {
                refuse(e);
            }
        }
    } else {
        while (p < text.size()) {
            const std::size_t len = line_length(text, p);
            if (len > 0) {
                std::string_view line = text.substr(p, len);
                if (line.substr(0, 5) != "Tree=") {
                    break;
                }
                LightGbmTree tree;
                p = parse_tree(text, skip_newline(text, p + len), text.size(),
                               static_cast<int>(model.trees.size()), n_features, with_values, tree);
                model.trees.push_back(std::move(tree));
            }
            p = skip_newline(text, p);
        }
    }
    if (model.trees.size() % static_cast<std::size_t>(model.num_tree_per_iteration) != 0) {
        refuse("the model holds " + std::to_string(model.trees.size()) +
               " trees, not a whole number of iterations of " +
               std::to_string(model.num_tree_per_iteration));
    }
    return model;
}

}  // namespace brinvale::core
