#include "tavrin.hpp"
#include "text.hpp"

#include "brinvale/formula.hpp"

namespace brinvale::tavrin {

namespace {

py::object name2formula(py::handle input_str) {
    bind::require_exact_str(input_str, "key");
    const std::u32string name = to_u32(input_str);
    // Statistic names follow Python's Unicode capitalisation.
    const core::Capitalize capitalize = [](std::u32string_view text) {
        py::str capitalised = from_u32(text).attr("capitalize")();
        return to_u32(capitalised);
    };
    try {
        std::optional<std::u32string> formula = core::render_formula(name, capitalize);
        if (!formula) {
            return py::none();
        }
        return from_u32(*formula);
    } catch (const core::FormulaTooDeep &e) {
        bind::raise(PyExc_RecursionError, e.what());
    } catch (const core::FormulaOperandUnrendered &e) {
        bind::raise(PyExc_TypeError, e.what());
    }
}

py::object feature2table(py::handle names) {
    bind::require_exact_list(names, "names");
    py::list items = py::reinterpret_borrow<py::list>(names);
    py::list rows;
    py::list formulas;
    // The list is read as it stands at each step, like a for loop over it.
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::list row;
        row.append(py::int_(i + 1));
        py::object formula = name2formula(items[i]);
        row.append(formula);
        rows.append(row);
        formulas.append(formula);
    }
    py::list columns;
    columns.append("id");
    columns.append("latex");
    py::object table = py::module_::import("pandas").attr("DataFrame")(rows, "columns"_a = columns);
    // Keep None for names without a formula: pandas 3 would read the texts
    // as a str column and turn None into NaN.
    table["latex"] = py::module_::import("pandas").attr("Series")(
        formulas, "index"_a = table.attr("index"), "dtype"_a = "object");
    return table;
}

}  // namespace

void register_formula(py::module_ &m) {
    m.def("name2formula", &name2formula, py::arg("input_str"));
    m.def("feature2table", &feature2table, py::arg("names"));
}

}  // namespace brinvale::tavrin
