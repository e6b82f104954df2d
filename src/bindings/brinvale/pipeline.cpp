#include "workbench.hpp"

namespace brinvale::workbench {

void add_pipeline_methods(py::object &) {}

}  // namespace brinvale::workbench
