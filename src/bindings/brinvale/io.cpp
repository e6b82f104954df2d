// Reading user input into a data frame and cleaning its column labels and
// percentage texts before features are rebuilt.
#include "workbench.hpp"

#include <array>
#include <string>

namespace brinvale::workbench {

namespace {

constexpr const char *kLoadDoc = "\n        从指定路径加载数据文件。\n\n        Args:\n            "
                                 "input_file_path (str): 数据文件的路径，支持 "
                                 "'xlsx'、'npz' 和 'csv' 格式。\n\n        Returns:\n            "
                                 "pd.DataFrame: 加载的数据。\n        ";

constexpr const char *kNormalizeDoc =
    "\n        规范化DataFrame的列名，将列名中的非法字符替换为合法字符。\n\n        Args:\n        "
    "    df "
    "(pd.DataFrame): 需要规范化列名的数据集。\n\n        Returns:\n            pd.DataFrame: "
    "列名规范化后的数据集。\n        ";

constexpr const char *kPercentDoc = "_summary_\n\n        Args:\n            df (pd.DataFrame): "
                                    "_description_\n\n        Returns:\n      "
                                    "      _type_: _description_\n        ";

// Characters that the feature-name grammar or the training platform cannot
// carry in a column label, replaced by "_" in this order.
constexpr std::array<const char *, 15> kReplaced = {":",  "[",  "]", "（", "）", "！", "＠", "＃",
                                                    "￥", "％", "…", "《", "》", "【", "】"};

bool ends_with(const std::string &text, const char *suffix) {
    const std::string s(suffix);
    return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

py::object load_data_from_file(py::object self, py::object input_file_path) {
    bind::require_exact_str(input_file_path, "input_file_path");
    (void)self;
    const std::string path = input_file_path.cast<std::string>();
    py::object pd = global("pd");
    py::object frame;
    if (ends_with(path, "xlsx")) {
        check_xlsx(input_file_path);
        frame = pd.attr("read_excel")(input_file_path);
    } else if (ends_with(path, "npz")) {
        // one column per array, each named by its key
        frame = read_npz(input_file_path);
    } else if (global("os").attr("path").attr("isdir")(input_file_path).cast<bool>()) {
        // One concat over all files gives the same rows, labels and column
        // union as appending the files one at a time, in linear time.  The
        // files are read in sorted name order: glob lists them in the file
        // system's order, which differs between machines and would change
        // every window feature.
        py::list parts;
        parts.append(pd.attr("DataFrame")());
        py::object entries = py::module_::import("builtins")
                                 .attr("sorted")(py::module_::import("glob").attr("glob")(
                                     input_file_path + py::str("/*")));
        for (py::handle entry : entries) {
            parts.append(
                read_folder_entry(input_file_path, py::reinterpret_borrow<py::object>(entry)));
        }
        frame = py::len(parts) == 1 ? py::object(parts[0]) : pd.attr("concat")(parts);
    } else if (ends_with(path, "csv")) {
        frame = pd.attr("read_csv")(input_file_path, "encoding"_a = "utf-8");
    } else {
        bind::raise(PyExc_ValueError,
                    "cannot load '" + path +
                        "': expected a path ending in xlsx, npz or csv, or a folder of CSV files");
    }
    return global("deepcopy")(frame);
}

py::object replace_all(py::object name, const char *from) {
    return name.attr("replace")(from, "_");
}

py::object colname_filter(py::object self, py::object his_col) {
    (void)self;
    if (py::isinstance<py::list>(his_col)) {
        py::list names;
        for (py::handle name : his_col) {
            names.append(replace_all(py::reinterpret_borrow<py::object>(name), " "));
        }
        for (const char *ch : kReplaced) {
            py::list next;
            for (py::handle name : names) {
                next.append(replace_all(py::reinterpret_borrow<py::object>(name), ch));
            }
            names = next;
        }
        return std::move(names);
    }
    if (py::isinstance<py::str>(his_col)) {
        py::object name = his_col;
        for (const char *ch : kReplaced) {
            name = replace_all(name, ch);
        }
        return name;
    }
    PyErr_Format(PyExc_TypeError,
                 "_colname_filter expects a list of column names or one column name, got %.200s",
                 bind::type_name(his_col));
    throw py::error_already_set();
}

py::object normalize_column_names(py::object self, py::object df) {
    (void)self;
    py::list names;
    for (py::handle name : df.attr("columns").attr("tolist")()) {
        names.append(replace_all(py::reinterpret_borrow<py::object>(name), " "));
    }
    df.attr("columns") = names;
    return df;
}

// Whether some value's text form ends with "%": 1 or 0 when every value is
// text, a number or missing (their text forms are known), -1 when some other
// object would need its own str() to tell.
int ends_with_percent(const py::object &column) {
    py::array values = column.attr("to_numpy")("dtype"_a = "object");
    const auto n = static_cast<std::size_t>(values.size());
    PyObject *const *items = static_cast<PyObject *const *>(values.data());
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *o = items[i];
        if (PyUnicode_Check(o)) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(o);
            if (len > 0 && PyUnicode_READ_CHAR(o, len - 1) == '%') {
                return 1;
            }
        } else if (!(o == Py_None || PyFloat_Check(o) || PyLong_Check(o) || PyBool_Check(o))) {
            return -1;
        }
    }
    return 0;
}

// Text columns that hold a value ending in "%", converted in `df` (a copy):
// every value of the column without the sign, as a float, divided by 100.
py::object convert_percentages(py::object df, py::object only) {
    // A copy keeps labels, order and row labels of the input; only the
    // percentage columns are replaced in it (the input is never written).
    py::object result = df.attr("copy")("deep"_a = false);
    py::list labels = df.attr("columns").attr("tolist")();
    py::list dtypes = frame_dtypes(df);
    for (std::size_t k = 0; k < labels.size(); ++k) {
        // one look at the dtypes instead of taking every column out
        if (!is_text_dtype(dtypes[k])) {
            continue;
        }
        py::object col = labels[k];
        py::object column = df[col];
        if (!is_text_dtype(column.attr("dtype"))) {
            continue;
        }
        const bool forced = !only.is_none();
        if (forced && !only.attr("__contains__")(col).cast<bool>()) {
            continue;
        }
        py::object converted;
        const int native = native_percent_column(column, converted);
        if (native == 1) {
            result[col] = converted;
            continue;
        }
        // A part of a frame whose percentage columns were found over all its
        // parts converts those columns even where it holds no "%" itself.
        if (native == 0 && !forced) {
            continue;
        }
        py::object builtins = py::module_::import("builtins");
        const int quick = forced ? 1 : ends_with_percent(column);
        if (quick == 0) {
            continue;
        }
        // Missing values become "nan" and then NaN; pandas before 3 would
        // write None as the text "None", which no float conversion reads.
        py::object missing = column.attr("isna")();
        py::object filled = column.attr("astype")("object").attr("where")(
            missing.attr("__invert__")(), global("np").attr("nan"));
        py::object text = filled.attr("astype")(builtins.attr("str"));
        py::object strings = text.attr("str");
        if (quick < 0 && !strings.attr("endswith")("%").attr("any")().cast<bool>()) {
            continue;
        }
        result[col] = strings.attr("replace")("%", "").attr("astype")(builtins.attr("float")) /
                      py::float_(100.0);
    }
    return result;
}

py::object percent_sign_conversion(py::object self, py::object df) {
    (void)self;
    return convert_percentages(df, py::none());
}

// The text columns of `df` holding a value that ends in "%".
py::list percent_columns(py::object df) {
    py::list found;
    for (py::handle col : df.attr("columns").attr("tolist")()) {
        py::object column = df[col];
        if (!is_text_dtype(column.attr("dtype"))) {
            continue;
        }
        const int quick = ends_with_percent(column);
        if (quick > 0) {
            found.append(col);
        } else if (quick < 0) {
            py::object builtins = py::module_::import("builtins");
            py::object text = column.attr("astype")("object").attr("where")(
                column.attr("isna")().attr("__invert__")(), global("np").attr("nan"));
            if (text.attr("astype")(builtins.attr("str"))
                    .attr("str")
                    .attr("endswith")("%")
                    .attr("any")()
                    .cast<bool>()) {
                found.append(col);
            }
        }
    }
    return found;
}

}  // namespace

void add_input_methods(py::object &cls) {
    bind::def_method(cls, "_load_data_from_file", &load_data_from_file, py::arg("input_file_path"),
                     py::doc(kLoadDoc));
    bind::def_method(cls, "_colname_filter", &colname_filter, py::arg("his_col"));
    bind::def_method(cls, "_normalize_column_names", &normalize_column_names, py::arg("df"),
                     py::doc(kNormalizeDoc));
    bind::def_method(cls, "_percent_sign_conversion", &percent_sign_conversion, py::arg("df"),
                     py::doc(kPercentDoc));
}

void register_percent_helpers(py::module_ &m) {
    // A frame cut into parts decides which columns are percentages over all
    // its parts, then converts those columns in every part.
    m.def("_percent_columns", &percent_columns, py::arg("df"),
          py::doc("The text columns of `df` holding a value that ends in '%'."));
    m.def("_convert_percentages", &convert_percentages, py::arg("df"), py::arg("columns"),
          py::doc("`df` with the percentage texts of `columns` converted to numbers."));
}

}  // namespace brinvale::workbench
