#include "brinvale/models.hpp"

#include "model_fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace brinvale::core;

namespace {

std::string genuine_lgb() { return model_fixtures::kLightGbmText; }

std::vector<std::uint8_t> genuine_xgb() {
    std::string hex = model_fixtures::kXgboostHex;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// `text` with the `nth` occurrence of `from` replaced by `to`.
std::string replaced(std::string text, const std::string &from, const std::string &to,
                     int nth = 0) {
    std::size_t pos = text.find(from);
    for (int i = 0; i < nth && pos != std::string::npos; ++i) {
        pos = text.find(from, pos + 1);
    }
    EXPECT_NE(pos, std::string::npos) << from;
    if (pos != std::string::npos) {
        text.replace(pos, from.size(), to);
    }
    return text;
}

// A one-tree model over two features, trees read one after the other.
std::string one_tree(const std::string &tree, const std::string &objective = "regression",
                     const std::string &extra_header = "") {
    return "tree\nversion=v4\nnum_class=1\nnum_tree_per_iteration=1\nlabel_index=0\n"
           "max_feature_idx=1\nobjective=" +
           objective + "\n" + extra_header +
           "feature_names=a b\nfeature_infos=none none\n\nTree=0\n" + tree +
           "shrinkage=1\n\n\nend of trees\n";
}

// Root splits feature 0 at 0.5 (leaf 0 on the left); node 1 splits feature 1
// at 1.5 into leaves 1 and 2.
std::string three_leaves(const std::string &decision_type, const std::string &threshold0 = "0.5") {
    return "num_leaves=3\nnum_cat=0\nsplit_feature=0 1\nthreshold=" + threshold0 +
           " 1.5\ndecision_type=" + decision_type +
           " 0\nleft_child=-1 -2\nright_child=1 -3\n"
           "leaf_value=1 2 3\n";
}

std::vector<double> predict_rows(const LightGbmModel &m,
                                 const std::vector<std::vector<double>> &rows, bool raw = true,
                                 int iterations = 0, unsigned threads = 1) {
    const std::size_t nf = static_cast<std::size_t>(m.num_features());
    std::vector<std::vector<double>> cols(nf, std::vector<double>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t j = 0; j < nf; ++j) {
            cols[j][r] = rows[r][j];
        }
    }
    std::vector<FeatureColumn> fc(nf);
    for (std::size_t j = 0; j < nf; ++j) {
        fc[j].data = cols[j].data();
    }
    std::vector<double> out(rows.size() * static_cast<std::size_t>(m.num_tree_per_iteration));
    lightgbm_predict(m, fc, rows.size(), iterations, raw, out.data(), false, threads);
    return out;
}

void expect_refused(const std::string &text, const std::string &fragment) {
    try {
        parse_lightgbm_model(text);
        ADD_FAILURE() << "accepted a model that should be refused (" << fragment << ")";
    } catch (const ModelError &e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

}  // namespace

// ---------------------------------------------------------------- LightGBM structure

TEST(LightGbmModel, GenuineModelParses) {
    LightGbmModel m = parse_lightgbm_model(genuine_lgb());
    EXPECT_EQ(m.num_class, 3);
    EXPECT_EQ(m.num_features(), 3);
    EXPECT_EQ(m.trees.size(), 6u);
    EXPECT_EQ(m.objective.kind, LightGbmObjective::Kind::Multiclass);
    EXPECT_TRUE(m.has_categorical_splits());
    EXPECT_EQ(m.trees[2].num_leaves, 1);
    // The check before loading counts values instead of converting them.
    LightGbmModel counted = parse_lightgbm_model(genuine_lgb(), false);
    EXPECT_EQ(counted.trees.size(), 6u);
    EXPECT_TRUE(counted.trees[0].leaf_value.empty());
    EXPECT_THROW(
        parse_lightgbm_model(
            replaced(genuine_lgb(), "leaf_value=-0.97528832637258556 ", "leaf_value="), false),
        ModelError);
}

TEST(LightGbmModel, TreeSizesMustMatchTheBlocks) {
    const std::string text = genuine_lgb();
    expect_refused(replaced(text, "tree_sizes=567 ", "tree_sizes=568 "), "tree_sizes");
    expect_refused(replaced(text, "tree_sizes=567 ", "tree_sizes=566 "), "tree");
    expect_refused(replaced(text, " 224\n", " 99999\n"), "past the end");
    expect_refused(replaced(text, "tree_sizes=567 ", "tree_sizes=0 "), "tree_sizes");
    expect_refused(replaced(text, " 224\n", " 224 500\n"), "past the end");
    // Sizes that tile the text but cut a tree short.
    expect_refused(replaced(text, "tree_sizes=567 575 ", "tree_sizes=500 642 "), "tree");
}

TEST(LightGbmModel, TruncatedTextIsRefused) {
    const std::string text = genuine_lgb();
    const std::size_t first_tree = text.find("Tree=0");
    for (std::size_t cut = first_tree; cut < text.find("end of trees"); cut += 37) {
        EXPECT_THROW(parse_lightgbm_model(text.substr(0, cut)), ModelError) << cut;
    }
    // The loader reads a C string: a NUL ends the model.
    std::string with_nul = text;
    with_nul[text.find("Tree=3") + 10] = '\0';
    EXPECT_THROW(parse_lightgbm_model(with_nul), ModelError);
}

TEST(LightGbmModel, IndicesOutOfRangeAreRefused) {
    const std::string text = genuine_lgb();
    expect_refused(replaced(text, "split_feature=0 2 0", "split_feature=0 3 0"), "split_feature");
    expect_refused(replaced(text, "split_feature=0 2 0", "split_feature=0 -1 0"), "split_feature");
    expect_refused(replaced(text, "left_child=1 2 -1", "left_child=1 3 -1"), "child");
    expect_refused(replaced(text, "right_child=-2 -3 -4", "right_child=-2 -3 -5"), "child");
    expect_refused(replaced(one_tree(three_leaves("2")), "right_child=1 -3", "right_child=7 -3"),
                   "child");
}

TEST(LightGbmModel, CyclesAndSharedNodesAreRefused) {
    // Node 1 leads back to the root.
    expect_refused(replaced(one_tree(three_leaves("2")), "left_child=-1 -2", "left_child=-1 0"),
                   "reached twice");
    // Node 1 is its own child.
    expect_refused(replaced(one_tree(three_leaves("2")), "left_child=-1 -2", "left_child=-1 1"),
                   "reached twice");
    // Both children of the root are leaf 0; leaves 1 and 2 are never reached.
    expect_refused(replaced(one_tree(three_leaves("2")), "right_child=1 -3", "right_child=-1 -3"),
                   "reached twice");
}

TEST(LightGbmModel, DisconnectedNodesAreRefused) {
    // Leaf 2 is referenced by no node.
    std::string tree = "num_leaves=3\nnum_cat=0\nsplit_feature=0 1\nthreshold=0.5 1.5\n"
                       "decision_type=0 0\nleft_child=-1 -2\nright_child=-2 -1\nleaf_value=1 2 3\n";
    EXPECT_THROW(parse_lightgbm_model(one_tree(tree)), ModelError);
    // Node 1 is referenced by nobody.
    tree = "num_leaves=3\nnum_cat=0\nsplit_feature=0 1\nthreshold=0.5 1.5\n"
           "decision_type=0 0\nleft_child=-1 -2\nright_child=-3 -3\nleaf_value=1 2 3\n";
    EXPECT_THROW(parse_lightgbm_model(one_tree(tree)), ModelError);
}

TEST(LightGbmModel, HeaderCountsAreChecked) {
    const std::string text = genuine_lgb();
    expect_refused(replaced(text, "num_tree_per_iteration=3", "num_tree_per_iteration=0"),
                   "num_tree_per_iteration");
    expect_refused(replaced(text, "num_tree_per_iteration=3", "num_tree_per_iteration=2"),
                   "trees per iteration");
    expect_refused(replaced(text, "objective=multiclass num_class:3", "objective="), "objective");
    expect_refused(replaced(text, "num_class:3", "num_class:9"), "num_class");
    expect_refused(replaced(text, "objective=multiclass", "objective=nonsense"), "unknown");
    expect_refused(replaced(text, "max_feature_idx=2", "max_feature_idx=7"), "feature_names");
    expect_refused(replaced(text, "num_class=3", "num_class=x"), "num_class");
    expect_refused(one_tree(three_leaves("2"), "binary sigmoid:0"), "sigmoid");
    // Five trees are not a whole number of three-tree iterations.
    const std::size_t last = text.find("Tree=5");
    std::string five = text.substr(0, last) + "end of trees\n";
    five = replaced(five, " 224\n", "\n");
    expect_refused(five, "whole number");
}

TEST(LightGbmModel, ArrayLengthsAndCategoriesAreChecked) {
    const std::string text = genuine_lgb();
    expect_refused(replaced(one_tree(three_leaves("2")), "threshold=0.5 1.5", "threshold=0.5"),
                   "threshold");
    expect_refused(replaced(one_tree(three_leaves("2")), "leaf_value=1 2 3", "leaf_value=1 2 3 4"),
                   "leaf_value");
    expect_refused(replaced(one_tree(three_leaves("2")), "leaf_value=1 2 3", "leaf_value=1 2 x"),
                   "leaf_value");
    expect_refused(replaced(text, "num_leaves=4", "num_leaves=0"), "num_leaves");
    expect_refused(replaced(text, "num_leaves=4", "num_leaves=2147483647"), "tree");
    // The categorical node names category set 5 of a tree with one.
    expect_refused(
        replaced(text, "threshold=0.50520720525958918 0 ", "threshold=0.50520720525958918 5 "),
        "category set");
    expect_refused(replaced(text, "cat_boundaries=0 1", "cat_boundaries=1 1"), "cat_boundaries");
    expect_refused(replaced(text, "decision_type=10 1 10", "decision_type=10 1 14"), "missing");
    // A categorical flag in a tree without category sets.
    expect_refused(one_tree(three_leaves("3")), "category set");
}

TEST(LightGbmModel, TreeBlocksAreKeyValueLinesEndedByAnEmptyLine) {
    expect_refused(
        replaced(one_tree(three_leaves("2")), "leaf_value=1 2 3\n", "leaf_value 1 2 3\n"),
        "key=value");
    std::string many;
    for (int i = 0; i < 23; ++i) {
        many += "extra" + std::to_string(i) + "=1\n";
    }
    expect_refused(one_tree(three_leaves("2") + many), "lines");
    expect_refused(replaced(one_tree(three_leaves("2")), "leaf_value=1 2 3\n",
                            "leaf_value=1 2 3\nleaf_value=1 2 3\n"),
                   "twice");
    std::string unterminated = one_tree(three_leaves("2"));
    unterminated = unterminated.substr(0, unterminated.find("shrinkage=1") + 11);
    expect_refused(unterminated, "empty line");
}

// Random corruptions of a genuine model: each is refused or accepted, and an
// accepted model evaluates without reading outside its arrays (the sanitized
// build checks that).
TEST(LightGbmModel, RandomCorruptionsAreRefusedOrSafe) {
    const std::string text = genuine_lgb();
    std::mt19937 rng(12345);
    const std::string alphabet = "0123456789-= \n.eTtx\r";
    int accepted = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        std::string s = text;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t pos = rng() % s.size();
            switch (rng() % 4) {
            case 0:
                s[pos] = alphabet[rng() % alphabet.size()];
                break;
            case 1:
                s.erase(pos, 1 + rng() % 3);
                break;
            case 2:
                s.insert(pos, 1, alphabet[rng() % alphabet.size()]);
                break;
            case 3:
                s.resize(pos);
                break;
            }
            if (s.empty()) {
                s.push_back('x');
            }
        }
        try {
            LightGbmModel m = parse_lightgbm_model(s);
            ++accepted;
            std::vector<std::vector<double>> rows;
            for (double v : {-1.0, 0.0, 0.3, 0.7, 2.0, 4.0, 1e9, std::nan("")}) {
                rows.push_back(std::vector<double>(static_cast<std::size_t>(m.num_features()), v));
            }
            predict_rows(m, rows, false);
        } catch (const ModelError &) {
        }
    }
    EXPECT_GT(accepted, 0);  // some edits only touch values
}

// ---------------------------------------------------------------- LightGBM prediction

TEST(LightGbmPredict, NumericalSplitsAndMissingValueTypes) {
    // Missing type none: NaN reads as 0.0, which goes left of 0.5.
    auto none = parse_lightgbm_model(one_tree(three_leaves("0")));
    EXPECT_EQ(predict_rows(none, {{0.3, 0}, {0.7, 1.0}, {0.7, 2.0}, {NAN, 9}, {0.5, 0}}),
              (std::vector<double>{1, 2, 3, 1, 1}));
    // Missing type NaN: NaN follows the default direction.
    auto nan_left = parse_lightgbm_model(one_tree(three_leaves("10")));
    auto nan_right = parse_lightgbm_model(one_tree(three_leaves("8")));
    EXPECT_EQ(predict_rows(nan_left, {{NAN, 9}})[0], 1.0);
    EXPECT_EQ(predict_rows(nan_right, {{NAN, 9}})[0], 3.0);
    EXPECT_EQ(predict_rows(nan_right, {{0.2, 9}})[0], 1.0);
    // Missing type zero: 0 and values within 1e-35 of it take the default.
    auto zero_right = parse_lightgbm_model(one_tree(three_leaves("4", "1")));
    EXPECT_EQ(predict_rows(zero_right, {{0.0, 1}, {1e-36, 1}, {-1e-36, 1}, {0.5, 1}, {NAN, 1}}),
              (std::vector<double>{2, 2, 2, 1, 2}));
}

TEST(LightGbmPredict, TinyValuesReadAsZeroAsInTheCApi) {
    // 1e-36 is within LightGBM's zero threshold: it is 0 <= 1e-37, left.
    auto m = parse_lightgbm_model(one_tree(three_leaves("0", "1e-37")));
    EXPECT_EQ(predict_rows(m, {{1e-36, 0}, {2e-35, 2}})[0], 1.0);
    EXPECT_EQ(predict_rows(m, {{1e-36, 0}, {2e-35, 2}})[1], 3.0);
}

TEST(LightGbmPredict, CategoricalSplitsReadTheBitset) {
    // Categories 0, 1 and 2 (bits of 7) go left, others and NaN right;
    // negative and huge values are no category.
    std::string tree = "num_leaves=2\nnum_cat=1\nsplit_feature=1\nthreshold=0\ndecision_type=1\n"
                       "left_child=-1\nright_child=-2\nleaf_value=10 20\ncat_boundaries=0 1\n"
                       "cat_threshold=7\n";
    auto m = parse_lightgbm_model(one_tree(tree));
    EXPECT_EQ(
        predict_rows(m, {{0, 0}, {0, 2}, {0, 2.9}, {0, 3}, {0, 40}, {0, -1}, {0, NAN}, {0, 1e12}}),
        (std::vector<double>{10, 10, 10, 20, 20, 20, 20, 20}));
}

TEST(LightGbmPredict, ObjectivesTransformTheSum) {
    auto binary = parse_lightgbm_model(one_tree(three_leaves("0"), "binary sigmoid:2"));
    EXPECT_EQ(predict_rows(binary, {{0.7, 2.0}}, false)[0], 1.0 / (1.0 + std::exp(-2.0 * 3.0)));
    auto poisson = parse_lightgbm_model(one_tree(three_leaves("0"), "poisson"));
    EXPECT_EQ(predict_rows(poisson, {{0.7, 1.0}}, false)[0], std::exp(2.0));
    auto root = parse_lightgbm_model(one_tree(three_leaves("0"), "regression sqrt"));
    EXPECT_EQ(predict_rows(root, {{0.7, 2.0}}, false)[0], 9.0);

    LightGbmModel multi = parse_lightgbm_model(genuine_lgb());
    auto p = predict_rows(multi, {{0.2, 0.5, 1}, {0.9, 0.1, 4}, {NAN, 0.3, 2}}, false);
    auto raw = predict_rows(multi, {{0.2, 0.5, 1}, {0.9, 0.1, 4}, {NAN, 0.3, 2}}, true);
    for (std::size_t r = 0; r < 3; ++r) {
        double wmax = std::max(raw[r * 3], std::max(raw[r * 3 + 1], raw[r * 3 + 2]));
        double sum = 0.0;
        double e[3];
        for (int c = 0; c < 3; ++c) {
            e[c] = std::exp(raw[r * 3 + static_cast<std::size_t>(c)] - wmax);
            sum += e[c];
        }
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(p[r * 3 + static_cast<std::size_t>(c)], e[c] / sum);
        }
    }
}

TEST(LightGbmPredict, IterationsAndAveragesFollowTheTreeOrder) {
    LightGbmModel m = parse_lightgbm_model(genuine_lgb());
    std::vector<std::vector<double>> rows{{0.2, 0.5, 1}, {0.9, 0.1, 4}};
    auto first = predict_rows(m, rows, true, 1);
    auto all = predict_rows(m, rows, true, 0);
    auto beyond = predict_rows(m, rows, true, 99);
    EXPECT_EQ(all, beyond);
    // The second iteration's trees add to the first's sum, class by class.
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            LightGbmModel one = m;
            one.trees = {m.trees[3 + c]};
            one.num_class = one.num_tree_per_iteration = 1;
            one.objective = {};
            EXPECT_EQ(all[r * 3 + c], first[r * 3 + c] + predict_rows(one, {rows[r]})[0]);
        }
    }
    // Random-forest models average the iterations' sum.
    m.average_output = true;
    m.objective = {};
    auto avg = predict_rows(m, rows, false);
    for (std::size_t i = 0; i < avg.size(); ++i) {
        EXPECT_EQ(avg[i], all[i] / 2);
    }
}

TEST(LightGbmPredict, ThreadsGiveTheSameOutput) {
    LightGbmModel m = parse_lightgbm_model(genuine_lgb());
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::vector<double>> rows(50000);
    for (auto &r : rows) {
        r = {u(rng) < 0.1 ? NAN : u(rng), u(rng), std::floor(u(rng) * 6)};
    }
    EXPECT_EQ(predict_rows(m, rows, false, 0, 1), predict_rows(m, rows, false, 0, 4));
}

TEST(LightGbmPredict, ColumnsOfEveryDtypeAndStrideWithFill) {
    auto m = parse_lightgbm_model(one_tree(three_leaves("0")));
    std::int32_t ints[] = {0, 9, 1, 9, 1, 9};  // stride of two int32
    double floats[] = {NAN, 1.0, 2.0};
    FeatureColumn c0{ints, 8, FeatureColumn::Type::I32};
    FeatureColumn c1{floats, 8, FeatureColumn::Type::F64, true, 5.0};
    std::vector<FeatureColumn> cols{c0, c1};
    std::vector<double> out(3);
    lightgbm_predict(m, cols, 3, 0, true, out.data());
    // Row 0: feature 0 is 0 -> leaf 0; rows 1, 2: 1 > 0.5, then 1.0 and 2.0.
    EXPECT_EQ(out, (std::vector<double>{1, 2, 3}));
    floats[0] = NAN;
    cols[0].data = floats;
    cols[0].type = FeatureColumn::Type::F64;
    cols[0].has_fill = true;
    cols[0].fill = 0.9;  // NaN imputed before the tree sees it
    lightgbm_predict(m, cols, 1, 0, true, out.data());
    EXPECT_EQ(out[0], 3.0);
    floats[1] = INFINITY;
    EXPECT_EQ(lightgbm_predict(m, cols, 3, 0, true, out.data(), true), PredictStatus::Infinite);
}

TEST(LightGbmAtof, MatchesTheLibrarysParser) {
    EXPECT_EQ(lightgbm_atof("1"), 1.0);
    EXPECT_EQ(lightgbm_atof("2.5"), 2.5);
    EXPECT_EQ(lightgbm_atof("-1e2"), -100.0);
    EXPECT_EQ(lightgbm_atof("inf"), 1e308);
    EXPECT_TRUE(std::isnan(lightgbm_atof("nan")));
    EXPECT_THROW(lightgbm_atof("abc"), ModelError);
}

// ---------------------------------------------------------------- XGBoost

namespace {

std::vector<std::uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

// A JSON model: one tree of three nodes (feature 1 at the root), two features.
std::string xgb_json(const std::string &tree_fields, const std::string &tree_info = "[0]",
                     const std::string &model_param = "\"num_feature\":\"2\",\"num_class\":\"0\"",
                     const std::string &extra_tree = "") {
    return "{\"Config\":{},\"Model\":{\"learner\":{\"attributes\":{},\"learner_model_param\":{" +
           model_param +
           "},\"objective\":{\"name\":\"reg:squarederror\"},"
           "\"gradient_booster\":{\"name\":\"gbtree\",\"model\":{\"gbtree_model_param\":{"
           "\"num_trees\":\"" +
           std::string(extra_tree.empty() ? "1" : "2") +
           "\",\"num_parallel_tree\":\"1\"},\"iteration_indptr\":[0," +
           std::string(extra_tree.empty() ? "1" : "2") + "],\"tree_info\":" + tree_info +
           ",\"trees\":[{\"id\":0," + tree_fields + "}" + extra_tree + "]}}},\"version\":[2,1,4]}}";
}

std::string fields(const std::string &left = "[1,-1,-1]", const std::string &right = "[2,-1,-1]",
                   const std::string &parents = "[2147483647,0,0]",
                   const std::string &split = "[1,0,0]", int nodes = 3, int deleted = 0) {
    return "\"tree_param\":{\"num_nodes\":\"" + std::to_string(nodes) + "\",\"num_deleted\":\"" +
           std::to_string(deleted) +
           "\",\"num_feature\":\"2\",\"size_leaf_vector\":\"1\"},\"left_children\":" + left +
           ",\"right_children\":" + right + ",\"parents\":" + parents +
           ",\"split_indices\":" + split +
           ",\"split_conditions\":[0.5,1.0,2.0],\"default_left\":[0,0,0],"
           "\"base_weights\":[0.0,1.0,2.0],\"loss_changes\":[1.0,0.0,0.0],"
           "\"sum_hessian\":[3.0,1.0,2.0]";
}

void expect_xgb_refused(const std::string &json, const std::string &fragment) {
    try {
        check_xgboost_model(bytes_of(json));
        ADD_FAILURE() << "accepted a model that should be refused (" << fragment << ")";
    } catch (const ModelError &e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

}  // namespace

TEST(XgboostModel, GenuineBuffersPass) {
    XgbSummary s = check_xgboost_model(genuine_xgb());
    EXPECT_EQ(s.booster, "gbtree");
    EXPECT_EQ(s.num_trees, 2);
    EXPECT_EQ(s.num_feature, 3);
    XgbSummary j = check_xgboost_model(bytes_of(xgb_json(fields())));
    EXPECT_EQ(j.num_trees, 1);
}

TEST(XgboostModel, EveryTruncationIsRefused) {
    const auto raw = genuine_xgb();
    for (std::size_t n = 0; n < raw.size(); ++n) {
        EXPECT_THROW(check_xgboost_model({raw.data(), n}), ModelError) << n;
    }
}

TEST(XgboostModel, RandomCorruptionsNeverReadOutside) {
    const auto raw = genuine_xgb();
    std::mt19937 rng(99);
    int refused = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        auto b = raw;
        for (int e = 0; e < 1 + static_cast<int>(rng() % 3); ++e) {
            b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
        }
        try {
            check_xgboost_model(b);
        } catch (const ModelError &) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}

TEST(XgboostModel, LengthsBeyondTheBufferAreRefused) {
    auto raw = genuine_xgb();
    // The first key's int64 length, made huge.
    raw[3] = 0x7f;
    EXPECT_THROW(check_xgboost_model(raw), ModelError);
    EXPECT_THROW(check_xgboost_model(bytes_of("binf\x01\x02\x03")), ModelError);
    EXPECT_THROW(check_xgboost_model(bytes_of("")), ModelError);
}

TEST(XgboostModel, TreeIndicesAreChecked) {
    expect_xgb_refused(xgb_json(fields("[3,-1,-1]", "[4,-1,-1]")), "outside");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[1,-1,-1]")), "right child next to");
    expect_xgb_refused(xgb_json(fields("[1,0,-1]", "[2,1,-1]")), "reached twice");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,5,0]")), "parent");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,1,0]")), "parents");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,0,0]", "[2,0,0]")),
                       "feature");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,0,0]", "[-3,0,0]")),
                       "feature");
    expect_xgb_refused(xgb_json(fields(), "[1]"), "output");
    expect_xgb_refused(xgb_json(fields("[-1,-1,-1]", "[-1,-1,-1]")), "not reached");
    expect_xgb_refused(xgb_json(fields("[-1,-1,-1]", "[2,-1,-1]")), "right child");
}

TEST(XgboostModel, ArrayLengthsAndCountsAreChecked) {
    expect_xgb_refused(xgb_json(fields("[1,-1]")), "left_children");
    expect_xgb_refused(xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,0,0]", "[1,0,0]", 4)),
                       "values for 4");
    expect_xgb_refused(xgb_json(fields(), "[0,0]"), "tree_info");
    expect_xgb_refused(
        xgb_json(fields(), "[0,0]", "\"num_feature\":\"2\"", ",{\"id\":0," + fields() + "}"), "id");
    expect_xgb_refused(
        xgb_json(fields("[1,-1,-1]", "[2,-1,-1]", "[2147483647,0,0]", "[1,0,0]", 3, 1)), "deleted");
    std::string gblinear =
        "{\"learner\":{\"attributes\":{},\"learner_model_param\":{\"num_feature\":\"2\"},"
        "\"objective\":{\"name\":\"reg:squarederror\"},\"gradient_booster\":{\"name\":"
        "\"gblinear\",\"model\":{\"weights\":[0.1,0.2]}}},\"version\":[2,1,4]}";
    expect_xgb_refused(gblinear, "weights");
    EXPECT_NO_THROW(
        check_xgboost_model(bytes_of(replaced(gblinear, "[0.1,0.2]", "[0.1,0.2,0.3]"))));
}

TEST(XgboostModel, DeletedNodesStayOutsideTheTree) {
    // Nodes 3 and 4 were pruned: marked deleted, unreachable, still with parents.
    std::string five = fields("[1,-1,-1,-1,-1]", "[2,-1,-1,-1,-1]", "[2147483647,0,0,1,1]",
                              "[1,0,0,4294967295,4294967295]", 5, 2);
    five = replaced(five, "[0.5,1.0,2.0]", "[0.5,1.0,2.0,0,0]");
    five = replaced(five, "\"default_left\":[0,0,0]", "\"default_left\":[0,0,0,0,0]");
    five = replaced(five, "[0.0,1.0,2.0]", "[0.0,1.0,2.0,0,0]");
    five = replaced(five, "[1.0,0.0,0.0]", "[1.0,0.0,0.0,0,0]");
    five = replaced(five, "[3.0,1.0,2.0]", "[3.0,1.0,2.0,0,0]");
    EXPECT_NO_THROW(check_xgboost_model(bytes_of(xgb_json(five))));
    expect_xgb_refused(xgb_json(replaced(five, "[1,-1,-1,-1,-1]", "[1,3,-1,-1,-1]")),
                       "right child");
}

TEST(XgboostModel, CategoricalSplitsAreChecked) {
    const std::string cat = fields() + ",\"split_type\":[1,0,0],\"categories_nodes\":[0],"
                                       "\"categories_segments\":[0],\"categories_sizes\":[2],"
                                       "\"categories\":[1,3]";
    EXPECT_NO_THROW(check_xgboost_model(bytes_of(xgb_json(cat))));
    expect_xgb_refused(
        xgb_json(replaced(cat, "\"categories_sizes\":[2]", "\"categories_sizes\":[3]")),
        "outside the categories");
    expect_xgb_refused(xgb_json(replaced(cat, "\"categories\":[1,3]", "\"categories\":[1,-3]")),
                       "category");
    expect_xgb_refused(
        xgb_json(replaced(cat, "\"categories_nodes\":[0]", "\"categories_nodes\":[7]")),
        "categories_nodes");
    expect_xgb_refused(xgb_json(replaced(cat, "\"split_type\":[1,0,0]", "\"split_type\":[0,0,0]")),
                       "disagree");
}

TEST(XgboostModel, MalformedDocumentsAreRefused) {
    const std::string good = xgb_json(fields());
    expect_xgb_refused(good + "x", "after its end");
    expect_xgb_refused(replaced(good, "\"attributes\":{}", "\"attributes\":{},\"attributes\":{}"),
                       "repeats");
    std::string deep = "{\"a\":";
    for (int i = 0; i < 100; ++i) {
        deep += "[";
    }
    expect_xgb_refused(deep, "nests deeper");
    expect_xgb_refused("{\"learner\":{}}", "learner_model_param");
}

// 300,000 keys in one object: a search per key would take hours.
TEST(XgboostModel, ManyKeysAreReadInLinearTime) {
    std::string wide = "{";
    for (int i = 0; i < 300000; ++i) {
        wide += "\"k" + std::to_string(i) + "\":0,";
    }
    const std::string good = xgb_json(fields());
    // the long object stands before the model's own keys
    const std::string many = "{\"x\":" + wide + "\"end\":1}," + good.substr(1);
    EXPECT_NO_THROW(check_xgboost_model(bytes_of(many)));
    expect_xgb_refused(wide + "\"k7\":1}", "repeats the key 'k7'");
    expect_xgb_refused(wide + "\"k299999\":1}", "repeats the key 'k299999'");
    // the same in UBJSON
    std::string ubj = "{";
    for (int i = 0; i < 300000; ++i) {
        const std::string key = "k" + std::to_string(i);
        ubj += "L";
        for (int b = 7; b >= 0; --b) {
            ubj += static_cast<char>((key.size() >> (8 * b)) & 0xff);
        }
        ubj += key + "Z";
    }
    std::string repeat = ubj + ubj.substr(1, ubj.find('Z')) + "}";
    expect_xgb_refused(repeat, "repeats the key 'k0'");
}

// ---------------------------------------------------------------- scikit-learn

TEST(SklearnTree, ChildrenAndFeaturesAreChecked) {
    using V = std::vector<std::int64_t>;
    EXPECT_NO_THROW(check_sklearn_tree(V{1, -1, -1}, V{2, -1, -1}, V{0, -2, -2}, 1));
    EXPECT_THROW(check_sklearn_tree(V{1, -1, -1}, V{5, -1, -1}, V{0, -2, -2}, 1), ModelError);
    EXPECT_THROW(check_sklearn_tree(V{1, 0, -1}, V{2, 2, -1}, V{0, 0, -2}, 1), ModelError);
    EXPECT_THROW(check_sklearn_tree(V{1, -1, -1}, V{2, -1, -1}, V{3, -2, -2}, 1), ModelError);
    EXPECT_THROW(check_sklearn_tree(V{1, -1, -1}, V{-1, -1, -1}, V{0, -2, -2}, 1), ModelError);
    EXPECT_THROW(check_sklearn_tree(V{-1, -1, -1}, V{-1, -1, -1}, V{0, -2, -2}, 1), ModelError);
    EXPECT_THROW(check_sklearn_tree(V{}, V{}, V{}, 1), ModelError);
}
