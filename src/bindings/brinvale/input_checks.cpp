// Checks of user input made before preprocessing starts, so that common
// mistakes end in one error that names the file or the columns concerned
// instead of an error from deep inside pandas or the feature engine.
#include "workbench.hpp"

#include "brinvale/operators.hpp"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace brinvale::workbench {

namespace {

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }
std::string quote(py::handle obj) { return py::repr(obj).cast<std::string>(); }

std::string listing(const std::vector<std::string> &names, std::size_t shown = 20) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i) {
        out += (i ? ", " : "") + names[i];
    }
    if (names.size() > shown) {
        out += ", ... (" + std::to_string(names.size() - shown) + " more)";
    }
    return out;
}

struct Needs {
    std::vector<std::string> order;  // labels, in order of first use
    std::set<std::string> seen;
    std::map<std::string, std::string> as_numbers;  // label -> the first feature reading it so
    bool windows = false;

    void add(const std::string &label) {
        if (seen.insert(label).second) {
            order.push_back(label);
        }
    }
};

// The input columns a feature name reads, following nested features: the
// operands the registry calls columns (a window length or a statistic is
// not one).
void collect(const py::module_ &tavrin, const py::object &name, const py::set &present,
             Needs &needs, int depth = 0) {
    if (depth > 200) {
        return;  // the engine reports names nested this deep itself
    }
    py::list parts;
    try {
        parts = tavrin.attr("split_features")(name);
    } catch (py::error_already_set &) {
        return;  // a malformed name: the engine raises its own error for it
    }
    if (py::len(parts) < 2 || !PyUnicode_Check(parts[0].ptr())) {
        return;
    }
    const core::OperatorInfo *op = core::find_operator(text(parts[0]));
    if (op == nullptr) {
        return;  // the dispatcher refuses it by name
    }
    if (op->needs & core::need_config_group) {
        needs.windows = true;
    }
    const std::size_t n = py::len(parts);
    for (int k = 0; k < op->arity() && static_cast<std::size_t>(k) + 1 < n; ++k) {
        if (!core::OperatorInfo::reads_column(op->operands[k])) {
            continue;
        }
        py::object operand = parts[static_cast<std::size_t>(k) + 1];
        // a nested feature the input holds already is read as a column
        if (!present.contains(operand) &&
            tavrin.attr("is_combination_feature")(operand).cast<bool>()) {
            collect(tavrin, operand, present, needs, depth + 1);
            continue;
        }
        needs.add(text(operand));
        if (op->operands[k] == core::Operand::number) {
            needs.as_numbers.emplace(text(operand), text(name));
        }
    }
}

// Labels as the pipeline will see them: blanks around a label removed, spaces
// inside it replaced by "_".
std::vector<std::string> cleaned_labels(const py::object &frame) {
    std::vector<std::string> out;
    std::size_t position = 0;
    for (py::handle label : frame.attr("columns").attr("tolist")()) {
        if (!PyUnicode_Check(label.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "column labels must be text, the names the model was trained on; the "
                         "column at position %zu is labelled %.200s (%.200s)",
                         position, quote(label).c_str(), bind::type_name(label));
            throw py::error_already_set();
        }
        py::object clean =
            py::reinterpret_borrow<py::object>(label).attr("strip")().attr("replace")(" ", "_");
        out.push_back(text(clean));
        ++position;
    }
    return out;
}

// A DataFrame subclass that stops FLAML's transform at the moment it selects
// the columns the model reads (X[cat_columns + num_columns]) and reports which
// columns the frame holds then: the input's plus those the transform derived
// itself.  Made once per process.
struct ColumnProbe {
    py::object frame_class;
    py::object stop;  // raised with the frame's columns

    static const ColumnProbe &get() {
        static const ColumnProbe *probe = [] {
            auto *p = new ColumnProbe;
            py::object pd = py::module_::import("pandas");
            py::object base = pd.attr("DataFrame");
            py::object type = py::module_::import("builtins").attr("type");
            py::dict ns;
            ns["__module__"] = py::str("brinvale.brinvale");
            p->stop = type("_ColumnsSelected",
                           py::make_tuple(py::reinterpret_borrow<py::object>(PyExc_Exception)), ns);
            p->frame_class = type("_ColumnProbe", py::make_tuple(base), ns);
            py::object cls = p->frame_class;
            py::object stop = p->stop;
            py::setattr(cls, "_constructor",
                        py::module_::import("builtins")
                            .attr("property")(py::cpp_function([cls](py::object) { return cls; })));
            py::setattr(cls, "__getitem__",
                        py::cpp_function(
                            [base, stop](py::object self, py::object key) -> py::object {
                                if (PyList_Check(key.ptr())) {
                                    PyErr_SetObject(stop.ptr(),
                                                    self.attr("columns").attr("tolist")().ptr());
                                    throw py::error_already_set();
                                }
                                return base.attr("__getitem__")(self, key);
                            },
                            py::is_method(cls)));
            return p;
        }();
        return *probe;
    }
};

// The input columns a FLAML model reads: its DataTransformer's categorical
// and numeric columns, less those the transform derives itself from its date
// columns (found by running the transform on a one-row probe). None when the
// model is no FLAML model with such a transformer, or the transform does not
// stop where the probe expects: the model then names what it lacks itself.
py::object flaml_model_inputs(const py::object &model) {
    py::object transformer = py::getattr(model, "_transformer", py::none());
    if (transformer.is_none() || !py::hasattr(transformer, "_num_columns") ||
        !py::hasattr(transformer, "_cat_columns") ||
        !py::hasattr(transformer, "_datetime_columns")) {
        return py::none();
    }
    py::list categorical(transformer.attr("_cat_columns"));
    py::list numeric(transformer.attr("_num_columns"));
    py::list dates(transformer.attr("_datetime_columns"));
    py::set derived;
    if (py::len(dates) > 0) {
        const ColumnProbe &probe = ColumnProbe::get();
        py::object pd = py::module_::import("pandas");
        py::dict columns;
        py::list day;
        day.append(py::str("2001-02-03"));
        for (py::handle date : dates) {
            columns[date] = pd.attr("to_datetime")(day);
        }
        py::set given;
        for (py::handle date : dates) {
            given.add(date);
        }
        try {
            transformer.attr("transform")(probe.frame_class(pd.attr("DataFrame")(columns)));
            return py::none();
        } catch (py::error_already_set &e) {
            if (!e.matches(probe.stop)) {
                return py::none();
            }
            py::list seen(e.value().attr("args")[py::int_(0)]);
            for (py::handle label : seen) {
                if (!given.contains(label)) {
                    derived.add(label);
                }
            }
        }
    }
    py::list out;
    for (py::handle name : categorical) {
        out.append(name);
    }
    for (py::handle name : numeric) {
        if (!derived.contains(name)) {
            out.append(name);
        }
    }
    return out;
}

// What a model reads from the frame the pipeline gives it, asked once per
// loaded model and kept on the object.
py::object model_inputs(const py::object &self) {
    py::object model = py::getattr(self, "model", py::none());
    if (model.is_none()) {
        return py::none();
    }
    py::object cached = py::getattr(self, "_model_inputs", py::none());
    if (!cached.is_none() && PyTuple_Check(cached.ptr()) && py::len(cached) == 2) {
        py::object seen_model = cached[py::int_(0)];
        if (seen_model.is(model)) {
            return cached[py::int_(1)];
        }
    }
    py::object inputs = flaml_model_inputs(model);
    if (inputs.is_none() && !py::hasattr(model, "_transformer")) {
        inputs = py::getattr(model, "feature_names_in_", py::none());
        if (!inputs.is_none()) {
            inputs = py::list(inputs);
        }
    }
    py::setattr(self, "_model_inputs", py::make_tuple(model, inputs));
    return inputs;
}

// What the object's engineered features and model read from the input:
// leaves of the feature names (nested features already in `present` are not
// followed), model inputs that no engineered feature labels (stddev's column
// is labelled in the ts_rank form), and the configured group column when a
// window feature is used.
Needs compute_needs(const py::object &self, const py::set &present, const py::module_ &tavrin) {
    Needs needs;
    py::object features = py::getattr(self, "adv_features", py::list());
    for (py::handle name : features) {
        if (!present.contains(name) && PyUnicode_Check(name.ptr())) {
            collect(tavrin, py::reinterpret_borrow<py::object>(name), present, needs);
        }
    }
    py::set engineered;
    for (py::handle name : features) {
        py::object label = tavrin.attr("_result_label")(name);
        engineered.add(label.is_none() ? py::reinterpret_borrow<py::object>(name) : label);
    }
    py::object inputs = model_inputs(self);
    if (!inputs.is_none()) {
        for (py::handle name : inputs) {
            if (!engineered.contains(name)) {
                needs.add(text(name));
            }
        }
    }
    py::object cfg = py::getattr(self, "_folder_cfg", py::none());
    if (needs.windows && !cfg.is_none()) {
        py::object group = cfg["Feature"].attr("get")("GroupIndex");
        if (!group.is_none()) {
            needs.add(text(group));
        }
    }
    return needs;
}

// The needs of the last check, kept on the object with what they were found
// for (the feature list, the model, the configured group, the labels the
// input held and the engine's name parser): a one-row call would otherwise
// parse every feature name again.
constexpr const char *kNeedsAttr = "_model_needs";

py::object needs_key(const py::object &self, const py::set &present, const py::module_ &tavrin) {
    py::object features = py::getattr(self, "adv_features", py::list());
    if (!PyList_Check(features.ptr())) {
        return py::none();
    }
    py::object cfg = py::getattr(self, "_folder_cfg", py::none());
    py::object group = py::none();
    if (!cfg.is_none()) {
        try {
            group = cfg["Feature"].attr("get")("GroupIndex");
        } catch (py::error_already_set &) {
            return py::none();  // the check finds what such a configuration needs every time
        }
    }
    return py::make_tuple(py::tuple(features), py::getattr(self, "model", py::none()), group,
                          py::frozenset(present), tavrin.attr("split_features"),
                          model_inputs(self));
}

bool same_key(const py::object &a, const py::object &b) {
    // the model, the parser and the model's inputs by identity, the rest by value
    for (std::size_t i : {1, 4, 5}) {
        if (!a[py::int_(i)].is(b[py::int_(i)])) {
            return false;
        }
    }
    for (std::size_t i : {0, 2, 3}) {
        if (!a[py::int_(i)].equal(b[py::int_(i)])) {
            return false;
        }
    }
    return true;
}

Needs model_needs(const py::object &self, const py::set &present) {
    py::module_ tavrin = py::module_::import("tavrin");
    py::object key = needs_key(self, present, tavrin);
    py::object held = py::getattr(self, kNeedsAttr, py::none());
    if (!key.is_none() && PyTuple_Check(held.ptr()) && py::len(held) == 4 &&
        PyTuple_Check(held[py::int_(0)].ptr()) && py::len(held[py::int_(0)]) == 6 &&
        same_key(held[py::int_(0)], key)) {
        Needs needs;
        for (py::handle label : held[py::int_(1)]) {
            needs.add(text(label));
        }
        for (auto item : py::dict(held[py::int_(2)])) {
            needs.as_numbers.emplace(text(item.first), text(item.second));
        }
        needs.windows = held[py::int_(3)].cast<bool>();
        return needs;
    }
    Needs needs = compute_needs(self, present, tavrin);
    if (!key.is_none()) {
        py::list order;
        for (const std::string &label : needs.order) {
            order.append(py::str(label));
        }
        py::dict as_numbers;
        for (const auto &[label, feature] : needs.as_numbers) {
            as_numbers[py::str(label)] = py::str(feature);
        }
        py::setattr(self, kNeedsAttr,
                    py::make_tuple(key, py::tuple(order), as_numbers, py::bool_(needs.windows)));
    }
    return needs;
}

}  // namespace

void check_loaded_input(const py::object &path, const py::object &frame) {
    if (py::len(frame) != 0) {
        return;
    }
    py::module_ os = py::module_::import("os");
    if (os.attr("path").attr("isdir")(path).cast<bool>()) {
        if (py::len(frame.attr("columns")) == 0) {
            bind::raise(PyExc_ValueError, "the folder " + text(path) +
                                              " holds no CSV files (a folder input is read as "
                                              "the rows of every file in it)");
        }
        bind::raise(PyExc_ValueError,
                    "the CSV files of the folder " + text(path) + " hold column names but no rows");
    }
    bind::raise(PyExc_ValueError, text(path) + " holds column names but no rows");
}

void check_model_input(const py::object &self, const py::object &frame) {
    // labels: text, and distinct once cleaned
    const std::vector<std::string> labels = cleaned_labels(frame);
    std::vector<std::string> repeated;
    {
        std::set<std::string> seen;
        std::set<std::string> reported;
        for (const std::string &label : labels) {
            if (!seen.insert(label).second && reported.insert(label).second) {
                repeated.push_back(quote(py::str(label)));
            }
        }
    }
    if (!repeated.empty()) {
        bind::raise(PyExc_ValueError,
                    "the input has repeated column labels (after blanks around labels are removed "
                    "and spaces become '_'): " +
                        listing(repeated) + "; every column needs a label of its own");
    }
    if (py::len(frame) == 0) {
        bind::raise(PyExc_ValueError, "the input has no rows");
    }

    // the columns the engineered features and the model read
    py::set present;
    for (const std::string &label : labels) {
        present.add(py::str(label));
    }
    const Needs needs = model_needs(self, present);
    std::vector<std::string> missing;
    for (const std::string &label : needs.order) {
        if (!present.contains(py::str(label))) {
            missing.push_back(quote(py::str(label)));
        }
    }
    if (!missing.empty()) {
        bind::raise_object(PyExc_KeyError,
                           py::str("the input lacks " + std::to_string(missing.size()) +
                                   (missing.size() == 1 ? " column" : " columns") +
                                   " the model needs: " + listing(missing, 50)));
    }

    // Numbers written as text: a percentage column whose values all come
    // without "%" is not converted, and the engine's arithmetic fails on text.
    py::object records = py::getattr(self, "lec_record_dt", py::dict());
    py::object time_index = py::getattr(self, "time_index", py::none());
    py::object pd = global("pd");
    std::size_t position = 0;
    // The dtypes are read once: taking a column out of the frame costs more
    // than the test, and only text columns are taken out.
    py::list dtypes = frame_dtypes(frame);
    for (py::handle label : frame.attr("columns").attr("tolist")()) {
        const std::string &clean = labels[position];
        py::handle column_dtype = dtypes[position++];
        py::str key(clean);
        if (!needs.seen.count(clean) || records.contains(key) ||
            (!time_index.is_none() && key.equal(time_index))) {
            continue;
        }
        const std::string dtype = text(column_dtype.attr("name"));
        if (dtype != "object" && dtype != "str" && dtype != "string") {
            continue;
        }
        // A text ending with "%" is no number to pandas: such a column is a
        // percentage column, which the pipeline converts.
        if (native_any_percent(frame_column_array(frame, position - 1)) == 1) {
            continue;
        }
        py::object column = frame_column(frame, position - 1);
        auto all_numbers = [&](const py::object &part) {
            py::object numbers =
                pd.attr("to_numeric")(part.attr("astype")("object"), "errors"_a = "coerce");
            return numbers.attr("notna")().attr("all")().cast<bool>();
        };
        // the first values decide for percentage and other text columns
        py::object head = column.attr("head")(256).attr("dropna")();
        if (py::len(head) != 0 && !all_numbers(head)) {
            auto reader = needs.as_numbers.find(clean);
            if (reader == needs.as_numbers.end()) {
                continue;  // text where text is read (keys, comparisons, lags)
            }
            py::object numbers =
                pd.attr("to_numeric")(head.attr("astype")("object"), "errors"_a = "coerce");
            py::object example =
                head.attr("__getitem__")(numbers.attr("isna")()).attr("iloc")[py::int_(0)];
            bind::raise(PyExc_ValueError,
                        "column " + quote(label) + " holds text (such as " + quote(example) +
                            ") where the feature " + quote(py::str(reader->second)) +
                            " reads numbers: write the column's values as numbers");
        }
        py::object values = column.attr("dropna")();
        if (py::len(values) == 0) {
            continue;
        }
        if (all_numbers(values)) {
            bind::raise(
                PyExc_ValueError,
                "column " + quote(label) + " holds numbers written as text (such as " +
                    quote(values.attr("iloc")[py::int_(0)]) +
                    ") and no value ending in '%': the model reads it as numbers. If these are "
                    "percentages, the model was trained on their fractions: write them with "
                    "'%' (30.2%) or pass them as numbers divided by 100 (0.302); other values "
                    "pass as numbers");
        }
    }
}

py::list input_columns(const py::object &self) {
    py::list out;
    for (const std::string &label : model_needs(self, py::set()).order) {
        out.append(py::str(label));
    }
    return out;
}

}  // namespace brinvale::workbench
