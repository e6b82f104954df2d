// The preprocessing pipeline and everything built on it: prediction, the
// training/validation split of a data set, and questions about the model.
#include "workbench.hpp"

#include <optional>
#include <string>
#include <vector>

namespace brinvale::workbench {

namespace {

constexpr const char *kPreprocessDoc =
    "\n        对数据进行预处理，包括特征捆绑等操作。\n\n        Args:\n            input (str or "
    "pd.DataFrame): "
    "可以输入csv数据集的地址或者已读取的DataFrame。\n            return_y (bool, optional): "
    "是否返回标签。默认为False。如果为True，则返回的DataFrame包含标签。如果数据没有标签，"
    "那么始终都不会返回标签信息。\n        Returns:\n            pd.DataFrame: "
    "返回处理好的数据。\n        ";

constexpr const char *kProcessDoc =
    "\n        "
    "对原始DataFrame进行预处理，包括清理列名、转换非数值列、特征组合和移除不需要的特征。\n\n       "
    " "
    "Args:\n            ori_df (pd.DataFrame): 原始数据集。\n\n        Returns:\n            "
    "pd.DataFrame: 预处理后的数据集。\n        ";

constexpr const char *kPredictDoc =
    "\n        使用模型对测试集进行预测。\n\n        Args:\n            test_path (str or "
    "pd.DataFrame): \n  "
    "              提供三种加载方式:\n                    1.输入csv数据集的地址；\n                "
    "    "
    "2.输入文件夹，文件夹中仅包含csv文件；\n                    3.直接输入DataFrame。\n        "
    "Returns:\n            np.ndarray: 返回预测结果，为numpy的一维数组。\n        ";

constexpr const char *kPredictProbaDoc =
    "\n        对于分类任务，返回模型预测每个类别的概率。\n\n        Args:\n            test_path "
    "(str or "
    "pd.DataFrame or list): \n                提供三种加载方式:\n                    "
    "1.输入csv数据集的地址；\n                    2.输入文件夹，文件夹中仅包含csv文件；\n          "
    "    "
    "      3.直接输入DataFrame。\n        Returns:\n            np.ndarray: "
    "返回预测结果的概率，为numpy的二维数组。\n        ";

constexpr const char *kTrainValDoc =
    "\n        获取训练集和验证集。\n\n        Args:\n            path (str, optional): "
    "数据集的来源，支持四种方式:\n                1.输入csv数据集的地址；\n                "
    "2.输入文件夹，文件夹中仅包含csv文件；\n                "
    "3.输入None，此时使用之前已经加载的数据；\n                4.直接输入DataFrame。\n        "
    "Returns:\n            tuple: (X_train, X_val, y_train, y_val)，训练集特征、验证集特征、"
    "训练集标签和验证集标签。\n        ";

constexpr const char *kSplitDoc =
    "\n        根据指定的分割类型将数据集分割为训练集和验证集。\n\n        Args:\n            X "
    "(pd.DataFrame): 特征数据。\n            y (pd.Series): 标签数据。\n            split_type "
    "(str): 分割类型，可选 'stratified'、'time' 和 'random'。\n\n        Returns:\n            "
    "Tuple[pd.DataFrame, pd.DataFrame, pd.Series, pd.Series]: X_train, X_val, y_train, "
    "y_val。\n        ";

constexpr const char *kConfigDoc =
    "\n        获取并返回 AutoML 模型的配置信息。\n\n        Returns:\n            dict: "
    "包含以下键的字典:\n "
    "               - model_type: AutoML 选择的最佳模型类型。\n                - model_params: "
    "该模型的最佳配置参数。对某些参数进行了适当的名称转换和格式调整。\n                - task: "
    "模型的任务类型，主要是分类和回归。\n        ";

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

py::list single(py::handle label) {
    py::list l;
    l.append(label);
    return l;
}

bool in_list(py::handle label, const py::object &list) {
    return list.attr("__contains__")(label).cast<bool>();
}

// The text a recorded encoder was fitted on: missing values as "na", every
// value in its text form.
py::object encoder_input(const py::object &column) {
    py::object builtins = py::module_::import("builtins");
    py::object values = column;
    const bool has_missing = truthy(column.attr("isna")().attr("any")());
    // A categorical column cannot take "na" unless it is a category, and
    // pandas refuses text in a datetime column: fill those as objects.
    const std::string name = py::str(column.attr("dtype").attr("name")).cast<std::string>();
    if (name == "category" || (has_missing && is_datetime_dtype(column.attr("dtype")))) {
        values = values.attr("astype")(builtins.attr("object"));
    }
    return values.attr("fillna")("na").attr("astype")(builtins.attr("str"));
}

// Text and date columns with a recorded encoder become the encoder's codes,
// in place; the time column stays.
py::object encode_text_columns(py::object ori_df, py::object records, py::object time_index) {
    py::list labels = ori_df.attr("columns").attr("tolist")();
    // Labels that repeat give frames, not columns: such a frame is read by
    // label, as pandas reads it.
    const bool unique = py::len(py::set(labels)) == py::len(labels);
    py::list dtypes = unique ? frame_dtypes(ori_df) : py::list();
    for (std::size_t j = 0; j < py::len(labels); ++j) {
        py::handle col = labels[j];
        // The cheap tests first: most columns have no encoder, and taking a
        // column out of a frame costs more than the rest of the test.
        const int recorded = PySequence_Contains(records.ptr(), col.ptr());
        if (recorded < 0) {
            throw py::error_already_set();
        }
        if (recorded == 0 || py::reinterpret_borrow<py::object>(col).equal(time_index)) {
            continue;
        }
        py::object column;
        py::object dtype;
        if (unique) {
            dtype = dtypes[j];
        } else {
            column = ori_df[col];
            dtype = column.attr("dtype");
        }
        if (!(is_text_dtype(dtype) || is_datetime_dtype(dtype))) {
            continue;
        }
        py::object encoder = records[col];
        // The text codes from the column's own array: taking the column out
        // as a Series costs more than encoding a short one.
        py::object array = column;
        if (!array) {
            py::object get = py::getattr(ori_df, "_get_column_array", py::none());
            array = get.is_none() ? py::object(ori_df[col]) : get(py::int_(j));
        }
        py::object codes = native_text_codes(encoder, array);
        if (codes.is_none()) {
            codes = encoder.attr("transform")(encoder_input(column ? column : ori_df[col]));
        }
        // The column is replaced, not written into: its codes need an
        // integer dtype, which pandas refuses to write into a text column.
        ori_df[col] = global("np").attr("asarray")(codes);
    }
    return ori_df;
}

// Steps 1 to 4 of the pipeline: labels, the configured names and text
// codes, in the caller's frame.
py::object process_labels_and_codes(py::object self, py::object ori_df) {
    py::list stripped;
    bool changed = false;
    for (py::handle col : ori_df.attr("columns").attr("tolist")()) {
        py::object clean = col.attr("strip")();
        changed = changed || !clean.is(col);
        stripped.append(clean);
    }
    // Labels without surrounding blanks are set again by the renaming that
    // follows; only a frame whose labels changed is relabelled here.
    if (changed) {
        ori_df.attr("columns") = stripped;
    }
    ori_df = self.attr("_normalize_column_names")(ori_df);

    if (!self.attr("time_index").is_none()) {
        self.attr("time_index") = self.attr("_colname_filter")(self.attr("time_index"));
    }
    if (!self.attr("group_id").is_none()) {
        self.attr("group_id") = self.attr("_colname_filter")(self.attr("group_id"));
    }
    // A folder without a target (TargetName null) has no label to clean.
    if (!self.attr("target_name").is_none()) {
        self.attr("target_name") = self.attr("_colname_filter")(self.attr("target_name"));
    }

    py::object records = self.attr("lec_record_dt");
    py::object time_index = self.attr("time_index");
    encode_text_columns(ori_df, records, time_index);
    return ori_df;
}

}  // namespace

py::list dropped_columns(const py::object &labels, const py::object &id_index,
                         const py::object &ignore, const py::object &time_index,
                         const py::object &group_id) {
    py::list dropped;
    if (in_list(id_index, labels)) {
        dropped.append(id_index);
    }
    for (py::handle name : ignore) {
        py::object label = py::reinterpret_borrow<py::object>(name);
        if (in_list(label, labels) && !in_list(label, dropped) && !label.equal(time_index) &&
            !label.equal(group_id)) {
            dropped.append(label);
        }
    }
    return dropped;
}

namespace {

// The steps after the feature rebuild: the identifier and the ignored
// columns dropped (not the time or group column), the time column's dates.
// `time_format`: the format a frame cut into parts reads every part's dates
// with (the whole column's, as pandas infers it from its first text); None
// reads them as pandas reads this frame's own.
py::object finish_steps(py::object df, py::object id_index, py::object ignore,
                        py::object time_index, py::object group_id, py::object time_format) {
    // The identifier and the ignored columns leave in one drop: the same
    // columns as dropping them one after another, one frame rebuild (a new
    // frame: pandas deprecates drop(inplace=True), and nobody else holds
    // the engine's result).
    py::list dropped = dropped_columns(df.attr("columns").attr("tolist")(), id_index, ignore,
                                       time_index, group_id);
    if (py::len(dropped) > 0) {
        df = df.attr("drop")("columns"_a = dropped);
    }
    if (!time_index.is_none() && in_columns(df, time_index)) {
        py::object column = df[time_index];
        py::object to_datetime = global("pd").attr("to_datetime");
        if (!time_format.is_none()) {
            df[time_index] = to_datetime(column, "format"_a = time_format);
        } else {
            py::object dates = native_iso_dates(column);
            df[time_index] = dates.is_none() ? to_datetime(column) : dates;
        }
    }
    return df;
}

py::object process_finish(py::object self, py::object df) {
    return finish_steps(std::move(df), self.attr("id_index"), self.attr("ignore_features"),
                        self.attr("time_index"), self.attr("group_id"), py::none());
}

// The feature rebuild and the steps after it.
py::object process_suffix(py::object self, py::object ori_df) {
    py::object records = self.attr("lec_record_dt");
    return process_finish(self, global("name2feature")(ori_df, self.attr("adv_features"), records));
}

bool own_pipeline(const py::object &self);

py::object process_data(py::object self, py::object ori_df) {
    py::object coded = process_labels_and_codes(self, std::move(ori_df));
    // The folder's scoring plan gives the engine's frame where it serves the
    // case; the percentage conversion then happens inside it.
    if (own_pipeline(self)) {
        py::object df = planned_engine_frame(self, coded);
        if (!df.is_none()) {
            return process_finish(self, df);
        }
    }
    return process_suffix(self, self.attr("_percent_sign_conversion")(coded));
}

// A Dask DataFrame: computed partition by partition by the partitioned
// engine, which gives lazy Dask collections.
bool is_dask_frame(py::handle obj) {
    py::object module = py::getattr(py::type::handle_of(obj), "__module__", py::none());
    return !module.is_none() && py::str(module).cast<std::string>().rfind("dask.", 0) == 0 &&
           py::hasattr(obj, "npartitions") && py::hasattr(obj, "columns");
}

py::module_ tessel() { return py::module_::import("brinvale.tessel"); }

// What preprocess does with the pipeline's frame `df` about the target:
// while the platform is running and `return_y` asks for it, the input's
// target column `label` (None when the input has none) appended once, as
// the last column, aligned by position; otherwise the target dropped unless
// `return_y` keeps it.
py::object target_step(py::object df, py::object label, py::object target, bool running,
                       bool return_y) {
    py::object pd = global("pd");
    if (running) {
        if (return_y && !label.is_none()) {
            if (py::isinstance(label, pd.attr("Series")) && py::len(label) == py::len(df)) {
                // Equal lengths: appending the column is what the concat
                // gives.  A shallow copy takes the target out and the row
                // labels off without rebuilding the frame twice.
                df = df.attr("copy")("deep"_a = false);
                if (in_columns(df, target)) {
                    df.attr("__delitem__")(target);
                }
                df.attr("index") = pd.attr("RangeIndex")(py::len(df));
                df[target] = label.attr("reset_index")("drop"_a = true);
            } else {
                if (in_columns(df, target)) {
                    df = df.attr("drop")("columns"_a = single(target));
                }
                py::list parts;
                parts.append(df.attr("reset_index")("drop"_a = true));
                parts.append(label.attr("reset_index")("drop"_a = true));
                df = pd.attr("concat")(parts, "axis"_a = 1);
            }
        }
        return df;
    }
    if (!return_y && in_columns(df, target)) {
        return df.attr("drop")("columns"_a = single(target));
    }
    return df;
}

// What preprocess does with the pipeline's frame `df` of `input`.
py::object preprocess_tail(py::object self, py::object input, py::object df, py::object return_y) {
    const bool running = truthy(self.attr("automl_running"));
    const bool keep = truthy(return_y);
    py::object target = self.attr("target_name");
    py::object label = running && keep && in_columns(input, target) ? py::object(input[target])
                                                                    : py::object(py::none());
    return target_step(std::move(df), label, target, running, keep);
}

py::object preprocess(py::object self, py::object input, py::object return_y) {
    if (is_dask_frame(input)) {
        return tessel().attr("preprocess")(self, input, "return_y"_a = return_y);
    }
    py::object pd = global("pd");
    bind::check_assert(py::isinstance<py::str>(input) ||
                           py::isinstance(input, pd.attr("DataFrame")),
                       "请输入数据集路径 或 pd.DataFrame");
    if (py::isinstance<py::str>(input)) {
        py::object path = input;
        input = pd.attr("read_csv")(path);
        check_loaded_input(path, input);
    }
    check_model_input(self, input);
    return preprocess_tail(self, input, self.attr("_process_data")(input), return_y);
}

// A frame as wide as the model's inputs is its input as it stands only when
// its labels are the model's feature names: raw input columns of that width
// would be scored unprocessed.
bool in_model_form(const py::object &model, const py::object &frame,
                   py::object names = py::object()) {
    if (!names) {
        names = model.attr("feature_names_in_");
    }
    py::object columns = frame.attr("columns");
    if (py::len(names) != py::len(columns)) {
        return false;
    }
    py::set wanted;
    for (py::handle name : names) {
        wanted.add(py::str(name));
    }
    for (py::handle label : columns) {
        if (!PyUnicode_Check(label.ptr()) || !wanted.contains(label)) {
            return false;
        }
    }
    return true;
}

py::object model_frame(py::object self, py::object test_path) {
    py::object pd = global("pd");
    py::object np = global("np");
    py::object model = self.attr("model");
    if (py::isinstance<py::str>(test_path)) {
        py::object loaded = self.attr("_load_data_from_file")(test_path);
        check_loaded_input(test_path, loaded);
        return self.attr("preprocess")(loaded, "return_y"_a = true);
    }
    if (py::isinstance(test_path, pd.attr("DataFrame"))) {
        if (in_model_form(model, test_path)) {
            return test_path;
        }
        return self.attr("preprocess")(test_path, "return_y"_a = true);
    }
    if (py::isinstance(test_path, np.attr("ndarray"))) {
        // An array carries no column labels: it can only be the model's own
        // input, column for column in the model's feature order.
        // Plain str labels: scikit-learn does not take NumPy strings as
        // column names and would refuse the frame.
        py::list names;
        for (py::handle name : model.attr("feature_names_in_")) {
            names.append(py::str(name));
        }
        py::tuple shape = test_path.attr("shape");
        if (shape.size() != 2 || shape[1].cast<std::size_t>() != names.size()) {
            bind::raise(PyExc_ValueError,
                        "an array must be two-dimensional with one column per model feature (" +
                            std::to_string(names.size()) + " columns), got shape " +
                            py::str(shape).cast<std::string>());
        }
        return pd.attr("DataFrame")(test_path, "columns"_a = names);
    }
    PyErr_Format(PyExc_TypeError,
                 "expected a path (str), a pandas DataFrame or a NumPy array, got %.200s",
                 bind::type_name(test_path));
    throw py::error_already_set();
}

// The class whose methods these are, and its own preprocessing methods: the
// scoring plan stands in for them only while they are not replaced.
py::handle workbench_class;
py::handle own_preprocess;
py::handle own_process_data;
py::handle own_percent_conversion;

bool own_pipeline(const py::object &self) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())) != workbench_class.ptr()) {
        return false;
    }
    py::dict methods = py::reinterpret_borrow<py::object>(workbench_class).attr("__dict__");
    PyObject *preprocess_now = PyDict_GetItemString(methods.ptr(), "preprocess");
    PyObject *process_now = PyDict_GetItemString(methods.ptr(), "_process_data");
    PyObject *percent_now = PyDict_GetItemString(methods.ptr(), "_percent_sign_conversion");
    if (preprocess_now != own_preprocess.ptr() || process_now != own_process_data.ptr() ||
        percent_now != own_percent_conversion.ptr()) {
        return false;
    }
    py::object own = py::getattr(self, "__dict__", py::none());
    return own.is_none() || (!own.contains("preprocess") && !own.contains("_process_data") &&
                             !own.contains("_percent_sign_conversion"));
}

py::object call_model(py::object self, py::object df, const char *method);

// predict through the folder's scoring plan: the input as preprocess
// receives it, the pipeline's first steps, then the plan over the columns
// and the native evaluator.  Where the plan does not serve the case the
// pipeline goes on from the same frame, as preprocess would.
std::optional<py::object> planned(py::object self, py::object test_path, const char *method) {
    py::object input;
    if (py::isinstance<py::str>(test_path)) {
        input = self.attr("_load_data_from_file")(test_path);
        check_loaded_input(test_path, input);
    } else if (py::isinstance(test_path, global("pd").attr("DataFrame"))) {
        // the model's columns as the plan read them: FLAML's property asks
        // the learner library for them at every call
        py::object names = own_pipeline(self) ? planned_model_columns(self) : py::none();
        if (names.is_none() || in_model_form(self.attr("model"), test_path, names)) {
            return std::nullopt;
        }
        input = test_path;
    } else {
        return std::nullopt;
    }
    if (!own_pipeline(self) || !py::isinstance(input, global("pd").attr("DataFrame"))) {
        if (py::isinstance<py::str>(test_path)) {
            return call_model(self, self.attr("preprocess")(input, "return_y"_a = true), method);
        }
        return std::nullopt;
    }
    check_model_input(self, input);
    // The plan reads the percentage columns as the conversion of step 5
    // gives them, without the converted frame.
    py::object coded;
    py::object engine_frame = py::none();
    py::object out = with_folder_config(self, [&] {
        coded = process_labels_and_codes(self, input);
        return planned_output(self, coded, method, &engine_frame);
    });
    if (!out.is_none()) {
        return global("np").attr("array")(out);
    }
    py::object df = with_folder_config(self, [&] {
        return engine_frame.is_none()
                   ? process_suffix(self, self.attr("_percent_sign_conversion")(coded))
                   : process_finish(self, engine_frame);
    });
    return call_model(self, preprocess_tail(self, input, df, py::bool_(true)), method);
}

py::object run_model(py::object self, py::object test_path, const char *method) {
    if (is_dask_frame(test_path)) {
        return tessel().attr("predict")(self, test_path, "method"_a = method);
    }
    if (std::optional<py::object> out = planned(self, test_path, method)) {
        return *out;
    }
    return call_model(self, model_frame(self, test_path), method);
}

py::object call_model(py::object self, py::object df, const char *method) {
    py::object target = self.attr("target_name");
    if (py::object out = native_model_output(self.attr("model"), df, target, method);
        !out.is_none()) {
        return global("np").attr("array")(out);
    }
    py::object call = self.attr("model").attr(method);
    py::object result;
    try {
        if (in_list(target, df.attr("columns").attr("tolist")())) {
            result = call(df.attr("drop")("columns"_a = single(target)));
        } else {
            result = call(df);
        }
    } catch (py::error_already_set &e) {
        // A model another scikit-learn version pickled may lack what the
        // installed one expects: say so beside the library's own error.
        py::object notes = py::getattr(self, "_version_notes", py::none());
        if (e.matches(PyExc_Exception) && PyList_Check(notes.ptr()) && py::len(notes) > 0) {
            py::object error = e.value();
            error.attr("add_note")(
                "The model was pickled by other library versions than the installed "
                "ones; scikit-learn warned while loading it:");
            for (py::handle note : notes) {
                error.attr("add_note")(py::str("  ") + py::str(note));
            }
        }
        throw;
    }
    return global("np").attr("array")(result);
}

py::object validation_data(py::object self) {
    bind::check_assert(!self.attr("training_data").is_none(),
                       "请先使用load_training_data上传训练时的数据");
    py::object val_path =
        global("os").attr("path").attr("join")(self.attr("path"), "automl", "val_res");
    bind::check_assert(global("os").attr("path").attr("exists")(val_path).cast<bool>(),
                       "请保证result内的文件保持不变。");
    py::object pd = global("pd");
    py::object val_df =
        pd.attr("read_csv")(open_folder_file(self.attr("path"), val_path, "VALIDATION_MAX_BYTES"));
    if (in_columns(val_df, py::str("ypred"))) {
        val_df = val_df.attr("drop")("columns"_a = single(py::str("ypred")));
    }
    py::object target = self.attr("target_name");
    py::object records = self.attr("lec_record_dt");
    if (records.attr("__contains__")(target).cast<bool>()) {
        py::object encoder = records[target];
        py::object column = val_df[target];
        py::object codes = native_text_codes(encoder, column);
        if (codes.is_none()) {
            codes = encoder.attr("transform")(encoder_input(column));
        }
        val_df[target] = global("np").attr("asarray")(codes);
    }
    py::object label = val_df[target];
    py::object features = pd.attr("DataFrame")(
        self.attr("preprocess")(val_df.attr("drop")("columns"_a = single(target))));
    return py::make_tuple(features, pd.attr("Series")(label, "name"_a = target, "dtype"_a = "int"));
}

py::object split_train_test(py::object self, py::object X, py::object y, py::object split_type) {
    bind::require_exact_str(split_type, "split_type");
    py::object train_test_split =
        py::module_::import("sklearn.model_selection").attr("train_test_split");
    const std::string kind = split_type.cast<std::string>();
    py::object test_size = self.attr("test_size");
    py::object seed = self.attr("seed");
    if (kind == "stratified") {
        py::object key = y;
        if (!py::object(self.attr("task")).equal(py::str("classification"))) {
            key = global("pd").attr("qcut")(y.attr("rank")("method"_a = "first"), "q"_a = 2,
                                            "labels"_a = false);
        }
        return train_test_split(X, y, "test_size"_a = test_size, "random_state"_a = seed,
                                "stratify"_a = key);
    }
    if (kind == "time") {
        py::object builtins = py::module_::import("builtins");
        py::object n = builtins.attr("int")(py::int_(py::len(X)) * (py::int_(1) - test_size));
        py::object head = builtins.attr("slice")(py::none(), n);
        py::object tail = builtins.attr("slice")(n, py::none());
        py::object rows = X.attr("iloc");
        return py::make_tuple(rows[py::make_tuple(head, builtins.attr("slice")(py::none()))],
                              rows[py::make_tuple(tail, builtins.attr("slice")(py::none()))],
                              y.attr("iloc")[head], y.attr("iloc")[tail]);
    }
    return train_test_split(X, y, "test_size"_a = test_size, "random_state"_a = seed);
}

py::object get_train_validation_data(py::object self, py::object path) {
    bind::require_exact_str(path, "path", true);
    if (!path.is_none()) {
        self.attr("training_data") = self.attr("_load_data_from_file")(path);
        check_loaded_input(path, self.attr("training_data"));
    } else {
        bind::check_assert(!self.attr("training_data").is_none(),
                           "请输入数据集路径，或者先调用load_training_data函数。");
    }
    py::object df;
    try {
        df = self.attr("preprocess")(self.attr("training_data"), "return_y"_a = true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        py::print(std::string("请确保数据和上传到brinvale平台的数据一致。\n") +
                  py::str(e.value()).cast<std::string>());
        global("sys").attr("exit")(-1);
        throw;  // unreachable: sys.exit raises
    }
    py::object target = self.attr("target_name");
    py::object parts = self.attr("_split_train_test")(df.attr("drop")("columns"_a = single(target)),
                                                      df[target], self.attr("split_type"));
    std::vector<py::object> four;
    for (py::handle part : parts) {
        if (four.size() == 4) {
            bind::raise(PyExc_ValueError, "too many values to unpack (expected 4)");
        }
        four.push_back(py::reinterpret_borrow<py::object>(part));
    }
    if (four.size() != 4) {
        bind::raise(PyExc_ValueError, "not enough values to unpack (expected 4, got " +
                                          std::to_string(four.size()) + ")");
    }
    py::object pd = global("pd");
    return py::make_tuple(pd.attr("DataFrame")(four[0]), pd.attr("DataFrame")(four[1]),
                          pd.attr("Series")(four[2], "name"_a = target),
                          pd.attr("Series")(four[3]));
}

py::object obtain_model_configuration(py::object self) {
    py::object model = self.attr("model");
    py::object model_type = model.attr("best_estimator");
    py::object params = model.attr("best_config");
    if (params.attr("__contains__")("max_leaves").cast<bool>()) {
        // An explicit max_leaf_nodes wins over the renamed max_leaves.
        py::object leaves = params.attr("pop")("max_leaves");
        if (!params.attr("__contains__")("max_leaf_nodes").cast<bool>()) {
            params["max_leaf_nodes"] = leaves;
        }
    }
    if (params.attr("__contains__")("log_max_bin").cast<bool>()) {
        py::object k = params.attr("pop")("log_max_bin");
        params["max_bin"] = (py::int_(1) << k) - py::int_(1);
    }
    py::dict result;
    result["model_type"] = model_type;
    result["model_params"] = params;
    result["task"] = self.attr("task");
    return std::move(result);
}

py::object get_feature_importance(py::object self) {
    py::object builtins = py::module_::import("builtins");
    py::object model = self.attr("model");
    return builtins.attr("tuple")(
        builtins.attr("zip")(model.attr("feature_names_in_"), model.attr("feature_importances_")));
}

}  // namespace

void register_encoding_helpers(py::module_ &m) {
    m.def("_encode_text_columns", &encode_text_columns, py::arg("df"), py::arg("records"),
          py::arg("time_index"),
          py::doc("Replaces, in place, the text and date columns of `df` that have a recorded "
                  "encoder by the encoder's codes; the time column stays."));
    m.def("_target_step", &target_step, py::arg("df"), py::arg("label"), py::arg("target"),
          py::arg("running"), py::arg("return_y"),
          py::doc("What preprocess does about the target: the input's target column `label` "
                  "appended as the last column while the platform is running and `return_y` "
                  "asks for it, else the target dropped unless `return_y` keeps it."));
    m.def("_finish_steps", &finish_steps, py::arg("df"), py::arg("id_index"), py::arg("ignore"),
          py::arg("time_index"), py::arg("group_id"), py::arg("time_format") = py::none(),
          py::doc("The pipeline's steps after the feature rebuild: `df` without the identifier "
                  "and the ignored columns (never the time or group column), its time column "
                  "read as dates (with `time_format`, the whole frame's, where given)."));
}

void add_pipeline_methods(py::object &cls) {
    bind::def_method(cls, "_split_train_test", &split_train_test, py::arg("X"), py::arg("y"),
                     py::arg("split_type"), py::doc(kSplitDoc));
    bind::def_method(
        cls, "_process_data",
        [](py::object self, py::object ori_df) {
            return with_folder_config(self, [&] { return process_data(self, ori_df); });
        },
        py::arg("ori_df"), py::doc(kProcessDoc));
    bind::def_method(cls, "_validation_data", &validation_data);
    bind::def_method(
        cls, "predict",
        [](py::object self, py::object test_path) { return run_model(self, test_path, "predict"); },
        py::arg("test_path"), py::doc(kPredictDoc));
    bind::def_method(
        cls, "predict_proba",
        [](py::object self, py::object test_path) {
            return run_model(self, test_path, "predict_proba");
        },
        py::arg("test_path"), py::doc(kPredictProbaDoc));
    bind::def_method(cls, "preprocess", &preprocess, py::arg("input"), py::arg("return_y") = false,
                     py::doc(kPreprocessDoc));
    workbench_class = cls;
    py::dict methods = cls.attr("__dict__");
    own_preprocess = methods["preprocess"];
    own_process_data = methods["_process_data"];
    own_percent_conversion = methods["_percent_sign_conversion"];
    bind::def_method(cls, "get_train_validation_data", &get_train_validation_data,
                     py::arg("path") = py::none(), py::doc(kTrainValDoc));
    bind::def_method(cls, "obtain_model_configuration", &obtain_model_configuration,
                     py::doc(kConfigDoc));
    bind::def_method(cls, "get_feature_importance", &get_feature_importance);
}

}  // namespace brinvale::workbench
