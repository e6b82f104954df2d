// The scoring plan: the engineered features of one result folder computed
// over column buffers instead of a data frame.  The frame is a list of
// labelled columns in the order a pandas frame would hold them; every
// operator reads and writes it as the feature engine's operator reads and
// writes the frame, with the same kernels, so the values are the engine's
// doubles.  A case the plan does not serve (a dtype, a missing key, a record
// it cannot index) throws `Unplanned` before anything outside the plan's own
// frame is touched: the caller then runs the engine itself.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace brinvale::core::plan {

struct Unplanned {
    std::string reason;
};

[[noreturn]] void unplanned(std::string reason);

// float64 and int64 columns carry their values; every other dtype is only a
// label here (text, dates, booleans, narrower integers): nothing the plan
// computes reads it, and the final fill leaves it as it is.  The comparisons
// write boolean columns, which carry their values (0 or 1) for the model,
// and combine text columns, which carry their texts; every operator refuses
// either as an operand.
enum class Kind { f64, i64, boolean, text, opaque };

struct Column {
    std::string label;
    Kind kind = Kind::opaque;
    std::vector<double> f;
    std::vector<std::int64_t> i;
    std::vector<std::uint8_t> b;
    std::vector<std::string> s;
    std::size_t source = 0;  // position in the input frame, for opaque columns
};

struct Frame {
    std::size_t rows = 0;
    std::vector<Column> columns;

    Column *find(const std::string &label);
    const Column *find(const std::string &label) const;
    // df[label] = column: replaces the column of that label where it stands,
    // or appends it.
    void store(Column column);
    void erase(const std::string &label);
};

// NumPy's transcendental functions, applied in place by the caller's
// library: libm differs from NumPy's vectorised loops in the last bit.
struct Ufuncs {
    virtual ~Ufuncs() = default;
    virtual void log(std::span<double> v) = 0;
    virtual void sin(std::span<double> v) = 0;
    virtual void cos(std::span<double> v) = 0;
    virtual void exp(std::span<double> v) = 0;
    virtual void rint(std::span<double> v) = 0;
};

// A key of a record table: numbers are matched as pandas' merge matches
// them (1 and 1.0 are one key, 0.0 and -0.0 too).
using KeyTable = std::unordered_map<std::uint64_t, double>;
std::uint64_t number_key(double v);

struct PairHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t> &p) const {
        return std::hash<std::uint64_t>()(p.first * 0x9E3779B97F4A7C15ULL ^ p.second);
    }
};
using PairTable = std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, double, PairHash>;

// The training record of one group statistic, indexed once.
struct Record {
    KeyTable values;        // count: summed counts; aggregate: the statistic; nunique: the record
    bool integral = false;  // nunique: a record of integers keeps the column int64
    PairTable pairs;        // crosscount
    // aggregate mean: rows per group of the training data, and the record's
    // keys in the order the combined table lists them
    KeyTable lengths;
    std::vector<std::int64_t> data_keys;
    std::vector<std::int64_t> length_keys;
};

enum class Op {
    add,
    subtract,
    multiply,
    divide,
    log,
    sine,
    cosine,
    square_root,
    minimize,
    maximize,
    percentile,
    rolling,  // tsum, ts_mean, ts_min, ts_max, ts_rank, stddev, product, argmax/min, decay
    delay,    // delay, ts_o
    delta,
    count,
    crosscount,
    aggregate,
    nunique,
    histstat,
    round,
    quadratic,
    sigmoid,
    residual,
    softmax,
    entropy,
    bigger,
    smaller,
    equal,
    orop,
    crossrank,
    tcorrelation,
    tcorvariance,
    combine,
};

// One feature name, parsed once.
struct Node {
    Op op = Op::add;
    std::string key;    // the name as given
    std::string label;  // the column the operator writes
    std::vector<std::string> operands;
    std::vector<int> nested;   // per operand: the node computing it, or -1 for a plain column
    int window_stat = 0;       // WindowStat of a rolling operator, ungrouped
    int grouped_stat = 0;      // and grouped
    std::int64_t length = 0;   // window or lag
    std::string stat;          // aggregate statistic; histstat: the last of its default list
    bool fresh_index = false;  // the operator's frame gets row labels 0..n-1
    std::shared_ptr<const Record> record;
};

// The combined table an aggregate "mean" with a record leaves in the
// records under name + "_mean_count", in key order.
struct MeanCountTable {
    std::string key;  // the record's name
    std::vector<std::int64_t> keys;
    std::vector<double> record_mean, new_mean, record_rows, new_rows;
    bool record_rows_whole = true, new_rows_whole = true;
};

struct Plan {
    std::vector<Node> nodes;  // nested names before the names that use them
    std::vector<int> roots;   // the feature list, in order
};

struct RunResult {
    std::vector<MeanCountTable> mean_counts;
    // A group statistic merged by the engine ran: its frame then carries
    // fresh row labels 0..n-1, as pandas' merges give.
    bool fresh_index = false;
};

// Computes the feature list on `frame` as the dispatcher does: nested
// operands first when their column is missing, dropped again afterwards.
// `group` is the configured group column's label, empty without one.
RunResult run(const Plan &plan, Frame &frame, const std::string &group, Ufuncs &math);

}  // namespace brinvale::core::plan
