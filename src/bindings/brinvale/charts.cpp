// Chart methods of tabular_incrml.  Six of them check their arguments and the
// task, then hand over to the chart module "module.util.report"; plot_shap
// explains the trained model with shap and draws the summary itself.
#include "workbench.hpp"

#include <string>
#include <vector>

namespace brinvale::workbench {

namespace {

using brinvale::bind::check_assert;
using brinvale::bind::require_exact_int;
using brinvale::bind::require_exact_str;

constexpr const char *kNotClassification = "该任务识别到不是分类任务，请确认任务类型！";

// Looked up at every call, so the routines a user (or a test) puts into the
// chart module are the ones used.
py::object report(const char *routine) {
    return py::module_::import("module.util.report").attr(routine);
}

void require_classification(py::handle self) {
    py::object task = self.attr("task");
    check_assert(task.equal(py::str("classification")), kNotClassification);
}

py::object distinct_count(py::handle y) {
    return py::int_(py::len(py::module_::import("numpy").attr("unique")(y)));
}

py::object attr_or_none(py::handle obj, const char *name) {
    try {
        return obj.attr(name);
    } catch (py::error_already_set &) {
        // unfitted scikit-learn/LightGBM estimators raise NotFittedError
        // (an AttributeError and ValueError) for their fitted attributes
        return py::none();
    }
}

// LightGBM and XGBoost match the columns of a frame by position, not by name:
// the rows must reach the explainer in the order the inner model was trained
// on (FLAML puts categorical columns first), whatever order preprocessing
// left them in.  LightGBM may store sanitised names (blanks replaced), so the
// AutoML object's own list is tried as well.
py::object in_model_order(py::object X, py::handle model, py::handle inner) {
    py::object pd = py::module_::import("pandas");
    if (!py::isinstance(X, pd.attr("DataFrame"))) {
        return X;
    }
    py::list columns(X.attr("columns"));
    py::set present;
    for (py::handle c : columns) {
        present.add(c);
    }
    py::object first_missing = py::none();
    const std::pair<py::handle, const char *> sources[] = {
        {inner, "feature_names_in_"}, {inner, "feature_name_"}, {model, "feature_names_in_"}};
    for (const auto &[owner, attr] : sources) {
        py::object names = attr_or_none(owner, attr);
        if (names.is_none()) {
            continue;
        }
        py::list order(names);
        py::list missing;
        for (py::handle name : order) {
            if (!present.contains(name)) {
                missing.append(name);
            }
        }
        if (py::len(missing) == 0) {
            if (order.equal(columns)) {
                return X;
            }
            return X.attr("__getitem__")(order);
        }
        if (first_missing.is_none()) {
            first_missing = missing;
        }
    }
    if (!first_missing.is_none()) {
        brinvale::bind::raise_object(
            PyExc_KeyError,
            py::str("X_test lacks columns the model was trained on: {}").format(first_missing));
    }
    return X;
}

// The model's classes are the label encoder's codes: the folder's encoder of
// the label turns them back into the class names a user knows.
py::object decoded_classes(py::handle self, py::object classes) {
    try {
        py::object target = self.attr("target_name");
        py::object records = self.attr("lec_record_dt");
        if (!py::isinstance<py::dict>(records) || !records.contains(target)) {
            return classes;
        }
        py::object np = py::module_::import("numpy");
        py::object codes = np.attr("asarray")(classes);
        if (!np.attr("issubdtype")(codes.attr("dtype"), np.attr("integer")).cast<bool>()) {
            return classes;
        }
        py::object names = records[target].attr("inverse_transform")(codes);
        return py::len(names) == py::len(classes) ? names : classes;
    } catch (py::error_already_set &) {
        // an object without a result folder, or codes the encoder never saw
        return classes;
    }
}

std::vector<std::string> class_names(py::handle self, py::handle model, py::handle inner,
                                     py::ssize_t k) {
    std::vector<std::string> out;
    for (py::handle owner : {model, inner}) {
        py::object classes = attr_or_none(owner, "classes_");
        if (!classes.is_none() && py::len(classes) == static_cast<size_t>(k)) {
            for (py::handle c : decoded_classes(self, classes)) {
                out.push_back(py::str(c));
            }
            return out;
        }
    }
    for (py::ssize_t i = 0; i < k; ++i) {
        out.push_back(std::to_string(i));
    }
    return out;
}

// Per-class panels for chart types that show one output at a time (dot,
// violin, compact_dot): one beeswarm per class, stacked, so that the feature
// names of a panel never run into its neighbour.
void draw_class_panels(py::object shap, py::object plt, py::object per_class_values, py::object X,
                       py::object feature_names, const std::string &plot_type,
                       const std::vector<std::string> &names, py::ssize_t n_features) {
    const py::ssize_t k = static_cast<py::ssize_t>(names.size());
    // compact_dot lists every pair of features as a row of its own
    const py::ssize_t rows = plot_type == "compact_dot" ? n_features * n_features : n_features;
    const double shown = static_cast<double>(rows < 20 ? rows : 20);
    py::object fig = plt.attr("gcf")();
    fig.attr("set_size_inches")(10.0, (0.5 * shown + 1.8) * static_cast<double>(k));
    for (py::ssize_t i = 0; i < k; ++i) {
        py::object ax = fig.attr("add_subplot")(k, 1, i + 1);
        plt.attr("sca")(ax);
        shap.attr("summary_plot")(per_class_values(i), X, "feature_names"_a = feature_names,
                                  "plot_type"_a = plot_type, "plot_size"_a = py::none(),
                                  "show"_a = false);
        ax.attr("set_title")("类别 " + names[static_cast<size_t>(i)]);
    }
    fig.attr("tight_layout")();
}

// Feature names are often Chinese, and engineered ones hold "$$$": the chart
// is drawn, saved and shown in the chart module's text context, which is left
// on every path.
class ChartFonts {
  public:
    ChartFonts() {
        py::object context = py::module_::import("module.util.report").attr("cjk_fonts")();
        context.attr("__enter__")();
        exit_ = context.attr("__exit__");
    }
    ChartFonts(const ChartFonts &) = delete;
    ChartFonts &operator=(const ChartFonts &) = delete;
    ~ChartFonts() {
        try {
            exit_(py::none(), py::none(), py::none());
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("restoring the chart fonts");
        }
    }

  private:
    py::object exit_;
};

void plot_shap(py::object self, py::object X_test, py::object save_path, py::object plot_type) {
    // shap draws nothing (and reports nothing) for a type it does not know
    const std::string type =
        py::isinstance<py::str>(plot_type) ? plot_type.cast<std::string>() : std::string();
    if (type != "dot" && type != "bar" && type != "violin" && type != "compact_dot" &&
        type != "layered_violin") {
        brinvale::bind::raise_object(
            PyExc_ValueError,
            py::str("plot_type must be \"dot\", \"bar\", \"violin\" or \"compact_dot\", got {!r}")
                .format(plot_type));
    }

    py::object shap = py::module_::import("shap");
    py::object plt = py::module_::import("matplotlib.pyplot");
    py::object np = py::module_::import("numpy");
    py::object model = self.attr("model");
    py::object inner = model.attr("_trained_estimator").attr("_model");
    py::object explainer = shap.attr("Explainer")(inner);

    if (X_test.is_none()) {
        py::object pd = py::module_::import("pandas");
        py::object os_path = py::module_::import("os").attr("path");
        py::object frame = pd.attr("read_csv")(brinvale::workbench::open_folder_file(
            self.attr("path"), os_path.attr("join")(self.attr("path"), "automl", "val_res"),
            "VALIDATION_MAX_BYTES"));
        if (frame.attr("columns").contains("ypred")) {
            frame = frame.attr("drop")("columns"_a = "ypred");
        }
        frame = frame.attr("drop")("columns"_a = self.attr("target_name"));
        X_test = pd.attr("DataFrame")(self.attr("preprocess")(frame));
    }

    py::object X = in_model_order(X_test, model, inner);
    py::object explanation = explainer(X);
    py::object values = np.attr("asarray")(explanation.attr("values"));
    const auto ndim = values.attr("ndim").cast<py::ssize_t>();
    const auto n_features = values.attr("shape")[py::int_(1)].cast<py::ssize_t>();
    const py::ssize_t outputs =
        ndim == 3 ? values.attr("shape")[py::int_(2)].cast<py::ssize_t>() : 1;

    // compact_dot shows interaction values: with plain SHAP values shap draws
    // an empty chart.
    py::object interactions = py::none();
    if (type == "compact_dot") {
        if (!py::hasattr(explainer, "shap_interaction_values")) {
            brinvale::bind::raise(PyExc_ValueError,
                                  "plot_type \"compact_dot\" needs SHAP interaction values, "
                                  "which the explainer of this model does not provide");
        }
        interactions = np.attr("asarray")(explainer.attr("shap_interaction_values")(X));
    }
    const py::object last = py::reinterpret_borrow<py::object>(Py_Ellipsis);

    // long engineered names break into lines after their separators
    py::object wrap = py::module_::import("module.util.report").attr("wrap_name");
    py::object feature_names = py::none();
    if (py::hasattr(X, "columns")) {
        py::list wrapped;
        for (py::handle column : X.attr("columns")) {
            wrapped.append(wrap(column, 50));
        }
        feature_names = wrapped;
    }

    ChartFonts fonts;
    py::list before(plt.attr("get_fignums")());
    plt.attr("figure")();
    py::object summary = shap.attr("summary_plot");
    if (outputs == 1) {
        summary(interactions.is_none() ? explanation : interactions, X,
                "feature_names"_a = feature_names, "plot_type"_a = plot_type, "show"_a = false);
    } else if (outputs == 2) {
        // two outputs of a binary classifier mirror each other: the positive
        // class tells the whole story
        py::object idx = py::make_tuple(last, 1);
        summary(interactions.is_none() ? values[idx] : interactions[idx], X,
                "feature_names"_a = feature_names, "plot_type"_a = plot_type, "show"_a = false);
    } else {
        std::vector<std::string> names = class_names(self, model, inner, outputs);
        if (type == "bar") {
            // stacked bars: the mean |SHAP| of every class per feature
            py::list per_class;
            py::list names_list;
            for (const std::string &name : names) {
                names_list.append(py::str(name));
            }
            for (py::ssize_t i = 0; i < outputs; ++i) {
                per_class.append(values[py::make_tuple(last, i)]);
            }
            summary(per_class, X, "feature_names"_a = feature_names, "plot_type"_a = "bar",
                    "class_names"_a = names_list, "show"_a = false);
        } else {
            py::object source = interactions.is_none() ? values : interactions;
            py::cpp_function slice(
                [source, last](py::ssize_t i) { return source[py::make_tuple(last, i)]; });
            draw_class_panels(shap, plt, slice, X, feature_names, type, names, n_features);
        }
    }
    // a name broken into lines takes the height of a row at a smaller size
    for (py::handle ax : plt.attr("gcf")().attr("axes")) {
        for (py::handle label : ax.attr("get_yticklabels")()) {
            if (py::str(label.attr("get_text")()).attr("__contains__")("\n").cast<bool>()) {
                label.attr("set_fontsize")(10);
            }
        }
    }
    if (!save_path.is_none()) {
        plt.attr("savefig")(save_path, "bbox_inches"_a = "tight");
    }
    plt.attr("show")();
    plt.attr("clf")();
    // close what this call opened, so repeated charts do not pile up figures
    for (py::handle num : py::list(plt.attr("get_fignums")())) {
        if (!before.contains(num)) {
            plt.attr("close")(num);
        }
    }
}

// Documentation texts, in the platform's style.
constexpr const char *kDocBox =
    "\n        绘制箱线图，用于分析特征与标签之间的分布情况。\n\n"
    "        Args:\n"
    "            X (pd.DataFrame): 包含特征列的数据。\n"
    "            y (pd.DataFrame): 包含标签列的数据。\n"
    "            feature_name (str): 要分析的特征名称。\n"
    "            target_name (str): 标签名称。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocKde =
    "\n        绘制核密度估计图，估计特征数据的分布。\n\n"
    "        Args:\n"
    "            X (pd.DataFrame): 包含特征列的数据。\n"
    "            feature_name (str): 要估计分布的特征名称。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocTrend =
    "\n        绘制趋势图，比较特征值和标签值之间的变化趋势。\n\n"
    "        Args:\n"
    "            X (pd.DataFrame): 同时包含特征列和标签列的数据。\n"
    "            feature_name (str): 特征名称。\n"
    "            target_name (str): 标签名称。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocRoc =
    "\n        绘制ROC曲线，分析分类模型的性能。\n\n"
    "        Args:\n"
    "            y_true (Union[pd.Series, np.ndarray]): 真实标签。\n"
    "            y_score (Union[pd.Series, np.ndarray]): 预测得分或概率，二分类为正类概率，"
    "多分类为每个类别的概率。\n"
    "            n_classes (int, optional): 类别数量，默认为None，即根据真实标签自动计算。\n"
    "            roc_type (str): ROC曲线类型，\"both\"表示同时绘制macro和micro平均曲线，"
    "也可以是\"macro\"或\"micro\"，默认为\"both\"。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocConfusion =
    "\n        绘制混淆矩阵，用于展示分类模型的预测准确性。\n\n"
    "        Args:\n"
    "            y_true (Union[pd.Series, np.ndarray]): 真实标签。\n"
    "            y_pred (Union[pd.Series, np.ndarray]): 预测标签。\n"
    "            n_classes (int): 类别数量。\n"
    "            normalize (bool): 是否按真实标签归一化，默认为False。\n"
    "            title (str, optional): 图像标题，默认为None。\n"
    "            cmap: 颜色映射，默认为plt.cm.Blues。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocRegression =
    "\n        绘制回归任务的散点图，比较预测值和实际值。\n\n"
    "        Args:\n"
    "            y_true (Union[pd.Series, np.ndarray]): 实际值。\n"
    "            y_pred (Union[pd.Series, np.ndarray]): 预测值。\n"
    "            model_name (str): 模型名称，显示在图例中，默认为\"Model\"。\n"
    "            path (str, optional): 图像保存路径，默认为None，即直接显示图像。\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocShap =
    "\n        绘制SHAP摘要图，解释模型的特征贡献。\n\n"
    "        Args:\n"
    "            X_test (pd.DataFrame, optional): 已经预处理的测试数据，默认为None，"
    "即使用训练结果中的验证集数据。\n"
    "            save_path (str, optional): 图像保存路径，默认为None，即只显示图像。\n"
    "            plot_type (str): SHAP图的类型，可以是\"dot\"、\"bar\"、\"violin\"或"
    "\"compact_dot\"，默认为\"dot\"。\n"
    "        Returns:\n"
    "            None\n        ";

}  // namespace

void add_chart_methods(py::object &cls) {
    using brinvale::bind::def_method;

    def_method(
        cls, "plot_box",
        [](py::object, py::object X, py::object y, py::object feature_name, py::object target_name,
           py::object path) {
            require_exact_str(feature_name, "feature_name");
            require_exact_str(target_name, "target_name");
            require_exact_str(path, "path", true);
            report("plot_box")(X, y, feature_name, target_name, path);
        },
        py::arg("X"), py::arg("y"), py::arg("feature_name"), py::arg("target_name"),
        py::arg("path") = py::none(), py::doc(kDocBox));

    def_method(
        cls, "plot_kde",
        [](py::object, py::object X, py::object feature_name, py::object path) {
            require_exact_str(feature_name, "feature_name");
            require_exact_str(path, "path", true);
            report("plot_kde")(X, feature_name, path);
        },
        py::arg("X"), py::arg("feature_name"), py::arg("path") = py::none(), py::doc(kDocKde));

    def_method(
        cls, "plot_trend_comparison",
        [](py::object, py::object X, py::object feature_name, py::object target_name,
           py::object path) {
            require_exact_str(feature_name, "feature_name");
            require_exact_str(target_name, "target_name");
            require_exact_str(path, "path", true);
            py::object feature = X[feature_name];
            py::object target = X[target_name];
            report("plot_trends")(feature, target, feature_name, target_name, path);
        },
        py::arg("X"), py::arg("feature_name"), py::arg("target_name"), py::arg("path") = py::none(),
        py::doc(kDocTrend));

    def_method(
        cls, "plot_roc_curve",
        [](py::object self, py::object y_true, py::object y_score, py::object n_classes,
           py::object roc_type, py::object path) {
            require_exact_int(n_classes, "n_classes", true);
            require_exact_str(roc_type, "roc_type");
            require_exact_str(path, "path", true);
            require_classification(self);
            if (n_classes.is_none()) {
                n_classes = distinct_count(y_true);
            }
            report("plot_roc_curve")(y_true, y_score, n_classes, roc_type, path);
        },
        py::arg("y_true"), py::arg("y_score"), py::arg("n_classes") = py::none(),
        py::arg("roc_type") = "both", py::arg("path") = py::none(), py::doc(kDocRoc));

    // The default colour map is Matplotlib's Blues.  Matplotlib loads on
    // first use, so the default is a marker replaced by plt.cm.Blues (one
    // registered object, the same at every call) when a call needs it.
    py::object blues = py::module_::import("builtins").attr("object")();
    def_method(
        cls, "plot_confusion_matrix",
        [blues](py::object self, py::object y_true, py::object y_pred, py::object normalize,
                py::object title, py::object cmap, py::object path) {
            if (cmap.is(blues)) {
                cmap = py::module_::import("matplotlib.pyplot").attr("cm").attr("Blues");
            }
            require_exact_str(title, "title", true);
            require_exact_str(path, "path", true);
            require_classification(self);
            py::object n_classes = distinct_count(y_true);
            report("plot_confusion_matrix")(y_true, y_pred, n_classes, normalize, title, cmap,
                                            path);
        },
        py::arg("y_true"), py::arg("y_pred"), py::arg("normalize") = false,
        py::arg("title") = py::none(), py::arg("cmap") = blues, py::arg("path") = py::none(),
        py::doc(kDocConfusion));

    def_method(
        cls, "plot_regression_scatter",
        [](py::object, py::object y_true, py::object y_pred, py::object model_name,
           py::object path) {
            require_exact_str(model_name, "model_name");
            require_exact_str(path, "path", true);
            report("plot_regression_results")(y_true, y_pred, model_name, path);
        },
        py::arg("y_true"), py::arg("y_pred"), py::arg("model_name") = "Model",
        py::arg("path") = py::none(), py::doc(kDocRegression));

    def_method(cls, "plot_shap", &plot_shap, py::arg("X_test") = py::none(),
               py::arg("save_path") = py::none(), py::arg("plot_type") = "dot", py::doc(kDocShap));
}

}  // namespace brinvale::workbench
