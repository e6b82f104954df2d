// The scoring plan of a loaded folder: its feature names parsed once, the
// operators and operands resolved, nested names ordered and the training
// records indexed, kept on the object under `_scoring_plan`.  `predict` and
// `predict_proba` run it over the buffers of the columns the pipeline hands
// to the feature engine and pass the model's columns to the native
// evaluator, without a frame per operator.  Anything the plan does not serve
// is said on the "brinvale.plan" logger at DEBUG, and the pipeline runs as
// it always does.
#include "workbench.hpp"

#include "brinvale/groupstats.hpp"
#include "brinvale/operators.hpp"
#include "brinvale/scoring_plan.hpp"
#include "brinvale/windows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;
namespace cp = brinvale::core::plan;

constexpr const char *kPlanAttr = "_scoring_plan";

// Past this many rows the engine's column kernels (each written for its
// operator's passes over long columns) are faster than the plan, whose
// strength is the fixed cost per call: measured on the sample folder, the
// plan takes 0.45x the engine's time at 10,000 rows, 0.85x at 100,000 and
// 1.3x at 1,000,000.
constexpr std::size_t kPlanMaxRows = 200000;

constexpr const char *kPlanDoc =
    "The scoring plan of a loaded result folder, compiled on first use\n"
    "(brinvale.brinvale._scoring_plan(obj)) and kept on the object.\n\n"
    "steps: the feature names in the order they are computed, nested names\n"
    "    first (a nested name is computed only when its column is missing and\n"
    "    is dropped after the name that uses it, as name2feature does);\n"
    "labels: the column each step writes; operators: the operator of each step;\n"
    "features: the folder's feature list; model_columns: the model's input\n"
    "columns in order; unsupported: why the plan cannot serve this folder\n"
    "(None when it can).\n\n"
    "brinvale.brinvale._run_scoring_plan(df, features, records, group) runs a\n"
    "plan over a whole pandas frame (its z-scores, medians and windows are\n"
    "those of that frame) and returns its columns after the features, or\n"
    "raises LookupError naming what it does not serve.";

// What one feature name compiles to, with the Python objects the plan was
// compiled against: a changed record, operator or feature list recompiles it.
struct Compiled {
    cp::Plan plan;
    std::string unsupported;  // empty when the plan serves the folder
    py::object features;      // a copy of adv_features
    py::object features_ref;  // the list object itself
    py::object records_ref;
    py::object model_ref;
    py::object estimator_ref;  // refitting replaces it
    std::vector<std::pair<std::string, py::object>> record_objects;
    std::vector<std::pair<std::string, py::object>> operator_objects;
    py::object engine;          // tavrin.name2feature as compiled
    py::object histstat_stats;  // histstat's default statistic list, when a name uses it
    py::list histstat_copy;
    py::list steps, labels, operators;
    py::list model_columns;
    bool has_windows = false;
    // per mean record: the column labels of the table it leaves, made once
    std::map<std::string, py::object> mean_count_columns;
    // per method: why the native evaluator never serves the model (empty
    // when it may), asked once
    std::map<std::string, std::string> native_refusals;
};

struct ScoringPlan {
    std::shared_ptr<Compiled> compiled;
};

py::module_ tavrin() { return py::module_::import("brinvale.tavrin"); }

std::string text(py::handle h) { return py::str(h).cast<std::string>(); }

void log_plan(const std::string &reason) {
    py::object logger = py::module_::import("logging").attr("getLogger")("brinvale.plan");
    logger.attr("debug")("scoring plan not used: %s", reason);
}

// The numbers of a pandas object as float64 (keys of a record: int, uint or
// float dtypes only).
py::array_t<double> numbers(py::handle values, const std::string &what) {
    py::object dtype = values.attr("dtype");
    if (!py::isinstance(dtype, global("np").attr("dtype"))) {
        cp::unplanned(what + " is of dtype " + text(dtype));
    }
    const std::string kind = text(dtype.attr("kind"));
    if (kind != "i" && kind != "u" && kind != "f") {
        cp::unplanned(what + " is of dtype " + text(dtype));
    }
    return py::array_t<double, py::array::c_style | py::array::forcecast>(
        values.attr("to_numpy")("dtype"_a = "float64"));
}

std::vector<std::int64_t> integers(py::handle values, const std::string &what) {
    py::object dtype = values.attr("dtype");
    if (!py::isinstance(dtype, global("np").attr("dtype")) || text(dtype) != "int64") {
        cp::unplanned(what + " is not of dtype int64");
    }
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> a(
        values.attr("to_numpy")());
    return std::vector<std::int64_t>(a.data(), a.data() + a.size());
}

// A new list of the items (py::list of a list is that list itself).
py::list copy_of(py::handle list) {
    PyObject *copy = PySequence_List(list.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::list>(copy);
}

bool exact(py::handle obj, const char *module, const char *name) {
    return reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())) ==
           py::module_::import(module).attr(name).ptr();
}

// Keyed values of a record: the first value of a key, or all of them summed
// with missing values as 0 (a count).
void index_values(cp::KeyTable &table, const py::array_t<double> &keys,
                  const py::array_t<double> &values, bool sum, const std::string &name) {
    if (keys.size() != values.size()) {
        cp::unplanned("the record '" + name + "' holds other numbers of keys and values");
    }
    for (py::ssize_t r = 0; r < keys.size(); ++r) {
        const std::uint64_t k = cp::number_key(keys.data()[r]);
        const double v = values.data()[r];
        if (sum) {
            table[k] += std::isnan(v) ? 0.0 : v;
        } else {
            table.emplace(k, v);
        }
    }
}

std::shared_ptr<cp::Record> index_record(const cp::Node &node, py::handle record) {
    auto rec = std::make_shared<cp::Record>();
    const std::string &name = node.label;
    py::str label(name);
    switch (node.op) {
    case cp::Op::count: {
        if (!exact(record, "pandas", "DataFrame")) {
            cp::unplanned("the record '" + name + "' is not a DataFrame");
        }
        py::str col(node.operands[0]);
        index_values(rec->values, numbers(record[col], "the keys of '" + name + "'"),
                     numbers(record[label], "the counts of '" + name + "'"), true, name);
        break;
    }
    case cp::Op::crosscount: {
        if (!exact(record, "pandas", "Series") ||
            py::len(record.attr("index").attr("names")) != 2) {
            cp::unplanned("the record '" + name + "' is not a Series over two key levels");
        }
        py::object index = record.attr("index");
        py::array_t<double> a = numbers(index.attr("get_level_values")(0), "a key of " + name);
        py::array_t<double> b = numbers(index.attr("get_level_values")(1), "a key of " + name);
        py::array_t<double> v = numbers(record, "the counts of '" + name + "'");
        for (py::ssize_t r = 0; r < v.size(); ++r) {
            const double c = v.data()[r];
            rec->pairs[{cp::number_key(a.data()[r]), cp::number_key(b.data()[r])}] +=
                std::isnan(c) ? 0.0 : c;
        }
        break;
    }
    case cp::Op::aggregate:
        if (node.stat == "mean") {
            if (!PyDict_Check(record.ptr()) || !record.contains("data") ||
                !record.contains("length")) {
                cp::unplanned("the mean record '" + name + "' is not {data, length}");
            }
            py::object data = record["data"];
            py::object length = record["length"];
            if (!exact(data, "pandas", "Series") || !exact(length, "pandas", "DataFrame")) {
                cp::unplanned("the mean record '" + name + "' is not {data, length}");
            }
            py::str group(node.operands[2]);
            py::str count_label(node.operands[2] + "_count");
            index_values(rec->values, numbers(data.attr("index"), "the keys of " + name),
                         numbers(data, "the values of " + name), false, name);
            index_values(rec->lengths, numbers(length[group], "the keys of " + name),
                         numbers(length[count_label], "the counts of " + name), true, name);
            rec->data_keys = integers(data.attr("index"), "the keys of " + name);
            rec->length_keys = integers(length[group], "the keys of " + name);
            break;
        }
        [[fallthrough]];
    case cp::Op::nunique:
        if (!exact(record, "pandas", "Series")) {
            cp::unplanned("the record '" + name + "' is not a Series");
        }
        index_values(rec->values, numbers(record.attr("index"), "the keys of " + name),
                     numbers(record, "the values of " + name), false, name);
        {
            const std::string kind = text(record.attr("dtype").attr("kind"));
            rec->integral = kind == "i" || kind == "u";
        }
        break;
    default:
        break;
    }
    return rec;
}

struct WindowOp {
    const char *name;
    core::WindowStat ungrouped, grouped;
};

constexpr WindowOp kWindows[] = {
    {"tsum", core::WindowStat::Sum, core::WindowStat::Sum},
    {"ts_mean", core::WindowStat::Mean, core::WindowStat::Sum},
    {"ts_min", core::WindowStat::Min, core::WindowStat::Min},
    {"ts_max", core::WindowStat::Max, core::WindowStat::Max},
    {"ts_rank", core::WindowStat::Rank, core::WindowStat::Rank},
    {"stddev", core::WindowStat::Std, core::WindowStat::Std},
    {"product", core::WindowStat::Prod, core::WindowStat::Prod},
    {"ts_argmax", core::WindowStat::ArgMax, core::WindowStat::ArgMax},
    {"ts_argmin", core::WindowStat::ArgMin, core::WindowStat::ArgMin},
    {"decay_linear", core::WindowStat::DecayLinear, core::WindowStat::DecayLinear},
};

const std::map<std::string, cp::Op> &elementwise_ops() {
    static const auto *ops = new std::map<std::string, cp::Op>{
        {"add", cp::Op::add},
        {"subtract", cp::Op::subtract},
        {"multiply", cp::Op::multiply},
        {"divide", cp::Op::divide},
        {"log", cp::Op::log},
        {"sine", cp::Op::sine},
        {"cosine", cp::Op::cosine},
        {"square_root", cp::Op::square_root},
        {"minimize", cp::Op::minimize},
        {"maximize", cp::Op::maximize},
        {"percentile", cp::Op::percentile},
        {"delay", cp::Op::delay},
        {"ts_o", cp::Op::delay},
        {"delta", cp::Op::delta},
        {"count", cp::Op::count},
        {"crosscount", cp::Op::crosscount},
        {"aggregate", cp::Op::aggregate},
        {"nunique", cp::Op::nunique},
        {"histstat", cp::Op::histstat},
        {"round", cp::Op::round},
        {"quadratic", cp::Op::quadratic},
        {"sigmoid", cp::Op::sigmoid},
        {"residual", cp::Op::residual},
        {"softmax", cp::Op::softmax},
        {"entropy", cp::Op::entropy},
        {"bigger", cp::Op::bigger},
        {"smaller", cp::Op::smaller},
        {"equal", cp::Op::equal},
        {"orop", cp::Op::orop},
        {"crossrank", cp::Op::crossrank},
        {"tcorrelation", cp::Op::tcorrelation},
        {"tcorvariance", cp::Op::tcorvariance},
        {"combine", cp::Op::combine},
    };
    return *ops;
}

// The engine's own functions are native ones of its module; a function put
// in their place is called by the engine and so by the pipeline.
bool engine_function(py::handle f) {
    if (!PyCFunction_Check(f.ptr())) {
        return false;
    }
    py::object module = py::getattr(f, "__module__", py::none());
    return PyUnicode_Check(module.ptr()) && text(module) == "brinvale.tavrin";
}

struct Compiler {
    Compiled &c;
    py::module_ t;
    py::object records;
    std::map<std::string, int> seen;

    // histstat is called with its default statistic list, the list object
    // bound when the engine defined it; every statistic is computed and the
    // last one is the column's.  A statistic the core does not reduce goes
    // through pandas, which the plan does not stand in for.
    std::string histstat_statistic() {
        if (!c.histstat_stats) {
            py::object getter = py::getattr(t, "_histstat_stats", py::none());
            if (!engine_function(getter)) {
                cp::unplanned("histstat's default statistics are not the feature engine's");
            }
            py::object stats = getter();
            if (!PyList_CheckExact(stats.ptr())) {
                cp::unplanned("histstat's default statistics are not a list");
            }
            c.histstat_stats = stats;
            c.histstat_copy = copy_of(stats);
        }
        if (py::len(c.histstat_copy) == 0) {
            cp::unplanned("histstat's default statistic list is empty");
        }
        for (py::handle stat : c.histstat_copy) {
            core::GroupStat gs{};
            if (!PyUnicode_CheckExact(stat.ptr()) || !core::parse_group_stat(text(stat), gs)) {
                cp::unplanned("histstat's default statistic " + text(py::repr(stat)) +
                              " is computed by pandas");
            }
        }
        return text(c.histstat_copy[py::len(c.histstat_copy) - 1]);
    }

    int compile(py::handle key) {
        if (!PyUnicode_CheckExact(key.ptr())) {
            cp::unplanned("a feature name that is not text");
        }
        const std::string k = text(key);
        if (auto it = seen.find(k); it != seen.end()) {
            return it->second;
        }
        py::list temp = t.attr("split_features")(key);
        cp::Node node;
        node.key = k;
        const std::string op = text(temp[0]);
        bool window = false;
        if (auto it = elementwise_ops().find(op); it != elementwise_ops().end()) {
            node.op = it->second;
        } else {
            for (const WindowOp &w : kWindows) {
                if (op == w.name) {
                    node.op = cp::Op::rolling;
                    node.window_stat = static_cast<int>(w.ungrouped);
                    node.grouped_stat = static_cast<int>(w.grouped);
                    window = true;
                }
            }
            if (!window) {
                cp::unplanned("the operator '" + op + "' of '" + k + "'");
            }
        }
        // the dispatcher calls an operator given fewer operands than it
        // takes with what earlier names left: not planned
        const core::OperatorInfo *info = core::find_operator(op);
        if (info == nullptr) {
            cp::unplanned("the operator '" + op + "' of '" + k + "'");
        }
        if (py::len(temp) - 1 < static_cast<std::size_t>(info->arity())) {
            cp::unplanned("'" + k + "' has fewer operands than its operator takes");
        }
        for (std::size_t i = 1; i < py::len(temp); ++i) {
            py::object operand = temp[i];
            node.operands.push_back(text(operand));
            node.nested.push_back(
                t.attr("is_combination_feature")(operand).cast<bool>() ? compile(operand) : -1);
        }
        const bool pair = node.op == cp::Op::tcorrelation || node.op == cp::Op::tcorvariance;
        if (node.op == cp::Op::rolling || node.op == cp::Op::delay || node.op == cp::Op::delta ||
            pair) {
            c.has_windows = true;
            py::object length;
            try {
                length = py::module_::import("builtins").attr("int")(temp[pair ? 3 : 2]);
                node.length = length.cast<std::int64_t>();
            } catch (py::error_already_set &) {
                cp::unplanned("the window of '" + k + "' is not an integer");
            } catch (py::cast_error &) {
                cp::unplanned("the window of '" + k + "' is beyond a 64-bit integer");
            }
            const auto stat = static_cast<core::WindowStat>(node.window_stat);
            const bool lag = node.op == cp::Op::delay || node.op == cp::Op::delta;
            if ((!lag && node.length < 0) || (lag && node.length == 0) ||
                (node.op == cp::Op::rolling && node.length == 0 &&
                 (stat == core::WindowStat::ArgMax || stat == core::WindowStat::ArgMin))) {
                cp::unplanned("the window of '" + k + "'");
            }
        }
        if (node.op == cp::Op::aggregate) {
            node.stat = node.operands[0];
        }
        if (node.op == cp::Op::histstat) {
            node.stat = histstat_statistic();
        }
        node.label = text(t.attr("_result_label")(key));
        node.fresh_index = info->fresh_index();
        if (node.op == cp::Op::count || node.op == cp::Op::crosscount ||
            node.op == cp::Op::aggregate || node.op == cp::Op::nunique) {
            if (node.op == cp::Op::aggregate && node.stat != "min" && node.stat != "max" &&
                node.stat != "mean" && node.stat != "median" && node.stat != "var") {
                cp::unplanned("the statistic of '" + k + "'");
            }
            py::object record = records.attr("get")(py::str(node.label), py::none());
            if (record.is_none()) {
                cp::unplanned("no training record for '" + node.label + "'");
            }
            node.record = index_record(node, record);
            c.record_objects.emplace_back(node.label, record);
        }
        py::object function = py::getattr(t, op.c_str(), py::none());
        if (!engine_function(function)) {
            cp::unplanned("the operator '" + op + "' is not the feature engine's own");
        }
        c.operator_objects.emplace_back(op, function);
        c.plan.nodes.push_back(std::move(node));
        const int index = static_cast<int>(c.plan.nodes.size()) - 1;
        seen.emplace(k, index);
        const cp::Node &n = c.plan.nodes.back();
        c.steps.append(py::str(n.key));
        c.labels.append(py::str(n.label));
        c.operators.append(py::str(op));
        return index;
    }
};

std::shared_ptr<Compiled> compile(py::object features, py::object records, py::object model) {
    auto c = std::make_shared<Compiled>();
    py::module_ t = tavrin();
    c->features_ref = std::move(features);
    c->records_ref = std::move(records);
    c->model_ref = std::move(model);
    c->estimator_ref = py::getattr(c->model_ref, "_trained_estimator", py::none());
    c->engine = t.attr("name2feature");
    try {
        if (!PyList_CheckExact(c->features_ref.ptr())) {
            cp::unplanned("the feature list is not a list");
        }
        if (!PyDict_Check(c->records_ref.ptr())) {
            cp::unplanned("the training records are not a dict");
        }
        if (!engine_function(c->engine)) {
            cp::unplanned("name2feature is not the feature engine's own");
        }
        c->features = copy_of(c->features_ref);
        Compiler compiler{*c, t, c->records_ref, {}};
        for (py::handle key : c->features) {
            c->plan.roots.push_back(compiler.compile(key));
        }
        py::object names = py::getattr(c->model_ref, "feature_names_in_", py::none());
        if (!names.is_none()) {
            for (py::handle n : names) {
                c->model_columns.append(py::str(n));
            }
        }
    } catch (const cp::Unplanned &e) {
        c->unsupported = e.reason;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        c->unsupported = std::string("compiling the plan raised ") + e.what();
    }
    return c;
}

// Whether the compiled plan still describes the object: the same lists,
// records and model, the same operator functions in the engine's namespace.
bool current(const Compiled &c, py::handle self) {
    py::object features = self.attr("adv_features");
    py::object records = self.attr("lec_record_dt");
    py::object model = self.attr("model");
    if (!features.is(c.features_ref) || !records.is(c.records_ref) || !model.is(c.model_ref) ||
        !c.features_ref.equal(c.features) ||
        !py::getattr(model, "_trained_estimator", py::none()).is(c.estimator_ref)) {
        return false;
    }
    if (c.histstat_stats && !c.histstat_stats.equal(c.histstat_copy)) {
        return false;
    }
    py::module_ t = tavrin();
    for (const auto &[name, obj] : c.operator_objects) {
        if (!py::getattr(t, name.c_str(), py::none()).is(obj)) {
            return false;
        }
    }
    for (const auto &[name, obj] : c.record_objects) {
        PyObject *now = PyDict_GetItemString(c.records_ref.ptr(), name.c_str());
        if (now != obj.ptr()) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<Compiled> plan_of(py::handle self) {
    py::object held = py::getattr(self, kPlanAttr, py::none());
    if (!held.is_none() && py::isinstance<ScoringPlan>(held)) {
        auto compiled = held.cast<ScoringPlan &>().compiled;
        if (compiled && current(*compiled, self)) {
            return compiled;
        }
    }
    ScoringPlan p{
        compile(self.attr("adv_features"), self.attr("lec_record_dt"), self.attr("model"))};
    py::setattr(self, kPlanAttr, py::cast(p));
    return p.compiled;
}

// NumPy's ufuncs over a buffer, in place.
struct NumpyUfuncs final : cp::Ufuncs {
    py::object np = global("np");
    void apply(const char *name, std::span<double> v) {
        if (v.empty()) {
            return;
        }
        py::array_t<double> a({static_cast<py::ssize_t>(v.size())}, {sizeof(double)}, v.data(),
                              py::none());
        np.attr(name)(a, "out"_a = a);
    }
    void log(std::span<double> v) override { apply("log", v); }
    void sin(std::span<double> v) override { apply("sin", v); }
    void cos(std::span<double> v) override { apply("cos", v); }
    void exp(std::span<double> v) override { apply("exp", v); }
    void rint(std::span<double> v) override { apply("rint", v); }
};

// The columns of the frame the engine would receive; with `percentages`
// the text columns as the percentage conversion gives them (the plan then
// reads the frame before that conversion).
cp::Frame import_frame(const py::object &df, bool percentages = false) {
    cp::Frame frame;
    frame.rows = py::len(df);
    py::list labels = df.attr("columns").attr("tolist")();
    py::list dtypes = frame_dtypes(df);
    py::object np_dtype = global("np").attr("dtype");
    py::object types = global("pd").attr("api").attr("types");
    py::object get_column = py::getattr(df, "_get_column_array", py::none());
    if (get_column.is_none()) {
        cp::unplanned("the frame cannot hand out its column buffers");
    }
    for (std::size_t j = 0; j < py::len(labels); ++j) {
        py::handle label = labels[j];
        if (!PyUnicode_CheckExact(label.ptr())) {
            cp::unplanned("a column label that is not text");
        }
        cp::Column c;
        c.label = text(label);
        c.source = j;
        if (frame.find(c.label) != nullptr) {
            cp::unplanned("the column label '" + c.label + "' is repeated");
        }
        py::handle dt = dtypes[j];
        if (py::isinstance(dt, np_dtype)) {
            if (!dt.attr("isnative").cast<bool>()) {
                // the engine's kernels take native byte order only
                cp::unplanned("the column '" + c.label + "' is of dtype " + text(dt) +
                              ", not in native byte order");
            }
            const std::string kind = text(dt.attr("kind"));
            const int size = dt.attr("itemsize").cast<int>();
            if (kind == "f" && size == 8) {
                c.kind = cp::Kind::f64;
            } else if (kind == "i" && size == 8) {
                c.kind = cp::Kind::i64;
            } else if (kind == "f" || kind == "c") {
                cp::unplanned("the column '" + c.label + "' is of dtype " + text(dt));
            }
        } else if (py::bool_(types.attr("is_numeric_dtype")(dt)) &&
                   !py::bool_(types.attr("is_bool_dtype")(dt))) {
            cp::unplanned("the column '" + c.label + "' is of dtype " + text(dt));
        }
        if (percentages && c.kind == cp::Kind::opaque && is_text_dtype(dt)) {
            py::object converted;
            const int found = native_percent_column(frame_column_array(df, j), converted);
            if (found < 0) {
                cp::unplanned("the text column '" + c.label + "' is read by pandas");
            }
            if (found == 1) {
                py::array_t<double, py::array::c_style | py::array::forcecast> a(converted);
                c.kind = cp::Kind::f64;
                c.f.assign(a.data(), a.data() + a.size());
                frame.columns.push_back(std::move(c));
                continue;
            }
        }
        if (c.kind == cp::Kind::f64) {
            py::array_t<double, py::array::c_style | py::array::forcecast> a(
                get_column(py::int_(j)));
            c.f.assign(a.data(), a.data() + a.size());
        } else if (c.kind == cp::Kind::i64) {
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> a(
                get_column(py::int_(j)));
            c.i.assign(a.data(), a.data() + a.size());
        }
        frame.columns.push_back(std::move(c));
    }
    return frame;
}

// A text column as an object array of str, which pandas reads as the
// dtype the engine gives its text (its str dtype, or object).
py::array text_array(const std::vector<std::string> &texts) {
    py::array objects = global("np").attr("empty")(texts.size(), "dtype"_a = "object");
    auto **slots = static_cast<PyObject **>(objects.mutable_data());
    for (std::size_t r = 0; r < texts.size(); ++r) {
        PyObject *t =
            PyUnicode_FromStringAndSize(texts[r].data(), static_cast<Py_ssize_t>(texts[r].size()));
        if (t == nullptr) {
            throw py::error_already_set();
        }
        Py_XDECREF(slots[r]);
        slots[r] = t;
    }
    return objects;
}

py::array to_array(const cp::Column &c) {
    if (c.kind == cp::Kind::text) {
        return text_array(c.s);
    }
    if (c.kind == cp::Kind::boolean) {
        py::array_t<bool> a(static_cast<py::ssize_t>(c.b.size()));
        std::transform(c.b.begin(), c.b.end(), a.mutable_data(),
                       [](std::uint8_t v) { return v != 0; });
        return std::move(a);
    }
    if (c.kind == cp::Kind::f64) {
        py::array_t<double> a(static_cast<py::ssize_t>(c.f.size()));
        std::copy(c.f.begin(), c.f.end(), a.mutable_data());
        return std::move(a);
    }
    py::array_t<std::int64_t> a(static_cast<py::ssize_t>(c.i.size()));
    std::copy(c.i.begin(), c.i.end(), a.mutable_data());
    return std::move(a);
}

template <typename T>
py::array_t<T> array_of(const std::vector<T> &v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::object counts(const std::vector<double> &v, bool whole) {
    if (!whole) {
        return array_of(v);
    }
    return array_of(std::vector<std::int64_t>(v.begin(), v.end()));
}

// The table an aggregate "mean" leaves in the records, as the engine writes it.
void write_mean_count(py::handle records, const cp::MeanCountTable &t, const std::string &group_col,
                      py::object &columns) {
    py::dict d;
    d[py::str(group_col)] = array_of(t.keys);
    d[py::str(t.key)] = array_of(t.record_mean);
    d[py::str(t.key + "_2")] = array_of(t.new_mean);
    d[py::str(group_col + "_count")] = counts(t.record_rows, t.record_rows_whole);
    d[py::str(group_col + "_count_2")] = counts(t.new_rows, t.new_rows_whole);
    // The frame DataFrame(d) gives (its columns, a RangeIndex, the arrays in
    // consolidated blocks) without the dict constructor's copies and checks:
    // the arrays are fresh one-dimensional NumPy arrays of one length, and
    // the labels an Index made once (pandas' Index is immutable, frames
    // share it).
    py::object pd = global("pd");
    py::object frame_class = pd.attr("DataFrame");
    py::object from_arrays = py::getattr(frame_class, "_from_arrays", py::none());
    py::object table;
    if (from_arrays.is_none()) {
        table = frame_class(d);
    } else {
        py::list labels(d.attr("keys")());
        if (!columns || !py::list(columns.attr("tolist")()).equal(labels)) {
            columns = pd.attr("Index")(labels);
        }
        table = from_arrays(py::list(d.attr("values")()), "columns"_a = columns,
                            "index"_a = pd.attr("RangeIndex")(py::len(d[py::str(group_col)])),
                            "verify_integrity"_a = false);
    }
    records[py::str(t.key + "_mean_count")] = table;
}

// The configured group column, as the window operators read it.
std::string configured_group() {
    py::module_ quillet = py::module_::import("module.common.quillet");
    py::object active = quillet.attr("_active_config").attr("get")();
    py::object group;
    if (!active.is_none()) {
        group = active["Feature"].attr("get")("GroupIndex", py::none());
    } else {
        group = quillet.attr("TaskConfig")().attr("cfg")["Feature"].attr("get")("GroupIndex",
                                                                                py::none());
    }
    if (group.is_none()) {
        return std::string();
    }
    if (!PyUnicode_CheckExact(group.ptr()) || py::len(group) == 0) {
        cp::unplanned("the configured group column is not a column label");
    }
    return text(group);
}

bool listed(py::handle label, const py::object &values) {
    return values.attr("__contains__")(label).cast<bool>();
}

}  // namespace

// An object built without a folder (a model set on a bare instance) has no
// feature list or records to compile: the pipeline serves it.
bool has_folder_parts(py::handle self) {
    return py::hasattr(self, "adv_features") && py::hasattr(self, "lec_record_dt") &&
           py::hasattr(self, "model");
}

py::object planned_model_columns(py::object self) {
    if (!has_folder_parts(self)) {
        log_plan("the object holds no feature list, records or model");
        return py::none();
    }
    std::shared_ptr<Compiled> c = plan_of(self);
    if (!c->unsupported.empty()) {
        log_plan(c->unsupported);
        return py::none();
    }
    if (py::len(c->model_columns) == 0) {
        log_plan("the model names no input columns");
        return py::none();
    }
    return c->model_columns;
}

// The folder's plan where it serves a frame of `rows` rows, else null (the
// reason said on the logger).
static std::shared_ptr<Compiled> serving_plan(py::handle self, std::size_t rows) {
    if (!has_folder_parts(self)) {
        log_plan("the object holds no feature list, records or model");
        return nullptr;
    }
    std::shared_ptr<Compiled> c = plan_of(self);
    if (!c->unsupported.empty()) {
        log_plan(c->unsupported);
        return nullptr;
    }
    if (!global("name2feature").is(c->engine)) {
        log_plan("name2feature is not the feature engine's");
        return nullptr;
    }
    if (rows > kPlanMaxRows) {
        log_plan("the frame has more rows than the plan serves (" + std::to_string(kPlanMaxRows) +
                 ")");
        return nullptr;
    }
    return c;
}

// The records a run leaves: the tables of the aggregate "mean" features.
static void write_records(py::handle self, Compiled &c, const cp::RunResult &result) {
    py::object records = self.attr("lec_record_dt");
    for (const cp::MeanCountTable &t : result.mean_counts) {
        for (const cp::Node &node : c.plan.nodes) {
            if (node.label == t.key) {
                write_mean_count(records, t, node.operands[2], c.mean_count_columns[t.key]);
                break;
            }
        }
    }
}

// The plan over the pipeline's frame before its percentage conversion:
// `frame` receives the columns after the features.
static cp::RunResult run_plan(const Compiled &c, const py::object &ori_df, cp::Frame &frame) {
    frame = import_frame(ori_df, true);
    const std::string group = c.has_windows ? configured_group() : std::string();
    NumpyUfuncs math;
    return cp::run(c.plan, frame, group, math);
}

// planned_engine_frame with the plan that serves the object.
static py::object engine_frame_of(py::handle self, Compiled &c, const py::object &ori_df) {
    try {
        cp::Frame frame;
        cp::RunResult result = run_plan(c, ori_df, frame);
        py::list arrays;
        py::list labels;
        for (const cp::Column &col : frame.columns) {
            labels.append(py::str(col.label));
            // a column the plan only carries is the input's own
            arrays.append(col.kind == cp::Kind::opaque ? frame_column_array(ori_df, col.source)
                                                       : py::object(to_array(col)));
        }
        // The labels in the dtype of the frame's own (the engine appends to
        // them); the arrays checked and texts read as pandas reads them.
        py::object pd = global("pd");
        py::object columns =
            pd.attr("Index")(labels, "dtype"_a = ori_df.attr("columns").attr("dtype"));
        py::object df =
            pd.attr("DataFrame")
                .attr("_from_arrays")(arrays, "columns"_a = columns,
                                      "index"_a = result.fresh_index
                                                      ? pd.attr("RangeIndex")(py::len(ori_df))
                                                      : ori_df.attr("index"));
        write_records(self, c, result);
        return df;
    } catch (const cp::Unplanned &e) {
        log_plan(e.reason);
        return py::none();
    }
}

py::object planned_engine_frame(py::object self, py::object ori_df) {
    std::shared_ptr<Compiled> c = serving_plan(self, py::len(ori_df));
    return c ? engine_frame_of(self, *c, ori_df) : py::object(py::none());
}

py::object planned_output(py::object self, py::object ori_df, const char *method,
                          py::object *engine_frame) {
    std::shared_ptr<Compiled> c = serving_plan(self, py::len(ori_df));
    if (!c) {
        return py::none();
    }
    // A model the native evaluator never serves gets the pipeline's frame:
    // the plan's columns would be computed twice.
    auto [refusal, fresh] = c->native_refusals.try_emplace(method);
    if (fresh) {
        refusal->second = native_model_refusal(self.attr("model"), method);
    }
    if (!refusal->second.empty()) {
        log_plan("the native evaluator does not serve the model (" + refusal->second + ")");
        // the model's frame is still the plan's
        if (engine_frame != nullptr) {
            *engine_frame = engine_frame_of(self, *c, ori_df);
        }
        return py::none();
    }
    try {
        cp::Frame frame;
        cp::RunResult result = run_plan(*c, ori_df, frame);

        // The columns that reach the model: without the identifier, the
        // ignored columns and the target; the time column would be dates.
        // The drops of the pipeline, decided as it decides them.
        py::list labels;
        for (const cp::Column &col : frame.columns) {
            labels.append(py::str(col.label));
        }
        py::object time_index = self.attr("time_index");
        py::object target = self.attr("target_name");
        py::list dropped =
            dropped_columns(labels, self.attr("id_index"), self.attr("ignore_features"), time_index,
                            self.attr("group_id"));
        py::dict columns;
        for (const cp::Column &col : frame.columns) {
            py::str label(col.label);
            if (listed(label, dropped)) {
                continue;
            }
            if (label.equal(time_index)) {
                // converted to dates by the pipeline, which raises on text it
                // cannot read; a model that reads the column reads those dates
                const bool read = listed(label, c->model_columns);
                py::object dates =
                    col.kind == cp::Kind::opaque
                        ? native_iso_date_values(frame_column_array(ori_df, col.source))
                        : py::object(py::none());
                if (dates.is_none()) {
                    py::object source = col.kind == cp::Kind::opaque
                                            ? frame_column(ori_df, col.source)
                                            : global("pd").attr("Series")(to_array(col));
                    dates = global("pd").attr("to_datetime")(source).attr("to_numpy")();
                }
                if (read) {
                    columns[label] = dates;
                }
                continue;
            }
            if (label.equal(target)) {
                continue;
            }
            if (col.kind != cp::Kind::opaque) {
                columns[label] = to_array(col);
            }
        }
        if (py::len(columns) == 0) {
            cp::unplanned("no numeric column reaches the model");
        }
        // Records are written last, so that a case the plan refuses leaves
        // them to the engine.
        py::object out = native_model_columns(self.attr("model"), columns, method);
        write_records(self, *c, result);
        if (out.is_none()) {
            log_plan("the native evaluator does not serve the model");
        }
        return out;
    } catch (const cp::Unplanned &e) {
        log_plan(e.reason);
        return py::none();
    }
}

// The plan of a feature list over a frame, without a folder: the frame's
// columns after the features (None for a column the plan only carries by
// label), or LookupError with the reason the plan does not serve the case.
py::dict run_on_frame(py::object df, py::object features, py::object records, py::object group) {
    std::shared_ptr<Compiled> c = compile(std::move(features), std::move(records), py::none());
    if (!c->unsupported.empty()) {
        bind::raise(PyExc_LookupError, c->unsupported);
    }
    py::dict out;
    try {
        cp::Frame frame = import_frame(df);
        NumpyUfuncs math;
        cp::run(c->plan, frame, group.is_none() ? std::string() : text(group), math);
        for (const cp::Column &col : frame.columns) {
            out[py::str(col.label)] =
                col.kind == cp::Kind::opaque ? py::object(py::none()) : py::object(to_array(col));
        }
    } catch (const cp::Unplanned &e) {
        bind::raise(PyExc_LookupError, e.reason);
    }
    return out;
}

// A property of the plan: a fresh list of one of its compiled lists (empty
// before the plan is compiled).
template <class Member>
auto compiled_list(Member member) {
    return [member](const ScoringPlan &p) {
        return p.compiled ? py::list((*p.compiled).*member) : py::list();
    };
}

void register_plan(py::module_ &m) {
    m.def("_run_scoring_plan", &run_on_frame, py::arg("df"), py::arg("features"),
          py::arg("records"), py::arg("group") = py::none(),
          py::doc("The columns of `df` after the feature list computed by a scoring plan (None "
                  "for columns the plan carries by label only); LookupError where the plan does "
                  "not serve the case."));
    // A copy or pickle of the object carries an empty plan, compiled again
    // on first use.
    py::class_<ScoringPlan>(m, "ScoringPlan", kPlanDoc)
        .def(py::init([]() { return ScoringPlan{}; }))
        .def("__reduce__",
             [](py::object self) { return py::make_tuple(py::type::of(self), py::tuple()); })
        .def_property_readonly("steps", compiled_list(&Compiled::steps))
        .def_property_readonly("labels", compiled_list(&Compiled::labels))
        .def_property_readonly("operators", compiled_list(&Compiled::operators))
        .def_property_readonly("features", compiled_list(&Compiled::features))
        .def_property_readonly("model_columns", compiled_list(&Compiled::model_columns))
        .def_property_readonly("unsupported", [](const ScoringPlan &p) -> py::object {
            if (!p.compiled) {
                return py::str("not compiled");
            }
            if (p.compiled->unsupported.empty()) {
                return py::none();
            }
            return py::str(p.compiled->unsupported);
        });
    m.def(
        "_scoring_plan", [](py::object self) { return ScoringPlan{plan_of(self)}; },
        py::arg("model"),
        py::doc("The scoring plan of a loaded result folder (compiled on first use and kept on "
                "the object)."));
}

}  // namespace brinvale::workbench
