// The model workbench module body.  Imports run in the platform's order: the
// package folder goes on sys.path first, so that the engine, the task
// configuration and the chart module resolve by their bare names.
#include "workbench.hpp"

#include "lazy.hpp"

namespace brinvale::workbench {

namespace {

PyObject *g_module = nullptr;  // owned by sys.modules for the interpreter's life

constexpr const char *kModuleDoc = "\n    预测文件应该支持两种方式\n    1.支持直接输入result文件\n "
                                   "   2.支持输入模型参数和模型特征捆绑字段\n";

constexpr const char *kInitDoc =
    "\n        初始化 tabular_incrml 对象，并加载模型和相关配置。\n\n        Args:\n            "
    "path (str): "
    "brinvale的训练结果的路径，通常位于result文件夹下。\n        Returns:\n            object: "
    "返回一个tabular_incrml对象。\n        ";

// The class body's order of definition, which areas defined in separate
// translation units would otherwise scramble.
constexpr const char *kMethodOrder[] = {
    "__init__",
    "_split_train_test",
    "_load_data_from_file",
    "_colname_filter",
    "_process_data",
    "_normalize_column_names",
    "_percent_sign_conversion",
    "_validation_data",
    "predict",
    "predict_proba",
    "preprocess",
    "get_train_validation_data",
    "labelencode",
    "labeldecode",
    "plot_box",
    "plot_kde",
    "plot_trend_comparison",
    "plot_roc_curve",
    "plot_confusion_matrix",
    "plot_regression_scatter",
    "obtain_model_configuration",
    "get_feature_importance",
    "plot_shap",
};

void reorder_methods(py::object &cls) {
    py::object vars = py::module_::import("builtins").attr("vars");
    for (const char *name : kMethodOrder) {
        py::dict ns = py::dict(vars(cls));
        if (!ns.contains(name)) {
            continue;
        }
        py::object value = ns[name];
        py::delattr(cls, name);
        py::setattr(cls, name, value);
    }
}

// Runs load() with scikit-learn's "Trying to unpickle estimator ..." warnings
// recorded into `notes` (once each); other warnings take their usual course.
template <class Load>
py::object load_noting_versions(py::list &notes, Load &&load) {
    py::module_ warnings = py::module_::import("warnings");
    py::object catcher = warnings.attr("catch_warnings")("record"_a = true);
    py::list caught = catcher.attr("__enter__")();
    py::object result;
    try {
        warnings.attr("filterwarnings")("always", "message"_a = "Trying to unpickle estimator");
        result = load();
    } catch (...) {
        catcher.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    catcher.attr("__exit__")(py::none(), py::none(), py::none());
    for (py::handle w : caught) {
        py::object message = w.attr("message");
        py::str text = py::str(message);
        if (text.attr("startswith")("Trying to unpickle estimator").cast<bool>()) {
            if (!notes.contains(text)) {
                notes.append(text);
            }
        } else {
            warnings.attr("warn_explicit")(message, w.attr("category"), w.attr("filename"),
                                           w.attr("lineno"));
        }
    }
    return result;
}

void init_tabular_incrml(py::object self, py::object path) {
    bind::require_exact_str(path, "path");
    py::object join = global("os").attr("path").attr("join");

    self.attr("path") = path;
    self.attr("labelencoder_dt_path") = join(path, "autofe", "labelencoder.pkl");
    self.attr("autofe_result_path") = join(path, "autofe", "result");
    self.attr("automl_result_path") = join(path, "automl", "logs");
    self.attr("save_path") = join(self.attr("path"), "save");
    self.attr("model_path") = join(path, "automl", "result");

    // The folder's files are read as bounded regular files inside it: a
    // FIFO, a link to a device or a link out of the folder is refused.
    py::object config_path = join(path, "config.yaml");
    require_inside_folder(path, config_path);
    py::object cfg = load_folder_config(self, config_path);
    py::object feature = cfg["Feature"];
    self.attr("target_name") = feature["TargetName"];
    self.attr("feature_name") = feature["FeatureName"];
    self.attr("task") = feature["TaskType"];
    self.attr("training_data") = py::none();

    py::object get = feature.attr("get");
    self.attr("id_index") = get("id_index", py::none());
    self.attr("time_index") = get("TimeIndex", py::none());
    self.attr("ignore_features") = get("IgnoreFeature", py::list());
    self.attr("group_id") = get("GroupIndex", py::none());
    self.attr("split_type") = get("SplitType", "stratified");
    self.attr("seed") = get("RandomSeed", 1024);
    self.attr("autofe_running") = cfg["AutoFE"].attr("get")("Running");
    self.attr("automl_running") = cfg["AutoML"].attr("get")("Running");
    self.attr("test_size") = py::module_::import("builtins").attr("float")(get("TestSize", 0.25));

    // Result folders come from elsewhere: their pickles are loaded by the
    // restricted unpickler, which refuses globals outside the model libraries.
    py::module_ mod = py::reinterpret_borrow<py::module_>(global_module());
    // scikit-learn warns when it restores an estimator another of its
    // versions pickled (and the module silences warnings); the warnings are
    // kept to explain a model that then fails (see run_model).
    py::list version_notes;
    auto pickle_load = [&mod, &version_notes](py::handle f) {
        return load_noting_versions(version_notes, [&] { return safe_pickle_load(mod, f); });
    };
    self.attr("_version_notes") = version_notes;
    py::object records_path = self.attr("labelencoder_dt_path");
    if (global("os").attr("path").attr("exists")(records_path).cast<bool>()) {
        self.attr("lec_record_dt") =
            pickle_load(open_folder_file(path, records_path, "PICKLE_MAX_BYTES"));
        check_records(self.attr("lec_record_dt"));
    } else {
        self.attr("lec_record_dt") = py::dict();
    }

    py::object loads = global("json").attr("loads");
    self.attr("adv_features") = py::object(loads(read_folder_file(
        path, self.attr("autofe_result_path"), "FEATURES_MAX_BYTES"))["combination_features"]);

    self.attr("model") =
        pickle_load(open_folder_file(path, self.attr("model_path"), "PICKLE_MAX_BYTES"));

    // Estimators pickled by older LightGBM wrappers carry _n_classes = None,
    // which newer versions refuse at predict time.
    try {
        py::object inner = self.attr("model").attr("_trained_estimator").attr("_model");
        if (inner.attr("_n_classes").is_none()) {
            inner.attr("_n_classes") = -1;
        }
    } catch (py::error_already_set &) {
    }
}

// The manual check of a developer: a sample folder built on the fly stands
// in for a real training run's result folder.
void run_manual_check() {
    py::object sample = py::module_::import("brinvale.sample");
    py::object tempfile = py::module_::import("tempfile");
    py::object builtins = py::module_::import("builtins");
    py::object print = builtins.attr("print");
    // the sample folders are removed when the check ends, also on failure
    py::object workdir = tempfile.attr("TemporaryDirectory")("prefix"_a = "brinvale-check-");
    py::object tmp = workdir.attr("name");
    try {
        py::object join = global("os").attr("path").attr("join");
        py::object cls = global("tabular_incrml");
        py::object first =
            sample.attr("build_sample")(join(tmp, "classification"), "classification");
        py::object data = sample.attr("write_sample_csv")(join(tmp, "new.csv"));
        py::object obj = cls(first);
        print(obj.attr("predict")(data));
        print(obj.attr("predict_proba")(data));
        py::object second = sample.attr("build_sample")(join(tmp, "regression"), "regression");
        print(cls(second).attr("predict")(data));
    } catch (...) {
        workdir.attr("cleanup")();
        throw;
    }
    workdir.attr("cleanup")();
}

void set_chart_fonts(py::handle matplotlib) {
    py::object rc = matplotlib.attr("rcParams");
    py::list fonts;
    fonts.append("SimHei");
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
}

// The chart fonts are a setting of the process made by this module body.
// Matplotlib itself loads on first use, so the setting is applied right after
// its first import (at once when it is already loaded).
void set_chart_fonts_on_import(py::module_ &m) {
    const std::string package = py::str(m.attr("__name__")).cast<std::string>();
    const auto dot = package.rfind('.');
    py::object package_module;
    if (dot != std::string::npos) {
        package_module = py::module_::import(package.substr(0, dot).c_str());
    }
    if (!package_module || !py::hasattr(package_module, "_after_import")) {
        set_chart_fonts(py::module_::import("matplotlib"));
        return;
    }
    package_module.attr("_after_import")(
        "matplotlib", py::cpp_function([](py::object mpl) { set_chart_fonts(mpl); }));
}

}  // namespace

void set_module(py::module_ &m) { g_module = m.ptr(); }

py::handle global_module() { return g_module; }

py::object global(const char *name) {
    return py::reinterpret_borrow<py::object>(g_module).attr(name);
}

bool is_text_dtype(py::handle dtype) {
    const auto name = py::str(dtype.attr("name")).cast<std::string>();
    return name == "object" || name == "str" || name == "string" || name == "category";
}

bool is_datetime_dtype(py::handle dtype) {
    return py::str(dtype.attr("kind")).cast<std::string>() == "M";
}

bool in_columns(py::handle df, py::handle label) {
    return df.attr("columns").attr("__contains__")(label).cast<bool>();
}

py::list frame_dtypes(const py::object &df) {
    py::object mgr = py::getattr(df, "_mgr", py::none());
    py::object get =
        mgr.is_none() ? py::object(py::none()) : py::getattr(mgr, "get_dtypes", py::none());
    if (!get.is_none()) {
        py::list dtypes = get().attr("tolist")();
        if (py::len(dtypes) == py::len(df.attr("columns"))) {
            return dtypes;
        }
    }
    return df.attr("dtypes").attr("tolist")();
}

py::object frame_column_array(const py::object &df, std::size_t j) {
    py::object get = py::getattr(df, "_get_column_array", py::none());
    if (!get.is_none()) {
        return get(py::int_(j));
    }
    return frame_column(df, j);
}

py::object frame_column(const py::object &df, std::size_t j) {
    py::object ixs = py::getattr(df, "_ixs", py::none());
    if (!ixs.is_none()) {
        return ixs(py::int_(j), 1);
    }
    return df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
}

}  // namespace brinvale::workbench

BRINVALE_MODULE(brinvale, m) {
    using namespace brinvale::workbench;
    set_module(m);
    m.doc() = kModuleDoc;

    py::module_ os = py::module_::import("os");
    py::module_ sys = py::module_::import("sys");
    m.attr("os") = os;
    m.attr("sys") = sys;
    sys.attr("path").attr("append")(os.attr("path").attr("dirname")(m.attr("__file__")));

    // shap, Matplotlib and the chart module (which pulls in SciPy and
    // scikit-learn's metrics) take seconds to import and serve only the
    // charts: they load when one of their names is first looked up.
    brinvale::bind::install_lazy_names(
        m, {{"shap", "shap", nullptr},
            {"plt", "matplotlib.pyplot", nullptr},
            {"plot_confusion_matrix", "module.util.report", "plot_confusion_matrix"},
            {"plot_regression_results", "module.util.report", "plot_regression_results"},
            {"plot_roc_curve", "module.util.report", "plot_roc_curve"},
            {"plot_trends", "module.util.report", "plot_trends"},
            {"plot_box", "module.util.report", "plot_box"},
            {"plot_kde", "module.util.report", "plot_kde"}});
    m.attr("json") = py::module_::import("json");
    m.attr("pickle") = py::module_::import("pickle");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    py::module_ typing = py::module_::import("typing");
    m.attr("Union") = typing.attr("Union");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("Tuple") = typing.attr("Tuple");
    m.attr("deepcopy") = py::module_::import("copy").attr("deepcopy");

    m.attr("name2feature") = py::module_::import("tavrin").attr("name2feature");
    m.attr("TaskConfig") = py::module_::import("module.common.quillet").attr("TaskConfig");

    py::module_ warnings = py::module_::import("warnings");
    m.attr("warnings") = warnings;
    warnings.attr("filterwarnings")("ignore");

    set_chart_fonts_on_import(m);

    py::object cls = brinvale::bind::make_class(
        "tabular_incrml", py::make_tuple(py::module_::import("builtins").attr("object")), m);
    brinvale::bind::def_method(cls, "__init__", &init_tabular_incrml, py::arg("path"),
                               py::doc(kInitDoc));
    add_input_methods(cls);
    add_pipeline_methods(cls);
    add_label_methods(cls);
    add_chart_methods(cls);
    reorder_methods(cls);
    register_dataset(m);
    register_input_limits(m);
    m.def(
        "_input_columns", &input_columns, py::arg("obj"),
        py::doc("The input columns (cleaned labels) that the engineered features and the model of "
                "a loaded result folder read, in order of first use."));
    register_safe_pickle(m);
    register_model_checks(m);
    register_percent_helpers(m);
    register_encoding_helpers(m);
    register_plan(m);

    if (py::str(m.attr("__name__")).cast<std::string>() == "__main__") {
        run_manual_check();
    }
}
