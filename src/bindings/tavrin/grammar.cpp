#include "tavrin.hpp"
#include "text.hpp"
#include "lazy.hpp"

#include "brinvale/names.hpp"
#include "brinvale/operators.hpp"

#include <stdexcept>

namespace brinvale::tavrin {

namespace {

const char *const kFeatureTypes[][2] = {
    {"COUNT", "count"},
    {"CROSSCOUNT", "crosscount"},
    {"AGGREGATE", "aggregate"},
    {"NUNIQUE", "nunique"},
    {"HISTSTAT", "histstat"},
    {"TARGET", "target"},
    {"ADD", "add"},
    {"SUBTRACT", "subtract"},
    {"ENTROPY", "entropy"},
    {"MULTIPLY", "multiply"},
    {"SINE", "sine"},
    {"COSINE", "cosine"},
    {"SQUARE_ROOT", "square_root"},
    {"PERCENTILE", "percentile"},
    {"DIVIDE", "divide"},
    {"QUADRATIC", "quadratic"},
    {"COMBINE", "combine"},
    {"LOG", "log"},
    {"SIGMOID", "sigmoid"},
    {"ROUND", "round"},
    {"RESIDUAL", "residual"},
    {"MINIMIZE", "minimize"},
    {"MAXIMIZE", "maximize"},
};

const char *const kTimeFeatureTypes[][2] = {
    {"DAY_OF_YEAR", "day_of_year"},
    {"DAY_OF_WEEK", "day_of_week"},
    {"MONTH", "month"},
    {"YEAR", "year"},
    {"DELAY", "delay"},
    {"COUNT", "count"},
    {"SUM", "sum"},
    {"SUBTRACT", "subtract"},
    {"MULTIPLY", "multiply"},
    {"DIVIDE", "divide"},
    {"BIGGER", "bigger"},
    {"SMALLER", "smaller"},
    {"EQUAL", "equal"},
    {"OROP", "orop"},
    {"CROSSRANK", "crossrank"},
    {"TCORRELATION", "tcorrelation"},
    {"TCOVARIANCE", "tcorvariance"},
    {"TSUM", "tsum"},
    {"PRODUCT", "product"},
    {"SOFTMAX", "softmax"},
    {"DELTA", "delta"},
    {"INDNEUTRALIZE", "indneutralize"},
    {"DECAY_LINEAR", "decay_linear"},
    {"TS_MIN", "ts_min"},
    {"TS_MAX", "ts_max"},
    {"TS_ARGMAX", "ts_argmax"},
    {"TS_ARGMIN", "ts_argmin"},
    {"TS_RANK", "ts_rank"},
    {"STDDEV", "stddev"},
    {"TS_MEAN", "ts_mean"},
    {"TS_O", "ts_o"},
};

const char *const kSplitFeaturesDoc = R"(解析特征名字

    Args:
        key (str): 特征名字, 例如 add###col1|||col2$$$

    Returns:
        list(str): [操作符, 特征1, 特征2, 加权比例]
    )";

template <std::size_t N>
void set_constants(py::object &cls, const char *const (&table)[N][2]) {
    for (const auto &row : table) {
        py::setattr(cls, row[0], py::str(row[1]));
    }
}

py::list operator_registry() {
    py::list out;
    for (const core::OperatorInfo &op : core::operators()) {
        py::list operands;
        for (int k = 0; k < op.arity(); ++k) {
            operands.append(py::str(std::string(core::operand_name(op.operands[k]))));
        }
        py::list needs;
        static const std::pair<core::Need, const char *> kNeeds[] = {
            {core::need_result_moments, "result_moments"},
            {core::need_column_min, "column_min"},
            {core::need_column_rank, "column_rank"},
            {core::need_column_max_sum, "column_max_sum"},
            {core::need_column_codes, "column_codes"},
            {core::need_operand_sum_mean, "operand_sum_mean"},
            {core::need_group_table, "group_table"},
            {core::need_final_fill, "final_fill"},
            {core::need_preceding_rows, "preceding_rows"},
            {core::need_running_state, "running_state"},
            {core::need_group_rows, "group_rows"},
            {core::need_config_group, "config_group"},
        };
        for (const auto &[bit, text] : kNeeds) {
            if (op.needs & bit) {
                needs.append(py::str(text));
            }
        }
        py::dict row;
        row["name"] = py::str(std::string(op.name));
        row["label"] = py::str(std::string(op.label));
        row["family"] = py::str(std::string(core::family_name(op.family)));
        row["form"] = py::str(std::string(core::form_name(op.form)));
        row["operands"] = py::tuple(operands);
        row["needs"] = py::tuple(needs);
        row["fresh_index"] = py::bool_(op.fresh_index());
        out.append(row);
    }
    return out;
}

}  // namespace

py::object result_label(py::handle name) {
    if (!PyUnicode_Check(name.ptr())) {
        return py::none();
    }
    const std::u32string text = to_u32(name);
    core::SplitName split;
    try {
        split = core::split_feature_name(text);
    } catch (const std::out_of_range &) {
        return py::none();
    }
    if (split.count < 2) {
        return py::none();
    }
    auto part = [&](std::size_t k) {
        return std::u32string_view(text).substr(split.parts[k].begin,
                                                split.parts[k].end - split.parts[k].begin);
    };
    std::string op;
    for (char32_t c : part(0)) {
        if (c > 0x7f) {
            return py::none();
        }
        op.push_back(static_cast<char>(c));
    }
    const core::OperatorInfo *info = core::find_operator(op);
    if (info == nullptr || info->family == core::Family::calendar ||
        split.count < static_cast<std::size_t>(info->arity()) + 1) {
        return py::none();
    }
    std::u32string_view operands[3];
    for (int k = 0; k < info->arity(); ++k) {
        operands[k] = part(static_cast<std::size_t>(k) + 1);
    }
    return from_u32(core::result_label(*info, operands, static_cast<std::size_t>(info->arity())));
}

py::list split_feature_list(py::handle key) {
    bind::require_exact_str(key, "key");
    const std::u32string text = to_u32(key);
    const core::SplitName split = core::split_feature_name(text);
    py::list out;
    for (std::size_t k = 0; k < split.count; ++k) {
        PyObject *part =
            PyUnicode_Substring(key.ptr(), static_cast<Py_ssize_t>(split.parts[k].begin),
                                static_cast<Py_ssize_t>(split.parts[k].end));
        if (part == nullptr) {
            throw py::error_already_set();
        }
        out.append(py::reinterpret_steal<py::object>(part));
    }
    return out;
}

bool is_combination(py::handle feature_name) {
    if (PyUnicode_Check(feature_name.ptr())) {
        return core::is_combination_name(to_u32(feature_name));
    }
    // Anything else is counted element by element, as Counter does.
    py::object counts = py::module_::import("collections").attr("Counter")(feature_name);
    py::object dollars = counts.attr("get")("$", 0);
    py::object hashes = counts.attr("get")("#", 0);
    py::int_ three(3);
    py::object a =
        py::reinterpret_steal<py::object>(PyNumber_FloorDivide(dollars.ptr(), three.ptr()));
    if (!a)
        throw py::error_already_set();
    py::object b =
        py::reinterpret_steal<py::object>(PyNumber_FloorDivide(hashes.ptr(), three.ptr()));
    if (!b)
        throw py::error_already_set();
    py::object smaller = py::module_::import("builtins").attr("min")(a, b);
    return smaller > py::int_(0);
}

void register_grammar(py::module_ &m) {
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("Counter") = py::module_::import("collections").attr("Counter");
    // scikit-learn and SciPy take a second to import and serve one operator
    // (entropy): they load when their names are first looked up.
    bind::install_lazy_names(m, {{"KFold", "sklearn.model_selection", "KFold"},
                                 {"TruncatedSVD", "sklearn.decomposition", "TruncatedSVD"},
                                 {"LabelEncoder", "sklearn.preprocessing", "LabelEncoder"},
                                 {"stats", "scipy.stats", nullptr}});
    m.attr("TaskConfig") = py::module_::import("module.common.quillet").attr("TaskConfig");

    py::object object_base = py::reinterpret_borrow<py::object>((PyObject *)&PyBaseObject_Type);
    py::object constants = bind::make_class("Const", py::make_tuple(object_base), m);
    py::setattr(constants, "feature_separator", py::str("|||"));
    py::setattr(constants, "head_character", py::str("###"));
    py::setattr(constants, "tail_character", py::str("$$$"));
    py::setattr(constants, "time_feature_separator", py::str("@@@"));

    py::object feature_type = bind::make_class("FeatureType", py::make_tuple(object_base), m,
                                               "\n    Feature Type class\n    ");
    set_constants(feature_type, kFeatureTypes);
    py::object time_feature_type = bind::make_class("TimeFeatureType", py::make_tuple(object_base),
                                                    m, "\n    Time Feature Type Class\n    ");
    set_constants(time_feature_type, kTimeFeatureTypes);

    m.attr("AGGREGATE_TYPE") = py::list(py::make_tuple("min", "max", "mean", "median", "var"));
    m.attr("ADD_PROBABILITY") = py::list(py::make_tuple(0.5));
    m.attr("TIME_SPAN") = py::list(py::make_tuple(1, 2, 3));

    m.def("split_features", &split_feature_list, py::arg("key"), py::doc(kSplitFeaturesDoc));
    m.def("_operator_registry", &operator_registry,
          py::doc("Every operator the dispatcher knows: name, label operator of its result "
                  "column, family, call form, operand kinds and the whole-frame quantities its "
                  "values depend on."));
    m.def("_result_label", &result_label, py::arg("name"),
          py::doc("The label of the column a feature name's operator writes, or None for a name "
                  "the dispatcher does not compute."));
    m.def("is_combination_feature", &is_combination, py::arg("feature_name"),
          py::doc("判断特征名字是否为组合特征 (含三个 '#' 与三个 '$')"));
}

}  // namespace brinvale::tavrin
