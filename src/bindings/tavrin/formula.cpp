#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_formula(py::module_ &) {}

}  // namespace brinvale::tavrin
