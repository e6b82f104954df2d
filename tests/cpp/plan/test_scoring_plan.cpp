#include "brinvale/scoring_plan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace brinvale::core::plan;

namespace {

// libm stands in for NumPy's loops: the tests here check the plan's
// bookkeeping, not the last bit of a logarithm.
struct LibmUfuncs final : Ufuncs {
    void log(std::span<double> v) override {
        for (double &x : v)
            x = std::log(x);
    }
    void sin(std::span<double> v) override {
        for (double &x : v)
            x = std::sin(x);
    }
    void cos(std::span<double> v) override {
        for (double &x : v)
            x = std::cos(x);
    }
    void exp(std::span<double> v) override {
        for (double &x : v)
            x = std::exp(x);
    }
    void rint(std::span<double> v) override {
        for (double &x : v)
            x = std::rint(x);
    }
};

Column floats(const std::string &label, std::vector<double> v) {
    Column c;
    c.label = label;
    c.kind = Kind::f64;
    c.f = std::move(v);
    return c;
}

Column ints(const std::string &label, std::vector<std::int64_t> v) {
    Column c;
    c.label = label;
    c.kind = Kind::i64;
    c.i = std::move(v);
    return c;
}

Node node(Op op, const std::string &label, std::vector<std::string> operands,
          std::vector<int> nested = {}) {
    Node n;
    n.op = op;
    n.key = label;
    n.label = label;
    n.operands = std::move(operands);
    n.nested = nested.empty() ? std::vector<int>(n.operands.size(), -1) : std::move(nested);
    return n;
}

std::vector<std::string> labels(const Frame &f) {
    std::vector<std::string> out;
    for (const Column &c : f.columns) {
        out.push_back(c.label);
    }
    return out;
}

}  // namespace

TEST(ScoringPlan, NestedNamesAreComputedWhenMissingAndDroppedAfterwards) {
    const std::string add = "add###a|||b$$$";
    const std::string divide = "divide###add###a|||b$$$|||b$$$";
    Plan plan;
    plan.nodes.push_back(node(Op::add, add, {"a", "b"}));
    plan.nodes.push_back(node(Op::divide, divide, {add, "b"}, {0, -1}));
    plan.roots = {1};
    LibmUfuncs math;

    Frame frame;
    frame.rows = 3;
    frame.columns = {floats("a", {1, 2, 4}), floats("b", {3, 1, 2})};
    run(plan, frame, "", math);
    EXPECT_EQ(labels(frame), (std::vector<std::string>{"a", "b", divide}));

    // an existing nested column is neither recomputed nor dropped
    Frame kept;
    kept.rows = 3;
    kept.columns = {floats("a", {1, 2, 4}), floats("b", {3, 1, 2}), floats(add, {0, 1, 0})};
    run(plan, kept, "", math);
    EXPECT_EQ(labels(kept), (std::vector<std::string>{"a", "b", add, divide}));
    EXPECT_EQ(kept.find(add)->f, (std::vector<double>{0, 1, 0}));
    EXPECT_EQ(frame.find(divide)->f.size(), 3u);
    EXPECT_NE(kept.find(divide)->f, frame.find(divide)->f);
}

TEST(ScoringPlan, CountAddsTheRecordToTheNewRows) {
    // record {a: 5, c: 1}, new values a, b: the rows get 6 and 1 before the
    // z-score
    auto rec = std::make_shared<Record>();
    rec->values[number_key(1.0)] = 5;
    rec->values[number_key(3.0)] = 1;
    Plan plan;
    plan.nodes.push_back(node(Op::count, "count###k$$$", {"k"}));
    plan.nodes[0].record = rec;
    plan.roots = {0};
    LibmUfuncs math;
    Frame frame;
    frame.rows = 2;
    frame.columns = {ints("k", {1, 2}), floats("x", {NAN, 4.0})};
    run(plan, frame, "", math);
    const std::vector<double> &f = frame.find("count###k$$$")->f;
    // z-scores of [6, 1]: mean 3.5, sample std 5/sqrt(2)
    EXPECT_DOUBLE_EQ(f[0], 2.5 / (5 / std::sqrt(2.0)));
    EXPECT_DOUBLE_EQ(f[1], -2.5 / (5 / std::sqrt(2.0)));
    // the final fill reaches the other columns: x's missing value becomes its median
    EXPECT_EQ(frame.find("x")->f, (std::vector<double>{4.0, 4.0}));
}

TEST(ScoringPlan, AggregateCombinesTheRecordPerStatistic) {
    LibmUfuncs math;
    auto run_stat = [&](const std::string &stat, std::shared_ptr<Record> rec,
                        std::vector<std::int64_t> g, std::vector<double> x, RunResult *out) {
        Plan plan;
        plan.nodes.push_back(node(Op::aggregate, "agg", {stat, "x", "g"}));
        plan.nodes[0].stat = stat;
        plan.nodes[0].record = std::move(rec);
        plan.roots = {0};
        Frame frame;
        frame.rows = x.size();
        frame.columns = {ints("g", std::move(g)), floats("x", std::move(x))};
        RunResult r = run(plan, frame, "", math);
        if (out) {
            *out = r;
        }
        return frame.find("agg")->f;
    };
    // min with record {g1: 3} and new minima {g1: 1, g2: 7}: 1 and 7, so the
    // z-scores of [1, 7, 7] for the rows g1, g2, g2
    auto rec = std::make_shared<Record>();
    rec->values[number_key(1.0)] = 3;
    std::vector<double> got = run_stat("min", rec, {1, 2, 2}, {1, 7, 9}, nullptr);
    EXPECT_LT(got[0], 0);
    EXPECT_EQ(got[1], got[2]);

    // mean: record 10 over 2 rows for g1, new mean 4 over 1 row: 8 for g1;
    // the combined table goes to the records
    auto mean = std::make_shared<Record>();
    mean->values[number_key(1.0)] = 10;
    mean->lengths[number_key(1.0)] = 2;
    mean->data_keys = {1};
    mean->length_keys = {1};
    RunResult r;
    run_stat("mean", mean, {1, 2}, {4, 6}, &r);
    ASSERT_EQ(r.mean_counts.size(), 1u);
    const MeanCountTable &t = r.mean_counts[0];
    EXPECT_EQ(t.keys, (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(t.record_mean, (std::vector<double>{10, 0}));
    EXPECT_EQ(t.new_mean, (std::vector<double>{4, 6}));
    EXPECT_EQ(t.record_rows, (std::vector<double>{2, 0}));
    EXPECT_EQ(t.new_rows, (std::vector<double>{1, 1}));
    EXPECT_FALSE(t.record_rows_whole);
    EXPECT_TRUE(t.new_rows_whole);

    // var ignores the new rows; a group absent from the record is missing,
    // then the column's median
    auto var = std::make_shared<Record>();
    var->values[number_key(1.0)] = 2;
    var->values[number_key(2.0)] = 8;
    got = run_stat("var", var, {1, 2, 3}, {0, 0, 0}, nullptr);
    EXPECT_EQ(got[2], (got[0] + got[1]) / 2);
}

TEST(ScoringPlan, MissingKeysAndOtherDtypesAreNotPlanned) {
    LibmUfuncs math;
    auto rec = std::make_shared<Record>();
    Plan plan;
    plan.nodes.push_back(node(Op::count, "count###k$$$", {"k"}));
    plan.nodes[0].record = rec;
    plan.roots = {0};
    Frame frame;
    frame.rows = 2;
    frame.columns = {floats("k", {1, NAN})};
    EXPECT_THROW(run(plan, frame, "", math), Unplanned);

    Frame text;
    text.rows = 2;
    Column k;
    k.label = "k";
    text.columns = {k};
    EXPECT_THROW(run(plan, text, "", math), Unplanned);

    Frame absent;
    absent.rows = 1;
    absent.columns = {floats("x", {1})};
    EXPECT_THROW(run(plan, absent, "", math), Unplanned);

    // integer sums of two int64 columns have their own reductions
    Plan add;
    add.nodes.push_back(node(Op::add, "add###a|||b$$$", {"a", "b"}));
    add.roots = {0};
    Frame two;
    two.rows = 2;
    two.columns = {ints("a", {1, 2}), ints("b", {3, 4})};
    EXPECT_THROW(run(add, two, "", math), Unplanned);
}

TEST(ScoringPlan, WindowsRestartInsideTheConfiguredGroups) {
    LibmUfuncs math;
    Plan plan;
    Node tsum = node(Op::rolling, "tsum###x|||2$$$", {"x", "2"});
    tsum.window_stat = 0;  // WindowStat::Sum
    tsum.grouped_stat = 0;
    tsum.length = 2;
    plan.nodes.push_back(tsum);
    Node delay = node(Op::delay, "delay###v|||1$$$", {"v", "1"});
    delay.length = 1;
    plan.nodes.push_back(delay);
    plan.roots = {0, 1};
    Frame frame;
    frame.rows = 4;
    frame.columns = {ints("g", {0, 0, 1, 1}), floats("x", {1, 2, 3, 4}), ints("v", {1, 2, 3, 4})};
    run(plan, frame, "g", math);
    const std::vector<double> &s = frame.find("tsum###x|||2$$$")->f;
    EXPECT_TRUE(std::isnan(s[0]) && std::isnan(s[2]));
    EXPECT_EQ(s[1], 3);
    EXPECT_EQ(s[3], 7);
    // an int64 column shifted with rows left without a source becomes float64
    const Column *d = frame.find("delay###v|||1$$$");
    ASSERT_EQ(d->kind, Kind::f64);
    EXPECT_TRUE(std::isnan(d->f[0]) && std::isnan(d->f[2]));
    EXPECT_EQ(d->f[1], 1);
    EXPECT_EQ(d->f[3], 3);
    // a group column the frame lacks is the engine's KeyError
    EXPECT_THROW(run(plan, frame, "colony", math), Unplanned);
}

TEST(ScoringPlan, HiststatCountsRowsPerIdAndReducesThemPerGroup) {
    LibmUfuncs math;
    auto hist = [&](const std::string &stat, Column ids, Column keys) {
        Plan plan;
        Node n = node(Op::histstat, "histstat###id|||k$$$", {"id", "k"});
        n.stat = stat;
        plan.nodes.push_back(n);
        plan.roots = {0};
        Frame frame;
        frame.rows = ids.kind == Kind::f64 ? ids.f.size() : ids.i.size();
        frame.columns = {std::move(ids), std::move(keys), floats("x", {NAN, NAN, NAN, 1, 2})};
        run(plan, frame, "", math);
        // written in place, the other columns not filled
        EXPECT_EQ(labels(frame),
                  (std::vector<std::string>{"id", "k", "x", "histstat###id|||k$$$"}));
        EXPECT_TRUE(std::isnan(frame.find("x")->f[0]));
        return *frame.find("histstat###id|||k$$$");
    };
    // ids 7 7 8 7 9: rows per id 3 3 1 3 1; groups k=2 {3, 1}, k=1 {3, 3, 1}
    Column c = hist("max", floats("id", {7, 7, 8, 7, 9}), ints("k", {2, 1, 2, 1, 1}));
    ASSERT_EQ(c.kind, Kind::i64);
    EXPECT_EQ(c.i, (std::vector<std::int64_t>{3, 3, 3, 3, 3}));
    c = hist("mean", floats("id", {7, 7, 8, 7, 9}), ints("k", {2, 1, 2, 1, 1}));
    ASSERT_EQ(c.kind, Kind::f64);
    EXPECT_EQ(c.f, (std::vector<double>{2, 7.0 / 3, 2, 7.0 / 3, 7.0 / 3}));
    // a missing id has no count: the maximum stays a double, and a row
    // without a key gets no value
    c = hist("max", floats("id", {7, NAN, NAN, 7, 9}), floats("k", {2, 1, NAN, 1, 1}));
    ASSERT_EQ(c.kind, Kind::f64);
    EXPECT_EQ(c.f[0], 2);
    EXPECT_EQ(c.f[1], 2);
    EXPECT_TRUE(std::isnan(c.f[2]));
    // a count of rows stays an integer whatever the ids
    c = hist("count", floats("id", {7, NAN, 8, 7, 9}), ints("k", {2, 1, 2, 1, 1}));
    ASSERT_EQ(c.kind, Kind::i64);
    EXPECT_EQ(c.i, (std::vector<std::int64_t>{2, 2, 2, 2, 2}));
    // a statistic the core does not reduce
    EXPECT_THROW(hist("prod", floats("id", {7, 7, 8, 7, 9}), ints("k", {2, 1, 2, 1, 1})),
                 Unplanned);
}

TEST(ScoringPlan, ComparisonsWriteBooleansThatNoOperatorReads) {
    LibmUfuncs math;
    Plan plan;
    plan.nodes.push_back(node(Op::bigger, "bigger###a|||b$$$", {"a", "b"}));
    plan.nodes.push_back(node(Op::orop, "orop###a|||b$$$", {"a", "b"}));
    plan.roots = {0, 1};
    Frame frame;
    frame.rows = 3;
    frame.columns = {floats("a", {1, NAN, 5}), floats("b", {0, 1, 7})};
    run(plan, frame, "", math);
    const Column *big = frame.find("bigger###a|||b$$$");
    ASSERT_EQ(big->kind, Kind::boolean);
    EXPECT_EQ(big->b, (std::vector<std::uint8_t>{1, 0, 0}));
    ASSERT_EQ(frame.find("orop###a|||b$$$")->kind, Kind::boolean);

    // every operator leaves a boolean operand to the engine
    for (Op op : {Op::bigger, Op::quadratic, Op::add, Op::rolling, Op::crossrank}) {
        Plan reader;
        Node n = node(op, "r", {"bigger###a|||b$$$", "a"});
        n.length = 2;
        reader.nodes.push_back(n);
        reader.roots = {0};
        Frame f = frame;
        EXPECT_THROW(run(reader, f, "", math), Unplanned);
    }
    // int64 against float64 compares both as float64; an empty frame is refused
    Plan mixed;
    mixed.nodes.push_back(node(Op::smaller, "s", {"a", "i"}));
    mixed.roots = {0};
    Frame f = frame;
    f.columns.push_back(ints("i", {0, 2, 6}));
    run(mixed, f, "", math);
    ASSERT_NE(f.find("s"), nullptr);
    EXPECT_EQ(f.find("s")->kind, Kind::boolean);
    EXPECT_EQ(f.find("s")->b, (std::vector<std::uint8_t>{0, 0, 1}));
    Plan round;
    round.nodes.push_back(node(Op::round, "r", {"a"}));
    round.roots = {0};
    Frame empty;
    empty.columns = {floats("a", {})};
    EXPECT_THROW(run(round, empty, "", math), Unplanned);
}

TEST(ScoringPlan, CombineJoinsPythonsTextsOfTheValues) {
    LibmUfuncs math;
    Plan plan;
    plan.nodes.push_back(node(Op::combine, "combine###a|||k$$$", {"a", "k"}));
    plan.roots = {0};
    Frame frame;
    frame.rows = 3;
    frame.columns = {floats("a", {1.5, NAN, 1e16}), ints("k", {2, -3, 0})};
    run(plan, frame, "", math);
    const Column *c = frame.find("combine###a|||k$$$");
    ASSERT_EQ(c->kind, Kind::text);
    EXPECT_EQ(c->s, (std::vector<std::string>{"1.5_2", "nan_-3", "1e+16_0"}));
    // and no operator reads the texts
    Plan reader;
    reader.nodes.push_back(node(Op::sigmoid, "s", {"combine###a|||k$$$"}));
    reader.roots = {0};
    EXPECT_THROW(run(reader, frame, "", math), Unplanned);
}
