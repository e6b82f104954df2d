// Loading the pickles of a result folder, which may come from anyone, without
// running what a crafted file names.  Three checks, all against one reviewed
// table of exact names recorded from genuine result folders
// (pickle_table.txt, written by scripts/record_pickle_globals.py):
//
// 1. before anything is constructed, the opcode stream is read statically:
//    every global it names must be in the table and used only the way
//    genuine pickles use it (called, instantiated without __init__, or kept
//    as a value); getattr only for exact (class, attribute) pairs; no step may
//    change a class or function (BUILD on a class), call an object it built,
//    or need persistent ids, extension codes or out-of-band buffers;
// 2. while unpickling, find_class hands out only the table's objects,
//    resolved without walking attributes beyond the reviewed qualified name
//    and checked to be what the name says (__module__ and __qualname__), or,
//    for a name older libraries wrote, the very object of the newer name the
//    table renames it to;
// 3. after unpickling, every object reachable from the result (through the
//    interpreter's own traversal, plus the items of object arrays) must be an
//    instance of a type in the table, and every class, function or bound
//    method found inside must be one of the table's objects, so that nothing
//    can run later (a stored factory, a partial, a slipped-in estimator).
#include "workbench.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "brinvale/pickle_scan.hpp"
#include "pickle_table.hpp"

namespace brinvale::workbench {

namespace {

namespace core = brinvale::core;

std::string key_of(std::string_view module, std::string_view name) {
    std::string k(module);
    k += '\n';
    k += name;
    return k;
}

struct Table {
    std::unordered_map<std::string, unsigned> globals;  // module\nqualname -> uses
    std::unordered_set<std::string> getattrs;           // module\nqualname\nattribute
    std::unordered_set<std::string> types;              // module\nqualname
    std::unordered_set<std::string> stored;             // module\nqualname\nattribute
    // module\nqualname -> (module, qualname) the object carries in newer libraries
    std::unordered_map<std::string, std::pair<std::string, std::string>> renamed;
    std::size_t entries = 0;
};

unsigned parse_uses(std::string_view text) {
    unsigned uses = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string_view u =
            text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        uses |= u == "value"  ? core::kUseValue
                : u == "call" ? core::kUseCall
                : u == "new"  ? core::kUseNew
                              : 0u;
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return uses;
}

const Table &table() {
    static const Table t = [] {
        Table t;
        std::string_view text = kPickleTable;
        while (!text.empty()) {
            const std::size_t nl = text.find('\n');
            std::string_view line = text.substr(0, nl);
            text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
            std::vector<std::string_view> f;
            std::size_t i = 0;
            while (i < line.size() && line[i] != '#') {
                while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                    ++i;
                const std::size_t s = i;
                while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#')
                    ++i;
                if (i > s)
                    f.push_back(line.substr(s, i - s));
            }
            if (f.size() == 4 && f[0] == "global") {
                t.globals[key_of(f[1], f[2])] |= parse_uses(f[3]);
            } else if (f.size() == 4 && f[0] == "getattr") {
                t.getattrs.insert(key_of(f[1], f[2]) + '\n' + std::string(f[3]));
            } else if (f.size() == 4 && f[0] == "stored") {
                t.stored.insert(key_of(f[1], f[2]) + '\n' + std::string(f[3]));
            } else if (f.size() == 3 && f[0] == "type") {
                t.types.insert(key_of(f[1], f[2]));
            } else if (f.size() == 5 && f[0] == "renamed") {
                t.renamed[key_of(f[1], f[2])] = {std::string(f[3]), std::string(f[4])};
            } else {
                continue;
            }
            ++t.entries;
        }
        return t;
    }();
    return t;
}

std::string uses_text(unsigned uses) {
    std::string s;
    for (auto [bit, word] : {std::pair{core::kUseCall, "call"}, std::pair{core::kUseNew, "new"},
                             std::pair{core::kUseValue, "value"}}) {
        if (uses & bit) {
            s += s.empty() ? "" : ",";
            s += word;
        }
    }
    return s;
}

py::object unpickling_error() { return py::module_::import("pickle").attr("UnpicklingError"); }

[[noreturn]] void refuse(const std::string &message) {
    bind::raise(unpickling_error().ptr(), message);
}

const char *kTrustHint = " If you trust this file, add '";
const char *kTrustWhere = "' to brinvale.brinvale.TRUSTED_PICKLE_GLOBALS.";

// Python 2 names that protocols 0-2 write (copy_reg, __builtin__): judged and
// resolved as the Python 3 names the standard unpickler maps them to.
std::pair<std::string, std::string> python3_name(const std::string &module,
                                                 const std::string &name) {
    py::module_ compat = py::module_::import("_compat_pickle");
    py::tuple key = py::make_tuple(module, name);
    py::dict names = compat.attr("NAME_MAPPING");
    if (names.contains(key)) {
        py::tuple mapped = names[key];
        return {mapped[0].cast<std::string>(), mapped[1].cast<std::string>()};
    }
    py::dict imports = compat.attr("IMPORT_MAPPING");
    if (imports.contains(module)) {
        return {imports[py::str(module)].cast<std::string>(), name};
    }
    return {module, name};
}

bool trusted(py::module_ &m, const std::string &module, const std::string &qualname) {
    py::object t = m.attr("TRUSTED_PICKLE_GLOBALS");
    return t.contains(py::str(module + "." + qualname)) || t.contains(py::str(module + ".*"));
}

// The (__module__, __qualname__) an object says it has; empty when it has none.
std::pair<std::string, std::string> name_of(py::handle obj) {
    auto text = [&](const char *attr) -> std::string {
        PyObject *v = PyObject_GetAttrString(obj.ptr(), attr);
        if (v == nullptr) {
            PyErr_Clear();
            return {};
        }
        std::string s;
        if (PyUnicode_Check(v)) {
            Py_ssize_t n = 0;
            const char *c = PyUnicode_AsUTF8AndSize(v, &n);
            if (c != nullptr) {
                s.assign(c, static_cast<std::size_t>(n));
            } else {
                PyErr_Clear();
            }
        }
        Py_DECREF(v);
        return s;
    };
    return {text("__module__"), text("__qualname__")};
}

// Types the interpreter defines without a name that can be imported.
py::dict &builtin_types() {
    static py::dict *d = [] {
        auto *d = new py::dict();  // lives as long as the interpreter
        py::module_ types = py::module_::import("types");
        py::list found;
        for (const char *name :
             {"FunctionType", "BuiltinFunctionType", "MethodType", "NoneType", "MappingProxyType",
              "CellType", "EllipsisType", "NotImplementedType", "MethodDescriptorType",
              "WrapperDescriptorType", "MethodWrapperType", "ClassMethodDescriptorType",
              "GetSetDescriptorType", "MemberDescriptorType"}) {
            found.append(types.attr(name));
        }
        found.append(py::module_::import("weakref").attr("ref"));
        // "_thread.lock" (NumPy 1 bit generators hold one) is only reachable as LockType
        found.append(py::module_::import("_thread").attr("LockType"));
        found.append(py::handle(reinterpret_cast<PyObject *>(&PyCapsule_Type)));
#ifdef Py_LIMITED_API
#error "the managed buffer type of memoryviews is not part of the limited API"
#endif
        found.append(py::handle(reinterpret_cast<PyObject *>(&_PyManagedBuffer_Type)));
        for (py::handle t : found) {
            auto [module, qualname] = name_of(t);
            (*d)[py::make_tuple(module, qualname)] = t;
        }
        return d;
    }();
    return *d;
}

// The object a module path and qualified name reach: the module imported
// and the name looked up, nothing else (NumPy 2 serves the numpy.core paths
// of NumPy 1 through a module that warns about them, as plain unpickling
// does).
py::object look_up(const std::string &module, const std::string &qualname) {
    py::object obj;
    try {
        obj = py::module_::import("importlib").attr("import_module")(module);
        std::string_view rest = qualname;
        while (!rest.empty()) {
            const std::size_t dot = rest.find('.');
            obj = py::getattr(obj, py::str(std::string(rest.substr(0, dot))));
            rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) {
            throw;
        }
        refuse("the pickle needs '" + module + "." + qualname +
               "', which cannot be imported here (" + std::string(py::str(e.value())) +
               "); install the library the result folder was trained with.");
    }
    return obj;
}

bool admitted_type_name(const std::string &module, const std::string &qualname) {
    const std::string k = key_of(module, qualname);
    return table().types.count(k) > 0 || table().globals.count(k) > 0;
}

// The object a table entry names: its module imported, the reviewed
// qualified name looked up, and the object found required to carry that very
// name (no re-exports, no attribute walks to something else).  A name older
// libraries wrote may carry the new name the table gives for it, when it is
// the very object that new name reaches.
py::object resolve(const std::string &module, const std::string &qualname) {
    static py::dict *cache = new py::dict();  // lives as long as the interpreter
    py::tuple key = py::make_tuple(module, qualname);
    if (cache->contains(key)) {
        return (*cache)[key];
    }
    if (builtin_types().contains(key)) {
        return builtin_types()[key];
    }
    py::object obj = look_up(module, qualname);
    const auto carried = name_of(obj);
    if (carried != std::pair{module, qualname}) {
        // The new name must itself be admitted, so that a renamed entry never
        // reaches more than the table admits under the name the object carries.
        auto it = table().renamed.find(key_of(module, qualname));
        const bool renamed = it != table().renamed.end() && carried == it->second &&
                             admitted_type_name(carried.first, carried.second) &&
                             look_up(carried.first, carried.second).is(obj);
        if (!renamed) {
            refuse("'" + module + "." + qualname + "' is '" + carried.first + "." + carried.second +
                   "' in the installed libraries, not what the pickle names.");
        }
    }
    (*cache)[key] = obj;
    return obj;
}

// ---- the static check ---------------------------------------------------------

void check_stream(py::module_ &m, std::span<const unsigned char> data) {
    core::PickleScan scan;
    {
        py::gil_scoped_release release;
        scan = core::scan_pickle(data);
    }
    if (!scan.ok()) {
        refuse("refused to unpickle: " + scan.problem + " (at byte " + std::to_string(scan.offset) +
               "); genuine result folders never do this.");
    }
    std::vector<std::pair<std::string, std::string>> names;
    for (const core::PickleGlobal &g : scan.globals) {
        names.push_back(python3_name(g.module, g.name));
    }
    const bool any_getattr = trusted(m, "builtins", "getattr");
    for (const core::PickleGetattr &a : scan.getattrs) {
        const auto &[module, name] = names[a.global];
        if (any_getattr) {
            break;
        }
        if (table().getattrs.count(key_of(module, name) + '\n' + a.attribute) == 0) {
            refuse("refused to look up '" + a.attribute + "' on '" + module + "." + name +
                   "' while unpickling: only the attributes genuine result folders look up are "
                   "admitted." +
                   kTrustHint + "builtins.getattr" + kTrustWhere);
        }
    }
    for (std::size_t i = 0; i < scan.globals.size(); ++i) {
        const core::PickleGlobal &g = scan.globals[i];
        const auto &[module, name] = names[i];
        if (trusted(m, module, name)) {
            continue;
        }
        const std::string full = module + "." + name;
        auto it = table().globals.find(key_of(module, name));
        if (it == table().globals.end()) {
            refuse("refused to unpickle the global '" + full +
                   "': it is not among the classes and helpers a trained model and its records "
                   "need." +
                   kTrustHint + full + kTrustWhere);
        }
        if ((g.uses & ~it->second) != 0) {
            refuse("refused to unpickle: the pickle uses the global '" + full + "' as " +
                   uses_text(g.uses & ~it->second) +
                   ", which genuine result folders never do "
                   "(they use it as " +
                   uses_text(it->second) + ")." + kTrustHint + full + kTrustWhere);
        }
    }
}

// getattr as find_class hands it out: exact (class, attribute) pairs only.
py::object checked_getattr(py::module_ &m, py::handle obj, py::handle attr) {
    if (trusted(m, "builtins", "getattr")) {
        return py::getattr(obj, attr);
    }
    std::string owner = bind::type_name(obj);
    if (PyUnicode_CheckExact(attr.ptr()) && PyType_Check(obj.ptr())) {
        auto [module, qualname] = name_of(obj);
        owner = module + "." + qualname;
        const std::string a = attr.cast<std::string>();
        if (table().getattrs.count(key_of(module, qualname) + '\n' + a) > 0 &&
            admitted_type_name(module, qualname) && resolve(module, qualname).is(obj)) {
            return py::getattr(obj, attr);
        }
    }
    refuse("refused to look up '" + std::string(py::str(attr)) + "' on '" + owner +
           "' while unpickling: only the attributes genuine result folders look up are "
           "admitted." +
           kTrustHint + "builtins.getattr" + kTrustWhere);
}

// ---- the walk over what was loaded ----------------------------------------------

// Where an object sits: the type of the nearest object holding it as an
// instance attribute, and that attribute ("-" "-" for the loaded object
// itself and what its containers hold).
struct Place {
    std::string owner;  // module\nqualname
    std::string attribute;
};

class Walk {
  public:
    Walk(py::module_ &m, py::object record) : m_(m), record_(std::move(record)) {
        places_.push_back(Place{"-\n-", "-"});
    }

    void run(py::handle root) {
        add(py::reinterpret_borrow<py::object>(root), 0);
        py::object ndarray = py::module_::import("numpy").attr("ndarray");
        while (!todo_.empty()) {
            auto [o, place] = std::move(todo_.back());
            todo_.pop_back();
            // Containers are walked once for every place that holds them, so
            // that a callable shared with a place that admits one is still
            // judged where else it sits; the rest of the work is done once.
            if (!reached_.insert({o.ptr(), place}).second) {
                continue;
            }
            place_ = place;
            visit_one(o, ndarray, seen_.insert(o.ptr()).second);
        }
    }

  private:
    struct PairHash {
        std::size_t operator()(const std::pair<PyObject *, std::size_t> &p) const {
            return std::hash<PyObject *>()(p.first) ^ (p.second * 0x9e3779b97f4a7c15ull);
        }
    };

    py::module_ &m_;
    py::object record_;  // None, or a dict of sets: what was found instead of refusing
    std::vector<std::pair<py::object, std::size_t>> todo_;
    std::unordered_set<PyObject *> seen_;
    std::unordered_set<std::pair<PyObject *, std::size_t>, PairHash> reached_;
    std::unordered_set<PyTypeObject *> known_types_;
    std::unordered_map<PyObject *, py::object> items_;  // object arrays -> their items
    std::vector<Place> places_;
    std::unordered_map<std::string, std::size_t> place_index_;
    std::size_t place_ = 0;       // the place of the object being visited
    PyObject *parent_ = nullptr;  // the object whose references are being pushed
    const std::unordered_set<PyObject *> *skip_ = nullptr;  // pushed already, with their places

    std::size_t place_of(PyTypeObject *owner, const std::string &attribute) {
        auto [module, qualname] = name_of(py::handle(reinterpret_cast<PyObject *>(owner)));
        std::string key = key_of(module, qualname) + '\n' + attribute;
        auto it = place_index_.find(key);
        if (it != place_index_.end()) {
            return it->second;
        }
        places_.push_back(Place{key_of(module, qualname), attribute});
        place_index_.emplace(std::move(key), places_.size() - 1);
        return places_.size() - 1;
    }

    std::string place_text(std::size_t place, const char *sep) const {
        const Place &p = places_[place];
        std::string owner = p.owner;
        owner[owner.find('\n')] = sep[0];
        return owner + sep + p.attribute;
    }

    // Every reference to a callable is judged where it sits: genuine pickles
    // keep classes, functions and partials only in a few attributes.  (A
    // weak reference, which pandas keeps in many places, only gives back an
    // object that is walked itself.)
    void add(py::object o, std::size_t place) {
        PyObject *p = o.ptr();
        if (PyCallable_Check(p) && !PyWeakref_CheckRefExact(p) &&
            !(parent_ != nullptr && p == reinterpret_cast<PyObject *>(Py_TYPE(parent_)))) {
            check_stored(o, place);
        }
        todo_.emplace_back(std::move(o), place);
    }

    static int push(PyObject *o, void *self) {
        auto *w = static_cast<Walk *>(self);
        if (o != nullptr && (w->skip_ == nullptr || w->skip_->count(o) == 0)) {
            w->add(py::reinterpret_borrow<py::object>(o), w->place_);
        }
        return 0;
    }

    void note(const char *kind, const std::string &entry) { record_[kind].attr("add")(entry); }

    [[noreturn]] void refuse_found(const std::string &what, const std::string &full) {
        refuse("refused the unpickled object: it holds " + what +
               ", which genuine result folders never hold (a class, function or object that "
               "could run later)." +
               kTrustHint + full + kTrustWhere);
    }

    void check_stored(py::handle o, std::size_t place) {
        if (!record_.is_none()) {
            note("stored", place_text(place, " "));
            return;
        }
        const Place &where = places_[place];
        if (table().stored.count(where.owner + '\n' + where.attribute) > 0) {
            return;
        }
        const std::string owner = where.owner.substr(0, where.owner.find('\n')) + "." +
                                  where.owner.substr(where.owner.find('\n') + 1);
        if (trusted(m_, where.owner.substr(0, where.owner.find('\n')),
                    where.owner.substr(where.owner.find('\n') + 1))) {
            return;
        }
        auto [module, qualname] = name_of(o);
        const std::string what = module.empty()
                                     ? "an object of type '" + std::string(bind::type_name(o)) + "'"
                                     : "'" + module + "." + qualname + "'";
        refuse("refused the unpickled object: it stores the callable " + what +
               (place == 0 ? std::string(" where genuine result folders keep only data")
                           : " in the attribute '" + where.attribute + "' of a '" + owner +
                                 "', where genuine result folders never keep a callable") +
               " (it could be run later)." +
               (place == 0 ? std::string() : kTrustHint + owner + kTrustWhere));
    }

    // A class or function found inside: one of the table's objects.
    void check_named(py::handle o, const char *what) {
        auto [module, qualname] = name_of(o);
        const std::string full = module + "." + qualname;
        if (!record_.is_none()) {
            note("objects", module + " " + qualname);
            return;
        }
        if (trusted(m_, module, qualname)) {
            return;
        }
        if (module.empty() || qualname.empty() || !admitted_type_name(module, qualname) ||
            !resolve(module, qualname).is(o)) {
            refuse_found(std::string(what) + " '" + full + "'", full);
        }
    }

    void check_type(PyTypeObject *t) {
        if (known_types_.count(t) > 0) {
            return;
        }
        py::handle th(reinterpret_cast<PyObject *>(t));
        auto [module, qualname] = name_of(th);
        if (!record_.is_none()) {
            note("types", module + " " + qualname);
        } else if (!trusted(m_, module, qualname)) {
            if (table().types.count(key_of(module, qualname)) == 0 ||
                !resolve(module, qualname).is(th)) {
                refuse_found("an object of type '" + module + "." + qualname + "'",
                             module + "." + qualname);
            }
        }
        known_types_.insert(t);
    }

    // Methods, and anything else of the class that can be called: an
    // instance attribute of that name would run instead of the class's.
    static bool is_method(PyObject *d) {
        PyTypeObject *t = Py_TYPE(d);
        return PyFunction_Check(d) || PyCFunction_Check(d) || t == &PyStaticMethod_Type ||
               t == &PyClassMethod_Type || t == &PyMethodDescr_Type ||
               t == &PyClassMethodDescr_Type || t == &PyWrapperDescr_Type || PyCallable_Check(d);
    }

    // The instance attributes of an object, each pushed with its own place;
    // none may shadow a method of the object's class.
    void visit_attributes(const py::object &o, std::unordered_set<PyObject *> &pushed) {
        PyObject *p = o.ptr();
        PyTypeObject *t = Py_TYPE(p);
        PyObject *raw = PyObject_GenericGetDict(p, nullptr);
        if (raw == nullptr) {
            PyErr_Clear();
            return;
        }
        py::object dict = py::reinterpret_steal<py::object>(raw);
        if (!PyDict_Check(raw)) {
            return;
        }
        pushed.insert(raw);
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        Py_ssize_t pos = 0;
        std::vector<std::pair<py::object, std::size_t>> found;
        auto [module, qualname] = name_of(py::handle(reinterpret_cast<PyObject *>(t)));
        while (PyDict_Next(raw, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                if (!record_.is_none()) {
                    note("shadowed", module + " " + qualname + " <not text>");
                    continue;
                }
                refuse("refused the unpickled object: a '" + module + "." + qualname +
                       "' has an attribute whose name is not text.");
            }
            const std::string name = py::str(key);
            PyObject *d = _PyType_Lookup(t, key);
            if (d != nullptr && is_method(d)) {
                if (!record_.is_none()) {
                    note("shadowed", module + " " + qualname + " " + name);
                } else {
                    refuse("refused the unpickled object: its attribute '" + name + "' on a '" +
                           module + "." + qualname +
                           "' would stand in for the method of that "
                           "name, which genuine result folders never do.");
                }
            }
            pushed.insert(value);
            found.emplace_back(py::reinterpret_borrow<py::object>(value), place_of(t, name));
        }
        for (auto &[v, place] : found) {
            add(std::move(v), place);
        }
    }

    void visit_one(const py::object &o, const py::object &ndarray, bool first) {
        PyObject *p = o.ptr();
        PyTypeObject *t = Py_TYPE(p);
        if (PyUnicode_CheckExact(p) || PyLong_CheckExact(p) || PyFloat_CheckExact(p) ||
            PyBool_Check(p) || p == Py_None || PyBytes_CheckExact(p) || PyComplex_CheckExact(p)) {
            return;
        }
        if (PyType_Check(p)) {
            if (first) {
                check_named(o, "the class");
            }
            return;  // a class's namespace is the library's, not the pickle's
        }
        if (PyFunction_Check(p) || PyCFunction_Check(p) || t == &PyMethodDescr_Type ||
            t == &PyClassMethodDescr_Type || t == &PyWrapperDescr_Type) {
            if (first) {
                check_named(o, "the function");
            }
            return;
        }
        if (PyMethod_Check(p)) {
            check_bound_method(o);
            return;
        }
        if (PyModule_Check(p)) {
            if (!record_.is_none()) {
                note("objects", "module " + std::string(PyModule_GetName(p)));
                return;
            }
            refuse_found("the module '" + std::string(PyModule_GetName(p)) + "'",
                         std::string(PyModule_GetName(p)));
        }
        check_type(t);
        if (PyObject_IsInstance(p, ndarray.ptr()) == 1) {
            // NumPy arrays do not report their items to the traversal.
            add(o.attr("dtype"), place_);
            py::object base = o.attr("base");
            if (!base.is_none()) {
                add(base, place_);
            }
            auto it = items_.find(p);
            if (it == items_.end() && o.attr("dtype").attr("hasobject").cast<bool>()) {
                it = items_.emplace(p, o.attr("ravel")("K").attr("tolist")()).first;
            }
            if (it != items_.end()) {
                add(it->second, place_);
            }
            return;
        }
        std::unordered_set<PyObject *> pushed;
        if (t->tp_dictoffset != 0) {
            visit_attributes(o, pushed);
        }
        if (t->tp_traverse != nullptr) {
            parent_ = p;
            skip_ = &pushed;
            t->tp_traverse(p, &Walk::push, this);
            parent_ = nullptr;
            skip_ = nullptr;
        }
    }

    // Bound methods: those getattr hands out while unpickling (class methods
    // of table classes), nothing bound to an object.
    void check_bound_method(const py::object &o) {
        py::object self = o.attr("__self__");
        py::object func = o.attr("__func__");
        const std::string attr = py::str(func.attr("__name__"));
        if (!PyType_Check(self.ptr())) {
            if (!record_.is_none()) {
                note("objects", "bound " + std::string(bind::type_name(self)) + "." + attr);
                return;
            }
            refuse_found("a method bound to an object of type '" +
                             std::string(bind::type_name(self)) + "'",
                         "builtins.getattr");
        }
        auto [module, qualname] = name_of(self);
        if (!record_.is_none()) {
            note("getattrs", module + " " + qualname + " " + attr);
            todo_.emplace_back(self, place_);
            return;
        }
        if (trusted(m_, "builtins", "getattr")) {
            todo_.emplace_back(self, place_);
            return;
        }
        const bool listed = table().getattrs.count(key_of(module, qualname) + '\n' + attr) > 0;
        if (!listed || !admitted_type_name(module, qualname) ||
            !resolve(module, qualname).is(self) || !py::getattr(self, py::str(attr)).equal(o)) {
            refuse_found("the method '" + module + "." + qualname + "." + attr + "'",
                         "builtins.getattr");
        }
    }
};

std::vector<unsigned char> read_all(py::handle file) {
    py::object data = file.attr("read")();
    if (!PyBytes_Check(data.ptr())) {
        data = py::module_::import("builtins").attr("bytes")(data);
    }
    std::string_view s = py::bytes(data);
    return {s.begin(), s.end()};
}

}  // namespace

void register_safe_pickle(py::module_ &m) {
    m.attr("TRUSTED_PICKLE_GLOBALS") = py::set();
    m.attr("_PICKLE_TABLE") = py::str(kPickleTable);
    py::module_ pickle = py::module_::import("pickle");
    py::object base = pickle.attr("Unpickler");
    py::object cls = bind::make_class("_ResultUnpickler", py::make_tuple(base), m);
    py::module_ mod = m;

    // The whole stream is read and checked before the standard unpickler
    // sees a byte of it.
    bind::def_method(
        cls, "__init__",
        [mod, base](py::object self, py::object file) mutable {
            std::vector<unsigned char> data = read_all(file);
            if (data.empty()) {
                bind::raise(PyExc_EOFError, "Ran out of input");  // as the standard unpickler says
            }
            check_stream(mod, data);
            py::object source = py::module_::import("io").attr("BytesIO")(
                py::bytes(reinterpret_cast<const char *>(data.data()), data.size()));
            base.attr("__init__")(self, source);
        },
        py::arg("file"));

    bind::def_method(
        cls, "find_class",
        [mod, base](py::object self, py::str module_obj, py::str name_obj) mutable {
            auto [module, name] = python3_name(module_obj, name_obj);
            if (module == "builtins" && name == "getattr") {
                return py::object(py::cpp_function([mod](py::object obj, py::object attr) mutable {
                    return checked_getattr(mod, obj, attr);
                }));
            }
            if (table().globals.count(key_of(module, name)) > 0) {
                return checked_model_class(resolve(module, name));
            }
            if (trusted(mod, module, name)) {
                return checked_model_class(base.attr("find_class")(self, module, name));
            }
            const std::string full = module + "." + name;
            refuse("refused to unpickle the global '" + full +
                   "': it is not among the classes and helpers a trained model and its records "
                   "need." +
                   kTrustHint + full + kTrustWhere);
        },
        py::arg("module"), py::arg("name"));

    bind::def_method(cls, "load", [mod, base](py::object self) mutable {
        py::object result = base.attr("load")(self);
        Walk(mod, py::none()).run(result);
        return result;
    });

    // For the recording script and the tests: what a stream names, and what
    // a loaded object holds.
    m.def("_pickle_scan", [](py::bytes raw) {
        std::string_view s = raw;
        core::PickleScan scan =
            core::scan_pickle({reinterpret_cast<const unsigned char *>(s.data()), s.size()});
        py::list globals, getattrs;
        std::vector<std::pair<std::string, std::string>> names;
        for (const core::PickleGlobal &g : scan.globals) {
            names.push_back(python3_name(g.module, g.name));
            globals.append(
                py::make_tuple(names.back().first, names.back().second, uses_text(g.uses)));
        }
        for (const core::PickleGetattr &a : scan.getattrs) {
            getattrs.append(
                py::make_tuple(names[a.global].first, names[a.global].second, a.attribute));
        }
        return py::make_tuple(
            scan.protocol, globals, getattrs,
            scan.ok() ? py::object(py::none()) : py::object(py::str(scan.problem)), scan.memory);
    });
    m.def("_pickle_graph", [mod](py::object obj) mutable {
        py::dict found;
        for (const char *k : {"types", "objects", "getattrs", "stored", "shadowed"}) {
            found[k] = py::set();
        }
        Walk(mod, found).run(obj);
        return found;
    });
    m.attr("_PICKLE_TABLE_ENTRIES") = table().entries;
}

py::object safe_pickle_load(py::module_ &m, py::handle file) {
    return check_model_structure(m.attr("_ResultUnpickler")(file).attr("load")());
}

}  // namespace brinvale::workbench
