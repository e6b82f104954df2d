#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_elementwise(py::module_ &) {}

}  // namespace brinvale::tavrin
