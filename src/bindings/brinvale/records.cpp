// The training record dictionary of a result folder, checked once when it is
// loaded: the group-statistic operators read its tables with native kernels,
// and pandas unpickles frames, series and multi-indexes without checking that
// their parts agree (a Series whose index is longer than its values, codes
// past the end of a MultiIndex level).  A record that is not in the shape the
// operators write is refused with a ValueError naming it.
#include <string>
#include <vector>

#include "workbench.hpp"

namespace brinvale::workbench {

namespace {

py::module_ pd() { return py::module_::import("pandas"); }
py::module_ np() { return py::module_::import("numpy"); }

class BadRecord {
  public:
    std::string message;
};

[[noreturn]] void bad(const std::string &what) { throw BadRecord{what}; }

bool isinstance_of(py::handle obj, const char *module, const char *name) {
    return py::isinstance(obj, py::module_::import(module).attr(name));
}

py::ssize_t length(py::handle obj) { return static_cast<py::ssize_t>(py::len(obj)); }

// Integer codes all within [low, high).
bool codes_within(py::handle codes, long long low, long long high) {
    py::object a = np().attr("asarray")(codes);
    if (length(a) == 0) {
        return true;
    }
    const std::string kind = py::str(a.attr("dtype").attr("kind"));
    if (kind != "i" && kind != "u") {
        return false;
    }
    return a.attr("min")().cast<long long>() >= low && a.attr("max")().cast<long long>() < high;
}

// pandas takes a Categorical's codes as positions in its categories without
// checking them (-1 is a missing value).
void check_categorical(py::handle values, const char *where) {
    if (!isinstance_of(values, "pandas", "Categorical")) {
        return;
    }
    const py::ssize_t n = length(values.attr("categories"));
    py::object codes = values.attr("_ndarray");
    if (!codes_within(codes, -1, n)) {
        bad(std::string("the codes of ") + where + " lie outside its " + std::to_string(n) +
            " categories");
    }
}

void check_index(py::handle index, py::ssize_t rows) {
    if (!isinstance_of(index, "pandas", "Index")) {
        bad("its index is not a pandas Index");
    }
    if (isinstance_of(index, "pandas", "CategoricalIndex")) {
        check_categorical(index.attr("_data"), "its categorical index");
    }
    if (isinstance_of(index, "pandas", "MultiIndex")) {
        py::list levels = index.attr("levels");
        py::list codes = index.attr("codes");
        if (levels.size() != codes.size() || levels.size() == 0) {
            bad("its MultiIndex has " + std::to_string(levels.size()) + " levels and " +
                std::to_string(codes.size()) + " code arrays");
        }
        for (std::size_t k = 0; k < levels.size(); ++k) {
            check_index(levels[k], length(levels[k]));
            if (length(codes[k]) != rows) {
                bad("level " + std::to_string(k) + " of its MultiIndex has " +
                    std::to_string(length(codes[k])) + " codes for " + std::to_string(rows) +
                    " rows");
            }
            if (!codes_within(codes[k], -1, length(levels[k]))) {
                bad("codes of level " + std::to_string(k) +
                    " of its MultiIndex lie outside the level's " +
                    std::to_string(length(levels[k])) + " values");
            }
        }
        return;
    }
    // the length, not the values: a RangeIndex of 10^9 rows is a few bytes
    // in the pickle and gigabytes once its values are asked for
    const py::ssize_t held = length(index);
    if (held != rows) {
        bad("its index holds " + std::to_string(held) + " values for " + std::to_string(rows) +
            " rows");
    }
}

// The parts of a frame's block manager agree: every block as long as the
// index, every column placed exactly once.
void check_frame(py::handle df) {
    if (!isinstance_of(df, "pandas", "DataFrame")) {
        bad("it is not a DataFrame");
    }
    py::object mgr = df.attr("_mgr");
    py::list axes = mgr.attr("axes");
    if (axes.size() != 2) {
        bad("its frame has " + std::to_string(axes.size()) + " axes");
    }
    const py::ssize_t ncols = length(axes[0]);
    const py::ssize_t nrows = length(axes[1]);
    check_index(axes[0], ncols);
    check_index(axes[1], nrows);
    std::vector<int> placed(static_cast<std::size_t>(ncols), 0);
    for (py::handle block : mgr.attr("blocks")) {
        py::object values = block.attr("values");
        check_categorical(values, "a categorical column of its frame");
        py::object locs = np().attr("asarray")(block.attr("mgr_locs").attr("as_array"));
        const auto ndim = py::len(values.attr("shape"));
        py::tuple shape = values.attr("shape");
        const py::ssize_t block_rows = shape[ndim - 1].cast<py::ssize_t>();
        const py::ssize_t block_cols = ndim == 2 ? shape[0].cast<py::ssize_t>() : 1;
        if (ndim < 1 || ndim > 2 || block_rows != nrows || block_cols != length(locs)) {
            bad("a block of its frame does not match the frame's shape");
        }
        if (!codes_within(locs, 0, ncols)) {
            bad("a block of its frame is placed outside the frame's columns");
        }
        py::array_t<long long, py::array::c_style | py::array::forcecast> at(locs);
        for (py::ssize_t i = 0; i < at.size(); ++i) {
            ++placed[static_cast<std::size_t>(at.data()[i])];
        }
    }
    for (int p : placed) {
        if (p != 1) {
            bad("the blocks of its frame do not hold each column exactly once");
        }
    }
}

void check_series(py::handle s, bool numeric) {
    if (!isinstance_of(s, "pandas", "Series")) {
        bad("it is not a Series");
    }
    py::object values = s.attr("_mgr").attr("array");
    check_categorical(values, "its categorical values");
    const py::ssize_t rows = length(values);
    check_index(s.attr("_mgr").attr("axes")[py::int_(0)], rows);
    if (numeric &&
        !(py::bool_(pd().attr("api").attr("types").attr("is_numeric_dtype")(s.attr("dtype"))))) {
        bad("its values are not numeric");
    }
}

void check_columns(py::handle df, const std::vector<py::object> &labels, bool exact) {
    check_frame(df);
    py::list cols = py::list(df.attr("columns"));
    if (exact && cols.size() != labels.size()) {
        bad("it has " + std::to_string(cols.size()) + " columns instead of " +
            std::to_string(labels.size()));
    }
    for (const py::object &label : labels) {
        py::ssize_t found = 0;
        for (py::handle c : cols) {
            found += py::bool_(c.equal(label)) ? 1 : 0;
        }
        if (found != 1) {
            bad("it does not have exactly one column '" + std::string(py::str(label)) + "'");
        }
    }
}

void check_encoder(py::handle enc) {
    if (!py::hasattr(enc, "classes_")) {
        return;  // an encoder never fitted fails where it is used
    }
    py::object classes = enc.attr("classes_");
    if (!isinstance_of(classes, "numpy", "ndarray") || classes.attr("ndim").cast<int>() != 1) {
        bad("its classes_ is not a one-dimensional array");
    }
}

// One record, judged by the feature name it is stored under.
void check_record(py::handle key, py::handle value, py::handle split) {
    if (!PyUnicode_Check(key.ptr())) {
        bad("its key is not text");
    }
    const std::string name = key.cast<std::string>();
    if (isinstance_of(value, "sklearn.preprocessing", "LabelEncoder")) {
        check_encoder(value);
        return;
    }
    const std::string suffix = "_mean_count";
    if (name.size() > suffix.size() && name.rfind("aggregate###mean|||", 0) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        check_frame(value);
        return;
    }
    py::list parts;
    try {
        parts = split(key);
    } catch (py::error_already_set &) {
        parts = py::list();
    }
    const std::string op = parts.size() > 1 ? parts[0].cast<std::string>() : "";
    if (op == "count" && parts.size() == 2) {
        check_columns(value, {parts[1], py::reinterpret_borrow<py::object>(key)}, true);
        if (!py::bool_(pd().attr("api").attr("types").attr("is_numeric_dtype")(
                value.attr("__getitem__")(key).attr("dtype")))) {
            bad("its counts are not numeric");
        }
    } else if (op == "crosscount") {
        check_series(value, true);
        py::object index = value.attr("index");
        if (!isinstance_of(index, "pandas", "MultiIndex") ||
            index.attr("nlevels").cast<std::size_t>() != parts.size() - 1) {
            bad("its index does not have one level per counted column");
        }
    } else if (op == "aggregate" && parts.size() == 4 && parts[1].cast<std::string>() == "mean") {
        if (!PyDict_Check(value.ptr()) || py::len(value) != 2 || !value.contains("data") ||
            !value.contains("length")) {
            bad("it is not a dict of 'data' and 'length'");
        }
        py::object data = value.attr("__getitem__")("data");
        check_series(data, true);
        if (isinstance_of(data.attr("index"), "pandas", "MultiIndex")) {
            bad("its data is indexed by several levels");
        }
        py::object group = parts[3];
        check_columns(value.attr("__getitem__")("length"),
                      {group, py::str(std::string(py::str(group)) + "_count")}, false);
    } else if ((op == "aggregate" && parts.size() == 4) || (op == "nunique" && parts.size() == 3)) {
        check_series(value, true);
        if (isinstance_of(value.attr("index"), "pandas", "MultiIndex")) {
            bad("it is indexed by several levels");
        }
    } else if (isinstance_of(value, "pandas", "DataFrame")) {
        check_frame(value);
    } else if (isinstance_of(value, "pandas", "Series")) {
        check_series(value, false);
    }
}

}  // namespace

void check_records(py::handle records) {
    if (!PyDict_CheckExact(records.ptr())) {
        bind::raise(PyExc_ValueError,
                    std::string("the training records of the result folder are not a dictionary "
                                "but a ") +
                        bind::type_name(records));
    }
    py::object split = py::module_::import("brinvale.tavrin").attr("split_features");
    for (auto item : py::reinterpret_borrow<py::dict>(records)) {
        try {
            check_record(item.first, item.second, split);
        } catch (const BadRecord &e) {
            bind::raise(PyExc_ValueError, "the training record " +
                                              std::string(py::repr(item.first)) +
                                              " of the result folder is malformed: " + e.message);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            bind::raise(
                PyExc_ValueError,
                "the training record " + std::string(py::repr(item.first)) +
                    " of the result folder is malformed: " + std::string(py::str(e.value())));
        }
    }
}

}  // namespace brinvale::workbench
