// Text columns of the preprocessing pipeline in the native core: the label
// codes of a column (as its recorded encoder gives them for the column's
// fillna("na").astype(str) texts) and the percentage conversion, read from
// the column's own storage without a Python object per value.
#include "workbench.hpp"

#include "textcolumn.hpp"

#include <span>

namespace brinvale::workbench {

namespace {

// The out-of-vocabulary encoder class, when its module is loaded (an encoder
// of that class can only exist then).  Subclasses may change transform and
// keep their own.
bool is_oov_encoder(py::handle encoder) {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *dovrel = PyDict_GetItemString(modules, "brinvale.module.dataprocess.dovrel");
    if (dovrel == nullptr) {
        return false;
    }
    PyObject *cls = PyObject_GetAttrString(dovrel, "LabelEncoderWithOOV");
    if (cls == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = reinterpret_cast<PyObject *>(Py_TYPE(encoder.ptr())) == cls;
    Py_DECREF(cls);
    return same;
}

bool text_storage(py::handle column) {
    const auto name = py::str(column.attr("dtype").attr("name")).cast<std::string>();
    return name == "object" || name == "str" || name == "string";
}

}  // namespace

py::object native_text_codes(py::handle encoder, py::handle column) {
    if (!is_oov_encoder(encoder) || !text_storage(column) || py::len(column) == 0 ||
        !py::hasattr(encoder, "classes_")) {
        return py::none();
    }
    if (encoder.attr("oov_token").is_none()) {
        return py::none();
    }
    std::optional<bind::TextRows> rows = bind::read_text_rows(column, bind::NonText::AsText);
    if (!rows) {
        return py::none();
    }
    bind::append_oov_token(encoder);
    auto codes = bind::oov_text_codes(encoder, *rows, "na");
    if (!codes) {
        return py::none();
    }
    return std::move(*codes);
}

int native_percent_column(py::handle column, py::object &values) {
    if (!text_storage(column)) {
        return -1;
    }
    // Most text columns hold no percentage: tell that without reading them.
    if (std::optional<bool> quick = bind::objects_end_with(column, '%'); quick && !*quick) {
        return 0;
    }
    std::optional<bind::TextRows> rows = bind::read_text_rows(column, bind::NonText::AsText);
    if (!rows) {
        return -1;
    }
    const core::TextColumn text = rows->column();
    bool found = false;
    {
        py::gil_scoped_release release;
        found = core::any_ends_with(text, '%');
    }
    if (!found) {
        return 0;
    }
    const std::size_t n = text.size();
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    std::span<double> data(out.mutable_data(), n);
    std::vector<std::size_t> undecided;
    {
        py::gil_scoped_release release;
        undecided = core::percent_to_float(text, data);
    }
    if (!undecided.empty()) {
        // What the fast reader leaves (Unicode digits, underscores, values
        // beyond double range, malformed text) is read by Python's float(),
        // which also raises its own error for text that is no number.
        std::vector<std::string_view> texts(undecided.size());
        std::size_t next = 0;
        text.for_each([&](std::size_t row, bool, std::string_view t) {
            if (next < undecided.size() && undecided[next] == row) {
                texts[next++] = t;
            }
        });
        std::string cleaned;
        for (std::size_t k = 0; k < undecided.size(); ++k) {
            cleaned.clear();
            for (char c : texts[k]) {
                if (c != '%') {
                    cleaned.push_back(c);
                }
            }
            py::object s = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                cleaned.data(), static_cast<Py_ssize_t>(cleaned.size()), "surrogatepass"));
            if (!s) {
                throw py::error_already_set();
            }
            py::object f = py::reinterpret_steal<py::object>(PyFloat_FromString(s.ptr()));
            if (!f) {
                throw py::error_already_set();
            }
            data[undecided[k]] = PyFloat_AS_DOUBLE(f.ptr()) / 100.0;
        }
    }
    values = std::move(out);
    return 1;
}

}  // namespace brinvale::workbench

namespace brinvale::workbench {

namespace {

// The datetime64 dtype pandas' to_datetime gives text columns (microseconds
// since pandas 3, nanoseconds before), asked of pandas once.
py::object text_datetime_dtype() {
    static PyObject *dtype = nullptr;  // kept for the interpreter's life
    if (dtype == nullptr) {
        py::object pd = global("pd");
        py::list one;
        one.append(py::str("2000-01-01"));
        py::object sample = pd.attr("to_datetime")(pd.attr("Series")(one));
        dtype = py::object(sample.attr("dtype")).release().ptr();
    }
    return py::reinterpret_borrow<py::object>(dtype);
}

}  // namespace

// The ticks of a text column of YYYY-MM-DD dates in the dtype pandas'
// to_datetime gives it; None where the column is not one.
py::object iso_date_ticks(py::handle column) {
    if (!text_storage(column) || py::len(column) == 0) {
        return py::none();
    }
    std::optional<bind::TextRows> rows = bind::read_text_rows(column, bind::NonText::Refuse);
    if (!rows) {
        return py::none();
    }
    py::object dtype = text_datetime_dtype();
    std::int64_t per_day = 0;
    const std::string unit = py::str(dtype.attr("str")).cast<std::string>();
    if (unit == "<M8[ns]") {
        per_day = 86400LL * 1000000000LL;
    } else if (unit == "<M8[us]") {
        per_day = 86400LL * 1000000LL;
    } else if (unit == "<M8[ms]") {
        per_day = 86400LL * 1000LL;
    } else if (unit == "<M8[s]") {
        per_day = 86400LL;
    } else {
        return py::none();
    }
    const core::TextColumn text = rows->column();
    py::array_t<std::int64_t> ticks(static_cast<py::ssize_t>(text.size()));
    std::span<std::int64_t> out(ticks.mutable_data(), text.size());
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = core::parse_iso_dates(text, out);
        if (ok) {
            for (std::int64_t &t : out) {
                t *= per_day;
            }
        }
    }
    if (!ok) {
        return py::none();
    }
    return ticks.attr("view")(dtype);
}

py::object native_iso_dates(py::handle column) {
    py::object ticks = iso_date_ticks(column);
    if (ticks.is_none()) {
        return ticks;
    }
    return global("pd").attr("Series")(ticks, "index"_a = column.attr("index"),
                                       "name"_a = column.attr("name"), "copy"_a = false);
}

py::object native_iso_date_values(py::handle column) { return iso_date_ticks(column); }

}  // namespace brinvale::workbench

namespace brinvale::workbench {

int native_any_percent(py::handle column) {
    if (!text_storage(column)) {
        return -1;
    }
    if (std::optional<bool> quick = bind::objects_end_with(column, '%')) {
        return *quick ? 1 : 0;
    }
    std::optional<bind::TextRows> rows = bind::read_text_rows(column, bind::NonText::Refuse);
    if (!rows) {
        return -1;
    }
    const core::TextColumn text = rows->column();
    bool found = false;
    {
        py::gil_scoped_release release;
        found = core::any_ends_with(text, '%');
    }
    return found ? 1 : 0;
}

}  // namespace brinvale::workbench
