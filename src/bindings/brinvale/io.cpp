#include "workbench.hpp"

namespace brinvale::workbench {

void add_input_methods(py::object &) {}

}  // namespace brinvale::workbench
