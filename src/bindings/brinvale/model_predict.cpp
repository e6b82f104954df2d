// The model's output for a frame already in model form, without FLAML's
// input transform.  FLAML's predict copies the frame twice in its
// DataTransformer, expands date columns through pandas' .dt accessor and a
// Python call per row (datetime.toordinal), pins text columns to their
// categories through object arrays, imputes through several more copies and
// hands the learner a new frame, which the learner converts again.  For a
// FLAML AutoML whose transform and learner this file recognises exactly, the
// frame's columns are described as buffers (text columns coded against the
// transformer's categories), the core applies the transform and evaluates the
// trees with the learner library's own arithmetic, and the few steps after
// that (class labels, the columns of binary probabilities, link functions of
// scikit-learn's losses) call the same NumPy and scikit-learn functions the
// libraries call.  Anything else returns None, after a debug message on the
// "brinvale.model" logger naming the reason, and the caller uses the model's
// own predict.
#include "workbench.hpp"

#include "brinvale/model_eval.hpp"
#include "brinvale/models.hpp"
#include "textcolumn.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

// Thrown while planning: the native path does not apply, for this reason.
struct NotNative {
    std::string reason;
};

[[noreturn]] void not_native(std::string reason) { throw NotNative{std::move(reason)}; }

py::object loaded_attr(const char *module, const char *name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) {
        return py::none();
    }
    return py::getattr(modules[module], name, py::none());
}

bool is_exactly(py::handle obj, py::handle cls) {
    return !cls.is_none() && reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())) == cls.ptr();
}

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

py::object attr_or_none(py::handle obj, const char *name) {
    return py::getattr(obj, name, py::none());
}

std::string type_name(py::handle obj) {
    py::handle type = reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()));
    return py::str(type.attr("__module__")).cast<std::string>() + "." +
           py::str(type.attr("__qualname__")).cast<std::string>();
}

std::string text_of(py::handle obj) { return py::str(obj).cast<std::string>(); }

unsigned eval_threads() { return std::max(1u, std::min(4u, std::thread::hardware_concurrency())); }

// (major, minor) of a library's __version__, or (0, 0).
std::pair<int, int> version_of(const char *module) {
    py::object mod = loaded_attr(module, "__version__");
    if (!PyUnicode_Check(mod.ptr())) {
        return {0, 0};
    }
    const std::string v = mod.cast<std::string>();
    int major = 0;
    int minor = 0;
    if (std::sscanf(v.c_str(), "%d.%d", &major, &minor) != 2) {
        return {0, 0};
    }
    return {major, minor};
}

// ---------------------------------------------------------------- parsed models

// Compiled models, keyed by the library object (a weak reference) and a
// signature that changes when the object is refitted or replaced.
struct CachedModel {
    py::object ref;
    py::object signature;
    std::shared_ptr<const void> model;
};

std::vector<CachedModel> &model_cache() {
    // Never destroyed: its Python references must not be released after the
    // interpreter has gone.
    static auto *cache = new std::vector<CachedModel>();
    return *cache;
}

template <typename T, typename Build>
std::shared_ptr<const T> cached(py::handle owner, py::object signature, Build &&build) {
    auto &cache = model_cache();
    std::erase_if(cache, [](const CachedModel &c) { return c.ref().is_none(); });
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->ref().ptr() == owner.ptr() && it->signature.equal(signature)) {
            CachedModel hit = *it;
            cache.erase(it);
            cache.insert(cache.begin(), hit);
            return std::static_pointer_cast<const T>(hit.model);
        }
    }
    std::shared_ptr<const T> model = build();
    cache.insert(cache.begin(),
                 CachedModel{py::module_::import("weakref").attr("ref")(owner), signature, model});
    if (cache.size() > 8) {
        cache.pop_back();
    }
    return model;
}

std::uintptr_t handle_address(py::handle booster) {
    py::object value = attr_or_none(attr_or_none(booster, "_handle"), "value");
    if (!PyLong_Check(value.ptr())) {
        value = attr_or_none(attr_or_none(booster, "handle"), "value");
    }
    if (!PyLong_Check(value.ptr())) {
        not_native("the booster has no native handle");
    }
    return value.cast<std::uintptr_t>();
}

std::shared_ptr<const core::LightGbmForest> parsed_lightgbm(py::handle booster) {
    py::object signature = py::int_(handle_address(booster));
    return cached<core::LightGbmForest>(booster, signature, [&] {
        py::str text = booster.attr("model_to_string")("num_iteration"_a = -1);
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (utf8 == nullptr) {
            throw py::error_already_set();
        }
        std::string error;
        std::shared_ptr<const core::LightGbmForest> model;
        {
            py::gil_scoped_release release;
            try {
                model = std::make_shared<const core::LightGbmForest>(
                    core::compile_forest(core::parse_lightgbm_model(
                        std::string_view(utf8, static_cast<std::size_t>(size)))));
            } catch (const core::ModelError &e) {
                error = e.what();
            }
        }
        if (!model) {
            not_native("the LightGBM model is not evaluated natively: " + error);
        }
        return model;
    });
}

std::shared_ptr<const core::XgbForest> parsed_xgboost(py::handle booster) {
    py::object rounds = booster.attr("num_boosted_rounds")();
    py::object signature = py::make_tuple(py::int_(handle_address(booster)), rounds);
    return cached<core::XgbForest>(booster, signature, [&] {
        py::object raw = booster.attr("save_raw")("raw_format"_a = "ubj");
        py::bytes bytes = py::module_::import("builtins").attr("bytes")(raw);
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) {
            throw py::error_already_set();
        }
        std::string error;
        std::shared_ptr<const core::XgbForest> model;
        {
            py::gil_scoped_release release;
            try {
                model = std::make_shared<const core::XgbForest>(core::parse_xgboost_forest(
                    std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(data),
                                                  static_cast<std::size_t>(size))));
            } catch (const core::ModelError &e) {
                error = e.what();
            }
        }
        if (!model) {
            not_native("the XGBoost model is not evaluated natively: " + error);
        }
        return model;
    });
}

template <typename T>
py::array_t<T> field(py::handle structured, const char *name) {
    py::object column = structured[py::str(name)];
    return py::module_::import("numpy").attr("ascontiguousarray")(column,
                                                                  "dtype"_a = py::dtype::of<T>());
}

// A scikit-learn Tree's nodes and values, into `trees`.
void add_tree(core::SklearnTrees &trees, py::handle tree, std::size_t outputs) {
    py::object nodes = tree.attr("__getstate__")()["nodes"];
    py::array values = py::module_::import("numpy").attr("ascontiguousarray")(
        tree.attr("value"), "dtype"_a = py::dtype::of<double>());
    const auto n = static_cast<std::size_t>(py::len(nodes));
    if (values.ndim() != 3 || static_cast<std::size_t>(values.shape(0)) != n ||
        values.shape(1) != 1 || static_cast<std::size_t>(values.shape(2)) != outputs) {
        not_native("a tree's values are not one output of " + std::to_string(outputs) +
                   " per node");
    }
    auto left = field<std::int64_t>(nodes, "left_child");
    auto right = field<std::int64_t>(nodes, "right_child");
    auto feature = field<std::int64_t>(nodes, "feature");
    auto threshold = field<double>(nodes, "threshold");
    auto missing = field<std::uint8_t>(nodes, "missing_go_to_left");
    core::add_sklearn_tree(trees, {left.data(), n}, {right.data(), n}, {feature.data(), n},
                           {threshold.data(), n}, {missing.data(), n},
                           {static_cast<const double *>(values.data()), n * outputs});
}

py::object forest_signature(py::handle forest) {
    py::list ids;
    ids.append(py::int_(reinterpret_cast<std::uintptr_t>(forest.ptr())));
    for (py::handle e : forest.attr("estimators_")) {
        ids.append(py::int_(reinterpret_cast<std::uintptr_t>(attr_or_none(e, "tree_").ptr())));
    }
    return py::tuple(ids);
}

std::shared_ptr<const core::SklearnTrees> parsed_forest(py::handle forest, std::size_t outputs) {
    return cached<core::SklearnTrees>(forest, forest_signature(forest), [&] {
        auto trees = std::make_shared<core::SklearnTrees>();
        trees->num_features = forest.attr("n_features_in_").cast<std::int64_t>();
        trees->outputs = static_cast<std::int32_t>(outputs);
        py::object tree_cls = loaded_attr("sklearn.tree._tree", "Tree");
        for (py::handle e : forest.attr("estimators_")) {
            py::object tree = attr_or_none(e, "tree_");
            if (!is_exactly(tree, tree_cls) || tree.attr("n_outputs").cast<long>() != 1) {
                not_native("a tree of the forest is not a single-output scikit-learn Tree");
            }
            try {
                add_tree(*trees, tree, outputs);
            } catch (const core::ModelError &e) {
                not_native(std::string("a tree of the forest is refused: ") + e.what());
            }
        }
        if (trees->roots.empty()) {
            not_native("the forest has no trees");
        }
        return std::shared_ptr<const core::SklearnTrees>(trees);
    });
}

std::shared_ptr<const core::SklearnTrees> parsed_histgb(py::handle model, std::size_t k) {
    py::object predictors = model.attr("_predictors");
    py::list ids;
    ids.append(py::int_(reinterpret_cast<std::uintptr_t>(predictors.ptr())));
    ids.append(py::len(predictors));
    return cached<core::SklearnTrees>(model, py::tuple(ids), [&] {
        auto trees = std::make_shared<core::SklearnTrees>();
        trees->num_features = model.attr("n_features_in_").cast<std::int64_t>();
        trees->outputs = 1;
        py::module_ np = py::module_::import("numpy");
        for (py::handle iteration : predictors) {
            if (py::len(iteration) != k) {
                not_native("an iteration of the gradient boosting has other than " +
                           std::to_string(k) + " predictors");
            }
            for (py::handle predictor : iteration) {
                py::object nodes = predictor.attr("nodes");
                const auto n = static_cast<std::size_t>(py::len(nodes));
                auto is_leaf = field<std::uint8_t>(nodes, "is_leaf");
                auto categorical = field<std::uint8_t>(nodes, "is_categorical");
                auto left = field<std::int64_t>(nodes, "left");
                auto right = field<std::int64_t>(nodes, "right");
                auto feature = field<std::int64_t>(nodes, "feature_idx");
                auto threshold = field<double>(nodes, "num_threshold");
                auto missing = field<std::uint8_t>(nodes, "missing_go_to_left");
                auto value = field<double>(nodes, "value");
                std::int64_t *l = left.mutable_data();
                std::int64_t *r = right.mutable_data();
                for (std::size_t i = 0; i < n; ++i) {
                    if (categorical.data()[i]) {
                        not_native("the gradient boosting has categorical splits");
                    }
                    if (is_leaf.data()[i]) {
                        l[i] = -1;
                        r[i] = -1;
                    }
                }
                try {
                    core::add_sklearn_tree(*trees, {l, n}, {r, n}, {feature.data(), n},
                                           {threshold.data(), n}, {missing.data(), n},
                                           {value.data(), n});
                } catch (const core::ModelError &e) {
                    not_native(std::string("a predictor of the gradient boosting is refused: ") +
                               e.what());
                }
            }
        }
        return std::shared_ptr<const core::SklearnTrees>(trees);
    });
}

// ---------------------------------------------------------------- the transform

// How the learner reads a category column of the transformed frame: its
// codes (scikit-learn learners, through FLAML's cat.codes), or LightGBM's
// codes in the categories it was trained with.
struct CategoryReading {
    bool lightgbm = false;
    py::list lightgbm_categories;  // one list per category column
};

// The input buffers and the transform of one call.
struct Plan {
    std::vector<py::object> keep;  // what owns the buffers
    std::vector<std::vector<std::int32_t>> codes;
    std::vector<core::InputColumn> columns;
    core::ModelTransform transform;
    std::size_t rows = 0;
};

bool default_output(py::handle estimator) {
    py::object config = attr_or_none(estimator, "_sklearn_output_config");
    if (config.is_none()) {
        return true;
    }
    py::object transform = config.attr("get")("transform");
    return transform.is_none() || text_of(transform) == "default";
}

bool number_type(const py::array &a, core::InputColumn::Type &type) {
    using T = core::InputColumn::Type;
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    if (a.dtype().byteorder() == '>') {
        return false;
    }
    if (kind == 'f' && size == 8) {
        type = T::F64;
    } else if (kind == 'f' && size == 4) {
        type = T::F32;
    } else if (kind == 'b' && size == 1) {
        type = T::Bool;
    } else if (kind == 'i') {
        type = size == 1 ? T::I8 : size == 2 ? T::I16 : size == 4 ? T::I32 : T::I64;
    } else if (kind == 'u') {
        type = size == 1 ? T::U8 : size == 2 ? T::U16 : size == 4 ? T::U32 : T::U64;
    } else {
        return false;
    }
    return true;
}

const char *kDatePrefixes[] = {"year_",   "month_",     "day_",       "hour_",   "minute_",
                               "second_", "dayofweek_", "dayofyear_", "quarter_"};
const core::FeatureRecipe::Op kDateOps[] = {
    core::FeatureRecipe::Op::Year,      core::FeatureRecipe::Op::Month,
    core::FeatureRecipe::Op::Day,       core::FeatureRecipe::Op::Hour,
    core::FeatureRecipe::Op::Minute,    core::FeatureRecipe::Op::Second,
    core::FeatureRecipe::Op::DayOfWeek, core::FeatureRecipe::Op::DayOfYear,
    core::FeatureRecipe::Op::Quarter};

std::vector<std::string> str_list(py::handle obj, const char *what) {
    if (!PyList_CheckExact(obj.ptr())) {
        not_native(std::string("the transformer's ") + what + " are not a list");
    }
    std::vector<std::string> out;
    for (py::handle item : obj) {
        if (!PyUnicode_CheckExact(item.ptr())) {
            not_native(std::string("the transformer's ") + what + " are not all text labels");
        }
        out.push_back(item.cast<std::string>());
    }
    return out;
}

// Frame columns by label: unique text labels only (a repeated label hands
// pandas' selection several columns).
struct FrameColumns {
    py::object frame;
    std::unordered_map<std::string, std::size_t> position;
    py::object get_column;

    // A dict of one-dimensional arrays stands for a frame of those columns:
    // the scoring plan's columns, which never become a frame.
    py::list arrays;
    bool from_dict = false;

    explicit FrameColumns(py::object f) : frame(std::move(f)) {
        from_dict = PyDict_CheckExact(frame.ptr()) != 0;
        py::list labels = from_dict ? py::list(frame.attr("keys")())
                                    : py::list(frame.attr("columns").attr("tolist")());
        if (from_dict) {
            arrays = py::list(frame.attr("values")());
        }
        for (std::size_t i = 0; i < py::len(labels); ++i) {
            PyObject *label = PyList_GET_ITEM(labels.ptr(), i);
            if (!PyUnicode_CheckExact(label)) {
                not_native("the frame has a column label that is not text");
            }
            const std::string name = py::reinterpret_borrow<py::str>(label).cast<std::string>();
            if (!position.emplace(name, i).second) {
                not_native("the frame repeats the column label '" + name + "'");
            }
        }
        get_column = from_dict ? py::none() : attr_or_none(frame, "_get_column_array");
    }
    std::size_t rows() const {
        if (!from_dict) {
            return py::len(frame);
        }
        return py::len(arrays) == 0 ? 0 : py::len(arrays[0]);
    }
    bool has(const std::string &name) const { return position.count(name) != 0; }
    std::size_t at(const std::string &name) const {
        auto it = position.find(name);
        if (it == position.end()) {
            not_native("the frame lacks the column '" + name + "' (the model raises)");
        }
        return it->second;
    }
    py::object series(std::size_t i) const {
        if (from_dict) {
            return py::module_::import("pandas").attr("Series")(arrays[i]);
        }
        return frame.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)];
    }
    py::object values(std::size_t i) const {
        if (from_dict) {
            return arrays[i];
        }
        if (!get_column.is_none()) {
            return get_column(i);
        }
        return series(i).attr("to_numpy")();
    }
};

// One numeric or datetime column of the frame as a buffer.
std::uint32_t add_column(Plan &plan, const FrameColumns &frame, const std::string &name,
                         bool datetime) {
    const std::size_t i = frame.at(name);
    py::object values = frame.values(i);
    if (!py::isinstance<py::array>(values)) {
        if (datetime) {
            values = frame.series(i).attr("to_numpy")();
        }
        if (!py::isinstance<py::array>(values)) {
            not_native("the column '" + name + "' is of dtype " +
                       text_of(frame.series(i).attr("dtype")) +
                       ", which only the model's own transform reads");
        }
    }
    py::array a = values;
    if (a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != plan.rows) {
        not_native("the column '" + name + "' is not one-dimensional");
    }
    core::InputColumn c;
    c.data = a.data();
    c.stride = a.strides(0);
    if (datetime) {
        if (a.dtype().kind() != 'M' || a.itemsize() != 8) {
            not_native("the date column '" + name + "' is not a naive datetime64 column");
        }
        py::tuple unit = py::module_::import("numpy").attr("datetime_data")(a.dtype());
        const std::string u = text_of(unit[0]);
        const long count = unit[1].cast<long>();
        c.type = core::InputColumn::Type::Datetime;
        c.ticks_per_second = u == "s"    ? 1
                             : u == "ms" ? 1000
                             : u == "us" ? 1000000
                             : u == "ns" ? 1000000000
                                         : 0;
        if (c.ticks_per_second == 0 || count != 1) {
            not_native("the date column '" + name + "' has the unit " + u);
        }
    } else if (!number_type(a, c.type)) {
        not_native("the column '" + name + "' is of dtype " + text_of(a.dtype()) +
                   ", which only the model's own transform reads");
    }
    plan.keep.push_back(a);
    plan.columns.push_back(c);
    return static_cast<std::uint32_t>(plan.columns.size() - 1);
}

// FLAML's categories for one column: the encoder's, "__NAN__" appended when
// absent.
struct PinnedCategories {
    std::vector<std::string> texts;
    std::int32_t nan_code = 0;
};

PinnedCategories pinned_categories(py::handle categories, const std::string &column) {
    std::optional<bind::TextRows> rows;
    if (py::isinstance<py::array>(categories)) {
        py::array a = py::reinterpret_borrow<py::array>(categories);
        if (a.ndim() == 1 && a.dtype().kind() == 'O') {
            rows = bind::read_text_rows(categories, bind::NonText::Refuse);
        }
    }
    if (!rows) {
        not_native("the categories of '" + column + "' are not all text");
    }
    PinnedCategories out;
    out.nan_code = -1;
    const core::TextColumn col = rows->column();
    col.for_each([&](std::size_t, bool, std::string_view text) {
        if (text == "__NAN__" && out.nan_code < 0) {
            out.nan_code = static_cast<std::int32_t>(out.texts.size());
        }
        out.texts.emplace_back(text);
    });
    if (out.nan_code < 0) {
        out.nan_code = static_cast<std::int32_t>(out.texts.size());
        out.texts.emplace_back("__NAN__");
    }
    return out;
}

void warn_unseen(const std::string &name, const std::vector<std::string> &unseen) {
    py::list samples;
    for (const std::string &s : unseen) {
        samples.append(py::str(s));
    }
    const std::string message =
        "Column '" + name + "' contains values unseen at fit time (e.g. " + text_of(samples) +
        "); these rows will be encoded as '__NAN__' and predictions may be unreliable.";
    py::module_::import("warnings")
        .attr("warn")(message, py::module_::import("builtins").attr("UserWarning"),
                      "stacklevel"_a = 2);
}

// The category column `name` of the frame (text, or pandas categorical with
// text categories) as codes into its pinned categories, with FLAML's warning
// for unseen values.
std::uint32_t add_category_column(Plan &plan, const FrameColumns &frame, const std::string &name,
                                  const PinnedCategories &pinned) {
    py::object series = frame.series(frame.at(name));
    py::object dtype = series.attr("dtype");
    const std::string dtype_name = text_of(dtype.attr("name"));
    std::vector<std::string_view> views(pinned.texts.begin(), pinned.texts.end());
    core::TextCodeTable table(views);
    std::vector<std::int32_t> codes(plan.rows);
    std::vector<std::string> unseen;
    std::size_t n_unseen = 0;
    if (dtype_name == "category") {
        py::object categories = series.attr("cat").attr("categories");
        std::optional<bind::TextRows> texts =
            bind::read_text_rows(categories, bind::NonText::Refuse);
        if (!texts) {
            not_native("the categories of the column '" + name + "' are not all text");
        }
        std::vector<std::int32_t> map;
        std::vector<std::string> names;
        texts->column().for_each([&](std::size_t, bool, std::string_view text) {
            const std::int64_t code = table.find(text);
            map.push_back(code >= 0 ? static_cast<std::int32_t>(code) : -1);
            names.emplace_back(text);
        });
        py::array column = py::module_::import("numpy").attr("ascontiguousarray")(
            series.attr("cat").attr("codes").attr("to_numpy")());
        core::InputColumn c;
        c.data = column.data();
        c.stride = column.strides(0);
        if (!number_type(column, c.type) ||
            static_cast<std::size_t>(column.shape(0)) != plan.rows) {
            not_native("the codes of the column '" + name + "' are not integers");
        }
        for (std::int32_t &m : map) {
            if (m < 0) {
                m = pinned.nan_code;
            }
        }
        std::vector<std::uint8_t> used;
        try {
            core::recode_categories(c, plan.rows, map, pinned.nan_code, codes, used);
        } catch (const core::ModelError &e) {
            not_native(e.what());
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (used[i] && table.find(names[i]) < 0) {
                unseen.push_back(names[i]);
                ++n_unseen;
            }
        }
        std::sort(unseen.begin(), unseen.end());
        if (unseen.size() > 5) {
            unseen.resize(5);
        }
    } else if (dtype_name == "object" || dtype_name == "str" || dtype_name == "string") {
        std::optional<bind::TextRows> rows = bind::read_text_rows(series, bind::NonText::Missing);
        if (!rows || rows->size() != plan.rows) {
            not_native("the text column '" + name + "' holds values that are not text");
        }
        py::gil_scoped_release release;
        n_unseen = core::category_codes(rows->column(), table, pinned.nan_code, codes, unseen, 5);
    } else {
        not_native("the text column '" + name + "' is of dtype " + dtype_name +
                   ", which only the model's own transform reads");
    }
    if (n_unseen > 0) {
        warn_unseen(name, unseen);
    }
    plan.codes.push_back(std::move(codes));
    core::InputColumn c;
    c.data = plan.codes.back().data();
    c.stride = sizeof(std::int32_t);
    c.type = core::InputColumn::Type::I32;
    plan.columns.push_back(c);
    return static_cast<std::uint32_t>(plan.columns.size() - 1);
}

// The imputer of FLAML's numeric columns: its statistics, one per column.
py::array_t<double> imputer_statistics(py::handle transformer, const std::vector<std::string> &nums,
                                       bool renamed) {
    py::object ct = attr_or_none(transformer, "transformer");
    if (!is_exactly(ct, loaded_attr("sklearn.compose._column_transformer", "ColumnTransformer")) ||
        !default_output(ct)) {
        not_native("the numeric columns are not transformed by a plain ColumnTransformer");
    }
    py::object remainder = attr_or_none(ct, "remainder");
    if (!PyUnicode_Check(remainder.ptr()) || remainder.cast<std::string>() != "drop") {
        not_native("the ColumnTransformer keeps a remainder");
    }
    py::object fitted = attr_or_none(ct, "transformers_");
    if (!PyList_Check(fitted.ptr()) || py::len(fitted) < 1) {
        not_native("the ColumnTransformer is not fitted");
    }
    py::list expected;
    for (std::size_t j = 0; j < nums.size(); ++j) {
        if (renamed) {
            expected.append(py::int_(j));
        } else {
            expected.append(py::str(nums[j]));
        }
    }
    py::object imputer;
    for (std::size_t i = 0; i < py::len(fitted); ++i) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(PyList_GET_ITEM(fitted.ptr(), i));
        if (py::len(entry) != 3) {
            not_native("the ColumnTransformer's transformers are not triples");
        }
        const std::string name = text_of(entry[0]);
        if (i == 0 && name == "continuous") {
            imputer = entry[1];
            if (!py::list(entry[2]).equal(expected)) {
                not_native("the imputer reads other columns than the numeric ones");
            }
        } else if (!(name == "remainder" && PyUnicode_Check(entry[1].ptr()) &&
                     text_of(entry[1]) == "drop" && py::len(entry[2]) == 0)) {
            not_native("the ColumnTransformer holds the transformer '" + name + "'");
        }
    }
    py::object global_output =
        py::module_::import("sklearn").attr("get_config")()["transform_output"];
    if (!imputer || !is_exactly(imputer, loaded_attr("sklearn.impute._base", "SimpleImputer")) ||
        !default_output(imputer) || text_of(global_output) != "default") {
        not_native("the numeric columns are not imputed by a plain SimpleImputer");
    }
    py::object strategy = attr_or_none(imputer, "strategy");
    if (!PyUnicode_Check(strategy.ptr()) ||
        (strategy.cast<std::string>() != "median" && strategy.cast<std::string>() != "mean")) {
        not_native("the imputer's strategy is " + text_of(strategy));
    }
    py::object missing = attr_or_none(imputer, "missing_values");
    if (!PyFloat_Check(missing.ptr()) || !std::isnan(PyFloat_AS_DOUBLE(missing.ptr())) ||
        truthy(attr_or_none(imputer, "add_indicator"))) {
        not_native("the imputer replaces other values than NaN or adds indicators");
    }
    py::object stats_obj = attr_or_none(imputer, "statistics_");
    if (!py::isinstance<py::array>(stats_obj)) {
        not_native("the imputer has no statistics");
    }
    py::array stats_any = stats_obj;
    if (stats_any.ndim() != 1 || static_cast<std::size_t>(stats_any.shape(0)) != nums.size() ||
        stats_any.dtype().kind() != 'f' || stats_any.itemsize() != 8) {
        not_native("the imputer's statistics are not one float64 per numeric column");
    }
    auto stats = py::array_t<double>::ensure(stats_any);
    for (std::size_t j = 0; j < nums.size(); ++j) {
        if (std::isnan(stats.at(static_cast<py::ssize_t>(j)))) {
            // A column without a statistic is dropped by the imputer.
            not_native("the imputer drops the column '" + nums[j] + "'");
        }
    }
    return stats;
}

// FLAML's DataTransformer.transform(frame) for the learner, described as
// buffers and recipes.
Plan plan_transform(py::handle transformer, py::object frame, py::handle target,
                    std::size_t n_features, const CategoryReading &reading) {
    if (!is_exactly(transformer, loaded_attr("flaml.automl.data", "DataTransformer"))) {
        not_native("the model's transformer is not FLAML's DataTransformer");
    }
    py::object task = attr_or_none(transformer, "_task");
    if (task.is_none() || truthy(task.attr("is_nlp")()) || truthy(task.attr("is_ts_forecast")())) {
        not_native("the transformer is one of a text or time-series task");
    }
    const std::vector<std::string> cats =
        str_list(attr_or_none(transformer, "_cat_columns"), "categorical columns");
    const std::vector<std::string> nums =
        str_list(attr_or_none(transformer, "_num_columns"), "numeric columns");
    const std::vector<std::string> dates =
        str_list(attr_or_none(transformer, "_datetime_columns"), "datetime columns");
    if (cats.size() + nums.size() != n_features) {
        not_native("the transformer makes " + std::to_string(cats.size() + nums.size()) +
                   " columns for a learner of " + std::to_string(n_features));
    }
    if (!is_exactly(frame, loaded_attr("pandas", "DataFrame")) && !PyDict_CheckExact(frame.ptr())) {
        not_native("the input is not a pandas DataFrame");
    }
    Plan plan;
    FrameColumns columns(frame);
    plan.rows = columns.rows();
    if (plan.rows == 0) {
        not_native("the frame has no rows");
    }
    if (!target.is_none() && PyUnicode_Check(target.ptr())) {
        const std::string t = target.cast<std::string>();
        auto needed = [&](const std::string &c) { return c == t; };
        if (std::any_of(cats.begin(), cats.end(), needed) ||
            std::any_of(nums.begin(), nums.end(), needed) ||
            std::any_of(dates.begin(), dates.end(), needed)) {
            // The target is dropped before the model sees the frame.
            not_native("the target '" + t + "' is a column the model reads");
        }
    }

    if (reading.lightgbm && py::len(reading.lightgbm_categories) != cats.size()) {
        not_native("LightGBM's categories do not match the categorical columns (the model "
                   "raises)");
    }
    // Category columns, pinned to the encoder's categories.
    if (!cats.empty()) {
        py::object encoder = attr_or_none(transformer, "_ordinal_encoder");
        if (!is_exactly(encoder,
                        loaded_attr("sklearn.preprocessing._encoders", "OrdinalEncoder"))) {
            not_native("the categorical columns are not pinned by a fitted OrdinalEncoder "
                       "(a transformer of an older FLAML)");
        }
        py::object categories = attr_or_none(encoder, "categories_");
        if (!PyList_Check(categories.ptr()) || py::len(categories) != cats.size()) {
            not_native("the encoder's categories are not one list per categorical column");
        }
        for (std::size_t j = 0; j < cats.size(); ++j) {
            PinnedCategories pinned = pinned_categories(
                py::reinterpret_borrow<py::object>(PyList_GET_ITEM(categories.ptr(), j)), cats[j]);
            core::FeatureRecipe f;
            f.op = core::FeatureRecipe::Op::Category;
            f.source = add_category_column(plan, columns, cats[j], pinned);
            f.category_values.resize(pinned.texts.size());
            if (!reading.lightgbm) {
                // FLAML's cat.codes for scikit-learn-style learners.
                for (std::size_t p = 0; p < pinned.texts.size(); ++p) {
                    f.category_values[p] = static_cast<double>(p);
                }
            } else {
                // Booster.predict's cat.set_categories(pandas_categorical[j]):
                // a category LightGBM was not trained with is missing.
                py::object trained = reading.lightgbm_categories[j];
                if (!PyList_Check(trained.ptr())) {
                    not_native("LightGBM's categories are not lists");
                }
                std::unordered_map<std::string, std::size_t> index;
                std::size_t i = 0;
                for (py::handle item : trained) {
                    if (!PyUnicode_CheckExact(item.ptr())) {
                        not_native("LightGBM's categories of '" + cats[j] + "' are not all text");
                    }
                    index.emplace(item.cast<std::string>(), i++);
                }
                for (std::size_t p = 0; p < pinned.texts.size(); ++p) {
                    auto it = index.find(pinned.texts[p]);
                    f.category_values[p] = it == index.end()
                                               ? std::numeric_limits<double>::quiet_NaN()
                                               : static_cast<double>(it->second);
                }
            }
            plan.transform.features.push_back(std::move(f));
        }
    }

    // Numeric columns: the frame's own, or the parts and ordinals of its
    // datetime columns, then the imputer's fill.
    if (!nums.empty()) {
        const bool renamed = truthy(attr_or_none(transformer, "_drop"));
        py::array_t<double> stats = imputer_statistics(transformer, nums, renamed);
        std::unordered_map<std::string, std::uint32_t> date_source;
        for (const std::string &d : dates) {
            date_source.emplace(d, add_column(plan, columns, d, true));
        }
        py::list dtypes;
        for (std::size_t j = 0; j < nums.size(); ++j) {
            const std::string &name = nums[j];
            core::FeatureRecipe f;
            f.impute = true;
            f.fill = stats.at(static_cast<py::ssize_t>(j));
            bool made = false;
            if (!columns.has(name)) {
                // A part FLAML adds for a datetime column.
                for (const std::string &d : dates) {
                    for (std::size_t p = 0; p < std::size(kDatePrefixes) && !made; ++p) {
                        if (name == kDatePrefixes[p] + d) {
                            f.op = kDateOps[p];
                            f.source = date_source.at(d);
                            made = true;
                        }
                    }
                }
                if (!made) {
                    not_native("the frame lacks the column '" + name + "' (the model raises)");
                }
            } else if (date_source.count(name)) {
                f.op = core::FeatureRecipe::Op::DateOrdinal;
                f.source = date_source.at(name);
            } else {
                f.op = core::FeatureRecipe::Op::Number;
                f.refuse_infinite = true;
                f.source = add_column(plan, columns, name, false);
                dtypes.append(py::reinterpret_borrow<py::array>(plan.keep.back()).dtype());
            }
            plan.transform.features.push_back(std::move(f));
        }
        if (dates.empty() && py::len(dtypes) > 0) {
            // The imputer keeps float32 (and float16) when the columns' common
            // dtype is one: its fill would be rounded.  Date parts are int32
            // or float64, which makes the common dtype float64.
            py::object common = py::module_::import("numpy").attr("result_type")(*dtypes);
            const std::string kind = text_of(common.attr("kind"));
            if (kind == "f" && common.attr("itemsize").cast<int>() != 8) {
                not_native("the imputer works in " + text_of(common));
            }
        }
    } else if (!dates.empty()) {
        not_native("datetime columns without numeric columns");
    }
    try {
        core::check_transform(plan.transform, plan.columns);
    } catch (const core::ModelError &e) {
        not_native(e.what());
    }
    return plan;
}

// ---------------------------------------------------------------- after the trees

// LabelEncoder.inverse_transform(indices) for a plain scikit-learn encoder:
// after its checks it is np.take(classes_, indices); its check for unseen
// labels sorts the whole input, which costs more than the trees.
py::object decode_labels(py::handle encoder, py::object indices) {
    py::module_ np = py::module_::import("numpy");
    py::object plain = loaded_attr("sklearn.preprocessing._label", "LabelEncoder");
    py::object config = py::module_::import("sklearn").attr("get_config")();
    py::object classes = attr_or_none(encoder, "classes_");
    if (is_exactly(encoder, plain) && !truthy(config["array_api_dispatch"]) &&
        py::isinstance<py::array>(classes) && py::array(classes).ndim() == 1 &&
        py::isinstance<py::array_t<std::int64_t>>(indices)) {
        auto idx = py::array_t<std::int64_t>::ensure(indices);
        if (idx && idx.ndim() == 1 && idx.size() > 0) {
            const std::int64_t n = py::array(classes).shape(0);
            const std::int64_t *p = idx.data();
            bool in_range = true;
            {
                py::gil_scoped_release release;
                for (py::ssize_t i = 0; i < idx.size(); ++i) {
                    in_range &= p[i] >= 0 && p[i] < n;
                }
            }
            if (in_range) {
                return np.attr("take")(classes, idx, "axis"_a = 0);
            }
        }
    }
    return encoder.attr("inverse_transform")(indices);
}

// AutoML.predict after the learner's predict.
py::object automl_labels(py::handle model, py::object result) {
    if (py::isinstance<py::array>(result) && py::array(result).ndim() > 1) {
        result = result.attr("flatten")();
    }
    py::object labels = attr_or_none(model, "_label_transformer");
    if (truthy(labels)) {
        py::object as_int = result.attr("astype")(py::module_::import("builtins").attr("int"));
        if (is_exactly(labels, loaded_attr("sklearn.preprocessing._label", "LabelEncoder"))) {
            // A Series of these integers reaches the encoder as this array.
            return decode_labels(labels, as_int);
        }
        py::object series = loaded_attr("flaml.automl.automl", "Series");
        return labels.attr("inverse_transform")(series(as_int));
    }
    return result;
}

// Whether LGBMClassifier.predict_proba returns LightGBM's columns as they
// are: LightGBM 4.0 decides by the class count alone, later releases ask a
// private property that also counts a multiclass objective.
bool lightgbm_multiclass(py::handle classifier) {
    py::object multi = attr_or_none(classifier, "_LGBMClassifier__is_multiclass");
    if (!multi.is_none()) {
        return truthy(multi);
    }
    py::object n_classes = attr_or_none(classifier, "_n_classes");
    if (!PyLong_CheckExact(n_classes.ptr())) {
        not_native("the classifier's class count is not an integer");
    }
    return n_classes.cast<long long>() > 2;
}

void check_feature_names(py::handle learner_names, const std::vector<std::string> &order,
                         const char *who) {
    if (learner_names.is_none()) {
        return;
    }
    py::list expected;
    for (const std::string &s : order) {
        expected.append(py::str(s));
    }
    py::list given = py::module_::import("builtins").attr("list")(learner_names);
    py::list as_text;
    for (py::handle h : given) {
        as_text.append(py::str(h));
    }
    if (!as_text.equal(expected)) {
        not_native(std::string(who) + "'s feature names differ from the transformer's columns "
                                      "(the model raises)");
    }
}

std::vector<std::string> transformed_order(py::handle transformer) {
    std::vector<std::string> out =
        str_list(attr_or_none(transformer, "_cat_columns"), "categorical columns");
    for (const std::string &s :
         str_list(attr_or_none(transformer, "_num_columns"), "numeric columns")) {
        out.push_back(s);
    }
    return out;
}

// ---------------------------------------------------------------- the learners

py::object lightgbm_output(py::handle model, py::handle inner, bool classifier, py::object frame,
                           py::handle target, bool proba) {
    py::object booster = attr_or_none(inner, "_Booster");
    if (!is_exactly(booster, loaded_attr("lightgbm.basic", "Booster")) ||
        !truthy(inner.attr("__sklearn_is_fitted__")()) ||
        PyCallable_Check(attr_or_none(inner, "_objective").ptr())) {
        not_native("the LightGBM learner is not a fitted booster with a built-in objective");
    }
    py::object other = attr_or_none(inner, "_other_params");
    if (!PyDict_Check(other.ptr()) || other.contains("pred_early_stop")) {
        not_native("the LightGBM learner predicts with early stopping");
    }
    py::object best = attr_or_none(booster, "best_iteration");
    if (!PyLong_CheckExact(best.ptr())) {
        not_native("the booster's best iteration is not an integer");
    }
    // Booster.predict sets a frame's categories to those it was trained
    // with; without them (None) it takes the frame's own, FLAML's pinned ones.
    CategoryReading reading;
    py::object categorical = attr_or_none(booster, "pandas_categorical");
    if (!categorical.is_none()) {
        if (!PyList_Check(categorical.ptr())) {
            not_native("the booster's pandas_categorical is not a list");
        }
        reading.lightgbm = true;
        reading.lightgbm_categories = categorical;
    }
    auto parsed = parsed_lightgbm(booster);
    Plan plan = plan_transform(attr_or_none(model, "_transformer"), frame, target,
                               static_cast<std::size_t>(parsed->num_features), reading);

    const std::size_t k = static_cast<std::size_t>(parsed->num_tree_per_iteration);
    py::array_t<double> out(static_cast<py::ssize_t>(plan.rows * k));
    double *dst = out.mutable_data();
    const int iterations = best.cast<int>();
    core::EvalStatus status;
    {
        py::gil_scoped_release release;
        status = core::lightgbm_predict(*parsed, plan.transform, plan.columns, plan.rows,
                                        iterations, false, dst, eval_threads());
    }
    if (status != core::EvalStatus::Ok) {
        not_native("an infinite input value, which the imputer refuses");
    }
    py::module_ np = py::module_::import("numpy");
    // Booster.predict's shape: one column per class only for several.
    py::object result = k == 1 ? py::object(out)
                               : py::object(out.attr("reshape")(static_cast<py::ssize_t>(plan.rows),
                                                                static_cast<py::ssize_t>(k)));
    if (classifier) {
        // LGBMClassifier.predict_proba
        if (!lightgbm_multiclass(inner)) {
            result = np.attr("vstack")(py::make_tuple(py::float_(1.0) - result, result))
                         .attr("transpose")();
        }
        if (proba) {
            return result;
        }
        // LGBMClassifier.predict
        py::object index = np.attr("argmax")(result, "axis"_a = 1);
        result = decode_labels(inner.attr("_le"), index);
    }
    return automl_labels(model, result);
}

py::object xgboost_output(py::handle model, py::handle inner, bool classifier, py::object frame,
                          py::handle target, bool proba) {
    if (version_of("xgboost") < std::make_pair(2, 0)) {
        not_native("XGBoost before 2.0 is evaluated by its own predict");
    }
    py::object booster = inner.attr("get_booster")();
    if (!is_exactly(booster, loaded_attr("xgboost.core", "Booster"))) {
        not_native("the XGBoost learner's booster is not XGBoost's Booster");
    }
    py::object booster_kind = attr_or_none(inner, "booster");
    if (!booster_kind.is_none() && text_of(booster_kind) != "gbtree") {
        not_native("the XGBoost learner uses the " + text_of(booster_kind) + " booster");
    }
    py::object objective = attr_or_none(inner, "objective");
    if (!objective.is_none() && !PyUnicode_Check(objective.ptr())) {
        not_native("the XGBoost learner has a custom objective");
    }
    auto parsed = parsed_xgboost(booster);
    py::object transformer = attr_or_none(model, "_transformer");
    check_feature_names(booster.attr("feature_names"), transformed_order(transformer), "XGBoost");
    py::tuple range = inner.attr("_get_iteration_range")(py::none());
    const auto begin = range[0].cast<std::int64_t>();
    const auto end = range[1].cast<std::int64_t>();
    const auto rounds = static_cast<std::int64_t>(parsed->iteration_indptr.size()) - 1;
    if (begin != 0 || end < 0 || end > rounds) {
        not_native("the learner predicts with an iteration range the evaluator does not take");
    }
    const auto n_trees = static_cast<std::size_t>(
        parsed->iteration_indptr[static_cast<std::size_t>(end == 0 ? rounds : end)]);
    Plan plan = plan_transform(transformer, frame, target,
                               static_cast<std::size_t>(parsed->num_feature), CategoryReading());
    const auto k = static_cast<std::size_t>(parsed->num_group);
    py::array_t<float> out(static_cast<py::ssize_t>(plan.rows * k));
    float *dst = out.mutable_data();
    core::EvalStatus status;
    {
        py::gil_scoped_release release;
        status = core::xgboost_predict(*parsed, n_trees, plan.transform, plan.columns, plan.rows,
                                       true, dst, eval_threads());
    }
    if (status != core::EvalStatus::Ok) {
        not_native("an infinite input value, which the imputer refuses");
    }
    py::module_ np = py::module_::import("numpy");
    // inplace_predict's shape: one column per output group only for several.
    py::object predictions =
        k == 1 ? py::object(out)
               : py::object(out.attr("reshape")(static_cast<py::ssize_t>(plan.rows),
                                                static_cast<py::ssize_t>(k)));
    if (!classifier) {
        return automl_labels(model, predictions);
    }
    const long n_classes = inner.attr("n_classes_").cast<long>();
    const std::size_t ndim = k == 1 ? 1 : 2;
    if (proba) {
        // XGBClassifier.predict_proba: _cls_predict_proba
        if (ndim == 2 && static_cast<long>(k) == n_classes) {
            return predictions;
        }
        if (ndim == 2) {
            not_native("a multi-label XGBoost classifier");
        }
        return np.attr("vstack")(py::make_tuple(py::float_(1.0) - predictions, predictions))
            .attr("transpose")();
    }
    // XGBClassifier.predict
    py::object indexes;
    if (ndim == 2 && n_classes != 2) {
        indexes = np.attr("argmax")(predictions, "axis"_a = 1);
    } else if (ndim == 2) {
        not_native("a multi-label XGBoost classifier");
    } else {
        indexes = np.attr("repeat")(0, plan.rows);
        indexes.attr("__setitem__")(predictions.attr("__gt__")(0.5), 1);
    }
    return automl_labels(model, indexes);
}

py::object forest_output(py::handle model, py::handle inner, bool classifier, py::object frame,
                         py::handle target, bool proba) {
    if (version_of("sklearn") < std::make_pair(1, 9)) {
        not_native("scikit-learn before 1.9 is evaluated by its own predict");
    }
    if (inner.attr("n_outputs_").cast<long>() != 1) {
        not_native("the forest has several outputs");
    }
    std::size_t outputs = 1;
    py::object classes;
    if (classifier) {
        classes = inner.attr("classes_");
        outputs = py::len(classes);
        if (inner.attr("n_classes_").cast<std::size_t>() != outputs) {
            not_native("the forest's class count and classes differ");
        }
    }
    const char *trees = "sklearn.tree._classes";
    py::object decision =
        loaded_attr(trees, classifier ? "DecisionTreeClassifier" : "DecisionTreeRegressor");
    py::object extra =
        loaded_attr(trees, classifier ? "ExtraTreeClassifier" : "ExtraTreeRegressor");
    for (py::handle e : inner.attr("estimators_")) {
        if (!is_exactly(e, decision) && !is_exactly(e, extra)) {
            not_native("a tree of the forest is a " + type_name(e));
        }
    }
    py::object transformer = attr_or_none(model, "_transformer");
    check_feature_names(attr_or_none(inner, "feature_names_in_"), transformed_order(transformer),
                        "the forest");
    // BaseForest._validate_X_predict: NaN only where the trees take it.
    const bool allow_nan =
        truthy(inner.attr("__sklearn_tags__")().attr("input_tags").attr("allow_nan"));
    auto parsed = parsed_forest(inner, outputs);
    Plan plan = plan_transform(transformer, frame, target,
                               static_cast<std::size_t>(parsed->num_features), CategoryReading());
    py::array_t<double> out(static_cast<py::ssize_t>(plan.rows * outputs));
    double *dst = out.mutable_data();
    core::EvalStatus status;
    {
        py::gil_scoped_release release;
        status = core::forest_predict(*parsed, plan.transform, plan.columns, plan.rows, allow_nan,
                                      dst, eval_threads());
    }
    if (status != core::EvalStatus::Ok) {
        not_native("an input value that is not finite, which the model's checks refuse");
    }
    py::module_ np = py::module_::import("numpy");
    if (!classifier) {
        return automl_labels(model, out);
    }
    py::object probabilities =
        out.attr("reshape")(static_cast<py::ssize_t>(plan.rows), static_cast<py::ssize_t>(outputs));
    if (proba) {
        return probabilities;
    }
    // ForestClassifier.predict
    py::object labels =
        classes.attr("take")(np.attr("argmax")(probabilities, "axis"_a = 1), "axis"_a = 0);
    return automl_labels(model, labels);
}

py::object histgb_output(py::handle model, py::handle inner, bool classifier, py::object frame,
                         py::handle target, bool proba) {
    if (version_of("sklearn") < std::make_pair(1, 9)) {
        not_native("scikit-learn before 1.9 is evaluated by its own predict");
    }
    if (!attr_or_none(inner, "_preprocessor").is_none() ||
        truthy(py::getattr(inner, "_in_fit", py::bool_(false)))) {
        not_native("the gradient boosting encodes categorical features itself");
    }
    py::array baseline_any = inner.attr("_baseline_prediction");
    auto baseline = py::array_t<double>::ensure(baseline_any);
    if (!baseline || baseline_any.dtype().kind() != 'f' || baseline_any.itemsize() != 8 ||
        baseline.ndim() != 2 || baseline.shape(0) != 1) {
        not_native("the gradient boosting's baseline is not one float64 row");
    }
    const auto k = static_cast<std::size_t>(baseline.shape(1));
    py::object transformer = attr_or_none(model, "_transformer");
    check_feature_names(attr_or_none(inner, "feature_names_in_"), transformed_order(transformer),
                        "the gradient boosting");
    auto parsed = parsed_histgb(inner, k);
    Plan plan = plan_transform(transformer, frame, target,
                               static_cast<std::size_t>(parsed->num_features), CategoryReading());
    py::module_ np = py::module_::import("numpy");
    // _raw_predict's array: (n_samples, n_trees_per_iteration), order="F".
    py::object raw =
        np.attr("zeros")(py::make_tuple(plan.rows, k), "dtype"_a = "float64", "order"_a = "F");
    double *dst = static_cast<double *>(py::array(raw).mutable_data());
    std::vector<double> base(baseline.data(), baseline.data() + k);
    core::EvalStatus status;
    {
        py::gil_scoped_release release;
        status = core::histgb_raw_predict(*parsed, base, plan.transform, plan.columns, plan.rows,
                                          dst, eval_threads());
    }
    if (status != core::EvalStatus::Ok) {
        not_native("an infinite input value, which the imputer refuses");
    }
    py::object loss = inner.attr("_loss");
    if (!classifier) {
        // HistGradientBoostingRegressor.predict
        return automl_labels(model, loss.attr("link").attr("inverse")(raw.attr("ravel")()));
    }
    if (proba) {
        return loss.attr("predict_proba")(raw);
    }
    // HistGradientBoostingClassifier.predict
    py::object encoded;
    if (k == 1) {
        encoded = raw.attr("ravel")().attr("__gt__")(0).attr("astype")(
            py::module_::import("builtins").attr("int"));
    } else {
        encoded = np.attr("argmax")(raw, "axis"_a = 1);
    }
    return automl_labels(model, inner.attr("classes_")[encoded]);
}

// With `probe`, only whether the model is one this path evaluates: None
// when it is, NotNative naming why not (nothing of a frame is read).
py::object native_output(py::object model, py::object frame, py::object target,
                         const std::string &kind, bool probe = false) {
    if (!is_exactly(model, loaded_attr("flaml.automl.automl", "AutoML"))) {
        not_native("the model is not a FLAML AutoML (" + type_name(model) + ")");
    }
    py::object estimator = attr_or_none(model, "_trained_estimator");
    py::object state = attr_or_none(model, "_state");
    py::object task = attr_or_none(state, "task");
    if (!is_exactly(task, loaded_attr("flaml.automl.task.generic_task", "GenericTask")) ||
        truthy(task.attr("is_ts_forecast")())) {
        not_native("the AutoML task is not a plain classification or regression");
    }
    const bool proba = kind == "predict_proba";
    py::object est_task = attr_or_none(estimator, "_task");
    const bool classification = !est_task.is_none() && truthy(est_task.attr("is_classification")());
    if (proba && !classification) {
        not_native("predict_proba of a model that is not a classifier (the model raises)");
    }
    py::object inner = attr_or_none(estimator, "_model");
    auto learner = [&](const char *module, const char *name) {
        return is_exactly(estimator, loaded_attr(module, name));
    };
    auto inner_is = [&](const char *module, const char *name) {
        return is_exactly(inner, loaded_attr(module, name));
    };
    if (learner("flaml.automl.model", "LGBMEstimator")) {
        const bool classifier = inner_is("lightgbm.sklearn", "LGBMClassifier");
        if (classifier || inner_is("lightgbm.sklearn", "LGBMRegressor")) {
            if (proba && !classifier) {
                not_native("predict_proba of a regressor");
            }
            if (probe) {
                return py::none();
            }
            return lightgbm_output(model, inner, classifier, frame, target, proba);
        }
    } else if (learner("flaml.automl.model", "XGBoostSklearnEstimator") ||
               learner("flaml.automl.model", "XGBoostLimitDepthEstimator")) {
        const bool classifier = inner_is("xgboost.sklearn", "XGBClassifier");
        if (classifier || inner_is("xgboost.sklearn", "XGBRegressor")) {
            if (proba && !classifier) {
                not_native("predict_proba of a regressor");
            }
            if (probe) {
                return py::none();
            }
            return xgboost_output(model, inner, classifier, frame, target, proba);
        }
    } else if (learner("flaml.automl.model", "RandomForestEstimator") ||
               learner("flaml.automl.model", "ExtraTreesEstimator")) {
        const bool classifier = inner_is("sklearn.ensemble._forest", "RandomForestClassifier") ||
                                inner_is("sklearn.ensemble._forest", "ExtraTreesClassifier");
        if (classifier || inner_is("sklearn.ensemble._forest", "RandomForestRegressor") ||
            inner_is("sklearn.ensemble._forest", "ExtraTreesRegressor")) {
            if (proba && !classifier) {
                not_native("predict_proba of a regressor");
            }
            if (probe) {
                return py::none();
            }
            return forest_output(model, inner, classifier, frame, target, proba);
        }
    } else if (learner("flaml.automl.contrib.histgb", "HistGradientBoostingEstimator")) {
        const char *hgb = "sklearn.ensemble._hist_gradient_boosting.gradient_boosting";
        const bool classifier = inner_is(hgb, "HistGradientBoostingClassifier");
        if (classifier || inner_is(hgb, "HistGradientBoostingRegressor")) {
            if (proba && !classifier) {
                not_native("predict_proba of a regressor");
            }
            if (probe) {
                return py::none();
            }
            return histgb_output(model, inner, classifier, frame, target, proba);
        }
    } else {
        not_native("the learner " + type_name(estimator) + " is evaluated by its own predict");
    }
    not_native("the learner's model is a " + type_name(inner));
}

void log_fallback(const std::string &reason) {
    py::object logger = py::module_::import("logging").attr("getLogger")("brinvale.model");
    logger.attr("debug")("native prediction not used: %s", reason);
}

}  // namespace

py::object native_model_output(py::object model, py::object frame, py::object target,
                               const char *method) {
    try {
        return native_output(model, frame, target, method);
    } catch (const NotNative &e) {
        log_fallback(e.reason);
        return py::none();
    } catch (py::error_already_set &e) {
        // Whatever this path cannot read, the model's own predict handles
        // (and reports, if it is an error of the input).
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError)) {
            throw;
        }
        log_fallback(std::string("reading the model raised ") + e.what());
        return py::none();
    }
}

py::object native_model_columns(py::object model, py::dict columns, const char *method) {
    return native_model_output(std::move(model), std::move(columns), py::none(), method);
}

std::string native_model_refusal(py::object model, const char *method) {
    try {
        native_output(std::move(model), py::none(), py::none(), method, true);
        return std::string();
    } catch (const NotNative &e) {
        return e.reason;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError)) {
            throw;
        }
        return std::string("reading the model raised ") + e.what();
    }
}

void register_native_predict(py::module_ &m) {
    // What predict hands the native evaluator, for a frame in the model's
    // form scored elsewhere (a partition of a Dask frame): its output, or
    // None where the model's own method must score it.
    m.def(
        "_model_output",
        [](py::object model, py::object frame, py::object target,
           const std::string &method) -> py::object {
            if (method != "predict" && method != "predict_proba") {
                bind::raise(PyExc_ValueError, "method must be 'predict' or 'predict_proba'");
            }
            py::object out = native_model_output(std::move(model), std::move(frame),
                                                 std::move(target), method.c_str());
            return out.is_none() ? out : py::object(global("np").attr("array")(out));
        },
        py::arg("model"), py::arg("frame"), py::arg("target"), py::arg("method"));
    // The core's evaluation of a LightGBM booster on a two-dimensional
    // float64 array, for comparing it with the library's own predict.
    m.def(
        "_lightgbm_predict",
        [](py::object booster, py::array_t<double> data, bool raw, int num_iteration) {
            std::shared_ptr<const core::LightGbmForest> forest;
            try {
                forest = parsed_lightgbm(booster);
            } catch (const NotNative &e) {
                bind::raise(PyExc_ValueError, e.reason);
            }
            if (data.ndim() != 2 || data.shape(1) != forest->num_features) {
                bind::raise(PyExc_ValueError, "expected one column per model feature");
            }
            const auto rows = static_cast<std::size_t>(data.shape(0));
            std::vector<core::FeatureColumn> cols(static_cast<std::size_t>(forest->num_features));
            for (std::size_t j = 0; j < cols.size(); ++j) {
                cols[j].data = reinterpret_cast<const char *>(data.data()) +
                               static_cast<py::ssize_t>(j) * data.strides(1);
                cols[j].stride = data.strides(0);
            }
            const auto k = static_cast<py::ssize_t>(forest->num_tree_per_iteration);
            py::array_t<double> out({static_cast<py::ssize_t>(rows), k});
            double *dst = out.mutable_data();
            {
                py::gil_scoped_release release;
                core::lightgbm_predict(*forest, cols, rows, num_iteration, raw, dst, false, 2);
            }
            return out;
        },
        py::arg("booster"), py::arg("data"), py::arg("raw") = false, py::arg("num_iteration") = 0);
    // The transformed features of a model-form frame as the learner reads
    // them (rows x features, float64), for comparing with FLAML's transform.
    m.def(
        "_native_transform",
        [](py::object model, py::object frame) -> py::object {
            py::object transformer = attr_or_none(model, "_transformer");
            try {
                CategoryReading codes;
                const std::vector<std::string> order = transformed_order(transformer);
                Plan plan = plan_transform(transformer, frame, py::none(), order.size(), codes);
                const std::size_t nf = plan.transform.features.size();
                py::array_t<double> out(
                    {static_cast<py::ssize_t>(plan.rows), static_cast<py::ssize_t>(nf)});
                bool ok = false;
                {
                    py::gil_scoped_release release;
                    ok = core::transform_rows(plan.transform, plan.columns, 0, plan.rows,
                                              out.mutable_data());
                }
                if (!ok) {
                    return py::none();
                }
                return out;
            } catch (const NotNative &e) {
                log_fallback(e.reason);
                return py::none();
            }
        },
        py::arg("model"), py::arg("frame"));
}

}  // namespace brinvale::workbench
