// A scikit-learn LabelEncoder that maps values unseen in fitting to a reserved
// token.  The class is a Python subclass of LabelEncoder (binding libraries
// cannot derive native classes from Python bases); its methods are native.
//
// transform keeps the platform's semantics ("the value if it is in classes_,
// else the token", then the base class's transform) but tests membership
// through one hash table per call instead of a scan of classes_ per value,
// and maps text to codes natively.  The token joins classes_ only when it is
// not there yet, so an unseen value keeps one code over repeated calls.
#include "bind.hpp"

#include "brinvale/hashing.hpp"
#include "textcolumn.hpp"

#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using brinvale::core::ValueKey;

struct Numpy {
    py::module_ np = py::module_::import("numpy");
    py::object integer = np.attr("integer");
    py::object floating = np.attr("floating");
    py::object bool_ = np.attr("bool_");
    py::object str_ = np.attr("str_");
};

const Numpy &numpy() {
    static Numpy *n = new Numpy();  // lives as long as the interpreter
    return *n;
}

constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2**53

// The key under which Python's == on numbers, text and None is a hash lookup.
// Values of other kinds (bytes, dates, tuples, big integers ...) have no key,
// and the caller falls back to the exact per-value test.
std::optional<ValueKey> key_of(py::handle obj) {
    PyObject *o = obj.ptr();
    ValueKey k;
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data == nullptr) {  // lone surrogates
            PyErr_Clear();
            return std::nullopt;
        }
        k.kind = ValueKey::Kind::Text;
        k.text = std::string_view(data, static_cast<std::size_t>(size));
        return k;
    }
    if (o == Py_None) {
        return k;
    }
    if (PyFloat_Check(o)) {
        k.kind = ValueKey::Kind::Number;
        k.number = PyFloat_AS_DOUBLE(o);
        return k;
    }
    const bool is_int = PyLong_Check(o) || py::isinstance(obj, numpy().integer) ||
                        py::isinstance(obj, numpy().bool_);
    if (is_int) {
        py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(o));
        if (!as_int) {
            PyErr_Clear();
            return std::nullopt;
        }
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (overflow != 0 || std::fabs(static_cast<double>(v)) > kExactIntegerLimit) {
            return std::nullopt;  // not exactly representable as a double
        }
        k.kind = ValueKey::Kind::Number;
        k.number = static_cast<double>(v);
        return k;
    }
    if (py::isinstance(obj, numpy().floating)) {
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        k.kind = ValueKey::Kind::Number;
        k.number = v;
        return k;
    }
    return std::nullopt;
}

// Keys for every element of a list; nullopt if any element has none.
std::optional<std::vector<ValueKey>> keys_of(const py::list &items) {
    std::vector<ValueKey> keys;
    keys.reserve(items.size());
    for (py::handle item : items) {
        auto k = key_of(item);
        if (!k) {
            return std::nullopt;
        }
        keys.push_back(*k);
    }
    return keys;
}

bool numeric_kind(char kind) { return kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b'; }

// Membership of every value of y in classes, as `value in classes` decides it.
std::vector<std::uint8_t> membership(const py::object &classes, const py::object &y,
                                     py::list &items) {
    const auto &np = numpy().np;
    const char classes_kind = classes.attr("dtype").attr("kind").cast<std::string>()[0];
    // Numeric arrays on both sides: compare the buffers directly.
    if (py::isinstance<py::array>(y) && py::array(y).ndim() == 1 && numeric_kind(classes_kind)) {
        py::array ya = py::array(y);
        const char y_kind = ya.dtype().kind();
        bool exact = numeric_kind(y_kind);
        if (exact && (y_kind == 'i' || y_kind == 'u')) {
            // Integers beyond 2**53 are not exact as doubles.
            py::object amax = np.attr("abs")(ya.attr("astype")("float64")).attr("max")();
            exact = ya.size() == 0 || amax.cast<double>() <= kExactIntegerLimit;
        }
        if (exact && (classes_kind == 'i' || classes_kind == 'u')) {
            py::array ca = py::array(classes);
            py::object amax = np.attr("abs")(ca.attr("astype")("float64")).attr("max")();
            exact = ca.size() == 0 || amax.cast<double>() <= kExactIntegerLimit;
        }
        if (exact) {
            auto yd = py::array_t<double, py::array::c_style | py::array::forcecast>(ya);
            auto cd = py::array_t<double, py::array::c_style | py::array::forcecast>(classes);
            std::vector<std::uint8_t> mask(static_cast<std::size_t>(yd.size()));
            {
                py::gil_scoped_release release;
                brinvale::core::member_mask(
                    std::span<const double>(cd.data(), static_cast<std::size_t>(cd.size())),
                    std::span<const double>(yd.data(), static_cast<std::size_t>(yd.size())), mask);
            }
            return mask;
        }
    }
    py::list known = classes.attr("tolist")();
    auto known_keys = keys_of(known);
    auto value_keys = keys_of(items);
    std::vector<std::uint8_t> mask(items.size());
    const bool typed = classes_kind != 'O';
    // Typed arrays hold only numbers or only text: their elements have keys
    // unless they are dates or bytes, which take the exact path below.
    if (known_keys && value_keys && (typed || classes_kind == 'O')) {
        // The keys view the UTF-8 buffers of strings that `known` and
        // `items` keep alive; no Python object is touched while comparing.
        py::gil_scoped_release release;
        brinvale::core::member_mask(*known_keys, *value_keys, mask);
        return mask;
    }
    py::object contains = classes.attr("__contains__");
    for (std::size_t i = 0; i < items.size(); ++i) {
        mask[i] = contains(items[i]).cast<bool>() ? 1 : 0;
    }
    return mask;
}

}  // namespace

BRINVALE_MODULE(dovrel, m) {
    py::object label_encoder = py::module_::import("sklearn.preprocessing").attr("LabelEncoder");
    m.attr("LabelEncoder") = label_encoder;
    m.attr("np") = py::module_::import("numpy");

    py::object cls =
        brinvale::bind::make_class("LabelEncoderWithOOV", py::make_tuple(label_encoder), m);

    static const std::string init_doc =
        brinvale::bind::with_text_signature("__init__", "($self, /, oov_token='OOV')");
    brinvale::bind::def_method(
        cls, "__init__",
        [label_encoder](py::object self, py::object oov_token) {
            self.attr("oov_token") = oov_token;
            label_encoder.attr("__init__")(self);
        },
        py::arg("oov_token") = "OOV", py::doc(init_doc.c_str()));

    brinvale::bind::def_method(
        cls, "fit",
        [label_encoder](py::object self, py::object y) { label_encoder.attr("fit")(self, y); },
        py::arg("y"));

    brinvale::bind::def_method(
        cls, "transform",
        [label_encoder](py::object self, py::object y) {
            if (!py::hasattr(self, "classes_")) {
                py::module_::import("sklearn.utils.validation").attr("check_is_fitted")(self);
            }
            brinvale::bind::append_oov_token(self);
            py::object oov = self.attr("oov_token");
            if (!oov.is_none()) {
                // Text against text classes: codes straight from the values'
                // UTF-8 bytes, no per-value Python work.
                auto rows = brinvale::bind::read_text_rows(y, brinvale::bind::NonText::Refuse);
                if (rows && rows->size() > 0) {
                    if (auto codes = brinvale::bind::oov_text_codes(self, *rows, "na")) {
                        return py::object(std::move(*codes));
                    }
                }
            }
            py::object classes = self.attr("classes_");
            // A pandas column lists its elements in C (`tolist` gives what
            // iterating it gives); iterating an extension array goes through
            // Python one element at a time.
            py::object pandas = py::module_::import("pandas");
            const bool is_pandas =
                py::isinstance(y, pandas.attr("Series")) || py::isinstance(y, pandas.attr("Index"));
            py::list items = is_pandas ? py::list(y.attr("tolist")()) : py::list(y);
            std::vector<std::uint8_t> mask = membership(classes, y, items);
            for (std::size_t i = 0; i < mask.size(); ++i) {
                if (mask[i] == 0) {
                    items[i] = oov;
                }
            }
            return label_encoder.attr("transform")(self, items);
        },
        py::arg("y"));
}
