#include "textcolumn.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <cmath>
#include <cstring>

namespace brinvale::bind {

namespace {

// The Arrow C data interface (stable ABI): what __arrow_c_array__ hands out
// in its two capsules.
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

struct Types {
    py::object ndarray;
    py::object np_str;
    py::object series;
    py::object index;
    py::object string_dtype;
    py::object na;
    py::object nat;
};

// Looked up once; imports may let other threads run, which a plain
// function-local static would turn into a deadlock.
const Types &types() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Types *> storage;
    return *storage
                .call_once_and_store_result([] {
                    auto *made = new Types();  // lives as long as the interpreter
                    py::module_ np = py::module_::import("numpy");
                    py::module_ pd = py::module_::import("pandas");
                    made->ndarray = np.attr("ndarray");
                    made->np_str = np.attr("str_");
                    made->series = pd.attr("Series");
                    made->index = pd.attr("Index");
                    made->string_dtype = pd.attr("StringDtype");
                    made->na = pd.attr("NA");
                    made->nat = pd.attr("NaT");
                    return made;
                })
                .get_stored();
}

// Views are taken once every row is read: the arena grows while reading.
struct RowsBuilder {
    TextRows rows;
    std::vector<std::pair<std::size_t, std::size_t>> in_arena;  // (row, arena offset)
    std::vector<std::size_t> arena_ends;

    void reserve(std::size_t n) {
        rows.views.reserve(n);
        rows.missing.reserve(n);
    }
    void add_missing() {
        rows.views.emplace_back();
        rows.missing.push_back(1);
    }
    void add_view(const char *data, std::size_t size) {
        rows.views.emplace_back(data, size);
        rows.missing.push_back(0);
    }
    void start_owned() {
        in_arena.emplace_back(rows.views.size(), rows.arena.size());
        rows.views.emplace_back();
        rows.missing.push_back(0);
    }
    void end_owned() { arena_ends.push_back(rows.arena.size()); }
    TextRows finish() {
        for (std::size_t k = 0; k < in_arena.size(); ++k) {
            const auto [row, begin] = in_arena[k];
            rows.views[row] = std::string_view(rows.arena.data() + begin, arena_ends[k] - begin);
        }
        return std::move(rows);
    }
};

// A str's UTF-8 form: ASCII strings are read in place, others encoded into
// the arena.  False for a lone surrogate (no UTF-8 form).
bool add_str(RowsBuilder &b, PyObject *o) {
    if (PyUnicode_READY(o) != 0) {
        throw py::error_already_set();
    }
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    if (PyUnicode_IS_ASCII(o)) {
        b.add_view(static_cast<const char *>(PyUnicode_DATA(o)), length);
        return true;
    }
    b.start_owned();
    std::string utf8;
    utf8.reserve(length * 3);
    if (!core::append_utf8(utf8, PyUnicode_DATA(o), PyUnicode_KIND(o), length)) {
        return false;
    }
    b.rows.arena.insert(b.rows.arena.end(), utf8.begin(), utf8.end());
    b.end_owned();
    return true;
}

bool is_text_object(PyObject *o) {
    return PyUnicode_CheckExact(o) ||
           Py_TYPE(o) == reinterpret_cast<PyTypeObject *>(types().np_str.ptr());
}

// Python objects, held by `owner` (a private copy: no other code can replace
// them while the core reads their bytes without the interpreter lock).
std::optional<TextRows> read_objects(py::object owner, PyObject *const *items, std::size_t n,
                                     NonText mode) {
    RowsBuilder b;
    b.reserve(n);
    b.rows.keep.push_back(std::move(owner));
    PyObject *const na = types().na.ptr();
    PyObject *const nat = types().nat.ptr();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *o = items[i];
        if (is_text_object(o)) {
            if (!add_str(b, o)) {
                return std::nullopt;
            }
            continue;
        }
        if (mode == NonText::Refuse) {
            return std::nullopt;
        }
        if (o == Py_None || o == na || o == nat) {
            b.add_missing();
        } else if (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o))) {
            b.add_missing();
        } else if (mode == NonText::Missing) {
            return std::nullopt;
        } else if (PyFloat_Check(o) || PyLong_CheckExact(o) || PyBool_Check(o)) {
            // pandas writes str(value) for these
            py::object text = py::reinterpret_steal<py::object>(PyObject_Str(o));
            if (!text) {
                throw py::error_already_set();
            }
            if (!add_str(b, text.ptr())) {
                return std::nullopt;
            }
            b.rows.keep.push_back(std::move(text));
        } else {
            return std::nullopt;
        }
    }
    return b.finish();
}

std::optional<TextRows> read_object_array(const py::object &array, NonText mode) {
    // A contiguous copy holding its own references.
    py::object copy = array.attr("copy")();
    py::array a = py::reinterpret_borrow<py::array>(copy);
    auto *items = static_cast<PyObject *const *>(a.data());
    return read_objects(copy, items, static_cast<std::size_t>(a.size()), mode);
}

// NumPy's fixed-width unicode: UCS-4 units, trailing NULs are padding.
std::optional<TextRows> read_unicode_array(const py::object &array) {
    py::array a = py::reinterpret_borrow<py::array>(
        py::module_::import("numpy").attr("ascontiguousarray")(array));
    const std::size_t width = static_cast<std::size_t>(a.itemsize()) / 4;
    const auto n = static_cast<std::size_t>(a.size());
    const auto *units = static_cast<const std::uint32_t *>(a.data());
    RowsBuilder b;
    b.reserve(n);
    std::string utf8;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t *item = units + i * width;
        std::size_t length = width;
        while (length > 0 && item[length - 1] == 0) {
            --length;
        }
        utf8.clear();
        if (!core::append_utf8(utf8, item, 4, length)) {
            return std::nullopt;
        }
        b.start_owned();
        b.rows.arena.insert(b.rows.arena.end(), utf8.begin(), utf8.end());
        b.end_owned();
    }
    return b.finish();
}

// Arrow utf8 / large_utf8 chunks, read through the C data interface.
std::optional<TextRows> read_arrow(const py::object &extension_array) {
    if (!py::hasattr(extension_array, "__arrow_array__")) {
        return std::nullopt;
    }
    py::object arrow = extension_array.attr("__arrow_array__")();
    py::list chunks;
    if (py::hasattr(arrow, "chunks")) {
        chunks = py::list(arrow.attr("chunks"));
    } else {
        chunks.append(arrow);
    }
    TextRows rows;
    for (py::handle chunk : chunks) {
        if (!py::hasattr(chunk, "__arrow_c_array__")) {
            return std::nullopt;
        }
        py::tuple capsules = chunk.attr("__arrow_c_array__")();
        auto *schema =
            static_cast<ArrowSchema *>(PyCapsule_GetPointer(capsules[0].ptr(), "arrow_schema"));
        auto *array =
            static_cast<ArrowArray *>(PyCapsule_GetPointer(capsules[1].ptr(), "arrow_array"));
        if (schema == nullptr || array == nullptr) {
            throw py::error_already_set();
        }
        const std::string format = schema->format == nullptr ? "" : schema->format;
        if ((format != "u" && format != "U") || array->n_buffers != 3 || array->length < 0 ||
            array->offset < 0) {
            return std::nullopt;
        }
        core::ArrowTextChunk c;
        c.length = static_cast<std::size_t>(array->length);
        c.offset = static_cast<std::size_t>(array->offset);
        c.validity =
            array->null_count == 0 ? nullptr : static_cast<const std::uint8_t *>(array->buffers[0]);
        if (format == "u") {
            c.offsets32 = static_cast<const std::int32_t *>(array->buffers[1]);
        } else {
            c.offsets64 = static_cast<const std::int64_t *>(array->buffers[1]);
        }
        c.data = static_cast<const char *>(array->buffers[2]);
        if (c.data == nullptr) {
            c.data = "";  // every row empty
        }
        if (c.length > 0 && c.offsets32 == nullptr && c.offsets64 == nullptr) {
            return std::nullopt;
        }
        rows.chunks.push_back(c);
        rows.keep.push_back(std::move(capsules));  // the capsules release the buffers
    }
    if (rows.chunks.empty()) {
        rows.views.clear();
    }
    return rows;
}

}  // namespace

std::optional<TextRows> read_text_rows(py::handle values, NonText mode) {
    const Types &t = types();
    py::object obj = py::reinterpret_borrow<py::object>(values);
    if (py::isinstance(obj, t.series) || py::isinstance(obj, t.index)) {
        py::object dtype = obj.attr("dtype");
        if (py::isinstance(dtype, t.string_dtype)) {
            const std::string storage = py::str(dtype.attr("storage")).cast<std::string>();
            if (storage.rfind("pyarrow", 0) == 0) {
                std::optional<TextRows> rows = read_arrow(obj.attr("array"));
                if (rows) {
                    return rows;
                }
                return read_object_array(obj.attr("to_numpy")("dtype"_a = "object"), mode);
            }
            // Python storage: the extension array's own object ndarray.
            return read_object_array(
                py::module_::import("numpy").attr("asarray")(obj.attr("array")), mode);
        }
        if (py::isinstance(dtype, py::module_::import("numpy").attr("dtype")) &&
            py::str(dtype.attr("kind")).cast<std::string>() == "O") {
            return read_object_array(obj.attr("to_numpy")(), mode);
        }
        return std::nullopt;
    }
    // A text column's array as its frame holds it (DataFrame._get_column_array).
    if (!py::isinstance(obj, t.ndarray) && py::hasattr(obj, "dtype") &&
        py::isinstance(obj.attr("dtype"), t.string_dtype)) {
        const std::string storage = py::str(obj.attr("dtype").attr("storage")).cast<std::string>();
        if (storage.rfind("pyarrow", 0) == 0) {
            std::optional<TextRows> rows = read_arrow(obj);
            if (rows) {
                return rows;
            }
            return read_object_array(obj.attr("to_numpy")("dtype"_a = "object"), mode);
        }
        return read_object_array(py::module_::import("numpy").attr("asarray")(obj), mode);
    }
    if (py::isinstance(obj, t.ndarray)) {
        py::array a = py::reinterpret_borrow<py::array>(obj);
        if (a.ndim() != 1) {
            return std::nullopt;
        }
        const char kind = a.dtype().kind();
        if (kind == 'O') {
            return read_object_array(obj, mode);
        }
        if (kind == 'U') {
            return read_unicode_array(obj);
        }
        return std::nullopt;
    }
    if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
        py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(obj.ptr()));
        if (!items) {
            throw py::error_already_set();
        }
        PyObject *const *data = &PyTuple_GET_ITEM(items.ptr(), 0);
        const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.ptr()));
        return read_objects(items, data, n, mode);
    }
    return std::nullopt;
}

std::optional<bool> objects_end_with(py::handle series, char suffix) {
    const Types &t = types();
    // a Series, or a column's array as its frame holds it
    const bool is_series = py::isinstance(series, t.series);
    if (!is_series && !py::hasattr(series, "dtype")) {
        return std::nullopt;
    }
    py::object dtype = series.attr("dtype");
    py::object values;
    if (py::isinstance(dtype, t.string_dtype)) {
        if (py::str(dtype.attr("storage")).cast<std::string>() != "python") {
            return std::nullopt;
        }
        values = py::module_::import("numpy").attr("asarray")(
            is_series ? series.attr("array") : py::reinterpret_borrow<py::object>(series));
    } else if (py::isinstance(dtype, py::module_::import("numpy").attr("dtype")) &&
               py::str(dtype.attr("kind")).cast<std::string>() == "O") {
        if (is_series) {
            values = series.attr("to_numpy")();
        } else if (py::isinstance(series, t.ndarray)) {
            values = py::reinterpret_borrow<py::object>(series);
        } else {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    py::array a = py::reinterpret_borrow<py::array>(values);
    if (a.ndim() != 1 || a.dtype().kind() != 'O') {
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(a.size());
    const auto stride = static_cast<std::size_t>(a.strides(0));
    const char *base = static_cast<const char *>(a.data());
    const Py_UCS4 wanted = static_cast<unsigned char>(suffix);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *o = *reinterpret_cast<PyObject *const *>(base + i * stride);
        if (PyUnicode_Check(o)) {
            if (!is_text_object(o)) {
                return std::nullopt;
            }
            const Py_ssize_t len = PyUnicode_GET_LENGTH(o);
            if (len > 0 && PyUnicode_READ_CHAR(o, len - 1) == wanted) {
                return true;
            }
        } else if (!(o == Py_None || o == t.na.ptr() || o == t.nat.ptr() || PyFloat_Check(o) ||
                     PyLong_CheckExact(o) || PyBool_Check(o))) {
            return std::nullopt;
        }
    }
    return false;
}

std::optional<core::TextCodeTable> text_class_table(py::handle classes, bool &numpy_unicode) {
    if (!py::isinstance(classes, types().ndarray)) {
        return std::nullopt;
    }
    py::array a = py::reinterpret_borrow<py::array>(classes);
    if (a.ndim() != 1) {
        return std::nullopt;
    }
    const char kind = a.dtype().kind();
    if (kind != 'U' && kind != 'O') {
        return std::nullopt;
    }
    numpy_unicode = kind == 'U';
    std::optional<TextRows> rows = read_text_rows(classes, NonText::Refuse);
    if (!rows) {
        return std::nullopt;
    }
    return core::TextCodeTable(rows->views);
}

void append_oov_token(py::handle encoder) {
    py::object oov = encoder.attr("oov_token");
    if (oov.is_none()) {
        return;
    }
    py::object classes = encoder.attr("classes_");
    // Once appended the token is the last class: equal to it, the token is
    // held (the test below compares every class).
    const Py_ssize_t n = PyObject_Length(classes.ptr());
    if (n > 0) {
        py::object last =
            py::reinterpret_steal<py::object>(PySequence_GetItem(classes.ptr(), n - 1));
        if (!last) {
            throw py::error_already_set();
        }
        if (PyUnicode_Check(last.ptr()) && PyUnicode_Check(oov.ptr()) &&
            PyUnicode_Compare(last.ptr(), oov.ptr()) == 0) {
            return;
        }
    } else if (n < 0) {
        PyErr_Clear();
    }
    const int held = PySequence_Contains(classes.ptr(), oov.ptr());
    if (held < 0) {
        throw py::error_already_set();
    }
    if (held == 0) {
        encoder.attr("classes_") = py::module_::import("numpy").attr("append")(classes, oov);
    }
}

std::optional<py::array_t<std::int64_t>> oov_text_codes(py::handle encoder, const TextRows &rows,
                                                        std::string_view missing_text) {
    py::object oov = encoder.attr("oov_token");
    if (!is_text_object(oov.ptr())) {
        return std::nullopt;
    }
    bool numpy_unicode = false;
    std::optional<core::TextCodeTable> table =
        text_class_table(encoder.attr("classes_"), numpy_unicode);
    if (!table) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char *oov_data = PyUnicode_AsUTF8AndSize(oov.ptr(), &size);
    if (oov_data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::string_view oov_text(oov_data, static_cast<std::size_t>(size));
    if (numpy_unicode) {
        oov_text = core::strip_trailing_nul(oov_text);
    }
    core::EncodeOptions options;
    options.missing_text = missing_text;
    options.fallback = table->find(oov_text);
    options.strip_nul = numpy_unicode;
    if (options.fallback < 0) {
        return std::nullopt;
    }
    const core::TextColumn column = rows.column();
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(column.size()));
    std::span<std::int64_t> codes(out.mutable_data(), column.size());
    {
        py::gil_scoped_release release;
        core::encode_texts(column, *table, options, codes);
    }
    return out;
}

}  // namespace brinvale::bind
