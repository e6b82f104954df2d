// Trained models from a result folder are checked before their libraries
// see them.  LightGBM and XGBoost parse a booster's model natively when it is
// unpickled (Booster.__setstate__), trusting every size and index in it: the
// restricted unpickler hands out, for their Booster classes, a subclass whose
// __setstate__ checks the model in the core first and then becomes the real
// class again.  scikit-learn's trees only go wrong at prediction, so they are
// checked once the whole pickle is loaded.
#include "workbench.hpp"

#include "brinvale/models.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

PyObject *g_guards = nullptr;  // dict: Booster class -> its checking subclass

[[noreturn]] void refuse(const std::string &library, const std::string &why) {
    bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                "refused the " + library + " model: " + why);
}

py::object loaded_class(const char *module, const char *name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) {
        return py::none();
    }
    return py::getattr(modules[module], name, py::none());
}

bool is_subclass(py::handle cls, py::handle base) {
    if (base.is_none() || !PyType_Check(cls.ptr())) {
        return false;
    }
    const int r = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

// LightGBM hands the model text to its C API as UTF-8 up to the first NUL.
py::str checked_lightgbm_text(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        refuse("LightGBM",
               std::string("its model text is a ") + bind::type_name(value) + ", not a str");
    }
    // An exact str copy: a subclass could encode itself differently later.
    py::str text = py::reinterpret_steal<py::str>(PyUnicode_FromObject(value.ptr()));
    if (!text) {
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    std::string error;
    {
        py::gil_scoped_release release;
        try {
            core::parse_lightgbm_model(std::string_view(utf8, static_cast<std::size_t>(size)),
                                       false);
        } catch (const core::ModelError &e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        refuse("LightGBM", error);
    }
    return text;
}

py::bytearray checked_xgboost_buffer(py::handle value) {
    if (!PyByteArray_CheckExact(value.ptr())) {
        refuse("XGBoost", std::string("its model buffer is a ") + bind::type_name(value) +
                              ", not a bytearray");
    }
    // A private copy of the checked bytes is what the library reads.
    py::bytearray copy = py::reinterpret_steal<py::bytearray>(PyByteArray_FromStringAndSize(
        PyByteArray_AS_STRING(value.ptr()), PyByteArray_GET_SIZE(value.ptr())));
    if (!copy) {
        throw py::error_already_set();
    }
    std::string error;
    {
        const auto *data =
            reinterpret_cast<const std::uint8_t *>(PyByteArray_AS_STRING(copy.ptr()));
        const auto n = static_cast<std::size_t>(PyByteArray_GET_SIZE(copy.ptr()));
        py::gil_scoped_release release;
        try {
            core::check_xgboost_model({data, n});
        } catch (const core::ModelError &e) {
            error = e.what();
        }
    }
    if (!error.empty()) {
        refuse("XGBoost", error);
    }
    return copy;
}

// LightGBM's and XGBoost's boosters are checked; the other classes guarded
// only lose the ways of loading a model that bypass the boosters' state.
enum class Library { LightGbm, XgBoost, Other };

// The state a Booster.__setstate__ of `library` is given, with its model
// checked and replaced by the checked copy.
py::dict checked_state(Library library, py::handle state) {
    const char *name = library == Library::LightGbm ? "LightGBM" : "XGBoost";
    if (!PyDict_Check(state.ptr())) {
        refuse(name, "the booster's state is not a dictionary");
    }
    py::dict copy = py::reinterpret_borrow<py::dict>(state).attr("copy")();
    if (library == Library::LightGbm) {
        // Booster.__setstate__ reads "_handle", else the older "handle".
        const char *key = copy.contains("_handle") ? "_handle" : "handle";
        if (copy.contains(key) && !py::object(copy[key]).is_none()) {
            copy[key] = checked_lightgbm_text(copy[key]);
        }
    } else if (copy.contains("handle") && !py::object(copy["handle"]).is_none()) {
        copy["handle"] = checked_xgboost_buffer(copy["handle"]);
    }
    return copy;
}

// pickle's own BUILD for a class without __setstate__: the instance
// dictionary, then slot values.
void default_setstate(py::handle self, py::handle state) {
    py::object dict_state = py::reinterpret_borrow<py::object>(state);
    py::object slots = py::none();
    if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
        dict_state = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 0));
        slots = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(state.ptr(), 1));
    }
    if (!dict_state.is_none()) {
        self.attr("__dict__").attr("update")(dict_state);
    }
    if (!slots.is_none()) {
        for (auto item : py::reinterpret_borrow<py::dict>(slots)) {
            py::setattr(self, item.first, item.second);
        }
    }
}

[[noreturn]] void refuse_loading(py::handle base, const std::string &how) {
    bind::raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                "refused to " + how + " " + py::str(base.attr("__module__")).cast<std::string>() +
                    "." + py::str(base.attr("__qualname__")).cast<std::string>() +
                    " while unpickling: models are restored from their checked state only");
}

py::object make_guard(py::handle base, Library library) {
    py::dict ns;
    ns["__module__"] = "brinvale.brinvale";
    ns["__qualname__"] = "_CheckedModelClass";
    py::object cls = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type)(
        "_CheckedModelClass", py::make_tuple(base), ns);
    py::object base_obj = py::reinterpret_borrow<py::object>(base);
    const bool own_setstate = py::hasattr(base, "__setstate__");
    bind::def_method(cls, "__setstate__",
                     [base_obj, library, own_setstate](py::object self, py::object state) {
                         if (library != Library::Other) {
                             base_obj.attr("__setstate__")(self, checked_state(library, state));
                         } else if (own_setstate) {
                             base_obj.attr("__setstate__")(self, state);
                         } else {
                             default_setstate(self, state);
                         }
                         // From here on it is the library's own class.
                         self.attr("__class__") = base_obj;
                     });
    // Genuine pickles restore these objects from their state only;
    // construction with arguments would load a model file or text unchecked.
    bind::def_method(cls, "__init__", [base_obj](py::object, py::args, py::kwargs) {
        refuse_loading(base_obj, "construct");
    });
    if (py::hasattr(base, "from_model_file")) {
        py::cpp_function refuse_file([base_obj](py::args, py::kwargs) {
            refuse_loading(base_obj, "load a model file into");
        });
        py::setattr(cls, "from_model_file",
                    py::reinterpret_steal<py::object>(PyClassMethod_New(refuse_file.ptr())));
    }
    return cls;
}

// ---------------------------------------------------------------- scikit-learn trees

struct TreeUse {
    py::object tree;
    std::int64_t n_features = -1;  // the narrowest input any owner checks X against
};

bool skipped_type(py::handle obj) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) ||
        PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr()) || PyBool_Check(obj.ptr()) ||
        obj.is_none() || PyType_Check(obj.ptr()) || PyModule_Check(obj.ptr()) ||
        PyFunction_Check(obj.ptr()) || PyMethod_Check(obj.ptr()) || PyCFunction_Check(obj.ptr())) {
        return true;
    }
    // pandas objects hold data, not models.
    const std::string name = t->tp_name;
    return name.rfind("pandas.", 0) == 0;
}

void check_trees(py::handle loaded) {
    py::object tree_cls = loaded_class("sklearn.tree._tree", "Tree");
    if (tree_cls.is_none()) {
        return;  // no scikit-learn tree can be in the object
    }
    py::object ndarray = py::module_::import("numpy").attr("ndarray");
    std::unordered_set<PyObject *> visited;
    std::unordered_map<PyObject *, TreeUse> trees;
    std::vector<py::object> stack{py::reinterpret_borrow<py::object>(loaded)};
    auto push = [&](py::handle h) {
        if (!skipped_type(h) || Py_TYPE(h.ptr()) == (PyTypeObject *)tree_cls.ptr()) {
            stack.push_back(py::reinterpret_borrow<py::object>(h));
        }
    };
    while (!stack.empty()) {
        py::object obj = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(obj.ptr()).second) {
            continue;
        }
        if (Py_TYPE(obj.ptr()) == (PyTypeObject *)tree_cls.ptr()) {
            trees.try_emplace(obj.ptr(), TreeUse{obj, -1});
            continue;
        }
        if (PyDict_Check(obj.ptr())) {
            for (auto item : py::reinterpret_borrow<py::dict>(obj)) {
                push(item.second);
            }
            continue;
        }
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr()) || PyAnySet_Check(obj.ptr())) {
            for (py::handle item : obj) {
                push(item);
            }
            continue;
        }
        if (py::isinstance(obj, ndarray)) {
            if (py::str(obj.attr("dtype").attr("kind")).cast<std::string>() == "O") {
                for (py::handle item : obj.attr("ravel")().attr("tolist")()) {
                    push(item);
                }
            }
            continue;
        }
        PyObject **dict_ptr = _PyObject_GetDictPtr(obj.ptr());
        if (dict_ptr == nullptr || *dict_ptr == nullptr) {
            continue;
        }
        py::dict attrs = py::reinterpret_borrow<py::dict>(*dict_ptr);
        // An estimator checks X against n_features_in_ before its tree reads it.
        if (attrs.contains("tree_") && attrs.contains("n_features_in_")) {
            py::object tree = attrs["tree_"];
            py::object width = attrs["n_features_in_"];
            if (Py_TYPE(tree.ptr()) == (PyTypeObject *)tree_cls.ptr() &&
                PyLong_Check(width.ptr())) {
                auto &use = trees.try_emplace(tree.ptr(), TreeUse{tree, -1}).first->second;
                const auto w = width.cast<std::int64_t>();
                use.n_features = use.n_features < 0 ? w : std::min(use.n_features, w);
            }
        }
        stack.push_back(attrs);
    }

    for (auto &[ptr, use] : trees) {
        py::object tree = use.tree;
        const auto count = tree.attr("node_count").cast<std::int64_t>();
        const auto capacity = tree.attr("capacity").cast<std::int64_t>();
        std::int64_t width = tree.attr("n_features").cast<std::int64_t>();
        if (use.n_features >= 0) {
            width = std::min(width, use.n_features);
        }
        if (count < 1 || count > capacity) {
            refuse("scikit-learn", "a tree declares " + std::to_string(count) +
                                       " nodes but holds " + std::to_string(capacity));
        }
        auto as_int64 = [](py::object a) {
            return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(a);
        };
        auto left = as_int64(tree.attr("children_left"));
        auto right = as_int64(tree.attr("children_right"));
        auto feature = as_int64(tree.attr("feature"));
        try {
            core::check_sklearn_tree({left.data(), static_cast<std::size_t>(left.size())},
                                     {right.data(), static_cast<std::size_t>(right.size())},
                                     {feature.data(), static_cast<std::size_t>(feature.size())},
                                     width);
        } catch (const core::ModelError &e) {
            refuse("scikit-learn", e.what());
        }
    }
}

}  // namespace

py::object checked_model_class(py::handle resolved) {
    if (!PyType_Check(resolved.ptr())) {
        return py::reinterpret_borrow<py::object>(resolved);
    }
    Library library;
    if (is_subclass(resolved, loaded_class("lightgbm.basic", "Booster"))) {
        library = Library::LightGbm;
    } else if (is_subclass(resolved, loaded_class("xgboost.core", "Booster"))) {
        library = Library::XgBoost;
    } else if (is_subclass(resolved, loaded_class("lightgbm.engine", "CVBooster")) ||
               is_subclass(resolved, loaded_class("lightgbm.basic", "_InnerPredictor"))) {
        // CVBooster(model_file) and _InnerPredictor.from_model_file parse
        // model files with the library's unchecked loader.
        library = Library::Other;
    } else {
        return py::reinterpret_borrow<py::object>(resolved);
    }
    py::dict guards = py::reinterpret_borrow<py::dict>(g_guards);
    if (!guards.contains(resolved)) {
        guards[resolved] = make_guard(resolved, library);
    }
    return guards[resolved];
}

py::object check_model_structure(py::object loaded) {
    check_trees(loaded);
    return loaded;
}

void register_model_checks(py::module_ &m) {
    g_guards = py::dict().release().ptr();
    m.def(
        "_check_lightgbm_model", [](py::object text) { checked_lightgbm_text(text); },
        py::arg("text"));
    m.def(
        "_check_xgboost_model",
        [](py::object buffer) {
            if (PyByteArray_CheckExact(buffer.ptr())) {
                checked_xgboost_buffer(buffer);
                return;
            }
            py::object copy =
                py::reinterpret_steal<py::object>(PyByteArray_FromObject(buffer.ptr()));
            if (!copy) {
                throw py::error_already_set();
            }
            checked_xgboost_buffer(copy);
        },
        py::arg("buffer"));
    m.def("_check_model_structure", &check_model_structure, py::arg("obj"));
    register_native_predict(m);
    // The native prediction path alone (None when it does not apply).
    m.def(
        "_native_model_output",
        [](py::object model, py::object frame, py::object target, const std::string &method) {
            return native_model_output(model, frame, target, method.c_str());
        },
        py::arg("model"), py::arg("frame"), py::arg("target"), py::arg("method"));
}

}  // namespace brinvale::workbench
