#include "brinvale/model_eval.hpp"

#include "model_fixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace brinvale::core;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
using Op = FeatureRecipe::Op;

InputColumn doubles(const std::vector<double> &v) {
    InputColumn c;
    c.data = v.data();
    return c;
}

InputColumn datetimes(const std::vector<std::int64_t> &v, std::int64_t per_second) {
    InputColumn c;
    c.data = v.data();
    c.type = InputColumn::Type::Datetime;
    c.ticks_per_second = per_second;
    return c;
}

FeatureRecipe recipe(Op op, std::uint32_t source = 0) {
    FeatureRecipe f;
    f.op = op;
    f.source = source;
    return f;
}

std::vector<double> rows_of(const ModelTransform &t, const std::vector<InputColumn> &cols,
                            std::size_t n) {
    std::vector<double> out(n * t.features.size());
    EXPECT_TRUE(transform_rows(t, cols, 0, n, out.data()));
    return out;
}

// A plain day-by-day calendar, to check the arithmetic one against the other.
struct Civil {
    int y, m, d;
};
bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int month_days(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

}  // namespace

TEST(ModelTransform, DatePartsFollowTheCalendarDayByDay) {
    // Every day from 1600 to 2400 at 13:45:07, in microseconds.
    std::vector<std::int64_t> ticks;
    std::vector<Civil> expect;
    std::vector<int> weekday, yday;
    Civil c{1600, 1, 1};
    // The days from 1600-01-01 to 1970-01-01, counted here rather than assumed.
    std::int64_t day = 0;
    for (Civil k{1600, 1, 1}; k.y < 1970; k.y++) {
        day -= leap(k.y) ? 366 : 365;
    }
    int wd = static_cast<int>(((day + 3) % 7 + 7) % 7);
    int doy = 1;
    for (; c.y < 2401; ++day) {
        ticks.push_back((day * 86400 + 13 * 3600 + 45 * 60 + 7) * 1000000LL);
        expect.push_back(c);
        weekday.push_back(wd);
        yday.push_back(doy);
        wd = (wd + 1) % 7;
        ++doy;
        if (++c.d > month_days(c.y, c.m)) {
            c.d = 1;
            if (++c.m > 12) {
                c.m = 1;
                ++c.y;
                doy = 1;
            }
        }
    }
    ModelTransform t;
    for (Op op : {Op::Year, Op::Month, Op::Day, Op::Hour, Op::Minute, Op::Second, Op::DayOfWeek,
                  Op::DayOfYear, Op::Quarter, Op::DateOrdinal}) {
        t.features.push_back(recipe(op));
    }
    const std::vector<InputColumn> cols{datetimes(ticks, 1000000)};
    const std::vector<double> out = rows_of(t, cols, ticks.size());
    const std::size_t nf = t.features.size();
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const double *r = &out[i * nf];
        ASSERT_EQ(r[0], expect[i].y) << i;
        ASSERT_EQ(r[1], expect[i].m) << i;
        ASSERT_EQ(r[2], expect[i].d) << i;
        ASSERT_EQ(r[3], 13);
        ASSERT_EQ(r[4], 45);
        ASSERT_EQ(r[5], 7);
        ASSERT_EQ(r[6], weekday[i]) << i;
        ASSERT_EQ(r[7], yday[i]) << i;
        ASSERT_EQ(r[8], (expect[i].m - 1) / 3 + 1);
        if (i > 0) {
            ASSERT_EQ(r[9], out[(i - 1) * nf + 9] + 1);
        }
    }
}

TEST(ModelTransform, UnitsOrdinalsAndTimesBeforeTheEpoch) {
    // One second before 1970 in every unit pandas stores: 1969-12-31 23:59:59,
    // a Wednesday (2), day 365.
    ModelTransform t;
    for (Op op : {Op::Year, Op::Month, Op::Day, Op::Hour, Op::Minute, Op::Second, Op::DayOfWeek,
                  Op::DayOfYear, Op::DateOrdinal}) {
        t.features.push_back(recipe(op));
    }
    for (std::int64_t per : {1LL, 1000LL, 1000000LL, 1000000000LL}) {
        const std::vector<std::int64_t> v{-per, -1, 0};
        const std::vector<InputColumn> cols{datetimes(v, per)};
        const auto out = rows_of(t, cols, 3);
        const std::vector<double> before{1969, 12, 31, 23, 59, 59, 2, 365, 719162};
        for (std::size_t j = 0; j < before.size(); ++j) {
            EXPECT_EQ(out[j], before[j]) << per << " " << j;
            EXPECT_EQ(out[9 + j], before[j]) << "one tick before 1970, unit " << per;
        }
        // datetime.date(1970, 1, 1).toordinal() == 719163, a Thursday.
        EXPECT_EQ(out[18 + 8], 719163);
        EXPECT_EQ(out[18 + 6], 3);
    }
}

TEST(ModelTransform, MissingDatesAndNumbersTakeTheImputersFill) {
    const std::vector<std::int64_t> when{kNaT, 0};
    const std::vector<double> x{kNaN, 2.5};
    ModelTransform t;
    t.features.push_back(recipe(Op::Year, 0));
    t.features.push_back(recipe(Op::DateOrdinal, 0));
    t.features.back().impute = true;
    t.features.back().fill = 738000.5;
    t.features.push_back(recipe(Op::Number, 1));
    t.features.back().impute = true;
    t.features.back().fill = -1.25;
    const std::vector<InputColumn> cols{datetimes(when, 1), doubles(x)};
    const auto out = rows_of(t, cols, 2);
    EXPECT_TRUE(std::isnan(out[0]));  // no imputer: NaN stays
    EXPECT_EQ(out[1], 738000.5);
    EXPECT_EQ(out[2], -1.25);
    EXPECT_EQ(out[3], 1970);
    EXPECT_EQ(out[5], 2.5);
}

TEST(ModelTransform, InfiniteValuesStopOnlyWhereTheImputerRefusesThem) {
    const std::vector<double> x{1.0, INFINITY};
    ModelTransform t;
    t.features.push_back(recipe(Op::Number));
    std::vector<double> out(2);
    const std::vector<InputColumn> cols{doubles(x)};
    EXPECT_TRUE(transform_rows(t, cols, 0, 2, out.data()));
    EXPECT_TRUE(std::isinf(out[1]));
    t.features[0].refuse_infinite = true;
    EXPECT_FALSE(transform_rows(t, cols, 0, 2, out.data()));
    EXPECT_TRUE(transform_rows(t, cols, 0, 1, out.data()));
}

TEST(ModelTransform, ColumnsOfTheWrongKindAreRefused) {
    const std::vector<double> x{1.0};
    const std::vector<std::int64_t> when{0};
    const std::vector<InputColumn> cols{doubles(x), datetimes(when, 1)};
    auto refused = [&](FeatureRecipe f) {
        ModelTransform t;
        t.features.push_back(f);
        EXPECT_THROW(check_transform(t, cols), ModelError);
    };
    refused(recipe(Op::Year, 0));      // a date part of a number
    refused(recipe(Op::Number, 1));    // a datetime as a number
    refused(recipe(Op::Category, 0));  // codes from doubles
    refused(recipe(Op::Number, 2));    // no such column
}

TEST(ModelTransform, CategoryCodesPinTextsAndNameTheSmallestUnseen) {
    const std::vector<std::string_view> cats{"__NAN__", "blue", "grün", "red"};
    TextCodeTable table(cats);
    const std::vector<std::string_view> texts{"red", "",  "x", "blue", "zz",   "b",
                                              "x",   "a", "c", "d",    "grün", "Red"};
    std::vector<std::uint8_t> missing(texts.size(), 0);
    missing[1] = 1;
    TextColumn column{{}, texts, missing};
    std::vector<std::int32_t> out(texts.size());
    std::vector<std::string> unseen;
    const std::size_t n = category_codes(column, table, 0, out, unseen, 5);
    EXPECT_EQ(n, 8u);  // x twice, zz, b, a, c, d, Red
    EXPECT_EQ(out, (std::vector<std::int32_t>{3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 0}));
    // Python's sorted(): code point order, upper case before lower case.
    EXPECT_EQ(unseen, (std::vector<std::string>{"Red", "a", "b", "c", "d"}));

    // The same through a categorical column's codes.
    const std::vector<std::int8_t> codes{2, -1, 0, 1};
    InputColumn c;
    c.data = codes.data();
    c.stride = 1;
    c.type = InputColumn::Type::I8;
    const std::vector<std::int32_t> map{3, 1, 0};
    std::vector<std::int32_t> recoded(4);
    std::vector<std::uint8_t> used;
    recode_categories(c, 4, map, 0, recoded, used);
    EXPECT_EQ(recoded, (std::vector<std::int32_t>{0, 0, 3, 1}));
    EXPECT_EQ(used, (std::vector<std::uint8_t>{1, 1, 1}));
    const std::vector<std::int8_t> bad{3};
    c.data = bad.data();
    EXPECT_THROW(recode_categories(c, 1, map, 0, recoded, used), ModelError);
}

TEST(ModelTransform, CategoriesBecomeWhatTheLearnerReads) {
    const std::vector<std::int32_t> codes{0, 1, 2, -1, 7};
    InputColumn c;
    c.data = codes.data();
    c.stride = 4;
    c.type = InputColumn::Type::I32;
    ModelTransform t;
    t.features.push_back(recipe(Op::Category));
    t.features[0].category_values = {2.0, kNaN, 0.0};
    const auto out = rows_of(t, {c}, 5);
    EXPECT_EQ(out[0], 2.0);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], 0.0);
    EXPECT_TRUE(std::isnan(out[3]));
    EXPECT_TRUE(std::isnan(out[4]));
}

// ---------------------------------------------------------------- XGBoost

namespace {

// A small UBJSON writer for hand-made XGBoost models.
struct Ubj {
    std::vector<std::uint8_t> b;
    void raw(char c) { b.push_back(static_cast<std::uint8_t>(c)); }
    void be64(std::int64_t v) {
        for (int k = 7; k >= 0; --k) {
            b.push_back(
                static_cast<std::uint8_t>((static_cast<std::uint64_t>(v) >> (8 * k)) & 0xFF));
        }
    }
    void key(const std::string &k) {
        raw('L');
        be64(static_cast<std::int64_t>(k.size()));
        b.insert(b.end(), k.begin(), k.end());
    }
    void str(const std::string &s) {
        raw('S');
        key(s);
    }
    void integer(std::int64_t v) {
        raw('L');
        be64(v);
    }
    void ints(const std::vector<std::int32_t> &v) {
        raw('[');
        raw('$');
        raw('l');
        raw('#');
        integer(static_cast<std::int64_t>(v.size()));
        for (std::int32_t x : v) {
            for (int k = 3; k >= 0; --k) {
                b.push_back(
                    static_cast<std::uint8_t>((static_cast<std::uint32_t>(x) >> (8 * k)) & 0xFF));
            }
        }
    }
    void bytes(const std::vector<std::uint8_t> &v) {
        raw('[');
        raw('$');
        raw('U');
        raw('#');
        integer(static_cast<std::int64_t>(v.size()));
        b.insert(b.end(), v.begin(), v.end());
    }
    void floats(const std::vector<float> &v) {
        raw('[');
        raw('$');
        raw('d');
        raw('#');
        integer(static_cast<std::int64_t>(v.size()));
        for (float x : v) {
            std::uint32_t u;
            std::memcpy(&u, &x, 4);
            for (int k = 3; k >= 0; --k) {
                b.push_back(static_cast<std::uint8_t>((u >> (8 * k)) & 0xFF));
            }
        }
    }
};

// Trees of three nodes: the root splits `feature` at `cond`, missing values
// go left when `default_left`; leaves hold `left_leaf` and `right_leaf`.
struct TinyTree {
    std::int32_t feature;
    float cond;
    bool default_left;
    float left_leaf, right_leaf;
    std::int32_t group = 0;
};

std::vector<std::uint8_t> tiny_model(const std::vector<TinyTree> &trees,
                                     const std::string &objective, const std::string &base_score,
                                     int num_class = 0) {
    Ubj u;
    u.raw('{');
    u.key("learner");
    u.raw('{');
    u.key("learner_model_param");
    u.raw('{');
    u.key("base_score");
    u.str(base_score);
    u.key("num_class");
    u.str(std::to_string(num_class));
    u.key("num_feature");
    u.str("2");
    u.raw('}');
    u.key("objective");
    u.raw('{');
    u.key("name");
    u.str(objective);
    u.raw('}');
    u.key("gradient_booster");
    u.raw('{');
    u.key("name");
    u.str("gbtree");
    u.key("model");
    u.raw('{');
    u.key("gbtree_model_param");
    u.raw('{');
    u.key("num_trees");
    u.str(std::to_string(trees.size()));
    u.key("num_parallel_tree");
    u.str("1");
    u.raw('}');
    u.key("tree_info");
    std::vector<std::int32_t> info;
    for (const TinyTree &t : trees) {
        info.push_back(t.group);
    }
    u.ints(info);
    u.key("trees");
    u.raw('[');
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const TinyTree &t = trees[i];
        u.raw('{');
        u.key("id");
        u.integer(static_cast<std::int64_t>(i));
        u.key("tree_param");
        u.raw('{');
        u.key("num_nodes");
        u.str("3");
        u.key("num_deleted");
        u.str("0");
        u.key("size_leaf_vector");
        u.str("1");
        u.raw('}');
        u.key("left_children");
        u.ints({1, -1, -1});
        u.key("right_children");
        u.ints({2, -1, -1});
        u.key("parents");
        u.ints({2147483647, 0, 0});
        u.key("split_indices");
        u.ints({t.feature, 0, 0});
        u.key("split_conditions");
        u.floats({t.cond, t.left_leaf, t.right_leaf});
        u.key("default_left");
        u.bytes({static_cast<std::uint8_t>(t.default_left), 0, 0});
        u.key("base_weights");
        u.floats({0, 0, 0});
        u.key("loss_changes");
        u.floats({0, 0, 0});
        u.key("sum_hessian");
        u.floats({1, 1, 1});
        u.raw('}');
    }
    u.raw(']');
    u.raw('}');
    u.raw('}');
    u.raw('}');
    u.raw('}');
    return u.b;
}

ModelTransform numbers(std::size_t n) {
    ModelTransform t;
    for (std::size_t j = 0; j < n; ++j) {
        t.features.push_back(recipe(Op::Number, static_cast<std::uint32_t>(j)));
    }
    return t;
}

}  // namespace

TEST(XgboostPredict, FloatThresholdsStrictlyBelowAndMissingToTheDefault) {
    // Values are cast to float first: the double 0.1 is the float 0.1f, not
    // below the threshold 0.1f (right); 0.09999999 is (left).
    const auto buffer = tiny_model({{0, 0.1f, true, 1.0f, 2.0f}, {1, -3.0f, false, 10.0f, 20.0f}},
                                   "reg:squarederror", "5E-1");
    XgbForest f = parse_xgboost_forest(buffer);
    EXPECT_EQ(f.base_margin, 0.5f);
    const std::vector<double> a{0.09999999, 0.1, kNaN, 1e300};
    const std::vector<double> b{kNaN, -3.0, -3.5, -1e300};
    std::vector<float> out(4);
    ASSERT_EQ(xgboost_predict(f, 2, numbers(2), std::vector<InputColumn>{doubles(a), doubles(b)}, 4,
                              true, out.data()),
              EvalStatus::Ok);
    EXPECT_EQ(out[0], (0.5f + 1.0f) + 20.0f);  // b missing: default right
    EXPECT_EQ(out[1], (0.5f + 2.0f) + 20.0f);
    EXPECT_EQ(out[2], (0.5f + 1.0f) + 10.0f);  // a missing: default left
    EXPECT_EQ(out[3], (0.5f + 2.0f) + 10.0f);  // as floats: +inf and -inf
    // The first tree alone.
    ASSERT_EQ(xgboost_predict(f, 1, numbers(2), std::vector<InputColumn>{doubles(a), doubles(b)}, 4,
                              true, out.data()),
              EvalStatus::Ok);
    EXPECT_EQ(out[0], 1.5f);
}

TEST(XgboostPredict, ObjectivesTransformTheMarginInFloat) {
    const auto logistic = tiny_model({{0, 0.0f, true, -0.75f, 1.25f}}, "binary:logistic", "3.5E-1");
    XgbForest f = parse_xgboost_forest(logistic);
    EXPECT_EQ(f.base_margin, -logf(1.0f / 0.35f - 1.0f));
    const std::vector<double> a{-1.0, 1.0, kNaN};
    std::vector<float> margin(3), value(3);
    xgboost_predict(f, 1, numbers(2), std::vector<InputColumn>{doubles(a), doubles(a)}, 3, false,
                    margin.data());
    xgboost_predict(f, 1, numbers(2), std::vector<InputColumn>{doubles(a), doubles(a)}, 3, true,
                    value.data());
    for (int i = 0; i < 3; ++i) {
        const float x = std::min(-margin[i], 88.7f);
        EXPECT_EQ(value[i], 1.0f / (expf(x) + 1.0f + 1e-16f));
    }
    const auto softprob = tiny_model({{0, 0.0f, true, -0.5f, 0.5f, 0},
                                      {0, 0.0f, true, 0.25f, -0.25f, 1},
                                      {1, 0.0f, false, 2.0f, 0.0f, 2}},
                                     "multi:softprob", "5E-1", 3);
    XgbForest g = parse_xgboost_forest(softprob);
    ASSERT_EQ(g.num_group, 3);
    std::vector<float> p(9);
    xgboost_predict(g, 3, numbers(2), std::vector<InputColumn>{doubles(a), doubles(a)}, 3, true,
                    p.data());
    for (int r = 0; r < 3; ++r) {
        EXPECT_NEAR(p[r * 3] + p[r * 3 + 1] + p[r * 3 + 2], 1.0f, 1e-6f);
    }
    EXPECT_GT(p[0 * 3 + 2], p[0 * 3 + 0]);  // row 0: class 2 scored 2.5 against 0
}

TEST(XgboostPredict, OnlyWhatIsReproducedIsParsed) {
    EXPECT_THROW(
        parse_xgboost_forest(tiny_model({{0, 0.0f, true, 1.0f, 2.0f}}, "count:poisson", "5E-1")),
        ModelError);
    EXPECT_THROW(
        parse_xgboost_forest(tiny_model({{0, 0.0f, true, 1.0f, 2.0f}}, "binary:logistic", "1")),
        ModelError);
    // The genuine pickled state: UBJSON, a binary logistic model.
    std::string hex = model_fixtures::kXgboostHex;
    std::vector<std::uint8_t> genuine;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        genuine.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    const XgbForest f = parse_xgboost_forest(genuine);
    EXPECT_EQ(f.objective, XgbForest::Objective::Logistic);
    EXPECT_EQ(f.roots.size(), f.groups.size());
    EXPECT_EQ(static_cast<std::size_t>(f.iteration_indptr.back()), f.roots.size());
    // Threads do not change a bit of it.
    std::vector<std::vector<double>> cols(static_cast<std::size_t>(f.num_feature));
    std::vector<InputColumn> in;
    for (std::size_t j = 0; j < cols.size(); ++j) {
        for (int r = 0; r < 50000; ++r) {
            cols[j].push_back(r % 17 == 0 ? kNaN : std::sin(r * 0.37 + static_cast<double>(j)));
        }
        in.push_back(doubles(cols[j]));
    }
    std::vector<float> one(50000), four(50000);
    xgboost_predict(f, f.roots.size(), numbers(cols.size()), in, 50000, true, one.data(), 1);
    xgboost_predict(f, f.roots.size(), numbers(cols.size()), in, 50000, true, four.data(), 4);
    EXPECT_EQ(std::memcmp(one.data(), four.data(), one.size() * sizeof(float)), 0);
}

// ---------------------------------------------------------------- scikit-learn

namespace {

// A stump on feature 0 at `threshold`, NaN to the left when `missing_left`.
void add_stump(SklearnTrees &t, double threshold, bool missing_left, std::vector<double> left,
               std::vector<double> right) {
    std::vector<double> values(t.outputs, 0.0);
    values.insert(values.end(), left.begin(), left.end());
    values.insert(values.end(), right.begin(), right.end());
    add_sklearn_tree(t, std::vector<std::int64_t>{1, -1, -1}, std::vector<std::int64_t>{2, -1, -1},
                     std::vector<std::int64_t>{0, -2, -2}, std::vector<double>{threshold, -2, -2},
                     std::vector<std::uint8_t>{static_cast<std::uint8_t>(missing_left), 0, 0},
                     values);
}

}  // namespace

TEST(SklearnPredict, ForestsReadFloat32AndAverageInTreeOrder) {
    SklearnTrees t;
    t.num_features = 1;
    t.outputs = 2;
    add_stump(t, 0.1, true, {0.25, 0.75}, {1.0, 0.0});
    add_stump(t, -1.0, false, {0.5, 0.5}, {0.1, 0.9});
    add_stump(t, 5.0, false, {0.3, 0.7}, {0.0, 1.0});
    // 0.1 as float32 is above the double threshold 0.1: right.
    const std::vector<double> x{0.1, 0.09999999, kNaN};
    std::vector<double> out(6);
    ASSERT_EQ(
        forest_predict(t, numbers(1), std::vector<InputColumn>{doubles(x)}, 3, true, out.data()),
        EvalStatus::Ok);
    EXPECT_EQ(out[0], ((1.0 + 0.1) + 0.3) / 3.0);
    EXPECT_EQ(out[1], ((0.0 + 0.9) + 0.7) / 3.0);
    EXPECT_EQ(out[2], ((0.25 + 0.1) + 0.3) / 3.0);
    EXPECT_EQ(out[4], ((0.25 + 0.1) + 0.0) / 3.0);  // NaN: left, right, right
    // NaN only where the forest takes it; a value beyond float32's range is
    // refused, as check_array refuses it.
    EXPECT_EQ(
        forest_predict(t, numbers(1), std::vector<InputColumn>{doubles(x)}, 3, false, out.data()),
        EvalStatus::Infinite);
    const std::vector<double> big{1.0, 1e39};
    EXPECT_EQ(
        forest_predict(t, numbers(1), std::vector<InputColumn>{doubles(big)}, 2, true, out.data()),
        EvalStatus::Infinite);
    // A tree whose nodes do not form a tree never gets in.
    EXPECT_THROW(add_sklearn_tree(t, std::vector<std::int64_t>{1, 0, -1},
                                  std::vector<std::int64_t>{2, -1, -1},
                                  std::vector<std::int64_t>{0, 0, -2}, std::vector<double>(3),
                                  std::vector<std::uint8_t>(3), std::vector<double>(6)),
                 ModelError);
}

TEST(SklearnPredict, HistGradientBoostingSumsIterationsColumnMajor) {
    SklearnTrees t;
    t.num_features = 1;
    t.outputs = 1;
    add_stump(t, 0.1, false, {1.0}, {2.0});   // iteration 0, output 0
    add_stump(t, 0.1, true, {-0.0}, {3.0});   // iteration 0, output 1
    add_stump(t, 10.0, false, {4.0}, {8.0});  // iteration 1, output 0
    add_stump(t, 10.0, false, {0.5}, {0.5});  // iteration 1, output 1
    const std::vector<double> x{0.1, kNaN};
    const std::vector<double> baseline{-0.0, 0.25};
    std::vector<double> raw(4);
    ASSERT_EQ(histgb_raw_predict(t, baseline, numbers(1), std::vector<InputColumn>{doubles(x)}, 2,
                                 raw.data()),
              EvalStatus::Ok);
    // float64 input: 0.1 <= 0.1 goes left.  Column-major (n, k).
    EXPECT_EQ(raw[0], ((0.0 + -0.0) + 1.0) + 4.0);
    EXPECT_EQ(raw[1], ((0.0 + -0.0) + 2.0) + 8.0);  // NaN right (missing_left 0)
    EXPECT_EQ(raw[2], ((0.0 + 0.25) + -0.0) + 0.5);
    EXPECT_EQ(raw[3], ((0.0 + 0.25) + -0.0) + 0.5);
    const std::vector<double> three_baselines{0, 0, 0};
    EXPECT_THROW(histgb_raw_predict(t, three_baselines, numbers(1),
                                    std::vector<InputColumn>{doubles(x)}, 2, raw.data()),
                 ModelError);
}
