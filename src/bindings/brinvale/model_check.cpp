// Trained models from a result folder are checked before their libraries
// see them.  LightGBM and XGBoost parse a booster's model natively when it is
// unpickled (Booster.__setstate__), trusting every size and index in it: the
// restricted unpickler hands out, for their Booster classes, a subclass whose
// __setstate__ checks the model in the core first and then becomes the real
// class again.  scikit-learn's trees only go wrong at prediction, so they are
// checked once the whole pickle is loaded.
#include "workbench.hpp"

#include "brinvale/models.hpp"

#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

PyObject *g_guards = nullptr;  // dict: Booster class -> its checking subclass

[[noreturn]] void refuse(const std::string &library, const std::string &why) {
    bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                "refused the " + library + " model: " + why);
}

py::object loaded_class(const char *module, const char *name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) {
        return py::none();
    }
    return py::getattr(modules[module], name, py::none());
}

bool is_subclass(py::handle cls, py::handle base) {
    if (base.is_none() || !PyType_Check(cls.ptr())) {
        return false;
    }
    const int r = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

// LightGBM hands the model text to its C API as UTF-8 up to the first NUL.
py::str checked_lightgbm_text(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        refuse("LightGBM",
               std::string("its model text is a ") + bind::type_name(value) + ", not a str");
    }
    // An exact str copy: a subclass could encode itself differently later.
    py::str text = py::reinterpret_steal<py::str>(PyUnicode_FromObject(value.ptr()));
    if (!text) {
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    std::string error;
    {
        py::gil_scoped_release release;
        try {
            core::parse_lightgbm_model(std::string_view(utf8, static_cast<std::size_t>(size)),
                                       false);
        } catch (const core::ModelError &e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        refuse("LightGBM", error);
    }
    return text;
}

py::bytearray checked_xgboost_buffer(py::handle value) {
    if (!PyByteArray_CheckExact(value.ptr())) {
        refuse("XGBoost", std::string("its model buffer is a ") + bind::type_name(value) +
                              ", not a bytearray");
    }
    // A private copy of the checked bytes is what the library reads.
    py::bytearray copy = py::reinterpret_steal<py::bytearray>(PyByteArray_FromStringAndSize(
        PyByteArray_AS_STRING(value.ptr()), PyByteArray_GET_SIZE(value.ptr())));
    if (!copy) {
        throw py::error_already_set();
    }
    std::string error;
    {
        const auto *data =
            reinterpret_cast<const std::uint8_t *>(PyByteArray_AS_STRING(copy.ptr()));
        const auto n = static_cast<std::size_t>(PyByteArray_GET_SIZE(copy.ptr()));
        py::gil_scoped_release release;
        try {
            core::check_xgboost_model({data, n});
        } catch (const core::ModelError &e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        refuse("XGBoost", error);
    }
    return copy;
}

// LightGBM's and XGBoost's boosters are checked; the other classes guarded
// only lose the ways of loading a model that bypass the boosters' state.
enum class Library { LightGbm, XgBoost, Other };

// The state a Booster.__setstate__ of `library` is given, with its model
// checked and replaced by the checked copy.
py::dict checked_state(Library library, py::handle state) {
    const char *name = library == Library::LightGbm ? "LightGBM" : "XGBoost";
    if (!PyDict_Check(state.ptr())) {
        refuse(name, "the booster's state is not a dictionary");
    }
    py::dict copy = py::reinterpret_borrow<py::dict>(state).attr("copy")();
    if (library == Library::LightGbm) {
        // Booster.__setstate__ reads "_handle", else the older "handle".
        const char *key = copy.contains("_handle") ? "_handle" : "handle";
        if (copy.contains(key) && !py::object(copy[key]).is_none()) {
            copy[key] = checked_lightgbm_text(copy[key]);
        }
    } else if (copy.contains("handle") && !py::object(copy["handle"]).is_none()) {
        copy["handle"] = checked_xgboost_buffer(copy["handle"]);
    }
    return copy;
}

// pickle's own BUILD for a class without __setstate__: the instance
// dictionary, then slot values.
void default_setstate(py::handle self, py::handle state) {
    py::object dict_state = py::reinterpret_borrow<py::object>(state);
    py::object slots = py::none();
    if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
        dict_state = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 0));
        slots = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 1));
    }
    if (!dict_state.is_none()) {
        self.attr("__dict__").attr("update")(dict_state);
    }
    if (!slots.is_none()) {
        for (auto item : py::reinterpret_borrow<py::dict>(slots)) {
            py::setattr(self, item.first, item.second);
        }
    }
}

[[noreturn]] void refuse_loading(py::handle base, const std::string &how) {
    bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                "refused to " + how + " " + py::str(base.attr("__module__")).cast<std::string>() +
                    "." + py::str(base.attr("__qualname__")).cast<std::string>() +
                    " while unpickling: models are restored from their checked state only");
}

py::object make_guard(py::handle base, Library library) {
    py::dict ns;
    ns["__module__"] = "brinvale.brinvale";
    ns["__qualname__"] = "_CheckedModelClass";
    py::object cls = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type)(
        "_CheckedModelClass", py::make_tuple(base), ns);
    py::object base_obj = py::reinterpret_borrow<py::object>(base);
    const bool own_setstate = py::hasattr(base, "__setstate__");
    bind::def_method(cls, "__setstate__",
                     [base_obj, library, own_setstate](py::object self, py::object state) {
                         if (library != Library::Other) {
                             base_obj.attr("__setstate__")(self, checked_state(library, state));
                         } else if (own_setstate) {
                             base_obj.attr("__setstate__")(self, state);
                         } else {
                             default_setstate(self, state);
                         }
                         // From here on it is the library's own class.
                         self.attr("__class__") = base_obj;
                     });
    // Genuine pickles restore these objects from their state only;
    // construction with arguments would load a model file or text unchecked.
    bind::def_method(cls, "__init__", [base_obj](py::object, py::args, py::kwargs) {
        refuse_loading(base_obj, "construct");
    });
    if (py::hasattr(base, "from_model_file")) {
        py::cpp_function refuse_file([base_obj](py::args, py::kwargs) {
            refuse_loading(base_obj, "load a model file into");
        });
        py::setattr(cls, "from_model_file",
                    py::reinterpret_steal<py::object>(PyClassMethod_New(refuse_file.ptr())));
    }
    return cls;
}

// ---------------------------------------------------------------- estimator parameters

// Parameters an estimator hands to its library's native code at prediction
// (LightGBM passes all of its parameters to its predictor; joblib and
// OpenMP start the threads asked for).  A folder may ask for a sound number
// of threads only, may not name files for the libraries to open, and may
// not ask LightGBM for early stopping it cannot carry out.
const char *const kThreadKeys[] = {"n_jobs", "num_threads", "num_thread", "nthread", "nthreads"};
const char *const kPathKeys[] = {"data",
                                 "train",
                                 "train_data",
                                 "train_data_file",
                                 "data_filename",
                                 "valid",
                                 "test",
                                 "valid_data",
                                 "valid_data_file",
                                 "test_data",
                                 "test_data_file",
                                 "valid_filenames",
                                 "input_model",
                                 "model_input",
                                 "model_in",
                                 "output_model",
                                 "model_output",
                                 "model_out",
                                 "output_result",
                                 "predict_result",
                                 "prediction_result",
                                 "predict_name",
                                 "prediction_name",
                                 "pred_name",
                                 "name_prediction",
                                 "forcedsplits_filename",
                                 "fs",
                                 "forced_splits_filename",
                                 "forced_splits_file",
                                 "forced_splits",
                                 "forcedbins_filename",
                                 "initscore_filename",
                                 "init_score_filename",
                                 "init_score_file",
                                 "input_init_score",
                                 "valid_data_initscores",
                                 "valid_data_init_scores",
                                 "valid_init_score_file",
                                 "valid_init_score",
                                 "convert_model",
                                 "convert_model_file",
                                 "parser_config_file",
                                 "machine_list_filename",
                                 "machine_list_file",
                                 "machine_list",
                                 "mlist",
                                 "init_model",
                                 "model_file"};
// Dictionaries of further parameters kept in an attribute of these names.
const char *const kParamDicts[] = {"_other_params", "params", "_params"};

[[noreturn]] void refuse_parameter(const std::string &key, const std::string &why) {
    bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                "refused the model's parameter " + key + ": " + why);
}

std::int64_t integer_parameter(const std::string &key, py::handle value) {
    if (PyFloat_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        refuse_parameter(key, std::string("a ") + bind::type_name(value) + " is not an integer");
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) {
        refuse_parameter(key, "the integer is out of range");
    }
    if (v == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return v;
}

void check_parameters(py::dict params) {
    for (const char *key : kThreadKeys) {
        if (!params.contains(key)) {
            continue;
        }
        py::object v = params[key];
        if (v.is_none()) {
            continue;
        }
        const std::int64_t n = integer_parameter(key, v);
        if (n < -core::kMaxModelThreads || n > core::kMaxModelThreads) {
            refuse_parameter(key, std::to_string(n) + " threads exceed the limit of " +
                                      std::to_string(core::kMaxModelThreads));
        }
    }
    for (const char *key : kPathKeys) {
        if (params.contains(key) && !py::object(params[key]).is_none()) {
            refuse_parameter(key, "stored models may not name files or data for their library");
        }
    }
    if (params.contains("pred_early_stop_freq")) {
        const std::int64_t n =
            integer_parameter("pred_early_stop_freq", params["pred_early_stop_freq"]);
        if (n < 1 || n > std::numeric_limits<std::int32_t>::max()) {
            refuse_parameter("pred_early_stop_freq",
                             std::to_string(n) + " is not a positive number of iterations");
        }
    }
    if (params.contains("pred_early_stop_margin")) {
        py::object v = params["pred_early_stop_margin"];
        if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) {
            refuse_parameter("pred_early_stop_margin",
                             std::string("a ") + bind::type_name(v) + " is not a number");
        }
        if (!std::isfinite(v.cast<double>())) {
            refuse_parameter("pred_early_stop_margin", "the margin is not finite");
        }
    }
}

void check_estimator_attributes(py::dict attrs) {
    check_parameters(attrs);
    for (const char *name : kParamDicts) {
        if (attrs.contains(name)) {
            py::object inner = attrs[name];
            if (PyDict_Check(inner.ptr())) {
                check_parameters(py::reinterpret_borrow<py::dict>(inner));
            }
        }
    }
}

// ---------------------------------------------------------------- scikit-learn trees

struct TreeUse {
    py::object tree;
    std::int64_t n_features = -1;  // the narrowest input any owner checks X against
};

// What one histogram-boosting estimator lets its trees read: the width of X
// after its preprocessing and which features its bin mapper treats as
// categorical.
struct HistOwner {
    std::int64_t width = 0;
    std::vector<std::uint8_t> categorical;
};

struct HistUse {
    py::object predictor;
    std::vector<HistOwner> owners;
};

bool skipped_type(py::handle obj) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) ||
        PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr()) || PyBool_Check(obj.ptr()) ||
        obj.is_none() || PyType_Check(obj.ptr()) || PyModule_Check(obj.ptr()) ||
        PyFunction_Check(obj.ptr()) || PyMethod_Check(obj.ptr()) || PyCFunction_Check(obj.ptr())) {
        return true;
    }
    // pandas objects hold data, not models.
    const std::string name = t->tp_name;
    return name.rfind("pandas.", 0) == 0;
}

[[noreturn]] void refuse_hist(const std::string &why) {
    refuse("scikit-learn", "histogram gradient boosting: " + why);
}

bool is_exactly(py::handle obj, py::handle cls) {
    return !cls.is_none() && (PyObject *)Py_TYPE(obj.ptr()) == cls.ptr();
}

// The number of columns `columns` selects out of `n_in` (a ColumnTransformer's
// column selection as fitted: integers, a slice, a boolean mask).
std::int64_t selected_columns(py::handle columns, std::int64_t n_in) {
    py::module_ np = py::module_::import("numpy");
    py::object key = py::reinterpret_borrow<py::object>(columns);
    if (!PySlice_Check(columns.ptr())) {
        key = np.attr("asarray")(columns);
        const std::string kind = py::str(key.attr("dtype").attr("kind"));
        if (kind != "i" && kind != "u" && kind != "b") {
            refuse_hist("its preprocessor selects columns by " + kind +
                        "-kind keys, not by position");
        }
    }
    try {
        return py::len(np.attr("arange")(n_in)[key]);
    } catch (py::error_already_set &) {
        refuse_hist("its preprocessor selects columns outside its input");
    }
}

// The width of what the estimator's fitted preprocessor hands its trees: a
// ColumnTransformer of ordinal encoders, passed-through and dropped columns
// (what the estimator builds for categorical input), one output column per
// selected input column.
std::int64_t preprocessor_width(py::handle pre) {
    py::object ct = loaded_class("sklearn.compose._column_transformer", "ColumnTransformer");
    py::object enc = loaded_class("sklearn.preprocessing._encoders", "OrdinalEncoder");
    if (!is_exactly(pre, ct)) {
        refuse_hist(std::string("its preprocessor is a ") + bind::type_name(pre) +
                    ", not the ColumnTransformer it builds");
    }
    PyObject **dict_ptr = _PyObject_GetDictPtr(pre.ptr());
    if (dict_ptr == nullptr || *dict_ptr == nullptr) {
        refuse_hist("its preprocessor has no fitted state");
    }
    py::dict attrs = py::reinterpret_borrow<py::dict>(*dict_ptr);
    if (!attrs.contains("transformers_") || !attrs.contains("n_features_in_") ||
        !PyLong_Check(py::object(attrs["n_features_in_"]).ptr()) ||
        !PyList_Check(py::object(attrs["transformers_"]).ptr())) {
        refuse_hist("its preprocessor is not fitted");
    }
    const auto n_in = py::object(attrs["n_features_in_"]).cast<std::int64_t>();
    std::int64_t width = 0;
    for (py::handle item : py::object(attrs["transformers_"])) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 3) {
            refuse_hist("its preprocessor holds a transformer that is not (name, transformer, "
                        "columns)");
        }
        py::handle trans = PyTuple_GET_ITEM(item.ptr(), 1);
        py::handle columns = PyTuple_GET_ITEM(item.ptr(), 2);
        if (PyUnicode_CheckExact(trans.ptr()) && py::str(trans).cast<std::string>() == "drop") {
            continue;
        }
        const bool passthrough = PyUnicode_CheckExact(trans.ptr()) &&
                                 py::str(trans).cast<std::string>() == "passthrough";
        if (!passthrough && !is_exactly(trans, enc)) {
            refuse_hist(std::string("its preprocessor holds a ") + bind::type_name(trans) +
                        ", not an ordinal encoder");
        }
        width += selected_columns(columns, n_in);
    }
    return width;
}

HistOwner hist_owner(py::dict attrs) {
    if (attrs.contains("_in_fit")) {
        refuse_hist("the estimator is stored in the middle of its training");
    }
    HistOwner owner;
    py::object width = attrs["n_features_in_"];
    if (!PyLong_Check(width.ptr())) {
        refuse_hist("n_features_in_ is not an integer");
    }
    owner.width = width.cast<std::int64_t>();
    if (attrs.contains("_preprocessor") && !py::object(attrs["_preprocessor"]).is_none()) {
        owner.width = std::min(owner.width, preprocessor_width(attrs["_preprocessor"]));
    }
    if (attrs.contains("_bin_mapper")) {
        py::object mapper = attrs["_bin_mapper"];
        py::object mask = py::getattr(mapper, "is_categorical_", py::none());
        if (!mask.is_none()) {
            auto flags = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>(
                py::module_::import("numpy").attr("asarray")(mask).attr("ravel")());
            owner.categorical.assign(flags.data(), flags.data() + flags.size());
        }
    }
    return owner;
}

void check_hist_predictor(HistUse &use) {
    if (use.owners.empty()) {
        refuse_hist("a tree predictor is stored outside any estimator's predictors");
    }
    py::module_ np = py::module_::import("numpy");
    py::object record = py::module_::import("sklearn.ensemble._hist_gradient_boosting.common")
                            .attr("PREDICTOR_RECORD_DTYPE");
    PyObject **dict_ptr = _PyObject_GetDictPtr(use.predictor.ptr());
    if (dict_ptr == nullptr || *dict_ptr == nullptr) {
        refuse_hist("a tree predictor has no nodes");
    }
    py::dict attrs = py::reinterpret_borrow<py::dict>(*dict_ptr);
    py::object ndarray = np.attr("ndarray");
    for (const char *key : {"nodes", "raw_left_cat_bitsets", "binned_left_cat_bitsets"}) {
        if (!attrs.contains(key) || !is_exactly(py::object(attrs[key]), ndarray)) {
            refuse_hist(std::string("a tree predictor's ") + key + " is not an array");
        }
    }
    py::object nodes = attrs["nodes"];
    if (!py::object(nodes.attr("dtype")).equal(record) || nodes.attr("ndim").cast<int>() != 1) {
        refuse_hist("a tree predictor's nodes are not one row of node records per node");
    }
    std::int64_t bitset_rows = std::numeric_limits<std::int64_t>::max();
    for (const char *key : {"raw_left_cat_bitsets", "binned_left_cat_bitsets"}) {
        py::object bits = attrs[key];
        if (!py::object(bits.attr("dtype")).equal(np.attr("dtype")("uint32")) ||
            bits.attr("ndim").cast<int>() != 2 ||
            py::tuple(bits.attr("shape"))[1].cast<std::int64_t>() != 8) {
            refuse_hist(std::string("a tree predictor's ") + key +
                        " are not rows of eight 32-bit words");
        }
        bitset_rows = std::min(bitset_rows, py::tuple(bits.attr("shape"))[0].cast<std::int64_t>());
    }
    auto as_int64 = [&](const char *field) {
        return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
            nodes[py::str(field)]);
    };
    auto as_uint8 = [&](const char *field) {
        return py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>(
            nodes[py::str(field)]);
    };
    auto feature = as_int64("feature_idx");
    auto left = as_int64("left");
    auto right = as_int64("right");
    auto bitset = as_int64("bitset_idx");
    auto leaf = as_uint8("is_leaf");
    auto categorical = as_uint8("is_categorical");
    auto span64 =
        [](const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> &a) {
            return std::span<const std::int64_t>(a.data(), static_cast<std::size_t>(a.size()));
        };
    auto span8 = [](const py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> &a) {
        return std::span<const std::uint8_t>(a.data(), static_cast<std::size_t>(a.size()));
    };
    const core::HistTreeNodes fields{span64(feature), span64(left), span64(right),
                                     span64(bitset),  span8(leaf),  span8(categorical)};
    for (const HistOwner &owner : use.owners) {
        try {
            core::check_hist_tree(fields, owner.width, bitset_rows,
                                  {owner.categorical.data(), owner.categorical.size()});
        } catch (const core::ModelError &e) {
            refuse("scikit-learn", e.what());
        }
    }
}

void check_trees(py::handle loaded) {
    py::object tree_cls = loaded_class("sklearn.tree._tree", "Tree");
    py::object predictor_cls =
        loaded_class("sklearn.ensemble._hist_gradient_boosting.predictor", "TreePredictor");
    py::object ndarray = py::module_::import("numpy").attr("ndarray");
    std::unordered_set<PyObject *> visited;
    std::unordered_map<PyObject *, TreeUse> trees;
    std::unordered_map<PyObject *, HistUse> predictors;
    std::vector<py::object> stack{py::reinterpret_borrow<py::object>(loaded)};
    auto is_tree = [&](py::handle h) { return is_exactly(h, tree_cls); };
    auto push = [&](py::handle h) {
        if (!skipped_type(h) || is_tree(h)) {
            stack.push_back(py::reinterpret_borrow<py::object>(h));
        }
    };
    while (!stack.empty()) {
        py::object obj = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(obj.ptr()).second) {
            continue;
        }
        if (is_tree(obj)) {
            trees.try_emplace(obj.ptr(), TreeUse{obj, -1});
            continue;
        }
        if (is_exactly(obj, predictor_cls)) {
            predictors.try_emplace(obj.ptr(), HistUse{obj, {}});
            continue;
        }
        if (PyDict_Check(obj.ptr())) {
            for (auto item : py::reinterpret_borrow<py::dict>(obj)) {
                push(item.second);
            }
            continue;
        }
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr()) || PyAnySet_Check(obj.ptr())) {
            for (py::handle item : obj) {
                push(item);
            }
            continue;
        }
        if (py::isinstance(obj, ndarray)) {
            if (py::str(obj.attr("dtype").attr("kind")).cast<std::string>() == "O") {
                for (py::handle item : obj.attr("ravel")().attr("tolist")()) {
                    push(item);
                }
            }
            continue;
        }
        PyObject **dict_ptr = _PyObject_GetDictPtr(obj.ptr());
        if (dict_ptr == nullptr || *dict_ptr == nullptr) {
            continue;
        }
        py::dict attrs = py::reinterpret_borrow<py::dict>(*dict_ptr);
        check_estimator_attributes(attrs);
        // An estimator checks X against n_features_in_ before its tree reads it.
        if (attrs.contains("tree_") && attrs.contains("n_features_in_")) {
            py::object tree = attrs["tree_"];
            py::object width = attrs["n_features_in_"];
            if (is_tree(tree) && PyLong_Check(width.ptr())) {
                auto &use = trees.try_emplace(tree.ptr(), TreeUse{tree, -1}).first->second;
                const auto w = width.cast<std::int64_t>();
                use.n_features = use.n_features < 0 ? w : std::min(use.n_features, w);
            }
        }
        // A histogram-boosting estimator: its predictors, iteration by iteration.
        if (attrs.contains("_predictors") && attrs.contains("n_features_in_")) {
            py::object iterations = attrs["_predictors"];
            if (PyList_Check(iterations.ptr())) {
                const HistOwner owner = hist_owner(attrs);
                for (py::handle row : iterations) {
                    if (!PyList_Check(row.ptr())) {
                        continue;
                    }
                    for (py::handle p : row) {
                        if (is_exactly(p, predictor_cls)) {
                            auto &use =
                                predictors
                                    .try_emplace(p.ptr(),
                                                 HistUse{py::reinterpret_borrow<py::object>(p), {}})
                                    .first->second;
                            use.owners.push_back(owner);
                        }
                    }
                }
            }
        }
        stack.push_back(attrs);
    }

    for (auto &[ptr, use] : predictors) {
        check_hist_predictor(use);
    }
    for (auto &[ptr, use] : trees) {
        py::object tree = use.tree;
        const auto count = tree.attr("node_count").cast<std::int64_t>();
        const auto capacity = tree.attr("capacity").cast<std::int64_t>();
        std::int64_t width = tree.attr("n_features").cast<std::int64_t>();
        if (use.n_features >= 0) {
            width = std::min(width, use.n_features);
        }
        if (count < 1 || count > capacity) {
            refuse("scikit-learn", "a tree declares " + std::to_string(count) +
                                       " nodes but holds " + std::to_string(capacity));
        }
        auto as_int64 = [](py::object a) {
            return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(a);
        };
        auto left = as_int64(tree.attr("children_left"));
        auto right = as_int64(tree.attr("children_right"));
        auto feature = as_int64(tree.attr("feature"));
        try {
            core::check_sklearn_tree({left.data(), static_cast<std::size_t>(left.size())},
                                     {right.data(), static_cast<std::size_t>(right.size())},
                                     {feature.data(), static_cast<std::size_t>(feature.size())},
                                     width);
        } catch (const core::ModelError &e) {
            refuse("scikit-learn", e.what());
        }
    }
}

}  // namespace

// pyarrow rebuilds a pickled array from the buffers, offsets and lengths the
// pickle gives, trusting all of them; the array is validated in full before
// anything reads it.
py::object checked_arrow_restore(py::handle restore) {
    py::object real = py::reinterpret_borrow<py::object>(restore);
    return py::cpp_function([real](py::args args) {
        py::object array = real(*args);
        std::string error;
        try {
            array.attr("validate")(py::arg("full") = true);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            error = py::str(e.value());
        }
        if (!error.empty()) {
            bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                        "refused a restored Arrow array: " + error);
        }
        return array;
    });
}

py::object checked_model_class(py::handle resolved) {
    if (!PyType_Check(resolved.ptr())) {
        py::object restore = loaded_class("pyarrow.lib", "_restore_array");
        if (!restore.is_none() && restore.is(resolved)) {
            return checked_arrow_restore(resolved);
        }
        return py::reinterpret_borrow<py::object>(resolved);
    }
    Library library;
    if (is_subclass(resolved, loaded_class("lightgbm.basic", "Booster"))) {
        library = Library::LightGbm;
    } else if (is_subclass(resolved, loaded_class("xgboost.core", "Booster"))) {
        library = Library::XgBoost;
    } else if (is_subclass(resolved, loaded_class("lightgbm.engine", "CVBooster")) ||
               is_subclass(resolved, loaded_class("lightgbm.basic", "_InnerPredictor"))) {
        // CVBooster(model_file) and _InnerPredictor.from_model_file parse
        // model files with the library's unchecked loader.
        library = Library::Other;
    } else {
        return py::reinterpret_borrow<py::object>(resolved);
    }
    py::dict guards = py::reinterpret_borrow<py::dict>(g_guards);
    if (!guards.contains(resolved)) {
        guards[resolved] = make_guard(resolved, library);
    }
    return guards[resolved];
}

py::object check_model_structure(py::object loaded) {
    check_trees(loaded);
    return loaded;
}

void register_model_checks(py::module_ &m) {
    g_guards = py::dict().release().ptr();
    m.def(
        "_check_lightgbm_model", [](py::object text) { checked_lightgbm_text(text); },
        py::arg("text"));
    m.def(
        "_check_xgboost_model",
        [](py::object buffer) {
            if (PyByteArray_CheckExact(buffer.ptr())) {
                checked_xgboost_buffer(buffer);
                return;
            }
            py::object copy =
                py::reinterpret_steal<py::object>(PyByteArray_FromObject(buffer.ptr()));
            if (!copy) {
                throw py::error_already_set();
            }
            checked_xgboost_buffer(copy);
        },
        py::arg("buffer"));
    m.def("_check_model_structure", &check_model_structure, py::arg("obj"));
    register_native_predict(m);
    // The native prediction path alone (None when it does not apply).
    m.def(
        "_native_model_output",
        [](py::object model, py::object frame, py::object target, const std::string &method) {
            return native_model_output(model, frame, target, method.c_str());
        },
        py::arg("model"), py::arg("frame"), py::arg("target"), py::arg("method"));
}

}  // namespace brinvale::workbench
