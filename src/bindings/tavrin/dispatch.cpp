#include "tavrin.hpp"

namespace brinvale::tavrin {

void register_dispatch(py::module_ &) {}

}  // namespace brinvale::tavrin
