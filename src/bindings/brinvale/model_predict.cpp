// The model's output for a frame already in model form, without the copies
// FLAML's predict makes of it.  FLAML's DataTransformer copies the frame twice,
// its imputer turns the numeric columns into one array through several more
// copies, the result is written back into a frame and LightGBM turns that into
// an array again.  For a model made of parts this file recognises exactly (a
// FLAML AutoML with its DataTransformer over numeric columns, a median or mean
// imputer, a LightGBM classifier or regressor), the core reads the frame's
// columns in place, applies the imputer's statistics and evaluates the
// booster's trees with LightGBM's own arithmetic; the few steps after that
// (class labels, probabilities of binary models) call the same NumPy and
// scikit-learn functions the libraries call.  Anything else returns None and
// the caller uses the model's own predict.
#include "workbench.hpp"

#include "brinvale/models.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

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

// Parsed boosters, keyed by the booster object and its native handle: a
// refitted or reloaded booster gets a new handle and is parsed again.
struct CachedModel {
    py::object ref;  // weakref to the Booster
    std::uintptr_t handle = 0;
    std::shared_ptr<const core::LightGbmForest> model;
};

std::vector<CachedModel> &model_cache() {
    // Never destroyed: its Python references must not be released after the
    // interpreter has gone.
    static auto *cache = new std::vector<CachedModel>();
    return *cache;
}

std::shared_ptr<const core::LightGbmForest> parsed_booster(py::handle booster) {
    py::object handle = attr_or_none(booster, "_handle");
    py::object value = attr_or_none(handle, "value");
    if (!PyLong_Check(value.ptr())) {
        return nullptr;
    }
    const auto address = value.cast<std::uintptr_t>();
    auto &cache = model_cache();
    // Forget the trees of boosters that are gone.
    std::erase_if(cache, [](const CachedModel &c) { return c.ref().is_none(); });
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->ref().ptr() == booster.ptr() && it->handle == address) {
            CachedModel hit = *it;
            cache.erase(it);
            cache.insert(cache.begin(), hit);
            return hit.model;
        }
    }
    py::str text = booster.attr("model_to_string")("num_iteration"_a = -1);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    std::shared_ptr<const core::LightGbmForest> model;
    {
        py::gil_scoped_release release;
        try {
            model = std::make_shared<const core::LightGbmForest>(
                core::compile_forest(core::parse_lightgbm_model(
                    std::string_view(utf8, static_cast<std::size_t>(size)))));
        } catch (const core::ModelError &) {
            // Linear trees, or a model the library's own predict will report on.
        }
    }
    if (!model) {
        return nullptr;
    }
    cache.insert(cache.begin(),
                 CachedModel{py::module_::import("weakref").attr("ref")(booster), address, model});
    if (cache.size() > 8) {
        cache.pop_back();
    }
    return model;
}

// The imputed numeric columns the model reads, or empty when the transform
// is not one this file reproduces.
struct Plan {
    std::vector<py::array> arrays;  // keep the frame's buffers alive
    std::vector<core::FeatureColumn> columns;
    std::size_t rows = 0;
};

bool column_type(const py::array &a, core::FeatureColumn::Type &type) {
    using T = core::FeatureColumn::Type;
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    if (kind == 'f' && size == 8) {
        type = T::F64;
    } else if (kind == 'b' && size == 1) {
        type = T::Bool;
    } else if (kind == 'i') {
        type = size == 1 ? T::I8 : size == 2 ? T::I16 : size == 4 ? T::I32 : T::I64;
    } else if (kind == 'u') {
        type = size == 1 ? T::U8 : size == 2 ? T::U16 : size == 4 ? T::U32 : T::U64;
    } else {
        // float32 keeps its own dtype through the imputer; objects, dates,
        // extension arrays: the model's own transform decides.
        return false;
    }
    return a.dtype().byteorder() != '>';
}

bool is_nan_float(py::handle v) {
    return PyFloat_Check(v.ptr()) && std::isnan(PyFloat_AS_DOUBLE(v.ptr()));
}

bool default_output(py::handle estimator) {
    py::object config = attr_or_none(estimator, "_sklearn_output_config");
    if (config.is_none()) {
        return true;
    }
    py::object transform = config.attr("get")("transform");
    return transform.is_none() || py::str(transform).cast<std::string>() == "default";
}

// The imputed columns of FLAML's DataTransformer.transform(frame), read in
// place.  Returns false for any transform it does not reproduce exactly.
bool plan_transform(py::handle transformer, py::handle frame, py::handle target,
                    std::size_t n_features, Plan &plan) {
    if (!is_exactly(transformer, loaded_attr("flaml.automl.data", "DataTransformer"))) {
        return false;
    }
    py::object task = attr_or_none(transformer, "_task");
    if (task.is_none() || truthy(task.attr("is_nlp")()) || truthy(task.attr("is_ts_forecast")())) {
        return false;
    }
    py::object cats = attr_or_none(transformer, "_cat_columns");
    py::object dates = attr_or_none(transformer, "_datetime_columns");
    py::object nums = attr_or_none(transformer, "_num_columns");
    if (!PyList_CheckExact(cats.ptr()) || py::len(cats) != 0 || !PyList_CheckExact(dates.ptr()) ||
        py::len(dates) != 0 || !PyList_CheckExact(nums.ptr()) || py::len(nums) != n_features) {
        return false;
    }
    // A ColumnTransformer with one imputer over exactly these columns.
    py::object ct = attr_or_none(transformer, "transformer");
    if (!is_exactly(ct, loaded_attr("sklearn.compose._column_transformer", "ColumnTransformer")) ||
        !default_output(ct)) {
        return false;
    }
    py::object remainder = attr_or_none(ct, "remainder");
    if (!PyUnicode_Check(remainder.ptr()) || remainder.cast<std::string>() != "drop") {
        return false;
    }
    py::object fitted = attr_or_none(ct, "transformers_");
    if (!PyList_Check(fitted.ptr()) || py::len(fitted) < 1) {
        return false;
    }
    py::object imputer;
    py::list expected_cols;
    const bool renamed = truthy(attr_or_none(transformer, "_drop"));
    for (std::size_t j = 0; j < n_features; ++j) {
        if (renamed) {
            expected_cols.append(py::int_(j));
        } else {
            expected_cols.append(
                py::reinterpret_borrow<py::object>(PyList_GET_ITEM(nums.ptr(), j)));
        }
    }
    for (std::size_t i = 0; i < py::len(fitted); ++i) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(PyList_GET_ITEM(fitted.ptr(), i));
        if (py::len(entry) != 3) {
            return false;
        }
        const std::string name = py::str(entry[0]);
        if (i == 0 && name == "continuous") {
            imputer = entry[1];
            if (!py::list(entry[2]).equal(expected_cols)) {
                return false;
            }
        } else if (!(name == "remainder" && PyUnicode_Check(entry[1].ptr()) &&
                     py::str(entry[1]).cast<std::string>() == "drop" && py::len(entry[2]) == 0)) {
            return false;
        }
    }
    py::object global_output =
        py::module_::import("sklearn").attr("get_config")()["transform_output"];
    if (!imputer || !is_exactly(imputer, loaded_attr("sklearn.impute._base", "SimpleImputer")) ||
        !default_output(imputer) || py::str(global_output).cast<std::string>() != "default") {
        return false;
    }
    py::object strategy = attr_or_none(imputer, "strategy");
    if (!PyUnicode_Check(strategy.ptr()) ||
        (strategy.cast<std::string>() != "median" && strategy.cast<std::string>() != "mean") ||
        !is_nan_float(attr_or_none(imputer, "missing_values")) ||
        truthy(attr_or_none(imputer, "add_indicator"))) {
        return false;
    }
    py::object stats_obj = attr_or_none(imputer, "statistics_");
    if (!py::isinstance<py::array>(stats_obj)) {
        return false;
    }
    py::array stats_any = stats_obj;
    if (stats_any.ndim() != 1 || static_cast<std::size_t>(stats_any.shape(0)) != n_features ||
        stats_any.dtype().kind() != 'f' || stats_any.itemsize() != 8) {
        return false;
    }
    auto stats = py::array_t<double>::ensure(stats_any);
    for (std::size_t j = 0; j < n_features; ++j) {
        // A column without a statistic is dropped by the imputer.
        if (std::isnan(stats.at(static_cast<py::ssize_t>(j)))) {
            return false;
        }
    }

    // The frame: unique text labels, every model column present, numeric.
    if (!is_exactly(frame, loaded_attr("pandas", "DataFrame"))) {
        return false;
    }
    py::list labels = frame.attr("columns").attr("tolist")();
    std::unordered_map<std::string, std::size_t> position;
    for (std::size_t i = 0; i < py::len(labels); ++i) {
        PyObject *label = PyList_GET_ITEM(labels.ptr(), i);
        if (!PyUnicode_CheckExact(label)) {
            return false;
        }
        if (!position.emplace(py::reinterpret_borrow<py::str>(label).cast<std::string>(), i)
                 .second) {
            return false;
        }
    }
    plan.rows = py::len(frame);
    if (plan.rows == 0) {
        return false;
    }
    py::object get_column = attr_or_none(frame, "_get_column_array");
    for (std::size_t j = 0; j < n_features; ++j) {
        PyObject *label = PyList_GET_ITEM(nums.ptr(), j);
        if (!PyUnicode_CheckExact(label)) {
            return false;
        }
        if (!target.is_none()) {
            const int same = PyObject_RichCompareBool(label, target.ptr(), Py_EQ);
            if (same != 0) {
                if (same < 0) {
                    PyErr_Clear();
                }
                return false;  // the target is dropped before the model sees the frame
            }
        }
        auto at = position.find(py::reinterpret_borrow<py::str>(label).cast<std::string>());
        if (at == position.end()) {
            return false;  // the model's own transform raises the KeyError
        }
        py::object column =
            get_column.is_none()
                ? frame
                      .attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                   at->second)]
                      .attr("to_numpy")()
                : get_column(at->second);
        if (!py::isinstance<py::array>(column)) {
            return false;
        }
        py::array a = column;
        core::FeatureColumn fc;
        if (a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != plan.rows ||
            !column_type(a, fc.type)) {
            return false;
        }
        fc.data = a.data();
        fc.stride = a.strides(0);
        fc.has_fill = fc.type == core::FeatureColumn::Type::F64;
        fc.fill = stats.at(static_cast<py::ssize_t>(j));
        plan.arrays.push_back(a);
        plan.columns.push_back(fc);
    }
    return true;
}

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
        throw py::type_error("the classifier's class count is not an integer");
    }
    return n_classes.cast<long long>() > 2;
}

py::object native_output(py::object model, py::object frame, py::object target,
                         const std::string &kind) {
    if (!is_exactly(model, loaded_attr("flaml.automl.automl", "AutoML"))) {
        return py::none();
    }
    py::object estimator = attr_or_none(model, "_trained_estimator");
    if (!is_exactly(estimator, loaded_attr("flaml.automl.model", "LGBMEstimator"))) {
        return py::none();
    }
    py::object inner = attr_or_none(estimator, "_model");
    py::object classifier_cls = loaded_attr("lightgbm.sklearn", "LGBMClassifier");
    const bool classifier = is_exactly(inner, classifier_cls);
    if (!classifier && !is_exactly(inner, loaded_attr("lightgbm.sklearn", "LGBMRegressor"))) {
        return py::none();
    }
    py::object booster = attr_or_none(inner, "_Booster");
    if (!is_exactly(booster, loaded_attr("lightgbm.basic", "Booster")) ||
        !truthy(inner.attr("__sklearn_is_fitted__")()) ||
        PyCallable_Check(attr_or_none(inner, "_objective").ptr())) {
        return py::none();
    }
    // Prediction parameters that change LightGBM's output.
    py::object other = attr_or_none(inner, "_other_params");
    if (!PyDict_Check(other.ptr()) || other.contains("pred_early_stop")) {
        return py::none();
    }
    py::object categorical = attr_or_none(booster, "pandas_categorical");
    if (!categorical.is_none() && (!PyList_Check(categorical.ptr()) || py::len(categorical) != 0)) {
        return py::none();
    }
    py::object best = attr_or_none(booster, "best_iteration");
    if (!PyLong_CheckExact(best.ptr())) {
        return py::none();
    }
    py::object state = attr_or_none(model, "_state");
    py::object task = attr_or_none(state, "task");
    if (!is_exactly(task, loaded_attr("flaml.automl.task.generic_task", "GenericTask")) ||
        truthy(task.attr("is_ts_forecast")())) {
        return py::none();
    }
    py::object est_task = attr_or_none(estimator, "_task");
    if (kind == "predict_proba" &&
        (!classifier || est_task.is_none() || !truthy(est_task.attr("is_classification")()))) {
        return py::none();
    }

    auto parsed = parsed_booster(booster);
    if (!parsed) {
        return py::none();
    }
    Plan plan;
    if (!plan_transform(attr_or_none(model, "_transformer"), frame, target,
                        static_cast<std::size_t>(parsed->num_features), plan)) {
        return py::none();
    }

    const std::size_t k = static_cast<std::size_t>(parsed->num_tree_per_iteration);
    py::array_t<double> out(static_cast<py::ssize_t>(plan.rows * k));
    double *dst = out.mutable_data();
    const int iterations = best.cast<int>();
    const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    core::PredictStatus status;
    {
        py::gil_scoped_release release;
        status = core::lightgbm_predict(*parsed, plan.columns, plan.rows, iterations, false, dst,
                                        true, threads);
    }
    if (status != core::PredictStatus::Ok) {
        return py::none();  // the imputer refuses infinite values: let it say so
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
        if (kind == "predict_proba") {
            return result;
        }
        // LGBMClassifier.predict
        py::object index = np.attr("argmax")(result, "axis"_a = 1);
        result = decode_labels(inner.attr("_le"), index);
    }
    // AutoML.predict
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

}  // namespace

py::object native_model_output(py::object model, py::object frame, py::object target,
                               const char *method) {
    try {
        return native_output(model, frame, target, method);
    } catch (py::error_already_set &e) {
        // Whatever this path cannot read, the model's own predict handles
        // (and reports, if it is an error of the input).
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError)) {
            throw;
        }
        return py::none();
    }
}

void register_native_predict(py::module_ &m) {
    // The core's evaluation of a LightGBM booster on a two-dimensional
    // float64 array, for comparing it with the library's own predict.
    m.def(
        "_lightgbm_predict",
        [](py::object booster, py::array_t<double> data, bool raw, int num_iteration) {
            auto forest = parsed_booster(booster);
            if (!forest) {
                bind::raise(PyExc_ValueError, "the booster cannot be evaluated natively");
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
}

}  // namespace brinvale::workbench
