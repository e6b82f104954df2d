// Encoding and decoding single columns with the encoders recorded at
// training time.
#include "workbench.hpp"

#include <string>

namespace brinvale::workbench {

namespace {

constexpr const char *kEncodeDoc =
    "\n        对训练时的字符串特征进行编码，保持数据编码的一致性。\n\n        Args:\n            "
    "X "
    "(pd.DataFrame or pd.Series): 需要编码的数据。\n            feature_name (str, optional): "
    "需要编码的特征名。如果输入的是DataFrame，则必须指定；如果输入的是Series，则可以省略，"
    "此时使用Series的名称。\n        Returns:\n            pd.Series: 编码后的数据列。\n        ";

constexpr const char *kDecodeDoc =
    "\n        对编码后的特征进行解码，保持数据解码和编码的一致性。\n\n        Args:\n            "
    "X "
    "(pd.DataFrame or pd.Series): 需要解码的数据。\n            feature_name (str, optional): "
    "需要解码的特征名。如果输入的是DataFrame，则必须指定；如果输入的是Series，则可以省略，"
    "此时使用Series的名称。\n        Returns:\n            pd.Series: 解码后的数据列。\n        ";

constexpr const char *kNotEncoded = "所选的列名在训练过程中并未进行编码。";

struct Direction {
    const char *missing_name;  // assertion for a frame without feature_name
    const char *failure;       // printed before the error text
    bool encode;
};

constexpr Direction kEncode{"你输入的数据类型是DataFrame，请指定要进行编码的特征名。",
                            "编码出错，请确认输入是否正确：", true};
constexpr Direction kDecode{"你输入的数据类型是DataFrame，请指定要进行解码的特征名。",
                            "解码出错，请确认输入是否正确：", false};

py::object code_column(py::object self, py::object X, py::object feature_name, const Direction &d) {
    bind::require_exact_str(feature_name, "feature_name", true);
    py::object pd = global("pd");
    py::object records = self.attr("lec_record_dt");
    py::object key;
    py::object column;
    if (py::isinstance(X, pd.attr("Series"))) {
        key = X.attr("name");
        column = X;
    } else if (py::isinstance(X, pd.attr("DataFrame"))) {
        bind::check_assert(!feature_name.is_none(), d.missing_name);
        key = feature_name;
    } else {
        bind::raise(PyExc_TypeError, "暂不支持该数据类型。");
    }
    if (!records.attr("__contains__")(key).cast<bool>()) {
        bind::raise(PyExc_IndexError, kNotEncoded);
    }
    try {
        if (!column) {
            column = X[key];
        }
        py::object builtins = py::module_::import("builtins");
        if (d.encode) {
            py::object values = column.attr("fillna")("na").attr("astype")(builtins.attr("str"));
            return pd.attr("Series")(records[key].attr("transform")(values), "dtype"_a = "int");
        }
        py::object values = column.attr("astype")(builtins.attr("int"));
        return pd.attr("Series")(records[key].attr("inverse_transform")(values));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        py::print(std::string(d.failure) + py::str(e.value()).cast<std::string>());
        return py::none();
    }
}

}  // namespace

void add_label_methods(py::object &cls) {
    bind::def_method(
        cls, "labelencode",
        [](py::object self, py::object X, py::object feature_name) {
            return code_column(self, X, feature_name, kEncode);
        },
        py::arg("X"), py::arg("feature_name") = py::none(), py::doc(kEncodeDoc));
    bind::def_method(
        cls, "labeldecode",
        [](py::object self, py::object X, py::object feature_name) {
            return code_column(self, X, feature_name, kDecode);
        },
        py::arg("X"), py::arg("feature_name") = py::none(), py::doc(kDecodeDoc));
}

}  // namespace brinvale::workbench
