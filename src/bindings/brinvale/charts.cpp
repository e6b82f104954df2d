#include "workbench.hpp"

namespace brinvale::workbench {

void add_chart_methods(py::object &) {}

}  // namespace brinvale::workbench
