#include "tavrin.hpp"
#include "partition.hpp"
#include "text.hpp"

#include "brinvale/operators.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace brinvale::tavrin {

namespace {

// The operator function is looked up on the module when it is called, so
// operators registered (or replaced) later are found by their names.
py::object operator_function(py::handle module, const std::string &op_name) {
    if (!py::hasattr(module, op_name.c_str())) {
        bind::raise(PyExc_NameError, "name '" + op_name + "' is not defined");
    }
    return module.attr(op_name.c_str());
}

// Operator names are matched as UTF-8; a name that cannot be encoded (lone
// surrogates) matches no operator.
std::string operator_text(py::handle op) {
    Py_ssize_t size = 0;
    const char *data =
        PyUnicode_Check(op.ptr()) ? PyUnicode_AsUTF8AndSize(op.ptr(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

[[noreturn]] void unsupported(const char *prefix, py::handle key) {
    bind::raise_object(PyExc_RuntimeError, py::str(prefix) + py::str(key));
}

py::object item(py::list &temp, std::size_t k) {
    if (k >= temp.size()) {
        bind::raise(PyExc_IndexError, "list index out of range");
    }
    return temp[k];
}

// Nested feature names make the dispatcher recurse; deep nesting must end in
// Python's RecursionError, not in a C stack overflow.  Python's own limit is
// a setting that libraries raise (shap sets 3000), so the nesting depth has a
// fixed cap of its own as well.
constexpr int kMaxNesting = 400;
thread_local int nesting = 0;

struct RecursionGuard {
    explicit RecursionGuard(const char *where) {
        if (nesting >= kMaxNesting) {
            bind::raise(PyExc_RecursionError,
                        "maximum feature nesting depth exceeded" + std::string(where));
        }
        if (Py_EnterRecursiveCall(where) != 0) {
            throw py::error_already_set();
        }
        ++nesting;
    }
    ~RecursionGuard() {
        --nesting;
        Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

py::object name2feature(py::handle module, py::object df, py::object feature_space,
                        py::object lec_record_dt) {
    RecursionGuard guard(" in name2feature");
    bind::check_assert(PyList_Check(feature_space.ptr()) != 0);

    // `j` keeps the second operand of the last name that had one: a
    // two-operand operator given a single operand is called with it.
    std::optional<py::object> j;
    for (py::handle key_handle : py::iter(feature_space)) {
        py::object key = py::reinterpret_borrow<py::object>(key_handle);
        py::list temp = split_feature_list(key);
        const std::string op_name = operator_text(temp[0]);
        py::list add_list;

        std::size_t last_index = 1;
        for (std::size_t i = 1; i < temp.size(); ++i) {
            last_index = i;
            py::object operand = temp[i];
            if (is_combination(operand) && !df.attr("columns").contains(operand)) {
                py::list nested;
                nested.append(operand);
                df = name2feature(module, df, nested, lec_record_dt);
                add_list.append(operand);
            }
        }

        // An engine computing this frame as one part of a larger one learns
        // which columns each operator reads and writes.
        part::ask("begin", temp[0], temp, key);
        // The registry says how each operator is called; text it does not
        // know, and the calendar operators, are refused here.
        const core::OperatorInfo *info = core::find_operator(op_name);
        switch (info ? info->form : core::CallForm::calendar) {
        case core::CallForm::one:
            df = operator_function(module, op_name)(df, item(temp, 1));
            break;
        case core::CallForm::two: {
            py::object i;
            if (temp.size() >= 3) {
                i = temp[1];
                j = temp[2];
            } else {
                py::print(temp[0]);
                i = py::int_(last_index);
                if (!j) {
                    bind::raise(PyExc_NameError, "name 'j' is not defined");
                }
            }
            df = operator_function(module, op_name)(df, i, *j);
            break;
        }
        case core::CallForm::window_pair: {
            py::object i = item(temp, 1);
            j = item(temp, 2);
            py::object p = item(temp, 3);
            df = operator_function(module, op_name)(df, i, *j, p);
            break;
        }
        case core::CallForm::aggregate: {
            py::object stat = item(temp, 1);
            py::object i = item(temp, 2);
            j = item(temp, 3);
            py::list stats;
            stats.append(stat);
            df = operator_function(module, op_name)(df, i, *j, stats, lec_record_dt);
            break;
        }
        case core::CallForm::crosscount: {
            py::object i = item(temp, 1);
            j = item(temp, 2);
            py::list pair;
            pair.append(i);
            pair.append(*j);
            df = operator_function(module, op_name)(df, pair, lec_record_dt);
            break;
        }
        case core::CallForm::nunique: {
            py::object i = item(temp, 1);
            j = item(temp, 2);
            df = operator_function(module, op_name)(df, i, *j, lec_record_dt);
            break;
        }
        case core::CallForm::count:
            df = operator_function(module, op_name)(df, item(temp, 1), lec_record_dt);
            break;
        case core::CallForm::calendar:
            unsupported("Do not support this OP: ", key);
        }
        part::ask("end", key);

        // Nested columns leave the frame it was given (del rather than
        // drop(inplace=True), which pandas 3.1 deprecates).
        for (py::handle label : add_list) {
            df.attr("__delitem__")(label);
        }
    }
    return df;
}

py::object name2timefeature(py::handle module, py::object df, py::object time_candidate_feature) {
    bind::check_assert(PyList_Check(time_candidate_feature.ptr()) != 0);
    for (py::handle key_handle : py::iter(time_candidate_feature)) {
        py::object key = py::reinterpret_borrow<py::object>(key_handle);
        py::list temp = key.attr("split")("@@@");
        const std::string op_name = operator_text(temp[0]);
        const core::OperatorInfo *info = core::find_operator(op_name);
        if (info == nullptr || info->form != core::CallForm::calendar) {
            unsupported("Do not support this timefeature OP:", key);
        }
        df = operator_function(module, op_name)(df, item(temp, 1));
    }
    return df;
}

}  // namespace

void register_dispatch(py::module_ &m) {
    // One dict for every call that omits the records: statistics recorded by
    // one such call are found by the next.
    py::dict shared_records;
    py::object module = m;
    m.def(
        "name2feature",
        [module](py::object df, py::object feature_space, py::object lec_record_dt,
                 py::object /*cfg*/) {
            return name2feature(module, std::move(df), std::move(feature_space),
                                std::move(lec_record_dt));
        },
        py::arg("df"), py::arg("feature_space"), py::arg("lec_record_dt") = shared_records,
        py::arg("cfg") = py::none(), py::doc("主入口, 根据特征名称, 对特征进行处理"));
    m.def(
        "name2timefeature",
        [module](py::object df, py::object time_candidate_feature) {
            return name2timefeature(module, std::move(df), std::move(time_candidate_feature));
        },
        py::arg("df"), py::arg("time_candidate_feature"));
}

}  // namespace brinvale::tavrin
