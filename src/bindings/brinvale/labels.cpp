#include "workbench.hpp"

namespace brinvale::workbench {

void add_label_methods(py::object &) {}

}  // namespace brinvale::workbench
