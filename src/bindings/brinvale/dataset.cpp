// load_dataset: the platform's public sample datasets, fetched over HTTP by
// name (a JSON metadata file, then the data file) when the object is built.
#include "workbench.hpp"

#include <optional>

namespace brinvale::workbench {

namespace {

// The endpoint and the time-outs are module attributes, read at every use, so
// users (and tests) can point the loader at a mirror.  requests waits forever
// without a time-out: (connect, read) seconds.
constexpr const char *kDefaultBaseUrl = "https://open.brinvale.com/dataset/public/";
constexpr double kConnectTimeout = 10.0;
constexpr double kReadTimeout = 60.0;

// Failed downloads end in the error Python gives for a local variable read
// before assignment, as users of the platform know it.
[[noreturn]] void unbound_local(const char *variable) {
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value",
                 variable);
    throw py::error_already_set();
}

// Only the ordinary exception family is reported and swallowed;
// KeyboardInterrupt and SystemExit go through.
bool report_ordinary(py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) {
        return false;
    }
    py::print(py::str("Error: ") + py::str(e.value()));
    return true;
}

[[noreturn]] void raise_plain(const py::object &message) {
    brinvale::bind::raise_object(PyExc_Exception, message);
}

py::object status_error(const py::object &status) {
    return py::str("Error: Unable to fetch data. Status code: ") + py::str(status);
}

py::object dataset_url(py::handle self, const py::object &file_name) {
    py::object prefix = self.attr("prefix");
    py::object name = self.attr("name");
    return prefix + name + py::str("/") + file_name;
}

constexpr const char *kDocInit =
    "\n        初始化 load_dataset 类的实例。\n\n"
    "        Args:\n"
    "            name (str): 公开数据集的名称，例如\"iris\"。\n"
    "        Returns:\n"
    "            object: 返回一个load_dataset对象，数据保存在data属性中。\n        ";
constexpr const char *kDocMeta =
    "\n        从预设的URL获取并解析数据集的元数据。\n\n"
    "        元数据包括数据集的描述description、数据类型data_type和文件后缀suffix。\n\n"
    "        Returns:\n"
    "            None\n        ";
constexpr const char *kDocReal = "\n        根据元数据中定义的数据类型获取实际的数据。\n\n"
                                 "        目前仅支持\"dataframe\"类型的数据。\n\n"
                                 "        Returns:\n"
                                 "            None\n        ";
constexpr const char *kDocFrame = "\n        从远程URL获取DataFrame格式的数据。\n\n"
                                  "        目前仅支持\"csv\"后缀的文件。\n\n"
                                  "        Returns:\n"
                                  "            pd.DataFrame: 下载得到的数据。\n        ";

}  // namespace

void register_dataset(py::module_ &m) {
    using brinvale::bind::def_method;

    m.attr("DATASET_BASE_URL") = kDefaultBaseUrl;
    m.attr("DATASET_TIMEOUT") = py::make_tuple(kConnectTimeout, kReadTimeout);
    register_download_settings(m);

    py::object object_type = py::module_::import("builtins").attr("object");
    py::object cls = brinvale::bind::make_class("load_dataset", py::make_tuple(object_type), m);

    def_method(
        cls, "__init__",
        [m](py::object self, py::object name) {
            brinvale::bind::require_exact_str(name, "name");
            check_dataset_name(name);
            self.attr("prefix") = m.attr("DATASET_BASE_URL");
            self.attr("name") = name;
            self.attr("get_meta_data")();
            self.attr("get_real_data")();
        },
        py::arg("name"), py::doc(kDocInit));

    def_method(
        cls, "get_meta_data",
        [m](py::object self) {
            py::object json = py::module_::import("json");
            py::object name = self.attr("name");
            py::object file_name = name + py::str(".json");
            py::object url = dataset_url(self, file_name);
            std::optional<py::object> json_data;
            try {
                // the body decoded as UTF-8 whatever the server declares
                json_data = fetch(
                    m, url, "DATASET_META_MAX_BYTES", [&](py::object status, py::object body) {
                        py::print(py::str("starting request ") + url + py::str(" ..."));
                        if (body.is_none()) {
                            raise_plain(status_error(status));
                        }
                        return py::object(json.attr("load")(body));
                    });
            } catch (py::error_already_set &e) {
                if (!report_ordinary(e)) {
                    throw;
                }
            }
            if (!json_data) {
                unbound_local("json_data");
            }
            self.attr("description") = (*json_data)["description"];
            self.attr("data_type") = (*json_data)["data_type"];
            self.attr("suffix") = (*json_data)["suffix"];
        },
        py::doc(kDocMeta));

    def_method(
        cls, "get_real_data",
        [](py::object self) {
            py::object data_type = self.attr("data_type");
            if (data_type.equal(py::str("dataframe"))) {
                self.attr("data") = self.attr("get_dataframe")();
                return;
            }
            raise_plain(py::str("opening files in ") + py::str(data_type) +
                        py::str(" format is not supported currently"));
        },
        py::doc(kDocReal));

    def_method(
        cls, "get_dataframe",
        [m](py::object self) {
            py::object suffix = self.attr("suffix");
            py::object name = self.attr("name");
            py::object file_name = name + py::str(".") + py::str(suffix);
            py::object url = dataset_url(self, file_name);
            if (!suffix.equal(py::str("csv"))) {
                raise_plain(py::str("opening files in ") + py::str(suffix) +
                            py::str(" suffix is not supported currently"));
            }
            py::object pd = py::module_::import("pandas");
            std::optional<py::object> data;
            try {
                py::print(py::str("starting request ") + url + py::str(" ..."));
                // the parser reads the body as it arrives
                data = fetch(m, url, "DATASET_MAX_BYTES", [&](py::object status, py::object body) {
                    if (body.is_none()) {
                        raise_plain(status_error(status));
                    }
                    return py::object(pd.attr("read_csv")(body));
                });
            } catch (py::error_already_set &e) {
                if (!report_ordinary(e)) {
                    throw;
                }
            }
            if (!data) {
                unbound_local("data");
            }
            return *data;
        },
        py::doc(kDocFrame));

    def_method(cls, "__str__", [](py::object self) {
        py::dict d;
        d["name"] = self.attr("name");
        d["url"] = self.attr("prefix");
        d["description"] = self.attr("description");
        d["data_type"] = self.attr("data_type");
        d["data"] = self.attr("data");
        return py::str(d);
    });
}

}  // namespace brinvale::workbench
