#include "workbench.hpp"

namespace brinvale::workbench {

void register_dataset(py::module_ &) {}

}  // namespace brinvale::workbench
